// Process-wide call security: recorded once, read by the bus bridge.
#include <mutex>

#include "comrt/runtime.h"

namespace {

std::mutex g_SecurityLock;
bool g_bInitialized = false;
DWORD g_dwAuthnLevel = 0;
DWORD g_dwImpLevel = 0;

}  // namespace

HRESULT CoInitializeSecurity(void* pSecDesc, LONG cAuthSvc, void* asAuthSvc, void* pReserved1, DWORD dwAuthnLevel,
                             DWORD dwImpLevel, void* pAuthList, DWORD dwCapabilities, void* pReserved3) {
    if (pSecDesc != nullptr || cAuthSvc != -1 || asAuthSvc != nullptr || pReserved1 != nullptr ||
        pAuthList != nullptr || pReserved3 != nullptr || dwCapabilities != EOAC_NONE ||
        dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT || dwImpLevel < RPC_C_IMP_LEVEL_IDENTIFY ||
        dwImpLevel > RPC_C_IMP_LEVEL_IMPERSONATE)
        return E_INVALIDARG;
    std::lock_guard lock(g_SecurityLock);
    if (g_bInitialized) return RPC_E_TOO_LATE;
    g_bInitialized = true;
    g_dwAuthnLevel = dwAuthnLevel;
    g_dwImpLevel = dwImpLevel;
    return S_OK;
}

namespace comrt {

bool GetProcessSecurity(DWORD* pdwAuthnLevel, DWORD* pdwImpLevel) {
    std::lock_guard lock(g_SecurityLock);
    if (!g_bInitialized) return false;
    if (pdwAuthnLevel != nullptr) *pdwAuthnLevel = g_dwAuthnLevel;
    if (pdwImpLevel != nullptr) *pdwImpLevel = g_dwImpLevel;
    return true;
}

}  // namespace comrt

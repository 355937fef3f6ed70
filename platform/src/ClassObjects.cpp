// Class objects and object creation: the process's own registrations, the in-process servers named in the
// classes hive, and the out-of-process bridge, asked in that order.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "InprocServer.h"
#include "comrt/comptr.h"
#include "comrt/registry.h"
#include "comrt/runtime.h"
#include "comrt/text.h"

namespace {

struct ClassRegistration {
    DWORD nCookie;
    CLSID clsid;
    IUnknown* pUnk;  // holds a reference
    DWORD dwClsContext;
    DWORD dwFlags;
    bool bSuspended;
};

std::mutex g_ClassLock;
std::vector<ClassRegistration> g_Registrations;
DWORD g_nNextCookie = 1;
LocalServerResolver g_pfnLocalServerResolver = nullptr;

// Records a failure text for the caller's error info, so that its guard can show why creation failed.
void SetCreationErrorInfo(const std::string& sDescription) {
    CComPtr<ICreateErrorInfo> pCreate;
    if (FAILED(CreateErrorInfo(&pCreate))) return;
    std::u16string sText = comrt::ToUtf16(sDescription);
    pCreate->SetDescription(sText.data());
    CComQIPtr<IErrorInfo> pInfo(pCreate);
    if (pInfo) SetErrorInfo(0, pInfo);
}

// The default value of a key below HKEY_CLASSES_ROOT, or false when the key or value is missing.
bool ReadClassesDefaultValue(const std::u16string& sPath, std::u16string* psValue) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, sPath.c_str(), 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) return false;
    DWORD nType = 0;
    DWORD cbData = 0;
    LONG nResult = RegQueryValueExW(hKey, u"", nullptr, &nType, nullptr, &cbData);
    if (nResult == ERROR_SUCCESS && (nType == REG_SZ || nType == REG_EXPAND_SZ)) {
        std::u16string sValue(cbData / sizeof(char16_t) + 1, u'\0');
        cbData = static_cast<DWORD>(sValue.size() * sizeof(char16_t));
        nResult = RegQueryValueExW(hKey, u"", nullptr, &nType, reinterpret_cast<BYTE*>(sValue.data()), &cbData);
        if (nResult == ERROR_SUCCESS) {
            sValue.resize(std::char_traits<char16_t>::length(sValue.c_str()));
            *psValue = std::move(sValue);
        }
    }
    RegCloseKey(hKey);
    return nResult == ERROR_SUCCESS && (nType == REG_SZ || nType == REG_EXPAND_SZ);
}

std::u16string GuidText(REFGUID guid) {
    OLECHAR sz[40];
    StringFromGUID2(guid, sz, 40);
    return sz;
}

// A class object this process registered, AddRef'ed, or null.
IUnknown* FindRegisteredClassObject(REFCLSID rclsid, DWORD dwClsContext) {
    std::lock_guard lock(g_ClassLock);
    for (const ClassRegistration& r : g_Registrations) {
        if (r.bSuspended || r.clsid != rclsid) continue;
        // A class registered for other processes also serves its own process.
        if ((r.dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER)) &&
            (dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER))) {
            r.pUnk->AddRef();
            return r.pUnk;
        }
    }
    return nullptr;
}

}  // namespace

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IUnknown* pUnk = FindRegisteredClassObject(rclsid, dwClsContext)) {
        HRESULT hr = pUnk->QueryInterface(riid, ppv);
        pUnk->Release();
        return hr;
    }
    HRESULT hrInproc = REGDB_E_CLASSNOTREG;
    if (dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) {
        std::u16string sPath;
        if (ReadClassesDefaultValue(u"CLSID\\" + GuidText(rclsid) + u"\\InprocServer32", &sPath)) {
            std::string sError;
            hrInproc = comrt::internal::GetInprocClassObject(comrt::ToUtf8(sPath), rclsid, riid, ppv, &sError);
            if (SUCCEEDED(hrInproc)) return hrInproc;
            if (!sError.empty()) SetCreationErrorInfo(sError);
            // A broken library is the answer; only a class without one goes on to the local server.
            return hrInproc;
        }
    }
    if (dwClsContext & CLSCTX_LOCAL_SERVER) {
        LocalServerResolver pfn = nullptr;
        {
            std::lock_guard lock(g_ClassLock);
            pfn = g_pfnLocalServerResolver;
        }
        if (pfn != nullptr) return pfn(rclsid, dwClsContext, riid, ppv);
    }
    return hrInproc;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    CComPtr<IClassFactory> pFactory;
    HRESULT hr =
        CoGetClassObject(rclsid, dwClsContext, nullptr, IidOf<IClassFactory>(), reinterpret_cast<void**>(&pFactory));
    if (FAILED(hr)) return hr;
    if (!pFactory) return E_UNEXPECTED;
    return pFactory->CreateInstance(pUnkOuter, riid, ppv);
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, DWORD* lpdwRegister) {
    if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
    *lpdwRegister = 0;
    std::lock_guard lock(g_ClassLock);
    // A second registration of a class is accepted; lookups find the earliest one still registered.
    pUnk->AddRef();
    const DWORD nCookie = g_nNextCookie++;
    g_Registrations.push_back(
        ClassRegistration{nCookie, rclsid, pUnk, dwClsContext, flags, (flags & REGCLS_SUSPENDED) != 0});
    *lpdwRegister = nCookie;
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
    IUnknown* pUnk = nullptr;
    {
        std::lock_guard lock(g_ClassLock);
        auto it = std::find_if(g_Registrations.begin(), g_Registrations.end(),
                               [&](const ClassRegistration& r) { return r.nCookie == dwRegister; });
        if (it == g_Registrations.end()) return E_INVALIDARG;
        pUnk = it->pUnk;
        g_Registrations.erase(it);
    }
    pUnk->Release();  // outside the lock: the class object may be destroyed here
    return S_OK;
}

HRESULT CoResumeClassObjects() {
    std::lock_guard lock(g_ClassLock);
    for (ClassRegistration& r : g_Registrations) r.bSuspended = false;
    return S_OK;
}

HRESULT CoSuspendClassObjects() {
    std::lock_guard lock(g_ClassLock);
    for (ClassRegistration& r : g_Registrations) r.bSuspended = true;
    return S_OK;
}

void CoFreeUnusedLibraries() {
    comrt::internal::FreeUnusedLibraries();
}

void CoSetLocalServerResolver(LocalServerResolver pfn) {
    std::lock_guard lock(g_ClassLock);
    g_pfnLocalServerResolver = pfn;
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
    if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
    *lpclsid = GUID_NULL;
    std::u16string sClsid;
    if (*lpszProgID == 0 || !ReadClassesDefaultValue(std::u16string(lpszProgID) + u"\\CLSID", &sClsid))
        return CO_E_CLASSSTRING;
    // The stored value must itself be brace text; never recurse into another ProgID lookup.
    if (sClsid.empty() || sClsid[0] != u'{') return CO_E_CLASSSTRING;
    return CLSIDFromString(sClsid.c_str(), lpclsid);
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
    if (lplpszProgID == nullptr) return E_INVALIDARG;
    *lplpszProgID = nullptr;
    std::u16string sProgId;
    if (!ReadClassesDefaultValue(u"CLSID\\" + GuidText(clsid) + u"\\ProgID", &sProgId)) return REGDB_E_CLASSNOTREG;
    auto* psz = static_cast<LPOLESTR>(CoTaskMemAlloc((sProgId.size() + 1) * sizeof(OLECHAR)));
    if (psz == nullptr) return E_OUTOFMEMORY;
    std::copy(sProgId.begin(), sProgId.end(), psz);
    psz[sProgId.size()] = 0;
    *lplpszProgID = psz;
    return S_OK;
}

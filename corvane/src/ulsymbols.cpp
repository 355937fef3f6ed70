// The module's start-up: banner, termination line and the "Debug Symbols" switch from the registry.
#include <string>

#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulmodule.h"

namespace corvane {
namespace {

constexpr char16_t DEBUG_SYMBOLS_KEY[] = u"SOFTWARE\\Corvane\\Harkwell\\Debug Symbols";
constexpr char16_t DEFAULT_VALUE[] = u"Default";

// The DWORD value sName of hKey, when there is one.
bool QueryDword(HKEY hKey, const char16_t* pszName, DWORD& nValue) noexcept {
    DWORD nType = REG_NONE;
    DWORD cbValue = sizeof(nValue);
    return RegQueryValueExW(hKey, pszName, nullptr, &nType, reinterpret_cast<BYTE*>(&nValue), &cbValue) ==
               ERROR_SUCCESS &&
           nType == REG_DWORD && cbValue == sizeof(nValue);
}

}  // namespace

void ReadDebugSymbolSettings() noexcept {
    try {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DEBUG_SYMBOLS_KEY, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) return;
        const std::u16string sModuleValue = comrt::ToUtf16(GetModuleFileName());
        DWORD nEnabled = 0;
        if (QueryDword(hKey, sModuleValue.c_str(), nEnabled) || QueryDword(hKey, DEFAULT_VALUE, nEnabled))
            SetDebugSymbolsEnabled(nEnabled != 0);
        RegCloseKey(hKey);
    } catch (...) {
        // Out of memory at start-up: the switch keeps its state.
    }
}

void StartModuleTrace() noexcept {
    TraceModuleVersion();
    TraceModuleTerminationLockCount();
    ReadDebugSymbolSettings();
}

}  // namespace corvane

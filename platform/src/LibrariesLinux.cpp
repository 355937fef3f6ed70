// Run-time libraries over dlopen.
#include <dlfcn.h>

#include "comrt/libraries.h"
#include "comrt/sync.h"

HLIBRARY LoadLibraryPath(const std::string& sPath, std::string* psReason) noexcept {
    try {
        void* hLibrary = dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (hLibrary == nullptr) {
            const char* pszError = dlerror();
            if (psReason != nullptr) *psReason = pszError != nullptr ? pszError : "";
            SetLastError(static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        }
        return static_cast<HLIBRARY>(hLibrary);
    } catch (...) {
        SetLastError(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        return nullptr;
    }
}

void* GetProcAddress(HLIBRARY hLibrary, const char* pszName) noexcept {
    void* pAddress = hLibrary != nullptr && pszName != nullptr ? dlsym(hLibrary, pszName) : nullptr;
    if (pAddress == nullptr) SetLastError(static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    return pAddress;
}

BOOL FreeLibrary(HLIBRARY hLibrary) noexcept {
    if (hLibrary == nullptr || dlclose(hLibrary) != 0) {
        SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
        return FALSE;
    }
    return TRUE;
}

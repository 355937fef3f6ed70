// Run-time libraries over dlopen.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "comrt/libraries.h"
#include "comrt/sync.h"

namespace {

// The folder of this runtime library, with its final "/"; empty when the loader cannot tell. The program's
// own modules sit beside it. A bare name is not left to the loader's search alone: that search follows the
// run path of the object that called dlopen, which is not ours where a tool (a sanitizer's runtime, a
// preloaded library) stands between.
std::string RuntimeFolder() {
    Dl_info Info{};
    if (dladdr(reinterpret_cast<const void*>(&LoadLibraryPath), &Info) == 0 || Info.dli_fname == nullptr) return {};
    const std::string sFile = Info.dli_fname;
    const std::size_t nSlash = sFile.rfind('/');
    return nSlash == std::string::npos ? std::string() : sFile.substr(0, nSlash + 1);
}

}  // namespace

HLIBRARY LoadLibraryPath(const std::string& sPath, std::string* psReason) noexcept {
    try {
        std::string sFile = sPath;
        if (sPath.find('/') == std::string::npos) {
            const std::string sBeside = RuntimeFolder() + sPath;
            if (access(sBeside.c_str(), F_OK) == 0) sFile = sBeside;
        }
        void* hLibrary = dlopen(sFile.c_str(), RTLD_NOW | RTLD_LOCAL);
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

namespace comrt {

void GetProcessImagePath(char* pszPath, std::size_t nSize) noexcept {
    if (pszPath == nullptr || nSize == 0) return;
    const ssize_t cch = readlink("/proc/self/exe", pszPath, nSize - 1);
    pszPath[cch > 0 ? cch : 0] = 0;
}

void GetModulePathOfAddress(const void* pAddress, char* pszPath, std::size_t nSize, bool* pbProgramImage) noexcept {
    if (pszPath == nullptr || nSize == 0) return;
    Dl_info Info{};
    link_map* pMap = nullptr;
    const bool bFound =
        dladdr1(pAddress, &Info, reinterpret_cast<void**>(&pMap), RTLD_DL_LINKMAP) != 0 && pMap != nullptr;
    // The loader records the program under an empty name; libraries under the name they were loaded with.
    const bool bProgramImage = !bFound || pMap->l_name == nullptr || pMap->l_name[0] == 0;
    if (pbProgramImage != nullptr) *pbProgramImage = bProgramImage;
    if (bProgramImage) {
        GetProcessImagePath(pszPath, nSize);
        return;
    }
    char szResolved[PATH_MAX];
    const char* pszName = realpath(pMap->l_name, szResolved) != nullptr ? szResolved : pMap->l_name;
    strncpy(pszPath, pszName, nSize - 1);
    pszPath[nSize - 1] = 0;
}

}  // namespace comrt

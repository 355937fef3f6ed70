// hkregsvr: registers or unregisters an in-process server library by loading it and calling its
// DllRegisterServer or DllUnregisterServer entry point.
//
//   hkregsvr [-u] [-s] <library>
//
// Exit codes: 0 done, 1 bad command line, 2 the runtime could not be initialised, 3 the library could not be
// loaded, 4 the library lacks the entry point, 5 the entry point reported a failure.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "comrt/runtime.h"
#include "comrt/text.h"

namespace {

void PrintUsage() {
    std::fprintf(stderr,
                 "Usage: hkregsvr [-u] [-s] <library>\n"
                 "  Registers the classes of an in-process server library (DllRegisterServer).\n"
                 "  -u  unregisters them instead (DllUnregisterServer)\n"
                 "  -s  prints nothing on success\n");
}

std::string Describe(HRESULT hr) {
    std::string sText = comrt::ToUtf8(FormatSystemMessage(hr));
    char szCode[16];
    std::snprintf(szCode, sizeof szCode, "0x%08x", static_cast<unsigned>(hr));
    return sText.empty() ? std::string("error ") + szCode : sText + " (" + szCode + ")";
}

}  // namespace

int main(int argc, char** argv) {
    bool bUnregister = false;
    bool bSilent = false;
    const char* pszLibrary = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* pszArg = argv[i];
        if ((pszArg[0] == '-' || pszArg[0] == '/') && pszArg[1] != 0 && pszArg[2] == 0) {
            switch (pszArg[1]) {
                case 'u':
                case 'U':
                    bUnregister = true;
                    continue;
                case 's':
                case 'S':
                    bSilent = true;
                    continue;
                default:
                    break;
            }
        }
        if (pszArg[0] == '-' || pszLibrary != nullptr) {
            std::fprintf(stderr, "hkregsvr: unexpected argument \"%s\"\n", pszArg);
            PrintUsage();
            return 1;
        }
        pszLibrary = pszArg;
    }
    if (pszLibrary == nullptr) {
        PrintUsage();
        return 1;
    }

    const HRESULT hrInit = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hrInit)) {
        std::fprintf(stderr, "hkregsvr: the runtime could not be initialised: %s\n", Describe(hrInit).c_str());
        return 2;
    }

    // A path without a slash would make dlopen search the library path rather than take the named file.
    std::string sPath = pszLibrary;
    if (sPath.find('/') == std::string::npos) sPath = "./" + sPath;
    void* pLibrary = dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pLibrary == nullptr) {
        const char* pszError = dlerror();
        std::fprintf(stderr, "hkregsvr: the module \"%s\" failed to load: %s\n", pszLibrary,
                     pszError ? pszError : "unknown error");
        CoUninitialize();
        return 3;
    }

    const char* pszEntryPoint = bUnregister ? "DllUnregisterServer" : "DllRegisterServer";
    void* pEntryPoint = dlsym(pLibrary, pszEntryPoint);
    if (pEntryPoint == nullptr) {
        std::fprintf(stderr,
                     "hkregsvr: the module \"%s\" was loaded but the entry point %s was not found; "
                     "make sure it is an in-process server library.\n",
                     pszLibrary, pszEntryPoint);
        dlclose(pLibrary);
        CoUninitialize();
        return 4;
    }

    PFN_DllRegisterServer pfnEntryPoint = nullptr;
    static_assert(sizeof pfnEntryPoint == sizeof pEntryPoint);
    std::memcpy(&pfnEntryPoint, &pEntryPoint, sizeof pfnEntryPoint);
    const HRESULT hr = pfnEntryPoint();
    int nExitCode = 0;
    if (FAILED(hr)) {
        std::fprintf(stderr, "hkregsvr: %s in \"%s\" failed: %s\n", pszEntryPoint, pszLibrary, Describe(hr).c_str());
        nExitCode = 5;
    } else if (!bSilent) {
        std::printf("%s in \"%s\" succeeded.\n", pszEntryPoint, pszLibrary);
    }
    // The library stays loaded until exit: its static objects may still be referenced by the runtime.
    CoUninitialize();
    return nExitCode;
}

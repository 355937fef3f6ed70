// In-process servers are ELF shared libraries exporting the four entry points with C linkage, loaded with
// dlopen. A library stays loaded until CoFreeUnusedLibraries finds it idle.
#include <dlfcn.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "InprocServer.h"
#include "comrt/runtime.h"

namespace comrt::internal {
namespace {

struct LoadedLibrary {
    void* hModule = nullptr;
    PFN_DllGetClassObject pfnGetClassObject = nullptr;
    PFN_DllCanUnloadNow pfnCanUnloadNow = nullptr;
};

std::mutex g_LibraryLock;
std::map<std::string, LoadedLibrary> g_Libraries;

}  // namespace

HRESULT GetInprocClassObject(const std::string& sPath, REFCLSID rclsid, REFIID riid, void** ppv, std::string* psError) {
    PFN_DllGetClassObject pfnGetClassObject = nullptr;
    {
        std::lock_guard lock(g_LibraryLock);
        auto it = g_Libraries.find(sPath);
        if (it == g_Libraries.end()) {
            if (access(sPath.c_str(), F_OK) != 0) {
                *psError = "The library " + sPath + " does not exist.";
                return CO_E_DLLNOTFOUND;
            }
            // RTLD_LOCAL keeps each library's symbols to itself; the libraries export only entry points anyway.
            void* hModule = dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (hModule == nullptr) {
                const char* szError = dlerror();
                *psError = "The library " + sPath + " cannot be loaded: " + (szError ? szError : "unknown error");
                return CO_E_ERRORINDLL;
            }
            LoadedLibrary library;
            library.hModule = hModule;
            library.pfnGetClassObject = reinterpret_cast<PFN_DllGetClassObject>(dlsym(hModule, "DllGetClassObject"));
            library.pfnCanUnloadNow = reinterpret_cast<PFN_DllCanUnloadNow>(dlsym(hModule, "DllCanUnloadNow"));
            if (library.pfnGetClassObject == nullptr) {
                dlclose(hModule);
                *psError = "The library " + sPath + " does not export DllGetClassObject.";
                return CO_E_ERRORINDLL;
            }
            it = g_Libraries.emplace(sPath, library).first;
        }
        pfnGetClassObject = it->second.pfnGetClassObject;
    }
    // The library's entry point runs without our lock: it may create objects that create other objects.
    return pfnGetClassObject(rclsid, riid, ppv);
}

void FreeUnusedLibraries() {
    std::lock_guard lock(g_LibraryLock);
    for (auto it = g_Libraries.begin(); it != g_Libraries.end();) {
        if (it->second.pfnCanUnloadNow != nullptr && it->second.pfnCanUnloadNow() == S_OK) {
            dlclose(it->second.hModule);
            it = g_Libraries.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace comrt::internal

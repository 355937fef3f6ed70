// Where a function that a module defines in place of another module's (an interposed entry, such as the
// C++ runtime's throw entry) finds the definition it passes on to.
//
// Inline on purpose: "the next definition" is relative to the module whose code asks, so the question must
// be compiled into that module, not into the runtime library.
#pragma once

#include <dlfcn.h>

namespace comrt {

// The process's definition of pszName, the one that calls from any module reach; nullptr when none.
inline void* GetProcessProcAddress(const char* pszName) noexcept {
    return dlsym(RTLD_DEFAULT, pszName);
}

// The next definition of pszName after the calling module, in the loader's search order; nullptr when none.
inline void* GetNextProcAddress(const char* pszName) noexcept {
    return dlsym(RTLD_NEXT, pszName);
}

}  // namespace comrt

#include "corvane/ulmodule.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "comrt/libraries.h"

namespace {

constinit std::atomic<LONG> g_nModuleLockCount{0};
constinit std::atomic<corvane::ModuleUnlockedHandler> g_pfnUnlockedHandler{nullptr};

// The module's names, found once. Fixed buffers: the trace asks for them while writing a line and must not
// allocate there.
struct ModuleNames {
    char szModulePath[comrt::MAX_MODULE_PATH];
    char szProcessImagePath[comrt::MAX_MODULE_PATH];
    const char* pszModuleFileName;
    bool bProgramImage;
};

constinit ModuleNames g_Names{};
constinit std::once_flag g_NamesOnce;

// Any function of this file serves as "an address inside the module": the foundation library is linked
// statically with hidden symbols, so this code is in the module that owns the state.
void FindModuleNames() noexcept {
    comrt::GetProcessImagePath(g_Names.szProcessImagePath, sizeof g_Names.szProcessImagePath);
    comrt::GetModulePathOfAddress(reinterpret_cast<const void*>(&FindModuleNames), g_Names.szModulePath,
                                  sizeof g_Names.szModulePath, &g_Names.bProgramImage);
    const char* pszSlash = std::strrchr(g_Names.szModulePath, '/');
    g_Names.pszModuleFileName = pszSlash != nullptr ? pszSlash + 1 : g_Names.szModulePath;
}

const ModuleNames& Names() noexcept {
    std::call_once(g_NamesOnce, FindModuleNames);
    return g_Names;
}

constexpr int MAX_TERMINATION_FUNCTIONS = 32;

struct TerminationTable {
    std::mutex Lock;
    int nCount;
    corvane::ModuleTerminationFunction ppfnFunctions[MAX_TERMINATION_FUNCTIONS];
};

constinit TerminationTable g_Termination{};

// Runs the termination functions when the module goes: its destructor is registered when the module's
// static objects are constructed, so it runs after the objects constructed later are gone and before the
// ones constructed earlier.
struct ModuleTerminator {
    ~ModuleTerminator() { corvane::TerminateModule(); }
};

ModuleTerminator g_Terminator;

}  // namespace

void ModuleLock() noexcept {
    ++g_nModuleLockCount;
}

void ModuleUnlock() noexcept {
    if (--g_nModuleLockCount == 0) {
        if (corvane::ModuleUnlockedHandler pfnHandler = g_pfnUnlockedHandler.load()) pfnHandler();
    }
}

LONG GetModuleLockCount() noexcept {
    return g_nModuleLockCount.load();
}

namespace corvane {

void SetModuleUnlockedHandler(ModuleUnlockedHandler pfnHandler) noexcept {
    g_pfnUnlockedHandler.store(pfnHandler);
}

const char* GetModulePath() noexcept {
    return Names().szModulePath;
}

const char* GetModuleFileName() noexcept {
    return Names().pszModuleFileName;
}

const char* GetProcessImagePath() noexcept {
    return Names().szProcessImagePath;
}

bool IsProgramImage() noexcept {
    return Names().bProgramImage;
}

bool AddModuleTerminationFunction(ModuleTerminationFunction pfnFunction) noexcept {
    if (pfnFunction == nullptr) return false;
    std::lock_guard Lock(g_Termination.Lock);
    if (g_Termination.nCount == MAX_TERMINATION_FUNCTIONS) return false;
    g_Termination.ppfnFunctions[g_Termination.nCount++] = pfnFunction;
    return true;
}

void TerminateModule() noexcept {
    // Each function is taken out of the table before it runs, so one that registers another function or
    // terminates the module itself cannot run anything twice.
    for (;;) {
        ModuleTerminationFunction pfnFunction = nullptr;
        {
            std::lock_guard Lock(g_Termination.Lock);
            if (g_Termination.nCount == 0) return;
            pfnFunction = g_Termination.ppfnFunctions[--g_Termination.nCount];
        }
        pfnFunction();
    }
}

}  // namespace corvane

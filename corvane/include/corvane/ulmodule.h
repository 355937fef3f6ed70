// State of the module this copy of the foundation library is compiled into: the program or a plug-in
// library. Every deliverable links its own copy with hidden symbols, so the lock count, the file names and
// the termination functions below belong to that deliverable alone.
#pragma once

#include "comrt/types.h"

// The module lock count: every live COM object of the module and every IClassFactory::LockServer(TRUE)
// holds one lock. A library may be unloaded when the count is zero; the program reports a non-zero count
// when it terminates.
void ModuleLock() noexcept;
void ModuleUnlock() noexcept;
LONG GetModuleLockCount() noexcept;

namespace corvane {

// Called, on the unlocking thread, each time the lock count falls to zero (a local server starts its
// delayed shutdown there); nullptr removes it. The handler must not throw.
using ModuleUnlockedHandler = void (*)() noexcept;
void SetModuleUnlockedHandler(ModuleUnlockedHandler pfnHandler) noexcept;

// The absolute path of the module's file (the program image, or the shared library that contains this
// copy of the foundation library), found from an address inside the module. Computed once; empty text
// when the loader cannot tell.
const char* GetModulePath() noexcept;
// The file name part of GetModulePath(), for example "HarkwellServer" or "HarkwellPack1.so".
const char* GetModuleFileName() noexcept;
// The absolute path of the process's program image (/proc/self/exe).
const char* GetProcessImagePath() noexcept;
// True when the module is the program image itself, false when it is a library loaded into a program.
bool IsProgramImage() noexcept;

// Functions run when the module terminates: at the end of the process for the program, when the library is
// unloaded for a plug-in. They run in reverse order of registration, once, and must not throw. At most 32
// can be registered; false when the table is full.
using ModuleTerminationFunction = void (*)() noexcept;
bool AddModuleTerminationFunction(ModuleTerminationFunction pfnFunction) noexcept;
// Runs the registered termination functions now (later calls, and the automatic run at unload, find none).
void TerminateModule() noexcept;

}  // namespace corvane

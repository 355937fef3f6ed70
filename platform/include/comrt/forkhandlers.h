// Handlers that run in the child process after fork, for state a module keeps per thread or per process.
//
// Inline on purpose: the C library ties a handler to the module whose code registers it and drops it when
// that module is unloaded, so a plug-in's handler must be registered from the plug-in's own code.
#pragma once

#include <pthread.h>

namespace comrt {

// Runs pfnHandler in the child after every later fork, in the forking thread (the child's only one).
inline bool AddForkChildHandler(void (*pfnHandler)()) noexcept {
    return pthread_atfork(nullptr, nullptr, pfnHandler) == 0;
}

}  // namespace comrt

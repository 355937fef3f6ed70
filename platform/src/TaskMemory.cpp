// Task memory: the one allocator whose blocks may change hands between modules. Every module of the process
// reaches it through the runtime library, so a block allocated by a plug-in may be freed by the program.
#include <cstdlib>

#include "comrt/runtime.h"

void* CoTaskMemAlloc(std::size_t cb) {
    // A zero-byte request still gives a distinct block, which callers may free like any other.
    return std::malloc(cb == 0 ? 1 : cb);
}

void* CoTaskMemRealloc(void* pv, std::size_t cb) {
    if (pv == nullptr) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        // Shrinking to nothing frees the block, as the allocator interface of the original platform does.
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb);
}

void CoTaskMemFree(void* pv) {
    std::free(pv);
}

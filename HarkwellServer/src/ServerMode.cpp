#include "ServerMode.h"

#include <atomic>

namespace {

std::atomic<bool> g_bServiceMode{false};

}  // namespace

bool IsServiceMode() noexcept {
    return g_bServiceMode.load();
}

void SetServiceMode(bool bServiceMode) noexcept {
    g_bServiceMode.store(bServiceMode);
}

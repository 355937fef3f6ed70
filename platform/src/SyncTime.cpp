// The millisecond tick counter and Sleep, on the monotonic clock.
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "comrt/sync.h"

namespace {

// GetTickCount answers the clock's milliseconds plus this offset, cut to 32 bits.
std::atomic<DWORD> g_nTickOffset{0};

DWORD MonotonicMilliseconds() noexcept {
    timespec Time{};
    clock_gettime(CLOCK_MONOTONIC, &Time);
    return static_cast<DWORD>(static_cast<std::uint64_t>(Time.tv_sec) * 1000u +
                              static_cast<std::uint64_t>(Time.tv_nsec) / 1000000u);
}

}  // namespace

DWORD GetTickCount() noexcept {
    return MonotonicMilliseconds() + g_nTickOffset.load(std::memory_order_relaxed);
}

void Sleep(DWORD dwMilliseconds) noexcept {
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec Deadline{};
    clock_gettime(CLOCK_MONOTONIC, &Deadline);
    Deadline.tv_sec += static_cast<time_t>(dwMilliseconds / 1000);
    Deadline.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    if (Deadline.tv_nsec >= 1000000000L) {
        Deadline.tv_nsec -= 1000000000L;
        ++Deadline.tv_sec;
    }
    // An absolute deadline, so that a signal (EINTR) does not lengthen or shorten the sleep.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &Deadline, nullptr) == EINTR) {
    }
}

namespace comrt {

void SetTickCountOrigin(DWORD nTickCount) noexcept {
    g_nTickOffset.store(nTickCount - MonotonicMilliseconds(), std::memory_order_relaxed);
}

}  // namespace comrt

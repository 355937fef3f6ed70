// Stop requests as signals: SIGINT and SIGTERM, taken with sigwait while blocked, or turned into the
// readiness of a pipe by a handler that only writes to it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "comrt/console.h"
#include "comrt/sync.h"
#include "comrt/systemerrors.h"

namespace {

sigset_t StopSignals() noexcept {
    sigset_t Signals;
    sigemptyset(&Signals);
    sigaddset(&Signals, SIGINT);
    sigaddset(&Signals, SIGTERM);
    return Signals;
}

// The pipe whose read end becomes readable with the first stop signal; made once, kept for the process.
int g_pnStopPipe[2] = {-1, -1};
std::mutex g_StopPipeLock;

void OnStopSignal(int) {
    const int nSavedErrno = errno;
    const char c = 0;
    [[maybe_unused]] const ssize_t n = ::write(g_pnStopPipe[1], &c, 1);
    errno = nSavedErrno;
}

}  // namespace

namespace comrt {

void BlockStopSignals() noexcept {
    const sigset_t Signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
}

void UnblockStopSignals() noexcept {
    const sigset_t Signals = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &Signals, nullptr);
}

int WaitForStopSignal() noexcept {
    const sigset_t Signals = StopSignals();
    for (;;) {
        int nSignal = 0;
        if (sigwait(&Signals, &nSignal) == 0) return nSignal;
    }
}

HANDLE CreateStopSignalEvent(std::string* psReason) noexcept {
    {
        std::lock_guard Lock(g_StopPipeLock);
        if (g_pnStopPipe[0] < 0) {
            // Non-blocking writes: a burst of signals fills the pipe at worst, and the handler never hangs.
            if (::pipe2(g_pnStopPipe, O_CLOEXEC) != 0) {
                const int nError = errno;
                if (psReason != nullptr) {
                    try {
                        *psReason = std::strerror(nError);
                    } catch (...) {
                    }
                }
                SetLastError(Win32ErrorFromErrno(nError));
                return nullptr;
            }
            ::fcntl(g_pnStopPipe[1], F_SETFL, O_NONBLOCK);
            struct sigaction Action {};
            Action.sa_handler = &OnStopSignal;
            sigemptyset(&Action.sa_mask);
            Action.sa_flags = SA_RESTART;
            sigaction(SIGINT, &Action, nullptr);
            sigaction(SIGTERM, &Action, nullptr);
        }
    }
    return CreateFdWaitable(g_pnStopPipe[0], POLLIN, false);
}

}  // namespace comrt

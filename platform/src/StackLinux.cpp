// Call stacks: capture by unwinding, another thread's stack by a signal that makes the thread capture its
// own, symbols from GCC's libbacktrace in a short-lived child process, the module of an address.
#include "comrt/stack.h"

#include <backtrace.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#if defined(__SANITIZE_THREAD__)
#define COMRT_STACK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define COMRT_STACK_THREAD_SANITIZER 1
#endif
#endif

namespace {

// --- Capture ------------------------------------------------------------------------------------------

struct UnwindState {
    std::uintptr_t nStart;
    bool bStarted;
    ULONG nSkip;
    ULONG nCount;
    ULONG nMaxCount;
    std::uintptr_t* pnFrames;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* pContext, void* pvState) {
    auto& State = *static_cast<UnwindState*>(pvState);
    if (State.nCount >= State.nMaxCount) return _URC_END_OF_STACK;
    int bBeforeInstruction = 0;
    const std::uintptr_t nAddress = _Unwind_GetIPInfo(pContext, &bBeforeInstruction);
    if (nAddress == 0) return _URC_END_OF_STACK;
    if (!State.bStarted) {
        if (nAddress != State.nStart) return _URC_NO_REASON;
        State.bStarted = true;
    }
    if (State.nSkip > 0) {
        --State.nSkip;
        return _URC_NO_REASON;
    }
    State.pnFrames[State.nCount++] = bBeforeInstruction ? nAddress : nAddress - 1;
    return State.nCount == State.nMaxCount ? _URC_END_OF_STACK : _URC_NO_REASON;
}

// Async-signal-safe: the unwinder finds frame tables without locks or allocation (glibc's _dl_find_object).
ULONG Unwind(std::uintptr_t nStart, ULONG nSkip, std::uintptr_t* pnFrames, ULONG nMaxCount) noexcept {
    if (pnFrames == nullptr || nMaxCount == 0) return 0;
    UnwindState State{nStart, nStart == 0, nSkip, 0, nMaxCount, pnFrames};
    _Unwind_Backtrace(&CollectFrame, &State);
    if (State.bStarted) return State.nCount;
    // The start frame was not seen (no unwind table for it): keep the whole stack rather than nothing.
    State = UnwindState{0, true, 0, 0, nMaxCount, pnFrames};
    _Unwind_Backtrace(&CollectFrame, &State);
    return State.nCount;
}

// --- Another thread's stack ---------------------------------------------------------------------------

constexpr int CAPTURE_SIGNAL = SIGURG;
constexpr long ANSWER_TIMEOUT_MILLISECONDS = 1000;
constexpr ULONG MAX_CAPTURED_FRAMES = 64;

enum CaptureState : int { CAPTURE_IDLE, CAPTURE_ARMED, CAPTURE_CAPTURING, CAPTURE_DONE };

struct CaptureRequest {
    std::atomic<int> nState;
    std::atomic<pid_t> nThread;
    ULONG nCount;
    std::uintptr_t pnFrames[MAX_CAPTURED_FRAMES];
    sem_t Answered;
};

constinit CaptureRequest g_Request{};
constinit std::mutex g_RequestLock;  // one request at a time; guards the fields it sets
constinit bool g_bRequestReady = false;

std::uintptr_t InterruptedAddress(const void* pvContext) noexcept {
    const auto* pContext = static_cast<const ucontext_t*>(pvContext);
    if (pContext == nullptr) return 0;
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(pContext->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(pContext->uc_mcontext.pc);
#else
    return 0;
#endif
}

// Answers only the runtime's own requests: queued by this process, for this thread, naming the request.
void CaptureSignalHandler(int, siginfo_t* pInfo, void* pvContext) {
    const int nSavedErrno = errno;
    if (pInfo != nullptr && pInfo->si_code == SI_QUEUE && pInfo->si_pid == getpid() &&
        pInfo->si_value.sival_ptr == &g_Request && g_Request.nThread.load() == gettid()) {
        int nExpected = CAPTURE_ARMED;
        if (g_Request.nState.compare_exchange_strong(nExpected, CAPTURE_CAPTURING)) {
            g_Request.nCount = Unwind(InterruptedAddress(pvContext), 0, g_Request.pnFrames, MAX_CAPTURED_FRAMES);
            g_Request.nState.store(CAPTURE_DONE);
            sem_post(&g_Request.Answered);
        }
    }
    errno = nSavedErrno;
}

bool IsCaptureHandler(const struct sigaction& Action) noexcept {
    return (Action.sa_flags & SA_SIGINFO) != 0 && Action.sa_sigaction == &CaptureSignalHandler;
}

// Installs the handler unless a handler is installed already; true when ours is the one in place.
bool InstallCaptureHandler() noexcept {
    struct sigaction Current {};
    if (sigaction(CAPTURE_SIGNAL, nullptr, &Current) != 0) return false;
    if (IsCaptureHandler(Current)) return true;
    if ((Current.sa_flags & SA_SIGINFO) != 0 || (Current.sa_handler != SIG_DFL && Current.sa_handler != SIG_IGN))
        return false;
    struct sigaction Handler {};
    Handler.sa_sigaction = &CaptureSignalHandler;
    Handler.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&Handler.sa_mask);
    return sigaction(CAPTURE_SIGNAL, &Handler, nullptr) == 0;
}

// The runtime leaves no handler behind when it is unloaded.
__attribute__((destructor)) void RemoveCaptureHandler() noexcept {
    struct sigaction Current {};
    if (sigaction(CAPTURE_SIGNAL, nullptr, &Current) != 0 || !IsCaptureHandler(Current)) return;
    struct sigaction Default {};
    Default.sa_handler = SIG_DFL;
    sigemptyset(&Default.sa_mask);
    sigaction(CAPTURE_SIGNAL, &Default, nullptr);
}

timespec DeadlineAfter(long nMilliseconds) noexcept {
    timespec Deadline{};
    clock_gettime(CLOCK_MONOTONIC, &Deadline);
    Deadline.tv_sec += nMilliseconds / 1000;
    Deadline.tv_nsec += (nMilliseconds % 1000) * 1000000;
    if (Deadline.tv_nsec >= 1000000000) {
        Deadline.tv_sec += 1;
        Deadline.tv_nsec -= 1000000000;
    }
    return Deadline;
}

bool WaitForAnswer() noexcept {
    const timespec Deadline = DeadlineAfter(ANSWER_TIMEOUT_MILLISECONDS);
    for (;;) {
        if (sem_clockwait(&g_Request.Answered, CLOCK_MONOTONIC, &Deadline) == 0) return true;
        if (errno != EINTR) return false;
    }
}

// --- Symbols ------------------------------------------------------------------------------------------

constexpr int SYMBOL_LOOKUP_MILLISECONDS = 10000;
constexpr int CHILD_FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

// Missing debug information is normal (system libraries): the frame keeps what the other sources give.
void IgnoreSymbolError(void*, const char*, int) {}

void CopyName(char* pszTarget, std::size_t cchTarget, const char* pszName) noexcept {
    const std::size_t cch = std::min(strlen(pszName), cchTarget - 1);
    memcpy(pszTarget, pszName, cch);
    pszTarget[cch] = 0;
}

void ReceiveSymbol(void* pvFrame, std::uintptr_t, const char* pszName, std::uintptr_t nValue, std::uintptr_t) {
    auto& Frame = *static_cast<comrt::SYMBOL_FRAME_INFO*>(pvFrame);
    if (pszName == nullptr) return;
    Frame.bSymbol = TRUE;
    Frame.nSymbolAddress = nValue;
    CopyName(Frame.szSymbol, sizeof(Frame.szSymbol), pszName);
}

// Called once per function for an address inside inlined code, innermost first: the first call tells the
// source line the address belongs to, the last one the function that was really called.
int ReceiveLine(void* pvFrame, std::uintptr_t, const char* pszFile, int nLine, const char* pszFunction) {
    auto& Frame = *static_cast<comrt::SYMBOL_FRAME_INFO*>(pvFrame);
    if (!Frame.bLine && pszFile != nullptr && nLine > 0) {
        Frame.bLine = TRUE;
        Frame.nLine = nLine;
        CopyName(Frame.szFile, sizeof(Frame.szFile), pszFile);
    }
    if (pszFunction != nullptr) {
        Frame.bFunction = TRUE;
        CopyName(Frame.szFunction, sizeof(Frame.szFunction), pszFunction);
    }
    return 0;
}

bool WriteAll(int nFile, const void* pvData, std::size_t cbData) noexcept {
    const auto* pch = static_cast<const char*>(pvData);
    while (cbData > 0) {
        const ssize_t cbWritten = write(nFile, pch, cbData);
        if (cbWritten < 0 && errno == EINTR) continue;
        if (cbWritten <= 0) return false;
        pch += cbWritten;
        cbData -= static_cast<std::size_t>(cbWritten);
    }
    return true;
}

// The child's work: one record per address into nOutput, then the end of the child. libbacktrace takes its
// memory with mmap, never with malloc.
[[noreturn]] void LookUpSymbolsInChild(const std::uintptr_t* pnAddresses, int nCount, int nOutput) noexcept {
    // A fault in here ends the child by its signal, without a report of the child's own.
    struct sigaction Default {};
    Default.sa_handler = SIG_DFL;
    sigemptyset(&Default.sa_mask);
    for (int nSignal : CHILD_FATAL_SIGNALS) sigaction(nSignal, &Default, nullptr);
    // One thread: the engine needs no locks.
    backtrace_state* pEngine = backtrace_create_state(nullptr, 0, &IgnoreSymbolError, nullptr);
    for (int i = 0; i < nCount; ++i) {
        comrt::SYMBOL_FRAME_INFO Frame{};
        if (pEngine != nullptr) {
            backtrace_syminfo(pEngine, pnAddresses[i], &ReceiveSymbol, &IgnoreSymbolError, &Frame);
            backtrace_pcinfo(pEngine, pnAddresses[i], &ReceiveLine, &IgnoreSymbolError, &Frame);
        }
        if (!WriteAll(nOutput, &Frame, sizeof(Frame))) break;
    }
    _exit(0);
}

std::int64_t MonotonicMilliseconds() noexcept {
    timespec Now{};
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return static_cast<std::int64_t>(Now.tv_sec) * 1000 + Now.tv_nsec / 1000000;
}

// The module's path as the loader gives it: empty for the program.
const char* PathOfMap(const link_map* pMap) noexcept {
    return pMap->l_name != nullptr ? pMap->l_name : "";
}

}  // namespace

USHORT comrt::CaptureStackBackTraceFrom(std::uintptr_t nStart, ULONG FramesToSkip, ULONG FramesToCapture,
                                        std::uintptr_t* BackTrace) noexcept {
    return static_cast<USHORT>(Unwind(nStart, FramesToSkip, BackTrace, std::min<ULONG>(FramesToCapture, 0xFFFF)));
}

BOOL comrt::CaptureThreadStackBackTrace(DWORD dwThreadId, ULONG FramesToCapture, std::uintptr_t* BackTrace,
                                        ULONG* pnCaptured) noexcept {
    if (pnCaptured != nullptr) *pnCaptured = 0;
    if (dwThreadId == 0 || BackTrace == nullptr || pnCaptured == nullptr) return FALSE;
    if (static_cast<pid_t>(dwThreadId) == gettid()) {
        *pnCaptured =
            Unwind(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), 0, BackTrace, FramesToCapture);
        return TRUE;
    }
    std::lock_guard Lock(g_RequestLock);
    if (!g_bRequestReady) {
        if (sem_init(&g_Request.Answered, 0, 0) != 0) return FALSE;
        g_bRequestReady = true;
    }
    // A handler still capturing for an abandoned request keeps the slot until it is done.
    int nState = g_Request.nState.load();
    if (nState == CAPTURE_CAPTURING) return FALSE;
    while (sem_trywait(&g_Request.Answered) == 0) {
    }
    if (!InstallCaptureHandler()) return FALSE;

    g_Request.nThread.store(static_cast<pid_t>(dwThreadId));
    g_Request.nCount = 0;
    g_Request.nState.store(CAPTURE_ARMED);
    siginfo_t Info{};
    Info.si_signo = CAPTURE_SIGNAL;
    Info.si_code = SI_QUEUE;
    Info.si_pid = getpid();
    Info.si_uid = getuid();
    Info.si_value.sival_ptr = &g_Request;
    if (syscall(SYS_rt_tgsigqueueinfo, getpid(), static_cast<pid_t>(dwThreadId), CAPTURE_SIGNAL, &Info) != 0) {
        g_Request.nState.store(CAPTURE_IDLE);
        return FALSE;
    }
    if (!WaitForAnswer()) {
        // Withdraw the request unless the thread has begun to answer it; then give it one more period.
        nState = CAPTURE_ARMED;
        if (g_Request.nState.compare_exchange_strong(nState, CAPTURE_IDLE) || !WaitForAnswer()) return FALSE;
    }
    // Reading the state makes the handler's frames visible here.
    if (g_Request.nState.load() != CAPTURE_DONE) return FALSE;
    const ULONG nCount = std::min(g_Request.nCount, FramesToCapture);
    memcpy(BackTrace, g_Request.pnFrames, sizeof(std::uintptr_t) * nCount);
    g_Request.nState.store(CAPTURE_IDLE);
    *pnCaptured = nCount;
    return nCount > 0;
}

void comrt::SymBeginLookup(SYMBOL_LOOKUP* pLookup, const std::uintptr_t* pnAddresses, int nCount,
                           BOOL bInSignalHandler) noexcept {
    if (pLookup == nullptr) return;
    *pLookup = SYMBOL_LOOKUP{-1, -1, nCount, 0};
    if (nCount <= 0 || pnAddresses == nullptr) return;
    int pnPipe[2];
    if (pipe2(pnPipe, O_CLOEXEC) != 0) return;
#if defined(COMRT_STACK_THREAD_SANITIZER)
    // ThreadSanitizer's runtime is usable in the child only after its own fork, which a signal handler
    // cannot call.
    const pid_t nChild = bInSignalHandler ? _Fork() : fork();
#else
    (void)bInSignalHandler;
    // The fork runs no fork handlers: the child copies a process in any state.
    const pid_t nChild = _Fork();
#endif
    if (nChild == 0) {
        close(pnPipe[0]);
        LookUpSymbolsInChild(pnAddresses, nCount, pnPipe[1]);
    }
    close(pnPipe[1]);
    if (nChild < 0) {
        close(pnPipe[0]);
        return;
    }
    pLookup->nChild = nChild;
    pLookup->nInput = pnPipe[0];
    pLookup->nDeadline = MonotonicMilliseconds() + SYMBOL_LOOKUP_MILLISECONDS;
}

BOOL comrt::SymNextFrame(SYMBOL_LOOKUP* pLookup, SYMBOL_FRAME_INFO* pFrame) noexcept {
    if (pLookup == nullptr || pFrame == nullptr || pLookup->nInput < 0) return FALSE;
    auto* pch = reinterpret_cast<char*>(pFrame);
    std::size_t cbLeft = sizeof(*pFrame);
    while (cbLeft > 0) {
        pollfd Poll{pLookup->nInput, POLLIN, 0};
        const std::int64_t nWait = std::max<std::int64_t>(0, pLookup->nDeadline - MonotonicMilliseconds());
        const int nReady = nWait > 0 ? poll(&Poll, 1, static_cast<int>(nWait)) : 0;
        if (nReady < 0 && errno == EINTR) continue;
        const ssize_t cbRead = nReady > 0 ? read(pLookup->nInput, pch, cbLeft) : -1;
        if (cbRead < 0 && nReady > 0 && errno == EINTR) continue;
        if (cbRead <= 0) {
            SymEndLookup(pLookup);
            return FALSE;
        }
        pch += cbRead;
        cbLeft -= static_cast<std::size_t>(cbRead);
    }
    --pLookup->nLeft;
    return TRUE;
}

void comrt::SymEndLookup(SYMBOL_LOOKUP* pLookup) noexcept {
    if (pLookup == nullptr) return;
    if (pLookup->nInput >= 0) close(pLookup->nInput);
    pLookup->nInput = -1;
    if (pLookup->nChild <= 0) return;
    // A child that has sent everything is ending by itself.
    if (pLookup->nLeft > 0) kill(pLookup->nChild, SIGKILL);
    while (waitpid(pLookup->nChild, nullptr, 0) < 0 && errno == EINTR) {
    }
    pLookup->nChild = -1;
}

BOOL comrt::SymGetModuleOfAddress(std::uintptr_t nAddress, LOADED_MODULE_OF_ADDRESS* pModule) noexcept {
    if (pModule == nullptr) return FALSE;
    *pModule = LOADED_MODULE_OF_ADDRESS{nullptr, nullptr, 0};
    Dl_info Info{};
    link_map* pMap = nullptr;
    if (dladdr1(reinterpret_cast<void*>(nAddress), &Info, reinterpret_cast<void**>(&pMap), RTLD_DL_LINKMAP) == 0 ||
        pMap == nullptr)
        return FALSE;
    pModule->pszModulePath = PathOfMap(pMap);
    pModule->pszExportName = Info.dli_sname;
    pModule->nExportAddress = reinterpret_cast<std::uintptr_t>(Info.dli_saddr);
    return TRUE;
}

const char* comrt::GetModulePathOfAddressInSignalHandler(std::uintptr_t nAddress) noexcept {
    // The loader's lookup that takes no lock (dladdr does).
    dl_find_object Object{};
    if (_dl_find_object(reinterpret_cast<void*>(nAddress), &Object) != 0 || Object.dlfo_link_map == nullptr)
        return nullptr;
    return PathOfMap(Object.dlfo_link_map);
}

void comrt::GetLoadedModulesGeneration(ULONGLONG* pnLoaded, ULONGLONG* pnUnloaded) noexcept {
    struct Generation {
        ULONGLONG nLoaded = 0;
        ULONGLONG nUnloaded = 0;
    } Counts;
    dl_iterate_phdr(
        [](dl_phdr_info* pInfo, std::size_t cbInfo, void* pvCounts) {
            if (cbInfo >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(pInfo->dlpi_subs)) {
                auto& Counts = *static_cast<Generation*>(pvCounts);
                Counts.nLoaded = pInfo->dlpi_adds;
                Counts.nUnloaded = pInfo->dlpi_subs;
            }
            return 1;
        },
        &Counts);
    if (pnLoaded != nullptr) *pnLoaded = Counts.nLoaded;
    if (pnUnloaded != nullptr) *pnUnloaded = Counts.nUnloaded;
}

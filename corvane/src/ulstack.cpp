// Call stacks: capture by unwinding, symbols from GCC's libbacktrace in a short-lived child process, the
// stack of another thread by a signal that makes the thread capture its own.
// One file (about 750 lines): capture, the other thread's capture and the symbol lookup share the fixed
// buffers and async-signal-safe helpers that crash reports need; in separate files those would become
// module-wide symbols that a signal handler reaches across files.
#include <backtrace.h>
#include <cxxabi.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <link.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "corvane/uldebug.h"
#include "corvane/ulmodule.h"

#if defined(__SANITIZE_THREAD__)
#define CORVANE_STACK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORVANE_STACK_THREAD_SANITIZER 1
#endif
#endif

using namespace corvane;

namespace {

// --- Capture ------------------------------------------------------------------------------------------

// Unwinding state. Frames are skipped until one whose instruction pointer is nStart (the return address of
// the public entry, or the interrupted instruction in a signal handler), then nSkip more, so that neither
// inlining nor tail calls inside this file change where a stack starts.
struct UnwindState {
    std::uintptr_t nStart;
    bool bStarted;
    int nSkip;
    int nCount;
    int nMaxCount;
    std::uintptr_t* pnFrames;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* pContext, void* pvState) {
    auto& State = *static_cast<UnwindState*>(pvState);
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
    // A return address points after its call; one less lies inside the call, on the caller's line.
    State.pnFrames[State.nCount++] = bBeforeInstruction ? nAddress : nAddress - 1;
    return State.nCount == State.nMaxCount ? _URC_END_OF_STACK : _URC_NO_REASON;
}

// Async-signal-safe: the unwinder finds frame tables without locks or allocation (glibc's _dl_find_object).
int Unwind(std::uintptr_t nStart, int nSkip, std::uintptr_t* pnFrames, int nMaxCount) noexcept {
    UnwindState State{nStart, nStart == 0, nSkip, 0, nMaxCount, pnFrames};
    _Unwind_Backtrace(&CollectFrame, &State);
    if (State.bStarted) return State.nCount;
    // The start frame was not seen (no unwind table for it): keep the whole stack rather than nothing.
    State = UnwindState{0, true, 0, 0, nMaxCount, pnFrames};
    _Unwind_Backtrace(&CollectFrame, &State);
    return State.nCount;
}

// --- Another thread's stack ---------------------------------------------------------------------------
//
// The request lives in static storage of the module that asks, and carries a marker, so that whichever
// module's handler receives the signal can answer it: the program and each plug-in have their own copy of
// this code, and only one handler can be installed for the signal. The marker names the layout below:
// change it whenever the layout changes.

constexpr int CAPTURE_SIGNAL = SIGURG;
constexpr std::uint64_t CAPTURE_MARKER = 0x434b415453564331ull;
constexpr long ANSWER_TIMEOUT_MILLISECONDS = 1000;

enum CaptureState : int { CAPTURE_IDLE, CAPTURE_ARMED, CAPTURE_CAPTURING, CAPTURE_DONE };

struct CaptureRequest {
    std::uint64_t nMarker;
    std::atomic<int> nState;
    std::atomic<pid_t> nThread;
    int nCount;
    std::uintptr_t pnFrames[CDebugTraceCallStack::MAX_FRAMES];
    sem_t Answered;
};

constinit CaptureRequest g_Request{};
constinit std::mutex g_RequestLock;  // one request of this module at a time; guards the fields it sets
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

void CaptureSignalHandler(int, siginfo_t* pInfo, void* pvContext) {
    const int nSavedErrno = errno;
    if (pInfo != nullptr && pInfo->si_code == SI_QUEUE && pInfo->si_pid == getpid()) {
        auto* pRequest = static_cast<CaptureRequest*>(pInfo->si_value.sival_ptr);
        if (pRequest != nullptr && pRequest->nMarker == CAPTURE_MARKER && pRequest->nThread.load() == gettid()) {
            int nExpected = CAPTURE_ARMED;
            if (pRequest->nState.compare_exchange_strong(nExpected, CAPTURE_CAPTURING)) {
                pRequest->nCount =
                    Unwind(InterruptedAddress(pvContext), 0, pRequest->pnFrames, CDebugTraceCallStack::MAX_FRAMES);
                pRequest->nState.store(CAPTURE_DONE);
                sem_post(&pRequest->Answered);
            }
        }
    }
    errno = nSavedErrno;
}

// Whether this module's handler removal waits among the module's termination functions.
constinit std::atomic<bool> g_bRemovalRegistered{false};

void RemoveCaptureHandler() noexcept {
    g_bRemovalRegistered.store(false);
    struct sigaction Current {};
    if (sigaction(CAPTURE_SIGNAL, nullptr, &Current) != 0) return;
    if ((Current.sa_flags & SA_SIGINFO) != 0 && Current.sa_sigaction == &CaptureSignalHandler) {
        struct sigaction Default {};
        Default.sa_handler = SIG_DFL;
        sigemptyset(&Default.sa_mask);
        sigaction(CAPTURE_SIGNAL, &Default, nullptr);
    }
}

// Installs this module's handler unless one is installed already (another module's copy answers our
// requests as well; a foreign handler leaves them unanswered). The module removes its handler when it
// terminates, so a library being unloaded leaves no handler behind.
void InstallCaptureHandler() noexcept {
    struct sigaction Current {};
    if (sigaction(CAPTURE_SIGNAL, nullptr, &Current) != 0) return;
    if ((Current.sa_flags & SA_SIGINFO) != 0 || (Current.sa_handler != SIG_DFL && Current.sa_handler != SIG_IGN))
        return;
    struct sigaction Handler {};
    Handler.sa_sigaction = &CaptureSignalHandler;
    Handler.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&Handler.sa_mask);
    if (sigaction(CAPTURE_SIGNAL, &Handler, nullptr) != 0) return;
    if (!g_bRemovalRegistered.exchange(true)) AddModuleTerminationFunction(&RemoveCaptureHandler);
}

bool WaitForAnswer() noexcept {
    timespec Deadline{};
    clock_gettime(CLOCK_MONOTONIC, &Deadline);
    Deadline.tv_sec += ANSWER_TIMEOUT_MILLISECONDS / 1000;
    Deadline.tv_nsec += (ANSWER_TIMEOUT_MILLISECONDS % 1000) * 1000000;
    if (Deadline.tv_nsec >= 1000000000) {
        Deadline.tv_sec += 1;
        Deadline.tv_nsec -= 1000000000;
    }
    for (;;) {
        if (sem_clockwait(&g_Request.Answered, CLOCK_MONOTONIC, &Deadline) == 0) return true;
        if (errno != EINTR) return false;
    }
}

// --- Symbols ------------------------------------------------------------------------------------------
//
// Symbols, source files and lines are looked up in a child process forked for one stack: the child reads
// the tables of the modules loaded at that moment in its copy of the address space, sends one record per
// frame through a pipe and ends, and the tables end with it. The process thus holds no symbol tables while
// it runs; it pays for them while a stack is described. The child does only what a signal handler may do
// (libbacktrace takes its memory with mmap, never with malloc; the fork runs no fork handlers), since it
// copies a process in any state: a crashed one, or one whose other threads hold locks that no thread of the
// child will ever release. A child that has not answered within SYMBOL_LOOKUP_MILLISECONDS (a loader lock
// held at the fork) is killed; the frames it did not describe keep what the loader tells.

constexpr int SYMBOL_LOOKUP_MILLISECONDS = 10000;
constexpr int CHILD_FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

constinit std::atomic<bool> g_bSymbolsEnabled{true};

// What the symbol tables tell about a frame, as the child sends it; names are cut to their buffers and stay
// as the tables store them (mangled).
struct FrameSymbols {
    bool bSymbol;
    std::uintptr_t nSymbolValue;
    bool bLine;
    int nLine;
    bool bFunction;
    char szSymbol[1024];
    char szFile[1024];
    char szFunction[1024];
};

// Missing debug information is normal (system libraries): the frame keeps what the other sources give.
void IgnoreSymbolError(void*, const char*, int) {}

void CopyName(char* pszTarget, std::size_t cchTarget, const char* pszName) noexcept {
    const std::size_t cch = std::min(strlen(pszName), cchTarget - 1);
    memcpy(pszTarget, pszName, cch);
    pszTarget[cch] = 0;
}

void ReceiveSymbol(void* pvSymbols, std::uintptr_t, const char* pszName, std::uintptr_t nValue, std::uintptr_t) {
    auto& Symbols = *static_cast<FrameSymbols*>(pvSymbols);
    if (pszName == nullptr) return;
    Symbols.bSymbol = true;
    Symbols.nSymbolValue = nValue;
    CopyName(Symbols.szSymbol, sizeof(Symbols.szSymbol), pszName);
}

// Called once per function for an address inside inlined code, innermost first: the first call tells the
// source line the address belongs to, the last one the function that was really called.
int ReceiveLine(void* pvSymbols, std::uintptr_t, const char* pszFile, int nLine, const char* pszFunction) {
    auto& Symbols = *static_cast<FrameSymbols*>(pvSymbols);
    if (!Symbols.bLine && pszFile != nullptr && nLine > 0) {
        Symbols.bLine = true;
        Symbols.nLine = nLine;
        CopyName(Symbols.szFile, sizeof(Symbols.szFile), pszFile);
    }
    if (pszFunction != nullptr) {
        Symbols.bFunction = true;
        CopyName(Symbols.szFunction, sizeof(Symbols.szFunction), pszFunction);
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

// The child's work: one record per address into nOutput, then the end of the child.
[[noreturn]] void LookUpSymbolsInChild(const std::uintptr_t* pnAddresses, int nCount, int nOutput) noexcept {
    // A fault in here ends the child by its signal, without a report of the child's own.
    struct sigaction Default {};
    Default.sa_handler = SIG_DFL;
    sigemptyset(&Default.sa_mask);
    for (int nSignal : CHILD_FATAL_SIGNALS) sigaction(nSignal, &Default, nullptr);
    // One thread: the engine needs no locks.
    backtrace_state* pEngine = backtrace_create_state(nullptr, 0, &IgnoreSymbolError, nullptr);
    for (int i = 0; i < nCount; ++i) {
        FrameSymbols Symbols{};
        if (pEngine != nullptr) {
            backtrace_syminfo(pEngine, pnAddresses[i], &ReceiveSymbol, &IgnoreSymbolError, &Symbols);
            backtrace_pcinfo(pEngine, pnAddresses[i], &ReceiveLine, &IgnoreSymbolError, &Symbols);
        }
        if (!WriteAll(nOutput, &Symbols, sizeof(Symbols))) break;
    }
    _exit(0);
}

timespec DeadlineAfter(int nMilliseconds) noexcept {
    timespec Deadline{};
    clock_gettime(CLOCK_MONOTONIC, &Deadline);
    Deadline.tv_sec += nMilliseconds / 1000;
    Deadline.tv_nsec += static_cast<long>(nMilliseconds % 1000) * 1000000;
    if (Deadline.tv_nsec >= 1000000000) {
        Deadline.tv_sec += 1;
        Deadline.tv_nsec -= 1000000000;
    }
    return Deadline;
}

int MillisecondsUntil(const timespec& Deadline) noexcept {
    timespec Now{};
    clock_gettime(CLOCK_MONOTONIC, &Now);
    const long long nMilliseconds = (static_cast<long long>(Deadline.tv_sec) - Now.tv_sec) * 1000 +
                                    (Deadline.tv_nsec - Now.tv_nsec + 999999) / 1000000;
    return nMilliseconds <= 0 ? 0 : static_cast<int>(nMilliseconds);
}

// The lookup of one stack: the child describing its frames and this process's end of the pipe. Uses only
// async-signal-safe calls.
class CSymbolLookup {
public:
    // Starts the child for nCount addresses (none when nCount is 0 or the child cannot be made).
    CSymbolLookup(const std::uintptr_t* pnAddresses, int nCount, bool bInSignalHandler) noexcept : m_nLeft(nCount) {
        if (nCount <= 0) return;
        int pnPipe[2];
        if (pipe2(pnPipe, O_CLOEXEC) != 0) return;
#if defined(CORVANE_STACK_THREAD_SANITIZER)
        // ThreadSanitizer's runtime is usable in the child only after its own fork, which a signal handler
        // cannot call.
        const pid_t nChild = bInSignalHandler ? _Fork() : fork();
#else
        (void)bInSignalHandler;
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
        m_nChild = nChild;
        m_nInput = pnPipe[0];
        m_Deadline = DeadlineAfter(SYMBOL_LOOKUP_MILLISECONDS);
    }
    CSymbolLookup(const CSymbolLookup&) = delete;
    CSymbolLookup& operator=(const CSymbolLookup&) = delete;
    ~CSymbolLookup() {
        Stop();
    }

    // The next frame's record; false (and all later frames without one) once the child failed, ended early
    // or ran out of time.
    bool Next(FrameSymbols& Symbols) noexcept {
        if (m_nInput < 0) return false;
        auto* pch = reinterpret_cast<char*>(&Symbols);
        std::size_t cbLeft = sizeof(Symbols);
        while (cbLeft > 0) {
            pollfd Poll{m_nInput, POLLIN, 0};
            const int nWait = MillisecondsUntil(m_Deadline);
            const int nReady = nWait > 0 ? poll(&Poll, 1, nWait) : 0;
            if (nReady < 0 && errno == EINTR) continue;
            const ssize_t cbRead = nReady > 0 ? read(m_nInput, pch, cbLeft) : -1;
            if (cbRead < 0 && nReady > 0 && errno == EINTR) continue;
            if (cbRead <= 0) {
                Stop();
                return false;
            }
            pch += cbRead;
            cbLeft -= static_cast<std::size_t>(cbRead);
        }
        --m_nLeft;
        return true;
    }

private:
    void Stop() noexcept {
        if (m_nInput >= 0) close(m_nInput);
        m_nInput = -1;
        if (m_nChild <= 0) return;
        // A child that has sent everything is ending by itself.
        if (m_nLeft > 0) kill(m_nChild, SIGKILL);
        while (waitpid(m_nChild, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_nChild = -1;
    }

    pid_t m_nChild = -1;
    int m_nInput = -1;
    int m_nLeft;
    timespec m_Deadline{};
};

std::string Demangle(const char* pszName) {
    int nStatus = 0;
    char* pszDemangled = abi::__cxa_demangle(pszName, nullptr, nullptr, &nStatus);
    std::string sName(nStatus == 0 && pszDemangled != nullptr ? pszDemangled : pszName);
    free(pszDemangled);
    return sName;
}

// The module's display name: the file name of the program or library that contains the address.
std::string ModuleNameOf(const link_map* pMap) {
    const char* pszPath = pMap->l_name != nullptr && pMap->l_name[0] != 0 ? pMap->l_name : GetProcessImagePath();
    const char* pszSlash = strrchr(pszPath, '/');
    return pszSlash != nullptr ? pszSlash + 1 : pszPath;
}

// The symbols of frames described before, so that a stack seen again (the same throw, the same assertion)
// needs no child. Emptied when the loader adds or removes a module, since an address may then belong to
// another one, and when it would grow beyond SYMBOL_CACHE_FRAMES (a few hundred kilobytes at most).
constexpr std::size_t SYMBOL_CACHE_FRAMES = 1024;

struct CachedSymbols {
    bool bSymbol = false;
    std::string sSymbol;
    std::ptrdiff_t nSymbolDisplacement = 0;
    bool bLine = false;
    std::string sFile;
    int nLine = 0;

    static CachedSymbols From(std::uintptr_t nAddress, const FrameSymbols& Symbols) {
        CachedSymbols Cached;
        if (Symbols.bSymbol) {
            Cached.bSymbol = true;
            Cached.sSymbol = Demangle(Symbols.szSymbol);
            Cached.nSymbolDisplacement = static_cast<std::ptrdiff_t>(nAddress - Symbols.nSymbolValue);
        } else if (Symbols.bFunction) {
            Cached.bSymbol = true;
            Cached.sSymbol = Demangle(Symbols.szFunction);
        }
        if (Symbols.bLine) {
            Cached.bLine = true;
            Cached.sFile = Symbols.szFile;
            Cached.nLine = Symbols.nLine;
        }
        return Cached;
    }

    void Describe(CDebugTraceCallStack::CFrameDescription& Description) const {
        if (bSymbol) {
            Description.bSymbol = true;
            Description.sSymbol = sSymbol;
            Description.nSymbolDisplacement = nSymbolDisplacement;
        }
        if (bLine) {
            Description.bLine = true;
            Description.sFile = sFile;
            Description.nLine = nLine;
        }
    }
};

// The loader's counts of modules added and removed so far.
using LoaderGeneration = std::pair<unsigned long long, unsigned long long>;

LoaderGeneration CurrentLoaderGeneration() noexcept {
    LoaderGeneration Generation{0, 0};
    dl_iterate_phdr(
        [](dl_phdr_info* pInfo, std::size_t cbInfo, void* pvGeneration) {
            if (cbInfo >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(pInfo->dlpi_subs))
                *static_cast<LoaderGeneration*>(pvGeneration) = {pInfo->dlpi_adds, pInfo->dlpi_subs};
            return 1;
        },
        &Generation);
    return Generation;
}

struct SymbolCache {
    LoaderGeneration Generation{0, 0};
    std::unordered_map<std::uintptr_t, CachedSymbols> Frames;
};

// The cache lives from the first stack described to the module's termination (a plug-in's cache goes with
// the library); afterwards every stack is looked up anew.
constinit std::mutex g_CacheLock;  // guards the three below and the cache
constinit SymbolCache* g_pCache = nullptr;
constinit bool g_bCacheClosed = false;
constinit bool g_bCacheCloseRegistered = false;

void CloseSymbolCache() noexcept {
    std::lock_guard Lock(g_CacheLock);
    delete g_pCache;
    g_pCache = nullptr;
    g_bCacheClosed = true;
}

// The cache, made on first use; null after the module's termination or when it cannot be made. The caller
// holds g_CacheLock.
SymbolCache* OpenSymbolCache() noexcept {
    if (g_pCache != nullptr || g_bCacheClosed) return g_pCache;
    if (!g_bCacheCloseRegistered) {
        if (!AddModuleTerminationFunction(&CloseSymbolCache)) return nullptr;
        g_bCacheCloseRegistered = true;
    }
    g_pCache = new (std::nothrow) SymbolCache;
    return g_pCache;
}

// Keeps the lines of one stack together.
constinit std::mutex g_PrinterLock;

// The text of a frame in the form its known parts allow; a null part is unknown.
void FormatFrame(char* pszText, std::size_t cchText, std::uintptr_t nAddress, const char* pszModule,
                 const char* pszSymbol, std::ptrdiff_t nSymbolDisplacement, const char* pszFile, int nLine,
                 int nLineDisplacement) noexcept {
    if (pszModule == nullptr)
        snprintf(pszText, cchText, "!0x%08" PRIxPTR, nAddress);
    else if (pszSymbol != nullptr && pszFile != nullptr)
        snprintf(pszText, cchText, "%s!0x%08" PRIxPTR " %s (+ %td) [%s, %d] (+ %d)", pszModule, nAddress, pszSymbol,
                 nSymbolDisplacement, pszFile, nLine, nLineDisplacement);
    else if (pszSymbol != nullptr)
        snprintf(pszText, cchText, "%s!0x%08" PRIxPTR " %s (+ %td)", pszModule, nAddress, pszSymbol,
                 nSymbolDisplacement);
    else if (pszFile != nullptr)
        snprintf(pszText, cchText, "%s!0x%08" PRIxPTR " [%s, %d] (+ %d)", pszModule, nAddress, pszFile, nLine,
                 nLineDisplacement);
    else
        snprintf(pszText, cchText, "%s!0x%08" PRIxPTR, pszModule, nAddress);
}

// Writes frames under the printer lock, which the caller holds.
void WriteFrames(const CDebugTraceCallStack::CContext& Context, int nMaxFrameCount) noexcept {
    const CDebugTraceLocalContext Location(nullptr, 0, nullptr);
    const int nCount = std::max(0, std::min(Context.nFrameCount, nMaxFrameCount));
    try {
        for (const auto& Frame : CDebugTraceCallStack::DescribeFrames(Context.pnFrames, nCount))
            Location.Write(TRACE_LEVEL_ERROR, TraceText::CallStackFrame, Frame.Format().c_str());
    } catch (...) {
        // Out of memory while describing: the stack is left out.
    }
}

}  // namespace

namespace corvane {

bool AreDebugSymbolsEnabled() noexcept {
    return g_bSymbolsEnabled.load();
}

void SetDebugSymbolsEnabled(bool bEnabled) noexcept {
    g_bSymbolsEnabled.store(bEnabled);
}

}  // namespace corvane

std::string CDebugTraceCallStack::CFrameDescription::Format() const {
    char szText[TRACE_LINE_SIZE];
    FormatFrame(szText, sizeof(szText), nAddress, bModule ? sModule.c_str() : nullptr,
                bSymbol ? sSymbol.c_str() : nullptr, nSymbolDisplacement, bLine ? sFile.c_str() : nullptr, nLine,
                nLineDisplacement);
    return szText;
}

void CDebugTraceCallStack::DescribeFramesInSignalHandler(const std::uintptr_t* pnAddresses, int nCount,
                                                         void (*pfnWrite)(void* pvContext, const char* pszFrame),
                                                         void* pvContext) noexcept {
    if (pnAddresses == nullptr || pfnWrite == nullptr || nCount <= 0) return;
    CSymbolLookup Lookup(pnAddresses, AreDebugSymbolsEnabled() ? nCount : 0, true);
    for (int i = 0; i < nCount; ++i) {
        const std::uintptr_t nAddress = pnAddresses[i];
        // The loader's lookup that takes no lock (dladdr does).
        const char* pszModule = nullptr;
        dl_find_object Object{};
        if (_dl_find_object(reinterpret_cast<void*>(nAddress), &Object) == 0 && Object.dlfo_link_map != nullptr) {
            const char* pszPath = Object.dlfo_link_map->l_name;
            if (pszPath == nullptr || pszPath[0] == 0) pszPath = GetProcessImagePath();
            const char* pszSlash = strrchr(pszPath, '/');
            pszModule = pszSlash != nullptr ? pszSlash + 1 : pszPath;
        }
        FrameSymbols Symbols;
        if (!Lookup.Next(Symbols)) Symbols.bSymbol = Symbols.bLine = Symbols.bFunction = false;
        const char* pszSymbol = Symbols.bSymbol ? Symbols.szSymbol : Symbols.bFunction ? Symbols.szFunction : nullptr;
        const std::ptrdiff_t nDisplacement =
            Symbols.bSymbol ? static_cast<std::ptrdiff_t>(nAddress - Symbols.nSymbolValue) : 0;
        char szText[TRACE_LINE_SIZE];
        FormatFrame(szText, sizeof(szText), nAddress, pszModule, pszSymbol, nDisplacement,
                    Symbols.bLine ? Symbols.szFile : nullptr, Symbols.nLine, 0);
        pfnWrite(pvContext, szText);
    }
}

void CDebugTraceCallStack::CaptureSignalContext(CContext& Context, const void* pvSignalContext) noexcept {
    Context.nFrameCount = Unwind(InterruptedAddress(pvSignalContext), 0, Context.pnFrames, MAX_FRAMES);
}

std::vector<CDebugTraceCallStack::CFrameDescription> CDebugTraceCallStack::DescribeFrames(
    const std::uintptr_t* pnAddresses, int nCount) {
    std::vector<CFrameDescription> Descriptions(static_cast<std::size_t>(std::max(nCount, 0)));
    if (Descriptions.empty()) return Descriptions;
    std::vector<Dl_info> Infos(Descriptions.size());
    for (std::size_t i = 0; i < Descriptions.size(); ++i) {
        CFrameDescription& Description = Descriptions[i];
        Description.nAddress = pnAddresses[i];
        link_map* pMap = nullptr;
        if (dladdr1(reinterpret_cast<void*>(Description.nAddress), &Infos[i], reinterpret_cast<void**>(&pMap),
                    RTLD_DL_LINKMAP) != 0 &&
            pMap != nullptr) {
            Description.bModule = true;
            Description.sModule = ModuleNameOf(pMap);
        } else {
            Infos[i] = Dl_info{};
        }
    }
    if (AreDebugSymbolsEnabled()) {
        // The frames the cache does not know go to one child.
        std::vector<std::uintptr_t> Unknown;
        std::unique_lock Lock(g_CacheLock);
        const LoaderGeneration Generation = CurrentLoaderGeneration();
        if (SymbolCache* pCache = OpenSymbolCache(); pCache != nullptr && Generation != pCache->Generation) {
            pCache->Frames.clear();
            pCache->Generation = Generation;
        }
        for (const CFrameDescription& Description : Descriptions)
            if (g_pCache == nullptr || !g_pCache->Frames.contains(Description.nAddress))
                Unknown.push_back(Description.nAddress);
        Lock.unlock();
        std::vector<std::pair<std::uintptr_t, CachedSymbols>> Found;
        if (!Unknown.empty()) {
            CSymbolLookup Lookup(Unknown.data(), static_cast<int>(Unknown.size()), false);
            auto pSymbols = std::make_unique<FrameSymbols>();
            for (const std::uintptr_t nAddress : Unknown) {
                if (!Lookup.Next(*pSymbols)) break;
                Found.emplace_back(nAddress, CachedSymbols::From(nAddress, *pSymbols));
            }
        }
        Lock.lock();
        // This lookup's own answers first: the cache may have been emptied meanwhile (a module loaded).
        for (CFrameDescription& Description : Descriptions) {
            const auto itFound = std::find_if(Found.begin(), Found.end(),
                                              [&](const auto& Entry) { return Entry.first == Description.nAddress; });
            if (itFound != Found.end()) {
                itFound->second.Describe(Description);
                continue;
            }
            if (g_pCache == nullptr) continue;
            const auto itCached = g_pCache->Frames.find(Description.nAddress);
            if (itCached != g_pCache->Frames.end()) itCached->second.Describe(Description);
        }
        if (g_pCache != nullptr && g_pCache->Generation == Generation) {
            if (g_pCache->Frames.size() + Found.size() > SYMBOL_CACHE_FRAMES) g_pCache->Frames.clear();
            for (auto& Entry : Found) g_pCache->Frames.insert_or_assign(Entry.first, std::move(Entry.second));
        }
    }
    for (std::size_t i = 0; i < Descriptions.size(); ++i) {
        CFrameDescription& Description = Descriptions[i];
        // What the loader knows: the exported symbols.
        if (!Description.bSymbol && Description.bModule && Infos[i].dli_sname != nullptr) {
            Description.bSymbol = true;
            Description.sSymbol = Demangle(Infos[i].dli_sname);
            Description.nSymbolDisplacement = static_cast<std::ptrdiff_t>(
                Description.nAddress - reinterpret_cast<std::uintptr_t>(Infos[i].dli_saddr));
        }
    }
    return Descriptions;
}

CDebugTraceCallStack::CFrameDescription CDebugTraceCallStack::DescribeFrame(std::uintptr_t nAddress) {
    return std::move(DescribeFrames(&nAddress, 1).front());
}

__attribute__((noinline)) void CDebugTraceCallStack::CaptureCurrentThread(CContext& Context, int nSkip) noexcept {
    Context.nFrameCount =
        Unwind(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), nSkip, Context.pnFrames, MAX_FRAMES);
}

bool CDebugTraceCallStack::CaptureThread(DWORD nThreadIdentifier, CContext& Context) noexcept {
    Context.nFrameCount = 0;
    if (nThreadIdentifier == 0) return false;
    if (nThreadIdentifier == GetCurrentThreadIdentifier()) {
        CaptureCurrentThread(Context, 1);  // from the caller on
        return true;
    }
    std::lock_guard Lock(g_RequestLock);
    if (!g_bRequestReady) {
        if (sem_init(&g_Request.Answered, 0, 0) != 0) return false;
        g_Request.nMarker = CAPTURE_MARKER;
        g_bRequestReady = true;
    }
    // A handler still capturing for an abandoned request keeps the slot until it is done.
    int nState = g_Request.nState.load();
    if (nState == CAPTURE_CAPTURING) return false;
    while (sem_trywait(&g_Request.Answered) == 0) {
    }
    InstallCaptureHandler();

    g_Request.nThread.store(static_cast<pid_t>(nThreadIdentifier));
    g_Request.nCount = 0;
    g_Request.nState.store(CAPTURE_ARMED);
    siginfo_t Info{};
    Info.si_signo = CAPTURE_SIGNAL;
    Info.si_code = SI_QUEUE;
    Info.si_pid = getpid();
    Info.si_uid = getuid();
    Info.si_value.sival_ptr = &g_Request;
    if (syscall(SYS_rt_tgsigqueueinfo, getpid(), static_cast<pid_t>(nThreadIdentifier), CAPTURE_SIGNAL, &Info) != 0) {
        g_Request.nState.store(CAPTURE_IDLE);
        return false;
    }
    if (!WaitForAnswer()) {
        // Withdraw the request unless the thread has begun to answer it; then give it one more period.
        nState = CAPTURE_ARMED;
        if (g_Request.nState.compare_exchange_strong(nState, CAPTURE_IDLE) || !WaitForAnswer()) return false;
    }
    // Reading the state makes the handler's frames visible here.
    if (g_Request.nState.load() != CAPTURE_DONE) return false;
    Context.nFrameCount = std::min(g_Request.nCount, static_cast<int>(MAX_FRAMES));
    memcpy(Context.pnFrames, g_Request.pnFrames,
           sizeof(std::uintptr_t) * static_cast<std::size_t>(Context.nFrameCount));
    g_Request.nState.store(CAPTURE_IDLE);
    return Context.nFrameCount > 0;
}

void CDebugTraceCallStack::TraceCallStack(DWORD nThreadIdentifier, int nMaxFrameCount) noexcept {
    std::lock_guard Lock(g_PrinterLock);
    UL_TRACE(TRACE_LEVEL_VERBOSE, TraceText::CallStackThread, static_cast<int>(nThreadIdentifier));
    CContext Context;
    if (CaptureThread(nThreadIdentifier, Context)) WriteFrames(Context, nMaxFrameCount);
}

void CDebugTraceCallStack::TraceCallStack(const CContext& Context, int nMaxFrameCount) noexcept {
    std::lock_guard Lock(g_PrinterLock);
    WriteFrames(Context, nMaxFrameCount);
}

__attribute__((noinline)) void CDebugTraceCallStack::TraceCurrentCallStack(int nMaxFrameCount, int nSkip) noexcept {
    CContext Context;
    Context.nFrameCount =
        Unwind(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), nSkip, Context.pnFrames, MAX_FRAMES);
    TraceCallStack(Context, nMaxFrameCount);
}

// --- Contexts derived from frames ---------------------------------------------------------------------

struct CDebugTraceLocalContext::CFrameInformation {
    std::string sSourcePath;
    std::string sFunctionName;
};

CDebugTraceLocalContext::CDebugTraceLocalContext(std::uintptr_t nAddress)
    : m_pszSourcePath(nullptr), m_nLine(0), m_pszFunctionName(nullptr) {
    const CDebugTraceCallStack::CFrameDescription Description = CDebugTraceCallStack::DescribeFrame(nAddress);
    m_pFrameInformation = new CFrameInformation;
    m_pFrameInformation->sSourcePath = Description.sFile;
    m_pFrameInformation->sFunctionName = Description.sSymbol;
    if (Description.bLine) {
        m_pszSourcePath = m_pFrameInformation->sSourcePath.c_str();
        m_nLine = Description.nLine;
    }
    m_pszFunctionName = m_pFrameInformation->sFunctionName.c_str();
}

CDebugTraceLocalContext::~CDebugTraceLocalContext() {
    delete m_pFrameInformation;
}

// Call stacks: capture by unwinding, symbols from GCC's libbacktrace, the stack of another thread by a
// signal that makes the thread capture its own.
#include <backtrace.h>
#include <cxxabi.h>
#include <dlfcn.h>
#include <errno.h>
#include <inttypes.h>
#include <link.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <mutex>

#include "corvane/uldebug.h"
#include "corvane/ulmodule.h"

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

constinit std::atomic<bool> g_bSymbolsEnabled{true};
constinit std::once_flag g_EngineOnce;
constinit backtrace_state* g_pEngine = nullptr;
// Set once the engine has read the tables of the loaded modules: from then on its lookups neither allocate
// with malloc nor take locks (libbacktrace takes memory with mmap), so signal handlers may use it.
constinit std::atomic<bool> g_bEnginePrepared{false};

// Missing debug information is normal (system libraries): the frame keeps what the other sources give.
void IgnoreSymbolError(void*, const char*, int) {}

// The symbol engine, started once, on first use; null when the start failed. libbacktrace reads the
// program and the libraries loaded at the time of the first lookup, and allows lookups from several threads
// (threaded state).
backtrace_state* SymbolEngine() noexcept {
    std::call_once(g_EngineOnce, [] { g_pEngine = backtrace_create_state(nullptr, 1, &IgnoreSymbolError, nullptr); });
    return g_pEngine;
}

std::string Demangle(const char* pszName) {
    int nStatus = 0;
    char* pszDemangled = abi::__cxa_demangle(pszName, nullptr, nullptr, &nStatus);
    std::string sName(nStatus == 0 && pszDemangled != nullptr ? pszDemangled : pszName);
    free(pszDemangled);
    return sName;
}

void ReceiveSymbol(void* pvDescription, std::uintptr_t nAddress, const char* pszName, std::uintptr_t nValue,
                   std::uintptr_t) {
    auto& Description = *static_cast<CDebugTraceCallStack::CFrameDescription*>(pvDescription);
    if (pszName == nullptr) return;
    Description.bSymbol = true;
    Description.sSymbol = Demangle(pszName);
    Description.nSymbolDisplacement = static_cast<std::ptrdiff_t>(nAddress - nValue);
}

// Called once per function for an address inside inlined code, innermost first: the first call tells the
// source line the address belongs to, the last one the function that was really called.
struct LineLookup {
    bool bLine = false;
    std::string sFile;
    int nLine = 0;
    std::string sFunction;
};

int ReceiveLine(void* pvLookup, std::uintptr_t, const char* pszFile, int nLine, const char* pszFunction) {
    auto& Lookup = *static_cast<LineLookup*>(pvLookup);
    if (!Lookup.bLine && pszFile != nullptr && nLine > 0) {
        Lookup.bLine = true;
        Lookup.sFile = pszFile;
        Lookup.nLine = nLine;
    }
    if (pszFunction != nullptr) Lookup.sFunction = pszFunction;
    return 0;
}

// The module's display name: the file name of the program or library that contains the address.
std::string ModuleNameOf(const link_map* pMap) {
    const char* pszPath = pMap->l_name != nullptr && pMap->l_name[0] != 0 ? pMap->l_name : GetProcessImagePath();
    const char* pszSlash = strrchr(pszPath, '/');
    return pszSlash != nullptr ? pszSlash + 1 : pszPath;
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

// What a signal handler learns about a frame, in fixed buffers; names are cut to their size.
struct SignalFrameLookup {
    bool bSymbol = false;
    std::uintptr_t nSymbolValue = 0;
    bool bLine = false;
    int nLine = 0;
    bool bFunction = false;
    char szSymbol[1024];
    char szFile[1024];
    char szFunction[1024];
};

void CopyName(char* pszTarget, std::size_t cchTarget, const char* pszName) noexcept {
    const std::size_t cch = std::min(strlen(pszName), cchTarget - 1);
    memcpy(pszTarget, pszName, cch);
    pszTarget[cch] = 0;
}

void ReceiveSymbolInSignalHandler(void* pvLookup, std::uintptr_t, const char* pszName, std::uintptr_t nValue,
                                  std::uintptr_t) {
    auto& Lookup = *static_cast<SignalFrameLookup*>(pvLookup);
    if (pszName == nullptr) return;
    Lookup.bSymbol = true;
    Lookup.nSymbolValue = nValue;
    CopyName(Lookup.szSymbol, sizeof(Lookup.szSymbol), pszName);
}

int ReceiveLineInSignalHandler(void* pvLookup, std::uintptr_t, const char* pszFile, int nLine,
                               const char* pszFunction) {
    auto& Lookup = *static_cast<SignalFrameLookup*>(pvLookup);
    if (!Lookup.bLine && pszFile != nullptr && nLine > 0) {
        Lookup.bLine = true;
        Lookup.nLine = nLine;
        CopyName(Lookup.szFile, sizeof(Lookup.szFile), pszFile);
    }
    if (pszFunction != nullptr) {
        Lookup.bFunction = true;
        CopyName(Lookup.szFunction, sizeof(Lookup.szFunction), pszFunction);
    }
    return 0;
}

// Writes frames under the printer lock, which the caller holds.
void WriteFrames(const CDebugTraceCallStack::CContext& Context, int nMaxFrameCount) noexcept {
    if (SymbolEngine() == nullptr) return;  // after a failed engine start no stack is printed
    const CDebugTraceLocalContext Location(nullptr, 0, nullptr);
    const int nCount = std::min(Context.nFrameCount, nMaxFrameCount);
    for (int i = 0; i < nCount; ++i) {
        try {
            const std::string sFrame = CDebugTraceCallStack::DescribeFrame(Context.pnFrames[i]).Format();
            Location.Write(TRACE_LEVEL_ERROR, TraceText::CallStackFrame, sFrame.c_str());
        } catch (...) {
            // Out of memory while describing: the frame is dropped, the stack goes on.
        }
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

void CDebugTraceCallStack::PrepareSymbolEngine() noexcept {
    backtrace_state* pEngine = SymbolEngine();
    if (pEngine == nullptr || g_bEnginePrepared.load()) return;
    // The first lookups read the symbol and line tables of every module loaded now.
    SignalFrameLookup Lookup;
    const auto nAddress = reinterpret_cast<std::uintptr_t>(&CDebugTraceCallStack::PrepareSymbolEngine);
    backtrace_syminfo(pEngine, nAddress, &ReceiveSymbolInSignalHandler, &IgnoreSymbolError, &Lookup);
    backtrace_pcinfo(pEngine, nAddress, &ReceiveLineInSignalHandler, &IgnoreSymbolError, &Lookup);
    g_bEnginePrepared.store(true);
}

void CDebugTraceCallStack::DescribeFrameInSignalHandler(std::uintptr_t nAddress, char* pszText,
                                                        std::size_t cchText) noexcept {
    if (pszText == nullptr || cchText == 0) return;
    // The loader's lookup that takes no lock (dladdr does).
    const char* pszModule = nullptr;
    dl_find_object Object{};
    if (_dl_find_object(reinterpret_cast<void*>(nAddress), &Object) == 0 && Object.dlfo_link_map != nullptr) {
        const char* pszPath = Object.dlfo_link_map->l_name;
        if (pszPath == nullptr || pszPath[0] == 0) pszPath = GetProcessImagePath();
        const char* pszSlash = strrchr(pszPath, '/');
        pszModule = pszSlash != nullptr ? pszSlash + 1 : pszPath;
    }
    SignalFrameLookup Lookup;
    if (g_bEnginePrepared.load() && AreDebugSymbolsEnabled()) {
        backtrace_syminfo(g_pEngine, nAddress, &ReceiveSymbolInSignalHandler, &IgnoreSymbolError, &Lookup);
        backtrace_pcinfo(g_pEngine, nAddress, &ReceiveLineInSignalHandler, &IgnoreSymbolError, &Lookup);
    }
    const char* pszSymbol = Lookup.bSymbol ? Lookup.szSymbol : Lookup.bFunction ? Lookup.szFunction : nullptr;
    const std::ptrdiff_t nDisplacement =
        Lookup.bSymbol ? static_cast<std::ptrdiff_t>(nAddress - Lookup.nSymbolValue) : 0;
    FormatFrame(pszText, cchText, nAddress, pszModule, pszSymbol, nDisplacement, Lookup.bLine ? Lookup.szFile : nullptr,
                Lookup.nLine, 0);
}

void CDebugTraceCallStack::CaptureSignalContext(CContext& Context, const void* pvSignalContext) noexcept {
    Context.nFrameCount = Unwind(InterruptedAddress(pvSignalContext), 0, Context.pnFrames, MAX_FRAMES);
}

CDebugTraceCallStack::CFrameDescription CDebugTraceCallStack::DescribeFrame(std::uintptr_t nAddress) {
    CFrameDescription Description;
    Description.nAddress = nAddress;
    Dl_info Info{};
    link_map* pMap = nullptr;
    if (dladdr1(reinterpret_cast<void*>(nAddress), &Info, reinterpret_cast<void**>(&pMap), RTLD_DL_LINKMAP) != 0 &&
        pMap != nullptr) {
        Description.bModule = true;
        Description.sModule = ModuleNameOf(pMap);
    }
    backtrace_state* pEngine = SymbolEngine();
    if (pEngine != nullptr && AreDebugSymbolsEnabled()) {
        backtrace_syminfo(pEngine, nAddress, &ReceiveSymbol, &IgnoreSymbolError, &Description);
        LineLookup Lookup;
        backtrace_pcinfo(pEngine, nAddress, &ReceiveLine, &IgnoreSymbolError, &Lookup);
        if (Lookup.bLine) {
            Description.bLine = true;
            Description.sFile = std::move(Lookup.sFile);
            Description.nLine = Lookup.nLine;
        }
        if (!Description.bSymbol && !Lookup.sFunction.empty()) {
            Description.bSymbol = true;
            Description.sSymbol = Demangle(Lookup.sFunction.c_str());
        }
    }
    // What the loader knows: the exported symbols.
    if (!Description.bSymbol && Description.bModule && Info.dli_sname != nullptr) {
        Description.bSymbol = true;
        Description.sSymbol = Demangle(Info.dli_sname);
        Description.nSymbolDisplacement =
            static_cast<std::ptrdiff_t>(nAddress - reinterpret_cast<std::uintptr_t>(Info.dli_saddr));
    }
    return Description;
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

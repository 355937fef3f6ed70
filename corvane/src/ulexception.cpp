// The exception filter: installing and removing it, and the fatal-signal handlers that report crashes.
#include "corvane/ulexception.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

#include "comrt/sync.h"
#include "corvane/ulmodule.h"
#include "ulexceptionsignal.h"
#include "ulexceptionstate.h"

namespace corvane {

constinit CExceptionFilterLock g_CriticalSection;

void CExceptionFilterLock::Lock() noexcept {
    m_Mutex.lock();
    m_nOwner.store(::GetCurrentThreadId());
}

bool CExceptionFilterLock::LockInSignalHandler() noexcept {
    if (IsLockedByCallingThread()) return false;
    for (int i = 0; i < 1000; ++i) {
        if (m_Mutex.try_lock()) {
            m_nOwner.store(::GetCurrentThreadId());
            return true;
        }
        const timespec Pause{0, 1000000};
        nanosleep(&Pause, nullptr);
    }
    return false;
}

void CExceptionFilterLock::Unlock() noexcept {
    m_nOwner.store(0);
    m_Mutex.unlock();
}

bool CExceptionFilterLock::IsLockedByCallingThread() const noexcept {
    return m_nOwner.load() == ::GetCurrentThreadId();
}

}  // namespace corvane

using namespace corvane;

namespace {

constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
constexpr std::size_t FATAL_SIGNAL_COUNT = std::size(FATAL_SIGNALS);

// A fault this close to the stack pointer hit the guard below the stack.
constexpr std::uintptr_t STACK_OVERFLOW_DISTANCE = 64 * 1024;

// The report, the unwinder and the symbol lookups run on the alternate stack; sanitizer builds need the
// room. Memory that is never touched costs nothing.
constexpr std::size_t SIGNAL_STACK_SIZE = 256 * 1024;

// The previous unhandled-exception filter of the process: the handlers this module's replaced. Kept after
// removal, since a handler installed after ours may still call ours, which then only passes the signal on.
struct PreviousFilter {
    struct sigaction pActions[FATAL_SIGNAL_COUNT];
};

constinit PreviousFilter g_PreviousFilter{};
// Points at g_PreviousFilter while the filter is installed.
constinit std::atomic<const PreviousFilter*> g_pExceptionFilter{nullptr};

// The module's alternate signal stack, made once and kept: a thread may still have it installed when the
// module goes.
struct SignalStackState {
    void* pvStack;
    pid_t nThread;     // the thread it was installed for, 0 when not installed
    stack_t Previous;  // what that thread had before
};

constinit SignalStackState g_SignalStack{nullptr, 0, {}};

// The last fault reported, so that a fault a previous handler returned from is not reported again when the
// instruction faults anew.
struct LastFault {
    std::atomic<int> nSignal;
    std::atomic<pid_t> nThread;
    std::atomic<std::uintptr_t> nAddress;
    std::atomic<std::uintptr_t> nFaultAddress;
};

constinit LastFault g_LastFault{};

int SignalIndex(int nSignal) noexcept {
    for (std::size_t i = 0; i < FATAL_SIGNAL_COUNT; ++i)
        if (FATAL_SIGNALS[i] == nSignal) return static_cast<int>(i);
    return -1;
}

bool IsOurHandler(const struct sigaction& Action) noexcept {
    return (Action.sa_flags & SA_SIGINFO) != 0 && Action.sa_sigaction == &CFatalSignalFilter::UnhandledExceptionFilter;
}

// Stack memory with an inaccessible page below it, so that overflowing it faults rather than writing over
// something else.
void* MakeSignalStack() noexcept {
    const std::size_t cbPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* pv = mmap(nullptr, SIGNAL_STACK_SIZE + cbPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pv == MAP_FAILED) return nullptr;
    mprotect(pv, cbPage, PROT_NONE);
    return static_cast<char*>(pv) + cbPage;
}

void FreeSignalStack(void* pvStack) noexcept {
    const std::size_t cbPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    munmap(static_cast<char*>(pvStack) - cbPage, SIGNAL_STACK_SIZE + cbPage);
}

bool HasSignalStack() noexcept {
    stack_t Current{};
    return sigaltstack(nullptr, &Current) == 0 && (Current.ss_flags & SS_DISABLE) == 0;
}

bool UseSignalStack(void* pvStack) noexcept {
    stack_t Stack{};
    Stack.ss_sp = pvStack;
    Stack.ss_size = SIGNAL_STACK_SIZE;
    Stack.ss_flags = 0;
    return sigaltstack(&Stack, nullptr) == 0;
}

// Gives the installing thread the module's alternate stack when it has none.
void InstallSignalStack() noexcept {
    stack_t Previous{};
    if (sigaltstack(nullptr, &Previous) != 0 || (Previous.ss_flags & SS_DISABLE) == 0) return;
    if (g_SignalStack.pvStack == nullptr) g_SignalStack.pvStack = MakeSignalStack();
    if (g_SignalStack.pvStack == nullptr || !UseSignalStack(g_SignalStack.pvStack)) return;
    g_SignalStack.nThread = gettid();
    g_SignalStack.Previous = Previous;
}

// Puts the thread's previous alternate stack back, when this is the thread that got the module's and it is
// still installed and not in use. Removed on another thread, the stack stays with its thread, and the next
// installation makes another.
void RemoveSignalStack() noexcept {
    if (g_SignalStack.nThread == 0) return;
    if (g_SignalStack.nThread != gettid()) {
        g_SignalStack.pvStack = nullptr;
        g_SignalStack.nThread = 0;
        return;
    }
    stack_t Current{};
    if (sigaltstack(nullptr, &Current) == 0 && Current.ss_sp == g_SignalStack.pvStack &&
        (Current.ss_flags & SS_ONSTACK) == 0)
        sigaltstack(&g_SignalStack.Previous, nullptr);
    g_SignalStack.nThread = 0;
}

// The alternate stack this thread made for itself. A plain pointer: a thread-local object with a destructor
// would tie the module to the thread's very end (the loader does not unload a module while a thread that
// registered such a destructor runs on), and a thread's handle is signalled before that end.
thread_local void* t_pvThreadSignalStack = nullptr;

// Stops using this thread's own alternate stack and frees it.
void ReleaseThreadSignalStack() noexcept {
    void* const pvStack = t_pvThreadSignalStack;
    if (pvStack == nullptr) return;
    t_pvThreadSignalStack = nullptr;
    stack_t Current{};
    if (sigaltstack(nullptr, &Current) == 0 && Current.ss_sp == pvStack) {
        stack_t Disabled{};
        Disabled.ss_flags = SS_DISABLE;
        sigaltstack(&Disabled, nullptr);
    }
    FreeSignalStack(pvStack);
}

// Makes and uses a stack for this thread unless it has one; false when none could be made.
bool MakeThreadSignalStack() noexcept {
    if (HasSignalStack()) return true;
    void* pvStack = MakeSignalStack();
    if (pvStack == nullptr) return false;
    if (!UseSignalStack(pvStack)) {
        FreeSignalStack(pvStack);
        return false;
    }
    ReleaseThreadSignalStack();
    t_pvThreadSignalStack = pvStack;
    return true;
}

// Releases the stack of a thread that installed it without a scope, when the thread ends.
struct ThreadSignalStackRelease {
    bool bArmed = false;
    ~ThreadSignalStackRelease() {
        if (bArmed) ReleaseThreadSignalStack();
    }
};

thread_local ThreadSignalStackRelease t_SignalStackRelease;

bool InstallSignalHandlers() noexcept {
    struct sigaction Handler {};
    Handler.sa_sigaction = &CFatalSignalFilter::UnhandledExceptionFilter;
    Handler.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A second fatal signal while reporting ends the process by that signal instead of nesting reports.
    sigemptyset(&Handler.sa_mask);
    for (int nSignal : FATAL_SIGNALS) sigaddset(&Handler.sa_mask, nSignal);
    for (std::size_t i = 0; i < FATAL_SIGNAL_COUNT; ++i) {
        if (sigaction(FATAL_SIGNALS[i], &Handler, &g_PreviousFilter.pActions[i]) != 0) {
            while (i-- > 0) sigaction(FATAL_SIGNALS[i], &g_PreviousFilter.pActions[i], nullptr);
            return false;
        }
    }
    return true;
}

// Puts each previous handler back where the present one is still this module's; where another handler
// was installed later, it stays (it may call ours, which then passes the signal on without a report).
void RemoveSignalHandlers() noexcept {
    for (std::size_t i = 0; i < FATAL_SIGNAL_COUNT; ++i) {
        struct sigaction Current {};
        if (sigaction(FATAL_SIGNALS[i], nullptr, &Current) == 0 && IsOurHandler(Current))
            sigaction(FATAL_SIGNALS[i], &g_PreviousFilter.pActions[i], nullptr);
    }
}

// Whether the signal, when the handler returns, is raised again by the instruction that caused it: a fault
// the kernel detected in the instruction (not a trap after it, nor a signal sent by someone).
bool FaultsAgain(int nSignal, const siginfo_t& Info) noexcept {
    return Info.si_code > 0 && (nSignal == SIGSEGV || nSignal == SIGBUS || nSignal == SIGILL || nSignal == SIGFPE);
}

// The thread passing a signal on to a previous handler. Should that handler lead back here (two modules
// removed and installed again out of order, each now the other's previous), the signal takes the default
// way instead of going round for ever.
constinit std::atomic<pid_t> g_nPassingThread{0};

void CallPrevious(const struct sigaction& Previous, int nSignal, siginfo_t* pInfo, void* pvContext) noexcept {
    g_nPassingThread.store(gettid());
    if ((Previous.sa_flags & SA_SIGINFO) != 0) {
        if (Previous.sa_sigaction != nullptr) Previous.sa_sigaction(nSignal, pInfo, pvContext);
    } else {
        Previous.sa_handler(nSignal);
    }
    g_nPassingThread.store(0);
}

// The signal goes where it would have gone without the filter.
void PassOn(int iSignal, int nSignal, siginfo_t* pInfo, void* pvContext) noexcept {
    const struct sigaction& Previous = g_PreviousFilter.pActions[iSignal];
    const bool bHandler =
        (Previous.sa_flags & SA_SIGINFO) != 0 || (Previous.sa_handler != SIG_DFL && Previous.sa_handler != SIG_IGN);
    if (bHandler && g_nPassingThread.load() != gettid()) {
        CallPrevious(Previous, nSignal, pInfo, pvContext);
        return;
    }
    // An ignored signal stays ignored, unless it is a fault (which the kernel does not let a process ignore)
    // or an abort (which abort completes whatever the disposition).
    if (!bHandler && Previous.sa_handler == SIG_IGN && !FaultsAgain(nSignal, *pInfo) && nSignal != SIGABRT) return;
    struct sigaction Default {};
    Default.sa_handler = SIG_DFL;
    sigemptyset(&Default.sa_mask);
    sigaction(nSignal, &Default, nullptr);
    // Blocked while this handler runs, the raised signal arrives when it returns.
    if (!FaultsAgain(nSignal, *pInfo)) tgkill(getpid(), gettid(), nSignal);
}

bool IsRepeatedFault(int nSignal, const CExceptionFilter::CRecord& Record, std::uintptr_t nFaultAddress) noexcept {
    return g_LastFault.nSignal.load() == nSignal && g_LastFault.nThread.load() == gettid() &&
           g_LastFault.nAddress.load() == Record.nAddress && g_LastFault.nFaultAddress.load() == nFaultAddress;
}

void RememberFault(int nSignal, const CExceptionFilter::CRecord& Record, std::uintptr_t nFaultAddress) noexcept {
    g_LastFault.nSignal.store(nSignal);
    g_LastFault.nThread.store(gettid());
    g_LastFault.nAddress.store(Record.nAddress);
    g_LastFault.nFaultAddress.store(nFaultAddress);
}

struct InterruptedRegisters {
    std::uintptr_t nProgramCounter = 0;
    std::uintptr_t nStackPointer = 0;
    std::uintptr_t nAccess = 0;  // 0 read, 1 write, 8 instruction fetch
};

InterruptedRegisters ReadRegisters(const void* pvContext) noexcept {
    InterruptedRegisters Registers;
    const auto* pContext = static_cast<const ucontext_t*>(pvContext);
    if (pContext == nullptr) return Registers;
#if defined(__x86_64__)
    Registers.nProgramCounter = static_cast<std::uintptr_t>(pContext->uc_mcontext.gregs[REG_RIP]);
    Registers.nStackPointer = static_cast<std::uintptr_t>(pContext->uc_mcontext.gregs[REG_RSP]);
    // The page-fault error code: bit 1 a write, bit 4 an instruction fetch.
    const auto nError = static_cast<std::uintptr_t>(pContext->uc_mcontext.gregs[REG_ERR]);
    Registers.nAccess = (nError & 0x10) != 0 ? 8 : (nError & 0x2) != 0 ? 1 : 0;
#elif defined(__aarch64__)
    Registers.nProgramCounter = static_cast<std::uintptr_t>(pContext->uc_mcontext.pc);
    Registers.nStackPointer = static_cast<std::uintptr_t>(pContext->uc_mcontext.sp);
#endif
    return Registers;
}

DWORD IllegalInstructionCode(int nCode) noexcept {
    return nCode == ILL_PRVOPC || nCode == ILL_PRVREG ? ExceptionCode::PrivilegedInstruction
                                                      : ExceptionCode::IllegalInstruction;
}

DWORD ArithmeticCode(int nCode) noexcept {
    switch (nCode) {
        case FPE_INTOVF:
            return ExceptionCode::IntegerOverflow;
        case FPE_FLTDIV:
            return ExceptionCode::FloatDivideByZero;
        case FPE_FLTOVF:
            return ExceptionCode::FloatOverflow;
        case FPE_FLTUND:
            return ExceptionCode::FloatUnderflow;
        case FPE_FLTRES:
            return ExceptionCode::FloatInexactResult;
        case FPE_FLTINV:
            return ExceptionCode::FloatInvalidOperation;
        case FPE_FLTSUB:
            return ExceptionCode::ArrayBoundsExceeded;
        default:
            return ExceptionCode::IntegerDivideByZero;
    }
}

}  // namespace

void CFatalSignalFilter::TranslateSignal(int nSignal, const siginfo_t& Info, const void* pvContext,
                                         CExceptionFilter::CRecord& Record) noexcept {
    Record = CExceptionFilter::CRecord{};
    const InterruptedRegisters Registers = ReadRegisters(pvContext);
    const bool bFault = Info.si_code > 0;
    const auto nFaultAddress = reinterpret_cast<std::uintptr_t>(Info.si_addr);
    const bool bMemoryFault = bFault && (nSignal == SIGSEGV || nSignal == SIGBUS);
    // Without the interrupted registers, an instruction fault's address is the instruction's own.
    Record.nAddress = pvContext != nullptr ? Registers.nProgramCounter : bFault && !bMemoryFault ? nFaultAddress : 0;
    switch (nSignal) {
        case SIGSEGV:
            Record.nCode = bFault && pvContext != nullptr &&
                                   (nFaultAddress > Registers.nStackPointer
                                        ? nFaultAddress - Registers.nStackPointer
                                        : Registers.nStackPointer - nFaultAddress) <= STACK_OVERFLOW_DISTANCE
                               ? ExceptionCode::StackOverflow
                               : ExceptionCode::AccessViolation;
            break;
        case SIGBUS:
            Record.nCode = ExceptionCode::AccessViolation;
            break;
        case SIGILL:
            Record.nCode = IllegalInstructionCode(Info.si_code);
            break;
        case SIGFPE:
            Record.nCode = ArithmeticCode(Info.si_code);
            break;
        case SIGABRT:
            Record.nCode = ExceptionCode::FatalApplicationExit;
            Record.nFlags = EXCEPTION_FLAG_NONCONTINUABLE;
            break;
        case SIGTRAP:
            Record.nCode = Info.si_code == TRAP_TRACE || Info.si_code == TRAP_HWBKPT ? ExceptionCode::SingleStep
                                                                                     : ExceptionCode::Breakpoint;
            break;
        case SIGSYS:
            Record.nCode = ExceptionCode::InvalidSystemService;
            break;
        default:
            Record.nCode = 0;
            break;
    }
    if (bMemoryFault) {
        Record.nParameterCount = 2;
        Record.pnParameters[0] = Registers.nAccess;
        Record.pnParameters[1] = nFaultAddress;
    }
}

void CFatalSignalFilter::UnhandledExceptionFilter(int nSignal, siginfo_t* pExceptionInfo, void* pvContext) noexcept {
    if (pExceptionInfo == nullptr) {
        // Only a direct call passes no information; the kernel always does.
        UL_ASSERT(pExceptionInfo);
        return;
    }
    const int nSavedErrno = errno;
    const int iSignal = SignalIndex(nSignal);
    if (iSignal >= 0) {
        if (g_pExceptionFilter.load() != nullptr) {
            CExceptionFilter::CRecord Record;
            TranslateSignal(nSignal, *pExceptionInfo, pvContext, Record);
            const auto nFaultAddress = reinterpret_cast<std::uintptr_t>(pExceptionInfo->si_addr);
            if (!IsRepeatedFault(nSignal, Record, nFaultAddress)) {
                RememberFault(nSignal, Record, nFaultAddress);
                CDebugTraceCallStack::CContext Stack;
                CDebugTraceCallStack::CaptureSignalContext(Stack, pvContext);
                const bool bLocked = g_CriticalSection.LockInSignalHandler();
                CExceptionFilter::CIssue(CExceptionFilter::KIND_UNHANDLED_EXCEPTION, Record, Stack, true).Trace();
                if (bLocked) g_CriticalSection.Unlock();
            }
        }
        PassOn(iSignal, nSignal, pExceptionInfo, pvContext);
    }
    errno = nSavedErrno;
}

bool CExceptionFilter::Initialize() noexcept {
    CExceptionFilterLockScope Lock(g_CriticalSection);
    if (g_pExceptionFilter.load() != nullptr) {
        UL_ASSERT(!g_pExceptionFilter);
        return false;
    }
    // Everything the handlers need is made now, outside any handler.
    PrepareTraceForSignalHandlers();
    InstallSignalStack();
    if (!InstallSignalHandlers()) {
        RemoveSignalStack();
        return false;
    }
    g_pExceptionFilter.store(&g_PreviousFilter);
    return HookCxxFrameHandler();
}

void CExceptionFilter::Terminate() noexcept {
    CExceptionFilterLockScope Lock(g_CriticalSection);
    UnhookCxxFrameHandler();
    if (g_pExceptionFilter.exchange(nullptr) == nullptr) return;
    RemoveSignalHandlers();
    RemoveSignalStack();
}

bool CExceptionFilter::IsInstalled() noexcept {
    return g_pExceptionFilter.load() != nullptr;
}

bool CExceptionFilter::InstallThreadSignalStack() noexcept {
    if (!MakeThreadSignalStack()) return false;
    t_SignalStackRelease.bArmed = true;
    return true;
}

CExceptionFilter::CThreadSignalStackScope::CThreadSignalStackScope() noexcept
    : m_bMade(!HasSignalStack() && MakeThreadSignalStack()) {}

CExceptionFilter::CThreadSignalStackScope::~CThreadSignalStackScope() {
    if (m_bMade) ReleaseThreadSignalStack();
}

// The module's unhandled-exception filter on fatal signals: installing and removing the handlers, the
// alternate signal stacks, the record of a signal and passing the signal on.
#include "ExceptionFilterLinux.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

namespace {

constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
constexpr std::size_t FATAL_SIGNAL_COUNT = std::size(FATAL_SIGNALS);

// A fault this close to the stack pointer hit the guard below the stack.
constexpr std::uintptr_t STACK_OVERFLOW_DISTANCE = 64 * 1024;

// The report, the unwinder and the symbol lookups run on the alternate stack; sanitizer builds need the
// room. Memory that is never touched costs nothing.
constexpr std::size_t SIGNAL_STACK_SIZE = 256 * 1024;

// The handlers this module's replaced. Kept after removal, since a handler installed after ours may still
// call ours, which then only passes the signal on.
struct PreviousHandlers {
    struct sigaction pActions[FATAL_SIGNAL_COUNT];
};

constinit PreviousHandlers g_PreviousHandlers{};
// The module's filter while it is installed.
constinit std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> g_pfnFilter{nullptr};

// The module's alternate signal stack, made once and kept: a thread may still have it installed when the
// module goes.
struct SignalStackState {
    void* pvStack;
    pid_t nThread;     // the thread it was installed for, 0 when not installed
    stack_t Previous;  // what that thread had before
};

constinit SignalStackState g_SignalStack{nullptr, 0, {}};

int SignalIndex(int nSignal) noexcept {
    for (std::size_t i = 0; i < FATAL_SIGNAL_COUNT; ++i)
        if (FATAL_SIGNALS[i] == nSignal) return static_cast<int>(i);
    return -1;
}

bool IsOurHandler(const struct sigaction& Action) noexcept {
    return (Action.sa_flags & SA_SIGINFO) != 0 && Action.sa_sigaction == &comrt::FatalSignalHandler;
}

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

bool InstallSignalHandlers() noexcept {
    struct sigaction Handler {};
    Handler.sa_sigaction = &comrt::FatalSignalHandler;
    Handler.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A second fatal signal while reporting ends the process by that signal instead of nesting reports.
    sigemptyset(&Handler.sa_mask);
    for (int nSignal : FATAL_SIGNALS) sigaddset(&Handler.sa_mask, nSignal);
    for (std::size_t i = 0; i < FATAL_SIGNAL_COUNT; ++i) {
        if (sigaction(FATAL_SIGNALS[i], &Handler, &g_PreviousHandlers.pActions[i]) != 0) {
            while (i-- > 0) sigaction(FATAL_SIGNALS[i], &g_PreviousHandlers.pActions[i], nullptr);
            return false;
        }
    }
    return true;
}

void RemoveSignalHandlers() noexcept {
    for (std::size_t i = 0; i < FATAL_SIGNAL_COUNT; ++i) {
        struct sigaction Current {};
        if (sigaction(FATAL_SIGNALS[i], nullptr, &Current) == 0 && IsOurHandler(Current))
            sigaction(FATAL_SIGNALS[i], &g_PreviousHandlers.pActions[i], nullptr);
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
    const struct sigaction& Previous = g_PreviousHandlers.pActions[iSignal];
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
    return nCode == ILL_PRVOPC || nCode == ILL_PRVREG ? EXCEPTION_PRIV_INSTRUCTION : EXCEPTION_ILLEGAL_INSTRUCTION;
}

DWORD ArithmeticCode(int nCode) noexcept {
    switch (nCode) {
        case FPE_INTOVF:
            return EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
            return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
            return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTUND:
            return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES:
            return EXCEPTION_FLT_INEXACT_RESULT;
        case FPE_FLTINV:
            return EXCEPTION_FLT_INVALID_OPERATION;
        case FPE_FLTSUB:
            return EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
        default:
            return EXCEPTION_INT_DIVIDE_BY_ZERO;
    }
}

}  // namespace

void comrt::TranslateSignal(int nSignal, const siginfo_t& Info, const void* pvContext, EXCEPTION_RECORD& Record,
                            CONTEXT& Context) noexcept {
    Record = EXCEPTION_RECORD{};
    const InterruptedRegisters Registers = ReadRegisters(pvContext);
    Context = CONTEXT{Registers.nProgramCounter, Registers.nStackPointer};
    const bool bFault = Info.si_code > 0;
    const auto nFaultAddress = reinterpret_cast<std::uintptr_t>(Info.si_addr);
    const bool bMemoryFault = bFault && (nSignal == SIGSEGV || nSignal == SIGBUS);
    // Without the interrupted registers, an instruction fault's address is the instruction's own.
    Record.ExceptionAddress = pvContext != nullptr      ? Registers.nProgramCounter
                              : bFault && !bMemoryFault ? nFaultAddress
                                                        : 0;
    switch (nSignal) {
        case SIGSEGV:
            Record.ExceptionCode = bFault && pvContext != nullptr &&
                                           (nFaultAddress > Registers.nStackPointer
                                                ? nFaultAddress - Registers.nStackPointer
                                                : Registers.nStackPointer - nFaultAddress) <= STACK_OVERFLOW_DISTANCE
                                       ? EXCEPTION_STACK_OVERFLOW
                                       : EXCEPTION_ACCESS_VIOLATION;
            break;
        case SIGBUS:
            Record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
            break;
        case SIGILL:
            Record.ExceptionCode = IllegalInstructionCode(Info.si_code);
            break;
        case SIGFPE:
            Record.ExceptionCode = ArithmeticCode(Info.si_code);
            break;
        case SIGABRT:
            Record.ExceptionCode = EXCEPTION_FATAL_APP_EXIT;
            Record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
            break;
        case SIGTRAP:
            Record.ExceptionCode = Info.si_code == TRAP_TRACE || Info.si_code == TRAP_HWBKPT ? EXCEPTION_SINGLE_STEP
                                                                                             : EXCEPTION_BREAKPOINT;
            break;
        case SIGSYS:
            Record.ExceptionCode = EXCEPTION_INVALID_SYSTEM_SERVICE;
            break;
        default:
            Record.ExceptionCode = 0;
            break;
    }
    if (bMemoryFault) {
        Record.NumberParameters = 2;
        Record.ExceptionInformation[0] = Registers.nAccess;
        Record.ExceptionInformation[1] = nFaultAddress;
    }
}

void comrt::FatalSignalHandler(int nSignal, siginfo_t* pInfo, void* pvContext) noexcept {
    // The kernel always passes the information; a direct call without it has nothing to report or pass on.
    if (pInfo == nullptr) return;
    const int nSavedErrno = errno;
    const int iSignal = SignalIndex(nSignal);
    if (iSignal >= 0) {
        if (const LPTOP_LEVEL_EXCEPTION_FILTER pfnFilter = g_pfnFilter.load(); pfnFilter != nullptr) {
            EXCEPTION_RECORD Record;
            CONTEXT Context;
            TranslateSignal(nSignal, *pInfo, pvContext, Record, Context);
            EXCEPTION_POINTERS Pointers{&Record, &Context};
            pfnFilter(&Pointers);
        }
        PassOn(iSignal, nSignal, pInfo, pvContext);
    }
    errno = nSavedErrno;
}

BOOL comrt::InstallUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER pfnFilter) noexcept {
    if (pfnFilter == nullptr || g_pfnFilter.load() != nullptr) return FALSE;
    InstallSignalStack();
    if (!InstallSignalHandlers()) {
        RemoveSignalStack();
        return FALSE;
    }
    g_pfnFilter.store(pfnFilter);
    return TRUE;
}

void comrt::RemoveUnhandledExceptionFilter() noexcept {
    if (g_pfnFilter.exchange(nullptr) == nullptr) return;
    RemoveSignalHandlers();
    RemoveSignalStack();
}

BOOL comrt::HasThreadSignalStack() noexcept {
    stack_t Current{};
    return sigaltstack(nullptr, &Current) == 0 && (Current.ss_flags & SS_DISABLE) == 0;
}

void* comrt::CreateThreadSignalStack() noexcept {
    void* pvStack = MakeSignalStack();
    if (pvStack == nullptr) return nullptr;
    if (!UseSignalStack(pvStack)) {
        FreeSignalStack(pvStack);
        return nullptr;
    }
    return pvStack;
}

void comrt::DeleteThreadSignalStack(void* pvStack) noexcept {
    if (pvStack == nullptr) return;
    stack_t Current{};
    if (sigaltstack(nullptr, &Current) == 0 && Current.ss_sp == pvStack) {
        stack_t Disabled{};
        Disabled.ss_flags = SS_DISABLE;
        sigaltstack(&Disabled, nullptr);
    }
    FreeSignalStack(pvStack);
}

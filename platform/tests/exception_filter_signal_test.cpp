// The module's unhandled-exception filter on fatal signals: the record of each signal, installing and
// removing the handlers and the module's alternate stack, and where a signal goes after the filter.
#include <gtest/gtest.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <iterator>
#include <thread>

#include "ExceptionFilterLinux.h"
#include "comrt/exceptions.h"

namespace {

struct Translated {
    EXCEPTION_RECORD Record;
    CONTEXT Context;
};

Translated Translate(int nSignal, int nCode, std::uintptr_t nAddress, const void* pvContext = nullptr) {
    siginfo_t Info{};
    Info.si_signo = nSignal;
    Info.si_code = nCode;
    Info.si_addr = reinterpret_cast<void*>(nAddress);
    Translated Result{};
    comrt::TranslateSignal(nSignal, Info, pvContext, Result.Record, Result.Context);
    return Result;
}

TEST(ExceptionFilterSignalTest, EachSignalHasTheCodeOfTheSameFault) {
    struct Row {
        int nSignal;
        int nCode;
        DWORD nExpected;
    };
    const Row Rows[] = {
        {SIGSEGV, SEGV_MAPERR, 0xC0000005}, {SIGSEGV, SEGV_ACCERR, 0xC0000005},
        {SIGSEGV, SI_USER, 0xC0000005},     {SIGBUS, BUS_ADRERR, 0xC0000005},
        {SIGBUS, BUS_ADRALN, 0xC0000005},   {SIGILL, ILL_ILLOPC, 0xC000001D},
        {SIGILL, ILL_ILLOPN, 0xC000001D},   {SIGILL, ILL_PRVOPC, 0xC0000096},
        {SIGILL, ILL_PRVREG, 0xC0000096},   {SIGFPE, FPE_INTDIV, 0xC0000094},
        {SIGFPE, FPE_INTOVF, 0xC0000095},   {SIGFPE, FPE_FLTDIV, 0xC000008E},
        {SIGFPE, FPE_FLTOVF, 0xC0000091},   {SIGFPE, FPE_FLTUND, 0xC0000093},
        {SIGFPE, FPE_FLTRES, 0xC000008F},   {SIGFPE, FPE_FLTINV, 0xC0000090},
        {SIGFPE, FPE_FLTSUB, 0xC000008C},   {SIGFPE, SI_USER, 0xC0000094},
        {SIGABRT, SI_TKILL, 0x40000015},    {SIGTRAP, SI_KERNEL, 0x80000003},
        {SIGTRAP, TRAP_BRKPT, 0x80000003},  {SIGTRAP, TRAP_TRACE, 0x80000004},
        {SIGTRAP, TRAP_HWBKPT, 0x80000004}, {SIGSYS, 1 /* SYS_SECCOMP */, 0xC000001C},
    };
    for (const Row& Row : Rows) {
        const EXCEPTION_RECORD Record = Translate(Row.nSignal, Row.nCode, 0x1000).Record;
        EXPECT_EQ(Record.ExceptionCode, Row.nExpected) << "signal " << Row.nSignal << ", code " << Row.nCode;
        EXPECT_EQ(Record.ExceptionFlags, Row.nSignal == SIGABRT ? 1u : 0u) << "signal " << Row.nSignal;
        EXPECT_EQ(Record.ExceptionRecord, nullptr);
    }
}

TEST(ExceptionFilterSignalTest, MemoryFaultsCarryAccessAndAddress) {
    EXCEPTION_RECORD Record = Translate(SIGSEGV, SEGV_MAPERR, 0x10).Record;
    ASSERT_EQ(Record.NumberParameters, 2u);
    EXPECT_EQ(Record.ExceptionInformation[1], 0x10u);
    EXPECT_EQ(Record.ExceptionAddress, 0u);  // without registers the instruction is unknown
    // A signal somebody sent has no faulting address.
    EXPECT_EQ(Translate(SIGSEGV, SI_USER, 0).Record.NumberParameters, 0u);
    EXPECT_EQ(Translate(SIGBUS, BUS_ADRERR, 0x20).Record.NumberParameters, 2u);
    // Instruction faults point at the instruction.
    Record = Translate(SIGILL, ILL_ILLOPC, 0x401a2b).Record;
    EXPECT_EQ(Record.ExceptionAddress, 0x401a2bu);
    EXPECT_EQ(Record.NumberParameters, 0u);
}

#if defined(__x86_64__)
TEST(ExceptionFilterSignalTest, RegistersGiveAddressAccessAndStackOverflow) {
    ucontext_t Context{};
    Context.uc_mcontext.gregs[REG_RIP] = 0x401a2b;
    Context.uc_mcontext.gregs[REG_RSP] = 0x7ffc00100000;
    Context.uc_mcontext.gregs[REG_ERR] = 0x6;  // a write from user mode
    const Translated Result = Translate(SIGSEGV, SEGV_MAPERR, 0x10, &Context);
    const EXCEPTION_RECORD& Record = Result.Record;
    EXPECT_EQ(Record.ExceptionCode, 0xC0000005u);
    EXPECT_EQ(Record.ExceptionAddress, 0x401a2bu);
    ASSERT_EQ(Record.NumberParameters, 2u);
    EXPECT_EQ(Record.ExceptionInformation[0], 1u);
    EXPECT_EQ(Record.ExceptionInformation[1], 0x10u);
    EXPECT_EQ(Result.Context.ProgramCounter, 0x401a2bu);
    EXPECT_EQ(Result.Context.StackPointer, 0x7ffc00100000u);

    Context.uc_mcontext.gregs[REG_ERR] = 0x4;  // a read
    EXPECT_EQ(Translate(SIGSEGV, SEGV_MAPERR, 0x10, &Context).Record.ExceptionInformation[0], 0u);
    Context.uc_mcontext.gregs[REG_ERR] = 0x14;  // an instruction fetch
    EXPECT_EQ(Translate(SIGSEGV, SEGV_ACCERR, 0x10, &Context).Record.ExceptionInformation[0], 8u);

    // A push just below the stack pointer, and a probe at it: the guard below the stack.
    EXPECT_EQ(Translate(SIGSEGV, SEGV_MAPERR, 0x7ffc00100000 - 8, &Context).Record.ExceptionCode, 0xC00000FDu);
    EXPECT_EQ(Translate(SIGSEGV, SEGV_ACCERR, 0x7ffc00100000, &Context).Record.ExceptionCode, 0xC00000FDu);
    EXPECT_EQ(Translate(SIGSEGV, SEGV_MAPERR, 0x7ffc00100000 - 0x20000, &Context).Record.ExceptionCode, 0xC0000005u);
    // A signal sent by someone is no stack overflow, wherever the stack is.
    EXPECT_EQ(Translate(SIGSEGV, SI_USER, 0x7ffc00100000, &Context).Record.ExceptionCode, 0xC0000005u);
    EXPECT_EQ(Translate(SIGABRT, SI_TKILL, 0, &Context).Record.ExceptionAddress, 0x401a2bu);
}
#endif

// --- Installing and removing --------------------------------------------------------------------------

constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

void PreviousInformationHandler(int, siginfo_t*, void*) {}
void PreviousPlainHandler(int) {}

bool IsFilterHandler(const struct sigaction& Action) {
    return (Action.sa_flags & SA_SIGINFO) != 0 && Action.sa_sigaction == &comrt::FatalSignalHandler;
}

// What the filter of the tests saw.
constinit std::atomic<int> g_nFiltered{0};
constinit std::atomic<DWORD> g_nFilteredCode{0};
constinit std::atomic<std::uintptr_t> g_nFilteredProgramCounter{0};

LONG CountingFilter(EXCEPTION_POINTERS* pInfo) noexcept {
    g_nFiltered.fetch_add(1);
    g_nFilteredCode.store(pInfo->ExceptionRecord->ExceptionCode);
    g_nFilteredProgramCounter.store(pInfo->ContextRecord->ProgramCounter);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Keeps the process's handlers and alternate stack and puts them back at the end of a test.
class SignalStateTest : public testing::Test {
protected:
    void SetUp() override {
        for (std::size_t i = 0; i < std::size(FATAL_SIGNALS); ++i) sigaction(FATAL_SIGNALS[i], nullptr, &m_pSaved[i]);
        sigaltstack(nullptr, &m_SavedStack);
        g_nFiltered.store(0);
        g_nFilteredCode.store(0);
        g_nFilteredProgramCounter.store(0);
    }
    void TearDown() override {
        comrt::RemoveUnhandledExceptionFilter();
        for (std::size_t i = 0; i < std::size(FATAL_SIGNALS); ++i) sigaction(FATAL_SIGNALS[i], &m_pSaved[i], nullptr);
        sigaltstack(&m_SavedStack, nullptr);
    }

    struct sigaction m_pSaved[std::size(FATAL_SIGNALS)];
    stack_t m_SavedStack{};
};

TEST_F(SignalStateTest, InstallAndRemoveRestoreThePreviousHandlersAndStack) {
    // Before: a handler with information, a plain one, an ignored signal and the default, in turn.
    for (std::size_t i = 0; i < std::size(FATAL_SIGNALS); ++i) {
        struct sigaction Action {};
        sigemptyset(&Action.sa_mask);
        switch (i % 4) {
            case 0:
                Action.sa_sigaction = &PreviousInformationHandler;
                Action.sa_flags = SA_SIGINFO;
                break;
            case 1:
                Action.sa_handler = &PreviousPlainHandler;
                break;
            case 2:
                Action.sa_handler = SIG_IGN;
                break;
            default:
                Action.sa_handler = SIG_DFL;
                break;
        }
        ASSERT_EQ(sigaction(FATAL_SIGNALS[i], &Action, nullptr), 0);
    }
    stack_t NoStack{};
    NoStack.ss_flags = SS_DISABLE;
    ASSERT_EQ(sigaltstack(&NoStack, nullptr), 0);

    ASSERT_TRUE(comrt::InstallUnhandledExceptionFilter(&CountingFilter));
    for (int nSignal : FATAL_SIGNALS) {
        struct sigaction Current {};
        sigaction(nSignal, nullptr, &Current);
        EXPECT_TRUE(IsFilterHandler(Current)) << nSignal;
        EXPECT_NE(Current.sa_flags & SA_ONSTACK, 0) << nSignal;
    }
    stack_t Stack{};
    sigaltstack(nullptr, &Stack);
    EXPECT_EQ(Stack.ss_flags & SS_DISABLE, 0);
    EXPECT_GE(Stack.ss_size, 64u * 1024);
    // Installed once: a second filter replaces nothing.
    EXPECT_FALSE(comrt::InstallUnhandledExceptionFilter(&CountingFilter));

    comrt::RemoveUnhandledExceptionFilter();
    for (std::size_t i = 0; i < std::size(FATAL_SIGNALS); ++i) {
        struct sigaction Current {};
        sigaction(FATAL_SIGNALS[i], nullptr, &Current);
        switch (i % 4) {
            case 0:
                EXPECT_TRUE((Current.sa_flags & SA_SIGINFO) != 0 && Current.sa_sigaction == &PreviousInformationHandler)
                    << FATAL_SIGNALS[i];
                break;
            case 1:
                EXPECT_EQ(Current.sa_handler, &PreviousPlainHandler) << FATAL_SIGNALS[i];
                break;
            case 2:
                EXPECT_EQ(Current.sa_handler, SIG_IGN) << FATAL_SIGNALS[i];
                break;
            default:
                EXPECT_EQ(Current.sa_handler, SIG_DFL) << FATAL_SIGNALS[i];
                break;
        }
    }
    sigaltstack(nullptr, &Stack);
    EXPECT_NE(Stack.ss_flags & SS_DISABLE, 0);
}

TEST_F(SignalStateTest, ExistingAlternateStackIsKept) {
    static char s_Stack[256 * 1024];
    stack_t Own{};
    Own.ss_sp = s_Stack;
    Own.ss_size = sizeof(s_Stack);
    ASSERT_EQ(sigaltstack(&Own, nullptr), 0);
    ASSERT_TRUE(comrt::InstallUnhandledExceptionFilter(&CountingFilter));
    stack_t Stack{};
    sigaltstack(nullptr, &Stack);
    EXPECT_EQ(Stack.ss_sp, static_cast<void*>(s_Stack));
    comrt::RemoveUnhandledExceptionFilter();
    sigaltstack(nullptr, &Stack);
    EXPECT_EQ(Stack.ss_sp, static_cast<void*>(s_Stack));
}

TEST_F(SignalStateTest, HandlerInstalledLaterStaysWhenTheFilterIsRemoved) {
    ASSERT_TRUE(comrt::InstallUnhandledExceptionFilter(&CountingFilter));
    struct sigaction Later {};
    Later.sa_handler = &PreviousPlainHandler;
    sigemptyset(&Later.sa_mask);
    ASSERT_EQ(sigaction(SIGBUS, &Later, nullptr), 0);
    comrt::RemoveUnhandledExceptionFilter();
    struct sigaction Current {};
    sigaction(SIGBUS, nullptr, &Current);
    EXPECT_EQ(Current.sa_handler, &PreviousPlainHandler);
    sigaction(SIGSEGV, nullptr, &Current);
    EXPECT_FALSE(IsFilterHandler(Current));
}

constinit std::atomic<int> g_nPrevious{0};
constinit std::atomic<int> g_nFilteredBeforePrevious{-1};

void CountingPreviousHandler(int, siginfo_t* pInfo, void*) {
    g_nPrevious.fetch_add(1);
    g_nFilteredBeforePrevious.store(pInfo != nullptr ? g_nFiltered.load() : -2);
}

// A signal raised while the filter is installed reaches the filter with its record and the interrupted
// context, then the handler that was there before, with the signal's information.
TEST_F(SignalStateTest, RaisedSignalReachesTheFilterThenThePreviousHandler) {
    struct sigaction Previous {};
    Previous.sa_sigaction = &CountingPreviousHandler;
    Previous.sa_flags = SA_SIGINFO;
    sigemptyset(&Previous.sa_mask);
    ASSERT_EQ(sigaction(SIGTRAP, &Previous, nullptr), 0);
    g_nPrevious.store(0);
    ASSERT_TRUE(comrt::InstallUnhandledExceptionFilter(&CountingFilter));
    raise(SIGTRAP);
    EXPECT_EQ(g_nFiltered.load(), 1);
    EXPECT_EQ(g_nFilteredCode.load(), EXCEPTION_BREAKPOINT);
    EXPECT_NE(g_nFilteredProgramCounter.load(), 0u);
    EXPECT_EQ(g_nPrevious.load(), 1);
    EXPECT_EQ(g_nFilteredBeforePrevious.load(), 1);

    // Removed, the filter is not called; the previous handler is back.
    comrt::RemoveUnhandledExceptionFilter();
    raise(SIGTRAP);
    EXPECT_EQ(g_nFiltered.load(), 1);
    EXPECT_EQ(g_nPrevious.load(), 2);
}

// A signal that was ignored before stays ignored after the filter has seen it, unless it is an abort or a
// fault, which end the process by their own signal.
TEST_F(SignalStateTest, IgnoredSignalStaysIgnoredAfterTheFilter) {
    struct sigaction Ignore {};
    Ignore.sa_handler = SIG_IGN;
    sigemptyset(&Ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGSYS, &Ignore, nullptr), 0);
    ASSERT_TRUE(comrt::InstallUnhandledExceptionFilter(&CountingFilter));
    raise(SIGSYS);
    EXPECT_EQ(g_nFiltered.load(), 1);
    EXPECT_EQ(g_nFilteredCode.load(), EXCEPTION_INVALID_SYSTEM_SERVICE);
    struct sigaction Current {};
    sigaction(SIGSYS, nullptr, &Current);
    EXPECT_TRUE(IsFilterHandler(Current));

    EXPECT_EXIT(
        {
            struct sigaction IgnoreAbort {};
            IgnoreAbort.sa_handler = SIG_IGN;
            sigemptyset(&IgnoreAbort.sa_mask);
            comrt::RemoveUnhandledExceptionFilter();
            sigaction(SIGABRT, &IgnoreAbort, nullptr);
            comrt::InstallUnhandledExceptionFilter(&CountingFilter);
            raise(SIGABRT);
            _exit(0);
        },
        testing::KilledBySignal(SIGABRT), "");
}

TEST_F(SignalStateTest, DirectCallWithoutInformationPassesNothingOn) {
    ASSERT_TRUE(comrt::InstallUnhandledExceptionFilter(&CountingFilter));
    comrt::FatalSignalHandler(SIGSEGV, nullptr, nullptr);
    EXPECT_EQ(g_nFiltered.load(), 0);
}

// --- Thread signal stacks -----------------------------------------------------------------------------

TEST(ThreadSignalStackTest, CreatedStackIsTheThreadsUntilDeleted) {
    std::atomic<bool> bDone{false};
    std::thread Worker([&] {
        stack_t Existing{};
        sigaltstack(nullptr, &Existing);
        stack_t Disabled{};
        Disabled.ss_flags = SS_DISABLE;
        ASSERT_EQ(sigaltstack(&Disabled, nullptr), 0);
        EXPECT_FALSE(comrt::HasThreadSignalStack());

        void* pvStack = comrt::CreateThreadSignalStack();
        ASSERT_NE(pvStack, nullptr);
        EXPECT_TRUE(comrt::HasThreadSignalStack());
        stack_t Stack{};
        sigaltstack(nullptr, &Stack);
        EXPECT_EQ(Stack.ss_sp, pvStack);
        EXPECT_GE(Stack.ss_size, 64u * 1024);
        // The stack is writable from end to end.
        static_cast<volatile char*>(pvStack)[0] = 1;
        static_cast<volatile char*>(pvStack)[Stack.ss_size - 1] = 1;

        comrt::DeleteThreadSignalStack(pvStack);
        EXPECT_FALSE(comrt::HasThreadSignalStack());

        // Deleting a stack the thread no longer uses leaves the thread's own in place.
        static char s_Own[64 * 1024];
        void* pvOther = comrt::CreateThreadSignalStack();
        ASSERT_NE(pvOther, nullptr);
        stack_t Own{};
        Own.ss_sp = s_Own;
        Own.ss_size = sizeof(s_Own);
        ASSERT_EQ(sigaltstack(&Own, nullptr), 0);
        comrt::DeleteThreadSignalStack(pvOther);
        sigaltstack(nullptr, &Stack);
        EXPECT_EQ(Stack.ss_sp, static_cast<void*>(s_Own));

        if ((Existing.ss_flags & SS_DISABLE) == 0)
            sigaltstack(&Existing, nullptr);
        else
            sigaltstack(&Disabled, nullptr);
        bDone.store(true);
    });
    Worker.join();
    EXPECT_TRUE(bDone.load());
}

}  // namespace

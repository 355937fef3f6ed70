#include <alloca.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "corvane/uldebug.h"
#include "corvane/ulmodule.h"
#include "tracelog.h"

using corvane::TRACE_LEVEL_BANNER;
using corvane::TRACE_LEVEL_ERROR;
using corvane::TRACE_LEVEL_FAILURE;
using corvane::TRACE_LEVEL_THREAD;
using corvane::TRACE_LEVEL_VERBOSE;
using tracelog::FIXED_PREFIX;

namespace {

class TraceLineTest : public tracelog::CTraceTest {};

TEST_F(TraceLineTest, LineCarriesTimeProcessThreadAndLocation) {
    CDebugTraceLocalContext("/home/build/src/deep/nested/source.cpp", 42, "CScenario::Load")
        .Write(TRACE_LEVEL_FAILURE, "nIndex %d of %s\n", 7, "seven");
    CDebugTraceLocalContext(nullptr, 0, nullptr).Write(TRACE_LEVEL_ERROR, "no location\n");
    EXPECT_EQ(ReadLog(), std::string(FIXED_PREFIX) + "source.cpp(42): CScenario::Load: nIndex 7 of seven\r\n" +
                             FIXED_PREFIX + "no location\r\n");
}

TEST_F(TraceLineTest, MacroWritesTheCallSite) {
    const int nLine = __LINE__ + 1;
    UL_TRACE(TRACE_LEVEL_ERROR, "value %s\n", "here");
    EXPECT_EQ(ReadLog(),
              std::string(FIXED_PREFIX) + "trace_test.cpp(" + std::to_string(nLine) + "): TestBody: value here\r\n");
}

TEST_F(TraceLineTest, IdentifiersHaveAtLeastFourDigits) {
    static constexpr corvane::TraceEnvironment LARGE{
        &tracelog::FixedLocalTime, []() noexcept -> DWORD { return 4194301; }, []() noexcept -> DWORD { return 7; }};
    corvane::SetTraceEnvironment(&LARGE);
    CDebugTraceLocalContext(nullptr, 0, nullptr).Write(TRACE_LEVEL_BANNER, "x\n");
    EXPECT_EQ(ReadLog(), "2007-03-07 09:05:03\t4194301\t0007\tx\r\n");
}

TEST_F(TraceLineTest, SystemEnvironmentGivesThisProcessAndThread) {
    corvane::SetTraceEnvironment(nullptr);
    CDebugTraceLocalContext(nullptr, 0, nullptr).Write(TRACE_LEVEL_FAILURE, "now\n");
    const std::regex Line(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t(\d+)\t(\d+)\tnow\r\n)");
    std::smatch Match;
    const std::string sLog = ReadLog();
    ASSERT_TRUE(std::regex_match(sLog, Match, Line)) << sLog;
    EXPECT_EQ(std::stoul(Match[1]), static_cast<unsigned long>(getpid()));
    EXPECT_EQ(std::stoul(Match[2]), static_cast<unsigned long>(corvane::GetCurrentThreadIdentifier()));
    EXPECT_EQ(corvane::GetCurrentThreadIdentifier(), static_cast<DWORD>(gettid()));
}

TEST_F(TraceLineTest, BareLineFeedsBecomeCrLfAndExistingOnesStay) {
    const CDebugTraceLocalContext Context(nullptr, 0, nullptr);
    Context.Write(TRACE_LEVEL_ERROR, "first\nsecond\n");
    Context.Write(TRACE_LEVEL_ERROR, "kept\r\nas is\r\n");
    Context.Write(TRACE_LEVEL_ERROR, "%s", "\n");
    EXPECT_EQ(ReadLog(), std::string(FIXED_PREFIX) + "first\r\nsecond\r\n" + FIXED_PREFIX + "kept\r\nas is\r\n" +
                             FIXED_PREFIX + "\r\n");
}

TEST_F(TraceLineTest, MessageWithoutLineFeedRunsIntoTheNextLine) {
    const CDebugTraceLocalContext Context(nullptr, 0, nullptr);
    Context.Write(TRACE_LEVEL_ERROR, "partial");
    Context.Write(TRACE_LEVEL_ERROR, "rest\n");
    EXPECT_EQ(ReadLog(), std::string(FIXED_PREFIX) + "partial" + FIXED_PREFIX + "rest\r\n");
}

TEST_F(TraceLineTest, CarriageReturnsAreAddedOnlyWithinTheLineSize) {
    // Two bare line feeds end a line of 4094 bytes: room for one more byte, so only the first gets its CR.
    const std::string sPrefix(FIXED_PREFIX);
    const std::string sBody(corvane::TRACE_LINE_SIZE - 2 - sPrefix.size() - 2, 'x');
    CDebugTraceLocalContext(nullptr, 0, nullptr).Write(TRACE_LEVEL_ERROR, "%s\n\n", sBody.c_str());
    const std::string sLog = ReadLog();
    EXPECT_EQ(sLog.size(), corvane::TRACE_LINE_SIZE - 1);
    EXPECT_EQ(sLog, sPrefix + sBody + "\r\n\n");
}

TEST_F(TraceLineTest, LongLinesAreCutAtACharacterBoundary) {
    const CDebugTraceLocalContext Context(nullptr, 0, nullptr);
    const std::string sAscii(5000, 'a');
    Context.Write(TRACE_LEVEL_ERROR, "%s\n", sAscii.c_str());
    EXPECT_EQ(ReadLog().size(), corvane::TRACE_LINE_SIZE - 1);

    // 30 bytes of prefix and two-byte characters: the cut at 4095 bytes would split one.
    std::filesystem::remove(LogPath());
    corvane::ResetTraceLog();
    std::string sAccents;
    for (int i = 0; i < 3000; ++i) sAccents += "\xC3\xA9";
    Context.Write(TRACE_LEVEL_ERROR, "%s\n", sAccents.c_str());
    const std::string sLog = ReadLog();
    EXPECT_EQ(sLog.size(), corvane::TRACE_LINE_SIZE - 2);
    EXPECT_EQ(sLog.substr(sLog.size() - 2), "\xC3\xA9");
}

TEST_F(TraceLineTest, LevelsThreeAndFourAreDropped) {
    int nEvaluated = 0;
    auto Argument = [&] { return ++nEvaluated; };
    UL_TRACE(TRACE_LEVEL_THREAD, "thread %d\n", Argument());
    UL_TRACE(TRACE_LEVEL_VERBOSE, "verbose %d\n", Argument());
    const CDebugTraceLocalContext Context(__FILE__, __LINE__, __func__);
    Context.Write(TRACE_LEVEL_THREAD, "thread\n");
    Context.Write(TRACE_LEVEL_VERBOSE, "verbose\n");
    Context.Write(5, "beyond\n");
    EXPECT_EQ(nEvaluated, 0);
    EXPECT_EQ(corvane::GetTraceLineCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(LogPath()));

    UL_TRACE(TRACE_LEVEL_BANNER, "banner\n");
    UL_TRACE(TRACE_LEVEL_FAILURE, "failure\n");
    UL_TRACE(TRACE_LEVEL_ERROR, "error\n");
    EXPECT_EQ(ReadLines().size(), 3u);
    EXPECT_EQ(corvane::GetTraceLineCount(), 3u);
}

TEST_F(TraceLineTest, FormatFailureDropsTheLine) {
    // An invalid wide character cannot be converted to 8-bit text: the line is dropped, the next is written.
    const CDebugTraceLocalContext Context(nullptr, 0, nullptr);
    const wchar_t szInvalid[] = {static_cast<wchar_t>(0x7FFFFFFF), 0};
    Context.Write(TRACE_LEVEL_ERROR, "%ls\n", szInvalid);
    Context.Write(TRACE_LEVEL_ERROR, nullptr);
    Context.Write(TRACE_LEVEL_ERROR, "after\n");
    EXPECT_EQ(ReadLog(), std::string(FIXED_PREFIX) + "after\r\n");
}

class TraceFileTest : public tracelog::CTraceTest {};

TEST_F(TraceFileTest, FileIsNamedAfterTheModuleInTheOverrideFolder) {
    EXPECT_STREQ(corvane::GetModuleFileName(), "corvane_trace_test");
    EXPECT_EQ(corvane::GetTraceLogPath(), (m_Folder / "corvane_trace_test.log").string());
}

TEST_F(TraceFileTest, MissingOverrideFolderIsCreated) {
    const std::filesystem::path Nested = m_Folder / "a" / "b";
    setenv("CORVANE_LOG_DIR", Nested.c_str(), 1);
    corvane::ResetTraceLog();
    UL_TRACE(TRACE_LEVEL_ERROR, "nested\n");
    EXPECT_TRUE(std::filesystem::exists(Nested / "corvane_trace_test.log"));
}

TEST(TraceFolderTest, OverrideThenSystemThenUserStateFolder) {
    char szFolder[PATH_MAX];
    auto Choose = [&](const char* pszOverride, bool bSystem, const char* pszState, const char* pszHome) {
        return corvane::ChooseTraceLogFolder(pszOverride, bSystem, pszState, pszHome, szFolder, sizeof(szFolder))
                   ? std::string(szFolder)
                   : std::string("<none>");
    };
    EXPECT_EQ(Choose("/tmp/logs", true, "/home/u/.state", "/home/u"), "/tmp/logs");
    EXPECT_EQ(Choose("", true, "/home/u/.state", "/home/u"), "/var/log");
    EXPECT_EQ(Choose(nullptr, false, "/home/u/.state", "/home/u"), "/home/u/.state/corvane-harkwell");
    EXPECT_EQ(Choose(nullptr, false, nullptr, "/home/u"), "/home/u/.local/state/corvane-harkwell");
    EXPECT_EQ(Choose(nullptr, false, "relative/state", "/home/u"), "/home/u/.local/state/corvane-harkwell");
    EXPECT_EQ(Choose(nullptr, false, nullptr, nullptr), "<none>");
    EXPECT_EQ(Choose(nullptr, false, "", "relative"), "<none>");
    const std::string sLong(PATH_MAX, 'x');
    EXPECT_EQ(Choose(sLong.c_str(), false, nullptr, nullptr), "<none>");
    EXPECT_FALSE(corvane::ChooseTraceLogFolder("/tmp", false, nullptr, nullptr, szFolder, 4));
}

TEST_F(TraceFileTest, UnwritableFolderLosesLinesWithoutHarm) {
    setenv("CORVANE_LOG_DIR", "/proc/corvane-no-such-folder", 1);
    corvane::ResetTraceLog();
    UL_TRACE(TRACE_LEVEL_ERROR, "lost\n");
    UL_TRACE(TRACE_LEVEL_ERROR, "lost again\n");
    EXPECT_EQ(corvane::GetTraceLogPath(), "");
    EXPECT_EQ(corvane::GetTraceLineCount(), 2u);
}

TEST_F(TraceFileTest, DeletedFileIsStartedAgainOnTheNext1024thLine) {
    const CDebugTraceLocalContext Context(nullptr, 0, nullptr);
    Context.Write(TRACE_LEVEL_ERROR, "before\n");
    ASSERT_TRUE(std::filesystem::exists(LogPath()));
    std::filesystem::remove(LogPath());

    // Lines up to the next multiple of 1024 still go to the deleted file.
    while ((corvane::GetTraceLineCount() + 1) % corvane::TRACE_FILE_CHECK_INTERVAL != 0) {
        Context.Write(TRACE_LEVEL_ERROR, "into the deleted file\n");
        ASSERT_FALSE(std::filesystem::exists(LogPath()));
    }
    Context.Write(TRACE_LEVEL_ERROR, "line %u\n", corvane::GetTraceLineCount() + 1);
    Context.Write(TRACE_LEVEL_ERROR, "next\n");
    EXPECT_EQ(ReadLines(),
              (std::vector<std::string>{std::string(FIXED_PREFIX) + "line 1024", std::string(FIXED_PREFIX) + "next"}));
}

TEST_F(TraceFileTest, ReplacedFileIsFollowed) {
    const CDebugTraceLocalContext Context(nullptr, 0, nullptr);
    Context.Write(TRACE_LEVEL_ERROR, "old\n");
    std::filesystem::rename(LogPath(), m_Folder / "rotated.log");
    std::ofstream(LogPath()) << "fresh\r\n";
    while (corvane::GetTraceLineCount() % corvane::TRACE_FILE_CHECK_INTERVAL != 0)
        Context.Write(TRACE_LEVEL_ERROR, "old file\n");
    Context.Write(TRACE_LEVEL_ERROR, "new file\n");
    EXPECT_EQ(ReadLines(), (std::vector<std::string>{"fresh", std::string(FIXED_PREFIX) + "old file",
                                                     std::string(FIXED_PREFIX) + "new file"}));
}

TEST_F(TraceFileTest, ConcurrentWritersProduceWholeLines) {
    constexpr int LINES = 2000;
    const std::string sA(300, 'A');
    const std::string sB(300, 'B');
    auto Writer = [](const std::string* psPayload) {
        for (int i = 0; i < LINES; ++i) UL_TRACE(TRACE_LEVEL_ERROR, "%s %d\n", psPayload->c_str(), i);
    };
    std::thread First(Writer, &sA);
    std::thread Second(Writer, &sB);
    First.join();
    Second.join();

    const std::regex Line(std::string(FIXED_PREFIX) + R"(trace_test\.cpp\(\d+\): operator\(\): ([AB]{300}) (\d+))");
    int pnNext[2] = {0, 0};
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 2u * LINES);
    for (const std::string& sLine : Lines) {
        std::smatch Match;
        ASSERT_TRUE(std::regex_match(sLine, Match, Line)) << sLine;
        const std::string sPayload = Match[1];
        ASSERT_TRUE(sPayload == sA || sPayload == sB) << sLine;
        int& nNext = pnNext[sPayload == sA ? 0 : 1];
        EXPECT_EQ(std::stoi(Match[2]), nNext++);
    }
}

// --- Assertions and call stacks -----------------------------------------------------------------------

int g_nAssertionLine = 0;

__attribute__((noinline)) bool AssertingFunction(int nValue) {
    g_nAssertionLine = __LINE__ + 1;
    UL_ASSERT(nValue == 2);
    asm volatile("");
    return true;  // assertions go on
}

__attribute__((noinline)) int KnownFunction(int n) {
    asm volatile("");
    return n + 1;
}

class CallStackTest : public tracelog::CTraceTest {};

TEST_F(CallStackTest, AssertionWritesExpressionAndSymbolicCallStack) {
    EXPECT_TRUE(AssertingFunction(2));
    EXPECT_EQ(ReadLog(), "");

    EXPECT_TRUE(AssertingFunction(3));
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_GE(Lines.size(), 3u);
    EXPECT_EQ(Lines[0], std::string(FIXED_PREFIX) + "trace_test.cpp(" + std::to_string(g_nAssertionLine) +
                            "): AssertingFunction: Assertion failed: nValue == 2, call stack follows:");
    EXPECT_LE(Lines.size(), 1u + CDebugTraceCallStack::ASSERTION_FRAMES);
    // The stack starts at the asserting function, with its source line, and goes on to its caller.
    const std::regex Frame(std::string(FIXED_PREFIX) +
                           R"(  corvane_trace_test!0x[0-9a-f]{8,} \(anonymous namespace\)::AssertingFunction\(int\) )"
                           R"(\(\+ \d+\) \[.*/corvane/tests/trace_test\.cpp, )" +
                           std::to_string(g_nAssertionLine) + R"(\] \(\+ 0\))");
    EXPECT_TRUE(std::regex_match(Lines[1], Frame)) << Lines[1];
    EXPECT_NE(Lines[2].find("CallStackTest_AssertionWritesExpressionAndSymbolicCallStack_Test::TestBody()"),
              std::string::npos)
        << Lines[2];
}

TEST_F(CallStackTest, AssertionTextKeepsCommasOfTheExpression) {
    UL_ASSERT(std::is_same_v<int, long>);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_FALSE(Lines.empty());
    EXPECT_TRUE(Lines[0].ends_with(": TestBody: Assertion failed: std::is_same_v<int, long>, call stack follows:"))
        << Lines[0];
}

TEST_F(CallStackTest, DisabledSymbolsLeaveModuleAndAddress) {
    corvane::SetDebugSymbolsEnabled(false);
    AssertingFunction(0);
    corvane::SetDebugSymbolsEnabled(true);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_GE(Lines.size(), 2u);
    // The program exports nothing, so the loader knows no symbol either.
    const std::regex Frame(std::string(FIXED_PREFIX) + R"(  corvane_trace_test!0x[0-9a-f]{8,})");
    EXPECT_TRUE(std::regex_match(Lines[1], Frame)) << Lines[1];
}

TEST_F(CallStackTest, FrameTextTakesTheFormOfWhatIsKnown) {
    CDebugTraceCallStack::CFrameDescription Frame;
    Frame.nAddress = 0x401a2b;
    EXPECT_EQ(Frame.Format(), "!0x00401a2b");
    Frame.bModule = true;
    Frame.sModule = "HarkwellServer";
    EXPECT_EQ(Frame.Format(), "HarkwellServer!0x00401a2b");
    Frame.bLine = true;
    Frame.sFile = "/src/Scenario.cpp";
    Frame.nLine = 120;
    EXPECT_EQ(Frame.Format(), "HarkwellServer!0x00401a2b [/src/Scenario.cpp, 120] (+ 0)");
    Frame.bSymbol = true;
    Frame.sSymbol = "CScenario::Load()";
    Frame.nSymbolDisplacement = 43;
    EXPECT_EQ(Frame.Format(), "HarkwellServer!0x00401a2b CScenario::Load() (+ 43) [/src/Scenario.cpp, 120] (+ 0)");
    Frame.bLine = false;
    EXPECT_EQ(Frame.Format(), "HarkwellServer!0x00401a2b CScenario::Load() (+ 43)");
    Frame.nAddress = 0x7f0012345678;
    EXPECT_EQ(Frame.Format(), "HarkwellServer!0x7f0012345678 CScenario::Load() (+ 43)");
}

TEST_F(CallStackTest, FrameIsDescribedFromTheSymbols) {
    const auto nAddress = reinterpret_cast<std::uintptr_t>(&KnownFunction);
    const CDebugTraceCallStack::CFrameDescription Frame = CDebugTraceCallStack::DescribeFrame(nAddress + 1);
    EXPECT_TRUE(Frame.bModule);
    EXPECT_EQ(Frame.sModule, "corvane_trace_test");
    EXPECT_TRUE(Frame.bSymbol);
    EXPECT_EQ(Frame.sSymbol, "(anonymous namespace)::KnownFunction(int)");
    EXPECT_EQ(Frame.nSymbolDisplacement, 1);
    EXPECT_TRUE(Frame.bLine);
    EXPECT_TRUE(Frame.sFile.ends_with("/corvane/tests/trace_test.cpp")) << Frame.sFile;

    // A library's own function, found through its exports or symbols.
    const CDebugTraceCallStack::CFrameDescription Libc =
        CDebugTraceCallStack::DescribeFrame(reinterpret_cast<std::uintptr_t>(&getpid));
    EXPECT_TRUE(Libc.bModule);
    EXPECT_TRUE(Libc.sModule.starts_with("libc.so")) << Libc.sModule;

    const CDebugTraceCallStack::CFrameDescription Nowhere = CDebugTraceCallStack::DescribeFrame(0x10);
    EXPECT_FALSE(Nowhere.bModule);
    EXPECT_EQ(Nowhere.Format(), "!0x00000010");
}

TEST_F(CallStackTest, ContextDerivedFromAFrameWritesItsLocation) {
    const CDebugTraceLocalContext Context(reinterpret_cast<std::uintptr_t>(&KnownFunction) + 1);
    EXPECT_STREQ(Context.GetFunctionName(), "(anonymous namespace)::KnownFunction(int)");
    ASSERT_NE(Context.GetSourcePath(), nullptr);
    Context.Write(TRACE_LEVEL_FAILURE, "entered\n");
    const std::regex Line(std::string(FIXED_PREFIX) +
                          R"(trace_test\.cpp\(\d+\): \(anonymous namespace\)::KnownFunction\(int\): entered\r\n)");
    const std::string sLog = ReadLog();
    EXPECT_TRUE(std::regex_match(sLog, Line)) << sLog;

    const CDebugTraceLocalContext Nowhere(std::uintptr_t{0x10});
    EXPECT_EQ(Nowhere.GetSourcePath(), nullptr);
}

TEST_F(CallStackTest, CurrentThreadCaptureStartsAtTheCaller) {
    CDebugTraceCallStack::CContext Context;
    CDebugTraceCallStack::CaptureCurrentThread(Context);
    ASSERT_GT(Context.nFrameCount, 1);
    EXPECT_NE(CDebugTraceCallStack::DescribeFrame(Context.pnFrames[0]).sSymbol.find("TestBody"), std::string::npos);

    CDebugTraceCallStack::CContext Own;
    EXPECT_TRUE(CDebugTraceCallStack::CaptureThread(corvane::GetCurrentThreadIdentifier(), Own));
    EXPECT_NE(CDebugTraceCallStack::DescribeFrame(Own.pnFrames[0]).sSymbol.find("TestBody"), std::string::npos);
}

// Waits in a function of its own until told to stop, so that its frame is on the stack when asked.
__attribute__((noinline)) void BlockedWorker(std::atomic<DWORD>* pnThread, std::atomic<bool>* pbStop) {
    pnThread->store(corvane::GetCurrentThreadIdentifier());
    while (!pbStop->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    asm volatile("");
}

class CWorkerThread {
public:
    explicit CWorkerThread(bool bBlockCaptureSignal) {
        m_Thread = std::thread([this, bBlockCaptureSignal] {
            if (bBlockCaptureSignal) {
                sigset_t Signals;
                sigemptyset(&Signals);
                sigaddset(&Signals, SIGURG);
                pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
            }
            BlockedWorker(&m_nThread, &m_bStop);
        });
        while (m_nThread.load() == 0) std::this_thread::yield();
    }
    ~CWorkerThread() {
        m_bStop = true;
        m_Thread.join();
    }
    DWORD Identifier() const { return m_nThread.load(); }

private:
    std::atomic<DWORD> m_nThread{0};
    std::atomic<bool> m_bStop{false};
    std::thread m_Thread;
};

TEST_F(CallStackTest, AnotherThreadsStackIsWritten) {
    CWorkerThread Worker(false);
    CDebugTraceCallStack::TraceCallStack(Worker.Identifier(), CDebugTraceCallStack::DEADLOCK_FRAMES);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_FALSE(Lines.empty());
    EXPECT_LE(Lines.size(), static_cast<std::size_t>(CDebugTraceCallStack::DEADLOCK_FRAMES));
    bool bWorkerFound = false;
    for (const std::string& sLine : Lines) {
        EXPECT_EQ(sLine.rfind(std::string(FIXED_PREFIX) + "  ", 0), 0u) << sLine;
        bWorkerFound = bWorkerFound || sLine.find("BlockedWorker(") != std::string::npos;
    }
    EXPECT_TRUE(bWorkerFound) << ReadLog();

    // Asked again, the thread answers again.
    CDebugTraceCallStack::CContext Context;
    EXPECT_TRUE(CDebugTraceCallStack::CaptureThread(Worker.Identifier(), Context));
}

TEST_F(CallStackTest, ThreadsThatCannotAnswerYieldNoFrames) {
    CDebugTraceCallStack::CContext Context;
    EXPECT_FALSE(CDebugTraceCallStack::CaptureThread(0, Context));
    // A thread of another process (init's) is refused by the kernel.
    EXPECT_FALSE(CDebugTraceCallStack::CaptureThread(1, Context));
    EXPECT_EQ(Context.nFrameCount, 0);
    {
        CWorkerThread Deaf(true);
        EXPECT_FALSE(CDebugTraceCallStack::CaptureThread(Deaf.Identifier(), Context));
        CDebugTraceCallStack::TraceCallStack(Deaf.Identifier());
    }
    EXPECT_EQ(ReadLog(), "");
    // A thread that blocked the signal leaves no request behind that would confuse the next one.
    CWorkerThread Worker(false);
    EXPECT_TRUE(CDebugTraceCallStack::CaptureThread(Worker.Identifier(), Context));
    EXPECT_GT(Context.nFrameCount, 0);
}

// --- Stack pointer, scope, banner, termination --------------------------------------------------------

class TraceHelpersTest : public tracelog::CTraceTest {};

TEST_F(TraceHelpersTest, StackPointerUnchangedAcrossIterations) {
    CStackPointer StackPointer;
    int nSum = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(StackPointer.Check());
        nSum += KnownFunction(i);
    }
    EXPECT_EQ(nSum, 55);
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(TraceHelpersTest, StackPointerDifferenceIsWritten) {
    CStackPointer StackPointer;
    // A size known only at run time, so that no compiler folds the block into the fixed frame.
    volatile std::size_t cbBlock = 256;
    volatile char* pBlock = static_cast<char*>(alloca(cbBlock));
    pBlock[0] = 1;
    const int nLine = __LINE__ + 1;
    EXPECT_FALSE(StackPointer.Check());
    const std::regex Line(
        std::string(FIXED_PREFIX) + "trace_test\\.cpp\\(" + std::to_string(nLine) +
        R"(\): TestBody: Stack pointer difference (-\d+) \(0x([0-9a-f]+)\), possible stack memory leak\r\n)");
    std::smatch Match;
    const std::string sLog = ReadLog();
    ASSERT_TRUE(std::regex_match(sLog, Match, Line)) << sLog;
    const int nDifference = std::stoi(Match[1]);
    EXPECT_LE(nDifference, -256);
    EXPECT_EQ(std::stoul(Match[2], nullptr, 16), static_cast<unsigned>(nDifference));
}

TEST_F(TraceHelpersTest, ScopeContextWritesWhenNotSilenced) {
    int nLine = 0;
    {
        nLine = __LINE__ + 1;
        UL_TRACE_SCOPE(Scope, "nClassContext %d, nFlags 0x%x", 4, 0x10);
    }
    const std::string sLocation = "trace_test.cpp(" + std::to_string(nLine) + "): TestBody";
    EXPECT_EQ(ReadLog(),
              std::string(FIXED_PREFIX) + sLocation + ": nClassContext 4, nFlags 0x10 at:\r\n\t" + sLocation + "\r\n");
}

TEST_F(TraceHelpersTest, ScopeContextSilencedOrDroppedWritesNothing) {
    {
        UL_TRACE_SCOPE(Scope, "silenced %d", 1);
        Scope.SetSilent();
    }
    { CDebugTraceScopeContext Scope(__FILE__, __LINE__, __func__, TRACE_LEVEL_VERBOSE, "verbose %d", 2); }
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(TraceHelpersTest, ScopeContextReportsAnExceptionLeavingTheScope) {
    try {
        UL_TRACE_SCOPE(Scope, "nIndex %d", 9);
        throw 1;
        Scope.SetSilent();
    } catch (int) {
    }
    EXPECT_NE(ReadLog().find(": nIndex 9 at:\r\n\ttrace_test.cpp("), std::string::npos) << ReadLog();
}

TEST_F(TraceHelpersTest, BannerOfProgramAndLibrary) {
    EXPECT_TRUE(corvane::TraceModuleVersion("/usr/bin/HarkwellServer", true, "/usr/bin/HarkwellServer", "1.2.3.4"));
    EXPECT_TRUE(
        corvane::TraceModuleVersion("/usr/lib/corvane/HarkwellPack1.so", false, "/usr/bin/HarkwellServer", "1.0.0.17"));
    EXPECT_FALSE(corvane::TraceModuleVersion("/x", true, "/x", "1.2.3"));
    EXPECT_FALSE(corvane::TraceModuleVersion("/x", true, "/x", "1.2.3.4-beta"));
    EXPECT_FALSE(corvane::TraceModuleVersion("/x", true, "/x", nullptr));
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_TRUE(Lines[0].ends_with(": \"/usr/bin/HarkwellServer\" version is 1.2.3.4")) << Lines[0];
    EXPECT_TRUE(Lines[1].ends_with(
        ": \"/usr/lib/corvane/HarkwellPack1.so\" version is 1.0.0.17, running in \"/usr/bin/HarkwellServer\""))
        << Lines[1];
}

TEST_F(TraceHelpersTest, BannerOfThisModule) {
    EXPECT_TRUE(corvane::IsProgramImage());
    EXPECT_STREQ(corvane::GetModulePath(), corvane::GetProcessImagePath());
    EXPECT_TRUE(std::string(corvane::GetModulePath()).ends_with("/corvane_trace_test"));
    corvane::TraceModuleVersion();
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_TRUE(Lines[0].starts_with(FIXED_PREFIX));
    EXPECT_TRUE(
        Lines[0].ends_with(": \"" + std::string(corvane::GetModulePath()) + "\" version is " CORVANE_VERSION_TEXT))
        << Lines[0];
}

TEST_F(TraceHelpersTest, TerminationReportsALockedModule) {
    ASSERT_EQ(GetModuleLockCount(), 0);
    corvane::TraceModuleTerminationLockCount();
    corvane::TerminateModule();
    EXPECT_EQ(ReadLog(), "");  // unlocked: the line is at level 4

    ModuleLock();
    ModuleLock();
    corvane::TraceModuleTerminationLockCount();
    corvane::TerminateModule();
    corvane::TerminateModule();  // the functions run once
    ModuleUnlock();
    ModuleUnlock();
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_TRUE(
        Lines[0].ends_with(": \"" + std::string(corvane::GetModulePath()) + "\" terminates being 2 times locked"))
        << Lines[0];
}

std::vector<int> g_TerminationOrder;

TEST(ModuleTest, TerminationFunctionsRunInReverseOrder) {
    g_TerminationOrder.clear();
    EXPECT_TRUE(corvane::AddModuleTerminationFunction([]() noexcept { g_TerminationOrder.push_back(1); }));
    EXPECT_TRUE(corvane::AddModuleTerminationFunction([]() noexcept { g_TerminationOrder.push_back(2); }));
    EXPECT_FALSE(corvane::AddModuleTerminationFunction(nullptr));
    corvane::TerminateModule();
    EXPECT_EQ(g_TerminationOrder, (std::vector<int>{2, 1}));
}

TEST(ModuleTest, LockCount) {
    const LONG nBefore = GetModuleLockCount();
    ModuleLock();
    EXPECT_EQ(GetModuleLockCount(), nBefore + 1);
    ModuleUnlock();
    EXPECT_EQ(GetModuleLockCount(), nBefore);
}

}  // namespace

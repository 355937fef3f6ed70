// Crash reports of the exception filter: child processes that crash with the filter installed, and two
// modules with a filter each in one process.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestEnvironment.h"
#include "corvane/ulexception.h"
#include "corvane/ulguard.h"
#include "exceptionreport.h"

using exceptionreport::AddressOf;
using exceptionreport::ExceptionFilterTest;
using exceptionreport::FindReports;
using exceptionreport::FramesOf;
using exceptionreport::Hex;
using exceptionreport::ModuleLinePattern;
using exceptionreport::ReadTextLines;
using exceptionreport::TimeAndApplication;

namespace {

[[gnu::noinline]] void ThrowInvalidArgument() {
    throw corvane::CHResultException(E_INVALIDARG);
}

// --- Crashes, in child processes ----------------------------------------------------------------------

// Memory no access may touch, made before the children are forked so that the parent knows its address.
void* InaccessiblePage() {
    static void* s_pvPage = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return s_pvPage;
}

[[gnu::noinline]] void WriteIntoInaccessiblePage(void* pvPage) {
    *static_cast<volatile int*>(pvPage) = 1;
}

[[gnu::noinline]] void AbortNow() {
    abort();
}

[[gnu::noinline]] int Recurse(volatile char* pchCaller, long nDepth) {
    volatile char pchFrame[512];
    pchFrame[0] = static_cast<char>(pchCaller[0] + 1);
    if (nDepth == 0) return pchFrame[0];
    return Recurse(pchFrame, nDepth - 1) + pchFrame[0];
}

// The process's default disposition for sig, so that the filter's previous handler is not a sanitizer's.
void UseDefaultDisposition(int nSignal) {
    struct sigaction Default {};
    Default.sa_handler = SIG_DFL;
    sigemptyset(&Default.sa_mask);
    sigaction(nSignal, &Default, nullptr);
}

// Runs pfnBody in a child process without core dumps; the child's wait status. A body that returns ends the
// child with exit code 99.
int RunChild(void (*pfnBody)()) {
    fflush(nullptr);
    const pid_t nChild = fork();
    if (nChild == 0) {
        const rlimit NoCore{0, 0};
        setrlimit(RLIMIT_CORE, &NoCore);
        pfnBody();
        _exit(99);
    }
    int nStatus = 0;
    if (nChild < 0 || waitpid(nChild, &nStatus, 0) != nChild) return -1;
    return nStatus;
}

bool DiedBy(int nStatus, int nSignal) {
    return WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == nSignal;
}

class CrashReportTest : public ExceptionFilterTest {
protected:
    void SetUp() override {
        ExceptionFilterTest::SetUp();
        ASSERT_NE(InaccessiblePage(), MAP_FAILED);
    }
};

TEST_F(CrashReportTest, AccessViolationIsReportedOnceThenTheProcessDiesOfIt) {
    const int nStatus = RunChild([] {
        UseDefaultDisposition(SIGSEGV);
        if (!CExceptionFilter::Initialize()) _exit(98);
        WriteIntoInaccessiblePage(InaccessiblePage());
    });
    EXPECT_TRUE(DiedBy(nStatus, SIGSEGV)) << "wait status " << nStatus;

    const auto Found = Reports("Unhandled Exception");
    ASSERT_EQ(Found.size(), 1u);
    const std::vector<std::string>& Report = Found[0];
    ASSERT_GE(Report.size(), 7u);
    EXPECT_EQ(Report[1], TimeAndApplication());
    EXPECT_TRUE(std::regex_match(Report[2], std::regex(ModuleLinePattern()))) << Report[2];
    EXPECT_TRUE(
        std::regex_match(Report[3], std::regex(R"(Code: 0xc0000005, Flags: 0x00000000, Address: 0x[0-9a-f]{8,})")))
        << Report[3];
    EXPECT_NE(CDebugTraceCallStack::DescribeFrame(AddressOf(Report[3])).sSymbol.find("WriteIntoInaccessiblePage"),
              std::string::npos);
    EXPECT_EQ(Report[4], "Parameters: 0x00000001, " + Hex(reinterpret_cast<std::uintptr_t>(InaccessiblePage())));
    EXPECT_EQ(Report[5], "** Call Stack");
    const std::vector<std::string> Frames = FramesOf(Report);
    ASSERT_GE(Frames.size(), 2u);
    EXPECT_LE(Frames.size(), static_cast<std::size_t>(CExceptionFilter::CALL_STACK_FRAMES));
    // The faulting function first, with its source line; names as the symbol table keeps them.
    EXPECT_TRUE(std::regex_match(Frames[0], std::regex(std::string(corvane::GetModuleFileName()) +
                                                       R"(!0x[0-9a-f]{8,} \S*WriteIntoInaccessiblePage\S* \(\+ \d+\) )"
                                                       R"(\[\S*exception_filter_crash_test\.cpp, \d+\] \(\+ 0\))")))
        << Frames[0];
    EXPECT_EQ(Report.size(), 6u + Frames.size());
}

void ExitFromPreviousInformationHandler(int nSignal, siginfo_t* pInfo, void*) {
    _exit(nSignal == SIGSEGV && pInfo != nullptr && pInfo->si_addr == InaccessiblePage() ? 42 : 43);
}

void ExitFromPreviousPlainHandler(int nSignal) {
    _exit(nSignal == SIGSEGV ? 44 : 45);
}

TEST_F(CrashReportTest, PreviousHandlerIsCalledAfterTheReport) {
    int nStatus = RunChild([] {
        struct sigaction Previous {};
        Previous.sa_sigaction = &ExitFromPreviousInformationHandler;
        Previous.sa_flags = SA_SIGINFO;
        sigemptyset(&Previous.sa_mask);
        sigaction(SIGSEGV, &Previous, nullptr);
        if (!CExceptionFilter::Initialize()) _exit(98);
        WriteIntoInaccessiblePage(InaccessiblePage());
    });
    ASSERT_TRUE(WIFEXITED(nStatus)) << "wait status " << nStatus;
    EXPECT_EQ(WEXITSTATUS(nStatus), 42);
    EXPECT_EQ(Reports("Unhandled Exception").size(), 1u);

    nStatus = RunChild([] {
        struct sigaction Previous {};
        Previous.sa_handler = &ExitFromPreviousPlainHandler;
        sigemptyset(&Previous.sa_mask);
        sigaction(SIGSEGV, &Previous, nullptr);
        if (!CExceptionFilter::Initialize()) _exit(98);
        WriteIntoInaccessiblePage(InaccessiblePage());
    });
    ASSERT_TRUE(WIFEXITED(nStatus)) << "wait status " << nStatus;
    EXPECT_EQ(WEXITSTATUS(nStatus), 44);
    EXPECT_EQ(Reports("Unhandled Exception").size(), 2u);
}

TEST_F(CrashReportTest, IgnoredFaultStillEndsTheProcess) {
    const int nStatus = RunChild([] {
        signal(SIGSEGV, SIG_IGN);
        if (!CExceptionFilter::Initialize()) _exit(98);
        WriteIntoInaccessiblePage(InaccessiblePage());
    });
    EXPECT_TRUE(DiedBy(nStatus, SIGSEGV)) << "wait status " << nStatus;
    EXPECT_EQ(Reports("Unhandled Exception").size(), 1u);
}

TEST_F(CrashReportTest, SignalSentByTheProcessIsReportedAndRaisedAgain) {
    const int nStatus = RunChild([] {
        UseDefaultDisposition(SIGSEGV);
        if (!CExceptionFilter::Initialize()) _exit(98);
        raise(SIGSEGV);
        _exit(97);
    });
    EXPECT_TRUE(DiedBy(nStatus, SIGSEGV)) << "wait status " << nStatus;
    const auto Found = Reports("Unhandled Exception");
    ASSERT_EQ(Found.size(), 1u);
    ASSERT_GE(Found[0].size(), 5u);
    EXPECT_TRUE(Found[0][3].starts_with("Code: 0xc0000005, Flags: 0x00000000, Address: 0x")) << Found[0][3];
    EXPECT_EQ(Found[0][4], "** Call Stack");  // no parameters: there is no faulting address
}

TEST_F(CrashReportTest, AbortIsAFatalApplicationExit) {
    const int nStatus = RunChild([] {
        UseDefaultDisposition(SIGABRT);
        if (!CExceptionFilter::Initialize()) _exit(98);
        AbortNow();
    });
    EXPECT_TRUE(DiedBy(nStatus, SIGABRT)) << "wait status " << nStatus;
    const auto Found = Reports("Unhandled Exception");
    ASSERT_EQ(Found.size(), 1u);
    ASSERT_GE(Found[0].size(), 5u);
    EXPECT_TRUE(Found[0][3].starts_with("Code: 0x40000015, Flags: 0x00000001, Address: 0x")) << Found[0][3];
    const std::vector<std::string> Frames = FramesOf(Found[0]);
    EXPECT_TRUE(std::any_of(Frames.begin(), Frames.end(),
                            [](const std::string& s) { return s.find("AbortNow") != std::string::npos; }));
}

TEST_F(CrashReportTest, StackOverflowOfAThreadWithItsOwnSignalStackIsReported) {
    const int nStatus = RunChild([] {
        UseDefaultDisposition(SIGSEGV);
        if (!CExceptionFilter::Initialize()) _exit(98);
        std::thread Worker([] {
            if (!CExceptionFilter::InstallThreadSignalStack()) _exit(96);
            volatile char chStart = 0;
            static volatile long s_nDepth = 1L << 40;
            Recurse(&chStart, s_nDepth);
        });
        Worker.join();
    });
    EXPECT_TRUE(DiedBy(nStatus, SIGSEGV)) << "wait status " << nStatus;
    const auto Found = Reports("Unhandled Exception");
    ASSERT_EQ(Found.size(), 1u);
    ASSERT_GE(Found[0].size(), 4u);
    EXPECT_TRUE(Found[0][3].starts_with("Code: 0xc00000fd, Flags: 0x00000000, Address: 0x")) << Found[0][3];
    const std::vector<std::string> Frames = FramesOf(Found[0]);
    ASSERT_EQ(Frames.size(), static_cast<std::size_t>(CExceptionFilter::CALL_STACK_FRAMES));
    EXPECT_NE(Frames.back().find("Recurse"), std::string::npos) << Frames.back();
}

// --- Two modules --------------------------------------------------------------------------------------

// The test library with a filter of its own, loaded for one test.
class CFilterModule {
public:
    CFilterModule() {
        m_pvLibrary = dlopen(testing_support::LibraryPath("corvane_exception_filter_module.so").c_str(), RTLD_NOW);
        if (m_pvLibrary == nullptr) return;
        m_pfnInitialize = reinterpret_cast<bool (*)()>(dlsym(m_pvLibrary, "ExceptionFilterModuleInitialize"));
        m_pfnTerminate = reinterpret_cast<void (*)()>(dlsym(m_pvLibrary, "ExceptionFilterModuleTerminate"));
        m_pfnThrow = reinterpret_cast<HRESULT (*)(HRESULT)>(dlsym(m_pvLibrary, "ExceptionFilterModuleThrow"));
        m_pfnCrash = reinterpret_cast<void (*)(void*)>(dlsym(m_pvLibrary, "ExceptionFilterModuleCrash"));
        m_pfnLogPath =
            reinterpret_cast<void (*)(char*, std::size_t)>(dlsym(m_pvLibrary, "ExceptionFilterModuleLogPath"));
    }
    ~CFilterModule() {
        if (m_pvLibrary != nullptr) dlclose(m_pvLibrary);
    }
    bool IsLoaded() const {
        return m_pfnInitialize != nullptr && m_pfnTerminate != nullptr && m_pfnThrow != nullptr &&
               m_pfnCrash != nullptr && m_pfnLogPath != nullptr;
    }
    std::filesystem::path LogPath() const {
        char szPath[4096] = {};
        m_pfnLogPath(szPath, sizeof(szPath));
        return szPath;
    }

    void* m_pvLibrary = nullptr;
    bool (*m_pfnInitialize)() = nullptr;
    void (*m_pfnTerminate)() = nullptr;
    HRESULT (*m_pfnThrow)(HRESULT) = nullptr;
    void (*m_pfnCrash)(void*) = nullptr;
    void (*m_pfnLogPath)(char*, std::size_t) = nullptr;
};

// Lines of the library's log begin with the real time, process and thread.
constexpr char MODULE_PREFIX[] = R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t\d{4,}\t\d{4,}\t)";

class TwoModuleTest : public CrashReportTest {};

TEST_F(TwoModuleTest, ThrowInsideTheLibraryIsReportedOnceInEachLog) {
    CFilterModule Module;
    ASSERT_TRUE(Module.IsLoaded()) << dlerror();
    ASSERT_TRUE(CExceptionFilter::Initialize());
    ASSERT_TRUE(Module.m_pfnInitialize());
    EXPECT_EQ(Module.LogPath().filename(), "corvane_exception_filter_module.log");

    EXPECT_EQ(Module.m_pfnThrow(E_ACCESSDENIED), E_ACCESSDENIED);
    auto ModuleReports = FindReports(ReadTextLines(Module.LogPath(), MODULE_PREFIX), "Exception");
    auto ProgramReports = Reports("Exception");
    ASSERT_EQ(ModuleReports.size(), 1u);
    ASSERT_EQ(ProgramReports.size(), 1u);
    ASSERT_GE(ModuleReports[0].size(), 8u);
    ASSERT_GE(ProgramReports[0].size(), 8u);
    EXPECT_TRUE(ModuleReports[0][2].starts_with("Module: corvane_exception_filter_module.so, Product Version: "))
        << ModuleReports[0][2];
    EXPECT_TRUE(ProgramReports[0][2].starts_with(std::string("Module: ") + corvane::GetModuleFileName() + ","));
    // The same exception: the same throw and the same object.
    EXPECT_EQ(ModuleReports[0][3], ProgramReports[0][3]);
    EXPECT_EQ(ModuleReports[0][4], ProgramReports[0][4]);
    EXPECT_EQ(ModuleReports[0][5], "Native Parameters: 0x80070005, ...");
    EXPECT_EQ(ProgramReports[0][5], "Native Parameters: 0x80070005, ...");
    const std::vector<std::string> ModuleFrames = FramesOf(ModuleReports[0]);
    ASSERT_FALSE(ModuleFrames.empty());
    EXPECT_NE(ModuleFrames[0].find("corvane_exception_filter_module.so!0x"), std::string::npos) << ModuleFrames[0];
    EXPECT_NE(ModuleFrames[0].find("ThrowFromModule"), std::string::npos) << ModuleFrames[0];

    // A throw of the program is the program's alone.
    try {
        ThrowInvalidArgument();
    } catch (...) {
    }
    EXPECT_EQ(FindReports(ReadTextLines(Module.LogPath(), MODULE_PREFIX), "Exception").size(), 1u);
    EXPECT_EQ(Reports("Exception").size(), 2u);

    // Once the library's filter is removed, its throws reach the program's filter only.
    Module.m_pfnTerminate();
    EXPECT_EQ(Module.m_pfnThrow(E_FAIL), E_FAIL);
    EXPECT_EQ(FindReports(ReadTextLines(Module.LogPath(), MODULE_PREFIX), "Exception").size(), 1u);
    EXPECT_EQ(Reports("Exception").size(), 3u);
    std::filesystem::remove(Module.LogPath());
}

TEST_F(TwoModuleTest, CrashIsReportedByTheLaterFilterThenTheEarlierOne) {
    const int nStatus = RunChild([] {
        UseDefaultDisposition(SIGSEGV);
        CFilterModule Module;
        if (!Module.IsLoaded() || !CExceptionFilter::Initialize() || !Module.m_pfnInitialize()) _exit(98);
        Module.m_pfnCrash(InaccessiblePage());
    });
    EXPECT_TRUE(DiedBy(nStatus, SIGSEGV)) << "wait status " << nStatus;
    EXPECT_EQ(Reports("Unhandled Exception").size(), 1u);
    const std::filesystem::path ModuleLog = m_Folder / "corvane_exception_filter_module.log";
    const auto ModuleReports = FindReports(ReadTextLines(ModuleLog, MODULE_PREFIX), "Unhandled Exception");
    ASSERT_EQ(ModuleReports.size(), 1u);
    ASSERT_GE(ModuleReports[0].size(), 4u);
    EXPECT_TRUE(ModuleReports[0][3].starts_with("Code: 0xc0000005, Flags: 0x00000000, Address: 0x"));
    const std::vector<std::string> Frames = FramesOf(ModuleReports[0]);
    ASSERT_FALSE(Frames.empty());
    EXPECT_NE(Frames[0].find("ExceptionFilterModuleCrash"), std::string::npos) << Frames[0];
}

TEST_F(TwoModuleTest, CrashInALibraryLoadedAfterTheFilterNamesItsFunction) {
    const int nStatus = RunChild([] {
        UseDefaultDisposition(SIGSEGV);
        if (!CExceptionFilter::Initialize()) _exit(98);
        CFilterModule Module;
        if (!Module.IsLoaded()) _exit(97);
        Module.m_pfnCrash(InaccessiblePage());
    });
    EXPECT_TRUE(DiedBy(nStatus, SIGSEGV)) << "wait status " << nStatus;
    const auto Found = Reports("Unhandled Exception");
    ASSERT_EQ(Found.size(), 1u);
    const std::vector<std::string> Frames = FramesOf(Found[0]);
    ASSERT_FALSE(Frames.empty());
    EXPECT_TRUE(std::regex_match(Frames[0], std::regex(R"(corvane_exception_filter_module\.so!0x[0-9a-f]{8,} )"
                                                       R"(ExceptionFilterModuleCrash \(\+ \d+\) )"
                                                       R"(\[\S*exception_filter_module\.cpp, \d+\] \(\+ 0\))")))
        << Frames[0];
}

TEST_F(TwoModuleTest, FramesOfAnUnloadedLibraryKeepNoNamesFromEarlierLookups) {
    std::uintptr_t nAddress = 0;
    {
        CFilterModule Module;
        ASSERT_TRUE(Module.IsLoaded()) << dlerror();
        nAddress = reinterpret_cast<std::uintptr_t>(Module.m_pfnCrash) + 1;
        const CDebugTraceCallStack::CFrameDescription Frame = CDebugTraceCallStack::DescribeFrame(nAddress);
        EXPECT_EQ(Frame.sModule, "corvane_exception_filter_module.so");
        EXPECT_EQ(Frame.sSymbol, "ExceptionFilterModuleCrash");
        EXPECT_TRUE(Frame.bLine && Frame.sFile.ends_with("exception_filter_module.cpp")) << Frame.sFile;
        // Described again, from what the first lookup found.
        EXPECT_EQ(CDebugTraceCallStack::DescribeFrame(nAddress).Format(), Frame.Format());
    }
    Dl_info Info{};
    if (dladdr(reinterpret_cast<void*>(nAddress), &Info) != 0) GTEST_SKIP() << "the library stayed loaded";
    const CDebugTraceCallStack::CFrameDescription Frame = CDebugTraceCallStack::DescribeFrame(nAddress);
    EXPECT_FALSE(Frame.bModule);
    EXPECT_FALSE(Frame.bSymbol) << Frame.sSymbol;
    EXPECT_FALSE(Frame.bLine) << Frame.sFile;
}

}  // namespace

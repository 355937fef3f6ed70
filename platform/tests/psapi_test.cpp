// The process list and the performance figures: the /proc parsers against text captured on a real machine
// and mangled copies of it, and the calls against real processes started and ended by the test.
#include "comrt/psapi.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TestEnvironment.h"
#include "comrt/text.h"

namespace {

using testing_support::CChildProcess;
using testing_support::CTemporaryDirectory;

// Captured from /proc/meminfo of a Linux 6.18 machine.
constexpr std::string_view kMemInfo =
    "MemTotal:       24683728 kB\nMemFree:        21231560 kB\nMemAvailable:   23409924 kB\n"
    "Buffers:            8784 kB\nCached:          2342580 kB\nSwapCached:            0 kB\n"
    "Active:          1099664 kB\nInactive:        1993524 kB\nActive(anon):        132 kB\n"
    "Inactive(anon):   753964 kB\nActive(file):    1099532 kB\nInactive(file):  1239560 kB\n"
    "Unevictable:       18264 kB\nMlocked:           15020 kB\nSwapTotal:             0 kB\n"
    "SwapFree:              0 kB\nZswap:                 0 kB\nZswapped:              0 kB\n"
    "Dirty:            270948 kB\nWriteback:             0 kB\nAnonPages:        760436 kB\n"
    "Mapped:            57888 kB\nShmem:             12044 kB\nKReclaimable:     114540 kB\n"
    "Slab:             145992 kB\nSReclaimable:     114540 kB\nSUnreclaim:        31452 kB\n"
    "KernelStack:        2528 kB\nPageTables:         4904 kB\nSecPageTables:         0 kB\n"
    "NFS_Unstable:          0 kB\nBounce:                0 kB\nWritebackTmp:          0 kB\n"
    "CommitLimit:    12341864 kB\nCommitted_AS:     882064 kB\nVmallocTotal:   34359738367 kB\n"
    "VmallocUsed:       15340 kB\nVmallocChunk:          0 kB\nPercpu:              744 kB\n"
    "AnonHugePages:         0 kB\nShmemHugePages:        0 kB\nShmemPmdMapped:        0 kB\n"
    "FileHugePages:    143360 kB\nFilePmdMapped:         0 kB\nBalloon:               0 kB\n"
    "HugePages_Total:       0\nHugePages_Free:        0\nHugePages_Rsvd:        0\n"
    "HugePages_Surp:        0\nHugepagesize:       2048 kB\nHugetlb:               0 kB\n"
    "DirectMap4k:       26624 kB\nDirectMap2M:     2070528 kB\nDirectMap1G:    25165824 kB\n";
// Captured from /proc/sys/fs/file-nr and /proc/loadavg of the same machine.
constexpr std::string_view kFileNr = "918\t0\t2466137\n";
constexpr std::string_view kLoadAvg = "2.88 1.38 0.65 6/155 15451\n";

TEST(ProcTextTest, MemInfoCapturedFromTheMachine) {
    comrt::MemInfo Info;
    ASSERT_TRUE(comrt::ParseMemInfo(kMemInfo, &Info));
    EXPECT_EQ(Info.nMemTotal, 24683728u);
    EXPECT_EQ(Info.nMemFree, 21231560u);
    EXPECT_EQ(Info.nMemAvailable, 23409924u);
    EXPECT_TRUE(Info.bHasMemAvailable);
    EXPECT_EQ(Info.nCached, 2342580u);  // not SwapCached, which comes after it
    EXPECT_EQ(Info.nCommittedAs, 882064u);
    EXPECT_EQ(Info.nCommitLimit, 12341864u);
    EXPECT_EQ(Info.nSReclaimable, 114540u);
    EXPECT_EQ(Info.nSUnreclaim, 31452u);
    EXPECT_EQ(Info.nKernelStack, 2528u);
    EXPECT_EQ(Info.nPageTables, 4904u);
}

TEST(ProcTextTest, MemInfoCutAnywhereNeverReadsPastTheText) {
    // Every prefix parses without a fault; it succeeds exactly when the four required lines are whole.
    const std::size_t nRequiredEnd = kMemInfo.find("\nVmallocTotal");
    for (std::size_t n = 0; n <= kMemInfo.size(); ++n) {
        comrt::MemInfo Info;
        const bool bParsed = comrt::ParseMemInfo(kMemInfo.substr(0, n), &Info);
        EXPECT_EQ(bParsed, n >= nRequiredEnd) << n;
    }
}

TEST(ProcTextTest, MemInfoMangledLines) {
    struct Case {
        std::string sText;
        bool bParsed;
        ULONGLONG nMemTotal;
    };
    const std::string sRest = "MemFree: 2 kB\nCommitted_AS: 3 kB\nCommitLimit: 4 kB\n";
    const Case Cases[] = {
        {"", false, 0},
        {"MemTotal: 1 kB\n" + sRest, true, 1},
        {"MemTotal:1 kB\n" + sRest, true, 1},
        {"MemTotal: 1\n" + sRest, false, 0},                        // no unit
        {"MemTotal: 1 MB\n" + sRest, false, 0},                     // another unit
        {"MemTotal: -1 kB\n" + sRest, false, 0},                    // not a number
        {"MemTotal: 18446744073709551616 kB\n" + sRest, false, 0},  // past 64 bits
        {"MemTotal: 18446744073709551615 kB\n" + sRest, true, 18446744073709551615u},
        {"MemTotal: 5 kB\nMemTotal: 6 kB\n" + sRest, true, 5},  // the first counts
        {"memtotal: 1 kB\n" + sRest, false, 0},                 // names have case
        {"MemTotal 1 kB\n" + sRest, false, 0},
        {"MemTotal: 1 kB extra\n" + sRest, false, 0},
        {std::string("MemTotal: 1 kB\0\n", 16) + sRest, false, 0},
        {"\n\n\n\nMemTotal: 7 kB\n" + sRest, true, 7},
    };
    for (const Case& c : Cases) {
        comrt::MemInfo Info;
        EXPECT_EQ(comrt::ParseMemInfo(c.sText, &Info), c.bParsed) << c.sText;
        EXPECT_EQ(Info.nMemTotal, c.nMemTotal) << c.sText;
    }
    comrt::MemInfo Info;
    EXPECT_TRUE(comrt::ParseMemInfo("MemTotal: 1 kB\n" + sRest, &Info));
    EXPECT_FALSE(Info.bHasMemAvailable);
}

TEST(ProcTextTest, FileNrAndLoadAvg) {
    comrt::FileNr Files;
    ASSERT_TRUE(comrt::ParseFileNr(kFileNr, &Files));
    EXPECT_EQ(Files.nAllocated, 918u);
    EXPECT_EQ(Files.nFree, 0u);
    EXPECT_EQ(Files.nMaximum, 2466137u);
    for (std::string_view s : {"", "918", "918\t0", "918\t0\t", "x 0 1", "918\t-1\t5", "99999999999999999999 0 1"}) {
        EXPECT_FALSE(comrt::ParseFileNr(s, &Files)) << s;
        EXPECT_EQ(Files.nAllocated, 0u) << s;
    }
    EXPECT_TRUE(comrt::ParseFileNr("1 2 9223372036854775807", &Files));  // a maximum of LONG_MAX, as some kernels give

    ULONGLONG nThreads = 0;
    ASSERT_TRUE(comrt::ParseLoadAvgThreads(kLoadAvg, &nThreads));
    EXPECT_EQ(nThreads, 155u);
    EXPECT_TRUE(comrt::ParseLoadAvgThreads("0.00 0.00 0.00 1/2", &nThreads));
    EXPECT_EQ(nThreads, 2u);
    for (std::string_view s :
         {"", "2.88 1.38 0.65", "2.88 1.38 0.65 ", "2.88 1.38 0.65 6", "2.88 1.38 0.65 6/", "2.88 1.38 0.65 /155",
          "2.88 1.38 6/155 1", "2.88 1.38 0.65 6/155x 1", "2.88\n1.38 0.65 6/155 1"}) {
        EXPECT_FALSE(comrt::ParseLoadAvgThreads(s, &nThreads)) << s;
        EXPECT_EQ(nThreads, 0u) << s;
    }
}

TEST(ProcTextTest, ProgramNameAndProcessId) {
    const std::pair<std::string_view, std::string_view> Names[] = {
        {"/usr/bin/sleep", "sleep"},
        {"/usr/bin/sleep (deleted)", "sleep"},
        {"/tmp/my prog (deleted) (deleted)", "my prog (deleted)"},
        {"/opt/a (deleted)x", "a (deleted)x"},
        {"/memfd:runner (deleted)", "memfd:runner"},
        {"sleep", "sleep"},
        {"/usr/bin/", ""},
        {"", ""},
        {" (deleted)", ""},
    };
    for (const auto& [sLink, sName] : Names) EXPECT_EQ(comrt::ProgramNameFromExeLink(sLink), sName) << sLink;

    DWORD nPid = 0;
    EXPECT_TRUE(comrt::ParseProcessId("1", &nPid));
    EXPECT_EQ(nPid, 1u);
    EXPECT_TRUE(comrt::ParseProcessId("4294967295", &nPid));
    EXPECT_EQ(nPid, 4294967295u);
    for (std::string_view s : {"", "0", "01", "4294967296", "99999999999", "12a", "self", "-1", "+1", " 1"})
        EXPECT_FALSE(comrt::ParseProcessId(s, &nPid)) << s;
}

TEST(ProcTextTest, ProcessStatStateAndStartTime) {
    // Fields 4 to 21, then the start time and what follows it.
    const std::string sMiddle = " 1 1234 1234 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 ";
    const struct {
        std::string sText;
        bool bParsed;
        char cState;
        ULONGLONG nStartTime;
    } Cases[] = {
        {"1234 (sleep) S" + sMiddle + "987654 12345678 200\n", true, 'S', 987654},
        // The command name may hold parentheses and blanks; the fields start behind its last ')'.
        {"1234 (my (odd) prog) Z" + sMiddle + "42 0\n", true, 'Z', 42},
        {"1234 (a) b) R" + sMiddle + "18446744073709551615 1", true, 'R', 18446744073709551615ull},
        {"1234 (x) S" + sMiddle + "18446744073709551616 1", false, 0, 0},  // past 64 bits
        {"1234 (x) S" + sMiddle, false, 0, 0},                             // cut before the start time
        {"1234 (x) S 1 2 3", false, 0, 0},
        {"1234 (x) SS" + sMiddle + "5 1", false, 0, 0},  // the state is one character
        {"1234 (x) S" + sMiddle + "-5 1", false, 0, 0},  // a start time is never negative
        {"1234 (x) S 1 2x" + sMiddle + "5 1", false, 0, 0},
        {"1234 sleep S" + sMiddle + "5 1", false, 0, 0},  // no command name
        {"", false, 0, 0},
    };
    for (const auto& Case : Cases) {
        char cState = 0;
        ULONGLONG nStartTime = 0;
        EXPECT_EQ(comrt::ParseProcessStat(Case.sText, &cState, &nStartTime), Case.bParsed) << Case.sText;
        EXPECT_EQ(cState, Case.cState) << Case.sText;
        EXPECT_EQ(nStartTime, Case.nStartTime) << Case.sText;
    }
}

// One snapshot as the process check takes it: identifier to base name.
std::map<DWORD, std::u16string> Snapshot() {
    std::vector<DWORD> Ids(128);
    DWORD cbNeeded = 0;
    for (;;) {
        const auto cb = static_cast<DWORD>(Ids.size() * sizeof(DWORD));
        EXPECT_TRUE(EnumProcesses(Ids.data(), cb, &cbNeeded));
        if (cbNeeded < cb) break;
        Ids.resize(Ids.size() * 2);
    }
    Ids.resize(cbNeeded / sizeof(DWORD));
    std::map<DWORD, std::u16string> Processes;
    for (DWORD nId : Ids) {
        const HANDLE hProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, nId);
        if (hProcess == nullptr) continue;
        HMODULE hModule = nullptr;
        WCHAR szName[260];
        if (EnumProcessModules(hProcess, &hModule, sizeof hModule, &cbNeeded) &&
            GetModuleBaseNameW(hProcess, hModule, szName, 260) > 0)
            Processes[nId] = szName;
        CloseHandle(hProcess);
    }
    return Processes;
}

std::string UniqueName(const char* pszWhat) {
    return std::string("corvane-") + pszWhat + "-" + std::to_string(getpid());
}

// Waits (boundedly) until the process has its program's name: right after fork it still has ours.
bool HasName(DWORD nPid, const std::u16string& sName) {
    for (int i = 0; i < 1000; ++i) {
        const auto Processes = Snapshot();
        const auto it = Processes.find(nPid);
        if (it != Processes.end() && it->second == sName) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(ProcessListTest, ChildIsListedWithItsNameUntilItEnds) {
    CTemporaryDirectory Folder;
    const std::string sName = UniqueName("listed");
    CChildProcess First(Folder.Path(), sName);
    CChildProcess Second(Folder.Path(), sName);
    ASSERT_TRUE(HasName(static_cast<DWORD>(First.Pid()), comrt::ToUtf16(sName)));
    ASSERT_TRUE(HasName(static_cast<DWORD>(Second.Pid()), comrt::ToUtf16(sName)));
    First.End();
    const auto Processes = Snapshot();
    EXPECT_EQ(Processes.count(static_cast<DWORD>(First.Pid())), 0u);
    std::size_t nNamed = 0;
    for (const auto& [nId, sProcessName] : Processes) nNamed += sProcessName == comrt::ToUtf16(sName);
    EXPECT_EQ(nNamed, 1u);
    // Our own process is listed under the test program's name.
    EXPECT_EQ(Processes.count(static_cast<DWORD>(getpid())), 1u);
}

TEST(ProcessListTest, ReplacedProgramKeepsItsName) {
    CTemporaryDirectory Folder;
    const std::string sName = UniqueName("replaced");
    CChildProcess Child(Folder.Path(), sName);
    ASSERT_TRUE(HasName(static_cast<DWORD>(Child.Pid()), comrt::ToUtf16(sName)));
    std::filesystem::remove(Child.Program());
    const auto Processes = Snapshot();
    const auto it = Processes.find(static_cast<DWORD>(Child.Pid()));
    ASSERT_NE(it, Processes.end());
    EXPECT_EQ(it->second, comrt::ToUtf16(sName));
}

TEST(ProcessListTest, SmallBuffersAndFailures) {
    DWORD Ids[2] = {0, 0};
    DWORD cbNeeded = 0;
    // A full buffer answers its own size: the caller grows it.
    ASSERT_TRUE(EnumProcesses(Ids, sizeof Ids, &cbNeeded));
    EXPECT_EQ(cbNeeded, sizeof Ids);
    EXPECT_NE(Ids[1], 0u);
    ASSERT_TRUE(EnumProcesses(Ids, 7, &cbNeeded));  // room for one identifier
    EXPECT_EQ(cbNeeded, 4u);
    ASSERT_TRUE(EnumProcesses(nullptr, 0, &cbNeeded));
    EXPECT_EQ(cbNeeded, 0u);
    SetLastError(0);
    EXPECT_FALSE(EnumProcesses(Ids, sizeof Ids, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // A process that has ended.
    CTemporaryDirectory Folder;
    CChildProcess Child(Folder.Path(), UniqueName("ended"));
    const auto nPid = static_cast<DWORD>(Child.Pid());
    Child.End();
    SetLastError(0);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, nPid), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The kernel's thread daemon has no program: it is there but cannot be opened.
    if (access("/proc/2", F_OK) == 0) {
        EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 2), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }

    // Names are cut to the buffer and terminated.
    const HANDLE hSelf = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(getpid()));
    ASSERT_NE(hSelf, nullptr);
    HMODULE hModule = nullptr;
    ASSERT_TRUE(EnumProcessModules(hSelf, &hModule, sizeof hModule, &cbNeeded));
    EXPECT_EQ(cbNeeded, sizeof(HMODULE));
    EXPECT_NE(hModule, nullptr);
    WCHAR szName[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(GetModuleBaseNameW(hSelf, hModule, szName, 4), 3u);
    EXPECT_EQ(std::u16string(szName), u"pla");  // platform_psapi_test
    EXPECT_EQ(GetModuleBaseNameW(hSelf, hModule, szName, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseHandle(hSelf));
    EXPECT_EQ(GetModuleBaseNameW(hSelf, nullptr, szName, 4), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // An event's handle is not a process's.
    const HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(EnumProcessModules(hEvent, &hModule, sizeof hModule, &cbNeeded));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(hEvent);
}

TEST(PerformanceInfoTest, FiguresOfThisMachine) {
    PERFORMANCE_INFORMATION Info{};
    SetLastError(0);
    EXPECT_FALSE(GetPerformanceInfo(&Info, 55));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
    EXPECT_FALSE(GetPerformanceInfo(nullptr, sizeof Info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(GetPerformanceInfo(&Info, sizeof Info));
    EXPECT_EQ(Info.cb, 56u);
    EXPECT_EQ(Info.PageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(Info.PhysicalTotal, static_cast<DWORD>(sysconf(_SC_PHYS_PAGES)));
    EXPECT_GT(Info.PhysicalAvailable, 0u);
    EXPECT_LE(Info.PhysicalAvailable, Info.PhysicalTotal);
    EXPECT_GT(Info.CommitTotal, 0u);
    EXPECT_GE(Info.CommitPeak, Info.CommitTotal);
    EXPECT_EQ(Info.KernelTotal, Info.KernelPaged + Info.KernelNonpaged);
    EXPECT_GT(Info.KernelNonpaged, 0u);
    EXPECT_GT(Info.HandleCount, 0u);
    EXPECT_GE(Info.ThreadCount, 1u);

    // The process count follows processes that start.
    CTemporaryDirectory Folder;
    std::vector<std::unique_ptr<CChildProcess>> Children;
    for (int i = 0; i < 20; ++i)
        Children.push_back(std::make_unique<CChildProcess>(Folder.Path(), UniqueName("count")));
    PERFORMANCE_INFORMATION More{};
    ASSERT_TRUE(GetPerformanceInfo(&More, sizeof More));
    EXPECT_GE(More.ProcessCount, Info.ProcessCount + 10);  // other programs may end meanwhile
    EXPECT_GE(More.ThreadCount, Info.ThreadCount + 10);
    EXPECT_GE(More.CommitPeak, Info.CommitPeak);
}

}  // namespace

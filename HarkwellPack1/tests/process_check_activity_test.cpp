// The process check activity: its pattern list, the comparison of snapshots, and whole runs with real
// processes of a program copied under a unique name.
#include "ProcessCheckActivity.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "ActivityTestSupport.h"
#include "comrt/text.h"

extern char** environ;

namespace {

using CProcessDataMap = CProcessCheckActivity::CProcessDataMap;

std::u16string Title(CProcessCheckActivity* pActivity) {
    CBstr sTitle;
    EXPECT_EQ(S_OK, pActivity->get_Title(&sTitle));
    return sTitle.Text();
}

std::u16string Patterns(CProcessCheckActivity* pActivity) {
    CBstr sPatterns;
    EXPECT_EQ(S_OK, pActivity->get_ProcessNameExpressions(&sPatterns));
    return sPatterns.Text();
}

HRESULT PutPatterns(CProcessCheckActivity* pActivity, std::u16string_view sPatterns) {
    return pActivity->put_ProcessNameExpressions(CBstr(sPatterns));
}

// A copy of the sleep program under a name no other process has, started as often as asked.
class CUniqueProgram {
public:
    CUniqueProgram() {
        m_sName = "hkw-probe-" + std::to_string(getpid()) + "-" + std::to_string(++s_nCount);
        m_Path = m_Folder.Path() / m_sName;
        std::filesystem::copy_file("/bin/sleep", m_Path);
        std::filesystem::permissions(m_Path, std::filesystem::perms::owner_all);
    }
    ~CUniqueProgram() {
        for (const pid_t nProcess : m_ProcessList) End(nProcess);
    }
    pid_t Run() {
        const std::string sPath = m_Path.string();
        char* Arguments[] = {const_cast<char*>(sPath.c_str()), const_cast<char*>("60"), nullptr};
        pid_t nProcess = 0;
        EXPECT_EQ(0, posix_spawn(&nProcess, sPath.c_str(), nullptr, nullptr, Arguments, environ));
        m_ProcessList.push_back(nProcess);
        return nProcess;
    }
    void End(pid_t nProcess) {
        if (std::erase(m_ProcessList, nProcess) == 0) return;
        kill(nProcess, SIGKILL);
        waitpid(nProcess, nullptr, 0);
    }
    std::u16string Name() const { return comrt::ToUtf16(m_sName); }

private:
    static inline int s_nCount = 0;
    testing_support::CTemporaryDirectory m_Folder;
    std::string m_sName;
    std::filesystem::path m_Path;
    std::vector<pid_t> m_ProcessList;
};

std::u16string Decimal(pid_t n) {
    return comrt::ToUtf16(std::to_string(n));
}

}  // namespace

TEST(ProcessCheckActivity, PatternListIsCheckedWholeAndTitledByItsCount) {
    CActivityHarness<CProcessCheckActivity> Harness;
    CProcessCheckActivity* pActivity = Harness.Activity();
    EXPECT_EQ(u"Process Check Activity", Title(pActivity));
    EXPECT_EQ(S_OK, PutPatterns(pActivity, u"^calc\\.exe$, \"note pad\""));
    EXPECT_EQ(u"^calc\\.exe$,\"note pad\"", Patterns(pActivity));
    EXPECT_EQ(u"Process Check Activity (2 patterns)", Title(pActivity));
    // One malformed pattern refuses the whole list; the old one stays in force.
    EXPECT_EQ(E_INVALIDARG, PutPatterns(pActivity, u"sleep,[abc"));
    EXPECT_EQ(u"^calc\\.exe$,\"note pad\"", Patterns(pActivity));
    // Case-insensitive and unanchored unless anchored.
    EXPECT_TRUE(pActivity->IsMatching(u"CALC.EXE"));
    EXPECT_TRUE(pActivity->IsMatching(u"my note pad"));
    EXPECT_FALSE(pActivity->IsMatching(u"xcalc.exe"));
    EXPECT_EQ(S_OK, PutPatterns(pActivity, u""));
    EXPECT_FALSE(pActivity->IsMatching(u"anything"));
    EXPECT_EQ(u"Process Check Activity", Title(pActivity));
}

TEST(ProcessCheckActivity, SnapshotsCompareByIdentifierAndName) {
    const auto Map = [](std::initializer_list<CProcessCheckActivity::CProcessData> List) {
        CProcessDataMap Result;
        for (const auto& Data : List) Result.emplace(Data.nIdentifier, Data);
        return Result;
    };
    const CProcessDataMap Previous = Map({{10, u"bash"}, {20, u"sleep"}, {30, u"cron"}});
    // 10 ended, 20 replaced its program (a fork followed by exec), 30 stayed, 40 started.
    const CProcessDataMap Current = Map({{20, u"make"}, {30, u"cron"}, {40, u"sleep"}});
    const auto Changes = CProcessCheckActivity::Compare(Previous, Current);
    ASSERT_EQ(2u, Changes.TerminatedList.size());
    EXPECT_EQ(10u, Changes.TerminatedList[0].nIdentifier);
    EXPECT_EQ(u"sleep", Changes.TerminatedList[1].sName);
    ASSERT_EQ(2u, Changes.CreatedList.size());
    EXPECT_EQ(u"make", Changes.CreatedList[0].sName);
    EXPECT_EQ(40u, Changes.CreatedList[1].nIdentifier);
    EXPECT_TRUE(CProcessCheckActivity::Compare(Current, Current).CreatedList.empty());
}

TEST(ProcessCheckActivity, SnapshotSeesTheTestItself) {
    CProcessDataMap Snapshot;
    Snapshot.Enumerate();
    const auto Position = Snapshot.find(static_cast<DWORD>(getpid()));
    ASSERT_NE(Snapshot.end(), Position);
    EXPECT_EQ(comrt::ToUtf16(std::filesystem::read_symlink("/proc/self/exe").filename().string()),
              Position->second.sName);
}

// Two instances of one program are reported separately, each with its identifier, when the first cycle
// finds them running and when one of them ends.
TEST(ProcessCheckActivity, ReportsEachMatchingProcessCreatedAndTerminated) {
    CUniqueProgram Program;
    const pid_t nFirst = Program.Run();
    const pid_t nSecond = Program.Run();
    CActivityHarness<CProcessCheckActivity> Harness;
    CProcessCheckActivity* pActivity = Harness.Activity();
    ASSERT_EQ(S_OK, PutPatterns(pActivity, u"^" + Program.Name() + u"$"));
    ASSERT_EQ(S_OK, pActivity->Start());
    ASSERT_TRUE(Eventually([&] { return Harness.Sink().Count() >= 2; }));
    Program.End(nFirst);
    ASSERT_TRUE(Eventually([&] { return Harness.Sink().Count() >= 3; }, std::chrono::seconds(15)));
    const ULONG nCycles = pActivity->GetCycleCount();
    ASSERT_TRUE(Eventually([&] { return pActivity->GetCycleCount() > nCycles; }, std::chrono::seconds(15)));
    ASSERT_EQ(S_OK, pActivity->Stop());

    const auto Events = Harness.Sink().Events();
    ASSERT_EQ(3u, Events.size());
    const std::u16string sName = Program.Name();
    for (int i = 0; i < 2; ++i) {
        const pid_t nProcess = i == 0 ? std::min(nFirst, nSecond) : std::max(nFirst, nSecond);
        EXPECT_EQ(0u, Events[i].sSubject.find(u"Process Check: " + sName + u" created on "));
        EXPECT_NE(std::u16string::npos, Events[i].sBody.find(u"created process:\r\n\tIdentifier: " + Decimal(nProcess) +
                                                             u"\r\n\tName: " + sName + u"\r\n\tLocal Time: "));
    }
    EXPECT_EQ(0u, Events[2].sSubject.find(u"Process Check: " + sName + u" terminated on "));
    EXPECT_NE(std::u16string::npos, Events[2].sBody.find(u"Identifier: " + Decimal(nFirst) + u"\r\n"));
    EXPECT_EQ(0, Events[2].nLevel);
    EXPECT_TRUE(Events[2].sTags.empty());
}

// A restart reports the running matching processes again; a stopped activity reports nothing.
TEST(ProcessCheckActivity, StopEndsTheWatchAndStartBeginsAfresh) {
    CUniqueProgram Program;
    CActivityHarness<CProcessCheckActivity> Harness;
    CProcessCheckActivity* pActivity = Harness.Activity();
    ASSERT_EQ(S_OK, PutPatterns(pActivity, Program.Name()));
    const pid_t nProcess = Program.Run();
    ASSERT_EQ(S_OK, pActivity->Start());
    ASSERT_EQ(S_OK, pActivity->Start());
    ASSERT_TRUE(Eventually([&] { return Harness.Sink().Count() == 1; }));
    const auto Started = std::chrono::steady_clock::now();
    ASSERT_EQ(S_OK, pActivity->Stop());
    EXPECT_LT(std::chrono::steady_clock::now() - Started, std::chrono::seconds(2));
    ASSERT_EQ(S_OK, pActivity->Start());
    ASSERT_TRUE(Eventually([&] { return Harness.Sink().Count() == 2; }));
    EXPECT_NE(std::u16string::npos, Harness.Sink().Events()[1].sBody.find(Decimal(nProcess)));
}

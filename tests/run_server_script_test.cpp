// scripts/run-server.sh, which make run uses, on a private store: where the session has no bus it starts one
// for the run and records it, so that harkwellctl in another process finds the server; Ctrl-C saves the
// scenarios and ends the bus; a second run while one runs is refused; where the session has a bus, that
// one is used and nothing is recorded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "ManagerClient.h"
#include "PrivateBus.h"
#include "ServerProcess.h"
#include "TestEnvironment.h"

extern char** environ;

using testing_support::CApplicationTestTurn;
using testing_support::CPrivateSessionBus;
using testing_support::CTemporaryDirectory;
using testing_support::CTemporaryRegistry;
using testing_support::FirstActivityTitle;
using testing_support::NewManager;
using testing_support::OnPath;
using testing_support::ProcessResult;
using testing_support::ProgramPath;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::ScenariosOf;
using testing_support::WaitForExit;

namespace {

constexpr char kPingProgId[] = "CPingActivity.CPingActivity.1";

class RunServerScript : public ::testing::Test {
protected:
    void SetUp() override {
        if (!OnPath("dbus-daemon") || !OnPath("dbus-send")) GTEST_SKIP() << "the D-Bus daemon is not installed";
        ASSERT_TRUE(m_Turn.IsHeld());
        unsetenv("CORVANE_HARKWELL_BUS");
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        m_Runtime = m_Folder.Path() / "runtime";
        ASSERT_EQ(0, mkdir(m_Runtime.c_str(), 0700));
        setenv("XDG_RUNTIME_DIR", m_Runtime.c_str(), 1);
        setenv("CORVANE_LOG_DIR", m_Folder.Path().c_str(), 1);
    }
    void TearDown() override {
        if (m_nRun > 0) {
            kill(-m_nRun, SIGINT);
            WaitForExit(m_nRun, std::chrono::seconds(20));
        }
        unsetenv("XDG_RUNTIME_DIR");
        unsetenv("CORVANE_LOG_DIR");
    }

    static ProcessResult Ctl(std::vector<std::string> Arguments) {
        Arguments.insert(Arguments.begin(), ProgramPath("harkwellctl").string());
        return RunProgram(Arguments);
    }
    std::vector<std::string> ScriptCommand() const {
        return {"/bin/bash", std::string(CORVANE_SOURCE_DIR) + "/scripts/run-server.sh",
                testing_support::BinaryDirectory().string()};
    }
    std::filesystem::path RecordPath() const { return m_Runtime / "corvane-harkwell" / "bus"; }

    // Starts the script in a process group of its own, as a terminal runs make run, and waits until the
    // server answers harkwellctl.
    void StartRun() {
        const auto Command = ScriptCommand();
        std::vector<char*> Argv;
        for (const std::string& s : Command) Argv.push_back(const_cast<char*>(s.c_str()));
        Argv.push_back(nullptr);
        const std::string sOutput = (m_Folder.Path() / "run.out").string();
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_addopen(&Actions, 1, sOutput.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&Actions, 1, 2);
        posix_spawnattr_t Attributes;
        posix_spawnattr_init(&Attributes);
        posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&Attributes, 0);
        ASSERT_EQ(0, posix_spawn(&m_nRun, Argv[0], &Actions, &Attributes, Argv.data(), environ));
        posix_spawnattr_destroy(&Attributes);
        posix_spawn_file_actions_destroy(&Actions);
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        ProcessResult Status;
        do {
            Status = Ctl({"status"});
            if (Status.nExitCode == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } while (std::chrono::steady_clock::now() < Deadline);
        FAIL() << "the server does not answer: " << Status.sOutput << ReadFile(m_Folder.Path() / "run.out");
    }
    // Ctrl-C: SIGINT to the whole process group (or another signal to the script alone, as make hands on
    // SIGTERM); the run has to end on its own, with status 0.
    void InterruptRun(int nSignal = SIGINT, bool bGroup = true) {
        ASSERT_EQ(0, kill(bGroup ? -m_nRun : m_nRun, nSignal));
        EXPECT_EQ(0, WaitForExit(m_nRun, std::chrono::seconds(20))) << ReadFile(m_Folder.Path() / "run.out");
        m_nRun = -1;
    }

    CApplicationTestTurn m_Turn;
    CTemporaryRegistry m_Registry;
    CTemporaryDirectory m_Folder;
    std::filesystem::path m_Runtime;
    pid_t m_nRun = -1;
};

}  // namespace

TEST_F(RunServerScript, WithoutASessionBusHarkwellctlReachesTheServerAndCtrlCSavesTheScenarios) {
    StartRun();
    ASSERT_TRUE(std::filesystem::exists(RecordPath())) << ReadFile(m_Folder.Path() / "run.out");
    const std::string sAddress = ReadFile(RecordPath());
    EXPECT_EQ(0, sAddress.rfind("unix:", 0)) << sAddress;
    EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
              std::filesystem::status(RecordPath()).permissions());

    auto Result = Ctl({"create", "--activity", kPingProgId, "--set", "Host=127.0.0.1", "--set", "Interval=60000"});
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    Result = Ctl({"list"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("0: Ping Remote Host 127.0.0.1\n")) << Result.sOutput;
    // Generic bus tools reach it by the recorded address.
    if (OnPath("busctl")) {
        const std::string sLine = sAddress.substr(0, sAddress.find('\n'));
        Result = RunProgram({"busctl", "--address=" + sLine, "get-property", "Corvane.HarkwellServer",
                             "/Corvane/HarkwellServer/Application/Manager/Scenarios", "Corvane.IScenarios", "Count"});
        EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
        EXPECT_EQ("i 1\n", Result.sOutput);
    }

    InterruptRun();
    // The bus went with the run, and its record with it.
    EXPECT_FALSE(std::filesystem::exists(RecordPath()));
    EXPECT_EQ(3, Ctl({"status"}).nExitCode);
    // The list was saved: a manager of this process loads it from the store.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegResetStore();
    CComPtr<IManager> pManager;
    ASSERT_EQ(S_OK, NewManager(pManager));
    auto pScenarios = ScenariosOf(pManager);
    LONG nCount = 0;
    ASSERT_EQ(S_OK, pScenarios->get_Count(&nCount));
    ASSERT_EQ(1, nCount);
    std::u16string sTitle;
    ASSERT_EQ(S_OK, FirstActivityTitle(pScenarios, sTitle));
    EXPECT_EQ(u"Ping Remote Host 127.0.0.1", sTitle);
    pScenarios.Release();
    pManager.Release();
    CoUninitialize();
}

TEST_F(RunServerScript, ASecondRunIsRefusedAndLeavesTheFirstOneItsBus) {
    StartRun();
    const std::string sAddress = ReadFile(RecordPath());
    const auto Second = RunProgram(ScriptCommand());
    EXPECT_EQ(1, Second.nExitCode) << Second.sOutput;
    EXPECT_NE(std::string::npos, Second.sOutput.find("already running")) << Second.sOutput;
    EXPECT_EQ(sAddress, ReadFile(RecordPath()));
    EXPECT_EQ(0, Ctl({"status"}).nExitCode);
    InterruptRun();
}

TEST_F(RunServerScript, WithASessionBusThatBusIsUsedAndNothingIsRecorded) {
    CPrivateSessionBus Bus;
    ASSERT_TRUE(Bus.Start());
    StartRun();
    EXPECT_FALSE(std::filesystem::exists(RecordPath()));
    EXPECT_FALSE(std::filesystem::exists(m_Runtime / "corvane-harkwell"));
    InterruptRun();
}

TEST_F(RunServerScript, ARecordThatOthersMayWriteIsNotUsed) {
    StartRun();
    // Another user who could write the record could point the user's calls at a bus of theirs.
    for (const auto Permissions : {std::filesystem::perms::group_write, std::filesystem::perms::others_write}) {
        std::filesystem::permissions(RecordPath(), Permissions, std::filesystem::perm_options::add);
        EXPECT_EQ(3, Ctl({"status"}).nExitCode);
        std::filesystem::permissions(RecordPath(), Permissions, std::filesystem::perm_options::remove);
    }
    EXPECT_EQ(0, Ctl({"status"}).nExitCode);
    InterruptRun();
}

TEST_F(RunServerScript, SigtermToTheScriptStopsTheServerBeforeItsBus) {
    StartRun();
    // The server ends first, with status 0 (it stopped as asked and saved); then the bus and its record go.
    InterruptRun(SIGTERM, false);
    EXPECT_FALSE(std::filesystem::exists(RecordPath()));
    EXPECT_EQ(std::string::npos, ReadFile(m_Folder.Path() / "HarkwellServer.log").find("*** Exception"));
}

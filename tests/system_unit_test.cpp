// The service unit the package installs, run as systemd runs it: its start step registers the program for
// Service Mode without a unit of the program's own, its server serves on the system bus as root with the
// package's policy, and its stop step registers Application Mode again. The unit is the one built for the
// build tree's programs; units go to a folder of the test's own, systemctl is a stand-in that records its
// calls, and the system bus is a daemon of the test's that reads the package's policy folder.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "BusDaemon.h"
#include "BusFileFolders.h"
#include "ClassesRootReader.h"
#include "ServerProcess.h"
#include "TestEnvironment.h"
#include "comrt/bus.h"

using testing_support::CApplicationTestTurn;
using testing_support::CBusDaemon;
using testing_support::CBusFileFolders;
using testing_support::CServerProcess;
using testing_support::CTemporaryDirectory;
using testing_support::KeyExists;
using testing_support::LibraryPath;
using testing_support::ProgramPath;
using testing_support::ReadFile;
using testing_support::ReadString;
using testing_support::RunProgram;

namespace {

const std::u16string kAppIdKey = u"AppID\\{E9DD5B21-0728-430C-B8F0-375FF814CCC7}";
const char kUnitName[] = "corvane-harkwell-server.service";
constexpr char kGetEnabled[] =
    "get-property Corvane.HarkwellServer /Corvane/HarkwellServer/Application Corvane.IApplication Enabled";

std::vector<std::string> Words(const std::string& sText) {
    std::vector<std::string> Result;
    std::istringstream Stream(sText);
    for (std::string sWord; Stream >> sWord;) Result.push_back(sWord);
    return Result;
}

// The unit's settings of its [Service] section that run a command, by key: the command's words.
std::map<std::string, std::vector<std::string>> ServiceCommands(const std::string& sUnit) {
    std::map<std::string, std::vector<std::string>> Commands;
    std::istringstream Lines(sUnit);
    std::string sSection;
    for (std::string sLine; std::getline(Lines, sLine);) {
        if (sLine.starts_with("[")) sSection = sLine;
        const std::size_t nEquals = sLine.find('=');
        if (sSection != "[Service]" || !sLine.starts_with("Exec") || nEquals == std::string::npos) continue;
        Commands[sLine.substr(0, nEquals)] = Words(sLine.substr(nEquals + 1));
    }
    return Commands;
}

class SystemUnit : public ::testing::Test {
protected:
    void SetUp() override {
        m_UnitFolder = m_Folder.Path() / "units";
        m_LogFolder = m_Folder.Path() / "logs";
        m_SystemctlLog = m_Folder.Path() / "systemctl.log";
        std::filesystem::create_directories(m_UnitFolder);
        std::filesystem::create_directories(m_LogFolder);
        // systemctl as far as registration uses it: every call recorded and successful, no unit active.
        const std::filesystem::path Systemctl = m_Folder.Path() / "systemctl";
        std::ofstream(Systemctl) << "#!/bin/sh\necho \"$*\" >> '" << m_SystemctlLog.string()
                                 << "'\n[ \"$1\" != is-active ] || { echo inactive; exit 3; }\n";
        std::filesystem::permissions(Systemctl, std::filesystem::perms::owner_all);
        Set("CORVANE_HARKWELL_UNIT_DIR", m_UnitFolder.string());
        Set("CORVANE_HARKWELL_SYSTEMCTL", Systemctl.string());
        Set("CORVANE_HARKWELL_EVENT_LOG", (m_Folder.Path() / "events.log").string());
        Set("CORVANE_LOG_DIR", m_LogFolder.string());
        Set(comrt::kClientBusVariable, std::nullopt);
        const std::string sUnit = ReadFile(CORVANE_TEST_UNIT_FILE);
        ASSERT_FALSE(sUnit.empty()) << CORVANE_TEST_UNIT_FILE;
        m_Commands = ServiceCommands(sUnit);
        const auto Result = RunProgram({ProgramPath("hkregsvr").string(), LibraryPath("HarkwellPack1.so").string()});
        ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    }
    void TearDown() override { m_Environment.Restore(); }
    void Set(const std::string& sName, const std::optional<std::string>& Value) { m_Environment.Set(sName, Value); }

    // The unit's command of the key ("ExecStartPre", ...), run to its end.
    testing_support::ProcessResult RunStep(const std::string& sKey) {
        const auto Found = m_Commands.find(sKey);
        if (Found == m_Commands.end()) return {-1, "the unit has no " + sKey + "\n"};
        return RunProgram(Found->second);
    }
    testing_support::ProcessResult Server(const std::string& sSwitch) {
        return RunProgram({ProgramPath("HarkwellServer").string(), sSwitch});
    }
    // The calls that changed units (written, enabled, stopped or deleted) since the log was last cleared.
    std::string UnitChanges() const {
        std::istringstream Lines(ReadFile(m_SystemctlLog));
        std::string sChanges;
        for (std::string sLine; std::getline(Lines, sLine);)
            if (!sLine.starts_with("is-active") && !sLine.starts_with("is-enabled")) sChanges += sLine + "\n";
        return sChanges;
    }
    bool UnitWritten() const { return std::filesystem::exists(m_UnitFolder / kUnitName); }
    std::u16string LocalService() const { return ReadString(kAppIdKey, u"LocalService"); }

    testing_support::CTemporaryRegistry m_Registry;
    CTemporaryDirectory m_Folder;
    CBusFileFolders m_BusFolders;
    std::filesystem::path m_UnitFolder, m_LogFolder, m_SystemctlLog;
    std::map<std::string, std::vector<std::string>> m_Commands;
    testing_support::CScopedEnvironment m_Environment;
};

}  // namespace

TEST_F(SystemUnit, ItsStepsRunTheBuildTreesProgram) {
    const std::string sProgram = ProgramPath("HarkwellServer").string();
    for (const auto& [sKey, Expected] :
         std::map<std::string, std::vector<std::string>>{{"ExecStartPre", {sProgram, "/UnitStarting"}},
                                                         {"ExecStart", {sProgram}},
                                                         {"ExecStopPost", {sProgram, "/UnitStopped"}}}) {
        ASSERT_EQ(1u, m_Commands.count(sKey)) << sKey;
        EXPECT_EQ(Expected, m_Commands[sKey]) << sKey;
    }
}

// The start and stop steps, and /Register between them, beside the registrations an administrator makes:
// what the program is registered for afterwards, and that no unit was written, enabled, stopped or deleted
// by a step of the system's unit.
TEST_F(SystemUnit, TheStepsChangeOnlyTheModeTheyOwn) {
    struct Case {
        const char* pszName;
        std::vector<std::string> Before;  // switches, or the unit's steps by key
        std::string sStep;
        bool bAppIdAfter;
        bool bServiceAfter;
        bool bOwnUnitAfter;
        bool bActivationFileAfter;  // the one /RegServer wrote stays
    };
    const Case Cases[] = {
        {"start from Application Mode", {"/Register"}, "ExecStartPre", true, true, false, false},
        {"start on a first installation", {}, "ExecStartPre", true, true, false, false},
        {"stop after start", {"/Register", "ExecStartPre"}, "ExecStopPost", true, false, false, false},
        {"stop in Application Mode", {"/RegServer"}, "ExecStopPost", true, false, false, true},
        {"stop when not registered", {}, "ExecStopPost", false, false, false, false},
        {"stop after unregistering", {"ExecStartPre", "/UnregServer"}, "ExecStopPost", false, false, false, false},
        {"register again under the system's unit", {"ExecStartPre"}, "/Register", true, true, false, false},
        {"start beside the program's own unit", {"/Service"}, "ExecStartPre", true, true, true, false},
        {"stop beside the program's own unit", {"/Service"}, "ExecStopPost", true, true, true, false},
    };
    for (const Case& Case : Cases) {
        SCOPED_TRACE(Case.pszName);
        ASSERT_EQ(0, Server("/UnregServer").nExitCode);
        ASSERT_FALSE(KeyExists(kAppIdKey));
        for (const std::string& sBefore : Case.Before) {
            const auto Result = sBefore.starts_with("/") ? Server(sBefore) : RunStep(sBefore);
            ASSERT_EQ(0, Result.nExitCode) << sBefore << ": " << Result.sOutput;
        }
        std::filesystem::remove(m_SystemctlLog);
        const auto Result = Case.sStep.starts_with("/") ? Server(Case.sStep) : RunStep(Case.sStep);
        EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
        EXPECT_EQ(Case.bAppIdAfter, KeyExists(kAppIdKey));
        const std::u16string sExpected = !Case.bAppIdAfter    ? u"<no key>"
                                         : Case.bServiceAfter ? u"Corvane Harkwell Server"
                                                              : u"<no value>";
        EXPECT_EQ(sExpected, LocalService());
        EXPECT_EQ(Case.bOwnUnitAfter, UnitWritten());
        EXPECT_EQ("", UnitChanges());
        // Service Mode has the bus policy; the steps leave the session bus's activation file to the package.
        EXPECT_EQ(Case.bServiceAfter, std::filesystem::exists(m_BusFolders.PolicyFile()));
        EXPECT_EQ(Case.bActivationFileAfter, std::filesystem::exists(m_BusFolders.ActivationFile()));
    }
}

TEST_F(SystemUnit, StartedAndStoppedAsSystemdDoesItServesOnTheSystemBusThenGivesItBack) {
    if (geteuid() != 0) GTEST_SKIP() << "the service runs as root";
    if (RunProgram({"sh", "-c", "command -v dbus-daemon && command -v busctl"}).nExitCode != 0)
        GTEST_SKIP() << "dbus-daemon or busctl is missing";
    CApplicationTestTurn Turn;
    ASSERT_TRUE(Turn.IsHeld());
    // As the package's installation leaves it: Application Mode, the per-user default.
    auto Result = Server("/Register");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    ASSERT_EQ(u"<no value>", LocalService());

    // The system bus reads the package's policy folder only: the program's own policy file is not needed.
    const std::filesystem::path Config = m_Folder.Path() / "system.conf";
    testing_support::WriteSystemBusConfig(Config, m_Folder.Path(), {CORVANE_PACKAGE_POLICY_DIR});
    CBusDaemon Daemon;
    ASSERT_TRUE(
        Daemon.Start({"dbus-daemon", "--config-file=" + Config.string(), "--nofork"}, m_Folder.Path() / "daemon.out"))
        << ReadFile(m_Folder.Path() / "daemon.out");
    Set("DBUS_SYSTEM_BUS_ADDRESS", Daemon.Address());

    std::filesystem::remove(m_SystemctlLog);
    Result = RunStep("ExecStartPre");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(u"Corvane Harkwell Server", LocalService());
    EXPECT_FALSE(UnitWritten());
    EXPECT_EQ("", UnitChanges());

    const std::vector<std::string>& Start = m_Commands["ExecStart"];
    ASSERT_FALSE(Start.empty());
    ASSERT_EQ(ProgramPath("HarkwellServer").string(), Start[0]);
    CServerProcess Service;
    ASSERT_TRUE(Service.Start(std::vector<std::string>(Start.begin() + 1, Start.end()),
                              {"INVOCATION_ID=system-unit-test"}, (m_Folder.Path() / "server.out").string()));
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        Result = RunProgram({"busctl", "--address=" + Daemon.Address(), "get-property", "Corvane.HarkwellServer",
                             "/Corvane/HarkwellServer/Application", "Corvane.IApplication", "Enabled"});
        if (Result.nExitCode == 0 || !Service.IsRunning()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < Deadline);
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput << ReadFile(m_Folder.Path() / "server.out")
                                   << ReadFile(m_Folder.Path() / "daemon.out");
    EXPECT_EQ("b true\n", Result.sOutput);
    // harkwellctl finds the service on the system bus by the registered mode alone.
    Result = RunProgram({ProgramPath("harkwellctl").string(), "status"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;

    EXPECT_EQ(0, Service.Terminate(std::chrono::seconds(20))) << ReadFile(m_Folder.Path() / "server.out");
    Result = RunStep("ExecStopPost");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(u"<no value>", LocalService());
    EXPECT_EQ(u"Interactive User", ReadString(kAppIdKey, u"RunAs"));
    EXPECT_FALSE(std::filesystem::exists(m_BusFolders.PolicyFile()));
    EXPECT_FALSE(UnitWritten());
    EXPECT_EQ("", UnitChanges());
}

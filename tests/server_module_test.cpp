// The server program's switches and run modes, run as a process on a private store. Service registration
// goes to a unit folder of the test's own and to a recording stand-in of systemctl; "started by the service
// manager" is the environment systemd gives a service (INVOCATION_ID), the notify messages go to a socket
// the test reads, and the event log to a file.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <fstream>
#include <sstream>

#include "BusFileFolders.h"
#include "ClassesRootReader.h"
#include "ManagerClient.h"
#include "PrivateBus.h"
#include "ServerProcess.h"
#include "TestEnvironment.h"
#include "TestPluginIds.h"
#include "comrt/registry.h"

using testing_support::CApplicationTestTurn;
using testing_support::FirstActivityTitle;
using testing_support::KeyExists;
using testing_support::LibraryPath;
using testing_support::NewManager;
using testing_support::ProgramPath;
using testing_support::ReadFile;
using testing_support::ReadString;
using testing_support::RunProgram;
using testing_support::ScenariosOf;
using testing_support::StartServerProcess;
using testing_support::StoreScenarioWithActivity;
using testing_support::WaitForExit;

namespace {

const std::u16string kAppIdKey = u"AppID\\{E9DD5B21-0728-430C-B8F0-375FF814CCC7}";
const char kUnitName[] = "corvane-harkwell-server.service";

// A datagram socket at a path, standing in for systemd's notify socket.
class CNotifySocket {
public:
    explicit CNotifySocket(const std::filesystem::path& Path) : m_Path(Path) {
        m_nFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un Address{};
        Address.sun_family = AF_UNIX;
        std::snprintf(Address.sun_path, sizeof Address.sun_path, "%s", Path.c_str());
        if (bind(m_nFd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) {
            close(m_nFd);
            m_nFd = -1;
        }
    }
    ~CNotifySocket() {
        if (m_nFd >= 0) close(m_nFd);
    }
    bool IsOpen() const { return m_nFd >= 0; }
    const std::filesystem::path& Path() const { return m_Path; }

    // Messages until one contains sText, within the limit; all of them, joined with "|".
    std::string ReadUntil(const std::string& sText, std::chrono::milliseconds Limit) {
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        while (m_sReceived.find(sText) == std::string::npos) {
            const auto Left =
                std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
            if (Left.count() <= 0) break;
            pollfd Poll{m_nFd, POLLIN, 0};
            if (poll(&Poll, 1, static_cast<int>(Left.count())) <= 0) break;
            char Buffer[4096];
            const ssize_t nRead = recv(m_nFd, Buffer, sizeof Buffer, 0);
            if (nRead > 0) m_sReceived += std::string(Buffer, static_cast<std::size_t>(nRead)) + "|";
        }
        return m_sReceived;
    }

private:
    std::filesystem::path m_Path;
    int m_nFd = -1;
    std::string m_sReceived;
};

class ServerModule : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_UnitFolder = m_Folder.Path() / "units";
        std::filesystem::create_directories(m_UnitFolder);
        m_SystemctlLog = m_Folder.Path() / "systemctl.log";
        m_ActiveState = m_Folder.Path() / "active-state";
        m_EventLog = m_Folder.Path() / "events.log";
        m_LogFolder = m_Folder.Path() / "logs";
        std::filesystem::create_directories(m_LogFolder);
        WriteActiveState("inactive");
        // systemctl as far as the program uses it: every call recorded, the unit's state from a file.
        const std::filesystem::path Script = m_Folder.Path() / "systemctl";
        std::ofstream(Script) << "#!/bin/sh\n"
                                 "echo \"$*\" >> '"
                              << m_SystemctlLog.string()
                              << "'\n"
                                 "case \"$1\" in\n"
                                 "  is-active) state=$(cat '"
                              << m_ActiveState.string()
                              << "'); echo \"$state\"; [ \"$state\" = active ] ;;\n"
                                 "  is-enabled) echo enabled ;;\n"
                                 "  daemon-reload) [ ! -f '"
                              << (m_Folder.Path() / "fail-second-reload").string()
                              << "' ] || [ $(grep -c '^daemon-reload' '" << m_SystemctlLog.string()
                              << "') != 2 ] ;;\n"
                                 "  *) exit 0 ;;\n"
                                 "esac\n";
        std::filesystem::permissions(Script, std::filesystem::perms::owner_all);
        m_ServiceEnvironment = {
            "CORVANE_HARKWELL_UNIT_DIR=" + m_UnitFolder.string(), "CORVANE_HARKWELL_SYSTEMCTL=" + Script.string(),
            "CORVANE_HARKWELL_EVENT_LOG=" + m_EventLog.string(), "CORVANE_LOG_DIR=" + m_LogFolder.string()};
        for (const std::string& sItem : m_ServiceEnvironment) {
            const std::size_t nEquals = sItem.find('=');
            setenv(sItem.substr(0, nEquals).c_str(), sItem.substr(nEquals + 1).c_str(), 1);
        }
        for (const char* pszLibrary : {"HarkwellPack1.so", "TestPlugin.so"}) {
            const auto Result = RunProgram({ProgramPath("hkregsvr").string(), LibraryPath(pszLibrary).string()});
            ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
        }
    }
    void TearDown() override {
        for (const char* pszName : {"CORVANE_HARKWELL_UNIT_DIR", "CORVANE_HARKWELL_SYSTEMCTL",
                                    "CORVANE_HARKWELL_EVENT_LOG", "CORVANE_LOG_DIR"})
            unsetenv(pszName);
    }

    void WriteActiveState(const char* pszState) { std::ofstream(m_ActiveState) << pszState << "\n"; }
    testing_support::ProcessResult Server(const std::string& sSwitch) {
        return RunProgram({ProgramPath("HarkwellServer").string(), sSwitch});
    }
    std::filesystem::path UnitFile() const { return m_UnitFolder / kUnitName; }
    std::string TraceLog() const { return ReadFile(m_LogFolder / "HarkwellServer.log"); }
    void SetRunAs(const std::u16string& sRunAs) {
        CRegKey Key;
        ASSERT_EQ(ERROR_SUCCESS, Key.Create(HKEY_CLASSES_ROOT, kAppIdKey));
        ASSERT_EQ(ERROR_SUCCESS, Key.SetStringValue(u"RunAs", sRunAs));
    }

    // Stores one scenario whose test activity counts its starts in its settings.
    void StoreCountingScenario() { ASSERT_EQ(S_OK, StoreScenarioWithActivity(CLSID_CTestActivity)); }
    // The stored activity's title, which says how often it was started (this load being one start).
    std::u16string StoredActivityTitle() {
        RegResetStore();
        CComPtr<IManager> pManager;
        if (FAILED(NewManager(pManager))) return u"<no manager>";
        std::u16string sTitle;
        if (FirstActivityTitle(ScenariosOf(pManager), sTitle) != S_OK) return u"<no scenario>";
        return sTitle;
    }

    testing_support::CTemporaryRegistry m_Registry;
    testing_support::CTemporaryDirectory m_Folder;
    testing_support::CBusFileFolders m_BusFolders;
    std::filesystem::path m_UnitFolder, m_SystemctlLog, m_ActiveState, m_EventLog, m_LogFolder;
    std::vector<std::string> m_ServiceEnvironment;
};

}  // namespace

TEST_F(ServerModule, ServiceSwitchInstallsTheServiceRegisterKeepsItAndRegServerRemovesIt) {
    ASSERT_EQ(0, Server("/RegServer").nExitCode);
    SetRunAs(u"INTERACTIVE user");

    auto Result = Server("/Service");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(u"Corvane Harkwell Server", ReadString(kAppIdKey, u"LocalService"));
    EXPECT_EQ(u"<no value>", ReadString(kAppIdKey, u"RunAs"));  // "Interactive User" in any case goes
    const std::string sProgram = std::filesystem::canonical(ProgramPath("HarkwellServer")).string();
    const std::string sUnit = ReadFile(UnitFile());
    EXPECT_NE(std::string::npos, sUnit.find("Description=Corvane Harkwell Server\n")) << sUnit;
    EXPECT_NE(std::string::npos, sUnit.find("X-Description=An informational notifications service\n")) << sUnit;
    EXPECT_NE(std::string::npos, sUnit.find("Type=notify\n")) << sUnit;
    EXPECT_NE(std::string::npos, sUnit.find("ExecStart=\"" + sProgram + "\"\n")) << sUnit;
    EXPECT_NE(std::string::npos, sUnit.find("Requires=dbus.service\n")) << sUnit;
    EXPECT_NE(std::string::npos, sUnit.find("WantedBy=multi-user.target\n")) << sUnit;
    EXPECT_NE(std::string::npos, ReadFile(m_SystemctlLog).find(std::string("enable ") + kUnitName));
    // The system bus's policy replaces the session bus's activation file.
    EXPECT_TRUE(std::filesystem::exists(m_BusFolders.PolicyFile()));
    EXPECT_FALSE(std::filesystem::exists(m_BusFolders.ActivationFile()));

    // "Register" keeps the present mode.
    Result = Server("-register");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(u"Corvane Harkwell Server", ReadString(kAppIdKey, u"LocalService"));
    EXPECT_TRUE(std::filesystem::exists(UnitFile()));

    // Back to Application Mode while the service runs: stopped, deleted, "RunAs" written.
    WriteActiveState("active");
    std::filesystem::remove(m_SystemctlLog);
    Result = Server("/RegServer");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    const std::string sCalls = ReadFile(m_SystemctlLog);
    const std::size_t nStop = sCalls.find(std::string("stop --no-block ") + kUnitName);
    const std::size_t nDisable = sCalls.find(std::string("disable ") + kUnitName);
    EXPECT_NE(std::string::npos, nStop) << sCalls;
    EXPECT_NE(std::string::npos, nDisable) << sCalls;
    EXPECT_LT(nStop, nDisable) << sCalls;
    EXPECT_FALSE(std::filesystem::exists(UnitFile()));
    EXPECT_EQ(u"<no value>", ReadString(kAppIdKey, u"LocalService"));
    EXPECT_EQ(u"Interactive User", ReadString(kAppIdKey, u"RunAs"));
    EXPECT_TRUE(std::filesystem::exists(m_BusFolders.ActivationFile()));
    EXPECT_FALSE(std::filesystem::exists(m_BusFolders.PolicyFile()));

    // Another "RunAs" is an administrator's choice and stays in both modes.
    WriteActiveState("inactive");
    SetRunAs(u"harkwell");
    ASSERT_EQ(0, Server("/service").nExitCode);
    EXPECT_EQ(u"harkwell", ReadString(kAppIdKey, u"RunAs"));
    ASSERT_EQ(0, Server("/UnregServer").nExitCode);
    EXPECT_FALSE(std::filesystem::exists(UnitFile()));
    EXPECT_FALSE(KeyExists(u"AppID\\HarkwellServer"));
    EXPECT_FALSE(KeyExists(kAppIdKey));
    EXPECT_FALSE(std::filesystem::exists(m_BusFolders.PolicyFile()));
    EXPECT_FALSE(std::filesystem::exists(m_BusFolders.ActivationFile()));
}

TEST_F(ServerModule, SwitchRulesAndTheirPasses) {
    // "Register" wins over "Service" anywhere on the line: the present mode (none yet) stays Application Mode.
    auto Result = RunProgram({ProgramPath("HarkwellServer").string(), "/Service", "/Register"});
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(u"<no value>", ReadString(kAppIdKey, u"LocalService"));
    EXPECT_FALSE(std::filesystem::exists(UnitFile()));
    EXPECT_EQ(u"Interactive User", ReadString(kAppIdKey, u"RunAs"));

    // Repeated switches: the first match decides, once.
    Result = RunProgram({ProgramPath("HarkwellServer").string(), "--RegServer", "/regserver"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;

    // An unknown switch is reported and ignored; the known one still acts.
    Result = RunProgram({ProgramPath("HarkwellServer").string(), "/RegSrever", "/UnregServer"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("unknown switch \"/RegSrever\"")) << Result.sOutput;
    EXPECT_EQ(u"<no key>", ReadString(u"AppID\\HarkwellServer", u"AppID"));

    // Without a display the dialogs' switches fail with a message that says so (the windows themselves are
    // tested under Xvfb).
    for (const char* pszSwitch : {"/About", "-Configuration"}) {
        Result = RunProgram({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                             ProgramPath("HarkwellServer").string(), pszSwitch});
        EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
        EXPECT_NE(std::string::npos, Result.sOutput.find("window needs a display")) << Result.sOutput;
        EXPECT_NE(std::string::npos, Result.sOutput.find(pszSwitch + 1)) << Result.sOutput;
    }
    Result = Server("--help");
    EXPECT_EQ(0, Result.nExitCode);
    EXPECT_NE(std::string::npos, Result.sOutput.find("/RegServer")) << Result.sOutput;
}

TEST_F(ServerModule, ADescriptionTheManagerRefusesDoesNotFailTheInstallation) {
    ASSERT_EQ(0, Server("/RegServer").nExitCode);
    // The second reload is the one after the description was written into the unit.
    std::ofstream(m_Folder.Path() / "fail-second-reload") << "\n";
    const auto Result = Server("/Service");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(u"Corvane Harkwell Server", ReadString(kAppIdKey, u"LocalService"));
    EXPECT_TRUE(std::filesystem::exists(UnitFile()));
    EXPECT_NE(std::string::npos, ReadFile(m_SystemctlLog).find(std::string("enable ") + kUnitName));
    // The refusal is an assertion of the trace, nothing more.
    EXPECT_NE(std::string::npos, TraceLog().find("ChangeServiceConfig2W")) << TraceLog();
}

TEST_F(ServerModule, ADamagedStoreEndsTheStartWithItsErrorAndIsLeftAsItWas) {
    ASSERT_EQ(0, Server("/RegServer").nExitCode);
    testing_support::CTemporaryDirectory Damaged;
    std::string sJunk(8192, '\0');
    for (std::size_t i = 0; i < sJunk.size(); ++i) sJunk[i] = static_cast<char>((i * 7919u) >> 3);
    for (const char* pszHive : {"classes.db", "machine.db"}) std::ofstream(Damaged.Path() / pszHive) << sJunk;
    for (const char* pszSwitch : {"", "/RegServer"}) {
        std::vector<std::string> Command{"env", "CORVANE_REGISTRY_DIR=" + Damaged.Path().string(),
                                         ProgramPath("HarkwellServer").string()};
        if (*pszSwitch != '\0') Command.emplace_back(pszSwitch);
        const auto Result = RunProgram(Command);
        EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
        EXPECT_NE(std::string::npos, Result.sOutput.find("damaged")) << Result.sOutput;
    }
    for (const char* pszHive : {"classes.db", "machine.db"}) EXPECT_EQ(sJunk, ReadFile(Damaged.Path() / pszHive));
}

TEST_F(ServerModule, FailuresOfRegistrationAndStartSayWhatFailed) {
    // Not registered: the AppID key is missing, nothing runs.
    auto Result = RunProgram({ProgramPath("HarkwellServer").string()});
    EXPECT_EQ(1, Result.nExitCode);
    EXPECT_NE(std::string::npos, Result.sOutput.find("/RegServer")) << Result.sOutput;

    // No service manager to install with: the switch fails and the program stays in Application Mode.
    ASSERT_EQ(0, Server("/RegServer").nExitCode);
    unsetenv("CORVANE_HARKWELL_UNIT_DIR");
    unsetenv("CORVANE_HARKWELL_SYSTEMCTL");
    if (std::filesystem::exists("/run/systemd/system")) GTEST_SKIP() << "systemd runs here";
    Result = Server("/Service");
    EXPECT_EQ(1, Result.nExitCode);
    EXPECT_NE(std::string::npos, Result.sOutput.find("0xA76500EE")) << Result.sOutput;
    EXPECT_EQ(u"<no value>", ReadString(kAppIdKey, u"LocalService"));
    EXPECT_EQ(u"Interactive User", ReadString(kAppIdKey, u"RunAs"));
    // The session bus still starts the program in Application Mode; no system bus policy was written.
    EXPECT_TRUE(std::filesystem::exists(m_BusFolders.ActivationFile()));
    EXPECT_FALSE(std::filesystem::exists(m_BusFolders.PolicyFile()));
}

TEST_F(ServerModule, StartedByHandWhileRegisteredAsAServiceItIsTheServiceHelper) {
    CApplicationTestTurn Turn;
    ASSERT_TRUE(Turn.IsHeld());
    StoreCountingScenario();
    ASSERT_EQ(0, Server("/Service").nExitCode);
    RegResetStore();

    // The pages it serves come from its user-interface module, which a run without a display never loads.
    // Its tray and pages reach for the service on a system bus that is not there.
    testing_support::CPrivateSessionBus SessionBus;
    ASSERT_TRUE(SessionBus.Start());
    const std::string sNoSystemBus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (m_Folder.Path() / "none").string();
    const struct {
        const char* pszPlatform;
        std::vector<const char*> Classes;
    } kCases[] = {
        {"", {}},
        {"offscreen",
         {"{EE534334-98FE-4D50-85B9-AE63DCB42780}", "{4DDF9AF4-635D-4576-98F8-611A5BB25738}",
          "{1549D24D-1D32-4217-BAE2-528A254A0029}"}},
    };
    for (const auto& Case : kCases) {
        SCOPED_TRACE(Case.pszPlatform);
        std::filesystem::remove(m_LogFolder / "HarkwellServer.log");
        const pid_t nServer = StartServerProcess(
            {}, {"INVOCATION_ID=", "DISPLAY=", "WAYLAND_DISPLAY=", std::string("QT_QPA_PLATFORM=") + Case.pszPlatform,
                 sNoSystemBus});
        ASSERT_GT(nServer, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        ASSERT_EQ(0, kill(nServer, SIGTERM));
        EXPECT_EQ(0, WaitForExit(nServer, std::chrono::seconds(15)));
        const std::string sTrace = TraceLog();
        EXPECT_NE(std::string::npos, sTrace.find("nClassContext 1, nFlags 0x2")) << sTrace;
        // The three page classes, in their order, and no other class.
        std::vector<std::string> Classes;
        for (std::size_t n = sTrace.find("ClassIdentifier "); n != std::string::npos;
             n = sTrace.find("ClassIdentifier ", n + 1))
            Classes.push_back(sTrace.substr(n + 16, 38));
        EXPECT_EQ(std::vector<std::string>(Case.Classes.begin(), Case.Classes.end()), Classes) << sTrace;
        EXPECT_EQ(Case.Classes.empty(), sTrace.find("serves no property pages") != std::string::npos) << sTrace;
    }
    // No application object: the stored scenario was never started (this load is its first start).
    EXPECT_EQ(u"Test Activity (started 1)", StoredActivityTitle());
}

TEST_F(ServerModule, ServiceModeReportsToTheServiceManagerAndSavesOnStop) {
    CApplicationTestTurn Turn;
    ASSERT_TRUE(Turn.IsHeld());
    StoreCountingScenario();
    ASSERT_EQ(0, Server("/Service").nExitCode);
    RegResetStore();
    CNotifySocket Notify(m_Folder.Path() / "notify");
    ASSERT_TRUE(Notify.IsOpen());

    const pid_t nServer =
        StartServerProcess({}, {"INVOCATION_ID=0123456789abcdef", "NOTIFY_SOCKET=" + Notify.Path().string()});
    ASSERT_GT(nServer, 0);
    std::string sMessages = Notify.ReadUntil("READY=1", std::chrono::seconds(15));
    EXPECT_NE(std::string::npos, sMessages.find("STATUS=Starting")) << sMessages;
    ASSERT_NE(std::string::npos, sMessages.find("READY=1")) << sMessages;
    ASSERT_EQ(0, kill(nServer, SIGTERM));
    sMessages = Notify.ReadUntil("STATUS=Stopped", std::chrono::seconds(15));
    EXPECT_EQ(0, WaitForExit(nServer, std::chrono::seconds(15)));
    EXPECT_LT(sMessages.find("READY=1"), sMessages.find("STOPPING=1")) << sMessages;
    EXPECT_LT(sMessages.find("STOPPING=1"), sMessages.find("STATUS=Stopped")) << sMessages;

    const std::string sEvents = ReadFile(m_EventLog);
    EXPECT_LT(sEvents.find("Service started"), sEvents.find("Service stopped")) << sEvents;
    EXPECT_NE(std::string::npos, sEvents.find("Service stopped")) << sEvents;
    const std::string sTrace = TraceLog();
    EXPECT_NE(std::string::npos, sTrace.find("nClassContext 4, nFlags 0x1")) << sTrace;
    EXPECT_NE(std::string::npos, sTrace.find("ClassIdentifier {2050A88A-CCDC-4C35-90F2-3F04AF942EAD}")) << sTrace;
    // Started by the service, saved at its stop, started again by this load.
    EXPECT_EQ(u"Test Activity (started 2)", StoredActivityTitle());
}

TEST_F(ServerModule, AServiceThatCannotStartEndsWithItsServiceSpecificCode) {
    CApplicationTestTurn Turn;
    ASSERT_TRUE(Turn.IsHeld());
    ASSERT_EQ(0, Server("/Service").nExitCode);
    CNotifySocket FirstNotify(m_Folder.Path() / "notify1");
    CNotifySocket SecondNotify(m_Folder.Path() / "notify2");
    const pid_t nFirst =
        StartServerProcess({}, {"INVOCATION_ID=first", "NOTIFY_SOCKET=" + FirstNotify.Path().string()});
    ASSERT_GT(nFirst, 0);
    ASSERT_NE(std::string::npos, FirstNotify.ReadUntil("READY=1", std::chrono::seconds(15)).find("READY=1"));

    // The second instance finds the first one's shared data and ends with 0x80070420 as its code.
    const std::string sOutput = (m_Folder.Path() / "second.out").string();
    const pid_t nSecond =
        StartServerProcess({}, {"INVOCATION_ID=second", "NOTIFY_SOCKET=" + SecondNotify.Path().string()}, sOutput);
    ASSERT_GT(nSecond, 0);
    EXPECT_EQ(1, WaitForExit(nSecond, std::chrono::seconds(15)));
    const std::string sSecond = SecondNotify.ReadUntil("STATUS=Stopped", std::chrono::seconds(5));
    EXPECT_EQ(std::string::npos, sSecond.find("READY=1")) << sSecond;
    EXPECT_NE(std::string::npos, sSecond.find("80070420")) << sSecond;
    EXPECT_NE(std::string::npos, ReadFile(sOutput).find("0x0000042A")) << ReadFile(sOutput);  // the service error
    // One error entry whose identifier is the code.
    EXPECT_NE(std::string::npos, ReadFile(m_EventLog).find(std::to_string(0x80070420u))) << ReadFile(m_EventLog);

    ASSERT_EQ(0, kill(nFirst, SIGTERM));
    EXPECT_EQ(0, WaitForExit(nFirst, std::chrono::seconds(15)));
}

namespace {

// Whether the process blocks SIGTERM yet (its main routine has begun).
bool BlocksSigterm(pid_t nProcess) {
    std::ifstream Status("/proc/" + std::to_string(nProcess) + "/status");
    std::string sLine;
    while (std::getline(Status, sLine)) {
        if (sLine.rfind("SigBlk:", 0) == 0) return (std::stoull(sLine.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    }
    return false;
}

}  // namespace

TEST_F(ServerModule, StopSignalsDuringTheStartAndTheStopLoseNoScenario) {
    CApplicationTestTurn Turn;
    ASSERT_TRUE(Turn.IsHeld());
    constexpr int kScenarios = 50;
    for (int i = 0; i < kScenarios; ++i) StoreCountingScenario();
    ASSERT_EQ(0, Server("/RegServer").nExitCode);
    RegResetStore();

    for (int nRound = 0; nRound < 3; ++nRound) {
        const pid_t nServer = StartServerProcess();
        ASSERT_GT(nServer, 0);
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!BlocksSigterm(nServer) && std::chrono::steady_clock::now() < Deadline) std::this_thread::yield();
        // Twice: the second arrives while the first one's stop is under way.
        ASSERT_EQ(0, kill(nServer, SIGTERM));
        ASSERT_EQ(0, kill(nServer, SIGINT));
        // A generous limit: it only tells a hang from a slow stop on a loaded machine.
        EXPECT_EQ(0, WaitForExit(nServer, std::chrono::seconds(60))) << "round " << nRound;
    }
    RegResetStore();
    CComPtr<IManager> pManager;
    ASSERT_EQ(S_OK, NewManager(pManager));
    LONG nCount = 0;
    ASSERT_EQ(S_OK, ScenariosOf(pManager)->get_Count(&nCount));
    EXPECT_EQ(kScenarios, nCount);
}

// The files that register the server with the bus daemons: their exact text, written and removed by the
// registration switches, and what a bus daemon makes of them. The daemons are private ones of the test:
// a session bus whose service folder is the activation folder, and a bus configured like the system bus
// that includes the policy folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "Application.h"
#include "BusDaemon.h"
#include "BusFileFolders.h"
#include "BusRegistration.h"
#include "ServerProcess.h"
#include "TestEnvironment.h"
#include "comrt/bus.h"
#include "comrt/text.h"

using testing_support::CApplicationTestTurn;
using testing_support::CBusDaemon;
using testing_support::CBusFileFolders;
using testing_support::CServerProcess;
using testing_support::CTemporaryDirectory;
using testing_support::ProgramPath;
using testing_support::ReadFile;
using testing_support::RunProgram;

namespace {

constexpr char kGetEnabled[] =
    "get-property Corvane.HarkwellServer /Corvane/HarkwellServer/Application Corvane.IApplication Enabled";
// The group that the test's bus daemon knows by name (from a group file of the test's own).
constexpr char kTestGroupId[] = "64999";

bool HasPrograms(const std::string& sNames) {
    return RunProgram({"sh", "-c", "for p in " + sNames + "; do command -v $p || exit 1; done"}).nExitCode == 0;
}

std::vector<std::string> Words(const std::string& sText) {
    std::vector<std::string> Result;
    std::istringstream Stream(sText);
    for (std::string sWord; Stream >> sWord;) Result.push_back(sWord);
    return Result;
}

mode_t ModeOf(const std::filesystem::path& Path) {
    struct stat Status {};
    return stat(Path.c_str(), &Status) == 0 ? (Status.st_mode & 07777) : 0;
}

const char kPolicyText[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<!-- Corvane Harkwell Server (Service Mode): written when the program registers itself as a service,\n"
    "     removed when it registers for Application Mode or unregisters. -->\n"
    "<busconfig>\n"
    "  <!-- The service runs as root and owns the name. -->\n"
    "  <policy user=\"root\">\n"
    "    <allow own=\"Corvane.HarkwellServer\"/>\n"
    "    <allow send_destination=\"Corvane.HarkwellServer\"/>\n"
    "  </policy>\n"
    "  <!-- Besides root only the members of this group may call it; the default policy refuses everyone else. "
    "-->\n"
    "  <policy group=\"corvane-harkwell\">\n"
    "    <allow send_destination=\"Corvane.HarkwellServer\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

std::string ActivationText(const std::string& sExec) {
    return "# Corvane Harkwell Server (Application Mode): written when the program registers itself for "
           "Application Mode, removed when it registers as a service or unregisters.\n"
           "[D-BUS Service]\n"
           "Name=Corvane.HarkwellServer\n"
           "Exec=" +
           sExec + "\n";
}

class BusRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        m_UnitFolder = m_Folder.Path() / "units";
        m_LogFolder = m_Folder.Path() / "logs";
        std::filesystem::create_directories(m_UnitFolder);
        std::filesystem::create_directories(m_LogFolder);
        // systemctl as far as registration uses it: every call succeeds, no unit is active.
        const std::filesystem::path Systemctl = m_Folder.Path() / "systemctl";
        std::ofstream(Systemctl) << "#!/bin/sh\n[ \"$1\" != is-active ] || { echo inactive; exit 3; }\n";
        std::filesystem::permissions(Systemctl, std::filesystem::perms::owner_all);
        Set("CORVANE_HARKWELL_UNIT_DIR", m_UnitFolder.string());
        Set("CORVANE_HARKWELL_SYSTEMCTL", Systemctl.string());
        Set("CORVANE_HARKWELL_EVENT_LOG", (m_Folder.Path() / "events.log").string());
        Set("CORVANE_LOG_DIR", m_LogFolder.string());
        // These tests start their own buses, and the servers they start (the activated one through the
        // daemon's environment) must attach to them.
        Set("CORVANE_HARKWELL_BUS", std::nullopt);
        m_sProgram = std::filesystem::canonical(ProgramPath("HarkwellServer")).string();
    }
    void TearDown() override { m_Environment.Restore(); }
    // Sets the variable (removes it for no value) until the test ends.
    void Set(const std::string& sName, const std::optional<std::string>& Value) { m_Environment.Set(sName, Value); }

    testing_support::ProcessResult Server(const std::string& sSwitch) { return RunProgram({m_sProgram, sSwitch}); }
    // busctl against the address, as root or through the given prefix (another user's identity).
    testing_support::ProcessResult Busctl(const std::string& sAddress, const std::string& sArguments,
                                          const std::vector<std::string>& Prefix = {}) {
        std::vector<std::string> Command = Prefix;
        Command.emplace_back("busctl");
        Command.emplace_back("--address=" + sAddress);
        for (const std::string& sWord : Words(sArguments)) Command.push_back(sWord);
        return RunProgram(Command);
    }
    // A session bus of the test whose service folder is the activation folder.
    bool StartSessionBus(CBusDaemon& Daemon) {
        const std::filesystem::path Config = m_Folder.Path() / "session.conf";
        std::ofstream(Config)
            << "<busconfig>\n  <type>session</type>\n  <listen>unix:dir=" << m_Folder.Path().string()
            << "</listen>\n  <auth>EXTERNAL</auth>\n  <servicedir>" << m_BusFolders.ActivationFolder().string()
            << "</servicedir>\n  <policy context=\"default\">\n    <allow send_destination=\"*\"/>\n"
               "    <allow receive_sender=\"*\"/>\n    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n";
        return Daemon.Start({"dbus-daemon", "--config-file=" + Config.string(), "--nofork"},
                            m_Folder.Path() / "daemon.out");
    }
    std::string TraceLog() const { return ReadFile(m_LogFolder / "HarkwellServer.log"); }

    testing_support::CTemporaryRegistry m_Registry;
    CTemporaryDirectory m_Folder;
    CBusFileFolders m_BusFolders;
    std::filesystem::path m_UnitFolder, m_LogFolder;
    std::string m_sProgram;
    testing_support::CScopedEnvironment m_Environment;
};

// The process identifier in `busctl status` output ("PID=n"); 0 when there is none.
pid_t OwnerProcess(const std::string& sStatus) {
    std::istringstream Lines(sStatus);
    for (std::string sLine; std::getline(Lines, sLine);)
        if (sLine.rfind("PID=", 0) == 0) return static_cast<pid_t>(std::stol(sLine.substr(4)));
    return 0;
}

// Whether the process has ended (gone, or a zombie its parent has not reaped yet) within the limit.
bool Ends(pid_t nProcess, std::chrono::milliseconds Limit) {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    do {
        const std::string sStat = ReadFile("/proc/" + std::to_string(nProcess) + "/stat");
        const std::size_t nParen = sStat.rfind(')');
        if (sStat.empty() || (nParen != std::string::npos && sStat.compare(nParen + 2, 1, "Z") == 0)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < Deadline);
    return false;
}

}  // namespace

TEST(BusActivationFile, TheExecLineQuotesThePathAsTheDaemonSplitsIt) {
    std::string sText;
    ASSERT_TRUE(BuildBusActivationFile("/opt/Corvane Harkwell/bin/HarkwellServer", &sText));
    EXPECT_EQ(ActivationText("\"/opt/Corvane Harkwell/bin/HarkwellServer\""), sText);
    ASSERT_TRUE(BuildBusActivationFile("/a \"b\"/$HOME/`c`/d\\e/'f'%g", &sText));
    // In the file: '"' as \\" and '\' as four backslashes; '$', '`', quotes and '%' as they are.
    EXPECT_EQ(ActivationText(R"("/a \\"b\\"/$HOME/`c`/d\\\\e/'f'%g")"), sText);
    // A line break would end the Exec line early; such a path cannot be registered.
    EXPECT_FALSE(BuildBusActivationFile("/opt/two\nlines", &sText));
    EXPECT_FALSE(BuildBusActivationFile(std::string("/opt/nul\0byte", 13), &sText));
    EXPECT_EQ(E_INVALIDARG, WriteBusFiles(false, u"/opt/two\nlines"));
}

TEST_F(BusRegistration, TheDaemonStartsTheProgramOfAQuotedExecLine) {
    if (!HasPrograms("dbus-daemon busctl")) GTEST_SKIP() << "dbus-daemon or busctl is missing";
    // A program in a folder whose name holds every character the quoting has to take care of; it only
    // leaves a mark that it ran, with its arguments.
    const std::filesystem::path Odd = m_Folder.Path() / "odd \"dir\" $HOME `x` back\\slash 'q' 100%";
    std::filesystem::create_directories(Odd);
    const std::filesystem::path Mark = m_Folder.Path() / "mark";
    std::ofstream(Odd / "probe") << "#!/bin/sh\necho \"$# $0\" > '" << Mark.string() << "'\n";
    std::filesystem::permissions(Odd / "probe", std::filesystem::perms::owner_all);
    ASSERT_EQ(S_OK, WriteBusFiles(false, comrt::ToUtf16((Odd / "probe").string())));

    CBusDaemon Daemon;
    ASSERT_TRUE(StartSessionBus(Daemon)) << ReadFile(m_Folder.Path() / "daemon.out");
    // The probe never owns the name, so the call fails; what counts is that it ran, as one word.
    Busctl(Daemon.Address(), "--timeout=3 call Corvane.HarkwellServer / org.freedesktop.DBus.Peer Ping");
    EXPECT_EQ("0 " + (Odd / "probe").string() + "\n", ReadFile(Mark)) << ReadFile(m_Folder.Path() / "daemon.out");
}

TEST_F(BusRegistration, TheSwitchesWriteTheFileOfTheirModeAndRemoveTheOther) {
    const std::filesystem::path Activation = m_BusFolders.ActivationFile();
    const std::filesystem::path Policy = m_BusFolders.PolicyFile();

    auto Result = Server("/RegServer");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(ActivationText("\"" + m_sProgram + "\""), ReadFile(Activation));
    EXPECT_EQ(0644u, ModeOf(Activation));
    EXPECT_FALSE(std::filesystem::exists(Policy));

    Result = Server("/Service");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(kPolicyText, ReadFile(Policy));
    EXPECT_EQ(0644u, ModeOf(Policy));
    EXPECT_FALSE(std::filesystem::exists(Activation));
    // root creates the group the policy names when the machine lacks it; nobody else tries.
    const bool bGroupMissing = RunProgram({"getent", "group", kBusPolicyGroup}).nExitCode != 0;
    if (geteuid() == 0 && bGroupMissing) {
        EXPECT_EQ("--system corvane-harkwell\n", ReadFile(m_BusFolders.GroupaddLog()));
    } else {
        EXPECT_FALSE(std::filesystem::exists(m_BusFolders.GroupaddLog()));
    }

    // "Register" keeps the mode and its file.
    Result = Server("/Register");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(kPolicyText, ReadFile(Policy));
    EXPECT_FALSE(std::filesystem::exists(Activation));

    Result = Server("/RegServer");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(ActivationText("\"" + m_sProgram + "\""), ReadFile(Activation));
    EXPECT_FALSE(std::filesystem::exists(Policy));

    Result = Server("/UnregServer");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_FALSE(std::filesystem::exists(Activation));
    EXPECT_FALSE(std::filesystem::exists(Policy));

    // Unregistering from Service Mode removes the policy as well.
    ASSERT_EQ(0, Server("/Service").nExitCode);
    ASSERT_TRUE(std::filesystem::exists(Policy));
    ASSERT_EQ(0, Server("/UnregServer").nExitCode);
    EXPECT_FALSE(std::filesystem::exists(Policy));
    EXPECT_FALSE(std::filesystem::exists(Activation));
}

TEST_F(BusRegistration, AGroupThatCannotBeCreatedDoesNotFailTheRegistration) {
    if (geteuid() != 0) GTEST_SKIP() << "only root creates the group";
    if (RunProgram({"getent", "group", kBusPolicyGroup}).nExitCode == 0) GTEST_SKIP() << "the group exists here";
    setenv("CORVANE_HARKWELL_GROUPADD", "false", 1);
    const auto Result = Server("/Service");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ(kPolicyText, ReadFile(m_BusFolders.PolicyFile()));
    EXPECT_NE(std::string::npos, TraceLog().find("could not create the group corvane-harkwell")) << TraceLog();
}

TEST_F(BusRegistration, AFileThatCannotBeWrittenFailsTheSwitch) {
    // The activation folder's place is taken by a file.
    std::ofstream(m_Folder.Path() / "blocked") << "\n";
    Set("CORVANE_HARKWELL_DBUS_SERVICES_DIR", (m_Folder.Path() / "blocked" / "services").string());
    const auto Result = Server("/RegServer");
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("0x80070003")) << Result.sOutput;  // the path is not found
    EXPECT_NE(std::string::npos, TraceLog().find("Cannot write the activation file")) << TraceLog();
}

TEST_F(BusRegistration, ACallOnTheSessionBusStartsTheServerInApplicationMode) {
    if (!HasPrograms("dbus-daemon busctl")) GTEST_SKIP() << "dbus-daemon or busctl is missing";
    CApplicationTestTurn Turn;
    ASSERT_TRUE(Turn.IsHeld());
    auto Result = Server("/RegServer");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;

    // The daemon hands its environment (the test's store and log folder) to the programs it starts.
    CBusDaemon Daemon;
    ASSERT_TRUE(StartSessionBus(Daemon)) << ReadFile(m_Folder.Path() / "daemon.out");
    ASSERT_NE(0, Busctl(Daemon.Address(), "status Corvane.HarkwellServer").nExitCode) << "a server runs already";

    // The first call starts the server and waits for its answer; on a busy machine that can take longer
    // than busctl's default time-out for get-property, so it goes as a call with a time-out of its own.
    Result = Busctl(Daemon.Address(),
                    "--timeout=120 call Corvane.HarkwellServer /Corvane/HarkwellServer/Application "
                    "org.freedesktop.DBus.Properties Get ss Corvane.IApplication Enabled");
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput << ReadFile(m_Folder.Path() / "daemon.out") << TraceLog();
    EXPECT_EQ("v b true\n", Result.sOutput);
    Result = Busctl(Daemon.Address(), kGetEnabled);
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_EQ("b true\n", Result.sOutput);
    const auto Status = Busctl(Daemon.Address(), "status Corvane.HarkwellServer");
    const pid_t nServer = OwnerProcess(Status.sOutput);
    ASSERT_GT(nServer, 0) << Status.sOutput;
    EXPECT_EQ(m_sProgram, std::filesystem::read_symlink("/proc/" + std::to_string(nServer) + "/exe").string());
    ASSERT_EQ(0, kill(nServer, SIGTERM));
    EXPECT_TRUE(Ends(nServer, std::chrono::seconds(15)));
    // It ran with the daemon's environment: its trace went to the test's log folder.
    EXPECT_NE(std::string::npos, TraceLog().find("Signal 15 received, stopping")) << TraceLog();

    // Unregistered, nothing is started any more.
    ASSERT_EQ(0, Server("/UnregServer").nExitCode);
    Result = Busctl(Daemon.Address(), kGetEnabled);
    EXPECT_NE(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(0, Busctl(Daemon.Address(), "status Corvane.HarkwellServer").nExitCode);
}

TEST_F(BusRegistration, OnTheSystemBusOnlyRootAndTheGroupMayCallTheService) {
    if (geteuid() != 0) GTEST_SKIP() << "the service runs as root";
    if (!HasPrograms("dbus-daemon busctl setpriv")) GTEST_SKIP() << "dbus-daemon, busctl or setpriv is missing";
    CApplicationTestTurn Turn;
    ASSERT_TRUE(Turn.IsHeld());
    auto Result = Server("/Service");
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;

    // A bus configured as the system bus is: everything not allowed is refused, and the policy folder is
    // included. Other users reach its socket.
    const std::filesystem::path Config = m_Folder.Path() / "system.conf";
    testing_support::WriteSystemBusConfig(Config, m_Folder.Path(), {m_BusFolders.PolicyFolder()});
    std::filesystem::permissions(m_Folder.Path(),
                                 std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                     std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                     std::filesystem::perms::others_exec);

    // The member's call needs the group by name. Where the machine lacks it, the daemon alone sees it: a
    // mount namespace of its own shows it a group file with the group added. Where neither can be had,
    // the member's call is not tried.
    std::string sGroupId;
    const auto Group = RunProgram({"getent", "group", kBusPolicyGroup});
    if (Group.nExitCode == 0) {
        // "name:password:id:members"
        std::istringstream Fields(Group.sOutput);
        for (int i = 0; i < 3; ++i) std::getline(Fields, sGroupId, ':');
    }
    const std::filesystem::path GroupFile = m_Folder.Path() / "group";
    std::ofstream(GroupFile) << ReadFile("/etc/group") << kBusPolicyGroup << ":x:" << kTestGroupId << ":\n";
    const std::string sDaemon = "exec dbus-daemon --config-file='" + Config.string() + "' --nofork \"$@\"";
    CBusDaemon Daemon;
    if (sGroupId.empty() &&
        Daemon.Start({"unshare", "--mount", "sh", "-c",
                      "mount --bind '" + GroupFile.string() + "' /etc/group && " + sDaemon, "daemon"},
                     m_Folder.Path() / "daemon.out")) {
        sGroupId = kTestGroupId;
    } else if (Daemon.Address().empty()) {
        ASSERT_TRUE(Daemon.Start({"sh", "-c", sDaemon, "daemon"}, m_Folder.Path() / "daemon.out"))
            << ReadFile(m_Folder.Path() / "daemon.out");
    }

    CServerProcess Service;
    ASSERT_TRUE(Service.Start({},
                              {"INVOCATION_ID=bus-registration-test", "DBUS_SYSTEM_BUS_ADDRESS=" + Daemon.Address()},
                              (m_Folder.Path() / "server.out").string()));
    // root owns the name and calls the service.
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        Result = Busctl(Daemon.Address(), kGetEnabled);
        if (Result.nExitCode == 0 || !Service.IsRunning()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < Deadline);
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput << ReadFile(m_Folder.Path() / "server.out")
                                   << ReadFile(m_Folder.Path() / "daemon.out");
    EXPECT_EQ("b true\n", Result.sOutput);

    // The service helper's way to the application object: as a client of the system bus it creates the
    // application class as a local server and gets the service's one instance, which refuses Terminate.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", Daemon.Address().c_str(), 1);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    comrt::CoSetClientBus(comrt::BusKind::System);
    {
        CComPtr<IApplication> pApplication;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_LOCAL_SERVER, IidOf<IApplication>(),
                                         reinterpret_cast<void**>(&pApplication)));
        if (pApplication) {
            VARIANT_BOOL bEnabled = VARIANT_FALSE;
            EXPECT_EQ(S_OK, pApplication->get_Enabled(&bEnabled));
            EXPECT_EQ(VARIANT_TRUE, bEnabled);
            EXPECT_EQ(kTerminateInServiceModeResult, pApplication->Terminate());
        }
    }
    CoUninitialize();
    EXPECT_TRUE(Service.IsRunning());

    // Another user reaches the bus and sees the name, but its call is refused.
    const std::vector<std::string> Nobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const auto Status = Busctl(Daemon.Address(), "status Corvane.HarkwellServer", Nobody);
    EXPECT_EQ(0, Status.nExitCode) << Status.sOutput;
    EXPECT_GT(OwnerProcess(Status.sOutput), 0) << Status.sOutput;
    Result = Busctl(Daemon.Address(), kGetEnabled, Nobody);
    EXPECT_NE(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Access denied")) << Result.sOutput;

    if (!sGroupId.empty()) {
        // The same user as a member of the group may call.
        const std::vector<std::string> Member{"setpriv", "--reuid=65534", "--regid=65534", "--groups=" + sGroupId};
        Result = Busctl(Daemon.Address(), kGetEnabled, Member);
        EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
        EXPECT_EQ("b true\n", Result.sOutput);
    }
    EXPECT_EQ(0, Service.Terminate(std::chrono::seconds(15)));
}

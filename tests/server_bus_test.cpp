// The server's object model as clients we did not write see it: the server program on a private session
// bus, read with busctl and gdbus, its application events heard by dbus-monitor from before it starts until
// after it stops. Every busctl or gdbus call is a process of its own, so they walk from the application down
// to a scenario's activity through the views, which hold nothing between calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "ManagerClient.h"
#include "Pack1Ids.h"
#include "PrivateBus.h"
#include "ServerProcess.h"
#include "TestEnvironment.h"
#include "comrt/registry.h"

using testing_support::CApplicationTestTurn;
using testing_support::CreateActivityOf;
using testing_support::CTemporaryDirectory;
using testing_support::LibraryPath;
using testing_support::NewManager;
using testing_support::OnPath;
using testing_support::ProgramPath;
using testing_support::PutDispatchProperty;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::ScenariosOf;

using testing_support::kIPingActivity;
using testing_support::kPingActivity;

namespace {

constexpr char kServer[] = "Corvane.HarkwellServer";
constexpr char kApplication[] = "/Corvane/HarkwellServer/Application";

// busctl's answer, without its line end.
std::string Busctl(std::vector<std::string> Arguments) {
    Arguments.insert(Arguments.begin(), {"busctl", "--user"});
    std::string sOutput = RunProgram(Arguments).sOutput;
    while (!sOutput.empty() && sOutput.back() == '\n') sOutput.pop_back();
    return sOutput;
}

// The object path in an answer such as `o "/Corvane/HarkwellServer/Objects/3"`; empty when there is none.
std::string PathIn(const std::string& sAnswer) {
    const std::size_t nStart = sAnswer.find("\"/");
    const std::size_t nEnd = nStart == std::string::npos ? nStart : sAnswer.find('"', nStart + 1);
    return nEnd == std::string::npos ? std::string() : sAnswer.substr(nStart + 1, nEnd - nStart - 1);
}

std::string GetProperty(const std::string& sPath, const std::string& sInterface, const std::string& sName) {
    return Busctl({"get-property", kServer, sPath, "Corvane." + sInterface, sName});
}

}  // namespace

TEST(ServerBus, ClientsWeDidNotWriteReadTheObjectModelAndHearTheWholeLifeCycle) {
    for (const char* pszProgram : {"dbus-daemon", "dbus-monitor", "busctl", "gdbus"})
        if (!OnPath(pszProgram)) GTEST_SKIP() << pszProgram << " is not installed";
    CApplicationTestTurn Turn;
    ASSERT_TRUE(Turn.IsHeld());
    testing_support::CTemporaryRegistry Registry;
    CTemporaryDirectory Folder;
    setenv("CORVANE_LOG_DIR", Folder.Path().c_str(), 1);
    unsetenv("CORVANE_HARKWELL_BUS");
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_EQ(0, RunProgram({ProgramPath("HarkwellServer").string(), "/RegServer"}).nExitCode);
    ASSERT_EQ(0, RunProgram({ProgramPath("hkregsvr").string(), LibraryPath("HarkwellPack1.so").string()}).nExitCode);
    {
        // One stored scenario: a ping activity on 127.0.0.1 that probes once an hour.
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        auto pScenarios = ScenariosOf(pManager);
        CComPtr<IScenario> pScenario;
        ASSERT_EQ(S_OK, pScenarios->Add(&pScenario));
        CComPtr<IActivity> pActivity;
        ASSERT_EQ(S_OK, CreateActivityOf(pScenarios, kPingActivity, pActivity));
        ASSERT_EQ(S_OK, PutDispatchProperty(pActivity, kIPingActivity, u"Host", u"127.0.0.1"));
        ASSERT_EQ(S_OK, PutDispatchProperty(pActivity, kIPingActivity, u"Interval", 3600000));
        ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
    }
    RegResetStore();

    testing_support::CPrivateSessionBus Bus;
    ASSERT_TRUE(Bus.Start());
    const std::filesystem::path Signals = Folder.Path() / "signals.txt";
    const pid_t nMonitor = [&] {
        pid_t nProcess = -1;
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_addopen(&Actions, 1, Signals.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const char* Argv[] = {"dbus-monitor", "--session", "type='signal',interface='Corvane._ApplicationEvents'",
                              nullptr};
        posix_spawnp(&nProcess, Argv[0], &Actions, nullptr, const_cast<char**>(Argv), environ);
        posix_spawn_file_actions_destroy(&Actions);
        return nProcess;
    }();
    ASSERT_GT(nMonitor, 0);
    // The monitor listens before the server starts.
    for (int i = 0; i < 100 && ReadFile(Signals).find("NameAcquired") == std::string::npos; ++i) usleep(20 * 1000);

    testing_support::CServerProcess Server;
    ASSERT_TRUE(Server.Start({}, {}, (Folder.Path() / "server.out").string()));
    bool bAnswers = false;
    for (int i = 0; i < 200 && !bAnswers; ++i) {
        bAnswers = RunProgram({"busctl", "--user", "status", kServer}).nExitCode == 0;
        if (!bAnswers) usleep(50 * 1000);
    }
    ASSERT_TRUE(bAnswers) << ReadFile(Folder.Path() / "server.out");

    EXPECT_EQ("b true", GetProperty(kApplication, "IApplication", "Enabled"));
    const auto LastEvent = RunProgram(
        {"gdbus", "call", "--session", "-d", kServer, "-o", kApplication, "-m", "Corvane.IApplication.QueryLastEvent"});
    EXPECT_EQ("(0, '', false)\n", LastEvent.sOutput);

    // The views: the scenarios enumerated and an activity read and changed, each call by path from the
    // application.
    const std::string sScenarios = std::string(kApplication) + "/Manager/Scenarios";
    const std::string sActivity = sScenarios + "/0/Activity";
    const auto Tree = RunProgram({"busctl", "--user", "tree", kServer});
    const std::string& sTree = Tree.sOutput;
    // Every node answers its introspection, the folder of handed-out objects included.
    EXPECT_EQ(0, Tree.nExitCode) << sTree;
    EXPECT_NE(std::string::npos, sTree.find("/Corvane/HarkwellServer/Objects\n")) << sTree;
    EXPECT_NE(std::string::npos, sTree.find(sActivity)) << sTree;
    EXPECT_NE(std::string::npos, sTree.find(sScenarios + "/0/Notifications")) << sTree;
    EXPECT_EQ(std::string::npos, sTree.find(sScenarios + "/1")) << sTree;
    EXPECT_EQ(std::string::npos, sTree.find("_NewEnum")) << sTree;
    EXPECT_EQ("i 1", GetProperty(sScenarios, "IScenarios", "Count"));
    EXPECT_EQ("s \"127.0.0.1\"", GetProperty(sActivity, "IPingActivity", "Host"));
    const auto Introspection = RunProgram({"gdbus", "introspect", "--session", "-d", kServer, "-o", sScenarios, "-r"});
    EXPECT_NE(std::string::npos, Introspection.sOutput.find("node " + sActivity + " {")) << Introspection.sOutput;
    EXPECT_NE(std::string::npos, Introspection.sOutput.find("readwrite s Host = '127.0.0.1';"))
        << Introspection.sOutput;
    // An object-valued property of a view answers with the view of its object.
    const auto Activity = RunProgram({"gdbus", "call", "--session", "-d", kServer, "-o", sScenarios + "/0", "-m",
                                      "org.freedesktop.DBus.Properties.Get", "Corvane.IScenario", "Activity"});
    EXPECT_EQ("(<objectpath '" + sActivity + "'>,)\n", Activity.sOutput);
    EXPECT_EQ(0, RunProgram({"busctl", "--user", "set-property", kServer, sActivity, "Corvane.IPingActivity",
                             "Interval", "i", "60000"})
                     .nExitCode);
    EXPECT_EQ("i 60000", GetProperty(sActivity, "IPingActivity", "Interval"));
    const auto Title = RunProgram({"gdbus", "call", "--session", "-d", kServer, "-o", sActivity, "-m",
                                   "Corvane.Dispatch.Invoke", "0", "2", "[]"});
    EXPECT_EQ("(<'Ping Remote Host 127.0.0.1'>, @av [])\n", Title.sOutput);

    // Views that name nothing and calls that do not fit answer with the code and its text.
    auto Refusal = [](std::vector<std::string> Arguments) {
        Arguments.insert(Arguments.begin(), {"busctl", "--user"});
        const auto Result = RunProgram(Arguments);
        EXPECT_NE(0, Result.nExitCode) << Result.sOutput;
        return Result.sOutput;
    };
    EXPECT_NE(std::string::npos,
              Refusal({"get-property", kServer, sScenarios + "/1/Activity", "Corvane.IPingActivity", "Host"})
                  .find("A parameter is not valid"));
    EXPECT_NE(
        std::string::npos,
        Refusal({"introspect", kServer, std::string(kApplication) + "/Manager/Nothing"}).find("The name is not known"));
    EXPECT_NE(std::string::npos,
              Refusal({"get-property", kServer, sActivity + "/Host", "Corvane.IPingActivity", "Host"})
                  .find("The value does not have the type that is required"));
    EXPECT_NE(std::string::npos, Refusal({"call", kServer, sScenarios, "Corvane.IScenarios", "Remove", "s", "x"})
                                     .find("The value does not have the type that is required"));
    EXPECT_NE(std::string::npos,
              Refusal({"set-property", kServer, sActivity, "Corvane.IActivity", "Title", "s", "x"}).find("read-only"));
    EXPECT_NE(std::string::npos,
              Refusal({"get-property", kServer, sActivity, "Corvane.IScenario", "State"}).find("Corvane.IScenario"));
    // A path longer than the bridge takes is refused before any view is walked, one longer than the bus
    // library takes (70,000 bytes) as well, at once.
    for (const std::size_t nLength : {std::size_t(4097), std::size_t(70000)}) {
        std::string sLong = sActivity;
        while (sLong.size() < nLength) sLong += "/Activity";
        const auto start = std::chrono::steady_clock::now();
        const auto Overlong = RunProgram({"gdbus", "call", "--session", "--timeout", "5", "-d", kServer, "-o", sLong,
                                          "-m", "Corvane.Dispatch.Release"});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << nLength;
        EXPECT_NE(std::string::npos, Overlong.sOutput.find("paths are at most 4096 bytes"))
            << nLength << ": " << Overlong.sOutput.substr(0, 300);
    }
    const auto Errors = RunProgram(
        {"gdbus", "call", "--session", "-d", kServer, "-o", sScenarios + "/99", "-m", "Corvane.Dispatch.Release"});
    EXPECT_NE(std::string::npos, Errors.sOutput.find("Corvane.Error.HRESULT_0x80070057")) << Errors.sOutput;
    // The views took no references: the tree shows no object handed out.
    EXPECT_EQ(std::string::npos, Busctl({"tree", kServer}).find("/Objects/"));
    EXPECT_EQ("b true", GetProperty(kApplication, "IApplication", "Enabled"));

    // An object handed to a client is held for that client: busctl's process ends with its call, and with it
    // the object's path.
    const std::string sManager = PathIn(GetProperty(kApplication, "IApplication", "Manager"));
    EXPECT_EQ(0u, sManager.rfind("/Corvane/HarkwellServer/Objects/", 0)) << sManager;
    for (int i = 0; i < 100 && RunProgram({"busctl", "--user", "introspect", kServer, sManager}).nExitCode == 0; ++i)
        usleep(20 * 1000);
    EXPECT_NE(0, RunProgram({"busctl", "--user", "introspect", kServer, sManager}).nExitCode);

    EXPECT_EQ(0, Server.Terminate(std::chrono::seconds(30)));
    usleep(300 * 1000);
    kill(nMonitor, SIGTERM);
    waitpid(nMonitor, nullptr, 0);
    const std::string sSignals = ReadFile(Signals);
    std::size_t nAt = 0;
    for (const char* pszEvent : {"member=Starting", "member=Started", "member=Stopping", "member=Stopped"}) {
        const std::size_t nFound = sSignals.find(pszEvent, nAt);
        EXPECT_NE(std::string::npos, nFound) << pszEvent << " missing or out of order:\n" << sSignals;
        if (nFound != std::string::npos) nAt = nFound;
    }
    unsetenv("CORVANE_LOG_DIR");
    CoUninitialize();
}

// End to end in Application Mode: the server program with its tray on an X server without a screen, a
// private session bus (with the desktop's stand-ins, which record the tray's icon) and a private store.
// This test program reaches the application object over the bus and runs the Create Scenario wizard on the
// server's own collection, by control identifier: a ping activity on 127.0.0.1 (configured on its page in
// the wizard) with the test plug-in's notification, whose title records the events it is handed. The whole
// case runs in a network namespace of its own, whose loopback it takes down and up: the scenario runs at
// once (the host going offline and online reaches the notification), the server saves it when it stops, and
// the next server lists it and runs it again.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QWizard>
#include <chrono>
#include <fstream>
#include <thread>

#include "CreateScenarioWizard.h"
#include "NetworkNamespace.h"
#include "Pack1Ids.h"
#include "PrivateBus.h"
#include "QtTestSupport.h"
#include "ServerProcess.h"
#include "TestEnvironment.h"
#include "TestPluginIds.h"
#include "comrt/registry.h"
#include "corvane/ulregister.h"

namespace {

namespace fs = std::filesystem;
using corvanetest::ClickAndAnswer;
using corvanetest::Control;
using corvanetest::OnNextModal;
using testing_support::LibraryPath;
using testing_support::OnPath;
using testing_support::ProgramPath;
using testing_support::ReadFile;
using testing_support::RunProgram;

// The ping page's controls, as the plug-in's companion library numbers them.
constexpr int IDC_PING_HOST = 801;
constexpr int IDC_PING_INTERVAL = 803;
constexpr int IDC_PING_FAILURECOUNT = 805;

// A process of the test's own (its output to a file, or nowhere), ended when the object goes.
class CChild {
public:
    CChild() = default;
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;
    ~CChild() { Stop(); }
    // Starts the program; with nOutputFd >= 0 its standard output goes there.
    bool Start(std::vector<std::string> Arguments, int nOutputFd = -1, const std::string& sOutputPath = {}) {
        // Everything the child needs is made before the fork: it only opens, duplicates and executes.
        std::vector<char*> Argv;
        for (std::string& s : Arguments) Argv.push_back(s.data());
        Argv.push_back(nullptr);
        const std::string sSink = sOutputPath.empty() ? std::string("/dev/null") : sOutputPath;
        m_nPid = fork();
        if (m_nPid == 0) {
            const int nSink = open(sSink.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(nOutputFd >= 0 ? nOutputFd : nSink, 1);
            dup2(nSink, 2);
            execvp(Argv[0], Argv.data());
            _exit(127);
        }
        return m_nPid > 0;
    }
    void Stop() {
        if (m_nPid <= 0) return;
        kill(m_nPid, SIGTERM);
        waitpid(m_nPid, nullptr, 0);
        m_nPid = -1;
    }

private:
    pid_t m_nPid = -1;
};

// Reads one line the child writes to the pipe's far end (Xvfb's display number, the stand-ins' "ready").
std::string ReadLine(int nFd) {
    std::string sLine;
    char c = 0;
    while (read(nFd, &c, 1) == 1 && c != '\n') sLine += c;
    return sLine;
}

// Calls Condition every 100 ms until it holds, for up to nSeconds; whether it held.
bool Eventually(const std::function<bool()>& Condition, int nSeconds = 20) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(nSeconds);
    while (!Condition()) {
        if (std::chrono::steady_clock::now() > Deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

std::string Harkwellctl(const std::string& sCommand) {
    return RunProgram({ProgramPath("harkwellctl").string(), sCommand}).sOutput;
}

class ApplicationModeEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string sName = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        if (sName.rfind("InNamespace_", 0) == 0) {
            if (!testing_support::IsNetworkNamespaceChild()) GTEST_SKIP() << "runs in its own network namespace";
            ASSERT_TRUE(testing_support::SetLoopbackUp(true));
        }
        for (const char* pszProgram : {"Xvfb", "dbus-daemon", "gdbus"})
            if (!OnPath(pszProgram)) GTEST_SKIP() << pszProgram << " is not installed";
        ASSERT_TRUE(m_Turn.IsHeld());
        // The server and this program share the private store, log folder and user folders.
        for (const char* pszFolder : {"logs", "config", "data", "runtime"}) fs::create_directory(Path(pszFolder));
        fs::permissions(Path("runtime"), fs::perms::owner_all);
        setenv("CORVANE_LOG_DIR", Path("logs").c_str(), 1);
        setenv("XDG_CONFIG_HOME", Path("config").c_str(), 1);
        setenv("XDG_DATA_HOME", Path("data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", Path("runtime").c_str(), 1);
        unsetenv("CORVANE_HARKWELL_BUS");
        unsetenv("WAYLAND_DISPLAY");
        for (const std::vector<std::string>& Registration :
             {std::vector<std::string>{ProgramPath("HarkwellServer").string(), "/RegServer"},
              {ProgramPath("hkregsvr").string(), LibraryPath("HarkwellPack1.so").string()},
              {ProgramPath("hkregsvr").string(), LibraryPath("TestPlugin.so").string()}}) {
            const auto Result = RunProgram(Registration);
            ASSERT_EQ(Result.nExitCode, 0) << Registration.back() << ": " << Result.sOutput;
        }
        RegResetStore();
        // Xvfb chooses a free display and names it.
        int Pipe[2] = {-1, -1};
        ASSERT_EQ(pipe2(Pipe, O_CLOEXEC), 0);
        ASSERT_TRUE(
            m_Xvfb.Start({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, Pipe[1]));
        close(Pipe[1]);
        const std::string sDisplay = ReadLine(Pipe[0]);
        close(Pipe[0]);
        ASSERT_FALSE(sDisplay.empty()) << "Xvfb did not start";
        m_sDisplay = ":" + sDisplay;
        ASSERT_TRUE(m_Bus.Start());
        ASSERT_EQ(pipe2(Pipe, O_CLOEXEC), 0);
        ASSERT_TRUE(m_StandIns.Start({ProgramPath("tray_bus_standins").string(), Path("record"), "both"}, Pipe[1]));
        close(Pipe[1]);
        EXPECT_EQ(ReadLine(Pipe[0]), "ready");
        close(Pipe[0]);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        m_bInitialized = true;
    }
    void TearDown() override {
        if (m_bInitialized) CoUninitialize();
    }

    std::string Path(const char* pszName) const { return (m_Registry.Path() / pszName).string(); }

    // Starts the server program on the X server, as a person's desktop starts it, and waits until both its
    // application object and its tray window answer on the bus.
    void StartServer() {
        // Under LeakSanitizer, Qt's own tray objects outlive the icon in the server (tray_lsan.supp); the
        // server's memory errors are still checked.
        ASSERT_TRUE(m_Server.Start({},
                                   {"DISPLAY=" + m_sDisplay, "QT_QPA_PLATFORM=xcb",
                                    std::string("LSAN_OPTIONS=suppressions=") + TRAY_LSAN_SUPPRESSIONS},
                                   Path("server.out")));
        EXPECT_TRUE(Eventually([] {
            return RunProgram({ProgramPath("harkwellctl").string(), "status"}).nExitCode == 0;
        })) << ReadFile(Path("server.out"));
        EXPECT_TRUE(Eventually([] {
            return RunProgram({"gdbus", "introspect", "--session", "--dest", "Corvane.HarkwellServer.NotifyIconWindow",
                               "--object-path", "/Corvane/HarkwellServer/NotifyIconWindow"})
                       .nExitCode == 0;
        })) << "the tray window did not appear: "
            << ReadFile(Path("server.out"));
    }
    // SIGTERM, as the session's end sends it; the exit status.
    int StopServer() { return m_Server.Terminate(std::chrono::seconds(20)); }

    // The scenarios of the server's application, reached over the bus.
    CComPtr<IScenarios> RemoteScenarios() {
        CComPtr<IApplication> pApplication;
        CComPtr<IManager> pManager;
        CComPtr<IScenarios> pScenarios;
        EXPECT_EQ(CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_LOCAL_SERVER, IidOf<IApplication>(),
                                   reinterpret_cast<void**>(&pApplication)),
                  S_OK);
        if (pApplication) {
            EXPECT_EQ(pApplication->get_Manager(&pManager), S_OK);
        }
        if (pManager) {
            EXPECT_EQ(pManager->get_Scenarios(&pScenarios), S_OK);
        }
        return pScenarios;
    }

    std::vector<std::string> Records(const std::string& sPrefix) const {
        std::ifstream Stream(Path("record"));
        std::vector<std::string> Lines;
        for (std::string sLine; std::getline(Stream, sLine);)
            if (sLine.rfind(sPrefix, 0) == 0) Lines.push_back(sLine.substr(sPrefix.size()));
        return Lines;
    }

    static QPushButton* Button(QWidget* pWindow, int nId) { return Control<QPushButton>(pWindow, nId); }
    static void Next(QWizard* pWizard) { QTest::mouseClick(Button(pWizard, IDC_WIZARD_NEXT), Qt::LeftButton); }
    // Selects the item of the class in a list of the wizard's current page.
    static void ChooseClass(QWizard* pWizard, int nList, const CLSID& Class) {
        QTreeWidget* pList = Control<QTreeWidget>(pWizard->currentPage(), nList);
        ASSERT_NE(pList, nullptr);
        pList->clearSelection();
        const auto Items =
            pList->findItems(QString::fromStdU16String(corvane::GuidText(Class)), Qt::MatchFixedString, 1);
        ASSERT_EQ(Items.size(), 1);
        Items.front()->setSelected(true);
    }

    testing_support::CApplicationTestTurn m_Turn;
    testing_support::CTemporaryRegistry m_Registry;
    CChild m_Xvfb;
    testing_support::CPrivateSessionBus m_Bus;
    CChild m_StandIns;
    testing_support::CServerProcess m_Server;
    std::string m_sDisplay;
    bool m_bInitialized = false;
};

TEST(ApplicationModeEndToEndInOwnNetwork, TheWizardsScenarioRunsAtOnceIsSavedAndIsListedAfterARestart) {
    const auto Result = testing_support::RunTestInNetworkNamespace(
        "ApplicationModeEndToEnd.InNamespace_TheWizardsScenarioRunsAtOnceIsSavedAndIsListedAfterARestart", {});
    if (Result.bSkipped) GTEST_SKIP() << Result.sOutput;
    EXPECT_TRUE(Result.bPassed) << Result.sOutput;
}

// The loopback goes down until the notification has recorded the host offline, then up until it has
// recorded it online again: the scenario's activity runs and hands its events on.
void ExpectOfflineThenOnline() {
    const auto Recorded = [](const char* pszText) {
        return [pszText] { return Harkwellctl("list").find(pszText) != std::string::npos; };
    };
    ASSERT_TRUE(testing_support::SetLoopbackUp(false));
    EXPECT_TRUE(Eventually(Recorded("Ping: 127.0.0.1 is offline"))) << Harkwellctl("list");
    ASSERT_TRUE(testing_support::SetLoopbackUp(true));
    EXPECT_TRUE(Eventually(Recorded("Ping: 127.0.0.1 is online"))) << Harkwellctl("list");
}

TEST_F(ApplicationModeEndToEnd, InNamespace_TheWizardsScenarioRunsAtOnceIsSavedAndIsListedAfterARestart) {
    StartServer();
    ASSERT_EQ(Harkwellctl("list"), "No scenarios.\n");
    // The tray of the server registered its icon with the desktop's watcher.
    EXPECT_TRUE(Eventually([&] { return !Records("item ").empty(); })) << ReadFile(Path("server.out"));
    {
        CComPtr<IScenarios> pScenarios = RemoteScenarios();
        ASSERT_TRUE(pScenarios);
        CCreateScenarioWizard Sheet(pScenarios);
        bool bFramed = false;
        OnNextModal([&](QWidget* pWindow) {
            auto* pWizard = qobject_cast<QWizard*>(pWindow);
            ASSERT_NE(pWizard, nullptr);
            ASSERT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_INTRODUCTION));
            Next(pWizard);
            ASSERT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_ACTIVITY));
            ChooseClass(pWizard, IDC_ACTIVITY_LIST, testing_support::kPingActivity);
            // The activity is made in the server on the first use of its item, and its page edits it there.
            OnNextModal(
                [&](QWidget* pFrame) {
                    auto* pHost = Control<QLineEdit>(pFrame, IDC_PING_HOST);
                    auto* pInterval = Control<QLineEdit>(pFrame, IDC_PING_INTERVAL);
                    if (pHost == nullptr || pInterval == nullptr) {
                        ADD_FAILURE() << "the ping page is not in the frame";
                        static_cast<QDialog*>(pFrame)->reject();
                        return;
                    }
                    bFramed = true;
                    pHost->selectAll();
                    QTest::keyClicks(pHost, QStringLiteral("127.0.0.1"));
                    pInterval->selectAll();
                    QTest::keyClicks(pInterval, QStringLiteral("1000"));
                    auto* pFailureCount = Control<QLineEdit>(pFrame, IDC_PING_FAILURECOUNT);
                    pFailureCount->selectAll();
                    QTest::keyClicks(pFailureCount, QStringLiteral("1"));
                    corvanetest::SavePicture(pFrame, QStringLiteral("end-to-end-ping-page"));
                    QTest::mouseClick(Button(pFrame, IDOK), Qt::LeftButton);
                },
                pWizard);
            // A double click on the item opens the activity's pages (Properties is enabled only once the
            // activity exists).
            QTreeWidget* pActivities = Control<QTreeWidget>(pWizard->currentPage(), IDC_ACTIVITY_LIST);
            Q_EMIT pActivities->itemDoubleClicked(pActivities->selectedItems().front(), 0);
            EXPECT_TRUE(QTest::qWaitFor([&] { return bFramed; }, 10000)) << "the ping page did not open";
            EXPECT_TRUE(Control<QPushButton>(pWizard->currentPage(), IDC_ACTIVITY_PROPERTIES)->isEnabled());
            Next(pWizard);
            ASSERT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_NOTIFICATIONS));
            ChooseClass(pWizard, IDC_NOTIFICATIONS_AVAILABLE, CLSID_CTestNotification);
            QTest::mouseClick(Control<QPushButton>(pWizard->currentPage(), IDC_NOTIFICATIONS_ADD), Qt::LeftButton);
            EXPECT_EQ(Control<QTreeWidget>(pWizard->currentPage(), IDC_NOTIFICATIONS_CHOSEN)->topLevelItemCount(), 1);
            corvanetest::SavePicture(pWizard, QStringLiteral("end-to-end-wizard-notifications"));
            // Next completes: the scenario is added in the server and its activity started.
            Next(pWizard);
            ASSERT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_COMPLETION));
            corvanetest::SavePicture(pWizard, QStringLiteral("end-to-end-wizard-completion"));
            QTest::mouseClick(Button(pWizard, IDC_WIZARD_FINISH), Qt::LeftButton);
        });
        EXPECT_EQ(Sheet.DoModal(nullptr), IDOK);
        ASSERT_TRUE(Sheet.GetScenario());
    }
    // Every client of the server's sees it over the bus, and it runs.
    const std::string sListed = Harkwellctl("list");
    EXPECT_EQ(sListed, "0: Ping Remote Host 127.0.0.1\n    \n") << sListed;
    ExpectOfflineThenOnline();

    // Stopped, the server saves; the next one loads the scenario, lists it and runs it again (the test
    // notification keeps no record in the store).
    EXPECT_EQ(StopServer(), 0) << ReadFile(Path("server.out"));
    StartServer();
    const std::string sRelisted = Harkwellctl("list");
    EXPECT_EQ(sRelisted, "0: Ping Remote Host 127.0.0.1\n    \n")
        << sRelisted << ReadFile(Path("logs/HarkwellServer.log")) << ReadFile(Path("server.out"));
    ExpectOfflineThenOnline();
    EXPECT_EQ(StopServer(), 0) << ReadFile(Path("server.out"));
}

TEST_F(ApplicationModeEndToEnd, TheServerGoingAwayWhileTheWizardIsOpenIsAnErrorAndLeavesNoScenario) {
    StartServer();
    {
        CComPtr<IScenarios> pScenarios = RemoteScenarios();
        ASSERT_TRUE(pScenarios);
        CCreateScenarioWizard Sheet(pScenarios);
        OnNextModal([&](QWidget* pWindow) {
            auto* pWizard = qobject_cast<QWizard*>(pWindow);
            ASSERT_NE(pWizard, nullptr);
            Next(pWizard);
            ChooseClass(pWizard, IDC_ACTIVITY_LIST, testing_support::kPingActivity);
            Next(pWizard);
            ASSERT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_NOTIFICATIONS));
            ChooseClass(pWizard, IDC_NOTIFICATIONS_AVAILABLE, CLSID_CTestNotification);
            QTest::mouseClick(Control<QPushButton>(pWizard->currentPage(), IDC_NOTIFICATIONS_ADD), Qt::LeftButton);
            // The session ends the server while the wizard shows the objects it made there.
            EXPECT_EQ(StopServer(), 0) << ReadFile(Path("server.out"));
            const QString sError = ClickAndAnswer(Button(pWizard, IDC_WIZARD_NEXT), IDOK);
            EXPECT_TRUE(sError.startsWith(QStringLiteral("Error: "))) << sError.toStdString();
            // The wizard works on: it stays on its page, and Cancel asks before it closes.
            EXPECT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_NOTIFICATIONS));
            EXPECT_TRUE(pWizard->isVisible());
            corvanetest::SavePicture(pWizard, QStringLiteral("end-to-end-wizard-server-gone"));
            EXPECT_EQ(ClickAndAnswer(Button(pWizard, IDCANCEL), IDYES).toStdString(),
                      "Confirmation: Are you sure to exit from the wizard?");
        });
        EXPECT_EQ(Sheet.DoModal(nullptr), IDCANCEL);
        EXPECT_FALSE(Sheet.GetScenario());
    }
    // The store holds what the server saved: no scenario.
    StartServer();
    EXPECT_EQ(Harkwellctl("list"), "No scenarios.\n");
    EXPECT_EQ(StopServer(), 0) << ReadFile(Path("server.out"));
}

}  // namespace

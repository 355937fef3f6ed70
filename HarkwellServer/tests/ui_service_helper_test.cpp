// The service helper against the service, on a bus of the system's kind: a private bus daemon with the
// system bus's defaults (nobody owns a name or calls a method unless a policy allows it) and the policy the
// program's "/Service" registration writes, the server program in Service Mode on it as the service manager
// starts it, and this process in the helper's place: the page classes registered from the user-interface
// module as the helper registers them, the helper's tray window, and its property frame on the service's
// application object over the bus. Headless, by control identifier, with pictures.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <chrono>
#include <fstream>
#include <thread>

#include "BusFileFolders.h"
#include "NotifyIconWindow.h"
#include "PrivateBus.h"
#include "QtTestSupport.h"
#include "ServerModule.h"
#include "ServerPages.h"
#include "ServerProcess.h"
#include "TestEnvironment.h"
#include "comrt/bus.h"
#include "comrt/libraries.h"
#include "comrt/propertypages.h"
#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulregistry.h"

namespace {

namespace fs = std::filesystem;
using corvanetest::ClickAndAnswer;
using corvanetest::Control;
using corvanetest::OnNextModal;
using corvanetest::SavePicture;
using testing_support::ReadFile;
using testing_support::RunProgram;

const char kServer[] = "Corvane.HarkwellServer";
const char kApplication[] = "/Corvane/HarkwellServer/Application";

// Serves the toolkit's events until Condition holds or the time is up.
bool WaitFor(const std::function<bool()>& Condition, int nMilliseconds = 10000) {
    QElapsedTimer Timer;
    Timer.start();
    while (!Condition()) {
        if (Timer.elapsed() > nMilliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// gdbus on the private system bus: another client than the helper, which reads what the service has.
testing_support::ProcessResult SystemBusCall(const std::vector<std::string>& Arguments) {
    std::vector<std::string> Command{"gdbus", "call", "--system"};
    Command.insert(Command.end(), Arguments.begin(), Arguments.end());
    return RunProgram(Command);
}

// The service's application's Enabled as the bus answers it: "true", "false", or the failure's text.
std::string ServiceEnabled() {
    const auto Result = SystemBusCall({"--dest", kServer, "--object-path", kApplication, "--method",
                                       "org.freedesktop.DBus.Properties.Get", "Corvane.IApplication", "Enabled"});
    if (Result.nExitCode != 0) return Result.sOutput;
    if (Result.sOutput.find("<true>") != std::string::npos) return "true";
    if (Result.sOutput.find("<false>") != std::string::npos) return "false";
    return Result.sOutput;
}

bool ServerOwnsItsName() {
    const auto Result = SystemBusCall({"--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
                                       "--method", "org.freedesktop.DBus.NameHasOwner", kServer});
    return Result.nExitCode == 0 && Result.sOutput.find("true") != std::string::npos;
}

class ServiceHelper : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Turn.IsHeld());
        for (const char* pszProgram : {"dbus-daemon", "gdbus"})
            if (!testing_support::OnPath(pszProgram)) GTEST_SKIP() << pszProgram << " is not installed";
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CNotifyIconWindow::SetReconnectInterval(50);
        // The service manager as far as the program uses it: every call succeeds, the unit's state is a file.
        m_State = m_Folder.Path() / "active-state";
        WriteServiceState("inactive");
        const fs::path Systemctl = m_Folder.Path() / "systemctl";
        std::ofstream(Systemctl) << "#!/bin/sh\ncase \"$1\" in\n  is-active) state=$(cat '" << m_State.string()
                                 << "'); echo \"$state\"; [ \"$state\" = active ] ;;\n  *) exit 0 ;;\nesac\n";
        fs::permissions(Systemctl, fs::perms::owner_all);
        fs::create_directories(m_Folder.Path() / "units");
        Set("CORVANE_HARKWELL_UNIT_DIR", (m_Folder.Path() / "units").string());
        Set("CORVANE_HARKWELL_SYSTEMCTL", Systemctl.string());
        Set("CORVANE_HARKWELL_EVENT_LOG", (m_Folder.Path() / "events.log").string());
        unsetenv("NOTIFY_SOCKET");
        const auto Registration = RunProgram({testing_support::ProgramPath("HarkwellServer").string(), "/Service"});
        ASSERT_EQ(Registration.nExitCode, 0) << Registration.sOutput;
        RegResetStore();
        // The frame can make the pages only from the class objects the helper registers: the classes'
        // own keys (which name the module too) are taken away.
        for (const CLSID* pClass :
             {&CLSID_CStatusPropertyPage, &CLSID_CScenariosPropertyPage, &CLSID_CScenarioPropertyPage}) {
            const std::u16string sKey = u"CLSID\\" + corvane::GuidText(*pClass) + u"\\InprocServer32";
            ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, sKey.c_str()), ERROR_SUCCESS);
        }

        // The policy the registration wrote, for the user who runs the test (the service runs as root).
        ASSERT_TRUE(fs::exists(m_BusFolders.PolicyFile()));
        std::string sPolicy = ReadFile(m_BusFolders.PolicyFile());
        const passwd* pUser = getpwuid(geteuid());
        ASSERT_NE(pUser, nullptr);
        const std::string sRoot = "user=\"root\"";
        ASSERT_NE(sPolicy.find(sRoot), std::string::npos) << sPolicy;
        sPolicy.replace(sPolicy.find(sRoot), sRoot.size(), "user=\"" + std::string(pUser->pw_name) + "\"");
        const fs::path Policy = m_Folder.Path() / "Corvane.HarkwellServer.conf";
        std::ofstream(Policy) << sPolicy;
        // Other users reach the socket, so that the policy, not the folder, decides whom the bus lets call.
        chmod(m_Folder.Path().c_str(), 0755);
        ASSERT_TRUE(m_SystemBus.Start(m_Folder.Path(), Policy));
        ASSERT_TRUE(m_SessionBus.Start());
        Set(comrt::kClientBusVariable, "system");

        StartService();
        // The helper: the pages' class objects from the user-interface module, the client bus the system's.
        std::string sReason;
        m_hUserInterface = LoadLibraryPath(testing_support::LibraryPath("HarkwellServerUI.so").string(), &sReason);
        ASSERT_NE(m_hUserInterface, nullptr) << sReason;
        RegisterServiceHelperClassObjects(m_hUserInterface, m_Cookies);
        ASSERT_EQ(m_Cookies.size(), 3u);
        comrt::CoSetClientBus(comrt::BusKind::System);
    }
    void TearDown() override {
        CNotifyIconWindow::GlobalDestroy();
        for (DWORD nCookie : m_Cookies) EXPECT_EQ(CoRevokeClassObject(nCookie), S_OK);
        if (m_Server.IsRunning()) {
            EXPECT_EQ(m_Server.Terminate(std::chrono::seconds(15)), 0);
        }
        for (const auto& [sName, sPrevious] : m_Previous) {
            if (sPrevious)
                setenv(sName.c_str(), sPrevious->c_str(), 1);
            else
                unsetenv(sName.c_str());
        }
        CoUninitialize();
    }

    void Set(const char* pszName, const std::string& sValue) {
        const char* pszPrevious = getenv(pszName);
        m_Previous.emplace_back(pszName, pszPrevious ? std::optional<std::string>(pszPrevious) : std::nullopt);
        setenv(pszName, sValue.c_str(), 1);
    }
    void WriteServiceState(const char* pszState) { std::ofstream(m_State) << pszState << "\n"; }
    // The server as the service manager starts it (INVOCATION_ID), until its application owns the name.
    void StartService() {
        ASSERT_TRUE(
            m_Server.Start({}, {"INVOCATION_ID=service-helper-test"}, (m_Folder.Path() / "service.out").string()));
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!ServerOwnsItsName() && m_Server.IsRunning() && std::chrono::steady_clock::now() < Deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(ServerOwnsItsName()) << ReadFile(m_Folder.Path() / "service.out");
        WriteServiceState("active");
    }
    void StopService() {
        ASSERT_EQ(m_Server.Terminate(std::chrono::seconds(15)), 0);
        WriteServiceState("inactive");
    }
    // The helper's tray window, connected to the service's application over the system bus.
    CNotifyIconWindow& HelperWindow() {
        EXPECT_TRUE(CNotifyIconWindow::GlobalCreate(true));
        CNotifyIconWindow& Window = *CNotifyIconWindow::GetInstance();
        EXPECT_TRUE(WaitFor([&] { return Window.IsConnected(); }));
        return Window;
    }
    // Chooses "Properties..." of the window and runs Action on the frame that opens.
    static void WithFrame(CNotifyIconWindow& Window, const std::function<void(QWidget*)>& Action) {
        bool bRan = false;
        OnNextModal([&](QWidget* pFrame) {
            if (auto* pBox = qobject_cast<QMessageBox*>(pFrame)) {
                ADD_FAILURE() << "an error box instead of the frame: " << pBox->text().toStdString();
                pBox->done(IDOK);
                return;
            }
            bRan = true;
            Action(pFrame);
        });
        Window.OnCommand(ID_APPLICATION_PROPERTIES);
        EXPECT_TRUE(bRan);
    }
    static QWidget* StatusPage(QWidget* pFrame) {
        auto* pTabs = Control<QTabWidget>(pFrame, 12320);
        EXPECT_NE(pTabs, nullptr);
        if (pTabs == nullptr) return pFrame;
        EXPECT_EQ(pTabs->tabText(0), QStringLiteral("Status"));
        pTabs->setCurrentIndex(0);
        return pTabs->widget(0);
    }
    static void Click(QWidget* pWindow, int nId) {
        QPushButton* pButton = Control<QPushButton>(pWindow, nId);
        ASSERT_NE(pButton, nullptr) << nId;
        QTest::mouseClick(pButton, Qt::LeftButton);
    }
    static QString StatusText(QWidget* pPage) { return Control<QLineEdit>(pPage, IDC_STATUS_TEXT)->text(); }
    static std::map<UINT, bool> EnabledItems(QMenu* pMenu) {
        std::map<UINT, bool> Items;
        for (QAction* pAction : pMenu->actions())
            if (!pAction->isSeparator()) Items[pAction->objectName().toUInt()] = pAction->isEnabled();
        return Items;
    }
    std::string UserInterfaceTrace() const {
        return ReadFile(fs::path(getenv("CORVANE_LOG_DIR")) / "HarkwellServerUI.log");
    }

    testing_support::CApplicationTestTurn m_Turn;
    testing_support::CTemporaryRegistry m_Registry;
    testing_support::CBusFileFolders m_BusFolders;
    testing_support::CTemporaryDirectory m_Folder;
    testing_support::CPrivateSystemBus m_SystemBus;
    testing_support::CPrivateSessionBus m_SessionBus;
    testing_support::CServerProcess m_Server;
    fs::path m_State;
    HLIBRARY m_hUserInterface = nullptr;
    std::vector<DWORD> m_Cookies;
    std::vector<std::pair<std::string, std::optional<std::string>>> m_Previous;
};

TEST_F(ServiceHelper, TheSystemBusLetsOnlyThePolicysUserCallTheService) {
    EXPECT_EQ(ServiceEnabled(), "true");
    if (geteuid() != 0 || !testing_support::OnPath("setpriv")) GTEST_SKIP() << "another user is needed";
    // Any other user is refused by the bus itself: its default denies the call and no policy allows it.
    const auto Result = RunProgram({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "gdbus", "call",
                                    "--system", "--dest", kServer, "--object-path", kApplication, "--method",
                                    "org.freedesktop.DBus.Properties.Get", "Corvane.IApplication", "Enabled"});
    EXPECT_NE(Result.nExitCode, 0) << Result.sOutput;
    EXPECT_NE(Result.sOutput.find("AccessDenied"), std::string::npos) << Result.sOutput;
}

TEST_F(ServiceHelper, TheStatusPageDisablesAndEnablesTheServicesApplication) {
    CNotifyIconWindow& Window = HelperWindow();
    EXPECT_EQ(Window.GetTrayIcon() == nullptr ? QString() : Window.GetTrayIcon()->toolTip(),
              Window.GetTrayIcon() == nullptr ? QString() : QStringLiteral("Corvane Harkwell Server (Service Mode)"));
    // The service runs: its menu offers Stop and Properties, Properties is the default.
    Window.OnRButtonUp(false);
    EXPECT_EQ(EnabledItems(Window.GetMenu()), (std::map<UINT, bool>{{ID_APP_ABOUT, true},
                                                                    {ID_APPLICATION_START_SERVICE, false},
                                                                    {ID_APPLICATION_STOP_SERVICE, true},
                                                                    {ID_APPLICATION_PROPERTIES, true},
                                                                    {ID_APP_EXIT, true}}));
    EXPECT_EQ(Window.GetDefaultCommand(), static_cast<UINT>(ID_APPLICATION_PROPERTIES));
    ASSERT_EQ(ServiceEnabled(), "true");
    WithFrame(Window, [&](QWidget* pFrame) {
        QWidget* pPage = StatusPage(pFrame);
        EXPECT_EQ(StatusText(pPage), QStringLiteral("Enabled"));
        Click(pPage, IDC_STATUS_DISABLE);
        EXPECT_EQ(StatusText(pPage), QStringLiteral("To be disabled"));
        EXPECT_EQ(ServiceEnabled(), "true") << "nothing is applied before Apply";
        SavePicture(pFrame, QStringLiteral("service-helper-status-to-be-disabled"));
        Click(pFrame, IDC_PROPERTYFRAME_APPLY);
        EXPECT_EQ(ServiceEnabled(), "false");
        EXPECT_EQ(StatusText(pPage), QStringLiteral("Disabled"));
        EXPECT_FALSE(Control<QWidget>(pFrame, IDC_PROPERTYFRAME_APPLY)->isEnabled());
        SavePicture(pFrame, QStringLiteral("service-helper-status-disabled"));
        Click(pPage, IDC_STATUS_ENABLE);
        EXPECT_EQ(StatusText(pPage), QStringLiteral("To be enabled"));
        Click(pFrame, IDC_PROPERTYFRAME_APPLY);
        EXPECT_EQ(ServiceEnabled(), "true");
        EXPECT_EQ(StatusText(pPage), QStringLiteral("Enabled"));
        // OK applies a choice as well.
        Click(pPage, IDC_STATUS_DISABLE);
        Click(pFrame, IDOK);
    });
    EXPECT_EQ(ServiceEnabled(), "false");

    // The service stopped: only "Start Service" is offered, and About is the default.
    StopService();
    ASSERT_TRUE(WaitFor([&] { return !Window.IsConnected(); })) << "the window lets the stopped service go";
    Window.OnRButtonUp(false);
    EXPECT_EQ(EnabledItems(Window.GetMenu()), (std::map<UINT, bool>{{ID_APP_ABOUT, true},
                                                                    {ID_APPLICATION_START_SERVICE, true},
                                                                    {ID_APPLICATION_STOP_SERVICE, false},
                                                                    {ID_APPLICATION_PROPERTIES, false},
                                                                    {ID_APP_EXIT, true}}));
    EXPECT_EQ(Window.GetDefaultCommand(), static_cast<UINT>(ID_APP_ABOUT));
    // Started again, it has what was applied last (saved after Apply), and the window connects to it again.
    StartService();
    EXPECT_EQ(ServiceEnabled(), "false");
    EXPECT_TRUE(WaitFor([&] { return Window.IsConnected(); }));
}

TEST_F(ServiceHelper, TheServiceStoppingWhileThePageIsOpenIsAnErrorAndTheWindowsGoOn) {
    CNotifyIconWindow& Window = HelperWindow();
    const std::size_t nTraceBefore = UserInterfaceTrace().size();
    WithFrame(Window, [&](QWidget* pFrame) {
        QWidget* pPage = StatusPage(pFrame);
        ASSERT_EQ(StatusText(pPage), QStringLiteral("Enabled"));
        StopService();
        Click(pPage, IDC_STATUS_DISABLE);
        const QString sError = ClickAndAnswer(Control<QPushButton>(pFrame, IDC_PROPERTYFRAME_APPLY), IDOK);
        EXPECT_TRUE(sError.startsWith(QStringLiteral("Error: "))) << sError.toStdString();
        EXPECT_TRUE(sError.contains(QString::fromStdU16String(FormatSystemMessage(RPC_E_DISCONNECTED))))
            << sError.toStdString();
        // The frame stays open with the choice, ready to be applied again or cancelled.
        EXPECT_EQ(StatusText(pPage), QStringLiteral("To be disabled"));
        EXPECT_TRUE(Control<QWidget>(pFrame, IDC_PROPERTYFRAME_APPLY)->isEnabled());
        EXPECT_TRUE(Control<QWidget>(pPage, IDC_STATUS_ENABLE)->isEnabled());
        SavePicture(pFrame, QStringLiteral("service-helper-status-service-gone"));
        Click(pFrame, IDCANCEL);
    });
    const std::string sTrace = UserInterfaceTrace().substr(nTraceBefore);
    EXPECT_NE(sTrace.find("Exception 0x80010108"), std::string::npos) << sTrace;
    // The window goes on: Properties without a service says so, and the next service is connected.
    const QString sError = [&] {
        QString sText;
        OnNextModal([&](QWidget* pBox) {
            sText = pBox->windowTitle();
            if (auto* pButton = Control<QPushButton>(pBox, IDOK)) QTest::mouseClick(pButton, Qt::LeftButton);
        });
        Window.OnCommand(ID_APPLICATION_PROPERTIES);
        return sText;
    }();
    EXPECT_EQ(sError, QStringLiteral("Error"));
    StartService();
    EXPECT_TRUE(WaitFor([&] { return Window.IsConnected(); }));
    // The service kept the last applied state: nothing was applied.
    EXPECT_EQ(ServiceEnabled(), "true");
}

}  // namespace

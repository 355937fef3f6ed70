// The tray window on an X server without a screen and a private session bus, with stand-ins for the
// desktop's StatusNotifierWatcher and notification server that record what they receive (the offscreen
// platform has no tray at all). The application object is a small one of the test's own, registered by
// class identifier, so that its events, its absence and its going away are the test's to choose.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "NotifyIconBus.h"
#include "NotifyIconWindow.h"
#include "PrivateBus.h"
#include "TestEnvironment.h"
#include "comrt/text.h"
#include "corvane/ulconnection.h"
#include "corvane/uldebug.h"

namespace {

namespace fs = std::filesystem;

const fs::path& Folder() {
    static const fs::path s_Folder = [] {
        char szTemplate[] = "/tmp/corvane-tray-test-XXXXXX";
        const char* pszFolder = mkdtemp(szTemplate);
        return fs::path(pszFolder != nullptr ? pszFolder : "/tmp");
    }();
    return s_Folder;
}
std::string RecordPath() {
    return (Folder() / "record").string();
}

pid_t Spawn(std::vector<std::string> Arguments, int* pnOutput = nullptr) {
    int Pipe[2] = {-1, -1};
    if (pnOutput != nullptr && pipe(Pipe) != 0) return -1;
    const pid_t nPid = fork();
    if (nPid == 0) {
        if (pnOutput != nullptr) dup2(Pipe[1], 1);
        // Nothing of the child's holds the test's own output open.
        const int nNull = open("/dev/null", O_WRONLY);
        if (pnOutput == nullptr) dup2(nNull, 1);
        dup2(nNull, 2);
        std::vector<char*> Argv;
        for (std::string& s : Arguments) Argv.push_back(s.data());
        Argv.push_back(nullptr);
        execvp(Argv[0], Argv.data());
        _exit(127);
    }
    if (pnOutput != nullptr) {
        close(Pipe[1]);
        *pnOutput = Pipe[0];
    }
    return nPid;
}

// The desktop of the whole test program: Xvfb, the private bus, both stand-ins, then the toolkit on xcb.
class CTrayDesktop : public ::testing::Environment {
public:
    void SetUp() override {
        // Xvfb chooses a free display and names it, so that test programs running at once never race for one.
        int nDisplayOutput = -1;
        m_nXvfb =
            Spawn({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, &nDisplayOutput);
        char szDisplay[32] = {};
        ASSERT_GT(read(nDisplayOutput, szDisplay, sizeof szDisplay - 1), 0) << "Xvfb did not start";
        close(nDisplayOutput);
        const std::string sDisplay = ":" + std::to_string(std::atoi(szDisplay));
        ASSERT_TRUE(m_Bus.Start());
        setenv("DISPLAY", sDisplay.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        int nOutput = -1;
        m_nStandIns = Spawn({TRAY_STANDINS_PATH, RecordPath(), "both"}, &nOutput);
        char szReady[16] = {};
        ASSERT_GT(read(nOutput, szReady, sizeof szReady - 1), 0) << "the stand-ins did not start";
        close(nOutput);
        static int nArgumentCount = 1;
        static char szName[] = "test";
        static char* Arguments[] = {szName, nullptr};
        m_pApplication = new QApplication(nArgumentCount, Arguments);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override {
        delete m_pApplication;
        for (pid_t nPid : {m_nStandIns, m_nXvfb}) {
            if (nPid <= 0) continue;
            kill(nPid, SIGTERM);
            waitpid(nPid, nullptr, 0);
        }
        std::error_code Ignored;
        fs::remove_all(Folder(), Ignored);
    }

private:
    testing_support::CPrivateSessionBus m_Bus;
    pid_t m_nXvfb = -1;
    pid_t m_nStandIns = -1;
    QApplication* m_pApplication = nullptr;
};
::testing::Environment* const g_pDesktop = ::testing::AddGlobalTestEnvironment(new CTrayDesktop);

// Serves the toolkit's events (the tray's bus objects among them) until Condition holds or the time is up.
bool WaitFor(const std::function<bool()>& Condition, int nMilliseconds = 5000) {
    QElapsedTimer Timer;
    Timer.start();
    while (!Condition()) {
        if (Timer.elapsed() > nMilliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

std::vector<std::string> Records(const char* pszPrefix) {
    std::ifstream Stream(RecordPath());
    std::vector<std::string> Lines;
    for (std::string sLine; std::getline(Stream, sLine);)
        if (sLine.rfind(pszPrefix, 0) == 0) Lines.push_back(sLine.substr(std::strlen(pszPrefix)));
    return Lines;
}

// gdbus against the private bus, while this thread keeps answering the tray's side of the call.
std::string Gdbus(const QStringList& Arguments) {
    QProcess Process;
    Process.start(QStringLiteral("gdbus"),
                  QStringList{QStringLiteral("call"), QStringLiteral("--session")} + Arguments);
    EXPECT_TRUE(WaitFor([&] { return Process.state() == QProcess::NotRunning; }, 10000));
    return Process.readAllStandardOutput().toStdString() + Process.readAllStandardError().toStdString();
}

// An application object of the test's own: its last event, its connection point, its Stopping event.
class CFakeApplication : public IApplication, public IConnectionPointContainerImplT<CFakeApplication> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IApplication>, InterfaceEntry<IDispatch, IApplication>,
                                     InterfaceEntry<IConnectionPointContainer>>;
    static inline EVENTTYPE s_LastType = EVENTTYPE_INFORMATION;
    static inline std::u16string s_sLastEvent;
    static inline CFakeApplication* s_pLive = nullptr;

    CFakeApplication() { s_pLive = this; }
    ~CFakeApplication() {
        if (s_pLive == this) s_pLive = nullptr;
    }
    std::array<CConnectionPoint*, 1> ConnectionPoints() { return {&m_Events}; }
    void Fire(DISPID nDispid, std::initializer_list<VARIANT> Arguments = {}) {
        m_Events.FireDispatch(nDispid, Arguments);
    }
    bool HasSinks() const { return m_Events.HasConnections(); }

    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    HRESULT Terminate() override { return E_NOTIMPL; }
    HRESULT QueryLastEvent(EVENTTYPE* pType, BSTR* psDescription, VARIANT_BOOL* pbValid) override {
        *pbValid = s_sLastEvent.empty() ? VARIANT_FALSE : VARIANT_TRUE;
        if (s_sLastEvent.empty()) return S_OK;
        *pType = s_LastType;
        *psDescription = SysAllocStringLen(s_sLastEvent.data(), static_cast<UINT>(s_sLastEvent.size()));
        return S_OK;
    }
    HRESULT Save() override { return S_OK; }
    HRESULT get_Enabled(VARIANT_BOOL* pbEnabled) override {
        *pbEnabled = VARIANT_TRUE;
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL) override { return S_OK; }
    HRESULT get_Manager(IManager** ppManager) override {
        *ppManager = nullptr;
        return S_OK;
    }

private:
    CConnectionPoint m_Events{this, IidOf<_ApplicationEvents>()};
};

class NotifyIconWindow : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CNotifyIconWindow::SetReconnectInterval(50);
        CFakeApplication::s_sLastEvent.clear();
        std::ofstream(RecordPath(), std::ios::trunc).flush();
    }
    void TearDown() override {
        CNotifyIconWindow::GlobalDestroy();
        RevokeApplication();
        for (const char* pszName : {"CORVANE_HARKWELL_UNIT_DIR", "CORVANE_HARKWELL_SYSTEMCTL"}) unsetenv(pszName);
    }
    void RegisterApplication() {
        CComPtr<IUnknown> pFactory;
        ASSERT_EQ(S_OK, CClassFactory::Create(&CreateObjectT<CFakeApplication>, IidOf<IUnknown>(),
                                              reinterpret_cast<void**>(&pFactory)));
        ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_CApplication, pFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                              &m_nClassCookie));
    }
    void RevokeApplication() {
        if (m_nClassCookie != 0) CoRevokeClassObject(m_nClassCookie);
        m_nClassCookie = 0;
    }
    // A window connected to a fresh application object.
    CNotifyIconWindow& Connected(bool bServiceHelper = false) {
        RegisterApplication();
        EXPECT_TRUE(CNotifyIconWindow::GlobalCreate(bServiceHelper));
        CNotifyIconWindow& Window = *CNotifyIconWindow::GetInstance();
        EXPECT_TRUE(WaitFor([&] { return Window.IsConnected(); }));
        return Window;
    }
    // A service manager stand-in whose service is in the given state, which start and stop change; every
    // call is logged. "" leaves the manager unreachable (no systemctl to run).
    void ServiceState(const std::string& sState) {
        fs::create_directories(Folder() / "units");
        std::ofstream(Folder() / "units" / "corvane-harkwell-server.service") << "[Unit]\n";
        std::ofstream(Folder() / "state") << sState << "\n";
        const fs::path Script = Folder() / "systemctl";
        std::ofstream(Script) << "#!/bin/sh\necho \"$*\" >> '" << (Folder() / "systemctl.log").string() << "'\ncd '"
                              << Folder().string()
                              << "'\ncase \"$1\" in is-active) cat state ;; start) echo active > state ;; "
                                 "stop) echo inactive > state ;; esac\nexit 0\n";
        fs::permissions(Script, fs::perms::owner_all);
        setenv("CORVANE_HARKWELL_UNIT_DIR", (Folder() / "units").c_str(), 1);
        setenv("CORVANE_HARKWELL_SYSTEMCTL", sState.empty() ? (Folder() / "missing").c_str() : Script.c_str(), 1);
    }
    static std::map<UINT, bool> EnabledItems(QMenu* pMenu) {
        std::map<UINT, bool> Items;
        for (QAction* pAction : pMenu->actions())
            if (!pAction->isSeparator()) Items[pAction->objectName().toUInt()] = pAction->isEnabled();
        return Items;
    }

    DWORD m_nClassCookie = 0;
};

TEST_F(NotifyIconWindow, RegistersWithItsTipAndExportsTheApplicationModeMenu) {
    CNotifyIconWindow& Window = Connected();
    ASSERT_NE(nullptr, Window.GetTrayIcon()) << "the watcher stand-in should make a tray available";
    ASSERT_TRUE(WaitFor([] { return !Records("item ").empty(); }));
    const std::string sItem = Records("item ").front();
    const QString sService = QString::fromStdString(sItem.substr(0, sItem.find(' ')));
    const std::string sTip = Gdbus({"--dest", sService, "--object-path", "/StatusNotifierItem", "--method",
                                    "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierItem", "ToolTip"});
    EXPECT_NE(std::string::npos, sTip.find("Corvane Harkwell Server (Application Mode)")) << sTip;
    const std::string sMenuPath = Gdbus({"--dest", sService, "--object-path", "/StatusNotifierItem", "--method",
                                         "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierItem", "Menu"});
    const std::size_t nStart = sMenuPath.find("'/");
    ASSERT_NE(std::string::npos, nStart) << sMenuPath;
    const QString sPath =
        QString::fromStdString(sMenuPath.substr(nStart + 1, sMenuPath.find('\'', nStart + 1) - nStart - 1));
    const std::string sLayout = Gdbus({"--dest", sService, "--object-path", sPath, "--method",
                                       "com.canonical.dbusmenu.GetLayout", "0", "int32 -1", "@as []"});
    for (const char* pszItem : {"About...", "Properties...", "Close"})
        EXPECT_NE(std::string::npos, sLayout.find(pszItem)) << pszItem << " in " << sLayout;
    EXPECT_EQ(std::string::npos, sLayout.find("Service")) << sLayout;
}

TEST_F(NotifyIconWindow, EachApplicationEventBecomesOneNotificationWithItsUrgency) {
    CNotifyIconWindow& Window = Connected();
    ASSERT_NE(nullptr, CFakeApplication::s_pLive);
    const struct {
        LONG nType;
        const char16_t* pszText;
        const char* pszRecord;  // null: nothing is shown
    } kCases[] = {
        {EVENTTYPE_INFORMATION, u"Scenario started", "Corvane Harkwell Server|Scenario started|15000|0"},
        {EVENTTYPE_WARNING, u"Disk almost full", "Corvane Harkwell Server|Disk almost full|15000|1"},
        {EVENTTYPE_ERROR, u"Class not registered", "Corvane Harkwell Server|Class not registered|15000|2"},
        {3, u"No such type", nullptr},
    };
    for (const auto& Case : kCases) {
        std::ofstream(RecordPath(), std::ios::trunc).flush();
        VARIANT Type{}, Text{};
        Type.vt = VT_I4;
        Type.lVal = Case.nType;
        Text.vt = VT_BSTR;
        Text.bstrVal = SysAllocString(Case.pszText);
        CFakeApplication::s_pLive->Fire(DISPID_ApplicationEvents_Event, {Type, Text});
        VariantClear(&Text);
        if (Case.pszRecord == nullptr) {
            WaitFor([] { return false; }, 300);
            EXPECT_TRUE(Records("notify ").empty()) << Case.nType;
            continue;
        }
        ASSERT_TRUE(WaitFor([] { return !Records("notify ").empty(); })) << Case.pszRecord;
        WaitFor([] { return false; }, 100);
        EXPECT_EQ(std::vector<std::string>{Case.pszRecord}, Records("notify "));
    }
    EXPECT_TRUE(Window.IsConnected());
}

TEST_F(NotifyIconWindow, TheLastEventIsShownWhenTheWindowConnects) {
    CFakeApplication::s_LastType = EVENTTYPE_ERROR;
    CFakeApplication::s_sLastEvent = u"The scenario cannot be loaded";
    Connected();
    ASSERT_TRUE(WaitFor([] { return !Records("notify ").empty(); }));
    EXPECT_EQ(std::vector<std::string>{"Corvane Harkwell Server|The scenario cannot be loaded|15000|2"},
              Records("notify "));
}

TEST_F(NotifyIconWindow, TheTipIsRefreshedAtMostOncePerTenSeconds) {
    CNotifyIconWindow& Window = Connected();
    // The differences are taken as signed 32-bit, so the refresh goes on across the counter's wrap.
    const struct {
        DWORD nNow;
        DWORD nLastUpdate;
    } kSteps[] = {{0x40000000u, 0x40000000u},         {0x40000000u + 9999, 0x40000000u},
                  {0x40000000u + 10000, 0x40002710u}, {0xBFFFF000u, 0xBFFFF000u},
                  {0xFFFFF000u, 0xFFFFF000u},         {0xFFFFF000u + 9999, 0xFFFFF000u},
                  {0xFFFFF000u + 10000, 0x00001710u}};
    for (const auto& Step : kSteps) {
        comrt::SetTickCountOrigin(Step.nNow);
        Window.LazyUpdateTip();
        EXPECT_EQ(Step.nLastUpdate, Window.GetLastTipUpdateTime()) << std::hex << Step.nNow;
        EXPECT_EQ(0u, Window.GetLastTipFailureTime());
    }
    EXPECT_EQ(QStringLiteral("Corvane Harkwell Server (Application Mode)"), Window.GetTrayIcon()->toolTip());
}

TEST_F(NotifyIconWindow, TheServiceHelperMenuFollowsTheServiceState) {
    const struct {
        const char* pszState;
        bool bStart, bStop, bProperties;
        UINT nDefault;
    } kCases[] = {
        {"inactive", true, false, false, ID_APP_ABOUT},
        {"active", false, true, true, ID_APPLICATION_PROPERTIES},
        {"activating", false, false, false, ID_APP_ABOUT},
        {"", false, false, false, ID_APP_ABOUT},  // the service manager cannot be asked
    };
    CNotifyIconWindow& Window = Connected(true);
    for (const auto& Case : kCases) {
        ServiceState(Case.pszState);
        Window.OnRButtonUp(false);
        const std::map<UINT, bool> Expected{{ID_APP_ABOUT, true},
                                            {ID_APPLICATION_START_SERVICE, Case.bStart},
                                            {ID_APPLICATION_STOP_SERVICE, Case.bStop},
                                            {ID_APPLICATION_PROPERTIES, Case.bProperties},
                                            {ID_APP_EXIT, true}};
        EXPECT_EQ(Expected, EnabledItems(Window.GetMenu())) << Case.pszState;
        ASSERT_NE(nullptr, Window.GetMenu()->defaultAction());
        EXPECT_EQ(Case.nDefault, Window.GetMenu()->defaultAction()->objectName().toUInt()) << Case.pszState;
        EXPECT_EQ(Case.nDefault, Window.GetDefaultCommand()) << Case.pszState;
    }
    EXPECT_EQ(QStringLiteral("Corvane Harkwell Server (Service Mode)"), Window.GetTrayIcon()->toolTip());
}

TEST_F(NotifyIconWindow, StartAndStopServiceGoThroughTheServiceManagerAndSaySo) {
    CNotifyIconWindow& Window = Connected(true);
    ServiceState("inactive");
    const fs::path Log = Folder() / "systemctl.log";
    fs::remove(Log);
    Window.OnCommand(ID_APPLICATION_START_SERVICE);
    Window.OnCommand(ID_APPLICATION_STOP_SERVICE);
    ASSERT_TRUE(WaitFor([] { return Records("notify ").size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"Corvane Harkwell Server|Service started|5000|0",
                                        "Corvane Harkwell Server|Service stopped|5000|0"}),
              Records("notify "));
    std::ifstream Stream(Log);
    const std::string sLog((std::istreambuf_iterator<char>(Stream)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, sLog.find("start --no-block corvane-harkwell-server.service")) << sLog;
    EXPECT_NE(std::string::npos, sLog.find("stop --no-block corvane-harkwell-server.service")) << sLog;
}

// The lines of the trace that say the tray is not connected.
std::size_t NotConnectedLines() {
    std::ifstream Stream(corvane::GetTraceLogPath());
    std::size_t nLines = 0;
    for (std::string sLine; std::getline(Stream, sLine);)
        nLines += sLine.find("The tray is not connected to the application") != std::string::npos ? 1 : 0;
    return nLines;
}

TEST_F(NotifyIconWindow, AnApplicationThatIsMissingOrGoesAwayIsConnectedAgain) {
    const std::size_t nBefore = NotConnectedLines();
    ASSERT_TRUE(CNotifyIconWindow::GlobalCreate(false));
    CNotifyIconWindow& Window = *CNotifyIconWindow::GetInstance();
    // Several attempts at 50 ms, one trace line.
    WaitFor([] { return false; }, 400);
    EXPECT_FALSE(Window.IsConnected()) << "no application object is registered";
    EXPECT_EQ(nBefore + 1, NotConnectedLines());
    ASSERT_NE(Window.GetIcon(true).cacheKey(), Window.GetIcon(false).cacheKey());
    const auto ShownIcon = [&] { return Window.GetTrayIcon()->icon().cacheKey(); };
    EXPECT_EQ(Window.GetIcon(false).cacheKey(), ShownIcon()) << "the icon shows that nothing answers";
    RegisterApplication();
    ASSERT_TRUE(WaitFor([&] { return Window.IsConnected(); })) << "the window tries again";
    EXPECT_EQ(Window.GetIcon(true).cacheKey(), ShownIcon());
    CFakeApplication* pFirst = CFakeApplication::s_pLive;
    ASSERT_NE(nullptr, pFirst);
    EXPECT_TRUE(pFirst->HasSinks());
    // The application stops (the service goes): the window lets it go, and connects to the next one.
    RevokeApplication();
    pFirst->Fire(DISPID_ApplicationEvents_Stopping);
    ASSERT_TRUE(WaitFor([&] { return !Window.IsConnected(); }));
    EXPECT_EQ(Window.GetIcon(false).cacheKey(), ShownIcon());
    EXPECT_EQ(nullptr, CFakeApplication::s_pLive) << "the window released the stopped application";
    RegisterApplication();
    ASSERT_TRUE(WaitFor([&] { return Window.IsConnected(); }));
    EXPECT_NE(nullptr, CFakeApplication::s_pLive);
}

TEST_F(NotifyIconWindow, QuitOnTheBusEndsTheMessageLoop) {
    Connected();
    QProcess Caller;
    Caller.start(
        QStringLiteral("gdbus"),
        {QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
         QLatin1String(kNotifyIconBusName), QStringLiteral("--object-path"), QLatin1String(kNotifyIconObjectPath),
         QStringLiteral("--method"), QStringLiteral("Corvane.HarkwellServer.NotifyIconWindow.Quit")});
    // A loop that Quit does not end ends with 7 after 10 s.
    QTimer::singleShot(10000, [] { PostQuitMessage(7); });
    EXPECT_EQ(0, RunMessageLoop([](const MSG&) {}));
    WaitFor([&] { return Caller.state() == QProcess::NotRunning; });
    EXPECT_EQ(0, Caller.exitCode()) << Caller.readAllStandardError().toStdString();
}

}  // namespace

// The service control manager and event log on systemd: the unit file the server's registration writes, the
// systemctl commands each call runs (a recording stand-in answers from state files the tests set), the
// failures the server's install and uninstall steps rely on, and the service side under a fake systemd
// (INVOCATION_ID set, NOTIFY_SOCKET a datagram socket the test reads) in a child process.
#include "comrt/service.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestEnvironment.h"
#include "comrt/runtime.h"

namespace {

using testing_support::CTemporaryDirectory;

constexpr const char16_t* kServiceName = u"Corvane Harkwell Server";
constexpr const char* kUnit = "corvane-harkwell-server.service";

std::string ReadFile(const std::filesystem::path& Path) {
    std::ifstream File(Path, std::ios::binary);
    std::ostringstream s;
    s << File.rdbuf();
    return s.str();
}

void WriteFile(const std::filesystem::path& Path, const std::string& sText) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << sText;
}

// Sets (or, with nullopt, removes) an environment variable for the object's lifetime.
class CScopedVariable {
public:
    CScopedVariable(const char* szName, std::optional<std::string> Value) : m_sName(szName) {
        if (const char* psz = std::getenv(szName)) m_Previous = psz;
        if (Value)
            setenv(szName, Value->c_str(), 1);
        else
            unsetenv(szName);
    }
    ~CScopedVariable() {
        if (m_Previous)
            setenv(m_sName.c_str(), m_Previous->c_str(), 1);
        else
            unsetenv(m_sName.c_str());
    }
    CScopedVariable(const CScopedVariable&) = delete;
    CScopedVariable& operator=(const CScopedVariable&) = delete;

private:
    std::string m_sName;
    std::optional<std::string> m_Previous;
};

// A unit folder and a systemctl that records its arguments, one call a line, and answers is-active and
// is-enabled from the files "active" and "enabled" (inactive and disabled while they are missing).
class ServiceManagerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_Folder.Path().empty());
        std::filesystem::create_directory(UnitFolder());
        const std::string sFolder = m_Folder.Path().string();
        WriteFile(Systemctl(),
                  "#!/bin/sh\n"
                  "echo \"$*\" >> '" +
                      sFolder +
                      "/calls'\n"
                      "case \"$1\" in\n"
                      "is-active) s=$(cat '" +
                      sFolder +
                      "/active' 2>/dev/null || echo inactive); echo \"$s\";"
                      " [ \"$s\" = active ] && exit 0; exit 3;;\n"
                      "is-enabled) s=$(cat '" +
                      sFolder +
                      "/enabled' 2>/dev/null || echo disabled); echo \"$s\";"
                      " [ \"$s\" = enabled ] && exit 0; exit 1;;\n"
                      "esac\n"
                      "exit 0\n");
        ASSERT_EQ(chmod(Systemctl().c_str(), 0755), 0);
        m_UnitDir.emplace("CORVANE_HARKWELL_UNIT_DIR", UnitFolder().string());
        m_Systemctl.emplace("CORVANE_HARKWELL_SYSTEMCTL", Systemctl().string());
    }

    std::filesystem::path UnitFolder() const { return m_Folder.Path() / "units"; }
    std::filesystem::path UnitFile() const { return UnitFolder() / kUnit; }
    std::filesystem::path Systemctl() const { return m_Folder.Path() / "systemctl"; }
    std::string Calls() const { return ReadFile(m_Folder.Path() / "calls"); }
    void ClearCalls() const { std::filesystem::remove(m_Folder.Path() / "calls"); }
    void SetActive(const std::string& s) const { WriteFile(m_Folder.Path() / "active", s + "\n"); }
    void SetEnabled(const std::string& s) const { WriteFile(m_Folder.Path() / "enabled", s + "\n"); }

    // The server's own registration: the parameters its Install step passes.
    SC_HANDLE CreateServerService(SC_HANDLE hManager) const {
        return CreateServiceW(hManager, kServiceName, u"Corvane Harkwell Server", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              u"\"/usr/bin/HarkwellServer\"", nullptr, nullptr, u"RPCSS\0", nullptr, nullptr);
    }

    // An installed unit, written the way the server's registration writes it.
    void InstallServerService() const {
        SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(hManager, nullptr) << GetLastError();
        SC_HANDLE hService = CreateServerService(hManager);
        ASSERT_NE(hService, nullptr) << GetLastError();
        EXPECT_TRUE(CloseServiceHandle(hService));
        EXPECT_TRUE(CloseServiceHandle(hManager));
        ClearCalls();
    }

    CTemporaryDirectory m_Folder;
    std::optional<CScopedVariable> m_UnitDir;
    std::optional<CScopedVariable> m_Systemctl;
    // The folders a registration passes on to the service (one of them needs quoting in the unit file).
    std::optional<CScopedVariable> m_RegistryDir{std::in_place, "CORVANE_REGISTRY_DIR", "/var/lib/corvane harkwell"};
    std::optional<CScopedVariable> m_LogDir{std::in_place, "CORVANE_LOG_DIR", "/var/log/corvane"};
};

TEST_F(ServiceManagerTest, RegistrationWritesTheUnitEnablesItAndAddsTheDescription) {
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(hManager, nullptr) << GetLastError();
    SC_HANDLE hService = CreateServerService(hManager);
    ASSERT_NE(hService, nullptr) << GetLastError();

    const std::string sHead =
        "# Corvane Harkwell Server: written when the program registers itself as a service, removed when it "
        "unregisters.\n"
        "[Unit]\n"
        "Description=Corvane Harkwell Server\n";
    const std::string sTail =
        "Requires=dbus.service\n"
        "After=dbus.service\n"
        "[Service]\n"
        "Type=notify\n"
        "NotifyAccess=main\n"
        "ExecStart=\"/usr/bin/HarkwellServer\"\n"
        "Environment=\"CORVANE_REGISTRY_DIR=/var/lib/corvane harkwell\"\n"
        "Environment=CORVANE_LOG_DIR=/var/log/corvane\n"
        "[Install]\n"
        "WantedBy=multi-user.target\n";
    EXPECT_EQ(ReadFile(UnitFile()), sHead + sTail);
    EXPECT_EQ(Calls(), "daemon-reload\nenable corvane-harkwell-server.service\n");

    ClearCalls();
    SERVICE_DESCRIPTIONW Description{const_cast<LPWSTR>(u"An informational notifications service")};
    ASSERT_TRUE(ChangeServiceConfig2W(hService, SERVICE_CONFIG_DESCRIPTION, &Description)) << GetLastError();
    EXPECT_EQ(ReadFile(UnitFile()), sHead + "X-Description=An informational notifications service\n" + sTail);
    EXPECT_EQ(Calls(), "daemon-reload\n");

    // An empty description removes the line again.
    Description.lpDescription = const_cast<LPWSTR>(u"");
    ASSERT_TRUE(ChangeServiceConfig2W(hService, SERVICE_CONFIG_DESCRIPTION, &Description)) << GetLastError();
    EXPECT_EQ(ReadFile(UnitFile()), sHead + sTail);

    EXPECT_TRUE(CloseServiceHandle(hService));
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, DemandStartLeavesTheUnitDisabledAndOtherDependenciesKeepTheirNames) {
    m_RegistryDir.emplace("CORVANE_REGISTRY_DIR", std::nullopt);
    m_LogDir.emplace("CORVANE_LOG_DIR", std::nullopt);
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(hManager, nullptr) << GetLastError();
    SC_HANDLE hService = CreateServiceW(hManager, u"Helper", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/usr/bin/helper --run 50%",
                                        nullptr, nullptr, u"rpcss\0Network Manager\0", nullptr, nullptr);
    ASSERT_NE(hService, nullptr) << GetLastError();
    EXPECT_EQ(ReadFile(UnitFolder() / "helper.service"),
              "# Helper: written when the program registers itself as a service, removed when it unregisters.\n"
              "[Unit]\n"
              "Description=Helper\n"
              "Requires=dbus.service network-manager.service\n"
              "After=dbus.service network-manager.service\n"
              "[Service]\n"
              "Type=notify\n"
              "NotifyAccess=main\n"
              "ExecStart=/usr/bin/helper --run 50%%\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
    EXPECT_EQ(Calls(), "daemon-reload\n");

    ClearCalls();
    ASSERT_TRUE(ChangeServiceConfigW(hService, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, u"Helper Service"))
        << GetLastError();
    EXPECT_EQ(Calls(), "daemon-reload\nenable helper.service\n");
    const std::string sUnit = ReadFile(UnitFolder() / "helper.service");
    EXPECT_EQ(sUnit.substr(0, sUnit.find("Requires=")),
              "# Helper Service: written when the program registers itself as a service, removed when it "
              "unregisters.\n[Unit]\nDescription=Helper Service\n");
    // A line break would end the setting early.
    SERVICE_DESCRIPTIONW Description{const_cast<LPWSTR>(u"two\nlines")};
    ASSERT_TRUE(ChangeServiceConfig2W(hService, SERVICE_CONFIG_DESCRIPTION, &Description)) << GetLastError();
    EXPECT_NE(ReadFile(UnitFolder() / "helper.service").find("\nDescription=Helper Service\nX-Description=two lines\n"),
              std::string::npos);
    EXPECT_TRUE(CloseServiceHandle(hService));
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, CreateRefusesWhatTheUnitCannotExpress) {
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(hManager, nullptr);
    auto Create = [&](LPCWSTR pszName, DWORD dwType, LPCWSTR pszAccount) {
        return CreateServiceW(hManager, pszName, nullptr, SERVICE_ALL_ACCESS, dwType, SERVICE_AUTO_START,
                              SERVICE_ERROR_NORMAL, u"/bin/true", nullptr, nullptr, nullptr, pszAccount, nullptr);
    };
    EXPECT_EQ(Create(u"Other", 0x20, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Create(u"Other", SERVICE_WIN32_OWN_PROCESS, u"NT AUTHORITY\\LocalService"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Create(u"../escape", SERVICE_WIN32_OWN_PROCESS, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_TRUE(std::filesystem::is_empty(UnitFolder()));
    EXPECT_EQ(Calls(), "");
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, CreatingAnInstalledServiceFailsAndLeavesItAlone) {
    InstallServerService();
    const std::string sBefore = ReadFile(UnitFile());
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(hManager, nullptr);
    EXPECT_EQ(CreateServiceW(hManager, kServiceName, u"Another", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/bin/false", nullptr, nullptr, nullptr,
                             nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(ReadFile(UnitFile()), sBefore);
    EXPECT_EQ(Calls(), "");
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, OpeningAServiceThatIsNotInstalledFails) {
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(hManager, nullptr);
    EXPECT_EQ(OpenServiceW(hManager, kServiceName, SERVICE_QUERY_CONFIG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    InstallServerService();
    SC_HANDLE hService = OpenServiceW(hManager, kServiceName, SERVICE_QUERY_CONFIG);
    EXPECT_NE(hService, nullptr) << GetLastError();
    EXPECT_TRUE(CloseServiceHandle(hService));
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, StartTypeFollowsWhatSystemctlSays) {
    InstallServerService();
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = OpenServiceW(hManager, kServiceName, SERVICE_QUERY_CONFIG);
    ASSERT_NE(hService, nullptr);
    DWORD dwStartType = 0;
    SetEnabled("enabled");
    ASSERT_TRUE(QueryServiceStartType(hService, &dwStartType));
    EXPECT_EQ(dwStartType, SERVICE_AUTO_START);
    SetEnabled("masked");
    ASSERT_TRUE(QueryServiceStartType(hService, &dwStartType));
    EXPECT_EQ(dwStartType, SERVICE_DISABLED);
    SetEnabled("disabled");
    ASSERT_TRUE(QueryServiceStartType(hService, &dwStartType));
    EXPECT_EQ(dwStartType, SERVICE_DEMAND_START);
    EXPECT_EQ(Calls(), std::string("is-enabled corvane-harkwell-server.service\n") +
                           "is-enabled corvane-harkwell-server.service\n" +
                           "is-enabled corvane-harkwell-server.service\n");
    // The handle was opened for querying only.
    EXPECT_FALSE(ChangeServiceConfigW(hService, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseServiceHandle(hService));
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, StoppingAServiceThatDoesNotRunFailsWithNotActive) {
    InstallServerService();
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = OpenServiceW(hManager, kServiceName, SERVICE_STOP | DELETE);
    ASSERT_NE(hService, nullptr);
    for (const char* szState : {"inactive", "failed", "unknown"}) {
        SetActive(szState);
        ClearCalls();
        SERVICE_STATUS Status{};
        Status.dwCurrentState = SERVICE_RUNNING;
        EXPECT_FALSE(ControlService(hService, SERVICE_CONTROL_STOP, &Status)) << szState;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE)) << szState;
        EXPECT_EQ(Status.dwCurrentState, SERVICE_STOPPED) << szState;
        EXPECT_EQ(Calls(), "is-active corvane-harkwell-server.service\n") << szState;
    }
    EXPECT_TRUE(CloseServiceHandle(hService));
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, StoppingARunningServiceAsksWithoutWaiting) {
    InstallServerService();
    SetActive("active");
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = OpenServiceW(hManager, kServiceName, SERVICE_ALL_ACCESS);
    ASSERT_NE(hService, nullptr);
    SERVICE_STATUS Status{};
    ASSERT_TRUE(QueryServiceStatus(hService, &Status));
    EXPECT_EQ(Status.dwCurrentState, SERVICE_RUNNING);
    ClearCalls();
    ASSERT_TRUE(ControlService(hService, SERVICE_CONTROL_STOP, &Status)) << GetLastError();
    EXPECT_EQ(Status.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(Status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(Calls(), "is-active corvane-harkwell-server.service\nstop --no-block corvane-harkwell-server.service\n");

    ClearCalls();
    EXPECT_FALSE(ControlService(hService, SERVICE_CONTROL_PAUSE, &Status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(Status.dwCurrentState, SERVICE_RUNNING);
    SetActive("deactivating");
    ASSERT_TRUE(ControlService(hService, SERVICE_CONTROL_INTERROGATE, &Status));
    EXPECT_EQ(Status.dwCurrentState, SERVICE_STOP_PENDING);
    SetActive("activating");
    ASSERT_TRUE(QueryServiceStatus(hService, &Status));
    EXPECT_EQ(Status.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(Calls().find("stop"), std::string::npos);
    EXPECT_TRUE(CloseServiceHandle(hService));
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, StartingAsksWithoutWaitingUnlessTheServiceRuns) {
    InstallServerService();
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = OpenServiceW(hManager, kServiceName, SERVICE_START);
    ASSERT_NE(hService, nullptr);
    ASSERT_TRUE(StartServiceW(hService, 0, nullptr)) << GetLastError();
    EXPECT_EQ(Calls(), "is-active corvane-harkwell-server.service\nstart --no-block corvane-harkwell-server.service\n");
    SetActive("active");
    ClearCalls();
    EXPECT_FALSE(StartServiceW(hService, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_EQ(Calls(), "is-active corvane-harkwell-server.service\n");
    EXPECT_TRUE(CloseServiceHandle(hService));
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, DeletingDisablesRemovesAndReloads) {
    InstallServerService();
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = OpenServiceW(hManager, kServiceName, SERVICE_STOP | DELETE);
    ASSERT_NE(hService, nullptr);
    ASSERT_TRUE(DeleteService(hService)) << GetLastError();
    EXPECT_FALSE(std::filesystem::exists(UnitFile()));
    EXPECT_EQ(Calls(), "disable corvane-harkwell-server.service\ndaemon-reload\n");
    EXPECT_FALSE(DeleteService(hService));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(OpenServiceW(hManager, kServiceName, SERVICE_QUERY_CONFIG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_TRUE(CloseServiceHandle(hService));
    EXPECT_TRUE(CloseServiceHandle(hManager));
}

TEST_F(ServiceManagerTest, ClosingAHandleTwiceOrAForeignOneFails) {
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(hManager, nullptr);
    EXPECT_TRUE(CloseServiceHandle(hManager));
    EXPECT_FALSE(CloseServiceHandle(hManager));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    int nNotAHandle = 0;
    EXPECT_FALSE(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(&nNotAHandle)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // An event source is no service handle.
    HANDLE hSource = RegisterEventSourceW(nullptr, kServiceName);
    ASSERT_NE(hSource, nullptr);
    EXPECT_FALSE(CloseServiceHandle(static_cast<SC_HANDLE>(hSource)));
    EXPECT_TRUE(DeregisterEventSource(hSource));
}

TEST_F(ServiceManagerTest, ChangingTheManagerNeedsRootOrAWritableUnitFolder) {
    ASSERT_EQ(chmod(m_Folder.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(UnitFolder().c_str(), 0755), 0);
    const pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        // The child gives up root (when it has it); the folder stays root's and so not writable.
        if (geteuid() == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        } else if (chmod(UnitFolder().c_str(), 0555) != 0) {
            _exit(11);
        }
        if (OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS) != nullptr) _exit(12);
        if (GetLastError() != static_cast<DWORD>(ERROR_ACCESS_DENIED)) _exit(13);
        SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (hManager == nullptr) _exit(14);
        _exit(0);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(nChild, &nStatus, 0), nChild);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
}

TEST(ServiceManagerReachTest, WithoutSystemdTheManagerIsUnavailable) {
    if (access("/run/systemd/system", F_OK) == 0) GTEST_SKIP() << "systemd runs on this machine";
    CScopedVariable UnitDir("CORVANE_HARKWELL_UNIT_DIR", std::nullopt);
    CScopedVariable Systemctl("CORVANE_HARKWELL_SYSTEMCTL", std::nullopt);
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

TEST(ServiceManagerReachTest, OnlyTheLocalManagerCanBeOpened) {
    CScopedVariable UnitDir("CORVANE_HARKWELL_UNIT_DIR", "/tmp");
    EXPECT_EQ(OpenSCManagerW(u"otherhost", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(OpenSCManagerW(nullptr, u"ServicesActive", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---------------------------------------------------------------------------------------------------------
// The service side.

std::atomic<int> g_nServiceMainCalls{0};

void NeverRunServiceMain(DWORD, LPWSTR*) {
    ++g_nServiceMainCalls;
}

TEST(ServiceDispatcherTest, OutsideSystemdTheDispatcherFailsAndRunsNothing) {
    CScopedVariable Invocation("INVOCATION_ID", std::nullopt);
    SERVICE_TABLE_ENTRYW Table[] = {{const_cast<LPWSTR>(kServiceName), NeverRunServiceMain}, {nullptr, nullptr}};
    SetLastError(0);
    EXPECT_FALSE(StartServiceCtrlDispatcherW(Table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    CScopedVariable EmptyInvocation("INVOCATION_ID", "");
    EXPECT_FALSE(StartServiceCtrlDispatcherW(Table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(g_nServiceMainCalls.load(), 0);
    // Without a dispatcher there is no service to register a handler for.
    EXPECT_EQ(RegisterServiceCtrlHandlerW(kServiceName, [](DWORD) {}), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

// The child's service: the steps of the server's ServiceMain, with SIGTERM sent to itself as systemd would.
pthread_t g_DispatcherThread;
SERVICE_STATUS_HANDLE g_hStatus = nullptr;
std::atomic<bool> g_bStopControl{false};
std::atomic<int> g_nChildFailure{0};

SERVICE_STATUS MakeStatus(DWORD dwState, DWORD dwAccepted, DWORD dwExitCode = 0, DWORD dwSpecificCode = 0) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = dwState;
    s.dwControlsAccepted = dwAccepted;
    s.dwWin32ExitCode = dwExitCode;
    s.dwServiceSpecificExitCode = dwSpecificCode;
    return s;
}

void ChildHandler(DWORD dwControl) {
    if (dwControl != SERVICE_CONTROL_STOP) g_nChildFailure = 30;
    if (!pthread_equal(pthread_self(), g_DispatcherThread)) g_nChildFailure = 31;
    SERVICE_STATUS s = MakeStatus(SERVICE_STOP_PENDING, 0);
    if (!SetServiceStatus(g_hStatus, &s)) g_nChildFailure = 32;
    g_bStopControl = true;
}

void ChildServiceMain(DWORD dwArgc, LPWSTR* ppszArgv) {
    if (dwArgc != 1 || std::u16string_view(ppszArgv[0]) != kServiceName) g_nChildFailure = 20;
    if (pthread_equal(pthread_self(), g_DispatcherThread)) g_nChildFailure = 21;
    if (RegisterServiceCtrlHandlerW(u"Another Service", ChildHandler) != nullptr ||
        GetLastError() != static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST))
        g_nChildFailure = 22;
    g_hStatus = RegisterServiceCtrlHandlerW(kServiceName, ChildHandler);
    if (!g_hStatus) {
        g_nChildFailure = 23;
        return;
    }
    SERVICE_STATUS s = MakeStatus(SERVICE_START_PENDING, 0);
    if (!SetServiceStatus(g_hStatus, &s)) g_nChildFailure = 24;
    s = MakeStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    if (!SetServiceStatus(g_hStatus, &s)) g_nChildFailure = 25;
    kill(getpid(), SIGTERM);
    for (int i = 0; i < 10000 && !g_bStopControl; ++i) usleep(1000);
    if (!g_bStopControl) g_nChildFailure = 26;
    s = MakeStatus(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, 0xA76501DB);
    if (!SetServiceStatus(g_hStatus, &s)) g_nChildFailure = 27;
}

TEST(ServiceDispatcherTest, UnderSystemdStatusReportsBecomeNotificationsAndSigtermStops) {
    CTemporaryDirectory Folder;
    const std::string sSocket = (Folder.Path() / "notify").string();
    const int nSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(nSocket, 0);
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    ASSERT_LT(sSocket.size(), sizeof Address.sun_path);
    std::memcpy(Address.sun_path, sSocket.c_str(), sSocket.size() + 1);
    ASSERT_EQ(bind(nSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address), 0);
    timeval Timeout{10, 0};
    ASSERT_EQ(setsockopt(nSocket, SOL_SOCKET, SO_RCVTIMEO, &Timeout, sizeof Timeout), 0);

    const pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        sigset_t Signals;
        sigemptyset(&Signals);
        sigaddset(&Signals, SIGTERM);
        sigaddset(&Signals, SIGINT);
        sigprocmask(SIG_BLOCK, &Signals, nullptr);
        setenv("INVOCATION_ID", "0123456789abcdef0123456789abcdef", 1);
        setenv("NOTIFY_SOCKET", sSocket.c_str(), 1);
        g_DispatcherThread = pthread_self();
        SERVICE_TABLE_ENTRYW Table[] = {{const_cast<LPWSTR>(kServiceName), ChildServiceMain}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherW(Table)) _exit(2);
        // The status handle ends with the dispatch.
        SERVICE_STATUS s = MakeStatus(SERVICE_RUNNING, 0);
        if (SetServiceStatus(g_hStatus, &s) || GetLastError() != static_cast<DWORD>(ERROR_INVALID_HANDLE)) _exit(3);
        _exit(g_nChildFailure.load());
    }

    std::vector<std::string> Messages;
    for (int i = 0; i < 4; ++i) {
        char Buffer[512];
        const ssize_t n = recv(nSocket, Buffer, sizeof Buffer, 0);
        if (n < 0) break;
        Messages.emplace_back(Buffer, static_cast<std::size_t>(n));
    }
    close(nSocket);
    int nStatus = 0;
    ASSERT_EQ(waitpid(nChild, &nStatus, 0), nChild);
    ASSERT_TRUE(WIFEXITED(nStatus)) << "the child ended by signal " << WTERMSIG(nStatus);
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    EXPECT_EQ(Messages,
              (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running", "STOPPING=1\nSTATUS=Stopping",
                                        "STATUS=Stopped (exit code 0xA76501DB)"}));
}

// ---------------------------------------------------------------------------------------------------------
// The event log.

TEST(EventLogTest, EntriesGoToTheEventLogFileOneLineEach) {
    CTemporaryDirectory Folder;
    const std::filesystem::path LogFile = Folder.Path() / "events.log";
    CScopedVariable EventLog("CORVANE_HARKWELL_EVENT_LOG", LogFile.string());

    HANDLE hSource = RegisterEventSourceW(nullptr, kServiceName);
    ASSERT_NE(hSource, nullptr) << GetLastError();
    LPCWSTR Strings[] = {u"Service stopped"};
    ASSERT_TRUE(ReportEventW(hSource, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, Strings, nullptr));
    LPCWSTR TwoStrings[] = {u"An unexpected failure occurred.\r\n", u"second"};
    ASSERT_TRUE(ReportEventW(hSource, EVENTLOG_ERROR_TYPE, 0, 0xA76501DB, nullptr, 2, 0, TwoStrings, nullptr));
    EXPECT_TRUE(DeregisterEventSource(hSource));

    EXPECT_EQ(ReadFile(LogFile),
              "Corvane Harkwell Server\t4\t0\tService stopped\n"
              "Corvane Harkwell Server\t1\t2808414683\tAn unexpected failure occurred.   second\n");

    EXPECT_FALSE(DeregisterEventSource(hSource));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReportEventW(hSource, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, Strings, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(EventLogTest, OnlyTheLocalEventLogCanBeOpened) {
    EXPECT_EQ(RegisterEventSourceW(u"otherhost", kServiceName), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegisterEventSourceW(nullptr, u""), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(EventLogTest, WithoutTheFileEntriesGoToTheJournalOrSyslog) {
    // Neither the journal nor syslog may be there; the entry is still accepted.
    CScopedVariable EventLog("CORVANE_HARKWELL_EVENT_LOG", std::nullopt);
    HANDLE hSource = RegisterEventSourceW(nullptr, u"corvane-service-test");
    ASSERT_NE(hSource, nullptr);
    LPCWSTR Strings[] = {u"service test entry"};
    EXPECT_TRUE(ReportEventW(hSource, EVENTLOG_WARNING_TYPE, 0, 7, nullptr, 1, 0, Strings, nullptr));
    EXPECT_TRUE(DeregisterEventSource(hSource));
}

TEST(ServiceMessagesTest, EveryServiceErrorHasItsText) {
    for (LONG nCode : {ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
                       ERROR_SERVICE_NOT_ACTIVE, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, ERROR_SERVICE_SPECIFIC_ERROR,
                       ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_SERVICE_EXISTS, RPC_S_SERVER_UNAVAILABLE,
                       ERROR_INVALID_NAME, ERROR_INVALID_SERVICE_CONTROL}) {
        const std::u16string sText = GetSystemMessage(HRESULT_FROM_WIN32(static_cast<std::uint32_t>(nCode)));
        EXPECT_FALSE(sText.empty()) << nCode;
        EXPECT_TRUE(sText.ends_with(u".\r\n")) << nCode;
    }
}

}  // namespace

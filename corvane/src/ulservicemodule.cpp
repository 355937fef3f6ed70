#include "corvane/ulservicemodule.h"

#include <chrono>
#include <cstdio>
#include <new>

#include "comrt/console.h"
#include "comrt/messages.h"
#include "comrt/runtime.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulmodule.h"
#include "corvane/ulregister.h"
#include "corvane/ulregistry.h"

namespace {

std::atomic<CUlServiceModule*> g_pModule{nullptr};
// Held by the stop-signal thread while it uses the module, and by the module while it leaves, so that a
// late signal never reaches a module that is gone.
std::mutex g_ModuleLifeLock;

// The longest event log text.
constexpr std::size_t kMaxEventText = 256;
// The longest program path a service command may hold.
constexpr std::size_t kMaxModulePath = 259;

[[noreturn]] void ThrowLastError() {
    const DWORD nError = GetLastError();
    corvane::ThrowHResult(nError == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(nError));
}

}  // namespace

void CServiceHandleT::Attach(SC_HANDLE hHandle) noexcept {
    Release();
    m_hHandle = hHandle;
}

void CServiceHandleT::Release() noexcept {
    if (m_hHandle == nullptr) return;
    UL_ASSERT(CloseServiceHandle(m_hHandle));
    m_hHandle = nullptr;
}

CUlServiceModule::CUlServiceModule(std::u16string sServiceName, const GUID& AppId)
    : m_sServiceName(std::move(sServiceName)), m_AppId(AppId) {
    CUlServiceModule* pExpected = nullptr;
    UL_ASSERT(g_pModule.compare_exchange_strong(pExpected, this));
    m_Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_Status.dwCurrentState = SERVICE_STOPPED;
    m_Status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    m_nMainThreadIdentifier = GetCurrentThreadId();
    m_hrInitialize = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

CUlServiceModule::~CUlServiceModule() {
    StopShutdownMonitor();
    if (SUCCEEDED(m_hrInitialize)) CoUninitialize();
    std::lock_guard LifeLock(g_ModuleLifeLock);
    CUlServiceModule* pExpected = this;
    UL_ASSERT(g_pModule.compare_exchange_strong(pExpected, nullptr));
}

CUlServiceModule* CUlServiceModule::GetModule() noexcept {
    return g_pModule.load();
}

void CUlServiceModule::BlockStopSignals() noexcept {
    comrt::BlockStopSignals();
}

void CUlServiceModule::UnblockStopSignals() noexcept {
    comrt::UnblockStopSignals();
}

int CUlServiceModule::Main(int argc, char** argv) {
    if (FAILED(m_hrInitialize)) return -1;
    int nExitCode = 0;
    if (ParseCommandLine(argc, argv, nExitCode)) return nExitCode;
    nExitCode = Start();
    if (m_bService && m_bDispatcherFailed && nExitCode == static_cast<int>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)) {
        // Configured as a service, but started by hand in a user's session: the service helper.
        m_bService = false;
        m_bServiceHelper = true;
        nExitCode = Run();
    }
    return nExitCode;
}

int CUlServiceModule::Start() {
    CRegKey AppIdKey;
    const std::u16string sKeyName = u"AppID\\" + corvane::GuidText(m_AppId);
    const LONG nResult = AppIdKey.Open(HKEY_CLASSES_ROOT, sKeyName, KEY_READ);
    if (nResult != ERROR_SUCCESS) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "The key %s cannot be read (error %ld)\n",
                 comrt::ToUtf8(sKeyName).c_str(), static_cast<long>(nResult));
        std::fprintf(stderr,
                     "%s: the program's registration (HKCR\\%s) cannot be read; register it with /RegServer "
                     "or /Service\n",
                     corvane::GetModuleFileName(), comrt::ToUtf8(sKeyName).c_str());
        return static_cast<int>(nResult);
    }
    std::u16string sLocalService;
    if (AppIdKey.QueryStringValue(u"LocalService", sLocalService) == ERROR_SUCCESS) {
        m_bService = true;
        OnModeDecided();
        SERVICE_TABLE_ENTRYW Table[] = {{m_sServiceName.data(), &ServiceMainEntry}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherW(Table)) {
            m_bDispatcherFailed = true;
            return static_cast<int>(GetLastError());
        }
        return static_cast<int>(m_Status.dwWin32ExitCode);
    }
    m_bService = false;
    OnModeDecided();
    return Run();
}

void CUlServiceModule::ServiceMainEntry(DWORD /*nArgumentCount*/, LPWSTR* /*ppArguments*/) {
    if (CUlServiceModule* pModule = GetModule()) pModule->ServiceMain();
}

void CUlServiceModule::ServiceHandlerEntry(DWORD nControl) {
    if (CUlServiceModule* pModule = GetModule()) pModule->ServiceHandler(nControl);
}

void CUlServiceModule::ServiceMain() {
    // The thread's queue exists before the handler can post the stop to it.
    m_nServiceThreadIdentifier = GetCurrentThreadId();
    MSG Message{};
    PeekMessageW(&Message, nullptr, 0, 0, PM_NOREMOVE);
    m_hServiceStatus = RegisterServiceCtrlHandlerW(m_sServiceName.c_str(), &ServiceHandlerEntry);
    if (m_hServiceStatus == nullptr) {
        LogEvent(u"Handler not installed");
        return;
    }
    SetServiceStatus(SERVICE_START_PENDING);
    m_Status.dwWin32ExitCode = S_OK;
    m_Status.dwCheckPoint = 0;
    m_Status.dwWaitHint = 0;
    const HRESULT hrInitialize = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    m_Status.dwWin32ExitCode = static_cast<DWORD>(Run());
    if (SUCCEEDED(hrInitialize)) CoUninitialize();
    SetServiceStatus(SERVICE_STOPPED);
    LogEvent(u"Service stopped");
}

void CUlServiceModule::ServiceHandler(DWORD nControl) {
    switch (nControl) {
        case SERVICE_CONTROL_STOP:
            SetServiceStatus(SERVICE_STOP_PENDING);
            RequestStop(m_nServiceThreadIdentifier.load());
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
        case SERVICE_CONTROL_SHUTDOWN:
            break;
        default:
            LogEvent(u"Bad service request");
            break;
    }
}

void CUlServiceModule::RequestStop(DWORD nThreadIdentifier) {
    // A stop that comes before the loop runs is remembered, so that the loop is never entered.
    m_bStopRequested = true;
    if (nThreadIdentifier != 0) PostThreadMessageW(nThreadIdentifier, WM_QUIT, 0, 0);
}

void CUlServiceModule::SetServiceStatus(DWORD nState) {
    m_Status.dwCurrentState = nState;
    if (m_hServiceStatus != nullptr) UL_ASSERT(::SetServiceStatus(m_hServiceStatus, &m_Status));
}

int CUlServiceModule::Run() {
    m_nLoopThreadIdentifier = GetCurrentThreadId();
    MSG Message{};
    PeekMessageW(&Message, nullptr, 0, 0, PM_NOREMOVE);
    if (!m_bService) {
        UL_ASSERT(corvane::GuardedOperation([&] { CreateUserInterface(); }));
        StartStopSignalWatch();
    }
    const int nResult = RunGuarded();
    if (!m_bService) UL_ASSERT(corvane::GuardedOperation([&] { DestroyUserInterface(); }));
    m_nLoopThreadIdentifier = 0;
    return nResult;
}

int CUlServiceModule::RunGuarded() {
    HRESULT hr = S_OK;
    try {
        PreMessageLoop();
        if (m_bService) {
            LogEvent(u"Service started");
            SetServiceStatus(SERVICE_RUNNING);
        }
        RunMessageLoop();
        PostMessageLoop();
        return 0;
    } catch (const corvane::CHResultException& Exception) {
        hr = Exception.GetResult();
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception 0x%08x (%s) has been caught\n", static_cast<unsigned>(hr),
                 comrt::ToUtf8(FormatSystemMessage(hr)).c_str());
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception 0x%08x (%s) has been caught\n", static_cast<unsigned>(hr),
                 comrt::ToUtf8(FormatSystemMessage(hr)).c_str());
    } catch (...) {
        hr = E_UNKNOWN_EXCEPTION;
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught\n");
    }
    // Whatever the failed step left registered goes, so that no client is handed an object of a process
    // that is about to end.
    if (m_bClassObjectsRegistered) {
        corvane::GuardedOperation([&] { RevokeClassObjects(); });
        m_bClassObjectsRegistered = false;
    }
    StopShutdownMonitor();
    LogEventEx(static_cast<DWORD>(hr), FormatSystemMessage(E_UNEXPECTED), EVENTLOG_ERROR_TYPE);
    if (m_bService) {
        m_Status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        m_Status.dwServiceSpecificExitCode = static_cast<DWORD>(hr);
        return static_cast<int>(ERROR_SERVICE_SPECIFIC_ERROR);
    }
    return static_cast<int>(hr);
}

void CUlServiceModule::PreMessageLoop() {
    if (m_bService) {
        m_nServiceThreadIdentifier = GetCurrentThreadId();
        InitializeSecurity();
    }
    try {
        RegisterClassObjects();
    } catch (...) {
        m_bDelayShutdown = false;
        throw;
    }
    m_bClassObjectsRegistered = true;
    if (m_bDelayShutdown && !m_bService) StartShutdownMonitor();
}

void CUlServiceModule::PostMessageLoop() {
    StopShutdownMonitor();
    if (m_bClassObjectsRegistered) {
        m_bClassObjectsRegistered = false;
        RevokeClassObjects();
    }
    // Calls that were on their way when the classes went get the time to finish.
    if (m_bDelayShutdown) std::this_thread::sleep_for(std::chrono::milliseconds(m_nPause));
}

void CUlServiceModule::RunMessageLoop() {
    if (m_bStopRequested) return;
    MSG Message{};
    while (GetMessageW(&Message, nullptr, 0, 0) > 0) {
    }
}

void CUlServiceModule::StartStopSignalWatch() {
    // One thread for the life of the process takes SIGINT and SIGTERM (blocked everywhere) and asks the
    // running loop to end.
    static std::once_flag s_Started;
    std::call_once(s_Started, [] {
        std::thread([] {
            for (;;) {
                const int nSignal = comrt::WaitForStopSignal();
                UL_TRACE(corvane::TRACE_LEVEL_ERROR, "Signal %d received, stopping\n", nSignal);
                std::lock_guard LifeLock(g_ModuleLifeLock);
                if (CUlServiceModule* pModule = GetModule())
                    pModule->RequestStop(pModule->m_nLoopThreadIdentifier.load());
            }
        }).detach();
    });
}

void CUlServiceModule::InitializeSecurity() {
    UL_CHECK(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                  nullptr, EOAC_NONE, nullptr));
}

void CUlServiceModule::StartShutdownMonitor() {
    {
        std::lock_guard lock(m_ShutdownLock);
        if (m_ShutdownMonitor.joinable()) return;
        m_bShutdownActivity = GetModuleLockCount() == 0;
        m_bShutdownMonitorEnds = false;
    }
    try {
        m_ShutdownMonitor = std::thread(&CUlServiceModule::MonitorShutdown, this);
    } catch (...) {
        corvane::ThrowHResult(E_FAIL);
    }
    corvane::SetModuleUnlockedHandler(&OnModuleUnlocked);
}

void CUlServiceModule::StopShutdownMonitor() {
    {
        std::lock_guard lock(m_ShutdownLock);
        if (!m_ShutdownMonitor.joinable()) return;
        m_bShutdownMonitorEnds = true;
    }
    corvane::SetModuleUnlockedHandler(nullptr);
    m_ShutdownChanged.notify_all();
    m_ShutdownMonitor.join();
}

void CUlServiceModule::OnModuleUnlocked() noexcept {
    CUlServiceModule* pModule = GetModule();
    if (pModule == nullptr || pModule->m_bService) return;
    {
        std::lock_guard lock(pModule->m_ShutdownLock);
        pModule->m_bShutdownActivity = true;
    }
    pModule->m_ShutdownChanged.notify_all();
}

void CUlServiceModule::MonitorShutdown() {
    std::unique_lock lock(m_ShutdownLock);
    for (;;) {
        m_ShutdownChanged.wait(lock, [&] { return m_bShutdownActivity || m_bShutdownMonitorEnds; });
        // The count fell to zero: it must stay there for the whole time-out, counted again from each fall.
        while (m_bShutdownActivity && !m_bShutdownMonitorEnds) {
            m_bShutdownActivity = false;
            m_ShutdownChanged.wait_for(lock, std::chrono::milliseconds(m_nTimeOut),
                                       [&] { return m_bShutdownActivity || m_bShutdownMonitorEnds; });
        }
        if (m_bShutdownMonitorEnds) return;
        if (GetModuleLockCount() == 0) {
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "No lock for %u ms, the module ends\n",
                     static_cast<unsigned>(m_nTimeOut));
            RequestStop(m_nLoopThreadIdentifier.load());
            return;
        }
    }
}

std::u16string CUlServiceModule::GetServiceCommand() const {
    const std::string sPath = corvane::GetProcessImagePath();
    if (sPath.empty() || sPath.size() > kMaxModulePath) corvane::ThrowHResult(E_MODULE_PATH);
    return u"\"" + comrt::ToUtf16(sPath) + u"\"";
}

bool CUlServiceModule::Install() {
    try {
        if (IsInstalled()) return true;
        const std::u16string sCommand = GetServiceCommand();
        CServiceHandleT hManager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!hManager) ThrowLastError();
        const std::u16string sDisplayName = GetServiceDisplayName();
        CServiceHandleT hService(CreateServiceW(hManager, m_sServiceName.c_str(), sDisplayName.c_str(),
                                                SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                SERVICE_ERROR_NORMAL, sCommand.c_str(), nullptr, nullptr, u"RPCSS\0",
                                                nullptr, nullptr));
        if (!hService) ThrowLastError();
        std::u16string sDescription = GetServiceDescription();
        SERVICE_DESCRIPTIONW Description{sDescription.data()};
        UL_ASSERT(ChangeServiceConfig2W(hService, SERVICE_CONFIG_DESCRIPTION, &Description));
        return true;
    } catch (...) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught\n");
        return false;
    }
}

bool CUlServiceModule::Uninstall() {
    try {
        if (!IsInstalled()) return true;
        CServiceHandleT hManager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!hManager) ThrowLastError();
        CServiceHandleT hService(OpenServiceW(hManager, m_sServiceName.c_str(), SERVICE_STOP | DELETE));
        if (!hService) ThrowLastError();
        SERVICE_STATUS Status{};
        if (!ControlService(hService, SERVICE_CONTROL_STOP, &Status)) {
            const DWORD nError = GetLastError();
            const bool bStopping =
                nError == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && Status.dwCurrentState == SERVICE_STOP_PENDING;
            if (nError != ERROR_SERVICE_NOT_ACTIVE && !bStopping) corvane::ThrowHResult(HRESULT_FROM_WIN32(nError));
        }
        if (!DeleteService(hService)) ThrowLastError();
        return true;
    } catch (...) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught\n");
        return false;
    }
}

bool CUlServiceModule::IsInstalled() {
    CServiceHandleT hManager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!hManager) return false;
    CServiceHandleT hService(OpenServiceW(hManager, m_sServiceName.c_str(), SERVICE_QUERY_CONFIG));
    return static_cast<bool>(hService);
}

void CUlServiceModule::LogEvent(std::u16string_view sText) {
    LogEventEx(0, sText, EVENTLOG_INFORMATION_TYPE);
}

void CUlServiceModule::LogEventEx(DWORD nIdentifier, std::u16string_view sText, WORD nType) {
    const std::u16string sMessage(sText.substr(0, kMaxEventText));
    HANDLE hEventSource = RegisterEventSourceW(nullptr, m_sServiceName.c_str());
    if (hEventSource == nullptr) return;
    LPCWSTR Strings[] = {sMessage.c_str()};
    UL_ASSERT(ReportEventW(hEventSource, nType, 0, nIdentifier, nullptr, 1, 0, Strings, nullptr));
    DeregisterEventSource(hEventSource);
}

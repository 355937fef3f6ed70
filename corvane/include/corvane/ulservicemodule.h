// The module of a program that serves its classes to other processes either per user (a local server
// started in the user's session) or as the machine's system service, and that decides which from its AppID:
// the AppID key of a program installed as a service has a "LocalService" value.
//
//   class CMyServerModule : public CUlServiceModuleT<CMyServerModule> { ... overrides ... };
//   int main(int argc, char** argv) { CMyServerModule Module; return Module.Main(argc, argv); }
//
// Start decides the run:
//   - no "LocalService": Application Mode, Run on the calling thread;
//   - "LocalService" and started by the service manager: Service Mode; the calling thread runs the control
//     dispatcher, the service function runs Run on a thread of its own (the service thread);
//   - "LocalService" but started by hand: the service helper, Run on the calling thread.
// Run brackets the thread's message loop (ended by WM_QUIT) with PreMessageLoop and PostMessageLoop.
//
// Stop requests: in Service Mode the manager's stop control (SIGTERM from systemd, through the dispatcher)
// posts WM_QUIT to the service thread. In the other modes the caller of Main blocks SIGINT and SIGTERM in
// every thread before any thread starts (BlockStopSignals) and Run turns each into WM_QUIT for its thread.
//
// Outside Service Mode the module also ends the loop when its lock count has fallen to zero and stayed
// there for the time-out (a local server whose last client went); a lock holder such as a tray window keeps
// the process alive.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "comrt/service.h"
#include "comrt/types.h"

// Owns a service manager handle. Releasing or re-attaching closes the held handle; a failed close is an
// assertion of the trace, not an error.
class CServiceHandleT {
public:
    CServiceHandleT() noexcept = default;
    explicit CServiceHandleT(SC_HANDLE hHandle) noexcept : m_hHandle(hHandle) {}
    ~CServiceHandleT() { Release(); }
    CServiceHandleT(const CServiceHandleT&) = delete;
    CServiceHandleT& operator=(const CServiceHandleT&) = delete;

    operator SC_HANDLE() const noexcept { return m_hHandle; }
    explicit operator bool() const noexcept { return m_hHandle != nullptr; }
    void Attach(SC_HANDLE hHandle) noexcept;
    void Release() noexcept;

private:
    SC_HANDLE m_hHandle = nullptr;
};

class CUlServiceModule {
public:
    // Codes of the checks the module raises.
    static constexpr HRESULT E_INSTALL_FAILED = MakeCorvaneHResult(0x00EE);
    static constexpr HRESULT E_UNINSTALL_FAILED = MakeCorvaneHResult(0x010E);
    static constexpr HRESULT E_MODULE_PATH = MakeCorvaneHResult(0x0125);
    static constexpr HRESULT E_NO_APPLICATION = MakeCorvaneHResult(0x01A1);
    static constexpr HRESULT E_UNKNOWN_EXCEPTION = MakeCorvaneHResult(0x01DB);

    // The time a local server waits with no lock before it ends, and the pause after revoking its classes.
    static constexpr DWORD kShutdownTimeOut = 5000;
    static constexpr DWORD kShutdownPause = 1000;

    CUlServiceModule(std::u16string sServiceName, const GUID& AppId);
    virtual ~CUlServiceModule();
    CUlServiceModule(const CUlServiceModule&) = delete;
    CUlServiceModule& operator=(const CUlServiceModule&) = delete;

    // The process's one module, or null.
    static CUlServiceModule* GetModule() noexcept;

    // Blocks SIGINT and SIGTERM in the calling thread and so in every thread it starts later; call first
    // thing in main, before any thread exists.
    static void BlockStopSignals() noexcept;
    // Gives the calling thread the stop signals' default action back (a run that only shows a window ends
    // at once when asked to stop). Before any other thread starts.
    static void UnblockStopSignals() noexcept;

    // The main routine: the switches, else the run the AppID chooses. The result code of what it did
    // (0, a registry error, an HRESULT, a service error).
    int Main(int argc, char** argv);

    // Decides the mode from the AppID and runs. The registry error when the AppID key cannot be read.
    int Start();
    // Runs the message loop between PreMessageLoop and PostMessageLoop; the run's result code.
    int Run();

    // The system service: install (automatic start, depending on the bus), uninstall (stop, delete), query.
    // Failures inside are traced and answered with false.
    bool Install();
    bool Uninstall();
    bool IsInstalled();

    // An information entry of the event log with the service name as its source; at most 256 characters.
    void LogEvent(std::u16string_view sText);
    void LogEventEx(DWORD nIdentifier, std::u16string_view sText, WORD nType = EVENTLOG_INFORMATION_TYPE);

    const std::u16string& GetServiceName() const noexcept { return m_sServiceName; }
    bool IsServiceMode() const noexcept { return m_bService; }
    bool IsServiceHelper() const noexcept { return m_bServiceHelper; }
    DWORD GetMainThreadIdentifier() const noexcept { return m_nMainThreadIdentifier; }

    // The quoted full path of the program, the service's command. Raises E_MODULE_PATH when the path is
    // missing or longer than 259 characters.
    std::u16string GetServiceCommand() const;

protected:
    // The switches. True when one was handled; nExitCode is then the process's result.
    virtual bool ParseCommandLine(int argc, char** argv, int& nExitCode) = 0;
    // Before the loop: the mode's class objects, then whatever the program runs. Failures are raised.
    virtual void PreMessageLoop();
    // After the loop: the program's stop, then the class objects revoked. Failures are raised.
    virtual void PostMessageLoop();
    // The class objects of the mode; raised failures.
    virtual void RegisterClassObjects() = 0;
    virtual void RevokeClassObjects() = 0;
    // Around Run outside Service Mode: what the user sees of the process (a tray window).
    virtual void CreateUserInterface() {}
    virtual void DestroyUserInterface() {}
    // Once Start has decided between Service Mode and the others (the service helper is decided later, when
    // the dispatcher finds that no service manager started the process).
    virtual void OnModeDecided() {}
    // What the service manager shows of the service.
    virtual std::u16string GetServiceDisplayName() const { return m_sServiceName; }
    virtual std::u16string GetServiceDescription() const { return {}; }

    // Service Mode only: the process's call security.
    void InitializeSecurity();
    // After a successful registration of the class objects: starts the delayed shutdown watch.
    void StartShutdownMonitor();

    // The thread's message loop, until WM_QUIT (a module with windows runs the toolkit's loop instead). Not
    // entered when a stop was asked for before it.
    virtual void RunMessageLoop();
    bool IsStopRequested() const noexcept { return m_bStopRequested; }

    void SetServiceStatus(DWORD nState);
    // Ends the loop of the given thread (0: none runs yet, so it is never entered).
    void RequestStop(DWORD nThreadIdentifier);

    bool m_bServiceHelper = false;
    bool m_bService = true;
    bool m_bDelayShutdown = true;
    DWORD m_nTimeOut = kShutdownTimeOut;
    DWORD m_nPause = kShutdownPause;

private:
    static void ServiceMainEntry(DWORD nArgumentCount, LPWSTR* ppArguments);
    static void ServiceHandlerEntry(DWORD nControl);
    static void OnModuleUnlocked() noexcept;
    void ServiceMain();
    void ServiceHandler(DWORD nControl);
    int RunGuarded();
    void StartStopSignalWatch();
    void MonitorShutdown();
    void StopShutdownMonitor();

    HRESULT m_hrInitialize = E_UNEXPECTED;
    std::u16string m_sServiceName;
    GUID m_AppId;
    bool m_bDispatcherFailed = false;
    bool m_bClassObjectsRegistered = false;
    SERVICE_STATUS m_Status{};
    SERVICE_STATUS_HANDLE m_hServiceStatus = nullptr;
    std::atomic<DWORD> m_nServiceThreadIdentifier{0};
    DWORD m_nMainThreadIdentifier = 0;
    // A stop asked for before the loop thread could be posted to: the loop is not entered.
    std::atomic<bool> m_bStopRequested{false};
    // The run's thread, while it runs: where WM_QUIT goes.
    std::atomic<DWORD> m_nLoopThreadIdentifier{0};

    std::mutex m_ShutdownLock;
    std::condition_variable m_ShutdownChanged;
    bool m_bShutdownActivity = false;
    bool m_bShutdownMonitorEnds = false;
    std::thread m_ShutdownMonitor;
};

// The module template a program derives its module from: one instance per process.
template <class T>
class CUlServiceModuleT : public CUlServiceModule {
public:
    using CUlServiceModule::CUlServiceModule;
    static T* GetInstance() noexcept { return static_cast<T*>(GetModule()); }
};

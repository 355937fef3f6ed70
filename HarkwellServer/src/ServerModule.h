// The server program's module: the switches that register and unregister it, the choice between
// Application Mode, Service Mode and the service helper, and the run that serves the program's classes and
// runs the application object until the process is asked to stop.
#pragma once

#include <string>
#include <vector>

#include "HarkwellServer/ServerInterfaces.h"
#include "comrt/comptr.h"
#include "comrt/libraries.h"
#include "corvane/ulservicemodule.h"

// The classes the service helper serves in a user's session (the status, scenarios and scenario property
// pages), null-terminated; every other class lives in the service process.
extern const CLSID* const ppServiceHelperClassIdentifiers[];

// Registers the class objects of the classes the service helper serves (ppServiceHelperClassIdentifiers)
// with the runtime, in process and one object per creation (CLSCTX_INPROC_SERVER, REGCLS_MULTI_SEPARATE), so
// that the property frame makes its pages from them. The class objects come from hModule, the server's
// user-interface module that implements the pages (its DllGetClassObject); without it (no display) nothing
// is registered, which is traced. Each registration's cookie is appended to Cookies; the first failure is
// raised, the classes registered before it stay in Cookies for their revocation.
void RegisterServiceHelperClassObjects(HLIBRARY hModule, std::vector<DWORD>& Cookies);

// What a switch asks for, in the order the rules are tried.
enum class ServerSwitch {
    None,
    About,
    Configuration,
    Register,
    UnregServer,
    RegServer,
    Service,
    UnitStarting,
    UnitStopped,
    Help
};

// The switch that decides the run: three passes over the arguments ("About", "Configuration" and
// "Register" first, whichever comes first; then "UnregServer" and "RegServer"; then "Service", "UnitStarting"
// and "UnitStopped"). A switch
// begins with "-" or "/" (or "--"), its word compares without regard to case. Words that no rule knows
// are collected in pUnknown.
ServerSwitch FindServerSwitch(int argc, char** argv, std::vector<std::string>* pUnknown = nullptr);

class CHarkwellServerModule : public CUlServiceModuleT<CHarkwellServerModule> {
public:
    CHarkwellServerModule();

    // Where the service's unit comes from: the program writes and enables its own (/Service), or the
    // system has one that runs the program (the unit a package installs, whose start and stop steps are
    // /UnitStarting and /UnitStopped), which the program never writes, enables, stops or deletes.
    enum class ServiceUnit { Own, System };
    // Registers the AppID for Service Mode (bService) or Application Mode: with its own unit it stops and
    // deletes an installed service, writes the AppID keys, and for Service Mode writes "LocalService" and
    // installs the service; then writes the mode's file for the bus (BusRegistration.h) and removes the
    // other mode's. Under the system's unit only the AppID keys and the bus files change: Service Mode
    // writes the policy as with its own unit, Application Mode removes both files (the session bus's
    // activation file of the package serves every user). Failures are raised.
    void RegisterAppId(bool bService, ServiceUnit Unit = ServiceUnit::Own);
    // Deletes the service, the bus files and the AppID values; failures are raised.
    void UnregisterAppId();
    // The AppID keys and the component categories, written (bRegister) or removed.
    void UpdateRegistryAppIdEx(bool bRegister);
    // The class table with its categories and the type library.
    HRESULT RegisterServer();
    HRESULT UnregisterServer();

    static bool IsServiceHelperClassIdentifier(REFCLSID ClassIdentifier);

protected:
    bool ParseCommandLine(int argc, char** argv, int& nExitCode) override;
    void PreMessageLoop() override;
    void PostMessageLoop() override;
    void RegisterClassObjects() override;
    void RevokeClassObjects() override;
    void CreateUserInterface() override;
    void DestroyUserInterface() override;
    void RunMessageLoop() override;
    void OnModeDecided() override;
    std::u16string GetServiceDisplayName() const override;
    std::u16string GetServiceDescription() const override;

private:
    // Shows a window of the user-interface module (ServerWindows.h): 0 or the failure's code.
    int ShowServerWindow(int nWindow);
    // Runs a registration step: 0 on success, else the code it raised (traced).
    int RunSwitch(void (CHarkwellServerModule::*pfnStep)());
    void RegisterForApplicationMode();
    void RegisterForServiceMode();
    void RegisterInPresentMode();
    void RegisterUnderSystemUnit();
    void EndSystemUnitServiceMode();
    // Whether the AppID has "LocalService": the program is registered for Service Mode.
    bool IsRegisteredAsService();
    void Unregister();
    // Application Mode on the session bus, Service Mode on the system bus.
    void AttachBus();
    // The application object in the running object table for the whole run.
    void PublishApplication();
    void WithdrawApplication();
    void RegisterClassObjectsWhere(bool bServiceHelperClasses, DWORD nClassContext, DWORD nFlags, bool bTrace);

    std::u16string m_sModulePath;
    std::vector<DWORD> m_ClassObjectCookies;
    CComPtr<IApplication> m_pApplication;
    bool m_bUserInterfaceLock = false;
    // The user-interface module while its windows run: the service helper's pages come from it.
    HLIBRARY m_hUserInterface = nullptr;
    // The tray window's loop and end, while the user-interface module shows one.
    void (*m_pfnDestroyNotifyIcon)() = nullptr;
    int (*m_pfnRunNotifyIconLoop)() = nullptr;
    bool m_bBusAttached = false;
    DWORD m_nApplicationRegistration = 0;
};

#include "ServerModule.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "Application.h"
#include "BusRegistration.h"
#include "NotifyIconEntry.h"
#include "ServerMode.h"
#include "ServerRegistration.h"
#include "ServerWindows.h"
#include "comrt/bus.h"
#include "comrt/libraries.h"
#include "comrt/runningobjects.h"
#include "comrt/runtime.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulmodule.h"
#include "corvane/ulregistry.h"
#include "corvane/ulresource.h"

const CLSID* const ppServiceHelperClassIdentifiers[] = {&CLSID_CStatusPropertyPage, &CLSID_CScenariosPropertyPage,
                                                        &CLSID_CScenarioPropertyPage, nullptr};

namespace {

constexpr UINT IDS_SERVICE_NAME = 1001;
constexpr UINT IDS_SERVICE_DISPLAY_NAME = 1002;
constexpr UINT IDS_SERVICE_DESCRIPTION = 1003;

const corvane::StringResource kModuleStrings[] = {
    {IDS_SERVICE_NAME, u"Corvane Harkwell Server"},
    {IDS_SERVICE_DISPLAY_NAME, u"Corvane Harkwell Server"},
    {IDS_SERVICE_DESCRIPTION, u"An informational notifications service"},
    {1010, u"Corvane Harkwell Server (Application Mode)\nCorvane Harkwell Server (Service Mode)\n"},
};
const corvane::CStringTableRegistration g_ModuleStrings(kModuleStrings);

constexpr char16_t kInteractiveUser[] = u"Interactive User";
// "RunAs" is read into a buffer of this many characters.
constexpr std::size_t kMaxRunAs = 129;

std::u16string AppIdKeyName() {
    return u"AppID\\" + corvane::GuidText(APPID_HarkwellServer);
}

void CheckRegistry(LONG nResult) {
    if (nResult != ERROR_SUCCESS) corvane::ThrowHResult(HRESULT_FROM_WIN32(static_cast<std::uint32_t>(nResult)));
}

// The word of a switch argument: "-x", "/x" or "--x", up to an "=" if there is one; empty for arguments that
// are not switches.
std::string_view SwitchWord(const char* pszArgument) {
    std::string_view sArgument(pszArgument);
    if (sArgument.size() < 2 || (sArgument[0] != '-' && sArgument[0] != '/')) return {};
    sArgument.remove_prefix(sArgument.substr(0, 2) == "--" ? 2 : 1);
    return sArgument.substr(0, sArgument.find('='));
}

// Switch words compare without regard to the case of their ASCII letters.
bool SameWord(std::string_view sWord, std::string_view sName) {
    const auto Fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::equal(sWord.begin(), sWord.end(), sName.begin(), sName.end(),
                      [&](char a, char b) { return Fold(a) == Fold(b); });
}

struct SwitchRule {
    const char* pszWord;
    ServerSwitch Switch;
};

// The passes, in their order; within a pass the first argument that matches any of its rules wins.
const SwitchRule kFirstPass[] = {{"About", ServerSwitch::About},
                                 {"Configuration", ServerSwitch::Configuration},
                                 {"Register", ServerSwitch::Register}};
const SwitchRule kSecondPass[] = {{"UnregServer", ServerSwitch::UnregServer}, {"RegServer", ServerSwitch::RegServer}};
const SwitchRule kThirdPass[] = {{"Service", ServerSwitch::Service},
                                 {"UnitStarting", ServerSwitch::UnitStarting},
                                 {"UnitStopped", ServerSwitch::UnitStopped}};
const SwitchRule kHelp[] = {{"help", ServerSwitch::Help}, {"h", ServerSwitch::Help}, {"?", ServerSwitch::Help}};

template <std::size_t N>
ServerSwitch FindInPass(int argc, char** argv, const SwitchRule (&Rules)[N]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view sWord = SwitchWord(argv[i]);
        for (const SwitchRule& Rule : Rules)
            if (!sWord.empty() && SameWord(sWord, Rule.pszWord)) return Rule.Switch;
    }
    return ServerSwitch::None;
}

constexpr char kUsage[] =
    "Usage: HarkwellServer [/RegServer | /Service | /Register | /UnregServer | /About | /Configuration]\n"
    "  (no switch)     run the server in the mode it is registered for\n"
    "  /RegServer      register for Application Mode (per user; stops and deletes an installed service)\n"
    "  /Service        register for Service Mode and install the system service\n"
    "  /Register       register again in the present mode (a service keeps the unit it has)\n"
    "  /UnregServer    delete the service and remove the program's registration\n"
    "  /UnitStarting   register for Service Mode under the system's unit, which runs it before the server\n"
    "  /UnitStopped    register for Application Mode again after the system's unit stopped the server\n"
    "  /About, /Configuration  the dialogs of the user interface\n"
    "Switches also begin with \"-\" or \"--\" and compare without regard to case.\n";

// Whether windows can be shown: a display, or a toolkit platform without one (the headless tests).
bool HasDisplay() {
    const auto IsSet = [](const char* pszName) {
        const char* pszValue = std::getenv(pszName);
        return pszValue != nullptr && pszValue[0] != '\0';
    };
    return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM");
}

}  // namespace

ServerSwitch FindServerSwitch(int argc, char** argv, std::vector<std::string>* pUnknown) {
    if (pUnknown != nullptr) {
        for (int i = 1; i < argc; ++i) {
            const std::string_view sWord = SwitchWord(argv[i]);
            if (sWord.empty()) continue;
            bool bKnown = false;
            for (const SwitchRule& Rule : kFirstPass) bKnown = bKnown || SameWord(sWord, Rule.pszWord);
            for (const SwitchRule& Rule : kSecondPass) bKnown = bKnown || SameWord(sWord, Rule.pszWord);
            for (const SwitchRule& Rule : kThirdPass) bKnown = bKnown || SameWord(sWord, Rule.pszWord);
            for (const SwitchRule& Rule : kHelp) bKnown = bKnown || SameWord(sWord, Rule.pszWord);
            if (!bKnown) pUnknown->emplace_back(argv[i]);
        }
    }
    for (ServerSwitch Switch : {FindInPass(argc, argv, kFirstPass), FindInPass(argc, argv, kSecondPass),
                                FindInPass(argc, argv, kThirdPass), FindInPass(argc, argv, kHelp)}) {
        if (Switch != ServerSwitch::None) return Switch;
    }
    return ServerSwitch::None;
}

void RegisterServiceHelperClassObjects(HLIBRARY hModule, std::vector<DWORD>& Cookies) {
    constexpr DWORD nClassContext = CLSCTX_INPROC_SERVER;
    constexpr DWORD nFlags = REGCLS_MULTI_SEPARATE;
    UL_TRACE(corvane::TRACE_LEVEL_ERROR, "nClassContext %d, nFlags 0x%x\n", nClassContext, nFlags);
    if (hModule == nullptr) {
        // Without a display (or with a module that cannot be loaded) no window can show a page.
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE,
                 "The service helper serves no property pages: its user interface %s is not loaded\n",
                 kServerUserInterfaceModule);
        return;
    }
    const auto pfnGetClassObject =
        reinterpret_cast<PFN_DllGetClassObject>(GetProcAddress(hModule, "DllGetClassObject"));
    if (pfnGetClassObject == nullptr) corvane::ThrowHResult(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
    for (const CLSID* const* ppEntry = ppServiceHelperClassIdentifiers; *ppEntry != nullptr; ++ppEntry) {
        UL_ASSERT(CHarkwellServerModule::IsServiceHelperClassIdentifier(**ppEntry));
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "ClassIdentifier %s\n",
                 comrt::ToUtf8(corvane::GuidText(**ppEntry)).c_str());
        CComPtr<IUnknown> pFactory;
        UL_CHECK(pfnGetClassObject(**ppEntry, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory)));
        DWORD nCookie = 0;
        UL_CHECK(CoRegisterClassObject(**ppEntry, pFactory, nClassContext, nFlags, &nCookie));
        Cookies.push_back(nCookie);
    }
}

CHarkwellServerModule::CHarkwellServerModule()
    : CUlServiceModuleT(corvane::LoadStringResource(IDS_SERVICE_NAME), APPID_HarkwellServer),
      m_sModulePath(comrt::ToUtf16(corvane::GetModulePath())) {}

std::u16string CHarkwellServerModule::GetServiceDisplayName() const {
    return corvane::LoadStringResource(IDS_SERVICE_DISPLAY_NAME);
}

std::u16string CHarkwellServerModule::GetServiceDescription() const {
    return corvane::LoadStringResource(IDS_SERVICE_DESCRIPTION);
}

bool CHarkwellServerModule::ParseCommandLine(int argc, char** argv, int& nExitCode) {
    std::vector<std::string> Unknown;
    const ServerSwitch Switch = FindServerSwitch(argc, argv, &Unknown);
    for (const std::string& sArgument : Unknown) {
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "Unknown switch %s ignored\n", sArgument.c_str());
        std::fprintf(stderr, "HarkwellServer: unknown switch \"%s\" ignored (--help lists the switches)\n",
                     sArgument.c_str());
    }
    switch (Switch) {
        case ServerSwitch::None:
            return false;
        case ServerSwitch::About:
            nExitCode = ShowServerWindow(SERVER_WINDOW_ABOUT);
            return true;
        case ServerSwitch::Configuration:
            nExitCode = ShowServerWindow(SERVER_WINDOW_CONFIGURATION);
            return true;
        case ServerSwitch::Register:
            nExitCode = RunSwitch(&CHarkwellServerModule::RegisterInPresentMode);
            return true;
        case ServerSwitch::UnregServer:
            nExitCode = RunSwitch(&CHarkwellServerModule::Unregister);
            return true;
        case ServerSwitch::RegServer:
            nExitCode = RunSwitch(&CHarkwellServerModule::RegisterForApplicationMode);
            return true;
        case ServerSwitch::Service:
            nExitCode = RunSwitch(&CHarkwellServerModule::RegisterForServiceMode);
            return true;
        case ServerSwitch::UnitStarting:
            nExitCode = RunSwitch(&CHarkwellServerModule::RegisterUnderSystemUnit);
            return true;
        case ServerSwitch::UnitStopped:
            nExitCode = RunSwitch(&CHarkwellServerModule::EndSystemUnitServiceMode);
            return true;
        case ServerSwitch::Help:
            std::fputs(kUsage, stdout);
            nExitCode = 0;
            return true;
    }
    return false;
}

int CHarkwellServerModule::ShowServerWindow(int nWindow) {
    const char* pszWindow = nWindow == SERVER_WINDOW_ABOUT ? "About" : "Configuration";
    // Without a display there is nothing to show the window on; the toolkit is not even loaded.
    if (!HasDisplay()) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "The %s window needs a display; none is set\n", pszWindow);
        std::fprintf(stderr,
                     "HarkwellServer: the %s window needs a display, and none is set (DISPLAY or WAYLAND_DISPLAY)\n",
                     pszWindow);
        return static_cast<int>(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    }
    // A window run serves nothing: a stop signal ends it at once, as it ends any program with a window.
    UnblockStopSignals();
    std::string sReason;
    const HLIBRARY hModule = LoadLibraryPath(kServerUserInterfaceModule, &sReason);
    if (hModule == nullptr) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "The user interface %s cannot be loaded: %s\n",
                 kServerUserInterfaceModule, sReason.c_str());
        std::fprintf(stderr, "HarkwellServer: the user interface %s cannot be loaded: %s\n", kServerUserInterfaceModule,
                     sReason.c_str());
        return static_cast<int>(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    }
    const auto pfnShow = reinterpret_cast<PFN_ShowServerWindow>(GetProcAddress(hModule, kShowServerWindowName));
    const int nResult =
        pfnShow != nullptr ? pfnShow(nWindow) : static_cast<int>(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
    // The toolkit keeps threads and handlers of its own: the module stays loaded until the process ends.
    return nResult;
}

int CHarkwellServerModule::RunSwitch(void (CHarkwellServerModule::*pfnStep)()) {
    return static_cast<int>(corvane::GuardedCall([&] { (this->*pfnStep)(); }));
}

bool CHarkwellServerModule::IsRegisteredAsService() {
    CRegKey AppIdKey;
    std::u16string sLocalService;
    return AppIdKey.Open(HKEY_CLASSES_ROOT, AppIdKeyName(), KEY_READ) == ERROR_SUCCESS &&
           AppIdKey.QueryStringValue(u"LocalService", sLocalService) == ERROR_SUCCESS;
}

void CHarkwellServerModule::RegisterInPresentMode() {
    const bool bService = IsRegisteredAsService();
    // A service without a unit of the program's own runs under the system's unit (a package's): writing
    // one would take that unit's place, and stopping the service would stop the unit that runs it.
    const ServiceUnit Unit = bService && !IsInstalled() ? ServiceUnit::System : ServiceUnit::Own;
    if (Unit == ServiceUnit::System)
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "Registered again for Service Mode under the system's unit\n");
    RegisterAppId(bService, Unit);
    UL_CHECK(RegisterServer());
}

void CHarkwellServerModule::RegisterUnderSystemUnit() {
    RegisterAppId(true, ServiceUnit::System);
    UL_CHECK(RegisterServer());
}

void CHarkwellServerModule::EndSystemUnitServiceMode() {
    // Only the Service Mode that the system's unit began ends here: a program registered for Application
    // Mode or not at all stays so, and a service with a unit of the program's own (/Service) is not the
    // one that stopped.
    if (!IsRegisteredAsService()) return;
    if (IsInstalled()) {
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The program's own service unit is installed; Service Mode stays\n");
        std::fprintf(stderr,
                     "HarkwellServer: the service unit written by /Service is installed; the program stays "
                     "registered for Service Mode (/RegServer registers it for Application Mode)\n");
        return;
    }
    RegisterAppId(false, ServiceUnit::System);
    UL_CHECK(RegisterServer());
}

void CHarkwellServerModule::RegisterForApplicationMode() {
    RegisterAppId(false);
    UL_CHECK(RegisterServer());
}

void CHarkwellServerModule::RegisterForServiceMode() {
    RegisterAppId(true);
    UL_CHECK(RegisterServer());
}

void CHarkwellServerModule::Unregister() {
    UL_CHECK(UnregisterServer());
    UnregisterAppId();
}

void CHarkwellServerModule::RegisterAppId(bool bService, ServiceUnit Unit) {
    const bool bOwnUnit = Unit == ServiceUnit::Own;
    if (bOwnUnit && !Uninstall()) UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "Failed to uninstall appliaction\n");
    UpdateRegistryAppIdEx(true);
    {
        CRegKey AppIdKey;
        CheckRegistry(AppIdKey.Create(HKEY_CLASSES_ROOT, AppIdKeyName(), KEY_READ | KEY_WRITE));
        const LONG nDelete = AppIdKey.DeleteValue(u"LocalService");
        UL_ASSERT(nDelete == ERROR_SUCCESS || nDelete == ERROR_FILE_NOT_FOUND);
        if (bService) {
            CheckRegistry(AppIdKey.SetStringValue(u"LocalService", GetServiceName()));
            if (bOwnUnit && !Install()) {
                // The program stays registered as what it now is without the service: Application Mode.
                // A "LocalService" left behind would make every later start a service helper that finds
                // no service.
                AppIdKey.DeleteValue(u"LocalService");
                corvane::ThrowHResult(E_INSTALL_FAILED);
            }
        }
    }
    CRegKey AppIdKey;
    CheckRegistry(AppIdKey.Open(HKEY_CLASSES_ROOT, AppIdKeyName(), KEY_READ | KEY_WRITE));
    std::u16string sRunAs;
    const bool bRead = AppIdKey.QueryStringValue(u"RunAs", sRunAs) == ERROR_SUCCESS && sRunAs.size() < kMaxRunAs;
    if (!bService) {
        if (!bRead || sRunAs.empty()) CheckRegistry(AppIdKey.SetStringValue(u"RunAs", kInteractiveUser));
    } else if (bRead && comrt::EqualsNoCase(sRunAs, kInteractiveUser)) {
        CheckRegistry(AppIdKey.DeleteValue(u"RunAs"));
    }
    // The bus learns of the mode last: the session bus's activation file, or the system bus's policy.
    UL_CHECK(bOwnUnit || bService ? WriteBusFiles(bService, m_sModulePath) : RemoveBusFiles());
}

void CHarkwellServerModule::UnregisterAppId() {
    if (!Uninstall()) corvane::ThrowHResult(E_UNINSTALL_FAILED);
    UL_CHECK(RemoveBusFiles());
    CRegKey AppIdKey;
    if (AppIdKey.Open(HKEY_CLASSES_ROOT, AppIdKeyName(), KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
        const LONG nDelete = AppIdKey.DeleteValue(u"LocalService");
        if (nDelete != ERROR_FILE_NOT_FOUND) CheckRegistry(nDelete);
    }
    AppIdKey.Close();
    UpdateRegistryAppIdEx(false);
}

void CHarkwellServerModule::UpdateRegistryAppIdEx(bool bRegister) {
    UL_ASSERT(!m_sModulePath.empty());
    corvane::Replacements Replacements;
    const std::vector<corvane::RegistryScriptKey> Script = ServerScript(m_sModulePath, Replacements);
    UL_CHECK(corvane::UpdateRegistryFromScript(HKEY_CLASSES_ROOT, Script, Replacements, bRegister));
}

HRESULT CHarkwellServerModule::RegisterServer() {
    return ::RegisterServer(m_sModulePath);
}

HRESULT CHarkwellServerModule::UnregisterServer() {
    return ::UnregisterServer(m_sModulePath);
}

bool CHarkwellServerModule::IsServiceHelperClassIdentifier(REFCLSID ClassIdentifier) {
    UL_ASSERT(ppServiceHelperClassIdentifiers[0] != nullptr);
    for (const CLSID* const* ppEntry = ppServiceHelperClassIdentifiers; *ppEntry != nullptr; ++ppEntry)
        if (std::memcmp(*ppEntry, &ClassIdentifier, sizeof(CLSID)) == 0) return true;
    return false;
}

void CHarkwellServerModule::OnModeDecided() {
    SetServiceMode(IsServiceMode());
}

void CHarkwellServerModule::CreateUserInterface() {
    // The tray window holds a lock on the module while it exists, so that the process outlives its last
    // client. The lock is the program's (the user-interface module has its own module state), and it is
    // taken also without a tray: a per-user server stays until it is stopped.
    ModuleLock();
    m_bUserInterfaceLock = true;
    if (!HasDisplay()) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE,
                 "No display (DISPLAY or WAYLAND_DISPLAY): the server runs without a tray\n");
        std::fprintf(stderr, "HarkwellServer: no display is set; the server runs without its tray icon\n");
        return;
    }
    std::string sReason;
    const HLIBRARY hModule = LoadLibraryPath(kServerUserInterfaceModule, &sReason);
    const auto pfnCreate = hModule != nullptr
                               ? reinterpret_cast<PFN_CreateNotifyIcon>(GetProcAddress(hModule, kCreateNotifyIconName))
                               : nullptr;
    const auto pfnRun = hModule != nullptr
                            ? reinterpret_cast<PFN_RunNotifyIconLoop>(GetProcAddress(hModule, kRunNotifyIconLoopName))
                            : nullptr;
    const auto pfnDestroy =
        hModule != nullptr ? reinterpret_cast<PFN_DestroyNotifyIcon>(GetProcAddress(hModule, kDestroyNotifyIconName))
                           : nullptr;
    if (pfnCreate == nullptr || pfnRun == nullptr || pfnDestroy == nullptr) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "The user interface %s cannot be loaded: %s; no tray\n",
                 kServerUserInterfaceModule, hModule == nullptr ? sReason.c_str() : "an entry point is missing");
        return;
    }
    const HRESULT hr = pfnCreate(IsServiceHelper() ? 1 : 0);
    if (FAILED(hr)) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "The tray window cannot be made (0x%08x); the server runs without it\n",
                 static_cast<unsigned>(hr));
        return;
    }
    // The windows run: the module's property pages can be shown, so the service helper serves them.
    m_hUserInterface = hModule;
    // The toolkit keeps threads and handlers of its own: the module stays loaded until the process ends.
    m_pfnRunNotifyIconLoop = pfnRun;
    m_pfnDestroyNotifyIcon = pfnDestroy;
}

void CHarkwellServerModule::RunMessageLoop() {
    // The tray's windows need the toolkit's loop, which serves the thread's messages (WM_QUIT) as well.
    if (m_pfnRunNotifyIconLoop == nullptr) return CUlServiceModuleT::RunMessageLoop();
    if (!IsStopRequested()) m_pfnRunNotifyIconLoop();
}

void CHarkwellServerModule::DestroyUserInterface() {
    if (m_pfnDestroyNotifyIcon != nullptr) {
        m_pfnDestroyNotifyIcon();
        m_pfnDestroyNotifyIcon = nullptr;
        m_pfnRunNotifyIconLoop = nullptr;
        m_hUserInterface = nullptr;
    }
    if (!m_bUserInterfaceLock) return;
    m_bUserInterfaceLock = false;
    ModuleUnlock();
}

void CHarkwellServerModule::RegisterClassObjectsWhere(bool bServiceHelperClasses, DWORD nClassContext, DWORD nFlags,
                                                      bool bTrace) {
    if (bTrace) UL_TRACE(corvane::TRACE_LEVEL_ERROR, "nClassContext %d, nFlags 0x%x\n", nClassContext, nFlags);
    for (const corvane::ClassEntry& Entry : ServerClassTable().Entries()) {
        if (bServiceHelperClasses != IsServiceHelperClassIdentifier(*Entry.pClsid)) continue;
        if (bTrace) {
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "ClassIdentifier %s\n",
                     comrt::ToUtf8(corvane::GuidText(*Entry.pClsid)).c_str());
        }
        CComPtr<IUnknown> pFactory;
        UL_CHECK(
            ServerClassTable().GetClassObject(*Entry.pClsid, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory)));
        DWORD nCookie = 0;
        UL_CHECK(CoRegisterClassObject(*Entry.pClsid, pFactory, nClassContext, nFlags, &nCookie));
        m_ClassObjectCookies.push_back(nCookie);
    }
}

void CHarkwellServerModule::AttachBus() {
    // The service helper serves its pages in process only; the others publish their classes and the
    // application object on their bus. Without a bus the server still runs its scenarios: only other
    // processes cannot reach it, which is said once.
    if (IsServiceHelper()) return;
    // "none" keeps the process off the buses: tests that must not meet a real bus, stores run by hand.
    if (const char* pszBus = std::getenv(comrt::kClientBusVariable);
        pszBus != nullptr && std::strcmp(pszBus, "none") == 0) {
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "%s=none: the server stays off the buses\n", comrt::kClientBusVariable);
        return;
    }
    const comrt::BusKind Bus = IsServiceMode() ? comrt::BusKind::System : comrt::BusKind::Session;
    const HRESULT hr = comrt::CoAttachBus(Bus);
    if (SUCCEEDED(hr)) {
        m_bBusAttached = true;
        return;
    }
    const char* pszBus = Bus == comrt::BusKind::System ? "system" : "session";
    UL_TRACE(corvane::TRACE_LEVEL_FAILURE,
             "The %s bus cannot be reached (0x%08x): no other process can reach the server\n", pszBus,
             static_cast<unsigned>(hr));
    std::fprintf(stderr,
                 "HarkwellServer: the %s bus cannot be reached; the server runs, but no other process can reach it\n",
                 pszBus);
}

void CHarkwellServerModule::RegisterClassObjects() {
    AttachBus();
    if (IsServiceHelper()) {
        RegisterServiceHelperClassObjects(m_hUserInterface, m_ClassObjectCookies);
    } else if (IsServiceMode()) {
        RegisterClassObjectsWhere(false, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, true);
    } else {
        RegisterClassObjectsWhere(false, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, false);
        RegisterClassObjectsWhere(true, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, false);
    }
}

void CHarkwellServerModule::RevokeClassObjects() {
    for (DWORD nCookie : m_ClassObjectCookies) UL_ASSERT(SUCCEEDED(CoRevokeClassObject(nCookie)));
    m_ClassObjectCookies.clear();
    if (m_bBusAttached) {
        m_bBusAttached = false;
        comrt::CoDetachBus();
    }
}

void CHarkwellServerModule::PublishApplication() {
    // The application registers itself in the running object table while it runs, between its Starting
    // and Stopped events. The module's own registration around the whole run keeps the object published
    // (on the bus: exported, the name owned) from before Starting until after Stopped, so that listeners
    // hear the whole life cycle. A failure here (another instance owns the name) is only traced: the
    // application's start then says what is wrong.
    CComPtr<IRunningObjectTable> pTable;
    CComPtr<IMoniker> pName;
    DWORD nCookie = 0;
    const HRESULT hr = corvane::GuardedCall([&] {
        UL_CHECK(GetRunningObjectTable(0, &pTable));
        UL_CHECK(CreateItemMoniker(u"!", corvane::GuidText(CLSID_CApplication).c_str(), &pName));
        UL_CHECK(pTable->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE | ROTFLAGS_ALLOWANYCLIENT,
                                  static_cast<IApplication*>(g_pApplication), pName, &nCookie));
    });
    if (SUCCEEDED(hr)) m_nApplicationRegistration = nCookie;
}

void CHarkwellServerModule::WithdrawApplication() {
    if (m_nApplicationRegistration == 0) return;
    const DWORD nCookie = m_nApplicationRegistration;
    m_nApplicationRegistration = 0;
    CComPtr<IRunningObjectTable> pTable;
    if (SUCCEEDED(GetRunningObjectTable(0, &pTable))) UL_ASSERT(SUCCEEDED(pTable->Revoke(nCookie)));
}

void CHarkwellServerModule::PreMessageLoop() {
    CUlServiceModuleT::PreMessageLoop();
    if (IsServiceHelper()) {
        // The pages it serves reach the service's application object, which is on the system bus.
        comrt::CoSetClientBus(comrt::BusKind::System);
        std::fprintf(stderr, "Corvane Harkwell Server is running as the service helper (trace: %s).\n",
                     corvane::GetTraceLogPath().c_str());
        return;
    }
    if (g_pApplication == nullptr) {
        UL_CHECK(CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_ALL, IidOf<IApplication>(),
                                  reinterpret_cast<void**>(&m_pApplication)));
    }
    if (g_pApplication == nullptr) corvane::ThrowHResult(E_NO_APPLICATION);
    // The thread that runs the message loop: the main thread, or in Service Mode the service thread (the
    // main thread runs the control dispatcher there and has no loop).
    g_pApplication->SetMainThreadIdentifier(IsServiceMode() ? GetCurrentThreadId() : GetMainThreadIdentifier());
    PublishApplication();
    try {
        g_pApplication->Start();
    } catch (...) {
        // The object goes with this reference; its Start left nothing of another instance's behind.
        WithdrawApplication();
        m_pApplication.Release();
        throw;
    }
    if (!IsServiceMode()) {
        std::fprintf(stderr, "Corvane Harkwell Server is running (trace: %s). Press Ctrl-C to stop.\n",
                     corvane::GetTraceLogPath().c_str());
    }
}

void CHarkwellServerModule::PostMessageLoop() {
    UL_ASSERT(g_pApplication != nullptr || IsServiceHelper());
    if (g_pApplication != nullptr) g_pApplication->Stop();
    WithdrawApplication();
    m_pApplication.Release();
    CUlServiceModuleT::PostMessageLoop();
}

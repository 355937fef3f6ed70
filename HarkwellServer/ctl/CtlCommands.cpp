#include "CtlCommands.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "comrt/bus.h"
#include "comrt/console.h"
#include "comrt/oleauto.h"
#include "comrt/runtime.h"
#include "comrt/text.h"
#include "corvane/ulcategories.h"
#include "corvane/ulguard.h"
#include "corvane/ulobject.h"
#include "corvane/ulregister.h"
#include "corvane/ulregistry.h"

namespace harkwellctl {
namespace {

void ExpectCount(const Arguments& Args, std::size_t nMin, std::size_t nMax, const char* pszCommand) {
    if (Args.size() < nMin || Args.size() > nMax)
        ThrowUsage(std::string("wrong number of arguments for \"") + pszCommand + "\"");
}

const char* EventTypeText(LONG nType) {
    switch (nType) {
        case EVENTTYPE_INFORMATION:
            return "Information";
        case EVENTTYPE_WARNING:
            return "Warning";
        case EVENTTYPE_ERROR:
            return "Error";
        default:
            return "Event";
    }
}

CComPtr<INotifications> NotificationsOf(IScenario* pScenario) {
    CComPtr<INotifications> pNotifications;
    Check(pScenario->get_Notifications(&pNotifications), "reaching the scenario's notifications");
    return pNotifications;
}

LONG CountOf(INotifications* pNotifications) {
    LONG nCount = 0;
    Check(pNotifications->get_Count(&nCount), "counting the notifications");
    return nCount;
}

CComPtr<INotification> NotificationAt(INotifications* pNotifications, LONG nIndex) {
    VARIANT vIndex;
    VariantInit(&vIndex);
    vIndex.vt = VT_I4;
    vIndex.lVal = nIndex;
    CComPtr<INotification> pNotification;
    Check(pNotifications->get_Item(vIndex, &pNotification), "finding notification " + std::to_string(nIndex));
    return pNotification;
}

// One line per value: line breaks and tabs are written as C escapes. Passwords are write-only over the bus
// (the server answers a read with an empty text), and whatever comes back for one is never shown.
std::string DisplayValue(const std::string& sName, const std::string& sValue) {
    if (sName.find("Password") != std::string::npos) return "(write-only)";
    std::string sLine;
    for (char c : sValue) {
        if (c == '\r')
            sLine += "\\r";
        else if (c == '\n')
            sLine += "\\n";
        else if (c == '\t')
            sLine += "\\t";
        else if (c == '\\')
            sLine += "\\\\";
        else
            sLine += c;
    }
    return sLine;
}

void PrintProperties(const CPluginInterfaces& Plugins, IUnknown* pObject) {
    for (const auto& Property : Plugins.ReadProperties(pObject))
        std::cout << "    " << Property.sName << " = " << DisplayValue(Property.sName, Property.sValue) << "\n";
}

// One object of a create command: its class and the assignments that follow it.
struct CPluginRequest {
    bool bActivity = false;
    std::string sClass;
    Arguments Assignments;
};

// Prints each event of the application object until the program is asked to stop. The bus connection may
// give its reference back after Unadvise, on its own thread: the printer lives as long as anyone holds it.
class CEventPrinter : public _ApplicationEvents {
public:
    using Interfaces = InterfaceList<InterfaceEntry<_ApplicationEvents>, InterfaceEntry<IDispatch, _ApplicationEvents>>;

    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        *ppTInfo = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID nDispid, REFIID, LCID, WORD, DISPPARAMS* pParams, VARIANT*, EXCEPINFO*, UINT*) override {
        std::string sLine;
        switch (nDispid) {
            case DISPID_ApplicationEvents_Starting:
                sLine = "Starting";
                break;
            case DISPID_ApplicationEvents_Started:
                sLine = "Started";
                break;
            case DISPID_ApplicationEvents_Stopping:
                sLine = "Stopping";
                break;
            case DISPID_ApplicationEvents_Stopped:
                sLine = "Stopped";
                break;
            case DISPID_ApplicationEvents_Event: {
                // Arguments arrive last first: the description, then the type.
                if (pParams == nullptr || pParams->cArgs < 2) return DISP_E_BADPARAMCOUNT;
                VARIANT vType;
                VariantInit(&vType);
                const LONG nType =
                    SUCCEEDED(VariantChangeType(&vType, &pParams->rgvarg[1], 0, VT_I4)) ? vType.lVal : -1;
                sLine = std::string("Event ") + EventTypeText(nType) + ": " + VariantText(pParams->rgvarg[0]);
                break;
            }
            default:
                sLine = "Event " + std::to_string(nDispid);
                break;
        }
        std::cout << sLine << std::endl;
        return S_OK;
    }
};

// SIGINT and SIGTERM end watch, whichever thread of the process (the runtime and the bus connection have
// their own) the signal is delivered to: they set the runtime's stop signal event, which the command waits on.
void WaitForStopSignal() {
    std::string sReason;
    const HANDLE hStopEvent = comrt::CreateStopSignalEvent(&sReason);
    // Usually too many open files; the system's own words say which.
    if (hStopEvent == nullptr)
        Check(HRESULT_FROM_WIN32(GetLastError()), "making the pipe that waits for a stop signal (" + sReason + ")");
    WaitForSingleObject(hStopEvent, INFINITE);
    CloseHandle(hStopEvent);
}

// The number n of "notification:<n>"; a usage error for other text.
LONG NotificationNumber(const std::string& sTarget) {
    if (sTarget.rfind("notification:", 0) != 0) ThrowUsage("\"" + sTarget + "\" is no \"notification:<n>\"");
    const std::string sNumber = sTarget.substr(13);
    if (sNumber.empty() || sNumber.size() > 9 || sNumber.find_first_not_of("0123456789") != std::string::npos)
        ThrowUsage("\"" + sTarget + "\" names no notification");
    return static_cast<LONG>(std::stol(sNumber));
}

// The longest a delivery may take (the SMTP client's MAX_DELIVERY_TIME, whatever the time-out), and a
// margin for the bus: the test command's call waits that long for its answer.
constexpr DWORD kTestCallTimeout = 10 * 60 * 1000 + 60 * 1000;

}  // namespace

std::string RegisteredMode() {
    CRegKey Key;
    if (Key.Open(HKEY_CLASSES_ROOT, u"AppID\\" + corvane::GuidText(APPID_HarkwellServer), KEY_READ) != ERROR_SUCCESS)
        return "not registered";
    std::u16string sService;
    return Key.QueryStringValue(u"LocalService", sService) == ERROR_SUCCESS && !sService.empty() ? "Service"
                                                                                                 : "Application";
}

int RunStatus(const Arguments& Args) {
    ExpectCount(Args, 0, 0, "status");
    CComPtr<IApplication> pApplication = ConnectApplication();
    VARIANT_BOOL bEnabled = VARIANT_FALSE;
    Check(pApplication->get_Enabled(&bEnabled), "reading Enabled");
    EVENTTYPE nType = EVENTTYPE_INFORMATION;
    CBstr sDescription;
    VARIANT_BOOL bValid = VARIANT_FALSE;
    Check(pApplication->QueryLastEvent(&nType, &sDescription, &bValid), "reading the last event");
    // The server does not say which mode it runs in; its registration does.
    std::cout << "Mode: " << RegisteredMode() << "\n"
              << "Enabled: " << (bEnabled != VARIANT_FALSE ? "yes" : "no") << "\n"
              << "Last event: "
              << (bValid != VARIANT_FALSE ? std::string(EventTypeText(nType)) + ": " + sDescription.Utf8() : "none")
              << "\n";
    return EXITCODE_OK;
}

int RunEnable(const Arguments& Args, bool bEnable) {
    ExpectCount(Args, 0, 0, bEnable ? "enable" : "disable");
    CComPtr<IApplication> pApplication = ConnectApplication();
    Check(pApplication->put_Enabled(bEnable ? VARIANT_TRUE : VARIANT_FALSE), bEnable ? "enabling" : "disabling");
    return EXITCODE_OK;
}

int RunClasses(const Arguments& Args) {
    ExpectCount(Args, 0, 1, "classes");
    bool bActivities = true, bNotifications = true;
    if (Args.size() == 1) {
        if (Args[0] == "activities")
            bNotifications = false;
        else if (Args[0] == "notifications")
            bActivities = false;
        else
            ThrowUsage("\"" + Args[0] + "\" is neither \"activities\" nor \"notifications\"");
    }
    auto PrintCategory = [](const CATID& Catid, const char* pszHeading) {
        std::cout << pszHeading << ":\n";
        try {
            CCategoryClassEnumerator Classes(Catid);
            CLSID Clsid;
            while (Classes.Next(Clsid)) {
                std::string sProgId = "-";
                LPOLESTR pszProgId = nullptr;
                if (SUCCEEDED(ProgIDFromCLSID(Clsid, &pszProgId)) && pszProgId) sProgId = comrt::ToUtf8(pszProgId);
                CoTaskMemFree(pszProgId);
                std::u16string sName;
                CRegKey Key;
                if (Key.Open(HKEY_CLASSES_ROOT, u"CLSID\\" + comrt::ToUtf16(GuidText(Clsid)), KEY_READ) ==
                    ERROR_SUCCESS)
                    Key.QueryStringValue(u"", sName);
                std::cout << "  " << GuidText(Clsid) << "  " << sProgId << "  " << comrt::ToUtf8(sName) << "\n";
            }
        } catch (const corvane::CHResultException& e) {
            Check(e.GetResult(), "reading the class registrations");
        }
    };
    if (bActivities) PrintCategory(CATID_CorvaneHarkwellActivities, "Activities");
    if (bNotifications) PrintCategory(CATID_CorvaneHarkwellNotifications, "Notifications");
    return EXITCODE_OK;
}

int RunList(const Arguments& Args) {
    ExpectCount(Args, 0, 0, "list");
    CComPtr<IApplication> pApplication = ConnectApplication();
    CComPtr<IScenarios> pScenarios = ScenariosOf(pApplication);
    LONG nCount = 0;
    Check(pScenarios->get_Count(&nCount), "counting the scenarios");
    // The titles are read by the paths of the application's objects, all of one kind sent at once: the
    // scenarios' activity titles and notification counts, then the notifications' titles.
    const std::string sScenarios = std::string(comrt::kApplicationPath) + "/Manager/Scenarios/";
    CPropertyReads Counts;
    for (LONG i = 0; i < nCount; ++i) {
        Counts.Add(sScenarios + std::to_string(i) + "/Activity", IidOf<IActivity>(), "Title");
        Counts.Add(sScenarios + std::to_string(i) + "/Notifications", IidOf<INotifications>(), "Count");
    }
    Counts.Run("reading the scenarios");
    CPropertyReads Titles;
    std::vector<LONG> NotificationCounts(static_cast<std::size_t>(nCount));
    for (LONG i = 0; i < nCount; ++i) {
        const std::size_t nRead = 2 * static_cast<std::size_t>(i) + 1;
        Check(Counts.Result(nRead), "counting the notifications");
        const LONG nNotifications = Counts.Number(nRead);
        NotificationCounts[static_cast<std::size_t>(i)] = nNotifications;
        for (LONG n = 0; n < nNotifications; ++n)
            Titles.Add(sScenarios + std::to_string(i) + "/Notifications/" + std::to_string(n), IidOf<INotification>(),
                       "Title");
    }
    Titles.Run("reading the notifications");
    std::size_t nTitle = 0;
    for (LONG i = 0; i < nCount; ++i) {
        // A scenario without an activity has no view of one.
        const std::size_t nRead = 2 * static_cast<std::size_t>(i);
        std::cout << i << ": " << (Counts.Result(nRead) == RPC_E_DISCONNECTED ? "(none)" : Counts.Title(nRead)) << "\n";
        for (LONG n = 0; n < NotificationCounts[static_cast<std::size_t>(i)]; ++n)
            std::cout << "    " << Titles.Title(nTitle++) << "\n";
    }
    if (nCount == 0) std::cout << "No scenarios.\n";
    return EXITCODE_OK;
}

int RunCreate(const Arguments& Args) {
    std::vector<CPluginRequest> Requests;
    for (std::size_t i = 0; i < Args.size(); ++i) {
        const std::string& sWord = Args[i];
        if (sWord == "--activity" || sWord == "--notification") {
            if (i + 1 >= Args.size()) ThrowUsage(sWord + " needs a ProgID or class identifier");
            Requests.push_back({sWord == "--activity", Args[++i], {}});
        } else if (sWord == "--set") {
            if (i + 1 >= Args.size()) ThrowUsage("--set needs a Name=Value assignment");
            if (Requests.empty()) ThrowUsage("--set must follow --activity or --notification");
            if (Args[i + 1].find('=') == std::string::npos || Args[i + 1].front() == '=')
                ThrowUsage("\"" + Args[i + 1] + "\" is no Name=Value assignment");
            Requests.back().Assignments.push_back(Args[++i]);
        } else {
            ThrowUsage("unexpected \"" + sWord + "\"");
        }
    }
    if (Requests.empty() || !Requests.front().bActivity ||
        std::count_if(Requests.begin(), Requests.end(), [](const CPluginRequest& r) { return r.bActivity; }) != 1)
        ThrowUsage("create takes one --activity first, then any number of --notification");

    CComPtr<IApplication> pApplication = ConnectApplication();
    CComPtr<IScenarios> pScenarios = ScenariosOf(pApplication);
    const CPluginInterfaces Plugins;
    // Every object is made and configured before the scenario is added, so that a bad class or value
    // leaves no half-made scenario behind.
    CComPtr<IActivity> pActivity;
    std::vector<CComPtr<INotification>> Notifications;
    for (const CPluginRequest& Request : Requests) {
        VARIANT vClass;
        VariantInit(&vClass);
        vClass.vt = VT_BSTR;
        vClass.bstrVal = SysAllocString(comrt::ToUtf16(ResolveClass(Request.sClass)).c_str());
        HRESULT hr = S_OK;
        CComPtr<IUnknown> pObject;
        if (Request.bActivity) {
            hr = pScenarios->CreateActivity(vClass, &pActivity);
            pObject = pActivity.p;
        } else {
            CComPtr<INotification> pNotification;
            hr = pScenarios->CreateNotification(vClass, &pNotification);
            pObject = pNotification.p;
            Notifications.push_back(pNotification);
        }
        VariantClear(&vClass);
        Check(hr, std::string("creating the ") + (Request.bActivity ? "activity " : "notification ") + Request.sClass);
        Plugins.WriteAssignments(pObject, Request.Assignments);
    }

    CComPtr<IScenario> pScenario;
    Check(pScenarios->Add(&pScenario), "adding the scenario");
    try {
        CComPtr<INotifications> pNotifications = NotificationsOf(pScenario);
        for (const auto& pNotification : Notifications)
            Check(pNotifications->Add(pNotification), "adding a notification to the scenario");
        Check(pScenario->put_Activity(pActivity), "giving the scenario its activity");
        // A scenario added by a client runs its activity only when that client starts it.
        Check(pActivity->Start(), "starting the activity");
    } catch (const CCtlError&) {
        pScenarios->Remove(pScenario);
        throw;
    }
    LONG nCount = 0;
    Check(pScenarios->get_Count(&nCount), "counting the scenarios");
    std::cout << "Created scenario " << nCount - 1 << ": " << TitleOf(pActivity) << "\n";
    return EXITCODE_OK;
}

int RunShow(const Arguments& Args) {
    ExpectCount(Args, 1, 1, "show");
    CComPtr<IApplication> pApplication = ConnectApplication();
    CComPtr<IScenarios> pScenarios = ScenariosOf(pApplication);
    CComPtr<IScenario> pScenario = ScenarioAt(pScenarios, Args[0]);
    const CPluginInterfaces Plugins;
    CComPtr<IActivity> pActivity;
    Check(pScenario->get_Activity(&pActivity), "reading the scenario's activity");
    std::cout << "Scenario " << Args[0] << "\n";
    std::cout << "  activity: " << TitleOf(pActivity) << "\n";
    if (pActivity) PrintProperties(Plugins, pActivity);
    CComPtr<INotifications> pNotifications = NotificationsOf(pScenario);
    const LONG nCount = CountOf(pNotifications);
    for (LONG n = 0; n < nCount; ++n) {
        CComPtr<INotification> pNotification = NotificationAt(pNotifications, n);
        std::cout << "  notification:" << n << ": " << TitleOf(pNotification) << "\n";
        PrintProperties(Plugins, pNotification);
    }
    return EXITCODE_OK;
}

int RunSet(const Arguments& Args) {
    if (Args.size() < 3) ThrowUsage("set takes an index, activity or notification:<n>, and Name=Value items");
    const std::string& sTarget = Args[1];
    const bool bActivity = sTarget == "activity";
    std::string sNotification;
    if (!bActivity) {
        if (sTarget.rfind("notification:", 0) != 0)
            ThrowUsage("\"" + sTarget + "\" is neither \"activity\" nor \"notification:<n>\"");
        sNotification = std::to_string(NotificationNumber(sTarget));
    }
    const Arguments Assignments(Args.begin() + 2, Args.end());
    for (const std::string& sItem : Assignments)
        if (sItem.find('=') == std::string::npos || sItem.front() == '=')
            ThrowUsage("\"" + sItem + "\" is no Name=Value assignment");

    CComPtr<IApplication> pApplication = ConnectApplication();
    CComPtr<IScenarios> pScenarios = ScenariosOf(pApplication);
    CComPtr<IScenario> pScenario = ScenarioAt(pScenarios, Args[0]);
    CComPtr<IUnknown> pObject;
    if (bActivity) {
        CComPtr<IActivity> pActivity;
        Check(pScenario->get_Activity(&pActivity), "reading the scenario's activity");
        if (!pActivity) throw CCtlError(EXITCODE_FAILED, "scenario " + Args[0] + " has no activity");
        pObject = pActivity.p;
    } else {
        pObject = NotificationAt(NotificationsOf(pScenario), static_cast<LONG>(std::stol(sNotification))).p;
    }
    const CPluginInterfaces Plugins;
    Plugins.WriteAssignments(pObject, Assignments, true);
    return EXITCODE_OK;
}

int RunTest(const Arguments& Args) {
    ExpectCount(Args, 2, 2, "test");
    const LONG nNotification = NotificationNumber(Args[1]);
    CComPtr<IApplication> pApplication = ConnectApplication();
    CComPtr<IScenarios> pScenarios = ScenariosOf(pApplication);
    CComPtr<IScenario> pScenario = ScenarioAt(pScenarios, Args[0]);
    CComPtr<INotifications> pNotifications = NotificationsOf(pScenario);
    const LONG nCount = CountOf(pNotifications);
    if (nNotification >= nCount)
        throw CCtlError(EXITCODE_FAILED, "scenario " + Args[0] + " has no notification " +
                                             std::to_string(nNotification) + " (it has " + std::to_string(nCount) +
                                             ")");
    CComPtr<INotification> pNotification = NotificationAt(pNotifications, nNotification);
    const CPluginInterfaces Plugins;
    DISPID nDispid = DISPID_UNKNOWN;
    CComPtr<IDispatch> pTarget = Plugins.FindMethod(pNotification, "SendTestMessage", &nDispid);
    if (!pTarget)
        throw CCtlError(EXITCODE_FAILED, "notification " + std::to_string(nNotification) + " (" +
                                             TitleOf(pNotification) + ") cannot send a test message");
    // The delivery runs within the call; it may take longer than a bus call usually waits.
    Check(comrt::CoSetBusCallTimeout(kTestCallTimeout), "setting the time the test may take");
    LONG nResult = S_OK;
    CBstr sReport;
    VARIANT pvArguments[2];
    VariantInit(&pvArguments[0]);
    VariantInit(&pvArguments[1]);
    // Arguments go last first.
    pvArguments[1].vt = VT_BYREF | VT_I4;
    pvArguments[1].plVal = &nResult;
    pvArguments[0].vt = VT_BYREF | VT_BSTR;
    pvArguments[0].pbstrVal = &sReport;
    DISPPARAMS Params{pvArguments, nullptr, 2, 0};
    Check(pTarget->Invoke(nDispid, IID_NULL, 0, DISPATCH_METHOD, &Params, nullptr, nullptr, nullptr),
          "sending the test message");
    if (SUCCEEDED(nResult)) {
        std::cout << "Test message delivered.\n";
        return EXITCODE_OK;
    }
    std::cout << "Test message not delivered: " << sReport.Utf8() << "\n";
    return EXITCODE_FAILED;
}

int RunDelete(const Arguments& Args) {
    ExpectCount(Args, 1, 1, "delete");
    CComPtr<IApplication> pApplication = ConnectApplication();
    CComPtr<IScenarios> pScenarios = ScenariosOf(pApplication);
    CComPtr<IScenario> pScenario = ScenarioAt(pScenarios, Args[0]);
    Check(pScenarios->Remove(pScenario), "removing scenario " + Args[0]);
    return EXITCODE_OK;
}

int RunSave(const Arguments& Args) {
    ExpectCount(Args, 0, 0, "save");
    Check(ConnectApplication()->Save(), "saving the scenarios");
    return EXITCODE_OK;
}

int RunWatch(const Arguments& Args) {
    ExpectCount(Args, 0, 0, "watch");
    CComPtr<IApplication> pApplication = ConnectApplication();
    CComQIPtr<IConnectionPointContainer> pContainer(pApplication.p);
    if (!pContainer) Check(E_NOINTERFACE, "reaching the application's events");
    CComPtr<IConnectionPoint> pPoint;
    Check(pContainer->FindConnectionPoint(IidOf<_ApplicationEvents>(), &pPoint), "finding the application's events");
    CComObjectT<CEventPrinter>* pNewPrinter = nullptr;
    Check(CComObjectT<CEventPrinter>::CreateInstance(&pNewPrinter), "making the event printer");
    CComPtr<IDispatch> pPrinter;
    pPrinter.Attach(static_cast<_ApplicationEvents*>(pNewPrinter));
    DWORD nCookie = 0;
    Check(pPoint->Advise(pPrinter, &nCookie), "subscribing to the application's events");
    std::cout << "Watching the server's events; Ctrl-C ends." << std::endl;
    WaitForStopSignal();
    pPoint->Unadvise(nCookie);
    return EXITCODE_OK;
}

int RunTerminate(const Arguments& Args) {
    ExpectCount(Args, 0, 0, "terminate");
    Check(ConnectApplication()->Terminate(), "terminating the server");
    return EXITCODE_OK;
}

}  // namespace harkwellctl

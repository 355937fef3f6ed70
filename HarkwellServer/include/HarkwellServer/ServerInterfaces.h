// The server's object model beyond the plug-in contract: scenarios, their notification lists, the scenario
// collection and the manager. Clients reach them through the application object or by creating a manager.
#pragma once

#include "HarkwellServer/Interfaces.h"

struct INotifications;

// One activity bound to an ordered list of notifications. State is the whole configuration as text.
struct IScenario : IDispatch {
    static constexpr IID kIid = MakeGuid("{058B250E-64F2-4469-BCCA-34E4C93C3A09}");
    virtual HRESULT get_State(BSTR* psState) = 0;
    virtual HRESULT put_State(BSTR sState) = 0;
    virtual HRESULT get_Activity(IActivity** ppActivity) = 0;
    virtual HRESULT put_Activity(IActivity* pActivity) = 0;
    virtual HRESULT get_Notifications(INotifications** ppNotifications) = 0;
};
constexpr DISPID DISPID_Scenario_State = 0xFFFF;

// A scenario's notifications, in the order they are handed each event.
struct INotifications : IDispatch {
    static constexpr IID kIid = MakeGuid("{190D6C02-B6BB-4DF7-B977-10AB9E205B3A}");
    virtual HRESULT get_Item(VARIANT vIndex, INotification** ppNotification) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnum) = 0;
    virtual HRESULT get_Count(LONG* pnCount) = 0;
    virtual HRESULT Add(INotification* pNotification) = 0;
    virtual HRESULT Remove(INotification* pNotification) = 0;
};

// Every scenario of the server; also makes plug-in objects by class identifier.
struct IScenarios : IDispatch {
    static constexpr IID kIid = MakeGuid("{6F56A43E-67B3-4020-AF85-1C152C9C8853}");
    virtual HRESULT get_Item(VARIANT vIndex, IScenario** ppScenario) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnum) = 0;
    virtual HRESULT get_Count(LONG* pnCount) = 0;
    virtual HRESULT Add(IScenario** ppScenario) = 0;
    virtual HRESULT Remove(IScenario* pScenario) = 0;
    virtual HRESULT CreateActivity(VARIANT vClass, IActivity** ppActivity) = 0;
    virtual HRESULT CreateNotification(VARIANT vClass, INotification** ppNotification) = 0;
};

// The creatable entry object: creating one loads and starts the stored scenarios, releasing it saves them.
struct IManager : IDispatch {
    static constexpr IID kIid = MakeGuid("{082941BD-51D9-4BBF-9430-7BE909A47AAC}");
    virtual HRESULT get_Scenarios(IScenarios** ppScenarios) = 0;
};

constexpr CLSID CLSID_CScenario = MakeGuid("{3C1CE888-F5A7-47B4-8056-85A7CF2E6828}");
constexpr CLSID CLSID_CScenarioPropertyPage = MakeGuid("{1549D24D-1D32-4217-BAE2-528A254A0029}");
constexpr CLSID CLSID_CNotifications = MakeGuid("{67DDA0FE-30A7-4848-8865-44DE2544F37F}");
constexpr CLSID CLSID_CScenarios = MakeGuid("{71A5E712-22E5-472C-9588-83F9AD583BEF}");
constexpr CLSID CLSID_CManager = MakeGuid("{0CD58AA1-AA10-48C1-80FC-A00585098771}");

COMRT_DESCRIBE_INTERFACE(IScenario, "IScenario Interface", comrt::InterfaceKind::Dual,
                         comrt::LocalPropGet<&IScenario::get_State>(DISPID_Scenario_State, "State", 1, "psState"),
                         comrt::PropPut<&IScenario::put_State>(DISPID_Scenario_State, "State", 2, "sState"),
                         comrt::PropGet<&IScenario::get_Activity>(1, "Activity", 3, "ppActivity"),
                         comrt::PropPut<&IScenario::put_Activity>(1, "Activity", 4, "pActivity"),
                         comrt::PropGet<&IScenario::get_Notifications>(2, "Notifications", 5, "ppNotifications"));

COMRT_DESCRIBE_INTERFACE(INotifications, "INotifications Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&INotifications::get_Item>(DISPID_VALUE, "Item", 1, "vIndex,ppNotification"),
                         comrt::PropGet<&INotifications::get__NewEnum>(DISPID_NEWENUM, "_NewEnum", 2, "ppEnum"),
                         comrt::PropGet<&INotifications::get_Count>(1, "Count", 3, "pnCount"),
                         comrt::Method<&INotifications::Add>(2, "Add", 4, "pNotification"),
                         comrt::Method<&INotifications::Remove>(3, "Remove", 5, "pNotification"));

COMRT_DESCRIBE_INTERFACE(IScenarios, "IScenarios Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&IScenarios::get_Item>(DISPID_VALUE, "Item", 1, "vIndex,ppScenario"),
                         comrt::PropGet<&IScenarios::get__NewEnum>(DISPID_NEWENUM, "_NewEnum", 2, "ppEnum"),
                         comrt::PropGet<&IScenarios::get_Count>(1, "Count", 3, "pnCount"),
                         comrt::Method<&IScenarios::Add, true>(2, "Add", 4, "ppScenario"),
                         comrt::Method<&IScenarios::Remove>(3, "Remove", 5, "pScenario"),
                         comrt::Method<&IScenarios::CreateActivity, true>(4, "CreateActivity", 6, "vClass,ppActivity"),
                         comrt::Method<&IScenarios::CreateNotification, true>(5, "CreateNotification", 7,
                                                                              "vClass,ppNotification"));

COMRT_DESCRIBE_INTERFACE(IManager, "IManager Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&IManager::get_Scenarios>(1, "Scenarios", 1, "ppScenarios"));

// The server's engine in one process: its life cycle, its Enabled setting, its manager and its last event.
struct IApplication : IDispatch {
    static constexpr IID kIid = MakeGuid("{EFC05734-2CAD-4284-B0B2-549A4B6D9560}");
    virtual HRESULT Terminate() = 0;
    // pbValid receives VARIANT_FALSE, and the other two nothing, while no event was recorded.
    virtual HRESULT QueryLastEvent(EVENTTYPE* pType, BSTR* psDescription, VARIANT_BOOL* pbValid) = 0;
    virtual HRESULT Save() = 0;
    virtual HRESULT get_Enabled(VARIANT_BOOL* pbEnabled) = 0;
    virtual HRESULT put_Enabled(VARIANT_BOOL bEnabled) = 0;
    virtual HRESULT get_Manager(IManager** ppManager) = 0;
};
constexpr DISPID DISPID_Application_Enabled = 4;

// The outgoing interface of the application object: a pure dispatch interface.
struct _ApplicationEvents : IDispatch {
    static constexpr IID kIid = MakeGuid("{AB77BF0C-3E6F-4B24-B00A-A76F494DCDB8}");
};
constexpr DISPID DISPID_ApplicationEvents_Starting = 1;
constexpr DISPID DISPID_ApplicationEvents_Started = 2;
constexpr DISPID DISPID_ApplicationEvents_Stopping = 3;
constexpr DISPID DISPID_ApplicationEvents_Stopped = 4;
constexpr DISPID DISPID_ApplicationEvents_Event = 5;

constexpr CLSID CLSID_CApplication = MakeGuid("{4DBD069D-7386-42A4-9A0E-13BA54BD19F9}");
constexpr CLSID CLSID_CStatusPropertyPage = MakeGuid("{EE534334-98FE-4D50-85B9-AE63DCB42780}");
constexpr CLSID CLSID_CScenariosPropertyPage = MakeGuid("{4DDF9AF4-635D-4576-98F8-611A5BB25738}");

COMRT_DESCRIBE_INTERFACE(
    IApplication, "IApplication Interface", comrt::InterfaceKind::Dual,
    comrt::Method<&IApplication::Terminate>(1, "Terminate", 1),
    comrt::Method<&IApplication::QueryLastEvent, true>(2, "QueryLastEvent", 2, "pType,psDescription,pbValid"),
    comrt::Method<&IApplication::Save>(3, "Save", 3),
    comrt::PropGet<&IApplication::get_Enabled>(DISPID_Application_Enabled, "Enabled", 4, "pbEnabled"),
    comrt::PropPut<&IApplication::put_Enabled>(DISPID_Application_Enabled, "Enabled", 5, "bEnabled"),
    comrt::PropGet<&IApplication::get_Manager>(5, "Manager", 6, "ppManager"));

COMRT_DESCRIBE_INTERFACE(_ApplicationEvents, "_ApplicationEvents Interface", comrt::InterfaceKind::DispatchOnly,
                         comrt::Event<>(DISPID_ApplicationEvents_Starting, "Starting"),
                         comrt::Event<>(DISPID_ApplicationEvents_Started, "Started"),
                         comrt::Event<>(DISPID_ApplicationEvents_Stopping, "Stopping"),
                         comrt::Event<>(DISPID_ApplicationEvents_Stopped, "Stopped"),
                         comrt::Event<VT_I4, VT_BSTR>(DISPID_ApplicationEvents_Event, "Event", "Type,sDescription"));

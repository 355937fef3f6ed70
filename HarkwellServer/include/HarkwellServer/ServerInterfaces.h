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
                         comrt::PropGet<&IScenario::get_State>(DISPID_Scenario_State, "State", 1, "psState"),
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

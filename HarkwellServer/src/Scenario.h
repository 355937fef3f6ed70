// A scenario: one activity bound to an ordered list of notifications. The scenario subscribes to its
// activity's events and hands each event to every notification of its list, in list order, while it holds
// its data lock. Its whole configuration is the text property State, which the storage writes.
//
// Locks, always taken in this order: the scenario's data lock, then its notification list's lock, then the
// activity data's lock. The event path takes the activity data's lock only to read the activity and lets it
// go before it takes the scenario's lock.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "HarkwellServer/ServerInterfaces.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"

// A scenario's notifications. Each element holds a reference; an object is in the list at most once.
class CNotifications : public comrt::IDispatchImplT<INotifications>, public CBasePersistT<CNotifications> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<INotifications>, InterfaceEntry<IDispatch, INotifications>>;
    using NotificationList = std::vector<CComPtr<INotification>>;

    CNotifications() : CBasePersistT<CNotifications>(&m_DataCriticalSection) {}
    static const CLSID& GetObjectCLSID() { return CLSID_CNotifications; }

    // INotifications
    HRESULT get_Item(VARIANT vIndex, INotification** ppNotification) override;
    HRESULT get__NewEnum(IUnknown** ppEnum) override;
    HRESULT get_Count(LONG* pnCount) override;
    HRESULT Add(INotification* pNotification) override;
    HRESULT Remove(INotification* pNotification) override;

    // Copies the references, in order, into List, which must be empty.
    void GetList(NotificationList& List);
    // Changed itself, or any element whose IPersistStreamInit says it changed.
    bool IsDirty();

private:
    CUlCriticalSection m_DataCriticalSection;
    NotificationList m_NotificationList;
};

using CNotificationsObject = CComObjectT<CNotifications>;

class CScenario : public comrt::IDispatchImplT<IScenario>,
                  public CBasePersistT<CScenario>,
                  public IUlPersistStreamInitT<CScenario>,
                  public IUlSpecifyPropertyPagesT<CScenario> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IScenario>, InterfaceEntry<IDispatch, IScenario>,
                                     InterfaceEntry<IPersistStreamInit>, InterfaceEntry<IPersist, IPersistStreamInit>,
                                     InterfaceEntry<ISpecifyPropertyPages>>;
    class CActivityData;

    CScenario();
    HRESULT FinalConstruct();
    void FinalRelease();

    static const CLSID& GetObjectCLSID() { return CLSID_CScenario; }
    BEGIN_UL_PROPERTY_MAP(CScenario)
    UL_PROPERTY_ENTRY(u"State", DISPID_Scenario_State, CLSID_CScenarioPropertyPage, IScenario)
    END_UL_PROPERTY_MAP()

    // IScenario
    HRESULT get_State(BSTR* psState) override;
    HRESULT put_State(BSTR sState) override;
    HRESULT get_Activity(IActivity** ppActivity) override;
    HRESULT put_Activity(IActivity* pActivity) override;
    HRESULT get_Notifications(INotifications** ppNotifications) override;

    // IPersistStreamInit: also dirty when the activity or the notification list changed.
    HRESULT IsDirty() override;

    // Whether the stream, read from its current position, holds a scenario in the form Save writes: the
    // stream's version and State, the State record with its object data, each datum in a form an object can
    // be made from. Nothing is made, so a class that is not registered passes. The stream's position is left
    // anywhere.
    static HRESULT CheckStoredForm(IStream* pStream) noexcept;
    // The registry value name the storage gave the scenario; empty until its first save. Set once.
    std::u16string GetRegistryValueName();
    void SetRegistryValueName(const std::u16string& sValueName);
    // Starts the activity: false when there is none; a failure to start is raised.
    bool StartActivity();
    // Unsubscribes from, stops and releases the activity; never fails.
    void Terminate();
    // Hands one event of pActivity to every notification, in list order, under the data lock.
    void Fire(IActivity* pActivity, IActivityEvent* pActivityEvent);

private:
    // The collection, made on first need; the caller holds the data lock.
    CNotificationsObject* GetNotifications();
    void SetActivity(IActivity* pActivity);

    CUlCriticalSection m_DataCriticalSection;
    std::u16string m_sRegistryValueName;
    CComPtr<CNotificationsObject> m_pNotifications;
    CComPtr<CComObjectT<CActivityData>> m_pActivityData;
};

// The scenario's sink for its activity's _ActivityEvents. A reference-counted object of its own, so that an
// activity firing on its thread never calls into a scenario that is gone: the scenario closes the sink before
// it goes, and closing waits for event calls in progress.
class CScenario::CActivityData : public _ActivityEvents {
public:
    using Interfaces = InterfaceList<InterfaceEntry<_ActivityEvents>, InterfaceEntry<IDispatch, _ActivityEvents>>;

    explicit CActivityData(CScenario* pScenario);

    // IDispatch: DISPID 1 (Notification) with the event record as its one argument.
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    // Unsubscribes from and stops the current activity, then subscribes to pActivity (null: none). A failed
    // subscription is raised and leaves no activity.
    void SetActivity(IActivity* pActivity);
    CComPtr<IActivity> GetActivity();
    // The sink method: hands the event to the scenario; nothing is returned to the activity.
    void Notification(IActivityEvent* pActivityEvent);
    // Drops the activity and the scenario, then waits for event calls in progress (except the caller's own).
    void Close();

private:
    CUlCriticalSection m_CriticalSection;
    CComPtr<IActivity> m_pActivity;
    DWORD m_nCookie = 0;

    std::mutex m_GateMutex;
    std::condition_variable m_GateCondition;
    CScenario* m_pScenario;  // null once closed
    unsigned m_nCallsInProgress = 0;
};

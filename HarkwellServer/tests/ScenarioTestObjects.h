// Plug-in objects for the scenario engine's tests, served by class objects registered in the test process:
// an activity that fires on request and a notification that records what it is handed.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ActivityEvent.h"
#include "HarkwellServer/ServerInterfaces.h"
#include "comrt/oleauto.h"
#include "corvane/ulconnection.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"

constexpr CLSID CLSID_FakeActivity = MakeGuid("{6A0C1D52-3F7E-4B8A-9C11-2D5E7F901A01}");
constexpr CLSID CLSID_FakeNotification = MakeGuid("{6A0C1D52-3F7E-4B8A-9C11-2D5E7F901A02}");
constexpr CLSID CLSID_FakePersistOnly = MakeGuid("{6A0C1D52-3F7E-4B8A-9C11-2D5E7F901A03}");

inline std::u16string Text(BSTR s) {
    return std::u16string(s ? s : u"", SysStringLen(s));
}

// Keeps its name in its stored settings; counts its starts; fires an event with a given subject.
class CFakeActivity : public comrt::IDispatchImplT<IActivity>,
                      public CBasePersistT<CFakeActivity>,
                      public IUlPersistStreamInitT<CFakeActivity>,
                      public IUlPersistStreamT<CFakeActivity>,
                      public IConnectionPointContainerImplT<CFakeActivity> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IActivity>, InterfaceEntry<IDispatch, IActivity>,
                                     InterfaceEntry<IPersistStreamInit>, InterfaceEntry<IPersistStream>,
                                     InterfaceEntry<IConnectionPointContainer>>;
    static const CLSID& GetObjectCLSID() { return CLSID_FakeActivity; }
    BEGIN_UL_PROPERTY_MAP(CFakeActivity)
    UL_PROPERTY_DATA_ENTRY(u"Name", m_sName, VT_BSTR)
    END_UL_PROPERTY_MAP()

    CFakeActivity() : m_EventsPoint(this, IidOf<_ActivityEvents>()) {}
    ~CFakeActivity() { SysFreeString(m_sName); }
    std::array<CConnectionPoint*, 1> ConnectionPoints() { return {&m_EventsPoint}; }

    HRESULT get_Title(BSTR* psTitle) override {
        if (psTitle == nullptr) return E_POINTER;
        *psTitle = SysAllocString(m_sName ? m_sName : u"");
        return S_OK;
    }
    HRESULT Start() override {
        ++m_nStartCount;
        return s_bFailStart ? E_FAIL : S_OK;
    }
    HRESULT Stop() override {
        ++m_nStopCount;
        if (m_OnStop) m_OnStop();
        return S_OK;
    }
    // Runs inside Stop, after the count.
    void SetOnStop(std::function<void()> OnStop) { m_OnStop = std::move(OnStop); }

    void SetName(const char16_t* pszName) {
        SysFreeString(m_sName);
        m_sName = SysAllocString(pszName);
        SetDirty();
    }
    std::u16string GetName() const { return Text(m_sName); }
    int GetStartCount() const { return m_nStartCount; }
    int GetStopCount() const { return m_nStopCount; }
    bool HasConnections() const { return m_EventsPoint.HasConnections(); }

    // Raises one event the way activities do: a record made through the server's class, then every sink.
    void Fire(const char16_t* pszSubject) {
        CComPtr<IActivityEvent> pEvent;
        if (FAILED(CoCreateInstance(CLSID_CActivityEvent, nullptr, CLSCTX_ALL, IidOf<IActivityEvent>(),
                                    reinterpret_cast<void**>(&pEvent))))
            return;
        BSTR sSubject = SysAllocString(pszSubject);
        pEvent->put_Subject(sSubject);
        SysFreeString(sSubject);
        VARIANT Argument;
        VariantInit(&Argument);
        Argument.vt = VT_DISPATCH;
        Argument.pdispVal = pEvent;
        m_EventsPoint.FireDispatch(DISPID_ActivityEvents_Notification, {Argument});
    }

    static inline std::atomic<bool> s_bFailStart{false};

private:
    CConnectionPoint m_EventsPoint;
    std::function<void()> m_OnStop;
    BSTR m_sName = nullptr;
    std::atomic<int> m_nStartCount{0};
    std::atomic<int> m_nStopCount{0};
};

// Records the subjects it is handed; its stored setting is its label; it can be told to fail Handle.
class CFakeNotification : public comrt::IDispatchImplT<INotification>,
                          public CBasePersistT<CFakeNotification>,
                          public IUlPersistStreamInitT<CFakeNotification>,
                          public IUlPersistStreamT<CFakeNotification> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<INotification>, InterfaceEntry<IDispatch, INotification>,
                                     InterfaceEntry<IPersistStreamInit>, InterfaceEntry<IPersistStream>>;
    static const CLSID& GetObjectCLSID() { return CLSID_FakeNotification; }
    BEGIN_UL_PROPERTY_MAP(CFakeNotification)
    UL_PROPERTY_DATA_ENTRY(u"Label", m_nLabel, VT_I4)
    END_UL_PROPERTY_MAP()

    HRESULT get_Title(BSTR* psTitle) override {
        if (psTitle == nullptr) return E_POINTER;
        *psTitle = SysAllocString(u"Fake Notification");
        return S_OK;
    }
    HRESULT Handle(IActivity*, IActivityEvent* pActivityEvent) override {
        BSTR sSubject = nullptr;
        if (pActivityEvent) pActivityEvent->get_Subject(&sSubject);
        {
            std::lock_guard Lock(m_Mutex);
            m_Subjects.push_back(Text(sSubject));
            s_HandledOrder.push_back(m_nLabel);
        }
        SysFreeString(sSubject);
        if (m_OnHandle) m_OnHandle();
        return m_bFail ? E_FAIL : S_OK;
    }
    // Runs inside Handle, after the event was recorded.
    void SetOnHandle(std::function<void()> OnHandle) { m_OnHandle = std::move(OnHandle); }

    void SetLabel(LONG nLabel) {
        m_nLabel = nLabel;
        SetDirty();
    }
    LONG GetLabel() const { return m_nLabel; }
    void SetFail(bool bFail) { m_bFail = bFail; }
    // While s_bChangedByLoad is set, a completed load adds 100 to the label and leaves the object changed,
    // as an object does that must store what its load gave it.
    void LoadCompleted() {
        if (!s_bChangedByLoad) return;
        m_nLabel += 100;
        SetDirty();
    }
    static inline bool s_bChangedByLoad = false;
    std::vector<std::u16string> Subjects() {
        std::lock_guard Lock(m_Mutex);
        return m_Subjects;
    }

    // Labels of every notification handed an event, in the order of the calls, across all objects.
    static inline std::vector<LONG> s_HandledOrder;

private:
    std::mutex m_Mutex;
    std::vector<std::u16string> m_Subjects;
    std::function<void()> m_OnHandle;
    LONG m_nLabel = 0;
    bool m_bFail = false;
};

// A notification stored by class alone.
class CFakePersistOnly : public comrt::IDispatchImplT<INotification>, public IPersist {
public:
    using Interfaces = InterfaceList<InterfaceEntry<INotification>, InterfaceEntry<IDispatch, INotification>,
                                     InterfaceEntry<IPersist>>;
    HRESULT get_Title(BSTR* psTitle) override {
        if (psTitle == nullptr) return E_POINTER;
        *psTitle = SysAllocString(u"Persist Only");
        return S_OK;
    }
    HRESULT Handle(IActivity*, IActivityEvent*) override { return S_OK; }
    HRESULT GetClassID(CLSID* pClassID) override {
        if (pClassID == nullptr) return E_POINTER;
        *pClassID = CLSID_FakePersistOnly;
        return S_OK;
    }
};

// Registers the fakes and the event record class with the runtime for the object's lifetime.
class CFakeClassRegistrations {
public:
    CFakeClassRegistrations() {
        Register(CLSID_FakeActivity, &CreateObjectT<CFakeActivity>);
        Register(CLSID_FakeNotification, &CreateObjectT<CFakeNotification>);
        Register(CLSID_FakePersistOnly, &CreateObjectT<CFakePersistOnly>);
        Register(CLSID_CActivityEvent, &CreateObjectT<CActivityEvent>);
    }
    ~CFakeClassRegistrations() {
        for (const auto& Registration : m_Registrations) CoRevokeClassObject(Registration.second);
    }
    // Takes one class away, as if its library had been unregistered.
    void Revoke(const CLSID& Clsid) {
        for (auto Position = m_Registrations.begin(); Position != m_Registrations.end(); ++Position) {
            if (Position->first == Clsid) {
                CoRevokeClassObject(Position->second);
                m_Registrations.erase(Position);
                return;
            }
        }
    }

private:
    void Register(const CLSID& Clsid, ObjectCreator pfnCreate) {
        CComPtr<IUnknown> pFactory;
        CClassFactory::Create(pfnCreate, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory));
        DWORD nCookie = 0;
        CoRegisterClassObject(Clsid, pFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &nCookie);
        m_Registrations.emplace_back(Clsid, nCookie);
    }
    std::vector<std::pair<CLSID, DWORD>> m_Registrations;
};

// The C++ object behind an interface pointer of one of the fakes.
template <class T, class I>
T* FakeOf(I* p) {
    return static_cast<T*>(static_cast<CComObjectT<T>*>(p));
}

// The ping activity: watches whether one host answers ICMP echo requests, probing it periodically on the
// daemon that all ping activities of the library share, and raises an activity event whenever its view of
// the host flips between online and offline.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "HarkwellServer/Interfaces.h"
#include "corvane/ulconnection.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"
#include "corvane/ultimedevent.h"

// The activity's own dual interface; its properties are also its persisted set, in this order.
struct IPingActivity : IDispatch {
    static constexpr IID kIid = MakeGuid("{D649853E-DDD6-4ED1-BEEB-7374056DB95A}");
    virtual HRESULT get_Host(BSTR* psHost) = 0;
    virtual HRESULT put_Host(BSTR sHost) = 0;
    virtual HRESULT get_Timeout(LONG* pnTimeout) = 0;
    virtual HRESULT put_Timeout(LONG nTimeout) = 0;
    virtual HRESULT get_Interval(LONG* pnInterval) = 0;
    virtual HRESULT put_Interval(LONG nInterval) = 0;
    virtual HRESULT get_RetryInterval(LONG* pnRetryInterval) = 0;
    virtual HRESULT put_RetryInterval(LONG nRetryInterval) = 0;
    virtual HRESULT get_FailureCount(LONG* pnFailureCount) = 0;
    virtual HRESULT put_FailureCount(LONG nFailureCount) = 0;
};

COMRT_DESCRIBE_INTERFACE(IPingActivity, "IPingActivity Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&IPingActivity::get_Host>(1, "Host", 1, "psHost"),
                         comrt::PropPut<&IPingActivity::put_Host>(1, "Host", 2, "sHost"),
                         comrt::PropGet<&IPingActivity::get_Timeout>(2, "Timeout", 3, "pnTimeout"),
                         comrt::PropPut<&IPingActivity::put_Timeout>(2, "Timeout", 4, "nTimeout"),
                         comrt::PropGet<&IPingActivity::get_Interval>(3, "Interval", 5, "pnInterval"),
                         comrt::PropPut<&IPingActivity::put_Interval>(3, "Interval", 6, "nInterval"),
                         comrt::PropGet<&IPingActivity::get_RetryInterval>(4, "RetryInterval", 7, "pnRetryInterval"),
                         comrt::PropPut<&IPingActivity::put_RetryInterval>(4, "RetryInterval", 8, "nRetryInterval"),
                         comrt::PropGet<&IPingActivity::get_FailureCount>(5, "FailureCount", 9, "pnFailureCount"),
                         comrt::PropPut<&IPingActivity::put_FailureCount>(5, "FailureCount", 10, "nFailureCount"));

constexpr CLSID CLSID_CPingActivity = MakeGuid("{C7F52DB5-970B-4B5E-BF37-71D8CDCD3147}");
// The general page, which edits all five properties.
constexpr CLSID CLSID_CPingActivityGeneralPropertyPage = MakeGuid("{631C7F7A-9BF1-417D-BFCA-544D5C384463}");

class CPingActivity : public IUlPersistStreamT<CPingActivity>,
                      public IUlPersistStreamInitT<CPingActivity>,
                      public IUlPersistStorageT<CPingActivity>,
                      public IUlPersistPropertyBagT<CPingActivity>,
                      public IUlSpecifyPropertyPagesT<CPingActivity>,
                      public IConnectionPointContainerImplT<CPingActivity>,
                      public comrt::IDispatchImplT<IActivity>,
                      public comrt::IDispatchImplT<IPingActivity>,
                      public IProvideClassInfoImplT<CPingActivity>,
                      public ISupportErrorInfoImplT<IActivity, IPingActivity>,
                      public CBasePersistT<CPingActivity> {
public:
    using Interfaces = InterfaceList<
        InterfaceEntry<IPersist, IPersistStream>, InterfaceEntry<IPersistStream>, InterfaceEntry<IPersistStreamInit>,
        InterfaceEntry<IPersistStorage>, InterfaceEntry<IPersistPropertyBag>, InterfaceEntry<ISpecifyPropertyPages>,
        InterfaceEntry<IConnectionPointContainer>, InterfaceEntry<IActivity>, InterfaceEntry<IDispatch, IActivity>,
        InterfaceEntry<IPingActivity>, InterfaceEntry<IProvideClassInfo>, InterfaceEntry<ISupportErrorInfo>>;

    enum STATE : LONG {
        STATE_UNKNOWN = 0,  // stopped
        STATE_OFFLINE = 1,
        STATE_ONLINE = 2,
    };

    // What the probes have seen since Start.
    struct CProbeState {
        STATE nState = STATE_UNKNOWN;
        ULONG nSuccessCount = 0;  // successful probes since Start; only its change from 0 matters
        ULONG nFailureCount = 0;  // the current run of consecutive failed probes
        bool bRetrying = false;   // armed with RetryInterval rather than Interval
    };

    // The activity's periodic probe; it holds the activity through a counted reference while it exists.
    class CTimedEvent : public CTimedEventT<CTimedEvent, CPingActivity, CObjectPtr<CPingActivity>> {};

    static const CLSID& GetObjectCLSID() { return CLSID_CPingActivity; }

    BEGIN_UL_PROPERTY_MAP(CPingActivity)
    UL_PROPERTY_ENTRY(u"Host", 1, CLSID_CPingActivityGeneralPropertyPage, IPingActivity)
    UL_PROPERTY_ENTRY(u"Timeout", 2, CLSID_CPingActivityGeneralPropertyPage, IPingActivity)
    UL_PROPERTY_ENTRY(u"Interval", 3, CLSID_CPingActivityGeneralPropertyPage, IPingActivity)
    UL_PROPERTY_ENTRY(u"RetryInterval", 4, CLSID_CPingActivityGeneralPropertyPage, IPingActivity)
    UL_PROPERTY_ENTRY(u"FailureCount", 5, CLSID_CPingActivityGeneralPropertyPage, IPingActivity)
    END_UL_PROPERTY_MAP()

    CPingActivity();
    CPingActivity(const CPingActivity&) = delete;
    CPingActivity& operator=(const CPingActivity&) = delete;

    // One IUnknown for all the interfaces above, supplied by CComObjectT; declared here so that a counted
    // reference (CObjectPtr) can reach it through a CPingActivity pointer.
    HRESULT QueryInterface(REFIID riid, void** ppv) override = 0;
    ULONG AddRef() override = 0;
    ULONG Release() override = 0;

    HRESULT FinalConstruct();
    void FinalRelease();

    // IActivity
    HRESULT get_Title(BSTR* psTitle) override;
    HRESULT Start() override;
    HRESULT Stop() override;

    // IPingActivity
    HRESULT get_Host(BSTR* psHost) override;
    HRESULT put_Host(BSTR sHost) override;
    HRESULT get_Timeout(LONG* pnTimeout) override;
    HRESULT put_Timeout(LONG nTimeout) override;
    HRESULT get_Interval(LONG* pnInterval) override;
    HRESULT put_Interval(LONG nInterval) override;
    HRESULT get_RetryInterval(LONG* pnRetryInterval) override;
    HRESULT put_RetryInterval(LONG nRetryInterval) override;
    HRESULT get_FailureCount(LONG* pnFailureCount) override;
    HRESULT put_FailureCount(LONG nFailureCount) override;

    std::array<CConnectionPoint*, 1> ConnectionPoints() { return {&m_ActivityEventsConnectionPoint}; }

    // One probe of the host, on the daemon thread.
    void PingHandler(CTimedEvent* pTimedEvent);

    // One echo request to pszHost (a dotted IPv4 address, else a name resolved to its first IPv4 address),
    // waiting at most nTimeout milliseconds. S_OK when the host answered; otherwise the failure as an HRESULT
    // of the system's last error (WSAEADDRNOTAVAIL for a name that does not resolve, IP_REQ_TIMED_OUT, ...).
    static HRESULT Ping(const char16_t* pszHost, DWORD nTimeout);

    // The first delay after Start: spread by the object's address between Interval/32 and about
    // 3*Interval/32, so that activities started together probe at different moments.
    static DWORD GetFirstDelay(std::uintptr_t nAddress, LONG nInterval) noexcept;

    // Takes one probe's outcome into State (which must not be STATE_UNKNOWN) and answers the period the
    // probe is to be re-armed with, 0 when it keeps its period.
    static LONG TakeProbeResult(CProbeState& State, bool bSucceeded, LONG nInterval, LONG nRetryInterval,
                                LONG nFailureCount) noexcept;

    // The run-time state and the number of probes made since construction, for tests and diagnostics.
    STATE GetState();
    ULONG GetProbeCount();

private:
    // Arms the probe with a new period (the new event's first firing is one period from now). Data lock held.
    void Rearm(LONG nPeriod);
    // Builds the event record for the new state and hands it to every connected sink. No lock held.
    void RaiseEvent(STATE nState, const std::u16string& sHost);
    HRESULT GetNumber(const LONG& nValue, LONG* pnValue);
    HRESULT PutNumber(LONG& nValue, LONG nNewValue);

    CUlCriticalSection m_DataCriticalSection;
    CConnectionPoint m_ActivityEventsConnectionPoint;

    // Properties.
    std::u16string m_sHost;
    LONG m_nTimeout = 1000;
    LONG m_nInterval = 60000;
    LONG m_nRetryInterval = 5000;
    LONG m_nFailureCount = 3;

    // Run time.
    CProbeState m_State;
    ULONG m_nProbeCount = 0;
    bool m_bCounted = false;  // counted in the module's instance count
    CObjectPtrT<CTimedEventDaemon> m_pTimedEventDaemon;
    // Present from Start to Stop: Stop lets go of the timed event, and with it of the reference it holds.
    std::unique_ptr<CTimedEvent> m_pTimedEvent;
};

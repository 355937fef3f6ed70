// The system performance check activity: samples the system's performance information (commit charge,
// kernel pools, handle, process and thread counts) every poll interval on the module's default timed event
// daemon, compares six figures with the user's thresholds, and raises an activity event with all current
// figures when any threshold is reached, at most once per minimal event interval.
#pragma once

#include <array>

#include "HarkwellServer/Interfaces.h"
#include "comrt/psapi.h"
#include "corvane/ulconnection.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"
#include "corvane/ultimedevent.h"

struct ISystemPerformanceCheckActivity : IDispatch {
    static constexpr IID kIid = MakeGuid("{487DFE49-B1AA-429E-B862-947C84F9D4D6}");
    virtual HRESULT get_MaximalCommitTotal(LONG* pnMaximalCommitTotal) = 0;
    virtual HRESULT put_MaximalCommitTotal(LONG nMaximalCommitTotal) = 0;
    virtual HRESULT get_MaximalKernelPaged(LONG* pnMaximalKernelPaged) = 0;
    virtual HRESULT put_MaximalKernelPaged(LONG nMaximalKernelPaged) = 0;
    virtual HRESULT get_MaximalKernelNonpaged(LONG* pnMaximalKernelNonpaged) = 0;
    virtual HRESULT put_MaximalKernelNonpaged(LONG nMaximalKernelNonpaged) = 0;
    virtual HRESULT get_MaximalHandleCount(LONG* pnMaximalHandleCount) = 0;
    virtual HRESULT put_MaximalHandleCount(LONG nMaximalHandleCount) = 0;
    virtual HRESULT get_MaximalProcessCount(LONG* pnMaximalProcessCount) = 0;
    virtual HRESULT put_MaximalProcessCount(LONG nMaximalProcessCount) = 0;
    virtual HRESULT get_MaximalThreadCount(LONG* pnMaximalThreadCount) = 0;
    virtual HRESULT put_MaximalThreadCount(LONG nMaximalThreadCount) = 0;
    virtual HRESULT get_PerformanceInformation(VARIANT* pvPerformanceInformation) = 0;
    virtual HRESULT get_PollInterval(LONG* pnPollInterval) = 0;
    virtual HRESULT put_PollInterval(LONG nPollInterval) = 0;
    virtual HRESULT get_MinimalEventInterval(LONG* pnMinimalEventInterval) = 0;
    virtual HRESULT put_MinimalEventInterval(LONG nMinimalEventInterval) = 0;
};

#define CORVANE_PERFORMANCE_PROPERTY(dispid, name, get_slot)                                           \
    comrt::PropGet<&ISystemPerformanceCheckActivity::get_##name>(dispid, #name, get_slot, "pn" #name), \
        comrt::PropPut<&ISystemPerformanceCheckActivity::put_##name>(dispid, #name, get_slot + 1, "n" #name)

COMRT_DESCRIBE_INTERFACE(
    ISystemPerformanceCheckActivity, "ISystemPerformanceCheckActivity Interface", comrt::InterfaceKind::Dual,
    CORVANE_PERFORMANCE_PROPERTY(1, MaximalCommitTotal, 1), CORVANE_PERFORMANCE_PROPERTY(2, MaximalKernelPaged, 3),
    CORVANE_PERFORMANCE_PROPERTY(3, MaximalKernelNonpaged, 5), CORVANE_PERFORMANCE_PROPERTY(4, MaximalHandleCount, 7),
    CORVANE_PERFORMANCE_PROPERTY(5, MaximalProcessCount, 9), CORVANE_PERFORMANCE_PROPERTY(6, MaximalThreadCount, 11),
    comrt::PropGet<&ISystemPerformanceCheckActivity::get_PerformanceInformation>(7, "PerformanceInformation", 13,
                                                                                 "pvPerformanceInformation"),
    CORVANE_PERFORMANCE_PROPERTY(8, PollInterval, 14), CORVANE_PERFORMANCE_PROPERTY(9, MinimalEventInterval, 16));

#undef CORVANE_PERFORMANCE_PROPERTY

constexpr CLSID CLSID_CSystemPerformanceCheckActivity = MakeGuid("{EB7343BA-5BDD-4FFD-8370-4059883B9DE4}");
// Its pages: the thresholds, the current figures, the poll settings.
constexpr CLSID CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage =
    MakeGuid("{40E10CA9-FE9C-4270-928B-11576AA8D571}");
constexpr CLSID CLSID_CSystemPerformanceCheckActivityCurrentPropertyPage =
    MakeGuid("{AD7077B9-7D76-40B7-B488-60F0CECB2335}");
constexpr CLSID CLSID_CSystemPerformanceCheckActivityPollPropertyPage =
    MakeGuid("{8CF46EF4-3515-4528-BA30-E232F52C0CD7}");

class CSystemPerformanceCheckActivity : public IUlPersistStreamT<CSystemPerformanceCheckActivity>,
                                        public IUlPersistStreamInitT<CSystemPerformanceCheckActivity>,
                                        public IUlPersistStorageT<CSystemPerformanceCheckActivity>,
                                        public IUlPersistPropertyBagT<CSystemPerformanceCheckActivity>,
                                        public IUlSpecifyPropertyPagesT<CSystemPerformanceCheckActivity>,
                                        public IConnectionPointContainerImplT<CSystemPerformanceCheckActivity>,
                                        public comrt::IDispatchImplT<IActivity>,
                                        public comrt::IDispatchImplT<ISystemPerformanceCheckActivity>,
                                        public IProvideClassInfoImplT<CSystemPerformanceCheckActivity>,
                                        public ISupportErrorInfoImplT<IActivity, ISystemPerformanceCheckActivity>,
                                        public CBasePersistT<CSystemPerformanceCheckActivity> {
public:
    using Interfaces =
        InterfaceList<InterfaceEntry<IPersist, IPersistStream>, InterfaceEntry<IPersistStream>,
                      InterfaceEntry<IPersistStreamInit>, InterfaceEntry<IPersistStorage>,
                      InterfaceEntry<IPersistPropertyBag>, InterfaceEntry<ISpecifyPropertyPages>,
                      InterfaceEntry<IConnectionPointContainer>, InterfaceEntry<IActivity>,
                      InterfaceEntry<IDispatch, IActivity>, InterfaceEntry<ISystemPerformanceCheckActivity>,
                      InterfaceEntry<IProvideClassInfo>, InterfaceEntry<ISupportErrorInfo>>;

    using CTimedEvent = CSimpleTimedEventT<CSystemPerformanceCheckActivity>;

    // The six thresholds, in megabytes for the three memory figures; 0 switches a check off.
    struct CThresholds {
        LONG nMaximalCommitTotal = 0;
        LONG nMaximalKernelPaged = 0;
        LONG nMaximalKernelNonpaged = 0;
        LONG nMaximalHandleCount = 0;
        LONG nMaximalProcessCount = 0;
        LONG nMaximalThreadCount = 0;
    };
    // Whether a sample reaches any threshold: a figure equal to or above its threshold (memory figures in
    // whole megabytes), all six evaluated.
    static bool IsThresholdReached(const PERFORMANCE_INFORMATION& Information, const CThresholds& Thresholds) noexcept;
    // The event body's text for a sample taken at sLocalTime.
    static std::u16string FormatBody(const PERFORMANCE_INFORMATION& Information, const std::u16string& sLocalTime);

    static const CLSID& GetObjectCLSID() { return CLSID_CSystemPerformanceCheckActivity; }

    BEGIN_UL_PROPERTY_MAP(CSystemPerformanceCheckActivity)
    UL_PROPERTY_ENTRY(u"MaximalCommitTotal", 1, CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage,
                      ISystemPerformanceCheckActivity)
    UL_PROPERTY_ENTRY(u"MaximalKernelPaged", 2, CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage,
                      ISystemPerformanceCheckActivity)
    UL_PROPERTY_ENTRY(u"MaximalKernelNonpaged", 3, CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage,
                      ISystemPerformanceCheckActivity)
    UL_PROPERTY_ENTRY(u"MaximalHandleCount", 4, CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage,
                      ISystemPerformanceCheckActivity)
    UL_PROPERTY_ENTRY(u"MaximalProcessCount", 5, CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage,
                      ISystemPerformanceCheckActivity)
    UL_PROPERTY_ENTRY(u"MaximalThreadCount", 6, CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage,
                      ISystemPerformanceCheckActivity)
    UL_PROPERTY_PAGE(CLSID_CSystemPerformanceCheckActivityCurrentPropertyPage)
    UL_PROPERTY_ENTRY(u"PollInterval", 8, CLSID_CSystemPerformanceCheckActivityPollPropertyPage,
                      ISystemPerformanceCheckActivity)
    UL_PROPERTY_ENTRY(u"MinimalEventInterval", 9, CLSID_CSystemPerformanceCheckActivityPollPropertyPage,
                      ISystemPerformanceCheckActivity)
    END_UL_PROPERTY_MAP()

    CSystemPerformanceCheckActivity();
    CSystemPerformanceCheckActivity(const CSystemPerformanceCheckActivity&) = delete;
    CSystemPerformanceCheckActivity& operator=(const CSystemPerformanceCheckActivity&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override = 0;
    ULONG AddRef() override = 0;
    ULONG Release() override = 0;

    HRESULT FinalConstruct();
    void FinalRelease();

    // IActivity
    HRESULT get_Title(BSTR* psTitle) override;
    HRESULT Start() override;
    HRESULT Stop() override;

    // ISystemPerformanceCheckActivity
    HRESULT get_MaximalCommitTotal(LONG* pnMaximalCommitTotal) override;
    HRESULT put_MaximalCommitTotal(LONG nMaximalCommitTotal) override;
    HRESULT get_MaximalKernelPaged(LONG* pnMaximalKernelPaged) override;
    HRESULT put_MaximalKernelPaged(LONG nMaximalKernelPaged) override;
    HRESULT get_MaximalKernelNonpaged(LONG* pnMaximalKernelNonpaged) override;
    HRESULT put_MaximalKernelNonpaged(LONG nMaximalKernelNonpaged) override;
    HRESULT get_MaximalHandleCount(LONG* pnMaximalHandleCount) override;
    HRESULT put_MaximalHandleCount(LONG nMaximalHandleCount) override;
    HRESULT get_MaximalProcessCount(LONG* pnMaximalProcessCount) override;
    HRESULT put_MaximalProcessCount(LONG nMaximalProcessCount) override;
    HRESULT get_MaximalThreadCount(LONG* pnMaximalThreadCount) override;
    HRESULT put_MaximalThreadCount(LONG nMaximalThreadCount) override;
    HRESULT get_PerformanceInformation(VARIANT* pvPerformanceInformation) override;
    HRESULT get_PollInterval(LONG* pnPollInterval) override;
    HRESULT put_PollInterval(LONG nPollInterval) override;
    HRESULT get_MinimalEventInterval(LONG* pnMinimalEventInterval) override;
    HRESULT put_MinimalEventInterval(LONG nMinimalEventInterval) override;

    std::array<CConnectionPoint*, 1> ConnectionPoints() { return {&m_ActivityEventsConnectionPoint}; }

    // One check, on the daemon thread.
    void CheckPerformanceInformation(CTimedEvent* pTimedEvent);
    // Checks made since construction, for tests.
    ULONG GetCheckCount();

private:
    // The system's figures now; raises the HRESULT of the system error.
    static PERFORMANCE_INFORMATION Sample();
    HRESULT GetNumber(const LONG& nValue, LONG* pnValue);
    HRESULT PutNumber(LONG& nValue, LONG nNewValue, LONG nMinimum);

    CUlCriticalSection m_DataCriticalSection;
    CConnectionPoint m_ActivityEventsConnectionPoint;

    CThresholds m_Thresholds;
    LONG m_nPollInterval = 20000;
    LONG m_nMinimalEventInterval = 900000;

    // Run time.
    bool m_bEventRaised = false;  // since Start
    DWORD m_nEventTick = 0;       // of the last event raised
    PERFORMANCE_INFORMATION m_Information{};
    ULONG m_nCheckCount = 0;
    CTimedEvent m_TimedEvent;
};

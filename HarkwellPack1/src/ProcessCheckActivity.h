// The process check activity: watches the machine's process list on a worker thread of its own, and raises an
// activity event whenever a process whose program name matches one of the user's patterns starts or ends.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "HarkwellServer/Interfaces.h"
#include "corvane/ulconnection.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"
#include "corvane/ulregexp.h"
#include "corvane/ulthread.h"

// The activity's own dual interface: the name patterns as list text.
struct IProcessCheckActivity : IDispatch {
    static constexpr IID kIid = MakeGuid("{5DE6101A-C62B-467E-AAC0-23E284242C3E}");
    virtual HRESULT get_ProcessNameExpressions(BSTR* psProcessNameExpressions) = 0;
    virtual HRESULT put_ProcessNameExpressions(BSTR sProcessNameExpressions) = 0;
};

COMRT_DESCRIBE_INTERFACE(IProcessCheckActivity, "IProcessCheckActivity Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&IProcessCheckActivity::get_ProcessNameExpressions>(1, "ProcessNameExpressions",
                                                                                            1,
                                                                                            "psProcessNameExpressions"),
                         comrt::PropPut<&IProcessCheckActivity::put_ProcessNameExpressions>(1, "ProcessNameExpressions",
                                                                                            2,
                                                                                            "sProcessNameExpressions"));

constexpr CLSID CLSID_CProcessCheckActivity = MakeGuid("{29DB5530-9FAB-489C-8962-445C3B2A4B25}");
// The name expression page, which edits the pattern list.
constexpr CLSID CLSID_CProcessCheckActivityNameExpressionPropertyPage =
    MakeGuid("{DC71EF88-65E2-4920-A431-916AF9A193EF}");

class CProcessCheckActivity : public IUlPersistStreamT<CProcessCheckActivity>,
                              public IUlPersistStreamInitT<CProcessCheckActivity>,
                              public IUlPersistStorageT<CProcessCheckActivity>,
                              public IUlPersistPropertyBagT<CProcessCheckActivity>,
                              public IUlSpecifyPropertyPagesT<CProcessCheckActivity>,
                              public IConnectionPointContainerImplT<CProcessCheckActivity>,
                              public comrt::IDispatchImplT<IActivity>,
                              public comrt::IDispatchImplT<IProcessCheckActivity>,
                              public IProvideClassInfoImplT<CProcessCheckActivity>,
                              public ISupportErrorInfoImplT<IActivity, IProcessCheckActivity>,
                              public CBasePersistT<CProcessCheckActivity> {
public:
    using Interfaces = InterfaceList<
        InterfaceEntry<IPersist, IPersistStream>, InterfaceEntry<IPersistStream>, InterfaceEntry<IPersistStreamInit>,
        InterfaceEntry<IPersistStorage>, InterfaceEntry<IPersistPropertyBag>, InterfaceEntry<ISpecifyPropertyPages>,
        InterfaceEntry<IConnectionPointContainer>, InterfaceEntry<IActivity>, InterfaceEntry<IDispatch, IActivity>,
        InterfaceEntry<IProcessCheckActivity>, InterfaceEntry<IProvideClassInfo>, InterfaceEntry<ISupportErrorInfo>>;

    // One process as a snapshot sees it.
    struct CProcessData {
        DWORD nIdentifier = 0;
        std::u16string sName;
    };

    // A snapshot of the process list: identifier to process, in identifier order.
    class CProcessDataMap : public std::map<DWORD, CProcessData> {
    public:
        // Fills the (empty) map with every process whose program this account may see. A failure to list the
        // processes raises the HRESULT of the system's error; a process that cannot be opened or named (it
        // ended meanwhile, or belongs to another user) is left out. nExpected, the size of the last snapshot,
        // sizes the identifier buffer so that one walk of the list usually fills it.
        void Enumerate(std::size_t nExpected = 0);
    };

    // What changed between two snapshots, each list in identifier order. A process is the same process in
    // both when identifier and name agree: an identifier reused by another program, or a process that
    // replaced its program (a fork followed by exec between two snapshots), is the old one ending and a new
    // one starting.
    struct CChanges {
        std::vector<CProcessData> TerminatedList;
        std::vector<CProcessData> CreatedList;
    };
    static CChanges Compare(const CProcessDataMap& Previous, const CProcessDataMap& Current);

    static const CLSID& GetObjectCLSID() { return CLSID_CProcessCheckActivity; }

    // Stored under the singular name, as it always has been.
    BEGIN_UL_PROPERTY_MAP(CProcessCheckActivity)
    UL_PROPERTY_ENTRY(u"ProcessNameExpression", 1, CLSID_CProcessCheckActivityNameExpressionPropertyPage,
                      IProcessCheckActivity)
    END_UL_PROPERTY_MAP()

    CProcessCheckActivity();
    CProcessCheckActivity(const CProcessCheckActivity&) = delete;
    CProcessCheckActivity& operator=(const CProcessCheckActivity&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override = 0;
    ULONG AddRef() override = 0;
    ULONG Release() override = 0;

    void FinalRelease();

    // IActivity
    HRESULT get_Title(BSTR* psTitle) override;
    HRESULT Start() override;
    HRESULT Stop() override;

    // IProcessCheckActivity
    HRESULT get_ProcessNameExpressions(BSTR* psProcessNameExpressions) override;
    HRESULT put_ProcessNameExpressions(BSTR sProcessNameExpressions) override;

    std::array<CConnectionPoint*, 1> ConnectionPoints() { return {&m_ActivityEventsConnectionPoint}; }

    // The poll period, and the pause after a failed cycle.
    static constexpr DWORD POLL_INTERVAL = 5000;
    static constexpr DWORD FAILURE_INTERVAL = 15000;

    // Whether sName matches at least one pattern (none: nothing matches).
    bool IsMatching(const std::u16string& sName);
    // Cycles completed since construction, for tests.
    ULONG GetCycleCount();

private:
    struct CPattern {
        std::u16string sText;
        std::shared_ptr<const CRegExp> pRegExp;
    };

    DWORD ThreadProc(CThreadT<CProcessCheckActivity>* pThread, CEvent& InitializationEvent, CEvent& TerminationEvent);
    // Raises one event for each process that matches.
    void RaiseEvents(const std::vector<CProcessData>& ProcessList, UINT nSubjectId, UINT nBodyId,
                     const std::u16string& sLocalTime);
    std::u16string GetJoinedPatterns() const;

    CUlCriticalSection m_DataCriticalSection;
    CConnectionPoint m_ActivityEventsConnectionPoint;
    std::vector<CPattern> m_PatternList;
    ULONG m_nCycleCount = 0;

    // Guards m_pThread; taken before the data lock, never while holding it.
    CUlCriticalSection m_ThreadCriticalSection;
    CObjectPtrT<CThreadT<CProcessCheckActivity>> m_pThread;
};

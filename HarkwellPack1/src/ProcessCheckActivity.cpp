#include "ProcessCheckActivity.h"

#include <algorithm>
#include <utility>

#include "Common.h"
#include "comrt/psapi.h"
#include "corvane/ulguard.h"
#include "corvane/ullisttext.h"
#include "corvane/ulresource.h"

namespace {

const corvane::StringResource kProcessCheckStrings[] = {
    {500, u"Process Check Activity"},
    {501, u"Process Check Activity\nProcess Check Activity (%d patterns)\n"},
    {502, u"Process Check: %s terminated on %s"},
    {503,
     u"Process check has determined a terminated process:\r\n\tIdentifier: %d\r\n\tName: %s\r\n\tLocal Time: "
     u"%s\r\n"},
    {504, u"Process Check: %s created on %s"},
    {505,
     u"Process check has determined a created process:\r\n\tIdentifier: %d\r\n\tName: %s\r\n\tLocal Time: "
     u"%s\r\n"},
};
const corvane::CStringTableRegistration g_ProcessCheckStrings(kProcessCheckStrings);

// The first identifier buffer holds 128 processes; it doubles while the list fills it.
constexpr DWORD INITIAL_PROCESS_COUNT = 128;
// Room for a program name, as the system's module names allow.
constexpr DWORD MODULE_NAME_SIZE = 260;

// Resources take "%d" for numbers; the formatter fills "%s" only.
std::u16string NumberFormat(std::u16string sFormat) {
    const std::size_t nPosition = sFormat.find(u"%d");
    if (nPosition != std::u16string::npos) sFormat.replace(nPosition, 2, u"%s");
    return sFormat;
}

std::u16string DecimalText(DWORD nValue) {
    const std::string sText = std::to_string(nValue);
    return std::u16string(sText.begin(), sText.end());
}

// The program name of one process, or false when the process cannot be opened or named.
bool GetProcessName(DWORD nIdentifier, std::u16string* psName) {
    const HANDLE hProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, nIdentifier);
    if (hProcess == nullptr) return false;
    bool bNamed = false;
    HMODULE hModule = nullptr;
    DWORD nNeeded = 0;
    if (EnumProcessModules(hProcess, &hModule, sizeof hModule, &nNeeded)) {
        WCHAR szName[MODULE_NAME_SIZE];
        const DWORD nLength = GetModuleBaseNameW(hProcess, hModule, szName, MODULE_NAME_SIZE);
        if (nLength != 0) {
            psName->assign(szName, nLength);
            bNamed = true;
        }
    }
    CloseHandle(hProcess);
    return bNamed;
}

}  // namespace

void CProcessCheckActivity::CProcessDataMap::Enumerate(std::size_t nExpected) {
    UL_ASSERT(empty());
    // Every walk that fills the buffer is a walk of /proc wasted: room for a quarter more than last time.
    std::vector<DWORD> IdentifierList(std::max<std::size_t>(INITIAL_PROCESS_COUNT, nExpected + nExpected / 4 + 16));
    DWORD nNeeded = 0;
    for (;;) {
        const DWORD nSize = static_cast<DWORD>(IdentifierList.size() * sizeof(DWORD));
        if (!EnumProcesses(IdentifierList.data(), nSize, &nNeeded))
            corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
        if (nNeeded < nSize) break;
        IdentifierList.resize(IdentifierList.size() * 2);
    }
    IdentifierList.resize(nNeeded / sizeof(DWORD));
    std::u16string sName;
    for (const DWORD nIdentifier : IdentifierList) {
        if (!GetProcessName(nIdentifier, &sName)) continue;
        emplace(nIdentifier, CProcessData{nIdentifier, sName});
    }
}

CProcessCheckActivity::CChanges CProcessCheckActivity::Compare(const CProcessDataMap& Previous,
                                                               const CProcessDataMap& Current) {
    CChanges Changes;
    for (const auto& [nIdentifier, Data] : Previous) {
        const auto Position = Current.find(nIdentifier);
        if (Position == Current.end() || Position->second.sName != Data.sName) Changes.TerminatedList.push_back(Data);
    }
    for (const auto& [nIdentifier, Data] : Current) {
        const auto Position = Previous.find(nIdentifier);
        if (Position == Previous.end() || Position->second.sName != Data.sName) Changes.CreatedList.push_back(Data);
    }
    return Changes;
}

CProcessCheckActivity::CProcessCheckActivity()
    : CBasePersistT<CProcessCheckActivity>(&m_DataCriticalSection),
      m_ActivityEventsConnectionPoint(static_cast<IConnectionPointContainer*>(this), IidOf<_ActivityEvents>()) {}

void CProcessCheckActivity::FinalRelease() {
    UL_CATCH_ALL_BEGIN
    CObjectPtrT<CThreadT<CProcessCheckActivity>> pThread;
    {
        CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
        pThread = std::move(m_pThread);
    }
    pThread.Release();
    UL_CATCH_ALL_END
}

// IActivity

HRESULT CProcessCheckActivity::get_Title(BSTR* psTitle) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(psTitle);
    *psTitle = nullptr;
    std::size_t nCount = 0;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        nCount = m_PatternList.size();
    }
    *psTitle = AllocateString(nCount == 0 ? corvane::LoadStringResourceLine(501, 0)
                                          : corvane::FormatString(NumberFormat(corvane::LoadStringResourceLine(501, 1)),
                                                                  {DecimalText(static_cast<DWORD>(nCount))}));
    UL_GUARD_END
}

HRESULT CProcessCheckActivity::Start() {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
    if (m_pThread) return S_OK;
    CObjectPtrT<CThreadT<CProcessCheckActivity>> pThread;
    pThread.Construct();
    if (!pThread->Initialize(this, &CProcessCheckActivity::ThreadProc))
        corvane::ThrowHResult(static_cast<HRESULT>(pThread->GetThreadExitCode()));
    m_pThread = std::move(pThread);
    UL_GUARD_END
}

HRESULT CProcessCheckActivity::Stop() {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
    m_pThread.Release();
    UL_GUARD_END
}

// IProcessCheckActivity

std::u16string CProcessCheckActivity::GetJoinedPatterns() const {
    std::vector<std::u16string> TextList;
    TextList.reserve(m_PatternList.size());
    for (const CPattern& Pattern : m_PatternList) TextList.push_back(Pattern.sText);
    return corvane::JoinList(TextList);
}

HRESULT CProcessCheckActivity::get_ProcessNameExpressions(BSTR* psProcessNameExpressions) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(psProcessNameExpressions);
    *psProcessNameExpressions = nullptr;
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *psProcessNameExpressions = AllocateString(GetJoinedPatterns());
    UL_GUARD_END
}

HRESULT CProcessCheckActivity::put_ProcessNameExpressions(BSTR sProcessNameExpressions) {
    UL_GUARD_BEGIN
    const std::u16string_view sText(sProcessNameExpressions ? sProcessNameExpressions : u"",
                                    SysStringLen(sProcessNameExpressions));
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    if (sText == GetJoinedPatterns()) return S_OK;
    // The whole list parses before any of it replaces the old one.
    std::vector<CPattern> PatternList;
    for (std::u16string& sPattern : corvane::SplitList(sText)) {
        auto pRegExp = std::make_shared<CRegExp>();
        if (pRegExp->Parse(std::u16string_view(sPattern), false) != REPARSE_ERROR_OK)
            corvane::ThrowHResult(E_INVALIDARG);
        PatternList.push_back(CPattern{std::move(sPattern), std::move(pRegExp)});
    }
    m_PatternList.swap(PatternList);
    SetDirty();
    UL_GUARD_END
}

// The poll

bool CProcessCheckActivity::IsMatching(const std::u16string& sName) {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    CRegExpMatchContext Context;
    for (const CPattern& Pattern : m_PatternList)
        if (Pattern.pRegExp->Match(std::u16string_view(sName), &Context)) return true;
    return false;
}

ULONG CProcessCheckActivity::GetCycleCount() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return m_nCycleCount;
}

void CProcessCheckActivity::RaiseEvents(const std::vector<CProcessData>& ProcessList, UINT nSubjectId, UINT nBodyId,
                                        const std::u16string& sLocalTime) {
    for (const CProcessData& Data : ProcessList) {
        if (!IsMatching(Data.sName)) continue;
        FireActivityEvent(m_ActivityEventsConnectionPoint,
                          corvane::FormatResourceString(nSubjectId, {Data.sName, sLocalTime}),
                          corvane::FormatString(NumberFormat(corvane::LoadStringResource(nBodyId)),
                                                {DecimalText(Data.nIdentifier), Data.sName, sLocalTime}));
    }
}

DWORD CProcessCheckActivity::ThreadProc(CThreadT<CProcessCheckActivity>* /*pThread*/, CEvent& InitializationEvent,
                                        CEvent& TerminationEvent) {
    CMultiThreadedApartment Apartment;
    UL_ASSERT(InitializationEvent.Set());
    const CStackPointer StackPointer;
    // Empty at the start: the first cycle reports the matching processes already running as created.
    CProcessDataMap PreviousMap;
    while (WaitForSingleObject(TerminationEvent, 0) == WAIT_TIMEOUT) {
        StackPointer.Check();
        DWORD nWait = POLL_INTERVAL;
        // A sink may let go of the last reference to this activity while it is told; the reference taken
        // here keeps the activity until the cycle is over, and the thread ends at once when it was the last.
        static_cast<IActivity*>(this)->AddRef();
        try {
            CProcessDataMap CurrentMap;
            CurrentMap.Enumerate(PreviousMap.size());
            const CChanges Changes = Compare(PreviousMap, CurrentMap);
            {
                CUlCriticalSectionLock DataLock(m_DataCriticalSection);
                ++m_nCycleCount;
            }
            RaiseEvents(Changes.TerminatedList, 502, 503, GetLocalTimeText());
            RaiseEvents(Changes.CreatedList, 504, 505, GetLocalTimeText());
            PreviousMap = std::move(CurrentMap);
        } catch (...) {
            // The snapshot of the failed cycle is not taken as the reference: its changes are reported by
            // the next cycle that succeeds.
            corvane::CatchException(UL_CONTEXT, corvane::TRACE_LEVEL_FAILURE);
            nWait = FAILURE_INTERVAL;
        }
        if (static_cast<IActivity*>(this)->Release() == 0) return 0;
        if (WaitForSingleObject(TerminationEvent, nWait) != WAIT_TIMEOUT) break;
    }
    return 0;
}

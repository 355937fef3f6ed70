#include "SystemPerformanceCheckActivity.h"

#include <cstring>

#include "Common.h"
#include "comrt/oleauto.h"
#include "corvane/ulguard.h"
#include "corvane/ulresource.h"

namespace {

const corvane::StringResource kSystemPerformanceCheckStrings[] = {
    {900, u"System Performance Information Check Activity"},
    {901, u"System Performance Information Check Activity"},
    {902, u"System Performance Information on %s"},
    {903,
     u"System Performance Information details:\r\n\tLocal Time: %s\r\n\tCommitTotal: %s MB\r\n\tCommitLimit: %s "
     u"MB\r\n\tCommitPeak: %s MB\r\n\tPhysicalTotal: %s MB\r\n\tPhysicalAvailable: %s MB\r\n\tSystemCache: %s "
     u"MB\r\n\tKernelTotal: %s MB\r\n\tKernelPaged: %s MB\r\n\tKernelNonpaged: %s MB\r\n\tPageSize: "
     u"%s\r\n\tHandleCount: %s\r\n\tProcessCount: %s\r\n\tThreadCount: %s\r\n"},
};
const corvane::CStringTableRegistration g_SystemPerformanceCheckStrings(kSystemPerformanceCheckStrings);

std::uint64_t Bytes(DWORD nPages, DWORD nPageSize) noexcept {
    return static_cast<std::uint64_t>(nPages) * nPageSize;
}

// Whole megabytes of a page count.
std::uint64_t Megabytes(DWORD nPages, DWORD nPageSize) noexcept {
    return Bytes(nPages, nPageSize) >> 20;
}

bool IsReached(std::uint64_t nFigure, LONG nThreshold) noexcept {
    return nThreshold != 0 && nFigure >= static_cast<std::uint64_t>(static_cast<ULONG>(nThreshold));
}

}  // namespace

bool CSystemPerformanceCheckActivity::IsThresholdReached(const PERFORMANCE_INFORMATION& Information,
                                                         const CThresholds& Thresholds) noexcept {
    const DWORD nPageSize = Information.PageSize;
    const bool Reached[] = {
        IsReached(Megabytes(Information.CommitTotal, nPageSize), Thresholds.nMaximalCommitTotal),
        IsReached(Megabytes(Information.KernelPaged, nPageSize), Thresholds.nMaximalKernelPaged),
        IsReached(Megabytes(Information.KernelNonpaged, nPageSize), Thresholds.nMaximalKernelNonpaged),
        IsReached(Information.HandleCount, Thresholds.nMaximalHandleCount),
        IsReached(Information.ProcessCount, Thresholds.nMaximalProcessCount),
        IsReached(Information.ThreadCount, Thresholds.nMaximalThreadCount),
    };
    for (const bool bReached : Reached)
        if (bReached) return true;
    return false;
}

std::u16string CSystemPerformanceCheckActivity::FormatBody(const PERFORMANCE_INFORMATION& Information,
                                                           const std::u16string& sLocalTime) {
    const DWORD nPageSize = Information.PageSize;
    const auto Pages = [nPageSize](DWORD nPages) { return FormatMegabytes(Bytes(nPages, nPageSize), 2); };
    return corvane::FormatResourceString(
        903, {sLocalTime, Pages(Information.CommitTotal), Pages(Information.CommitLimit), Pages(Information.CommitPeak),
              Pages(Information.PhysicalTotal), Pages(Information.PhysicalAvailable), Pages(Information.SystemCache),
              Pages(Information.KernelTotal), Pages(Information.KernelPaged), Pages(Information.KernelNonpaged),
              FormatInteger(nPageSize), FormatInteger(Information.HandleCount), FormatInteger(Information.ProcessCount),
              FormatInteger(Information.ThreadCount)});
}

CSystemPerformanceCheckActivity::CSystemPerformanceCheckActivity()
    : CBasePersistT<CSystemPerformanceCheckActivity>(&m_DataCriticalSection),
      m_ActivityEventsConnectionPoint(static_cast<IConnectionPointContainer*>(this), IidOf<_ActivityEvents>()) {}

HRESULT CSystemPerformanceCheckActivity::FinalConstruct() {
    return corvane::GuardedCall([&] {
        CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon = CTimedEventDaemon::GetDefaultTimedEventDaemon();
        if (!pTimedEventDaemon) corvane::ThrowHResult(E_OUTOFMEMORY);
        m_TimedEvent.Initialize(pTimedEventDaemon);
    });
}

void CSystemPerformanceCheckActivity::FinalRelease() {
    UL_CATCH_ALL_BEGIN
    m_TimedEvent.Destroy();
    UL_CATCH_ALL_END
}

PERFORMANCE_INFORMATION CSystemPerformanceCheckActivity::Sample() {
    PERFORMANCE_INFORMATION Information;
    std::memset(&Information, 0, sizeof Information);
    Information.cb = sizeof Information;
    if (!GetPerformanceInfo(&Information, sizeof Information))
        corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
    return Information;
}

// IActivity

HRESULT CSystemPerformanceCheckActivity::get_Title(BSTR* psTitle) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(psTitle);
    *psTitle = nullptr;
    *psTitle = AllocateString(corvane::LoadStringResourceLine(901, 0));
    UL_GUARD_END
}

HRESULT CSystemPerformanceCheckActivity::Start() {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    if (m_TimedEvent.GetEvent() != 0) return S_OK;
    m_Information = Sample();
    m_bEventRaised = false;
    m_TimedEvent.Create(this, static_cast<DWORD>(m_nPollInterval),
                        &CSystemPerformanceCheckActivity::CheckPerformanceInformation);
    UL_GUARD_END
}

// Not under the data lock: a check running meanwhile takes it, and the kill waits for that check.
HRESULT CSystemPerformanceCheckActivity::Stop() {
    UL_GUARD_BEGIN
    m_TimedEvent.Destroy();
    UL_GUARD_END
}

// ISystemPerformanceCheckActivity

HRESULT CSystemPerformanceCheckActivity::GetNumber(const LONG& nValue, LONG* pnValue) {
    return GetNumberProperty(m_DataCriticalSection, nValue, pnValue);
}

HRESULT CSystemPerformanceCheckActivity::PutNumber(LONG& nValue, LONG nNewValue, LONG nMinimum) {
    return PutNumberProperty(*this, m_DataCriticalSection, nValue, nNewValue, nMinimum);
}

HRESULT CSystemPerformanceCheckActivity::get_MaximalCommitTotal(LONG* pnValue) {
    return GetNumber(m_Thresholds.nMaximalCommitTotal, pnValue);
}
HRESULT CSystemPerformanceCheckActivity::put_MaximalCommitTotal(LONG nValue) {
    return PutNumber(m_Thresholds.nMaximalCommitTotal, nValue, 0);
}
HRESULT CSystemPerformanceCheckActivity::get_MaximalKernelPaged(LONG* pnValue) {
    return GetNumber(m_Thresholds.nMaximalKernelPaged, pnValue);
}
HRESULT CSystemPerformanceCheckActivity::put_MaximalKernelPaged(LONG nValue) {
    return PutNumber(m_Thresholds.nMaximalKernelPaged, nValue, 0);
}
HRESULT CSystemPerformanceCheckActivity::get_MaximalKernelNonpaged(LONG* pnValue) {
    return GetNumber(m_Thresholds.nMaximalKernelNonpaged, pnValue);
}
HRESULT CSystemPerformanceCheckActivity::put_MaximalKernelNonpaged(LONG nValue) {
    return PutNumber(m_Thresholds.nMaximalKernelNonpaged, nValue, 0);
}
HRESULT CSystemPerformanceCheckActivity::get_MaximalHandleCount(LONG* pnValue) {
    return GetNumber(m_Thresholds.nMaximalHandleCount, pnValue);
}
HRESULT CSystemPerformanceCheckActivity::put_MaximalHandleCount(LONG nValue) {
    return PutNumber(m_Thresholds.nMaximalHandleCount, nValue, 0);
}
HRESULT CSystemPerformanceCheckActivity::get_MaximalProcessCount(LONG* pnValue) {
    return GetNumber(m_Thresholds.nMaximalProcessCount, pnValue);
}
HRESULT CSystemPerformanceCheckActivity::put_MaximalProcessCount(LONG nValue) {
    return PutNumber(m_Thresholds.nMaximalProcessCount, nValue, 0);
}
HRESULT CSystemPerformanceCheckActivity::get_MaximalThreadCount(LONG* pnValue) {
    return GetNumber(m_Thresholds.nMaximalThreadCount, pnValue);
}
HRESULT CSystemPerformanceCheckActivity::put_MaximalThreadCount(LONG nValue) {
    return PutNumber(m_Thresholds.nMaximalThreadCount, nValue, 0);
}
HRESULT CSystemPerformanceCheckActivity::get_PollInterval(LONG* pnValue) {
    return GetNumber(m_nPollInterval, pnValue);
}
HRESULT CSystemPerformanceCheckActivity::put_PollInterval(LONG nValue) {
    return PutNumber(m_nPollInterval, nValue, 1);
}
HRESULT CSystemPerformanceCheckActivity::get_MinimalEventInterval(LONG* pnValue) {
    return GetNumber(m_nMinimalEventInterval, pnValue);
}
HRESULT CSystemPerformanceCheckActivity::put_MinimalEventInterval(LONG nValue) {
    return PutNumber(m_nMinimalEventInterval, nValue, 0);
}

HRESULT CSystemPerformanceCheckActivity::get_PerformanceInformation(VARIANT* pvPerformanceInformation) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(pvPerformanceInformation);
    VariantInit(pvPerformanceInformation);
    const PERFORMANCE_INFORMATION Information = Sample();
    SAFEARRAY* pArray = SafeArrayCreateVector(VT_UI1, 0, sizeof Information);
    if (pArray == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    void* pData = nullptr;
    HRESULT nResult = SafeArrayAccessData(pArray, &pData);
    if (SUCCEEDED(nResult)) {
        // The record as the system lays it out: fourteen little-endian 32-bit fields.
        std::memcpy(pData, &Information, sizeof Information);
        nResult = SafeArrayUnaccessData(pArray);
    }
    if (FAILED(nResult)) {
        SafeArrayDestroy(pArray);
        corvane::ThrowHResult(nResult);
    }
    pvPerformanceInformation->vt = VT_ARRAY | VT_UI1;
    pvPerformanceInformation->parray = pArray;
    UL_GUARD_END
}

// The check

ULONG CSystemPerformanceCheckActivity::GetCheckCount() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return m_nCheckCount;
}

void CSystemPerformanceCheckActivity::CheckPerformanceInformation(CTimedEvent* pTimedEvent) {
    UL_ASSERT(pTimedEvent == &m_TimedEvent);
    // A sink may let go of the last reference to this activity while it is told; this reference keeps it
    // until the check has returned.
    CComPtr<IActivity> pSelf(static_cast<IActivity*>(this));
    try {
        const PERFORMANCE_INFORMATION Information = Sample();
        bool bRaise = false;
        {
            CUlCriticalSectionLock DataLock(m_DataCriticalSection);
            m_Information = Information;
            ++m_nCheckCount;
            if (IsThresholdReached(Information, m_Thresholds)) {
                const DWORD nTick = GetTickCount();
                bRaise = !m_bEventRaised || nTick - m_nEventTick >= static_cast<DWORD>(m_nMinimalEventInterval);
                if (bRaise) {
                    m_bEventRaised = true;
                    m_nEventTick = nTick;
                }
            }
        }
        if (!bRaise) return;
        const std::u16string sLocalTime = GetLocalTimeText();
        FireActivityEvent(m_ActivityEventsConnectionPoint, corvane::FormatResourceString(902, {sLocalTime}),
                          FormatBody(Information, sLocalTime));
    } catch (...) {
        corvane::CatchException(UL_CONTEXT, corvane::TRACE_LEVEL_FAILURE);
    }
}

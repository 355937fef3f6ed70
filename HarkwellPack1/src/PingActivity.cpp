#include "PingActivity.h"

#include <atomic>
#include <utility>

#include "Common.h"
#include "comrt/icmp.h"
#include "comrt/oleauto.h"
#include "comrt/winsock.h"
#include "corvane/ulguard.h"
#include "corvane/ulresource.h"

namespace {

const corvane::StringResource kPingStrings[] = {
    {700, u"Ping Availabilty Activity"},
    {701, u"Ping Remote Host\nPing Remote Host %s\n"},
    {702, u"Ping: %s is offline on %s"},
    {703, u"Ping remote host failed, host went offline:\r\n\tRemote Host: %s\r\n\tLocal Time: %s\r\n"},
    {704, u"Ping: %s is online on %s"},
    {705, u"Ping remote host succeeded, host went online:\r\n\tRemote Host: %s\r\n\tLocal Time: %s\r\n"},
};
const corvane::CStringTableRegistration g_PingStrings(kPingStrings);

// A new activity probes this machine until it is told which host to watch: a placeholder that never sends
// anything off the machine.
constexpr const char16_t* kDefaultHost = u"localhost";

// The reply buffer of one echo request: 1052 bytes, of which 1024 are declared to the call.
constexpr DWORD REPLY_BUFFER_SIZE = 1052;
constexpr DWORD REPLY_SIZE = 1024;

// The daemon that all ping activities of the library share (not the module's default one, so that slow
// probes delay only each other), and the number of live ping activities; both under the module's section.
CUlCriticalSection g_ModuleCriticalSection;
CObjectPtrT<CTimedEventDaemon> g_pTimedEventDaemon;
LONG g_nInstanceCount = 0;

// Set once the refusal of ICMP sockets has been written, so that a process without the permission gets one
// line saying why rather than one per probe; cleared when a socket can be opened again.
std::atomic<bool> g_bIcmpRefusalReported{false};

// A timed event whose handler may be the caller (a sink that stops the activity from inside its
// notification): destroying it there would wait five seconds for the handler to become idle, so its
// destruction is left to a one-shot event of the daemon that fires once the handler has returned.
struct CRetiredTimedEvent {
    std::unique_ptr<CPingActivity::CTimedEvent> pTimedEvent;
    CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon;

    static void DestroyProc(std::uintptr_t nEvent, std::uintptr_t, std::uintptr_t nParameter, std::uintptr_t,
                            std::uintptr_t) {
        std::unique_ptr<CRetiredTimedEvent> pRetired(reinterpret_cast<CRetiredTimedEvent*>(nParameter));
        pRetired->pTimedEventDaemon->KillEvent(nEvent);
        pRetired.reset();
    }
};

void ReleaseTimedEvent(std::unique_ptr<CPingActivity::CTimedEvent> pTimedEvent,
                       const CObjectPtrT<CTimedEventDaemon>& pTimedEventDaemon) {
    if (!pTimedEvent) return;
    pTimedEvent->Destroy();
    if (pTimedEventDaemon && pTimedEventDaemon->GetThreadIdentifier() == GetCurrentThreadId()) {
        std::unique_ptr<CRetiredTimedEvent> pRetired(new CRetiredTimedEvent{std::move(pTimedEvent), pTimedEventDaemon});
        std::uintptr_t nEvent = 0;
        if (SUCCEEDED(pTimedEventDaemon->SetEvent(0, &CRetiredTimedEvent::DestroyProc,
                                                  reinterpret_cast<std::uintptr_t>(pRetired.get()), 0, &nEvent))) {
            pRetired.release();
            return;
        }
        pTimedEvent = std::move(pRetired->pTimedEvent);
    }
    pTimedEvent.reset();
}

void ReportIcmpRefusal() {
    if (g_bIcmpRefusalReported.exchange(true)) return;
    UL_TRACE(corvane::TRACE_LEVEL_FAILURE,
             "Ping probes cannot be sent: this process may open neither a datagram ICMP socket (its group is "
             "outside net.ipv4.ping_group_range) nor a raw one (it lacks CAP_NET_RAW); every probe fails until "
             "that changes\n");
}

}  // namespace

CPingActivity::CPingActivity()
    : CBasePersistT<CPingActivity>(&m_DataCriticalSection),
      m_ActivityEventsConnectionPoint(static_cast<IConnectionPointContainer*>(this), IidOf<_ActivityEvents>()),
      m_sHost(kDefaultHost) {}

HRESULT CPingActivity::FinalConstruct() {
    try {
        CUlCriticalSectionLock ModuleLock(g_ModuleCriticalSection);
        if (g_nInstanceCount == 0) {
            CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon;
            pTimedEventDaemon.Construct();
            pTimedEventDaemon->Initialize();
            g_pTimedEventDaemon = std::move(pTimedEventDaemon);
        }
        ++g_nInstanceCount;
        m_bCounted = true;
        m_pTimedEventDaemon = g_pTimedEventDaemon;
        return S_OK;
    } catch (...) {
        return corvane::CatchException(UL_CONTEXT);
    }
}

void CPingActivity::FinalRelease() {
    UL_CATCH_ALL_BEGIN
    std::unique_ptr<CTimedEvent> pTimedEvent;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        pTimedEvent = std::move(m_pTimedEvent);
    }
    ReleaseTimedEvent(std::move(pTimedEvent), m_pTimedEventDaemon);
    m_pTimedEventDaemon.Release();
    if (!m_bCounted) return;
    CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon;
    {
        CUlCriticalSectionLock ModuleLock(g_ModuleCriticalSection);
        UL_ASSERT(g_nInstanceCount > 0);
        if (--g_nInstanceCount == 0) {
            UL_ASSERT(g_pTimedEventDaemon);
            pTimedEventDaemon = std::move(g_pTimedEventDaemon);
        }
    }
    // The last ping activity takes the daemon with it. On the daemon's own thread (the last reference was
    // a probe's) Terminate only asks the thread to end once the probe has returned.
    if (pTimedEventDaemon) pTimedEventDaemon->Terminate(INFINITE, true);
    UL_CATCH_ALL_END
}

// IActivity

HRESULT CPingActivity::get_Title(BSTR* psTitle) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(psTitle);
    *psTitle = nullptr;
    std::u16string sHost;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        sHost = m_sHost;
    }
    *psTitle = AllocateString(sHost.empty() ? corvane::LoadStringResourceLine(701, 0)
                                            : corvane::FormatString(corvane::LoadStringResourceLine(701, 1), {sHost}));
    UL_GUARD_END
}

HRESULT CPingActivity::Start() {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    if (m_pTimedEvent && m_pTimedEvent->GetEvent() != 0) return S_OK;
    UL_ASSERT(m_State.nState == STATE_UNKNOWN);
    m_State = CProbeState{STATE_ONLINE, 0, 0, false};
    try {
        auto pTimedEvent = std::make_unique<CTimedEvent>();
        pTimedEvent->Initialize(m_pTimedEventDaemon);
        pTimedEvent->Create(this, GetFirstDelay(reinterpret_cast<std::uintptr_t>(this), m_nInterval),
                            &CPingActivity::PingHandler);
        m_pTimedEvent = std::move(pTimedEvent);
    } catch (...) {
        m_State.nState = STATE_UNKNOWN;
        throw;
    }
    UL_GUARD_END
}

// Stop lets go of the timed event, and with it of the reference to this activity that the event holds:
// a stopped activity does not keep itself alive. The event is killed after the data lock is released, so
// that a probe running meanwhile can take the lock, see the activity stopped and end at once instead of
// making Stop wait for the daemon's five seconds.
HRESULT CPingActivity::Stop() {
    UL_GUARD_BEGIN
    std::unique_ptr<CTimedEvent> pTimedEvent;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        pTimedEvent = std::move(m_pTimedEvent);
        m_State.nState = STATE_UNKNOWN;
    }
    ReleaseTimedEvent(std::move(pTimedEvent), m_pTimedEventDaemon);
    UL_GUARD_END
}

// IPingActivity

HRESULT CPingActivity::get_Host(BSTR* psHost) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(psHost);
    *psHost = nullptr;
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *psHost = AllocateString(m_sHost);
    UL_GUARD_END
}

HRESULT CPingActivity::put_Host(BSTR sHost) {
    UL_GUARD_BEGIN
    std::u16string sValue(sHost ? sHost : u"", SysStringLen(sHost));
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    if (sValue == m_sHost) return S_OK;
    m_sHost.swap(sValue);
    SetDirty();
    UL_GUARD_END
}

HRESULT CPingActivity::GetNumber(const LONG& nValue, LONG* pnValue) {
    return GetNumberProperty(m_DataCriticalSection, nValue, pnValue);
}

HRESULT CPingActivity::PutNumber(LONG& nValue, LONG nNewValue) {
    return PutNumberProperty(*this, m_DataCriticalSection, nValue, nNewValue, 1);
}

HRESULT CPingActivity::get_Timeout(LONG* pnTimeout) {
    return GetNumber(m_nTimeout, pnTimeout);
}
HRESULT CPingActivity::put_Timeout(LONG nTimeout) {
    return PutNumber(m_nTimeout, nTimeout);
}
HRESULT CPingActivity::get_Interval(LONG* pnInterval) {
    return GetNumber(m_nInterval, pnInterval);
}
HRESULT CPingActivity::put_Interval(LONG nInterval) {
    return PutNumber(m_nInterval, nInterval);
}
HRESULT CPingActivity::get_RetryInterval(LONG* pnRetryInterval) {
    return GetNumber(m_nRetryInterval, pnRetryInterval);
}
HRESULT CPingActivity::put_RetryInterval(LONG nRetryInterval) {
    return PutNumber(m_nRetryInterval, nRetryInterval);
}
HRESULT CPingActivity::get_FailureCount(LONG* pnFailureCount) {
    return GetNumber(m_nFailureCount, pnFailureCount);
}
HRESULT CPingActivity::put_FailureCount(LONG nFailureCount) {
    return PutNumber(m_nFailureCount, nFailureCount);
}

// The probe

DWORD CPingActivity::GetFirstDelay(std::uintptr_t nAddress, LONG nInterval) noexcept {
    const std::uintptr_t nPeriod = static_cast<std::uintptr_t>(nInterval > 0 ? nInterval : 1);
    // An Interval below 16 ms leaves no room to spread in; the divisor is kept at 1 so it cannot be 0.
    const std::uintptr_t nDivisor = (nPeriod >> 4) != 0 ? (nPeriod >> 4) : 1;
    return static_cast<DWORD>((nAddress >> 4) % nDivisor + (nPeriod >> 5));
}

LONG CPingActivity::TakeProbeResult(CProbeState& State, bool bSucceeded, LONG nInterval, LONG nRetryInterval,
                                    LONG nFailureCount) noexcept {
    if (bSucceeded) {
        State.nState = STATE_ONLINE;
        State.nFailureCount = 0;
        // The first success replaces the spread first delay with the normal period. A success that ends a run
        // of failures returns to it as well, whether or not the run was long enough to go offline: a host
        // that answers again would otherwise be probed at the retry rate for good.
        const bool bRearm = State.nSuccessCount++ == 0 || State.bRetrying;
        if (!bRearm) return 0;
        State.bRetrying = false;
        return nInterval;
    }
    ++State.nFailureCount;
    if (State.nFailureCount >= static_cast<ULONG>(nFailureCount)) {
        State.nState = STATE_OFFLINE;
        State.nFailureCount = 0;
        State.bRetrying = false;
        return nInterval;
    }
    if (State.nFailureCount == 1) {
        State.bRetrying = true;
        return nRetryInterval;
    }
    return 0;
}

void CPingActivity::PingHandler(CTimedEvent* pTimedEvent) {
    UL_ASSERT(IsMultiThreadedApartment());
    try {
        std::u16string sHost;
        LONG nTimeout = 0;
        {
            CUlCriticalSectionLock DataLock(m_DataCriticalSection);
            // A firing that raced Stop (or Stop and a new Start) belongs to an event that is going.
            if (m_State.nState == STATE_UNKNOWN || pTimedEvent != m_pTimedEvent.get()) return;
            sHost = m_sHost;
            nTimeout = m_nTimeout;
            ++m_nProbeCount;
        }
        const bool bSucceeded = SUCCEEDED(Ping(sHost.c_str(), static_cast<DWORD>(nTimeout)));
        STATE nOldState, nNewState;
        {
            CUlCriticalSectionLock DataLock(m_DataCriticalSection);
            if (m_State.nState == STATE_UNKNOWN || pTimedEvent != m_pTimedEvent.get()) return;
            nOldState = m_State.nState;
            const LONG nPeriod = TakeProbeResult(m_State, bSucceeded, m_nInterval, m_nRetryInterval, m_nFailureCount);
            nNewState = m_State.nState;
            if (nPeriod != 0) m_pTimedEvent->Create(this, static_cast<DWORD>(nPeriod), &CPingActivity::PingHandler);
        }
        if (nNewState != nOldState) RaiseEvent(nNewState, sHost);
    } catch (...) {
        corvane::CatchException(UL_CONTEXT, corvane::TRACE_LEVEL_ERROR);
    }
}

HRESULT CPingActivity::Ping(const char16_t* pszHost, DWORD nTimeout) {
    UL_ASSERT(pszHost);
    IPAddr nAddress = 0;
    if (const LONG nError = comrt::ResolveHostAddress(pszHost != nullptr ? pszHost : u"", &nAddress); nError != 0) {
        SetLastError(static_cast<DWORD>(nError));
        return HRESULT_FROM_WIN32(static_cast<DWORD>(nError));
    }

    const HANDLE hIcmp = IcmpCreateFile();
    if (hIcmp == INVALID_HANDLE_VALUE) {
        const DWORD nError = GetLastError();
        if (nError == static_cast<DWORD>(ERROR_ACCESS_DENIED)) ReportIcmpRefusal();
        SetLastError(nError);
        return HRESULT_FROM_WIN32(nError);
    }
    g_bIcmpRefusalReported = false;
    IP_OPTION_INFORMATION Options{255, 0, 0, 0, nullptr};
    alignas(ICMP_ECHO_REPLY) BYTE Reply[REPLY_BUFFER_SIZE];
    const DWORD nReplies = IcmpSendEcho(hIcmp, nAddress, nullptr, 0, &Options, Reply, REPLY_SIZE, nTimeout);
    DWORD nError = GetLastError();
    const ULONG nStatus = nReplies > 0 ? reinterpret_cast<const ICMP_ECHO_REPLY*>(Reply)->Status : IP_GENERAL_FAILURE;
    IcmpCloseHandle(hIcmp);
    if (nReplies > 0 && nStatus == IP_SUCCESS) return S_OK;
    if (nReplies > 0) nError = nStatus;
    SetLastError(nError);
    return HRESULT_FROM_WIN32(nError);
}

void CPingActivity::RaiseEvent(STATE nState, const std::u16string& sHost) {
    const std::u16string sLocalTime = GetLocalTimeText();
    const bool bOffline = nState == STATE_OFFLINE;
    FireActivityEvent(m_ActivityEventsConnectionPoint,
                      corvane::FormatResourceString(bOffline ? 702 : 704, {sHost, sLocalTime}),
                      corvane::FormatResourceString(bOffline ? 703 : 705, {sHost, sLocalTime}));
}

CPingActivity::STATE CPingActivity::GetState() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return m_State.nState;
}

ULONG CPingActivity::GetProbeCount() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return m_nProbeCount;
}

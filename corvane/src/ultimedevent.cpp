// The timed event daemon and the module's two daemons.
#include "corvane/ultimedevent.h"

#include "corvane/ulmodule.h"

namespace {

unsigned Low32(std::uintptr_t n) noexcept {
    return static_cast<unsigned>(n);
}

}  // namespace

namespace corvane::detail {

void TraceIdlenessTimeout(const CDebugTraceLocalContext& Context, DWORD nWaitResult) noexcept {
    Context.Write(TRACE_LEVEL_ERROR, "Worker thread failed to get idle within reasonable time, nWaitResult %d\n",
                  static_cast<int>(nWaitResult));
}

}  // namespace corvane::detail

// The record list

std::uintptr_t CTimedEventDaemon::CTimedEventList::Add(const CTimedEvent& TimedEvent) {
    m_Records.push_back(TimedEvent);
    const auto it = std::prev(m_Records.end());
    it->nSerial = m_nNextSerial++;
    try {
        m_Positions.emplace(PositionOf(*it), it);
    } catch (...) {
        m_Records.pop_back();
        throw;
    }
    return PositionOf(*it);
}

CTimedEventDaemon::CTimedEvent* CTimedEventDaemon::CTimedEventList::Find(std::uintptr_t Position) const noexcept {
    const auto it = m_Positions.find(Position);
    return it != m_Positions.end() ? &*it->second : nullptr;
}

void CTimedEventDaemon::CTimedEventList::Remove(std::uintptr_t Position) noexcept {
    const auto it = m_Positions.find(Position);
    if (it == m_Positions.end()) return;
    m_Records.erase(it->second);
    m_Positions.erase(it);
}

// The daemon

CTimedEventDaemon::CTimedEventDaemon() : m_ListChangeEvent(true, false), m_IdlenessEvent(true, true) {
    UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "this 0x%08x\n", Low32(reinterpret_cast<std::uintptr_t>(this)));
}

CTimedEventDaemon::~CTimedEventDaemon() {
    UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "this 0x%08x\n", Low32(reinterpret_cast<std::uintptr_t>(this)));
    UL_ASSERT(!m_pThread);
}

void CTimedEventDaemon::Initialize() {
    UL_ASSERT(!m_pThread);
    CObjectPtrT<CThread> pThread;
    pThread.Construct();
    {
        std::lock_guard Lock(m_DataCriticalSection);
        m_pThread = pThread;
    }
    bool bStarted = false;
    try {
        bStarted = pThread->Initialize(this, &CTimedEventDaemon::ThreadProc);
    } catch (...) {
        std::lock_guard Lock(m_DataCriticalSection);
        m_pThread.Release();
        throw;
    }
    if (!bStarted) {
        // The procedure ends before its start only by an exception, whose HRESULT is the last error.
        const HRESULT nResult = static_cast<HRESULT>(GetLastError());
        {
            std::lock_guard Lock(m_DataCriticalSection);
            m_pThread.Release();
        }
        corvane::ThrowHResult(FAILED(nResult) ? nResult : E_FAIL);
    }
}

HRESULT CTimedEventDaemon::SetEvent(DWORD nDelay, TimedEventProc pTimedEventProc, std::uintptr_t nParameter,
                                    DWORD nFlags, std::uintptr_t* pnEvent) noexcept {
    try {
        UL_ASSERT(pnEvent);
        corvane::CheckPointer(pnEvent);
        if (pTimedEventProc == nullptr) corvane::ThrowHResult(E_POINTER);
        std::lock_guard Lock(m_DataCriticalSection);
        CTimedEvent TimedEvent{};
        TimedEvent.nDelay = nDelay;
        TimedEvent.pTimedEventProc = pTimedEventProc;
        TimedEvent.nParameter = nParameter;
        TimedEvent.nFlags = nFlags;
        TimedEvent.nTime = GetTickCount();
        const std::uintptr_t Position = m_TimedEventList.Add(TimedEvent);
        m_ListChangeEvent.Set();
        *pnEvent = Position;
        UL_TRACE(corvane::TRACE_LEVEL_VERBOSE,
                 "An event has been set, Position 0x%08x, nDelay %d, nFlags 0x%x, %d events on the list\n",
                 Low32(Position), static_cast<int>(nDelay), nFlags, static_cast<int>(m_TimedEventList.GetCount()));
        return S_OK;
    } catch (...) {
        const HRESULT nResult = corvane::detail::ResultOfCurrentException();
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, corvane::TraceText::CheckFailed, static_cast<unsigned>(nResult),
                 "Exception.m_hr");
        return nResult;
    }
}

HRESULT CTimedEventDaemon::KillEvent(std::uintptr_t nEvent) noexcept {
    const std::uintptr_t Position = nEvent;
    bool bWait = false;
    {
        std::lock_guard Lock(m_DataCriticalSection);
        UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "An event is being killed, Position 0x%08x\n", Low32(Position));
        const CTimedEvent* pTimedEvent = m_TimedEventList.Find(Position);
        if (pTimedEvent == nullptr) {
            UL_TRACE(corvane::TRACE_LEVEL_FAILURE, corvane::TraceText::CheckFailed, static_cast<unsigned>(E_INVALIDARG),
                     "m_TimedEventList.IsValidPosition(Position)");
            return E_INVALIDARG;
        }
        // A procedure that kills its own event must not wait for itself.
        bWait = pTimedEvent->bActive && m_pThread && GetCurrentThreadId() != m_pThread->GetThreadIdentifier();
        m_TimedEventList.Remove(Position);
        m_ListChangeEvent.Set();
        UL_TRACE(corvane::TRACE_LEVEL_VERBOSE,
                 "An event has been killed, Position 0x%08x, %d more events on the list\n", Low32(Position),
                 static_cast<int>(m_TimedEventList.GetCount()));
    }
    if (bWait) {
        const DWORD nWaitResult = WaitForSingleObject(m_IdlenessEvent, IDLENESS_TIMEOUT);
        UL_ASSERT(nWaitResult == WAIT_OBJECT_0 || nWaitResult == WAIT_TIMEOUT);
        if (nWaitResult == WAIT_TIMEOUT) corvane::detail::TraceIdlenessTimeout(UL_CONTEXT, nWaitResult);
    }
    return S_OK;
}

bool CTimedEventDaemon::Terminate(DWORD nTimeout, bool bForceTermination) {
    CObjectPtrT<CThread> pThread;
    {
        std::lock_guard Lock(m_DataCriticalSection);
        pThread.Swap(&m_pThread);
    }
    if (!pThread) return false;
    const bool bTerminated = pThread->Terminate(nTimeout, bForceTermination);
    pThread.Release();
    return bTerminated;
}

std::size_t CTimedEventDaemon::GetEventCount() const {
    std::lock_guard Lock(m_DataCriticalSection);
    return m_TimedEventList.GetCount();
}

DWORD CTimedEventDaemon::GetThreadIdentifier() const {
    std::lock_guard Lock(m_DataCriticalSection);
    return m_pThread ? m_pThread->GetThreadIdentifier() : 0;
}

DWORD CTimedEventDaemon::ThreadProc(CThread* pThread, CEvent& InitializationEvent, CEvent& TerminationEvent) {
    CMultiThreadedApartment Apartment;
    // The daemon stays while its thread runs, even when its owner lets go of it first.
    CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon(this);
    UL_ASSERT(InitializationEvent.Set());
    const HANDLE phObjects[] = {TerminationEvent, m_ListChangeEvent};
    for (;;) {
        const DWORD nWaitResult = WaitForMultipleObjects(2, phObjects, FALSE, INFINITE);
        if (nWaitResult != WAIT_OBJECT_0 + 1) {
            UL_ASSERT(nWaitResult == WAIT_OBJECT_0);
            break;
        }
        if (!RunTimedEvents(TerminationEvent)) break;
    }
    pTimedEventDaemon.Release();
    return 0;
}

bool CTimedEventDaemon::RunTimedEvents(HANDLE hTerminationEvent) {
    const HANDLE phObjects[] = {hTerminationEvent, m_ListChangeEvent};
    for (;;) {
        std::uintptr_t Position = 0;
        std::uint64_t nSerial = 0;
        LONG nRemaining = 0;
        {
            std::unique_lock Lock(m_DataCriticalSection);
            // The earliest due time among the eligible records; a later record wins only when it is due
            // strictly earlier, so equal due times fire in the order the events were set.
            const CTimedEvent* pPicked = nullptr;
            for (const CTimedEvent& TimedEvent : m_TimedEventList.Records()) {
                if (!TimedEvent.IsEligible()) continue;
                if (pPicked == nullptr || static_cast<LONG>(TimedEvent.GetDueTime() - pPicked->GetDueTime()) < 0)
                    pPicked = &TimedEvent;
            }
            // Reset after the scan and under the lock: a change made from now on wakes the wait below.
            m_ListChangeEvent.Reset();
            UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "%d timed events on the list\n",
                     static_cast<int>(m_TimedEventList.GetCount()));
            if (pPicked == nullptr) {
                UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "No more active timed events found\n");
                return true;
            }
            Position = CTimedEventList::PositionOf(*pPicked);
            nSerial = pPicked->nSerial;
            nRemaining = static_cast<LONG>(pPicked->GetDueTime() - GetTickCount());
        }
        if (nRemaining >= 1) {
            const DWORD nWaitResult = WaitForMultipleObjects(2, phObjects, FALSE, static_cast<DWORD>(nRemaining));
            if (nWaitResult == WAIT_OBJECT_0) return true;
            if (nWaitResult == WAIT_OBJECT_0 + 1) {
                UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "Timed event list changed\n");
                continue;
            }
            if (nWaitResult != WAIT_TIMEOUT) {
                UL_ASSERT(nWaitResult == WAIT_TIMEOUT);
                return false;
            }
        } else if (WaitForSingleObject(hTerminationEvent, 0) == WAIT_OBJECT_0) {
            // Events that are always due (a periodic event of delay 0, or more work than the thread can do)
            // never let the daemon wait, so it looks for the termination request here.
            return true;
        }
        FireTimedEvent(Position, nSerial);
    }
}

void CTimedEventDaemon::FireTimedEvent(std::uintptr_t Position, std::uint64_t nSerial) {
    TimedEventProc pTimedEventProc = nullptr;
    std::uintptr_t nParameter = 0;
    {
        std::lock_guard Lock(m_DataCriticalSection);
        CTimedEvent* pTimedEvent = m_TimedEventList.Find(Position);
        if (pTimedEvent == nullptr || pTimedEvent->nSerial != nSerial) return;
        UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "Firing an event, CurrentPosition 0x%08x\n", Low32(Position));
        pTimedEvent->nTime = GetTickCount();
        pTimedEvent->bFired = true;
        pTimedEvent->bActive = true;
        pTimedEventProc = pTimedEvent->pTimedEventProc;
        nParameter = pTimedEvent->nParameter;
        m_IdlenessEvent.Reset();
    }
    try {
        pTimedEventProc(Position, 0, nParameter, 0, 0);
    } catch (...) {
        corvane::CatchAll(UL_CONTEXT);
    }
    m_IdlenessEvent.Set();
    std::lock_guard Lock(m_DataCriticalSection);
    CTimedEvent* pTimedEvent = m_TimedEventList.Find(Position);
    if (pTimedEvent != nullptr && pTimedEvent->nSerial == nSerial) pTimedEvent->bActive = false;
}

// The module's daemons

namespace {

// The daemon and its worker thread object each hold a module lock. A module-wide daemon gives both back
// while the module holds it, so that it does not keep a plug-in library loaded.
constexpr int MODULE_DAEMON_LOCKS = 2;

// Guards creation and destruction of both module-wide daemons.
constinit std::mutex g_ModuleDaemonLock;

// One module-wide daemon. Trivially destructible, so it is still there when the termination functions run
// at the very end of the module.
struct CModuleDaemon {
    CTimedEventDaemon* pDaemon;  // holds one reference
    std::uintptr_t nParameter;   // what the termination function was registered with
    bool bFinal;                 // once destroyed, not created again
    bool bDestroyed;
    bool bTerminationRegistered;
    corvane::ModuleTerminationFunction pfnTermination;
};

void DestroyDefaultAtTermination() noexcept;
void DestroyCriticalSectionsAtTermination() noexcept;

constinit CModuleDaemon g_DefaultDaemon{nullptr, 0, true, false, false, &DestroyDefaultAtTermination};
constinit CModuleDaemon g_CriticalSectionsDaemon{nullptr, 0,     false,
                                                 false,   false, &DestroyCriticalSectionsAtTermination};

std::uintptr_t TerminationParameter(CModuleDaemon& Daemon) noexcept {
    std::lock_guard Lock(g_ModuleDaemonLock);
    Daemon.bTerminationRegistered = false;
    return Daemon.nParameter;
}

void DestroyDefaultAtTermination() noexcept {
    CTimedEventDaemon::DestroyDefaultTimedEventDaemon(TerminationParameter(g_DefaultDaemon));
}

void DestroyCriticalSectionsAtTermination() noexcept {
    CTimedEventDaemon::DestroyCriticalSectionsTimedEventDaemon(TerminationParameter(g_CriticalSectionsDaemon));
}

CObjectPtrT<CTimedEventDaemon> GetModuleDaemon(CModuleDaemon& Daemon) noexcept {
    try {
        std::lock_guard Lock(g_ModuleDaemonLock);
        if (Daemon.bDestroyed) return {};
        if (Daemon.pDaemon == nullptr) {
            CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon;
            pTimedEventDaemon.Construct();
            pTimedEventDaemon->Initialize();
            const std::uintptr_t nParameter = reinterpret_cast<std::uintptr_t>(pTimedEventDaemon.Get());
            if (!Daemon.bTerminationRegistered) {
                // Without its termination function the daemon's thread would outlive the module's code.
                if (!corvane::AddModuleTerminationFunction(Daemon.pfnTermination)) {
                    pTimedEventDaemon->Terminate(CTimedEventDaemon::MODULE_TERMINATION_TIMEOUT, false);
                    corvane::ThrowHResult(E_OUTOFMEMORY);
                }
                Daemon.bTerminationRegistered = true;
            }
            Daemon.nParameter = nParameter;
            Daemon.pDaemon = pTimedEventDaemon.Detach();
            for (int i = 0; i < MODULE_DAEMON_LOCKS; ++i) ModuleUnlock();
        }
        return CObjectPtrT<CTimedEventDaemon>(Daemon.pDaemon);
    } catch (...) {
        corvane::CatchAll(UL_CONTEXT);
        return {};
    }
}

void DestroyModuleDaemon(CModuleDaemon& Daemon, std::uintptr_t nParameter) noexcept {
    try {
        CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon;
        {
            std::lock_guard Lock(g_ModuleDaemonLock);
            if (Daemon.bFinal) Daemon.bDestroyed = true;
            pTimedEventDaemon.Attach(std::exchange(Daemon.pDaemon, nullptr));
            if (pTimedEventDaemon)
                for (int i = 0; i < MODULE_DAEMON_LOCKS; ++i) ModuleLock();
        }
        if (!pTimedEventDaemon) return;
        if (!(pTimedEventDaemon == reinterpret_cast<CTimedEventDaemon*>(nParameter)))
            corvane::AssertionFailed(UL_CONTEXT, "pTimedEventDaemon == (CTimedEventDaemon*) nParameter");
        pTimedEventDaemon->Terminate(CTimedEventDaemon::MODULE_TERMINATION_TIMEOUT, false);
        pTimedEventDaemon.Release();
    } catch (...) {
        corvane::CatchAll(UL_CONTEXT);
    }
}

}  // namespace

CObjectPtrT<CTimedEventDaemon> CTimedEventDaemon::GetDefaultTimedEventDaemon() noexcept {
    return GetModuleDaemon(g_DefaultDaemon);
}

void CTimedEventDaemon::DestroyDefaultTimedEventDaemon(std::uintptr_t nParameter) noexcept {
    DestroyModuleDaemon(g_DefaultDaemon, nParameter);
}

CObjectPtrT<CTimedEventDaemon> CTimedEventDaemon::GetCriticalSectionsTimedEventDaemon() noexcept {
    return GetModuleDaemon(g_CriticalSectionsDaemon);
}

void CTimedEventDaemon::DestroyCriticalSectionsTimedEventDaemon(std::uintptr_t nParameter) noexcept {
    DestroyModuleDaemon(g_CriticalSectionsDaemon, nParameter);
}

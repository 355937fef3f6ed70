// The timed event daemon and the module's two daemons.
#include "corvane/ultimedevent.h"

#include <algorithm>
#include <chrono>

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

CTimedEventDaemon::CTimedEvent& CTimedEventDaemon::CTimedEventList::Add(const CTimedEvent& TimedEvent) {
    m_Records.push_back(TimedEvent);
    const auto it = std::prev(m_Records.end());
    it->nSerial = m_nNextSerial++;
    try {
        m_Positions.emplace(PositionOf(*it), it);
    } catch (...) {
        m_Records.pop_back();
        throw;
    }
    return *it;
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

// The queue of due times

void CTimedEventDaemon::CTimedEventQueue::Reserve() {
    // reserve(size + 1) alone would reallocate on every push: starting n events would cost O(n²).
    if (m_Entries.size() == m_Entries.capacity()) m_Entries.reserve(std::max<std::size_t>(16, 2 * m_Entries.size()));
}

void CTimedEventDaemon::CTimedEventQueue::Place(std::size_t i, const CEntry& Entry) noexcept {
    m_Entries[i] = Entry;
    Entry.pTimedEvent->nQueueIndex = i;
}

void CTimedEventDaemon::CTimedEventQueue::Settle(std::size_t i, const CEntry& Entry) noexcept {
    // Up while it is earlier than its parent...
    if (i > 0 && IsEarlier(Entry, m_Entries[(i - 1) / ARITY])) {
        do {
            const std::size_t iParent = (i - 1) / ARITY;
            if (!IsEarlier(Entry, m_Entries[iParent])) break;
            Place(i, m_Entries[iParent]);
            i = iParent;
        } while (i > 0);
        Place(i, Entry);
        return;
    }
    // ...otherwise down. A fired event, the common case, is due after all the others and belongs at the
    // bottom: move the earliest child up all the way to a leaf, then bring the entry back up to its place,
    // which is at once for such an event. It never rises above i: the parent of i is not later than it.
    const std::size_t nCount = m_Entries.size();
    for (std::size_t iFirst; (iFirst = ARITY * i + 1) < nCount;) {
        const std::size_t iEnd = std::min(iFirst + ARITY, nCount);
        std::size_t iChild = iFirst;
        for (std::size_t j = iFirst + 1; j < iEnd; ++j)
            if (IsEarlier(m_Entries[j], m_Entries[iChild])) iChild = j;
        Place(i, m_Entries[iChild]);
        i = iChild;
    }
    while (i > 0) {
        const std::size_t iParent = (i - 1) / ARITY;
        if (!IsEarlier(Entry, m_Entries[iParent])) break;
        Place(i, m_Entries[iParent]);
        i = iParent;
    }
    Place(i, Entry);
}

void CTimedEventDaemon::CTimedEventQueue::Push(CTimedEvent& TimedEvent) noexcept {
    UL_ASSERT(TimedEvent.nQueueIndex == NOT_QUEUED && m_Entries.size() < m_Entries.capacity());
    const CEntry Entry = EntryOf(TimedEvent);
    m_Entries.push_back(Entry);  // cannot reallocate: Reserve made room
    Settle(m_Entries.size() - 1, Entry);
}

void CTimedEventDaemon::CTimedEventQueue::Remove(CTimedEvent& TimedEvent) noexcept {
    const std::size_t i = std::exchange(TimedEvent.nQueueIndex, NOT_QUEUED);
    if (i == NOT_QUEUED) return;
    const CEntry Last = m_Entries.back();
    m_Entries.pop_back();
    if (i < m_Entries.size()) Settle(i, Last);
}

void CTimedEventDaemon::CTimedEventQueue::Update(CTimedEvent& TimedEvent) noexcept {
    if (TimedEvent.nQueueIndex == NOT_QUEUED) return;
    Settle(TimedEvent.nQueueIndex, EntryOf(TimedEvent));
}

// The daemon

CTimedEventDaemon::CTimedEventDaemon() {
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
        CTimedEvent NewTimedEvent{};
        NewTimedEvent.nDelay = nDelay;
        NewTimedEvent.pTimedEventProc = pTimedEventProc;
        NewTimedEvent.nParameter = nParameter;
        NewTimedEvent.nFlags = nFlags;
        NewTimedEvent.nTime = GetTickCount();
        // Both may raise, and then nothing has changed.
        m_TimedEventQueue.Reserve();
        CTimedEvent& TimedEvent = m_TimedEventList.Add(NewTimedEvent);
        m_TimedEventQueue.Push(TimedEvent);
        // Only an event that is now the next one due changes how long the daemon thread sleeps.
        if (m_bWaiting && m_TimedEventQueue.Top() == &TimedEvent) m_ListChangeCondition.notify_one();
        const std::uintptr_t Position = CTimedEventList::PositionOf(TimedEvent);
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
    std::unique_lock Lock(m_DataCriticalSection);
    UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "An event is being killed, Position 0x%08x\n", Low32(Position));
    CTimedEvent* pTimedEvent = m_TimedEventList.Find(Position);
    if (pTimedEvent == nullptr) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, corvane::TraceText::CheckFailed, static_cast<unsigned>(E_INVALIDARG),
                 "m_TimedEventList.IsValidPosition(Position)");
        return E_INVALIDARG;
    }
    // A procedure that kills its own event must not wait for itself.
    const bool bWait = pTimedEvent->bActive && m_pThread && GetCurrentThreadId() != m_pThread->GetThreadIdentifier();
    const std::uint64_t nSerial = pTimedEvent->nSerial;
    if (pTimedEvent == m_pActiveTimedEvent) m_pActiveTimedEvent = nullptr;
    // The daemon thread is not woken: were this the event it sleeps for, it finds the next one when it wakes.
    m_TimedEventQueue.Remove(*pTimedEvent);
    m_TimedEventList.Remove(Position);
    UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "An event has been killed, Position 0x%08x, %d more events on the list\n",
             Low32(Position), static_cast<int>(m_TimedEventList.GetCount()));
    if (!bWait) return S_OK;
    // The end of this event's procedure, not of whichever procedure runs when the wait begins or ends.
    ++m_nIdlenessWaiters;
    const bool bIdle = m_IdlenessCondition.wait_for(Lock, std::chrono::milliseconds(IDLENESS_TIMEOUT),
                                                    [&] { return m_nActiveSerial != nSerial; });
    --m_nIdlenessWaiters;
    Lock.unlock();
    if (!bIdle) corvane::detail::TraceIdlenessTimeout(UL_CONTEXT, WAIT_TIMEOUT);
    return S_OK;
}

bool CTimedEventDaemon::Terminate(DWORD nTimeout, bool bForceTermination) {
    CObjectPtrT<CThread> pThread;
    {
        std::lock_guard Lock(m_DataCriticalSection);
        pThread.Swap(&m_pThread);
        // The daemon thread ends once it sees that its thread object has been taken.
        m_ListChangeCondition.notify_all();
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

// The thread object's termination event is set only by its Terminate, which the daemon calls after taking
// the object under its lock and waking its thread: the thread watches that instead of the event, so that it
// can sleep on a condition variable to the exact instant the next event falls due.
DWORD CTimedEventDaemon::ThreadProc(CThread* pThread, CEvent& InitializationEvent, CEvent& TerminationEvent) {
    CMultiThreadedApartment Apartment;
    // The daemon stays while its thread runs, even when its owner lets go of it first.
    CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon(this);
    UL_ASSERT(InitializationEvent.Set());
    {
        std::unique_lock Lock(m_DataCriticalSection);
        RunTimedEvents(Lock, pThread);
    }
    pTimedEventDaemon.Release();
    return 0;
}

void CTimedEventDaemon::RunTimedEvents(std::unique_lock<std::mutex>& Lock, const CThread* pThread) {
    for (;;) {
        // Looked at before every firing too: events that are always due never let the thread sleep.
        if (m_pThread.Get() != pThread) return;
        UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "%d timed events on the list\n",
                 static_cast<int>(m_TimedEventList.GetCount()));
        CTimedEvent* pTimedEvent = m_TimedEventQueue.Top();
        if (pTimedEvent == nullptr) {
            UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "No more active timed events found\n");
            m_bWaiting = true;
            m_ListChangeCondition.wait(Lock);
            m_bWaiting = false;
            continue;
        }
        DWORD nTime = GetTickCount();
        if (static_cast<LONG>(pTimedEvent->GetDueTime() - nTime) >= 1) {
            // The tick counter counts the monotonic clock's whole milliseconds, and the steady clock is that
            // clock: sleep to the millisecond at which the counter reaches the due time. The clock is read
            // before the counter, so a millisecond that ends between the two makes the wake early (and the
            // loop sleeps again), never late.
            const auto Now = std::chrono::steady_clock::now();
            nTime = GetTickCount();
            const LONG nRemaining = static_cast<LONG>(pTimedEvent->GetDueTime() - nTime);
            if (nRemaining >= 1) {
                const auto Due =
                    std::chrono::floor<std::chrono::milliseconds>(Now) + std::chrono::milliseconds(nRemaining);
                m_bWaiting = true;
                const std::cv_status Status = m_ListChangeCondition.wait_until(Lock, Due);
                m_bWaiting = false;
                if (Status == std::cv_status::no_timeout)
                    UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "Timed event list changed\n");
                continue;
            }
        }
        FireTimedEvent(Lock, *pTimedEvent, nTime);
    }
}

void CTimedEventDaemon::FireTimedEvent(std::unique_lock<std::mutex>& Lock, CTimedEvent& TimedEvent, DWORD nTime) {
    const std::uintptr_t Position = CTimedEventList::PositionOf(TimedEvent);
    UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "Firing an event, CurrentPosition 0x%08x\n", Low32(Position));
    TimedEvent.nTime = nTime;
    TimedEvent.bFired = true;
    TimedEvent.bActive = true;
    // A periodic event is due again a period after this firing's start; a one-shot one is done.
    if (TimedEvent.IsEligible())
        m_TimedEventQueue.Update(TimedEvent);
    else
        m_TimedEventQueue.Remove(TimedEvent);
    const TimedEventProc pTimedEventProc = TimedEvent.pTimedEventProc;
    const std::uintptr_t nParameter = TimedEvent.nParameter;
    m_pActiveTimedEvent = &TimedEvent;
    m_nActiveSerial = TimedEvent.nSerial;
    Lock.unlock();
    try {
        pTimedEventProc(Position, 0, nParameter, 0, 0);
    } catch (...) {
        corvane::CatchAll(UL_CONTEXT);
    }
    Lock.lock();
    // Killed meanwhile, the record is gone.
    if (m_pActiveTimedEvent != nullptr) m_pActiveTimedEvent->bActive = false;
    m_pActiveTimedEvent = nullptr;
    m_nActiveSerial = 0;
    if (m_nIdlenessWaiters > 0) m_IdlenessCondition.notify_all();
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

// The timed event daemon: one worker thread that calls each event's procedure when its delay has run out,
// once (one-shot) or over and over (periodic), and CTimedEventT, which binds one periodic event to a member
// function of an owner.
//
//   CObjectPtrT<CTimedEventDaemon> pDaemon = CTimedEventDaemon::GetDefaultTimedEventDaemon();
//   std::uintptr_t nEvent = 0;
//   pDaemon->SetEvent(1000, &Tick, nParameter, CTimedEventDaemon::TIMED_EVENT_PERIODIC, &nEvent);
//   ...
//   pDaemon->KillEvent(nEvent);   // returns once a running Tick has finished (at most 5 seconds)
//
// Times are GetTickCount ticks compared by signed difference, so the counter's wrap does not disturb the
// order. The period of a periodic event runs from the start of one firing to the start of the next; firings
// of all events are serialised on the one thread, in due order, and among equal due times in the order
// the events were set. The data lock is never held while a procedure runs, so procedures may set and kill
// events of their own daemon; such changes take effect when the daemon next picks an event.
//
// Cost: the eligible events wait in a heap keyed by due time and order of setting, so setting,
// killing and firing an event take O(log n) and starting n events O(n log n). The daemon thread sleeps
// until the millisecond tick of the next due time; it wakes early only for an event that becomes the
// next one due, and a kill waits for its own event's procedure only.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "comrt/sync.h"
#include "corvane/ulthread.h"

class CTimedEventDaemon {
public:
    // The event procedure, called on the daemon thread with the event identifier, 0, the event's
    // parameter, 0, 0. An exception that leaves it is caught and written to the trace.
    using TimedEventProc = void (*)(std::uintptr_t nEvent, std::uintptr_t nReserved1, std::uintptr_t nParameter,
                                    std::uintptr_t nReserved2, std::uintptr_t nReserved3);

    // nFlags bit 0: periodic; without it the event is one-shot. Other bits have no meaning.
    static constexpr DWORD TIMED_EVENT_PERIODIC = 0x1;
    // How long KillEvent waits for a running procedure.
    static constexpr DWORD IDLENESS_TIMEOUT = 5000;
    // How long the module's termination waits for a module-wide daemon's thread.
    static constexpr DWORD MODULE_TERMINATION_TIMEOUT = 1000;

    // An empty daemon without a thread.
    CTimedEventDaemon();
    CTimedEventDaemon(const CTimedEventDaemon&) = delete;
    CTimedEventDaemon& operator=(const CTimedEventDaemon&) = delete;
    // The owner must have called Terminate before the last reference goes.
    ~CTimedEventDaemon();

    // Starts the daemon thread and returns once it runs. Raises an HRESULT when it cannot be started. The
    // daemon must be held by a CObjectPtrT: its thread holds a reference of its own while it runs.
    void Initialize();
    // Appends an event due nDelay milliseconds from now and stores its identifier (nonzero) in *pnEvent.
    // E_POINTER for a missing pnEvent or procedure; an exception inside is written and its HRESULT returned.
    HRESULT SetEvent(DWORD nDelay, TimedEventProc pTimedEventProc, std::uintptr_t nParameter, DWORD nFlags,
                     std::uintptr_t* pnEvent) noexcept;
    // Removes an event. E_INVALIDARG, and nothing changed, when nEvent names no event on the list (unknown or
    // already killed). Called from another thread while the event's own procedure runs, it returns after that
    // procedure has finished or after IDLENESS_TIMEOUT; otherwise, and from inside the procedure, at once.
    HRESULT KillEvent(std::uintptr_t nEvent) noexcept;
    // Stops the daemon thread (CThreadT::Terminate with the same arguments) and lets go of it; false when
    // there was no thread or it did not end in time. Releasing the thread object waits for a thread that is
    // still running.
    bool Terminate(DWORD nTimeout = INFINITE, bool bForceTermination = false);

    // The number of events on the list, fired one-shot events included.
    std::size_t GetEventCount() const;
    // The daemon thread's identifier; 0 without a thread.
    DWORD GetThreadIdentifier() const;

    // The module's default daemon, created on first use; empty once the module has begun to destroy it (and
    // when it cannot be created). It does not keep a plug-in library loaded: it gives back the module locks
    // that it and its worker thread object hold, and takes them again when it is destroyed.
    static CObjectPtrT<CTimedEventDaemon> GetDefaultTimedEventDaemon() noexcept;
    // The module termination function of the default daemon; nParameter is the daemon it was registered
    // with. Marks the default daemon destroyed for good and terminates it (1000 ms, not forced).
    static void DestroyDefaultTimedEventDaemon(std::uintptr_t nParameter) noexcept;
    // The same pair for the daemon of the critical sections' deadlock watch, without the mark: after it was
    // destroyed, the next request creates a new one.
    static CObjectPtrT<CTimedEventDaemon> GetCriticalSectionsTimedEventDaemon() noexcept;
    static void DestroyCriticalSectionsTimedEventDaemon(std::uintptr_t nParameter) noexcept;

private:
    static constexpr std::size_t NOT_QUEUED = static_cast<std::size_t>(-1);

    // One timed event record. Its address is the event identifier.
    struct CTimedEvent {
        DWORD nDelay;
        TimedEventProc pTimedEventProc;
        std::uintptr_t nParameter;
        DWORD nFlags;
        DWORD nTime;  // when set, later when its latest firing started
        bool bFired = false;
        bool bActive = false;
        // The order of setting: decides among equal due times, and tells a record from a later one that the
        // allocator put at the same address.
        std::uint64_t nSerial = 0;
        // Its place in the queue while it is eligible, NOT_QUEUED otherwise.
        std::size_t nQueueIndex = NOT_QUEUED;

        DWORD GetDueTime() const noexcept { return nTime + nDelay; }
        bool IsEligible() const noexcept { return (nFlags & TIMED_EVENT_PERIODIC) != 0 || !bFired; }
    };

    // The records in the order they were set, with an index from identifier to record.
    class CTimedEventList {
    public:
        // Appends a copy of TimedEvent with the next serial; nothing changes when it raises.
        CTimedEvent& Add(const CTimedEvent& TimedEvent);
        bool IsValidPosition(std::uintptr_t Position) const noexcept { return Find(Position) != nullptr; }
        CTimedEvent* Find(std::uintptr_t Position) const noexcept;
        void Remove(std::uintptr_t Position) noexcept;
        std::size_t GetCount() const noexcept { return m_Records.size(); }

        static std::uintptr_t PositionOf(const CTimedEvent& TimedEvent) noexcept {
            return reinterpret_cast<std::uintptr_t>(&TimedEvent);
        }

    private:
        std::list<CTimedEvent> m_Records;
        std::unordered_map<std::uintptr_t, std::list<CTimedEvent>::iterator> m_Positions;
        std::uint64_t m_nNextSerial = 1;
    };

    // The eligible records, earliest due time first and among equal due times the one set first: a heap
    // (four children a node: half the levels of a binary one, so half the records' places to rewrite when an
    // entry moves) whose entries carry their keys (the daemon compares without touching the records), while
    // each record knows its entry so that it leaves the heap in O(log n) when it is killed. Due times are compared
    // by signed difference, so the order holds across the counter's wrap.
    class CTimedEventQueue {
    public:
        // Makes room for one more entry, growing geometrically; raises std::bad_alloc, changing nothing.
        void Reserve();
        // Adds an eligible record; room must have been made.
        void Push(CTimedEvent& TimedEvent) noexcept;
        // Takes a record out; does nothing for one that is not queued.
        void Remove(CTimedEvent& TimedEvent) noexcept;
        // Moves a queued record to the place of its new due time.
        void Update(CTimedEvent& TimedEvent) noexcept;
        // The record due next; null when the queue is empty.
        CTimedEvent* Top() const noexcept { return m_Entries.empty() ? nullptr : m_Entries.front().pTimedEvent; }

    private:
        struct CEntry {
            DWORD nDueTime;
            std::uint64_t nSerial;
            CTimedEvent* pTimedEvent;
        };

        static CEntry EntryOf(CTimedEvent& TimedEvent) noexcept {
            return {TimedEvent.GetDueTime(), TimedEvent.nSerial, &TimedEvent};
        }
        static bool IsEarlier(const CEntry& a, const CEntry& b) noexcept {
            const LONG nDifference = static_cast<LONG>(a.nDueTime - b.nDueTime);
            // Without branches: among events due together the outcome is hard to predict.
            return (nDifference < 0) | ((nDifference == 0) & (a.nSerial < b.nSerial));
        }
        static constexpr std::size_t ARITY = 4;

        void Place(std::size_t i, const CEntry& Entry) noexcept;
        // Moves Entry from place i towards the top or the bottom to where it belongs and places it there.
        void Settle(std::size_t i, const CEntry& Entry) noexcept;

        std::vector<CEntry> m_Entries;
    };

    using CThread = CThreadT<CTimedEventDaemon>;

    DWORD ThreadProc(CThread* pThread, CEvent& InitializationEvent, CEvent& TerminationEvent);
    // Fires the events as they fall due until Terminate takes pThread from the daemon.
    void RunTimedEvents(std::unique_lock<std::mutex>& Lock, const CThread* pThread);
    // Fires the record due next (its due time has come) and returns, under the lock again, once its
    // procedure has returned.
    void FireTimedEvent(std::unique_lock<std::mutex>& Lock, CTimedEvent& TimedEvent, DWORD nTime);

    // Guards everything below.
    mutable std::mutex m_DataCriticalSection;
    CTimedEventList m_TimedEventList;
    CTimedEventQueue m_TimedEventQueue;
    // The daemon thread waits on it for the next due time; notified when an event becomes the next one due
    // and when Terminate takes the thread.
    std::condition_variable m_ListChangeCondition;
    bool m_bWaiting = false;  // the daemon thread waits on m_ListChangeCondition
    CObjectPtrT<CThread> m_pThread;
    // The record whose procedure runs (null once it has been killed), and its serial until the procedure
    // has returned (0 while none runs). A kill waits on m_IdlenessCondition for the serial of its own
    // record to go, so the end of another event's procedure neither wakes nor misleads it.
    CTimedEvent* m_pActiveTimedEvent = nullptr;
    std::uint64_t m_nActiveSerial = 0;
    std::condition_variable m_IdlenessCondition;
    int m_nIdlenessWaiters = 0;
};

namespace corvane::detail {
// The line written by the owner of a wait for idleness that timed out.
void TraceIdlenessTimeout(const CDebugTraceLocalContext& Context, DWORD nWaitResult) noexcept;
}  // namespace corvane::detail

// One periodic timed event bound to a member function of an owner. T is the derived class (the handler
// receives it), TOwner the owner class, TOwnerPtr the type through which the event holds its owner: a
// counted pointer (CObjectPtr<TOwner>) or a plain TOwner*, in which case the owner must outlive the event.
//
// Create replaces the event: the new one is in place before the old one is killed, and a firing of the old
// one no longer reaches the handler. Destroy kills it; Create may be called again afterwards. Neither lock
// of the event is held while the handler runs, so the handler may call Create and Destroy.
template <class T, class TOwner, class TOwnerPtr = TOwner*>
class CTimedEventT {
public:
    using Handler = void (TOwner::*)(T* pTimedEvent);

    // Creates the idleness event (signalled); a failure raises its HRESULT.
    CTimedEventT() : m_IdlenessEvent(true, true) {}
    CTimedEventT(const CTimedEventT&) = delete;
    CTimedEventT& operator=(const CTimedEventT&) = delete;
    // Destroys the event, then waits (at most 5 seconds) for a running handler.
    ~CTimedEventT() {
        Destroy();
        const DWORD nWaitResult = WaitForSingleObject(m_IdlenessEvent, CTimedEventDaemon::IDLENESS_TIMEOUT);
        if (nWaitResult != WAIT_OBJECT_0) corvane::detail::TraceIdlenessTimeout(UL_CONTEXT, nWaitResult);
        m_IdlenessEvent.Close();
        m_pOwner = TOwnerPtr();
        m_pTimedEventDaemon.Release();
    }

    // Binds the daemon; a later call must name the same one.
    void Initialize(CTimedEventDaemon* pTimedEventDaemon) {
        UL_ASSERT(pTimedEventDaemon);
        std::lock_guard Lock(m_DataCriticalSection);
        UL_ASSERT(!m_pTimedEventDaemon || m_pTimedEventDaemon == pTimedEventDaemon);
        m_pTimedEventDaemon = CObjectPtrT<CTimedEventDaemon>(pTimedEventDaemon);
    }
    void Initialize(const CObjectPtrT<CTimedEventDaemon>& pTimedEventDaemon) { Initialize(pTimedEventDaemon.Get()); }

    // Sets a periodic event of nDelay milliseconds that calls pHandler on pOwner, replacing the current one.
    // Does nothing before Initialize. Raises the daemon's failure after writing it; E_POINTER without owner
    // or handler.
    void Create(TOwner* pOwner, DWORD nDelay, Handler pHandler) {
        UL_ASSERT(pOwner && pHandler);
        if (pOwner == nullptr || pHandler == nullptr) corvane::ThrowHResult(E_POINTER);
        CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon;
        std::uintptr_t nPreviousEvent = 0;
        {
            std::lock_guard Lock(m_DataCriticalSection);
            if (!m_pTimedEventDaemon) return;
            pTimedEventDaemon = m_pTimedEventDaemon;
            nPreviousEvent = m_nEvent;
            std::uintptr_t nEvent = 0;
            const HRESULT nResult =
                m_pTimedEventDaemon->SetEvent(nDelay, &EventProc, reinterpret_cast<std::uintptr_t>(this),
                                              CTimedEventDaemon::TIMED_EVENT_PERIODIC, &nEvent);
            if (FAILED(nResult)) corvane::ThrowHResult(nResult);
            m_nEvent = nEvent;
            m_pOwner = TOwnerPtr(pOwner);
            m_pHandler = pHandler;
        }
        if (nPreviousEvent != 0) UL_ASSERT(SUCCEEDED(pTimedEventDaemon->KillEvent(nPreviousEvent)));
    }

    // Kills the current event, if any. Owner and daemon stay bound until destruction.
    void Destroy() {
        CObjectPtrT<CTimedEventDaemon> pTimedEventDaemon;
        std::uintptr_t nEvent = 0;
        {
            std::lock_guard Lock(m_DataCriticalSection);
            UL_ASSERT(m_pTimedEventDaemon);
            pTimedEventDaemon = m_pTimedEventDaemon;
            nEvent = std::exchange(m_nEvent, 0);
        }
        if (nEvent != 0) UL_ASSERT(SUCCEEDED(pTimedEventDaemon->KillEvent(nEvent)));
    }

    // The current event identifier; 0 when there is none.
    std::uintptr_t GetEvent() const {
        std::lock_guard Lock(m_DataCriticalSection);
        return m_nEvent;
    }

private:
    static TOwner* RawOwner(TOwner* pOwner) noexcept { return pOwner; }
    template <class P>
    static TOwner* RawOwner(const P& pOwner) noexcept {
        return pOwner.Get();
    }

    static void EventProc(std::uintptr_t nEvent, std::uintptr_t, std::uintptr_t nParameter, std::uintptr_t,
                          std::uintptr_t) {
        try {
            reinterpret_cast<CTimedEventT*>(nParameter)->TimedEventProc(nEvent);
        } catch (...) {
            corvane::CatchAll(UL_CONTEXT);
        }
    }

    void TimedEventProc(std::uintptr_t Position) {
        TOwnerPtr pOwner{};
        Handler pHandler = nullptr;
        {
            std::lock_guard Lock(m_DataCriticalSection);
            if (Position == m_nEvent) {
                pOwner = m_pOwner;
                pHandler = m_pHandler;
                UL_ASSERT(pOwner && pHandler);
            }
        }
        if (RawOwner(pOwner) == nullptr || pHandler == nullptr) return;
        // A handle of its own keeps the event usable even while this object is being destroyed.
        CEvent IdlenessEvent;
        UL_ASSERT(DuplicateHandle(GetCurrentProcess(), m_IdlenessEvent, GetCurrentProcess(), &IdlenessEvent.m_h, 0, 0,
                                  0x00000002));
        UL_ASSERT(IdlenessEvent.Reset());
        // Idle again however the handler ends.
        struct CIdle {
            CEvent& Event;
            ~CIdle() { UL_ASSERT(Event.Set()); }
        } Idle{IdlenessEvent};
        (RawOwner(pOwner)->*pHandler)(static_cast<T*>(this));
    }

    mutable std::mutex m_DataCriticalSection;
    CObjectPtrT<CTimedEventDaemon> m_pTimedEventDaemon;
    std::uintptr_t m_nEvent = 0;
    TOwnerPtr m_pOwner{};
    Handler m_pHandler = nullptr;
    CEvent m_IdlenessEvent;
};

// A timed event whose owner is held through a plain pointer.
template <class TOwner>
class CSimpleTimedEventT : public CTimedEventT<CSimpleTimedEventT<TOwner>, TOwner, TOwner*> {};

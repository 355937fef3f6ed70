// The lock of every object's data and of most module-wide state: a recursive critical section that
// watches itself. A thread that has waited 5 seconds for it writes a deadlock suspicion naming the section,
// the owner and itself; at 15 seconds (and every 64th period after) the report adds the owner's lock-time
// call site, the owner's present stack and the waiter's stack. The watch runs on the module's deadlock-watch
// daemon and only reports; it never breaks the wait.
//
//   CUlCriticalSection m_DataCriticalSection;
//   ...
//   CUlCriticalSectionLock DataLock(m_DataCriticalSection);  // raises the HRESULT when it cannot lock
//   UL_ASSERT(VerifyCriticalSectionLocked(m_DataCriticalSection));
//
// An uncontended Lock costs a try-lock and a few stores: the watch is armed, and the waiter's stack
// captured, only when the section is not free at once. The owner record keeps the return address of the
// owner's outermost Lock call (its lock-time call site), written without the module-wide lock; the watch
// reads it under that lock, and since it is diagnostics only, a record changing while it is read is
// harmless.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "comrt/types.h"

class CTimedEventDaemon;
template <class T>
class CObjectPtrT;

class CUlCriticalSection {
public:
    // The watch period: the first suspicion line is written after this long, and then once per period.
    static constexpr DWORD LOCK_TIMEOUT_PERIOD = 5000;
    // Every 64th period from the third on, the report adds the call stacks.
    static constexpr DWORD CALL_STACK_REPORT_PERIODS = 64;
    static constexpr DWORD CALL_STACK_REPORT_FIRST_PERIOD = 3;

    CUlCriticalSection() noexcept = default;
    CUlCriticalSection(const CUlCriticalSection&) = delete;
    CUlCriticalSection& operator=(const CUlCriticalSection&) = delete;
    // Destroying a held section is an assertion ("m_sec.LockCount < 0"); the section goes regardless.
    ~CUlCriticalSection();

    // S_OK once the calling thread holds the section (again, when it already held it). When the watch cannot
    // be armed the failure is written and returned, and the section is not entered.
    [[gnu::noinline]] HRESULT Lock() noexcept;
    // S_OK. A thread that does not hold the section writes the assertion "VerifyCriticalSectionLocked(*this)"
    // and leaves the section alone.
    HRESULT Unlock() noexcept;

    bool IsLockedByCurrentThread() const noexcept;

private:
    struct CLockContext;

    HRESULT LockContended(DWORD nThreadIdentifier, std::uintptr_t nCallSite) noexcept;
    void Enter(DWORD nThreadIdentifier, std::uintptr_t nCallSite) noexcept;
    static void LockTimeout(std::uintptr_t nEvent, std::uintptr_t, std::uintptr_t nParameter, std::uintptr_t,
                            std::uintptr_t) noexcept;

    std::mutex m_sec;
    std::atomic<DWORD> m_nHoldingThread{0};  // the thread inside m_sec, 0 when free
    DWORD m_nRecursionCount = 0;             // written only by the holding thread
    // The owner record: recorded at the outermost entry, cleared by every Unlock.
    std::atomic<DWORD> m_nOwnerThread{0};
    std::atomic<std::uintptr_t> m_nOwnerCallSite{0};
};

inline bool VerifyCriticalSectionLocked(const CUlCriticalSection& Section) noexcept {
    return Section.IsLockedByCurrentThread();
}
inline bool VerifyCriticalSectionUnlocked(const CUlCriticalSection& Section) noexcept {
    return !Section.IsLockedByCurrentThread();
}

// Holds a section for the lifetime of a block. Construction raises the HRESULT of a failed Lock.
class CUlCriticalSectionLock {
public:
    explicit CUlCriticalSectionLock(CUlCriticalSection& Section);
    CUlCriticalSectionLock(const CUlCriticalSectionLock&) = delete;
    CUlCriticalSectionLock& operator=(const CUlCriticalSectionLock&) = delete;
    ~CUlCriticalSectionLock() {
        if (m_bLocked) m_Section.Unlock();
    }

    // Lets go early; the destructor then does nothing.
    void Unlock() noexcept {
        if (m_bLocked) m_Section.Unlock();
        m_bLocked = false;
    }
    // Takes the section again after Unlock; raises the HRESULT of a failed Lock.
    void Lock();

private:
    CUlCriticalSection& m_Section;
    bool m_bLocked = false;
};

// What the module's critical sections share: the module-wide lock under which owner records are read and
// reports written, and the deadlock-watch daemon (created on first use, destroyed at module termination).
class CUlCriticalSections {
public:
    static std::mutex& GetModuleLock() noexcept;
    static CObjectPtrT<CTimedEventDaemon> GetTimedEventDaemon() noexcept;
    // The watch period of Lock calls that start waiting from now on: LOCK_TIMEOUT_PERIOD unless a test
    // shortened it, so that the reports of a long wait can be seen without waiting that long.
    static DWORD GetWatchPeriod() noexcept;
    static void SetWatchPeriod(DWORD nPeriod) noexcept;
};

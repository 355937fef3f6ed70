// State of the exception filter shared by its source files: the filter's lock.
#pragma once

#include <atomic>
#include <mutex>

#include "comrt/types.h"

namespace corvane {

// The exception filter's lock: serialises reports from all threads and the install and remove steps. It
// knows its owner, so that the hook functions can check that their caller holds it and a crash report can
// tell that its own thread holds it (a crash inside a report).
class CExceptionFilterLock {
public:
    void Lock() noexcept;
    // For a fatal-signal handler: waits about a second at most, and not at all when the calling thread
    // holds the lock already. False when the lock was not had; the report then goes on without it.
    bool LockInSignalHandler() noexcept;
    void Unlock() noexcept;
    bool IsLockedByCallingThread() const noexcept;

private:
    std::mutex m_Mutex;
    // The holder's thread identifier (GetCurrentThreadId), 0 while free.
    std::atomic<DWORD> m_nOwner{0};
};

extern constinit CExceptionFilterLock g_CriticalSection;

inline bool VerifyCriticalSectionLocked(const CExceptionFilterLock& Lock) noexcept {
    return Lock.IsLockedByCallingThread();
}

// Holds the lock for a scope.
class CExceptionFilterLockScope {
public:
    explicit CExceptionFilterLockScope(CExceptionFilterLock& Lock) noexcept : m_Lock(Lock) { m_Lock.Lock(); }
    ~CExceptionFilterLockScope() { m_Lock.Unlock(); }
    CExceptionFilterLockScope(const CExceptionFilterLockScope&) = delete;
    CExceptionFilterLockScope& operator=(const CExceptionFilterLockScope&) = delete;

private:
    CExceptionFilterLock& m_Lock;
};

}  // namespace corvane

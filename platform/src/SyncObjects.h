// The objects behind the handles of comrt/sync.h (runtime-internal).
//
// Every handle names a CKernelObject; the waitable ones derive from CWaitableObject, which gives the waits
// a descriptor to poll and decides under the object's lock whether the object is signalled. New kinds of
// waitable object (directory change notifications, socket readiness) derive from CFdWaitableObject, or from
// CWaitableObject when their signal is state of their own, and are handed out with InsertHandle.
#pragma once

#include <poll.h>

#include <memory>
#include <mutex>

#include "comrt/sync.h"
#include "comrt/systemerrors.h"

namespace comrt::internal {

class CKernelObject {
public:
    CKernelObject() = default;
    CKernelObject(const CKernelObject&) = delete;
    CKernelObject& operator=(const CKernelObject&) = delete;
    virtual ~CKernelObject() = default;
};

// An object a wait can return. The wait protocol:
//   1. under Lock(): IsSignaledLocked() tells whether the object satisfies the wait now; when the wait
//      returns it, AcquireLocked() consumes what a wait consumes (the signal of an auto-reset event);
//   2. otherwise, still under the lock, AddPollerLocked() announces the wait, which then polls
//      GetPollDescriptor(), calls RemovePollerLocked() under the lock and starts again at 1. While a poller
//      is announced, the descriptor must become ready whenever the object becomes signalled; it may be
//      ready spuriously.
class CWaitableObject : public CKernelObject {
public:
    std::mutex& Lock() noexcept { return m_Lock; }
    virtual pollfd GetPollDescriptor() const noexcept = 0;
    virtual bool IsSignaledLocked() noexcept = 0;
    virtual void AcquireLocked() noexcept {}
    virtual void AddPollerLocked() noexcept {}
    virtual void RemovePollerLocked() noexcept {}
    // Objects shared with other processes (named mutexes and events) have no descriptor to poll (theirs is
    // -1, which poll passes over): a wait among other objects looks at them again every millisecond.
    virtual bool IsPolled() const noexcept { return false; }
    // Right after IsSignaledLocked acquired the object: whether it was a mutex whose holder had ended.
    virtual bool TakeAbandonedLocked() noexcept { return false; }
    // A wait for this object alone, when the object has one of its own (in the kernel, without the poll):
    // true with the wait's result in *pdwResult (and the last error set for WAIT_FAILED); false when the
    // object has none.
    virtual bool WaitAlone(DWORD dwMilliseconds, DWORD* pdwResult) noexcept {
        (void)dwMilliseconds;
        (void)pdwResult;
        return false;
    }

private:
    std::mutex m_Lock;
};

// A signal with an event's semantics: manual-reset or auto-reset. Events and threads are made of it.
//
// Its eventfd mirrors the state for poll, but only while some wait polls it: most sets and resets (an
// idleness event around every timer procedure, say) happen while nobody waits, and then cost no system
// call. The descriptor holds a count only while the object is signalled; it is filled when a poller comes
// or the object is set while pollers are there, and emptied by the next reset.
class CSignalObject : public CWaitableObject {
public:
    pollfd GetPollDescriptor() const noexcept override { return {m_nFd, POLLIN, 0}; }
    bool IsSignaledLocked() noexcept override { return m_bSignaled; }
    void AcquireLocked() noexcept override;
    void AddPollerLocked() noexcept override;
    void RemovePollerLocked() noexcept override { --m_nPollers; }

protected:
    // Throws std::system_error when no eventfd can be made.
    CSignalObject(bool bManualReset, bool bInitialState);
    ~CSignalObject() override;

    void SetLocked() noexcept;
    void ResetLocked() noexcept;

private:
    void FillDescriptorLocked() noexcept;

    const bool m_bManualReset;
    bool m_bSignaled = false;
    bool m_bDescriptorFilled = false;
    int m_nPollers = 0;
    int m_nFd = -1;
};

class CEventObject final : public CSignalObject {
public:
    CEventObject(bool bManualReset, bool bInitialState) : CSignalObject(bManualReset, bInitialState) {}

    void Set() noexcept;
    void Reset() noexcept;
};

// Readiness of a file descriptor; the wait does not consume it.
class CFdWaitableObject : public CWaitableObject {
public:
    CFdWaitableObject(int nFd, short nPollEvents, bool bCloseFd) noexcept
        : m_nFd(nFd), m_nPollEvents(nPollEvents), m_bCloseFd(bCloseFd) {}
    ~CFdWaitableObject() override;

    int GetFd() const noexcept { return m_nFd; }

    pollfd GetPollDescriptor() const noexcept override { return {m_nFd, m_nPollEvents, 0}; }
    bool IsSignaledLocked() noexcept override;

private:
    const int m_nFd;
    const short m_nPollEvents;
    const bool m_bCloseFd;
};

// Named events (SyncNamedLinux.cpp): SetEvent and ResetEvent on one (false: the object is not a named
// event), and CreateEventW with a name.
bool SetNamedEvent(const std::shared_ptr<CKernelObject>& pObject) noexcept;
bool ResetNamedEvent(const std::shared_ptr<CKernelObject>& pObject) noexcept;
HANDLE CreateNamedEvent(BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) noexcept;

// Puts an object into the handle table and answers its new handle; nullptr (last error
// ERROR_NOT_ENOUGH_MEMORY) when the table cannot grow.
HANDLE InsertHandle(std::shared_ptr<CKernelObject> pObject) noexcept;
// The object of a handle, or null (last error ERROR_INVALID_HANDLE) when the handle names none.
std::shared_ptr<CKernelObject> LookupHandle(HANDLE hObject) noexcept;

// The object of a handle when it is of kind T, else null with ERROR_INVALID_HANDLE.
template <class T>
std::shared_ptr<T> LookupHandleOf(HANDLE hObject) noexcept {
    std::shared_ptr<T> pObject = std::dynamic_pointer_cast<T>(LookupHandle(hObject));
    if (!pObject) SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
    return pObject;
}

}  // namespace comrt::internal

// Events over eventfd, and file descriptor readiness as a waitable object.
//
// An event keeps its state in memory under its lock; the eventfd only mirrors it for the waits that poll
// it, so that poll can wait for it together with other descriptors. The mirror is changed under the same
// lock as the state, so a waiter that holds the lock never sees the two disagree.
#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <new>
#include <system_error>

#include "SyncObjects.h"

namespace comrt::internal {

CSignalObject::CSignalObject(bool bManualReset, bool bInitialState) : m_bManualReset(bManualReset) {
    m_nFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_nFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    if (bInitialState) SetLocked();
}

CSignalObject::~CSignalObject() {
    if (m_nFd >= 0) close(m_nFd);
}

void CEventObject::Set() noexcept {
    std::lock_guard Guard(Lock());
    SetLocked();
}

void CEventObject::Reset() noexcept {
    std::lock_guard Guard(Lock());
    ResetLocked();
}

void CSignalObject::AcquireLocked() noexcept {
    if (!m_bManualReset) ResetLocked();
}

void CSignalObject::AddPollerLocked() noexcept {
    ++m_nPollers;
    if (m_bSignaled) FillDescriptorLocked();
}

void CSignalObject::FillDescriptorLocked() noexcept {
    if (m_bDescriptorFilled) return;
    m_bDescriptorFilled = true;
    // Cannot fail: the count is 0 here (every reset empties it), far below the eventfd's limit.
    const eventfd_t nOne = 1;
    [[maybe_unused]] const ssize_t cb = write(m_nFd, &nOne, sizeof(nOne));
}

void CSignalObject::SetLocked() noexcept {
    if (m_bSignaled) return;
    m_bSignaled = true;
    if (m_nPollers > 0) FillDescriptorLocked();
}

void CSignalObject::ResetLocked() noexcept {
    m_bSignaled = false;
    if (!m_bDescriptorFilled) return;
    m_bDescriptorFilled = false;
    eventfd_t nCount = 0;
    [[maybe_unused]] const ssize_t cb = read(m_nFd, &nCount, sizeof(nCount));
}

CFdWaitableObject::~CFdWaitableObject() {
    if (m_bCloseFd) close(m_nFd);
}

bool CFdWaitableObject::IsSignaledLocked() noexcept {
    pollfd Descriptor = GetPollDescriptor();
    int nReady;
    do nReady = poll(&Descriptor, 1, 0);
    while (nReady < 0 && errno == EINTR);
    return nReady > 0 && (Descriptor.revents & (m_nPollEvents | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

}  // namespace comrt::internal

using namespace comrt::internal;

HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) noexcept {
    (void)lpEventAttributes;
    if (lpName != nullptr) return CreateNamedEvent(bManualReset, bInitialState, lpName);
    std::shared_ptr<CEventObject> pEvent;
    try {
        pEvent = std::make_shared<CEventObject>(bManualReset != FALSE, bInitialState != FALSE);
    } catch (const std::system_error& Error) {
        SetLastError(comrt::Win32ErrorFromErrno(Error.code().value()));
        return nullptr;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return InsertHandle(std::move(pEvent));
}

BOOL SetEvent(HANDLE hEvent) noexcept {
    const std::shared_ptr<CKernelObject> pObject = LookupHandle(hEvent);
    if (!pObject) return FALSE;
    if (auto* pEvent = dynamic_cast<CEventObject*>(pObject.get())) {
        pEvent->Set();
        return TRUE;
    }
    if (SetNamedEvent(pObject)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL ResetEvent(HANDLE hEvent) noexcept {
    const std::shared_ptr<CKernelObject> pObject = LookupHandle(hEvent);
    if (!pObject) return FALSE;
    if (auto* pEvent = dynamic_cast<CEventObject*>(pObject.get())) {
        pEvent->Reset();
        return TRUE;
    }
    if (ResetNamedEvent(pObject)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

namespace comrt {

HANDLE CreateFdWaitable(int nFd, short nPollEvents, bool bCloseFd) noexcept {
    if (nFd < 0 || nPollEvents == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<CFdWaitableObject> pObject;
    try {
        pObject = std::make_shared<CFdWaitableObject>(nFd, nPollEvents, bCloseFd);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return InsertHandle(std::move(pObject));
}

}  // namespace comrt

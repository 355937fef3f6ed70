// Threads with handles: a detached POSIX thread whose end is signalled through its thread object.
//
// The thread object is shared by the handle table and the running thread, so it stays valid (exit code and
// signal included) however the handles are closed. The thread runs detached: nobody joins it, its handle is
// signalled when its start routine has returned, and only this library's code runs after that.
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <system_error>

#include "SyncObjects.h"

namespace comrt::internal {
namespace {

class CThreadObject final : public CSignalObject {
public:
    CThreadObject(LPTHREAD_START_ROUTINE pfnStartAddress, void* pParameter, DWORD nSuspendCount)
        : CSignalObject(true, false),
          m_pfnStartAddress(pfnStartAddress),
          m_pParameter(pParameter),
          m_nSuspendCount(nSuspendCount) {}

    // Runs on the new thread: tells its identifier, waits until resumed, runs the start routine and
    // signals its end.
    void Run() noexcept {
        {
            std::unique_lock Guard(m_GateLock);
            m_nThreadId = static_cast<DWORD>(gettid());
            m_Gate.notify_all();
            m_Gate.wait(Guard, [this] { return m_nSuspendCount == 0; });
        }
        const DWORD nExitCode = m_pfnStartAddress(m_pParameter);
        std::lock_guard Guard(Lock());
        m_nExitCode = nExitCode;
        SetLocked();
    }

    // Waits until the new thread has told its identifier.
    DWORD WaitForThreadId() noexcept {
        std::unique_lock Guard(m_GateLock);
        m_Gate.wait(Guard, [this] { return m_nThreadId != 0; });
        return m_nThreadId;
    }

    DWORD Resume() noexcept {
        std::lock_guard Guard(m_GateLock);
        const DWORD nPrevious = m_nSuspendCount;
        if (m_nSuspendCount > 0 && --m_nSuspendCount == 0) m_Gate.notify_all();
        return nPrevious;
    }

    DWORD GetExitCode() noexcept {
        std::lock_guard Guard(Lock());
        return m_nExitCode;
    }

private:
    const LPTHREAD_START_ROUTINE m_pfnStartAddress;
    void* const m_pParameter;
    std::mutex m_GateLock;
    std::condition_variable m_Gate;
    DWORD m_nSuspendCount;
    DWORD m_nThreadId = 0;
    DWORD m_nExitCode = STILL_ACTIVE;
};

void* ThreadStart(void* pParameter) {
    // The creator handed over one reference, which keeps the object alive until the end is signalled.
    std::shared_ptr<CThreadObject> pThread;
    {
        auto* pReference = static_cast<std::shared_ptr<CThreadObject>*>(pParameter);
        pThread = std::move(*pReference);
        delete pReference;
    }
    pThread->Run();
    return nullptr;
}

}  // namespace
}  // namespace comrt::internal

using namespace comrt::internal;

HANDLE CreateThread(void* lpThreadAttributes, std::size_t dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    void* lpParameter, DWORD dwCreationFlags, DWORD* lpThreadId) noexcept {
    (void)lpThreadAttributes;
    if (lpStartAddress == nullptr || (dwCreationFlags & ~CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<CThreadObject> pThread;
    std::shared_ptr<CThreadObject>* pReference = nullptr;
    try {
        pThread = std::make_shared<CThreadObject>(lpStartAddress, lpParameter,
                                                  (dwCreationFlags & CREATE_SUSPENDED) != 0 ? 1 : 0);
        pReference = new std::shared_ptr<CThreadObject>(pThread);
    } catch (const std::system_error& Error) {
        SetLastError(comrt::Win32ErrorFromErrno(Error.code().value()));
        return nullptr;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The handle first: once the thread exists it must not be lost for want of a table entry.
    HANDLE hThread = InsertHandle(pThread);
    if (hThread == nullptr) {
        delete pReference;
        return nullptr;
    }

    pthread_attr_t Attributes;
    int nError = pthread_attr_init(&Attributes);
    if (nError == 0) {
        pthread_attr_setdetachstate(&Attributes, PTHREAD_CREATE_DETACHED);
        if (dwStackSize != 0)
            nError = pthread_attr_setstacksize(&Attributes, std::max<std::size_t>(dwStackSize, PTHREAD_STACK_MIN));
        pthread_t Thread;
        if (nError == 0) nError = pthread_create(&Thread, &Attributes, &ThreadStart, pReference);
        pthread_attr_destroy(&Attributes);
    }
    if (nError != 0) {
        delete pReference;
        CloseHandle(hThread);
        SetLastError(comrt::Win32ErrorFromErrno(nError));
        return nullptr;
    }
    const DWORD nThreadId = pThread->WaitForThreadId();
    if (lpThreadId != nullptr) *lpThreadId = nThreadId;
    return hThread;
}

DWORD ResumeThread(HANDLE hThread) noexcept {
    std::shared_ptr<CThreadObject> pThread = LookupHandleOf<CThreadObject>(hThread);
    if (!pThread) return 0xFFFFFFFF;
    return pThread->Resume();
}

BOOL GetExitCodeThread(HANDLE hThread, DWORD* lpExitCode) noexcept {
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<CThreadObject> pThread = LookupHandleOf<CThreadObject>(hThread);
    if (!pThread) return FALSE;
    *lpExitCode = pThread->GetExitCode();
    return TRUE;
}

namespace {

// The calling thread's kernel identifier, asked once per thread: locks need it on every call, and a system
// call each time would cost more than the lock itself. A child process's only thread is the one that forked,
// whose identifier changed: the fork handler forgets the old one.
thread_local DWORD t_nThreadIdentifier = 0;

void ForgetThreadIdentifier() noexcept {
    t_nThreadIdentifier = 0;
}

[[gnu::noinline]] DWORD AskThreadIdentifier() noexcept {
    static const int s_nForkHandler = pthread_atfork(nullptr, nullptr, &ForgetThreadIdentifier);
    (void)s_nForkHandler;
    t_nThreadIdentifier = static_cast<DWORD>(gettid());
    return t_nThreadIdentifier;
}

}  // namespace

DWORD GetCurrentProcessId() noexcept {
    return static_cast<DWORD>(getpid());
}

DWORD GetCurrentThreadId() noexcept {
    const DWORD nThreadIdentifier = t_nThreadIdentifier;
    return nThreadIdentifier != 0 ? nThreadIdentifier : AskThreadIdentifier();
}

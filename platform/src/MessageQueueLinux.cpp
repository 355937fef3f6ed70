// Thread message queues. Each queue is found by its thread's identifier in one process-wide table and is
// removed from it when its thread ends. Getting waits on the queue's condition; MsgWaitForMultipleObjects
// waits on a manual-reset event that the queue keeps signalled exactly while it holds a message or the
// quit mark, so the queue can be waited for together with other objects.
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "comrt/messages.h"

namespace {

class CMessageQueue {
public:
    CMessageQueue() : m_hSignal(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~CMessageQueue() {
        if (m_hSignal != nullptr) CloseHandle(m_hSignal);
        if (m_nDescriptor >= 0) close(m_nDescriptor);
    }
    CMessageQueue(const CMessageQueue&) = delete;
    CMessageQueue& operator=(const CMessageQueue&) = delete;

    HANDLE Signal() const noexcept { return m_hSignal; }
    // Made on first use; mirrors the signal from then on.
    int Descriptor() noexcept {
        std::lock_guard Lock(m_Lock);
        if (m_nDescriptor < 0) {
            m_nDescriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            m_bDescriptorFilled = false;
            UpdateSignalLocked();
        }
        return m_nDescriptor;
    }

    void Post(const MSG& msg) {
        std::lock_guard Lock(m_Lock);
        m_Messages.push_back(msg);
        UpdateSignalLocked();
        m_Condition.notify_all();
    }
    void PostQuit(int nExitCode) {
        std::lock_guard Lock(m_Lock);
        m_bQuit = true;
        m_nQuitCode = nExitCode;
        UpdateSignalLocked();
        m_Condition.notify_all();
    }
    // True with the message when one matches; bWait blocks until one does.
    bool Take(MSG* pMsg, UINT nMin, UINT nMax, bool bRemove, bool bWait) {
        std::unique_lock Lock(m_Lock);
        for (;;) {
            for (auto Position = m_Messages.begin(); Position != m_Messages.end(); ++Position) {
                if ((nMin != 0 || nMax != 0) && (Position->message < nMin || Position->message > nMax)) continue;
                *pMsg = *Position;
                if (bRemove) {
                    m_Messages.erase(Position);
                    UpdateSignalLocked();
                }
                return true;
            }
            // The quit mark comes after every posted message, whatever the filter.
            if (m_bQuit && m_Messages.empty()) {
                *pMsg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(m_nQuitCode), 0, GetTickCount(), {0, 0}};
                if (bRemove) {
                    m_bQuit = false;
                    UpdateSignalLocked();
                }
                return true;
            }
            if (!bWait) return false;
            m_Condition.wait(Lock);
        }
    }

private:
    void UpdateSignalLocked() noexcept {
        const bool bSignaled = m_bQuit || !m_Messages.empty();
        if (bSignaled)
            SetEvent(m_hSignal);
        else
            ResetEvent(m_hSignal);
        if (m_nDescriptor < 0 || bSignaled == m_bDescriptorFilled) return;
        // Cannot fail: the count is 0 or 1, far below the eventfd's limit.
        eventfd_t nCount = 1;
        if (bSignaled)
            (void)eventfd_write(m_nDescriptor, nCount);
        else
            (void)eventfd_read(m_nDescriptor, &nCount);
        m_bDescriptorFilled = bSignaled;
    }

    const HANDLE m_hSignal;
    std::mutex m_Lock;
    std::condition_variable m_Condition;
    std::deque<MSG> m_Messages;
    bool m_bQuit = false;
    int m_nQuitCode = 0;
    int m_nDescriptor = -1;
    bool m_bDescriptorFilled = false;
};

std::mutex g_QueuesLock;
std::unordered_map<DWORD, std::shared_ptr<CMessageQueue>>* g_pQueues = nullptr;

std::shared_ptr<CMessageQueue> FindQueue(DWORD nThreadId) {
    std::lock_guard Lock(g_QueuesLock);
    if (g_pQueues == nullptr) return nullptr;
    auto Position = g_pQueues->find(nThreadId);
    return Position == g_pQueues->end() ? nullptr : Position->second;
}

// The calling thread's queue, registered under its identifier while the thread lives.
class CThreadQueueHolder {
public:
    ~CThreadQueueHolder() { Drop(); }

    CMessageQueue& Get() {
        const DWORD nThreadId = GetCurrentThreadId();
        // A child process made by fork has a new identifier: it starts with a queue of its own.
        if (m_pQueue == nullptr || m_nThreadId != nThreadId) {
            m_pQueue = std::make_shared<CMessageQueue>();
            m_nThreadId = nThreadId;
            std::lock_guard Lock(g_QueuesLock);
            if (g_pQueues == nullptr) g_pQueues = new std::unordered_map<DWORD, std::shared_ptr<CMessageQueue>>;
            (*g_pQueues)[nThreadId] = m_pQueue;
        }
        return *m_pQueue;
    }

private:
    void Drop() {
        if (m_pQueue == nullptr) return;
        std::lock_guard Lock(g_QueuesLock);
        auto Position = g_pQueues->find(m_nThreadId);
        if (Position != g_pQueues->end() && Position->second == m_pQueue) g_pQueues->erase(Position);
    }

    std::shared_ptr<CMessageQueue> m_pQueue;
    DWORD m_nThreadId = 0;
};

CMessageQueue& CurrentQueue() {
    thread_local CThreadQueueHolder Holder;
    return Holder.Get();
}

}  // namespace

BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) noexcept {
    std::shared_ptr<CMessageQueue> pQueue = FindQueue(idThread);
    if (pQueue == nullptr) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    try {
        pQueue->Post(MSG{nullptr, Msg, wParam, lParam, GetTickCount(), {0, 0}});
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

void PostQuitMessage(int nExitCode) noexcept {
    try {
        CurrentQueue().PostQuit(nExitCode);
    } catch (...) {
    }
}

BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) noexcept {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    try {
        CurrentQueue().Take(lpMsg, wMsgFilterMin, wMsgFilterMax, true, true);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) noexcept {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    try {
        return CurrentQueue().Take(lpMsg, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false) ? TRUE
                                                                                                              : FALSE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask) noexcept {
    if (fWaitAll || nCount >= MAXIMUM_WAIT_OBJECTS || (nCount > 0 && pHandles == nullptr) ||
        (dwWakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    HANDLE Handles[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; ++i) Handles[i] = pHandles[i];
    try {
        Handles[nCount] = CurrentQueue().Signal();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    return WaitForMultipleObjects(nCount + 1, Handles, FALSE, dwMilliseconds);
}

int GetMessageQueueDescriptor() noexcept {
    try {
        return CurrentQueue().Descriptor();
    } catch (...) {
        return -1;
    }
}

// Thread message queues: order, filters, the quit mark, posting from other threads and waiting for the
// queue together with other objects.
#include "comrt/messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Makes the calling thread's queue, as a thread does before others post to it.
void MakeQueue() {
    MSG msg{};
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

}  // namespace

TEST(MessageQueueTest, PostingNeedsAQueueThatLives) {
    DWORD nWorkerId = 0;
    std::thread Worker([&] { nWorkerId = GetCurrentThreadId(); });
    Worker.join();
    SetLastError(0);
    EXPECT_EQ(FALSE, PostThreadMessageW(nWorkerId, WM_USER, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_THREAD_ID), GetLastError());

    // A thread that made a queue and ended takes it with it.
    std::thread Ended([&] {
        MakeQueue();
        nWorkerId = GetCurrentThreadId();
        EXPECT_EQ(TRUE, PostThreadMessageW(nWorkerId, WM_USER, 0, 0));
    });
    Ended.join();
    EXPECT_EQ(FALSE, PostThreadMessageW(nWorkerId, WM_USER, 0, 0));

    MSG msg{};
    EXPECT_EQ(-1, GetMessageW(nullptr, nullptr, 0, 0));
    EXPECT_EQ(-1, GetMessageW(&msg, reinterpret_cast<HWND>(0x10), 0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
}

TEST(MessageQueueTest, OrderFiltersAndQuitComesLast) {
    std::thread Thread([] {
        const DWORD nSelf = GetCurrentThreadId();
        MakeQueue();
        ASSERT_EQ(TRUE, PostThreadMessageW(nSelf, WM_USER + 1, 11, -1));
        PostQuitMessage(7);  // marked before the next post, delivered after it all the same
        ASSERT_EQ(TRUE, PostThreadMessageW(nSelf, WM_APP, 22, 0));
        ASSERT_EQ(TRUE, PostThreadMessageW(nSelf, WM_USER + 2, 33, 0));

        MSG msg{};
        // Peeking without removing leaves the first message first.
        ASSERT_EQ(TRUE, PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(WM_USER + 1, msg.message);
        // A filter skips over what lies outside its range.
        ASSERT_EQ(TRUE, GetMessageW(&msg, nullptr, WM_APP, WM_APP));
        EXPECT_EQ(WM_APP, msg.message);
        EXPECT_EQ(22u, msg.wParam);
        ASSERT_EQ(TRUE, GetMessageW(&msg, nullptr, 0, 0));
        EXPECT_EQ(WM_USER + 1, msg.message);
        EXPECT_EQ(11u, msg.wParam);
        EXPECT_EQ(-1, msg.lParam);
        EXPECT_EQ(nullptr, msg.hwnd);
        ASSERT_EQ(TRUE, GetMessageW(&msg, nullptr, 0, 0));
        EXPECT_EQ(WM_USER + 2, msg.message);
        // Then the quit mark, whatever the filter asks for, once.
        EXPECT_EQ(FALSE, GetMessageW(&msg, nullptr, WM_APP, WM_APP));
        EXPECT_EQ(WM_QUIT, msg.message);
        EXPECT_EQ(7u, msg.wParam);
        EXPECT_EQ(FALSE, PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    });
    Thread.join();
}

TEST(MessageQueueTest, LoopEndsOnQuitPostedFromAnotherThread) {
    std::atomic<DWORD> nLoopId{0};
    std::vector<UINT> Seen;
    int nLoopResult = -2;
    std::thread Loop([&] {
        MakeQueue();
        nLoopId = GetCurrentThreadId();
        MSG msg{};
        BOOL bResult;
        while ((bResult = GetMessageW(&msg, nullptr, 0, 0)) > 0) Seen.push_back(msg.message);
        nLoopResult = bResult;
    });
    while (nLoopId == 0) std::this_thread::yield();
    for (UINT n = 0; n < 100; ++n) ASSERT_EQ(TRUE, PostThreadMessageW(nLoopId, WM_USER + n, n, 0));
    ASSERT_EQ(TRUE, PostThreadMessageW(nLoopId, WM_QUIT, 0, 0));
    Loop.join();
    EXPECT_EQ(0, nLoopResult);
    ASSERT_EQ(100u, Seen.size());
    for (UINT n = 0; n < 100; ++n) EXPECT_EQ(WM_USER + n, Seen[n]);
}

TEST(MessageQueueTest, WaitingForObjectsAndMessagesTogether) {
    std::thread Thread([] {
        HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(nullptr, hEvent);
        EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(1, &hEvent, FALSE, 0, QS_ALLINPUT));

        // A message wakes the wait with the index after the objects, until it is taken out.
        ASSERT_EQ(TRUE, PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0));
        EXPECT_EQ(WAIT_OBJECT_0 + 1, MsgWaitForMultipleObjects(1, &hEvent, FALSE, INFINITE, QS_ALLINPUT));
        EXPECT_EQ(WAIT_OBJECT_0 + 1, MsgWaitForMultipleObjects(1, &hEvent, FALSE, 0, QS_ALLINPUT));
        MSG msg{};
        ASSERT_EQ(TRUE, PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(1, &hEvent, FALSE, 0, QS_ALLINPUT));

        // An object set by another thread wakes it; the object comes first when both are ready.
        std::thread Setter([hEvent] { SetEvent(hEvent); });
        EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(1, &hEvent, FALSE, INFINITE, QS_ALLINPUT));
        Setter.join();
        SetEvent(hEvent);
        PostQuitMessage(0);
        EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(1, &hEvent, FALSE, 0, QS_ALLINPUT));
        EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE));
        EXPECT_EQ(FALSE, GetMessageW(&msg, nullptr, 0, 0));

        // Waits that cannot be served.
        EXPECT_EQ(WAIT_FAILED, MsgWaitForMultipleObjects(1, &hEvent, TRUE, 0, QS_ALLINPUT));
        EXPECT_EQ(WAIT_FAILED, MsgWaitForMultipleObjects(1, &hEvent, FALSE, 0, 0));
        EXPECT_EQ(WAIT_FAILED, MsgWaitForMultipleObjects(1, nullptr, FALSE, 0, QS_ALLINPUT));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        HANDLE hClosed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        CloseHandle(hClosed);
        EXPECT_EQ(WAIT_FAILED, MsgWaitForMultipleObjects(1, &hClosed, FALSE, 0, QS_ALLINPUT));
        CloseHandle(hEvent);
    });
    Thread.join();
}

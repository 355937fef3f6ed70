// Events, thread handles, descriptor readiness and the waits over them; the tick counter and Sleep.
#include "comrt/sync.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Monotonic milliseconds, independent of the tick counter under test.
double MonotonicMilliseconds() {
    timespec Time{};
    clock_gettime(CLOCK_MONOTONIC, &Time);
    return static_cast<double>(Time.tv_sec) * 1000.0 + static_cast<double>(Time.tv_nsec) / 1e6;
}

// Owns a handle for the length of a test.
class CTestHandle {
public:
    explicit CTestHandle(HANDLE h = nullptr) : m_h(h) {}
    CTestHandle(const CTestHandle&) = delete;
    CTestHandle& operator=(const CTestHandle&) = delete;
    ~CTestHandle() {
        if (m_h != nullptr) CloseHandle(m_h);
    }
    operator HANDLE() const { return m_h; }
    HANDLE Detach() { return std::exchange(m_h, nullptr); }

private:
    HANDLE m_h;
};

HANDLE NewEvent(bool bManualReset, bool bInitialState) {
    HANDLE h = CreateEventW(nullptr, bManualReset ? TRUE : FALSE, bInitialState ? TRUE : FALSE, nullptr);
    EXPECT_NE(h, nullptr);
    return h;
}

// Waits (boundedly) until Predicate holds; false when it did not within 10 seconds.
template <class Predicate>
bool Eventually(Predicate predicate) {
    for (int i = 0; i < 2000; ++i) {
        if (predicate()) return true;
        Sleep(5);
    }
    return predicate();
}

TEST(SyncEventTest, ManualResetStaysSignalledUntilReset) {
    CTestHandle Event(NewEvent(true, false));
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(Event));
    EXPECT_TRUE(SetEvent(Event));
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(Event, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(Event));
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(ResetEvent(Event));
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_TIMEOUT);

    CTestHandle Initially(NewEvent(true, true));
    EXPECT_EQ(WaitForSingleObject(Initially, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(Initially, 0), WAIT_OBJECT_0);
}

TEST(SyncEventTest, AutoResetSignalIsTakenByOneWait) {
    CTestHandle Event(NewEvent(false, true));
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_TIMEOUT);
    // Setting a signalled auto-reset event does not store a second signal.
    EXPECT_TRUE(SetEvent(Event));
    EXPECT_TRUE(SetEvent(Event));
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(Event));
    EXPECT_TRUE(ResetEvent(Event));
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_TIMEOUT);
}

// Eight threads wait for one auto-reset event (and a stop event); every SetEvent lets exactly one through.
TEST(SyncEventTest, AutoResetReleasesExactlyOneOfManyWaiters) {
    CTestHandle Event(NewEvent(false, false));
    CTestHandle Stop(NewEvent(true, false));
    std::atomic<int> nReleased{0};
    std::atomic<int> nStopped{0};
    std::atomic<int> nFailed{0};
    std::vector<std::thread> Waiters;
    for (int i = 0; i < 8; ++i)
        Waiters.emplace_back([&] {
            const HANDLE phObjects[] = {Event, Stop};
            for (;;) {
                const DWORD nResult = WaitForMultipleObjects(2, phObjects, FALSE, INFINITE);
                if (nResult == WAIT_OBJECT_0) {
                    ++nReleased;
                    // Each waiter takes one signal only, so that the count tells how many signals were given.
                    EXPECT_EQ(WaitForSingleObject(Stop, INFINITE), WAIT_OBJECT_0);
                    return;
                }
                if (nResult == WAIT_OBJECT_0 + 1) {
                    ++nStopped;
                    return;
                }
                ++nFailed;
                return;
            }
        });
    for (int i = 1; i <= 3; ++i) {
        EXPECT_TRUE(SetEvent(Event));
        EXPECT_TRUE(Eventually([&] { return nReleased.load() >= i; }));
        // The signal is gone with the one waiter it released.
        EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_TIMEOUT);
    }
    EXPECT_TRUE(SetEvent(Stop));
    for (std::thread& Waiter : Waiters) Waiter.join();
    EXPECT_EQ(nReleased.load(), 3);
    EXPECT_EQ(nStopped.load(), 5);
    EXPECT_EQ(nFailed.load(), 0);
}

TEST(SyncWaitTest, LowestSignalledIndexWinsAndOnlyItsSignalIsTaken) {
    CTestHandle First(NewEvent(false, false));
    CTestHandle Second(NewEvent(false, true));
    CTestHandle Third(NewEvent(false, true));
    const HANDLE phObjects[] = {First, Second, Third};
    EXPECT_EQ(WaitForMultipleObjects(3, phObjects, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, phObjects, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, phObjects, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(Third);
    SetEvent(First);
    EXPECT_EQ(WaitForMultipleObjects(3, phObjects, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(Third, 0), WAIT_OBJECT_0);
}

TEST(SyncWaitTest, WaitAllTakesAllSignalsTogetherOrNone) {
    CTestHandle Auto(NewEvent(false, true));
    CTestHandle Manual(NewEvent(true, false));
    const HANDLE phObjects[] = {Auto, Manual};
    EXPECT_EQ(WaitForMultipleObjects(2, phObjects, TRUE, 20), WAIT_TIMEOUT);
    // The auto-reset event kept its signal while the other was missing.
    EXPECT_EQ(WaitForSingleObject(Auto, 0), WAIT_OBJECT_0);

    SetEvent(Auto);
    std::thread Setter([&] {
        Sleep(20);
        SetEvent(Manual);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, phObjects, TRUE, INFINITE), WAIT_OBJECT_0);
    Setter.join();
    EXPECT_EQ(WaitForSingleObject(Auto, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(Manual, 0), WAIT_OBJECT_0);
}

TEST(SyncWaitTest, AWaitIsWokenBySetEventFromAnotherThread) {
    CTestHandle Event(NewEvent(false, false));
    CTestHandle Other(NewEvent(true, false));
    std::thread Setter([&] {
        Sleep(30);
        SetEvent(Event);
    });
    const HANDLE phObjects[] = {Other, Event};
    EXPECT_EQ(WaitForMultipleObjects(2, phObjects, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    Setter.join();
}

TEST(SyncWaitTest, TimeoutIsNeverEarly) {
    CTestHandle Event(NewEvent(true, false));
    for (DWORD nTimeout : {1u, 15u, 60u}) {
        const double fStart = MonotonicMilliseconds();
        EXPECT_EQ(WaitForSingleObject(Event, nTimeout), WAIT_TIMEOUT);
        EXPECT_GE(MonotonicMilliseconds() - fStart, static_cast<double>(nTimeout));
    }
}

void IgnoreSignal(int) {}

// Signals interrupt poll; the wait must go on for the rest of its time instead of returning early.
TEST(SyncWaitTest, SignalsDoNotEndAWaitEarly) {
    struct sigaction Action {};
    struct sigaction Previous {};
    Action.sa_handler = &IgnoreSignal;
    sigemptyset(&Action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &Action, &Previous), 0);

    CTestHandle Event(NewEvent(true, false));
    std::atomic<bool> bDone{false};
    const pthread_t Waiter = pthread_self();
    std::thread Disturber([&] {
        while (!bDone) {
            pthread_kill(Waiter, SIGUSR1);
            Sleep(2);
        }
    });
    const double fStart = MonotonicMilliseconds();
    EXPECT_EQ(WaitForSingleObject(Event, 100), WAIT_TIMEOUT);
    EXPECT_GE(MonotonicMilliseconds() - fStart, 100.0);
    const double fSleepStart = MonotonicMilliseconds();
    Sleep(50);
    EXPECT_GE(MonotonicMilliseconds() - fSleepStart, 50.0);
    bDone = true;
    Disturber.join();
    sigaction(SIGUSR1, &Previous, nullptr);
}

TEST(SyncWaitTest, BadArgumentsFailWithTheirErrors) {
    CTestHandle Event(NewEvent(true, true));
    const HANDLE phObjects[MAXIMUM_WAIT_OBJECTS + 1] = {Event, Event};

    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, phObjects, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, phObjects, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // One object twice: allowed when any will do, refused when all are needed.
    EXPECT_EQ(WaitForMultipleObjects(2, phObjects, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, phObjects, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    const HANDLE phBad[] = {nullptr, reinterpret_cast<HANDLE>(0x12345), INVALID_HANDLE_VALUE};
    for (HANDLE hBad : phBad) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(hBad, INFINITE), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        const HANDLE phMixed[] = {Event, hBad};
        EXPECT_EQ(WaitForMultipleObjects(2, phMixed, FALSE, INFINITE), WAIT_FAILED);
        EXPECT_FALSE(SetEvent(hBad));
        EXPECT_FALSE(ResetEvent(hBad));
        EXPECT_FALSE(CloseHandle(hBad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }

    HANDLE hClosed = NewEvent(true, true);
    EXPECT_TRUE(CloseHandle(hClosed));
    EXPECT_FALSE(CloseHandle(hClosed));
    EXPECT_EQ(WaitForSingleObject(hClosed, INFINITE), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(hClosed));

    // A name that cannot name a kernel object makes nothing.
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"Shared/Event"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(SyncHandleTest, DuplicateNamesTheSameObject) {
    HANDLE hEvent = NewEvent(false, false);
    HANDLE hDuplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), hEvent, GetCurrentProcess(), &hDuplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(hDuplicate, hEvent);
    EXPECT_TRUE(SetEvent(hEvent));
    EXPECT_EQ(WaitForSingleObject(hDuplicate, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT);
    // The object lives on through the duplicate.
    EXPECT_TRUE(CloseHandle(hEvent));
    EXPECT_TRUE(SetEvent(hDuplicate));
    EXPECT_EQ(WaitForSingleObject(hDuplicate, 0), WAIT_OBJECT_0);

    HANDLE hMoved = nullptr;
    EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), hDuplicate, GetCurrentProcess(), &hMoved, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_FALSE(CloseHandle(hDuplicate));
    EXPECT_TRUE(CloseHandle(hMoved));

    CTestHandle Event(NewEvent(true, false));
    HANDLE hTarget = nullptr;
    EXPECT_FALSE(DuplicateHandle(nullptr, Event, GetCurrentProcess(), &hTarget, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_FALSE(
        DuplicateHandle(GetCurrentProcess(), Event, GetCurrentProcess(), nullptr, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(0x12345), GetCurrentProcess(), &hTarget,
                                 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(hTarget, nullptr);
}

struct ThreadData {
    HANDLE hRelease = nullptr;
    std::atomic<DWORD> nThreadId{0};
    std::atomic<bool> bRan{false};
    DWORD nResult = 0;
};

DWORD RecordingThread(void* pParameter) {
    auto* pData = static_cast<ThreadData*>(pParameter);
    pData->nThreadId = GetCurrentThreadId();
    pData->bRan = true;
    if (pData->hRelease != nullptr) WaitForSingleObject(pData->hRelease, INFINITE);
    return pData->nResult;
}

TEST(SyncThreadTest, HandleIsSignalledWhenTheRoutineReturnsWithItsExitCode) {
    CTestHandle Release(NewEvent(true, false));
    ThreadData Data;
    Data.hRelease = Release;
    Data.nResult = 0x80004005;
    DWORD nThreadId = 0;
    CTestHandle Thread(CreateThread(nullptr, 0, &RecordingThread, &Data, 0, &nThreadId));
    ASSERT_NE(static_cast<HANDLE>(Thread), nullptr);
    EXPECT_NE(nThreadId, 0u);
    EXPECT_NE(nThreadId, GetCurrentThreadId());

    DWORD nExitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(Thread, &nExitCode));
    EXPECT_EQ(nExitCode, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(Thread, 0), WAIT_TIMEOUT);
    // The thread handle and an event in one wait.
    const HANDLE phObjects[] = {Thread, Release};
    SetEvent(Release);
    EXPECT_EQ(WaitForMultipleObjects(2, phObjects, TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(Thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(Thread, &nExitCode));
    EXPECT_EQ(nExitCode, 0x80004005u);
    EXPECT_EQ(Data.nThreadId.load(), nThreadId);
    // A thread is no event.
    EXPECT_FALSE(SetEvent(Thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetExitCodeThread(Release, &nExitCode));
    EXPECT_FALSE(GetExitCodeThread(Thread, nullptr));
}

TEST(SyncThreadTest, SuspendedThreadWaitsForResume) {
    ThreadData Data;
    Data.nResult = 7;
    DWORD nThreadId = 0;
    CTestHandle Thread(CreateThread(nullptr, 0, &RecordingThread, &Data, CREATE_SUSPENDED, &nThreadId));
    ASSERT_NE(static_cast<HANDLE>(Thread), nullptr);
    EXPECT_NE(nThreadId, 0u);
    EXPECT_EQ(WaitForSingleObject(Thread, 50), WAIT_TIMEOUT);
    EXPECT_FALSE(Data.bRan.load());
    EXPECT_EQ(ResumeThread(Thread), 1u);
    EXPECT_EQ(WaitForSingleObject(Thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(Data.bRan.load());
    EXPECT_EQ(Data.nThreadId.load(), nThreadId);
    EXPECT_EQ(ResumeThread(Thread), 0u);
    DWORD nExitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(Thread, &nExitCode));
    EXPECT_EQ(nExitCode, 7u);

    EXPECT_EQ(ResumeThread(reinterpret_cast<HANDLE>(0x12345)), 0xFFFFFFFFu);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SyncThreadTest, ClosingTheHandleLetsTheThreadRunToItsEnd) {
    CTestHandle Release(NewEvent(true, false));
    CTestHandle Finished(NewEvent(true, false));
    struct Data {
        HANDLE hRelease;
        HANDLE hFinished;
    } Pair{Release, Finished};
    HANDLE hThread = CreateThread(
        nullptr, 64 * 1024,
        [](void* p) -> DWORD {
            auto* pPair = static_cast<Data*>(p);
            WaitForSingleObject(pPair->hRelease, INFINITE);
            SetEvent(pPair->hFinished);
            return 0;
        },
        &Pair, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    EXPECT_TRUE(CloseHandle(hThread));
    SetEvent(Release);
    EXPECT_EQ(WaitForSingleObject(Finished, INFINITE), WAIT_OBJECT_0);
}

TEST(SyncFdTest, ReadinessIsSignalledAndNotConsumedByAWait) {
    int pnPipe[2];
    ASSERT_EQ(pipe(pnPipe), 0);
    CTestHandle Readable(comrt::CreateFdWaitable(pnPipe[0], POLLIN, true));
    ASSERT_NE(static_cast<HANDLE>(Readable), nullptr);
    CTestHandle Event(NewEvent(false, false));
    const HANDLE phObjects[] = {Event, Readable};
    EXPECT_EQ(WaitForMultipleObjects(2, phObjects, FALSE, 10), WAIT_TIMEOUT);

    std::thread Writer([&] {
        Sleep(20);
        EXPECT_EQ(write(pnPipe[1], "x", 1), 1);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, phObjects, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    Writer.join();
    EXPECT_EQ(WaitForSingleObject(Readable, 0), WAIT_OBJECT_0);
    char c = 0;
    EXPECT_EQ(read(pnPipe[0], &c, 1), 1);
    EXPECT_EQ(WaitForSingleObject(Readable, 0), WAIT_TIMEOUT);
    // A hang-up is readiness as well.
    close(pnPipe[1]);
    EXPECT_EQ(WaitForSingleObject(Readable, INFINITE), WAIT_OBJECT_0);

    EXPECT_EQ(comrt::CreateFdWaitable(-1, POLLIN, false), nullptr);
    EXPECT_EQ(comrt::CreateFdWaitable(0, 0, false), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SyncTimeTest, TickCountWrapsFromItsOrigin) {
    comrt::SetTickCountOrigin(0xFFFFFFFFu - 30);
    const DWORD nStart = GetTickCount();
    EXPECT_GE(nStart, 0xFFFFFFFFu - 30);
    Sleep(60);
    const DWORD nEnd = GetTickCount();
    // Past the wrap the counter is small again, and the signed difference still measures the time.
    EXPECT_LT(nEnd, 0x80000000u);
    EXPECT_GE(static_cast<LONG>(nEnd - nStart), 60);

    comrt::SetTickCountOrigin(1000);
    const DWORD nMoved = GetTickCount();
    EXPECT_GE(nMoved, 1000u);
    EXPECT_LT(nMoved, 0x80000000u);
    // The counter never runs backwards between two reads.
    DWORD nPrevious = GetTickCount();
    for (int i = 0; i < 1000; ++i) {
        const DWORD nNow = GetTickCount();
        EXPECT_GE(static_cast<LONG>(nNow - nPrevious), 0);
        nPrevious = nNow;
    }
}

TEST(SyncTimeTest, SleepLastsAtLeastItsTime) {
    for (DWORD nMilliseconds : {0u, 1u, 25u}) {
        const double fStart = MonotonicMilliseconds();
        Sleep(nMilliseconds);
        EXPECT_GE(MonotonicMilliseconds() - fStart, static_cast<double>(nMilliseconds));
    }
}

TEST(SyncErrorTest, LastErrorBelongsToTheThread) {
    SetLastError(42);
    std::thread Other([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(7);
    });
    Other.join();
    EXPECT_EQ(GetLastError(), 42u);
}

}  // namespace

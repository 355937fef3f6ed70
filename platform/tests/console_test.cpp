// Stop requests: blocked SIGINT and SIGTERM taken one by one in the order they came, and the stop signal
// event that either sets for good, for every handle to it.
#include "comrt/console.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "comrt/sync.h"

namespace {

TEST(StopSignals, BlockedSignalsAreTakenByNumber) {
    comrt::BlockStopSignals();
    const struct { int nSignal; } Table[] = {{SIGINT}, {SIGTERM}};
    for (const auto& Case : Table) {
        ASSERT_EQ(0, raise(Case.nSignal));  // pending: blocked in this thread
        EXPECT_EQ(Case.nSignal, comrt::WaitForStopSignal());
    }
    sigset_t Pending;
    sigpending(&Pending);
    EXPECT_FALSE(sigismember(&Pending, SIGINT));
    EXPECT_FALSE(sigismember(&Pending, SIGTERM));
    comrt::UnblockStopSignals();
    sigset_t Blocked;
    pthread_sigmask(SIG_BLOCK, nullptr, &Blocked);
    EXPECT_FALSE(sigismember(&Blocked, SIGINT));
    EXPECT_FALSE(sigismember(&Blocked, SIGTERM));
}

TEST(StopSignals, TheEventIsSetForGoodByTheFirstSignal) {
    const HANDLE hFirst = comrt::CreateStopSignalEvent();
    ASSERT_NE(nullptr, hFirst);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hFirst, 0));
    ASSERT_EQ(0, raise(SIGTERM));  // handled: the process goes on
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hFirst, 1000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hFirst, 0));  // a wait does not take it

    const HANDLE hSecond = comrt::CreateStopSignalEvent();
    ASSERT_NE(nullptr, hSecond);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSecond, 0));
    ASSERT_EQ(0, raise(SIGINT));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSecond, 0));
    EXPECT_TRUE(CloseHandle(hFirst));
    EXPECT_TRUE(CloseHandle(hSecond));
}

}  // namespace

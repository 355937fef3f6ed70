// The critical section with its deadlock watch: recursion, exclusion, misuse, and the suspicion reports of
// long waits (one end to end in real time with the real period, the long ones with a shortened period).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "corvane/ulcriticalsection.h"
#include "corvane/ulguard.h"
#include "tracelog.h"

namespace {

using std::chrono::milliseconds;

std::size_t CountOf(const std::vector<std::string>& Lines, const std::string& sText) {
    return static_cast<std::size_t>(std::count_if(
        Lines.begin(), Lines.end(), [&](const std::string& s) { return s.find(sText) != std::string::npos; }));
}

std::string SectionText(const CUlCriticalSection& Section) {
    char szText[32];
    std::snprintf(szText, sizeof szText, "0x%08llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&Section)));
    return szText;
}

// Holds Section on a thread of its own for nHold, then lets go; Started() tells when it holds it.
class CHolder {
public:
    CHolder(CUlCriticalSection& Section, milliseconds Hold)
        : m_Thread([this, &Section, Hold] {
              m_nThread = static_cast<DWORD>(gettid());
              Section.Lock();
              m_bHolding = true;
              std::this_thread::sleep_for(Hold);
              Section.Unlock();
          }) {
        while (!m_bHolding) std::this_thread::sleep_for(milliseconds(1));
    }
    ~CHolder() { m_Thread.join(); }
    DWORD ThreadIdentifier() const { return m_nThread; }

private:
    std::atomic<bool> m_bHolding{false};
    std::atomic<DWORD> m_nThread{0};
    std::thread m_Thread;
};

// Locks Section while another thread holds it for Hold, and lets go again; the holder's thread identifier.
DWORD LockBehindHolder(CUlCriticalSection& Section, milliseconds Hold) {
    CHolder Holder(Section, Hold);
    EXPECT_EQ(S_OK, Section.Lock());
    Section.Unlock();
    return Holder.ThreadIdentifier();
}

class CriticalSectionTest : public tracelog::CTraceTest {
protected:
    void TearDown() override {
        CUlCriticalSections::SetWatchPeriod(CUlCriticalSection::LOCK_TIMEOUT_PERIOD);
        tracelog::CTraceTest::TearDown();
    }
};

}  // namespace

TEST_F(CriticalSectionTest, RecursiveHoldIsFreeAfterAsManyUnlocksAndWritesNothing) {
    CUlCriticalSection Section;
    EXPECT_TRUE(VerifyCriticalSectionUnlocked(Section));
    ASSERT_EQ(S_OK, Section.Lock());
    ASSERT_EQ(S_OK, Section.Lock());
    EXPECT_TRUE(VerifyCriticalSectionLocked(Section));
    ASSERT_EQ(S_OK, Section.Unlock());
    EXPECT_TRUE(VerifyCriticalSectionLocked(Section));  // still held once
    bool bOtherEntered = false;
    std::thread Other([&] {
        EXPECT_TRUE(VerifyCriticalSectionUnlocked(Section));
        Section.Lock();
        bOtherEntered = true;
        Section.Unlock();
    });
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(bOtherEntered);
    ASSERT_EQ(S_OK, Section.Unlock());
    Other.join();
    EXPECT_TRUE(bOtherEntered);
    EXPECT_TRUE(VerifyCriticalSectionUnlocked(Section));
    EXPECT_EQ("", ReadLog());
}

TEST_F(CriticalSectionTest, ExcludesOtherThreads) {
    CUlCriticalSection Section;
    long nCounter = 0;
    std::vector<std::thread> Threads;
    for (int t = 0; t < 4; ++t) {
        Threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                CUlCriticalSectionLock Outer(Section);
                CUlCriticalSectionLock Inner(Section);  // recursion inside the guard
                const long nRead = nCounter;
                nCounter = nRead + 1;
            }
        });
    }
    for (std::thread& Thread : Threads) Thread.join();
    EXPECT_EQ(80000, nCounter);
    EXPECT_TRUE(VerifyCriticalSectionUnlocked(Section));
}

TEST_F(CriticalSectionTest, UnlockByANonHolderIsAnAssertionAndLeavesTheSectionHeld) {
    CUlCriticalSection Section;
    ASSERT_EQ(S_OK, Section.Lock());
    std::thread Other([&] { EXPECT_EQ(S_OK, Section.Unlock()); });
    Other.join();
    EXPECT_TRUE(VerifyCriticalSectionLocked(Section));
    EXPECT_EQ(1u, CountOf(ReadLines(), "Assertion failed: VerifyCriticalSectionLocked(*this), call stack follows:"));
    EXPECT_EQ(S_OK, Section.Unlock());
    EXPECT_TRUE(VerifyCriticalSectionUnlocked(Section));
}

TEST_F(CriticalSectionTest, DestroyingAHeldSectionIsAnAssertion) {
    {
        CUlCriticalSection Section;
        Section.Lock();
    }
    EXPECT_EQ(1u, CountOf(ReadLines(), "Assertion failed: m_sec.LockCount < 0, call stack follows:"));
}

TEST_F(CriticalSectionTest, GuardReleasesOnScopeExitAndEarlyUnlock) {
    CUlCriticalSection Section;
    {
        CUlCriticalSectionLock Guard(Section);
        EXPECT_TRUE(VerifyCriticalSectionLocked(Section));
        Guard.Unlock();
        EXPECT_TRUE(VerifyCriticalSectionUnlocked(Section));
    }
    EXPECT_TRUE(VerifyCriticalSectionUnlocked(Section));
    try {
        CUlCriticalSectionLock Guard(Section);
        throw corvane::CHResultException(E_FAIL);
    } catch (const corvane::CHResultException&) {
    }
    EXPECT_TRUE(VerifyCriticalSectionUnlocked(Section));
}

// Real time, real period: a 4-second hold is no suspicion, a 6-second one is reported once while waiting
// and once when entered.
TEST_F(CriticalSectionTest, SixSecondWaitIsSuspectedFourSecondWaitIsNot) {
    CUlCriticalSection Section;
    LockBehindHolder(Section, milliseconds(4000));
    EXPECT_EQ(0u, CountOf(ReadLines(), "deadlock suspicion"));

    const DWORD nHolder = LockBehindHolder(Section, milliseconds(6000));
    const std::vector<std::string> Lines = ReadLines();
    const std::string sSection = SectionText(Section);
    const std::string sSelf = std::to_string(gettid());
    EXPECT_EQ(
        1u, CountOf(Lines, "Critical section " + sSection + " deadlock suspicion: locked in thread " +
                               std::to_string(nHolder) + ", trying to lock in thread " + sSelf + ", timeout 5000 ms"));
    EXPECT_EQ(1u, CountOf(Lines, "Critical section " + sSection + " deadlock suspicion: entered in thread " + sSelf +
                                     " after timeout 5000 ms"));
    EXPECT_EQ(2u, CountOf(Lines, "deadlock suspicion"));
    EXPECT_EQ(0u, CountOf(Lines, "call stack follows"));
}

// A wait of more than three periods: three suspicion lines, and with the third the three call-stack blocks.
TEST_F(CriticalSectionTest, ThirdPeriodAddsTheCallStacksOfBothThreads) {
    CUlCriticalSections::SetWatchPeriod(300);
    CUlCriticalSection Section;
    const DWORD nHolder = LockBehindHolder(Section, milliseconds(1050));
    const std::vector<std::string> Lines = ReadLines();
    const std::string sSection = SectionText(Section);
    const std::string sSelf = std::to_string(gettid());
    for (const char* pszElapsed : {"300", "600", "900"}) {
        EXPECT_EQ(1u, CountOf(Lines, "locked in thread " + std::to_string(nHolder) + ", trying to lock in thread " +
                                         sSelf + ", timeout " + pszElapsed + " ms"))
            << pszElapsed;
    }
    EXPECT_EQ(1u, CountOf(Lines, "entered in thread " + sSelf + " after timeout 900 ms"));
    const auto LineOf = [&](const std::string& sText) {
        return std::find_if(Lines.begin(), Lines.end(),
                            [&](const std::string& s) { return s.find(sText) != std::string::npos; }) -
               Lines.begin();
    };
    const auto nLockTime = LineOf("Thread " + std::to_string(nHolder) + " locked the critical section " + sSection +
                                  ", lock time call stack follows:");
    const auto nCurrent = LineOf("Thread " + std::to_string(nHolder) + " current stack follows:");
    const auto nWaiter =
        LineOf("Thread " + sSelf + " is trying to lock the critical section " + sSection + ", call stack follows:");
    ASSERT_LT(nWaiter, static_cast<std::ptrdiff_t>(Lines.size()));
    EXPECT_LT(nLockTime, nCurrent);
    EXPECT_LT(nCurrent, nWaiter);
    // The lock-time call site of the holder is the lambda in CHolder, and the waiter's stack shows this test.
    EXPECT_NE(std::string::npos, Lines[nLockTime + 1].find("CHolder")) << Lines[nLockTime + 1];
    bool bTestFrame = false;
    for (std::size_t i = nWaiter + 1; i < Lines.size() && Lines[i].find("\t  ") != std::string::npos; ++i) {
        bTestFrame = bTestFrame || Lines[i].find("ThirdPeriodAddsTheCallStacks") != std::string::npos;
    }
    EXPECT_TRUE(bTestFrame);
}

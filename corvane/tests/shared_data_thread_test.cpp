// The shared data mapping used from several threads of one process: accessors exclude each other, a lock
// left by a thread that ended holding it is taken after one trace line, and the change signal releases
// every waiting thread. Every test uses names of its own and removes them when it ends.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "comrt/text.h"
#include "corvane/ulshareddata.h"
#include "tracelog.h"

namespace {

struct TestRecord {
    std::uint32_t nSize;
    std::uint32_t nMappingSize;
    std::uint32_t nProcessIdentifier;
    std::uint32_t nCounter;
    std::uint32_t nInside;
};

class CTestMapping : public CSharedDataMappingT<CTestMapping, TestRecord> {};

using corvane::CSharedDataObjects;

constexpr char ABANDONED_LINE[] = "Mutex was abandoned by the previous owner, nWaitResult 128";

class SharedDataThreadTest : public tracelog::CTraceTest {
protected:
    void SetUp() override {
        tracelog::CTraceTest::SetUp();
        const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        m_sBaseName = std::string("Corvane.Test.SharedDataThread.") + std::to_string(getpid()) + "." + pInfo->name();
        m_sName = comrt::ToUtf16(m_sBaseName);
    }
    void TearDown() override {
        for (const char* pszSuffix :
             {CSharedDataObjects::LOCK_SUFFIX, CSharedDataObjects::MAPPING_SUFFIX, CSharedDataObjects::CHANGE_SUFFIX})
            shm_unlink(CSharedDataObjects::GetObjectName(m_sBaseName, pszSuffix).c_str());
        tracelog::CTraceTest::TearDown();
    }

    const char16_t* Name() const { return m_sName.c_str(); }
    int CountLines(const std::string& sText) const {
        int nCount = 0;
        for (const std::string& sLine : ReadLines())
            if (sLine.find(sText) != std::string::npos) ++nCount;
        return nCount;
    }

    std::string m_sBaseName;
    std::u16string m_sName;
};

TEST_F(SharedDataThreadTest, AccessorsOfSeveralThreadsExcludeEachOther) {
    CTestMapping Mapping;
    Mapping.Initialize(Name());
    { CTestMapping::CAccessor Accessor(Mapping, true); }

    constexpr int THREADS = 4;
    constexpr int ROUNDS = 200;
    std::atomic<int> nOverlaps{0};
    std::atomic<int> nFailures{0};
    std::vector<std::thread> Threads;
    for (int iThread = 0; iThread < THREADS; ++iThread) {
        Threads.emplace_back([&, iThread] {
            // Half the threads share the owner's mapping object, the others open the objects themselves.
            CTestMapping Own;
            if (iThread % 2 == 1) {
                bool bExisted = false;
                Own.Initialize(Name(), &bExisted);
                if (!bExisted) ++nFailures;
                { CTestMapping::CAccessor Accessor(Own, true); }
            }
            CTestMapping& Used = iThread % 2 == 1 ? Own : Mapping;
            for (int iRound = 0; iRound < ROUNDS; ++iRound) {
                CTestMapping::CAccessor Accessor(Used, false);
                TestRecord* pRecord = Accessor.GetData();
                if (pRecord->nInside++ != 0) ++nOverlaps;
                const std::uint32_t nCounter = pRecord->nCounter;
                std::this_thread::yield();
                pRecord->nCounter = nCounter + 1;
                --pRecord->nInside;
            }
            if (!Own.Terminate()) ++nFailures;
        });
    }
    for (std::thread& Thread : Threads) Thread.join();

    EXPECT_EQ(nOverlaps.load(), 0);
    EXPECT_EQ(nFailures.load(), 0);
    {
        CTestMapping::CAccessor Accessor(Mapping, false);
        EXPECT_EQ(Accessor.GetData()->nCounter, static_cast<std::uint32_t>(THREADS * ROUNDS));
    }
    EXPECT_EQ(CountLines(ABANDONED_LINE), 0);
    EXPECT_TRUE(Mapping.Terminate());
}

TEST_F(SharedDataThreadTest, LockLeftByAnEndedThreadIsTakenAfterOneLine) {
    CTestMapping Mapping;
    Mapping.Initialize(Name());
    {
        CTestMapping::CAccessor Accessor(Mapping, true);
        Accessor.GetData()->nCounter = 5;
    }
    std::thread([&] {
        CTestMapping::CAccessor Accessor(Mapping, false, false);  // keeps the lock when it goes
    }).join();
    EXPECT_EQ(CountLines(ABANDONED_LINE), 0);

    {
        CTestMapping::CAccessor Accessor(Mapping, false);
        EXPECT_EQ(Accessor.GetData()->nCounter, 5u);
    }
    EXPECT_EQ(CountLines(ABANDONED_LINE), 1);
    { CTestMapping::CAccessor Accessor(Mapping, false); }
    EXPECT_EQ(CountLines(ABANDONED_LINE), 1);
    EXPECT_TRUE(Mapping.Terminate());
    EXPECT_EQ(CountLines("data termination skipped"), 0);
}

TEST_F(SharedDataThreadTest, TimedOutWaitSetsTheLastErrorAndAnAccessorRaisesIt) {
    CTestMapping Mapping;
    Mapping.Initialize(Name());  // this thread holds the lock
    std::atomic<DWORD> nLastError{0};
    std::atomic<bool> bWaited{true};
    std::atomic<HRESULT> hrAccessor{S_OK};
    std::thread([&] {
        bWaited = Mapping.WaitMutex(10);
        nLastError = ::GetLastError();
        try {
            CTestMapping::CAccessor Accessor(Mapping, false);
        } catch (const corvane::CHResultException& Exception) {
            hrAccessor = Exception.GetResult();
        }
    }).join();
    EXPECT_FALSE(bWaited.load());
    EXPECT_EQ(nLastError.load(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(hrAccessor.load(), static_cast<HRESULT>(0x800705B4));
    // The lock is recursive for its holder, as the owner's Terminate relies on.
    EXPECT_TRUE(Mapping.WaitMutex(0));
    EXPECT_TRUE(Mapping.ReleaseMutex());
    EXPECT_TRUE(Mapping.Terminate());
    EXPECT_EQ(CountLines("data termination skipped"), 0);
}

TEST_F(SharedDataThreadTest, ChangeSignalReleasesEveryWaitingThread) {
    CTestMapping Mapping;
    Mapping.Initialize(Name());
    { CTestMapping::CAccessor Accessor(Mapping, true); }
    EXPECT_EQ(Mapping.WaitChangeEvent(1), static_cast<DWORD>(WAIT_TIMEOUT));

    constexpr int WAITERS = 3;
    std::atomic<int> nStarted{0};
    std::atomic<int> nSignalled{0};
    std::vector<std::thread> Waiters;
    for (int i = 0; i < WAITERS; ++i) {
        Waiters.emplace_back([&] {
            ++nStarted;
            if (Mapping.WaitChangeEvent(INFINITE) == WAIT_OBJECT_0) ++nSignalled;
        });
    }
    while (nStarted.load() < WAITERS) std::this_thread::yield();
    EXPECT_TRUE(Mapping.SetChangeEvent());
    for (std::thread& Waiter : Waiters) Waiter.join();
    EXPECT_EQ(nSignalled.load(), WAITERS);
    EXPECT_TRUE(Mapping.Terminate());
}

}  // namespace

// The run of a service-capable module outside Service Mode: the message loop between the two steps, the
// delayed shutdown when the lock count stays at zero, and a stop that comes before the loop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "comrt/messages.h"
#include "corvane/ulguard.h"
#include "corvane/ulmodule.h"
#include "corvane/ulservicemodule.h"

namespace {

constexpr GUID kTestAppId = MakeGuid("{5B1E4C6A-31F0-4E0B-9C44-0D3A8B1F2E71}");

class CTestModule : public CUlServiceModuleT<CTestModule> {
public:
    explicit CTestModule(DWORD nTimeOut) : CUlServiceModuleT(u"Corvane Test Service", kTestAppId) {
        m_bService = false;
        m_nTimeOut = nTimeOut;
        m_nPause = 0;
    }

    int nRegistrations = 0;
    int nRevocations = 0;
    bool bFailRegistration = false;
    bool bFailAfterRegistration = false;
    bool bQuitDuringStart = false;
    std::atomic<DWORD> nLoopThread{0};

protected:
    bool ParseCommandLine(int, char**, int&) override { return false; }
    void RegisterClassObjects() override {
        if (bFailRegistration) corvane::ThrowHResult(E_ACCESSDENIED);
        ++nRegistrations;
    }
    void RevokeClassObjects() override { ++nRevocations; }
    void PreMessageLoop() override {
        nLoopThread = GetCurrentThreadId();
        CUlServiceModuleT::PreMessageLoop();
        if (bFailAfterRegistration) corvane::ThrowHResult(E_OUTOFMEMORY);
        // A stop signal that arrives while the program starts.
        if (bQuitDuringStart) PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
    }
};

using Clock = std::chrono::steady_clock;

}  // namespace

TEST(ServiceModule, RunEndsWhenNoLockRemainsForTheTimeOut) {
    CTestModule Module(200);
    ASSERT_EQ(CUlServiceModule::GetModule(), &Module);
    ASSERT_EQ(0, GetModuleLockCount());
    const auto Start = Clock::now();
    EXPECT_EQ(0, Module.Run());
    const auto Elapsed = Clock::now() - Start;
    EXPECT_GE(Elapsed, std::chrono::milliseconds(190));
    EXPECT_EQ(1, Module.nRegistrations);
    EXPECT_EQ(1, Module.nRevocations);
}

TEST(ServiceModule, ALockKeepsTheRunAliveAndEachUnlockRestartsTheTimeOut) {
    CTestModule Module(300);
    ModuleLock();
    std::thread Unlocker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ModuleUnlock();
    });
    const auto Start = Clock::now();
    EXPECT_EQ(0, Module.Run());
    const auto Elapsed = Clock::now() - Start;
    Unlocker.join();
    // Held for 600 ms, then the whole time-out again.
    EXPECT_GE(Elapsed, std::chrono::milliseconds(890));
}

TEST(ServiceModule, WmQuitEndsTheLoopEvenWhenPostedDuringTheStart) {
    {
        CTestModule Module(60000);
        ModuleLock();  // the module holds out the whole run: only WM_QUIT ends it
        std::thread Quitter([&] {
            while (Module.nLoopThread == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            PostThreadMessageW(Module.nLoopThread, WM_QUIT, 0, 0);
        });
        EXPECT_EQ(0, Module.Run());
        Quitter.join();
        ModuleUnlock();
        EXPECT_EQ(1, Module.nRevocations);
    }
    {
        CTestModule Module(60000);
        ModuleLock();
        Module.bQuitDuringStart = true;
        EXPECT_EQ(0, Module.Run());
        ModuleUnlock();
        EXPECT_EQ(1, Module.nRevocations);
    }
}

TEST(ServiceModule, AFailedStepIsTheRunsResultAndLeavesNothingRegistered) {
    {
        CTestModule Module(60000);
        Module.bFailAfterRegistration = true;
        EXPECT_EQ(static_cast<int>(E_OUTOFMEMORY), Module.Run());
        EXPECT_EQ(1, Module.nRegistrations);
        EXPECT_EQ(1, Module.nRevocations);
    }
    {
        CTestModule Module(60000);
        Module.bFailRegistration = true;
        EXPECT_EQ(static_cast<int>(E_ACCESSDENIED), Module.Run());
        EXPECT_EQ(0, Module.nRevocations);
    }
}

TEST(ServiceModule, TheServiceCommandIsTheQuotedProgramPath) {
    CTestModule Module(1000);
    const std::u16string sCommand = Module.GetServiceCommand();
    ASSERT_GE(sCommand.size(), 3u);
    EXPECT_EQ(u'"', sCommand.front());
    EXPECT_EQ(u'"', sCommand.back());
    EXPECT_EQ(u'/', sCommand[1]);
}

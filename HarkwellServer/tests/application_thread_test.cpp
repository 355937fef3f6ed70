// The application object's creator under threads: clients that create and release the one instance at the
// same time never reach an object that is being destroyed, and the instance is gone once the last goes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Application.h"

namespace {

TEST(ApplicationThreadTest, CreatesRacingTheLastReleaseNeverReachADyingInstance) {
    constexpr int kThreadCount = 4;
    constexpr int kRounds = 100000;
    std::atomic<int> nFailures{0};
    std::atomic<bool> bGo{false};
    std::vector<std::thread> Threads;
    for (int t = 0; t < kThreadCount; ++t) {
        Threads.emplace_back([&] {
            while (!bGo) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                IApplication* pApplication = nullptr;
                if (CApplication::CreateInstance(IidOf<IApplication>(), reinterpret_cast<void**>(&pApplication)) !=
                        S_OK ||
                    pApplication == nullptr) {
                    ++nFailures;
                    continue;
                }
                // A call on the instance: a destroyed one would be read after its release.
                VARIANT_BOOL bEnabled = VARIANT_FALSE;
                if (pApplication->get_Enabled(&bEnabled) != S_OK || bEnabled != VARIANT_TRUE) ++nFailures;
                pApplication->Release();
            }
        });
    }
    bGo = true;
    for (std::thread& Thread : Threads) Thread.join();
    EXPECT_EQ(0, nFailures.load());
    EXPECT_EQ(nullptr, g_pApplication);
}

TEST(ApplicationThreadTest, ClientsHoldingTheInstanceShareIt) {
    IApplication* pFirst = nullptr;
    ASSERT_EQ(S_OK, CApplication::CreateInstance(IidOf<IApplication>(), reinterpret_cast<void**>(&pFirst)));
    std::vector<IApplication*> Seen(4, nullptr);
    std::vector<std::thread> Threads;
    for (auto& pSeen : Seen)
        Threads.emplace_back(
            [&pSeen] { CApplication::CreateInstance(IidOf<IApplication>(), reinterpret_cast<void**>(&pSeen)); });
    for (std::thread& Thread : Threads) Thread.join();
    for (IApplication* pSeen : Seen) {
        EXPECT_EQ(pFirst, pSeen);
        if (pSeen) pSeen->Release();
    }
    // An interface it does not answer leaves no instance behind.
    pFirst->Release();
    IUnknown* pNothing = nullptr;
    EXPECT_EQ(E_NOINTERFACE, CApplication::CreateInstance(IidOf<IClassFactory>(), reinterpret_cast<void**>(&pNothing)));
    EXPECT_EQ(nullptr, pNothing);
    EXPECT_EQ(nullptr, g_pApplication);
}

}  // namespace

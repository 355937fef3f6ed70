// Call stacks: capture from a start frame, another thread's capture, the symbol lookup in a child process
// and the module of an address.
#include "comrt/stack.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "comrt/sync.h"

namespace {

constexpr ULONG FRAMES = 64;

// Captures from its caller's frame on, skipping nSkip more.
__attribute__((noinline)) USHORT CaptureFromCaller(ULONG nSkip, std::uintptr_t* pnFrames) {
    const USHORT nCount = comrt::CaptureStackBackTraceFrom(
        reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), nSkip, FRAMES, pnFrames);
    asm volatile("");
    return nCount;
}

__attribute__((noinline)) USHORT CaptureTwoDown(ULONG nSkip, std::uintptr_t* pnFrames) {
    const USHORT nCount = CaptureFromCaller(nSkip, pnFrames);
    asm volatile("");
    return nCount;
}

// The description of one address from the child.
bool LookUp(std::uintptr_t nAddress, comrt::SYMBOL_FRAME_INFO& Frame) {
    comrt::SYMBOL_LOOKUP Lookup;
    comrt::SymBeginLookup(&Lookup, &nAddress, 1, FALSE);
    const bool bFound = comrt::SymNextFrame(&Lookup, &Frame) != FALSE;
    comrt::SymEndLookup(&Lookup);
    return bFound;
}

TEST(StackCaptureTest, StartFrameAndSkipDecideTheFirstFrame) {
    std::uintptr_t pnFromCaller[FRAMES];
    std::uintptr_t pnSkipped[FRAMES];
    const USHORT nFromCaller = CaptureTwoDown(0, pnFromCaller);
    const USHORT nSkipped = CaptureTwoDown(1, pnSkipped);
    ASSERT_GT(nFromCaller, 2);
    ASSERT_EQ(nSkipped, nFromCaller - 1);
    // The first frame lies in CaptureTwoDown, the caller of the capturing function.
    comrt::SYMBOL_FRAME_INFO Frame;
    ASSERT_TRUE(LookUp(pnFromCaller[0], Frame));
    ASSERT_TRUE(Frame.bSymbol);
    EXPECT_NE(std::strstr(Frame.szSymbol, "CaptureTwoDown"), nullptr) << Frame.szSymbol;
    // Skipping one starts at this test's frame: the same frames from there on.
    for (USHORT i = 1; i + 1 < nFromCaller; ++i) EXPECT_EQ(pnSkipped[i], pnFromCaller[i + 1]) << i;
    // A start the stack does not hold gives the whole stack rather than nothing; the count is kept to.
    std::uintptr_t pnWhole[FRAMES];
    const USHORT nWhole = comrt::CaptureStackBackTraceFrom(1, 0, FRAMES, pnWhole);
    ASSERT_GE(nWhole, nFromCaller - 1);
    EXPECT_EQ(pnWhole[nWhole - 1], pnFromCaller[nFromCaller - 1]);
    EXPECT_EQ(comrt::CaptureStackBackTraceFrom(0, 0, 2, pnWhole), 2);
    EXPECT_EQ(comrt::CaptureStackBackTraceFrom(0, 0, 0, nullptr), 0);
}

TEST(StackSymbolsTest, ChildDescribesSymbolFileAndLine) {
    const auto nAddress = reinterpret_cast<std::uintptr_t>(&CaptureTwoDown) + 1;
    comrt::SYMBOL_FRAME_INFO Frame;
    ASSERT_TRUE(LookUp(nAddress, Frame));
    ASSERT_TRUE(Frame.bSymbol);
    EXPECT_NE(std::strstr(Frame.szSymbol, "CaptureTwoDown"), nullptr) << Frame.szSymbol;
    EXPECT_EQ(Frame.nSymbolAddress, nAddress - 1);
    ASSERT_TRUE(Frame.bLine);
    EXPECT_NE(std::strstr(Frame.szFile, "stack_test.cpp"), nullptr) << Frame.szFile;
    EXPECT_GT(Frame.nLine, 0);

    // Several addresses come back in their order; an address no module holds has an empty record.
    const std::uintptr_t pnAddresses[] = {0x10, nAddress};
    comrt::SYMBOL_LOOKUP Lookup;
    comrt::SymBeginLookup(&Lookup, pnAddresses, 2, FALSE);
    ASSERT_TRUE(comrt::SymNextFrame(&Lookup, &Frame));
    EXPECT_FALSE(Frame.bSymbol);
    EXPECT_FALSE(Frame.bLine);
    ASSERT_TRUE(comrt::SymNextFrame(&Lookup, &Frame));
    EXPECT_NE(std::strstr(Frame.szSymbol, "CaptureTwoDown"), nullptr) << Frame.szSymbol;
    // Past the end, and after the end, nothing more.
    EXPECT_FALSE(comrt::SymNextFrame(&Lookup, &Frame));
    comrt::SymEndLookup(&Lookup);
    comrt::SymEndLookup(&Lookup);

    comrt::SymBeginLookup(&Lookup, pnAddresses, 0, FALSE);
    EXPECT_FALSE(comrt::SymNextFrame(&Lookup, &Frame));
    comrt::SymEndLookup(&Lookup);
}

TEST(StackModulesTest, ModuleOfAnAddressIsTheLibraryOrTheProgram) {
    const auto nLibrary = reinterpret_cast<std::uintptr_t>(&comrt::SymEndLookup);
    comrt::LOADED_MODULE_OF_ADDRESS Module;
    ASSERT_TRUE(comrt::SymGetModuleOfAddress(nLibrary, &Module));
    EXPECT_NE(std::strstr(Module.pszModulePath, "libcomrt"), nullptr) << Module.pszModulePath;
    ASSERT_NE(Module.pszExportName, nullptr);
    EXPECT_NE(std::strstr(Module.pszExportName, "SymEndLookup"), nullptr) << Module.pszExportName;
    EXPECT_EQ(Module.nExportAddress, nLibrary);
    const char* pszPath = comrt::GetModulePathOfAddressInSignalHandler(nLibrary + 1);
    ASSERT_NE(pszPath, nullptr);
    EXPECT_STREQ(pszPath, Module.pszModulePath);

    const auto nProgram = reinterpret_cast<std::uintptr_t>(&CaptureTwoDown);
    ASSERT_TRUE(comrt::SymGetModuleOfAddress(nProgram, &Module));
    EXPECT_STREQ(Module.pszModulePath, "");
    pszPath = comrt::GetModulePathOfAddressInSignalHandler(nProgram);
    ASSERT_NE(pszPath, nullptr);
    EXPECT_STREQ(pszPath, "");

    EXPECT_FALSE(comrt::SymGetModuleOfAddress(0x10, &Module));
    EXPECT_EQ(Module.pszModulePath, nullptr);
    EXPECT_EQ(comrt::GetModulePathOfAddressInSignalHandler(0x10), nullptr);

    ULONGLONG nLoaded = 0, nUnloaded = ~0ull;
    comrt::GetLoadedModulesGeneration(&nLoaded, &nUnloaded);
    EXPECT_GE(nLoaded, 2u);  // the program and this runtime at least
    EXPECT_LE(nUnloaded, nLoaded);
}

__attribute__((noinline)) void WaitUntilStopped(std::atomic<DWORD>* pnThread, std::atomic<bool>* pbStop) {
    pnThread->store(GetCurrentThreadId());
    while (!pbStop->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    asm volatile("");
}

TEST(StackThreadTest, AnotherThreadCapturesItsOwnStackUnlessTheSignalIsSomeoneElses) {
    std::atomic<DWORD> nThread{0};
    std::atomic<bool> bStop{false};
    std::thread Worker(&WaitUntilStopped, &nThread, &bStop);
    while (nThread.load() == 0) std::this_thread::yield();

    std::uintptr_t pnFrames[FRAMES];
    ULONG nCount = 0;
    ASSERT_TRUE(comrt::CaptureThreadStackBackTrace(nThread.load(), FRAMES, pnFrames, &nCount));
    ASSERT_GT(nCount, 0u);
    const auto nFunction = reinterpret_cast<std::uintptr_t>(&WaitUntilStopped);
    bool bFound = false;
    for (ULONG i = 0; i < nCount; ++i) {
        comrt::SYMBOL_FRAME_INFO Frame;
        if (pnFrames[i] > nFunction && pnFrames[i] < nFunction + 4096 && LookUp(pnFrames[i], Frame))
            bFound = bFound || std::strstr(Frame.szSymbol, "WaitUntilStopped") != nullptr;
    }
    EXPECT_TRUE(bFound);
    // The count asked for is kept to; no thread, no frames.
    EXPECT_TRUE(comrt::CaptureThreadStackBackTrace(nThread.load(), 1, pnFrames, &nCount));
    EXPECT_EQ(nCount, 1u);
    EXPECT_FALSE(comrt::CaptureThreadStackBackTrace(0, FRAMES, pnFrames, &nCount));
    EXPECT_EQ(nCount, 0u);

    // A handler of someone else's for the signal stays, and the thread is not asked.
    struct sigaction Foreign {};
    Foreign.sa_handler = [](int) {};
    sigemptyset(&Foreign.sa_mask);
    struct sigaction Previous {};
    ASSERT_EQ(sigaction(SIGURG, &Foreign, &Previous), 0);
    EXPECT_FALSE(comrt::CaptureThreadStackBackTrace(nThread.load(), FRAMES, pnFrames, &nCount));
    struct sigaction Current {};
    sigaction(SIGURG, nullptr, &Current);
    EXPECT_EQ(Current.sa_handler, Foreign.sa_handler);
    sigaction(SIGURG, &Previous, nullptr);

    bStop.store(true);
    Worker.join();
}

}  // namespace

// Reading this process's memory through the kernel: readable bytes come back, a bad address or another
// process fails without a fault, and the last error stays as it was.
#include <gtest/gtest.h>

#include <cstring>

#include "comrt/sync.h"

namespace {

TEST(ReadProcessMemory, ReadsReadableBytesAndRefusesTheRestWithoutAFault) {
    const char szSource[] = "readable";
    char szTarget[sizeof szSource] = {};
    std::size_t nRead = 99;
    ASSERT_TRUE(ReadProcessMemory(GetCurrentProcess(), szSource, szTarget, sizeof szSource, &nRead));
    EXPECT_EQ(sizeof szSource, nRead);
    EXPECT_STREQ(szSource, szTarget);

    const struct {
        HANDLE hProcess;
        const void* pAddress;
        std::size_t nSize;
        BOOL bRead;
    } Table[] = {
        {GetCurrentProcess(), nullptr, 8, FALSE},                            // never mapped
        {GetCurrentProcess(), reinterpret_cast<const void*>(16), 8, FALSE},  // the first page is never mapped
        {GetCurrentProcess(), szSource, 0, TRUE},
        {nullptr, szSource, 4, FALSE},  // only this process
    };
    for (const auto& Case : Table) {
        SetLastError(1234);
        char Buffer[8] = {};
        nRead = 99;
        EXPECT_EQ(Case.bRead, ReadProcessMemory(Case.hProcess, Case.pAddress, Buffer, Case.nSize, &nRead))
            << Case.pAddress << " " << Case.nSize;
        EXPECT_EQ(0u, nRead);
        EXPECT_EQ(1234u, GetLastError());
    }
}

}  // namespace

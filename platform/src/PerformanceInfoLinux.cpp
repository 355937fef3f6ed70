// GetPerformanceInfo over /proc/meminfo, /proc/sys/fs/file-nr, /proc/loadavg and the process list. The
// mapping of each field is written in docs/platform.md.
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "ProcFilesLinux.h"
#include "SyncObjects.h"
#include "comrt/psapi.h"

using namespace comrt::internal;

namespace {

// The highest commit charge this process has seen, in pages.
std::atomic<ULONGLONG> g_nCommitPeak{0};

DWORD Clamp(ULONGLONG n) noexcept {
    return static_cast<DWORD>(std::min<ULONGLONG>(n, 0xFFFFFFFFu));
}

BOOL Fail(DWORD nError) noexcept {
    SetLastError(nError);
    return FALSE;
}

// Reads a /proc file into Buffer; the errno of the failure, or 0 with the text in *psText.
template <std::size_t N>
int ReadText(const char* pszPath, char (&Buffer)[N], std::string_view* psText) noexcept {
    std::size_t cbRead = 0;
    const int nError = ReadProcFile(pszPath, Buffer, N, &cbRead);
    *psText = std::string_view(Buffer, cbRead);
    return nError;
}

}  // namespace

BOOL GetPerformanceInfo(PERFORMANCE_INFORMATION* pPerformanceInformation, DWORD cb) noexcept {
    if (cb != sizeof(PERFORMANCE_INFORMATION)) return Fail(ERROR_BAD_LENGTH);
    if (pPerformanceInformation == nullptr) return Fail(ERROR_INVALID_PARAMETER);

    std::string_view sText;
    char MemInfoText[16384];
    int nError = ReadText("/proc/meminfo", MemInfoText, &sText);
    comrt::MemInfo Memory;
    if (nError != 0) return Fail(comrt::Win32ErrorFromErrno(nError));
    if (!comrt::ParseMemInfo(sText, &Memory)) return Fail(ERROR_INVALID_DATA);

    char SmallText[256];
    comrt::FileNr Files;
    nError = ReadText("/proc/sys/fs/file-nr", SmallText, &sText);
    if (nError != 0) return Fail(comrt::Win32ErrorFromErrno(nError));
    if (!comrt::ParseFileNr(sText, &Files)) return Fail(ERROR_INVALID_DATA);

    ULONGLONG nThreads = 0;
    nError = ReadText("/proc/loadavg", SmallText, &sText);
    if (nError != 0) return Fail(comrt::Win32ErrorFromErrno(nError));
    if (!comrt::ParseLoadAvgThreads(sText, &nThreads)) return Fail(ERROR_INVALID_DATA);

    std::size_t nProcesses = 0;
    nError = EnumerateProcessIds(nullptr, 0, &nProcesses);
    if (nError != 0) return Fail(comrt::Win32ErrorFromErrno(nError));

    const long nPageSize = sysconf(_SC_PAGESIZE);
    const ULONGLONG nPageKiB = nPageSize >= 1024 ? static_cast<ULONGLONG>(nPageSize) / 1024 : 4;
    const auto Pages = [nPageKiB](ULONGLONG nKiB) { return nKiB / nPageKiB; };

    const ULONGLONG nCommitTotal = Pages(Memory.nCommittedAs);
    ULONGLONG nPeak = g_nCommitPeak.load(std::memory_order_relaxed);
    while (nPeak < nCommitTotal && !g_nCommitPeak.compare_exchange_weak(nPeak, nCommitTotal)) {
    }
    nPeak = std::max(nPeak, nCommitTotal);
    // Kernels before 3.14 give no MemAvailable; free plus page cache is the estimate they suggested.
    const ULONGLONG nAvailable = Memory.bHasMemAvailable ? Memory.nMemAvailable : Memory.nMemFree + Memory.nCached;
    const ULONGLONG nPaged = Pages(Memory.nSReclaimable);
    const ULONGLONG nNonpaged = Pages(Memory.nSUnreclaim + Memory.nKernelStack + Memory.nPageTables);

    PERFORMANCE_INFORMATION& Info = *pPerformanceInformation;
    Info.cb = sizeof(PERFORMANCE_INFORMATION);
    Info.CommitTotal = Clamp(nCommitTotal);
    Info.CommitLimit = Clamp(Pages(Memory.nCommitLimit));
    Info.CommitPeak = Clamp(nPeak);
    Info.PhysicalTotal = Clamp(Pages(Memory.nMemTotal));
    Info.PhysicalAvailable = Clamp(Pages(nAvailable));
    Info.SystemCache = Clamp(Pages(Memory.nCached));
    Info.KernelTotal = Clamp(nPaged + nNonpaged);
    Info.KernelPaged = Clamp(nPaged);
    Info.KernelNonpaged = Clamp(nNonpaged);
    Info.PageSize = Clamp(nPageKiB * 1024);
    // Since Linux 2.6 the free count is always 0; subtracting it keeps older kernels right.
    Info.HandleCount = Clamp(Files.nAllocated - std::min(Files.nFree, Files.nAllocated));
    Info.ProcessCount = Clamp(nProcesses);
    Info.ThreadCount = Clamp(nThreads);
    return TRUE;
}

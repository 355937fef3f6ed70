// The process list and the system's performance figures, in the shape of the process status calls the
// activities make:
//
//   DWORD Ids[128], cbNeeded = 0;
//   EnumProcesses(Ids, sizeof Ids, &cbNeeded);            // cbNeeded == sizeof Ids: grow the buffer, ask again
//   HANDLE hProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, Ids[0]);
//   HMODULE hModule = nullptr;
//   WCHAR szName[260];
//   if (hProcess != nullptr && EnumProcessModules(hProcess, &hModule, sizeof hModule, &cbNeeded))
//       GetModuleBaseNameW(hProcess, hModule, szName, 260);
//   CloseHandle(hProcess);
//
// Processes are the numeric entries of /proc. A process's one module is its program, and its base name is
// the last component of the /proc/PID/exe link, read once when the process is opened (so the name stays
// the one the process had when it was opened, and a snapshot costs one readlink per process). A link that
// ends in " (deleted)" (the program file was replaced, as a package upgrade does) names the program without
// that suffix. A process whose link cannot be read (another user's, a kernel thread) cannot be opened:
// ERROR_ACCESS_DENIED; one that has ended: ERROR_INVALID_PARAMETER.
//
// Process handles are handles of comrt/sync.h's table, closed with CloseHandle; they cannot be waited on.
// Failures set the calling thread's last error (GetLastError).
#pragma once

#include <string_view>

#include "comrt/sync.h"

using HMODULE = void*;

constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_VM_READ = 0x0010;

// Writes the identifiers of the running processes into lpidProcess, as many as cb bytes hold, and the
// number of bytes written into *lpcbNeeded. When that equals cb there may be more: the caller asks again
// with a larger buffer. FALSE with ERROR_INVALID_PARAMETER for a null lpcbNeeded (or a null buffer with a
// non-zero cb); other failures are those of reading /proc.
COMRT_API BOOL EnumProcesses(DWORD* lpidProcess, DWORD cb, DWORD* lpcbNeeded) noexcept;

// Opens a process by identifier; dwDesiredAccess and bInheritHandle are not checked (every open handle may
// ask for the name). nullptr on failure, see above.
COMRT_API HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) noexcept;

// The process's modules: exactly one, the program. *lpcbNeeded receives sizeof(HMODULE); the module is
// written when cb holds it. FALSE with ERROR_INVALID_HANDLE for a handle that is not a process's,
// ERROR_INVALID_PARAMETER for a null lpcbNeeded.
COMRT_API BOOL EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, DWORD* lpcbNeeded) noexcept;

// Copies the base name of the module (nullptr: the program) into lpBaseName, cut to nSize - 1 characters
// and NUL-terminated, and answers the number of characters copied without the NUL. 0 on failure:
// ERROR_INVALID_HANDLE, or ERROR_INVALID_PARAMETER for no buffer, nSize 0 or a module of another process.
COMRT_API DWORD GetModuleBaseNameW(HANDLE hProcess, HMODULE hModule, LPWSTR lpBaseName, DWORD nSize) noexcept;

// The system's performance figures. The nine memory figures count pages of PageSize bytes; every figure is
// cut to 32 bits. How each field maps onto /proc is written in docs/platform.md.
struct PERFORMANCE_INFORMATION {
    DWORD cb;
    DWORD CommitTotal;
    DWORD CommitLimit;
    DWORD CommitPeak;
    DWORD PhysicalTotal;
    DWORD PhysicalAvailable;
    DWORD SystemCache;
    DWORD KernelTotal;
    DWORD KernelPaged;
    DWORD KernelNonpaged;
    DWORD PageSize;
    DWORD HandleCount;
    DWORD ProcessCount;
    DWORD ThreadCount;
};
static_assert(sizeof(PERFORMANCE_INFORMATION) == 56, "the record has the system's layout");

// Fills the record (cb is set to 56). FALSE with ERROR_BAD_LENGTH when cb is not 56, ERROR_INVALID_PARAMETER
// for a null record, ERROR_INVALID_DATA when /proc/meminfo lacks the figures every kernel gives, and the
// error of reading /proc otherwise.
COMRT_API BOOL GetPerformanceInfo(PERFORMANCE_INFORMATION* pPerformanceInformation, DWORD cb) noexcept;

namespace comrt {

// The figures of /proc/meminfo the performance record uses, in kibibytes (0 when absent).
struct MemInfo {
    ULONGLONG nMemTotal = 0;
    ULONGLONG nMemFree = 0;
    ULONGLONG nMemAvailable = 0;
    ULONGLONG nCached = 0;
    ULONGLONG nCommittedAs = 0;
    ULONGLONG nCommitLimit = 0;
    ULONGLONG nSReclaimable = 0;
    ULONGLONG nSUnreclaim = 0;
    ULONGLONG nKernelStack = 0;
    ULONGLONG nPageTables = 0;
    bool bHasMemAvailable = false;  // older kernels lack it
};

// Reads the "Name:   value kB" lines of /proc/meminfo text; other lines, malformed lines and values that do
// not fit 64 bits after conversion are passed over. true when MemTotal, MemFree, Committed_AS and
// CommitLimit were all found; *pInfo then holds every figure found (the others 0).
COMRT_API bool ParseMemInfo(std::string_view sText, MemInfo* pInfo) noexcept;

// /proc/sys/fs/file-nr: "allocated free maximum". false for text that does not start with three numbers.
struct FileNr {
    ULONGLONG nAllocated = 0;
    ULONGLONG nFree = 0;
    ULONGLONG nMaximum = 0;
};
COMRT_API bool ParseFileNr(std::string_view sText, FileNr* pFileNr) noexcept;

// /proc/loadavg: "0.10 0.20 0.30 running/total lastpid"; the total of the fourth field is the number of
// threads in the system. false when the text does not have that field.
COMRT_API bool ParseLoadAvgThreads(std::string_view sText, ULONGLONG* pnThreads) noexcept;

// The program name in the target of a /proc/PID/exe link: its last path component, without the
// " (deleted)" the kernel appends once the file has been removed or replaced. Empty for an empty link or
// one ending in '/'.
COMRT_API std::string_view ProgramNameFromExeLink(std::string_view sLink) noexcept;

// A /proc entry name that is a process identifier: decimal digits only, no leading zero, fitting 32 bits.
COMRT_API bool ParseProcessId(std::string_view sName, DWORD* pnProcessId) noexcept;

// /proc/PID/stat: the state (field 3, one character) and the start time (field 22, clock ticks after
// boot). The command name (field 2) is in parentheses and may hold anything, parentheses and blanks
// included: the fields after it start behind its last ')'. false for text without those fields.
COMRT_API bool ParseProcessStat(std::string_view sText, char* pcState, ULONGLONG* pnStartTime) noexcept;

// The start time of process nProcessId (as ParseProcessStat reads it); 0 when it cannot be read.
COMRT_API ULONGLONG GetProcessStartTime(DWORD nProcessId) noexcept;
// Whether process nProcessId, started at nStartTime (0: unknown), still runs. A zombie no longer runs, and
// a process that got the same identifier later, with another start time, is another process. Without a
// readable /proc entry, a process of another user counts as running.
COMRT_API bool ProcessRuns(DWORD nProcessId, ULONGLONG nStartTime) noexcept;

}  // namespace comrt

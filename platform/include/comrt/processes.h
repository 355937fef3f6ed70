// Starting a program and waiting for it, in the shape of the Windows call.
#pragma once

#include "comrt/export.h"
#include "comrt/sync.h"
#include "comrt/types.h"

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// Starts the program the command line names: its first word (in double quotes when it holds blanks) is the
// program's path, the further words (split at blanks, double quotes grouping) its arguments; the program
// inherits the environment. lpApplicationName, when not null, is the program's path instead. hProcess is
// a waitable handle that is signalled when the program ends (WaitForSingleObject); hThread is a second
// handle to the same process. Close both with CloseHandle; closing reaps a program that has ended.
// Fails with ERROR_INVALID_PARAMETER for an empty command line, ERROR_FILE_NOT_FOUND or
// ERROR_ACCESS_DENIED when the program cannot be started.
COMRT_API BOOL CreateProcessW(LPCWSTR lpApplicationName, LPCWSTR lpCommandLine,
                              LPPROCESS_INFORMATION lpProcessInformation) noexcept;
// The exit code of an ended program (its exit status, or 128 + the signal that ended it); STILL_ACTIVE
// (comrt/sync.h) while it runs.
COMRT_API BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) noexcept;

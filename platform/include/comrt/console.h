// The stop requests a console program gets (Ctrl+C, a request to close), in the shape of the console
// control handling the programs use: SIGINT and SIGTERM are the two requests.
//
// Two ways to take them, one per program:
// - A program that blocks both signals in every thread from the start of main (BlockStopSignals before it
//   starts any thread) takes them one by one on a thread of its own with WaitForStopSignal.
// - A program that has threads it did not start (a bus connection's) asks for an event instead:
//   CreateStopSignalEvent installs handlers that set it, whichever thread the signal reaches.
#pragma once

#include <string>

#include "comrt/export.h"
#include "comrt/sync.h"
#include "comrt/types.h"

namespace comrt {

// Blocks (unblocks) SIGINT and SIGTERM in the calling thread; threads it starts later inherit the mask.
COMRT_API void BlockStopSignals() noexcept;
COMRT_API void UnblockStopSignals() noexcept;

// Waits until SIGINT or SIGTERM is pending (blocked) and takes it: its number.
COMRT_API int WaitForStopSignal() noexcept;

// An event that the first SIGINT or SIGTERM of the process sets for good, from a handler that only writes
// one byte to a pipe: wait for it with WaitForSingleObject and close it with CloseHandle. The pipe and the
// handlers are made once per process; every call answers a handle of its own to the same event. nullptr with
// the last error (from the errno of the failed call) when the pipe cannot be made, and then in *psReason,
// when given, the system's own words for it ("Too many open files").
COMRT_API HANDLE CreateStopSignalEvent(std::string* psReason = nullptr) noexcept;

}  // namespace comrt

// The system error codes of failed operating-system calls: one table for the kernel calls' errors (what
// SetLastError records and HRESULT_FROM_WIN32 lifts) and one for the socket library's codes, so that every
// module reports the same errno as the same code.
#pragma once

#include "comrt/export.h"
#include "comrt/types.h"

namespace comrt {

// The error the corresponding kernel call reports for the errno of a failed system call: ENOENT gives
// ERROR_FILE_NOT_FOUND, EACCES ERROR_ACCESS_DENIED, ENOMEM and EAGAIN ERROR_NOT_ENOUGH_MEMORY, and so on;
// 0 gives ERROR_SUCCESS. An errno without a counterpart gives dwUnlisted, so that a caller can name what
// failed (ERROR_WRITE_FAULT for a write, say).
COMRT_API DWORD Win32ErrorFromErrno(int nErrno, DWORD dwUnlisted = ERROR_INVALID_FUNCTION) noexcept;

// The socket library code for the errno of a failed socket call: EWOULDBLOCK, EAGAIN and EINPROGRESS give
// WSAEWOULDBLOCK, ETIMEDOUT WSAETIMEDOUT, ECONNRESET and EPIPE WSAECONNRESET, ECONNREFUSED WSAECONNREFUSED,
// and so on for every code a socket call can answer; 0 stays 0; a value without a counterpart gives
// WSASYSCALLFAILURE.
COMRT_API LONG SocketErrorFromErrno(int nErrno) noexcept;

}  // namespace comrt

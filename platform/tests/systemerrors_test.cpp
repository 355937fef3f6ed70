// The errno tables: each errno a call can answer, with the system error and the socket library code it is
// reported as, so that a changed entry shows here.
#include "comrt/systemerrors.h"

#include <errno.h>
#include <gtest/gtest.h>

namespace {

struct CErrnoEntry {
    int nErrno;
    LONG nWin32;
};

TEST(SystemErrors, ErrnoValuesMapOntoKernelCallErrors) {
    const CErrnoEntry Table[] = {
        {0, ERROR_SUCCESS},
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {EPERM, ERROR_ACCESS_DENIED},
        {EACCES, ERROR_ACCESS_DENIED},
        {EROFS, ERROR_ACCESS_DENIED},
        {EBADF, ERROR_INVALID_HANDLE},
        {EINVAL, ERROR_INVALID_PARAMETER},
        {ENAMETOOLONG, ERROR_INVALID_PARAMETER},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {ENOBUFS, ERROR_NOT_ENOUGH_MEMORY},
        {EAGAIN, ERROR_NOT_ENOUGH_MEMORY},
        {ENOSPC, ERROR_DISK_FULL},
        {EFBIG, ERROR_FILE_TOO_LARGE},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
        {ETIMEDOUT, ERROR_TIMEOUT},
        {EBUSY, ERROR_BUSY},
        {EDEADLK, ERROR_BUSY},
        {ENOTRECOVERABLE, ERROR_INVALID_DATA},
        {ENOSYS, ERROR_CALL_NOT_IMPLEMENTED},
        {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
        {EAFNOSUPPORT, ERROR_NOT_SUPPORTED},
        {EPROTONOSUPPORT, ERROR_NOT_SUPPORTED},
        {ESOCKTNOSUPPORT, ERROR_NOT_SUPPORTED},
        {EIO, ERROR_INVALID_FUNCTION},
    };
    for (const CErrnoEntry& Entry : Table) {
        EXPECT_EQ(comrt::Win32ErrorFromErrno(Entry.nErrno), static_cast<DWORD>(Entry.nWin32)) << Entry.nErrno;
    }
    // An errno without a counterpart is the caller's; a listed one never is.
    EXPECT_EQ(comrt::Win32ErrorFromErrno(EIO, ERROR_WRITE_FAULT), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_EQ(comrt::Win32ErrorFromErrno(ENOENT, ERROR_WRITE_FAULT), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(SystemErrors, ErrnoValuesMapOntoSocketLibraryCodes) {
    const CErrnoEntry Table[] = {
        {0, 0},
        {EAGAIN, WSAEWOULDBLOCK},
        {EINPROGRESS, WSAEWOULDBLOCK},
        {EALREADY, WSAEALREADY},
        {ETIMEDOUT, WSAETIMEDOUT},
        {ECONNRESET, WSAECONNRESET},
        {EPIPE, WSAECONNRESET},
        {ECONNREFUSED, WSAECONNREFUSED},
        {ECONNABORTED, WSAECONNABORTED},
        {ENETUNREACH, WSAENETUNREACH},
        {EHOSTUNREACH, WSAEHOSTUNREACH},
        {EHOSTDOWN, WSAEHOSTDOWN},
        {ENETDOWN, WSAENETDOWN},
        {ENETRESET, WSAENETRESET},
        {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
        {EADDRINUSE, WSAEADDRINUSE},
        {ENOTCONN, WSAENOTCONN},
        {EISCONN, WSAEISCONN},
        {ESHUTDOWN, WSAESHUTDOWN},
        {EMSGSIZE, WSAEMSGSIZE},
        {EINVAL, WSAEINVAL},
        {EFAULT, WSAEFAULT},
        {EACCES, WSAEACCES},
        {EPERM, WSAEACCES},
        {EINTR, WSAEINTR},
        {EMFILE, WSAEMFILE},
        {ENFILE, WSAEMFILE},
        {ENOBUFS, WSAENOBUFS},
        {ENOMEM, WSAENOBUFS},
        {EAFNOSUPPORT, WSAEAFNOSUPPORT},
        {EBADF, WSAENOTSOCK},
        {ENOTSOCK, WSAENOTSOCK},
        {ENOENT, WSASYSCALLFAILURE},
    };
    for (const CErrnoEntry& Entry : Table) {
        EXPECT_EQ(comrt::SocketErrorFromErrno(Entry.nErrno), Entry.nWin32) << Entry.nErrno;
    }
    // What callers raise: HRESULT_FROM_WIN32 of the socket code.
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAETIMEDOUT), MakeHResult(0x8007274C));
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAECONNRESET), MakeHResult(0x80072746));
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAEADDRNOTAVAIL), MakeHResult(0x80072741));
}

}  // namespace

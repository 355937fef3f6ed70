// The errno tables. Where one errno stands for several conditions, the entry is the one a call that reaches
// the table means by it: EAGAIN of a kernel call is a resource limit (a thread, a locked mapping), as the
// would-block answers are handled by their callers first; the socket table has WSAEWOULDBLOCK for those.
#include <errno.h>

#include "comrt/systemerrors.h"

namespace comrt {

DWORD Win32ErrorFromErrno(int nErrno, DWORD dwUnlisted) noexcept {
    switch (nErrno) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EPERM:
        case EACCES:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
        case ENAMETOOLONG:
            return ERROR_INVALID_PARAMETER;
        case ENOMEM:
        case ENOBUFS:
        case EAGAIN:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EBUSY:
        case EDEADLK:
            return ERROR_BUSY;
        case ENOTRECOVERABLE:
            return ERROR_INVALID_DATA;
        case ENOSYS:
            return ERROR_CALL_NOT_IMPLEMENTED;
        case EOPNOTSUPP:
        case EAFNOSUPPORT:
        case EPROTONOSUPPORT:
        case ESOCKTNOSUPPORT:
            return ERROR_NOT_SUPPORTED;
        default:
            return dwUnlisted;
    }
}

LONG SocketErrorFromErrno(int nErrno) noexcept {
    switch (nErrno) {
        case 0:
            return 0;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS:
            return WSAEWOULDBLOCK;
        case EALREADY:
            return WSAEALREADY;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETRESET:
            return WSAENETRESET;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case ENOTCONN:
            return WSAENOTCONN;
        case EISCONN:
            return WSAEISCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EINVAL:
            return WSAEINVAL;
        case EFAULT:
            return WSAEFAULT;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EINTR:
            return WSAEINTR;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EBADF:
        case ENOTSOCK:
            return WSAENOTSOCK;
        default:
            return WSASYSCALLFAILURE;
    }
}

}  // namespace comrt

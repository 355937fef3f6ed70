// Stream sockets and host name resolution in the shape of the socket library calls the system makes:
// socket with FIONBIO, connect, send, recv and closesocket, WSAEventSelect with WSAEnumNetworkEvents and
// WSAWaitForMultipleEvents, and inet_addr followed by gethostbyname for a host's address.
//
//   ULONG nAddress = 0;
//   if (LONG nError = comrt::ResolveHostAddress(u"mail.example.org", &nAddress)) ... fail with nError ...
//   SOCKET hSocket = comrt::OpenStreamSocket();                 // non-blocking IPv4 stream socket
//   if (comrt::ConnectSocket(hSocket, nAddress, 25) == SOCKET_ERROR && GetLastError() != WSAEWOULDBLOCK) ...
//   if (comrt::WaitForSocketEvents(hSocket, FD_CONNECT | FD_CLOSE, 5000) == WAIT_TIMEOUT) ... time-out ...
//   comrt::CloseSocket(hSocket);
//
// Sockets are the system's descriptors, non-blocking from the start. A socket's "network event" is its own
// readiness for the selected events: a wait polls the socket, and EnumSocketNetworkEvents reads what the
// socket shows at that moment, so the event is signalled exactly while one of the selected events holds.
// Failures answer SOCKET_ERROR (or INVALID_SOCKET, WAIT_FAILED, FALSE) and leave the socket library's code in
// the calling thread's last error: the errno of the failed call mapped by SocketErrorFromErrno.
#pragma once

#include <cstddef>
#include <string_view>

#include "comrt/export.h"
#include "comrt/sync.h"
#include "comrt/types.h"

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Network events (the bits of an event selection and of WSANETWORKEVENTS::lNetworkEvents).
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
// The index of each event's error code in WSANETWORKEVENTS::iErrorCode.
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;

// The events recorded on a socket, each with the socket library code of its failure (0 when none).
struct WSANETWORKEVENTS {
    long lNetworkEvents;
    int iErrorCode[FD_MAX_EVENTS];
};

namespace comrt {

// The IPv4 address (network byte order) of sHost: a dotted address as inet_addr reads it, else the first
// IPv4 address the system's resolver gives for the name. 0 when found, else the socket library code:
// WSAEADDRNOTAVAIL for an empty host or one that cannot be resolved, WSAENOBUFS when memory ran out. The one
// resolver of the system: every user of host names asks it, so they all read a host the same way.
COMRT_API LONG ResolveHostAddress(std::u16string_view sHost, ULONG* pnAddress) noexcept;

// socket(AF_INET, SOCK_STREAM, 0) made non-blocking (and not inherited by programs started later).
// INVALID_SOCKET on failure.
COMRT_API SOCKET OpenStreamSocket() noexcept;

// connect to nAddress (network byte order) and nPort. 0 when connected at once; SOCKET_ERROR with
// WSAEWOULDBLOCK when the connect was started (FD_CONNECT tells how it ends), else with the failure.
COMRT_API int ConnectSocket(SOCKET hSocket, ULONG nAddress, USHORT nPort) noexcept;

// One send of at most nLength bytes that never raises SIGPIPE when the peer has gone (which would end the
// process): the number of bytes taken, or -1 with the failure in errno (not the last error), for a layer that
// does its own reads and writes on a socket's descriptor (a TLS session).
COMRT_API long SendWithoutSignal(SOCKET hSocket, const void* pData, std::size_t nLength) noexcept;
// send: the number of bytes taken, or SOCKET_ERROR (WSAEWOULDBLOCK when none could be taken now).
COMRT_API long SendSocket(SOCKET hSocket, const void* pData, std::size_t nLength) noexcept;
// recv: the number of bytes received (0 after an orderly close), or SOCKET_ERROR (WSAEWOULDBLOCK when none
// wait). Resumed after signals.
COMRT_API long ReceiveSocket(SOCKET hSocket, void* pBuffer, std::size_t nLength) noexcept;
// closesocket: the descriptor is released, also when the call reports a failure.
COMRT_API int CloseSocket(SOCKET hSocket) noexcept;

// Waits until hSocket shows one of nNetworkEvents (FD_ bits), at most nTimeout milliseconds (a negative
// value waits without limit; 0 tests without waiting): WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the
// last error set. Signals delivered to the thread do not end the wait early.
COMRT_API DWORD WaitForSocketEvents(SOCKET hSocket, long nNetworkEvents, LONG nTimeout) noexcept;
// The readiness of hSocket for nNetworkEvents as a waitable object (for WaitForMultipleObjects beside other
// objects); the socket stays its owner's. nullptr with the last error set on failure.
COMRT_API HANDLE CreateSocketEventWaitable(SOCKET hSocket, long nNetworkEvents) noexcept;

// Reads the events among nSelected that hSocket shows now, with their error codes, as WSAEnumNetworkEvents
// does. *pbConnectPending says whether a started connect has not yet been recorded: while it is, nothing
// else is recorded; once it has ended, FD_CONNECT is recorded with its code and *pbConnectPending cleared.
// FD_READ while data waits to be read; FD_WRITE while a send would not block; FD_CLOSE once the peer closed
// or reset the connection (code 0 for an orderly close, else what ended it), even while data waits. FALSE
// with the last error set when the socket cannot be read.
COMRT_API BOOL EnumSocketNetworkEvents(SOCKET hSocket, long nSelected, bool* pbConnectPending,
                                       WSANETWORKEVENTS* pNetworkEvents) noexcept;

}  // namespace comrt

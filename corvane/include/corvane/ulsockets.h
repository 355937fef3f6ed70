// The socket layer of the e-mail notification, in the shape of the socket library calls the system makes:
// a start-up guard, and a non-blocking IPv4 stream socket whose readiness (connect completed, writable,
// readable, closed by the peer) is waited for with a bound time-out.
//
//   CWindowsSockets2 Sockets;                     // for the lifetime of the user of sockets
//   CSocketT<true> Socket;                        // closes itself when it goes
//   CNetworkEvent NetworkEvent;
//   Socket.Create();
//   Socket.EventSelect(NetworkEvent, FD_CONNECT | FD_CLOSE);
//   if (!Socket.Connect(u"127.0.0.1", 25) && GetLastError() != WSAEWOULDBLOCK) ... fail ...
//   if (NetworkEvent.Wait(nTimeout) == WAIT_TIMEOUT) ... time-out ...
//   WSANETWORKEVENTS NetworkEvents;
//   Socket.EnumNetworkEvents(NetworkEvent, NetworkEvents);
//
// Sockets are the runtime's non-blocking stream sockets (comrt/winsock.h). The network event that EventSelect binds is
// the socket's own readiness for the selected events: a wait polls the socket, and EnumNetworkEvents reads what the
// socket shows at that moment. So the event is signalled exactly while one of the selected events holds,
// as a manual-reset event that the socket library sets and EnumNetworkEvents resets would be, without a
// second object. FD_CLOSE is recorded as soon as the peer has closed its side (or reset the connection),
// even while received data waits to be read.
//
// Failures return false and leave the socket library's code in the calling thread's last error
// (GetLastError, as WSAGetLastError would give it): the operating system's errno is mapped onto the Winsock
// code of the same meaning (comrt::SocketErrorFromErrno), so callers raise HRESULT_FROM_WIN32 of it, for example
// 0x8007274C for a time-out, 0x80072746 for a reset connection, 0x8007274D for a refused one.
//
// Nothing here is shared between threads: one thread uses a socket and its network event at a time.
#pragma once

#include <cstddef>
#include <string_view>

#include "comrt/sync.h"
#include "comrt/types.h"
#include "comrt/winsock.h"

// The start-up guard of the socket library: constructed, it starts the library requesting version 2.0;
// destroyed, it shuts it down. Each user of sockets owns one for as long as it uses them. Here the library
// needs no start (sockets never raise SIGPIPE, as every send asks not to), so the guard only keeps the
// count of starts, which tests and diagnostics read.
class CWindowsSockets2 {
public:
    static constexpr WORD REQUESTED_VERSION = 0x0002;  // 2.0: major in the low byte

    CWindowsSockets2() noexcept;
    ~CWindowsSockets2();
    CWindowsSockets2(const CWindowsSockets2&) = delete;
    CWindowsSockets2& operator=(const CWindowsSockets2&) = delete;

    // The result of the start: 0 when the library started, else a socket library code.
    int GetResult() const noexcept { return m_nResult; }
    bool IsStarted() const noexcept { return m_nResult == 0; }
    // How many guards of this process hold the library started.
    static LONG GetStartCount() noexcept;

private:
    int m_nResult;
};

class CSocket;

// Sends on hSocket without raising SIGPIPE when the peer has gone (which would end the process): the number
// of bytes sent, or -1 with the failure in errno. For a layer that does its own reads and writes on a
// socket's descriptor (a TLS session); CSocket::Send sends this way too.
long SendWithoutSignal(SOCKET hSocket, const void* pData, std::size_t nLength) noexcept;

// What EventSelect binds a socket's readiness notifications to. The binding lasts until the next
// EventSelect with this event; the socket object must outlive it. While no socket is bound, or the bound one
// is closed, a wait fails.
class CNetworkEvent {
public:
    CNetworkEvent() noexcept = default;
    CNetworkEvent(const CNetworkEvent&) = delete;
    CNetworkEvent& operator=(const CNetworkEvent&) = delete;

    // Waits until the bound socket shows one of the selected events, at most nTimeout milliseconds (a
    // negative value waits without limit; 0 tests without waiting). WAIT_OBJECT_0 when it does,
    // WAIT_TIMEOUT when the time ran out, WAIT_FAILED with the last error set when no socket is bound or the
    // wait itself failed. Signals delivered to the thread do not end the wait early.
    DWORD Wait(LONG nTimeout) const noexcept;
    // Wait, ended early by hAbortEvent as well: WAIT_OBJECT_0 + 1 when that event is signalled (and the
    // socket shows none of the events; the socket wins when both hold). A null hAbortEvent waits as Wait
    // does. So a thread asked to stop is never held by a peer that stays silent.
    DWORD Wait(LONG nTimeout, HANDLE hAbortEvent) const noexcept;

    const CSocket* GetSocket() const noexcept { return m_pSocket; }
    long GetNetworkEvents() const noexcept { return m_nNetworkEvents; }

private:
    friend class CSocket;

    const CSocket* m_pSocket = nullptr;
    long m_nNetworkEvents = 0;
};

// One IPv4 stream socket handle, invalid when closed. CSocketT adds whether it is closed when it goes.
class CSocket {
public:
    CSocket() noexcept = default;
    explicit CSocket(SOCKET hSocket) noexcept : m_hSocket(hSocket) {}
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    SOCKET GetHandle() const noexcept { return m_hSocket; }
    bool IsValid() const noexcept { return m_hSocket != INVALID_SOCKET; }

    // A non-blocking stream socket of the IPv4 family with the default protocol. Creating a socket while one
    // is open is an assertion failure; the open one is closed first so that it does not leak.
    bool Create() noexcept;
    // Binds the socket's readiness for nNetworkEvents (FD_ bits) to Event, replacing what Event was bound
    // to before. The masks used are FD_CONNECT | FD_CLOSE, FD_WRITE | FD_CLOSE and FD_READ | FD_CLOSE.
    bool EventSelect(CNetworkEvent& Event, long nNetworkEvents) noexcept;
    // Reads the events among those Event selected that the socket shows now, with their error codes.
    // FD_CONNECT is recorded once, when a started connect has ended (its code tells how); FD_READ while
    // data waits to be read; FD_WRITE while a send would not block; FD_CLOSE once the peer closed or reset
    // the connection (code 0 for an orderly close, else what ended it).
    bool EnumNetworkEvents(const CNetworkEvent& Event, WSANETWORKEVENTS& NetworkEvents) noexcept;
    // Starts a connect to sHost, a dotted IPv4 address or a host name whose first IPv4 address is taken,
    // and nPort. A started connect answers false with WSAEWOULDBLOCK (FD_CONNECT tells how it ends); a host
    // that cannot be resolved answers false with WSAEADDRNOTAVAIL.
    bool Connect(std::u16string_view sHost, USHORT nPort) noexcept;
    // One send of nLength bytes; *pnSent receives how many were taken (possibly fewer when the socket's
    // buffer fills). False with WSAEWOULDBLOCK when none could be taken now.
    bool Send(const void* pData, std::size_t nLength, std::size_t* pnSent) noexcept;
    // One receive of at most nLength bytes; *pnReceived receives how many came (0 after an orderly close).
    // False with WSAEWOULDBLOCK when none wait.
    bool Receive(void* pBuffer, std::size_t nLength, std::size_t* pnReceived) noexcept;
    // Closes the socket and leaves it invalid; nothing to do when it is closed.
    void Close() noexcept;

private:
    SOCKET m_hSocket = INVALID_SOCKET;
    // A connect was started and its FD_CONNECT not yet recorded.
    bool m_bConnectPending = false;
};

// t_bManaged: the destructor closes an open socket. Unmanaged sockets borrow a handle someone else closes.
template <bool t_bManaged>
class CSocketT : public CSocket {
public:
    using CSocket::CSocket;
    ~CSocketT() {
        if constexpr (t_bManaged) Close();
    }
};

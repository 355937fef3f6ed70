// Stream sockets and the host resolver on POSIX sockets: non-blocking IPv4 stream sockets whose readiness is
// read with poll, and getaddrinfo for host names.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "comrt/sync.h"
#include "comrt/systemerrors.h"
#include "comrt/text.h"
#include "comrt/winsock.h"

namespace {

// Sets the socket library code as the thread's last error.
void SetSocketError(LONG nCode) noexcept {
    SetLastError(static_cast<DWORD>(nCode));
}

void SetSocketErrorFromErrno() noexcept {
    SetSocketError(comrt::SocketErrorFromErrno(errno));
}

// The poll events that show the network events of a mask. Error and hang-up are always reported.
short PollEventsOf(long nNetworkEvents) noexcept {
    short nPollEvents = 0;
    if (nNetworkEvents & FD_READ) nPollEvents |= POLLIN;
    if (nNetworkEvents & (FD_WRITE | FD_CONNECT)) nPollEvents |= POLLOUT;
    // The peer's FIN shows as POLLRDHUP while data still waits to be read, which is when the socket library
    // records FD_CLOSE; POLLIN alone would not tell the two apart.
    if (nNetworkEvents & FD_CLOSE) nPollEvents |= POLLRDHUP;
    return nPollEvents;
}

// One poll of one descriptor, resumed after signals; the revents, or -1 with errno.
int PollOnce(SOCKET hSocket, short nPollEvents, int nTimeout) noexcept {
    pollfd PollDescriptor{hSocket, nPollEvents, 0};
    for (;;) {
        const int nResult = ::poll(&PollDescriptor, 1, nTimeout);
        if (nResult >= 0) return nResult == 0 ? 0 : PollDescriptor.revents;
        if (errno != EINTR) return -1;
    }
}

// The pending error of the socket, cleared by reading it.
int TakeSocketError(SOCKET hSocket) noexcept {
    int nError = 0;
    socklen_t nSize = sizeof nError;
    if (::getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &nSize) != 0) return errno;
    return nError;
}

}  // namespace

namespace comrt {

LONG ResolveHostAddress(std::u16string_view sHost, ULONG* pnAddress) noexcept {
    if (pnAddress == nullptr) return WSAEFAULT;
    *pnAddress = 0;
    try {
        const std::string sHostText = ToUtf8(sHost);
        if (sHostText.empty()) return WSAEADDRNOTAVAIL;
        const in_addr_t nAddress = ::inet_addr(sHostText.c_str());
        if (nAddress != INADDR_NONE) {
            *pnAddress = nAddress;
            return 0;
        }
        addrinfo Hints{};
        Hints.ai_family = AF_INET;
        Hints.ai_socktype = SOCK_STREAM;
        addrinfo* pResults = nullptr;
        if (::getaddrinfo(sHostText.c_str(), nullptr, &Hints, &pResults) != 0) return WSAEADDRNOTAVAIL;
        const bool bFound = pResults != nullptr && pResults->ai_addr != nullptr && pResults->ai_family == AF_INET;
        if (bFound) *pnAddress = reinterpret_cast<const sockaddr_in*>(pResults->ai_addr)->sin_addr.s_addr;
        if (pResults != nullptr) ::freeaddrinfo(pResults);
        return bFound ? 0 : WSAEADDRNOTAVAIL;
    } catch (...) {
        return WSAENOBUFS;
    }
}

SOCKET OpenStreamSocket() noexcept {
    const SOCKET hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (hSocket < 0) {
        SetSocketErrorFromErrno();
        return INVALID_SOCKET;
    }
    return hSocket;
}

int ConnectSocket(SOCKET hSocket, ULONG nAddress, USHORT nPort) noexcept {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(nPort);
    Address.sin_addr.s_addr = nAddress;
    if (::connect(hSocket, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0) return 0;
    // EAGAIN from connect means that no local port was free: nothing was started, so it must not read as
    // the WSAEWOULDBLOCK of a connect in progress, whose FD_CONNECT would never come.
    SetSocketError(errno == EAGAIN ? WSAENOBUFS : SocketErrorFromErrno(errno));
    return SOCKET_ERROR;
}

long SendWithoutSignal(SOCKET hSocket, const void* pData, std::size_t nLength) noexcept {
    for (;;) {
        const ssize_t nSent = ::send(hSocket, pData, nLength, MSG_NOSIGNAL);
        if (nSent >= 0 || errno != EINTR) return static_cast<long>(nSent);
    }
}

long SendSocket(SOCKET hSocket, const void* pData, std::size_t nLength) noexcept {
    const long nSent = SendWithoutSignal(hSocket, pData, nLength);
    if (nSent < 0) SetSocketErrorFromErrno();
    return nSent < 0 ? SOCKET_ERROR : nSent;
}

long ReceiveSocket(SOCKET hSocket, void* pBuffer, std::size_t nLength) noexcept {
    for (;;) {
        const ssize_t nReceived = ::recv(hSocket, pBuffer, nLength, 0);
        if (nReceived >= 0) return static_cast<long>(nReceived);
        if (errno != EINTR) {
            SetSocketErrorFromErrno();
            return SOCKET_ERROR;
        }
    }
}

int CloseSocket(SOCKET hSocket) noexcept {
    // close is not repeated after EINTR: the descriptor is released either way.
    if (::close(hSocket) == 0) return 0;
    SetSocketErrorFromErrno();
    return SOCKET_ERROR;
}

DWORD WaitForSocketEvents(SOCKET hSocket, long nNetworkEvents, LONG nTimeout) noexcept {
    using Clock = std::chrono::steady_clock;
    const short nPollEvents = PollEventsOf(nNetworkEvents);
    const Clock::time_point Deadline = Clock::now() + std::chrono::milliseconds(nTimeout < 0 ? 0 : nTimeout);
    for (;;) {
        int nWait = -1;
        if (nTimeout >= 0) {
            const auto nLeft = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
            nWait = nLeft > 0 ? static_cast<int>(nLeft) : 0;
        }
        pollfd PollDescriptor{hSocket, nPollEvents, 0};
        const int nResult = ::poll(&PollDescriptor, 1, nWait);
        if (nResult > 0) return WAIT_OBJECT_0;
        if (nResult == 0) {
            if (nWait == 0) return WAIT_TIMEOUT;
            continue;  // woke before the deadline by the clock's rounding: wait for the rest
        }
        if (errno == EINTR) continue;
        SetSocketErrorFromErrno();
        return WAIT_FAILED;
    }
}

HANDLE CreateSocketEventWaitable(SOCKET hSocket, long nNetworkEvents) noexcept {
    return CreateFdWaitable(hSocket, PollEventsOf(nNetworkEvents), false);
}

BOOL EnumSocketNetworkEvents(SOCKET hSocket, long nSelected, bool* pbConnectPending,
                             WSANETWORKEVENTS* pNetworkEvents) noexcept {
    if (pbConnectPending == nullptr || pNetworkEvents == nullptr) {
        SetSocketError(WSAEFAULT);
        return FALSE;
    }
    WSANETWORKEVENTS& NetworkEvents = *pNetworkEvents;
    std::memset(&NetworkEvents, 0, sizeof NetworkEvents);
    const int nReady = PollOnce(hSocket, PollEventsOf(nSelected), 0);
    if (nReady < 0) {
        SetSocketErrorFromErrno();
        return FALSE;
    }

    if (*pbConnectPending) {
        // Until the connect has ended nothing else can hold; a failed connect records nothing else either.
        if (!(nSelected & FD_CONNECT) || !(nReady & (POLLOUT | POLLERR | POLLHUP))) return TRUE;
        *pbConnectPending = false;
        const int nError = TakeSocketError(hSocket);
        NetworkEvents.lNetworkEvents |= FD_CONNECT;
        NetworkEvents.iErrorCode[FD_CONNECT_BIT] = SocketErrorFromErrno(nError);
        if (nError != 0) return TRUE;
    }
    if ((nSelected & FD_READ) && (nReady & POLLIN)) {
        // POLLIN also stands for the end of the data after a close; FD_READ is only for data.
        int nWaiting = 0;
        if (::ioctl(hSocket, FIONREAD, &nWaiting) == 0 && nWaiting > 0) NetworkEvents.lNetworkEvents |= FD_READ;
    }
    if ((nSelected & FD_WRITE) && (nReady & POLLOUT) && !(nReady & POLLERR)) NetworkEvents.lNetworkEvents |= FD_WRITE;
    if ((nSelected & FD_CLOSE) && (nReady & (POLLRDHUP | POLLHUP | POLLERR))) {
        NetworkEvents.lNetworkEvents |= FD_CLOSE;
        const int nError = (nReady & POLLERR) ? TakeSocketError(hSocket) : 0;
        NetworkEvents.iErrorCode[FD_CLOSE_BIT] =
            nError != 0 ? SocketErrorFromErrno(nError) : ((nReady & POLLRDHUP) ? 0 : WSAECONNABORTED);
    }
    return TRUE;
}

}  // namespace comrt

// The socket layer on POSIX sockets: non-blocking IPv4 stream sockets whose readiness is read with poll.
#include "corvane/ulsockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "comrt/systemerrors.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulhandle.h"

namespace {

std::atomic<LONG> g_nStartCount{0};

// Sets the socket library code as the thread's last error and answers false, as a failed call does.
bool Fail(LONG nCode) noexcept {
    ::SetLastError(static_cast<DWORD>(nCode));
    return false;
}

bool FailWithErrno() noexcept {
    return Fail(comrt::SocketErrorFromErrno(errno));
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

CWindowsSockets2::CWindowsSockets2() noexcept : m_nResult(0) {
    ++g_nStartCount;
}

CWindowsSockets2::~CWindowsSockets2() {
    if (m_nResult == 0) --g_nStartCount;
}

LONG CWindowsSockets2::GetStartCount() noexcept {
    return g_nStartCount.load();
}

DWORD CNetworkEvent::Wait(LONG nTimeout) const noexcept {
    if (m_pSocket == nullptr || !m_pSocket->IsValid()) {
        Fail(WSAENOTSOCK);
        return WAIT_FAILED;
    }
    using Clock = std::chrono::steady_clock;
    const short nPollEvents = PollEventsOf(m_nNetworkEvents);
    const Clock::time_point Deadline = Clock::now() + std::chrono::milliseconds(nTimeout < 0 ? 0 : nTimeout);
    for (;;) {
        int nWait = -1;
        if (nTimeout >= 0) {
            const auto nLeft = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
            nWait = nLeft > 0 ? static_cast<int>(nLeft) : 0;
        }
        pollfd PollDescriptor{m_pSocket->GetHandle(), nPollEvents, 0};
        const int nResult = ::poll(&PollDescriptor, 1, nWait);
        if (nResult > 0) return WAIT_OBJECT_0;
        if (nResult == 0) {
            if (nWait == 0) return WAIT_TIMEOUT;
            continue;  // woke before the deadline by the clock's rounding: wait for the rest
        }
        if (errno == EINTR) continue;
        FailWithErrno();
        return WAIT_FAILED;
    }
}

DWORD CNetworkEvent::Wait(LONG nTimeout, HANDLE hAbortEvent) const noexcept {
    if (hAbortEvent == nullptr) return Wait(nTimeout);
    if (m_pSocket == nullptr || !m_pSocket->IsValid()) {
        Fail(WSAENOTSOCK);
        return WAIT_FAILED;
    }
    // The socket's readiness as a waitable object of its own, so that one wait watches it and the event.
    CHandle Readiness(comrt::CreateFdWaitable(m_pSocket->GetHandle(), PollEventsOf(m_nNetworkEvents), false));
    if (Readiness == nullptr) return WAIT_FAILED;
    const HANDLE phObjects[] = {Readiness, hAbortEvent};
    return WaitForMultipleObjects(2, phObjects, FALSE, nTimeout < 0 ? INFINITE : static_cast<DWORD>(nTimeout));
}

bool CSocket::Create() noexcept {
    if (IsValid()) {
        UL_ASSERT(!IsValid());
        Close();
    }
    const SOCKET hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (hSocket < 0) return FailWithErrno();
    m_hSocket = hSocket;
    m_bConnectPending = false;
    return true;
}

bool CSocket::EventSelect(CNetworkEvent& Event, long nNetworkEvents) noexcept {
    if (!IsValid()) return Fail(WSAENOTSOCK);
    if ((nNetworkEvents & ~(FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE)) != 0) return Fail(WSAEINVAL);
    Event.m_pSocket = this;
    Event.m_nNetworkEvents = nNetworkEvents;
    return true;
}

bool CSocket::EnumNetworkEvents(const CNetworkEvent& Event, WSANETWORKEVENTS& NetworkEvents) noexcept {
    if (Event.m_pSocket != this) return Fail(WSAEINVAL);
    if (!IsValid()) return Fail(WSAENOTSOCK);
    std::memset(&NetworkEvents, 0, sizeof NetworkEvents);
    const long nSelected = Event.m_nNetworkEvents;
    const int nReady = PollOnce(m_hSocket, PollEventsOf(nSelected), 0);
    if (nReady < 0) return FailWithErrno();

    if (m_bConnectPending) {
        // Until the connect has ended nothing else can hold; a failed connect records nothing else either.
        if (!(nSelected & FD_CONNECT) || !(nReady & (POLLOUT | POLLERR | POLLHUP))) return true;
        m_bConnectPending = false;
        const int nError = TakeSocketError(m_hSocket);
        NetworkEvents.lNetworkEvents |= FD_CONNECT;
        NetworkEvents.iErrorCode[FD_CONNECT_BIT] = comrt::SocketErrorFromErrno(nError);
        if (nError != 0) return true;
    }
    if ((nSelected & FD_READ) && (nReady & POLLIN)) {
        // POLLIN also stands for the end of the data after a close; FD_READ is only for data.
        int nWaiting = 0;
        if (::ioctl(m_hSocket, FIONREAD, &nWaiting) == 0 && nWaiting > 0) NetworkEvents.lNetworkEvents |= FD_READ;
    }
    if ((nSelected & FD_WRITE) && (nReady & POLLOUT) && !(nReady & POLLERR)) NetworkEvents.lNetworkEvents |= FD_WRITE;
    if ((nSelected & FD_CLOSE) && (nReady & (POLLRDHUP | POLLHUP | POLLERR))) {
        NetworkEvents.lNetworkEvents |= FD_CLOSE;
        const int nError = (nReady & POLLERR) ? TakeSocketError(m_hSocket) : 0;
        NetworkEvents.iErrorCode[FD_CLOSE_BIT] =
            nError != 0 ? comrt::SocketErrorFromErrno(nError) : ((nReady & POLLRDHUP) ? 0 : WSAECONNABORTED);
    }
    return true;
}

bool CSocket::Connect(std::u16string_view sHost, USHORT nPort) noexcept {
    if (!IsValid()) return Fail(WSAENOTSOCK);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(nPort);
    try {
        const std::string sHostText = comrt::ToUtf8(sHost);
        in_addr_t nAddress = ::inet_addr(sHostText.c_str());
        if (nAddress == INADDR_NONE) {
            addrinfo Hints{};
            Hints.ai_family = AF_INET;
            Hints.ai_socktype = SOCK_STREAM;
            addrinfo* pResults = nullptr;
            if (sHostText.empty() || ::getaddrinfo(sHostText.c_str(), nullptr, &Hints, &pResults) != 0)
                return Fail(WSAEADDRNOTAVAIL);
            if (pResults == nullptr || pResults->ai_addr == nullptr || pResults->ai_family != AF_INET) {
                if (pResults != nullptr) ::freeaddrinfo(pResults);
                return Fail(WSAEADDRNOTAVAIL);
            }
            nAddress = reinterpret_cast<const sockaddr_in*>(pResults->ai_addr)->sin_addr.s_addr;
            ::freeaddrinfo(pResults);
        }
        Address.sin_addr.s_addr = nAddress;
    } catch (...) {
        return Fail(WSAENOBUFS);
    }
    if (::connect(m_hSocket, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0) {
        // Connected at once: FD_CONNECT still tells so, as it would after a wait.
        m_bConnectPending = true;
        return true;
    }
    if (errno == EINPROGRESS) m_bConnectPending = true;
    return FailWithErrno();
}

long SendWithoutSignal(SOCKET hSocket, const void* pData, std::size_t nLength) noexcept {
    for (;;) {
        const ssize_t nSent = ::send(hSocket, pData, nLength, MSG_NOSIGNAL);
        if (nSent >= 0 || errno != EINTR) return static_cast<long>(nSent);
    }
}

bool CSocket::Send(const void* pData, std::size_t nLength, std::size_t* pnSent) noexcept {
    if (pnSent == nullptr || (pData == nullptr && nLength != 0)) return Fail(WSAEFAULT);
    *pnSent = 0;
    if (!IsValid()) return Fail(WSAENOTSOCK);
    const long nSent = SendWithoutSignal(m_hSocket, pData, nLength);
    if (nSent < 0) return FailWithErrno();
    *pnSent = static_cast<std::size_t>(nSent);
    return true;
}

bool CSocket::Receive(void* pBuffer, std::size_t nLength, std::size_t* pnReceived) noexcept {
    if (pnReceived == nullptr || (pBuffer == nullptr && nLength != 0)) return Fail(WSAEFAULT);
    *pnReceived = 0;
    if (!IsValid()) return Fail(WSAENOTSOCK);
    for (;;) {
        const ssize_t nReceived = ::recv(m_hSocket, pBuffer, nLength, 0);
        if (nReceived >= 0) {
            *pnReceived = static_cast<std::size_t>(nReceived);
            return true;
        }
        if (errno != EINTR) return FailWithErrno();
    }
}

void CSocket::Close() noexcept {
    if (!IsValid()) return;
    // close is not repeated after EINTR: the descriptor is released either way.
    ::close(m_hSocket);
    m_hSocket = INVALID_SOCKET;
    m_bConnectPending = false;
}

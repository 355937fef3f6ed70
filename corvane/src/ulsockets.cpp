// The socket layer over the runtime's stream sockets (comrt/winsock.h): the socket object keeps whether a
// connect is pending, the network event which socket and events it was bound to.
#include "corvane/ulsockets.h"

#include <atomic>

#include "comrt/winsock.h"
#include "corvane/uldebug.h"
#include "corvane/ulhandle.h"

namespace {

std::atomic<LONG> g_nStartCount{0};

// Sets the socket library code as the thread's last error and answers false, as a failed call does.
bool Fail(LONG nCode) noexcept {
    ::SetLastError(static_cast<DWORD>(nCode));
    return false;
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
    return comrt::WaitForSocketEvents(m_pSocket->GetHandle(), m_nNetworkEvents, nTimeout);
}

DWORD CNetworkEvent::Wait(LONG nTimeout, HANDLE hAbortEvent) const noexcept {
    if (hAbortEvent == nullptr) return Wait(nTimeout);
    if (m_pSocket == nullptr || !m_pSocket->IsValid()) {
        Fail(WSAENOTSOCK);
        return WAIT_FAILED;
    }
    // The socket's readiness as a waitable object of its own, so that one wait watches it and the event.
    CHandle Readiness(comrt::CreateSocketEventWaitable(m_pSocket->GetHandle(), m_nNetworkEvents));
    if (Readiness == nullptr) return WAIT_FAILED;
    const HANDLE phObjects[] = {Readiness, hAbortEvent};
    return WaitForMultipleObjects(2, phObjects, FALSE, nTimeout < 0 ? INFINITE : static_cast<DWORD>(nTimeout));
}

bool CSocket::Create() noexcept {
    if (IsValid()) {
        UL_ASSERT(!IsValid());
        Close();
    }
    const SOCKET hSocket = comrt::OpenStreamSocket();
    if (hSocket == INVALID_SOCKET) return false;
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
    return comrt::EnumSocketNetworkEvents(m_hSocket, Event.m_nNetworkEvents, &m_bConnectPending, &NetworkEvents) !=
           FALSE;
}

bool CSocket::Connect(std::u16string_view sHost, USHORT nPort) noexcept {
    if (!IsValid()) return Fail(WSAENOTSOCK);
    ULONG nAddress = 0;
    if (const LONG nError = comrt::ResolveHostAddress(sHost, &nAddress); nError != 0) return Fail(nError);
    if (comrt::ConnectSocket(m_hSocket, nAddress, nPort) == 0) {
        // Connected at once: FD_CONNECT still tells so, as it would after a wait.
        m_bConnectPending = true;
        return true;
    }
    if (GetLastError() == static_cast<DWORD>(WSAEWOULDBLOCK)) m_bConnectPending = true;
    return false;
}

long SendWithoutSignal(SOCKET hSocket, const void* pData, std::size_t nLength) noexcept {
    return comrt::SendWithoutSignal(hSocket, pData, nLength);
}

bool CSocket::Send(const void* pData, std::size_t nLength, std::size_t* pnSent) noexcept {
    if (pnSent == nullptr || (pData == nullptr && nLength != 0)) return Fail(WSAEFAULT);
    *pnSent = 0;
    if (!IsValid()) return Fail(WSAENOTSOCK);
    const long nSent = comrt::SendSocket(m_hSocket, pData, nLength);
    if (nSent == SOCKET_ERROR) return false;
    *pnSent = static_cast<std::size_t>(nSent);
    return true;
}

bool CSocket::Receive(void* pBuffer, std::size_t nLength, std::size_t* pnReceived) noexcept {
    if (pnReceived == nullptr || (pBuffer == nullptr && nLength != 0)) return Fail(WSAEFAULT);
    *pnReceived = 0;
    if (!IsValid()) return Fail(WSAENOTSOCK);
    const long nReceived = comrt::ReceiveSocket(m_hSocket, pBuffer, nLength);
    if (nReceived == SOCKET_ERROR) return false;
    *pnReceived = static_cast<std::size_t>(nReceived);
    return true;
}

void CSocket::Close() noexcept {
    if (!IsValid()) return;
    comrt::CloseSocket(m_hSocket);
    m_hSocket = INVALID_SOCKET;
    m_bConnectPending = false;
}

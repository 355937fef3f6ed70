// The host resolver and the stream socket calls: how host texts read, and the failures a caller sees.
#include "comrt/winsock.h"

#include <gtest/gtest.h>

#include "comrt/sync.h"
#include "comrt/text.h"

namespace {

constexpr ULONG Address(BYTE a, BYTE b, BYTE c, BYTE d) {
    // Network byte order as it lies in memory, read as a little-endian word.
    return static_cast<ULONG>(a) | static_cast<ULONG>(b) << 8 | static_cast<ULONG>(c) << 16 |
           static_cast<ULONG>(d) << 24;
}

struct CHostCase {
    const char16_t* pszHost;
    LONG nResult;
    ULONG nAddress;
};

TEST(Winsock, HostsResolveToTheirFirstIPv4Address) {
    const CHostCase Table[] = {
        {u"127.0.0.1", 0, Address(127, 0, 0, 1)},       {u"10.20.30.40", 0, Address(10, 20, 30, 40)},
        {u"127.1", 0, Address(127, 0, 0, 1)},  // the short forms inet_addr reads
        {u"localhost", 0, Address(127, 0, 0, 1)},       {u"", WSAEADDRNOTAVAIL, 0},
        {u"no-such-host.invalid", WSAEADDRNOTAVAIL, 0}, {u"256.1.1.1", WSAEADDRNOTAVAIL, 0},
    };
    for (const CHostCase& Case : Table) {
        ULONG nAddress = 0xDEADBEEF;
        EXPECT_EQ(Case.nResult, comrt::ResolveHostAddress(Case.pszHost, &nAddress)) << comrt::ToUtf8(Case.pszHost);
        EXPECT_EQ(Case.nAddress, nAddress) << comrt::ToUtf8(Case.pszHost);
    }
    EXPECT_EQ(WSAEFAULT, comrt::ResolveHostAddress(u"127.0.0.1", nullptr));
}

TEST(Winsock, ClosedDescriptorsGiveNotASocket) {
    const SOCKET hSocket = comrt::OpenStreamSocket();
    ASSERT_NE(INVALID_SOCKET, hSocket);
    ASSERT_EQ(0, comrt::CloseSocket(hSocket));

    char Buffer[4] = {};
    SetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, comrt::SendSocket(hSocket, Buffer, sizeof Buffer));
    EXPECT_EQ(static_cast<DWORD>(WSAENOTSOCK), GetLastError());
    SetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, comrt::ReceiveSocket(hSocket, Buffer, sizeof Buffer));
    EXPECT_EQ(static_cast<DWORD>(WSAENOTSOCK), GetLastError());
    SetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, comrt::CloseSocket(hSocket));
    EXPECT_EQ(static_cast<DWORD>(WSAENOTSOCK), GetLastError());
}

TEST(Winsock, ARefusedConnectEndsAsFdConnectWithItsCode) {
    // Port 1 of loopback: nothing on a test machine listens there.
    const SOCKET hSocket = comrt::OpenStreamSocket();
    ASSERT_NE(INVALID_SOCKET, hSocket);
    const int nConnect = comrt::ConnectSocket(hSocket, Address(127, 0, 0, 1), 1);
    bool bConnectPending = nConnect == SOCKET_ERROR && GetLastError() == static_cast<DWORD>(WSAEWOULDBLOCK);
    if (bConnectPending) {
        ASSERT_EQ(WAIT_OBJECT_0, comrt::WaitForSocketEvents(hSocket, FD_CONNECT | FD_CLOSE, 5000));
        WSANETWORKEVENTS NetworkEvents{};
        ASSERT_TRUE(comrt::EnumSocketNetworkEvents(hSocket, FD_CONNECT | FD_CLOSE, &bConnectPending, &NetworkEvents));
        EXPECT_FALSE(bConnectPending);
        EXPECT_EQ(FD_CONNECT, NetworkEvents.lNetworkEvents);
        EXPECT_EQ(WSAECONNREFUSED, NetworkEvents.iErrorCode[FD_CONNECT_BIT]);
    } else {
        EXPECT_EQ(static_cast<DWORD>(WSAECONNREFUSED), GetLastError());
    }
    comrt::CloseSocket(hSocket);
}

}  // namespace

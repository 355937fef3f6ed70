// The socket layer: the network events a socket records against a peer on the loopback (connect once, read only with
// data, close while data still waits, reset).
#include "corvane/ulsockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "corvane/ulhandle.h"

namespace {

TEST(SocketLibrary, GuardsCountTheirStarts) {
    const LONG nBefore = CWindowsSockets2::GetStartCount();
    {
        CWindowsSockets2 Sockets;
        EXPECT_TRUE(Sockets.IsStarted());
        EXPECT_EQ(CWindowsSockets2::GetStartCount(), nBefore + 1);
    }
    EXPECT_EQ(CWindowsSockets2::GetStartCount(), nBefore);
}

// A client socket connected to a peer accepted on the loopback.
class SocketEvents : public ::testing::Test {
protected:
    void SetUp() override {
        m_hListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nSize = sizeof Address;
        ASSERT_EQ(bind(m_hListen, reinterpret_cast<sockaddr*>(&Address), sizeof Address), 0);
        ASSERT_EQ(listen(m_hListen, 1), 0);
        ASSERT_EQ(getsockname(m_hListen, reinterpret_cast<sockaddr*>(&Address), &nSize), 0);

        ASSERT_TRUE(m_Socket.Create());
        ASSERT_TRUE(m_Socket.EventSelect(m_Event, FD_CONNECT | FD_CLOSE));
        if (!m_Socket.Connect(u"127.0.0.1", ntohs(Address.sin_port))) {
            ASSERT_EQ(GetLastError(), DWORD(WSAEWOULDBLOCK));
        }
        ASSERT_EQ(m_Event.Wait(5000), WAIT_OBJECT_0);
        WSANETWORKEVENTS Events;
        ASSERT_TRUE(m_Socket.EnumNetworkEvents(m_Event, Events));
        ASSERT_EQ(Events.lNetworkEvents, FD_CONNECT);
        ASSERT_EQ(Events.iErrorCode[FD_CONNECT_BIT], 0);
        // The connect is recorded once.
        ASSERT_TRUE(m_Socket.EnumNetworkEvents(m_Event, Events));
        ASSERT_EQ(Events.lNetworkEvents, 0);
        m_hPeer = accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(m_hPeer, 0);
    }
    void TearDown() override {
        if (m_hPeer >= 0) close(m_hPeer);
        if (m_hListen >= 0) close(m_hListen);
    }

    long Events() {
        WSANETWORKEVENTS NetworkEvents;
        EXPECT_TRUE(m_Socket.EnumNetworkEvents(m_Event, NetworkEvents));
        m_nCloseError = NetworkEvents.iErrorCode[FD_CLOSE_BIT];
        return NetworkEvents.lNetworkEvents;
    }

    int m_hListen = -1;
    int m_hPeer = -1;
    CSocketT<true> m_Socket;
    CNetworkEvent m_Event;
    int m_nCloseError = 0;
};

TEST_F(SocketEvents, ReadOnlyWithDataAndCloseWhileDataWaits) {
    ASSERT_TRUE(m_Socket.EventSelect(m_Event, FD_READ | FD_CLOSE));
    EXPECT_EQ(m_Event.Wait(0), WAIT_TIMEOUT);
    EXPECT_EQ(Events(), 0);

    ASSERT_EQ(send(m_hPeer, "x", 1, 0), 1);
    EXPECT_EQ(m_Event.Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(Events(), FD_READ);

    // The peer's close shows at once, before the data that came first has been read.
    ASSERT_EQ(send(m_hPeer, "y", 1, 0), 1);
    ASSERT_EQ(shutdown(m_hPeer, SHUT_WR), 0);
    EXPECT_EQ(m_Event.Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(Events(), FD_READ | FD_CLOSE);
    EXPECT_EQ(m_nCloseError, 0);

    char pBuffer[8];
    std::size_t nReceived = 0;
    ASSERT_TRUE(m_Socket.Receive(pBuffer, sizeof pBuffer, &nReceived));
    EXPECT_EQ(std::string(pBuffer, nReceived), "xy");
    EXPECT_EQ(Events(), FD_CLOSE);
}

TEST_F(SocketEvents, WritableUntilResetByThePeer) {
    ASSERT_TRUE(m_Socket.EventSelect(m_Event, FD_WRITE | FD_CLOSE));
    EXPECT_EQ(m_Event.Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(Events(), FD_WRITE);
    std::size_t nSent = 0;
    ASSERT_TRUE(m_Socket.Send("EHLO\r\n", 6, &nSent));
    EXPECT_EQ(nSent, 6u);

    // A close with unread data (and a zero linger time) resets the connection.
    const linger Linger{1, 0};
    ASSERT_EQ(setsockopt(m_hPeer, SOL_SOCKET, SO_LINGER, &Linger, sizeof Linger), 0);
    close(m_hPeer);
    m_hPeer = -1;
    EXPECT_EQ(m_Event.Wait(5000), WAIT_OBJECT_0);
    EXPECT_TRUE(Events() & FD_CLOSE);
    EXPECT_EQ(m_nCloseError, WSAECONNRESET);
}

TEST_F(SocketEvents, AbortEventEndsAWaitWithoutLimit) {
    ASSERT_TRUE(m_Socket.EventSelect(m_Event, FD_READ | FD_CLOSE));
    const CEvent Abort(true, false);
    EXPECT_EQ(m_Event.Wait(50, Abort), WAIT_TIMEOUT);
    std::thread Setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Abort.Set();
    });
    EXPECT_EQ(m_Event.Wait(-1, Abort), WAIT_OBJECT_0 + 1);
    Setter.join();
    // The socket wins when both hold; the network events are read as after any wait.
    ASSERT_EQ(send(m_hPeer, "x", 1, 0), 1);
    EXPECT_EQ(m_Event.Wait(5000, Abort), WAIT_OBJECT_0);
    EXPECT_EQ(Events(), FD_READ);
    EXPECT_EQ(m_Event.Wait(0, nullptr), WAIT_OBJECT_0);
}

TEST_F(SocketEvents, WaitsWithoutASocketFail) {
    CNetworkEvent Unbound;
    EXPECT_EQ(Unbound.Wait(0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(WSAENOTSOCK));
    m_Socket.Close();
    EXPECT_EQ(m_Event.Wait(1000), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(WSAENOTSOCK));
    std::size_t nSent = 0;
    EXPECT_FALSE(m_Socket.Send("x", 1, &nSent));
    EXPECT_EQ(GetLastError(), DWORD(WSAENOTSOCK));
}

}  // namespace

// ICMP echo: the checks on handles and buffers, an answered echo over both kinds of socket, a loopback that
// stops answering or goes down, and a process that may open no ICMP socket at all. Everything is sent to
// 127.0.0.1 only, of this machine or of a network namespace the test makes.
#include "comrt/icmp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "NetworkNamespace.h"

namespace {

using testing_support::IsNetworkNamespaceChild;
using testing_support::NetworkNamespaceOptions;
using testing_support::RunTestInNetworkNamespace;
using testing_support::SetLoopbackUp;
using testing_support::WriteProcSys;

const IPAddr kLoopback = inet_addr("127.0.0.1");

// The reply buffer the ping activity uses: 1052 bytes, 1024 of them declared.
struct ReplyBuffer {
    alignas(ICMP_ECHO_REPLY) BYTE Bytes[1052];
    const ICMP_ECHO_REPLY& Reply() const { return *reinterpret_cast<const ICMP_ECHO_REPLY*>(Bytes); }
};

class CIcmpHandle {
public:
    CIcmpHandle() : m_h(IcmpCreateFile()), m_nError(m_h == INVALID_HANDLE_VALUE ? GetLastError() : 0) {}
    ~CIcmpHandle() {
        if (m_h != INVALID_HANDLE_VALUE) IcmpCloseHandle(m_h);
    }
    CIcmpHandle(const CIcmpHandle&) = delete;
    CIcmpHandle& operator=(const CIcmpHandle&) = delete;
    HANDLE Get() const { return m_h; }
    DWORD Error() const { return m_nError; }

private:
    HANDLE m_h;
    DWORD m_nError;
};

DWORD Echo(HANDLE h, ReplyBuffer& Buffer, DWORD nTimeout, void* pData = nullptr, WORD nDataSize = 0) {
    IP_OPTION_INFORMATION Options{255, 0, 0, 0, nullptr};
    std::memset(Buffer.Bytes, 0xCC, sizeof Buffer.Bytes);
    return IcmpSendEcho(h, kLoopback, pData, nDataSize, &Options, Buffer.Bytes, 1024, nTimeout);
}

// The checks every namespace case makes of an answered echo, and of one that is not answered.
void ExpectAnswered(HANDLE h) {
    ReplyBuffer Buffer;
    ASSERT_EQ(1u, Echo(h, Buffer, 2000)) << "last error " << GetLastError();
    EXPECT_EQ(IP_SUCCESS, Buffer.Reply().Status);
    EXPECT_EQ(kLoopback, Buffer.Reply().Address);
    EXPECT_EQ(0u, Buffer.Reply().DataSize);
    EXPECT_GT(Buffer.Reply().Options.Ttl, 0u);
}

void ExpectTimedOut(HANDLE h, DWORD nTimeout) {
    ReplyBuffer Buffer;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, Echo(h, Buffer, nTimeout));
    EXPECT_EQ(static_cast<DWORD>(IP_REQ_TIMED_OUT), GetLastError());
    // Bounded by the time-out, and never given up before it.
    EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(nTimeout));
}

// Starts in a namespace whose loopback has never been up.
void ExpectStopsAndResumesAnswering(HANDLE h) {
    // Without a loopback ever brought up the namespace has no route at all: the request cannot be sent.
    ReplyBuffer Buffer;
    EXPECT_EQ(0u, Echo(h, Buffer, 300));
    EXPECT_EQ(static_cast<DWORD>(IP_DEST_NET_UNREACHABLE), GetLastError());

    ASSERT_TRUE(SetLoopbackUp(true));
    ExpectAnswered(h);
    ASSERT_TRUE(WriteProcSys("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1"));
    ExpectTimedOut(h, 300);
    ExpectTimedOut(h, 300);
    ASSERT_TRUE(WriteProcSys("/proc/sys/net/ipv4/icmp_echo_ignore_all", "0"));
    // The late answers to the requests given up on are not taken for this one's.
    ExpectAnswered(h);

    // Taken down again, the loopback keeps its routes and drops what is sent.
    ASSERT_TRUE(SetLoopbackUp(false));
    ExpectTimedOut(h, 300);
    ASSERT_TRUE(SetLoopbackUp(true));
    ExpectAnswered(h);
}

// Plays the router that reports the host unreachable: waits for the next echo request on the loopback and
// sends back a destination-unreachable report that quotes its IP header and first eight bytes. True once sent.
bool ReportNextRequestUnreachable() {
    const int nFd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (nFd < 0) return false;
    const timeval Wait{3, 0};
    setsockopt(nFd, SOL_SOCKET, SO_RCVTIMEO, &Wait, sizeof Wait);
    bool bSent = false;
    BYTE Packet[1500];
    ssize_t nRead;
    while (!bSent && (nRead = recv(nFd, Packet, sizeof Packet, 0)) > 0) {
        const std::size_t nHeader = static_cast<std::size_t>(Packet[0] & 0x0F) * 4;
        if (static_cast<std::size_t>(nRead) < nHeader + 8 || Packet[nHeader] != 8) continue;
        BYTE Report[8 + 60 + 8] = {3, 1};  // destination unreachable: host unreachable
        std::memcpy(Report + 8, Packet, nHeader + 8);
        const std::size_t nSize = 8 + nHeader + 8;
        std::uint32_t nSum = 0;
        for (std::size_t i = 0; i < nSize; i += 2) nSum += static_cast<std::uint32_t>(Report[i] << 8 | Report[i + 1]);
        while (nSum >> 16) nSum = (nSum & 0xFFFF) + (nSum >> 16);
        Report[2] = static_cast<BYTE>(~nSum >> 8);
        Report[3] = static_cast<BYTE>(~nSum);
        sockaddr_in To{};
        To.sin_family = AF_INET;
        To.sin_addr.s_addr = kLoopback;
        bSent = sendto(nFd, Report, nSize, 0, reinterpret_cast<const sockaddr*>(&To), sizeof To) ==
                static_cast<ssize_t>(nSize);
    }
    close(nFd);
    return bSent;
}

// An error report about the request is its answer: one reply carrying the report's state.
void ExpectErrorReportTaken(HANDLE h) {
    ASSERT_TRUE(WriteProcSys("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1"));
    bool bReported = false;
    std::thread Router([&] { bReported = ReportNextRequestUnreachable(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the router listens before the request
    ReplyBuffer Buffer;
    SetLastError(0);
    const DWORD nReplies = Echo(h, Buffer, 3000);
    Router.join();
    ASSERT_TRUE(bReported);
    ASSERT_EQ(1u, nReplies) << "last error " << GetLastError();
    EXPECT_EQ(IP_DEST_HOST_UNREACHABLE, Buffer.Reply().Status);
    EXPECT_EQ(kLoopback, Buffer.Reply().Address);
    EXPECT_EQ(static_cast<DWORD>(IP_DEST_HOST_UNREACHABLE), GetLastError());
    ASSERT_TRUE(WriteProcSys("/proc/sys/net/ipv4/icmp_echo_ignore_all", "0"));
    ExpectAnswered(h);
}

void RunInNamespace(const char* pszTest, const NetworkNamespaceOptions& Options) {
    const auto Result = RunTestInNetworkNamespace(pszTest, Options);
    if (Result.bSkipped) GTEST_SKIP() << Result.sOutput;
    EXPECT_TRUE(Result.bPassed) << Result.sOutput;
}

}  // namespace

TEST(Icmp, HandlesAndBuffersAreChecked) {
    ReplyBuffer Buffer;
    SetLastError(0);
    EXPECT_EQ(0u, IcmpSendEcho(nullptr, kLoopback, nullptr, 0, nullptr, Buffer.Bytes, 1024, 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(0u, IcmpSendEcho(INVALID_HANDLE_VALUE, kLoopback, nullptr, 0, nullptr, Buffer.Bytes, 1024, 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(IcmpCloseHandle(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    const HANDLE h = IcmpCreateFile();
    if (h == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no ICMP socket here, last error " << GetLastError();
    // No buffer, one smaller than a reply, data promised but not given: nothing is sent.
    EXPECT_EQ(0u, IcmpSendEcho(h, kLoopback, nullptr, 0, nullptr, nullptr, 1024, 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(0u, IcmpSendEcho(h, kLoopback, nullptr, 0, nullptr, Buffer.Bytes, sizeof(ICMP_ECHO_REPLY) - 1, 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(0u, IcmpSendEcho(h, kLoopback, nullptr, 4, nullptr, Buffer.Bytes, 1024, 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // Room for the reply and the data, but not for an error report's eight bytes.
    BYTE Data[16] = {};
    EXPECT_EQ(0u, IcmpSendEcho(h, kLoopback, Data, sizeof Data, nullptr, Buffer.Bytes,
                               sizeof(ICMP_ECHO_REPLY) + sizeof Data + 7, 100));
    EXPECT_EQ(static_cast<DWORD>(IP_BUF_TOO_SMALL), GetLastError());
    // Too many IP options.
    BYTE OptionBytes[41] = {};
    IP_OPTION_INFORMATION Options{255, 0, 0, sizeof OptionBytes, OptionBytes};
    EXPECT_EQ(0u, IcmpSendEcho(h, kLoopback, nullptr, 0, &Options, Buffer.Bytes, 1024, 100));
    EXPECT_EQ(static_cast<DWORD>(IP_OPTION_TOO_BIG), GetLastError());

    EXPECT_TRUE(IcmpCloseHandle(h));
    // A closed handle is refused, and not taken for a later one.
    const HANDLE hLater = IcmpCreateFile();
    EXPECT_NE(h, hLater);
    EXPECT_EQ(0u, IcmpSendEcho(h, kLoopback, nullptr, 0, nullptr, Buffer.Bytes, 1024, 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(IcmpCloseHandle(h));
    EXPECT_TRUE(IcmpCloseHandle(hLater));
}

TEST(Icmp, LoopbackAnswersAndEchoesTheData) {
    CIcmpHandle Handle;
    if (Handle.Get() == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no ICMP socket here, last error " << Handle.Error();
    ExpectAnswered(Handle.Get());

    // Data comes back as sent, behind the reply in the caller's buffer.
    BYTE Data[100];
    for (unsigned i = 0; i < sizeof Data; ++i) Data[i] = static_cast<BYTE>(i * 7 + 1);
    ReplyBuffer Buffer;
    ASSERT_EQ(1u, Echo(Handle.Get(), Buffer, 2000, Data, sizeof Data));
    EXPECT_EQ(IP_SUCCESS, Buffer.Reply().Status);
    ASSERT_EQ(sizeof Data, Buffer.Reply().DataSize);
    EXPECT_EQ(static_cast<const void*>(Buffer.Bytes + sizeof(ICMP_ECHO_REPLY)), Buffer.Reply().Data);
    EXPECT_EQ(0, std::memcmp(Data, Buffer.Reply().Data, sizeof Data));

    // Requests in a row each get their own answer.
    for (int i = 0; i < 5; ++i) ExpectAnswered(Handle.Get());
}

TEST(Icmp, DatagramSocketWhereTheKernelAllowsIt) {
    RunInNamespace("Icmp.InNamespace_DatagramSocket", {true, false});
}
TEST(Icmp, InNamespace_DatagramSocket) {
    if (!IsNetworkNamespaceChild()) GTEST_SKIP() << "runs in a network namespace of its own";
    CIcmpHandle Handle;
    ASSERT_NE(INVALID_HANDLE_VALUE, Handle.Get()) << Handle.Error();
    comrt::IcmpSocketKind eKind{};
    ASSERT_TRUE(comrt::GetIcmpSocketKind(Handle.Get(), &eKind));
    EXPECT_EQ(comrt::IcmpSocketKind::Datagram, eKind);
    ExpectStopsAndResumesAnswering(Handle.Get());
    ExpectErrorReportTaken(Handle.Get());
}

TEST(Icmp, RawSocketWhenDatagramSocketsAreNotAllowed) {
    RunInNamespace("Icmp.InNamespace_RawSocket", {false, false});
}
TEST(Icmp, InNamespace_RawSocket) {
    if (!IsNetworkNamespaceChild()) GTEST_SKIP() << "runs in a network namespace of its own";
    CIcmpHandle Handle;
    ASSERT_NE(INVALID_HANDLE_VALUE, Handle.Get()) << Handle.Error();
    comrt::IcmpSocketKind eKind{};
    ASSERT_TRUE(comrt::GetIcmpSocketKind(Handle.Get(), &eKind));
    EXPECT_EQ(comrt::IcmpSocketKind::Raw, eKind);
    ExpectStopsAndResumesAnswering(Handle.Get());
    ExpectErrorReportTaken(Handle.Get());
    // A second raw handle sees the first one's traffic too; each takes only the answers to its own requests.
    CIcmpHandle Other;
    ASSERT_NE(INVALID_HANDLE_VALUE, Other.Get());
    for (int i = 0; i < 3; ++i) {
        ExpectAnswered(Other.Get());
        ExpectAnswered(Handle.Get());
    }
}

TEST(Icmp, NeitherSocketAllowedIsAccessDenied) {
    RunInNamespace("Icmp.InNamespace_NoPermission", {false, true});
}
TEST(Icmp, InNamespace_NoPermission) {
    if (!IsNetworkNamespaceChild()) GTEST_SKIP() << "runs in a network namespace of its own";
    ASSERT_TRUE(SetLoopbackUp(true));
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, IcmpCreateFile());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

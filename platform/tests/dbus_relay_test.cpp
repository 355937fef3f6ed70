// The relay in front of the bus library: the framing of messages on the byte stream (against messages
// written here by hand, in both byte orders) and a relayed sd-bus connection on a private bus, called by
// sd-bus and gdbus clients: ordinary calls, signals and descriptors both ways, and calls on paths longer
// than the relay takes, which get their error at once.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "../src/dbus/DBusFrame.h"
#include "../src/dbus/DBusRelay.h"
#include "DBusTestSupport.h"

using namespace comrt::dbus;
using namespace dbus_test;

namespace {

auto* const g_pBus = ::testing::AddGlobalTestEnvironment(new CPrivateBus);

// A message written field by field, in either byte order.
class CMessageWriter {
public:
    explicit CMessageWriter(bool bLittle, uint8_t nType, uint8_t nFlags, uint32_t nSerial) : m_bLittle(bLittle) {
        m_s = {bLittle ? 'l' : 'B', static_cast<char>(nType), static_cast<char>(nFlags), '\1'};
        U32(0);
        U32(nSerial);
        U32(0);
    }
    void Pad(std::size_t n) {
        while (m_s.size() % n != 0) m_s += '\0';
    }
    void U32(uint32_t n) {
        Pad(4);
        for (int i = 0; i < 4; ++i) m_s += static_cast<char>((n >> (8 * (m_bLittle ? i : 3 - i))) & 0xff);
    }
    void Text(std::string_view s) {
        U32(static_cast<uint32_t>(s.size()));
        m_s.append(s);
        m_s += '\0';
    }
    void Signature(std::string_view s) {
        m_s += static_cast<char>(s.size());
        m_s.append(s);
        m_s += '\0';
    }
    // A header field: its code and the signature of its value; the value is written next.
    void Field(uint8_t nCode, std::string_view sSignature) {
        Pad(8);
        m_s += static_cast<char>(nCode);
        Signature(sSignature);
    }
    void Raw(std::string_view s) { m_s.append(s); }
    // The fields end here; a body of nBody bytes follows.
    std::string Finish(std::size_t nBody) {
        const std::size_t nFields = m_s.size() - kBusHeaderSize;
        std::string s = m_s;
        Patch(s, 12, static_cast<uint32_t>(nFields));
        Patch(s, 4, static_cast<uint32_t>(nBody));
        while (s.size() % 8 != 0) s += '\0';
        return s + std::string(nBody, 'b');
    }

private:
    void Patch(std::string& s, std::size_t nAt, uint32_t n) const {
        for (int i = 0; i < 4; ++i)
            s[nAt + static_cast<std::size_t>(i)] = static_cast<char>((n >> (8 * (m_bLittle ? i : 3 - i))) & 0xff);
    }
    bool m_bLittle;
    std::string m_s;
};

// A call with the fields the relay reads, behind one it does not know whose value nests containers.
std::string SampleCall(bool bLittle, std::size_t nPathLength, std::size_t nBody) {
    CMessageWriter w(bLittle, kBusMethodCall, 0, 77);
    w.Field(20, "a{sv}");  // no field the bus defines: stepped over by its signature
    w.U32(32);             // one entry: the key's 6 bytes, the signature's 6, padding to 16, a byte, padding, 8 bytes
    w.Pad(8);
    w.Text("k");
    w.Signature("(yt)");
    w.Pad(8);
    w.Raw("y");
    w.Pad(8);
    w.Raw(std::string(8, 't'));
    w.Field(1, "o");
    w.Text("/" + std::string(nPathLength - 1, 'p'));
    w.Field(3, "s");
    w.Text("Member");
    w.Field(7, "s");
    w.Text(":1.42");
    w.Field(9, "u");
    w.U32(2);
    return w.Finish(nBody);
}

std::string ViewOf(const std::string& s, std::size_t n) {
    return s.substr(0, n);
}

FrameResult Read(const std::string& s, BusFrame* pFrame) {
    return ReadFrame(reinterpret_cast<const uint8_t*>(s.data()), s.size(), pFrame);
}

TEST(BusFrame, CallsAreFramedAndTheirFieldsReadInBothByteOrders) {
    for (const bool bLittle : {true, false}) {
        const std::string s = SampleCall(bLittle, 70000, 13);
        BusFrame frame;
        ASSERT_EQ(FrameResult::Complete, Read(s + "lnext", &frame)) << bLittle;
        EXPECT_EQ(s.size(), frame.nSize);
        EXPECT_EQ(kBusMethodCall, frame.nType);
        EXPECT_EQ(77u, frame.nSerial);
        EXPECT_EQ(70000u, frame.nPathLength);
        EXPECT_EQ(":1.42", frame.sSender);
        EXPECT_EQ(2u, frame.nUnixFds);
        EXPECT_TRUE(frame.bFieldsRead);
        // Every shorter prefix waits for more.
        for (const std::size_t n : {std::size_t(1), std::size_t(15), std::size_t(16), s.size() / 2, s.size() - 1})
            EXPECT_EQ(FrameResult::Incomplete, Read(ViewOf(s, n), &frame)) << bLittle << " " << n;
    }
}

TEST(BusFrame, BytesThatBeginNoMessageCannotBeFollowed) {
    BusFrame frame;
    CMessageWriter huge(true, kBusMethodCall, 0, 1);
    std::string sHuge = huge.Finish(0);
    sHuge[4] = sHuge[5] = sHuge[6] = '\xff';  // a body of some 16 MiB...
    sHuge[7] = '\x07';                        // ...times 8: over the library's limit
    const struct {
        const char* szName;
        std::string sBytes;
        FrameResult expected;
    } kCases[] = {
        {"nothing", "", FrameResult::Incomplete},
        {"a text line", "OK 1234\r\n", FrameResult::Malformed},
        {"a byte order alone", "l", FrameResult::Incomplete},
        {"over the size limit", sHuge, FrameResult::Malformed},
    };
    for (const auto& Case : kCases) EXPECT_EQ(Case.expected, Read(Case.sBytes, &frame)) << Case.szName;
}

TEST(BusFrame, AFieldThatCannotBeReadStillFramesTheMessage) {
    const struct {
        const char* szName;
        const char* szSignature;
        uint32_t nValue;
    } kCases[] = {
        {"an unknown type", "z", 0},
        {"two types in one variant", "uu", 0},
        {"an unclosed structure", "(u", 0},
        {"a string longer than the fields", "s", 1000},
        {"an array longer than the fields", "ay", 1000},
    };
    for (const auto& Case : kCases) {
        CMessageWriter w(true, kBusMethodCall, 0, 5);
        w.Field(30, Case.szSignature);
        w.U32(Case.nValue);
        w.Field(1, "o");
        w.Text("/a");
        const std::string s = w.Finish(3);
        BusFrame frame;
        ASSERT_EQ(FrameResult::Complete, Read(s, &frame)) << Case.szName;
        EXPECT_EQ(s.size(), frame.nSize) << Case.szName;
        EXPECT_FALSE(frame.bFieldsRead) << Case.szName;
    }
}

TEST(BusFrame, TheErrorReplyIsAMessageThatAnswersTheCall) {
    BusFrame call;
    ASSERT_EQ(FrameResult::Complete, Read(SampleCall(false, 10, 0), &call));
    const std::string sReply = MakeErrorReply(call, 0x80000001u, "Corvane.Error.X", OverlongPathText(70000, 4096));
    BusFrame reply;
    ASSERT_EQ(FrameResult::Complete, Read(sReply, &reply));
    EXPECT_EQ(sReply.size(), reply.nSize);
    EXPECT_EQ(kBusMethodError, reply.nType);
    EXPECT_EQ(0x80000001u, reply.nSerial);
    EXPECT_TRUE(reply.bFieldsRead);
    EXPECT_NE(std::string::npos, sReply.find(":1.42"));  // its destination: the caller
    EXPECT_NE(std::string::npos, sReply.find("The object path is 70000 bytes long; paths are at most 4096 bytes."));
}

// An sd-bus connection that answers calls on every path, on a thread of its own, with or without a relay in
// front of it.
class CRelayedServer {
public:
    explicit CRelayedServer(bool bRelay) {
        if (sd_bus_open_user(&m_pBus) < 0 || sd_bus_add_fallback(m_pBus, nullptr, "/", &OnCall, this) < 0 ||
            sd_bus_add_match(m_pBus, nullptr, "type='signal',interface='t.Relay'", &OnSignal, this) < 0)
            return;
        sd_bus_get_unique_name(m_pBus, &m_szName);
        if (bRelay) {
            // Between two messages, as the bridge makes sure before it puts its relay in.
            sd_bus_message* pReply = nullptr;
            if (sd_bus_call_method(m_pBus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "GetId", nullptr, &pReply, "") < 0)
                return;
            sd_bus_message_unref(pReply);
            m_pRelay = CBusRelay::Insert(sd_bus_get_fd(m_pBus), 4096, "t.Error.TooLong");
            if (!m_pRelay) return;
        }
        m_Thread = std::thread([this] {
            while (!m_bStop) {
                const int r = sd_bus_process(m_pBus, nullptr);
                if (r < 0) {
                    m_bBroken = true;
                    break;
                }
                if (r == 0) sd_bus_wait(m_pBus, 20000);
            }
        });
    }
    ~CRelayedServer() {
        m_bStop = true;
        if (m_Thread.joinable()) m_Thread.join();
        sd_bus_flush_close_unref(m_pBus);
        m_pRelay.reset();
    }
    bool Running() const { return m_Thread.joinable(); }
    // The connection failed under the library.
    bool Broken() const { return m_bBroken.load(); }
    const char* Name() const { return m_szName; }
    int Signals() const { return m_nSignals.load(); }
    CBusRelay* Relay() const { return m_pRelay.get(); }

private:
    // Echo(s) -> s; ReadFd(h) -> s, what the descriptor reads; GiveFd() -> h, a pipe that reads "back".
    static int OnCall(sd_bus_message* pCall, void*, sd_bus_error*) {
        if (sd_bus_message_is_method_call(pCall, "t.Relay", "Echo")) {
            const char* sz = nullptr;
            if (sd_bus_message_read(pCall, "s", &sz) < 0) return -EINVAL;
            return sd_bus_reply_method_return(pCall, "s", sz);
        }
        if (sd_bus_message_is_method_call(pCall, "t.Relay", "ReadFd")) {
            int nFd = -1;
            if (sd_bus_message_read(pCall, "h", &nFd) < 0) return -EINVAL;
            char sz[64] = {};
            const ssize_t n = read(nFd, sz, sizeof sz - 1);
            return sd_bus_reply_method_return(pCall, "s", n > 0 ? sz : "");
        }
        if (sd_bus_message_is_method_call(pCall, "t.Relay", "GiveFd")) {
            int pipe[2];
            if (pipe2(pipe, O_CLOEXEC) < 0 || write(pipe[1], "back", 4) != 4) return -EIO;
            const int r = sd_bus_reply_method_return(pCall, "h", pipe[0]);
            close(pipe[0]);
            close(pipe[1]);
            return r;
        }
        return 0;
    }
    static int OnSignal(sd_bus_message*, void* pUserData, sd_bus_error*) {
        ++static_cast<CRelayedServer*>(pUserData)->m_nSignals;
        return 0;
    }

    sd_bus* m_pBus = nullptr;
    const char* m_szName = nullptr;
    std::unique_ptr<CBusRelay> m_pRelay;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bBroken{false};
    std::atomic<int> m_nSignals{0};
    std::thread m_Thread;
};

class BusRelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Server.Running());
        ASSERT_GE(sd_bus_open_user(&m_pClient), 0);
    }
    void TearDown() override { sd_bus_flush_close_unref(m_pClient); }

    std::string Echo(const char* szPath, const char* szText) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* pReply = nullptr;
        std::string sResult;
        const char* sz = nullptr;
        if (sd_bus_call_method(m_pClient, m_Server.Name(), szPath, "t.Relay", "Echo", &error, &pReply, "s", szText) >=
                0 &&
            sd_bus_message_read(pReply, "s", &sz) >= 0)
            sResult = sz;
        else
            sResult = std::string("error ") + (error.name ? error.name : "?");
        sd_bus_error_free(&error);
        sd_bus_message_unref(pReply);
        return sResult;
    }
    // gdbus, whose library sends paths of any length.
    std::string CallWithGdbus(const std::string& sPath, std::chrono::steady_clock::duration* pElapsed) {
        const auto start = std::chrono::steady_clock::now();
        const std::string sOut =
            RunCommand({"gdbus", "call", "--address", CPrivateBus::Address(), "--timeout", "5", "--dest",
                        m_Server.Name(), "--object-path", sPath, "--method", "t.Relay.Echo", "hello"});
        *pElapsed = std::chrono::steady_clock::now() - start;
        return sOut;
    }

    CRelayedServer m_Server{true};
    sd_bus* m_pClient = nullptr;
};

TEST_F(BusRelayTest, CallsOnPathsLongerThanTheLimitGetTheirErrorAtOnce) {
    const struct {
        std::size_t nLength;
        const char* szAnswer;
        bool bRefused;
    } kCases[] = {
        {8, "('hello',)", false},
        {4096, "('hello',)", false},
        {4097, "t.Error.TooLong: The object path is 4097 bytes long; paths are at most 4096 bytes.", true},
        {65536, "The object path is 65536 bytes long", true},
        // Longer than the bus library takes: without the relay, no answer until the client's time-out.
        {70000, "The object path is 70000 bytes long", true},
        {130000, "The object path is 130000 bytes long", true},  // near the longest argument a program takes
    };
    for (const auto& Case : kCases) {
        std::string sPath;
        while (sPath.size() + 2 <= Case.nLength) sPath += "/x";
        if (sPath.size() < Case.nLength) sPath += "/";
        if (sPath.back() == '/') sPath.back() = 'y';
        ASSERT_EQ(Case.nLength, sPath.size());
        std::chrono::steady_clock::duration elapsed{};
        const std::size_t nRefusedBefore = m_Server.Relay()->RefusedCount();
        const std::string sOut = CallWithGdbus(sPath, &elapsed);
        EXPECT_NE(std::string::npos, sOut.find(Case.szAnswer)) << Case.nLength << ": " << sOut.substr(0, 300);
        EXPECT_LT(elapsed, std::chrono::seconds(1)) << Case.nLength;
        // gdbus introspects the object before its call: both are refused, or neither.
        EXPECT_EQ(Case.bRefused ? 2u : 0u, m_Server.Relay()->RefusedCount() - nRefusedBefore) << Case.nLength;
    }
    // The stream goes on in step.
    EXPECT_EQ("again", Echo("/after", "again"));
}

TEST_F(BusRelayTest, OrdinaryCallsAndSignalsPassBothWays) {
    for (int i = 0; i < 200; ++i) ASSERT_EQ(std::to_string(i), Echo("/a/b", std::to_string(i).c_str()));
    // A reply of 1 MiB comes back whole, in pieces as the sockets take them.
    const std::string sLarge(1024 * 1024, 'z');
    EXPECT_EQ(sLarge, Echo("/large", sLarge.c_str()));
    for (int i = 0; i < 3; ++i) ASSERT_GE(sd_bus_emit_signal(m_pClient, "/sig", "t.Relay", "Tick", "i", i), 0);
    ASSERT_GE(sd_bus_flush(m_pClient), 0);
    // The match of the server sees them: a call answered afterwards comes after them on the same stream.
    EXPECT_EQ("done", Echo("/a", "done"));
    EXPECT_EQ(3, m_Server.Signals());
    EXPECT_EQ(0u, m_Server.Relay()->RefusedCount());
}

// The descriptors this process holds (the relay's and the server's among them).
std::size_t OpenDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST_F(BusRelayTest, DescriptorsTravelWithTheirMessagesBothWays) {
    const std::size_t nOpen = OpenDescriptors();
    for (int i = 0; i < 5; ++i) {
        int pipe[2];
        ASSERT_EQ(0, pipe2(pipe, O_CLOEXEC));
        const std::string sText = "text " + std::to_string(i);
        ASSERT_EQ(static_cast<ssize_t>(sText.size()), write(pipe[1], sText.data(), sText.size()));
        close(pipe[1]);
        sd_bus_message* pReply = nullptr;
        const char* sz = nullptr;
        ASSERT_GE(
            sd_bus_call_method(m_pClient, m_Server.Name(), "/fd", "t.Relay", "ReadFd", nullptr, &pReply, "h", pipe[0]),
            0);
        close(pipe[0]);
        ASSERT_GE(sd_bus_message_read(pReply, "s", &sz), 0);
        EXPECT_EQ(sText, sz);
        sd_bus_message_unref(pReply);
        // A call without one in between keeps the descriptors in step with their messages.
        EXPECT_EQ("plain", Echo("/fd", "plain"));
    }
    sd_bus_message* pReply = nullptr;
    int nFd = -1;
    ASSERT_GE(sd_bus_call_method(m_pClient, m_Server.Name(), "/fd", "t.Relay", "GiveFd", nullptr, &pReply, ""), 0);
    ASSERT_GE(sd_bus_message_read(pReply, "h", &nFd), 0);
    char sz[8] = {};
    EXPECT_EQ(4, read(nFd, sz, sizeof sz - 1));
    EXPECT_STREQ("back", sz);
    sd_bus_message_unref(pReply);
    // The relay keeps none of the descriptors it carried. The server's thread closes the last one it received
    // when it lets the call go, which may come after its reply has reached this thread.
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (OpenDescriptors() != nOpen && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(nOpen, OpenDescriptors());
}

TEST(BusRelay, TheRelayEndsWithTheConnectionAndTheLibrarySeesTheBusGo) {
    // Ends with its connection (the destructor would wait for ever otherwise).
    { CRelayedServer server(true); }
    // A bus that closes the connection: the relayed library sees the end of its socket and fails calls.
    const std::string sAddress = CPrivateBus::Address();
    CChildProcess daemon =
        CChildProcess::Start({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, true);
    std::string sOwnAddress;
    ASSERT_TRUE(daemon.ReadLine(&sOwnAddress));
    setenv("DBUS_SESSION_BUS_ADDRESS", sOwnAddress.c_str(), 1);
    {
        CRelayedServer server(true);
        setenv("DBUS_SESSION_BUS_ADDRESS", sAddress.c_str(), 1);
        ASSERT_TRUE(server.Running());
        kill(daemon.nPid, SIGTERM);
        daemon.Wait();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!server.Broken() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(server.Broken());
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", sAddress.c_str(), 1);
}

}  // namespace

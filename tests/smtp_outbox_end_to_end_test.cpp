// The e-mail outbox end to end, with the server program, harkwellctl and a real SMTP server on the loopback:
// mail the server could not deliver before it stopped arrives after its next start, exactly once each; a
// server killed around a delivery sends that message once more exactly when the SMTP server had not yet answered.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CtlServerTest.h"
#include "SmtpTestServer.h"
#include "corvane/ulregistry.h"

using testing_support::CSmtpTestServer;
using testing_support::CTemporaryDirectory;

namespace {

using namespace std::chrono_literals;

class SmtpOutboxEndToEnd : public testing_support::CCtlServerTest {
protected:
    void SetUp() override {
        testing_support::CCtlServerTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "Node.js is not installed";
        m_Watched = m_Files.Path() / "incoming";
        std::filesystem::create_directory(m_Watched);
    }

    // A scenario that mails every file dropped into the watched folder to the port, retrying every 2 s.
    void CreateScenario(unsigned short nPort) {
        const auto Result = Ctl({"create",
                                 "--activity",
                                 "CFileSystemCheckActivity.CFileSystemC.1",
                                 "--set",
                                 "DirectoryPath=" + m_Watched.string(),
                                 "--set",
                                 "FileNameExpression=\\.drop$",
                                 "--set",
                                 "MinimalPollInterval=0",
                                 "--notification",
                                 "CSmtpNotification.CSmtpNotification.1",
                                 "--set",
                                 "ServerHost=127.0.0.1",
                                 "--set",
                                 "ServerPort=" + std::to_string(nPort),
                                 "--set",
                                 "Sender=harkwell@localhost",
                                 "--set",
                                 "ToRecipients=ops@localhost",
                                 "--set",
                                 "Timeout=10000",
                                 "--set",
                                 "RetryIntervals=2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2"});
        ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    }
    // Written under another name and renamed, so that one look sees the whole file.
    void Drop(const std::string& sName) {
        std::ofstream(m_Watched / (sName + ".part")) << sName;
        std::filesystem::rename(m_Watched / (sName + ".part"), m_Watched / (sName + ".drop"));
    }
    // Removed while the server is stopped: its first look after the start then has nothing to report.
    void RemoveDropped() {
        for (const auto& Entry : std::filesystem::directory_iterator(m_Watched)) std::filesystem::remove(Entry);
    }

    // The messages all outboxes of the store hold.
    static std::size_t OutboxCount() {
        CRegKey Outbox;
        if (Outbox.Open(HKEY_CURRENT_USER, u"SOFTWARE\\Corvane\\Harkwell\\Outbox", KEY_READ) != ERROR_SUCCESS) return 0;
        std::size_t nCount = 0;
        std::u16string sName;
        for (DWORD i = 0; Outbox.EnumKey(i, sName) == ERROR_SUCCESS; ++i) {
            CRegKey Key;
            DWORD nValues = 0;
            if (Key.Open(Outbox, sName, KEY_READ) == ERROR_SUCCESS &&
                RegQueryInfoKeyW(Key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nValues, nullptr, nullptr,
                                 nullptr, nullptr) == ERROR_SUCCESS)
                nCount += nValues;
        }
        return nCount;
    }
    static bool WaitForOutboxCount(std::size_t nCount) {
        const auto Deadline = std::chrono::steady_clock::now() + 20s;
        while (OutboxCount() != nCount) {
            if (std::chrono::steady_clock::now() > Deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    CTemporaryDirectory m_Files;
    std::filesystem::path m_Watched;
};

std::string HeaderLine(const std::string& sMessage, const std::string& sName) {
    const std::size_t nStart = sMessage.find("\r\n" + sName + ": ");
    if (nStart == std::string::npos) return "<none>";
    const std::size_t nValue = nStart + 4 + sName.size();
    return sMessage.substr(nValue, sMessage.find("\r\n", nValue) - nValue);
}

// A loopback port nobody listens at.
unsigned short FreePort() {
    const int hSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nSize = sizeof Address;
    unsigned short nPort = 0;
    if (bind(hSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0 &&
        getsockname(hSocket, reinterpret_cast<sockaddr*>(&Address), &nSize) == 0)
        nPort = ntohs(Address.sin_port);
    close(hSocket);
    return nPort;
}

}  // namespace

TEST_F(SmtpOutboxEndToEnd, MailQueuedAtTheStopArrivesAfterTheNextStart) {
    const unsigned short nPort = FreePort();
    ASSERT_NE(nPort, 0);
    StartServer();
    CreateScenario(nPort);
    // Nobody listens at the port: every attempt is refused, and the messages wait in the outbox.
    for (std::size_t n = 1; n <= 3; ++n) {
        Drop("file" + std::to_string(n));
        ASSERT_TRUE(WaitForOutboxCount(n)) << OutboxCount();
    }
    StopServer();
    EXPECT_EQ(3u, OutboxCount());
    RemoveDropped();

    CSmtpTestServer Smtp;
    ASSERT_TRUE(Smtp.Start(nPort)) << Smtp.GetError();
    StartServer();
    ASSERT_TRUE(Smtp.WaitForMessageCount(3, 30s));
    // Nothing more comes: each message once.
    std::this_thread::sleep_for(3s);
    const auto Messages = Smtp.GetMessages();
    EXPECT_EQ(3u, Messages.size());
    // Three messages, not one message three times.
    std::set<std::string> MessageIds;
    for (const auto& Message : Messages) MessageIds.insert(HeaderLine("\r\n" + Message.sData, "Message-ID"));
    EXPECT_EQ(3u, MessageIds.size());
    EXPECT_TRUE(WaitForOutboxCount(0));
}

// A server killed around a delivery: the store tells whether it completed the delivery before it died, and the
// message is sent again exactly when its value is still there.
struct CKillCase {
    const char* pszName;
    bool bKillBeforeTheReply;  // the SMTP server has stored the message and holds its reply: the outbox keeps it
    std::size_t nMessagesAtTheEnd;
};

TEST_F(SmtpOutboxEndToEnd, KilledAroundADeliveryAtMostOnceMore) {
    for (const CKillCase& Case : {CKillCase{"after the reply", false, 1}, CKillCase{"before the reply", true, 2}}) {
        SCOPED_TRACE(Case.pszName);
        CSmtpTestServer Smtp;
        const std::vector<std::string> Options =
            Case.bKillBeforeTheReply ? std::vector<std::string>{"--reply-delay", "2000"} : std::vector<std::string>{};
        ASSERT_TRUE(Smtp.Start(0, Options)) << Smtp.GetError();
        StartServer();
        CreateScenario(Smtp.GetPort());
        // A killed server keeps only the scenarios it stored, and an outbox is read back by the stored
        // notification whose identity names it.
        const auto Save = Ctl({"save"});
        ASSERT_EQ(0, Save.nExitCode) << Save.sOutput;
        // The outbox's name is the notification's own: no client moves it.
        const auto Set = Ctl({"set", "0", "notification:0", "Identity={0CDDC755-6571-42AF-88DA-C96B9833F959}"});
        EXPECT_NE(0, Set.nExitCode);
        EXPECT_NE(std::string::npos, Set.sOutput.find("0x80070005")) << Set.sOutput;
        Drop("killed");
        ASSERT_TRUE(Smtp.WaitForMessageCount(1, 30s));
        if (!Case.bKillBeforeTheReply) {
            ASSERT_TRUE(WaitForOutboxCount(0)) << OutboxCount();
        }
        ASSERT_EQ(0, kill(m_nServer, SIGKILL));
        waitpid(m_nServer, nullptr, 0);
        m_nServer = -1;
        EXPECT_EQ(Case.nMessagesAtTheEnd - 1, OutboxCount());
        RemoveDropped();

        StartServer();
        EXPECT_TRUE(Smtp.WaitForMessageCount(Case.nMessagesAtTheEnd, 30s));
        EXPECT_TRUE(WaitForOutboxCount(0)) << OutboxCount();
        std::this_thread::sleep_for(3s);
        EXPECT_EQ(Case.nMessagesAtTheEnd, Smtp.GetMessages().size());
        // The next case starts from an empty store.
        const auto Remove = Ctl({"delete", "0"});
        EXPECT_EQ(0, Remove.nExitCode) << Remove.sOutput;
        StopServer();
    }
}

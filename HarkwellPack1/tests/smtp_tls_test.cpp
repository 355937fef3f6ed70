// TLS of the SMTP client: every security mode against a real SMTP server with certificates of a test CA
// (valid, for another name, expired, self-signed), with and without the certificate check; authentication
// inside TLS; and peers that break the STARTTLS exchange or the handshake.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../../corvane/tests/tracelog.h"
#include "FixedActivityEvent.h"
#include "ScriptedSmtpServer.h"
#include "SmtpClientConnection.h"
#include "SmtpNotification.h"
#include "SmtpTestServer.h"
#include "TlsTestCertificates.h"
#include "comrt/oleauto.h"
#include "corvane/ulhandle.h"

namespace {

using namespace scripted_smtp;
using testing_support::CSmtpTestServer;
using testing_support::CTlsTestCertificates;
using Lines = std::vector<std::string>;

constexpr HRESULT E_TIMED_OUT = HRESULT_FROM_WIN32(WSAETIMEDOUT);
constexpr HRESULT E_CONNECTION_CLOSED = HRESULT_FROM_WIN32(WSAECONNRESET);
const std::string MESSAGE = "Subject: tls\r\n\r\nbody\r\n";

TEST(SmtpExtensions, KeywordsAreTheFirstWordOfTheLinesAfterTheFirst) {
    const std::pair<const char*, bool> Cases[] = {
        {"mail.example.org\r\nSIZE 1000\r\nSTARTTLS", true},
        {"mail.example.org\r\nstarttls\r\nAUTH LOGIN", true},
        {"mail.example.org\r\nSTARTTLS now", true},
        {"STARTTLS", false},                           // the first line names the server
        {"mail.example.org\r\nX-STARTTLS", false},     // another keyword
        {"mail.example.org\r\nSTARTTLSX", false},      // longer
        {"mail.example.org\r\nAUTH STARTTLS", false},  // a parameter, not a keyword
        {"", false},
    };
    for (const auto& [pszText, bListed] : Cases)
        EXPECT_EQ(SmtpReplyListsExtension(pszText, "STARTTLS"), bListed) << pszText;
}

TEST(SmtpTraceText, ReplyTextIsOneBoundedLine) {
    EXPECT_EQ(MakeSmtpTraceText("first\r\nsecond"), "first / second");
    EXPECT_EQ(MakeSmtpTraceText(std::string("a\tb\nc\x7f", 6)), "a?b?c?");
    const std::string sLong = MakeSmtpTraceText(std::string(1000, 'x'));
    EXPECT_EQ(sLong, std::string(300, 'x') + "...");
    EXPECT_EQ(MakeSmtpTraceText(std::string(300, 'x')), std::string(300, 'x'));
}

// The test CA is the only trust anchor while a test runs.
class SmtpTls : public tracelog::CTraceTest {
protected:
    static void SetUpTestSuite() { s_pCertificates = new CTlsTestCertificates; }
    static void TearDownTestSuite() {
        delete s_pCertificates;
        s_pCertificates = nullptr;
    }
    void SetUp() override {
        tracelog::CTraceTest::SetUp();
        ASSERT_TRUE(s_pCertificates->IsValid()) << s_pCertificates->GetError();
        setenv("SSL_CERT_FILE", s_pCertificates->GetCaFile().c_str(), 1);
        setenv("SSL_CERT_DIR", s_pCertificates->GetCaFile().parent_path().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("SSL_CERT_FILE");
        unsetenv("SSL_CERT_DIR");
        tracelog::CTraceTest::TearDown();
    }

    // Starts Server with STARTTLS (bImplicit false) or TLS from the connect on, with the certificate nKind.
    static bool StartServer(CSmtpTestServer& Server, CTlsTestCertificates::KIND nKind, bool bImplicit,
                            std::vector<std::string> Arguments = {}) {
        Arguments.insert(Arguments.end(), {bImplicit ? "--tls" : "--starttls", "--cert",
                                           s_pCertificates->GetCertificateFile(nKind).string(), "--key",
                                           s_pCertificates->GetKeyFile().string()});
        return Server.Start(0, Arguments);
    }

    static CSmtpSettings MakeSettings(const char16_t* pszHost, USHORT nPort, LONG nSecurity, bool bVerify) {
        CSmtpSettings Settings;
        Settings.m_sServerHost = pszHost;
        Settings.m_nServerPort = nPort;
        Settings.m_sSender = u"monitor@example.org";
        Settings.m_sToRecipients = u"ops@example.org";
        Settings.m_nTimeout = 5000;
        Settings.m_nSecurity = nSecurity;
        Settings.m_bVerifyServerCertificate = bVerify;
        return Settings;
    }

    static CTlsTestCertificates* s_pCertificates;
};

CTlsTestCertificates* SmtpTls::s_pCertificates = nullptr;

// What the verification of each certificate says when it fails (for the host name localhost).
const char* const VERIFY_TEXTS[CTlsTestCertificates::KIND_COUNT] = {"", "hostname mismatch", "certificate has expired",
                                                                    "self-signed certificate"};

TEST_F(SmtpTls, EveryModeWithEveryCertificateGivesItsOutcome) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    for (int nKind = 0; nKind < CTlsTestCertificates::KIND_COUNT; ++nKind) {
        const auto Kind = static_cast<CTlsTestCertificates::KIND>(nKind);
        CSmtpTestServer StartTlsServer, TlsServer;
        ASSERT_TRUE(StartServer(StartTlsServer, Kind, false)) << StartTlsServer.GetError();
        ASSERT_TRUE(StartServer(TlsServer, Kind, true)) << TlsServer.GetError();
        std::size_t nStartTlsMessages = 0, nTlsMessages = 0;
        for (LONG nSecurity = SMTPSECURITY_NONE; nSecurity <= SMTPSECURITY_TLS; ++nSecurity) {
            for (const bool bVerify : {true, false}) {
                const std::string sCase = std::string(CTlsTestCertificates::KIND_NAMES[nKind]) + ", security " +
                                          std::to_string(nSecurity) + ", verify " + (bVerify ? "on" : "off");
                CSmtpTestServer& Server = nSecurity == SMTPSECURITY_TLS ? TlsServer : StartTlsServer;
                std::size_t& nMessages = nSecurity == SMTPSECURITY_TLS ? nTlsMessages : nStartTlsMessages;
                corvane::ResetTraceLog();
                std::filesystem::remove(LogPath());

                CSmtpClientConnection Connection;
                Connection.Deliver(MakeSettings(u"localhost", Server.GetPort(), nSecurity, bVerify), MESSAGE);

                // Modes 0 and 1 always deliver; the required modes only with a certificate that passes or
                // without the check.
                const bool bGood = Kind == CTlsTestCertificates::VALID;
                const bool bDelivered = nSecurity <= SMTPSECURITY_STARTTLS || bGood || !bVerify;
                EXPECT_EQ(SUCCEEDED(Connection.GetLastResult()), bDelivered) << sCase << "\n" << ReadLog();
                const std::string sLog = ReadLog();
                if (!bDelivered) {
                    EXPECT_EQ(Connection.GetLastResult(), E_SMTP_CERTIFICATE) << sCase;
                    EXPECT_NE(sLog.find("failed at TLS handshake: the server's certificate failed its check: " +
                                        std::string(VERIFY_TEXTS[nKind])),
                              std::string::npos)
                        << sCase << "\n"
                        << sLog;
                    continue;
                }
                ++nMessages;
                ASSERT_TRUE(Server.WaitForMessageCount(nMessages)) << sCase;
                const auto Received = Server.GetMessages();
                ASSERT_EQ(Received.size(), nMessages) << sCase;
                EXPECT_EQ(Received.back().bSecure, nSecurity != SMTPSECURITY_NONE) << sCase;
                EXPECT_EQ(Received.back().sData, MESSAGE) << sCase;
                // STARTTLS when offered goes on encrypted past a failed check, and says so.
                const bool bNoted = nSecurity == SMTPSECURITY_STARTTLS && bVerify && !bGood;
                EXPECT_EQ(
                    sLog.find("The certificate of localhost failed its check (" + std::string(VERIFY_TEXTS[nKind]) +
                              "): the delivery goes on encrypted") != std::string::npos,
                    bNoted)
                    << sCase << "\n"
                    << sLog;
                EXPECT_EQ(sLog.find("Exception 0x"), std::string::npos) << sCase << "\n" << sLog;
            }
        }
        // Nothing arrived from a delivery that failed.
        EXPECT_EQ(StartTlsServer.GetMessages().size(), nStartTlsMessages);
        EXPECT_EQ(TlsServer.GetMessages().size(), nTlsMessages);
    }
}

TEST_F(SmtpTls, AddressIsCheckedAgainstTheCertificateAddresses) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    for (const auto& [Kind, bDelivered] :
         {std::pair{CTlsTestCertificates::VALID, true}, std::pair{CTlsTestCertificates::OTHER_NAME, false}}) {
        CSmtpTestServer Server;
        ASSERT_TRUE(StartServer(Server, Kind, true)) << Server.GetError();
        CSmtpClientConnection Connection;
        Connection.Deliver(MakeSettings(u"127.0.0.1", Server.GetPort(), SMTPSECURITY_TLS, true), MESSAGE);
        EXPECT_EQ(SUCCEEDED(Connection.GetLastResult()), bDelivered) << ReadLog();
        if (!bDelivered) {
            EXPECT_NE(Connection.GetLastFailure().find("IP address mismatch"), std::string::npos)
                << Connection.GetLastFailure();
        }
    }
}

// The sessions share their trust anchors, read again when the store changes: another file named, or the
// named file rewritten, counts at the next delivery.
TEST_F(SmtpTls, ChangedTrustStoreCountsAtTheNextDelivery) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    CSmtpTestServer Server;
    ASSERT_TRUE(StartServer(Server, CTlsTestCertificates::VALID, false)) << Server.GetError();
    testing_support::CTemporaryDirectory Folder;
    const std::filesystem::path TrustFile = Folder.Path() / "trust.pem";
    setenv("SSL_CERT_DIR", Folder.Path().c_str(), 1);
    const std::string sAuthority = testing_support::ReadFile(s_pCertificates->GetCaFile());
    const std::string sStranger =
        testing_support::ReadFile(s_pCertificates->GetCertificateFile(CTlsTestCertificates::SELF_SIGNED));
    // What the trust file holds (empty: left as it is), which file is named, and whether the delivery passes.
    const struct {
        const std::string* psContent;
        std::filesystem::path Named;
        bool bDelivered;
    } Steps[] = {
        {&sAuthority, TrustFile, true}, {&sStranger, TrustFile, false}, {nullptr, s_pCertificates->GetCaFile(), true},
        {nullptr, TrustFile, false},    {&sAuthority, TrustFile, true},
    };
    int nStep = 0;
    for (const auto& Step : Steps) {
        if (Step.psContent != nullptr) std::ofstream(TrustFile, std::ios::trunc) << *Step.psContent;
        setenv("SSL_CERT_FILE", Step.Named.c_str(), 1);
        CSmtpClientConnection Connection;
        Connection.Deliver(MakeSettings(u"localhost", Server.GetPort(), SMTPSECURITY_STARTTLS_REQUIRED, true), MESSAGE);
        EXPECT_EQ(Connection.GetLastResult(), Step.bDelivered ? S_OK : E_SMTP_CERTIFICATE)
            << "step " << nStep << ": " << Connection.GetLastFailure();
        ++nStep;
    }
}

TEST_F(SmtpTls, SessionsAreResumedOnlyWithTheCheckTheyWereMadeWith) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    CSmtpTestServer Good, Stranger;
    ASSERT_TRUE(StartServer(Good, CTlsTestCertificates::VALID, false)) << Good.GetError();
    ASSERT_TRUE(StartServer(Stranger, CTlsTestCertificates::SELF_SIGNED, false)) << Stranger.GetError();
    // In order: the server, the mode, the check, whether it is delivered, whether the session is resumed.
    const struct {
        CSmtpTestServer* pServer;
        LONG nSecurity;
        bool bVerify, bDelivered, bResumed;
    } Steps[] = {
        {&Good, SMTPSECURITY_STARTTLS_REQUIRED, true, true, false},
        {&Good, SMTPSECURITY_STARTTLS_REQUIRED, true, true, true},
        {&Good, SMTPSECURITY_STARTTLS_REQUIRED, true, true, true},
        // Another check is another session.
        {&Good, SMTPSECURITY_STARTTLS_REQUIRED, false, true, false},
        // The failed check was only noted; a connection that requires it must not pass on that session.
        {&Stranger, SMTPSECURITY_STARTTLS, true, true, false},
        {&Stranger, SMTPSECURITY_STARTTLS, true, true, true},
        {&Stranger, SMTPSECURITY_STARTTLS_REQUIRED, true, false, false},
        {&Stranger, SMTPSECURITY_STARTTLS_REQUIRED, false, true, false},
        {&Stranger, SMTPSECURITY_STARTTLS_REQUIRED, true, false, false},
    };
    int nStep = 0;
    for (const auto& Step : Steps) {
        CSmtpClientConnection Connection;
        Connection.Deliver(MakeSettings(u"localhost", Step.pServer->GetPort(), Step.nSecurity, Step.bVerify), MESSAGE);
        EXPECT_EQ(Connection.GetLastResult(), Step.bDelivered ? S_OK : E_SMTP_CERTIFICATE)
            << "step " << nStep << ": " << Connection.GetLastFailure();
        EXPECT_EQ(Connection.WasTlsResumed(), Step.bResumed) << "step " << nStep;
        ++nStep;
    }
}

TEST_F(SmtpTls, OpenSessionCarriesTheNextMessagesOfTheSameServer) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    CSmtpTestServer Server, Closing;
    ASSERT_TRUE(StartServer(Server, CTlsTestCertificates::VALID, false)) << Server.GetError();
    ASSERT_TRUE(StartServer(Closing, CTlsTestCertificates::VALID, false, {"--close-after-message"}))
        << Closing.GetError();
    const CSmtpSettings Tls = MakeSettings(u"localhost", Server.GetPort(), SMTPSECURITY_STARTTLS_REQUIRED, true);
    CSmtpSettings Plain = Tls, OtherName = Tls, ClosingServer = Tls;
    Plain.m_nSecurity = SMTPSECURITY_NONE;
    OtherName.m_sAuthenticationName = u"someone";
    ClosingServer.m_nServerPort = Closing.GetPort();
    // In order: the settings, whether the session may stay open, and the session the message comes on (the
    // number of the first message of that session).
    const struct {
        const CSmtpSettings* pSettings;
        bool bKeepOpen;
        std::size_t nSessionOf;
        bool bOpenAfter;
    } Steps[] = {
        {&Tls, true, 0, true},
        {&Tls, true, 0, true},
        {&Tls, false, 0, false},
        {&Tls, true, 3, true},
        {&OtherName, true, 4, true},
        // A plain dialogue never stays open.
        {&Plain, true, 5, false},
        {&Plain, true, 6, false},
    };
    CSmtpClientConnection Connection;
    for (std::size_t n = 0; n < std::size(Steps); ++n) {
        Connection.Deliver(*Steps[n].pSettings, MESSAGE, Steps[n].bKeepOpen);
        ASSERT_EQ(Connection.GetLastResult(), S_OK) << "step " << n << ": " << Connection.GetLastFailure();
        EXPECT_EQ(Connection.IsSessionOpen(), Steps[n].bOpenAfter) << "step " << n;
    }
    Connection.EndSession();
    ASSERT_TRUE(Server.WaitForMessageCount(std::size(Steps)));
    const auto Received = Server.GetMessages();
    ASSERT_EQ(Received.size(), std::size(Steps));
    for (std::size_t n = 0; n < std::size(Steps); ++n) {
        EXPECT_EQ(Received[n].sSession, Received[Steps[n].nSessionOf].sSession) << "message " << n;
        if (Steps[n].nSessionOf != n) continue;
        for (std::size_t m = 0; m < n; ++m) EXPECT_NE(Received[n].sSession, Received[m].sSession) << n << ", " << m;
    }
    // A server that closes the session after each message: the next one goes through a new connection.
    for (int n = 0; n < 3; ++n) {
        Connection.Deliver(ClosingServer, MESSAGE, true);
        EXPECT_EQ(Connection.GetLastResult(), S_OK) << n << ": " << Connection.GetLastFailure();
    }
    Connection.EndSession();
    ASSERT_TRUE(Closing.WaitForMessageCount(3));
    const auto Closed = Closing.GetMessages();
    ASSERT_EQ(Closed.size(), 3u);
    EXPECT_NE(Closed[0].sSession, Closed[1].sSession);
    EXPECT_NE(Closed[1].sSession, Closed[2].sSession);
}

TEST_F(SmtpTls, LongChainsAndLargeCertificatesAreCheckedLikeAnyOther) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    CSmtpTestServer Good;
    ASSERT_TRUE(StartServer(Good, CTlsTestCertificates::VALID, false)) << Good.GetError();
    // Both lead to the trusted authority and name localhost: they pass the check, within the library's
    // bounds on the certificate list (100 KiB) and the chain's depth.
    for (const std::filesystem::path& Certificate :
         {s_pCertificates->GetLongChainFile(), s_pCertificates->GetLargeCertificateFile()}) {
        CSmtpTestServer Server;
        ASSERT_TRUE(Server.Start(
            0, {"--starttls", "--cert", Certificate.string(), "--key", s_pCertificates->GetKeyFile().string()}))
            << Server.GetError();
        for (const bool bVerify : {true, false}) {
            CSmtpClientConnection Connection;
            Connection.Deliver(MakeSettings(u"localhost", Server.GetPort(), SMTPSECURITY_STARTTLS_REQUIRED, bVerify),
                               MESSAGE);
            EXPECT_EQ(Connection.GetLastResult(), S_OK)
                << Certificate << ", verify " << bVerify << ": " << Connection.GetLastFailure();
            // The next delivery, elsewhere, is not disturbed.
            CSmtpClientConnection Next;
            Next.Deliver(MakeSettings(u"localhost", Good.GetPort(), SMTPSECURITY_STARTTLS_REQUIRED, true), MESSAGE);
            EXPECT_EQ(Next.GetLastResult(), S_OK) << Next.GetLastFailure();
        }
        EXPECT_TRUE(Server.WaitForMessageCount(2));
    }
}

TEST_F(SmtpTls, EveryMethodAuthenticatesInsideTls) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    CSmtpTestServer Server;
    ASSERT_TRUE(StartServer(Server, CTlsTestCertificates::VALID, false, {"--auth-required"})) << Server.GetError();
    const std::pair<const char16_t*, const char*> Methods[] = {
        {u"login", "LOGIN"}, {u"cram-md5", "CRAM-MD5"}, {u"plain", "PLAIN"}, {u"PLAIN,login", "PLAIN"}};
    std::size_t nCount = 0;
    for (const auto& [pszMethods, pszMethod] : Methods) {
        CSmtpSettings Settings = MakeSettings(u"localhost", Server.GetPort(), SMTPSECURITY_STARTTLS_REQUIRED, true);
        Settings.m_AuthMethodList.SetAsString(pszMethods);
        Settings.m_sAuthenticationName = u"harkwell";
        Settings.m_sAuthenticationPassword = u"secret";
        CSmtpClientConnection Connection;
        Connection.Deliver(Settings, MESSAGE);
        EXPECT_EQ(Connection.GetLastResult(), S_OK) << pszMethod << "\n" << Connection.GetLastFailure();
        ASSERT_TRUE(Server.WaitForMessageCount(++nCount)) << pszMethod;
        const auto Message = Server.GetMessages().back();
        EXPECT_EQ(Message.sAuthMethod, pszMethod);
        EXPECT_EQ(Message.sUser, CSmtpTestServer::USER);
        EXPECT_TRUE(Message.bSecure);
    }
    EXPECT_EQ(ReadLog().find("Exception 0x"), std::string::npos) << ReadLog();
}

// The notification object's own path: settings through its two interfaces, an event handled, the worker
// delivering over STARTTLS with the certificate checked and PLAIN inside TLS.
TEST_F(SmtpTls, NotificationDeliversItsEventOverStartTls) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    CSmtpTestServer Server;
    ASSERT_TRUE(StartServer(Server, CTlsTestCertificates::VALID, false, {"--auth-required"})) << Server.GetError();
    CComPtr<ISmtpNotification> pSettings;
    ASSERT_EQ(CreateObjectT<CSmtpNotification>(IidOf<ISmtpNotification>(), reinterpret_cast<void**>(&pSettings)), S_OK);
    const auto Put = [&](HRESULT (ISmtpNotification::*pPut)(BSTR), const char16_t* pszValue) {
        BSTR sValue = SysAllocString(pszValue);
        EXPECT_EQ((pSettings->*pPut)(sValue), S_OK);
        SysFreeString(sValue);
    };
    Put(&ISmtpNotification::put_ServerHost, u"localhost");
    EXPECT_EQ(pSettings->put_ServerPort(Server.GetPort()), S_OK);
    Put(&ISmtpNotification::put_Sender, u"harkwell@localhost");
    Put(&ISmtpNotification::put_ToRecipients, u"ops@localhost");
    Put(&ISmtpNotification::put_AuthenticationMethods, u"plain");
    Put(&ISmtpNotification::put_AuthenticationName, u"harkwell");
    Put(&ISmtpNotification::put_AuthenticationPassword, u"secret");
    EXPECT_EQ(pSettings->put_Timeout(10000), S_OK);
    CComPtr<ISmtpNotificationSecurity> pSecurity;
    ASSERT_EQ(pSettings->QueryInterface(IidOf<ISmtpNotificationSecurity>(), reinterpret_cast<void**>(&pSecurity)),
              S_OK);
    EXPECT_EQ(pSecurity->put_Security(SMTPSECURITY_STARTTLS_REQUIRED), S_OK);
    CComPtr<INotification> pNotification;
    ASSERT_EQ(pSettings->QueryInterface(IidOf<INotification>(), reinterpret_cast<void**>(&pNotification)), S_OK);
    CComPtr<IActivityEvent> pEvent = testing_support::CFixedActivityEvent::Create(u"over TLS", u"the body");
    ASSERT_TRUE(pEvent);
    EXPECT_EQ(pNotification->Handle(nullptr, pEvent), S_OK);
    ASSERT_TRUE(Server.WaitForMessageCount(1, std::chrono::seconds(30))) << ReadLog();
    pNotification.Release();
    pSecurity.Release();
    pSettings.Release();  // waits for the worker
    const auto Messages = Server.GetMessages();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_TRUE(Messages[0].bSecure);
    EXPECT_EQ(Messages[0].sAuthMethod, "PLAIN");
    EXPECT_NE(Messages[0].sData.find("over TLS"), std::string::npos);
    EXPECT_EQ(ReadLog().find("Exception 0x"), std::string::npos) << ReadLog();
}

TEST_F(SmtpTls, LargeMessageGoesWholeThroughTls) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    CSmtpTestServer Server;
    ASSERT_TRUE(StartServer(Server, CTlsTestCertificates::VALID, true)) << Server.GetError();
    // Far more than a socket buffer or a TLS record holds, so writes wait for the socket many times.
    std::string sMessage = "Subject: large\r\n\r\n";
    while (sMessage.size() < 3 * 1024 * 1024) sMessage += "0123456789abcdefghijklmnopqrstuvwxyz.0123456789\r\n.";
    CSmtpClientConnection Connection;
    Connection.Deliver(MakeSettings(u"localhost", Server.GetPort(), SMTPSECURITY_TLS, true), sMessage);
    EXPECT_EQ(Connection.GetLastResult(), S_OK) << Connection.GetLastFailure();
    ASSERT_TRUE(Server.WaitForMessageCount(1));
    EXPECT_EQ(Server.GetMessages()[0].sData, sMessage + "\r\n");
}

// A server that closes the connection while the message is being written: the session's writes, which go
// through the socket layer rather than OpenSSL's own write(), fail and end the delivery with the reason.
TEST_F(SmtpTls, ServerClosingDuringTheMessageFailsTheDelivery) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    CSmtpTestServer Server;
    ASSERT_TRUE(StartServer(Server, CTlsTestCertificates::VALID, true, {"--drop-during-data"})) << Server.GetError();
    std::string sMessage = "Subject: dropped\r\n\r\n";
    while (sMessage.size() < 8 * 1024 * 1024) sMessage += "0123456789abcdefghijklmnopqrstuvwxyz.0123456789\r\n";
    CSmtpClientConnection Connection;
    Connection.Deliver(MakeSettings(u"localhost", Server.GetPort(), SMTPSECURITY_TLS, true), sMessage);
    EXPECT_NE(Connection.GetLastResult(), S_OK);
    EXPECT_NE(Connection.GetLastFailure().find("the server closed the connection"), std::string::npos)
        << Connection.GetLastFailure();
}

TEST_F(SmtpTls, ModeNoneIsThePlainDialogueEvenWhereStartTlsIsOffered) {
    CScriptedSmtpServer Server({Send("220 ready\r\n"), ReadLine(), Send("250-mail.example.org\r\n250 STARTTLS\r\n"),
                                ReadLine(), Send("250 ok\r\n"), ReadLine(), Send("250 ok\r\n"), ReadLine(),
                                Send("354 go\r\n"), ReadData(), Send("250 queued\r\n")});
    CSmtpClientConnection Connection;
    Connection.Deliver(MakeSettings(u"127.0.0.1", Server.GetPort(), SMTPSECURITY_NONE, true), MESSAGE);
    ASSERT_TRUE(Server.WaitUntilDone());
    EXPECT_EQ(Connection.GetLastResult(), S_OK) << ReadLog();
    EXPECT_EQ(Server.GetCommands(), (Lines{"EHLO 127.0.0.1", "MAIL FROM:<monitor@example.org>",
                                           "RCPT TO:<ops@example.org>", "DATA", "QUIT"}));
}

// A server that does not offer STARTTLS, or refuses it: STARTTLS when offered goes on in plain text, the
// required mode ends the delivery there.
TEST_F(SmtpTls, StartTlsNotOfferedOrRefused) {
    struct CCase {
        const char* pszEhloReply;
        const char* pszStartTlsReply;  // null: the command is not to be sent
        LONG nSecurity;
        HRESULT nExpected;
    } const Cases[] = {
        {"250 mail.example.org\r\n", nullptr, SMTPSECURITY_STARTTLS, S_OK},
        {"250-mail.example.org\r\n250 STARTTLS\r\n", "454 TLS not available now\r\n", SMTPSECURITY_STARTTLS, S_OK},
        {"250 mail.example.org\r\n", nullptr, SMTPSECURITY_STARTTLS_REQUIRED, E_SMTP_STARTTLS_NOT_OFFERED},
        {"250-mail.example.org\r\n250 STARTTLS\r\n", "454 TLS not available now\r\n", SMTPSECURITY_STARTTLS_REQUIRED,
         E_SMTP_UNEXPECTED_REPLY},
    };
    for (const CCase& Case : Cases) {
        std::vector<CStep> Script = {Send("220 ready\r\n"), ReadLine(), Send(Case.pszEhloReply)};
        if (Case.pszStartTlsReply != nullptr) Script.insert(Script.end(), {ReadLine(), Send(Case.pszStartTlsReply)});
        if (Case.nExpected == S_OK)
            Script.insert(Script.end(), {ReadLine(), Send("250 ok\r\n"), ReadLine(), Send("250 ok\r\n"), ReadLine(),
                                         Send("354 go\r\n"), ReadData(), Send("250 queued\r\n")});
        CScriptedSmtpServer Server(std::move(Script));
        CSmtpClientConnection Connection;
        Connection.Deliver(MakeSettings(u"127.0.0.1", Server.GetPort(), Case.nSecurity, true), MESSAGE);
        ASSERT_TRUE(Server.WaitUntilDone());
        EXPECT_EQ(Connection.GetLastResult(), Case.nExpected) << Case.pszEhloReply << Case.nSecurity;
        const Lines Commands = Server.GetCommands();
        ASSERT_GE(Commands.size(), 1u);
        EXPECT_EQ(Commands[0], "EHLO 127.0.0.1");
        if (Case.pszStartTlsReply != nullptr) {
            EXPECT_EQ(Commands.at(1), "STARTTLS");
        }
        if (Case.nExpected == S_OK) {
            EXPECT_EQ(Server.GetData(), MESSAGE);
        } else {
            EXPECT_NE(Connection.GetLastFailure().find("failed at STARTTLS"), std::string::npos)
                << Connection.GetLastFailure();
            // Nothing of the message went out in plain text.
            for (const std::string& sCommand : Commands) EXPECT_EQ(sCommand.find("MAIL FROM"), std::string::npos);
        }
    }
}

// Peers that break the exchange: each ends the delivery with its code, within the time-out, and nothing of
// the message goes out.
TEST_F(SmtpTls, BrokenStartTlsAndHandshakesEndTheDelivery) {
    const std::vector<CStep> OFFER = {Send("220 ready\r\n"), ReadLine(),
                                      Send("250-mail.example.org\r\n250 STARTTLS\r\n"), ReadLine()};
    struct CCase {
        const char* pszName;
        std::vector<CStep> Script;
        HRESULT nExpected;
        const char* pszStep;
    };
    const CCase Cases[] = {
        {"garbage answer to STARTTLS", {Send("\x16\x03\x01 garbage\r\n")}, E_SMTP_REPLY_CODE, "STARTTLS"},
        {"text after the go-ahead",
         {Send("220 go ahead\r\n250 injected\r\n")},
         E_SMTP_DATA_BEFORE_TLS,
         "TLS handshake"},
        {"close during the handshake",
         {Send("220 go ahead\r\n"), ReadSome(), Close()},
         E_CONNECTION_CLOSED,
         "TLS handshake"},
        {"no TLS in answer to the handshake",
         {Send("220 go ahead\r\n"), Send("HTTP/1.0 400 Bad request\r\n\r\n")},
         E_SMTP_TLS_HANDSHAKE,
         "TLS handshake"},
        {"a handshake that never finishes", {Send("220 go ahead\r\n")}, E_TIMED_OUT, "TLS handshake"},
    };
    for (const CCase& Case : Cases) {
        std::vector<CStep> Script = OFFER;
        Script.insert(Script.end(), Case.Script.begin(), Case.Script.end());
        CScriptedSmtpServer Server(std::move(Script));
        CSmtpSettings Settings = MakeSettings(u"127.0.0.1", Server.GetPort(), SMTPSECURITY_STARTTLS, false);
        Settings.m_nTimeout = 300;
        CSmtpClientConnection Connection;
        const auto Start = std::chrono::steady_clock::now();
        Connection.Deliver(Settings, MESSAGE);
        EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(3)) << Case.pszName;
        ASSERT_TRUE(Server.WaitUntilDone()) << Case.pszName;
        EXPECT_EQ(Connection.GetLastResult(), Case.nExpected) << Case.pszName << "\n" << ReadLog();
        EXPECT_NE(Connection.GetLastFailure().find(std::string("failed at ") + Case.pszStep), std::string::npos)
            << Case.pszName << ": " << Connection.GetLastFailure();
        for (const std::string& sCommand : Server.GetCommands())
            EXPECT_EQ(sCommand.find("MAIL FROM"), std::string::npos) << Case.pszName;
    }
}

TEST_F(SmtpTls, AbortEventEndsAHandshakeWaitingWithoutLimit) {
    CScriptedSmtpServer Server({Send("220 ready\r\n"), ReadLine(), Send("250-mail.example.org\r\n250 STARTTLS\r\n"),
                                ReadLine(), Send("220 go ahead\r\n")});
    CSmtpSettings Settings = MakeSettings(u"127.0.0.1", Server.GetPort(), SMTPSECURITY_STARTTLS_REQUIRED, true);
    Settings.m_nTimeout = -1;
    const CEvent Abort(true, false);
    std::thread Setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Abort.Set();
    });
    CSmtpClientConnection Connection;
    Connection.SetAbortEvent(Abort);
    const auto Start = std::chrono::steady_clock::now();
    Connection.Deliver(Settings, MESSAGE);
    Setter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(3));
    EXPECT_EQ(Connection.GetLastResult(), E_SMTP_STOPPED) << ReadLog();
    EXPECT_NE(Connection.GetLastFailure().find("failed at TLS handshake: the delivery was stopped"), std::string::npos)
        << Connection.GetLastFailure();
    ASSERT_TRUE(Server.WaitUntilDone());
}

// TLS from the connect on against a peer that answers in plain text or never answers.
TEST_F(SmtpTls, ImplicitTlsAgainstAPlainOrSilentPeer) {
    for (const auto& [Script, nExpected] :
         {std::pair{std::vector<CStep>{Send("220 plain ready\r\n")}, E_SMTP_TLS_HANDSHAKE},
          std::pair{std::vector<CStep>{}, E_TIMED_OUT}}) {
        CScriptedSmtpServer Server(Script);
        CSmtpSettings Settings = MakeSettings(u"127.0.0.1", Server.GetPort(), SMTPSECURITY_TLS, true);
        Settings.m_nTimeout = 300;
        CSmtpClientConnection Connection;
        Connection.Deliver(Settings, MESSAGE);
        ASSERT_TRUE(Server.WaitUntilDone());
        EXPECT_EQ(Connection.GetLastResult(), nExpected) << ReadLog();
        EXPECT_NE(Connection.GetLastFailure().find("failed at TLS handshake"), std::string::npos)
            << Connection.GetLastFailure();
    }
}

}  // namespace

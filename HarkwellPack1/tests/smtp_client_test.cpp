// The SMTP client: reply parsing over bytes, the dialogue against a scripted peer on the loopback (replies
// split and joined, slow and silent peers, malformed replies, authentication fallbacks, arguments that try
// to start commands of their own), and delivery to a real SMTP server.
#include "SmtpClientConnection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../../corvane/tests/tracelog.h"
#include "ScriptedSmtpServer.h"
#include "SmtpTestServer.h"
#include "corvane/ulcrypt.h"
#include "corvane/ulguard.h"
#include "corvane/ulhandle.h"

namespace {

using namespace scripted_smtp;
using Lines = std::vector<std::string>;

constexpr HRESULT E_TIMED_OUT = HRESULT_FROM_WIN32(WSAETIMEDOUT);
constexpr HRESULT E_CONNECTION_CLOSED = HRESULT_FROM_WIN32(WSAECONNRESET);

// The HRESULT a call raises, S_OK when it raises nothing.
template <class Call>
HRESULT RaisedBy(Call&& call) {
    try {
        call();
    } catch (const corvane::CHResultException& Exception) {
        return Exception.GetResult();
    }
    return S_OK;
}

CSmtpReply Parse(std::string_view sBuffer) {
    CSmtpReply Reply;
    EXPECT_TRUE(ParseSmtpReply(sBuffer, Reply)) << sBuffer;
    return Reply;
}

std::string DecodeBase64(const std::string& sText) {
    std::string sData(_Base64Helper::GetDecodeOutputSize(sText.size()), '\0');
    sData.resize(
        _Base64Helper::Decode(sText.data(), sText.size(), reinterpret_cast<BYTE*>(sData.data()), sData.size()));
    return sData;
}

TEST(SmtpReplyParsing, MultiLineReplyIsOneReplyWithItsLinesJoined) {
    const CSmtpReply Reply = Parse("220-mail.example.org ready\r\n220 second line\r\n");
    EXPECT_EQ(Reply.nCode, 220u);
    EXPECT_EQ(Reply.sText, "mail.example.org ready\r\nsecond line");
    EXPECT_EQ(Reply.nLength, 45u);

    // What follows the reply is left for the next one; a reply may have empty text.
    const std::string sTwo = "250 \r\n354 go on\r\n";
    const CSmtpReply First = Parse(sTwo);
    EXPECT_EQ(First.nCode, 250u);
    EXPECT_EQ(First.sText, "");
    EXPECT_EQ(Parse(std::string_view(sTwo).substr(First.nLength)).nCode, 354u);

    // Up to seven digits make a code.
    EXPECT_EQ(Parse("1234567 x\r\n").nCode, 1234567u);
}

TEST(SmtpReplyParsing, IncompleteReplyAsksForMoreData) {
    for (const char* pszBuffer : {"", "220", "220 ready\r", "220-first\r\n", "220-first\r\n220 sec", "xyz"}) {
        CSmtpReply Reply;
        Reply.nCode = 7;
        EXPECT_FALSE(ParseSmtpReply(pszBuffer, Reply)) << pszBuffer;
        EXPECT_EQ(Reply.nCode, 7u);
    }
}

TEST(SmtpReplyParsing, MalformedLinesRaiseTheirCodes) {
    const std::pair<const char*, HRESULT> Cases[] = {
        {"250\r\n", E_SMTP_REPLY_SEPARATOR},     // the code alone
        {"250:ok\r\n", E_SMTP_REPLY_SEPARATOR},  // neither blank nor hyphen
        {"250-a\r\n251 b\r\n", E_SMTP_REPLY_CONTINUATION},
        {"250-a\r\n0250 b\r\n", E_SMTP_REPLY_CONTINUATION},  // codes compare as text
        {"ok\r\n", E_SMTP_REPLY_CODE},
        {" 250 ok\r\n", E_SMTP_REPLY_CODE},
        {"12345678 x\r\n", E_SMTP_REPLY_CODE},  // eight digits
        {"250-a\r\n\r\n", E_SMTP_REPLY_CODE},   // an empty continuation
    };
    for (const auto& Case : Cases) {
        CSmtpReply Reply;
        EXPECT_EQ(RaisedBy([&] { ParseSmtpReply(Case.first, Reply); }), Case.second) << Case.first;
    }
}

TEST(SmtpMessageData, DotsAfterLineEndsAreDoubledAndTheDataEndsItsLine) {
    EXPECT_EQ(StuffSmtpMessageData(".first\r\n.second\r\n..third\r\nend"), ".first\r\n..second\r\n...third\r\nend\r\n");
    EXPECT_EQ(StuffSmtpMessageData("a line ending a message\r\n.\r\n"), "a line ending a message\r\n..\r\n");
    EXPECT_EQ(StuffSmtpMessageData("ends with a dot\r\n."), "ends with a dot\r\n..\r\n");
    EXPECT_EQ(StuffSmtpMessageData("bare\n.lf"), "bare\n.lf\r\n");
    EXPECT_EQ(StuffSmtpMessageData(""), "");
}

TEST(SmtpMailbox, TakesTheAddressInsideTheFirstAngleBrackets) {
    EXPECT_EQ(CSmtpClientConnection::MailboxFromAddress(u"Harkwell Monitor <monitor@example.org>"),
              u"monitor@example.org");
    EXPECT_EQ(CSmtpClientConnection::MailboxFromAddress(u"\"Smith, Jane\" < jane@example.org > <other@x>"),
              u"jane@example.org");
    EXPECT_EQ(CSmtpClientConnection::MailboxFromAddress(u"  ops@example.org  "), u"ops@example.org");
    // Only blanks are trimmed, and brackets without content are no mailbox.
    EXPECT_EQ(CSmtpClientConnection::MailboxFromAddress(u"\tops@example.org "), u"\tops@example.org");
    EXPECT_EQ(CSmtpClientConnection::MailboxFromAddress(u"<> x"), u"<> x");
    EXPECT_EQ(CSmtpClientConnection::MailboxFromAddress(u""), u"");
}

// The scripted steps that take one message for nRecipients recipients after the greeting and EHLO.
std::vector<CStep> TakeMessage(int nRecipients) {
    std::vector<CStep> Steps = {ReadLine(), Send("250 sender ok\r\n")};
    for (int i = 0; i < nRecipients; ++i) {
        Steps.push_back(ReadLine());
        Steps.push_back(Send("250 recipient ok\r\n"));
    }
    Steps.insert(Steps.end(), {ReadLine(), Send("354 go ahead\r\n"), ReadData(), Send("250 queued\r\n")});
    return Steps;
}

std::vector<CStep> operator+(std::vector<CStep> First, const std::vector<CStep>& Second) {
    First.insert(First.end(), Second.begin(), Second.end());
    return First;
}

const std::vector<CStep> GREETING_AND_EHLO = {Send("220 test ready\r\n"), ReadLine(), Send("250 hello\r\n")};
const std::string MESSAGE = "Subject: test\r\n\r\nbody\r\n";

// Deliveries against a scripted peer; the trace of each test goes to a log of its own.
class SmtpDialogue : public tracelog::CTraceTest {
protected:
    static CSmtpSettings MakeSettings(const CScriptedSmtpServer& Server) {
        CSmtpSettings Settings;
        Settings.m_sServerHost = u"127.0.0.1";
        Settings.m_nServerPort = Server.GetPort();
        Settings.m_sSender = u"monitor@example.org";
        Settings.m_sToRecipients = u"ops@example.org";
        Settings.m_nTimeout = 5000;
        return Settings;
    }

    void Deliver(const CSmtpSettings& Settings, const std::string& sMessage = MESSAGE) {
        CSmtpClientConnection Connection;
        Connection.Deliver(Settings, sMessage);
    }

    // The code of the first "Exception" line, 0 when there is none; failures are traced where they happen.
    HRESULT FirstTracedException() const {
        const std::string sLog = ReadLog();
        const std::size_t nAt = sLog.find("Exception 0x");
        if (nAt == std::string::npos) return S_OK;
        return static_cast<HRESULT>(std::stoul(sLog.substr(nAt + 12, 8), nullptr, 16));
    }
    bool TracedCaughtException() const { return ReadLog().find("An exception has been caught") != std::string::npos; }

    void ExpectDelivered(CScriptedSmtpServer& Server, const std::string& sData = MESSAGE) {
        ASSERT_TRUE(Server.WaitUntilDone());
        EXPECT_EQ(Server.GetFailure(), "");
        EXPECT_EQ(Server.GetData(), sData);
        ASSERT_FALSE(Server.GetCommands().empty());
        EXPECT_EQ(Server.GetCommands().back(), "QUIT");
        EXPECT_EQ(FirstTracedException(), S_OK) << ReadLog();
    }
};

TEST_F(SmtpDialogue, SendsTheWholeDialogueInOrder) {
    CScriptedSmtpServer Server(
        std::vector<CStep>{Send("220-mail.example.org ready\r\n220 no second greeting\r\n"), ReadLine(),
                           Send("250-mail.example.org\r\n250-SIZE 1000000\r\n250 AUTH LOGIN CRAM-MD5\r\n")} +
        TakeMessage(5));
    CSmtpSettings Settings = MakeSettings(Server);
    Settings.m_sSender = u"Harkwell Monitor <monitor@example.org>";
    Settings.m_sToRecipients = u"ops@example.org,\"Smith, Jane <jane@example.org>\"";
    Settings.m_sCcRecipients = u"  cc@example.org  , ops@example.org";
    Settings.m_sBccRecipients = u"audit@example.org";
    Deliver(Settings, "Subject: dots\r\n\r\n.hidden\r\n..two\r\nlast line without its end");

    ExpectDelivered(Server, "Subject: dots\r\n\r\n..hidden\r\n...two\r\nlast line without its end\r\n");
    // No authentication without a method list; duplicates are sent again.
    EXPECT_EQ(Server.GetCommands(),
              (Lines{"EHLO 127.0.0.1", "MAIL FROM:<monitor@example.org>", "RCPT TO:<ops@example.org>",
                     "RCPT TO:<jane@example.org>", "RCPT TO:<cc@example.org>", "RCPT TO:<ops@example.org>",
                     "RCPT TO:<audit@example.org>", "DATA", "QUIT"}));
}

TEST_F(SmtpDialogue, RepliesSplitAcrossReadsOrJoinedInOneReadParseAlike) {
    {
        // Every reply dripped a byte at a time: each arrives in many reads.
        CScriptedSmtpServer Server({Drip("220-split\r\n220 greeting\r\n", 1), ReadLine(), Drip("250 hello\r\n", 1),
                                    ReadLine(), Drip("250 ok\r\n", 1), ReadLine(), Drip("250 ok\r\n", 1), ReadLine(),
                                    Drip("354 go\r\n", 1), ReadData(), Drip("250 queued\r\n", 1)});
        Deliver(MakeSettings(Server));
        ExpectDelivered(Server);
    }
    {
        // The server runs ahead: five replies come in the first read, and stay buffered until asked for.
        CScriptedSmtpServer Server({Send("220 ready\r\n250 hello\r\n250 ok\r\n250-ok\r\n250 ok\r\n354 go\r\n"),
                                    ReadLine(), ReadLine(), ReadLine(), ReadLine(), ReadData(),
                                    Send("250 queued\r\n")});
        Deliver(MakeSettings(Server));
        ExpectDelivered(Server);
    }
}

TEST_F(SmtpDialogue, SlowButSteadyPeerIsWaitedFor) {
    // The greeting and the last reply each take longer than the time-out to arrive, but no single wait does.
    std::vector<CStep> Script =
        std::vector<CStep>{Drip("220 slow but steady\r\n", 15), ReadLine(), Send("250 hello\r\n")} + TakeMessage(1);
    Script.back() = Drip("250 queued, slowly\r\n", 15);
    CScriptedSmtpServer Server(std::move(Script));
    CSmtpSettings Settings = MakeSettings(Server);
    Settings.m_nTimeout = 200;
    Deliver(Settings);
    ExpectDelivered(Server);
}

TEST_F(SmtpDialogue, SilentPeerTimesOut) {
    CScriptedSmtpServer Server({Send("220 ready\r\n"), ReadLine()});
    CSmtpSettings Settings = MakeSettings(Server);
    Settings.m_nTimeout = 100;
    Deliver(Settings);
    ASSERT_TRUE(Server.WaitUntilDone());
    EXPECT_EQ(FirstTracedException(), E_TIMED_OUT);
    EXPECT_TRUE(TracedCaughtException());
    // The delivery ended there: nothing more was sent, and the connection was closed.
    EXPECT_EQ(Server.GetCommands(), Lines{"EHLO 127.0.0.1"});
}

TEST_F(SmtpDialogue, DrippingPeerEndsAtTheDeliveryDeadline) {
    // Every byte comes well inside the time-out (a tenth of it, so that a loaded machine does not make one
    // late), but the greeting would take some 8 s as a whole.
    CScriptedSmtpServer Server({Drip("220 " + std::string(400, 'x') + "\r\n", 20)});
    CSmtpSettings Settings = MakeSettings(Server);
    Settings.m_nTimeout = 200;
    const auto Start = std::chrono::steady_clock::now();
    Deliver(Settings);
    const auto Elapsed = std::chrono::steady_clock::now() - Start;
    EXPECT_GE(Elapsed, std::chrono::milliseconds(3900));
    EXPECT_LT(Elapsed, std::chrono::seconds(8));
    EXPECT_EQ(FirstTracedException(), E_SMTP_DEADLINE) << ReadLog();
    EXPECT_NE(ReadLog().find("The delivery to 127.0.0.1 has not ended within 4000 ms and has been given up"),
              std::string::npos)
        << ReadLog();
}

TEST(SmtpDeliveryTime, TwentyTimesTheTimeoutAtMostTenMinutes) {
    const std::pair<LONG, LONG> Cases[] = {{1, 20},         {150, 3000},  {30000, 600000},     {29999, 599980},
                                           {60000, 600000}, {-1, 600000}, {0x7FFFFFFF, 600000}};
    for (const auto& [nTimeout, nExpected] : Cases)
        EXPECT_EQ(CSmtpClientConnection::GetDeliveryTime(nTimeout), nExpected) << nTimeout;
}

TEST_F(SmtpDialogue, AbortEventEndsAWaitWithoutLimit) {
    CScriptedSmtpServer Server({Send("220 ready\r\n"), ReadLine()});
    CSmtpSettings Settings = MakeSettings(Server);
    Settings.m_nTimeout = -1;
    const CEvent Abort(true, false);
    std::thread Setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Abort.Set();
    });
    CSmtpClientConnection Connection;
    Connection.SetAbortEvent(Abort);
    Connection.Deliver(Settings, MESSAGE);
    Setter.join();
    EXPECT_EQ(FirstTracedException(), E_SMTP_STOPPED) << ReadLog();
    EXPECT_NE(ReadLog().find("The delivery to 127.0.0.1 has been stopped"), std::string::npos);
    ASSERT_TRUE(Server.WaitUntilDone());
    EXPECT_EQ(Server.GetCommands(), Lines{"EHLO 127.0.0.1"});
}

struct CBadReply {
    const char* pszEhloReply;
    HRESULT hrExpected;
};

class SmtpBadReply : public SmtpDialogue, public ::testing::WithParamInterface<CBadReply> {};

TEST_P(SmtpBadReply, EndsTheDeliveryWithItsCode) {
    CScriptedSmtpServer Server({Send("220 ready\r\n"), ReadLine(), Send(GetParam().pszEhloReply)});
    Deliver(MakeSettings(Server));
    ASSERT_TRUE(Server.WaitUntilDone());
    EXPECT_EQ(FirstTracedException(), GetParam().hrExpected) << ReadLog();
    EXPECT_TRUE(TracedCaughtException());
    EXPECT_EQ(Server.GetCommands(), Lines{"EHLO 127.0.0.1"});
}

std::string BadReplyName(const ::testing::TestParamInfo<CBadReply>& Info) {
    static const char* const pszNames[] = {"ContinuationCode", "CodeOnly", "NoCode", "OutOfRange"};
    return pszNames[Info.index];
}

INSTANTIATE_TEST_SUITE_P(Replies, SmtpBadReply,
                         ::testing::Values(CBadReply{"250-mail.example.org\r\n251 SIZE\r\n", E_SMTP_REPLY_CONTINUATION},
                                           CBadReply{"250\r\n", E_SMTP_REPLY_SEPARATOR},
                                           CBadReply{"hello\r\n", E_SMTP_REPLY_CODE},
                                           CBadReply{"550 go away\r\n", E_SMTP_UNEXPECTED_REPLY}),
                         BadReplyName);

TEST_F(SmtpDialogue, OverlongReplyIsRefusedAtTheBound) {
    // A server that never ends its reply line fills the bounded buffer and fails the read.
    const std::string sEndless = "220 " + std::string(CSmtpClientConnection::MAX_REPLY_SIZE + 8192, 'x');
    CScriptedSmtpServer Server({Send(sEndless)});
    Deliver(MakeSettings(Server));
    ASSERT_TRUE(Server.WaitUntilDone());
    EXPECT_EQ(FirstTracedException(), HRESULT_FROM_WIN32(WSAEMSGSIZE));
    EXPECT_TRUE(Server.GetCommands().empty());
}

TEST_F(SmtpDialogue, CloseRightAfterTheLastReplyFailsTheReadThatSeesBoth) {
    CScriptedSmtpServer Server({Send("220 ready, and gone\r\n"), Close()});
    CSmtpClientConnection Connection;
    Connection.SetTimeout(5000);
    Connection.Connect(u"127.0.0.1", Server.GetPort());
    ASSERT_TRUE(Server.WaitUntilDone());
    // The close has been sent before the reply is read; give the loopback a moment to hand it over.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(RaisedBy([&] { Connection.Receive(); }), E_CONNECTION_CLOSED);
}

TEST_F(SmtpDialogue, RejectedMethodIsFollowedByTheNextOnTheSameConnection) {
    // The exchange of RFC 2195: user "tim", password "tanstaaftanstaaf".
    CScriptedSmtpServer Server(
        GREETING_AND_EHLO +
        std::vector<CStep>{ReadLine(), Send("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"),
                           ReadLine(), Send("535 not today\r\n"), ReadLine(), Send("334 VXNlcm5hbWU6\r\n"), ReadLine(),
                           Send("334 UGFzc3dvcmQ6\r\n"), ReadLine(), Send("235 welcome\r\n")});
    CSmtpSettings Settings = MakeSettings(Server);
    Settings.m_AuthMethodList.SetAsString(u"xoauth2,cram-md5,LOGIN");
    Settings.m_sAuthenticationName = u"tim";
    Settings.m_sAuthenticationPassword = u"tanstaaftanstaaf";

    CSmtpClientConnection Connection;
    Connection.SetTimeout(5000);
    Connection.Connect(u"127.0.0.1", Server.GetPort());
    Connection.ReceiveInRange(200, 299);
    Connection.Send(std::string_view("EHLO 127.0.0.1\r\n"));
    Connection.ReceiveInRange(200, 299);
    // The name comes back as the list writes it.
    EXPECT_EQ(Connection.Authenticate(Settings), u"LOGIN");
    Connection.Close();

    ASSERT_TRUE(Server.WaitUntilDone());
    EXPECT_EQ(Server.GetCommands(),
              (Lines{"EHLO 127.0.0.1", "AUTH CRAM-MD5", "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw",
                     "AUTH LOGIN", "dGlt", "dGFuc3RhYWZ0YW5zdGFhZg=="}));
    const std::string sLog = ReadLog();
    EXPECT_NE(sLog.find("Assertion failed"), std::string::npos);  // the unknown method was skipped
    EXPECT_EQ(FirstTracedException(), E_SMTP_UNEXPECTED_REPLY);
}

TEST_F(SmtpDialogue, FailedAuthenticationStillTriesToDeliver) {
    CScriptedSmtpServer Server(GREETING_AND_EHLO + std::vector<CStep>{ReadLine(), Send("504 unknown mechanism\r\n")} +
                               TakeMessage(1));
    CSmtpSettings Settings = MakeSettings(Server);
    Settings.m_AuthMethodList.SetAsString(u"login");
    Deliver(Settings);
    ASSERT_TRUE(Server.WaitUntilDone());
    EXPECT_EQ(Server.GetData(), MESSAGE);
    EXPECT_EQ(FirstTracedException(), E_SMTP_NOT_INTERMEDIATE);
    EXPECT_EQ(Server.GetCommands().front(), "EHLO 127.0.0.1");
    EXPECT_EQ(Server.GetCommands()[1], "AUTH LOGIN");
    EXPECT_EQ(Server.GetCommands()[2], "MAIL FROM:<monitor@example.org>");
}

TEST_F(SmtpDialogue, LineBreaksInArgumentsNeverStartCommands) {
    CScriptedSmtpServer Server(std::vector<CStep>{Send("220 ready\r\n"), ReadLine(), Send("250 hello\r\n"), ReadLine(),
                                                  Send("334 VXNlcm5hbWU6\r\n"), ReadLine(),
                                                  Send("334 UGFzc3dvcmQ6\r\n"), ReadLine(), Send("235 ok\r\n")} +
                               TakeMessage(2));
    CSmtpSettings Settings = MakeSettings(Server);
    // The address reader stops at the first blank after a dotted address, so the host still connects.
    Settings.m_sServerHost = u"127.0.0.1\r\nRSET";
    Settings.m_sSender = u"monitor@example.org\r\nRSET";
    Settings.m_sToRecipients = u"ops@example.org\nRSET,\"Jane <jane@example.org\r>\"";
    Settings.m_AuthMethodList.SetAsString(u"login");
    Settings.m_sAuthenticationName = u"ann\r\nRSET";
    Settings.m_sAuthenticationPassword = u"pass\r\nword";
    Deliver(Settings);

    ExpectDelivered(Server);
    const Lines Commands = Server.GetCommands();
    ASSERT_EQ(Commands.size(), 9u);
    EXPECT_EQ(Commands[0], "EHLO 127.0.0.1  RSET");
    EXPECT_EQ(DecodeBase64(Commands[2]), "ann  RSET");
    // The password is only ever sent encoded; it stays as it is.
    EXPECT_EQ(DecodeBase64(Commands[3]), "pass\r\nword");
    EXPECT_EQ(Commands[4], "MAIL FROM:<monitor@example.org  RSET>");
    EXPECT_EQ(Commands[5], "RCPT TO:<ops@example.org RSET>");
    EXPECT_EQ(Commands[6], "RCPT TO:<jane@example.org >");
}

TEST_F(SmtpDialogue, LongCredentialsStayOnOneLine) {
    // Base64 text longer than 76 characters must not be broken into lines: each break would end the answer.
    const std::string sName(60, 'n');
    const std::string sPassword(70, 'p');
    {
        CScriptedSmtpServer Server(GREETING_AND_EHLO +
                                   std::vector<CStep>{ReadLine(), Send("334 VXNlcm5hbWU6\r\n"), ReadLine(),
                                                      Send("334 UGFzc3dvcmQ6\r\n"), ReadLine(), Send("235 ok\r\n")} +
                                   TakeMessage(1));
        CSmtpSettings Settings = MakeSettings(Server);
        Settings.m_AuthMethodList.SetAsString(u"login");
        Settings.m_sAuthenticationName = std::u16string(sName.begin(), sName.end());
        Settings.m_sAuthenticationPassword = std::u16string(sPassword.begin(), sPassword.end());
        Deliver(Settings);
        ExpectDelivered(Server);
        const Lines Commands = Server.GetCommands();
        ASSERT_GE(Commands.size(), 4u);
        EXPECT_EQ(DecodeBase64(Commands[2]), sName);
        EXPECT_EQ(DecodeBase64(Commands[3]), sPassword);
        EXPECT_EQ(Commands[4], "MAIL FROM:<monitor@example.org>");
    }
    {
        // 25 characters of name already make the CRAM-MD5 answer (name, blank, 32 digits) 58 bytes long.
        CScriptedSmtpServer Server(GREETING_AND_EHLO +
                                   std::vector<CStep>{ReadLine(), Send("334 PDEyMzQ1QGV4YW1wbGUub3JnPg==\r\n"),
                                                      ReadLine(), Send("235 ok\r\n")} +
                                   TakeMessage(1));
        CSmtpSettings Settings = MakeSettings(Server);
        Settings.m_AuthMethodList.SetAsString(u"cram-md5");
        Settings.m_sAuthenticationName = std::u16string(sName.begin(), sName.end());
        Settings.m_sAuthenticationPassword = u"secret";
        Deliver(Settings);
        ExpectDelivered(Server);
        const Lines Commands = Server.GetCommands();
        ASSERT_GE(Commands.size(), 3u);
        EXPECT_EQ(DecodeBase64(Commands[2]),
                  sName + " " + _Md5Helper::ToHex(_Md5Helper::Hmac("secret", "<12345@example.org>")));
        EXPECT_EQ(Commands[3], "MAIL FROM:<monitor@example.org>");
    }
}

TEST_F(SmtpDialogue, LargeMessageIsSentWhole) {
    // Far more than a socket buffer holds, so sends take part of it at a time.
    std::string sMessage = "Subject: large\r\n\r\n";
    while (sMessage.size() < 6 * 1024 * 1024) sMessage += "0123456789abcdefghijklmnopqrstuvwxyz.0123456789\r\n.";
    CScriptedSmtpServer Server(GREETING_AND_EHLO + TakeMessage(1));
    Deliver(MakeSettings(Server), sMessage);
    ExpectDelivered(Server, StuffSmtpMessageData(sMessage));
}

TEST(SmtpConnect, UnresolvableHostAndRefusedConnectionRaiseTheirCodes) {
    CSmtpClientConnection Connection;
    Connection.SetTimeout(5000);
    EXPECT_EQ(RaisedBy([&] { Connection.Connect(u"no-such-host.invalid", 25); }), HRESULT_FROM_WIN32(WSAEADDRNOTAVAIL));
    Connection.Close();
    EXPECT_EQ(RaisedBy([&] { Connection.Connect(u"", 25); }), HRESULT_FROM_WIN32(WSAEADDRNOTAVAIL));
    Connection.Close();

    // A port that is bound but does not listen refuses the connection.
    const int hBound = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(hBound, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nSize = sizeof Address;
    ASSERT_EQ(bind(hBound, reinterpret_cast<sockaddr*>(&Address), sizeof Address), 0);
    ASSERT_EQ(getsockname(hBound, reinterpret_cast<sockaddr*>(&Address), &nSize), 0);
    EXPECT_EQ(RaisedBy([&] { Connection.Connect(u"127.0.0.1", ntohs(Address.sin_port)); }),
              HRESULT_FROM_WIN32(WSAECONNREFUSED));
    close(hBound);
}

TEST(SmtpConnect, UnconnectedConnectionFailsInsteadOfWaiting) {
    CSmtpClientConnection Connection;
    EXPECT_EQ(RaisedBy([&] { Connection.Receive(); }), HRESULT_FROM_WIN32(WSAENOTSOCK));
    EXPECT_EQ(RaisedBy([&] { Connection.Send(std::string_view("QUIT\r\n")); }), HRESULT_FROM_WIN32(WSAENOTSOCK));
}

// Delivery to a real SMTP server that is none of ours.
class SmtpRealServer : public tracelog::CTraceTest {
protected:
    void SetUp() override {
        tracelog::CTraceTest::SetUp();
        if (!testing_support::CSmtpTestServer::IsNodeAvailable())
            GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
        ASSERT_TRUE(m_Server.Start()) << m_Server.GetError();
    }

    CSmtpSettings MakeSettings(const char16_t* pszMethods) const {
        CSmtpSettings Settings;
        Settings.m_sServerHost = u"localhost";
        Settings.m_nServerPort = m_Server.GetPort();
        Settings.m_sSender = u"Harkwell Monitor <monitor@example.org>";
        Settings.m_sToRecipients = u"ops@example.org,\"Smith, Jane <jane@example.org>\"";
        Settings.m_sBccRecipients = u"audit@example.org";
        Settings.m_AuthMethodList.SetAsString(pszMethods);
        Settings.m_sAuthenticationName = u"harkwell";
        Settings.m_sAuthenticationPassword = u"secret";
        Settings.m_nTimeout = 5000;
        return Settings;
    }

    void ExpectStored(const testing_support::CReceivedMessage& Message, const char* pszMethod) {
        EXPECT_EQ(Message.sMailFrom, "monitor@example.org");
        EXPECT_EQ(Message.RcptTo, (Lines{"ops@example.org", "jane@example.org", "audit@example.org"}));
        EXPECT_EQ(Message.sUser, testing_support::CSmtpTestServer::USER);
        EXPECT_EQ(Message.sAuthMethod, pszMethod);
        // The server removed the doubled dot again.
        EXPECT_EQ(Message.sData, "Subject: real\r\n\r\n.a line with a dot\r\nend\r\n");
    }

    testing_support::CSmtpTestServer m_Server;
};

TEST_F(SmtpRealServer, DeliversWithLoginAndWithCramMd5) {
    CWindowsSockets2 Sockets;
    ASSERT_TRUE(Sockets.IsStarted());
    const std::string sMessage = "Subject: real\r\n\r\n.a line with a dot\r\nend";
    CSmtpClientConnection Connection;
    Connection.Deliver(MakeSettings(u"login"), sMessage);
    Connection.Deliver(MakeSettings(u"cram-md5,login"), sMessage);

    // Both dialogues ran without a failure (a step that failed after the server had taken it would not show
    // in the stored messages).
    EXPECT_EQ(ReadLog().find("Exception 0x"), std::string::npos) << ReadLog();
    ASSERT_TRUE(m_Server.WaitForMessageCount(2));
    const auto Messages = m_Server.GetMessages();
    ASSERT_EQ(Messages.size(), 2u);
    ExpectStored(Messages[0], "LOGIN");
    ExpectStored(Messages[1], "CRAM-MD5");
}

TEST_F(SmtpRealServer, WrongPasswordFallsBackToTheNextMethodAndThenToNone) {
    // A server that requires authentication refuses MAIL FROM after every method failed.
    m_Server.Stop();
    ASSERT_TRUE(m_Server.Start(0, {"--auth-required"})) << m_Server.GetError();
    CSmtpSettings Settings = MakeSettings(u"cram-md5,login");
    Settings.m_sAuthenticationPassword = u"wrong";
    CSmtpClientConnection Connection;
    Connection.Deliver(Settings, "Subject: refused\r\n\r\nbody");
    Connection.Deliver(MakeSettings(u"cram-md5"), "Subject: real\r\n\r\n.a line with a dot\r\nend");
    ASSERT_TRUE(m_Server.WaitForMessageCount(1));
    const auto Messages = m_Server.GetMessages();
    ASSERT_EQ(Messages.size(), 1u);
    ExpectStored(Messages[0], "CRAM-MD5");
}

}  // namespace

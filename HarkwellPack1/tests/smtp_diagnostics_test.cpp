// What a failed delivery tells: one trace line naming the step and the server's reply, never the
// credentials; and AUTH PLAIN in the configured order of the methods.
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
#include "FixedActivityEvent.h"
#include "ScriptedSmtpServer.h"
#include "SmtpClientConnection.h"
#include "SmtpNotification.h"
#include "SmtpTestServer.h"
#include "comrt/text.h"
#include "corvane/ulcrypt.h"

namespace {

using namespace scripted_smtp;
using Lines = std::vector<std::string>;

const std::string MESSAGE = "Subject: diagnostics\r\n\r\nbody\r\n";

std::string EncodeBase64(std::string_view sData) {
    const DWORD dwFlags = _Base64Helper::BASE64_FLAG_NOCRLF;
    std::string sText(_Base64Helper::GetEncodeOutputSize(sData.size(), dwFlags), '\0');
    sText.resize(_Base64Helper::Encode(reinterpret_cast<const BYTE*>(sData.data()), sData.size(), sText.data(),
                                       sText.size(), dwFlags));
    return sText;
}

std::vector<CStep> operator+(std::vector<CStep> First, const std::vector<CStep>& Second) {
    First.insert(First.end(), Second.begin(), Second.end());
    return First;
}

class SmtpDiagnostics : public tracelog::CTraceTest {
protected:
    static CSmtpSettings MakeSettings(USHORT nPort) {
        CSmtpSettings Settings;
        Settings.m_sServerHost = u"127.0.0.1";
        Settings.m_nServerPort = nPort;
        Settings.m_sSender = u"monitor@example.org";
        Settings.m_sToRecipients = u"ops@example.org,second@example.org";
        Settings.m_nTimeout = 5000;
        return Settings;
    }
    // The trace lines that report a failed delivery.
    std::vector<std::string> FailureLines() const {
        std::vector<std::string> Found;
        for (const std::string& sLine : ReadLines())
            if (sLine.find("The delivery to ") != std::string::npos && sLine.find(" failed at ") != std::string::npos)
                Found.push_back(sLine);
        return Found;
    }
};

// A loopback socket that is bound but does not listen, so that connections to nPort are refused; -1 when
// none could be made. The caller closes it.
int BindWithoutListening(USHORT& nPort) {
    const int hBound = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nSize = sizeof Address;
    if (hBound < 0 || bind(hBound, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
        getsockname(hBound, reinterpret_cast<sockaddr*>(&Address), &nSize) != 0) {
        if (hBound >= 0) close(hBound);
        return -1;
    }
    nPort = ntohs(Address.sin_port);
    return hBound;
}

const std::vector<CStep> GREETING = {Send("220 ready\r\n")};
const std::vector<CStep> EHLO = {ReadLine(), Send("250 hello\r\n")};
const std::vector<CStep> MAIL_FROM = {ReadLine(), Send("250 ok\r\n")};
const std::vector<CStep> RCPT = {ReadLine(), Send("250 ok\r\n")};
const std::vector<CStep> DATA = {ReadLine(), Send("354 go\r\n")};

TEST_F(SmtpDiagnostics, FailedDeliveryNamesItsStepAndTheReply) {
    struct CCase {
        std::vector<CStep> Script;
        const char* pszLine;  // what follows "The delivery to 127.0.0.1:<port> failed at "
    };
    const CCase Cases[] = {
        {{Send("554-no service here\r\n554 try later\r\n")},
         "greeting: the server answered 554 no service here / try later (0xa7650223)"},
        {GREETING + std::vector<CStep>{ReadLine(), Send("501 bad host name\r\n")},
         "EHLO: the server answered 501 bad host name (0xa7650223)"},
        {GREETING + EHLO + std::vector<CStep>{ReadLine(), Send("550 sender refused\r\n")},
         "MAIL FROM: the server answered 550 sender refused (0xa7650223)"},
        {GREETING + EHLO + MAIL_FROM + RCPT + std::vector<CStep>{ReadLine(), Send("550 5.1.1 no such user\r\n")},
         "RCPT 2: the server answered 550 5.1.1 no such user (0xa7650223)"},
        {GREETING + EHLO + MAIL_FROM + RCPT + RCPT + std::vector<CStep>{ReadLine(), Send("554 no data today\r\n")},
         "DATA: the server answered 554 no data today (0xa7650223)"},
        {GREETING + EHLO + MAIL_FROM + RCPT + RCPT + DATA +
             std::vector<CStep>{ReadData(), Send("552 message too big\r\n")},
         "end of data: the server answered 552 message too big (0xa7650223)"},
        {GREETING + EHLO + std::vector<CStep>{ReadLine(), Close()},
         "MAIL FROM: the server closed the connection (0x80072746)"},
        {GREETING + EHLO + std::vector<CStep>{ReadLine(), Send("250 ok\r\n"), ReadLine(), Send("25x\r\n")},
         "RCPT 1: the server's answer is no SMTP reply (0xa76501e7)"},
    };
    for (const CCase& Case : Cases) {
        corvane::ResetTraceLog();
        std::filesystem::remove(LogPath());
        CScriptedSmtpServer Server(Case.Script);
        CSmtpClientConnection Connection;
        Connection.Deliver(MakeSettings(Server.GetPort()), MESSAGE);
        ASSERT_TRUE(Server.WaitUntilDone());
        const std::string sExpected =
            "The delivery to 127.0.0.1:" + std::to_string(Server.GetPort()) + " failed at " + Case.pszLine;
        EXPECT_EQ(Connection.GetLastFailure(), sExpected);
        const std::vector<std::string> Found = FailureLines();
        ASSERT_EQ(Found.size(), 1u) << ReadLog();
        EXPECT_TRUE(Found[0].ends_with(sExpected)) << Found[0];
        EXPECT_FALSE(SUCCEEDED(Connection.GetLastResult()));
    }
}

TEST_F(SmtpDiagnostics, RefusedConnectionAndSuccessfulDelivery) {
    USHORT nPort = 0;
    const int hBound = BindWithoutListening(nPort);
    ASSERT_GE(hBound, 0);
    CSmtpClientConnection Connection;
    Connection.Deliver(MakeSettings(nPort), MESSAGE);
    close(hBound);
    EXPECT_EQ(Connection.GetLastResult(), HRESULT_FROM_WIN32(WSAECONNREFUSED));
    EXPECT_NE(Connection.GetLastFailure().find("failed at connect: the connection was refused"), std::string::npos)
        << Connection.GetLastFailure();

    // The same connection object after a delivery that went through: no failure left over, no line.
    corvane::ResetTraceLog();
    std::filesystem::remove(LogPath());
    CScriptedSmtpServer Server(GREETING + EHLO + MAIL_FROM + RCPT + RCPT + DATA +
                               std::vector<CStep>{ReadData(), Send("250 queued\r\n")});
    Connection.Deliver(MakeSettings(Server.GetPort()), MESSAGE);
    ASSERT_TRUE(Server.WaitUntilDone());
    EXPECT_EQ(Connection.GetLastResult(), S_OK);
    EXPECT_EQ(Connection.GetLastFailure(), "");
    EXPECT_TRUE(FailureLines().empty()) << ReadLog();
}

// A notification whose server refuses every attempt gives the message up after its schedule with one line,
// each attempt traced as every failed delivery is; the next event is delivered.
TEST_F(SmtpDiagnostics, ExhaustedRetriesEndWithOneLine) {
    USHORT nPort = 0;
    const int hBound = BindWithoutListening(nPort);
    ASSERT_GE(hBound, 0);
    CComObjectT<CSmtpNotification>* p = nullptr;
    ASSERT_EQ(CComObjectT<CSmtpNotification>::CreateInstance(&p), S_OK);
    const auto Put = [&](HRESULT (CSmtpNotification::*pPut)(BSTR), std::u16string_view sValue) {
        BSTR s = SysAllocStringLen(sValue.data(), static_cast<UINT>(sValue.size()));
        EXPECT_EQ((p->*pPut)(s), S_OK);
        SysFreeString(s);
    };
    Put(&CSmtpNotification::put_ServerHost, u"127.0.0.1");
    Put(&CSmtpNotification::put_Sender, u"monitor@example.org");
    Put(&CSmtpNotification::put_ToRecipients, u"ops@example.org");
    Put(&CSmtpNotification::put_RetryIntervals, u"1");
    EXPECT_EQ(p->put_ServerPort(nPort), S_OK);
    const auto Handle = [&](std::u16string_view sSubject) {
        CComPtr<IActivityEvent> pEvent = testing_support::CFixedActivityEvent::Create(sSubject, u"", S_OK);
        EXPECT_EQ(static_cast<INotification*>(p)->Handle(nullptr, pEvent), S_OK);
    };
    Handle(u"refused");
    const auto GiveUpLines = [&] {
        Lines Found;
        for (const std::string& sLine : ReadLines())
            if (sLine.find("The message to 127.0.0.1:" + std::to_string(nPort) +
                           " has been given up after 2 attempts, the last failed with 0x8007274d") != std::string::npos)
                Found.push_back(sLine);
        return Found;
    };
    for (int i = 0; i < 100 && GiveUpLines().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    close(hBound);
    EXPECT_EQ(GiveUpLines().size(), 1u) << ReadLog();
    EXPECT_EQ(FailureLines().size(), 2u) << ReadLog();

    CScriptedSmtpServer Server(GREETING + EHLO + MAIL_FROM + RCPT + DATA +
                               std::vector<CStep>{ReadData(), Send("250 queued\r\n")});
    EXPECT_EQ(p->put_ServerPort(Server.GetPort()), S_OK);
    Handle(u"delivered");
    EXPECT_TRUE(Server.WaitUntilDone());
    p->Release();  // waits for the worker
    EXPECT_EQ(GiveUpLines().size(), 1u) << ReadLog();
    EXPECT_EQ(FailureLines().size(), 2u) << ReadLog();
}

// Each method refused, then the sender refused for want of authentication: the line tells both, and nothing
// that was sent to authenticate reaches the trace.
TEST_F(SmtpDiagnostics, CredentialsNeverReachTheTrace) {
    const std::string sName = "jane.credential";
    const std::string sPassword = "Pa55-secret-word";
    CScriptedSmtpServer Server(
        GREETING + EHLO +
        std::vector<CStep>{ReadLine(), Send("334 VXNlcm5hbWU6\r\n"), ReadLine(), Send("334 UGFzc3dvcmQ6\r\n"),
                           ReadLine(), Send("535 5.7.8 login refused\r\n"), ReadLine(),
                           Send("334 PDEyMzQ1QGV4YW1wbGUub3JnPg==\r\n"), ReadLine(), Send("535 5.7.8 cram refused\r\n"),
                           ReadLine(), Send("535 5.7.8 plain refused\r\n"), ReadLine(),
                           Send("530 5.7.0 authentication required\r\n")});
    CSmtpSettings Settings = MakeSettings(Server.GetPort());
    Settings.m_AuthMethodList.SetAsString(u"login,cram-md5,plain");
    Settings.m_sAuthenticationName = comrt::ToUtf16(sName);
    Settings.m_sAuthenticationPassword = comrt::ToUtf16(sPassword);
    CSmtpClientConnection Connection;
    Connection.Deliver(Settings, MESSAGE);
    ASSERT_TRUE(Server.WaitUntilDone());

    const std::string sPlain = EncodeBase64(std::string(1, '\0') + sName + '\0' + sPassword);
    const std::string sCram =
        EncodeBase64(sName + " " + _Md5Helper::ToHex(_Md5Helper::Hmac(sPassword, "<12345@example.org>")));
    // They were sent, so the trace had its chance to take them.
    EXPECT_EQ(Server.GetCommands(),
              (Lines{"EHLO 127.0.0.1", "AUTH LOGIN", EncodeBase64(sName), EncodeBase64(sPassword), "AUTH CRAM-MD5",
                     sCram, "AUTH PLAIN " + sPlain, "MAIL FROM:<monitor@example.org>"}));
    const std::string sLog = ReadLog();
    for (const std::string& sSecret :
         {sName, sPassword, EncodeBase64(sName), EncodeBase64(sPassword), sPlain, sCram, sPlain.substr(4, 12)})
        EXPECT_EQ(sLog.find(sSecret), std::string::npos) << sSecret << "\n" << sLog;
    EXPECT_EQ(Connection.GetLastFailure(),
              "The delivery to 127.0.0.1:" + std::to_string(Server.GetPort()) +
                  " failed at MAIL FROM: the server answered 530 5.7.0 authentication required (0xa7650223); "
                  "authentication failed before: AUTH PLAIN answered 535 5.7.8 plain refused");
}

TEST_F(SmtpDiagnostics, PlainInItsPlaceOfTheConfiguredOrder) {
    // The exchange of RFC 4616's example, without an authorization identity: "tim" / "tanstaaftanstaaf".
    for (const auto& [pszMethods, Commands] :
         {std::pair{u"plain", Lines{"AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm"}},
          std::pair{u"login,PLAIN", Lines{"AUTH LOGIN", "AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm"}},
          std::pair{u"plain,login", Lines{"AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm", "AUTH LOGIN", "dGlt",
                                          "dGFuc3RhYWZ0YW5zdGFhZg=="}}}) {
        const bool bPlainFirst = Commands.front().starts_with("AUTH PLAIN");
        const bool bPlainAccepted = !bPlainFirst || Commands.size() == 1;
        std::vector<CStep> Script = GREETING + EHLO;
        if (!bPlainFirst) Script = Script + std::vector<CStep>{ReadLine(), Send("504 not this one\r\n")};
        Script = Script + std::vector<CStep>{ReadLine(), Send(bPlainAccepted ? "235 welcome\r\n" : "535 no\r\n")};
        if (!bPlainAccepted)
            Script = Script + std::vector<CStep>{ReadLine(), Send("334 VXNlcm5hbWU6\r\n"),
                                                 ReadLine(), Send("334 UGFzc3dvcmQ6\r\n"),
                                                 ReadLine(), Send("235 welcome\r\n")};
        CScriptedSmtpServer Server(Script);
        CSmtpSettings Settings = MakeSettings(Server.GetPort());
        Settings.m_AuthMethodList.SetAsString(pszMethods);
        Settings.m_sAuthenticationName = u"tim";
        Settings.m_sAuthenticationPassword = u"tanstaaftanstaaf";
        CSmtpClientConnection Connection;
        Connection.SetTimeout(5000);
        Connection.Connect(u"127.0.0.1", Server.GetPort());
        Connection.ReceiveInRange(200, 299);
        Connection.Send(std::string_view("EHLO 127.0.0.1\r\n"));
        Connection.ReceiveInRange(200, 299);
        // The name comes back as the list writes it.
        EXPECT_EQ(Connection.Authenticate(Settings), bPlainAccepted && !bPlainFirst ? u"PLAIN"
                                                     : bPlainAccepted               ? u"plain"
                                                                                    : u"login");
        Connection.Close();
        ASSERT_TRUE(Server.WaitUntilDone());
        Lines Expected = {"EHLO 127.0.0.1"};
        Expected.insert(Expected.end(), Commands.begin(), Commands.end());
        EXPECT_EQ(Server.GetCommands(), Expected);
    }
}

// Against the real server: a wrong password is refused, and the trace names the reply only.
TEST_F(SmtpDiagnostics, RealServerRefusalIsTracedWithoutThePassword) {
    if (!testing_support::CSmtpTestServer::IsNodeAvailable())
        GTEST_SKIP() << "node is not installed: the real SMTP server cannot run";
    testing_support::CSmtpTestServer Server;
    ASSERT_TRUE(Server.Start(0, {"--auth-required"})) << Server.GetError();
    CSmtpSettings Settings = MakeSettings(Server.GetPort());
    Settings.m_AuthMethodList.SetAsString(u"plain");
    Settings.m_sAuthenticationName = u"harkwell";
    Settings.m_sAuthenticationPassword = u"wrong-Pa55word";
    CSmtpClientConnection Connection;
    Connection.Deliver(Settings, MESSAGE);
    EXPECT_FALSE(SUCCEEDED(Connection.GetLastResult()));
    const std::string sLog = ReadLog();
    EXPECT_EQ(sLog.find("wrong-Pa55word"), std::string::npos) << sLog;
    EXPECT_EQ(sLog.find(EncodeBase64(std::string(1, '\0') + "harkwell" + '\0' + "wrong-Pa55word")), std::string::npos);
    EXPECT_NE(Connection.GetLastFailure().find("failed at MAIL FROM: the server answered 530"), std::string::npos)
        << Connection.GetLastFailure();
    EXPECT_NE(Connection.GetLastFailure().find("authentication failed before: AUTH PLAIN answered 535"),
              std::string::npos)
        << Connection.GetLastFailure();
    EXPECT_EQ(Server.GetMessages().size(), 0u);
}

}  // namespace

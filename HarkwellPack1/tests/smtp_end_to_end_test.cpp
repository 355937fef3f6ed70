// The e-mail notification end to end: an object of the library, configured only through its properties, is
// handed events with non-ASCII texts; a real SMTP server on the loopback takes the messages after
// authenticating the sender, and a MIME parser that is none of ours (Python's email package) reads each
// stored message back. What the parser sees has to be what the templates and the recipient lists give.
#include <gtest/gtest.h>

#include "FixedActivityEvent.h"
#include "OwnedBstr.h"

#include <cctype>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "../../corvane/tests/tracelog.h"
#include "PythonMessageParser.h"
#include "SmtpNotification.h"
#include "SmtpTestServer.h"
#include "comrt/oleauto.h"
#include "comrt/text.h"

namespace {

using testing_support::CSmtpTestServer;

// What a mail reader would show of one stored message read with email.message_from_bytes under the default
// policy, one field a line.
constexpr char kParseLines[] = R"PY(
out('subject', m['subject'])
out('from-name', m['from'].addresses[0].display_name)
out('from-address', m['from'].addresses[0].addr_spec)
out('to', ','.join(a.addr_spec for a in m['to'].addresses))
out('cc', ','.join(a.addr_spec for a in m['cc'].addresses))
out('bcc-header', 'bcc' in m)
out('type', m.get_content_type())
part = m.get_body(('plain',))
out('part-type', part.get_content_type())
out('charset', part.get_content_charset())
out('body', part.get_payload(decode=True))
out('text', part.get_content())
out('defects', sum(len(p.defects) for p in m.walk()))
)PY";

HRESULT HandleEvent(INotification* pNotification, std::u16string_view sSubject, std::u16string_view sBody) {
    CComPtr<IActivityEvent> pEvent = testing_support::CFixedActivityEvent::Create(sSubject, sBody);
    return pEvent ? pNotification->Handle(nullptr, pEvent) : E_OUTOFMEMORY;
}

// The fields the parser printed for the message data; empty when the parser did not run to its end.
std::map<std::string, std::string> ParseWithPython(const std::string& sData, std::string& sOutput) {
    return testing_support::ParseMessageWithPython(kParseLines, sData, sOutput);
}

constexpr char16_t kDefaultBodyStart[] =
    u"Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event details "
    u"below:\r\n\r\n";

struct CMethodCase {
    const char16_t* pszSetting;  // the AuthenticationMethods text
    const char* pszServerName;   // the method as the server reports it
};

class SmtpEndToEnd : public tracelog::CTraceTest, public ::testing::WithParamInterface<CMethodCase> {
protected:
    void SetUp() override {
        tracelog::CTraceTest::SetUp();
        if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the SMTP server cannot run";
        // The server refuses the message unless the authentication succeeded.
        ASSERT_TRUE(m_Server.Start(0, {"--auth-required"})) << m_Server.GetError();
    }

    // A notification made as the library makes it, configured through its settings interface.
    CComPtr<INotification> CreateNotification() {
        CComPtr<ISmtpNotification> pSettings;
        EXPECT_EQ(CreateObjectT<CSmtpNotification>(IidOf<ISmtpNotification>(), reinterpret_cast<void**>(&pSettings)),
                  S_OK);
        if (!pSettings) return {};
        EXPECT_EQ(pSettings->put_ServerHost(CBstr(u"127.0.0.1")), S_OK);
        EXPECT_EQ(pSettings->put_ServerPort(m_Server.GetPort()), S_OK);
        EXPECT_EQ(pSettings->put_Sender(CBstr(u"Corvane Harkwell <harkwell@localhost>")), S_OK);
        EXPECT_EQ(pSettings->put_ToRecipients(CBstr(u"ops@localhost, oncall@localhost")), S_OK);
        EXPECT_EQ(pSettings->put_CcRecipients(CBstr(u"lead@localhost")), S_OK);
        EXPECT_EQ(pSettings->put_BccRecipients(CBstr(u"audit@localhost")), S_OK);
        EXPECT_EQ(pSettings->put_AuthenticationMethods(CBstr(GetParam().pszSetting)), S_OK);
        EXPECT_EQ(pSettings->put_AuthenticationName(CBstr(comrt::ToUtf16(CSmtpTestServer::USER))), S_OK);
        EXPECT_EQ(pSettings->put_AuthenticationPassword(CBstr(comrt::ToUtf16(CSmtpTestServer::PASSWORD))), S_OK);
        EXPECT_EQ(pSettings->put_Timeout(10000), S_OK);
        CComPtr<INotification> pNotification;
        EXPECT_EQ(pSettings->QueryInterface(IidOf<INotification>(), reinterpret_cast<void**>(&pNotification)), S_OK);
        return pNotification;
    }

    // Checks the envelope and what the parser reads from one stored message.
    void ExpectMessage(const testing_support::CReceivedMessage& Message, std::u16string_view sEventSubject,
                       std::u16string_view sEventBody) {
        EXPECT_EQ(Message.sMailFrom, "harkwell@localhost");
        // The blind copy's recipient is in the envelope only.
        EXPECT_EQ(Message.RcptTo,
                  (std::vector<std::string>{"ops@localhost", "oncall@localhost", "lead@localhost", "audit@localhost"}));
        EXPECT_EQ(Message.sUser, CSmtpTestServer::USER);
        EXPECT_EQ(Message.sAuthMethod, GetParam().pszServerName);
        EXPECT_EQ(Message.sData.find("audit@"), std::string::npos) << Message.sData;

        std::string sOutput;
        const std::map<std::string, std::string> Fields = ParseWithPython(Message.sData, sOutput);
        ASSERT_FALSE(Fields.empty()) << "the parser failed:\n" << sOutput;
        const auto Field = [&](const char* pszName) {
            const auto Iterator = Fields.find(pszName);
            return Iterator == Fields.end() ? std::string("<missing>") : Iterator->second;
        };
        EXPECT_EQ(Field("subject"), "Corvane Harkwell: " + comrt::ToUtf8(sEventSubject));
        EXPECT_EQ(Field("from-name"), "Corvane Harkwell");
        EXPECT_EQ(Field("from-address"), "harkwell@localhost");
        EXPECT_EQ(Field("to"), "ops@localhost,oncall@localhost");
        EXPECT_EQ(Field("cc"), "lead@localhost");
        EXPECT_EQ(Field("bcc-header"), "False");
        EXPECT_EQ(Field("type"), "multipart/mixed");
        EXPECT_EQ(Field("part-type"), "text/plain");
        EXPECT_EQ(Field("charset"), "utf-8");
        const std::string sExpectedBody = comrt::ToUtf8(kDefaultBodyStart + std::u16string(sEventBody));
        EXPECT_EQ(Field("body"), sExpectedBody);
        EXPECT_EQ(Field("text"), sExpectedBody);
        EXPECT_EQ(Field("defects"), "0") << Message.sData;
    }

    CSmtpTestServer m_Server;
};

TEST_P(SmtpEndToEnd, NonAsciiEventsReadBackByAMimeParser) {
    const std::u16string sSubject = u"\u00dcberwachung: 127.0.0.1 ist offline \u2014 \u6771\u4eac";
    const std::u16string sBody =
        u"Host: 127.0.0.1\r\nStatus: keine Antwort seit 3 Versuchen\r\n\r\n.Punkt am Zeilenanfang\r\n\u6771\u4eac "
        u"\u76e3\u8996 \u2014 \u00e4\u00f6\u00fc\u00df";
    // Long enough for many encoded lines, with multi-byte characters falling across the 57-byte groups.
    std::u16string sLongBody;
    for (int nLine = 1; nLine <= 120; ++nLine)
        sLongBody += u"Zeile " + comrt::ToUtf16(std::to_string(nLine)) + u": Pr\u00fcfung \u2014 \u76e3\u8996\r\n";

    CComPtr<INotification> pNotification = CreateNotification();
    ASSERT_TRUE(pNotification);
    EXPECT_EQ(HandleEvent(pNotification, sSubject, sBody), S_OK);
    EXPECT_EQ(HandleEvent(pNotification, u"second", sLongBody), S_OK);

    ASSERT_TRUE(m_Server.WaitForMessageCount(2, std::chrono::seconds(30)));
    pNotification.Release();  // waits for the worker thread, so nothing is delivered after this
    // Neither delivery traced a failed step (one the server took before failing would not show otherwise).
    EXPECT_EQ(ReadLog().find("Exception 0x"), std::string::npos) << ReadLog();
    const std::vector<testing_support::CReceivedMessage> Messages = m_Server.GetMessages();
    ASSERT_EQ(Messages.size(), 2u);
    ExpectMessage(Messages[0], sSubject, sBody);
    ExpectMessage(Messages[1], u"second", sLongBody);
}

INSTANTIATE_TEST_SUITE_P(Methods, SmtpEndToEnd,
                         ::testing::Values(CMethodCase{u"login", "LOGIN"}, CMethodCase{u"cram-md5", "CRAM-MD5"}),
                         [](const ::testing::TestParamInfo<CMethodCase>& Info) {
                             std::string sName;
                             for (const char c : std::string(Info.param.pszServerName))
                                 if (std::isalnum(static_cast<unsigned char>(c))) sName += c;
                             return sName;
                         });

}  // namespace

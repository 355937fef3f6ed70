// The message as a mail reader sees it: a notification of the library composes and delivers an event to a real
// SMTP server on the loopback, and the npm mailparser package, a MIME parser that is none of ours, reads the
// stored message back: a Date that parses to the time of the delivery, the decoded non-ASCII subject and names,
// and the To list with a name that holds a comma as one address.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FixedActivityEvent.h"
#include "OwnedBstr.h"
#include "PythonMessageParser.h"
#include "SmtpNotification.h"
#include "SmtpTestServer.h"
#include "comrt/oleauto.h"
#include "comrt/text.h"
#include "corvane/ullisttext.h"

namespace {

using testing_support::CSmtpTestServer;

// The fields read-message.js printed for the message data; empty when it failed.
std::map<std::string, std::string> ReadWithMailParser(const std::string& sData, std::string& sOutput) {
    const testing_support::CTemporaryDirectory Folder;
    const std::filesystem::path File = Folder.Path() / "message.eml";
    std::ofstream(File, std::ios::binary) << sData;
    const testing_support::ProcessResult Result = testing_support::RunProgram(
        {CSmtpTestServer::FindNode(), (CSmtpTestServer::GetToolDirectory() / "read-message.js").string(),
         File.string()});
    sOutput = Result.sOutput;
    std::map<std::string, std::string> Fields;
    if (Result.nExitCode != 0) return Fields;
    std::istringstream Lines(Result.sOutput);
    for (std::string sLine; std::getline(Lines, sLine);) {
        const std::size_t nBlank = sLine.find(' ');
        if (nBlank != std::string::npos)
            Fields[sLine.substr(0, nBlank)] = testing_support::FromHex(sLine.substr(nBlank + 1));
    }
    return Fields;
}

// Seconds since 1970 of an ISO 8601 UTC time as JavaScript writes it ("2026-12-09T21:42:30.000Z"), -1 if not.
std::time_t FromIsoTime(const std::string& sTime) {
    std::tm Time{};
    const char* pszEnd = strptime(sTime.c_str(), "%Y-%m-%dT%H:%M:%S", &Time);
    return pszEnd == nullptr ? -1 : timegm(&Time);
}

TEST(SmtpMessageReader, MailParserReadsTheDeliveredMessage) {
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "node is not installed: the SMTP server cannot run";
    if (!std::filesystem::exists(CSmtpTestServer::GetToolDirectory() / "node_modules" / "mailparser"))
        FAIL() << "the npm packages of the SMTP test server are missing: run scripts/install-test-tools.sh";
    CSmtpTestServer Server;
    ASSERT_TRUE(Server.Start()) << Server.GetError();
    // A zone three and a half hours behind universal time, all year.
    const char* pszZone = getenv("TZ");
    const std::string sOldZone = pszZone != nullptr ? pszZone : "";
    setenv("TZ", "<-0330>3:30", 1);
    tzset();

    CComPtr<ISmtpNotification> pSettings;
    ASSERT_EQ(CreateObjectT<CSmtpNotification>(IidOf<ISmtpNotification>(), reinterpret_cast<void**>(&pSettings)), S_OK);
    EXPECT_EQ(pSettings->put_ServerHost(CBstr(u"127.0.0.1")), S_OK);
    EXPECT_EQ(pSettings->put_ServerPort(Server.GetPort()), S_OK);
    EXPECT_EQ(pSettings->put_Sender(CBstr(u"\"Corvane Harkwell \u2014 \u76e3\u8996\" <harkwell@localhost>")), S_OK);
    const std::u16string sTo = corvane::JoinList(
        {u"\"Bob, Ops\" <bob@localhost>", u"\"M\u00fcller, J\u00f6rg\" <jm@localhost>", u"ops@localhost"});
    EXPECT_EQ(pSettings->put_ToRecipients(CBstr(sTo)), S_OK);
    EXPECT_EQ(pSettings->put_CcRecipients(CBstr(u"\u6771\u4eac \u30c1\u30fc\u30e0 <tokyo@localhost>")), S_OK);
    EXPECT_EQ(pSettings->put_Subject(CBstr(u"Harkwell: $(Subject)")), S_OK);
    EXPECT_EQ(pSettings->put_Body(CBstr(u"$(Body)")), S_OK);
    EXPECT_EQ(pSettings->put_Timeout(10000), S_OK);
    CComPtr<INotification> pNotification;
    ASSERT_EQ(pSettings->QueryInterface(IidOf<INotification>(), reinterpret_cast<void**>(&pNotification)), S_OK);

    const std::time_t nBefore = std::time(nullptr);
    CComPtr<IActivityEvent> pEvent = testing_support::CFixedActivityEvent::Create(
        u"\u00dcberwachung: 127.0.0.1 ist offline \u2014 \u6771\u4eac", u"Zeile 1\r\nPr\u00fcfung \u76e3\u8996");
    ASSERT_TRUE(pEvent);
    EXPECT_EQ(pNotification->Handle(nullptr, pEvent), S_OK);
    const bool bDelivered = Server.WaitForMessageCount(1, std::chrono::seconds(30));
    pNotification.Release();
    pSettings.Release();
    const std::time_t nAfter = std::time(nullptr);
    if (pszZone != nullptr) {
        setenv("TZ", sOldZone.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    ASSERT_TRUE(bDelivered);

    const std::vector<testing_support::CReceivedMessage> Messages = Server.GetMessages();
    ASSERT_EQ(Messages.size(), 1u);
    // The envelope takes the mailboxes of the same items.
    EXPECT_EQ(Messages[0].sMailFrom, "harkwell@localhost");
    EXPECT_EQ(Messages[0].RcptTo,
              (std::vector<std::string>{"bob@localhost", "jm@localhost", "ops@localhost", "tokyo@localhost"}));
    std::string sOutput;
    const std::map<std::string, std::string> Fields = ReadWithMailParser(Messages[0].sData, sOutput);
    ASSERT_FALSE(Fields.empty()) << "mailparser failed:\n" << sOutput << "\n" << Messages[0].sData;
    const auto Field = [&](const char* pszName) {
        const auto Iterator = Fields.find(pszName);
        return Iterator == Fields.end() ? std::string("<missing>") : Iterator->second;
    };
    EXPECT_TRUE(std::regex_match(Field("date-header"),
                                 std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                                            "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 20[0-9][0-9] "
                                            "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] -0330")))
        << Field("date-header");
    const std::time_t nDate = FromIsoTime(Field("date"));
    EXPECT_GE(nDate, nBefore) << Field("date");
    EXPECT_LE(nDate, nAfter) << Field("date");
    EXPECT_EQ(Field("subject"),
              comrt::ToUtf8(u"Harkwell: \u00dcberwachung: 127.0.0.1 ist offline \u2014 \u6771\u4eac"));
    EXPECT_EQ(Field("from"), comrt::ToUtf8(u"Corvane Harkwell \u2014 \u76e3\u8996/harkwell@localhost"));
    EXPECT_EQ(Field("to"), comrt::ToUtf8(u"Bob, Ops/bob@localhost|M\u00fcller, J\u00f6rg/jm@localhost|/ops@localhost"));
    EXPECT_EQ(Field("cc"), comrt::ToUtf8(u"\u6771\u4eac \u30c1\u30fc\u30e0/tokyo@localhost"));
    // The parser gives line breaks as LF.
    EXPECT_EQ(Field("text"), comrt::ToUtf8(u"Zeile 1\nPr\u00fcfung \u76e3\u8996"));
}

}  // namespace

// Message composition: template expansion, the message text byte for byte, header values that cannot break
// lines, the Base64 body layout at 57 and 58 bytes, the message counter, and a mail parser's reading of a
// composed message.
#include "SmtpMessage.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "corvane/ulcrypt.h"

namespace {

const char16_t kDefaultSubject[] = u"Corvane Harkwell: $(Subject)";
const char16_t kDefaultBody[] =
    u"Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event "
    u"details below:\r\n\r\n$(Body)";

CSmtpSettings DefaultSettings() {
    CSmtpSettings Settings;
    Settings.m_sServerHost = u"mail.example.org";
    Settings.m_nServerPort = 587;
    Settings.m_sSender = u"Harkwell <harkwell@example.org>";
    Settings.m_sToRecipients = u"ops@example.org, \"Doe, Jane\" <jane@example.org>";
    Settings.m_sCcRecipients = u"boss@example.org";
    Settings.m_sBccRecipients = u"hidden@example.org";
    Settings.m_sSubject = kDefaultSubject;
    Settings.m_sBody = kDefaultBody;
    return Settings;
}

std::u16string Expand(std::u16string_view sTemplate, std::u16string_view sSubject = u"SUBJ",
                      std::u16string_view sBody = u"BODY") {
    const CTemplateVariableMap VariableMap{{u"Subject", std::u16string(sSubject)}, {u"Body", std::u16string(sBody)}};
    std::u16string sOutput = u"untouched";
    if (ExpandTemplate(VariableMap, sTemplate, sOutput)) return sOutput;
    EXPECT_EQ(sOutput, u"untouched");
    return u"<failed>";
}

std::string Base64(std::string_view sBytes) {
    return _Base64Helper::Encode(sBytes);
}

TEST(SmtpTemplate, ReferencesAndOrdinaryText) {
    EXPECT_EQ(Expand(u""), u"");
    EXPECT_EQ(Expand(u"no references"), u"no references");
    EXPECT_EQ(Expand(u"$(Subject) and $(subject)"), u"SUBJ and SUBJ");
    EXPECT_EQ(Expand(u"$1 $(Unknown) $(Body) $() $"), u"$1 $(Unknown) BODY $() $");
    EXPECT_EQ(Expand(u"$$(Body)"), u"$BODY");
    EXPECT_EQ(Expand(u"x$(BODY)y$(Body"), u"<failed>");
    EXPECT_EQ(Expand(u"$(Body"), u"<failed>");
    EXPECT_EQ(Expand(u"(Body) )$ ("), u"(Body) )$ (");
    // Names are not trimmed, and values are inserted as they are.
    EXPECT_EQ(Expand(u"$( Body)"), u"$( Body)");
    EXPECT_EQ(Expand(u"<$(Body)>", u"S", u"$(Subject)"), u"<$(Subject)>");
}

TEST(SmtpMessage, ComposedByteForByte) {
    const std::string sData =
        FormatMessageData(DefaultSettings(), u"Host down", u"Ping: host is offline", 0xFFFFFFFEu, 7);
    const std::string sBody =
        "Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event "
        "details below:\r\n\r\nPing: host is offline";
    const std::string sExpected =
        "Message-ID: <-2.7@mail.example.org:587>\r\n"
        "From: Harkwell <harkwell@example.org>\r\n"
        "To: ops@example.org, \"Doe, Jane\" <jane@example.org>\r\n"
        "CC: boss@example.org\r\n"
        "Subject: Corvane Harkwell: Host down\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"--separator\"\r\n"
        "\r\n"
        "----separator\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: inline\r\n"
        "\r\n" +
        Base64(sBody) +
        "\r\n"
        "----separator--\r\n";
    EXPECT_EQ(sData, sExpected);
    EXPECT_EQ(sData.find("hidden@"), std::string::npos);
}

TEST(SmtpMessage, OptionalHeadersAndEmptyTexts) {
    CSmtpSettings Settings;
    Settings.m_sSubject = u"$(Subject";  // never closed: no subject at all
    Settings.m_sBody = u"";
    const std::string sData = FormatMessageData(Settings, u"s", u"b", 12, 1);
    EXPECT_EQ(sData,
              "Message-ID: <12.1@:25>\r\n"
              "From: \r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: multipart/mixed; boundary=\"--separator\"\r\n"
              "\r\n"
              "----separator\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "Content-Disposition: inline\r\n"
              "\r\n"
              "\r\n"
              "----separator--\r\n");
}

// Body texts of 57 bytes end their Base64 text with CR LF, so an empty line precedes the closing delimiter;
// 58 bytes put the last group on a line of its own.
TEST(SmtpMessage, BodyLinesAtWholeLineSizes) {
    CSmtpSettings Settings;
    Settings.m_sBody = u"$(Body)";
    const auto BodySection = [&](std::u16string_view sBody) {
        const std::string sData = FormatMessageData(Settings, u"", sBody, 0, 1);
        const std::size_t nStart = sData.find("inline\r\n\r\n") + 10;
        return sData.substr(nStart, sData.find("----separator--") - nStart);
    };
    const std::string s57 = BodySection(std::u16string(57, u'a'));
    ASSERT_EQ(s57.size(), 76u + 4u);
    EXPECT_EQ(s57.substr(76), "\r\n\r\n");
    const std::string s58 = BodySection(std::u16string(58, u'a'));
    EXPECT_EQ(s58.substr(76), "\r\nYQ==\r\n");
    // Non-ASCII body text goes out as UTF-8.
    EXPECT_EQ(BodySection(u"\u00e9"), Base64("\xc3\xa9") + "\r\n");
}

TEST(SmtpMessage, HeaderValuesCannotStartLines) {
    CSmtpSettings Settings = DefaultSettings();
    Settings.m_sServerHost = u"host\r\nX-Injected: 1";
    Settings.m_sSender = u"a@b\nBcc: victim@example.org";
    Settings.m_sToRecipients = u"x@y\r";
    Settings.m_sCcRecipients = u"\nc@d";
    Settings.m_sSubject = u"$(Subject)";
    Settings.m_sBody = u"$(Body)";
    const std::string sData = FormatMessageData(Settings, u"file\r\nname.txt\r\n", u"body\r\nline", 5, 2);
    const std::size_t nHeaderEnd = sData.find("\r\n\r\n");
    ASSERT_NE(nHeaderEnd, std::string::npos);
    const std::string sHeader = sData.substr(0, nHeaderEnd + 2);
    EXPECT_EQ(sHeader,
              "Message-ID: <5.2@host  X-Injected: 1:587>\r\n"
              "From: a@b Bcc: victim@example.org\r\n"
              "To: x@y \r\n"
              "CC:  c@d\r\n"
              "Subject: file  name.txt  \r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: multipart/mixed; boundary=\"--separator\"\r\n");
    // The body keeps its line breaks.
    EXPECT_NE(sData.find(Base64("body\r\nline")), std::string::npos);
}

TEST(SmtpMessage, ConsecutiveMessageNumbers) {
    const CSmtpSettings Settings = DefaultSettings();
    const auto Number = [](const std::string& sData) {
        const std::size_t nDot = sData.find('.');
        return std::stol(sData.substr(nDot + 1, sData.find('@') - nDot - 1));
    };
    const long nFirst = Number(CreateMessageData(Settings, u"a", u"b"));
    const long nSecond = Number(CreateMessageData(Settings, u"a", u"b"));
    EXPECT_GE(nFirst, 1);
    EXPECT_EQ(nSecond, nFirst + 1);
    EXPECT_EQ(GetNextMessageNumber(), nSecond + 1);
}

// A mail parser reads the composed message: subject, sender, recipients and the decoded UTF-8 body.
TEST(SmtpMessage, MailParserReadsTheMessage) {
    CSmtpSettings Settings = DefaultSettings();
    const std::string sData =
        FormatMessageData(Settings, u"Caf\u00e9 d\u00f6wn", u"Prozess \u00fcberwacht: \u65e5\u672c\r\nZeile 2", 1, 1);
    char szPath[] = "/tmp/smtp_message_testXXXXXX";
    const int nFd = mkstemp(szPath);
    ASSERT_GE(nFd, 0);
    ASSERT_EQ(write(nFd, sData.data(), sData.size()), static_cast<ssize_t>(sData.size()));
    close(nFd);
    const std::string sCommand = std::string("python3 -c '") +
                                 "import email, email.policy, sys\n"
                                 "text = open(sys.argv[1], \"rb\").read().decode(\"utf-8\")\n"
                                 "m = email.message_from_string(text, policy=email.policy.default)\n"
                                 "parts = [p for p in m.walk() if not p.is_multipart()]\n"
                                 "out = [m[\"Subject\"], m[\"From\"], m[\"To\"], m[\"CC\"], str(m[\"Bcc\"]),\n"
                                 "       m.get_content_type(), str(len(parts)),\n"
                                 "       parts[0].get_payload(decode=True).decode(\"utf-8\")]\n"
                                 "sys.stdout.buffer.write(\"|\".join(out).encode(\"utf-8\"))\n"
                                 "' " +
                                 szPath + " 2>&1";
    FILE* pPipe = popen(sCommand.c_str(), "r");
    ASSERT_NE(pPipe, nullptr);
    std::string sOutput;
    char pBuffer[4096];
    for (std::size_t n; (n = fread(pBuffer, 1, sizeof pBuffer, pPipe)) > 0;) sOutput.append(pBuffer, n);
    EXPECT_EQ(pclose(pPipe), 0) << sOutput;
    unlink(szPath);
    EXPECT_EQ(sOutput,
              "Corvane Harkwell: Caf\xc3\xa9 d\xc3\xb6wn|Harkwell <harkwell@example.org>|"
              "ops@example.org, \"Doe, Jane\" <jane@example.org>|boss@example.org|None|multipart/mixed|1|"
              "Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event "
              "details below:\r\n\r\nProzess \xc3\xbc"
              "berwacht: \xe6\x97\xa5\xe6\x9c\xac\r\nZeile 2");
}

}  // namespace

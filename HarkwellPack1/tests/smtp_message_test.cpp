// Message composition: template expansion, the message text byte for byte, the Date header across time
// zones, encoded words for non-ASCII subjects and names, address lists from list text, header values that
// cannot break lines, the Base64 body layout at 57 and 58 bytes, the message counter, and a mail parser's
// reading of a composed message.
#include "SmtpMessage.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "PythonMessageParser.h"
#include "SmtpClientConnection.h"
#include "comrt/text.h"
#include "corvane/ulcrypt.h"
#include "corvane/ullisttext.h"

namespace {

// 2026-12-09 21:42:30 UTC.
constexpr std::time_t kTime = 1796852550;

// TZ set for the life of the object, and the earlier value back afterwards.
class CTimeZone {
public:
    explicit CTimeZone(const char* pszZone) {
        if (const char* pszOld = std::getenv("TZ")) {
            m_sOld = pszOld;
            m_bHadOld = true;
        }
        setenv("TZ", pszZone, 1);
        tzset();
    }
    ~CTimeZone() {
        if (m_bHadOld) {
            setenv("TZ", m_sOld.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    CTimeZone(const CTimeZone&) = delete;
    CTimeZone& operator=(const CTimeZone&) = delete;

private:
    std::string m_sOld;
    bool m_bHadOld = false;
};

const char16_t kDefaultSubject[] = u"Corvane Harkwell: $(Subject)";
const char16_t kDefaultBody[] =
    u"Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event "
    u"details below:\r\n\r\n$(Body)";

CSmtpSettings DefaultSettings() {
    CSmtpSettings Settings;
    Settings.m_sServerHost = u"mail.example.org";
    Settings.m_nServerPort = 587;
    Settings.m_sSender = u"Harkwell <harkwell@example.org>";
    // List text: the second item is "Doe, Jane" <jane@example.org>.
    Settings.m_sToRecipients = u"ops@example.org, \"\"\"Doe, Jane\"\" <jane@example.org>\"";
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
    const CTimeZone Zone("UTC0");
    const std::string sData =
        FormatMessageData(DefaultSettings(), u"Host down", u"Ping: host is offline", 0xFFFFFFFEu, 7, kTime);
    const std::string sBody =
        "Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event "
        "details below:\r\n\r\nPing: host is offline";
    const std::string sExpected =
        "Message-ID: <-2.7@mail.example.org:587>\r\n"
        "Date: Wed, 09 Dec 2026 21:42:30 +0000\r\n"
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
    const CTimeZone Zone("UTC0");
    const std::string sData = FormatMessageData(Settings, u"s", u"b", 12, 1, 0);
    EXPECT_EQ(sData,
              "Message-ID: <12.1@:25>\r\n"
              "Date: Thu, 01 Jan 1970 00:00:00 +0000\r\n"
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
        const std::string sData = FormatMessageData(Settings, u"", sBody, 0, 1, kTime);
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

// The names of the header fields, in order: a line that starts with a blank or a tab continues a field.
std::vector<std::string> HeaderFieldNames(const std::string& sData) {
    std::vector<std::string> Names;
    const std::string sHeader = sData.substr(0, sData.find("\r\n\r\n") + 2);
    for (std::size_t nStart = 0; nStart < sHeader.size();) {
        const std::size_t nEnd = sHeader.find("\r\n", nStart);
        const std::string sLine = sHeader.substr(nStart, nEnd - nStart);
        if (!sLine.empty() && sLine[0] != ' ' && sLine[0] != '\t') Names.push_back(sLine.substr(0, sLine.find(':')));
        nStart = nEnd + 2;
    }
    return Names;
}

// Whether every CR of the text is followed by LF and every LF preceded by CR.
bool OnlyLineBreakPairs(const std::string& sData) {
    for (std::size_t n = 0; n < sData.size(); ++n) {
        if (sData[n] == '\r' && (n + 1 == sData.size() || sData[n + 1] != '\n')) return false;
        if (sData[n] == '\n' && (n == 0 || sData[n - 1] != '\r')) return false;
    }
    return true;
}

TEST(SmtpMessage, HeaderValuesCannotStartLines) {
    const CTimeZone Zone("UTC0");
    CSmtpSettings Settings = DefaultSettings();
    Settings.m_sServerHost = u"host\r\nX-Injected: 1";
    Settings.m_sSender = u"a@b\nBcc: victim@example.org";
    Settings.m_sToRecipients = u"x@y\r";
    Settings.m_sCcRecipients = u"\nc@d";
    Settings.m_sSubject = u"$(Subject)";
    Settings.m_sBody = u"$(Body)";
    const std::string sData = FormatMessageData(Settings, u"file\r\nname.txt\r\n", u"body\r\nline", 5, 2, kTime);
    const std::size_t nHeaderEnd = sData.find("\r\n\r\n");
    ASSERT_NE(nHeaderEnd, std::string::npos);
    const std::string sHeader = sData.substr(0, nHeaderEnd + 2);
    EXPECT_EQ(sHeader,
              "Message-ID: <5.2@host  X-Injected: 1:587>\r\n"
              "Date: Wed, 09 Dec 2026 21:42:30 +0000\r\n"
              "From: \"a@b Bcc: victim\"@example.org\r\n"
              "To: x@y\r\n"
              "CC: c@d\r\n"
              "Subject: file  name.txt  \r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: multipart/mixed; boundary=\"--separator\"\r\n");
    // The body keeps its line breaks.
    EXPECT_NE(sData.find(Base64("body\r\nline")), std::string::npos);
}

// Line breaks in any header input, encoded or folded or not, leave the fields as they are.
TEST(SmtpMessage, LineBreaksInEveryInputKeepTheFields) {
    const CTimeZone Zone("UTC0");
    struct CCase {
        const char16_t* pszHost;
        const char16_t* pszSender;
        const char16_t* pszTo;
        const char16_t* pszCc;
        std::u16string sSubject;
    };
    const std::u16string sLong = std::u16string(30, u'\u00fc') + u"\r\nBcc: v@x.org " + std::u16string(30, u'\u00e9');
    const CCase Cases[] = {
        {u"h\r\nBcc: v@x.org", u"s@x.org", u"t@x.org", u"c@x.org", u"plain"},
        {u"h", u"Ops\r\nBcc: v@x.org <ops@x.org>", u"t@x.org", u"c@x.org", u"plain"},
        {u"h", u"\"J\u00f6rg\r\nBcc: v@x.org\" <j@x.org>", u"t@x.org", u"c@x.org", u"plain"},
        {u"h", u"s@x.org", u"t@x.org\r\nBcc: v@x.org", u"c@x.org", u"plain"},
        {u"h", u"s@x.org", u"\"\"\"Bob\r\nBcc: v@x.org\"\" <b@x.org>\"", u"\"M\u00fc\nller <m@x.org>\"", u"plain"},
        {u"h", u"s@x.org", u"t@x.org", u"c@x.org", u"Caf\u00e9\r\nBcc: v@x.org"},
        {u"h", u"s@x.org", u"t@x.org", u"c@x.org", sLong},
        {u"h", u"s@x.org", u"t@x.org", u"c@x.org", u"\r\n"},
    };
    const std::vector<std::string> Expected{"Message-ID", "Date",    "From",         "To",
                                            "CC",         "Subject", "MIME-Version", "Content-Type"};
    for (const CCase& Case : Cases) {
        CSmtpSettings Settings = DefaultSettings();
        Settings.m_sServerHost = Case.pszHost;
        Settings.m_sSender = Case.pszSender;
        Settings.m_sToRecipients = Case.pszTo;
        Settings.m_sCcRecipients = Case.pszCc;
        Settings.m_sSubject = u"$(Subject)";
        const std::string sData = FormatMessageData(Settings, Case.sSubject, u"b", 1, 1, kTime);
        EXPECT_EQ(HeaderFieldNames(sData), Expected) << sData;
        EXPECT_TRUE(OnlyLineBreakPairs(sData)) << sData;
    }
}

// The Date header in local time with the zone's offset, standard and daylight saving time on both sides of
// universal time, zones a half or three quarters of an hour off, and a local date in another day or year.
TEST(SmtpMessage, DateInLocalTimeWithTheZoneOffset) {
    const struct {
        const char* pszZone;
        std::time_t nTime;
        const char* pszDate;
    } Cases[] = {
        {"UTC0", kTime, "Wed, 09 Dec 2026 21:42:30 +0000"},
        {"UTC0", 0, "Thu, 01 Jan 1970 00:00:00 +0000"},
        {"UTC0", 1709168523, "Thu, 29 Feb 2024 01:02:03 +0000"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", kTime, "Wed, 09 Dec 2026 22:42:30 +0100"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1782907200, "Wed, 01 Jul 2026 14:00:00 +0200"},
        {"EST5EDT,M3.2.0,M11.1.0", kTime, "Wed, 09 Dec 2026 16:42:30 -0500"},
        {"EST5EDT,M3.2.0,M11.1.0", 1772953199, "Sun, 08 Mar 2026 01:59:59 -0500"},
        {"EST5EDT,M3.2.0,M11.1.0", 1772953200, "Sun, 08 Mar 2026 03:00:00 -0400"},
        {"IST-5:30", kTime, "Thu, 10 Dec 2026 03:12:30 +0530"},
        {"NPT-5:45", kTime, "Thu, 10 Dec 2026 03:27:30 +0545"},
        {"NST3:30NDT,M3.2.0,M11.1.0", kTime, "Wed, 09 Dec 2026 18:12:30 -0330"},
        {"NST3:30NDT,M3.2.0,M11.1.0", 1782907200, "Wed, 01 Jul 2026 09:30:00 -0230"},
        {"XXX0:30", kTime, "Wed, 09 Dec 2026 21:12:30 -0030"},
        {"<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", 1798714800, "Fri, 01 Jan 2027 00:45:00 +1345"},
    };
    for (const auto& Case : Cases) {
        const CTimeZone Zone(Case.pszZone);
        EXPECT_EQ(FormatMessageDate(Case.nTime), Case.pszDate) << Case.pszZone << " " << Case.nTime;
    }
}

// The encoded word of UTF-8 text, in one piece.
std::string EncodedWord(std::string_view sText) {
    return "=?UTF-8?B?" + Base64(sText) + "?=";
}

std::string SubjectLines(std::u16string_view sSubject) {
    CSmtpSettings Settings;
    Settings.m_sSubject = u"$(Subject)";
    const std::string sMessage = FormatMessageData(Settings, sSubject, u"", 1, 1, kTime);
    const std::size_t nStart = sMessage.find("Subject: ") + 9;
    return sMessage.substr(nStart, sMessage.find("\r\nMIME-Version") - nStart);
}

// ASCII subjects stay as they are, however long; the words that hold other characters become encoded words,
// adjacent ones (and the blanks between them) together, the blanks around them kept.
TEST(SmtpMessage, SubjectEncodedWhereItIsNotAscii) {
    const std::string sLongAscii = std::string(40, 'a') + " " + std::string(60, 'b');
    const struct {
        std::u16string sSubject;
        std::string sLine;
    } Cases[] = {
        {u"Corvane Harkwell: Host down", "Corvane Harkwell: Host down"},
        {comrt::ToUtf16(sLongAscii), sLongAscii},
        {u"Corvane Harkwell: Caf\u00e9 d\u00f6wn", "Corvane Harkwell: " + EncodedWord("Caf\xc3\xa9 d\xc3\xb6wn")},
        {u"Caf\u00e9 at noon", EncodedWord("Caf\xc3\xa9") + " at noon"},
        {u"  x  \u00e9\t\u00fc  y  ", "  x  " + EncodedWord("\xc3\xa9\t\xc3\xbc") + "  y  "},
        {u"\U0001F600", EncodedWord("\xf0\x9f\x98\x80")},
    };
    for (const auto& Case : Cases) EXPECT_EQ(SubjectLines(Case.sSubject), Case.sLine);
}

// The subjects that take more than one line.
std::vector<std::u16string> LongSubjects() {
    std::u16string sWords = u"St\u00f6rung:";
    for (int n = 0; n < 30; ++n) sWords += u" \u65e5\u672c";
    std::u16string sMixed;
    for (int n = 0; n < 3; ++n) sMixed += u"\u00dcberwachung: 127.0.0.1 ist offline \u2014 \u6771\u4eac ";
    std::u16string sEmoji;
    for (int n = 0; n < 30; ++n) sEmoji += u"\U0001F600";
    return {std::u16string(100, u'\u00e9'), sWords, sMixed, sEmoji, std::u16string(60, u'x') + u" \u00e9 y"};
}

// What a mail parser that is none of ours (Python's email package) reads from a composed message: the date,
// the decoded subject and names, each address as name, local part and domain, the decoded UTF-8 body, and no
// defects.
constexpr char kParseLines[] = R"PY(
out('date', m['date'].datetime.isoformat())
out('subject', m['subject'])
out('from', m['from'].addresses[0].display_name + '/' + m['from'].addresses[0].addr_spec)
for name in ('to', 'cc'):
    out(name, '|'.join(a.display_name + '/' + a.username + '@' + a.domain for a in m[name].addresses))
out('bcc', 'bcc' in m)
parts = [p for p in m.walk() if not p.is_multipart()]
out('type', m.get_content_type() + ' ' + str(len(parts)))
out('body', parts[0].get_payload(decode=True))
out('defects', sum(len(p.defects) for p in m.walk()) +
    sum(len(m[k].defects) for k in ('date', 'from', 'to', 'cc', 'subject') if k in m))
)PY";

std::map<std::string, std::string> Parse(const std::string& sData) {
    std::string sOutput;
    std::map<std::string, std::string> Fields = testing_support::ParseMessageWithPython(kParseLines, sData, sOutput);
    EXPECT_FALSE(Fields.empty()) << "the parser failed:\n" << sOutput << "\n" << sData;
    return Fields;
}

// Checks folded header lines: at most 76 characters, continuation lines starting with a blank, encoded words
// of at most 75 characters that each hold whole UTF-8 characters. Returns the number of lines.
std::size_t ExpectFoldedLines(const std::string& sLines) {
    std::size_t nLines = 0;
    for (std::size_t nStart = 0; nStart <= sLines.size(); ++nLines) {
        const std::size_t nEnd = std::min(sLines.find("\r\n", nStart), sLines.size());
        EXPECT_LE(nEnd - nStart, 76u) << sLines;
        EXPECT_TRUE(nStart == 0 || sLines[nStart] == ' ') << sLines;
        nStart = nEnd + 2;
    }
    for (std::size_t nWord = sLines.find("=?"); nWord != std::string::npos; nWord = sLines.find("=?", nWord)) {
        const std::size_t nEnd = sLines.find("?=", nWord + 10) + 2;
        EXPECT_LE(nEnd - nWord, 75u);
        const std::string sBase64 = sLines.substr(nWord + 10, nEnd - 2 - nWord - 10);
        std::string sBytes(_Base64Helper::GetDecodeOutputSize(sBase64.size()), '\0');
        sBytes.resize(_Base64Helper::Decode(sBase64.data(), sBase64.size(), reinterpret_cast<BYTE*>(sBytes.data()),
                                            sBytes.size()));
        EXPECT_EQ(comrt::ToUtf8(comrt::ToUtf16(sBytes)), sBytes) << "split character in " << sLines;
        nWord = nEnd;
    }
    return nLines;
}

// Long non-ASCII subjects fold into encoded words, and the parser reads them as the text they came from.
TEST(SmtpMessage, LongSubjectsFoldIntoWholeCharacterWords) {
    CSmtpSettings Settings = DefaultSettings();
    Settings.m_sSubject = u"$(Subject)";
    for (const std::u16string& sSubject : LongSubjects()) {
        EXPECT_GT(ExpectFoldedLines("Subject: " + SubjectLines(sSubject)), 1u);
        const std::map<std::string, std::string> Fields =
            Parse(FormatMessageData(Settings, sSubject, u"", 1, 1, kTime));
        EXPECT_EQ(Fields.count("subject") ? Fields.at("subject") : "<missing>", comrt::ToUtf8(sSubject));
        EXPECT_EQ(Fields.count("defects") ? Fields.at("defects") : "<missing>", "0");
    }
}

std::string Addresses(std::u16string_view sListText) {
    return FormatAddressList(sListText, 4);
}

// To and CC lists: one address an item, the name quoted or encoded where it has to be, the mailbox the
// envelope takes; items without a mailbox left out.
TEST(SmtpMessage, AddressListFromListItems) {
    const struct {
        const char16_t* pszListText;
        std::string sValue;
    } Cases[] = {
        {u"ops@example.org", "ops@example.org"},
        {u"ops@example.org,  oncall@example.org", "ops@example.org, oncall@example.org"},
        {u"\"\"\"Bob, Ops\"\" <bob@example.org>\"", "\"Bob, Ops\" <bob@example.org>"},
        {u"Jane Doe <jane@example.org>,x@example.org", "Jane Doe <jane@example.org>, x@example.org"},
        {u"\"J. Doe <j@example.org>\"", "\"J. Doe\" <j@example.org>"},
        {u"\"O'Brien \\ \"\"Ops\"\" <ob@example.org>\"", "\"O'Brien \\\\ Ops\" <ob@example.org>"},
        {u"<solo@example.org>", "<solo@example.org>"},
        {u"\"a b@example.org\"", "\"a b\"@example.org"},
        {u"\"Ops < ops@example.org >\"", "Ops <ops@example.org>"},
        {u"\"Ops <ops@example.org> (night)\"", "Ops <ops@example.org>"},
        {u"\"Ops <>\"", "\"Ops <>\""},
        {u"j\u00f6rg@example.org", "j\xc3\xb6rg@example.org"},
        {u"\"J\u00f6rg M\u00fcller <jm@example.org>\"", EncodedWord("J\xc3\xb6rg M\xc3\xbcller") + " <jm@example.org>"},
        {u"\"\"\"M\u00fcller, J\u00f6rg\"\" <jm@example.org>\"",
         EncodedWord("M\xc3\xbcller, J\xc3\xb6rg") + " <jm@example.org>"},
        {u"a@example.org,,b@example.org, ", "a@example.org, b@example.org"},
        {u",", ""},
        {u"  ", ""},
        {u"", ""},
    };
    for (const auto& Case : Cases) EXPECT_EQ(Addresses(Case.pszListText), Case.sValue) << Case.sValue;
}

// Long lists fold between addresses, and long encoded names between their words.
TEST(SmtpMessage, LongAddressListsFold) {
    std::vector<std::u16string> Items;
    std::string sJoined;
    for (int n = 1; n <= 6; ++n) {
        const std::string sItem = "Operator " + std::to_string(n) + " <operator." + std::to_string(n) + "@example.org>";
        Items.push_back(comrt::ToUtf16(sItem));
        sJoined += (n > 1 ? ", " : "") + sItem;
    }
    Items.push_back(std::u16string(40, u'\u00fc') + u" <u@example.org>");
    const std::string sValue = Addresses(corvane::JoinList(Items));
    EXPECT_GE(ExpectFoldedLines("To: " + sValue), 5u);
    std::string sUnfolded = sValue;
    for (std::size_t n; (n = sUnfolded.find("\r\n")) != std::string::npos;) sUnfolded.erase(n, 2);
    EXPECT_EQ(sUnfolded.substr(0, sJoined.size() + 1), sJoined + ",") << sValue;
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

TEST(SmtpMessage, MailParserReadsTheMessage) {
    const CTimeZone Zone("NST3:30NDT,M3.2.0,M11.1.0");
    CSmtpSettings Settings = DefaultSettings();
    Settings.m_sSender = u"\"Corvane Harkwell \u2014 \u76e3\u8996\" <harkwell@example.org>";
    const std::vector<std::u16string> ToItems{
        u"ops@example.org",
        u"\"Bob, Ops\" <bob@example.org>",
        u"\"M\u00fcller, J\u00f6rg\" <jm@example.org>",
        u"Jane Q. Doe <jane@example.org>",
        u"<solo@example.org>",
        u"a b@example.org",
    };
    Settings.m_sToRecipients = corvane::JoinList(ToItems);
    Settings.m_sCcRecipients = u"\u6771\u4eac \u30c1\u30fc\u30e0 <tokyo@example.org>";
    const std::string sData = FormatMessageData(Settings, u"Caf\u00e9 d\u00f6wn",
                                                u"Prozess \u00fcberwacht: \u65e5\u672c\r\nZeile 2", 1, 1, kTime);
    const std::map<std::string, std::string> Fields = Parse(sData);
    const auto Field = [&](const char* pszName) {
        const auto Iterator = Fields.find(pszName);
        return Iterator == Fields.end() ? std::string("<missing>") : Iterator->second;
    };
    EXPECT_EQ(Field("date"), "2026-12-09T18:12:30-03:30");
    EXPECT_EQ(Field("subject"), "Corvane Harkwell: Caf\xc3\xa9 d\xc3\xb6wn");
    EXPECT_EQ(Field("from"), "Corvane Harkwell \xe2\x80\x94 \xe7\x9b\xa3\xe8\xa6\x96/harkwell@example.org");
    EXPECT_EQ(Field("to"),
              "/ops@example.org|Bob, Ops/bob@example.org|M\xc3\xbcller, J\xc3\xb6rg/jm@example.org|"
              "Jane Q. Doe/jane@example.org|/solo@example.org|/a b@example.org");
    EXPECT_EQ(Field("cc"), "\xe6\x9d\xb1\xe4\xba\xac \xe3\x83\x81\xe3\x83\xbc\xe3\x83\xa0/tokyo@example.org");
    EXPECT_EQ(Field("bcc"), "False");
    EXPECT_EQ(Field("type"), "multipart/mixed 1");
    EXPECT_EQ(Field("body"),
              "Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event "
              "details below:\r\n\r\nProzess \xc3\xbc"
              "berwacht: \xe6\x97\xa5\xe6\x9c\xac\r\nZeile 2");
    EXPECT_EQ(Field("defects"), "0") << sData;
    // Each header address is the mailbox the envelope takes from its item.
    std::string sEnvelope;
    for (const std::u16string& sItem : ToItems)
        sEnvelope += (sEnvelope.empty() ? "" : "|") + comrt::ToUtf8(CSmtpClientConnection::MailboxFromAddress(sItem));
    std::string sHeader;
    std::istringstream Addresses(Field("to"));
    for (std::string sAddress; std::getline(Addresses, sAddress, '|');)
        sHeader += (sHeader.empty() ? "" : "|") + sAddress.substr(sAddress.find('/') + 1);
    EXPECT_EQ(sHeader, sEnvelope);
}

}  // namespace

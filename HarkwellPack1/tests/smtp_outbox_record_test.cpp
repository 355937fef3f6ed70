// The stored form of a pending e-mail: a record reads back as written, and damaged records are refused
// whatever part of them is damaged.
#include "SmtpOutboxRecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

const char kMessage[] = "Date: x\r\n\r\nbody\0with a NUL\r\n";
constexpr std::size_t kMessageSize = sizeof kMessage - 1;

COutboxRecord MakeRecord() {
    COutboxRecord Record;
    CSmtpSettings& Settings = Record.m_Settings;
    Settings.m_sServerHost = u"mail.example.org";
    Settings.m_nServerPort = 587;
    Settings.m_sSender = u"Harkwell <h@x.org>";
    Settings.m_sToRecipients = u"a@x.org,\"B b\" <b@x.org>";
    Settings.m_sCcRecipients = u"c@x.org";
    Settings.m_sBccRecipients = u"d\u00e9@x.org";
    Settings.m_AuthMethodList.SetAsString(u"cram-md5,login");
    Settings.m_sAuthenticationName = u"user";
    Settings.m_nTimeout = -1;
    Settings.m_nSecurity = SMTPSECURITY_STARTTLS_REQUIRED;
    Settings.m_bVerifyServerCertificate = false;
    Settings.m_RetryIntervalList = {2, 30};
    Record.m_sScrambledPassword = u"c2NyYW1ibGVk";
    Record.m_nAttemptCount = 2;
    Record.m_nTime = 1796852550;
    Record.m_nNextAttemptTime = 1796852580;
    Record.m_sMessageData = std::string(kMessage, kMessageSize);
    return Record;
}

TEST(SmtpOutboxRecord, ReadsBackAsWritten) {
    const COutboxRecord Record = MakeRecord();
    const std::string sBytes = WriteOutboxRecord(Record);
    COutboxRecord Read;
    ASSERT_TRUE(ReadOutboxRecord(sBytes, Read));
    const CSmtpSettings& a = Record.m_Settings;
    const CSmtpSettings& b = Read.m_Settings;
    EXPECT_EQ(b.m_sServerHost, a.m_sServerHost);
    EXPECT_EQ(b.m_nServerPort, a.m_nServerPort);
    EXPECT_EQ(b.m_sSender, a.m_sSender);
    EXPECT_EQ(b.m_sToRecipients, a.m_sToRecipients);
    EXPECT_EQ(b.m_sCcRecipients, a.m_sCcRecipients);
    EXPECT_EQ(b.m_sBccRecipients, a.m_sBccRecipients);
    EXPECT_EQ(b.m_AuthMethodList.GetNames(), a.m_AuthMethodList.GetNames());
    EXPECT_EQ(b.m_sAuthenticationName, a.m_sAuthenticationName);
    EXPECT_TRUE(b.m_sAuthenticationPassword.empty());
    EXPECT_EQ(b.m_nTimeout, a.m_nTimeout);
    EXPECT_EQ(b.m_nSecurity, a.m_nSecurity);
    EXPECT_EQ(b.m_bVerifyServerCertificate, a.m_bVerifyServerCertificate);
    EXPECT_EQ(b.m_RetryIntervalList, a.m_RetryIntervalList);
    EXPECT_EQ(Read.m_sScrambledPassword, Record.m_sScrambledPassword);
    EXPECT_EQ(Read.m_nAttemptCount, Record.m_nAttemptCount);
    EXPECT_EQ(Read.m_nTime, Record.m_nTime);
    EXPECT_EQ(Read.m_nNextAttemptTime, Record.m_nNextAttemptTime);
    EXPECT_EQ(Read.m_sMessageData, Record.m_sMessageData);
    EXPECT_EQ(WriteOutboxRecord(Read), sBytes);
}

// Every shorter prefix, and every damage below, is refused.
TEST(SmtpOutboxRecord, DamagedRecordsAreRefused) {
    const std::string sGood = WriteOutboxRecord(MakeRecord());
    COutboxRecord Read;
    for (std::size_t n = 0; n < sGood.size(); ++n) EXPECT_FALSE(ReadOutboxRecord(sGood.substr(0, n), Read)) << n;

    // Offsets: magic 0, version 4, attempts 8, host count 28.
    const auto Put32 = [](std::string& s, std::size_t n, std::uint32_t v) { std::memcpy(&s[n], &v, 4); };
    const std::size_t nAfterHost = 32 + 2 * 16;  // the port
    struct {
        const char* pszName;
        std::function<void(std::string&)> Damage;
    } const Cases[] = {
        {"magic", [](std::string& s) { s[0] = 'X'; }},
        {"version 2", [](std::string& s) { s[4] = 2; }},
        {"reserved field", [](std::string& s) { s[6] = 1; }},
        {"attempts beyond any schedule", [&](std::string& s) { Put32(s, 8, MAX_RETRY_COUNT + 2); }},
        {"host longer than the record", [&](std::string& s) { Put32(s, 28, 0x7FFFFFFF); }},
        {"port 0", [&](std::string& s) { s[nAfterHost] = 0, s[nAfterHost + 1] = 0; }},
        {"a byte after the message", [](std::string& s) { s += 'x'; }},
        {"message longer than the record",
         [&](std::string& s) { Put32(s, s.size() - kMessageSize - 4, kMessageSize + 1); }},
        {"retry count too high",
         [&](std::string& s) { Put32(s, s.size() - kMessageSize - 4 - 8 - 4, MAX_RETRY_COUNT + 1); }},
        {"retry interval 0", [&](std::string& s) { Put32(s, s.size() - kMessageSize - 4 - 8, 0); }},
        {"verify flag 2", [](std::string& s) { s[s.size() - kMessageSize - 4 - 8 - 4 - 1] = 2; }},
        {"security 4", [&](std::string& s) { Put32(s, s.size() - kMessageSize - 4 - 8 - 4 - 1 - 4, 4); }},
        {"time-out 0", [&](std::string& s) { Put32(s, s.size() - kMessageSize - 4 - 8 - 4 - 1 - 8, 0); }},
    };
    for (const auto& Case : Cases) {
        std::string sBytes = sGood;
        Case.Damage(sBytes);
        EXPECT_FALSE(ReadOutboxRecord(sBytes, Read)) << Case.pszName;
    }
}

}  // namespace

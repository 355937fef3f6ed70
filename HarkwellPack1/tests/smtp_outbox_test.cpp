// The e-mail notification's outbox in the user's store: messages still queued when the object goes are
// sent by the object next loaded from its stream, once and in order, with their Date; delivered and given-up
// messages leave no value; damaged values are skipped, kept and traced; one identity, one object.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../../corvane/tests/tracelog.h"
#include "SmtpMessage.h"
#include "SmtpNotificationStreams.h"
#include "SmtpNotificationTestSupport.h"
#include "SmtpOutboxRecord.h"
#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/ulregistry.h"

namespace {

// Each test has a store of its own, so that what it leaves there is seen by no other test.
class SmtpOutbox : public tracelog::CTraceTest {
protected:
    void SetUp() override {
        tracelog::CTraceTest::SetUp();
        std::string sTemplate = (std::filesystem::temp_directory_path() / "corvane-outbox-XXXXXX").string();
        ASSERT_NE(mkdtemp(sTemplate.data()), nullptr);
        m_Store = sTemplate;
        const char* pszOld = std::getenv("CORVANE_REGISTRY_DIR");
        if (pszOld) m_sOldStore = pszOld;
        setenv("CORVANE_REGISTRY_DIR", m_Store.c_str(), 1);
        RegResetStore();
    }
    void TearDown() override {
        RegResetStore();
        if (m_sOldStore.empty())
            unsetenv("CORVANE_REGISTRY_DIR");
        else
            setenv("CORVANE_REGISTRY_DIR", m_sOldStore.c_str(), 1);
        std::error_code ec;
        std::filesystem::remove_all(m_Store, ec);
        tracelog::CTraceTest::TearDown();
    }

    static std::u16string OutboxPath(CNotificationHolder& p) {
        return std::u16string(kOutboxKeyPath) + u"\\" + p.Get(&CSmtpNotification::get_Identity);
    }
    // The outbox's values in store order, each with its bytes; empty when the key does not exist.
    static std::vector<std::pair<std::u16string, std::string>> Values(const std::u16string& sPath) {
        std::vector<std::pair<std::u16string, std::string>> Result;
        CRegKey Key;
        if (Key.Open(HKEY_CURRENT_USER, sPath, KEY_READ) != ERROR_SUCCESS) return Result;
        for (DWORD i = 0;; ++i) {
            char16_t szName[MAX_REG_NAME + 1];
            DWORD nLength = MAX_REG_NAME + 1;
            DWORD nSize = 0;
            if (RegEnumValueW(Key, i, szName, &nLength, nullptr, nullptr, nullptr, &nSize) != ERROR_SUCCESS) break;
            std::string sBytes(nSize, '\0');
            RegQueryValueExW(Key, szName, nullptr, nullptr, reinterpret_cast<BYTE*>(sBytes.data()), &nSize);
            Result.emplace_back(std::u16string(szName, nLength), sBytes);
        }
        return Result;
    }
    static bool KeyExists(const std::u16string& sPath) {
        CRegKey Key;
        return Key.Open(HKEY_CURRENT_USER, sPath, KEY_READ) == ERROR_SUCCESS;
    }
    static void SetValue(const std::u16string& sPath, const std::u16string& sName, const std::string& sBytes,
                         DWORD nType = REG_BINARY) {
        CRegKey Key;
        ASSERT_EQ(Key.Create(HKEY_CURRENT_USER, sPath), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(Key, sName.c_str(), 0, nType, reinterpret_cast<const BYTE*>(sBytes.data()),
                                 static_cast<DWORD>(sBytes.size())),
                  ERROR_SUCCESS);
    }
    // Waits until the condition holds (at most 20 seconds).
    template <class Condition>
    static bool WaitUntil(Condition&& IsMet) {
        const auto Deadline = std::chrono::steady_clock::now() + 20s;
        while (!IsMet()) {
            if (std::chrono::steady_clock::now() > Deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    static CComPtr<IStream> StreamOf(const std::string& sBytes) {
        CMemoryStreamObject* pStream = nullptr;
        EXPECT_EQ(CMemoryStreamObject::CreateInstance(&pStream), S_OK);
        CComPtr<IStream> pResult(static_cast<IStream*>(pStream));
        pStream->Release();
        EXPECT_EQ(pResult->Write(sBytes.data(), static_cast<ULONG>(sBytes.size()), nullptr), S_OK);
        Rewind(pResult);
        return pResult;
    }
    static HRESULT Load(CNotificationHolder& p, IStream* pStream) {
        Rewind(pStream);
        return static_cast<IPersistStream*>(p.Get())->Load(pStream);
    }

    std::filesystem::path m_Store;
    std::string m_sOldStore;
};

// A port nobody listens at once the probe is gone.
USHORT FreePort() {
    CLoopbackSmtpServer Probe;
    return Probe.GetPort();
}

// Three messages queued against a server that refuses them, the object saved and released: a new object
// loaded from the stream sends exactly those three once the server takes mail, in order, dated with their
// events, and leaves no value behind.
TEST_F(SmtpOutbox, QueuedMailIsSentByTheNextLoadedObject) {
    const USHORT nPort = FreePort();
    CComPtr<IStream> pStream;
    std::u16string sPath;
    const std::time_t nTime = std::time(nullptr);
    {
        CNotificationHolder p;
        p.Put(&CSmtpNotification::put_ServerHost, u"127.0.0.1");
        EXPECT_EQ(p->put_ServerPort(nPort), S_OK);
        p.Put(&CSmtpNotification::put_Sender, u"harkwell@x.org");
        p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
        EXPECT_EQ(p->put_RetryIntervals(CBstr(u"2")), S_OK);
        for (const char16_t* pszSubject : {u"one", u"two", u"three"})
            EXPECT_EQ(HandleEvent(p.Get(), pszSubject, u""), S_OK);
        sPath = OutboxPath(p);
        // Written before Handle returned, in queue order.
        const auto Stored = Values(sPath);
        ASSERT_EQ(Stored.size(), 3u);
        EXPECT_EQ(Stored[0].first, u"0000000000000001");
        EXPECT_EQ(Stored[2].first, u"0000000000000003");
        // The first attempt was refused: its value now counts it.
        ASSERT_TRUE(WaitUntil([&] {
            COutboxRecord Record;
            const auto Now = Values(sPath);
            return !Now.empty() && ReadOutboxRecord(Now[0].second, Record) && Record.m_nAttemptCount == 1;
        }));
        pStream = p.Save();
    }
    ASSERT_EQ(Values(sPath).size(), 3u);

    CLoopbackSmtpServer Server(true, nPort);
    CNotificationHolder q;
    ASSERT_EQ(Load(q, pStream), S_OK);
    EXPECT_EQ(OutboxPath(q), sPath);
    EXPECT_FALSE(q.IsDirty());
    const std::vector<std::string> Messages = Server.WaitForMessages(3);
    ASSERT_EQ(Messages.size(), 3u);
    EXPECT_EQ(HeaderLine(Messages[0], "Subject"), "Corvane Harkwell: one");
    EXPECT_EQ(HeaderLine(Messages[1], "Subject"), "Corvane Harkwell: two");
    EXPECT_EQ(HeaderLine(Messages[2], "Subject"), "Corvane Harkwell: three");
    const std::string sDate = HeaderLine(Messages[0], "Date");
    EXPECT_TRUE(sDate == FormatMessageDate(nTime) || sDate == FormatMessageDate(nTime + 1)) << sDate;
    EXPECT_TRUE(WaitUntil([&] { return Values(sPath).empty(); }));
    q.Release();
    EXPECT_EQ(Server.GetConnectionCount(), 3);
    // The empty outbox goes with its object.
    EXPECT_FALSE(KeyExists(sPath));
}

// What becomes of a message's value after one attempt: a final failure deletes it at once and is not tried
// again; a failure that may pass keeps it with the attempt counted and the time of the next one.
TEST_F(SmtpOutbox, ValueAfterAFailedAttempt) {
    struct {
        const char* pszReply;
        std::u16string_view sIntervals;
        bool bKept;
    } const Cases[] = {
        {"550 no such sender\r\n", u"1,1", false},
        {"451 try again later\r\n", u"3600", true},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.pszReply);
        CLoopbackSmtpServer Server;
        Server.FailMail(Case.pszReply, 1);
        CNotificationHolder p;
        PointAt(p, Server);
        p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
        EXPECT_EQ(p->put_RetryIntervals(CBstr(Case.sIntervals)), S_OK);
        const std::time_t nTime = std::time(nullptr);
        EXPECT_EQ(HandleEvent(p.Get(), u"failing", u""), S_OK);
        const std::u16string sPath = OutboxPath(p);
        COutboxRecord Record;
        ASSERT_TRUE(WaitUntil([&] {
            const auto Now = Values(sPath);
            return Case.bKept
                       ? Now.size() == 1 && ReadOutboxRecord(Now[0].second, Record) && Record.m_nAttemptCount == 1
                       : Now.empty();
        }));
        if (Case.bKept) {
            EXPECT_GE(Record.m_nNextAttemptTime, nTime + 3600);
            EXPECT_LE(Record.m_nNextAttemptTime, std::time(nullptr) + 3600);
            EXPECT_EQ(Record.m_nTime, nTime);
        } else {
            // A retry would have come after one second.
            std::this_thread::sleep_for(1500ms);
            EXPECT_EQ(Server.GetConnectionCount(), 1);
            EXPECT_TRUE(Values(sPath).empty());
        }
    }
}

// A delivery that the release ends half-way (the server never answered) is not given up: its value stays
// for the next load, with the attempts it had.
TEST_F(SmtpOutbox, ReleaseDuringADeliveryKeepsItsValue) {
    CLoopbackSmtpServer Server(false);
    CNotificationHolder p;
    PointAt(p, Server);
    p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
    EXPECT_EQ(HandleEvent(p.Get(), u"cut short", u""), S_OK);
    const std::u16string sPath = OutboxPath(p);
    ASSERT_GE(Server.WaitForSilentConnection(), 0);
    p.Release();
    const auto Stored = Values(sPath);
    ASSERT_EQ(Stored.size(), 1u);
    COutboxRecord Record;
    ASSERT_TRUE(ReadOutboxRecord(Stored[0].second, Record));
    EXPECT_EQ(Record.m_nAttemptCount, 0u);
    EXPECT_NE(Record.m_sMessageData.find("Subject: Corvane Harkwell: cut short"), std::string::npos);
}

// Damaged values of the outbox are skipped with a trace line naming them and kept as they are; the good
// ones are sent in order, and a new event afterwards gets a value of its own and is sent.
TEST_F(SmtpOutbox, DamagedValuesAreSkippedAndKept) {
    CLoopbackSmtpServer Server;
    CComPtr<IStream> pStream;
    std::u16string sPath;
    {
        CNotificationHolder p;
        PointAt(p, Server);
        p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
        pStream = p.Save();
        sPath = OutboxPath(p);
    }
    const auto Good = [&](const char* pszSubject) {
        COutboxRecord Record;
        Record.m_Settings.m_sServerHost = u"127.0.0.1";
        Record.m_Settings.m_nServerPort = Server.GetPort();
        Record.m_Settings.m_sSender = u"harkwell@x.org";
        Record.m_Settings.m_sToRecipients = u"to@x.org";
        Record.m_Settings.m_nSecurity = SMTPSECURITY_NONE;
        Record.m_nTime = 1796852550;
        Record.m_sMessageData = std::string("Subject: ") + pszSubject + "\r\n\r\nbody\r\n";
        return WriteOutboxRecord(Record);
    };
    const std::string sGood = Good("second");
    const std::vector<std::pair<std::u16string, std::string>> Damaged = {
        {u"0000000000000001", "HWOB garbage"},
        {u"0000000000000003", sGood.substr(0, sGood.size() - 1)},
        {u"not a number", Good("named wrongly")},
        {u"0000000000000005", std::string(COutboxRecord::MAX_RECORD_SIZE + 1, 'x')},
    };
    for (const auto& [sName, sBytes] : Damaged) SetValue(sPath, sName, sBytes);
    SetValue(sPath, u"0000000000000004", std::string("text\0", 6), REG_SZ);
    SetValue(sPath, u"0000000000000002", Good("first"));
    SetValue(sPath, u"9999999999999999", sGood);

    CNotificationHolder q;
    ASSERT_EQ(Load(q, pStream), S_OK);
    std::vector<std::string> Messages = Server.WaitForMessages(2);
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(HeaderLine("\r\n" + Messages[0], "Subject"), "first");
    EXPECT_EQ(HeaderLine("\r\n" + Messages[1], "Subject"), "second");
    EXPECT_EQ(HandleEvent(q.Get(), u"after", u""), S_OK);
    Messages = Server.WaitForMessages(3);
    ASSERT_EQ(Messages.size(), 3u);
    EXPECT_EQ(HeaderLine(Messages[2], "Subject"), "Corvane Harkwell: after");
    // Its value goes once the server's 250 has come back (a release before that would keep it).
    EXPECT_TRUE(WaitUntil([&] { return Values(sPath).size() == Damaged.size() + 1; }));
    q.Release();
    EXPECT_EQ(Server.GetConnectionCount(), 3);

    // The damaged values, byte for byte, and nothing else.
    std::vector<std::u16string> Names;
    for (const auto& [sName, sBytes] : Values(sPath)) {
        Names.push_back(sName);
        for (const auto& [sDamagedName, sDamagedBytes] : Damaged)
            if (sName == sDamagedName) {
                EXPECT_TRUE(sBytes == sDamagedBytes) << comrt::ToUtf8(sName);
            }
    }
    EXPECT_EQ(Names, (std::vector<std::u16string>{u"0000000000000001", u"0000000000000003", u"not a number",
                                                  u"0000000000000005", u"0000000000000004"}));
    const std::string sLog = ReadLog();
    for (const char* pszName :
         {"0000000000000001", "0000000000000003", "not a number", "0000000000000004", "0000000000000005"})
        EXPECT_NE(sLog.find(std::string("The stored message \"") + pszName + "\" of the outbox"), std::string::npos)
            << pszName << "\n"
            << sLog;
}

// The identity: made new for every object, stored with it, taken back by a load unless another live object
// holds it or the stream is older than it; only a load puts it.
TEST_F(SmtpOutbox, IdentityFollowsTheStream) {
    CNotificationHolder p;
    const std::u16string sIdentity = p.Get(&CSmtpNotification::get_Identity);
    GUID Guid{};
    EXPECT_EQ(sIdentity.size(), 38u);
    EXPECT_EQ(CLSIDFromString(sIdentity.c_str(), &Guid), S_OK);
    CNotificationHolder Other;
    EXPECT_NE(Other.Get(&CSmtpNotification::get_Identity), sIdentity);
    p.Put(&CSmtpNotification::put_Identity, Other.Get(&CSmtpNotification::get_Identity), E_ACCESSDENIED);
    CComPtr<IStream> pStream = p.Save();

    struct {
        const char* pszName;
        bool bOriginalAlive;
        bool bSameIdentity;
    } const Cases[] = {{"beside the original", true, false}, {"after the original", false, true}};
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.pszName);
        if (!Case.bOriginalAlive) p.Release();
        CNotificationHolder q;
        ASSERT_EQ(Load(q, pStream), S_OK);
        EXPECT_EQ(q.Get(&CSmtpNotification::get_Identity) == sIdentity, Case.bSameIdentity);
        EXPECT_EQ(q.IsDirty(), !Case.bSameIdentity);
    }

    // A stream of the time before the identity: a new one, which the next save must keep.
    CNotificationHolder r;
    ASSERT_EQ(
        Load(r, StreamOf(testing_support::BytesFromHex(testing_support::SMTP_NOTIFICATION_STREAM_BEFORE_SECURITY))),
        S_OK);
    EXPECT_TRUE(r.IsDirty());
    EXPECT_EQ(r.Get(&CSmtpNotification::get_Identity).size(), 38u);

    // A stream whose identity is no GUID is refused.
    std::string sBytes = StreamBytes(pStream);
    const std::size_t nAt = sBytes.find(std::string(reinterpret_cast<const char*>(sIdentity.data()), 2 * 38));
    ASSERT_NE(nAt, std::string::npos);
    sBytes[nAt] = 'x';
    CNotificationHolder s;
    EXPECT_TRUE(FAILED(Load(s, StreamOf(sBytes))));
}

}  // namespace

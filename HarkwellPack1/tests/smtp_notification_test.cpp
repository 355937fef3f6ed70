// The e-mail notification object: property rules, the title, change tracking, persistence with the
// scrambled password, and deliveries of handled events to an SMTP server on the loopback interface.
#include "SmtpNotification.h"
#include "SmtpNotificationTestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include "FixedActivityEvent.h"
#include "SmtpMessage.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comrt/oleauto.h"
#include "corvane/ulcrypt.h"
#include "corvane/ulmemorystream.h"

namespace {

using namespace std::chrono_literals;

std::string Utf16Bytes(std::u16string_view sText) {
    return std::string(reinterpret_cast<const char*>(sText.data()), 2 * sText.size());
}

TEST(SmtpNotification, DefaultsAndInterfaces) {
    CNotificationHolder p;
    EXPECT_EQ(p.Get(&CSmtpNotification::get_Subject), u"Corvane Harkwell: $(Subject)");
    EXPECT_EQ(p.Get(&CSmtpNotification::get_Body),
              u"Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event "
              u"details below:\r\n\r\n$(Body)");
    EXPECT_EQ(p.Get(&CSmtpNotification::get_ServerHost), u"");
    EXPECT_EQ(p.Get(&CSmtpNotification::get_AuthenticationMethods), u"");
    LONG n = 0;
    EXPECT_EQ(p->get_ServerPort(&n), S_OK);
    EXPECT_EQ(n, 25);
    EXPECT_EQ(p->get_Timeout(&n), S_OK);
    EXPECT_EQ(n, 60000);
    EXPECT_EQ(p->get_ServerPort(nullptr), E_POINTER);
    EXPECT_EQ(p->get_Timeout(nullptr), E_POINTER);
    EXPECT_EQ(p->get_Sender(nullptr), E_POINTER);
    EXPECT_EQ(p->get_Title(nullptr), E_POINTER);
    EXPECT_EQ(p->get_PersistAuthenticationPassword(nullptr), E_POINTER);

    // Every interface of the object, with one identity; IDispatch is the settings interface's.
    IUnknown* pUnknown = nullptr;
    ASSERT_EQ(p->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pUnknown)), S_OK);
    for (const IID& iid :
         {IidOf<IPersist>(), IidOf<IPersistStream>(), IidOf<IPersistStreamInit>(), IidOf<IPersistStorage>(),
          IidOf<IPersistPropertyBag>(), IidOf<ISpecifyPropertyPages>(), IidOf<ISmtpNotification>(), IidOf<IDispatch>(),
          IidOf<INotification>(), IidOf<IProvideClassInfo>(), IidOf<ISupportErrorInfo>()}) {
        IUnknown* pInterface = nullptr;
        ASSERT_EQ(p->QueryInterface(iid, reinterpret_cast<void**>(&pInterface)), S_OK);
        IUnknown* pIdentity = nullptr;
        ASSERT_EQ(pInterface->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pIdentity)), S_OK);
        EXPECT_EQ(pIdentity, pUnknown);
        pIdentity->Release();
        pInterface->Release();
    }
    pUnknown->Release();
    IDispatch* pDispatch = nullptr;
    ASSERT_EQ(p->QueryInterface(IidOf<IDispatch>(), reinterpret_cast<void**>(&pDispatch)), S_OK);
    EXPECT_EQ(pDispatch, static_cast<IDispatch*>(static_cast<ISmtpNotification*>(p.Get())));
    pDispatch->Release();

    CAUUID Pages{};
    ASSERT_EQ(static_cast<ISpecifyPropertyPages*>(p.Get())->GetPages(&Pages), S_OK);
    ASSERT_EQ(Pages.cElems, 2u);
    EXPECT_EQ(Pages.pElems[0], CLSID_CSmtpNotificationConnectionPropertyPage);
    EXPECT_EQ(Pages.pElems[1], CLSID_CSmtpNotificationTemplatePropertyPage);
    CoTaskMemFree(Pages.pElems);
}

TEST(SmtpNotification, TitleFromTheRecipients) {
    CNotificationHolder p;
    EXPECT_EQ(p.Title(), u"E-mail Notification");
    p.Put(&CSmtpNotification::put_BccRecipients, u"Jane Doe <jane@x.org>");
    EXPECT_EQ(p.Title(), u"E-mail Notification to Jane Doe <jane@x.org>");
    p.Put(&CSmtpNotification::put_BccRecipients, u"\"Doe, Jane\", x");
    EXPECT_EQ(p.Title(), u"E-mail Notification to Doe, Jane and x");
    p.Put(&CSmtpNotification::put_BccRecipients, u"");
    p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
    p.Put(&CSmtpNotification::put_CcRecipients, u"cc1@x.org, cc2@x.org");
    EXPECT_EQ(p.Title(), u"E-mail Notification to to@x.org, cc1@x.org and 1 more recipients");
    p.Put(&CSmtpNotification::put_CcRecipients, u"cc1@x.org");
    EXPECT_EQ(p.Title(), u"E-mail Notification to to@x.org and cc1@x.org");
    p.Put(&CSmtpNotification::put_BccRecipients, u"a,b,c,d,e,f,g,h,i,j");
    EXPECT_EQ(p.Title(), u"E-mail Notification to to@x.org, cc1@x.org and 10 more recipients");
}

TEST(SmtpNotification, PortAndTimeoutRules) {
    CNotificationHolder p;
    LONG n = 0;
    for (const LONG nPort : {0L, 65536L, -1L}) EXPECT_EQ(p->put_ServerPort(nPort), E_INVALIDARG) << nPort;
    EXPECT_EQ(p->get_ServerPort(&n), S_OK);
    EXPECT_EQ(n, 25);
    for (const LONG nPort : {1L, 65535L}) {
        EXPECT_EQ(p->put_ServerPort(nPort), S_OK);
        EXPECT_EQ(p->get_ServerPort(&n), S_OK);
        EXPECT_EQ(n, nPort);
    }
    for (const LONG nTimeout : {0L, -2L}) EXPECT_EQ(p->put_Timeout(nTimeout), E_INVALIDARG) << nTimeout;
    EXPECT_EQ(p->get_Timeout(&n), S_OK);
    EXPECT_EQ(n, 60000);
    for (const LONG nTimeout : {-1L, 1L}) {
        EXPECT_EQ(p->put_Timeout(nTimeout), S_OK);
        EXPECT_EQ(p->get_Timeout(&n), S_OK);
        EXPECT_EQ(n, nTimeout);
    }
}

TEST(SmtpNotification, ChangedOnlyByDifferentValues) {
    CNotificationHolder p;
    EXPECT_TRUE(p.IsDirty());  // a new object
    p.Save();
    EXPECT_FALSE(p.IsDirty());
    p.Put(&CSmtpNotification::put_Sender, u"me@x.org");
    EXPECT_TRUE(p.IsDirty());
    p.Save();
    p.Put(&CSmtpNotification::put_Sender, u"me@x.org");
    EXPECT_EQ(p->put_ServerPort(25), S_OK);
    EXPECT_EQ(p->put_Timeout(60000), S_OK);
    p.Put(&CSmtpNotification::put_AuthenticationPassword, u"");
    p.Put(&CSmtpNotification::put_PersistAuthenticationPassword, u"");
    EXPECT_FALSE(p.IsDirty());
    // Refused values change nothing either.
    EXPECT_EQ(p->put_ServerPort(0), E_INVALIDARG);
    EXPECT_FALSE(p.IsDirty());
    EXPECT_EQ(p->put_Timeout(30000), S_OK);
    EXPECT_TRUE(p.IsDirty());
}

TEST(SmtpNotification, AuthenticationMethodsAsListText) {
    CNotificationHolder p;
    p.Save();
    p.Put(&CSmtpNotification::put_AuthenticationMethods, u"login, LOGIN, cram-md5");
    EXPECT_EQ(p.Get(&CSmtpNotification::get_AuthenticationMethods), u"login,cram-md5");
    EXPECT_TRUE(p.IsDirty());
    p.Save();
    // The text as it reads back is no change; another spelling of the same list is one.
    p.Put(&CSmtpNotification::put_AuthenticationMethods, u"login,cram-md5");
    EXPECT_FALSE(p.IsDirty());
    p.Put(&CSmtpNotification::put_AuthenticationMethods, u"login, cram-md5");
    EXPECT_TRUE(p.IsDirty());
    EXPECT_EQ(p.Get(&CSmtpNotification::get_AuthenticationMethods), u"login,cram-md5");
}

TEST(SmtpNotification, PasswordScrambling) {
    EXPECT_EQ(CSmtpNotification::ScramblePassword(u""), u"");
    EXPECT_EQ(CSmtpNotification::UnscramblePassword(u""), u"");
    for (const std::u16string sPassword :
         {u"a", u"secret", u"p\u00e4ss w\u00f6rd \u65e5\u672c", u"0123456789abcdefghij0123456789"}) {
        const std::u16string sText = CSmtpNotification::ScramblePassword(sPassword);
        EXPECT_EQ(sText.find_first_of(u"=\r\n"), std::u16string::npos);
        EXPECT_EQ(sText.find(sPassword), std::u16string::npos);
        EXPECT_EQ(CSmtpNotification::UnscramblePassword(sText), sPassword);
    }
    // The key is fixed: settings scrambled by one build are read by every other.
    std::u16string sExpected;
    {
        const std::string sBytes = _Rc4Helper::Transform("Hw1:smtp/Pack1*Notify!", Utf16Bytes(u"secret"));
        const std::string sBase64 = _Base64Helper::Encode(sBytes);
        for (const char c : sBase64)
            if (c != '=' && c != '\r' && c != '\n') sExpected += static_cast<char16_t>(c);
    }
    EXPECT_EQ(CSmtpNotification::ScramblePassword(u"secret"), sExpected);
    // Malformed text never fails: characters outside the alphabet are skipped.
    EXPECT_EQ(CSmtpNotification::UnscramblePassword(u"\r\n" + sExpected + u"=="), u"secret");
    CSmtpNotification::UnscramblePassword(u"x");
    CSmtpNotification::UnscramblePassword(u"\u00ff\u00fe!");
}

TEST(SmtpNotification, StreamHoldsTheScrambledPassword) {
    CNotificationHolder p;
    p.Put(&CSmtpNotification::put_ServerHost, u"mail.x.org");
    EXPECT_EQ(p->put_ServerPort(2525), S_OK);
    p.Put(&CSmtpNotification::put_ToRecipients, u"\"Doe, Jane\" <jane@x.org>");
    p.Put(&CSmtpNotification::put_AuthenticationMethods, u"cram-md5,login");
    p.Put(&CSmtpNotification::put_AuthenticationName, u"jane");
    p.Put(&CSmtpNotification::put_AuthenticationPassword, u"Tops3cret");
    EXPECT_EQ(p->put_Timeout(-1), S_OK);
    const std::u16string sScrambled = p.Get(&CSmtpNotification::get_PersistAuthenticationPassword);
    EXPECT_EQ(sScrambled, CSmtpNotification::ScramblePassword(u"Tops3cret"));
    CComPtr<IStream> pStream = p.Save();
    const std::string sBytes = StreamBytes(pStream);
    EXPECT_EQ(sBytes.find(Utf16Bytes(u"Tops3cret")), std::string::npos);
    EXPECT_NE(sBytes.find(Utf16Bytes(sScrambled)), std::string::npos);
    EXPECT_NE(sBytes.find(Utf16Bytes(u"mail.x.org")), std::string::npos);

    CNotificationHolder q;
    Rewind(pStream);
    ASSERT_EQ(static_cast<IPersistStream*>(q.Get())->Load(pStream), S_OK);
    // A copy beside its original: it keeps an outbox identity of its own, which its next save must store.
    EXPECT_TRUE(q.IsDirty());
    EXPECT_NE(q.Get(&CSmtpNotification::get_Identity), p.Get(&CSmtpNotification::get_Identity));
    EXPECT_EQ(q.Get(&CSmtpNotification::get_AuthenticationPassword), u"Tops3cret");
    EXPECT_EQ(q.Get(&CSmtpNotification::get_ServerHost), u"mail.x.org");
    EXPECT_EQ(q.Get(&CSmtpNotification::get_ToRecipients), u"\"Doe, Jane\" <jane@x.org>");
    EXPECT_EQ(q.Get(&CSmtpNotification::get_AuthenticationMethods), u"cram-md5,login");
    EXPECT_EQ(q.Get(&CSmtpNotification::get_AuthenticationName), u"jane");
    EXPECT_EQ(q.Get(&CSmtpNotification::get_Subject), p.Get(&CSmtpNotification::get_Subject));
    LONG n = 0;
    EXPECT_EQ(q->get_ServerPort(&n), S_OK);
    EXPECT_EQ(n, 2525);
    EXPECT_EQ(q->get_Timeout(&n), S_OK);
    EXPECT_EQ(n, -1);

    // The same through a storage's "Contents" stream.
    CComObjectT<CUlMemoryStorage>* pStorage = nullptr;
    ASSERT_EQ(CComObjectT<CUlMemoryStorage>::CreateInstance(&pStorage), S_OK);
    ASSERT_EQ(static_cast<IPersistStorage*>(p.Get())->Save(pStorage, TRUE), S_OK);
    CNotificationHolder r;
    ASSERT_EQ(static_cast<IPersistStorage*>(r.Get())->Load(pStorage), S_OK);
    EXPECT_EQ(r.Get(&CSmtpNotification::get_AuthenticationPassword), u"Tops3cret");
    EXPECT_EQ(r.Get(&CSmtpNotification::get_ServerHost), u"mail.x.org");
    pStorage->Release();
}

// A property bag keeping its values by name.
class CMapPropertyBag : public IPropertyBag {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyBag>>;
    ~CMapPropertyBag() {
        for (auto& Entry : m_Values) VariantClear(&Entry.second);
    }
    HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog*) override {
        const auto Iterator = m_Values.find(pszPropName);
        if (Iterator == m_Values.end()) return E_INVALIDARG;
        return VariantCopy(pVar, &Iterator->second);
    }
    HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) override {
        VARIANT& Value = m_Values[pszPropName];
        VariantClear(&Value);
        return VariantCopy(&Value, pVar);
    }
    std::map<std::u16string, VARIANT> m_Values;
};

TEST(SmtpNotification, PropertyBagHoldsTheScrambledPassword) {
    CNotificationHolder p;
    p.Put(&CSmtpNotification::put_Sender, u"me@x.org");
    p.Put(&CSmtpNotification::put_AuthenticationPassword, u"pw");
    CComObjectT<CMapPropertyBag>* pBag = nullptr;
    ASSERT_EQ(CComObjectT<CMapPropertyBag>::CreateInstance(&pBag), S_OK);
    ASSERT_EQ(static_cast<IPersistPropertyBag*>(p.Get())->Save(pBag, TRUE, TRUE), S_OK);
    std::vector<std::u16string> Names;
    for (const auto& Entry : pBag->m_Values) Names.push_back(Entry.first);
    EXPECT_EQ(Names,
              (std::vector<std::u16string>{u"AuthenticationMethods", u"AuthenticationName", u"BccRecipients", u"Body",
                                           u"CcRecipients", u"Identity", u"PersistAuthenticationPassword",
                                           u"RetryIntervals", u"Security", u"Sender", u"ServerHost", u"ServerPort",
                                           u"Subject", u"Timeout", u"ToRecipients", u"VerifyServerCertificate"}));
    const VARIANT& Scrambled = pBag->m_Values[u"PersistAuthenticationPassword"];
    ASSERT_EQ(Scrambled.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(Scrambled.bstrVal), CSmtpNotification::ScramblePassword(u"pw"));

    CNotificationHolder q;
    ASSERT_EQ(static_cast<IPersistPropertyBag*>(q.Get())->Load(pBag, nullptr), S_OK);
    EXPECT_EQ(q.Get(&CSmtpNotification::get_AuthenticationPassword), u"pw");
    EXPECT_EQ(q.Get(&CSmtpNotification::get_Sender), u"me@x.org");
    pBag->Release();
}

// ---- Deliveries ----

TEST(SmtpNotificationDelivery, EventsInOrderWithTheSettingsOfTheirTime) {
    CLoopbackSmtpServer Server;
    CNotificationHolder p;
    PointAt(p, Server);
    p.Put(&CSmtpNotification::put_ToRecipients, u"first@x.org");
    p.Put(&CSmtpNotification::put_Subject, u"[$(Subject)]");
    EXPECT_EQ(HandleEvent(p.Get(), u"one", u"body one"), S_OK);
    // Changes after Handle leave the queued event as it was.
    p.Put(&CSmtpNotification::put_ToRecipients, u"second@x.org");
    EXPECT_EQ(HandleEvent(p.Get(), u"two", u"body two"), S_OK);
    p.Put(&CSmtpNotification::put_Subject, u"<$(Subject)>");
    EXPECT_EQ(HandleEvent(p.Get(), u"three", u"body three"), S_OK);

    const std::vector<std::string> Messages = Server.WaitForMessages(3);
    ASSERT_EQ(Messages.size(), 3u);
    EXPECT_EQ(HeaderLine(Messages[0], "Subject"), "[one]");
    EXPECT_EQ(HeaderLine(Messages[0], "To"), "first@x.org");
    EXPECT_EQ(HeaderLine(Messages[1], "Subject"), "[two]");
    EXPECT_EQ(HeaderLine(Messages[1], "To"), "second@x.org");
    EXPECT_EQ(HeaderLine(Messages[2], "Subject"), "<three>");
    EXPECT_NE(Messages[2].find(_Base64Helper::Encode(
                  "Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification "
                  "event details below:\r\n\r\nbody three")),
              std::string::npos);
    EXPECT_EQ(Server.GetConnectionCount(), 3);
}

TEST(SmtpNotificationDelivery, FailedEventReadQueuesNothing) {
    CLoopbackSmtpServer Server;
    CNotificationHolder p;
    PointAt(p, Server);
    p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
    EXPECT_EQ(HandleEvent(p.Get(), u"lost", u"", E_ACCESSDENIED), E_ACCESSDENIED);
    EXPECT_EQ(static_cast<INotification*>(p.Get())->Handle(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(HandleEvent(p.Get(), u"kept", u""), S_OK);
    const std::vector<std::string> Messages = Server.WaitForMessages(1);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(HeaderLine(Messages[0], "Subject"), "Corvane Harkwell: kept");
    p.Release();  // waits for the worker thread, so no later delivery can be missed
    EXPECT_EQ(Server.GetConnectionCount(), 1);
}

// A delivery that fails (nobody listens at the port) ends its task alone when no retry is scheduled: the
// worker goes on with the next.
TEST(SmtpNotificationDelivery, FailedDeliveryEndsItsTaskAlone) {
    CLoopbackSmtpServer Server;
    CNotificationHolder p;
    PointAt(p, Server);
    p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
    EXPECT_EQ(p->put_RetryIntervals(CBstr(u"")), S_OK);
    EXPECT_EQ(p->put_ServerPort(1), S_OK);  // refused on the loopback
    EXPECT_EQ(HandleEvent(p.Get(), u"refused", u""), S_OK);
    EXPECT_EQ(p->put_ServerPort(Server.GetPort()), S_OK);
    EXPECT_EQ(HandleEvent(p.Get(), u"delivered", u""), S_OK);
    const std::vector<std::string> Messages = Server.WaitForMessages(1);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(HeaderLine(Messages[0], "Subject"), "Corvane Harkwell: delivered");
}

// Releasing the object while a delivery waits for a server that never answers returns only once that
// delivery has ended: the connection is closed by then, and the events queued behind it are dropped.
TEST(SmtpNotificationDelivery, ReleaseWaitsForTheDeliveryInProgress) {
    CLoopbackSmtpServer Server(false);
    CNotificationHolder p;
    PointAt(p, Server);
    EXPECT_EQ(p->put_Timeout(3000), S_OK);
    EXPECT_EQ(HandleEvent(p.Get(), u"waits", u""), S_OK);
    EXPECT_EQ(HandleEvent(p.Get(), u"dropped", u""), S_OK);
    const int nSocket = Server.WaitForSilentConnection();
    ASSERT_GE(nSocket, 0);
    p.Release();
    // The peer has closed: the end of the stream is there well before the delivery's own wait could end.
    pollfd Poll{nSocket, POLLIN, 0};
    ASSERT_EQ(poll(&Poll, 1, 1000), 1);
    char c;
    EXPECT_EQ(recv(nSocket, &c, 1, 0), 0);
    EXPECT_EQ(Server.GetConnectionCount(), 1);
}

// With the time-out -1 a silent server would hold the delivery, and so the release, for ever: the release
// ends the delivery at its wait instead.
TEST(SmtpNotificationDelivery, ReleaseEndsADeliveryWaitingWithoutLimit) {
    CLoopbackSmtpServer Server(false);
    CNotificationHolder p;
    PointAt(p, Server);
    EXPECT_EQ(p->put_Timeout(-1), S_OK);
    EXPECT_EQ(HandleEvent(p.Get(), u"waits", u""), S_OK);
    const int nSocket = Server.WaitForSilentConnection();
    ASSERT_GE(nSocket, 0);
    std::promise<void> Released;
    std::future<void> Done = Released.get_future();
    std::thread Releaser([&] {
        p.Release();
        Released.set_value();
    });
    const bool bReleased = Done.wait_for(10s) == std::future_status::ready;
    // Closing the connection lets a delivery that was not woken end too, so that the test ends either way.
    if (!bReleased) shutdown(nSocket, SHUT_RDWR);
    Releaser.join();
    EXPECT_TRUE(bReleased);
}

std::size_t ThreadCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& Entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

void PutRetryIntervals(CNotificationHolder& p, std::u16string_view sText) {
    EXPECT_EQ(p->put_RetryIntervals(CBstr(sText)), S_OK);
}

// A failure that may pass is tried again on the schedule, the message keeping the Date of its event, and
// the events behind it wait for it; a final failure (5xx) and an exhausted schedule end the task, and the
// next event is delivered.
TEST(SmtpNotificationDelivery, RetriesOnTheSchedule) {
    // The server fails exactly nFailures MAIL FROM commands: an attempt more than the schedule allows would
    // deliver the first event, ahead of the second.
    struct {
        const char* pszName;
        std::string sMailReply;
        int nFailures;
        std::u16string_view sIntervals;
        bool bDelivered;
    } const Cases[] = {
        {"4xx twice", "451 try again later\r\n", 2, u"1,1", true},
        {"4xx for the whole schedule", "421 closing\r\n", 3, u"1,1", false},
        {"5xx", "550 no such sender\r\n", 1, u"1,1", false},
        {"no schedule", "451 try again later\r\n", 1, u"", false},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.pszName);
        CLoopbackSmtpServer Server;
        Server.FailMail(Case.sMailReply, Case.nFailures);
        CNotificationHolder p;
        PointAt(p, Server);
        p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
        PutRetryIntervals(p, Case.sIntervals);
        const std::time_t nTime = std::time(nullptr);
        EXPECT_EQ(HandleEvent(p.Get(), u"first", u""), S_OK);
        EXPECT_EQ(HandleEvent(p.Get(), u"second", u""), S_OK);
        const std::vector<std::string> Messages = Server.WaitForMessages(Case.bDelivered ? 2 : 1);
        EXPECT_EQ(Server.GetConnectionCount(), Case.nFailures + 1 + (Case.bDelivered ? 1 : 0));
        ASSERT_EQ(Messages.size(), Case.bDelivered ? 2u : 1u);
        if (Case.bDelivered) {
            EXPECT_EQ(HeaderLine(Messages[0], "Subject"), "Corvane Harkwell: first");
            // Composed at the first attempt, dated with the event: the retry came two seconds later.
            const std::string sDate = HeaderLine(Messages[0], "Date");
            EXPECT_TRUE(sDate == FormatMessageDate(nTime) || sDate == FormatMessageDate(nTime + 1)) << sDate;
        }
        EXPECT_EQ(HeaderLine(Messages.back(), "Subject"), "Corvane Harkwell: second");
    }
}

// A server that refuses connections and starts listening later gets the message at the next attempt.
TEST(SmtpNotificationDelivery, RefusedConnectionIsTriedAgain) {
    USHORT nPort = 0;
    {
        CLoopbackSmtpServer Probe;  // a port nobody listens at once the probe is gone
        nPort = Probe.GetPort();
    }
    CNotificationHolder p;
    p.Put(&CSmtpNotification::put_ServerHost, u"127.0.0.1");
    EXPECT_EQ(p->put_ServerPort(nPort), S_OK);
    p.Put(&CSmtpNotification::put_Sender, u"harkwell@x.org");
    p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
    PutRetryIntervals(p, u"2");
    EXPECT_EQ(HandleEvent(p.Get(), u"late", u""), S_OK);
    std::this_thread::sleep_for(500ms);
    CLoopbackSmtpServer Server(true, nPort);
    const std::vector<std::string> Messages = Server.WaitForMessages(1);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(HeaderLine(Messages[0], "Subject"), "Corvane Harkwell: late");
    EXPECT_EQ(Server.GetConnectionCount(), 1);
}

// Releasing the object while a task waits for its next attempt ends the wait at once.
TEST(SmtpNotificationDelivery, ReleaseEndsTheWaitForARetry) {
    CLoopbackSmtpServer Server;
    Server.FailMail("451 later\r\n", 1);
    CNotificationHolder p;
    PointAt(p, Server);
    p.Put(&CSmtpNotification::put_ToRecipients, u"to@x.org");
    PutRetryIntervals(p, u"3600");
    EXPECT_EQ(HandleEvent(p.Get(), u"waiting", u""), S_OK);
    for (int i = 0; i < 300 && Server.GetConnectionCount() == 0; ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);
    const auto Start = std::chrono::steady_clock::now();
    p.Release();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 5s);
    EXPECT_EQ(Server.GetConnectionCount(), 1);
}

TEST(SmtpNotificationDelivery, RetryableFailures) {
    struct {
        HRESULT nResult;
        ULONG nReplyCode;
        bool bAuthenticationFailed;
        bool bRetry;
    } const Cases[] = {
        {HRESULT_FROM_WIN32(WSAECONNREFUSED), 0, false, true},
        {HRESULT_FROM_WIN32(WSAECONNRESET), 0, false, true},
        {HRESULT_FROM_WIN32(WSAETIMEDOUT), 0, false, true},
        {E_SMTP_DEADLINE, 0, false, true},
        {E_SMTP_TLS_HANDSHAKE, 0, false, true},
        {E_SMTP_UNEXPECTED_REPLY, 421, false, true},
        {E_SMTP_UNEXPECTED_REPLY, 452, false, true},
        {E_SMTP_UNEXPECTED_REPLY, 550, false, false},
        {E_SMTP_UNEXPECTED_REPLY, 354, false, false},
        {E_SMTP_UNEXPECTED_REPLY, 454, true, false},  // authentication refused before
        {HRESULT_FROM_WIN32(WSAECONNRESET), 0, true, false},
        {E_SMTP_CERTIFICATE, 0, false, false},
        {E_SMTP_STARTTLS_NOT_OFFERED, 0, false, false},
        {E_SMTP_REPLY_CODE, 0, false, false},
        {E_SMTP_STOPPED, 0, false, false},
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(CSmtpNotification::IsRetryableFailure(Case.nResult, Case.nReplyCode, Case.bAuthenticationFailed),
                  Case.bRetry)
            << std::hex << Case.nResult << " " << std::dec << Case.nReplyCode;
}

TEST(SmtpNotificationDelivery, NoEventStartsNoWorker) {
    CNotificationHolder p;
    const std::size_t nThreads = ThreadCount();
    EXPECT_EQ(static_cast<INotification*>(p.Get())->Handle(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(ThreadCount(), nThreads);
}

TEST(SmtpNotificationDelivery, WorkerThatEndsDuringItsStartIsAFailure) {
    const std::pair<DWORD, HRESULT> Cases[] = {
        {0, E_UNEXPECTED},
        {static_cast<DWORD>(E_OUTOFMEMORY), E_OUTOFMEMORY},
        {ERROR_NOT_ENOUGH_MEMORY, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)},
        {1, HRESULT_FROM_WIN32(1)},
    };
    for (const auto& [nExitCode, nExpected] : Cases)
        EXPECT_EQ(CSmtpNotification::GetThreadStartFailure(nExitCode), nExpected) << nExitCode;
}

}  // namespace

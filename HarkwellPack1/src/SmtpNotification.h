// The e-mail notification: a scenario hands it every activity event through INotification::Handle, and it
// sends each one as an e-mail. Handle composes the message from a copy of the settings and queues it; a
// worker thread of the object, started by the first event, delivers each to the SMTP server, one task
// after another. The settings are the properties of ISmtpNotification and persist through the object's
// property map (stream, storage and property bag); the password is stored only in a scrambled form.
//
// Retries: a delivery that fails for a reason that may pass (IsRetryableFailure: connection refused or
// reset, a time-out, a 4xx reply, an interrupted TLS handshake) is tried again after each interval of the
// RetryIntervals schedule in turn (60, 300 and 900 seconds by default); once the schedule is used up the
// message is given up with one trace line. The task waiting for its next attempt stays at the head of the
// queue and the events behind it wait with it, so that one notification's messages arrive in the order of
// their events (they all go to the same server, which has just failed). The message is composed once, when
// its event is handled, and dated with that time: every attempt sends the same text, Date and Message-ID
// (a message Handle could not compose is composed by the worker, and dropped alone when that fails too). The wait for
// an attempt ends at once when the object is released. SendTestMessage does not retry: it reports the first outcome.
//
// Outbox: every queued message is kept in the user's store as well, one binary value (COutboxRecord) under
// kOutboxKeyPath\{Identity}, so that mail waiting for a retry, or still queued when the object is
// released, is not lost with the process. Handle composes the message and writes its value before it
// returns; the value goes once the server has taken the message (its 250 after the data) or the message
// is given up, and is rewritten with the attempts made after each failure that may pass. A store that
// refuses a write costs a trace line, never the event: the delivery goes on from memory. An object loaded
// from its stream (or a property bag) reads the outbox of its Identity and queues what is there in value
// order, ahead of new events, with the attempts made and the time of the next one; a damaged value is
// skipped with a trace line and kept as it is. The identity is made at construction and persists as the
// last property; an object stored before it existed takes a new one and counts as changed, so that the
// next save keeps it. In one process one object at a time holds an identity: an object loaded with the
// identity of another live object keeps its own (and counts as changed), so that no message is sent by
// two objects. The delivery is at least once: a process that ends between the server's 250 and the
// deletion of the value, or whose release ends the delivery while the server's 250 is on its way, sends
// that message once more when the outbox is next read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>

#include "HarkwellServer/Interfaces.h"
#include "SmtpClientConnection.h"
#include "SmtpOutboxRecord.h"
#include "SmtpSettings.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulhandle.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"
#include "corvane/ulsockets.h"
#include "corvane/ulthread.h"

constexpr CLSID CLSID_CSmtpNotification = MakeGuid("{0CDDC755-6571-42AF-88DA-C96B9833F959}");
// The property pages named in the property map: server, sender, recipients and authentication; and the
// subject and body templates.
constexpr CLSID CLSID_CSmtpNotificationConnectionPropertyPage = MakeGuid("{37BF8D61-FD75-4F17-BFE7-BD816EDC84CF}");
constexpr CLSID CLSID_CSmtpNotificationTemplatePropertyPage = MakeGuid("{E7E34ECB-2400-4191-B1F2-4CE199B0CBA0}");

// The key of the user's store below which each notification keeps its outbox, a subkey named by its
// Identity.
constexpr const char16_t* kOutboxKeyPath = u"SOFTWARE\\Corvane\\Harkwell\\Outbox";

// String resources of the e-mail notification.
constexpr UINT IDS_SMTPNOTIFICATION_FRIENDLYNAME = 200;
// Lines: no recipient; one; two; first two and the count of the others.
constexpr UINT IDS_SMTPNOTIFICATION_TITLE = 201;
constexpr UINT IDS_SMTPNOTIFICATION_DEFAULTSUBJECT = 202;
constexpr UINT IDS_SMTPNOTIFICATION_DEFAULTBODY = 203;

// The settings of an e-mail notification. Every property is read with a get and written with a put; a put
// that changes the value marks the object changed.
struct ISmtpNotification : IDispatch {
    static constexpr IID kIid = MakeGuid("{68B49935-46C9-4DB4-BEC9-F425FCF070D5}");
    virtual HRESULT get_ServerHost(BSTR* psServerHost) = 0;
    virtual HRESULT put_ServerHost(BSTR sServerHost) = 0;
    // 1 to 65535.
    virtual HRESULT get_ServerPort(LONG* pnServerPort) = 0;
    virtual HRESULT put_ServerPort(LONG nServerPort) = 0;
    virtual HRESULT get_Sender(BSTR* psSender) = 0;
    virtual HRESULT put_Sender(BSTR sSender) = 0;
    // Recipient lists are list text: comma-separated, an item with a blank, tab, comma or quote in quotes.
    virtual HRESULT get_ToRecipients(BSTR* psToRecipients) = 0;
    virtual HRESULT put_ToRecipients(BSTR sToRecipients) = 0;
    virtual HRESULT get_CcRecipients(BSTR* psCcRecipients) = 0;
    virtual HRESULT put_CcRecipients(BSTR sCcRecipients) = 0;
    virtual HRESULT get_BccRecipients(BSTR* psBccRecipients) = 0;
    virtual HRESULT put_BccRecipients(BSTR sBccRecipients) = 0;
    // Templates: "$(Subject)" and "$(Body)" stand for the event's texts.
    virtual HRESULT get_Subject(BSTR* psSubject) = 0;
    virtual HRESULT put_Subject(BSTR sSubject) = 0;
    virtual HRESULT get_Body(BSTR* psBody) = 0;
    virtual HRESULT put_Body(BSTR sBody) = 0;
    // List text of method names, tried in order ("login", "cram-md5"); duplicates are dropped.
    virtual HRESULT get_AuthenticationMethods(BSTR* psAuthenticationMethods) = 0;
    virtual HRESULT put_AuthenticationMethods(BSTR sAuthenticationMethods) = 0;
    virtual HRESULT get_AuthenticationName(BSTR* psAuthenticationName) = 0;
    virtual HRESULT put_AuthenticationName(BSTR sAuthenticationName) = 0;
    // The password itself; never persisted.
    virtual HRESULT get_AuthenticationPassword(BSTR* psAuthenticationPassword) = 0;
    virtual HRESULT put_AuthenticationPassword(BSTR sAuthenticationPassword) = 0;
    // The password in its scrambled text form, which is what persists.
    virtual HRESULT get_PersistAuthenticationPassword(BSTR* psPersistAuthenticationPassword) = 0;
    virtual HRESULT put_PersistAuthenticationPassword(BSTR sPersistAuthenticationPassword) = 0;
    // Milliseconds for every single wait of a delivery, greater than 0, or -1 for no limit.
    virtual HRESULT get_Timeout(LONG* pnTimeout) = 0;
    virtual HRESULT put_Timeout(LONG nTimeout) = 0;
};

COMRT_DESCRIBE_INTERFACE(
    ISmtpNotification, "ISmtpNotification Interface", comrt::InterfaceKind::Dual,
    comrt::PropGet<&ISmtpNotification::get_ServerHost>(1, "ServerHost", 1, "psServerHost"),
    comrt::PropPut<&ISmtpNotification::put_ServerHost>(1, "ServerHost", 2, "sServerHost"),
    comrt::PropGet<&ISmtpNotification::get_ServerPort>(2, "ServerPort", 3, "pnServerPort"),
    comrt::PropPut<&ISmtpNotification::put_ServerPort>(2, "ServerPort", 4, "nServerPort"),
    comrt::PropGet<&ISmtpNotification::get_Sender>(3, "Sender", 5, "psSender"),
    comrt::PropPut<&ISmtpNotification::put_Sender>(3, "Sender", 6, "sSender"),
    comrt::PropGet<&ISmtpNotification::get_ToRecipients>(4, "ToRecipients", 7, "psToRecipients"),
    comrt::PropPut<&ISmtpNotification::put_ToRecipients>(4, "ToRecipients", 8, "sToRecipients"),
    comrt::PropGet<&ISmtpNotification::get_CcRecipients>(5, "CcRecipients", 9, "psCcRecipients"),
    comrt::PropPut<&ISmtpNotification::put_CcRecipients>(5, "CcRecipients", 10, "sCcRecipients"),
    comrt::PropGet<&ISmtpNotification::get_BccRecipients>(6, "BccRecipients", 11, "psBccRecipients"),
    comrt::PropPut<&ISmtpNotification::put_BccRecipients>(6, "BccRecipients", 12, "sBccRecipients"),
    comrt::PropGet<&ISmtpNotification::get_Subject>(7, "Subject", 13, "psSubject"),
    comrt::PropPut<&ISmtpNotification::put_Subject>(7, "Subject", 14, "sSubject"),
    comrt::PropGet<&ISmtpNotification::get_Body>(8, "Body", 15, "psBody"),
    comrt::PropPut<&ISmtpNotification::put_Body>(8, "Body", 16, "sBody"),
    comrt::PropGet<&ISmtpNotification::get_AuthenticationMethods>(9, "AuthenticationMethods", 17,
                                                                  "psAuthenticationMethods"),
    comrt::PropPut<&ISmtpNotification::put_AuthenticationMethods>(9, "AuthenticationMethods", 18,
                                                                  "sAuthenticationMethods"),
    comrt::PropGet<&ISmtpNotification::get_AuthenticationName>(10, "AuthenticationName", 19, "psAuthenticationName"),
    comrt::PropPut<&ISmtpNotification::put_AuthenticationName>(10, "AuthenticationName", 20, "sAuthenticationName"),
    comrt::LocalPropGet<&ISmtpNotification::get_AuthenticationPassword>(11, "AuthenticationPassword", 21,
                                                                        "psAuthenticationPassword"),
    comrt::PropPut<&ISmtpNotification::put_AuthenticationPassword>(11, "AuthenticationPassword", 22,
                                                                   "sAuthenticationPassword"),
    comrt::LocalPropGet<&ISmtpNotification::get_PersistAuthenticationPassword>(12, "PersistAuthenticationPassword", 23,
                                                                               "psPersistAuthenticationPassword"),
    comrt::PropPut<&ISmtpNotification::put_PersistAuthenticationPassword>(12, "PersistAuthenticationPassword", 24,
                                                                          "sPersistAuthenticationPassword"),
    comrt::PropGet<&ISmtpNotification::get_Timeout>(13, "Timeout", 25, "pnTimeout"),
    comrt::PropPut<&ISmtpNotification::put_Timeout>(13, "Timeout", 26, "nTimeout"));

// How an e-mail notification protects its connection to the server. An interface of its own, so that
// the slots of ISmtpNotification stay as they are; its DISPIDs follow those of ISmtpNotification.
struct ISmtpNotificationSecurity : IDispatch {
    static constexpr IID kIid = MakeGuid("{18B9AE91-7DF2-4892-9695-AD70EAA817A5}");
    // 0 none, 1 STARTTLS when the server offers it, 2 STARTTLS required, 3 TLS from the connect on
    // (SMTPSECURITY_); else E_INVALIDARG. New objects take 1, objects stored without it 0.
    virtual HRESULT get_Security(LONG* pnSecurity) = 0;
    virtual HRESULT put_Security(LONG nSecurity) = 0;
    // Whether the server's certificate must lead to a trust anchor and name the server host.
    virtual HRESULT get_VerifyServerCertificate(VARIANT_BOOL* pbVerifyServerCertificate) = 0;
    virtual HRESULT put_VerifyServerCertificate(VARIANT_BOOL bVerifyServerCertificate) = 0;
    // Sends one test message now, on the calling thread, through the delivery every event takes (the
    // settings, security and authentication as they are, the subject and body templates filled with the
    // texts of a test event), bounded as every delivery is. *pnResult receives S_OK when the server took the
    // message, else the failure's code, and *psReport the failed step with the server's reply (empty after
    // a success). The method fails only when the test could not be run at all.
    virtual HRESULT SendTestMessage(LONG* pnResult, BSTR* psReport) = 0;
    // The retry schedule of a delivery that failed for a reason that may pass: list text of seconds, one
    // entry for each further attempt ("60,300,900", the default, tries again after 1, 5 and 15 minutes);
    // empty for none. Each entry 1 to MAX_RETRY_INTERVAL, at most MAX_RETRY_COUNT of them; else
    // E_INVALIDARG.
    virtual HRESULT get_RetryIntervals(BSTR* psRetryIntervals) = 0;
    virtual HRESULT put_RetryIntervals(BSTR sRetryIntervals) = 0;
    // The identity of the object's outbox, a GUID in brace form, made when the object is made. Only a load
    // puts it (E_ACCESSDENIED at any other time; E_INVALIDARG for a text that is no GUID, or the null GUID).
    virtual HRESULT get_Identity(BSTR* psIdentity) = 0;
    virtual HRESULT put_Identity(BSTR sIdentity) = 0;
};

COMRT_DESCRIBE_INTERFACE(
    ISmtpNotificationSecurity, "ISmtpNotificationSecurity Interface", comrt::InterfaceKind::Dual,
    comrt::PropGet<&ISmtpNotificationSecurity::get_Security>(14, "Security", 1, "pnSecurity"),
    comrt::PropPut<&ISmtpNotificationSecurity::put_Security>(14, "Security", 2, "nSecurity"),
    comrt::PropGet<&ISmtpNotificationSecurity::get_VerifyServerCertificate>(15, "VerifyServerCertificate", 3,
                                                                            "pbVerifyServerCertificate"),
    comrt::PropPut<&ISmtpNotificationSecurity::put_VerifyServerCertificate>(15, "VerifyServerCertificate", 4,
                                                                            "bVerifyServerCertificate"),
    comrt::Method<&ISmtpNotificationSecurity::SendTestMessage>(16, "SendTestMessage", 5, "pnResult,psReport"),
    comrt::PropGet<&ISmtpNotificationSecurity::get_RetryIntervals>(17, "RetryIntervals", 6, "psRetryIntervals"),
    comrt::PropPut<&ISmtpNotificationSecurity::put_RetryIntervals>(17, "RetryIntervals", 7, "sRetryIntervals"),
    comrt::PropGet<&ISmtpNotificationSecurity::get_Identity>(18, "Identity", 8, "psIdentity"),
    comrt::PropPut<&ISmtpNotificationSecurity::put_Identity>(18, "Identity", 9, "sIdentity"));

class CSmtpNotification : public comrt::IDispatchImplT<ISmtpNotification>,
                          public comrt::IDispatchImplT<ISmtpNotificationSecurity>,
                          public comrt::IDispatchImplT<INotification>,
                          public CBasePersistT<CSmtpNotification>,
                          public IUlPersistStreamInitT<CSmtpNotification>,
                          public IUlPersistStreamT<CSmtpNotification>,
                          public IUlPersistStorageT<CSmtpNotification>,
                          public IUlPersistPropertyBagT<CSmtpNotification>,
                          public IUlSpecifyPropertyPagesT<CSmtpNotification>,
                          public IProvideClassInfoImplT<CSmtpNotification>,
                          public ISupportErrorInfoImplT<ISmtpNotification> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPersist, IPersistStreamInit>, InterfaceEntry<IPersistStream>,
                                     InterfaceEntry<IPersistStreamInit>, InterfaceEntry<IPersistStorage>,
                                     InterfaceEntry<IPersistPropertyBag>, InterfaceEntry<ISpecifyPropertyPages>,
                                     InterfaceEntry<ISmtpNotification>, InterfaceEntry<IDispatch, ISmtpNotification>,
                                     InterfaceEntry<INotification>, InterfaceEntry<IProvideClassInfo>,
                                     InterfaceEntry<ISupportErrorInfo>, InterfaceEntry<ISmtpNotificationSecurity>>;
    static const CLSID& GetObjectCLSID() { return CLSID_CSmtpNotification; }

    BEGIN_UL_PROPERTY_MAP(CSmtpNotification)
    UL_PROPERTY_ENTRY(u"ServerHost", 1, CLSID_CSmtpNotificationConnectionPropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"ServerPort", 2, CLSID_CSmtpNotificationConnectionPropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"Sender", 3, CLSID_CSmtpNotificationConnectionPropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"ToRecipients", 4, CLSID_CSmtpNotificationConnectionPropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"CcRecipients", 5, CLSID_CSmtpNotificationConnectionPropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"BccRecipients", 6, CLSID_CSmtpNotificationConnectionPropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"Subject", 7, CLSID_CSmtpNotificationTemplatePropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"Body", 8, CLSID_CSmtpNotificationTemplatePropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"AuthenticationMethods", 9, CLSID_CSmtpNotificationConnectionPropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"AuthenticationName", 10, CLSID_CSmtpNotificationConnectionPropertyPage, ISmtpNotification)
    UL_PROPERTY_ENTRY(u"PersistAuthenticationPassword", 12, CLSID_CSmtpNotificationConnectionPropertyPage,
                      ISmtpNotification)
    UL_PROPERTY_ENTRY(u"Timeout", 13, CLSID_NULL, ISmtpNotification)
    // Later properties: a stream stored before them ends here (SetLoadDefaults).
    UL_PROPERTY_ENTRY(u"Security", 14, CLSID_NULL, ISmtpNotificationSecurity)
    UL_PROPERTY_ENTRY(u"VerifyServerCertificate", 15, CLSID_NULL, ISmtpNotificationSecurity)
    UL_PROPERTY_ENTRY(u"RetryIntervals", 17, CLSID_NULL, ISmtpNotificationSecurity)
    UL_PROPERTY_ENTRY(u"Identity", 18, CLSID_NULL, ISmtpNotificationSecurity)
    END_UL_PROPERTY_MAP()

    // One queued delivery: a copy of the settings taken when the event was handled, the event's texts, and
    // the message composed from them; the connection it is delivered on is its base.
    class CTask : public CSmtpClientConnection {
    public:
        CTask(const CSmtpSettings& Settings, LONG nLevel, std::u16string sTags, std::u16string sSubject,
              std::u16string sBody);
        // A task read back from the outbox, under its value name: the message composed already, the
        // attempts made, and the time of the next attempt counted from now.
        CTask(const COutboxRecord& Record, std::u16string sRecordName);

        // Composes the message text from the settings and the event's texts, dated with the time the event
        // was handled, however late the attempt.
        void CreateMessageData();
        bool IsComposed() const noexcept { return !m_sMessageData.empty(); }
        // The stored form of the task as it stands (attempts made, the next attempt at nNextAttemptTime).
        COutboxRecord MakeRecord(std::time_t nNextAttemptTime) const;
        // Delivers the composed message on a connection of its own; failures are traced, never raised.
        void Deliver() noexcept;

        const CSmtpSettings& GetSettings() const noexcept { return m_Settings; }
        LONG GetLevel() const noexcept { return m_nLevel; }
        const std::u16string& GetTags() const noexcept { return m_sTags; }
        const std::u16string& GetSubject() const noexcept { return m_sSubject; }
        const std::u16string& GetBody() const noexcept { return m_sBody; }
        const std::string& GetMessageData() const noexcept { return m_sMessageData; }
        std::time_t GetTime() const noexcept { return m_nTime; }

        // The attempts made so far, and the tick count before which the next one must not start.
        std::size_t m_nAttemptCount = 0;
        DWORD m_nNextAttemptTick = 0;
        // The name of the task's value in the outbox; empty for a task whose message Handle could not compose.
        std::u16string m_sRecordName;

    private:
        std::string m_sMessageData;
        CSmtpSettings m_Settings;
        LONG m_nLevel;
        std::u16string m_sTags;
        std::u16string m_sSubject;
        std::u16string m_sBody;
        std::time_t m_nTime;
    };

    // Whether a delivery that ended with nResult (GetLastResult) and nReplyCode (the last reply) failed
    // for a reason that may pass, and is worth another attempt: a connection refused, reset or closed, a
    // host that could not be reached or resolved, a time-out or the deadline, a 4xx reply, an interrupted
    // TLS handshake or session. A 5xx reply, a refused authentication (bAuthenticationFailed), a failed
    // certificate check, a server without required STARTTLS, a malformed reply and a stop are final.
    static bool IsRetryableFailure(HRESULT nResult, ULONG nReplyCode, bool bAuthenticationFailed) noexcept;

    CSmtpNotification();
    CSmtpNotification(const CSmtpNotification&) = delete;
    CSmtpNotification& operator=(const CSmtpNotification&) = delete;
    ~CSmtpNotification();

    // Stops the worker thread; a delivery in progress, or the wait for a retry, ends at once; tasks still
    // queued are dropped from memory and stay in the outbox.
    void FinalRelease();

    // What Handle answers when the worker thread ended during its start-up with nExitCode: always a failure
    // (a success code or 0 would report an event as queued that never will be delivered).
    static HRESULT GetThreadStartFailure(DWORD nExitCode) noexcept;

    // The scrambled text of a password, and the password of such a text.
    static std::u16string ScramblePassword(std::u16string_view sPassword);
    static std::u16string UnscramblePassword(std::u16string_view sText);

    // ISmtpNotification
    HRESULT get_ServerHost(BSTR* psServerHost) override;
    HRESULT put_ServerHost(BSTR sServerHost) override;
    HRESULT get_ServerPort(LONG* pnServerPort) override;
    HRESULT put_ServerPort(LONG nServerPort) override;
    HRESULT get_Sender(BSTR* psSender) override;
    HRESULT put_Sender(BSTR sSender) override;
    HRESULT get_ToRecipients(BSTR* psToRecipients) override;
    HRESULT put_ToRecipients(BSTR sToRecipients) override;
    HRESULT get_CcRecipients(BSTR* psCcRecipients) override;
    HRESULT put_CcRecipients(BSTR sCcRecipients) override;
    HRESULT get_BccRecipients(BSTR* psBccRecipients) override;
    HRESULT put_BccRecipients(BSTR sBccRecipients) override;
    HRESULT get_Subject(BSTR* psSubject) override;
    HRESULT put_Subject(BSTR sSubject) override;
    HRESULT get_Body(BSTR* psBody) override;
    HRESULT put_Body(BSTR sBody) override;
    HRESULT get_AuthenticationMethods(BSTR* psAuthenticationMethods) override;
    HRESULT put_AuthenticationMethods(BSTR sAuthenticationMethods) override;
    HRESULT get_AuthenticationName(BSTR* psAuthenticationName) override;
    HRESULT put_AuthenticationName(BSTR sAuthenticationName) override;
    HRESULT get_AuthenticationPassword(BSTR* psAuthenticationPassword) override;
    HRESULT put_AuthenticationPassword(BSTR sAuthenticationPassword) override;
    HRESULT get_PersistAuthenticationPassword(BSTR* psPersistAuthenticationPassword) override;
    HRESULT put_PersistAuthenticationPassword(BSTR sPersistAuthenticationPassword) override;
    HRESULT get_Timeout(LONG* pnTimeout) override;
    HRESULT put_Timeout(LONG nTimeout) override;

    // ISmtpNotificationSecurity
    HRESULT get_Security(LONG* pnSecurity) override;
    HRESULT put_Security(LONG nSecurity) override;
    HRESULT get_VerifyServerCertificate(VARIANT_BOOL* pbVerifyServerCertificate) override;
    HRESULT put_VerifyServerCertificate(VARIANT_BOOL bVerifyServerCertificate) override;
    HRESULT SendTestMessage(LONG* pnResult, BSTR* psReport) override;
    HRESULT get_RetryIntervals(BSTR* psRetryIntervals) override;
    HRESULT put_RetryIntervals(BSTR sRetryIntervals) override;
    HRESULT get_Identity(BSTR* psIdentity) override;
    HRESULT put_Identity(BSTR sIdentity) override;

    // The texts of the test event whose message SendTestMessage sends through the templates.
    static constexpr char16_t kTestSubject[] = u"Corvane Harkwell test message";
    static constexpr char16_t kTestBody[] =
        u"This is a test message of an e-mail notification of Corvane Harkwell. It was sent on request, not for "
        u"an event of the scenario's activity.";

    // The values of an object stored before Security and VerifyServerCertificate existed: no TLS, as its
    // deliveries have always gone, and the check for when TLS is chosen.
    void SetLoadDefaults();
    // After a completed load: keeps a new identity when the stored object had none (or another object
    // holds its own), and queues what the outbox of the identity holds.
    void LoadCompleted();

    // INotification
    HRESULT get_Title(BSTR* psTitle) override;
    HRESULT Handle(IActivity* pActivity, IActivityEvent* pActivityEvent) override;

    // The worker thread's procedure: takes queued tasks until the termination event is set.
    DWORD ThreadProc(CThreadT<CSmtpNotification>* pThread, CEvent& InitializationEvent, CEvent& TerminationEvent);

private:
    HRESULT GetText(std::u16string CSmtpSettings::*pField, BSTR* psValue);
    HRESULT PutText(std::u16string CSmtpSettings::*pField, BSTR sValue);
    // The value name of the outbox record number n (at least 16 decimal digits, zeros in front), and the
    // number of such a name (false for any other name).
    static std::u16string FormatRecordName(std::uint64_t nNumber);
    static bool ParseRecordName(std::u16string_view sName, std::uint64_t& nNumber) noexcept;
    // Starts the worker thread unless it runs; raised when it cannot start.
    void StartWorker();
    // The outbox key's path of the current identity.
    std::u16string GetOutboxPath();
    // Reads the outbox and queues its records ahead of the queued tasks; damaged values are traced and
    // left as they are.
    void LoadOutbox();
    // Writes the task's record (numbering it when it has none yet) under the queue lock; a refusal is
    // traced and leaves the task without a record.
    void WriteRecord(CTask& Task, std::time_t nNextAttemptTime) noexcept;
    // Deletes the task's record, tracing a refusal.
    void DeleteRecord(const CTask& Task) noexcept;

    CWindowsSockets2 m_WindowsSockets;
    CUlCriticalSection m_DataCriticalSection;
    CSmtpSettings m_Settings;
    // Under the data lock: the outbox identity; whether a load is under way and has put an identity;
    // whether the identity must be saved again (made new for a stored object); whether the outbox has had
    // a record written or read (the identity may no longer change then).
    GUID m_Identity{};
    bool m_bLoading = false;
    bool m_bIdentityLoaded = false;
    bool m_bIdentityChanged = false;
    bool m_bOutboxUsed = false;
    CUlCriticalSection m_ThreadCriticalSection;
    CObjectPtrT<CThreadT<CSmtpNotification>> m_pThread;
    CUlCriticalSection m_QueueCriticalSection;
    CEvent m_TaskAvailabilityEvent;
    std::deque<std::unique_ptr<CTask>> m_TaskQueue;
    // Under the queue lock: the number of the next record written.
    std::uint64_t m_nNextRecordNumber = 1;
};

// The e-mail notification object: its twenty properties and their rules, loading, the test message, and the
// hand-over of each event to its delivery worker. One file (about 670 lines): the properties are short and
// alike, and the worker reads the settings they keep; the outbox and the SMTP dialogue have files of their own.
#include "SmtpNotification.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "SmtpMessage.h"
#include "comrt/oleauto.h"
#include "comrt/registry.h"
#include "comrt/runtime.h"
#include "comrt/text.h"
#include "corvane/ulcrypt.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ullisttext.h"
#include "corvane/ulregistry.h"
#include "corvane/ulresource.h"

namespace {

const corvane::StringResource kSmtpNotificationStrings[] = {
    {IDS_SMTPNOTIFICATION_FRIENDLYNAME, u"SMTP E-mail Notification"},
    {IDS_SMTPNOTIFICATION_TITLE,
     u"E-mail Notification\nE-mail Notification to %s\nE-mail Notification to %s and %s\nE-mail Notification to %s, "
     u"%s and %d more recipients"},
    {IDS_SMTPNOTIFICATION_DEFAULTSUBJECT, u"Corvane Harkwell: $(Subject)"},
    {IDS_SMTPNOTIFICATION_DEFAULTBODY,
     u"Hi,\r\n\r\nThis is an automated e-mail notification from Corvane Harkwell.\r\nSee notification event details "
     u"below:\r\n\r\n$(Body)"},
};
const corvane::CStringTableRegistration g_SmtpNotificationStrings(kSmtpNotificationStrings);

// The key of the scrambled password. Scrambled texts are only readable under the key they were made with,
// so it never changes.
constexpr char kPasswordKey[] = "Hw1:smtp/Pack1*Notify!";
static_assert(sizeof kPasswordKey - 1 == 22);

struct CBstrDeleter {
    void operator()(OLECHAR* sText) const noexcept { SysFreeString(sText); }
};
using CBstrHolder = std::unique_ptr<OLECHAR, CBstrDeleter>;

std::u16string FromBstr(BSTR sText) {
    return sText ? std::u16string(sText, SysStringLen(sText)) : std::u16string();
}

// A new BSTR copy of the text; E_OUTOFMEMORY when it cannot be made.
BSTR AllocateBstr(std::u16string_view sText) {
    BSTR sValue = SysAllocStringLen(sText.data(), static_cast<UINT>(sText.size()));
    if (sValue == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    return sValue;
}

void ReadEventText(IActivityEvent* pActivityEvent, HRESULT (IActivityEvent::*pGet)(BSTR*), std::u16string& sText) {
    BSTR sValue = nullptr;
    const HRESULT nResult = (pActivityEvent->*pGet)(&sValue);
    CBstrHolder Holder(sValue);
    if (FAILED(nResult)) corvane::ThrowHResult(nResult);
    sText = FromBstr(sValue);
}

std::u16string GuidText(const GUID& Guid) {
    char16_t szText[40];
    const int nLength = StringFromGUID2(Guid, szText, 40);
    return std::u16string(szText, nLength > 0 ? static_cast<std::size_t>(nLength - 1) : 0);
}

// The identities held by the live notification objects of this process: one object at a time drains an
// outbox.
std::mutex g_IdentityMutex;
std::set<std::u16string>& HeldIdentities() {
    static std::set<std::u16string> Identities;
    return Identities;
}

}  // namespace

// CTask

CSmtpNotification::CTask::CTask(const CSmtpSettings& Settings, LONG nLevel, std::u16string sTags,
                                std::u16string sSubject, std::u16string sBody)
    : m_Settings(Settings),
      m_nLevel(nLevel),
      m_sTags(std::move(sTags)),
      m_sSubject(std::move(sSubject)),
      m_sBody(std::move(sBody)),
      m_nTime(std::time(nullptr)) {}

void CSmtpNotification::CTask::CreateMessageData() {
    m_sMessageData.clear();
    m_sMessageData = ::CreateMessageData(m_Settings, m_sSubject, m_sBody, m_nTime);
}

void CSmtpNotification::CTask::Deliver() noexcept {
    CSmtpClientConnection::Deliver(m_Settings, m_sMessageData);
}

// CSmtpNotification

CSmtpNotification::CSmtpNotification()
    : CBasePersistT<CSmtpNotification>(&m_DataCriticalSection), m_TaskAvailabilityEvent(true, false) {
    UL_ASSERT(m_WindowsSockets.IsStarted());
    m_Settings.m_sSubject = corvane::LoadStringResource(IDS_SMTPNOTIFICATION_DEFAULTSUBJECT);
    m_Settings.m_sBody = corvane::LoadStringResource(IDS_SMTPNOTIFICATION_DEFAULTBODY);
    // A new object protects its deliveries where the server can; stored ones keep what they had.
    m_Settings.m_nSecurity = SMTPSECURITY_STARTTLS;
    if (const HRESULT nResult = CoCreateGuid(&m_Identity); FAILED(nResult)) corvane::ThrowHResult(nResult);
    const std::lock_guard<std::mutex> Lock(g_IdentityMutex);
    HeldIdentities().insert(GuidText(m_Identity));
}

void CSmtpNotification::SetLoadDefaults() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    m_Settings.m_nSecurity = SMTPSECURITY_NONE;
    m_Settings.m_bVerifyServerCertificate = true;
    // Retries came later still; a stored object takes the schedule every new one has.
    m_Settings.m_RetryIntervalList = CSmtpSettings().m_RetryIntervalList;
    // The identity came last: a stream without it ends before its put.
    m_bLoading = true;
    m_bIdentityLoaded = false;
    m_bIdentityChanged = false;
}

void CSmtpNotification::LoadCompleted() {
    bool bReadOutbox = false;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        m_bLoading = false;
        // The identity the object goes on with is not the stored one: the next save must keep it.
        if (!m_bIdentityLoaded || m_bIdentityChanged) SetDirty();
        // An object that has queued events already holds its outbox's messages in its queue.
        bReadOutbox = !m_bOutboxUsed;
        m_bOutboxUsed = true;
    }
    // The load itself has succeeded: an outbox that cannot be read stays for a later load.
    if (bReadOutbox) corvane::GuardedOperation([&] { LoadOutbox(); });
}

std::u16string CSmtpNotification::GetOutboxPath() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return std::u16string(kOutboxKeyPath) + u"\\" + GuidText(m_Identity);
}

void CSmtpNotification::StartWorker() {
    CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
    if (m_pThread) return;
    CObjectPtrT<CThreadT<CSmtpNotification>> pThread;
    pThread.Construct();
    if (!pThread->Initialize(this, &CSmtpNotification::ThreadProc))
        corvane::ThrowHResult(GetThreadStartFailure(pThread->GetThreadExitCode()));
    m_pThread = std::move(pThread);
}

CSmtpNotification::~CSmtpNotification() {
    {
        // FinalRelease has stopped the thread of an object made by the module; this covers any other owner.
        CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
        m_pThread.Release();
    }
    // Nothing of this object reads or writes its outbox any more: a later load may take the identity.
    const std::lock_guard<std::mutex> Lock(g_IdentityMutex);
    HeldIdentities().erase(GuidText(m_Identity));
}

void CSmtpNotification::FinalRelease() {
    UL_CATCH_ALL_BEGIN
    CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
    // Releasing the thread object sets the termination event, which ends a delivery in progress at its
    // current wait, and waits for the thread.
    m_pThread.Release();
    UL_CATCH_ALL_END
    // An outbox that holds nothing more goes with the object; one that holds messages stays for the next
    // load.
    corvane::GuardedOperation([&] {
        const std::u16string sPath = GetOutboxPath();
        CRegKey Key;
        if (Key.Open(HKEY_CURRENT_USER, sPath, KEY_READ) != ERROR_SUCCESS || !Key.IsEmpty()) return;
        Key.Close();
        RegDeleteKeyW(HKEY_CURRENT_USER, sPath.c_str());
    });
}

std::u16string CSmtpNotification::ScramblePassword(std::u16string_view sPassword) {
    if (sPassword.empty()) return {};
    std::string sBytes;
    sBytes.reserve(2 * sPassword.size());
    for (const char16_t c : sPassword) {
        sBytes += static_cast<char>(c & 0xFF);
        sBytes += static_cast<char>(c >> 8);
    }
    sBytes = _Rc4Helper::Transform(kPasswordKey, sBytes);
    const DWORD nFlags = _Base64Helper::BASE64_FLAG_NOPAD | _Base64Helper::BASE64_FLAG_NOCRLF;
    std::string sText(_Base64Helper::GetEncodeOutputSize(sBytes.size(), nFlags), '\0');
    sText.resize(_Base64Helper::Encode(reinterpret_cast<const BYTE*>(sBytes.data()), sBytes.size(), sText.data(),
                                       sText.size(), nFlags));
    return comrt::ToUtf16(sText);
}

std::u16string CSmtpNotification::UnscramblePassword(std::u16string_view sText) {
    if (sText.empty()) return {};
    const std::string sCharacters = comrt::ToUtf8(sText);
    std::string sBytes(_Base64Helper::GetDecodeOutputSize(sCharacters.size()), '\0');
    sBytes.resize(_Base64Helper::Decode(sCharacters.data(), sCharacters.size(), reinterpret_cast<BYTE*>(sBytes.data()),
                                        sBytes.size()));
    sBytes = _Rc4Helper::Transform(kPasswordKey, sBytes);
    std::u16string sPassword;
    sPassword.reserve(sBytes.size() / 2);
    for (std::size_t i = 0; i + 1 < sBytes.size(); i += 2)
        sPassword += static_cast<char16_t>(static_cast<BYTE>(sBytes[i]) | static_cast<BYTE>(sBytes[i + 1]) << 8);
    return sPassword;
}

HRESULT CSmtpNotification::GetText(std::u16string CSmtpSettings::*pField, BSTR* psValue) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(psValue);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *psValue = AllocateBstr(m_Settings.*pField);
    });
}

HRESULT CSmtpNotification::PutText(std::u16string CSmtpSettings::*pField, BSTR sValue) {
    return corvane::GuardedCall([&] {
        std::u16string sText = FromBstr(sValue);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (m_Settings.*pField == sText) return;
        (m_Settings.*pField).swap(sText);
        SetDirty();
    });
}

HRESULT CSmtpNotification::get_ServerHost(BSTR* psServerHost) {
    return GetText(&CSmtpSettings::m_sServerHost, psServerHost);
}
HRESULT CSmtpNotification::put_ServerHost(BSTR sServerHost) {
    return PutText(&CSmtpSettings::m_sServerHost, sServerHost);
}

HRESULT CSmtpNotification::get_ServerPort(LONG* pnServerPort) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(pnServerPort);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *pnServerPort = m_Settings.m_nServerPort;
    });
}
HRESULT CSmtpNotification::put_ServerPort(LONG nServerPort) {
    return corvane::GuardedCall([&] {
        corvane::CheckArgument(nServerPort >= 1 && nServerPort <= 65535);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (m_Settings.m_nServerPort == nServerPort) return;
        m_Settings.m_nServerPort = static_cast<USHORT>(nServerPort);
        SetDirty();
    });
}

HRESULT CSmtpNotification::get_Sender(BSTR* psSender) {
    return GetText(&CSmtpSettings::m_sSender, psSender);
}
HRESULT CSmtpNotification::put_Sender(BSTR sSender) {
    return PutText(&CSmtpSettings::m_sSender, sSender);
}
HRESULT CSmtpNotification::get_ToRecipients(BSTR* psToRecipients) {
    return GetText(&CSmtpSettings::m_sToRecipients, psToRecipients);
}
HRESULT CSmtpNotification::put_ToRecipients(BSTR sToRecipients) {
    return PutText(&CSmtpSettings::m_sToRecipients, sToRecipients);
}
HRESULT CSmtpNotification::get_CcRecipients(BSTR* psCcRecipients) {
    return GetText(&CSmtpSettings::m_sCcRecipients, psCcRecipients);
}
HRESULT CSmtpNotification::put_CcRecipients(BSTR sCcRecipients) {
    return PutText(&CSmtpSettings::m_sCcRecipients, sCcRecipients);
}
HRESULT CSmtpNotification::get_BccRecipients(BSTR* psBccRecipients) {
    return GetText(&CSmtpSettings::m_sBccRecipients, psBccRecipients);
}
HRESULT CSmtpNotification::put_BccRecipients(BSTR sBccRecipients) {
    return PutText(&CSmtpSettings::m_sBccRecipients, sBccRecipients);
}
HRESULT CSmtpNotification::get_Subject(BSTR* psSubject) {
    return GetText(&CSmtpSettings::m_sSubject, psSubject);
}
HRESULT CSmtpNotification::put_Subject(BSTR sSubject) {
    return PutText(&CSmtpSettings::m_sSubject, sSubject);
}
HRESULT CSmtpNotification::get_Body(BSTR* psBody) {
    return GetText(&CSmtpSettings::m_sBody, psBody);
}
HRESULT CSmtpNotification::put_Body(BSTR sBody) {
    return PutText(&CSmtpSettings::m_sBody, sBody);
}

HRESULT CSmtpNotification::get_AuthenticationMethods(BSTR* psAuthenticationMethods) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(psAuthenticationMethods);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *psAuthenticationMethods = AllocateBstr(m_Settings.m_AuthMethodList.GetAsString());
    });
}
HRESULT CSmtpNotification::put_AuthenticationMethods(BSTR sAuthenticationMethods) {
    return corvane::GuardedCall([&] {
        const std::u16string sText = FromBstr(sAuthenticationMethods);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        // The text as given against the list as it reads back: a text with blanks or duplicates always
        // counts as a change.
        if (m_Settings.m_AuthMethodList.GetAsString() == sText) return;
        m_Settings.m_AuthMethodList.SetAsString(sText);
        SetDirty();
    });
}

HRESULT CSmtpNotification::get_AuthenticationName(BSTR* psAuthenticationName) {
    return GetText(&CSmtpSettings::m_sAuthenticationName, psAuthenticationName);
}
HRESULT CSmtpNotification::put_AuthenticationName(BSTR sAuthenticationName) {
    return PutText(&CSmtpSettings::m_sAuthenticationName, sAuthenticationName);
}
HRESULT CSmtpNotification::get_AuthenticationPassword(BSTR* psAuthenticationPassword) {
    return GetText(&CSmtpSettings::m_sAuthenticationPassword, psAuthenticationPassword);
}
HRESULT CSmtpNotification::put_AuthenticationPassword(BSTR sAuthenticationPassword) {
    return PutText(&CSmtpSettings::m_sAuthenticationPassword, sAuthenticationPassword);
}

HRESULT CSmtpNotification::get_PersistAuthenticationPassword(BSTR* psPersistAuthenticationPassword) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(psPersistAuthenticationPassword);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *psPersistAuthenticationPassword = AllocateBstr(ScramblePassword(m_Settings.m_sAuthenticationPassword));
    });
}
HRESULT CSmtpNotification::put_PersistAuthenticationPassword(BSTR sPersistAuthenticationPassword) {
    return corvane::GuardedCall([&] {
        std::u16string sPassword = UnscramblePassword(FromBstr(sPersistAuthenticationPassword));
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (m_Settings.m_sAuthenticationPassword == sPassword) return;
        m_Settings.m_sAuthenticationPassword.swap(sPassword);
        SetDirty();
    });
}

HRESULT CSmtpNotification::get_Timeout(LONG* pnTimeout) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(pnTimeout);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *pnTimeout = m_Settings.m_nTimeout;
    });
}
HRESULT CSmtpNotification::put_Timeout(LONG nTimeout) {
    return corvane::GuardedCall([&] {
        corvane::CheckArgument(nTimeout > 0 || nTimeout == -1);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (m_Settings.m_nTimeout == nTimeout) return;
        m_Settings.m_nTimeout = nTimeout;
        SetDirty();
    });
}

HRESULT CSmtpNotification::get_Security(LONG* pnSecurity) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(pnSecurity);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *pnSecurity = m_Settings.m_nSecurity;
    });
}
HRESULT CSmtpNotification::put_Security(LONG nSecurity) {
    return corvane::GuardedCall([&] {
        corvane::CheckArgument(nSecurity >= SMTPSECURITY_FIRST && nSecurity <= SMTPSECURITY_LAST);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (m_Settings.m_nSecurity == nSecurity) return;
        m_Settings.m_nSecurity = nSecurity;
        SetDirty();
    });
}

HRESULT CSmtpNotification::get_VerifyServerCertificate(VARIANT_BOOL* pbVerifyServerCertificate) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(pbVerifyServerCertificate);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *pbVerifyServerCertificate = m_Settings.m_bVerifyServerCertificate ? VARIANT_TRUE : VARIANT_FALSE;
    });
}
HRESULT CSmtpNotification::put_VerifyServerCertificate(VARIANT_BOOL bVerifyServerCertificate) {
    return corvane::GuardedCall([&] {
        // Any value other than false counts as true, as automation clients pass it.
        const bool bVerify = bVerifyServerCertificate != VARIANT_FALSE;
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (m_Settings.m_bVerifyServerCertificate == bVerify) return;
        m_Settings.m_bVerifyServerCertificate = bVerify;
        SetDirty();
    });
}

HRESULT CSmtpNotification::get_RetryIntervals(BSTR* psRetryIntervals) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(psRetryIntervals);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *psRetryIntervals = AllocateBstr(FormatRetryIntervals(m_Settings.m_RetryIntervalList));
    });
}
HRESULT CSmtpNotification::put_RetryIntervals(BSTR sRetryIntervals) {
    return corvane::GuardedCall([&] {
        std::vector<LONG> IntervalList;
        corvane::CheckArgument(ParseRetryIntervals(FromBstr(sRetryIntervals), IntervalList));
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (m_Settings.m_RetryIntervalList == IntervalList) return;
        m_Settings.m_RetryIntervalList.swap(IntervalList);
        SetDirty();
    });
}

HRESULT CSmtpNotification::get_Identity(BSTR* psIdentity) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(psIdentity);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *psIdentity = AllocateBstr(GuidText(m_Identity));
    });
}
HRESULT CSmtpNotification::put_Identity(BSTR sIdentity) {
    return corvane::GuardedCall([&] {
        const std::u16string sText = FromBstr(sIdentity);
        GUID Identity{};
        // The brace form only: other text would be looked up as a class name.
        corvane::CheckArgument(sText.size() == 38 && sText.front() == u'{' &&
                               SUCCEEDED(CLSIDFromString(sText.c_str(), &Identity)) && !(Identity == GUID{}));
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (!m_bLoading) corvane::ThrowHResult(E_ACCESSDENIED);
        m_bIdentityLoaded = true;
        if (Identity == m_Identity) return;
        const std::u16string sOwn = GuidText(m_Identity);
        const std::u16string sStored = GuidText(Identity);
        bool bTaken = m_bOutboxUsed;
        if (!bTaken) {
            const std::lock_guard<std::mutex> Lock(g_IdentityMutex);
            bTaken = !HeldIdentities().insert(sStored).second;
            if (!bTaken) HeldIdentities().erase(sOwn);
        }
        if (bTaken) {
            UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                     "The outbox %s is held by another e-mail notification of this process: this one keeps %s\n",
                     comrt::ToUtf8(sStored).c_str(), comrt::ToUtf8(sOwn).c_str());
            m_bIdentityChanged = true;
            return;
        }
        m_Identity = Identity;
    });
}

bool CSmtpNotification::IsRetryableFailure(HRESULT nResult, ULONG nReplyCode, bool bAuthenticationFailed) noexcept {
    if (bAuthenticationFailed) return false;
    switch (nResult) {
        case E_SMTP_UNEXPECTED_REPLY:
        case E_SMTP_NOT_INTERMEDIATE:
            return nReplyCode >= 400 && nReplyCode <= 499;
        case HRESULT_FROM_WIN32(WSAECONNREFUSED):
        case HRESULT_FROM_WIN32(WSAECONNRESET):
        case HRESULT_FROM_WIN32(WSAECONNABORTED):
        case HRESULT_FROM_WIN32(WSAETIMEDOUT):
        case HRESULT_FROM_WIN32(WSAENETDOWN):
        case HRESULT_FROM_WIN32(WSAENETUNREACH):
        case HRESULT_FROM_WIN32(WSAEHOSTUNREACH):
        case HRESULT_FROM_WIN32(WSAHOST_NOT_FOUND):
        case HRESULT_FROM_WIN32(WSATRY_AGAIN):
        case E_SMTP_DEADLINE:
        case E_SMTP_TLS_HANDSHAKE:
        case E_SMTP_TLS:
            return true;
        default:
            return false;
    }
}

HRESULT CSmtpNotification::GetThreadStartFailure(DWORD nExitCode) noexcept {
    const auto nResult = static_cast<HRESULT>(nExitCode);
    if (FAILED(nResult)) return nResult;
    // A system error code, or a procedure that ended before its start-up without saying why: either way
    // the event cannot be delivered, which the caller must learn.
    return nExitCode != 0 ? HRESULT_FROM_WIN32(nExitCode) : E_UNEXPECTED;
}

HRESULT CSmtpNotification::get_Title(BSTR* psTitle) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(psTitle);
        std::vector<std::u16string> RecipientList;
        {
            CUlCriticalSectionLock DataLock(m_DataCriticalSection);
            for (const std::u16string* psList :
                 {&m_Settings.m_sToRecipients, &m_Settings.m_sCcRecipients, &m_Settings.m_sBccRecipients}) {
                std::vector<std::u16string> ItemList = corvane::SplitList(*psList);
                RecipientList.insert(RecipientList.end(), std::make_move_iterator(ItemList.begin()),
                                     std::make_move_iterator(ItemList.end()));
            }
        }
        const std::size_t nCount = RecipientList.size();
        std::u16string sTitle;
        if (nCount == 0) {
            sTitle = corvane::LoadStringResourceLine(IDS_SMTPNOTIFICATION_TITLE, 0);
        } else if (nCount == 1) {
            sTitle = corvane::FormatString(corvane::LoadStringResourceLine(IDS_SMTPNOTIFICATION_TITLE, 1),
                                           {RecipientList[0]});
        } else if (nCount == 2) {
            sTitle = corvane::FormatString(corvane::LoadStringResourceLine(IDS_SMTPNOTIFICATION_TITLE, 2),
                                           {RecipientList[0], RecipientList[1]});
        } else {
            // The count of the others is the one number of the line.
            std::u16string sFormat = corvane::LoadStringResourceLine(IDS_SMTPNOTIFICATION_TITLE, 3);
            const std::size_t nNumber = sFormat.find(u"%d");
            if (nNumber != std::u16string::npos) sFormat.replace(nNumber, 2, u"%s");
            sTitle = corvane::FormatString(
                sFormat, {RecipientList[0], RecipientList[1], comrt::ToUtf16(std::to_string(nCount - 2))});
        }
        *psTitle = AllocateBstr(sTitle);
    });
}

HRESULT CSmtpNotification::SendTestMessage(LONG* pnResult, BSTR* psReport) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(pnResult);
        corvane::CheckPointer(psReport);
        *pnResult = S_OK;
        *psReport = nullptr;
        std::unique_ptr<CTask> pTask;
        {
            CUlCriticalSectionLock DataLock(m_DataCriticalSection);
            pTask = std::make_unique<CTask>(m_Settings, 0, std::u16string(), kTestSubject, kTestBody);
        }
        pTask->CreateMessageData();
        // The worker's queue is not involved: the caller waits for this one delivery and its outcome.
        pTask->Deliver();
        BSTR sReport = AllocateBstr(comrt::ToUtf16(pTask->GetLastFailure()));
        *pnResult = pTask->GetLastResult();
        *psReport = sReport;
    });
}

HRESULT CSmtpNotification::Handle(IActivity* /*pActivity*/, IActivityEvent* pActivityEvent) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(pActivityEvent);
        StartWorker();
        LONG nLevel = 0;
        const HRESULT nResult = pActivityEvent->get_Level(&nLevel);
        if (FAILED(nResult)) corvane::ThrowHResult(nResult);
        std::u16string sTags, sSubject, sBody;
        ReadEventText(pActivityEvent, &IActivityEvent::get_Tags, sTags);
        ReadEventText(pActivityEvent, &IActivityEvent::get_Subject, sSubject);
        ReadEventText(pActivityEvent, &IActivityEvent::get_Body, sBody);

        std::unique_ptr<CTask> pTask;
        {
            CUlCriticalSectionLock DataLock(m_DataCriticalSection);
            pTask =
                std::make_unique<CTask>(m_Settings, nLevel, std::move(sTags), std::move(sSubject), std::move(sBody));
            m_bOutboxUsed = true;
        }
        // Composed now, so that the outbox holds the message with the Date of its event; a message that
        // cannot be composed is left to the worker, which drops that task alone.
        corvane::GuardedOperation([&] { pTask->CreateMessageData(); });
        CUlCriticalSectionLock QueueLock(m_QueueCriticalSection);
        if (pTask->IsComposed()) {
            // Numbered and written under the queue lock: value order is queue order, and the worker cannot
            // end the task before its value exists.
            pTask->m_sRecordName = FormatRecordName(m_nNextRecordNumber++);
            WriteRecord(*pTask, pTask->GetTime());
        }
        m_TaskQueue.push_back(std::move(pTask));
        UL_ASSERT(m_TaskAvailabilityEvent.Set());
    });
}

DWORD CSmtpNotification::ThreadProc(CThreadT<CSmtpNotification>* /*pThread*/, CEvent& InitializationEvent,
                                    CEvent& TerminationEvent) {
    CMultiThreadedApartment Apartment;
    UL_ASSERT(InitializationEvent.Set());
    const CStackPointer StackPointer;
    // The connection of every delivery of the worker: over TLS, a session stays open from one message to
    // the next while more wait in the queue, and ends before the worker waits.
    CSmtpClientConnection Connection;
    // Releasing the object sets the termination event: it ends the delivery's waits at once.
    Connection.SetAbortEvent(TerminationEvent);
    for (;;) {
        UL_ASSERT(StackPointer.Check());
        // The task at the head waits for its next attempt before any task behind it is tried, so that the
        // messages of one notification reach the server in the order of their events. Only termination
        // ends that wait early.
        DWORD nDelay = 0;
        {
            CUlCriticalSectionLock QueueLock(m_QueueCriticalSection);
            if (!m_TaskQueue.empty() && m_TaskQueue.front()->m_nAttemptCount > 0) {
                const auto nLeft = static_cast<LONG>(m_TaskQueue.front()->m_nNextAttemptTick - GetTickCount());
                nDelay = nLeft > 0 ? static_cast<DWORD>(nLeft) : 0;
            }
        }
        if (nDelay > 0) {
            Connection.EndSession();
            if (WaitForSingleObject(TerminationEvent, nDelay) != WAIT_TIMEOUT) break;
            continue;
        }
        const HANDLE phObjects[] = {TerminationEvent, m_TaskAvailabilityEvent};
        if (WaitForMultipleObjects(2, phObjects, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
        CTask* pTask = nullptr;
        bool bMoreWaiting = false;
        {
            CUlCriticalSectionLock QueueLock(m_QueueCriticalSection);
            if (m_TaskQueue.empty()) {
                UL_ASSERT(m_TaskAvailabilityEvent.Reset());
                Connection.EndSession();
                continue;
            }
            // The task stays in the queue while it is tried: only the worker removes tasks.
            pTask = m_TaskQueue.front().get();
            bMoreWaiting = m_TaskQueue.size() > 1;
        }
        enum { DONE, RETRY, STOPPED } nOutcome = DONE;
        std::time_t nNextAttemptTime = 0;
        // A task whose message cannot be composed is dropped alone; the thread goes on with the next.
        corvane::GuardedOperation([&] {
            if (!pTask->IsComposed()) pTask->CreateMessageData();
            Connection.Deliver(pTask->GetSettings(), pTask->GetMessageData(), bMoreWaiting);
            ++pTask->m_nAttemptCount;
            const HRESULT nResult = Connection.GetLastResult();
            if (SUCCEEDED(nResult)) return;
            // A delivery that the release ended keeps its stored form as it was, for the next load.
            if (WaitForSingleObject(TerminationEvent, 0) == WAIT_OBJECT_0) {
                nOutcome = STOPPED;
                return;
            }
            if (!IsRetryableFailure(nResult, Connection.GetLastReplyCode(), Connection.HasAuthenticationFailed()))
                return;
            const std::vector<LONG>& IntervalList = pTask->GetSettings().m_RetryIntervalList;
            if (pTask->m_nAttemptCount > IntervalList.size()) {
                // The failure of every attempt has had its line already.
                UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                         "The message to %s:%u has been given up after %u attempts, the last failed with 0x%08x\n",
                         comrt::ToUtf8(pTask->GetSettings().m_sServerHost).c_str(),
                         static_cast<unsigned>(pTask->GetSettings().m_nServerPort),
                         static_cast<unsigned>(pTask->m_nAttemptCount), static_cast<unsigned>(nResult));
                return;
            }
            const LONG nSeconds = IntervalList[pTask->m_nAttemptCount - 1];
            pTask->m_nNextAttemptTick = GetTickCount() + static_cast<DWORD>(nSeconds) * 1000;
            nNextAttemptTime = std::time(nullptr) + nSeconds;
            nOutcome = RETRY;
        });
        if (nOutcome == STOPPED) break;
        if (nOutcome == RETRY) {
            // The attempts made and the time of the next one survive the process.
            if (!pTask->m_sRecordName.empty()) WriteRecord(*pTask, nNextAttemptTime);
            continue;
        }
        // Delivered (the server's 250 for the data) or given up: the message is no longer pending.
        DeleteRecord(*pTask);
        {
            // By identity: a load may have put its outbox's tasks ahead of this one meanwhile.
            CUlCriticalSectionLock QueueLock(m_QueueCriticalSection);
            const auto Position = std::find_if(m_TaskQueue.begin(), m_TaskQueue.end(),
                                               [&](const std::unique_ptr<CTask>& p) { return p.get() == pTask; });
            if (Position != m_TaskQueue.end()) m_TaskQueue.erase(Position);
        }
    }
    return 0;
}

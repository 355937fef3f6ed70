// One file for the whole client side of an SMTP dialogue (about 750 lines): the reply parser, the waits on
// the socket, TLS, the three authentication methods and the dialogue itself are the steps of one state
// machine over one connection object, and the template is instantiated here once, for the real socket.
// Split, each part would have to expose the connection's internals to the others.
#include "SmtpClientConnection.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "comrt/text.h"
#include "corvane/ulcrypt.h"
#include "corvane/ulguard.h"
#include "corvane/ullisttext.h"
#include "corvane/ulregexp.h"

namespace {

constexpr ULONG INTERMEDIATE_REPLY = 334;
constexpr std::size_t MAX_REPLY_CODE_DIGITS = 7;

[[noreturn]] void ThrowSocketError(DWORD nError, const char* pszSourcePath = __builtin_FILE(),
                                   int nLine = __builtin_LINE(), const char* pszFunctionName = __builtin_FUNCTION()) {
    corvane::ThrowHResult(nError != 0 ? HRESULT_FROM_WIN32(nError) : E_FAIL, pszSourcePath, nLine, pszFunctionName);
}

[[noreturn]] void ThrowLastSocketError(const char* pszSourcePath = __builtin_FILE(), int nLine = __builtin_LINE(),
                                       const char* pszFunctionName = __builtin_FUNCTION()) {
    ThrowSocketError(::GetLastError(), pszSourcePath, nLine, pszFunctionName);
}

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Base64 of authentication data as one line. Line breaks would end the command line early: the encoder
// breaks its text every 76 characters (and ends a multiple of 57 bytes with CR LF), which a user name of 25
// characters already reaches in the CRAM-MD5 answer.
std::string EncodeAuthenticationLine(std::string_view sData) {
    const DWORD dwFlags = _Base64Helper::BASE64_FLAG_NOCRLF;
    std::string sLine(_Base64Helper::GetEncodeOutputSize(sData.size(), dwFlags), '\0');
    sLine.resize(_Base64Helper::Encode(reinterpret_cast<const BYTE*>(sData.data()), sData.size(), sLine.data(),
                                       sLine.size(), dwFlags));
    sLine += "\r\n";
    return sLine;
}

std::string DecodeBase64(std::string_view sText) {
    std::string sData(_Base64Helper::GetDecodeOutputSize(sText.size()), '\0');
    sData.resize(
        _Base64Helper::Decode(sText.data(), sText.size(), reinterpret_cast<BYTE*>(sData.data()), sData.size()));
    return sData;
}

char ToLowerAscii(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
    return true;
}

// The words of a failure that is no reply of the server.
std::string DescribeResult(HRESULT nResult) {
    switch (nResult) {
        case HRESULT_FROM_WIN32(WSAETIMEDOUT):
            return "no answer within the time-out";
        case HRESULT_FROM_WIN32(WSAECONNRESET):
            return "the server closed the connection";
        case HRESULT_FROM_WIN32(WSAECONNREFUSED):
            return "the connection was refused";
        case HRESULT_FROM_WIN32(WSAEADDRNOTAVAIL):
            return "the host name could not be resolved";
        case HRESULT_FROM_WIN32(WSAEMSGSIZE):
            return "the reply did not end within its bound";
        case E_SMTP_REPLY_CODE:
        case E_SMTP_REPLY_SEPARATOR:
        case E_SMTP_REPLY_CONTINUATION:
            return "the server's answer is no SMTP reply";
        case E_SMTP_DEADLINE:
            return "the delivery took longer than its deadline";
        case E_SMTP_STOPPED:
            return "the delivery was stopped";
        case E_SMTP_STARTTLS_NOT_OFFERED:
            return "the server does not offer STARTTLS, which the settings require";
        case E_SMTP_DATA_BEFORE_TLS:
            return "the server sent more after its go-ahead for STARTTLS";
        default:
            break;
    }
    char szText[40];
    std::snprintf(szText, sizeof szText, "error 0x%08x", static_cast<unsigned>(nResult));
    return szText;
}

const CRegExp& GetMailboxExpression() {
    static const CRegExp RegExp = [] {
        CRegExp Expression;
        const REPARSE_ERROR nError = Expression.Parse(u"<{[^<>]+}>", true);
        UL_ASSERT(nError == REPARSE_ERROR_OK);
        return Expression;
    }();
    return RegExp;
}

}  // namespace

bool ParseSmtpReply(std::string_view sBuffer, CSmtpReply& Reply) {
    std::string_view sCode;
    std::string sText;
    std::size_t nLineStart = 0;
    for (int nLine = 1;; ++nLine) {
        const std::size_t nLineEnd = sBuffer.find("\r\n", nLineStart);
        if (nLineEnd == std::string_view::npos) return false;
        const std::string_view sLine = sBuffer.substr(nLineStart, nLineEnd - nLineStart);
        std::size_t nDigits = 0;
        while (nDigits < sLine.size() && IsDigit(sLine[nDigits])) ++nDigits;
        if (nDigits == 0 || nDigits > MAX_REPLY_CODE_DIGITS) corvane::ThrowHResult(E_SMTP_REPLY_CODE);
        // A line of the code alone ends at the CR LF, which is neither separator.
        if (nDigits == sLine.size() || (sLine[nDigits] != ' ' && sLine[nDigits] != '-'))
            corvane::ThrowHResult(E_SMTP_REPLY_SEPARATOR);
        if (nLine == 1)
            sCode = sLine.substr(0, nDigits);
        else if (sLine.substr(0, nDigits) != sCode)
            corvane::ThrowHResult(E_SMTP_REPLY_CONTINUATION);
        if (nLine > 1) sText += "\r\n";
        sText += sLine.substr(nDigits + 1);
        nLineStart = nLineEnd + 2;
        if (sLine[nDigits] == ' ') {
            ULONG nCode = 0;
            for (char c : sCode) nCode = nCode * 10 + static_cast<ULONG>(c - '0');
            Reply.nCode = nCode;
            Reply.sText = std::move(sText);
            Reply.nLength = nLineStart;
            return true;
        }
    }
}

std::string StuffSmtpMessageData(std::string_view sMessageData) {
    std::string sData;
    sData.reserve(sMessageData.size() + sMessageData.size() / 64 + 2);
    std::size_t nStart = 0;
    for (;;) {
        const std::size_t nFound = sMessageData.find("\r\n.", nStart);
        if (nFound == std::string_view::npos) break;
        sData.append(sMessageData, nStart, nFound + 3 - nStart);
        sData += '.';
        nStart = nFound + 3;
    }
    sData.append(sMessageData, nStart);
    if (!sData.empty() && !sData.ends_with("\r\n")) sData += "\r\n";
    return sData;
}

bool SmtpReplyListsExtension(std::string_view sEhloText, std::string_view sKeyword) {
    std::size_t nStart = sEhloText.find("\r\n");
    while (nStart != std::string_view::npos) {
        nStart += 2;
        const std::size_t nEnd = sEhloText.find("\r\n", nStart);
        const std::string_view sLine =
            sEhloText.substr(nStart, nEnd == std::string_view::npos ? std::string_view::npos : nEnd - nStart);
        // The keyword is the line's first word; parameters may follow it after a blank.
        const std::string_view sWord = sLine.substr(0, sLine.find(' '));
        if (EqualsNoCaseAscii(sWord, sKeyword)) return true;
        nStart = nEnd;
    }
    return false;
}

std::string MakeSmtpTraceText(std::string_view sText) {
    constexpr std::size_t MAX_LENGTH = 300;
    std::string sLine;
    std::size_t i = 0;
    for (; i < sText.size() && sLine.size() < MAX_LENGTH; ++i) {
        const char c = sText[i];
        if (c == '\r' && i + 1 < sText.size() && sText[i + 1] == '\n') {
            sLine += " / ";
            ++i;
        } else {
            sLine += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
        }
    }
    if (i < sText.size()) {
        sLine.resize(MAX_LENGTH);
        sLine += "...";
    }
    return sLine;
}

std::u16string MakeSmtpCommandArgument(std::u16string_view sText) {
    std::u16string sArgument(sText);
    for (char16_t& c : sArgument)
        if (c == u'\r' || c == u'\n') c = u' ';
    return sArgument;
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::Connect(std::u16string_view sHost, USHORT nPort) {
    m_pTlsSession.reset();
    m_nLastReplyCode = 0;
    m_sLastReplyText.clear();
    if (!m_Socket.Create()) ThrowLastSocketError();
    if (!m_Socket.EventSelect(m_NetworkEvent, FD_CONNECT | FD_CLOSE)) ThrowLastSocketError();
    if (!m_Socket.Connect(sHost, nPort)) {
        const DWORD nError = ::GetLastError();
        if (nError != static_cast<DWORD>(WSAEWOULDBLOCK)) ThrowSocketError(nError);
    }
    WaitForNetworkEvent();
    WSANETWORKEVENTS NetworkEvents;
    if (!m_Socket.EnumNetworkEvents(m_NetworkEvent, NetworkEvents)) ThrowLastSocketError();
    if (!(NetworkEvents.lNetworkEvents & FD_CONNECT)) ThrowSocketError(WSAECONNRESET);
    if (NetworkEvents.iErrorCode[FD_CONNECT_BIT] != 0)
        ThrowSocketError(static_cast<DWORD>(NetworkEvents.iErrorCode[FD_CONNECT_BIT]));
    m_bWaitForWrite = true;
    m_sReceiveBuffer.clear();
}

template <class TSocket>
LONG CSmtpClientConnectionT<TSocket>::GetDeliveryTime(LONG nTimeout) noexcept {
    if (nTimeout < 0 || nTimeout >= MAX_DELIVERY_TIME / DELIVERY_TIMEOUT_FACTOR) return MAX_DELIVERY_TIME;
    return nTimeout * DELIVERY_TIMEOUT_FACTOR;
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::SetDeadline(LONG nMilliseconds) noexcept {
    m_bDeadline = nMilliseconds >= 0;
    m_nDeadlineTick = GetTickCount() + static_cast<DWORD>(nMilliseconds);
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::WaitForNetworkEvent() {
    LONG nWait = m_nTimeout;
    bool bDeadlineBound = false;
    if (m_bDeadline) {
        // Ticks compare by their signed difference, so the counter may wrap during a delivery.
        const LONG nLeft = static_cast<LONG>(m_nDeadlineTick - GetTickCount());
        if (nLeft <= 0) corvane::ThrowHResult(E_SMTP_DEADLINE);
        if (nWait < 0 || nLeft < nWait) {
            nWait = nLeft;
            bDeadlineBound = true;
        }
    }
    const DWORD nWaitResult = m_NetworkEvent.Wait(nWait, m_hAbortEvent);
    if (nWaitResult == WAIT_TIMEOUT) {
        if (bDeadlineBound) corvane::ThrowHResult(E_SMTP_DEADLINE);
        ThrowSocketError(WSAETIMEDOUT);
    }
    if (nWaitResult == WAIT_OBJECT_0 + 1) corvane::ThrowHResult(E_SMTP_STOPPED);
    if (nWaitResult != WAIT_OBJECT_0) ThrowLastSocketError();
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::WaitForWrite() {
    if (!m_Socket.EventSelect(m_NetworkEvent, FD_WRITE | FD_CLOSE)) ThrowLastSocketError();
    for (;;) {
        WaitForNetworkEvent();
        WSANETWORKEVENTS NetworkEvents;
        if (!m_Socket.EnumNetworkEvents(m_NetworkEvent, NetworkEvents)) ThrowLastSocketError();
        if (NetworkEvents.lNetworkEvents & FD_CLOSE) ThrowSocketError(WSAECONNRESET);
        if (NetworkEvents.lNetworkEvents & FD_WRITE) {
            UL_ASSERT(NetworkEvents.iErrorCode[FD_WRITE_BIT] == 0);
            m_bWaitForWrite = false;
            return;
        }
    }
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::Send(std::string_view sBytes) {
    if (m_pTlsSession) {
        SendTls(sBytes);
        return;
    }
    for (;;) {
        if (m_bWaitForWrite) WaitForWrite();
        std::size_t nSent = 0;
        if (m_Socket.Send(sBytes.data(), sBytes.size(), &nSent)) {
            if (nSent == sBytes.size()) return;
            // The socket took what its buffer held room for (a long message to a slow reader): the rest goes
            // once it can take more, as after a send that would have blocked.
            sBytes.remove_prefix(nSent);
        } else {
            const DWORD nError = ::GetLastError();
            if (nError != static_cast<DWORD>(WSAEWOULDBLOCK)) ThrowSocketError(nError);
        }
        m_bWaitForWrite = true;
    }
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::Send(std::u16string_view sText) {
    Send(std::string_view(comrt::ToUtf8(sText)));
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::WaitForTls(long nNetworkEvent) {
    if (!m_Socket.EventSelect(m_NetworkEvent, nNetworkEvent | FD_CLOSE)) ThrowLastSocketError();
    for (;;) {
        WaitForNetworkEvent();
        WSANETWORKEVENTS NetworkEvents;
        if (!m_Socket.EnumNetworkEvents(m_NetworkEvent, NetworkEvents)) ThrowLastSocketError();
        // Data that came with a close is still read: it may be the alert that tells why the server ended
        // the session, and the session reports the close itself after it.
        if (NetworkEvents.lNetworkEvents & nNetworkEvent) return;
        if (NetworkEvents.lNetworkEvents & FD_CLOSE) ThrowSocketError(WSAECONNRESET);
    }
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::ThrowTlsFailure(CSmtpTlsSession::STATUS nStatus, HRESULT nResult) {
    m_sTlsFailure = m_pTlsSession ? m_pTlsSession->GetErrorText() : std::string();
    if (nStatus == CSmtpTlsSession::STATUS_CLOSED) ThrowSocketError(WSAECONNRESET);
    corvane::ThrowHResult(nResult);
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::SendTls(std::string_view sBytes) {
    for (;;) {
        const CSmtpTlsSession::STATUS nStatus = m_pTlsSession->Write(sBytes.data(), sBytes.size());
        if (nStatus == CSmtpTlsSession::STATUS_DONE) return;
        if (nStatus == CSmtpTlsSession::STATUS_WANT_READ)
            WaitForTls(FD_READ);
        else if (nStatus == CSmtpTlsSession::STATUS_WANT_WRITE)
            WaitForTls(FD_WRITE);
        else
            ThrowTlsFailure(nStatus, E_SMTP_TLS);
    }
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::StartTls(std::u16string_view sHost, USHORT nPort,
                                               CSmtpTlsSession::VERIFY nVerify) {
    if (!m_sReceiveBuffer.empty()) corvane::ThrowHResult(E_SMTP_DATA_BEFORE_TLS);
    m_sTlsFailure.clear();
    m_bTlsResumed = false;
    m_pTlsSession = std::make_unique<CSmtpTlsSession>(m_Socket.GetHandle(), comrt::ToUtf8(sHost), nPort, nVerify);
    for (;;) {
        const CSmtpTlsSession::STATUS nStatus = m_pTlsSession->Handshake();
        if (nStatus == CSmtpTlsSession::STATUS_DONE) break;
        if (nStatus == CSmtpTlsSession::STATUS_WANT_READ) {
            WaitForTls(FD_READ);
        } else if (nStatus == CSmtpTlsSession::STATUS_WANT_WRITE) {
            WaitForTls(FD_WRITE);
        } else if (nVerify == CSmtpTlsSession::VERIFY_REQUIRED && nStatus == CSmtpTlsSession::STATUS_FAILED &&
                   m_pTlsSession->HasVerificationFailed()) {
            m_sTlsFailure = m_pTlsSession->GetVerifyResultText();
            corvane::ThrowHResult(E_SMTP_CERTIFICATE);
        } else {
            ThrowTlsFailure(nStatus, E_SMTP_TLS_HANDSHAKE);
        }
    }
    m_bTlsResumed = m_pTlsSession->IsResumed();
    UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "TLS with %s: %s\n", comrt::ToUtf8(sHost).c_str(),
             m_pTlsSession->GetDescription().c_str());
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::ReceiveMore() {
    if (m_pTlsSession) {
        for (;;) {
            char pBuffer[RECEIVE_SIZE];
            std::size_t nReceived = 0;
            const CSmtpTlsSession::STATUS nStatus = m_pTlsSession->Read(pBuffer, sizeof pBuffer, &nReceived);
            if (nStatus == CSmtpTlsSession::STATUS_DONE) {
                m_sReceiveBuffer.append(pBuffer, ::strnlen(pBuffer, nReceived));
                return;
            }
            if (nStatus == CSmtpTlsSession::STATUS_WANT_READ)
                WaitForTls(FD_READ);
            else if (nStatus == CSmtpTlsSession::STATUS_WANT_WRITE)
                WaitForTls(FD_WRITE);
            else
                ThrowTlsFailure(nStatus, E_SMTP_TLS);
        }
    }
    if (!m_Socket.EventSelect(m_NetworkEvent, FD_READ | FD_CLOSE)) ThrowLastSocketError();
    for (;;) {
        WaitForNetworkEvent();
        WSANETWORKEVENTS NetworkEvents;
        if (!m_Socket.EnumNetworkEvents(m_NetworkEvent, NetworkEvents)) ThrowLastSocketError();
        // A close fails the read even when data came with it: the reply it would complete is not used.
        if (NetworkEvents.lNetworkEvents & FD_CLOSE) ThrowSocketError(WSAECONNRESET);
        if (!(NetworkEvents.lNetworkEvents & FD_READ)) continue;
        char pBuffer[RECEIVE_SIZE];
        std::size_t nReceived = 0;
        if (!m_Socket.Receive(pBuffer, sizeof pBuffer, &nReceived)) {
            const DWORD nError = ::GetLastError();
            if (nError == static_cast<DWORD>(WSAEWOULDBLOCK)) continue;
            ThrowSocketError(nError);
        }
        // The buffer is text: what follows a NUL in this read is dropped.
        m_sReceiveBuffer.append(pBuffer, ::strnlen(pBuffer, nReceived));
        return;
    }
}

template <class TSocket>
ULONG CSmtpClientConnectionT<TSocket>::Receive(std::string* psText) {
    for (;;) {
        CSmtpReply Reply;
        if (ParseSmtpReply(m_sReceiveBuffer, Reply)) {
            m_sReceiveBuffer.erase(0, Reply.nLength);
            m_nLastReplyCode = Reply.nCode;
            m_sLastReplyText = Reply.sText;
            if (psText != nullptr) *psText = std::move(Reply.sText);
            return Reply.nCode;
        }
        // Everything buffered belongs to the reply that has not ended.
        if (m_sReceiveBuffer.size() >= MAX_REPLY_SIZE) ThrowSocketError(WSAEMSGSIZE);
        ReceiveMore();
    }
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::ReceiveIntermediate(std::string& sText) {
    if (Receive(&sText) != INTERMEDIATE_REPLY) corvane::ThrowHResult(E_SMTP_NOT_INTERMEDIATE);
}

template <class TSocket>
ULONG CSmtpClientConnectionT<TSocket>::ReceiveInRange(ULONG nLow, ULONG nHigh, std::string* psText) {
    const ULONG nCode = Receive(psText);
    if (nCode < nLow || nCode > nHigh) corvane::ThrowHResult(E_SMTP_UNEXPECTED_REPLY);
    return nCode;
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::Close() noexcept {
    if (m_pTlsSession) {
        m_pTlsSession->Shutdown();
        m_pTlsSession.reset();
    }
    m_Socket.Close();
    m_bWaitForWrite = false;
}

template <class TSocket>
std::u16string CSmtpClientConnectionT<TSocket>::MailboxFromAddress(std::u16string_view sAddress) {
    // The expression reads NUL-terminated text.
    const std::u16string sText(sAddress);
    std::u16string_view sMailbox = sText;
    CRegExpMatchContext Context;
    if (GetMailboxExpression().Match(sText.c_str(), &Context)) {
        const WCHAR* pStart = nullptr;
        const WCHAR* pEnd = nullptr;
        Context.GetGroup(0, &pStart, &pEnd);
        if (pStart != nullptr && pEnd != nullptr)
            sMailbox = std::u16string_view(pStart, static_cast<std::size_t>(pEnd - pStart));
    }
    const std::size_t nFirst = sMailbox.find_first_not_of(u' ');
    if (nFirst == std::u16string_view::npos) return {};
    const std::size_t nLast = sMailbox.find_last_not_of(u' ');
    return std::u16string(sMailbox.substr(nFirst, nLast - nFirst + 1));
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::AuthenticateLogin(const CSmtpSettings& Settings) {
    std::string sText;
    Send(std::string_view("AUTH LOGIN\r\n"));
    ReceiveIntermediate(sText);
    Send(EncodeAuthenticationLine(comrt::ToUtf8(MakeSmtpCommandArgument(Settings.m_sAuthenticationName))));
    ReceiveIntermediate(sText);
    // The password is the last step: the server answers it with its verdict, not with another question.
    Send(EncodeAuthenticationLine(comrt::ToUtf8(Settings.m_sAuthenticationPassword)));
    ReceiveInRange(200, 299);
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::AuthenticateCramMd5(const CSmtpSettings& Settings) {
    std::string sChallengeText;
    Send(std::string_view("AUTH CRAM-MD5\r\n"));
    ReceiveIntermediate(sChallengeText);
    const std::string sChallenge = DecodeBase64(sChallengeText);
    const _Md5Helper::CDigest Digest = _Md5Helper::Hmac(comrt::ToUtf8(Settings.m_sAuthenticationPassword), sChallenge);
    const std::string sResponse =
        comrt::ToUtf8(MakeSmtpCommandArgument(Settings.m_sAuthenticationName)) + ' ' + _Md5Helper::ToHex(Digest);
    Send(EncodeAuthenticationLine(sResponse));
    ReceiveInRange(200, 299);
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::AuthenticatePlain(const CSmtpSettings& Settings) {
    // RFC 4616: no authorization identity, then the name and the password, each after a NUL; sent with the
    // command as its initial response (RFC 4954), so that one reply tells the verdict.
    const std::string sResponse = std::string(1, '\0') +
                                  comrt::ToUtf8(MakeSmtpCommandArgument(Settings.m_sAuthenticationName)) + '\0' +
                                  comrt::ToUtf8(Settings.m_sAuthenticationPassword);
    Send(std::string_view("AUTH PLAIN " + EncodeAuthenticationLine(sResponse)));
    ReceiveInRange(200, 299);
}

template <class TSocket>
std::u16string CSmtpClientConnectionT<TSocket>::Authenticate(const CSmtpSettings& Settings) {
    for (const std::u16string& sMethod : Settings.m_AuthMethodList.GetNames()) {
        const char* pszMethod = comrt::EqualsNoCase(sMethod, u"login")      ? "LOGIN"
                                : comrt::EqualsNoCase(sMethod, u"cram-md5") ? "CRAM-MD5"
                                : comrt::EqualsNoCase(sMethod, u"plain")    ? "PLAIN"
                                                                            : nullptr;
        try {
            if (pszMethod == nullptr) {
                corvane::AssertionFailed(UL_CONTEXT, "method is \"login\", \"cram-md5\" or \"plain\"");
                continue;
            }
            m_nLastReplyCode = 0;
            m_sLastReplyText.clear();
            if (pszMethod[0] == 'L')
                AuthenticateLogin(Settings);
            else if (pszMethod[0] == 'C')
                AuthenticateCramMd5(Settings);
            else
                AuthenticatePlain(Settings);
            m_sAuthenticationFailure.clear();
            return sMethod;
        } catch (...) {
            corvane::CatchAll(UL_CONTEXT);
            // The server's reply only: what was sent (the credentials) never goes into the trace.
            m_sAuthenticationFailure = std::string("AUTH ") + pszMethod + " answered ";
            m_sAuthenticationFailure +=
                m_nLastReplyCode != 0 ? std::to_string(m_nLastReplyCode) + " " + MakeSmtpTraceText(m_sLastReplyText)
                                      : std::string("nothing");
        }
    }
    return {};
}

template <class TSocket>
bool CSmtpClientConnectionT<TSocket>::SendEhlo(const CSmtpSettings& Settings) {
    m_sStep = "EHLO";
    // The configured server name, not this computer's: it is what the dialogue has always sent.
    Send(u"EHLO " + MakeSmtpCommandArgument(Settings.m_sServerHost) + u"\r\n");
    std::string sCapabilities;
    ReceiveInRange(200, 299, &sCapabilities);
    return SmtpReplyListsExtension(sCapabilities, "STARTTLS");
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::RunDialogue(const CSmtpSettings& Settings, const std::string& sMessageData,
                                                  bool bKeepOpen) {
    const LONG nSecurity = Settings.m_nSecurity;
    const bool bTlsRequired = nSecurity == SMTPSECURITY_STARTTLS_REQUIRED || nSecurity == SMTPSECURITY_TLS;
    // With STARTTLS when offered the certificate is only noted: the delivery then still goes encrypted,
    // which is never worse than the plain text it would otherwise take.
    const CSmtpTlsSession::VERIFY nVerify = !Settings.m_bVerifyServerCertificate ? CSmtpTlsSession::VERIFY_NONE
                                            : bTlsRequired                       ? CSmtpTlsSession::VERIFY_REQUIRED
                                                                                 : CSmtpTlsSession::VERIFY_NOTE;
    m_sStep = "connect";
    Connect(Settings.m_sServerHost, Settings.m_nServerPort);
    if (nSecurity == SMTPSECURITY_TLS) {
        m_sStep = "TLS handshake";
        StartTls(Settings.m_sServerHost, Settings.m_nServerPort, nVerify);
    }
    m_sStep = "greeting";
    ReceiveInRange(200, 299);
    const bool bStartTlsOffered = SendEhlo(Settings);
    if (nSecurity == SMTPSECURITY_STARTTLS || nSecurity == SMTPSECURITY_STARTTLS_REQUIRED) {
        m_sStep = "STARTTLS";
        if (!bStartTlsOffered && bTlsRequired) corvane::ThrowHResult(E_SMTP_STARTTLS_NOT_OFFERED);
        if (bStartTlsOffered) {
            Send(std::string_view("STARTTLS\r\n"));
            const ULONG nCode = Receive();
            if (nCode >= 200 && nCode <= 299) {
                m_sStep = "TLS handshake";
                StartTls(Settings.m_sServerHost, Settings.m_nServerPort, nVerify);
                // What the server said before the handshake no longer counts.
                SendEhlo(Settings);
            } else if (bTlsRequired) {
                corvane::ThrowHResult(E_SMTP_UNEXPECTED_REPLY);
            } else {
                UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                         "The server %s refused STARTTLS (%u %s): the delivery goes on without TLS\n",
                         comrt::ToUtf8(Settings.m_sServerHost).c_str(), static_cast<unsigned>(nCode),
                         MakeSmtpTraceText(m_sLastReplyText).c_str());
            }
        }
    }
    if (m_pTlsSession && nVerify == CSmtpTlsSession::VERIFY_NOTE && !m_pTlsSession->IsVerified())
        UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                 "The certificate of %s failed its check (%s): the delivery goes on encrypted\n",
                 comrt::ToUtf8(Settings.m_sServerHost).c_str(), m_pTlsSession->GetVerifyResultText().c_str());
    m_sAuthenticationFailure.clear();
    if (!Settings.m_AuthMethodList.IsEmpty()) {
        m_sStep = "AUTH";
        // Without authentication the server may still take the message; it decides at MAIL FROM.
        try {
            Authenticate(Settings);
        } catch (...) {
            corvane::CatchAll(UL_CONTEXT);
        }
    }
    RunTransaction(Settings, sMessageData);
    if (bKeepOpen && m_pTlsSession) {
        m_bSessionOpen = true;
        m_SessionSettings = Settings;
        m_nSessionMessages = 1;
        return;
    }
    m_sStep = "QUIT";
    Send(std::string_view("QUIT\r\n"));
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::RunTransaction(const CSmtpSettings& Settings, const std::string& sMessageData) {
    m_sStep = "MAIL FROM";
    Send(u"MAIL FROM:<" + MakeSmtpCommandArgument(MailboxFromAddress(Settings.m_sSender)) + u">\r\n");
    ReceiveInRange(200, 299);
    int nRecipient = 0;
    for (const std::u16string* psList :
         {&Settings.m_sToRecipients, &Settings.m_sCcRecipients, &Settings.m_sBccRecipients}) {
        for (const std::u16string& sRecipient : corvane::SplitList(*psList)) {
            m_sStep = "RCPT " + std::to_string(++nRecipient);
            Send(u"RCPT TO:<" + MakeSmtpCommandArgument(MailboxFromAddress(sRecipient)) + u">\r\n");
            ReceiveInRange(200, 299);
        }
    }
    m_sStep = "DATA";
    Send(std::string_view("DATA\r\n"));
    ReceiveInRange(300, 399);
    m_sStep = "end of data";
    // The end mark goes out in the same write as the data. Written on its own it would be held back until
    // the server acknowledged the data, and a server that has nothing to answer yet delays that
    // acknowledgement (some 40 ms on Linux): a stall on every message.
    Send(std::string_view(StuffSmtpMessageData(sMessageData) + ".\r\n"));
    ReceiveInRange(200, 299);
}

template <class TSocket>
bool CSmtpClientConnectionT<TSocket>::IsSameSession(const CSmtpSettings& Settings) const noexcept {
    const CSmtpSettings& Open = m_SessionSettings;
    return Open.m_sServerHost == Settings.m_sServerHost && Open.m_nServerPort == Settings.m_nServerPort &&
           Open.m_nSecurity == Settings.m_nSecurity &&
           Open.m_bVerifyServerCertificate == Settings.m_bVerifyServerCertificate &&
           Open.m_AuthMethodList.GetNames() == Settings.m_AuthMethodList.GetNames() &&
           Open.m_sAuthenticationName == Settings.m_sAuthenticationName &&
           Open.m_sAuthenticationPassword == Settings.m_sAuthenticationPassword;
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::EndSession() noexcept {
    if (m_bSessionOpen) {
        m_bSessionOpen = false;
        m_sStep = "QUIT";
        // Said, not waited for: the server has taken every message of the session.
        try {
            Send(std::string_view("QUIT\r\n"));
        } catch (...) {
            corvane::CatchAll(UL_CONTEXT);
        }
    }
    Close();
}

template <class TSocket>
std::string CSmtpClientConnectionT<TSocket>::DescribeFailure(const CSmtpSettings& Settings, HRESULT nResult) const {
    std::string sLine = "The delivery to " + comrt::ToUtf8(Settings.m_sServerHost) + ":" +
                        std::to_string(Settings.m_nServerPort) + " failed at " + m_sStep + ": ";
    const bool bReply = nResult == E_SMTP_UNEXPECTED_REPLY || nResult == E_SMTP_NOT_INTERMEDIATE;
    if (bReply) {
        sLine += "the server answered " + std::to_string(m_nLastReplyCode) + " " + MakeSmtpTraceText(m_sLastReplyText);
    } else if (nResult == E_SMTP_CERTIFICATE) {
        sLine += "the server's certificate failed its check: " + MakeSmtpTraceText(m_sTlsFailure);
    } else if (nResult == E_SMTP_TLS_HANDSHAKE || nResult == E_SMTP_TLS) {
        sLine += "TLS failed: " + MakeSmtpTraceText(m_sTlsFailure.empty() ? DescribeResult(nResult) : m_sTlsFailure);
    } else {
        sLine += DescribeResult(nResult);
        if (nResult == HRESULT_FROM_WIN32(WSAETIMEDOUT)) sLine += " of " + std::to_string(m_nTimeout) + " ms";
    }
    char szCode[24];
    std::snprintf(szCode, sizeof szCode, " (0x%08x)", static_cast<unsigned>(nResult));
    sLine += szCode;
    if (!m_sAuthenticationFailure.empty()) sLine += "; authentication failed before: " + m_sAuthenticationFailure;
    return sLine;
}

template <class TSocket>
void CSmtpClientConnectionT<TSocket>::Deliver(const CSmtpSettings& Settings, const std::string& sMessageData,
                                              bool bKeepOpen) noexcept {
    m_nTimeout = Settings.m_nTimeout;
    SetDeadline(GetDeliveryTime(m_nTimeout));
    m_nLastResult = S_OK;
    m_sLastFailure.clear();
    m_sAuthenticationFailure.clear();
    m_sTlsFailure.clear();
    if (m_bSessionOpen && !IsSameSession(Settings)) EndSession();
    HRESULT nResult = S_OK;
    try {
        bool bSent = false;
        if (m_bSessionOpen) {
            m_bSessionOpen = false;  // open again only once this message went through
            try {
                RunTransaction(Settings, sMessageData);
                bSent = true;
                if (bKeepOpen && ++m_nSessionMessages < MAX_MESSAGES_PER_SESSION) m_bSessionOpen = true;
            } catch (const corvane::CHResultException& Exception) {
                // Only a session that failed at its first command is given up for a new one: the server
                // has not seen this message. Anything later fails this delivery as on a new connection.
                if (m_sStep != "MAIL FROM" || Exception.GetResult() == E_SMTP_STOPPED ||
                    Exception.GetResult() == E_SMTP_DEADLINE)
                    throw;
                UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                         "The open session with %s failed at MAIL FROM (0x%08x): the message goes through a new "
                         "connection\n",
                         comrt::ToUtf8(Settings.m_sServerHost).c_str(), static_cast<unsigned>(Exception.GetResult()));
                Close();
                m_nLastReplyCode = 0;
                m_sLastReplyText.clear();
            }
        }
        if (!bSent)
            RunDialogue(Settings, sMessageData, bKeepOpen);
        else if (!m_bSessionOpen)
            EndSession();
    } catch (const corvane::CHResultException& Exception) {
        nResult = Exception.GetResult();
        if (nResult == E_SMTP_STOPPED)
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The delivery to %s has been stopped: its notification is going\n",
                     comrt::ToUtf8(Settings.m_sServerHost).c_str());
        else if (nResult == E_SMTP_DEADLINE)
            UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                     "The delivery to %s has not ended within %d ms and has been given up\n",
                     comrt::ToUtf8(Settings.m_sServerHost).c_str(), static_cast<int>(GetDeliveryTime(m_nTimeout)));
        corvane::CatchAll(UL_CONTEXT);
    } catch (...) {
        nResult = E_FAIL;
        corvane::CatchAll(UL_CONTEXT);
    }
    // The server has taken the message once it acknowledged its end: a failure of QUIT is no failure of it.
    if (FAILED(nResult) && m_sStep != "QUIT") {
        m_nLastResult = nResult;
        try {
            m_sLastFailure = DescribeFailure(Settings, nResult);
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "%s\n", m_sLastFailure.c_str());
        } catch (...) {
            corvane::CatchAll(UL_CONTEXT);
        }
    }
    m_bDeadline = false;
    if (FAILED(m_nLastResult) || !m_bSessionOpen) {
        m_bSessionOpen = false;
        Close();
    }
}

template class CSmtpClientConnectionT<CSocketT<true>>;

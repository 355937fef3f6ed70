// The SMTP client side of one delivery: a connection that sends commands and reads numbered replies, each
// wait bounded by the time-out, and the dialogue that hands one composed message to one server (greeting,
// EHLO, optional authentication, MAIL FROM, RCPT TO for every recipient, DATA, QUIT), in plain text or
// protected by TLS (STARTTLS, or TLS from the connect on) as the settings ask.
//
// One thread uses a connection at a time (the notification's worker); nothing here is shared.
//
// Failures are raised as corvane::CHResultException after the trace line "Exception 0x%08x": the reply
// codes below, HRESULT_FROM_WIN32 of a socket library code (0x8007274C a wait timed out, 0x80072746 the
// peer closed the connection, 0x80072741 the host could not be resolved, 0x8007274D the connection was
// refused), and 0x80072738 for a reply that has not ended within MAX_REPLY_SIZE bytes. Deliver catches them
// all.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "SmtpSettings.h"
#include "SmtpTls.h"
#include "comrt/types.h"
#include "corvane/ulsockets.h"

// A reply line does not start with 1 to 7 decimal digits.
constexpr HRESULT E_SMTP_REPLY_CODE = MakeCorvaneHResult(0x01E5);
// The digits of a reply line are followed by something other than a blank or a hyphen.
constexpr HRESULT E_SMTP_REPLY_SEPARATOR = MakeCorvaneHResult(0x01E7);
// A continuation line carries another code than the first line of its reply.
constexpr HRESULT E_SMTP_REPLY_CONTINUATION = MakeCorvaneHResult(0x01E9);
// A reply other than 334 where the server had to ask for the next authentication step.
constexpr HRESULT E_SMTP_NOT_INTERMEDIATE = MakeCorvaneHResult(0x021D);
// A reply code outside the range the command allows.
constexpr HRESULT E_SMTP_UNEXPECTED_REPLY = MakeCorvaneHResult(0x0223);
// The delivery was stopped from outside (its abort event was set) while it waited for the server.
constexpr HRESULT E_SMTP_STOPPED = MakeCorvaneHResult(0x0229);
// The delivery as a whole took longer than its deadline (a server that drips its replies).
constexpr HRESULT E_SMTP_DEADLINE = MakeCorvaneHResult(0x022B);
// The TLS handshake failed (a protocol error or an alert of the server).
constexpr HRESULT E_SMTP_TLS_HANDSHAKE = MakeCorvaneHResult(0x022D);
// The server's certificate does not lead to a trust anchor or does not name the server host.
constexpr HRESULT E_SMTP_CERTIFICATE = MakeCorvaneHResult(0x022F);
// STARTTLS is required and the server does not offer it.
constexpr HRESULT E_SMTP_STARTTLS_NOT_OFFERED = MakeCorvaneHResult(0x0231);
// Reading or writing through the established TLS session failed.
constexpr HRESULT E_SMTP_TLS = MakeCorvaneHResult(0x0233);
// The server sent more after its go-ahead for STARTTLS, before the handshake: text that would otherwise be
// taken as if it had come protected.
constexpr HRESULT E_SMTP_DATA_BEFORE_TLS = MakeCorvaneHResult(0x0235);

// One reply taken from the start of the receive buffer.
struct CSmtpReply {
    ULONG nCode = 0;          // the reply code
    std::string sText;        // the line texts after the code and its separator, joined with CR LF
    std::size_t nLength = 0;  // the bytes the reply takes, through the CR LF of its last line
};

// Reads the reply at the start of sBuffer. True with Reply filled when the buffer holds all of it; false,
// Reply untouched, when its last line has not arrived yet. Malformed lines raise E_SMTP_REPLY_CODE,
// E_SMTP_REPLY_SEPARATOR or E_SMTP_REPLY_CONTINUATION, once the line is complete. A pure function over the
// bytes, so that tests and the fuzzer drive it without sockets.
bool ParseSmtpReply(std::string_view sBuffer, CSmtpReply& Reply);

// The bytes of the message data as DATA sends them: CR LF appended when the data is not empty and does not
// end with one, and a dot doubled after every CR LF (a dot at the very start is left as it is).
std::string StuffSmtpMessageData(std::string_view sMessageData);

// The text as an argument of one command line: each CR and LF becomes a blank, so that an argument can never
// end its command and start another.
std::u16string MakeSmtpCommandArgument(std::u16string_view sText);

// Whether the text of an EHLO reply (its lines joined with CR LF) lists the extension sKeyword (compared
// ignoring case) on one of its lines after the first, which names the server.
bool SmtpReplyListsExtension(std::string_view sEhloText, std::string_view sKeyword);

// A reply text as one trace line: line breaks as " / ", other control characters as '?', at most 300
// characters.
std::string MakeSmtpTraceText(std::string_view sText);

// TSocket: the socket class; the managed CSocketT<true>, so that the socket is closed with the connection.
template <class TSocket = CSocketT<true>>
class CSmtpClientConnectionT {
public:
    // The most bytes a reply may take before its last line has arrived. A server that goes on sending
    // without ending its reply (one endless line, or continuation lines without end) fails the read with
    // HRESULT_FROM_WIN32(WSAEMSGSIZE) once this much is buffered, instead of growing the buffer without limit.
    // Far above any reply of a real server (the protocol limits a reply line to 512 bytes; the longest
    // replies, EHLO capability lists, take a few hundred bytes).
    static constexpr std::size_t MAX_REPLY_SIZE = 64 * 1024;
    // The most bytes one read takes from the socket.
    static constexpr std::size_t RECEIVE_SIZE = 8192;
    static constexpr LONG DEFAULT_TIMEOUT = 60000;
    // A delivery as a whole ends after this many times its time-out, and never takes longer than
    // MAX_DELIVERY_TIME milliseconds (also with the time-out -1): a peer that sends one byte just inside
    // every wait cannot hold the worker, and every later e-mail, for ever.
    static constexpr LONG DELIVERY_TIMEOUT_FACTOR = 20;
    static constexpr LONG MAX_DELIVERY_TIME = 10 * 60 * 1000;
    // The deadline of a delivery for a time-out: DELIVERY_TIMEOUT_FACTOR times it, at most MAX_DELIVERY_TIME.
    static LONG GetDeliveryTime(LONG nTimeout) noexcept;

    CSmtpClientConnectionT() = default;
    CSmtpClientConnectionT(const CSmtpClientConnectionT&) = delete;
    CSmtpClientConnectionT& operator=(const CSmtpClientConnectionT&) = delete;

    // Milliseconds for every single wait (connect, writable, readable); -1 waits without limit.
    LONG GetTimeout() const noexcept { return m_nTimeout; }
    void SetTimeout(LONG nTimeout) noexcept { m_nTimeout = nTimeout; }
    // An event whose signal ends every wait at once with E_SMTP_STOPPED (the worker's termination event);
    // null for none. The event must outlive its use here.
    void SetAbortEvent(HANDLE hAbortEvent) noexcept { m_hAbortEvent = hAbortEvent; }
    // Bounds every later wait by nMilliseconds from now as a whole: a wait that would end after that point
    // fails with E_SMTP_DEADLINE instead; negative for no deadline. Deliver sets its own.
    void SetDeadline(LONG nMilliseconds) noexcept;

    // Connects to sHost (dotted IPv4 address or host name) and nPort, waiting at most the time-out for the
    // connection; empties the receive buffer.
    void Connect(std::u16string_view sHost, USHORT nPort);
    // Runs the TLS handshake on the connected socket for the server sHost, each wait bounded as every other;
    // from then on Send and Receive go through the session. A failed handshake raises
    // E_SMTP_TLS_HANDSHAKE, E_SMTP_CERTIFICATE (with nVerify VERIFY_REQUIRED), or 0x80072746 when the server
    // closed the connection. Data received before and not yet taken must not exist (E_SMTP_DATA_BEFORE_TLS).
    void StartTls(std::u16string_view sHost, USHORT nPort, CSmtpTlsSession::VERIFY nVerify);
    bool IsTlsActive() const noexcept { return m_pTlsSession != nullptr; }
    // The established session; null without TLS.
    const CSmtpTlsSession* GetTlsSession() const noexcept { return m_pTlsSession.get(); }
    // Whether the last handshake resumed an earlier session (it stays known after the connection closed).
    bool WasTlsResumed() const noexcept { return m_bTlsResumed; }
    // Sends all bytes, waiting at most the time-out each time the socket cannot take more.
    void Send(std::string_view sBytes);
    // Sends the text in the locale's 8-bit character set (UTF-8).
    void Send(std::u16string_view sText);
    // Reads one complete reply and returns its code; *psText, when given, receives its text. Data that came
    // after the reply stays buffered for the next one.
    ULONG Receive(std::string* psText = nullptr);
    // Receive, requiring 334 (E_SMTP_NOT_INTERMEDIATE otherwise).
    void ReceiveIntermediate(std::string& sText);
    // Receive, requiring nLow <= code <= nHigh (E_SMTP_UNEXPECTED_REPLY otherwise); *psText, when given,
    // receives the reply text.
    ULONG ReceiveInRange(ULONG nLow, ULONG nHigh, std::string* psText = nullptr);
    // The code and text of the last reply received, 0 and empty before the first of a connection.
    ULONG GetLastReplyCode() const noexcept { return m_nLastReplyCode; }
    const std::string& GetLastReplyText() const noexcept { return m_sLastReplyText; }
    // Closes the connection; nothing to do when it is closed.
    void Close() noexcept;

    // The mailbox of an address: the text between the first pair of angle brackets when there is one
    // ("Operator <ops@example.org>" gives "ops@example.org"), else the whole text; either way without the
    // blanks (not tabs) around it.
    static std::u16string MailboxFromAddress(std::u16string_view sAddress);

    // Delivers sMessageData (composed, 8-bit) with the server, sender, recipients, authentication,
    // security and time-out of Settings, on a connection of its own that is closed at the end, within the
    // deadline of GetDeliveryTime. Failures are traced ("Exception 0x%08x" where it failed, then "An
    // exception has been caught"; a stop and the deadline with a line of their own; then one line that names
    // the failed step and what the server answered there, GetLastFailure) and end the delivery; nothing is
    // retried and nothing reaches the caller.
    //
    // Security (SMTPSECURITY_): none is the plain dialogue. STARTTLS: the EHLO reply is read for the
    // extension; when it is listed, "STARTTLS" is sent, the handshake runs and EHLO is sent again, whose
    // reply is the one that counts; when it is not (or the server refuses the command) the dialogue goes on
    // in plain text, as without security, unless STARTTLS is required, which ends the delivery. TLS: the
    // handshake runs right after the connect, before the greeting. The server's certificate is checked
    // when VerifyServerCertificate is set: a failed check ends the delivery when TLS is required (STARTTLS
    // required, or TLS), and is only traced with STARTTLS when offered, whose delivery goes on encrypted.
    //
    // With bKeepOpen, a delivery over TLS that the server took leaves its session open (no QUIT), and the
    // next Deliver with the same server, security and credentials sends its message on it (MAIL FROM right
    // away; without bKeepOpen the session ends after it), at most MAX_MESSAGES_PER_SESSION of them: a TLS
    // handshake costs far more than a message. When the open session fails at its first command (the
    // server closed it meanwhile, or takes no more), that message goes through a new connection. Another
    // server or other credentials end the open session first; so does EndSession. Plain dialogues never
    // stay open: each message has its connection, as it always had.
    void Deliver(const CSmtpSettings& Settings, const std::string& sMessageData, bool bKeepOpen = false) noexcept;
    // Whether a session is open for the next Deliver; and the end of that session (QUIT, then close).
    bool IsSessionOpen() const noexcept { return m_bSessionOpen; }
    void EndSession() noexcept;
    static constexpr unsigned MAX_MESSAGES_PER_SESSION = 100;
    // On the connected connection, tries the methods of Settings' list in order ("login", "cram-md5" and
    // "plain", compared ignoring case; another name is an assertion report and is skipped) until one
    // succeeds, and returns its name as written in the list, or empty text when none did. A failed method is
    // traced and the next one is tried on the same connection.
    std::u16string Authenticate(const CSmtpSettings& Settings);

    // The result of the last Deliver: S_OK when the server took the message, else the failure's code; and
    // the text of its failure line ("" after a success), which never holds credentials.
    HRESULT GetLastResult() const noexcept { return m_nLastResult; }
    const std::string& GetLastFailure() const noexcept { return m_sLastFailure; }
    // Whether the last Deliver met a refused authentication method.
    bool HasAuthenticationFailed() const noexcept { return !m_sAuthenticationFailure.empty(); }

private:
    void AuthenticateLogin(const CSmtpSettings& Settings);
    void AuthenticateCramMd5(const CSmtpSettings& Settings);
    void AuthenticatePlain(const CSmtpSettings& Settings);
    // EHLO with the server host, true when its reply lists STARTTLS.
    bool SendEhlo(const CSmtpSettings& Settings);
    // The dialogue of Deliver; raises where it fails, with m_sStep naming the step. RunDialogue opens the
    // session (connect, greeting, EHLO, TLS, AUTH), RunTransaction sends one message on it (MAIL FROM to
    // the end of data).
    void RunDialogue(const CSmtpSettings& Settings, const std::string& sMessageData, bool bKeepOpen);
    void RunTransaction(const CSmtpSettings& Settings, const std::string& sMessageData);
    // Whether an open session was made with what the session of Settings would be made with.
    bool IsSameSession(const CSmtpSettings& Settings) const noexcept;
    // The failure line of Deliver for the raised nResult.
    std::string DescribeFailure(const CSmtpSettings& Settings, HRESULT nResult) const;
    // Waits until the socket shows nNetworkEvent (FD_READ or FD_WRITE) for the TLS session.
    void WaitForTls(long nNetworkEvent);
    void SendTls(std::string_view sBytes);
    // Raises nResult for a TLS step that failed with nStatus; the session's words are kept for the trace.
    [[noreturn]] void ThrowTlsFailure(CSmtpTlsSession::STATUS nStatus, HRESULT nResult);
    // Waits until the socket can take more data (clears the wait-for-write flag).
    void WaitForWrite();
    // Waits for data and appends one read of it to the receive buffer.
    void ReceiveMore();
    // Waits for the network event; a time-out raises 0x8007274C.
    void WaitForNetworkEvent();

    LONG m_nTimeout = DEFAULT_TIMEOUT;
    HANDLE m_hAbortEvent = nullptr;
    bool m_bDeadline = false;
    DWORD m_nDeadlineTick = 0;
    TSocket m_Socket;
    CNetworkEvent m_NetworkEvent;  // after the socket: it refers to the socket and goes first
    bool m_bWaitForWrite = false;
    std::string m_sReceiveBuffer;
    std::unique_ptr<CSmtpTlsSession> m_pTlsSession;
    bool m_bTlsResumed = false;
    // Diagnostics of one delivery: the step in progress, the last reply, what the TLS library said about a
    // failure, and the last refused authentication method with its reply.
    std::string m_sStep;
    ULONG m_nLastReplyCode = 0;
    std::string m_sLastReplyText;
    std::string m_sTlsFailure;
    std::string m_sAuthenticationFailure;
    HRESULT m_nLastResult = S_OK;
    std::string m_sLastFailure;
    // The session left open for the next message: what it was made with, and the messages it has sent.
    bool m_bSessionOpen = false;
    CSmtpSettings m_SessionSettings;
    unsigned m_nSessionMessages = 0;
};

using CSmtpClientConnection = CSmtpClientConnectionT<>;

extern template class CSmtpClientConnectionT<CSocketT<true>>;

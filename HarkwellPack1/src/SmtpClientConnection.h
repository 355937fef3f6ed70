// The SMTP client side of one delivery: a connection that sends commands and reads numbered replies, each
// wait bounded by the time-out, and the dialogue that hands one composed message to one server (greeting,
// EHLO, optional authentication, MAIL FROM, RCPT TO for every recipient, DATA, QUIT).
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
#include <string>
#include <string_view>

#include "SmtpSettings.h"
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
    // Sends all bytes, waiting at most the time-out each time the socket cannot take more.
    void Send(std::string_view sBytes);
    // Sends the text in the locale's 8-bit character set (UTF-8).
    void Send(std::u16string_view sText);
    // Reads one complete reply and returns its code; *psText, when given, receives its text. Data that came
    // after the reply stays buffered for the next one.
    ULONG Receive(std::string* psText = nullptr);
    // Receive, requiring 334 (E_SMTP_NOT_INTERMEDIATE otherwise).
    void ReceiveIntermediate(std::string& sText);
    // Receive without text, requiring nLow <= code <= nHigh (E_SMTP_UNEXPECTED_REPLY otherwise).
    ULONG ReceiveInRange(ULONG nLow, ULONG nHigh);
    // Closes the connection; nothing to do when it is closed.
    void Close() noexcept;

    // The mailbox of an address: the text between the first pair of angle brackets when there is one
    // ("Operator <ops@example.org>" gives "ops@example.org"), else the whole text; either way without the
    // blanks (not tabs) around it.
    static std::u16string MailboxFromAddress(std::u16string_view sAddress);

    // Delivers sMessageData (composed, 8-bit) with the server, sender, recipients, authentication and
    // time-out of Settings, on a connection of its own that is closed at the end, within the deadline of
    // GetDeliveryTime. Failures are traced ("Exception 0x%08x" where it failed, then "An exception has been
    // caught"; a stop and the deadline with a line of their own) and end the delivery; nothing is retried
    // and nothing reaches the caller.
    void Deliver(const CSmtpSettings& Settings, const std::string& sMessageData) noexcept;
    // On the connected connection, tries the methods of Settings' list in order ("login" and "cram-md5",
    // compared ignoring case; another name is an assertion report and is skipped) until one succeeds, and
    // returns its name as written in the list, or empty text when none did. A failed method is traced and the
    // next one is tried on the same connection.
    std::u16string Authenticate(const CSmtpSettings& Settings);

private:
    void AuthenticateLogin(const CSmtpSettings& Settings);
    void AuthenticateCramMd5(const CSmtpSettings& Settings);
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
};

using CSmtpClientConnection = CSmtpClientConnectionT<>;

extern template class CSmtpClientConnectionT<CSocketT<true>>;

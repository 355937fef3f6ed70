// TLS for the SMTP client: one client session of the OpenSSL library over a connected non-blocking socket.
// The session never waits: every step answers whether it is done or which readiness of the socket it
// needs first, so that the connection waits with its own bounds (time-out per wait, deadline, abort event).
//
//   CSmtpTlsSession Session(hSocket, "mail.example.org", CSmtpTlsSession::VERIFY_REQUIRED);
//   for (;;) {
//       const auto nStatus = Session.Handshake();
//       if (nStatus == CSmtpTlsSession::STATUS_DONE) break;
//       ... STATUS_WANT_READ / STATUS_WANT_WRITE: wait for the socket, then call again; else fail ...
//   }
//
// The server's certificate is checked against the trust anchors the library finds by default (the system's
// store; SSL_CERT_FILE and SSL_CERT_DIR name others), and its names against the host name or IPv4 address
// the connection was made to. Sessions share the library's context and the trust anchors it read; those
// are read again when the store changes (another file or folder named, or a file rewritten). A connection
// resumes the last session with the same server and the same check when the server still takes it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;

class CSmtpTlsSession {
public:
    enum STATUS { STATUS_DONE, STATUS_WANT_READ, STATUS_WANT_WRITE, STATUS_CLOSED, STATUS_FAILED };
    enum VERIFY {
        // The certificate is not looked at.
        VERIFY_NONE,
        // The certificate is checked, and the result only noted (GetVerifyResult): the session goes on.
        VERIFY_NOTE,
        // A certificate that fails the check fails the handshake.
        VERIFY_REQUIRED,
    };

    // A session over the connected socket hSocket for the server sHost at nPort (the host is sent as the
    // server name unless it is an address); it resumes the last session with that server made with the same
    // check, if the server still takes it. Throws E_OUTOFMEMORY or E_FAIL (with a trace line) when the
    // library cannot make one.
    CSmtpTlsSession(int hSocket, std::string_view sHost, unsigned short nPort, VERIFY nVerify);
    ~CSmtpTlsSession();
    CSmtpTlsSession(const CSmtpTlsSession&) = delete;
    CSmtpTlsSession& operator=(const CSmtpTlsSession&) = delete;

    // One step of the handshake.
    STATUS Handshake() noexcept;
    // One read of at most nLength bytes (*pnRead of them came when STATUS_DONE). STATUS_CLOSED: the server
    // ended the session or closed the connection.
    STATUS Read(void* pBuffer, std::size_t nLength, std::size_t* pnRead) noexcept;
    // Writes all nLength bytes (STATUS_DONE) or none yet: after a STATUS_WANT_ the same bytes are given again.
    STATUS Write(const void* pData, std::size_t nLength) noexcept;
    // Tells the server the session ends, without waiting for its answer.
    void Shutdown() noexcept;

    // Whether the server's certificate passed the check (after the handshake, or after a handshake that
    // failed for it), and the library's words for the result.
    bool IsVerified() const noexcept;
    // Whether the check of a certificate the server sent failed (also when that failed the handshake).
    bool HasVerificationFailed() const noexcept;
    std::string GetVerifyResultText() const;
    // What the library said about the last failure (STATUS_FAILED): its error queue as one line, emptied.
    const std::string& GetErrorText() const noexcept { return m_sErrorText; }
    // The protocol version and cipher of the established session, and whether it was resumed, for the trace.
    std::string GetDescription() const;
    // Whether the handshake resumed an earlier session instead of making a new one.
    bool IsResumed() const noexcept;

private:
    void Initialize(int hSocket, std::string_view sHost, unsigned short nPort);
    // The status of a library call's result; Result also notes a session that has ended or failed.
    STATUS Result(int nResult) noexcept;
    STATUS Classify(int nResult) noexcept;

    SSL_CTX* m_pContext = nullptr;
    SSL* m_pSsl = nullptr;
    VERIFY m_nVerify;
    bool m_bBroken = false;
    std::string m_sErrorText;
    // Which sessions this one may resume and is kept for: the check, the host and the port.
    std::string m_sSessionKey;
    // The earlier session offered for resumption, until the handshake ends.
    SSL_SESSION* m_pOfferedSession = nullptr;
};

// TLS sessions of the SMTP client on OpenSSL.
#include "SmtpTls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

#include "comrt/types.h"
#include "corvane/ulguard.h"
#include "corvane/ulsockets.h"

namespace {

// The library's error queue as one line, emptied.
std::string TakeErrorQueue() {
    std::string sText;
    for (unsigned long nError; (nError = ERR_get_error()) != 0;) {
        char szText[256];
        ERR_error_string_n(nError, szText, sizeof szText);
        if (!sText.empty()) sText += "; ";
        sText += szText;
    }
    return sText;
}

// Whether the host is written as an address (the library's own reading of address text).
bool IsAddress(const std::string& sHost) {
    ASN1_OCTET_STRING* pAddress = a2i_IPADDRESS(sHost.c_str());
    ASN1_OCTET_STRING_free(pAddress);
    return pAddress != nullptr;
}

// Where the default trust anchors are read from, and the state of those files: a context that read them
// serves while all of it stays the same. Reading the system's store takes some 50 ms; a stat is cheap.
struct CTrustStoreState {
    std::string sFile, sFolder;
    std::filesystem::file_time_type FileTime, FolderTime;
    std::uintmax_t nFileSize = 0;

    static CTrustStoreState Read() {
        CTrustStoreState State;
        const char* pszFile = std::getenv(X509_get_default_cert_file_env());
        const char* pszFolder = std::getenv(X509_get_default_cert_dir_env());
        State.sFile = pszFile != nullptr ? pszFile : X509_get_default_cert_file();
        State.sFolder = pszFolder != nullptr ? pszFolder : X509_get_default_cert_dir();
        std::error_code ec;
        State.FileTime = std::filesystem::last_write_time(State.sFile, ec);
        State.nFileSize = std::filesystem::file_size(State.sFile, ec);
        // The folder may name several, separated by colons; its first entry's time stands for it.
        State.FolderTime = std::filesystem::last_write_time(State.sFolder.substr(0, State.sFolder.find(':')), ec);
        return State;
    }
    bool operator==(const CTrustStoreState&) const = default;
};

// The client contexts the sessions share: one without trust anchors, one with those of the state it read;
// and the sessions each context may resume, by server and check. Resuming saves the server's signature and
// the check of its chain, most of a handshake's cost. A session is only resumed by a connection to the same
// host and port with the same check, through the context it was made in: so never one that was not checked
// by one that checks, nor after the trust anchors changed.
// Never destroyed: the library's own clean-up at exit may run before a static object's destructor would.
class CContextCache {
public:
    static CContextCache& Get() {
        static CContextCache* const s_pCache = new CContextCache;
        return *s_pCache;
    }
    // A reference to a context for a session (with the default trust anchors when bTrust), or nullptr when
    // the library cannot make one; *psError receives why the trust anchors could not be read, if so.
    SSL_CTX* Acquire(bool bTrust, std::string* psError) {
        std::lock_guard Lock(m_Mutex);
        if (!bTrust) {
            if (m_pPlain == nullptr) m_pPlain = Make();
            return UpReference(m_pPlain);
        }
        const CTrustStoreState State = CTrustStoreState::Read();
        if (m_pTrusting != nullptr && State == m_TrustingState) return UpReference(m_pTrusting);
        SSL_CTX* pContext = Make();
        if (pContext == nullptr) return nullptr;
        if (SSL_CTX_set_default_verify_paths(pContext) != 1) {
            // Not kept: the next session tries again, and traces again if it fails too.
            *psError = TakeErrorQueue();
            return pContext;
        }
        ForgetSessions(m_pTrusting);
        SSL_CTX_free(m_pTrusting);
        m_pTrusting = pContext;
        m_TrustingState = State;
        return UpReference(pContext);
    }

    // The oldest session kept to resume for the key in the context, taken out, or nullptr; the caller owns
    // the reference. Each serves once: servers hand over several tickets of TLS 1.3 for that, and may take
    // none twice.
    SSL_SESSION* TakeSession(SSL_CTX* pContext, const std::string& sKey) {
        std::lock_guard Lock(m_Mutex);
        const auto it = m_Sessions.find({pContext, sKey});
        if (it == m_Sessions.end()) return nullptr;
        SSL_SESSION* pSession = it->second.front();
        it->second.pop_front();
        if (it->second.empty()) m_Sessions.erase(it);
        return pSession;
    }
    // Takes over the reference to the session, to resume for the key after those kept before it.
    void KeepSession(SSL_CTX* pContext, const std::string& sKey, SSL_SESSION* pSession) {
        std::lock_guard Lock(m_Mutex);
        // Bounds far above the servers one process talks to and the tickets one hands over.
        if (m_Sessions.size() >= MAX_SERVERS) ForgetSessions(nullptr);
        std::deque<SSL_SESSION*>& Kept = m_Sessions[{pContext, sKey}];
        if (Kept.size() >= MAX_SESSIONS_PER_SERVER) {
            SSL_SESSION_free(Kept.front());
            Kept.pop_front();
        }
        Kept.push_back(pSession);
    }

private:
    static constexpr std::size_t MAX_SERVERS = 256;
    static constexpr std::size_t MAX_SESSIONS_PER_SERVER = 4;

    static SSL_CTX* Make();
    static SSL_CTX* UpReference(SSL_CTX* pContext) {
        return pContext != nullptr && SSL_CTX_up_ref(pContext) == 1 ? pContext : nullptr;
    }
    // Frees the sessions kept for the context (for every context with nullptr).
    void ForgetSessions(SSL_CTX* pContext) {
        for (auto it = m_Sessions.begin(); it != m_Sessions.end();) {
            if (pContext != nullptr && it->first.first != pContext) {
                ++it;
                continue;
            }
            for (SSL_SESSION* pSession : it->second) SSL_SESSION_free(pSession);
            it = m_Sessions.erase(it);
        }
    }

    std::mutex m_Mutex;
    SSL_CTX* m_pPlain = nullptr;
    SSL_CTX* m_pTrusting = nullptr;
    CTrustStoreState m_TrustingState;
    std::map<std::pair<SSL_CTX*, std::string>, std::deque<SSL_SESSION*>> m_Sessions;
};

// The index among the library's extra data of an SSL object's session key (CSmtpTlsSession::m_sSessionKey).
int SessionKeyIndex() noexcept {
    static const int s_nIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return s_nIndex;
}

// A session the server handed over (at the end of a full handshake, or in a ticket after it): kept for the
// next connection with the same key.
int OnNewSession(SSL* pSsl, SSL_SESSION* pSession) noexcept {
    const auto* psKey = static_cast<const std::string*>(SSL_get_ex_data(pSsl, SessionKeyIndex()));
    if (psKey == nullptr || SSL_SESSION_is_resumable(pSession) != 1) return 0;
    try {
        CContextCache::Get().KeepSession(SSL_get_SSL_CTX(pSsl), *psKey, pSession);
    } catch (...) {
        return 0;  // not kept: the library frees it
    }
    return 1;
}

SSL_CTX* CContextCache::Make() {
    SSL_CTX* pContext = SSL_CTX_new(TLS_client_method());
    if (pContext == nullptr) return nullptr;
    // TLS 1.2 is the oldest version mail servers still need; older ones are broken.
    SSL_CTX_set_min_proto_version(pContext, TLS1_2_VERSION);
    // The library hands each new session to OnNewSession and keeps none itself.
    SSL_CTX_set_session_cache_mode(pContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(pContext, &OnNewSession);
    return pContext;
}

// The session's transport: OpenSSL's socket BIO, except that writes go through the socket layer. The BIO's
// own write() raises SIGPIPE on a connection the server has closed, and SIGPIPE ends the whole process.
int WriteWithoutSignal(BIO* pBio, const char* pData, std::size_t nLength, std::size_t* pnWritten) {
    BIO_clear_retry_flags(pBio);
    *pnWritten = 0;
    const long nSent = SendWithoutSignal(static_cast<SOCKET>(BIO_get_fd(pBio, nullptr)), pData, nLength);
    if (nSent < 0) {
        if (BIO_sock_should_retry(-1) != 0) BIO_set_retry_write(pBio);
        return 0;
    }
    *pnWritten = static_cast<std::size_t>(nSent);
    return 1;
}

const BIO_METHOD* SocketWithoutSignal() noexcept {
    static const BIO_METHOD* const pMethod = []() -> const BIO_METHOD* {
        const BIO_METHOD* pSocket = BIO_s_socket();
        BIO_METHOD* p = BIO_meth_new(BIO_TYPE_SOCKET, "socket without SIGPIPE");
        if (p == nullptr) return nullptr;
        BIO_meth_set_write_ex(p, &WriteWithoutSignal);
        BIO_meth_set_read(p, BIO_meth_get_read(pSocket));
        BIO_meth_set_puts(p, BIO_meth_get_puts(pSocket));
        BIO_meth_set_ctrl(p, BIO_meth_get_ctrl(pSocket));
        BIO_meth_set_create(p, BIO_meth_get_create(pSocket));
        BIO_meth_set_destroy(p, BIO_meth_get_destroy(pSocket));
        return p;
    }();
    return pMethod;
}

}  // namespace

CSmtpTlsSession::CSmtpTlsSession(int hSocket, std::string_view sHost, unsigned short nPort, VERIFY nVerify)
    : m_nVerify(nVerify) {
    try {
        Initialize(hSocket, sHost, nPort);
    } catch (...) {
        SSL_SESSION_free(m_pOfferedSession);
        SSL_free(m_pSsl);
        SSL_CTX_free(m_pContext);
        throw;
    }
}

void CSmtpTlsSession::Initialize(int hSocket, std::string_view sHost, unsigned short nPort) {
    const VERIFY nVerify = m_nVerify;
    ERR_clear_error();
    // The context is shared: its trust anchors are read again only when the store changes (its place, as
    // SSL_CERT_FILE and SSL_CERT_DIR name it, or its files), so that a change counts at the next session.
    m_pContext = CContextCache::Get().Acquire(nVerify != VERIFY_NONE, &m_sErrorText);
    if (m_pContext == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    if (!m_sErrorText.empty())
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The default trust anchors could not be read: %s\n", m_sErrorText.c_str());
    m_pSsl = SSL_new(m_pContext);
    if (m_pSsl == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    const BIO_METHOD* pTransport = SocketWithoutSignal();
    BIO* pBio = pTransport != nullptr ? BIO_new(pTransport) : nullptr;
    if (pBio == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    BIO_set_fd(pBio, hSocket, BIO_NOCLOSE);
    SSL_set_bio(m_pSsl, pBio, pBio);  // the session owns it from here
    const std::string sHostText(sHost);
    const bool bAddress = IsAddress(sHostText);
    // A server name is only sent for names: addresses are not allowed there.
    if (!bAddress && !sHostText.empty()) SSL_set_tlsext_host_name(m_pSsl, sHostText.c_str());
    if (nVerify != VERIFY_NONE) {
        X509_VERIFY_PARAM* pParameters = SSL_get0_param(m_pSsl);
        X509_VERIFY_PARAM_set_hostflags(pParameters, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        // An address is matched against the certificate's address entries, a name against its DNS names.
        const int nSet = bAddress ? X509_VERIFY_PARAM_set1_ip_asc(pParameters, sHostText.c_str())
                                  : X509_VERIFY_PARAM_set1_host(pParameters, sHostText.c_str(), sHostText.size());
        if (nSet != 1) corvane::ThrowHResult(E_FAIL);
    }
    SSL_set_verify(m_pSsl, nVerify == VERIFY_REQUIRED ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    // The check is part of the key: a session made without it is never resumed by a connection that checks,
    // nor one whose failed check was only noted by a connection that requires it.
    m_sSessionKey = std::to_string(static_cast<int>(nVerify)) + " " + sHostText + " " + std::to_string(nPort);
    if (SSL_set_ex_data(m_pSsl, SessionKeyIndex(), &m_sSessionKey) != 1) corvane::ThrowHResult(E_OUTOFMEMORY);
    m_pOfferedSession = CContextCache::Get().TakeSession(m_pContext, m_sSessionKey);
    if (m_pOfferedSession != nullptr && SSL_set_session(m_pSsl, m_pOfferedSession) != 1) {
        SSL_SESSION_free(m_pOfferedSession);
        m_pOfferedSession = nullptr;
    }
}

CSmtpTlsSession::~CSmtpTlsSession() {
    SSL_SESSION_free(m_pOfferedSession);
    SSL_free(m_pSsl);
    SSL_CTX_free(m_pContext);
}

CSmtpTlsSession::STATUS CSmtpTlsSession::Result(int nResult) noexcept {
    const STATUS nStatus = Classify(nResult);
    if (nStatus == STATUS_CLOSED || nStatus == STATUS_FAILED) m_bBroken = true;
    return nStatus;
}

CSmtpTlsSession::STATUS CSmtpTlsSession::Classify(int nResult) noexcept {
    if (nResult > 0) return STATUS_DONE;
    switch (SSL_get_error(m_pSsl, nResult)) {
        case SSL_ERROR_WANT_READ:
            return STATUS_WANT_READ;
        case SSL_ERROR_WANT_WRITE:
            return STATUS_WANT_WRITE;
        case SSL_ERROR_ZERO_RETURN:
            return STATUS_CLOSED;
        case SSL_ERROR_SYSCALL:
            // The connection ended under the session (a close without close_notify, or a reset).
            try {
                m_sErrorText = TakeErrorQueue();
            } catch (...) {
            }
            return STATUS_CLOSED;
        case SSL_ERROR_SSL:
            // The library reports a connection closed without close_notify as an error of its own.
            if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                ERR_clear_error();
                return STATUS_CLOSED;
            }
            [[fallthrough]];
        default:
            try {
                m_sErrorText = TakeErrorQueue();
            } catch (...) {
            }
            return STATUS_FAILED;
    }
}

CSmtpTlsSession::STATUS CSmtpTlsSession::Handshake() noexcept {
    ERR_clear_error();
    const STATUS nStatus = Result(SSL_connect(m_pSsl));
    if (nStatus != STATUS_DONE || m_pOfferedSession == nullptr) return nStatus;
    // A session of TLS 1.2 serves again: servers make no new one on resumption. A ticket of TLS 1.3 serves
    // once; the server may hand over new ones.
    SSL_SESSION* pOffered = std::exchange(m_pOfferedSession, nullptr);
    if (SSL_session_reused(m_pSsl) == 1 && SSL_version(m_pSsl) < TLS1_3_VERSION) {
        try {
            CContextCache::Get().KeepSession(m_pContext, m_sSessionKey, pOffered);
            return nStatus;
        } catch (...) {
        }
    }
    SSL_SESSION_free(pOffered);
    return nStatus;
}

CSmtpTlsSession::STATUS CSmtpTlsSession::Read(void* pBuffer, std::size_t nLength, std::size_t* pnRead) noexcept {
    ERR_clear_error();
    *pnRead = 0;
    return Result(SSL_read_ex(m_pSsl, pBuffer, nLength, pnRead));
}

CSmtpTlsSession::STATUS CSmtpTlsSession::Write(const void* pData, std::size_t nLength) noexcept {
    if (nLength == 0) return STATUS_DONE;
    ERR_clear_error();
    std::size_t nWritten = 0;
    // Without partial writes the library takes the whole buffer or, after a STATUS_WANT_, the same again.
    return Result(SSL_write_ex(m_pSsl, pData, nLength, &nWritten));
}

void CSmtpTlsSession::Shutdown() noexcept {
    // After a fatal error the library must not be asked to shut down; the connection is closed anyway.
    if (!m_bBroken && SSL_is_init_finished(m_pSsl)) SSL_shutdown(m_pSsl);
    ERR_clear_error();
}

bool CSmtpTlsSession::IsVerified() const noexcept {
    return SSL_get0_peer_certificate(m_pSsl) != nullptr && SSL_get_verify_result(m_pSsl) == X509_V_OK;
}

bool CSmtpTlsSession::HasVerificationFailed() const noexcept {
    return SSL_get_verify_result(m_pSsl) != X509_V_OK;
}

std::string CSmtpTlsSession::GetVerifyResultText() const {
    const long nResult = SSL_get_verify_result(m_pSsl);
    if (nResult == X509_V_OK && SSL_get0_peer_certificate(m_pSsl) == nullptr) return "the server sent no certificate";
    return X509_verify_cert_error_string(nResult);
}

std::string CSmtpTlsSession::GetDescription() const {
    return std::string(SSL_get_version(m_pSsl)) + " " + SSL_get_cipher_name(m_pSsl) + (IsResumed() ? ", resumed" : "");
}

bool CSmtpTlsSession::IsResumed() const noexcept {
    return SSL_session_reused(m_pSsl) == 1;
}

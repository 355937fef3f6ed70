// TLS sessions of the SMTP client on OpenSSL.
#include "SmtpTls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "comrt/types.h"
#include "corvane/ulguard.h"

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

}  // namespace

CSmtpTlsSession::CSmtpTlsSession(int hSocket, std::string_view sHost, VERIFY nVerify) : m_nVerify(nVerify) {
    try {
        Initialize(hSocket, sHost);
    } catch (...) {
        SSL_free(m_pSsl);
        SSL_CTX_free(m_pContext);
        throw;
    }
}

void CSmtpTlsSession::Initialize(int hSocket, std::string_view sHost) {
    const VERIFY nVerify = m_nVerify;
    ERR_clear_error();
    m_pContext = SSL_CTX_new(TLS_client_method());
    if (m_pContext == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    // TLS 1.2 is the oldest version mail servers still need; older ones are broken.
    SSL_CTX_set_min_proto_version(m_pContext, TLS1_2_VERSION);
    // The trust anchors are read for every session, so that a changed store (or SSL_CERT_FILE) counts at once.
    if (nVerify != VERIFY_NONE && SSL_CTX_set_default_verify_paths(m_pContext) != 1) {
        m_sErrorText = TakeErrorQueue();
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The default trust anchors could not be read: %s\n", m_sErrorText.c_str());
    }
    m_pSsl = SSL_new(m_pContext);
    if (m_pSsl == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    if (SSL_set_fd(m_pSsl, hSocket) != 1) corvane::ThrowHResult(E_FAIL);
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
}

CSmtpTlsSession::~CSmtpTlsSession() {
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
    return Result(SSL_connect(m_pSsl));
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
    return std::string(SSL_get_version(m_pSsl)) + " " + SSL_get_cipher_name(m_pSsl);
}

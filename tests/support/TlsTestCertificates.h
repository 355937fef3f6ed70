// Certificates for TLS tests, made by the test itself with OpenSSL: a test CA, and server certificates for
// 127.0.0.1 and localhost (issued by the CA), for another name only (issued by the CA), expired (issued by
// the CA for 127.0.0.1 and localhost), and self-signed (for 127.0.0.1 and localhost, no CA). All share one
// P-256 key. Written as PEM files to a temporary folder of their own, removed with the object.
//
//   testing_support::CTlsTestCertificates Certificates;
//   ASSERT_TRUE(Certificates.IsValid()) << Certificates.GetError();
//   setenv("SSL_CERT_FILE", Certificates.GetCaFile().c_str(), 1);   // the client trusts the test CA
//   ... server with Certificates.GetCertificateFile(CTlsTestCertificates::VALID) and GetKeyFile() ...
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdio.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TestEnvironment.h"

namespace testing_support {

class CTlsTestCertificates {
public:
    enum KIND { VALID, OTHER_NAME, EXPIRED, SELF_SIGNED, KIND_COUNT };
    static constexpr const char* KIND_NAMES[KIND_COUNT] = {"valid", "other-name", "expired", "self-signed"};

    CTlsTestCertificates() { m_bValid = Make(); }
    CTlsTestCertificates(const CTlsTestCertificates&) = delete;
    CTlsTestCertificates& operator=(const CTlsTestCertificates&) = delete;

    bool IsValid() const { return m_bValid; }
    const std::string& GetError() const { return m_sError; }
    std::filesystem::path GetCaFile() const { return m_Folder.Path() / "ca.pem"; }
    std::filesystem::path GetKeyFile() const { return m_Folder.Path() / "key.pem"; }
    std::filesystem::path GetCertificateFile(KIND nKind) const {
        return m_Folder.Path() / (std::string(KIND_NAMES[nKind]) + ".pem");
    }
    // Hostile shapes, both for localhost and leading to the CA: the server's certificate followed by the
    // LONG_CHAIN_LENGTH intermediate authorities that issued it one after the other; and one certificate of
    // over 64 KiB (thousands of names after localhost's; the names take 76 KiB as text).
    static constexpr int LONG_CHAIN_LENGTH = 100;
    std::filesystem::path GetLongChainFile() const { return m_Folder.Path() / "long-chain.pem"; }
    std::filesystem::path GetLargeCertificateFile() const { return m_Folder.Path() / "large.pem"; }

private:
    struct CKeyDeleter {
        void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    };
    struct CCertificateDeleter {
        void operator()(X509* p) const { X509_free(p); }
    };
    using CKey = std::unique_ptr<EVP_PKEY, CKeyDeleter>;
    using CCertificate = std::unique_ptr<X509, CCertificateDeleter>;

    bool Fail(const std::string& sWhat) {
        char szText[256] = "";
        ERR_error_string_n(ERR_get_error(), szText, sizeof szText);
        m_sError = sWhat + ": " + szText;
        return false;
    }

    static bool AddExtension(X509* pCertificate, X509V3_CTX* pContext, int nNid, const char* pszValue) {
        X509_EXTENSION* pExtension = X509V3_EXT_conf_nid(nullptr, pContext, nNid, pszValue);
        if (pExtension == nullptr) return false;
        const bool bAdded = X509_add_ext(pCertificate, pExtension, -1) == 1;
        X509_EXTENSION_free(pExtension);
        return bAdded;
    }

    // A certificate for pKey named pszCommonName with the subject alternative names pszNames, valid from
    // nFromDays to nToDays days from now; issued by pIssuer with pIssuerKey, or self-signed without.
    CCertificate MakeCertificate(EVP_PKEY* pKey, const char* pszCommonName, const char* pszNames, long nFromDays,
                                 long nToDays, bool bAuthority, X509* pIssuer, EVP_PKEY* pIssuerKey) {
        CCertificate pCertificate(X509_new());
        if (!pCertificate) return nullptr;
        X509* p = pCertificate.get();
        X509_set_version(p, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(p), ++m_nSerial);
        X509_gmtime_adj(X509_getm_notBefore(p), nFromDays * 86400);
        X509_gmtime_adj(X509_getm_notAfter(p), nToDays * 86400);
        X509_set_pubkey(p, pKey);
        X509_NAME* pName = X509_get_subject_name(p);
        X509_NAME_add_entry_by_txt(pName, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Harkwell tests"),
                                   -1, -1, 0);
        X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(pszCommonName), -1,
                                   -1, 0);
        X509_set_issuer_name(p, pIssuer != nullptr ? X509_get_subject_name(pIssuer) : pName);
        X509V3_CTX Context;
        X509V3_set_ctx_nodb(&Context);
        X509V3_set_ctx(&Context, pIssuer != nullptr ? pIssuer : p, p, nullptr, nullptr, 0);
        bool bDone = AddExtension(p, &Context, NID_basic_constraints, bAuthority ? "critical,CA:TRUE" : "CA:FALSE") &&
                     AddExtension(p, &Context, NID_subject_key_identifier, "hash");
        if (bAuthority)
            bDone = bDone && AddExtension(p, &Context, NID_key_usage, "critical,keyCertSign,cRLSign");
        else
            bDone = bDone && AddExtension(p, &Context, NID_key_usage, "critical,digitalSignature") &&
                    AddExtension(p, &Context, NID_ext_key_usage, "serverAuth");
        if (pIssuer != nullptr)
            bDone = bDone && AddExtension(p, &Context, NID_authority_key_identifier, "keyid:always");
        if (pszNames != nullptr) bDone = bDone && AddExtension(p, &Context, NID_subject_alt_name, pszNames);
        if (!bDone || X509_sign(p, pIssuerKey != nullptr ? pIssuerKey : pKey, EVP_sha256()) == 0) return nullptr;
        return pCertificate;
    }

    bool WriteCertificate(X509* pCertificate, const std::filesystem::path& File, bool bAppend = false) {
        FILE* pFile = fopen(File.c_str(), bAppend ? "a" : "w");
        if (pFile == nullptr) return Fail("cannot write " + File.string());
        const bool bWritten = PEM_write_X509(pFile, pCertificate) == 1;
        fclose(pFile);
        return bWritten || Fail("cannot write " + File.string());
    }

    bool MakeHostileShapes(EVP_PKEY* pKey, X509* pAuthority, EVP_PKEY* pAuthorityKey) {
        std::vector<CCertificate> Authorities;
        X509* pIssuer = pAuthority;
        for (int i = 0; i < LONG_CHAIN_LENGTH; ++i) {
            const std::string sName = "Harkwell Test Intermediate " + std::to_string(i);
            Authorities.push_back(
                MakeCertificate(pKey, sName.c_str(), nullptr, -1, 30, true, pIssuer, i == 0 ? pAuthorityKey : pKey));
            if (!Authorities.back()) return Fail("no intermediate certificate");
            pIssuer = Authorities.back().get();
        }
        const CCertificate pLeaf =
            MakeCertificate(pKey, "localhost", "DNS:localhost,IP:127.0.0.1", -1, 30, false, pIssuer, pKey);
        if (!pLeaf || !WriteCertificate(pLeaf.get(), GetLongChainFile())) return Fail("no long chain");
        for (auto it = Authorities.rbegin(); it != Authorities.rend(); ++it)
            if (!WriteCertificate(it->get(), GetLongChainFile(), true)) return false;
        std::string sNames = "DNS:localhost,IP:127.0.0.1";
        for (int i = 0; sNames.size() < 76 * 1024; ++i) sNames += ",DNS:host-" + std::to_string(i) + ".example.org";
        const CCertificate pLarge =
            MakeCertificate(pKey, "localhost", sNames.c_str(), -1, 30, false, pAuthority, pAuthorityKey);
        return (pLarge && WriteCertificate(pLarge.get(), GetLargeCertificateFile())) || Fail("no large certificate");
    }

    bool Make() {
        if (m_Folder.Path().empty()) return Fail("no temporary folder");
        const CKey pAuthorityKey(EVP_EC_gen("P-256"));
        const CKey pKey(EVP_EC_gen("P-256"));
        if (!pAuthorityKey || !pKey) return Fail("no key");
        const CCertificate pAuthority =
            MakeCertificate(pAuthorityKey.get(), "Harkwell Test CA", nullptr, -1, 30, true, nullptr, nullptr);
        if (!pAuthority) return Fail("no CA certificate");
        const char* const pszServerNames = "DNS:localhost,IP:127.0.0.1";
        const CCertificate pCertificates[KIND_COUNT] = {
            MakeCertificate(pKey.get(), "localhost", pszServerNames, -1, 30, false, pAuthority.get(),
                            pAuthorityKey.get()),
            MakeCertificate(pKey.get(), "mail.example.org", "DNS:mail.example.org", -1, 30, false, pAuthority.get(),
                            pAuthorityKey.get()),
            MakeCertificate(pKey.get(), "localhost", pszServerNames, -3, -1, false, pAuthority.get(),
                            pAuthorityKey.get()),
            MakeCertificate(pKey.get(), "localhost", pszServerNames, -1, 30, false, nullptr, nullptr),
        };
        for (int i = 0; i < KIND_COUNT; ++i) {
            if (!pCertificates[i]) return Fail(std::string("no certificate ") + KIND_NAMES[i]);
            if (!WriteCertificate(pCertificates[i].get(), GetCertificateFile(static_cast<KIND>(i)))) return false;
        }
        if (!WriteCertificate(pAuthority.get(), GetCaFile())) return false;
        if (!MakeHostileShapes(pKey.get(), pAuthority.get(), pAuthorityKey.get())) return false;
        FILE* pFile = fopen(GetKeyFile().c_str(), "w");
        if (pFile == nullptr) return Fail("cannot write the key");
        const bool bWritten = PEM_write_PrivateKey(pFile, pKey.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
        fclose(pFile);
        return bWritten || Fail("cannot write the key");
    }

    CTemporaryDirectory m_Folder;
    long m_nSerial = 0;
    bool m_bValid = false;
    std::string m_sError;
};

}  // namespace testing_support

// Digests and ciphers of the e-mail notification: MD5 and HMAC-MD5 for the CRAM-MD5 authentication
// exchange, RC4 for the scrambled form of a stored password, and (through ulbase64.h) the Base64 text that
// carries message bodies and authentication data. This is the one header for all of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "comrt/types.h"
#include "corvane/ulbase64.h"

// MD5 message digest.
struct _Md5Helper {
    static constexpr std::size_t DIGEST_SIZE = 16;
    static constexpr std::size_t BLOCK_SIZE = 64;
    using CDigest = std::array<BYTE, DIGEST_SIZE>;

    // One running digest: Initialize, any number of Update calls, then Finalize. Finalize leaves the
    // context initialised again, so it may be reused for another message.
    class CContext {
    public:
        CContext() noexcept { Initialize(); }
        void Initialize() noexcept;
        // Adds nLength bytes; a null pData with a non-zero length is an assertion and adds nothing.
        void Update(const void* pData, std::size_t nLength) noexcept;
        void Update(std::string_view sData) noexcept { Update(sData.data(), sData.size()); }
        void Finalize(BYTE pDigest[DIGEST_SIZE]) noexcept;
        CDigest Finalize() noexcept;

        // The compression function: mixes one 64-byte block into the four state words.
        static void Transform(std::uint32_t pState[4], const BYTE pBlock[BLOCK_SIZE]) noexcept;

    private:
        std::uint32_t m_pState[4];
        std::uint64_t m_nLength;  // bytes added so far
        BYTE m_pBuffer[BLOCK_SIZE];
    };

    // The digest of nLength bytes at pData.
    static CDigest Digest(const void* pData, std::size_t nLength) noexcept;
    static CDigest Digest(std::string_view sData) noexcept { return Digest(sData.data(), sData.size()); }

    // HMAC-MD5 of a message under a key; a key longer than the block size is replaced by its digest first.
    static CDigest Hmac(const void* pKey, std::size_t nKeyLength, const void* pMessage,
                        std::size_t nMessageLength) noexcept;
    static CDigest Hmac(std::string_view sKey, std::string_view sMessage) noexcept {
        return Hmac(sKey.data(), sKey.size(), sMessage.data(), sMessage.size());
    }

    // The digest as 32 lower-case hexadecimal digits.
    static std::string ToHex(const CDigest& Digest);
};

// RC4 stream cipher. The same call encrypts and decrypts.
struct _Rc4Helper {
    // Transforms nLength bytes of pData in place with the key stream of the key (1 to 256 bytes). An empty
    // or over-long key, or a null pointer with a non-zero length, is an assertion and leaves the data as it is.
    static void Transform(const BYTE* pKey, std::size_t nKeyLength, BYTE* pData, std::size_t nLength) noexcept;
    // The transformed copy of sData.
    static std::string Transform(std::string_view sKey, std::string_view sData);
};

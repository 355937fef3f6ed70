// MD5 after RFC 1321, HMAC after RFC 2104, and RC4.
#include "corvane/ulcrypt.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "corvane/uldebug.h"

namespace {

inline std::uint32_t RotateLeft(std::uint32_t x, unsigned n) noexcept {
    return (x << n) | (x >> (32 - n));
}

inline std::uint32_t LoadLittleEndian(const BYTE* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void StoreLittleEndian(BYTE* p, std::uint32_t x) noexcept {
    p[0] = static_cast<BYTE>(x);
    p[1] = static_cast<BYTE>(x >> 8);
    p[2] = static_cast<BYTE>(x >> 16);
    p[3] = static_cast<BYTE>(x >> 24);
}

// The additive constants: floor(abs(sin(i + 1)) * 2^32).
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Rotation amounts, four per round.
constexpr unsigned kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

}  // namespace

void _Md5Helper::CContext::Initialize() noexcept {
    m_pState[0] = 0x67452301;
    m_pState[1] = 0xefcdab89;
    m_pState[2] = 0x98badcfe;
    m_pState[3] = 0x10325476;
    m_nLength = 0;
    std::memset(m_pBuffer, 0, sizeof m_pBuffer);
}

void _Md5Helper::CContext::Transform(std::uint32_t pState[4], const BYTE pBlock[BLOCK_SIZE]) noexcept {
    std::uint32_t x[16];
    for (std::size_t i = 0; i < 16; ++i) x[i] = LoadLittleEndian(pBlock + 4 * i);
    std::uint32_t a = pState[0], b = pState[1], c = pState[2], d = pState[3];
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned nRound = i / 16;
        std::uint32_t f;
        unsigned g;
        switch (nRound) {
            case 0:
                f = (b & c) | (~b & d);
                g = i;
                break;
            case 1:
                f = (b & d) | (c & ~d);
                g = (5 * i + 1) % 16;
                break;
            case 2:
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
                break;
            default:
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
                break;
        }
        const std::uint32_t nTemp = d;
        d = c;
        c = b;
        b = b + RotateLeft(a + f + kSine[i] + x[g], kShift[nRound][i % 4]);
        a = nTemp;
    }
    pState[0] += a;
    pState[1] += b;
    pState[2] += c;
    pState[3] += d;
}

void _Md5Helper::CContext::Update(const void* pData, std::size_t nLength) noexcept {
    if (nLength == 0) return;
    UL_ASSERT(pData);
    if (!pData) return;
    const BYTE* pBytes = static_cast<const BYTE*>(pData);
    std::size_t nUsed = static_cast<std::size_t>(m_nLength % BLOCK_SIZE);
    m_nLength += nLength;
    if (nUsed) {
        const std::size_t nTake = std::min(nLength, BLOCK_SIZE - nUsed);
        std::memcpy(m_pBuffer + nUsed, pBytes, nTake);
        pBytes += nTake;
        nLength -= nTake;
        nUsed += nTake;
        if (nUsed < BLOCK_SIZE) return;
        Transform(m_pState, m_pBuffer);
    }
    for (; nLength >= BLOCK_SIZE; pBytes += BLOCK_SIZE, nLength -= BLOCK_SIZE) Transform(m_pState, pBytes);
    if (nLength) std::memcpy(m_pBuffer, pBytes, nLength);
}

void _Md5Helper::CContext::Finalize(BYTE pDigest[DIGEST_SIZE]) noexcept {
    // Pad with 0x80 and zeros to 56 bytes modulo 64, then the bit length as 64 bits, low byte first.
    const std::uint64_t nBitLength = m_nLength * 8;
    static constexpr BYTE kPadding[BLOCK_SIZE] = {0x80};
    const std::size_t nUsed = static_cast<std::size_t>(m_nLength % BLOCK_SIZE);
    Update(kPadding, nUsed < 56 ? 56 - nUsed : 120 - nUsed);
    BYTE pLength[8];
    for (std::size_t i = 0; i < 8; ++i) pLength[i] = static_cast<BYTE>(nBitLength >> (8 * i));
    Update(pLength, sizeof pLength);
    UL_ASSERT(m_nLength % BLOCK_SIZE == 0);
    for (std::size_t i = 0; i < 4; ++i) StoreLittleEndian(pDigest + 4 * i, m_pState[i]);
    Initialize();
}

_Md5Helper::CDigest _Md5Helper::CContext::Finalize() noexcept {
    CDigest Digest;
    Finalize(Digest.data());
    return Digest;
}

_Md5Helper::CDigest _Md5Helper::Digest(const void* pData, std::size_t nLength) noexcept {
    CContext Context;
    Context.Update(pData, nLength);
    return Context.Finalize();
}

_Md5Helper::CDigest _Md5Helper::Hmac(const void* pKey, std::size_t nKeyLength, const void* pMessage,
                                     std::size_t nMessageLength) noexcept {
    BYTE pKeyBlock[BLOCK_SIZE] = {};
    if (nKeyLength > BLOCK_SIZE) {
        const CDigest KeyDigest = Digest(pKey, nKeyLength);
        std::memcpy(pKeyBlock, KeyDigest.data(), KeyDigest.size());
    } else if (nKeyLength) {
        UL_ASSERT(pKey);
        if (pKey) std::memcpy(pKeyBlock, pKey, nKeyLength);
    }
    BYTE pPad[BLOCK_SIZE];
    CContext Context;
    for (std::size_t i = 0; i < BLOCK_SIZE; ++i) pPad[i] = pKeyBlock[i] ^ 0x36;
    Context.Update(pPad, BLOCK_SIZE);
    Context.Update(pMessage, nMessageLength);
    const CDigest InnerDigest = Context.Finalize();
    for (std::size_t i = 0; i < BLOCK_SIZE; ++i) pPad[i] = pKeyBlock[i] ^ 0x5C;
    Context.Update(pPad, BLOCK_SIZE);
    Context.Update(InnerDigest.data(), InnerDigest.size());
    return Context.Finalize();
}

std::string _Md5Helper::ToHex(const CDigest& Digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string sText;
    sText.reserve(2 * Digest.size());
    for (const BYTE nByte : Digest) {
        sText += kDigits[nByte >> 4];
        sText += kDigits[nByte & 0x0F];
    }
    return sText;
}

void _Rc4Helper::Transform(const BYTE* pKey, std::size_t nKeyLength, BYTE* pData, std::size_t nLength) noexcept {
    UL_ASSERT(pKey && nKeyLength >= 1 && nKeyLength <= 256);
    if (!pKey || nKeyLength < 1 || nKeyLength > 256) return;
    if (nLength == 0) return;
    UL_ASSERT(pData);
    if (!pData) return;
    BYTE s[256];
    for (std::size_t i = 0; i < 256; ++i) s[i] = static_cast<BYTE>(i);
    BYTE j = 0;
    for (std::size_t i = 0; i < 256; ++i) {
        j = static_cast<BYTE>(j + s[i] + pKey[i % nKeyLength]);
        std::swap(s[i], s[j]);
    }
    BYTE i = 0;
    j = 0;
    for (std::size_t n = 0; n < nLength; ++n) {
        i = static_cast<BYTE>(i + 1);
        j = static_cast<BYTE>(j + s[i]);
        std::swap(s[i], s[j]);
        pData[n] ^= s[static_cast<BYTE>(s[i] + s[j])];
    }
}

std::string _Rc4Helper::Transform(std::string_view sKey, std::string_view sData) {
    std::string sResult(sData);
    Transform(reinterpret_cast<const BYTE*>(sKey.data()), sKey.size(), reinterpret_cast<BYTE*>(sResult.data()),
              sResult.size());
    return sResult;
}

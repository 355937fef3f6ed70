// Base64 encoder and decoder. Both work from tables built at compile time: the encoder turns 12 bits into
// two characters with one lookup, the decoder turns four characters into 24 bits with four lookups and one
// test for characters outside the alphabet.
#include "corvane/ulbase64.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "corvane/uldebug.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kLineCharacters = 76;
constexpr std::size_t kLineGroups = kLineCharacters / 4;

// Characters for every 12-bit value, first character in the lower address.
struct CEncodePairs {
    std::array<char, 2 * 4096> Characters{};
    constexpr CEncodePairs() {
        for (std::size_t i = 0; i < 4096; ++i) {
            Characters[2 * i] = kAlphabet[i >> 6];
            Characters[2 * i + 1] = kAlphabet[i & 0x3F];
        }
    }
};
constexpr CEncodePairs kEncodePairs;

// For each character its 6-bit value shifted into place for position 0 to 3 of a group; characters outside
// the alphabet (NUL included) have bits 24 to 31 set in every position.
constexpr std::uint32_t kInvalid = 0xFF000000u;
struct CDecodeTables {
    std::array<std::uint32_t, 256> Shifted[4]{};
    std::array<std::uint8_t, 256> Values{};
    constexpr CDecodeTables() {
        for (std::size_t c = 0; c < 256; ++c) {
            Values[c] = 0xFF;
            for (auto& table : Shifted) table[c] = kInvalid;
        }
        for (std::uint32_t v = 0; v < 64; ++v) {
            const auto c = static_cast<unsigned char>(kAlphabet[v]);
            Values[c] = static_cast<std::uint8_t>(v);
            Shifted[0][c] = v << 18;
            Shifted[1][c] = v << 12;
            Shifted[2][c] = v << 6;
            Shifted[3][c] = v;
        }
    }
};
constexpr CDecodeTables kDecodeTables;

// Encodes nGroups whole 3-byte groups.
inline void EncodeGroups(const BYTE*& pSource, char*& pDestination, std::size_t nGroups) noexcept {
    const char* pPairs = kEncodePairs.Characters.data();
    const BYTE* s = pSource;
    char* d = pDestination;
    for (; nGroups >= 2; nGroups -= 2) {
        const std::uint32_t a = (std::uint32_t{s[0]} << 16) | (std::uint32_t{s[1]} << 8) | s[2];
        const std::uint32_t b = (std::uint32_t{s[3]} << 16) | (std::uint32_t{s[4]} << 8) | s[5];
        std::memcpy(d, pPairs + 2 * (a >> 12), 2);
        std::memcpy(d + 2, pPairs + 2 * (a & 0xFFF), 2);
        std::memcpy(d + 4, pPairs + 2 * (b >> 12), 2);
        std::memcpy(d + 6, pPairs + 2 * (b & 0xFFF), 2);
        s += 6;
        d += 8;
    }
    if (nGroups != 0) {
        const std::uint32_t a = (std::uint32_t{s[0]} << 16) | (std::uint32_t{s[1]} << 8) | s[2];
        std::memcpy(d, pPairs + 2 * (a >> 12), 2);
        std::memcpy(d + 2, pPairs + 2 * (a & 0xFFF), 2);
        s += 3;
        d += 4;
    }
    pSource = s;
    pDestination = d;
}

}  // namespace

std::size_t _Base64Helper::GetEncodeOutputSize(std::size_t nSourceLength, DWORD dwFlags) noexcept {
    std::size_t b = (4 * nSourceLength + 2) / 3;
    if ((dwFlags & BASE64_FLAG_NOPAD) == 0) {
        b += b % 3;
        // The rounding above falls one short of the padded group for some sizes (2, 11, 20, ... bytes);
        // the bound never goes below the padded length.
        const std::size_t nPadded = (nSourceLength + 2) / 3 * 4;
        if (b < nPadded) b = nPadded;
    }
    if ((dwFlags & BASE64_FLAG_NOCRLF) == 0) {
        const std::size_t r = b % kLineCharacters;
        if (r != 0 && r % 4 != 0) b += 4 - r % 4;
        b += 2 * (b / kLineCharacters) + 2;
    }
    return b;
}

std::size_t _Base64Helper::Encode(const BYTE* pSource, std::size_t nSourceLength, char* pszDestination,
                                  std::size_t nDestinationLength, DWORD dwFlags) noexcept {
    UL_ASSERT(pSource != nullptr || nSourceLength == 0);
    UL_ASSERT(pszDestination != nullptr);
    if ((pSource == nullptr && nSourceLength != 0) || pszDestination == nullptr) return 0;
    const std::size_t nRequired = GetEncodeOutputSize(nSourceLength, dwFlags);
    UL_ASSERT(nDestinationLength >= nRequired);
    if (nDestinationLength < nRequired) return 0;

    const bool bLineBreaks = (dwFlags & BASE64_FLAG_NOCRLF) == 0;
    const std::size_t nGroups = nSourceLength / 3;
    char* d = pszDestination;
    const BYTE* s = pSource;
    if (!bLineBreaks) {
        EncodeGroups(s, d, nGroups);
    } else {
        // Full lines of 19 groups, then the line of the remaining groups (empty when the groups fill whole
        // lines), each followed by CR LF; the last CR LF is taken back.
        const std::size_t nFullLines = nGroups / kLineGroups;
        for (std::size_t i = 0; i <= nFullLines; ++i) {
            EncodeGroups(s, d, i < nFullLines ? kLineGroups : nGroups % kLineGroups);
            d[0] = '\r';
            d[1] = '\n';
            d += 2;
        }
        d -= 2;
    }

    const std::size_t nRemainder = nSourceLength % 3;
    if (nRemainder != 0) {
        std::uint32_t nBits = std::uint32_t{s[0]} << 16;
        if (nRemainder == 2) nBits |= std::uint32_t{s[1]} << 8;
        *d++ = kAlphabet[nBits >> 18];
        *d++ = kAlphabet[(nBits >> 12) & 0x3F];
        if (nRemainder == 2) *d++ = kAlphabet[(nBits >> 6) & 0x3F];
        if ((dwFlags & BASE64_FLAG_NOPAD) == 0) {
            for (std::size_t i = nRemainder + 1; i < 4; ++i) *d++ = '=';
        }
    }

    const auto nWritten = static_cast<std::size_t>(d - pszDestination);
    UL_ASSERT(nWritten <= nDestinationLength);
    return nWritten;
}

std::size_t _Base64Helper::Decode(const char* pszSource, std::size_t nSourceLength, BYTE* pDestination,
                                  std::size_t nDestinationLength) noexcept {
    if (pszSource == nullptr || pDestination == nullptr) return 0;
    const auto* s = reinterpret_cast<const unsigned char*>(pszSource);
    const unsigned char* const pEnd = s + nSourceLength;
    BYTE* d = pDestination;
    BYTE* const pDestinationEnd = pDestination + nDestinationLength;
    const auto& t = kDecodeTables.Shifted;

    std::uint32_t nBits = 0;
    unsigned nValues = 0;
    for (;;) {
        // Whole groups of four alphabet characters at a time.
        while (pEnd - s >= 8 && pDestinationEnd - d >= 6) {
            const std::uint32_t a = t[0][s[0]] | t[1][s[1]] | t[2][s[2]] | t[3][s[3]];
            const std::uint32_t b = t[0][s[4]] | t[1][s[5]] | t[2][s[6]] | t[3][s[7]];
            if (((a | b) & kInvalid) != 0) break;
            d[0] = static_cast<BYTE>(a >> 16);
            d[1] = static_cast<BYTE>(a >> 8);
            d[2] = static_cast<BYTE>(a);
            d[3] = static_cast<BYTE>(b >> 16);
            d[4] = static_cast<BYTE>(b >> 8);
            d[5] = static_cast<BYTE>(b);
            s += 8;
            d += 6;
        }
        // One character at a time up to the end of the next group, skipping what is outside the alphabet.
        bool bStop = false;
        do {
            if (s == pEnd || *s == 0) {
                bStop = true;
                break;
            }
            const std::uint8_t v = kDecodeTables.Values[*s++];
            if (v == 0xFF) continue;
            nBits = (nBits << 6) | v;
            ++nValues;
        } while (nValues < 4);
        if (bStop) break;
        for (int nShift = 16; nShift >= 0; nShift -= 8) {
            if (d == pDestinationEnd) return static_cast<std::size_t>(d - pDestination);
            *d++ = static_cast<BYTE>(nBits >> nShift);
        }
        nBits = 0;
        nValues = 0;
    }
    // A partial group: 3 values carry 2 bytes, 2 values 1 byte, 1 value none.
    if (nValues >= 2) {
        nBits <<= 6 * (4 - nValues);
        for (unsigned i = 0; i < nValues - 1; ++i) {
            if (d == pDestinationEnd) break;
            *d++ = static_cast<BYTE>(nBits >> (16 - 8 * i));
        }
    }
    return static_cast<std::size_t>(d - pDestination);
}

std::string _Base64Helper::Encode(std::string_view sText) {
    std::string sResult(GetEncodeOutputSize(sText.size(), BASE64_FLAG_NONE), '\0');
    const std::size_t nLength = Encode(reinterpret_cast<const BYTE*>(sText.data()), sText.size(), sResult.data(),
                                       sResult.size(), BASE64_FLAG_NONE);
    sResult.resize(nLength);
    return sResult;
}

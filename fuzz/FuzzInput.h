// Helpers shared by the fuzz targets: turning the fuzzer's bytes into UTF-16 text, and stopping with a
// message when an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzing {

// Stops the run with pszWhat when bCondition is false; libFuzzer keeps the input that did it.
inline void Check(bool bCondition, const char* pszTarget, const char* pszWhat) {
    if (bCondition) return;
    std::fprintf(stderr, "%s: %s\n", pszTarget, pszWhat);
    std::abort();
}

// The first byte chooses the decoding: odd, the rest are little-endian UTF-16 code units (unpaired
// surrogates included); even, every byte is one code unit (so ASCII seeds stay readable).
inline std::u16string DecodeText(const std::uint8_t* pData, std::size_t cb) {
    std::u16string text;
    if (cb == 0) return text;
    const bool bPairs = (pData[0] & 1) != 0;
    ++pData;
    --cb;
    if (bPairs) {
        for (std::size_t i = 0; i + 1 < cb; i += 2) text += static_cast<char16_t>(pData[i] | (pData[i + 1] << 8));
    } else {
        for (std::size_t i = 0; i < cb; ++i) text += static_cast<char16_t>(pData[i]);
    }
    return text;
}

}  // namespace fuzzing

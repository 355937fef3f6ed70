// A plain, character-at-a-time Base64 decoder that the fuzz targets hold the table-driven one against:
// characters outside the alphabet are skipped, a NUL ends the text, and a final group of three or two values
// gives two or one byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzing {

inline std::vector<std::uint8_t> ReferenceBase64Decode(const char* p, std::size_t n) {
    std::vector<std::uint8_t> out;
    std::uint32_t nBits = 0;
    int nValues = 0;
    for (std::size_t i = 0; i < n && p[i] != 0; ++i) {
        const char c = p[i];
        int v = -1;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        if (v < 0) continue;
        nBits = (nBits << 6) | static_cast<std::uint32_t>(v);
        if (++nValues == 4) {
            out.push_back(static_cast<std::uint8_t>(nBits >> 16));
            out.push_back(static_cast<std::uint8_t>(nBits >> 8));
            out.push_back(static_cast<std::uint8_t>(nBits));
            nBits = 0;
            nValues = 0;
        }
    }
    if (nValues >= 2) {
        nBits <<= 6 * (4 - nValues);
        out.push_back(static_cast<std::uint8_t>(nBits >> 16));
        if (nValues == 3) out.push_back(static_cast<std::uint8_t>(nBits >> 8));
    }
    return out;
}

}  // namespace fuzzing

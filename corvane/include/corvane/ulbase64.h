// Base64 (standard alphabet A-Z a-z 0-9 + /, '=' padding) for message bodies, the authentication exchange
// and the text form of binary streams.
//
// Encode writes lines of 76 characters separated by CR LF unless BASE64_FLAG_NOCRLF is given, and pads the
// last group with '=' unless BASE64_FLAG_NOPAD is given. The line breaks follow the layout mail readers of
// this system have always received: when the input size is a non-zero multiple of 57 bytes the text ends
// with a CR LF, and the characters of a trailing partial group come after that CR LF.
//
// Decode skips every character outside the alphabet ('=', blanks, line breaks, anything else) and stops at
// the end of the input or at a NUL; each group of four values gives three bytes, and a final group of three
// or two values gives two or one byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "comrt/types.h"

struct _Base64Helper {
    static constexpr DWORD BASE64_FLAG_NONE = 0;
    static constexpr DWORD BASE64_FLAG_NOPAD = 1;
    static constexpr DWORD BASE64_FLAG_NOCRLF = 2;

    // An upper bound of the characters Encode writes for nSourceLength bytes with dwFlags.
    static std::size_t GetEncodeOutputSize(std::size_t nSourceLength, DWORD dwFlags) noexcept;
    // An upper bound of the bytes Decode writes for nSourceLength characters.
    static std::size_t GetDecodeOutputSize(std::size_t nSourceLength) noexcept {
        return nSourceLength / 4 * 3 + (nSourceLength % 4 * 3) / 4;
    }

    // Encodes nSourceLength bytes into pszDestination (no terminator is written) and returns the number of
    // characters written. Missing buffers, or an output size below GetEncodeOutputSize, are assertions; the
    // encoder then writes nothing and returns 0.
    static std::size_t Encode(const BYTE* pSource, std::size_t nSourceLength, char* pszDestination,
                              std::size_t nDestinationLength, DWORD dwFlags) noexcept;

    // Decodes up to nSourceLength characters into pDestination and returns the number of bytes written. The
    // output stops when pDestination is full; GetDecodeOutputSize(nSourceLength) is always enough.
    static std::size_t Decode(const char* pszSource, std::size_t nSourceLength, BYTE* pDestination,
                              std::size_t nDestinationLength) noexcept;

    // The Base64 text of sText with padding and line breaks (flags 0).
    static std::string Encode(std::string_view sText);
};

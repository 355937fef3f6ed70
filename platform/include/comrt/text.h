// Conversions between the runtime's UTF-16 text and the UTF-8 of file names, traces and the locale.
// Malformed input never fails: unpaired surrogates and invalid UTF-8 bytes become U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "comrt/types.h"

namespace comrt {

COMRT_API std::string ToUtf8(std::u16string_view text);
COMRT_API std::u16string ToUtf16(std::string_view text);

// A NUL-terminated UTF-16 string's length; 0 for nullptr.
inline std::size_t Length(LPCOLESTR psz) noexcept {
    if (psz == nullptr) return 0;
    std::size_t n = 0;
    while (psz[n] != 0) ++n;
    return n;
}

inline std::string ToUtf8(LPCOLESTR psz) {
    return ToUtf8(std::u16string_view(psz ? psz : u"", Length(psz)));
}

// Case-insensitive comparison of UTF-16 text (ASCII and Latin-1 letters fold; enough for names, ProgIDs
// and keys, which is where the system compares without case).
COMRT_API int CompareNoCase(std::u16string_view a, std::u16string_view b) noexcept;
inline bool EqualsNoCase(std::u16string_view a, std::u16string_view b) noexcept {
    return CompareNoCase(a, b) == 0;
}

}  // namespace comrt

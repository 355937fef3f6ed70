// Number formats of the user's locale, in the shape of the locale calls the system makes. The user's locale
// is the one the environment names (LC_ALL, LC_NUMERIC, LANG), "C" when it names none that is installed,
// whatever locale the hosting program has set; every LCID answers for it.
#pragma once

#include <string>
#include <string_view>

#include "comrt/interfaces.h"
#include "comrt/types.h"

using LCTYPE = DWORD;

// GetLocaleInfoW's settings: the decimal and thousands separators (empty where the locale has none, as the C
// locale has no thousands separator: callers fall back to their own), the number of decimals ("2"), whether
// a value below 1 has its leading zero ("1"), and the negative number order ("1", a leading minus sign).
constexpr LCTYPE LOCALE_SDECIMAL = 0x0000000E;
constexpr LCTYPE LOCALE_STHOUSAND = 0x0000000F;
constexpr LCTYPE LOCALE_IDIGITS = 0x00000011;
constexpr LCTYPE LOCALE_ILZERO = 0x00000012;
constexpr LCTYPE LOCALE_INEGNUMBER = 0x00001010;

struct NUMBERFMTW {
    UINT NumDigits;    // decimals, rounded half away from zero
    UINT LeadingZero;  // 1: "0.5", 0: ".5"
    UINT Grouping;     // 0: none, 3: groups of three, 32: three then twos
    LPWSTR lpDecimalSep;
    LPWSTR lpThousandSep;
    UINT NegativeOrder;  // 0 "(1.1)", 1 "-1.1", 2 "- 1.1", 3 "1.1-", 4 "1.1 -"
};

// Writes the setting with its NUL into lpLCData and answers the characters written, or, with cchData 0, the
// characters needed; 0 with ERROR_INSUFFICIENT_BUFFER or ERROR_INVALID_FLAGS (an unknown setting).
COMRT_API int GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData) noexcept;

// Formats lpValue ("-" optional, digits, optionally "." and digits) as lpFormat says; dwFlags must be 0 and
// lpFormat given. Answers the characters written with the NUL, or, with cchNumber 0, those needed; 0 with
// ERROR_INVALID_PARAMETER for a malformed value or missing format, ERROR_INSUFFICIENT_BUFFER.
COMRT_API int GetNumberFormatW(LCID Locale, DWORD dwFlags, LPCWSTR lpValue, const NUMBERFMTW* lpFormat,
                               LPWSTR lpNumberStr, int cchNumber) noexcept;

namespace comrt {

// The formatting itself, a pure function: false for a malformed value.
COMRT_API bool FormatNumber(std::u16string_view sValue, const NUMBERFMTW& Format, std::u16string* psResult);

}  // namespace comrt

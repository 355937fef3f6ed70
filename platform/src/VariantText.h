// The text forms of automation values (runtime-internal): how numbers, dates and truth values read from and
// write to BSTR text in variant conversions. Pure functions over text, so that they can be tested and fuzzed
// without any object around them.
//
// The forms are the same in every locale, so that text written by one process reads back in another:
//
//   Numbers, read:    [blanks] [+|-] digits [. digits] [(e|E) [+|-] digits] [blanks]
//                     (also ".5" and "5."); blanks are space, tab, CR, LF, VT and FF. No thousands separators,
//                     currency signs, parentheses, trailing signs or "&H" prefixes: such text is a type
//                     mismatch, not a number. Integer targets round half to even ("2.5" -> 2, "3.5" -> 4).
//   Numbers, written: integers in decimal; VT_R8 and VT_R4 in the shortest text that reads back to the same
//                     value ('.' as decimal point, exponent as "E+NN"/"E-NN" when that is shorter); VT_CY with
//                     up to four decimals and no trailing zeros. Negative zero is written "0".
//   Dates:            "YYYY-MM-DD" at midnight, otherwise "YYYY-MM-DD HH:MM:SS" (the time rounded to the
//                     second). Read: that form (also with 'T' between date and time, seconds optional) or a
//                     time alone, "HH:MM[:SS]", which is a time on day zero (1899-12-30). Years 0100 to 9999.
//   Truth values:     read: "True"/"False" in any case, or any number (nonzero is true); written: "True"/
//                     "False" when the caller asks for words (VARIANT_ALPHABOOL, VARIANT_LOCALBOOL), else
//                     "-1"/"0".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "comrt/types.h"

namespace comrt::internal {

// A number read from text, exactly: the value is (bNegative ? -1 : 1) * sDigits * 10^nExponent. sDigits has no
// leading or trailing zeros and is empty for zero. Very long digit strings are cut; bInexact then records that
// a nonzero digit was dropped below the last one kept.
struct DecimalNumber {
    bool bNegative = false;
    std::string sDigits;
    std::int64_t nExponent = 0;
    bool bInexact = false;
};

// False when the text is not a number in the form above.
bool ParseDecimal(std::u16string_view text, DecimalNumber* pNumber);

// The value times 10^nScale, rounded half to even, when it lies within [nMin, nMax]. DISP_E_OVERFLOW otherwise.
HRESULT DecimalToInteger(const DecimalNumber& number, int nScale, __int128 nMin, __int128 nMax, __int128* pnValue);
// Nearest binary value; DISP_E_OVERFLOW beyond the type's range, zero (of the text's sign) below it.
HRESULT DecimalToDouble(const DecimalNumber& number, double* pdValue);
HRESULT DecimalToFloat(const DecimalNumber& number, float* pfValue);

std::u16string FormatDouble(double dValue);
std::u16string FormatFloat(float fValue);
std::u16string FormatCurrency(std::int64_t nValue);  // the scaled value of a CY
std::u16string FormatInteger(__int128 nValue);

// Truth value text; false when the text is neither a truth word nor a number.
bool ParseBool(std::u16string_view text, bool* pbValue);

// DATE values: days since 1899-12-30, the fraction the time of day (for days before it the fraction counts
// forward from the start of the day, so -1.25 is 1899-12-29 06:00). Valid are the days from 0100-01-01 to
// 9999-12-31 with any time on them: kDateMin - 1 < dDate < kDateMax + 1.
constexpr double kDateMin = -657434.0;  // 0100-01-01
constexpr double kDateMax = 2958465.0;  // 9999-12-31
bool IsValidDate(double dDate);
// DISP_E_TYPEMISMATCH for text that is no date, DISP_E_OVERFLOW for a date outside the range.
HRESULT ParseDate(std::u16string_view text, double* pdDate);
// DISP_E_OVERFLOW for a value outside the range (NaN included).
HRESULT FormatDate(double dDate, std::u16string* psText);

}  // namespace comrt::internal

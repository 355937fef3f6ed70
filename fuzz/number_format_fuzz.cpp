// Number formatting on arbitrary values and formats. The first two bytes choose the format (decimals,
// leading zero, grouping, negative order; out-of-range choices included), the rest is the value. A value
// that is not "-", digits, "." and digits, or a format out of range, is refused; anything else gives a
// number whose digit groups, read from the decimal separator leftwards, have the sizes the grouping says,
// whose decimals number exactly NumDigits, and whose digits, separators removed, are those of the value
// rounded (so never more integer digits than the value has, plus one for a carry).
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "comrt/nls.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "number_format_fuzz", pszWhat);
}

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

bool WellFormed(const std::u16string& sValue) {
    std::size_t i = sValue.empty() || sValue[0] != u'-' ? 0 : 1;
    std::size_t nDigits = 0;
    bool bPoint = false;
    for (; i < sValue.size(); ++i) {
        if (sValue[i] == u'.' && !bPoint) {
            bPoint = true;
        } else if (IsDigit(sValue[i])) {
            ++nDigits;
        } else {
            return false;
        }
    }
    return nDigits > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    if (cb < 2) return 0;
    char16_t szDecimal[] = u".";
    char16_t szThousand[] = u",";
    static constexpr UINT GROUPINGS[] = {0, 3, 32, 2, 11};
    NUMBERFMTW format{};
    format.NumDigits = pData[0] % 11;  // 10 is out of range
    format.LeadingZero = (pData[0] >> 4) & 1;
    format.Grouping = GROUPINGS[pData[1] % 5];
    format.NegativeOrder = (pData[1] >> 3) % 6;  // 5 is out of range
    format.lpDecimalSep = szDecimal;
    format.lpThousandSep = szThousand;
    const std::u16string sValue = fuzzing::DecodeText(pData + 2, cb - 2);

    std::u16string sResult;
    const bool bFormatted = comrt::FormatNumber(sValue, format, &sResult);
    const bool bExpected = WellFormed(sValue) && format.NumDigits <= 9 && format.NegativeOrder <= 4;
    Check(bFormatted == bExpected, "a value or format was judged wrongly");
    if (!bFormatted) return 0;

    // Strip the sign's decoration, then split at the decimal separator.
    std::u16string sNumber;
    for (const char16_t c : sResult)
        if (c != u'(' && c != u')' && c != u'-' && c != u' ') sNumber += c;
    const std::size_t nPoint = sNumber.find(u'.');
    Check((nPoint == std::u16string::npos) == (format.NumDigits == 0), "decimal separator present or missing");
    const std::u16string sFraction = nPoint == std::u16string::npos ? u"" : sNumber.substr(nPoint + 1);
    const std::u16string sInteger = sNumber.substr(0, nPoint);
    Check(sFraction.size() == format.NumDigits, "wrong number of decimals");
    for (const char16_t c : sFraction) Check(IsDigit(c), "a decimal is not a digit");

    // Groups from the right: the first of the grouping's size, later ones of its second size.
    const std::size_t nFirst = format.Grouping >= 10 ? format.Grouping / 10 : format.Grouping;
    const std::size_t nNext = format.Grouping >= 10 ? format.Grouping % 10 : format.Grouping;
    std::size_t nGroup = 0, nDigitsInGroup = 0, nIntegerDigits = 0;
    for (std::size_t i = sInteger.size(); i-- > 0;) {
        if (sInteger[i] == u',') {
            Check(nFirst != 0, "a thousands separator without grouping");
            Check(nDigitsInGroup == (nGroup == 0 ? nFirst : nNext), "a digit group of the wrong size");
            ++nGroup;
            nDigitsInGroup = 0;
            continue;
        }
        Check(IsDigit(sInteger[i]), "the integer part holds something other than digits and separators");
        ++nDigitsInGroup;
        ++nIntegerDigits;
    }
    if (nFirst != 0 && nGroup == 0) Check(nDigitsInGroup <= nFirst, "digits past the first group without a separator");
    if (nGroup != 0)
        Check(nDigitsInGroup >= 1 && nDigitsInGroup <= nNext, "the leftmost digit group is empty or too long");

    std::size_t nValueInteger = 0;
    for (const char16_t c : sValue) {
        if (c == u'.') break;
        if (IsDigit(c)) ++nValueInteger;
    }
    Check(nIntegerDigits <= (nValueInteger == 0 ? 1 : nValueInteger + 1), "more integer digits than the value has");
    Check(nIntegerDigits > 0 || format.LeadingZero == 0, "the leading zero is missing");
    return 0;
}

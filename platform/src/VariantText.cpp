// The text forms of automation values; see VariantText.h for the forms and the reasons for them.
#include "VariantText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <type_traits>

namespace comrt::internal {
namespace {

// Enough digits to decide the rounding of any double exactly (a halfway point between two doubles has at most
// 767 significant digits); more digits than this only tell whether the value lies above the cut.
constexpr std::size_t kMaxDigits = 800;
// Exponents are saturated here while reading; any number this far out overflows or underflows every target.
constexpr std::int64_t kMaxExponent = std::int64_t{1} << 40;

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}
bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

std::u16string_view TrimBlanks(std::u16string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The nearest double (or float) to the exact decimal; the caller has ruled out values far outside the type.
template <class T>
T NearestBinary(const DecimalNumber& number) {
    // sDigits and the exponent as plain "digitsEexp" text: no decimal point, so the locale's does not matter.
    // When digits were cut, a trailing 1 stands for them: it keeps the value strictly above the kept digits,
    // which is all the rounding needs to know.
    std::string sText = number.sDigits;
    std::int64_t nExponent = number.nExponent;
    if (number.bInexact) {
        sText += '1';
        --nExponent;
    }
    sText += 'e';
    sText += std::to_string(nExponent);
    if constexpr (std::is_same_v<T, float>)
        return std::strtof(sText.c_str(), nullptr);
    else
        return std::strtod(sText.c_str(), nullptr);
}

template <class T>
HRESULT DecimalToBinary(const DecimalNumber& number, T* pValue) {
    T value = 0;
    if (!number.sDigits.empty()) {
        // The order of magnitude decides the far cases before any text is built.
        const std::int64_t nMagnitude = static_cast<std::int64_t>(number.sDigits.size()) + number.nExponent;
        if (nMagnitude > 400) return DISP_E_OVERFLOW;
        if (nMagnitude >= -400) {
            value = NearestBinary<T>(number);
            if (std::isinf(value)) return DISP_E_OVERFLOW;
        }
    }
    *pValue = number.bNegative ? -value : value;
    return S_OK;
}

template <class T>
std::u16string FormatShortest(T value) {
    if (value == 0) return u"0";  // also for negative zero
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof(buf), value);
    std::u16string sText;
    for (const char* p = buf; p != result.ptr; ++p) sText += static_cast<char16_t>(*p == 'e' ? 'E' : *p);
    return sText;
}

// Days from 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t nEra = (y >= 0 ? y : y - 399) / 400;
    const auto nYearOfEra = static_cast<unsigned>(y - nEra * 400);
    const unsigned nDayOfYear = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned nDayOfEra = nYearOfEra * 365 + nYearOfEra / 4 - nYearOfEra / 100 + nDayOfYear;
    return nEra * 146097 + static_cast<std::int64_t>(nDayOfEra) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* py, unsigned* pm, unsigned* pd) {
    z += 719468;
    const std::int64_t nEra = (z >= 0 ? z : z - 146096) / 146097;
    const auto nDayOfEra = static_cast<unsigned>(z - nEra * 146097);
    const unsigned nYearOfEra = (nDayOfEra - nDayOfEra / 1460 + nDayOfEra / 36524 - nDayOfEra / 146096) / 365;
    const unsigned nDayOfYear = nDayOfEra - (365 * nYearOfEra + nYearOfEra / 4 - nYearOfEra / 100);
    const unsigned mp = (5 * nDayOfYear + 2) / 153;
    *pd = nDayOfYear - (153 * mp + 2) / 5 + 1;
    *pm = mp < 10 ? mp + 3 : mp - 9;
    *py = static_cast<std::int64_t>(nYearOfEra) + nEra * 400 + (*pm <= 2);
}

// Day zero of DATE, 1899-12-30, counted from 1970-01-01.
constexpr std::int64_t kDateEpoch = -25569;

unsigned DaysInMonth(std::int64_t y, unsigned m) {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bLeap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && bLeap ? 29 : kDays[m - 1];
}

// Reads exactly nDigits decimal digits at the front of text.
bool TakeNumber(std::u16string_view* pText, std::size_t nDigits, unsigned* pnValue) {
    if (pText->size() < nDigits) return false;
    unsigned n = 0;
    for (std::size_t i = 0; i < nDigits; ++i) {
        if (!IsDigit((*pText)[i])) return false;
        n = n * 10 + static_cast<unsigned>((*pText)[i] - u'0');
    }
    pText->remove_prefix(nDigits);
    *pnValue = n;
    return true;
}

bool TakeChar(std::u16string_view* pText, char16_t c) {
    if (pText->empty() || pText->front() != c) return false;
    pText->remove_prefix(1);
    return true;
}

// "HH:MM[:SS]" as seconds since midnight; the whole rest of the text must be the time.
bool ParseTime(std::u16string_view text, unsigned* pnSeconds) {
    unsigned h = 0, m = 0, s = 0;
    if (!TakeNumber(&text, 2, &h) || !TakeChar(&text, u':') || !TakeNumber(&text, 2, &m)) return false;
    if (TakeChar(&text, u':') && !TakeNumber(&text, 2, &s)) return false;
    if (!text.empty() || h > 23 || m > 59 || s > 59) return false;
    *pnSeconds = h * 3600 + m * 60 + s;
    return true;
}

void AppendPadded(std::u16string* ps, std::int64_t n, int nWidth) {
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof(buf), n);
    for (auto nLength = result.ptr - buf; nLength < nWidth; ++nLength) *ps += u'0';
    for (const char* p = buf; p != result.ptr; ++p) *ps += static_cast<char16_t>(*p);
}

}  // namespace

bool ParseDecimal(std::u16string_view text, DecimalNumber* pNumber) {
    text = TrimBlanks(text);
    DecimalNumber number;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) number.bNegative = text[i++] == u'-';

    std::int64_t nExponent = 0;
    bool bAnyDigit = false;
    auto takeDigit = [&](char16_t c, bool bFraction) {
        bAnyDigit = true;
        if (number.sDigits.empty() && c == u'0') {
            if (bFraction) --nExponent;  // a leading zero after the point only shifts the value
        } else if (number.sDigits.size() < kMaxDigits) {
            number.sDigits += static_cast<char>(c);
            if (bFraction) --nExponent;
        } else {
            if (!bFraction) ++nExponent;  // a cut integer digit still counts for the magnitude
            if (c != u'0') number.bInexact = true;
        }
    };
    for (; i < text.size() && IsDigit(text[i]); ++i) takeDigit(text[i], false);
    if (i < text.size() && text[i] == u'.') {
        for (++i; i < text.size() && IsDigit(text[i]); ++i) takeDigit(text[i], true);
    }
    if (!bAnyDigit) return false;

    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        bool bNegativeExponent = false;
        if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) bNegativeExponent = text[i++] == u'-';
        if (i >= text.size() || !IsDigit(text[i])) return false;
        std::int64_t nWritten = 0;
        for (; i < text.size() && IsDigit(text[i]); ++i)
            nWritten = std::min(nWritten * 10 + (text[i] - u'0'), kMaxExponent);
        nExponent += bNegativeExponent ? -nWritten : nWritten;
    }
    if (i != text.size()) return false;

    while (!number.sDigits.empty() && number.sDigits.back() == '0') {
        number.sDigits.pop_back();
        ++nExponent;
    }
    number.nExponent = number.sDigits.empty() ? 0 : nExponent;
    *pNumber = std::move(number);
    return true;
}

HRESULT DecimalToInteger(const DecimalNumber& number, int nScale, __int128 nMin, __int128 nMax, __int128* pnValue) {
    const auto nLength = static_cast<std::int64_t>(number.sDigits.size());
    // The count of digits before the point once the value is scaled; 38 digits stay below 2^127.
    const std::int64_t nIntegerDigits = nLength + number.nExponent + nScale;
    if (nLength != 0 && nIntegerDigits > 38) return DISP_E_OVERFLOW;

    unsigned __int128 nMagnitude = 0;
    for (std::int64_t k = 0; k < nIntegerDigits; ++k)
        nMagnitude = nMagnitude * 10 + (k < nLength ? static_cast<unsigned>(number.sDigits[k] - '0') : 0u);
    if (nIntegerDigits >= 0 && nIntegerDigits < nLength) {
        // Half to even: the first dropped digit decides, a tie goes to the even neighbour. Below 0.1
        // (nIntegerDigits < 0) the value always rounds to zero.
        const char cFirst = number.sDigits[nIntegerDigits];
        const bool bBeyondHalf = nIntegerDigits + 1 < nLength || number.bInexact;
        if (cFirst > '5' || (cFirst == '5' && (bBeyondHalf || (nMagnitude & 1) != 0))) ++nMagnitude;
    }
    const __int128 nValue = number.bNegative ? -static_cast<__int128>(nMagnitude) : static_cast<__int128>(nMagnitude);
    if (nValue < nMin || nValue > nMax) return DISP_E_OVERFLOW;
    *pnValue = nValue;
    return S_OK;
}

HRESULT DecimalToDouble(const DecimalNumber& number, double* pdValue) {
    return DecimalToBinary(number, pdValue);
}
HRESULT DecimalToFloat(const DecimalNumber& number, float* pfValue) {
    return DecimalToBinary(number, pfValue);
}

std::u16string FormatDouble(double dValue) {
    return FormatShortest(dValue);
}
std::u16string FormatFloat(float fValue) {
    return FormatShortest(fValue);
}

std::u16string FormatCurrency(std::int64_t nValue) {
    const std::uint64_t nMagnitude =
        nValue < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(nValue) : static_cast<std::uint64_t>(nValue);
    std::u16string sText = nValue < 0 ? u"-" : u"";
    sText += FormatInteger(nMagnitude / 10000);
    std::uint64_t nFraction = nMagnitude % 10000;
    if (nFraction != 0) {
        sText += u'.';
        for (std::uint64_t nPlace = 1000; nFraction != 0; nPlace /= 10) {
            sText += static_cast<char16_t>(u'0' + nFraction / nPlace);
            nFraction %= nPlace;
        }
    }
    return sText;
}

std::u16string FormatInteger(__int128 nValue) {
    unsigned __int128 nMagnitude =
        nValue < 0 ? -static_cast<unsigned __int128>(nValue) : static_cast<unsigned __int128>(nValue);
    char16_t buf[48];
    char16_t* p = buf + sizeof(buf) / sizeof(buf[0]);
    do {
        *--p = static_cast<char16_t>(u'0' + static_cast<unsigned>(nMagnitude % 10));
        nMagnitude /= 10;
    } while (nMagnitude != 0);
    if (nValue < 0) *--p = u'-';
    return std::u16string(p, buf + sizeof(buf) / sizeof(buf[0]));
}

bool ParseBool(std::u16string_view text, bool* pbValue) {
    auto equalsWord = [text](std::u16string_view word) {
        if (text.size() != word.size()) return false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            char16_t c = text[i];
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
            if (c != word[i]) return false;
        }
        return true;
    };
    if (equalsWord(u"true")) {
        *pbValue = true;
        return true;
    }
    if (equalsWord(u"false")) {
        *pbValue = false;
        return true;
    }
    DecimalNumber number;
    if (!ParseDecimal(text, &number)) return false;
    *pbValue = !number.sDigits.empty();
    return true;
}

bool IsValidDate(double dDate) {
    return dDate > kDateMin - 1.0 && dDate < kDateMax + 1.0;
}

HRESULT ParseDate(std::u16string_view text, double* pdDate) {
    text = TrimBlanks(text);
    unsigned nSeconds = 0;
    // A time alone lies on day zero.
    if (ParseTime(text, &nSeconds)) {
        *pdDate = nSeconds / 86400.0;
        return S_OK;
    }
    unsigned y = 0, m = 0, d = 0;
    if (!TakeNumber(&text, 4, &y) || !TakeChar(&text, u'-') || !TakeNumber(&text, 2, &m) || !TakeChar(&text, u'-') ||
        !TakeNumber(&text, 2, &d))
        return DISP_E_TYPEMISMATCH;
    if (!text.empty()) {
        if (!TakeChar(&text, u' ') && !TakeChar(&text, u'T')) return DISP_E_TYPEMISMATCH;
        if (!ParseTime(text, &nSeconds)) return DISP_E_TYPEMISMATCH;
    }
    if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return DISP_E_TYPEMISMATCH;
    if (y < 100) return DISP_E_OVERFLOW;
    const std::int64_t nDay = DaysFromCivil(y, m, d) - kDateEpoch;
    const double dTime = nSeconds / 86400.0;
    *pdDate = nDay >= 0 ? static_cast<double>(nDay) + dTime : static_cast<double>(nDay) - dTime;
    return S_OK;
}

HRESULT FormatDate(double dDate, std::u16string* psText) {
    if (!IsValidDate(dDate)) return DISP_E_OVERFLOW;
    // The day is the integer part toward zero; the fraction's size is the time on it in both directions.
    auto nDay = static_cast<std::int64_t>(std::trunc(dDate));
    auto nSeconds = static_cast<std::int64_t>(std::llround(std::fabs(dDate - static_cast<double>(nDay)) * 86400.0));
    if (nSeconds >= 86400) {
        // Rounding reached midnight of the next day; on the last representable day the time stays at the
        // last second instead.
        if (nDay + 1 <= static_cast<std::int64_t>(kDateMax)) {
            ++nDay;
            nSeconds = 0;
        } else {
            nSeconds = 86399;
        }
    }
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(nDay + kDateEpoch, &y, &m, &d);
    std::u16string sText;
    AppendPadded(&sText, y, 4);
    sText += u'-';
    AppendPadded(&sText, m, 2);
    sText += u'-';
    AppendPadded(&sText, d, 2);
    if (nSeconds != 0) {
        sText += u' ';
        AppendPadded(&sText, nSeconds / 3600, 2);
        sText += u':';
        AppendPadded(&sText, nSeconds / 60 % 60, 2);
        sText += u':';
        AppendPadded(&sText, nSeconds % 60, 2);
    }
    *psText = std::move(sText);
    return S_OK;
}

}  // namespace comrt::internal

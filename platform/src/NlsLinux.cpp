// Number formats (comrt/nls.h): the settings from the user's locale, and the formatting as a pure function.
#include <langinfo.h>
#include <locale.h>

#include <clocale>
#include <cstring>

#include "comrt/nls.h"
#include "comrt/sync.h"
#include "comrt/text.h"

namespace {

// The user's locale as the environment names it; "C" when it names none that is installed.
locale_t UserLocale() {
    static const locale_t Locale = [] {
        locale_t l = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
        return l != static_cast<locale_t>(0) ? l : newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    }();
    return Locale;
}

int CopyOut(const std::u16string& sText, LPWSTR pszOut, int cchOut) noexcept {
    const int nNeeded = static_cast<int>(sText.size()) + 1;
    if (cchOut == 0) return nNeeded;
    if (pszOut == nullptr || cchOut < nNeeded) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(pszOut, sText.c_str(), static_cast<std::size_t>(nNeeded) * sizeof(WCHAR));
    return nNeeded;
}

bool IsDigit(char16_t c) noexcept {
    return c >= u'0' && c <= u'9';
}

}  // namespace

int GetLocaleInfoW(LCID /*Locale*/, LCTYPE LCType, LPWSTR lpLCData, int cchData) noexcept {
    try {
        std::u16string sText;
        switch (LCType) {
            case LOCALE_SDECIMAL:
                sText = comrt::ToUtf16(nl_langinfo_l(RADIXCHAR, UserLocale()));
                break;
            case LOCALE_STHOUSAND:
                sText = comrt::ToUtf16(nl_langinfo_l(THOUSEP, UserLocale()));
                break;
            case LOCALE_IDIGITS:
                sText = u"2";
                break;
            case LOCALE_ILZERO:
                sText = u"1";
                break;
            case LOCALE_INEGNUMBER:
                sText = u"1";
                break;
            default:
                SetLastError(ERROR_INVALID_FLAGS);
                return 0;
        }
        return CopyOut(sText, lpLCData, cchData);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

bool comrt::FormatNumber(std::u16string_view sValue, const NUMBERFMTW& Format, std::u16string* psResult) {
    bool bNegative = false;
    if (!sValue.empty() && sValue.front() == u'-') {
        bNegative = true;
        sValue.remove_prefix(1);
    }
    const std::size_t nPoint = sValue.find(u'.');
    std::u16string sInteger(sValue.substr(0, nPoint));
    std::u16string sFraction(nPoint == std::u16string_view::npos ? u"" : sValue.substr(nPoint + 1));
    if (sInteger.empty() && sFraction.empty()) return false;
    for (const char16_t c : sInteger + sFraction)
        if (!IsDigit(c)) return false;
    if (Format.NumDigits > 9 || Format.NegativeOrder > 4) return false;

    // Round half away from zero at NumDigits decimals, on the digits themselves.
    const std::size_t nDigits = Format.NumDigits;
    const bool bRoundUp = sFraction.size() > nDigits && sFraction[nDigits] >= u'5';
    sFraction.resize(nDigits, u'0');
    if (bRoundUp) {
        std::u16string sAll = sInteger + sFraction;
        std::size_t i = sAll.size();
        for (; i > 0; --i) {
            if (sAll[i - 1] != u'9') {
                ++sAll[i - 1];
                break;
            }
            sAll[i - 1] = u'0';
        }
        if (i == 0) sAll.insert(sAll.begin(), u'1');
        sInteger = sAll.substr(0, sAll.size() - nDigits);
        sFraction = sAll.substr(sAll.size() - nDigits);
    }
    const std::size_t nFirstNonZero = sInteger.find_first_not_of(u'0');
    sInteger = nFirstNonZero == std::u16string::npos ? u"" : sInteger.substr(nFirstNonZero);
    if (sInteger.empty() && Format.LeadingZero != 0) sInteger = u"0";
    if (sInteger.empty() && sFraction.empty()) sInteger = u"0";

    // Groups from the right: the first group's size, then the second's repeated (32: 3, then 2s).
    const std::u16string sThousand(Format.lpThousandSep ? Format.lpThousandSep : u"");
    const std::size_t nFirstGroup = Format.Grouping >= 10 ? Format.Grouping / 10 : Format.Grouping;
    const std::size_t nNextGroup = Format.Grouping >= 10 ? Format.Grouping % 10 : Format.Grouping;
    std::u16string sGrouped;
    if (nFirstGroup == 0 || sInteger.size() <= nFirstGroup) {
        sGrouped = sInteger;
    } else {
        std::size_t nEnd = sInteger.size();
        sGrouped = sInteger.substr(nEnd - nFirstGroup);
        nEnd -= nFirstGroup;
        const std::size_t nStep = nNextGroup != 0 ? nNextGroup : nEnd;
        while (nEnd > 0) {
            const std::size_t nTake = nEnd < nStep ? nEnd : nStep;
            sGrouped = sInteger.substr(nEnd - nTake, nTake) + sThousand + sGrouped;
            nEnd -= nTake;
        }
    }
    std::u16string sNumber = sGrouped;
    if (nDigits != 0) sNumber += std::u16string(Format.lpDecimalSep ? Format.lpDecimalSep : u"") + sFraction;

    // A value that rounds to zero shows no sign.
    if (bNegative && (sInteger + sFraction).find_first_not_of(u'0') != std::u16string::npos) {
        switch (Format.NegativeOrder) {
            case 0:
                sNumber = u"(" + sNumber + u")";
                break;
            case 1:
                sNumber = u"-" + sNumber;
                break;
            case 2:
                sNumber = u"- " + sNumber;
                break;
            case 3:
                sNumber += u"-";
                break;
            default:
                sNumber += u" -";
                break;
        }
    }
    *psResult = std::move(sNumber);
    return true;
}

int GetNumberFormatW(LCID /*Locale*/, DWORD dwFlags, LPCWSTR lpValue, const NUMBERFMTW* lpFormat, LPWSTR lpNumberStr,
                     int cchNumber) noexcept {
    try {
        std::u16string sResult;
        if (dwFlags != 0 || lpValue == nullptr || lpFormat == nullptr || cchNumber < 0 ||
            !comrt::FormatNumber(lpValue, *lpFormat, &sResult)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        return CopyOut(sResult, lpNumberStr, cchNumber);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

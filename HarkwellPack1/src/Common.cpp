#include "Common.h"

#include <locale.h>

#include <cinttypes>
#include <clocale>
#include <cstdio>

#include "HarkwellServer/Interfaces.h"
#include "comrt/nls.h"
#include "comrt/sync.h"
#include "comrt/text.h"
#include "corvane/ulconnection.h"
#include "corvane/ulguard.h"

namespace {

// The user's locale as the environment names it; "C" when it names none or one that is not installed. Freed
// with the library.
class CUserLocale {
public:
    CUserLocale() {
        m_Locale = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
        if (m_Locale == static_cast<locale_t>(0)) m_Locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    }
    ~CUserLocale() {
        if (m_Locale != static_cast<locale_t>(0)) freelocale(m_Locale);
    }
    CUserLocale(const CUserLocale&) = delete;
    CUserLocale& operator=(const CUserLocale&) = delete;
    locale_t Get() const noexcept { return m_Locale; }

private:
    locale_t m_Locale;
};

locale_t GetUserLocale() {
    static const CUserLocale UserLocale;
    return UserLocale.Get();
}

std::string FormatPart(const char* pszFormat, const std::tm& Time) {
    char szText[256 * 4];  // 256 characters of up to four bytes each
    const size_t nLength = strftime_l(szText, sizeof szText, pszFormat, &Time, GetUserLocale());
    return std::string(szText, nLength);
}

// One setting of the user's locale, or sDefault when the locale gives none.
std::u16string GetLocaleText(LCTYPE nType, const char16_t* pszDefault) {
    WCHAR szText[16];
    const int nLength = GetLocaleInfoW(LOCALE_USER_DEFAULT, nType, szText, 16);
    if (nLength <= 1) return pszDefault;
    return std::u16string(szText, static_cast<size_t>(nLength - 1));
}

UINT GetLocaleNumber(LCTYPE nType, UINT nDefault) {
    const std::u16string sText = GetLocaleText(nType, u"");
    if (sText.empty() || sText[0] < u'0' || sText[0] > u'9') return nDefault;
    return static_cast<UINT>(sText[0] - u'0');
}

// The value text (a minus sign, digits, a point and digits) in the locale's number format.
std::u16string FormatNumberText(const std::string& sValue, UINT nDigits) {
    std::u16string sDecimal = GetLocaleText(LOCALE_SDECIMAL, u".");
    std::u16string sThousand = GetLocaleText(LOCALE_STHOUSAND, u",");
    NUMBERFMTW Format{nDigits,
                      nDigits != 0 ? GetLocaleNumber(LOCALE_ILZERO, 1) : 1,
                      3,
                      sDecimal.data(),
                      sThousand.data(),
                      GetLocaleNumber(LOCALE_INEGNUMBER, 1)};
    const std::u16string sWideValue = comrt::ToUtf16(sValue);
    WCHAR szNumber[128];
    const int nLength = GetNumberFormatW(LOCALE_USER_DEFAULT, 0, sWideValue.c_str(), &Format, szNumber, 128);
    if (nLength <= 0) corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
    return std::u16string(szNumber, static_cast<size_t>(nLength - 1));
}

}  // namespace

std::u16string FormatLocalTimeText(const std::tm& Time) {
    std::u16string sDate = comrt::ToUtf16(FormatPart("%x", Time)).substr(0, 256);
    const std::u16string sTime = comrt::ToUtf16(FormatPart("%X", Time)).substr(0, 256);
    return sDate + u' ' + sTime;
}

std::u16string GetLocalTimeText() {
    const std::time_t Now = std::time(nullptr);
    std::tm Time{};
    localtime_r(&Now, &Time);
    return FormatLocalTimeText(Time);
}

BSTR AllocateString(std::u16string_view sText) {
    BSTR sResult = SysAllocStringLen(sText.data(), static_cast<UINT>(sText.size()));
    if (sResult == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    return sResult;
}

void FireActivityEvent(const CConnectionPoint& ConnectionPoint, std::u16string_view sSubject,
                       std::u16string_view sBody) {
    CComPtr<IActivityEvent> pActivityEvent;
    const HRESULT nResult = pActivityEvent.CoCreateInstance(CLSID_CActivityEvent, nullptr, CLSCTX_ALL);
    if (FAILED(nResult)) corvane::ThrowHResult(nResult);
    BSTR sText = AllocateString(sSubject);
    HRESULT nPutResult = pActivityEvent->put_Subject(sText);
    SysFreeString(sText);
    UL_CHECK(nPutResult);
    sText = AllocateString(sBody);
    nPutResult = pActivityEvent->put_Body(sText);
    SysFreeString(sText);
    UL_CHECK(nPutResult);
    VARIANT Argument;
    VariantInit(&Argument);
    Argument.vt = VT_DISPATCH;
    Argument.pdispVal = pActivityEvent;
    ConnectionPoint.FireDispatch(DISPID_ActivityEvents_Notification, {Argument});
}

std::u16string FormatInteger(std::int64_t nValue) {
    return FormatNumberText(std::to_string(nValue), 0);
}

std::u16string FormatMegabytes(std::uint64_t nBytes, unsigned nDigits) {
    // Whole megabytes and the remainder's fraction separately, so that no byte count loses precision.
    const std::uint64_t nWhole = nBytes >> 20;
    const double nFraction = static_cast<double>(nBytes & 0xFFFFF) / 1048576.0;
    char szFraction[32];
    std::snprintf(szFraction, sizeof szFraction, "%.15f", nFraction);
    // szFraction is "0.xxx" (or "1.000..." after rounding a remainder just under one megabyte).
    const std::uint64_t nCarry = szFraction[0] == '1' ? 1 : 0;
    std::string sValue = std::to_string(nWhole + nCarry) + (szFraction + 1);
    return FormatNumberText(sValue, nDigits);
}

HRESULT GetNumberProperty(CUlCriticalSection& DataCriticalSection, const LONG& nValue, LONG* pnValue) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(pnValue);
    CUlCriticalSectionLock DataLock(DataCriticalSection);
    *pnValue = nValue;
    UL_GUARD_END
}

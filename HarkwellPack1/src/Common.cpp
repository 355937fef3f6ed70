#include "Common.h"

#include <locale.h>
#include <clocale>

#include "comrt/text.h"

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

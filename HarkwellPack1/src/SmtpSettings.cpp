// The authentication method list of the e-mail settings.
#include "SmtpSettings.h"

#include <algorithm>
#include <string>
#include <utility>

#include "comrt/text.h"
#include "corvane/ullisttext.h"

void CAuthMethodList::SetAsString(std::u16string_view sText) {
    std::vector<std::u16string> NameList;
    for (std::u16string& sName : corvane::SplitList(sText)) {
        const bool bHeld = std::any_of(NameList.begin(), NameList.end(), [&](const std::u16string& sHeldName) {
            return comrt::EqualsNoCase(sHeldName, sName);
        });
        if (!bHeld) NameList.push_back(std::move(sName));
    }
    m_NameList = std::move(NameList);
}

std::u16string CAuthMethodList::GetAsString() const {
    return corvane::JoinList(m_NameList);
}

bool ParseRetryIntervals(std::u16string_view sText, std::vector<LONG>& IntervalList) {
    std::vector<LONG> ParsedList;
    for (const std::u16string& sItem : corvane::SplitList(sText)) {
        if (ParsedList.size() == MAX_RETRY_COUNT || sItem.empty() || sItem.size() > 7) return false;
        LONG nSeconds = 0;
        for (const char16_t c : sItem) {
            if (c < u'0' || c > u'9') return false;
            nSeconds = 10 * nSeconds + (c - u'0');
        }
        if (nSeconds < 1 || nSeconds > MAX_RETRY_INTERVAL) return false;
        ParsedList.push_back(nSeconds);
    }
    IntervalList = std::move(ParsedList);
    return true;
}

std::u16string FormatRetryIntervals(const std::vector<LONG>& IntervalList) {
    std::vector<std::u16string> ItemList;
    ItemList.reserve(IntervalList.size());
    for (const LONG nSeconds : IntervalList) ItemList.push_back(comrt::ToUtf16(std::to_string(nSeconds)));
    return corvane::JoinList(ItemList);
}

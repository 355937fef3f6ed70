// The authentication method list of the e-mail settings.
#include "SmtpSettings.h"

#include <algorithm>

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

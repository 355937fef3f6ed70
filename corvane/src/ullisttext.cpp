// Splitting and joining list text.
#include "corvane/ullisttext.h"

namespace corvane {

namespace {

bool IsBlank(char16_t c) noexcept {
    return c == u' ' || c == u'\t';
}

bool NeedsQuotes(std::u16string_view sItem) noexcept {
    return sItem.find_first_of(u" \t,\"") != std::u16string_view::npos;
}

}  // namespace

std::vector<std::u16string> SplitList(std::u16string_view sText) {
    std::vector<std::u16string> ItemList;
    for (;;) {
        std::size_t nStart = 0;
        while (nStart < sText.size() && IsBlank(sText[nStart])) ++nStart;
        sText.remove_prefix(nStart);
        if (sText.empty()) break;
        std::u16string sItem;
        if (sText.front() == u'"') {
            std::size_t nPosition = 1;
            bool bClosed = false;
            while (nPosition < sText.size()) {
                if (sText[nPosition] != u'"') {
                    sItem += sText[nPosition++];
                } else if (nPosition + 1 < sText.size() && sText[nPosition + 1] == u'"') {
                    sItem += u'"';
                    nPosition += 2;
                } else {
                    bClosed = true;
                    break;
                }
            }
            if (!bClosed) break;
            const std::size_t nComma = sText.find(u',', nPosition + 1);
            sText = nComma == std::u16string_view::npos ? std::u16string_view() : sText.substr(nComma + 1);
        } else {
            const std::size_t nComma = sText.find(u',');
            if (nComma == std::u16string_view::npos) {
                sItem.assign(sText);
                sText = {};
            } else {
                std::size_t nEnd = nComma;
                while (nEnd > 0 && IsBlank(sText[nEnd - 1])) --nEnd;
                sItem.assign(sText.substr(0, nEnd));
                sText.remove_prefix(nComma + 1);
            }
        }
        ItemList.push_back(std::move(sItem));
    }
    return ItemList;
}

std::u16string JoinList(const std::vector<std::u16string>& ItemList) {
    std::u16string sText;
    for (std::size_t i = 0; i < ItemList.size(); ++i) {
        if (i) sText += u',';
        const std::u16string& sItem = ItemList[i];
        if (!NeedsQuotes(sItem)) {
            sText += sItem;
            continue;
        }
        sText += u'"';
        for (const char16_t c : sItem) {
            if (c == u'"') sText += u'"';
            sText += c;
        }
        sText += u'"';
    }
    return sText;
}

}  // namespace corvane

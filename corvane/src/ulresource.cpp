#include "corvane/ulresource.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "corvane/uldebug.h"

namespace corvane {
namespace {

struct StringTables {
    std::mutex Mutex;
    std::vector<std::span<const StringResource>> Tables;
};

// Built on first use, so tables registered by static objects of any translation unit find it ready; being
// complete before the first registration is, it is destroyed after the last one goes (a plug-in library
// unloaded leaves nothing behind).
StringTables& GetStringTables() {
    static StringTables Tables;
    return Tables;
}

}  // namespace

CStringTableRegistration::CStringTableRegistration(std::span<const StringResource> Table) noexcept : m_Table(Table) {
    StringTables& Tables = GetStringTables();
    std::lock_guard Lock(Tables.Mutex);
    Tables.Tables.push_back(Table);
}

CStringTableRegistration::~CStringTableRegistration() {
    StringTables& Tables = GetStringTables();
    std::lock_guard Lock(Tables.Mutex);
    auto Position = std::find_if(Tables.Tables.begin(), Tables.Tables.end(), [this](const auto& Table) {
        return Table.data() == m_Table.data() && Table.size() == m_Table.size();
    });
    if (Position != Tables.Tables.end()) Tables.Tables.erase(Position);
}

std::u16string LoadStringResource(UINT nId) {
    {
        StringTables& Tables = GetStringTables();
        std::lock_guard Lock(Tables.Mutex);
        for (const auto& Table : Tables.Tables) {
            for (const StringResource& Resource : Table) {
                if (Resource.nId == nId) return Resource.pszText;
            }
        }
    }
    UL_TRACE(2, "String resource %u is missing\n", nId);
    return {};
}

std::u16string LoadStringResourceLine(UINT nId, size_t nLine) {
    const std::u16string sText = LoadStringResource(nId);
    size_t nStart = 0;
    for (size_t nIndex = 0; nIndex < nLine; ++nIndex) {
        const size_t nBreak = sText.find(u'\n', nStart);
        if (nBreak == std::u16string::npos) return {};
        nStart = nBreak + 1;
    }
    const size_t nEnd = sText.find(u'\n', nStart);
    return sText.substr(nStart, nEnd == std::u16string::npos ? std::u16string::npos : nEnd - nStart);
}

std::u16string FormatString(std::u16string_view sFormat, std::initializer_list<std::u16string_view> Arguments) {
    std::u16string sResult;
    sResult.reserve(sFormat.size() + 64);
    auto pArgument = Arguments.begin();
    for (size_t nIndex = 0; nIndex < sFormat.size(); ++nIndex) {
        const char16_t c = sFormat[nIndex];
        if (c != u'%' || nIndex + 1 == sFormat.size()) {
            sResult += c;
            continue;
        }
        const std::u16string_view sRest = sFormat.substr(nIndex + 1);
        size_t nLength = 0;
        if (sRest.starts_with(u"s"))
            nLength = 1;
        else if (sRest.starts_with(u"ls"))
            nLength = 2;
        if (nLength != 0) {
            if (pArgument != Arguments.end()) sResult += *pArgument++;
            nIndex += nLength;
        } else if (sRest.front() == u'%') {
            sResult += u'%';
            ++nIndex;
        } else {
            sResult += c;
        }
    }
    return sResult;
}

}  // namespace corvane

// String resources: each module keeps its user-visible texts in tables keyed by resource number, registered
// once at load time, and reads them by number. A multi-line resource holds a list separated by line feeds;
// line n is the n-th item counted from 0.
//
//   const corvane::StringResource kPingStrings[] = {
//       {701, u"Ping Remote Host\nPing Remote Host %s\n"},
//       {702, u"Ping: %s is offline on %s"},
//   };
//   const corvane::CStringTableRegistration g_PingStrings(kPingStrings);
//   ...
//   corvane::FormatResourceString(702, {sHost, sLocalTime});
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "comrt/types.h"

namespace corvane {

struct StringResource {
    UINT nId;
    const char16_t* pszText;
};

// Adds a table to the module's string resources for the life of the object; declare it at namespace scope.
class CStringTableRegistration {
public:
    explicit CStringTableRegistration(std::span<const StringResource> Table) noexcept;
    ~CStringTableRegistration();
    CStringTableRegistration(const CStringTableRegistration&) = delete;
    CStringTableRegistration& operator=(const CStringTableRegistration&) = delete;

private:
    std::span<const StringResource> m_Table;
};

// The text of resource nId; empty when the module has no such resource (traced as an assertion, since every
// number a module asks for is its own).
std::u16string LoadStringResource(UINT nId);
// Line nLine (from 0) of a multi-line resource; empty when the resource has fewer lines.
std::u16string LoadStringResourceLine(UINT nId, size_t nLine);
// Replaces each "%s" (or "%ls") of the format, left to right, with the next argument; "%%" is one percent
// sign. Missing arguments leave empty text, surplus ones are ignored: a resource can never read past them.
std::u16string FormatString(std::u16string_view sFormat, std::initializer_list<std::u16string_view> Arguments);
inline std::u16string FormatResourceString(UINT nId, std::initializer_list<std::u16string_view> Arguments) {
    return FormatString(LoadStringResource(nId), Arguments);
}

}  // namespace corvane

// Regular expressions: an arbitrary pattern, then matching it against arbitrary text. The input's text (see
// FuzzInput.h) is split at its first NUL into pattern and subject; bit 1 of the first byte asks for a
// case-insensitive pattern. Parsing must give a known code; a match must report positions inside the subject
// and in order, agree between the counted and the NUL-terminated subject where both see the same text, and
// in case-insensitive mode agree with matching a lower-cased copy of the subject.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "corvane/ulregexp.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "regexp_fuzz", pszWhat);
}

// Offsets of a match and its groups into pBegin; -1 for positions that are not set.
std::vector<std::ptrdiff_t> Offsets(const CRegExpMatchContext& Context, const WCHAR* pBegin, const WCHAR* pEnd) {
    const auto Offset = [&](const WCHAR* p) {
        if (p == nullptr) return std::ptrdiff_t{-1};
        Check(p >= pBegin && p <= pEnd, "a position outside the subject");
        return p - pBegin;
    };
    std::vector<std::ptrdiff_t> offsets{Offset(Context.GetMatchStart()), Offset(Context.GetMatchEnd())};
    Check(offsets[0] >= 0 && offsets[0] <= offsets[1], "match end before its start");
    for (UINT g = 0; g < Context.GetGroupCount(); ++g) {
        const WCHAR* pStart = nullptr;
        const WCHAR* pGroupEnd = nullptr;
        Context.GetGroup(g, &pStart, &pGroupEnd);
        Check((pStart == nullptr) == (pGroupEnd == nullptr), "a group with only one position");
        offsets.push_back(Offset(pStart));
        offsets.push_back(Offset(pGroupEnd));
        Check(offsets.back() >= offsets[offsets.size() - 2], "group end before its start");
    }
    return offsets;
}

// Matches and returns the offsets, or nothing for no match.
std::vector<std::ptrdiff_t> Run(const CRegExp& RegExp, std::u16string_view sSubject) {
    CRegExpMatchContext Context;
    const WCHAR* pEnd = nullptr;
    if (!RegExp.Match(sSubject, &Context, &pEnd)) return {};
    Check(pEnd == Context.GetMatchEnd(), "end out-pointer differs from the context");
    Check(Context.GetGroupCount() == RegExp.GetGroupCount(), "group count differs");
    return Offsets(Context, sSubject.data(), sSubject.data() + sSubject.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    if (cb == 0) return 0;
    const bool bCaseSensitive = (pData[0] & 2) == 0;
    const std::u16string text = fuzzing::DecodeText(pData, cb);
    const std::size_t nSplit = text.find(u'\0');
    const std::u16string sPattern = text.substr(0, nSplit);
    const std::u16string sSubject = nSplit == std::u16string::npos ? std::u16string() : text.substr(nSplit + 1);

    // Lower limits than the defaults keep hostile patterns, which the fuzzer finds at once, from slowing the
    // run; the stack still outgrows its first buffer.
    CRegExp RegExp;
    RegExp.SetMatchLimits(200'000, 4096);
    const REPARSE_ERROR e = RegExp.Parse(sPattern.c_str(), bCaseSensitive);
    Check(e >= REPARSE_ERROR_OK && e <= REPARSE_ERROR_INVALIDINPUT && e != REPARSE_ERROR_INVALIDINPUT,
          "unknown parse code");
    Check(RegExp.Parse(std::u16string_view(sPattern), bCaseSensitive) == e, "counted pattern parses otherwise");
    Check(RegExp.IsParsed() == (e == REPARSE_ERROR_OK), "program kept after a failed parse");
    if (e != REPARSE_ERROR_OK) return 0;

    const std::vector<std::ptrdiff_t> found = Run(RegExp, sSubject);
    if (!found.empty() && !sPattern.empty() && sPattern[0] == u'^') Check(found[0] == 0, "anchored match not at 0");

    // Up to the first NUL both forms see the same text.
    const std::u16string sPrefix = sSubject.substr(0, sSubject.find(u'\0'));
    CRegExpMatchContext Context;
    const bool bMatched = RegExp.Match(sPrefix.c_str(), &Context);
    const std::vector<std::ptrdiff_t> prefix = Run(RegExp, sPrefix);
    Check(bMatched == !prefix.empty(), "NUL-terminated and counted subjects differ");
    if (bMatched) {
        Check(Offsets(Context, sPrefix.c_str(), sPrefix.c_str() + sPrefix.size()) == prefix,
              "NUL-terminated and counted positions differ");
    }

    if (!bCaseSensitive) {
        // The same positions as in a lower-cased copy of the subject; checked for ASCII subjects, whose
        // lower case needs no table.
        std::u16string sLower = sSubject;
        for (char16_t& c : sLower)
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        bool bAscii = true;
        for (const char16_t c : sSubject) bAscii = bAscii && c < 0x80;
        if (bAscii) Check(Run(RegExp, sLower) == found, "case-insensitive match differs from a lower-cased copy");
    }
    return 0;
}

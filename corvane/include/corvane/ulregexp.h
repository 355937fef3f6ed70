// Regular expressions in the dialect of user-entered name patterns and of the system's own text parsing
// (docs/regular-expressions.md describes it for users).
//
// A CRegExp is parsed once into an instruction list and then matched any number of times:
//
//   CRegExp RegExp;
//   if (RegExp.Parse(u"^{\\w}-{\\z}$", false) != REPARSE_ERROR_OK) ... unusable pattern ...
//   CRegExpMatchContext Context;
//   if (RegExp.Match(pszName, &Context)) Context.GetGroup(0, &pStart, &pEnd);
//
// Threads: after Parse, any number of threads may call Match on the same object at once; Match keeps all of
// its state on the calling thread. Parse must not run while another thread matches. A context belongs to one
// thread at a time.
//
// Work limit: a match is a backtracking search, and some patterns take time exponential in the subject
// length (for example "(a|a)*b" against a long run of "a"). Every Match call therefore stops after
// kMaxMatchSteps steps (an instruction executed, a character scanned or compared, a backtrack) or when its
// backtracking stack would hold more than kMaxBacktrackFrames entries, and then returns false as if there
// were no match. The limits keep one call under about a tenth of a second and a few MiB of memory whatever
// the pattern; the patterns and subjects of this system (names, paths, reply lines) stay far below them.
// SetMatchLimits changes both for one object.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "comrt/types.h"

enum REPARSE_ERROR {
    REPARSE_ERROR_OK = 0,
    REPARSE_ERROR_OUTOFMEMORY = 1,
    REPARSE_ERROR_BRACE_EXPECTED = 2,    // a match group "{" without its "}"
    REPARSE_ERROR_PAREN_EXPECTED = 3,    // a "(" without its ")"
    REPARSE_ERROR_BRACKET_EXPECTED = 4,  // a class without its "]", or a range without an end
    REPARSE_ERROR_UNEXPECTED = 5,        // an abbreviation that cannot be expanded; "!" without a term
    REPARSE_ERROR_EMPTYRANGE = 6,        // "[]" or "[^]"
    REPARSE_ERROR_INVALIDGROUP = 7,      // a back-reference to a group not opened before it
    REPARSE_ERROR_INVALIDRANGE = 8,      // a range whose end is below its start
    REPARSE_ERROR_EMPTYREPEATOP = 9,     // a quantifier on an expression that can match the empty string
    REPARSE_ERROR_INVALIDINPUT = 10      // a null pattern
};

// The groups of the last successful match. Positions point into the caller's subject (also in
// case-insensitive mode) and are valid as long as that string is. A failed match leaves the context as it
// was.
class CRegExpMatchContext {
public:
    // The number of match groups of the expression that matched last (0 before any match).
    UINT GetGroupCount() const noexcept { return static_cast<UINT>(m_Groups.size() / 2); }
    // Start and end (one past the last character) of group nGroup. Both are null for a group that took no
    // part in the match and for nGroup out of range. Either out-pointer may be null.
    void GetGroup(UINT nGroup, const WCHAR** ppStart, const WCHAR** ppEnd) const noexcept;
    // Start and end of the whole match; null before any match.
    const WCHAR* GetMatchStart() const noexcept { return m_pMatchStart; }
    const WCHAR* GetMatchEnd() const noexcept { return m_pMatchEnd; }

private:
    friend class CRegExp;
    std::vector<const WCHAR*> m_Groups;  // start and end of each group in turn
    const WCHAR* m_pMatchStart = nullptr;
    const WCHAR* m_pMatchEnd = nullptr;
};

class CRegExp {
public:
    static constexpr std::size_t kMaxMatchSteps = 10'000'000;
    static constexpr std::size_t kMaxBacktrackFrames = 1u << 18;

    // Parses pszPattern (NUL-terminated) and keeps its program; a failed parse leaves no program, so Match
    // returns false until a pattern parses. A null pattern gives REPARSE_ERROR_INVALIDINPUT.
    REPARSE_ERROR Parse(const WCHAR* pszPattern, bool bCaseSensitive = true);
    // The same for a counted pattern: every character up to sPattern.size() counts, NUL included. A view
    // without data gives REPARSE_ERROR_INVALIDINPUT.
    REPARSE_ERROR Parse(std::u16string_view sPattern, bool bCaseSensitive = true);

    // Searches pszSubject (NUL-terminated) for the first match: the leftmost start, and from there the first
    // alternative and repetition count in the pattern's preference order. On success fills pContext and, when
    // ppszEnd is given, stores the end of the match there. A null subject or context, no program, no match or
    // a search over the work limit return false.
    bool Match(const WCHAR* pszSubject, CRegExpMatchContext* pContext, const WCHAR** ppszEnd = nullptr) const;
    // The same over a counted subject; its end is sSubject.size(), and NUL characters are ordinary ones.
    bool Match(std::u16string_view sSubject, CRegExpMatchContext* pContext, const WCHAR** ppszEnd = nullptr) const;

    // Lowers (or raises) the work limit of this object's matches from kMaxMatchSteps and kMaxBacktrackFrames,
    // for callers that match many subjects under a time budget of their own. Not while another thread matches.
    void SetMatchLimits(std::size_t nMaxSteps, std::size_t nMaxBacktrackFrames) noexcept {
        m_nMaxSteps = nMaxSteps;
        m_nMaxFrames = nMaxBacktrackFrames;
    }

    bool IsParsed() const noexcept { return m_pProgram != nullptr; }
    // Match groups of the parsed pattern (0 without a program).
    UINT GetGroupCount() const noexcept;

    struct CProgram;

private:
    // Matches [pBegin, pEnd), or up to the first NUL when pEnd is null.
    bool Search(const WCHAR* pBegin, const WCHAR* pEnd, CRegExpMatchContext* pContext, const WCHAR** ppszEnd) const;

    // Shared and never changed after Parse: copies of a CRegExp share one program, and matching threads
    // only read it.
    std::shared_ptr<const CProgram> m_pProgram;
    std::size_t m_nMaxSteps = kMaxMatchSteps;
    std::size_t m_nMaxFrames = kMaxBacktrackFrames;
};

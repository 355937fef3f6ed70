// Regular expressions: every parse error, where a search starts and which of several matches wins
// (alternation order, greedy and non-greedy repetition), group positions in the caller's string (also without
// case), back-references, "!", the abbreviations, and the work limit against hostile patterns.
#include "corvane/ulregexp.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "comrt/text.h"

namespace {

// The outcome of one search, as UTF-8 text and offsets into the subject.
struct CFound {
    bool bMatched = false;
    std::string sMatch;                  // the matched text
    std::ptrdiff_t nStart = -1;          // offset of the match
    std::vector<std::string> Groups;     // each group's text, "<unset>" for a group without positions
    std::vector<std::ptrdiff_t> Starts;  // each group's start offset, -1 when unset
};

std::string Text(const WCHAR* pStart, const WCHAR* pEnd) {
    if (pStart == nullptr || pEnd == nullptr) return "<unset>";
    return comrt::ToUtf8(std::u16string_view(pStart, static_cast<std::size_t>(pEnd - pStart)));
}

CFound Find(const char16_t* pszPattern, const std::u16string& sSubject, bool bCaseSensitive = true) {
    CFound Found;
    CRegExp RegExp;
    const REPARSE_ERROR e = RegExp.Parse(pszPattern, bCaseSensitive);
    EXPECT_EQ(e, REPARSE_ERROR_OK) << comrt::ToUtf8(pszPattern);
    if (e != REPARSE_ERROR_OK) return Found;
    CRegExpMatchContext Context;
    const WCHAR* pEnd = nullptr;
    Found.bMatched = RegExp.Match(sSubject.c_str(), &Context, &pEnd);
    if (!Found.bMatched) return Found;
    EXPECT_EQ(pEnd, Context.GetMatchEnd());
    Found.sMatch = Text(Context.GetMatchStart(), Context.GetMatchEnd());
    Found.nStart = Context.GetMatchStart() - sSubject.c_str();
    EXPECT_EQ(Context.GetGroupCount(), RegExp.GetGroupCount());
    for (UINT g = 0; g < Context.GetGroupCount(); ++g) {
        const WCHAR* pStart = nullptr;
        const WCHAR* pGroupEnd = nullptr;
        Context.GetGroup(g, &pStart, &pGroupEnd);
        Found.Groups.push_back(Text(pStart, pGroupEnd));
        Found.Starts.push_back(pStart ? pStart - sSubject.c_str() : -1);
    }
    return Found;
}

// The matched text, or "<none>".
std::string M(const char16_t* pszPattern, const std::u16string& sSubject, bool bCaseSensitive = true) {
    const CFound Found = Find(pszPattern, sSubject, bCaseSensitive);
    return Found.bMatched ? Found.sMatch : "<none>";
}

REPARSE_ERROR ParseError(const char16_t* pszPattern, bool bCaseSensitive = true) {
    CRegExp RegExp;
    return RegExp.Parse(pszPattern, bCaseSensitive);
}

TEST(RegExpParse, EveryErrorCode) {
    EXPECT_EQ(ParseError(nullptr), REPARSE_ERROR_INVALIDINPUT);
    EXPECT_EQ(ParseError(u"{abc"), REPARSE_ERROR_BRACE_EXPECTED);
    EXPECT_EQ(ParseError(u"{a(b)"), REPARSE_ERROR_BRACE_EXPECTED);
    EXPECT_EQ(ParseError(u"{a)"), REPARSE_ERROR_BRACE_EXPECTED);
    EXPECT_EQ(ParseError(u"(abc"), REPARSE_ERROR_PAREN_EXPECTED);
    EXPECT_EQ(ParseError(u"(a}"), REPARSE_ERROR_PAREN_EXPECTED);
    EXPECT_EQ(ParseError(u"(a]"), REPARSE_ERROR_PAREN_EXPECTED);
    EXPECT_EQ(ParseError(u"[abc"), REPARSE_ERROR_BRACKET_EXPECTED);
    EXPECT_EQ(ParseError(u"[a-]"), REPARSE_ERROR_BRACKET_EXPECTED);
    EXPECT_EQ(ParseError(u"[a-"), REPARSE_ERROR_BRACKET_EXPECTED);
    EXPECT_EQ(ParseError(u"[a\\"), REPARSE_ERROR_BRACKET_EXPECTED);
    EXPECT_EQ(ParseError(u"[]"), REPARSE_ERROR_EMPTYRANGE);
    EXPECT_EQ(ParseError(u"[^]"), REPARSE_ERROR_EMPTYRANGE);
    EXPECT_EQ(ParseError(u"\\0"), REPARSE_ERROR_INVALIDGROUP);
    EXPECT_EQ(ParseError(u"(a)\\0"), REPARSE_ERROR_INVALIDGROUP);  // "(" records nothing
    EXPECT_EQ(ParseError(u"{a}\\1"), REPARSE_ERROR_INVALIDGROUP);
    EXPECT_EQ(ParseError(u"{a}\\99999999999999999999"), REPARSE_ERROR_INVALIDGROUP);
    EXPECT_EQ(ParseError(u"[z-a]"), REPARSE_ERROR_INVALIDRANGE);
    EXPECT_EQ(ParseError(u"[a-\\]]"), REPARSE_ERROR_INVALIDRANGE);
    // "!" needs a term after it.
    EXPECT_EQ(ParseError(u"a!"), REPARSE_ERROR_UNEXPECTED);
    EXPECT_EQ(ParseError(u"(!)"), REPARSE_ERROR_UNEXPECTED);
    EXPECT_EQ(ParseError(u"!|a"), REPARSE_ERROR_UNEXPECTED);
    EXPECT_EQ(ParseError(u"!*a"), REPARSE_ERROR_UNEXPECTED);
}

TEST(RegExpParse, QuantifierOnWhatCanBeEmptyIsRefused) {
    for (const char16_t* psz :
         {u"(a*)*", u"(a?)+", u"(a|)*", u"(|a)?", u"{}*",  u"()+", u"{a*}*",     u"(!a)*",     u"!a*",     u"*a",
          u"a|+b",  u"(*a)",  u"a**",   u"a+*",   u"a???", u"^*",  u"((a*)b?)*", u"{b*}c\\0*", u"(\\d*)*", u"a(!b)?"}) {
        EXPECT_EQ(ParseError(psz), REPARSE_ERROR_EMPTYREPEATOP) << comrt::ToUtf8(psz);
    }
    // Terms that always consume a character may be repeated, however they are built.
    for (const char16_t* psz : {u"(a+)*", u"(ab?)*", u"{a}\\0*", u"(a|b)+", u"\\w*", u"\\q+", u"(\\n)*", u"[^a]*?",
                                u"(a*b)+", u"a+?", u"a*?", u"a??"}) {
        EXPECT_EQ(ParseError(psz), REPARSE_ERROR_OK) << comrt::ToUtf8(psz);
    }
}

TEST(RegExpParse, FailedParseDiscardsTheProgram) {
    CRegExp RegExp;
    CRegExpMatchContext Context;
    ASSERT_EQ(RegExp.Parse(u"abc"), REPARSE_ERROR_OK);
    EXPECT_TRUE(RegExp.Match(u"abc", &Context));
    EXPECT_EQ(RegExp.Parse(u"[abc"), REPARSE_ERROR_BRACKET_EXPECTED);
    EXPECT_FALSE(RegExp.IsParsed());
    EXPECT_FALSE(RegExp.Match(u"abc", &Context));
    EXPECT_EQ(RegExp.Parse(nullptr), REPARSE_ERROR_INVALIDINPUT);
    EXPECT_EQ(RegExp.Parse(std::u16string_view()), REPARSE_ERROR_INVALIDINPUT);
    // A new pattern replaces the old one, groups included.
    ASSERT_EQ(RegExp.Parse(u"{a}{b}"), REPARSE_ERROR_OK);
    ASSERT_EQ(RegExp.Parse(u"x"), REPARSE_ERROR_OK);
    EXPECT_EQ(RegExp.GetGroupCount(), 0u);
    EXPECT_FALSE(RegExp.Match(u"ab", &Context));
}

TEST(RegExpParse, UnmatchedCloserEndsThePattern) {
    EXPECT_EQ(M(u"ab)c", u"xabx"), "ab");
    EXPECT_EQ(M(u"ab]c", u"xabx"), "ab");
    EXPECT_EQ(M(u"ab}(((", u"xabx"), "ab");  // the rest is not even parsed
    EXPECT_EQ(M(u")", u"xyz"), "");
    EXPECT_EQ(M(u"a|b)|c", u"c"), "<none>");
    EXPECT_EQ(ParseError(u"a$)"), REPARSE_ERROR_OK);
    EXPECT_EQ(M(u"a$)", u"a$"), "a$");  // "$" is not the last character of the pattern
}

TEST(RegExpSearch, StartAndAnchors) {
    EXPECT_EQ(M(u"abc", u"xxabcxx"), "abc");
    EXPECT_EQ(Find(u"abc", u"xxabcxx").nStart, 2);
    EXPECT_EQ(M(u"^abc", u"xxabcxx"), "<none>");
    EXPECT_EQ(M(u"^abc", u"abcxx"), "abc");
    EXPECT_EQ(M(u"a^b", u"a^b"), "a^b");  // "^" past the start is a literal
    EXPECT_EQ(M(u"(^a)", u"^a"), "^a");
    EXPECT_EQ(M(u"$", u"abc"), "");
    EXPECT_EQ(Find(u"$", u"abc").nStart, 3);
    EXPECT_EQ(M(u"$", u""), "");
    EXPECT_EQ(M(u"^$", u""), "");
    EXPECT_EQ(M(u"^$", u"a"), "<none>");
    EXPECT_EQ(M(u"a$b", u"xa$by"), "a$b");
    EXPECT_EQ(M(u"a$", u"aab"), "<none>");
    EXPECT_EQ(M(u"a$", u"baa"), "a");
    EXPECT_EQ(M(u"a\\$", u"a$b"), "a$");
    EXPECT_EQ(M(u"(a$)", u"xa$"), "a$");
    EXPECT_EQ(M(u"", u"abc"), "");
    EXPECT_EQ(M(u"^sshd$", u"sshd"), "sshd");
    EXPECT_EQ(M(u"^sshd$", u"sshd-session"), "<none>");
    // The match need not reach the end without "$", and the leftmost start wins over a longer match.
    EXPECT_EQ(M(u"b+", u"abcbbb"), "b");
    EXPECT_EQ(M(u"x*", u"abc"), "");
}

TEST(RegExpSearch, TermsAndClasses) {
    EXPECT_EQ(M(u"a.c", u"xa\nc"), "a\nc");
    EXPECT_EQ(M(u"a.", u"a"), "<none>");
    EXPECT_EQ(M(u"[a-cx]+", u"zzbaxcyz"), "baxc");
    EXPECT_EQ(M(u"[^a-c]+", u"abcdefa"), "def");
    EXPECT_EQ(M(u"[\\t]", u"a\tb"), "\t");
    EXPECT_EQ(M(u"[\\]\\-]+", u"a]-]b"), "]-]");
    EXPECT_EQ(M(u"[-a]+", u"x-a-"), "-a-");
    EXPECT_EQ(M(u"[a^]+", u"x^a"), "^a");
    EXPECT_EQ(M(u"[\u0400-\u04ff]+", u"ab\u0416\u0436c"), "\xd0\x96\xd0\xb6");
    EXPECT_EQ(M(u"[^a]", u"\u4e2d"), "\xe4\xb8\xad");
    // Outside a class "\t" is a plain "t"; a backslash escapes anything that is not an abbreviation.
    EXPECT_EQ(M(u"\\t", u"\tt"), "t");
    EXPECT_EQ(M(u"\\.\\*\\{\\(\\[\\\\", u"a.*{([\\b"), ".*{([\\");
    EXPECT_EQ(M(u"notepad\\.exe", u"C:\\notepad.exe"), "notepad.exe");
    EXPECT_EQ(M(u"notepad\\.exe", u"notepadXexe"), "<none>");
    EXPECT_EQ(M(u"notepad.exe", u"notepadXexe"), "notepadXexe");
    EXPECT_EQ(M(u"a\\", u"a\\"), "a\\");  // a trailing backslash stands for itself
}

TEST(RegExpSearch, CountedSubjectsKeepTheirNulCharacters) {
    CRegExp RegExp;
    CRegExpMatchContext Context;
    ASSERT_EQ(RegExp.Parse(u"b.c$"), REPARSE_ERROR_OK);
    const std::u16string sSubject(u"ab\0c", 4);
    const WCHAR* pEnd = nullptr;
    ASSERT_TRUE(RegExp.Match(std::u16string_view(sSubject), &Context, &pEnd));
    EXPECT_EQ(Context.GetMatchStart(), sSubject.data() + 1);
    EXPECT_EQ(pEnd, sSubject.data() + 4);
    EXPECT_FALSE(RegExp.Match(sSubject.c_str(), &Context));  // stops at the NUL
}

TEST(RegExpSearch, AlternativesAreTriedInOrder) {
    EXPECT_EQ(M(u"a|ab", u"abc"), "a");
    EXPECT_EQ(M(u"ab|a", u"abc"), "ab");
    EXPECT_EQ(M(u"{a|ab}c", u"abc"), "abc");  // the first alternative fails later: the second is tried
    EXPECT_EQ(M(u"x|bc", u"abcx"), "bc");     // leftmost start before alternative order
    EXPECT_EQ(M(u"(bash|zsh|fish)$", u"/bin/zsh"), "zsh");
    EXPECT_EQ(M(u"a|", u"b"), "");
    EXPECT_EQ(M(u"|a", u"a"), "");
    const CFound Found = Find(u"{a}|{b}|{c}", u"c");
    ASSERT_TRUE(Found.bMatched);
    EXPECT_EQ(Found.Groups, (std::vector<std::string>{"<unset>", "<unset>", "c"}));
}

TEST(RegExpSearch, GreedyAndNonGreedy) {
    EXPECT_EQ(M(u"<.*>", u"<a><b>"), "<a><b>");
    EXPECT_EQ(M(u"<.*?>", u"<a><b>"), "<a>");
    EXPECT_EQ(M(u"<.+?>", u"<><b>"), "<><b>");
    EXPECT_EQ(M(u"a+?", u"aaa"), "a");
    EXPECT_EQ(M(u"a*?", u"aaa"), "");
    EXPECT_EQ(M(u"a??b", u"ab"), "ab");
    EXPECT_EQ(M(u"a?", u"aa"), "a");
    EXPECT_EQ(M(u"a??", u"aa"), "");
    EXPECT_EQ(M(u"(ab)*?c", u"ababc"), "ababc");
    EXPECT_EQ(M(u"(ab)+?", u"abab"), "ab");
    EXPECT_EQ(M(u"(ab)+", u"ababa"), "abab");
    EXPECT_EQ(M(u"(a|b)*c", u"abbac"), "abbac");
    // A greedy run gives back just enough for the rest, and a lazy one takes just enough.
    const CFound Greedy = Find(u"{.*}{\\d+}", u"ab123");
    EXPECT_EQ(Greedy.Groups, (std::vector<std::string>{"ab12", "3"}));
    const CFound Lazy = Find(u"{.*?}{\\d+}", u"ab123");
    EXPECT_EQ(Lazy.Groups, (std::vector<std::string>{"ab", "123"}));
    const CFound Both = Find(u"{[a-z]*?}{[a-z]*}x", u"abcx");
    EXPECT_EQ(Both.Groups, (std::vector<std::string>{"", "abc"}));
    EXPECT_EQ(M(u"[a-z]*d", u"aaadaaa"), "aaad");
    EXPECT_EQ(M(u"[a-z]*?a$", u"abca"), "abca");
}

TEST(RegExpGroups, PositionsInTheSubject) {
    const std::u16string sAddress = u"John Smith <john.smith@example.com>";
    const CFound Address = Find(u"<{[^<>]+}>", sAddress);
    ASSERT_TRUE(Address.bMatched);
    EXPECT_EQ(Address.Groups, std::vector<std::string>{"john.smith@example.com"});
    EXPECT_EQ(Address.Starts, std::vector<std::ptrdiff_t>{12});

    // Numbered by their opening braces, nested ones included.
    const CFound Nested = Find(u"{{a}{b{c}}}d", u"xabcd");
    EXPECT_EQ(Nested.Groups, (std::vector<std::string>{"abc", "a", "bc", "c"}));
    EXPECT_EQ(Nested.Starts, (std::vector<std::ptrdiff_t>{1, 1, 2, 3}));

    // A repeated group holds its last round; a group that took no part has no positions.
    EXPECT_EQ(Find(u"({[a-z]}\\d)+", u"a1b2c3").Groups, std::vector<std::string>{"c"});
    EXPECT_EQ(Find(u"{x}?y", u"y").Groups, std::vector<std::string>{"<unset>"});
    EXPECT_EQ(Find(u"{}", u"abc").Groups, std::vector<std::string>{""});
    // Positions of an alternative that failed later are not kept.
    EXPECT_EQ(Find(u"({a}x|ab)", u"ab").Groups, std::vector<std::string>{"<unset>"});
    EXPECT_EQ(Find(u"({a}b)*ac", u"abac").Groups, std::vector<std::string>{"a"});
    EXPECT_EQ(Find(u"({a}b)*ac", u"ac").Groups, std::vector<std::string>{"<unset>"});
    EXPECT_EQ(Find(u"{\\w}-{\\z}", u"  worker-42 ").Groups, (std::vector<std::string>{"worker", "42"}));
}

TEST(RegExpGroups, ContextAndArguments) {
    CRegExp RegExp;
    CRegExpMatchContext Context;
    EXPECT_EQ(Context.GetGroupCount(), 0u);
    EXPECT_FALSE(RegExp.Match(u"a", &Context));  // no program yet
    ASSERT_EQ(RegExp.Parse(u"{b}"), REPARSE_ERROR_OK);
    EXPECT_FALSE(RegExp.Match(static_cast<const WCHAR*>(nullptr), &Context));
    EXPECT_FALSE(RegExp.Match(u"b", nullptr));
    EXPECT_FALSE(RegExp.Match(std::u16string_view(), &Context));

    const std::u16string sSubject = u"abc";
    ASSERT_TRUE(RegExp.Match(sSubject.c_str(), &Context));
    // A failed match leaves the last successful one in place.
    EXPECT_FALSE(RegExp.Match(u"xyz", &Context));
    const WCHAR* pStart = nullptr;
    const WCHAR* pEnd = nullptr;
    Context.GetGroup(0, &pStart, &pEnd);
    EXPECT_EQ(pStart, sSubject.c_str() + 1);
    EXPECT_EQ(pEnd, sSubject.c_str() + 2);
    Context.GetGroup(1, &pStart, &pEnd);
    EXPECT_EQ(pStart, nullptr);
    EXPECT_EQ(pEnd, nullptr);
    Context.GetGroup(0, nullptr, nullptr);
}

TEST(RegExpCase, InsensitiveMatchReportsTheCallersPositions) {
    const std::u16string sName = u"C:\\WINDOWS\\NOTEPAD.EXE";
    const CFound Found = Find(u"{notepad}\\.exe", sName, false);
    ASSERT_TRUE(Found.bMatched);
    EXPECT_EQ(Found.sMatch, "NOTEPAD.EXE");
    EXPECT_EQ(Found.Groups, std::vector<std::string>{"NOTEPAD"});
    EXPECT_EQ(Found.Starts, std::vector<std::ptrdiff_t>{11});
    EXPECT_EQ(M(u"NOTEPAD\\.EXE", u"notepad.exe", false), "notepad.exe");
    EXPECT_EQ(M(u"notepad\\.exe", u"NOTEPAD.EXE", true), "<none>");
    EXPECT_EQ(M(u"[A-C]+", u"xaBcX", false), "aBc");
    EXPECT_EQ(M(u"[^a]", u"Ab", false), "b");
    EXPECT_EQ(M(u"\\w", u"12HeLLo3", false), "HeLLo");
    // The pattern is lower-cased before it is read: "\D" is the digit abbreviation there.
    EXPECT_EQ(M(u"\\D+", u"xD12", false), "12");
    EXPECT_EQ(M(u"\\D+", u"xD12", true), "D");
    // Letters beyond ASCII fold too.
    EXPECT_EQ(M(u"\u00e9t\u00e9", u"\u00c9T\u00c9", false), "\xc3\x89T\xc3\x89");
    EXPECT_EQ(M(u"\u043c\u0438\u0440", u"\u041c\u0418\u0420", false), "\xd0\x9c\xd0\x98\xd0\xa0");
}

TEST(RegExpBackReference, RepeatsTheGroupsText) {
    EXPECT_EQ(M(u"{[a-z]+}=\\0", u"x=y abc=abc"), "abc=abc");
    EXPECT_EQ(M(u"{a}{b}\\1\\0", u"abba"), "abba");
    EXPECT_EQ(M(u"{\\q}.*\\0", u"'x' and 'x'"), "'x' and 'x'");
    EXPECT_EQ(M(u"^{a*}b\\0$", u"aabaa"), "aabaa");
    EXPECT_EQ(M(u"^{a*}b\\0$", u"aaba"), "<none>");
    EXPECT_EQ(M(u"{}x\\0", u"x"), "x");
    // A group that took no part, or is still open, makes the reference fail.
    EXPECT_EQ(M(u"({a}|b)\\0", u"b"), "<none>");
    EXPECT_EQ(M(u"{a\\0}", u"aa"), "<none>");
    // Ten groups: "\10" is group 10, not group 1 followed by "0".
    EXPECT_EQ(M(u"{a}{b}{c}{d}{e}{f}{g}{h}{i}{j}{k}\\10", u"abcdefghijkk"), "abcdefghijkk");
    EXPECT_EQ(M(u"{a}{b}{c}{d}{e}{f}{g}{h}{i}{j}{k}\\10", u"abcdefghijkb0"), "<none>");
}

TEST(RegExpBackReference, IgnoresCaseInInsensitiveMode) {
    const std::u16string sSubject = u"Hello HELLO";
    const CFound Found = Find(u"{h\\w} \\0", sSubject, false);
    ASSERT_TRUE(Found.bMatched);
    EXPECT_EQ(Found.sMatch, "Hello HELLO");
    EXPECT_EQ(Found.Groups, std::vector<std::string>{"Hello"});
    EXPECT_EQ(M(u"{h\\w} \\0", u"Hello HELLO", true), "<none>");
}

TEST(RegExpNot, MatchesWhereTheTermDoesNot) {
    EXPECT_EQ(M(u"a!b", u"abac"), "a");
    EXPECT_EQ(Find(u"a!b", u"abac").nStart, 2);
    EXPECT_EQ(M(u"^!(foo)\\w$", u"foobar"), "<none>");
    EXPECT_EQ(M(u"^!(foo)\\w$", u"bar"), "bar");
    EXPECT_EQ(M(u"a!$", u"aa"), "a");  // "$" as the term: not at the end
    EXPECT_EQ(Find(u"a!$", u"aa").nStart, 0);
    EXPECT_EQ(M(u"!!a.", u"ab"), "a");  // a double negation tests without consuming
    EXPECT_EQ(M(u"^!!b.", u"ab"), "<none>");
    EXPECT_EQ(M(u"(!\\d.)+", u"12ab3"), "ab");
    // Groups inside the negated term keep no positions.
    const CFound Found = Find(u"!{x}{.}", u"y");
    EXPECT_EQ(Found.Groups, (std::vector<std::string>{"<unset>", "y"}));
}

TEST(RegExpAbbreviations, EachLetter) {
    EXPECT_EQ(M(u"\\a+", u"--aZ9_"), "aZ9");
    EXPECT_EQ(M(u"x\\by", u"x y x\ty"), "x y");
    EXPECT_EQ(M(u"\\c+", u"12ab3"), "ab");
    EXPECT_EQ(M(u"\\d", u"ab7"), "7");
    EXPECT_EQ(M(u"0x\\h+", u"v=0x1fA9g"), "0x1fA9");
    EXPECT_EQ(M(u"\\q", u"say \"hi there\" and 'x'"), "\"hi there\"");
    EXPECT_EQ(M(u"\\q", u"say 'x' and \"y\""), "'x'");
    EXPECT_EQ(M(u"a\\qb", u"a\"\"b"), "a\"\"b");  // one term, not an alternation of the whole pattern
    EXPECT_EQ(M(u"a\\qb", u"'x'b"), "<none>");
    EXPECT_EQ(M(u"\\w\\d*", u"python3.11"), "python3");
    EXPECT_EQ(M(u"\\z", u"in 2007a"), "2007");
    EXPECT_EQ(M(u"^\\w-\\z$", u"abc-123"), "abc-123");
    // A line break: CR first, else LF with an optional CR before it.
    EXPECT_EQ(M(u"a\\n", u"a\r\nb"), "a\r");
    EXPECT_EQ(M(u"a\\nb", u"a\r\nb"), "a\r\nb");
    EXPECT_EQ(M(u"a\\nb", u"a\nb"), "a\nb");
    EXPECT_EQ(M(u"a\\n$", u"a\r\n"), "a\r\n");
    EXPECT_EQ(M(u"\\e\\x", u"ex"), "ex");  // other letters are themselves
}

// A random pattern of the constructs that mean the same in ECMAScript, written both ways: ours in sOurs, the
// ECMAScript form in sPeer. Back-references are left out (a reference to a group without text matches the
// empty string there and fails here).
void RandomPattern(std::mt19937& Random, int nDepth, std::string& sOurs, std::string& sPeer) {
    const int nAlternatives = Random() % 4 == 0 ? 2 : 1;
    for (int a = 0; a < nAlternatives; ++a) {
        if (a != 0) {
            sOurs += '|';
            sPeer += '|';
        }
        const int nTerms = static_cast<int>(Random() % 4);
        for (int t = 0; t < nTerms; ++t) {
            const unsigned nKind = Random() % (nDepth > 0 ? 10 : 6);
            std::string sTermOurs, sTermPeer;
            switch (nKind) {
                case 0:
                    sTermOurs = sTermPeer = "a";
                    break;
                case 1:
                    sTermOurs = sTermPeer = "b";
                    break;
                case 2:
                    sTermOurs = sTermPeer = ".";
                    break;
                case 3:
                    sTermOurs = sTermPeer = "[ab]";
                    break;
                case 4:
                    sTermOurs = sTermPeer = "[^a]";
                    break;
                case 5:
                    sTermOurs = sTermPeer = "c";
                    break;
                case 6:
                case 7: {
                    std::string sInnerOurs, sInnerPeer;
                    RandomPattern(Random, nDepth - 1, sInnerOurs, sInnerPeer);
                    sTermOurs = nKind == 6 ? "(" + sInnerOurs + ")" : "{" + sInnerOurs + "}";
                    sTermPeer = (nKind == 6 ? "(?:" : "(") + sInnerPeer + ")";
                    break;
                }
                default: {
                    std::string sInnerOurs, sInnerPeer;
                    RandomPattern(Random, nDepth - 1, sInnerOurs, sInnerPeer);
                    sTermOurs = "!(" + sInnerOurs + ")";
                    sTermPeer = "(?!" + sInnerPeer + ")";
                    break;
                }
            }
            static const char* kQuantifiers[] = {"", "", "", "*", "+", "?", "*?", "+?", "??"};
            const char* pszQuantifier = kQuantifiers[Random() % 9];
            sOurs += sTermOurs + pszQuantifier;
            sPeer += sTermPeer + pszQuantifier;
        }
    }
}

// Matches and group positions of random patterns against std::regex.
TEST(RegExpSearch, AgreesWithEcmaScriptOnRandomPatterns) {
    std::mt19937 Random(2026);
    int nCompared = 0;
    for (int n = 0; n < 3000; ++n) {
        std::string sOurs, sPeer;
        RandomPattern(Random, 2, sOurs, sPeer);
        if (Random() % 4 == 0) {
            sOurs += "$";
            sPeer += "$";
        }
        // Our leading "^" anchors every alternative.
        if (Random() % 4 == 0) {
            sOurs = "^" + sOurs;
            sPeer = "^(?:" + sPeer + ")";
        }
        // Every third pattern ignores case, with upper-case letters in its text and its subjects.
        const bool bCaseSensitive = Random() % 3 != 0;
        if (!bCaseSensitive) {
            // Both forms hold the same letters in the same order.
            std::size_t nPeer = 0;
            for (char& c : sOurs) {
                if (c != 'a' && c != 'b') continue;
                nPeer = sPeer.find_first_of("ab", nPeer);
                if (Random() % 2 == 0) c = sPeer[nPeer] = static_cast<char>(c - 32);
                ++nPeer;
            }
        }
        CRegExp RegExp;
        // Repetitions of what can be empty are refused here and allowed there; such patterns are skipped.
        if (RegExp.Parse(comrt::ToUtf16(sOurs), bCaseSensitive) != REPARSE_ERROR_OK) continue;
        const std::regex Peer(sPeer,
                              bCaseSensitive ? std::regex::ECMAScript : std::regex::ECMAScript | std::regex::icase);
        for (int k = 0; k < 12; ++k) {
            std::string sSubject;
            for (unsigned i = Random() % 9; i > 0; --i)
                sSubject += (bCaseSensitive ? "abc" : "abcAB")[Random() % (bCaseSensitive ? 3 : 5)];
            const std::u16string sSubject16 = comrt::ToUtf16(sSubject);
            CRegExpMatchContext Context;
            std::smatch PeerMatch;
            const bool bOurs = RegExp.Match(sSubject16.c_str(), &Context);
            const bool bPeer = std::regex_search(sSubject, PeerMatch, Peer);
            ASSERT_EQ(bOurs, bPeer) << sOurs << " on \"" << sSubject << "\"";
            if (bOurs) {
                EXPECT_EQ(Context.GetMatchStart() - sSubject16.c_str(), PeerMatch.position(0))
                    << sOurs << " on \"" << sSubject << "\"";
                EXPECT_EQ(Context.GetMatchEnd() - Context.GetMatchStart(), PeerMatch.length(0))
                    << sOurs << " on \"" << sSubject << "\"";
                // Groups too, except inside "!", where the peer keeps positions of the failed look-ahead.
                if (sOurs.find('!') == std::string::npos) {
                    ASSERT_EQ(Context.GetGroupCount() + 1, PeerMatch.size());
                    for (UINT g = 0; g < Context.GetGroupCount(); ++g) {
                        const WCHAR* pStart = nullptr;
                        const WCHAR* pEnd = nullptr;
                        Context.GetGroup(g, &pStart, &pEnd);
                        const auto& Group = PeerMatch[g + 1];
                        EXPECT_EQ(pStart ? pStart - sSubject16.c_str() : -1,
                                  Group.matched ? Group.first - sSubject.cbegin() : -1)
                            << sOurs << " on \"" << sSubject << "\", group " << g;
                        EXPECT_EQ(pEnd ? pEnd - sSubject16.c_str() : -1,
                                  Group.matched ? Group.second - sSubject.cbegin() : -1)
                            << sOurs << " on \"" << sSubject << "\", group " << g;
                    }
                }
            }
            ++nCompared;
        }
    }
    EXPECT_GT(nCompared, 10000);
}

TEST(RegExpLimits, HostilePatternsStopAtTheWorkLimit) {
    // Exponential backtracking: an unbounded search would run for ages before the second alternative.
    CRegExp RegExp;
    CRegExpMatchContext Context;
    ASSERT_EQ(RegExp.Parse(u"^((a|a)*(a|a)*c|a)"), REPARSE_ERROR_OK);
    EXPECT_FALSE(RegExp.Match(std::u16string(60, u'a').c_str(), &Context));
    EXPECT_TRUE(RegExp.Match(u"ab", &Context));
    // Backtracking state beyond the frame limit gives up instead of growing without end.
    ASSERT_EQ(RegExp.Parse(u"^({a}b)*$"), REPARSE_ERROR_OK);
    std::u16string sLong;
    for (std::size_t i = 0; i < CRegExp::kMaxBacktrackFrames; ++i) sLong += u"ab";
    EXPECT_FALSE(RegExp.Match(sLong.c_str(), &Context));
    EXPECT_TRUE(RegExp.Match(u"ababab", &Context));
}

TEST(RegExpLimits, EachObjectCanLowerItsLimits) {
    CRegExp RegExp;
    CRegExpMatchContext Context;
    ASSERT_EQ(RegExp.Parse(u"^(a|b)*c"), REPARSE_ERROR_OK);
    const std::u16string sSubject = std::u16string(500, u'a') + u"c";
    EXPECT_TRUE(RegExp.Match(sSubject.c_str(), &Context));
    RegExp.SetMatchLimits(200, CRegExp::kMaxBacktrackFrames);
    EXPECT_FALSE(RegExp.Match(sSubject.c_str(), &Context));
    RegExp.SetMatchLimits(CRegExp::kMaxMatchSteps, 100);
    EXPECT_FALSE(RegExp.Match(sSubject.c_str(), &Context));
    EXPECT_TRUE(RegExp.Match(u"abc", &Context));
    // A copy keeps the limits; a new pattern does not reset them.
    CRegExp Copy = RegExp;
    EXPECT_FALSE(Copy.Match(sSubject.c_str(), &Context));
    ASSERT_EQ(RegExp.Parse(u"^(a|b)*c"), REPARSE_ERROR_OK);
    EXPECT_FALSE(RegExp.Match(sSubject.c_str(), &Context));
}

TEST(RegExpLimits, LongSubjectsAndDeepPatternsNeedNoRecursion) {
    // A run of one character needs one backtracking entry, however long.
    const std::u16string sLong = std::u16string(2'000'000, u'a') + u"b";
    EXPECT_EQ(Find(u"^a*b$", sLong).bMatched, true);
    EXPECT_EQ(Find(u"^.*a", sLong).sMatch.size(), 2'000'000u);
    // Nesting far deeper than any stack frame chain could hold.
    const std::size_t nDepth = 200'000;
    std::u16string sPattern(nDepth, u'(');
    sPattern += u"a";
    for (std::size_t i = 0; i < nDepth; ++i) sPattern += u")+";
    CRegExp RegExp;
    ASSERT_EQ(RegExp.Parse(sPattern), REPARSE_ERROR_OK);
    CRegExpMatchContext Context;
    EXPECT_TRUE(RegExp.Match(u"xaay", &Context));
    std::u16string sNots(nDepth, u'!');
    EXPECT_EQ(RegExp.Parse(sNots + u"a"), REPARSE_ERROR_OK);
    // An even number of "!": an "a" must follow, and nothing is consumed.
    EXPECT_FALSE(RegExp.Match(u"b", &Context));
    const std::u16string sSubject = u"xa";
    ASSERT_TRUE(RegExp.Match(sSubject.c_str(), &Context));
    EXPECT_EQ(Context.GetMatchStart(), sSubject.c_str() + 1);
    EXPECT_EQ(Context.GetMatchEnd(), sSubject.c_str() + 1);
}

TEST(RegExpThreads, OneExpressionMatchedByManyThreadsAtOnce) {
    CRegExp RegExp;
    ASSERT_EQ(RegExp.Parse(u"^{\\w}{\\d*}(\\.{\\z})?$", false), REPARSE_ERROR_OK);
    std::vector<std::thread> Threads;
    std::vector<int> Failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        Threads.emplace_back([&RegExp, &Failures, t] {
            CRegExpMatchContext Context;
            for (int i = 0; i < 2000; ++i) {
                const std::u16string sName =
                    u"Python" + comrt::ToUtf16(std::to_string(t)) + u"." + comrt::ToUtf16(std::to_string(i));
                const WCHAR* pStart = nullptr;
                const WCHAR* pEnd = nullptr;
                if (!RegExp.Match(sName.c_str(), &Context)) {
                    ++Failures[t];
                    continue;
                }
                Context.GetGroup(2, &pStart, &pEnd);
                if (pStart != sName.c_str() + 8 || pEnd != sName.c_str() + sName.size()) ++Failures[t];
            }
        });
    }
    for (auto& Thread : Threads) Thread.join();
    EXPECT_EQ(Failures, std::vector<int>(4, 0));
}

}  // namespace

// The instruction list a regular expression is parsed into, shared by the parser (ulregexpparse.cpp) and the
// matcher (ulregexp.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "corvane/ulregexp.h"

namespace regexp {

enum EOp : std::uint8_t {
    OP_NOP,         // only while parsing: a place a later quantifier or "|" may fill
    OP_CHAR,        // one character equal to ch
    OP_ANY,         // any one character
    OP_CLASS,       // one character of class a
    OP_SPLIT,       // go on at a; on backtracking at b
    OP_JUMP,        // go on at a
    OP_SAVE_START,  // group a starts here (its end is cleared)
    OP_SAVE_END,    // group a ends here
    OP_BACKREF,     // the text of group a again
    OP_NOT,         // the term up to OP_NOT_END must not match here; go on at a
    OP_NOT_END,     // the term of the innermost OP_NOT matched: that OP_NOT fails
    OP_END,         // the end of the subject
    OP_REPEAT,      // inner (OP_CHAR, OP_ANY or OP_CLASS with ch and a) min or more times, greedy or not
    OP_MATCH        // the whole expression matched
};

struct CInstruction {
    EOp op = OP_NOP;
    EOp inner = OP_NOP;
    std::uint8_t min = 0;
    bool greedy = true;
    char16_t ch = 0;
    std::uint32_t a = 0;
    std::uint32_t b = 0;
};

// A character class: a bit per character below 256, sorted ranges above.
struct CCharClass {
    std::array<std::uint64_t, 4> Bits{};
    std::vector<std::pair<char16_t, char16_t>> Wide;
    bool bNegated = false;

    void Add(char16_t lo, char16_t hi);
    bool Contains(char16_t c) const noexcept {
        bool bIn;
        if (c < 256) {
            bIn = (Bits[c >> 6] >> (c & 63)) & 1;
        } else {
            bIn = false;
            for (const auto& range : Wide)
                if (c >= range.first && c <= range.second) {
                    bIn = true;
                    break;
                }
        }
        return bIn != bNegated;
    }
};

// The characters that can start a match, when every way through the expression consumes one first.
struct CFirstFilter {
    enum EKind : std::uint8_t { NONE, SINGLE, SET };
    EKind kind = NONE;
    char16_t ch = 0;                      // SINGLE
    std::array<std::uint64_t, 4> Bits{};  // SET: characters below 256
    bool bWide = false;                   // SET: characters from 256 up may start a match
};

// Simple lower-case mapping of one UTF-16 unit: ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic and the
// full-width Latin letters; everything else maps to itself.
char16_t LowerWide(char16_t c) noexcept;
inline char16_t Lower(char16_t c) noexcept {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    return LowerWide(c);
}

}  // namespace regexp

struct CRegExp::CProgram {
    std::vector<regexp::CInstruction> Code;
    std::vector<regexp::CCharClass> Classes;
    regexp::CFirstFilter Filter;
    UINT nGroups = 0;
    bool bCaseSensitive = true;
    bool bAnchored = false;
};

namespace regexp {

// Parses sPattern into Program; on failure Program is left in an unspecified state.
REPARSE_ERROR Compile(std::u16string_view sPattern, bool bCaseSensitive, CRegExp::CProgram& Program);

}  // namespace regexp

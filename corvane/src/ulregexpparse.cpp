// Parsing of a regular expression into its instruction list.
//
// The parser reads the pattern left to right without recursion: an explicit stack holds the constructs
// still open ("{", "(", an abbreviation being expanded), so no pattern can exhaust the thread's stack. Each
// term is preceded by one placeholder instruction, and each alternative by another; a quantifier or a "|"
// found later turns its placeholder into the jump it needs, so code is never moved while parsing. The
// placeholders left unused are removed at the end, when all jump targets are rewritten once.
//
// Whether a term can match the empty string is tracked term by term, so that "(a*)*" is refused and a loop
// of the finished program always consumes at least one character per round.
#include <string>
#include <string_view>

#include "ulregexpprogram.h"

namespace regexp {

namespace {

// The abbreviations "\x": each expands to a sub-expression that counts as one term.
std::u16string_view Abbreviation(char16_t c) noexcept {
    switch (c) {
        case u'a':
            return u"([a-zA-Z0-9])";
        case u'b':
            return u"([ \t])";
        case u'c':
            return u"([a-zA-Z])";
        case u'd':
            return u"([0-9])";
        case u'h':
            return u"([0-9a-fA-F])";
        case u'n':
            return u"(\r|(\r?\n))";
        case u'q':
            return u"(\"[^\"]*\")|('[^']*')";
        case u'w':
            return u"([a-zA-Z]+)";
        case u'z':
            return u"([0-9]+)";
        default:
            return {};
    }
}

bool IsDigit(char16_t c) noexcept {
    return c >= u'0' && c <= u'9';
}

class CCompiler {
public:
    CCompiler(CRegExp::CProgram& Program) : m_Program(Program), m_Code(Program.Code) {}

    REPARSE_ERROR Run(std::u16string_view sPattern);

private:
    enum EFrame : std::uint8_t { FRAME_TOP, FRAME_GROUP, FRAME_PAREN, FRAME_ABBREVIATION };

    // A construct being parsed, with what is known of its current alternative and its last term.
    struct CFrame {
        EFrame kind = FRAME_TOP;
        UINT nGroup = 0;
        std::uint32_t nSlot = 0;                  // the construct's own placeholder, in the enclosing frame
        std::uint32_t nAltSlot = 0;               // placeholder before the current alternative
        std::vector<std::uint32_t> PendingJumps;  // alternatives' jumps to the end
        std::vector<std::pair<std::uint32_t, std::uint32_t>> Nots;  // "!" waiting for a term: slot, OP_NOT
        UINT nAlternatives = 1;
        bool bAnyAltNullable = false;
        bool bAltNullable = true;        // every term of the current alternative can be empty
        bool bAltNullableBefore = true;  // the same without its last term
        UINT nAltTerms = 0;
        int nAltSingle = -1;  // the one single-character instruction the alternative consists of
        // The last term, while a quantifier may still follow it.
        int nLastSlot = -1;
        bool bLastNullable = false;
        int nLastSingle = -1;
    };

    struct CSource {
        const char16_t* p;
        const char16_t* pEnd;
    };

    std::uint32_t Emit(const CInstruction& Instruction) {
        m_Code.push_back(Instruction);
        return static_cast<std::uint32_t>(m_Code.size() - 1);
    }
    std::uint32_t Here() const noexcept { return static_cast<std::uint32_t>(m_Code.size()); }
    static CInstruction Make(EOp op, std::uint32_t a = 0, std::uint32_t b = 0) {
        CInstruction i;
        i.op = op;
        i.a = a;
        i.b = b;
        return i;
    }

    void OpenFrame(EFrame kind);
    void StartAlternative(CFrame& Frame) {
        Frame.nAltSlot = Emit(Make(OP_NOP));
        Frame.bAltNullable = Frame.bAltNullableBefore = true;
        Frame.nAltTerms = 0;
        Frame.nAltSingle = -1;
        Frame.nLastSlot = -1;
    }
    void Alternate();
    REPARSE_ERROR CloseFrame();
    void FinishTerm(std::uint32_t nSlot, bool bNullable, int nSingle);
    void Atom(const CInstruction& Instruction) {
        const std::uint32_t nSlot = Emit(Make(OP_NOP));
        FinishTerm(nSlot, false, static_cast<int>(Emit(Instruction)));
    }
    REPARSE_ERROR Quantifier(char16_t c);
    REPARSE_ERROR Escape();
    REPARSE_ERROR Class();
    REPARSE_ERROR Parse(std::u16string_view sPattern);
    void RemovePlaceholders();
    void BuildFilter();

    bool AtEnd() const noexcept { return m_Sources.back().p == m_Sources.back().pEnd; }
    char16_t Peek() const noexcept { return *m_Sources.back().p; }
    char16_t Next() noexcept { return *m_Sources.back().p++; }

    CRegExp::CProgram& m_Program;
    std::vector<CInstruction>& m_Code;
    std::vector<CFrame> m_Frames;
    std::vector<CSource> m_Sources;  // the pattern, and above it the abbreviation being expanded
    std::vector<bool> m_GroupClosed;
    std::vector<bool> m_GroupNullable;
};

void CCompiler::OpenFrame(EFrame kind) {
    CFrame Frame;
    Frame.kind = kind;
    Frame.nSlot = Emit(Make(OP_NOP));
    if (kind == FRAME_GROUP) {
        Frame.nGroup = m_Program.nGroups++;
        m_GroupClosed.push_back(false);
        m_GroupNullable.push_back(false);
        Emit(Make(OP_SAVE_START, Frame.nGroup));
    }
    StartAlternative(Frame);
    m_Frames.push_back(std::move(Frame));
}

// "|": the current alternative is tried first, the rest of the construct when it fails.
void CCompiler::Alternate() {
    CFrame& Frame = m_Frames.back();
    Frame.bAnyAltNullable = Frame.bAnyAltNullable || Frame.bAltNullable;
    m_Code[Frame.nAltSlot] = Make(OP_SPLIT, Frame.nAltSlot + 1, Here() + 1);
    Frame.PendingJumps.push_back(Emit(Make(OP_JUMP)));
    ++Frame.nAlternatives;
    StartAlternative(Frame);
}

REPARSE_ERROR CCompiler::CloseFrame() {
    CFrame& Frame = m_Frames.back();
    if (!Frame.Nots.empty()) return REPARSE_ERROR_UNEXPECTED;
    const bool bNullable = Frame.bAnyAltNullable || Frame.bAltNullable;
    for (const std::uint32_t nJump : Frame.PendingJumps) m_Code[nJump].a = Here();
    int nSingle = (Frame.nAlternatives == 1 && Frame.nAltTerms == 1) ? Frame.nAltSingle : -1;
    if (Frame.kind == FRAME_GROUP) {
        Emit(Make(OP_SAVE_END, Frame.nGroup));
        m_GroupClosed[Frame.nGroup] = true;
        m_GroupNullable[Frame.nGroup] = bNullable;
        nSingle = -1;
    }
    const std::uint32_t nSlot = Frame.nSlot;
    m_Frames.pop_back();
    FinishTerm(nSlot, bNullable, nSingle);
    return REPARSE_ERROR_OK;
}

// A term [nSlot, end of code) is complete: wrap it in the "!" waiting for it, then add it to the alternative.
void CCompiler::FinishTerm(std::uint32_t nSlot, bool bNullable, int nSingle) {
    CFrame& Frame = m_Frames.back();
    while (!Frame.Nots.empty()) {
        const auto [nNotSlot, nNot] = Frame.Nots.back();
        Frame.Nots.pop_back();
        Emit(Make(OP_NOT_END));
        m_Code[nNot].a = Here();
        nSlot = nNotSlot;
        bNullable = true;
        nSingle = -1;
    }
    Frame.bAltNullableBefore = Frame.bAltNullable;
    Frame.bAltNullable = Frame.bAltNullable && bNullable;
    ++Frame.nAltTerms;
    Frame.nAltSingle = nSingle;
    Frame.nLastSlot = static_cast<int>(nSlot);
    Frame.bLastNullable = bNullable;
    Frame.nLastSingle = nSingle;
}

REPARSE_ERROR CCompiler::Quantifier(char16_t c) {
    CFrame& Frame = m_Frames.back();
    if (!Frame.Nots.empty()) return REPARSE_ERROR_UNEXPECTED;
    // Nothing to repeat (start of an alternative, or right after another quantifier) repeats the empty
    // expression.
    if (Frame.nLastSlot < 0 || Frame.bLastNullable) return REPARSE_ERROR_EMPTYREPEATOP;
    bool bGreedy = true;
    if (!AtEnd() && Peek() == u'?') {
        Next();
        bGreedy = false;
    }
    const auto nSlot = static_cast<std::uint32_t>(Frame.nLastSlot);
    if (Frame.nLastSingle >= 0 && c != u'?') {
        // One character repeated: a single instruction that scans, and backtracks by stepping back.
        CInstruction& Inner = m_Code[static_cast<std::uint32_t>(Frame.nLastSingle)];
        Inner.inner = Inner.op;
        Inner.op = OP_REPEAT;
        Inner.min = c == u'+' ? 1 : 0;
        Inner.greedy = bGreedy;
    } else if (c == u'*') {
        const std::uint32_t nExit = Here() + 1;
        m_Code[nSlot] = bGreedy ? Make(OP_SPLIT, nSlot + 1, nExit) : Make(OP_SPLIT, nExit, nSlot + 1);
        Emit(Make(OP_JUMP, nSlot));
    } else if (c == u'+') {
        const std::uint32_t nExit = Here() + 1;
        Emit(bGreedy ? Make(OP_SPLIT, nSlot, nExit) : Make(OP_SPLIT, nExit, nSlot));
    } else {
        const std::uint32_t nExit = Here();
        m_Code[nSlot] = bGreedy ? Make(OP_SPLIT, nSlot + 1, nExit) : Make(OP_SPLIT, nExit, nSlot + 1);
    }
    Frame.bAltNullable = Frame.bAltNullableBefore && c != u'+';
    Frame.nAltSingle = -1;
    Frame.nLastSlot = -1;
    return REPARSE_ERROR_OK;
}

// After "\": a back-reference, an abbreviation or a literal character.
REPARSE_ERROR CCompiler::Escape() {
    if (AtEnd()) {
        Atom(CInstruction{OP_CHAR, OP_NOP, 0, true, u'\\', 0, 0});
        return REPARSE_ERROR_OK;
    }
    const char16_t c = Next();
    if (IsDigit(c)) {
        std::uint64_t n = c - u'0';
        while (!AtEnd() && IsDigit(Peek())) {
            n = n * 10 + (Next() - u'0');
            if (n > 0xFFFFFFFFu) n = 0xFFFFFFFFu;  // far beyond any group number; keeps reading the digits
        }
        if (n >= m_Program.nGroups) return REPARSE_ERROR_INVALIDGROUP;
        const auto nGroup = static_cast<UINT>(n);
        // A reference to a group still open never matches (the group has no end yet), so only a closed
        // group whose text can be empty makes the reference able to match nothing.
        const bool bNullable = m_GroupClosed[nGroup] && m_GroupNullable[nGroup];
        const std::uint32_t nSlot = Emit(Make(OP_NOP));
        Emit(Make(OP_BACKREF, nGroup));
        FinishTerm(nSlot, bNullable, -1);
        return REPARSE_ERROR_OK;
    }
    const std::u16string_view sExpansion = m_Sources.size() == 1 ? Abbreviation(c) : std::u16string_view();
    if (!sExpansion.empty()) {
        OpenFrame(FRAME_ABBREVIATION);
        m_Sources.push_back({sExpansion.data(), sExpansion.data() + sExpansion.size()});
        return REPARSE_ERROR_OK;
    }
    Atom(CInstruction{OP_CHAR, OP_NOP, 0, true, c, 0, 0});
    return REPARSE_ERROR_OK;
}

// After "[": the class up to its "]".
REPARSE_ERROR CCompiler::Class() {
    CCharClass Class;
    if (!AtEnd() && Peek() == u'^') {
        Next();
        Class.bNegated = true;
    }
    // One character of the class: "\t" is a tab, "\x" is x.
    const auto Character = [this](char16_t& c) {
        if (AtEnd()) return false;
        c = Next();
        if (c == u'\\') {
            if (AtEnd()) return false;
            c = Next();
            if (c == u't') c = u'\t';
        }
        return true;
    };
    bool bEmpty = true;
    for (;;) {
        if (AtEnd()) return REPARSE_ERROR_BRACKET_EXPECTED;
        if (Peek() == u']') {
            Next();
            break;
        }
        char16_t lo = 0;
        if (!Character(lo)) return REPARSE_ERROR_BRACKET_EXPECTED;
        char16_t hi = lo;
        if (!AtEnd() && Peek() == u'-') {
            Next();
            if (AtEnd() || Peek() == u']' || !Character(hi)) return REPARSE_ERROR_BRACKET_EXPECTED;
            if (hi < lo) return REPARSE_ERROR_INVALIDRANGE;
        }
        Class.Add(lo, hi);
        bEmpty = false;
    }
    if (bEmpty) return REPARSE_ERROR_EMPTYRANGE;
    m_Program.Classes.push_back(std::move(Class));
    Atom(Make(OP_CLASS, static_cast<std::uint32_t>(m_Program.Classes.size() - 1)));
    return REPARSE_ERROR_OK;
}

REPARSE_ERROR CCompiler::Parse(std::u16string_view sPattern) {
    m_Sources.push_back({sPattern.data(), sPattern.data() + sPattern.size()});
    if (!AtEnd() && Peek() == u'^') {
        Next();
        m_Program.bAnchored = true;
    }
    OpenFrame(FRAME_TOP);
    for (;;) {
        if (AtEnd()) {
            if (m_Sources.size() > 1) {
                // The abbreviation's text is done: it closes like a ")".
                if (m_Frames.back().kind != FRAME_ABBREVIATION) return REPARSE_ERROR_UNEXPECTED;
                m_Sources.pop_back();
                if (const REPARSE_ERROR e = CloseFrame(); e != REPARSE_ERROR_OK) return e;
                continue;
            }
            break;
        }
        const char16_t c = Next();
        REPARSE_ERROR e = REPARSE_ERROR_OK;
        switch (c) {
            case u'|':
                if (!m_Frames.back().Nots.empty()) return REPARSE_ERROR_UNEXPECTED;
                Alternate();
                break;
            case u'(':
                OpenFrame(FRAME_PAREN);
                break;
            case u'{':
                OpenFrame(FRAME_GROUP);
                break;
            case u')':
            case u'}':
            case u']': {
                const EFrame kind = m_Frames.back().kind;
                if (kind == FRAME_TOP) {
                    // Closes nothing: the pattern ends here.
                    m_Sources.back().p = m_Sources.back().pEnd;
                    continue;
                }
                if (kind == FRAME_PAREN && c == u')') {
                    e = CloseFrame();
                } else if (kind == FRAME_GROUP && c == u'}') {
                    e = CloseFrame();
                } else {
                    return kind == FRAME_GROUP   ? REPARSE_ERROR_BRACE_EXPECTED
                           : kind == FRAME_PAREN ? REPARSE_ERROR_PAREN_EXPECTED
                                                 : REPARSE_ERROR_UNEXPECTED;
                }
                break;
            }
            case u'*':
            case u'+':
            case u'?':
                e = Quantifier(c);
                break;
            case u'!': {
                const std::uint32_t nSlot = Emit(Make(OP_NOP));
                m_Frames.back().Nots.emplace_back(nSlot, Emit(Make(OP_NOT)));
                m_Frames.back().nLastSlot = -1;
                break;
            }
            case u'.':
                Atom(Make(OP_ANY));
                break;
            case u'[':
                e = Class();
                break;
            case u'\\':
                e = Escape();
                break;
            case u'$':
                if (m_Sources.size() == 1 && AtEnd()) {
                    const std::uint32_t nSlot = Emit(Make(OP_NOP));
                    Emit(Make(OP_END));
                    FinishTerm(nSlot, true, -1);
                    break;
                }
                [[fallthrough]];
            default:
                Atom(CInstruction{OP_CHAR, OP_NOP, 0, true, c, 0, 0});
                break;
        }
        if (e != REPARSE_ERROR_OK) return e;
    }
    const EFrame kind = m_Frames.back().kind;
    if (kind == FRAME_GROUP) return REPARSE_ERROR_BRACE_EXPECTED;
    if (kind == FRAME_PAREN) return REPARSE_ERROR_PAREN_EXPECTED;
    if (!m_Frames.back().Nots.empty()) return REPARSE_ERROR_UNEXPECTED;
    for (const std::uint32_t nJump : m_Frames.back().PendingJumps) m_Code[nJump].a = Here();
    Emit(Make(OP_MATCH));
    return REPARSE_ERROR_OK;
}

// Drops the placeholders no quantifier or "|" used, pointing every jump at the instruction that followed.
void CCompiler::RemovePlaceholders() {
    std::vector<std::uint32_t> NewIndex(m_Code.size() + 1);
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < m_Code.size(); ++i) {
        NewIndex[i] = n;
        if (m_Code[i].op != OP_NOP) ++n;
    }
    NewIndex[m_Code.size()] = n;
    std::size_t nOut = 0;
    for (CInstruction i : m_Code) {
        if (i.op == OP_NOP) continue;
        if (i.op == OP_SPLIT || i.op == OP_JUMP || i.op == OP_NOT) i.a = NewIndex[i.a];
        if (i.op == OP_SPLIT) i.b = NewIndex[i.b];
        m_Code[nOut++] = i;
    }
    m_Code.resize(nOut);
}

// The characters every match must start with, when the program consumes one before it can succeed; the
// matcher then skips start positions that cannot match without running the program there.
void CCompiler::BuildFilter() {
    CFirstFilter Filter;
    Filter.kind = CFirstFilter::SET;
    std::vector<bool> Seen(m_Code.size());
    std::vector<std::uint32_t> Work{0};
    UINT nCharacters = 0;
    const auto AddCharacter = [&](char16_t c) {
        if (c < 256) {
            if (!((Filter.Bits[c >> 6] >> (c & 63)) & 1)) ++nCharacters;
            Filter.Bits[c >> 6] |= std::uint64_t{1} << (c & 63);
            Filter.ch = c;
        } else {
            Filter.bWide = true;
        }
    };
    const auto AddClass = [&](const CCharClass& Class) {
        for (std::size_t w = 0; w < 4; ++w) Filter.Bits[w] |= Class.bNegated ? ~Class.Bits[w] : Class.Bits[w];
        if (Class.bNegated || !Class.Wide.empty()) Filter.bWide = true;
        nCharacters += 2;  // never a single character
    };
    while (!Work.empty()) {
        const std::uint32_t pc = Work.back();
        Work.pop_back();
        if (Seen[pc]) continue;
        Seen[pc] = true;
        const CInstruction& i = m_Code[pc];
        switch (i.op) {
            case OP_CHAR:
                AddCharacter(i.ch);
                break;
            case OP_CLASS:
                AddClass(m_Program.Classes[i.a]);
                break;
            case OP_SPLIT:
                Work.push_back(i.a);
                Work.push_back(i.b);
                break;
            case OP_JUMP:
                Work.push_back(i.a);
                break;
            case OP_SAVE_START:
            case OP_SAVE_END:
                Work.push_back(pc + 1);
                break;
            case OP_REPEAT:
                if (i.inner == OP_ANY) return;
                if (i.inner == OP_CHAR) AddCharacter(i.ch);
                if (i.inner == OP_CLASS) AddClass(m_Program.Classes[i.a]);
                if (i.min == 0) Work.push_back(pc + 1);
                break;
            default:
                return;  // any character, or a way to succeed without consuming one
        }
    }
    if (nCharacters == 1 && !Filter.bWide) Filter.kind = CFirstFilter::SINGLE;
    m_Program.Filter = Filter;
}

REPARSE_ERROR CCompiler::Run(std::u16string_view sPattern) {
    const REPARSE_ERROR e = Parse(sPattern);
    // The abbreviations' own text always parses; an error inside one is reported as such all the same.
    if (e != REPARSE_ERROR_OK) return m_Sources.size() > 1 ? REPARSE_ERROR_UNEXPECTED : e;
    RemovePlaceholders();
    BuildFilter();
    return REPARSE_ERROR_OK;
}

}  // namespace

void CCharClass::Add(char16_t lo, char16_t hi) {
    for (std::uint32_t c = lo; c <= hi && c < 256; ++c) Bits[c >> 6] |= std::uint64_t{1} << (c & 63);
    if (hi >= 256) Wide.emplace_back(lo < 256 ? char16_t{256} : lo, hi);
}

char16_t LowerWide(char16_t c) noexcept {
    const auto Plus = [c](int n) { return static_cast<char16_t>(c + n); };
    if (c < 0x100) return (c >= 0xC0 && c <= 0xDE && c != 0xD7) ? Plus(32) : c;
    if (c < 0x180) {
        if (c == 0x130) return u'i';
        if (c == 0x178) return 0xFF;
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? Plus(1) : c;
        return (c & 1) ? c : Plus(1);
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return Plus(32);
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return Plus(37);
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return Plus(63);
    if (c >= 0x400 && c <= 0x40F) return Plus(80);
    if (c >= 0x410 && c <= 0x42F) return Plus(32);
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x1E00 && c <= 0x1E95) ||
        (c >= 0x1EA0 && c <= 0x1EFF))
        return (c & 1) ? c : Plus(1);
    if (c >= 0xFF21 && c <= 0xFF3A) return Plus(32);
    return c;
}

REPARSE_ERROR Compile(std::u16string_view sPattern, bool bCaseSensitive, CRegExp::CProgram& Program) {
    Program.bCaseSensitive = bCaseSensitive;
    if (bCaseSensitive) return CCompiler(Program).Run(sPattern);
    // Case-insensitive: the whole pattern is lower-cased first (so "\D" is "\d" there), and the matcher
    // lower-cases each subject character as it compares it.
    std::u16string sLower(sPattern);
    for (char16_t& c : sLower) c = Lower(c);
    return CCompiler(Program).Run(sLower);
}

}  // namespace regexp

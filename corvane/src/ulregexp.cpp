// Matching of a parsed regular expression: a backtracking search over the instruction list.
//
// The search keeps its choice points on an explicit stack (no recursion, whatever the pattern or subject),
// counts its work and the size of its stack against the object's limits (CRegExp::SetMatchLimits), and
// needs no allocation for small patterns: the stack and the group positions start in buffers on the calling
// thread's stack. Case-insensitive matching lower-cases each subject character as it is compared, which is
// the same as matching a lower-cased copy, with every position already in the caller's string.
#include <algorithm>
#include <cstring>
#include <new>

#include "ulregexpprogram.h"

using namespace regexp;

void CRegExpMatchContext::GetGroup(UINT nGroup, const WCHAR** ppStart, const WCHAR** ppEnd) const noexcept {
    const bool bValid = nGroup < GetGroupCount();
    if (ppStart != nullptr) *ppStart = bValid ? m_Groups[2 * nGroup] : nullptr;
    if (ppEnd != nullptr) *ppEnd = bValid ? m_Groups[2 * nGroup + 1] : nullptr;
}

REPARSE_ERROR CRegExp::Parse(const WCHAR* pszPattern, bool bCaseSensitive) {
    if (pszPattern == nullptr) {
        m_pProgram.reset();
        return REPARSE_ERROR_INVALIDINPUT;
    }
    return Parse(std::u16string_view(pszPattern), bCaseSensitive);
}

REPARSE_ERROR CRegExp::Parse(std::u16string_view sPattern, bool bCaseSensitive) {
    m_pProgram.reset();
    if (sPattern.data() == nullptr) return REPARSE_ERROR_INVALIDINPUT;
    try {
        auto pProgram = std::make_shared<CProgram>();
        const REPARSE_ERROR e = Compile(sPattern, bCaseSensitive, *pProgram);
        if (e == REPARSE_ERROR_OK) m_pProgram = std::move(pProgram);
        return e;
    } catch (const std::bad_alloc&) {
        return REPARSE_ERROR_OUTOFMEMORY;
    }
}

UINT CRegExp::GetGroupCount() const noexcept {
    return m_pProgram ? m_pProgram->nGroups : 0;
}

namespace {

enum EFrameKind : std::uint32_t {
    FRAME_BRANCH,   // resume at nIndex with p1
    FRAME_RESTORE,  // group nIndex had start p1 and end p2
    FRAME_NOT,      // the term of a "!" failed: resume after it (nIndex) with p1
    FRAME_GREEDY,   // repetition at nIndex: give back one character, down to p1; p2 is the current end
    FRAME_LAZY      // repetition at nIndex: take one more character after p1
};

struct CFrame {
    EFrameKind kind;
    std::uint32_t nIndex;
    const WCHAR* p1;
    const WCHAR* p2;
};

// A buffer that starts on the caller's stack and moves to the heap when it outgrows it.
template <typename T, std::size_t kInline>
class CSmallBuffer {
public:
    explicit CSmallBuffer(std::size_t nSize) {
        if (nSize > kInline) {
            m_pHeap.reset(new T[nSize]);
            m_p = m_pHeap.get();
            m_nCapacity = nSize;
        }
    }
    T* Data() noexcept { return m_p; }
    std::size_t Capacity() const noexcept { return m_nCapacity; }
    // Doubles the capacity up to nLimit, keeping the first nUsed entries; false at the limit.
    bool Grow(std::size_t nUsed, std::size_t nLimit) {
        if (m_nCapacity >= nLimit) return false;
        const std::size_t nCapacity = std::min(nLimit, m_nCapacity * 2);
        std::unique_ptr<T[]> pHeap(new T[nCapacity]);
        std::copy_n(m_p, nUsed, pHeap.get());
        m_pHeap = std::move(pHeap);
        m_p = m_pHeap.get();
        m_nCapacity = nCapacity;
        return true;
    }

private:
    T m_Inline[kInline];
    std::unique_ptr<T[]> m_pHeap;
    T* m_p = m_Inline;
    std::size_t m_nCapacity = kInline;
};

enum EResult { RESULT_MATCH, RESULT_FAIL, RESULT_ABORT };

// kTerminated: the subject ends at its first NUL and pEnd is not used, which spares a search for the end
// when the pattern decides before it gets there.
template <bool kFold, bool kTerminated>
class CMatcher {
public:
    CMatcher(const CRegExp::CProgram& Program, const WCHAR* pEnd, std::size_t nMaxSteps, std::size_t nMaxFrames)
        : m_Program(Program),
          m_Code(Program.Code.data()),
          m_pEnd(pEnd),
          m_nMaxSteps(nMaxSteps),
          m_nMaxFrames(nMaxFrames),
          m_Groups(2 * Program.nGroups) {
        std::fill_n(m_Groups.Data(), 2 * Program.nGroups, nullptr);
    }

    // Runs the program from pStart. The group positions are back to null after a failure.
    EResult Run(const WCHAR* pStart);
    // The first position from pFrom on where a match can start; null when there is none.
    const WCHAR* NextCandidate(const WCHAR* pFrom) const noexcept;

    bool AtEnd(const WCHAR* p) const noexcept { return kTerminated ? *p == 0 : p == m_pEnd; }
    const WCHAR* const* Groups() noexcept { return m_Groups.Data(); }
    const WCHAR* MatchEnd() const noexcept { return m_pMatchEnd; }

private:
    static char16_t Fold(char16_t c) noexcept { return kFold ? Lower(c) : c; }
    bool One(EOp op, const CInstruction& i, char16_t c) const noexcept {
        switch (op) {
            case OP_CHAR:
                return Fold(c) == i.ch;
            case OP_CLASS:
                return m_Program.Classes[i.a].Contains(Fold(c));
            default:
                return true;  // OP_ANY
        }
    }
    bool Push(const CFrame& Frame) {
        if (m_nFrames >= m_nMaxFrames) return false;
        if (m_nFrames == m_Stack.Capacity() && !m_Stack.Grow(m_nFrames, m_nMaxFrames)) return false;
        m_Stack.Data()[m_nFrames++] = Frame;
        return true;
    }

    const CRegExp::CProgram& m_Program;
    const CInstruction* m_Code;
    const WCHAR* m_pEnd;
    const std::size_t m_nMaxSteps;
    const std::size_t m_nMaxFrames;
    CSmallBuffer<const WCHAR*, 32> m_Groups;
    CSmallBuffer<CFrame, 64> m_Stack{0};
    std::size_t m_nFrames = 0;
    std::size_t m_nSteps = 0;
    const WCHAR* m_pMatchEnd = nullptr;
};

template <bool kFold, bool kTerminated>
EResult CMatcher<kFold, kTerminated>::Run(const WCHAR* pStart) {
    const WCHAR** const Groups = m_Groups.Data();
    const WCHAR* p = pStart;
    std::uint32_t pc = 0;
    m_nFrames = 0;
    for (;;) {
        if (++m_nSteps > m_nMaxSteps) return RESULT_ABORT;
        const CInstruction& i = m_Code[pc];
        switch (i.op) {
            case OP_CHAR:
                if (AtEnd(p) || Fold(*p) != i.ch) goto Fail;
                ++p;
                ++pc;
                continue;
            case OP_ANY:
                if (AtEnd(p)) goto Fail;
                ++p;
                ++pc;
                continue;
            case OP_CLASS:
                if (AtEnd(p) || !m_Program.Classes[i.a].Contains(Fold(*p))) goto Fail;
                ++p;
                ++pc;
                continue;
            case OP_SPLIT:
                if (!Push({FRAME_BRANCH, i.b, p, nullptr})) return RESULT_ABORT;
                pc = i.a;
                continue;
            case OP_JUMP:
                pc = i.a;
                continue;
            case OP_SAVE_START:
            case OP_SAVE_END: {
                const WCHAR** pGroup = Groups + 2 * i.a;
                if (!Push({FRAME_RESTORE, i.a, pGroup[0], pGroup[1]})) return RESULT_ABORT;
                if (i.op == OP_SAVE_START) {
                    pGroup[0] = p;
                    pGroup[1] = nullptr;
                } else {
                    pGroup[1] = p;
                }
                ++pc;
                continue;
            }
            case OP_BACKREF: {
                const WCHAR* s = Groups[2 * i.a];
                const WCHAR* e = Groups[2 * i.a + 1];
                if (s == nullptr || e == nullptr) goto Fail;
                const auto n = static_cast<std::size_t>(e - s);
                // A NUL-terminated subject stops the comparison at its NUL, which no group text holds.
                if (!kTerminated && static_cast<std::size_t>(m_pEnd - p) < n) goto Fail;
                m_nSteps += n;
                for (std::size_t k = 0; k < n; ++k)
                    if (Fold(s[k]) != Fold(p[k])) goto Fail;
                p += n;
                ++pc;
                continue;
            }
            case OP_NOT:
                if (!Push({FRAME_NOT, i.a, p, nullptr})) return RESULT_ABORT;
                ++pc;
                continue;
            case OP_NOT_END:
                // The negated term matched: drop everything it left on the stack, undoing its groups, and
                // fail the "!" itself.
                while (m_nFrames != 0) {
                    const CFrame& f = m_Stack.Data()[--m_nFrames];
                    ++m_nSteps;
                    if (f.kind == FRAME_NOT) break;
                    if (f.kind == FRAME_RESTORE) {
                        Groups[2 * f.nIndex] = f.p1;
                        Groups[2 * f.nIndex + 1] = f.p2;
                    }
                }
                goto Fail;
            case OP_END:
                if (!AtEnd(p)) goto Fail;
                ++pc;
                continue;
            case OP_REPEAT: {
                if (i.greedy) {
                    const WCHAR* q = p;
                    if (i.inner == OP_ANY && !kTerminated) {
                        q = m_pEnd;
                    } else {
                        while (!AtEnd(q) && One(i.inner, i, *q)) ++q;
                    }
                    m_nSteps += static_cast<std::size_t>(q - p);
                    if (q - p < i.min) goto Fail;
                    if (q - p > i.min && !Push({FRAME_GREEDY, pc, p + i.min, q})) return RESULT_ABORT;
                    p = q;
                } else {
                    if (i.min != 0) {
                        if (AtEnd(p) || !One(i.inner, i, *p)) goto Fail;
                        ++p;
                    }
                    if (!Push({FRAME_LAZY, pc, p, nullptr})) return RESULT_ABORT;
                }
                ++pc;
                continue;
            }
            case OP_MATCH:
                m_pMatchEnd = p;
                return RESULT_MATCH;
            case OP_NOP:
                ++pc;
                continue;
        }
    Fail:
        for (;;) {
            if (m_nFrames == 0) return RESULT_FAIL;
            if (++m_nSteps > m_nMaxSteps) return RESULT_ABORT;
            CFrame& f = m_Stack.Data()[m_nFrames - 1];
            switch (f.kind) {
                case FRAME_BRANCH:
                case FRAME_NOT:
                    pc = f.nIndex;
                    p = f.p1;
                    --m_nFrames;
                    break;
                case FRAME_RESTORE:
                    Groups[2 * f.nIndex] = f.p1;
                    Groups[2 * f.nIndex + 1] = f.p2;
                    --m_nFrames;
                    continue;
                case FRAME_GREEDY: {
                    // Give back characters; when a literal character follows, only where it can match.
                    const CInstruction& Next = m_Code[f.nIndex + 1];
                    const WCHAR* q = f.p2 - 1;
                    if (Next.op == OP_CHAR) {
                        const WCHAR* const pMin = f.p1;
                        while (q > pMin && Fold(*q) != Next.ch) --q;
                        m_nSteps += static_cast<std::size_t>(f.p2 - q);
                    }
                    pc = f.nIndex + 1;
                    p = q;
                    if (q == f.p1)
                        --m_nFrames;
                    else
                        f.p2 = q;
                    break;
                }
                case FRAME_LAZY: {
                    const CInstruction& Repeat = m_Code[f.nIndex];
                    if (AtEnd(f.p1) || !One(Repeat.inner, Repeat, *f.p1)) {
                        --m_nFrames;
                        continue;
                    }
                    p = ++f.p1;
                    pc = f.nIndex + 1;
                    break;
                }
            }
            break;
        }
    }
}

template <bool kFold, bool kTerminated>
const WCHAR* CMatcher<kFold, kTerminated>::NextCandidate(const WCHAR* pFrom) const noexcept {
    const CFirstFilter& Filter = m_Program.Filter;
    const WCHAR* p = pFrom;
    if (Filter.kind == CFirstFilter::SINGLE && !kFold) {
        const char16_t ch = Filter.ch;
        for (; !AtEnd(p); ++p)
            if (*p == ch) return p;
        return nullptr;
    }
    for (; !AtEnd(p); ++p) {
        const char16_t c = Fold(*p);
        if (c < 256 ? ((Filter.Bits[c >> 6] >> (c & 63)) & 1) != 0 : Filter.bWide) return p;
    }
    return nullptr;
}

// Finds the first match in [pBegin, pEnd), or up to the NUL when kTerminated, and hands its groups (start and end of
// each, in turn), start and end to Store.
template <bool kFold, bool kTerminated, typename TStore>
bool FindMatch(const CRegExp::CProgram& Program, const WCHAR* pBegin, const WCHAR* pEnd, std::size_t nMaxSteps,
               std::size_t nMaxFrames, const TStore& Store) {
    CMatcher<kFold, kTerminated> Matcher(Program, pEnd, nMaxSteps, nMaxFrames);
    const bool bFilter = !Program.bAnchored && Program.Filter.kind != CFirstFilter::NONE;
    for (const WCHAR* pStart = pBegin;; ++pStart) {
        if (bFilter && (pStart = Matcher.NextCandidate(pStart)) == nullptr) return false;
        const EResult Result = Matcher.Run(pStart);
        if (Result == RESULT_MATCH) {
            Store(Matcher.Groups(), pStart, Matcher.MatchEnd());
            return true;
        }
        if (Result == RESULT_ABORT || Program.bAnchored || Matcher.AtEnd(pStart)) return false;
    }
}

}  // namespace

bool CRegExp::Match(const WCHAR* pszSubject, CRegExpMatchContext* pContext, const WCHAR** ppszEnd) const {
    return pszSubject != nullptr && Search(pszSubject, nullptr, pContext, ppszEnd);
}

bool CRegExp::Match(std::u16string_view sSubject, CRegExpMatchContext* pContext, const WCHAR** ppszEnd) const {
    return sSubject.data() != nullptr && Search(sSubject.data(), sSubject.data() + sSubject.size(), pContext, ppszEnd);
}

bool CRegExp::Search(const WCHAR* pBegin, const WCHAR* pEnd, CRegExpMatchContext* pContext,
                     const WCHAR** ppszEnd) const {
    const CProgram* pProgram = m_pProgram.get();
    if (pProgram == nullptr || pContext == nullptr) return false;
    const UINT nGroups = pProgram->nGroups;
    const auto Store = [pContext, ppszEnd, nGroups](const WCHAR* const* Groups, const WCHAR* pStart,
                                                    const WCHAR* pMatchEnd) {
        pContext->m_Groups.assign(Groups, Groups + 2 * nGroups);
        // A group whose end was cleared by a later start of the same group took no complete part.
        for (UINT g = 0; g < nGroups; ++g)
            if (pContext->m_Groups[2 * g + 1] == nullptr) pContext->m_Groups[2 * g] = nullptr;
        pContext->m_pMatchStart = pStart;
        pContext->m_pMatchEnd = pMatchEnd;
        if (ppszEnd != nullptr) *ppszEnd = pMatchEnd;
    };
    try {
        if (pEnd == nullptr)
            return pProgram->bCaseSensitive
                       ? FindMatch<false, true>(*pProgram, pBegin, pEnd, m_nMaxSteps, m_nMaxFrames, Store)
                       : FindMatch<true, true>(*pProgram, pBegin, pEnd, m_nMaxSteps, m_nMaxFrames, Store);
        return pProgram->bCaseSensitive
                   ? FindMatch<false, false>(*pProgram, pBegin, pEnd, m_nMaxSteps, m_nMaxFrames, Store)
                   : FindMatch<true, false>(*pProgram, pBegin, pEnd, m_nMaxSteps, m_nMaxFrames, Store);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

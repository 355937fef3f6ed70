// Parsers of the /proc texts behind the process list and the performance figures. They read text only, so
// the tests and the fuzz target feed them captured and mangled input; the callers do the reading.
#include <cstddef>
#include <limits>

#include "comrt/psapi.h"

namespace comrt {
namespace {

constexpr ULONGLONG MAX_VALUE = std::numeric_limits<ULONGLONG>::max();

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}
bool IsBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

void SkipBlanks(std::string_view sText, std::size_t& i) noexcept {
    while (i < sText.size() && IsBlank(sText[i])) ++i;
}

// Reads a decimal number at i; false when there is no digit there or it does not fit 64 bits.
bool ReadNumber(std::string_view sText, std::size_t& i, ULONGLONG* pnValue) noexcept {
    const std::size_t nStart = i;
    ULONGLONG n = 0;
    while (i < sText.size() && IsDigit(sText[i])) {
        const auto nDigit = static_cast<ULONGLONG>(sText[i] - '0');
        if (n > (MAX_VALUE - nDigit) / 10) return false;
        n = n * 10 + nDigit;
        ++i;
    }
    *pnValue = n;
    return i > nStart;
}

struct MemInfoField {
    std::string_view sName;
    ULONGLONG MemInfo::*pValue;
};
constexpr MemInfoField MEMINFO_FIELDS[] = {
    {"MemTotal", &MemInfo::nMemTotal},         {"MemFree", &MemInfo::nMemFree},
    {"MemAvailable", &MemInfo::nMemAvailable}, {"Cached", &MemInfo::nCached},
    {"Committed_AS", &MemInfo::nCommittedAs},  {"CommitLimit", &MemInfo::nCommitLimit},
    {"SReclaimable", &MemInfo::nSReclaimable}, {"SUnreclaim", &MemInfo::nSUnreclaim},
    {"KernelStack", &MemInfo::nKernelStack},   {"PageTables", &MemInfo::nPageTables},
};
// Bits of the fields that every kernel since 2.6 gives.
constexpr unsigned REQUIRED_FIELDS = 1u << 0 | 1u << 1 | 1u << 4 | 1u << 5;

// One "Name:   value kB" line: the field's index and value, or -1.
int ParseMemInfoLine(std::string_view sLine, ULONGLONG* pnValue) noexcept {
    const std::size_t nColon = sLine.find(':');
    if (nColon == std::string_view::npos) return -1;
    const std::string_view sName = sLine.substr(0, nColon);
    int iField = -1;
    for (std::size_t k = 0; k < std::size(MEMINFO_FIELDS); ++k)
        if (MEMINFO_FIELDS[k].sName == sName) iField = static_cast<int>(k);
    if (iField < 0) return -1;
    std::size_t i = nColon + 1;
    SkipBlanks(sLine, i);
    if (!ReadNumber(sLine, i, pnValue)) return -1;
    SkipBlanks(sLine, i);
    // Every field we read is in kibibytes; a line without the unit is not the line we know.
    if (sLine.substr(i) != "kB") return -1;
    return iField;
}

}  // namespace

bool ParseMemInfo(std::string_view sText, MemInfo* pInfo) noexcept {
    *pInfo = MemInfo{};
    unsigned nFound = 0;
    while (!sText.empty()) {
        const std::size_t nEnd = sText.find('\n');
        const std::string_view sLine = sText.substr(0, nEnd);
        sText = nEnd == std::string_view::npos ? std::string_view() : sText.substr(nEnd + 1);
        ULONGLONG nValue = 0;
        const int iField = ParseMemInfoLine(sLine, &nValue);
        // The first line of a name counts: a repeated name is not meminfo as we know it.
        if (iField < 0 || (nFound & (1u << iField)) != 0) continue;
        nFound |= 1u << iField;
        pInfo->*MEMINFO_FIELDS[iField].pValue = nValue;
    }
    pInfo->bHasMemAvailable = (nFound & (1u << 2)) != 0;
    return (nFound & REQUIRED_FIELDS) == REQUIRED_FIELDS;
}

bool ParseFileNr(std::string_view sText, FileNr* pFileNr) noexcept {
    *pFileNr = FileNr{};
    std::size_t i = 0;
    ULONGLONG* const Values[] = {&pFileNr->nAllocated, &pFileNr->nFree, &pFileNr->nMaximum};
    for (ULONGLONG* pValue : Values) {
        SkipBlanks(sText, i);
        if (!ReadNumber(sText, i, pValue)) {
            *pFileNr = FileNr{};
            return false;
        }
    }
    return true;
}

bool ParseLoadAvgThreads(std::string_view sText, ULONGLONG* pnThreads) noexcept {
    *pnThreads = 0;
    std::size_t i = 0;
    // Three load averages, each a non-empty word.
    for (int nField = 0; nField < 3; ++nField) {
        SkipBlanks(sText, i);
        const std::size_t nStart = i;
        while (i < sText.size() && !IsBlank(sText[i]) && sText[i] != '\n') ++i;
        if (i == nStart) return false;
    }
    SkipBlanks(sText, i);
    ULONGLONG nRunning = 0, nTotal = 0;
    if (!ReadNumber(sText, i, &nRunning) || i >= sText.size() || sText[i] != '/') return false;
    ++i;
    if (!ReadNumber(sText, i, &nTotal)) return false;
    if (i < sText.size() && !IsBlank(sText[i]) && sText[i] != '\n') return false;
    *pnThreads = nTotal;
    return true;
}

std::string_view ProgramNameFromExeLink(std::string_view sLink) noexcept {
    constexpr std::string_view DELETED = " (deleted)";
    if (sLink.size() >= DELETED.size() && sLink.substr(sLink.size() - DELETED.size()) == DELETED)
        sLink.remove_suffix(DELETED.size());
    const std::size_t nSlash = sLink.rfind('/');
    return nSlash == std::string_view::npos ? sLink : sLink.substr(nSlash + 1);
}

bool ParseProcessId(std::string_view sName, DWORD* pnProcessId) noexcept {
    if (sName.empty() || sName.size() > 10 || sName[0] == '0') return false;
    ULONGLONG n = 0;
    for (char c : sName) {
        if (!IsDigit(c)) return false;
        n = n * 10 + static_cast<ULONGLONG>(c - '0');
    }
    if (n > std::numeric_limits<DWORD>::max()) return false;
    *pnProcessId = static_cast<DWORD>(n);
    return true;
}

bool ParseProcessStat(std::string_view sText, char* pcState, ULONGLONG* pnStartTime) noexcept {
    const std::size_t nParenthesis = sText.rfind(')');
    if (nParenthesis == std::string_view::npos) return false;
    std::size_t i = nParenthesis + 1;
    // Field 3: the state, one character between blanks.
    SkipBlanks(sText, i);
    if (i >= sText.size() || IsBlank(sText[i])) return false;
    const char cState = sText[i++];
    if (i >= sText.size() || !IsBlank(sText[i])) return false;
    // Fields 4 to 21: numbers (some of them negative) that are passed over; field 22 is the start time.
    ULONGLONG nValue = 0;
    for (int nField = 4; nField <= 22; ++nField) {
        SkipBlanks(sText, i);
        if (nField < 22 && i < sText.size() && sText[i] == '-') ++i;
        if (!ReadNumber(sText, i, &nValue)) return false;
        if (i < sText.size() && !IsBlank(sText[i]) && sText[i] != '\n') return false;
    }
    *pcState = cState;
    *pnStartTime = nValue;
    return true;
}

}  // namespace comrt

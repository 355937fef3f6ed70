// The trace writer and the module's log file.
#include "corvane/uldebug.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "comrt/logfile.h"
#include "comrt/sync.h"
#include "corvane/ulmodule.h"

namespace corvane {
namespace {

constexpr char LINE_PREFIX[] = "%04d-%02d-%02d %02d:%02d:%02d\t%04d\t%04d\t";
constexpr char LINE_LOCATION[] = "%s(%d): %s: ";

// Where the log folder is when nothing overrides it and the process may not write the system's.
constexpr char SYSTEM_LOG_FOLDER[] = "/var/log";
constexpr char USER_LOG_FOLDER[] = "corvane-harkwell";
constexpr char LOG_FOLDER_VARIABLE[] = "CORVANE_LOG_DIR";

// The offset of local time from universal time, in seconds, as the last call of localtime_r saw it: what a
// signal handler adds to the clock instead of calling localtime_r itself.
constinit std::atomic<long> g_nUtcOffset{0};

void SystemLocalTime(std::tm* pTime) noexcept {
    const time_t nNow = time(nullptr);
    localtime_r(&nNow, pTime);
    g_nUtcOffset.store(pTime->tm_gmtoff, std::memory_order_relaxed);
}

DWORD SystemProcessIdentifier() noexcept {
    return ::GetCurrentProcessId();
}

DWORD SystemThreadIdentifier() noexcept {
    return ::GetCurrentThreadId();
}

constexpr TraceEnvironment SYSTEM_ENVIRONMENT{&SystemLocalTime, &SystemProcessIdentifier, &SystemThreadIdentifier};

constinit std::atomic<const TraceEnvironment*> g_pEnvironment{&SYSTEM_ENVIRONMENT};

// The writer state of the module. Trivially destructible, so lines written by other modules' termination
// code, late in the process's exit, still find it intact.
struct LogState {
    std::mutex Lock;  // the log lock: guards everything below
    int nFile;        // -1 while not open
    bool bPathMade;
    DWORD nLineCount;
    char szPath[comrt::MAX_LOG_PATH];
};

constinit LogState g_Log{{}, -1, false, 0, {}};

// Text after the last slash of a path.
const char* FileNameOf(const char* pszPath) noexcept {
    const char* pszSlash = strrchr(pszPath, '/');
    return pszSlash != nullptr ? pszSlash + 1 : pszPath;
}

// Appends pszText to the buffer of cchBuffer bytes holding cch characters; false when it does not fit.
bool Append(char* pszBuffer, std::size_t cchBuffer, std::size_t& cch, const char* pszText) noexcept {
    const std::size_t cchText = strlen(pszText);
    if (cch + cchText >= cchBuffer) return false;
    memcpy(pszBuffer + cch, pszText, cchText + 1);
    cch += cchText;
    return true;
}

// The log folder, made when missing.
bool MakeLogFolder(char (&szFolder)[comrt::MAX_LOG_PATH]) noexcept {
    const char* pszOverride = getenv(LOG_FOLDER_VARIABLE);
    const bool bOverride = pszOverride != nullptr && pszOverride[0] != 0;
    const bool bSystem = !bOverride && comrt::MayWriteFolder(SYSTEM_LOG_FOLDER, 0755);
    if (!ChooseTraceLogFolder(pszOverride, bSystem, getenv("XDG_STATE_HOME"), getenv("HOME"), szFolder,
                              sizeof(szFolder)))
        return false;
    // A folder of the user's own is private to the user.
    return bSystem || comrt::MakeFolders(szFolder, bOverride ? 0755 : 0700);
}

// <folder>/<module file name with its extension replaced by ".log">.
bool MakeLogPath(char (&szPath)[comrt::MAX_LOG_PATH]) noexcept {
    if (!MakeLogFolder(szPath)) return false;
    const char* pszName = GetModuleFileName();
    if (pszName[0] == 0) return false;
    const char* pszDot = strrchr(pszName, '.');
    const std::size_t cchStem =
        pszDot != nullptr && pszDot != pszName ? static_cast<std::size_t>(pszDot - pszName) : strlen(pszName);
    std::size_t cch = strlen(szPath);
    if (cch + 1 + cchStem + 4 >= sizeof(szPath)) return false;
    szPath[cch++] = '/';
    memcpy(szPath + cch, pszName, cchStem);
    memcpy(szPath + cch + cchStem, ".log", 5);
    return true;
}

// Takes Lock for a signal handler: the interrupted code may hold it, perhaps on this very thread, so the
// wait ends after about a second. False when the lock was not had.
bool LockInSignalHandler(std::mutex& Lock) noexcept {
    for (int i = 0; i < 1000; ++i) {
        if (Lock.try_lock()) return true;
        ::Sleep(1);
    }
    return false;
}

// Appends one formatted line to the log file, opening (or reopening) it as needed. A line that cannot be
// written is lost; the next one tries again. In a signal handler the path is not made (that may allocate).
void AppendLine(const char* pLine, std::size_t cb, bool bInSignalHandler) noexcept {
    std::unique_lock Lock(g_Log.Lock, std::defer_lock);
    if (!bInSignalHandler)
        Lock.lock();
    else if (LockInSignalHandler(g_Log.Lock))
        Lock = std::unique_lock(g_Log.Lock, std::adopt_lock);
    ++g_Log.nLineCount;
    if (g_Log.nLineCount % TRACE_FILE_CHECK_INTERVAL == 0 && g_Log.nFile >= 0 &&
        !comrt::IsLogFileAtPath(g_Log.nFile, g_Log.szPath)) {
        comrt::CloseLogFile(g_Log.nFile);
        g_Log.nFile = comrt::INVALID_LOG_FILE;
    }
    if (g_Log.nFile < 0) {
        if (!g_Log.bPathMade && !bInSignalHandler) g_Log.bPathMade = MakeLogPath(g_Log.szPath);
        if (!g_Log.bPathMade) return;
        g_Log.nFile = comrt::OpenLogFile(g_Log.szPath);
        if (g_Log.nFile < 0) return;
    }
    comrt::WriteLogFile(g_Log.nFile, pLine, cb);
}

// After a cut at cch bytes: drops a trailing UTF-8 sequence the cut left incomplete.
std::size_t CutAtCharacter(const char* psz, std::size_t cch) noexcept {
    std::size_t iLead = cch;
    while (iLead > 0 && cch - iLead < 4 && (static_cast<unsigned char>(psz[iLead - 1]) & 0xC0) == 0x80) --iLead;
    if (iLead == 0) return cch;
    const unsigned char chLead = static_cast<unsigned char>(psz[iLead - 1]);
    const std::size_t cbSequence = chLead >= 0xF0 ? 4 : chLead >= 0xE0 ? 3 : chLead >= 0xC0 ? 2 : 1;
    return cch - (iLead - 1) < cbSequence ? iLead - 1 : cch;
}

// Copies the line, writing every line feed not preceded by a carriage return as CR LF while the text stays
// within TRACE_LINE_SIZE - 1 bytes. Returns the length written to pszOut (TRACE_LINE_SIZE bytes).
std::size_t ToCrLf(const char* psz, std::size_t cch, char* pszOut) noexcept {
    std::size_t cchOut = 0;
    std::size_t cchTotal = cch;
    for (std::size_t i = 0; i < cch; ++i) {
        if (psz[i] == '\n' && (i == 0 || psz[i - 1] != '\r') && cchTotal + 1 <= TRACE_LINE_SIZE - 1) {
            pszOut[cchOut++] = '\r';
            ++cchTotal;
        }
        pszOut[cchOut++] = psz[i];
    }
    return cchOut;
}

// Adds snprintf's result to the length so far; false when formatting failed.
bool Advance(std::size_t& cch, int nFormatted, bool* pbCut = nullptr) noexcept {
    if (nFormatted < 0) return false;
    const std::size_t cchNew = cch + static_cast<std::size_t>(nFormatted);
    if (pbCut != nullptr) *pbCut = cchNew > TRACE_LINE_SIZE - 1;
    cch = std::min(cchNew, TRACE_LINE_SIZE - 1);
    return true;
}

void WriteLine(const char* pszSourcePath, int nLine, const char* pszFunctionName, UINT nLevel, const char* pszFormat,
               std::va_list Arguments, bool bInSignalHandler = false) noexcept {
    if (!IsTraceLevelWritten(nLevel) || pszFormat == nullptr) return;
    const TraceEnvironment& Environment = GetTraceEnvironment();
    std::tm Time{};
    GetTraceLocalTime(&Time, bInSignalHandler);

    char szLine[TRACE_LINE_SIZE];
    std::size_t cch = 0;
    if (!Advance(cch,
                 snprintf(szLine, sizeof(szLine), LINE_PREFIX, Time.tm_year + 1900, Time.tm_mon + 1, Time.tm_mday,
                          Time.tm_hour, Time.tm_min, Time.tm_sec, static_cast<int>(Environment.pfnProcessIdentifier()),
                          static_cast<int>(Environment.pfnThreadIdentifier()))))
        return;
    if (pszSourcePath != nullptr &&
        !Advance(cch, snprintf(szLine + cch, sizeof(szLine) - cch, LINE_LOCATION, FileNameOf(pszSourcePath), nLine,
                               pszFunctionName != nullptr ? pszFunctionName : "")))
        return;
    bool bCut = false;
    if (!Advance(cch, vsnprintf(szLine + cch, sizeof(szLine) - cch, pszFormat, Arguments), &bCut)) return;
    if (bCut) cch = CutAtCharacter(szLine, cch);

    char szText[TRACE_LINE_SIZE];
    AppendLine(szText, ToCrLf(szLine, cch, szText), bInSignalHandler);
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar (nMonth 1 to 12).
std::int64_t DaysFromCivil(std::int64_t nYear, unsigned nMonth, unsigned nDay) noexcept {
    nYear -= nMonth <= 2;
    const std::int64_t nEra = (nYear >= 0 ? nYear : nYear - 399) / 400;
    const std::int64_t nYearOfEra = nYear - nEra * 400;
    const std::int64_t nDayOfYear = (153 * (nMonth > 2 ? nMonth - 3 : nMonth + 9) + 2) / 5 + nDay - 1;
    const std::int64_t nDayOfEra = nYearOfEra * 365 + nYearOfEra / 4 - nYearOfEra / 100 + nDayOfYear;
    return nEra * 146097 + nDayOfEra - 719468;
}

}  // namespace

bool ChooseTraceLogFolder(const char* pszOverride, bool bSystemFolderWritable, const char* pszStateHome,
                          const char* pszHome, char* pszFolder, std::size_t cchFolder) noexcept {
    std::size_t cch = 0;
    if (cchFolder == 0) return false;
    pszFolder[0] = 0;
    if (pszOverride != nullptr && pszOverride[0] != 0) return Append(pszFolder, cchFolder, cch, pszOverride);
    if (bSystemFolderWritable) return Append(pszFolder, cchFolder, cch, SYSTEM_LOG_FOLDER);
    // A relative XDG_STATE_HOME is invalid and ignored, as the XDG rules say.
    if (pszStateHome != nullptr && pszStateHome[0] == '/') {
        if (!Append(pszFolder, cchFolder, cch, pszStateHome)) return false;
    } else if (pszHome != nullptr && pszHome[0] == '/') {
        if (!Append(pszFolder, cchFolder, cch, pszHome) || !Append(pszFolder, cchFolder, cch, "/.local/state"))
            return false;
    } else {
        return false;
    }
    return Append(pszFolder, cchFolder, cch, "/") && Append(pszFolder, cchFolder, cch, USER_LOG_FOLDER);
}

const TraceEnvironment& GetTraceEnvironment() noexcept {
    return *g_pEnvironment.load(std::memory_order_acquire);
}

void GetTraceLocalTime(std::tm* pTime, bool bInSignalHandler) noexcept {
    const TraceEnvironment& Environment = GetTraceEnvironment();
    if (!bInSignalHandler || &Environment != &SYSTEM_ENVIRONMENT) {
        Environment.pfnLocalTime(pTime);
        return;
    }
    timespec Now{};
    clock_gettime(CLOCK_REALTIME, &Now);
    const long nOffset = g_nUtcOffset.load(std::memory_order_relaxed);
    SplitUniversalTime(static_cast<std::int64_t>(Now.tv_sec) + nOffset, pTime);
    pTime->tm_isdst = -1;
    pTime->tm_gmtoff = nOffset;
}

void SplitUniversalTime(std::int64_t nSeconds, std::tm* pTime) noexcept {
    std::int64_t nDays = nSeconds / 86400;
    std::int64_t nSecondOfDay = nSeconds % 86400;
    if (nSecondOfDay < 0) {
        nSecondOfDay += 86400;
        --nDays;
    }
    // The civil date of a day number: years of 400-year eras starting on 1 March, so that the leap day
    // ends each year.
    const std::int64_t nShifted = nDays + 719468;
    const std::int64_t nEra = (nShifted >= 0 ? nShifted : nShifted - 146096) / 146097;
    const std::int64_t nDayOfEra = nShifted - nEra * 146097;
    const std::int64_t nYearOfEra = (nDayOfEra - nDayOfEra / 1460 + nDayOfEra / 36524 - nDayOfEra / 146096) / 365;
    const std::int64_t nDayOfYear = nDayOfEra - (365 * nYearOfEra + nYearOfEra / 4 - nYearOfEra / 100);
    const std::int64_t nMonthShifted = (5 * nDayOfYear + 2) / 153;
    const unsigned nDay = static_cast<unsigned>(nDayOfYear - (153 * nMonthShifted + 2) / 5 + 1);
    const unsigned nMonth = static_cast<unsigned>(nMonthShifted < 10 ? nMonthShifted + 3 : nMonthShifted - 9);
    const std::int64_t nYear = nYearOfEra + nEra * 400 + (nMonth <= 2);

    *pTime = std::tm{};
    pTime->tm_year = static_cast<int>(nYear - 1900);
    pTime->tm_mon = static_cast<int>(nMonth - 1);
    pTime->tm_mday = static_cast<int>(nDay);
    pTime->tm_hour = static_cast<int>(nSecondOfDay / 3600);
    pTime->tm_min = static_cast<int>(nSecondOfDay % 3600 / 60);
    pTime->tm_sec = static_cast<int>(nSecondOfDay % 60);
    pTime->tm_wday = static_cast<int>(((nDays + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
    pTime->tm_yday = static_cast<int>(nDays - DaysFromCivil(nYear, 1, 1));
}

void PrepareTraceForSignalHandlers() noexcept {
    std::tm Time{};
    SystemLocalTime(&Time);  // the offset of local time the handlers use
    GetProcessImagePath();
    {
        std::lock_guard Lock(g_Log.Lock);
        if (!g_Log.bPathMade) g_Log.bPathMade = MakeLogPath(g_Log.szPath);
    }
}

const TraceEnvironment& GetSystemTraceEnvironment() noexcept {
    return SYSTEM_ENVIRONMENT;
}

void SetTraceEnvironment(const TraceEnvironment* pEnvironment) noexcept {
    g_pEnvironment.store(pEnvironment != nullptr ? pEnvironment : &SYSTEM_ENVIRONMENT, std::memory_order_release);
}

DWORD GetCurrentThreadIdentifier() noexcept {
    return SystemThreadIdentifier();
}

std::string GetTraceLogPath() {
    std::lock_guard Lock(g_Log.Lock);
    if (!g_Log.bPathMade) g_Log.bPathMade = MakeLogPath(g_Log.szPath);
    return g_Log.bPathMade ? std::string(g_Log.szPath) : std::string();
}

DWORD GetTraceLineCount() noexcept {
    std::lock_guard Lock(g_Log.Lock);
    return g_Log.nLineCount;
}

void ResetTraceLog() noexcept {
    std::lock_guard Lock(g_Log.Lock);
    comrt::CloseLogFile(g_Log.nFile);
    g_Log.nFile = comrt::INVALID_LOG_FILE;
    g_Log.bPathMade = false;
    g_Log.nLineCount = 0;
}

void AssertionFailed(const CDebugTraceLocalContext& Context, const char* pszExpression) noexcept {
    Context.Write(TRACE_LEVEL_FAILURE, TraceText::AssertionFailed, pszExpression != nullptr ? pszExpression : "");
    // Skipping this function's own frame, the stack starts at the function that asserted.
    CDebugTraceCallStack::TraceCurrentCallStack(CDebugTraceCallStack::ASSERTION_FRAMES, 1);
    // Keeps the call above from becoming a jump that would take this frame off the stack.
    asm volatile("");
}

}  // namespace corvane

void CDebugTraceLocalContext::Write(UINT nLevel, const char* pszFormat, ...) const noexcept {
    if (!corvane::IsTraceLevelWritten(nLevel)) return;
    std::va_list Arguments;
    va_start(Arguments, pszFormat);
    corvane::WriteLine(m_pszSourcePath, m_nLine, m_pszFunctionName, nLevel, pszFormat, Arguments);
    va_end(Arguments);
}

void CDebugTraceLocalContext::WriteV(UINT nLevel, const char* pszFormat, std::va_list Arguments) const noexcept {
    corvane::WriteLine(m_pszSourcePath, m_nLine, m_pszFunctionName, nLevel, pszFormat, Arguments);
}

void CDebugTraceLocalContext::WriteInSignalHandler(UINT nLevel, const char* pszFormat, ...) const noexcept {
    if (!corvane::IsTraceLevelWritten(nLevel)) return;
    std::va_list Arguments;
    va_start(Arguments, pszFormat);
    corvane::WriteLine(m_pszSourcePath, m_nLine, m_pszFunctionName, nLevel, pszFormat, Arguments, true);
    va_end(Arguments);
}

CDebugTraceScopeContext::CDebugTraceScopeContext(const char* pszSourcePath, int nLine, const char* pszFunctionName,
                                                 UINT nLevel, const char* pszFormat, ...) noexcept
    : CDebugTraceLocalContext(pszSourcePath, nLine, pszFunctionName), m_nLevel(nLevel) {
    m_szMessage[0] = 0;
    // A scope whose line would be dropped skips the formatting too.
    if (!corvane::IsTraceLevelWritten(nLevel) || pszFormat == nullptr) return;
    std::va_list Arguments;
    va_start(Arguments, pszFormat);
    if (vsnprintf(m_szMessage, sizeof(m_szMessage), pszFormat, Arguments) < 0) m_szMessage[0] = 0;
    va_end(Arguments);
}

CDebugTraceScopeContext::~CDebugTraceScopeContext() {
    if (m_bSilent || !corvane::IsTraceLevelWritten(m_nLevel)) return;
    const char* pszSourcePath = GetSourcePath();
    Write(m_nLevel, corvane::TraceText::ScopeExit, m_szMessage,
          pszSourcePath != nullptr ? corvane::FileNameOf(pszSourcePath) : "", GetLine(),
          GetFunctionName() != nullptr ? GetFunctionName() : "");
}

void CStackPointer::ReportDifference(std::intptr_t nDifference, const char* pszSourcePath, int nLine,
                                     const char* pszFunctionName) noexcept {
    CDebugTraceLocalContext(pszSourcePath, nLine, pszFunctionName)
        .Write(corvane::TRACE_LEVEL_FAILURE, corvane::TraceText::StackPointerDifference, static_cast<int>(nDifference),
               static_cast<unsigned>(nDifference));
}

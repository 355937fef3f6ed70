// The debug trace: leveled lines with date, time, process, thread and source location appended to the
// module's log file, the fixed message texts the whole system writes, assertions that report and go on,
// symbolic call stacks, the stack-pointer check and the module start-up banner.
//
// Writing a line:
//
//   UL_TRACE(corvane::TRACE_LEVEL_ERROR, "nIndex %d out of range\n", nIndex);
//   UL_ASSERT(m_pThread != nullptr);
//
// Levels 0 to 2 reach the log file; levels 3 and 4 are dropped. The macros test the level inline before
// anything else, so a dropped line costs a comparison and its arguments are not evaluated.
//
// Formats are printf formats over 8-bit text (the process locale's character set, normally UTF-8); a
// message ends its line with "\n" itself, which the writer turns into CR LF. A message without a line feed
// runs into the next line, as every line is written exactly as formatted.
//
// The log file is <folder>/<module file name with extension ".log">, for example HarkwellServer.log and
// HarkwellPack1.log. The folder is $CORVANE_LOG_DIR when set (tests, `make run`), else
// /var/log when the process may write there, else $XDG_STATE_HOME/corvane-harkwell
// (~/.local/state/corvane-harkwell by default). The file is opened once and kept open; it is never truncated
// or rotated. When it is deleted while the process runs, a new file of the same name is started within the
// next 1024 lines.
//
// All of this is module state: each deliverable has its own writer, lock, line counter and log file.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "comrt/types.h"

// The processor state an exception filter receives (comrt/exceptions.h).
struct CONTEXT;

namespace corvane {

// Trace levels.
constexpr UINT TRACE_LEVEL_BANNER = 0;   // module start-up banner
constexpr UINT TRACE_LEVEL_FAILURE = 1;  // assertions, caught exceptions, deadlock suspicion, failed checks
constexpr UINT TRACE_LEVEL_ERROR = 2;    // raised errors and details, call-stack frames
constexpr UINT TRACE_LEVEL_THREAD = 3;   // thread start and stop (dropped)
constexpr UINT TRACE_LEVEL_VERBOSE = 4;  // routine detail (dropped)
// The highest level written to the log file.
constexpr UINT TRACE_LEVEL_WRITTEN = TRACE_LEVEL_ERROR;

constexpr bool IsTraceLevelWritten(UINT nLevel) noexcept {
    return nLevel <= TRACE_LEVEL_WRITTEN;
}

// A line is formatted in a fixed buffer of this many bytes, the terminating NUL included.
constexpr std::size_t TRACE_LINE_SIZE = 4096;
// The existence of the log file is checked every this many lines.
constexpr DWORD TRACE_FILE_CHECK_INTERVAL = 1024;

// The fixed texts the system writes through the trace. "%s" arguments are 8-bit text.
namespace TraceText {
// Level 1: an assertion failed; the argument is the expression. The call stack follows (at most 5 frames).
inline constexpr char AssertionFailed[] = "Assertion failed: %s, call stack follows:\n";
// Level 2: an HRESULT is about to be raised as an exception.
inline constexpr char Exception[] = "Exception 0x%08x\n";
// Level 1: a catch-all handler caught an exception.
inline constexpr char ExceptionCaught[] = "An exception has been caught\n";
// Level 1 or 2: an HRESULT exception was caught; the text is the code's system message, trimmed.
inline constexpr char ResultExceptionCaught[] = "An exception 0x%08x (%s) has been caught\n";
// Level 1: an HRESULT check failed; the text is the tested expression.
inline constexpr char CheckFailed[] = "Check failed 0x%08x in %s\n";
// Level 1: CStackPointer::Check found a difference (current minus recorded).
inline constexpr char StackPointerDifference[] = "Stack pointer difference %d (0x%x), possible stack memory leak\n";
// Level 0: start-up banner of the program image (path, version).
inline constexpr char ProgramVersion[] = "\"%s\" version is %s\n";
// Level 0: start-up banner of a library (path, version, path of the program image).
inline constexpr char LibraryVersion[] = "\"%s\" version is %s, running in \"%s\"\n";
// Level 1 (level 4 when the count is zero): the module terminates while locked.
inline constexpr char TerminationLockCount[] = "\"%s\" terminates being %d times locked\n";
// The scope context's level: message, source file name, line, function.
inline constexpr char ScopeExit[] = "%s at:\n\t%s(%d): %s\n";
// Level 2: one call-stack frame.
inline constexpr char CallStackFrame[] = "  %s\n";
// Level 4: before the stack of another thread.
inline constexpr char CallStackThread[] = "nThreadIdentifier %d\n";
}  // namespace TraceText

// Where the writer takes the time, the process identifier and the thread identifier from. Tests install
// fixed ones to check whole lines; every function must be safe to call from any thread.
struct TraceEnvironment {
    void (*pfnLocalTime)(std::tm* pTime) noexcept;
    DWORD (*pfnProcessIdentifier)() noexcept;
    DWORD (*pfnThreadIdentifier)() noexcept;
};

// The environment of the running system: localtime_r, getpid, gettid.
const TraceEnvironment& GetSystemTraceEnvironment() noexcept;
// Installs *pEnvironment (which must outlive its use) or, with nullptr, the system's again.
void SetTraceEnvironment(const TraceEnvironment* pEnvironment) noexcept;

// The environment in force.
const TraceEnvironment& GetTraceEnvironment() noexcept;

// The kernel's identifier of the calling thread, the one lines show and TraceCallStack takes.
DWORD GetCurrentThreadIdentifier() noexcept;

// The local time as the environment in force gives it. In a signal handler (bInSignalHandler) the system's
// time is the clock's plus the offset from universal time that the last line written outside a handler
// saw, because localtime_r may wait for a lock the interrupted code holds; it lags a change of daylight
// saving time until the next such line.
void GetTraceLocalTime(std::tm* pTime, bool bInSignalHandler) noexcept;
// nSeconds since 1970-01-01 00:00:00 UTC as universal calendar time: gmtime_r without its lock, so that
// signal handlers may use it.
void SplitUniversalTime(std::int64_t nSeconds, std::tm* pTime) noexcept;
// Readies the trace for lines written by fatal-signal handlers (WriteInSignalHandler): makes the log path
// and takes the offset of local time. Call outside any handler; the exception filter does so when it is
// installed.
void PrepareTraceForSignalHandlers() noexcept;

// The folder rule of the log file, apart from the file system: pszOverride ($CORVANE_LOG_DIR) when set,
// else the system's folder when the process may write it, else <pszStateHome>/corvane-harkwell when
// pszStateHome is absolute, else <pszHome>/.local/state/corvane-harkwell. False when none can be named
// within cchFolder bytes.
bool ChooseTraceLogFolder(const char* pszOverride, bool bSystemFolderWritable, const char* pszStateHome,
                          const char* pszHome, char* pszFolder, std::size_t cchFolder) noexcept;
// The log file path, made now if not yet made; empty when no folder could be found or made.
std::string GetTraceLogPath();
// The number of lines written (levels 0 to 2) since the module started or the last ResetTraceLog.
DWORD GetTraceLineCount() noexcept;
// Closes the log file and forgets its path and the line counter, so that the next line finds the folder
// again (tests that move CORVANE_LOG_DIR).
void ResetTraceLog() noexcept;

// The start-up banner: "\"<module path>\" version is <version>" for the program image, with
// ", running in \"<program path>\"" for a library. Nothing is written when the version cannot be read.
void TraceModuleVersion() noexcept;
// The same for the given names; pszVersionText holds four numbers joined by periods. False, and nothing
// written, when it does not.
bool TraceModuleVersion(const char* pszModulePath, bool bProgramImage, const char* pszProcessImagePath,
                        const char* pszVersionText) noexcept;
// Registers the line reporting a non-zero module lock count with the module's termination functions.
void TraceModuleTerminationLockCount() noexcept;
// Reads this module's "Debug Symbols" switch from the key
// HKEY_LOCAL_MACHINE\SOFTWARE\Corvane\Harkwell\Debug Symbols: the DWORD value named after the module's
// file name (for example "HarkwellServer"), else the value "Default". 0 disables symbolic call stacks: frames
// then show only what the loader knows (module, address, exported names). Without key or values the switch
// keeps its state (enabled at start).
void ReadDebugSymbolSettings() noexcept;
// What a module does first when it starts: the banner, the termination line, the symbol settings.
void StartModuleTrace() noexcept;

// Whether call-stack frames are described with symbols, files and lines.
bool AreDebugSymbolsEnabled() noexcept;
void SetDebugSymbolsEnabled(bool bEnabled) noexcept;

}  // namespace corvane

// The context of one trace call site: source path, line and function. A context without a source path
// writes lines without a location. A context derived from a call-stack frame owns the frame's file and
// function names.
class CDebugTraceLocalContext {
public:
    struct CFrameInformation;

    CDebugTraceLocalContext(const char* pszSourcePath, int nLine, const char* pszFunctionName) noexcept
        : m_pszSourcePath(pszSourcePath), m_nLine(nLine), m_pszFunctionName(pszFunctionName) {}
    // The source file, line and function (symbol) of the code at nAddress; without a location when the
    // symbols do not tell.
    explicit CDebugTraceLocalContext(std::uintptr_t nAddress);
    CDebugTraceLocalContext(const CDebugTraceLocalContext&) = delete;
    CDebugTraceLocalContext& operator=(const CDebugTraceLocalContext&) = delete;
    ~CDebugTraceLocalContext();

    const char* GetSourcePath() const noexcept { return m_pszSourcePath; }
    int GetLine() const noexcept { return m_nLine; }
    const char* GetFunctionName() const noexcept { return m_pszFunctionName; }

    // Formats and writes one line at nLevel. Never throws. Formats and arguments are checked when compiling;
    // a line that still cannot be formatted (a wide character without an 8-bit form) is dropped.
    void Write(UINT nLevel, const char* pszFormat, ...) const noexcept __attribute__((format(printf, 3, 4)));
    void WriteV(UINT nLevel, const char* pszFormat, std::va_list Arguments) const noexcept
        __attribute__((format(printf, 3, 0)));
    // Write for a fatal-signal handler, after PrepareTraceForSignalHandlers: no allocation and no wait
    // without end. The log lock is taken if it becomes free within about a second (the interrupted code may
    // hold it), else the line is written without it; a log file not yet open is opened, but a log path not
    // yet made is not made. Only conversions that need neither allocation nor the locale's locks may be
    // used (%s, %d, %u, %x, %c with widths; not %ls, %f or positional arguments).
    void WriteInSignalHandler(UINT nLevel, const char* pszFormat, ...) const noexcept
        __attribute__((format(printf, 3, 4)));

private:
    const char* m_pszSourcePath;
    int m_nLine;
    const char* m_pszFunctionName;
    CFrameInformation* m_pFrameInformation = nullptr;  // owned; only in contexts derived from a frame
};

// A scope context: built at the start of a function with a message; when it is destroyed while not
// silenced it writes "<message> at:\n\t<file>(<line>): <function>\n" at its level. A function silences it
// on the paths that need no report:
//
//   UL_TRACE_SCOPE(Scope, "nClassContext %d, nFlags 0x%x", nClassContext, nFlags);
//   ... work that may throw ...
//   Scope.SetSilent();
class CDebugTraceScopeContext : public CDebugTraceLocalContext {
public:
    static constexpr std::size_t MESSAGE_SIZE = 1024;

    CDebugTraceScopeContext(const char* pszSourcePath, int nLine, const char* pszFunctionName, UINT nLevel,
                            const char* pszFormat, ...) noexcept __attribute__((format(printf, 6, 7)));
    ~CDebugTraceScopeContext();

    void SetSilent(bool bSilent = true) noexcept { m_bSilent = bSilent; }
    bool IsSilent() const noexcept { return m_bSilent; }
    UINT GetLevel() const noexcept { return m_nLevel; }
    const char* GetMessage() const noexcept { return m_szMessage; }

private:
    UINT m_nLevel;
    bool m_bSilent = false;
    char m_szMessage[MESSAGE_SIZE];
};

// Symbolic call stacks. A stack is captured as the program counters of its frames, innermost first; it is
// described and written later, so a capture may be kept (the deadlock watch keeps the owner's).
//
// The stack of another thread is captured by that thread itself: it is sent SIGURG carrying a request, its
// handler unwinds its own stack into the request and posts a semaphore, and the caller symbolizes the
// frames. SIGURG is ignored by default, so a request that arrives after its module stopped listening is
// harmless. A thread that blocks SIGURG, or does not answer within a second, yields no frames. As with any
// signal, a system call the thread was blocked in may return EINTR.
class CDebugTraceCallStack {
public:
    static constexpr int MAX_FRAMES = 64;
    static constexpr int ASSERTION_FRAMES = 5;
    static constexpr int DEADLOCK_FRAMES = 15;

    // A captured stack: the counterpart of a saved processor context.
    struct CContext {
        int nFrameCount = 0;
        std::uintptr_t pnFrames[MAX_FRAMES];
    };

    // What the symbols tell about one frame.
    struct CFrameDescription {
        std::uintptr_t nAddress = 0;
        bool bModule = false;
        bool bSymbol = false;
        bool bLine = false;
        std::string sModule;  // file name of the module containing the address
        std::string sSymbol;  // demangled function name
        std::ptrdiff_t nSymbolDisplacement = 0;
        std::string sFile;  // source path
        int nLine = 0;
        int nLineDisplacement = 0;  // the line tables give no offset into the line: always 0
        // The frame as one line of text, in the form the available parts allow.
        std::string Format() const;
    };

    // Captures the calling thread's stack, starting at the caller of this function after skipping nSkip
    // further frames.
    static void CaptureCurrentThread(CContext& Context, int nSkip = 0) noexcept;
    // Captures the stack of thread nThreadIdentifier of this process; false when it cannot be had.
    static bool CaptureThread(DWORD nThreadIdentifier, CContext& Context) noexcept;
    // Captures the stack an exception interrupted, from the context its filter received, starting at the
    // interrupted instruction (from the calling frame when pContext is null). Async-signal-safe.
    static void CaptureContext(CContext& Context, const CONTEXT* pContext) noexcept;
    // Describes the frame at nAddress (a program counter inside the call).
    static CFrameDescription DescribeFrame(std::uintptr_t nAddress);
    // Describes nCount frames at once. Symbols, files and lines come from a child process that reads the
    // symbol tables of the modules loaded now and ends with them (the process itself keeps none): one child
    // for all the frames this module has not described before (those come from its cache, which a library
    // loaded or unloaded empties). Describing a new stack frame by frame costs a child per frame.
    static std::vector<CFrameDescription> DescribeFrames(const std::uintptr_t* pnAddresses, int nCount);
    // The frames at pnAddresses as lines of text, each passed to pfnWrite in turn, for a signal handler:
    // the same forms as Format, from the same kind of child and the loader's lock-free lookup; no
    // allocation. Names stay as the symbol tables store them (mangled), since demangling allocates.
    static void DescribeFramesInSignalHandler(const std::uintptr_t* pnAddresses, int nCount,
                                              void (*pfnWrite)(void* pvContext, const char* pszFrame),
                                              void* pvContext) noexcept;

    // Writes the present stack of another thread: "nThreadIdentifier %d" at level 4, then its frames.
    static void TraceCallStack(DWORD nThreadIdentifier, int nMaxFrameCount = DEADLOCK_FRAMES) noexcept;
    // Writes the frames of a captured stack, at most nMaxFrameCount, each as "  <frame>" at level 2.
    static void TraceCallStack(const CContext& Context, int nMaxFrameCount) noexcept;
    // Writes the calling thread's stack, starting at the caller of this function after skipping nSkip frames.
    static void TraceCurrentCallStack(int nMaxFrameCount, int nSkip = 0) noexcept;
};

// Records the stack pointer when constructed; Check compares the present one with it, and on a difference
// writes it (present minus recorded) and returns false. Worker loops check at the top of every iteration:
//
//   CStackPointer StackPointer;
//   for (;;) { UL_ASSERT(StackPointer.Check()); ... }
//
// Both read the stack pointer register in the caller's own frame, so construct and check in one function.
class CStackPointer {
public:
    [[gnu::always_inline]] CStackPointer() noexcept : m_nStackPointer(Current()) {}

    [[gnu::always_inline]] bool Check(const char* pszSourcePath = __builtin_FILE(), int nLine = __builtin_LINE(),
                                      const char* pszFunctionName = __builtin_FUNCTION()) const noexcept {
        const std::intptr_t nDifference = static_cast<std::intptr_t>(Current() - m_nStackPointer);
        if (nDifference == 0) return true;
        ReportDifference(nDifference, pszSourcePath, nLine, pszFunctionName);
        return false;
    }

    std::uintptr_t GetRecorded() const noexcept { return m_nStackPointer; }

    [[gnu::always_inline]] static std::uintptr_t Current() noexcept {
        std::uintptr_t nStackPointer;
#if defined(__x86_64__)
        asm volatile("mov %%rsp, %0" : "=r"(nStackPointer));
#elif defined(__aarch64__)
        asm volatile("mov %0, sp" : "=r"(nStackPointer));
#else
        nStackPointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
        return nStackPointer;
    }

private:
    static void ReportDifference(std::intptr_t nDifference, const char* pszSourcePath, int nLine,
                                 const char* pszFunctionName) noexcept;

    std::uintptr_t m_nStackPointer;
};

namespace corvane {
// Writes the assertion line for pszExpression and the calling thread's stack (at most 5 frames, starting
// at the function that asserted).
void AssertionFailed(const CDebugTraceLocalContext& Context, const char* pszExpression) noexcept;
}  // namespace corvane

// The context of the line the macro stands on.
#define UL_CONTEXT ::CDebugTraceLocalContext(__FILE__, __LINE__, __func__)

// Writes a line at nLevel (printf format and arguments) with the location of the call.
#define UL_TRACE(nLevel, ...)                                                                \
    do {                                                                                     \
        if (::corvane::IsTraceLevelWritten(nLevel)) UL_CONTEXT.Write((nLevel), __VA_ARGS__); \
    } while (0)

// Writes a line at nLevel with a given context (for example one derived from a call-stack frame).
#define UL_TRACE_CONTEXT(Context, nLevel, ...)                                              \
    do {                                                                                    \
        if (::corvane::IsTraceLevelWritten(nLevel)) (Context).Write((nLevel), __VA_ARGS__); \
    } while (0)

// Checks a condition; when it is false writes the assertion line and the call stack, and goes on.
#define UL_ASSERT(...)                                                            \
    do {                                                                          \
        if (!(__VA_ARGS__)) ::corvane::AssertionFailed(UL_CONTEXT, #__VA_ARGS__); \
    } while (0)

// Declares the scope context Name at level 2 with a formatted message.
#define UL_TRACE_SCOPE(Name, ...) \
    ::CDebugTraceScopeContext Name(__FILE__, __LINE__, __func__, ::corvane::TRACE_LEVEL_ERROR, __VA_ARGS__)

// The exception filter: reports crashes of the process and every C++ exception thrown while the module's
// filter is installed into the module's trace log (uldebug.h). Reports only inform; how an exception or a
// crash is handled does not change.
//
// The program installs the filter when it starts and removes it when it ends; a plug-in library installs it
// when it is loaded and removes it among its termination functions:
//
//   corvane::StartModuleTrace();
//   CExceptionFilter::Initialize();
//   ... run ...
//   CExceptionFilter::Terminate();
//
// Crashes. A crash arrives as a fatal signal, which the runtime's unhandled-exception filter of the module
// (comrt/exceptions.h) turns into an exception record: its table gives the code each signal has, the same
// code the same fault raises on the platform whose codes the system speaks. The report runs on the alternate
// signal stack (installed for the thread that installs the filter when it has none; other threads get one
// from InstallThreadSignalStack, without which a stack overflow on them kills the process unreported).
//
// After the report the signal goes where it would have gone without the filter: a previous handler is
// called with the same arguments (and what it does decides); otherwise the previous disposition is put back
// and the fault happens again or the signal is raised again, so the process ends by the same signal. A
// fault that comes back unchanged after a previous handler returned is not reported twice.
//
// Thrown exceptions. The module defines the runtime's throw entry, __cxa_throw, reports the exception with
// code 0xE06D7363 and passes it on unchanged. Parameters: 0x19930520 (the runtime's marker), the thrown
// object's address and its type information's address. "Native Parameters" shows the HRESULT of
// CHResultException (and classes derived from it), else the first 32-bit word of the thrown object. An
// exception the thread is handling (in a catch block) when the new one is thrown becomes the nested record.
// Rethrowing (throw; std::rethrow_exception) reports nothing: it is the same exception.
//
// Which throws a module sees. Every module has its own copy of this library with hidden symbols:
// - The program image exports its __cxa_throw, so the dynamic linker binds every throw of the process to
//   it: the program's own, the C++ library's (std::out_of_range from at(), std::bad_alloc from new), the
//   runtime library's and those of plug-ins without a filter of their own.
// - A plug-in's version script keeps its __cxa_throw local, so it sees the throws of the plug-in's own
//   code. It reports them into the plug-in's log and passes them on to the process's throw entry, which is
//   the program's filter when the program has one: a throw inside a plug-in is reported once in each log,
//   and every other throw only in the program's.
// The entry saves the arguments, reports, and jumps on with the thrower's return address still on the stack
// (x86-64; elsewhere it calls on, and the next entry sees it as the thrower), so that the program's filter
// shows a plug-in's throw with the same address and call stack as the plug-in's. The program's entry goes
// on to the C++ runtime's, the next definition after the program. No exception is reported twice into one
// log.
//
// All state belongs to the module: two modules in one process each install their own handlers, the later
// one calling the earlier one's after its report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <typeinfo>

#include "comrt/exceptions.h"
#include "comrt/interfaces.h"
#include "comrt/types.h"
#include "corvane/uldebug.h"

namespace corvane {

// The error-records interface of the database access components: an error object that offers it carries a
// list of records, each an error object of its own, which a report of a thrown exception lists.
struct ERRORINFO {
    HRESULT hrError;
    DWORD dwMinor;
    CLSID clsid;
    IID iid;
    DISPID dispid;
};

struct IErrorRecords : IUnknown {
    static constexpr IID kIid = MakeGuid("0C733A67-2A1C-11CE-ADE5-00AA0044773D");
    virtual HRESULT AddErrorRecord(ERRORINFO* pErrorInfo, DWORD dwLookupID, DISPPARAMS* pdispparams,
                                   IUnknown* punkCustomError, DWORD dwDynamicErrorID) = 0;
    virtual HRESULT GetBasicErrorInfo(ULONG ulRecordNum, ERRORINFO* pErrorInfo) = 0;
    virtual HRESULT GetCustomErrorObject(ULONG ulRecordNum, REFIID riid, IUnknown** ppObject) = 0;
    virtual HRESULT GetErrorInfo(ULONG ulRecordNum, LCID lcid, IErrorInfo** ppErrorInfo) = 0;
    virtual HRESULT GetErrorParameters(ULONG ulRecordNum, DISPPARAMS* pdispparams) = 0;
    virtual HRESULT GetRecordCount(ULONG* pcRecords) = 0;
};

// The exception codes of the reports.
namespace ExceptionCode {
inline constexpr DWORD AccessViolation = EXCEPTION_ACCESS_VIOLATION;
inline constexpr DWORD StackOverflow = EXCEPTION_STACK_OVERFLOW;
inline constexpr DWORD IllegalInstruction = EXCEPTION_ILLEGAL_INSTRUCTION;
inline constexpr DWORD PrivilegedInstruction = EXCEPTION_PRIV_INSTRUCTION;
inline constexpr DWORD IntegerDivideByZero = EXCEPTION_INT_DIVIDE_BY_ZERO;
inline constexpr DWORD IntegerOverflow = EXCEPTION_INT_OVERFLOW;
inline constexpr DWORD FloatDivideByZero = EXCEPTION_FLT_DIVIDE_BY_ZERO;
inline constexpr DWORD FloatOverflow = EXCEPTION_FLT_OVERFLOW;
inline constexpr DWORD FloatUnderflow = EXCEPTION_FLT_UNDERFLOW;
inline constexpr DWORD FloatInexactResult = EXCEPTION_FLT_INEXACT_RESULT;
inline constexpr DWORD FloatInvalidOperation = EXCEPTION_FLT_INVALID_OPERATION;
inline constexpr DWORD ArrayBoundsExceeded = EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
inline constexpr DWORD FatalApplicationExit = EXCEPTION_FATAL_APP_EXIT;
inline constexpr DWORD Breakpoint = EXCEPTION_BREAKPOINT;
inline constexpr DWORD SingleStep = EXCEPTION_SINGLE_STEP;
inline constexpr DWORD InvalidSystemService = EXCEPTION_INVALID_SYSTEM_SERVICE;
// An exception thrown through the C++ runtime.
inline constexpr DWORD CxxException = 0xE06D7363;
}  // namespace ExceptionCode

// The first parameter of a thrown C++ exception.
inline constexpr std::uintptr_t CXX_EXCEPTION_MARKER = 0x19930520;
// The flag of an exception after which execution cannot continue.
inline constexpr DWORD EXCEPTION_FLAG_NONCONTINUABLE = EXCEPTION_NONCONTINUABLE;

}  // namespace corvane

class CExceptionFilter {
public:
    static constexpr DWORD MAXIMUM_PARAMETERS = EXCEPTION_MAXIMUM_PARAMETERS;
    // The most frames a report shows.
    static constexpr int CALL_STACK_FRAMES = 15;

    // What a report says about one exception.
    struct CRecord {
        DWORD nCode = 0;
        DWORD nFlags = 0;
        std::uintptr_t nAddress = 0;
        DWORD nParameterCount = 0;
        std::uintptr_t pnParameters[MAXIMUM_PARAMETERS] = {};
        // For a thrown exception, its type (the third parameter); reads the native value.
        const std::type_info* pType = nullptr;
        // The exception this one was raised while handling, or null.
        const CRecord* pNested = nullptr;
    };

    enum Kind : int {
        KIND_EXCEPTION = 0,            // "Exception": a thrown C++ exception
        KIND_UNHANDLED_EXCEPTION = 1,  // "Unhandled Exception": a crash
    };

    // One report. Lines go through the module's trace at level 1, each line of text as it stands. A report
    // made in a signal handler (bInSignalHandler) formats into fixed buffers and writes with
    // WriteInSignalHandler; frames then show mangled names.
    class CIssue {
    public:
        CIssue(Kind nKind, const CRecord& Record, const CDebugTraceCallStack::CContext& Stack,
               bool bInSignalHandler) noexcept
            : m_nKind(nKind), m_Record(Record), m_Stack(Stack), m_bInSignalHandler(bInSignalHandler) {}
        CIssue(const CIssue&) = delete;
        CIssue& operator=(const CIssue&) = delete;

        // The whole report: title, time and application, module, the record, the call stack, the nested
        // records and, for a thrown exception, the thread's error information.
        void Trace() noexcept;

        void TraceTimeAndApplication() noexcept;
        void TraceModule() noexcept;
        // "Code: ...", "Parameters: ..." and "Native Parameters: ..." of one record.
        void TraceRecord(const CRecord& Record) noexcept;
        void TraceCallStack() noexcept;
        void TraceCallStackFrame(std::uintptr_t nAddress) noexcept;
        // The thread's error information, left in place for whoever handles the exception.
        void TraceErrorInfoRecords() noexcept;

        // The creation time of the file at pszPath (its birth time where the file system records one, else
        // its last modification), universal time, as "dd.MM.yyyy, HH:mm"; empty when the file cannot be
        // found. Async-signal-safe.
        static void GetFileTimeString(const char* pszPath, char* pszText, std::size_t cchText) noexcept;
        // nSeconds since 1970 (universal time) as "dd.MM.yyyy, HH:mm".
        static void FormatFileTime(std::int64_t nSeconds, char* pszText, std::size_t cchText) noexcept;
        // The value "Native Parameters" shows for a thrown object of type pType at nObject; false when the
        // object cannot be read.
        static bool GetNativeValue(std::uintptr_t nObject, const std::type_info* pType, DWORD& nValue) noexcept;

    private:
        void WriteLine(const char* pszFormat, ...) noexcept __attribute__((format(printf, 2, 3)));

        Kind m_nKind;
        const CRecord& m_Record;
        const CDebugTraceCallStack::CContext& m_Stack;
        bool m_bInSignalHandler;
        char m_szLine[corvane::TRACE_LINE_SIZE];
    };

    // Installs the filter: the fatal-signal handlers (keeping the previous ones) and the report of thrown
    // exceptions. Installing twice is an assertion failure and changes nothing. True when both are in place;
    // when thrown exceptions cannot be reported the crash handlers stay and the result is false.
    static bool Initialize() noexcept;
    // Removes the filter: no more reports of thrown exceptions, the previous signal handlers back (for each
    // signal whose handler is still this module's) and the thread's previous alternate signal stack (when
    // called on the thread that installed the filter).
    static void Terminate() noexcept;
    static bool IsInstalled() noexcept;

    // The module's unhandled-exception filter, called by the fatal-signal handlers while the filter is
    // installed: a report of kind 1, unless the same fault was reported just before on the same thread.
    // Async-signal-safe; the signal then goes on as comrt/exceptions.h says.
    static LONG UnhandledExceptionFilter(EXCEPTION_POINTERS* pExceptionInfo) noexcept;
    // The report of a thrown exception (kind 0), called by the throw entry while the filter is installed.
    static void ExceptionFilter(const CRecord* pExceptionRecord,
                                const CDebugTraceCallStack::CContext* pContextRecord) noexcept;

    // Starts and stops reporting thrown exceptions; the caller holds the filter's lock.
    static bool HookCxxFrameHandler() noexcept;
    static void UnhookCxxFrameHandler() noexcept;

    // The record of a thrown exception.
    static void TranslateThrow(void* pvObject, const std::type_info* pType, std::uintptr_t nAddress,
                               CRecord& Record) noexcept;

    // Gives the calling thread an alternate signal stack unless it has one, so that its stack overflow can be
    // reported; the stack is released when the thread ends. False when none could be made.
    static bool InstallThreadSignalStack() noexcept;

    // The same for the lifetime of a scope that spans a thread's whole procedure: the stack is released when
    // the scope ends, before the thread is seen to end, so that nothing of this module is left to run after
    // the thread's handle is signalled (a library whose last thread has ended can be unloaded at once).
    class CThreadSignalStackScope {
    public:
        CThreadSignalStackScope() noexcept;
        ~CThreadSignalStackScope();
        CThreadSignalStackScope(const CThreadSignalStackScope&) = delete;
        CThreadSignalStackScope& operator=(const CThreadSignalStackScope&) = delete;

    private:
        bool m_bMade;
    };
};

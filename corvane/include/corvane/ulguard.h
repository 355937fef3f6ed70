// The exception guard. Inside the system a failure travels as a CHResultException carrying its HRESULT;
// at every boundary (COM method, thread procedure, plug-in entry point, D-Bus handler) one guard turns
// whatever was thrown back into an HRESULT and writes what it caught to the trace, so no exception leaves
// the boundary.
//
// A COM method:
//
//   HRESULT CScenario::get_Title(BSTR* psTitle) {
//       UL_GUARD_BEGIN
//       corvane::CheckPointer(psTitle);                // E_POINTER, after "Exception 0x80004003"
//       corvane::CheckArgument(m_sTitle.size() < 256);  // E_INVALIDARG
//       UL_CHECK(CopyTitle(psTitle));                   // "Check failed ..." and the code when it fails
//       UL_GUARD_END
//   }
//
// UL_GUARD_END returns S_OK when the body falls off its end; the body may also return a code itself.
// Other boundaries use the same classification through GuardedCall:
//
//   HRESULT hr = corvane::GuardedCall([&] { Run(); });
//
// What the guard answers, and writes at level 1:
//   CHResultException       its HRESULT    "An exception 0x%08x (%s) has been caught" with the code's text
//   std::bad_alloc          E_OUTOFMEMORY  the same line for E_OUTOFMEMORY
//   anything else           E_UNEXPECTED   "An exception has been caught"
// E_UNEXPECTED, not E_FAIL, for foreign exceptions: they are programming faults rather than failures of
// the operation, and the class factories answer them the same way.
//
// Internal operations that must not fail use GuardedOperation (or UL_CATCH_ALL_BEGIN/END), which writes
// "An exception has been caught" whatever was thrown, and goes on.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "comrt/types.h"
#include "corvane/uldebug.h"

namespace corvane {

// An HRESULT raised as an exception.
class CHResultException : public std::exception {
public:
    explicit CHResultException(HRESULT nResult) noexcept : m_nResult(nResult) {}
    HRESULT GetResult() const noexcept { return m_nResult; }
    const char* what() const noexcept override { return "HRESULT exception"; }

private:
    HRESULT m_nResult;
};

// Writes "Exception 0x%08x" at level 2 with the caller's location, then throws CHResultException(nResult).
[[noreturn]] void ThrowHResult(HRESULT nResult, const char* pszSourcePath = __builtin_FILE(),
                               int nLine = __builtin_LINE(), const char* pszFunctionName = __builtin_FUNCTION());

// A missing out-pointer (or a required in-pointer): E_POINTER.
inline void CheckPointer(const void* p, const char* pszSourcePath = __builtin_FILE(), int nLine = __builtin_LINE(),
                         const char* pszFunctionName = __builtin_FUNCTION()) {
    if (p == nullptr) ThrowHResult(E_POINTER, pszSourcePath, nLine, pszFunctionName);
}

// A bad in-argument: E_INVALIDARG.
inline void CheckArgument(bool bValid, const char* pszSourcePath = __builtin_FILE(), int nLine = __builtin_LINE(),
                          const char* pszFunctionName = __builtin_FUNCTION()) {
    if (!bValid) ThrowHResult(E_INVALIDARG, pszSourcePath, nLine, pszFunctionName);
}

// Writes "Check failed 0x%08x in <expression>" at level 1 and raises nResult.
[[noreturn]] void CheckFailed(HRESULT nResult, const char* pszExpression, const char* pszSourcePath, int nLine,
                              const char* pszFunctionName);

inline HRESULT CheckResult(HRESULT nResult, const char* pszExpression, const char* pszSourcePath, int nLine,
                           const char* pszFunctionName) {
    if (FAILED(nResult)) CheckFailed(nResult, pszExpression, pszSourcePath, nLine, pszFunctionName);
    return nResult;
}

// Call only inside a catch block: classifies the exception being handled as the table above says, writes
// the caught line at nLevel with Context and answers the HRESULT.
HRESULT CatchException(const CDebugTraceLocalContext& Context, UINT nLevel = TRACE_LEVEL_FAILURE) noexcept;
// Call only inside a catch block: writes "An exception has been caught" at nLevel.
void CatchAll(const CDebugTraceLocalContext& Context, UINT nLevel = TRACE_LEVEL_FAILURE) noexcept;

// Runs Body (returning void or HRESULT) and answers its HRESULT, or that of what it threw.
template <class Body>
HRESULT GuardedCall(Body&& body, const char* pszSourcePath = __builtin_FILE(), int nLine = __builtin_LINE(),
                    const char* pszFunctionName = __builtin_FUNCTION()) noexcept {
    using Result = std::invoke_result_t<Body&>;
    static_assert(std::is_void_v<Result> || std::is_same_v<Result, HRESULT>, "the body returns void or HRESULT");
    try {
        if constexpr (std::is_void_v<Result>) {
            body();
            return S_OK;
        } else {
            return body();
        }
    } catch (...) {
        return CatchException(CDebugTraceLocalContext(pszSourcePath, nLine, pszFunctionName));
    }
}

// Runs an internal operation that must not fail: true when it completed, false when it threw (written).
template <class Operation>
bool GuardedOperation(Operation&& operation, const char* pszSourcePath = __builtin_FILE(), int nLine = __builtin_LINE(),
                      const char* pszFunctionName = __builtin_FUNCTION()) noexcept {
    try {
        operation();
        return true;
    } catch (...) {
        CatchAll(CDebugTraceLocalContext(pszSourcePath, nLine, pszFunctionName));
        return false;
    }
}

}  // namespace corvane

// Checks an HRESULT expression: its value when it succeeded, raised after "Check failed" when it failed.
#define UL_CHECK(...) ::corvane::CheckResult((__VA_ARGS__), #__VA_ARGS__, __FILE__, __LINE__, __func__)

// The body of a method returning HRESULT.
#define UL_GUARD_BEGIN try {
#define UL_GUARD_END                                  \
    }                                                 \
    catch (...) {                                     \
        return ::corvane::CatchException(UL_CONTEXT); \
    }                                                 \
    return S_OK;

// A block that must not let an exception out.
#define UL_CATCH_ALL_BEGIN try {
#define UL_CATCH_ALL_END                 \
    }                                    \
    catch (...) {                        \
        ::corvane::CatchAll(UL_CONTEXT); \
    }

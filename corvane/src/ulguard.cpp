// The exception guard: raising HRESULTs with their trace line, and classifying what a guard caught.
#include "corvane/ulguard.h"

#include <new>
#include <string>

#include "comrt/runtime.h"
#include "comrt/text.h"

namespace corvane {
namespace {

void TraceCaughtResult(const CDebugTraceLocalContext& Context, UINT nLevel, HRESULT nResult) noexcept {
    if (!IsTraceLevelWritten(nLevel)) return;
    std::string sMessage;
    try {
        sMessage = comrt::ToUtf8(FormatSystemMessage(nResult));
    } catch (...) {
        // Without memory for the text the line is written with an empty one.
    }
    Context.Write(nLevel, TraceText::ResultExceptionCaught, static_cast<unsigned>(nResult), sMessage.c_str());
}

}  // namespace

void ThrowHResult(HRESULT nResult, const char* pszSourcePath, int nLine, const char* pszFunctionName) {
    CDebugTraceLocalContext(pszSourcePath, nLine, pszFunctionName)
        .Write(TRACE_LEVEL_ERROR, TraceText::Exception, static_cast<unsigned>(nResult));
    throw CHResultException(nResult);
}

void CheckFailed(HRESULT nResult, const char* pszExpression, const char* pszSourcePath, int nLine,
                 const char* pszFunctionName) {
    CDebugTraceLocalContext(pszSourcePath, nLine, pszFunctionName)
        .Write(TRACE_LEVEL_FAILURE, TraceText::CheckFailed, static_cast<unsigned>(nResult),
               pszExpression != nullptr ? pszExpression : "");
    ThrowHResult(nResult, pszSourcePath, nLine, pszFunctionName);
}

HRESULT CatchException(const CDebugTraceLocalContext& Context, UINT nLevel) noexcept {
    if (!std::current_exception()) return E_UNEXPECTED;
    try {
        throw;
    } catch (const CHResultException& Exception) {
        TraceCaughtResult(Context, nLevel, Exception.GetResult());
        return Exception.GetResult();
    } catch (const std::bad_alloc&) {
        TraceCaughtResult(Context, nLevel, E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    } catch (...) {
        Context.Write(nLevel, TraceText::ExceptionCaught);
        return E_UNEXPECTED;
    }
}

void CatchAll(const CDebugTraceLocalContext& Context, UINT nLevel) noexcept {
    Context.Write(nLevel, TraceText::ExceptionCaught);
}

}  // namespace corvane

// The exception filter's report: its lines, formatted into fixed buffers so that a fatal-signal handler can
// write them as well.
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <cstdarg>
#include <string>

#include "comrt/files.h"
#include "comrt/oleauto.h"
#include "comrt/runtime.h"
#include "comrt/sync.h"
#include "comrt/text.h"
#include "corvane/ulexception.h"
#include "corvane/ulguard.h"
#include "corvane/ulmodule.h"

using namespace corvane;

namespace {

constexpr char KIND_EXCEPTION_TEXT[] = "Exception";
constexpr char KIND_UNHANDLED_EXCEPTION_TEXT[] = "Unhandled Exception";

// The module's version as "%d.%d.%d.%d" from the build's version text; empty when it is no such text.
// Parsed by hand: sscanf is not for signal handlers.
void FormatModuleVersion(char* pszText, std::size_t cchText) noexcept {
    const char* psz = CORVANE_VERSION_TEXT;
    int pnParts[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (*psz < '0' || *psz > '9') {
            pszText[0] = 0;
            return;
        }
        while (*psz >= '0' && *psz <= '9' && pnParts[i] < 100000) pnParts[i] = pnParts[i] * 10 + (*psz++ - '0');
        if (*psz != (i < 3 ? '.' : 0)) {
            pszText[0] = 0;
            return;
        }
        if (i < 3) ++psz;
    }
    snprintf(pszText, cchText, "%d.%d.%d.%d", pnParts[0], pnParts[1], pnParts[2], pnParts[3]);
}

const char* FileNameOf(const char* pszPath) noexcept {
    const char* pszSlash = strrchr(pszPath, '/');
    return pszSlash != nullptr ? pszSlash + 1 : pszPath;
}

// Copies cb bytes at nAddress of this process into pvTarget, through the kernel, so that an address that is
// not readable fails instead of faulting (and the sanitizers do not take a look beyond an object as a bug).
bool ReadMemory(std::uintptr_t nAddress, void* pvTarget, std::size_t cb) noexcept {
    return ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(nAddress), pvTarget, cb, nullptr) !=
           FALSE;
}

// "GUID {...}, Source ..., Description ..." of an error object, the parts it has.
std::string DescribeErrorInfo(IErrorInfo* pErrorInfo) {
    std::string sText;
    const auto Add = [&sText](const std::string& sPart) {
        if (!sText.empty()) sText += ", ";
        sText += sPart;
    };
    GUID Guid = GUID_NULL;
    if (SUCCEEDED(pErrorInfo->GetGUID(&Guid)) && !IsEqualGUID(Guid, GUID_NULL)) {
        OLECHAR szGuid[40] = {};
        if (StringFromGUID2(Guid, szGuid, 40) > 0) Add("GUID " + comrt::ToUtf8(szGuid));
    }
    BSTR sSource = nullptr;
    if (SUCCEEDED(pErrorInfo->GetSource(&sSource)) && sSource != nullptr && sSource[0] != 0)
        Add("Source " + comrt::ToUtf8(sSource));
    SysFreeString(sSource);
    BSTR sDescription = nullptr;
    if (SUCCEEDED(pErrorInfo->GetDescription(&sDescription)) && sDescription != nullptr && sDescription[0] != 0)
        Add("Description " + comrt::ToUtf8(sDescription));
    SysFreeString(sDescription);
    return sText.empty() ? std::string("(no details)") : sText;
}

}  // namespace

void CExceptionFilter::CIssue::WriteLine(const char* pszFormat, ...) noexcept {
    std::va_list Arguments;
    va_start(Arguments, pszFormat);
    const int nFormatted = vsnprintf(m_szLine, sizeof(m_szLine), pszFormat, Arguments);
    va_end(Arguments);
    if (nFormatted < 0) return;
    // The text goes through as an argument, so that a "%" in it stays as it is.
    const CDebugTraceLocalContext Context(nullptr, 0, nullptr);
    if (m_bInSignalHandler)
        Context.WriteInSignalHandler(TRACE_LEVEL_FAILURE, "%s\n", m_szLine);
    else
        Context.Write(TRACE_LEVEL_FAILURE, "%s\n", m_szLine);
}

void CExceptionFilter::CIssue::Trace() noexcept {
    WriteLine("*** %s", m_nKind == KIND_EXCEPTION ? KIND_EXCEPTION_TEXT : KIND_UNHANDLED_EXCEPTION_TEXT);
    TraceTimeAndApplication();
    TraceModule();
    TraceRecord(m_Record);
    TraceCallStack();
    for (const CRecord* pNested = m_Record.pNested; pNested != nullptr; pNested = pNested->pNested) {
        WriteLine("** Nested Exception");
        TraceRecord(*pNested);
    }
    if (m_nKind == KIND_EXCEPTION) TraceErrorInfoRecords();
}

void CExceptionFilter::CIssue::TraceTimeAndApplication() noexcept {
    const TraceEnvironment& Environment = GetTraceEnvironment();
    std::tm Time{};
    GetTraceLocalTime(&Time, m_bInSignalHandler);
    // The locale's date and time forms; strftime needs neither allocation nor locks for them.
    char szDate[64];
    char szTime[64];
    if (strftime(szDate, sizeof(szDate), "%x", &Time) == 0) szDate[0] = 0;
    if (strftime(szTime, sizeof(szTime), "%X", &Time) == 0) szTime[0] = 0;
    WriteLine("Process: 0x%08x, Thread: 0x%08x, Date: %s, Time: %s, Application: %s",
              static_cast<unsigned>(Environment.pfnProcessIdentifier()),
              static_cast<unsigned>(Environment.pfnThreadIdentifier()), szDate, szTime,
              FileNameOf(GetProcessImagePath()));
}

void CExceptionFilter::CIssue::TraceModule() noexcept {
    char szVersion[64];
    FormatModuleVersion(szVersion, sizeof(szVersion));
    char szFileTime[64];
    GetFileTimeString(GetModulePath(), szFileTime, sizeof(szFileTime));
    WriteLine("Module: %s, Product Version: %s, File Version: %s, File Time: %s", GetModuleFileName(), szVersion,
              szVersion, szFileTime);
}

void CExceptionFilter::CIssue::TraceRecord(const CRecord& Record) noexcept {
    WriteLine("Code: 0x%08x, Flags: 0x%08x, Address: 0x%08" PRIxPTR, static_cast<unsigned>(Record.nCode),
              static_cast<unsigned>(Record.nFlags), Record.nAddress);
    const DWORD nCount = Record.nParameterCount < MAXIMUM_PARAMETERS ? Record.nParameterCount : MAXIMUM_PARAMETERS;
    if (nCount > 0) {
        char szParameters[32 * MAXIMUM_PARAMETERS];
        std::size_t cch = 0;
        for (DWORD i = 0; i < nCount; ++i) {
            const int nFormatted =
                snprintf(szParameters + cch, sizeof(szParameters) - cch,
                         i == 0 ? "Parameters: 0x%08" PRIxPTR : ", 0x%08" PRIxPTR, Record.pnParameters[i]);
            if (nFormatted < 0 || cch + static_cast<std::size_t>(nFormatted) >= sizeof(szParameters)) break;
            cch += static_cast<std::size_t>(nFormatted);
        }
        WriteLine("%s", szParameters);
    }
    DWORD nNativeValue = 0;
    if (Record.nCode == ExceptionCode::CxxException && nCount >= 2 &&
        GetNativeValue(Record.pnParameters[1], Record.pType, nNativeValue))
        WriteLine("Native Parameters: 0x%08x, ...", static_cast<unsigned>(nNativeValue));
}

void CExceptionFilter::CIssue::TraceCallStack() noexcept {
    const int nCount = m_Stack.nFrameCount < CALL_STACK_FRAMES ? m_Stack.nFrameCount : CALL_STACK_FRAMES;
    if (nCount <= 0) return;
    WriteLine("** Call Stack");
    // All frames at once: one symbol lookup for the stack.
    if (m_bInSignalHandler) {
        CDebugTraceCallStack::DescribeFramesInSignalHandler(
            m_Stack.pnFrames, nCount,
            [](void* pvIssue, const char* pszFrame) { static_cast<CIssue*>(pvIssue)->WriteLine("%s", pszFrame); },
            this);
        return;
    }
    try {
        for (const auto& Frame : CDebugTraceCallStack::DescribeFrames(m_Stack.pnFrames, nCount))
            WriteLine("%s", Frame.Format().c_str());
    } catch (...) {
        // Without memory for the names the frames are left out.
    }
}

void CExceptionFilter::CIssue::TraceCallStackFrame(std::uintptr_t nAddress) noexcept {
    if (m_bInSignalHandler) {
        CDebugTraceCallStack::DescribeFramesInSignalHandler(
            &nAddress, 1,
            [](void* pvIssue, const char* pszFrame) { static_cast<CIssue*>(pvIssue)->WriteLine("%s", pszFrame); },
            this);
        return;
    }
    try {
        WriteLine("%s", CDebugTraceCallStack::DescribeFrame(nAddress).Format().c_str());
    } catch (...) {
        // Without memory for the names the frame is left out.
    }
}

void CExceptionFilter::CIssue::TraceErrorInfoRecords() noexcept {
    IErrorInfo* pErrorInfo = nullptr;
    if (GetErrorInfo(0, &pErrorInfo) != S_OK || pErrorInfo == nullptr) return;
    try {
        WriteLine("** Error Information");
        WriteLine("%s", DescribeErrorInfo(pErrorInfo).c_str());
        IErrorRecords* pErrorRecords = nullptr;
        if (SUCCEEDED(pErrorInfo->QueryInterface(IidOf<IErrorRecords>(), reinterpret_cast<void**>(&pErrorRecords))) &&
            pErrorRecords != nullptr) {
            ULONG nRecordCount = 0;
            if (SUCCEEDED(pErrorRecords->GetRecordCount(&nRecordCount))) {
                for (ULONG i = 0; i < nRecordCount; ++i) {
                    IErrorInfo* pRecord = nullptr;
                    if (FAILED(pErrorRecords->GetErrorInfo(i, LOCALE_USER_DEFAULT, &pRecord)) || pRecord == nullptr)
                        continue;
                    try {
                        WriteLine("Error Record %d: %s", static_cast<int>(i + 1), DescribeErrorInfo(pRecord).c_str());
                    } catch (...) {
                        pRecord->Release();
                        throw;
                    }
                    pRecord->Release();
                }
            } else {
                AssertionFailed(UL_CONTEXT, "SUCCEEDED(pErrorRecords->GetRecordCount(&nRecordCount))");
            }
            pErrorRecords->Release();
        }
    } catch (...) {
        // Out of memory: the report ends here.
    }
    // The error information stays for whoever handles the exception.
    SetErrorInfo(0, pErrorInfo);
    pErrorInfo->Release();
}

void CExceptionFilter::CIssue::GetFileTimeString(const char* pszPath, char* pszText, std::size_t cchText) noexcept {
    if (pszText == nullptr || cchText == 0) return;
    pszText[0] = 0;
    // File systems that record no birth time give the last modification, the time the build wrote the file.
    std::int64_t nSeconds = 0;
    if (!comrt::GetFileCreationTime(pszPath, &nSeconds)) return;
    FormatFileTime(nSeconds, pszText, cchText);
}

void CExceptionFilter::CIssue::FormatFileTime(std::int64_t nSeconds, char* pszText, std::size_t cchText) noexcept {
    if (pszText == nullptr || cchText == 0) return;
    std::tm Time{};
    SplitUniversalTime(nSeconds, &Time);
    if (snprintf(pszText, cchText, "%02d.%02d.%04d, %02d:%02d", Time.tm_mday, Time.tm_mon + 1, Time.tm_year + 1900,
                 Time.tm_hour, Time.tm_min) < 0)
        pszText[0] = 0;
}

bool CExceptionFilter::CIssue::GetNativeValue(std::uintptr_t nObject, const std::type_info* pType,
                                              DWORD& nValue) noexcept {
    if (nObject == 0) return false;
    // The system's own exceptions show their HRESULT, wherever the class keeps it.
    void* pvObject = reinterpret_cast<void*>(nObject);
    if (pType != nullptr && typeid(CHResultException).__do_catch(pType, &pvObject, 1)) {
        nValue = static_cast<DWORD>(static_cast<const CHResultException*>(pvObject)->GetResult());
        return true;
    }
    return ReadMemory(nObject, &nValue, sizeof(nValue));
}

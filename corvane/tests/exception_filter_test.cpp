// The exception filter: reports of thrown exceptions with their error information, and installing and
// removing the filter. Crashes are in exception_filter_crash_test.cpp; the signal code table and the
// handlers' own installation are the runtime's (platform/tests/exception_filter_signal_test.cpp).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comrt/oleauto.h"
#include "comrt/runtime.h"
#include "corvane/ulexception.h"
#include "corvane/ulguard.h"
#include "corvane/ulmodule.h"
#include "exceptionreport.h"

using corvane::CHResultException;
using exceptionreport::AddressOf;
using exceptionreport::ExceptionFilterTest;
using exceptionreport::FindReports;
using exceptionreport::FramesOf;
using exceptionreport::Hex;
using exceptionreport::ModuleLinePattern;
using exceptionreport::TimeAndApplication;

namespace {

[[gnu::noinline]] void ThrowInvalidArgument() {
    throw CHResultException(E_INVALIDARG);
}

[[gnu::noinline]] void ThrowAccessDenied() {
    throw CHResultException(E_ACCESSDENIED);
}

// A class that keeps another base before the HRESULT exception, so that the exception's part does not start
// at the object's address.
struct CPayload {
    virtual ~CPayload() = default;
    std::uint64_t nPayload = 0x1122334455667788;
};
struct CDerivedResultException : CPayload, CHResultException {
    CDerivedResultException() : CHResultException(E_OUTOFMEMORY) {}
};

// --- Thrown exceptions --------------------------------------------------------------------------------

TEST_F(ExceptionFilterTest, ThrownResultExceptionIsReportedBeforeItIsCaught) {
    ASSERT_TRUE(CExceptionFilter::Initialize());
    HRESULT nCaught = S_OK;
    try {
        ThrowInvalidArgument();
    } catch (const CHResultException& Exception) {
        nCaught = Exception.GetResult();
    }
    EXPECT_EQ(nCaught, E_INVALIDARG);

    const auto Found = Reports("Exception");
    ASSERT_EQ(Found.size(), 1u);
    const std::vector<std::string>& Report = Found[0];
    ASSERT_GE(Report.size(), 8u);
    EXPECT_EQ(Report[1], TimeAndApplication());
    EXPECT_TRUE(std::regex_match(Report[2], std::regex(ModuleLinePattern()))) << Report[2];
    EXPECT_TRUE(
        std::regex_match(Report[3], std::regex(R"(Code: 0xe06d7363, Flags: 0x00000001, Address: 0x[0-9a-f]{8,})")))
        << Report[3];
    // The address is the throw in the function that threw.
    EXPECT_NE(CDebugTraceCallStack::DescribeFrame(AddressOf(Report[3]) - 1).sSymbol.find("ThrowInvalidArgument"),
              std::string::npos);
    EXPECT_TRUE(
        std::regex_match(Report[4], std::regex("Parameters: 0x19930520, 0x[0-9a-f]{8,}, " +
                                               Hex(reinterpret_cast<std::uintptr_t>(&typeid(CHResultException))))))
        << Report[4];
    EXPECT_EQ(Report[5], "Native Parameters: 0x80070057, ...");
    EXPECT_EQ(Report[6], "** Call Stack");
    const std::vector<std::string> Frames = FramesOf(Report);
    ASSERT_FALSE(Frames.empty());
    EXPECT_LE(Frames.size(), static_cast<std::size_t>(CExceptionFilter::CALL_STACK_FRAMES));
    EXPECT_NE(Frames[0].find("(anonymous namespace)::ThrowInvalidArgument()"), std::string::npos) << Frames[0];
    EXPECT_TRUE(Frames[0].starts_with(std::string(corvane::GetModuleFileName()) + "!0x")) << Frames[0];
    EXPECT_NE(Frames[1].find("ThrownResultExceptionIsReportedBeforeItIsCaught"), std::string::npos) << Frames[1];
    // Without error information the report ends with the stack.
    EXPECT_EQ(Report.size(), 7u + Frames.size());
}

TEST_F(ExceptionFilterTest, RaisedErrorIsTracedThenReported) {
    ASSERT_TRUE(CExceptionFilter::Initialize());
    EXPECT_EQ(corvane::GuardedCall([] { corvane::CheckPointer(nullptr); }), E_POINTER);
    const std::vector<std::string> All = Lines();
    const auto itRaised =
        std::find_if(All.begin(), All.end(), [](const std::string& s) { return s.ends_with("Exception 0x80004003"); });
    const auto itReport = std::find(All.begin(), All.end(), "*** Exception");
    const auto itCaught = std::find_if(All.begin(), All.end(), [](const std::string& s) {
        return s.find("An exception 0x80004003") != std::string::npos;
    });
    ASSERT_NE(itReport, All.end());
    EXPECT_LT(itRaised, itReport);
    EXPECT_LT(itReport, itCaught);
    EXPECT_NE(std::find(itReport, itCaught, "Native Parameters: 0x80004003, ..."), itCaught);
}

TEST_F(ExceptionFilterTest, NativeParametersShowTheValueOfWhatWasThrown) {
    ASSERT_TRUE(CExceptionFilter::Initialize());
    try {
        throw CDerivedResultException();
    } catch (const CPayload&) {
    }
    try {
        throw 0x12345678;
    } catch (int) {
    }
    try {
        std::vector<int> Empty;
        static_cast<void>(Empty.at(3));
    } catch (const std::out_of_range&) {
    }
    const auto Found = Reports("Exception");
    ASSERT_EQ(Found.size(), 3u);
    // The HRESULT of a class derived from the system's exception, found at its place inside the object.
    EXPECT_NE(std::find(Found[0].begin(), Found[0].end(), "Native Parameters: 0x8007000e, ..."), Found[0].end());
    EXPECT_NE(std::find(Found[1].begin(), Found[1].end(), "Native Parameters: 0x12345678, ..."), Found[1].end());
    // The C++ library throws through the program's entry as well.
    EXPECT_EQ(std::count_if(Found[2].begin(), Found[2].end(),
                            [](const std::string& s) { return s.starts_with("Native Parameters: 0x"); }),
              1)
        << ::testing::PrintToString(Found[2]);
}

TEST_F(ExceptionFilterTest, ExceptionThrownWhileHandlingAnotherShowsItNested) {
    ASSERT_TRUE(CExceptionFilter::Initialize());
    try {
        try {
            ThrowInvalidArgument();
        } catch (const CHResultException&) {
            ThrowAccessDenied();
        }
    } catch (const CHResultException& Exception) {
        EXPECT_EQ(Exception.GetResult(), E_ACCESSDENIED);
    }
    const auto Found = Reports("Exception");
    ASSERT_EQ(Found.size(), 2u);
    EXPECT_EQ(std::find(Found[0].begin(), Found[0].end(), "** Nested Exception"), Found[0].end());

    const std::vector<std::string>& Report = Found[1];
    EXPECT_EQ(Report[5], "Native Parameters: 0x80070005, ...");
    const auto itNested = std::find(Report.begin(), Report.end(), "** Nested Exception");
    ASSERT_NE(itNested, Report.end());
    ASSERT_GE(Report.end() - itNested, 4);
    // The nested record is the first exception: its address and value.
    EXPECT_EQ(itNested[1], Found[0][3]);
    EXPECT_EQ(itNested[2], Found[0][4]);
    EXPECT_EQ(itNested[3], "Native Parameters: 0x80070057, ...");
    EXPECT_GT(itNested - std::find(Report.begin(), Report.end(), "** Call Stack"), 1);
}

TEST_F(ExceptionFilterTest, RethrowingIsNotReportedAgain) {
    ASSERT_TRUE(CExceptionFilter::Initialize());
    try {
        try {
            ThrowInvalidArgument();
        } catch (...) {
            throw;
        }
    } catch (...) {
    }
    std::exception_ptr pCaught;
    try {
        throw 7;
    } catch (...) {
        pCaught = std::current_exception();
    }
    try {
        std::rethrow_exception(pCaught);
    } catch (int) {
    }
    EXPECT_EQ(Reports("Exception").size(), 2u);
}

TEST_F(ExceptionFilterTest, NothingIsReportedWhileNotInstalled) {
    try {
        ThrowInvalidArgument();
    } catch (...) {
    }
    ASSERT_TRUE(CExceptionFilter::Initialize());
    CExceptionFilter::Terminate();
    EXPECT_FALSE(CExceptionFilter::IsInstalled());
    try {
        ThrowInvalidArgument();
    } catch (...) {
    }
    EXPECT_TRUE(Reports("Exception").empty());
}

TEST_F(ExceptionFilterTest, InstallingTwiceIsAnAssertionAndChangesNothing) {
    ASSERT_TRUE(CExceptionFilter::Initialize());
    struct sigaction Before {};
    sigaction(SIGSEGV, nullptr, &Before);
    EXPECT_FALSE(CExceptionFilter::Initialize());
    EXPECT_TRUE(CExceptionFilter::IsInstalled());
    const std::vector<std::string> All = Lines();
    ASSERT_FALSE(All.empty());
    EXPECT_NE(All[0].find("Assertion failed: !g_pExceptionFilter, call stack follows:"), std::string::npos) << All[0];
    // Removing once removes it: the first installation's previous handlers come back.
    CExceptionFilter::Terminate();
    EXPECT_FALSE(CExceptionFilter::IsInstalled());
    struct sigaction After {};
    sigaction(SIGSEGV, nullptr, &After);
    EXPECT_FALSE((After.sa_flags & SA_SIGINFO) != 0 && After.sa_sigaction == Before.sa_sigaction);
}

TEST_F(ExceptionFilterTest, DirectCallWithoutInformationIsAnAssertion) {
    EXPECT_EQ(CExceptionFilter::UnhandledExceptionFilter(nullptr), EXCEPTION_CONTINUE_SEARCH);
    CExceptionFilter::ExceptionFilter(nullptr, nullptr);
    const std::vector<std::string> All = Lines();
    const auto Has = [&All](const std::string& sText) {
        return std::any_of(All.begin(), All.end(), [&](const std::string& s) { return s.find(sText) != s.npos; });
    };
    EXPECT_TRUE(Has("Assertion failed: pExceptionInfo, call stack follows:"));
    EXPECT_TRUE(Has("Assertion failed: pExceptionRecord && pContextRecord, call stack follows:"));
    EXPECT_TRUE(FindReports(All, "Unhandled Exception").empty());
}

TEST_F(ExceptionFilterTest, HookFunctionsExpectTheLockHeld) {
    CExceptionFilter::UnhookCxxFrameHandler();
    const std::vector<std::string> All = Lines();
    ASSERT_FALSE(All.empty());
    EXPECT_NE(All[0].find("Assertion failed: VerifyCriticalSectionLocked(g_CriticalSection), call stack follows:"),
              std::string::npos)
        << All[0];
}

// --- Error information --------------------------------------------------------------------------------

// An error object that also offers error records.
class CErrorRecordsObject : public IErrorInfo, public corvane::IErrorRecords {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IidOf<IUnknown>()) || IsEqualIID(riid, IidOf<IErrorInfo>()))
            *ppv = static_cast<IErrorInfo*>(this);
        else if (IsEqualIID(riid, IidOf<corvane::IErrorRecords>()))
            *ppv = static_cast<corvane::IErrorRecords*>(this);
        else
            return *ppv = nullptr, E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override { return --m_nReferences; }

    HRESULT GetGUID(GUID* pGUID) override { return *pGUID = GUID_NULL, S_OK; }
    HRESULT GetSource(BSTR* psSource) override { return *psSource = nullptr, S_OK; }
    HRESULT GetDescription(BSTR* psDescription) override { return *psDescription = nullptr, S_OK; }
    HRESULT GetHelpFile(BSTR* psHelpFile) override { return *psHelpFile = nullptr, S_OK; }
    HRESULT GetHelpContext(DWORD* pnContext) override { return *pnContext = 0, S_OK; }

    HRESULT AddErrorRecord(corvane::ERRORINFO*, DWORD, DISPPARAMS*, IUnknown*, DWORD) override { return E_NOTIMPL; }
    HRESULT GetBasicErrorInfo(ULONG, corvane::ERRORINFO*) override { return E_NOTIMPL; }
    HRESULT GetCustomErrorObject(ULONG, REFIID, IUnknown**) override { return E_NOTIMPL; }
    HRESULT GetErrorInfo(ULONG nRecord, LCID nLocale, IErrorInfo** ppErrorInfo) override {
        m_Locales.push_back(nLocale);
        if (nRecord >= m_Records.size()) return E_INVALIDARG;
        *ppErrorInfo = m_Records[nRecord];
        (*ppErrorInfo)->AddRef();
        return S_OK;
    }
    HRESULT GetErrorParameters(ULONG, DISPPARAMS*) override { return E_NOTIMPL; }
    HRESULT GetRecordCount(ULONG* pnCount) override {
        *pnCount = static_cast<ULONG>(m_Records.size());
        return m_nCountResult;
    }

    std::vector<IErrorInfo*> m_Records;
    HRESULT m_nCountResult = S_OK;
    std::vector<LCID> m_Locales;
    ULONG m_nReferences = 1;
};

// A system error object with the given parts.
IErrorInfo* MakeErrorInfo(const GUID& Guid, std::u16string sSource, std::u16string sDescription) {
    ICreateErrorInfo* pCreate = nullptr;
    if (FAILED(CreateErrorInfo(&pCreate))) return nullptr;
    pCreate->SetGUID(Guid);
    pCreate->SetSource(sSource.data());
    pCreate->SetDescription(sDescription.data());
    IErrorInfo* pErrorInfo = nullptr;
    pCreate->QueryInterface(IidOf<IErrorInfo>(), reinterpret_cast<void**>(&pErrorInfo));
    pCreate->Release();
    return pErrorInfo;
}

constexpr GUID ERROR_GUID = MakeGuid("{2050A88A-CCDC-4C35-90F2-3F04AF942EAD}");

TEST_F(ExceptionFilterTest, PendingErrorInformationIsReportedAndLeftInPlace) {
    IErrorInfo* pErrorInfo = MakeErrorInfo(ERROR_GUID, u"Scenario", u"50% of the checks failed");
    ASSERT_NE(pErrorInfo, nullptr);
    SetErrorInfo(0, pErrorInfo);
    ASSERT_TRUE(CExceptionFilter::Initialize());
    try {
        ThrowInvalidArgument();
    } catch (...) {
    }
    const auto Found = Reports("Exception");
    ASSERT_EQ(Found.size(), 1u);
    const std::vector<std::string>& Report = Found[0];
    ASSERT_GE(Report.size(), 2u);
    EXPECT_EQ(Report[Report.size() - 2], "** Error Information");
    // The "%" of the description is written as it stands.
    EXPECT_EQ(Report.back(),
              "GUID {2050A88A-CCDC-4C35-90F2-3F04AF942EAD}, Source Scenario, Description 50% of the checks failed");

    IErrorInfo* pAfter = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &pAfter), S_OK);
    EXPECT_EQ(pAfter, pErrorInfo);
    if (pAfter != nullptr) pAfter->Release();
    pErrorInfo->Release();
}

TEST_F(ExceptionFilterTest, ErrorRecordsAreListedOnePerLine) {
    CErrorRecordsObject Records;
    IErrorInfo* pFirst = MakeErrorInfo(GUID_NULL, u"Store", u"Disk full");
    IErrorInfo* pSecond = MakeErrorInfo(GUID_NULL, u"", u"");
    ASSERT_TRUE(pFirst != nullptr && pSecond != nullptr);
    Records.m_Records = {pFirst, pSecond};
    SetErrorInfo(0, &Records);
    ASSERT_TRUE(CExceptionFilter::Initialize());
    try {
        ThrowInvalidArgument();
    } catch (...) {
    }
    const auto Found = Reports("Exception");
    ASSERT_EQ(Found.size(), 1u);
    const std::vector<std::string> Tail(Found[0].end() - 4, Found[0].end());
    EXPECT_EQ(Tail, (std::vector<std::string>{"** Error Information", "(no details)",
                                              "Error Record 1: Source Store, Description Disk full",
                                              "Error Record 2: (no details)"}));
    EXPECT_EQ(Records.m_Locales, (std::vector<LCID>{LOCALE_USER_DEFAULT, LOCALE_USER_DEFAULT}));
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(Records.m_nReferences, 1u);
    pFirst->Release();
    pSecond->Release();
}

TEST_F(ExceptionFilterTest, FailingRecordCountIsAnAssertion) {
    CErrorRecordsObject Records;
    Records.m_nCountResult = E_FAIL;
    SetErrorInfo(0, &Records);
    ASSERT_TRUE(CExceptionFilter::Initialize());
    try {
        ThrowInvalidArgument();
    } catch (...) {
    }
    const std::vector<std::string> All = Lines();
    EXPECT_TRUE(std::any_of(All.begin(), All.end(), [](const std::string& s) {
        return s.find(
                   "Assertion failed: SUCCEEDED(pErrorRecords->GetRecordCount(&nRecordCount)), call stack "
                   "follows:") != std::string::npos;
    }));
    EXPECT_TRUE(Records.m_Locales.empty());
    SetErrorInfo(0, nullptr);
}

// --- Formats and the signal table ---------------------------------------------------------------------

TEST(ExceptionFilterFormatTest, FileTimeIsUniversalDayMonthYearHoursMinutes) {
    char szText[64];
    CExceptionFilter::CIssue::FormatFileTime(1173276359, szText, sizeof(szText));
    EXPECT_STREQ(szText, "07.03.2007, 14:05");
    CExceptionFilter::CIssue::FormatFileTime(0, szText, sizeof(szText));
    EXPECT_STREQ(szText, "01.01.1970, 00:00");
    CExceptionFilter::CIssue::GetFileTimeString("/nonexistent/HarkwellServer", szText, sizeof(szText));
    EXPECT_STREQ(szText, "");
    CExceptionFilter::CIssue::GetFileTimeString("", szText, sizeof(szText));
    EXPECT_STREQ(szText, "");
    CExceptionFilter::CIssue::GetFileTimeString(corvane::GetModulePath(), szText, sizeof(szText));
    EXPECT_TRUE(std::regex_match(szText, std::regex(R"(\d{2}\.\d{2}\.\d{4}, \d{2}:\d{2})"))) << szText;
}

TEST(ExceptionFilterFormatTest, UniversalTimeSplitsAsTheLibraryDoes) {
    const std::int64_t pnSeconds[] = {0,          -1,         951782400,  951868799,    951868800,
                                      1173276359, 4107542400, 4107628800, -86400 * 366, 253402300799};
    for (std::int64_t nSeconds : pnSeconds) {
        std::tm Expected{};
        const time_t nTime = static_cast<time_t>(nSeconds);
        gmtime_r(&nTime, &Expected);
        std::tm Split{};
        corvane::SplitUniversalTime(nSeconds, &Split);
        EXPECT_EQ(Split.tm_year, Expected.tm_year) << nSeconds;
        EXPECT_EQ(Split.tm_mon, Expected.tm_mon) << nSeconds;
        EXPECT_EQ(Split.tm_mday, Expected.tm_mday) << nSeconds;
        EXPECT_EQ(Split.tm_hour, Expected.tm_hour) << nSeconds;
        EXPECT_EQ(Split.tm_min, Expected.tm_min) << nSeconds;
        EXPECT_EQ(Split.tm_sec, Expected.tm_sec) << nSeconds;
        EXPECT_EQ(Split.tm_wday, Expected.tm_wday) << nSeconds;
        EXPECT_EQ(Split.tm_yday, Expected.tm_yday) << nSeconds;
    }
}

// --- The filter of the fatal-signal handlers ----------------------------------------------------------

EXCEPTION_RECORD MemoryFault(DWORD nCode, std::uintptr_t nAddress, std::uintptr_t nFaultAddress) {
    EXCEPTION_RECORD Record{};
    Record.ExceptionCode = nCode;
    Record.ExceptionAddress = nAddress;
    Record.NumberParameters = 2;
    Record.ExceptionInformation[0] = 1;
    Record.ExceptionInformation[1] = nFaultAddress;
    return Record;
}

// The report of a record as the handlers pass it, and the rule that the same fault coming back on the same
// thread is reported once.
TEST_F(ExceptionFilterTest, RecordOfTheHandlersIsReportedOnceWhileTheSameFaultComesBack) {
    ASSERT_TRUE(CExceptionFilter::Initialize());
    EXCEPTION_RECORD Record = MemoryFault(EXCEPTION_ACCESS_VIOLATION, 0x401a2b, 0x10);
    CONTEXT Context{};
    EXCEPTION_POINTERS Pointers{&Record, &Context};
    EXPECT_EQ(CExceptionFilter::UnhandledExceptionFilter(&Pointers), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(CExceptionFilter::UnhandledExceptionFilter(&Pointers), EXCEPTION_CONTINUE_SEARCH);
    std::vector<std::vector<std::string>> Found = Reports("Unhandled Exception");
    ASSERT_EQ(Found.size(), 1u);
    const std::string sReport = [&] {
        std::string sAll;
        for (const std::string& sLine : Found[0]) sAll += sLine + "\n";
        return sAll;
    }();
    EXPECT_NE(sReport.find("Code: 0xc0000005, Flags: 0x00000000, Address: 0x00401a2b"), std::string::npos) << sReport;

    // Another faulting address, another code or another thread: a new fault.
    Record.ExceptionInformation[1] = 0x20;
    CExceptionFilter::UnhandledExceptionFilter(&Pointers);
    Record.ExceptionCode = EXCEPTION_STACK_OVERFLOW;
    CExceptionFilter::UnhandledExceptionFilter(&Pointers);
    std::thread([&] { CExceptionFilter::UnhandledExceptionFilter(&Pointers); }).join();
    EXPECT_EQ(Reports("Unhandled Exception").size(), 4u);
    CExceptionFilter::Terminate();

    // Removed, the filter reports nothing even when called.
    Record.ExceptionCode = EXCEPTION_BREAKPOINT;
    EXPECT_EQ(CExceptionFilter::UnhandledExceptionFilter(&Pointers), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(Reports("Unhandled Exception").size(), 4u);
}

// --- Thread signal stacks -----------------------------------------------------------------------------

TEST(ExceptionFilterThreadTest, ThreadSignalStackIsMadeOnceAndReleasedWithTheThread) {
    std::thread Worker([] {
        // The sanitizers give every thread a stack of their own; it comes back at the end.
        stack_t Existing{};
        sigaltstack(nullptr, &Existing);
        stack_t Disabled{};
        Disabled.ss_flags = SS_DISABLE;
        ASSERT_EQ(sigaltstack(&Disabled, nullptr), 0);

        EXPECT_TRUE(CExceptionFilter::InstallThreadSignalStack());
        stack_t Stack{};
        sigaltstack(nullptr, &Stack);
        EXPECT_EQ(Stack.ss_flags & SS_DISABLE, 0);
        EXPECT_GE(Stack.ss_size, 64u * 1024);
        void* pvFirst = Stack.ss_sp;
        EXPECT_TRUE(CExceptionFilter::InstallThreadSignalStack());
        sigaltstack(nullptr, &Stack);
        EXPECT_EQ(Stack.ss_sp, pvFirst);

        if ((Existing.ss_flags & SS_DISABLE) == 0) sigaltstack(&Existing, nullptr);
    });
    Worker.join();
}

}  // namespace

#include "corvane/ulguard.h"

#include <gtest/gtest.h>

#include <new>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "comrt/runtime.h"
#include "comrt/text.h"
#include "tracelog.h"

using tracelog::FIXED_PREFIX;

namespace {

class GuardTest : public tracelog::CTraceTest {
protected:
    // The line the guard writes for an HRESULT it caught in Function.
    static std::string CaughtLine(const char* pszFunction, HRESULT nResult) {
        char szCode[16];
        snprintf(szCode, sizeof(szCode), "0x%08x", static_cast<unsigned>(nResult));
        return std::string(": ") + pszFunction + ": An exception " + szCode + " (" +
               comrt::ToUtf8(FormatSystemMessage(nResult)) + ") has been caught";
    }
};

// A method in the shape of every COM method of the system.
HRESULT GetTitle(const char** ppszTitle, int nIndex) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppszTitle);
    corvane::CheckArgument(nIndex >= 0);
    if (nIndex == 1) return S_FALSE;
    *ppszTitle = "title";
    UL_GUARD_END
}

template <class Exception>
HRESULT Throwing(Exception exception) {
    UL_GUARD_BEGIN
    throw exception;
    UL_GUARD_END
}

HRESULT Failing() {
    return E_FAIL;
}
HRESULT Succeeding() {
    return S_FALSE;
}

HRESULT Checking(HRESULT (*pfnCall)(), HRESULT* pnChecked) {
    UL_GUARD_BEGIN
    *pnChecked = UL_CHECK(pfnCall());
    UL_GUARD_END
}

TEST_F(GuardTest, GoodArgumentsPassQuietly) {
    const char* pszTitle = nullptr;
    EXPECT_EQ(GetTitle(&pszTitle, 0), S_OK);
    EXPECT_STREQ(pszTitle, "title");
    EXPECT_EQ(GetTitle(&pszTitle, 1), S_FALSE);
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(GuardTest, MissingPointerIsRaisedAndReturnedAsEPointer) {
    EXPECT_EQ(GetTitle(nullptr, 0), E_POINTER);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 2u);
    const std::regex Raised(std::string(FIXED_PREFIX) + R"(guard_test\.cpp\(\d+\): GetTitle: Exception 0x80004003)");
    EXPECT_TRUE(std::regex_match(Lines[0], Raised)) << Lines[0];
    EXPECT_TRUE(Lines[1].starts_with(FIXED_PREFIX + std::string("guard_test.cpp("))) << Lines[1];
    EXPECT_TRUE(Lines[1].ends_with(CaughtLine("GetTitle", E_POINTER))) << Lines[1];
    EXPECT_NE(Lines[1].find("(A pointer that is not valid was passed)"), std::string::npos) << Lines[1];
}

TEST_F(GuardTest, BadArgumentIsReturnedAsEInvalidArg) {
    const char* pszTitle = nullptr;
    EXPECT_EQ(GetTitle(&pszTitle, -1), E_INVALIDARG);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_TRUE(Lines[0].ends_with(": GetTitle: Exception 0x80070057")) << Lines[0];
    EXPECT_TRUE(Lines[1].ends_with(CaughtLine("GetTitle", E_INVALIDARG))) << Lines[1];
}

TEST_F(GuardTest, ThrownHResultIsReturned) {
    const HRESULT nOwn = MakeCorvaneHResult(0x0101);
    EXPECT_EQ(Throwing(corvane::CHResultException(nOwn)), nOwn);
    EXPECT_EQ(Throwing(corvane::CHResultException(E_ACCESSDENIED)), E_ACCESSDENIED);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_TRUE(Lines[0].ends_with(CaughtLine("Throwing", nOwn))) << Lines[0];
    EXPECT_TRUE(Lines[1].ends_with(CaughtLine("Throwing", E_ACCESSDENIED))) << Lines[1];
}

TEST_F(GuardTest, CodeWithoutSystemTextIsCaughtWithEmptyText) {
    const HRESULT nUnknown = MakeHResult(0x8FFF1234);
    ASSERT_TRUE(FormatSystemMessage(nUnknown).empty());
    EXPECT_EQ(Throwing(corvane::CHResultException(nUnknown)), nUnknown);
    EXPECT_TRUE(ReadLog().ends_with(": Throwing: An exception 0x8fff1234 () has been caught\r\n")) << ReadLog();
}

TEST_F(GuardTest, OutOfMemoryBecomesEOutOfMemory) {
    EXPECT_EQ(Throwing(std::bad_alloc()), E_OUTOFMEMORY);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_TRUE(Lines[0].ends_with(CaughtLine("Throwing", E_OUTOFMEMORY))) << Lines[0];
}

TEST_F(GuardTest, ForeignExceptionsBecomeEUnexpected) {
    EXPECT_EQ(Throwing(std::runtime_error("foreign")), E_UNEXPECTED);
    EXPECT_EQ(Throwing(42), E_UNEXPECTED);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 2u);
    for (const std::string& sLine : Lines)
        EXPECT_TRUE(sLine.ends_with(": Throwing: An exception has been caught")) << sLine;
}

TEST_F(GuardTest, FailedCheckNamesTheExpressionAndRaisesItsCode) {
    HRESULT nChecked = E_UNEXPECTED;
    EXPECT_EQ(Checking(&Succeeding, &nChecked), S_OK);
    EXPECT_EQ(nChecked, S_FALSE);
    EXPECT_EQ(ReadLog(), "");

    EXPECT_EQ(Checking(&Failing, &nChecked), E_FAIL);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 3u);
    EXPECT_TRUE(Lines[0].ends_with(": Checking: Check failed 0x80004005 in pfnCall()")) << Lines[0];
    EXPECT_TRUE(Lines[1].ends_with(": Checking: Exception 0x80004005")) << Lines[1];
    EXPECT_TRUE(Lines[2].ends_with(CaughtLine("Checking", E_FAIL))) << Lines[2];
}

TEST_F(GuardTest, GuardedCallAnswersForVoidAndHResultBodies) {
    EXPECT_EQ(corvane::GuardedCall([] {}), S_OK);
    EXPECT_EQ(corvane::GuardedCall([] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(ReadLog(), "");
    EXPECT_EQ(corvane::GuardedCall([]() -> HRESULT { corvane::ThrowHResult(E_NOTIMPL); }), E_NOTIMPL);
    EXPECT_EQ(corvane::GuardedCall([] { throw std::logic_error("x"); }), E_UNEXPECTED);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 3u);
    // The caught lines carry the location of the guard's caller.
    EXPECT_TRUE(Lines[1].ends_with(CaughtLine("TestBody", E_NOTIMPL))) << Lines[1];
    EXPECT_TRUE(Lines[2].ends_with(": TestBody: An exception has been caught")) << Lines[2];
}

TEST_F(GuardTest, InternalOperationsGoOn) {
    int nSteps = 0;
    EXPECT_TRUE(corvane::GuardedOperation([&] { ++nSteps; }));
    EXPECT_EQ(ReadLog(), "");
    EXPECT_FALSE(corvane::GuardedOperation([&] { corvane::ThrowHResult(E_FAIL); }));
    EXPECT_FALSE(corvane::GuardedOperation([&] { throw std::bad_alloc(); }));
    UL_CATCH_ALL_BEGIN
    throw std::runtime_error("inner");
    UL_CATCH_ALL_END
    ++nSteps;
    EXPECT_EQ(nSteps, 2);
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 4u);
    EXPECT_TRUE(Lines[0].ends_with(": Exception 0x80004005")) << Lines[0];
    for (std::size_t i = 1; i < Lines.size(); ++i)
        EXPECT_TRUE(Lines[i].ends_with(": TestBody: An exception has been caught")) << Lines[i];
}

TEST_F(GuardTest, CatchOutsideAHandlerAnswersEUnexpected) {
    EXPECT_EQ(corvane::CatchException(UL_CONTEXT), E_UNEXPECTED);
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(GuardTest, CaughtLineAtLevelTwoOrDropped) {
    try {
        throw corvane::CHResultException(E_ABORT);
    } catch (...) {
        EXPECT_EQ(corvane::CatchException(UL_CONTEXT, corvane::TRACE_LEVEL_ERROR), E_ABORT);
    }
    try {
        throw corvane::CHResultException(E_ABORT);
    } catch (...) {
        EXPECT_EQ(corvane::CatchException(UL_CONTEXT, corvane::TRACE_LEVEL_VERBOSE), E_ABORT);
    }
    EXPECT_EQ(ReadLines().size(), 1u);
}

}  // namespace

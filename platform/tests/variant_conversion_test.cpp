// VariantChangeType: text into numbers, truth values and dates, values into text, scalars into each other,
// references and objects. The sanitizer build's leak checker watches every BSTR these tests allocate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "OleAutoTestSupport.h"

namespace {

using namespace oleauto_test;

// Clears a VARIANT at the end of a scope.
struct CVariantGuard {
    VARIANT* p;
    ~CVariantGuard() { VariantClear(p); }
};

// ---------------------------------------------------------------------------------------------------------
// VariantChangeType: text into numbers, truth values and dates

struct TextCase {
    const char16_t* szText;
    VARTYPE vt;
    HRESULT hr;
    double dExpected;  // the value read as a double (integers, CY's value, VT_BOOL as -1/0, DATE)
};

double ValueOf(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1:
            return static_cast<signed char>(v.cVal);
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
            return v.lVal;
        case VT_UI4:
            return v.ulVal;
        case VT_INT:
            return v.intVal;
        case VT_UINT:
            return v.uintVal;
        case VT_I8:
            return static_cast<double>(v.llVal);
        case VT_UI8:
            return static_cast<double>(v.ullVal);
        case VT_R4:
            return v.fltVal;
        case VT_R8:
            return v.dblVal;
        case VT_DATE:
            return v.date;
        case VT_CY:
            return static_cast<double>(v.cyVal.int64) / 10000.0;
        case VT_BOOL:
            return v.boolVal;
        default:
            return std::nan("");
    }
}

class TextConversion : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextConversion, ReadsAsExpected) {
    const TextCase& c = GetParam();
    VARIANT src = MakeText(c.szText);
    CVariantGuard srcGuard{&src};
    VARIANT dest;
    VariantInit(&dest);
    const HRESULT hr = VariantChangeType(&dest, &src, 0, c.vt);
    ASSERT_EQ(hr, c.hr) << "text \"" << std::string(c.szText, c.szText + std::char_traits<char16_t>::length(c.szText))
                        << "\" to type " << c.vt;
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(dest.vt, c.vt);
        EXPECT_EQ(ValueOf(dest), c.dExpected);
    } else {
        EXPECT_EQ(dest.vt, VT_EMPTY);  // a failed conversion writes nothing
    }
}

constexpr HRESULT kOk = S_OK;
constexpr HRESULT kMismatch = DISP_E_TYPEMISMATCH;
constexpr HRESULT kOverflow = DISP_E_OVERFLOW;

INSTANTIATE_TEST_SUITE_P(
    Integers, TextConversion,
    ::testing::Values(
        TextCase{u"5", VT_I4, kOk, 5}, TextCase{u" 5 ", VT_I4, kOk, 5}, TextCase{u"\t-5\r\n", VT_I4, kOk, -5},
        TextCase{u"+5", VT_I4, kOk, 5}, TextCase{u"007", VT_I2, kOk, 7}, TextCase{u"5.", VT_I4, kOk, 5},
        TextCase{u"1e3", VT_I4, kOk, 1000}, TextCase{u"1.5E+2", VT_I4, kOk, 150}, TextCase{u"12000e-3", VT_I4, kOk, 12},
        TextCase{u"x", VT_I4, kMismatch, 0}, TextCase{u"", VT_I4, kMismatch, 0}, TextCase{u"   ", VT_I4, kMismatch, 0},
        TextCase{u"5x", VT_I4, kMismatch, 0}, TextCase{u"5 5", VT_I4, kMismatch, 0},
        TextCase{u"1,000", VT_I4, kMismatch, 0}, TextCase{u"0x10", VT_I4, kMismatch, 0},
        TextCase{u"&H10", VT_I4, kMismatch, 0}, TextCase{u"--1", VT_I4, kMismatch, 0},
        TextCase{u"(5)", VT_I4, kMismatch, 0}, TextCase{u"5-", VT_I4, kMismatch, 0},
        TextCase{u".", VT_I4, kMismatch, 0}, TextCase{u"e5", VT_I4, kMismatch, 0}, TextCase{u"1e", VT_I4, kMismatch, 0},
        TextCase{u"1e+", VT_I4, kMismatch, 0}, TextCase{u"\u00a05", VT_I4, kMismatch, 0},
        TextCase{u"\uff15", VT_I4, kMismatch, 0}, TextCase{u"True", VT_I4, kMismatch, 0},
        TextCase{u"2147483647", VT_I4, kOk, 2147483647}, TextCase{u"2147483648", VT_I4, kOverflow, 0},
        TextCase{u"-2147483648", VT_I4, kOk, -2147483648.0}, TextCase{u"-2147483649", VT_INT, kOverflow, 0},
        TextCase{u"4294967295", VT_UINT, kOk, 4294967295.0}, TextCase{u"4294967296", VT_UI4, kOverflow, 0},
        TextCase{u"127", VT_I1, kOk, 127}, TextCase{u"128", VT_I1, kOverflow, 0}, TextCase{u"-128", VT_I1, kOk, -128},
        TextCase{u"255", VT_UI1, kOk, 255}, TextCase{u"256", VT_UI1, kOverflow, 0},
        TextCase{u"-1", VT_UI1, kOverflow, 0}, TextCase{u"-0.4", VT_UI1, kOk, 0}, TextCase{u"32767", VT_I2, kOk, 32767},
        TextCase{u"-32769", VT_I2, kOverflow, 0}, TextCase{u"65535", VT_UI2, kOk, 65535},
        TextCase{u"9223372036854775807", VT_I8, kOk, 9223372036854775807.0},
        TextCase{u"9223372036854775808", VT_I8, kOverflow, 0},
        TextCase{u"-9223372036854775808", VT_I8, kOk, -9223372036854775808.0},
        TextCase{u"18446744073709551615", VT_UI8, kOk, 18446744073709551615.0},
        TextCase{u"18446744073709551616", VT_UI8, kOverflow, 0}, TextCase{u"1e400", VT_I4, kOverflow, 0},
        TextCase{u"1e99999999999999999999", VT_I8, kOverflow, 0}, TextCase{u"1e-400", VT_I4, kOk, 0},
        TextCase{u"0e99999999999", VT_I4, kOk, 0}));

INSTANTIATE_TEST_SUITE_P(RoundingHalfToEven, TextConversion,
                         ::testing::Values(TextCase{u"2.5", VT_I4, kOk, 2}, TextCase{u"3.5", VT_I4, kOk, 4},
                                           TextCase{u"-2.5", VT_I4, kOk, -2}, TextCase{u"-3.5", VT_I4, kOk, -4},
                                           TextCase{u"2.500000000000000000000000000001", VT_I4, kOk, 3},
                                           TextCase{u"2.49999999999999999999999", VT_I4, kOk, 2},
                                           TextCase{u"0.5", VT_I4, kOk, 0}, TextCase{u"0.05", VT_I4, kOk, 0},
                                           TextCase{u"254.5", VT_UI1, kOk, 254},
                                           TextCase{u"255.5", VT_UI1, kOverflow, 0},
                                           TextCase{u"127.4", VT_I1, kOk, 127}));

INSTANTIATE_TEST_SUITE_P(
    Reals, TextConversion,
    ::testing::Values(TextCase{u"0.1", VT_R8, kOk, 0.1}, TextCase{u"  3.25  ", VT_R8, kOk, 3.25},
                      TextCase{u"-.5", VT_R8, kOk, -0.5},
                      TextCase{u"1.7976931348623157e308", VT_R8, kOk, 1.7976931348623157e308},
                      TextCase{u"1e309", VT_R8, kOverflow, 0}, TextCase{u"-1e309", VT_R8, kOverflow, 0},
                      TextCase{u"4.9e-324", VT_R8, kOk, 4.9e-324}, TextCase{u"1e-400", VT_R8, kOk, 0},
                      TextCase{u"inf", VT_R8, kMismatch, 0}, TextCase{u"nan", VT_R8, kMismatch, 0},
                      TextCase{u"3.4028234e38", VT_R4, kOk, 3.4028234e38f}, TextCase{u"3.5e38", VT_R4, kOverflow, 0},
                      TextCase{u"0.1", VT_R4, kOk, 0.1f}, TextCase{u"1e-50", VT_R4, kOk, 0}));

INSTANTIATE_TEST_SUITE_P(Currency, TextConversion,
                         ::testing::Values(TextCase{u"1.5", VT_CY, kOk, 1.5}, TextCase{u"1.23456", VT_CY, kOk, 1.2346},
                                           TextCase{u"0.00005", VT_CY, kOk, 0},
                                           TextCase{u"0.00015", VT_CY, kOk, 0.0002}, TextCase{u"-7", VT_CY, kOk, -7},
                                           TextCase{u"922337203685477.5807", VT_CY, kOk, 922337203685477.5807},
                                           TextCase{u"922337203685477.5808", VT_CY, kOverflow, 0},
                                           TextCase{u"-922337203685477.5808", VT_CY, kOk, -922337203685477.5808},
                                           TextCase{u"1e15", VT_CY, kOverflow, 0}));

INSTANTIATE_TEST_SUITE_P(
    TruthValues, TextConversion,
    ::testing::Values(TextCase{u"True", VT_BOOL, kOk, VARIANT_TRUE}, TextCase{u"true", VT_BOOL, kOk, VARIANT_TRUE},
                      TextCase{u"TRUE", VT_BOOL, kOk, VARIANT_TRUE}, TextCase{u"False", VT_BOOL, kOk, VARIANT_FALSE},
                      TextCase{u"fALSE", VT_BOOL, kOk, VARIANT_FALSE}, TextCase{u"-1", VT_BOOL, kOk, VARIANT_TRUE},
                      TextCase{u"0", VT_BOOL, kOk, VARIANT_FALSE}, TextCase{u"2", VT_BOOL, kOk, VARIANT_TRUE},
                      TextCase{u"0.0", VT_BOOL, kOk, VARIANT_FALSE}, TextCase{u" 1 ", VT_BOOL, kOk, VARIANT_TRUE},
                      TextCase{u"0.001", VT_BOOL, kOk, VARIANT_TRUE}, TextCase{u"yes", VT_BOOL, kMismatch, 0},
                      TextCase{u" True", VT_BOOL, kMismatch, 0}, TextCase{u"Tru", VT_BOOL, kMismatch, 0},
                      TextCase{u"", VT_BOOL, kMismatch, 0}));

INSTANTIATE_TEST_SUITE_P(
    Dates, TextConversion,
    ::testing::Values(
        TextCase{u"1899-12-30", VT_DATE, kOk, 0}, TextCase{u"2000-01-01", VT_DATE, kOk, 36526},
        TextCase{u"2024-02-29", VT_DATE, kOk, 45351}, TextCase{u"1899-12-31 12:00:00", VT_DATE, kOk, 1.5},
        TextCase{u"1899-12-29 06:00", VT_DATE, kOk, -1.25}, TextCase{u"2000-01-01T18:00:00", VT_DATE, kOk, 36526.75},
        TextCase{u"12:00", VT_DATE, kOk, 0.5}, TextCase{u" 2000-01-01 ", VT_DATE, kOk, 36526},
        TextCase{u"0100-01-01", VT_DATE, kOk, -657434}, TextCase{u"9999-12-31", VT_DATE, kOk, 2958465},
        TextCase{u"0099-12-31", VT_DATE, kOverflow, 0}, TextCase{u"2023-02-29", VT_DATE, kMismatch, 0},
        TextCase{u"2024-13-01", VT_DATE, kMismatch, 0}, TextCase{u"2024-1-01", VT_DATE, kMismatch, 0},
        TextCase{u"2024-01-01 24:00", VT_DATE, kMismatch, 0}, TextCase{u"2024-01-01 10:60", VT_DATE, kMismatch, 0},
        TextCase{u"2024-01-01  10:00", VT_DATE, kMismatch, 0}, TextCase{u"2024-01-01 ", VT_DATE, kOk, 45292},
        TextCase{u"01/02/2024", VT_DATE, kMismatch, 0}, TextCase{u"45292", VT_DATE, kMismatch, 0}));

TEST(VariantChangeType, EmbeddedNulIsNotBlank) {
    VARIANT src = MakeText(std::u16string_view(u"5\0", 2));
    VARIANT dest;
    VariantInit(&dest);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
    VariantClear(&src);
}

TEST(VariantChangeType, NullBstrIsEmptyText) {
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BSTR;  // bstrVal null
    VARIANT dest;
    VariantInit(&dest);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(SysStringLen(dest.bstrVal), 0u);
    VariantClear(&dest);
}

// ---------------------------------------------------------------------------------------------------------
// VariantChangeType: values into text

struct FormatCase {
    VARIANT value;
    USHORT wFlags;
    const char16_t* szExpected;
};

class TextOutput : public ::testing::TestWithParam<FormatCase> {};

TEST_P(TextOutput, WritesExpectedText) {
    FormatCase c = GetParam();
    VARIANT dest;
    VariantInit(&dest);
    ASSERT_EQ(VariantChangeType(&dest, &c.value, c.wFlags, VT_BSTR), S_OK);
    ASSERT_EQ(dest.vt, VT_BSTR);
    EXPECT_EQ(View(dest.bstrVal), std::u16string_view(c.szExpected));
    VariantClear(&dest);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, TextOutput,
    ::testing::Values(FormatCase{MakeI4(5), 0, u"5"}, FormatCase{MakeI4(-2147483647 - 1), 0, u"-2147483648"},
                      FormatCase{Make(VT_UI8, -1), 0, u"18446744073709551615"},
                      FormatCase{Make(VT_I8, INT64_MIN), 0, u"-9223372036854775808"},
                      FormatCase{Make(VT_I1, 0xFB), 0, u"-5"}, FormatCase{Make(VT_UI1, 0xFB), 0, u"251"},
                      FormatCase{MakeR8(0.1), 0, u"0.1"}, FormatCase{MakeR8(0.1 + 0.2), 0, u"0.30000000000000004"},
                      FormatCase{MakeR8(1.5), 0, u"1.5"}, FormatCase{MakeR8(-0.0), 0, u"0"},
                      FormatCase{MakeR8(1e21), 0, u"1E+21"}, FormatCase{MakeR8(1e-7), 0, u"1E-07"},
                      FormatCase{MakeR8(123456789.0), 0, u"123456789"}, FormatCase{MakeR4(0.1f), 0, u"0.1"},
                      FormatCase{MakeR4(16777216.0f), 0, u"16777216"}, FormatCase{Make(VT_CY, 15000), 0, u"1.5"},
                      FormatCase{Make(VT_CY, -1), 0, u"-0.0001"}, FormatCase{Make(VT_CY, 1230000), 0, u"123"},
                      FormatCase{Make(VT_CY, INT64_MIN), 0, u"-922337203685477.5808"}, FormatCase{VARIANT{}, 0, u""}));

INSTANTIATE_TEST_SUITE_P(TruthValuesAndDates, TextOutput,
                         ::testing::Values(FormatCase{MakeBool(true), 0, u"-1"}, FormatCase{MakeBool(false), 0, u"0"},
                                           FormatCase{MakeBool(true), VARIANT_ALPHABOOL, u"True"},
                                           FormatCase{MakeBool(false), VARIANT_ALPHABOOL, u"False"},
                                           FormatCase{MakeBool(true), VARIANT_LOCALBOOL, u"True"},
                                           FormatCase{MakeDate(36526), 0, u"2000-01-01"},
                                           FormatCase{MakeDate(36526.5), 0, u"2000-01-01 12:00:00"},
                                           FormatCase{MakeDate(-1.25), 0, u"1899-12-29 06:00:00"},
                                           FormatCase{MakeDate(0.5), 0, u"1899-12-30 12:00:00"},
                                           FormatCase{MakeDate(45351.99999999), 0, u"2024-03-01"},
                                           FormatCase{MakeDate(2958465.9999999), 0, u"9999-12-31 23:59:59"},
                                           FormatCase{MakeDate(-657434.5), 0, u"0100-01-01 12:00:00"}));

TEST(VariantChangeType, TextRoundTripsKeepTheValue) {
    for (double d : {0.1, 1.0 / 3.0, -2.5e-300, 6.02214076e23, 4.9e-324, 1.7976931348623157e308, 123456.789}) {
        VARIANT v = MakeR8(d);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_R8), S_OK);
        EXPECT_EQ(v.dblVal, d);
    }
    for (float f : {0.1f, 1.0f / 3.0f, 3.4028235e38f, 1e-45f}) {
        VARIANT v = MakeR4(f);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_R4), S_OK);
        EXPECT_EQ(v.fltVal, f);
    }
    for (double d : {36526.0, 45351.75, -1.25, 2958465.5, -657434.0}) {
        VARIANT v = MakeDate(d);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_DATE), S_OK);
        EXPECT_EQ(v.date, d);
    }
}

TEST(VariantChangeType, DatesOutsideTheRangeDoNotFormat) {
    VARIANT dest;
    VariantInit(&dest);
    for (double d : {2958466.0, -657435.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        VARIANT v = MakeDate(d);
        EXPECT_EQ(VariantChangeType(&dest, &v, 0, VT_BSTR), DISP_E_OVERFLOW) << d;
    }
}

// ---------------------------------------------------------------------------------------------------------
// VariantChangeType: between scalar types

struct ScalarCase {
    VARIANT value;
    VARTYPE vt;
    HRESULT hr;
    double dExpected;
};

class ScalarConversion : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(ScalarConversion, ConvertsByValue) {
    ScalarCase c = GetParam();
    VARIANT dest;
    VariantInit(&dest);
    ASSERT_EQ(VariantChangeType(&dest, &c.value, 0, c.vt), c.hr) << "from " << c.value.vt << " to " << c.vt;
    if (SUCCEEDED(c.hr) && c.vt != VT_EMPTY && c.vt != VT_NULL) {
        EXPECT_EQ(dest.vt, c.vt);
        EXPECT_EQ(ValueOf(dest), c.dExpected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ScalarConversion,
    ::testing::Values(
        ScalarCase{MakeR8(2.5), VT_I4, kOk, 2}, ScalarCase{MakeR8(3.5), VT_I4, kOk, 4},
        ScalarCase{MakeR8(-2.5), VT_I2, kOk, -2}, ScalarCase{MakeR8(2.4999), VT_I4, kOk, 2},
        ScalarCase{MakeR8(1e10), VT_I4, kOverflow, 0}, ScalarCase{MakeR8(std::nan("")), VT_I4, kOverflow, 0},
        ScalarCase{MakeR8(std::numeric_limits<double>::infinity()), VT_I8, kOverflow, 0},
        ScalarCase{MakeR8(9223372036854775808.0), VT_I8, kOverflow, 0},
        ScalarCase{MakeR8(-9223372036854775808.0), VT_I8, kOk, -9223372036854775808.0},
        ScalarCase{MakeR8(18446744073709551616.0), VT_UI8, kOverflow, 0}, ScalarCase{MakeR8(-0.5), VT_UI4, kOk, 0},
        ScalarCase{MakeI4(-1), VT_UI4, kOverflow, 0}, ScalarCase{MakeI4(300), VT_UI1, kOverflow, 0},
        ScalarCase{MakeI4(-129), VT_I1, kOverflow, 0}, ScalarCase{Make(VT_UI8, -1), VT_I8, kOverflow, 0},
        ScalarCase{Make(VT_I8, -1), VT_UI8, kOverflow, 0},
        ScalarCase{Make(VT_UI8, -1), VT_R8, kOk, 18446744073709551615.0}, ScalarCase{MakeI4(5), VT_CY, kOk, 5},
        ScalarCase{Make(VT_I8, INT64_MAX), VT_CY, kOverflow, 0}, ScalarCase{MakeR8(1e15), VT_CY, kOverflow, 0},
        ScalarCase{Make(VT_CY, 25000), VT_I4, kOk, 2}, ScalarCase{Make(VT_CY, 35000), VT_I4, kOk, 4},
        ScalarCase{Make(VT_CY, -25001), VT_I4, kOk, -3}, ScalarCase{Make(VT_CY, 12345), VT_R8, kOk, 1.2345},
        ScalarCase{MakeR8(1e300), VT_R4, kOverflow, 0}, ScalarCase{MakeR8(0.5), VT_R4, kOk, 0.5},
        ScalarCase{MakeR8(1e300), VT_DATE, kOverflow, 0}, ScalarCase{MakeI4(5), VT_DATE, kOk, 5},
        ScalarCase{MakeDate(1.75), VT_I4, kOk, 2}, ScalarCase{MakeI4(2958466), VT_DATE, kOverflow, 0}));

INSTANTIATE_TEST_SUITE_P(
    TruthValues, ScalarConversion,
    ::testing::Values(ScalarCase{MakeBool(true), VT_I4, kOk, -1}, ScalarCase{MakeBool(true), VT_UI1, kOk, 255},
                      ScalarCase{MakeBool(true), VT_UI4, kOk, 4294967295.0}, ScalarCase{MakeBool(true), VT_R8, kOk, -1},
                      ScalarCase{MakeBool(true), VT_CY, kOk, -1}, ScalarCase{MakeBool(false), VT_UI2, kOk, 0},
                      ScalarCase{MakeI4(2), VT_BOOL, kOk, VARIANT_TRUE},
                      ScalarCase{MakeI4(0), VT_BOOL, kOk, VARIANT_FALSE},
                      ScalarCase{MakeR8(0.25), VT_BOOL, kOk, VARIANT_TRUE},
                      ScalarCase{Make(VT_CY, 1), VT_BOOL, kOk, VARIANT_TRUE}));

INSTANTIATE_TEST_SUITE_P(
    EmptyNullAndError, ScalarConversion,
    ::testing::Values(ScalarCase{VARIANT{}, VT_I4, kOk, 0}, ScalarCase{VARIANT{}, VT_BOOL, kOk, VARIANT_FALSE},
                      ScalarCase{VARIANT{}, VT_DATE, kOk, 0}, ScalarCase{VARIANT{}, VT_CY, kOk, 0},
                      ScalarCase{VARIANT{}, VT_NULL, kOk, 0}, ScalarCase{Make(VT_NULL, 0), VT_I4, kMismatch, 0},
                      ScalarCase{Make(VT_NULL, 0), VT_BSTR, kMismatch, 0},
                      ScalarCase{Make(VT_NULL, 0), VT_EMPTY, kMismatch, 0},
                      ScalarCase{MakeI4(1), VT_NULL, kMismatch, 0}, ScalarCase{MakeI4(1), VT_EMPTY, kMismatch, 0},
                      ScalarCase{Make(VT_ERROR, DISP_E_PARAMNOTFOUND), VT_I4, kMismatch, 0},
                      ScalarCase{Make(VT_ERROR, DISP_E_PARAMNOTFOUND), VT_BSTR, kMismatch, 0},
                      ScalarCase{MakeI4(5), VT_ERROR, kMismatch, 0}, ScalarCase{MakeI4(5), VT_UNKNOWN, kMismatch, 0},
                      ScalarCase{MakeI4(5), VT_ARRAY | VT_I4, kMismatch, 0},
                      ScalarCase{MakeI4(5), VT_DECIMAL, kMismatch, 0}));

INSTANTIATE_TEST_SUITE_P(BadTypes, ScalarConversion,
                         ::testing::Values(ScalarCase{MakeI4(5), VT_BYREF | VT_I4, DISP_E_BADVARTYPE, 0},
                                           ScalarCase{MakeI4(5), 15, DISP_E_BADVARTYPE, 0},
                                           ScalarCase{MakeI4(5), VT_VARIANT, DISP_E_BADVARTYPE, 0},
                                           ScalarCase{MakeI4(5), VT_VECTOR | VT_I4, DISP_E_BADVARTYPE, 0},
                                           ScalarCase{Make(0x7F, 0), VT_I4, DISP_E_BADVARTYPE, 0}));

TEST(VariantChangeType, InPlaceConversionReplacesTheSource) {
    VARIANT v = MakeText(u"42");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the text is freed, or the leak checker says so
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 42);
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(View(v.bstrVal), u"42");
    VariantClear(&v);
}

TEST(VariantChangeType, FailureLeavesTheDestinationAlone) {
    VARIANT v = MakeText(u"x");
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I4), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(v.vt, VT_BSTR);
    EXPECT_EQ(View(v.bstrVal), u"x");

    VARIANT dest = MakeI4(11);
    EXPECT_EQ(VariantChangeType(&dest, &v, 0, VT_R8), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dest.vt, VT_I4);
    EXPECT_EQ(dest.lVal, 11);
    VariantClear(&v);
}

TEST(VariantChangeType, SuccessReleasesWhatTheDestinationHeld) {
    CCountingObject obj;
    VARIANT dest;
    VariantInit(&dest);
    dest.vt = VT_UNKNOWN;
    dest.punkVal = &obj;
    obj.AddRef();
    VARIANT src = MakeI4(8);
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(obj.Refs(), 1u);
    EXPECT_EQ(View(dest.bstrVal), u"8");
    VariantClear(&dest);
}

TEST(VariantChangeType, ReadsThroughReferences) {
    BSTR b = SysAllocString(u"17");
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &b;
    VARIANT dest;
    VariantInit(&dest);
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(dest.lVal, 17);
    EXPECT_EQ(View(b), u"17");  // the referenced text stays with its owner

    SHORT n = -3;
    ref.vt = VT_BYREF | VT_I2;
    ref.piVal = &n;
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(View(dest.bstrVal), u"-3");
    VariantClear(&dest);

    // Same type: the value is taken out of the reference.
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_I2), S_OK);
    EXPECT_EQ(dest.vt, VT_I2);
    EXPECT_EQ(dest.iVal, -3);

    VARIANT inner = MakeR8(2.5);
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(View(dest.bstrVal), u"2.5");
    VariantClear(&dest);

    // In place: the reference is replaced, the referenced value untouched.
    ref.vt = VT_BYREF | VT_I2;
    ref.piVal = &n;
    ASSERT_EQ(VariantChangeType(&ref, &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(ref.vt, VT_I4);
    EXPECT_EQ(ref.lVal, -3);
    EXPECT_EQ(n, -3);

    VARIANT nullRef;
    VariantInit(&nullRef);
    nullRef.vt = VT_BYREF | VT_I4;
    EXPECT_EQ(VariantChangeType(&dest, &nullRef, 0, VT_I4), E_INVALIDARG);
    SysFreeString(b);
}

TEST(VariantChangeType, ObjectsConvertByQueryInterface) {
    CCountingObject dispatchable(true);
    CCountingObject plain(false);
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_UNKNOWN;
    src.punkVal = &dispatchable;
    VARIANT dest;
    VariantInit(&dest);
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(dest.vt, VT_DISPATCH);
    EXPECT_EQ(dest.pdispVal, &dispatchable);
    EXPECT_EQ(dispatchable.Refs(), 2u);
    ASSERT_EQ(VariantChangeType(&dest, &dest, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(dest.vt, VT_UNKNOWN);
    EXPECT_EQ(dispatchable.Refs(), 2u);
    VariantClear(&dest);
    EXPECT_EQ(dispatchable.Refs(), 1u);

    src.punkVal = &plain;
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(plain.Refs(), 1u);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);

    src.punkVal = nullptr;
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(dest.vt, VT_DISPATCH);
    EXPECT_EQ(dest.pdispVal, nullptr);

    VARIANT empty;
    VariantInit(&empty);
    ASSERT_EQ(VariantChangeType(&dest, &empty, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(dest.vt, VT_UNKNOWN);
    EXPECT_EQ(dest.punkVal, nullptr);
}

TEST(VariantChangeType, DispatchReadsAsItsValueProperty) {
    CCountingObject obj(true, 42);
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_DISPATCH;
    src.pdispVal = &obj;
    VARIANT dest;
    VariantInit(&dest);
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(View(dest.bstrVal), u"42");
    VariantClear(&dest);
    EXPECT_EQ(obj.Invokes(), 1);

    EXPECT_EQ(VariantChangeType(&dest, &src, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(obj.Invokes(), 1);
    EXPECT_EQ(obj.Refs(), 1u);

    src.pdispVal = nullptr;
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
}

}  // namespace

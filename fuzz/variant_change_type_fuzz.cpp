// Arbitrary text as a BSTR, converted to every type VariantChangeType supports. Besides not crashing, the
// results must agree with each other:
//   - every target fails or succeeds with the documented codes, and a failure writes nothing;
//   - converting in place gives the same result as converting into another VARIANT;
//   - text that is no number is a type mismatch for every numeric target alike;
//   - an integer that fits one integer type has the same value in every other type it fits, and one that
//     does not fit a type overflows it;
//   - VT_CY, VT_R8 and the integers agree within their rounding;
//   - a truth value read as false is zero as a number, a nonzero number reads as true;
//   - every value written back as text reads back to the same value (dates: to the same text).
//
// The first input byte chooses how the rest becomes UTF-16: even, one character per byte; odd, little-endian
// byte pairs.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzInput.h"
#include "comrt/oleauto.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "variant_change_type_fuzz", pszWhat);
}

std::u16string Decode(const std::uint8_t* pData, std::size_t cb) {
    return fuzzing::DecodeText(pData, cb);
}

std::u16string_view View(BSTR bstr) {
    return std::u16string_view(bstr ? bstr : u"", SysStringLen(bstr));
}

struct Integer {
    VARTYPE vt;
    __int128 nMin;
    __int128 nMax;
};
constexpr Integer kIntegers[] = {
    {VT_I1, INT8_MIN, INT8_MAX}, {VT_UI1, 0, UINT8_MAX},        {VT_I2, INT16_MIN, INT16_MAX},
    {VT_UI2, 0, UINT16_MAX},     {VT_I4, INT32_MIN, INT32_MAX}, {VT_INT, INT32_MIN, INT32_MAX},
    {VT_UI4, 0, UINT32_MAX},     {VT_UINT, 0, UINT32_MAX},      {VT_I8, INT64_MIN, INT64_MAX},
    {VT_UI8, 0, UINT64_MAX},
};

__int128 IntegerOf(const VARIANT& v) {
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
        case VT_INT:
            return v.intVal;
        case VT_UI4:
            return v.ulVal;
        case VT_UINT:
            return v.uintVal;
        case VT_I8:
            return v.llVal;
        case VT_UI8:
            return v.ullVal;
        default:
            Check(false, "not an integer type");
            return 0;
    }
}

// Converts text to vt twice, into a fresh VARIANT and in place, and checks the two agree.
HRESULT Convert(std::u16string_view text, VARTYPE vt, USHORT wFlags, VARIANT* pOut) {
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    Check(src.bstrVal != nullptr || text.empty(), "BSTR allocation failed");
    VariantInit(pOut);
    const HRESULT hr = VariantChangeType(pOut, &src, wFlags, vt);
    Check(hr == S_OK || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW, "unexpected result code");
    Check(SUCCEEDED(hr) ? pOut->vt == vt : pOut->vt == VT_EMPTY, "destination type does not match the result");

    const HRESULT hrInPlace = VariantChangeType(&src, &src, wFlags, vt);
    Check(hrInPlace == hr, "in-place conversion gave another result");
    if (SUCCEEDED(hr)) {
        Check(src.vt == vt, "in-place conversion gave another type");
        if (vt == VT_BSTR)
            Check(View(src.bstrVal) == View(pOut->bstrVal), "in-place conversion gave other text");
        else
            Check(std::memcmp(&src.llVal, &pOut->llVal, sizeof(src.llVal)) == 0,
                  "in-place conversion gave another value");
    } else {
        Check(src.vt == VT_BSTR && View(src.bstrVal) == text, "failed in-place conversion changed the source");
    }
    VariantClear(&src);
    return hr;
}

// The value's text, read back as the same type, must be the same value.
void CheckTextRoundTrip(const VARIANT& value) {
    VARIANT text;
    VariantInit(&text);
    Check(VariantChangeType(&text, &value, 0, VT_BSTR) == S_OK, "value does not convert to text");
    VARIANT back;
    Check(Convert(View(text.bstrVal), value.vt, 0, &back) == S_OK, "value's text does not read back");
    if (value.vt == VT_DATE) {
        // Dates are written to the second: the text, not the value, is what must come back unchanged.
        VARIANT textAgain;
        VariantInit(&textAgain);
        Check(VariantChangeType(&textAgain, &back, 0, VT_BSTR) == S_OK, "date does not convert to text again");
        Check(View(textAgain.bstrVal) == View(text.bstrVal), "date text changed on its way back");
        VariantClear(&textAgain);
    } else {
        bool bSame = false;
        switch (value.vt) {
            case VT_R4:
                bSame = back.fltVal == value.fltVal;
                break;
            case VT_R8:
                bSame = back.dblVal == value.dblVal;
                break;
            case VT_CY:
                bSame = back.cyVal.int64 == value.cyVal.int64;
                break;
            case VT_BOOL:
                bSame = back.boolVal == value.boolVal;
                break;
            default:
                bSame = IntegerOf(back) == IntegerOf(value);
                break;
        }
        Check(bSame, "value's text reads back to another value");
    }
    VariantClear(&back);
    VariantClear(&text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    const std::u16string text = Decode(pData, cb);

    // Integers: one value, wherever it fits.
    VARIANT i8, ui8, cy, r8, r4, boolean, date, bstr, words;
    const HRESULT hrI8 = Convert(text, VT_I8, 0, &i8);
    const HRESULT hrUi8 = Convert(text, VT_UI8, 0, &ui8);
    const HRESULT hrCy = Convert(text, VT_CY, 0, &cy);
    const HRESULT hrR8 = Convert(text, VT_R8, 0, &r8);
    const HRESULT hrR4 = Convert(text, VT_R4, 0, &r4);
    const bool bNumber = hrR8 != DISP_E_TYPEMISMATCH;
    for (HRESULT hr : {hrI8, hrUi8, hrCy, hrR4})
        Check((hr != DISP_E_TYPEMISMATCH) == bNumber, "numeric targets disagree on whether the text is a number");

    const bool bHaveInteger = SUCCEEDED(hrI8) || SUCCEEDED(hrUi8);
    const __int128 nInteger = SUCCEEDED(hrI8) ? IntegerOf(i8) : SUCCEEDED(hrUi8) ? IntegerOf(ui8) : 0;
    if (SUCCEEDED(hrI8) && SUCCEEDED(hrUi8)) Check(IntegerOf(i8) == IntegerOf(ui8), "VT_I8 and VT_UI8 disagree");
    for (const Integer& type : kIntegers) {
        VARIANT v;
        const HRESULT hr = Convert(text, type.vt, 0, &v);
        if (!bNumber) {
            Check(hr == DISP_E_TYPEMISMATCH, "integer target accepts text that is no number");
            continue;
        }
        if (bHaveInteger) {
            const bool bFits = nInteger >= type.nMin && nInteger <= type.nMax;
            Check(bFits ? hr == S_OK : hr == DISP_E_OVERFLOW, "integer fits one type but not another");
            if (bFits) Check(IntegerOf(v) == nInteger, "integer types disagree on the value");
        } else {
            Check(hr == DISP_E_OVERFLOW, "a narrower integer type accepts what VT_I8 and VT_UI8 refuse");
        }
        if (SUCCEEDED(hr)) CheckTextRoundTrip(v);
    }

    if (SUCCEEDED(hrR8)) {
        Check(std::isfinite(r8.dblVal), "text read as an infinite or undefined VT_R8");
        if (bHaveInteger) {
            const double dInteger = static_cast<double>(nInteger);
            Check(std::fabs(dInteger - r8.dblVal) <= 0.5 + std::fabs(r8.dblVal) * 1e-15,
                  "VT_R8 and the integer types disagree beyond rounding");
        }
        CheckTextRoundTrip(r8);
    }
    if (SUCCEEDED(hrR4)) {
        Check(std::isfinite(r4.fltVal), "text read as an infinite or undefined VT_R4");
        if (SUCCEEDED(hrR8))
            Check(std::fabs(r4.fltVal - r8.dblVal) <= std::fabs(r8.dblVal) * 1e-7 + 1.5e-45,
                  "VT_R4 and VT_R8 disagree beyond rounding");
        CheckTextRoundTrip(r4);
    }
    if (SUCCEEDED(hrR8) && !SUCCEEDED(hrR4)) Check(std::fabs(r8.dblVal) > 3.4e38, "VT_R4 overflows a small value");
    if (SUCCEEDED(hrCy)) {
        const double dCurrency = static_cast<double>(cy.cyVal.int64) / 10000.0;
        if (bHaveInteger)
            Check(std::fabs(static_cast<double>(nInteger) - dCurrency) <= 0.5 + std::fabs(dCurrency) * 1e-15,
                  "VT_CY and the integer types disagree beyond rounding");
        if (SUCCEEDED(hrR8))
            Check(std::fabs(dCurrency - r8.dblVal) <= 0.00005 + std::fabs(r8.dblVal) * 1e-15,
                  "VT_CY and VT_R8 disagree beyond rounding");
        CheckTextRoundTrip(cy);
    }
    if (SUCCEEDED(hrI8))
        Check(SUCCEEDED(hrCy) || std::fabs(static_cast<double>(nInteger)) > 9.2e14, "VT_CY overflows a small integer");

    const HRESULT hrBool = Convert(text, VT_BOOL, 0, &boolean);
    if (bNumber) Check(hrBool == S_OK, "VT_BOOL refuses a number");
    if (SUCCEEDED(hrBool)) {
        Check(boolean.boolVal == VARIANT_TRUE || boolean.boolVal == VARIANT_FALSE, "VT_BOOL is neither -1 nor 0");
        if (boolean.boolVal == VARIANT_FALSE && SUCCEEDED(hrR8)) Check(r8.dblVal == 0, "false reads as nonzero");
        if (SUCCEEDED(hrR8) && r8.dblVal != 0) Check(boolean.boolVal == VARIANT_TRUE, "nonzero reads as false");
        CheckTextRoundTrip(boolean);
        // With words requested, the value reads back from its word too.
        VARIANT word;
        VariantInit(&word);
        Check(VariantChangeType(&word, &boolean, VARIANT_ALPHABOOL, VT_BSTR) == S_OK, "VT_BOOL has no word");
        VARIANT back;
        Check(Convert(View(word.bstrVal), VT_BOOL, 0, &back) == S_OK && back.boolVal == boolean.boolVal,
              "VT_BOOL word reads back to another value");
        VariantClear(&word);
    }

    const HRESULT hrDate = Convert(text, VT_DATE, 0, &date);
    if (SUCCEEDED(hrDate)) CheckTextRoundTrip(date);

    Check(Convert(text, VT_BSTR, 0, &bstr) == S_OK && View(bstr.bstrVal) == text, "text does not copy as text");
    VariantClear(&bstr);
    Check(Convert(text, VT_BSTR, VARIANT_ALPHABOOL, &words) == S_OK, "text does not copy as text with flags");
    VariantClear(&words);

    // Types text never becomes.
    for (VARTYPE vt : {VT_EMPTY, VT_NULL, VT_ERROR, VT_UNKNOWN, VT_DISPATCH, VT_DECIMAL}) {
        VARIANT v;
        Check(Convert(text, vt, 0, &v) == DISP_E_TYPEMISMATCH, "text converted to a type it never becomes");
    }
    return 0;
}

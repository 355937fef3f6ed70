// VariantChangeType: conversions between the scalar automation types, BSTR text and objects.
//
// The rules, besides the text forms described in VariantText.h:
//   - Every source is read through one reference (VT_BYREF) first; the destination is written only when the
//     conversion succeeded, so a failed conversion leaves it as it was (also when it is the source).
//   - Numbers convert by value. Fractions round half to even into integer types and VT_CY; a value outside
//     the target's range is DISP_E_OVERFLOW, never wrapped. VT_BOOL reads as -1/0; into an unsigned type
//     true keeps all bits set (255, 65535, ...), as the original platform does.
//   - VT_EMPTY reads as 0, "", false, day zero and as no object; nothing but VT_EMPTY and VT_NULL becomes
//     VT_NULL, nothing but VT_EMPTY stays VT_EMPTY, and VT_NULL converts to nothing else.
//   - VT_ERROR converts only to itself: a missing optional argument must not turn into a number.
//   - VT_UNKNOWN and VT_DISPATCH convert into each other by QueryInterface. A VT_DISPATCH converts into a
//     scalar through its value property (DISPID_VALUE) unless VARIANT_NOVALUEPROP is given; a value property
//     that gives an object again is a type mismatch.
//   - Arrays and VT_DECIMAL convert only to their own type.
//   - The locale identifier is not consulted: text forms are the same in every locale.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <string>

#include "OleAutoInternal.h"
#include "VariantText.h"
#include "comrt/interfaces.h"

namespace {

using namespace comrt::internal;

// A numeric source, by kind: integers (and VT_BOOL, VT_EMPTY) exactly, VT_R4/VT_R8/VT_DATE as a double, VT_CY
// as its scaled integer.
struct Number {
    enum class Kind { Integer, Real, Currency };
    Kind kind = Kind::Integer;
    __int128 nInteger = 0;
    double dReal = 0;
    bool bFromBool = false;
};

bool ReadNumber(const VARIANT& v, Number* pNumber) {
    Number n;
    switch (v.vt) {
        case VT_EMPTY:
            break;
        case VT_I1:
            n.nInteger = static_cast<signed char>(v.cVal);
            break;
        case VT_UI1:
            n.nInteger = v.bVal;
            break;
        case VT_I2:
            n.nInteger = v.iVal;
            break;
        case VT_UI2:
            n.nInteger = v.uiVal;
            break;
        case VT_I4:
            n.nInteger = v.lVal;
            break;
        case VT_UI4:
            n.nInteger = v.ulVal;
            break;
        case VT_INT:
            n.nInteger = v.intVal;
            break;
        case VT_UINT:
            n.nInteger = v.uintVal;
            break;
        case VT_I8:
            n.nInteger = v.llVal;
            break;
        case VT_UI8:
            n.nInteger = v.ullVal;
            break;
        case VT_BOOL:
            n.nInteger = v.boolVal != VARIANT_FALSE ? -1 : 0;
            n.bFromBool = true;
            break;
        case VT_R4:
            n.kind = Number::Kind::Real;
            n.dReal = v.fltVal;
            break;
        case VT_R8:
            n.kind = Number::Kind::Real;
            n.dReal = v.dblVal;
            break;
        case VT_DATE:
            n.kind = Number::Kind::Real;
            n.dReal = v.date;
            break;
        case VT_CY:
            n.kind = Number::Kind::Currency;
            n.nInteger = v.cyVal.int64;
            break;
        default:
            return false;
    }
    *pNumber = n;
    return true;
}

// The range of an integer type; false for other types.
bool IntegerRange(VARTYPE vt, __int128* pnMin, __int128* pnMax) {
    switch (vt) {
        case VT_I1:
            *pnMin = INT8_MIN;
            *pnMax = INT8_MAX;
            return true;
        case VT_UI1:
            *pnMin = 0;
            *pnMax = UINT8_MAX;
            return true;
        case VT_I2:
            *pnMin = INT16_MIN;
            *pnMax = INT16_MAX;
            return true;
        case VT_UI2:
            *pnMin = 0;
            *pnMax = UINT16_MAX;
            return true;
        case VT_I4:
        case VT_INT:
            *pnMin = INT32_MIN;
            *pnMax = INT32_MAX;
            return true;
        case VT_UI4:
        case VT_UINT:
            *pnMin = 0;
            *pnMax = UINT32_MAX;
            return true;
        case VT_I8:
            *pnMin = INT64_MIN;
            *pnMax = INT64_MAX;
            return true;
        case VT_UI8:
            *pnMin = 0;
            *pnMax = UINT64_MAX;
            return true;
        default:
            return false;
    }
}

// The caller has checked that n lies in vt's range.
void StoreInteger(VARIANT* pOut, VARTYPE vt, __int128 n) {
    switch (vt) {
        case VT_I1:
            pOut->cVal = static_cast<CHAR>(n);
            break;
        case VT_UI1:
            pOut->bVal = static_cast<BYTE>(n);
            break;
        case VT_I2:
            pOut->iVal = static_cast<SHORT>(n);
            break;
        case VT_UI2:
            pOut->uiVal = static_cast<USHORT>(n);
            break;
        case VT_I4:
            pOut->lVal = static_cast<LONG>(n);
            break;
        case VT_INT:
            pOut->intVal = static_cast<INT>(n);
            break;
        case VT_UI4:
            pOut->ulVal = static_cast<ULONG>(n);
            break;
        case VT_UINT:
            pOut->uintVal = static_cast<UINT>(n);
            break;
        case VT_I8:
            pOut->llVal = static_cast<LONGLONG>(n);
            break;
        case VT_UI8:
            pOut->ullVal = static_cast<ULONGLONG>(n);
            break;
        default:
            return;
    }
    pOut->vt = vt;
}

double RoundHalfEven(double d) {
    const double dFloor = std::floor(d);
    const double dFraction = d - dFloor;
    if (dFraction > 0.5) return dFloor + 1;
    if (dFraction < 0.5) return dFloor;
    return std::fmod(dFloor, 2.0) == 0 ? dFloor : dFloor + 1;
}

// A double rounded into [nMin, nMax]. The bounds are powers of two or small, so nMax + 1 is exact in a double.
HRESULT RealToInteger(double d, __int128 nMin, __int128 nMax, __int128* pn) {
    if (std::isnan(d)) return DISP_E_OVERFLOW;
    const double dRounded = RoundHalfEven(d);
    if (!(dRounded >= static_cast<double>(nMin) && dRounded < static_cast<double>(nMax) + 1.0)) return DISP_E_OVERFLOW;
    *pn = static_cast<__int128>(dRounded);
    return S_OK;
}

HRESULT NumberToInteger(const Number& n, __int128 nMin, __int128 nMax, __int128* pn) {
    __int128 nValue = n.nInteger;
    switch (n.kind) {
        case Number::Kind::Integer:
            if (n.bFromBool && nMin == 0) nValue = n.nInteger != 0 ? nMax : 0;
            break;
        case Number::Kind::Real:
            return RealToInteger(n.dReal, nMin, nMax, pn);
        case Number::Kind::Currency: {
            nValue = n.nInteger / 10000;
            const __int128 nRest = n.nInteger % 10000;
            const __int128 nRestSize = nRest < 0 ? -nRest : nRest;
            if (nRestSize > 5000 || (nRestSize == 5000 && (nValue & 1) != 0)) nValue += nRest < 0 ? -1 : 1;
            break;
        }
    }
    if (nValue < nMin || nValue > nMax) return DISP_E_OVERFLOW;
    *pn = nValue;
    return S_OK;
}

double NumberToDouble(const Number& n) {
    switch (n.kind) {
        case Number::Kind::Integer:
            return static_cast<double>(n.nInteger);
        case Number::Kind::Real:
            return n.dReal;
        case Number::Kind::Currency:
            return static_cast<double>(n.nInteger) / 10000.0;
    }
    return 0;
}

HRESULT NumberToCurrency(const Number& n, LONGLONG* pnScaled) {
    __int128 nScaled = 0;
    switch (n.kind) {
        case Number::Kind::Integer:
            nScaled = n.nInteger * 10000;
            break;
        case Number::Kind::Real: {
            const HRESULT hr = RealToInteger(n.dReal * 10000.0, INT64_MIN, INT64_MAX, &nScaled);
            if (FAILED(hr)) return hr;
            break;
        }
        case Number::Kind::Currency:
            nScaled = n.nInteger;
            break;
    }
    if (nScaled < INT64_MIN || nScaled > INT64_MAX) return DISP_E_OVERFLOW;
    *pnScaled = static_cast<LONGLONG>(nScaled);
    return S_OK;
}

HRESULT StoreText(VARIANT* pOut, const std::u16string& sText) {
    BSTR bstr = SysAllocStringLen(sText.data(), static_cast<UINT>(sText.size()));
    if (bstr == nullptr) return E_OUTOFMEMORY;
    pOut->vt = VT_BSTR;
    pOut->bstrVal = bstr;
    return S_OK;
}

HRESULT NumberToText(const VARIANT& value, const Number& n, USHORT wFlags, VARIANT* pOut) {
    std::u16string sText;
    switch (value.vt) {
        case VT_EMPTY:
            break;
        case VT_BOOL:
            if (wFlags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
                sText = n.nInteger != 0 ? u"True" : u"False";
            else
                sText = n.nInteger != 0 ? u"-1" : u"0";
            break;
        case VT_R4:
            sText = FormatFloat(value.fltVal);
            break;
        case VT_R8:
            sText = FormatDouble(value.dblVal);
            break;
        case VT_CY:
            sText = FormatCurrency(value.cyVal.int64);
            break;
        case VT_DATE: {
            const HRESULT hr = FormatDate(value.date, &sText);
            if (FAILED(hr)) return hr;
            break;
        }
        default:
            sText = FormatInteger(n.nInteger);
            break;
    }
    return StoreText(pOut, sText);
}

// Scalars (numbers, VT_BOOL, VT_DATE, VT_CY, VT_EMPTY) into scalars and text.
HRESULT FromNumber(const VARIANT& value, VARTYPE vt, USHORT wFlags, VARIANT* pOut) {
    Number n;
    if (!ReadNumber(value, &n)) return DISP_E_TYPEMISMATCH;
    __int128 nMin = 0, nMax = 0;
    if (IntegerRange(vt, &nMin, &nMax)) {
        __int128 nValue = 0;
        const HRESULT hr = NumberToInteger(n, nMin, nMax, &nValue);
        if (SUCCEEDED(hr)) StoreInteger(pOut, vt, nValue);
        return hr;
    }
    switch (vt) {
        case VT_R4: {
            const double d = NumberToDouble(n);
            if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
            pOut->fltVal = static_cast<float>(d);
            break;
        }
        case VT_R8:
            pOut->dblVal = NumberToDouble(n);
            break;
        case VT_DATE: {
            const double d = NumberToDouble(n);
            if (!IsValidDate(d)) return DISP_E_OVERFLOW;
            pOut->date = d;
            break;
        }
        case VT_CY: {
            const HRESULT hr = NumberToCurrency(n, &pOut->cyVal.int64);
            if (FAILED(hr)) return hr;
            break;
        }
        case VT_BOOL:
            pOut->boolVal = NumberToDouble(n) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_BSTR:
            return NumberToText(value, n, wFlags, pOut);
        default:
            return DISP_E_TYPEMISMATCH;
    }
    pOut->vt = vt;
    return S_OK;
}

// BSTR text into scalars.
HRESULT FromText(BSTR bstr, VARTYPE vt, VARIANT* pOut) {
    const std::u16string_view text(bstr ? bstr : u"", SysStringLen(bstr));
    if (vt == VT_BOOL) {
        bool bValue = false;
        if (!ParseBool(text, &bValue)) return DISP_E_TYPEMISMATCH;
        pOut->boolVal = bValue ? VARIANT_TRUE : VARIANT_FALSE;
        pOut->vt = vt;
        return S_OK;
    }
    if (vt == VT_DATE) {
        const HRESULT hr = ParseDate(text, &pOut->date);
        if (SUCCEEDED(hr)) pOut->vt = vt;
        return hr;
    }
    __int128 nMin = 0, nMax = 0;
    const bool bInteger = IntegerRange(vt, &nMin, &nMax);
    if (!bInteger && vt != VT_R4 && vt != VT_R8 && vt != VT_CY) return DISP_E_TYPEMISMATCH;

    DecimalNumber number;
    if (!ParseDecimal(text, &number)) return DISP_E_TYPEMISMATCH;
    HRESULT hr = S_OK;
    __int128 nValue = 0;
    if (bInteger) {
        hr = DecimalToInteger(number, 0, nMin, nMax, &nValue);
        if (SUCCEEDED(hr)) StoreInteger(pOut, vt, nValue);
        return hr;
    }
    if (vt == VT_R4)
        hr = DecimalToFloat(number, &pOut->fltVal);
    else if (vt == VT_R8)
        hr = DecimalToDouble(number, &pOut->dblVal);
    else if (SUCCEEDED(hr = DecimalToInteger(number, 4, INT64_MIN, INT64_MAX, &nValue)))
        pOut->cyVal.int64 = static_cast<LONGLONG>(nValue);
    if (SUCCEEDED(hr)) pOut->vt = vt;
    return hr;
}

HRESULT Coerce(VARIANT* pValue, LCID lcid, USHORT wFlags, VARTYPE vt, VARIANT* pOut);

// Objects: into each other by QueryInterface, into scalars through the value property.
HRESULT FromObject(const VARIANT& value, LCID lcid, USHORT wFlags, VARTYPE vt, VARIANT* pOut) {
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        pOut->vt = vt;
        if (value.punkVal == nullptr) return S_OK;
        const IID& iid = vt == VT_DISPATCH ? IDispatch::kIid : IUnknown::kIid;
        void* pv = nullptr;
        if (FAILED(value.punkVal->QueryInterface(iid, &pv)) || pv == nullptr) {
            VariantInit(pOut);
            return DISP_E_TYPEMISMATCH;
        }
        pOut->punkVal = static_cast<IUnknown*>(pv);
        return S_OK;
    }
    if (value.vt != VT_DISPATCH || value.pdispVal == nullptr || (wFlags & VARIANT_NOVALUEPROP) != 0)
        return DISP_E_TYPEMISMATCH;
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    VARIANT property;
    VariantInit(&property);
    HRESULT hr = value.pdispVal->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &params, &property, nullptr,
                                        nullptr);
    if (SUCCEEDED(hr)) hr = VariantCopyInd(&property, &property);  // an object may answer with a reference
    if (SUCCEEDED(hr)) hr = Coerce(&property, lcid, wFlags | VARIANT_NOVALUEPROP, vt, pOut);
    VariantClear(&property);
    if (FAILED(hr) && hr != E_OUTOFMEMORY && hr != DISP_E_OVERFLOW) return DISP_E_TYPEMISMATCH;
    return hr;
}

// Converts *pValue (owned, not a reference) into *pOut (empty). *pValue may be taken over.
HRESULT Coerce(VARIANT* pValue, LCID lcid, USHORT wFlags, VARTYPE vt, VARIANT* pOut) {
    const VARTYPE vtFrom = pValue->vt;
    if (vtFrom == vt) {
        *pOut = *pValue;
        VariantInit(pValue);
        return S_OK;
    }
    if (((vtFrom | vt) & VT_ARRAY) != 0 || vtFrom == VT_DECIMAL || vt == VT_DECIMAL) return DISP_E_TYPEMISMATCH;
    if (vtFrom == VT_NULL || vtFrom == VT_ERROR || vt == VT_ERROR || vt == VT_EMPTY) return DISP_E_TYPEMISMATCH;
    if (vt == VT_NULL) {
        if (vtFrom != VT_EMPTY) return DISP_E_TYPEMISMATCH;
        pOut->vt = VT_NULL;
        return S_OK;
    }
    if (vtFrom == VT_UNKNOWN || vtFrom == VT_DISPATCH) return FromObject(*pValue, lcid, wFlags, vt, pOut);
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (vtFrom != VT_EMPTY) return DISP_E_TYPEMISMATCH;
        pOut->vt = vt;  // no object
        pOut->punkVal = nullptr;
        return S_OK;
    }
    if (vtFrom == VT_BSTR) return FromText(pValue->bstrVal, vt, pOut);
    return FromNumber(*pValue, vt, wFlags, pOut);
}

}  // namespace

HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt) {
    if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
    if (!IsValidVariantType(pvarSrc->vt) || (vt & VT_BYREF) != 0 || !IsValidVariantType(vt)) return DISP_E_BADVARTYPE;
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = VariantCopyInd(&value, pvarSrc);
    if (FAILED(hr)) return hr;
    VARIANT result;
    VariantInit(&result);
    hr = Coerce(&value, lcid, wFlags, vt, &result);
    VariantClear(&value);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    // The source has been read completely, so the destination may be the source itself.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}

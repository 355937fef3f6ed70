// Automation types: BSTR, VARIANT, one-dimensional SAFEARRAY, and the conversions between variant types.
#pragma once

#include "comrt/types.h"

struct IUnknown;
struct IDispatch;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_USERDEFINED = 29,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_CLSID = 72,
    VT_VECTOR = 0x1000,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_RESERVED = 0x8000,
    VT_TYPEMASK = 0x0FFF,
};

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

// Array descriptor. Only one dimension is ever created by this runtime; cDims is kept so that stored data
// that claims more dimensions can be recognised and refused.
struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};

constexpr USHORT FADF_AUTO = 0x0001;
constexpr USHORT FADF_STATIC = 0x0002;
constexpr USHORT FADF_EMBEDDED = 0x0004;
constexpr USHORT FADF_FIXEDSIZE = 0x0010;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        CY* pcyVal;
        DATE* pdate;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        void* byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        INT* pintVal;
        UINT* puintVal;
        struct {
            void* pvRecord;
            void* pRecInfo;
        } brecVal;
    };
};
using VARIANTARG = VARIANT;
static_assert(sizeof(VARIANT) == 24, "VARIANT keeps the 64-bit COM layout");

// VariantChangeType flags.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

// BSTR. The allocator is the runtime's, so a BSTR made by one module may be freed by another.
COMRT_API BSTR SysAllocString(const OLECHAR* psz);
COMRT_API BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
COMRT_API BSTR SysAllocStringByteLen(const char* psz, UINT cb);
COMRT_API int SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
COMRT_API int SysReAllocStringLen(BSTR* pbstr, const OLECHAR* pch, UINT cch);
COMRT_API void SysFreeString(BSTR bstr);
COMRT_API UINT SysStringLen(BSTR bstr);
COMRT_API UINT SysStringByteLen(BSTR bstr);

// VARIANT.
COMRT_API void VariantInit(VARIANT* pvarg);
COMRT_API HRESULT VariantClear(VARIANT* pvarg);
COMRT_API HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc);
COMRT_API HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANT* pvargSrc);
// Converts between the scalar types, BSTR text (C locale numbers, "True"/"False" with VARIANT_ALPHABOOL,
// otherwise "-1"/"0"), and objects (VT_UNKNOWN <-> VT_DISPATCH by QueryInterface). Fails with
// DISP_E_TYPEMISMATCH when the source cannot be read as the target, DISP_E_OVERFLOW when it does not fit,
// DISP_E_BADVARTYPE for a type the runtime does not know. pvargDest may equal pvarSrc.
COMRT_API HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt);
COMRT_API HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt);

// One-dimensional SAFEARRAY.
COMRT_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
COMRT_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
COMRT_API HRESULT SafeArrayDestroy(SAFEARRAY* psa);
COMRT_API HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
COMRT_API HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
COMRT_API UINT SafeArrayGetDim(SAFEARRAY* psa);
COMRT_API UINT SafeArrayGetElemsize(SAFEARRAY* psa);
COMRT_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
COMRT_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
COMRT_API HRESULT SafeArrayLock(SAFEARRAY* psa);
COMRT_API HRESULT SafeArrayUnlock(SAFEARRAY* psa);
COMRT_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
COMRT_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// Element access copies: a BSTR element is copied out as a new BSTR, an interface is AddRef'ed, a VARIANT
// is VariantCopy'd; PutElement copies in the same way and releases what the slot held.
// Get copies the element into *pv (a new BSTR, an AddRef'ed interface, a VariantCopy). Put copies in the
// same way; for BSTR and interface arrays pv is the BSTR or the interface pointer itself, for every other
// type it points at the value.
COMRT_API HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
COMRT_API HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
COMRT_API HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);

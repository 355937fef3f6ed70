// BSTR and VARIANT: allocation, clearing and copying. Conversions live in VariantConversion.cpp, arrays in
// SafeArray.cpp.
//
// A BSTR is allocated as [32-bit byte length][characters][NUL character]; the BSTR points at the first
// character, so it reads as an ordinary NUL-terminated string while the prefix keeps embedded NULs and odd
// byte lengths. The null BSTR is the empty string everywhere.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "OleAutoInternal.h"
#include "comrt/interfaces.h"

namespace comrt::internal {

bool IsValidVariantType(VARTYPE vt) {
    const VARTYPE nBase = vt & VT_TYPEMASK;
    const VARTYPE nFlags = vt & ~VT_TYPEMASK;
    if ((nFlags & ~(VT_BYREF | VT_ARRAY)) != 0) return false;
    if (nBase == VT_EMPTY || nBase == VT_NULL) return nFlags == 0;
    if (nBase == VT_VARIANT) return nFlags != 0;
    return ValueSize(nBase) != 0;
}

unsigned ValueSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            return 8;
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(void*);
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

}  // namespace comrt::internal

namespace {

using comrt::internal::IsValidVariantType;
using comrt::internal::ValueSize;

using Prefix = std::uint32_t;

// Longest byte length a BSTR may have: the prefix must hold it and the allocation must not wrap.
constexpr std::size_t kMaxBstrBytes = 0xFFFFFFF0u;

Prefix* PrefixOf(BSTR bstr) {
    return reinterpret_cast<Prefix*>(bstr) - 1;
}

// A BSTR of cb bytes, copied from pv or zero-filled when pv is null.
BSTR AllocBytes(const void* pv, std::size_t cb) {
    if (cb > kMaxBstrBytes) return nullptr;
    // The characters are followed by zero bytes up to and including a whole NUL character, also when the
    // byte length is odd.
    const std::size_t cbTail = (cb % 2) + sizeof(OLECHAR);
    auto* pBlock = static_cast<unsigned char*>(std::malloc(sizeof(Prefix) + cb + cbTail));
    if (pBlock == nullptr) return nullptr;
    const auto nLength = static_cast<Prefix>(cb);
    std::memcpy(pBlock, &nLength, sizeof(nLength));
    unsigned char* pChars = pBlock + sizeof(Prefix);
    if (pv != nullptr && cb != 0)
        std::memcpy(pChars, pv, cb);
    else
        std::memset(pChars, 0, cb);
    std::memset(pChars + cb, 0, cbTail);
    return reinterpret_cast<BSTR>(pChars);
}

// Releases what a VARIANT owns. The caller has checked the type.
HRESULT ReleaseValue(VARIANT* pvarg) {
    if (pvarg->vt & VT_BYREF) return S_OK;  // references are borrowed
    if (pvarg->vt & VT_ARRAY) return pvarg->parray ? SafeArrayDestroy(pvarg->parray) : S_OK;
    switch (pvarg->vt) {
        case VT_BSTR:
            SysFreeString(pvarg->bstrVal);
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (pvarg->punkVal) pvarg->punkVal->Release();
            break;
        default:
            break;
    }
    return S_OK;
}

// A copy of a VARIANT that is not a reference: BSTRs and arrays duplicated, interfaces AddRef'ed. *pOut is
// written whole and holds nothing on failure.
HRESULT CopyValue(VARIANT* pOut, const VARIANT& src) {
    std::memcpy(pOut, &src, sizeof(VARIANT));  // also carries a DECIMAL, which overlays the whole VARIANT
    if (src.vt & VT_ARRAY) {
        pOut->parray = nullptr;
        const HRESULT hr = SafeArrayCopy(src.parray, &pOut->parray);
        if (FAILED(hr)) VariantInit(pOut);
        return hr;
    }
    switch (src.vt) {
        case VT_BSTR:
            if (src.bstrVal != nullptr) {
                pOut->bstrVal =
                    SysAllocStringByteLen(reinterpret_cast<const char*>(src.bstrVal), SysStringByteLen(src.bstrVal));
                if (pOut->bstrVal == nullptr) {
                    VariantInit(pOut);
                    return E_OUTOFMEMORY;
                }
            }
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (src.punkVal) src.punkVal->AddRef();
            break;
        default:
            break;
    }
    return S_OK;
}

// The value a VARIANT stands for, without copying: a reference is followed once (a VARIANT reached by
// reference must not be a reference itself). The result borrows everything from src.
HRESULT Dereference(const VARIANT& src, VARIANT* pOut) {
    if ((src.vt & VT_BYREF) == 0) {
        *pOut = src;
        return S_OK;
    }
    if (src.byref == nullptr) return E_INVALIDARG;
    const auto vt = static_cast<VARTYPE>(src.vt & ~VT_BYREF);
    VariantInit(pOut);
    if (vt == VT_VARIANT) {
        const VARIANT& target = *src.pvarVal;
        if ((target.vt & VT_BYREF) != 0) return E_INVALIDARG;
        if (!IsValidVariantType(target.vt)) return DISP_E_BADVARTYPE;
        *pOut = target;
        return S_OK;
    }
    if (vt & VT_ARRAY) {
        pOut->parray = *src.pparray;
    } else if (vt == VT_DECIMAL) {
        std::memcpy(pOut, src.byref, sizeof(DECIMAL));
    } else {
        std::memcpy(&pOut->llVal, src.byref, ValueSize(vt));
    }
    pOut->vt = vt;
    return S_OK;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    std::size_t cch = 0;
    while (psz[cch] != 0) ++cch;
    if (cch > kMaxBstrBytes / sizeof(OLECHAR)) return nullptr;
    return AllocBytes(psz, cch * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
    if (cch > kMaxBstrBytes / sizeof(OLECHAR)) return nullptr;
    return AllocBytes(pch, std::size_t{cch} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* psz, UINT cb) {
    return AllocBytes(psz, cb);
}

int SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (pbstr == nullptr) return FALSE;
    if (psz == *pbstr && psz != nullptr) return TRUE;
    BSTR bstrNew = nullptr;
    if (psz != nullptr) {
        // psz may lie inside the old string: copy before freeing.
        bstrNew = SysAllocString(psz);
        if (bstrNew == nullptr) return FALSE;
    }
    SysFreeString(*pbstr);
    *pbstr = bstrNew;
    return TRUE;
}

int SysReAllocStringLen(BSTR* pbstr, const OLECHAR* pch, UINT cch) {
    if (pbstr == nullptr) return FALSE;
    BSTR bstrNew = SysAllocStringLen(pch, cch);
    if (bstrNew == nullptr) return FALSE;
    if (pch == nullptr && *pbstr != nullptr) {
        // Without new text the old characters are kept, as far as they fit.
        const UINT cchKeep = std::min(cch, SysStringLen(*pbstr));
        std::memcpy(bstrNew, *pbstr, cchKeep * sizeof(OLECHAR));
    }
    SysFreeString(*pbstr);
    *pbstr = bstrNew;
    return TRUE;
}

void SysFreeString(BSTR bstr) {
    if (bstr != nullptr) std::free(PrefixOf(bstr));
}

UINT SysStringLen(BSTR bstr) {
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}

UINT SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr) return 0;
    Prefix nLength = 0;
    std::memcpy(&nLength, PrefixOf(bstr), sizeof(nLength));
    return nLength;
}

void VariantInit(VARIANT* pvarg) {
    if (pvarg != nullptr) std::memset(pvarg, 0, sizeof(VARIANT));  // vt = VT_EMPTY
}

HRESULT VariantClear(VARIANT* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    if (!IsValidVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
    const HRESULT hr = ReleaseValue(pvarg);
    if (FAILED(hr)) return hr;  // a locked array stays where it is
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    if (!IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    VARIANT copy;
    HRESULT hr = S_OK;
    if (pvargSrc->vt & VT_BYREF)
        copy = *pvargSrc;  // a reference is copied as a reference
    else
        hr = CopyValue(&copy, *pvargSrc);
    if (FAILED(hr)) return hr;
    // The copy is complete before the destination lets go of its value, which may own the source.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        ReleaseValue(&copy);
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANT* pvargSrc) {
    if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (!IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    VARIANT value;
    HRESULT hr = Dereference(*pvargSrc, &value);
    if (FAILED(hr)) return hr;
    VARIANT copy;
    hr = CopyValue(&copy, value);
    if (FAILED(hr)) return hr;
    // The source may be the destination itself: it is read completely before the destination is cleared.
    hr = VariantClear(pvarDest);
    if (FAILED(hr)) {
        ReleaseValue(&copy);
        return hr;
    }
    *pvarDest = copy;
    return S_OK;
}

// One-dimensional SAFEARRAYs. The runtime creates arrays of one dimension only; a descriptor that claims more
// (from stored data or a foreign module) is refused with E_INVALIDARG rather than read past its one bound.
//
// Element access copies in both directions, as the original platform does. The element is passed the way
// the original passes it: for BSTR arrays PutElement's pv is the BSTR itself and for interface arrays the
// interface pointer itself; for every other type pv points at the value. GetElement always writes through pv
// (a BSTR*, an IUnknown**, a VARIANT*, ...), treating what was there as uninitialised.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "OleAutoInternal.h"
#include "comrt/interfaces.h"

namespace {

using comrt::internal::ValueSize;

// The allocation behind an array this runtime creates: the element type sits in the four bytes just before
// the descriptor, which is where FADF_HAVEVARTYPE tells readers to look for it.
struct ArrayBlock {
    std::uint32_t nReserved;
    std::uint32_t nVarType;
    SAFEARRAY descriptor;
};
static_assert(offsetof(ArrayBlock, descriptor) == 2 * sizeof(std::uint32_t),
              "the element type must sit directly before the descriptor");

// Arrays whose memory belongs to someone else: their elements are released, their memory is not freed.
constexpr USHORT kForeignMemory = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;

enum class ElementKind { Plain, Bstr, Interface, Variant };

// How elements are copied and released, from the descriptor's features. False when the features contradict
// each other or the element size, so a damaged descriptor is refused instead of being trusted.
bool KindOf(const SAFEARRAY& sa, ElementKind* pKind) {
    const USHORT nTyped = sa.fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT);
    switch (nTyped) {
        case 0:
            *pKind = ElementKind::Plain;
            return sa.cbElements != 0;
        case FADF_BSTR:
            *pKind = ElementKind::Bstr;
            return sa.cbElements == sizeof(BSTR);
        case FADF_UNKNOWN:
        case FADF_DISPATCH:
        case FADF_UNKNOWN | FADF_DISPATCH:
            *pKind = ElementKind::Interface;
            return sa.cbElements == sizeof(IUnknown*);
        case FADF_VARIANT:
            *pKind = ElementKind::Variant;
            return sa.cbElements == sizeof(VARIANT);
        default:
            return false;
    }
}

USHORT FeaturesOf(VARTYPE vt) {
    switch (vt) {
        case VT_BSTR:
            return FADF_BSTR;
        case VT_UNKNOWN:
            return FADF_UNKNOWN;
        case VT_DISPATCH:
            return FADF_DISPATCH;
        case VT_VARIANT:
            return FADF_VARIANT;
        default:
            return 0;
    }
}

// Whether the bounds are expressible: the upper bound (lower bound - 1 for an empty array) must be a LONG.
bool BoundsFit(const SAFEARRAYBOUND& bound) {
    const std::int64_t nUpper = std::int64_t{bound.lLbound} + std::int64_t{bound.cElements} - 1;
    return nUpper >= std::numeric_limits<LONG>::min() && nUpper <= std::numeric_limits<LONG>::max();
}

HRESULT CheckArray(const SAFEARRAY* psa, ElementKind* pKind) {
    if (psa == nullptr || psa->cDims != 1 || !KindOf(*psa, pKind)) return E_INVALIDARG;
    if (psa->rgsabound[0].cElements != 0 && psa->pvData == nullptr) return E_INVALIDARG;
    return S_OK;
}

HRESULT ElementAddress(const SAFEARRAY& sa, const LONG* rgIndices, void** ppElement) {
    if (rgIndices == nullptr) return E_INVALIDARG;
    const std::int64_t nOffset = std::int64_t{rgIndices[0]} - sa.rgsabound[0].lLbound;
    if (nOffset < 0 || nOffset >= std::int64_t{sa.rgsabound[0].cElements}) return DISP_E_BADINDEX;
    *ppElement = static_cast<char*>(sa.pvData) + static_cast<std::size_t>(nOffset) * sa.cbElements;
    return S_OK;
}

void ReleaseElements(const SAFEARRAY& sa, ElementKind kind, ULONG nFirst, ULONG nEnd) {
    char* pElement = static_cast<char*>(sa.pvData) + std::size_t{nFirst} * sa.cbElements;
    for (ULONG i = nFirst; i < nEnd; ++i, pElement += sa.cbElements) {
        switch (kind) {
            case ElementKind::Bstr:
                SysFreeString(*reinterpret_cast<BSTR*>(pElement));
                break;
            case ElementKind::Interface:
                if (auto* pUnk = *reinterpret_cast<IUnknown**>(pElement)) pUnk->Release();
                break;
            case ElementKind::Variant:
                VariantClear(reinterpret_cast<VARIANT*>(pElement));
                break;
            case ElementKind::Plain:
                break;
        }
        std::memset(pElement, 0, sa.cbElements);
    }
}

// Copies element pvFrom into the empty slot pvTo.
HRESULT CopyElement(ElementKind kind, ULONG cbElement, void* pvTo, const void* pvFrom) {
    switch (kind) {
        case ElementKind::Plain:
            std::memcpy(pvTo, pvFrom, cbElement);
            return S_OK;
        case ElementKind::Bstr: {
            BSTR bstr = *static_cast<const BSTR*>(pvFrom);
            BSTR* pbstrTo = static_cast<BSTR*>(pvTo);
            *pbstrTo = nullptr;
            if (bstr == nullptr) return S_OK;
            *pbstrTo = SysAllocStringByteLen(reinterpret_cast<const char*>(bstr), SysStringByteLen(bstr));
            return *pbstrTo ? S_OK : E_OUTOFMEMORY;
        }
        case ElementKind::Interface: {
            IUnknown* pUnk = *static_cast<IUnknown* const*>(pvFrom);
            if (pUnk) pUnk->AddRef();
            *static_cast<IUnknown**>(pvTo) = pUnk;
            return S_OK;
        }
        case ElementKind::Variant:
            VariantInit(static_cast<VARIANT*>(pvTo));
            return VariantCopy(static_cast<VARIANT*>(pvTo), static_cast<const VARIANT*>(pvFrom));
    }
    return E_UNEXPECTED;
}

// Element access holds a lock, so that the array cannot be destroyed or resized underneath it.
class CArrayLock {
public:
    explicit CArrayLock(SAFEARRAY* psa) : m_psa(psa), m_hr(SafeArrayLock(psa)) {}
    ~CArrayLock() {
        if (SUCCEEDED(m_hr)) SafeArrayUnlock(m_psa);
    }
    HRESULT Result() const { return m_hr; }

private:
    SAFEARRAY* m_psa;
    HRESULT m_hr;
};

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    if (cDims != 1 || rgsabound == nullptr || ValueSize(vt) == 0 || !BoundsFit(rgsabound[0])) return nullptr;
    auto* pBlock = new (std::nothrow) ArrayBlock{};
    if (pBlock == nullptr) return nullptr;
    pBlock->nVarType = vt;
    SAFEARRAY& sa = pBlock->descriptor;
    sa.cDims = 1;
    sa.fFeatures = FADF_HAVEVARTYPE | FeaturesOf(vt);
    sa.cbElements = ValueSize(vt);
    sa.rgsabound[0] = rgsabound[0];
    if (sa.rgsabound[0].cElements != 0) {
        // Zeroed memory is a valid element of every type: 0, the null BSTR, no interface, VT_EMPTY.
        sa.pvData = std::calloc(sa.rgsabound[0].cElements, sa.cbElements);
        if (sa.pvData == nullptr) {
            delete pBlock;
            return nullptr;
        }
    }
    return &sa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (psa == nullptr) return S_OK;
    ElementKind kind;
    const HRESULT hr = CheckArray(psa, &kind);
    if (FAILED(hr)) return hr;
    if (std::atomic_ref<ULONG>(psa->cLocks).load() != 0) return DISP_E_ARRAYISLOCKED;
    ReleaseElements(*psa, kind, 0, psa->rgsabound[0].cElements);
    if (psa->fFeatures & kForeignMemory) return S_OK;
    std::free(psa->pvData);
    delete reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(psa) - offsetof(ArrayBlock, descriptor));
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (ppsaOut == nullptr) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (psa == nullptr) return S_OK;  // no array copies as no array
    ElementKind kind;
    VARTYPE vt = VT_EMPTY;
    HRESULT hr = CheckArray(psa, &kind);
    if (SUCCEEDED(hr)) hr = SafeArrayGetVartype(psa, &vt);
    if (FAILED(hr)) return hr;
    SAFEARRAY* psaCopy = SafeArrayCreate(vt, 1, psa->rgsabound);
    if (psaCopy == nullptr) return E_OUTOFMEMORY;
    if (psaCopy->cbElements != psa->cbElements) {
        SafeArrayDestroy(psaCopy);
        return E_INVALIDARG;
    }
    const char* pFrom = static_cast<const char*>(psa->pvData);
    char* pTo = static_cast<char*>(psaCopy->pvData);
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
        hr = CopyElement(kind, psa->cbElements, pTo + std::size_t{i} * psa->cbElements,
                         pFrom + std::size_t{i} * psa->cbElements);
        if (FAILED(hr)) {
            SafeArrayDestroy(psaCopy);
            return hr;
        }
    }
    *ppsaOut = psaCopy;
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
    if (psa->fFeatures & FADF_HAVEVARTYPE) {
        std::uint32_t nVarType = 0;
        std::memcpy(&nVarType, reinterpret_cast<const char*>(psa) - sizeof(nVarType), sizeof(nVarType));
        *pvt = static_cast<VARTYPE>(nVarType);
        return S_OK;
    }
    // Without a recorded type, the features name the types that need special handling.
    if (psa->fFeatures & FADF_BSTR)
        *pvt = VT_BSTR;
    else if (psa->fFeatures & FADF_DISPATCH)
        *pvt = VT_DISPATCH;
    else if (psa->fFeatures & FADF_UNKNOWN)
        *pvt = VT_UNKNOWN;
    else if (psa->fFeatures & FADF_VARIANT)
        *pvt = VT_VARIANT;
    else
        return E_INVALIDARG;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
    if (psa->cDims != 1) return E_INVALIDARG;
    *plLbound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
    if (psa->cDims != 1) return E_INVALIDARG;
    const std::int64_t nUpper = std::int64_t{psa->rgsabound[0].lLbound} + psa->rgsabound[0].cElements - 1;
    *plUbound = static_cast<LONG>(nUpper);
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (psa == nullptr) return E_INVALIDARG;
    std::atomic_ref<ULONG> nLocks(psa->cLocks);
    ULONG n = nLocks.load();
    do {
        if (n >= 0xFFFF) return E_UNEXPECTED;  // the original's limit; more locks mean a leak
    } while (!nLocks.compare_exchange_weak(n, n + 1));
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (psa == nullptr) return E_INVALIDARG;
    std::atomic_ref<ULONG> nLocks(psa->cLocks);
    ULONG n = nLocks.load();
    do {
        if (n == 0) return E_UNEXPECTED;
    } while (!nLocks.compare_exchange_weak(n, n - 1));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
    const HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr)) return hr;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    return SafeArrayUnlock(psa);
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (pv == nullptr) return E_INVALIDARG;
    ElementKind kind;
    HRESULT hr = CheckArray(psa, &kind);
    void* pElement = nullptr;
    if (SUCCEEDED(hr)) hr = ElementAddress(*psa, rgIndices, &pElement);
    if (FAILED(hr)) return hr;
    CArrayLock lock(psa);
    if (FAILED(lock.Result())) return lock.Result();
    return CopyElement(kind, psa->cbElements, pv, pElement);
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    ElementKind kind;
    HRESULT hr = CheckArray(psa, &kind);
    void* pElement = nullptr;
    if (SUCCEEDED(hr)) hr = ElementAddress(*psa, rgIndices, &pElement);
    if (FAILED(hr)) return hr;
    // A null BSTR and a null interface are values; other types need something to read.
    if (pv == nullptr && (kind == ElementKind::Plain || kind == ElementKind::Variant)) return E_INVALIDARG;
    CArrayLock lock(psa);
    if (FAILED(lock.Result())) return lock.Result();
    switch (kind) {
        case ElementKind::Plain:
            std::memcpy(pElement, pv, psa->cbElements);
            return S_OK;
        case ElementKind::Bstr: {
            BSTR bstrCopy = nullptr;
            BSTR bstrCopyFrom = static_cast<BSTR>(pv);
            hr = CopyElement(kind, psa->cbElements, &bstrCopy, &bstrCopyFrom);
            if (FAILED(hr)) return hr;
            SysFreeString(*static_cast<BSTR*>(pElement));
            *static_cast<BSTR*>(pElement) = bstrCopy;
            return S_OK;
        }
        case ElementKind::Interface: {
            auto* pUnk = static_cast<IUnknown*>(pv);
            if (pUnk) pUnk->AddRef();
            IUnknown* pOld = *static_cast<IUnknown**>(pElement);
            *static_cast<IUnknown**>(pElement) = pUnk;
            if (pOld) pOld->Release();
            return S_OK;
        }
        case ElementKind::Variant:
            return VariantCopy(static_cast<VARIANT*>(pElement), static_cast<const VARIANT*>(pv));
    }
    return E_UNEXPECTED;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
    if (psaboundNew == nullptr) return E_INVALIDARG;
    ElementKind kind;
    const HRESULT hr = CheckArray(psa, &kind);
    if (FAILED(hr)) return hr;
    if (std::atomic_ref<ULONG>(psa->cLocks).load() != 0) return DISP_E_ARRAYISLOCKED;
    if ((psa->fFeatures & (kForeignMemory | FADF_FIXEDSIZE)) != 0 || !BoundsFit(*psaboundNew)) return E_INVALIDARG;

    const ULONG nOld = psa->rgsabound[0].cElements;
    const ULONG nNew = psaboundNew->cElements;
    if (nNew < nOld) ReleaseElements(*psa, kind, nNew, nOld);
    if (nNew == 0) {
        std::free(psa->pvData);
        psa->pvData = nullptr;
    } else if (nNew != nOld) {
        void* pvData = std::realloc(psa->pvData, std::size_t{nNew} * psa->cbElements);
        if (pvData == nullptr) {
            // Growing failed and nothing changed; a failed shrink keeps the larger block, which still fits.
            if (nNew > nOld) return E_OUTOFMEMORY;
        } else {
            psa->pvData = pvData;
        }
        if (nNew > nOld)
            std::memset(static_cast<char*>(psa->pvData) + std::size_t{nOld} * psa->cbElements, 0,
                        std::size_t{nNew - nOld} * psa->cbElements);
    }
    psa->rgsabound[0] = *psaboundNew;
    return S_OK;
}

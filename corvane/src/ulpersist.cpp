// String and variant blocks. Every value is encoded field by field in little-endian order, so the stored
// bytes do not depend on how this build lays out its structures (our descriptors and variants are the
// 64-bit ones; the stored array header keeps the 32-bit descriptor's 24 bytes).
#include "corvane/ulpersist.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace {

// The stored array header: dimensions, features, element size, lock count, data pointer, element count and
// lower bound, each as the 32-bit descriptor holds it.
constexpr ULONG kArrayHeaderSize = 24;
constexpr ULONG kMaxStoredElementSize = 16;
// Nested arrays of variants recurse; stored data may not nest deeper than this, so a crafted stream cannot
// exhaust the stack.
constexpr int kMaxNesting = 64;
// Arrays and strings grow with the data read, at most by this much ahead of it.
constexpr ULONG kStringChunk = 4096;
constexpr ULONG kFirstArrayCapacity = 256;

#define UL_RETURN_IF_FAILED(expression)        \
    do {                                       \
        const HRESULT hrCheck_ = (expression); \
        if (FAILED(hrCheck_)) return hrCheck_; \
    } while (false)

void StoreLittleEndian(std::uint64_t n, unsigned cb, BYTE* pb) noexcept {
    for (unsigned i = 0; i < cb; ++i) pb[i] = static_cast<BYTE>(n >> (8 * i));
}

std::uint64_t LoadLittleEndian(const BYTE* pb, unsigned cb) noexcept {
    std::uint64_t n = 0;
    for (unsigned i = 0; i < cb; ++i) n |= std::uint64_t{pb[i]} << (8 * i);
    return n;
}

// The size of a scalar of type vt as stored in a variant block, 0 when the type is stored as text.
unsigned ScalarSize(VARTYPE vt) noexcept {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_BOOL:
        case VT_UI2:
            return 2;
        case VT_I4:
        case VT_R4:
        case VT_ERROR:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            return 4;
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_I8:
        case VT_UI8:
            return 8;
        default:
            return 0;
    }
}

// The element size of an array of vt as the 32-bit descriptor gives it (pointers 4 bytes, a variant 16),
// 0 for element types without a stored form.
unsigned StoredElementSize(VARTYPE vt) noexcept {
    switch (vt) {
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
        case VT_HRESULT:
            return 4;
        case VT_VARIANT:
        case VT_DECIMAL:
        case VT_CLSID:
            return 16;
        default:
            return ScalarSize(vt);
    }
}

// Raw elements, field by field. pElement is the element as this build holds it.
void EncodeRawElement(VARTYPE vt, const void* pElement, BYTE* pb) noexcept {
    if (vt == VT_DECIMAL) {
        DECIMAL d;
        std::memcpy(&d, pElement, sizeof(d));
        StoreLittleEndian(d.wReserved, 2, pb);
        pb[2] = d.scale;
        pb[3] = d.sign;
        StoreLittleEndian(d.Hi32, 4, pb + 4);
        StoreLittleEndian(d.Lo64, 8, pb + 8);
    } else if (vt == VT_CLSID) {
        GUID g;
        std::memcpy(&g, pElement, sizeof(g));
        StoreLittleEndian(g.Data1, 4, pb);
        StoreLittleEndian(g.Data2, 2, pb + 4);
        StoreLittleEndian(g.Data3, 2, pb + 6);
        std::memcpy(pb + 8, g.Data4, 8);
    } else {
        const unsigned cb = StoredElementSize(vt);
        std::uint64_t n = 0;
        switch (cb) {
            case 1: {
                std::uint8_t n1;
                std::memcpy(&n1, pElement, 1);
                n = n1;
                break;
            }
            case 2: {
                std::uint16_t n2;
                std::memcpy(&n2, pElement, 2);
                n = n2;
                break;
            }
            case 4: {
                std::uint32_t n4;
                std::memcpy(&n4, pElement, 4);
                n = n4;
                break;
            }
            default:
                std::memcpy(&n, pElement, 8);
                break;
        }
        StoreLittleEndian(n, cb, pb);
    }
}

void DecodeRawElement(VARTYPE vt, const BYTE* pb, void* pElement) noexcept {
    if (vt == VT_DECIMAL) {
        DECIMAL d{};
        d.wReserved = static_cast<USHORT>(LoadLittleEndian(pb, 2));
        d.scale = pb[2];
        d.sign = pb[3];
        d.Hi32 = static_cast<ULONG>(LoadLittleEndian(pb + 4, 4));
        d.Lo64 = LoadLittleEndian(pb + 8, 8);
        std::memcpy(pElement, &d, sizeof(d));
    } else if (vt == VT_CLSID) {
        GUID g{};
        g.Data1 = static_cast<std::uint32_t>(LoadLittleEndian(pb, 4));
        g.Data2 = static_cast<std::uint16_t>(LoadLittleEndian(pb + 4, 2));
        g.Data3 = static_cast<std::uint16_t>(LoadLittleEndian(pb + 6, 2));
        std::memcpy(g.Data4, pb + 8, 8);
        std::memcpy(pElement, &g, sizeof(g));
    } else {
        const unsigned cb = StoredElementSize(vt);
        const std::uint64_t n = LoadLittleEndian(pb, cb);
        switch (cb) {
            case 1: {
                const auto n1 = static_cast<std::uint8_t>(n);
                std::memcpy(pElement, &n1, 1);
                break;
            }
            case 2: {
                const auto n2 = static_cast<std::uint16_t>(n);
                std::memcpy(pElement, &n2, 2);
                break;
            }
            case 4: {
                const auto n4 = static_cast<std::uint32_t>(n);
                std::memcpy(pElement, &n4, 4);
                break;
            }
            default:
                std::memcpy(pElement, &n, 8);
                break;
        }
    }
}

bool IsRawElementType(VARTYPE vt) noexcept {
    switch (vt) {
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_ERROR:
        case VT_BOOL:
        case VT_DECIMAL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_HRESULT:
        case VT_CLSID:
            return true;
        default:
            return false;
    }
}

HRESULT WriteVariant(IStream* pStream, const VARIANT* pValue, int nDepth) noexcept;
HRESULT ReadVariant(IStream* pStream, VARIANT* pValue, int nDepth) noexcept;

// Where the scalar of a variant lies (the union starts 8 bytes in on every layout we build).
const void* ScalarAddress(const VARIANT* pValue) noexcept {
    return &pValue->llVal;
}

HRESULT WriteArray(IStream* pStream, VARTYPE vtElement, SAFEARRAY* psa, int nDepth) noexcept {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cDims != 1) return UL_E_ARRAY_DIMENSIONS;
    // The stored size is the 32-bit one; ours is larger for pointers and variants.
    const bool bKnown = vtElement == VT_BSTR || vtElement == VT_UNKNOWN || vtElement == VT_DISPATCH ||
                        vtElement == VT_VARIANT || IsRawElementType(vtElement);
    const ULONG cbStored = bKnown ? StoredElementSize(vtElement) : psa->cbElements;
    if (cbStored > kMaxStoredElementSize) return UL_E_ARRAY_ELEMENT_SIZE;
    if (!bKnown) return UL_E_ARRAY_ELEMENT_TYPE;

    BYTE header[kArrayHeaderSize] = {};
    StoreLittleEndian(psa->cDims, 2, header);
    StoreLittleEndian(psa->fFeatures, 2, header + 2);
    StoreLittleEndian(cbStored, 4, header + 4);
    StoreLittleEndian(psa->cLocks, 4, header + 8);
    // Bytes 12-15: the data pointer, meaningless in a stream; written as 0.
    const ULONG nCount = psa->rgsabound[0].cElements;
    StoreLittleEndian(nCount, 4, header + 16);
    StoreLittleEndian(static_cast<ULONG>(psa->rgsabound[0].lLbound), 4, header + 20);
    UL_RETURN_IF_FAILED(_PersistHelper::WriteBytes(pStream, header, sizeof(header)));
    if (nCount == 0) return S_OK;

    void* pvData = nullptr;
    UL_RETURN_IF_FAILED(SafeArrayAccessData(psa, &pvData));
    HRESULT hr = S_OK;
    const auto* pElement = static_cast<const BYTE*>(pvData);
    for (ULONG i = 0; i < nCount && SUCCEEDED(hr); ++i, pElement += psa->cbElements) {
        switch (vtElement) {
            case VT_BSTR: {
                BSTR s;
                std::memcpy(&s, pElement, sizeof(s));
                hr = _PersistHelper::WriteString(pStream, s);
                break;
            }
            case VT_UNKNOWN:
            case VT_DISPATCH: {
                IUnknown* pUnk;
                std::memcpy(&pUnk, pElement, sizeof(pUnk));
                const BYTE nPresent = pUnk != nullptr ? 1 : 0;
                hr = _PersistHelper::WriteBytes(pStream, &nPresent, 1);
                if (SUCCEEDED(hr) && pUnk != nullptr) hr = _PersistHelper::WriteObject(pStream, pUnk, false);
                break;
            }
            case VT_VARIANT:
                hr = WriteVariant(pStream, reinterpret_cast<const VARIANT*>(pElement), nDepth + 1);
                break;
            default: {
                BYTE stored[kMaxStoredElementSize];
                EncodeRawElement(vtElement, pElement, stored);
                hr = _PersistHelper::WriteBytes(pStream, stored, cbStored);
                break;
            }
        }
    }
    SafeArrayUnaccessData(psa);
    return hr;
}

HRESULT WriteVariant(IStream* pStream, const VARIANT* pValue, int nDepth) noexcept {
    if (pValue == nullptr) return E_POINTER;
    if (nDepth > kMaxNesting) return UL_E_ARRAY_ELEMENT_TYPE;
    if (pValue->vt & VT_BYREF) {
        CComVariantArray Value;
        UL_RETURN_IF_FAILED(VariantCopyInd(&Value, pValue));
        return WriteVariant(pStream, &Value, nDepth);
    }
    const VARTYPE vt = pValue->vt;
    UL_RETURN_IF_FAILED(_PersistHelper::WriteUInt16(pStream, vt));
    if (vt & VT_ARRAY) return WriteArray(pStream, static_cast<VARTYPE>(vt & ~VT_ARRAY), pValue->parray, nDepth);
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            return S_OK;
        case VT_BSTR:
            return _PersistHelper::WriteString(pStream, pValue->bstrVal);
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return _PersistHelper::WriteObject(pStream, pValue->punkVal, true);
        default:
            break;
    }
    if (const unsigned cb = ScalarSize(vt)) {
        BYTE stored[8];
        EncodeRawElement(vt, ScalarAddress(pValue), stored);
        return _PersistHelper::WriteBytes(pStream, stored, cb);
    }
    CComVariantArray Text;
    UL_RETURN_IF_FAILED(VariantChangeType(&Text, pValue, 0, VT_BSTR));
    return _PersistHelper::WriteString(pStream, Text.bstrVal);
}

HRESULT ReadArray(IStream* pStream, VARTYPE vtElement, VARIANT* pValue, int nDepth) noexcept {
    BYTE header[kArrayHeaderSize];
    UL_RETURN_IF_FAILED(_PersistHelper::ReadBytes(pStream, header, sizeof(header)));
    if (LoadLittleEndian(header, 2) != 1) return UL_E_ARRAY_DIMENSIONS;
    const auto cbStored = static_cast<ULONG>(LoadLittleEndian(header + 4, 4));
    if (cbStored > kMaxStoredElementSize) return UL_E_ARRAY_ELEMENT_SIZE;
    const bool bRaw = IsRawElementType(vtElement);
    if (!bRaw && vtElement != VT_BSTR && vtElement != VT_UNKNOWN && vtElement != VT_DISPATCH && vtElement != VT_VARIANT)
        return UL_E_ARRAY_ELEMENT_TYPE;
    // Raw elements are read in their stored size, which must be the type's.
    if (bRaw && cbStored != StoredElementSize(vtElement)) return STG_E_DOCFILECORRUPT;
    const auto nCount = static_cast<ULONG>(LoadLittleEndian(header + 16, 4));
    const auto lLbound = static_cast<LONG>(static_cast<ULONG>(LoadLittleEndian(header + 20, 4)));
    if (nCount != 0 && std::int64_t{lLbound} + std::int64_t{nCount} - 1 > std::int64_t{0x7FFFFFFF})
        return STG_E_DOCFILECORRUPT;

    // The array grows with the elements actually read, so a count the stream cannot back costs nothing.
    SAFEARRAYBOUND bound{std::min(nCount, kFirstArrayCapacity), lLbound};
    SAFEARRAY* psa = SafeArrayCreate(vtElement, 1, &bound);
    if (psa == nullptr) return bRaw ? DISP_E_BADVARTYPE : E_OUTOFMEMORY;
    HRESULT hr = S_OK;
    for (ULONG i = 0; i < nCount && SUCCEEDED(hr); ++i) {
        if (i == psa->rgsabound[0].cElements) {
            bound.cElements = static_cast<ULONG>(std::min<std::uint64_t>(nCount, std::uint64_t{i} * 2));
            hr = SafeArrayRedim(psa, &bound);
            if (FAILED(hr)) break;
        }
        BYTE* pElement = static_cast<BYTE*>(psa->pvData) + std::size_t{i} * psa->cbElements;
        switch (vtElement) {
            case VT_BSTR: {
                BSTR s = nullptr;
                hr = _PersistHelper::ReadString(pStream, &s);
                std::memcpy(pElement, &s, sizeof(s));
                break;
            }
            case VT_UNKNOWN:
            case VT_DISPATCH: {
                BYTE nPresent = 0;
                hr = _PersistHelper::ReadBytes(pStream, &nPresent, 1);
                if (SUCCEEDED(hr) && nPresent != 0) {
                    IUnknown* pUnk = nullptr;
                    hr = _PersistHelper::ReadObject(pStream,
                                                    vtElement == VT_DISPATCH ? IidOf<IDispatch>() : IidOf<IUnknown>(),
                                                    reinterpret_cast<void**>(&pUnk));
                    std::memcpy(pElement, &pUnk, sizeof(pUnk));
                }
                break;
            }
            case VT_VARIANT:
                hr = ReadVariant(pStream, reinterpret_cast<VARIANT*>(pElement), nDepth + 1);
                break;
            default: {
                BYTE stored[kMaxStoredElementSize];
                hr = _PersistHelper::ReadBytes(pStream, stored, cbStored);
                if (SUCCEEDED(hr)) DecodeRawElement(vtElement, stored, pElement);
                break;
            }
        }
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(psa);
        return hr;
    }
    pValue->vt = static_cast<VARTYPE>(VT_ARRAY | vtElement);
    pValue->parray = psa;
    return S_OK;
}

HRESULT ReadVariant(IStream* pStream, VARIANT* pValue, int nDepth) noexcept {
    if (pValue == nullptr) return E_POINTER;
    UL_RETURN_IF_FAILED(VariantClear(pValue));
    if (nDepth > kMaxNesting) return STG_E_DOCFILECORRUPT;
    std::uint16_t vt = 0;
    UL_RETURN_IF_FAILED(_PersistHelper::ReadUInt16(pStream, &vt));
    if (vt & (VT_BYREF | VT_VECTOR | VT_RESERVED)) return DISP_E_BADVARTYPE;
    if (vt & VT_ARRAY) return ReadArray(pStream, static_cast<VARTYPE>(vt & ~VT_ARRAY), pValue, nDepth);
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            pValue->vt = vt;
            return S_OK;
        case VT_BSTR: {
            BSTR s = nullptr;
            UL_RETURN_IF_FAILED(_PersistHelper::ReadString(pStream, &s));
            pValue->vt = VT_BSTR;
            pValue->bstrVal = s;
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            IUnknown* pUnk = nullptr;
            UL_RETURN_IF_FAILED(_PersistHelper::ReadObject(
                pStream, vt == VT_DISPATCH ? IidOf<IDispatch>() : IidOf<IUnknown>(), reinterpret_cast<void**>(&pUnk)));
            pValue->vt = vt;
            pValue->punkVal = pUnk;
            return S_OK;
        }
        case VT_VARIANT:
            return DISP_E_BADVARTYPE;
        default:
            break;
    }
    if (const unsigned cb = ScalarSize(vt)) {
        BYTE stored[8];
        UL_RETURN_IF_FAILED(_PersistHelper::ReadBytes(pStream, stored, cb));
        pValue->llVal = 0;
        DecodeRawElement(vt, stored, &pValue->llVal);
        pValue->vt = vt;
        return S_OK;
    }
    CComVariantArray Text;
    UL_RETURN_IF_FAILED(_PersistHelper::ReadString(pStream, &Text.bstrVal));
    Text.vt = VT_BSTR;
    return VariantChangeType(pValue, &Text, 0, vt);
}

}  // namespace

HRESULT _PersistHelper::WriteBytes(IStream* pStream, const void* pv, ULONG cb) noexcept {
    if (pStream == nullptr) return E_INVALIDARG;
    if (cb == 0) return S_OK;
    ULONG cbWritten = 0;
    UL_RETURN_IF_FAILED(pStream->Write(pv, cb, &cbWritten));
    return cbWritten == cb ? S_OK : STG_E_MEDIUMFULL;
}

HRESULT _PersistHelper::ReadBytes(IStream* pStream, void* pv, ULONG cb) noexcept {
    if (pStream == nullptr) return E_INVALIDARG;
    ULONG cbDone = 0;
    // A stream may hand out fewer bytes than asked for before its end; only a read that gives nothing ends it.
    while (cbDone < cb) {
        ULONG cbRead = 0;
        UL_RETURN_IF_FAILED(pStream->Read(static_cast<BYTE*>(pv) + cbDone, cb - cbDone, &cbRead));
        if (cbRead == 0 || cbRead > cb - cbDone) return STG_E_READFAULT;
        cbDone += cbRead;
    }
    return S_OK;
}

HRESULT _PersistHelper::WriteUInt16(IStream* pStream, std::uint16_t n) noexcept {
    BYTE b[2];
    StoreLittleEndian(n, 2, b);
    return WriteBytes(pStream, b, 2);
}

HRESULT _PersistHelper::WriteUInt32(IStream* pStream, std::uint32_t n) noexcept {
    BYTE b[4];
    StoreLittleEndian(n, 4, b);
    return WriteBytes(pStream, b, 4);
}

HRESULT _PersistHelper::WriteUInt64(IStream* pStream, std::uint64_t n) noexcept {
    BYTE b[8];
    StoreLittleEndian(n, 8, b);
    return WriteBytes(pStream, b, 8);
}

HRESULT _PersistHelper::ReadUInt16(IStream* pStream, std::uint16_t* pn) noexcept {
    BYTE b[2];
    UL_RETURN_IF_FAILED(ReadBytes(pStream, b, 2));
    *pn = static_cast<std::uint16_t>(LoadLittleEndian(b, 2));
    return S_OK;
}

HRESULT _PersistHelper::ReadUInt32(IStream* pStream, std::uint32_t* pn) noexcept {
    BYTE b[4];
    UL_RETURN_IF_FAILED(ReadBytes(pStream, b, 4));
    *pn = static_cast<std::uint32_t>(LoadLittleEndian(b, 4));
    return S_OK;
}

HRESULT _PersistHelper::ReadUInt64(IStream* pStream, std::uint64_t* pn) noexcept {
    BYTE b[8];
    UL_RETURN_IF_FAILED(ReadBytes(pStream, b, 8));
    *pn = LoadLittleEndian(b, 8);
    return S_OK;
}

HRESULT _PersistHelper::WriteString(IStream* pStream, BSTR sValue) noexcept {
    if (sValue == nullptr) return WriteUInt32(pStream, 0);
    const std::uint64_t nChars = std::uint64_t{SysStringLen(sValue)} + 1;
    if (nChars * 2 > 0xFFFFFFFFu) return E_INVALIDARG;
    UL_RETURN_IF_FAILED(WriteUInt32(pStream, static_cast<std::uint32_t>(nChars * 2)));
    // Text in chunks, each character as two bytes low first.
    BYTE buffer[512];
    std::uint64_t i = 0;
    while (i < nChars) {
        const std::uint64_t nBatch = std::min<std::uint64_t>(nChars - i, sizeof(buffer) / 2);
        for (std::uint64_t j = 0; j < nBatch; ++j) StoreLittleEndian(sValue[i + j], 2, buffer + 2 * j);
        UL_RETURN_IF_FAILED(WriteBytes(pStream, buffer, static_cast<ULONG>(nBatch * 2)));
        i += nBatch;
    }
    return S_OK;
}

HRESULT _PersistHelper::ReadString(IStream* pStream, BSTR* psValue) noexcept {
    if (psValue == nullptr) return E_POINTER;
    *psValue = nullptr;
    std::uint32_t cb = 0;
    UL_RETURN_IF_FAILED(ReadUInt32(pStream, &cb));
    if (cb == 0) return S_OK;
    if (cb < 2 || (cb & 1) != 0) return STG_E_DOCFILECORRUPT;
    try {
        std::u16string sText;
        BYTE buffer[kStringChunk];
        std::uint32_t cbDone = 0;
        while (cbDone < cb) {
            const ULONG cbBatch = std::min<std::uint32_t>(cb - cbDone, kStringChunk);
            UL_RETURN_IF_FAILED(ReadBytes(pStream, buffer, cbBatch));
            for (ULONG j = 0; j < cbBatch; j += 2)
                sText.push_back(static_cast<char16_t>(LoadLittleEndian(buffer + j, 2)));
            cbDone += cbBatch;
        }
        if (sText.back() != u'\0') return STG_E_DOCFILECORRUPT;
        *psValue = SysAllocStringLen(sText.data(), static_cast<UINT>(sText.size() - 1));
        return *psValue != nullptr ? S_OK : E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT _PersistHelper::WriteObject(IStream* pStream, IUnknown* pObject, bool bAcceptStreamInit) noexcept {
    if (pObject == nullptr) return WriteClassStm(pStream, CLSID_NULL);
    CComPtr<IPersistStream> pPersistStream;
    HRESULT hr = pObject->QueryInterface(&pPersistStream);
    if (SUCCEEDED(hr)) return OleSaveToStream(pPersistStream, pStream);
    if (!bAcceptStreamInit) return hr;
    CComPtr<IPersistStreamInit> pPersistStreamInit;
    UL_RETURN_IF_FAILED(pObject->QueryInterface(&pPersistStreamInit));
    // The same layout as OleSaveToStream: the class, then the object's own stream, saved clean.
    CLSID clsid = CLSID_NULL;
    UL_RETURN_IF_FAILED(pPersistStreamInit->GetClassID(&clsid));
    UL_RETURN_IF_FAILED(WriteClassStm(pStream, clsid));
    return pPersistStreamInit->Save(pStream, TRUE);
}

HRESULT _PersistHelper::ReadObject(IStream* pStream, REFIID riid, void** ppObject) noexcept {
    if (ppObject == nullptr) return E_POINTER;
    *ppObject = nullptr;
    const HRESULT hr = OleLoadFromStream(pStream, riid, ppObject);
    // A class no longer registered reads as no object, so one missing plug-in does not lose the rest.
    if (hr == REGDB_E_CLASSNOTREG) return S_OK;
    return hr;
}

HRESULT CComVariantArray::WriteToStream(IStream* pStream, const VARIANT* pValue) noexcept {
    if (pStream == nullptr) return E_INVALIDARG;
    return WriteVariant(pStream, pValue, 0);
}

HRESULT CComVariantArray::ReadFromStream(IStream* pStream, VARIANT* pValue) noexcept {
    if (pStream == nullptr) return E_INVALIDARG;
    return ReadVariant(pStream, pValue, 0);
}

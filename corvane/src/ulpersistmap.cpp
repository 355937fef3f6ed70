// What the property-map persistence templates share: fetching and putting properties through IDispatch,
// the persisted-object stream, the property bag form, the page list and the in-memory storage.
#include "corvane/ulpersistmap.h"

#include <algorithm>

#include "corvane/ulmemorystream.h"
#include "corvane/ulobject.h"

namespace {

constexpr HRESULT STG_E_FILEALREADYEXISTS = MakeHResult(0x80030050);

bool IsMemberData(const UlPropertyMapEntry& Entry) noexcept {
    return Entry.pfnData != nullptr;
}

CComPtr<IDispatch> DispatchOf(IUnknown* pObject, const UlPropertyMapEntry& Entry) {
    CComPtr<IDispatch> pDispatch;
    UL_CHECK(pObject->QueryInterface(*Entry.piidDispatch, reinterpret_cast<void**>(&pDispatch)));
    return pDispatch;
}

// The stream's position, to tell whether a property is still stored.
ULONGLONG Position(IStream* pStream, DWORD dwOrigin) {
    ULARGE_INTEGER nPosition{};
    UL_CHECK(pStream->Seek(LARGE_INTEGER{0}, dwOrigin, &nPosition));
    return nPosition.QuadPart;
}

}  // namespace

void _PropertyMapHelper::GetProperty(IUnknown* pObject, const UlPropertyMapEntry& Entry, VARIANT* pValue) {
    CComPtr<IDispatch> pDispatch = DispatchOf(pObject, Entry);
    DISPPARAMS Parameters{nullptr, nullptr, 0, 0};
    VariantClear(pValue);
    UL_CHECK(pDispatch->Invoke(Entry.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &Parameters, pValue,
                               nullptr, nullptr));
}

void _PropertyMapHelper::PutProperty(IUnknown* pObject, const UlPropertyMapEntry& Entry, VARIANT* pValue) {
    CComPtr<IDispatch> pDispatch = DispatchOf(pObject, Entry);
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS Parameters{pValue, &nNamed, 1, 1};
    UL_CHECK(pDispatch->Invoke(Entry.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &Parameters, nullptr,
                               nullptr, nullptr));
}

void _PropertyMapHelper::Save(IUnknown* pObject, void* pData, const UlPropertyMapEntry* pMap, IStream* pStream) {
    UL_CHECK(_PersistHelper::WriteUInt32(pStream, UL_PERSIST_STREAM_VERSION));
    for (const UlPropertyMapEntry* pEntry = pMap; pEntry->pclsidPage != nullptr; ++pEntry) {
        if (pEntry->szDesc == nullptr) continue;
        if (IsMemberData(*pEntry)) {
            void* pMember = pEntry->pfnData(pData);
            if (pEntry->vt == VT_BSTR)
                UL_CHECK(_PersistHelper::WriteString(pStream, *static_cast<BSTR*>(pMember)));
            else
                UL_CHECK(_PersistHelper::WriteBytes(pStream, pMember, pEntry->dwSizeData));
            continue;
        }
        CComVariantArray Value;
        if (!IsPlaceholder(*pEntry)) GetProperty(pObject, *pEntry, &Value);
        UL_CHECK(Value.WriteToStream(pStream));
    }
}

void _PropertyMapHelper::Load(IUnknown* pObject, void* pData, const UlPropertyMapEntry* pMap, IStream* pStream) {
    std::uint32_t nVersion = 0;
    UL_CHECK(_PersistHelper::ReadUInt32(pStream, &nVersion));
    if (nVersion > UL_PERSIST_STREAM_VERSION) corvane::ThrowHResult(HRESULT_FROM_WIN32(13));  // ERROR_INVALID_DATA
    const ULONGLONG nStart = Position(pStream, STREAM_SEEK_CUR);
    const ULONGLONG nEnd = Position(pStream, STREAM_SEEK_END);
    ULARGE_INTEGER nIgnored{};
    UL_CHECK(pStream->Seek(LARGE_INTEGER{static_cast<LONGLONG>(nStart)}, STREAM_SEEK_SET, &nIgnored));
    for (const UlPropertyMapEntry* pEntry = pMap; pEntry->pclsidPage != nullptr; ++pEntry) {
        if (pEntry->szDesc == nullptr) continue;
        if (IsMemberData(*pEntry)) {
            void* pMember = pEntry->pfnData(pData);
            if (pEntry->vt == VT_BSTR) {
                BSTR sValue = nullptr;
                UL_CHECK(_PersistHelper::ReadString(pStream, &sValue));
                SysFreeString(*static_cast<BSTR*>(pMember));
                *static_cast<BSTR*>(pMember) = sValue;
            } else {
                // Read aside first, so a short stream leaves the member as it was.
                std::vector<BYTE> buffer(pEntry->dwSizeData);
                UL_CHECK(_PersistHelper::ReadBytes(pStream, buffer.data(), pEntry->dwSizeData));
                std::copy(buffer.begin(), buffer.end(), static_cast<BYTE*>(pMember));
            }
            continue;
        }
        // Streams of older versions end before their later properties, which then keep their values.
        if (Position(pStream, STREAM_SEEK_CUR) >= nEnd) break;
        CComVariantArray Value;
        UL_CHECK(Value.ReadFromStream(pStream));
        if (IsPlaceholder(*pEntry) && Value.vt == VT_EMPTY) continue;
        PutProperty(pObject, *pEntry, &Value);
    }
}

void _PropertyMapHelper::Save(IUnknown* pObject, const UlPropertyMapEntry* pMap, IPropertyBag* pBag) {
    for (const UlPropertyMapEntry* pEntry = pMap; pEntry->pclsidPage != nullptr; ++pEntry) {
        if (pEntry->szDesc == nullptr || IsMemberData(*pEntry) || IsPlaceholder(*pEntry)) continue;
        CComVariantArray Value;
        GetProperty(pObject, *pEntry, &Value);
        if ((Value.vt == VT_UNKNOWN || Value.vt == VT_DISPATCH) && Value.punkVal == nullptr) continue;
        UL_CHECK(pBag->Write(pEntry->szDesc, &Value));
    }
}

void _PropertyMapHelper::Load(IUnknown* pObject, const UlPropertyMapEntry* pMap, IPropertyBag* pBag,
                              IErrorLog* pErrorLog) {
    for (const UlPropertyMapEntry* pEntry = pMap; pEntry->pclsidPage != nullptr; ++pEntry) {
        if (pEntry->szDesc == nullptr || IsMemberData(*pEntry) || IsPlaceholder(*pEntry)) continue;
        CComVariantArray Current;
        GetProperty(pObject, *pEntry, &Current);
        // The wanted type alone; the bag fills in a value of its own.
        CComVariantArray Value;
        Value.vt = Current.vt;
        const HRESULT hr = pBag->Read(pEntry->szDesc, &Value, pErrorLog);
        if (hr == E_INVALIDARG) {
            Value.vt = VT_EMPTY;
            continue;
        }
        if (FAILED(hr)) Value.vt = VT_EMPTY;
        UL_CHECK(hr);
        PutProperty(pObject, *pEntry, &Value);
    }
}

HRESULT _PropertyMapHelper::GetPages(const UlPropertyMapEntry* pMap, CAUUID* pPages) noexcept {
    if (pPages == nullptr) return E_POINTER;
    pPages->cElems = 0;
    pPages->pElems = nullptr;
    ULONG nCount = 0;
    for (const UlPropertyMapEntry* pEntry = pMap; pEntry->pclsidPage != nullptr; ++pEntry)
        if (pEntry->vt == VT_EMPTY && *pEntry->pclsidPage != CLSID_NULL) ++nCount;
    if (nCount == 0) return S_OK;
    auto* pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID) * nCount));
    if (pElems == nullptr) return E_OUTOFMEMORY;
    ULONG nUsed = 0;
    for (const UlPropertyMapEntry* pEntry = pMap; pEntry->pclsidPage != nullptr; ++pEntry) {
        if (pEntry->vt != VT_EMPTY || *pEntry->pclsidPage == CLSID_NULL) continue;
        if (std::find(pElems, pElems + nUsed, *pEntry->pclsidPage) == pElems + nUsed)
            pElems[nUsed++] = *pEntry->pclsidPage;
    }
    pPages->cElems = nUsed;
    pPages->pElems = pElems;
    return S_OK;
}

HRESULT CUlMemoryStorage::CreateStream(LPCOLESTR pwcsName, DWORD grfMode, DWORD, DWORD, IStream** ppstm) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppstm);
    *ppstm = nullptr;
    corvane::CheckArgument(pwcsName != nullptr);
    CUlCriticalSectionLock Lock(m_CriticalSection);
    auto it =
        std::find_if(m_Elements.begin(), m_Elements.end(), [&](const CElement& e) { return e.sName == pwcsName; });
    if (it != m_Elements.end() && (grfMode & STGM_CREATE) == 0) return STG_E_FILEALREADYEXISTS;
    CMemoryStreamObject* pStream = nullptr;
    UL_CHECK(CMemoryStreamObject::CreateInstance(&pStream));
    CComPtr<IStream> pNew;
    pNew.Attach(pStream);
    if (it != m_Elements.end())
        it->pStream = pNew;
    else
        m_Elements.push_back(CElement{pwcsName, pNew});
    return pNew.CopyTo(ppstm);
    UL_GUARD_END
}

HRESULT CUlMemoryStorage::OpenStream(LPCOLESTR pwcsName, void*, DWORD, DWORD, IStream** ppstm) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppstm);
    *ppstm = nullptr;
    corvane::CheckArgument(pwcsName != nullptr);
    CUlCriticalSectionLock Lock(m_CriticalSection);
    auto it =
        std::find_if(m_Elements.begin(), m_Elements.end(), [&](const CElement& e) { return e.sName == pwcsName; });
    if (it == m_Elements.end()) return STG_E_FILENOTFOUND;
    ULARGE_INTEGER nIgnored{};
    UL_CHECK(it->pStream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, &nIgnored));
    return it->pStream.CopyTo(ppstm);
    UL_GUARD_END
}

HRESULT CUlMemoryStorage::DestroyElement(LPCOLESTR pwcsName) {
    UL_GUARD_BEGIN
    corvane::CheckArgument(pwcsName != nullptr);
    CUlCriticalSectionLock Lock(m_CriticalSection);
    auto it =
        std::find_if(m_Elements.begin(), m_Elements.end(), [&](const CElement& e) { return e.sName == pwcsName; });
    if (it == m_Elements.end()) return STG_E_FILENOTFOUND;
    m_Elements.erase(it);
    UL_GUARD_END
}

HRESULT CUlMemoryStorage::Stat(STATSTG* pstatstg, DWORD) {
    if (pstatstg == nullptr) return E_POINTER;
    *pstatstg = STATSTG{};
    pstatstg->type = 1;  // STGTY_STORAGE
    pstatstg->clsid = m_clsid;
    return S_OK;
}

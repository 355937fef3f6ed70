// Object data: how a plug-in object travels inside a stored record, by class identifier and own stream.
#include <cstring>

#include "comrt/oleauto.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulmemorystream.h"
#include "corvane/ulpersist.h"

namespace {

// A new memory stream, holding one reference.
CComPtr<IStream> NewMemoryStream() {
    CMemoryStreamObject* pStream = nullptr;
    UL_CHECK(CMemoryStreamObject::CreateInstance(&pStream));
    CComPtr<IStream> pResult;
    pResult.Attach(pStream);
    return pResult;
}

}  // namespace

void _PersistHelper::GetObjectData(IUnknown* pObject, VARIANT* pData) {
    corvane::CheckPointer(pObject);
    corvane::CheckPointer(pData);
    VariantClear(pData);

    CComPtr<IStream> pStream = NewMemoryStream();
    CComPtr<IPersistStream> pPersistStream;
    CComPtr<IPersistStreamInit> pPersistStreamInit;
    if (SUCCEEDED(pObject->QueryInterface(IidOf<IPersistStream>(), reinterpret_cast<void**>(&pPersistStream)))) {
        UL_CHECK(OleSaveToStream(pPersistStream, pStream));
    } else if (SUCCEEDED(pObject->QueryInterface(IidOf<IPersistStreamInit>(),
                                                 reinterpret_cast<void**>(&pPersistStreamInit)))) {
        CLSID Clsid = CLSID_NULL;
        UL_CHECK(pPersistStreamInit->GetClassID(&Clsid));
        UL_CHECK(WriteClassStm(pStream, Clsid));
        UL_CHECK(pPersistStreamInit->Save(pStream, TRUE));
    } else {
        CComPtr<IPersist> pPersist;
        UL_CHECK(pObject->QueryInterface(IidOf<IPersist>(), reinterpret_cast<void**>(&pPersist)));
        CLSID Clsid = CLSID_NULL;
        UL_CHECK(pPersist->GetClassID(&Clsid));
        OLECHAR szClsid[40];
        StringFromGUID2(Clsid, szClsid, 40);
        pData->bstrVal = SysAllocString(szClsid);
        if (pData->bstrVal == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
        pData->vt = VT_BSTR;
        return;
    }

    STATSTG Stat{};
    UL_CHECK(pStream->Stat(&Stat, STATFLAG_NONAME));
    if (Stat.cbSize.QuadPart == 0) corvane::AssertionFailed(UL_CONTEXT, "pStream->GetSize()");
    const auto nSize = static_cast<ULONG>(Stat.cbSize.QuadPart);
    SAFEARRAY* pArray = SafeArrayCreateVector(VT_UI1, 0, nSize);
    if (pArray == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    void* pBytes = nullptr;
    HRESULT hr = SafeArrayAccessData(pArray, &pBytes);
    if (SUCCEEDED(hr)) {
        LARGE_INTEGER Start{};
        hr = pStream->Seek(Start, STREAM_SEEK_SET, nullptr);
        if (SUCCEEDED(hr)) hr = ReadBytes(pStream, pBytes, nSize);
        SafeArrayUnaccessData(pArray);
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(pArray);
        corvane::ThrowHResult(hr);
    }
    pData->vt = VT_ARRAY | VT_UI1;
    pData->parray = pArray;
}

void _PersistHelper::CreateObject(const VARIANT& Data, REFIID riid, void** ppObject) {
    corvane::CheckPointer(ppObject);
    *ppObject = nullptr;
    if (Data.vt == VT_BSTR) {
        CLSID Clsid = CLSID_NULL;
        // Text that is no class identifier names the null class, which no one registers.
        if (Data.bstrVal == nullptr || FAILED(CLSIDFromString(Data.bstrVal, &Clsid))) Clsid = CLSID_NULL;
        UL_CHECK(CoCreateInstance(Clsid, nullptr, CLSCTX_ALL, riid, ppObject));
        return;
    }
    if (Data.vt != (VT_ARRAY | VT_UI1)) corvane::ThrowHResult(E_INVALIDARG);
    SAFEARRAY* pArray = Data.parray;
    corvane::CheckArgument(pArray != nullptr);
    if (SafeArrayGetDim(pArray) != 1) corvane::ThrowHResult(UL_E_OBJECT_DATA_DIMENSIONS);
    LONG nLower = 0;
    LONG nUpper = -1;
    UL_CHECK(SafeArrayGetLBound(pArray, 1, &nLower));
    UL_CHECK(SafeArrayGetUBound(pArray, 1, &nUpper));
    const ULONG nSize = nUpper >= nLower ? static_cast<ULONG>(nUpper - nLower + 1) : 0;

    CComPtr<IStream> pStream = NewMemoryStream();
    void* pBytes = nullptr;
    UL_CHECK(SafeArrayAccessData(pArray, &pBytes));
    const HRESULT hr = WriteBytes(pStream, pBytes, nSize);
    SafeArrayUnaccessData(pArray);
    UL_CHECK(hr);
    LARGE_INTEGER Start{};
    UL_CHECK(pStream->Seek(Start, STREAM_SEEK_SET, nullptr));
    UL_CHECK(OleLoadFromStream(pStream, riid, ppObject));
}

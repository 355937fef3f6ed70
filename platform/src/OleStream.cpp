// Objects saved into and loaded from streams by class identifier.
#include "comrt/comptr.h"
#include "comrt/runtime.h"

HRESULT OleSaveToStream(IPersistStream* pPStm, IStream* pStm) {
    if (pStm == nullptr) return E_INVALIDARG;
    if (pPStm == nullptr) return WriteClassStm(pStm, CLSID_NULL);
    CLSID clsid = CLSID_NULL;
    HRESULT hr = pPStm->GetClassID(&clsid);
    if (FAILED(hr)) return hr;
    hr = WriteClassStm(pStm, clsid);
    if (FAILED(hr)) return hr;
    return pPStm->Save(pStm, TRUE);
}

HRESULT OleLoadFromStream(IStream* pStm, REFIID iidInterface, void** ppvObj) {
    if (ppvObj == nullptr) return E_INVALIDARG;
    *ppvObj = nullptr;
    if (pStm == nullptr) return E_INVALIDARG;
    CLSID clsid = CLSID_NULL;
    HRESULT hr = ReadClassStm(pStm, &clsid);
    if (FAILED(hr)) return hr;
    if (clsid == CLSID_NULL) return S_OK;

    CComPtr<IUnknown> pObject;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IidOf<IUnknown>(),
                          reinterpret_cast<void**>(&pObject));
    if (FAILED(hr)) return hr;
    // Objects of this system often answer only the initialising form of stream persistence; both load alike.
    CComPtr<IPersistStream> pPersistStream;
    if (SUCCEEDED(pObject.QueryInterface(&pPersistStream))) {
        hr = pPersistStream->Load(pStm);
    } else {
        CComPtr<IPersistStreamInit> pPersistStreamInit;
        hr = pObject.QueryInterface(&pPersistStreamInit);
        if (FAILED(hr)) return hr;
        hr = pPersistStreamInit->Load(pStm);
    }
    if (FAILED(hr)) return hr;
    return pObject->QueryInterface(iidInterface, ppvObj);
}

// What tests and benchmarks do as clients of the server's manager: make one (loading the stored list), reach
// its collection, name plug-in classes, and set a plug-in object's properties late-bound by name.
#pragma once

#include "HarkwellServer/ServerInterfaces.h"
#include "Manager.h"
#include "comrt/oleauto.h"

namespace testing_support {

// A new manager in this process, as CoCreateInstance of its class makes one.
inline HRESULT NewManager(CComPtr<IManager>& pManager) {
    pManager.Release();
    return CreateObjectT<CManager>(IidOf<IManager>(), reinterpret_cast<void**>(&pManager));
}

inline CComPtr<IScenarios> ScenariosOf(IManager* pManager) {
    CComPtr<IScenarios> pScenarios;
    if (pManager != nullptr) pManager->get_Scenarios(&pScenarios);
    return pScenarios;
}

// The class identifier as brace text, as CreateActivity and CreateNotification take it.
inline VARIANT ClassText(const CLSID& Clsid) {
    OLECHAR szClsid[40];
    StringFromGUID2(Clsid, szClsid, 40);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(szClsid);
    return v;
}

// Puts a property by name through the dispatch part of the object's interface riid (a plug-in class's own
// dual interface), as a client that knows only that interface's identifier does.
inline HRESULT PutDispatchProperty(IUnknown* pObject, REFIID riid, const char16_t* pszName, VARIANT Value) {
    CComPtr<IDispatch> pDispatch;
    HRESULT hr = pObject->QueryInterface(riid, reinterpret_cast<void**>(&pDispatch));
    if (FAILED(hr)) return hr;
    LPOLESTR pszNames[] = {const_cast<LPOLESTR>(pszName)};
    DISPID nDispid = 0;
    hr = pDispatch->GetIDsOfNames(IID_NULL, pszNames, 1, 0, &nDispid);
    if (FAILED(hr)) return hr;
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS Params{&Value, &nNamed, 1, 1};
    return pDispatch->Invoke(nDispid, IID_NULL, 0, DISPATCH_PROPERTYPUT, &Params, nullptr, nullptr, nullptr);
}
inline HRESULT PutDispatchProperty(IUnknown* pObject, REFIID riid, const char16_t* pszName, LONG nValue) {
    VARIANT Value;
    VariantInit(&Value);
    Value.vt = VT_I4;
    Value.lVal = nValue;
    return PutDispatchProperty(pObject, riid, pszName, Value);
}
inline HRESULT PutDispatchProperty(IUnknown* pObject, REFIID riid, const char16_t* pszName, const char16_t* pszValue) {
    VARIANT Value;
    VariantInit(&Value);
    Value.vt = VT_BSTR;
    Value.bstrVal = SysAllocString(pszValue);
    const HRESULT hr = PutDispatchProperty(pObject, riid, pszName, Value);
    VariantClear(&Value);
    return hr;
}

}  // namespace testing_support

// What tests and benchmarks do as clients of the server's manager: make one (loading the stored list), reach
// its collection, name plug-in classes and create their objects, put a scenario together, read the first
// stored one's activity title, and get and set a plug-in object's properties late-bound by name.
#pragma once

#include <string>

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

// A position in a collection, as get_Item takes it.
inline VARIANT IndexVariant(LONG nIndex) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = nIndex;
    return v;
}

// A new plug-in object of the class, created through the collection as a client creates it by identifier.
inline HRESULT CreateActivityOf(IScenarios* pScenarios, const CLSID& Clsid, CComPtr<IActivity>& pActivity) {
    VARIANT vClass = ClassText(Clsid);
    const HRESULT hr = pScenarios->CreateActivity(vClass, &pActivity);
    VariantClear(&vClass);
    return hr;
}
inline HRESULT CreateNotificationOf(IScenarios* pScenarios, const CLSID& Clsid, CComPtr<INotification>& pNotification) {
    VARIANT vClass = ClassText(Clsid);
    const HRESULT hr = pScenarios->CreateNotification(vClass, &pNotification);
    VariantClear(&vClass);
    return hr;
}

// Stores one more scenario whose activity is a new object of the class, with its default settings and no
// notification, through a manager of its own: it loads the stored list and saves it as it goes.
inline HRESULT StoreScenarioWithActivity(const CLSID& ActivityClass) {
    CComPtr<IManager> pManager;
    HRESULT hr = NewManager(pManager);
    if (FAILED(hr)) return hr;
    CComPtr<IScenarios> pScenarios = ScenariosOf(pManager);
    if (!pScenarios) return E_POINTER;
    CComPtr<IScenario> pScenario;
    CComPtr<IActivity> pActivity;
    hr = pScenarios->Add(&pScenario);
    if (hr == S_OK) hr = CreateActivityOf(pScenarios, ActivityClass, pActivity);
    if (hr == S_OK) hr = pScenario->put_Activity(pActivity);
    return hr;
}

// A new scenario of a collection with a new activity and a new notification of the classes, which are not its
// own yet: the caller configures them, then joins them to it with JoinScenarioParts.
struct ScenarioParts {
    CComPtr<IScenario> pScenario;
    CComPtr<IActivity> pActivity;
    CComPtr<INotification> pNotification;
};
inline HRESULT AddScenarioParts(IScenarios* pScenarios, const CLSID& ActivityClass, const CLSID& NotificationClass,
                                ScenarioParts& Parts) {
    HRESULT hr = pScenarios->Add(&Parts.pScenario);
    if (hr == S_OK) hr = CreateActivityOf(pScenarios, ActivityClass, Parts.pActivity);
    if (hr == S_OK) hr = CreateNotificationOf(pScenarios, NotificationClass, Parts.pNotification);
    return hr;
}
// Gives the scenario its activity, then its notification (the list saves it).
inline HRESULT JoinScenarioParts(const ScenarioParts& Parts) {
    HRESULT hr = Parts.pScenario->put_Activity(Parts.pActivity);
    CComPtr<INotifications> pNotifications;
    if (hr == S_OK) hr = Parts.pScenario->get_Notifications(&pNotifications);
    if (hr == S_OK) hr = pNotifications->Add(Parts.pNotification);
    return hr;
}

// The title of the first scenario's activity; the first result that is not S_OK otherwise (E_POINTER when the
// scenario has no activity).
inline HRESULT FirstActivityTitle(IScenarios* pScenarios, std::u16string& sTitle) {
    if (pScenarios == nullptr) return E_POINTER;
    CComPtr<IScenario> pScenario;
    CComPtr<IActivity> pActivity;
    HRESULT hr = pScenarios->get_Item(IndexVariant(0), &pScenario);
    if (hr == S_OK) hr = pScenario->get_Activity(&pActivity);
    if (hr == S_OK && !pActivity) hr = E_POINTER;
    BSTR bstrTitle = nullptr;
    if (hr == S_OK) hr = pActivity->get_Title(&bstrTitle);
    if (hr == S_OK) sTitle.assign(bstrTitle ? bstrTitle : u"", SysStringLen(bstrTitle));
    SysFreeString(bstrTitle);
    return hr;
}

// The dispatch part of the object's interface riid (a plug-in class's own dual interface) and the identifier
// of a member name in it, found as a client that knows only that interface's identifier finds them.
inline HRESULT FindDispatchMember(IUnknown* pObject, REFIID riid, const char16_t* pszName,
                                  CComPtr<IDispatch>& pDispatch, DISPID& nDispid) {
    const HRESULT hr = pObject->QueryInterface(riid, reinterpret_cast<void**>(&pDispatch));
    if (FAILED(hr)) return hr;
    LPOLESTR pszNames[] = {const_cast<LPOLESTR>(pszName)};
    return pDispatch->GetIDsOfNames(IID_NULL, pszNames, 1, 0, &nDispid);
}

// Gets a property by name through the dispatch part of the object's interface riid; *pValue is empty when
// that fails.
inline HRESULT GetDispatchProperty(IUnknown* pObject, REFIID riid, const char16_t* pszName, VARIANT* pValue) {
    VariantInit(pValue);
    CComPtr<IDispatch> pDispatch;
    DISPID nDispid = 0;
    const HRESULT hr = FindDispatchMember(pObject, riid, pszName, pDispatch, nDispid);
    if (FAILED(hr)) return hr;
    DISPPARAMS Params{nullptr, nullptr, 0, 0};
    return pDispatch->Invoke(nDispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &Params, pValue, nullptr, nullptr);
}

// Puts a property by name through the dispatch part of the object's interface riid.
inline HRESULT PutDispatchProperty(IUnknown* pObject, REFIID riid, const char16_t* pszName, VARIANT Value) {
    CComPtr<IDispatch> pDispatch;
    DISPID nDispid = 0;
    const HRESULT hr = FindDispatchMember(pObject, riid, pszName, pDispatch, nDispid);
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

// The client side of the bus bridge: a second process (this program started again in a child mode)
// creates the server's objects with CoCreateInstance(CLSCTX_LOCAL_SERVER) and drives them through typed
// proxies and the generic IDispatch proxy; the server counts what stays alive. One file (about 690 lines)
// because every case shares the child process and its modes.
#include "DBusTestSupport.h"

using namespace dbus_test;

namespace {

constexpr const char* kChildVariable = "CORVANE_DBUS_TEST_CHILD";
constexpr CLSID CLSID_Nobody = MakeGuid("{8F1E6A52-3C7D-4E21-9B0A-5D2C1E0000FF}");

int g_nFailures = 0;

#define CHILD_CHECK(condition)                                                  \
    do {                                                                        \
        if (!(condition)) {                                                     \
            std::printf("check failed at line %d: %s\n", __LINE__, #condition); \
            ++g_nFailures;                                                      \
        }                                                                       \
    } while (0)

std::u16string NameOf(ITestWidget* p) {
    BSTR s = nullptr;
    if (FAILED(p->get_Name(&s))) return u"<failed>";
    std::u16string sName = Text(s);
    SysFreeString(s);
    return sName;
}

CComPtr<ITestWidget> CreateWidget() {
    CComPtr<ITestWidget> p;
    const HRESULT hr = CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_LOCAL_SERVER, IidOf<ITestWidget>(),
                                        reinterpret_cast<void**>(&p));
    CHILD_CHECK(hr == S_OK && p);
    return p;
}

VARIANT Echo(ITestWidget* p, const VARIANT& in) {
    VARIANT out;
    VariantInit(&out);
    CHILD_CHECK(p->Echo(in, &out) == S_OK);
    return out;
}

void CheckEcho(ITestWidget* p) {
    VARIANT v;
    VariantInit(&v);
    VARIANT out = Echo(p, v);
    CHILD_CHECK(out.vt == VT_EMPTY);
    v.vt = VT_NULL;
    out = Echo(p, v);
    CHILD_CHECK(out.vt == VT_NULL);
    v.vt = VT_I4;
    v.lVal = -5;
    out = Echo(p, v);
    CHILD_CHECK(out.vt == VT_I4 && out.lVal == -5);
    v.vt = VT_I8;
    v.llVal = 1LL << 40;
    out = Echo(p, v);
    CHILD_CHECK(out.vt == VT_I8 && out.llVal == (1LL << 40));
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    out = Echo(p, v);
    CHILD_CHECK(out.vt == VT_BOOL && out.boolVal == VARIANT_TRUE);
    v.vt = VT_R8;
    v.dblVal = 2.5;
    out = Echo(p, v);
    CHILD_CHECK(out.vt == VT_R8 && out.dblVal == 2.5);
    v.vt = VT_BSTR;
    v.bstrVal = Bstr(u"caf\u00e9 \u20ac");
    out = Echo(p, v);
    CHILD_CHECK(out.vt == VT_BSTR && Text(out.bstrVal) == u"caf\u00e9 \u20ac");
    VariantClear(&out);
    VariantClear(&v);

    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
    for (BYTE i = 0; i < 3; ++i) static_cast<BYTE*>(v.parray->pvData)[i] = static_cast<BYTE>(i + 1);
    out = Echo(p, v);
    CHILD_CHECK(out.vt == (VT_ARRAY | VT_UI1) && out.parray->rgsabound[0].cElements == 3 &&
                std::memcmp(out.parray->pvData, v.parray->pvData, 3) == 0);
    VariantClear(&out);
    VariantClear(&v);

    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    VARIANT element;
    element.vt = VT_I4;
    element.lVal = 7;
    LONG i = 0;
    SafeArrayPutElement(v.parray, &i, &element);
    element.vt = VT_BSTR;
    element.bstrVal = Bstr(u"x");
    i = 1;
    SafeArrayPutElement(v.parray, &i, &element);
    VariantClear(&element);
    out = Echo(p, v);
    CHILD_CHECK(out.vt == (VT_ARRAY | VT_VARIANT) && out.parray->rgsabound[0].cElements == 2);
    if (out.vt == (VT_ARRAY | VT_VARIANT)) {
        VARIANT* pData = static_cast<VARIANT*>(out.parray->pvData);
        CHILD_CHECK(pData[0].vt == VT_I4 && pData[0].lVal == 7);
        CHILD_CHECK(pData[1].vt == VT_BSTR && Text(pData[1].bstrVal) == u"x");
    }
    VariantClear(&out);
    VariantClear(&v);
}

int RunTyped() {
    CComPtr<ITestWidget> p = CreateWidget();
    if (!p) return 1;
    CHILD_CHECK(NameOf(p) == u"factory");
    BSTR sName = Bstr(u"from child");
    CHILD_CHECK(p->put_Name(sName) == S_OK);
    SysFreeString(sName);
    CHILD_CHECK(NameOf(p) == u"from child");
    sName = Bstr(u"");
    CHILD_CHECK(p->put_Name(sName) == E_INVALIDARG);
    SysFreeString(sName);

    LONG nDouble = 0;
    BSTR sText = nullptr;
    VARIANT_BOOL bOdd = VARIANT_FALSE;
    CHILD_CHECK(p->Measure(21, &nDouble, &sText, &bOdd) == S_OK);
    CHILD_CHECK(nDouble == 42 && Text(sText) == u"21" && bOdd == VARIANT_TRUE);
    SysFreeString(sText);

    CComPtr<ITestWidget> pKid;
    sName = Bstr(u"kid");
    CHILD_CHECK(p->CreateChild(sName, &pKid) == S_OK && pKid);
    SysFreeString(sName);
    if (pKid) {
        CHILD_CHECK(NameOf(pKid) == u"kid");
        CHILD_CHECK(!pKid.IsEqualObject(p));
        // An object sent back to the server is the server's own object again.
        VARIANT v;
        v.vt = VT_DISPATCH;
        v.pdispVal = pKid;
        VARIANT out = Echo(p, v);
        CHILD_CHECK(out.vt == VT_DISPATCH && CComPtr<IUnknown>(out.punkVal).IsEqualObject(pKid));
        VariantClear(&out);
    }
    CHILD_CHECK(p->Fail(E_ACCESSDENIED) == E_ACCESSDENIED);
    CheckEcho(p);

    // An interface the object answers with another object comes as a proxy of that object.
    CComPtr<ITestHelper> pHelper;
    CHILD_CHECK(p->QueryInterface(IidOf<ITestHelper>(), reinterpret_cast<void**>(&pHelper)) == S_OK && pHelper);
    if (pHelper) {
        BSTR sOwner = nullptr;
        CHILD_CHECK(pHelper->get_Owner(&sOwner) == S_OK && Text(sOwner) == u"from child");
        SysFreeString(sOwner);
        CHILD_CHECK(!pHelper.IsEqualObject(p));
    }
    // The property pages interface has a proxy of its own; its identity is the object's.
    CComPtr<ISpecifyPropertyPages> pPages;
    CHILD_CHECK(p->QueryInterface(IidOf<ISpecifyPropertyPages>(), reinterpret_cast<void**>(&pPages)) == S_OK && pPages);
    if (pPages) {
        CAUUID pages{0, nullptr};
        CHILD_CHECK(pPages->GetPages(&pages) == S_OK && pages.cElems == 2);
        if (pages.cElems == 2)
            CHILD_CHECK(pages.pElems[0] == CLSID_TestWidget && pages.pElems[1] == IidOf<ITestHelper>());
        CoTaskMemFree(pages.pElems);
        CHILD_CHECK(pPages.IsEqualObject(p));
    }
    // So has the enumerator: values and objects come in turns, and a clone goes on from where it was made.
    CComPtr<IEnumVARIANT> pEnum;
    CHILD_CHECK(p->QueryInterface(IidOf<IEnumVARIANT>(), reinterpret_cast<void**>(&pEnum)) == S_OK && pEnum);
    if (pEnum) {
        VARIANT items[4];
        ULONG nFetched = 99;
        CHILD_CHECK(pEnum->Next(1, items, &nFetched) == S_OK && nFetched == 1);
        CHILD_CHECK(items[0].vt == VT_BSTR && Text(items[0].bstrVal) == u"from child");
        VariantClear(&items[0]);
        CComPtr<IEnumVARIANT> pClone;
        CHILD_CHECK(pEnum->Clone(&pClone) == S_OK && pClone);
        CHILD_CHECK(pEnum->Next(4, items, &nFetched) == S_FALSE && nFetched == 2);
        if (nFetched == 2) {
            CHILD_CHECK(items[0].vt == VT_I4 && items[0].lVal == 10);
            CHILD_CHECK(items[1].vt == VT_DISPATCH && items[1].pdispVal != nullptr);
            if (items[1].vt == VT_DISPATCH) {
                CComQIPtr<ITestWidget> pItem(items[1].pdispVal);
                CHILD_CHECK(pItem && NameOf(pItem) == u"from child item");
            }
        }
        for (ULONG i = 0; i < nFetched; ++i) VariantClear(&items[i]);
        CHILD_CHECK(pEnum->Next(1, items, &nFetched) == S_FALSE && nFetched == 0);
        CHILD_CHECK(pEnum->Reset() == S_OK && pEnum->Skip(2) == S_OK && pEnum->Skip(2) == S_FALSE);
        if (pClone) {
            CHILD_CHECK(pClone->Next(1, items, &nFetched) == S_OK && items[0].vt == VT_I4);
            VariantClear(&items[0]);
        }
    }
    CComPtr<IStream> pNoStream;
    CHILD_CHECK(p->QueryInterface(IidOf<IStream>(), reinterpret_cast<void**>(&pNoStream)) == E_NOINTERFACE);

    // The typed proxy's own IDispatch runs from the description and comes back through its slots.
    CComPtr<ITypeInfo> pTypeInfo;
    CHILD_CHECK(p->GetTypeInfo(0, 0, &pTypeInfo) == S_OK && pTypeInfo &&
                pTypeInfo->GetDescription() == comrt::FindInterfaceDescription(IidOf<ITestWidget>()));
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    CHILD_CHECK(p->Invoke(1, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr) == S_OK);
    CHILD_CHECK(result.vt == VT_BSTR && Text(result.bstrVal) == u"from child");
    VariantClear(&result);

    // The generic proxy: names, DISPIDs, by-reference [out] arguments and failures.
    CComQIPtr<IDispatch> pDispatch(static_cast<IUnknown*>(p.p));
    CHILD_CHECK(pDispatch);
    if (pDispatch) {
        LPOLESTR pszName = const_cast<LPOLESTR>(u"Measure");
        DISPID nId = 0;
        CHILD_CHECK(pDispatch->GetIDsOfNames(GUID_NULL, &pszName, 1, 0, &nId) == S_OK && nId == 3);
        pszName = const_cast<LPOLESTR>(u"Nothing");
        CHILD_CHECK(pDispatch->GetIDsOfNames(GUID_NULL, &pszName, 1, 0, &nId) == DISP_E_UNKNOWNNAME);
        CHILD_CHECK(pDispatch->Invoke(999, GUID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr) ==
                    DISP_E_MEMBERNOTFOUND);
        LONG nOut = 0;
        BSTR sOut = nullptr;
        VARIANT args[3];
        args[2].vt = VT_I4;
        args[2].lVal = 5;
        args[1].vt = VT_BYREF | VT_I4;
        args[1].plVal = &nOut;
        args[0].vt = VT_BYREF | VT_BSTR;
        args[0].pbstrVal = &sOut;
        DISPPARAMS params{args, nullptr, 3, 0};
        CHILD_CHECK(pDispatch->Invoke(3, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr) == S_OK);
        CHILD_CHECK(result.vt == VT_BOOL && result.boolVal == VARIANT_TRUE && nOut == 10 && Text(sOut) == u"5");
        SysFreeString(sOut);
        sOut = nullptr;
        args[2].vt = VT_BSTR;
        args[2].bstrVal = Bstr(u"abc");
        CHILD_CHECK(pDispatch->Invoke(3, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr) ==
                    DISP_E_TYPEMISMATCH);
        SysFreeString(args[2].bstrVal);
    }

    CComPtr<ITestWidget> pApplication;
    CHILD_CHECK(comrt::CoGetBusObject(comrt::kApplicationPath, IidOf<ITestWidget>(),
                                      reinterpret_cast<void**>(&pApplication)) == S_OK);
    if (pApplication) CHILD_CHECK(NameOf(pApplication) == u"root");
    CComPtr<IDispatch> pGone;
    CHILD_CHECK(comrt::CoGetBusObject("/Corvane/HarkwellServer/Objects/999999", IidOf<IDispatch>(),
                                      reinterpret_cast<void**>(&pGone)) == RPC_E_DISCONNECTED);
    CComPtr<IUnknown> pNobody;
    CHILD_CHECK(CoCreateInstance(CLSID_Nobody, nullptr, CLSCTX_LOCAL_SERVER, IidOf<IUnknown>(),
                                 reinterpret_cast<void**>(&pNobody)) == REGDB_E_CLASSNOTREG);
    return 0;
}

// Records the events it is given.
class CEventRecorder final : public IDispatch {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IidOf<IUnknown>() || riid == IidOf<IDispatch>() || riid == IidOf<_TestWidgetEvents>()) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override { return --m_nReferences; }
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pParams, VARIANT*, EXCEPINFO*, UINT*) override {
        std::lock_guard lock(m_Lock);
        std::string sEvent = std::to_string(dispIdMember);
        for (UINT i = pParams->cArgs; i-- > 0;) {
            const VARIANT& v = pParams->rgvarg[i];
            if (v.vt == VT_BSTR) sEvent += " '" + comrt::ToUtf8(Text(v.bstrVal)) + "'";
            if (v.vt == VT_I4) sEvent += " " + std::to_string(v.lVal);
        }
        m_Events.push_back(sEvent);
        return S_OK;
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(m_Lock);
        return m_Events;
    }
    std::atomic<ULONG> m_nReferences{1};

private:
    std::mutex m_Lock;
    std::vector<std::string> m_Events;
};

int RunEvents() {
    CComPtr<ITestWidget> p = CreateWidget();
    if (!p) return 1;
    CComQIPtr<IConnectionPointContainer> pContainer(static_cast<IUnknown*>(p.p));
    CHILD_CHECK(pContainer);
    if (!pContainer) return 1;
    CHILD_CHECK(CComPtr<IUnknown>(pContainer.p).IsEqualObject(p));
    CComPtr<IConnectionPoint> pPoint;
    CHILD_CHECK(pContainer->FindConnectionPoint(IidOf<ITestWidget>(), &pPoint) == CONNECT_E_NOCONNECTION);
    CHILD_CHECK(pContainer->FindConnectionPoint(IidOf<_TestWidgetEvents>(), &pPoint) == S_OK && pPoint);
    if (!pPoint) return 1;
    CEventRecorder recorder;
    DWORD nCookie = 0;
    CHILD_CHECK(pPoint->Advise(&recorder, &nCookie) == S_OK && nCookie != 0);
    pPoint.Release();  // the subscription outlives the connection point object
    BSTR sText = Bstr(u"first");
    CHILD_CHECK(p->Fire(sText) == S_OK);
    SysFreeString(sText);
    CHILD_CHECK(WaitFor([&] { return !recorder.Events().empty(); }));
    CHILD_CHECK(recorder.Events() == std::vector<std::string>{"1 'first' 1"});

    CHILD_CHECK(pContainer->FindConnectionPoint(IidOf<_TestWidgetEvents>(), &pPoint) == S_OK && pPoint);
    CHILD_CHECK(pPoint->Unadvise(nCookie) == S_OK);
    CHILD_CHECK(pPoint->Unadvise(nCookie) == CONNECT_E_NOCONNECTION);
    sText = Bstr(u"second");
    CHILD_CHECK(p->Fire(sText) == S_OK);
    SysFreeString(sText);
    // A later event on the same object proves the bus delivered what it had by then.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHILD_CHECK(recorder.Events().size() == 1);
    pPoint.Release();
    pContainer.Release();
    p.Release();
    // The subscription let go of the sink.
    CHILD_CHECK(WaitFor([&] { return recorder.m_nReferences == 1; }));
    return 0;
}

// Creates a widget, waits for a line, and finds the widget cut off from it.
int RunDisconnected() {
    CComPtr<ITestWidget> p = CreateWidget();
    if (!p) return 1;
    CHILD_CHECK(NameOf(p) == u"factory");
    std::printf("created\n");
    std::fflush(stdout);
    char c = 0;
    while (read(0, &c, 1) == 1 && c != '\n') {
    }
    BSTR sName = nullptr;
    const HRESULT hr = p->get_Name(&sName);
    CHILD_CHECK(hr == RPC_E_DISCONNECTED);
    SysFreeString(sName);
    return 0;
}

// Holds ten children (and their parent) until told to go, then leaves without releasing them.
int RunTen(bool bRelease) {
    CComPtr<ITestWidget> p = CreateWidget();
    if (!p) return 1;
    std::vector<CComPtr<ITestWidget>> children(10);
    for (auto& pChild : children) {
        BSTR sName = Bstr(u"one of ten");
        CHILD_CHECK(p->CreateChild(sName, &pChild) == S_OK && pChild);
        SysFreeString(sName);
    }
    if (bRelease) {
        children.clear();
        p.Release();
    }
    std::printf("%s\n", bRelease ? "released" : "held");
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    if (!bRelease)
        for (auto& pChild : children) pChild.Detach();  // never given back: leaving the bus must do it
    p.Detach();
    return 0;
}

// Names looked up on one object's generic proxy: each name it answered once is asked of the server once;
// one it does not know is asked each time.
int RunNames() {
    CComPtr<ITestWidget> p = CreateWidget();
    CComQIPtr<IDispatch> pDispatch(static_cast<IUnknown*>(p.p));
    CHILD_CHECK(pDispatch);
    if (!pDispatch) return 1;
    for (const auto& [pszName, nExpected, hrExpected] :
         {std::tuple{u"Measure", 3, S_OK}, std::tuple{u"Count", 2, S_OK}, std::tuple{u"Measure", 3, S_OK},
          std::tuple{u"Nothing", DISPID_UNKNOWN, DISP_E_UNKNOWNNAME}, std::tuple{u"Count", 2, S_OK},
          std::tuple{u"Nothing", DISPID_UNKNOWN, DISP_E_UNKNOWNNAME}}) {
        LPOLESTR pszAsked = const_cast<LPOLESTR>(pszName);
        DISPID nId = 0;
        CHILD_CHECK(pDispatch->GetIDsOfNames(GUID_NULL, &pszAsked, 1, 0, &nId) == hrExpected && nId == nExpected);
    }
    return 0;
}

// The functions of an interface's type information, as text: one line per function.
std::string FunctionsOf(ITypeInfo* pInfo) {
    std::string sTable;
    TYPEATTR* pAttr = nullptr;
    if (FAILED(pInfo->GetTypeAttr(&pAttr))) return "<no attributes>";
    const UINT nFuncs = pAttr->cFuncs;
    sTable += "flags " + std::to_string(pAttr->wTypeFlags) + "\n";
    pInfo->ReleaseTypeAttr(pAttr);
    for (UINT i = 0; i < nFuncs; ++i) {
        FUNCDESC* pFunc = nullptr;
        if (FAILED(pInfo->GetFuncDesc(i, &pFunc))) return sTable + "<no function>";
        BSTR sName = nullptr;
        UINT nNames = 0;
        pInfo->GetNames(pFunc->memid, &sName, 1, &nNames);
        sTable += comrt::ToUtf8(Text(sName)) + " " + std::to_string(pFunc->memid) + " " +
                  std::to_string(pFunc->invkind) + " -> " + std::to_string(pFunc->elemdescFunc.tdesc.vt) + ":";
        SysFreeString(sName);
        for (SHORT k = 0; k < pFunc->cParams; ++k)
            sTable += " " + std::to_string(pFunc->lprgelemdescParam[k].tdesc.vt) + "/" +
                      std::to_string(pFunc->lprgelemdescParam[k].paramdesc.wParamFlags);
        sTable += "\n";
        pInfo->ReleaseFuncDesc(pFunc);
    }
    return sTable;
}

// A client that does not describe ITestWidget itself: the widget's class information tells it the interface,
// and the proxy then drives it through IDispatch.
int RunClassInfo() {
    const comrt::InterfaceDescription& Own = comrt::DescriptionOf<ITestWidget>();
    comrt::UnregisterInterfaceDescription(Own);
    int nResult = 0;
    {
        CComPtr<IUnknown> p;
        CHILD_CHECK(CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_LOCAL_SERVER, IidOf<IUnknown>(),
                                     reinterpret_cast<void**>(&p)) == S_OK);
        if (!p) return 1;
        IDispatch* pUnknownYet = nullptr;
        CHILD_CHECK(p->QueryInterface(IidOf<ITestWidget>(), reinterpret_cast<void**>(&pUnknownYet)) == E_NOINTERFACE);

        CComQIPtr<IProvideClassInfo> pProvide(p.p);
        CHILD_CHECK(pProvide);
        CComPtr<ITypeInfo> pClass;
        if (!pProvide || pProvide->GetClassInfo(&pClass) != S_OK || !pClass) return 1;
        TYPEATTR* pAttr = nullptr;
        CHILD_CHECK(pClass->GetTypeAttr(&pAttr) == S_OK);
        if (pAttr == nullptr) return 1;
        CHILD_CHECK(pAttr->typekind == TKIND_COCLASS && pAttr->guid == CLSID_TestWidget && pAttr->cImplTypes == 1);
        pClass->ReleaseTypeAttr(pAttr);
        // Asked again, the class comes from what the proxy keeps.
        CComPtr<ITypeInfo> pAgain;
        CHILD_CHECK(pProvide->GetClassInfo(&pAgain) == S_OK && pAgain == pClass);

        HREFTYPE hRef = 0;
        CComPtr<ITypeInfo> pInterface;
        CHILD_CHECK(pClass->GetRefTypeOfImplType(0, &hRef) == S_OK);
        CHILD_CHECK(pClass->GetRefTypeInfo(hRef, &pInterface) == S_OK && pInterface);
        if (!pInterface) return 1;
        GUID iid{};
        CHILD_CHECK(pInterface->GetGuid(&iid) == S_OK && iid == IidOf<ITestWidget>());
        // Read from the server, not this process's own table, and the same to the last parameter.
        CHILD_CHECK(pInterface->GetDescription() != &Own);
        const std::string sRemote = FunctionsOf(pInterface);
        const std::string sLocal = FunctionsOf(comrt::GetTypeInfoOf(Own));
        CHILD_CHECK(sRemote == sLocal);
        if (sRemote != sLocal) std::printf("remote:\n%s\nlocal:\n%s\n", sRemote.c_str(), sLocal.c_str());

        // Now the proxy answers the interface, and its dispatch reaches the typed members.
        IDispatch* pWidget = nullptr;
        CHILD_CHECK(p->QueryInterface(IidOf<ITestWidget>(), reinterpret_cast<void**>(&pWidget)) == S_OK && pWidget);
        if (!pWidget) return 1;
        OLECHAR szName[] = u"Name";
        LPOLESTR rgNames[] = {szName};
        DISPID nName = 0;
        CHILD_CHECK(pWidget->GetIDsOfNames(IID_NULL, rgNames, 1, 0, &nName) == S_OK && nName == 1);
        VARIANT vValue;
        VariantInit(&vValue);
        vValue.vt = VT_BSTR;
        vValue.bstrVal = Bstr(u"described remotely");
        DISPID nPut = DISPID_PROPERTYPUT;
        DISPPARAMS Put{&vValue, &nPut, 1, 1};
        CHILD_CHECK(pWidget->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &Put, nullptr, nullptr, nullptr) == S_OK);
        VariantClear(&vValue);
        DISPPARAMS None{nullptr, nullptr, 0, 0};
        VARIANT vName;
        VariantInit(&vName);
        CHILD_CHECK(pWidget->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &None, &vName, nullptr, nullptr) == S_OK);
        CHILD_CHECK(vName.vt == VT_BSTR && Text(vName.bstrVal) == u"described remotely");
        VariantClear(&vName);
        // A method with [out] parameters and a result: Measure(nValue, [out] pnDouble, [out] psText,
        // [out,retval] pbOdd).
        LONG nDouble = 0;
        BSTR sText = nullptr;
        VARIANT Args[3];
        Args[2].vt = VT_I4;
        Args[2].lVal = 7;
        Args[1].vt = VT_BYREF | VT_I4;
        Args[1].plVal = &nDouble;
        Args[0].vt = VT_BYREF | VT_BSTR;
        Args[0].pbstrVal = &sText;
        DISPPARAMS Measure{Args, nullptr, 3, 0};
        VARIANT vOdd;
        VariantInit(&vOdd);
        CHILD_CHECK(pWidget->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &Measure, &vOdd, nullptr, nullptr) == S_OK);
        CHILD_CHECK(nDouble == 14 && Text(sText) == u"7" && vOdd.vt == VT_BOOL && vOdd.boolVal == VARIANT_TRUE);
        SysFreeString(sText);
        VariantClear(&vOdd);
        // Refusals as IDispatch gives them: a wrong count, a member the interface lacks, the server's own.
        CHILD_CHECK(pWidget->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &None, &vOdd, nullptr, nullptr) ==
                    DISP_E_BADPARAMCOUNT);
        CHILD_CHECK(pWidget->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &None, nullptr, nullptr, nullptr) ==
                    DISP_E_MEMBERNOTFOUND);
        VARIANT vCode;
        vCode.vt = VT_I4;
        vCode.lVal = E_ACCESSDENIED;
        DISPPARAMS Fail{&vCode, nullptr, 1, 0};
        CHILD_CHECK(pWidget->Invoke(6, IID_NULL, 0, DISPATCH_METHOD, &Fail, nullptr, nullptr, nullptr) ==
                    E_ACCESSDENIED);
        pWidget->Release();
    }
    comrt::RegisterInterfaceDescription(Own);
    return nResult;
}

int RunChild(const char* szMode) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int nResult = 2;
    if (std::strcmp(szMode, "typed") == 0) nResult = RunTyped();
    if (std::strcmp(szMode, "names") == 0) nResult = RunNames();
    if (std::strcmp(szMode, "ten") == 0) nResult = RunTen(false);
    if (std::strcmp(szMode, "release") == 0) nResult = RunTen(true);
    if (std::strcmp(szMode, "events") == 0) nResult = RunEvents();
    if (std::strcmp(szMode, "disconnected") == 0) nResult = RunDisconnected();
    if (std::strcmp(szMode, "classinfo") == 0) nResult = RunClassInfo();
    std::printf("done\n");
    std::fflush(stdout);
    return nResult != 0 ? nResult : (g_nFailures != 0 ? 1 : 0);
}

class DBusProxyTest : public CServerFixture {
protected:
    CChildProcess StartChild(const char* szMode) {
        return CChildProcess::Start({"/proc/self/exe"}, {std::string(kChildVariable) + "=" + szMode});
    }
};

TEST_F(DBusProxyTest, TypedAndGenericProxiesDriveTheServersObjects) {
    CChildProcess child = StartChild("typed");
    const std::string sOutput = child.ReadAll(60000);
    EXPECT_EQ(0, child.Wait()) << sOutput;
    EXPECT_NE(std::string::npos, sOutput.find("done")) << sOutput;
    EXPECT_TRUE(Settled()) << g_nLiveWidgets << " widgets, " << comrt::CoGetExportedObjectCount() << " exported";
}

TEST_F(DBusProxyTest, AClientLearnsAnInterfaceItDoesNotDescribeFromTheObjectsClassInformation) {
    CChildProcess child = StartChild("classinfo");
    const std::string sOutput = child.ReadAll(60000);
    EXPECT_EQ(0, child.Wait()) << sOutput;
    EXPECT_NE(std::string::npos, sOutput.find("done")) << sOutput;
    EXPECT_TRUE(Settled()) << g_nLiveWidgets << " widgets, " << comrt::CoGetExportedObjectCount() << " exported";
}

TEST_F(DBusProxyTest, AProxyAsksTheServerForEachNameItAnsweredOnlyOnce) {
    const int nBefore = g_nNameLookups;
    CChildProcess child = StartChild("names");
    const std::string sOutput = child.ReadAll(60000);
    EXPECT_EQ(0, child.Wait()) << sOutput;
    EXPECT_EQ(g_nNameLookups - nBefore, 4);  // Measure, Count, and Nothing twice
}

TEST_F(DBusProxyTest, AClientThatTakesTenObjectsAndLeavesHoldsNothing) {
    CChildProcess child = StartChild("ten");
    std::string sLine;
    ASSERT_TRUE(child.ReadLine(&sLine, 60000));
    ASSERT_EQ("held", sLine);
    // The factory's widget and its ten children, each exported once.
    EXPECT_EQ(m_nBaseline + 11, g_nLiveWidgets.load());
    EXPECT_EQ(12u, comrt::CoGetExportedObjectCount());
    EXPECT_EQ(0, child.Wait());
    EXPECT_TRUE(Settled()) << g_nLiveWidgets << " widgets, " << comrt::CoGetExportedObjectCount() << " exported";
}

TEST_F(DBusProxyTest, ReleasedProxiesGiveTheirReferencesBack) {
    CChildProcess child = StartChild("release");
    std::string sLine;
    ASSERT_TRUE(child.ReadLine(&sLine, 60000));
    ASSERT_EQ("released", sLine);
    // The client is still on the bus: only its releases can have freed the objects.
    EXPECT_TRUE(Settled()) << g_nLiveWidgets << " widgets, " << comrt::CoGetExportedObjectCount() << " exported";
    EXPECT_EQ(0, child.Wait());
}

TEST_F(DBusProxyTest, AProxysConnectionPointDeliversTheSignalsAsEvents) {
    CChildProcess child = StartChild("events");
    const std::string sOutput = child.ReadAll(60000);
    EXPECT_EQ(0, child.Wait()) << sOutput;
    EXPECT_NE(std::string::npos, sOutput.find("done")) << sOutput;
    EXPECT_TRUE(Settled()) << g_nLiveWidgets << " widgets, " << comrt::CoGetExportedObjectCount() << " exported";
}

TEST_F(DBusProxyTest, DisconnectingAnObjectCutsItsClientsOff) {
    m_Factory.KeepLast(true);
    CChildProcess child = StartChild("disconnected");
    std::string sLine;
    ASSERT_TRUE(child.ReadLine(&sLine, 60000));
    ASSERT_EQ("created", sLine);
    CComPtr<ITestWidget> pWidget = m_Factory.TakeLast();
    m_Factory.KeepLast(false);
    ASSERT_TRUE(pWidget);
    EXPECT_EQ(2u, comrt::CoGetExportedObjectCount());
    EXPECT_EQ(S_OK, CoDisconnectObject(pWidget, 0));
    EXPECT_TRUE(WaitFor([] { return comrt::CoGetExportedObjectCount() == 1; }));
    ASSERT_EQ(1, write(child.fdInput, "\n", 1));
    const std::string sOutput = child.ReadAll(60000);
    EXPECT_EQ(0, child.Wait()) << sOutput;
    EXPECT_NE(std::string::npos, sOutput.find("done")) << sOutput;
    pWidget.Release();
    EXPECT_TRUE(Settled());
}

TEST_F(DBusProxyTest, TheClientBusFollowsTheEnvironment) {
    unsetenv(comrt::kClientBusVariable);
    EXPECT_EQ(comrt::BusKind::Session, comrt::CoGetClientBus());
    CComPtr<IDispatch> pApplication;
    EXPECT_EQ(S_OK, comrt::CoGetBusObject(comrt::kApplicationPath, IidOf<IDispatch>(),
                                          reinterpret_cast<void**>(&pApplication)));
    pApplication.Release();
    setenv(comrt::kClientBusVariable, "system", 1);
    EXPECT_EQ(comrt::BusKind::System, comrt::CoGetClientBus());
    // "none" keeps the process off the buses altogether.
    setenv(comrt::kClientBusVariable, "none", 1);
    EXPECT_EQ(RPC_E_DISCONNECTED, comrt::CoGetBusObject(comrt::kApplicationPath, IidOf<IDispatch>(),
                                                        reinterpret_cast<void**>(&pApplication)));
    unsetenv(comrt::kClientBusVariable);
}

TEST_F(DBusProxyTest, PropertiesReadAtOnceByPath) {
    constexpr IID kUndescribed = MakeGuid("{8F1E6A52-3C7D-4E21-9B0A-5D2C1E0000FE}");
    struct Case {
        comrt::BusPropertyRead Read;
        HRESULT hr;
        VARTYPE vt;
    };
    std::vector<Case> Cases{
        {{comrt::kApplicationPath, &IidOf<ITestWidget>(), "Name"}, S_OK, VT_BSTR},
        {{comrt::kApplicationPath, &IidOf<ITestWidget>(), "Count"}, S_OK, VT_I4},
        {{comrt::kApplicationPath, &IidOf<ITestWidget>(), "Colour"}, E_FAIL, VT_EMPTY},
        {{"/Corvane/HarkwellServer/Objects/999999", &IidOf<ITestWidget>(), "Name"}, E_FAIL, VT_EMPTY},
        {{"no path", &IidOf<ITestWidget>(), "Name"}, E_INVALIDARG, VT_EMPTY},
        {{comrt::kApplicationPath, &kUndescribed, "Name"}, E_INVALIDARG, VT_EMPTY},
        {{comrt::kApplicationPath, nullptr, "Name"}, E_INVALIDARG, VT_EMPTY},
    };
    // More than may wait for their answers at once.
    for (int i = 0; i < 250; ++i)
        Cases.push_back({{comrt::kApplicationPath, &IidOf<ITestWidget>(), "Name"}, S_OK, VT_BSTR});
    std::vector<comrt::BusPropertyRead> Reads;
    for (const Case& c : Cases) Reads.push_back(c.Read);
    std::vector<HRESULT> Results(Reads.size());
    std::vector<VARIANT> Values(Reads.size());
    ASSERT_EQ(S_OK, comrt::CoGetBusProperties(Reads.size(), Reads.data(), Results.data(), Values.data()));
    for (std::size_t i = 0; i < Cases.size(); ++i) {
        SCOPED_TRACE(i);
        if (Cases[i].hr == E_FAIL)
            EXPECT_TRUE(FAILED(Results[i])) << std::hex << Results[i];
        else
            EXPECT_EQ(Cases[i].hr, Results[i]) << std::hex << Results[i];
        EXPECT_EQ(Cases[i].vt, Values[i].vt);
        if (Values[i].vt == VT_BSTR) {
            EXPECT_EQ(u"root", Text(Values[i].bstrVal));
        }
        VariantClear(&Values[i]);
    }
    // No reads, nothing to do; the values must have somewhere to go; off the buses there is no server.
    EXPECT_EQ(S_OK, comrt::CoGetBusProperties(0, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, comrt::CoGetBusProperties(1, Reads.data(), nullptr, Values.data()));
    setenv(comrt::kClientBusVariable, "none", 1);
    EXPECT_EQ(RPC_E_DISCONNECTED, comrt::CoGetBusProperties(1, Reads.data(), Results.data(), Values.data()));
    unsetenv(comrt::kClientBusVariable);
}

// In child mode the program is a client and never reaches the tests.
[[maybe_unused]] const bool g_bChild = [] {
    const char* szMode = std::getenv(kChildVariable);
    if (szMode == nullptr) return false;
    const int nResult = RunChild(szMode);
    std::fflush(nullptr);
    _exit(nResult);
}();

}  // namespace

namespace {
auto* const g_pBus = ::testing::AddGlobalTestEnvironment(new CPrivateBus);
}  // namespace

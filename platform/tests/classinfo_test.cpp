// Type information made from interface descriptions: an interface's functions as IDispatch sees them, and
// a class's interfaces taken from its interface table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comrt/comptr.h"
#include "comrt/dispatch.h"
#include "comrt/oleauto.h"

namespace {

struct IGauge : IDispatch {
    static constexpr IID kIid = MakeGuid("{5A3C0E10-7C6B-4C53-9E0A-2D1F00000101}");
    virtual HRESULT get_Level(LONG* pnLevel) = 0;
    virtual HRESULT put_Level(LONG nLevel) = 0;
    virtual HRESULT get_Label(BSTR* psLabel) = 0;
    virtual HRESULT put_Label(BSTR sLabel) = 0;
    virtual HRESULT get_Secret(BSTR* psSecret) = 0;
    virtual HRESULT Scale(double fFactor, VARIANT_BOOL bRound, LONG* pnScaled) = 0;
    virtual HRESULT Split(LONG nValue, LONG* pnHigh, LONG* pnLow) = 0;
    virtual HRESULT Link(IGauge* pOther) = 0;
    virtual HRESULT Reset() = 0;
};

struct IGaugeEvents : IDispatch {
    static constexpr IID kIid = MakeGuid("{5A3C0E10-7C6B-4C53-9E0A-2D1F00000102}");
};

struct ISpare : IDispatch {
    static constexpr IID kIid = MakeGuid("{5A3C0E10-7C6B-4C53-9E0A-2D1F00000103}");
    virtual HRESULT get_Spare(VARIANT* pvSpare) = 0;
};

// Answered by no described interface.
struct IUndescribed : IUnknown {
    static constexpr IID kIid = MakeGuid("{5A3C0E10-7C6B-4C53-9E0A-2D1F00000104}");
};

constexpr CLSID CLSID_Gauge = MakeGuid("{5A3C0E10-7C6B-4C53-9E0A-2D1F00000100}");

}  // namespace

COMRT_DESCRIBE_INTERFACE(IGauge, "IGauge Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&IGauge::get_Level>(1, "Level", 1, "pnLevel"),
                         comrt::PropPut<&IGauge::put_Level>(1, "Level", 2, "nLevel"),
                         comrt::PropGet<&IGauge::get_Label>(2, "Label", 3, "psLabel"),
                         comrt::PropPut<&IGauge::put_Label>(2, "Label", 4, "sLabel"),
                         comrt::LocalPropGet<&IGauge::get_Secret>(3, "Secret", 5, "psSecret"),
                         comrt::Method<&IGauge::Scale, true>(4, "Scale", 6, "fFactor,bRound,pnScaled"),
                         comrt::Method<&IGauge::Split>(5, "Split", 7, "nValue,pnHigh,pnLow"),
                         comrt::Method<&IGauge::Link>(6, "Link", 8, "pOther"),
                         comrt::Method<&IGauge::Reset>(7, "Reset", 9));

COMRT_DESCRIBE_INTERFACE(IGaugeEvents, "IGaugeEvents Interface", comrt::InterfaceKind::DispatchOnly,
                         comrt::Event<VT_I4, VT_BSTR>(1, "Changed", "nLevel,sLabel"));

COMRT_DESCRIBE_INTERFACE(ISpare, "ISpare Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&ISpare::get_Spare>(1, "Spare", 1, "pvSpare"));

namespace {

struct CParam {
    VARTYPE vt;
    WORD wFlags;
};

struct CFunction {
    const char16_t* pszName;
    MEMBERID memid;
    INVOKEKIND invkind;
    std::vector<CParam> Params;
    VARTYPE vtResult;
    WORD wFuncFlags;
};

std::u16string NameOf(ITypeInfo* pInfo, MEMBERID memid) {
    BSTR sName = nullptr;
    UINT nNames = 0;
    if (FAILED(pInfo->GetNames(memid, &sName, 1, &nNames)) || nNames != 1) return u"<none>";
    std::u16string s(sName, SysStringLen(sName));
    SysFreeString(sName);
    return s;
}

TEST(ClassInfo, AnInterfacesFunctionsAreItsMembersAsDispatchSeesThem) {
    ITypeInfo* pInfo = comrt::GetTypeInfoOf(comrt::DescriptionOf<IGauge>());
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(S_OK, pInfo->GetTypeAttr(&pAttr));
    EXPECT_EQ(IidOf<IGauge>(), pAttr->guid);
    EXPECT_EQ(TKIND_DISPATCH, pAttr->typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE, pAttr->wTypeFlags);
    EXPECT_EQ(0, pAttr->cImplTypes);
    const std::vector<CFunction> Expected = {
        {u"Level", 1, INVOKE_PROPERTYGET, {}, VT_I4, 0},
        {u"Level", 1, INVOKE_PROPERTYPUT, {{VT_I4, PARAMFLAG_FIN}}, VT_VOID, 0},
        {u"Label", 2, INVOKE_PROPERTYGET, {}, VT_BSTR, 0},
        {u"Label", 2, INVOKE_PROPERTYPUT, {{VT_BSTR, PARAMFLAG_FIN}}, VT_VOID, 0},
        {u"Secret", 3, INVOKE_PROPERTYGET, {}, VT_BSTR, FUNCFLAG_FRESTRICTED},
        {u"Scale", 4, INVOKE_FUNC, {{VT_R8, PARAMFLAG_FIN}, {VT_BOOL, PARAMFLAG_FIN}}, VT_I4, 0},
        {u"Split",
         5,
         INVOKE_FUNC,
         {{VT_I4, PARAMFLAG_FIN}, {VT_I4, PARAMFLAG_FOUT}, {VT_I4, PARAMFLAG_FOUT}},
         VT_VOID,
         0},
        {u"Link", 6, INVOKE_FUNC, {{VT_DISPATCH, PARAMFLAG_FIN}}, VT_VOID, 0},
        {u"Reset", 7, INVOKE_FUNC, {}, VT_VOID, 0},
    };
    ASSERT_EQ(Expected.size(), pAttr->cFuncs);
    pInfo->ReleaseTypeAttr(pAttr);
    for (UINT i = 0; i < Expected.size(); ++i) {
        const CFunction& e = Expected[i];
        FUNCDESC* pFunc = nullptr;
        ASSERT_EQ(S_OK, pInfo->GetFuncDesc(i, &pFunc)) << i;
        EXPECT_EQ(e.memid, pFunc->memid) << i;
        EXPECT_EQ(e.invkind, pFunc->invkind) << i;
        EXPECT_EQ(e.wFuncFlags, pFunc->wFuncFlags) << i;
        EXPECT_EQ(e.vtResult, pFunc->elemdescFunc.tdesc.vt) << i;
        if (e.vtResult != VT_VOID) {
            EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, pFunc->elemdescFunc.paramdesc.wParamFlags) << i;
        }
        ASSERT_EQ(static_cast<SHORT>(e.Params.size()), pFunc->cParams) << i;
        for (std::size_t p = 0; p < e.Params.size(); ++p) {
            EXPECT_EQ(e.Params[p].vt, pFunc->lprgelemdescParam[p].tdesc.vt) << i << "/" << p;
            EXPECT_EQ(e.Params[p].wFlags, pFunc->lprgelemdescParam[p].paramdesc.wParamFlags) << i << "/" << p;
        }
        EXPECT_EQ(std::u16string(e.pszName), NameOf(pInfo, pFunc->memid)) << i;
        pInfo->ReleaseFuncDesc(pFunc);
    }
    FUNCDESC* pNone = nullptr;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pInfo->GetFuncDesc(static_cast<UINT>(Expected.size()), &pNone));
    EXPECT_EQ(nullptr, pNone);
    EXPECT_EQ(E_POINTER, pInfo->GetFuncDesc(0, nullptr));
    HREFTYPE hRef = 0;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pInfo->GetRefTypeOfImplType(0, &hRef));
}

TEST(ClassInfo, AnOutgoingInterfaceIsNoDualOne) {
    ITypeInfo* pInfo = comrt::GetTypeInfoOf(comrt::DescriptionOf<IGaugeEvents>());
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(S_OK, pInfo->GetTypeAttr(&pAttr));
    EXPECT_EQ(TKIND_DISPATCH, pAttr->typekind);
    EXPECT_EQ(0, pAttr->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_EQ(1, pAttr->cFuncs);
    pInfo->ReleaseTypeAttr(pAttr);
    FUNCDESC* pFunc = nullptr;
    ASSERT_EQ(S_OK, pInfo->GetFuncDesc(0, &pFunc));
    ASSERT_EQ(2, pFunc->cParams);
    EXPECT_EQ(VT_I4, pFunc->lprgelemdescParam[0].tdesc.vt);
    EXPECT_EQ(VT_BSTR, pFunc->lprgelemdescParam[1].tdesc.vt);
    EXPECT_EQ(VT_VOID, pFunc->elemdescFunc.tdesc.vt);
    pInfo->ReleaseFuncDesc(pFunc);
}

// A class's table lists every interface it answers, described or not, some twice (IDispatch through a dual
// interface): the class's type information holds the described ones once each, in the table's order.
TEST(ClassInfo, AClassListsTheDescribedInterfacesOfItsTableOnceInOrder) {
    const IID* Table[] = {&IidOf<IUnknown>(), &IidOf<IUndescribed>(),     &IidOf<IGaugeEvents>(),
                          &IidOf<IGauge>(),   &IidOf<IDispatch>(),        &IidOf<ISpare>(),
                          &IidOf<IGauge>(),   &IidOf<ISupportErrorInfo>()};
    CComPtr<ITypeInfo> pClass;
    ASSERT_EQ(S_OK, comrt::CreateClassTypeInfo(CLSID_Gauge, Table, 8, &pClass));
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(S_OK, pClass->GetTypeAttr(&pAttr));
    EXPECT_EQ(CLSID_Gauge, pAttr->guid);
    EXPECT_EQ(TKIND_COCLASS, pAttr->typekind);
    EXPECT_EQ(0, pAttr->cFuncs);
    const UINT nInterfaces = pAttr->cImplTypes;
    pClass->ReleaseTypeAttr(pAttr);
    EXPECT_EQ(nullptr, pClass->GetDescription());

    struct CExpected {
        IID iid;
        INT nFlags;  // the first dual interface is the default one
    };
    const std::vector<CExpected> Expected = {
        {IidOf<IGaugeEvents>(), 0}, {IidOf<IGauge>(), IMPLTYPEFLAG_FDEFAULT}, {IidOf<ISpare>(), 0}};
    ASSERT_EQ(Expected.size(), nInterfaces);
    for (UINT i = 0; i < nInterfaces; ++i) {
        HREFTYPE hRef = 0;
        ASSERT_EQ(S_OK, pClass->GetRefTypeOfImplType(i, &hRef));
        INT nFlags = -1;
        ASSERT_EQ(S_OK, pClass->GetImplTypeFlags(i, &nFlags));
        EXPECT_EQ(Expected[i].nFlags, nFlags) << i;
        CComPtr<ITypeInfo> pInterface;
        ASSERT_EQ(S_OK, pClass->GetRefTypeInfo(hRef, &pInterface));
        GUID iid{};
        ASSERT_EQ(S_OK, pInterface->GetGuid(&iid));
        EXPECT_EQ(Expected[i].iid, iid) << i;
    }
    HREFTYPE hRef = 0;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pClass->GetRefTypeOfImplType(nInterfaces, &hRef));
    INT nFlags = 0;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pClass->GetImplTypeFlags(nInterfaces, &nFlags));
    CComPtr<ITypeInfo> pNone;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pClass->GetRefTypeInfo(nInterfaces, &pNone));
    EXPECT_EQ(nullptr, pNone.p);
    FUNCDESC* pFunc = nullptr;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pClass->GetFuncDesc(0, &pFunc));

    BSTR sName = nullptr;
    ASSERT_EQ(S_OK, pClass->GetDocumentation(MEMBERID_NIL, &sName, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::u16string(u"{5A3C0E10-7C6B-4C53-9E0A-2D1F00000100}"), std::u16string(sName));
    SysFreeString(sName);
}

TEST(ClassInfo, AClassWithoutDescribedInterfacesHasNone) {
    const IID* Table[] = {&IidOf<IUnknown>(), &IidOf<IUndescribed>()};
    CComPtr<ITypeInfo> pClass;
    ASSERT_EQ(S_OK, comrt::CreateClassTypeInfo(CLSID_Gauge, Table, 2, &pClass));
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(S_OK, pClass->GetTypeAttr(&pAttr));
    EXPECT_EQ(0, pAttr->cImplTypes);
    pClass->ReleaseTypeAttr(pAttr);
    INT nFlags = 0;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pClass->GetImplTypeFlags(0, &nFlags));
}

TEST(ClassInfo, BadArgumentsAreRefused) {
    CComPtr<ITypeInfo> pClass;
    EXPECT_EQ(E_POINTER, comrt::CreateClassTypeInfo(CLSID_Gauge, nullptr, 0, nullptr));
    EXPECT_EQ(E_INVALIDARG, comrt::CreateClassTypeInfo(CLSID_Gauge, nullptr, 2, &pClass));
    EXPECT_EQ(nullptr, pClass.p);
    const comrt::InterfaceDescription* Descriptions[] = {&comrt::DescriptionOf<IGauge>(), nullptr};
    EXPECT_EQ(E_INVALIDARG, comrt::CreateClassTypeInfoOf(CLSID_Gauge, Descriptions, 2, &pClass));
    EXPECT_EQ(nullptr, pClass.p);
}

// Each holder of the class's type information counts: the last release ends it.
TEST(ClassInfo, TheClassTypeInformationIsCounted) {
    const comrt::InterfaceDescription* Descriptions[] = {&comrt::DescriptionOf<IGauge>()};
    ITypeInfo* pClass = nullptr;
    ASSERT_EQ(S_OK, comrt::CreateClassTypeInfoOf(CLSID_Gauge, Descriptions, 1, &pClass));
    EXPECT_EQ(2u, pClass->AddRef());
    ITypeInfo* pSame = nullptr;
    ASSERT_EQ(S_OK, pClass->QueryInterface(IidOf<ITypeInfo>(), reinterpret_cast<void**>(&pSame)));
    EXPECT_EQ(pClass, pSame);
    EXPECT_EQ(2u, pSame->Release());
    EXPECT_EQ(1u, pClass->Release());
    EXPECT_EQ(0u, pClass->Release());
}

}  // namespace

// IDispatch driven by an interface description: argument order and conversion, named arguments, out
// parameters by reference, object parameters, failures, type information.
#include <gtest/gtest.h>

#include "comrt/comptr.h"
#include "comrt/dispatch.h"
#include "comrt/oleauto.h"

namespace {

struct ISample : IDispatch {
    static constexpr IID kIid = MakeGuid("{5A3C0E10-7C6B-4C53-9E0A-2D1F00000001}");
    virtual HRESULT get_Count(LONG* pnCount) = 0;
    virtual HRESULT put_Count(LONG nCount) = 0;
    virtual HRESULT Combine(BSTR sPrefix, LONG nNumber, VARIANT_BOOL bUpper, BSTR* psResult) = 0;
    virtual HRESULT Split(double fValue, LONG* pnWhole, double* pfFraction) = 0;
    virtual HRESULT Attach(ISample* pOther) = 0;
    virtual HRESULT Fail() = 0;
};

}  // namespace

COMRT_DESCRIBE_INTERFACE(ISample, "ISample Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&ISample::get_Count>(1, "Count", 1, "pnCount"),
                         comrt::PropPut<&ISample::put_Count>(1, "Count", 2, "nCount"),
                         comrt::Method<&ISample::Combine, true>(2, "Combine", 3, "sPrefix,nNumber,bUpper,psResult"),
                         comrt::Method<&ISample::Split>(3, "Split", 4, "fValue,pnWhole,pfFraction"),
                         comrt::Method<&ISample::Attach>(4, "Attach", 5, "pOther"),
                         comrt::Method<&ISample::Fail>(5, "Fail", 6));

namespace {

class CSample : public comrt::IDispatchImplT<ISample> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IDispatch>() || riid == IidOf<ISample>()) {
            *ppv = static_cast<ISample*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override { return --m_nReferences; }

    HRESULT get_Count(LONG* pnCount) override {
        if (pnCount == nullptr) return E_POINTER;
        *pnCount = m_nCount;
        return S_OK;
    }
    HRESULT put_Count(LONG nCount) override {
        if (nCount < 0) return E_INVALIDARG;
        m_nCount = nCount;
        return S_OK;
    }
    HRESULT Combine(BSTR sPrefix, LONG nNumber, VARIANT_BOOL bUpper, BSTR* psResult) override {
        std::u16string s(sPrefix ? sPrefix : u"");
        s += u':';
        for (char c : std::to_string(nNumber)) s += static_cast<char16_t>(c);
        s += bUpper == VARIANT_TRUE ? u":UP" : u":down";
        *psResult = SysAllocString(s.c_str());
        return S_OK;
    }
    HRESULT Split(double fValue, LONG* pnWhole, double* pfFraction) override {
        *pnWhole = static_cast<LONG>(fValue);
        *pfFraction = fValue - *pnWhole;
        return S_OK;
    }
    HRESULT Attach(ISample* pOther) override {
        m_pAttached = pOther;
        return S_OK;
    }
    HRESULT Fail() override { return E_ACCESSDENIED; }

    ULONG m_nReferences = 1;
    LONG m_nCount = 0;
    CComPtr<ISample> m_pAttached;
};

VARIANT Bstr(const char16_t* psz) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(psz);
    return v;
}

VARIANT Long(LONG n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

struct Args {
    std::vector<VARIANT> values;
    ~Args() {
        for (VARIANT& v : values) VariantClear(&v);
    }
};

HRESULT Call(IDispatch* p, DISPID dispid, WORD wFlags, std::vector<VARIANT>& reversed, VARIANT* pResult,
             UINT* puArgErr = nullptr) {
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return p->Invoke(dispid, IID_NULL, 0, wFlags, &params, pResult, nullptr, puArgErr);
}

}  // namespace

TEST(Dispatch, PropertyPutRequiresTheNamedPropertyPutArgument) {
    CSample sample;
    VARIANT value = Bstr(u"12");
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &named, 1, 1};
    EXPECT_EQ(S_OK, sample.Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr));
    EXPECT_EQ(12, sample.m_nCount);
    // Without the named argument a put is refused, as automation clients expect.
    DISPPARAMS positional{&value, nullptr, 1, 0};
    EXPECT_EQ(DISP_E_PARAMNOTOPTIONAL,
              sample.Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &positional, nullptr, nullptr, nullptr));
    VariantClear(&value);
    // The method's own failure comes back unchanged.
    VARIANT negative = Long(-1);
    DISPPARAMS put{&negative, &named, 1, 1};
    EXPECT_EQ(E_INVALIDARG, sample.Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr));
    EXPECT_EQ(12, sample.m_nCount);
}

TEST(Dispatch, ArgumentsArriveInReverseOrderAndAreConverted) {
    CSample sample;
    Args args;
    // Right to left: bUpper, nNumber, sPrefix.
    args.values = {Bstr(u"True"), Bstr(u"42"), Bstr(u"id")};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, Call(&sample, 2, DISPATCH_METHOD, args.values, &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(std::u16string(u"id:42:UP"), std::u16string(result.bstrVal));
    VariantClear(&result);

    UINT nArgErr = 99;
    args.values[1].bstrVal[0] = u'x';  // "x2" is no number
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(&sample, 2, DISPATCH_METHOD, args.values, &result, &nArgErr));
    EXPECT_EQ(1u, nArgErr);  // the index in rgvarg, as automation reports it

    std::vector<VARIANT> tooFew{Long(1)};
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(&sample, 2, DISPATCH_METHOD, tooFew, &result));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(&sample, 77, DISPATCH_METHOD, tooFew, &result));
    std::vector<VARIANT> none;
    EXPECT_EQ(E_ACCESSDENIED, Call(&sample, 5, DISPATCH_METHOD, none, &result));
}

TEST(Dispatch, OutParametersAreWrittenThroughByReferenceArguments) {
    CSample sample;
    LONG nWhole = 0;
    double fFraction = 0;
    std::vector<VARIANT> args(3);
    for (VARIANT& v : args) VariantInit(&v);
    args[0].vt = VT_BYREF | VT_R8;
    args[0].pdblVal = &fFraction;
    args[1].vt = VT_BYREF | VT_I4;
    args[1].plVal = &nWhole;
    args[2].vt = VT_R8;
    args[2].dblVal = 7.25;
    ASSERT_EQ(S_OK, Call(&sample, 3, DISPATCH_METHOD, args, nullptr));
    EXPECT_EQ(7, nWhole);
    EXPECT_DOUBLE_EQ(0.25, fFraction);
    // A by-value argument where a reference is needed cannot receive the result.
    args[1].vt = VT_I4;
    args[1].lVal = 0;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(&sample, 3, DISPATCH_METHOD, args, nullptr));
}

TEST(Dispatch, ObjectArgumentsAreAskedForTheirInterface) {
    CSample sample, other;
    std::vector<VARIANT> args(1);
    VariantInit(&args[0]);
    args[0].vt = VT_DISPATCH;
    args[0].pdispVal = &other;
    ASSERT_EQ(S_OK, Call(&sample, 4, DISPATCH_METHOD, args, nullptr));
    EXPECT_EQ(static_cast<ISample*>(&other), sample.m_pAttached.p);
    sample.m_pAttached.Release();
    EXPECT_EQ(1u, other.m_nReferences);  // every reference taken was given back
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(u"not an object");
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(&sample, 4, DISPATCH_METHOD, args, nullptr));
    VariantClear(&args[0]);
    // Null is a valid object argument.
    args[0].vt = VT_DISPATCH;
    args[0].pdispVal = nullptr;
    EXPECT_EQ(S_OK, Call(&sample, 4, DISPATCH_METHOD, args, nullptr));
}

TEST(Dispatch, NamesResolveWithoutCaseIncludingParameterNames) {
    CSample sample;
    OLECHAR szMethod[] = u"COMBINE", szParam1[] = u"bupper", szParam2[] = u"sPrefix";
    LPOLESTR names[] = {szMethod, szParam1, szParam2};
    DISPID ids[3] = {};
    ASSERT_EQ(S_OK, sample.GetIDsOfNames(IID_NULL, names, 3, 0, ids));
    EXPECT_EQ(2, ids[0]);
    EXPECT_EQ(2, ids[1]);
    EXPECT_EQ(0, ids[2]);
    OLECHAR szBad[] = u"bLower";
    names[1] = szBad;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, sample.GetIDsOfNames(IID_NULL, names, 2, 0, ids));
    EXPECT_EQ(DISPID_UNKNOWN, ids[1]);
    EXPECT_EQ(E_INVALIDARG, sample.GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids));
}

TEST(Dispatch, TypeInformationDescribesTheInterface) {
    CSample sample;
    CComPtr<ITypeInfo> pInfo;
    ASSERT_EQ(S_OK, sample.GetTypeInfo(0, 0, &pInfo));
    OLECHAR szName[] = u"Split";
    LPOLESTR names[] = {szName};
    MEMBERID id = 0;
    ASSERT_EQ(S_OK, pInfo->GetIDsOfNames(names, 1, &id));
    EXPECT_EQ(3, id);
    BSTR sName = nullptr;
    ASSERT_EQ(S_OK, pInfo->GetDocumentation(id, &sName, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::u16string(u"Split"), std::u16string(sName));
    SysFreeString(sName);
    GUID iid{};
    ASSERT_EQ(S_OK, pInfo->GetGuid(&iid));
    EXPECT_EQ(IidOf<ISample>(), iid);
    UINT nCount = 0;
    EXPECT_EQ(E_POINTER, sample.GetTypeInfoCount(nullptr));
    ASSERT_EQ(S_OK, sample.GetTypeInfoCount(&nCount));
    EXPECT_EQ(1u, nCount);
}

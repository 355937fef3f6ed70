// Connection points and snapshot enumerators: cookies, connection order, firing past failing sinks,
// sinks that disconnect while being called, and reference balance.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "comrt/oleauto.h"
#include "corvane/ulconnection.h"
#include "corvane/ulenum.h"

namespace {

constexpr IID IID_ISampleEvents = MakeGuid("{5A3C0E10-7C6B-4C53-9E0A-2D1F00000002}");
constexpr IID IID_IOtherEvents = MakeGuid("{5A3C0E10-7C6B-4C53-9E0A-2D1F00000003}");

// An object with two outgoing interfaces.
class CSource : public IConnectionPointContainerImplT<CSource> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IConnectionPointContainer>>;

    CSource() : m_Events(this, IID_ISampleEvents), m_OtherEvents(this, IID_IOtherEvents) {}
    std::array<CConnectionPoint*, 2> ConnectionPoints() { return {&m_Events, &m_OtherEvents}; }

    CConnectionPoint m_Events;
    CConnectionPoint m_OtherEvents;
};

// A dispatch sink that records calls and can be told to fail or to run an action while called.
class CSink : public IDispatch {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IDispatch>() ||
            (m_bAnswersEvents && riid == IID_ISampleEvents)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override { return --m_nReferences; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD wFlags, DISPPARAMS* pParams, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        m_calls.push_back(dispid);
        if (pParams && pParams->cArgs == 2) {
            // Arguments arrive right to left.
            m_nFirstArgument = pParams->rgvarg[1].lVal;
            m_sSecondArgument = pParams->rgvarg[0].bstrVal ? pParams->rgvarg[0].bstrVal : u"";
        }
        if (m_action) m_action();
        if (pLog) pLog->push_back(m_nName);
        return m_hrResult;
    }

    ULONG m_nReferences = 1;
    bool m_bAnswersEvents = true;
    HRESULT m_hrResult = S_OK;
    std::vector<DISPID> m_calls;
    LONG m_nFirstArgument = 0;
    std::u16string m_sSecondArgument;
    std::function<void()> m_action;
    int m_nName = 0;
    std::vector<int>* pLog = nullptr;
};

CComObjectT<CSource>* NewSource() {
    CComObjectT<CSource>* p = nullptr;
    EXPECT_EQ(S_OK, CComObjectT<CSource>::CreateInstance(&p));
    return p;
}

}  // namespace

TEST(ConnectionPoint, AdviseUnadviseAndCookies) {
    CComObjectT<CSource>* pSource = NewSource();
    CComPtr<IConnectionPoint> pPoint;
    ASSERT_EQ(S_OK, pSource->FindConnectionPoint(IID_ISampleEvents, &pPoint));
    CComPtr<IConnectionPoint> pNone;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, pSource->FindConnectionPoint(IidOf<IDispatch>(), &pNone));
    EXPECT_FALSE(pNone);

    CSink sink, otherSink, deaf;
    deaf.m_bAnswersEvents = false;
    DWORD nCookie = 0, nOtherCookie = 0, nDeafCookie = 77;
    ASSERT_EQ(S_OK, pPoint->Advise(&sink, &nCookie));
    ASSERT_EQ(S_OK, pPoint->Advise(&otherSink, &nOtherCookie));
    EXPECT_NE(0u, nCookie);
    EXPECT_NE(nCookie, nOtherCookie);
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, pPoint->Advise(&deaf, &nDeafCookie));
    EXPECT_EQ(0u, nDeafCookie);
    EXPECT_EQ(1u, deaf.m_nReferences);
    EXPECT_EQ(E_POINTER, pPoint->Advise(&sink, nullptr));

    IID iid{};
    ASSERT_EQ(S_OK, pPoint->GetConnectionInterface(&iid));
    EXPECT_EQ(IID_ISampleEvents, iid);
    CComPtr<IConnectionPointContainer> pContainer;
    ASSERT_EQ(S_OK, pPoint->GetConnectionPointContainer(&pContainer));
    EXPECT_EQ(static_cast<IConnectionPointContainer*>(pSource), pContainer.p);

    EXPECT_EQ(S_OK, pPoint->Unadvise(nCookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, pPoint->Unadvise(nCookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, pPoint->Unadvise(0));
    EXPECT_EQ(1u, sink.m_nReferences);
    // A cookie is never reused while its point lives.
    DWORD nNewCookie = 0;
    ASSERT_EQ(S_OK, pPoint->Advise(&sink, &nNewCookie));
    EXPECT_NE(nCookie, nNewCookie);

    pContainer.Release();
    pPoint.Release();
    pSource->Release();  // the container's last reference: its points release their sinks
    EXPECT_EQ(1u, sink.m_nReferences);
    EXPECT_EQ(1u, otherSink.m_nReferences);
}

TEST(ConnectionPoint, FiresInConnectionOrderPastFailingSinks) {
    CComObjectT<CSource>* pSource = NewSource();
    std::vector<int> order;
    CSink sinks[3];
    DWORD cookies[3];
    for (int i = 0; i < 3; ++i) {
        sinks[i].m_nName = i;
        sinks[i].pLog = &order;
        ASSERT_EQ(S_OK, pSource->m_Events.Advise(&sinks[i], &cookies[i]));
    }
    sinks[1].m_hrResult = E_FAIL;

    VARIANT number, text;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = 17;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"payload");
    EXPECT_EQ(2u, pSource->m_Events.FireDispatch(9, {number, text}));
    VariantClear(&text);
    EXPECT_EQ((std::vector<int>{0, 1, 2}), order);
    EXPECT_EQ(17, sinks[2].m_nFirstArgument);
    EXPECT_EQ(u"payload", sinks[2].m_sSecondArgument);
    EXPECT_EQ(std::vector<DISPID>{9}, sinks[0].m_calls);
    EXPECT_EQ(0u, pSource->m_OtherEvents.FireDispatch(9));

    pSource->Release();
    for (CSink& sink : sinks) EXPECT_EQ(1u, sink.m_nReferences);
}

TEST(ConnectionPoint, ASinkMayDisconnectWhileBeingCalled) {
    CComObjectT<CSource>* pSource = NewSource();
    CSink first, second;
    DWORD nFirst = 0, nSecond = 0;
    ASSERT_EQ(S_OK, pSource->m_Events.Advise(&first, &nFirst));
    ASSERT_EQ(S_OK, pSource->m_Events.Advise(&second, &nSecond));
    first.m_action = [&] { EXPECT_EQ(S_OK, pSource->m_Events.Unadvise(nFirst)); };
    EXPECT_EQ(2u, pSource->m_Events.FireDispatch(1));  // the firing works on its own snapshot
    EXPECT_EQ(1u, pSource->m_Events.FireDispatch(1));
    EXPECT_EQ(1u, first.m_calls.size());
    EXPECT_EQ(2u, second.m_calls.size());
    pSource->Release();
    EXPECT_EQ(1u, first.m_nReferences);
    EXPECT_EQ(1u, second.m_nReferences);
}

TEST(ConnectionPoint, EnumeratorsAreSnapshots) {
    CComObjectT<CSource>* pSource = NewSource();
    CSink a, b;
    DWORD nA = 0, nB = 0;
    ASSERT_EQ(S_OK, pSource->m_Events.Advise(&a, &nA));
    ASSERT_EQ(S_OK, pSource->m_Events.Advise(&b, &nB));

    CComPtr<IEnumConnections> pEnum;
    ASSERT_EQ(S_OK, pSource->m_Events.EnumConnections(&pEnum));
    ASSERT_EQ(S_OK, pSource->m_Events.Unadvise(nA));  // after the snapshot: still listed
    CONNECTDATA data[3] = {};
    ULONG nFetched = 0;
    EXPECT_EQ(S_FALSE, pEnum->Next(3, data, &nFetched));
    ASSERT_EQ(2u, nFetched);
    EXPECT_EQ(nA, data[0].dwCookie);
    EXPECT_EQ(nB, data[1].dwCookie);
    for (ULONG i = 0; i < nFetched; ++i) data[i].pUnk->Release();
    EXPECT_EQ(E_POINTER, pEnum->Next(2, data, nullptr));

    CComPtr<IEnumConnections> pClone;
    ASSERT_EQ(S_OK, pEnum->Reset());
    ASSERT_EQ(S_OK, pEnum->Skip(1));
    ASSERT_EQ(S_OK, pEnum->Clone(&pClone));
    ASSERT_EQ(S_OK, pClone->Next(1, data, nullptr));
    EXPECT_EQ(nB, data[0].dwCookie);
    data[0].pUnk->Release();
    EXPECT_EQ(S_FALSE, pClone->Skip(5));

    CComPtr<IEnumConnectionPoints> pPoints;
    ASSERT_EQ(S_OK, pSource->EnumConnectionPoints(&pPoints));
    IConnectionPoint* points[2] = {};
    ASSERT_EQ(S_OK, pPoints->Next(2, points, &nFetched));
    EXPECT_EQ(&pSource->m_Events, points[0]);
    EXPECT_EQ(&pSource->m_OtherEvents, points[1]);
    points[0]->Release();
    points[1]->Release();

    pEnum.Release();
    pClone.Release();
    pPoints.Release();
    pSource->Release();
    EXPECT_EQ(1u, a.m_nReferences);
    EXPECT_EQ(1u, b.m_nReferences);
}

TEST(EnumVariant, HandsOutCopiesWithTheirOwnReferences) {
    std::vector<VARIANT> items(2);
    VariantInit(&items[0]);
    items[0].vt = VT_BSTR;
    items[0].bstrVal = SysAllocString(u"first");
    VariantInit(&items[1]);
    items[1].vt = VT_I4;
    items[1].lVal = 2;
    CComPtr<IEnumVARIANT> pEnum;
    ASSERT_EQ(S_OK, CEnumVariant::Create(items, nullptr, &pEnum));
    for (VARIANT& v : items) VariantClear(&v);  // the snapshot owns its own copies

    VARIANT out[2];
    ULONG nFetched = 0;
    ASSERT_EQ(S_OK, pEnum->Next(2, out, &nFetched));
    EXPECT_EQ(std::u16string(u"first"), std::u16string(out[0].bstrVal));
    EXPECT_EQ(2, out[1].lVal);
    VariantClear(&out[0]);
    VariantClear(&out[1]);
    EXPECT_EQ(S_FALSE, pEnum->Next(1, out, &nFetched));
    EXPECT_EQ(0u, nFetched);
}

// Object blocks: the class identifier and the object's own stream, objects that cannot be stored or read,
// and arrays of objects.
#include "PersistVariantTestSupport.h"

namespace {

// A class that persists one LONG through IPersistStreamInit (or IPersistStream, by template argument).
const CLSID CLSID_TestPersisted = MakeGuid("6E1B0C8A-2F54-4D7B-9C3E-0A1B2C3D4E5F");
const CLSID CLSID_TestPersistedStream = MakeGuid("6E1B0C8A-2F54-4D7B-9C3E-0A1B2C3D4E60");

template <class I, const CLSID& Clsid>
class CPersisted : public I {
public:
    using Interfaces = InterfaceList<InterfaceEntry<I>>;
    LONG m_nValue = 0;
    HRESULT GetClassID(CLSID* p) override {
        *p = Clsid;
        return S_OK;
    }
    HRESULT IsDirty() override { return S_FALSE; }
    HRESULT Load(IStream* pStm) override {
        std::uint32_t n = 0;
        const HRESULT hr = _PersistHelper::ReadUInt32(pStm, &n);
        m_nValue = static_cast<LONG>(n);
        return hr;
    }
    HRESULT Save(IStream* pStm, BOOL) override {
        return _PersistHelper::WriteUInt32(pStm, static_cast<std::uint32_t>(m_nValue));
    }
    HRESULT GetSizeMax(ULARGE_INTEGER* p) override {
        p->QuadPart = 4;
        return S_OK;
    }
};
class CPersistedInit : public CPersisted<IPersistStreamInit, CLSID_TestPersisted> {
public:
    HRESULT InitNew() override { return S_OK; }
};
using CPersistedStream = CPersisted<IPersistStream, CLSID_TestPersistedStream>;

// An object with no persistence at all.
class CPlain : public IDispatch {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IDispatch>>;
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
};

// Registers both persisted classes with the runtime for the test's lifetime.
class PersistVariantObjects : public ::testing::Test {
protected:
    void SetUp() override {
        CComPtr<IUnknown> pFactory;
        ASSERT_EQ(CClassFactory::Create(&CreateObjectT<CPersistedInit>, IidOf<IUnknown>(),
                                        reinterpret_cast<void**>(&pFactory)),
                  S_OK);
        ASSERT_EQ(
            CoRegisterClassObject(CLSID_TestPersisted, pFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_nCookie1),
            S_OK);
        CComPtr<IUnknown> pFactory2;
        ASSERT_EQ(CClassFactory::Create(&CreateObjectT<CPersistedStream>, IidOf<IUnknown>(),
                                        reinterpret_cast<void**>(&pFactory2)),
                  S_OK);
        ASSERT_EQ(CoRegisterClassObject(CLSID_TestPersistedStream, pFactory2, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                        &m_nCookie2),
                  S_OK);
    }
    void TearDown() override {
        CoRevokeClassObject(m_nCookie1);
        CoRevokeClassObject(m_nCookie2);
    }
    template <class T>
    static CComPtr<IUnknown> New(LONG nValue) {
        CComObjectT<T>* p = nullptr;
        EXPECT_EQ(CComObjectT<T>::CreateInstance(&p), S_OK);
        p->m_nValue = nValue;
        CComPtr<IUnknown> pUnk(p->GetUnknown());
        p->Release();
        return pUnk;
    }
    DWORD m_nCookie1 = 0;
    DWORD m_nCookie2 = 0;
};

TEST(PersistClassStm, IsDataFieldsLittleEndianThenTheEightBytes) {
    CTestStream Stream;
    ASSERT_EQ(WriteClassStm(&Stream, MakeGuid("01020304-0506-0708-090A-0B0C0D0E0F10")), S_OK);
    EXPECT_EQ(Stream.m_Data,
              (Bytes{0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}));
}

Bytes ClassBytes(const CLSID& clsid) {
    CTestStream Stream;
    EXPECT_EQ(WriteClassStm(&Stream, clsid), S_OK);
    return Stream.m_Data;
}

TEST_F(PersistVariantObjects, ObjectsAreTheirClassFollowedByTheirOwnStream) {
    CComVariantArray v;
    v.vt = VT_UNKNOWN;
    v.punkVal = New<CPersistedInit>(0x0A0B0C0D).Detach();
    const Bytes stored = Save(v);
    EXPECT_EQ(stored, Concat({{0x0D, 0x00}, ClassBytes(CLSID_TestPersisted), {0x0D, 0x0C, 0x0B, 0x0A}}));
    CComVariantArray Read;
    ASSERT_EQ(Load(stored, &Read), S_OK);
    ASSERT_EQ(Read.vt, VT_UNKNOWN);
    ASSERT_NE(Read.punkVal, nullptr);
    CComPtr<IPersistStreamInit> pPersist;
    ASSERT_EQ(Read.punkVal->QueryInterface(&pPersist), S_OK);
    EXPECT_EQ(static_cast<CPersistedInit*>(pPersist.p)->m_nValue, 0x0A0B0C0D);

    // Through IPersistStream, the runtime's own OleSaveToStream path.
    v.Clear();
    v.vt = VT_UNKNOWN;
    v.punkVal = New<CPersistedStream>(3).Detach();
    ASSERT_EQ(Load(Save(v), &Read), S_OK);
    CComPtr<IPersistStream> pStream;
    ASSERT_EQ(Read.punkVal->QueryInterface(&pStream), S_OK);
    EXPECT_EQ(static_cast<CPersistedStream*>(pStream.p)->m_nValue, 3);
}

TEST_F(PersistVariantObjects, NullAndUnregisteredObjectsReadAsNoObject) {
    CComVariantArray v;
    v.vt = VT_DISPATCH;
    const Bytes stored = Save(v);
    EXPECT_EQ(stored, Concat({{0x09, 0x00}, Bytes(16, 0)}));
    CComVariantArray Read;
    ASSERT_EQ(Load(stored, &Read), S_OK);
    EXPECT_EQ(Read.vt, VT_DISPATCH);
    EXPECT_EQ(Read.pdispVal, nullptr);

    const Bytes unregistered =
        Concat({{0x0D, 0x00}, ClassBytes(MakeGuid("11111111-2222-3333-4444-555555555555")), {1, 2, 3, 4}});
    std::size_t nConsumed = 0;
    ASSERT_EQ(Load(unregistered, &Read, &nConsumed), S_OK);
    EXPECT_EQ(Read.vt, VT_UNKNOWN);
    EXPECT_EQ(Read.punkVal, nullptr);
    EXPECT_EQ(nConsumed, 18u);
    // A class identifier cut short.
    EXPECT_EQ(Load(Concat({{0x0D, 0x00}, Bytes(15, 0)}), &Read), STG_E_READFAULT);
    // A registered object whose own stream is cut short fails with its load failure.
    EXPECT_EQ(Load(Concat({{0x0D, 0x00}, ClassBytes(CLSID_TestPersisted), {1, 2}}), &Read), STG_E_READFAULT);
    EXPECT_EQ(Read.vt, VT_EMPTY);
}

TEST_F(PersistVariantObjects, ObjectsWithoutStreamPersistenceFailTheSave) {
    CComObjectT<CPlain>* p = nullptr;
    ASSERT_EQ(CComObjectT<CPlain>::CreateInstance(&p), S_OK);
    CComVariantArray v;
    v.vt = VT_DISPATCH;
    v.pdispVal = p;
    HRESULT hr = S_OK;
    Save(v, &hr);
    EXPECT_EQ(hr, E_NOINTERFACE);

    // Array elements need IPersistStream itself.
    CComVariantArray Array;
    Array.vt = VT_ARRAY | VT_UNKNOWN;
    Array.parray = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
    LONG i = 0;
    CComPtr<IUnknown> pInit = New<CPersistedInit>(1);
    ASSERT_EQ(SafeArrayPutElement(Array.parray, &i, pInit.p), S_OK);
    Save(Array, &hr);
    EXPECT_EQ(hr, E_NOINTERFACE);
}

TEST_F(PersistVariantObjects, ObjectArraysMarkEachElementPresentOrNot) {
    CComVariantArray v;
    v.vt = VT_ARRAY | VT_UNKNOWN;
    v.parray = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    LONG i = 1;
    CComPtr<IUnknown> pObject = New<CPersistedStream>(0x55);
    ASSERT_EQ(SafeArrayPutElement(v.parray, &i, pObject.p), S_OK);
    const Bytes stored = Save(v);
    EXPECT_EQ(Bytes(stored.begin() + 26, stored.end()),
              Concat({{0x00, 0x01}, ClassBytes(CLSID_TestPersistedStream), {0x55, 0, 0, 0}}));
    CComVariantArray Read;
    ASSERT_EQ(Load(stored, &Read), S_OK);
    auto* pElements = static_cast<IUnknown**>(Read.parray->pvData);
    EXPECT_EQ(pElements[0], nullptr);
    ASSERT_NE(pElements[1], nullptr);
    CComPtr<IPersistStream> pStream;
    ASSERT_EQ(pElements[1]->QueryInterface(&pStream), S_OK);
    EXPECT_EQ(static_cast<CPersistedStream*>(pStream.p)->m_nValue, 0x55);
}

}  // namespace

// Objects persisted through their property maps: the stream layout, change tracking, the property bag form,
// storages and the page list.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "TestEnvironment.h"
#include "corvane/ulmemorystream.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"
#include "corvane/ulpersistregistry.h"
#include "persist_stream.h"

namespace {

using Bytes = std::vector<BYTE>;

const CLSID CLSID_Widget = MakeGuid("0B5E7C3A-91D2-4F6E-8A1B-2C3D4E5F6A7B");
const CLSID CLSID_PageA = MakeGuid("0B5E7C3A-91D2-4F6E-8A1B-2C3D4E5F6A01");
const CLSID CLSID_PageB = MakeGuid("0B5E7C3A-91D2-4F6E-8A1B-2C3D4E5F6A02");

// A dispatch object holding its properties as variants by DISPID; gets and puts are counted, a DISPID
// listed in m_FailPut refuses puts, and a get of m_nDirtyOnGet marks the object changed (as another thread
// changing it during a save would).
template <class T>
class CDispatchProperties : public IDispatch {
public:
    std::map<DISPID, CComVariantArray> m_Values;
    int m_nPuts = 0;
    DISPID m_nFailPut = -100;
    DISPID m_nDirtyOnGet = -100;

    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispid, REFIID, LCID lcid, WORD wFlags, DISPPARAMS* pParams, VARIANT* pResult, EXCEPINFO*,
                   UINT*) override {
        EXPECT_EQ(lcid, 0x400u);
        if (wFlags == DISPATCH_PROPERTYGET) {
            EXPECT_EQ(pParams->cArgs, 0u);
            if (dispid == m_nDirtyOnGet) static_cast<T*>(this)->SetDirty();
            return VariantCopy(pResult, &m_Values[dispid]);
        }
        if (wFlags == DISPATCH_PROPERTYPUT) {
            EXPECT_EQ(pParams->cArgs, 1u);
            EXPECT_EQ(pParams->cNamedArgs, 1u);
            EXPECT_EQ(pParams->rgdispidNamedArgs[0], DISPID_PROPERTYPUT);
            if (dispid == m_nFailPut) return DISP_E_TYPEMISMATCH;
            ++m_nPuts;
            return m_Values[dispid].Copy(&pParams->rgvarg[0]);
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    void SetString(DISPID dispid, const char16_t* psz) {
        m_Values[dispid].Clear();
        m_Values[dispid].vt = VT_BSTR;
        m_Values[dispid].bstrVal = psz ? SysAllocString(psz) : nullptr;
    }
    void SetLong(DISPID dispid, LONG n) {
        m_Values[dispid].Clear();
        m_Values[dispid].vt = VT_I4;
        m_Values[dispid].lVal = n;
    }
    std::u16string String(DISPID dispid) {
        const VARIANT& v = m_Values[dispid];
        return v.vt == VT_BSTR && v.bstrVal ? std::u16string(v.bstrVal) : std::u16string(u"<none>");
    }
};

// One string property, as the smallest persisted object.
class CSingle : public CDispatchProperties<CSingle>,
                public CBasePersistT<CSingle>,
                public IUlPersistStreamInitT<CSingle> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPersistStreamInit>, InterfaceEntry<IDispatch>>;
    static const CLSID& GetObjectCLSID() { return CLSID_Widget; }
    BEGIN_UL_PROPERTY_MAP(CSingle)
    UL_PROPERTY_ENTRY(u"Text", 1, CLSID_NULL, IDispatch)
    END_UL_PROPERTY_MAP()
};

// Every kind of entry.
class CWidget : public CDispatchProperties<CWidget>,
                public CBasePersistT<CWidget>,
                public IUlPersistStreamInitT<CWidget>,
                public IUlPersistPropertyBagT<CWidget>,
                public IUlPersistStorageT<CWidget>,
                public IUlSpecifyPropertyPagesT<CWidget> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPersistStreamInit>, InterfaceEntry<IDispatch>,
                                     InterfaceEntry<IPersistPropertyBag>, InterfaceEntry<IPersistStorage>,
                                     InterfaceEntry<ISpecifyPropertyPages>>;
    static const CLSID& GetObjectCLSID() { return CLSID_Widget; }
    BEGIN_UL_PROPERTY_MAP(CWidget)
    UL_PROPERTY_ENTRY(u"Name", 1, CLSID_PageA, IDispatch)
    UL_PROPERTY_DATA_ENTRY(u"Comment", m_sComment, VT_BSTR)
    UL_PROPERTY_ENTRY(u"Count", 2, CLSID_PageB, IDispatch)
    UL_PROPERTY_PAGE(CLSID_PageA)
    UL_PROPERTY_DATA_ENTRY(u"Raw", m_nRaw, VT_I4)
    UL_PROPERTY_PLACEHOLDER(u"Reserved", 3, CLSID_PageB, IDispatch)
    UL_PROPERTY_ENTRY(u"Child", 4, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Last", 5, CLSID_PageB, IDispatch)
    END_UL_PROPERTY_MAP()

    CWidget() {
        SetString(1, u"name");
        SetLong(2, 7);
        m_Values[4].vt = VT_UNKNOWN;  // no child object
        SetLong(5, -1);
    }
    ~CWidget() { SysFreeString(m_sComment); }
    BSTR m_sComment = nullptr;
    LONG m_nRaw = 0;
};

template <class T>
CComPtr<IUnknown> NewObject(T** ppRaw) {
    CComObjectT<T>* p = nullptr;
    EXPECT_EQ(CComObjectT<T>::CreateInstance(&p), S_OK);
    *ppRaw = p;
    CComPtr<IUnknown> pUnk(p->GetUnknown());
    p->Release();
    return pUnk;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Bytes kVersion = {0x00, 0x08, 0x00, 0x00};

TEST(PersistStreamInit, OneStringPropertySavesAsVersionThenItsVariantBlock) {
    CSingle* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    p->SetString(1, u"ab");
    CTestStream Stream;
    ASSERT_EQ(p->Save(&Stream, TRUE), S_OK);
    EXPECT_EQ(Stream.m_Data,
              (Bytes{0x00, 0x08, 0x00, 0x00, 0x08, 0x00, 0x06, 0x00, 0x00, 0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00}));
    p->SetString(1, nullptr);
    CTestStream Null;
    ASSERT_EQ(p->Save(&Null, TRUE), S_OK);
    EXPECT_EQ(Null.m_Data, Concat({kVersion, {0x08, 0x00, 0x00, 0x00, 0x00, 0x00}}));

    // And back.
    CSingle* pRead = nullptr;
    CComPtr<IUnknown> pKeepRead = NewObject(&pRead);
    Stream.Rewind();
    ASSERT_EQ(pRead->Load(&Stream), S_OK);
    EXPECT_EQ(pRead->String(1), u"ab");
    EXPECT_EQ(pRead->IsDirty(), S_FALSE);
}

TEST(PersistStreamInit, EveryKindOfEntryInMapOrder) {
    CWidget* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    p->m_sComment = SysAllocString(u"c");
    p->m_nRaw = 0x01020304;
    p->SetLong(3, 99);  // a placeholder: never fetched
    CTestStream Stream;
    ASSERT_EQ(static_cast<IPersistStreamInit*>(p)->Save(&Stream, FALSE), S_OK);
    const Bytes expected = Concat({kVersion,
                                   {0x08, 0x00, 0x0A, 0x00, 0x00, 0x00, 'n', 0, 'a', 0, 'm', 0, 'e', 0, 0, 0},  // Name
                                   {0x04, 0x00, 0x00, 0x00, 'c', 0, 0, 0},  // Comment, a string block
                                   {0x03, 0x00, 0x07, 0x00, 0x00, 0x00},    // Count
                                   {0x04, 0x03, 0x02, 0x01},                // Raw, its bytes
                                   {0x00, 0x00},                            // Reserved: empty
                                   {0x0D, 0x00},
                                   Bytes(16, 0),                            // Child: no object
                                   {0x03, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}});  // Last
    EXPECT_EQ(Stream.m_Data, expected);

    CWidget* pRead = nullptr;
    CComPtr<IUnknown> pKeepRead = NewObject(&pRead);
    pRead->SetString(1, u"other");
    pRead->SetLong(3, 5);
    Stream.Rewind();
    ASSERT_EQ(static_cast<IPersistStreamInit*>(pRead)->Load(&Stream), S_OK);
    EXPECT_EQ(pRead->String(1), u"name");
    EXPECT_EQ(std::u16string(pRead->m_sComment), u"c");
    EXPECT_EQ(pRead->m_Values[2].lVal, 7);
    EXPECT_EQ(pRead->m_nRaw, 0x01020304);
    EXPECT_EQ(pRead->m_Values[3].lVal, 5);  // an empty value is not put into a placeholder
    EXPECT_EQ(pRead->m_Values[5].lVal, -1);
    EXPECT_EQ(pRead->m_nPuts, 4);

    // A placeholder does take a stored value that is not empty.
    Bytes withValue = expected;
    const std::size_t nReserved = 4 + 16 + 8 + 6 + 4;
    withValue[nReserved] = 0x03;
    withValue.insert(withValue.begin() + nReserved + 2, {0x2A, 0x00, 0x00, 0x00});
    CTestStream Stored(withValue);
    ASSERT_EQ(static_cast<IPersistStreamInit*>(pRead)->Load(&Stored), S_OK);
    EXPECT_EQ(pRead->m_Values[3].lVal, 42);
}

TEST(PersistStreamInit, ShortAndNewerStreams) {
    CWidget* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    IPersistStreamInit* pPersist = p;
    // Only the version: nothing changes, and the object is clean.
    CTestStream VersionOnly(kVersion);
    ASSERT_EQ(pPersist->Load(&VersionOnly), S_OK);
    EXPECT_EQ(p->String(1), u"name");
    EXPECT_EQ(p->m_nPuts, 0);
    EXPECT_EQ(pPersist->IsDirty(), S_FALSE);
    // A newer version is refused before anything is read.
    p->SetString(1, u"name");
    CTestStream Newer(Concat({{0x01, 0x08, 0x00, 0x00}, {0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 'x', 0, 0, 0}}));
    EXPECT_EQ(pPersist->Load(&Newer), static_cast<HRESULT>(0x8007000D));
    EXPECT_EQ(p->String(1), u"name");
    // No version at all.
    CTestStream Empty;
    EXPECT_EQ(pPersist->Load(&Empty), STG_E_READFAULT);
    EXPECT_EQ(pPersist->Load(nullptr), E_INVALIDARG);
    EXPECT_EQ(pPersist->Save(nullptr, TRUE), E_INVALIDARG);
}

TEST(PersistStreamInit, PropertiesStopAtTheEndOfTheStream) {
    CSingle* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    p->SetString(1, u"kept");
    CTestStream VersionOnly(kVersion);
    ASSERT_EQ(p->Load(&VersionOnly), S_OK);
    EXPECT_EQ(p->String(1), u"kept");
}

TEST(PersistStreamInit, AFailedLoadKeepsWhatWasApplied) {
    CWidget* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    IPersistStreamInit* pPersist = p;
    // Name is read and put, the Comment string block is cut short.
    CTestStream Cut(Concat({kVersion, {0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 'x', 0, 0, 0}, {0x04, 0x00, 0x00}}));
    EXPECT_EQ(pPersist->Load(&Cut), STG_E_READFAULT);
    EXPECT_EQ(p->String(1), u"x");
    EXPECT_EQ(pPersist->IsDirty(), S_OK);
    // A put that fails is returned.
    p->m_nFailPut = 1;
    CTestStream Refused(Concat({kVersion, {0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 'y', 0, 0, 0}}));
    EXPECT_EQ(pPersist->Load(&Refused), DISP_E_TYPEMISMATCH);
    // A write that fails is returned.
    CTestStream Full;
    Full.m_nCapacity = 10;
    EXPECT_EQ(pPersist->Save(&Full, TRUE), STG_E_MEDIUMFULL);
    EXPECT_EQ(pPersist->IsDirty(), S_OK);
}

TEST(PersistChangeTracking, CountersFollowChangesSavesAndLoads) {
    CSingle* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    EXPECT_EQ(p->IsDirty(), S_OK);  // new objects are dirty
    CTestStream Stream;
    ASSERT_EQ(p->Save(&Stream, FALSE), S_OK);
    EXPECT_EQ(p->IsDirty(), S_OK);
    ASSERT_EQ(p->Save(&Stream, TRUE), S_OK);
    EXPECT_EQ(p->IsDirty(), S_FALSE);
    p->SetDirty();
    EXPECT_EQ(p->IsDirty(), S_OK);
    Stream.Rewind();
    ASSERT_EQ(p->Load(&Stream), S_OK);
    EXPECT_EQ(p->IsDirty(), S_FALSE);
    ASSERT_EQ(p->InitNew(), S_OK);
    EXPECT_EQ(p->IsDirty(), S_OK);
    // A change made while the save runs keeps the object dirty.
    p->m_nDirtyOnGet = 1;
    ASSERT_EQ(p->Save(&Stream, TRUE), S_OK);
    EXPECT_EQ(p->IsDirty(), S_OK);
    CLSID clsid{};
    ASSERT_EQ(p->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_Widget);
    EXPECT_EQ(p->GetClassID(nullptr), E_POINTER);
}

// A property bag over a map of names, counting reads and remembering the wanted types.
class CMapBag : public IPropertyBag {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyBag>>;
    std::map<std::u16string, CComVariantArray> m_Values;
    std::map<std::u16string, VARTYPE> m_Wanted;
    std::u16string m_sFailRead;
    HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog*) override {
        m_Wanted[pszPropName] = pVar->vt;
        if (pszPropName == m_sFailRead) return E_ACCESSDENIED;
        auto it = m_Values.find(pszPropName);
        if (it == m_Values.end()) return E_INVALIDARG;
        VariantInit(pVar);
        return VariantCopy(pVar, &it->second);
    }
    HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) override { return m_Values[pszPropName].Copy(pVar); }
};

TEST(PersistPropertyBag, WritesNamedPropertiesButNotMemberDataNullObjectsOrPlaceholders) {
    CWidget* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    CComObjectT<CMapBag>* pBag = nullptr;
    ASSERT_EQ(CComObjectT<CMapBag>::CreateInstance(&pBag), S_OK);
    CComPtr<IPropertyBag> pKeepBag;
    pKeepBag.Attach(pBag);
    IPersistPropertyBag* pPersist = p;
    ASSERT_EQ(pPersist->Save(pBag, TRUE, TRUE), S_OK);
    EXPECT_EQ(pPersist->Save(nullptr, TRUE, TRUE), E_POINTER);
    std::vector<std::u16string> names;
    for (const auto& [sName, Value] : pBag->m_Values) names.push_back(sName);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Count", u"Last", u"Name"}));
    EXPECT_EQ(static_cast<IPersistStreamInit*>(p)->IsDirty(), S_FALSE);

    CWidget* pRead = nullptr;
    CComPtr<IUnknown> pKeepRead = NewObject(&pRead);
    pRead->SetString(1, u"before");
    pRead->SetLong(2, 0);
    pBag->m_Values.erase(u"Last");
    pRead->SetLong(5, 123);
    pBag->m_Values[u"Name"].Clear();
    pBag->m_Values[u"Name"].vt = VT_BSTR;
    pBag->m_Values[u"Name"].bstrVal = SysAllocString(u"after");
    ASSERT_EQ(static_cast<IPersistPropertyBag*>(pRead)->Load(pBag, nullptr), S_OK);
    EXPECT_EQ(pRead->String(1), u"after");
    EXPECT_EQ(pRead->m_Values[2].lVal, 7);
    EXPECT_EQ(pRead->m_Values[5].lVal, 123);  // not in the bag: kept
    EXPECT_EQ(pBag->m_Wanted[u"Name"], VT_BSTR);
    EXPECT_EQ(pBag->m_Wanted[u"Count"], VT_I4);
    EXPECT_EQ(pBag->m_Wanted.count(u"Reserved"), 0u);
    EXPECT_EQ(static_cast<IPersistStreamInit*>(pRead)->IsDirty(), S_FALSE);
    // Another failure is returned, and what was read before it stays.
    pBag->m_sFailRead = u"Count";
    pRead->SetString(1, u"x");
    EXPECT_EQ(static_cast<IPersistPropertyBag*>(pRead)->Load(pBag, nullptr), E_ACCESSDENIED);
    EXPECT_EQ(pRead->String(1), u"after");
}

TEST(PersistPropertyBag, RoundTripsThroughTheRegistryBag) {
    testing_support::CTemporaryRegistry Registry;
    CComObjectT<CRegistryPropertyBag>* pBag = nullptr;
    ASSERT_EQ(CComObjectT<CRegistryPropertyBag>::CreateInstance(&pBag), S_OK);
    CComPtr<IPropertyBag> pKeepBag;
    pKeepBag.Attach(pBag);
    pBag->Initialize(u"SOFTWARE\\Corvane Harkwell\\Widget");
    CWidget* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    p->SetString(1, u"variant:looks like a value");
    p->m_Values[5].Clear();
    p->m_Values[5].vt = VT_R8;
    p->m_Values[5].dblVal = 2.75;
    ASSERT_EQ(static_cast<IPersistPropertyBag*>(p)->Save(pBag, TRUE, TRUE), S_OK);

    CWidget* pRead = nullptr;
    CComPtr<IUnknown> pKeepRead = NewObject(&pRead);
    pRead->SetString(1, u"");
    pRead->SetLong(2, 0);
    ASSERT_EQ(static_cast<IPersistPropertyBag*>(pRead)->Load(pBag, nullptr), S_OK);
    EXPECT_EQ(pRead->String(1), u"variant:looks like a value");
    EXPECT_EQ(pRead->m_Values[2].vt, VT_I4);
    EXPECT_EQ(pRead->m_Values[2].lVal, 7);
    EXPECT_EQ(pRead->m_Values[5].vt, VT_R8);
    EXPECT_EQ(pRead->m_Values[5].dblVal, 2.75);
}

TEST(PersistStorage, SavesIntoAndLoadsFromTheContentsStream) {
    CComObjectT<CUlMemoryStorage>* pStorage = nullptr;
    ASSERT_EQ(CComObjectT<CUlMemoryStorage>::CreateInstance(&pStorage), S_OK);
    CComPtr<IStorage> pKeepStorage;
    pKeepStorage.Attach(pStorage);
    CWidget* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    IPersistStorage* pPersist = p;
    EXPECT_EQ(pPersist->Load(pStorage), STG_E_FILENOTFOUND);
    ASSERT_EQ(pPersist->Save(pStorage, TRUE), S_OK);
    EXPECT_EQ(pPersist->IsDirty(), S_FALSE);
    // Saving again replaces the stream rather than appending to it.
    p->SetString(1, u"second");
    ASSERT_EQ(pPersist->Save(pStorage, FALSE), S_OK);
    CComPtr<IStream> pContents;
    ASSERT_EQ(pStorage->OpenStream(u"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &pContents), S_OK);
    STATSTG Stat{};
    ASSERT_EQ(pContents->Stat(&Stat, STATFLAG_NONAME), S_OK);
    CTestStream Direct;
    ASSERT_EQ(static_cast<IPersistStreamInit*>(p)->Save(&Direct, FALSE), S_OK);
    EXPECT_EQ(Stat.cbSize.QuadPart, Direct.m_Data.size());

    CWidget* pRead = nullptr;
    CComPtr<IUnknown> pKeepRead = NewObject(&pRead);
    ASSERT_EQ(static_cast<IPersistStorage*>(pRead)->Load(pStorage), S_OK);
    EXPECT_EQ(pRead->String(1), u"second");
    EXPECT_EQ(static_cast<IPersistStorage*>(pRead)->Load(nullptr), E_INVALIDARG);
    EXPECT_EQ(static_cast<IPersistStorage*>(pRead)->Save(nullptr, TRUE), E_INVALIDARG);
}

TEST(PersistPages, ListsThePagesOfPlainEntriesInMapOrderWithoutRepeats) {
    CWidget* p = nullptr;
    CComPtr<IUnknown> pKeep = NewObject(&p);
    CAUUID Pages{};
    ASSERT_EQ(static_cast<ISpecifyPropertyPages*>(p)->GetPages(&Pages), S_OK);
    ASSERT_EQ(Pages.cElems, 2u);
    EXPECT_EQ(Pages.pElems[0], CLSID_PageA);
    EXPECT_EQ(Pages.pElems[1], CLSID_PageB);
    CoTaskMemFree(Pages.pElems);
    EXPECT_EQ(static_cast<ISpecifyPropertyPages*>(p)->GetPages(nullptr), E_POINTER);
}

}  // namespace

// Property maps and the persistence they give an object: IPersistStreamInit, IPersistPropertyBag,
// IPersistStorage and ISpecifyPropertyPages, with change tracking.
//
//   class CPing : public comrt::IDispatchImplT<IPing>,
//                 public CBasePersistT<CPing>,
//                 public IUlPersistStreamInitT<CPing>,
//                 public IUlPersistPropertyBagT<CPing>,
//                 public IUlSpecifyPropertyPagesT<CPing> {
//   public:
//       static const CLSID& GetObjectCLSID() { return CLSID_Ping; }
//       BEGIN_UL_PROPERTY_MAP(CPing)
//           UL_PROPERTY_ENTRY(u"Host", 1, CLSID_PingPage, IPing)
//           UL_PROPERTY_DATA_ENTRY(u"Comment", m_sComment, VT_BSTR)
//           UL_PROPERTY_PAGE(CLSID_GeneralPage)
//       END_UL_PROPERTY_MAP()
//       ...
//   };
//
// Member data is reached through an accessor each entry carries rather than through a byte offset, which C++
// does not give for classes with virtual bases; the stored form is the same.
#pragma once

#include <vector>

#include "comrt/comptr.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulguard.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersist.h"

struct UlPropertyMapEntry {
    LPCOLESTR szDesc;  // null: the entry only names a property page
    DISPID dispid;
    const CLSID* pclsidPage;  // null ends the map
    const IID* piidDispatch;
    void* (*pfnData)(void* pObject);  // member data: the member's address in the object; null for a property
    DWORD dwSizeData;
    VARTYPE vt;  // member data: VT_BSTR marks a string; a property: bit 0 marks a placeholder
};

#define BEGIN_UL_PROPERTY_MAP(theClass)                          \
    using _PropertyMapClass = theClass;                          \
    static const UlPropertyMapEntry* GetPropertyMap() noexcept { \
        static const UlPropertyMapEntry PropertyMap[] = {
#define UL_PROPERTY_ENTRY(szDesc, dispid, clsidPage, IDispatchInterface) \
    {szDesc, dispid, &clsidPage, &IidOf<IDispatchInterface>(), nullptr, 0, VT_EMPTY},
// A property that is stored but never fetched: an empty value is written in its place.
#define UL_PROPERTY_PLACEHOLDER(szDesc, dispid, clsidPage, IDispatchInterface) \
    {szDesc, dispid, &clsidPage, &IidOf<IDispatchInterface>(), nullptr, 0, VT_NULL},
#define UL_PROPERTY_DATA_ENTRY(szDesc, member, vtMember)                                       \
    {szDesc,                                                                                   \
     0,                                                                                        \
     &CLSID_NULL,                                                                              \
     &IID_NULL,                                                                                \
     [](void* pObject) -> void* { return &static_cast<_PropertyMapClass*>(pObject)->member; }, \
     static_cast<DWORD>(sizeof(_PropertyMapClass::member)),                                    \
     vtMember},
#define UL_PROPERTY_PAGE(clsidPage) {nullptr, 0, &clsidPage, &IID_NULL, nullptr, 0, VT_EMPTY},
#define END_UL_PROPERTY_MAP()                              \
    { nullptr, 0, nullptr, nullptr, nullptr, 0, VT_EMPTY } \
    }                                                      \
    ;                                                      \
    return PropertyMap;                                    \
    }

// The version word that starts every persisted-object stream; newer streams are refused.
constexpr DWORD UL_PERSIST_STREAM_VERSION = 0x00000800;

// Change tracking. A new object is dirty (change 1, saved 0); every change increments the change counter;
// a completed load makes the object clean; a save that clears dirtiness records the change counter read
// when it began, so a change made during the save keeps the object dirty. All under the data lock, which
// is the object's own when it gives one, else the tracker's.
template <class T, class TLock = CUlCriticalSection>
class CBasePersistT {
public:
    explicit CBasePersistT(TLock* pDataLock = nullptr) noexcept
        : m_pDataLock(pDataLock != nullptr ? pDataLock : &m_OwnLock) {}

    void SetDirty() {
        CUlCriticalSectionLock Lock(*m_pDataLock);
        ++m_nChange;
    }
    bool IsDirtyState() const {
        CUlCriticalSectionLock Lock(*m_pDataLock);
        return m_nSaved < m_nChange;
    }
    DWORD GetChangeCounter() const {
        CUlCriticalSectionLock Lock(*m_pDataLock);
        return m_nChange;
    }
    void SetSavedCounter(DWORD nChange) {
        CUlCriticalSectionLock Lock(*m_pDataLock);
        m_nSaved = nChange;
    }
    void SetClean() {
        CUlCriticalSectionLock Lock(*m_pDataLock);
        m_nSaved = m_nChange;
    }
    // Called at the start of every load (stream and property bag), before any property is read: a class
    // whose later versions added properties hides it to give those the values that objects stored before
    // them must take, since a stream or bag of that time ends without them and leaves them as they are.
    void SetLoadDefaults() {}
    // Called at the end of every completed load (stream and property bag), once the object is clean: a
    // class hides it to act on what was loaded, or to mark itself changed when the load left it with
    // something the stored form did not hold.
    void LoadCompleted() {}
    static HRESULT PersistGetClassID(CLSID* pClassID) noexcept {
        if (pClassID == nullptr) return E_POINTER;
        *pClassID = T::GetObjectCLSID();
        return S_OK;
    }

private:
    TLock m_OwnLock;
    TLock* m_pDataLock;
    DWORD m_nChange = 1;
    DWORD m_nSaved = 0;
};

// Reading and writing one map entry's property through the object's IDispatch.
struct _PropertyMapHelper {
    static bool IsPlaceholder(const UlPropertyMapEntry& Entry) noexcept { return (Entry.vt & 1) != 0; }
    // The value by DISPATCH_PROPERTYGET; raised on failure.
    static void GetProperty(IUnknown* pObject, const UlPropertyMapEntry& Entry, VARIANT* pValue);
    // Puts the value by DISPATCH_PROPERTYPUT; raised on failure.
    static void PutProperty(IUnknown* pObject, const UlPropertyMapEntry& Entry, VARIANT* pValue);
    // The persisted-object stream of the map's entries.
    static void Save(IUnknown* pObject, void* pData, const UlPropertyMapEntry* pMap, IStream* pStream);
    static void Load(IUnknown* pObject, void* pData, const UlPropertyMapEntry* pMap, IStream* pStream);
    // The bag form: named dispatch properties only, null objects skipped.
    static void Save(IUnknown* pObject, const UlPropertyMapEntry* pMap, IPropertyBag* pBag);
    static void Load(IUnknown* pObject, const UlPropertyMapEntry* pMap, IPropertyBag* pBag, IErrorLog* pErrorLog);
    // Page identifiers in map order without repeats.
    static HRESULT GetPages(const UlPropertyMapEntry* pMap, CAUUID* pPages) noexcept;
};

template <class T>
class IUlPersistStreamInitT : public IPersistStreamInit {
public:
    HRESULT GetClassID(CLSID* pClassID) override { return T::PersistGetClassID(pClassID); }
    HRESULT IsDirty() override {
        UL_GUARD_BEGIN
        return Object()->IsDirtyState() ? S_OK : S_FALSE;
        UL_GUARD_END
    }
    HRESULT InitNew() override {
        UL_GUARD_BEGIN
        Object()->SetDirty();
        UL_GUARD_END
    }
    HRESULT Load(IStream* pStm) override {
        UL_GUARD_BEGIN
        corvane::CheckArgument(pStm != nullptr);
        Object()->SetLoadDefaults();
        _PropertyMapHelper::Load(this, Object(), T::GetPropertyMap(), pStm);
        Object()->SetClean();
        Object()->LoadCompleted();
        UL_GUARD_END
    }
    HRESULT Save(IStream* pStm, BOOL fClearDirty) override {
        UL_GUARD_BEGIN
        corvane::CheckArgument(pStm != nullptr);
        const DWORD nChange = Object()->GetChangeCounter();
        _PropertyMapHelper::Save(this, Object(), T::GetPropertyMap(), pStm);
        if (fClearDirty) Object()->SetSavedCounter(nChange);
        UL_GUARD_END
    }
    HRESULT GetSizeMax(ULARGE_INTEGER* pcbSize) override {
        if (pcbSize == nullptr) return E_POINTER;
        pcbSize->QuadPart = 0;
        return E_NOTIMPL;
    }

private:
    T* Object() { return static_cast<T*>(this); }
};

// IPersistStream for a class that has IUlPersistStreamInitT: the same five methods, reached through an
// interface of the type the caller asked for (OleSaveToStream and the stored object data ask for this one).
template <class T>
class IUlPersistStreamT : public IPersistStream {
public:
    HRESULT GetClassID(CLSID* pClassID) override { return Init()->GetClassID(pClassID); }
    HRESULT IsDirty() override { return Init()->IsDirty(); }
    HRESULT Load(IStream* pStm) override { return Init()->Load(pStm); }
    HRESULT Save(IStream* pStm, BOOL fClearDirty) override { return Init()->Save(pStm, fClearDirty); }
    HRESULT GetSizeMax(ULARGE_INTEGER* pcbSize) override { return Init()->GetSizeMax(pcbSize); }

private:
    IUlPersistStreamInitT<T>* Init() { return static_cast<IUlPersistStreamInitT<T>*>(static_cast<T*>(this)); }
};

template <class T>
class IUlPersistPropertyBagT : public IPersistPropertyBag {
public:
    HRESULT GetClassID(CLSID* pClassID) override { return T::PersistGetClassID(pClassID); }
    HRESULT InitNew() override {
        UL_GUARD_BEGIN
        Object()->SetDirty();
        UL_GUARD_END
    }
    HRESULT Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override {
        UL_GUARD_BEGIN
        corvane::CheckPointer(pPropBag);
        Object()->SetLoadDefaults();
        _PropertyMapHelper::Load(this, T::GetPropertyMap(), pPropBag, pErrorLog);
        Object()->SetClean();
        Object()->LoadCompleted();
        UL_GUARD_END
    }
    HRESULT Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL /*fSaveAllProperties*/) override {
        UL_GUARD_BEGIN
        corvane::CheckPointer(pPropBag);
        const DWORD nChange = Object()->GetChangeCounter();
        _PropertyMapHelper::Save(this, T::GetPropertyMap(), pPropBag);
        if (fClearDirty) Object()->SetSavedCounter(nChange);
        UL_GUARD_END
    }

private:
    T* Object() { return static_cast<T*>(this); }
};

// Persistence into a storage's "Contents" stream through the object's IPersistStreamInit.
template <class T>
class IUlPersistStorageT : public IPersistStorage {
public:
    HRESULT GetClassID(CLSID* pClassID) override { return T::PersistGetClassID(pClassID); }
    HRESULT IsDirty() override {
        UL_GUARD_BEGIN
        return Object()->IsDirtyState() ? S_OK : S_FALSE;
        UL_GUARD_END
    }
    HRESULT InitNew(IStorage* /*pStg*/) override {
        UL_GUARD_BEGIN
        Object()->SetDirty();
        UL_GUARD_END
    }
    HRESULT Load(IStorage* pStg) override {
        UL_GUARD_BEGIN
        corvane::CheckArgument(pStg != nullptr);
        CComPtr<IPersistStreamInit> pPersist;
        UL_CHECK(QueryInterface(IidOf<IPersistStreamInit>(), reinterpret_cast<void**>(&pPersist)));
        CComPtr<IStream> pStream;
        UL_CHECK(pStg->OpenStream(u"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &pStream));
        UL_CHECK(pPersist->Load(pStream));
        UL_GUARD_END
    }
    HRESULT Save(IStorage* pStgSave, BOOL fSameAsLoad) override {
        UL_GUARD_BEGIN
        corvane::CheckArgument(pStgSave != nullptr);
        CComPtr<IPersistStreamInit> pPersist;
        UL_CHECK(QueryInterface(IidOf<IPersistStreamInit>(), reinterpret_cast<void**>(&pPersist)));
        CComPtr<IStream> pStream;
        UL_CHECK(
            pStgSave->CreateStream(u"Contents", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &pStream));
        UL_CHECK(pPersist->Save(pStream, fSameAsLoad));
        UL_GUARD_END
    }
    HRESULT SaveCompleted(IStorage* /*pStgNew*/) override { return S_OK; }
    HRESULT HandsOffStorage() override { return S_OK; }

private:
    T* Object() { return static_cast<T*>(this); }
};

template <class T>
class IUlSpecifyPropertyPagesT : public ISpecifyPropertyPages {
public:
    HRESULT GetPages(CAUUID* pPages) override { return _PropertyMapHelper::GetPages(T::GetPropertyMap(), pPages); }
};

// A storage in memory holding named streams, enough for objects that persist into "Contents".
class CUlMemoryStorage : public IStorage {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IStorage>>;

    HRESULT CreateStream(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2, IStream** ppstm) override;
    HRESULT OpenStream(LPCOLESTR pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2, IStream** ppstm) override;
    HRESULT CreateStorage(LPCOLESTR, DWORD, DWORD, DWORD, IStorage**) override { return STG_E_INVALIDFUNCTION; }
    HRESULT OpenStorage(LPCOLESTR, IStorage*, DWORD, SNB, DWORD, IStorage**) override { return STG_E_INVALIDFUNCTION; }
    HRESULT CopyTo(DWORD, const IID*, SNB, IStorage*) override { return STG_E_INVALIDFUNCTION; }
    HRESULT MoveElementTo(LPCOLESTR, IStorage*, LPCOLESTR, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT Commit(DWORD) override { return S_OK; }
    HRESULT Revert() override { return S_OK; }
    HRESULT EnumElements(DWORD, void*, DWORD, IEnumSTATSTG**) override { return STG_E_INVALIDFUNCTION; }
    HRESULT DestroyElement(LPCOLESTR pwcsName) override;
    HRESULT RenameElement(LPCOLESTR, LPCOLESTR) override { return STG_E_INVALIDFUNCTION; }
    HRESULT SetElementTimes(LPCOLESTR, const FILETIME*, const FILETIME*, const FILETIME*) override { return S_OK; }
    HRESULT SetClass(REFCLSID clsid) override {
        m_clsid = clsid;
        return S_OK;
    }
    HRESULT SetStateBits(DWORD, DWORD) override { return S_OK; }
    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;

private:
    struct CElement {
        std::u16string sName;
        CComPtr<IStream> pStream;
    };
    CUlCriticalSection m_CriticalSection;
    std::vector<CElement> m_Elements;
    CLSID m_clsid = CLSID_NULL;
};

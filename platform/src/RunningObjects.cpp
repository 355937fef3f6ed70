// The process's running object table and item monikers. Registrations live in one list under one lock;
// the publisher of the out-of-process bridge, when installed, is told of each change outside that lock, so
// that it may call back into the table.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "comrt/comptr.h"
#include "comrt/runningobjects.h"
#include "comrt/runtime.h"

namespace {

char16_t FoldCase(char16_t c) noexcept {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) noexcept {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

// Reference counting shared by the table and the monikers.
template <class Derived>
class CRefCounted {
public:
    ULONG AddRefImpl() noexcept { return ++m_nReferences; }
    ULONG ReleaseImpl() noexcept {
        const ULONG nCount = --m_nReferences;
        if (nCount == 0) delete static_cast<Derived*>(this);
        return nCount;
    }

private:
    std::atomic<ULONG> m_nReferences{1};
};

class CItemMoniker final : public IMoniker, private CRefCounted<CItemMoniker> {
public:
    CItemMoniker(std::u16string sDelimiter, std::u16string sItem)
        : m_sDelimiter(std::move(sDelimiter)), m_sItem(std::move(sItem)) {}

    std::u16string DisplayName() const { return m_sDelimiter + m_sItem; }

    // A moniker's display name, whoever implements it; false when it has none.
    static bool DisplayNameOf(IMoniker* pMoniker, std::u16string* psName) {
        LPOLESTR pszName = nullptr;
        if (FAILED(pMoniker->GetDisplayName(nullptr, nullptr, &pszName)) || pszName == nullptr) return false;
        *psName = pszName;
        CoTaskMemFree(pszName);
        return true;
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IPersist>() || riid == IidOf<IPersistStream>() ||
            riid == IidOf<IMoniker>()) {
            *ppv = static_cast<IMoniker*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT GetClassID(CLSID* pClassID) override {
        if (pClassID == nullptr) return E_POINTER;
        *pClassID = CLSID_ItemMoniker;
        return S_OK;
    }
    HRESULT IsDirty() override { return S_FALSE; }
    HRESULT Load(IStream*) override { return E_NOTIMPL; }
    HRESULT Save(IStream*, BOOL) override { return E_NOTIMPL; }
    HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

    HRESULT BindToObject(IBindCtx*, IMoniker* pmkToLeft, REFIID riidResult, void** ppvResult) override {
        if (ppvResult == nullptr) return E_POINTER;
        *ppvResult = nullptr;
        if (pmkToLeft != nullptr) return E_NOTIMPL;
        CComPtr<IRunningObjectTable> pTable;
        HRESULT hr = GetRunningObjectTable(0, &pTable);
        if (FAILED(hr)) return hr;
        CComPtr<IUnknown> pObject;
        hr = pTable->GetObject(this, &pObject);
        if (FAILED(hr)) return hr;
        return pObject->QueryInterface(riidResult, ppvResult);
    }
    HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID, void** ppvObj) override {
        if (ppvObj != nullptr) *ppvObj = nullptr;
        return E_NOTIMPL;
    }
    HRESULT Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker** ppmkReduced) override {
        if (ppmkReduced == nullptr) return E_POINTER;
        AddRef();
        *ppmkReduced = this;
        return S_OK;  // MK_S_REDUCED_TO_SELF is not distinguished here
    }
    HRESULT ComposeWith(IMoniker*, BOOL, IMoniker** ppmkComposite) override {
        if (ppmkComposite != nullptr) *ppmkComposite = nullptr;
        return E_NOTIMPL;
    }
    HRESULT Enum(BOOL, IEnumMoniker** ppenumMoniker) override {
        if (ppenumMoniker == nullptr) return E_POINTER;
        *ppenumMoniker = nullptr;  // an item moniker has no parts
        return S_OK;
    }
    HRESULT IsEqual(IMoniker* pmkOtherMoniker) override {
        if (pmkOtherMoniker == nullptr) return E_INVALIDARG;
        CLSID Clsid = CLSID_NULL;
        if (FAILED(pmkOtherMoniker->GetClassID(&Clsid)) || Clsid != CLSID_ItemMoniker) return S_FALSE;
        std::u16string sOther;
        if (!DisplayNameOf(pmkOtherMoniker, &sOther)) return S_FALSE;
        return EqualNoCase(DisplayName(), sOther) ? S_OK : S_FALSE;
    }
    HRESULT Hash(DWORD* pdwHash) override {
        if (pdwHash == nullptr) return E_POINTER;
        DWORD nHash = 0;
        for (char16_t c : DisplayName()) nHash = nHash * 31 + FoldCase(c);
        *pdwHash = nHash;
        return S_OK;
    }
    HRESULT IsRunning(IBindCtx*, IMoniker* pmkToLeft, IMoniker* pmkNewlyRunning) override {
        if (pmkNewlyRunning != nullptr && IsEqual(pmkNewlyRunning) == S_OK) return S_OK;
        if (pmkToLeft != nullptr) return E_NOTIMPL;
        CComPtr<IRunningObjectTable> pTable;
        HRESULT hr = GetRunningObjectTable(0, &pTable);
        return FAILED(hr) ? hr : pTable->IsRunning(this);
    }
    HRESULT GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
    HRESULT Inverse(IMoniker** ppmk) override {
        if (ppmk != nullptr) *ppmk = nullptr;
        return E_NOTIMPL;
    }
    HRESULT CommonPrefixWith(IMoniker*, IMoniker** ppmkPrefix) override {
        if (ppmkPrefix != nullptr) *ppmkPrefix = nullptr;
        return E_NOTIMPL;
    }
    HRESULT RelativePathTo(IMoniker*, IMoniker** ppmkRelPath) override {
        if (ppmkRelPath != nullptr) *ppmkRelPath = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* ppszDisplayName) override {
        if (ppszDisplayName == nullptr) return E_POINTER;
        const std::u16string sName = DisplayName();
        auto* pszName = static_cast<LPOLESTR>(CoTaskMemAlloc((sName.size() + 1) * sizeof(OLECHAR)));
        *ppszDisplayName = pszName;
        if (pszName == nullptr) return E_OUTOFMEMORY;
        std::memcpy(pszName, sName.c_str(), (sName.size() + 1) * sizeof(OLECHAR));
        return S_OK;
    }
    HRESULT ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG* pchEaten, IMoniker** ppmkOut) override {
        if (pchEaten != nullptr) *pchEaten = 0;
        if (ppmkOut != nullptr) *ppmkOut = nullptr;
        return E_NOTIMPL;
    }
    HRESULT IsSystemMoniker(DWORD* pdwMksys) override {
        if (pdwMksys == nullptr) return E_POINTER;
        *pdwMksys = MKSYS_ITEMMONIKER;
        return S_OK;
    }

private:
    friend class CRefCounted<CItemMoniker>;
    ~CItemMoniker() = default;

    const std::u16string m_sDelimiter;
    const std::u16string m_sItem;
};

std::mutex g_PublisherLock;
const comrt::RunningObjectPublisher* g_pPublisher = nullptr;

const comrt::RunningObjectPublisher* CurrentPublisher() {
    std::lock_guard Lock(g_PublisherLock);
    return g_pPublisher;
}

// The table lives as long as the process; its references are counted for form only.
class CRunningObjectTable final : public IRunningObjectTable {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IRunningObjectTable>()) {
            *ppv = static_cast<IRunningObjectTable*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT Register(DWORD grfFlags, IUnknown* punkObject, IMoniker* pmkObjectName, DWORD* pdwRegister) override {
        if (pdwRegister == nullptr) return E_INVALIDARG;
        *pdwRegister = 0;
        if (punkObject == nullptr || pmkObjectName == nullptr) return E_INVALIDARG;
        if ((grfFlags & ~(ROTFLAGS_REGISTRATIONKEEPSALIVE | ROTFLAGS_ALLOWANYCLIENT)) != 0) return E_INVALIDARG;
        std::u16string sName;
        if (!CItemMoniker::DisplayNameOf(pmkObjectName, &sName)) return E_INVALIDARG;

        DWORD nCookie = 0;
        bool bExisted = false;
        {
            std::lock_guard Lock(m_Lock);
            bExisted = FindLocked(sName) != m_Entries.end();
            nCookie = m_nNextCookie++;
            if (m_nNextCookie == 0) m_nNextCookie = 1;
            m_Entries.push_back(Entry{nCookie, std::move(sName), CComPtr<IUnknown>(punkObject)});
        }
        if (const comrt::RunningObjectPublisher* pPublisher = CurrentPublisher()) {
            const HRESULT hr = pPublisher->pfnPublish(nCookie, grfFlags, punkObject, NameOf(nCookie));
            if (FAILED(hr)) {
                Remove(nCookie);
                return hr;
            }
        }
        *pdwRegister = nCookie;
        return bExisted ? MK_S_MONIKERALREADYREGISTERED : S_OK;
    }
    HRESULT Revoke(DWORD dwRegister) override {
        if (!Remove(dwRegister)) return E_INVALIDARG;
        if (const comrt::RunningObjectPublisher* pPublisher = CurrentPublisher()) pPublisher->pfnWithdraw(dwRegister);
        return S_OK;
    }
    HRESULT IsRunning(IMoniker* pmkObjectName) override {
        CComPtr<IUnknown> pObject;
        const HRESULT hr = Lookup(pmkObjectName, pObject);
        return hr == MK_E_UNAVAILABLE ? S_FALSE : hr;
    }
    HRESULT GetObject(IMoniker* pmkObjectName, IUnknown** ppunkObject) override {
        if (ppunkObject == nullptr) return E_POINTER;
        *ppunkObject = nullptr;
        CComPtr<IUnknown> pObject;
        const HRESULT hr = Lookup(pmkObjectName, pObject);
        if (hr == S_OK) *ppunkObject = pObject.Detach();
        return hr;
    }
    HRESULT NoteChangeTime(DWORD, FILETIME*) override { return E_NOTIMPL; }
    HRESULT GetTimeOfLastChange(IMoniker*, FILETIME*) override { return E_NOTIMPL; }
    HRESULT EnumRunning(IEnumMoniker** ppenumMoniker) override {
        if (ppenumMoniker != nullptr) *ppenumMoniker = nullptr;
        return E_NOTIMPL;
    }

private:
    struct Entry {
        DWORD nCookie;
        std::u16string sName;
        CComPtr<IUnknown> pObject;
    };

    std::vector<Entry>::iterator FindLocked(const std::u16string& sName) {
        return std::find_if(m_Entries.begin(), m_Entries.end(),
                            [&](const Entry& entry) { return EqualNoCase(entry.sName, sName); });
    }
    std::u16string NameOf(DWORD nCookie) {
        std::lock_guard Lock(m_Lock);
        for (const Entry& entry : m_Entries)
            if (entry.nCookie == nCookie) return entry.sName;
        return {};
    }
    HRESULT Lookup(IMoniker* pmkObjectName, CComPtr<IUnknown>& pObject) {
        if (pmkObjectName == nullptr) return E_INVALIDARG;
        std::u16string sName;
        if (!CItemMoniker::DisplayNameOf(pmkObjectName, &sName)) return E_INVALIDARG;
        std::lock_guard Lock(m_Lock);
        auto Position = FindLocked(sName);
        if (Position == m_Entries.end()) return MK_E_UNAVAILABLE;
        pObject = Position->pObject;
        return S_OK;
    }
    // The object's reference is dropped outside the lock: its release may run code that uses the table.
    bool Remove(DWORD nCookie) {
        CComPtr<IUnknown> pObject;
        std::lock_guard Lock(m_Lock);
        auto Position = std::find_if(m_Entries.begin(), m_Entries.end(),
                                     [&](const Entry& entry) { return entry.nCookie == nCookie; });
        if (nCookie == 0 || Position == m_Entries.end()) return false;
        pObject = std::move(Position->pObject);
        m_Entries.erase(Position);
        return true;
    }

    std::mutex m_Lock;
    std::vector<Entry> m_Entries;
    DWORD m_nNextCookie = 1;
};

CRunningObjectTable& Table() {
    // Never destroyed: objects still registered at exit keep their references rather than being released
    // in an unknown order after the rest of the runtime is gone.
    static auto* pTable = new CRunningObjectTable;
    return *pTable;
}

}  // namespace

HRESULT GetRunningObjectTable(DWORD dwReserved, IRunningObjectTable** pprot) {
    if (pprot == nullptr) return E_INVALIDARG;
    *pprot = nullptr;
    if (dwReserved != 0) return E_INVALIDARG;
    *pprot = &Table();
    (*pprot)->AddRef();
    return S_OK;
}

HRESULT CreateItemMoniker(LPCOLESTR lpszDelim, LPCOLESTR lpszItem, IMoniker** ppmk) {
    if (ppmk == nullptr) return E_INVALIDARG;
    *ppmk = nullptr;
    if (lpszDelim == nullptr || lpszItem == nullptr) return E_INVALIDARG;
    auto* pMoniker = new (std::nothrow) CItemMoniker(lpszDelim, lpszItem);
    if (pMoniker == nullptr) return E_OUTOFMEMORY;
    *ppmk = pMoniker;
    return S_OK;
}

HRESULT CoDisconnectObject(IUnknown* pUnk, DWORD /*dwReserved*/) {
    if (pUnk == nullptr) return E_INVALIDARG;
    const comrt::RunningObjectPublisher* pPublisher = CurrentPublisher();
    return pPublisher != nullptr ? pPublisher->pfnDisconnect(pUnk) : S_OK;
}

namespace comrt {

void CoSetRunningObjectPublisher(const RunningObjectPublisher* pPublisher) {
    std::lock_guard Lock(g_PublisherLock);
    g_pPublisher = pPublisher;
}

}  // namespace comrt

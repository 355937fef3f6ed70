// Per-thread error information: the description an object leaves behind when a call fails, for the caller's
// guard to show. Each thread has its own slot; reading the slot empties it, so a stale description can never
// be shown for a later failure.
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "comrt/runtime.h"

namespace {

// The slot of one thread. It holds one reference, given back when the thread ends.
struct ThreadErrorInfo {
    IErrorInfo* pInfo = nullptr;
    ~ThreadErrorInfo() {
        if (IErrorInfo* p = std::exchange(pInfo, nullptr)) p->Release();
    }
};

thread_local ThreadErrorInfo t_ErrorInfo;

// The object CreateErrorInfo makes: filled through ICreateErrorInfo, read through IErrorInfo. Its fields may
// be written on one thread and read on another (an error info can be handed over), so they are guarded.
class CErrorInfo final : public ICreateErrorInfo, public IErrorInfo {
public:
    // IUnknown. The object's identity is its ICreateErrorInfo base.
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (riid == IUnknown::kIid || riid == ICreateErrorInfo::kIid) {
            *ppvObject = static_cast<ICreateErrorInfo*>(this);
        } else if (riid == IErrorInfo::kIid) {
            *ppvObject = static_cast<IErrorInfo*>(this);
        } else {
            *ppvObject = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return m_nRefs.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG nRefs = m_nRefs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (nRefs == 0) delete this;
        return nRefs;
    }

    // ICreateErrorInfo
    HRESULT SetGUID(REFGUID rguid) override {
        std::lock_guard lock(m_Lock);
        m_Guid = rguid;
        return S_OK;
    }
    HRESULT SetSource(LPOLESTR szSource) override { return SetText(&m_sSource, szSource); }
    HRESULT SetDescription(LPOLESTR szDescription) override { return SetText(&m_sDescription, szDescription); }
    HRESULT SetHelpFile(LPOLESTR szHelpFile) override { return SetText(&m_sHelpFile, szHelpFile); }
    HRESULT SetHelpContext(DWORD dwHelpContext) override {
        std::lock_guard lock(m_Lock);
        m_dwHelpContext = dwHelpContext;
        return S_OK;
    }

    // IErrorInfo
    HRESULT GetGUID(GUID* pGUID) override {
        if (pGUID == nullptr) return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        *pGUID = m_Guid;
        return S_OK;
    }
    HRESULT GetSource(BSTR* pBstrSource) override { return GetText(m_sSource, pBstrSource); }
    HRESULT GetDescription(BSTR* pBstrDescription) override { return GetText(m_sDescription, pBstrDescription); }
    HRESULT GetHelpFile(BSTR* pBstrHelpFile) override { return GetText(m_sHelpFile, pBstrHelpFile); }
    HRESULT GetHelpContext(DWORD* pdwHelpContext) override {
        if (pdwHelpContext == nullptr) return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        *pdwHelpContext = m_dwHelpContext;
        return S_OK;
    }

private:
    ~CErrorInfo() = default;

    HRESULT SetText(std::u16string* psField, LPCOLESTR psz) {
        try {
            std::u16string sText = psz ? std::u16string(psz) : std::u16string();
            std::lock_guard lock(m_Lock);
            *psField = std::move(sText);
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    // A field never set comes back as the null BSTR, which every BSTR reader takes as empty text.
    HRESULT GetText(const std::u16string& sField, BSTR* pbstr) {
        if (pbstr == nullptr) return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        *pbstr = nullptr;
        if (sField.empty()) return S_OK;
        *pbstr = SysAllocStringLen(sField.data(), static_cast<UINT>(sField.size()));
        return *pbstr ? S_OK : E_OUTOFMEMORY;
    }

    std::atomic<ULONG> m_nRefs{1};
    std::mutex m_Lock;
    GUID m_Guid = GUID_NULL;
    std::u16string m_sSource;
    std::u16string m_sDescription;
    std::u16string m_sHelpFile;
    DWORD m_dwHelpContext = 0;
};

}  // namespace

HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
    if (perrinfo) perrinfo->AddRef();
    // The old object is released after the slot holds the new one: its Release may run code that sets error
    // info again, and that must not find a slot pointing at an object being destroyed.
    IErrorInfo* pOld = std::exchange(t_ErrorInfo.pInfo, perrinfo);
    if (pOld) pOld->Release();
    return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
    if (pperrinfo == nullptr) return E_INVALIDARG;
    // The caller takes over the slot's reference.
    *pperrinfo = std::exchange(t_ErrorInfo.pInfo, nullptr);
    return *pperrinfo ? S_OK : S_FALSE;
}

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    if (pperrinfo == nullptr) return E_INVALIDARG;
    *pperrinfo = new (std::nothrow) CErrorInfo();
    return *pperrinfo ? S_OK : E_OUTOFMEMORY;
}

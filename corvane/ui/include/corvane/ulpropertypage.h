// Property pages and the property frame of the foundation library.
//
// A page class derives from COlePropertyPageT over its page base (IUlPropertyPageT, or
// IUlScrollablePropertyPageT for a page taller than the frame's page area) and supplies its dialog, its
// title, its initialisation and its Apply:
//
//   class CPingPage : public COlePropertyPageT<CPingPage>, public CWindowWithControlsT<CPingPage> {
//   public:
//       using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
//       static const DialogResource& GetDialogResource();  // the page's controls
//       static UINT GetTitleResourceId();                   // the string resource of its tab title
//       void OnInitDialog();                                // controls filled from GetObject(0)
//       HRESULT Apply() override;                           // writes them back; SetDirty(false)
//   };
//
// Every page method asserts the calling thread is in a single-threaded apartment, and answers what it
// raises as its result after the line "An exception 0x%08x (%s) has been caught".
#pragma once

#include <QScrollArea>
#include <optional>
#include <string>
#include <vector>

#include "comrt/comptr.h"
#include "comrt/propertypages.h"
#include "comrt/runtime.h"
#include "corvane/ulguard.h"
#include "corvane/ulresource.h"
#include "corvane/ulwindow.h"

namespace corvane {

// Show or Move of a page whose window has not been made (Activate first).
constexpr HRESULT E_PAGE_NOT_ACTIVATED_SHOW = static_cast<HRESULT>(0xA76505D5);
constexpr HRESULT E_PAGE_NOT_ACTIVATED_MOVE = static_cast<HRESULT>(0xA76505E7);

// A copy of a task-memory string, as the page information hands its texts over.
LPOLESTR CopyToTaskMemory(std::u16string_view sText);

#define UL_PAGE_GUARD_BEGIN                 \
    UL_ASSERT(IsSingleThreadedApartment()); \
    try {
#define UL_PAGE_GUARD_END                                                           \
    }                                                                               \
    catch (...) {                                                                   \
        return ::corvane::CatchException(UL_CONTEXT, ::corvane::TRACE_LEVEL_ERROR); \
    }                                                                               \
    return S_OK;

template <class T>
class IUlPropertyPageT : public IPropertyPage {
public:
    ~IUlPropertyPageT() {
        if (IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
    }

    HRESULT SetPageSite(IPropertyPageSite* pPageSite) override {
        UL_PAGE_GUARD_BEGIN
        if (pPageSite != nullptr && m_pPageSite != nullptr && pPageSite != m_pPageSite) return E_INVALIDARG;
        m_pPageSite = pPageSite;
        UL_PAGE_GUARD_END
    }
    HRESULT Activate(HWND hWndParent, LPCRECT pRect, BOOL /*bModal*/) override {
        UL_PAGE_GUARD_BEGIN
        CheckArgument(pRect != nullptr);
        UL_ASSERT(m_hWnd == nullptr);
        const HWND hWnd = static_cast<T*>(this)->CreatePageWindow(hWndParent);
        if (hWnd == nullptr) ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
        m_hWnd = hWnd;
        UL_CHECK(Move(pRect));
        m_PageSize = SIZE{pRect->right - pRect->left, pRect->bottom - pRect->top};
        UL_PAGE_GUARD_END
    }
    HRESULT Deactivate() override {
        UL_PAGE_GUARD_BEGIN
        if (m_hWnd != nullptr) {
            // The frame may have destroyed the page's parent, and the page with it.
            if (IsWindow(m_hWnd)) {
                const BOOL bDestroyed = DestroyWindow(m_hWnd);
                UL_ASSERT(bDestroyed);
            }
            m_hWnd = nullptr;
        }
        UL_PAGE_GUARD_END
    }
    HRESULT GetPageInfo(PROPPAGEINFO* pPageInfo) override {
        UL_PAGE_GUARD_BEGIN
        CheckArgument(pPageInfo != nullptr);
        m_PageSize = static_cast<T*>(this)->GetPageTemplateSize();
        const std::u16string sTitle = LoadStringResource(T::GetTitleResourceId());
        *pPageInfo = PROPPAGEINFO{sizeof(PROPPAGEINFO), CopyToTaskMemory(sTitle), m_PageSize, nullptr, nullptr, 0};
        UL_PAGE_GUARD_END
    }
    HRESULT SetObjects(ULONG cObjects, IUnknown** ppUnk) override {
        UL_PAGE_GUARD_BEGIN
        CheckArgument(ppUnk != nullptr || cObjects == 0);
        std::vector<CComPtr<IUnknown>> Objects;
        Objects.reserve(cObjects);
        for (ULONG i = 0; i < cObjects; ++i) Objects.emplace_back(ppUnk[i]);
        m_ObjectArray = std::move(Objects);
        UL_PAGE_GUARD_END
    }
    HRESULT Show(UINT nCmdShow) override {
        UL_PAGE_GUARD_BEGIN
        if (!IsWindow(m_hWnd)) ThrowHResult(E_PAGE_NOT_ACTIVATED_SHOW);
        ShowWindow(m_hWnd, static_cast<int>(nCmdShow));
        UL_PAGE_GUARD_END
    }
    HRESULT Move(LPCRECT pRect) override {
        UL_PAGE_GUARD_BEGIN
        CheckArgument(pRect != nullptr);
        if (!IsWindow(m_hWnd)) ThrowHResult(E_PAGE_NOT_ACTIVATED_MOVE);
        MoveWindow(m_hWnd, pRect->left, pRect->top, pRect->right - pRect->left, pRect->bottom - pRect->top, TRUE);
        UL_PAGE_GUARD_END
    }
    HRESULT IsPageDirty() override { return m_bDirty ? S_OK : S_FALSE; }
    HRESULT Help(LPCOLESTR /*pszHelpDir*/) override { return E_NOTIMPL; }
    HRESULT TranslateAccelerator(MSG* pMsg) override {
        UL_PAGE_GUARD_BEGIN
        CheckArgument(pMsg != nullptr);
        const bool bKeyboard = pMsg->message >= WM_KEYFIRST && pMsg->message <= WM_KEYLAST;
        const bool bMouse = pMsg->message >= WM_MOUSEFIRST && pMsg->message <= WM_MOUSELAST;
        if (!bKeyboard && !bMouse) return S_FALSE;
        return IsDialogMessageW(m_hWnd, pMsg) ? S_OK : S_FALSE;
        UL_PAGE_GUARD_END
    }

    // Marks the page dirty or clean; a change is told to the site.
    void SetDirty(bool bDirty) {
        if (bDirty == m_bDirty) return;
        m_bDirty = bDirty;
        if (m_pPageSite != nullptr) {
            const HRESULT hr = m_pPageSite->OnStatusChange(bDirty ? PROPPAGESTATUS_DIRTY : PROPPAGESTATUS_CLEAN);
            UL_ASSERT(SUCCEEDED(hr));
        }
    }
    bool IsDirty() const noexcept { return m_bDirty; }
    size_t GetObjectCount() const noexcept { return m_ObjectArray.size(); }
    // A counted reference to object nIndex of the array; E_INVALIDARG past its end.
    CComPtr<IUnknown> GetObject(size_t nIndex) const {
        UL_ASSERT(nIndex < m_ObjectArray.size());
        CheckArgument(nIndex < m_ObjectArray.size());
        return m_ObjectArray[nIndex];
    }
    // Object nIndex as interface I (raised E_NOINTERFACE when it has not got it).
    template <class I>
    CComPtr<I> GetObjectInterface(size_t nIndex) const {
        CComPtr<I> p;
        UL_CHECK(GetObject(nIndex)->QueryInterface(&p));
        return p;
    }
    HWND GetWindow() const noexcept { return m_hWnd; }
    HWND GetItem(int nId) const noexcept { return GetDlgItem(m_hWnd, nId); }
    SIZE GetPageSize() const noexcept { return m_PageSize; }
    IPropertyPageSite* GetPageSite() const noexcept { return m_pPageSite; }

    // The page's size from its dialog resource.
    SIZE GetPageTemplateSize() const { return GetDialogResourceSize(T::GetDialogResource()); }
    // Makes the page's dialog (the scrollable base makes a scrolling one).
    HWND CreatePageDialog(HWND hParent) { return CreateDialogFromResource(T::GetDialogResource(), hParent); }

protected:
    CComPtr<IPropertyPageSite> m_pPageSite;
    std::vector<CComPtr<IUnknown>> m_ObjectArray;
    bool m_bDirty = false;
    SIZE m_PageSize{0, 0};
    HWND m_hWnd = nullptr;
};

// The scrolling of a cut page: a scroll area whose visible part is the dialog above its separator.
// Creates the scroll area as a child of hParent with the whole dialog inside (the separator hidden); its
// visible height is nVisibleHeight dialog units.
HWND CreateScrollableDialog(const DialogResource& Resource, short nVisibleHeight, HWND hParent) noexcept;
// The scroll position in pixels, clamped to the range.
void SetScrollPosition(HWND hScrollable, int nPosition) noexcept;
int GetScrollPosition(HWND hScrollable) noexcept;

template <class T>
class CScrollableDialogBaseT {
public:
    void SetPosition(int nPosition) { SetScrollPosition(static_cast<T*>(this)->GetWindow(), nPosition); }
    int GetPosition() const { return GetScrollPosition(static_cast<const T*>(this)->GetWindow()); }
};

// A page whose dialog is taller than the frame's page area: the control 65534 (the separator) marks where
// the visible part ends; the page scrolls to the rest, and a focused control out of view is scrolled in.
template <class T>
class IUlScrollablePropertyPageT : public IUlPropertyPageT<T>, public CScrollableDialogBaseT<T> {
public:
    // The visible height (the separator's top) when the separator cut the dialog, else none.
    std::optional<short> GetDialogTemplate() {
        if (!m_bTemplateLoaded) {
            m_bTemplateLoaded = true;
            const DialogResource& Resource = T::GetDialogResource();
            for (const DialogControl& Control : Resource.Controls) {
                if (Control.nId != IDC_SEPARATOR) continue;
                UL_ASSERT(Control.y >= 0 && Control.y < Resource.cy);
                if (Control.y >= 0 && Control.y < Resource.cy) m_nVisibleHeight = Control.y;
                break;
            }
        }
        return m_nVisibleHeight;
    }
    SIZE GetPageTemplateSize() {
        const DialogResource& Resource = T::GetDialogResource();
        const std::optional<short> nVisible = GetDialogTemplate();
        return GetDialogResourceSize(DialogResource{Resource.cx, nVisible.value_or(Resource.cy), nullptr, {}});
    }
    HWND CreatePageDialog(HWND hParent) {
        const DialogResource& Resource = T::GetDialogResource();
        const std::optional<short> nVisible = GetDialogTemplate();
        if (!nVisible) return CreateDialogFromResource(Resource, hParent);
        return CreateScrollableDialog(Resource, *nVisible, hParent);
    }

private:
    bool m_bTemplateLoaded = false;
    std::optional<short> m_nVisibleHeight;
};

// The page window over its page base: makes the dialog, then runs the page's own initialisation (T's
// OnInitDialog, when it has one) inside the window guard.
template <class T, class TPageBase = IUlPropertyPageT<T>>
class COlePropertyPageT : public TPageBase {
public:
    HWND CreatePageWindow(HWND hParent) {
        const HWND hWnd = static_cast<T*>(this)->CreatePageDialog(hParent);
        if (hWnd == nullptr) return nullptr;
        this->m_hWnd = hWnd;
        if constexpr (requires(T & Page) { Page.OnInitDialog(); })
            GuardedWindowCall(hWnd, [this] { static_cast<T*>(this)->OnInitDialog(); });
        return hWnd;
    }
};

// The property frame on one or more objects: the pages common to all of them, centred on the owner and
// moved off it when it would cover it exactly.
template <class T = void>
class COlePropertyFrameDialogT {
public:
    explicit COlePropertyFrameDialogT(IUnknown* pObject = nullptr, std::u16string sCaption = {})
        : m_sCaption(std::move(sCaption)) {
        const int nOffset = GetSystemMetrics(SM_CYFIXEDFRAME) + GetSystemMetrics(SM_CYCAPTION);
        m_Parameters = OCPFIPARAMS{sizeof(OCPFIPARAMS), nullptr, nOffset, nOffset, nullptr, 0, nullptr, 0, nullptr,
                                   LOCALE_USER_DEFAULT, 0};
        if (pObject != nullptr) SetObject(pObject);
    }
    virtual ~COlePropertyFrameDialogT() = default;

    void SetObject(IUnknown* pObject) {
        UL_ASSERT(pObject != nullptr);
        CheckPointer(pObject);
        m_Objects.assign(1, CComPtr<IUnknown>(pObject));
    }
    void AddObject(IUnknown* pObject) {
        CheckPointer(pObject);
        m_Objects.emplace_back(pObject);
    }
    void SetPages(std::vector<CLSID> Pages) { m_Pages = std::move(Pages); }
    const std::vector<CLSID>& GetPages() const noexcept { return m_Pages; }
    const OCPFIPARAMS& GetParameters() const noexcept { return m_Parameters; }

    // The pages common to all objects: the first object's list whole, each further one narrowing it; an
    // object without ISpecifyPropertyPages contributes nothing.
    void SetPagesFromObjects() {
        m_Pages.clear();
        bool bFirst = true;
        for (const CComPtr<IUnknown>& pObject : m_Objects) {
            CComPtr<ISpecifyPropertyPages> pSpecify;
            if (FAILED(pObject->QueryInterface(&pSpecify)) || pSpecify == nullptr) {
                UL_TRACE(TRACE_LEVEL_ERROR, "An object without ISpecifyPropertyPages contributes no pages\n");
                continue;
            }
            CAUUID Pages{0, nullptr};
            UL_CHECK(pSpecify->GetPages(&Pages));
            std::vector<CLSID> List(Pages.pElems, Pages.pElems + Pages.cElems);
            CoTaskMemFree(Pages.pElems);
            if (bFirst) {
                m_Pages = std::move(List);
                bFirst = false;
                continue;
            }
            std::erase_if(m_Pages,
                          [&](const CLSID& Page) { return std::find(List.begin(), List.end(), Page) == List.end(); });
        }
    }

    // Shows the frame (the pages from the objects unless set) and returns when it is closed; failures are
    // raised. With no page to show, an error box says so and E_NOINTERFACE is raised.
    HRESULT DoModal(HWND hOwner = nullptr) {
        UL_ASSERT(m_hFrame == nullptr);
        UL_ASSERT(!m_Objects.empty());
        InstallTraceWriter();
        if (m_Pages.empty()) SetPagesFromObjects();
        if (m_Pages.empty()) {
            UL_TRACE(TRACE_LEVEL_FAILURE, "The objects have no property pages in common\n");
            CMessageBox(hOwner, u"These objects have no settings that can be shown.", IDS_CAPTION_ERROR,
                        MB_OK | MB_ICONERROR)
                .DoModal();
            ThrowHResult(E_NOINTERFACE);
        }
        std::vector<IUnknown*> Objects;
        for (const CComPtr<IUnknown>& pObject : m_Objects) Objects.push_back(pObject);
        m_Parameters.hWndOwner = hOwner;
        m_Parameters.lpszCaption = m_sCaption.c_str();
        m_Parameters.cObjects = static_cast<ULONG>(Objects.size());
        m_Parameters.lplpUnk = Objects.data();
        m_Parameters.cPages = static_cast<ULONG>(m_Pages.size());
        m_Parameters.lpPages = m_Pages.data();
        const bool bHooked = SetPropertyFrameHook([this](HWND hFrame) {
            m_hFrame = hFrame;
            GuardedWindowCall(hFrame, [this, hFrame] { OnInitDialog(hFrame); });
        });
        UL_ASSERT(bHooked);
        const HRESULT hr = OleCreatePropertyFrameIndirect(&m_Parameters);
        RemovePropertyFrameHook();
        m_hFrame = nullptr;
        m_Parameters.lplpUnk = nullptr;
        if (FAILED(hr)) ThrowHResult(hr);
        return hr;
    }
    HWND GetFrameWindow() const noexcept { return m_hFrame; }

protected:
    // The frame is made: centre it on its owner, then keep it off the owner's exact place.
    virtual void OnInitDialog(HWND hFrame) {
        const bool bCentred = CentreWindow(hFrame, m_Parameters.hWndOwner);
        UL_ASSERT(bCentred);
        OffsetFromSimilarParent(hFrame);
    }

private:
    static void InstallTraceWriter();

    std::u16string m_sCaption;
    OCPFIPARAMS m_Parameters;
    std::vector<CComPtr<IUnknown>> m_Objects;
    std::vector<CLSID> m_Pages;
    HWND m_hFrame = nullptr;
};

// Failures of the window system go to this module's trace.
void InstallUserInterfaceTrace() noexcept;

template <class T>
void COlePropertyFrameDialogT<T>::InstallTraceWriter() {
    InstallUserInterfaceTrace();
}

using COlePropertyFrameDialog = COlePropertyFrameDialogT<>;

}  // namespace corvane

// Property pages and the property frame that hosts them. A page is a COM object of its page class (created
// by class identifier in process, so that the pages of any registered plug-in work the same way); the frame
// gives each page a site, the objects to edit, asks for its title and size, activates it on a tab, and
// applies the dirty pages on OK and Apply. The frame lives in libcomrtui.
#pragma once

#include "comrt/interfaces.h"
#include "comrt/ui.h"

struct PROPPAGEINFO {
    ULONG cb;  // sizeof(PROPPAGEINFO)
    LPOLESTR pszTitle;
    SIZE size;
    LPOLESTR pszDocString;
    LPOLESTR pszHelpFile;
    DWORD dwHelpContext;
};

constexpr DWORD PROPPAGESTATUS_DIRTY = 0x1;
constexpr DWORD PROPPAGESTATUS_VALIDATE = 0x2;
constexpr DWORD PROPPAGESTATUS_CLEAN = 0x4;

struct IPropertyPageSite : IUnknown {
    static constexpr IID kIid = MakeGuid("B196B28C-BAB4-101A-B69C-00AA00341D07");
    virtual HRESULT OnStatusChange(DWORD dwFlags) = 0;
    virtual HRESULT GetLocaleID(LCID* pLocaleID) = 0;
    virtual HRESULT GetPageContainer(IUnknown** ppUnk) = 0;
    virtual HRESULT TranslateAccelerator(MSG* pMsg) = 0;
};

struct IPropertyPage : IUnknown {
    static constexpr IID kIid = MakeGuid("B196B28D-BAB4-101A-B69C-00AA00341D07");
    virtual HRESULT SetPageSite(IPropertyPageSite* pPageSite) = 0;
    virtual HRESULT Activate(HWND hWndParent, LPCRECT pRect, BOOL bModal) = 0;
    virtual HRESULT Deactivate() = 0;
    virtual HRESULT GetPageInfo(PROPPAGEINFO* pPageInfo) = 0;
    virtual HRESULT SetObjects(ULONG cObjects, IUnknown** ppUnk) = 0;
    virtual HRESULT Show(UINT nCmdShow) = 0;
    virtual HRESULT Move(LPCRECT pRect) = 0;
    virtual HRESULT IsPageDirty() = 0;
    virtual HRESULT Apply() = 0;
    virtual HRESULT Help(LPCOLESTR pszHelpDir) = 0;
    virtual HRESULT TranslateAccelerator(MSG* pMsg) = 0;
};

// The frame's parameter record. cbStructSize is sizeof(OCPFIPARAMS); x and y place the frame relative to
// its owner's top-left corner (the screen's without an owner).
struct OCPFIPARAMS {
    ULONG cbStructSize;
    HWND hWndOwner;
    int x;
    int y;
    LPCOLESTR lpszCaption;
    ULONG cObjects;
    IUnknown** lplpUnk;
    ULONG cPages;
    CLSID* lpPages;
    LCID lcid;
    DISPID dispidInitialProperty;
};

// Control identifiers of the frame's buttons.
constexpr int IDC_PROPERTYFRAME_APPLY = 0x3021;

// Shows the modal property frame for the objects and pages of the record and answers when it is closed:
// S_OK (whether closed by OK or Cancel), E_INVALIDARG for a bad record (size, counts, pointers), or the
// failure that left no page to show. A page that cannot be created, or whose GetPageInfo or Activate fails,
// is reported in an error box and a trace line and left out; a page whose Apply fails is reported in an
// error box and the frame stays open.
COMRT_API HRESULT OleCreatePropertyFrameIndirect(OCPFIPARAMS* lpParams) noexcept;

// The frame hook: Hook runs once, with the frame's handle, for the next property frame this thread makes,
// after its pages are in place and before it is shown (it may move the frame or add to it). FALSE when a
// hook is already installed. RemovePropertyFrameHook removes one that has not run; FALSE when none was.
using PropertyFrameHook = std::function<void(HWND hFrame)>;
COMRT_API BOOL SetPropertyFrameHook(PropertyFrameHook Hook) noexcept;
COMRT_API BOOL RemovePropertyFrameHook() noexcept;
// Turns the frame's Cancel into Close (a change that cannot be taken back has been made).
COMRT_API BOOL PropertyFrameCancelToClose(HWND hFrame) noexcept;

// What the library's property pages share: the object's properties read and written by name through its
// IDispatch (so that a page edits an object in another process through the bus proxy exactly as one in
// this process), the page base that fills controls without marking the page dirty and tracks the controls
// the user changed, and the wait cursor of Apply.
#pragma once

#include <QWidget>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "comrt/oleauto.h"
#include "corvane/ulpropertypage.h"

namespace pack1ui {

// A VARIANT that is cleared with its owner.
struct CVariant : VARIANT {
    CVariant() noexcept { VariantInit(this); }
    ~CVariant() { VariantClear(this); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
};

// Property pnName of pDispatch; failures (an unknown name, a refused read) are raised with their HRESULT.
void GetProperty(IDispatch* pDispatch, const char16_t* pszName, VARIANT* pValue);
std::u16string GetTextProperty(IDispatch* pDispatch, const char16_t* pszName);
LONG GetNumberProperty(IDispatch* pDispatch, const char16_t* pszName);
// Writes Value; the object converts it to the property's type and may refuse it (both raised).
void PutProperty(IDispatch* pDispatch, const char16_t* pszName, const VARIANT& Value);
void PutTextProperty(IDispatch* pDispatch, const char16_t* pszName, std::u16string_view sValue);
void PutNumberProperty(IDispatch* pDispatch, const char16_t* pszName, LONG nValue);

// The decimal text of a number, as the pages show it.
std::u16string DecimalText(LONG nValue);

// The wait cursor while an Apply runs.
class CWaitCursor {
public:
    CWaitCursor();
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

// Calls Handler(nId) whenever the text of control nId changes (an edit, a multi-line edit), or the
// selection of a drop-down list is chosen, or a check box is clicked; the handler runs inside the window
// guard of hPage.
void WatchControl(HWND hPage, int nId, std::function<void(int nId)> Handler);

// The page base of the library: T supplies GetDialogResource, GetTitleResourceId, LoadControls (controls
// filled from the objects) and its Apply. Loading runs with the loading flag set, so that filling the
// controls marks nothing; each watched control the user changes afterwards joins the changed set and marks
// the page dirty.
template <class T, class TPageBase = corvane::IUlPropertyPageT<T>>
class CPack1PropertyPageT : public corvane::COlePropertyPageT<T, TPageBase> {
public:
    // The result of the page's initialisation: S_OK, or the failure that disabled the page.
    HRESULT GetInitializationResult() const noexcept { return m_nInitializationResult; }
    bool IsChanged(int nId) const { return m_ChangeSet.count(nId) != 0; }

    void OnInitDialog() {
        T& Page = static_cast<T&>(*this);
        m_bLoading = true;
        try {
            Page.LoadControls();
        } catch (...) {
            m_bLoading = false;
            m_nInitializationResult = corvane::CatchException(UL_CONTEXT, corvane::TRACE_LEVEL_ERROR);
            // A page that could not load must not write what it did not read.
            for (QWidget* pChild : WidgetFromHandle(this->GetWindow())->template findChildren<QWidget*>())
                pChild->setEnabled(false);
            corvane::ShowWindowException(this->GetWindow(), m_nInitializationResult);
            return;
        }
        m_ChangeSet.clear();
        m_bLoading = false;
    }

protected:
    std::u16string ItemText(int nId) const { return GetWindowText(this->GetItem(nId)); }
    void SetItemText(int nId, std::u16string_view sText) {
        const std::u16string sCopy(sText);
        SetWindowTextW(this->GetItem(nId), sCopy.c_str());
    }
    void Watch(int nId) {
        WatchControl(this->GetWindow(), nId, [this](int nChangedId) { static_cast<T*>(this)->OnChange(nChangedId); });
    }
    // The pages that work on exactly one object raise nResult for any other number.
    void CheckSingleObject(HRESULT nResult) const {
        if (this->GetObjectCount() != 1) corvane::ThrowHResult(nResult);
    }
    // A control changed: unless loading, it joins the changed set and the page becomes dirty.
    void OnChange(int nId) {
        if (m_bLoading) return;
        m_ChangeSet.insert(nId);
        this->SetDirty(true);
    }
    // After a successful Apply.
    void SetApplied() {
        m_ChangeSet.clear();
        this->SetDirty(false);
    }

    bool m_bLoading = false;
    std::set<int> m_ChangeSet;
    HRESULT m_nInitializationResult = S_OK;
};

}  // namespace pack1ui

// The property frame: a modal dialog with one tab per page, and OK, Cancel and Apply.
#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <atomic>
#include <vector>

#include "UiInternal.h"
#include "comrt/comptr.h"
#include "comrt/propertypages.h"
#include "comrt/qtwindows.h"
#include "comrt/runtime.h"
#include "comrt/text.h"

namespace {

thread_local PropertyFrameHook* t_pHook = nullptr;

std::string ClassText(REFCLSID clsid) {
    OLECHAR szClass[40] = {};
    StringFromGUID2(clsid, szClass, 40);
    return comrt::ToUtf8(szClass);
}

std::string HexResult(HRESULT hr) {
    char szCode[16];
    std::snprintf(szCode, sizeof szCode, "0x%08x", static_cast<unsigned>(hr));
    return szCode;
}

class CPropertyFrame;

// The site of one page: a dirty page enables Apply.
class CPageSite final : public IPropertyPageSite {
public:
    CPageSite(CPropertyFrame* pFrame, LCID lcid) : m_pFrame(pFrame), m_lcid(lcid) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IPropertyPageSite>()) {
            *ppv = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override {
        const ULONG n = --m_nReferences;
        if (n == 0) delete this;
        return n;
    }
    HRESULT OnStatusChange(DWORD dwFlags) override;
    HRESULT GetLocaleID(LCID* pLocaleID) override {
        if (pLocaleID == nullptr) return E_POINTER;
        *pLocaleID = m_lcid;
        return S_OK;
    }
    HRESULT GetPageContainer(IUnknown** ppUnk) override {
        if (ppUnk != nullptr) *ppUnk = nullptr;
        return E_NOTIMPL;
    }
    HRESULT TranslateAccelerator(MSG* /*pMsg*/) override { return S_FALSE; }
    void Detach() noexcept { m_pFrame = nullptr; }

private:
    std::atomic<ULONG> m_nReferences{1};
    CPropertyFrame* m_pFrame;
    LCID m_lcid;
};

class CPropertyFrame final : public QDialog {
public:
    explicit CPropertyFrame(const OCPFIPARAMS& Params, QWidget* pOwner) : QDialog(pOwner), m_Params(Params) {
        setWindowTitle(comrtui::ToQString(Params.lpszCaption));
        auto* pLayout = new QVBoxLayout(this);
        m_pTabs = new QTabWidget(this);
        m_pTabs->setObjectName(QStringLiteral("12320"));
        pLayout->addWidget(m_pTabs);
        auto* pButtons = new QHBoxLayout;
        pButtons->addStretch(1);
        m_pOk = AddButton(pButtons, tr("OK"), IDOK);
        m_pCancel = AddButton(pButtons, tr("Cancel"), IDCANCEL);
        m_pApply = AddButton(pButtons, tr("&Apply"), IDC_PROPERTYFRAME_APPLY);
        m_pOk->setDefault(true);
        m_pApply->setEnabled(false);
        pLayout->addLayout(pButtons);
        connect(m_pOk, &QPushButton::clicked, this, [this] {
            if (ApplyDirtyPages()) accept();
        });
        connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);
        connect(m_pApply, &QPushButton::clicked, this, [this] { ApplyDirtyPages(); });
    }
    ~CPropertyFrame() override { ReleasePages(); }

    // The pages that could be made; the failure of the last one when none could.
    HRESULT AddPages() {
        HRESULT hrLast = E_INVALIDARG;
        for (ULONG i = 0; i < m_Params.cPages; ++i) {
            const HRESULT hr = AddPage(m_Params.lpPages[i]);
            if (FAILED(hr)) hrLast = hr;
        }
        return m_Pages.empty() ? hrLast : S_OK;
    }

    void OnPageStatusChange(DWORD dwFlags) {
        if ((dwFlags & PROPPAGESTATUS_DIRTY) != 0) {
            m_pApply->setEnabled(true);
        } else if ((dwFlags & PROPPAGESTATUS_CLEAN) != 0) {
            // A page taken back to what its objects hold: Apply stays only for the pages still changed.
            bool bDirty = false;
            for (const CPage& Page : m_Pages) bDirty = bDirty || Page.pPage->IsPageDirty() == S_OK;
            m_pApply->setEnabled(bDirty);
        }
    }
    void CancelToClose() {
        m_pCancel->setText(tr("Close"));
        m_pOk->setEnabled(true);
    }

private:
    struct CPage {
        CComPtr<IPropertyPage> pPage;
        CPageSite* pSite;
    };

    QPushButton* AddButton(QHBoxLayout* pLayout, const QString& sText, int nId) {
        auto* pButton = new QPushButton(sText, this);
        pButton->setObjectName(QString::number(nId));
        pButton->setAutoDefault(false);
        pLayout->addWidget(pButton);
        return pButton;
    }

    void ReportFailure(const std::string& sTrace, const std::u16string& sText, HRESULT hr) {
        comrtui::WriteTrace(sTrace + " " + HexResult(hr));
        const std::u16string sMessage = sText + u"\n\n" + FormatSystemMessage(hr) + u".";
        MessageBoxW(HandleFromWidget(isVisible() ? static_cast<QWidget*>(this) : parentWidget()), sMessage.c_str(),
                    u"Error", MB_OK | MB_ICONERROR);
    }

    HRESULT AddPage(REFCLSID clsid) {
        const std::string sClass = ClassText(clsid);
        CComPtr<IPropertyPage> pPage;
        HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IidOf<IPropertyPage>(),
                                      reinterpret_cast<void**>(&pPage));
        if (FAILED(hr) || pPage == nullptr) {
            if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
            ReportFailure("The property page " + sClass + " could not be created:",
                          u"The property page " + comrt::ToUtf16(sClass) + u" could not be created.", hr);
            return hr;
        }
        auto* pSite = new CPageSite(this, m_Params.lcid);
        PROPPAGEINFO Info{};
        Info.cb = sizeof Info;
        auto* pContainer = new QWidget;
        hr = pPage->SetPageSite(pSite);
        if (SUCCEEDED(hr)) hr = pPage->SetObjects(m_Params.cObjects, m_Params.lplpUnk);
        if (SUCCEEDED(hr)) hr = pPage->GetPageInfo(&Info);
        QString sTitle = comrtui::ToQString(Info.pszTitle);
        CoTaskMemFree(Info.pszTitle);
        CoTaskMemFree(Info.pszDocString);
        CoTaskMemFree(Info.pszHelpFile);
        if (SUCCEEDED(hr)) {
            pContainer->setMinimumSize(Info.size.cx, Info.size.cy);
            const RECT Rect{0, 0, Info.size.cx, Info.size.cy};
            hr = pPage->Activate(HandleFromWidget(pContainer), &Rect, TRUE);
        }
        if (FAILED(hr)) {
            pPage->Deactivate();
            pPage->SetObjects(0, nullptr);
            pPage->SetPageSite(nullptr);
            pSite->Detach();
            pSite->Release();
            delete pContainer;
            ReportFailure("The property page " + sClass + " could not be shown:",
                          u"The property page " + comrt::ToUtf16(sClass) + u" could not be shown.", hr);
            return hr;
        }
        pPage->Show(SW_SHOW);
        m_pTabs->addTab(pContainer, sTitle);
        m_Pages.push_back(CPage{pPage, pSite});
        return S_OK;
    }

    // Applies each dirty page in tab order and stops at the first failure, which is shown.
    bool ApplyDirtyPages() {
        for (size_t i = 0; i < m_Pages.size(); ++i) {
            IPropertyPage* pPage = m_Pages[i].pPage;
            if (pPage->IsPageDirty() != S_OK) continue;
            const HRESULT hr = pPage->Apply();
            if (FAILED(hr)) {
                m_pTabs->setCurrentIndex(static_cast<int>(i));
                ReportFailure("Apply of the property page \"" + m_pTabs->tabText(static_cast<int>(i)).toStdString() +
                                  "\" failed:",
                              u"The changes on the page \"" +
                                  comrtui::FromQString(m_pTabs->tabText(static_cast<int>(i))) +
                                  u"\" could not be applied.",
                              hr);
                return false;
            }
        }
        bool bDirty = false;
        for (const CPage& Page : m_Pages) bDirty = bDirty || Page.pPage->IsPageDirty() == S_OK;
        m_pApply->setEnabled(bDirty);
        return true;
    }

    void ReleasePages() noexcept {
        for (CPage& Page : m_Pages) {
            Page.pPage->Deactivate();
            Page.pPage->SetObjects(0, nullptr);
            Page.pPage->SetPageSite(nullptr);
            Page.pSite->Detach();
            Page.pSite->Release();
        }
        m_Pages.clear();
    }

    OCPFIPARAMS m_Params;
    QTabWidget* m_pTabs;
    QPushButton* m_pOk;
    QPushButton* m_pCancel;
    QPushButton* m_pApply;
    std::vector<CPage> m_Pages;
};

HRESULT CPageSite::OnStatusChange(DWORD dwFlags) {
    if (m_pFrame == nullptr) return E_UNEXPECTED;
    m_pFrame->OnPageStatusChange(dwFlags);
    return S_OK;
}

}  // namespace

HRESULT OleCreatePropertyFrameIndirect(OCPFIPARAMS* lpParams) noexcept {
    if (lpParams == nullptr || lpParams->cbStructSize != sizeof(OCPFIPARAMS) ||
        (lpParams->cObjects > 0 && lpParams->lplpUnk == nullptr) || lpParams->cPages == 0 ||
        lpParams->lpPages == nullptr)
        return E_INVALIDARG;
    if (QApplication::instance() == nullptr) return E_UNEXPECTED;
    try {
        QWidget* pOwner = WidgetFromHandle(lpParams->hWndOwner);
        CPropertyFrame Frame(*lpParams, pOwner);
        const HRESULT hr = Frame.AddPages();
        if (FAILED(hr)) return hr;
        Frame.adjustSize();
        const QPoint Origin = pOwner != nullptr ? pOwner->window()->frameGeometry().topLeft() : QPoint(0, 0);
        Frame.move(Origin + QPoint(lpParams->x, lpParams->y));
        if (t_pHook != nullptr) {
            // One frame per hook: it is removed before it runs, so that a frame it opens does not see it.
            PropertyFrameHook* pHook = t_pHook;
            t_pHook = nullptr;
            (*pHook)(HandleFromWidget(&Frame));
            delete pHook;
        }
        Frame.exec();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

BOOL SetPropertyFrameHook(PropertyFrameHook Hook) noexcept {
    if (t_pHook != nullptr || !Hook) return FALSE;
    try {
        t_pHook = new PropertyFrameHook(std::move(Hook));
    } catch (...) {
        return FALSE;
    }
    return TRUE;
}

BOOL RemovePropertyFrameHook() noexcept {
    if (t_pHook == nullptr) return FALSE;
    delete t_pHook;
    t_pHook = nullptr;
    return TRUE;
}

BOOL PropertyFrameCancelToClose(HWND hFrame) noexcept {
    auto* pFrame = dynamic_cast<CPropertyFrame*>(WidgetFromHandle(hFrame));
    if (pFrame == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    pFrame->CancelToClose();
    return TRUE;
}

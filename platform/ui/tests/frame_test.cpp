// The window-system stand-ins on Qt: the property frame, message boxes, dialog resources, the shell's open
// operation and the thread's message queue inside Qt's loop.
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "QtTestSupport.h"
#include "comrt/comptr.h"
#include "comrt/propertypages.h"
#include "comrt/qtwindows.h"
#include "comrt/runtime.h"

namespace comrtui_test {
inline std::u16string ToU16(const QString& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<size_t>(s.size()));
}
}  // namespace comrtui_test

namespace {

using corvanetest::Control;
using corvanetest::OnNextModal;

constexpr CLSID CLSID_GoodPage = MakeGuid("5E1C0A10-7A0B-4C55-9E51-6B1D2A000001");
constexpr CLSID CLSID_FailingPage = MakeGuid("5E1C0A10-7A0B-4C55-9E51-6B1D2A000002");
constexpr CLSID CLSID_MissingPage = MakeGuid("5E1C0A10-7A0B-4C55-9E51-6B1D2A000003");

std::vector<std::string> g_Trace;
void RecordTrace(const char* pszLine) {
    g_Trace.emplace_back(pszLine);
}

// A page made by hand against the interface: dirty from its activation, Apply answers m_hrApply.
class CRawPage final : public IPropertyPage {
public:
    explicit CRawPage(HRESULT hrApply, const char16_t* pszTitle) : m_hrApply(hrApply), m_pszTitle(pszTitle) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IidOf<IUnknown>() || riid == IidOf<IPropertyPage>()) {
            *ppv = static_cast<IPropertyPage*>(this);
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
    HRESULT SetPageSite(IPropertyPageSite* pSite) override {
        m_pSite = pSite;
        return S_OK;
    }
    HRESULT Activate(HWND hParent, LPCRECT pRect, BOOL) override {
        static const DialogControl kControls[] = {{1001, DialogControlKind::Edit, u"", 7, 7, 100, 14}};
        m_hWnd = CreateDialogFromResource(DialogResource{120, 40, nullptr, kControls}, hParent);
        if (m_hWnd == nullptr) return E_FAIL;
        MoveWindow(m_hWnd, pRect->left, pRect->top, pRect->right - pRect->left, pRect->bottom - pRect->top, TRUE);
        m_bDirty = true;
        return m_pSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
    }
    HRESULT Deactivate() override {
        if (m_hWnd != nullptr) DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
        return S_OK;
    }
    HRESULT GetPageInfo(PROPPAGEINFO* pInfo) override {
        const size_t nBytes = (std::char_traits<char16_t>::length(m_pszTitle) + 1) * sizeof(char16_t);
        pInfo->pszTitle = static_cast<LPOLESTR>(CoTaskMemAlloc(nBytes));
        std::memcpy(pInfo->pszTitle, m_pszTitle, nBytes);
        pInfo->size = GetDialogResourceSize(DialogResource{120, 40, nullptr, {}});
        return S_OK;
    }
    HRESULT SetObjects(ULONG cObjects, IUnknown**) override {
        m_nObjects = cObjects;
        return S_OK;
    }
    HRESULT Show(UINT nCmdShow) override { return ShowWindow(m_hWnd, static_cast<int>(nCmdShow)), S_OK; }
    HRESULT Move(LPCRECT) override { return S_OK; }
    HRESULT IsPageDirty() override { return m_bDirty ? S_OK : S_FALSE; }
    HRESULT Apply() override {
        ++g_nApplies;
        if (SUCCEEDED(m_hrApply)) m_bDirty = false;
        return m_hrApply;
    }
    HRESULT Help(LPCOLESTR) override { return E_NOTIMPL; }
    HRESULT TranslateAccelerator(MSG*) override { return S_FALSE; }

    static inline int g_nApplies = 0;

private:
    std::atomic<ULONG> m_nReferences{1};
    HRESULT m_hrApply;
    const char16_t* m_pszTitle;
    CComPtr<IPropertyPageSite> m_pSite;
    HWND m_hWnd = nullptr;
    bool m_bDirty = false;
    ULONG m_nObjects = 0;
};

class CRawPageFactory final : public IClassFactory {
public:
    CRawPageFactory(HRESULT hrApply, const char16_t* pszTitle) : m_hrApply(hrApply), m_pszTitle(pszTitle) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IidOf<IUnknown>() || riid == IidOf<IClassFactory>()) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
        auto* pPage = new CRawPage(m_hrApply, m_pszTitle);
        const HRESULT hr = pPage->QueryInterface(riid, ppv);
        pPage->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    HRESULT m_hrApply;
    const char16_t* m_pszTitle;
};

class PropertyFrame : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        ASSERT_EQ(CoRegisterClassObject(CLSID_GoodPage, &m_Good, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_nGood),
                  S_OK);
        ASSERT_EQ(
            CoRegisterClassObject(CLSID_FailingPage, &m_Failing, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_nFailing),
            S_OK);
        SetUserInterfaceTraceWriter(RecordTrace);
        g_Trace.clear();
        CRawPage::g_nApplies = 0;
    }
    void TearDown() override {
        SetUserInterfaceTraceWriter(nullptr);
        CoRevokeClassObject(m_nGood);
        CoRevokeClassObject(m_nFailing);
        CoUninitialize();
    }
    HRESULT Open(std::vector<CLSID> Pages) {
        OCPFIPARAMS Params{
            sizeof(OCPFIPARAMS), nullptr, 0, 0, u"Settings", 0, nullptr, static_cast<ULONG>(Pages.size()), Pages.data(),
            LOCALE_USER_DEFAULT, 0};
        return OleCreatePropertyFrameIndirect(&Params);
    }

    CRawPageFactory m_Good{S_OK, u"General"};
    CRawPageFactory m_Failing{E_ACCESSDENIED, u"Failing"};
    DWORD m_nGood = 0;
    DWORD m_nFailing = 0;
};

TEST_F(PropertyFrame, APageClassThatIsNotRegisteredIsReportedAndLeftOut) {
    QString sError;
    int nTabs = -1;
    OnNextModal([&](QWidget* pBox) {
        sError = static_cast<QMessageBox*>(pBox)->text();
        QTest::mouseClick(Control<QPushButton>(pBox, IDOK), Qt::LeftButton);
        OnNextModal([&](QWidget* pFrame) {
            nTabs = Control<QTabWidget>(pFrame, 12320)->count();
            corvanetest::SavePicture(pFrame, QStringLiteral("property-frame"));
            QTest::mouseClick(Control<QPushButton>(pFrame, IDOK), Qt::LeftButton);
        });
    });
    EXPECT_EQ(Open({CLSID_MissingPage, CLSID_GoodPage}), S_OK);
    EXPECT_TRUE(sError.contains(QStringLiteral("{5E1C0A10-7A0B-4C55-9E51-6B1D2A000003}"))) << sError.toStdString();
    EXPECT_EQ(nTabs, 1);
    ASSERT_EQ(g_Trace.size(), 1u);
    EXPECT_NE(g_Trace[0].find("0x80040154"), std::string::npos) << g_Trace[0];
    EXPECT_EQ(CRawPage::g_nApplies, 1);  // OK applied the dirty page
}

// A class object that cannot make its objects.
class CBrokenFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        *ppv =
            riid == IidOf<IUnknown>() || riid == IidOf<IClassFactory>() ? static_cast<IClassFactory*>(this) : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown*, REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_OUTOFMEMORY;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

TEST_F(PropertyFrame, WithoutAnyPageTheFrameAnswersTheFailureAfterItsErrorBox) {
    constexpr CLSID CLSID_BrokenPage = MakeGuid("5E1C0A10-7A0B-4C55-9E51-6B1D2A000004");
    CBrokenFactory Broken;
    DWORD nBroken = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_BrokenPage, &Broken, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &nBroken),
              S_OK);
    struct {
        CLSID Page;
        HRESULT hrExpected;
    } const kCases[] = {{CLSID_MissingPage, REGDB_E_CLASSNOTREG}, {CLSID_BrokenPage, E_OUTOFMEMORY}};
    for (const auto& Case : kCases) {
        g_Trace.clear();
        int nBoxes = 0;
        OnNextModal([&](QWidget* pBox) {
            ++nBoxes;
            QTest::mouseClick(Control<QPushButton>(pBox, IDOK), Qt::LeftButton);
        });
        EXPECT_EQ(Open({Case.Page}), Case.hrExpected);
        EXPECT_EQ(nBoxes, 1);
        EXPECT_EQ(g_Trace.size(), 1u);
    }
    CoRevokeClassObject(nBroken);
}

TEST_F(PropertyFrame, AFailingApplyKeepsTheFrameOpenWithTheErrorBox) {
    bool bStillOpen = false;
    QString sError;
    OnNextModal([&](QWidget* pFrame) {
        QPushButton* pApply = Control<QPushButton>(pFrame, IDC_PROPERTYFRAME_APPLY);
        EXPECT_TRUE(pApply->isEnabled());  // the pages told their site they are dirty
        OnNextModal(
            [&, pFrame](QWidget* pBox) {
                sError = static_cast<QMessageBox*>(pBox)->text();
                QTest::mouseClick(Control<QPushButton>(pBox, IDOK), Qt::LeftButton);
                QTimer::singleShot(0, [&, pFrame] {
                    bStillOpen = pFrame->isVisible();
                    QTest::mouseClick(Control<QPushButton>(pFrame, IDCANCEL), Qt::LeftButton);
                });
            },
            pFrame);
        QTest::mouseClick(Control<QPushButton>(pFrame, IDOK), Qt::LeftButton);
    });
    EXPECT_EQ(Open({CLSID_GoodPage, CLSID_FailingPage}), S_OK);
    EXPECT_TRUE(bStillOpen);
    EXPECT_TRUE(sError.contains(QStringLiteral("Failing"))) << sError.toStdString();
    EXPECT_EQ(CRawPage::g_nApplies, 2);  // the good page, then the failing one; Cancel applies nothing
}

TEST_F(PropertyFrame, TheHookSeesTheFrameOnceBeforeItIsShown) {
    int nCalls = 0;
    bool bVisible = true;
    ASSERT_TRUE(SetPropertyFrameHook([&](HWND hFrame) {
        ++nCalls;
        bVisible = IsWindowVisible(hFrame) != FALSE;
        EXPECT_TRUE(PropertyFrameCancelToClose(hFrame));
    }));
    EXPECT_FALSE(SetPropertyFrameHook([](HWND) {}));
    QString sCancel;
    OnNextModal([&](QWidget* pFrame) {
        sCancel = Control<QPushButton>(pFrame, IDCANCEL)->text();
        QTest::mouseClick(Control<QPushButton>(pFrame, IDCANCEL), Qt::LeftButton);
    });
    EXPECT_EQ(Open({CLSID_GoodPage}), S_OK);
    EXPECT_EQ(nCalls, 1);
    EXPECT_FALSE(bVisible);
    EXPECT_EQ(sCancel, QStringLiteral("Close"));
    EXPECT_FALSE(RemovePropertyFrameHook());
    EXPECT_EQ(CRawPage::g_nApplies, 0);
}

TEST(PropertyFrameRecord, BadRecordsAreRefused) {
    CLSID Page = CLSID_GoodPage;
    OCPFIPARAMS Params{sizeof(OCPFIPARAMS) - 4, nullptr, 0, 0, nullptr, 0, nullptr, 1, &Page, 0, 0};
    EXPECT_EQ(OleCreatePropertyFrameIndirect(&Params), E_INVALIDARG);
    Params.cbStructSize = sizeof(OCPFIPARAMS);
    Params.cObjects = 1;  // and no objects
    EXPECT_EQ(OleCreatePropertyFrameIndirect(&Params), E_INVALIDARG);
    Params.cObjects = 0;
    Params.cPages = 0;
    EXPECT_EQ(OleCreatePropertyFrameIndirect(&Params), E_INVALIDARG);
    EXPECT_EQ(OleCreatePropertyFrameIndirect(nullptr), E_INVALIDARG);
}

TEST(MessageBox, ButtonsAnswerTheirIdentifiers) {
    struct {
        UINT uType;
        int nClick;
    } const kCases[] = {
        {MB_OK, IDOK}, {MB_OKCANCEL, IDCANCEL}, {MB_YESNO | MB_ICONEXCLAMATION, IDNO}, {MB_YESNOCANCEL, IDYES}};
    for (const auto& Case : kCases) {
        OnNextModal([&](QWidget* pBox) { QTest::mouseClick(Control<QPushButton>(pBox, Case.nClick), Qt::LeftButton); });
        EXPECT_EQ(MessageBoxW(nullptr, u"Text", u"Caption", Case.uType), Case.nClick) << Case.uType;
    }
    HWND hSeen = nullptr;
    EXPECT_EQ(MessageBoxExW(nullptr, u"Text", u"Caption", MB_OK,
                            [&](HWND hBox) {
                                hSeen = hBox;
                                QTimer::singleShot(0, [hBox] { EndMessageBox(hBox, 0); });
                            }),
              0);
    EXPECT_NE(hSeen, nullptr);
    EXPECT_FALSE(IsWindow(hSeen));  // the box is gone with its call
}

TEST(DialogResource, ControlsAreFoundByTheirIdentifiers) {
    static const DialogControl kControls[] = {
        {1000, DialogControlKind::Static, u"&Name:", 7, 9, 40, 8},
        {1001, DialogControlKind::Edit, u"first", 50, 7, 100, 14},
        {1002, DialogControlKind::CheckBox, u"&Enabled", 7, 25, 100, 10},
    };
    const HWND hDialog = CreateDialogFromResource(DialogResource{160, 40, u"Dialog", kControls}, nullptr);
    ASSERT_NE(hDialog, nullptr);
    const HWND hEdit = GetDlgItem(hDialog, 1001);
    EXPECT_EQ(GetDlgCtrlID(hEdit), 1001);
    EXPECT_EQ(GetWindowText(hEdit), u"first");
    EXPECT_EQ(GetDlgItem(hDialog, 1003), nullptr);
    EXPECT_EQ(GetWindowText(hDialog), u"Dialog");
    // A dialog unit is a quarter of the average character width: the edit starts right of the label.
    RECT Label{}, Edit{};
    ASSERT_TRUE(GetWindowRect(GetDlgItem(hDialog, 1000), &Label));
    ASSERT_TRUE(GetWindowRect(hEdit, &Edit));
    EXPECT_GT(Edit.left, Label.left + 40);
    // Tab moves the focus within the dialog.
    ShowWindow(hDialog, SW_SHOW);
    SetFocus(hEdit);
    const MSG Tab{nullptr, WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
    EXPECT_TRUE(IsDialogMessageW(hDialog, &Tab));
    EXPECT_EQ(WidgetFromHandle(hDialog)->focusWidget(), WidgetFromHandle(GetDlgItem(hDialog, 1002)));
    const MSG Char{nullptr, WM_CHAR, 'a', 0, 0, {0, 0}};
    EXPECT_FALSE(IsDialogMessageW(hDialog, &Char));
    EXPECT_TRUE(DestroyWindow(hDialog));
    EXPECT_FALSE(IsWindow(hDialog));
    EXPECT_FALSE(IsWindow(hEdit));
    EXPECT_EQ(CreateDialogFromResource(DialogResource{10, 10, nullptr, {}}, hDialog), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(ShellExecute, LocationsGoToTheOpenerAndFailuresAreAnswered) {
    setenv("CORVANE_OPEN_COMMAND", "true", 1);
    EXPECT_GT(reinterpret_cast<INT_PTR>(
                  ShellExecuteW(nullptr, u"open", u"https://example.invalid/", nullptr, nullptr, SW_SHOWNORMAL)),
              32);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, nullptr, u"", nullptr, nullptr, SW_SHOWNORMAL)),
              SE_ERR_FNF);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, u"edit", u"a", nullptr, nullptr, SW_SHOWNORMAL)),
              SE_ERR_NOASSOC);
    setenv("CORVANE_OPEN_COMMAND", "/nonexistent/opener", 1);
    std::vector<std::string> Trace;
    g_Trace.clear();
    SetUserInterfaceTraceWriter(RecordTrace);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, u"open", u"mailto:a@b", nullptr, nullptr, SW_SHOW)),
              SE_ERR_ACCESSDENIED);
    SetUserInterfaceTraceWriter(nullptr);
    EXPECT_EQ(g_Trace.size(), 1u);
    unsetenv("CORVANE_OPEN_COMMAND");
}

TEST(FolderBrowser, AnswersTheChosenFolderOrNothingWhenCancelled) {
    QTemporaryDir Folder;
    ASSERT_TRUE(Folder.isValid());
    ASSERT_TRUE(QDir(Folder.path()).mkdir(QStringLiteral("Reports")));
    const QString sChosen = Folder.path() + QStringLiteral("/Reports");
    BROWSEINFOW Info{nullptr, u"Choose the folder", comrtui_test::ToU16(Folder.path())};
    QString sTitle;
    OnNextModal([&](QWidget* pDialog) {
        auto* pBrowser = qobject_cast<QFileDialog*>(pDialog);
        ASSERT_NE(pBrowser, nullptr);
        sTitle = pBrowser->windowTitle();
        pBrowser->setDirectory(sChosen);
        static_cast<QDialog*>(pBrowser)->accept();  // as the Choose button does
    });
    EXPECT_TRUE(BrowseForFolderW(&Info));
    EXPECT_EQ(sTitle, QStringLiteral("Choose the folder"));
    EXPECT_EQ(Info.sPath, comrtui_test::ToU16(sChosen));
    OnNextModal([](QWidget* pDialog) { static_cast<QDialog*>(pDialog)->reject(); });
    EXPECT_FALSE(BrowseForFolderW(&Info));
    EXPECT_EQ(Info.sPath, comrtui_test::ToU16(sChosen));  // kept when cancelled
    EXPECT_FALSE(BrowseForFolderW(nullptr));
}

TEST(MessageLoop, PostedMessagesArriveInOrderAlsoInsideAModalBoxAndQuitEndsTheLoop) {
    std::vector<UINT> Received;
    const DWORD nThread = GetCurrentThreadId();
    MSG Message{};
    PeekMessageW(&Message, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(PostThreadMessageW(nThread, WM_USER + 1, 0, 0));
    const int nExit = RunMessageLoop([&](const MSG& Msg) {
        Received.push_back(Msg.message);
        if (Msg.message == WM_USER + 1) {
            // A modal box runs its own loop: the next messages still arrive, then the quit ends both loops.
            PostThreadMessageW(nThread, WM_USER + 2, 0, 0);
            PostThreadMessageW(nThread, WM_USER + 3, 0, 0);
            MessageBoxExW(nullptr, u"Waiting", u"Loop", MB_OK,
                          [&](HWND hBox) { QTimer::singleShot(200, [hBox] { EndMessageBox(hBox, IDOK); }); });
            Received.push_back(0);
        } else if (Msg.message == WM_USER + 3) {
            PostQuitMessage(7);
        }
    });
    EXPECT_EQ(nExit, 7);
    EXPECT_EQ(Received, (std::vector<UINT>{WM_USER + 1, WM_USER + 2, WM_USER + 3, 0}));
}

}  // namespace

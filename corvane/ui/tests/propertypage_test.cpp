// The page contract, the frame on several objects, the combo and list wrappers, the control map, the window
// guard and the message boxes, driven headless by control identifier.
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTreeWidget>

#include "QtTestSupport.h"
#include "comrt/text.h"
#include "corvane/ulcontrols.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"
#include "corvane/ulpropertypage.h"
#include "tracelog.h"

namespace {

using corvane::CUlComboBoxT;
using corvane::CWindowWithControlsT;
using corvanetest::Control;
using corvanetest::OnNextModal;

constexpr CLSID CLSID_GeneralPage = MakeGuid("7A4E2C01-1B5D-4E8F-A0C2-3D9E1F000001");
constexpr CLSID CLSID_SharedPage = MakeGuid("7A4E2C01-1B5D-4E8F-A0C2-3D9E1F000002");
constexpr CLSID CLSID_OtherPage = MakeGuid("7A4E2C01-1B5D-4E8F-A0C2-3D9E1F000003");
constexpr CLSID CLSID_FailingPage = MakeGuid("7A4E2C01-1B5D-4E8F-A0C2-3D9E1F000004");

constexpr int IDC_NAME = 1001;
constexpr int IDC_MODE = 2003;
constexpr int IDC_FAIL = 1002;
const corvane::StringResource kStrings[] = {
    {5001, u"General"}, {5002, u"Shared"}, {5003, u"Other"}, {5004, u"Failing"}, {IDC_MODE, u"Manual\nAutomatic\n"},
};
const corvane::CStringTableRegistration g_Strings(kStrings);

const DialogControl kPageControls[] = {
    {1000, DialogControlKind::Static, u"&Name:", 7, 9, 50, 8},
    {IDC_NAME, DialogControlKind::Edit, u"", 60, 7, 150, 14},
    {1004, DialogControlKind::Static, u"&Start:", 7, 29, 50, 8},
    {IDC_MODE, DialogControlKind::ComboBox, nullptr, 60, 27, 150, 60},
    {IDC_FAIL, DialogControlKind::Button, u"&Fail", 60, 47, 50, 14},
};
const DialogResource kPageResource{220, 70, nullptr, kPageControls};

int g_nApplies = 0;

// A page of the framework: typing into the name makes it dirty; the button raises a failure in its handler.
template <UINT nTitle, HRESULT hrApply = S_OK>
class CTestPageT : public corvane::COlePropertyPageT<CTestPageT<nTitle, hrApply>>,
                   public CWindowWithControlsT<CTestPageT<nTitle, hrApply>> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource() { return kPageResource; }
    static UINT GetTitleResourceId() { return nTitle; }

    BEGIN_UL_CONTROL_MAP(CTestPageT)
    UL_CONTROL_ENTRY(IDC_NAME, m_hName)
    UL_CONTROL_ENTRY_INITIALIZE(IDC_MODE, m_Mode, InitializeMode)
    END_UL_CONTROL_MAP()

    void InitializeMode(CUlComboBoxT<LONG>& Combo, HWND hControl) {
        Combo.Attach(hControl);
        Combo.Initialize();
        Combo.SetCurSel(Combo.FindItemData(1));
    }
    void OnInitDialog() {
        this->InitializeControls(this->GetWindow());
        const HWND hWnd = this->GetWindow();
        QObject::connect(qobject_cast<QLineEdit*>(WidgetFromHandle(m_hName)), &QLineEdit::textEdited,
                         corvane::GuardedHandler(hWnd, [this] { this->SetDirty(true); }));
        QObject::connect(qobject_cast<QPushButton*>(WidgetFromHandle(this->GetItem(IDC_FAIL))), &QPushButton::clicked,
                         corvane::GuardedHandler(hWnd, [] { corvane::ThrowHResult(E_ACCESSDENIED); }));
    }
    HRESULT Apply() override {
        ++g_nApplies;
        if (FAILED(hrApply)) return hrApply;
        this->SetDirty(false);
        return S_OK;
    }

    HWND m_hName = nullptr;
    CUlComboBoxT<LONG> m_Mode;
};
using CGeneralPage = CTestPageT<5001>;

// A site that records what pages tell it.
class CRecordingSite : public IPropertyPageSite {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPageSite>>;
    HRESULT OnStatusChange(DWORD dwFlags) override {
        m_Changes.push_back(dwFlags);
        return S_OK;
    }
    HRESULT GetLocaleID(LCID* pLocaleID) override { return *pLocaleID = LOCALE_USER_DEFAULT, S_OK; }
    HRESULT GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
    HRESULT TranslateAccelerator(MSG*) override { return S_FALSE; }
    std::vector<DWORD> m_Changes;
};

// An object that lists the pages it was made with; Specify false: no ISpecifyPropertyPages at all.
class CPagedObject : public ISpecifyPropertyPages {
public:
    using Interfaces = InterfaceList<InterfaceEntry<ISpecifyPropertyPages>>;
    HRESULT GetPages(CAUUID* pPages) override {
        pPages->cElems = static_cast<ULONG>(m_Pages.size());
        pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID) * m_Pages.size()));
        std::copy(m_Pages.begin(), m_Pages.end(), pPages->pElems);
        return S_OK;
    }
    std::vector<CLSID> m_Pages;
};
// An object that lists its pages through its property map, as the system's objects do.
class CMappedObject : public IUlSpecifyPropertyPagesT<CMappedObject> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<ISpecifyPropertyPages>>;
    BEGIN_UL_PROPERTY_MAP(CMappedObject)
    UL_PROPERTY_PAGE(CLSID_SharedPage)
    UL_PROPERTY_PAGE(CLSID_GeneralPage)
    UL_PROPERTY_PAGE(CLSID_SharedPage)
    END_UL_PROPERTY_MAP()
};

class CPlainObject : public IPersist {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPersist>>;
    HRESULT GetClassID(CLSID* pClassID) override { return *pClassID = CLSID_NULL, S_OK; }
};

template <class T>
CComPtr<T> Make(T** ppRaw = nullptr) {
    CComObjectT<T>* p = nullptr;
    EXPECT_EQ(CComObjectT<T>::CreateInstance(&p), S_OK);
    CComPtr<T> pKeep(p);
    p->Release();
    if (ppRaw != nullptr) *ppRaw = p;
    return pKeep;
}

CComPtr<IUnknown> PagedObject(std::vector<CLSID> Pages) {
    CPagedObject* p = nullptr;
    CComPtr<CPagedObject> pObject = Make(&p);
    p->m_Pages = std::move(Pages);
    return CComPtr<IUnknown>(static_cast<ISpecifyPropertyPages*>(p));
}

class PageFramework : public tracelog::CTraceTest {
protected:
    void SetUp() override {
        CTraceTest::SetUp();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        Register<CGeneralPage>(CLSID_GeneralPage);
        Register<CTestPageT<5002>>(CLSID_SharedPage);
        Register<CTestPageT<5003>>(CLSID_OtherPage);
        Register<CTestPageT<5004, E_ACCESSDENIED>>(CLSID_FailingPage);
        g_nApplies = 0;
    }
    void TearDown() override {
        for (DWORD nCookie : m_Cookies) CoRevokeClassObject(nCookie);
        CoUninitialize();
        CTraceTest::TearDown();
    }
    template <class T>
    void Register(REFCLSID clsid) {
        CComPtr<IUnknown> pFactory;
        ASSERT_EQ(CClassFactory::Create(&CreateObjectT<T>, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory)),
                  S_OK);
        DWORD nCookie = 0;
        ASSERT_EQ(CoRegisterClassObject(clsid, pFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &nCookie), S_OK);
        m_Cookies.push_back(nCookie);
    }
    bool LogContains(const std::string& sText) const { return ReadLog().find(sText) != std::string::npos; }

    std::vector<DWORD> m_Cookies;
};

TEST_F(PageFramework, SetPageSiteRefusesASecondSiteButTakesTheSameOneAgain) {
    CComPtr<CGeneralPage> pPage = Make<CGeneralPage>();
    CComPtr<CRecordingSite> pSite = Make<CRecordingSite>(), pOther = Make<CRecordingSite>();
    EXPECT_EQ(pPage->SetPageSite(pSite), S_OK);
    EXPECT_EQ(pPage->SetPageSite(pOther), E_INVALIDARG);
    EXPECT_EQ(pPage->SetPageSite(pSite), S_OK);
    EXPECT_EQ(pPage->GetPageSite(), pSite.p);
    EXPECT_EQ(pPage->SetPageSite(nullptr), S_OK);
    EXPECT_EQ(pPage->SetPageSite(pOther), S_OK);
    EXPECT_EQ(pPage->GetPageSite(), pOther.p);
}

TEST_F(PageFramework, ShowAndMoveBeforeActivateAnswerTheirOwnCodes) {
    CComPtr<CGeneralPage> pPage = Make<CGeneralPage>();
    const RECT Rect{0, 0, 100, 50};
    EXPECT_EQ(pPage->Show(SW_SHOW), static_cast<HRESULT>(0xA76505D5));
    EXPECT_EQ(pPage->Move(&Rect), static_cast<HRESULT>(0xA76505E7));
    EXPECT_EQ(pPage->Move(nullptr), E_INVALIDARG);
    EXPECT_EQ(pPage->Activate(nullptr, nullptr, TRUE), E_INVALIDARG);
    EXPECT_TRUE(LogContains("An exception 0xa76505d5"));
    // After Activate both work, and the page size is the rectangle's.
    QWidget Parent;
    const RECT Placed{3, 4, 303, 154};
    ASSERT_EQ(pPage->Activate(HandleFromWidget(&Parent), &Placed, TRUE), S_OK);
    EXPECT_EQ(pPage->Show(SW_SHOW), S_OK);
    EXPECT_EQ(pPage->GetPageSize().cx, 300);
    EXPECT_EQ(pPage->GetPageSize().cy, 150);
    const RECT Moved{10, 20, 110, 70};
    EXPECT_EQ(pPage->Move(&Moved), S_OK);
    EXPECT_EQ(WidgetFromHandle(pPage->GetWindow())->geometry(), QRect(10, 20, 100, 50));
    EXPECT_EQ(pPage->Deactivate(), S_OK);
    EXPECT_EQ(pPage->Show(SW_SHOW), static_cast<HRESULT>(0xA76505D5));
}

TEST_F(PageFramework, GetPageInfoGivesTheTitleAndTheSizeOfTheDialog) {
    CComPtr<CGeneralPage> pPage = Make<CGeneralPage>();
    EXPECT_EQ(pPage->GetPageInfo(nullptr), E_INVALIDARG);
    PROPPAGEINFO Info{};
    ASSERT_EQ(pPage->GetPageInfo(&Info), S_OK);
    EXPECT_EQ(Info.cb, sizeof(PROPPAGEINFO));
    EXPECT_EQ(std::u16string(Info.pszTitle), u"General");
    const SIZE Expected = GetDialogResourceSize(kPageResource);
    EXPECT_EQ(Info.size.cx, Expected.cx);
    EXPECT_EQ(Info.size.cy, Expected.cy);
    EXPECT_GT(Info.size.cx, 220);  // dialog units are not pixels
    EXPECT_EQ(Info.pszDocString, nullptr);
    EXPECT_EQ(Info.pszHelpFile, nullptr);
    CoTaskMemFree(Info.pszTitle);
}

TEST_F(PageFramework, SetDirtyTellsTheSiteOnlyOfChanges) {
    CComPtr<CGeneralPage> pPage = Make<CGeneralPage>();
    CComPtr<CRecordingSite> pSite = Make<CRecordingSite>();
    ASSERT_EQ(pPage->SetPageSite(pSite), S_OK);
    EXPECT_EQ(pPage->IsPageDirty(), S_FALSE);
    pPage->SetDirty(true);
    pPage->SetDirty(true);
    EXPECT_EQ(pPage->IsPageDirty(), S_OK);
    pPage->SetDirty(false);
    EXPECT_EQ(pSite->m_Changes, (std::vector<DWORD>{PROPPAGESTATUS_DIRTY, PROPPAGESTATUS_CLEAN}));
}

TEST_F(PageFramework, TranslateAcceleratorHandsKeysToTheDialog) {
    CComPtr<CGeneralPage> pPage = Make<CGeneralPage>();
    EXPECT_EQ(pPage->TranslateAccelerator(nullptr), E_INVALIDARG);
    QWidget Parent;
    const RECT Rect{0, 0, 400, 150};
    ASSERT_EQ(pPage->Activate(HandleFromWidget(&Parent), &Rect, TRUE), S_OK);
    Parent.show();
    SetFocus(pPage->GetItem(IDC_NAME));
    MSG Tab{nullptr, WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
    EXPECT_EQ(pPage->TranslateAccelerator(&Tab), S_OK);
    EXPECT_EQ(Parent.focusWidget(), WidgetFromHandle(pPage->GetItem(IDC_MODE)));
    MSG Char{nullptr, WM_CHAR, 'a', 0, 0, {0, 0}};
    EXPECT_EQ(pPage->TranslateAccelerator(&Char), S_FALSE);
    MSG Paint{nullptr, 0x000F, 0, 0, 0, {0, 0}};
    EXPECT_EQ(pPage->TranslateAccelerator(&Paint), S_FALSE);
}

TEST_F(PageFramework, ObjectsAreKeptInOrderAndAnIndexPastTheEndIsRefused) {
    CComPtr<CGeneralPage> pPage = Make<CGeneralPage>();
    CComPtr<IUnknown> pFirst = PagedObject({}), pSecond = PagedObject({});
    IUnknown* Objects[] = {pFirst, pSecond};
    EXPECT_EQ(pPage->SetObjects(2, nullptr), E_INVALIDARG);
    ASSERT_EQ(pPage->SetObjects(2, Objects), S_OK);
    EXPECT_EQ(pPage->GetObject(1).p, pSecond.p);
    EXPECT_THROW(pPage->GetObject(2), corvane::CHResultException);
    EXPECT_EQ(pPage->SetObjects(0, nullptr), S_OK);
    EXPECT_EQ(pPage->GetObjectCount(), 0u);
}

TEST_F(PageFramework, AComboBoxIsFilledFromTheStringResourceOfItsNumber) {
    const HWND hDialog = CreateDialogFromResource(kPageResource, nullptr);
    CUlComboBoxT<LONG> Combo;
    Combo.Attach(GetDlgItem(hDialog, IDC_MODE));
    Combo.Initialize();
    ASSERT_EQ(Combo.GetCount(), 2);
    EXPECT_EQ(Combo.Control()->itemText(0), QStringLiteral("Manual"));
    EXPECT_EQ(Combo.Control()->itemText(1), QStringLiteral("Automatic"));
    EXPECT_EQ(Combo.GetItemData(0), 0);
    EXPECT_EQ(Combo.GetItemData(1), 1);
    EXPECT_EQ(Combo.FindItemData(1), 1);
    EXPECT_EQ(Combo.FindItemData(7), -1);
    Combo.Initialize();  // again: the same two, not four
    EXPECT_EQ(Combo.GetCount(), 2);
    DestroyWindow(hDialog);
}

TEST(ResourceLines, TheEmptyTextAfterTheLastLineFeedIsNotALine) {
    struct {
        std::u16string_view sText;
        std::vector<std::u16string> Lines;
    } const kCases[] = {
        {u"Manual\nAutomatic\n", {u"Manual", u"Automatic"}},
        {u"Manual\nAutomatic", {u"Manual", u"Automatic"}},
        {u"a\n\nb\n", {u"a", u"", u"b"}},
        {u"", {}},
        {u"\n", {u""}},
    };
    for (const auto& Case : kCases) EXPECT_EQ(corvane::SplitResourceLines(Case.sText), Case.Lines);
}

TEST_F(PageFramework, AListViewOwnsItsItemsDataAndAsksForTexts) {
    static const DialogControl kControls[] = {{1010, DialogControlKind::ListView, nullptr, 0, 0, 200, 100}};
    const HWND hDialog = CreateDialogFromResource(DialogResource{200, 100, nullptr, kControls}, nullptr);
    corvane::CUlListViewT<std::u16string> List;
    List.Attach(GetDlgItem(hDialog, 1010));
    List.InsertColumn(0, u"Name", 100);
    List.InsertColumn(1, u"Length", 60);
    List.SetTextCallback([](const std::u16string& s, int nColumn) {
        return nColumn == 0 ? s : comrt::ToUtf16(std::to_string(s.size()));
    });
    EXPECT_EQ(List.InsertItem(0, u"beta"), 0);
    EXPECT_EQ(List.InsertItem(0, u"alpha"), 0);
    EXPECT_EQ(List.InsertItem(99, u"gamma!"), 2);  // past the end: at the end
    EXPECT_EQ(List.DataFromItemData(0), u"alpha");
    EXPECT_EQ(List.DataFromItemData(2), u"gamma!");
    EXPECT_EQ(List.Control()->topLevelItem(2)->text(1), QStringLiteral("6"));
    List.DeleteItem(0);
    EXPECT_EQ(List.GetItemCount(), 2);
    EXPECT_EQ(List.DataFromItemData(0), u"beta");
    EXPECT_EQ(List.Control()->topLevelItem(0)->text(0), QStringLiteral("beta"));
    EXPECT_THROW(List.DataFromItemData(2), corvane::CHResultException);
    DestroyWindow(hDialog);
}

// The frame, driven through its buttons.
TEST_F(PageFramework, AFrameOnTwoObjectsShowsOnlyTheirCommonPages) {
    CComPtr<IUnknown> pFirst = PagedObject({CLSID_GeneralPage, CLSID_SharedPage});
    CComPtr<IUnknown> pSecond = PagedObject({CLSID_OtherPage, CLSID_SharedPage});
    corvane::COlePropertyFrameDialog Frame(pFirst, u"Two objects");
    Frame.AddObject(pSecond);
    QStringList Tabs;
    QString sCaption;
    OnNextModal([&](QWidget* pFrame) {
        auto* pTabs = Control<QTabWidget>(pFrame, 12320);
        for (int i = 0; i < pTabs->count(); ++i) Tabs << pTabs->tabText(i);
        sCaption = pFrame->windowTitle();
        QTest::mouseClick(Control<QPushButton>(pFrame, IDCANCEL), Qt::LeftButton);
    });
    EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
    EXPECT_EQ(Tabs, QStringList{QStringLiteral("Shared")});
    EXPECT_EQ(sCaption, QStringLiteral("Two objects"));
    EXPECT_EQ(Frame.GetPages(), (std::vector<CLSID>{CLSID_SharedPage}));
}

TEST_F(PageFramework, AnObjectsPropertyMapGivesTheFrameItsPagesInMapOrder) {
    CComPtr<CMappedObject> pMapped = Make<CMappedObject>();
    corvane::COlePropertyFrameDialog Frame(static_cast<ISpecifyPropertyPages*>(pMapped), u"Mapped");
    QStringList Tabs;
    OnNextModal([&](QWidget* pFrame) {
        auto* pTabs = Control<QTabWidget>(pFrame, 12320);
        for (int i = 0; i < pTabs->count(); ++i) Tabs << pTabs->tabText(i);
        QTest::mouseClick(Control<QPushButton>(pFrame, IDCANCEL), Qt::LeftButton);
    });
    EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
    EXPECT_EQ(Tabs, (QStringList{QStringLiteral("Shared"), QStringLiteral("General")}));  // the repeat left out
}

TEST_F(PageFramework, OkAndApplyApplyOnlyTheDirtyPages) {
    CComPtr<IUnknown> pObject = PagedObject({CLSID_GeneralPage, CLSID_SharedPage});
    corvane::COlePropertyFrameDialog Frame(pObject, u"Settings");
    bool bApplyBefore = true, bApplyAfterEdit = false, bApplyAfterApply = true;
    int nAppliesByApply = -1;
    OnNextModal([&](QWidget* pFrame) {
        auto* pApply = Control<QPushButton>(pFrame, IDC_PROPERTYFRAME_APPLY);
        bApplyBefore = pApply->isEnabled();
        auto* pTabs = Control<QTabWidget>(pFrame, 12320);
        QTest::keyClicks(Control<QLineEdit>(pTabs->widget(0), IDC_NAME), QStringLiteral("host"));
        bApplyAfterEdit = pApply->isEnabled();
        corvanetest::SavePicture(pFrame, QStringLiteral("property-frame-general"));
        QTest::mouseClick(pApply, Qt::LeftButton);
        nAppliesByApply = g_nApplies;
        bApplyAfterApply = pApply->isEnabled();
        pTabs->setCurrentIndex(1);
        QTest::keyClicks(Control<QLineEdit>(pTabs->widget(1), IDC_NAME), QStringLiteral("x"));
        QTest::mouseClick(Control<QPushButton>(pFrame, IDOK), Qt::LeftButton);
    });
    EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
    EXPECT_FALSE(bApplyBefore);
    EXPECT_TRUE(bApplyAfterEdit);
    EXPECT_EQ(nAppliesByApply, 1);  // only the edited page
    EXPECT_FALSE(bApplyAfterApply);
    EXPECT_EQ(g_nApplies, 2);  // OK applied the second page, and not the clean first one again
}

TEST_F(PageFramework, AFailingApplyKeepsTheFrameOpenWithTheErrorBox) {
    CComPtr<IUnknown> pObject = PagedObject({CLSID_FailingPage});
    corvane::COlePropertyFrameDialog Frame(pObject, u"Settings");
    QString sError;
    bool bOpenAfterError = false;
    OnNextModal([&](QWidget* pFrame) {
        QTest::keyClicks(Control<QLineEdit>(Control<QTabWidget>(pFrame, 12320)->widget(0), IDC_NAME),
                         QStringLiteral("x"));
        OnNextModal(
            [&, pFrame](QWidget* pBox) {
                sError = static_cast<QMessageBox*>(pBox)->text();
                corvanetest::SavePicture(pBox, QStringLiteral("property-frame-apply-error"));
                QTest::mouseClick(Control<QPushButton>(pBox, IDOK), Qt::LeftButton);
                QTimer::singleShot(0, [&, pFrame] {
                    bOpenAfterError = pFrame->isVisible();
                    QTest::mouseClick(Control<QPushButton>(pFrame, IDCANCEL), Qt::LeftButton);
                });
            },
            pFrame);
        QTest::mouseClick(Control<QPushButton>(pFrame, IDOK), Qt::LeftButton);
    });
    EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
    EXPECT_TRUE(bOpenAfterError);
    EXPECT_TRUE(sError.contains(QString::fromStdU16String(FormatSystemMessage(E_ACCESSDENIED))))
        << sError.toStdString();
    EXPECT_TRUE(LogContains("0x80070005"));
}

TEST_F(PageFramework, AnObjectWithoutPagesGetsAnErrorBoxAndARaisedFailure) {
    CComPtr<CPlainObject> pPlain = Make<CPlainObject>();
    corvane::COlePropertyFrameDialog Frame(static_cast<IPersist*>(pPlain), u"Settings");
    QString sCaption;
    OnNextModal([&](QWidget* pBox) {
        sCaption = pBox->windowTitle();
        QTest::mouseClick(Control<QPushButton>(pBox, IDOK), Qt::LeftButton);
    });
    try {
        Frame.DoModal(nullptr);
        ADD_FAILURE() << "no failure raised";
    } catch (const corvane::CHResultException& e) {
        EXPECT_EQ(e.GetResult(), E_NOINTERFACE);
    }
    EXPECT_EQ(sCaption, QStringLiteral("Error"));
    EXPECT_TRUE(LogContains("ISpecifyPropertyPages"));
}

TEST_F(PageFramework, APageClassThatIsNotRegisteredLeavesTheOthersWorking) {
    constexpr CLSID CLSID_Unregistered = MakeGuid("7A4E2C01-1B5D-4E8F-A0C2-3D9E1F0000FF");
    CComPtr<IUnknown> pObject = PagedObject({CLSID_Unregistered, CLSID_GeneralPage});
    corvane::COlePropertyFrameDialog Frame(pObject, u"Settings");
    int nTabs = 0;
    OnNextModal([&](QWidget* pBox) {
        QTest::mouseClick(Control<QPushButton>(pBox, IDOK), Qt::LeftButton);
        OnNextModal([&](QWidget* pFrame) {
            nTabs = Control<QTabWidget>(pFrame, 12320)->count();
            QTest::mouseClick(Control<QPushButton>(pFrame, IDCANCEL), Qt::LeftButton);
        });
    });
    EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
    EXPECT_EQ(nTabs, 1);
    EXPECT_TRUE(LogContains("{7A4E2C01-1B5D-4E8F-A0C2-3D9E1F0000FF} could not be created"));
}

TEST_F(PageFramework, AFailureInAHandlerIsAnErrorBoxAndThePageGoesOnWorking) {
    CComPtr<CGeneralPage> pPage = Make<CGeneralPage>();
    CComPtr<CRecordingSite> pSite = Make<CRecordingSite>();
    ASSERT_EQ(pPage->SetPageSite(pSite), S_OK);
    QWidget Parent;
    const RECT Rect{0, 0, 400, 150};
    ASSERT_EQ(pPage->Activate(HandleFromWidget(&Parent), &Rect, TRUE), S_OK);
    Parent.show();
    QString sCaption, sText;
    OnNextModal([&](QWidget* pBox) {
        sCaption = pBox->windowTitle();
        sText = static_cast<QMessageBox*>(pBox)->text();
        QTest::mouseClick(Control<QPushButton>(pBox, IDOK), Qt::LeftButton);
    });
    QTest::mouseClick(WidgetFromHandle(pPage->GetItem(IDC_FAIL)), Qt::LeftButton);
    EXPECT_EQ(sCaption, QStringLiteral("Error"));
    EXPECT_EQ(sText, QString::fromStdU16String(FormatSystemMessage(E_ACCESSDENIED)) + QStringLiteral("."));
    EXPECT_TRUE(LogContains("An exception 0x80070005"));
    // Still working: an edit still makes the page dirty.
    QTest::keyClicks(WidgetFromHandle(pPage->GetItem(IDC_NAME)), QStringLiteral("a"));
    EXPECT_EQ(pPage->IsPageDirty(), S_OK);
}

TEST_F(PageFramework, TheControlMapFillsMembersAndRunsInitializers) {
    CComPtr<CGeneralPage> pPage = Make<CGeneralPage>();
    QWidget Parent;
    const RECT Rect{0, 0, 400, 150};
    ASSERT_EQ(pPage->Activate(HandleFromWidget(&Parent), &Rect, TRUE), S_OK);
    EXPECT_EQ(pPage->m_hName, pPage->GetItem(IDC_NAME));
    EXPECT_EQ(pPage->m_Mode.GetCount(), 2);
    EXPECT_EQ(pPage->m_Mode.GetCurSelData(-1), 1);  // the initializer chose "Automatic"
}

TEST_F(PageFramework, AFrameOnItsOwnersPlaceMovesOff) {
    QWidget Owner;
    Owner.setGeometry(200, 200, 300, 200);
    Owner.show();
    QWidget Frame(&Owner, Qt::Dialog);
    Frame.resize(300, 200);
    Frame.move(Owner.pos());
    corvane::OffsetFromSimilarParent(HandleFromWidget(&Frame));
    const int nOffset = GetSystemMetrics(SM_CYBORDER) + GetSystemMetrics(SM_CYCAPTION);
    EXPECT_GT(nOffset, 1);
    EXPECT_EQ(Frame.pos(), Owner.pos() + QPoint(nOffset, nOffset));
    const QPoint Elsewhere = Frame.pos();
    corvane::OffsetFromSimilarParent(HandleFromWidget(&Frame));
    EXPECT_EQ(Frame.pos(), Elsewhere);  // not on the owner's corner any more: left alone
}

}  // namespace

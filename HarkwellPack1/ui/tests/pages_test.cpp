// The plug-in's property pages on the library's own objects, headless: each page made as the frame makes
// it (SetObjects, Activate), driven by control identifier, applied, and checked on the object; each saves
// its picture (test-pictures/pack1-<page>-100.png, and -200 under QT_SCALE_FACTOR=2).
// One file for the eight pages (about 740 lines): they share the fixture that makes the objects, the frame
// steps and the pictures, and each page's cases are a table or two.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "ActivityPropertyPages.h"
#include "OwnedBstr.h"
#include "QtTestSupport.h"
#include "SmtpPropertyPages.h"
#include "TestEnvironment.h"
#include "comrt/oleauto.h"
#include "comrt/text.h"
#include "corvane/ullisttext.h"

namespace {

using corvanetest::Control;
using corvanetest::OnNextModal;

QString ScaleSuffix() {
    const char* pszScale = std::getenv("QT_SCALE_FACTOR");
    return pszScale != nullptr && std::string(pszScale) == "2" ? QStringLiteral("-200") : QStringLiteral("-100");
}

// An object that has none of the interfaces the pages need.
class CPlainObject : public IPersist {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPersist>>;
    HRESULT GetClassID(CLSID* pClsid) override { return *pClsid = CLSID_NULL, S_OK; }
};

template <class T>
CComPtr<IUnknown> MakeObject(T** ppObject = nullptr) {
    CComObjectT<T>* p = nullptr;
    EXPECT_EQ(CComObjectT<T>::CreateInstance(&p), S_OK);
    CComPtr<IUnknown> pUnknown;
    p->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pUnknown));
    p->Release();
    if (ppObject != nullptr) *ppObject = p;
    return pUnknown;
}

// A page as the frame shows it: made, given its objects, activated in a parent window of the page's size.
template <class TPage>
class CShownPage {
public:
    explicit CShownPage(std::vector<CComPtr<IUnknown>> Objects) : m_Objects(std::move(Objects)) {
        EXPECT_EQ(CComObjectT<TPage>::CreateInstance(&m_pPage), S_OK);
        std::vector<IUnknown*> Pointers;
        for (auto& p : m_Objects) Pointers.push_back(p);
        EXPECT_EQ(m_pPage->SetObjects(static_cast<ULONG>(Pointers.size()), Pointers.data()), S_OK);
        PROPPAGEINFO Info{};
        EXPECT_EQ(m_pPage->GetPageInfo(&Info), S_OK);
        m_sTitle = QString::fromStdU16String(Info.pszTitle);
        CoTaskMemFree(Info.pszTitle);
        m_Parent.resize(Info.size.cx, Info.size.cy);
        const RECT Rect{0, 0, Info.size.cx, Info.size.cy};
        m_hrActivate = m_pPage->Activate(HandleFromWidget(&m_Parent), &Rect, TRUE);
        m_Parent.show();
        QApplication::processEvents();
    }
    ~CShownPage() {
        m_pPage->Deactivate();
        m_pPage->Release();
    }
    TPage* operator->() const { return m_pPage; }
    QWidget* Window() const { return WidgetFromHandle(m_pPage->GetWindow()); }
    template <class W = QWidget>
    W* Item(int nId) const {
        return qobject_cast<W*>(WidgetFromHandle(m_pPage->GetItem(nId)));
    }
    void SetText(int nId, const QString& sText) {
        if (auto* pEdit = Item<QLineEdit>(nId)) {
            pEdit->clear();
            QTest::keyClicks(pEdit, sText);
        } else {
            Item<QPlainTextEdit>(nId)->setPlainText(sText);
        }
    }
    QString Text(int nId) const {
        if (auto* pEdit = Item<QLineEdit>(nId)) return pEdit->text();
        return Item<QPlainTextEdit>(nId)->toPlainText();
    }
    bool IsDirty() const { return m_pPage->IsPageDirty() == S_OK; }
    void Picture(const QString& sName) {
        corvanetest::SavePicture(&m_Parent, QStringLiteral("pack1-") + sName + ScaleSuffix());
    }
    HRESULT m_hrActivate = E_FAIL;
    QString m_sTitle;

private:
    std::vector<CComPtr<IUnknown>> m_Objects;
    CComObjectT<TPage>* m_pPage = nullptr;
    QWidget m_Parent;
};

// Runs Make (which makes a page that fails to load) and answers the text of the error box it shows.
QString ErrorBoxOf(const std::function<void()>& Make) {
    QString sText;
    OnNextModal([&](QWidget* pWindow) {
        if (auto* pBox = qobject_cast<QMessageBox*>(pWindow)) sText = pBox->text();
        QTest::mouseClick(Control<QPushButton>(pWindow, IDOK), Qt::LeftButton);
    });
    Make();
    return sText;
}

QString MessageOf(HRESULT hr) {
    return QString::fromStdU16String(FormatSystemMessage(hr));
}

std::u16string Text(BSTR s) {
    std::u16string sText(s != nullptr ? s : u"", SysStringLen(s));
    SysFreeString(s);
    return sText;
}

class Pack1Pages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
    void TearDown() override { CoUninitialize(); }
};

// Each object lists its pages from its property map, in map order.
TEST_F(Pack1Pages, EveryObjectNamesItsPagesInMapOrder) {
    struct Case {
        CComPtr<IUnknown> pObject;
        std::vector<CLSID> Pages;
    } const Cases[] = {
        {MakeObject<CProcessCheckActivity>(), {CLSID_CProcessCheckActivityNameExpressionPropertyPage}},
        {MakeObject<CPingActivity>(), {CLSID_CPingActivityGeneralPropertyPage}},
        {MakeObject<CFileSystemCheckActivity>(), {CLSID_CFileSystemCheckActivityGeneralPropertyPage}},
        {MakeObject<CSystemPerformanceCheckActivity>(),
         {CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage,
          CLSID_CSystemPerformanceCheckActivityCurrentPropertyPage,
          CLSID_CSystemPerformanceCheckActivityPollPropertyPage}},
        {MakeObject<CSmtpNotification>(),
         {CLSID_CSmtpNotificationConnectionPropertyPage, CLSID_CSmtpNotificationTemplatePropertyPage}},
    };
    for (const Case& c : Cases) {
        CComQIPtr<ISpecifyPropertyPages> pSpecify(c.pObject.p);
        ASSERT_TRUE(pSpecify);
        CAUUID Pages{0, nullptr};
        ASSERT_EQ(pSpecify->GetPages(&Pages), S_OK);
        EXPECT_EQ(std::vector<CLSID>(Pages.pElems, Pages.pElems + Pages.cElems), c.Pages);
        CoTaskMemFree(Pages.pElems);
    }
}

TEST_F(Pack1Pages, NameExpressionLinesBecomeListTextWithOnlyTheItemWithABlankQuoted) {
    const struct {
        const char16_t* pszLines;
        const char16_t* pszList;
    } kCases[] = {
        {u"notepad\\.exe\r\nmy editor\r\n^calc$", u"notepad\\.exe,\"my editor\",^calc$"},
        {u"\t a\n\nb \r\n\r\n", u"a,,b"},
        {u" \r\n\t", u""},
        {u"x,y", u"\"x,y\""},
        {u"a\rb\r\n\rc", u"a,b,,c"},  // a CR alone breaks a line too
    };
    for (const auto& c : kCases)
        EXPECT_EQ(pack1ui::ListTextOfLines(c.pszLines), c.pszList) << comrt::ToUtf8(c.pszLines);

    CProcessCheckActivity* pActivity = nullptr;
    CComPtr<IUnknown> pObject = MakeObject(&pActivity);
    ASSERT_EQ(pActivity->put_ProcessNameExpressions(CBstr(u"^sshd$,\"a b\"")), S_OK);
    CShownPage<CProcessCheckActivityNameExpressionPropertyPage> Page({pObject});
    ASSERT_EQ(Page.m_hrActivate, S_OK);
    EXPECT_EQ(Page.m_sTitle, QStringLiteral("Name Expressions"));
    EXPECT_EQ(Page.Text(IDC_NAMEEXPRESSION_EXPRESSIONS), QStringLiteral("^sshd$\na b"));
    EXPECT_FALSE(Page.IsDirty());
    // The description's link leads to the pattern reference.
    auto* pLabel = Page.Item<QLabel>(IDC_NAMEEXPRESSION_DESCRIPTION);
    ASSERT_NE(pLabel, nullptr);
    EXPECT_TRUE(pLabel->text().contains(QString::fromStdU16String(kRegularExpressionReference)));
    Page.Picture(QStringLiteral("name-expressions"));

    Page.SetText(IDC_NAMEEXPRESSION_EXPRESSIONS, QStringLiteral("one\r\ntwo three\r\nfour"));
    EXPECT_TRUE(Page.IsDirty());
    EXPECT_EQ(Page->Apply(), S_OK);
    EXPECT_FALSE(Page.IsDirty());
    BSTR sList = nullptr;
    ASSERT_EQ(pActivity->get_ProcessNameExpressions(&sList), S_OK);
    EXPECT_EQ(Text(sList), u"one,\"two three\",four");
}

TEST_F(Pack1Pages, NameExpressionPageOnAnObjectWithoutTheActivityFailsToLoad) {
    std::unique_ptr<CShownPage<CProcessCheckActivityNameExpressionPropertyPage>> pPage;
    const QString sError = ErrorBoxOf([&] {
        pPage = std::make_unique<CShownPage<CProcessCheckActivityNameExpressionPropertyPage>>(
            std::vector<CComPtr<IUnknown>>{MakeObject<CPlainObject>()});
    });
    EXPECT_TRUE(sError.startsWith(MessageOf(E_NOINTERFACE))) << sError.toStdString();
    EXPECT_EQ((*pPage)->GetInitializationResult(), E_NOINTERFACE);
    EXPECT_FALSE(pPage->Item(IDC_NAMEEXPRESSION_EXPRESSIONS)->isEnabled());
}

TEST_F(Pack1Pages, PingPageLoadsAppliesAndStopsAtTheFirstRefusedValue) {
    CPingActivity* pActivity = nullptr;
    CComPtr<IUnknown> pObject = MakeObject(&pActivity);
    ASSERT_EQ(pActivity->put_Host(CBstr(u"gateway.example")), S_OK);
    ASSERT_EQ(pActivity->put_Timeout(1500), S_OK);
    CShownPage<CPingActivityGeneralPropertyPage> Page({pObject});
    EXPECT_EQ(Page.m_sTitle, QStringLiteral("General"));
    EXPECT_EQ(Page.Text(IDC_PING_HOST), QStringLiteral("gateway.example"));
    EXPECT_EQ(Page.Text(IDC_PING_TIMEOUT), QStringLiteral("1500"));
    Page.Picture(QStringLiteral("ping-general"));

    Page.SetText(IDC_PING_HOST, QStringLiteral("10.0.0.1"));
    Page.SetText(IDC_PING_INTERVAL, QStringLiteral("abc"));
    Page.SetText(IDC_PING_FAILURECOUNT, QStringLiteral("7"));
    EXPECT_EQ(Page->Apply(), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(Page.IsDirty());
    BSTR sHost = nullptr;
    ASSERT_EQ(pActivity->get_Host(&sHost), S_OK);
    EXPECT_EQ(Text(sHost), u"10.0.0.1");  // written before the refused value
    LONG nFailureCount = 0;
    ASSERT_EQ(pActivity->get_FailureCount(&nFailureCount), S_OK);
    EXPECT_NE(nFailureCount, 7);  // after it: not written

    const struct {
        const char* pszInterval;
        HRESULT hr;
    } kIntervals[] = {{"0", E_INVALIDARG}, {"-3", E_INVALIDARG}, {"99999999999", DISP_E_TYPEMISMATCH}, {"2500", S_OK}};
    for (const auto& c : kIntervals) {
        Page.SetText(IDC_PING_INTERVAL, QString::fromUtf8(c.pszInterval));
        EXPECT_EQ(Page->Apply(), c.hr) << c.pszInterval;
        EXPECT_EQ(Page.IsDirty(), FAILED(c.hr)) << c.pszInterval;
    }
    LONG nInterval = 0;
    ASSERT_EQ(pActivity->get_Interval(&nInterval), S_OK);
    EXPECT_EQ(nInterval, 2500);
    ASSERT_EQ(pActivity->get_FailureCount(&nFailureCount), S_OK);
    EXPECT_EQ(nFailureCount, 7);
}

TEST_F(Pack1Pages, PingPageRefusesTwoObjectsAndOneWithoutThePingInterface) {
    const struct {
        std::vector<CComPtr<IUnknown>> Objects;
        HRESULT hr;
    } kCases[] = {
        {{MakeObject<CPingActivity>(), MakeObject<CPingActivity>()}, E_PING_PAGE_SINGLE_OBJECT},
        {{}, E_PING_PAGE_SINGLE_OBJECT},
        {{MakeObject<CFileSystemCheckActivity>()}, E_NOINTERFACE},
    };
    EXPECT_EQ(static_cast<unsigned>(E_PING_PAGE_SINGLE_OBJECT), 0xA765006Du);
    for (const auto& c : kCases) {
        std::unique_ptr<CShownPage<CPingActivityGeneralPropertyPage>> pPage;
        const QString sError =
            ErrorBoxOf([&] { pPage = std::make_unique<CShownPage<CPingActivityGeneralPropertyPage>>(c.Objects); });
        EXPECT_TRUE(sError.startsWith(MessageOf(c.hr))) << sError.toStdString();
        EXPECT_EQ((*pPage)->GetInitializationResult(), c.hr);
        EXPECT_FALSE(pPage->Item(IDC_PING_HOST)->isEnabled());
        EXPECT_FALSE(pPage->IsDirty());
    }
}

TEST_F(Pack1Pages, BrowsingAFolderMarksTheFileSystemPageDirtyEvenForTheSamePath) {
    CFileSystemCheckActivity* pActivity = nullptr;
    CComPtr<IUnknown> pObject = MakeObject(&pActivity);
    testing_support::CTemporaryDirectory Folder;
    const std::u16string sFolder = comrt::ToUtf16(Folder.Path().string());
    ASSERT_EQ(pActivity->put_DirectoryPath(CBstr(sFolder.c_str())), S_OK);
    CShownPage<CFileSystemCheckActivityGeneralPropertyPage> Page({pObject});
    EXPECT_EQ(Page.Text(IDC_FILESYSTEM_DIRECTORYPATH), QString::fromStdU16String(sFolder));
    EXPECT_FALSE(Page.IsDirty());
    Page.Picture(QStringLiteral("file-system-general"));

    // The browser starts in the page's folder; choosing it again still counts as a change.
    QString sStart;
    OnNextModal([&](QWidget* pWindow) {
        auto* pDialog = qobject_cast<QFileDialog*>(pWindow);
        ASSERT_NE(pDialog, nullptr);
        sStart = pDialog->directory().absolutePath();
        static_cast<QDialog*>(pDialog)->accept();  // QFileDialog takes what it shows
    });
    QTest::mouseClick(Page.Item<QPushButton>(IDC_FILESYSTEM_BROWSE), Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_EQ(sStart, QString::fromStdU16String(sFolder));
    EXPECT_EQ(Page.Text(IDC_FILESYSTEM_DIRECTORYPATH), QString::fromStdU16String(sFolder));
    EXPECT_TRUE(Page.IsDirty());
    EXPECT_EQ(Page->Apply(), S_OK);
    EXPECT_FALSE(Page.IsDirty());
}

TEST_F(Pack1Pages, FileSystemPageRefusesAMissingFolderAndAPatternThatDoesNotParse) {
    CFileSystemCheckActivity* pActivity = nullptr;
    CComPtr<IUnknown> pObject = MakeObject(&pActivity);
    testing_support::CTemporaryDirectory Folder;
    const std::string sFolder = Folder.Path().string();
    CShownPage<CFileSystemCheckActivityGeneralPropertyPage> Page({pObject});
    const struct {
        QString sFolder;
        QString sPattern;
        QString sGranularity;
        HRESULT hr;
    } kCases[] = {
        {QString::fromStdString(sFolder + "/missing"), QStringLiteral("\\.log$"), QStringLiteral("1"),
         E_DIRECTORY_NOT_FOUND},
        {QString::fromStdString(sFolder), QStringLiteral("(a*)*"), QStringLiteral("1"), E_INVALIDARG},
        {QString::fromStdString(sFolder), QStringLiteral("\\.log$"), QStringLiteral("many"), DISP_E_TYPEMISMATCH},
        {QString::fromStdString(sFolder), QStringLiteral("\\.log$"), QStringLiteral("4096"), S_OK},
    };
    for (const auto& c : kCases) {
        Page.SetText(IDC_FILESYSTEM_DIRECTORYPATH, c.sFolder);
        Page.SetText(IDC_FILESYSTEM_FILENAMEEXPRESSION, c.sPattern);
        Page.SetText(IDC_FILESYSTEM_FILESIZEGRANULARITY, c.sGranularity);
        EXPECT_EQ(Page->Apply(), c.hr) << c.sFolder.toStdString() << " " << c.sPattern.toStdString();
        EXPECT_EQ(Page.IsDirty(), FAILED(c.hr));
    }
    BSTR sPattern = nullptr;
    ASSERT_EQ(pActivity->get_FileNameExpression(&sPattern), S_OK);
    EXPECT_EQ(Text(sPattern), u"\\.log$");
    LONG nGranularity = 0;
    ASSERT_EQ(pActivity->get_FileSizeGranularity(&nGranularity), S_OK);
    EXPECT_EQ(nGranularity, 4096);
}

TEST_F(Pack1Pages, ThresholdsEmptyAndNegativeWriteZeroAndTextFailsApply) {
    const struct {
        const char16_t* pszText;
        LONG nValue;
    } kTexts[] = {{u"", 0}, {u"  ", 0}, {u"-5", 0}, {u" 12 ", 12}, {u"2147483647", 2147483647}};
    for (const auto& c : kTexts) EXPECT_EQ(pack1ui::ThresholdOfText(c.pszText), c.nValue) << comrt::ToUtf8(c.pszText);
    for (const char16_t* pszText : {u"abc", u"12x", u"99999999999"})
        EXPECT_THROW(pack1ui::ThresholdOfText(pszText), corvane::CHResultException) << comrt::ToUtf8(pszText);

    CSystemPerformanceCheckActivity* pActivity = nullptr;
    CComPtr<IUnknown> pObject = MakeObject(&pActivity);
    ASSERT_EQ(pActivity->put_MaximalCommitTotal(0), S_OK);
    ASSERT_EQ(pActivity->put_MaximalKernelPaged(300), S_OK);
    ASSERT_EQ(pActivity->put_MaximalThreadCount(900), S_OK);
    CShownPage<CSystemPerformanceCheckActivityThresholdsPropertyPage> Page({pObject});
    EXPECT_EQ(Page.Text(IDC_THRESHOLDS_FIRST), QString());  // 0: switched off, shown empty
    EXPECT_EQ(Page.Text(IDC_THRESHOLDS_FIRST + 1), QStringLiteral("300"));
    // The page is taller than its visible part: it scrolls.
    EXPECT_NE(qobject_cast<QScrollArea*>(Page.Window()), nullptr);
    Page.Picture(QStringLiteral("thresholds"));

    Page.SetText(IDC_THRESHOLDS_FIRST, QStringLiteral("-5"));
    Page.SetText(IDC_THRESHOLDS_FIRST + 1, QString());
    Page.SetText(IDC_THRESHOLDS_FIRST + 2, QStringLiteral("64"));
    Page.SetText(IDC_THRESHOLDS_FIRST + 3, QStringLiteral("abc"));
    Page.SetText(IDC_THRESHOLDS_FIRST + 5, QStringLiteral("5000"));
    EXPECT_EQ(Page->Apply(), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(Page.IsDirty());
    LONG nValue = -1;
    pActivity->get_MaximalKernelPaged(&nValue);
    EXPECT_EQ(nValue, 0);
    pActivity->get_MaximalKernelNonpaged(&nValue);
    EXPECT_EQ(nValue, 64);
    pActivity->get_MaximalThreadCount(&nValue);
    EXPECT_EQ(nValue, 900);  // after the failing edit: unchanged

    Page.SetText(IDC_THRESHOLDS_FIRST + 3, QStringLiteral("40000"));
    EXPECT_EQ(Page->Apply(), S_OK);
    pActivity->get_MaximalHandleCount(&nValue);
    EXPECT_EQ(nValue, 40000);
    pActivity->get_MaximalThreadCount(&nValue);
    EXPECT_EQ(nValue, 5000);
    EXPECT_FALSE(Page.IsDirty());
}

TEST_F(Pack1Pages, CurrentPageShowsTheLiveFiguresAndRefreshes) {
    CSystemPerformanceCheckActivity* pActivity = nullptr;
    CComPtr<IUnknown> pObject = MakeObject(&pActivity);
    CShownPage<CSystemPerformanceCheckActivityCurrentPropertyPage> Page({pObject});
    EXPECT_EQ(Page->GetUpdateCount(), 1u);
    // The figures of a record read now: the counts agree roughly with what the page shows.
    pack1ui::CVariant Record;
    ASSERT_EQ(pActivity->get_PerformanceInformation(&Record), S_OK);
    PERFORMANCE_INFORMATION Information{};
    void* pData = nullptr;
    ASSERT_EQ(SafeArrayAccessData(Record.parray, &pData), S_OK);
    std::memcpy(&Information, pData, sizeof Information);
    SafeArrayUnaccessData(Record.parray);
    const auto Number = [&](int nId) {
        QString sText = Page.Text(nId);
        sText.remove(QRegularExpression(QStringLiteral("[^0-9]")));
        return sText.toLongLong();
    };
    EXPECT_GT(Information.ProcessCount, 0u);
    EXPECT_NEAR(static_cast<double>(Number(IDC_CURRENT_FIRST + 4)), Information.ProcessCount,
                Information.ProcessCount / 2.0);
    EXPECT_NEAR(static_cast<double>(Number(IDC_CURRENT_FIRST + 5)), Information.ThreadCount,
                Information.ThreadCount / 2.0);
    for (int i = 0; i < 6; ++i) {
        EXPECT_FALSE(Page.Text(IDC_CURRENT_FIRST + i).isEmpty()) << i;
        EXPECT_TRUE(Page.Item<QLineEdit>(IDC_CURRENT_FIRST + i)->isReadOnly()) << i;
    }
    Page.Picture(QStringLiteral("current"));

    // Every 5 s while the page exists.
    QTimer* pTimer = Page->GetTimer();
    ASSERT_NE(pTimer, nullptr);
    EXPECT_TRUE(pTimer->isActive());
    EXPECT_EQ(pTimer->interval(), 5000);
    pTimer->setInterval(20);
    QTest::qWait(200);
    EXPECT_GE(Page->GetUpdateCount(), 3u);
    Page.SetText(IDC_CURRENT_FIRST, QStringLiteral("stale"));
    QTest::qWait(100);
    EXPECT_NE(Page.Text(IDC_CURRENT_FIRST), QStringLiteral("stale"));
    EXPECT_EQ(Page->Apply(), S_OK);
}

TEST_F(Pack1Pages, CurrentFiguresAreMegabytesOfPagesTimesPageSizeWithoutTruncation) {
    PERFORMANCE_INFORMATION Information{};
    Information.PageSize = 4096;
    Information.CommitTotal = 0x00100000;  // 4 GiB: past 32 bits in bytes
    Information.KernelPaged = 256;         // 1 MB
    Information.KernelNonpaged = 128;      // 0.5 MB
    Information.HandleCount = 1234567;
    Information.ProcessCount = 321;
    Information.ThreadCount = 4321;
    const std::vector<std::u16string> Figures =
        CSystemPerformanceCheckActivityCurrentPropertyPage::FormatFigures(Information);
    ASSERT_EQ(Figures.size(), 6u);
    const struct {
        size_t nIndex;
        const char* pszDigits;
    } kExpected[] = {{0, "409600"}, {1, "100"}, {2, "050"}, {3, "1234567"}, {4, "321"}, {5, "4321"}};
    for (const auto& c : kExpected) {
        QString sDigits = QString::fromStdU16String(Figures[c.nIndex]);
        sDigits.remove(QRegularExpression(QStringLiteral("[^0-9]")));
        EXPECT_EQ(sDigits.toStdString(), c.pszDigits) << comrt::ToUtf8(Figures[c.nIndex]);
    }
}

TEST_F(Pack1Pages, PollPageWritesBothIntervalsAndStopsAtARefusedOne) {
    CSystemPerformanceCheckActivity* pActivity = nullptr;
    CComPtr<IUnknown> pObject = MakeObject(&pActivity);
    CShownPage<CSystemPerformanceCheckActivityPollPropertyPage> Page({pObject});
    EXPECT_EQ(Page.Text(IDC_POLL_POLLINTERVAL), QStringLiteral("20000"));
    EXPECT_EQ(Page.Text(IDC_POLL_MINIMALEVENTINTERVAL), QStringLiteral("900000"));
    Page.Picture(QStringLiteral("poll"));
    Page.SetText(IDC_POLL_POLLINTERVAL, QStringLiteral("1000"));
    Page.SetText(IDC_POLL_MINIMALEVENTINTERVAL, QStringLiteral("soon"));
    EXPECT_EQ(Page->Apply(), DISP_E_TYPEMISMATCH);
    LONG nValue = 0;
    pActivity->get_PollInterval(&nValue);
    EXPECT_EQ(nValue, 1000);
    pActivity->get_MinimalEventInterval(&nValue);
    EXPECT_EQ(nValue, 900000);
    Page.SetText(IDC_POLL_MINIMALEVENTINTERVAL, QStringLiteral("60000"));
    EXPECT_EQ(Page->Apply(), S_OK);
    pActivity->get_MinimalEventInterval(&nValue);
    EXPECT_EQ(nValue, 60000);
}

// The connection page

class SmtpPages : public Pack1Pages {
protected:
    CComPtr<IUnknown> MakeNotification(const char16_t* pszMethods) {
        CComPtr<IUnknown> pObject = MakeObject(&m_pNotification);
        EXPECT_EQ(m_pNotification->put_ServerHost(CBstr(u"mail.example.org")), S_OK);
        EXPECT_EQ(m_pNotification->put_ServerPort(587), S_OK);
        EXPECT_EQ(m_pNotification->put_Sender(CBstr(u"harkwell@example.org")), S_OK);
        EXPECT_EQ(m_pNotification->put_ToRecipients(CBstr(u"ops@example.org")), S_OK);
        EXPECT_EQ(m_pNotification->put_AuthenticationMethods(CBstr(pszMethods)), S_OK);
        EXPECT_EQ(m_pNotification->put_AuthenticationName(CBstr(u"harkwell")), S_OK);
        EXPECT_EQ(m_pNotification->put_AuthenticationPassword(CBstr(u"secret")), S_OK);
        return pObject;
    }
    std::u16string Get(HRESULT (CSmtpNotification::*pGet)(BSTR*)) {
        BSTR s = nullptr;
        EXPECT_EQ((m_pNotification->*pGet)(&s), S_OK);
        return Text(s);
    }
    CSmtpNotification* m_pNotification = nullptr;
};

TEST_F(SmtpPages, StoredMethodsChooseTheAuthenticationShown) {
    const struct {
        const char16_t* pszMethods;
        LONG nChoice;
        const char* pszShown;
    } kCases[] = {
        {u"CRAM-MD5", pack1ui::AUTHENTICATION_DIGEST, "Digest authentication"},
        {u"login", pack1ui::AUTHENTICATION_PLAIN, "Plain text authentication"},
        {u"LOGIN,Cram-Md5", pack1ui::AUTHENTICATION_DIGEST_OR_PLAIN, "Digest or plain text authentication"},
        {u"", pack1ui::AUTHENTICATION_NONE, "No authentication"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(pack1ui::ChoiceOfMethods(c.pszMethods), c.nChoice);
        CShownPage<CConnectionPropertyPage> Page({MakeNotification(c.pszMethods)});
        EXPECT_EQ(Page.Item<QComboBox>(IDC_CONNECTION_AUTHENTICATIONMETHODS)->currentText().toStdString(), c.pszShown);
        EXPECT_EQ(Page.Item(IDC_CONNECTION_AUTHENTICATIONNAME)->isEnabled(), c.nChoice != pack1ui::AUTHENTICATION_NONE);
        EXPECT_EQ(Page.Item(IDC_CONNECTION_AUTHENTICATIONPASSWORD)->isEnabled(),
                  c.nChoice != pack1ui::AUTHENTICATION_NONE);
        // The stored password is never shown.
        EXPECT_EQ(Page.Text(IDC_CONNECTION_AUTHENTICATIONPASSWORD), QString());
        EXPECT_FALSE(Page.IsDirty());
    }
    EXPECT_EQ(pack1ui::ChoiceOfMethods(u"plain,xoauth2"), pack1ui::AUTHENTICATION_NONE);
    EXPECT_EQ(pack1ui::MethodsOfChoice(pack1ui::AUTHENTICATION_DIGEST_OR_PLAIN), u"cram-md5,login");
}

TEST_F(SmtpPages, NoAuthenticationDisablesNameAndPasswordAndWritesAnEmptyMethodList) {
    CShownPage<CConnectionPropertyPage> Page({MakeNotification(u"login")});
    Page.Picture(QStringLiteral("smtp-connection"));
    auto* pCombo = Page.Item<QComboBox>(IDC_CONNECTION_AUTHENTICATIONMETHODS);
    Page.SetText(IDC_CONNECTION_AUTHENTICATIONNAME, QStringLiteral("someone"));
    pCombo->setCurrentIndex(0);
    Q_EMIT pCombo->activated(0);
    EXPECT_TRUE(Page.IsDirty());
    for (int nId : {IDC_CONNECTION_AUTHENTICATIONNAME_TITLE, IDC_CONNECTION_AUTHENTICATIONNAME,
                    IDC_CONNECTION_AUTHENTICATIONPASSWORD_TITLE, IDC_CONNECTION_AUTHENTICATIONPASSWORD})
        EXPECT_FALSE(Page.Item(nId)->isEnabled()) << nId;
    EXPECT_EQ(Page->Apply(), S_OK);
    EXPECT_EQ(Get(&CSmtpNotification::get_AuthenticationMethods), u"");
    EXPECT_EQ(Get(&CSmtpNotification::get_AuthenticationName), u"someone");
    EXPECT_EQ(Get(&CSmtpNotification::get_AuthenticationPassword), u"secret");

    pCombo->setCurrentIndex(3);
    Q_EMIT pCombo->activated(3);
    EXPECT_TRUE(Page.Item(IDC_CONNECTION_AUTHENTICATIONPASSWORD)->isEnabled());
    EXPECT_EQ(Page->Apply(), S_OK);
    EXPECT_EQ(Get(&CSmtpNotification::get_AuthenticationMethods), u"cram-md5,login");
}

TEST_F(SmtpPages, AnUntouchedPasswordIsKeptAndAClearedOneStoredEmpty) {
    CShownPage<CConnectionPropertyPage> Page({MakeNotification(u"login")});
    Page.SetText(IDC_CONNECTION_SENDER, QStringLiteral("other@example.org"));
    EXPECT_EQ(Page->Apply(), S_OK);
    EXPECT_EQ(Get(&CSmtpNotification::get_Sender), u"other@example.org");
    EXPECT_EQ(Get(&CSmtpNotification::get_AuthenticationPassword), u"secret");

    auto* pPassword = Page.Item<QLineEdit>(IDC_CONNECTION_AUTHENTICATIONPASSWORD);
    EXPECT_EQ(pPassword->echoMode(), QLineEdit::Password);
    QTest::keyClicks(pPassword, QStringLiteral("x"));
    QTest::keyClick(pPassword, Qt::Key_Backspace);
    EXPECT_EQ(Page->Apply(), S_OK);
    EXPECT_EQ(Get(&CSmtpNotification::get_AuthenticationPassword), u"");

    QTest::keyClicks(pPassword, QStringLiteral("n3w"));
    EXPECT_EQ(Page->Apply(), S_OK);
    EXPECT_EQ(Get(&CSmtpNotification::get_AuthenticationPassword), u"n3w");
}

TEST_F(SmtpPages, APortWithoutDigitsFailsApplyAndTheObjectRefusesOneOutOfRange) {
    const struct {
        const char* pszPort;
        HRESULT hr;
        LONG nStored;
    } kCases[] = {
        {"abc", HRESULT_FROM_WIN32(ERROR_INVALID_DATA), 587},
        {"", HRESULT_FROM_WIN32(ERROR_INVALID_DATA), 587},
        {"0", E_INVALIDARG, 587},
        {"65536", E_INVALIDARG, 587},
        {"-25", E_INVALIDARG, 587},
        {"99999999999999", E_INVALIDARG, 587},
        {"2525x", S_OK, 2525},
        {"65535", S_OK, 65535},
    };
    CShownPage<CConnectionPropertyPage> Page({MakeNotification(u"")});
    EXPECT_EQ(Page.Text(IDC_CONNECTION_SERVERPORT), QStringLiteral("587"));
    for (const auto& c : kCases) {
        Page.SetText(IDC_CONNECTION_SERVERHOST, QStringLiteral("host-") + QString::fromUtf8(c.pszPort));
        Page.SetText(IDC_CONNECTION_SERVERPORT, QString::fromUtf8(c.pszPort));
        Page.SetText(IDC_CONNECTION_SENDER, QStringLiteral("sender-") + QString::fromUtf8(c.pszPort));
        EXPECT_EQ(Page->Apply(), c.hr) << c.pszPort;
        EXPECT_EQ(Page.IsDirty(), FAILED(c.hr)) << c.pszPort;
        LONG nPort = 0;
        m_pNotification->get_ServerPort(&nPort);
        EXPECT_EQ(nPort, c.nStored) << c.pszPort;
        // The host before the port is written, the sender after it only when the port was taken.
        EXPECT_EQ(Get(&CSmtpNotification::get_ServerHost), u"host-" + comrt::ToUtf16(c.pszPort));
        EXPECT_EQ(Get(&CSmtpNotification::get_Sender) == u"sender-" + comrt::ToUtf16(c.pszPort), SUCCEEDED(c.hr));
    }
}

TEST_F(SmtpPages, ThePagesRefuseTwoObjectsAndObjectsWithoutDispatch) {
    EXPECT_EQ(static_cast<unsigned>(E_CONNECTION_PAGE_SINGLE_OBJECT), 0xA7650095u);
    EXPECT_EQ(static_cast<unsigned>(E_TEMPLATE_PAGE_SINGLE_OBJECT), 0xA765013Cu);
    const std::vector<CComPtr<IUnknown>> Two{MakeNotification(u""), MakeNotification(u"")};
    const std::vector<CComPtr<IUnknown>> Plain{MakeObject<CPlainObject>()};
    {
        std::unique_ptr<CShownPage<CConnectionPropertyPage>> pPage;
        EXPECT_TRUE(ErrorBoxOf([&] {
                        pPage = std::make_unique<CShownPage<CConnectionPropertyPage>>(Two);
                    }).startsWith(MessageOf(E_CONNECTION_PAGE_SINGLE_OBJECT)));
        EXPECT_EQ((*pPage)->GetInitializationResult(), E_CONNECTION_PAGE_SINGLE_OBJECT);
        EXPECT_FALSE(pPage->Item(IDC_CONNECTION_SERVERHOST)->isEnabled());
        pPage = nullptr;
        ErrorBoxOf([&] { pPage = std::make_unique<CShownPage<CConnectionPropertyPage>>(Plain); });
        EXPECT_EQ((*pPage)->GetInitializationResult(), E_NOINTERFACE);
    }
    {
        std::unique_ptr<CShownPage<CTemplatePropertyPage>> pPage;
        EXPECT_TRUE(ErrorBoxOf([&] {
                        pPage = std::make_unique<CShownPage<CTemplatePropertyPage>>(Two);
                    }).startsWith(MessageOf(E_TEMPLATE_PAGE_SINGLE_OBJECT)));
        EXPECT_EQ((*pPage)->GetInitializationResult(), E_TEMPLATE_PAGE_SINGLE_OBJECT);
        pPage = nullptr;
        ErrorBoxOf([&] { pPage = std::make_unique<CShownPage<CTemplatePropertyPage>>(Plain); });
        EXPECT_EQ((*pPage)->GetInitializationResult(), E_NOINTERFACE);
    }
}

TEST_F(SmtpPages, SecurityAndTheCertificateCheckAreShownAndWritten) {
    CComPtr<IUnknown> pObject = MakeNotification(u"login");
    ASSERT_EQ(m_pNotification->put_Security(2), S_OK);
    ASSERT_EQ(m_pNotification->put_VerifyServerCertificate(VARIANT_FALSE), S_OK);
    CShownPage<CConnectionPropertyPage> Page({pObject});
    auto* pSecurity = Page.Item<QComboBox>(IDC_CONNECTION_SECURITY);
    auto* pVerify = Page.Item<QCheckBox>(IDC_CONNECTION_VERIFYSERVERCERTIFICATE);
    ASSERT_NE(pVerify, nullptr);
    EXPECT_EQ(pSecurity->currentText(), QStringLiteral("STARTTLS required"));
    EXPECT_FALSE(pVerify->isChecked());
    EXPECT_TRUE(pVerify->isEnabled());
    QTest::mouseClick(pVerify, Qt::LeftButton);
    EXPECT_TRUE(Page.IsDirty());
    pSecurity->setCurrentIndex(3);
    Q_EMIT pSecurity->activated(3);
    EXPECT_EQ(Page->Apply(), S_OK);
    LONG nSecurity = 0;
    m_pNotification->get_Security(&nSecurity);
    EXPECT_EQ(nSecurity, 3);
    VARIANT_BOOL bVerify = VARIANT_FALSE;
    m_pNotification->get_VerifyServerCertificate(&bVerify);
    EXPECT_EQ(bVerify, VARIANT_TRUE);
    // No encryption: nothing to verify.
    pSecurity->setCurrentIndex(0);
    Q_EMIT pSecurity->activated(0);
    EXPECT_FALSE(pVerify->isEnabled());
}

TEST_F(SmtpPages, TemplatePageLoadsAndWritesSubjectAndBody) {
    CComPtr<IUnknown> pObject = MakeNotification(u"");
    ASSERT_EQ(m_pNotification->put_Subject(CBstr(u"[harkwell] $(Subject)")), S_OK);
    const std::u16string sDefaultBody = Get(&CSmtpNotification::get_Body);
    ASSERT_NE(sDefaultBody.find(u"\r\n"), std::u16string::npos);
    CShownPage<CTemplatePropertyPage> Page({pObject});
    EXPECT_EQ(Page.m_sTitle, QStringLiteral("Message Template"));
    EXPECT_EQ(Page.Text(IDC_TEMPLATE_SUBJECT), QStringLiteral("[harkwell] $(Subject)"));
    Page.Picture(QStringLiteral("smtp-template"));
    // Only the subject changed: the body goes back as it was, its CR LF line breaks kept.
    Page.SetText(IDC_TEMPLATE_SUBJECT, QStringLiteral("Alert: $(Subject)"));
    EXPECT_EQ(Page->Apply(), S_OK);
    EXPECT_EQ(Get(&CSmtpNotification::get_Subject), u"Alert: $(Subject)");
    EXPECT_EQ(Get(&CSmtpNotification::get_Body), sDefaultBody);
    Page.SetText(IDC_TEMPLATE_BODY, QStringLiteral("Line one\nLine two: $(Body)"));
    EXPECT_EQ(Page->Apply(), S_OK);
    EXPECT_EQ(Get(&CSmtpNotification::get_Body), u"Line one\r\nLine two: $(Body)");
}

}  // namespace

namespace {

// The page classes served by this program, as the frame makes them by class identifier.
class CRegisteredPages {
public:
    CRegisteredPages() {
        Register<CSystemPerformanceCheckActivityThresholdsPropertyPage>(
            CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage);
        Register<CSystemPerformanceCheckActivityCurrentPropertyPage>(
            CLSID_CSystemPerformanceCheckActivityCurrentPropertyPage);
        Register<CSystemPerformanceCheckActivityPollPropertyPage>(
            CLSID_CSystemPerformanceCheckActivityPollPropertyPage);
    }
    ~CRegisteredPages() {
        for (DWORD nCookie : m_Cookies) CoRevokeClassObject(nCookie);
    }
    CRegisteredPages(const CRegisteredPages&) = delete;
    CRegisteredPages& operator=(const CRegisteredPages&) = delete;

private:
    template <class T>
    void Register(REFCLSID clsid) {
        CComPtr<IUnknown> pFactory;
        EXPECT_EQ(CClassFactory::Create(&CreateObjectT<T>, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory)),
                  S_OK);
        DWORD nCookie = 0;
        EXPECT_EQ(CoRegisterClassObject(clsid, pFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &nCookie), S_OK);
        m_Cookies.push_back(nCookie);
    }
    std::vector<DWORD> m_Cookies;
};

}  // namespace

TEST_F(Pack1Pages, TheFrameOnASystemPerformanceActivityShowsItsThreePagesInOrderAndAppliesTheDirtyOne) {
    CRegisteredPages Pages;
    CSystemPerformanceCheckActivity* pActivity = nullptr;
    CComPtr<IUnknown> pObject = MakeObject(&pActivity);
    corvane::COlePropertyFrameDialog Frame(pObject, u"System Performance");
    QStringList Tabs;
    OnNextModal([&](QWidget* pFrame) {
        auto* pTabs = Control<QTabWidget>(pFrame, 12320);
        for (int i = 0; i < pTabs->count(); ++i) Tabs << pTabs->tabText(i);
        corvanetest::SavePicture(pFrame, QStringLiteral("pack1-frame-system-performance") + ScaleSuffix());
        pTabs->setCurrentIndex(2);
        auto* pPoll = Control<QLineEdit>(pTabs->widget(2), IDC_POLL_POLLINTERVAL);
        pPoll->selectAll();
        QTest::keyClicks(pPoll, QStringLiteral("45000"));
        QTest::mouseClick(Control<QPushButton>(pFrame, IDOK), Qt::LeftButton);
    });
    EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
    EXPECT_EQ(Tabs, (QStringList{QStringLiteral("Thresholds"), QStringLiteral("Current"), QStringLiteral("Poll")}));
    LONG nPollInterval = 0;
    pActivity->get_PollInterval(&nPollInterval);
    EXPECT_EQ(nPollInterval, 45000);
}

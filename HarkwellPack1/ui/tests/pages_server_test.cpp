// The plug-in's pages on the objects of a scenario that live in the server process, reached over a session
// bus of the test's own: the property frame makes its pages by class identifier from the registered
// companion library, Apply changes the server's objects, and the change survives a restart of the server. A
// page whose server went away fails its Apply with the error and stays dirty.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "ActivityPropertyPages.h"
#include "CtlServerTest.h"
#include "HarkwellServer/ServerInterfaces.h"
#include "QtTestSupport.h"
#include "SmtpPropertyPages.h"
#include "corvane/ulpropertypage.h"

namespace {

using corvanetest::Control;
using corvanetest::OnNextModal;

constexpr int IDC_FRAME_TABS = 12320;
constexpr int IDC_FRAME_APPLY = 12321;

class Pack1PagesOverTheBus : public testing_support::CCtlServerTest {
protected:
    void SetUp() override {
        CCtlServerTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        m_bInitialized = true;
    }
    void TearDown() override {
        m_pActivity.Release();
        m_pNotification.Release();
        if (m_bInitialized) CoUninitialize();
        CCtlServerTest::TearDown();
    }

    // The first scenario's activity and notification, as proxies of the server's objects.
    void ReachScenario() {
        CComPtr<IApplication> pApplication;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_LOCAL_SERVER, IidOf<IApplication>(),
                                         reinterpret_cast<void**>(&pApplication)));
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, pApplication->get_Manager(&pManager));
        CComPtr<IScenarios> pScenarios;
        ASSERT_EQ(S_OK, pManager->get_Scenarios(&pScenarios));
        VARIANT vIndex;
        VariantInit(&vIndex);
        vIndex.vt = VT_I4;
        vIndex.lVal = 0;
        CComPtr<IScenario> pScenario;
        ASSERT_EQ(S_OK, pScenarios->get_Item(vIndex, &pScenario));
        ASSERT_EQ(S_OK, pScenario->get_Activity(&m_pActivity));
        CComPtr<INotifications> pNotifications;
        ASSERT_EQ(S_OK, pScenario->get_Notifications(&pNotifications));
        ASSERT_EQ(S_OK, pNotifications->get_Item(vIndex, &m_pNotification));
    }

    // Opens the frame on pObject; Edit gets the first page, then Apply and OK are clicked.
    QStringList EditInFrame(IUnknown* pObject, const std::function<void(QWidget* pPage)>& Edit) {
        corvane::COlePropertyFrameDialog Frame(pObject, u"Scenario");
        QStringList Tabs;
        OnNextModal([&](QWidget* pFrame) {
            auto* pTabs = Control<QTabWidget>(pFrame, IDC_FRAME_TABS);
            for (int i = 0; i < pTabs->count(); ++i) Tabs << pTabs->tabText(i);
            Edit(pTabs->widget(0));
            QTest::mouseClick(Control<QPushButton>(pFrame, IDC_FRAME_APPLY), Qt::LeftButton);
            EXPECT_FALSE(Control<QPushButton>(pFrame, IDC_FRAME_APPLY)->isEnabled());
            QTest::mouseClick(Control<QPushButton>(pFrame, IDOK), Qt::LeftButton);
        });
        EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
        return Tabs;
    }

    static void Type(QWidget* pPage, int nId, const QString& sText) {
        auto* pEdit = Control<QLineEdit>(pPage, nId);
        ASSERT_NE(pEdit, nullptr) << nId;
        pEdit->selectAll();
        QTest::keyClicks(pEdit, sText);
    }

    bool m_bInitialized = false;
    CComPtr<IActivity> m_pActivity;
    CComPtr<INotification> m_pNotification;
};

}  // namespace

TEST_F(Pack1PagesOverTheBus, ApplyChangesTheServersObjectsAndTheChangeSurvivesARestart) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    const auto Created = Ctl({"create", "--activity", "CPingActivity.CPingActivity", "--set", "Host=127.0.0.1", "--set",
                              "Interval=3600000", "--notification", "CSmtpNotification.CSmtpNotification", "--set",
                              "ServerHost=mail.example.org", "--set", "AuthenticationMethods=login", "--set",
                              "AuthenticationPassword=kept"});
    ASSERT_EQ(0, Created.nExitCode) << Created.sOutput;
    ASSERT_NO_FATAL_FAILURE(ReachScenario());

    const QStringList ActivityTabs = EditInFrame(m_pActivity, [](QWidget* pPage) {
        EXPECT_EQ(Control<QLineEdit>(pPage, IDC_PING_HOST)->text(), QStringLiteral("127.0.0.1"));
        Type(pPage, IDC_PING_HOST, QStringLiteral("127.0.0.2"));
        Type(pPage, IDC_PING_INTERVAL, QStringLiteral("1800000"));
    });
    EXPECT_EQ(ActivityTabs, QStringList{QStringLiteral("General")});
    const QStringList NotificationTabs = EditInFrame(m_pNotification, [](QWidget* pPage) {
        EXPECT_EQ(Control<QLineEdit>(pPage, IDC_CONNECTION_SERVERHOST)->text(), QStringLiteral("mail.example.org"));
        // The password cannot even be read over the bus; the page shows none.
        EXPECT_EQ(Control<QLineEdit>(pPage, IDC_CONNECTION_AUTHENTICATIONPASSWORD)->text(), QString());
        Type(pPage, IDC_CONNECTION_SERVERPORT, QStringLiteral("2525"));
        Type(pPage, IDC_CONNECTION_TORECIPIENTS, QStringLiteral("ops@example.org"));
    });
    EXPECT_EQ(NotificationTabs, (QStringList{QStringLiteral("SMTP Connection"), QStringLiteral("Message Template")}));
    m_pActivity.Release();
    m_pNotification.Release();

    ASSERT_NO_FATAL_FAILURE(StopServer());
    ASSERT_NO_FATAL_FAILURE(StartServer());
    const auto Shown = Ctl({"show", "0"});
    ASSERT_EQ(0, Shown.nExitCode) << Shown.sOutput;
    for (const char* pszExpected : {"127.0.0.2", "1800000", "2525", "ops@example.org", "login"})
        EXPECT_NE(std::string::npos, Shown.sOutput.find(pszExpected)) << pszExpected << "\n" << Shown.sOutput;
}

TEST_F(Pack1PagesOverTheBus, APageWhoseServerWentAwayFailsItsApplyAndStaysDirty) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_EQ(0, Ctl({"create", "--activity", "CPingActivity.CPingActivity", "--notification",
                      "CSmtpNotification.CSmtpNotification"})
                     .nExitCode);
    ASSERT_NO_FATAL_FAILURE(ReachScenario());
    // The page as the frame makes it: by class identifier, from the registered companion library.
    CComPtr<IPropertyPage> pPage;
    ASSERT_EQ(S_OK, pPage.CoCreateInstance(CLSID_CPingActivityGeneralPropertyPage, nullptr, CLSCTX_INPROC_SERVER));
    IUnknown* Objects[] = {m_pActivity};
    ASSERT_EQ(S_OK, pPage->SetObjects(1, Objects));
    QWidget Parent;
    const RECT Rect{0, 0, 400, 300};
    ASSERT_EQ(S_OK, pPage->Activate(HandleFromWidget(&Parent), &Rect, TRUE));
    auto* pHost = Parent.findChild<QLineEdit*>(QString::number(IDC_PING_HOST));
    ASSERT_NE(pHost, nullptr);
    QTest::keyClicks(pHost, QStringLiteral("x"));
    EXPECT_EQ(S_OK, pPage->IsPageDirty());

    ASSERT_NO_FATAL_FAILURE(StopServer());
    const HRESULT hr = pPage->Apply();
    EXPECT_EQ(RPC_E_DISCONNECTED, hr) << std::hex << hr;
    EXPECT_EQ(S_OK, pPage->IsPageDirty());
    EXPECT_EQ(S_OK, pPage->Deactivate());
}

TEST_F(Pack1PagesOverTheBus, TheCurrentPageShowsTheServersFiguresThroughTheProxy) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_EQ(0, Ctl({"create", "--activity", "CSystemPerformanceCheckActivity.CSyst", "--notification",
                      "CSmtpNotification.CSmtpNotification"})
                     .nExitCode);
    ASSERT_NO_FATAL_FAILURE(ReachScenario());
    // The figures are a property of type VARIANT: over the bus its value is a variant inside the variant
    // that a property read answers, which harkwellctl reads as well.
    const auto Shown = Ctl({"show", "0"});
    EXPECT_EQ(std::string::npos, Shown.sOutput.find("PerformanceInformation = (0x")) << Shown.sOutput;
    CComPtr<IPropertyPage> pPage;
    ASSERT_EQ(S_OK, pPage.CoCreateInstance(CLSID_CSystemPerformanceCheckActivityCurrentPropertyPage, nullptr,
                                           CLSCTX_INPROC_SERVER));
    IUnknown* Objects[] = {m_pActivity};
    ASSERT_EQ(S_OK, pPage->SetObjects(1, Objects));
    QWidget Parent;
    const RECT Rect{0, 0, 400, 300};
    ASSERT_EQ(S_OK, pPage->Activate(HandleFromWidget(&Parent), &Rect, TRUE));
    // The process count as the server's record has it: a number, at least this process and the server.
    auto* pProcesses = Parent.findChild<QLineEdit*>(QString::number(IDC_CURRENT_FIRST + 4));
    ASSERT_NE(pProcesses, nullptr);
    QString sDigits = pProcesses->text();
    sDigits.remove(QLatin1Char(',')).remove(QLatin1Char('.')).remove(QChar(0x00A0));
    bool bNumber = false;
    EXPECT_GE(sDigits.toLongLong(&bNumber), 2) << pProcesses->text().toStdString();
    EXPECT_TRUE(bNumber) << pProcesses->text().toStdString();
    EXPECT_EQ(S_OK, pPage->Deactivate());
    pPage.Release();
    ASSERT_NO_FATAL_FAILURE(StopServer());
}

// The Create Scenario wizard, headless, by control identifier, on a real scenario collection: the classes it
// offers are registered in their categories in a private store and served in process.
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QWizard>

#include "CreateScenarioWizard.h"
#include "Manager.h"
#include "ManagerClient.h"
#include "Pack1Ids.h"
#include "QtTestSupport.h"
#include "ScenarioTestObjects.h"
#include "ServerPages.h"
#include "TestEnvironment.h"
#include "corvane/ulregistry.h"

namespace {

using corvanetest::ClickAndAnswer;
using corvanetest::Control;
using corvanetest::OnNextModal;

// The pictures of a run under QT_SCALE_FACTOR=2 get names of their own.
void SavePicture(QWidget* pWindow, const QString& sName) {
    const char* pszScale = std::getenv("QT_SCALE_FACTOR");
    const bool bDouble = pszScale != nullptr && std::string(pszScale) == "2";
    corvanetest::SavePicture(pWindow, sName + (bDouble ? QStringLiteral("-200") : QString()));
}

constexpr CLSID CLSID_SilentActivity = MakeGuid("{6A0C1D52-3F7E-4B8A-9C11-2D5E7F901A11}");
constexpr CLSID CLSID_BrokenActivity = MakeGuid("{6A0C1D52-3F7E-4B8A-9C11-2D5E7F901A12}");

// An activity without events: a scenario cannot subscribe to it, so setting it fails.
class CSilentActivity : public comrt::IDispatchImplT<IActivity> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IActivity>, InterfaceEntry<IDispatch, IActivity>>;
    HRESULT get_Title(BSTR* psTitle) override { return *psTitle = SysAllocString(u"Silent"), S_OK; }
    HRESULT Start() override { return S_OK; }
    HRESULT Stop() override { return S_OK; }
};

HRESULT CreateBroken(REFIID, void** ppv) {
    *ppv = nullptr;
    return E_OUTOFMEMORY;
}

class Wizard : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CScenariosObject* pScenarios = nullptr;
        ASSERT_EQ(CScenariosObject::CreateInstance(&pScenarios), S_OK);
        m_pScenarios.Attach(static_cast<IScenarios*>(pScenarios));
        Serve(CLSID_SilentActivity, &CreateObjectT<CSilentActivity>);
        Serve(CLSID_BrokenActivity, &CreateBroken);
    }
    void TearDown() override {
        for (DWORD nCookie : m_Cookies) CoRevokeClassObject(nCookie);
        m_pScenarios.Release();
        CoUninitialize();
    }
    void Serve(const CLSID& Class, ObjectCreator pfnCreate) {
        CComPtr<IUnknown> pFactory;
        ASSERT_EQ(CClassFactory::Create(pfnCreate, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory)), S_OK);
        DWORD nCookie = 0;
        ASSERT_EQ(CoRegisterClassObject(Class, pFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &nCookie), S_OK);
        m_Cookies.push_back(nCookie);
    }
    static void RegisterInCategory(const CLSID& Class, const GUID& Category, const char16_t* pszName) {
        CRegKey Key;
        ASSERT_EQ(Key.Create(HKEY_CLASSES_ROOT, u"CLSID\\" + corvane::GuidText(Class)), ERROR_SUCCESS);
        ASSERT_EQ(Key.SetStringValue(u"", pszName), ERROR_SUCCESS);
        CRegKey CategoryKey;
        ASSERT_EQ(
            CategoryKey.Create(HKEY_CLASSES_ROOT, u"CLSID\\" + corvane::GuidText(Class) +
                                                      u"\\Implemented Categories\\" + corvane::GuidText(Category)),
            ERROR_SUCCESS);
    }
    static void RegisterTheClasses() {
        RegisterInCategory(CLSID_FakeActivity, CATID_CorvaneHarkwellActivities, u"Fake Activity");
        RegisterInCategory(CLSID_SilentActivity, CATID_CorvaneHarkwellActivities, u"Silent Activity");
        RegisterInCategory(CLSID_BrokenActivity, CATID_CorvaneHarkwellActivities, u"Broken Activity");
        RegisterInCategory(CLSID_FakeNotification, CATID_CorvaneHarkwellNotifications, u"Fake Notification");
    }
    static void Remember(DWORD nSkip) {
        CRegKey Key;
        ASSERT_EQ(Key.Create(HKEY_CURRENT_USER, kConfirmationsKeyPath), ERROR_SUCCESS);
        ASSERT_EQ(Key.SetDWORDValue(kSkipIntroductionValueName, nSkip), ERROR_SUCCESS);
    }
    static DWORD Remembered() {
        CRegKey Key;
        DWORD nSkip = 99;
        if (Key.Open(HKEY_CURRENT_USER, kConfirmationsKeyPath, KEY_READ) == ERROR_SUCCESS)
            Key.QueryDWORDValue(kSkipIntroductionValueName, nSkip);
        return nSkip;
    }
    LONG ScenarioCount() const {
        LONG nCount = -1;
        EXPECT_EQ(m_pScenarios->get_Count(&nCount), S_OK);
        return nCount;
    }
    // Runs the wizard with Action on it; the wizard's answer.
    int Run(CCreateScenarioWizard& Sheet, const std::function<void(QWizard*)>& Action) {
        OnNextModal([&](QWidget* pWindow) {
            auto* pWizard = qobject_cast<QWizard*>(pWindow);
            ASSERT_NE(pWizard, nullptr);
            Action(pWizard);
            if (pWizard->isVisible()) static_cast<QDialog*>(pWizard)->done(QDialog::Rejected);
        });
        return Sheet.DoModal(nullptr);
    }
    static QPushButton* Button(QWizard* pWizard, int nId) { return Control<QPushButton>(pWizard, nId); }
    static void Next(QWizard* pWizard) { QTest::mouseClick(Button(pWizard, IDC_WIZARD_NEXT), Qt::LeftButton); }
    static QTreeWidget* List(QWizard* pWizard, int nId) { return Control<QTreeWidget>(pWizard->currentPage(), nId); }
    static void Select(QWizard* pWizard, int nList, const QString& sText) {
        QTreeWidget* pList = List(pWizard, nList);
        pList->clearSelection();
        const auto Items = pList->findItems(sText, Qt::MatchExactly, 0);
        ASSERT_EQ(Items.size(), 1) << sText.toStdString();
        Items.front()->setSelected(true);
    }

    testing_support::CTemporaryRegistry m_Registry;
    CFakeClassRegistrations m_FakeClasses;
    CServerPageClassObjects m_PageClasses;
    std::vector<DWORD> m_Cookies;
    CComPtr<IScenarios> m_pScenarios;
};

TEST_F(Wizard, RememberedSkipOpensOnTheActivityPageAndBackShowsTheIntroduction) {
    RegisterTheClasses();
    Remember(1);
    CCreateScenarioWizard Sheet(m_pScenarios);
    Run(Sheet, [&](QWizard* pWizard) {
        EXPECT_EQ(pWizard->windowTitle(), QStringLiteral("Create Scenario Wizard"));
        EXPECT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_ACTIVITY));
        EXPECT_EQ(pWizard->currentPage()->title(), QStringLiteral("Activity Selection"));
        EXPECT_EQ(pWizard->currentPage()->subTitle(), QStringLiteral("Select activity to be notified on"));
        QTest::mouseClick(Button(pWizard, IDC_WIZARD_BACK), Qt::LeftButton);
        EXPECT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_INTRODUCTION));
        EXPECT_TRUE(Control<QCheckBox>(pWizard->currentPage(), IDC_INTRODUCTION_SKIP)->isChecked());
        EXPECT_TRUE(Control<QLabel>(pWizard->currentPage(), IDC_INTRODUCTION_TITLE)->font().bold());
        SavePicture(pWizard, QStringLiteral("wizard-introduction"));
        // Unchecked and on: remembered as 0.
        Control<QCheckBox>(pWizard->currentPage(), IDC_INTRODUCTION_SKIP)->setChecked(false);
        Next(pWizard);
        EXPECT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_ACTIVITY));
    });
    EXPECT_EQ(Remembered(), 0u);
    EXPECT_FALSE(Sheet.GetScenario());
}

TEST_F(Wizard, CreatesTheScenarioWithTheSameNotificationClassTwice) {
    RegisterTheClasses();
    CCreateScenarioWizard Sheet(m_pScenarios);
    const int nResult = Run(Sheet, [&](QWizard* pWizard) {
        EXPECT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_INTRODUCTION));
        Next(pWizard);
        ASSERT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_ACTIVITY));
        QTreeWidget* pActivities = List(pWizard, IDC_ACTIVITY_LIST);
        ASSERT_EQ(pActivities->topLevelItemCount(), 3);
        EXPECT_EQ(pActivities->headerItem()->text(1), QStringLiteral("Class Identifier"));
        // Without a selection there is no way on.
        EXPECT_FALSE(Button(pWizard, IDC_WIZARD_NEXT)->isEnabled());
        Next(pWizard);
        EXPECT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_ACTIVITY));
        Select(pWizard, IDC_ACTIVITY_LIST, QStringLiteral("Fake Activity"));
        EXPECT_TRUE(Button(pWizard, IDC_WIZARD_NEXT)->isEnabled());
        EXPECT_EQ(pActivities->selectedItems().front()->text(1),
                  QString::fromStdU16String(corvane::GuidText(CLSID_FakeActivity)));
        SavePicture(pWizard, QStringLiteral("wizard-activity"));
        Next(pWizard);
        ASSERT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_NOTIFICATIONS));
        EXPECT_FALSE(Button(pWizard, IDC_WIZARD_NEXT)->isEnabled());
        Select(pWizard, IDC_NOTIFICATIONS_AVAILABLE, QStringLiteral("Fake Notification"));
        for (int i = 0; i < 2; ++i)
            QTest::mouseClick(Control<QPushButton>(pWizard->currentPage(), IDC_NOTIFICATIONS_ADD), Qt::LeftButton);
        QTreeWidget* pChosen = List(pWizard, IDC_NOTIFICATIONS_CHOSEN);
        ASSERT_EQ(pChosen->topLevelItemCount(), 2);
        EXPECT_EQ(pChosen->topLevelItem(1)->text(0), QStringLiteral("Fake Notification"));
        EXPECT_EQ(pChosen->topLevelItem(1)->toolTip(0),
                  QStringLiteral("Notification: Fake Notification\r\nTitle: Fake Notification\r\nClass: ") +
                      QString::fromStdU16String(corvane::GuidText(CLSID_FakeNotification)) + QStringLiteral("\r\n"));
        // The last one added is the one selected; without pages it has no Properties.
        EXPECT_TRUE(pChosen->topLevelItem(1)->isSelected());
        EXPECT_FALSE(pChosen->topLevelItem(0)->isSelected());
        EXPECT_FALSE(Control<QPushButton>(pWizard->currentPage(), IDC_NOTIFICATIONS_PROPERTIES)->isEnabled());
        EXPECT_TRUE(Button(pWizard, IDC_WIZARD_NEXT)->isEnabled());
        SavePicture(pWizard, QStringLiteral("wizard-notifications"));
        EXPECT_EQ(ScenarioCount(), 0);
        Next(pWizard);
        ASSERT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_COMPLETION));
        EXPECT_FALSE(Control<QLabel>(pWizard->currentPage(), IDC_COMPLETION_ICON)->pixmap().isNull());
        SavePicture(pWizard, QStringLiteral("wizard-completion"));
        QTest::mouseClick(Button(pWizard, IDC_WIZARD_FINISH), Qt::LeftButton);
    });
    EXPECT_EQ(nResult, IDOK);
    ASSERT_TRUE(Sheet.GetScenario());
    ASSERT_EQ(ScenarioCount(), 1);
    CComPtr<INotifications> pNotifications;
    ASSERT_EQ(Sheet.GetScenario()->get_Notifications(&pNotifications), S_OK);
    LONG nCount = 0;
    EXPECT_EQ(pNotifications->get_Count(&nCount), S_OK);
    EXPECT_EQ(nCount, 2);
    CComPtr<IActivity> pActivity;
    ASSERT_EQ(Sheet.GetScenario()->get_Activity(&pActivity), S_OK);
    ASSERT_TRUE(pActivity);
    EXPECT_EQ(static_cast<CFakeActivity*>(pActivity.p)->GetStartCount(), 1);
    EXPECT_EQ(Remembered(), 0u);
}

TEST_F(Wizard, FailuresLeaveTheCollectionAsItWasAndTheWizardWorking) {
    RegisterTheClasses();
    Remember(1);
    CCreateScenarioWizard Sheet(m_pScenarios);
    Run(Sheet, [&](QWizard* pWizard) {
        // A class that cannot be made: the error, and the page stays.
        Select(pWizard, IDC_ACTIVITY_LIST, QStringLiteral("Broken Activity"));
        QString sError = ClickAndAnswer(Button(pWizard, IDC_WIZARD_NEXT), IDOK);
        EXPECT_TRUE(sError.startsWith(QStringLiteral("Error: "))) << sError.toStdString();
        EXPECT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_ACTIVITY));
        // An activity a scenario cannot take: the scenario added for it is removed again.
        Select(pWizard, IDC_ACTIVITY_LIST, QStringLiteral("Silent Activity"));
        Next(pWizard);
        ASSERT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_NOTIFICATIONS));
        Select(pWizard, IDC_NOTIFICATIONS_AVAILABLE, QStringLiteral("Fake Notification"));
        QTest::mouseClick(Control<QPushButton>(pWizard->currentPage(), IDC_NOTIFICATIONS_ADD), Qt::LeftButton);
        sError = ClickAndAnswer(Button(pWizard, IDC_WIZARD_NEXT), IDOK);
        EXPECT_TRUE(sError.contains(QString::fromStdU16String(FormatSystemMessage(E_NOINTERFACE))))
            << sError.toStdString();
        EXPECT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_NOTIFICATIONS));
        EXPECT_EQ(ScenarioCount(), 0);
        // Removing the only notification leaves no way on.
        QTest::mouseClick(Control<QPushButton>(pWizard->currentPage(), IDC_NOTIFICATIONS_REMOVE), Qt::LeftButton);
        EXPECT_FALSE(Button(pWizard, IDC_WIZARD_NEXT)->isEnabled());
        // Cancel asks; "no" keeps the wizard, "yes" closes it.
        EXPECT_EQ(ClickAndAnswer(Button(pWizard, IDCANCEL), IDNO).toStdString(),
                  "Confirmation: Are you sure to exit from the wizard?");
        EXPECT_TRUE(pWizard->isVisible());
        ClickAndAnswer(Button(pWizard, IDCANCEL), IDYES);
        EXPECT_FALSE(pWizard->isVisible());
    });
    EXPECT_FALSE(Sheet.GetScenario());
    EXPECT_EQ(ScenarioCount(), 0);
}

TEST_F(Wizard, WithoutRegisteredClassesThereIsNothingToChoose) {
    Remember(1);
    CCreateScenarioWizard Sheet(m_pScenarios);
    Run(Sheet, [&](QWizard* pWizard) {
        EXPECT_EQ(List(pWizard, IDC_ACTIVITY_LIST)->topLevelItemCount(), 0);
        EXPECT_FALSE(Button(pWizard, IDC_WIZARD_NEXT)->isEnabled());
        EXPECT_FALSE(Control<QPushButton>(pWizard->currentPage(), IDC_ACTIVITY_PROPERTIES)->isEnabled());
        SavePicture(pWizard, QStringLiteral("wizard-activity-empty"));
    });
    EXPECT_FALSE(Sheet.GetScenario());
}

TEST_F(Wizard, OverThePluginLibraryTheScenarioRunsAndIsThereForTheNextManager) {
    using testing_support::LibraryPath;
    using testing_support::ProgramPath;
    const auto Registered =
        testing_support::RunProgram({ProgramPath("hkregsvr").string(), LibraryPath("HarkwellPack1.so").string()});
    ASSERT_EQ(Registered.nExitCode, 0) << Registered.sOutput;
    Remember(1);
    std::u16string sActivityTitle;
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(testing_support::NewManager(pManager), S_OK);
        CComPtr<IScenarios> pScenarios = testing_support::ScenariosOf(pManager);
        ASSERT_TRUE(pScenarios);
        CCreateScenarioWizard Sheet(pScenarios);
        const auto ChooseClass = [](QWizard* pWizard, int nList, const CLSID& Class) {
            QTreeWidget* pList = List(pWizard, nList);
            const auto Items =
                pList->findItems(QString::fromStdU16String(corvane::GuidText(Class)), Qt::MatchFixedString, 1);
            ASSERT_EQ(Items.size(), 1);
            EXPECT_FALSE(Items.front()->text(0).isEmpty());
            Items.front()->setSelected(true);
        };
        Run(Sheet, [&](QWizard* pWizard) {
            ChooseClass(pWizard, IDC_ACTIVITY_LIST, testing_support::kPingActivity);
            Next(pWizard);
            ChooseClass(pWizard, IDC_NOTIFICATIONS_AVAILABLE, testing_support::kSmtpNotification);
            QTest::mouseClick(Control<QPushButton>(pWizard->currentPage(), IDC_NOTIFICATIONS_ADD), Qt::LeftButton);
            Next(pWizard);
            EXPECT_EQ(pWizard->currentPage()->objectName(), QString::number(IDD_WIZARD_COMPLETION));
            QTest::mouseClick(Button(pWizard, IDC_WIZARD_FINISH), Qt::LeftButton);
        });
        ASSERT_TRUE(Sheet.GetScenario());
        CComPtr<IActivity> pActivity;
        ASSERT_EQ(Sheet.GetScenario()->get_Activity(&pActivity), S_OK);
        BSTR sTitle = nullptr;
        ASSERT_EQ(pActivity->get_Title(&sTitle), S_OK);
        sActivityTitle = Text(sTitle);
        SysFreeString(sTitle);
        EXPECT_FALSE(sActivityTitle.empty());
    }  // the last reference to the manager goes: the list is saved
    CComPtr<IManager> pManager;
    ASSERT_EQ(testing_support::NewManager(pManager), S_OK);
    CComPtr<IScenarios> pScenarios = testing_support::ScenariosOf(pManager);
    LONG nCount = 0;
    ASSERT_EQ(pScenarios->get_Count(&nCount), S_OK);
    ASSERT_EQ(nCount, 1);
    CComPtr<IScenario> pScenario;
    ASSERT_EQ(pScenarios->get_Item(testing_support::IndexVariant(0), &pScenario), S_OK);
    CComPtr<IActivity> pActivity;
    ASSERT_EQ(pScenario->get_Activity(&pActivity), S_OK);
    ASSERT_TRUE(pActivity);
    BSTR sTitle = nullptr;
    ASSERT_EQ(pActivity->get_Title(&sTitle), S_OK);
    EXPECT_EQ(Text(sTitle), sActivityTitle);
    SysFreeString(sTitle);
}

}  // namespace

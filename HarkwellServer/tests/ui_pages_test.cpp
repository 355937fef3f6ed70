// The status, scenarios and scenario pages, headless, by control identifier, in the property frame that
// makes them by class identifier. The application is a stand-in over a real scenario collection, so that
// what a page applies is seen in the collection and failures of the application can be arranged.
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QWizard>

#include "CreateScenarioWizard.h"
#include "Manager.h"
#include "QtTestSupport.h"
#include "ScenarioTestObjects.h"
#include "ServerPages.h"
#include "ServerRegistration.h"
#include "TestEnvironment.h"
#include "comrt/text.h"
#include "corvane/ulpersistmap.h"
#include "corvane/ulregistry.h"

namespace {

using corvanetest::ClickAndAnswer;
using corvanetest::Control;
using corvanetest::OnNextModal;
using corvanetest::SavePicture;

// The application as the pages see it: Enabled, Save, the two pages, and the scenario collection by
// delegation while it has one. Any call can be made to fail, as when the server has gone away.
class CTestApplication final : public comrt::IDispatchImplT<IApplication>, public ISpecifyPropertyPages {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IApplication>, InterfaceEntry<IDispatch, IApplication>,
                                     InterfaceEntry<ISpecifyPropertyPages>>;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IScenarios>() && m_pScenarios) return m_pScenarios->QueryInterface(riid, ppv);
        *ppv = Interfaces::Find(this, riid);
        if (*ppv == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override {
        const ULONG nCount = --m_nReferences;
        if (nCount == 0) delete this;
        return nCount;
    }
    HRESULT Terminate() override { return E_NOTIMPL; }
    HRESULT QueryLastEvent(EVENTTYPE*, BSTR*, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT Save() override {
        ++m_nSaves;
        return m_hrFailure;
    }
    HRESULT get_Enabled(VARIANT_BOOL* pbEnabled) override {
        if (FAILED(m_hrFailure)) return m_hrFailure;
        *pbEnabled = m_bEnabled ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL bEnabled) override {
        m_PutEnabled.push_back(bEnabled != VARIANT_FALSE);
        if (FAILED(m_hrFailure)) return m_hrFailure;
        m_bEnabled = bEnabled != VARIANT_FALSE;
        return S_OK;
    }
    HRESULT get_Manager(IManager** ppManager) override { return *ppManager = nullptr, S_OK; }
    HRESULT GetPages(CAUUID* pPages) override {
        const CLSID kPages[] = {CLSID_CStatusPropertyPage, CLSID_CScenariosPropertyPage};
        pPages->cElems = 2;
        pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(kPages)));
        std::copy(std::begin(kPages), std::end(kPages), pPages->pElems);
        return S_OK;
    }

    bool m_bEnabled = true;
    HRESULT m_hrFailure = S_OK;
    int m_nSaves = 0;
    std::vector<bool> m_PutEnabled;
    CComPtr<IScenarios> m_pScenarios;

private:
    std::atomic<ULONG> m_nReferences{0};
};

class ServerPages : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        m_pClasses = std::make_unique<CServerPageClassObjects>();
        m_pApplication = new CTestApplication;
        m_pApplicationObject = static_cast<IApplication*>(m_pApplication);
        CScenariosObject* pScenarios = nullptr;
        ASSERT_EQ(CScenariosObject::CreateInstance(&pScenarios), S_OK);
        m_pScenarios.Attach(static_cast<IScenarios*>(pScenarios));
        m_pApplication->m_pScenarios = m_pScenarios;
    }
    void TearDown() override {
        m_pApplicationObject.Release();
        m_pScenarios.Release();
        m_pClasses.reset();
        CoUninitialize();
    }

    // A scenario in the collection with an activity of that name (none for null) and n notifications.
    CComPtr<IScenario> AddScenario(const char16_t* pszActivity, int nNotifications) {
        CComPtr<IScenario> pScenario;
        EXPECT_EQ(m_pScenarios->Add(&pScenario), S_OK);
        if (pszActivity != nullptr) {
            CComPtr<IActivity> pActivity;
            EXPECT_EQ(pActivity.CoCreateInstance(CLSID_FakeActivity, nullptr, CLSCTX_INPROC_SERVER), S_OK);
            static_cast<CFakeActivity*>(pActivity.p)->SetName(pszActivity);
            EXPECT_EQ(pScenario->put_Activity(pActivity), S_OK);
        }
        CComPtr<INotifications> pNotifications;
        EXPECT_EQ(pScenario->get_Notifications(&pNotifications), S_OK);
        for (int i = 0; i < nNotifications; ++i) {
            CComPtr<INotification> pNotification;
            EXPECT_EQ(pNotification.CoCreateInstance(CLSID_FakeNotification, nullptr, CLSCTX_INPROC_SERVER), S_OK);
            EXPECT_EQ(pNotifications->Add(pNotification), S_OK);
        }
        return pScenario;
    }
    LONG ScenarioCount() const {
        LONG nCount = -1;
        EXPECT_EQ(m_pScenarios->get_Count(&nCount), S_OK);
        return nCount;
    }
    // Opens the frame on pObject and runs Action on it; error boxes that open first are clicked away and
    // their texts kept.
    void WithFrame(IUnknown* pObject, const std::function<void(QWidget*)>& Action) {
        corvane::COlePropertyFrameDialog Frame(pObject);
        OnErrorBoxesThenFrame(Action);
        EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
    }
    void OnErrorBoxesThenFrame(std::function<void(QWidget*)> Action) {
        OnNextModal([this, Action](QWidget* pWindow) {
            if (auto* pBox = qobject_cast<QMessageBox*>(pWindow)) {
                m_Errors << pBox->windowTitle() + QStringLiteral(": ") + pBox->text();
                pBox->done(IDOK);
                OnErrorBoxesThenFrame(Action);
            } else {
                Action(pWindow);
            }
        });
    }
    static QWidget* Page(QWidget* pFrame, int nTab) {
        auto* pTabs = Control<QTabWidget>(pFrame, 12320);
        pTabs->setCurrentIndex(nTab);
        return pTabs->widget(nTab);
    }
    static void Click(QWidget* pWindow, int nId) {
        QTest::mouseClick(Control<QPushButton>(pWindow, nId), Qt::LeftButton);
    }
    static bool Enabled(QWidget* pWindow, int nId) { return Control<QWidget>(pWindow, nId)->isEnabled(); }

    testing_support::CTemporaryRegistry m_Registry;
    CFakeClassRegistrations m_FakeClasses;
    std::unique_ptr<CServerPageClassObjects> m_pClasses;
    CComPtr<IApplication> m_pApplicationObject;
    CTestApplication* m_pApplication = nullptr;
    CComPtr<IScenarios> m_pScenarios;
    QStringList m_Errors;
};

TEST_F(ServerPages, StatusShowsTheChoiceAndAppliesOnlyAChange) {
    struct Case {
        bool bEnabled;
        std::vector<int> Clicks;
        const char* pszText;
        bool bApply;
        std::vector<bool> Applied;
    };
    const Case kCases[] = {
        {true, {}, "Enabled", false, {}},
        {false, {}, "Disabled", false, {}},
        {true, {IDC_STATUS_DISABLE}, "To be disabled", true, {false}},
        {false, {IDC_STATUS_ENABLE}, "To be enabled", true, {true}},
        // Back to what the server has: nothing is left to apply.
        {false, {IDC_STATUS_ENABLE, IDC_STATUS_DISABLE}, "Disabled", false, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszText + std::to_string(c.Clicks.size()));
        m_pApplication->m_bEnabled = c.bEnabled;
        m_pApplication->m_PutEnabled.clear();
        m_pApplication->m_nSaves = 0;
        WithFrame(m_pApplicationObject, [&](QWidget* pFrame) {
            auto* pTabs = Control<QTabWidget>(pFrame, 12320);
            ASSERT_EQ(pTabs->count(), 2);
            EXPECT_EQ(pTabs->tabText(0), QStringLiteral("Status"));
            EXPECT_EQ(pTabs->tabText(1), QStringLiteral("Scenarios"));
            QWidget* pPage = Page(pFrame, 0);
            for (int nId : c.Clicks) Click(pPage, nId);
            EXPECT_EQ(Control<QLineEdit>(pPage, IDC_STATUS_TEXT)->text().toStdString(), c.pszText);
            EXPECT_EQ(Enabled(pPage, IDC_STATUS_ENABLE),
                      c.Clicks.empty() ? !c.bEnabled : c.Clicks.back() != IDC_STATUS_ENABLE);
            EXPECT_EQ(Enabled(pPage, IDC_STATUS_DISABLE_TEXT), !Enabled(pPage, IDC_STATUS_ENABLE));
            EXPECT_EQ(Enabled(pFrame, IDC_PROPERTYFRAME_APPLY), c.bApply);
            if (c.Clicks.size() == 1)
                SavePicture(pFrame, QStringLiteral("status-page-") + (c.bEnabled ? "to-be-disabled" : "to-be-enabled"));
            Click(pFrame, IDOK);
        });
        EXPECT_EQ(m_pApplication->m_PutEnabled, c.Applied);
        EXPECT_EQ(m_pApplication->m_nSaves, c.Applied.empty() ? 0 : 1);
        EXPECT_TRUE(m_Errors.isEmpty()) << m_Errors.join(QStringLiteral(" | ")).toStdString();
    }
}

TEST_F(ServerPages, StatusOfAnApplicationThatHasGoneAway) {
    m_pApplication->m_hrFailure = RPC_E_DISCONNECTED;
    WithFrame(m_pApplicationObject, [&](QWidget* pFrame) {
        QWidget* pPage = Page(pFrame, 0);
        EXPECT_FALSE(Enabled(pPage, IDC_STATUS_ENABLE));
        EXPECT_FALSE(Enabled(pPage, IDC_STATUS_DISABLE));
        SavePicture(pFrame, QStringLiteral("status-page-failed"));
        Click(pFrame, IDCANCEL);
    });
    ASSERT_EQ(m_Errors.size(), 1);
    EXPECT_TRUE(m_Errors[0].startsWith(QStringLiteral("Error: "))) << m_Errors[0].toStdString();
    EXPECT_TRUE(m_Errors[0].contains(QString::fromStdU16String(FormatSystemMessage(RPC_E_DISCONNECTED))));
}

TEST_F(ServerPages, StatusApplyThatFailsKeepsTheFrameOpenAndTheChoice) {
    m_pApplication->m_bEnabled = true;
    WithFrame(m_pApplicationObject, [&](QWidget* pFrame) {
        QWidget* pPage = Page(pFrame, 0);
        Click(pPage, IDC_STATUS_DISABLE);
        m_pApplication->m_hrFailure = RPC_E_DISCONNECTED;
        const QString sError = ClickAndAnswer(Control<QPushButton>(pFrame, IDC_PROPERTYFRAME_APPLY), IDOK);
        EXPECT_TRUE(sError.startsWith(QStringLiteral("Error: "))) << sError.toStdString();
        EXPECT_EQ(Control<QLineEdit>(pPage, IDC_STATUS_TEXT)->text(), QStringLiteral("To be disabled"));
        EXPECT_TRUE(Enabled(pFrame, IDC_PROPERTYFRAME_APPLY));
        Click(pFrame, IDCANCEL);
    });
    EXPECT_TRUE(m_pApplication->m_bEnabled);
}

TEST_F(ServerPages, ScenariosListTheirActivityAndFirstNotification) {
    AddScenario(u"Ping gateway", 3);
    AddScenario(u"Watch downloads", 1);
    AddScenario(nullptr, 0);
    WithFrame(m_pApplicationObject, [&](QWidget* pFrame) {
        QWidget* pPage = Page(pFrame, 1);
        auto* pList = Control<QTreeWidget>(pPage, IDC_SCENARIOS_LIST);
        ASSERT_EQ(pList->topLevelItemCount(), 3);
        EXPECT_EQ(pList->headerItem()->text(0), QStringLiteral("Activity"));
        EXPECT_EQ(pList->headerItem()->text(1), QStringLiteral("Notification"));
        const struct {
            const char *pszActivity, *pszNotifications;
        } kRows[] = {{"Ping gateway", "Fake Notification, ..."}, {"Watch downloads", "Fake Notification"}, {"", ""}};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(pList->topLevelItem(i)->text(0).toStdString(), kRows[i].pszActivity);
            EXPECT_EQ(pList->topLevelItem(i)->text(1).toStdString(), kRows[i].pszNotifications);
            EXPECT_FALSE(pList->topLevelItem(i)->icon(0).isNull());
        }
        EXPECT_EQ(pList->topLevelItem(0)->toolTip(1),
                  QStringLiteral("Activity: Ping gateway\r\nNotifications: Fake Notification, ...\r\n"));
        // Properties with exactly one selected, Delete with any.
        const struct {
            std::vector<int> Selected;
            bool bProperties, bDelete;
        } kSelections[] = {{{}, false, false}, {{1}, true, true}, {{0, 2}, false, true}};
        for (const auto& Selection : kSelections) {
            pList->clearSelection();
            for (int i : Selection.Selected) pList->topLevelItem(i)->setSelected(true);
            EXPECT_EQ(Enabled(pPage, IDC_SCENARIOS_PROPERTIES), Selection.bProperties);
            EXPECT_EQ(Enabled(pPage, IDC_SCENARIOS_DELETE), Selection.bDelete);
        }
        pList->clearSelection();
        pList->topLevelItem(0)->setSelected(true);
        SavePicture(pFrame, QStringLiteral("scenarios-page"));
        Click(pFrame, IDCANCEL);
    });
    EXPECT_TRUE(m_Errors.isEmpty()) << m_Errors.join(QStringLiteral(" | ")).toStdString();
}

TEST_F(ServerPages, DeletionsAskFirstAndWaitForApply) {
    struct Case {
        std::vector<int> Selected;
        const char* pszQuestion;
        int nAnswer;
        int nButton;  // what closes the frame
        int nListed, nKept, nSaves;
    };
    const Case kCases[] = {
        {{0, 2}, "Confirmation: Are you sure to delete 2 selected scenarios?", IDNO, IDOK, 3, 3, 0},
        {{1}, "Confirmation: Are you sure to delete selected scenario?", IDYES, IDCANCEL, 2, 3, 0},
        {{0, 2}, "Confirmation: Are you sure to delete 2 selected scenarios?", IDYES, IDCANCEL, 1, 3, 0},
        {{0, 2}, "Confirmation: Are you sure to delete 2 selected scenarios?", IDYES, IDOK, 1, 1, 1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::to_string(c.nAnswer) + "/" + std::to_string(c.nButton));
        while (ScenarioCount() > 0) {
            VARIANT vFirst;
            VariantInit(&vFirst);
            vFirst.vt = VT_I4;
            CComPtr<IScenario> pFirst;
            ASSERT_EQ(m_pScenarios->get_Item(vFirst, &pFirst), S_OK);
            ASSERT_EQ(m_pScenarios->Remove(pFirst), S_OK);
        }
        const CComPtr<IScenario> pScenarios[] = {AddScenario(u"One", 1), AddScenario(u"Two", 1),
                                                 AddScenario(u"Three", 1)};
        m_pApplication->m_nSaves = 0;
        WithFrame(m_pApplicationObject, [&](QWidget* pFrame) {
            QWidget* pPage = Page(pFrame, 1);
            auto* pList = Control<QTreeWidget>(pPage, IDC_SCENARIOS_LIST);
            for (int i : c.Selected) pList->topLevelItem(i)->setSelected(true);
            EXPECT_EQ(ClickAndAnswer(Control<QPushButton>(pPage, IDC_SCENARIOS_DELETE), c.nAnswer).toStdString(),
                      c.pszQuestion);
            EXPECT_EQ(pList->topLevelItemCount(), c.nListed);
            EXPECT_EQ(ScenarioCount(), 3);
            EXPECT_EQ(Enabled(pFrame, IDC_PROPERTYFRAME_APPLY), c.nAnswer == IDYES);
            if (c.nListed == 1) SavePicture(pFrame, QStringLiteral("scenarios-page-after-deletion"));
            Click(pFrame, c.nButton);
        });
        EXPECT_EQ(ScenarioCount(), c.nKept);
        EXPECT_EQ(m_pApplication->m_nSaves, c.nSaves);
        EXPECT_TRUE(m_Errors.isEmpty()) << m_Errors.join(QStringLiteral(" | ")).toStdString();
        if (c.nKept == 1) {
            VARIANT vFirst;
            VariantInit(&vFirst);
            vFirst.vt = VT_I4;
            CComPtr<IScenario> pLeft;
            ASSERT_EQ(m_pScenarios->get_Item(vFirst, &pLeft), S_OK);
            EXPECT_TRUE(pLeft.IsEqualObject(pScenarios[1]));
        }
    }
}

TEST_F(ServerPages, AScenarioRemovedByAnotherClientMeanwhileDoesNotStopTheOthers) {
    CComPtr<IScenario> pGone = AddScenario(u"Gone", 0);
    AddScenario(u"Deleted here", 0);
    AddScenario(u"Kept", 0);
    WithFrame(m_pApplicationObject, [&](QWidget* pFrame) {
        QWidget* pPage = Page(pFrame, 1);
        auto* pList = Control<QTreeWidget>(pPage, IDC_SCENARIOS_LIST);
        ASSERT_EQ(m_pScenarios->Remove(pGone), S_OK);
        pList->topLevelItem(0)->setSelected(true);
        pList->topLevelItem(1)->setSelected(true);
        ClickAndAnswer(Control<QPushButton>(pPage, IDC_SCENARIOS_DELETE), IDYES);
        Click(pFrame, IDOK);
    });
    EXPECT_TRUE(m_Errors.isEmpty()) << m_Errors.join(QStringLiteral(" | ")).toStdString();
    ASSERT_EQ(ScenarioCount(), 1);
    EXPECT_EQ(m_pApplication->m_nSaves, 1);
}

TEST_F(ServerPages, CreateRunsTheWizardAndListsTheNewScenarioAtOnce) {
    for (const auto& [Class, Category, pszName] :
         {std::tuple{CLSID_FakeActivity, CATID_CorvaneHarkwellActivities, u"Fake Activity"},
          {CLSID_FakeNotification, CATID_CorvaneHarkwellNotifications, u"Fake Notification"}}) {
        CRegKey Key;
        ASSERT_EQ(Key.Create(HKEY_CLASSES_ROOT, u"CLSID\\" + corvane::GuidText(Class) + u"\\Implemented Categories\\" +
                                                    corvane::GuidText(Category)),
                  ERROR_SUCCESS);
        CRegKey ClassKey;
        ASSERT_EQ(ClassKey.Open(HKEY_CLASSES_ROOT, u"CLSID\\" + corvane::GuidText(Class)), ERROR_SUCCESS);
        ASSERT_EQ(ClassKey.SetStringValue(u"", pszName), ERROR_SUCCESS);
    }
    CRegKey Remembered;
    ASSERT_EQ(Remembered.Create(HKEY_CURRENT_USER, kConfirmationsKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(Remembered.SetDWORDValue(kSkipIntroductionValueName, 1), ERROR_SUCCESS);
    AddScenario(u"Existing", 1);
    WithFrame(m_pApplicationObject, [&](QWidget* pFrame) {
        QWidget* pPage = Page(pFrame, 1);
        OnNextModal(
            [&](QWidget* pWindow) {
                auto* pWizard = qobject_cast<QWizard*>(pWindow);
                ASSERT_NE(pWizard, nullptr);
                auto* pActivities = Control<QTreeWidget>(pWizard->currentPage(), IDC_ACTIVITY_LIST);
                ASSERT_EQ(pActivities->topLevelItemCount(), 1);
                pActivities->topLevelItem(0)->setSelected(true);
                Click(pWizard, IDC_WIZARD_NEXT);
                auto* pAvailable = Control<QTreeWidget>(pWizard->currentPage(), IDC_NOTIFICATIONS_AVAILABLE);
                ASSERT_EQ(pAvailable->topLevelItemCount(), 1);
                pAvailable->topLevelItem(0)->setSelected(true);
                Click(pWizard->currentPage(), IDC_NOTIFICATIONS_ADD);
                Click(pWizard, IDC_WIZARD_NEXT);
                Click(pWizard, IDC_WIZARD_FINISH);
            },
            pFrame);
        Click(pPage, IDC_SCENARIOS_CREATE);
        auto* pList = Control<QTreeWidget>(pPage, IDC_SCENARIOS_LIST);
        ASSERT_EQ(pList->topLevelItemCount(), 2);
        EXPECT_EQ(pList->topLevelItem(1)->text(0), QString());
        EXPECT_EQ(pList->topLevelItem(1)->text(1), QStringLiteral("Fake Notification"));
        // The scenario exists already: Cancel has become Close.
        EXPECT_EQ(Control<QPushButton>(pFrame, IDCANCEL)->text(), QStringLiteral("Close"));
        SavePicture(pFrame, QStringLiteral("scenarios-page-after-create"));
        Click(pFrame, IDCANCEL);
    });
    EXPECT_EQ(ScenarioCount(), 2);
    EXPECT_TRUE(m_Errors.isEmpty()) << m_Errors.join(QStringLiteral(" | ")).toStdString();
}

TEST_F(ServerPages, PropertiesOpensTheScenarioPageOfTheSelectedScenario) {
    AddScenario(u"First", 1);
    AddScenario(u"Second", 2);
    WithFrame(m_pApplicationObject, [&](QWidget* pFrame) {
        QWidget* pPage = Page(pFrame, 1);
        auto* pList = Control<QTreeWidget>(pPage, IDC_SCENARIOS_LIST);
        pList->topLevelItem(1)->setSelected(true);
        QString sActivity, sTab;
        int nNotifications = -1;
        OnNextModal(
            [&](QWidget* pScenarioFrame) {
                auto* pTabs = Control<QTabWidget>(pScenarioFrame, 12320);
                if (pTabs == nullptr) {
                    auto* pBox = qobject_cast<QMessageBox*>(pScenarioFrame);
                    ADD_FAILURE() << "not a frame: " << (pBox != nullptr ? pBox->text().toStdString() : "");
                    if (pBox != nullptr) pBox->done(IDOK);
                    return;
                }
                sTab = pTabs->tabText(0);
                sActivity = Control<QComboBox>(pTabs->widget(0), IDC_SCENARIO_ACTIVITY)->currentText();
                nNotifications =
                    Control<QTreeWidget>(pTabs->widget(0), IDC_SCENARIO_NOTIFICATIONS)->topLevelItemCount();
                Click(pScenarioFrame, IDOK);
            },
            pFrame);
        Click(pPage, IDC_SCENARIOS_PROPERTIES);
        EXPECT_EQ(sTab, QStringLiteral("Scenario"));
        EXPECT_EQ(sActivity, QStringLiteral("Second"));
        EXPECT_EQ(nNotifications, 2);
        EXPECT_EQ(Control<QPushButton>(pFrame, IDCANCEL)->text(), QStringLiteral("Close"));
        Click(pFrame, IDCANCEL);
    });
    EXPECT_TRUE(m_Errors.isEmpty()) << m_Errors.join(QStringLiteral(" | ")).toStdString();
}

TEST_F(ServerPages, ScenariosOfADisabledServerAreADisabledPageWithoutAMessage) {
    AddScenario(u"Hidden", 0);
    m_pApplication->m_pScenarios.Release();
    WithFrame(m_pApplicationObject, [&](QWidget* pFrame) {
        QWidget* pPage = Page(pFrame, 1);
        for (int nId : {IDC_SCENARIOS_LIST, IDC_SCENARIOS_CREATE, IDC_SCENARIOS_DELETE, IDC_SCENARIOS_PROPERTIES})
            EXPECT_FALSE(Enabled(pPage, nId)) << nId;
        EXPECT_EQ(Control<QTreeWidget>(pPage, IDC_SCENARIOS_LIST)->topLevelItemCount(), 0);
        SavePicture(pFrame, QStringLiteral("scenarios-page-disabled"));
        Click(pFrame, IDCANCEL);
    });
    EXPECT_TRUE(m_Errors.isEmpty()) << m_Errors.join(QStringLiteral(" | ")).toStdString();
}

TEST_F(ServerPages, ScenarioPageShowsTheActivityAndTheNotifications) {
    CComPtr<IScenario> pScenario = AddScenario(u"Ping gateway", 2);
    WithFrame(pScenario, [&](QWidget* pFrame) {
        auto* pTabs = Control<QTabWidget>(pFrame, 12320);
        ASSERT_EQ(pTabs->count(), 1);
        EXPECT_EQ(pTabs->tabText(0), QStringLiteral("Scenario"));
        QWidget* pPage = Page(pFrame, 0);
        auto* pCombo = Control<QComboBox>(pPage, IDC_SCENARIO_ACTIVITY);
        ASSERT_EQ(pCombo->count(), 1);
        EXPECT_EQ(pCombo->currentText(), QStringLiteral("Ping gateway"));
        auto* pList = Control<QTreeWidget>(pPage, IDC_SCENARIO_NOTIFICATIONS);
        ASSERT_EQ(pList->topLevelItemCount(), 2);
        EXPECT_EQ(pList->topLevelItem(0)->text(0), QStringLiteral("Fake Notification"));
        EXPECT_TRUE(pList->topLevelItem(0)->isSelected());
        EXPECT_TRUE(Enabled(pPage, IDC_SCENARIO_ACTIVITY_PROPERTIES));
        EXPECT_TRUE(Enabled(pPage, IDC_SCENARIO_NOTIFICATION_PROPERTIES));
        EXPECT_FALSE(Enabled(pPage, IDC_SCENARIO_CREATE));
        EXPECT_FALSE(Enabled(pPage, IDC_SCENARIO_DELETE));
        SavePicture(pFrame, QStringLiteral("scenario-page"));
        // A notification without pages: the error box, and the page goes on working.
        const QString sError = ClickAndAnswer(Control<QPushButton>(pPage, IDC_SCENARIO_NOTIFICATION_PROPERTIES), IDOK);
        EXPECT_TRUE(sError.startsWith(QStringLiteral("Error: "))) << sError.toStdString();
        pList->clearSelection();
        EXPECT_FALSE(Enabled(pPage, IDC_SCENARIO_NOTIFICATION_PROPERTIES));
        Click(pFrame, IDCANCEL);
    });
    EXPECT_TRUE(m_Errors.isEmpty()) << m_Errors.join(QStringLiteral(" | ")).toStdString();
}

TEST_F(ServerPages, ScenarioPageOnAnObjectThatIsNoScenario) {
    corvane::COlePropertyFrameDialog Frame(m_pApplicationObject);
    Frame.SetPages({CLSID_CScenarioPropertyPage});
    OnErrorBoxesThenFrame([&](QWidget* pFrame) {
        QWidget* pPage = Page(pFrame, 0);
        EXPECT_FALSE(Enabled(pPage, IDC_SCENARIO_ACTIVITY));
        EXPECT_FALSE(Enabled(pPage, IDC_SCENARIO_NOTIFICATIONS));
        Click(pFrame, IDCANCEL);
    });
    m_Errors.clear();
    EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
    ASSERT_EQ(m_Errors.size(), 1);
    EXPECT_TRUE(m_Errors[0].contains(QString::fromStdU16String(FormatSystemMessage(E_NOINTERFACE))))
        << m_Errors[0].toStdString();
}

TEST_F(ServerPages, ThePagesAreRegisteredUnderTheUserInterfaceModuleAndMadeFromIt) {
    const std::u16string sProgram = comrt::ToUtf16(testing_support::ProgramPath("HarkwellServer").string());
    ASSERT_EQ(RegisterServer(sProgram), S_OK);
    const struct {
        CLSID Class;
        const char16_t *pszName, *pszProgId, *pszTitle;
    } kPages[] = {
        {CLSID_CStatusPropertyPage, u"CStatusPropertyPage Object", u"CStatusPropertyPage.CStatusPropertyPa.1",
         u"Status"},
        {CLSID_CScenariosPropertyPage, u"CScenariosPropertyPage Object", u"CScenariosPropertyPage.CScenariosProp.1",
         u"Scenarios"},
        {CLSID_CScenarioPropertyPage, u"CScenarioPropertyPage Object", u"CScenarioPropertyPage.CScenarioProper.1",
         u"Scenario"},
    };
    // Made from the module's file, not from this process's own class objects.
    m_pClasses.reset();
    for (const auto& Page : kPages) {
        SCOPED_TRACE(comrt::ToUtf8(Page.pszName));
        const std::u16string sKey = u"CLSID\\" + corvane::GuidText(Page.Class);
        std::u16string sValue;
        CRegKey Key;
        ASSERT_EQ(Key.Open(HKEY_CLASSES_ROOT, sKey, KEY_READ), ERROR_SUCCESS);
        EXPECT_EQ(Key.QueryStringValue(u"", sValue), ERROR_SUCCESS);
        EXPECT_EQ(sValue, Page.pszName);
        CRegKey Server;
        ASSERT_EQ(Server.Open(HKEY_CLASSES_ROOT, sKey + u"\\InprocServer32", KEY_READ), ERROR_SUCCESS);
        EXPECT_EQ(Server.QueryStringValue(u"", sValue), ERROR_SUCCESS);
        EXPECT_EQ(comrt::ToUtf8(sValue),
                  testing_support::LibraryPath("HarkwellServerUI.so").lexically_normal().string());
        EXPECT_EQ(Server.QueryStringValue(u"ThreadingModel", sValue), ERROR_SUCCESS);
        EXPECT_EQ(sValue, u"apartment");
        CRegKey ProgId;
        ASSERT_EQ(ProgId.Open(HKEY_CLASSES_ROOT, sKey + u"\\ProgID", KEY_READ), ERROR_SUCCESS);
        EXPECT_EQ(ProgId.QueryStringValue(u"", sValue), ERROR_SUCCESS);
        EXPECT_EQ(sValue, Page.pszProgId);
        CComPtr<IPropertyPage> pPage;
        ASSERT_EQ(pPage.CoCreateInstance(Page.Class, nullptr, CLSCTX_INPROC_SERVER), S_OK);
        PROPPAGEINFO Info{};
        ASSERT_EQ(pPage->GetPageInfo(&Info), S_OK);
        EXPECT_EQ(std::u16string(Info.pszTitle), Page.pszTitle);
        CoTaskMemFree(Info.pszTitle);
    }
    ASSERT_EQ(UnregisterServer(sProgram), S_OK);
    CComPtr<IPropertyPage> pPage;
    EXPECT_EQ(pPage.CoCreateInstance(CLSID_CStatusPropertyPage, nullptr, CLSCTX_INPROC_SERVER), REGDB_E_CLASSNOTREG);
}

}  // namespace

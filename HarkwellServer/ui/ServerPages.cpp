// The server's status, scenarios and scenario pages (about 610 lines): the three share the scenario data of
// the list, the frame opening of "Properties..." and the error boxes, and the scenarios page opens the
// other two.
#include "ServerPages.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTreeWidget>
#include <cstring>

#include "AboutDialog.h"
#include "CreateScenarioWizard.h"
#include "comrt/oleauto.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulobject.h"
#include "corvane/ulresource.h"

namespace {

using corvane::GuardedHandler;

constexpr int IDC_SCENARIOS_INTRODUCTION = 2205;
constexpr int IDC_SCENARIO_INTRODUCTION = 2407;
constexpr int IDC_SCENARIO_ACTIVITY_LABEL = 2408;

constexpr UINT IDS_DELETE_SCENARIO = 2210;
constexpr UINT IDS_DELETE_SCENARIOS = 2211;

const corvane::StringResource kPageStrings[] = {
    {IDD_STATUS, u"Status"},
    {IDC_STATUS_TEXT, u"Disabled\nEnabled\nTo be disabled\nTo be enabled\n"},
    {IDD_SCENARIOS, u"Scenarios"},
    {IDS_DELETE_SCENARIO, u"Are you sure to delete selected scenario?"},
    {IDS_DELETE_SCENARIOS, u"Are you sure to delete %d selected scenarios?"},
    {IDD_SCENARIO, u"Scenario"},
};
const corvane::CStringTableRegistration g_PageStrings(kPageStrings);

const DialogControl kStatusControls[] = {
    {IDC_STATUS_HYPERSTATIC, DialogControlKind::Static,
     u"Corvane Harkwell Server, a product of the <A HREF=\"https://www.corvane.example/harkwell/\" "
     u"TITLE=\"The Corvane Harkwell web site\">Corvane Harkwell</A> line",
     7, 7, 238, 10},
    {IDC_STATUS_TEXT, DialogControlKind::Edit, u"", 7, 24, 238, 14},
    {IDC_STATUS_ENABLE, DialogControlKind::Button, u"&Enable", 7, 48, 60, 14},
    {IDC_STATUS_ENABLE_TEXT, DialogControlKind::Static, u"Enable server activity and send informational notifications",
     74, 48, 171, 18},
    {IDC_STATUS_DISABLE, DialogControlKind::Button, u"&Disable", 7, 74, 60, 14},
    {IDC_STATUS_DISABLE_TEXT, DialogControlKind::Static,
     u"Disable server activity and stop sending informational notifications", 74, 74, 171, 18},
};
const DialogResource kStatusResource{252, 156, nullptr, kStatusControls};

const DialogControl kScenariosControls[] = {
    {IDC_SCENARIOS_INTRODUCTION, DialogControlKind::Static,
     u"Please create, update and delete notification scenarios using the controls below.", 7, 7, 238, 18},
    {IDC_SCENARIOS_LIST, DialogControlKind::ListView, nullptr, 7, 28, 238, 102},
    {IDC_SCENARIOS_CREATE, DialogControlKind::Button, u"&Create...", 79, 136, 52, 14},
    {IDC_SCENARIOS_PROPERTIES, DialogControlKind::Button, u"&Properties...", 136, 136, 52, 14},
    {IDC_SCENARIOS_DELETE, DialogControlKind::Button, u"&Delete", 193, 136, 52, 14},
};
const DialogResource kScenariosResource{252, 156, nullptr, kScenariosControls};

const DialogControl kScenarioControls[] = {
    {IDC_SCENARIO_INTRODUCTION, DialogControlKind::Static,
     u"Use the controls below to configure scenario's activity and notifications.", 7, 7, 238, 18},
    {IDC_SCENARIO_ACTIVITY_LABEL, DialogControlKind::Static, u"&Activity: ", 7, 30, 40, 8},
    {IDC_SCENARIO_ACTIVITY, DialogControlKind::ComboBox, nullptr, 50, 28, 138, 60},
    {IDC_SCENARIO_ACTIVITY_PROPERTIES, DialogControlKind::Button, u"&Properties...", 193, 27, 52, 14},
    {IDC_SCENARIO_NOTIFICATIONS, DialogControlKind::ListView, nullptr, 7, 48, 238, 82},
    {IDC_SCENARIO_CREATE, DialogControlKind::Button, u"&Create...", 79, 136, 52, 14},
    {IDC_SCENARIO_DELETE, DialogControlKind::Button, u"&Delete", 136, 136, 52, 14},
    {IDC_SCENARIO_NOTIFICATION_PROPERTIES, DialogControlKind::Button, u"P&roperties...", 193, 136, 52, 14},
};
const DialogResource kScenarioResource{252, 156, nullptr, kScenarioControls};

// The list icons, drawn by the program: a scenario (a sheet with a bolt), a notification (an envelope), an
// activity (a gauge).
constexpr char kScenarioSvg[] = R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
<rect x="2.5" y="1.5" width="11" height="13" rx="1" fill="#f4f6fa" stroke="#3d5a80"/>
<path d="M9 3 L5.5 9 H8 L7 13 L10.5 7 H8 Z" fill="#e0a526" stroke="#8a5a00" stroke-width="0.5"/>
</svg>)svg";
constexpr char kNotificationSvg[] = R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
<rect x="1.5" y="3.5" width="13" height="9" rx="1" fill="#fdfdf6" stroke="#3d5a80"/>
<path d="M1.5 3.5 L8 9 L14.5 3.5" fill="none" stroke="#3d5a80"/>
</svg>)svg";
constexpr char kActivitySvg[] = R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
<circle cx="8" cy="8" r="6.5" fill="#eef6ee" stroke="#2e7d32"/>
<path d="M8 8 L11.5 4.5" stroke="#c62828" stroke-width="1.5" stroke-linecap="round"/>
<circle cx="8" cy="8" r="1.2" fill="#2e7d32"/>
</svg>)svg";

std::u16string BstrText(BSTR s) {
    std::u16string sText(s != nullptr ? s : u"", s != nullptr ? SysStringLen(s) : 0);
    SysFreeString(s);
    return sText;
}

// The title of an activity or a notification; empty when it cannot be had (traced).
template <class I>
std::u16string TitleOf(I* pObject) {
    if (pObject == nullptr) return {};
    BSTR sTitle = nullptr;
    const HRESULT hr = pObject->get_Title(&sTitle);
    UL_ASSERT(SUCCEEDED(hr));
    return BstrText(sTitle);
}

class CWaitCursor {
public:
    CWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~CWaitCursor() { QApplication::restoreOverrideCursor(); }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

// Every object of an enumeration (_NewEnum) as interface I: an element that is no object reference is
// nNotObject, one without I is E_NOINTERFACE.
template <class I, class TCollection>
std::vector<CComPtr<I>> EnumerateAs(TCollection* pCollection, HRESULT nNotObject) {
    CComPtr<IUnknown> pEnumUnknown;
    UL_CHECK(pCollection->get__NewEnum(&pEnumUnknown));
    CComQIPtr<IEnumVARIANT> pEnum(pEnumUnknown);
    if (!pEnum) corvane::ThrowHResult(E_NOINTERFACE);
    std::vector<CComPtr<I>> Objects;
    for (;;) {
        VARIANT vElement;
        VariantInit(&vElement);
        ULONG nFetched = 0;
        const HRESULT hr = pEnum->Next(1, &vElement, &nFetched);
        UL_CHECK(hr);
        if (hr != S_OK || nFetched == 0) break;
        CComPtr<IUnknown> pElement;
        if (vElement.vt == VT_DISPATCH || vElement.vt == VT_UNKNOWN) pElement = vElement.punkVal;
        VariantClear(&vElement);
        if (!pElement) corvane::ThrowHResult(nNotObject);
        CComPtr<I> pObject;
        if (FAILED(pElement->QueryInterface(&pObject)) || !pObject) corvane::ThrowHResult(E_NOINTERFACE);
        Objects.push_back(std::move(pObject));
    }
    return Objects;
}

// Disables every child control of a page (an initialisation that failed).
void DisableChildren(HWND hPage) {
    QWidget* pPage = WidgetFromHandle(hPage);
    if (pPage == nullptr) return;
    for (QWidget* pChild : pPage->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) pChild->setEnabled(false);
}

QPushButton* Button(HWND hPage, int nId) {
    return qobject_cast<QPushButton*>(WidgetFromHandle(GetDlgItem(hPage, nId)));
}

const corvane::ClassEntry kPageClasses[] = {
    {&CLSID_CStatusPropertyPage, &CreateObjectT<CStatusPropertyPage>, u"CStatusPropertyPage",
     u"CStatusPropertyPage Object"},
    {&CLSID_CScenariosPropertyPage, &CreateObjectT<CScenariosPropertyPage>, u"CScenariosPropertyPage",
     u"CScenariosPropertyPage Object"},
    {&CLSID_CScenarioPropertyPage, &CreateObjectT<CScenarioPropertyPage>, u"CScenarioPropertyPage",
     u"CScenarioPropertyPage Object"},
};
const corvane::CModuleClassTable kPageClassTable{kPageClasses};

}  // namespace

QIcon ServerListIcon(int nId) {
    const char* pszSvg = nId == IDI_ACTIVITY ? kActivitySvg : nId == IDI_NOTIFICATION ? kNotificationSvg : kScenarioSvg;
    if (nId == 1) return ServerIcon();
    QImage Drawing;
    if (!Drawing.loadFromData(reinterpret_cast<const uchar*>(pszSvg), static_cast<int>(std::strlen(pszSvg)), "SVG")) {
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The icon %d cannot be drawn: no SVG reader is installed\n", nId);
        return QIcon();
    }
    QIcon Icon;
    for (int nSize : {16, 32, 48})
        Icon.addPixmap(QPixmap::fromImage(Drawing.scaled(nSize, nSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    return Icon;
}

CScenarioData::CScenarioData(IScenario* pScenario) : m_pScenario(pScenario) {
    UL_ASSERT(pScenario != nullptr);
}

std::u16string CScenarioData::GetActivityTitle() const {
    if (!m_pScenario) return {};
    CComPtr<IActivity> pActivity;
    const HRESULT hr = m_pScenario->get_Activity(&pActivity);
    UL_ASSERT(SUCCEEDED(hr));
    return TitleOf(pActivity.p);
}

std::u16string CScenarioData::GetNotificationsTitle() const {
    if (!m_pScenario) return {};
    CComPtr<INotifications> pNotifications;
    HRESULT hr = m_pScenario->get_Notifications(&pNotifications);
    UL_ASSERT(SUCCEEDED(hr));
    if (!pNotifications) return {};
    LONG nCount = 0;
    hr = pNotifications->get_Count(&nCount);
    UL_ASSERT(SUCCEEDED(hr));
    if (nCount <= 0) return {};
    VARIANT vFirst;
    VariantInit(&vFirst);
    vFirst.vt = VT_I4;
    vFirst.lVal = 0;
    CComPtr<INotification> pFirst;
    hr = pNotifications->get_Item(vFirst, &pFirst);
    UL_ASSERT(SUCCEEDED(hr));
    std::u16string sTitle = TitleOf(pFirst.p);
    if (nCount > 1) sTitle += u", ...";
    return sTitle;
}

HWND FrameOfPage(HWND hPage) noexcept {
    QWidget* pPage = WidgetFromHandle(hPage);
    return pPage != nullptr ? HandleFromWidget(pPage->window()) : nullptr;
}

bool ShowObjectProperties(IUnknown* pObject, bool bCaption) {
    corvane::CheckPointer(pObject);
    std::u16string sCaption;
    if (bCaption) {
        if (CComQIPtr<IActivity> pActivity(pObject); pActivity)
            sCaption = TitleOf(pActivity.p);
        else if (CComQIPtr<INotification> pNotification(pObject); pNotification)
            sCaption = TitleOf(pNotification.p);
    }
    corvane::COlePropertyFrameDialog Frame(pObject, sCaption);
    const HWND hOwner = HandleFromWidget(QApplication::activeWindow());
    Frame.SetPagesFromObjects();
    if (Frame.GetPages().empty()) {
        // The frame tells the person in its own box; the failure is only traced, so that one box is shown.
        corvane::GuardedCall([&] { Frame.DoModal(hOwner); });
        return false;
    }
    Frame.DoModal(hOwner);
    return true;
}

// The status page.

const DialogResource& CStatusPropertyPage::GetDialogResource() {
    return kStatusResource;
}

void CStatusPropertyPage::OnInitDialog() {
    InitializeControls(GetWindow());
    try {
        // The frame gets the program's icon, so that it is told apart from other windows.
        if (QWidget* pFrame = WidgetFromHandle(FrameOfPage(GetWindow())); pFrame != nullptr)
            pFrame->setWindowIcon(ServerListIcon(1));
        UL_ASSERT(m_HyperStatic.GetWindow() != nullptr);
        if (auto* pText = qobject_cast<QLineEdit*>(WidgetFromHandle(GetItem(IDC_STATUS_TEXT))))
            pText->setReadOnly(true);
        QObject::connect(Button(GetWindow(), IDC_STATUS_ENABLE), &QPushButton::clicked,
                         GuardedHandler(GetWindow(), [this] { OnChoice(true); }));
        QObject::connect(Button(GetWindow(), IDC_STATUS_DISABLE), &QPushButton::clicked,
                         GuardedHandler(GetWindow(), [this] { OnChoice(false); }));
        CWaitCursor WaitCursor;
        if (GetObjectCount() != 1) corvane::ThrowHResult(E_STATUS_PAGE_OBJECTS);
        CComPtr<IApplication> pApplication = GetObjectInterface<IApplication>(0);
        VARIANT_BOOL bEnabled = VARIANT_FALSE;
        UL_CHECK(pApplication->get_Enabled(&bEnabled));
        m_bCurrentEnabled = m_bNewEnabled = bEnabled != VARIANT_FALSE;
        m_bInitializing = true;
        UpdateControls();
        m_bInitializing = false;
        m_ChangeSet.clear();
    } catch (...) {
        m_bInitializing = false;
        DisableChildren(GetWindow());
        throw;
    }
}

void CStatusPropertyPage::UpdateControls() {
    const int nLine = (m_bNewEnabled ? 1 : 0) + (m_bNewEnabled != m_bCurrentEnabled ? 2 : 0);
    const std::vector<std::u16string> Lines =
        corvane::SplitResourceLines(corvane::LoadStringResource(static_cast<UINT>(IDC_STATUS_TEXT)));
    SetWindowTextW(GetItem(IDC_STATUS_TEXT), nLine < static_cast<int>(Lines.size()) ? Lines[nLine].c_str() : u"");
    EnableWindow(GetItem(IDC_STATUS_ENABLE), !m_bNewEnabled);
    EnableWindow(GetItem(IDC_STATUS_ENABLE_TEXT), !m_bNewEnabled);
    EnableWindow(GetItem(IDC_STATUS_DISABLE), m_bNewEnabled);
    EnableWindow(GetItem(IDC_STATUS_DISABLE_TEXT), m_bNewEnabled);
}

void CStatusPropertyPage::OnChoice(bool bEnabled) {
    m_bNewEnabled = bEnabled;
    if (!m_bInitializing) {
        m_ChangeSet.insert(bEnabled ? IDC_STATUS_ENABLE : IDC_STATUS_DISABLE);
        // Dirty only while the choice differs from what the server has: back to it, nothing is left to apply.
        SetDirty(m_bNewEnabled != m_bCurrentEnabled);
    }
    UpdateControls();
}

HRESULT CStatusPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    CWaitCursor WaitCursor;
    if (m_bNewEnabled != m_bCurrentEnabled) {
        for (size_t i = 0; i < GetObjectCount(); ++i) {
            CComPtr<IApplication> pApplication = GetObjectInterface<IApplication>(i);
            UL_CHECK(pApplication->put_Enabled(m_bNewEnabled ? VARIANT_TRUE : VARIANT_FALSE));
            m_bCurrentEnabled = m_bNewEnabled;
            UpdateControls();
            const HRESULT hr = pApplication->Save();
            UL_ASSERT(SUCCEEDED(hr));
        }
    }
    m_ChangeSet.clear();
    SetDirty(false);
    UL_PAGE_GUARD_END
}

// The scenarios page.

const DialogResource& CScenariosPropertyPage::GetDialogResource() {
    return kScenariosResource;
}

void CScenariosPropertyPage::OnInitDialog() {
    InitializeControls(GetWindow());
    QTreeWidget* pList = m_List.Control();
    UL_ASSERT(pList != nullptr);
    if (pList == nullptr) corvane::ThrowHResult(E_UNEXPECTED);
    try {
        // Full-row selection, several at once, with a tip per item.
        pList->setSelectionMode(QAbstractItemView::ExtendedSelection);
        pList->setSelectionBehavior(QAbstractItemView::SelectRows);
        pList->setIconSize(QSize(16, 16));
        m_List.InsertColumn(0, u"Activity", 150);
        m_List.InsertColumn(1, u"Notification", 150);
        m_List.SetTextCallback([](const CScenarioData& Data, int nColumn) {
            return nColumn == 0 ? Data.GetActivityTitle() : Data.GetNotificationsTitle();
        });
        QObject::connect(pList, &QTreeWidget::itemSelectionChanged,
                         GuardedHandler(GetWindow(), [this] { UpdateButtons(); }));
        QObject::connect(pList, &QTreeWidget::itemDoubleClicked, GuardedHandler(GetWindow(), [this] {
                             QPushButton* pProperties = Button(GetWindow(), IDC_SCENARIOS_PROPERTIES);
                             if (pProperties != nullptr && pProperties->isEnabled()) pProperties->click();
                         }));
        QObject::connect(Button(GetWindow(), IDC_SCENARIOS_CREATE), &QPushButton::clicked,
                         GuardedHandler(GetWindow(), [this] { OnCreateClicked(); }));
        QObject::connect(Button(GetWindow(), IDC_SCENARIOS_PROPERTIES), &QPushButton::clicked,
                         GuardedHandler(GetWindow(), [this] { OnPropertiesClicked(); }));
        QObject::connect(Button(GetWindow(), IDC_SCENARIOS_DELETE), &QPushButton::clicked,
                         GuardedHandler(GetWindow(), [this] { OnDeleteClicked(); }));
        FillList();
        UpdateButtons();
        m_ChangeSet.clear();
    } catch (...) {
        DisableChildren(GetWindow());
        throw;
    }
}

void CScenariosPropertyPage::FillList() {
    CWaitCursor WaitCursor;
    if (GetObjectCount() != 1) corvane::ThrowHResult(E_SCENARIOS_PAGE_OBJECTS);
    CComPtr<IScenarios> pScenarios;
    if (FAILED(GetObject(0)->QueryInterface(&pScenarios)) || !pScenarios) {
        // A disabled server has no scenarios to show: the page stays, its controls disabled.
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The object has no scenario collection; the page is disabled\n");
        DisableChildren(GetWindow());
        return;
    }
    QTreeWidget* pList = m_List.Control();
    pList->setUpdatesEnabled(false);
    struct CEnableUpdates {
        QTreeWidget* pList;
        ~CEnableUpdates() { pList->setUpdatesEnabled(true); }
    } EnableUpdates{pList};
    for (const CComPtr<IScenario>& pScenario : EnumerateAs<IScenario>(pScenarios.p, E_SCENARIOS_ELEMENT))
        AppendItem(pScenario);
}

void CScenariosPropertyPage::AppendItem(IScenario* pScenario) {
    const CScenarioData Data(pScenario);
    const int nIndex = m_List.InsertItem(m_List.GetItemCount(), Data);
    QTreeWidgetItem* pItem = m_List.Control()->topLevelItem(nIndex);
    if (pItem == nullptr) return;
    static const QIcon Icon = ServerListIcon(IDI_SCENARIO);
    pItem->setIcon(0, Icon);
    const QString sTip = QStringLiteral("Activity: %1\r\nNotifications: %2\r\n").arg(pItem->text(0), pItem->text(1));
    pItem->setToolTip(0, sTip);
    pItem->setToolTip(1, sTip);
}

std::vector<int> CScenariosPropertyPage::SelectedItems() const {
    std::vector<int> Selected;
    QTreeWidget* pList = m_List.Control();
    if (pList == nullptr) return Selected;
    for (int i = 0; i < pList->topLevelItemCount(); ++i)
        if (pList->topLevelItem(i)->isSelected()) Selected.push_back(i);
    return Selected;
}

void CScenariosPropertyPage::UpdateButtons() {
    const size_t nSelected = SelectedItems().size();
    EnableWindow(GetItem(IDC_SCENARIOS_PROPERTIES), nSelected == 1);
    EnableWindow(GetItem(IDC_SCENARIOS_DELETE), nSelected >= 1);
}

void CScenariosPropertyPage::RecordChange(int nId) {
    m_ChangeSet.insert(nId);
    SetDirty(true);
}

void CScenariosPropertyPage::OnCreateClicked() {
    CComPtr<IScenarios> pScenarios = GetObjectInterface<IScenarios>(0);
    CCreateScenarioWizard Wizard(pScenarios);
    Wizard.DoModal(GetWindow());
    CComPtr<IScenario> pScenario = Wizard.GetScenario();
    if (!pScenario) return;
    AppendItem(pScenario);
    RecordChange(IDC_SCENARIOS_CREATE);
    // The scenario is in the collection already: Cancel cannot take it back.
    PropertyFrameCancelToClose(FrameOfPage(GetWindow()));
}

void CScenariosPropertyPage::OnPropertiesClicked() {
    const std::vector<int> Selected = SelectedItems();
    if (Selected.size() != 1) return;
    CComPtr<IScenario> pScenario = m_List.DataFromItemData(Selected.front()).GetScenario();
    bool bShown = false;
    try {
        bShown = ShowObjectProperties(pScenario, false);
    } catch (...) {
        // The scenario's pages may have applied before the failure: the item shows what it is now.
        m_List.UpdateItem(Selected.front());
        throw;
    }
    m_List.UpdateItem(Selected.front());
    if (!bShown) return;
    RecordChange(IDC_SCENARIOS_PROPERTIES);
    PropertyFrameCancelToClose(FrameOfPage(GetWindow()));
}

void CScenariosPropertyPage::OnDeleteClicked() {
    const size_t nSelected = SelectedItems().size();
    if (nSelected == 0) return;
    std::u16string sQuestion = corvane::LoadStringResource(nSelected == 1 ? IDS_DELETE_SCENARIO : IDS_DELETE_SCENARIOS);
    if (nSelected > 1) {
        const size_t nAt = sQuestion.find(u"%d");
        if (nAt != std::u16string::npos) sQuestion.replace(nAt, 2, comrt::ToUtf16(std::to_string(nSelected)));
    }
    if (corvane::CMessageBox(GetWindow(), sQuestion, corvane::IDS_CAPTION_CONFIRMATION, MB_YESNO | MB_ICONEXCLAMATION)
            .DoModal() != IDYES)
        return;
    for (std::vector<int> Selected = SelectedItems(); !Selected.empty(); Selected = SelectedItems()) {
        m_DeletedScenarioList.push_back(m_List.DataFromItemData(Selected.front()).GetScenario());
        m_List.DeleteItem(Selected.front());
    }
    UpdateButtons();
    RecordChange(IDC_SCENARIOS_DELETE);
}

HRESULT CScenariosPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    if (!m_DeletedScenarioList.empty()) {
        UL_ASSERT(GetObjectCount() == 1);
        CComPtr<IScenarios> pScenarios = GetObjectInterface<IScenarios>(0);
        while (!m_DeletedScenarioList.empty()) {
            IScenario* pScenario = m_DeletedScenarioList.front();
            const HRESULT hr = pScenarios->Remove(pScenario);
            if (FAILED(hr)) {
                // Another client may have removed it already: then it is gone as asked, and the others go on.
                bool bStillThere = false;
                for (const CComPtr<IScenario>& pHeld : EnumerateAs<IScenario>(pScenarios.p, E_SCENARIOS_ELEMENT))
                    bStillThere = bStillThere || pHeld.IsEqualObject(pScenario);
                if (bStillThere) corvane::ThrowHResult(hr);
                UL_TRACE(corvane::TRACE_LEVEL_ERROR, "A deleted scenario was no longer in the collection\n");
            }
            // Removed ones leave the list at once, so that a later Apply after a failure does not repeat them.
            m_DeletedScenarioList.erase(m_DeletedScenarioList.begin());
        }
        UpdateButtons();
        if (CComQIPtr<IApplication> pApplication(GetObject(0)); pApplication) {
            const HRESULT hr = pApplication->Save();
            UL_ASSERT(SUCCEEDED(hr));
        }
    }
    m_ChangeSet.clear();
    SetDirty(false);
    UL_PAGE_GUARD_END
}

// The scenario page.

const DialogResource& CScenarioPropertyPage::GetDialogResource() {
    return kScenarioResource;
}

void CScenarioPropertyPage::OnInitDialog() {
    InitializeControls(GetWindow());
    QTreeWidget* pList = m_List.Control();
    UL_ASSERT(pList != nullptr);
    if (pList == nullptr) corvane::ThrowHResult(E_UNEXPECTED);
    try {
        pList->setSelectionMode(QAbstractItemView::SingleSelection);
        pList->setIconSize(QSize(16, 16));
        m_List.InsertColumn(0, u"Notification", 250);
        m_List.SetTextCallback(
            [](const CComPtr<INotification>& pNotification, int) { return TitleOf(pNotification.p); });
        EnableWindow(GetItem(IDC_SCENARIO_CREATE), FALSE);
        EnableWindow(GetItem(IDC_SCENARIO_DELETE), FALSE);
        QObject::connect(pList, &QTreeWidget::itemSelectionChanged,
                         GuardedHandler(GetWindow(), [this] { UpdateButtons(); }));
        QObject::connect(pList, &QTreeWidget::itemDoubleClicked, GuardedHandler(GetWindow(), [this] {
                             QPushButton* pProperties = Button(GetWindow(), IDC_SCENARIO_NOTIFICATION_PROPERTIES);
                             if (pProperties != nullptr && pProperties->isEnabled()) pProperties->click();
                         }));
        QObject::connect(Button(GetWindow(), IDC_SCENARIO_ACTIVITY_PROPERTIES), &QPushButton::clicked,
                         GuardedHandler(GetWindow(), [this] { OnActivityPropertiesClicked(); }));
        QObject::connect(Button(GetWindow(), IDC_SCENARIO_NOTIFICATION_PROPERTIES), &QPushButton::clicked,
                         GuardedHandler(GetWindow(), [this] { OnNotificationPropertiesClicked(); }));
        UpdateButtons();
        if (GetObjectCount() != 1) corvane::ThrowHResult(E_SCENARIO_PAGE_OBJECTS);
        CComPtr<IScenario> pScenario = GetObjectInterface<IScenario>(0);
        CComPtr<IActivity> pActivity;
        UL_CHECK(pScenario->get_Activity(&pActivity));
        if (pActivity) m_ActivityCombo.SetCurSel(m_ActivityCombo.AddString(TitleOf(pActivity.p), pActivity));
        // Connected once the item has its data: adding the first item already selects it.
        QObject::connect(m_ActivityCombo.Control(), &QComboBox::currentIndexChanged,
                         GuardedHandler(GetWindow(), [this] { UpdateButtons(); }));
        CComPtr<INotifications> pNotifications;
        UL_CHECK(pScenario->get_Notifications(&pNotifications));
        if (!pNotifications) corvane::ThrowHResult(E_NOINTERFACE);
        static const QIcon Icon = ServerListIcon(IDI_NOTIFICATION);
        for (const CComPtr<INotification>& pNotification :
             EnumerateAs<INotification>(pNotifications.p, E_NOTIFICATIONS_ELEMENT)) {
            const int nIndex = m_List.InsertItem(m_List.GetItemCount(), pNotification);
            if (QTreeWidgetItem* pItem = pList->topLevelItem(nIndex)) {
                pItem->setIcon(0, Icon);
                pItem->setToolTip(0, pItem->text(0));
            }
        }
        if (pList->topLevelItemCount() > 0) pList->topLevelItem(0)->setSelected(true);
        UpdateButtons();
        m_ChangeSet.clear();
    } catch (...) {
        DisableChildren(GetWindow());
        throw;
    }
}

void CScenarioPropertyPage::UpdateButtons() {
    const int nActivity = m_ActivityCombo.GetCurSel();
    EnableWindow(GetItem(IDC_SCENARIO_ACTIVITY_PROPERTIES),
                 nActivity >= 0 && m_ActivityCombo.GetItemData(nActivity) != nullptr);
    QTreeWidget* pList = m_List.Control();
    EnableWindow(GetItem(IDC_SCENARIO_NOTIFICATION_PROPERTIES), pList != nullptr && pList->selectedItems().size() == 1);
}

void CScenarioPropertyPage::AfterProperties(int nId) {
    m_ChangeSet.insert(nId);
    SetDirty(true);
    // The object's own pages applied their changes already.
    PropertyFrameCancelToClose(FrameOfPage(GetWindow()));
}

void CScenarioPropertyPage::OnActivityPropertiesClicked() {
    const int nActivity = m_ActivityCombo.GetCurSel();
    if (nActivity < 0) return;
    CComPtr<IActivity> pActivity = m_ActivityCombo.GetItemData(nActivity);
    if (!pActivity) return;
    if (!ShowObjectProperties(pActivity)) return;
    AfterProperties(IDC_SCENARIO_ACTIVITY_PROPERTIES);
}

void CScenarioPropertyPage::OnNotificationPropertiesClicked() {
    QTreeWidget* pList = m_List.Control();
    if (pList == nullptr || pList->selectedItems().size() != 1) return;
    const int nIndex = pList->indexOfTopLevelItem(pList->selectedItems().front());
    CComPtr<INotification> pNotification = m_List.DataFromItemData(nIndex);
    if (!ShowObjectProperties(pNotification)) return;
    m_List.UpdateItem(nIndex);
    AfterProperties(IDC_SCENARIO_NOTIFICATION_PROPERTIES);
}

HRESULT CScenarioPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    if (!m_ChangeSet.empty()) {
        UL_ASSERT(GetObjectCount() == 1);
        GetObjectInterface<IScenario>(0);
        m_ChangeSet.clear();
    }
    SetDirty(false);
    UL_PAGE_GUARD_END
}

const corvane::CModuleClassTable& ServerPageClassTable() {
    return kPageClassTable;
}

CServerPageClassObjects::CServerPageClassObjects() {
    for (const corvane::ClassEntry& Entry : kPageClassTable.Entries()) {
        CComPtr<IUnknown> pFactory;
        UL_CHECK(kPageClassTable.GetClassObject(*Entry.pClsid, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory)));
        DWORD nCookie = 0;
        UL_CHECK(CoRegisterClassObject(*Entry.pClsid, pFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &nCookie));
        m_Cookies.push_back(nCookie);
    }
}

CServerPageClassObjects::~CServerPageClassObjects() {
    for (DWORD nCookie : m_Cookies) CoRevokeClassObject(nCookie);
}

#include "CreateScenarioWizard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QFontInfo>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWizard>
#include <QWizardPage>

#include "ServerPages.h"
#include "comrt/oleauto.h"
#include "corvane/ulcategories.h"
#include "corvane/ulcontrols.h"
#include "corvane/uldebug.h"
#include "corvane/ulregistry.h"
#include "corvane/ulresource.h"
#include "corvane/ulwindow.h"

namespace {

using corvane::GuardedHandler;

constexpr UINT IDS_WIZARD_TITLE = 2300;
constexpr UINT IDS_WIZARD_EXIT = 2301;
constexpr UINT IDS_ACTIVITY_HEADER = 2330;
constexpr UINT IDS_NOTIFICATIONS_HEADER = 2333;

const corvane::StringResource kWizardStrings[] = {
    {IDS_WIZARD_TITLE, u"Create Scenario Wizard"},
    {IDS_WIZARD_EXIT, u"Are you sure to exit from the wizard?"},
    {IDS_ACTIVITY_HEADER, u"Activity Selection\nSelect activity to be notified on\n"},
    {IDS_NOTIFICATIONS_HEADER, u"Notification Selection\nSelect and configure notifications\n"},
};
const corvane::CStringTableRegistration g_WizardStrings(kWizardStrings);

const DialogControl kIntroductionControls[] = {
    {IDC_INTRODUCTION_TITLE, DialogControlKind::Static, u"Create Scenario Wizard", 7, 0, 183, 24},
    {2311, DialogControlKind::Static,
     u"This wizard will guide you through the steps required to create a new notification scenario.", 7, 34, 183, 30},
    {IDC_INTRODUCTION_SKIP, DialogControlKind::CheckBox, u"&Skip introduction page next time", 7, 130, 183, 12},
    {2312, DialogControlKind::Static, u"To continue, press Next.", 7, 150, 183, 10},
};
const DialogResource kIntroductionResource{190, 162, nullptr, kIntroductionControls};

const DialogControl kActivityControls[] = {
    {2339, DialogControlKind::Static,
     u"Please select activity you would like to subscribe to notifications of from the list below. Use "
     u"Properties button to configure activity settings. To proceed, click Next.",
     0, 0, 300, 26},
    {IDC_ACTIVITY_LIST, DialogControlKind::ListView, nullptr, 0, 30, 300, 74},
    {IDC_ACTIVITY_PROPERTIES, DialogControlKind::Button, u"&Properties...", 240, 108, 60, 14},
};
const DialogResource kActivityResource{300, 124, nullptr, kActivityControls};

const DialogControl kNotificationsControls[] = {
    {2339, DialogControlKind::Static,
     u"Please add and configure notifications for the chosen activity. To proceed, click Next.", 0, 0, 300, 18},
    {IDC_NOTIFICATIONS_AVAILABLE, DialogControlKind::ListView, nullptr, 0, 20, 242, 44},
    {IDC_NOTIFICATIONS_ADD, DialogControlKind::Button, u"&Add", 248, 20, 52, 14},
    {IDC_NOTIFICATIONS_CHOSEN, DialogControlKind::ListView, nullptr, 0, 70, 242, 54},
    {IDC_NOTIFICATIONS_REMOVE, DialogControlKind::Button, u"&Remove", 248, 70, 52, 14},
    {IDC_NOTIFICATIONS_PROPERTIES, DialogControlKind::Button, u"&Properties...", 248, 88, 52, 14},
};
const DialogResource kNotificationsResource{300, 124, nullptr, kNotificationsControls};

const DialogControl kCompletionControls[] = {
    {IDC_COMPLETION_TITLE, DialogControlKind::Static, u"Wizard Completed", 7, 0, 183, 24},
    {IDC_COMPLETION_ICON, DialogControlKind::Icon, nullptr, 7, 34, 20, 20},
    {2322, DialogControlKind::Static, u"The wizard has completed its task, the scenario has been successfully created.",
     33, 34, 157, 30},
    {2323, DialogControlKind::Static, u"To close wizard, press Finish.", 7, 150, 183, 10},
};
const DialogResource kCompletionResource{190, 162, nullptr, kCompletionControls};

// The header picture (a scenario sheet with its bolt) and the watermark (the bolt's path down a band).
constexpr char kHeaderSvg[] = R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 49 49">
<rect x="9.5" y="4.5" width="30" height="40" rx="3" fill="#f4f6fa" stroke="#3d5a80" stroke-width="2"/>
<path d="M28 9 L17 27 H24 L21 40 L32 22 H25 Z" fill="#e0a526" stroke="#8a5a00"/>
</svg>)svg";
constexpr char kWatermarkSvg[] = R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 164 314">
<defs><linearGradient id="g" x1="0" y1="0" x2="0" y2="1">
<stop offset="0" stop-color="#3d5a80"/><stop offset="1" stop-color="#98c1d9"/></linearGradient></defs>
<rect width="164" height="314" fill="url(#g)"/>
<path d="M98 40 L50 150 H82 L66 270 L118 140 H86 Z" fill="#e0a526" stroke="#fff3c4" stroke-width="3"/>
</svg>)svg";

QPixmap DrawSvg(const char* pszSvg, QSize Size, qreal nScale) {
    QByteArray Data(pszSvg);
    QBuffer Buffer(&Data);
    QImageReader Reader(&Buffer, "svg");
    Reader.setScaledSize(Size * nScale);
    QImage Image = Reader.read();
    if (Image.isNull()) {
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "A wizard picture cannot be drawn: %s\n",
                 Reader.errorString().toUtf8().constData());
        return QPixmap();
    }
    QPixmap Picture = QPixmap::fromImage(Image);
    Picture.setDevicePixelRatio(nScale);
    return Picture;
}

std::u16string GuidString(REFCLSID Class) {
    return corvane::GuidText(Class);
}

QString Q(const std::u16string& sText) {
    return QString::fromStdU16String(sText);
}

// The classes of a category with their display names (the default value of their key).
std::vector<CCreateScenarioWizard::CObjectData> ClassesOf(REFGUID Category) {
    std::vector<CCreateScenarioWizard::CObjectData> Classes;
    CCategoryClassEnumerator Enumerator(Category);
    CLSID Class{};
    while (Enumerator.Next(Class)) {
        CCreateScenarioWizard::CObjectData Data;
        Data.Class = Class;
        CRegKey Key;
        if (Key.Open(HKEY_CLASSES_ROOT, u"CLSID\\" + GuidString(Class), KEY_READ) == ERROR_SUCCESS)
            Key.QueryStringValue(u"", Data.sDisplayName);
        Classes.push_back(std::move(Data));
    }
    return Classes;
}

template <class I>
std::u16string TitleOf(IUnknown* pObject) {
    CComQIPtr<I> p(pObject);
    if (!p) return {};
    BSTR sTitle = nullptr;
    if (FAILED(p->get_Title(&sTitle))) return {};
    std::u16string sText(sTitle != nullptr ? sTitle : u"", SysStringLen(sTitle));
    SysFreeString(sTitle);
    return sText;
}

VARIANT ClassText(REFCLSID Class) {
    VARIANT vClass;
    VariantInit(&vClass);
    vClass.vt = VT_BSTR;
    vClass.bstrVal = SysAllocString(GuidString(Class).c_str());
    return vClass;
}

// A page whose controls come from a dialog resource; the object names of the controls are their numbers.
class CResourcePage : public QWizardPage {
public:
    CResourcePage(const DialogResource& Resource, int nId) {
        setObjectName(QString::number(nId));
        auto* pLayout = new QVBoxLayout(this);
        pLayout->setContentsMargins(0, 0, 0, 0);
        const HWND hContent = CreateDialogFromResource(Resource, HandleFromWidget(this));
        if (hContent == nullptr) corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
        m_hContent = hContent;
        QWidget* pContent = WidgetFromHandle(hContent);
        pLayout->addWidget(pContent);
        pContent->setMinimumSize(pContent->size());
        pContent->show();
    }
    HWND Window() const noexcept { return m_hContent; }
    template <class W = QWidget>
    W* Item(int nId) const {
        return qobject_cast<W*>(WidgetFromHandle(GetDlgItem(m_hContent, nId)));
    }
    void SetHeader(UINT nResource) {
        const std::vector<std::u16string> Lines = corvane::SplitResourceLines(corvane::LoadStringResource(nResource));
        if (!Lines.empty()) setTitle(Q(Lines[0]));
        if (Lines.size() > 1) setSubTitle(Q(Lines[1]));
    }

private:
    HWND m_hContent = nullptr;
};

class CWizardDialog;

class CIntroductionPage final : public CResourcePage {
public:
    explicit CIntroductionPage(const QFont& TitleFont) : CResourcePage(kIntroductionResource, IDD_WIZARD_INTRODUCTION) {
        Item(IDC_INTRODUCTION_TITLE)->setFont(TitleFont);
    }
    static bool IsSkipRemembered() {
        CRegKey Key;
        DWORD nSkip = 0;
        return Key.Open(HKEY_CURRENT_USER, kConfirmationsKeyPath, KEY_READ) == ERROR_SUCCESS &&
               Key.QueryDWORDValue(kSkipIntroductionValueName, nSkip) == ERROR_SUCCESS && nSkip == 1;
    }
    bool validatePage() override {
        return corvane::GuardedWindowCall(Window(), [this] {
            CRegKey Key;
            const LONG nCreate = Key.Create(HKEY_CURRENT_USER, kConfirmationsKeyPath);
            if (nCreate != ERROR_SUCCESS) corvane::ThrowHResult(HRESULT_FROM_WIN32(static_cast<DWORD>(nCreate)));
            const LONG nSet = Key.SetDWORDValue(kSkipIntroductionValueName,
                                                Item<QCheckBox>(IDC_INTRODUCTION_SKIP)->isChecked() ? 1 : 0);
            if (nSet != ERROR_SUCCESS) corvane::ThrowHResult(HRESULT_FROM_WIN32(static_cast<DWORD>(nSet)));
        });
    }
};

class CActivityPage final : public CResourcePage {
public:
    explicit CActivityPage(CCreateScenarioWizard& Wizard)
        : CResourcePage(kActivityResource, IDD_WIZARD_ACTIVITY), m_Wizard(Wizard) {
        SetHeader(IDS_ACTIVITY_HEADER);
        m_List.Attach(GetDlgItem(Window(), IDC_ACTIVITY_LIST));
        QTreeWidget* pList = m_List.Control();
        pList->setSelectionMode(QAbstractItemView::SingleSelection);
        pList->setIconSize(QSize(16, 16));
        m_List.InsertColumn(0, u"Activity", 250);
        m_List.InsertColumn(1, u"Class Identifier", 150);
        m_List.SetTextCallback([](const CCreateScenarioWizard::CObjectData& Data, int nColumn) {
            return nColumn == 0 ? Data.sDisplayName : GuidString(Data.Class);
        });
        QObject::connect(pList, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
        QObject::connect(pList, &QTreeWidget::itemDoubleClicked, this, [this] {
            PostWindowCall(Window(),
                           [this] { corvane::GuardedWindowCall(Window(), [this] { OnPropertiesClicked(); }); });
        });
        QObject::connect(Item<QPushButton>(IDC_ACTIVITY_PROPERTIES), &QPushButton::clicked,
                         GuardedHandler(Window(), [this] { OnPropertiesClicked(); }));
        try {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            const QIcon Icon = ServerListIcon(IDI_ACTIVITY);
            for (const auto& Data : ClassesOf(CATID_CorvaneHarkwellActivities)) {
                const int nIndex = m_List.InsertItem(m_List.GetItemCount(), Data);
                pList->topLevelItem(nIndex)->setIcon(0, Icon);
                UpdateTip(nIndex);
            }
        } catch (...) {
            UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught\n");
        }
        QApplication::restoreOverrideCursor();
        if (m_List.GetItemCount() == 0)
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "No activity class is registered in its category\n");
        UpdateButtons();
    }
    void initializePage() override { UpdateButtons(); }
    bool isComplete() const override { return m_List.Control()->selectedItems().size() == 1; }
    bool validatePage() override {
        return corvane::GuardedWindowCall(Window(), [this] {
            const int nIndex = SelectedIndex();
            UL_ASSERT(nIndex >= 0);
            if (nIndex < 0) corvane::ThrowHResult(E_UNEXPECTED);
            GetActivity(nIndex);
            m_Wizard.SetActivity(m_List.DataFromItemData(nIndex));
        });
    }

private:
    int SelectedIndex() const {
        QTreeWidget* pList = m_List.Control();
        return pList->selectedItems().size() == 1 ? pList->indexOfTopLevelItem(pList->selectedItems().front()) : -1;
    }
    // The activity of the item, made through the collection on first use.
    CCreateScenarioWizard::CObjectData& GetActivity(int nIndex) {
        auto& Data = m_List.DataFromItemData(nIndex);
        UL_ASSERT(m_Wizard.GetScenarios() != nullptr);
        if (!Data.pObject) {
            VARIANT vClass = ClassText(Data.Class);
            CComPtr<IActivity> pActivity;
            const HRESULT hr = m_Wizard.GetScenarios()->CreateActivity(vClass, &pActivity);
            VariantClear(&vClass);
            UL_CHECK(hr);
            Data.pObject = pActivity.p;
            Data.pSpecifyPropertyPages.Release();
            pActivity->QueryInterface(&Data.pSpecifyPropertyPages);
            UpdateTip(nIndex);
        }
        return Data;
    }
    void UpdateTip(int nIndex) {
        const auto& Data = m_List.DataFromItemData(nIndex);
        QString sTip =
            QStringLiteral("Activity: %1\r\nClass: %2\r\n").arg(Q(Data.sDisplayName), Q(GuidString(Data.Class)));
        const std::u16string sTitle = Data.pObject ? TitleOf<IActivity>(Data.pObject) : std::u16string();
        if (!sTitle.empty()) sTip += QStringLiteral("Title: %1\r\n").arg(Q(sTitle));
        for (int nColumn : {0, 1}) m_List.Control()->topLevelItem(nIndex)->setToolTip(nColumn, sTip);
    }
    void UpdateButtons() {
        const int nIndex = SelectedIndex();
        const bool bPages = nIndex >= 0 && m_List.DataFromItemData(nIndex).pSpecifyPropertyPages;
        EnableWindow(GetDlgItem(Window(), IDC_ACTIVITY_PROPERTIES), bPages);
        Q_EMIT completeChanged();
    }
    void OnPropertiesClicked() {
        const int nIndex = SelectedIndex();
        if (nIndex < 0) return;
        UpdateButtons();
        struct CAfter {
            CActivityPage* pPage;
            ~CAfter() { pPage->UpdateButtons(); }
        } After{this};
        ShowObjectProperties(GetActivity(nIndex).pObject);
    }

    CCreateScenarioWizard& m_Wizard;
    corvane::CUlListViewT<CCreateScenarioWizard::CObjectData> m_List;
};

class CNotificationsPage final : public CResourcePage {
public:
    explicit CNotificationsPage(CCreateScenarioWizard& Wizard)
        : CResourcePage(kNotificationsResource, IDD_WIZARD_NOTIFICATIONS), m_Wizard(Wizard) {
        SetHeader(IDS_NOTIFICATIONS_HEADER);
        m_Available.Attach(GetDlgItem(Window(), IDC_NOTIFICATIONS_AVAILABLE));
        m_Chosen.Attach(GetDlgItem(Window(), IDC_NOTIFICATIONS_CHOSEN));
        for (QTreeWidget* pList : {m_Available.Control(), m_Chosen.Control()}) {
            pList->setSelectionMode(QAbstractItemView::ExtendedSelection);
            pList->setIconSize(QSize(16, 16));
            QObject::connect(pList, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
        }
        m_Available.InsertColumn(0, u"Notification Method", 250);
        m_Available.InsertColumn(1, u"Class Identifier", 120);
        m_Available.SetTextCallback([](const CCreateScenarioWizard::CObjectData& Data, int nColumn) {
            return nColumn == 0 ? Data.sDisplayName : GuidString(Data.Class);
        });
        m_Chosen.InsertColumn(0, u"Selected Notification", 250);
        m_Chosen.InsertColumn(1, u"Method", 120);
        m_Chosen.SetTextCallback([](const CCreateScenarioWizard::CObjectData& Data, int nColumn) {
            return nColumn == 0 ? TitleOf<INotification>(Data.pObject) : Data.sDisplayName;
        });
        QObject::connect(m_Available.Control(), &QTreeWidget::itemDoubleClicked,
                         GuardedHandler(Window(), [this] { OnAddClicked(); }));
        QObject::connect(m_Chosen.Control(), &QTreeWidget::itemDoubleClicked,
                         GuardedHandler(Window(), [this] { OnPropertiesClicked(); }));
        QObject::connect(Item<QPushButton>(IDC_NOTIFICATIONS_ADD), &QPushButton::clicked,
                         GuardedHandler(Window(), [this] { OnAddClicked(); }));
        QObject::connect(Item<QPushButton>(IDC_NOTIFICATIONS_REMOVE), &QPushButton::clicked,
                         GuardedHandler(Window(), [this] { OnRemoveClicked(); }));
        QObject::connect(Item<QPushButton>(IDC_NOTIFICATIONS_PROPERTIES), &QPushButton::clicked,
                         GuardedHandler(Window(), [this] { OnPropertiesClicked(); }));
        try {
            const QIcon Icon = ServerListIcon(IDI_NOTIFICATION);
            for (const auto& Data : ClassesOf(CATID_CorvaneHarkwellNotifications)) {
                const int nIndex = m_Available.InsertItem(m_Available.GetItemCount(), Data);
                QTreeWidgetItem* pItem = m_Available.Control()->topLevelItem(nIndex);
                pItem->setIcon(0, Icon);
                const QString sTip = QStringLiteral("Notification: %1\r\nClass: %2\r\n")
                                         .arg(Q(Data.sDisplayName), Q(GuidString(Data.Class)));
                for (int nColumn : {0, 1}) pItem->setToolTip(nColumn, sTip);
            }
        } catch (...) {
            UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught\n");
        }
        if (m_Available.GetItemCount() == 0)
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "No notification class is registered in its category\n");
        UpdateButtons();
    }
    void initializePage() override { UpdateButtons(); }
    bool isComplete() const override { return m_Chosen.GetItemCount() > 0; }
    bool validatePage() override {
        return corvane::GuardedWindowCall(Window(), [this] {
            UL_ASSERT(m_Chosen.GetItemCount() > 0);
            CCreateScenarioWizard::NotificationDataArray Notifications;
            for (int i = 0; i < m_Chosen.GetItemCount(); ++i) Notifications.push_back(m_Chosen.DataFromItemData(i));
            m_Wizard.SetNotifications(std::move(Notifications));
            m_Wizard.Complete();
        });
    }

private:
    static std::vector<int> Selected(QTreeWidget* pList) {
        std::vector<int> Indexes;
        for (int i = 0; i < pList->topLevelItemCount(); ++i)
            if (pList->topLevelItem(i)->isSelected()) Indexes.push_back(i);
        return Indexes;
    }
    void UpdateButtons() {
        EnableWindow(GetDlgItem(Window(), IDC_NOTIFICATIONS_ADD), !Selected(m_Available.Control()).empty());
        const std::vector<int> Chosen = Selected(m_Chosen.Control());
        EnableWindow(GetDlgItem(Window(), IDC_NOTIFICATIONS_REMOVE), !Chosen.empty());
        EnableWindow(GetDlgItem(Window(), IDC_NOTIFICATIONS_PROPERTIES),
                     Chosen.size() == 1 && m_Chosen.DataFromItemData(Chosen.front()).pSpecifyPropertyPages);
        Q_EMIT completeChanged();
    }
    void UpdateChosenTip(int nIndex) {
        const auto& Data = m_Chosen.DataFromItemData(nIndex);
        const QString sTip =
            QStringLiteral("Notification: %1\r\nTitle: %2\r\nClass: %3\r\n")
                .arg(Q(Data.sDisplayName), Q(TitleOf<INotification>(Data.pObject)), Q(GuidString(Data.Class)));
        for (int nColumn : {0, 1}) m_Chosen.Control()->topLevelItem(nIndex)->setToolTip(nColumn, sTip);
    }
    void OnAddClicked() {
        m_Chosen.Control()->clearSelection();
        for (int nIndex : Selected(m_Available.Control())) {
            CCreateScenarioWizard::CObjectData Data = m_Available.DataFromItemData(nIndex);
            VARIANT vClass = ClassText(Data.Class);
            CComPtr<INotification> pNotification;
            const HRESULT hr = m_Wizard.GetScenarios()->CreateNotification(vClass, &pNotification);
            VariantClear(&vClass);
            UL_CHECK(hr);
            Data.pObject = pNotification.p;
            pNotification->QueryInterface(&Data.pSpecifyPropertyPages);
            const int nAdded = m_Chosen.InsertItem(m_Chosen.GetItemCount(), Data);
            QTreeWidgetItem* pItem = m_Chosen.Control()->topLevelItem(nAdded);
            static const QIcon Icon = ServerListIcon(IDI_NOTIFICATION);
            pItem->setIcon(0, Icon);
            UpdateChosenTip(nAdded);
            pItem->setSelected(true);
        }
        UpdateButtons();
    }
    void OnRemoveClicked() {
        const std::vector<int> Chosen = Selected(m_Chosen.Control());
        for (auto Position = Chosen.rbegin(); Position != Chosen.rend(); ++Position) m_Chosen.DeleteItem(*Position);
        UpdateButtons();
    }
    void OnPropertiesClicked() {
        const std::vector<int> Chosen = Selected(m_Chosen.Control());
        if (Chosen.size() != 1) return;
        const auto& Data = m_Chosen.DataFromItemData(Chosen.front());
        if (!Data.pSpecifyPropertyPages) return;
        ShowObjectProperties(Data.pObject);
        m_Chosen.UpdateItem(Chosen.front());
        UpdateChosenTip(Chosen.front());
    }

    CCreateScenarioWizard& m_Wizard;
    corvane::CUlListViewT<CCreateScenarioWizard::CObjectData> m_Available;
    corvane::CUlListViewT<CCreateScenarioWizard::CObjectData> m_Chosen;
};

class CCompletionPage final : public CResourcePage {
public:
    explicit CCompletionPage(const QFont& TitleFont) : CResourcePage(kCompletionResource, IDD_WIZARD_COMPLETION) {
        Item(IDC_COMPLETION_TITLE)->setFont(TitleFont);
        const int nSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize);
        auto* pIcon = Item<QLabel>(IDC_COMPLETION_ICON);
        pIcon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(nSize, nSize));
        pIcon->resize(nSize, nSize);
        setFinalPage(true);
    }
};

// The sheet: Cancel on the two choice pages asks first.
class CWizardDialog final : public QWizard {
public:
    explicit CWizardDialog(QWidget* pOwner) : QWizard(pOwner) {}
    void reject() override {
        const int nPage = currentId();
        if (nPage == 1 || nPage == 2) {
            if (corvane::CMessageBox(HandleFromWidget(this), IDS_WIZARD_EXIT, corvane::IDS_CAPTION_CONFIRMATION,
                                     MB_YESNO | MB_ICONEXCLAMATION)
                    .DoModal() != IDYES)
                return;
        }
        QWizard::reject();
    }
};

}  // namespace

CCreateScenarioWizard::CCreateScenarioWizard(IScenarios* pScenarios)
    : m_pScenarios(pScenarios), m_TitleFont(CreateTitleFont(QApplication::font("QMessageBox"))) {
    UL_ASSERT(pScenarios != nullptr);
}

QFont CCreateScenarioWizard::CreateTitleFont(const QFont& MessageFont) {
    QFont Font(MessageFont);
    Font.setFamilies({QStringLiteral("Verdana Bold"), QStringLiteral("Verdana"), MessageFont.family()});
    Font.setWeight(QFont::Bold);
    Font.setPixelSize(QFontInfo(MessageFont).pixelSize() + 4);
    return Font;
}

QPixmap CCreateScenarioWizard::HeaderPicture(qreal nScale) {
    return DrawSvg(kHeaderSvg, QSize(49, 49), nScale);
}

QPixmap CCreateScenarioWizard::WatermarkPicture(qreal nScale) {
    return DrawSvg(kWatermarkSvg, QSize(164, 314), nScale);
}

void CCreateScenarioWizard::Complete() {
    UL_ASSERT(m_pScenarios != nullptr);
    corvane::CheckPointer(m_pScenarios.p);
    CComPtr<IScenario> pScenario;
    UL_CHECK(m_pScenarios->Add(&pScenario));
    try {
        UL_ASSERT(m_Activity.pObject != nullptr);
        CComQIPtr<IActivity> pActivity(m_Activity.pObject);
        if (!pActivity) corvane::ThrowHResult(E_NOINTERFACE);
        UL_CHECK(pScenario->put_Activity(pActivity));
        UL_ASSERT(!m_Notifications.empty());
        CComPtr<INotifications> pNotifications;
        UL_CHECK(pScenario->get_Notifications(&pNotifications));
        if (!pNotifications) corvane::ThrowHResult(E_NOINTERFACE);
        for (const CObjectData& Notification : m_Notifications) {
            CComQIPtr<INotification> p(Notification.pObject);
            if (!p) corvane::ThrowHResult(E_NOINTERFACE);
            UL_CHECK(pNotifications->Add(p));
        }
        UL_CHECK(pActivity->Start());
        m_pScenario = pScenario;
    } catch (...) {
        // The collection is left as it was before.
        const HRESULT hr = m_pScenarios->Remove(pScenario);
        UL_ASSERT(SUCCEEDED(hr));
        throw;
    }
}

int CCreateScenarioWizard::DoModal(HWND hOwner) {
    QWidget* pOwner = WidgetFromHandle(hOwner);
    if (pOwner == nullptr) pOwner = QApplication::activeWindow();
    CWizardDialog Wizard(pOwner);
    Wizard.setWindowTitle(Q(corvane::LoadStringResource(IDS_WIZARD_TITLE)));
    Wizard.setWizardStyle(QWizard::ModernStyle);
    Wizard.setOption(QWizard::NoBackButtonOnStartPage, true);
    const qreal nScale = Wizard.screen() != nullptr ? Wizard.screen()->devicePixelRatio() : qApp->devicePixelRatio();
    Wizard.setPixmap(QWizard::LogoPixmap, HeaderPicture(nScale));
    // The watermark belongs to the two exterior pages only.
    const QPixmap Watermark = WatermarkPicture(nScale);
    auto* pIntroduction = new CIntroductionPage(m_TitleFont);
    auto* pCompletion = new CCompletionPage(m_TitleFont);
    pIntroduction->setPixmap(QWizard::WatermarkPixmap, Watermark);
    pCompletion->setPixmap(QWizard::WatermarkPixmap, Watermark);
    Wizard.setPage(0, pIntroduction);
    Wizard.setPage(1, new CActivityPage(*this));
    Wizard.setPage(2, new CNotificationsPage(*this));
    Wizard.setPage(3, pCompletion);
    for (const auto& [Button, nId] : {std::pair{QWizard::BackButton, IDC_WIZARD_BACK},
                                      {QWizard::NextButton, IDC_WIZARD_NEXT},
                                      {QWizard::FinishButton, IDC_WIZARD_FINISH},
                                      {QWizard::CancelButton, IDCANCEL}})
        Wizard.button(Button)->setObjectName(QString::number(nId));
    // Once completed there is no way back: the scenario exists.
    QObject::connect(&Wizard, &QWizard::currentIdChanged, &Wizard, [&Wizard](int nPage) {
        if (nPage == 3) Wizard.button(QWizard::BackButton)->setEnabled(false);
    });
    if (CIntroductionPage::IsSkipRemembered()) {
        pIntroduction->Item<QCheckBox>(IDC_INTRODUCTION_SKIP)->setChecked(true);
        // The introduction refuses its first showing: the wizard opens on the activity page, and Back
        // still leads to it.
        QTimer::singleShot(0, &Wizard, [&Wizard] {
            if (Wizard.currentId() == 0) Wizard.next();
        });
    }
    Wizard.adjustSize();
    const HWND hWizard = HandleFromWidget(&Wizard);
    corvane::CentreWindow(hWizard, HandleFromWidget(pOwner));
    corvane::OffsetFromSimilarParent(hWizard);
    const int nResult = Wizard.exec();
    return nResult == QDialog::Accepted ? IDOK : IDCANCEL;
}

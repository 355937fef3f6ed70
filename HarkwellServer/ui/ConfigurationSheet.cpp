#include "ConfigurationSheet.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <filesystem>

#include "ServerRegistration.h"
#include "comrt/autostart.h"
#include "comrt/processes.h"
#include "comrt/service.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulmodule.h"
#include "corvane/ulregistry.h"
#include "corvane/ulresource.h"

namespace {

using corvane::GuardedHandler;

constexpr int IDC_MODE_INTRODUCTION = 2011;

const corvane::StringResource kModeStrings[] = {
    {IDD_MODE, u"Mode"},
    {IDC_MODE_APPLICATION_STARTUP, u"Manual\nAutostart (Just Me)\nAutostart (Everyone)\n"},
    {IDC_MODE_SERVICE_STARTUP, u"Manual\nAutomatic\n"},
    {IDC_MODE_HELPER_STARTUP, u"Manual\nAutostart (Just Me)\nAutostart (Everyone)\n"},
};
const corvane::CStringTableRegistration g_ModeStrings(kModeStrings);

const DialogControl kModeControls[] = {
    {IDC_MODE_HYPERSTATIC, DialogControlKind::Static,
     u"Corvane Harkwell Server, a product of the <A HREF=\"https://www.corvane.example/harkwell/\" "
     u"TITLE=\"The Corvane Harkwell web site\">Corvane Harkwell</A> line",
     7, 7, 238, 10},
    {IDC_MODE_INTRODUCTION, DialogControlKind::Static,
     u"Please configure server as an application or a system service using the choices below.", 7, 22, 238, 18},
    {IDC_MODE_APPLICATION, DialogControlKind::RadioButton, u"&Application Mode", 7, 44, 238, 12},
    {IDC_MODE_APPLICATION_STARTUP_LABEL, DialogControlKind::Static, u"A&utomatic startup: ", 19, 62, 100, 8},
    {IDC_MODE_APPLICATION_STARTUP, DialogControlKind::ComboBox, nullptr, 122, 60, 123, 60},
    {IDC_MODE_SERVICE, DialogControlKind::RadioButton, u"&Service Mode", 7, 82, 238, 12},
    {IDC_MODE_SERVICE_STARTUP_LABEL, DialogControlKind::Static, u"Service s&tartup: ", 19, 100, 100, 8},
    {IDC_MODE_SERVICE_STARTUP, DialogControlKind::ComboBox, nullptr, 122, 98, 123, 60},
    {IDC_MODE_SERVICES, DialogControlKind::Button, u"S&ervices...", 185, 116, 60, 14},
    {IDC_MODE_HELPER_STARTUP_LABEL, DialogControlKind::Static, u"System tray &helper startup: ", 19, 138, 100, 8},
    {IDC_MODE_HELPER_STARTUP, DialogControlKind::ComboBox, nullptr, 122, 136, 123, 60},
};
const DialogResource kModeResource{252, 156, nullptr, kModeControls};

constexpr char16_t kUnitName[] = u"corvane-harkwell-server.service";
// The service manager of the desktop, when one is installed.
constexpr char kServiceManager[] = "/usr/bin/systemdgenie";

std::u16string AutostartName() {
    return corvane::GuidText(APPID_HarkwellServer);
}

bool AutostartEntryExists(AutostartScope Scope) {
    std::u16string sCommand;
    return ReadAutostartEntry(Scope, AutostartName(), sCommand) == ERROR_SUCCESS && !sCommand.empty();
}

void CheckWin32(LONG nResult) {
    if (nResult != ERROR_SUCCESS) corvane::ThrowHResult(HRESULT_FROM_WIN32(static_cast<std::uint32_t>(nResult)));
}

[[noreturn]] void ThrowLastError() {
    corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
}

// A service handle that is closed with its owner.
class CServiceHandle {
public:
    explicit CServiceHandle(SC_HANDLE hHandle) noexcept : m_hHandle(hHandle) {}
    ~CServiceHandle() {
        if (m_hHandle != nullptr) CloseServiceHandle(m_hHandle);
    }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;
    SC_HANDLE Get() const noexcept { return m_hHandle; }

private:
    SC_HANDLE m_hHandle;
};

// The manager opened for reading and the service with nAccess; failures are raised.
struct COpenService {
    explicit COpenService(DWORD nAccess)
        : Manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)),
          Service(Manager.Get() != nullptr ? OpenServiceW(Manager.Get(), kServiceName, nAccess) : nullptr) {
        if (Service.Get() == nullptr) ThrowLastError();
    }
    CServiceHandle Manager;
    CServiceHandle Service;
};

QWidget* Widget(HWND hWnd) {
    return WidgetFromHandle(hWnd);
}

}  // namespace

const DialogResource& CModePropertyPage::GetDialogResource() {
    return kModeResource;
}

CModePropertyPage::~CModePropertyPage() {
    if (m_RunningServiceManager != nullptr) CloseHandle(m_RunningServiceManager);
}

HWND CModePropertyPage::Create(HWND hParent, const QFont& BoldFont, std::function<void()> OnChanged) {
    m_BoldFont = BoldFont;
    m_OnChanged = std::move(OnChanged);
    if (m_sProgramPath.empty()) m_sProgramPath = comrt::ToUtf16(corvane::GetProcessImagePath());
    m_hWnd = CreateDialogFromResource(kModeResource, hParent);
    if (m_hWnd == nullptr) return nullptr;
    corvane::GuardedWindowCall(m_hWnd, [this] { OnInitDialog(); });
    return m_hWnd;
}

void CModePropertyPage::OnInitDialog() {
    InitializeControls(m_hWnd);
    UL_ASSERT(m_HyperStatic.GetWindow() != nullptr);
    auto* pApplication = qobject_cast<QRadioButton*>(Widget(m_ApplicationButton));
    auto* pService = qobject_cast<QRadioButton*>(Widget(m_ServiceButton));
    pApplication->setFont(m_BoldFont);
    pService->setFont(m_BoldFont);
    pApplication->setChecked(true);
    m_ApplicationStartupCombo.Initialize();
    m_ServiceStartupCombo.Initialize();
    m_HelperStartupCombo.Initialize();
    m_ApplicationStartupCombo.SetCurSel(m_ApplicationStartupCombo.FindItemData(AUTOMATIC_START_MANUAL));
    m_ServiceStartupCombo.SetCurSel(m_ServiceStartupCombo.FindItemData(1));
    m_HelperStartupCombo.SetCurSel(m_HelperStartupCombo.FindItemData(AUTOMATIC_START_MANUAL));
    m_ChangeSet.clear();
    try {
        CRegKey AppIdKey;
        std::u16string sLocalService;
        const bool bService = AppIdKey.Open(HKEY_CLASSES_ROOT, u"AppID\\" + corvane::GuidText(APPID_HarkwellServer),
                                            KEY_READ) == ERROR_SUCCESS &&
                              AppIdKey.QueryStringValue(u"LocalService", sLocalService) == ERROR_SUCCESS &&
                              !sLocalService.empty();
        (bService ? pService : pApplication)->setChecked(true);
        const LONG nStart = AutostartEntryExists(AutostartScope::Everyone) ? AUTOMATIC_START_EVERYONE
                            : AutostartEntryExists(AutostartScope::User)   ? AUTOMATIC_START_USER
                                                                           : AUTOMATIC_START_MANUAL;
        m_ApplicationStartupCombo.SetCurSel(m_ApplicationStartupCombo.FindItemData(nStart));
        m_HelperStartupCombo.SetCurSel(m_HelperStartupCombo.FindItemData(nStart));
        if (bService) {
            COpenService Open(SERVICE_QUERY_CONFIG);
            DWORD nStartType = 0;
            if (!QueryServiceStartType(Open.Service.Get(), &nStartType)) ThrowLastError();
            if (nStartType == SERVICE_AUTO_START) {
                m_ServiceStartupCombo.SetCurSel(m_ServiceStartupCombo.FindItemData(1));
            } else if (nStartType == SERVICE_DEMAND_START) {
                m_ServiceStartupCombo.SetCurSel(m_ServiceStartupCombo.FindItemData(0));
            } else {
                // Disabled: "Automatic" stays selected and counts as a change, so that Apply sets it.
                m_ChangeSet.insert(IDC_MODE_SERVICE_STARTUP);
            }
        }
    } catch (...) {
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "An exception has been caught\n");
    }
    UpdateControls();
    if (IsModified() && m_OnChanged) m_OnChanged();

    const auto Connect = [this](HWND hControl, int nId) {
        QWidget* pControl = Widget(hControl);
        if (auto* pRadio = qobject_cast<QRadioButton*>(pControl))
            QObject::connect(pRadio, &QRadioButton::clicked, GuardedHandler(m_hWnd, [this, nId] { OnChange(nId); }));
        else if (auto* pCombo = qobject_cast<QComboBox*>(pControl))
            QObject::connect(pCombo, &QComboBox::activated, GuardedHandler(m_hWnd, [this, nId] { OnChange(nId); }));
    };
    Connect(m_ApplicationButton, IDC_MODE_APPLICATION);
    Connect(m_ServiceButton, IDC_MODE_SERVICE);
    Connect(m_ApplicationStartupCombo.GetWindow(), IDC_MODE_APPLICATION_STARTUP);
    Connect(m_ServiceStartupCombo.GetWindow(), IDC_MODE_SERVICE_STARTUP);
    Connect(m_HelperStartupCombo.GetWindow(), IDC_MODE_HELPER_STARTUP);
    QObject::connect(qobject_cast<QPushButton*>(Widget(GetDlgItem(m_hWnd, IDC_MODE_SERVICES))), &QPushButton::clicked,
                     GuardedHandler(m_hWnd, [this] { OnServices(); }));
}

void CModePropertyPage::UpdateControls() {
    const bool bApplication =
        IsWindow(m_ApplicationButton) && Widget(m_ApplicationButton)->property("checked").toBool();
    const bool bService = IsWindow(m_ServiceButton) && Widget(m_ServiceButton)->property("checked").toBool();
    UL_ASSERT(bApplication != bService);
    for (int nId : {IDC_MODE_APPLICATION_STARTUP_LABEL, IDC_MODE_APPLICATION_STARTUP})
        EnableWindow(GetDlgItem(m_hWnd, nId), bApplication);
    for (int nId : {IDC_MODE_SERVICE_STARTUP_LABEL, IDC_MODE_SERVICE_STARTUP, IDC_MODE_SERVICES,
                    IDC_MODE_HELPER_STARTUP_LABEL, IDC_MODE_HELPER_STARTUP})
        EnableWindow(GetDlgItem(m_hWnd, nId), !bApplication);
}

void CModePropertyPage::OnChange(int nId) {
    m_ChangeSet.insert(nId);
    if (m_OnChanged) m_OnChanged();
    UpdateControls();
}

void CModePropertyPage::OnServices() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    struct CRestoreCursor {
        ~CRestoreCursor() { QApplication::restoreOverrideCursor(); }
    } RestoreCursor;
    // The desktop's service manager when one is installed; else the command that manages the unit.
    std::error_code Error;
    if (std::filesystem::exists(kServiceManager, Error)) {
        PROCESS_INFORMATION Information{};
        if (!CreateProcessW(nullptr, comrt::ToUtf16(kServiceManager).c_str(), &Information)) ThrowLastError();
        // The manager runs on by itself; the handles are closed when it ends.
        CloseHandle(Information.hThread);
        if (m_RunningServiceManager != nullptr) CloseHandle(m_RunningServiceManager);
        m_RunningServiceManager = Information.hProcess;
        return;
    }
    corvane::CMessageBox(m_hWnd,
                         std::u16string(u"The service is managed with systemctl, for example:\n"
                                        u"systemctl status ") +
                             kUnitName + u"\nsudo systemctl enable " + kUnitName,
                         corvane::IDS_CAPTION_INFORMATION, MB_OK | MB_ICONINFORMATION)
        .DoModal();
}

void CModePropertyPage::ReRegister(bool bService) {
    const std::u16string sCommandLine =
        u"\"" + m_sProgramPath + u"\" " + (bService ? std::u16string(u"/service") : std::u16string(u"/regserver"));
    PROCESS_INFORMATION Information{};
    if (!CreateProcessW(nullptr, sCommandLine.c_str(), &Information)) ThrowLastError();
    const bool bWaited = WaitForSingleObject(Information.hProcess, INFINITE) == WAIT_OBJECT_0;
    UL_ASSERT(bWaited);
    DWORD nExitCode = STILL_ACTIVE;
    GetExitCodeProcess(Information.hProcess, &nExitCode);
    CloseHandle(Information.hThread);
    CloseHandle(Information.hProcess);
    // A program that could not register itself leaves the rest unchanged, and the person is told.
    if (nExitCode != 0) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "The re-registration \"%s\" ended with %u\n",
                 comrt::ToUtf8(sCommandLine).c_str(), static_cast<unsigned>(nExitCode));
        corvane::ThrowHResult(E_REREGISTRATION_FAILED);
    }
}

void CModePropertyPage::Apply() {
    if (m_ChangeSet.empty()) return;
    const bool bService = Widget(m_ServiceButton)->property("checked").toBool();
    bool bModeChanged = false;
    if (m_ChangeSet.count(IDC_MODE_APPLICATION) != 0 || m_ChangeSet.count(IDC_MODE_SERVICE) != 0) {
        ReRegister(bService);
        bModeChanged = true;
    }
    const bool bMachineEntry = AutostartEntryExists(AutostartScope::Everyone);
    const bool bUserEntry = AutostartEntryExists(AutostartScope::User);
    if (bService && (bModeChanged || m_ChangeSet.count(IDC_MODE_SERVICE_STARTUP) != 0)) {
        COpenService Open(SERVICE_CHANGE_CONFIG);
        const DWORD nStartType =
            m_ServiceStartupCombo.GetCurSelData(1) == 1 ? SERVICE_AUTO_START : SERVICE_DEMAND_START;
        if (!ChangeServiceConfigW(Open.Service.Get(), SERVICE_NO_CHANGE, nStartType, SERVICE_NO_CHANGE, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
            ThrowLastError();
    }
    const LONG nStart = (bService ? m_HelperStartupCombo : m_ApplicationStartupCombo).GetCurSelData();
    const std::u16string sName = AutostartName();
    const std::u16string sCommand = u"\"" + m_sProgramPath + u"\"";
    switch (nStart) {
        case AUTOMATIC_START_USER:
            CheckWin32(WriteAutostartEntry(AutostartScope::User, sName, kServiceName, sCommand));
            if (bMachineEntry) CheckWin32(DeleteAutostartEntry(AutostartScope::Everyone, sName));
            break;
        case AUTOMATIC_START_EVERYONE:
            // Written before the user's entry goes, so that a failed write leaves the automatic start as it
            // was.
            CheckWin32(WriteAutostartEntry(AutostartScope::Everyone, sName, kServiceName, sCommand));
            if (bUserEntry) CheckWin32(DeleteAutostartEntry(AutostartScope::User, sName));
            break;
        default:
            if (bUserEntry) CheckWin32(DeleteAutostartEntry(AutostartScope::User, sName));
            if (bMachineEntry) CheckWin32(DeleteAutostartEntry(AutostartScope::Everyone, sName));
            break;
    }
    m_ChangeSet.clear();
}

CConfigurationPropertySheet::CConfigurationPropertySheet()
    : m_LargerBoldFont(CreateLargerBoldFont(QApplication::font())) {}

CConfigurationPropertySheet::~CConfigurationPropertySheet() {
    delete m_pDialog;
}

QFont CConfigurationPropertySheet::CreateLargerBoldFont(const QFont& Font) {
    QFont Bold(Font);
    Bold.setWeight(QFont::Bold);
    Bold.setPixelSize(QFontInfo(Font).pixelSize() + 1);
    return Bold;
}

bool CConfigurationPropertySheet::ApplyPages() {
    if (!m_ModePage.IsModified()) return true;
    if (!corvane::GuardedWindowCall(HandleFromWidget(m_pDialog), [this] { m_ModePage.Apply(); })) return false;
    m_pApplyButton->setEnabled(false);
    return true;
}

int CConfigurationPropertySheet::DoModal(HWND hOwner) {
    QWidget* pOwner = WidgetFromHandle(hOwner);
    if (pOwner == nullptr) pOwner = QApplication::activeWindow();
    m_pDialog = new QDialog(pOwner);
    m_pDialog->setWindowTitle(QStringLiteral("Configuration"));
    auto* pLayout = new QVBoxLayout(m_pDialog);
    auto* pTabs = new QTabWidget(m_pDialog);
    pTabs->setObjectName(QString::number(IDC_SHEET_TABS));
    pLayout->addWidget(pTabs);
    auto* pPageArea = new QWidget;
    const SIZE PageSize = GetDialogResourceSize(CModePropertyPage::GetDialogResource());
    pPageArea->setMinimumSize(PageSize.cx, PageSize.cy);
    pTabs->addTab(pPageArea,
                  QString::fromStdU16String(corvane::LoadStringResource(CModePropertyPage::GetTitleResourceId())));
    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch(1);
    auto* pOk = new QPushButton(QStringLiteral("OK"), m_pDialog);
    auto* pCancel = new QPushButton(QStringLiteral("Cancel"), m_pDialog);
    m_pApplyButton = new QPushButton(QStringLiteral("&Apply"), m_pDialog);
    pOk->setObjectName(QString::number(IDOK));
    pCancel->setObjectName(QString::number(IDCANCEL));
    m_pApplyButton->setObjectName(QString::number(IDC_SHEET_APPLY));
    pOk->setDefault(true);
    m_pApplyButton->setEnabled(false);
    for (QPushButton* pButton : {pOk, pCancel, m_pApplyButton.data()}) pButtons->addWidget(pButton);
    pLayout->addLayout(pButtons);
    QPointer<QPushButton> pApply = m_pApplyButton;
    const HWND hPage = m_ModePage.Create(HandleFromWidget(pPageArea), m_LargerBoldFont, [pApply] {
        if (pApply) pApply->setEnabled(true);
    });
    if (hPage == nullptr) ThrowLastError();
    QDialog* pDialog = m_pDialog;
    QObject::connect(pOk, &QPushButton::clicked, pDialog, [this, pDialog] {
        if (ApplyPages()) pDialog->done(IDOK);
    });
    QObject::connect(pCancel, &QPushButton::clicked, pDialog, [pDialog] { pDialog->done(IDCANCEL); });
    QObject::connect(m_pApplyButton, &QPushButton::clicked, pDialog, [this] { ApplyPages(); });
    m_pDialog->adjustSize();
    const HWND hSheet = HandleFromWidget(m_pDialog);
    corvane::CentreWindow(hSheet, HandleFromWidget(pOwner));
    corvane::OffsetFromSimilarParent(hSheet);
    const int nResult = m_pDialog->exec();
    delete m_pDialog;
    return nResult == IDOK ? IDOK : IDCANCEL;
}

// The configuration sheet ("Configuration") and its one page, the Mode page: Application Mode with its
// automatic start, or Service Mode with the service's start type and the automatic start of the tray
// helper.
#pragma once

#include <QFont>
#include <QPointer>
#include <functional>
#include <set>
#include <string>

#include "comrt/qtwindows.h"
#include "corvane/ulcontrols.h"
#include "corvane/ulhyperstatic.h"
#include "corvane/ulwindow.h"

#include <QDialog>
#include <QPushButton>

constexpr int IDD_MODE = 2000;
constexpr int IDC_MODE_HYPERSTATIC = 2010;
constexpr int IDC_MODE_APPLICATION = 2001;
constexpr int IDC_MODE_APPLICATION_STARTUP_LABEL = 2002;
constexpr int IDC_MODE_APPLICATION_STARTUP = 2003;
constexpr int IDC_MODE_SERVICE = 2004;
constexpr int IDC_MODE_SERVICE_STARTUP_LABEL = 2005;
constexpr int IDC_MODE_SERVICE_STARTUP = 2006;
constexpr int IDC_MODE_SERVICES = 2007;
constexpr int IDC_MODE_HELPER_STARTUP_LABEL = 2008;
constexpr int IDC_MODE_HELPER_STARTUP = 2009;

// The property frame's own identifiers, which the sheet keeps.
constexpr int IDC_SHEET_TABS = 12320;
constexpr int IDC_SHEET_APPLY = 12321;

// The program registered itself in the chosen mode with a failure (its exit status was not 0).
constexpr HRESULT E_REREGISTRATION_FAILED = static_cast<HRESULT>(0xA7650300);

// The automatic start choices of lists 2003 and 2009 (their item data).
enum AutomaticStart : LONG { AUTOMATIC_START_MANUAL = 0, AUTOMATIC_START_USER = 1, AUTOMATIC_START_EVERYONE = 2 };

class CModePropertyPage : public corvane::CWindowWithControlsT<CModePropertyPage> {
public:
    CModePropertyPage() = default;
    ~CModePropertyPage();
    CModePropertyPage(const CModePropertyPage&) = delete;
    CModePropertyPage& operator=(const CModePropertyPage&) = delete;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_MODE; }

    BEGIN_UL_CONTROL_MAP(CModePropertyPage)
    UL_CONTROL_ENTRY(IDC_MODE_HYPERSTATIC, m_HyperStatic)
    UL_CONTROL_ENTRY(IDC_MODE_APPLICATION, m_ApplicationButton)
    UL_CONTROL_ENTRY(IDC_MODE_SERVICE, m_ServiceButton)
    UL_CONTROL_ENTRY(IDC_MODE_APPLICATION_STARTUP, m_ApplicationStartupCombo)
    UL_CONTROL_ENTRY(IDC_MODE_SERVICE_STARTUP, m_ServiceStartupCombo)
    UL_CONTROL_ENTRY(IDC_MODE_HELPER_STARTUP, m_HelperStartupCombo)
    END_UL_CONTROL_MAP()

    // Makes the page's window in hParent and initialises it; OnChanged runs whenever the page becomes
    // modified (the sheet enables Apply).
    HWND Create(HWND hParent, const QFont& BoldFont, std::function<void()> OnChanged);
    HWND GetWindow() const noexcept { return m_hWnd; }
    bool IsModified() const noexcept { return !m_ChangeSet.empty(); }
    // Applies the changes; failures are raised, and the change set stays as it was.
    void Apply();
    // The program that re-registers itself (the running program unless set).
    void SetProgramPath(std::u16string sPath) { m_sProgramPath = std::move(sPath); }

private:
    void OnInitDialog();
    void UpdateControls();
    void OnChange(int nId);
    void OnServices();
    void ReRegister(bool bService);

    HWND m_hWnd = nullptr;
    QFont m_BoldFont;
    std::function<void()> m_OnChanged;
    std::set<int> m_ChangeSet;
    std::u16string m_sProgramPath;
    HANDLE m_RunningServiceManager = nullptr;
    corvane::CUlHyperStatic m_HyperStatic;
    HWND m_ApplicationButton = nullptr;
    HWND m_ServiceButton = nullptr;
    corvane::CUlComboBoxT<LONG> m_ApplicationStartupCombo;
    corvane::CUlComboBoxT<LONG> m_ServiceStartupCombo;
    corvane::CUlComboBoxT<LONG> m_HelperStartupCombo;
};

class CConfigurationPropertySheet {
public:
    CConfigurationPropertySheet();
    ~CConfigurationPropertySheet();
    CConfigurationPropertySheet(const CConfigurationPropertySheet&) = delete;
    CConfigurationPropertySheet& operator=(const CConfigurationPropertySheet&) = delete;

    // The stock dialog font in bold (700), its height one pixel larger.
    static QFont CreateLargerBoldFont(const QFont& Font);

    CModePropertyPage& GetModePage() noexcept { return m_ModePage; }
    // Shows the sheet owned by hOwner (null: the active window) until it is closed: IDOK or IDCANCEL.
    int DoModal(HWND hOwner = nullptr);
    // The sheet while it is shown.
    QDialog* GetDialog() const noexcept { return m_pDialog; }

private:
    bool ApplyPages();

    QFont m_LargerBoldFont;
    CModePropertyPage m_ModePage;
    QPointer<QDialog> m_pDialog;
    QPointer<QPushButton> m_pApplyButton;
};

// The property pages of the four activities: the process check's name expressions, the ping's general
// settings, the file system check's general settings, and the system performance check's thresholds, current
// figures and poll settings. Each loads its controls from the first object of its list when its window is
// made, and Apply writes them back (every object of the list, unless noted), stopping at the first property
// the object refuses: what was written before it stays written, the page stays dirty.
#pragma once

#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "FileSystemCheckActivity.h"
#include "Pack1PropertyPage.h"
#include "PingActivity.h"
#include "ProcessCheckActivity.h"
#include "SystemPerformanceCheckActivity.h"
#include "comrt/psapi.h"
#include "corvane/ulhyperstatic.h"

// Where the links of the pattern labels lead: the reference of the pattern dialect, installed with the
// program's documentation (docs/regular-expressions.md; the build names its installed place).
inline constexpr char16_t kRegularExpressionReference[] = CORVANE_REGEXP_REFERENCE_TEXT;

// Dialogs, tab titles and controls.
constexpr UINT IDD_PROCESSCHECKACTIVITY_NAMEEXPRESSION = 600;
constexpr int IDC_NAMEEXPRESSION_DESCRIPTION = 601;
constexpr int IDC_NAMEEXPRESSION_EXPRESSIONS = 602;

constexpr UINT IDD_PINGACTIVITY_GENERAL = 800;
constexpr int IDC_PING_HOST = 801;
constexpr int IDC_PING_TIMEOUT = 802;
constexpr int IDC_PING_INTERVAL = 803;
constexpr int IDC_PING_RETRYINTERVAL = 804;
constexpr int IDC_PING_FAILURECOUNT = 805;

constexpr UINT IDD_FILESYSTEMCHECKACTIVITY_GENERAL = 1400;
constexpr int IDC_FILESYSTEM_DIRECTORYPATH = 1401;
constexpr int IDC_FILESYSTEM_BROWSE = 1402;
constexpr int IDC_FILESYSTEM_FILENAMEEXPRESSION_TITLE = 1403;
constexpr int IDC_FILESYSTEM_FILENAMEEXPRESSION = 1404;
constexpr int IDC_FILESYSTEM_FILESIZEGRANULARITY = 1405;
constexpr int IDC_FILESYSTEM_MINIMALPOLLINTERVAL = 1406;

constexpr UINT IDD_SYSTEMPERFORMANCE_THRESHOLDS = 1000;
constexpr int IDC_THRESHOLDS_FIRST = 1001;  // to 1006, in the order of kThresholdProperties
constexpr UINT IDD_SYSTEMPERFORMANCE_CURRENT = 1100;
constexpr int IDC_CURRENT_FIRST = 1101;  // to 1106
constexpr UINT IDD_SYSTEMPERFORMANCE_POLL = 1200;
constexpr int IDC_POLL_POLLINTERVAL = 1201;
constexpr int IDC_POLL_MINIMALEVENTINTERVAL = 1202;

// The page works only with exactly one object.
constexpr HRESULT E_PING_PAGE_SINGLE_OBJECT = static_cast<HRESULT>(0xA765006D);

// The directory path of the file system page names no folder.
constexpr HRESULT E_DIRECTORY_NOT_FOUND = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);

// The properties of the thresholds page, in the order of its edits 1001 to 1006.
inline constexpr const char16_t* kThresholdProperties[] = {
    u"MaximalCommitTotal", u"MaximalKernelPaged",  u"MaximalKernelNonpaged",
    u"MaximalHandleCount", u"MaximalProcessCount", u"MaximalThreadCount",
};

class CProcessCheckActivityNameExpressionPropertyPage
    : public pack1ui::CPack1PropertyPageT<CProcessCheckActivityNameExpressionPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_PROCESSCHECKACTIVITY_NAMEEXPRESSION; }

    void LoadControls();
    HRESULT Apply() override;
    using CPack1PropertyPageT::OnChange;

private:
    corvane::CUlHyperStatic m_DescriptionHyperStatic;
};

class CPingActivityGeneralPropertyPage : public pack1ui::CPack1PropertyPageT<CPingActivityGeneralPropertyPage>,
                                         public corvane::CWindowWithControlsT<CPingActivityGeneralPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_PINGACTIVITY_GENERAL; }

    BEGIN_UL_CONTROL_MAP(CPingActivityGeneralPropertyPage)
    UL_CONTROL_ENTRY(IDC_PING_HOST, m_hHostEdit)
    END_UL_CONTROL_MAP()

    void LoadControls();
    HRESULT Apply() override;
    using CPack1PropertyPageT::OnChange;

    HWND m_hHostEdit = nullptr;
};

class CFileSystemCheckActivityGeneralPropertyPage
    : public pack1ui::CPack1PropertyPageT<
          CFileSystemCheckActivityGeneralPropertyPage,
          corvane::IUlScrollablePropertyPageT<CFileSystemCheckActivityGeneralPropertyPage>>,
      public corvane::CWindowWithControlsT<CFileSystemCheckActivityGeneralPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_FILESYSTEMCHECKACTIVITY_GENERAL; }

    BEGIN_UL_CONTROL_MAP(CFileSystemCheckActivityGeneralPropertyPage)
    UL_CONTROL_ENTRY(IDC_FILESYSTEM_FILENAMEEXPRESSION_TITLE, m_FileNameExpressionTitleHyperStatic)
    UL_CONTROL_ENTRY(IDC_FILESYSTEM_DIRECTORYPATH, m_hDirectoryPathEdit)
    END_UL_CONTROL_MAP()

    void LoadControls();
    HRESULT Apply() override;
    using CPack1PropertyPageT::OnChange;
    // "Browse...": the folder browser on the current path; a chosen folder goes into 1401, and the page
    // tells itself that 1401 changed (later, in posting order), so that it becomes dirty even when the same
    // folder was chosen.
    void OnBrowseClicked();

    corvane::CUlHyperStatic m_FileNameExpressionTitleHyperStatic;
    HWND m_hDirectoryPathEdit = nullptr;
};

class CSystemPerformanceCheckActivityThresholdsPropertyPage
    : public pack1ui::CPack1PropertyPageT<
          CSystemPerformanceCheckActivityThresholdsPropertyPage,
          corvane::IUlScrollablePropertyPageT<CSystemPerformanceCheckActivityThresholdsPropertyPage>>,
      public corvane::CWindowWithControlsT<CSystemPerformanceCheckActivityThresholdsPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_SYSTEMPERFORMANCE_THRESHOLDS; }

    BEGIN_UL_CONTROL_MAP(CSystemPerformanceCheckActivityThresholdsPropertyPage)
    UL_CONTROL_ENTRY(IDC_THRESHOLDS_FIRST, m_hFirstEdit)
    END_UL_CONTROL_MAP()

    void LoadControls();
    HRESULT Apply() override;
    using CPack1PropertyPageT::OnChange;

    HWND m_hFirstEdit = nullptr;
};

class CSystemPerformanceCheckActivityCurrentPropertyPage
    : public pack1ui::CPack1PropertyPageT<CSystemPerformanceCheckActivityCurrentPropertyPage>,
      public corvane::CWindowWithControlsT<CSystemPerformanceCheckActivityCurrentPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_SYSTEMPERFORMANCE_CURRENT; }
    static constexpr int UPDATE_INTERVAL = 5000;

    BEGIN_UL_CONTROL_MAP(CSystemPerformanceCheckActivityCurrentPropertyPage)
    UL_CONTROL_ENTRY(IDC_CURRENT_FIRST, m_hFirstEdit)
    END_UL_CONTROL_MAP()

    // The six texts of a record: three byte counts in megabytes with the locale's number of decimals, then
    // the handle, process and thread counts.
    static std::vector<std::u16string> FormatFigures(const PERFORMANCE_INFORMATION& Information);

    void LoadControls();
    // Reads the record from the first object and shows it; failures are traced, the figures stay.
    void UpdateControls();
    HRESULT Apply() override;
    // The updates shown since the window was made, for tests.
    unsigned GetUpdateCount() const noexcept { return m_nUpdateCount; }
    QTimer* GetTimer() const noexcept { return m_pTimer; }

    HWND m_hFirstEdit = nullptr;

private:
    QTimer* m_pTimer = nullptr;  // a child of the page's window, which owns it
    unsigned m_nUpdateCount = 0;
};

class CSystemPerformanceCheckActivityPollPropertyPage
    : public pack1ui::CPack1PropertyPageT<
          CSystemPerformanceCheckActivityPollPropertyPage,
          corvane::IUlScrollablePropertyPageT<CSystemPerformanceCheckActivityPollPropertyPage>>,
      public corvane::CWindowWithControlsT<CSystemPerformanceCheckActivityPollPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_SYSTEMPERFORMANCE_POLL; }

    BEGIN_UL_CONTROL_MAP(CSystemPerformanceCheckActivityPollPropertyPage)
    UL_CONTROL_ENTRY(IDC_POLL_POLLINTERVAL, m_hPollIntervalEdit)
    END_UL_CONTROL_MAP()

    void LoadControls();
    HRESULT Apply() override;
    using CPack1PropertyPageT::OnChange;

    HWND m_hPollIntervalEdit = nullptr;
};

#include "ActivityPropertyPages.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <cstring>

#include "Common.h"
#include "PageText.h"
#include "comrt/nls.h"
#include "comrt/systemerrors.h"
#include "corvane/uldebug.h"
#include "corvane/ullisttext.h"
#include "corvane/ulresource.h"
#include "corvane/ulwindow.h"

namespace {

using pack1ui::GetNumberProperty;
using pack1ui::GetTextProperty;
using pack1ui::PutNumberProperty;
using pack1ui::PutTextProperty;

#define PACK1_REGEXP_LINK(text) \
    u"<A HREF=\"" CORVANE_REGEXP_REFERENCE_TEXT "\" TITLE=\"Regular Expression Reference\">" text "</A>"

const corvane::StringResource kActivityPageStrings[] = {
    {IDD_PROCESSCHECKACTIVITY_NAMEEXPRESSION, u"Name Expressions"},
    {IDC_NAMEEXPRESSION_DESCRIPTION,
     u"Use " PACK1_REGEXP_LINK(u"regular expressions") u" to specify process name patterns to match running "
                                                       u"processes, one pattern per line. Once the process matching "
                                                       u"any of the patterns is created or terminates, "
                                                       u"a notification will be issued."},
    {IDD_PINGACTIVITY_GENERAL, u"General"},
    {IDD_FILESYSTEMCHECKACTIVITY_GENERAL, u"General"},
    {IDC_FILESYSTEM_FILENAMEEXPRESSION_TITLE, u"File name " PACK1_REGEXP_LINK(u"regular expression") u" pattern: "},
    {IDD_SYSTEMPERFORMANCE_THRESHOLDS, u"Thresholds"},
    {IDD_SYSTEMPERFORMANCE_CURRENT, u"Current"},
    {IDD_SYSTEMPERFORMANCE_POLL, u"Poll"},
};
const corvane::CStringTableRegistration g_ActivityPageStrings(kActivityPageStrings);

// The name expression page.
const DialogControl kNameExpressionControls[] = {
    {IDC_NAMEEXPRESSION_DESCRIPTION, DialogControlKind::Static, u"", 7, 7, 216, 34},
    {IDC_NAMEEXPRESSION_EXPRESSIONS, DialogControlKind::MultiLineEdit, u"", 7, 44, 216, 120},
    {-1, DialogControlKind::Static,
     u"NOTE: For example, put a \"^calc\\.exe$\" line to look after \"calc.exe\" running process.", 7, 170, 216, 18},
};
const DialogResource kNameExpressionResource{230, 195, nullptr, kNameExpressionControls};

// The ping page.
const DialogControl kPingControls[] = {
    {-1, DialogControlKind::Static, u"&Host name or IP address to periodically ping: ", 7, 9, 213, 8},
    {IDC_PING_HOST, DialogControlKind::Edit, u"", 7, 20, 213, 14},
    {-1, DialogControlKind::GroupBox, u"Options ", 7, 42, 213, 86},
    {-1, DialogControlKind::Static, u"Ping &timeout, ms: ", 15, 59, 130, 8},
    {IDC_PING_TIMEOUT, DialogControlKind::Edit, u"", 150, 57, 62, 14},
    {-1, DialogControlKind::Static, u"Ping &interval, ms: ", 15, 77, 130, 8},
    {IDC_PING_INTERVAL, DialogControlKind::Edit, u"", 150, 75, 62, 14},
    {-1, DialogControlKind::Static, u"Ping &retry on failure interval, ms: ", 15, 95, 130, 8},
    {IDC_PING_RETRYINTERVAL, DialogControlKind::Edit, u"", 150, 93, 62, 14},
    {-1, DialogControlKind::Static, u"&Failure count to commit offline: ", 15, 113, 130, 8},
    {IDC_PING_FAILURECOUNT, DialogControlKind::Edit, u"", 150, 111, 62, 14},
};
const DialogResource kPingResource{227, 136, nullptr, kPingControls};
constexpr int kPingNumberEdits[] = {IDC_PING_TIMEOUT, IDC_PING_INTERVAL, IDC_PING_RETRYINTERVAL, IDC_PING_FAILURECOUNT};
constexpr const char16_t* kPingNumberProperties[] = {u"Timeout", u"Interval", u"RetryInterval", u"FailureCount"};

// The file system page.
const DialogControl kFileSystemControls[] = {
    {-1, DialogControlKind::Static, u"Configure file system check interval and reporting options using controls below:",
     7, 7, 213, 16},
    {-1, DialogControlKind::Static, u"&Directory path: ", 7, 29, 213, 8},
    {IDC_FILESYSTEM_DIRECTORYPATH, DialogControlKind::Edit, u"", 7, 40, 154, 14},
    {IDC_FILESYSTEM_BROWSE, DialogControlKind::Button, u"&Browse...", 166, 39, 54, 16},
    {IDC_FILESYSTEM_FILENAMEEXPRESSION_TITLE, DialogControlKind::Static, u"", 7, 62, 213, 8},
    {IDC_FILESYSTEM_FILENAMEEXPRESSION, DialogControlKind::Edit, u"", 7, 73, 213, 14},
    {-1, DialogControlKind::Static, u"File size &granularity required for reporting: ", 7, 95, 213, 8},
    {IDC_FILESYSTEM_FILESIZEGRANULARITY, DialogControlKind::Edit, u"", 7, 106, 80, 14},
    {-1, DialogControlKind::Static, u"Poll &interval (check on change but at most as frequest as), ms: ", 7, 128, 213,
     16},
    {IDC_FILESYSTEM_MINIMALPOLLINTERVAL, DialogControlKind::Edit, u"", 7, 147, 80, 14},
};
const DialogResource kFileSystemResource{227, 168, nullptr, kFileSystemControls};

// The thresholds page: taller than the frame's page area, its visible part ends at the separator. The
// controls keep clear of the right edge, where the scroll bar is.
#define PACK1_THRESHOLD_ROW(n, label, description)                                                                    \
    {-1, DialogControlKind::Static, label, 7, static_cast<short>(50 + 36 * (n)), 100, 8},                             \
        {IDC_THRESHOLDS_FIRST + (n), DialogControlKind::Edit, u"", 110, static_cast<short>(48 + 36 * (n)), 95, 14}, { \
        -1, DialogControlKind::Static, description, 7, static_cast<short>(64 + 36 * (n)), 198, 18                     \
    }
const DialogControl kThresholdsControls[] = {
    {-1, DialogControlKind::Static,
     u"Choose value thresholds for reporting. Exceeding any of the configured thresholds will cause a "
     u"notification. Leave fields empty to disable threshold on a certain value.",
     7, 7, 198, 34},
    PACK1_THRESHOLD_ROW(0, u"&Commit Total, MB: ",
                        u"Total number of pages committed by the system, in megabytes, at least"),
    PACK1_THRESHOLD_ROW(1, u"Kernel &Paged, MB: ", u"Total amount of the paged kernel pool, in megabytes, at least"),
    PACK1_THRESHOLD_ROW(2, u"Kernel &Nonpaged, MB: ",
                        u"Total amount of the nonpaged kernel pool, in megabytes, at least"),
    PACK1_THRESHOLD_ROW(3, u"&Handle Count: ", u"Total number of open handles, at least"),
    PACK1_THRESHOLD_ROW(4, u"Pr&ocess Count: ", u"Total number of processes, at least"),
    PACK1_THRESHOLD_ROW(5, u"&Thread Count: ", u"Total number of threads, at least"),
    {IDC_SEPARATOR, DialogControlKind::Separator, nullptr, 0, 190, 227, 1},
};
#undef PACK1_THRESHOLD_ROW
const DialogResource kThresholdsResource{227, 266, nullptr, kThresholdsControls};

// The current figures page.
#define PACK1_CURRENT_ROW(n, description)                                                                    \
    {IDC_CURRENT_FIRST + (n), DialogControlKind::Edit, u"", 7, static_cast<short>(22 + 28 * (n)), 80, 14}, { \
        -1, DialogControlKind::Static, description, 92, static_cast<short>(24 + 28 * (n)), 128, 18           \
    }
const DialogControl kCurrentControls[] = {
    {-1, DialogControlKind::Static, u"Current system performance values are listed below:", 7, 7, 213, 8},
    PACK1_CURRENT_ROW(0, u"Total number of pages committed by the system, in megabytes"),
    PACK1_CURRENT_ROW(1, u"Total amount of the paged kernel pool, in megabytes"),
    PACK1_CURRENT_ROW(2, u"Total amount of the nonpaged kernel pool, in megabytes"),
    PACK1_CURRENT_ROW(3, u"Total number of open handles"),
    PACK1_CURRENT_ROW(4, u"Total number of processes"),
    PACK1_CURRENT_ROW(5, u"Total number of threads"),
};
#undef PACK1_CURRENT_ROW
const DialogResource kCurrentResource{227, 192, nullptr, kCurrentControls};

// The poll page.
const DialogControl kPollControls[] = {
    {-1, DialogControlKind::Static,
     u"Configure performance information poll interval and reporting options using controls below:", 7, 7, 213, 16},
    {-1, DialogControlKind::Static, u"Poll &interval, ms: ", 7, 29, 213, 8},
    {IDC_POLL_POLLINTERVAL, DialogControlKind::Edit, u"", 7, 40, 80, 14},
    {-1, DialogControlKind::Static, u"&Event report interval (report at most as frequent), ms: ", 7, 62, 213, 8},
    {IDC_POLL_MINIMALEVENTINTERVAL, DialogControlKind::Edit, u"", 7, 73, 80, 14},
};
const DialogResource kPollResource{227, 96, nullptr, kPollControls};

}  // namespace

// The name expression page

const DialogResource& CProcessCheckActivityNameExpressionPropertyPage::GetDialogResource() {
    return kNameExpressionResource;
}

void CProcessCheckActivityNameExpressionPropertyPage::LoadControls() {
    const bool bSubclassed = m_DescriptionHyperStatic.SubclassWindow(GetItem(IDC_NAMEEXPRESSION_DESCRIPTION));
    UL_ASSERT(bSubclassed);
    m_DescriptionHyperStatic.SetHyperText(corvane::LoadStringResource(IDC_NAMEEXPRESSION_DESCRIPTION));
    auto* pEdit = qobject_cast<QPlainTextEdit*>(WidgetFromHandle(GetItem(IDC_NAMEEXPRESSION_EXPRESSIONS)));
    UL_ASSERT(pEdit != nullptr);
    pEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    pEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Watch(IDC_NAMEEXPRESSION_EXPRESSIONS);
    CComPtr<IProcessCheckActivity> pActivity = GetObjectInterface<IProcessCheckActivity>(0);
    SetItemText(IDC_NAMEEXPRESSION_EXPRESSIONS,
                pack1ui::LinesOfListText(GetTextProperty(pActivity, u"ProcessNameExpressions")));
}

HRESULT CProcessCheckActivityNameExpressionPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    if (!IsDirty()) return S_OK;
    pack1ui::CWaitCursor WaitCursor;
    // The list is the first object's only.
    CComPtr<IProcessCheckActivity> pActivity = GetObjectInterface<IProcessCheckActivity>(0);
    PutTextProperty(pActivity, u"ProcessNameExpressions",
                    pack1ui::ListTextOfLines(ItemText(IDC_NAMEEXPRESSION_EXPRESSIONS)));
    SetApplied();
    UL_PAGE_GUARD_END
}

// The ping page

const DialogResource& CPingActivityGeneralPropertyPage::GetDialogResource() {
    return kPingResource;
}

void CPingActivityGeneralPropertyPage::LoadControls() {
    InitializeControls(GetWindow());
    CheckSingleObject(E_PING_PAGE_SINGLE_OBJECT);
    Watch(IDC_PING_HOST);
    for (const int nId : kPingNumberEdits) Watch(nId);
    CComPtr<IPingActivity> pActivity = GetObjectInterface<IPingActivity>(0);
    SetItemText(IDC_PING_HOST, GetTextProperty(pActivity, u"Host"));
    for (size_t i = 0; i < std::size(kPingNumberEdits); ++i)
        SetItemText(kPingNumberEdits[i], pack1ui::DecimalText(GetNumberProperty(pActivity, kPingNumberProperties[i])));
}

HRESULT CPingActivityGeneralPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    if (!IsDirty()) return S_OK;
    pack1ui::CWaitCursor WaitCursor;
    for (size_t nObject = 0; nObject < GetObjectCount(); ++nObject) {
        CComPtr<IPingActivity> pActivity = GetObjectInterface<IPingActivity>(nObject);
        PutTextProperty(pActivity, u"Host", ItemText(IDC_PING_HOST));
        // The text as it stands: the activity converts it to a number, or refuses it.
        for (size_t i = 0; i < std::size(kPingNumberEdits); ++i)
            PutTextProperty(pActivity, kPingNumberProperties[i], ItemText(kPingNumberEdits[i]));
    }
    SetApplied();
    UL_PAGE_GUARD_END
}

// The file system page

const DialogResource& CFileSystemCheckActivityGeneralPropertyPage::GetDialogResource() {
    return kFileSystemResource;
}

namespace {
constexpr int kFileSystemEdits[] = {IDC_FILESYSTEM_DIRECTORYPATH, IDC_FILESYSTEM_FILENAMEEXPRESSION,
                                    IDC_FILESYSTEM_FILESIZEGRANULARITY, IDC_FILESYSTEM_MINIMALPOLLINTERVAL};
constexpr const char16_t* kFileSystemProperties[] = {u"DirectoryPath", u"FileNameExpression", u"FileSizeGranularity",
                                                     u"MinimalPollInterval"};
}  // namespace

void CFileSystemCheckActivityGeneralPropertyPage::LoadControls() {
    InitializeControls(GetWindow());
    UL_ASSERT(m_FileNameExpressionTitleHyperStatic.GetWindow() == GetItem(IDC_FILESYSTEM_FILENAMEEXPRESSION_TITLE));
    m_FileNameExpressionTitleHyperStatic.SetHyperText(
        corvane::LoadStringResource(IDC_FILESYSTEM_FILENAMEEXPRESSION_TITLE));
    for (const int nId : kFileSystemEdits) Watch(nId);
    pack1ui::WatchControl(GetWindow(), IDC_FILESYSTEM_BROWSE, [this](int) { OnBrowseClicked(); });
    CComPtr<IFileSystemCheckActivity> pActivity = GetObjectInterface<IFileSystemCheckActivity>(0);
    for (size_t i = 0; i < std::size(kFileSystemEdits); ++i)
        SetItemText(kFileSystemEdits[i], GetTextProperty(pActivity, kFileSystemProperties[i]));
}

void CFileSystemCheckActivityGeneralPropertyPage::OnBrowseClicked() {
    BROWSEINFOW BrowseInfo{GetWindow(), nullptr, ItemText(IDC_FILESYSTEM_DIRECTORYPATH)};
    if (!BrowseForFolderW(&BrowseInfo)) return;
    SetItemText(IDC_FILESYSTEM_DIRECTORYPATH, BrowseInfo.sPath);
    const BOOL bPosted = PostWindowCall(GetWindow(), [this] { OnChange(IDC_FILESYSTEM_DIRECTORYPATH); });
    UL_ASSERT(bPosted);
}

HRESULT CFileSystemCheckActivityGeneralPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    if (!IsDirty()) return S_OK;
    pack1ui::CWaitCursor WaitCursor;
    // A folder that does not exist would be watched in vain: refused before anything is written.
    const std::u16string sDirectoryPath = ItemText(IDC_FILESYSTEM_DIRECTORYPATH);
    if (!sDirectoryPath.empty() && !QFileInfo(QString::fromStdU16String(sDirectoryPath)).isDir()) {
        corvane::ThrowHResult(E_DIRECTORY_NOT_FOUND);
    }
    for (size_t nObject = 0; nObject < GetObjectCount(); ++nObject) {
        CComPtr<IFileSystemCheckActivity> pActivity = GetObjectInterface<IFileSystemCheckActivity>(nObject);
        for (size_t i = 0; i < std::size(kFileSystemEdits); ++i)
            PutTextProperty(pActivity, kFileSystemProperties[i], ItemText(kFileSystemEdits[i]));
    }
    SetApplied();
    UL_PAGE_GUARD_END
}

// The thresholds page

const DialogResource& CSystemPerformanceCheckActivityThresholdsPropertyPage::GetDialogResource() {
    return kThresholdsResource;
}

void CSystemPerformanceCheckActivityThresholdsPropertyPage::LoadControls() {
    InitializeControls(GetWindow());
    for (size_t i = 0; i < std::size(kThresholdProperties); ++i) Watch(IDC_THRESHOLDS_FIRST + static_cast<int>(i));
    CComPtr<ISystemPerformanceCheckActivity> pActivity = GetObjectInterface<ISystemPerformanceCheckActivity>(0);
    for (size_t i = 0; i < std::size(kThresholdProperties); ++i) {
        const LONG nValue = GetNumberProperty(pActivity, kThresholdProperties[i]);
        SetItemText(IDC_THRESHOLDS_FIRST + static_cast<int>(i), nValue > 0 ? pack1ui::DecimalText(nValue) : u"");
    }
}

HRESULT CSystemPerformanceCheckActivityThresholdsPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    if (!IsDirty()) return S_OK;
    pack1ui::CWaitCursor WaitCursor;
    for (size_t nObject = 0; nObject < GetObjectCount(); ++nObject) {
        CComPtr<ISystemPerformanceCheckActivity> pActivity =
            GetObjectInterface<ISystemPerformanceCheckActivity>(nObject);
        for (size_t i = 0; i < std::size(kThresholdProperties); ++i)
            PutNumberProperty(pActivity, kThresholdProperties[i],
                              pack1ui::ThresholdOfText(ItemText(IDC_THRESHOLDS_FIRST + static_cast<int>(i))));
    }
    SetApplied();
    UL_PAGE_GUARD_END
}

// The current figures page

const DialogResource& CSystemPerformanceCheckActivityCurrentPropertyPage::GetDialogResource() {
    return kCurrentResource;
}

std::vector<std::u16string> CSystemPerformanceCheckActivityCurrentPropertyPage::FormatFigures(
    const PERFORMANCE_INFORMATION& Information) {
    // The user's number of decimals (2 where the locale does not say).
    unsigned nDigits = 2;
    char16_t szDigits[8] = {};
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDIGITS, szDigits, 8) > 0 && szDigits[0] >= u'0' &&
        szDigits[0] <= u'9')
        nDigits = static_cast<unsigned>(szDigits[0] - u'0');
    const auto Bytes = [&](DWORD nPages) { return static_cast<std::uint64_t>(nPages) * Information.PageSize; };
    return {FormatMegabytes(Bytes(Information.CommitTotal), nDigits),
            FormatMegabytes(Bytes(Information.KernelPaged), nDigits),
            FormatMegabytes(Bytes(Information.KernelNonpaged), nDigits),
            FormatInteger(Information.HandleCount),
            FormatInteger(Information.ProcessCount),
            FormatInteger(Information.ThreadCount)};
}

void CSystemPerformanceCheckActivityCurrentPropertyPage::LoadControls() {
    InitializeControls(GetWindow());
    for (int i = 0; i < 6; ++i)
        if (auto* pEdit = qobject_cast<QLineEdit*>(WidgetFromHandle(GetItem(IDC_CURRENT_FIRST + i))))
            pEdit->setReadOnly(true);
    UpdateControls();
    // The window's timer: it goes with the page's window.
    m_pTimer = new QTimer(WidgetFromHandle(GetWindow()));
    m_pTimer->setObjectName(QStringLiteral("1"));
    m_pTimer->setInterval(UPDATE_INTERVAL);
    QObject::connect(m_pTimer, &QTimer::timeout, m_pTimer, [this] { UpdateControls(); });
    m_pTimer->start();
}

void CSystemPerformanceCheckActivityCurrentPropertyPage::UpdateControls() {
    try {
        CComPtr<ISystemPerformanceCheckActivity> pActivity = GetObjectInterface<ISystemPerformanceCheckActivity>(0);
        pack1ui::CVariant Value;
        pack1ui::GetProperty(pActivity, u"PerformanceInformation", &Value);
        PERFORMANCE_INFORMATION Information{};
        if (Value.vt != (VT_ARRAY | VT_UI1) || Value.parray == nullptr || SafeArrayGetDim(Value.parray) != 1)
            corvane::ThrowHResult(DISP_E_TYPEMISMATCH);
        LONG nLower = 0;
        LONG nUpper = -1;
        UL_CHECK(SafeArrayGetLBound(Value.parray, 1, &nLower));
        UL_CHECK(SafeArrayGetUBound(Value.parray, 1, &nUpper));
        if (static_cast<size_t>(nUpper - nLower + 1) < sizeof Information) corvane::ThrowHResult(DISP_E_TYPEMISMATCH);
        void* pData = nullptr;
        UL_CHECK(SafeArrayAccessData(Value.parray, &pData));
        std::memcpy(&Information, pData, sizeof Information);
        SafeArrayUnaccessData(Value.parray);
        const std::vector<std::u16string> Figures = FormatFigures(Information);
        for (size_t i = 0; i < Figures.size(); ++i) SetItemText(IDC_CURRENT_FIRST + static_cast<int>(i), Figures[i]);
        ++m_nUpdateCount;
    } catch (...) {
        corvane::CatchException(UL_CONTEXT, corvane::TRACE_LEVEL_FAILURE);
    }
}

HRESULT CSystemPerformanceCheckActivityCurrentPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    SetApplied();
    UL_PAGE_GUARD_END
}

// The poll page

const DialogResource& CSystemPerformanceCheckActivityPollPropertyPage::GetDialogResource() {
    return kPollResource;
}

namespace {
constexpr int kPollEdits[] = {IDC_POLL_POLLINTERVAL, IDC_POLL_MINIMALEVENTINTERVAL};
constexpr const char16_t* kPollProperties[] = {u"PollInterval", u"MinimalEventInterval"};
}  // namespace

void CSystemPerformanceCheckActivityPollPropertyPage::LoadControls() {
    InitializeControls(GetWindow());
    for (const int nId : kPollEdits) Watch(nId);
    CComPtr<ISystemPerformanceCheckActivity> pActivity = GetObjectInterface<ISystemPerformanceCheckActivity>(0);
    for (size_t i = 0; i < std::size(kPollEdits); ++i)
        SetItemText(kPollEdits[i], pack1ui::DecimalText(GetNumberProperty(pActivity, kPollProperties[i])));
}

HRESULT CSystemPerformanceCheckActivityPollPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    if (!IsDirty()) return S_OK;
    pack1ui::CWaitCursor WaitCursor;
    for (size_t nObject = 0; nObject < GetObjectCount(); ++nObject) {
        CComPtr<ISystemPerformanceCheckActivity> pActivity =
            GetObjectInterface<ISystemPerformanceCheckActivity>(nObject);
        for (size_t i = 0; i < std::size(kPollEdits); ++i)
            PutTextProperty(pActivity, kPollProperties[i], ItemText(kPollEdits[i]));
    }
    SetApplied();
    UL_PAGE_GUARD_END
}

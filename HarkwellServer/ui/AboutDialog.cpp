#include "AboutDialog.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulresource.h"
#include "corvane/ulwindow.h"

namespace {

constexpr char kProductName[] = "Corvane Harkwell Server";

const corvane::StringResource kAboutStrings[] = {
    {IDC_ABOUT_WARNING,
     u"Warning: this computer program is protected by copyright law and international treaties. "
     u"Unauthorized reproduction or distribution of this program, or any portion of it, may "
     u"result in severe civil and criminal penalties, and will be prosecuted to the maximum "
     u"extent possible under the law."},
};
const corvane::CStringTableRegistration g_AboutStrings(kAboutStrings);

const DialogControl kAboutControls[] = {
    {IDC_ABOUT_ICON, DialogControlKind::Icon, nullptr, 7, 7, 24, 24},
    {IDC_ABOUT_TITLE, DialogControlKind::Static, u"Corvane Harkwell Server", 40, 7, 213, 14},
    {IDC_ABOUT_PRODUCT_VERSION, DialogControlKind::Static, u"Product Version %d.%d.%d.%d", 40, 25, 213, 9},
    {IDC_ABOUT_MODULE_VERSION, DialogControlKind::Static, u"Module Version %d.%d.%d.%d", 40, 35, 213, 9},
    {IDC_ABOUT_WEB, DialogControlKind::Static,
     u"Web site: <A HREF=\"https://www.corvane.example/harkwell/\" TITLE=\"The Corvane Harkwell web site\">"
     u"www.corvane.example/harkwell</A>",
     40, 50, 213, 9},
    {IDC_ABOUT_MAIL, DialogControlKind::Static,
     u"Support: <A HREF=\"mailto:harkwell-support@corvane.example\" TITLE=\"Write to the support team\">"
     u"harkwell-support@corvane.example</A>",
     40, 61, 213, 9},
    {IDC_ABOUT_WARNING, DialogControlKind::Static, u"", 7, 78, 246, 24},
    {IDOK, DialogControlKind::DefaultButton, u"OK", 203, 108, 50, 14},
};
const DialogResource kAboutResource{260, 129, nullptr, kAboutControls};

// The version of the build, "major.minor.patch.tweak", as four numbers.
struct CVersion {
    int n[4] = {0, 0, 0, 0};
};
CVersion BuildVersion() {
    CVersion Version;
    std::sscanf(CORVANE_VERSION_TEXT, "%d.%d.%d.%d", &Version.n[0], &Version.n[1], &Version.n[2], &Version.n[3]);
    return Version;
}
QString FormatVersion(const char16_t* pszFormat, const CVersion& Version) {
    QString sText = QString::fromUtf16(pszFormat);
    for (int n : Version.n) sText.replace(sText.indexOf(QStringLiteral("%d")), 2, QString::number(n));
    return sText;
}

// The icon: a bell under a signal arc, in the product's blue.
constexpr char kIconSvg[] = R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 64 64">
  <rect x="2" y="2" width="60" height="60" rx="12" fill="#1f5fa8"/>
  <path d="M32 14c-8 0-13 6-13 14v9l-5 7h36l-5-7v-9c0-8-5-14-13-14z" fill="#ffffff"/>
  <circle cx="32" cy="49" r="5" fill="#ffffff"/>
  <path d="M44 12a16 16 0 0 1 8 10" stroke="#ffd34d" stroke-width="4" fill="none" stroke-linecap="round"/>
  <circle cx="46" cy="24" r="4" fill="#ffd34d"/>
</svg>)svg";

}  // namespace

QIcon ServerIcon() {
    QIcon Icon;
    for (int nSize : {16, 24, 32, 48, 64, 128, 256}) {
        QImage Image(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
        Image.fill(Qt::transparent);
        QImage Drawing;
        if (!Drawing.loadFromData(reinterpret_cast<const uchar*>(kIconSvg), sizeof(kIconSvg) - 1, "SVG")) {
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The program's icon cannot be drawn: no SVG reader is installed\n");
            return QIcon();
        }
        Icon.addPixmap(QPixmap::fromImage(Drawing.scaled(nSize, nSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    }
    return Icon;
}

const DialogResource& CAboutDialog::GetDialogResource() {
    return kAboutResource;
}

int CAboutDialog::DoModal(HWND hOwner) {
    QWidget* pOwner = WidgetFromHandle(hOwner);
    if (pOwner == nullptr) pOwner = QApplication::activeWindow();
    QDialog Dialog(pOwner);
    Dialog.setObjectName(QString::number(IDD_ABOUT));
    const HWND hContent = CreateDialogFromResource(kAboutResource, HandleFromWidget(&Dialog));
    if (hContent == nullptr) corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
    m_hWnd = HandleFromWidget(&Dialog);
    Dialog.setFixedSize(WidgetFromHandle(hContent)->size());
    Dialog.setWindowTitle(QString::fromUtf8(kProductName));
    corvane::GuardedWindowCall(m_hWnd, [&] { OnInitDialog(HandleFromWidget(pOwner)); });
    const int nResult = Dialog.exec();
    m_hWnd = nullptr;
    // Escape and the window's close button end the box as Cancel would.
    return nResult == QDialog::Rejected ? IDCANCEL : nResult;
}

void CAboutDialog::OnInitDialog(HWND hOwner) {
    auto* pDialog = qobject_cast<QDialog*>(WidgetFromHandle(m_hWnd));
    QWidget* pContent = pDialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).value(0);
    const auto Item = [&](int nId) { return pDialog->findChild<QWidget*>(QString::number(nId)); };
    constexpr int nIconSize = 48;
    auto* pIcon = static_cast<QLabel*>(Item(IDC_ABOUT_ICON));
    pIcon->setPixmap(ServerIcon().pixmap(nIconSize, nIconSize));
    pIcon->resize(nIconSize, nIconSize);

    m_TitleFont = QFont(QStringLiteral("Arial"));
    m_TitleFont.setPointSize(12);
    m_TitleFont.setBold(true);
    m_TitleFont.setItalic(true);
    Item(IDC_ABOUT_TITLE)->setFont(m_TitleFont);
    m_WarningFont = QFont(QStringLiteral("Lucida Console"));
    m_WarningFont.setStyleHint(QFont::Monospace);
    m_WarningFont.setPointSize(7);
    m_WarningFont.setWeight(QFont::Normal);
    m_WarningFont.setItalic(true);
    auto* pWarning = static_cast<QLabel*>(Item(IDC_ABOUT_WARNING));
    pWarning->setFont(m_WarningFont);
    pWarning->setText(QString::fromStdU16String(corvane::LoadStringResource(IDC_ABOUT_WARNING)));

    // The warning as tall as its wrapped text needs, plus 4 pixels; the dialog grows by as much, and what
    // lies below the warning moves down with it.
    const QRect Needed = QFontMetrics(m_WarningFont)
                             .boundingRect(QRect(0, 0, pWarning->width(), 100000), Qt::TextWordWrap, pWarning->text());
    const int nGrowth = Needed.height() + 4 - pWarning->height();
    const int nWarningBottom = pWarning->geometry().bottom();
    pWarning->resize(pWarning->width(), Needed.height() + 4);
    for (QWidget* pChild : pContent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (pChild != pWarning && pChild->y() > nWarningBottom) pChild->move(pChild->x(), pChild->y() + nGrowth);
    pContent->resize(pContent->width(), pContent->height() + nGrowth);
    pDialog->setFixedSize(pContent->size());

    const CVersion Version = BuildVersion();
    static_cast<QLabel*>(Item(IDC_ABOUT_PRODUCT_VERSION))
        ->setText(FormatVersion(u"Product Version %d.%d.%d.%d", Version));
    static_cast<QLabel*>(Item(IDC_ABOUT_MODULE_VERSION))
        ->setText(FormatVersion(u"Module Version %d.%d.%d.%d", Version));

    const bool bWeb = m_WebLink.SubclassWindow(HandleFromWidget(Item(IDC_ABOUT_WEB)));
    UL_ASSERT(bWeb);
    const bool bMail = m_MailLink.SubclassWindow(HandleFromWidget(Item(IDC_ABOUT_MAIL)));
    UL_ASSERT(bMail);

    pDialog->setWindowTitle(pDialog->windowTitle() + QStringLiteral(" // ") + FormatVersion(u"%d.%d.%d.%d", Version));
    corvane::CentreWindow(m_hWnd, hOwner);
    auto* pOk = static_cast<QPushButton*>(Item(IDOK));
    QObject::connect(pOk, &QPushButton::clicked, pDialog, [pDialog] { pDialog->done(IDOK); });
    // The focus goes to OK once the box is shown (a hidden window keeps none).
    PostWindowCall(HandleFromWidget(pOk), [pOk] { pOk->setFocus(); });
}

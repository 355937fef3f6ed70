// Window handles over Qt widgets, dialogs built from resources, message boxes, the shell's open operation,
// the folder browser, and the thread's message queue served from Qt's event loop.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QStyle>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "UiInternal.h"
#include "comrt/qtwindows.h"
#include "comrt/text.h"

namespace {

std::mutex g_HandlesLock;
std::unordered_set<QWidget*>* g_pHandles = nullptr;
UserInterfaceTraceWriter g_pTraceWriter = nullptr;

QWidget* CheckedWidget(HWND hWnd) noexcept {
    QWidget* pWidget = WidgetFromHandle(hWnd);
    if (pWidget == nullptr) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return pWidget;
}

}  // namespace

namespace comrtui {

QString ToQString(LPCOLESTR psz) {
    return psz == nullptr ? QString() : QString::fromUtf16(psz);
}

std::u16string FromQString(const QString& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<size_t>(s.size()));
}

void WriteTrace(const std::string& sLine) noexcept {
    if (g_pTraceWriter != nullptr) {
        g_pTraceWriter(sLine.c_str());
        return;
    }
    std::fprintf(stderr, "%s\n", sLine.c_str());
}

}  // namespace comrtui

void SetUserInterfaceTraceWriter(UserInterfaceTraceWriter pWriter) noexcept {
    g_pTraceWriter = pWriter;
}

HWND HandleFromWidget(QWidget* pWidget) noexcept {
    if (pWidget == nullptr) return nullptr;
    try {
        std::lock_guard Lock(g_HandlesLock);
        if (g_pHandles == nullptr) g_pHandles = new std::unordered_set<QWidget*>;
        if (g_pHandles->insert(pWidget).second) {
            QObject::connect(pWidget, &QObject::destroyed, [pWidget] {
                std::lock_guard Lock(g_HandlesLock);
                g_pHandles->erase(pWidget);
            });
        }
    } catch (...) {
        return nullptr;
    }
    return reinterpret_cast<HWND>(pWidget);
}

QWidget* WidgetFromHandle(HWND hWnd) noexcept {
    if (hWnd == nullptr) return nullptr;
    QWidget* pWidget = reinterpret_cast<QWidget*>(hWnd);
    std::lock_guard Lock(g_HandlesLock);
    if (g_pHandles == nullptr || g_pHandles->count(pWidget) == 0) return nullptr;
    return pWidget;
}

BOOL InitializeUserInterface() noexcept {
    if (QApplication::instance() != nullptr) return TRUE;
    const char* pszPlatform = std::getenv("QT_QPA_PLATFORM");
    const char* pszDisplay = std::getenv("DISPLAY");
    const char* pszWayland = std::getenv("WAYLAND_DISPLAY");
    auto IsSet = [](const char* psz) { return psz != nullptr && *psz != 0; };
    if (!IsSet(pszPlatform) && !IsSet(pszDisplay) && !IsSet(pszWayland)) return FALSE;
    try {
        // The application object lives as long as the process.
        static int nArgumentCount = 1;
        static char szName[] = "corvane";
        static char* Arguments[] = {szName, nullptr};
        static QApplication* pApplication = new QApplication(nArgumentCount, Arguments);
        return pApplication != nullptr ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

int GetSystemMetrics(int nIndex) noexcept {
    if (QApplication::instance() == nullptr) return 0;
    QStyle* pStyle = QApplication::style();
    switch (nIndex) {
        case SM_CYBORDER:
            return 1;
        case SM_CYCAPTION:
            return pStyle->pixelMetric(QStyle::PM_TitleBarHeight);
        case SM_CYFIXEDFRAME:
            return pStyle->pixelMetric(QStyle::PM_DefaultFrameWidth) + 1;
        default:
            return 0;
    }
}

BOOL IsWindow(HWND hWnd) noexcept {
    return WidgetFromHandle(hWnd) != nullptr ? TRUE : FALSE;
}

BOOL DestroyWindow(HWND hWnd) noexcept {
    QWidget* pWidget = CheckedWidget(hWnd);
    if (pWidget == nullptr) return FALSE;
    delete pWidget;
    return TRUE;
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) noexcept {
    QWidget* pWidget = CheckedWidget(hWnd);
    if (pWidget == nullptr) return FALSE;
    const BOOL bWasVisible = pWidget->isVisible() ? TRUE : FALSE;
    pWidget->setVisible(nCmdShow != SW_HIDE);
    return bWasVisible;
}

BOOL IsWindowVisible(HWND hWnd) noexcept {
    QWidget* pWidget = WidgetFromHandle(hWnd);
    return pWidget != nullptr && pWidget->isVisible() ? TRUE : FALSE;
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) noexcept {
    QWidget* pWidget = CheckedWidget(hWnd);
    if (pWidget == nullptr) return FALSE;
    pWidget->setGeometry(X, Y, nWidth, nHeight);
    if (bRepaint) pWidget->update();
    return TRUE;
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) noexcept {
    QWidget* pWidget = CheckedWidget(hWnd);
    if (pWidget == nullptr) return FALSE;
    if (lpRect == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const QRect Geometry = pWidget->isWindow() ? pWidget->frameGeometry() : pWidget->geometry();
    *lpRect =
        RECT{Geometry.left(), Geometry.top(), Geometry.left() + Geometry.width(), Geometry.top() + Geometry.height()};
    return TRUE;
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) noexcept {
    QWidget* pWidget = CheckedWidget(hWnd);
    if (pWidget == nullptr) return FALSE;
    const BOOL bWasDisabled = pWidget->isEnabled() ? FALSE : TRUE;
    pWidget->setEnabled(bEnable != FALSE);
    return bWasDisabled;
}

BOOL SetWindowTextW(HWND hWnd, LPCOLESTR lpString) noexcept {
    QWidget* pWidget = CheckedWidget(hWnd);
    if (pWidget == nullptr) return FALSE;
    const QString sText = comrtui::ToQString(lpString);
    if (pWidget->isWindow())
        pWidget->setWindowTitle(sText);
    else if (auto* pLabel = qobject_cast<QLabel*>(pWidget))
        pLabel->setText(sText);
    else if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget))
        pEdit->setText(sText);
    else if (auto* pText = qobject_cast<QPlainTextEdit*>(pWidget))
        pText->setPlainText(sText);
    else if (auto* pButton = qobject_cast<QAbstractButton*>(pWidget))
        pButton->setText(sText);
    else if (auto* pGroup = qobject_cast<QGroupBox*>(pWidget))
        pGroup->setTitle(sText);
    else
        pWidget->setWindowTitle(sText);
    return TRUE;
}

std::u16string GetWindowText(HWND hWnd) {
    QWidget* pWidget = WidgetFromHandle(hWnd);
    if (pWidget == nullptr) return {};
    QString sText;
    if (pWidget->isWindow())
        sText = pWidget->windowTitle();
    else if (auto* pLabel = qobject_cast<QLabel*>(pWidget))
        sText = pLabel->text();
    else if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget))
        sText = pEdit->text();
    else if (auto* pText = qobject_cast<QPlainTextEdit*>(pWidget))
        sText = pText->toPlainText();
    else if (auto* pButton = qobject_cast<QAbstractButton*>(pWidget))
        sText = pButton->text();
    else if (auto* pGroup = qobject_cast<QGroupBox*>(pWidget))
        sText = pGroup->title();
    else if (auto* pCombo = qobject_cast<QComboBox*>(pWidget))
        sText = pCombo->currentText();
    else
        sText = pWidget->windowTitle();
    return comrtui::FromQString(sText);
}

HWND GetParent(HWND hWnd) noexcept {
    QWidget* pWidget = CheckedWidget(hWnd);
    return pWidget == nullptr ? nullptr : HandleFromWidget(pWidget->parentWidget());
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) noexcept {
    QWidget* pDialog = CheckedWidget(hDlg);
    if (pDialog == nullptr) return nullptr;
    return HandleFromWidget(pDialog->findChild<QWidget*>(QString::number(nIDDlgItem)));
}

int GetDlgCtrlID(HWND hWnd) noexcept {
    QWidget* pWidget = CheckedWidget(hWnd);
    if (pWidget == nullptr) return 0;
    bool bNumber = false;
    const int nId = pWidget->objectName().toInt(&bNumber);
    return bNumber ? nId : 0;
}

HWND GetFocus() noexcept {
    return HandleFromWidget(QApplication::focusWidget());
}

HWND SetFocus(HWND hWnd) noexcept {
    HWND hPrevious = GetFocus();
    QWidget* pWidget = CheckedWidget(hWnd);
    if (pWidget == nullptr) return nullptr;
    pWidget->setFocus(Qt::OtherFocusReason);
    return hPrevious;
}

BOOL IsDialogMessageW(HWND hDlg, const MSG* lpMsg) noexcept {
    QWidget* pDialog = WidgetFromHandle(hDlg);
    if (pDialog == nullptr || lpMsg == nullptr) return FALSE;
    if (lpMsg->message != WM_KEYDOWN || lpMsg->wParam != VK_TAB) return FALSE;
    // The dialog's controls that take the keyboard focus by Tab, in creation order (the tab order).
    QList<QWidget*> Controls;
    for (QWidget* pChild : pDialog->findChildren<QWidget*>()) {
        if ((pChild->focusPolicy() & Qt::TabFocus) != 0 && pChild->isEnabled() && pChild->isVisibleTo(pDialog))
            Controls.append(pChild);
    }
    if (Controls.isEmpty()) return TRUE;
    const bool bBackwards = (lpMsg->lParam & 1) != 0 || (QApplication::keyboardModifiers() & Qt::ShiftModifier);
    qsizetype nIndex = Controls.indexOf(pDialog->window()->focusWidget());
    if (nIndex < 0) nIndex = bBackwards ? 0 : Controls.size() - 1;
    nIndex = (nIndex + (bBackwards ? Controls.size() - 1 : 1)) % Controls.size();
    Controls[nIndex]->setFocus(bBackwards ? Qt::BacktabFocusReason : Qt::TabFocusReason);
    return TRUE;
}

BOOL PostWindowCall(HWND hWnd, std::function<void()> Call) noexcept {
    QWidget* pWidget = CheckedWidget(hWnd);
    if (pWidget == nullptr || !Call) return FALSE;
    return QMetaObject::invokeMethod(pWidget, std::move(Call), Qt::QueuedConnection) ? TRUE : FALSE;
}

// Dialog resources.

namespace {

struct CDialogUnits {
    explicit CDialogUnits(const QFont& Font) {
        const QFontMetrics Metrics(Font);
        const QString sAlphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        nBaseX = (Metrics.horizontalAdvance(sAlphabet) / 26 + 1) / 2;
        nBaseY = Metrics.height();
    }
    int X(int n) const { return (n * nBaseX + 2) / 4; }
    int Y(int n) const { return (n * nBaseY + 4) / 8; }
    int nBaseX;
    int nBaseY;
};

QWidget* MakeControl(const DialogControl& Control, QWidget* pDialog) {
    const QString sText = comrtui::ToQString(Control.pszText);
    switch (Control.Kind) {
        case DialogControlKind::Static: {
            auto* pLabel = new QLabel(sText, pDialog);
            pLabel->setWordWrap(true);
            pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            return pLabel;
        }
        case DialogControlKind::Edit:
            return new QLineEdit(sText, pDialog);
        case DialogControlKind::MultiLineEdit: {
            // Return starts a new line; Tab moves on to the next control, as in a dialog.
            auto* pText = new QPlainTextEdit(sText, pDialog);
            pText->setTabChangesFocus(true);
            return pText;
        }
        case DialogControlKind::Button:
            return new QPushButton(sText, pDialog);
        case DialogControlKind::DefaultButton: {
            auto* pButton = new QPushButton(sText, pDialog);
            pButton->setDefault(true);
            return pButton;
        }
        case DialogControlKind::CheckBox:
            return new QCheckBox(sText, pDialog);
        case DialogControlKind::RadioButton:
            return new QRadioButton(sText, pDialog);
        case DialogControlKind::GroupBox:
            return new QGroupBox(sText, pDialog);
        case DialogControlKind::ComboBox:
            return new QComboBox(pDialog);
        case DialogControlKind::ListView: {
            auto* pList = new QTreeWidget(pDialog);
            pList->setRootIsDecorated(false);
            pList->setUniformRowHeights(true);
            pList->setAllColumnsShowFocus(true);
            return pList;
        }
        case DialogControlKind::Separator: {
            auto* pLine = new QFrame(pDialog);
            pLine->setFrameShape(QFrame::HLine);
            pLine->setFrameShadow(QFrame::Sunken);
            return pLine;
        }
        case DialogControlKind::Icon:
            return new QLabel(pDialog);
    }
    return new QWidget(pDialog);
}

}  // namespace

SIZE GetDialogResourceSize(const DialogResource& Resource) noexcept {
    const CDialogUnits Units(QApplication::font());
    return SIZE{Units.X(Resource.cx), Units.Y(Resource.cy)};
}

HWND CreateDialogFromResource(const DialogResource& Resource, HWND hParent) noexcept {
    QWidget* pParent = nullptr;
    if (hParent != nullptr && (pParent = CheckedWidget(hParent)) == nullptr) return nullptr;
    try {
        QWidget* pDialog = pParent != nullptr ? new QWidget(pParent) : new QWidget(nullptr, Qt::Dialog);
        if (Resource.pszCaption != nullptr) pDialog->setWindowTitle(comrtui::ToQString(Resource.pszCaption));
        const CDialogUnits Units(pDialog->font());
        pDialog->resize(Units.X(Resource.cx), Units.Y(Resource.cy));
        QLabel* pPendingBuddy = nullptr;
        for (const DialogControl& Control : Resource.Controls) {
            QWidget* pControl = MakeControl(Control, pDialog);
            pControl->setObjectName(QString::number(Control.nId));
            int nHeight = Units.Y(Control.cy);
            // A drop-down list's height in a resource includes its open list.
            if (Control.Kind == DialogControlKind::ComboBox) nHeight = pControl->sizeHint().height();
            pControl->setGeometry(Units.X(Control.x), Units.Y(Control.y), Units.X(Control.cx), nHeight);
            if (Control.Kind == DialogControlKind::GroupBox) pControl->lower();
            // A label's mnemonic moves the focus to the control after it, as in a dialog.
            if (pPendingBuddy != nullptr && (pControl->focusPolicy() & Qt::TabFocus) != 0) {
                pPendingBuddy->setBuddy(pControl);
                pPendingBuddy = nullptr;
            }
            if (Control.Kind == DialogControlKind::Static && comrtui::ToQString(Control.pszText).contains(u'&'))
                pPendingBuddy = static_cast<QLabel*>(pControl);
        }
        return HandleFromWidget(pDialog);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

// Message boxes, the shell's open operation, the folder browser, and the thread's message queue served
// from Qt's event loop.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <cstdlib>

#include "UiInternal.h"
#include "comrt/qtwindows.h"
#include "comrt/text.h"

namespace {

constexpr char kEndedProperty[] = "comrtMessageBoxResult";

}  // namespace

int MessageBoxExW(HWND hWnd, LPCOLESTR lpText, LPCOLESTR lpCaption, UINT uType,
                  const std::function<void(HWND)>& OnCreate) noexcept {
    if (QApplication::instance() == nullptr) return 0;
    QWidget* pOwner = WidgetFromHandle(hWnd);
    try {
        QMessageBox Box(pOwner);
        Box.setWindowTitle(comrtui::ToQString(lpCaption));
        Box.setText(comrtui::ToQString(lpText));
        switch (uType & MB_ICONMASK) {
            case MB_ICONERROR:
                Box.setIcon(QMessageBox::Critical);
                break;
            case MB_ICONQUESTION:
                Box.setIcon(QMessageBox::Question);
                break;
            case MB_ICONEXCLAMATION:
                Box.setIcon(QMessageBox::Warning);
                break;
            case MB_ICONINFORMATION:
                Box.setIcon(QMessageBox::Information);
                break;
            default:
                break;
        }
        struct CButton {
            QMessageBox::StandardButton Standard;
            int nId;
        };
        std::vector<CButton> Buttons;
        switch (uType & MB_TYPEMASK) {
            case MB_OKCANCEL:
                Buttons = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
                break;
            case MB_YESNO:
                Buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
                break;
            case MB_YESNOCANCEL:
                Buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
                break;
            default:
                Buttons = {{QMessageBox::Ok, IDOK}};
                break;
        }
        int nEscapeId = IDOK;
        for (const CButton& Button : Buttons) {
            QPushButton* pButton = Box.addButton(Button.Standard);
            pButton->setObjectName(QString::number(Button.nId));
            if (Button.nId == IDCANCEL || (Button.nId == IDNO && nEscapeId != IDCANCEL)) nEscapeId = Button.nId;
        }
        for (QAbstractButton* pButton : Box.buttons())
            if (pButton->objectName() == QString::number(nEscapeId)) Box.setEscapeButton(pButton);
        // Laid out and centred on the owner (the screen without one) before it is shown.
        Box.adjustSize();
        const QRect Area = pOwner != nullptr ? pOwner->window()->frameGeometry()
                                             : (Box.screen() != nullptr ? Box.screen()->availableGeometry() : QRect());
        if (Area.isValid()) Box.move(Area.center() - Box.rect().center());
        const HWND hBox = HandleFromWidget(&Box);
        if (OnCreate) OnCreate(hBox);
        Box.exec();
        const QVariant Ended = Box.property(kEndedProperty);
        if (Ended.isValid()) return Ended.toInt();
        QAbstractButton* pClicked = Box.clickedButton();
        if (pClicked == nullptr) return nEscapeId;
        return pClicked->objectName().toInt();
    } catch (...) {
        return 0;
    }
}

int MessageBoxW(HWND hWnd, LPCOLESTR lpText, LPCOLESTR lpCaption, UINT uType) noexcept {
    return MessageBoxExW(hWnd, lpText, lpCaption, uType, {});
}

BOOL EndMessageBox(HWND hBox, int nResult) noexcept {
    auto* pBox = qobject_cast<QMessageBox*>(WidgetFromHandle(hBox));
    if (pBox == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    pBox->setProperty(kEndedProperty, nResult);
    pBox->done(nResult);
    return TRUE;
}

BOOL MessageBeep(UINT /*uType*/) noexcept {
    if (QApplication::instance() == nullptr) return FALSE;
    QApplication::beep();
    return TRUE;
}

HINSTANCE ShellExecuteW(HWND /*hWnd*/, LPCOLESTR lpOperation, LPCOLESTR lpFile, LPCOLESTR /*lpParameters*/,
                        LPCOLESTR /*lpDirectory*/, int /*nShowCmd*/) noexcept {
    auto Answer = [](INT_PTR n) { return reinterpret_cast<HINSTANCE>(n); };
    try {
        const QString sOperation = comrtui::ToQString(lpOperation);
        if (!sOperation.isEmpty() && sOperation != QStringLiteral("open")) return Answer(SE_ERR_NOASSOC);
        const QString sFile = comrtui::ToQString(lpFile);
        if (sFile.isEmpty()) return Answer(SE_ERR_FNF);
        const char* pszCommand = std::getenv("CORVANE_OPEN_COMMAND");
        const QString sProgram =
            pszCommand != nullptr && *pszCommand != 0 ? QString::fromUtf8(pszCommand) : QStringLiteral("xdg-open");
        if (!QProcess::startDetached(sProgram, {sFile})) {
            comrtui::WriteTrace("The location \"" + sFile.toStdString() + "\" could not be opened: \"" +
                                sProgram.toStdString() + "\" did not start");
            return Answer(SE_ERR_ACCESSDENIED);
        }
        return Answer(33);
    } catch (...) {
        return Answer(SE_ERR_ACCESSDENIED);
    }
}

BOOL BrowseForFolderW(BROWSEINFOW* lpbi) noexcept {
    if (lpbi == nullptr || QApplication::instance() == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        const QString sStart =
            lpbi->sPath.empty() ? QDir::homePath() : QString::fromUtf16(lpbi->sPath.data(), lpbi->sPath.size());
        const QString sFolder = QFileDialog::getExistingDirectory(
            WidgetFromHandle(lpbi->hwndOwner), comrtui::ToQString(lpbi->lpszTitle), sStart, QFileDialog::ShowDirsOnly);
        if (sFolder.isEmpty()) return FALSE;
        lpbi->sPath = comrtui::FromQString(QDir::toNativeSeparators(sFolder));
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

// The thread's message queue inside Qt's loop: a notifier on the queue's descriptor takes one message per
// activation (the descriptor stays readable while more wait), so posted messages keep their order and keep
// arriving while a modal window runs its nested loop.

namespace {

struct CThreadMessageService {
    QSocketNotifier* pNotifier = nullptr;
    ThreadMessageHandler Handler;
};

thread_local CThreadMessageService t_Service;

}  // namespace

BOOL ServeThreadMessages(ThreadMessageHandler Handler) noexcept {
    if (QApplication::instance() == nullptr || t_Service.pNotifier != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int nDescriptor = GetMessageQueueDescriptor();
    if (nDescriptor < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    try {
        t_Service.Handler = std::move(Handler);
        t_Service.pNotifier = new QSocketNotifier(nDescriptor, QSocketNotifier::Read);
        QObject::connect(t_Service.pNotifier, &QSocketNotifier::activated, [] {
            MSG Message{};
            if (!PeekMessageW(&Message, nullptr, 0, 0, PM_REMOVE)) return;
            if (Message.message == WM_QUIT) {
                QCoreApplication::exit(static_cast<int>(Message.wParam));
                return;
            }
            if (t_Service.Handler) t_Service.Handler(Message);
        });
    } catch (...) {
        return FALSE;
    }
    return TRUE;
}

void StopServingThreadMessages() noexcept {
    delete t_Service.pNotifier;
    t_Service.pNotifier = nullptr;
    t_Service.Handler = nullptr;
}

int RunMessageLoop(ThreadMessageHandler Handler) {
    if (!ServeThreadMessages(std::move(Handler))) return -1;
    const int nExitCode = QApplication::exec();
    StopServingThreadMessages();
    return nExitCode;
}

#include "NotifyIconEntry.h"

#include <QApplication>

#include "AboutDialog.h"
#include "NotifyIconWindow.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulpropertypage.h"

#define NOTIFY_ICON_EXPORT extern "C" __attribute__((visibility("default")))

NOTIFY_ICON_EXPORT int HarkwellServerCreateNotifyIcon(int bServiceHelper) {
    return static_cast<int>(corvane::GuardedCall([&] {
        if (!InitializeUserInterface()) corvane::ThrowHResult(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
        corvane::InstallUserInterfaceTrace();
        QApplication::setWindowIcon(ServerIcon());
        // The last window closed (an About box, a property frame) must not end the tray's loop.
        QApplication::setQuitOnLastWindowClosed(false);
        if (!CNotifyIconWindow::GlobalCreate(bServiceHelper != 0)) corvane::ThrowHResult(E_FAIL);
    }));
}

NOTIFY_ICON_EXPORT int HarkwellServerRunNotifyIconLoop() {
    // Thread messages other than WM_QUIT have no receiver in this process.
    return RunMessageLoop([](const MSG&) {});
}

NOTIFY_ICON_EXPORT void HarkwellServerDestroyNotifyIcon() {
    corvane::GuardedOperation([] { CNotifyIconWindow::GlobalDestroy(); });
}

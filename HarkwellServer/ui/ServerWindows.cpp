#include "ServerWindows.h"

#include <QApplication>

#include "AboutDialog.h"
#include "ConfigurationSheet.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulpropertypage.h"

extern "C" __attribute__((visibility("default"))) int HarkwellServerShowWindow(int nWindow) {
    return static_cast<int>(corvane::GuardedCall([&] {
        if (nWindow != SERVER_WINDOW_ABOUT && nWindow != SERVER_WINDOW_CONFIGURATION)
            corvane::ThrowHResult(E_INVALIDARG);
        if (!InitializeUserInterface()) corvane::ThrowHResult(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
        corvane::InstallUserInterfaceTrace();
        // One icon for every window of the program.
        QApplication::setWindowIcon(ServerIcon());
        if (nWindow == SERVER_WINDOW_ABOUT) {
            CAboutDialog().DoModal();
        } else {
            CConfigurationPropertySheet().DoModal();
        }
    }));
}

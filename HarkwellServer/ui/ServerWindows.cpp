#include "ServerWindows.h"

#include <QApplication>

#include "AboutDialog.h"
#include "ConfigurationSheet.h"
#include "ServerPages.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulinproc.h"
#include "corvane/ulpropertypage.h"

namespace {

// The module also serves the server's property pages by class identifier, as the program registers them.
const corvane::CInprocServerModule g_PageModule({ServerPageClassTable().Entries(), nullptr, u"HarkwellServerUI",
                                                 u"HarkwellServerUI.so"});

}  // namespace

CORVANE_INPROC_SERVER_ENTRY_POINTS(g_PageModule)

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

// The entry point of the server's user-interface module (HarkwellServerUI.so), which the program loads
// with LoadLibraryPath only for a run that shows a window, so that the service never maps the toolkit.
#pragma once

// The windows a run may ask for.
enum ServerWindow : int { SERVER_WINDOW_ABOUT = 1, SERVER_WINDOW_CONFIGURATION = 2 };

// The name of the module's one export: int (*)(int nWindow) that shows the window modally and answers S_OK,
// E_INVALIDARG for an unknown window, or the failure (already shown and traced). Without a display it
// answers ERROR_NO_DISPLAY as an HRESULT and shows nothing.
inline constexpr char kShowServerWindowName[] = "HarkwellServerShowWindow";
inline constexpr char kServerUserInterfaceModule[] = "HarkwellServerUI.so";
using PFN_ShowServerWindow = int (*)(int nWindow);

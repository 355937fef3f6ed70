// The window-system operations of the user-interface modules, in the shape of the calls the system makes:
// window handles, dialogs built from declarative resources, message boxes, the shell's open operation, the
// folder browser and the thread's message loop. They live in libcomrtui, on Qt 6 Widgets; only
// user-interface modules link it, so the service and the tools never map the toolkit.
//
// A window handle (HWND) is opaque. It names a live window of the calling thread; a handle whose window has
// been destroyed is no longer a window (IsWindow is FALSE) and the operations refuse it with
// ERROR_INVALID_WINDOW_HANDLE. Every operation runs on the user-interface thread (the thread that made the
// application object).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "comrt/messages.h"
#include "comrt/types.h"

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
using LPRECT = RECT*;
using LPCRECT = const RECT*;

struct SIZE {
    LONG cx;
    LONG cy;
};

// Keyboard and mouse messages, as TranslateAccelerator receives them.
constexpr UINT WM_KEYFIRST = 0x0100;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_KEYLAST = 0x0109;
constexpr UINT WM_MOUSEFIRST = 0x0200;
constexpr UINT WM_MOUSELAST = 0x020D;
constexpr WPARAM VK_TAB = 0x09;
constexpr WPARAM VK_RETURN = 0x0D;
constexpr WPARAM VK_ESCAPE = 0x1B;
constexpr WPARAM VK_SHIFT = 0x10;

// ShowWindow commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

// Message box flags and answers.
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_TYPEMASK = 0x0000000F;
constexpr UINT MB_ICONERROR = 0x00000010;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr UINT MB_ICONMASK = 0x000000F0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// The separator of a tall page: where its visible area ends.
constexpr int IDC_SEPARATOR = 65534;

// Whether the calling process can show windows: a display (DISPLAY or WAYLAND_DISPLAY) or a Qt platform
// without one (QT_QPA_PLATFORM, as the headless tests use). Makes the application object when there is
// none yet; FALSE when windows cannot be shown, and nothing made.
COMRT_API BOOL InitializeUserInterface() noexcept;

// Sizes of the window decoration, from the style: SM_CYBORDER a border line, SM_CYCAPTION a caption,
// SM_CYFIXEDFRAME the frame of a dialog; 0 for other indexes or without an application object.
constexpr int SM_CYBORDER = 6;
constexpr int SM_CYCAPTION = 4;
constexpr int SM_CYFIXEDFRAME = 8;
COMRT_API int GetSystemMetrics(int nIndex) noexcept;

// Windows.
COMRT_API BOOL IsWindow(HWND hWnd) noexcept;
COMRT_API BOOL DestroyWindow(HWND hWnd) noexcept;
COMRT_API BOOL ShowWindow(HWND hWnd, int nCmdShow) noexcept;
COMRT_API BOOL IsWindowVisible(HWND hWnd) noexcept;
COMRT_API BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) noexcept;
// The window's rectangle in its parent's coordinates (a top-level window: on the screen).
COMRT_API BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) noexcept;
COMRT_API BOOL EnableWindow(HWND hWnd, BOOL bEnable) noexcept;
COMRT_API BOOL SetWindowTextW(HWND hWnd, LPCOLESTR lpString) noexcept;
COMRT_API std::u16string GetWindowText(HWND hWnd);
COMRT_API HWND GetParent(HWND hWnd) noexcept;
// The child control with the given identifier, searched among all descendants; null when there is none.
COMRT_API HWND GetDlgItem(HWND hDlg, int nIDDlgItem) noexcept;
COMRT_API int GetDlgCtrlID(HWND hWnd) noexcept;
COMRT_API HWND GetFocus() noexcept;
COMRT_API HWND SetFocus(HWND hWnd) noexcept;
// Keyboard navigation of a dialog: Tab and Shift+Tab (WM_KEYDOWN) move the focus among the dialog's
// controls and are handled (TRUE); every other message is left to its window (FALSE).
COMRT_API BOOL IsDialogMessageW(HWND hDlg, const MSG* lpMsg) noexcept;
// "Post a message to a window": the window's handler runs later on its thread, in posting order.
COMRT_API BOOL PostWindowCall(HWND hWnd, std::function<void()> Call) noexcept;

// Dialog resources: a table of controls placed in dialog units (horizontal unit = average character width
// / 4, vertical unit = character height / 8 of the dialog's font). Each control's object name is its
// identifier as text, so that code and tests find it by number.
enum class DialogControlKind {
    Static,
    Edit,
    MultiLineEdit,  // several lines, Return accepted; scroll bars as needed
    Button,
    DefaultButton,
    CheckBox,
    RadioButton,
    GroupBox,
    ComboBox,   // a drop-down list
    ListView,   // a report list with a header
    Separator,  // a horizontal line; IDC_SEPARATOR marks the end of a tall page's visible area
    Icon,
};

struct DialogControl {
    int nId;
    DialogControlKind Kind;
    const char16_t* pszText;
    short x, y, cx, cy;  // dialog units
};

struct DialogResource {
    short cx, cy;  // dialog units
    const char16_t* pszCaption;
    std::span<const DialogControl> Controls;
};

// The dialog's size in pixels, for the font the dialog is made with.
COMRT_API SIZE GetDialogResourceSize(const DialogResource& Resource) noexcept;
// Makes the dialog as a child of hParent (null: a top-level window), not yet shown. Null with
// ERROR_INVALID_WINDOW_HANDLE for a parent that is not a window.
COMRT_API HWND CreateDialogFromResource(const DialogResource& Resource, HWND hParent) noexcept;

// A modal message box centred on its owner (or the screen). Text and caption are texts; the flags choose the
// buttons (MB_OK, MB_OKCANCEL, MB_YESNO, MB_YESNOCANCEL) and the icon. The answer is the button chosen (IDOK,
// IDCANCEL, IDYES, IDNO; closing the box answers IDCANCEL, or IDOK for MB_OK), or what the box was ended with
// (EndMessageBox); 0 when the box could not be shown.
COMRT_API int MessageBoxW(HWND hWnd, LPCOLESTR lpText, LPCOLESTR lpCaption, UINT uType) noexcept;
// The same; OnCreate runs with the box's handle once the box is made and centred, before it is shown.
COMRT_API int MessageBoxExW(HWND hWnd, LPCOLESTR lpText, LPCOLESTR lpCaption, UINT uType,
                            const std::function<void(HWND)>& OnCreate) noexcept;
// Ends a message box with nResult as its answer.
COMRT_API BOOL EndMessageBox(HWND hBox, int nResult) noexcept;
COMRT_API BOOL MessageBeep(UINT uType) noexcept;

// Opens a location (a web address, a mail address or a file) with the desktop's handler ("open" or a null
// verb; xdg-open, or the program CORVANE_OPEN_COMMAND names). Above 32 when the handler was started; else
// SE_ERR_NOASSOC for another verb, ERROR_FILE_NOT_FOUND for an empty location, SE_ERR_ACCESSDENIED when the
// handler could not be started.
using HINSTANCE = struct HINSTANCE__*;
using INT_PTR = std::intptr_t;
constexpr INT_PTR SE_ERR_FNF = 2;
constexpr INT_PTR SE_ERR_ACCESSDENIED = 5;
constexpr INT_PTR SE_ERR_NOASSOC = 31;
COMRT_API HINSTANCE ShellExecuteW(HWND hWnd, LPCOLESTR lpOperation, LPCOLESTR lpFile, LPCOLESTR lpParameters,
                                  LPCOLESTR lpDirectory, int nShowCmd) noexcept;

// The folder browser: a modal folder chooser; TRUE with the chosen folder's path in sPath, FALSE when
// cancelled. sPath on entry is the folder to start in (empty: the home folder).
struct BROWSEINFOW {
    HWND hwndOwner;
    LPCOLESTR lpszTitle;
    std::u16string sPath;
};
COMRT_API BOOL BrowseForFolderW(BROWSEINFOW* lpbi) noexcept;

// The user-interface thread's loop: Qt's event loop, serving the thread's message queue (PostThreadMessageW)
// from inside it, also while a modal window runs its nested loop. Each message other than WM_QUIT goes to
// Handler, in posting order; WM_QUIT ends every running loop and the outer one answers its exit code.
using ThreadMessageHandler = std::function<void(const MSG&)>;
COMRT_API int RunMessageLoop(ThreadMessageHandler Handler);
// The same service without running a loop of its own (for a thread whose loop someone else runs): messages
// go to Handler while the returned registration lives; unregister with StopServingThreadMessages.
COMRT_API BOOL ServeThreadMessages(ThreadMessageHandler Handler) noexcept;
COMRT_API void StopServingThreadMessages() noexcept;

// Where the user-interface operations write their failures (a page that cannot be created, a location that
// cannot be opened): one line each. Without a writer of the module's own they go to the standard error.
using UserInterfaceTraceWriter = void (*)(const char* pszLine);
COMRT_API void SetUserInterfaceTraceWriter(UserInterfaceTraceWriter pWriter) noexcept;

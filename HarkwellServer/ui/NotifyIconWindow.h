// The program's icon in the desktop's notification area (the tray window): the tip, the popup menu with
// About, Properties and, in the service helper, Start Service and Stop Service, and a balloon for each
// event of the application object it is connected to.
//
// On Linux the icon is a QSystemTrayIcon (a StatusNotifierItem on the session bus, its menu exported there
// as well) and a balloon is a desktop notification (org.freedesktop.Notifications.Notify, with the urgency
// of the event type: information 0, warning 1, error 2). The window works the same without a tray or a
// notification server: it still connects to the application, and what cannot be shown is left out after
// one trace line. The window also offers a method Quit (NotifyIconBus.h) on the session bus, which ends the
// process's message loop.
//
// One instance per process (GlobalCreate before the message loop, GlobalDestroy after it); every handler
// runs on the user-interface thread.
#pragma once

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>
#include <memory>
#include <string>

#include "HarkwellServer/ServerInterfaces.h"
#include "comrt/comptr.h"
#include "comrt/qtwindows.h"

constexpr UINT IDM_NOTIFY_ICON = 30001;
constexpr UINT ID_APP_ABOUT = 57664;
constexpr UINT ID_APP_EXIT = 57665;
constexpr UINT ID_APPLICATION_START_SERVICE = 5001;
constexpr UINT ID_APPLICATION_STOP_SERVICE = 5002;
constexpr UINT ID_APPLICATION_PROPERTIES = 5003;
constexpr UINT IDS_NOTIFY_ICON_TIP = 1010;
constexpr UINT IDS_NOTIFY_ICON_TITLE = 1011;

// The balloon icons of the tray, and the notification urgency each becomes.
enum NotifyIconBalloonIcon : UINT { NIIF_NONE = 0, NIIF_INFO = 1, NIIF_WARNING = 2, NIIF_ERROR = 3 };

class CNotifyIconBus;
class CNotifyIconEventsSink;

class CNotifyIconWindow {
public:
    // The time a tip stays before the next refresh, and the pause after a failed one, in milliseconds.
    static constexpr DWORD kTipUpdateInterval = 10000;
    static constexpr DWORD kTipFailurePause = 3000;
    // How long a balloon of an application event, and one of a service start or stop, stays.
    static constexpr UINT kEventBalloonTimeOut = 15000;
    static constexpr UINT kServiceBalloonTimeOut = 5000;
    // While no application object answers, the connection is tried again after this long (5 s; tests
    // shorten it).
    static void SetReconnectInterval(int nMilliseconds) noexcept;

    // Creates the process's one window (bServiceHelper: the service helper's menu and tip); true on
    // success. Needs the user interface (InitializeUserInterface).
    static bool GlobalCreate(bool bServiceHelper);
    static void GlobalDestroy();
    // The process's window, or null.
    static CNotifyIconWindow* GetInstance() noexcept;

    ~CNotifyIconWindow();
    CNotifyIconWindow(const CNotifyIconWindow&) = delete;
    CNotifyIconWindow& operator=(const CNotifyIconWindow&) = delete;

    HWND GetWindow() const noexcept { return m_hWnd; }
    bool IsServiceHelper() const noexcept { return m_bServiceHelper; }
    bool IsConnected() const noexcept { return m_pApplication != nullptr; }
    QSystemTrayIcon* GetTrayIcon() const noexcept { return m_pTrayIcon.get(); }
    // The icon the tray shows while connected, and the greyed one while no application object answers.
    const QIcon& GetIcon(bool bConnected) const noexcept { return bConnected ? m_Icon : m_UnconnectedIcon; }
    // The popup menu as the last OnRButtonUp prepared it (null before).
    QMenu* GetMenu() const noexcept { return m_pMenu.get(); }

    // Line 0 or 1 of string resource 1010.
    std::u16string GetTip() const;
    // Puts the tip into the icon; raises when there is no icon to put it in.
    void UpdateTip();
    // The tip refreshed on mouse movement: at most once per kTipUpdateInterval, never within
    // kTipFailurePause of a failed refresh (tick differences taken as signed 32-bit).
    void LazyUpdateTip();
    DWORD GetLastTipUpdateTime() const noexcept { return m_nLastTipUpdateTime; }
    DWORD GetLastTipFailureTime() const noexcept { return m_nLastTipFailureTime; }

    void SetBalloonToolTip(UINT nIconFlags, UINT nTimeOut, const std::u16string& sTitle, const std::u16string& sText);
    void SetApplicationEventBalloonToolTip(EVENTTYPE Type, const std::u16string& sDescription);
    void OnApplicationEvent(EVENTTYPE Type, const std::u16string& sDescription);
    // The application object stops (its Stopping event): the connection goes and is tried again later.
    void OnApplicationStopping();

    // The command a double click runs: About, or Properties in Application Mode, or in the service helper
    // while the service runs.
    UINT GetDefaultCommand();
    void OnLButtonDown();
    // Prepares the popup menu (submenu of the mode, items enabled by the service's state, the default
    // item) and, with bTrack, shows it at the cursor.
    void OnRButtonUp(bool bTrack = true);
    // WM_COMMAND: runs the command (queued, as a posted command runs).
    void PostCommand(UINT nCommand);
    void OnCommand(UINT nCommand);
    // WM_CONNECTTOAPPLICATION: queued.
    void PostConnectToApplication();
    void OnConnectToApplication();

private:
    explicit CNotifyIconWindow(bool bServiceHelper);
    void OnCreate();
    void OnDestroy();
    void Disconnect();
    // Shows in the icon whether the application object answers.
    void ShowConnection(bool bConnected);
    void ScheduleReconnect();
    void OnAbout();
    void OnApplicationStartService();
    void OnApplicationStopService();
    void OnApplicationProperties();
    // The service's state (SERVICE_RUNNING, ...), queried through the service manager; raised failures.
    DWORD QueryServiceState();
    CComPtr<IApplication> CreateApplication();

    const bool m_bServiceHelper;
    std::unique_ptr<QWidget> m_pWidget;
    HWND m_hWnd = nullptr;
    std::unique_ptr<QSystemTrayIcon> m_pTrayIcon;
    std::unique_ptr<QMenu> m_pMenu;
    std::unique_ptr<CNotifyIconBus> m_pBus;
    QIcon m_Icon;
    QIcon m_UnconnectedIcon;
    bool m_bBalloons = false;
    std::u16string m_sBalloonTitle;
    DWORD m_nLastTipUpdateTime = 0;
    DWORD m_nLastTipFailureTime = 0;
    CComPtr<IApplication> m_pApplication;
    DWORD m_nEventCookie = 0xFEFEFEFE;
    CNotifyIconEventsSink* m_pSink = nullptr;
    bool m_bReconnectScheduled = false;
    bool m_bConnectFailureTraced = false;
};

// The tray window's part of the session bus: desktop notifications for its balloons, and the method that
// any process may call to end the tray process's message loop.
//
//   bus name   Corvane.HarkwellServer.NotifyIconWindow (the window's name; when another process owns it,
//              the window stays reachable under its unique name and says so in the trace)
//   object     /Corvane/HarkwellServer/NotifyIconWindow
//   interface  Corvane.HarkwellServer.NotifyIconWindow, method Quit (no arguments, no answer values)
//
// Without a session bus, or without a notification server on it, the window runs on: one trace line says
// what is missing, and balloons go nowhere.
#pragma once

#include <QString>
#include <memory>

inline constexpr char kNotifyIconBusName[] = "Corvane.HarkwellServer.NotifyIconWindow";
inline constexpr char kNotifyIconObjectPath[] = "/Corvane/HarkwellServer/NotifyIconWindow";
inline constexpr char kNotifyIconInterface[] = "Corvane.HarkwellServer.NotifyIconWindow";

class CNotifyIconBus {
public:
    CNotifyIconBus();
    ~CNotifyIconBus();
    CNotifyIconBus(const CNotifyIconBus&) = delete;
    CNotifyIconBus& operator=(const CNotifyIconBus&) = delete;

    // Sends one notification; nUrgency 0 (low), 1 (normal) or 2 (critical). False when it could not go out
    // (traced once while the notification server stays missing).
    bool Notify(const QString& sTitle, const QString& sText, int nTimeOut, unsigned char nUrgency);

private:
    class CQuitObject;
    std::unique_ptr<CQuitObject> m_pQuitObject;
    bool m_bConnected = false;
    bool m_bMissingNotificationsTraced = false;
};

// The tray window's entry points in the server's user-interface module (HarkwellServerUI.so), which the
// program loads for a run with a tray (Application Mode with a display, the service helper).
#pragma once

// int (*)(int bServiceHelper): makes the user interface and the tray window; S_OK, or the failure (traced).
inline constexpr char kCreateNotifyIconName[] = "HarkwellServerCreateNotifyIcon";
// int (*)(): runs the thread's message loop on the toolkit's event loop until WM_QUIT; its exit code.
inline constexpr char kRunNotifyIconLoopName[] = "HarkwellServerRunNotifyIconLoop";
// void (*)(): destroys the tray window (nothing when there is none).
inline constexpr char kDestroyNotifyIconName[] = "HarkwellServerDestroyNotifyIcon";
using PFN_CreateNotifyIcon = int (*)(int bServiceHelper);
using PFN_RunNotifyIconLoop = int (*)();
using PFN_DestroyNotifyIcon = void (*)();

// Per-thread message queues, in the shape of the window system's thread messages: any thread posts a
// message to a thread by its identifier; the owning thread takes messages out in posting order, blocking
// until one is there, and ends its loop when it gets WM_QUIT.
//
// A thread has a queue from its first call of GetMessageW, PeekMessageW, MsgWaitForMultipleObjects or
// PostQuitMessage (a thread that is about to be posted to makes one with PeekMessageW(..., PM_NOREMOVE)),
// until it ends. Only thread messages exist here (their window handle is null); windows and their
// messages belong to the user interface toolkit.
#pragma once

#include <cstdint>

#include "comrt/sync.h"

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using HWND = struct HWND__*;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;  // always null: a thread message
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;  // GetTickCount when it was posted
    POINT pt;
};

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
constexpr DWORD QS_ALLINPUT = 0x04FF;

constexpr LONG ERROR_INVALID_THREAD_ID = 1444;
constexpr LONG ERROR_INVALID_WINDOW_HANDLE = 1400;

// Appends a message to the queue of thread idThread. FALSE with ERROR_INVALID_THREAD_ID when that thread
// has no queue (it never made one, or it has ended).
COMRT_API BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) noexcept;

// Marks the calling thread's queue to end its loop: once the queue holds no other message, the next get
// returns WM_QUIT with nExitCode as wParam (whatever filter it asks for), and the mark is cleared.
COMRT_API void PostQuitMessage(int nExitCode) noexcept;

// Takes the first message in the range wMsgFilterMin..wMsgFilterMax (both 0: any message) from the calling
// thread's queue, waiting until there is one. 0 when the message is WM_QUIT, nonzero otherwise; -1 with
// ERROR_INVALID_PARAMETER for a null lpMsg and ERROR_INVALID_WINDOW_HANDLE for a window handle.
COMRT_API BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) noexcept;

// The same without waiting: TRUE and the message (removed with PM_REMOVE, left with PM_NOREMOVE) when one is
// there, else FALSE.
COMRT_API BOOL PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) noexcept;

// Waits for one of nCount objects (WaitForMultipleObjects without bWaitAll) or for a message in the calling
// thread's queue: WAIT_OBJECT_0 + i for object i, WAIT_OBJECT_0 + nCount when the queue holds a message or
// the quit mark (at once if it already does), WAIT_TIMEOUT or WAIT_FAILED. dwWakeMask must ask for posted
// messages (QS_POSTMESSAGE, QS_ALLPOSTMESSAGE or QS_ALLINPUT); a mask without them, fWaitAll, or more than
// MAXIMUM_WAIT_OBJECTS - 1 objects fail with ERROR_INVALID_PARAMETER.
COMRT_API DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                          DWORD dwWakeMask) noexcept;

// A descriptor of the calling thread's queue that is readable exactly while the queue holds a message or the
// quit mark, for an event loop that waits on descriptors (the user-interface loop serves the queue from it).
// Owned by the queue; -1 when it cannot be made.
COMRT_API int GetMessageQueueDescriptor() noexcept;

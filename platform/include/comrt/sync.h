// Waitable kernel objects, threads, the tick counter and the calling thread's last error, in the shape of
// the kernel calls the system makes.
//
// A HANDLE names one reference to a process-local object: an event, a thread, or a file descriptor whose
// readiness is the signal (directory change notifications and socket readiness are built on that). Every
// waitable object has a file descriptor that poll can watch, so that WaitForMultipleObjects waits on any
// mix of them in one call; events and threads use an eventfd that is readable exactly while the object is
// signalled. The object itself keeps its state under its own lock, and a wait decides under that lock, so an
// auto-reset event releases exactly one waiter.
//
// Handles are checked: a handle that was never made or has been closed gives ERROR_INVALID_HANDLE (and
// WAIT_FAILED from the waits), never a crash. Handle values are not reused within a process. An object
// lives until its last handle is closed and no wait uses it any more; a thread object also lives until its
// thread has ended.
//
// Failures set the calling thread's last error (GetLastError), as the kernel calls do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comrt/types.h"

using HANDLE = void*;
using LPHANDLE = HANDLE*;

// A failed CreateEventW or CreateThread returns nullptr; INVALID_HANDLE_VALUE is what GetCurrentProcess
// answers, and is never the handle of an object.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// GetExitCodeThread answers this while the thread runs.
constexpr DWORD STILL_ACTIVE = 0x00000103;
// CreateThread: the thread waits for ResumeThread before it runs its start routine.
constexpr DWORD CREATE_SUSPENDED = 0x00000004;
// DuplicateHandle: the new handle has the access of the source (the only access there is here).
constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x00000001;
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x00000002;

// The calling thread's last error. Every call here that fails sets it; calls that succeed leave it alone.
COMRT_API DWORD GetLastError() noexcept;
COMRT_API void SetLastError(DWORD dwErrCode) noexcept;

// Events. Unnamed only: a name (lpName not null) fails with ERROR_NOT_SUPPORTED, as objects shared between
// processes are made elsewhere. Security attributes are ignored.
COMRT_API HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) noexcept;
// Signals the event: a manual-reset event stays signalled until ResetEvent and releases every waiter; an
// auto-reset event stays signalled until one wait returns it. FALSE with ERROR_INVALID_HANDLE for a handle
// that is not an event.
COMRT_API BOOL SetEvent(HANDLE hEvent) noexcept;
COMRT_API BOOL ResetEvent(HANDLE hEvent) noexcept;

// Closes one handle. The object goes when its last handle is closed and no wait uses it.
COMRT_API BOOL CloseHandle(HANDLE hObject) noexcept;
// The pseudo-handle of the calling process, for DuplicateHandle.
COMRT_API HANDLE GetCurrentProcess() noexcept;
// A second handle to the same object. Both process handles must be GetCurrentProcess(); dwOptions may hold
// DUPLICATE_SAME_ACCESS and DUPLICATE_CLOSE_SOURCE (which closes hSourceHandle even when the call fails).
COMRT_API BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                               LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle,
                               DWORD dwOptions) noexcept;
// Copies nSize bytes at lpBaseAddress of this process (hProcess GetCurrentProcess()) into lpBuffer through
// the kernel, so that an address that cannot be read fails instead of faulting. *lpNumberOfBytesRead (when
// given) receives how many bytes were copied. Unlike the system's call it leaves the last error alone and
// allocates nothing: crash reports read memory with it from a signal handler, and a report of a thrown
// exception must not change what the thrower's GetLastError tells.
COMRT_API BOOL ReadProcessMemory(HANDLE hProcess, const void* lpBaseAddress, void* lpBuffer, std::size_t nSize,
                                 std::size_t* lpNumberOfBytesRead) noexcept;

// Waits for one object, or for one (bWaitAll FALSE) or all (bWaitAll TRUE) of nCount objects, at most
// dwMilliseconds (INFINITE: no limit; 0: a test without waiting).
//
// WAIT_OBJECT_0 + i: object i is signalled; with several, the lowest index wins. Waiting on an auto-reset
//   event consumes its signal (with bWaitAll, all of them at once, when all are signalled together).
// WAIT_TIMEOUT: the time ran out; it is never returned before dwMilliseconds have passed on the monotonic
//   clock.
// WAIT_FAILED: last error ERROR_INVALID_PARAMETER for nCount 0 or above MAXIMUM_WAIT_OBJECTS, a null array,
//   or one object twice with bWaitAll; ERROR_INVALID_HANDLE for a handle that names no waitable object.
// Signals delivered to the thread (another thread's stack capture, for example) do not end a wait early.
COMRT_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) noexcept;
COMRT_API DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                       DWORD dwMilliseconds) noexcept;

// Threads. The handle of a thread is signalled when its start routine has returned; its exit code is the
// routine's result. With CREATE_SUSPENDED the thread waits for ResumeThread before it calls the routine.
// *lpThreadId receives the kernel's thread identifier (the one GetCurrentThreadId answers on that thread).
// A start routine must not let an exception out (that ends the process, as an unhandled exception does).
// dwStackSize 0 means the default size. Threads cannot be killed from outside: there is no TerminateThread.
using LPTHREAD_START_ROUTINE = DWORD (*)(void* lpThreadParameter);
COMRT_API HANDLE CreateThread(void* lpThreadAttributes, std::size_t dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                              void* lpParameter, DWORD dwCreationFlags, DWORD* lpThreadId) noexcept;
// Counts down the suspend count and lets the thread run at zero; answers the previous count, or
// 0xFFFFFFFF with ERROR_INVALID_HANDLE.
COMRT_API DWORD ResumeThread(HANDLE hThread) noexcept;
// STILL_ACTIVE while the thread runs, then its exit code.
COMRT_API BOOL GetExitCodeThread(HANDLE hThread, DWORD* lpExitCode) noexcept;
// The kernel's identifier of the calling thread, kept after the first call of each thread (a child made by
// fork asks again; one made without fork handlers, such as _Fork, must not call it).
COMRT_API DWORD GetCurrentThreadId() noexcept;
// The kernel's identifier of the calling process.
COMRT_API DWORD GetCurrentProcessId() noexcept;

// Milliseconds of the monotonic clock cut to 32 bits: wraps about every 49.7 days, so compare two ticks by
// their signed difference. The counter starts at the clock's value unless SetTickCountOrigin moved it.
COMRT_API DWORD GetTickCount() noexcept;
// Suspends the calling thread for dwMilliseconds (INFINITE: for good); signals do not shorten it.
COMRT_API void Sleep(DWORD dwMilliseconds) noexcept;

namespace comrt {

// Makes GetTickCount answer nTickCount now and count on from there, for the whole process. Tests use it
// to run the counter across its wrap (for example from 0xFFFFFFFF - 100). Moving it while timers run moves
// their due times with it.
COMRT_API void SetTickCountOrigin(DWORD nTickCount) noexcept;

// Readiness of a file descriptor as a waitable object: signalled while poll reports any of nPollEvents
// (POLLIN, POLLOUT, ...) or an error or hang-up on nFd. A wait does not consume the readiness; whoever owns
// the descriptor reads or writes it. With bCloseFd the object closes nFd when it goes. nullptr with
// ERROR_INVALID_PARAMETER for a negative descriptor or no events.
COMRT_API HANDLE CreateFdWaitable(int nFd, short nPollEvents, bool bCloseFd) noexcept;

}  // namespace comrt

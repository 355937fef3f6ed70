// Waitable kernel objects, threads, the tick counter and the calling thread's last error, in the shape of
// the kernel calls the system makes.
//
// A HANDLE names one reference to an object: an event, a thread, or a file descriptor whose readiness is
// the signal (directory change notifications and socket readiness are built on that), all of this process,
// or a named mutex, event or file mapping shared between processes (see "Named kernel objects" below).
// Every waitable object of this process has a file descriptor that poll can watch, so that
// WaitForMultipleObjects waits on any mix of them in one call; events and threads use an eventfd that is
// readable exactly while the object is signalled. The object itself keeps its state under its own lock,
// and a wait decides under that lock, so an auto-reset event releases exactly one waiter.
//
// Handles are checked: a handle that was never made or has been closed gives ERROR_INVALID_HANDLE (and
// WAIT_FAILED from the waits), never a crash. Handle values are not reused within a process. An object
// lives until its last handle is closed and no wait uses it any more; a thread object also lives until its
// thread has ended, and a named object's name outlives its handles (see below).
//
// Failures set the calling thread's last error (GetLastError), as the kernel calls do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// Events. Without a name (lpName null) the event belongs to this process; with one it is a named kernel
// object shared with every process of the user that names it (see "Named kernel objects" below). Security
// attributes are ignored.
COMRT_API HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) noexcept;
// Opens the existing named event; nullptr with ERROR_FILE_NOT_FOUND when there is none. dwDesiredAccess and
// bInheritHandle are not checked.
COMRT_API HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) noexcept;
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

// Named kernel objects: mutexes, events and file mappings shared between processes.
//
//   HANDLE hLock = CreateMutexW(nullptr, TRUE, u"Example.LockMutex");
//   if (hLock != nullptr && GetLastError() == ERROR_ALREADY_EXISTS)
//       WaitForSingleObject(hLock, 2000);                       // WAIT_OBJECT_0, WAIT_ABANDONED_0, WAIT_TIMEOUT
//   HANDLE hData = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, u"Example.Data");
//   void* pView = MapViewOfFile(hData, FILE_MAP_ALL_ACCESS, 0, 0, 0);
//   ...
//   UnmapViewOfFile(pView);
//   ReleaseMutex(hLock);
//
// Names. A name is at most MAX_OBJECT_NAME bytes once written in UTF-8 (ERROR_INVALID_PARAMETER beyond)
// and holds no '/' (an empty name or one with '/' gives ERROR_INVALID_NAME; a null one ERROR_INVALID_PARAMETER
// where a name is needed). Names are per user: the object behind a name
// is the POSIX shared memory object "/" + name + "." + effective user identifier (comrt::GetNamedObjectPath),
// so the system service and a user's own programs never meet. An object of the name that another user owns
// is refused with ERROR_ACCESS_DENIED rather than used.
//
// Creating. The Create calls open the object of the name when there is one (the last error is then
// ERROR_ALREADY_EXISTS) and make it otherwise (last error ERROR_SUCCESS); the Open calls only open, and give
// ERROR_FILE_NOT_FOUND when there is none. Making and checking an object happen under an advisory lock on it,
// so two processes never both make the same object, and a process that opens an object half made by one that
// ended meanwhile makes it again. An object left damaged (of the wrong size or contents) counts as not there:
// the Create calls make it anew. New objects get mode 0600 (only their user); comrt::SetNamedObjectMode
// opens them to others. The advisory lock is waited for at most 2000 ms (ERROR_TIMEOUT).
//
// Lifetime. Unlike the system's objects, which go with their last handle, these outlive their handles and
// their processes: a process may end without closing anything. The name goes when a process removes it
// (comrt::RemoveNamedObject), as the process that made the objects does when it is done; handles open on
// the object keep it until they are closed. Whoever opens objects left by a process that ended decides from
// their contents whether to take them over (comrt::GetNamedObjectCreator helps).
//
// Mutexes are recursive and belong to the thread that acquired them. A thread (or process) that ends holding
// one leaves it abandoned: the next wait that acquires it answers WAIT_ABANDONED_0 (+ index) instead of
// WAIT_OBJECT_0, and the mutex is usable again afterwards. Without a name a mutex belongs to this process.
//
// Waits. WaitForSingleObject on a named mutex or event sleeps in the kernel until it is signalled or the time
// runs out. WaitForMultipleObjects takes them among other objects for a wait for any one of them, looking
// at them every millisecond while it waits; a wait for all objects with a named one among them fails with
// ERROR_NOT_SUPPORTED.
constexpr DWORD MAX_OBJECT_NAME = 200;
constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD FILE_MAP_WRITE = 0x0002;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;
constexpr LONG ERROR_NOT_OWNER = 288;
constexpr LONG ERROR_INVALID_ADDRESS = 487;

// Makes or opens a mutex. bInitialOwner: a mutex this call makes is returned held by the calling thread; one
// that existed is not (wait for it). Security attributes are ignored.
COMRT_API HANDLE CreateMutexW(void* lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) noexcept;
COMRT_API HANDLE OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) noexcept;
// Releases one hold of the calling thread; FALSE with ERROR_NOT_OWNER when it holds none.
COMRT_API BOOL ReleaseMutex(HANDLE hMutex) noexcept;

// Makes or opens a file mapping of dwMaximumSizeLow bytes (the high part must be 0) backed by memory:
// hFile must be INVALID_HANDLE_VALUE (files: ERROR_NOT_SUPPORTED), flProtect PAGE_READWRITE or
// PAGE_READONLY, the size not 0 (ERROR_INVALID_PARAMETER). A new mapping is zero. An existing one of
// another size was left half made: it is given the size asked for and counts as made (its bytes are
// whatever they were, the new ones zero). Without a name the mapping belongs to this process.
COMRT_API HANDLE CreateFileMappingW(HANDLE hFile, void* lpFileMappingAttributes, DWORD flProtect,
                                    DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCWSTR lpName) noexcept;
COMRT_API HANDLE OpenFileMappingW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) noexcept;
// Maps dwNumberOfBytesToMap bytes (0: to the end) from the offset (a multiple of the page size) of the
// mapping, read-write with FILE_MAP_WRITE or FILE_MAP_ALL_ACCESS, read-only with FILE_MAP_READ. nullptr with
// ERROR_INVALID_PARAMETER for a range outside the mapping. The view stays valid after the handle is closed,
// until UnmapViewOfFile; a child made by fork inherits it.
COMRT_API void* MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                              DWORD dwFileOffsetLow, std::size_t dwNumberOfBytesToMap) noexcept;
// FALSE with ERROR_INVALID_ADDRESS for an address that is not the start of a view.
COMRT_API BOOL UnmapViewOfFile(const void* lpBaseAddress) noexcept;

namespace comrt {

// The system's name of the named object lpName (see "Named kernel objects"): "/" + name (UTF-8) + "." +
// effective user identifier. Does not check the name.
COMRT_API std::string GetNamedObjectPath(std::u16string_view sName);
// Removes the name of a named object, when it still names the object of hObject: later Create calls make a
// new object, handles already open keep theirs. FALSE with ERROR_FILE_NOT_FOUND when the name is gone or names
// another object, ERROR_INVALID_HANDLE for a handle of no named object.
COMRT_API BOOL RemoveNamedObject(HANDLE hObject) noexcept;
// Gives a named object the permission bits nMode (as chmod does: 0644 lets every user read it, 0666 also
// write or take it). Its owner stays who made it. FALSE with the system's error (ERROR_ACCESS_DENIED when
// the calling user may not change it).
COMRT_API BOOL SetNamedObjectMode(HANDLE hObject, unsigned nMode) noexcept;
// The process that made a named mutex or event: its identifier and start time (comrt::GetProcessStartTime
// at the time). FALSE with ERROR_INVALID_HANDLE for another handle.
COMRT_API BOOL GetNamedObjectCreator(HANDLE hObject, DWORD* pnProcessId, std::uint64_t* pnStartTime) noexcept;

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

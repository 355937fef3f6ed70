// Directory listings and directory change notifications, in the shape of the file calls the file system
// check makes.
//
// FindFirstFileW lists one directory: the pattern is the directory joined with "*.*" or "*" (every entry;
// other wildcards fail with ERROR_INVALID_PARAMETER). Entries come in the directory's order, read as they
// are asked for, so a huge directory costs no more than its size. "." and ".." are listed as directories.
// Attributes: FILE_ATTRIBUTE_DIRECTORY for directories, FILE_ATTRIBUTE_REPARSE_POINT for symbolic links (with
// DIRECTORY as well when the link leads to a directory), FILE_ATTRIBUTE_NORMAL otherwise. Sizes are those
// of regular files (0 for others); times are those of the entry itself (the creation time is the birth
// time where the file system records one, else the change time). A name longer than MAX_PATH - 1 UTF-16
// characters is passed over; names that are not UTF-8 are shown with U+FFFD in place of the bad bytes.
//
// A change notification is a waitable object (comrt/sync.h) on an inotify watch of one directory, not its
// subdirectories. It is signalled while a change the filter selects is pending; FindNextChangeNotification
// takes back every change pending so far, so a caller re-arms before it looks at the directory and a change
// made while it looks signals the object again. A queue overflow of the kernel
// signals it like any change (the caller rescans). Once the directory itself is removed, moved away or its
// file system unmounted, the object stays signalled and FindNextChangeNotification fails with
// ERROR_PATH_NOT_FOUND: the caller closes it and watches again when the directory is back.
//
// Failures set the calling thread's last error (GetLastError).
#pragma once

#include "comrt/sync.h"

constexpr DWORD MAX_PATH = 260;

constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};

// INVALID_HANDLE_VALUE on failure: ERROR_PATH_NOT_FOUND (no such directory, or not a directory),
// ERROR_ACCESS_DENIED (no read permission), ERROR_INVALID_PARAMETER (another pattern, null arguments).
COMRT_API HANDLE FindFirstFileW(LPCWSTR lpFileName, WIN32_FIND_DATAW* lpFindFileData) noexcept;
// FALSE with ERROR_NO_MORE_FILES after the last entry.
COMRT_API BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData) noexcept;
COMRT_API BOOL FindClose(HANDLE hFindFile) noexcept;

// Joins a directory and a name with one '/' into pszDest, which holds MAX_PATH characters. An absolute
// pszFile is the result itself; an empty part gives the other. FALSE (and an empty pszDest) when the
// result does not fit, ERROR_INVALID_PARAMETER for a null pszDest. No ".." is resolved.
COMRT_API BOOL PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile) noexcept;

constexpr DWORD FILE_NOTIFY_CHANGE_FILE_NAME = 0x1;
constexpr DWORD FILE_NOTIFY_CHANGE_DIR_NAME = 0x2;
constexpr DWORD FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x4;
constexpr DWORD FILE_NOTIFY_CHANGE_SIZE = 0x8;
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_WRITE = 0x10;

// INVALID_HANDLE_VALUE on failure: ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NOT_SUPPORTED for
// bWatchSubtree TRUE, ERROR_INVALID_PARAMETER for a filter with no or unknown bits.
// Filter to inotify: FILE_NAME and DIR_NAME: created, deleted, moved in or out (files and directories
// told apart); ATTRIBUTES: attribute changes; SIZE: writes and truncations; LAST_WRITE: those and the
// closing of a file written through a mapping.
COMRT_API HANDLE FindFirstChangeNotificationW(LPCWSTR lpPathName, BOOL bWatchSubtree, DWORD dwNotifyFilter) noexcept;
COMRT_API BOOL FindNextChangeNotification(HANDLE hChangeHandle) noexcept;
COMRT_API BOOL FindCloseChangeNotification(HANDLE hChangeHandle) noexcept;

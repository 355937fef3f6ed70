// The registry: keys and typed values in three hives, each one SQLite database.
//
//   HKEY_CLASSES_ROOT   classes.db   class registrations, readable by everyone
//   HKEY_LOCAL_MACHINE  machine.db   settings, created readable by its owner only
//   HKEY_CURRENT_USER   user.db      the user's own choices
//
// The system hives live in /var/lib/corvane-harkwell/, the user hive in $XDG_DATA_HOME/corvane-harkwell/;
// CORVANE_REGISTRY_DIR moves all three into one folder. A process that may not write a system hive reads it
// through a per-user overlay: writes go to the overlay ($XDG_DATA_HOME/corvane-harkwell/overlay/), reads see
// the overlay above the system hive, and a key or value deleted in the overlay hides the system's one.
// CORVANE_REGISTRY_OVERLAY_DIR moves the overlay; CORVANE_REGISTRY_READONLY_SYSTEM=1 makes the process treat
// the system hives as not writable even where it could write them (root), so tests can exercise the overlay.
// A system hive the process may not read at all (the machine hive of another owner) is empty below its overlay.
//
// Names compare without regard to case and keep the case they were created with; enumeration follows
// creation order. Every call is one transaction; several processes may use the store at once. Calls on a
// handle whose key was deleted return ERROR_KEY_DELETED; a handle opened without KEY_SET_VALUE may not set
// or delete values (ERROR_ACCESS_DENIED).
// Calls return Win32 error codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_NO_MORE_ITEMS,
// ERROR_MORE_DATA, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_BADDB for a
// damaged database file, ERROR_CANTOPEN when a database cannot be opened). A damaged database is
// reported with its path in the caller module's trace through RegGetLastStoreError and is never replaced.
#pragma once

#include <string>

#include "comrt/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Key and value names are at most 255 characters, as on the original platform.
constexpr DWORD MAX_REG_NAME = 255;

COMRT_API LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
COMRT_API LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, void* lpSecurityAttributes, PHKEY phkResult, DWORD* lpdwDisposition);
COMRT_API LONG RegCloseKey(HKEY hKey);
// lpcchName: in, the buffer size in characters including the NUL; out, the name length without it.
// ERROR_MORE_DATA when the buffer is too small.
COMRT_API LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved,
                             LPWSTR lpClass, DWORD* lpcchClass, FILETIME* lpftLastWriteTime);
COMRT_API LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                             DWORD* lpType, BYTE* lpData, DWORD* lpcbData);
// lpData null: only the type and size are returned. REG_SZ data is UTF-16LE including the terminating NUL.
COMRT_API LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                                DWORD* lpcbData);
COMRT_API LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData);
COMRT_API LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise, as the original does).
COMRT_API LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// Deletes a key with everything below it. lpSubKey null or empty: everything below hKey, keeping hKey.
COMRT_API LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
COMRT_API LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, DWORD* lpcchClass, DWORD* lpReserved, DWORD* lpcSubKeys,
                                DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues,
                                DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor,
                                FILETIME* lpftLastWriteTime);

// One transaction over many calls: from RegBeginTransaction to RegEndTransaction, the calling thread's changes
// to hKey's hive reach the database together when committed, or not at all (a process that ends meanwhile
// leaves the hive as it was). A call that fails inside it undoes only itself. Other threads' registry calls
// wait until the transaction ends. One at a time per process: ERROR_INVALID_FUNCTION for a second one, and
// for an end on a thread that began none.
COMRT_API LONG RegBeginTransaction(HKEY hKey);
COMRT_API LONG RegEndTransaction(BOOL bCommit);
// The folder of the system hives as resolved for this process (for messages and tools).
COMRT_API std::string RegGetStoreDirectory();
// The last store failure of the calling thread, with the database path, as a sentence a person
// understands ("The registry database /var/lib/corvane-harkwell/classes.db is damaged: ..."); empty when the
// last call did not fail inside the store.
COMRT_API std::string RegGetLastStoreError();
// Closes every database connection of the process (tests that move CORVANE_REGISTRY_DIR call this; open
// keys become invalid).
COMRT_API void RegResetStore();

// The service control manager and the event log, in the shape of the Windows calls, on systemd.
//
// A service is a systemd unit: the service name maps onto the unit name by lower-casing it and turning
// blanks into "-" ("Corvane Harkwell Server" is corvane-harkwell-server.service). The unit file lives in
// the unit directory (/etc/systemd/system); the manager is driven with systemctl. Two environment
// variables point both elsewhere, so that tests and machines without systemd can run every call:
//
//   CORVANE_HARKWELL_UNIT_DIR   the folder the unit files are written to
//   CORVANE_HARKWELL_SYSTEMCTL  the program run in place of systemctl (same arguments)
//
// With neither set, the manager is reachable only where systemd runs (/run/systemd/system exists).
//
// A process counts as "started by the service control manager" when systemd's service environment is
// there (INVOCATION_ID); its status reports become notify messages to NOTIFY_SOCKET: start pending
// "STATUS=...", running "READY=1", stop pending "STOPPING=1".
//
// The event log is the system journal (SYSLOG_IDENTIFIER = the source name), else syslog. The variable
// CORVANE_HARKWELL_EVENT_LOG names a file that receives the entries instead, one line each:
// "<source>\t<type>\t<event identifier>\t<text>\n", type and identifier in decimal, the report's strings
// joined with blanks (line breaks and tabs inside them become blanks too).
//
// Failures set the calling thread's last error (GetLastError) with the Win32 codes below, and further:
//   RPC_S_SERVER_UNAVAILABLE   systemctl could not be run, or did not exit by itself
//   ERROR_SERVICE_DOES_NOT_EXIST  the unit file is missing, or systemctl does not know the unit (exit 4 or 5)
//   ERROR_INVALID_FUNCTION     systemctl refused the request (any other non-zero exit)
//   ERROR_INVALID_NAME         a service or dependency name with characters a unit name cannot hold
//                              (allowed: letters, digits, blanks, "-", "_", ".", ":")
//   ERROR_ACCESS_DENIED        the handle was opened without the right the call needs (SERVICE_STOP for
//                              ControlService's stop, DELETE for DeleteService, SC_MANAGER_CREATE_SERVICE
//                              for CreateServiceW, ...)
//   ERROR_SERVICE_MARKED_FOR_DELETE  any call on a service handle after DeleteService through it
#pragma once

#include "comrt/export.h"
#include "comrt/sync.h"
#include "comrt/types.h"

using SC_HANDLE = struct SC_HANDLE__*;
using SERVICE_STATUS_HANDLE = struct SERVICE_STATUS_HANDLE__*;
using PSID = void*;

// Access rights (checked loosely: opening the manager for more than SC_MANAGER_CONNECT, or a service for
// changing, starting, stopping or deleting it, needs root or a writable unit directory).
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
#ifndef DELETE
constexpr DWORD DELETE = 0x00010000;
#endif

constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFF;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x00000010;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;

constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;

constexpr DWORD SERVICE_ACCEPT_STOP = 0x00000001;

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;

// The Win32 codes these calls set (ERROR_SERVICE_ALREADY_RUNNING 1056, ERROR_SERVICE_DOES_NOT_EXIST 1060,
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061, ERROR_SERVICE_NOT_ACTIVE 1062, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
// 1063, ERROR_SERVICE_SPECIFIC_ERROR 1066, ERROR_SERVICE_MARKED_FOR_DELETE 1072, ERROR_SERVICE_EXISTS 1073,
// RPC_S_SERVER_UNAVAILABLE 1722) are declared with every other Win32 code in comrt/types.h.

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

struct SERVICE_DESCRIPTIONW {
    LPWSTR lpDescription;
};

using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD dwNumServicesArgs, LPWSTR* lpServiceArgVectors);
using LPHANDLER_FUNCTION = void (*)(DWORD dwControl);

struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

// The manager. lpMachineName and lpDatabaseName must be null (the local machine's one manager).
COMRT_API SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) noexcept;
COMRT_API SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) noexcept;

// Writes the unit file (Type=notify, ExecStart = the binary path as given, the dependencies as After= and
// Requires=, "RPCSS" meaning the D-Bus daemon), reloads the manager and, for SERVICE_AUTO_START, enables
// the unit. lpServiceStartName null = root. Fails with ERROR_SERVICE_EXISTS when the unit file exists.
// A null or empty display name shows the service name. Several dependencies go on one Requires= and one
// After= line. The unit also passes CORVANE_REGISTRY_DIR and CORVANE_LOG_DIR on (Environment= lines) when
// the calling process has them. Error control, load order group and password are ignored (*lpdwTagId = 0).
// When the manager cannot reload or enable the new unit, its file is removed again.
COMRT_API SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                   DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                   LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                   LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword) noexcept;

// Only SERVICE_CONFIG_DESCRIPTION: the description is kept in the unit file.
COMRT_API BOOL ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) noexcept;

// The start type (enable/disable) and the display name; SERVICE_NO_CHANGE and null keep a setting. A binary
// path, load order group, tag, dependencies or account other than null fail with ERROR_NOT_SUPPORTED.
COMRT_API BOOL ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                    LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                    LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword,
                                    LPCWSTR lpDisplayName) noexcept;

// The unit's start type as the manager sees it (SERVICE_AUTO_START when enabled, SERVICE_DEMAND_START
// when not, SERVICE_DISABLED when masked).
COMRT_API BOOL QueryServiceStartType(SC_HANDLE hService, LPDWORD lpdwStartType) noexcept;

// Asks the manager to start the unit without waiting; start arguments are ignored (the unit has its own
// command line). A unit that is active or activating fails with ERROR_SERVICE_ALREADY_RUNNING.
COMRT_API BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors) noexcept;

// SERVICE_CONTROL_STOP asks the manager to stop the unit without waiting; an inactive unit fails with
// ERROR_SERVICE_NOT_ACTIVE. lpServiceStatus receives the state after the request. SERVICE_CONTROL_INTERROGATE
// answers the state; pause and continue fail with ERROR_SERVICE_CANNOT_ACCEPT_CTRL and other controls with
// ERROR_INVALID_SERVICE_CONTROL, both with the current state in lpServiceStatus.
COMRT_API BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) noexcept;
COMRT_API BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) noexcept;

// Disables the unit, removes its file and reloads the manager. A running service keeps running.
COMRT_API BOOL DeleteService(SC_HANDLE hService) noexcept;
COMRT_API BOOL CloseServiceHandle(SC_HANDLE hSCObject) noexcept;

// The service process's side. Outside systemd's service environment the dispatcher fails at once with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT. Inside it, it runs the table's first service function on a
// thread of its own and itself waits for SIGTERM and SIGINT (which the caller has blocked in every
// thread), turning each into SERVICE_CONTROL_STOP for the registered handler; it returns TRUE once the
// service function has returned. The service function gets one argument, the service name. The handler runs
// on the dispatcher's thread, and only while the last status reported accepts stop (SERVICE_ACCEPT_STOP).
// The two signals stay blocked in the calling thread afterwards, so that a late stop request cannot end the
// process by its default action. One dispatcher per process at a time (else ERROR_SERVICE_ALREADY_RUNNING).
// RegisterServiceCtrlHandlerW works only inside a dispatch (else ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) and
// only for the dispatched service's name, compared without case (else ERROR_SERVICE_DOES_NOT_EXIST); the
// status handle it returns ends with the dispatch. SetServiceStatus without NOTIFY_SOCKET sends nothing and
// succeeds.
COMRT_API BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) noexcept;
COMRT_API SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName,
                                                            LPHANDLER_FUNCTION lpHandlerProc) noexcept;
COMRT_API BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) noexcept;

// The event log.
COMRT_API HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) noexcept;
COMRT_API BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                            WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) noexcept;
COMRT_API BOOL DeregisterEventSource(HANDLE hEventLog) noexcept;

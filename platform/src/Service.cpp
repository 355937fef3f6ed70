// The service control manager on systemd.
//
// The manager side keeps no state of its own: a service is its unit file in the unit folder, and whatever
// systemd knows about it (enabled, active) is asked of systemctl each time. systemctl is run directly, its
// arguments as separate items, so that no name or path ever passes through a shell.
#include "comrt/service.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ServiceInternal.h"
#include "ServiceUnitFile.h"
#include "comrt/text.h"

extern char** environ;

namespace {

using namespace comrt::internal;

struct CManagerObject : CServiceObject {
    static constexpr std::uint32_t kTag = kManagerTag;
    explicit CManagerObject(DWORD dwAccess) : CServiceObject(kTag), dwAccess(dwAccess) {}
    const DWORD dwAccess;
};

struct CUnitObject : CServiceObject {
    static constexpr std::uint32_t kTag = kServiceTag;
    CUnitObject(std::u16string sName, std::string sUnit, DWORD dwAccess)
        : CServiceObject(kTag), sName(std::move(sName)), sUnit(std::move(sUnit)), dwAccess(dwAccess) {}
    const std::u16string sName;
    const std::string sUnit;
    const DWORD dwAccess;
    std::mutex Lock;
    bool bDeleted = false;  // DeleteService ran through this handle
};

std::string SystemctlProgram() {
    std::string s = EnvironmentValue("CORVANE_HARKWELL_SYSTEMCTL");
    return s.empty() ? "systemctl" : s;
}

bool IsManagerReachable() {
    return !EnvironmentValue("CORVANE_HARKWELL_UNIT_DIR").empty() ||
           !EnvironmentValue("CORVANE_HARKWELL_SYSTEMCTL").empty() || access("/run/systemd/system", F_OK) == 0;
}

bool MayChangeManager() {
    return geteuid() == 0 || access(UnitFolder().c_str(), W_OK) == 0;
}

// ---------------------------------------------------------------------------------------------------------
// systemctl.

// Runs systemctl with the arguments and answers its exit status, with its standard output in *psOutput.
// False (last error RPC_S_SERVER_UNAVAILABLE) when it could not be started or did not exit by itself.
bool RunSystemctl(std::initializer_list<std::string> Arguments, int* pnStatus, std::string* psOutput) {
    const std::string sProgram = SystemctlProgram();
    std::vector<std::string> Items{sProgram};
    Items.insert(Items.end(), Arguments.begin(), Arguments.end());
    std::vector<char*> Argv;
    for (std::string& s : Items) Argv.push_back(s.data());
    Argv.push_back(nullptr);

    int Pipe[2];
    if (pipe2(Pipe, O_CLOEXEC) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDOUT_FILENO);
    // The service process blocks SIGTERM and SIGINT for its dispatcher; the child must not inherit that.
    posix_spawnattr_t Attributes;
    posix_spawnattr_init(&Attributes);
    sigset_t Empty;
    sigemptyset(&Empty);
    posix_spawnattr_setsigmask(&Attributes, &Empty);
    sigset_t Defaults;
    sigemptyset(&Defaults);
    sigaddset(&Defaults, SIGTERM);
    sigaddset(&Defaults, SIGINT);
    sigaddset(&Defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&Attributes, &Defaults);
    posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t nPid = -1;
    const int nSpawn = posix_spawnp(&nPid, sProgram.c_str(), &Actions, &Attributes, Argv.data(), environ);
    posix_spawnattr_destroy(&Attributes);
    posix_spawn_file_actions_destroy(&Actions);
    close(Pipe[1]);
    if (nSpawn != 0) {
        close(Pipe[0]);
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }

    std::string sOutput;
    char Buffer[512];
    for (;;) {
        const ssize_t n = read(Pipe[0], Buffer, sizeof Buffer);
        if (n > 0) {
            sOutput.append(Buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(Pipe[0]);
    int nWaitStatus = 0;
    while (waitpid(nPid, &nWaitStatus, 0) < 0) {
        if (errno != EINTR) {
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return false;
        }
    }
    if (!WIFEXITED(nWaitStatus)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    *pnStatus = WEXITSTATUS(nWaitStatus);
    if (psOutput) *psOutput = std::move(sOutput);
    return true;
}

// A systemctl command that must succeed. systemctl exits with 4 or 5 for a unit it does not know; any other
// failure is the manager refusing the request.
bool Systemctl(std::initializer_list<std::string> Arguments) {
    int nStatus = 0;
    if (!RunSystemctl(Arguments, &nStatus, nullptr)) return false;
    if (nStatus == 0) return true;
    SetLastError(nStatus == 4 || nStatus == 5 ? ERROR_SERVICE_DOES_NOT_EXIST : ERROR_INVALID_FUNCTION);
    return false;
}

// The first word systemctl printed ("active", "enabled", ...); its exit status carries no more than that.
bool SystemctlState(const char* szVerb, const std::string& sUnit, std::string* psState) {
    int nStatus = 0;
    std::string sOutput;
    if (!RunSystemctl({szVerb, sUnit}, &nStatus, &sOutput)) return false;
    const std::size_t nEnd = sOutput.find_first_of(" \t\r\n");
    *psState = sOutput.substr(0, nEnd);
    return true;
}

bool QueryState(const std::string& sUnit, SERVICE_STATUS* pStatus) {
    std::string sState;
    if (!SystemctlState("is-active", sUnit, &sState)) return false;
    DWORD dwState = SERVICE_STOPPED;
    if (sState == "active") {
        dwState = SERVICE_RUNNING;
    } else if (sState == "activating" || sState == "reloading") {
        dwState = SERVICE_START_PENDING;
    } else if (sState == "deactivating") {
        dwState = SERVICE_STOP_PENDING;
    }
    *pStatus = SERVICE_STATUS{};
    pStatus->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    pStatus->dwCurrentState = dwState;
    pStatus->dwControlsAccepted = dwState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    return true;
}

// The service handle with the access right, and whose unit has not been deleted through it.
std::shared_ptr<CUnitObject> ServiceFor(SC_HANDLE hService, DWORD dwRight) {
    std::shared_ptr<CUnitObject> p = LookupServiceObject<CUnitObject>(hService);
    if (!p) return nullptr;
    if ((p->dwAccess & dwRight) != dwRight) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::lock_guard Lock(p->Lock);
    if (p->bDeleted) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    return p;
}

bool RequireUnitFile(const std::string& sUnit) {
    if (UnitFileExists(sUnit)) return true;
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return false;
}

// Rewrites settings of an existing unit file and has the manager read it again.
template <class Edit>
bool EditUnitFile(const std::string& sUnit, Edit&& EditLines) {
    std::string sText;
    if (!ReadUnitFile(sUnit, &sText)) return false;
    std::vector<std::string> Lines = SplitLines(sText);
    EditLines(Lines);
    if (!WriteUnitFile(sUnit, JoinLines(Lines), false)) return false;
    return Systemctl({"daemon-reload"});
}

bool SetStartType(const std::string& sUnit, DWORD dwStartType) {
    return Systemctl({dwStartType == SERVICE_AUTO_START ? "enable" : "disable", sUnit});
}

}  // namespace

// -------------------------------------------------------------------------------------------------------------
// The manager.

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) noexcept {
    try {
        if (lpMachineName || lpDatabaseName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (!IsManagerReachable()) {
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return nullptr;
        }
        if ((dwDesiredAccess & ~SC_MANAGER_CONNECT) != 0 && !MayChangeManager()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        return static_cast<SC_HANDLE>(InsertServiceObject(std::make_shared<CManagerObject>(dwDesiredAccess)));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) noexcept {
    try {
        if (!LookupServiceObject<CManagerObject>(hSCManager)) return nullptr;
        std::string sUnit;
        if (!UnitNameOf(std::u16string_view(lpServiceName ? lpServiceName : u""), &sUnit)) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        if (!RequireUnitFile(sUnit)) return nullptr;
        constexpr DWORD kChangingRights = SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_STOP | DELETE;
        if ((dwDesiredAccess & kChangingRights) != 0 && !MayChangeManager()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        return static_cast<SC_HANDLE>(
            InsertServiceObject(std::make_shared<CUnitObject>(lpServiceName, std::move(sUnit), dwDesiredAccess)));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                         LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                         LPCWSTR lpServiceStartName, LPCWSTR lpPassword) noexcept {
    try {
        std::shared_ptr<CManagerObject> pManager = LookupServiceObject<CManagerObject>(hSCManager);
        if (!pManager) return nullptr;
        if ((pManager->dwAccess & SC_MANAGER_CREATE_SERVICE) == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        std::string sUnit;
        if (!UnitNameOf(std::u16string_view(lpServiceName ? lpServiceName : u""), &sUnit)) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        const bool bKnownStartType =
            dwStartType == SERVICE_AUTO_START || dwStartType == SERVICE_DEMAND_START || dwStartType == SERVICE_DISABLED;
        // The unit runs as root: another account would need a User= line and its password nowhere.
        if (dwServiceType != SERVICE_WIN32_OWN_PROCESS || !bKnownStartType || lpServiceStartName != nullptr ||
            comrt::Length(lpBinaryPathName) == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::string sDependencies;
        if (!MapDependencies(lpDependencies, &sDependencies)) return nullptr;
        // Without a display name the service is shown by its name.
        const std::string sDisplayName = OneLine(comrt::Length(lpDisplayName) ? lpDisplayName : lpServiceName);
        const std::string sText = BuildUnitFile(sDisplayName, OneLine(lpBinaryPathName), sDependencies);

        if (UnitFileExists(sUnit)) {
            SetLastError(ERROR_SERVICE_EXISTS);
            return nullptr;
        }
        if (!WriteUnitFile(sUnit, sText, true)) return nullptr;
        // A unit the manager cannot take is removed again, so that a later attempt starts afresh.
        if (!Systemctl({"daemon-reload"}) || (dwStartType == SERVICE_AUTO_START && !SetStartType(sUnit, dwStartType))) {
            const DWORD dwError = GetLastError();
            unlink(UnitPath(sUnit).c_str());
            int nStatus = 0;
            RunSystemctl({"daemon-reload"}, &nStatus, nullptr);
            SetLastError(dwError);
            return nullptr;
        }
        if (lpdwTagId) *lpdwTagId = 0;
        return static_cast<SC_HANDLE>(
            InsertServiceObject(std::make_shared<CUnitObject>(lpServiceName, std::move(sUnit), dwDesiredAccess)));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) noexcept {
    try {
        std::shared_ptr<CUnitObject> p = ServiceFor(hService, SERVICE_CHANGE_CONFIG);
        if (!p) return FALSE;
        if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION || lpInfo == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // A null description keeps the one there is; an empty one removes it.
        const LPCWSTR pszDescription = static_cast<const SERVICE_DESCRIPTIONW*>(lpInfo)->lpDescription;
        if (pszDescription == nullptr) return RequireUnitFile(p->sUnit) ? TRUE : FALSE;
        const std::string sDescription = OneLine(pszDescription);
        return EditUnitFile(p->sUnit,
                            [&](std::vector<std::string>& Lines) {
                                SetSetting(Lines, "X-Description", sDescription, "Description");
                            })
                   ? TRUE
                   : FALSE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                          LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                          LPCWSTR lpServiceStartName, LPCWSTR lpPassword, LPCWSTR lpDisplayName) noexcept {
    try {
        std::shared_ptr<CUnitObject> p = ServiceFor(hService, SERVICE_CHANGE_CONFIG);
        if (!p) return FALSE;
        const bool bKnownStartType = dwStartType == SERVICE_NO_CHANGE || dwStartType == SERVICE_AUTO_START ||
                                     dwStartType == SERVICE_DEMAND_START || dwStartType == SERVICE_DISABLED;
        if ((dwServiceType != SERVICE_NO_CHANGE && dwServiceType != SERVICE_WIN32_OWN_PROCESS) || !bKnownStartType) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // Only the start type and the display name can change; the rest is fixed when the unit is written.
        if (lpBinaryPathName || lpLoadOrderGroup || lpdwTagId || lpDependencies || lpServiceStartName) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        if (!RequireUnitFile(p->sUnit)) return FALSE;
        if (comrt::Length(lpDisplayName) != 0) {
            const std::string sDisplayName = OneLine(lpDisplayName);
            const bool bEdited = EditUnitFile(p->sUnit, [&](std::vector<std::string>& Lines) {
                for (std::string& sLine : Lines)
                    if (IsCommentLine(sLine)) sLine = CommentLine(sDisplayName);
                SetSetting(Lines, "Description", KeepPercent(sDisplayName), "[Unit]");
            });
            if (!bEdited) return FALSE;
        }
        if (dwStartType != SERVICE_NO_CHANGE && !SetStartType(p->sUnit, dwStartType)) return FALSE;
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL QueryServiceStartType(SC_HANDLE hService, LPDWORD lpdwStartType) noexcept {
    try {
        std::shared_ptr<CUnitObject> p = ServiceFor(hService, SERVICE_QUERY_CONFIG);
        if (!p) return FALSE;
        if (!lpdwStartType) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!RequireUnitFile(p->sUnit)) return FALSE;
        std::string sState;
        if (!SystemctlState("is-enabled", p->sUnit, &sState)) return FALSE;
        *lpdwStartType = sState == "enabled"  ? SERVICE_AUTO_START
                         : sState == "masked" ? SERVICE_DISABLED
                                              : SERVICE_DEMAND_START;
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors) noexcept {
    try {
        std::shared_ptr<CUnitObject> p = ServiceFor(hService, SERVICE_START);
        if (!p) return FALSE;
        if (!RequireUnitFile(p->sUnit)) return FALSE;
        SERVICE_STATUS Status;
        if (!QueryState(p->sUnit, &Status)) return FALSE;
        if (Status.dwCurrentState == SERVICE_RUNNING || Status.dwCurrentState == SERVICE_START_PENDING) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        // systemd starts a unit with its ExecStart line only; start arguments have nowhere to go.
        return Systemctl({"start", "--no-block", p->sUnit}) ? TRUE : FALSE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) noexcept {
    try {
        std::shared_ptr<CUnitObject> p = ServiceFor(hService, dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : 0);
        if (!p) return FALSE;
        if (!lpServiceStatus) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!RequireUnitFile(p->sUnit)) return FALSE;
        SERVICE_STATUS Status;
        if (!QueryState(p->sUnit, &Status)) return FALSE;
        *lpServiceStatus = Status;
        switch (dwControl) {
            case SERVICE_CONTROL_STOP:
                if (Status.dwCurrentState == SERVICE_STOPPED) {
                    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
                    return FALSE;
                }
                if (!Systemctl({"stop", "--no-block", p->sUnit})) return FALSE;
                lpServiceStatus->dwCurrentState = SERVICE_STOP_PENDING;
                lpServiceStatus->dwControlsAccepted = 0;
                return TRUE;
            case SERVICE_CONTROL_INTERROGATE:
                return TRUE;
            case SERVICE_CONTROL_PAUSE:
            case SERVICE_CONTROL_CONTINUE:
                SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
                return FALSE;
            default:
                SetLastError(ERROR_INVALID_SERVICE_CONTROL);
                return FALSE;
        }
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) noexcept {
    try {
        std::shared_ptr<CUnitObject> p = ServiceFor(hService, SERVICE_QUERY_STATUS);
        if (!p) return FALSE;
        if (!lpServiceStatus) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!RequireUnitFile(p->sUnit)) return FALSE;
        return QueryState(p->sUnit, lpServiceStatus) ? TRUE : FALSE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL DeleteService(SC_HANDLE hService) noexcept {
    try {
        std::shared_ptr<CUnitObject> p = ServiceFor(hService, DELETE);
        if (!p) return FALSE;
        if (!RequireUnitFile(p->sUnit)) return FALSE;
        if (!Systemctl({"disable", p->sUnit})) return FALSE;
        if (unlink(UnitPath(p->sUnit).c_str()) != 0 && errno != ENOENT) {
            SetLastError(comrt::Win32ErrorFromErrno(errno, ERROR_WRITE_FAULT));
            return FALSE;
        }
        {
            std::lock_guard Lock(p->Lock);
            p->bDeleted = true;
        }
        return Systemctl({"daemon-reload"}) ? TRUE : FALSE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) noexcept {
    return RemoveServiceObject(hSCObject, {kManagerTag, kServiceTag}) ? TRUE : FALSE;
}

// The process list over /proc: identifiers from its numeric entries, each process's one module its program,
// named by the /proc/PID/exe link.
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ProcFilesLinux.h"
#include "SyncObjects.h"
#include "comrt/psapi.h"
#include "comrt/text.h"

using namespace comrt::internal;

namespace {

// The handle of the program module; a process has no other.
const HMODULE PROGRAM_MODULE = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x400000));

// An opened process: its identifier and the program's base name as it was when opened.
class CProcessObject final : public CKernelObject {
public:
    CProcessObject(DWORD nProcessId, std::u16string sName) : m_nProcessId(nProcessId), m_sName(std::move(sName)) {}

    DWORD GetProcessId() const noexcept { return m_nProcessId; }
    const std::u16string& GetName() const noexcept { return m_sName; }

private:
    const DWORD m_nProcessId;
    const std::u16string m_sName;
};

// "/proc/<id><pszLeaf>" into szPath; a snapshot builds one per process, so no printf.
void ProcessPath(DWORD nProcessId, const char* pszLeaf, char (&szPath)[32]) noexcept {
    char szDigits[10];
    int nDigits = 0;
    do {
        szDigits[nDigits++] = static_cast<char>('0' + nProcessId % 10);
        nProcessId /= 10;
    } while (nProcessId != 0);
    std::size_t i = 0;
    for (const char c : {'/', 'p', 'r', 'o', 'c', '/'}) szPath[i++] = c;
    while (nDigits > 0) szPath[i++] = szDigits[--nDigits];
    while (*pszLeaf != '\0' && i + 1 < sizeof szPath) szPath[i++] = *pszLeaf++;
    szPath[i] = '\0';
}

bool Fail(DWORD nError) noexcept {
    SetLastError(nError);
    return false;
}

// Reads the state and start time of process nProcessId; 0, or the errno of the failure (EINVAL for text
// of another form).
int ReadProcessStat(DWORD nProcessId, char* pcState, ULONGLONG* pnStartTime) noexcept {
    char szPath[32];
    ProcessPath(nProcessId, "/stat", szPath);
    char szText[1024];
    std::size_t cbRead = 0;
    const int nError = ReadProcFile(szPath, szText, sizeof szText, &cbRead);
    if (nError != 0) return nError;
    return comrt::ParseProcessStat({szText, cbRead}, pcState, pnStartTime) ? 0 : EINVAL;
}

}  // namespace

namespace comrt {

ULONGLONG GetProcessStartTime(DWORD nProcessId) noexcept {
    char cState = 0;
    ULONGLONG nStartTime = 0;
    return nProcessId != 0 && ReadProcessStat(nProcessId, &cState, &nStartTime) == 0 ? nStartTime : 0;
}

bool ProcessRuns(DWORD nProcessId, ULONGLONG nStartTime) noexcept {
    if (nProcessId == 0 || nProcessId > static_cast<DWORD>(INT_MAX)) return false;
    char cState = 0;
    ULONGLONG nRunningStartTime = 0;
    const int nError = ReadProcessStat(nProcessId, &cState, &nRunningStartTime);
    if (nError == ENOENT || nError == ESRCH) return false;
    // Without a readable /proc, a signal test is the best there is (EPERM: it runs as another user).
    if (nError != 0) return kill(static_cast<pid_t>(nProcessId), 0) == 0 || errno == EPERM;
    if (cState == 'Z' || cState == 'X' || cState == 'x') return false;
    return nStartTime == 0 || nRunningStartTime == nStartTime;
}

}  // namespace comrt

namespace comrt::internal {

int EnumerateProcessIds(unsigned* pIds, std::size_t nMax, std::size_t* pnFound) noexcept {
    *pnFound = 0;
    DIR* pDirectory = opendir("/proc");
    if (pDirectory == nullptr) return errno;
    std::size_t n = 0;
    while (pIds == nullptr || n < nMax) {
        const dirent* pEntry = readdir(pDirectory);
        if (pEntry == nullptr) break;
        DWORD nProcessId = 0;
        if (pEntry->d_type != DT_DIR && pEntry->d_type != DT_UNKNOWN) continue;
        if (!comrt::ParseProcessId(pEntry->d_name, &nProcessId)) continue;
        if (pIds != nullptr) pIds[n] = nProcessId;
        ++n;
    }
    closedir(pDirectory);
    *pnFound = n;
    return 0;
}

}  // namespace comrt::internal

BOOL EnumProcesses(DWORD* lpidProcess, DWORD cb, DWORD* lpcbNeeded) noexcept {
    if (lpcbNeeded == nullptr || (lpidProcess == nullptr && cb != 0)) return Fail(ERROR_INVALID_PARAMETER);
    *lpcbNeeded = 0;
    std::size_t nFound = 0;
    if (cb / sizeof(DWORD) > 0) {
        const int nError = EnumerateProcessIds(lpidProcess, cb / sizeof(DWORD), &nFound);
        if (nError != 0) return Fail(comrt::Win32ErrorFromErrno(nError));
    }
    *lpcbNeeded = static_cast<DWORD>(nFound * sizeof(DWORD));
    return TRUE;
}

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) noexcept {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    char szPath[32];
    ProcessPath(dwProcessId, "/exe", szPath);
    char szLink[PATH_MAX];
    const ssize_t cbLink = readlink(szPath, szLink, sizeof szLink);
    if (cbLink < 0) {
        const int nError = errno;
        // A kernel thread's link is missing while its /proc entry is there: it is a process the caller may
        // not open. A missing entry is a process that has ended (or never was).
        if (nError == ENOENT || nError == ESRCH) {
            ProcessPath(dwProcessId, "", szPath);
            SetLastError(dwProcessId != 0 && access(szPath, F_OK) == 0 ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        } else {
            SetLastError(comrt::Win32ErrorFromErrno(nError));
        }
        return nullptr;
    }
    try {
        const std::string_view sName = comrt::ProgramNameFromExeLink({szLink, static_cast<std::size_t>(cbLink)});
        return InsertHandle(std::make_shared<CProcessObject>(dwProcessId, comrt::ToUtf16(sName)));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, DWORD* lpcbNeeded) noexcept {
    if (!LookupHandleOf<CProcessObject>(hProcess)) return FALSE;
    if (lpcbNeeded == nullptr || (lphModule == nullptr && cb != 0)) return Fail(ERROR_INVALID_PARAMETER);
    if (cb >= sizeof(HMODULE)) *lphModule = PROGRAM_MODULE;
    *lpcbNeeded = sizeof(HMODULE);
    return TRUE;
}

DWORD GetModuleBaseNameW(HANDLE hProcess, HMODULE hModule, LPWSTR lpBaseName, DWORD nSize) noexcept {
    const std::shared_ptr<CProcessObject> pProcess = LookupHandleOf<CProcessObject>(hProcess);
    if (!pProcess) return 0;
    if (lpBaseName == nullptr || nSize == 0 || (hModule != nullptr && hModule != PROGRAM_MODULE))
        return Fail(ERROR_INVALID_PARAMETER);
    const std::u16string& sName = pProcess->GetName();
    const std::size_t nCopied = std::min<std::size_t>(sName.size(), nSize - 1);
    std::memcpy(lpBaseName, sName.data(), nCopied * sizeof(WCHAR));
    lpBaseName[nCopied] = 0;
    return static_cast<DWORD>(nCopied);
}

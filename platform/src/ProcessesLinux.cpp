// Programs started with posix_spawn; the process handle waits on a pidfd, which becomes readable when the
// program ends.
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "SyncObjects.h"
#include "comrt/processes.h"
#include "comrt/systemerrors.h"
#include "comrt/text.h"

extern char** environ;

using namespace comrt::internal;

namespace {

class CChildProcessObject final : public CFdWaitableObject {
public:
    CChildProcessObject(pid_t nProcessId, int nPidFd) noexcept
        : CFdWaitableObject(nPidFd, POLLIN, true), m_nProcessId(nProcessId) {}
    ~CChildProcessObject() override { Reap(false); }

    pid_t GetProcessId() const noexcept { return m_nProcessId; }
    // Collects the program's status once it has ended (bWait: waits for that); false while it runs.
    bool Reap(bool bWait) noexcept {
        std::lock_guard Guard(m_ReapLock);
        if (m_bReaped) return true;
        int nStatus = 0;
        pid_t nResult;
        do {
            nResult = waitpid(m_nProcessId, &nStatus, bWait ? 0 : WNOHANG);
        } while (nResult < 0 && errno == EINTR);
        if (nResult != m_nProcessId) return false;
        m_bReaped = true;
        m_nExitCode = WIFEXITED(nStatus) ? static_cast<DWORD>(WEXITSTATUS(nStatus))
                                         : 128u + static_cast<DWORD>(WTERMSIG(nStatus));
        return true;
    }
    DWORD GetExitCode() const noexcept { return m_nExitCode; }

private:
    const pid_t m_nProcessId;
    std::mutex m_ReapLock;
    bool m_bReaped = false;
    DWORD m_nExitCode = STILL_ACTIVE;
};

// The words of a command line: blanks separate, double quotes group (and are dropped).
std::vector<std::string> SplitCommandLine(const std::string& sLine) {
    std::vector<std::string> Words;
    std::string sWord;
    bool bInWord = false;
    bool bQuoted = false;
    for (char c : sLine) {
        if (c == '"') {
            bQuoted = !bQuoted;
            bInWord = true;
        } else if ((c == ' ' || c == '\t') && !bQuoted) {
            if (bInWord) Words.push_back(sWord);
            sWord.clear();
            bInWord = false;
        } else {
            sWord += c;
            bInWord = true;
        }
    }
    if (bInWord) Words.push_back(sWord);
    return Words;
}

}  // namespace

BOOL CreateProcessW(LPCWSTR lpApplicationName, LPCWSTR lpCommandLine,
                    LPPROCESS_INFORMATION lpProcessInformation) noexcept {
    try {
        if (lpProcessInformation == nullptr) {
            SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            return FALSE;
        }
        std::vector<std::string> Words = SplitCommandLine(comrt::ToUtf8(lpCommandLine));
        const std::string sProgram = comrt::Length(lpApplicationName) != 0 ? comrt::ToUtf8(lpApplicationName)
                                     : Words.empty()                       ? std::string()
                                                                           : Words.front();
        if (sProgram.empty()) {
            SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            return FALSE;
        }
        if (Words.empty()) Words.push_back(sProgram);
        std::vector<char*> Arguments;
        for (std::string& sWord : Words) Arguments.push_back(sWord.data());
        Arguments.push_back(nullptr);
        pid_t nProcessId = 0;
        const int nError = posix_spawn(&nProcessId, sProgram.c_str(), nullptr, nullptr, Arguments.data(), environ);
        if (nError != 0) {
            SetLastError(comrt::Win32ErrorFromErrno(nError));
            return FALSE;
        }
        const int nPidFd = static_cast<int>(syscall(SYS_pidfd_open, nProcessId, 0));
        if (nPidFd < 0) {
            // Without a descriptor to wait on, the program is waited for here, so that no caller waits
            // on a handle that never comes.
            const DWORD nErrno = comrt::Win32ErrorFromErrno(errno);
            int nStatus = 0;
            waitpid(nProcessId, &nStatus, 0);
            SetLastError(nErrno);
            return FALSE;
        }
        fcntl(nPidFd, F_SETFD, FD_CLOEXEC);
        auto pProcess = std::make_shared<CChildProcessObject>(nProcessId, nPidFd);
        const HANDLE hProcess = InsertHandle(pProcess);
        if (hProcess == nullptr) return FALSE;
        const HANDLE hThread = InsertHandle(pProcess);
        if (hThread == nullptr) {
            CloseHandle(hProcess);
            return FALSE;
        }
        *lpProcessInformation =
            PROCESS_INFORMATION{hProcess, hThread, static_cast<DWORD>(nProcessId), static_cast<DWORD>(nProcessId)};
        return TRUE;
    } catch (...) {
        SetLastError(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        return FALSE;
    }
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) noexcept {
    const std::shared_ptr<CChildProcessObject> pProcess = LookupHandleOf<CChildProcessObject>(hProcess);
    if (!pProcess) return FALSE;
    if (lpExitCode == nullptr) {
        SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        return FALSE;
    }
    *lpExitCode = pProcess->Reap(false) ? pProcess->GetExitCode() : STILL_ACTIVE;
    return TRUE;
}

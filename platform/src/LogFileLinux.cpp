// The log file calls on plain descriptors: only async-signal-safe system calls, fixed buffers.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "comrt/logfile.h"

namespace comrt {

bool MakeFolders(const char* pszFolder, unsigned nMode) noexcept {
    if (pszFolder == nullptr) return false;
    char szPath[MAX_LOG_PATH];
    const std::size_t cch = std::strlen(pszFolder);
    if (cch == 0 || cch >= sizeof(szPath)) return false;
    std::memcpy(szPath, pszFolder, cch + 1);
    for (std::size_t i = 1; i <= cch; ++i) {
        if (szPath[i] != '/' && szPath[i] != 0) continue;
        const char chSaved = szPath[i];
        szPath[i] = 0;
        if (mkdir(szPath, static_cast<mode_t>(nMode)) != 0 && errno != EEXIST) return false;
        szPath[i] = chSaved;
    }
    struct stat Status {};
    return stat(pszFolder, &Status) == 0 && S_ISDIR(Status.st_mode);
}

bool MayWriteFolder(const char* pszFolder, unsigned nMode) noexcept {
    if (pszFolder == nullptr || pszFolder[0] == 0) return false;
    if (access(pszFolder, W_OK | X_OK) == 0) return true;
    return errno == ENOENT && mkdir(pszFolder, static_cast<mode_t>(nMode)) == 0;
}

int OpenLogFile(const char* pszPath) noexcept {
    if (pszPath == nullptr || pszPath[0] == 0) return INVALID_LOG_FILE;
    const int nFile = open(pszPath, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return nFile >= 0 ? nFile : INVALID_LOG_FILE;
}

void WriteLogFile(int nFile, const void* pData, std::size_t cb) noexcept {
    const char* p = static_cast<const char*>(pData);
    while (cb > 0) {
        const ssize_t cbWritten = write(nFile, p, cb);
        if (cbWritten < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += cbWritten;
        cb -= static_cast<std::size_t>(cbWritten);
    }
}

void CloseLogFile(int nFile) noexcept {
    if (nFile >= 0) close(nFile);
}

bool IsLogFileAtPath(int nFile, const char* pszPath) noexcept {
    struct stat OnDisk {};
    struct stat Open {};
    if (pszPath == nullptr || stat(pszPath, &OnDisk) != 0 || fstat(nFile, &Open) != 0) return false;
    return OnDisk.st_dev == Open.st_dev && OnDisk.st_ino == Open.st_ino;
}

}  // namespace comrt

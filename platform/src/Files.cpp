#include "comrt/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace comrt {

int WriteTemporaryFile(const std::string& sFolder, const std::string& sName, const std::string& sText, unsigned nMode,
                       std::string* psTemporary) {
    std::string sTemporary = sFolder + "/." + sName + ".XXXXXX";
    const int fd = mkostemp(sTemporary.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    // An explicit mode, whatever the umask: the readers of these files often run as other users.
    bool bWritten = fchmod(fd, static_cast<mode_t>(nMode)) == 0;
    for (std::size_t nDone = 0; bWritten && nDone < sText.size();) {
        const ssize_t n = write(fd, sText.data() + nDone, sText.size() - nDone);
        if (n > 0) {
            nDone += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            bWritten = false;
        }
    }
    if (bWritten) bWritten = fsync(fd) == 0;
    const int nErrno = bWritten ? 0 : (errno != 0 ? errno : EIO);
    close(fd);
    if (!bWritten) {
        unlink(sTemporary.c_str());
        return nErrno;
    }
    *psTemporary = std::move(sTemporary);
    return 0;
}

bool GetFileCreationTime(const char* pszPath, std::int64_t* pnSeconds) noexcept {
    if (pszPath == nullptr || pszPath[0] == 0 || pnSeconds == nullptr) return false;
    struct statx Status {};
    if (statx(AT_FDCWD, pszPath, 0, STATX_BTIME | STATX_MTIME, &Status) != 0) return false;
    *pnSeconds = (Status.stx_mask & STATX_BTIME) != 0 ? Status.stx_btime.tv_sec : Status.stx_mtime.tv_sec;
    return true;
}

}  // namespace comrt

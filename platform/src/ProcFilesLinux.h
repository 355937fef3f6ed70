// Reading the small text files of /proc (runtime-internal).
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>

namespace comrt::internal {

// Reads the file at pszPath into pBuffer, at most cbBuffer bytes (a /proc file gives its text in one
// piece when the buffer holds it all), and answers 0 with the length in *pcbRead, or the errno of the
// failure.
inline int ReadProcFile(const char* pszPath, char* pBuffer, std::size_t cbBuffer, std::size_t* pcbRead) noexcept {
    const int nFd = open(pszPath, O_RDONLY | O_CLOEXEC);
    if (nFd < 0) return errno;
    std::size_t cbRead = 0;
    int nError = 0;
    while (cbRead < cbBuffer) {
        const ssize_t n = read(nFd, pBuffer + cbRead, cbBuffer - cbRead);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) nError = errno;
        if (n <= 0) break;
        cbRead += static_cast<std::size_t>(n);
    }
    close(nFd);
    *pcbRead = cbRead;
    return nError;
}

}  // namespace comrt::internal

namespace comrt::internal {

// Walks the numeric entries of /proc: writes up to nMax identifiers into pIds (nullptr: counts only) and
// the number written, or counted, into *pnFound. 0, or the errno of opening /proc.
int EnumerateProcessIds(unsigned* pIds, std::size_t nMax, std::size_t* pnFound) noexcept;

}  // namespace comrt::internal

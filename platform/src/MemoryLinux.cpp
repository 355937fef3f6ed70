// Reading this process's memory through the kernel (process_vm_readv), so that a bad address fails.
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "comrt/sync.h"

BOOL ReadProcessMemory(HANDLE hProcess, const void* lpBaseAddress, void* lpBuffer, std::size_t nSize,
                       std::size_t* lpNumberOfBytesRead) noexcept {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    if (hProcess != GetCurrentProcess() || (lpBuffer == nullptr && nSize != 0)) return FALSE;
    if (nSize == 0) return TRUE;
    iovec Local{lpBuffer, nSize};
    iovec Remote{const_cast<void*>(lpBaseAddress), nSize};
    // Variadic: every argument is passed at the width the kernel reads.
    const long nRead = syscall(SYS_process_vm_readv, static_cast<long>(getpid()), &Local, 1UL, &Remote, 1UL, 0UL);
    if (nRead < 0) return FALSE;
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<std::size_t>(nRead);
    return static_cast<std::size_t>(nRead) == nSize;
}

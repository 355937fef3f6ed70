// The calls a module's log file needs: folders made on the way, a file opened for appending, whole lines
// written to it, and whether it is still the file at its path. Each call is async-signal-safe and allocates
// nothing, so that a crash report can write its lines with them from a signal handler.
#pragma once

#include <cstddef>

#include "comrt/export.h"

namespace comrt {

// The longest path the calls take, NUL included.
inline constexpr std::size_t MAX_LOG_PATH = 4096;
inline constexpr int INVALID_LOG_FILE = -1;

// The folder and every missing parent, the new ones with nMode (as mkdir's mode: 0700, 0755). True when
// the folder is there afterwards.
COMRT_API bool MakeFolders(const char* pszFolder, unsigned nMode) noexcept;
// Whether this process may make files in pszFolder; a missing folder is made (nMode) when its parent lets
// this process do so.
COMRT_API bool MayWriteFolder(const char* pszFolder, unsigned nMode) noexcept;

// Opens pszPath for appending, creating it (readable by everyone, writable by its owner) when it is
// missing, not inherited by programs started later. INVALID_LOG_FILE on failure.
COMRT_API int OpenLogFile(const char* pszPath) noexcept;
// Writes all cb bytes, resumed after signals and short writes; a failure loses the rest of them.
COMRT_API void WriteLogFile(int nFile, const void* pData, std::size_t cb) noexcept;
COMRT_API void CloseLogFile(int nFile) noexcept;
// Whether nFile is still the file at pszPath: false once the file has been deleted or replaced.
COMRT_API bool IsLogFileAtPath(int nFile, const char* pszPath) noexcept;

}  // namespace comrt

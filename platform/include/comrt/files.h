// Files written whole or not at all: the text goes into a temporary file beside the target, with its mode
// (as chmod reads it: 0644, 0600), and is synced to disk; the caller then puts it in place (rename over the
// old one, or link to create).
#pragma once

#include <cstdint>
#include <string>

#include "comrt/export.h"

namespace comrt {

// Writes sText into a new temporary file in sFolder (named after sName) with the given mode and syncs it.
// 0 and the temporary file's path in *psTemporary, or the errno of the failure (nothing is left behind).
COMRT_API int WriteTemporaryFile(const std::string& sFolder, const std::string& sName, const std::string& sText,
                                 unsigned nMode, std::string* psTemporary);

// When the file at pszPath was made, in seconds since 1970-01-01 UTC (the creation time of the file's
// attributes): its birth time, or its last modification on file systems that record no birth. False when the
// file cannot be examined. A single system call, safe in a signal handler.
COMRT_API bool GetFileCreationTime(const char* pszPath, std::int64_t* pnSeconds) noexcept;

}  // namespace comrt

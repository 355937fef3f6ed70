// Files written whole or not at all: the text goes into a temporary file beside the target, with its mode,
// and is synced to disk; the caller then puts it in place (rename over the old one, or link to create).
#pragma once

#include <sys/types.h>

#include <string>

#include "comrt/export.h"

namespace comrt {

// Writes sText into a new temporary file in sFolder (named after sName) with the given mode and syncs it.
// 0 and the temporary file's path in *psTemporary, or the errno of the failure (nothing is left behind).
COMRT_API int WriteTemporaryFile(const std::string& sFolder, const std::string& sName, const std::string& sText,
                                 mode_t nMode, std::string* psTemporary);

}  // namespace comrt

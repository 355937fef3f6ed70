// Libraries loaded at run time, in the shape of the Windows calls.
#pragma once

#include <cstddef>
#include <string>

#include "comrt/export.h"
#include "comrt/types.h"

using HLIBRARY = struct HLIBRARY__*;

// Loads the library at sPath (a path with a "/" is taken as it is; a bare name is looked for first in the
// folder of this runtime library, where the program's own modules are installed and built, then where the
// dynamic loader searches). Null on failure, with ERROR_MOD_NOT_FOUND as the last error and the loader's
// reason in *psReason when given.
COMRT_API HLIBRARY LoadLibraryPath(const std::string& sPath, std::string* psReason = nullptr) noexcept;
// The address of an exported function; null with ERROR_PROC_NOT_FOUND when the library has none.
COMRT_API void* GetProcAddress(HLIBRARY hLibrary, const char* pszName) noexcept;
COMRT_API BOOL FreeLibrary(HLIBRARY hLibrary) noexcept;

namespace comrt {

// The longest module path the calls below write, NUL included.
inline constexpr std::size_t MAX_MODULE_PATH = 4096;

// The program's image path (GetModuleFileName of the program), written into pszPath (at most nSize bytes,
// NUL included; empty when it cannot be read). Allocates nothing.
COMRT_API void GetProcessImagePath(char* pszPath, std::size_t nSize) noexcept;

// The path of the module that holds pAddress (GetModuleHandleEx from an address, then GetModuleFileName):
// for a library its resolved path, for the program (or an address the loader does not know) the program's
// image path; *pbProgramImage tells which. Written as GetProcessImagePath writes. Allocates nothing.
COMRT_API void GetModulePathOfAddress(const void* pAddress, char* pszPath, std::size_t nSize,
                                      bool* pbProgramImage) noexcept;

}  // namespace comrt

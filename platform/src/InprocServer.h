// Loading of in-process server libraries (runtime-internal).
#pragma once

#include <string>

#include "comrt/types.h"

namespace comrt::internal {

// Loads the library at sPath (once per process) and asks its DllGetClassObject for the class object.
// CO_E_DLLNOTFOUND when the file cannot be found, CO_E_ERRORINDLL when it cannot be loaded or lacks the entry
// point; *psError then holds the loader's explanation.
HRESULT GetInprocClassObject(const std::string& sPath, REFCLSID rclsid, REFIID riid, void** ppv, std::string* psError);

// Unloads every loaded library whose DllCanUnloadNow answers S_OK.
void FreeUnusedLibraries();

}  // namespace comrt::internal

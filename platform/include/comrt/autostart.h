// The automatic start entries of a session: XDG autostart files named after an identifier, one per user
// ($XDG_CONFIG_HOME/autostart, default ~/.config/autostart) and one for everyone (the autostart folder of
// the first entry of $XDG_CONFIG_DIRS, default /etc/xdg/autostart). The file is "<name>.desktop"; its Exec
// line is the command the session runs at log-in.
#pragma once

#include <string>

#include "comrt/export.h"
#include "comrt/types.h"

enum class AutostartScope { User, Everyone };

// The folder the entries of a scope live in.
COMRT_API std::string GetAutostartFolder(AutostartScope Scope);
// The entry's command in sCommand: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when there is no entry (or one
// without an Exec line), another Win32 code when it cannot be read.
COMRT_API LONG ReadAutostartEntry(AutostartScope Scope, const std::u16string& sName, std::u16string& sCommand);
// Writes the entry whole (a new file renamed over the old one, so a failure leaves the old entry as it
// was), making the folder when needed: ERROR_SUCCESS or the Win32 code of the failure.
COMRT_API LONG WriteAutostartEntry(AutostartScope Scope, const std::u16string& sName,
                                   const std::u16string& sDisplayName, const std::u16string& sCommand);
// Removes the entry: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when there was none, or the Win32 code.
COMRT_API LONG DeleteAutostartEntry(AutostartScope Scope, const std::u16string& sName);

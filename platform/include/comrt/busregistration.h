// The files that tell the D-Bus daemons about the server, written by the registration switches beside the
// AppID values:
//
//   Application Mode  the session bus activation file "Corvane.HarkwellServer.service" in the user's
//                     $XDG_DATA_HOME/dbus-1/services (~/.local/share/dbus-1/services), so that a client's call
//                     on the session bus starts the server when none runs;
//   Service Mode      the system bus policy "Corvane.HarkwellServer.conf" in /etc/dbus-1/system.d: root may own
//                     the name, root and the members of the group "corvane-harkwell" may call it, everyone else
//                     is refused by the system bus's default policy.
//
// Each mode's registration writes its own file and removes the other one; unregistering removes both. The
// folders can be moved for tests and for machines laid out otherwise:
//   CORVANE_HARKWELL_DBUS_SERVICES_DIR  the folder of the activation file
//   CORVANE_HARKWELL_DBUS_SYSTEM_DIR    the folder of the policy file
//   CORVANE_HARKWELL_GROUPADD           the program run in place of groupadd (same arguments)
//
// What goes wrong on the way (a file that cannot be removed, a group that cannot be made) is told line by line
// to the caller's trace writer, when it gives one, so that the lines land in its module's log.
#pragma once

#include <string>

#include "comrt/export.h"
#include "comrt/types.h"

namespace comrt {

// Receives one trace line (ending with a line break) at a time.
using BusRegistrationTraceWriter = void (*)(const char* pszLine);

inline constexpr char kBusActivationFileName[] = "Corvane.HarkwellServer.service";
inline constexpr char kBusPolicyFileName[] = "Corvane.HarkwellServer.conf";
// The group whose members may call the server on the system bus besides root.
inline constexpr char kBusPolicyGroup[] = "corvane-harkwell";

// CORVANE_HARKWELL_DBUS_SERVICES_DIR, else $XDG_DATA_HOME/dbus-1/services (an absolute $XDG_DATA_HOME only),
// else ~/.local/share/dbus-1/services.
COMRT_API std::string BusActivationFolder();
// CORVANE_HARKWELL_DBUS_SYSTEM_DIR, else /etc/dbus-1/system.d.
COMRT_API std::string BusPolicyFolder();

// The activation file's text for the program at sProgramPath (UTF-8): its Exec line quotes the path as the
// bus daemon's command line parser reads it. False for a path that no Exec line can hold (a line break or a
// NUL in it).
COMRT_API bool BuildBusActivationFile(const std::string& sProgramPath, std::string* psText);
// The policy file's text.
COMRT_API std::string BuildBusPolicyFile();

// Writes the file of the mode (the activation file for Application Mode, the policy file for Service Mode)
// and removes the other mode's file. In Service Mode a process running as root first creates the group
// when it is missing (groupadd --system); a group that cannot be created is traced and does not fail the
// registration, and the policy then lets only root call. S_OK, or the failure to write the file (an
// HRESULT from the system error, E_INVALIDARG for a path that an Exec line cannot hold). A failure to remove
// the other mode's file is traced only: an unprivileged user can go back to Application Mode while the
// system's policy file stays until root unregisters.
COMRT_API HRESULT WriteBusFiles(bool bServiceMode, const std::u16string& sProgramPath,
                                BusRegistrationTraceWriter pfnTrace = nullptr);
// Removes both files; files that are not there are no failure. S_OK, or the first failure to remove one.
COMRT_API HRESULT RemoveBusFiles(BusRegistrationTraceWriter pfnTrace = nullptr);

}  // namespace comrt

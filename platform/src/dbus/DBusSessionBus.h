// Which session bus the bridge and its clients connect to. Where the user's session has a bus
// (DBUS_SESSION_BUS_ADDRESS, or the bus socket in $XDG_RUNTIME_DIR), that one. Where it has none (a login
// over SSH without a desktop), the bus that a run of the server started for itself and recorded in the
// user's bus record (scripts/run-server.sh writes it), so that the server and the user's clients in other
// terminals still meet.
#pragma once

#include <sdbus-c++/IConnection.h>
#include <memory>
#include <string>

namespace comrt::dbus {

// The file that holds the address of the private bus: $XDG_RUNTIME_DIR/corvane-harkwell/bus, or
// $XDG_CACHE_HOME (~/.cache)/corvane-harkwell/bus without a runtime folder.
std::string RecordedBusPath();
// The address recorded there, when the session has no bus of its own and the record is the user's;
// empty otherwise.
std::string RecordedBusAddress();
// A connection to the session bus as chosen above; throws sdbus::Error when it cannot be reached.
std::unique_ptr<sdbus::IConnection> OpenSessionBus();

}  // namespace comrt::dbus

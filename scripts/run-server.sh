#!/usr/bin/env bash
# Registers the server and the plug-in library of a build tree, then runs the server in the foreground until
# Ctrl-C (or SIGTERM), which saves the scenarios. Usage: scripts/run-server.sh [build folder]
#
# Where the session has no bus (a login over SSH without a desktop), other processes could not reach the
# server. A private session bus is then started for the run and its address recorded in the user's bus
# record, $XDG_RUNTIME_DIR/corvane-harkwell/bus (or ~/.cache/corvane-harkwell/bus without XDG_RUNTIME_DIR),
# where harkwellctl and the server look when the session has no bus; busctl and gdbus take the address with
# --address. The bus ends with the run and the record is removed. Where the session has a bus, nothing of
# this happens.
set -euo pipefail

build="${1:-build}"
bin="$build/bin"

"$bin/HarkwellServer" /RegServer
"$bin/hkregsvr" "$build/lib/HarkwellPack1.so"

if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || { [ -n "${XDG_RUNTIME_DIR:-}" ] && [ -S "$XDG_RUNTIME_DIR/bus" ]; }; then
  exec "$bin/HarkwellServer"
fi

if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
  folder="$XDG_RUNTIME_DIR/corvane-harkwell"
else
  folder="${XDG_CACHE_HOME:-$HOME/.cache}/corvane-harkwell"
fi
record="$folder/bus"
mkdir -p "$folder"
chmod 700 "$folder"

bus_answers() {
  dbus-send --bus="$1" --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetId >/dev/null 2>&1
}

# A bus recorded by a run that still goes on is used, not replaced: this run's server then meets the other
# one and says so itself.
if [ -s "$record" ] && address="$(head -n 1 "$record")" && bus_answers "$address"; then
  echo "Using the private session bus of another run: $address" >&2
  exec "$bin/HarkwellServer"
fi

if ! command -v dbus-daemon >/dev/null; then
  echo "The session has no bus and dbus-daemon is not installed (scripts/install-deps.sh run installs it):" >&2
  echo "the server would run, but no other process could reach it." >&2
  exit 1
fi

# The socket's path must fit a socket address (108 bytes); a long home folder gets one in /tmp instead.
if [ ${#folder} -lt 90 ]; then
  listen="unix:path=$folder/bus-socket"
  rm -f "$folder/bus-socket"
else
  listen="unix:tmpdir=${TMPDIR:-/tmp}"
fi
# --fork makes the daemon a session of its own, so Ctrl-C reaches the server alone; the daemon goes when
# the server has saved and ended.
started="$(dbus-daemon --session --fork --address="$listen" --print-address=1 --print-pid=1)"
address="$(sed -n 1p <<<"$started")"
daemon="$(sed -n 2p <<<"$started")"
trap 'kill "$daemon" 2>/dev/null || true; rm -f "$record" "$folder/bus-socket"' EXIT
umask 077
printf '%s\n' "$address" >"$record.new"
mv -f "$record.new" "$record"

echo "The session has no bus: a private one runs for the server ($address)." >&2
echo "harkwellctl finds it; for busctl and gdbus: --address=\"\$(cat $record)\"" >&2
# The daemon must outlive the server, which saves before it ends: the script waits for the server and hands
# on the signals meant for the run (Ctrl-C reaches the server from the terminal as well; make hands SIGTERM
# to the script alone). Only then does the exit trap end the daemon.
"$bin/HarkwellServer" &
server=$!
trap 'kill -INT "$server" 2>/dev/null || true' INT
trap 'kill -TERM "$server" 2>/dev/null || true' TERM
trap 'kill -HUP "$server" 2>/dev/null || true' HUP
status=0
while :; do
  # A trapped signal ends the wait early; the server may still be saving.
  wait "$server" && status=0 || status=$?
  kill -0 "$server" 2>/dev/null || break
done
exit "$status"

#!/bin/sh
# HarkwellServer in Application Mode on an X server without a screen and a private session bus: the tray
# window registers its icon with a StatusNotifierWatcher stand-in when there is one, runs on quietly
# without one (one trace line), and a Quit call on its bus name ends the process with status 0.
# Usage: <program> <stand-ins program>
set -u
program=$1
standins=$2
work=$(mktemp -d)
. "$(dirname "$0")/support/xvfb.sh"
xvfb=
bus=
server=
standin=
cleanup() {
  [ -n "$server" ] && kill -KILL "$server" 2>/dev/null
  [ -n "$standin" ] && kill "$standin" 2>/dev/null
  [ -n "$bus" ] && kill "$bus" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
start_xvfb "$work" || exit 1
mkdir -m 700 "$work/runtime"
export DISPLAY=:$display CORVANE_REGISTRY_DIR="$work/registry" CORVANE_LOG_DIR="$work/logs" \
  XDG_CONFIG_HOME="$work/user" XDG_CONFIG_DIRS="$work/system" XDG_DATA_HOME="$work/data" \
  XDG_RUNTIME_DIR="$work/runtime" CORVANE_HARKWELL_RECORD="Corvane.HarkwellServer.Application.tray-$$"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY CORVANE_HARKWELL_BUS
mkdir -p "$work/logs"
"$program" /RegServer >"$work/register.out" 2>&1 || { echo "/RegServer failed"; cat "$work/register.out"; exit 1; }
status=0
for desktop in none both; do
  set -- $(dbus-daemon --session --fork --print-address=1 --print-pid=1 | tr '\n' ' ')
  export DBUS_SESSION_BUS_ADDRESS=$1
  bus=$2
  : >"$work/record"
  rm -f "$work/logs/HarkwellServerUI.log"
  if [ $desktop != none ]; then
    "$standins" "$work/record" $desktop >"$work/standins.out" &
    standin=$!
    i=0
    until grep -q ready "$work/standins.out"; do
      i=$((i + 1)); [ $i -lt 50 ] || { echo "the stand-ins did not start"; exit 1; }
      sleep 0.1
    done
  fi
  "$program" >"$work/server.out" 2>&1 &
  server=$!
  i=0
  until gdbus introspect --session --dest Corvane.HarkwellServer.NotifyIconWindow \
    --object-path /Corvane/HarkwellServer/NotifyIconWindow >/dev/null 2>&1; do
    i=$((i + 1))
    if [ $i -ge 100 ]; then echo "$desktop: the tray's bus name did not appear"; cat "$work/server.out"; status=1; break; fi
    sleep 0.1
  done
  # The icon registers with the watcher soon after the window owns its name.
  i=0
  while [ $desktop != none ] && ! grep -q "^item " "$work/record" && [ $i -lt 50 ]; do
    i=$((i + 1)); sleep 0.1
  done
  gdbus call --session --dest Corvane.HarkwellServer.NotifyIconWindow \
    --object-path /Corvane/HarkwellServer/NotifyIconWindow \
    --method Corvane.HarkwellServer.NotifyIconWindow.Quit >/dev/null || { echo "$desktop: Quit failed"; status=1; }
  i=0
  while kill -0 "$server" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -ge 100 ]; then echo "$desktop: the server did not end on Quit"; status=1; kill -KILL "$server"; break; fi
    sleep 0.1
  done
  wait "$server"
  code=$?
  server=
  [ $code -eq 0 ] || { echo "$desktop: the server ended with $code"; cat "$work/server.out"; status=1; }
  if [ $desktop = none ]; then
    lines=$(grep -c "No notification area" "$work/logs/HarkwellServerUI.log")
    [ "$lines" = 1 ] || { echo "none: expected one trace line for the missing tray, saw $lines"; status=1; }
  else
    grep -q "^item " "$work/record" || { echo "$desktop: the icon did not register with the watcher"; status=1; }
  fi
  echo "$desktop: tray ran and ended on Quit (status $code)"
  [ -n "$standin" ] && kill "$standin" 2>/dev/null
  standin=
  kill "$bus"
  bus=
done
exit $status

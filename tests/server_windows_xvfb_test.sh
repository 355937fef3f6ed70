#!/bin/sh
# HarkwellServer /Configuration and /About on an X server without a screen: each opens its window, found by
# its title ("Configuration"; a caption ending in " // " and the file version). Usage: <program> <version>
set -u
program=$1
version=$2
work=$(mktemp -d)
. "$(dirname "$0")/support/xvfb.sh"
xvfb=
server=
cleanup() {
  [ -n "$server" ] && kill -KILL "$server" 2>/dev/null && wait "$server" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
start_xvfb "$work" || exit 1
export DISPLAY=:$display CORVANE_REGISTRY_DIR="$work/registry" CORVANE_LOG_DIR="$work/logs" \
  XDG_CONFIG_HOME="$work/user" XDG_CONFIG_DIRS="$work/system" XDG_RUNTIME_DIR="$work" CORVANE_HARKWELL_BUS=none
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
mkdir -p "$work/logs"
status=0
for case in "Configuration|\"Configuration\"" "About| // $version\""; do
  switch=${case%%|*}
  title=${case#*|}
  "$program" "/$switch" >"$work/$switch.out" 2>&1 &
  server=$!
  i=0
  until xwininfo -root -tree 2>/dev/null | grep -F -q -- "$title"; do
    i=$((i + 1))
    if [ $i -ge 100 ]; then
      echo "/$switch: no window titled $title"; cat "$work/$switch.out"; xwininfo -root -tree; status=1; break
    fi
    sleep 0.1
  done
  [ $status -eq 0 ] && echo "/$switch: $(xwininfo -root -tree | grep -F -- "$title" | head -1)"
  # A window run ends on the stop signal.
  kill "$server" 2>/dev/null
  i=0
  while kill -0 "$server" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -ge 50 ]; then echo "/$switch: the window run did not end on SIGTERM"; status=1; kill -KILL "$server"; break; fi
    sleep 0.1
  done
  wait "$server" 2>/dev/null; server=
done
exit $status

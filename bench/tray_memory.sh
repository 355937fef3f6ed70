#!/usr/bin/env bash
# Usage: bash bench/tray_memory.sh BUILD_DIR    (needs the targets HarkwellServer, HarkwellServerUI and
#   tray_bus_standins). Settings through the environment: SETTLE seconds before sampling (5), SAMPLES (5),
#   SAMPLE_GAP seconds (1).
#
# What the tray costs: the idle server program in Application Mode, once without a display (no window, the
# toolkit never loaded) and once on an X server without a screen with its tray window (icon registered with
# a StatusNotifierWatcher stand-in, a notification server stand-in on the bus), in one run on one private
# store and session bus. For each: the medians of VmRSS and Threads (/proc/PID/status) and of Pss
# (/proc/PID/smaps_rollup), and the number of mapped Qt libraries.
set -euo pipefail

SETTLE=${SETTLE:-5}
SAMPLES=${SAMPLES:-5}
SAMPLE_GAP=${SAMPLE_GAP:-1}
(($# == 1)) || { echo "usage: bash bench/tray_memory.sh BUILD_DIR" >&2; exit 1; }
BUILD=$(cd "$1" && pwd)
for file in bin/HarkwellServer lib/HarkwellServerUI.so bin/tray_bus_standins; do
    [[ -e $BUILD/$file ]] || { echo "tray_memory.sh: $BUILD/$file is missing" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/tray-memory-XXXXXX)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

# Xvfb chooses a free display and names it.
Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$WORK/display" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do [[ -s $WORK/display ]] && break; sleep 0.1; done
display=$(cat "$WORK/display")
{ read -r address; read -r bus_pid; } < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
PIDS+=("$bus_pid")
mkdir -m 700 "$WORK/runtime" "$WORK/logs"
export DBUS_SESSION_BUS_ADDRESS=$address CORVANE_REGISTRY_DIR=$WORK/registry CORVANE_LOG_DIR=$WORK/logs \
    XDG_CONFIG_HOME=$WORK/user XDG_DATA_HOME=$WORK/data XDG_RUNTIME_DIR=$WORK/runtime \
    CORVANE_HARKWELL_RECORD=Corvane.HarkwellServer.Application.tray-bench-$$
unset QT_QPA_PLATFORM WAYLAND_DISPLAY CORVANE_HARKWELL_BUS DISPLAY
"$BUILD/bin/tray_bus_standins" "$WORK/record" both >/dev/null &
PIDS+=($!)
"$BUILD/bin/HarkwellServer" /RegServer >/dev/null

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

measure() {
    local label=$1 pid rss=() pss=() threads=()
    "$BUILD/bin/HarkwellServer" >"$WORK/$label.out" 2>&1 &
    pid=$!
    sleep "$SETTLE"
    for _ in $(seq "$SAMPLES"); do
        rss+=("$(awk '/^VmRSS/ {print $2}' /proc/$pid/status)")
        threads+=("$(awk '/^Threads/ {print $2}' /proc/$pid/status)")
        pss+=("$(awk '/^Pss:/ {print $2}' /proc/$pid/smaps_rollup)")
        sleep "$SAMPLE_GAP"
    done
    local qt
    qt=$(grep -c 'libQt6' /proc/$pid/maps || true)
    printf '%-22s VmRSS %6s kB  Pss %6s kB  Threads %3s  Qt mappings %3s\n' "$label" \
        "$(printf '%s\n' "${rss[@]}" | median)" "$(printf '%s\n' "${pss[@]}" | median)" \
        "$(printf '%s\n' "${threads[@]}" | median)" "$qt"
    kill "$pid"
    wait "$pid" || true
}

measure "no display (no tray)"
DISPLAY=:$display measure "tray window"
grep -q '^item ' "$WORK/record" || echo "note: the tray did not register with the watcher stand-in"

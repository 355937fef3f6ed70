#!/usr/bin/env bash
# Usage: bash bench/tray_memory.sh BUILD_DIR    (needs the targets HarkwellServer, HarkwellServerUI,
#   tray_bus_standins and x_close_window). Settings through the environment: SETTLE seconds before sampling
#   (5), SAMPLES (5), SAMPLE_GAP seconds (1).
#
# What the tray costs: the idle server program in Application Mode, once without a display (no window, the
# toolkit never loaded) and once on an X server without a screen with its tray window (icon registered with
# a StatusNotifierWatcher stand-in, a notification server stand-in on the bus), in one run on one private
# store and session bus. The tray process is sampled three times: idle before any window was opened, with
# its property frame open (the icon activated over the bus, as a click in the notification area does), and
# idle again after the frame was closed (WM_DELETE_WINDOW, as a window manager's close button sends it).
# For each: the medians of VmRSS and Threads (/proc/PID/status) and of Pss (/proc/PID/smaps_rollup), and
# the number of mapped Qt libraries.
set -euo pipefail

SETTLE=${SETTLE:-5}
SAMPLES=${SAMPLES:-5}
SAMPLE_GAP=${SAMPLE_GAP:-1}
(($# == 1)) || { echo "usage: bash bench/tray_memory.sh BUILD_DIR" >&2; exit 1; }
BUILD=$(cd "$1" && pwd)
for file in bin/HarkwellServer lib/HarkwellServerUI.so bin/tray_bus_standins bin/x_close_window; do
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

# sample LABEL PID: one line of medians for the running process.
sample() {
    local label=$1 pid=$2 rss=() pss=() threads=()
    for _ in $(seq "$SAMPLES"); do
        rss+=("$(awk '/^VmRSS/ {print $2}' /proc/$pid/status)")
        threads+=("$(awk '/^Threads/ {print $2}' /proc/$pid/status)")
        pss+=("$(awk '/^Pss:/ {print $2}' /proc/$pid/smaps_rollup)")
        sleep "$SAMPLE_GAP"
    done
    local qt
    qt=$(grep -c 'libQt6' /proc/$pid/maps || true)
    printf '%-26s VmRSS %6s kB  Pss %6s kB  Threads %3s  Qt mappings %3s\n' "$label" \
        "$(printf '%s\n' "${rss[@]}" | median)" "$(printf '%s\n' "${pss[@]}" | median)" \
        "$(printf '%s\n' "${threads[@]}" | median)" "$qt"
}

# wait_for SECONDS COMMAND...: until the command succeeds; fails after the time.
wait_for() {
    local tries=$(($1 * 10))
    shift
    until "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        ((tries > 0)) || return 1
        sleep 0.1
    done
}

"$BUILD/bin/HarkwellServer" >"$WORK/no-display.out" 2>&1 &
pid=$!
sleep "$SETTLE"
sample "no display (no tray)" "$pid"
kill "$pid"
wait "$pid" || true

DISPLAY=:$display "$BUILD/bin/HarkwellServer" >"$WORK/tray.out" 2>&1 &
pid=$!
PIDS+=("$pid")
sleep "$SETTLE"
sample "tray, before any window" "$pid"
frame="Corvane Harkwell Server"
item=$(awk '/^item / {print $2; exit}' "$WORK/record")
if [[ -z $item ]]; then
    echo "tray_memory.sh: the tray did not register with the watcher stand-in" >&2
    exit 1
fi
# A click on the icon: in Application Mode its default command opens the property frame.
gdbus call --session --dest "$item" --object-path /StatusNotifierItem \
    --method org.kde.StatusNotifierItem.Activate 0 0 >/dev/null
if ! DISPLAY=:$display wait_for 20 "$BUILD/bin/x_close_window" -n "$frame"; then
    echo "tray_memory.sh: the property frame did not open" >&2
    exit 1
fi
sleep "$SETTLE"
sample "tray, frame open" "$pid"
DISPLAY=:$display "$BUILD/bin/x_close_window" "$frame" >/dev/null
if ! DISPLAY=:$display wait_for 20 sh -c "! '$BUILD/bin/x_close_window' -n '$frame'"; then
    echo "tray_memory.sh: the property frame did not close" >&2
    exit 1
fi
sleep "$SETTLE"
sample "tray, after the frame" "$pid"
kill "$pid"
wait "$pid" || true

#!/usr/bin/env bash
# Usage: bash bench/program_memory.sh BUILD_DIR [BUILD_DIR ...]    each BUILD_DIR needs the targets
#   HarkwellServer harkwellctl hkregsvr HarkwellPack1. Settings through the environment: SETTLE seconds before
#   sampling (5), SAMPLES (5), SAMPLE_GAP seconds (1), RUNS of harkwellctl (9).
#
# The resident memory of the idle server program and of `harkwellctl status`, for one build or several side
# by side in one run (two builds of different commits show what the commits between them cost). For each
# build: a private store and log folder, a private session bus (dbus-daemon), the plug-in library and the
# server registered there, the server started on an empty store and sampled SETTLE seconds after it says it
# runs, SAMPLES times SAMPLE_GAP seconds apart: the medians of VmRSS and Threads (/proc/PID/status), of Pss
# (/proc/PID/smaps_rollup) and the number of the server's mappings of the Qt libraries (/proc/PID/maps);
# then `harkwellctl status` RUNS times against it, each run's peak resident set (GNU time's %M), the median.
# The server runs under a shared record name of its own, so it runs beside a server of the user.
set -euo pipefail

SETTLE=${SETTLE:-5}
SAMPLES=${SAMPLES:-5}
SAMPLE_GAP=${SAMPLE_GAP:-1}
RUNS=${RUNS:-9}
# Programs that start the server's application take turns on this lock; the integration tests take it too.
APPLICATION_LOCK=/tmp/corvane-application-test.lock

fail() {
    echo "program_memory.sh: $*" >&2
    exit 1
}

(($# >= 1)) || fail "usage: bash bench/program_memory.sh BUILD_DIR [BUILD_DIR ...]"
[[ -x /usr/bin/time ]] || fail "GNU time (/usr/bin/time) is not installed (apt-get install time)"
command -v dbus-daemon >/dev/null || fail "dbus-daemon is not installed"
for build in "$@"; do
    for file in bin/HarkwellServer bin/harkwellctl bin/hkregsvr lib/HarkwellPack1.so; do
        [[ -x $build/$file ]] || fail "$build/$file is missing; build it first, e.g.
  cmake --build $build --target HarkwellServer harkwellctl hkregsvr HarkwellPack1"
    done
done

WORK=$(mktemp -d /tmp/program-memory-XXXXXX)
SERVER_PID=
BUS_PID=

stop_process() {
    local pid=$1
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid"
    for _ in $(seq 300); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    stop_process "$SERVER_PID"
    [[ -n $BUS_PID ]] && kill -TERM "$BUS_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

median() {
    sort -n | awk '{ value[NR] = $1 } END { print value[int((NR + 1) / 2)] }'
}

exec 9>>"$APPLICATION_LOCK"
flock -w 600 9 || fail "$APPLICATION_LOCK stayed taken for 10 minutes"

printf '%-40s %12s %12s %8s %10s %16s\n' build "server RSS" "server PSS" threads "Qt maps" "ctl status RSS"
n=0
for build in "$@"; do
    build=$(cd "$build" && pwd)
    n=$((n + 1))
    home=$WORK/$n
    mkdir -p "$home/registry" "$home/log"
    export CORVANE_REGISTRY_DIR=$home/registry CORVANE_LOG_DIR=$home/log
    export CORVANE_HARKWELL_DBUS_SERVICES_DIR=$home/dbus-services CORVANE_HARKWELL_DBUS_SYSTEM_DIR=$home/dbus-system.d
    export CORVANE_HARKWELL_GROUPADD=true CORVANE_HARKWELL_RECORD=Corvane.HarkwellServer.Application.memory-$$-$n
    unset CORVANE_HARKWELL_BUS
    # The build's own libraries, also for a build folder copied elsewhere.
    export LD_LIBRARY_PATH=$build/lib
    { read -r address && read -r BUS_PID; } < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
    export DBUS_SESSION_BUS_ADDRESS=$address
    "$build/bin/hkregsvr" "$build/lib/HarkwellPack1.so" >"$home/register.log" 2>&1 ||
        fail "registering HarkwellPack1.so of $build failed: $(cat "$home/register.log")"
    "$build/bin/HarkwellServer" /RegServer >>"$home/register.log" 2>&1 ||
        fail "registering the server of $build failed: $(cat "$home/register.log")"

    "$build/bin/HarkwellServer" 9>&- 2>"$home/server.log" &
    SERVER_PID=$!
    for _ in $(seq 600); do
        grep -qs "is running" "$home/server.log" && break
        kill -0 "$SERVER_PID" 2>/dev/null || fail "the server of $build ended before it ran: $(cat "$home/server.log")"
        sleep 0.1
    done
    grep -q "is running" "$home/server.log" || fail "the server of $build did not say it runs within 60 s"
    sleep "$SETTLE"
    rss_list=() pss_list=() thread_list=()
    for ((i = 1; i <= SAMPLES; ++i)); do
        rss_list+=("$(awk '/^VmRSS:/ { print $2 }' "/proc/$SERVER_PID/status")")
        thread_list+=("$(awk '/^Threads:/ { print $2 }' "/proc/$SERVER_PID/status")")
        pss_list+=("$(awk '/^Pss:/ { print $2 }' "/proc/$SERVER_PID/smaps_rollup")")
        if ((i < SAMPLES)); then sleep "$SAMPLE_GAP"; fi
    done
    qt_maps=$(grep -c 'libQt' "/proc/$SERVER_PID/maps" || true)

    ctl_list=()
    for ((i = 1; i <= RUNS; ++i)); do
        /usr/bin/time -o "$home/time" -f '%M' "$build/bin/harkwellctl" status >"$home/ctl.out" 2>&1 ||
            fail "harkwellctl status of $build failed: $(cat "$home/ctl.out")"
        ctl_list+=("$(tail -n 1 "$home/time")")
    done

    stop_process "$SERVER_PID"
    SERVER_PID=
    kill -TERM "$BUS_PID" 2>/dev/null || true
    BUS_PID=

    printf '%-40s %9s KiB %9s KiB %8s %10s %12s KiB\n' "$build" \
        "$(printf '%s\n' "${rss_list[@]}" | median)" "$(printf '%s\n' "${pss_list[@]}" | median)" \
        "$(printf '%s\n' "${thread_list[@]}" | median)" "$qt_maps" "$(printf '%s\n' "${ctl_list[@]}" | median)"
done

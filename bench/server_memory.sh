#!/usr/bin/env bash
# Usage (as root): bash bench/server_memory.sh [BUILD_DIR]    BUILD_DIR defaults to the repository's build; it needs
#   the targets HarkwellServer hkregsvr HarkwellPack1 server_memory_store. Settings through the environment:
#   HOSTS (100), INTERVAL seconds (30), SETTLE seconds before sampling (5), SAMPLES (5), SAMPLE_GAP seconds (2.5).
#
# The idle server's memory beside monit's, both watching the same loopback hosts in one run. The server runs
# on a private store holding HOSTS scenarios, each a ping activity on 127.0.0.N (N = 1 ... HOSTS) probing every
# INTERVAL seconds, with no notifications; monit runs in the foreground with one "check host" per address,
# "if failed ping then alert", a cycle of INTERVAL seconds, no mail server, no alert recipients and no http
# interface, so its alerts go nowhere either. Each program is sampled SETTLE seconds after it is up (the first
# probes of both are done by then: the server's first probe of an activity comes within 3*INTERVAL/32, monit
# probes all hosts as its first cycle begins), SAMPLES times SAMPLE_GAP seconds apart; the figures are the
# medians of VmRSS and Threads (/proc/PID/status) and of Pss (/proc/PID/smaps_rollup). The echo requests column
# is the rise of the host's ICMP echo request counter (/proc/net/snmp, OutType8) while the program ran: a check
# that the probes went out (anything else pinging in this network namespace meanwhile adds to it).
set -euo pipefail

BUILD_DIR=${1:-$(dirname "$0")/../build}
HOSTS=${HOSTS:-100}
INTERVAL=${INTERVAL:-30}
SETTLE=${SETTLE:-5}
SAMPLES=${SAMPLES:-5}
SAMPLE_GAP=${SAMPLE_GAP:-2.5}
# Programs that start the server's application take turns on this lock (the application's shared data is
# one per user); the integration tests take it too.
APPLICATION_LOCK=/tmp/corvane-application-test.lock

fail() {
    echo "server_memory.sh: $*" >&2
    exit 1
}

[[ $(id -u) -eq 0 ]] || fail "run this as root: monit's ping and the server's probes need raw or ICMP sockets"
for file in bin/HarkwellServer bin/hkregsvr bin/server_memory_store lib/HarkwellPack1.so; do
    [[ -x $BUILD_DIR/$file ]] || fail "$BUILD_DIR/$file is missing; build it first, e.g.
  cmake -S . -B $BUILD_DIR -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build $BUILD_DIR --target HarkwellServer hkregsvr HarkwellPack1 server_memory_store"
done
command -v monit >/dev/null || fail "monit is not installed (apt-get install monit)"
[[ $HOSTS =~ ^[0-9]+$ && $HOSTS -ge 1 && $HOSTS -le 254 ]] || fail "HOSTS must be from 1 to 254"
[[ $INTERVAL =~ ^[0-9]+$ && $INTERVAL -ge 1 ]] || fail "INTERVAL must be a whole number of seconds"
[[ $SAMPLES =~ ^[0-9]+$ && $SAMPLES -ge 1 ]] || fail "SAMPLES must be at least 1"

BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
WORK=$(mktemp -d /tmp/server-memory-XXXXXX)
SERVER_PID=
MONIT_PID=

# Ends a program started here: SIGTERM, then SIGKILL if it has not ended within 30 s.
stop_process() {
    local pid=$1
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid"
    for _ in $(seq 300); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "server_memory.sh: process $pid did not end on SIGTERM; killing it" >&2
        kill -KILL "$pid"
    fi
    local status=0
    wait "$pid" || status=$?
    return $status
}

cleanup() {
    stop_process "$SERVER_PID" || true
    stop_process "$MONIT_PID" || true
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The ICMP echo requests this network namespace has sent so far.
echo_requests() {
    awk '/^IcmpMsg:/ {
             if (!header) { for (i = 2; i <= NF; ++i) name[i] = $i; header = 1 }
             else { for (i = 2; i <= NF; ++i) if (name[i] == "OutType8") count = $i }
         }
         END { print count + 0 }' /proc/net/snmp
}

median() {
    sort -n | awk '{ value[NR] = $1 } END { print value[int((NR + 1) / 2)] }'
}

# Samples process $1 SAMPLES times, SAMPLE_GAP seconds apart, printing each sample; leaves the medians in
# RSS, PSS and THREADS.
sample_process() {
    local pid=$1 label=$2 rss pss threads
    local rss_list=() pss_list=() thread_list=()
    for ((i = 1; i <= SAMPLES; ++i)); do
        kill -0 "$pid" 2>/dev/null || fail "$label (process $pid) ended while it was being sampled"
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
        threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status")
        pss=$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup")
        printf '  %-16s sample %d: VmRSS %s KiB, Pss %s KiB, %s threads\n' "$label" "$i" "$rss" "$pss" "$threads"
        rss_list+=("$rss")
        pss_list+=("$pss")
        thread_list+=("$threads")
        if ((i < SAMPLES)); then sleep "$SAMPLE_GAP"; fi
    done
    RSS=$(printf '%s\n' "${rss_list[@]}" | median)
    PSS=$(printf '%s\n' "${pss_list[@]}" | median)
    THREADS=$(printf '%s\n' "${thread_list[@]}" | median)
}

echo "== $HOSTS hosts (127.0.0.1 ... 127.0.0.$HOSTS), probed every $INTERVAL s; sampling ${SETTLE} s after start," \
    "$SAMPLES samples ${SAMPLE_GAP} s apart"

# The server on a private store.
export CORVANE_REGISTRY_DIR=$WORK/registry CORVANE_LOG_DIR=$WORK/log
mkdir -p "$CORVANE_REGISTRY_DIR" "$CORVANE_LOG_DIR"
"$BUILD_DIR/bin/hkregsvr" "$BUILD_DIR/lib/HarkwellPack1.so" >"$WORK/register.log" 2>&1 ||
    fail "registering HarkwellPack1.so failed: $(cat "$WORK/register.log")"
"$BUILD_DIR/bin/HarkwellServer" /RegServer >>"$WORK/register.log" 2>&1 ||
    fail "registering the server failed: $(cat "$WORK/register.log")"
"$BUILD_DIR/bin/server_memory_store" "$HOSTS" $((INTERVAL * 1000)) || fail "the scenarios could not be stored"

exec 9>>"$APPLICATION_LOCK"
flock -w 600 9 || fail "$APPLICATION_LOCK stayed taken for 10 minutes"
SERVER_ECHOS_BEFORE=$(echo_requests)
"$BUILD_DIR/bin/HarkwellServer" 9>&- 2>"$WORK/server.log" &
SERVER_PID=$!
for _ in $(seq 600); do
    grep -q "is running" "$WORK/server.log" && break
    kill -0 "$SERVER_PID" 2>/dev/null || fail "the server ended before it ran: $(cat "$WORK/server.log")"
    sleep 0.1
done
grep -q "is running" "$WORK/server.log" || fail "the server did not say it runs within 60 s"
sleep "$SETTLE"
sample_process "$SERVER_PID" HarkwellServer
SERVER_RSS=$RSS SERVER_PSS=$PSS SERVER_THREADS=$THREADS
SERVER_ECHOS=$(($(echo_requests) - SERVER_ECHOS_BEFORE))
SERVER_STATUS=0
stop_process "$SERVER_PID" || SERVER_STATUS=$?
SERVER_PID=
exec 9>&-
((SERVER_STATUS == 0)) || fail "the server ended with status $SERVER_STATUS on SIGTERM: $(tail -n 5 "$WORK/server.log")"

# monit with the same hosts and cycle.
MONITRC=$WORK/monitrc
{
    echo "set daemon $INTERVAL"
    echo "set logfile $WORK/monit.log"
    echo "set pidfile $WORK/monit.pid"
    echo "set idfile $WORK/monit.id"
    echo "set statefile $WORK/monit.state"
    for ((n = 1; n <= HOSTS; ++n)); do
        echo "check host h$n with address 127.0.0.$n"
        echo "    if failed ping then alert"
    done
} >"$MONITRC"
chmod 0600 "$MONITRC"
monit -t -c "$MONITRC" >"$WORK/monit-syntax.log" 2>&1 || fail "monit refuses $MONITRC: $(cat "$WORK/monit-syntax.log")"
MONIT_ECHOS_BEFORE=$(echo_requests)
monit -I -c "$MONITRC" >"$WORK/monit.out" 2>&1 &
MONIT_PID=$!
for _ in $(seq 100); do
    grep -q "Starting Monit" "$WORK/monit.log" 2>/dev/null && break
    kill -0 "$MONIT_PID" 2>/dev/null || fail "monit ended before it ran: $(cat "$WORK/monit.out")"
    sleep 0.1
done
grep -q "Starting Monit" "$WORK/monit.log" 2>/dev/null || fail "monit did not say it runs within 10 s"
sleep "$SETTLE"
sample_process "$MONIT_PID" monit
MONIT_RSS=$RSS MONIT_PSS=$PSS MONIT_THREADS=$THREADS
MONIT_ECHOS=$(($(echo_requests) - MONIT_ECHOS_BEFORE))
MONIT_STATUS=0
stop_process "$MONIT_PID" || MONIT_STATUS=$?
MONIT_PID=
((MONIT_STATUS == 0)) || fail "monit ended with status $MONIT_STATUS on SIGTERM: $(tail -n 5 "$WORK/monit.log")"
if grep -i "ping test failed" "$WORK/monit.log" >&2; then echo "server_memory.sh: monit saw failed pings" >&2; fi

echo
printf '%-20s %10s %10s %8s %14s\n' program "RSS KiB" "PSS KiB" threads "echo requests"
printf '%-20s %10s %10s %8s %14s\n' HarkwellServer "$SERVER_RSS" "$SERVER_PSS" "$SERVER_THREADS" "$SERVER_ECHOS"
printf '%-20s %10s %10s %8s %14s\n' "$(monit -V | awk 'NR == 1 { print "monit " $NF }')" "$MONIT_RSS" "$MONIT_PSS" \
    "$MONIT_THREADS" "$MONIT_ECHOS"
printf '%-20s %10s %10s\n' "server/monit" "$(awk -v a="$SERVER_RSS" -v b="$MONIT_RSS" 'BEGIN { printf "%.2f", a / b }')" \
    "$(awk -v a="$SERVER_PSS" -v b="$MONIT_PSS" 'BEGIN { printf "%.2f", a / b }')"

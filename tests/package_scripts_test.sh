#!/bin/bash
# The Debian package's maintainer scripts, built for the build tree's programs, run as dpkg runs them:
# a first installation, `systemctl enable --now`, an upgrade while the service runs, removal and purge.
# They run as root in a mount namespace of their own, where /run, /var/lib, /var/log and /etc/systemd are
# empty folders of the test's, so nothing of the machine changes; systemctl, deb-systemd-invoke, addgroup
# and getent are stand-ins that record their calls (deb-systemd-invoke runs the unit's steps as systemd
# would).
# Usage: package_scripts_test.sh <folder of postinst, prerm, postrm> <unit file>
set -u

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the maintainer scripts run as root"
  exit 77
fi
if ! unshare --mount true 2>/dev/null; then
  echo "SKIP: no mount namespace of the test's own (unshare --mount)"
  exit 77
fi

scripts="$(cd "$1" && pwd)"
unit_file="$2"

if [ "${CORVANE_PACKAGE_SCRIPTS_NAMESPACE:-}" != yes ]; then
  exec env CORVANE_PACKAGE_SCRIPTS_NAMESPACE=yes unshare --mount --propagation private bash "$0" "$scripts" "$unit_file"
fi

for folder in /run /var/lib /var/log /etc/systemd; do
  mkdir -p "$folder" && mount -t tmpfs tmpfs "$folder" || { echo "FAIL: cannot mount a folder over $folder"; exit 1; }
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/system.d" /etc/systemd/system
calls="$work/calls"
: >"$calls"
echo inactive >"$work/state"

# The unit's start and stop steps, from the unit file.
step() { sed -n "s/^$1=//p" "$unit_file"; }
start_pre="$(step ExecStartPre)"
stop_post="$(step ExecStopPost)"
program="${start_pre%% *}"
bindir="$(dirname "$program")"
[ -n "$start_pre" ] && [ -n "$stop_post" ] || { echo "FAIL: the unit has no start or stop step"; exit 1; }

cat >"$work/bin/systemctl" <<EOF
#!/bin/sh
echo "systemctl \$*" >>"$calls"
case "\$1" in
  is-active) state=\$(cat "$work/state"); [ "\$2" = --quiet ] || echo "\$state"; [ "\$state" = active ] ;;
  *) exit 0 ;;
esac
EOF
cat >"$work/bin/deb-systemd-invoke" <<EOF
#!/bin/sh
echo "deb-systemd-invoke \$*" >>"$calls"
case "\$1" in
  stop) $stop_post; echo inactive >"$work/state" ;;
  restart) $stop_post; $start_pre && echo active >"$work/state" ;;
esac
EOF
cat >"$work/bin/addgroup" <<EOF
#!/bin/sh
echo "addgroup \$*" >>"$calls"
EOF
cat >"$work/bin/getent" <<EOF
#!/bin/sh
echo "getent \$*" >>"$calls"
[ -f "$work/group-made" ] || { touch "$work/group-made"; exit 2; }
EOF
chmod +x "$work/bin/"*
export PATH="$work/bin:$PATH"
export CORVANE_HARKWELL_DBUS_SYSTEM_DIR="$work/system.d" CORVANE_HARKWELL_GROUPADD="$work/bin/addgroup"
unset CORVANE_REGISTRY_DIR CORVANE_LOG_DIR CORVANE_HARKWELL_UNIT_DIR CORVANE_HARKWELL_SYSTEMCTL
# root's own part of the store and its bus files stay in the test's folder.
export HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_STATE_HOME="$work/home/state"

failures=0
check() {  # description, then a command that must succeed
  local what="$1"
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
called() { grep -qx -- "$1" "$calls"; }
not() { ! "$@"; }
mode() {  # Service, Application or none
  local appid
  appid="$("$bindir/hkreg" export 'HKCR\AppID\{E9DD5B21-0728-430C-B8F0-375FF814CCC7}' 2>/dev/null)" || { echo none; return; }
  case "$appid" in *'"LocalService"='*) echo Service ;; *) echo Application ;; esac
}
plugin_registered() { "$bindir/hkreg" export 'HKCR\CLSID' 2>/dev/null | grep -q "HarkwellPack1.so"; }
run() {  # the maintainer script and its argument
  echo "== $*"
  "$scripts/$1" "${@:2}"
}

# A first installation on a machine where systemd does not run.
run postinst configure
check "postinst exits 0" [ $? -eq 0 ]
check "the group is made" called "addgroup --system --quiet corvane-harkwell"
check "the plug-in library is registered" plugin_registered
check "the program is registered for Application Mode" [ "$(mode)" = Application ]
check "no systemctl call without systemd" not grep -q -e '^systemctl' -e '^deb-systemd' "$calls"

# systemd runs; systemctl enable --now starts the unit: its start step, then the server.
mkdir -p /run/systemd/system
: >"$calls"
$start_pre
check "the start step exits 0" [ $? -eq 0 ]
echo active >"$work/state"
check "the start step registers Service Mode" [ "$(mode)" = Service ]
check "the start step writes no unit of its own" [ ! -e /etc/systemd/system/corvane-harkwell-server.service ]

# An upgrade while the service runs: the mode stays, the unit is read again, the service restarted.
: >"$calls"
run postinst configure 1.0.0-1
check "postinst exits 0 on an upgrade" [ $? -eq 0 ]
check "the group is not made twice" not called "addgroup --system --quiet corvane-harkwell"
check "systemd reads the units again" called "systemctl --system daemon-reload"
check "the running service is restarted" called "deb-systemd-invoke restart corvane-harkwell-server.service"
check "Service Mode stays" [ "$(mode)" = Service ]
check "the upgrade writes no unit of the program's own" [ ! -e /etc/systemd/system/corvane-harkwell-server.service ]
check "the upgrade enables nothing" not grep -q 'enable' "$calls"

# systemctl disable --now: the stop step gives Application Mode back.
$stop_post
check "the stop step exits 0" [ $? -eq 0 ]
echo inactive >"$work/state"
check "the stop step registers Application Mode" [ "$(mode)" = Application ]

# Removal while the service runs: stopped first, then unregistered; the store stays.
$start_pre
echo active >"$work/state"
mkdir -p /etc/systemd/system/multi-user.target.wants
ln -s /lib/systemd/system/corvane-harkwell-server.service /etc/systemd/system/multi-user.target.wants/
: >"$calls"
run prerm remove
check "prerm exits 0" [ $? -eq 0 ]
check "the service is stopped" called "deb-systemd-invoke stop corvane-harkwell-server.service"
check "the program is unregistered" [ "$(mode)" = none ]
check "the plug-in library is unregistered" not plugin_registered
run postrm remove
check "postrm remove exits 0" [ $? -eq 0 ]
check "removal keeps the store" [ -d /var/lib/corvane-harkwell ]

# Purge: the store, the trace files and the unit's enablement go.
touch /var/log/HarkwellServer.log
run postrm purge
check "postrm purge exits 0" [ $? -eq 0 ]
check "purge removes the store" [ ! -e /var/lib/corvane-harkwell ]
check "purge removes the trace files" [ ! -e /var/log/HarkwellServer.log ]
check "purge removes the unit's enablement" [ ! -L /etc/systemd/system/multi-user.target.wants/corvane-harkwell-server.service ]

# A script called with an argument dpkg never gives refuses it.
for script in postinst prerm postrm; do
  "$scripts/$script" bogus 2>/dev/null
  check "$script refuses an unknown argument" [ $? -eq 1 ]
done

[ "$failures" -eq 0 ] || { echo "$failures checks failed"; cat "$calls"; exit 1; }
echo "all checks passed"

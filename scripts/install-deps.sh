#!/usr/bin/env bash
# Installs what the project needs on Debian 12, and only what is missing. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git python3
  libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang lld libclang-rt-14-dev
  iproute2
  # Peers the tests and benchmarks run beside our code: ping, an SMTP client, and Node.js for the
  # SMTP server the e-mail tests deliver to (its npm package is installed by scripts/install-test-tools.sh).
  iputils-ping msmtp
  # The journal and notify protocol of systemd, the D-Bus library and daemon, and monit for the
  # resident-memory comparison.
  libsystemd-dev libsdbus-c++-dev dbus libglib2.0-bin monit
  # Qt 6 Widgets for the user-interface modules only, and an X server without a screen for the
  # notification-area tests (the offscreen platform has no tray).
  qt6-base-dev xvfb
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Node.js and npm may come from elsewhere than Debian's packages; only their absence matters.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run 'sudo $0' (or as root) to install them." >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Installs what the project needs on Debian 12, and only what is missing. Safe to run again.
# Usage: scripts/install-deps.sh [run|test|package]
#   run      building the deliverables and running the server (make run)
#   test     that, and everything the tests, benchmarks and fuzz targets need (make test; the default)
#   package  that of run, and the tools that build and check the Debian package (make deb)
set -euo pipefail

set_name="${1:-test}"

run_packages=(
  build-essential cmake ninja-build pkg-config
  libsqlite3-dev
  # TLS for the e-mail notification's SMTP client.
  libssl-dev
  # The journal and notify protocol of systemd, the D-Bus library, and the D-Bus daemon make run starts
  # where the session has no bus of its own.
  libsystemd-dev libsdbus-c++-dev dbus
  # Qt 6 Widgets, for the user-interface modules only, and the SVG reader that draws the program's icon.
  qt6-base-dev libqt6svg6
)
test_packages=(
  git python3 sqlite3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang lld libclang-rt-14-dev
  iproute2
  # Peers the tests and benchmarks run beside our code: ping, an SMTP client, and Node.js for the
  # SMTP server the e-mail tests deliver to (its npm package is installed by scripts/install-test-tools.sh).
  iputils-ping msmtp
  # gdbus for the bus tests, and monit for the resident-memory comparison.
  libglib2.0-bin monit
  # An X server without a screen for the notification-area tests (the offscreen platform has no tray).
  xvfb
  # xwininfo, which finds the program's windows by title on that server, and the X protocol library
  # with which the tray's memory benchmark closes the window it opened there.
  x11-utils libxcb1-dev
)
# dpkg-shlibdeps (dpkg-dev) and file find the package's dependencies; lintian checks the package.
package_packages=(dpkg-dev file lintian)

case "$set_name" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  package) packages=("${run_packages[@]}" "${package_packages[@]}") ;;
  *)
    echo "Usage: $0 [run|test|package]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "$set_name" = test ]; then
  # Node.js and npm may come from elsewhere than Debian's packages; only their absence matters.
  command -v node >/dev/null || missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run 'sudo $0 $set_name' (or as root) to install them." >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

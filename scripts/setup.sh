#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Runs apt-get update once, and only when something must be installed.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  nlohmann-json3-dev libsimdjson-dev libplist-dev liburiparser-dev
  libhowardhinnant-date-dev tzdata uuid-dev libicu-dev libasio-dev libcli11-dev
  libjemalloc-dev libgtest-dev libgmock-dev libbenchmark-dev
  # The X server: windows, desktops, focus; a private Xvfb with openbox in tests.
  libxcb1-dev libxcb-ewmh-dev libxcb-randr0-dev libxcb-screensaver0-dev xvfb openbox x11-utils
  # The freedesktop Trash as a real client lists it in the tests (gio, with gvfs's
  # trash backend on a private D-Bus session).
  libglib2.0-bin gvfs dbus-daemon
  # Browsers through their DevTools endpoint; a real headless browser in the tests.
  libcurl4-openssl-dev libwebsocketpp-dev chromium
  # Traffic per process from the kernel's socket counters.
  libmnl-dev
)
if [ "${KELVANE_WITH_CLANG:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Installs, from Debian 12 packages, everything the build and the tests need.
# Safe to run again: it skips apt entirely when every package is present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  dpkg-dev file          # the Debian package: dpkg-shlibdeps finds its library dependencies
  systemd               # systemd-analyze checks the service unit
  libsqlite3-dev sqlite3 libjsoncpp-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev            # test-only oracle for the AES/CMAC cross-checks
  libcpp-httplib-dev    # the server's /health and /metrics endpoint; the tests' application servers
  clang libclang-rt-14-dev   # fuzzing and sanitizer runtimes
  qt6-base-dev          # the operator window (Qt 6 Widgets)
  fonts-liberation2     # the window's fallback face (Liberation Sans), the same on every machine
  xvfb xdotool x11-apps # the window's end-to-end test drives it on a virtual display
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Builds the Debian package of the headless server: a Release build without
# the window and the tests in build-pkg/, then CPack makes
# build-pkg/quorvex_<version>_amd64.deb (install it with
# `apt install ./build-pkg/quorvex_*.deb`).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUORVEX_TESTS=OFF -DQUORVEX_UI=OFF >/dev/null
cmake --build build-pkg -j "$(nproc)" --target quorvex-package-programs
if command -v systemd-analyze >/dev/null; then
  # Checks the unit's syntax and options; the server's path is checked only
  # once it is installed, so that one complaint is expected here.
  systemd-analyze verify build-pkg/packaging/quorvex.service 2>&1 \
    | grep -v "quorvex-server.*No such file\|Command .* is not executable" || true
fi
(cd build-pkg && cpack -G DEB)
ls -1 build-pkg/quorvex_*.deb

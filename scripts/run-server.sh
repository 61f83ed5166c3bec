#!/usr/bin/env bash
# Builds the headless server and runs it on UDP port 1700 with its data
# (database, settings) in ./data. Extra arguments go to quorvex-server.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DQUORVEX_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target quorvex-server
mkdir -p data
exec ./build/src/quorvex-server --data-dir "$PWD/data" "$@"

#!/usr/bin/env bash
# Builds quorvex-server, the operator window quorvex (for --window) and the
# load instrument quorvex-bench (Release, in build-bench/) and runs one
# benchmark; every argument goes to quorvex-bench:
#   scripts/bench.sh --short       a few seconds at small numbers
#   scripts/bench.sh --long        a ten-minute soak
#   scripts/bench.sh --rate 5000 --seconds 10 --devices 5000 --gateways 4
#   scripts/bench.sh --window ...  the same against the window program
# The report goes to stdout. The tool exits 0 whatever the numbers are (its
# PASS/FAIL lines are findings, not a verdict), 1 when it could not run and
# 2 for a bad option.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target quorvex-server quorvex quorvex-bench >&2
exec "$build/bench/quorvex-bench" "$@"

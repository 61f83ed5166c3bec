#!/usr/bin/env bash
# Writes a PNG of each page and edit dialog of the operator window into a folder (default
# ./screenshots), taken from the real program while simulated gateways send
# uplinks of a few hundred ABP devices, so that the server page shows live
# rows and the gateway list its gateways.
#   scripts/screenshots.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-screenshots}")
./scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target quorvex quorvex-bench >/dev/null

data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
port=$(( 20000 + RANDOM % 20000 ))
./build/bench/quorvex-bench --prepare-only --data-dir "$data" --devices 300 >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} ./build/src/ui/quorvex --data-dir "$data" --port "$port" --start \
  --screenshots "$out" --screenshot-after 5000 2>"$data/window.err" &
window=$!
sleep 1
./build/bench/quorvex-bench --connect "$port" --data-dir "$data" --pid "$window" --gateways 3 --rate 40 \
  --seconds 3 --confirmed 0.2 --drain 0 --baseline-seconds 0 >/dev/null 2>&1 || true
wait "$window"
ls -1 "$out"/*.png

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
# Two more applications and a history of sent downlinks for the first device,
# so that the LoRa page shows every list with rows.
sqlite3 "$data/LoRaDB_V001.db" <<'SQL'
INSERT INTO APPTBL (ACTIVATION, CLASS, ADR, CHMASK, APPEUI, RX2CHAN, RX2SF, RX2BW, APPURL, APPPARM, MEMO)
  VALUES (0, 0, 1, 255, X'70B3D57ED0001002', 921900000, 0, 0, 'http://127.0.0.1:8080', '/up', 'Water meters'),
         (1, 1, 0, 255, X'70B3D57ED0001003', 921900000, 0, 0, 'http://127.0.0.1:8080', '/up', 'Street lights');
INSERT INTO DLINKTBL (DEVPKEY, PORT, CONFIRMED, CHANNEL, MAC, APP, TIME, TXDONE)
  SELECT MIN(PKEY), 1, 0, 0, '', '01 02 03', '12.10 09.15.02', 1 FROM DEVTBL
  UNION ALL SELECT MIN(PKEY), 2, 1, 0, '06', 'CA FE', '12.10 09.17.40', 1 FROM DEVTBL
  UNION ALL SELECT MIN(PKEY), 10, 0, 0, '03 51 FF 00 01', '', '12.10 09.21.07', 1 FROM DEVTBL;
SQL
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} ./build/src/ui/quorvex --data-dir "$data" --port "$port" --start \
  --screenshots "$out" --screenshot-after 5000 2>"$data/window.err" &
window=$!
sleep 1
./build/bench/quorvex-bench --connect "$port" --data-dir "$data" --pid "$window" --gateways 3 --rate 40 \
  --seconds 3 --confirmed 0.2 --drain 0 --baseline-seconds 0 >/dev/null 2>&1 || true
wait "$window"
ls -1 "$out"/*.png

#!/usr/bin/env bash
# Builds the operator window and runs it with its data (database, settings)
# in ./data, the same folder scripts/run-server.sh uses. Extra arguments go
# to quorvex, e.g. --port 1701 or --start. It needs a display: a desktop
# session, or a virtual one (xvfb-run ./scripts/run-window.sh); machines
# without one run scripts/run-server.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target quorvex
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run-window.sh: no display (DISPLAY is not set); try: xvfb-run -s '-screen 0 1600x1000x24' $0 $*" >&2
  exit 1
fi
mkdir -p data
exec ./build/src/ui/quorvex --data-dir "$PWD/data" "$@"

#!/usr/bin/env bash
# Fuzzes, with libFuzzer under AddressSanitizer + UndefinedBehaviorSanitizer,
# the gateway datagram path (raw UDP payload -> dispatcher decision) and the
# LoRaWAN frame parsers (join request, data uplink), each for SECONDS.
#   scripts/fuzz.sh [SECONDS]     fuzz each target for SECONDS (default 60)
# Builds with clang in build-fuzz/, fuzzes a working copy of the checked-in
# seeds (build-fuzz/corpus/datagram, which keeps what earlier runs found),
# and exits non-zero on any crash, hang, leak or sanitizer report; the
# reproducer is then in build-fuzz/artifacts/ and the report in
# build-fuzz/fuzz-datagram.log. Re-run one input with
#   build-fuzz/fuzz/quorvex-fuzz-datagram FILE
# (QUORVEX_FUZZ_TRACE=1 in the environment shows the server's trace lines).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

./scripts/install-deps.sh

root=$(pwd)
build=$root/build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEX_FUZZ=ON -DQUORVEX_SANITIZE=address,undefined -DQUORVEX_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target quorvex-fuzz-datagram quorvex-fuzz-frames

artifacts=$build/artifacts
scratch=$build/tmp
mkdir -p "$artifacts"
# Findings of an earlier run must not make this one fail, nor be mistaken
# for this run's.
rm -f "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/slow-unit-*
# The target's temporary data directories (left behind when a run crashes).
rm -rf "$scratch"
mkdir -p "$scratch"

export QUORVEX_FUZZ_TMPDIR=$scratch
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
run_target() {  # name, extra libFuzzer options...
  local name=$1; shift
  local corpus=$build/corpus/$name log=$build/fuzz-$name.log
  mkdir -p "$corpus"
  cp "$root"/fuzz/corpus/"$name"/* "$corpus"/
  echo "Fuzzing $name for ${seconds} s (log: $log)"
  set +e
  "$build/fuzz/quorvex-fuzz-$name" \
    -max_total_time="$seconds" \
    -timeout=20 \
    -rss_limit_mb=4096 \
    -artifact_prefix="$artifacts/$name-" \
    -print_final_stats=1 \
    "$@" \
    "$corpus" > "$log" 2>&1
  local status=$?
  set -e
  tail -n 12 "$log"
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    [ "$status" -ne 0 ] || status=1
  fi
  local found
  found=$(find "$artifacts" -maxdepth 1 -type f -name "$name-*" \( -name '*crash-*' -o -name '*leak-*' \
    -o -name '*timeout-*' -o -name '*oom-*' \) | sort)
  if [ -n "$found" ]; then
    [ "$status" -ne 0 ] || status=1
    echo "Reproducer(s):"
    echo "$found"
  fi
  if [ "$status" -ne 0 ]; then
    echo "FUZZING $name FOUND A PROBLEM (exit $status); see $log" >&2
    failed=1
  fi
}

run_target datagram -max_len=1600 -dict="$root/fuzz/datagram.dict"
run_target frames -max_len=300

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "Fuzzing ended cleanly after ${seconds} s per target."

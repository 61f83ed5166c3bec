#!/usr/bin/env bash
# Builds and runs every test: in a plain build, under AddressSanitizer +
# UndefinedBehaviorSanitizer, and under ThreadSanitizer.
#   scripts/run-tests.sh            all three builds
#   scripts/run-tests.sh --plain    the plain build only
#   scripts/run-tests.sh --asan     the AddressSanitizer + UBSan build only
#   scripts/run-tests.sh --tsan     the ThreadSanitizer build only
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
mode=${1:-all}

run_build() {  # dir, extra cmake args...
  local dir=$1; shift
  # Tests on explicitly: run-server.sh shares build/ and turns them off.
  cmake -S . -B "$dir" -G Ninja -DQUORVEX_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

if [ "$mode" = all ] || [ "$mode" = --plain ]; then
  run_build build
fi
if [ "$mode" = all ] || [ "$mode" = --asan ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  CC=clang CXX=clang++ run_build build-asan -DCMAKE_BUILD_TYPE=Debug "-DQUORVEX_SANITIZE=address,undefined"
fi
if [ "$mode" = all ] || [ "$mode" = --tsan ]; then
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
  CC=clang CXX=clang++ run_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_SANITIZE=thread
fi
echo "All tests passed."

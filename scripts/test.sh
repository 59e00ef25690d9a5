#!/usr/bin/env bash
# Builds everything and runs the tests. With --sanitize, builds and runs them
# under AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/.
# JOBS=N caps the parallel build and test jobs (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=${JOBS:-$(nproc)}
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKORV_SANITIZE=ON >/dev/null
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  dir=build
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600

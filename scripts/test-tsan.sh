#!/usr/bin/env bash
# Builds the tests of the host's thread pool and of the threaded
# levelization under ThreadSanitizer in build-tsan/ and runs them: a data
# race or a lock-order problem between the reading task and the workers
# fails the run. JOBS=N caps the parallel build jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
dir=build-tsan
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORV_TSAN=ON >/dev/null
cmake --build "$dir" -j "$jobs" --target test_levelize_threads test_host_kernel
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export KORV_SOURCE_DIR="$PWD"
"$dir"/test_host_kernel --gtest_filter='PoolTest.*:*Event*:*Thread*'
"$dir"/test_levelize_threads

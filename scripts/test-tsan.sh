#!/usr/bin/env bash
# Builds the tests of the host's thread pool, of the threaded levelization,
# of the threaded sweep and covariance updates of the tests across strata,
# of the graphs whose curves are drawn on the pool, of the strata prepared
# ahead, of the utility file's positioned reads, of the data pass's ranges
# of rows and of the exact Tukey integral's shifts and step-down sets spread
# over the pool under ThreadSanitizer in build-tsan/ and runs them: a data
# race or a lock-order problem between the reading task and the workers
# fails the run. JOBS=N caps the parallel build jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
dir=build-tsan
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORV_TSAN=ON >/dev/null
cmake --build "$dir" -j "$jobs" --target test_levelize_threads test_host_kernel \
  test_homogeneity_core test_host_output test_frame_ahead test_host_files test_frame_pass \
  test_mcomp_engine
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export KORV_SOURCE_DIR="$PWD"
"$dir"/test_host_kernel --gtest_filter='PoolTest.*:*Event*:*Thread*'
"$dir"/test_levelize_threads
"$dir"/test_homogeneity_core --gtest_filter='HomogeneityCounts.*'
"$dir"/test_host_output --gtest_filter='SurvivalFamily.ManyStrata*'
"$dir"/test_frame_ahead
"$dir"/test_host_files --gtest_filter='UtilityFile.PositionedReads*'
"$dir"/test_frame_pass --gtest_filter='DataPass.BlockReads*'
"$dir"/test_mcomp_engine --gtest_filter='Engine.ExactTukeyIsTheSameOnAnyNumberOfThreads'

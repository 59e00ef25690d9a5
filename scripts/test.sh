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
status=0
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 | tee "$dir/ctest.out" || status=$?
# ctest counts the tests it skipped among those passed, and lists them
# without their reasons: each one's reason, as its program said it
# ("skipped: ..."; GoogleTest: the line after "Skipped"), from the tests' log.
skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$dir/ctest.out")
if [ -n "$skipped" ]; then
  echo "$(wc -l <<<"$skipped") tests were skipped, not passed (ctest counts them as passed); why each did not run:"
  awk -v names="$skipped" 'BEGIN { n = split(names, a, "\n"); for (i = 1; i <= n; i++) skipped[a[i]] = 1 }
    /^[0-9]+\/[0-9]+ Test: / { c = ($NF in skipped) ? $NF : ""; next }
    /^Output:$/ { t = c; c = ""; said = after = 0; next }
    t == "" { next }
    /^<end of output>$/ { if (!said) print "\t" t ": skipped, saying no reason"; t = ""; next }
    after || /skipped: / { print "\t" t ": " $0; said = 1; after = 0; next }
    /: Skipped$/ { after = 1 }' "$dir/Testing/Temporary/LastTest.log"
fi
exit $status

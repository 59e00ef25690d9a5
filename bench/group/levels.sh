#!/usr/bin/env bash
# Many GROUP= levels beside as many strata: generates ROWS rows (default
# 200,000) whose variable `many` has LEVELS levels (default 10,000), then
# times korvante (NOTABLE, log-rank and Wilcoxon) with `many` as the GROUP=
# variable within the strata of s1, and with `many` as the STRATA variable,
# with the peak memory of each run. Both end in the chi-squares of matrices
# of order LEVELS (their sweep grows as LEVELS cubed) after one covariance
# update per event time (as LEVELS squared); the note that the data pass
# writes from 100 levels or strata says how much of each. With NOTEST the
# same runs show the estimates alone; the last two runs nest the levels five
# to a stratum. Nothing is asserted.
# Usage: bench/group/levels.sh [BUILD_DIR] [ROWS] [LEVELS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-200000}
levels=${3:-10000}
bench_build korvante bench_gen
"$build/bench/bench_gen" "$tmp/many.csv" "$rows" "$levels"
echo "data: $rows rows, $levels levels, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

# The same levels nested five to a stratum (`nest`): each stratum's passes
# touch its own levels, and the levels' sums are closed once.
awk -F, 'NR == 1 { print $0 ",nest"; next } { print $0 "," int($9 / 5) }' "$tmp/many.csv" \
  >"$tmp/nested.csv"

run() { # name, statement options[, data set]
  printf 'proc korvante data=%s notable;\n   time time*status(0);\n   %s;\nrun;\n' \
    "${3:-many}" "$2" >"$tmp/$1.vyr"
  /usr/bin/time -f "%e %M" -o "$tmp/time.txt" "$build/korvante" "$tmp/$1.vyr" --data "$tmp" \
    --listing /dev/null --log "$tmp/$1.log" || { echo "$1 failed"; tail -5 "$tmp/$1.log"; }
  read -r secs kb <"$tmp/time.txt"
  echo "$1: $secs s, peak $((kb / 1024)) MiB"
  grep -E "^NOTE: The tests of equality" "$tmp/$1.log" || true
}
run group "strata s1 / group=many"
run strata "strata many"
run group_notest "strata s1 / group=many notest"
run strata_notest "strata many / notest"
run nested "strata nest / group=many" nested
run nested_notest "strata nest / group=many notest" nested

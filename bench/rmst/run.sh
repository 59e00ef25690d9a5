#!/usr/bin/env bash
# Whole-run benchmark of the restricted means: generates a data set (default
# 1 million rows: time, status, a group of five levels), then times korvante
# (RMST and RMTL of the five groups up to 40, the tests, Bonferroni's
# comparisons and 100 plot points per group and analysis) against R's
# survival (rmean of each group and the Wald test) on the same file, whole
# processes alternating, RUNS times each; prints the best and median times
# and the ratio. Nothing is asserted.
# Usage: bench/rmst/run.sh [BUILD_DIR] [ROWS] [RUNS] [DECIMALS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-1000000}
runs=${3:-5}
decimals=${4:-2}
bench_build korvante
/usr/bin/python3 "$here/generate.py" "$tmp/big.csv" "$rows" "$decimals"
echo "data: $(du -h "$tmp/big.csv" | cut -f1), $rows rows, $(cut -d, -f1 "$tmp/big.csv" | sort -u | wc -l) distinct times"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
measure() { # name, command...
  local name=$1
  shift
  /usr/bin/time -f "%e %M" -o "$tmp/time.txt" "$@" >"$tmp/$name.out" 2>"$tmp/$name.err" || {
    echo "$name failed"; tail -5 "$tmp/$name.err"; }
  read -r secs kb <"$tmp/time.txt"
  echo "$name: $secs s, peak $((kb / 1024)) MiB"
  eval "${name}_secs=$secs"
}
best_and_median() {
  echo "$@" | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[1], v[int((NR + 1) / 2)] }'
}
k_all="" r_all=""
for ((i = 1; i <= runs; i++)); do
  measure korvante "$build/korvante" "$here/bench.vyr" --data "$tmp" --out "$tmp" \
    --listing "$tmp/listing.txt" --log "$tmp/log.txt"
  k_all="$k_all $korvante_secs"
  measure R Rscript "$here/peers.R" "$tmp/big.csv"
  r_all="$r_all $R_secs"
done
read -r k_best k_med <<<"$(best_and_median $k_all)"
read -r r_best r_med <<<"$(best_and_median $r_all)"
cat "$tmp/R.out"
grep -A8 "Restricted Mean Survival Time Estimates" "$tmp/listing.txt" | grep -E "^ +g[0-9]" | sed 's/^ */korvante: /' || true
echo "korvante over $runs runs: best $k_best s, median $k_med s"
echo "R survival over $runs runs: best $r_best s, median $r_med s"
awk -v kb="$k_best" -v km="$k_med" -v rb="$r_best" -v rm="$r_med" \
  'BEGIN { printf "survival / korvante: %.1fx (best runs), %.1fx (medians)\n", rb / kb, rm / km }'

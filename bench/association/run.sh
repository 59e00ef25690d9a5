#!/usr/bin/env bash
# Whole-run benchmark of the rank tests of association: the data set of the
# tests of equal survival (default 1 million rows), four TEST covariates,
# scores summed over the 5 groups as strata (NOTABLE, no test across strata),
# against R's coxph score test at beta = 0 (the log-rank statistic alone) on
# the same file, with the peak memory of each run. korvante runs RUNS times:
# the best and the median are reported. Nothing is asserted.
# Usage: bench/association/run.sh [BUILD_DIR] [ROWS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-1000000}
runs=${3:-3}
bench_build korvante
/usr/bin/python3 "$root/bench/homogeneity/generate.py" "$tmp/big.csv" "$rows"
echo "data: $(du -h "$tmp/big.csv" | cut -f1), $rows rows, $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"

measure() { # name, command...
  local name=$1
  shift
  /usr/bin/time -f "%e %M" -o "$tmp/time.txt" "$@" >"$tmp/$name.out" 2>"$tmp/$name.err" || {
    echo "$name failed"; tail -5 "$tmp/$name.err"; }
  read -r secs kb <"$tmp/time.txt"
  echo "$name: $secs s, peak $((kb / 1024)) MiB"
  eval "${name}_secs=$secs"
}
all=""
for ((i = 1; i <= runs; i++)); do
  measure korvante "$build/korvante" "$here/bench.vyr" --data "$tmp" --out "$tmp" \
    --listing "$tmp/listing.txt" --log "$tmp/log.txt"
  all="$all $korvante_secs"
done
best=$(echo $all | tr ' ' '\n' | sort -g | head -1)
median=$(echo $all | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
echo "korvante over $runs runs: best $best s, median $median s"
grep -A6 "Stepwise Sequence of Chi-Squares for the Log-Rank" "$tmp/listing.txt" | tail -2 || true
measure R Rscript "$here/peers.R" "$tmp/big.csv"
cat "$tmp/R.out"
awk -v k="$best" -v r="$R_secs" 'BEGIN { printf "R / korvante: %.2fx (best run)\n", r / k }'

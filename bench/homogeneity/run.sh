#!/usr/bin/env bash
# Whole-run benchmark of the tests of equal survival: generates a data set
# (default 10 million rows: time, status, a 5-level character group, three
# numeric strata variables, weights, frequencies), then times korvante
# (NOTABLE, STRATA by group, log-rank and Wilcoxon tests) against R's survival
# (fread, survfit, survdiff) and statsmodels on the same file, with the peak
# memory of each run. korvante runs RUNS times (the timings of a shared
# machine are noisy): the best and the median are reported. Nothing is
# asserted.
# Usage: bench/homogeneity/run.sh [BUILD_DIR] [ROWS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-10000000}
runs=${3:-3}
bench_build korvante
/usr/bin/python3 "$here/generate.py" "$tmp/big.csv" "$rows"
echo "data: $(du -h "$tmp/big.csv" | cut -f1), $rows rows, $(nproc) cores"
# In memory the eight columns take about 8 bytes each per row.
echo "data in memory (8 doubles a row): $((rows * 64 / 1048576)) MiB"

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
korvante_secs=$(echo $all | tr ' ' '\n' | sort -g | head -1)
median=$(echo $all | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
echo "korvante over $runs runs: best $korvante_secs s, median $median s"
echo "memory target (data in memory + 50%): $((rows * 64 * 3 / 2 / 1048576)) MiB"
grep -E "Log-Rank|Wilcoxon" "$tmp/listing.txt" | tail -2 || true
measure R Rscript "$here/peers.R" "$tmp/big.csv"
cat "$tmp/R.out"
measure statsmodels /usr/bin/python3 "$here/peers.py" "$tmp/big.csv"
cat "$tmp/statsmodels.out"
best=$(awk -v a="$R_secs" -v b="$statsmodels_secs" 'BEGIN { print (a < b ? a : b) }')
awk -v k="$korvante_secs" -v m="$median" -v b="$best" \
  'BEGIN { printf "faster peer / korvante: %.2fx (best run), %.2fx (median)\n", b / k, b / m }'

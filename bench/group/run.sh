#!/usr/bin/env bash
# Whole-run benchmark of the GROUP= road: generates the data set of the
# homogeneity benchmark (default 10 million rows: time, status, a 5-level
# character group, numeric variables s1 with 3 and s2 with 4 values, weights),
# then times korvante with the five groups estimated within each of the 12
# strata of s1 and s2 and tested stratified by them (NOTABLE: log-rank,
# Wilcoxon, Peto and Fleming-Harrington; and with WEIGHT: log-rank, Wilcoxon,
# Tarone), against R's survival (fread, survfit by stratum and group,
# survdiff with strata()) and statsmodels (a curve per stratum and group,
# survdiff with strata=) on the same file, with the peak memory of each run.
# korvante runs RUNS times (the timings of a shared machine are noisy): the
# best and the median are reported. Nothing is asserted.
# Usage: bench/group/run.sh [BUILD_DIR] [ROWS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-10000000}
runs=${3:-3}
bench_build korvante
/usr/bin/python3 "$root/bench/homogeneity/generate.py" "$tmp/big.csv" "$rows"
echo "data: $(du -h "$tmp/big.csv" | cut -f1), $rows rows, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

measure() { # name, command...
  local name=$1
  shift
  /usr/bin/time -f "%e %M" -o "$tmp/time.txt" "$@" >"$tmp/$name.out" 2>"$tmp/$name.err" || {
    echo "$name failed"; tail -5 "$tmp/$name.err"; }
  read -r secs kb <"$tmp/time.txt"
  echo "$name: $secs s, peak $((kb / 1024)) MiB"
  eval "${name}_secs=$secs"
}
for prog in bench weighted; do
  all=""
  for ((i = 1; i <= runs; i++)); do
    measure korvante "$build/korvante" "$here/$prog.vyr" --data "$tmp" --out "$tmp" \
      --listing "$tmp/listing.txt" --log "$tmp/log.txt"
    all="$all $korvante_secs"
  done
  best=$(echo $all | tr ' ' '\n' | sort -g | head -1)
  median=$(echo $all | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  echo "korvante $prog.vyr over $runs runs: best $best s, median $median s"
  grep -E "^ +(Log-Rank|Wilcoxon|Tarone|Peto|Fleming)" "$tmp/listing.txt" || true
  eval "${prog}_best=$best"
done
measure R Rscript "$here/peers.R" "$tmp/big.csv"
cat "$tmp/R.out"
measure statsmodels /usr/bin/python3 "$here/peers.py" "$tmp/big.csv"
cat "$tmp/statsmodels.out"
awk -v k="$bench_best" -v r="$R_secs" -v s="$statsmodels_secs" \
  'BEGIN { printf "R / korvante: %.2fx, statsmodels / korvante: %.2fx (best runs)\n", r / k, s / k }'

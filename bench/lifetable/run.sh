#!/usr/bin/env bash
# Whole-run benchmark of life tables and confidence bands: on the data set of
# the homogeneity benchmark (default 10 million rows, 5 groups) it times
# korvante (NOTABLE product-limit estimates with OUTSURV=, the same with
# CONFBAND=ALL, and life tables in intervals of 10 with OUTSURV=) RUNS times
# each, and R's KMsurv::lifetab and km.ci once on the same file (their
# computing time, after reading), with the peak memory of each run. Nothing
# is asserted.
# Usage: bench/lifetable/run.sh [BUILD_DIR] [ROWS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-10000000}
runs=${3:-3}
bench_build korvante
/usr/bin/python3 "$root/bench/homogeneity/generate.py" "$tmp/big.csv" "$rows"
echo "data: $(du -h "$tmp/big.csv" | cut -f1), $rows rows, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

for prog in plain plainout bands lifetable; do
  all=""
  peak=0
  for ((i = 1; i <= runs; i++)); do
    /usr/bin/time -f "%e %M" -o "$tmp/time.txt" "$build/korvante" "$here/$prog.vyr" --data "$tmp" \
      --out "$tmp" --listing "$tmp/listing.txt" --log "$tmp/log.txt" >/dev/null 2>&1 ||
      { echo "$prog failed"; tail -5 "$tmp/log.txt"; }
    read -r secs kb <"$tmp/time.txt"
    all="$all $secs"
    peak=$((kb > peak ? kb : peak))
  done
  best=$(echo $all | tr ' ' '\n' | sort -g | head -1)
  median=$(echo $all | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  echo "korvante $prog: best $best s, median $median s over $runs runs, peak $((peak / 1024)) MiB"
done
/usr/bin/time -f "%e %M" -o "$tmp/time.txt" Rscript "$here/peers.R" "$tmp/big.csv" || true
read -r secs kb <"$tmp/time.txt"
echo "R (reading included): $secs s, peak $((kb / 1024)) MiB"

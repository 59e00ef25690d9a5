#!/usr/bin/env bash
# Whole-run benchmark of competing risks: generates a data set (default 1
# million rows: time, a status of three causes and censoring, a stratum of
# five levels), then times korvante (the cumulative incidence of the three
# causes in the five strata with its variance at every event time, rows at
# five TIMELIST= times, and Gray's test of each cause across the strata)
# against R's cmprsk::cuminc on the same file (whole processes, each reading
# the file). korvante runs RUNS times and R RUNS times (the timings of a
# shared machine are noisy): the best and the median of each are reported,
# wall time and CPU time (user + system) apart, with the ratios and the
# load average before and after. Nothing is asserted.
# Usage: bench/cmprisk/run.sh [BUILD_DIR] [ROWS] [RUNS] [DECIMALS]
#   DECIMALS: the times' decimals (default 3; -1 for every digit, so that
#   nearly every time is distinct)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-1000000}
runs=${3:-5}
decimals=${4:-3}
bench_build korvante
/usr/bin/python3 "$here/generate.py" "$tmp/big.csv" "$rows" "$decimals"
echo "data: $(du -h "$tmp/big.csv" | cut -f1), $rows rows, times with $decimals decimals," \
  "$(cut -d, -f1 "$tmp/big.csv" | sort -u | wc -l) distinct times"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

measure() { # name, command...
  local name=$1
  shift
  /usr/bin/time -f "%e %M %U %S" -o "$tmp/time.txt" "$@" >"$tmp/$name.out" 2>"$tmp/$name.err" || {
    echo "$name failed"; tail -5 "$tmp/$name.err"; }
  read -r secs kb user sys <"$tmp/time.txt"
  local cpu
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  echo "$name: $secs s wall, $cpu s CPU (user $user, sys $sys), peak $((kb / 1024)) MiB," \
    "load $(cut -d' ' -f1 /proc/loadavg)"
  eval "${name}_secs=$secs ${name}_cpu=$cpu"
}
best_and_median() { # times... -> "best median"
  echo "$@" | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[1], v[int((NR + 1) / 2)] }'
}
# Alternate the two so that both see the same load.
k_all="" r_all="" kc_all="" rc_all=""
for ((i = 1; i <= runs; i++)); do
  measure korvante "$build/korvante" "$here/bench.vyr" --data "$tmp" --out "$tmp" \
    --listing "$tmp/listing.txt" --log "$tmp/log.txt" --graphics off
  k_all="$k_all $korvante_secs"
  kc_all="$kc_all $korvante_cpu"
  measure R Rscript "$here/peers.R" "$tmp/big.csv"
  r_all="$r_all $R_secs"
  rc_all="$rc_all $R_cpu"
done
read -r k_best k_med <<<"$(best_and_median $k_all)"
read -r r_best r_med <<<"$(best_and_median $r_all)"
read -r kc_best kc_med <<<"$(best_and_median $kc_all)"
read -r rc_best rc_med <<<"$(best_and_median $rc_all)"
cat "$tmp/R.out"
grep -E "^ +[123] +[0-9]+\.[0-9]+ +4 " "$tmp/listing.txt" | sed 's/^ */korvante Gray test: /' || true
echo "machine after the runs: load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "korvante over $runs runs: wall best $k_best s, median $k_med s; CPU best $kc_best s, median $kc_med s"
echo "R cmprsk over $runs runs: wall best $r_best s, median $r_med s; CPU best $rc_best s, median $rc_med s"
awk -v kb="$k_best" -v km="$k_med" -v rb="$r_best" -v rm="$r_med" \
  'BEGIN { printf "cmprsk / korvante, wall: %.1fx (best runs), %.1fx (medians)\n", rb / kb, rm / km }'
awk -v kb="$kc_best" -v km="$kc_med" -v rb="$rc_best" -v rm="$rc_med" \
  'BEGIN { printf "cmprsk / korvante, CPU:  %.1fx (best runs), %.1fx (medians)\n", rb / kb, rm / km }'

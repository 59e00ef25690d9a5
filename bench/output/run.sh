#!/usr/bin/env bash
# Whole-run benchmark of the output: generates the data set of the tests of
# equal survival (default 1 million rows), then times korvante printing every
# record in the estimates table (STRATA by group, log-rank and Wilcoxon) to
# the listing alone and to the listing, HTML and JSON together, RUNS times
# each, with the bytes written, the rate and the peak memory; and a NOTABLE
# run with all three files (whose JSON and HTML leave the plot data out).
# Nothing is asserted.
# Usage: bench/output/run.sh [BUILD_DIR] [ROWS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-1000000}
runs=${3:-3}
bench_build korvante
/usr/bin/python3 "$root/bench/homogeneity/generate.py" "$tmp/big.csv" "$rows"
echo "data: $(du -h "$tmp/big.csv" | cut -f1), $rows rows, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
cat >"$tmp/full.vyr" <<'PROG'
proc korvante data=big;
   time time*status(0);
   strata group / test=(logrank wilcoxon);
run;
PROG
sed 's/data=big;/data=big notable;/' "$tmp/full.vyr" >"$tmp/notable.vyr"

measure() { # label, program, extra arguments...
  local label=$1 prog=$2
  shift 2
  local all=""
  for ((i = 1; i <= runs; i++)); do
    rm -f "$tmp"/out.*
    /usr/bin/time -f "%e %M" -o "$tmp/time.txt" "$build/korvante" "$tmp/$prog" --data "$tmp" \
      --out "$tmp" --listing "$tmp/out.lst" --log "$tmp/out.log" "$@" >/dev/null 2>&1 || {
      echo "$label failed"; tail -5 "$tmp/out.log"; return; }
    read -r secs kb <"$tmp/time.txt"
    all="$all $secs"
  done
  local bytes median
  bytes=0
  for f in "$tmp"/out.lst "$tmp"/out.html "$tmp"/out.json; do
    [ -f "$f" ] && bytes=$((bytes + $(stat -c %s "$f")))
  done
  median=$(echo $all | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  awk -v l="$label" -v m="$median" -v a="$all" -v b="$bytes" -v k="$kb" 'BEGIN {
    printf "%s: median %.2f s (runs:%s), %.0f MB written, %.0f MB/s, peak %d MiB\n",
      l, m, a, b / 1e6, b / 1e6 / m, k / 1024 }'
}
measure "listing" full.vyr
measure "listing+html+json" full.vyr --html "$tmp/out.html" --json "$tmp/out.json"
measure "notable listing+html+json" notable.vyr --html "$tmp/out.html" --json "$tmp/out.json"

#!/usr/bin/env bash
# Fleming-Harrington ties benchmark: times korvante (METHOD=FH, NOTABLE,
# OUTSURV=) on the aml data with every record's FREQ set to F, for F = 1,
# 1e9, 1e12 and 2^53, RUNS times each. A tie of d events enters the
# survival through the sum of 1/(Y - i) over d terms; past 64 terms it is
# taken from the digamma function's series, so the time does not grow with
# the frequencies.
# Usage: bench/fh/run.sh [BUILD_DIR] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
runs=${2:-3}
bench_build korvante
for f in 1 1e9 1e12 9007199254740992; do
  awk -F, -v f="$f" 'NR == 1 { print $0 ",f"; next } { print $0 "," f }' \
    "$root/examples/aml.csv" >"$tmp/fh.csv"
  cat >"$tmp/bench.vyr" <<VYR
proc korvante data=fh method=fh notable outsurv=os;
   time time*status(0);
   freq f;
run;
VYR
  echo "FREQ $f on every record: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "  %e s, %M KB peak" "$build/korvante" "$tmp/bench.vyr" --data "$tmp" \
      --out "$tmp" --listing "$tmp/out.lst" --log "$tmp/out.log"
  done
done

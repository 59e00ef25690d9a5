#!/usr/bin/env bash
# Line-printer plot benchmark: times korvante on a generated data set of ROWS
# observations (time, status, a 5-level group) with NOTABLE, once without
# plots and once with LINEPRINTER PLOTS=(S LS LLS) and the censored-time
# plot, RUNS times each, and prints each run's time and peak memory.
# Usage: bench/lpplot/run.sh [BUILD_DIR] [ROWS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-1000000}
runs=${3:-3}
bench_build korvante
python3 - "$tmp/plots.csv" "$rows" <<'PY'
import random, sys
random.seed(17)
with open(sys.argv[1], "w") as f:
    f.write("time,status,grp\n")
    for i in range(int(sys.argv[2])):
        g = i % 5
        t = round(random.expovariate(0.01 * (g + 1)), 2)
        f.write("%s,%d,G%d\n" % (t, 1 if random.random() < 0.7 else 0, g))
PY
for plots in "" "lineprinter plots=(s ls lls)"; do
  cat >"$tmp/bench.vyr" <<VYR
proc korvante data=plots notable $plots;
   time time*status(0);
   strata grp;
run;
VYR
  echo "${plots:-no plots}: $rows rows, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "  %e s, %M KB peak" "$build/korvante" "$tmp/bench.vyr" --data "$tmp" \
      --out "$tmp" --listing "$tmp/out.lst" --log "$tmp/out.log"
  done
done

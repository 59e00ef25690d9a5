#!/usr/bin/env bash
# Graphs benchmark: times korvante on a generated data set of ROWS
# observations (default 1,000,000; two strata, about 80% events, times with
# four decimals, so that nearly every time is distinct), NOTABLE with an
# HTML page, without graphs (PLOTS=NONE) and with the survival graph of both
# strata with limits, censoring marks, the at-risk table and the test
# (PLOTS=SURVIVAL(CL ATRISK TEST)), RUNS times each, with each run's peak
# memory and the size of the graph's SVG file.
# Usage: bench/graphs/run.sh [BUILD_DIR] [ROWS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-1000000}
runs=${3:-3}
bench_build korvante
python3 - "$tmp/big.csv" "$rows" <<'PY'
import random, sys
random.seed(18)
with open(sys.argv[1], "w") as f:
    f.write("time,status,grp\n")
    for i in range(int(sys.argv[2])):
        g = random.randint(1, 2)
        t = random.expovariate(0.01 * g)
        c = random.expovariate(0.002)
        f.write("%.4f,%d,%d\n" % (min(t, c), 1 if t <= c else 0, g))
PY
for plots in "plots=none" "plots=survival(cl atrisk test)"; do
  cat >"$tmp/bench.vyr" <<VYR
proc korvante data=big notable $plots;
   time time*status(0);
   strata grp;
run;
VYR
  echo "$plots: $rows rows, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  for _ in $(seq "$runs"); do
    rm -rf "$tmp/out" && mkdir "$tmp/out"
    /usr/bin/time -f "  %e s, %M KB peak" "$build/korvante" "$tmp/bench.vyr" --data "$tmp" \
      --out "$tmp/out" --html "$tmp/out/page.html" --listing "$tmp/out/out.lst" \
      --log "$tmp/out/out.log"
  done
  if [ -d "$tmp/out/graphs" ]; then
    echo "  SVG: $(du -k "$tmp/out/graphs"/*.svg | cut -f1) KB"
  fi
done

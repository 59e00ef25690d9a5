#!/usr/bin/env bash
# Device-plot benchmark: times korvante with graphics off on a generated data
# set of ROWS observations (default 1,000,000; a 5-level group, about 70%
# events), NOTABLE with an HTML page, once without plots and once with the
# device plots PLOTS=(S LS LLS C), RUNS times each, with each run's peak
# memory and the size of the catalogue's SVG files.
# Usage: bench/devplot/run.sh [BUILD_DIR] [ROWS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-1000000}
runs=${3:-3}
bench_build korvante
python3 - "$tmp/plots.csv" "$rows" <<'PY'
import random, sys
random.seed(19)
with open(sys.argv[1], "w") as f:
    f.write("time,status,grp\n")
    for i in range(int(sys.argv[2])):
        g = i % 5
        t = round(random.expovariate(0.01 * (g + 1)), 3)
        f.write("%s,%d,G%d\n" % (t, 1 if random.random() < 0.7 else 0, g))
PY
for plots in "" "plots=(s ls lls c)"; do
  cat >"$tmp/bench.vyr" <<VYR
proc korvante data=plots notable $plots;
   time time*status(0);
   strata grp;
run;
VYR
  echo "${plots:-no plots}: $rows rows, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  for _ in $(seq "$runs"); do
    rm -rf "$tmp/out" && mkdir "$tmp/out"
    /usr/bin/time -f "  %e s, %M KB peak" "$build/korvante" "$tmp/bench.vyr" --data "$tmp" \
      --out "$tmp/out" --graphics off --html "$tmp/out/page.html" --listing "$tmp/out/out.lst" \
      --log "$tmp/out/out.log"
  done
  if [ -d "$tmp/out/GSEG" ]; then
    echo "  SVG: $(du -k "$tmp/out/GSEG"/*.svg | cut -f1 | tr '\n' ' ')KB"
  fi
done

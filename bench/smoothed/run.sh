#!/usr/bin/env bash
# Smoothed-hazard benchmark: times korvante on a generated data set of ROWS
# observations (default 100,000; time with two decimals, about 70% events),
# NOTABLE, without the smoothed hazard and with PLOTS=HAZARD(CL) (the
# bandwidth chosen by minimising the MISE), RUNS times each, with each run's
# peak memory. bench_smoothed (bench/smoothed_bench.cpp) times the search
# alone on distinct event times. No peer package smooths the hazard with
# these boundary kernels.
# Usage: bench/smoothed/run.sh [BUILD_DIR] [ROWS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-100000}
runs=${3:-3}
bench_build korvante bench_smoothed
python3 - "$tmp/haz.csv" "$rows" <<'PY'
import random, sys
random.seed(109)
with open(sys.argv[1], "w") as f:
    f.write("time,status\n")
    for i in range(int(sys.argv[2])):
        t = round(random.expovariate(0.01), 2)
        f.write("%s,%d\n" % (t, 1 if random.random() < 0.7 else 0))
PY
for plots in "plots=none" "plots=(hazard(cl))"; do
  cat >"$tmp/bench.vyr" <<VYR
proc korvante data=haz notable $plots;
   time time*status(0);
run;
VYR
  echo "$plots: $rows rows, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "  %e s, %M KB peak" "$build/korvante" "$tmp/bench.vyr" --data "$tmp" \
      --out "$tmp" --listing "$tmp/out.lst" --log "$tmp/out.log"
  done
done
echo "the search alone on 100,000 distinct event times:"
"$build/bench/bench_smoothed" 100000 "$runs"

#!/usr/bin/env bash
# Graphs benchmark, in three parts, each run RUNS times with its peak memory:
#  1. ROWS observations (default 1,000,000; two strata, about 80% events,
#     times with four decimals, so that nearly every time is distinct),
#     NOTABLE with an HTML page, without graphs (PLOTS=NONE) and with the
#     survival graph of both strata with limits, censoring marks, the
#     at-risk table and the test (PLOTS=SURVIVAL(CL ATRISK TEST)), with the
#     size of the graph's SVG file;
#  2. the speed benchmark's main case on BIGROWS rows (default 10,000,000,
#     made by bench_gen: a 5-level group, whole times up to 400, about 30%
#     censored): NOTABLE with the log-rank and Wilcoxon tests, with its
#     default graph and with --graphics off, and what the graph adds;
#  3. many strata (1,000,000 rows by bench_gen): the default graph across
#     100,000 strata (NOTABLE NOTEST; its SVG's size and height) and the
#     survival graph in pages of panels over 500 and 2,000 strata, each
#     beside the same run with --graphics off (the panels: with PLOTS=NONE);
#  4. competing risks (1,000,000 rows: two failure causes and censoring,
#     times with two decimals, a GROUP= variable of three levels): the
#     cumulative incidence panels (PLOTS=CIF) over 500 and 2,000 strata,
#     each beside the same run with PLOTS=NONE.
# Usage: bench/graphs/run.sh [BUILD_DIR] [ROWS] [RUNS] [BIGROWS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
rows=${2:-1000000}
runs=${3:-3}
bigrows=${4:-10000000}
bench_build korvante bench_gen
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Runs korvante RUNS times on program $1 with the options after it; prints
# each run's wall time and peak memory and leaves the best wall time in
# $best.
timed() {
  local prog=$1 all=""
  shift
  for _ in $(seq "$runs"); do
    rm -rf "$tmp/out" && mkdir "$tmp/out"
    /usr/bin/time -f "%e %M" -o "$tmp/time.txt" "$build/korvante" "$prog" --data "$tmp" \
      --out "$tmp/out" --listing "$tmp/out/out.lst" --log "$tmp/out/out.log" "$@"
    read -r secs kb <"$tmp/time.txt"
    echo "  $secs s, $kb KB peak"
    all="$all $secs"
  done
  best=$(echo "$all" | tr ' ' '\n' | grep -v '^$' | sort -g | head -1)
}

# 1. Two strata of nearly distinct times.
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
  echo "$plots: $rows rows"
  timed "$tmp/bench.vyr" --html "$tmp/out/page.html"
  if [ -d "$tmp/out/graphs" ]; then
    echo "  SVG: $(du -k "$tmp/out/graphs"/*.svg | cut -f1) KB"
  fi
done
rm -f "$tmp/big.csv"

# 2. The speed benchmark's main case with its default graph.
"$build/bench/bench_gen" "$tmp/gen.csv" "$bigrows"
cat >"$tmp/main.vyr" <<'VYR'
proc korvante data=gen notable;
   time time*status(0);
   strata group / test=(logrank wilcoxon);
run;
VYR
echo "default graph, 5 strata: $bigrows rows, load average $(cut -d' ' -f1-3 /proc/loadavg)"
timed "$tmp/main.vyr"
with=$best
echo "--graphics off:"
timed "$tmp/main.vyr" --graphics off
awk -v w="$with" -v o="$best" 'BEGIN { printf "  the graph adds %.0f%% (best of each)\n", 100 * (w / o - 1) }'
rm -f "$tmp/gen.csv"

# 3. Many strata.
"$build/bench/bench_gen" "$tmp/gen.csv" 1000000 100000
sed 's/strata group \/ test=(logrank wilcoxon)/strata many \/ notest/' "$tmp/main.vyr" >"$tmp/many.vyr"
echo "default graph across 100,000 strata: 1000000 rows"
timed "$tmp/many.vyr"
svg=$tmp/out/graphs/SurvivalPlot.svg
echo "  SVG: $(du -k "$svg" | cut -f1) KB, $(grep -o 'height="[0-9.]*"' "$svg" | head -1)"
grep -o "NOTE: The graphs across.*" "$tmp/out/out.log" | cut -c1-100 | sed 's/^/  /' || true
echo "--graphics off:"
timed "$tmp/many.vyr" --graphics off
for levels in 500 2000; do
  "$build/bench/bench_gen" "$tmp/gen.csv" 1000000 "$levels"
  sed 's/notable;/notable plots=survival(strata=panel);/' "$tmp/many.vyr" >"$tmp/panel.vyr"
  echo "panels of $levels strata: 1000000 rows"
  timed "$tmp/panel.vyr"
  echo "  $(find "$tmp/out/graphs" -name '*.svg' | wc -l) pages"
  # Without output-layer graphics PLOTS= would draw device plots: the run
  # to compare with asks for no plot.
  sed 's/notable;/notable plots=none;/' "$tmp/many.vyr" >"$tmp/none.vyr"
  echo "plots=none:"
  timed "$tmp/none.vyr"
done

# 4. Competing risks: the cumulative incidence panels, a panel per stratum
# with a curve per GROUP= level, four panels a page.
cat >"$tmp/cif.vyr" <<'VYR'
proc korvante data=cif notable PLOTS;
   time time*status(0) / failcode=1;
   strata many / group=grp;
run;
VYR
for levels in 500 2000; do
  python3 - "$tmp/cif.csv" 1000000 "$levels" <<'PY'
import random, sys
random.seed(7)
n, levels = int(sys.argv[2]), int(sys.argv[3])
with open(sys.argv[1], "w") as f:
    f.write("time,status,grp,many\n")
    for i in range(n):
        t = round(random.expovariate(0.01), 2)
        c = round(random.expovariate(0.004), 2)
        s = random.choice((1, 2)) if t <= c else 0
        f.write("%.2f,%d,%d,%d\n" % (min(t, c), s, random.randint(1, 3), random.randint(1, levels)))
PY
  for plots in "plots=cif" "plots=none"; do
    sed "s/PLOTS/$plots/" "$tmp/cif.vyr" >"$tmp/cifrun.vyr"
    echo "competing risks, $plots, $levels strata: 1000000 rows"
    timed "$tmp/cifrun.vyr"
    if [ -d "$tmp/out/graphs" ]; then
      echo "  $(find "$tmp/out/graphs" -name '*.svg' | wc -l) pages"
    fi
  done
done
rm -f "$tmp/cif.csv"

#!/usr/bin/env bash
# The speed benchmark: korvante beside R's survival and statsmodels on the
# same generated files, whole processes.
#   - the main case at each size: product-limit estimates by a 5-level group,
#     log-rank and Wilcoxon tests, NOTABLE; the peers read the file, estimate
#     the curves by group and run the same tests;
#   - the many-strata case: MANY rows (default 1M) in LEVELS strata (default
#     100,000), the same program with STRATA by a numeric variable of that
#     many levels;
#   - the tests across thousands of strata: MANY rows in 2,000 strata.
# For each: the median of RUNS runs of korvante (and its best), the peers'
# time (one run each), the ratio to the faster peer, the peak memory of each
# run, the memory target (the data's size in memory plus half) and the cost
# per million rows. Nothing is asserted: timings on a shared machine are
# noisy, so the load is printed with them.
# Usage: bench/speed/run.sh [--build DIR] [--runs N] [--peers-up-to ROWS]
#                           [--levels N] [--many-rows MANY] [--no-peers]
#                           [--cores N] [SIZE...]
# --cores N runs every process (korvante and the peers) on the first N cores
# only (taskset), as on a machine of N cores: korvante sizes its threads to
# the cores it may run on.
# Default sizes: 1000000 10000000 50000000; peers up to 10000000 rows (R
# takes about 3 GB at 10M rows). CI runs it once on a small size with
# --no-peers, so that the script keeps working.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$root/build-bench
runs=3
peersUpTo=10000000
levels=100000
manyRows=1000000
peers=1
cores=0
sizes=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --peers-up-to) peersUpTo=$2; shift 2 ;;
    --levels) levels=$2; shift 2 ;;
    --many-rows) manyRows=$2; shift 2 ;;
    --no-peers) peers=0; shift ;;
    --cores) cores=$2; shift 2 ;;
    *) sizes+=("$1"); shift ;;
  esac
done
[ ${#sizes[@]} -gt 0 ] || sizes=(1000000 10000000 50000000)
# A fresh folder is set up as a release build; one set up already keeps its
# build type.
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target korvante bench_gen -j4 >/dev/null
if [ "$peers" = 1 ]; then
  command -v Rscript >/dev/null || { echo "no Rscript: peers left out"; peers=0; }
  /usr/bin/python3 -c "import statsmodels, pandas" 2>/dev/null || {
    echo "no statsmodels: peers left out"; peers=0; }
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
pin=()
if [ "$cores" -gt 0 ]; then
  command -v taskset >/dev/null || { echo "--cores needs taskset (util-linux)"; exit 2; }
  pin=(taskset -c "0-$((cores - 1))")
fi
echo "machine: $(nproc) cores${pin:+, runs limited to $cores}, load $(cut -d' ' -f1-3 /proc/loadavg)"

# Runs a command, keeping its wall time, peak memory and CPU time (user
# plus system) in $secs, $mib and $cpu. On a loaded machine the CPU time is
# the steadier figure.
failures=0
measure() {
  /usr/bin/time -f "%e %M %U %S" -o "$tmp/time.txt" ${pin[@]+"${pin[@]}"} "$@" >"$tmp/cmd.out" 2>"$tmp/cmd.err" || {
    echo "  failed: $*"; tail -3 "$tmp/cmd.err"; [ -f "$tmp/log.txt" ] && tail -3 "$tmp/log.txt"
    secs=NA; mib=NA; cpu=NA; return 0; }
  read -r secs kb user sys <"$tmp/time.txt"
  mib=$((kb / 1024))
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
}
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
best() { tr ' ' '\n' | grep -v '^$' | sort -g | head -1; }

# korvante RUNS times on program $1 over data folder $2 ($3 rows).
run_korvante() {
  local prog=$1 dir=$2 rows=$3 all="" cpus="" peak=0
  for ((i = 1; i <= runs; i++)); do
    measure "$build/korvante" "$prog" --data "$dir" --out "$tmp/out" --listing "$tmp/listing.txt" \
      --log "$tmp/log.txt"
    if [ "$secs" = NA ]; then
      failures=$((failures + 1))
      return 0
    fi
    all="$all $secs"
    cpus="$cpus $cpu"
    [ "$mib" -gt "$peak" ] && peak=$mib
  done
  k_med=$(echo "$all" | median)
  k_best=$(echo "$all" | best)
  k_cpu=$(echo "$cpus" | median)
  awk -v m="$k_med" -v b="$k_best" -v a="$all" -v p="$peak" -v r="$rows" -v c="$k_cpu" 'BEGIN {
    printf "  korvante: median %.2f s, best %.2f s (runs:%s), CPU median %.2f s, peak %d MiB, %.3f s per million rows\n",
      m, b, a, c, p, m / (r / 1e6) }'
}

mkdir -p "$tmp/out"
cat >"$tmp/main.vyr" <<'PROG'
proc korvante data=big notable;
   time time*status(0);
   strata group / test=(logrank wilcoxon);
run;
PROG
for rows in "${sizes[@]}"; do
  rm -f "$tmp"/big.csv
  "$build/bench/bench_gen" "$tmp/big.csv" "$rows"
  echo "main case: $rows rows, $(du -h "$tmp/big.csv" | cut -f1) of CSV, load $(cut -d' ' -f1-3 /proc/loadavg)"
  # In memory the nine columns take 8 bytes each per row.
  echo "  data in memory (9 doubles a row): $((rows * 72 / 1048576)) MiB; target: $((rows * 72 * 3 / 2 / 1048576)) MiB"
  run_korvante "$tmp/main.vyr" "$tmp" "$rows"
  grep -E "^ +(Log-Rank|Wilcoxon) " "$tmp/listing.txt" | tail -2 | sed 's/^ */  korvante: /' || true
  if [ "$peers" = 1 ] && [ "$rows" -le "$peersUpTo" ]; then
    faster=""
    measure Rscript "$root/bench/homogeneity/peers.R" "$tmp/big.csv"
    echo "  R: $secs s, CPU $cpu s, peak $mib MiB; $(cat "$tmp/cmd.out")"
    r_secs=$secs
    r_cpu=$cpu
    measure /usr/bin/python3 "$root/bench/homogeneity/peers.py" "$tmp/big.csv"
    echo "  statsmodels: $secs s, CPU $cpu s, peak $mib MiB; $(cat "$tmp/cmd.out")"
    s_secs=$secs
    s_cpu=$cpu
    awk -v k="$k_med" -v r="$r_secs" -v s="$s_secs" -v kc="$k_cpu" -v rc="$r_cpu" -v sc="$s_cpu" 'BEGIN {
      if (r != "NA") printf "  R / korvante: %.1fx (CPU time %.1fx)\n", r / k, rc / kc
      if (s != "NA") printf "  statsmodels / korvante: %.1fx (CPU time %.1fx)\n", s / k, sc / kc }'
  fi
done

# Many strata: STRATA by a numeric variable of LEVELS levels.
rows=$manyRows
rm -f "$tmp"/big.csv
"$build/bench/bench_gen" "$tmp/big.csv" "$rows" "$levels"
sed 's/strata group/strata many/' "$tmp/main.vyr" >"$tmp/many.vyr"
echo "many strata: $rows rows in $levels strata, load $(cut -d' ' -f1-3 /proc/loadavg)"
run_korvante "$tmp/many.vyr" "$tmp" "$rows"
grep -E "^(NOTE|WARNING|ERROR)" "$tmp/log.txt" | grep -v "PROC KORVANTE used\|run ended\|Graphs are not" |
  sed 's/^/  log: /' || true

# The tests across thousands of strata.
"$build/bench/bench_gen" "$tmp/big.csv" "$rows" 2000
echo "tests across 2000 strata: $rows rows, load $(cut -d' ' -f1-3 /proc/loadavg)"
run_korvante "$tmp/many.vyr" "$tmp" "$rows"
grep -E "^ +(Log-Rank|Wilcoxon) " "$tmp/listing.txt" | tail -2 | sed 's/^ */  korvante: /' || true
# A run of korvante that failed fails the script (the peers' do not).
if [ "$failures" -gt 0 ]; then
  echo "speed benchmark: $failures run(s) of korvante failed"
  exit 1
fi
echo "speed benchmark done"

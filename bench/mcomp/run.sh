#!/usr/bin/env bash
# Whole-run benchmark of the comparisons of strata on many strata: each case
# is one korvante step (NOTABLE, the log-rank test) timed as a whole process,
# with its exit status, the peak memory, the size of the listing and the
# first warning of its log. Nothing is asserted.
#   - 40 strata (a generated data set): STEPDOWN with Bonferroni, Sidak and
#     SMM, Scheffe single-step and step-down, Tukey (DIFF=ALL alone) and its
#     step-down;
#   - lung's 18 institutions: DIFF=ALL and DIFF=CONTROL with their defaults
#     (Tukey, Dunnett), and with STEPDOWN;
#   - 2,000 strata: DIFF=ALL with its defaults (past MAXCOMPARISONS=, refused
#     before the estimates), and with the limit lifted (MAXCOMPARISONS=0)
#     under Bonferroni.
# Usage: bench/mcomp/run.sh [BUILD_DIR] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
runs=${2:-3}
bench_build korvante
# k strata of n subjects: exponential times with a rate by stratum, rounded
# to 50 distinct values, a fifth censored.
gen() { # file, strata, subjects per stratum
  awk -v k="$2" -v n="$3" 'BEGIN {
    srand(20261207); print "g,t,s";
    for (g = 1; g <= k; ++g) for (i = 0; i < n; ++i) {
      t = int(-log(1 - rand()) * 10 / (1 + (g % 7) / 5)) + 1; if (t > 50) t = 50;
      print g "," t "," (rand() < 0.8 ? 1 : 0) } }' >"$1"
}
gen "$tmp/k40.csv" 40 30
gen "$tmp/k2000.csv" 2000 10
cp "$root/examples/lung.csv" "$tmp/lung.csv"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

step() { # name, data, STRATA statement, [OPTIONS statement]
  local name=$1 data=$2 strata=$3 opts=${4:-}
  {
    [ -n "$opts" ] && echo "options $opts;"
    echo "proc korvante data=$data notable;"
    if [ "$data" = lung ]; then echo "time time*status(1);"; else echo "time t*s(0);"; fi
    echo "strata $strata;"
    echo "run;"
  } >"$tmp/$name.vyr"
  local best=
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %M" -o "$tmp/time.txt" "$build/korvante" "$tmp/$name.vyr" \
      --data "$tmp" --out "$tmp" >"$tmp/$name.lst" 2>"$tmp/$name.log" && status=0 || status=$?
    read -r secs kb <"$tmp/time.txt"
    if [ -z "$best" ] || awk -v a="$secs" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$secs; fi
  done
  local warn
  warn=$(grep -m1 -E "^(WARNING|ERROR)" "$tmp/$name.log" | cut -c1-110 || true)
  printf '%-26s %7.2f s  status %d  peak %5d MiB  listing %8s  %s\n' "$name" "$best" "$status" \
    $((kb / 1024)) "$(du -h "$tmp/$name.lst" | cut -f1)" "$warn"
}
step k40_bon_stepdown k40 "g / test=logrank diff=all adjust=bon stepdown"
step k40_sidak_stepdown k40 "g / test=logrank diff=all adjust=sidak stepdown"
step k40_smm_stepdown k40 "g / test=logrank diff=all adjust=smm stepdown"
step k40_scheffe k40 "g / test=logrank diff=all adjust=scheffe"
step k40_scheffe_stepdown k40 "g / test=logrank diff=all adjust=scheffe stepdown"
step k40_tukey k40 "g / test=logrank diff=all"
step k40_tukey_stepdown k40 "g / test=logrank diff=all stepdown"
step k40_dunnett k40 "g / test=logrank diff=control"
step lung_diff_all lung "inst / test=logrank diff=all"
step lung_diff_control lung "inst / test=logrank diff=control"
step lung_all_stepdown lung "inst / test=logrank diff=all stepdown"
step lung_control_stepdown lung "inst / test=logrank diff=control stepdown"
step k2000_diff_all k2000 "g / test=logrank diff=all"
step k2000_bon_nolimit k2000 "g / test=logrank diff=all adjust=bon" "maxcomparisons=0"

#!/usr/bin/env bash
# The cost of a program of many small steps writing into one library folder
# that holds many other files: STEPS steps (default 100), each an output data
# set into the folder and a graph, with OTHERS files (default 100,000) beside
# them. The run looks at the folder for what killed runs left once, not at
# every step. Prints the median and best of RUNS runs (default 3) of each
# korvante given (a build of another revision, say), for each count of other
# files. Nothing is asserted.
# Usage: bench/files/run.sh [--steps N] [--others N[,N...]] [--runs N] KORVANTE...
set -euo pipefail
steps=100
others=100000
runs=3
while [ $# -gt 0 ]; do
  case "$1" in
    --steps) steps=$2; shift 2 ;;
    --others) others=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: bench/files/run.sh [--steps N] [--others N] [--runs N] KORVANTE..." >&2; exit 2; }
korvantes=()
for k in "$@"; do korvantes+=("$(realpath "$k")"); done
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/examples/aml.csv" "$work/aml.csv"
{
  echo "libname k 'lib';"
  for i in $(seq 1 "$steps"); do
    printf "proc korvante data=aml outsurv=k.s%d plots=(s) notable;\n  time time*status(0);\nrun;\n" "$i"
  done
} >"$work/p.vyr"
for n in ${others//,/ }; do
  for k in "${korvantes[@]}"; do
    # A folder made afresh for each: one that earlier runs grew is slower.
    rm -rf "$work/lib" "$work/out"
    mkdir -p "$work/lib"
    [ "$n" = 0 ] || (cd "$work/lib" && seq 1 "$n" | sed "s/^/other/" | xargs touch)
    sync
    times=()
    for _ in $(seq 1 "$runs"); do
      start=$(date +%s.%N)
      (cd "$work" && "$k" p.vyr --out out >/dev/null 2>&1) || { echo "$k failed"; exit 1; }
      end=$(date +%s.%N)
      times+=("$(echo "$end - $start" | bc)")
    done
    sorted=$(printf '%s\n' "${times[@]}" | sort -n)
    median=$(echo "$sorted" | sed -n "$(((runs + 1) / 2))p")
    best=$(echo "$sorted" | head -1)
    printf '%s steps, %s other files, %s: median %.2f s, best %.2f s\n' "$steps" "$n" "$k" "$median" "$best"
  done
done

#!/usr/bin/env bash
# The cost of hidden folders another user planted in a shared library folder
# (mode 1777): a run of one step that writes one data set there, beside
# PLANTED folders named as a run's hidden folders (default 0, 10,000 and
# 100,000), each made by another user. Prints, for each korvante given (a
# build of another revision, say), the median and best of RUNS runs
# (default 3) and the size of the log. Needs root, to plant as one user and
# run as another; nothing is asserted.
# Usage: bench/files/planted.sh [--planted N[,N...]] [--runs N] KORVANTE...
set -euo pipefail
planted=0,10000,100000
runs=3
while [ $# -gt 0 ]; do
  case "$1" in
    --planted) planted=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: bench/files/planted.sh [--planted N[,N...]] [--runs N] KORVANTE..." >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "bench/files/planted.sh: needs root, to act as two users" >&2; exit 2; }
victim=60001
other=60002
as() { setpriv --reuid="$1" --regid="$1" --clear-groups "${@:2}"; }
korvantes=()
for k in "$@"; do korvantes+=("$(realpath "$k")"); done
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
cp "$root/examples/aml.csv" "$work/aml.csv"
printf "libname k 'lib';\nproc korvante data=aml outsurv=k.os notable plots=none;\n  time time*status(0);\nrun;\n" >"$work/p.vyr"
chmod 644 "$work/aml.csv" "$work/p.vyr"
for n in ${planted//,/ }; do
  for k in "${korvantes[@]}"; do
    # A folder made afresh for each: one that earlier runs grew is slower.
    rm -rf "$work/lib" "$work/out"
    mkdir -m 1777 "$work/lib"
    mkdir "$work/out"
    chown $victim "$work/out"
    [ "$n" = 0 ] || (cd "$work/lib" && as $other sh -c \
      "seq 1 $n | awk '{ printf \".korvante-file.korv-%016x.tmp\\n\", \$1 }' | xargs mkdir")
    sync
    times=()
    for _ in $(seq 1 "$runs"); do
      start=$(date +%s.%N)
      (cd "$work" && as $victim "$k" p.vyr --out out --log out/run.log >/dev/null 2>&1) ||
        { echo "$k failed"; exit 1; }
      end=$(date +%s.%N)
      times+=("$(echo "$end - $start" | bc)")
    done
    sorted=$(printf '%s\n' "${times[@]}" | sort -n)
    median=$(echo "$sorted" | sed -n "$(((runs + 1) / 2))p")
    best=$(echo "$sorted" | head -1)
    printf '%s planted folders, %s: median %.2f s, best %.2f s, log %s bytes\n' "$n" "$k" \
      "$median" "$best" "$(stat -c %s "$work/out/run.log")"
  done
done

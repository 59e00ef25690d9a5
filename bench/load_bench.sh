#!/usr/bin/env bash
# Data-load benchmark: builds bench_load, writes a 10-million-row CSV (about
# 200 MB) to a temporary folder, and times reading it as a data set with
# every core and with one thread, without and with an attribute file that
# names the CSV file's digest (the read then checks it); then times the host
# sort on 10 million records. The machine's core count and load are printed
# with the figures.
# Usage: bench/load_bench.sh [BUILD_DIR] [ROWS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/setup.sh"
build=${1:-$root/build-bench}
rows=${2:-10000000}
bench_build bench_load
"$build/bench/bench_load" generate "$tmp/big.csv" "$rows"
echo "file: $(du -h "$tmp/big.csv" | cut -f1), $rows rows, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "every core:"
"$build/bench/bench_load" load "$tmp/big.csv" 3
echo "one thread:"
"$build/bench/bench_load" load "$tmp/big.csv" 3 1
# The same with an attribute file that names the CSV file's size and digest,
# as every output data set's does: the read also checks the pair.
"$build/bench/bench_load" attr "$tmp/big.csv"
echo "every core, the pair checked:"
"$build/bench/bench_load" load "$tmp/big.csv" 3
echo "one thread, the pair checked:"
"$build/bench/bench_load" load "$tmp/big.csv" 3 1
"$build/bench/bench_load" sort "$rows"

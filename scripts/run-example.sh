#!/usr/bin/env bash
# Builds korvante and runs the bundled example program on the bundled data.
# JOBS=N caps the build's parallel jobs (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=${JOBS:-$(nproc)}
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target korvante
mkdir -p out
status=0
./build/korvante examples/example.vyr --data examples --out out --listing out/example.lst \
  --html out/example.html --json out/example.json || status=$?
[ -f out/example.lst ] && cat out/example.lst
echo
echo "The listing is in out/example.lst, the HTML page in out/example.html,"
echo "the JSON in out/example.json, the graphs in out/graphs/ and the output"
echo "data set in out/survival.csv (the log is above the listing)."
exit "$status"

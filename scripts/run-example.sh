#!/usr/bin/env bash
# Builds korvante and runs the bundled example program on the bundled data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target korvante
mkdir -p out
./build/korvante examples/example.vyr --data examples --out out --html out/example.html --json out/example.json

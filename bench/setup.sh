# The start shared by the benchmark scripts, sourced after `set -euo
# pipefail`: sets root (the source tree) and defines bench_build, which
# builds the given targets in $build as a release build without the tests,
# quietly, and makes $tmp, a scratch folder removed when the script exits.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bench_build() {
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORV_TESTS=OFF >/dev/null
  cmake --build "$build" --target "$@" -j4 >/dev/null
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
}

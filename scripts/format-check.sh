#!/usr/bin/env bash
# Checks that the C++ lines changed on this branch are formatted as the
# committed .clang-format says. The lines are those changed since the merge
# base with main (or, on main itself, since the previous commit), committed or
# not. Usage: scripts/format-check.sh [BASE]
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:-}
if [ -z "$base" ]; then
  for ref in origin/main main; do
    if git rev-parse -q --verify "$ref" >/dev/null; then
      base=$(git merge-base HEAD "$ref")
      break
    fi
  done
  if [ -z "$base" ] || [ "$base" = "$(git rev-parse HEAD)" ]; then
    base=$(git rev-parse -q --verify HEAD~ || true)
  fi
fi
if [ -z "$base" ]; then
  echo "clang-format: no earlier commit to compare with; nothing to check"
  exit 0
fi
out=$(git clang-format --binary clang-format --diff --extensions cpp,h "$base" -- src tests bench 2>&1 || true)
case "$out" in
  "" | *"no modified files to format"* | *"clang-format did not modify any files"*)
    echo "clang-format: the C++ lines changed since ${base:0:12} are formatted" ;;
  *)
    echo "$out"
    echo "clang-format: the lines above are not formatted as .clang-format says;"
    echo "run: git clang-format $base"
    exit 1 ;;
esac

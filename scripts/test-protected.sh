#!/usr/bin/env bash
# Runs the end-to-end scripts about files once more with the kernel's link
# and file protections on, as most systems ship them: fs.protected_symlinks=1,
# protected_regular=2, protected_fifos=1, protected_hardlinks=1. The scripts
# are the CTest tests that run a tests/e2e/*.sh script (all but run_e2e.sh,
# the programs, and identity.sh, the threads), from the build scripts/test.sh
# made. The protections are machine-wide: the values found are put back as
# soon as the tests end, however they end. Where /proc/sys/fs cannot be
# written (not root, a container), the step is skipped and says so.
# Usage: test-protected.sh [BUILD-DIR]   (default build/; JOBS=N, default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
jobs=${JOBS:-3}
names="symlinks regular fifos hardlinks"
declare -A on=([symlinks]=1 [regular]=2 [fifos]=1 [hardlinks]=1) was=()
skip() {
  echo "skipped: the file scripts with the kernel's protections on ($1)"
  exit 0
}
for n in $names; do
  was[$n]=$(cat "/proc/sys/fs/protected_$n" 2>/dev/null) || skip "/proc/sys/fs/protected_$n cannot be read"
done
# Whether the values can be set: each written back as it is.
for n in $names; do
  (echo "${was[$n]}" >"/proc/sys/fs/protected_$n") 2>/dev/null || skip "/proc/sys/fs cannot be written here"
done

tests=$(ctest --test-dir "$dir" --show-only=json-v1 | python3 -c '
import json, os, sys
names = []
for t in json.load(sys.stdin)["tests"]:
    scripts = [a for a in t.get("command", []) if a.endswith(".sh") and "/tests/e2e/" in a]
    if scripts and os.path.basename(scripts[0]) not in ("run_e2e.sh", "identity.sh"):
        names.append(t["name"])
print("|".join(names))
')
[ -n "$tests" ] || {
  echo "no end-to-end file scripts found in $dir"
  exit 1
}

put_back() {
  for n in $names; do echo "${was[$n]}" >"/proc/sys/fs/protected_$n" || true; done
  echo "the kernel's protections put back: $(for n in $names; do printf '%s=%s ' "$n" "$(cat "/proc/sys/fs/protected_$n")"; done)"
}
trap put_back EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
for n in $names; do echo "${on[$n]}" >"/proc/sys/fs/protected_$n"; done
echo "the kernel's protections on: $(for n in $names; do printf '%s=%s ' "$n" "${on[$n]}"; done)"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 -R "^($tests)\$"

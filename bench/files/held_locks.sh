#!/usr/bin/env bash
# The cost of the machine's other locks to a reader that may not lock: one
# program of 100 steps, each reading a data set that another user wrote in
# a shared folder (mode 1777), run by a user who has no lock file there,
# first with no lock held on the machine by this script, then with LOCKS
# flock locks (default 10,000) held on files of their own by a helper
# process. Prints, for each korvante given (a build of another revision,
# say), the median and best of RUNS runs (default 3) of each. Needs root, to
# write as one user and read as another; nothing is asserted.
# Usage: bench/files/held_locks.sh [--locks N] [--runs N] KORVANTE...
set -euo pipefail
locks=10000
runs=3
while [ $# -gt 0 ]; do
  case "$1" in
    --locks) locks=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: bench/files/held_locks.sh [--locks N] [--runs N] KORVANTE..." >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "bench/files/held_locks.sh: needs root, to act as two users" >&2; exit 2; }
writer=60001
reader=60002
as() { setpriv --reuid="$1" --regid="$1" --clear-groups "${@:2}"; }
korvantes=()
for k in "$@"; do korvantes+=("$(realpath "$k")"); done
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
holder=
trap '[ -z "$holder" ] || kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -m 1777 "$work/shared"
mkdir "$work/w" "$work/r" "$work/held"
cp "$root/examples/aml.csv" "$work/w/"
printf "libname k '%s';\nproc korvante data=aml outsurv=k.os notable plots=none;\n  time time*status(0);\nrun;\n" \
  "$work/shared" >"$work/w/write.vyr"
{
  echo "libname k '$work/shared';"
  for _ in $(seq 1 100); do
    printf "proc korvante data=k.os notable plots=none;\n  time time*_CENSOR_(1);\nrun;\n"
  done
} >"$work/r/read.vyr"
chown -R $writer:$writer "$work/w"
chown -R $reader:$reader "$work/r"

# time_reads LABEL: RUNS runs of the 100 reads with each korvante.
time_reads() {
  for k in "${korvantes[@]}"; do
    (cd "$work/w" && as $writer "$k" write.vyr >/dev/null 2>&1) || { echo "$k failed to write"; exit 1; }
    times=()
    for _ in $(seq 1 "$runs"); do
      start=$(date +%s.%N)
      (cd "$work/r" && as $reader "$k" read.vyr >/dev/null 2>"$work/r/log") ||
        { echo "$k failed to read:"; tail -3 "$work/r/log"; exit 1; }
      end=$(date +%s.%N)
      times+=("$(echo "$end - $start" | bc)")
    done
    sorted=$(printf '%s\n' "${times[@]}" | sort -n)
    median=$(echo "$sorted" | sed -n "$(((runs + 1) / 2))p")
    best=$(echo "$sorted" | head -1)
    printf '%s, 100 reads, %s: median %.2f s, best %.2f s\n' "$1" "$k" "$median" "$best"
  done
}

time_reads "no lock held"
# The helper: one process holding an exclusive flock on each of LOCKS files,
# until it is ended; it says it is ready by making the file `ready`.
python3 - "$work/held" "$locks" <<'EOF' &
import fcntl, os, resource, signal, sys
folder, count = sys.argv[1], int(sys.argv[2])
resource.setrlimit(resource.RLIMIT_NOFILE, (count + 64, count + 64))
fds = []
for i in range(count):
    fd = os.open(os.path.join(folder, str(i)), os.O_RDWR | os.O_CREAT, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)
    fds.append(fd)
open(os.path.join(folder, "ready"), "w").close()
signal.pause()
EOF
holder=$!
while [ ! -e "$work/held/ready" ]; do
  kill -0 "$holder" 2>/dev/null || { echo "the helper could not hold $locks locks"; exit 1; }
  sleep 0.05
done
echo "locks on the machine: $(wc -l </proc/locks)"
time_reads "$locks locks held"

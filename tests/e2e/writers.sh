#!/usr/bin/env bash
# What a run writes, and where, in folders that other users share:
#   - WORK is made in the first temporary folder that can be used, never in
#     the current folder; where none can be, the step that needs WORK fails
#     and names the folders tried;
#   - another user's link in a shared sticky folder is not followed at any
#     component of a path the run writes through;
#   - the locks are regular files that only a folder's writers can hold: a
#     user who may only read a folder makes no run wait there, a reader that
#     cannot lock never takes a pair half old and half new, and in a shared
#     sticky folder another user cannot swap the lock a user's runs share;
#   - a placing's record that cannot be opened fails the step.
# Usage: writers.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: writers.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
[ -n "${KEEP:-}" ] && echo "work: $work"
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
. "$here/checks.sh"
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null || ! command -v strace >/dev/null ||
  ! strace -f -qq -o /dev/null true 2>/dev/null; then
  echo "skipped: needs root (to act as two users), setpriv and strace"
  exit 77
fi
cd "$work" || exit 1
chmod 755 "$work"
victim=60001
other=60002
# as_bg USER COMMAND...: as (checks.sh) in the background, $! being the
# command itself.
as_bg() { setpriv --reuid="$1" --regid="$1" --clear-groups "${@:2}" & }
# v: the victim's own folder, with data and a program.
mkdir v
cp "$root/examples/aml.csv" v/
cat >v/p.vyr <<'EOP'
proc korvante data=aml notable;
  time time*status(0);
run;
EOP
chown -R $victim:$victim v

# ---------------------------------------------------------------------------
# WORK.


# ---------------------------------------------------------------------------
# Links anywhere in a path.


# ---------------------------------------------------------------------------
# Locks.


# ---------------------------------------------------------------------------
# Records.


report

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
# Without --out, WORK is made in TMPDIR, else /tmp, else /var/tmp (the first
# where a folder can be made), and never is, nor is made in, the current
# folder, where the victim keeps a survival.csv of her own. Step 1 writes
# OUTSURV=survival to WORK; step 2 writes nothing there. The folder WORK is
# made in is read from the trace of the run's mkdir calls.
cat >v/work.vyr <<'EOP'
proc korvante data=aml outsurv=survival notable;
  time time*status(0);
run;
title 'Step 2 needs no WORK';
proc korvante data=aml notable;
  time time*status(0);
run;
EOP
# own DIR: the victim's survival.csv in DIR, and no other file of that data
# set (each case starts from it, whatever an earlier one left).
own() {
  rm -f "$1/survival.attr"
  echo "the victim's own" >"$1/survival.csv"
  chown $victim:$victim "$1/survival.csv"
}
own v
chown $victim:$victim v/work.vyr
before=$(ls -A v)
mkdir -m 755 roottmp
# run_work NAME TMPDIR: runs work.vyr as the victim in v with that TMPDIR;
# checks that WORK was made in /tmp and is gone, and that the current folder
# is as it was.
run_work() {
  own v
  (cd v && TMPDIR=$2 strace -f -qq -e trace=mkdir,mkdirat -o "$work/work.trace" \
    setpriv --reuid=$victim --regid=$victim --clear-groups "$korvante" work.vyr \
    >"$work/work.lst" 2>"$work/work.log")
  check "$1" test $? = 0
  check "$1" lacks "$work/work.log" "ERROR"
  made=$(sed -n 's/.*"\([^"]*korvante-work-[^"/]*\)".* = 0$/\1/p' "$work/work.trace" | head -1)
  check "$1: WORK is made in /tmp" test "${made#/tmp/korvante-work-}" != "$made"
  check "$1: WORK is removed" test ! -e "$made"
  check "$1: the note on WORK" said "$work/work.log" "removed with its temporary WORK folder"
  check "$1: the user's survival.csv" test "$(cat v/survival.csv)" = "the victim's own"
  check "$1: nothing new in the current folder" test "$(ls -A v)" = "$before"
}
run_work "a TMPDIR the user may not write" "$work/roottmp"
run_work "a TMPDIR that does not exist" "$work/nosuch"
# No temporary folder can be used (/tmp and /var/tmp read-only, TMPDIR
# unset): step 1 fails, naming the folders tried and --out, step 2 runs, and
# the run fails. So does a device plot, whose catalogue would be WORK.GSEG.
# The run's folder and a copy of korvante are in /dev/shm.
shm=$(mktemp -d -p /dev/shm 2>/dev/null)
if [ -n "$shm" ] && unshare -m true 2>/dev/null; then
  chmod 755 "$shm"
  mkdir "$shm/run"
  cp v/work.vyr v/aml.csv v/survival.csv "$shm/run/"
  printf "options nographics;\nproc korvante data=aml plots=(s) notable;\n  time time*status(0);\nrun;\n" \
    >"$shm/run/device.vyr"
  cp "$korvante" "$shm/korvante"
  chown -R $victim:$victim "$shm/run"
  shm_before=$(ls -A "$shm/run")
  # no_tmp PROGRAM: runs it as the victim in $shm/run without a usable
  # temporary folder.
  no_tmp() {
    (cd "$shm/run" && env -u TMPDIR unshare -m sh -c 'mount -t tmpfs -o ro none /tmp &&
      mount -t tmpfs -o ro none /var/tmp &&
      exec setpriv --reuid='$victim' --regid='$victim' --clear-groups ../korvante '"$1" \
      >"$shm/lst" 2>"$shm/log")
  }
  own "$shm/run"
  no_tmp work.vyr
  check "no temporary folder for WORK" test $? = 1
  check "no temporary folder for WORK" said "$shm/log" "ERROR: The output data set WORK.SURVIVAL could not be written: WORK has no folder."
  check "no temporary folder for WORK" said "$shm/log" "(/tmp: Read-only file system; /var/tmp: Read-only file system). Give --out DIR"
  check "no temporary folder for WORK" lacks "$shm/log" "removed with its temporary WORK folder"
  check "no temporary folder for WORK: step 2 runs" said "$shm/lst" "Step 2 needs no WORK"
  check "no temporary folder for WORK" said "$shm/log" "1 of 2 step(s) ended with a return code above 4"
  check "no temporary folder for WORK: the user's survival.csv" test "$(cat "$shm/run/survival.csv")" = "the victim's own"
  check "no temporary folder for WORK: nothing new in the current folder" test "$(ls -A "$shm/run")" = "$shm_before"
  own "$shm/run"
  no_tmp device.vyr
  check "no temporary folder for a WORK catalogue" test $? = 1
  check "no temporary folder for a WORK catalogue" said "$shm/log" "ERROR: The graphics catalogue WORK.GSEG cannot be made"
  check "no temporary folder for a WORK catalogue: nothing new in the current folder" test "$(ls -A "$shm/run")" = "$shm_before"
  rm -rf "$shm"
else
  echo "skipped: no temporary folder for WORK (no mount namespace here)"
fi


# ---------------------------------------------------------------------------
# Links anywhere in a path.


# ---------------------------------------------------------------------------
# Locks.


# ---------------------------------------------------------------------------
# Records.


report

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
# In the shared folder (1777, root's) another user made vl a link to the
# victim's folder, rl one to a folder only root may enter and fl one to the
# run's descriptors: nothing is written through any of them, by a document,
# --out, a library or a catalogue, and nothing is made there (the kernel's
# protected_symlinks guards only a path's last name).
mkdir -m 1777 shared
mkdir -m 700 rootonly kept
echo "root's own" >rootonly/conf
as $victim sh -c "echo notes >v/notes.txt && chmod 600 v/notes.txt"
cp -p v/notes.txt rootonly/conf kept/
as $other ln -s "$work/v" shared/vl
as $other ln -s "$work/rootonly" shared/rl
as $other ln -s /proc/self/fd shared/fl
link_named() { said err "shared/$1 is a symbolic link of the user with uid $other in the folder"; }
for option in --log --listing --html --json; do
  as $victim "$korvante" v/p.vyr $option shared/vl/notes.txt >/dev/null 2>err
  check "another user's middle link, $option" test $? = 2
  check "another user's middle link, $option" link_named vl
  check "another user's middle link, $option" same_file v/notes.txt kept/notes.txt
done
"$korvante" v/p.vyr --listing shared/rl/conf >/dev/null 2>err
check "another user's middle link, root's listing" test $? = 2
check "another user's middle link, root's listing" same_file rootonly/conf kept/conf
as $victim "$korvante" v/p.vyr --log shared/fl/1 >/dev/null 2>err
check "another user's middle link to the descriptors" test $? = 2
check "another user's middle link to the descriptors" link_named fl
as $victim "$korvante" v/p.vyr --out shared/vl/made >/dev/null 2>err
check "another user's middle link, --out" test $? = 2
check "another user's middle link, --out" link_named vl
check "another user's middle link, --out" test ! -e v/made
printf "libname k '%s';\nproc korvante data=aml outsurv=k.os notable;\n  time time*status(0);\nrun;\n" \
  "$work/shared/vl" >v/lib.vyr
as $victim "$korvante" v/lib.vyr >/dev/null 2>err
check "another user's middle link, a LIBNAME folder" test $? = 1
check "another user's middle link, a LIBNAME folder" link_named vl
check "another user's middle link, a LIBNAME folder" said err "The libref K was not assigned"
check "another user's middle link, a LIBNAME folder" test ! -e v/os.csv
printf "proc korvante data=aml gout=data.cat notable plots=survival;\n  time time*status(0);\nrun;\n" >v/cat.vyr
as $victim "$korvante" v/cat.vyr --data shared/vl --graphics off >/dev/null 2>&1
check "another user's middle link, a catalogue's folder" test ! -e v/CAT
# A script's mkdir -p of a folder that another user made first a link to a
# folder of theirs, where they would read the log.
mkdir -m 777 theirs
chown $other theirs
as $other ln -s "$work/theirs" shared/job
as $victim sh -c "mkdir -p shared/job && exec '$korvante' v/p.vyr --log shared/job/run.log" >/dev/null 2>err
check "another user's link made before mkdir -p" test $? = 2
check "another user's link made before mkdir -p" link_named job
check "another user's link made before mkdir -p" test -z "$(ls -A theirs)"
# The user's own link in the middle is followed, by a document and --out.
as $victim ln -s "$work/v" shared/mine
as $victim "$korvante" v/p.vyr --out shared/mine/o --log shared/mine/own.log >/dev/null 2>&1
check "the user's own middle link" test $? = 0
check "the user's own middle link" said v/own.log "The run ended normally"
check "the user's own middle link" test -d v/o


# ---------------------------------------------------------------------------
# Locks.


# ---------------------------------------------------------------------------
# Records.


report

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
two_users_or_skip
cd "$work" || exit 1
chmod 755 "$work"
victim=60001
other=60002
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
  (cd v && TMPDIR=$2 strace -f -qq -y -e trace=mkdir,mkdirat -o "$work/work.trace" \
    setpriv --reuid=$victim --regid=$victim --clear-groups "$korvante" work.vyr \
    >"$work/work.lst" 2>"$work/work.log")
  check "$1" test $? = 0
  check "$1" lacks "$work/work.log" "ERROR"
  # mkdirat(3</tmp>, "korvante-work-...", 0700) = 0: made in the folder held.
  made=$(sed -n 's/.*mkdirat([0-9]*<\([^>]*\)>, "\(korvante-work-[^"/]*\)".* = 0$/\1\/\2/p' \
    "$work/work.trace" | head -1)
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
link_named() { said err "shared/$1 is a symbolic link of $(user_text $other) in the folder"; }
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
# folder of theirs, where they would read the log. Where the kernel's
# protected_symlinks is set, it refuses the mkdir -p itself (the link is its
# last name); the run is then given the path all the same, where the link
# is a middle name, which the kernel follows: the run's own refusal is what
# is checked, with the protection on or off.
mkdir -m 777 theirs
chown $other theirs
as $other ln -s "$work/theirs" shared/job
as $victim sh -c "mkdir -p shared/job 2>/dev/null; exec '$korvante' v/p.vyr --log shared/job/run.log" >/dev/null 2>err
check "another user's link made before mkdir -p" test $? = 2
check "another user's link made before mkdir -p" link_named job
check "another user's link made before mkdir -p" test -z "$(ls -A theirs)"
# The user's own link in the middle is followed, by a document and --out.
as $victim ln -s "$work/v" shared/mine
as $victim "$korvante" v/p.vyr --out shared/mine/o --log shared/mine/own.log >/dev/null 2>&1
check "the user's own middle link" test $? = 0
check "the user's own middle link" said v/own.log "The run ended normally"
check "the user's own middle link" test -d v/o
# Nor is WORK made through such a link in TMPDIR: it is made in /tmp.
before=$(ls -A v)
run_work "TMPDIR through another user's link" "$work/shared/vl"


# ---------------------------------------------------------------------------
# Locks.
# ro: the victim's folder of plain data, which the other user may only read,
# and which a run of the victim's writes into once (its lock file made).
mkdir -m 755 ro
cp v/aml.csv ro/
for x in a b; do
  { echo "libname k '$work/ro';"
    echo "proc korvante data=aml outsurv=k.os notable plots=none;"
    echo "  time time*status(0);"
    [ $x = a ] && echo "  strata x;"
    echo "run;"; } >v/$x.vyr
done
mkdir o
printf "libname k '%s';\nproc korvante data=k.os notable plots=none;\n  time time*_CENSOR_(1);\nrun;\n" \
  "$work/ro" >o/read.vyr
chown -R $victim:$victim ro v
chown -R $other:$other o
as $victim "$korvante" v/b.vyr >/dev/null 2>&1
check "a writer leaves no lock file" test -z "$(tickets ro)"
# The victim then lets everyone read all she wrote (chmod -R go+r), with an
# earlier version's lock file among it. Another user, who may only read the
# folder, holds the folder itself (the holder makes o/ro.held once it has
# it) and every lock a reader can hold on each file there, a flock and a
# read lock: no run of the victim's waits, writer or reader.
as $victim sh -c ": >ro/.korvante-o.lock && chmod -R go+r ro"
as_bg $other bash -c 'exec 9<ro && flock -x 9 && : >o/ro.held && exec sleep 30'
folder_holder=$!
until_true 30 test -e o/ro.held
holders=()
for f in ro/os.csv ro/os.attr ro/aml.csv ro/.korvante-o.lock; do
  hold_lock as $other read "$f"
  check "a reader holds what it can of $f" test $? = 0
  holders+=("$holder")
done
as $victim timeout 10 "$korvante" v/a.vyr >/dev/null 2>&1
check "a reader's locks make no writer wait" test $? = 0
printf "libname k '%s';\nproc korvante data=k.os notable plots=none;\n  time time*_CENSOR_(1);\nrun;\n" \
  "$work/ro" >v/read.vyr
chown $victim v/read.vyr
as $victim timeout 10 "$korvante" v/read.vyr >/dev/null 2>&1
check "a reader's locks make no reader wait" test $? = 0
kill $folder_holder "${holders[@]}" 2>/dev/null
wait $folder_holder "${holders[@]}" 2>/dev/null
whole() { # DIR: the attribute file names STRATUM exactly when the CSV file has it
  local c t
  c=$(head -1 "$1/os.csv" | grep -c STRATUM)
  t=$(grep -c STRATUM "$1/os.attr")
  [ "$c" = "$t" ]
}
split() { ! whole "$1"; }
# hold_writer PROGRAM: the victim's run of PROGRAM (of strata, over a pair
# written without), stopped by strace as its first rename returns: one file
# of its pair placed, the other not yet. $writer is strace, $stopped the
# run ("" when it never stopped).
hold_writer() {
  rm -f v/w.trace
  as_bg $victim strace -f -qq -o v/w.trace -e trace=renameat2 -e inject=renameat2:signal=STOP:when=1 \
    "$korvante" "$1" >/dev/null 2>&1
  writer=$!
  stopped_in v/w.trace
}
# let_go: the held writer goes on; its status in $written.
let_go() {
  kill -CONT "$stopped" 2>/dev/null || kill -KILL $writer
  wait_ended $writer
  written=$?
}
# A reader that may not open the lock, while the victim's writer is held
# between its two renames: it waits, and reads a whole pair. The writer goes
# on once the reader says that it waits (its log, on standard error, in
# o/r.log), or the reader has ended without waiting.
name="a reader without the lock, a writer held between its renames"
as $victim "$korvante" v/b.vyr >/dev/null 2>&1
hold_writer v/a.vyr
check "$name" test -n "$stopped"
check "$name" split ro
as_bg $other "$korvante" o/read.vyr >o/r.lst 2>o/r.log
reader=$!
until_true 30 waiting_or_ended o/r.log $reader
let_go
wait_ended $reader
check "$name" test $? = 0
check "$name" lacks o/r.log "describes variable"
check "$name" said o/r.log "Data set K.OS is held by a run putting its files in place"
check "$name" whole ro
# Such a reader whose pair is replaced while it reads reads the pair again:
# strace stops it as its first read of the attribute file returns, the
# victim's writer puts a new pair in place meanwhile, and the reader goes on
# to open the new pair's CSV file. (The files may be opened relative to
# the folder held: the folder is traced too, and only the CSV file's opens
# for reading are counted.)
name="a reader without the lock, its pair replaced as it read"
as $victim "$korvante" v/b.vyr >/dev/null 2>&1
rm -f o/opens
as_bg $other strace -f -qq -o o/opens -P "$work/ro" -P "$work/ro/os.attr" -P "$work/ro/os.csv" \
  -e trace=openat,read -e inject=read:signal=STOP:when=1 "$korvante" o/read.vyr --log o/r2.log \
  >/dev/null 2>&1
reader=$!
stopped_in o/opens
check "$name" test -n "$stopped"
as $victim timeout 20 "$korvante" v/a.vyr >/dev/null 2>&1
kill -CONT "$stopped" 2>/dev/null || kill -KILL $reader
wait_ended $reader
check "$name" test $? = 0
check "$name" test "$(grep 'os.csv", O_RDONLY.* = [0-9]' o/opens | grep -vc O_PATH)" = 2

# A shared sticky folder: each user's runs keep out only each other, by
# tickets of their own, which no other user can remove. Another user who
# makes and holds tickets there of their own, and remakes every name they
# can guess every 10 ms, splits no pair of the victim's and makes her runs
# neither wait nor fail; her own runs still wait for each other.
mkdir -m 1777 L
for x in a b; do sed "s|$work/ro|$work/L|" v/$x.vyr >v/L$x.vyr; done
chown $victim:$victim v/La.vyr v/Lb.vyr
hold_lock as $other ticket L
squatter=$holder
check "another user's ticket in a sticky folder" test -n "$(tickets L)"
as $victim timeout 10 "$korvante" v/Lb.vyr --log v/L.log >/dev/null 2>&1
check "another user's ticket in a sticky folder" test $? = 0
check "another user's ticket in a sticky folder" lacks v/L.log "ERROR"
check "another user's ticket in a sticky folder" test -e L/os.csv
guesses=".korvante-w-0000000000000001.lock .korvante-w-0000000000000001.new .korvante-entries-w-0000000000000000.lock"
guesses="$guesses .korvante.lock .korvante-o.lock .korvante-g.lock .korvante-a.lock .korvante-u-0000000000000000.lock"
as_bg $other sh -c "cd L && while :; do for g in $guesses; do rm -f \$g; touch \$g; done 2>/dev/null; sleep 0.01; done"
remaker=$!
# The victim's run A is held between its renames, and run B, of other
# strata, started meanwhile: A goes on once B waits for it (B's log, on
# standard error, says so).
hold_writer v/La.vyr
check "names remade by another user in a sticky folder" test -n "$stopped"
check "names remade by another user in a sticky folder" split L
as_bg $victim "$korvante" v/Lb.vyr >/dev/null 2>v/Lb.log
b=$!
until_true 30 waiting_or_ended v/Lb.log $b
check "names remade by another user in a sticky folder: B waits for A" said v/Lb.log "is held by"
let_go
a=$written
wait_ended $b
b=$?
kill $remaker $squatter
wait $remaker $squatter 2>/dev/null
check "names remade by another user in a sticky folder" test "$a/$b" = 0/0
check "names remade by another user in a sticky folder" whole L
check "names remade by another user in a sticky folder: none of hers left" \
  test -z "$(find L -maxdepth 1 -name ".korvante-*w-*" -user $victim)"


# One user's runs keep each other out wherever each runs. The victim's run
# is held between its renames on the host, and another of hers writing the
# same data set is started in a user namespace that shows her as root (a
# rootless container with the library mounted in): it waits, and the pair
# ends whole. The same in a group folder (setgid, its group's members
# write it), which that namespace shows as nogroup's.
if ! as $victim unshare -r true 2>/dev/null; then
  echo "skipped: a user namespace (unshare -r refused here)"
else
  mkdir -m 2770 team && chown 0:60003 team && cp v/aml.csv team/ && chmod 644 team/aml.csv
  for x in a b; do sed "s|$work/ro|$work/team|" v/$x.vyr >v/t$x.vyr; done
  chown $victim:$victim v/ta.vyr v/tb.vyr
  for d in ro team; do
    name="a run in a user namespace, the same user's run held on the host ($d)"
    p=; [ $d = team ] && p=t
    setpriv --reuid=$victim --regid=$victim --groups=60003 "$korvante" v/${p}b.vyr >/dev/null 2>&1
    rm -f v/w.trace
    setpriv --reuid=$victim --regid=$victim --groups=60003 strace -f -qq -o v/w.trace -e trace=renameat2 \
      -e inject=renameat2:signal=STOP:when=1 "$korvante" v/${p}a.vyr >/dev/null 2>&1 &
    writer=$!
    stopped_in v/w.trace
    check "$name" test -n "$stopped"
    # A log of its own: the background run's redirection may come after
    # the first look at it, which must not find the other case's.
    setpriv --reuid=$victim --regid=$victim --groups=60003 unshare -r "$korvante" v/${p}b.vyr \
      >/dev/null 2>v/ns-$d.log &
    b=$!
    until_true 30 waiting_or_ended v/ns-$d.log $b
    check "$name: it waits" said v/ns-$d.log "is held by"
    let_go
    wait_ended $b
    check "$name" test "$written/$?" = 0/0
    check "$name" whole $d
  done
fi

# ---------------------------------------------------------------------------
# Records.
# A kill split a pair; under a limit of descriptors where the hidden folder
# opens but its record does not, the step fails naming the record: at no
# limit does a run end well with the pair still split.
split_by_kill fd v/aml.csv
check "a split pair to put back" test "$(head -1 fd/lib/os.csv | grep -c STRATUM)" != "$(grep -c STRATUM fd/lib/os.attr)"
named=no
for limit in $(seq 6 24); do
  rm -rf fd$limit && cp -a fd fd$limit
  (cd fd$limit && ulimit -n $limit && "$korvante" p.vyr --log l.log >/dev/null 2>&1)
  s=$?
  check "a record not opened (ulimit -n $limit)" test "$s" != 0 -o "$(head -1 fd$limit/lib/os.csv | grep -c STRATUM)" = "$(grep -c STRATUM fd$limit/lib/os.attr)"
  check "a record not opened (ulimit -n $limit)" lacks fd$limit/l.log "placing, which belongs to"
  grep -q "the record .*lib/.korvante-.*/placing could not be read (Too many open files)" fd$limit/l.log && named=yes
  rm -rf fd$limit
done
check "a record not opened is named" test $named = yes


report

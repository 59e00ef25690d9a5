#!/usr/bin/env bash
# Cases of putting a step's files in place, and of what a killed run left,
# that each reach one check the other placing scripts do not:
#   - a data set written again by its user after a kill, in place or made
#     anew, where the file system cannot swap two files (so that no check
#     after a swap finds the user's file): it is kept, its earlier file
#     beside it;
#   - a placed file written again in place within the same second, with as
#     many bytes: only the nanoseconds of its time tell it from the killed
#     run's file, and it is kept;
#   - a name the killed run made (nothing was there before), edited in
#     place since: it is kept, not removed as the killed run's;
#   - files edited in place while a step's placing is taken back, where the
#     file system cannot swap two files: a placed file over an earlier one,
#     and one at a name the step made, each stay;
#   - a run that only reads a data set a killed run left half placed is not
#     warned once the user wrote its file again since the kill;
#   - a record with a line no run writes that holds a control character:
#     the warning shows it escaped, and raises the step's return code to 4;
#   - where the file system cannot swap two files, a folder made at a data
#     set's name before the name is looked at (it is never moved) or
#     between the look and the move (it is moved straight back): the step
#     fails with "Is a directory", nothing placed, the folder as it was;
#   - (as root, acting as other users) a hidden folder of numbered files
#     without a record, made by another user in a shared folder: no run's
#     sweep removes it or its files, not even root's; a symbolic link named
#     like a hidden folder, leading to a folder of the user's that holds
#     numbered files: the user's sweep leaves those files.
# Usage: guards.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: guards.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(realpath "$(mktemp -d)")
[ -n "${KEEP:-}" ] && echo "work: $work"
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
. "$here/checks.sh"
. "$here/placing_setup.sh"
if ! command -v strace >/dev/null || ! strace -f -qq -o /dev/null true 2>/dev/null; then
  echo "skipped: strace cannot trace here"
  exit 77
fi
cd "$work" || exit 1
chmod 755 "$work"

# The earlier run's files; the next run writes other data sets into both
# folders, a reader reads L1.OS.
step_in "$work/first"
(cd first && "$korvante" p.vyr --out files/out >/dev/null 2>&1) || fail setup "the first run failed"
other_numbers "$work/first"
next_programs first
# The step with a data set of a new name in lib1 (no earlier file).
sed 's/outsurv=l1.os/outsurv=l1.fresh/' first/p.vyr >first/fresh.vyr
fresh() { rm -rf run && cp -a first run; }
# killed_at N ENV...: the step killed as its Nth rename begins (7: the
# graphs and lib1/os.attr placed, 8: lib1/os.csv too).
killed_at() {
  local n=$1
  shift
  (cd run && env "$@" strace -f -qq -o /dev/null -e trace=renameat2 -e inject=renameat2:signal=KILL:when="$n" \
    "$korvante" p.vyr --out files/out >/dev/null 2>&1) 2>/dev/null
}
next_run() { (cd run && env "$@" "$korvante" next.vyr --out files/out --log next.log >/dev/null 2>&1); }
earlier_kept() { cmp -s first/files/lib1/os.csv run/files/lib1/.korvante-*.tmp/earlier-os.csv; }
no_hidden() { test -z "$(find run/files -name '.korvante-*.tmp')"; }
# The identity a record gives a file, time to the nanosecond.
ident() { stat -c '%i %s %.9Y' "$1"; }

# ---------------------------------------------------------------------------
# Written again after a kill, where the file system cannot swap two files:
# only the look at each name before its earlier file goes back keeps the
# user's file (no swap to check afterwards).
noswap=KORV_NO_EXCHANGE=1
name="written again in place ($noswap)"
fresh
killed_at 8 $noswap
check "$name" test $? = 137
printf 'time,status\n1,1\n' >run/mine
ino=$(stat -c %i run/files/lib1/os.csv)
cat run/mine >run/files/lib1/os.csv # in place: the same inode
next_run $noswap
check "$name" cmp -s run/mine run/files/lib1/os.csv
check "$name" test "$(stat -c %i run/files/lib1/os.csv)" = "$ino"
check "$name" earlier_kept
check "$name" said run/next.log "lib1/os.csv holds another file by now"
check "$name" cmp -s first/files/lib2/ot.csv run/files/lib2/ot.csv

name="made anew ($noswap)"
fresh
killed_at 8 $noswap
check "$name" test $? = 137
ino=$(stat -c %i run/files/lib1/os.csv)
# Made anew on the freed inode, as ext4 hands it out again (where it gave
# another, that one is freed and the file made once more).
for _ in 1 2 3 4 5; do
  rm run/files/lib1/os.csv
  printf 'time,status\n2,0\n' >run/files/lib1/os.csv
  [ "$(stat -c %i run/files/lib1/os.csv)" = "$ino" ] && break
done
[ "$(stat -c %i run/files/lib1/os.csv)" = "$ino" ] || echo "note: the new file did not get the freed inode"
cp run/files/lib1/os.csv run/mine
next_run $noswap
check "$name" cmp -s run/mine run/files/lib1/os.csv
check "$name" earlier_kept
check "$name" said run/next.log "lib1/os.csv holds another file by now"

# Written again in place within the same second, with as many bytes: the
# inode, the size and the second are the killed run's file's, the
# nanoseconds are not. The time is set as such a quick write leaves it.
name="written again within the same second, same size"
fresh
killed_at 8
check "$name" test $? = 137
f=run/files/lib1/os.csv
read -r _ size mtime <<<"$(ident $f)"
tr 0123456789 1234567890 <$f >run/mine # other bytes, as many
sec=${mtime%.*} ns=$((10#${mtime#*.}))
cat run/mine >$f
touch -m -d "@$sec.$(printf %09d $(((ns + 1) % 1000000000)))" $f
read -r _ now_size now <<<"$(ident $f)"
check "$name" test "$now_size.${now%.*}" = "$size.$sec"
if [ "$now" = "$mtime" ]; then
  echo "left out: $name (the file system keeps no nanoseconds)"
else
  next_run
  check "$name" cmp -s run/mine $f
  check "$name" earlier_kept
  check "$name" said run/next.log "lib1/os.csv holds another file by now"
fi

# A name the killed run made, edited in place since: the user's, kept. The
# step is killed as it begins to place lib2's files, lib1/fresh.* placed.
name="a new name edited in place after the kill"
fresh
# (strace -P names the folder: the renames name their files relative to it.)
(cd run && strace -f -qq -o /dev/null -P "$work/run/files/lib2" -e trace=renameat2 \
  -e inject=renameat2:signal=KILL:when=1 "$korvante" fresh.vyr --out files/out >/dev/null 2>&1) 2>/dev/null
check "$name" test $? = 137
check "$name" test -f run/files/lib1/fresh.attr -a -f run/files/lib1/fresh.csv
echo "1,1" >>run/files/lib1/fresh.csv
cp run/files/lib1/fresh.csv run/mine
next_run
check "$name" test $? = 0
check "$name" cmp -s run/mine run/files/lib1/fresh.csv
check "$name" test ! -e run/files/lib1/fresh.attr
check "$name" no_hidden

# Files edited in place while the step's placing is taken back (the step
# stopped as lib2/ot.attr is placed, its last rename failing), where the
# file system cannot swap two files: a name that had an earlier file, and a
# name the step made, each keep the user's file.
name="files edited in place while the placing is taken back ($noswap)"
fresh
rm -f "$work/trace"
(cd run && exec env $noswap KORV_FAIL_PLACE=9 strace -f -qq -o "$work/trace" -P "$work/run/files/lib2" \
  -e trace=renameat2 -e inject=renameat2:signal=STOP:when=1 "$korvante" fresh.vyr --out files/out --log k.log \
  >/dev/null 2>&1) &
a=$!
stopped_in "$work/trace"
check "$name" test -n "$stopped"
check "$name" test -f run/files/lib1/fresh.csv
echo "1,1" >>run/files/lib1/fresh.csv
echo "mine" >>run/files/lib2/ot.attr
cp run/files/lib1/fresh.csv run/mine.csv
cp run/files/lib2/ot.attr run/mine.attr
kill -CONT "$stopped" 2>/dev/null || kill -KILL $a
wait $a
check "$name" test $? = 1
check "$name" cmp -s run/mine.csv run/files/lib1/fresh.csv
check "$name" cmp -s run/mine.attr run/files/lib2/ot.attr
check "$name" cmp -s first/files/lib2/ot.attr run/files/lib2/.korvante-*.tmp/earlier-ot.attr
check "$name" said run/k.log "found holding another run's file, which stays as it is"

# A reader of a data set whose half-placed file the user wrote again since
# the kill (its earlier attribute file, in place): no warning about the
# killed run.
name="a reader of a data set written again after the kill"
fresh
killed_at 7
check "$name" test $? = 137
cat first/files/lib1/os.attr >run/files/lib1/os.attr
(cd run && "$korvante" reads.vyr --out rout --log reads.log >/dev/null 2>&1)
check "$name" test $? = 0
check "$name" lacks run/reads.log "still hold(s) that run's new file"

# A record of the user's own with a line no run writes, holding an escape
# sequence: the warning quotes it escaped, and the step ends with 4.
name="a record line with a control character"
fresh
H=run/files/lib1/.korvante-step.korv-00000000000000bb.tmp
mkdir -m 700 $H
printf 'korvante placing record 2\nrun 99999 1700000000 /x/p.vyr\nfile 1 2 3 4 5 7 - ../os\033[31m.csv\n' >$H/placing
cp $H/placing run/record
(cd run && "$korvante" p.vyr --out files/out --log k.log >/dev/null 2>&1)
check "$name" test $? = 0
check "$name" said run/k.log 'holds a line that no run writes (line 3: file 1 2 3 4 5 7 - ../os\x1B[31m.csv)'
check "$name" lacks run/k.log $'\e'
check "$name" said run/k.log "PROC KORVANTE ended with return code 4"
check "$name" cmp -s run/record $H/placing

# ---------------------------------------------------------------------------
# A folder made at a data set's name, where the file system cannot swap two
# files: the step fails with "Is a directory", places nothing, and the
# folder stays with what it holds.
folder_at() { rm run/files/lib1/os.csv && mkdir run/files/lib1/os.csv && echo mine >run/files/lib1/os.csv/keep; }
folder_failed() { # NAME STATUS
  check "$1" test "$2" = 1
  check "$1" said run/k.log "os.csv (the output data set L1.OS) could not be put in place: Is a directory"
  check "$1" test "$(cat run/files/lib1/os.csv/keep 2>/dev/null)" = mine
  check "$1" diff -r -x os.csv -x '.korvante*.lock' first/files run/files
  check "$1" no_hidden
}
# Made before the name is looked at (the run stopped as its placing begins):
# the folder is never moved, not even aside and back (its change time
# stays).
for mode in "$noswap" "$noswap KORV_NO_LINKS=1"; do
  name="a folder at a data set's name before the look ($mode)"
  fresh
  # shellcheck disable=SC2086
  (cd run && exec env $mode KORV_STOP_BEFORE_PLACING=1 "$korvante" p.vyr --out files/out --log k.log \
    >/dev/null 2>&1) &
  k=$!
  for _ in $(seq 1 500); do
    s=$(awk '{ print $3 }' "/proc/$k/stat" 2>/dev/null)
    [ "$s" = T ] && break
    sleep 0.02
  done
  check "$name" test "$s" = T
  folder_at
  was=$(stat -c '%i %.9Z' run/files/lib1/os.csv)
  kill -CONT $k
  wait $k
  folder_failed "$name" $?
  check "$name" test "$(stat -c '%i %.9Z' run/files/lib1/os.csv)" = "$was"
done
# Made between the look and the move: strace stops the run as the look at
# os.csv returns (the stats in its folder counted in a run without the
# folder made: the calls name os.csv relative to the folder, which strace -P
# names), the folder is made, and the run goes on.
target=$work/run/files/lib1
for mode in "$noswap" "$noswap KORV_NO_LINKS=1"; do
  name="a folder at a data set's name between the look and the move ($mode)"
  fresh
  # shellcheck disable=SC2086
  (cd run && env $mode strace -f -qq -o "$work/trace" -P "$target" -e trace=newfstatat,link,linkat,renameat2 \
    "$korvante" p.vyr --out files/out --log k.log >/dev/null 2>&1)
  n=$(awk '/^[0-9]+ +(linkat|renameat2)\([0-9]+, "os\.csv"/ { exit }
    /newfstatat\(/ { n++ } END { print n }' "$work/trace")
  check "$name" test -n "$n"
  fresh
  rm -f "$work/trace"
  # shellcheck disable=SC2086
  (cd run && exec env $mode strace -f -qq -o "$work/trace" -P "$target" -e trace=newfstatat,link,linkat,renameat2 \
    -e inject=newfstatat:signal=STOP:when="${n:-1}" "$korvante" p.vyr --out files/out --log k.log \
    >/dev/null 2>&1) &
  a=$!
  stopped_in "$work/trace"
  check "$name" test -n "$stopped"
  folder_at
  kill -CONT "$stopped" 2>/dev/null || kill -KILL $a
  wait $a
  folder_failed "$name" $?
  # The run did go on to move the name (the folder, moved straight back).
  check "$name" grep -Eq 'renameat2\([0-9]+, "os\.csv"' "$work/trace"
done

# ---------------------------------------------------------------------------
# Two users in folders others may write (needs root, to act as them).
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "skipped: the cases of two users (needs root, to act as them, and setpriv)"
  report
  exit $?
fi
for_others
victim=60001
other=60002
# t/shared: the sticky folder all users share; t/team: a folder any user
# may write without the sticky bit (where the kernel follows any link, even
# with fs.protected_symlinks set).
mkdir -p t/shared t/team t/private t/out-v t/out-r
chmod 755 t
chmod 1777 t/shared
chmod 777 t/team
chown $victim:$victim t/private t/out-v
chmod 700 t/private
cp "$root/examples/aml.csv" t/aml.csv
chmod 644 t/aml.csv
prog() { # NAME FOLDER DATASET
  printf "libname k '%s';\nproc korvante data=aml outsurv=k.%s notable;\n  time time*status(0);\nrun;\n" "$2" "$3" >"t/$1"
  chmod 644 "t/$1"
}
# runs UID PROGRAM OUT: a run of UID's, its log at t/OUT/run.log.
runs() {
  (cd t && timeout 20 setpriv --reuid="$1" --regid="$1" --clear-groups \
    "$korvante" "$2" --out "$3" --log "$3/run.log" >/dev/null 2>&1)
}
# Every file and folder of FOLDER but the runs' own data sets: path, owner,
# inode, mode and checksum.
state() {
  find "$1" -mindepth 1 ! -name 'from*' ! -name '.korvante*.lock' -printf '%p %U %i %m %y ' \
    \( -type f -exec md5sum {} \; -o -printf '\n' \) | awk '{ print $1, $2, $3, $4, $5, $6 }' | sort
}

# A hidden folder of numbered files without a record, named like a run's,
# that another user made in the sticky folder: a run of the victim's and one
# of root's (who could remove it) leave it and its files.
name="another user's hidden folder of numbered files"
prog victim.vyr shared fromvictim
prog root.vyr shared fromroot
H=t/shared/.korvante-file.korv-00000000000000c1.tmp
as $other mkdir -m 755 $H
echo "another user's file" | as $other tee $H/1 $H/2 >/dev/null
for who in $victim 0; do
  p=victim.vyr o=out-v
  [ "$who" = 0 ] && p=root.vyr o=out-r
  state t/shared >before
  runs "$who" $p $o
  check "$name (uid $who)" test $? = 0
  state t/shared >after
  check "$name (uid $who)" cmp -s before after
  check "$name (uid $who)" said t/$o/run.log "is left as it is"
done

# A symbolic link named like a hidden folder, planted by another user,
# leading to a folder of the victim's that holds numbered files: the
# victim's sweep does not follow it.
name="a link named like a hidden folder"
mkdir -m 700 t/private/keep
echo "the victim's first file" >t/private/keep/1
echo "the victim's second file" >t/private/keep/2
chown -R $victim:$victim t/private/keep
chmod 600 t/private/keep/*
as $other ln -s ../private/keep t/team/.korvante-file.korv-00000000000000c3.tmp
prog team.vyr team fromvictim
state t/private >before
runs $victim team.vyr out-v
check "$name" test $? = 0
state t/private >after
check "$name" cmp -s before after
check "$name" test -L t/team/.korvante-file.korv-00000000000000c3.tmp

report

#!/usr/bin/env bash
# A run trusts only what its own user wrote. In a folder that any user may
# write (mode 1777, as shared folders are), another user plants hidden
# folders and records named like a run's: a record naming the victim's data
# set, records whose targets lead elsewhere (../, an absolute path), a
# numbered file to be swapped in, records that are links, pipes or huge
# files, and the victim's own hidden folder made writable by others. After a
# run of the victim's and a run of root's, every file is byte-identical,
# with the same owner and inode, and each run ends in seconds. A step killed
# while placing is still put back by its owner's next run (not by root's).
# Also, without other users: a data set written again after a kill, in place
# or made anew, is kept (its earlier file beside it); a run that only reads
# a data set a killed run left half placed is warned, naming it.
# Usage: shared_folder.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: shared_folder.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
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

# ---------------------------------------------------------------------------
# A data set written again by its user after a kill is the user's: it stays.
step_in "$work/first"
(cd first && "$korvante" p.vyr --out files/out >/dev/null 2>&1) || fail setup "the first run failed"
other_numbers "$work/first"
next_programs first
fresh() { rm -rf run && cp -a first run; }
# killed_at N: the step killed as its Nth rename begins (7: the graphs and
# lib1/os.attr placed, 8: lib1/os.csv too).
killed_at() {
  (cd run && strace -f -qq -o /dev/null -e trace=renameat2 -e inject=renameat2:signal=KILL:when="$1" \
    "$korvante" p.vyr --out files/out >/dev/null 2>&1) 2>/dev/null
}
differs() { ! cmp -s "$1" "$2"; }
earlier_kept() { cmp -s first/files/lib1/os.csv run/files/lib1/.korvante-*.tmp/earlier-os.csv; }

fresh
killed_at 8
printf 'time,status\n1,1\n' >run/files/lib1/os.csv.new
ino=$(stat -c %i run/files/lib1/os.csv)
cat run/files/lib1/os.csv.new >run/files/lib1/os.csv # in place: the same inode
(cd run && "$korvante" next.vyr --out files/out --log next.log >/dev/null 2>&1)
check "written again in place" cmp -s run/files/lib1/os.csv run/files/lib1/os.csv.new
check "written again in place" test "$(stat -c %i run/files/lib1/os.csv)" = "$ino"
check "written again in place" earlier_kept
check "written again in place" said run/next.log "lib1/os.csv holds another file by now"
check "written again in place" cmp -s first/files/lib2/ot.csv run/files/lib2/ot.csv

fresh
killed_at 8
ino=$(stat -c %i run/files/lib1/os.csv)
rm run/files/lib1/os.csv
printf 'time,status\n2,0\n' >run/files/lib1/os.csv # made anew (ext4 hands out the inode again)
[ "$(stat -c %i run/files/lib1/os.csv)" = "$ino" ] || echo "note: the new file did not get the freed inode"
cp run/files/lib1/os.csv run/mine
(cd run && "$korvante" next.vyr --out files/out --log next.log >/dev/null 2>&1)
check "made anew" cmp -s run/files/lib1/os.csv run/mine
check "made anew" earlier_kept

# A reader of the half-placed data set is told, and changes nothing.
fresh
killed_at 7
find run/files -type f ! -name '*.lock' -exec md5sum {} + | sort >run/before
(cd run && "$korvante" reads.vyr --out rout --log reads.log >/dev/null 2>&1)
check "a reader of a half-placed data set" test $? = 0
check "a reader of a half-placed data set" said run/reads.log "files/lib1/os.attr still hold(s) that run's new file"
find run/files -type f ! -name '*.lock' -exec md5sum {} + | sort >run/after
check "a reader of a half-placed data set" cmp -s run/before run/after

# A graph's name that is a link into a sub-folder: its file is staged and
# placed there, and a kill after it is placed is put back there.
fresh
g=run/files/out/graphs
mkdir "$g/sub" && echo "kept" >"$g/sub/keep.svg" && ln -sf sub/keep.svg "$g/ByGroup1.Stratum1.SurvivalPlot.svg"
killed_at 2
check "a graph linked into a sub-folder, killed" test -L "$g/ByGroup1.Stratum1.SurvivalPlot.svg"
check "a graph linked into a sub-folder, killed" lacks "$g/sub/keep.svg" "kept"
(cd run && "$korvante" p.vyr --out files/out --log again.log >/dev/null 2>&1)
check "a graph linked into a sub-folder, then the next run" said run/again.log "the earlier file of files/out/graphs/sub/keep.svg was put back"
check "a graph linked into a sub-folder, then the next run" test -L "$g/ByGroup1.Stratum1.SurvivalPlot.svg"
check "a graph linked into a sub-folder, then the next run" test -z "$(find run/files -name '.korvante-*.tmp')"

# ---------------------------------------------------------------------------
# Two users in a shared folder (needs root, to act as them).
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "skipped: the cases of two users (needs root, to act as them, and setpriv)"
  report
  exit $?
fi
for_others
victim=60001
other=60002
mkdir -p t/shared t/private t/out-v t/out-r
chmod 755 t
chmod 1777 t/shared
chown $victim:$victim t/private t/out-v
chmod 700 t/private
echo "the victim's thesis" >t/private/thesis.txt
chown $victim:$victim t/private/thesis.txt
chmod 600 t/private/thesis.txt
echo "root's own file" >t/rootfile
cp "$root/examples/aml.csv" t/aml.csv
chmod 644 t/aml.csv
prog() { # NAME DATASET
  printf "libname k 'shared';\nproc korvante data=aml outsurv=k.%s notable;\n  time time*status(0);\nrun;\n" "$2" >"t/$1"
}
prog mine.vyr mine
prog victim.vyr fromvictim
prog root.vyr fromroot
chmod 644 t/*.vyr
(cd t && as $victim "$korvante" mine.vyr --out out-v >/dev/null 2>&1) || fail setup "the victim's first run failed"

# Every file but the runs' own new data sets and lock files (of the folder,
# and of the user's own hidden folders): path, owner, inode, mode and
# checksum.
state() {
  find t -path t/out-v -prune -o -path t/out-r -prune -o -type f \
    ! -name 'from*' ! -name '.korvante*.lock' ! -path '*/.korvante-*.tmp/lock' ! -name '*.log' \
    -size -100M -printf '%p %U %i %m ' -exec md5sum {} \; |
    awk '{ print $1, $2, $3, $4, $5 }' | sort
}
# The identity a record gives a file: device, inode, size, time.
ident() { stat -c '%d %i %s %.9Y' "$1" | tr . ' '; }
H=t/shared/.korvante-step.korv-00000000000000aa.tmp
plant() { # FOLDER-MODE RECORD-TEXT: another user's hidden folder and record
  as $other mkdir -m "$1" "$H"
  printf '%b' "$2" | as $other tee "$H/placing" >/dev/null
}
header='korvante placing record 2\nrun 99999 1700000000 /x/evil\\033[31m.vyr\n'
# trial NAME SAYS: runs of the victim's and of root's leave every file as it
# was, end in seconds with status 0, and say SAYS; then the plant goes.
trial() {
  local name=$1 says=$2 rc
  state >before
  for who in $victim 0; do
    local p=victim.vyr o=out-v
    [ "$who" = 0 ] && p=root.vyr o=out-r
    (cd t && timeout 20 setpriv --reuid=$who --regid=$who --clear-groups \
      "$korvante" "$p" --out "$o" --log "$o/run.log" >/dev/null 2>&1)
    rc=$?
    check "$name (uid $who)" test $rc = 0
    state >after
    check "$name (uid $who)" cmp -s before after
    check "$name (uid $who)" said "t/$o/run.log" "$says"
    check "$name (uid $who)" lacks "t/$o/run.log" "was stopped while it put"
  done
  rm -rf "$H"
}
untrusted="is left as it is"
mine=$(ident t/shared/mine.csv)
plant 755 "$header""file $mine 1 - mine.csv\n"
trial "a planted record naming a data set" "$untrusted"
plant 755 "${header/record 2/record 1}""file ${mine%% * * *} 1 - mine.csv\n"
trial "a planted record of the older form" "$untrusted"
plant 755 "$header""file $(ident t/private/thesis.txt) 1 - ../private/thesis.txt\n"
trial "a ../ target" "$untrusted"
plant 755 "$header""file $(ident t/rootfile) 1 - $work/t/rootfile\n"
trial "an absolute target" "$untrusted"
plant 755 "$header""file 1 1 1 1 1 7 5 mine.csv\n"
echo "another user's content" | as $other tee "$H/5" >/dev/null
trial "a planted numbered file" "$untrusted"
# The victim's own hidden folder, left by a killed run, made writable by
# others: another user adds a numbered file, which the victim's record,
# were it trusted, would swap in at mine.csv.
mkdir -m 777 "$H"
printf '%b' "$header""file $mine 7 5 mine.csv\n" >"$H/placing"
chown $victim:$victim "$H" "$H/placing"
chmod 777 "$H"
echo "another user's content" | as $other tee "$H/5" >/dev/null
trial "the victim's hidden folder, made writable by others" "$untrusted"

# Records that are not plain files of the run's user, each in a hidden
# folder of the user's own (the victim's, then root's).
for who in $victim 0; do
  p=victim.vyr o=out-v
  [ $who = 0 ] && p=root.vyr o=out-r
  bad() { # NAME: the record at $H/placing is made; the run leaves all as it was
    chown $who:$who "$H"
    chmod 700 "$H"
    state >before
    (cd t && timeout 20 setpriv --reuid=$who --regid=$who --clear-groups \
      "$korvante" "$p" --out "$o" --log "$o/run.log" >/dev/null 2>&1)
    local rc=$?
    check "$1 (uid $who)" test $rc = 0
    state >after
    check "$1 (uid $who)" cmp -s before after
    check "$1 (uid $who)" said "t/$o/run.log" "$untrusted"
    check "$1 (uid $who)" test -e "$H/placing" -o -L "$H/placing"
    rm -rf "$H"
  }
  text="korvante placing record 2\nrun 99999 1700000000 /x/p.vyr\nfile $mine 1 - mine.csv\n"
  mkdir "$H" && printf '%b' "$text" >t/elsewhere && chown $who t/elsewhere && ln -s ../../elsewhere "$H/placing"
  bad "a record that is a symbolic link"
  mkdir "$H" && mkfifo "$H/placing" && chown $who "$H/placing"
  bad "a record that is a named pipe"
  mkdir "$H" && printf '%b' "$text" >"$H/placing" && truncate -s 3G "$H/placing" && chown $who "$H/placing"
  bad "a huge sparse record"
  mkdir "$H" && printf '%b' "$text" >"$H/placing" && chown $other "$H/placing"
  bad "a record of another user"
  mkdir "$H" && printf '%b' "$text" >"$H/placing" && chown $who "$H/placing" && ln "$H/placing" "$H/9"
  bad "a record with two names"
  mkdir "$H" && printf '%b' "korvante placing record 2\nrun 99999 1700000000 /x/p.vyr\nfile $mine 1 - ../mine.csv\n" >"$H/placing" &&
    chown $who "$H/placing"
  chown $who:$who "$H" && chmod 700 "$H"
  state >before
  (cd t && timeout 20 setpriv --reuid=$who --regid=$who --clear-groups \
    "$korvante" "$p" --out "$o" --log "$o/run.log" >/dev/null 2>&1)
  check "a record with a line no run writes (uid $who)" test $? = 0
  state >after
  check "a record with a line no run writes (uid $who)" cmp -s before after
  check "a record with a line no run writes (uid $who)" said "t/$o/run.log" "holds a line that no run writes"
  rm -rf "$H"
done

# The victim's step killed while placing into the shared folder (other
# numbers into mine, a new data set mine2; killed with mine's pair and
# mine2.attr placed, a new name: two renames each): root's run leaves it all; the victim's next run puts
# it back.
head -15 t/aml.csv >t/aml2.csv
# (its name holds an escape sequence, which the warning shows escaped)
killed=$'t/kill\e[31m.vyr'
printf "libname k 'shared';\nproc korvante data=aml2 outsurv=k.mine outtest=k.mine2 plots=none notable;\n  time time*status(0);\n  strata x;\nrun;\n" >"$killed"
chmod 644 t/aml2.csv "$killed"
cp -a t/shared/mine.csv t/mine.before
(cd t && as $victim strace -f -qq -o /dev/null -e trace=renameat2 -e inject=renameat2:signal=KILL:when=5 \
  "$korvante" "${killed#t/}" --out out-v >/dev/null 2>&1) 2>/dev/null
check "a killed step of the victim's" test $? = 137
check "a killed step of the victim's" test -e t/shared/mine2.attr
check "a killed step of the victim's" differs t/mine.before t/shared/mine.csv
state >before
(cd t && "$korvante" root.vyr --out out-r --log out-r/run.log >/dev/null 2>&1)
state >after
check "a killed step of the victim's, then root's run" cmp -s before after
check "a killed step of the victim's, then root's run" said t/out-r/run.log "$untrusted"
check "a killed step of the victim's, then root's run" lacks t/out-r/run.log "was stopped while it put"
(cd t && as $victim "$korvante" victim.vyr --out out-v --log out-v/run.log >/dev/null 2>&1)
check "a killed step of the victim's, then the victim's run" said t/out-v/run.log "was stopped while it put"
check "a killed step of the victim's, then the victim's run" said t/out-v/run.log 'kill\x1B[31m.vyr'
check "a killed step of the victim's, then the victim's run" lacks t/out-v/run.log $'\e'
check "a killed step of the victim's, then the victim's run" cmp -s t/mine.before t/shared/mine.csv
check "a killed step of the victim's, then the victim's run" test ! -e t/shared/mine2.attr
check "a killed step of the victim's, then the victim's run" test -z "$(find t/shared -name '.korvante-*.tmp')"

report

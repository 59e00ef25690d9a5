#!/usr/bin/env bash
# A step's files (its graph files, its data sets in two library folders) are
# put in place all together or not at all. Each case runs a step over
# earlier files of the same names and checks that a step that fails leaves
# every one of them as it was, and no temporary folder anywhere:
#   - a shared folder with the sticky bit, written by two users;
#   - a rename that fails at the first, a middle and the last file placed,
#     also where the file system cannot swap two files, and with a signal
#     that waits for the placing;
#   - a rename that fails, whose undo fails too: the earlier file is kept,
#     and the log says where;
#   - a file that cannot be renamed over (a mount point);
#   - a library folder moved aside and made anew while the step runs;
#   - a graph file's name made a link out of its folder while the step runs;
#   - a data set's file made a link to the program;
#   - two signals while the files are renamed: both wait, all are placed;
#   - a folder made at a data set's name while the step runs: never swapped
#     in, never moved aside;
#   - another run placing the same graphs while this one's placing is taken
#     back: the other run's graphs stay (also where the file system cannot
#     swap two files);
#   - a file put at a new name of the step while its placing is taken back:
#     it stays.
# The cases that need another user or a mount (a sticky folder, a mount
# point, a folder made read-only meanwhile) run alone, named by the second
# argument, and end with status 77 (skipped) where they cannot run here.
# Usage: step_files.sh PATH/TO/korvante [sticky|mount|unwritable]
set -uo pipefail
korvante=$(realpath "${1:?usage: step_files.sh PATH/TO/korvante [sticky|mount|unwritable]}")
only=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'umount "$work/run/files/lib1/os.csv" 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
. "$here/checks.sh"
. "$here/placing_setup.sh"
last_line_says() { tail -n 1 "$1" | grep -qF -- "$2"; }
no_temp() { test -z "$(find "$work/run" -name '*.tmp')"; }
as_before() { diff -r "$work/before" "$work/run/files"; }

# The step's earlier files, as a first run left them, and the data and
# program of the run that replaces them.
fresh() {
  rm -rf "$work/run" "$work/before"
  step_in "$work/run"
  (cd "$work/run" && "$korvante" p.vyr --out files/out >/dev/null 2>&1) || fail "setup" "the first run failed"
  cp -r "$work/run/files" "$work/before"
  # The step may run as another user, who then owns the files.
  [ -z "${owner:-}" ] || chown -R "$owner" "$work/run"
  other_numbers "$work/run"
}
run() { # ENV-ASSIGNMENTS... : runs the step in run/, the log in run/k.log
  (cd "$work/run" && env "$@" "$korvante" p.vyr --out files/out --log k.log >/dev/null 2>&1) 2>/dev/null
}

cd "$work" || exit 1
# meanwhile NAME COMMAND...: runs the step, stopped once two of its files
# are staged (as a user's Ctrl-Z stops it), does COMMAND meanwhile, then lets
# it go on; its status in $s ("" when it never stopped). ${as[@]} starts it
# as another user, ${extra[@]} adds to its environment, $stop says when it
# stops.
as=()
extra=()
stop=KORV_SIGNAL_AFTER_STAGED=2,STOP
meanwhile() {
  local name=$1 k
  shift
  fresh
  (cd run && exec "${as[@]}" env "$stop" "${extra[@]}" "$korvante" p.vyr \
    --out files/out --log k.log >/dev/null 2>&1) &
  k=$!
  s=
  for _ in $(seq 1 200); do
    if [ "$(awk '{ print $3 }' "/proc/$k/stat" 2>/dev/null)" = T ]; then
      "$@"
      kill -CONT $k
      wait $k
      s=$?
      break
    fi
    sleep 0.02
  done
  [ -n "$s" ] || { kill -KILL $k; fail "$name" "the run did not stop"; }
  check "$name" test "$s" = 1
}
skip() {
  echo "skipped: $1"
  exit 77
}
# Whether runs of other users can be started here (as root, with setpriv).
other_users() { [ "$(id -u)" = 0 ] && setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; }
# Why they cannot, for a case skipped.
no_others() {
  if [ "$(id -u)" != 0 ]; then echo "needs root, to act as other users"; else echo "cannot run as other users here"; fi
}

case $only in
"")

# A rename that fails at the first, a middle or the last file: every file
# placed before it goes back, and the one error line names the file. Also
# where the file system cannot swap two files (the earlier file is linked
# aside first), and with a signal during the placing, which waits for the
# undo: the log's last line then says that no file was put in place.
for at in 1 5 9 "9 KORV_NO_EXCHANGE=1" "7 KORV_SIGNAL_AFTER_PLACED=2"; do
  fresh
  run KORV_FAIL_PLACE=$at
  s=$?
  case $at in
    *SIGNAL*)
      check "a rename failing at file $at" test "$s" = 143
      check "a rename failing at file $at" last_line_says run/k.log "the step failed, none of its files were put in place"
      ;;
    *) check "a rename failing at file $at" test "$s" = 1 ;;
  esac
  check "a rename failing at file $at" said run/k.log "None of the step's files were put in place"
  check "a rename failing at file $at" test "$(grep -c '^ERROR: The file' run/k.log)" = 1
  check "a rename failing at file $at" as_before
  check "a rename failing at file $at" no_temp
done

# An undo that fails too: the error says which name holds the new file and
# where its earlier file is kept, which is never removed.
fresh
run KORV_FAIL_PLACE=8 KORV_FAIL_UNDO=1
s=$?
kept=$(find run/files/lib1 -name 'earlier-os.csv')
check "an undo that fails" test "$s" = 1
check "an undo that fails" said run/k.log "Putting the step's files back failed too"
check "an undo that fails" said run/k.log "is kept at $PWD/$kept"
check "an undo that fails" cmp -s "$kept" before/lib1/os.csv
check "an undo that fails" test -n "$(cmp before/lib1/os.csv run/files/lib1/os.csv)"
check "an undo that fails" diff -r before/out run/files/out
check "an undo that fails" cmp -s before/lib1/os.attr run/files/lib1/os.attr

# Two signals while the files are renamed: both wait until all are in place.
fresh
run KORV_SIGNAL_AFTER_PLACED=1,2
s=$?
check "two signals during the renames" test "$s" = 143
check "two signals during the renames" last_line_says run/k.log "the step had finished, and its files were put in place"
check "two signals during the renames" test -n "$(diff -rq before run/files)"
check "two signals during the renames" test -z "$(diff -rq -x '*.svg' -x '*.lock' before/out run/files/out)"
check "two signals during the renames" test -n "$(cmp before/lib1/os.csv run/files/lib1/os.csv)"
check "two signals during the renames" no_temp

# A library folder moved aside and made anew while the step runs: its data
# set's files went with the old folder, so the step fails with nothing
# placed and no temporary folder left in either.
move_lib2() { mv run/files/lib2 run/lib2.old && mkdir run/files/lib2; }
meanwhile "a folder moved during the step" move_lib2
check "a folder moved during the step" said run/k.log "was moved or replaced while the step ran"
check "a folder moved during the step" diff -r before/lib2 run/lib2.old
check "a folder moved during the step" test -z "$(ls -A run/files/lib2)"
rmdir run/files/lib2 && mv run/lib2.old run/files/lib2
check "a folder moved during the step" as_before
check "a folder moved during the step" no_temp

# A graph file's name made a link out of its folder while the step runs: the
# name is checked again before anything is placed.
echo victim >"$work/victim.svg"
plant_link() { ln -sf "$work/victim.svg" run/files/out/graphs/ByGroup1.Stratum1.SurvivalPlot.svg; }
meanwhile "a graph's name made a link meanwhile" plant_link
check "a graph's name made a link meanwhile" said run/k.log "which is outside its folder"
check "a graph's name made a link meanwhile" test "$(cat "$work/victim.svg")" = victim
check "a graph's name made a link meanwhile" diff -r before/lib1 run/files/lib1
check "a graph's name made a link meanwhile" no_temp

# A data set's attribute file made a link to the program while the step
# runs (the file is written when the step ends, where the link leads, which
# is out of its library): the program is never written over, and nothing is
# put in place.
link_program() { cp run/p.vyr "$work/program" && ln -sf ../../p.vyr run/files/lib1/os.attr; }
meanwhile "a data set's file linked to the program meanwhile" link_program
check "a data set's file linked to the program meanwhile" said run/k.log "p.vyr, which is outside its library folder"
check "a data set's file linked to the program meanwhile" cmp -s run/p.vyr "$work/program"
check "a data set's file linked to the program meanwhile" diff -r before/out run/files/out
check "a data set's file linked to the program meanwhile" cmp -s before/lib1/os.csv run/files/lib1/os.csv
check "a data set's file linked to the program meanwhile" no_temp

# Few descriptors (ulimit -n): a step that cannot go on says the real cause,
# never "File exists", and leaves every earlier file as it was; one that
# can puts all its files in place. Left out for a sanitized build.
if sanitized; then
  echo "left out: few descriptors (a sanitized build)"
else
  for n in $(seq 5 14); do
    name="ulimit -n $n"
    fresh
    (
      ulimit -n "$n"
      run
    )
    if [ $? = 0 ]; then
      check "$name" test -n "$(cmp before/lib1/os.csv run/files/lib1/os.csv)"
    else
      check "$name" lacks run/k.log "File exists"
      check "$name" lacks run/k.log "no private folder could be made"
      check "$name" as_before
    fi
    check "$name" no_temp
  done
fi

# A folder made at a data set's name while the step runs, empty or not: it
# is never swapped in nor moved aside, whether the file system can swap two
# files (a folder swapped in goes straight back) or not. The step fails with
# "Is a directory", nothing placed, and the folder stays with what it holds.
for mode in "" KORV_NO_EXCHANGE=1 "KORV_NO_EXCHANGE=1 KORV_NO_LINKS=1"; do
  for inside in mine ""; do
    name="a folder made at a data set's name${mode:+ ($mode)}${inside:+, not empty}"
    folder_at_name() {
      rm run/files/lib1/os.csv && mkdir run/files/lib1/os.csv &&
        if [ -n "$inside" ]; then echo "$inside" >run/files/lib1/os.csv/keep; fi
    }
    # shellcheck disable=SC2206
    extra=($mode)
    meanwhile "$name" folder_at_name
    extra=()
    check "$name" said run/k.log "os.csv (the output data set L1.OS) could not be put in place: Is a directory"
    check "$name" test -d run/files/lib1/os.csv
    if [ -n "$inside" ]; then
      check "$name" test "$(cat run/files/lib1/os.csv/keep 2>/dev/null)" = mine
    fi
    check "$name" cmp -s before/lib1/os.attr run/files/lib1/os.attr
    check "$name" diff -r before/lib2 run/files/lib2
    check "$name" diff -r before/out run/files/out
    check "$name" no_temp
  done
done

# Another run puts the same graphs in place while this one is stopped in
# the middle of its placing (strace stops it at its sixth rename), which then
# fails at its last rename: taking its graphs back leaves the other run's,
# and keeps the earlier ones aside, as its warning says. Also where the file
# system cannot swap two files (only the look before each rename guards the
# other run's graphs then).
if command -v strace >/dev/null && strace -f -qq -o /dev/null true 2>/dev/null; then
  for mode in "" KORV_NO_EXCHANGE=1; do
    name="another run's graphs, met while taking back${mode:+ ($mode)}"
    fresh
    sed '/libname/d; s/ outsurv=l1.os outtest=l2.ot//; 1i title "Run B";' run/p.vyr >run/b.vyr
    rm -f "$work/trace"
    # shellcheck disable=SC2086
    (cd run && exec env KORV_FAIL_PLACE=9 $mode strace -f -qq -o "$work/trace" -e trace=renameat2 \
      -e inject=renameat2:signal=STOP:when=6 "$korvante" p.vyr --out files/out --log k.log \
      >/dev/null 2>&1) &
    a=$!
    stopped_in "$work/trace"
    check "$name" test -n "$stopped"
    (cd run && "$korvante" b.vyr --out files/out >/dev/null 2>&1)
    check "$name" test $? = 0
    rm -rf "$work/b.graphs"
    cp -r run/files/out/graphs "$work/b.graphs"
    kill -CONT "$stopped" 2>/dev/null || kill -KILL $a
    wait $a
    check "$name" test $? = 1
    check "$name" said run/k.log "were found holding another run's file, which stays as it is"
    check "$name" diff -r -x '.korvante-step*' "$work/b.graphs" run/files/out/graphs
    for g in 1 2 3 4 5; do
      check "$name" cmp -s before/out/graphs/ByGroup$g.Stratum1.SurvivalPlot.svg \
        run/files/out/graphs/.korvante-step.*/earlier-ByGroup$g.Stratum1.SurvivalPlot.svg
    done
    check "$name" diff -r before/lib1 run/files/lib1
    check "$name" diff -r before/lib2 run/files/lib2
  done

  # A data set of a new name, placed, then taken back when the last rename
  # fails: its name is removed only while it holds the step's own file. The
  # step is stopped as the undo begins (strace stops it at the first rename
  # of the undo, the second naming ot.attr), and another file put at the new
  # name meanwhile; it stays.
  name="a new name taken meanwhile, met while taking back"
  fresh
  sed -i 's/outsurv=l1.os/outsurv=l1.fresh/' run/p.vyr
  (cd run && KORV_FAIL_PLACE=9 strace -f -qq -o "$work/trace" -e trace=renameat2 "$korvante" p.vyr \
    --out files/out >/dev/null 2>&1)
  n=$(grep renameat2 "$work/trace" | grep -n 'ot\.attr"' | sed -n '2s/:.*//p')
  check "$name" test -n "$n"
  (cd run && exec env KORV_FAIL_PLACE=9 strace -f -qq -o "$work/trace" -e trace=renameat2 \
    -e inject=renameat2:signal=STOP:when="${n:-1}" "$korvante" p.vyr --out files/out --log k.log \
    >/dev/null 2>&1) &
  a=$!
  stopped_in "$work/trace"
  check "$name" test -n "$stopped"
  check "$name" test -f run/files/lib1/fresh.csv
  echo mine >run/mine && mv run/mine run/files/lib1/fresh.csv
  kill -CONT "$stopped" 2>/dev/null || kill -KILL $a
  wait $a
  check "$name" test $? = 1
  check "$name" test "$(cat run/files/lib1/fresh.csv)" = mine
  check "$name" diff -r -x fresh.csv before run/files
  check "$name" no_temp
fi
;;
mount)
# A file that cannot be renamed over (a mount point, EBUSY): found only by
# the rename, which the others are then put back from.
fresh
echo other >"$work/other.csv"
if mount --bind "$work/other.csv" run/files/lib1/os.csv 2>/dev/null; then
  run
  s=$?
  umount run/files/lib1/os.csv
  check "a file that cannot be renamed over" test "$s" = 1
  check "a file that cannot be renamed over" said run/k.log "os.csv (the output data set L1.OS) could not be put in place: Device or resource busy"
  check "a file that cannot be renamed over" as_before
  check "a file that cannot be renamed over" no_temp
elif [ "$(id -u)" != 0 ]; then
  skip "a file that cannot be renamed over (needs root, for a bind mount)"
else
  skip "a file that cannot be renamed over (no bind mount here)"
fi

;;
sticky)
# A shared folder with the sticky bit: one user's run wrote a data set there;
# another user's step that would replace it fails before anything is put in
# place, its own earlier graph kept.
other_users || skip "a sticky folder written by two users ($(no_others))"
rm -rf "$work/st" && mkdir -p "$work/st"
cp "$korvante" "$work/st/korvante"
cp "$root/examples/aml.csv" "$work/st/aml.csv"
mkdir -m 1777 "$work/st/shared"
mkdir -m 777 "$work/st/out1" "$work/st/out2"
cat >"$work/st/p.vyr" <<'EOF'
libname keep 'shared';
proc korvante data=aml plots=(s) outsurv=keep.os notable;
time time*status(0);
run;
EOF
sed 's/keep.os/mine/; 1a title "Earlier";' "$work/st/p.vyr" >"$work/st/p0.vyr"
chmod 755 "$work" "$work/st" "$work/st/korvante"
chmod 644 "$work/st/aml.csv" "$work/st/p.vyr" "$work/st/p0.vyr"
first=(setpriv --reuid=1234 --regid=1234 --clear-groups)
second=(setpriv --reuid=65534 --regid=65534 --clear-groups)
(cd st && "${second[@]}" ./korvante p0.vyr --out out2 >/dev/null 2>&1)
(cd st && "${first[@]}" ./korvante p.vyr --out out1 >/dev/null 2>&1)
cp -r st/shared "$work/shared.before"
cp -r st/out2 "$work/out2.before"
(cd st && "${second[@]}" ./korvante p.vyr --out out2 >/dev/null 2>"$work/err")
s=$?
check "a sticky folder written by two users" test "$s" = 1
check "a sticky folder written by two users" said "$work/err" "has the sticky bit set"
check "a sticky folder written by two users" said "$work/err" "None of the step's files were put in place"
check "a sticky folder written by two users" diff -r "$work/shared.before" st/shared
check "a sticky folder written by two users" diff -r "$work/out2.before" st/out2
check "a sticky folder written by two users" test -z "$(find st -name '*.tmp')"

;;
unwritable)
# A library folder made read-only while the step runs, for a user who is
# not root (root may write any folder): found before anything is put in
# place, and said. The step runs as the script's user, or as the user
# nobody when that is root, who reads aml.csv from a copy it can reach.
aml_folder=$root/examples
if [ "$(id -u)" = 0 ]; then
  other_users || skip "a folder made read-only meanwhile ($(no_others))"
  for_others 65534
  aml_folder=$for_others
  owner=65534:65534
  as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
# Stopped once its data sets are complete too, as the placing begins.
stop=KORV_STOP_BEFORE_PLACING=1
name="a folder made read-only meanwhile"
read_only() { chmod 555 run/files/lib1; }
meanwhile "$name" read_only
chmod 755 run/files/lib1
check "$name" said run/k.log "files/lib1 may not be written (Permission denied)"
check "$name" said run/k.log "None of the step's files were put in place"
check "$name" diff -r -x '.korvante-file.*' before run/files
# The run could remove nothing in the read-only folder: what it left there
# is its own new files alone, which the next run's sweep removes.
check "$name" test -z "$(find run/files/lib1/.korvante-file.* -type f ! -name '[0-9]')"
# An --out folder the user may not write (0555): the data set's error names
# the folder; the graphs' folder cannot be made, and without --html the
# error says that no file keeps the graphs.
name="an --out folder the user may not write"
mkdir -m 777 ro && mkdir -m 555 ro/out
printf "proc korvante data=aml outsurv=s plots=survival notable;\n  time time*status(0);\nrun;\n" >ro/d.vyr
printf "proc korvante data=aml plots=survival notable;\n  time time*status(0);\nrun;\n" >ro/g.vyr
(cd ro && "${as[@]}" "$korvante" d.vyr --data "$aml_folder" --out out --log d.log >/dev/null 2>&1)
check "$name: the data set's error" said ro/d.log "could not be written: nothing could be made in its folder out (Permission denied)"
(cd ro && "${as[@]}" "$korvante" g.vyr --data "$aml_folder" --out out --log g.log >/dev/null 2>&1)
check "$name: the graphs' error" said ro/g.log "no file keeps the graphs (no HTML page was asked for)"
;;
*)
  echo "unknown case $only"
  exit 2
  ;;
esac

report

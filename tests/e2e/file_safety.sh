#!/usr/bin/env bash
# Runs korvante on copies of the bundled data where a user's files are at
# stake, and checks that none of them is written over or waited on forever:
#   - the listing, log, HTML or JSON file named as the step's input CSV;
#   - the same through a LIBNAME folder, known only while the run goes on
#     (a log that cannot be put in place goes to standard error whole);
#   - two outputs through a link to a file not made yet;
#   - a link planted at the output folder's lock file (nothing to a run that
#     locks the folder; refused where folders cannot be locked);
#   - a named pipe in place of an input CSV or attribute file;
#   - an attribute file that cannot be read;
#   - a data folder that the run's user may search but not list;
#   - a symbolic link that loops where an output data set goes;
#   - an input name that an earlier run's output in WORK shares;
#   - WORK data sets without --out;
#   - a signal after the steps, between the HTML and JSON files and the
#     listing being put in place;
#   - a listing, log, HTML or JSON file into a folder that does not exist;
#   - names the kernel would refuse (through "nosuch/..", too long);
#   - a log that cannot be written (/dev/full);
#   - a listing that cannot be put in place at the end (standard output);
#   - symbolic links planted at the graphs folder, a graph file, a
#     catalogue folder or a catalogue entry, leading out of their folders;
#   - a link from one graph's name to another graph's file;
#   - an output named as a graph file of the run;
#   - a permanent graphics catalogue written by a second run, by two runs
#     at once, and with a folder at an entry's name;
#   - a catalogue folder another user may not write, and a lock file made
#     under umask 077;
#   - annotations read from the catalogue folder a step draws into, and two
#     runs reading each other's catalogue folders;
#   - a step whose data set cannot be written at its end (its graphs are
#     dropped with it);
#   - a document named as a data set's attribute file not made yet;
#   - four runs at once into one output folder;
#   - a graph that cannot be written, statistical or device;
#   - the graphs of a step that fails;
#   - a signal while a step's graph files are written or put in place, and
#     what a killed run leaves for the next run in the folder;
#   - a signal while a step waits for a library folder's lock, and a lock
#     file that cannot be used: nothing of the step is put in place;
#   - a document named as a data set's file or a catalogue entry of the run.
# Usage: file_safety.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: file_safety.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$here/checks.sh"

# A fresh folder with the program and a copy of aml.csv.
fresh() {
  rm -rf "$work/run"
  mkdir -p "$work/run/out" "$work/run/lib"
  cp "$root/examples/aml.csv" "$work/run/aml.csv"
  cp "$root/examples/aml.csv" "$work/run/lib/aml.csv"
  cat >"$work/run/p.vyr" <<'EOF'
proc korvante data=aml outsurv=s;
  time time*status(0);
  strata x;
run;
EOF
  cat >"$work/run/lib.vyr" <<'EOF'
libname mine 'lib';
proc korvante data=mine.aml;
  time time*status(0);
run;
EOF
}

cd "$work" || exit 1

# An output named as the input CSV: refused before the run, status 2.
for opt in --listing --log --html --json; do
  fresh
  "$korvante" run/p.vyr "$opt" run/aml.csv >/dev/null 2>"$work/err"
  s=$?
  check "$opt on the input" test "$s" = 2
  check "$opt on the input" same_file run/aml.csv "$root/examples/aml.csv"
  check "$opt on the input" said "$work/err" "a data set file in the data folder"
  check "$opt on the input" test ! -e run/out/s.csv
done

# The input is known only while the run goes on (a LIBNAME folder, a link to
# the file): the output is never put in place, and the run fails.
for opt in --listing --log --html --json; do
  fresh
  ln -s lib/aml.csv run/view.csv
  logging=(--log "$work/log")
  [ "$opt" = --log ] && logging=()
  "$korvante" run/lib.vyr "$opt" run/view.csv "${logging[@]}" >/dev/null 2>"$work/err"
  s=$?
  [ "$opt" = --log ] && cp "$work/err" "$work/log"
  check "$opt on a LIBNAME input" test "$s" = 1
  check "$opt on a LIBNAME input" same_file run/lib/aml.csv "$root/examples/aml.csv"
  check "$opt on a LIBNAME input" said "$work/log" "it is a data set this run reads as input"
  check "$opt on a LIBNAME input" test -L run/view.csv
  # The log that is not put in place still reaches standard error whole.
  if [ "$opt" = --log ]; then
    check "--log on a LIBNAME input keeps its text" said "$work/err" "NOTE: The text of the log follows"
    check "--log on a LIBNAME input keeps its text" said "$work/err" "2      proc korvante data=mine.aml;"
    check "--log on a LIBNAME input keeps its text" said "$work/err" "The run ended with errors"
  fi
done

# Two outputs through a link to a file not made yet are one file.
for pair in "--listing --log" "--html --json"; do
  fresh
  read -r a b <<<"$pair"
  ln -s x run/xl
  "$korvante" run/p.vyr "$a" run/x "$b" run/xl >/dev/null 2>"$work/err"
  s=$?
  check "$pair through a dangling link" test "$s" = 2
  check "$pair through a dangling link" said "$work/err" "The options $a and $b both name the file"
  check "$pair through a dangling link" test ! -e run/x
done

# A link planted at a lock's names (a ticket's, an earlier version's lock
# file's) is no lock: never followed, the data set written, the file it
# leads to left as it is.
fresh
echo victim >"$work/victim"
for lock in .korvante-w-0000000000000000.lock .korvante-o.lock; do
  ln -s "$work/victim" "run/out/$lock"
done
"$korvante" run/p.vyr --out run/out --listing run/l.txt --log run/log.txt >/dev/null 2>&1
s=$?
check "planted lock link" test "$s" = 0
check "planted lock link" test -e run/out/s.csv
check "planted lock link" test "$(cat "$work/victim")" = victim
check "planted lock link" test -z "$(find run/out -name '*.tmp')"

# A named pipe in place of the input CSV, or of its attribute file.
for what in csv attr; do
  fresh
  if [ $what = csv ]; then rm run/aml.csv && mkfifo run/aml.csv; else mkfifo run/aml.attr; fi
  timeout 60 "$korvante" run/p.vyr --log run/log.txt >/dev/null 2>&1
  s=$?
  check "a pipe as the $what file" test "$s" = 1
  check "a pipe as the $what file" said run/log.txt "aml.$what could not be read: it is a named pipe, not a regular file"
done

# An attribute file that cannot be read is an error with the reason. Root
# reads every file, so as root the run is made as the user nobody.
fresh
echo "variable x type=char" >run/aml.attr
chmod 000 run/aml.attr
chmod 755 "$work" run run/out
chmod 644 run/aml.csv run/p.vyr
as_user=()
program=$korvante
if [ "$(id -u)" = 0 ]; then
  # The user nobody runs a copy of the program: the build folder's parents
  # may be closed to it.
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  cp "$korvante" "$work/korvante" && chmod 755 "$work/korvante"
  program=$work/korvante
  chmod 777 run/out
fi
if [ "$(id -u)" = 0 ] && ! "${as_user[@]}" true 2>/dev/null; then
  echo "skipped: the unreadable attribute file (cannot run as another user here)"
else
  "${as_user[@]}" "$program" run/p.vyr --out run/out >/dev/null 2>"$work/err"
  s=$?
  check "an unreadable attribute file" test "$s" = 1
  check "an unreadable attribute file" said "$work/err" "aml.attr could not be read: Permission denied"
  check "an unreadable attribute file" test ! -e run/out/s.csv
fi

# A data folder that may be searched but not listed: a data set in it is
# found by its name as written, in lower or in upper case; otherwise the
# error says that the folder cannot be listed. Mode 111 closes the listing
# to the run's user whoever that is: the user nobody when the script runs
# as root, else the folder's owner (for whom 711 would still list).
fresh
chmod 755 "$work" run run/out
chmod 777 run/out
chmod 644 run/aml.csv run/p.vyr
mv run/aml.csv run/AML.csv
chmod 111 run
if [ "$(id -u)" = 0 ] && ! "${as_user[@]}" true 2>/dev/null; then
  echo "skipped: the folder that cannot be listed (cannot run as another user here)"
else
  # The run's user can indeed not list it (else the case proves nothing).
  check "a folder that cannot be listed" test -z "$("${as_user[@]}" ls -a run 2>/dev/null)"
  "${as_user[@]}" "$program" run/p.vyr --out run/out >/dev/null 2>"$work/err"
  s=$?
  check "a folder that cannot be listed" test "$s" = 0
  check "a folder that cannot be listed" test -e run/out/s.csv
  sed 's/data=aml/data=amlx/' run/p.vyr >"$work/px.vyr"
  chmod 644 "$work/px.vyr"
  "${as_user[@]}" "$program" "$work/px.vyr" --data run --out run/out >/dev/null 2>"$work/err"
  s=$?
  check "a folder that cannot be listed" test "$s" = 1
  check "a folder that cannot be listed" said "$work/err" "Data set DATA.AMLX cannot be read: the folder run cannot be listed (Permission denied)"
fi
chmod 755 run

# Without --out, WORK is a temporary folder: the log says once that its
# data sets are not kept.
fresh
sed 's/outsurv=s/outsurv=s outtest=t/' run/p.vyr >run/two.vyr
cat run/p.vyr >>run/two.vyr
"$korvante" run/two.vyr >/dev/null 2>"$work/err"
s=$?
check "WORK data sets without --out" test "$s" = 0
check "WORK data sets without --out" test "$(grep -c "WORK data sets are not kept without --out" "$work/err")" = 1

# A link that loops where an output data set goes is said to loop.
fresh
ln -s s2.csv run/out/s.csv
ln -s s.csv run/out/s2.csv
"$korvante" run/p.vyr --out run/out >/dev/null 2>"$work/err"
s=$?
check "a link loop" test "$s" = 1
check "a link loop" said "$work/err" "leads to run/out/s.csv, a symbolic link that loops"

# A one-level input reads WORK first only for a data set this run made: run
# twice into one output folder, the step reads the data folder's AML again
# (with a note naming the earlier run's), and a later step reads this run's.
fresh
cat >run/twice.vyr <<'EOF'
proc korvante data=aml outsurv=aml notable;
  time time*status(0);
run;
proc korvante data=aml notable;
  time time;
run;
EOF
"$korvante" run/twice.vyr --out run/out >/dev/null 2>"$work/err1"
s1=$?
"$korvante" run/twice.vyr --out run/out >/dev/null 2>"$work/err2"
s2=$?
check "an earlier run's data set in WORK" test "$s1" = 0
check "an earlier run's data set in WORK" test "$s2" = 0
check "an earlier run's data set in WORK" said "$work/err2" "NOTE: The data set AML is read from the data folder (run/aml.csv). The output folder holds a data set of that name too (run/out/aml.csv), made by an earlier run, which is not read; write WORK.AML to read that one."
check "an earlier run's data set in WORK" test "$(grep -c "is read from the data folder" "$work/err2")" = 1
check "an earlier run's data set in WORK" test "$(grep -c "is read from the data folder" "$work/err1")" = 0

# SIGTERM once the HTML and JSON files are in place and the listing is not:
# the log's last line names the files written and the one not written, which
# keeps its earlier content.
fresh
echo "old listing" >run/out/p.lst
KORV_SIGNAL_AFTER_COMMIT=2 "$korvante" run/p.vyr --out run/out --listing run/out/p.lst \
  --log run/out/p.log --html run/out/p.html --json run/out/p.json >/dev/null 2>&1
s=$?
check "a signal after the steps" test "$s" = 143
check "a signal after the steps" said run/out/p.log "ERROR: The run was stopped by the signal SIGTERM while no step was running. Files written in full: run/out/p.html, run/out/p.json. Files not written (an earlier file of each name stays as it was): run/out/p.lst."
check "a signal after the steps" test "$(cat run/out/p.lst)" = "old listing"
check "a signal after the steps" test -s run/out/p.json
check "a signal after the steps" test "$(ls -A run/out | grep -c '\.tmp$')" = 0

# A listing, log, HTML or JSON file into a folder that does not exist:
# refused before the run, which does nothing. The --out folder, which the
# run makes, may hold them.
for opt in --listing --log --html --json; do
  fresh
  "$korvante" run/p.vyr --out run/out "$opt" run/nodir/x >/dev/null 2>"$work/err"
  s=$?
  check "$opt into a missing folder" test "$s" = 2
  check "$opt into a missing folder" said "$work/err" "the folder $work/run/nodir does not exist. Nothing was run."
  check "$opt into a missing folder" test ! -e run/out/s.csv
done
fresh
"$korvante" run/p.vyr --out run/made --listing run/made/l.txt --log run/made/l.log >/dev/null 2>&1
s=$?
check "--listing into the --out folder to be made" test "$s" = 0
check "--listing into the --out folder to be made" said run/made/l.txt "The KORVANTE Procedure"

# Names the kernel would refuse are refused before the run: a name through
# ".." after a folder that does not exist, an --out folder whose name leaves
# no room for the files in it. A long listing name within the limit (its
# temporary file has a short name of its own) is written.
fresh
"$korvante" run/p.vyr --out run/out --listing run/nosuch/../x.out >/dev/null 2>"$work/err"
s=$?
check "--listing through nosuch/.." test "$s" = 2
check "--listing through nosuch/.." said "$work/err" "the folder run/nosuch/.. cannot be reached"
long=$(printf 'o%.0s' $(seq 1 200))
deep=$work/run
while [ ${#deep} -lt 3850 ]; do deep=$deep/$long; done
deep=$deep/$(printf 'e%.0s' $(seq 1 $((4055 - ${#deep} - 1))))
"$korvante" run/p.vyr --out "$deep" >/dev/null 2>"$work/err"
s=$?
check "a 4055-byte --out" test "$s" = 2
check "a 4055-byte --out" said "$work/err" "its name is 4055 bytes long"
name=run/$(printf 'l%.0s' $(seq 1 230)).lst
"$korvante" run/p.vyr --out run/out --listing "$name" >/dev/null 2>&1
s=$?
check "a 230-byte --listing name" test "$s" = 0
check "a 230-byte --listing name" said "$name" "The KORVANTE Procedure"

# A log that cannot be written fails the run, as the other documents do, and
# its summary says so.
if [ -w /dev/full ]; then
  fresh
  "$korvante" run/p.vyr --out run/out --log /dev/full >/dev/null 2>"$work/err"
  s=$?
  check "--log /dev/full" test "$s" = 1
  check "--log /dev/full" said "$work/err" "ERROR: The run ended with errors: the log could not be written."
  check "--log /dev/full" test "$(grep -c "ended normally" "$work/err")" = 0
fi

# A listing that is whole but cannot be put in place at the end (its name
# turns out to be a data set the run reads) goes to standard output.
fresh
ln -s lib/aml.csv run/view.csv
cat >run/late.vyr <<'EOF'
proc korvante data=aml;
  time time*status(0);
run;
libname mine 'lib';
proc korvante data=mine.aml;
  time time*status(0);
run;
EOF
"$korvante" run/late.vyr --listing run/view.csv --log "$work/log" >"$work/stdout" 2>/dev/null
s=$?
check "a listing not put in place" test "$s" = 1
check "a listing not put in place" said "$work/log" "It follows on standard output instead."
check "a listing not put in place" said "$work/stdout" "Product-Limit Survival Estimates"
check "a listing not put in place" same_file run/lib/aml.csv "$root/examples/aml.csv"

# Graph files and catalogue entries stay in their folders: a link planted
# at the folder or at one file, leading out of it, is refused, and what it
# leads to stays as it was.
graph_program() {
  cat >run/g.vyr <<'EOF'
proc korvante data=aml plots=(s ls lls) outsurv=s notable;
  time time*status(0);
  strata x;
run;
EOF
}
for planted in graphs graphs/SurvivalPlot.svg GSEG GSEG/KORVANTE.svg; do
  fresh
  graph_program
  rm -rf "$work/victims" && mkdir "$work/victims"
  echo victim >"$work/victims/SurvivalPlot.svg"
  echo victim >"$work/victims/KORVANTE.svg"
  mode=on
  case $planted in GSEG*) mode=off ;; esac
  case $planted in
    */*) mkdir -p "run/out/${planted%/*}" && ln -s "$work/victims/${planted#*/}" "run/out/$planted" ;;
    *) ln -s "$work/victims" "run/out/$planted" ;;
  esac
  "$korvante" run/g.vyr --out run/out --graphics $mode >/dev/null 2>"$work/err"
  s=$?
  check "a link at OUT/$planted" test "$s" = 1
  check "a link at OUT/$planted" said "$work/err" "which is outside"
  check "a link at OUT/$planted" test "$(cat "$work/victims/SurvivalPlot.svg")" = victim
  check "a link at OUT/$planted" test "$(cat "$work/victims/KORVANTE.svg")" = victim
  check "a link at OUT/$planted" test "$(ls -A "$work/victims" | wc -l)" = 2
done

# A link from one graph's name to another graph's file: the graph that
# would arrive through it is refused, and the other graph's file never holds
# it.
fresh
mkdir -p run/out/graphs
ln -s NegLogSurvivalPlot.svg run/out/graphs/SurvivalPlot.svg
graph_program
sed -i 's/plots=(s ls lls)/plots=(s ls)/' run/g.vyr
"$korvante" run/g.vyr --out run/out >/dev/null 2>"$work/err"
s=$?
check "a link to another graph's file" test "$s" = 1
check "a link to another graph's file" said "$work/err" "it is a symbolic link to NegLogSurvivalPlot.svg"
check "a link to another graph's file" test -L run/out/graphs/SurvivalPlot.svg
check "a link to another graph's file" lacks run/out/graphs/NegLogSurvivalPlot.svg "Survival Estimates<"

# An output named as a graph file of the run: refused, and the graph file
# keeps what it held.
fresh
graph_program
mkdir run/out/graphs
echo old >run/out/graphs/SurvivalPlot.svg
"$korvante" run/g.vyr --out run/out --listing run/out/graphs/SurvivalPlot.svg >/dev/null 2>"$work/err"
s=$?
check "--listing on a graph file" test "$s" = 2
check "--listing on a graph file" said "$work/err" "where the run's graph files go under names of their own"
check "--listing on a graph file" test "$(cat run/out/graphs/SurvivalPlot.svg)" = old
sed "s|outsurv=s|outsurv='out/graphs/SurvivalPlot.svg'|" run/g.vyr >run/q.vyr
"$korvante" run/q.vyr --out run/out >/dev/null 2>"$work/err"
s=$?
check "a data set named as a graph file" test "$s" = 1
check "a data set named as a graph file" said "$work/err" "two outputs of a run never share a file"
check "a data set named as a graph file" test "$(cat run/out/graphs/SurvivalPlot.svg)" = old
cp run/g.vyr run/q2.vyr
cat >>run/q2.vyr <<'EOF'
proc korvante data=aml outsurv='out/graphs/SurvivalPlot.svg' plots=none notable;
  time time*status(0);
run;
EOF
"$korvante" run/q2.vyr --out run/out >/dev/null 2>"$work/err"
s=$?
check "a later data set named as a graph file" test "$s" = 1
check "a later data set named as a graph file" said "$work/err" "which is the graph file"
check "a later data set named as a graph file" said run/out/graphs/SurvivalPlot.svg "<svg"

# A catalogue folder the user may not write is said as such (not as a
# missing lock); a catalogue locked first under umask 077 still lets another
# user's run use a catalogue both may write.
if [ "$(id -u)" = 0 ] && "${as_user[@]}" true 2>/dev/null; then
  fresh
  graph_program
  chmod 755 "$work" run
  chmod 644 run/aml.csv
  mkdir -p run/keep/CAT run/shared/CAT && chmod 755 run/keep run/keep/CAT
  chmod 777 run/shared run/shared/CAT run/out
  sed '1i libname keep "keep";' run/g.vyr | sed 's/outsurv=s //; s/notable;/gout=keep.cat notable;/' >run/k.vyr
  chmod 644 run/k.vyr
  "${as_user[@]}" "$program" run/k.vyr --out run/out --graphics off >/dev/null 2>"$work/err"
  s=$?
  check "a catalogue folder not writable" test "$s" = 1
  check "a catalogue folder not writable" said "$work/err" "keep/CAT's lock could not be taken: a file could not be made in it (Permission denied)"
  check "a catalogue folder not writable" lacks "$work/err" "No such file"
  sed 's/"keep"/"shared"/' run/k.vyr >run/sh.vyr && chmod 644 run/sh.vyr
  (umask 077 && "$korvante" run/sh.vyr --out run/out --graphics off >/dev/null 2>&1)
  "${as_user[@]}" "$program" run/sh.vyr --out run/out --graphics off >/dev/null 2>"$work/err"
  s=$?
  check "a catalogue locked first under umask 077" test "$s" = 0
  check "a catalogue locked first under umask 077" test "$(ls run/shared/CAT | wc -l)" = 6
elif [ "$(id -u)" != 0 ]; then
  echo "skipped: a catalogue folder another user may not write (needs root, to act as another user)"
else
  echo "skipped: a catalogue folder another user may not write (cannot run as another user here)"
fi

# A permanent catalogue keeps the entries of earlier runs: a later run's
# entries take names not in use, and a note says so. WORK's catalogue is the
# run's own: a later run into the same output folder replaces its entries.
fresh
graph_program
mkdir run/keep
sed '1i libname keep "keep";' run/g.vyr | sed 's/notable;/gout=keep.cat notable;/' >run/k.vyr
"$korvante" run/k.vyr --out run/out --graphics off >/dev/null 2>&1
cp run/keep/CAT/KORVANTE.svg "$work/first.svg"
sed -i '1i title "Another run";' run/k.vyr
"$korvante" run/k.vyr --out run/out --graphics off >"$work/stdout" 2>"$work/err"
s=$?
check "a permanent catalogue" test "$s" = 0
check "a permanent catalogue" same_file run/keep/CAT/KORVANTE.svg "$work/first.svg"
check "a permanent catalogue" test "$(ls run/keep/CAT | wc -l)" = 6
check "a permanent catalogue" said "$work/err" "already holds entries of earlier runs (3 names)"
check "a permanent catalogue" said "$work/stdout" "keep/CAT/KORVANT3.svg"
"$korvante" run/g.vyr --out run/out --graphics off >/dev/null 2>&1
"$korvante" run/g.vyr --out run/out --graphics off >/dev/null 2>"$work/err"
s=$?
check "WORK's catalogue" test "$s" = 0
check "WORK's catalogue" test "$(ls run/out/GSEG | wc -l)" = 3
check "WORK's catalogue" test ! -e run/out/GSEG/KORVANT3.svg

# Runs started together into one permanent catalogue lose no entry: each
# run's names are given out and put in place under the folder's lock. A
# folder planted at a free name is passed over like an entry.
fresh
graph_program
mkdir run/keep
sed '1i libname keep "keep";' run/g.vyr | sed 's/notable;/gout=keep.cat notable;/' >run/k.vyr
lost=0
for round in 1 2 3 4 5 6 7 8 9 10; do
  rm -rf run/keep/CAT
  "$korvante" run/k.vyr --out run/o1 --graphics off >/dev/null 2>&1 &
  a=$!
  "$korvante" run/k.vyr --out run/o2 --graphics off >/dev/null 2>&1 &
  b=$!
  wait $a && wait $b || lost=$((lost + 100))
  [ "$(ls run/keep/CAT | wc -l)" = 6 ] || lost=$((lost + 1))
done
check "runs at once into one catalogue" test "$lost" = 0
rm -rf run/keep/CAT && mkdir -p run/keep/CAT/KORVANTE.svg
"$korvante" run/k.vyr --out run/out --graphics off >/dev/null 2>"$work/err"
s=$?
check "a folder at an entry's name" test "$s" = 0
check "a folder at an entry's name" test -d run/keep/CAT/KORVANTE.svg
check "a folder at an entry's name" test -f run/keep/CAT/KORVANT3.svg

# A step reads an ANNOTATE= or LANNOTATE= data set from the catalogue folder
# it draws into (also the first run into a new catalogue) without waiting for
# its own lock; two runs that each draw into one catalogue and read the
# other's annotations never wait for each other.
fresh
mkdir -p run/keep/CAT run/keep/NEW run/keep/C1 run/keep/C2
for f in CAT NEW C1 C2; do
  printf 'FUNCTION,X,Y,TEXT\nLABEL,10,0.5,hi\n' >"run/keep/$f/anno.csv"
done
anno_program() { # NAME GOUT ANNOTATE-OPTIONS
  cat >"run/$1.vyr" <<EOF
options nographics;
libname keep 'keep';
libname c 'keep/CAT';
proc korvante data=aml plots=(s) notable gout=$2 $3;
  time time*status(0);
run;
EOF
}
anno_program a1 keep.cat "annotate='keep/CAT/anno.csv'"
anno_program a2 keep.cat "annotate=c.anno lannotate=c.anno"
anno_program a3 keep.new "annotate='keep/NEW/anno.csv'"
for p in a1 a2 a3; do
  timeout 60 "$korvante" run/$p.vyr --out run/out >/dev/null 2>"$work/err"
  s=$?
  check "annotations from the catalogue's folder ($p)" test "$s" = 0
done
check "annotations from the catalogue's folder" test "$(grep -l '>hi<' run/keep/CAT/*.svg | wc -l)" = 2
check "annotations from the catalogue's folder" test -f run/keep/NEW/KORVANTE.svg
anno_program x1 keep.c1 "annotate='keep/C2/anno.csv'"
anno_program x2 keep.c2 "annotate='keep/C1/anno.csv'"
timeout 120 "$korvante" run/x1.vyr --out run/o1 >/dev/null 2>&1 &
a=$!
timeout 120 "$korvante" run/x2.vyr --out run/o2 >/dev/null 2>&1 &
b=$!
wait $a
sa=$?
wait $b
sb=$?
check "two runs reading each other's catalogue folder" test "$sa/$sb" = 0/0

# A step whose data set cannot be written at the end (the file size limit)
# puts none of its files in place: the graph stays the earlier run's, as the
# data set does.
fresh
awk 'BEGIN { print "time,status"; for (i = 1; i <= 10000; i++) print i * 7919 % 10007 + 0.5 "," i % 2 }' >run/big.csv
cat >run/big.vyr <<'EOF'
proc korvante data=big plots=(s) outsurv=os notable;
  time time*status(0);
run;
EOF
"$korvante" run/big.vyr --out run/out >/dev/null 2>&1
cp run/out/graphs/*.svg "$work/graph.before"
cp run/out/os.csv "$work/os.before"
awk 'BEGIN { print "time,status"; for (i = 1; i <= 10000; i++) print i * 7907 % 10007 + 0.25 "," (i % 3 > 0) }' >run/big.csv
(ulimit -f 400 && "$korvante" run/big.vyr --out run/out >/dev/null 2>"$work/err")
s=$?
check "a data set too large at the end" test "$s" = 1
check "a data set too large at the end" said "$work/err" "WORK.OS could not be written: File too large"
check "a data set too large at the end" said "$work/err" "were not put in place because the step did not complete"
check "a data set too large at the end" same_file run/out/graphs/*.svg "$work/graph.before"
check "a data set too large at the end" same_file run/out/os.csv "$work/os.before"
check "a data set too large at the end" test -z "$(find run/out -name '*.tmp')"

# A document named as the attribute file of a data set in the data folder
# is refused before the run, although that file does not exist yet; named so
# in a library folder, it is never put in place, and the data set reads as
# before.
for opt in --json --html --log --listing; do
  fresh
  "$korvante" run/p.vyr --out run/out $opt run/aml.attr >/dev/null 2>"$work/err"
  s=$?
  check "$opt on the data folder's aml.attr" test "$s" = 2
  check "$opt on the data folder's aml.attr" said "$work/err" "names run/aml.attr, a data set file in the data folder"
  check "$opt on the data folder's aml.attr" test ! -e run/aml.attr
  "$korvante" run/lib.vyr --out run/out $opt run/lib/aml.attr >/dev/null 2>"$work/err"
  s=$?
  check "$opt on a library's aml.attr" test "$s" = 1
  check "$opt on a library's aml.attr" test ! -e run/lib/aml.attr
  "$korvante" run/lib.vyr --out run/out >/dev/null 2>&1
  s=$?
  check "$opt on a library's aml.attr, then read" test "$s" = 0
done

# Four runs at once into one output folder, each with a step of 30 BY groups
# with graphs and then a step with a data set: a file another run makes on
# an inode freed by this run's own commit is no output of this run, so none
# of them fails.
fresh
awk 'BEGIN { srand(3); print "g,time,status"
  for (g = 1; g <= 30; g++) for (i = 0; i < 40; i++) print g "," int(rand() * 500) + 0.5 "," i % 2 }' >run/byd.csv
cat >run/four.vyr <<'EOF'
proc korvante data=byd plots=(s) notable;
  time time*status(0);
  by g;
run;
proc korvante data=aml outsurv=os notable;
  time time*status(0);
run;
EOF
bad=0
for round in $(seq 1 25); do
  for i in 1 2 3 4; do "$korvante" run/four.vyr --out run/out >/dev/null 2>"$work/four$i" & done
  wait
  for i in 1 2 3 4; do grep -q ERROR "$work/four$i" && bad=$((bad + 1)); done
done
check "four runs at once into one output folder" test "$bad" = 0

# A graph that cannot be written fails the step, statistical or device.
for mode in on off; do
  fresh
  graph_program
  folder=graphs
  [ $mode = off ] && folder=GSEG
  echo "not a folder" >"run/out/$folder"
  "$korvante" run/g.vyr --out run/out --graphics $mode >/dev/null 2>"$work/err"
  s=$?
  check "graphics $mode, $folder a file" test "$s" = 1
  check "graphics $mode, $folder a file" said "$work/err" "could not be made"
  check "graphics $mode, $folder a file" test "$(cat "run/out/$folder")" = "not a folder"
done

# A step that fails puts none of its files in place: a graph drawn before an
# unsorted BY group stops the step is dropped, as the data set is. Read in
# descending order, status 1 (observations 1 and 2) is a group and status 0
# (observation 3) is cut short by the 1 after it.
fresh
cat >run/by.vyr <<'EOF'
proc korvante data=aml plots=(s) outsurv=s notable;
  time time*status(0);
  by descending status;
run;
EOF
"$korvante" run/by.vyr --out run/out >/dev/null 2>"$work/err"
s=$?
check "a failed step's graphs" test "$s" = 1
check "a failed step's graphs" said "$work/err" "were not put in place because the step did not complete"
check "a failed step's graphs" test -z "$(find run/out -name '*.svg' -o -name '*.csv')"

# SIGTERM while a step's graph files are written: the step's files (graphs,
# catalogue entries, data sets) are put in place together, so every one of
# them stays as the earlier run left it.
for mode in on off; do
  fresh
  graph_program
  "$korvante" run/g.vyr --out run/out --graphics $mode >/dev/null 2>&1
  rm -rf "$work/before" && cp -r run/out "$work/before"
  sed -i '1i title "Another run";' run/g.vyr
  KORV_SIGNAL_AFTER_STAGED=3 "$korvante" run/g.vyr --out run/out --graphics $mode \
    --log "$work/g.log" >/dev/null 2>&1
  s=$?
  check "SIGTERM among the graphs ($mode)" test "$s" = 143
  check "SIGTERM among the graphs ($mode)" said "$work/g.log" "its output files were not written"
  check "SIGTERM among the graphs ($mode)" diff -r "$work/before" run/out
  check "SIGTERM among the graphs ($mode)" test -z "$(find run/out -name '*.tmp')"
done

# SIGTERM while the step's files are put in place waits for them all, and
# the log says that the step finished and its files are in place.
fresh
graph_program
KORV_SIGNAL_AFTER_PLACED=1 "$korvante" run/g.vyr --out run/out --log "$work/g.log" >/dev/null 2>&1
s=$?
check "SIGTERM among the final renames" test "$s" = 143
check "SIGTERM among the final renames" said "$work/g.log" "the step had finished, and its files were put in place"
check "SIGTERM among the final renames" test "$(ls run/out/graphs | wc -l)" = 3
check "SIGTERM among the final renames" test -s run/out/s.csv
check "SIGTERM among the final renames" sh -c "tail -n 1 '$work/g.log' | grep -q 'Files written in full: run/out/graphs/.*SurvivalPlot.svg, .*s.attr, .*s.csv'"

# A step waits for a library folder's lock, which another run holds while it
# puts files in place there, before any of its files is put in place: the
# log says whose lock it waits for, a signal stops it at once, and every
# file stays as the earlier run left it.
fresh
cat >run/keep.vyr <<'EOF'
libname keep 'lib';
proc korvante data=aml notable plots=(s) outsurv=keep.os;
  time time*status(0);
run;
EOF
"$korvante" run/keep.vyr --out run/out >/dev/null 2>&1
rm -rf "$work/graphs" "$work/lib.before"
cp -r run/out/graphs "$work/graphs"
cp -r run/lib "$work/lib.before"
sed -i 's/^9,/10,/' run/aml.csv
hold_lock ticket run/lib
check "a signal while waiting for a lock: the lock held" test $? = 0
mkdir -p "$work/klog"
"$korvante" run/keep.vyr --out run/out --log "$work/klog/k.log" >/dev/null 2>&1 &
k=$!
# The log, written in a hidden folder beside its name, says when the run
# waits (after a second of waiting).
until_true 30 sh -c "cat '$work'/klog/.korvante-file.korv-*.tmp/1 2>/dev/null | grep -q 'is held by'"
# It ends at once; 10 s only bounds the wait for a run that does not
# (the holder would keep it waiting for ever).
kill -TERM $k
if ! until_true 10 ended $k; then
  fail "a signal while waiting for a lock" "the run still went on 10 seconds after SIGTERM"
  kill -KILL $k
fi
wait $k
s=$?
let_holder_go
check "a signal while waiting for a lock" test "$s" = 143
check "a signal while waiting for a lock" said "$work/klog/k.log" "run/lib's lock is held by a run of $(user_text "$(id -u)"), process "
check "a signal while waiting for a lock" sh -c "tail -n 1 '$work/klog/k.log' | grep -q 'its output files were not written'"
check "a signal while waiting for a lock" diff -r "$work/graphs" run/out/graphs
check "a signal while waiting for a lock" diff -r "$work/lib.before" run/lib
check "a signal while waiting for a lock" test -z "$(tickets run/lib)"

# No document lands on a data set's file or a catalogue entry of the run,
# made yet or not: in a LIBNAME folder, the folder of a quoted data set name
# and a catalogue the run draws into, it is not put in place and the run
# fails; in WORK it is refused before the run.
fresh
cat >run/k.vyr <<'EOF'
options nographics;
libname k 'lib';
proc korvante data=aml notable outsurv=k.os plots=(s) gout=k.cat;
  time time*status(0);
run;
proc korvante data=aml notable outsurv='lib/q.dat';
  time time*status(0);
run;
EOF
"$korvante" run/k.vyr --out run/out >/dev/null 2>&1
rm -rf "$work/lib.before" && cp -r run/lib "$work/lib.before"
for doc in lib/os.csv lib/other.attr lib/CAT/KORVANTE.svg lib/CAT/NEW.pdf lib/q.dat.attr; do
  for opt in --json --html --log --listing; do
    "$korvante" run/k.vyr --out run/out "$opt" "run/$doc" >/dev/null 2>&1
    s=$?
    check "$opt on $doc" test "$s" = 1
    check "$opt on $doc" diff -r -x 'KORVAN*' "$work/lib.before" run/lib
  done
done
check "documents kept off the data, which still reads" "$korvante" run/k.vyr --out run/out
"$korvante" run/p.vyr --out run/out --json run/out/new.csv >/dev/null 2>"$work/err"
s=$?
check "a document named as a WORK data set not made yet" test "$s" = 2
check "a document named as a WORK data set not made yet" said "$work/err" "a data set file in the WORK folder"

# SIGKILL there leaves the staged files and the run's temporary files; the
# next run writing into those folders removes them and says so, but not
# those of a run still going (a folder whose lock is held), nor a user's
# file named like ours, nor a folder of our name that holds a user's file.
fresh
graph_program
mkdir run/lst
KORV_SIGNAL_AFTER_STAGED=3,KILL "$korvante" run/g.vyr --out run/out --listing run/lst/g.lst \
  >/dev/null 2>&1
s=$?
check "SIGKILL among the graphs" test "$s" = 137
check "SIGKILL among the graphs" test -n "$(find run/out run/lst -name '*.tmp')"
held=run/out/.korvante-file.korv-0123456789abcdef.tmp
mkdir "$held" && echo "a living run's" >"$held/1"
echo notes >run/out/.notes.korv-0123456789abcdef.tmp
echo notes >run/lst/.g.lst.korv-0123456789abcdef.tmp
users=run/out/graphs/.korvante-step.korv-0000000000000000.tmp
mkdir "$users" && echo mine >"$users/mine.txt"
kept="$held
$users
run/lst/.g.lst.korv-0123456789abcdef.tmp
run/out/.notes.korv-0123456789abcdef.tmp"
hold_lock live "$held/lock"
"$korvante" run/g.vyr --out run/out --listing run/lst/g.lst --log "$work/t.log" >/dev/null 2>&1
s=$?
let_holder_go
check "the next run tidies up" test "$s" = 0
check "the next run tidies up" test "$(find run/out run/lst -name '*.tmp' | sort)" = "$(echo "$kept" | sort)"
check "the next run tidies up" test "$(cat "$users/mine.txt")" = mine
check "the next run tidies up" said "$work/t.log" "left by a run that was stopped, was removed with the"

report

#!/usr/bin/env bash
# Runs korvante on copies of the bundled data and checks where its documents
# (the listing, log, HTML and JSON files) may and may not go:
#   - a signal during the first step: the log is not put over a file that a
#     later step reads or draws into, nor over any existing file named as a
#     data set's or a catalogue entry's, nor over a data set's file of a
#     LIBNAME folder, made yet or not; its text goes to standard error;
#   - a listing whose reader has gone: said once in the log, and the run
#     goes on to its end;
#   - the line that says why the log went to standard error comes first;
#   - document paths that cannot be written, refused before the run whether
#     the --out folder exists yet or not; a user who may not write /dev
#     writes the listing and the log through /dev/stdout and /dev/stderr;
#   - a document named through /proc, or by a descriptor of the run that
#     holds a file, is checked as that file's name is; through a descriptor
#     it is added to what the file held, never truncating it;
#   - every command-line error says that nothing was run.
# Usage: document_safety.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: document_safety.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$here/checks.sh"
no_temp() { test -z "$(find "$@" -name '*.korv-*.tmp')"; }
first_says() { head -1 "$1" | grep -qF -- "$2"; }

stopped="ERROR: The run was stopped by the signal SIGTERM: the step that was running did not finish"
# The first line on standard error when the log may not take its name.
kept="ERROR: The log was not put in place as %s: it is a data set's file or a catalogue entry"
input="ERROR: The log was not put in place as %s: it is a file this run reads"

# A fresh folder: the program's folder run/ with aml.csv, a LIBNAME folder
# run/lib, and q/ beside run/ with files a quoted data set name reaches.
fresh() {
  rm -rf "$work/d"
  mkdir -p "$work/d/run/lib" "$work/d/q"
  cp "$root/examples/aml.csv" "$work/d/run/aml.csv"
  cp "$root/examples/aml.csv" "$work/d/run/lib/aml.csv"
  cp "$root/examples/aml.csv" "$work/d/q/in.csv"
  cd "$work/d" || exit 1
}

# SIGTERM while the first step stages its graph: the log is not put over a
# data set that the second step reads (by a quoted name), over an entry of a
# catalogue that the second step draws into, nor over any existing file named
# as a data set's or an entry's, in either case. Its text, and the line that
# says the run was stopped, go to standard error.
fresh
cat >run/q.vyr <<'EOF'
proc korvante data=aml plots=(s) notable;
  time time*status(0);
run;
proc korvante data='../q/in.csv' notable;
  time time*status(0);
run;
EOF
cat >run/k.vyr <<'EOF'
proc korvante data=aml plots=(s) notable;
  time time*status(0);
run;
libname k 'lib';
proc korvante data=aml plots=(s) notable gout=k.cat;
  time time*status(0);
run;
EOF
"$korvante" run/k.vyr --out run/out --graphics off >/dev/null 2>&1
echo "a user's table" >q/Old.CSV
for doc in q/in.csv run/lib/CAT/KORVANTE.svg q/Old.CSV; do
  prog=run/q.vyr
  graphics=on
  case $doc in *CAT*)
    prog=run/k.vyr
    graphics=off
    ;;
  esac
  cp "$doc" "$work/before"
  KORV_SIGNAL_AFTER_STAGED=1 "$korvante" $prog --out run/out --graphics $graphics --log "$doc" \
    >/dev/null 2>"$work/err"
  s=$?
  check "a signal, the log on $doc" test "$s" = 143
  check "a signal, the log on $doc" cmp -s "$work/before" "$doc"
  check "a signal, the log on $doc" said "$work/err" "1      proc korvante data=aml plots=(s) notable;"
  check "a signal, the log on $doc" said "$work/err" "$stopped"
  check "a signal, the log on $doc" first_says "$work/err" "$(printf "$kept" "$doc")"
  check "a signal, the log on $doc" no_temp "$work/d"
done

# The same for a data set's file of a LIBNAME folder the first step reads,
# there or not yet made: the first is kept, the second not made.
cat >run/lib.vyr <<'EOF'
libname mine 'lib';
proc korvante data=mine.aml plots=(s) notable;
  time time*status(0);
run;
EOF
echo "old data" >run/lib/old.csv
for doc in run/lib/old.csv run/lib/new.csv; do
  KORV_SIGNAL_AFTER_STAGED=1 "$korvante" run/lib.vyr --out run/out --log "$doc" >/dev/null 2>"$work/err"
  s=$?
  check "a signal, the log on $doc" test "$s" = 143
  check "a signal, the log on $doc" said "$work/err" "$stopped"
  check "a signal, the log on $doc" first_says "$work/err" "$(printf "$kept" "$doc")"
done
check "a signal, the log on run/lib/old.csv" test "$(cat run/lib/old.csv)" = "old data"
check "a signal, the log on run/lib/new.csv" test ! -e run/lib/new.csv

# The log on a data set the first step read (that step fails for it), and a
# signal in the second step: the log stays off the input, which is said
# first.
cat >run/in.vyr <<'EOF'
libname mine 'lib';
proc korvante data=mine.aml notable;
  time time*status(0);
run;
proc korvante data=aml plots=(s) notable;
  time time*status(0);
run;
EOF
cp run/lib/aml.csv "$work/before"
KORV_SIGNAL_AFTER_STAGED=1 "$korvante" run/in.vyr --out run/out --log run/lib/aml.csv >/dev/null 2>"$work/err"
s=$?
check "a signal, the log on an input" test "$s" = 143
check "a signal, the log on an input" cmp -s "$work/before" run/lib/aml.csv
check "a signal, the log on an input" first_says "$work/err" "$(printf "$input" run/lib/aml.csv)"
check "a signal, the log on an input" said "$work/err" "$stopped"

# A listing whose reader has gone (standard output a pipe with no reader, as
# in `korvante p.vyr | head -1`): the run is not ended by SIGPIPE. The log
# says once that the listing could not be written, every step runs, and the
# log and the data sets are put in place with no hidden folder left.
fresh
cat >run/two.vyr <<'EOF'
proc korvante data=aml outsurv=s1;
  time time*status(0);
  strata x;
run;
proc korvante data=aml outsurv=s2;
  time time*status(0);
run;
EOF
echo "the last run's log" >run.log
s=$(python3 - "$korvante" run/two.vyr --out run/out --log run.log <<'EOF'
import os, subprocess, sys
r, w = os.pipe()
os.close(r)
# The child gets the default action of SIGPIPE back (restore_signals).
print(subprocess.run(sys.argv[1:], stdout=w, stderr=subprocess.DEVNULL).returncode)
EOF
)
check "a closed standard output" test "$s" = 1
check "a closed standard output" test "$(grep -c 'ERROR: The listing could not be written to standard output: Broken pipe.' run.log)" = 1
check "a closed standard output" said run.log "ERROR: The run ended with errors: the listing could not be written."
check "a closed standard output" said run.log "7      run;"
check "a closed standard output" test -s run/out/s1.csv
check "a closed standard output" test -s run/out/s2.csv
check "a closed standard output" no_temp "$work/d"

# A document path that cannot be written is refused before the run, with
# status 2 and nothing run or made, whether the --out folder exists yet or
# not: a ".." after a folder inside it that no one makes, the folder itself,
# and a data set's file in it (WORK).
fresh
cat >run/p.vyr <<'EOF'
proc korvante data=aml outsurv=s;
  time time*status(0);
run;
EOF
refused() { # NAME OUT OPTION PATH
  local name=$1 out=$2 option=$3 path=$4
  for made in no yes; do
    rm -rf o
    [ $made = yes ] && mkdir -p "$out"
    "$korvante" run/p.vyr --out "$out" "$option" "$path" >/dev/null 2>"$work/err"
    s=$?
    check "$name (--out made: $made)" test "$s" = 2
    check "$name (--out made: $made)" said "$work/err" "Nothing was run."
    check "$name (--out made: $made)" test ! -e "$out/s.csv"
    [ $made = no ] && check "$name (--out made: $made)" test ! -e o
  done
}
refused "a '..' after a folder no one makes" o/o3 --listing o/o3/../o3/x/../doc.lst
refused "the --out folder as a document" o/o5 --html o/o5
refused "a WORK data set file as a document" o/o7 --html o/o7/ok.csv
refused "the graphs folder as a document" o/o9 --log o/o9/graphs

# Every command-line error stops before the program runs and says so.
for args in "--data nodir" "--option linesize=abc" "--option nosuchswitch" "--images png" \
  "--out run/p.vyr/o" "--graphics x" "--nosuch" "--log"; do
  "$korvante" run/p.vyr $args >/dev/null 2>"$work/err"
  s=$?
  check "the command-line error of $args" test "$s" = 2
  check "the command-line error of $args" said "$work/err" "Nothing was run."
done

# A document named through /proc or by a descriptor of the run. A path that
# leads to a data set's file (/proc/self/cwd/...) is refused as its plain
# name is, the data set left as it was. A descriptor that holds a file gets
# the document through itself, after what it held, never truncated; one
# that holds a data set's file is refused, the file left as it was.
cat >run/os.vyr <<'EOF'
libname k 'lib';
proc korvante data=aml outsurv=k.os;
  time time*status(0);
run;
EOF
"$korvante" run/os.vyr >/dev/null 2>&1
cp run/lib/os.csv "$work/os.csv"
inode=$(stat -c %i run/lib/os.csv)
"$korvante" run/os.vyr --listing run/lib/os.csv >"$work/plain.out" 2>"$work/plain.err"
plain=$?
sed -i '/ used .* seconds\.$/d' "$work/plain.err"
for doc in /proc/self/cwd/run/lib/os.csv /dev/fd/3; do
  "$korvante" run/os.vyr --listing $doc >"$work/out" 2>"$work/err" 3>>run/lib/os.csv
  s=$?
  sed -i -e "s|$doc|run/lib/os.csv|" -e '/ used .* seconds\.$/d' "$work/err"
  check "--listing $doc on a data set" test "$s" = "$plain"
  check "--listing $doc on a data set" cmp -s "$work/os.csv" run/lib/os.csv
  check "--listing $doc on a data set" test "$(stat -c %i run/lib/os.csv)" = "$inode"
  check "--listing $doc on a data set" same_file "$work/plain.out" "$work/out"
  check "--listing $doc on a data set" same_file "$work/plain.err" "$work/err"
done
cat >run/plots.vyr <<'EOF'
proc korvante data=aml plots=(s);
  time time*status(0);
run;
EOF
kept_lines() { test "$(head -2 app.log)" = "$(printf 'line 1\nline 2')"; }
printf 'line 1\nline 2\n' >app.log
"$korvante" run/plots.vyr --out run/out --listing /dev/stdout >>app.log 2>/dev/null
check "--listing /dev/stdout >>app.log" test $? = 0
check "--listing /dev/stdout >>app.log" kept_lines
check "--listing /dev/stdout >>app.log" said app.log "The KORVANTE Procedure"
printf 'line 1\nline 2\n' >app.log
"$korvante" run/plots.vyr --out run/out --log /dev/stderr 2>>app.log >/dev/null
check "--log /dev/stderr 2>>app.log" test $? = 0
check "--log /dev/stderr 2>>app.log" kept_lines
check "--log /dev/stderr 2>>app.log" said app.log "The run ended normally"
# A signal: the log goes through the descriptor, not renamed over its file.
printf 'line 1\nline 2\n' >app.log
KORV_SIGNAL_AFTER_STAGED=1 "$korvante" run/plots.vyr --out run/out --log /dev/stderr \
  2>>app.log >/dev/null
check "a signal, --log /dev/stderr 2>>app.log" test $? = 143
check "a signal, --log /dev/stderr 2>>app.log" kept_lines
check "a signal, --log /dev/stderr 2>>app.log" said app.log "$stopped"
check "documents through descriptors" no_temp "$work/d"

# A user who may not write /dev writes the listing through /dev/stdout and
# the log through /dev/stderr, into files of their own: the script's user,
# or the user nobody when that is root.
nr=()
[ "$(id -u)" = 0 ] && nr=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if "${nr[@]}" true 2>/dev/null; then
  check "a user who may not write /dev" "${nr[@]}" test ! -w /dev
  mkdir -m 777 "$work/nr"
  cp "$korvante" run/p.vyr run/aml.csv "$work/nr/"
  chmod 755 "$work"
  chmod 644 "$work/nr/p.vyr" "$work/nr/aml.csv"
  for doc in "--listing /dev/stdout" "--log /dev/stderr"; do
    rm -f "$work/nr/x.lst" "$work/nr/x.log"
    (cd "$work/nr" && "${nr[@]}" sh -c "./korvante p.vyr $doc >x.lst 2>x.log")
    s=$?
    check "$doc as a user who may not write /dev" test "$s" = 0
    check "$doc as a user who may not write /dev" said "$work/nr/x.lst" "The KORVANTE Procedure"
    check "$doc as a user who may not write /dev" said "$work/nr/x.log" "The run ended normally"
  done
else
  echo "skipped: documents through /dev/stdout as a user who may not write /dev (cannot run as another user here)"
fi

report

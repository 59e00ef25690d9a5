#!/usr/bin/env bash
# A run knows a file by what it has open, never by a name that another user,
# or a kill, can change under it:
#   - a document named by a descriptor (--listing /dev/fd/3) goes through
#     that descriptor: a deleted file's old name, taken by another user's
#     named pipe, is never opened; a descriptor the caller did not open is
#     a command-line error; a TMPDIR that cannot be used is passed over;
#   - another user's link in a shared folder (mode 1777) is not followed by
#     a document, whoever runs (the user's own links still are), nor is
#     another user's named pipe there written into;
#   - a library folder's lock is the folder itself: another user who
#     remakes the lock file at will cannot let two runs of the victim place
#     one data set at once;
#   - an earlier file kept after a kill, under a name too long for
#     "earlier-", is never swept; a hidden folder that cannot be opened
#     (no descriptor left) fails the step instead of being passed over;
#     another user's hidden folder the run may not open is said; a note
#     says a hidden folder was removed only when it was;
#   - 10,000 hidden folders planted by another user give one note;
#   - a document that is a hard link of an input CSV is refused on the
#     command line;
#   - a step's descriptors do not grow with its files: 5,000 graph files,
#     or as many catalogue entries, under the usual ulimit -n of 1024.
# Usage: open_files.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: open_files.sh PATH/TO/korvante}")
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
# S: a shared folder; v: the victim's own folder, with data and programs.
mkdir -m 1777 S
mkdir v
cp "$root/examples/aml.csv" v/
cat >v/p.vyr <<'EOF'
proc korvante data=aml notable;
  time time*status(0);
run;
EOF
chown -R $victim:$victim v
nothing_run() { said "$1" "Nothing was run."; }

# ---------------------------------------------------------------------------
# A descriptor that holds a deleted file: the document goes through it, and
# the name the kernel shows for it ("S/out.txt (deleted)"), taken by another
# user's named pipe, is never opened (no reader: the run would wait for
# ever; a reader: it would get the listing).
cat >v/deleted.sh <<EOF
exec 3<>"$work/S/out.txt"
rm "$work/S/out.txt"
: >"$work/v/deleted.ready"
while [ ! -p "$work/S/out.txt (deleted)" ]; do sleep 0.02; done
timeout 20 "$korvante" "$work/v/p.vyr" --listing /dev/fd/3 2>"$work/v/deleted.err"
echo \$? >"$work/v/deleted.rc"
cat /proc/\$\$/fd/3 >"$work/v/deleted.got"
EOF
as_bg $victim bash v/deleted.sh
runner=$!
while [ ! -e v/deleted.ready ]; do sleep 0.02; done
as $other mkfifo "S/out.txt (deleted)"
as_bg $other timeout 10 cat "S/out.txt (deleted)" >"$work/read-by-other"
reader=$!
wait $runner
check "a descriptor of a deleted file" test "$(cat v/deleted.rc)" = 0
check "a descriptor of a deleted file" said v/deleted.got "The KORVANTE Procedure"
kill $reader 2>/dev/null
wait $reader 2>/dev/null
check "a descriptor of a deleted file" test ! -s "$work/read-by-other"

# A descriptor the caller never opened (4 would be the run's own log file).
(cd v && "$korvante" p.vyr --listing /dev/fd/4 --log run.log >"$work/out" 2>"$work/err")
check "a descriptor not open at the start" test $? = 2
check "a descriptor not open at the start" nothing_run "$work/err"
check "a descriptor not open at the start" said "$work/err" "descriptor 4, which was not open"
check "a descriptor not open at the start" test ! -s "$work/out"
check "a descriptor not open at the start" test ! -e v/run.log
(cd v && "$korvante" p.vyr --listing /dev/fd/4 4>"$work/four.lst" 2>/dev/null)
check "a descriptor open at the start" test $? = 0
check "a descriptor open at the start" said "$work/four.lst" "The KORVANTE Procedure"

# A TMPDIR that is not there: the listing is staged elsewhere, reaches its
# file, and the run says nothing of a failure.
(cd v && TMPDIR="$work/nosuch" "$korvante" p.vyr --listing /dev/stdout >"$work/tmpdir.lst" 2>"$work/err")
check "a TMPDIR that is not there" test $? = 0
check "a TMPDIR that is not there" said "$work/tmpdir.lst" "The KORVANTE Procedure"
check "a TMPDIR that is not there" lacks "$work/err" "could not be written"
(cd v && TMPDIR="$work/nosuch" "$korvante" p.vyr --listing /dev/fd/3 3>"$work/three.lst" 2>"$work/err")
check "a TMPDIR that is not there, /dev/fd/3" test $? = 0
check "a TMPDIR that is not there, /dev/fd/3" said "$work/three.lst" "The KORVANTE Procedure"
# No temporary folder that may be written at all (/tmp and /var/tmp made
# read-only in a mount namespace of its own): the listing named as standard
# output is written to it as it goes, and still reaches its file.
# The run's own folder, and a copy of korvante, are outside both (in
# /dev/shm).
shm=$(mktemp -d -p /dev/shm 2>/dev/null)
if [ -n "$shm" ] && unshare -m true 2>/dev/null; then
  cp v/p.vyr v/aml.csv "$shm/"
  cp "$korvante" "$shm/korvante"
  (cd "$shm" && TMPDIR="$work/nosuch" unshare -m sh -c 'mount -t tmpfs -o ro none /tmp &&
    mount -t tmpfs -o ro none /var/tmp && exec ./korvante p.vyr --out o --listing /dev/stdout' \
    >"$shm/none.lst" 2>"$shm/err")
  check "no temporary folder at all" test $? = 0
  check "no temporary folder at all" said "$shm/none.lst" "The KORVANTE Procedure"
  check "no temporary folder at all" lacks "$shm/err" "could not be written"
  rm -rf "$shm"
else
  echo "skipped: no temporary folder at all (no mount namespace here)"
fi

# ---------------------------------------------------------------------------
# Another user's link in the shared folder is never followed by a document:
# not to the victim's private file, nor (for root) into a folder only root
# may enter. The error names the link and its owner; nothing is run.
mkdir -m 700 private
echo "the victim's thesis" >private/thesis.txt
chown -R $victim:$victim private
chmod 600 private/thesis.txt
mkdir -m 700 rootonly
echo "root's own" >rootonly/kept
as $other ln -s "$work/private/thesis.txt" S/thesis
as $other ln -s "$work/rootonly/kept" S/kept
as $other ln -s "$work/rootonly/new" S/new
for option in --log --listing --html --json; do
  as $victim "$korvante" v/p.vyr $option S/thesis >/dev/null 2>"$work/err"
  check "another user's link, $option of the victim's" test $? = 2
  check "another user's link, $option of the victim's" said "$work/err" "S/thesis is a symbolic link of $(user_text $other)"
  check "another user's link, $option of the victim's" nothing_run "$work/err"
  check "another user's link, $option of the victim's" test "$(cat private/thesis.txt)" = "the victim's thesis"
  for link in kept new; do
    "$korvante" v/p.vyr $option S/$link >/dev/null 2>"$work/err"
    check "another user's link to rootonly/$link, $option of root's" test $? = 2
    check "another user's link to rootonly/$link, $option of root's" said "$work/err" "S/$link is a symbolic link of $(user_text $other)"
  done
done
check "another user's link, root's runs" test "$(cat rootonly/kept)" = "root's own"
check "another user's link, root's runs" test ! -e rootonly/new
# Nor by an output data set of a library in such a folder: the link another
# user planted at its name, to the victim's file beside it, stays a link.
printf "libname k '../S';\nproc korvante data=aml outsurv=k.os notable plots=none;\n  time time*status(0);\nrun;\n" >v/lib.vyr
as $victim sh -c "echo mine >S/victims.csv"
as $other ln -s victims.csv S/os.csv
as $victim "$korvante" v/lib.vyr --out "$work/v/o" --log "$work/v/lib.log" >/dev/null 2>&1
check "another user's link at a data set's name" test $? = 1
check "another user's link at a data set's name" said v/lib.log "S/os.csv is a symbolic link of $(user_text $other)"
check "another user's link at a data set's name" test "$(cat S/victims.csv)" = mine
# Nor is another user's named pipe there written into: its maker would read
# the log, or keep the run waiting.
as $other mkfifo S/pipe.log
as_bg $other timeout 10 cat S/pipe.log >"$work/read-by-other"
reader=$!
as $victim timeout 20 "$korvante" v/p.vyr --log S/pipe.log >/dev/null 2>"$work/err"
check "another user's named pipe" test $? = 2
check "another user's named pipe" said "$work/err" "S/pipe.log is a named pipe of $(user_text $other)"
kill $reader 2>/dev/null
wait $reader 2>/dev/null
check "another user's named pipe" test ! -s "$work/read-by-other"
# The user's own link there is followed, as it always was.
as $victim ln -s "$work/v/own.log" S/own.log
as $victim "$korvante" v/p.vyr --log S/own.log >/dev/null 2>&1
check "the user's own link in the shared folder" test $? = 0
check "the user's own link in the shared folder" said v/own.log "The run ended normally"
check "the user's own link in the shared folder" test -L S/own.log

# ---------------------------------------------------------------------------
# The lock. Another user made the shared library folder's lock file first
# and remakes it every 10 ms. The victim's run A is stopped by strace as its
# first rename returns (its attribute file placed, its CSV file not yet);
# run B, of other strata, starts meanwhile, and A goes on once B waits for
# it (B's log, on standard error, says so, or the kernel shows B waiting for
# a lock). B must wait for A: the pair is whole, one run's CSV and
# attribute files.
mkdir -m 1777 L
cp v/aml.csv L/../aml.csv
chmod 644 aml.csv
for x in a b; do
  { echo "libname k 'L';"
    echo "proc korvante data=aml outsurv=k.os notable plots=none;"
    echo "  time time*status(0);"
    [ $x = a ] && echo "  strata x;"
    echo "run;"; } >$x.vyr
done
chmod 644 a.vyr b.vyr
as $other touch L/.korvante.lock
as $victim "$korvante" b.vyr >/dev/null 2>&1
as_bg $other bash -c 'while :; do rm -f L/.korvante.lock; : >L/.korvante.lock; sleep 0.01; done'
remaker=$!
as_bg $victim strace -f -qq -o v/a.trace -e trace=renameat2 -e inject=renameat2:signal=STOP:when=1 \
  "$korvante" a.vyr >/dev/null 2>&1
a=$!
stopped_in v/a.trace
check "two runs and a lock file remade by another user" test -n "$stopped"
as_bg $victim "$korvante" b.vyr >/dev/null 2>v/b.log
b=$!
until_true 30 waiting_or_ended v/b.log $b
kill -CONT "$stopped" 2>/dev/null || kill -KILL $a
wait $a
a=$?
wait $b
b=$?
kill $remaker
wait $remaker 2>/dev/null
whole() { # the attribute file names STRATUM exactly when the CSV file has it
  local c t
  c=$(head -1 L/os.csv | grep -c STRATUM)
  t=$(grep -c STRATUM L/os.attr)
  [ "$c" = "$t" ]
}
check "two runs and a lock file remade by another user" test "$a/$b" = 0/0
check "two runs and a lock file remade by another user" whole

# ---------------------------------------------------------------------------
# A name too long for "earlier-NAME": after a kill split the pair and the
# user edited the file it left, the earlier file is kept under a name that
# fits, and two later runs leave it there. So is one kept by a live undo
# that failed.
mkdir -p long/L
cp v/aml.csv long/
n=$(printf 'a%.0s' $(seq 1 244))
for x in p q; do
  { echo "proc korvante data=aml outsurv='L/$n' notable plots=none;"
    echo "  time time*status(0);"
    [ $x = q ] && echo "  strata x;"
    echo "run;"; } >long/$x.vyr
done
(cd long && "$korvante" p.vyr >/dev/null 2>&1)
cp long/L/$n.attr "$work/earlier.attr"
(cd long && strace -f -qq -o /dev/null -e trace=renameat2 -e inject=renameat2:signal=KILL:when=2 \
  "$korvante" q.vyr >/dev/null 2>&1) 2>/dev/null
echo "# edited" >>long/L/$n.attr
kept_one() { # LOG: the file the warning of LOG says is kept is there, the earlier attribute file
  local at
  at=$(grep -o "kept at [^ ]*" "$1" | head -1 | sed -e 's/^kept at //' -e 's/\.$//')
  [ -n "$at" ] && cmp -s "long/$at" "$work/earlier.attr"
}
(cd long && "$korvante" p.vyr --log one.log >/dev/null 2>&1)
check "a long name, kept after a kill" said long/one.log "holds another file by now"
check "a long name, kept after a kill" kept_one long/one.log
(cd long && "$korvante" p.vyr >/dev/null 2>&1 && "$korvante" p.vyr >/dev/null 2>&1)
check "a long name, kept after a kill, after two runs" kept_one long/one.log
rm -rf long/L/.korvante-*
cp long/L/$n.attr "$work/earlier.attr"
(cd long && KORV_FAIL_PLACE=2 KORV_FAIL_UNDO=1 "$korvante" q.vyr --log undo.log >/dev/null 2>&1)
check "a long name, kept by an undo" said long/undo.log "is kept at"
check "a long name, kept by an undo" kept_one long/undo.log
(cd long && "$korvante" p.vyr >/dev/null 2>&1 && "$korvante" p.vyr >/dev/null 2>&1)
check "a long name, kept by an undo, after two runs" kept_one long/undo.log

# A hidden folder that cannot be opened (no descriptor left): the step that
# would place into that folder fails, naming it, rather than pass over what
# a killed run left there. At no limit does a run end well with the pair
# still split.
split_by_kill fd v/aml.csv
named=no
for limit in $(seq 6 24); do
  rm -rf fd$limit && cp -a fd fd$limit
  (cd fd$limit && ulimit -n $limit && "$korvante" p.vyr --log l.log >/dev/null 2>&1)
  s=$?
  check "a hidden folder not opened (ulimit -n $limit)" test "$s" != 0 -o "$(head -1 fd$limit/lib/os.csv | grep -c STRATUM)" = "$(grep -c STRATUM fd$limit/lib/os.attr)"
  grep -q "the hidden folder .*lib/.korvante-file.korv-.*could not be opened (Too many open files)" fd$limit/l.log && named=yes
done
check "a hidden folder not opened is named" test $named = yes

# Another user's hidden folder that the run may not open is that user's,
# and the run says so.
mkdir -m 1777 sh
cp v/aml.csv sh/
chmod 644 sh/aml.csv
printf "libname k '.';\nproc korvante data=aml outsurv=k.os notable plots=none;\n  time time*status(0);\nrun;\n" >sh/p.vyr
chmod 644 sh/p.vyr
as $other mkdir -m 700 sh/.korvante-file.korv-00000000000000cc.tmp
(cd sh && as $victim "$korvante" p.vyr --out "$work/v" --log "$work/v/sh.log" >/dev/null 2>&1)
check "another user's hidden folder, not to be opened" said v/sh.log ".korvante-file.korv-00000000000000cc.tmp, which belongs to $(user_text $other), is left as it is"

# A kill between a record's making and its writing: the next run removes
# the empty record but not the folder with its staged files, and says
# nothing of a removal; the run after it sweeps the folder, and says so.
mkdir -p rec/lib
cp v/aml.csv rec/
cp fd/p.vyr rec/
h=rec/lib/.korvante-file.korv-00000000000000dd.tmp
mkdir -m 700 $h
: >$h/placing
for i in $(seq 1 20); do echo "staged $i" >$h/$i; done
(cd rec && "$korvante" p.vyr --log one.log >/dev/null 2>&1)
check "an empty record" lacks rec/one.log ".korvante-file.korv-00000000000000dd.tmp, left by a run that was stopped, was removed"
check "an empty record, its folder still there" test -d $h
if [ -d $h ]; then
  (cd rec && "$korvante" p.vyr --log two.log >/dev/null 2>&1)
  check "an empty record, then the sweep" said rec/two.log ".korvante-file.korv-00000000000000dd.tmp, left by a run that was stopped, was removed with the 20 file(s)"
  check "an empty record, then the sweep" test ! -e $h
fi

# ---------------------------------------------------------------------------
# 10,000 hidden folders another user planted in the shared library folder:
# one note for them all, naming the first few.
mkdir -m 1777 many
cp v/aml.csv many/
chmod 644 many/aml.csv
printf "libname k '.';\nproc korvante data=aml outsurv=k.os notable plots=none;\n  time time*status(0);\nrun;\n" >many/p.vyr
chmod 644 many/p.vyr
(cd many && as $other bash -c 'for i in $(seq 10000 19999); do printf ".korvante-file.korv-%016x.tmp\n" $i; done | xargs mkdir')
(cd many && as $victim "$korvante" p.vyr --out "$work/v" --log "$work/v/many.log" >/dev/null 2>&1)
check "10,000 planted hidden folders" test $? = 0
check "10,000 planted hidden folders" test "$(grep -c 'hidden folder' v/many.log)" = 1
check "10,000 planted hidden folders" said v/many.log "holds 10000 hidden folders named as a run's that belong to other users (.korvante-file.korv-0000000000002710.tmp ($(user_text $other))"

# ---------------------------------------------------------------------------
# A document that is a hard link of the input CSV file in the data folder:
# refused on the command line, the data left whole.
mkdir hl
ln v/aml.csv hl/aml.lst
cp v/aml.csv "$work/aml.before"
(cd v && "$korvante" p.vyr --listing ../hl/aml.lst >/dev/null 2>"$work/err")
check "a hard link of the input CSV file" test $? = 2
check "a hard link of the input CSV file" nothing_run "$work/err"
check "a hard link of the input CSV file" said "$work/err" "(another name of $work/v/aml.csv)"
check "a hard link of the input CSV file" cmp -s v/aml.csv "$work/aml.before"

# ---------------------------------------------------------------------------
# 2,500 BY groups with two plots each: 5,000 graph files, and as many
# catalogue entries, written under ulimit -n 1024.
mkdir by
awk 'BEGIN { srand(3); print "g,t,c"; for (g = 1; g <= 2500; g++) for (i = 0; i < 4; i++)
  print g "," int(rand() * 100) + 1 "," (i % 2) }' >by/d.csv
printf "proc korvante data=d plots=(s ls) notable;\n  by g;\n  time t*c(0);\nrun;\n" >by/g.vyr
printf "options nographics;\nproc korvante data=d plots=(s ls) notable gout=work.cat;\n  by g;\n  time t*c(0);\nrun;\n" \
  >by/c.vyr
for p in g c; do
  (cd by && ulimit -n 1024 && "$korvante" $p.vyr --out o$p --listing /dev/null --log $p.log >/dev/null 2>&1)
  check "5,000 files of a step under ulimit -n 1024 ($p)" test $? = 0
  check "5,000 files of a step under ulimit -n 1024 ($p)" test "$(find by/o$p -name '*.svg' | wc -l)" = 5000
done

report

#!/usr/bin/env bash
# A step reaches each folder once, and judges a data set's name in the very
# open that reads or writes it. Another user swaps names of theirs again and
# again while the victim's runs read and write through them:
#   (1) in their folder (0777, no sticky bit, in root's shared folder), their
#       data set's CSV file and their link to the victim's private file,
#       traded under the data set's name: a run reads their file, or refuses
#       the link as leading out of its library, and never reads the private
#       file (through a LIBNAME, and through --data X --out X);
#   (2) their folder and their link to the victim's private folder, traded
#       under the library's name: what a step reads there and what it
#       writes there (its data sets, and its graphs in a folder it makes
#       there) are one folder, so nothing made from the private file lands
#       in their folder.
#   (3) their attribute file and their link to the victim's private one,
#       traded after the run looked at the name and before it opens it:
#       the private file is never opened.
#   (4) as (2), with the output folder (or the data folder) spelt otherwise
#       than the other (X/sub/.., X/./, X//, X/, a link to X, a relative
#       path): every spelling of a folder is one folder in a step.
#   (5) their moving a file the step placed in their folder away before the
#       failed placing takes it back: the run does not say that none of
#       the step's files were put in place.
# Without a swap, the victim's own links, inside the library, still work.
# Usage: swaps.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: swaps.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
[ -n "${KEEP:-}" ] && echo "work: $work"
swapper=
trap '[ -z "$swapper" ] || kill $swapper 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
. "$here/checks.sh"
two_users_or_skip
cd "$work" || exit 1
chmod 755 "$work"
victim=60001
other=60002
runs=${SWAP_RUNS:-60}

# The victim's private data: a time no one else's data has (4242.5).
mkdir -m 700 priv
{ echo "time,status"; echo "4242.5,1"; for i in 1 2 3 4 5; do echo "$i,1"; done; } >priv/os.csv
chown -R $victim:$victim priv
# The other user's data, in their folder of root's shared folder.
mkdir -m 1777 S
mkdir -m 755 S/P
mkdir -m 777 S/P/job S/P/jobx
{ echo "time,status"; for i in 1 2 3 4 5 6 7 8; do echo "$((i * 10)),1"; done; } >S/P/job/os.csv
cp S/P/job/os.csv S/P/jobx/os.csv
ln -s "$work/priv/os.csv" S/P/job/osl
ln -s "$work/priv" S/P/jobl
chown -R $other:$other S/P
chmod 666 S/P/job/os.csv S/P/jobx/os.csv
mkdir v
cat >v/lib.vyr <<EOF
libname s '$work/S/P/job';
proc korvante data=s.os outsurv=s.res notable plots=none;
  time time*status(0);
run;
EOF
cat >v/one.vyr <<EOF
proc korvante data=os outsurv=res notable plots=none;
  time time*status(0);
run;
EOF
cat >v/graph.vyr <<EOF
proc korvante data=os outsurv=res notable plots=survival;
  time time*status(0);
run;
EOF
chown -R $victim:$victim v

# swap A B: the other user trades the names A and B (in one call, as
# renameat2 with RENAME_EXCHANGE does) until killed; $swapper is it.
swap() {
  setpriv --reuid=$other --regid=$other --clear-groups \
    "$(command -v /usr/bin/python3 || command -v python3)" -c '
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
a, b = sys.argv[1].encode(), sys.argv[2].encode()
while True:
    libc.renameat2(-100, a, -100, b, 2)
' "$1" "$2" &
  swapper=$!
}
stop_swap() { kill $swapper 2>/dev/null; wait $swapper 2>/dev/null; swapper=; }
# leaked DIR: a file under DIR (the other user's) holds the private time.
leaked() { grep -rqs "4242.5" "$1"; }

# (1) The data set's name traded with the link: every run reads their file
# or refuses the link, and nothing made from the private file is written.
for how in lib one; do
  name="a name traded with a link to the private file ($how)"
  rm -f S/P/job/res.csv S/P/job/res.attr
  swap "$work/S/P/job/os.csv" "$work/S/P/job/osl"
  read_private=0
  refused=0
  for _ in $(seq 1 "$runs"); do
    if [ $how = lib ]; then
      as $victim "$korvante" v/lib.vyr >/dev/null 2>v/run.log
    else
      as $victim "$korvante" v/one.vyr --data "$work/S/P/job" --out "$work/S/P/job" >/dev/null 2>v/run.log
    fi
    s=$?
    said v/run.log "4242.5" && read_private=$((read_private + 1))
    leaked S/P/job && read_private=$((read_private + 1))
    said v/run.log "outside its library folder" && refused=$((refused + 1))
    [ $s = 0 ] || [ $s = 1 ] || fail "$name" "a run ended with status $s"
  done
  stop_swap
  check "$name: the private file never read" test $read_private = 0
  echo "$name: $refused of $runs runs refused the link"
done

# (2) The library's folder traded with a link to the private folder: the
# step reads and writes one folder, so no result made from the private file
# lands in the other user's folder. The name leads to the private folder
# when the run reads there (strace stops it as its read of the private
# attribute file returns), and to the other user's folder from then on.
echo 'dataset label="private"' >priv/os.attr
chown $victim:$victim priv/os.attr
rm -f S/P/job/res.csv S/P/job/res.attr
for how in lib one; do
  name="a folder traded with a link to the private folder ($how)"
  exchange() { # the other user trades the two names once
    setpriv --reuid=$other --regid=$other --clear-groups \
      "$(command -v /usr/bin/python3 || command -v python3)" -c '
import ctypes, sys
ctypes.CDLL(None).renameat2(-100, sys.argv[1].encode(), -100, sys.argv[2].encode(), 2)' "$@"
  }
  exchange "$work/S/P/job" "$work/S/P/jobl" # job: the link, jobl: their folder
  args=(v/lib.vyr)
  [ $how = one ] && args=(v/graph.vyr --data "$work/S/P/job" --out "$work/S/P/job")
  rm -f v/read.trace
  as_bg $victim strace -f -qq -o v/read.trace -P "$work/priv/os.attr" -e trace=read \
    -e inject=read:signal=STOP:when=1 "$korvante" "${args[@]}" >/dev/null 2>v/run.log
  tracer=$!
  stopped_in v/read.trace
  check "$name: the run stopped as it read the private folder" test -n "$stopped"
  exchange "$work/S/P/job" "$work/S/P/jobl" # job: their folder again
  kill -CONT "$stopped" 2>/dev/null || kill -KILL $tracer
  wait $tracer
  check "$name: nothing made from the private file in their folder" test -z "$(grep -rls 4242.5 S/P)"
  check "$name: no graph of the private file in their folder" test -z "$(find S/P -name '*.svg')"
  rm -rf S/P/job/res.csv S/P/job/res.attr S/P/job/graphs
done
# (The private folder may now hold the results of runs that read it: the
# victim's own folder, which only she reads.)

# (3) Their attribute file (taken: theirs, as the CSV file beside it is) and
# their link to the victim's private one, traded once while the run is
# stopped just after its last look at the name before it opens the file to
# read it (the look counted in a run traced whole): the open meets the link
# and refuses it as leading out of the library, never opening the private
# file.
name="an attribute file traded with a link to the private one before it is opened"
[ -L S/P/job/os.csv ] && exchange "$work/S/P/job/os.csv" "$work/S/P/job/osl" # as (1) may leave them
echo 'variable time label="theirs"' >S/P/job/os.attr
ln -s "$work/priv/os.attr" S/P/job/osal
chown -h $other:$other S/P/job/os.attr S/P/job/osal
as $victim strace -f -qq -o v/look.trace -e trace=newfstatat,openat "$korvante" v/lib.vyr >/dev/null 2>&1
k=$(awk 'NR == 1 { main = $1 } $1 != main { next } /newfstatat\(/ { n++; if (/"os.attr"/) last = n }
  /"os.attr", O_RDONLY/ && !/O_PATH/ { print last; exit }' v/look.trace)
rm -f S/P/job/res.csv S/P/job/res.attr
as_bg $victim strace -f -qq -y -o v/open.trace -e trace=newfstatat,openat \
  -e inject=newfstatat:signal=STOP:when="${k:-1}" "$korvante" v/lib.vyr >/dev/null 2>v/run.log
tracer=$!
stopped_in v/open.trace
check "$name: the run stopped before it opens it" test -n "${k:-}" -a -n "$stopped"
exchange "$work/S/P/job/os.attr" "$work/S/P/job/osal"
kill -CONT "$stopped" 2>/dev/null || kill -KILL $tracer
wait $tracer
check "$name: the private file never opened" \
  test "$(grep '"os.attr", O_RDONLY' v/open.trace | grep -v O_PATH | grep -c '/priv/os.attr>$')" = 0
check "$name: the link refused" said v/run.log "outside its library folder"

# (4) One folder under every spelling: the data folder X (their folder) and
# the output folder spelt otherwise (X/sub/.., X/./, X//, X/, the victim's
# own link to X, a relative path; or the data folder through that link),
# while X is traded with the link to the private folder. Whichever spelling
# the step walks first, the other reaches the folder held then: nothing made
# from the private file lands in their folder. A run stopped as it first
# lists X (looking for the data set in WORK), X traded, then traded back as
# the run maps a data set's CSV file (theirs or the private one), so that
# the checks before placing find X as it was; then runs while X is traded
# again and again. A run that says that none of the step's files were put
# in place made none.
rm -f S/P/job/os.attr S/P/job/osal S/P/job/res.csv S/P/job/res.attr
[ -L S/P/job/os.csv ] && exchange "$work/S/P/job/os.csv" "$work/S/P/job/osl"
[ -L S/P/job ] && exchange "$work/S/P/job" "$work/S/P/jobl"
X=$work/S/P/job
mkdir -p priv/sub S/P/job/sub
chown $victim:$victim priv/sub
chown $other:$other S/P/job/sub
ln -s "$X" v/outl
chown -h $victim:$victim v/outl
spellings=("$X|$X/sub/.." "$X|$X/./" "$X|$X//" "$X|$X/" "$X|$work/v/outl" "$X|S/P/job/sub/.."
  "$work/v/outl|$X")
# made_none: no data set nor graph file of the step (newer than v/start) in
# their folder or the private one, hidden folders aside.
made_none() {
  test -z "$(find S/P/ priv -newer v/start \( -name 'res.*' -o -name '*.svg' \) -not -path '*/.korvante-*')"
}
# leaked_now: a file made since v/start in their folder holds the private time.
leaked_now() { test -n "$(find S/P/ -newer v/start -type f -exec grep -l 4242.5 {} + 2>/dev/null)"; }
clean_out() { rm -rf S/P/job/res.* S/P/job/graphs priv/res.* priv/graphs; }
# spelling PATH: how the checks name a path: X for the data folder.
spelling() { local p=${1/#"$X"/X}; echo "${p/#"$work"/W}"; }
clean_out
for pair in "${spellings[@]}"; do
  data=${pair%%|*}
  out=${pair#*|}
  spelt="--data $(spelling "$data") --out $(spelling "$out")"
  name="one folder under two spellings ($spelt)"
  touch v/start
  rm -f v/spell.trace
  as_bg $victim strace -f -qq -o v/spell.trace -P "$X" -P "$work/priv/os.csv" -P "${X}l/os.csv" \
    -e trace=getdents64,mmap -e inject=getdents64:signal=STOP:when=1 -e inject=mmap:signal=STOP:when=1 \
    "$korvante" v/graph.vyr --data "$data" --out "$out" >/dev/null 2>v/run.log
  tracer=$!
  stopped_in v/spell.trace
  check "$name: the run stopped as it listed X" test -n "$stopped"
  exchange "$X" "${X}l" # X: the link to the private folder
  kill -CONT "$stopped" 2>/dev/null
  until_true 60 eval '[ "$(grep -c "stopped by SIGSTOP" v/spell.trace)" -ge 2 ] || ended $tracer'
  exchange "$X" "${X}l" # X: their folder again
  kill -CONT "$(awk '/stopped by SIGSTOP/ { p = $1 } END { print p }' v/spell.trace)" 2>/dev/null
  wait_ended $tracer
  s=$?
  check "$name: ended with status 0 or 1" test $s = 0 -o $s = 1
  check "$name: nothing made from the private file in their folder" test -z "$(grep -rls 4242.5 S/P)"
  said v/run.log "None of the step's files were put in place" &&
    check "$name: said to have put none in place, made none" made_none
  clean_out
done
for pair in "${spellings[@]}"; do
  data=${pair%%|*}
  out=${pair#*|}
  name="one folder under two spellings, X traded again and again (--data $(spelling "$data") --out $(spelling "$out"))"
  swap "$X" "${X}l"
  leaks=0
  untrue=0
  for _ in $(seq 1 $((runs / 2))); do
    touch v/start
    as $victim "$korvante" v/graph.vyr --data "$data" --out "$out" >/dev/null 2>v/run.log
    s=$?
    [ $s = 0 ] || [ $s = 1 ] || fail "$name" "a run ended with status $s"
    # Looked at while the other user waits: both names as they are.
    kill -STOP $swapper
    leaked_now && leaks=$((leaks + 1))
    said v/run.log "None of the step's files were put in place" && ! made_none && untrue=$((untrue + 1))
    kill -CONT $swapper
  done
  stop_swap
  [ -L S/P/job ] && exchange "$X" "${X}l"
  check "$name: nothing made from the private file in their folder" test $leaks = 0
  check "$name: a run that said it put none in place made none" test $untrue = 0
  clean_out
done

# (5) A run that says that none of the step's files were put in place put
# none: the step puts its data set in the other user's folder (--data X
# --out X, their data), is stopped just after its first file is in place
# (its next placing made to fail), and the other user moves that file
# away. The file was in place, so the run does not say that none was.
name="a placed file moved away by the folder's owner before it is taken back"
clean_out
as $victim "$korvante" v/one.vyr --data "$X" --out "$X" >/dev/null 2>&1 # earlier files
rm -f v/place.trace
as_bg $victim env KORV_FAIL_PLACE=2 strace -f -qq -o v/place.trace -e trace=renameat2 \
  -e inject=renameat2:signal=STOP:when=1 "$korvante" v/one.vyr --data "$X" --out "$X" >/dev/null 2>v/run.log
tracer=$!
stopped_in v/place.trace
check "$name: the run stopped after its first file was placed" test -n "$stopped"
placed=$(grep -m1 -o '"res\.[a-z]*"' v/place.trace | tr -d '"')
as $other mv "$X/$placed" "$X/moved-$placed"
kill -CONT "$stopped" 2>/dev/null
wait_ended $tracer
check "$name: the run failed" test $? = 1
check "$name: the step's file is where it was moved" test -f "$X/moved-$placed"
check "$name: not said to have put none in place" lacks v/run.log "None of the step's files were put in place"
check "$name: said that putting back failed" said v/run.log "Putting the step's files back failed too"
clean_out
rm -f S/P/job/moved-res.*

# Without a swap, the victim's own link inside the library still leads to
# its data set, and one out of it is refused.
mkdir -p v/lib/sub
cp S/P/jobx/os.csv v/lib/sub/real.csv
ln -s sub/real.csv v/lib/in.csv
ln -s "$work/priv/os.csv" v/lib/out.csv
chown -R $victim:$victim v/lib
for ds in in out; do
  printf "libname l 'lib';\nproc korvante data=l.%s outsurv=l.r%s notable plots=none;\n  time time*status(0);\nrun;\n" \
    $ds $ds >v/own_$ds.vyr
  chown $victim v/own_$ds.vyr
  (cd v && as $victim "$korvante" own_$ds.vyr >/dev/null 2>run.log)
  echo $? >v/own_$ds.status
done
check "the user's own link inside the library" test "$(cat v/own_in.status)" = 0
check "the user's own link inside the library" test -s v/lib/rin.csv
check "the user's own link out of the library" test "$(cat v/own_out.status)" = 1
check "the user's own link out of the library" said v/run.log "outside its library folder"

report

#!/usr/bin/env bash
# A data set written anew while a run reads it: the step that reads it ends
# with an error naming its file and why, the next step still runs, and the
# run ends with status 1, never by a signal (a page read past the file's
# new end raises SIGBUS). A run that ends with status 0 (its read fell
# between two writes) read one whole version of the file: its output is
# that of one version, never of a mix, where the writer wrote nothing while
# it ran (a run that meets a writer paused in the middle of a write, or whose
# read begins after a write call began, sees a mix with nothing moved, which
# no reader can tell from a whole file). Three writers, each for as long as
# the runs go on:
#   1. the file emptied and written anew, shorter and longer in turn (as
#      `cat new >data.csv` or an editor saving in place does);
#   2. written over in place with a version of the same size;
#   3. written over in place with a longer version (it grows), then with
#      the first again and cut to its size.
# The versions differ from their first rows on, so that a read of one's
# first bytes and another's last shows in the output.
# Usage: rewrites.sh PATH/TO/korvante [FOLDER]: the data set in FOLDER (an
# empty folder, e.g. on a mount; default a temporary folder).
set -uo pipefail
korvante=$(realpath "${1:?usage: rewrites.sh PATH/TO/korvante [FOLDER]}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
data=${2:-$work}
writer=
# The writer stops itself, between two writes, once the file stop is there.
stop_writer() {
  [ -z "$writer" ] && return
  touch "$work/stop"
  until_true 60 ended "$writer" || kill "$writer"
  wait "$writer" 2>/dev/null
  writer=
  rm -f "$work/stop"
}
trap 'stop_writer; rm -rf "$work"' EXIT
. "$here/checks.sh"
cd "$work" || exit 1

# long: aml.csv's rows 50,000 times over (20 MB, read in windows on every
# core); flipped: the same with every status turned (0 for 1 and 1 for 0),
# of the same size; longer: flipped and 5,000 times aml.csv's rows more;
# short: flipped's first four rows.
rows() { awk -F, -v n="$2" -v flip="$3" 'NR == 1 { print; next } { if (flip) $2 = 1 - $2; row[++k] = $0 }
  END { for (i = 0; i < n; i++) for (j = 1; j <= k; j++) print row[j] }' OFS=, "$1"; }
rows "$root/examples/aml.csv" 50000 0 >long.csv
rows "$root/examples/aml.csv" 50000 1 >flipped.csv
{ cat flipped.csv; rows "$root/examples/aml.csv" 5000 1 | tail -n +2; } >longer.csv
head -5 flipped.csv >short.csv
cp "$root/examples/aml.csv" "$data/steady.csv"
cat >p.vyr <<'EOP'
proc korvante data=data outsurv=surv notable plots=none;
  time time*status(0);
run;
proc korvante data=steady outsurv=after notable plots=none;
  time time*status(0);
run;
EOP
# The output of each version read whole.
for v in long flipped longer short; do
  mkdir -p "whole/$v"
  cp "$v.csv" "whole/$v/data.csv"
  cp "$root/examples/aml.csv" "whole/$v/steady.csv"
  "$korvante" p.vyr --data "whole/$v" --out "whole/$v" >/dev/null 2>&1
  check "version $v reads whole" test -s "whole/$v/surv.csv"
done

# runs NAME MUST VERSION...: runs the program while the writer writes,
# until five reads met the file changing under them and one said MUST (at
# most 40 runs). A run's output is that of one of the VERSIONs read whole,
# or its first step's errors name data.csv; where the writer never empties
# the file (whole=1), as changed while it was read: any other error about
# its values names no real cause.
runs() {
  local name=$1 must=$2 v rc got
  shift 2
  changed=0
  said_must=0
  quiets=0
  for ((i = 1; i <= 40 && (changed < 5 || said_must < 1); i++)); do
    rm -f out/surv.csv out/after.csv
    local before last
    before=$(wc -l <wlog)
    last=$(tail -n 1 wlog)
    "$korvante" p.vyr --data "$data" --out out >/dev/null 2>log.txt
    rc=$?
    # Whether the file was one whole version all the while: the writer was
    # between two writes when the run began, and began none before it ended.
    quiet=
    [ "$last" = end ] && [ "$(wc -l <wlog)" = "$before" ] && quiet=1
    check "$name, run $i ends with status 0 or 1, not by a signal (status $rc)" test "$rc" -le 1
    check "$name, run $i: the second step still runs" test -s out/after.csv
    grep '^ERROR' log.txt | grep -v 'The run ended with errors' >errors.txt
    if [ "$rc" = 1 ]; then
      check "$name, run $i: the first step's errors name data.csv" \
        test -z "$(grep -v 'data\.csv' errors.txt)"
      check "$name, run $i: an error names data.csv" said log.txt "data.csv"
      [ "$whole" = 1 ] && check "$name, run $i: the error says the file changed while it was read" \
        test -z "$(grep -v 'changed while it was read' errors.txt)"
    else
      got=
      for v in "$@"; do same_file out/surv.csv "whole/$v/surv.csv" && got=$v; done
      [ -n "$quiet" ] && quiets=$((quiets + 1)) &&
        check "$name, run $i ended with status 0 while the writer wrote nothing: it read one whole version" test -n "$got"
    fi
    said log.txt "/data.csv changed while it was read: it" && changed=$((changed + 1))
    said log.txt "$must" && said_must=$((said_must + 1))
    [ "$rc" -le 1 ] || { cat log.txt; break; }
  done
  echo "$name: $((i - 1)) runs, $changed met the file changing, $said_must said \"$must\"," \
    "$quiets read it while no one wrote it"
  check "$name: some reads met the file changing under them ($changed)" test "$changed" -ge 1
  check "$name: some reads said \"$must\" ($said_must)" test "$said_must" -ge 1
}

# Each version is written by one write call, the calls logged in wlog
# ("begin" before each, "end" after it), with a pause of up to 40 ms after
# each, so that some runs read a file no one writes.
put() {
  echo begin >>wlog
  dd if="$1" of="$data/data.csv" bs=64M iflag=fullblock status=none "${@:2}"
  echo end >>wlog
  sleep "0.0$((RANDOM % 5))"
}
echo end >wlog
cp long.csv "$data/data.csv"
(while [ ! -e stop ]; do
  put short.csv
  put long.csv
done) &
writer=$!
whole=0
runs "emptied and written anew" "changed while it was read" short long
stop_writer

# Written over in place, never emptied: each error says why, that the file
# changed while it was read.
over() { put "$1" conv=notrunc; }
cp long.csv "$data/data.csv"
(while [ ! -e stop ]; do
  over flipped.csv
  over long.csv
done) &
writer=$!
whole=1
runs "written over, the same size" "it was written to" long flipped
stop_writer

cp long.csv "$data/data.csv"
# Written over with the first, then cut to its size: one write of the log,
# as the file is a whole version only once it is cut.
(while [ ! -e stop ]; do
  over longer.csv
  echo begin >>wlog
  dd if=long.csv of="$data/data.csv" bs=64M iflag=fullblock conv=notrunc status=none
  truncate -s "$(stat -c %s long.csv)" "$data/data.csv"
  echo end >>wlog
  sleep "0.0$((RANDOM % 5))"
done) &
writer=$!
runs "written over, longer" "it grew" long longer
stop_writer

# Values a step reads after its first read of a data set: the columns it
# names only through a range (x1-x3) stay in the file until needed, TEST
# covariates read observation by observation and STRATA variables in
# blocks. strace stops the run as it maps the file the second time, for
# that load, and the file is
#   a. touched, its bytes kept (as a sync tool does): the step reads it, as
#      a run left alone does;
#   b. written over with other bytes of the same size: the step ends at
#      once with one error saying the file changed, and the next step runs;
# with the log on standard error and in a file (--log).
if command -v strace >/dev/null && strace -f -qq -o /dev/null true 2>/dev/null; then
  covariates() { awk 'NR == 1 { print $0 ",x1,x2,x3"; next } { print $0 "," NR % 3 "," NR % 2 "," int(NR / 2) % 2 }'; }
  rows "$root/examples/aml.csv" 200 0 | covariates >lazy.first
  rows "$root/examples/aml.csv" 200 1 | covariates >lazy.flipped
  for s in test strata; do
    printf 'proc korvante data=lazy notable plots=none;\n  time time*status(0);\n  %s x1-x3;\nrun;\n%s\n' "$s" \
      "proc korvante data=steady outsurv=after notable plots=none; time time*status(0); run;" >"$s.vyr"
  done
  # stopped_run NAME PROGRAM ACTION [--log FILE]: runs PROGRAM, does ACTION
  # while it is stopped, and lets it go on; its status in $rc.
  stopped_run() {
    local name=$1 program=$2 act=$3 run
    shift 3
    rm -f out/after.csv run.trace lazy.log
    cp lazy.first "$data/lazy.csv"
    strace -f -qq -o run.trace -P "$data/lazy.csv" -e trace=mmap -e inject=mmap:signal=STOP:when=2 \
      timeout 60 "$korvante" "$program" --data "$data" --out out "$@" >run.lst 2>run.err &
    run=$!
    stopped_in run.trace
    check "$name: the run stops as it loads the values" test -n "$stopped"
    $act
    [ -n "$stopped" ] && kill -CONT "$stopped"
    wait_ended "$run" 90
    rc=$?
    check "$name: the next step runs" test -s out/after.csv
  }
  touched() { touch -m -d 2000-01-01 "$data/lazy.csv"; }
  written_over() { cp lazy.flipped "$data/lazy.csv"; }
  for program in test.vyr strata.vyr; do
    cp lazy.first "$data/lazy.csv"
    timeout 60 "$korvante" $program --data "$data" --out out >alone.lst 2>/dev/null
    for log in "" "--log lazy.log"; do
      name="$program${log:+, $log}"
      stopped_run "$name, touched" $program touched $log
      check "$name, touched: read (status $rc)" test "$rc" = 0
      check "$name, touched: what a run left alone reads" same_file run.lst alone.lst
      stopped_run "$name, written over" $program written_over $log
      cat run.err lazy.log 2>/dev/null | grep '^ERROR' | grep -v 'The run ended with errors' >errors.txt
      check "$name, written over: status 1 ($rc)" test "$rc" = 1
      check "$name, written over: one error, that lazy.csv changed ($(wc -l <errors.txt) errors)" \
        test "$(grep -c 'lazy\.csv.* changed while' errors.txt)" = 1 -a "$(wc -l <errors.txt)" = 1
    done
  done
else
  echo "values loaded after the first read: skipped (needs strace)"
fi
report

#!/usr/bin/env bash
# A data set emptied and written anew in place while a run reads it (as
# `cat new >data.csv` or an editor saving in place does), shorter or longer
# than before: the step that reads it ends with an error naming its file,
# the next step still runs, and the run ends with status 1 (or 0 when its
# read fell between two writes), never by a signal (a page read past the
# file's new end raises SIGBUS).
# Usage: rewrites.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: rewrites.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
writer=
# The writer stops itself, between two writes, once the file stop is there.
stop_writer() {
  [ -z "$writer" ] || { touch "$work/stop"; wait "$writer"; }
  writer=
}
trap 'stop_writer; rm -rf "$work"' EXIT
. "$here/checks.sh"
cd "$work" || exit 1

# The long contents: aml.csv's rows 50,000 times over (20 MB, read in
# windows on every core); the short: its first four rows.
awk 'NR == 1 { print; next } { row[++n] = $0 } END { for (i = 0; i < 50000; i++) for (j = 1; j <= n; j++) print row[j] }' \
  "$root/examples/aml.csv" >long.csv
head -5 "$root/examples/aml.csv" >short.csv
cp "$root/examples/aml.csv" steady.csv
cp long.csv data.csv
cat >p.vyr <<'EOP'
proc korvante data=data notable plots=none;
  time time*status(0);
run;
proc korvante data=steady outsurv=after notable plots=none;
  time time*status(0);
run;
EOP

# The writer empties data.csv and writes it anew, short and long in turn,
# for as long as the runs go on.
(while [ ! -e stop ]; do
  cat short.csv >data.csv
  cat long.csv >data.csv
done) &
writer=$!
# Runs until five reads met the file changing under them (at most 40 runs;
# a read that falls between two writes reads a whole file).
changed=0
for ((i = 1; i <= 40 && changed < 5; i++)); do
  rm -f out/after.csv
  "$korvante" p.vyr --out out >/dev/null 2>log.txt
  rc=$?
  check "run $i ends with status 0 or 1, not by a signal (status $rc)" test "$rc" -le 1
  check "run $i: the second step still runs" test -s out/after.csv
  if [ "$rc" = 1 ]; then
    # Each error but the run's last line names the data set's file.
    check "run $i: the first step's error names data.csv" \
      test -z "$(grep '^ERROR' log.txt | grep -v 'The run ended with errors' | grep -v 'data\.csv')"
    check "run $i: an error names data.csv" said log.txt "data.csv"
  fi
  said log.txt "The file ./data.csv changed while it was read: it" && changed=$((changed + 1))
  [ "$rc" -le 1 ] || { cat log.txt; break; }
done
stop_writer
check "some reads met the file changing under them ($changed)" test "$changed" -ge 1
report

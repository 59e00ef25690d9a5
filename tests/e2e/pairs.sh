#!/usr/bin/env bash
# What a reader gets from a data set's two files, as two users would meet
# them:
#   (a) another user's attribute file beside the victim's CSV file in a
#       shared sticky folder is not taken: the analysis is the one without
#       it, with a warning naming the file and its owner;
#   (b) a reader that may not lock the folder, while the victim's writer is
#       held between putting the attribute file and the CSV file in place,
#       waits and reads the whole new pair, also in a pid namespace of its
#       own, where the kernel's table of locks shows it no writer;
#   (c) a pair split by a killed run, read by another user: a warning
#       naming the data set;
#   (d) a CSV file edited after it was written: a note, and it is read;
#   (e) an attribute file without the line naming its CSV file (as earlier
#       versions wrote): read as before, without a word.
# Usage: pairs.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: pairs.sh PATH/TO/korvante}")
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
# log_rank LISTING: the log-rank test's chi-square, DF and p.
log_rank() { awk '$1 == "Log-Rank" && NF == 4 { print $2, $3, $4; exit }' "$1"; }

# ---------------------------------------------------------------------------
# (a) In a shared sticky folder of root's, the victim's trial.csv has three
# doses; another user adds trial.attr giving dose the format 1., which
# would make two strata of them.
mkdir -m 1777 shared
awk -F, 'NR == 1 { print $0 ",dose"; next } { print $0 "," (NR % 3 == 0 ? 1 : NR % 3 == 1 ? 1.2 : 2) }' \
  "$root/examples/aml.csv" >shared/trial.csv
chown $victim:$victim shared/trial.csv
mkdir -m 755 v && chown $victim:$victim v
printf "proc korvante data=trial notable plots=none;\n  time time*status(0);\n  strata dose;\nrun;\n" >v/s.vyr
as $victim "$korvante" v/s.vyr --data shared >v/alone.lst 2>v/alone.log
check "the victim's trial alone" test $? = 0
check "the victim's trial alone: three strata, so 2 DF" test "$(log_rank v/alone.lst | cut -d' ' -f2)" = 2
as $other sh -c "echo 'variable dose format=1.' >shared/trial.attr"
as $victim "$korvante" v/s.vyr --data shared >v/foreign.lst 2>v/foreign.log
check "another user's attribute file" test $? = 0
check "another user's attribute file: the same log-rank test" test "$(log_rank v/foreign.lst)" = "$(log_rank v/alone.lst)"
check "another user's attribute file: named, with its owner" said v/foreign.log \
  "WARNING: The attribute file shared/trial.attr belongs to $(user_text $other), who is not known to own the CSV file of data set DATA.TRIAL, nor its folder"
# Not even read: a file that would be an error fails nothing.
as $other sh -c "echo 'variable dose type=num length=oops' >shared/trial.attr"
as $victim "$korvante" v/s.vyr --data shared >v/bad.lst 2>v/bad.log
check "another user's malformed attribute file" test $? = 0
check "another user's malformed attribute file" said v/bad.log "belongs to $(user_text $other)"
rm -f shared/trial.attr

# ---------------------------------------------------------------------------
# The victim's library folder ro, which the other user may read but not
# write (so may not lock): b.vyr writes k.os without strata, a.vyr with.
mkdir -m 755 ro o
cp "$root/examples/aml.csv" v/
for x in a b; do
  { echo "libname k '$work/ro';"
    echo "proc korvante data=aml outsurv=k.os notable plots=none;"
    echo "  time time*status(0);"
    [ $x = a ] && echo "  strata x;"
    echo "run;"; } >v/$x.vyr
done
printf "libname k '%s';\nproc korvante data=k.os notable plots=none;\n  time time*_CENSOR_(1);\nrun;\n" \
  "$work/ro" >o/read.vyr
chown -R $victim:$victim ro v
chown -R $other:$other o
mixed_words="describes variable
do not belong together
has changed since"
# whole_read LOG: no word of a mixed pair in the log.
whole_read() {
  local w
  while read -r w; do lacks "$1" "$w" || return 1; done <<<"$mixed_words"
}

# (b) held_writer: the victim's a.vyr, its rename of k.os's CSV file held
# 3 s; returns once that rename has begun (its attribute file is in place).
held_writer() {
  as $victim "$korvante" v/b.vyr >/dev/null 2>&1
  as $victim strace -f -qq -o v/calls.trace -e trace=renameat2 "$korvante" v/a.vyr >/dev/null 2>&1
  as $victim "$korvante" v/b.vyr >/dev/null 2>&1
  local k
  k=$(rename_number v/calls.trace os.csv)
  rm -f v/held.trace
  as_bg $victim strace -f -qq -o v/held.trace -e trace=renameat2 \
    -e inject=renameat2:delay_enter=3000000:when=$k "$korvante" v/a.vyr >/dev/null 2>&1
  writer=$!
  for _ in $(seq 1 1000); do
    grep -q '"os.csv"' v/held.trace 2>/dev/null && break
    kill -0 $writer 2>/dev/null || break
    sleep 0.01
  done
}
# read_during NAME PREFIX...: the other user's reader, run while the writer
# is held (PREFIX: a command it runs under).
read_during() {
  local name=$1
  shift
  held_writer
  check "$name: the writer is held between its renames" grep -q 'os.csv' v/held.trace
  "$@" setpriv --reuid=$other --regid=$other --clear-groups "$korvante" o/read.vyr --log o/r.log >o/r.lst 2>&1
  check "$name" test $? = 0
  wait $writer
  check "$name: the writer" test $? = 0
  check "$name: it waited" said o/r.log "Data set K.OS is held by a run putting its files in place"
  check "$name: a whole pair" whole_read o/r.log
  setpriv --reuid=$other --regid=$other --clear-groups "$korvante" o/read.vyr >o/after.lst 2>/dev/null
  check "$name: the new pair" same_file o/r.lst o/after.lst
}
read_during "a reader that may not lock, a writer between its renames"
if unshare --pid --fork --mount-proc true 2>/dev/null; then
  read_during "the same reader in a pid namespace of its own" unshare --pid --fork --mount-proc
else
  echo "skipped: a reader in a pid namespace of its own (unshare --pid is not allowed here)"
fi

# ---------------------------------------------------------------------------
# (c) A pair split by a kill, in root's folder, read by the other user
# (who may not lock there): a warning naming the data set.
split_by_kill split v/aml.csv
check "a pair split by a kill" test "$(head -1 split/lib/os.csv | grep -c STRATUM)" != "$(grep -c STRATUM split/lib/os.attr)"
printf "libname l '%s';\nproc korvante data=l.os notable plots=none;\n  time time*_CENSOR_(1);\nrun;\n" \
  "$work/split/lib" >o/split.vyr
chown $other:$other o/split.vyr
as $other env KORV_LOCK_WAIT_MS=1500 "$korvante" o/split.vyr --log o/split.log >/dev/null 2>&1
check "a pair split by a kill, read by another user" test $? = 0
check "a pair split by a kill, read by another user: a warning naming it" \
  grep -qE "^WARNING: (The files of data set L.OS do not belong together|The data set L.OS is read as a run stopped)" o/split.log

# ---------------------------------------------------------------------------
# (d) The victim's CSV file edited after it was written: a note, and the
# new row is read.
# total LISTING: the number of observations the summary counts.
total() { awk 'f { print $1; exit } /Total +Failed/ { f = 1 }' "$1"; }
as $victim "$korvante" v/b.vyr >/dev/null 2>&1
as $other "$korvante" o/read.vyr >o/pre.lst 2>/dev/null
as $victim sh -c "echo '1000,1,.,.,.' >>ro/os.csv && touch -d '+1 minute' ro/os.csv"
as $other "$korvante" o/read.vyr --log o/edit.log >o/edit.lst 2>&1
check "a CSV file edited by hand" test $? = 0
check "a CSV file edited by hand: a note" said o/edit.log \
  "NOTE: The CSV file of data set K.OS has changed since its attribute file was written"
check "a CSV file edited by hand: no warning" lacks o/edit.log "WARNING"
check "a CSV file edited by hand: its new row" test "$(total o/edit.lst)" = "$(($(total o/pre.lst) + 1))"

# ---------------------------------------------------------------------------
# (e) An attribute file as earlier versions wrote it (no line naming the
# CSV file): read as before.
as $victim "$korvante" v/a.vyr >/dev/null 2>&1
as $other "$korvante" o/read.vyr --log o/new.log >o/new.lst 2>&1
as $victim sed -i '/^# csv size=/d' ro/os.attr
check "an attribute file of an earlier version" lacks ro/os.attr "# csv"
as $other "$korvante" o/read.vyr --log o/old.log >o/old.lst 2>&1
check "an attribute file of an earlier version" test $? = 0
check "an attribute file of an earlier version" same_file o/old.lst o/new.lst
check "an attribute file of an earlier version" whole_read o/old.log

report

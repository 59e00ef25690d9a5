#!/usr/bin/env bash
# Data sets on an rclone mount with --vfs-cache-mode writes. Until rclone
# has uploaded a file written through the mount, the file's time moves each
# time a reader first reads it; its bytes do not. Such a file is read as it
# is, never called changed:
#   a. a CSV file copied into the mount and read at once;
#   b. a data set one step writes there and the next step reads; a pair
#      whose attribute file names another CSV file, read as it is.
# Each gives the output of the same program run on a local folder.
#   c. A file written anew while it is read is still called changed, and a
#      run that ends with status 0 read one whole version (rewrites.sh, its
#      data set on the mount).
#   d. Device graphics drawn into a permanent catalogue there, twice in
#      a row: each run's entries take names of their own (rclone can
#      neither link a file nor rename one only where its name is free).
#   e. A run killed while it puts a step's files in place there, between
#      the two files of a data set, and the mount made anew (rclone then
#      numbers each file by its path, and a file's time has moved as it was
#      uploaded): the next run puts the folder back as it was, each pair
#      whole, and leaves no hidden folder.
# Skipped (77) where there is no rclone or FUSE.
# Usage: rclone.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: rclone.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
mnt=$work/mnt
mounted=no
cleanup() {
  if [ $mounted = yes ]; then
    fusermount -u "$mnt" 2>/dev/null || fusermount -uz "$mnt"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
. "$here/checks.sh"
cd "$work" || exit 1
mkdir remote mnt local
if ! command -v rclone >/dev/null || [ ! -c /dev/fuse ]; then
  echo "skipped: no rclone or no /dev/fuse"
  exit 77
fi
# Its cache in the test's folder; no configuration is needed for a local
# folder.
mount_it() {
  rclone mount remote mnt --vfs-cache-mode writes --cache-dir "$work/cache" \
    --config /dev/null -q --daemon 2>why.txt && until_true 20 mountpoint -q mnt
}
if ! mount_it; then
  echo "skipped: rclone could not mount here ($(head -1 why.txt))"
  exit 77
fi
mounted=yes

# a. Copied in and read at once, three files in a row.
cat >read.vyr <<'EOP'
proc korvante data=fresh outsurv=surv notable plots=none;
  time time*status(0);
run;
EOP
cp "$root/examples/aml.csv" local/fresh.csv
"$korvante" read.vyr --data local --out local >/dev/null 2>&1
check "the program reads the local copy" test -s local/surv.csv
for i in 1 2 3; do
  mkdir "mnt/a$i"
  cp "$root/examples/aml.csv" "mnt/a$i/fresh.csv"
  "$korvante" read.vyr --data "mnt/a$i" --out "out$i" >/dev/null 2>"a$i.log"
  check "a CSV file copied in is read at once (run $i, status $?)" lacks "a$i.log" ERROR
  check "a CSV file copied in is read at once (run $i)" same_file "out$i/surv.csv" local/surv.csv
done

# b. A data set the first step writes on the mount, read by the second,
# each run in a folder of its own.
cat >two.vyr <<'EOP'
libname m 'LIB';
proc korvante data=aml outsurv=m.first notable plots=none;
  time time*status(0);
run;
proc korvante data=m.first outsurv=second notable plots=none;
  time time*_censor_(1);
run;
EOP
cp "$root/examples/aml.csv" .
mkdir local/lib
sed "s#'LIB'#'local/lib'#" two.vyr >local.vyr
"$korvante" local.vyr --out local >/dev/null 2>&1
check "the two steps run on a local folder" test -s local/second.csv
for i in 1 2 3; do
  mkdir "mnt/b$i"
  sed "s#'LIB'#'mnt/b$i'#" two.vyr >"two$i.vyr"
  "$korvante" "two$i.vyr" --out "two$i" >/dev/null 2>"b$i.log"
  check "the second step reads the first step's data set (run $i)" lacks "b$i.log" ERROR
  check "the second step reads the first step's data set (run $i)" \
    same_file "two$i/second.csv" local/second.csv
done

# A pair whose attribute file names another CSV file, as a run stopped
# between its two renames leaves it: judged once, with a warning, and read
# as it is.
mkdir mnt/split
cp aml.csv mnt/split/split.csv
printf '# csv size=414 digest=0123456789abcdef\n' >mnt/split/split.attr
sed 's/data=fresh/data=split/' read.vyr >split.vyr
"$korvante" split.vyr --data mnt/split --out split >/dev/null 2>split.log
check "a split pair is read as it is (status $?)" lacks split.log ERROR
check "a split pair is read as it is" test "$(grep -c 'do not belong together' split.log)" = 1
check "a split pair is read as it is" same_file split/surv.csv local/surv.csv

# c. Written anew while read, on the mount.
mkdir mnt/rewrites
bash "$here/rewrites.sh" "$korvante" "$mnt/rewrites" >rewrites.log 2>&1
s=$?
check "files written anew while read, on the mount (rewrites.sh)" test $s = 0
# (check itself is true once it has counted a failure)
[ $s = 0 ] || grep -E '^FAIL|met the file' rewrites.log

# d. A permanent catalogue on the mount, written twice.
mkdir mnt/cat
printf "libname c '%s';\nproc korvante data=aml plots=(s) gout=c.gcat notable;\n  time time*status(0);\nrun;\n" \
  "$mnt/cat" >cat.vyr
for i in 1 2; do
  "$korvante" cat.vyr --graphics off --out "cat$i" >/dev/null 2>"cat$i.log"
  check "a catalogue on the mount, run $i (status $?)" lacks "cat$i.log" ERROR
done
check "a catalogue on the mount: each run's entries" test "$(find mnt/cat/GCAT -name '*.svg' | wc -l)" = 2

# e. Killed between the two files of a data set (strace kills it as the
# first rename naming os.csv begins), the mount made anew, then the next
# run.
if command -v strace >/dev/null && strace -f -qq -o /dev/null true 2>/dev/null; then
  . "$here/placing_setup.sh"
  step_in mnt/k
  next_programs mnt/k
  (cd mnt/k && "$korvante" p.vyr --out files/out >/dev/null 2>&1)
  check "a kill while placing: the first run" test $? = 0
  cp -r mnt/k/files first
  other_numbers mnt/k
  # The renames of a whole placing over the same files, to find the first
  # naming os.csv.
  cp -r mnt/k mnt/k2
  (cd mnt/k2 && strace -f -qq -o "$work/k.trace" -e trace=renameat2 "$korvante" p.vyr --out files/out \
    >/dev/null 2>&1)
  at=$(rename_number "$work/k.trace" os.csv)
  check "a kill while placing: the placing renames os.csv" test "$at" -gt 1
  (cd mnt/k && strace -f -qq -o /dev/null -e trace=renameat2 -e inject=renameat2:signal=KILL:when="$at" \
    "$korvante" p.vyr --out files/out >/dev/null 2>&1) 2>/dev/null
  check "a kill while placing: killed" test $? = 137
  check "a kill while placing: it left the pair split" test -n "$(cmp mnt/k/files/lib1/os.attr first/lib1/os.attr)"
  fusermount -u mnt && mount_it
  check "a kill while placing: the mount made anew" mountpoint -q mnt
  (cd mnt/k && "$korvante" next.vyr --out files/out --log next.log >/dev/null 2>&1)
  check "a kill while placing: the next run (status $?)" lacks mnt/k/next.log ERROR
  check "a kill while placing: put back" said mnt/k/next.log "put that folder back as it was"
  for f in lib1/os.csv lib1/os.attr lib2/ot.csv lib2/ot.attr; do
    check "a kill while placing: $f as before" same_file "first/$f" "mnt/k/files/$f"
  done
  check "a kill while placing: no hidden folder left" test -z "$(find mnt/k/files -name '.korvante-*.tmp')" ||
    find mnt/k/files -path '*/.korvante-*.tmp/*'
else
  echo "skipped: a kill while placing (strace cannot trace here)"
fi
report

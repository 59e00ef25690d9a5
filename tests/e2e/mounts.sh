#!/usr/bin/env bash
# One folder at two mount points, as a container's `-v dir:/in:ro -v
# dir:/out` shows it (a read-only and a writable bind mount of it, in a
# private mount namespace): a step writes only through the mount its path
# names, whichever mount it met first. Read through the read-only mount and
# written through the writable one, the data set is written; written
# through the read-only one, the kernel refuses it.
# And a library 50 folders deep under every `ulimit -n` too low for its
# step: the error says that descriptors ran out, never that a name leads
# out of its library or that a data set was not found.
# Usage: mounts.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: mounts.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/checks.sh"
# step IN OUT: reads inp.aml from IN and writes res.os into OUT.
step() {
  printf "libname inp '%s';\nlibname res '%s';\n%s\n  time time*status(0);\nrun;\n" "$work/$1" \
    "$work/$2" "proc korvante data=inp.aml outsurv=res.os notable plots=none;" >p.vyr
  rm -f dir/os.*
  "$korvante" p.vyr >/dev/null 2>err
}
if [ "${2:-}" = inside ]; then # in a private mount namespace, in the caller's $work
  cd "$work" && mount --bind dir in && mount -o remount,bind,ro in && mount --bind dir out || exit 77
  step in out
  check "read through the read-only mount, written through the writable one" test $? = 0 -a -s dir/os.csv
  step out in
  check "written through the read-only mount" test $? = 1 -a "$(ls -A dir)" = aml.csv
  check "written through the read-only mount" said err "Read-only file system"
  report
  exit
fi
work_with_mounts

lib=$work/deep$(printf '/d%.0s' {1..50})
mkdir -p "$lib" && cp "$here/../../examples/lung.csv" "$lib/"
printf "options nographics;\nlibname l '%s';\n%s\n  time time*status(1);\nrun;\n" "$lib" \
  "proc korvante data=l.lung outsurv=l.os plots=(s) notable gout=l.cat;" >deep.vyr
if sanitized; then
  echo "left out: a library 50 folders deep under few descriptors (a sanitized build)"
else
  for ((n = 8; n < 200; n++)); do
    (ulimit -n $n && exec "$korvante" deep.vyr >/dev/null 2>err) && break
    check "ulimit -n $n, a library 50 folders deep: the error says so" said err "Too many open files"
    check "ulimit -n $n, a library 50 folders deep: no wrong cause" lacks err "outside its library"
    check "ulimit -n $n, a library 50 folders deep: no wrong cause" lacks err "not found"
  done
  # One descriptor for each folder on its paths (54 here), and 10 to 20 more.
  check "a library 50 folders deep, under ulimit -n $n" test $n -le 80
fi

mkdir dir in out
cp "$here/../../examples/aml.csv" dir/
for how in -m -rm; do
  unshare $how true 2>/dev/null || continue
  work=$work unshare $how bash "$here/mounts.sh" "$korvante" inside
  s=$?
  [ $s = 77 ] && continue
  check "one folder at two mount points (unshare $how)" test $s = 0
  report
  exit
done
echo "skipped: one folder at two mount points (no private mount namespace with bind mounts here)"
report && exit 77

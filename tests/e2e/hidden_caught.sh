#!/usr/bin/env bash
# A user who may only read, on file systems that show every file readable to
# all (exFAT through exfat-fuse and FAT through fusefat, umask=022), and the
# victim's hidden folders there:
#   a. the reader catches every file made in the victim's folder, in new
#      hidden folders too, and keeps them open: every write ends well, no
#      hidden folder gathers more of the names the mount keeps for removed
#      files than one run leaves in it, and once the reader lets go the next
#      write leaves no hidden folder nor kept name;
#   b. on exFAT, the reader holds the lock file of a killed run's hidden
#      folder, with a read lock or only open: the victim's next run, which
#      sweeps the folder, waits no moment for that file, or a moment or two,
#      and ends well; once the reader lets go the run after removes it.
# Each case is skipped, with a word, where the machine does not allow it.
# Usage: hidden_caught.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: hidden_caught.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/checks.sh"
work_with_mounts
two_users_or_skip
victim=60001
other=60002
python=$(command -v /usr/bin/python3 || command -v python3)
mkdir -m 777 t # what the two users write besides the file systems
# write DIR: the victim's run writes the data set os into DIR.
write() {
  printf "libname k '%s';\nproc korvante data=aml outsurv=k.os notable plots=none;\n  time time*status(0);\nrun;\n" \
    "$1" >"$work/w.vyr"
  chmod 644 "$work/w.vyr"
  as $victim timeout 60 "${@:2}" "$korvante" "$work/w.vyr" --data "$for_others" >/dev/null 2>"$work/w.log"
}
# most_kept DIR: the most names a mount keeps for removed files in any one
# hidden folder of DIR.
most_kept() {
  find "$1" -mindepth 2 -maxdepth 2 -path '*/.korvante-*.tmp/.fuse_hidden*' -printf '%h\n' |
    sort | uniq -c | awk 'BEGIN { m = 0 } $1 > m { m = $1 } END { print m }'
}
no_kept() { [ -z "$(find "$1" -name '.fuse_hidden*')" ]; }
# a. caught NAME DIR WRITES
caught() {
  local d=$2/lib ok=0 i catcher
  as $victim mkdir "$d"
  install -m 666 /dev/null "$work/counts"
  as_bg $other "$python" "$for_others/catch_new.py" --deep "$d" "$work/counts" 100000 >"$work/catch.said" 2>&1
  catcher=$!
  until_true 20 grep -q . "$work/catch.said"
  check "$1: the reader watches the folder" said "$work/catch.said" watching
  for i in $(seq 1 "$3"); do write "$d" && ok=$((ok + 1)) || grep -m1 ERROR "$work/w.log"; done
  check "$1: $3 writes while a reader catches and keeps every new file" test $ok = "$3"
  check "$1: no hidden folder gathers kept names run after run" test "$(most_kept "$d")" -le 3
  echo "$1: after $3 writes, $(find "$d" -maxdepth 1 -name '.korvante-*.tmp' | wc -l) hidden folders" \
    "that hold $(find "$d" -mindepth 2 -name '.fuse_hidden*' | wc -l) names kept for the reader"
  kill $catcher
  wait_ended $catcher 20
  until_true 10 no_kept "$d"
  check "$1: once the reader lets go, the next write leaves nothing" write "$d"
  check "$1: once the reader lets go, the next write leaves nothing" \
    test -z "$(find "$d" -name '.korvante-*.tmp' -o -name '.fuse_hidden*')"
}
# b. held DIR HOW: a killed run's hidden folder in DIR, its lock file held
# by the reader (HOW: read, a read lock and a flock; open, only open).
held() {
  local d=$1/$2 h=$1/$2/.korvante-file.korv-00000000000000a1.tmp waits
  as $victim sh -c "mkdir -p '$h' && : >'$h/lock' && echo 1 >'$h/1'"
  if [ "$2" = read ]; then
    hold_lock as $other read "$h/lock"
  else
    as_bg $other sh -c "exec 3<'$h/lock' && : >'$work/t/opened' && exec sleep 600"
    holder=$!
    until_true 10 test -e "$work/t/opened"
  fi
  check "exFAT: a killed run's lock file a reader holds ($2)" \
    write "$d" strace -f -qq -o "$work/t/$2.trace" -e trace=nanosleep,clock_nanosleep
  waits=$(grep -c 'nanosleep(' "$work/t/$2.trace")
  if [ "$2" = read ]; then
    check "exFAT: no moment waited for a lock file a reader locked" test "$waits" = 0
  else
    check "exFAT: a moment or two at most waited for a lock file a reader holds open" test "$waits" -le 10
  fi
  let_holder_go
  until_true 10 no_kept "$d"
  write "$d"
  check "exFAT: once the reader lets go, the killed run's folder is removed ($2)" test ! -e "$h"
}
# exFAT through exfat-fuse (on a loop device) and FAT through fusefat (on
# an image), the victim's by their mount options, every file shown 0755.
mkdir -m 755 exfat fat
if command -v mount.exfat-fuse >/dev/null && command -v mkfs.exfat >/dev/null && [ -c /dev/fuse ] &&
  truncate -s 64M exfat.img && mkfs.exfat exfat.img >/dev/null 2>&1 &&
  loop=$(losetup -f --show exfat.img 2>/dev/null); then
  loops+=("$loop")
  if mount.exfat-fuse -o allow_other,uid=$victim,gid=$victim,umask=022 "$loop" exfat >/dev/null 2>exfat.why; then
    mounts+=("$work/exfat")
    caught "exFAT" "$work/exfat" 15
    held "$work/exfat" read
    held "$work/exfat" open
  else
    echo "skipped: exFAT (its mount was refused: $(head -1 exfat.why))"
  fi
else
  echo "skipped: exFAT (no exfat-fuse, mkfs.exfat, /dev/fuse or loop device)"
fi
if command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null && [ -c /dev/fuse ] &&
  truncate -s 64M fat.img && mkfs.vfat -s 16 fat.img >/dev/null; then
  # fusefat (sooner when threaded) breaks the long names of a folder grown
  # over clusters while files come and go: 8 KiB ones hold six writes' files.
  if fusefat -s -o rw+,allow_other,uid=$victim,gid=$victim,umask=022 fat.img fat >/dev/null 2>fat.why; then
    mounts+=("$work/fat")
    caught "FAT" "$work/fat" 6
  else
    echo "skipped: FAT (its mount was refused: $(head -1 fat.why))"
  fi
else
  echo "skipped: FAT (no fusefat, mkfs.vfat or /dev/fuse)"
fi
report

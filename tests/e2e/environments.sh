#!/usr/bin/env bash
# Where a run may find itself besides a local disk seen from the writer's
# own namespace, and what must hold there:
#   a. an NFSv4 mount, whose client refuses an exclusive flock on a
#      descriptor not open for writing and a shared one on a descriptor not
#      open for reading (modelled by a preloaded library): a run still
#      writes everything it writes;
#   b. a FUSE mount (bindfs): a run that ends normally leaves no hidden
#      folder of its own, nor a file the mount kept for a file removed while
#      still open (.fuse_hidden*);
#   c. a reader that may not lock, while another user's writer is held
#      between the renames of a data set's attribute file and CSV file:
#      on btrfs (a subvolume on a loop device), in another pid namespace,
#      with /proc hidden, and through a second FUSE mount of the folder
#      (whose locks never meet the first's, as on two machines), it never
#      takes half of one pair and half of another without a word;
#   d. the file systems a run writes on: FAT and exFAT through their FUSE
#      drivers (which keep no Unix modes), fuse2fs (an ext4 image over
#      FUSE), xfs, tmpfs, overlayfs and btrfs, with WORK there too: ordinary
#      runs of the victim's write everything and leave no hidden folder,
#      nor a file the mount kept for one removed while open;
#   e. a signal ends a run whose log is on a FUSE mount, and leaves nothing;
#   f. on FUSE mounts (bindfs, fusefat), a hidden folder whose lock file
#      another process holds open as its run removes it: the mount keeps the
#      removed file under a name of its own, and the run waits for the
#      folder while that is all it holds; a hidden folder a killed run left
#      holding such a name is removed by the next run;
#   g. on file systems that keep modes (tmpfs, xfs), the victim's hidden
#      folders that others may write are left alone, with a note.
# Each case is skipped, with a word, where the machine does not allow it.
# Usage: environments.sh PATH/TO/korvante PATH/TO/libnfs4_locks.so
set -uo pipefail
korvante=$(realpath "${1:?usage: environments.sh PATH/TO/korvante PATH/TO/libnfs4_locks.so}")
model=$(realpath "${2:?usage: environments.sh PATH/TO/korvante PATH/TO/libnfs4_locks.so}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/checks.sh"
work_with_mounts
two_users_or_skip
# The NFSv4 model is preloaded into the other users' runs too: a copy they
# can read (else the loader leaves it out, with only a line on stderr).
cp "$model" "$for_others/" && model=$for_others/${model##*/}
victim=60001
other=60002
team=60003
echo "protections: symlinks $(cat /proc/sys/fs/protected_symlinks), regular" \
  "$(cat /proc/sys/fs/protected_regular), fifos $(cat /proc/sys/fs/protected_fifos)," \
  "hardlinks $(cat /proc/sys/fs/protected_hardlinks)"
# A run under the model of the NFSv4 client's rule. The preloaded library
# comes before a sanitizer build's runtime, which is told not to insist on
# coming first.
nfs4() {
  env LD_PRELOAD="$model" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" "$@"
}
# The program that writes everything a run writes into its folder: an
# output data set into a LIBNAME folder, graphs (into --out), a device
# catalogue in that library; it reads the data set back.
write_all() {
  cat >"$1" <<'EOP'
libname k 'lib';
proc korvante data=aml outsurv=k.os plots=survival notable;
  time time*status(0);
  strata x;
run;
proc korvante data=k.os notable plots=none;
  time time*_CENSOR_(1);
run;
options nographics;
proc korvante data=aml plots=(s) gout=k.cat notable;
  time time*status(0);
run;
EOP
}
# written DIR: what write_all's run with --out out, --log run.log and
# --listing run.lst leaves in DIR.
written() {
  test -s "$1/lib/os.csv" && test -s "$1/lib/os.attr" && test -s "$1/out/graphs/SurvivalPlot.svg" &&
    test -s "$1/lib/CAT/KORVANTE.svg" && grep -q "The run ended normally" "$1/run.log" &&
    grep -q "Summary of the Number of Censored" "$1/run.lst"
}
# whole DIR: the attribute file names STRATUM exactly when the CSV file has it.
whole() {
  [ "$(head -1 "$1/os.csv" | grep -c STRATUM)" = "$(grep -c STRATUM "$1/os.attr")" ]
}
split_pair() { ! whole "$1"; }
differ() { ! cmp -s "$1" "$2"; }
word_or_whole() { [ "$1" = word ] || [ "$1" = "pair B whole" ]; }
# hidden_left DIR: the hidden folders and the FUSE mount's kept files in DIR.
hidden_left() { find "$1" \( -name '.korvante-*.tmp' -o -name '.fuse_hidden*' \) -printf '%P\n'; }

# ---------------------------------------------------------------------------
# a. NFSv4's lock rule.
# The victim's run writes everything into a folder of her own.
mkdir nfs
cp "$root/examples/aml.csv" nfs/
mkdir nfs/lib
write_all nfs/all.vyr
chown -R $victim:$victim nfs
(cd nfs && nfs4 setpriv --reuid=$victim --regid=$victim --clear-groups "$korvante" all.vyr \
  --out out --log run.log --listing run.lst >/dev/null 2>err)
check "NFSv4 locks: a run that writes everything" test $? = 0
check "NFSv4 locks: a run that writes everything" written nfs
check "NFSv4 locks: a run that writes everything" lacks nfs/err "Bad file descriptor"
check "NFSv4 locks: the model is preloaded into the victim's run" lacks nfs/err "cannot be preloaded"
# A writer of a team folder (its group may write it) that may not write the
# lock file (another member's, 0644, as early versions made it): the lock
# is not taken on a read-only descriptor. The step writes its data set, or
# fails naming the lock file, never on the client's refusal.
mkdir -m 2775 team
chown $other:$team team
cp "$root/examples/aml.csv" team/
printf "libname k 'lib';\nproc korvante data=aml outsurv=k.os notable plots=none;\n  time time*status(0);\nrun;\n" \
  >team/w.vyr
mkdir -m 2775 team/lib
chown $other:$team team/lib
as $other sh -c "umask 022 && : >team/lib/.korvante.lock"
(cd team && nfs4 setpriv --reuid=$victim --regid=$victim --groups=$team "$korvante" w.vyr \
  >/dev/null 2>"$work/team.log")
s=$?
check "NFSv4 locks: a team lock file the writer may only read" lacks team.log "Bad file descriptor"
named=no
grep -q '^ERROR.*lib/\.korvante\.lock' team.log && named=yes
check "NFSv4 locks: a team lock file the writer may only read" \
  test "$s/$(test -s team/lib/os.csv && echo written)" = 0/written -o "$s/$named" = 1/yes
# A killed run's placing put back by the next run, which judges whether the
# killed run lives by its lock file: the pair whole again.
split_by_kill split "$root/examples/aml.csv"
check "NFSv4 locks: a split pair to put back" split_pair split/lib
(cd split && nfs4 "$korvante" p.vyr >/dev/null 2>run.log)
check "NFSv4 locks: a killed run's placing put back" test $? = 0
check "NFSv4 locks: a killed run's placing put back" whole split/lib
check "NFSv4 locks: a killed run's placing put back" lacks split/run.log "Bad file descriptor"

# ---------------------------------------------------------------------------
# FUSE: the victim's folder fuse/real, mounted twice with bindfs (m1, m2).
fuse=no
mkdir -p fuse/real fuse/m1 fuse/m2
chown $victim:$victim fuse/real
chmod 755 fuse fuse/m1 fuse/m2 fuse/real
if ! command -v bindfs >/dev/null || [ ! -c /dev/fuse ]; then
  echo "skipped: the FUSE cases (no bindfs or no /dev/fuse)"
elif ! bindfs fuse/real fuse/m1 2>fuse/why; then
  echo "skipped: the FUSE cases (bindfs refused: $(head -1 fuse/why))"
else
  mounts+=("$work/fuse/m1")
  if bindfs fuse/real fuse/m2 2>fuse/why; then
    mounts+=("$work/fuse/m2")
    fuse=yes
  else
    echo "skipped: the FUSE cases (bindfs refused: $(head -1 fuse/why))"
  fi
fi

# b. A normal run through a FUSE mount leaves nothing of its own behind.
if [ $fuse = yes ]; then
  as $victim sh -c "cp '$for_others/aml.csv' fuse/m1/ && mkdir fuse/m1/lib"
  write_all fuse/real/all.vyr
  chown $victim:$victim fuse/real/all.vyr
  (cd fuse/m1 && as $victim "$korvante" all.vyr --out out --log run.log --listing run.lst \
    >/dev/null 2>&1)
  check "FUSE: a run that writes everything" test $? = 0
  check "FUSE: a run that writes everything" written fuse/m1
  left=$(hidden_left fuse/m1 | tr '\n' ' ')
  check "FUSE: no hidden folder nor kept file left" test -z "$left"
  rm -rf fuse/real/lib fuse/real/out
fi

# ---------------------------------------------------------------------------
# c. A reader that may not lock, in four environments.
# read_held NAME DIR WLIB RLIB [WRAP...]: in DIR (which root reads), lib
# is the victim's library folder (755), which the victim's runs write as
# WLIB and the other user's runs read as RLIB, under WRAP (a command that
# runs the rest). The victim writes pair A (strata x) and the other user
# reads it; then the victim's run writing pair B (no strata) is held 3 s
# between its two renames (its call that puts the second file in place
# delayed by strace) and, once it is held (that call is in its trace), the
# other user's run reads the data set. The reader either warns or fails
# naming the data set, or ends well without a warning with the listing of
# pair B (read again once the writer has ended): never the old CSV file read
# silently with the new attribute file.
read_held() {
  local name=$1 d=$2 wlib=$3 rlib=$4
  shift 4
  mkdir -p "$d/v" "$d/o"
  cp "$root/examples/aml.csv" "$d/v/"
  for x in a b; do
    { echo "libname k '$wlib';"
      echo "proc korvante data=aml outsurv=k.os notable plots=none;"
      echo "  time time*status(0);"
      [ $x = a ] && echo "  strata x;"
      echo "run;"; } >"$d/v/w$x.vyr"
  done
  printf "libname k '%s';\nproc korvante data=k.os notable plots=none;\n  time time*_CENSOR_(1);\nrun;\n" \
    "$rlib" >"$d/o/r.vyr"
  chown -R $victim:$victim "$d/v" "$d/lib"
  chown -R $other:$other "$d/o"
  chmod 755 "$d/lib"
  # The renameat2 call that puts the pair's second file in place: the one
  # after the first that puts os.attr or os.csv in place (found by a run
  # writing pair B over pair A; where the mount has no RENAME_EXCHANGE, a
  # refused call comes before each rename).
  as $victim "$korvante" "$d/v/wa.vyr" >/dev/null 2>&1
  as $victim strace -f -qq -o "$d/v/calls" -e trace=renameat2 "$korvante" "$d/v/wb.vyr" >/dev/null 2>&1
  local k
  k=$(grep 'renameat2(' "$d/v/calls" | grep -n 'os\.\(attr\|csv\)", .*= 0$' | head -1 | cut -d: -f1)
  k=$((${k:-0} + 1))
  as $victim "$korvante" "$d/v/wa.vyr" >/dev/null 2>&1
  check "$name: pair A written" whole "$d/lib"
  cp "$d/lib/os.csv" "$d/A.csv"
  cp "$d/lib/os.attr" "$d/A.attr"
  (cd "$d/o" && "$@" setpriv --reuid=$other --regid=$other --clear-groups \
    "$korvante" r.vyr --log old.log >old.lst 2>&1)
  check "$name: pair A read at rest" test $? = 0
  as_bg $victim strace -f -qq -o "$d/v/trace" -e trace=renameat2 \
    -e inject=renameat2:delay_enter=3000000:when=$k "$korvante" "$d/v/wb.vyr" >/dev/null 2>&1
  local writer=$! n=0
  for _ in $(seq 1 1500); do
    n=$(grep -c 'renameat2(' "$d/v/trace" 2>/dev/null)
    [ "${n:-0}" -ge $k ] && break
    kill -0 $writer 2>/dev/null || break
    sleep 0.02
  done
  # Held with one of the pair's files new and the other old.
  local attr=old csv=old
  cmp -s "$d/lib/os.attr" "$d/A.attr" || attr=new
  cmp -s "$d/lib/os.csv" "$d/A.csv" || csv=new
  check "$name: the writer is held between the pair's renames" test $k -ge 2 -a "${n:-0}" -ge $k -a $attr != $csv
  (cd "$d/o" && "$@" setpriv --reuid=$other --regid=$other --clear-groups \
    "$korvante" r.vyr --log held.log >held.lst 2>&1)
  local s=$?
  wait $writer
  check "$name: the writer ends well" test $? = 0
  check "$name: the writer ends well" whole "$d/lib"
  (cd "$d/o" && "$@" setpriv --reuid=$other --regid=$other --clear-groups \
    "$korvante" r.vyr --log new.log >new.lst 2>&1)
  check "$name: pair B read at rest" test $? = 0
  check "$name: the two pairs read differently" differ "$d/o/old.lst" "$d/o/new.lst"
  local verdict="no word naming the data set, and not pair B whole"
  if grep -qE '^(WARNING|ERROR).*(K\.OS|/os\.csv|/os\.attr)' "$d/o/held.log"; then
    verdict=word
  elif [ $s = 0 ] && ! grep -q '^WARNING' "$d/o/held.log" && cmp -s "$d/o/held.lst" "$d/o/new.lst"; then
    verdict="pair B whole"
  elif [ $s = 0 ] && ! grep -q '^WARNING' "$d/o/held.log" && cmp -s "$d/o/held.lst" "$d/o/old.lst"; then
    verdict="silent mix: the old CSV file with the new attribute file"
  fi
  echo "$name: the reader held at its writer's renames: status $s, $verdict"
  check "$name: a reader never takes a mixed pair silently" word_or_whole "$verdict"
}

# (i) btrfs: the library in a subvolume, whose device (stat) is not the one
# the kernel's table of locks names.
if ! command -v mkfs.btrfs >/dev/null; then
  echo "skipped: btrfs (no mkfs.btrfs)"
else
  mkdir -m 755 btrfs
  truncate -s 256M btrfs.img
  if ! mkfs.btrfs -q btrfs.img >/dev/null 2>btrfs.why; then
    echo "skipped: btrfs (mkfs.btrfs refused: $(head -1 btrfs.why))"
  elif ! mount -o loop btrfs.img btrfs 2>btrfs.why; then
    echo "skipped: btrfs (no loop mount here: $(head -1 btrfs.why))"
  else
    mounts+=("$work/btrfs")
    chmod 755 btrfs
    btrfs subvolume create btrfs/vol >/dev/null
    chmod 755 btrfs/vol
    mkdir btrfs/vol/lib
    read_held "btrfs subvolume" "$work/btrfs/vol" "$work/btrfs/vol/lib" "$work/btrfs/vol/lib"
  fi
fi

# (ii) The reader in another pid namespace, where the kernel's table of
# locks shows none of the writer's.
if ! unshare --pid --fork --mount-proc true 2>/dev/null; then
  echo "skipped: another pid namespace (unshare --pid refused here)"
else
  mkdir -p pidns/lib
  read_held "another pid namespace" "$work/pidns" "$work/pidns/lib" "$work/pidns/lib" \
    unshare --pid --fork --mount-proc
fi

# (iii) The reader with /proc hidden by an empty tmpfs in a mount namespace
# of its own.
noproc=(unshare -m sh -c 'mount -t tmpfs -o ro none /proc && exec "$@"' sh)
if ! unshare -m sh -c 'mount -t tmpfs -o ro none /proc' 2>/dev/null; then
  echo "skipped: no /proc (no mount namespace here)"
elif ! "${noproc[@]}" "$korvante" --help >/dev/null 2>noproc.why && grep -q Sanitizer noproc.why; then
  echo "skipped: no /proc (this korvante is a sanitizer build, whose runtime needs /proc)"
else
  mkdir -p noproc/lib
  read_held "no /proc" "$work/noproc" "$work/noproc/lib" "$work/noproc/lib" "${noproc[@]}"
fi

# (iv) Two FUSE mounts of one folder: the writer writes through one, the
# reader reads through the other, and their locks never meet.
if [ $fuse = yes ]; then
  mkdir fuse/real/lib
  rm -rf fuse/real/v fuse/real/o
  read_held "two FUSE mounts" "$work/fuse/real" "$work/fuse/m1/lib" "$work/fuse/m2/lib"
fi

# ---------------------------------------------------------------------------
# d. Ordinary runs on every common file system. clean_runs NAME DIR: the
# victim runs write_all three times in DIR (a folder she may write), with
# WORK there too.
clean_runs() {
  local i ok=yes
  write_all "$work/all.vyr"
  chmod 644 "$work/all.vyr"
  as $victim sh -c "cd '$2' && cp '$for_others/aml.csv' '$work/all.vyr' . && mkdir -p lib tmp" || ok=no
  for i in 1 2 3; do
    (cd "$2" && as $victim env TMPDIR="$2/tmp" "$korvante" all.vyr --out out --log run.log \
      --listing run.lst >/dev/null 2>&1) || ok=no
  done
  check "$1: three runs that write everything" test $ok = yes
  check "$1: three runs that write everything" written "$2"
  check "$1: three runs that write everything" whole "$2/lib"
  left=$(hidden_left "$2" | tr '\n' ' ')
  check "$1: no hidden folder nor kept file left" test -z "$left"
}
# put_back NAME DIR: where the file system keeps no Unix modes, a kill
# between the renames of a data set's pair is put back by the victim's next
# run as anywhere (her hidden folders there show the rights the mount
# gives every folder). The kill is at the call after the one that puts
# os.attr in place, found by a run traced whole.
put_back() {
  as $victim sh -c "cd '$2' && cp '$for_others/aml.csv' . && mkdir -p pb/lib && cp aml.csv pb/" &&
    as $victim bash -c ". '$for_others/checks.sh' && korvante='$korvante' && split_by_kill '$2/pb' aml.csv" 2>/dev/null
  (cd "$2/pb" && as $victim strace -f -qq -o "$2/pb.trace" -e trace=renameat2 "$korvante" q.vyr \
    >/dev/null 2>&1)
  local k
  k=$(grep 'renameat2(' "$2/pb.trace" | grep -n '"os.attr", 0) = 0$\|"os.attr", RENAME_EXCHANGE) = 0$' |
    tail -1 | cut -d: -f1)
  (cd "$2/pb" && as $victim "$korvante" p.vyr >/dev/null 2>&1)
  (cd "$2/pb" && as $victim strace -f -qq -o /dev/null -e trace=renameat2 \
    -e inject=renameat2:signal=KILL:when=$((${k:-0} + 1)) "$korvante" q.vyr >/dev/null 2>&1) 2>/dev/null
  check "$1: a kill between a pair's renames" split_pair "$2/pb/lib"
  (cd "$2/pb" && as $victim "$korvante" p.vyr --log put.log >/dev/null 2>&1)
  check "$1: a kill between a pair's renames, put back" whole "$2/pb/lib"
  check "$1: a kill between a pair's renames, put back" said "$2/pb/put.log" "This run put that folder back"
  check "$1: a kill between a pair's renames, put back" test -z "$(hidden_left "$2/pb")"
}
# left_alone NAME DIR: (g) hidden folders of the victim's, as a killed run
# leaves them (a lock file and a numbered file) but that any user (0777) or
# her group (0770) may write, are neither swept nor acted on by her run in
# DIR: a note names each, and both stay as they were. Only where the file
# system keeps no modes is a hidden folder judged by its owner alone.
left_alone() {
  local m h
  for m in 777 770; do
    h=$2/.korvante-file.korv-0000000000000$m.tmp
    as $victim sh -c "mkdir -m $m '$h' && : >'$h/lock' && echo kept >'$h/1'"
  done
  (cd "$2" && as $victim "$korvante" all.vyr --out out --log alone.log --listing alone.lst \
    >/dev/null 2>&1)
  check "$1: hidden folders others may write" test $? = 0
  check "$1: a hidden folder any user may write, left alone" said "$2/alone.log" "any user may write in it"
  check "$1: a hidden folder her group may write, left alone" said "$2/alone.log" \
    "other users of its group may write in it"
  for m in 777 770; do
    check "$1: hidden folder $m kept" test "$(cat "$2/.korvante-file.korv-0000000000000$m.tmp/1")" = kept
  done
  rm -rf "$2"/.korvante-file.korv-0000000000000*.tmp
}
# on_image NAME MOUNT-COMMAND...: an image file made for NAME mounted (the
# command is given the image and the mount point, in that order).
on_image() {
  local name=$1
  shift
  mkdir -p "img/$name"
  chmod 755 img "img/$name"
  if "$@" "img/$name.img" "img/$name" 2>"img/$name.why"; then
    mounts+=("$work/img/$name")
    return 0
  fi
  echo "skipped: $name (its mount was refused: $(head -1 "img/$name.why"))"
  return 1
}
mkdir -p img
fat=
# FAT through fusefat, on an image file, the victim's by its mount options.
if command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null && [ -c /dev/fuse ]; then
  truncate -s 64M img/fat.img && mkfs.vfat img/fat.img >/dev/null
  on_image fat fusefat -o rw+,allow_other,uid=$victim,gid=$victim,umask=022 &&
    clean_runs "FAT (fusefat)" "$work/img/fat" && put_back "FAT (fusefat)" "$work/img/fat" &&
    fat=$work/img/fat
else
  echo "skipped: FAT (no fusefat, mkfs.vfat or /dev/fuse)"
fi
# exFAT through exfat-fuse, which needs a block device: a loop device.
if command -v mount.exfat-fuse >/dev/null && command -v mkfs.exfat >/dev/null && [ -c /dev/fuse ]; then
  truncate -s 64M img/exfat.img && mkfs.exfat img/exfat.img >/dev/null 2>&1
  if loop=$(losetup -f --show img/exfat.img 2>/dev/null); then
    loops+=("$loop")
    exfat() { mount.exfat-fuse -o uid=$victim,gid=$victim "$loop" "$2" >/dev/null; }
    on_image exfat exfat && clean_runs "exFAT (exfat-fuse)" "$work/img/exfat" &&
      put_back "exFAT (exfat-fuse)" "$work/img/exfat"
  else
    echo "skipped: exFAT (no loop device here)"
  fi
else
  echo "skipped: exFAT (no exfat-fuse, mkfs.exfat or /dev/fuse)"
fi
# fuse2fs: an ext4 image whose root folder is the victim's, over FUSE.
if command -v fuse2fs >/dev/null && command -v mkfs.ext4 >/dev/null && [ -c /dev/fuse ]; then
  truncate -s 64M img/fuse2fs.img
  mkfs.ext4 -q -E root_owner=$victim:$victim img/fuse2fs.img
  f2fs() { fuse2fs "$1" "$2" -o allow_other >/dev/null; }
  on_image fuse2fs f2fs && clean_runs "fuse2fs" "$work/img/fuse2fs"
else
  echo "skipped: fuse2fs (no fuse2fs, mkfs.ext4 or /dev/fuse)"
fi
# xfs on a loop device, tmpfs, and overlayfs (an upper folder over a lower).
if command -v mkfs.xfs >/dev/null; then
  truncate -s 320M img/xfs.img && mkfs.xfs -q img/xfs.img
  xfs() { mount -o loop "$1" "$2"; }
  on_image xfs xfs && chmod 777 img/xfs && clean_runs "xfs" "$work/img/xfs" &&
    left_alone "xfs" "$work/img/xfs"
else
  echo "skipped: xfs (no mkfs.xfs)"
fi
tmpfs() { mount -t tmpfs -o mode=777 none "$2"; }
on_image tmpfs tmpfs && clean_runs "tmpfs" "$work/img/tmpfs" && left_alone "tmpfs" "$work/img/tmpfs"
mkdir -p img/lower img/upper img/ovwork
chmod 777 img/upper
overlay() { mount -t overlay overlay -o lowerdir=img/lower,upperdir=img/upper,workdir=img/ovwork "$2"; }
on_image overlay overlay && clean_runs "overlayfs" "$work/img/overlay"
# btrfs: the subvolume of (c).
if [ -d btrfs/vol ]; then
  mkdir -m 755 btrfs/vol/d && chown $victim:$victim btrfs/vol/d
  clean_runs "btrfs" "$work/btrfs/vol/d"
fi

# ---------------------------------------------------------------------------
# e. SIGTERM, SIGINT and SIGHUP while a step runs (stopped as it is about to
# put its files in place), the log on the FUSE mount: the run ends by the
# signal at once, and leaves no hidden folder nor kept file.
if [ $fuse = yes ]; then
  mkdir -p fuse/real/sig
  chown $victim:$victim fuse/real/sig
  printf "proc korvante data=aml outsurv=os plots=survival notable;\n  time time*status(0);\nrun;\n" \
    >"$work/sig.vyr"
  chmod 644 "$work/sig.vyr"
  stopped_run() { [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" = T ]; }
  for sig in TERM INT HUP; do
    (cd fuse/m1/sig && cp "$root/examples/aml.csv" "$work/sig.vyr" . &&
      exec setpriv --reuid=$victim --regid=$victim --clear-groups env KORV_STOP_BEFORE_PLACING=1 \
        "$korvante" sig.vyr --out out --log run.log >/dev/null 2>&1) &
    k=$!
    until_true 10 stopped_run $k
    kill -$sig $k
    kill -CONT $k
    until_true 10 ended $k || kill -KILL $k
    wait $k
    s=$?
    check "FUSE: SIG$sig with the log there ends the run" test $s = $((128 + $(kill -l $sig)))
    left=$(hidden_left fuse/m1/sig | tr '\n' ' ')
    check "FUSE: SIG$sig with the log there leaves nothing" test -z "$left"
  done
fi

# ---------------------------------------------------------------------------
# f. held_open NAME DIR: the victim's run in DIR (hers, on a FUSE mount) is
# stopped by strace at its first rename, while the log's hidden folder is
# there; a process of hers opens that folder's lock file, and the run goes
# on. Removed while open, the lock file is kept by the mount under a name of
# its own (.fuse_hidden...), which the folder then holds (fusefat refuses
# its removal with EPERM, the others with ENOTEMPTY): the run waits, and is
# stopped again at its first moment of waiting, when the holder lets go.
# Once the mount has removed its kept file the run goes on: it ends well,
# and leaves no hidden folder nor kept file.
signals() { local n; n=$(grep -c -- '--- SIGSTOP {' "$1" 2>/dev/null); [ "${n:-0}" -ge "$2" ]; }
held_open() {
  local d=$2 t=$2/held.trace run hidden holder stop
  as $victim sh -c "cd '$d' && cp '$for_others/aml.csv' '$work/sig.vyr' ."
  (cd "$d" && exec setpriv --reuid=$victim --regid=$victim --clear-groups strace -f -qq -o "$t" \
    -e trace=renameat2,clock_nanosleep -e inject=renameat2:signal=STOP:when=1 \
    -e inject=clock_nanosleep:signal=STOP:when=1 "$korvante" sig.vyr --out out --log held.log \
    >/dev/null 2>&1) &
  run=$!
  until_true 30 signals "$t" 1
  stop=$(awk '/--- SIGSTOP \{/ { print $1; exit }' "$t")
  hidden=$(find "$d" -maxdepth 1 -name '.korvante-file.korv-*.tmp' | head -1)
  as_bg $victim sh -c "exec 3<'$hidden/lock' && : >'$d/opened' && exec sleep 600"
  holder=$!
  until_true 10 test -e "$d/opened"
  kill -CONT "$stop"
  until_true 30 sh -c "[ \$(grep -c -- '--- SIGSTOP {' '$t') -ge 2 ] || ! kill -0 $run 2>/dev/null"
  kill $holder
  wait $holder 2>/dev/null
  until_true 10 sh -c "! ls -A '$hidden' 2>/dev/null | grep -q '^\.fuse_hidden'"
  stop=$(awk '/--- SIGSTOP \{/ { p = $1 } END { print p }' "$t")
  kill -CONT "$stop" 2>/dev/null
  wait $run
  check "$1: a hidden folder's lock file held open" test $? = 0
  check "$1: a hidden folder's lock file held open: the run waits" signals "$t" 2
  left=$(hidden_left "$d" | tr '\n' ' ')
  check "$1: a hidden folder's lock file held open: nothing left" test -z "$left"
}
if [ $fuse = yes ]; then
  mkdir -p fuse/real/held && chown $victim:$victim fuse/real/held
  held_open "FUSE" "$work/fuse/m1/held"
fi
[ -z "$fat" ] || held_open "FAT (fusefat)" "$fat"
# A hidden folder a killed run left on the FUSE mount that holds, beside its
# lock file and numbered file, a name the mount kept for a file removed
# while open (one it kept for good, its file let go long since): the next
# run there removes the folder with all it holds, and says so.
if [ $fuse = yes ]; then
  k=fuse/real/kept/.korvante-file.korv-0123456789abcdef.tmp
  mkdir -p $k
  : >$k/lock
  echo 1 >$k/1
  echo kept >$k/.fuse_hidden0000002a00000001
  chmod 700 $k
  cp "$root/examples/aml.csv" "$work/sig.vyr" fuse/real/kept/
  chown -R $victim:$victim fuse/real/kept
  (cd fuse/m1/kept && as $victim "$korvante" sig.vyr --out out --log run.log >/dev/null 2>&1)
  check "FUSE: a killed run's hidden folder with a kept name" test $? = 0
  check "FUSE: a killed run's hidden folder with a kept name: removed" test ! -e $k
  check "FUSE: a killed run's hidden folder with a kept name: removed" said fuse/m1/kept/run.log \
    "left by a run that was stopped, was removed"
fi

report

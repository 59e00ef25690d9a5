#!/usr/bin/env bash
# Runs at once into one shared place, on several file systems, and what
# ended badly. On each file system (ext4: a plain folder; btrfs on a loop
# device; FAT through fusefat (single-threaded: threaded, it breaks its own
# folders' long names under writers at once) and exFAT through exfat-fuse, each on a loop
# device; bindfs over a folder, also with --chmod-ignore, whose chmod does
# nothing; rclone mounts of a local folder with
# --vfs-cache-mode off and writes), ROUNDS rounds (default 4), each of two
# batches: 2 runs at once, then 4. Every run of a batch writes into one
# LIBNAME folder (the data sets os and os2, with and without strata by
# turns, so that a mix of two runs' files shows), one graphics catalogue
# (lib.cat, device plots with graphics off) and one --out folder (its
# graph in OUT/graphs), and reads os back. Of each batch one run is killed
# (SIGKILL after a random short delay, or at a random rename through strace,
# the two by turns) and another is stopped (SIGSTOP) for a few seconds, then
# continued. Then one ordinary run. After it, "bad" is:
#   - a run other than the killed one whose status is not 0, or that is
#     still going after LIMIT seconds (default 120; it is then killed);
#   - a data set whose two files are missing one, or whose CSV header has
#     STRATUM where its attribute file does not (or the reverse), or that a
#     run reading it ends with a status other than 0 or with a warning;
#   - an SVG file in OUT/graphs or in the catalogue that does not parse;
#   - a lock ticket (.korvante-*w-*.lock) left;
#   - a hidden folder (.korvante-*.tmp) left that no run's log named as
#     keeping an earlier file, or as another user's left to them (those
#     are listed apart).
# Prints, for each file system, the rounds, the runs, the bad count and a
# short reason for each bad, and, for the images (btrfs, FAT, exFAT), what
# their checker finds on them once unmounted: a driver that breaks its file
# system under writers at once is told apart from a fault of the runs.
# With --keep the trial's folder stays for a look (a copy of the place and
# the logs of each batch that went badly, in bad/); with --trace every
# run's file calls are traced too (strace, into runs/FS/ID.trace), which
# slows the runs and so changes what meets what. Needs root (mounts, loop
# devices); the runs are root's too, or with --users those of uids 60001
# and 60002 by turns, in a place open to both (0777, not sticky; on ext4,
# bindfs and bindfs-chmod-ignore, where both may write). Nothing is asserted:
# the exit status is 0 unless the script itself could not run.
# Usage: bench/files/at_once.sh [--rounds N] [--fs LIST] [--limit SECONDS]
#          [--seed N] [--keep] [--trace] [--users] KORVANTE
#   LIST: a comma list of ext4,btrfs,fat,exfat,bindfs,bindfs-chmod-ignore,
#   rclone-off,rclone-writes
set -uo pipefail
rounds=4
fslist=ext4,btrfs,fat,exfat,bindfs,rclone-off,rclone-writes
limit=120
seed=$$
keep=
trace=
users=
usage="usage: bench/files/at_once.sh [--rounds N] [--fs LIST] [--limit SECONDS] [--seed N] [--keep] [--trace] [--users] KORVANTE"
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --fs) fslist=$2; shift 2 ;;
    --limit) limit=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --keep) keep=yes; shift ;;
    --trace) trace=yes; shift ;;
    --users) users=yes; shift ;;
    -*) echo "$usage" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# = 1 ] || { echo "$usage" >&2; exit 2; }
for v in "$rounds" "$limit" "$seed"; do
  [[ "$v" =~ ^[0-9]+$ ]] || { echo "$usage" >&2; exit 2; }
done
[ "$(id -u)" = 0 ] || { echo "bench/files/at_once.sh: needs root, to mount" >&2; exit 2; }
for f in ${fslist//,/ }; do
  case "$f" in
    ext4 | btrfs | fat | exfat | bindfs | bindfs-chmod-ignore | rclone-off | rclone-writes) ;;
    *) echo "bench/files/at_once.sh: no file system $f here; $usage" >&2; exit 2 ;;
  esac
done
korvante=$(realpath "$1")
[ -x "$korvante" ] || { echo "bench/files/at_once.sh: $1 is not a program" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
RANDOM=$seed
began=$(date +%s)

# ---------------------------------------------------------------------------
# The scratch folder, and what is undone however the script ends: the runs
# it started (continued first, should one be stopped), then the mounts, the
# last first, then the loop devices.
work=$(mktemp -d)
mounts=()
loops=()
started=()
# end_tree PID: continues and kills the process and those it started (a
# run under strace is strace's child), by their ids.
end_tree() {
  local c
  for c in $(cat /proc/"$1"/task/*/children 2>/dev/null); do end_tree "$c"; done
  kill -CONT "$1" 2>/dev/null
  kill -KILL "$1" 2>/dev/null
}
undo() {
  local p i
  for p in "${started[@]}"; do kill -0 "$p" 2>/dev/null && end_tree "$p"; done
  for p in "${started[@]}"; do wait "$p" 2>/dev/null; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    [ -n "${mounts[i]}" ] && unmount "${mounts[i]}"
  done
  for i in "${loops[@]}"; do [ -n "$i" ] && losetup -d "$i" 2>/dev/null; done
  if [ -n "$keep" ]; then
    echo "kept: $work"
  else
    rm -rf --one-file-system "$work"
  fi
}
trap undo EXIT
trap 'exit 1' INT TERM HUP
# unmount DIR: a FUSE mount through fusermount, any other through umount;
# lazily where the mount is still busy, so that the script never waits on it.
unmount() {
  if grep -q " $1 fuse" /proc/self/mounts; then
    timeout 20 fusermount -u "$1" 2>/dev/null || fusermount -uz "$1" 2>/dev/null
  else
    timeout 20 umount "$1" 2>/dev/null || umount -l "$1" 2>/dev/null
  fi
}
# done_with DIR LOOP: unmounts DIR and lets the loop device LOOP (or none) go,
# taking both off the lists.
done_with() {
  local i
  for i in "${!mounts[@]}"; do [ "${mounts[i]}" = "$1" ] && { unmount "$1"; mounts[i]=; }; done
  [ -n "${2:-}" ] || return 0
  for i in "${!loops[@]}"; do [ "${loops[i]}" = "$2" ] && { losetup -d "$2" 2>/dev/null; loops[i]=; }; done
}
# until_true SECONDS COMMAND...: as the end-to-end scripts wait.
eval "$(sed -n '/^until_true() {/,/^}/p' "$root/tests/e2e/checks.sh")"
now_ms() { echo $(($(date +%s%N) / 1000000)); }
sleep_ms() { [ "$1" -gt 0 ] && sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; return 0; }
# rand LOW HIGH: a number from LOW to HIGH.
rand() { echo $(($1 + (RANDOM * 32768 + RANDOM) % ($2 - $1 + 1))); }

# ---------------------------------------------------------------------------
# The programs, local to the script (the runs read the data and write their
# logs and listings here: only the shared place is on the file system
# tried). Program a: os by the strata of x, os2 without, the catalogue's
# plots by stratum; program b the reverse. Each reads os back in a step of
# its own, between the writes of the data sets and of the catalogue.
mkdir -p "$work/data" "$work/runs" "$work/back"
cp "$root/examples/aml.csv" "$work/data/"
# With --users, the command and the data where both users may reach them.
if [ -n "$users" ]; then
  chmod 755 "$work" "$work/data" "$work/runs" && cp "$korvante" "$work/korvante" && korvante=$work/korvante
fi
# program FILE LIB STRATA-OF-OS (yes or no)
program() {
  local s1="" s2="  strata x;"
  [ "$3" = yes ] && { s1="  strata x;"; s2=""; }
  cat >"$1" <<EOP
libname k '$2';
title "Program $(basename "$1" .vyr)";
proc korvante data=aml outsurv=k.os plots=survival notable;
  time time*status(0);
$s1
run;
proc korvante data=aml outsurv=k.os2 notable plots=none;
  time time*status(0);
$s2
run;
proc korvante data=k.os notable plots=none;
  time time*_CENSOR_(1);
run;
options nographics;
proc korvante data=aml plots=(s ls) gout=k.cat notable;
  time time*status(0);
$s1
run;
EOP
}

# ---------------------------------------------------------------------------
# Mounting. mount_fs NAME: the place (a folder on that file system, in
# $place) and what to undo after it ($mnt, $loop); false with the reason in
# $why where it cannot be mounted here.
fuse_ok() { [ -c /dev/fuse ] || { why="no /dev/fuse"; return 1; }; }
need() {
  local c
  for c in "$@"; do command -v "$c" >/dev/null || { why="no $c"; return 1; }; done
}
new_loop() { # IMAGE: a loop device on IMAGE in $loop
  loop=$(losetup -f --show "$1" 2>"$work/fs.why") || { why="no loop device here: $(head -1 "$work/fs.why")"; return 1; }
  loops+=("$loop")
}
mount_fs() {
  local d=$work/fs/$1
  mkdir -p "$d/mnt"
  mnt=
  loop=
  why=
  case "$1" in
    ext4)
      place=$d/mnt
      local t
      t=$(stat -f -c %T "$place")
      [ "$t" = ext2/ext3 ] || echo "  note: the plain folder is on $t, not ext4"
      return 0
      ;;
    btrfs)
      need mkfs.btrfs || return 1
      truncate -s 256M "$d/img" && mkfs.btrfs -q "$d/img" >/dev/null 2>"$work/fs.why" ||
        { why="mkfs.btrfs refused: $(head -1 "$work/fs.why")"; return 1; }
      new_loop "$d/img" || return 1
      mount "$loop" "$d/mnt" 2>"$work/fs.why" || { why="mount refused: $(head -1 "$work/fs.why")"; return 1; }
      ;;
    fat)
      need fusefat mkfs.vfat && fuse_ok || return 1
      # Clusters of 8 KiB: fusefat breaks the long names of a folder grown
      # over several clusters while files in it come and go (fsck.fat finds
      # it so), which 2 KiB ones reach within a few batches.
      truncate -s 128M "$d/img" && mkfs.vfat -s 16 "$d/img" >/dev/null 2>"$work/fs.why" ||
        { why="mkfs.vfat refused: $(head -1 "$work/fs.why")"; return 1; }
      new_loop "$d/img" || return 1
      fusefat -s -o rw+ "$loop" "$d/mnt" >/dev/null 2>"$work/fs.why" ||
        { why="fusefat refused: $(head -1 "$work/fs.why")"; return 1; }
      ;;
    exfat)
      need mount.exfat-fuse mkfs.exfat && fuse_ok || return 1
      truncate -s 128M "$d/img" && mkfs.exfat "$d/img" >/dev/null 2>"$work/fs.why" ||
        { why="mkfs.exfat refused: $(head -1 "$work/fs.why")"; return 1; }
      new_loop "$d/img" || return 1
      mount.exfat-fuse "$loop" "$d/mnt" >/dev/null 2>"$work/fs.why" ||
        { why="exfat-fuse refused: $(head -1 "$work/fs.why")"; return 1; }
      ;;
    bindfs | bindfs-chmod-ignore)
      need bindfs && fuse_ok || return 1
      mkdir -p "$d/src"
      local opts=(-o allow_other)
      [ "$1" = bindfs ] || opts+=(--chmod-ignore)
      bindfs "${opts[@]}" "$d/src" "$d/mnt" 2>"$work/fs.why" || { why="bindfs refused: $(head -1 "$work/fs.why")"; return 1; }
      ;;
    rclone-off | rclone-writes)
      need rclone && fuse_ok || return 1
      mkdir -p "$d/src"
      # No configuration is needed for a local folder; the cache is the
      # trial's own.
      rclone mount "$d/src" "$d/mnt" --vfs-cache-mode "${1#rclone-}" --cache-dir "$d/cache" \
        --config /dev/null -q --daemon 2>"$work/fs.why" ||
        { why="rclone refused: $(head -1 "$work/fs.why")"; return 1; }
      ;;
  esac
  mounts+=("$d/mnt")
  mnt=$d/mnt
  if ! until_true 20 mountpoint -q "$d/mnt"; then
    why="not mounted after 20 s"
    return 1
  fi
  place=$d/mnt
}

# ---------------------------------------------------------------------------
# A run. start_run ID PROGRAM [K]: in the background, its log and listing in
# $work/runs/$fs; under strace, killed as its Kth rename begins, when K is
# given (and under strace too with --trace, its calls in ID.trace). The
# process to wait for (strace, then) in pid[ID], the run itself in
# run[ID], to stop or kill it.
declare -A pid run prog how st
turn=0
calls=openat,mkdirat,unlinkat,renameat2,linkat,fchmod,fcntl,getdents64
start_run() {
  local id=$1 p=$2 k=${3:-} out=$work/runs/$fs/$1 wrap=()
  prog[$id]=$p
  if [ -n "$k" ]; then
    wrap=(strace -f -qq -o /dev/null -e trace=renameat2 -e inject=renameat2:signal=KILL:when="$k")
    [ -z "$trace" ] || wrap=(strace -f -qq -tt -o "$out.trace" -e trace="$calls"
      -e inject=renameat2:signal=KILL:when="$k")
  elif [ -n "$trace" ]; then
    wrap=(strace -f -qq -tt -o "$out.trace" -e trace="$calls")
  fi
  # With --users, by turns as one user and the other.
  turn=$((turn + 1))
  [ -z "$users" ] || wrap+=(setpriv --reuid=$((60001 + turn % 2)) --regid=$((60001 + turn % 2)) --clear-groups)
  (cd "$work/runs/$fs" && exec "${wrap[@]}" "$korvante" "$p" --data "$work/data" --out "$place/out" \
    --log "$out.log" >"$out.lst" 2>"$out.err") &
  pid[$id]=$!
  run[$id]=$!
  started+=("$!")
}
# the_run ID: the process of the run itself (strace's child, where it is
# traced: looked for for a second at most, as strace starts it).
the_run() {
  local c i
  if [ -n "$trace" ] && [ "${run[$1]}" = "${pid[$1]}" ]; then
    for ((i = 0; i < 50; i++)); do
      c=$(cat /proc/"${pid[$1]}"/task/*/children 2>/dev/null | head -1)
      [ -n "$c" ] && { run[$1]=$c; break; }
      alive "${pid[$1]}" || break
      sleep 0.02
    done
  fi
  echo "${run[$1]}"
}
# finish IDS...: waits for those runs until $limit seconds after they began
# ($t0); a run still going then is continued and killed, its status "hung".
# Statuses in st[ID].
alive() { kill -0 "$1" 2>/dev/null; }
finish() {
  local id
  for id in "$@"; do
    while alive "${pid[$id]}" && [ "$(now_ms)" -lt $((t0 + limit * 1000)) ]; do sleep 0.02; done
    if alive "${pid[$id]}"; then
      end_tree "${pid[$id]}"
      { wait "${pid[$id]}"; } 2>/dev/null
      st[$id]=hung
    else
      { wait "${pid[$id]}"; } 2>/dev/null
      st[$id]=$?
    fi
  done
}
# said_by ID: the first lines of the run's log that say what went wrong
# (the log still in its hidden folder when the run was killed).
said_by() {
  local l=$work/runs/$fs/$1.log
  [ -f "$l" ] || l=$(ls -t "$work/runs/$fs"/.korvante-file.*.tmp/1 2>/dev/null | head -1)
  { grep -h -m2 '^ERROR' "$l" "$work/runs/$fs/$1.err" 2>/dev/null ||
    grep -h -m1 '^WARNING' "$l" 2>/dev/null; } | cut -c1-300 | tr '\n' ' '
}

# ---------------------------------------------------------------------------
# The checks after a batch's ordinary run. bad REASON counts one.
bad() {
  nbad=$((nbad + 1))
  if [ "$round" = 0 ]; then reasons+=("before the rounds: $1"); else reasons+=("round $round, $n at once: $1"); fi
  echo "  BAD: $1"
  saved=yes
}
# save_state: what the place holds, and every log of the file system so
# far, kept for a look (with --keep) in $work/bad/FS-rROUND-nN.
save_state() {
  local s=$work/bad/$fs-r$round-n$n
  mkdir -p "$s"
  (cd "$place" && find . -printf '%M %u %s %TT %p\n' | sort -k5) >"$s/listing" 2>&1
  cp -r "$work/runs/$fs" "$s/runs" 2>/dev/null
  tar -C "$place" -cf "$s/place.tar" . 2>/dev/null
}
check_place() {
  local f m rc left name lib=$place/lib out=$place/out
  # Every data set whole, and read back.
  for f in "$lib"/*.attr "$lib"/*.csv; do
    [ -e "$f" ] || continue
    m=${f%.*}
    [ -e "$m.csv" ] && [ -e "$m.attr" ] || { bad "data set ${m##*/}: ${f##*/} without its pair"; continue; }
    [ "${f##*.}" = attr ] || continue
    name=${m##*/}
    if [ "$(head -1 "$m.csv" | grep -c STRATUM)" != "$(grep -c STRATUM "$m.attr")" ]; then
      bad "data set $name not whole: STRATUM in $( [ "$(head -1 "$m.csv" | grep -c STRATUM)" = 1 ] && echo "its CSV header, not its attribute file" || echo "its attribute file, not its CSV header")"
    fi
    printf "libname k '%s';\nproc korvante data=k.%s notable plots=none;\n  time time*_CENSOR_(1);\nrun;\n" \
      "$lib" "$name" >"$work/back/$name.vyr"
    timeout -k 5 "$limit" "$korvante" "$work/back/$name.vyr" --out "$work/back/out" \
      --log "$work/back/$name.log" >/dev/null 2>&1
    rc=$?
    if [ $rc != 0 ]; then
      bad "data set $name read back: status $rc: $(grep -m2 '^ERROR' "$work/back/$name.log" | tr '\n' ' ')"
    elif grep -q '^WARNING' "$work/back/$name.log"; then
      bad "data set $name read back with a warning: $(grep -m1 '^WARNING' "$work/back/$name.log" | cut -c1-300)"
    fi
  done
  # Every graph parses.
  while IFS= read -r f; do
    timeout 30 xmllint --noout "$f" 2>"$work/xml.why" ||
      bad "${f#"$place"/} does not parse: $(head -1 "$work/xml.why" | cut -c1-200)"
  done < <(find "$out/graphs" "$lib/CAT" -name '.korvante-*' -prune -o -name '*.svg' -print 2>/dev/null)
  # No ticket, and no hidden folder but those a log named as keeping an
  # earlier file.
  while IFS= read -r f; do
    bad "ticket left: ${f#"$place"/}"
  done < <(find "$place" -name '.korvante-*w-*.lock' 2>/dev/null)
  while IFS= read -r f; do
    left="$(cd "$f" && ls -A | tr '\n' ' ')"
    name=$(grep -l -F -- "${f##*/}" "$work/runs/$fs"/*.log 2>/dev/null | head -1)
    # With --users, a killed run's placing is its own user's to put back:
    # another user's run leaves it, saying so.
    if [ -n "$name" ] && { compgen -G "$f/earlier-*" >/dev/null || grep -q "left as it is" "$name"; }; then
      grep -q -F -- "${f#"$place"/}" "$work/kept.$fs" 2>/dev/null ||
        echo "${f#"$place"/} (holds: $left; named in ${name##*/})" >>"$work/kept.$fs"
    else
      bad "hidden folder left: ${f#"$place"/} (holds: ${left:-nothing})${name:+; named in ${name##*/}}"
    fi
  done < <(find "$place" -name '.korvante-*.tmp' -type d -prune -print 2>/dev/null)
  # Names the mount kept for files removed while open, outside hidden
  # folders: said, not counted.
  while IFS= read -r f; do
    echo "  note: the mount keeps ${f#"$place"/}"
  done < <(find "$place" -name '.korvante-*.tmp' -prune -o -name '.fuse_hidden*' -print 2>/dev/null)
}

# ---------------------------------------------------------------------------
# A batch: N runs at once, one killed (kind: moment or rename), another
# stopped and continued; then the ordinary run, then the checks.
renames_of() { # TRACE: the most renames any one thread of the run made
  awk '/renameat2\(/ { c[$1]++ } END { m = 0; for (t in c) if (c[t] > m) m = c[t]; print m }' "$1"
}
batch() {
  local kind=$1 i killed stopped k=0 delay=0 sdelay hold events e t act
  killed=$(rand 1 "$n")
  stopped=$(((killed % n) + 1))
  for i in $(seq 1 "$n"); do how[b$i]=; done
  t0=$(now_ms)
  for i in $(seq 1 "$n"); do
    p=$work/runs/$fs/$( [ $((i % 2)) = 1 ] && echo a || echo b).vyr
    if [ "$i" = "$killed" ] && [ "$kind" = rename ]; then
      k=$(rand 1 "${renames[${p##*/}]}")
      start_run "r$round-n$n-$i" "$p" "$k"
    else
      start_run "r$round-n$n-$i" "$p"
    fi
  done
  sdelay=$(rand 0 "$took")
  hold=$(rand 2000 4000)
  events="$sdelay stop
$((sdelay + hold)) cont"
  if [ "$kind" = moment ]; then
    delay=$(rand 0 "$took")
    events="$events
$delay kill"
  fi
  while read -r t act; do
    sleep_ms $((t0 + t - $(now_ms)))
    case $act in
      stop) kill -STOP "$(the_run "r$round-n$n-$stopped")" 2>/dev/null || how[b$stopped]="ended before its stop" ;;
      cont) kill -CONT "$(the_run "r$round-n$n-$stopped")" 2>/dev/null ;;
      kill) kill -KILL "$(the_run "r$round-n$n-$killed")" 2>/dev/null || how[b$killed]="ended before its kill" ;;
    esac
  done < <(echo "$events" | sort -n)
  ids=()
  for i in $(seq 1 "$n"); do ids+=("r$round-n$n-$i"); done
  finish "${ids[@]}"
  runs=$((runs + n))
  local kst=${st[r$round-n$n-$killed]}
  if [ "$kind" = moment ]; then
    echo "  $n at once: run $killed killed after $delay ms (status $kst${how[b$killed]:+, ${how[b$killed]}}), run $stopped stopped after $sdelay ms for $hold ms${how[b$stopped]:+ (${how[b$stopped]})}"
  else
    echo "  $n at once: run $killed killed at its rename $k (status $kst$( [ "$kst" = 0 ] && echo ", ended first")), run $stopped stopped after $sdelay ms for $hold ms${how[b$stopped]:+ (${how[b$stopped]})}"
  fi
  [ "$kst" = 0 ] && unkilled=$((unkilled + 1))
  for i in $(seq 1 "$n"); do
    e=${st[r$round-n$n-$i]}
    if [ "$i" = "$killed" ]; then
      # The run meant to be killed counts only where it failed of itself.
      [ "$e" = 0 ] || [ "$e" = 137 ] || bad "run $i (${prog[r$round-n$n-$i]##*/}, to be killed) ended with status $e before its kill: $(said_by "r$round-n$n-$i")"
    elif [ "$e" = hung ]; then
      bad "run $i (${prog[r$round-n$n-$i]##*/}$( [ "$i" = "$stopped" ] && echo ", stopped")) still going after $limit s: $(said_by "r$round-n$n-$i")"
    elif [ "$e" != 0 ]; then
      bad "run $i (${prog[r$round-n$n-$i]##*/}$( [ "$i" = "$stopped" ] && echo ", stopped")) ended with status $e: $(said_by "r$round-n$n-$i")"
    fi
  done
  # The ordinary run.
  local o=r$round-n$n-ordinary
  t0=$(now_ms)
  start_run "$o" "$work/runs/$fs/$( [ $((round % 2)) = 1 ] && echo a || echo b).vyr"
  finish "$o"
  runs=$((runs + 1))
  [ "${st[$o]}" = 0 ] || bad "the ordinary run ended with status ${st[$o]}: $(said_by "$o")"
  check_place
  [ -z "$saved" ] || save_state
  saved=
}

# ---------------------------------------------------------------------------
echo "korvante: $korvante"
echo "rounds: $rounds (each 2 runs at once, then 4, each batch followed by an ordinary run); seed $seed; limit $limit s; load $(cut -d' ' -f1-3 /proc/loadavg)"
summary=()
for fs in ${fslist//,/ }; do
  echo "$fs:"
  if ! mount_fs "$fs"; then
    echo "  skipped: $why"
    summary+=("$fs: skipped ($why)")
    done_with "$mnt" "$loop"
    continue
  fi
  fsstart=$(date +%s)
  # With --users, open to both users: made so (a mount whose chmod does
  # nothing keeps the mode a folder is made with).
  [ -z "$users" ] || (umask 0 && mkdir -p -m 1777 "$work/runs/$fs" && mkdir -p "$place/lib/CAT" "$place/out/graphs")
  mkdir -p "$work/runs/$fs" "$place/lib"
  program "$work/runs/$fs/a.vyr" "$place/lib" yes
  program "$work/runs/$fs/b.vyr" "$place/lib" no
  nbad=0
  runs=0
  unkilled=0
  saved=
  reasons=()
  round=0
  n=0
  # The renames of each program's run here (traced whole), and how long
  # one takes alone, untraced: the kills and stops fall within them.
  declare -A renames=()
  took=0
  for p in a b; do
    (cd "$work/runs/$fs" && timeout -k 5 "$limit" strace -f -qq -o "$work/runs/$fs/$p.trace" -e trace=renameat2 \
      "$korvante" "$p.vyr" --data "$work/data" --out "$place/out" --log "$p.traced.log" >/dev/null 2>&1)
    e=$?
    renames[$p.vyr]=$(renames_of "$work/runs/$fs/$p.trace")
    [ "${renames[$p.vyr]}" -ge 1 ] || renames[$p.vyr]=1
    [ $e = 0 ] || bad "the traced run of $p.vyr ended with status $e: $(grep -m2 '^ERROR' "$work/runs/$fs/$p.traced.log" | tr '\n' ' ')"
    s=$(now_ms)
    (cd "$work/runs/$fs" && timeout -k 5 "$limit" "$korvante" "$p.vyr" --data "$work/data" --out "$place/out" \
      --log "$p.alone.log" >/dev/null 2>&1)
    e=$?
    s=$(($(now_ms) - s))
    [ $s -gt "$took" ] && took=$s
    [ $e = 0 ] || bad "a run of $p.vyr alone ended with status $e: $(grep -m2 '^ERROR' "$work/runs/$fs/$p.alone.log" | tr '\n' ' ')"
  done
  echo "  a run alone: ${took} ms; renames: a ${renames[a.vyr]}, b ${renames[b.vyr]}"
  for round in $(seq 1 "$rounds"); do
    for n in 2 4; do
      # The kinds of kill by turns, each batch size meeting both.
      # (The shell's word on each killed run goes to a file of its own.)
      if [ $(((round + n / 2) % 2)) = 0 ]; then kind=moment; else kind=rename; fi
      batch $kind 2>>"$work/shell.said"
    done
  done
  line="$fs: rounds $rounds, runs $runs, bad $nbad, $(($(date +%s) - fsstart)) s"
  [ "$unkilled" = 0 ] || line="$line ($unkilled of the runs to be killed ended first)"
  summary+=("$line")
  for r in "${reasons[@]}"; do summary+=("    $r"); done
  if [ -s "$work/kept.$fs" ]; then
    summary+=("  hidden folders kept with an earlier file, or left to their user, as a log said:")
    while IFS= read -r r; do summary+=("    $r"); done <"$work/kept.$fs"
  fi
  unset renames
  done_with "$mnt" "$loop"
  # An image is checked once unmounted: what its driver left on it is not
  # the runs' doing, but tells a broken file system from a fault of theirs.
  img=$work/fs/$fs/img
  check=()
  case $fs in
    fat) check=(fsck.vfat -n "$img") ;;
    exfat) check=(fsck.exfat -n "$img") ;;
    btrfs) check=(btrfs check --readonly "$img") ;;
  esac
  if [ ${#check[@]} -gt 0 ] && command -v "${check[0]}" >/dev/null; then
    if timeout -k 5 60 "${check[@]}" >"$work/fsck.$fs" 2>&1; then
      summary+=("  the image afterwards: ${check[0]} finds it clean")
    else
      summary+=("  the image afterwards: ${check[0]} finds faults: $(grep -v -e '^fsck' -e '^exfatprogs' "$work/fsck.$fs" | head -4 | sed 's/^ *//' | tr '\n' ' ')")
    fi
  fi
done
echo
echo "Summary (seed $seed):"
printf '%s\n' "${summary[@]}"
echo "whole trial: $(($(date +%s) - began)) s"

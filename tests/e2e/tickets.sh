#!/usr/bin/env bash
# The tickets by which writers hold a folder's lock, as other users and the
# file systems a run meets treat them:
#   a. another user, who may only read the folder, catches every file made
#      there (inotify) and read-locks it at once: every one of the victim's
#      writes there ends well, on ext4 (a 0755 folder of hers, and a 1777
#      one), and where every file shows readable to all (exFAT with
#      umask=022, bindfs --perms=a+rX); the tickets the reader took first
#      and the time the writes took, with the reader and without, are said;
#   b. on rclone mounts (--vfs-cache-mode off and writes), writes in a row,
#      and four at once, end well and leave no ticket;
#   c. ten runs that find the folder free at the same moment all end well,
#      bounded;
#   d. a file at a ticket's name that the run may not look at (another
#      user's, readable by its owner alone, that no run holds) is never
#      removed: the write waits for it within the step's limit, then fails
#      naming it;
#   e. a run stopped while it makes its ticket leaves none that stops
#      another user's write;
#   f. another user's hard link to the victim's file at a ticket's name is
#      never emptied;
#   g. a run whose ticket a co-writer renamed never waits for it;
#   h. tickets that cannot be locked, or not found as the run's own, are
#      tried again only within the step's limit, counted over the step;
#   i. a run stopped while it holds the lock, under umask 077, on ext4 and
#      on bindfs --chmod-ignore (whose chmod does nothing): another user's
#      run waits for it, never removes its ticket, and both end well;
#   j. on bindfs, a run stopped between making its ticket and locking it,
#      while another run of its user removes it and writes: once it goes
#      on, it makes another, and both end well.
# Each case is skipped, with a word, where the machine does not allow it.
# Usage: tickets.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: tickets.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/checks.sh"
work_with_mounts
two_users_or_skip
victim=60001
other=60002
cp "$root/examples/aml.csv" .
chmod 644 aml.csv
# program FILE LIB [strata]: FILE writes the data set os into the folder LIB.
program() {
  { echo "libname k '$2';"
    echo "proc korvante data=aml outsurv=k.os notable plots=none;"
    echo "  time time*status(0);"
    [ -n "${3:-}" ] && echo "  strata x;"
    echo "run;"; } >"$1"
  chmod 644 "$1"
}
# whole DIR: the attribute file names STRATUM exactly when the CSV file has it.
whole() { [ "$(head -1 "$1/os.csv" | grep -c STRATUM)" = "$(grep -c STRATUM "$1/os.attr")" ]; }
# no_ticket DIR: no ticket (of any run, of either lock) is left in DIR.
no_ticket() { [ -z "$(tickets "$1")" ]; }
# ended_well PID...: waits for the background processes (60 s in all, after
# which those still going are killed); how many ended with status 0 in $ok.
all_ended() {
  local p
  for p in "$@"; do ended "$p" || return 1; done
}
ended_well() {
  local p
  until_true 60 all_ended "$@" || kill -KILL "$@" 2>/dev/null
  ok=0
  for p in "$@"; do wait "$p" && ok=$((ok + 1)); done
}

# call_after TRACE MARK CALL [PATTERN]: in TRACE (strace -f of a run), the
# thread whose line first matches MARK: the number of its first CALL call
# after that line (matching PATTERN, when given) among all its CALL calls,
# for strace's inject ... when=N, which counts each thread's calls.
call_after() {
  awk -v mark="$2" -v call=" $3\\(" -v pat="${4:-}" '
    !tid && $0 ~ mark { tid = $1; on = 1 }
    $0 ~ call { c[$1]++; if (on && $1 == tid && (pat == "" || $0 ~ pat)) { print c[$1]; exit } }' "$1"
}
# bindfs_at DIR SRC [OPTION...]: mounts bindfs (with the OPTIONs) of SRC at
# DIR; false, saying why, where it cannot.
bindfs_at() {
  if ! command -v bindfs >/dev/null || [ ! -c /dev/fuse ]; then
    echo "skipped: bindfs ${*:3} (no bindfs or /dev/fuse)" && return 1
  elif ! bindfs "${@:3}" "$2" "$1" 2>bindfs.why; then
    echo "skipped: bindfs ${*:3} (its mount was refused: $(head -1 bindfs.why))" && return 1
  fi
  mounts+=("$work/$1")
}
# stopped_at_ticket T CALL PATTERN PROGRAM COMMAND...: PROGRAM run through
# COMMAND (setpriv, as a user) traced whole (into t/T), then again in the
# background ($bg), stopped (strace) at its first CALL matching PATTERN
# from the making of its ticket on; the stopped process in $stopped.
stopped_at_ticket() {
  local t=$1 call=$2 pat=$3 p=$4 k
  shift 4
  "$@" strace -f -qq -o "t/$t" -e trace=openat,linkat,renameat2,"$call" "$korvante" "$p" >/dev/null 2>&1
  k=$(call_after "t/$t" korvante-w- "$call" "$pat")
  rm -f "t/$t.s"
  "$@" strace -f -qq -o "t/$t.s" -e trace="$call" -e inject="$call":signal=STOP:when="${k:-1}" \
    timeout 60 "$korvante" "$p" >/dev/null 2>&1 &
  bg=$!
  stopped=
  [ -z "$k" ] || stopped_in "t/$t.s"
}

# ---------------------------------------------------------------------------
# a. caught NAME DIR: the victim's runs write the data set into DIR 30 times
# in a row without a reader, then 30 times while the other user catches
# every new file there: every write ends well.
writes() { # N: N writes of caught.vyr as the victim; how many ended well in $ok
  local i
  ok=0
  for i in $(seq 1 "$1"); do
    if as $victim timeout 60 "$korvante" "$work/caught.vyr" >/dev/null 2>"$work/caught.log"; then
      ok=$((ok + 1))
    else
      grep '^ERROR' "$work/caught.log" | head -1
    fi
  done
}
caught() {
  local name=$1 d=$2 modes=${3:-} start alone with seen locked catcher
  program "$work/caught.vyr" "$d"
  start=$(date +%s%N)
  writes 30
  alone=$((($(date +%s%N) - start) / 1000000))
  check "$name: 30 writes without a reader" test $ok = 30
  rm -f "$work/counts" "$work/catch.said"
  install -m 666 /dev/null "$work/counts"
  as_bg $other "$(command -v /usr/bin/python3 || command -v python3)" "$for_others/catch_new.py" "$d" \
    "$work/counts" >"$work/catch.said" 2>&1
  catcher=$!
  until_true 20 grep -q . "$work/catch.said"
  check "$name: the reader watches the folder" said "$work/catch.said" watching
  start=$(date +%s%N)
  writes 30
  with=$((($(date +%s%N) - start) / 1000000))
  kill $catcher 2>/dev/null
  wait_ended $catcher 20
  check "$name: 30 writes while a reader catches every new file" test $ok = 30
  check "$name: 30 writes while a reader catches every new file" whole "$d"
  check "$name: no ticket left" no_ticket "$d"
  read -r seen locked <"$work/counts"
  # Where the file system keeps modes, the reader cannot open a ticket
  # before its maker holds it.
  [ -n "$modes" ] && check "$name: the reader locked no ticket" test "${locked:-?}" = 0
  echo "$name: $ok of 30 writes ended well while the reader caught every new file; it locked" \
    "${locked:-?} of the ${seen:-?} tickets made before their makers did (each a name more" \
    "for its run); the 30 writes took $with ms, $alone ms without the reader"
}
mkdir -m 755 ext4 && chown $victim:$victim ext4
caught "ext4, the victim's 0755 folder" "$work/ext4" modes
mkdir -m 1777 sticky
caught "ext4, a 1777 folder" "$work/sticky" modes
# exFAT through exfat-fuse (on a loop device), the victim's by its mount
# options, every file shown 0755 to all.
if command -v mount.exfat-fuse >/dev/null && command -v mkfs.exfat >/dev/null && [ -c /dev/fuse ]; then
  mkdir -m 755 exfat
  truncate -s 64M exfat.img && mkfs.exfat exfat.img >/dev/null 2>&1
  if ! loop=$(losetup -f --show exfat.img 2>/dev/null); then
    echo "skipped: exFAT (no loop device here)"
  else
    loops+=("$loop")
    if mount.exfat-fuse -o allow_other,uid=$victim,gid=$victim,umask=022 "$loop" exfat \
      >/dev/null 2>exfat.why; then
      mounts+=("$work/exfat")
      caught "exFAT (umask=022)" "$work/exfat"
    else
      echo "skipped: exFAT (its mount was refused: $(head -1 exfat.why))"
    fi
  fi
else
  echo "skipped: exFAT (no exfat-fuse, mkfs.exfat or /dev/fuse)"
fi
# bindfs --perms=a+rX over a folder of the victim's: her tickets, made
# readable to her alone, show readable to all.
mkdir -m 700 bsrc && mkdir -m 755 bindfs && chown $victim:$victim bsrc
bindfs_at bindfs bsrc --perms=a+rX && caught "bindfs --perms=a+rX" "$work/bindfs"

# ---------------------------------------------------------------------------
# b. rclone: a local folder mounted in each cache mode (the runs are root's;
# the data is read from outside the mount).
if ! command -v rclone >/dev/null || [ ! -c /dev/fuse ]; then
  echo "skipped: rclone (no rclone or /dev/fuse)"
else
  for mode in off writes; do
    name="rclone --vfs-cache-mode $mode"
    mnt=$work/rclone-$mode.mnt
    mkdir -p "$work/rclone-$mode" "$mnt"
    if ! RCLONE_CONFIG=/dev/null rclone mount "$work/rclone-$mode" "$mnt" --vfs-cache-mode $mode \
      --cache-dir "$work/rclone-cache" --daemon 2>"$work/rclone.why" ||
      ! until_true 20 mountpoint -q "$mnt"; then
      echo "skipped: $name (its mount was refused: $(grep -v NOTICE "$work/rclone.why" | head -1))"
      continue
    fi
    mounts+=("$mnt")
    mkdir "$mnt/lib"
    program "$work/r1.vyr" "$mnt/lib"
    program "$work/r2.vyr" "$mnt/lib" strata
    ok=0
    for i in 1 2 3 4 5; do
      timeout 60 "$korvante" "$work/r$((i % 2 + 1)).vyr" >/dev/null 2>"$work/r.log" && ok=$((ok + 1))
    done
    check "$name: five writes in a row" test $ok = 5
    check "$name: five writes in a row" whole "$mnt/lib"
    check "$name: five writes in a row: no ticket left" no_ticket "$mnt/lib"
    pids=()
    for i in 1 2 3 4; do
      "$korvante" "$work/r$((i % 2 + 1)).vyr" >/dev/null 2>"$work/r$i.log" &
      pids+=($!)
    done
    ended_well "${pids[@]}"
    check "$name: four writes at once" test $ok = 4
    check "$name: four writes at once" whole "$mnt/lib"
    check "$name: four writes at once: no ticket left" no_ticket "$mnt/lib"
  done
fi

# ---------------------------------------------------------------------------
# c. Ten runs of the victim's find the folder they write free at the same
# moment: each is stopped by strace once it has looked and found no other
# run's ticket there, as it draws its own ticket's name (the Nth getrandom
# call of a run, found by a run traced whole), and all ten go on together.
# Each makes its ticket and meets the others': all ten end well, bounded (a
# run that kept its ticket while another kept its own would wait for it for
# ever).
# (The traces are kept in a folder of the victim's, t.)
mkdir -m 755 ten t && chown $victim:$victim ten t
program ten.vyr "$work/ten"
as $victim strace -f -qq -o t/whole -e trace=getrandom,openat,linkat "$korvante" ten.vyr >/dev/null 2>&1
k=$(grep 'getrandom(\|korvante-w-.*O_CREAT\|linkat(.*korvante-w-' t/whole | grep -n 'korvante-w-' | head -1 | cut -d: -f1)
k=$((${k:-1} - 1))
check "ten runs at once: the call that draws a ticket's name" test $k -ge 1
tracers=()
stops=()
if [ $k -ge 1 ]; then
  for i in $(seq 1 10); do
    as_bg $victim strace -f -qq -o t/$i -e trace=getrandom \
      -e inject=getrandom:signal=STOP:when=$k "$korvante" ten.vyr >/dev/null 2>&1
    tracers+=($!)
  done
  for i in $(seq 1 10); do
    stopped_in t/$i
    [ -n "$stopped" ] && stops+=("$stopped")
  done
fi
check "ten runs at once: all ten stopped as they draw a ticket's name" test ${#stops[@]} = 10
kill -CONT "${stops[@]}" 2>/dev/null
ended_well "${tracers[@]}"
# Runs still going once their tracers were killed are killed too.
[ $ok = 10 ] || kill -KILL "${stops[@]}" 2>/dev/null
check "ten runs at once: all ten end well" test $ok = 10
check "ten runs at once" whole ten
check "ten runs at once: no ticket left" no_ticket ten

# ---------------------------------------------------------------------------
# d. In a folder both users write (0777, not sticky), the other user left a
# file at a ticket's name, readable by its owner alone, that no run holds:
# the victim's run cannot look at it, and whether a run holds it cannot be
# told (where chmod does nothing, a living ticket stays so), so it is never
# removed: the write waits within the step's limit (3 seconds here), then
# fails, naming the file and its owner.
mkdir -m 777 both
unknown=.korvante-w-00000000000000ff.lock
as $other sh -c "umask 077 && echo 1 >both/$unknown"
program both.vyr "$work/both"
as $victim env KORV_LOCK_WAIT_MS=3000 timeout 60 "$korvante" both.vyr >/dev/null 2>both.log
check "a ticket no one else can look at: the write fails within the limit" test $? = 1
check "a ticket no one else can look at: kept" test -e both/$unknown
check "a ticket no one else can look at: named" said both.log "the file $work/both/$unknown, which belongs to $(user_text $other), could not be looked at"

# ---------------------------------------------------------------------------
# e. A run stopped at any moment while it makes its ticket leaves none that
# makes another user's write there wait long or fail: the victim's run is
# stopped (SIGKILL, and SIGINT, SIGTERM, SIGHUP, whose handler removes its
# tickets) at the call that makes the ticket readable to all or gives it
# its name, the last before it holds the folder's lock, on ext4 (where a
# ticket is made without a name first) and on bindfs (where it is made
# under a name no run waits for, readable by its maker alone until locked,
# and renamed once locked and readable to all); then the other
# user's write there ends well, within the step's limit (3 seconds here).
# The call is found by a run traced whole: the first fchmod or linkat after
# the ticket's file is opened.
stopped_ticket() { # NAME DIR
  local name=$1 d=$2 k sig call=fchmod
  program "$work/stop.vyr" "$d"
  program "$work/after.vyr" "$d" strata
  as $victim strace -f -qq -o t/stop -e trace=openat,fchmod,linkat "$korvante" "$work/stop.vyr" \
    >/dev/null 2>&1
  grep -q 'TMPFILE.*= [0-9]' t/stop && call=linkat
  k=$(call_after t/stop 'korvante-w-|TMPFILE.*= [0-9]' $call)
  check "$name: the call that ends a ticket's making" test -n "$k"
  for sig in KILL INT TERM HUP; do
    rm -f "$d/os.csv" "$d/os.attr"
    as $victim strace -f -qq -o /dev/null -e trace="$call" -e inject="$call":signal=$sig:when="$k" \
      "$korvante" "$work/stop.vyr" >/dev/null 2>&1
    [ $sig != KILL ] && check "$name, SIG$sig: no ticket left" no_ticket "$d"
    as $other env KORV_LOCK_WAIT_MS=3000 timeout 60 "$korvante" "$work/after.vyr" >/dev/null 2>"$work/after.log"
    check "$name, SIG$sig: the other user's write ends well" test $? = 0
    check "$name, SIG$sig: the other user's write ends well" whole "$d"
    # What the stopped run left (a ticket that says its run ended) goes.
    as $victim timeout 60 "$korvante" "$work/stop.vyr" >/dev/null 2>&1
    check "$name, SIG$sig: then no ticket left" no_ticket "$d"
  done
}
mkdir -m 777 shared
stopped_ticket "ext4, a 0777 folder" "$work/shared"
mkdir -m 777 bshared-src bshared
bindfs_at bshared bshared-src -o allow_other && stopped_ticket "bindfs, a 0777 folder" "$work/bshared"

# ---------------------------------------------------------------------------
# f. A file that the other user hard-linked to a ticket's name in a folder
# both may write (the victim's file: her data set's CSV file elsewhere) is
# at most unlinked there, never emptied nor written, in a 1777 folder and in
# a team folder. (Root makes the link, as the other user could where
# fs.protected_hardlinks is 0: the same name of the same file.)
mkdir -m 1777 linked && mkdir -m 2775 team && chgrp 60003 team
mkdir -m 755 mine && chown $victim:$victim mine
for d in linked team; do
  name="another user's link to the victim's file at a ticket's name ($d)"
  head -c 300000 /dev/urandom | base64 >mine/big.txt
  chown $victim:$victim mine/big.txt
  cp mine/big.txt big.copy
  ln mine/big.txt "$d/.korvante-w-0123456789abcdef.lock"
  program "$work/$d.vyr" "$work/$d"
  setpriv --reuid=$victim --regid=$victim --groups=60003 timeout 60 "$korvante" "$work/$d.vyr" \
    >/dev/null 2>"$work/$d.log"
  check "$name: the write" test $? = 0
  check "$name: the file keeps its bytes" same_file mine/big.txt big.copy
done

# ---------------------------------------------------------------------------
# g. A co-writer in a team folder renames the victim's run's ticket, once
# it is named, locked and written, to a higher ticket name: the run knows it
# for its own by what it wrote in it, never waits for it, and ends well.
# The run is stopped (strace) at the descriptor copy that shows its ticket
# to others, the rename is made, and the run goes on.
program "$work/g.vyr" "$work/team"
stopped_at_ticket g fcntl F_DUPFD_CLOEXEC "$work/g.vyr" setpriv --reuid=$victim --regid=$victim --groups=60003
check "a ticket renamed by a co-writer: the run stopped" test -n "$stopped"
for f in $(tickets team); do
  setpriv --reuid=$other --regid=$other --groups=60003 mv "team/$f" team/.korvante-w-ffffffffffffffff.lock
done
kill -CONT "$stopped" 2>/dev/null
wait_ended $bg 60
check "a ticket renamed by a co-writer: the run ends well" test $? = 0

# ---------------------------------------------------------------------------
# h. Every lock of a new ticket fails as if another process came first, or
# no ticket of the run's is found as its own at its name (test hooks): the
# run tries again within the step's limit (2 seconds), then fails saying
# why; and the waits of a step are counted together: two locks that each
# wait 1.5 seconds (a catalogue's and a library folder's) exceed the limit.
mkdir -m 755 h && chown $victim:$victim h
program h.vyr "$work/h"
for fault in lock mine; do
  as $victim env KORV_FAIL_TICKET=$fault KORV_LOCK_WAIT_MS=2000 timeout 60 "$korvante" h.vyr \
    >/dev/null 2>h.log
  check "every ticket's lock failing ($fault): the step fails within the limit" test $? = 1
done
check "every ticket's lock failing (mine): said" said h.log "was not found at its name"
printf "libname k '%s';\nproc korvante data=aml outsurv=k.os gout=k.cat plots=(s) notable;\n  time time*status(0);\nrun;\n" \
  "$work/h" >h2.vyr
as $victim env KORV_FAIL_TICKET=lock:75 KORV_LOCK_WAIT_MS=2000 timeout 60 "$korvante" h2.vyr \
  --graphics off >/dev/null 2>h2.log
check "two locks' waits in a step: counted together" test $? = 1
check "two locks' waits in a step: counted together" said h2.log "the folder $work/h's lock could not be taken"

# ---------------------------------------------------------------------------
# i. The victim's run, under umask 077, is stopped (strace) holding the
# lock, its ticket shown to others. The other user's run waits for it, never
# removing it: on ext4 (the wait names the victim's process: the ticket was
# made readable) and on bindfs --chmod-ignore (it stays the victim's alone).
# Once the victim's run goes on, both end well, whole, no ticket left.
held_while_stopped() { # NAME DIR
  local name=$1 d=$2 v o
  program "$work/held.vyr" "$d"
  program "$work/held2.vyr" "$d" strata
  stopped_at_ticket held fcntl F_DUPFD_CLOEXEC "$work/held.vyr" as $victim sh -c 'umask 077 && exec "$@"' sh
  v=$bg
  check "$name: the victim's run stopped holding the lock" test -n "$stopped"
  as_bg $other env KORV_LOCK_WAIT_MS=20000 timeout 60 "$korvante" "$work/held2.vyr" >/dev/null 2>"$work/held2.log"
  o=$!
  until_true 30 waiting_or_ended "$work/held2.log" $o
  check "$name: the other user's run waits" said "$work/held2.log" "is held by"
  check "$name: the other user's run waits" test -n "$(tickets "$d")"
  [ "${3:-}" = readable ] && check "$name: the wait names the victim's process" \
    said "$work/held2.log" ", process "
  kill -CONT "$stopped" 2>/dev/null
  wait_ended $v 60
  check "$name: the victim's run ends well" test $? = 0
  wait_ended $o 60
  check "$name: the other user's run ends well" test $? = 0
  check "$name: the data set whole" whole "$d"
  check "$name: no ticket left" no_ticket "$d"
}
mkdir -m 777 held
held_while_stopped "a run stopped holding the lock (ext4, umask 077)" "$work/held" readable
mkdir -m 777 bheld-src bheld
bindfs_at bheld bheld-src -o allow_other --chmod-ignore &&
  held_while_stopped "a run stopped holding the lock (bindfs --chmod-ignore, umask 077)" "$work/bheld"

# ---------------------------------------------------------------------------
# j. On bindfs (no nameless files), the victim's run is stopped (strace) as
# it has made its ticket, before it locks it, still under a name no run
# waits for; another run of hers then finds it unlocked, takes its lock, removes
# it and writes. Once the first run goes on, its ticket is gone: it makes
# another within the step's limit, and both end well.
if [ -d bshared ] && mountpoint -q bshared; then
  program "$work/j1.vyr" "$work/bshared"
  program "$work/j2.vyr" "$work/bshared" strata
  stopped_at_ticket j openat "" "$work/j1.vyr" as $victim
  check "a ticket removed before its maker locked it: the run stopped" test -n "$stopped"
  as $victim timeout 60 "$korvante" "$work/j2.vyr" >/dev/null 2>"$work/j2.log"
  check "a ticket removed before its maker locked it: the other run ends well" test $? = 0
  kill -CONT "$stopped" 2>/dev/null
  wait_ended $bg 60
  check "a ticket removed before its maker locked it: its run ends well" test $? = 0
  check "a ticket removed before its maker locked it" whole bshared
  check "a ticket removed before its maker locked it: no ticket left" no_ticket bshared
fi

report

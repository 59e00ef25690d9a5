# The checks the end-to-end scripts share, sourced by them: each check is
# counted, and one that fails is named with the command that failed; report
# ends the script with the counts, failing if any check failed.
failed=0
checks=0
# mkfs.vfat, mkfs.exfat and losetup, for a user whose PATH lacks sbin.
PATH=$PATH:/usr/sbin:/sbin

# work_with_mounts: makes a scratch folder, $work, and enters it. The mounts
# (in `mounts`) and loop devices (in `loops`) a script makes there are undone,
# the last mount first, before the folder goes when the script exits.
work_with_mounts() {
  work=$(mktemp -d)
  [ -n "${KEEP:-}" ] && echo "work: $work"
  mounts=()
  loops=()
  trap undo_mounts EXIT
  trap 'exit 1' INT TERM HUP
  cd "$work" || exit 1
}
undo_mounts() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}"
  done
  for i in "${loops[@]}"; do losetup -d "$i"; done
  [ -n "${KEEP:-}" ] || rm -rf --one-file-system "$work"
}
# fuse_mount KIND DIR: a FUSE file system of KIND mounted at DIR (made
# here), noted in `mounts` (its loop device in `loops`) for work_with_mounts
# to undo: bindfs over DIR.src (for a user who is not root, open to that
# user alone: FUSE lets only root open a mount to others unless
# /etc/fuse.conf allows it); fat, an image made by mkfs.vfat, through
# fusefat (single-threaded: threaded, it has been seen to hang under many
# renames), its files shown as the script's user's, as a FAT disk mounted
# for a user is (else all are root's, and a run of a user who is not root
# takes its own hidden folders for another user's); exfat, an image made
# by mkfs.exfat on a loop device, through exfat-fuse. False, with the
# reason in $why, where it cannot be mounted.
fuse_mount() {
  local loop own=()
  why=
  [ "$(id -u)" = 0 ] || own=(--no-allow-other)
  mkdir -p "$2"
  if [ ! -c /dev/fuse ]; then
    why="no /dev/fuse"
    return 1
  fi
  case $1 in
  bindfs)
    command -v bindfs >/dev/null || why="no bindfs"
    [ -n "$why" ] || { mkdir -p "$2.src" && bindfs "${own[@]}" "$2.src" "$2" 2>"$2.why"; } ||
      why="bindfs refused: $(head -1 "$2.why")"
    ;;
  fat)
    command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null || why="no fusefat or mkfs.vfat"
    [ -n "$why" ] || { truncate -s 64M "$2.img" && mkfs.vfat "$2.img" >/dev/null 2>&1 &&
      fusefat -s -o "rw+,uid=$(id -u),gid=$(id -g)" "$2.img" "$2" >"$2.why" 2>&1; } ||
      why="fusefat refused: $(tail -1 "$2.why")"
    ;;
  exfat)
    command -v mount.exfat-fuse >/dev/null && command -v mkfs.exfat >/dev/null ||
      why="no exfat-fuse or mkfs.exfat"
    [ -n "$why" ] || { truncate -s 64M "$2.img" && mkfs.exfat "$2.img" >/dev/null 2>&1; } ||
      why="mkfs.exfat refused"
    if [ -z "$why" ] && ! loop=$(losetup -f --show "$2.img" 2>/dev/null); then
      why="no loop device here"
      [ "$(id -u)" = 0 ] || why="needs root, for a loop device"
    fi
    [ -n "$why" ] || { loops+=("$loop") && mount.exfat-fuse "$loop" "$2" >"$2.why" 2>&1; } ||
      why="exfat-fuse refused: $(tail -1 "$2.why")"
    ;;
  *) why="no such file system as $1 here" ;;
  esac
  [ -z "$why" ] && mounts+=("$2")
}

fail() {
  echo "FAIL $1: $2"
  failed=$((failed + 1))
}
# check NAME CONDITION-COMMAND...: counts a check, reports it when it fails.
check() {
  local name=$1
  shift
  checks=$((checks + 1))
  "$@" || fail "$name" "$*"
}
same_file() { cmp -s "$1" "$2"; }
said() { grep -qF -- "$2" "$1"; }
# sanitized: whether $korvante checks undefined behaviour, whose own check
# stops the run when it finds no descriptor left for itself.
sanitized() { grep -q __ubsan_handle "$korvante"; }
lacks() { ! grep -qF -- "$2" "$1" 2>/dev/null; }
# stopped_in TRACE: waits until the run traced (strace -o TRACE) is stopped
# by a SIGSTOP; its process id in $stopped ("" when it never stopped).
# strace's signal=STOP stops the run as the traced call returns: after the
# Nth rename, before the next.
stopped_in() {
  stopped=
  # 60 s only bounds the wait for a run that never stops (a loaded machine
  # may take seconds to start one under strace).
  for _ in $(seq 1 3000); do
    stopped=$(awk '/stopped by SIGSTOP/ { print $1; exit }' "$1" 2>/dev/null)
    [ -n "$stopped" ] && break
    sleep 0.02
  done
}
# until_true SECONDS COMMAND...: waits until COMMAND holds, looking every
# 20 ms; false when it still does not after SECONDS. A check waits on what
# happens (a file made, a line written, a process ended): SECONDS only
# bounds the wait for something that never comes.
until_true() {
  local i
  for ((i = 0; i < $1 * 50; i++)); do
    "${@:2}" && return 0
    sleep 0.02
  done
  "${@:2}"
}
# ended PID: the process has ended (a child of the script: bash reaps it).
ended() { ! kill -0 "$1" 2>/dev/null; }
# wait_ended PID [SECONDS]: waits for the background process PID to end, and
# returns its status; one still going after SECONDS (60) is killed (137), so
# that a run that waits for ever fails the check instead of hanging it.
wait_ended() {
  until_true "${2:-60}" ended "$1" || kill -KILL "$1" 2>/dev/null
  wait "$1"
}
# waiting_or_ended LOG PID: the run PID, its log on standard error in LOG,
# waits for a lock or a pair another run holds (its log says so, after a
# second of waiting), or it has ended (without waiting: the checks that
# follow say so).
waiting_or_ended() { said "$1" "is held by" || ended "$2"; }
# as UID COMMAND...: runs COMMAND as that user and group, with no other
# groups (the scripts that act as two users run as root).
as() {
  local u=$1
  shift
  setpriv --reuid="$u" --regid="$u" --clear-groups "$@"
}
# as_bg USER COMMAND...: as, in the background, $! being the command itself
# (a function in the background would be a subshell of its own).
as_bg() { setpriv --reuid="$1" --regid="$1" --clear-groups "${@:2}" & }
# two_users_or_skip: ends the script as skipped (77), saying which need is
# not met, unless it runs as root (to act as two users) with setpriv, the
# kernel lets it act as uid 60001 and strace can trace here; then
# for_others (so $work is made first).
two_users_or_skip() {
  local why=
  if [ "$(id -u)" != 0 ]; then
    why="needs root, to act as two users"
  elif ! command -v setpriv >/dev/null || ! as 60001 true 2>/dev/null; then
    why="cannot act as another user here (setpriv as uid 60001)"
  elif ! command -v strace >/dev/null || ! strace -f -qq -o /dev/null true 2>/dev/null; then
    why="strace cannot trace here"
  fi
  [ -z "$why" ] || { echo "skipped: $why" && exit 77; }
  for_others
}
# for_others [UID...]: the users a script acts as (60001 and 60002 unless
# named) may be unable to enter the checkout and its build (a clone in a
# folder only its owner may enter: root's home, mktemp -d). So what they run
# or read of the tree is copied into $for_others, in $work (both made open
# to all to enter and read; $work is in TMPDIR or /tmp): the korvante
# command, which $korvante names from then on (it reads nothing else of the
# tree as it runs), checks.sh, hold_lock.py, catch_new.py and the example
# data aml.csv.
# Each user then runs the copy on that data by absolute paths, through env:
# setpriv itself starts its command still able to search any folder, so a
# run it starts directly proves nothing of the path. A user who cannot
# fails the script, saying why.
for_others() {
  local u users=("$@") src
  [ $# -gt 0 ] || users=(60001 60002)
  if [ -z "${work:-}" ]; then
    fail "other users" "for_others needs the script's folder \$work: make it first"
    exit 1
  fi
  src=$(cd "$here/../.." && pwd)
  for_others=$work/for-others
  chmod 755 "$work" && mkdir -p "$for_others" && cp "$korvante" "$for_others/korvante" &&
    cp "$here/checks.sh" "$here/hold_lock.py" "$here/catch_new.py" "$src/examples/aml.csv" "$for_others/" &&
    printf 'proc korvante data=aml notable plots=none;\n  time time*status(0);\nrun;\n' \
      >"$for_others/reach.vyr" && chmod -R a+rX "$for_others" || {
    fail "other users" "what they run could not be copied into $for_others"
    exit 1
  }
  korvante=$for_others/korvante
  for u in "${users[@]}"; do
    (cd / && as "$u" env "$korvante" "$for_others/reach.vyr" --data "$for_others" \
      >/dev/null 2>"$for_others/$u.err") &&
      as "$u" test -r "$for_others/hold_lock.py" -a -r "$for_others/checks.sh" && continue
    fail "other users" "uid $u cannot run $korvante on its data there, or read its helpers (may others enter $(dirname "$work")?): $(head -1 "$for_others/$u.err")"
    exit 1
  done
}
# split_by_kill DIR AML: in DIR, p.vyr and q.vyr (q with strata) write the
# data set l.os into DIR/lib from AML's data; p runs, then q is killed
# between its two renames, leaving the pair split.
split_by_kill() {
  mkdir -p "$1/lib"
  cp "$2" "$1/"
  printf "libname l 'lib';\nproc korvante data=aml outsurv=l.os notable plots=none;\n  time time*status(0);\nrun;\n" >"$1/p.vyr"
  printf "libname l 'lib';\nproc korvante data=aml outsurv=l.os notable plots=none;\n  time time*status(0);\n  strata x;\nrun;\n" >"$1/q.vyr"
  (cd "$1" && "$korvante" p.vyr >/dev/null 2>&1)
  (cd "$1" && strace -f -qq -o /dev/null -e trace=renameat2 -e inject=renameat2:signal=KILL:when=2 \
    "$korvante" q.vyr >/dev/null 2>&1) 2>/dev/null
}
# rename_number TRACE NAME: the number of the first renameat2 call in TRACE
# (strace -e trace=renameat2 of a run) that names NAME ("os.csv"), to hold
# or stop a later run of the same program at that call (when=N); 0 when
# there is none. The calls name files relative to folders the run holds,
# so strace -P, which matches paths, does not find them.
rename_number() {
  grep 'renameat2(' "$1" | grep -n "\"$2\"" | head -1 | cut -d: -f1 | grep . || echo 0
}
# hold_lock [as UID[:GROUPS]] MODE PATH [ARGS...]: a process that holds a lock as a
# run does (hold_lock.py: "ticket DIR" a folder's lock, "live FILE" a hidden
# folder's lock file, "read FILE" every lock a reader can hold), as that
# user, in the background ($holder is it); returns once it holds the lock,
# false when it could not.
hold_lock() {
  local run=() said
  if [ "$1" = as ]; then
    # as UID, or as UID:GROUPS (setpriv --groups: the group needs no name)
    local u=${2%%:*}
    run=(setpriv --reuid="$u" --regid="$u" --clear-groups)
    [ "$u" != "$2" ] && run=(setpriv --reuid="$u" --regid="$u" --groups="${2#*:}")
    shift 2
  fi
  said=$(mktemp)
  chmod 666 "$said"
  # The system's python3: one under root's home is not another user's.
  "${run[@]}" "$(command -v /usr/bin/python3 || command -v python3)" "${for_others:-$here}/hold_lock.py" "$@" \
    >"$said" 2>&1 &
  holder=$!
  until_true 20 grep -q . "$said"
  grep -q '^held' "$said"
  local held=$?
  rm -f "$said"
  return $held
}
# let_holder_go: ends the process hold_lock started.
let_holder_go() {
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
}
# tickets DIR: the names of the lock tickets in DIR.
tickets() { find "$1" -maxdepth 1 -name '.korvante-*w-*.lock' -printf '%f\n'; }
# user_text UID: how a run names the user with that number, "the user bob
# (uid 60002)" where the machine has a name for it, else "the user with uid
# 60002": the scripts act as numbers that may or may not have a name.
user_text() {
  local name
  name=$(getent passwd "$1" | cut -d: -f1)
  if [ -n "$name" ]; then echo "the user $name (uid $1)"; else echo "the user with uid $1"; fi
}
report() {
  echo "$((checks - failed)) passed, $failed failed"
  [ $failed = 0 ]
}

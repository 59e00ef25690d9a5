#!/usr/bin/env bash
# What another user's files and names can do to a user's runs, in folders
# they share:
#   (1) a file another user made at a lock's name is no lock of this user's:
#       no read waits for it and no write fails for it; a hard link there to
#       a file of the user's is never given other rights;
#   (2) a name swapped between another user's folder and a link to the
#       user's private folder, again and again, never makes a run write
#       into the private folder;
#   (4) a descriptor opened while a lock file was open to others (an
#       earlier version's .korvante.lock, 0644; a group's, before the group
#       lost the folder) holds no lock a run waits for;
#   (6) another run looking at a killed run's hidden folder never makes a
#       run take it for a living run's: the split pair is put back.
# Usage: others_files.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: others_files.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
[ -n "${KEEP:-}" ] && echo "work: $work"
holders=()
trap 'kill "${holders[@]}" 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
. "$here/checks.sh"
two_users_or_skip
cd "$work" || exit 1
chmod 755 "$work"
victim=60001
other=60002
# hold USER FILE [-s]: USER holds a lock on FILE (opened for reading, made
# if need be) in the background until the script kills it; returns once it
# is held.
hold() {
  rm -f "$work/held"
  as_bg "$1" flock -o ${3:-} "$2" sh -c "touch '$work/held'; exec sleep 60" 2>/dev/null
  holders+=($!)
  for _ in $(seq 1 500); do
    [ -e "$work/held" ] && return 0
    sleep 0.01
  done
  return 1
}
let_go() { kill "${holders[@]}" 2>/dev/null; wait "${holders[@]}" 2>/dev/null; holders=(); }
# write_read DIR NAME USER: USER writes the data set NAME into DIR, then
# reads it back, each within 10 s (from a folder of USER's own); the two
# statuses in $wrote/$read.
write_read() {
  local u="$work/u$3"
  mkdir -p "$u" && cp "$root/examples/aml.csv" "$u/aml.csv"
  printf "libname k '%s';\nproc korvante data=aml outsurv=k.%s notable plots=none;\n  time time*status(0);\nrun;\n" \
    "$1" "$2" >"$u/w.vyr"
  printf "libname k '%s';\nproc korvante data=k.%s notable plots=none;\n  time time*_CENSOR_(1);\nrun;\n" \
    "$1" "$2" >"$u/r.vyr"
  chown -R "$3:$3" "$u"
  as "$3" timeout 10 "$korvante" "$u/w.vyr" --log "$u/w.log" >/dev/null 2>&1
  wrote=$?
  as "$3" timeout 10 "$korvante" "$u/r.vyr" --log "$u/r.log" >/dev/null 2>&1
  read=$?
}

# ---------------------------------------------------------------------------
# (1) Root's shared sticky folder: the other user makes root's lock name and
# holds it. Root's runs there neither wait nor fail.
mkdir -m 1777 shared
write_read "$work/shared" s0 0
check "root's data set in a shared folder" test "$wrote/$read" = 0/0
# (Each of the names a lock of that user's has had.)
names_of() { echo ".korvante-$1.lock .korvante-u$1.lock"; }
for n in $(names_of 0); do
  rm -f "shared/$n"
  as $other touch "shared/$n"
  hold $other "shared/$n" -x
done
write_read "$work/shared" s0 0
check "another user's file at root's lock name, held" test "$wrote/$read" = 0/0
check "another user's file at root's lock name: it stays theirs" test "$(stat -c %u shared/.korvante-u0.lock)" = $other
let_go
# The same at the victim's own name, before her first run there.
for n in $(names_of $victim); do
  as $other touch "shared/$n"
  hold $other "shared/$n" -x
done
write_read "$work/shared" sv $victim
check "another user's file at the victim's lock name, held" test "$wrote/$read" = 0/0
check "another user's file at the victim's lock name: no error" lacks "$work/u$victim/w.log" "ERROR"
let_go
# A hard link at the victim's lock name to a file of hers open to all
# (which the kernel lets anyone link): its rights and group stay.
mkdir -m 1777 linked
as $victim sh -c "echo 'keep' >'$work/linked/notes' && chmod 666 '$work/linked/notes'"
for n in $(names_of $victim); do as $other ln linked/notes "linked/$n"; done
write_read "$work/linked" ln $victim
check "a hard link at the victim's lock name" test "$wrote/$read" = 0/0
check "a hard link at the victim's lock name: its rights stay" test "$(stat -c %a linked/notes)" = 666
check "a hard link at the victim's lock name: its group stays" test "$(stat -c %g linked/notes)" = $victim

# ---------------------------------------------------------------------------
# (2) In the shared folder sh, the other user swaps sh/job between a folder
# of theirs and their link to the victim's private folder, as fast as they
# can. The victim's --listing sh/job/x.lst and --out sh/job/o never land in
# the private folder: her own x.lst there stays as it was.
mkdir -m 1777 sh
mkdir -m 700 private
echo "the victim's own" >private/x.lst
chown -R $victim:$victim private
mkdir -p v && cp "$root/examples/aml.csv" v/ && chown -R $victim:$victim v
printf "proc korvante data=aml notable plots=none;\n  time time*status(0);\nrun;\n" >v/p.vyr
chown $victim:$victim v/p.vyr
as $other mkdir -m 777 sh/job sh/theirs
as $other ln -s "$work/private" sh/link
as_bg $other /usr/bin/python3 -c '
import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
os.chdir("sh")
while True:
    libc.renameat2(-100, b"job", -100, b"link", 2)  # RENAME_EXCHANGE
'
swapper=$!
holders+=($swapper)
landed=0
for round in $(seq 1 60); do
  as $victim "$korvante" v/p.vyr --listing sh/job/x.lst --out sh/job/o >/dev/null 2>&1
  [ "$(cat private/x.lst)" = "the victim's own" ] && [ ! -e private/o ] &&
    [ -z "$(find private -name '.korvante*')" ] || landed=$((landed + 1))
done
let_go
check "a name swapped with a link to the private folder: nothing lands there ($landed of 60)" test $landed = 0
check "a name swapped with a link to the private folder: her x.lst" test "$(cat private/x.lst)" = "the victim's own"
check "a name swapped with a link to the private folder: nothing made there" test "$(ls -A private)" = x.lst
# Her own link in the middle of a path still works.
rm -rf sh/link
as $victim ln -s "$work/private" sh/mine
as $victim "$korvante" v/p.vyr --listing sh/mine/y.lst >/dev/null 2>&1
check "the victim's own link in the middle" test -s private/y.lst

# ---------------------------------------------------------------------------
# (4) The victim's folder lib, which the other user may only read. An
# earlier version left .korvante.lock there 0644, and the other user holds
# it, opened then; the victim's runs neither wait nor fail.
mkdir -m 755 lib
chown $victim:$victim lib
as $victim sh -c "umask 022 && : >'$work/lib/.korvante.lock'"
hold $other lib/.korvante.lock -x
write_read "$work/lib" os $victim
check "a descriptor of an earlier version's lock file, held" test "$wrote/$read" = 0/0
let_go
# A folder her group could write: its lock file is the group's; a member
# holds it, and the folder is then closed to the group.
# (The group needs no name: setpriv gives a process its number, and the
# machine is left as it was.)
mkdir -m 775 team && chown $victim:60003 team
write_read "$work/team" os $victim
check "a team folder" test "$wrote/$read" = 0/0
team_lock=$(ls team/.korvante-g.lock 2>/dev/null)
check "a team folder: the group's lock file" test -n "$team_lock"
setpriv --reuid=$other --regid=$other --groups=60003 flock -o -x team/.korvante-g.lock \
  sh -c "touch '$work/held'; exec sleep 60" 2>/dev/null &
holders+=($!)
for _ in $(seq 1 500); do [ -e "$work/held" ] && break; sleep 0.01; done
chmod 755 team
write_read "$work/team" os $victim
check "a group's lock file held once the group lost the folder" test "$wrote/$read" = 0/0
let_go

# ---------------------------------------------------------------------------
# (6) A pair split by a killed run. While another run looks at the killed
# run's hidden folder (holding what a look holds), the next writer still
# puts the folder back, and leaves no hidden folder.
split_by_kill split "$root/examples/aml.csv"
check "a split pair to put back" test "$(head -1 split/lib/os.csv | grep -c STRATUM)" != "$(grep -c STRATUM split/lib/os.attr)"
dead=$(find split/lib -maxdepth 1 -name '.korvante-file.korv-*' | head -1)
check "a split pair to put back: the killed run's hidden folder" test -n "$dead"
hold 0 "$dead/lock" -s
(sleep 1; kill "${holders[@]}" 2>/dev/null) &
(cd split && "$korvante" p.vyr --log put.log >/dev/null 2>&1)
check "a look at the killed run's folder meanwhile" test $? = 0
check "a look at the killed run's folder meanwhile: put back" said split/put.log "This run put that folder back"
check "a look at the killed run's folder meanwhile: no hidden folder left" \
  test -z "$(find split/lib -maxdepth 1 -name '.korvante-*.tmp')"
let_go

report

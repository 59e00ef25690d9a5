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
#       run take it for a living run's: the split pair is put back;
#   (7) a name swapped between another user's folder and a link to the
#       user's private folder, again and again, never makes a run read from
#       the private folder (through a quoted path, --data or a LIBNAME);
#   (8) whatever another user makes beside a user's data set at its
#       attribute file's name (a folder, a named pipe, a link) is passed
#       over with a warning, and the data set is read without it;
#   (9) in a team folder whose sticky bit is set, nothing another member
#       makes at a lock's name, nor holds, makes a member's run fail or
#       wait; a member's own runs there still wait for each other;
#  (10) everyone a folder lets write writes there, whoever wrote first (a
#       member in a user namespace of her own, a folder given to another
#       user and group, a co-writer by an ACL entry), and their runs keep
#       each other out.
#  (11) another user's link on the program file's path, at its last name
#       or in the middle, in a folder whose sticky bit is set and that
#       others may write (any user, or a team's group) is never followed.
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
  ${run_as:-as} "$3" timeout 10 "$korvante" "$u/w.vyr" --log "$u/w.log" >/dev/null 2>&1
  wrote=$?
  ${run_as:-as} "$3" timeout 10 "$korvante" "$u/r.vyr" --log "$u/r.log" >/dev/null 2>&1
  read=$?
}
# as_member USER COMMAND...: as, a member of the group 60003 (which needs no
# name: setpriv gives a process its number).
as_member() { setpriv --reuid="$1" --regid="$1" --groups=60003 "${@:2}"; }
# waits_for NAME LOG HOLDER COMMAND...: COMMAND (a writer's run, in the
# background, its log in LOG) waits for the lock hold_lock holds (the log
# says it "is held by" HOLDER), and ends well once that is let go.
waits_for() {
  local name=$1 log=$2 by=$3 w
  shift 3
  "$@" >/dev/null 2>"$log" &
  w=$!
  until_true 30 waiting_or_ended "$log" $w
  check "$name" said "$log" "is held by$by"
  let_holder_go
  wait $w
  check "$name" test $? = 0
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
# A folder her group may write: another member's run that holds its lock
# makes hers wait, as any writer's does; once the folder is closed to the
# group, that member can take its lock no more.
mkdir -m 775 team && chown $victim:60003 team
write_read "$work/team" os $victim
check "a team folder" test "$wrote/$read" = 0/0
check "a team folder: no lock file left" test -z "$(tickets team)"
hold_lock as $other:60003 ticket team
check "a team folder: another member holds its lock" test $? = 0
waits_for "a team folder: a member's run waits for another's" "$work/team.log" \
  " a run of $(user_text $other)" as_member $victim "$korvante" "$work/u$victim/w.vyr"
chmod 755 team
hold_lock as $other:60003 ticket team
check "a team folder closed to the group: its lock no more the member's" test $? != 0
let_holder_go
write_read "$work/team" os $victim
check "a team folder closed to the group" test "$wrote/$read" = 0/0

# ---------------------------------------------------------------------------
# (6) A pair split by a killed run. While another process holds every lock
# a reader can hold on the killed run's lock file (as where a file system
# shows it readable to all), the next writer still takes the run for a
# stopped one, puts the folder back at once, and leaves no hidden folder.
split_by_kill split "$root/examples/aml.csv"
check "a split pair to put back" test "$(head -1 split/lib/os.csv | grep -c STRATUM)" != "$(grep -c STRATUM split/lib/os.attr)"
dead=$(find split/lib -maxdepth 1 -name '.korvante-file.korv-*' | head -1)
check "a split pair to put back: the killed run's hidden folder" test -n "$dead"
hold_lock read "$dead/lock"
(cd split && timeout 20 "$korvante" p.vyr --log put.log >/dev/null 2>&1)
check "a look at the killed run's folder meanwhile" test $? = 0
let_holder_go
check "a look at the killed run's folder meanwhile: put back" said split/put.log "This run put that folder back"
check "a look at the killed run's folder meanwhile: no hidden folder left" \
  test -z "$(find split/lib -maxdepth 1 -name '.korvante-*.tmp')"
let_go

# ---------------------------------------------------------------------------
# (7) In the shared folder rd, the other user swaps rd/job, a folder of
# theirs holding an os.csv of their own, and rd/jobl, their link to the
# victim's private folder vpriv, which holds her own os.csv (its times from
# 7000 on), as fast as they can. The victim reads os from rd/job, ten steps
# a run, through a quoted path, --data and a LIBNAME: no step ever reads her
# private rows (a step that meets the link fails, naming it).
mkdir -m 1777 rd
mkdir -m 700 vpriv
awk -F, 'NR == 1 { print; next } { print $1 + 7000 "," $2 "," $3 }' "$root/examples/aml.csv" >vpriv/os.csv
chown -R $victim:$victim vpriv
as $other mkdir -m 777 rd/job
cp "$root/examples/aml.csv" rd/job/os.csv && chown $other:$other rd/job/os.csv
as $other ln -s "$work/vpriv" rd/jobl
ten_steps() { for _ in $(seq 1 10); do printf "proc korvante data=%s plots=none;\n  time time*status(0);\nrun;\n" "$1"; done; }
ten_steps "'$work/rd/job/os.csv'" >v/rq.vyr
ten_steps os >v/rd.vyr
{ echo "libname l '$work/rd/job';"; ten_steps l.os; } >v/rl.vyr
chown $victim:$victim v/rq.vyr v/rd.vyr v/rl.vyr
# private_rows LISTING: it shows a time of her private os.csv.
private_rows() { grep -qE '\b7[01][0-9]{2}\b' "$1"; }
as_bg $other /usr/bin/python3 -c '
import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
os.chdir("rd")
while True:
    libc.renameat2(-100, b"job", -100, b"jobl", 2)  # RENAME_EXCHANGE
'
holders+=($!)
# read_through WAY: one run of the victim's, reading through WAY (quoted,
# --data or LIBNAME); its listing in v/r.lst.
read_through() {
  case $1 in
  quoted) as $victim "$korvante" v/rq.vyr ;;
  --data) as $victim "$korvante" v/rd.vyr --data rd/job ;;
  LIBNAME) as $victim "$korvante" v/rl.vyr ;;
  esac >v/r.lst 2>/dev/null
}
for way in quoted --data LIBNAME; do
  read=0 theirs=0
  for round in $(seq 1 40); do
    read_through $way
    private_rows v/r.lst && read=$((read + 1))
    grep -qw 161 v/r.lst && theirs=$((theirs + 1))
  done
  check "a name swapped with a link to the private folder, read through $way: her rows never read ($read of 40 runs)" test $read = 0
  check "a name swapped with a link to the private folder, read through $way: runs that read theirs" test $theirs -gt 0
done
let_go
# Her own links, in the middle of a path and at its last name, are followed.
as $victim ln -s "$work/vpriv" rd/mine
as $victim ln -s "$work/vpriv/os.csv" rd/mine.csv
for path in rd/mine/os.csv rd/mine.csv; do
  ten_steps "'$work/$path'" | head -3 >v/own.vyr
  as $victim "$korvante" v/own.vyr >v/own.lst 2>/dev/null
  check "her own link, read at $path" test $? = 0
  check "her own link, read at $path: her rows" private_rows v/own.lst
done

# ---------------------------------------------------------------------------
# (8) Beside the victim's plain.csv in the shared folder bs, which has no
# attribute file, the other user makes plain.attr: a folder, a named pipe,
# a link to another attribute file of hers (which would make time a
# character variable), a link to /etc/passwd. Her reads (a one-level name
# and a quoted path) end well, a warning names it and its owner, and the
# data set is read as without it. Her own folder or pipe there is an error.
mkdir -m 1777 bs
cp "$root/examples/aml.csv" bs/plain.csv && chown $victim:$victim bs/plain.csv
echo "variable time type=char" >v/else.attr && chown $victim:$victim v/else.attr
printf "proc korvante data=plain plots=none;\n  time time*status(0);\nrun;\n" >v/b1.vyr
printf "proc korvante data='%s' plots=none;\n  time time*status(0);\nrun;\n" "$work/bs/plain.csv" >v/b2.vyr
chown $victim:$victim v/b1.vyr v/b2.vyr
for b in b1 b2; do as $victim "$korvante" v/$b.vyr --data bs >v/alone-$b.lst 2>/dev/null; done
for planted in "folder:mkdir:a folder" "pipe:mkfifo:a named pipe" \
  "link to her else.attr:ln -s $work/v/else.attr:a symbolic link" "link to /etc/passwd:ln -s /etc/passwd:a symbolic link"; do
  what=${planted%%:*} make=${planted#*:} kind=${planted##*:}
  make=${make%:*}
  rm -rf bs/plain.attr
  as $other $make bs/plain.attr
  for b in b1 b2; do
    as $victim timeout 20 "$korvante" v/$b.vyr --data bs >v/b.lst 2>v/b.log
    check "another user's $what at plain.attr ($b)" test $? = 0
    check "another user's $what at plain.attr ($b): named, with its owner" said v/b.log \
      "plain.attr ($kind) belongs to $(user_text $other)"
    check "another user's $what at plain.attr ($b): read as without it" same_file v/b.lst v/alone-$b.lst
  done
done
rm -rf bs/plain.attr
for own in "folder:mkdir:it is a folder" "pipe:mkfifo:it is a named pipe"; do
  make=${own#*:}
  as $victim ${make%%:*} bs/plain.attr
  as $victim timeout 20 "$korvante" v/b1.vyr --data bs >/dev/null 2>v/b.log
  check "her own ${own%%:*} at plain.attr: an error" test $? = 1
  check "her own ${own%%:*} at plain.attr: an error" said v/b.log "plain.attr could not be read: ${own##*:}"
  rm -rf bs/plain.attr
done

# ---------------------------------------------------------------------------
# (9) A team folder (root's, its group 60003 may write it) with the sticky
# bit set. The other member makes, 0644, a file at every name a lock of the
# folder has had (the group's, its owner's, any user's, a member's own), and
# a ticket of their own, and holds them all: the victim's write and read
# there end well within 10 s each. Her own ticket there, held, makes her
# writer wait until it is let go.
mkdir -m 1770 steam && chown 0:60003 steam
squats=".korvante-g.lock .korvante-g60003.lock .korvante-o.lock .korvante-o0.lock .korvante-a.lock"
squats="$squats .korvante-u-0000000000000000.lock .korvante-u$victim.lock"
rm -f "$work/held"
# (In the background the command itself, never a function's subshell: $! is
# what let_go kills.)
setpriv --reuid=$other --regid=$other --groups=60003 bash -c "cd steam && i=10 && for n in $squats; do : >\$n; eval exec \$i'<'\$n;
  flock -x \$i; i=\$((i + 1)); done; : >'$work/held'; exec sleep 60" 2>/dev/null &
holders+=($!)
until_true 10 test -e "$work/held"
hold_lock as $other:60003 ticket steam
holders+=("$holder")
check "a sticky team folder: another member's ticket" test -n "$(tickets steam)"
run_as=as_member write_read "$work/steam" os $victim
check "a sticky team folder, every lock name another member's, held" test "$wrote/$read" = 0/0
check "a sticky team folder: the other member's files stay theirs" \
  test "$(stat -c %u steam/.korvante-g.lock)" = $other
let_go
hold_lock as $victim:60003 ticket steam
waits_for "a sticky team folder: her own runs wait for each other" "$work/own.log" "" \
  as_member $victim "$korvante" "$work/u$victim/w.vyr"

# ---------------------------------------------------------------------------
# (10) Everyone a folder lets write writes there, whoever wrote first, and
# their runs keep each other out.
# A team folder (0775, of the group, no setgid bit) where a member wrote
# from a user namespace of her own, as a rootless container runs, her
# groups not mapped there; and where an earlier version left the group's
# lock file hers alone (0600): the other member writes and reads.
mkdir -m 775 gteam && chown 0:60003 gteam
setpriv --reuid=$other --regid=$other --groups=60003 sh -c "umask 077 && : >gteam/.korvante-g.lock"
if as $victim unshare -r true 2>/dev/null; then
  run_as=as_member write_read "$work/gteam" os $victim
  check "a member's runs in a user namespace of her own: first" test "$wrote/$read" = 0/0
  mkdir -p "$work/ns" && cp "$work/u$victim/w.vyr" "$work/u$victim/aml.csv" "$work/ns/" && chown -R $victim "$work/ns"
  setpriv --reuid=$victim --regid=$victim --groups=60003 unshare -r \
    timeout 10 "$korvante" "$work/ns/w.vyr" --log "$work/ns/w.log" >/dev/null 2>&1
  check "a member's runs in a user namespace of her own" test $? = 0
  run_as=as_member write_read "$work/gteam" os $other
  check "another member, after a run in a user namespace" test "$wrote/$read" = 0/0
  check "another member, after a run in a user namespace: nothing left" test -z "$(tickets gteam)"
else
  echo "skipped: a user namespace (unshare -r refused here)"
fi
# A folder given to another user and group (chown and chgrp, without -R),
# after its earlier owner wrote there: the new owner and the members write.
mkdir -m 775 given && chown $victim:$victim given
write_read "$work/given" os $victim
check "a folder before it is given away" test "$wrote/$read" = 0/0
chown $other:60003 given
write_read "$work/given" os $other
check "a folder given to another user" test "$wrote/$read" = 0/0
run_as=as_member write_read "$work/given" os2 $victim
check "a folder given to another group: a member writes" test "$wrote/$read" = 0/0
# A co-writer by an ACL entry alone (the folder 0700, the victim's): whoever
# writes first, both write, one after the other, and each run waits for
# the other's.
mkdir -m 700 acl && chown $victim:$victim acl
if setfacl -m u:$other:rwx acl 2>/dev/null; then
  for u in $other $victim $other; do
    write_read "$work/acl" os $u
    check "a co-writer by an ACL entry ($(user_text $u))" test "$wrote/$read" = 0/0
  done
  hold_lock as $other ticket acl
  waits_for "a co-writer by an ACL entry: the owner's run waits for theirs" "$work/acl.log" \
    " a run of $(user_text $other)" as $victim "$korvante" "$work/u$victim/w.vyr"
else
  echo "skipped: a co-writer by an ACL entry (no setfacl, or no ACLs here)"
fi

# ---------------------------------------------------------------------------
# (11) The program file is read as any other file: in root's shared folder
# (1777) and in a team folder of root's that the group may write (1770),
# the other member's link to the victim's program (p.vyr) and to her folder
# (job) is refused, the run naming the link and its owner. The kernel's
# protected_symlinks guards only a path's last name, and never a folder
# that only a group may write. Her own link there is followed.
mkdir -m 1777 pshared
mkdir -m 1770 pteam && chown 0:60003 pteam
for f in pshared pteam; do
  as_member $other ln -s "$work/v/p.vyr" $f/p.vyr
  as_member $other ln -s "$work/v" $f/job
  for path in $f/p.vyr $f/job/p.vyr; do
    as_member $victim "$korvante" $path >/dev/null 2>v/prog.log
    check "another user's link on the program's path $path" test $? = 2
    check "another user's link on the program's path $path" said v/prog.log \
      "is a symbolic link of $(user_text $other) in the folder"
  done
done
as_member $victim ln -s "$work/v" pteam/mine
as_member $victim "$korvante" pteam/mine/p.vyr >/dev/null 2>&1
check "her own link on the program's path" test $? = 0

report

#!/usr/bin/env bash
# In a user namespace every user the namespace does not map, root of the
# host among them, shows as the overflow uid (65534), whatever else the map
# gives that number: such an owner is nobody to a run, not the run's user,
# not a folder's owner, not root, and not another such owner. The runs here
# go in three namespaces whose maps root writes, as newuidmap does: the
# user's own uid alone, as root (unshare -r); a rootless container's, the
# user as root and 1..65536 mapped to subordinate ids (65534 among them);
# and a sandbox's that runs the user as 65534. In each, in a folder whose
# sticky bit is set (root's, shown as 65534 too), a run takes no more than
# on the host:
#   (1) another user's link at the name of --log, --listing, --html or
#       --json, leading to the victim's private file, is never followed:
#       the private file keeps its bytes;
#   (2) another user's attribute file beside the victim's data set is not
#       taken (a warning names it), so it changes nothing of the analysis,
#       and their data set of the name the victim's run writes there is
#       not replaced (a run that is root in its namespace included);
# while (3) a data set of root's or a colleague's, with its attribute file,
# in its owner's folder that only its owner may write, is read with its
# attributes, as on the host. Where the run's own uid shows as 65534, it
# cannot tell its own user's files in such a folder from another's, so
#   (4) another user's held lock ticket there is waited for only within
#       the step's limit, and
#   (5) another user's hidden folder with a forged placing record there,
#       naming the victim's file, removes nothing;
# while (6) in a folder of hers that only she may write, her own killed
# placing is put back by her next run, as on the host. And (7) a
# colleague's attribute file in a folder its owner tightened since is not
# taken, on the host nor where she shows as herself.
# Usage: namespaces.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: namespaces.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/checks.sh"
work=$(mktemp -d)
[ -n "${KEEP:-}" ] && echo "work: $work"
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work" || exit 1
two_users_or_skip
if ! as 60001 unshare -U true 2>/dev/null; then
  echo "skipped: a user namespace (unshare -U refused here)"
  exit 77
fi
victim=60001
other=60002
# The script's own output, for what in_map says while a run's is redirected.
exec 3>&1

# in_map MAP COMMAND...: the victim's command in a user namespace of her
# own, whose uid and gid maps root writes as MAP (lines "INSIDE OUTSIDE
# COUNT", U standing for the victim's id) once the namespace is made.
mkfifo -m 666 "$work/go"
in_map() {
  local map=${1//U/$victim} pid i
  shift
  as_bg $victim unshare -U sh -c 'read _ <"$0" && exec "$@"' "$work/go" "$@"
  pid=$!
  for ((i = 0; i < 500; i++)); do
    [ "$(readlink /proc/$pid/ns/user 2>/dev/null)" != "$(readlink /proc/self/ns/user)" ] && break
    sleep 0.02
  done
  # Each map in one write, as the kernel takes it.
  python3 -c 'import sys
for f in sys.argv[2:]:
    with open(f, "w") as m:
        m.write(sys.argv[1].replace("\\n", "\n") + "\n")' "$map" /proc/$pid/uid_map /proc/$pid/gid_map ||
    fail "the map $map" "it could not be written for process $pid" >&3
  echo go >"$work/go"
  wait $pid
}
maps=("0 U 1" "0 U 1\n1 100000 65536" "65534 U 1")
names=("unshare -r" "rootless container" "user as 65534")

mkdir -m 1777 S
mkdir -m 700 priv
echo "private" >priv/secret
mkdir v
data() {
  echo "g,time,status"
  awk 'BEGIN { srand(3); for (i = 0; i < 60; i++) print (i % 3 == 2 ? 10 : i % 3 + 1) "," int(rand() * 90) + i % 3 * 20 + 1 "," (i % 4 > 0) }'
}
data >S/d.csv
program() {
  printf "proc korvante data='%s' notable plots=none;\n  time time*status(0);\n  strata g / trend;\nrun;\n" "$1"
}
program "$work/S/d.csv" >v/p.vyr
chown -R $victim:$victim priv v S/d.csv
# (3) root's and a colleague's data sets in folders only they may write,
# their attribute files making g a character column (whose values then
# sort 1, 10, 2, changing the trend test).
for who in root colleague; do
  mkdir -m 755 "$who"
  data >"$who/d.csv"
  printf 'variable g type=char\n' >"$who/d.attr"
  program "$work/$who/d.csv" >"v/$who.vyr"
done
chown -R $other:$other colleague
chown $victim:$victim v/*.vyr

cat >v/w.vyr <<EOF
libname s '$work/S';
proc korvante data='$work/S/d.csv' outsurv=s.res notable plots=none;
  time time*status(0);
run;
EOF
chown $victim:$victim v/w.vyr

kept() { test "$(cat priv/secret)" = private; }

as $victim "$korvante" v/p.vyr >v/plain.lst 2>/dev/null
check "the data set without attributes" test $? = 0
as $victim "$korvante" v/root.vyr >v/typed.lst 2>/dev/null
check "root's data set with its attributes, on the host" test $? = 0
check "root's attributes change the analysis" test -n "$(cmp v/plain.lst v/typed.lst)"

for m in 0 1 2; do
  map=${maps[m]}
  where=${names[m]}
  # (1) Their link at a document's name, to the private file.
  for opt in --log --listing --html --json; do
    name="another user's link at the name of $opt ($where)"
    rm -f S/x.out
    echo "private" >priv/secret
    as $other ln -s "$work/priv/secret" S/x.out
    in_map "$map" "$korvante" v/p.vyr $opt S/x.out >/dev/null 2>v/run.err
    s=$?
    check "$name: the run refuses it" test $s != 0
    check "$name: the private file keeps its bytes" kept
    check "$name: said" said v/run.err "symbolic link of"
  done
  rm -f S/x.out

  # (2) Their attribute file beside the victim's data set: passed over.
  printf 'variable g type=char\n' >S/d.attr
  chown $other:$other S/d.attr
  name="another user's attribute file ($where)"
  in_map "$map" "$korvante" v/p.vyr >v/ns.lst 2>v/ns.log
  check "$name: passed over with a warning" said v/ns.log "is not taken as the data set's attributes"
  check "$name: the analysis as without it" same_file v/plain.lst v/ns.lst
  rm -f S/d.attr

  # (2b) Their data set in S, of the name the victim's run writes: a run
  # there, root in its namespace or not, never replaces it.
  as $other sh -c 'echo theirs >S/res.csv && echo theirs >S/res.attr'
  name="another user's data set of the name written ($where)"
  in_map "$map" "$korvante" v/w.vyr >/dev/null 2>v/ns.log
  check "$name: the run refuses it" test $? != 0
  check "$name: their files keep their bytes" test "$(cat S/res.csv S/res.attr)" = "theirs
theirs"
  rm -f S/res.csv S/res.attr

  # (3) Root's and a colleague's data sets in their own folders: read with
  # their attribute files, as on the host.
  for who in root colleague; do
    name="$who's data set in a folder only $who may write ($where)"
    in_map "$map" "$korvante" "v/$who.vyr" >v/ns.lst 2>v/ns.log
    check "$name: read" test $? = 0
    check "$name: with its attributes" same_file v/typed.lst v/ns.lst
    check "$name: no warning" lacks v/ns.log "WARNING"
  done
done

# (4) and (5), where the victim runs as 65534: another user's held ticket
# in S is waited for within the step's limit, and their forged placing
# record there removes nothing.
map=${maps[2]}
if hold_lock as $other ticket S; then
  name="another user's held ticket (user as 65534)"
  in_map "$map" timeout 60 env KORV_LOCK_WAIT_MS=2000 "$korvante" v/w.vyr >/dev/null 2>v/held.log
  s=$?
  check "$name: the run ends within the step's limit" test $s != 124
  check "$name: said" said v/held.log "is not known"
  let_holder_go
else
  fail "another user's held ticket" "it could not be held"
fi
echo precious >S/precious.csv
chown $victim:$victim S/precious.csv
hidden=S/.korvante-step.korv-0123456789abcdef.tmp
mkdir -m 755 "$hidden"
install -m 666 /dev/null "$hidden/lock"
python3 - "$work/S/precious.csv" "$hidden/placing" <<'EOF'
import os, sys
st = os.stat(sys.argv[1])
with open(sys.argv[2], "w") as f:
    f.write("korvante placing record 4\nrun 1 1 forged\nstep 0123456789abcdef\n")
    f.write("file %d %d %d %d %d - 0 1 - precious.csv\n" % (
        st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns // 10**9, st.st_mtime_ns % 10**9))
EOF
chown -R $other:$other "$hidden"
name="another user's forged placing record (user as 65534)"
in_map "$map" "$korvante" v/w.vyr >/dev/null 2>v/forged.log
check "$name: the write" test $? = 0
check "$name: the victim's file kept" test "$(cat S/precious.csv 2>/dev/null)" = precious

# (6) Where the victim runs as 65534, in a folder of hers that only she may
# write (which vouches for what is in it), a placing killed between a data
# set's two files is put back by her next run there, as on the host.
mkdir -m 755 own && cp S/d.csv own/ && chown -R $victim:$victim own
for p in p q; do
  { echo "libname l '$work/own';"
    echo "proc korvante data='$work/own/d.csv' outsurv=l.os notable plots=none;"
    echo "  time time*status(0);"
    [ $p = q ] && echo "  strata g;"
    echo "run;"; } >v/$p.vyr
done
sed 's/outsurv=l.os/outsurv=l.other/' v/p.vyr >v/next.vyr
chown $victim:$victim v/*.vyr
in_map "$map" "$korvante" v/p.vyr >/dev/null 2>&1
cp own/os.csv own/os.attr v/
in_map "$map" strace -f -qq -o /dev/null -e trace=renameat2 -e inject=renameat2:signal=KILL:when=2 \
  "$korvante" v/q.vyr >/dev/null 2>&1
name="a placing killed in her own folder (user as 65534)"
check "$name: killed between the two files" test -n "$(cmp v/os.attr own/os.attr)"
in_map "$map" "$korvante" v/next.vyr >/dev/null 2>v/next.log
check "$name: the next run" test $? = 0
check "$name: the pair put back" same_file v/os.attr own/os.attr
check "$name: the pair put back" same_file v/os.csv own/os.csv
check "$name: said" said v/next.log "was stopped while it put a step's files in place"
check "$name: no hidden folder left" test -z "$(find own -name '.korvante-*.tmp')"

# (7) A colleague wrote an attribute file beside the victim's data set while
# their team folder was 2775; she has since made it 0755. Its rights say
# nothing of who wrote its files before: the colleague's file is passed
# over, on the host and where the namespace shows her as herself (root).
mkdir -m 2775 team && cp S/d.csv team/ && printf 'variable g type=char\n' >team/d.attr
chown -R $victim:60003 team && chown $other team/d.attr && chmod 755 team
program "$work/team/d.csv" >v/team.vyr
chown $victim:$victim v/team.vyr
for m in -1 0 1; do
  if [ $m = -1 ]; then
    where="on the host"
    as $victim "$korvante" v/team.vyr >v/team.lst 2>v/team.log
  else
    where=${names[m]}
    in_map "${maps[m]}" "$korvante" v/team.vyr >v/team.lst 2>v/team.log
  fi
  name="a colleague's attribute file in a folder tightened since ($where)"
  check "$name: passed over with a warning" said v/team.log "is not taken as the data set's attributes"
  check "$name: the analysis as without it" same_file v/plain.lst v/team.lst
done
# On the host an owner shown as 65534 (a share that squashes owners) is not
# said to be this user namespace's doing.
chown 65534 team/d.attr
as $victim "$korvante" v/team.vyr >/dev/null 2>v/team.log
check "an attribute file of 65534 on the host: said" said v/team.log "is not taken as the data set's"
check "an attribute file of 65534 on the host: no namespace of its own" lacks v/team.log "this user namespace"

report

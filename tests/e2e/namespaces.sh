#!/usr/bin/env bash
# In a user namespace (unshare -r, as a rootless container runs), every
# user the namespace does not map, root of the host among them, shows as
# the overflow uid. Such an owner is nobody to a run: it is not the run's
# user, not a folder's owner, not root, and not another unmapped owner. So
# in a folder whose sticky bit is set (root's, shown unmapped too), a run
# in the namespace takes no more than on the host:
#   (1) another user's link at the name of --log, --listing, --html or
#       --json, leading to the victim's private file, is never followed:
#       the private file keeps its bytes;
#   (2) another user's attribute file beside the victim's data set is not
#       taken (a warning names it), so it changes nothing of the analysis.
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
if ! as 60001 unshare -r true 2>/dev/null; then
  echo "skipped: a user namespace (unshare -r refused here)"
  exit 77
fi
victim=60001
other=60002
# in_ns COMMAND...: the victim's command in a user namespace of her own.
in_ns() { as $victim unshare -r "$@"; }

mkdir -m 1777 S
mkdir -m 700 priv
echo "private" >priv/secret
mkdir v
{
  echo "g,time,status"
  awk 'BEGIN { srand(3); for (i = 0; i < 60; i++) print (i % 3 == 2 ? 10 : i % 3 + 1) "," int(rand() * 90) + i % 3 * 20 + 1 "," (i % 4 > 0) }'
} >S/d.csv
cat >v/p.vyr <<EOF
proc korvante data='$work/S/d.csv' notable plots=none;
  time time*status(0);
  strata g / trend;
run;
EOF
chown -R $victim:$victim priv v S/d.csv

kept() { test "$(cat priv/secret)" = private; }

# (1) Their link at a document's name, to the private file.
for opt in --log --listing --html --json; do
  for where in host namespace; do
    name="another user's link at the name of $opt ($where)"
    rm -f S/x.out
    echo "private" >priv/secret
    setpriv --reuid=$other --regid=$other --clear-groups ln -s "$work/priv/secret" S/x.out
    run=(as $victim)
    [ $where = namespace ] && run=(in_ns)
    "${run[@]}" "$korvante" v/p.vyr $opt S/x.out >/dev/null 2>v/run.err
    s=$?
    check "$name: the run refuses it" test $s != 0
    check "$name: the private file keeps its bytes" kept
    check "$name: said" said v/run.err "symbolic link of"
  done
done
rm -f S/x.out

# (2) Their attribute file beside the victim's data set, making a numeric
# column a character one (whose values then sort 1, 10, 2): passed over,
# so the trend test is the same.
as $victim "$korvante" v/p.vyr >v/plain.lst 2>/dev/null
check "the data set without attributes" test $? = 0
printf 'variable g type=char\n' >S/d.attr
chown $other:$other S/d.attr
for where in host namespace; do
  name="another user's attribute file ($where)"
  run=(as $victim)
  [ $where = namespace ] && run=(in_ns)
  "${run[@]}" "$korvante" v/p.vyr >v/$where.lst 2>v/$where.log
  check "$name: passed over with a warning" said v/$where.log "is not taken as the data set's attributes"
  check "$name: the analysis as without it" same_file v/plain.lst v/$where.lst
done

report

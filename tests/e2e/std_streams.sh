#!/usr/bin/env bash
# Runs korvante with its standard streams closed (`<&- >&- 2>&-`, as some
# schedulers and daemons start programs), in every combination, with and
# without --listing and --log, and checks that:
#   - every output data set and graph is byte for byte an ordinary run's
#     (no file of the run takes descriptor 0, 1 or 2), and a listing file
#     is the ordinary listing;
#   - the log holds no listing page;
#   - the status is 1 where the listing or the log could not be delivered
#     (the closed stream said once in the log), 0 where everything asked for
#     was;
#   - a --listing or --log path naming a closed stream counts as that
#     stream.
# Usage: std_streams.sh PATH/TO/korvante
set -uo pipefail
korvante=$(realpath "${1:?usage: std_streams.sh PATH/TO/korvante}")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$here/checks.sh"

cd "$work" || exit 1
mkdir lib
cp "$root/examples/aml.csv" aml.csv
cat >p.vyr <<'EOF'
libname k 'lib';
proc korvante data=aml outsurv=k.os;
  time time*status(0);
  strata x;
run;
proc korvante data=aml outsurv=ws plots=(s);
  time time*status(0);
run;
EOF
# The outputs of the run: the data sets of the LIBNAME folder and of WORK,
# and the graph files.
outputs() { find lib o -type f | sort; }
"$korvante" p.vyr --out o --listing ref.lst --log ref.log
check "an ordinary run" test $? = 0
check "an ordinary run" test -s o/ws.csv
mkdir ref
for f in $(outputs); do
  mkdir -p "ref/$(dirname "$f")"
  cp "$f" "ref/$f"
done

# run_closed FDS ARGS...: korvante with the descriptors FDS closed; what it
# writes to the others goes to the files out and err.
run_closed() {
  local fds=$1
  shift
  (
    exec >out 2>err
    for fd in $fds; do
      eval "exec $fd>&-"
    done
    exec "$korvante" p.vyr --out o "$@"
  )
}
closed_said="standard output was closed when the run started"

for fds in "0" "1" "2" "0 1" "0 2" "1 2" "0 1 2"; do
  for docs in "" "--log" "--listing" "--log --listing"; do
    name="closed $fds${docs:+, $docs}"
    args=()
    case $docs in *--log*) args+=(--log run.log) ;; esac
    case $docs in *--listing*) args+=(--listing run.lst) ;; esac
    rm -f run.log run.lst
    run_closed "$fds" "${args[@]}"
    s=$?
    want=0
    case " $fds:$docs" in *" 1"*:*) [[ $docs == *--listing* ]] || want=1 ;; esac
    case " $fds:$docs" in *" 2"*:*) [[ $docs == *--log* ]] || want=1 ;; esac
    check "$name: status" test "$s" = $want
    check "$name: the outputs" test "$(outputs)" = "$(cd ref && outputs)"
    for f in $(outputs); do
      check "$name: $f" same_file "$f" "ref/$f"
    done
    [[ $docs == *--listing* ]] && check "$name: the listing" same_file run.lst ref.lst
    if [[ $docs == *--log* ]]; then
      check "$name: the log" lacks run.log "The KORVANTE Procedure"
      check "$name: the log" said run.log "NOTE: The data set WORK.WS has"
      if [ $want = 1 ]; then
        check "$name: the log" test "$(grep -c "$closed_said" run.log)" = 1
        check "$name: the log" said run.log "ERROR: The run ended with errors: the listing could not be written."
      fi
    fi
  done
done

# A --listing or --log path that names a closed stream, spelled as its
# device, its descriptor or a link of the user's to it: not delivered, and
# the data sets as ever.
ln -s /dev/stdout mine
for spec in "1|--listing|/dev/stdout" "1|--listing|/proc/self/fd/1" "1|--listing|mine" \
  "2|--log|/dev/fd/2" "1|--log|/dev/stdout"; do
  IFS='|' read -r fd option path <<<"$spec"
  name="closed $fd, $option $path"
  rm -f run.log
  if [ "$option" = --listing ]; then
    run_closed "$fd" --listing "$path" --log run.log
    s=$?
    check "$name" said run.log "ERROR: The listing could not be written to $path: $closed_said."
  else
    run_closed "$fd" --log "$path" --listing run.lst
    s=$?
    [ "$fd" = 1 ] && check "$name" said err "ERROR: The log could not be written to $path: $closed_said."
  fi
  check "$name: status" test "$s" = 1
  [ "$option" = --listing ] && check "$name" lacks run.log "It follows on standard output"
  for f in $(outputs); do
    check "$name: $f" same_file "$f" "ref/$f"
  done
done

# A listing that is whole but cannot be put in place at the end (its name
# turns out to be a data set the run reads) is not copied to a closed
# standard output: nothing at all is written to descriptor 1, and the log
# says the listing was not delivered.
name="closed 1, a listing not put in place"
ln -s lib/aml.csv view.csv
cp aml.csv lib/aml.csv
cat >late.vyr <<'EOF'
proc korvante data=aml;
  time time*status(0);
run;
libname mine 'lib';
proc korvante data=mine.aml;
  time time*status(0);
run;
EOF
rm -f run.log
if command -v strace >/dev/null && strace -f -qq -o /dev/null true 2>/dev/null; then
  (
    exec 2>err >&-
    exec strace -f -qq -o "$work/trace" -e trace=write,writev,pwrite64,pwritev \
      -e signal=none "$korvante" late.vyr --listing view.csv --log run.log
  )
  s=$?
  check "$name: nothing written to descriptor 1" test -z "$(grep -E '^[0-9]+ +[a-z_0-9]+\(1,' "$work/trace")"
else
  run_closed 1 --listing view.csv --log run.log
  s=$?
fi
check "$name: status" test "$s" = 1
check "$name" said run.log "ERROR: The listing could not be written to view.csv: it is a data set this run reads as input"
check "$name" lacks run.log "It follows on standard output"
check "$name" same_file lib/aml.csv aml.csv

report

# The checks the end-to-end scripts share, sourced by them: each check is
# counted, and one that fails is named with the command that failed; report
# ends the script with the counts, failing if any check failed.
failed=0
checks=0

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
lacks() { ! grep -qF -- "$2" "$1" 2>/dev/null; }
# stopped_in TRACE: waits until the run traced (strace -o TRACE) is stopped
# by a SIGSTOP; its process id in $stopped ("" when it never stopped).
stopped_in() {
  stopped=
  for _ in $(seq 1 500); do
    stopped=$(awk '/stopped by SIGSTOP/ { print $1; exit }' "$1" 2>/dev/null)
    [ -n "$stopped" ] && break
    sleep 0.02
  done
}
# as UID COMMAND...: runs COMMAND as that user and group, with no other
# groups (the scripts that act as two users run as root).
as() {
  local u=$1
  shift
  setpriv --reuid="$u" --regid="$u" --clear-groups "$@"
}
report() {
  echo "$((checks - failed)) passed, $failed failed"
  [ $failed = 0 ]
}

#!/usr/bin/env bash
# Runs every tests/e2e/*.vyr program through korvante and checks it against
# NAME.expect, whose lines are:
#   status N        the exit status must be N
#   log TEXT        TEXT must appear in a line of the log
#   nolog TEXT      TEXT must not appear in the log
#   logonce TEXT    TEXT must appear in exactly one line of the log
#   listing TEXT    TEXT must appear in a line of the listing
#   nolisting TEXT  TEXT must not appear in the listing
#   file NAME       NAME must exist in the output folder afterwards
#   args ARG...     extra command-line arguments; @OUT@ stands for the
#                   program's output folder, @HERE@ for tests/e2e
# Programs read data from examples/ (one-level names) and write to a fresh
# output folder. Usage: run_e2e.sh PATH/TO/korvante
set -uo pipefail
korvante=${1:?usage: run_e2e.sh PATH/TO/korvante}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
ran=0

fail() {
  echo "FAIL $1: $2"
  failed=$((failed + 1))
}

for prog in "$here"/*.vyr; do
  name=$(basename "$prog" .vyr)
  expect="$here/$name.expect"
  if [ ! -f "$expect" ]; then
    fail "$name" "no $name.expect"
    continue
  fi
  out="$work/$name"
  mkdir -p "$out"
  extra=()
  while IFS= read -r line; do
    case "$line" in
      "args "*) read -r -a more <<<"${line#args }"; more=("${more[@]//@OUT@/$out}"); extra+=("${more[@]//@HERE@/$here}") ;;
    esac
  done <"$expect"
  # Every run writes its HTML page, whose graphs are checked below.
  page=()
  case " ${extra[*]} " in *" --html "*) ;; *) page=(--html "$out/page.html") ;; esac
  "$korvante" "$prog" --data "$root/examples" --out "$out" --listing "$out/listing.txt" \
    --log "$out/log.txt" "${page[@]}" "${extra[@]}" >"$out/stdout.txt" 2>"$out/stderr.txt"
  status=$?
  ran=$((ran + 1))
  ok=1
  while IFS= read -r line; do
    [ -z "$line" ] && continue
    case "$line" in
      "#"*) ;;
      "status "*)
        want=${line#status }
        [ "$status" = "$want" ] || { fail "$name" "exit status $status, expected $want"; ok=0; } ;;
      "log "*)
        grep -qF -- "${line#log }" "$out/log.txt" || { fail "$name" "log lacks: ${line#log }"; ok=0; } ;;
      "nolog "*)
        ! grep -qF -- "${line#nolog }" "$out/log.txt" || { fail "$name" "log has: ${line#nolog }"; ok=0; } ;;
      "logonce "*)
        n=$(grep -cF -- "${line#logonce }" "$out/log.txt")
        [ "$n" = 1 ] || { fail "$name" "log has $n lines, not one, with: ${line#logonce }"; ok=0; } ;;
      "listing "*)
        grep -qF -- "${line#listing }" "$out/listing.txt" || { fail "$name" "listing lacks: ${line#listing }"; ok=0; } ;;
      "nolisting "*)
        ! grep -qF -- "${line#nolisting }" "$out/listing.txt" || { fail "$name" "listing has: ${line#nolisting }"; ok=0; } ;;
      "file "*)
        [ -e "$out/${line#file }" ] || { fail "$name" "no output file ${line#file }"; ok=0; } ;;
      "args "*) ;;
      *) fail "$name" "unknown check: $line"; ok=0 ;;
    esac
  done <"$expect"
  if [ -f "$out/page.html" ] && ! python3 "$here/check_page.py" "$out/page.html" >"$out/page-check.txt"; then
    fail "$name" "the page's graphs: $(head -3 "$out/page-check.txt" | tr '\n' ' ')"
    ok=0
  fi
  if [ $ok = 1 ]; then
    echo "ok   $name"
  else
    echo "---- log of $name:"
    sed 's/^/    /' "$out/log.txt" "$out/stderr.txt" 2>/dev/null | head -60
  fi
done

# The command line itself.
"$korvante" --help >"$work/help.txt" 2>&1 && grep -q -- "--registry FILE" "$work/help.txt" \
  || fail "command" "--help"
"$korvante" --version | grep -q "^korvante " || fail "command" "--version"
"$korvante" >/dev/null 2>&1; [ $? = 2 ] || fail "command" "no program should give exit status 2"
"$korvante" "$here/no-such-program.vyr" >/dev/null 2>"$work/missing.txt"; s=$?
[ $s = 2 ] || fail "command" "a missing program file should give exit status 2, got $s"
grep -q "could not be read: No such file or directory" "$work/missing.txt" \
  || fail "command" "a missing program file is not reported with the reason"
"$korvante" "$here" >/dev/null 2>"$work/folder.txt"; s=$?
[ $s = 2 ] || fail "command" "a folder as the program file should give exit status 2, got $s"
grep -q "could not be read: it is a folder" "$work/folder.txt" \
  || fail "command" "a folder as the program file is not reported"
"$korvante" "$here/globals.vyr" --graphics maybe >/dev/null 2>&1; [ $? = 2 ] || fail "command" "--graphics maybe"
"$korvante" "$here/globals.vyr" --bogus >/dev/null 2>&1; [ $? = 2 ] || fail "command" "--bogus"
"$korvante" "$here/globals.vyr" --images gif >/dev/null 2>&1; [ $? = 2 ] || fail "command" "--images gif"

echo "$ran program(s) run, $failed failure(s)"
[ $failed = 0 ]

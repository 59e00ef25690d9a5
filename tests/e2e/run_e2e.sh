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
#   err TEXT        TEXT must appear in a line of standard error
#   args ARG...     extra command-line arguments; @OUT@ stands for the
#                   program's output folder, @HERE@ for tests/e2e
# Programs read data from examples/ (one-level names) and write to a fresh
# output folder. Every SVG file a run writes must parse (xmllint, where it is
# installed). The listing and the JSON document of each program are then
# compared whole with its golden files in golden/ (see README.md and
# golden.py); KORV_UPDATE_GOLDEN=1 rewrites those instead.
# Usage: run_e2e.sh PATH/TO/korvante [NAME...]
#   NAME...   run only these programs (tests/e2e/NAME.vyr); "command" runs
#             only the checks of the command line itself. Without names,
#             every program and the command-line checks run.
set -uo pipefail
korvante=${1:?usage: run_e2e.sh PATH/TO/korvante}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
ran=0
programs=()
command_checks=1
if [ $# -gt 0 ]; then
  command_checks=0
  for n in "$@"; do
    if [ "$n" = command ]; then command_checks=1; else programs+=("$here/$n.vyr"); fi
  done
else
  programs=("$here"/*.vyr)
fi

fail() {
  echo "FAIL $1: $2"
  failed=$((failed + 1))
}

for prog in ${programs[@]+"${programs[@]}"}; do
  [ -f "$prog" ] || { fail "$(basename "$prog" .vyr)" "no such program"; continue; }
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
  # Every run writes its HTML page, whose graphs are checked below, and its
  # JSON document, compared with the golden one; the last --listing and
  # --json of the arguments are the files compared.
  page=()
  case " ${extra[*]} " in *" --html "*) ;; *) page=(--html "$out/page.html") ;; esac
  listing="$out/listing.txt"
  json="$out/out.json"
  prev=
  for a in ${extra[@]+"${extra[@]}"}; do
    case "$prev" in --listing) listing=$a ;; --json) json=$a ;; esac
    prev=$a
  done
  "$korvante" "$prog" --data "$root/examples" --out "$out" --listing "$out/listing.txt" \
    --log "$out/log.txt" --json "$out/out.json" ${page[@]+"${page[@]}"} ${extra[@]+"${extra[@]}"} \
    >"$out/stdout.txt" 2>"$out/stderr.txt"
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
      "err "*)
        grep -qF -- "${line#err }" "$out/stderr.txt" || { fail "$name" "standard error lacks: ${line#err }"; ok=0; } ;;
      "args "*) ;;
      *) fail "$name" "unknown check: $line"; ok=0 ;;
    esac
  done <"$expect"
  if [ -f "$out/page.html" ] && ! python3 "$here/check_page.py" "$out/page.html" >"$out/page-check.txt"; then
    fail "$name" "the page's graphs: $(head -3 "$out/page-check.txt" | tr '\n' ' ')"
    ok=0
  fi
  # The listing, the log, the page and the JSON document are valid UTF-8.
  for text in "$listing" "$out/log.txt" "$out/page.html" "$json"; do
    [ -f "$text" ] || continue
    python3 -c 'import sys; open(sys.argv[1], "rb").read().decode("utf-8")' "$text" 2>/dev/null \
      || { fail "$name" "not valid UTF-8: ${text#"$out"/}"; ok=0; }
  done
  # Every SVG file the run wrote (graphs, catalogue entries) parses.
  if command -v xmllint >/dev/null; then
    while IFS= read -r -d '' svg; do
      xmllint --noout "$svg" 2>"$out/xmllint.txt" \
        || { fail "$name" "xmllint rejects ${svg#"$out"/}: $(head -2 "$out/xmllint.txt" | tr '\n' ' ')"; ok=0; }
    done < <(find "$out" -name '*.svg' -print0)
  fi
  if ! python3 "$here/golden.py" "$name" "$out" "$listing" "$json" >"$out/golden.txt"; then
    fail "$name" "$(cat "$out/golden.txt")"
    ok=0
  fi
  # KORV_E2E_KEEP=DIR keeps each program's output folder there, to look at.
  [ -n "${KORV_E2E_KEEP:-}" ] && mkdir -p "$KORV_E2E_KEEP" && cp -r "$out" "$KORV_E2E_KEEP/"
  if [ $ok = 1 ]; then
    echo "ok   $name"
  else
    echo "---- log of $name:"
    sed 's/^/    /' "$out/log.txt" "$out/stderr.txt" 2>/dev/null | head -60
  fi
done

# The command line itself.
if [ $command_checks = 1 ]; then
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
# Images are written beside the graph files, in the output folder: without
# one they would go nowhere.
"$korvante" "$here/globals.vyr" --images png >/dev/null 2>"$work/images.txt"; s=$?
[ $s = 2 ] || fail "command" "--images without --out should give exit status 2, got $s"
grep -q -- "--images needs --out" "$work/images.txt" || fail "command" "--images without --out is not said"
# The --out folder is made before the listing, log, HTML and JSON files are
# opened: one named inside it is accepted however its path is spelled (with
# "..", "./", absolutely, through a link to the folder not made yet).
mkdir -p "$work/spell/sub" && ln -s ../made "$work/spell/sub/link"
printf 'proc korvante data=aml; time time*status(0); run;\n' >"$work/spell/sub/p.vyr"
(cd "$work/spell/sub" && "$korvante" p.vyr --data "$root/examples" --out ../made \
  --json ../made/x.json --log link/x.log --listing ./../made/../made/x.lst \
  --html "$work/spell/made/x.html") 2>"$work/spell.txt"; s=$?
[ $s = 0 ] || fail "command" "files inside the --out folder should be accepted, got $s: $(cat "$work/spell.txt")"
for f in x.json x.log x.lst x.html; do
  [ -s "$work/spell/made/$f" ] || fail "command" "$f was not written inside the --out folder"
done
# A folder the run does not make is still refused.
(cd "$work/spell/sub" && "$korvante" p.vyr --data "$root/examples" --out ../made2 \
  --json ../other/x.json) >/dev/null 2>"$work/spell.txt"; s=$?
[ $s = 2 ] && grep -q "other does not exist" "$work/spell.txt" \
  || fail "command" "a JSON file in a folder that is not made should be refused, got $s"

fi

echo "$ran program(s) run, $failed failure(s)"
[ $failed = 0 ]

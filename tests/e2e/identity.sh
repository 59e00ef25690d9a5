#!/usr/bin/env bash
# Results do not depend on the threads: every tests/e2e/*.vyr program, and
# programs over a generated file of 200,000 rows (the full estimates table
# with OUTSURV=, NOTABLE with FREQ, WEIGHT and every test, GROUP= levels
# within strata, 250 strata, the life table, bands, smoothed hazards, IDs
# and TEST covariates), run
# with the host's threads and under NOTHREADS, give the same listing, HTML,
# JSON, output data sets and graph images, byte for byte.
# Usage: identity.sh PATH/TO/korvante PATH/TO/bench_gen
set -uo pipefail
korvante=${1:?usage: identity.sh PATH/TO/korvante PATH/TO/bench_gen}
gen=${2:?usage: identity.sh PATH/TO/korvante PATH/TO/bench_gen}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
ran=0

# Runs program $1 over data folder $2 into $3 with the extra arguments.
run() {
  local prog=$1 data=$2 out=$3
  shift 3
  mkdir -p "$out"
  "$korvante" "$prog" --data "$data" --out "$out" --listing "$out/listing.txt" \
    --log "$out/log.txt" --html "$out/page.html" --json "$out/out.json" "$@" \
    >/dev/null 2>&1
  echo $? >"$out/status"
}

# Compares the two runs of $1: every file but the log (the PNG and PDF
# images too: they carry no time of making).
compare() {
  local name=$1 a=$work/$1/threads b=$work/$1/one
  ran=$((ran + 1))
  local files
  files=$(cd "$a" && find . -type f ! -name log.txt | sort)
  if [ "$files" != "$(cd "$b" && find . -type f ! -name log.txt | sort)" ]; then
    echo "FAIL $name: different files written"
    failed=$((failed + 1))
    return
  fi
  for f in $files; do
    if ! cmp -s "$a/$f" "$b/$f"; then
      echo "FAIL $name: $f differs with and without threads"
      failed=$((failed + 1))
      return
    fi
  done
  echo "ok   $name"
}

for prog in "$here"/*.vyr; do
  name=$(basename "$prog" .vyr)
  extra=()
  if [ -f "$here/$name.expect" ]; then
    while IFS= read -r line; do
      case "$line" in
        "args "*) read -r -a more <<<"${line#args }"; extra+=("${more[@]//@HERE@/$here}") ;;
      esac
    done <"$here/$name.expect"
  fi
  # Arguments that name the output folder are left out, with the option
  # they follow: the two runs write to folders of their own.
  keep=()
  for a in "${extra[@]}"; do
    case "$a" in
      *@OUT@*) [ ${#keep[@]} -gt 0 ] && case "${keep[-1]}" in --*) unset 'keep[-1]' ;; esac ;;
      *) keep+=("$a") ;;
    esac
  done
  run "$prog" "$root/examples" "$work/$name/threads" "${keep[@]}"
  run "$prog" "$root/examples" "$work/$name/one" "${keep[@]}" --option NOTHREADS
  compare "$name"
done

# The generated file.
mkdir -p "$work/data"
"$gen" "$work/data/mid.csv" 200000 250 || { echo "FAIL: bench_gen"; exit 1; }
cat >"$work/mid_full.vyr" <<'PROG'
proc korvante data=mid outsurv=surv;
   time time*status(0);
   strata group / test=(logrank wilcoxon tarone peto modpeto fleming(1,1) lr);
run;
PROG
cat >"$work/mid_notable.vyr" <<'PROG'
proc korvante data=mid notable method=breslow conftype=loglog;
   time time*status(0);
   freq f;
   strata s1 s2 / test=(logrank wilcoxon tarone peto);
run;
proc korvante data=mid notable timelist=10 50 100 200 outsurv=wsurv reduceout;
   time time*status(0);
   weight w;
   strata group / test=(logrank wilcoxon tarone);
run;
PROG
cat >"$work/mid_group.vyr" <<'PROG'
proc korvante data=mid notable;
   time time*status(0);
   strata s1 s2 / group=group test=(logrank wilcoxon peto);
run;
proc korvante data=mid notable outsurv=gsurv;
   time time*status(0);
   weight w;
   strata s3 / group=s1 test=(logrank tarone);
run;
PROG
cat >"$work/mid_many.vyr" <<'PROG'
proc korvante data=mid notable;
   time time*status(0);
   strata many / test=(logrank wilcoxon);
run;
PROG
# The roads that read a stratum's records in their input order besides the
# ranked copies: life table, bands, smoothed hazards, IDs, TEST covariates.
cat >"$work/mid_roads.vyr" <<'PROG'
proc korvante data=mid method=life width=50 outsurv=lt;
   time time*status(0);
   strata group;
run;
proc korvante data=mid notable confband=all plots=(s(cl) hazard) outsurv=bands;
   time time*status(0);
   strata group;
run;
proc korvante data=mid timelist=5 100 outsurv=ids;
   time time*status(0);
   id s1;
   freq f;
   test s2 s3;
   strata group;
run;
PROG
for name in mid_full mid_notable mid_group mid_many mid_roads; do
  run "$work/$name.vyr" "$work/data" "$work/$name/threads"
  run "$work/$name.vyr" "$work/data" "$work/$name/one" --option NOTHREADS
  compare "$name"
done

echo "$ran program(s) compared, $failed failure(s)"
[ $failed = 0 ]

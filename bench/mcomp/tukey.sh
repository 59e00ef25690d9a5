#!/usr/bin/env bash
# Whole-run benchmark of DIFF=ALL with its defaults (Tukey's exact
# single-step p-values, log-rank and Wilcoxon) on the strata of the example
# data, 4 to 11 of them, and of the same step with the log-rank test alone,
# beside R's multcomp (glht on the same log-rank scores and covariance,
# adjusted("single-step"), GenzBretz to the same accuracy: 1e-5 up to six
# strata, 1e-4 beyond). Each korvante line gives the best and the median
# wall time of RUNS whole processes and the CPU time (user + system) of the
# best; the peer runs once. Nothing is asserted.
#   lung ph_ecog        4 strata, one of a single subject
#   veteran celltype    4
#   lung sex ph_ecog    7, one of a single subject
#   veteran celltype trt 8
#   lung pat_karno      8, two of two subjects
#   colon rx differ     9
#   lung age, 9 groups  9, one of two subjects
#   lung age, 10 and 11 groups
#   colon nodes, 11 groups  11, one of two subjects: a region stretched
#                       along one direction, whose directions are drawn
#                       denser about it
# Usage: bench/mcomp/tukey.sh [BUILD_DIR] [RUNS] [PEER_MAX_STRATA]
#   PEER_MAX_STRATA (default 8): R runs on the sets of at most that many
#   strata (it takes minutes beyond); 0 leaves R out.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../setup.sh"
build=${1:-$root/build-bench}
runs=${2:-3}
peer_max=${3:-8}
bench_build korvante
for f in lung veteran colon; do cp "$root/examples/$f.csv" "$tmp/"; done
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# name, data, event value, STRATA variables, R grouping expression
cases=(
  "lung4|lung|1|ph_ecog|d\$ph_ecog"
  "vet4|veteran|0|celltype|d\$celltype"
  "lung7|lung|1|sex ph_ecog|interaction(d\$sex, d\$ph_ecog, drop = TRUE)"
  "vet8|veteran|0|celltype trt|interaction(d\$celltype, d\$trt, drop = TRUE)"
  "karno8|lung|1|pat_karno|d\$pat_karno"
  "colon9|colon|0|rx differ|interaction(d\$rx, d\$differ, drop = TRUE)"
  "age9|lung|1|age(45 50 55 60 65 70 75 80)|cut(d\$age, c(0, 45, 50, 55, 60, 65, 70, 75, 80, 200))"
  "age10|lung|1|age(45 50 55 60 63 66 69 72 76)|cut(d\$age, c(0, 45, 50, 55, 60, 63, 66, 69, 72, 76, 200))"
  "age11|lung|1|age(45 50 54 57 60 63 66 69 72 76)|cut(d\$age, c(0, 45, 50, 54, 57, 60, 63, 66, 69, 72, 76, 200))"
  "nodes11|colon|0|nodes(1 2 3 4 5 6 7 8 9 10)|cut(d\$nodes, c(-Inf, 1:10, Inf), right = FALSE)"
)

step() { # name, data, censoring value, STRATA statement
  local name=$1 data=$2 cens=$3 strata=$4
  {
    echo "proc korvante data=$data notable;"
    echo "time time*status($cens);"
    echo "strata $strata;"
    echo "run;"
  } >"$tmp/$name.vyr"
  local times=() best= cpu=
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %U %S" -o "$tmp/time.txt" "$build/korvante" "$tmp/$name.vyr" \
      --data "$tmp" --out "$tmp" >"$tmp/$name.lst" 2>"$tmp/$name.log" || true
    read -r secs user sys <"$tmp/time.txt"
    times+=("$secs")
    if [ -z "$best" ] || awk -v a="$secs" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$secs
      cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
    fi
  done
  local med warn
  med=$(printf '%s\n' "${times[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  warn=$(grep -m1 -E "^(WARNING|ERROR)" "$tmp/$name.log" | cut -c1-80 || true)
  printf '  korvante %-22s best %6.2f s  median %6.2f s  cpu %6.2f s  %s\n' "$name" "$best" "$med" \
    "$cpu" "$warn"
}

peer() { # data, censoring value, R grouping
  local data=$1 cens=$2 group=$3
  Rscript - "$tmp/$data.csv" "$cens" "$group" <<'EOF' || echo "  R multcomp: failed (are r-cran-survival and r-cran-multcomp installed?)"
suppressPackageStartupMessages({ library(survival); library(mvtnorm); library(multcomp) })
a <- commandArgs(TRUE)
d <- read.csv(a[1]); cens <- as.numeric(a[2])
g <- eval(parse(text = a[3]))
ok <- !is.na(g) & !is.na(d$time) & !is.na(d$status)
g <- factor(g[ok])
fit <- survdiff(Surv(d$time[ok], d$status[ok] != cens) ~ g)
U <- fit$obs - fit$exp; k <- length(U)
K <- contrMat(setNames(rep(1, k), levels(g)), "Tukey")
abseps <- if (k <= 6) 1e-5 else 1e-4
set.seed(1)
t0 <- proc.time()
p <- summary(glht(parm(U, fit$var), linfct = K),
             test = adjusted("single-step", algorithm = GenzBretz(abseps = abseps, maxpts = 1e8)))
el <- proc.time() - t0
cat(sprintf("  R multcomp (log-rank)        %d strata, abseps %g: %.2f s elapsed, cpu %.2f s\n", k, abseps,
            el[["elapsed"]], el[["user.self"]] + el[["sys.self"]]))
EOF
}

for c in "${cases[@]}"; do
  IFS='|' read -r name data cens strata group <<<"$c"
  k=${name//[!0-9]/}
  echo "$name ($strata)"
  step "${name}_defaults" "$data" "$cens" "$strata / diff=all"
  step "${name}_logrank" "$data" "$cens" "$strata / diff=all test=logrank"
  if [ "$peer_max" -gt 0 ] && [ "$k" -le "$peer_max" ]; then
    peer "$data" "$cens" "$group"
  fi
done

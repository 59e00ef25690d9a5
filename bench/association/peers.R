# The R side of the benchmark: read the file and form the log-rank score test
# of the four covariates stratified by group (a Cox model at beta = 0 with
# Breslow ties, which is the same statistic).
# Usage: Rscript peers.R FILE
suppressMessages(library(survival))
args <- commandArgs(trailingOnly = TRUE)
t0 <- proc.time()[["elapsed"]]
if (requireNamespace("data.table", quietly = TRUE)) {
  d <- data.table::fread(args[1], showProgress = FALSE)
} else {
  d <- read.csv(args[1])
}
t1 <- proc.time()[["elapsed"]]
fit <- coxph(Surv(time, status) ~ s1 + s2 + s3 + w + strata(group), data = d,
             ties = "breslow", iter.max = 0)
t2 <- proc.time()[["elapsed"]]
cat(sprintf("R: read %.2f s, coxph score test %.2f s, chi-square %.4f\n",
            t1 - t0, t2 - t1, fit$score))

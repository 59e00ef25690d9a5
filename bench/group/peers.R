# The R side of the GROUP= benchmark: read the file, estimate the survival
# curves of every group within every stratum (s1, s2), and test the groups
# stratified by the strata (survdiff with strata(), rho 0 and 1).
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
fit <- survfit(Surv(time, status) ~ s1 + s2 + group, data = d)
lr <- survdiff(Surv(time, status) ~ group + strata(s1, s2), data = d, rho = 0)
fh <- survdiff(Surv(time, status) ~ group + strata(s1, s2), data = d, rho = 1)
t2 <- proc.time()[["elapsed"]]
cat(sprintf("R: read %.2f s, survfit+survdiff %.2f s, log-rank %.4f, rho=1 %.4f\n",
            t1 - t0, t2 - t1, lr$chisq, fh$chisq))

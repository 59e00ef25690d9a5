# The R side of the benchmark: read the file, estimate the survival curves by
# group and run the log-rank and Wilcoxon-type tests (survdiff rho 0 and 1).
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
fit <- survfit(Surv(time, status) ~ group, data = d)
lr <- survdiff(Surv(time, status) ~ group, data = d, rho = 0)
wl <- survdiff(Surv(time, status) ~ group, data = d, rho = 1)
t2 <- proc.time()[["elapsed"]]
cat(sprintf("R: read %.2f s, survfit+survdiff %.2f s, log-rank %.4f, rho=1 %.4f\n",
            t1 - t0, t2 - t1, lr$chisq, wl$chisq))

# The R side of the competing-risks benchmark: read the file, then the
# cumulative incidence of each cause in each stratum with its variance and
# Gray's test across the strata for each cause (cmprsk::cuminc).
# Usage: Rscript peers.R FILE
suppressMessages(library(cmprsk))
args <- commandArgs(trailingOnly = TRUE)
t0 <- proc.time()[["elapsed"]]
if (requireNamespace("data.table", quietly = TRUE)) {
  d <- data.table::fread(args[1], showProgress = FALSE)
} else {
  d <- read.csv(args[1])
}
t1 <- proc.time()[["elapsed"]]
fit <- cuminc(d$time, d$status, group = d$strat, cencode = 0)
tp <- timepoints(fit, c(10, 20, 30, 40, 50))
t2 <- proc.time()[["elapsed"]]
cat(sprintf("R: read %.2f s, cuminc %.2f s, Gray's test statistics %s, CIF of cause 1 in stratum 1 at 50: %.4f\n",
            t1 - t0, t2 - t1, paste(sprintf("%.4f", fit$Tests[, "stat"]), collapse = " "),
            tp$est["1 1", 5]))

# The R side of the restricted-mean benchmark: read the file, then the RMST
# of each group up to 40 with its standard error (survival), and the Wald
# test of equal means.
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
tab <- summary(survfit(Surv(time, status) ~ grp, data = d), rmean = 40)$table
e <- tab[, "rmean"]
v <- tab[, "se(rmean)"]^2
k <- length(e)
C <- cbind(diag(k - 1), 0) - cbind(0, diag(k - 1))
x <- drop(t(C %*% e) %*% solve(C %*% diag(v) %*% t(C), C %*% e))
t2 <- proc.time()[["elapsed"]]
cat(sprintf("R: read %.2f s, rmean %.2f s, RMST %s, Wald %.4f\n", t1 - t0, t2 - t1,
            paste(sprintf("%.4f", e), collapse = " "), x))

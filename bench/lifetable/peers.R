# Peers of the life-table and band benchmark on the same file: the life
# tables of KMsurv::lifetab (after binning in intervals of 10) and the
# Hall-Wellner and equal-precision bands of km.ci, per group.
suppressPackageStartupMessages({
  library(data.table)
  library(survival)
  library(KMsurv)
  library(km.ci)
})
args <- commandArgs(trailingOnly = TRUE)
d <- fread(args[1], select = c("time", "status", "group"))
t0 <- proc.time()[["elapsed"]]
for (g in sort(unique(d$group))) {
  x <- d[group == g]
  b <- seq(0, max(x$time) + 10, by = 10)
  k <- findInterval(x$time, b)
  ne <- tabulate(k[x$status == 1], length(b))
  nl <- tabulate(k[x$status == 0], length(b))
  lt <- lifetab(c(b, NA), nrow(x), nl, ne)
}
t1 <- proc.time()[["elapsed"]]
for (g in sort(unique(d$group))) {
  fit <- survfit(Surv(time, status) ~ 1, data = d[group == g])
  hw <- km.ci(fit, method = "hall-wellner")
  ep <- km.ci(fit, method = "epband")
}
t2 <- proc.time()[["elapsed"]]
cat(sprintf("R lifetab: %.2f s; survfit + km.ci (hall-wellner, epband): %.2f s\n", t1 - t0, t2 - t1))

# Peer reference values for cells whose overall survival comes to 0: the
# cumulative incidence with its Aalen-type variance (cmprsk::cuminc) and its
# delta-method variance (etm::etm, the Greenwood-type covariance), at every
# event time of each cause. Run from the repository root:
#   Rscript tests/reference/make.R cmprisk_ends
# Writes tests/reference/cmprisk_ends_data.csv (the records of every case),
# cmprisk_ends.csv, and the same records without the comment line as
# tests/e2e/cmprisk_data/ends.csv (the data of the e2e program
# cmprisk_ends.vyr).
#
# The cells:
#  - tied: five records, every one an event of cause 1, two of them at 2;
#  - distinct: five events of cause 1 at five times;
#  - freq A and B: 26 records with frequencies, censored or of cause 1, the
#    last subject failing of cause 1;
#  - freq C: every subject fails, of cause 1 or 2, the last of cause 1 (the
#    overall survival comes to 0, the incidence of each cause stays below 1);
#  - freq D: censored or of cause 1, the last three at risk failing together.
#
# Definitions. Neither peer takes frequencies, so a record of frequency f is
# given to them f times. Where every subject of a cell has failed of one
# cause, the incidence of that cause is 1 and etm's variance is 0. cuminc's
# Aalen-type variance there is 0 only when the last subjects fail together
# (its ties factor 1 - (d - 1)/(n - 1) is then 0); when the last subject
# fails alone it keeps the last term S(t-)^2 d1 / n^2 (0.04 for "distinct").
# The procedure takes the variance of an incidence of 1 as 0 under both
# estimators, as etm does; elsewhere the variances are the peers'.
suppressMessages({
  library(cmprsk)
  library(etm)
})
invisible(Sys.setlocale("LC_COLLATE", "C"))
if (!file.exists("tests/reference/cmprisk.R")) stop("run from the repository root")

cases <- list()
cases$tied <- data.frame(time = c(2, 2, 4, 5, 6), status = 1, group = "A", freq = 1)
cases$distinct <- data.frame(time = 1:5, status = 1, group = "A", freq = 1)

set.seed(20261211)
cell <- function(group, n, causes, prob, last) {
  time <- sort(sample(1:30, n - 1, replace = TRUE))
  d <- data.frame(time = c(time, 31), status = c(sample(causes, n - 1, replace = TRUE, prob = prob), 1),
                  group = group, freq = c(sample(1:3, n - 1, replace = TRUE), last))
  d
}
cases$freq <- rbind(cell("A", 26, c(0, 1), c(0.3, 0.7), 1),
                    cell("B", 26, c(0, 1), c(0.2, 0.8), 1),
                    cell("C", 26, c(1, 2), c(0.5, 0.5), 1),
                    cell("D", 26, c(0, 1), c(0.3, 0.7), 3))

data_rows <- do.call(rbind, lapply(names(cases), function(k) cbind(case = k, cases[[k]])))
write_ref(data_rows, "cmprisk_ends_data.csv",
          "records of the cells whose overall survival comes to 0 (made by tests/reference/cmprisk_ends.R)")
e2e <- file.path("tests", "e2e", "cmprisk_data", "ends.csv")
write.csv(data_rows, e2e, row.names = FALSE, quote = FALSE)
cat("wrote", e2e, nrow(data_rows), "rows\n")

expand <- function(d) d[rep(seq_len(nrow(d)), d$freq), ]
# The peers' CIF of one cell (time, status) by cause, at the times
# times_of(cause) gives: cmprsk::timepoints (cif, var_aalen), etm trcov
# (var_delta, cif_etm) and etm's overall survival (surv_etm).
peer_rows <- function(dc, times_of) {
  fit <- cuminc(dc$time, dc$status, cencode = 0)
  present <- sort(unique(dc$status[dc$status != 0]))
  et <- data.frame(id = seq_len(nrow(dc)), from = 0,
                   to = ifelse(dc$status == 0, "cens", as.character(dc$status)), time = dc$time)
  tra <- matrix(FALSE, length(present) + 1, length(present) + 1)
  tra[1, -1] <- TRUE
  efit <- etm(et, state.names = c("0", as.character(present)), tra = tra, cens.name = "cens", s = 0)
  lapply(present, function(cause) {
    ev <- times_of(cause)
    nm <- paste("1", cause)
    tp <- timepoints(fit, ev)
    idx <- match(ev, efit$time)
    data.frame(
      cause = cause, time = ev, cif = tp$est[nm, ], var_aalen = tp$var[nm, ],
      var_delta = sapply(idx, function(i) efit$cov[paste("0", cause), paste("0", cause), i]),
      cif_etm = sapply(idx, function(i) efit$est["0", as.character(cause), i]),
      surv_etm = sapply(idx, function(i) efit$est["0", "0", i]))
  })
}
rows <- list()
for (k in names(cases)) {
  d <- expand(cases[[k]])
  for (g in sort(unique(d$group))) {
    dc <- d[d$group == g, ]
    for (r in peer_rows(dc, function(cause) sort(unique(dc$time[dc$status == cause]))))
      rows[[length(rows) + 1]] <- cbind(case = k, group = g, r)
  }
}
write_ref(do.call(rbind, rows), "cmprisk_ends.csv",
          "CIF by cell and cause at its event times: cmprsk::timepoints (cif, var_aalen), etm trcov (var_delta, cif_etm), etm's overall survival (surv_etm)")

# Cells whose overall survival gets tiny: 120,001 records, the last censored,
# "steps" with an event of type 1 at each other time and "alternate" with type
# 2 at the odd times and type 1 at the even ones (the cells of the same names
# of tests/reference/cmprisk_exact.py, which gives their exact values at the
# same times). Writes tests/reference/cmprisk_tiny_peers.csv.
#
# Definitions: the same statistics. etm's covariance is Greenwood-type and
# keeps its precision (within 2e-10 of the exact values here); cuminc keeps
# the Aalen-type variance as running sums about F = 0 that cancel where S is
# small, and at S = 1/120001 is 4e-6 off the exact value.
long_n <- 120001
long_cell <- function(case) {
  t <- seq_len(long_n - 1)
  status <- if (case == "steps") rep(1, long_n - 1) else ifelse(t %% 2 == 1, 2, 1)
  data.frame(time = c(t, long_n), status = c(status, 0))
}
long_times <- function(case, cause) {
  every <- seq(10000, long_n - 1, 10000)
  times <- if (case == "steps") c(1, 2, long_n - 3, long_n - 2, long_n - 1, every)
           else if (cause == 1) c(2, long_n - 5, long_n - 3, long_n - 1, every)
           else c(1, long_n - 6, long_n - 4, long_n - 2, every - 1)
  sort(unique(times))
}
tiny <- list()
for (case in c("steps", "alternate")) {
  for (r in peer_rows(long_cell(case), function(cause) long_times(case, cause)))
    tiny[[length(tiny) + 1]] <- cbind(case = case, r[, names(r) != "surv_etm"])
}
write_ref(do.call(rbind, tiny), "cmprisk_tiny_peers.csv",
          "CIF of the cells of 120,001 records at some of their times: cmprsk::timepoints (cif, var_aalen), etm trcov (var_delta, cif_etm)")

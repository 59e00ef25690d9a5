# Peer reference values for competing risks: the cumulative incidence with
# its Aalen-type variance (cmprsk::cuminc), its delta-method variance
# (etm::etm with trcov, the Greenwood-type estimator), and Gray's k-sample
# test (cmprsk::cuminc, and for singular covariances the score and
# covariance of cmprsk's own routine with an independent generalized
# inverse). Run from the repository root:
#   Rscript tests/reference/make.R cmprisk
# Writes tests/reference/cmprisk_data.csv (the records of every case),
# cmprisk_cif.csv, cmprisk_gray.csv and cmprisk_timelist.csv.
#
# Definitions. Neither peer takes frequencies, so a record of frequency f is
# given to them f times. cmprsk's variance is the Aalen-type one with the
# ties correction 1 - (d - 1)/(n - 1); etm's default covariance is the
# Greenwood-type (delta method) one. cmprsk tests with df = groups - 1 and
# gives -1 for a singular covariance; here the degrees of freedom are the
# rank of the covariance, and the statistic is the score's quadratic form in
# its generalized inverse (eigen decomposition, eigenvalues above 1e-9 times
# the largest).
suppressMessages({
  library(cmprsk)
  library(etm)
})
invisible(Sys.setlocale("LC_COLLATE", "C"))
root <- if (file.exists("examples/crsim.csv")) "." else stop("run from the repository root")

# ---------------------------------------------------------------------------
# The cases: time, status (0 censored, else the cause), group, strat, freq.
set.seed(20261207)
cases <- list()

sim <- read.csv(file.path(root, "examples", "crsim.csv"), stringsAsFactors = FALSE)
cases$sim <- data.frame(time = sim$time, status = sim$status, group = sim$group,
                        strat = as.character(sim$strat), freq = 1)

# Heavy ties and frequencies: 12 times, three causes, three groups, two strata.
n <- 150
cases$tied <- data.frame(
  time = sample(1:12, n, replace = TRUE),
  status = sample(0:3, n, replace = TRUE, prob = c(0.3, 0.35, 0.25, 0.1)),
  group = sample(c("g1", "g2", "g3"), n, replace = TRUE),
  strat = sample(c("s1", "s2"), n, replace = TRUE),
  freq = sample(1:4, n, replace = TRUE))

# A singular covariance for cause 1: every record of group B ends before
# the first event of cause 1, so B is never at risk at those times and adds
# nothing; the rank is 1 for three groups.
cases$sing <- data.frame(
  time = c(3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 4, 5, 6, 8, 9, 11, 1, 1.5, 2, 2.5),
  status = c(1, 2, 1, 0, 1, 2, 1, 0, 1, 2, 1, 0, 2, 1, 1, 0, 2, 0, 2, 0),
  group = c(rep("A", 10), rep("C", 6), rep("B", 4)),
  strat = "s1", freq = c(1, 2, 1, 1, 3, 1, 1, 2, 1, 1, 1, 1, 2, 1, 1, 2, 1, 1, 1, 2))

# No degree of freedom for cause 1: every record of group A ends before the
# first event of cause 1 (in group B), and A is the only group with a score.
cases$df0 <- data.frame(
  time = c(1, 2, 3, 5, 6, 7, 8, 9, 10),
  status = c(2, 0, 2, 1, 2, 1, 0, 1, 2),
  group = c(rep("A", 3), rep("B", 6)),
  strat = "s1", freq = c(1, 1, 2, 1, 1, 2, 1, 1, 1))

# Censored records ahead of every event, in both groups: the estimates and
# the test do not depend on their frequencies, so the tests give them
# frequencies up to 2^53, which no peer could take expanded, and compare with
# the values made here from a frequency of 2.
cases$huge <- data.frame(
  time = c(0.5, 1, 2, 3, 3, 4, 5, 6, 0.5, 2, 2, 3, 5, 7, 8),
  status = c(0, 0, 1, 2, 1, 1, 0, 2, 0, 2, 1, 1, 2, 1, 0),
  group = c(rep("A", 8), rep("B", 7)),
  strat = "s1", freq = c(2, 2, 1, 1, 2, 1, 1, 1, 2, 1, 1, 3, 1, 1, 1))

# Five and eight groups (the test's walk is unrolled for up to six groups and
# general beyond): tied times, three causes, two strata for five groups.
n <- 200
cases$five <- data.frame(
  time = sample(1:25, n, replace = TRUE) / 2,
  status = sample(0:3, n, replace = TRUE, prob = c(0.3, 0.35, 0.25, 0.1)),
  group = sample(paste0("g", 1:5), n, replace = TRUE),
  strat = sample(c("s1", "s2"), n, replace = TRUE),
  freq = sample(1:3, n, replace = TRUE))
n <- 240
cases$eight <- data.frame(
  time = round(rexp(n, 0.1), 1) + 0.1,
  status = sample(0:2, n, replace = TRUE, prob = c(0.3, 0.45, 0.25)),
  group = sample(paste0("g", 1:8), n, replace = TRUE),
  strat = "s1", freq = 1)

# ---------------------------------------------------------------------------
data_rows <- do.call(rbind, lapply(names(cases), function(k) cbind(case = k, cases[[k]])))
write_ref(data_rows, "cmprisk_data.csv",
          "records of the competing-risks cases (made by tests/reference/cmprisk.R)")

expand <- function(d) d[rep(seq_len(nrow(d)), d$freq), ]

cif_rows <- list()
tl_rows <- list()
gray_rows <- list()
timelist <- c(0.5, 2, 3.5, 6, 100)
for (k in names(cases)) {
  d <- expand(cases[[k]])
  causes <- sort(unique(d$status[d$status != 0]))
  # The estimates of every cell (stratum and group) and cause.
  for (st in sort(unique(d$strat))) for (g in sort(unique(d$group))) {
    dc <- d[d$strat == st & d$group == g, ]
    if (nrow(dc) == 0) next
    fit <- cuminc(dc$time, dc$status, cencode = 0)
    # etm: one transient state "0", one absorbing state per cause.
    et <- data.frame(id = seq_len(nrow(dc)), from = 0,
                     to = ifelse(dc$status == 0, "cens", as.character(dc$status)),
                     time = dc$time)
    present <- sort(unique(dc$status[dc$status != 0]))
    tra <- matrix(FALSE, length(present) + 1, length(present) + 1)
    tra[1, -1] <- TRUE
    efit <- etm(et, state.names = c("0", as.character(present)), tra = tra,
                cens.name = "cens", s = 0)
    for (cause in causes) {
      ev <- sort(unique(dc$time[dc$status == cause]))
      if (length(ev) == 0) next
      nm <- paste("1", cause)
      tp <- timepoints(fit, ev)
      est <- tp$est[nm, ]
      va <- tp$var[nm, ]
      idx <- match(ev, efit$time)
      vd <- sapply(idx, function(i) efit$cov[paste("0", cause), paste("0", cause), i])
      ed <- sapply(idx, function(i) efit$est["0", as.character(cause), i])
      cif_rows[[length(cif_rows) + 1]] <- data.frame(
        case = k, strat = st, group = g, cause = cause, time = ev, cif = est,
        var_aalen = va, var_delta = vd, cif_etm = ed)
      tl <- timepoints(fit, timelist)
      tl_rows[[length(tl_rows) + 1]] <- data.frame(
        case = k, strat = st, group = g, cause = cause, timelist = timelist,
        cif = tl$est[nm, ], var_aalen = tl$var[nm, ])
    }
  }
  # Gray's test: the groups pooled over strata, and the groups within strata.
  for (design in c("unstratified", "stratified")) for (rho in c(0, 1)) {
    if (design == "stratified" && length(unique(d$strat)) < 2) next
    dd <- d[order(d$time), ]
    grp <- factor(dd$group, sort(unique(dd$group)))
    stf <- if (design == "stratified") factor(dd$strat, sort(unique(dd$strat))) else factor(rep(1, nrow(dd)))
    ng <- nlevels(grp)
    fit <- cuminc(dd$time, dd$status, grp, strata = stf, rho = rho, cencode = 0)
    censind <- ifelse(dd$status == 0, 0, 1)
    for (ci in seq_along(causes)) {
      cause <- causes[ci]
      causeind <- 2 * censind - ifelse(dd$status == cause, 1, 0)
      z2 <- .Fortran("crstm", as.double(dd$time), as.integer(causeind), as.integer(grp),
                     as.integer(stf), as.integer(nrow(dd)), as.double(rho),
                     as.integer(nlevels(stf)), as.integer(ng), double(ng - 1),
                     matrix(0, ng - 1, ng - 1), as.double(dd$time), as.integer(causeind),
                     as.integer(grp), double(ng * (ng - 1) / 2), double(ng - 1),
                     double(ng * (ng - 1) / 2), double((4 + 3 * ng) * ng), integer(4 * ng),
                     PACKAGE = "cmprsk")
      s <- z2[[9]]
      V <- z2[[10]]
      e <- eigen(V, symmetric = TRUE)
      keep <- e$values > 1e-9 * max(abs(e$values), 1e-300)
      stat <- if (any(keep)) sum((crossprod(e$vectors[, keep, drop = FALSE], s))^2 / e$values[keep]) else 0
      gray_rows[[length(gray_rows) + 1]] <- data.frame(
        case = k, design = design, rho = rho, cause = cause, stat = stat, df = sum(keep),
        cmprsk_stat = fit$Tests[as.character(cause), "stat"])
    }
  }
}
write_ref(do.call(rbind, cif_rows), "cmprisk_cif.csv",
          "CIF by cell and cause at its event times: cmprsk::timepoints (cif, var_aalen), etm trcov (var_delta, cif_etm)")
write_ref(do.call(rbind, tl_rows), "cmprisk_timelist.csv",
          "CIF at listed times: cmprsk::timepoints (the estimate of the last event time at or before; NA past the last time)")
write_ref(do.call(rbind, gray_rows), "cmprisk_gray.csv",
          "Gray's test: cmprsk crstm score and covariance, generalized inverse (stat, df); cmprsk::cuminc Tests (cmprsk_stat)")

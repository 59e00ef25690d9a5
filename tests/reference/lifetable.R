# Reference values for life tables and confidence bands.
#
#   Rscript tests/reference/lifetable.R     (from the repository root; or as a
#                                            section of make.R)
#
# Life tables: KMsurv::lifetab on the intervals the procedure uses (the same
# boundaries, the same counts of events and withdrawals per interval); the
# median residual lifetime is worked out here from lifetab's survival and
# density columns, by its definition.
#
# Bands: the Hall-Wellner and equal-precision bands of km.ci (methods
# "hall-wellner", "loghall", "epband", "logep"), whose critical values are
# interpolated in printed tables, and the same band limits with critical
# values computed independently here: the Hall-Wellner value from the
# distribution of the supremum of the Brownian bridge (bridge_sup_prob, as in
# numeric.R), the equal-precision value from the Miller-Siegmund equation.
#
# Data: the CSV copies in examples/, and bands_data.csv for the band samples
# made here; the tests rebuild the same samples.

suppressPackageStartupMessages({
  library(survival)
  library(KMsurv)
  library(km.ci)
})

if (!exists("ref_dir")) ref_dir <- file.path("tests", "reference")
if (!exists("write_ref")) source(file.path(ref_dir, "write_ref.R"))

ex <- function(f) read.csv(file.path("examples", f), stringsAsFactors = FALSE)

sample_of <- function(file, time, status, event, by = NULL, value = NULL) {
  d <- ex(file)
  if (!is.null(by)) d <- d[as.character(d[[by]]) == as.character(value), ]
  data.frame(time = as.numeric(d[[time]]), event = as.integer(d[[status]] == event))
}

# ---- life tables ---------------------------------------------------------------
# Each case: a sample and the boundaries the procedure uses for it (0 first;
# the last interval is open above). WIDTH= w gives 0, w, 2w, ... up to the
# first boundary above the largest time; NINTERVAL= k rounds the width up to
# 1, 2 or 5 times a power of ten. A boundary is the decimal k w (signif to 15
# digits: 3 x 0.2 is 0.6, not 0.6000000000000001).
kw <- function(k, w) signif(k * w, 15)
width_bounds <- function(maxt, w) {
  n <- floor(maxt / w)
  while (maxt >= kw(n - 1, w)) n <- n + 1
  kw(0:(n - 1), w)
}
ninterval_bounds <- function(maxt, k) {
  w0 <- maxt / k
  e <- floor(log10(w0))
  f <- 10^(log10(w0) - e)
  w <- 10^e * (if (f > 5) 10 else if (f > 2) 5 else 2)
  n <- k
  while (kw(n - 1, w) - maxt <= 1.110223024625157e-13 * max(abs(kw(n - 1, w)), abs(maxt))) n <- n + 1
  kw(0:(n - 1), w)
}

lt_cases <- list(
  list(id = "aml_w15", s = sample_of("aml.csv", "time", "status", 1), how = "width", arg = 15),
  list(id = "aml_m_w15", s = sample_of("aml.csv", "time", "status", 1, "x", "Maintained"), how = "width", arg = 15),
  list(id = "aml_n_w15", s = sample_of("aml.csv", "time", "status", 1, "x", "Nonmaintained"), how = "width", arg = 15),
  list(id = "lung_n10", s = sample_of("lung.csv", "time", "status", 2), how = "ninterval", arg = 10),
  list(id = "veteran_iv", s = sample_of("veteran.csv", "time", "status", 1), how = "intervals",
       arg = c(0, 30, 60, 90, 180, 365)),
  list(id = "ovarian_w100", s = sample_of("ovarian.csv", "futime", "fustat", 1), how = "width", arg = 100),
  list(id = "kidney_n5", s = sample_of("kidney.csv", "time", "status", 1), how = "ninterval", arg = 5),
  # Times in seconds: hazard variances of order 1e-15, far below any
  # absolute cut-off.
  list(id = "seconds_w5e6", s = data.frame(time = c(1, 2, 3, 4, 6, 7, 8, 9, 11, 12) * 1e6,
                                           event = c(1, 1, 1, 1, 1, 0, 1, 1, 1, 0)),
       how = "width", arg = 5e6),
  # Decimal times on decimal boundaries: a time at a boundary opens its
  # interval.
  list(id = "decimal_n10", s = data.frame(time = (1:10) / 10, event = rep(1, 10)),
       how = "ninterval", arg = 10)
)

lt_rows <- list()
for (cs in lt_cases) {
  d <- cs$s
  maxt <- max(d$time)
  b <- switch(cs$how, width = width_bounds(maxt, cs$arg), ninterval = ninterval_bounds(maxt, cs$arg),
              intervals = cs$arg)
  k <- length(b)
  bin <- findInterval(d$time, b) # a time at a boundary opens the next interval
  nevent <- tabulate(bin[d$event == 1], k)
  nlost <- tabulate(bin[d$event == 0], k)
  # Intervals used: up to the last one anyone enters.
  left <- length(d$time) - c(0, cumsum(nevent + nlost))[1:k]
  m <- max(which(left > 0))
  # lifetab takes its last interval to be open (no density or hazard): one
  # empty interval more gives the last used one its values where it has a
  # width.
  if (m < k) {
    tis <- c(b, NA)[1:(m + 2)]
    lt <- lifetab(tis, length(d$time), c(nlost[1:m], 0), c(nevent[1:m], 0))[1:m, ]
  } else {
    lt <- lifetab(c(b, NA), length(d$time), nlost, nevent)
  }
  S <- lt$surv
  e <- lt$nrisk
  q <- nevent[1:m] / e
  S_after <- S[m] * (1 - q[m])
  var_after <- S_after^2 * sum(ifelse(q < 1, q / ((1 - q) * e), 0))
  # The table closes with a row of the survival after the last interval used
  # unless INTERVALS= gave intervals that were all used, or too few remained
  # in the last one (an effective size of 0.1 or less).
  closing <- !(cs$how == "intervals" && m == k) && e[m] > 0.1
  # Median residual lifetime of those entering interval j, from the survival
  # at the boundaries (with the survival after the last used interval when
  # the table closes with it) and linear interpolation within an interval;
  # the last row of the table has none.
  Sb <- if (closing) c(S, S_after) else S
  last <- if (closing) m else m - 1
  med <- rep(NA, m)
  med_se <- rep(NA, m)
  for (j in seq_len(last)) {
    half <- S[j] / 2
    i <- which(Sb <= half + 1e-13 * half)
    if (length(i) == 0) next
    i <- min(i)
    kk <- i - 1
    if (kk < 1 || kk + 1 > length(b)) next
    med[j] <- (b[kk] - b[j]) + (b[kk + 1] - b[kk]) * (half - Sb[kk]) / (Sb[kk + 1] - Sb[kk])
    if (!is.na(lt$pdf[kk]) && lt$pdf[kk] > 0) med_se[j] <- sqrt((S[j] / (2 * lt$pdf[kk]))^2 / e[j])
  }
  lt_rows[[length(lt_rows) + 1]] <- data.frame(
    case = cs$id, row = 0:(m - 1), lower = b[1:m], nevent = nevent[1:m], nlost = nlost[1:m],
    effective = e, surv = S, se_surv = lt$se.surv, pdf = lt$pdf, se_pdf = lt$se.pdf,
    hazard = lt$hazard, se_hazard = lt$se.hazard, med = med, se_med = med_se,
    closing = as.integer(closing), surv_after = S_after, se_after = sqrt(var_after))
}
write_ref(do.call(rbind, lt_rows), "lifetable_kmsurv.csv",
          paste("KMsurv::lifetab(tis, n, nlost, nevent) on the procedure's intervals; med, se_med:",
                "median residual lifetime by linear interpolation of the survival at the boundaries;",
                "surv_after, se_after: survival after the last interval used, Greenwood"))
bounds <- do.call(rbind, lapply(lt_cases, function(cs) {
  maxt <- max(cs$s$time)
  b <- switch(cs$how, width = width_bounds(maxt, cs$arg), ninterval = ninterval_bounds(maxt, cs$arg),
              intervals = cs$arg)
  data.frame(case = cs$id, how = cs$how, arg = if (cs$how == "intervals") NA else cs$arg,
             index = seq_along(b) - 1, bound = b)
}))
write_ref(bounds, "lifetable_bounds.csv", "interval boundaries of each life-table case (0 first)")

# ---- confidence bands ----------------------------------------------------------
# P(sup over [aL, aU] of |B| <= lambda), B a Brownian bridge, by propagating
# its density on a grid (the same computation as numeric.R).
bridge_sup_prob <- function(lambda, aL, aU, nt = 300, nx = 401) {
  x <- seq(-lambda, lambda, length.out = nx)
  dx <- x[2] - x[1]
  w <- rep(dx, nx)
  w[1] <- w[nx] <- dx / 2
  ts <- seq(aL, aU, length.out = nt + 1)
  cross <- function(x1, x2, dt) (1 - exp(-2 * pmax(lambda - x1, 0) * pmax(lambda - x2, 0) / dt)) *
    (1 - exp(-2 * pmax(lambda + x1, 0) * pmax(lambda + x2, 0) / dt))
  if (aL == 0) {
    t1 <- ts[2]
    p <- dnorm(x, 0, sqrt(t1 * (1 - t1))) * cross(0, x, t1)
    start <- 2
  } else {
    p <- dnorm(x, 0, sqrt(aL * (1 - aL)))
    start <- 1
  }
  X1 <- outer(x, rep(1, nx))
  X2 <- outer(rep(1, nx), x)
  for (i in start:nt) {
    t1 <- ts[i]; t2 <- ts[i + 1]; dt <- t2 - t1
    m <- dnorm(X2, X1 * (1 - t2) / (1 - t1), sqrt(dt * (1 - t2) / (1 - t1))) * cross(X1, X2, dt)
    p <- as.vector((p * w) %*% m)
  }
  sum(p * w)
}
hw_crit <- function(aL, aU, alpha)
  uniroot(function(l) bridge_sup_prob(l, aL, aU) - (1 - alpha), c(0.5, 2.5), tol = 1e-7)$root
ep_crit <- function(a1, a2, alpha) {
  L <- log((a2 / (1 - a2)) / (a1 / (1 - a1)))
  uniroot(function(x) dnorm(x) * ((x - 1 / x) * L + 4 / x) - alpha, c(1.2, 8), tol = 1e-12)$root
}

band_cases <- list(
  list(id = "aml_m", s = sample_of("aml.csv", "time", "status", 1, "x", "Maintained")),
  list(id = "aml_n", s = sample_of("aml.csv", "time", "status", 1, "x", "Nonmaintained")),
  list(id = "ovarian", s = sample_of("ovarian.csv", "futime", "fustat", 1)),
  list(id = "veteran_1", s = sample_of("veteran.csv", "time", "status", 1, "trt", 1)),
  list(id = "lung_f", s = sample_of("lung.csv", "time", "status", 2, "sex", 2)),
  # The last event time (10) tied with a censored time: someone stays at risk
  # after it, so it is inside the band (km.ci's as well).
  list(id = "tied_last", s = data.frame(time = c(1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 10),
                                        event = c(1, 1, 1, 1, 0, 1, 1, 0, 1, 1, 1, 0)))
)
# The samples not taken from examples/ are kept as data for the tests.
made <- Filter(function(cs) cs$id %in% c("tied_last"), band_cases)
write_ref(do.call(rbind, lapply(made, function(cs) cbind(case = cs$id, cs$s))), "bands_data.csv",
          "records of the band cases not taken from examples/ (made by tests/reference/lifetable.R)")
alpha <- 0.05
crit_rows <- list()
band_rows <- list()
for (cs in band_cases) {
  d <- cs$s
  fit <- survfit(Surv(time, event) ~ 1, data = d, conf.type = "none")
  n <- fit$n
  ev <- fit$n.event > 0
  # Greenwood sums at the event times, the band's ends by default: the first
  # event time, and the last event time that leaves someone at risk.
  sig <- cumsum(ifelse(fit$n.risk > fit$n.event, fit$n.event / (fit$n.risk * (fit$n.risk - fit$n.event)), 0))
  tl <- min(fit$time[ev])
  tu <- max(fit$time[ev & fit$n.risk > fit$n.event])
  sL <- sig[max(which(fit$time <= tl))]
  sU <- sig[max(which(fit$time <= tu))]
  aL <- n * sL / (1 + n * sL)
  aU <- n * sU / (1 + n * sU)
  hw <- hw_crit(aL, aU, alpha)
  ep <- ep_crit(aL, aU, alpha)
  crit_rows[[length(crit_rows) + 1]] <- data.frame(case = cs$id, n = n, tl = tl, tu = tu, aL = aL, aU = aU,
                                                   hw_crit = hw, ep_crit = ep)
  inband <- ev & fit$time >= tl & fit$time <= tu
  S <- fit$surv[inband]
  s2 <- sig[inband]
  t <- fit$time[inband]
  # Limits with the computed critical values, by km.ci's formulas: linear
  # S -/+ c se, log-log S^(1/theta), S^theta.
  hw_se <- (1 + n * s2) * S / sqrt(n)
  ep_se <- sqrt(s2) * S
  out <- data.frame(case = cs$id, time = t, surv = S, sigma2 = s2,
                    hw_lin_l = S - hw * hw_se, hw_lin_u = S + hw * hw_se,
                    hw_log_l = S^(1 / exp(hw * hw_se / (S * log(S)))), hw_log_u = S^exp(hw * hw_se / (S * log(S))),
                    ep_lin_l = S - ep * ep_se, ep_lin_u = S + ep * ep_se,
                    ep_log_l = S^(1 / exp(ep * ep_se / (S * log(S)))), ep_log_u = S^exp(ep * ep_se / (S * log(S))))
  # km.ci with its tabled critical values, where its tables reach.
  for (m in c("hall-wellner", "loghall", "epband", "logep")) {
    col <- switch(m, "hall-wellner" = "kmci_hw_lin", loghall = "kmci_hw_log", epband = "kmci_ep_lin", logep = "kmci_ep_log")
    r <- tryCatch(km.ci(fit, conf.level = 0.95, method = m), error = function(e) NULL)
    lo <- up <- rep(NA, length(t))
    if (!is.null(r)) {
      idx <- match(t, r$time)
      lo <- r$lower[idx]
      up <- r$upper[idx]
    }
    out[[paste0(col, "_l")]] <- lo
    out[[paste0(col, "_u")]] <- up
  }
  band_rows[[length(band_rows) + 1]] <- out
}
write_ref(do.call(rbind, crit_rows), "bands_crit.csv",
          paste("n subjects; aL, aU from the Greenwood sums at the first event time and the last event time",
                "leaving someone at risk; hw_crit: uniroot(bridge_sup_prob(l, aL, aU, nt = 300, nx = 401) - 0.95,",
                "tol = 1e-7); ep_crit: uniroot(dnorm(x) ((x - 1/x) L + 4/x) - 0.05), L = log odds ratio of aU, aL"))
write_ref(do.call(rbind, band_rows), "bands_limits.csv",
          paste("band limits at the event times of the band with hw_crit and ep_crit of bands_crit.csv",
                "(km.ci formulas, not clipped to [0, 1]); kmci_*: km.ci(survfit, 0.95, method =",
                "hall-wellner, loghall, epband, logep) with its tabled critical values"))

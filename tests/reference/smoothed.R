# Reference values for the kernel-smoothed hazard: the Nelson-Aalen
# increments smoothed with the Epanechnikov, uniform and biweight kernels,
# boundary-corrected near both ends of the grid, the pointwise variance and
# log-type limits, and the cross-validation estimate of the mean integrated
# squared error (MISE) over a grid of bandwidths.
#
#   Rscript tests/reference/smoothed.R     (from the repository root; or as a
#                                           section of make.R)
#
# No R package smooths the hazard with these boundary kernels, so this script
# computes everything from the definitions, independently of the C++ code:
#  - the increments dH = d / n and d / n^2 at each event time come from
#    survival::survfit (weighted counts with weights);
#  - the boundary kernel at distance q (in bandwidths) from an end is
#    c K(x) (alpha + beta x) on [-1, q], alpha and beta solving the moment
#    conditions (integral 1, first moment 0) by numerical integration,
#    not from closed forms;
#  - the estimate at t is (c / b) sum w_i dH_i, the variance
#    (c / b)^2 sum w_i^2 d_i / n_i^2, boundary sums below 0 are 0; the lower
#    boundary applies for t < b (measured from time 0), the upper one for
#    t + b > tr, the lower one when both do;
#  - MISE(b) = trapezoidal integral of the squared estimate over nmingrid
#    points of [tl, tr] - (4 c / b) sum over pairs i < j of event times in
#    [tl, tr] with T_j - T_i <= b of K((T_j - T_i) / b) dH_i dH_j.
# The script checks itself: away from the boundaries its estimate must equal
# a plain kernel smoother written as a matrix product, and R's own kernel
# density estimate (stats::density, weights dH, the same kernel) within its
# binning error.

suppressPackageStartupMessages(library(survival))

if (!exists("ref_dir")) ref_dir <- file.path("tests", "reference")
if (!exists("write_ref")) source(file.path(ref_dir, "write_ref.R"))

ex <- function(f) read.csv(file.path("examples", f), stringsAsFactors = FALSE)

kern <- list(E = function(x) 1 - x^2, U = function(x) rep(1, length(x)),
             B = function(x) (1 - x^2)^2)
cst <- c(E = 0.75, U = 0.5, B = 15 / 16)
# The kernels as stats::density names them, with the standard deviation of
# the kernel on [-1, 1] (density's bw).
dens <- list(E = c("epanechnikov", sqrt(1 / 5)), U = c("rectangular", sqrt(1 / 3)),
             B = c("biweight", sqrt(1 / 7)))

# alpha and beta of the boundary kernel at q, from the moments of c K on
# [-1, q].
boundary <- function(k, q) {
  m <- sapply(0:2, function(p)
    integrate(function(x) cst[[k]] * kern[[k]](x) * x^p, -1, q, rel.tol = 1e-13,
              subdivisions = 200)$value)
  det <- m[1] * m[3] - m[2]^2
  c(alpha = m[3] / det, beta = -m[2] / det)
}

# The estimate and its variance at t.
smooth_at <- function(t, s, b, k) {
  if (t - s$tr > 1e-8) return(c(NA, NA))
  d <- t - s$T
  inw <- abs(d) <= b
  x <- d[inw] / b
  w <- kern[[k]](x)
  edge <- FALSE
  if (t < b) {
    ab <- boundary(k, t / b)
    w <- w * (ab[["alpha"]] + ab[["beta"]] * x)
    edge <- TRUE
  } else if (t + b > s$tr) {
    ab <- boundary(k, min(max((s$tr - t) / b, 0), 1))
    w <- w * (ab[["alpha"]] - ab[["beta"]] * x)
    edge <- TRUE
  }
  S <- sum(w * s$dH[inw])
  V <- sum(w^2 * s$dV[inw])
  if (edge) S <- max(S, 0)
  cb <- cst[[k]] / b
  c(S * cb, V * cb^2)
}

grid_of <- function(tl, tr, n) c(tl + (0:(n - 2)) * (tr - tl) / (n - 1), tr)

mise_of <- function(s, b, k, m = 51) {
  x <- grid_of(s$tl, s$tr, m)
  h2 <- sapply(x, function(t) smooth_at(t, s, b, k)[1])^2
  I <- (x[2] - x[1]) / 2 * sum(h2[-1] + h2[-m])
  keep <- s$T >= s$tl & s$T <= s$tr
  T <- s$T[keep]
  dH <- s$dH[keep]
  D <- outer(T, T, "-")            # D[j, i] = T_j - T_i
  P <- outer(dH, dH)
  sel <- lower.tri(D) & D <= b     # i < j
  X <- sum(kern[[k]](D[sel] / b) * P[sel])
  I - X * 4 * cst[[k]] / b
}

# A stratum's increments: time, event, optional weight.
increments <- function(d, tl, tr_given = NA, weighted = FALSE) {
  f <- if (weighted) survfit(Surv(time, event) ~ 1, data = d, weights = w) else
    survfit(Surv(time, event) ~ 1, data = d)
  ev <- f$n.event > 0
  s <- list(T = f$time[ev], dH = f$n.event[ev] / f$n.risk[ev],
            dV = f$n.event[ev] / f$n.risk[ev]^2, tl = tl,
            events = sum(d$event))
  if (!is.na(tr_given)) {
    s$tr <- tr_given
  } else if (weighted) {
    # The fifth observation from the top (frequencies counted, censored
    # ones too).
    o <- sort(d$time, decreasing = TRUE)
    s$tr <- o[5]
  } else {
    s$tr <- max(d$time[d$event == 1])
  }
  s
}

sample_of <- function(file, time, status, event, by = NULL, value = NULL) {
  d <- ex(file)
  if (!is.null(by)) d <- d[as.character(d[[by]]) == as.character(value), ]
  data.frame(time = as.numeric(d[[time]]), event = as.integer(d[[status]] == event),
             w = if ("karno" %in% names(d)) d$karno / 50 else 1)
}

samples <- list(
  aml_m = sample_of("aml.csv", "time", "status", 1, "x", "Maintained"),
  lung = sample_of("lung.csv", "time", "status", 2),
  lung_f = sample_of("lung.csv", "time", "status", 2, "sex", 2),
  veteran_1 = sample_of("veteran.csv", "time", "status", 1, "trt", 1),
  veteran_w = sample_of("veteran.csv", "time", "status", 1),
  ovarian = sample_of("ovarian.csv", "futime", "fustat", 1)
)

# The cases: sample, weighted, GRIDL (tl), GRIDU (or NA), bandwidth, kernels.
cases <- list(
  list(id = "aml_m", weighted = FALSE, tl = 0, tr = NA, b = 10, k = c("E", "U", "B")),
  # Both boundaries at once for 18 < t < 30: the lower one is used.
  list(id = "aml_m", weighted = FALSE, tl = 0, tr = NA, b = 30, k = c("E")),
  list(id = "lung", weighted = FALSE, tl = 0, tr = NA, b = 100, k = c("E", "U", "B")),
  list(id = "lung_f", weighted = FALSE, tl = 30, tr = NA, b = 80, k = c("E", "B")),
  list(id = "veteran_1", weighted = FALSE, tl = 0, tr = 300, b = 60, k = c("B", "U")),
  list(id = "veteran_w", weighted = TRUE, tl = 0, tr = NA, b = 50, k = c("E")),
  list(id = "ovarian", weighted = FALSE, tl = 0, tr = NA, b = 200, k = c("U"))
)
z <- qnorm(0.975)

# Boundary coefficients.
coef <- do.call(rbind, lapply(names(kern), function(k)
  do.call(rbind, lapply(seq(0, 1, by = 0.125), function(q) {
    ab <- boundary(k, q)
    data.frame(kernel = k, q = q, alpha = ab[["alpha"]], beta = ab[["beta"]])
  }))))
write_ref(coef, "smoothed_coef.csv",
          "alpha, beta of the boundary kernel c K(x) (alpha + beta x) on [-1, q] from its moments (stats::integrate)")

haz <- list()
for (cs in cases) {
  s <- increments(samples[[cs$id]], cs$tl, cs$tr, cs$weighted)
  for (k in cs$k) {
    t <- grid_of(s$tl, s$tr, 101)
    est <- t(sapply(t, function(u) smooth_at(u, s, cs$b, k)))
    h <- est[, 1]
    se <- sqrt(est[, 2])
    r <- se / h
    ok <- h >= 1.110223024625157e-16 & r < 5
    lower <- ifelse(ok, h / exp(z * r), NA)
    upper <- ifelse(ok, h * exp(z * r), NA)
    # Self-check away from both boundaries: a plain smoother (no boundary
    # kernel) as a matrix product, and stats::density with weights dH.
    inner <- t >= cs$b & t + cs$b <= s$tr
    if (any(inner)) {
      D <- outer(t[inner], s$T, "-")
      W <- ifelse(abs(D) <= cs$b, kern[[k]](D / cs$b), 0)
      plain <- as.vector(W %*% s$dH) * cst[[k]] / cs$b
      stopifnot(max(abs(plain - h[inner])) <= 1e-12 * max(abs(plain)))
      dn <- density(s$T, weights = s$dH / sum(s$dH), kernel = dens[[k]][1],
                    bw = cs$b * as.numeric(dens[[k]][2]), n = 2^14,
                    from = min(s$T) - 2 * cs$b, to = max(s$T) + 2 * cs$b)
      viaDensity <- approx(dn$x, dn$y, t[inner])$y * sum(s$dH)
      # density bins the data: away from the jumps of the uniform kernel its
      # error is a few bin widths' worth.
      far <- sapply(t[inner], function(u) all(abs(abs(u - s$T) - cs$b) > 4 * diff(dn$x[1:2])))
      stopifnot(max(abs(viaDensity - h[inner])[far]) <= 1e-3 * max(abs(h[inner])))
    }
    haz[[length(haz) + 1]] <- data.frame(case = cs$id, kernel = k, b = cs$b, tl = s$tl, tr = s$tr,
                                         time = t, hazard = h, stderr = se, lower = lower,
                                         upper = upper)
  }
}
write_ref(do.call(rbind, haz), "smoothed_hazard.csv",
          "kernel-smoothed hazard of survfit's d/n with boundary kernels, its standard error and log-type 95% limits, 101 grid points")

# MISE over a grid of bandwidths, and the least MISE over a fine grid.
mcases <- list(
  list(id = "aml_m", weighted = FALSE, k = c("E", "U", "B")),
  list(id = "lung", weighted = FALSE, k = c("E", "B")),
  list(id = "veteran_1", weighted = FALSE, k = c("U")),
  list(id = "veteran_w", weighted = TRUE, k = c("E"))
)
mrows <- list()
crows <- list()
for (cs in mcases) {
  s <- increments(samples[[cs$id]], 0, NA, cs$weighted)
  pilot <- (s$tr - s$tl) / (8 * s$events^0.2)
  for (k in cs$k) {
    bw <- pilot * exp(seq(log(0.2), log(20), length.out = 12))
    m <- sapply(bw, function(b) mise_of(s, b, k))
    mrows[[length(mrows) + 1]] <- data.frame(case = cs$id, kernel = k, tl = s$tl, tr = s$tr,
                                             bw = bw, mise = m)
    fine <- pilot * exp(seq(log(0.2), log(20), length.out = 801))
    fm <- sapply(fine, function(b) mise_of(s, b, k))
    crows[[length(crows) + 1]] <- data.frame(case = cs$id, kernel = k, pilot = pilot,
                                             best_bw = fine[which.min(fm)], best_mise = min(fm))
  }
}
write_ref(do.call(rbind, mrows), "smoothed_mise.csv",
          "MISE of the smoothed hazard (51-point trapezoid and pair cross term) at 12 bandwidths from 0.2 to 20 pilot bandwidths")
write_ref(do.call(rbind, crows), "smoothed_choice.csv",
          "least MISE over 801 bandwidths from 0.2 to 20 pilot bandwidths, pilot = (tr - tl) / (8 events^0.2)")

# Peer reference values of the exact single-step Tukey p-values,
# P(max_s |Z_s| >= |z_r|), on the log-rank scores of real strata of the
# example data (survdiff's obs - exp and var; the comparison of strata a and
# b is (U_a - U_b) / sd, as in mcomp.R). Sourced by make.R; uses survival,
# mvtnorm and multcomp. Takes some 20 minutes.
#
#   lung4   lung by ph_ecog: 4 strata, one of a single subject. The six
#           differences have rank 3 but nearly rank 2. Peer "integrate":
#           the probability by R's adaptive quadrature (integrate, nested):
#           X = A W with W standard normal in 3 dimensions, A a factor of
#           the correlation turned so that every row has a non-zero last
#           coordinate; the last coordinate in closed form (the normal
#           probability of its interval), the other two by quadrature, to a
#           relative 1e-9. multcomp's single-step (GenzBretz, abseps 1e-6) is
#           kept beside it as peer "multcomp": on this covariance mvtnorm's
#           singular integration gives 9.95e-5 for the comparison of ph_ecog
#           0 and 2, whose probability is 2.201e-4 (a Monte Carlo run of 2e8
#           draws gives 2.202e-4 +- 1e-6).
#   vet8    veteran by celltype and trt: 8 strata, rank 7. Peer "multcomp",
#           GenzBretz with abseps 1e-5.
#   colon9  colon by rx and differ: 9 strata, rank 8. Peer "multcomp",
#           GenzBretz with abseps 1e-5.
# The error column is the peer's own error estimate.
suppressPackageStartupMessages({
  library(survival)
  library(mvtnorm)
  library(multcomp)
})
ex <- function(f) read.csv(file.path("examples", paste0(f, ".csv")), stringsAsFactors = FALSE)
pk <- function(v) sprintf("%.17g", v)
bar <- function(v) paste(pk(v), collapse = "|")

logrank <- function(time, event, g) {
  ok <- !is.na(g) & !is.na(time) & !is.na(event)
  g <- factor(g[ok])
  fit <- survdiff(Surv(time[ok], event[ok]) ~ g)
  list(U = setNames(fit$obs - fit$exp, levels(g)), V = fit$var)
}

# The pairwise differences, row by row as the comparisons list them
# (level i minus level j, i < j), and their statistics.
pairs <- function(s) {
  k <- length(s$U)
  K <- -contrMat(setNames(rep(1, k), names(s$U)), "Tukey")
  S <- K %*% s$V %*% t(K)
  list(K = K, S = S, z = as.vector(K %*% s$U) / sqrt(diag(S)))
}

multcompP <- function(s, abseps) {
  d <- pairs(s)
  set.seed(20261207)
  sm <- summary(glht(parm(s$U, s$V), linfct = d$K),
                test = adjusted("single-step", algorithm = GenzBretz(abseps = abseps, maxpts = 1e8)))
  list(p = as.vector(sm$test$pvalues), error = rep(attr(sm$test$pvalues, "error"), length(d$z)))
}

# P(max |X_s| >= t) for a correlation of rank 3, by nested quadrature.
integrateP <- function(s) {
  d <- pairs(s)
  R <- cov2cor(d$S)
  e <- eigen(R, symmetric = TRUE)
  r <- sum(e$values > 1e-10 * e$values[1])
  stopifnot(r == 3)
  A <- e$vectors[, 1:r] %*% diag(sqrt(e$values[1:r]))
  set.seed(7)
  A <- A %*% qr.Q(qr(matrix(rnorm(r * r), r)))
  tail3 <- function(t) {
    # The complement's integrand: outside the last coordinate's interval.
    inner <- function(w1, w2) {
      s <- A[, 1] * w1 + A[, 2] * w2
      c <- A[, 3]
      lo <- max(pmin((-t - s) / c, (t - s) / c))
      hi <- min(pmax((-t - s) / c, (t - s) / c))
      if (hi <= lo) 1 else pnorm(lo) + pnorm(hi, lower.tail = FALSE)
    }
    err <- 0
    f2 <- function(w1) {
      sapply(w1, function(a) {
        q <- integrate(function(w2) sapply(w2, function(b) inner(a, b)) * dnorm(w2), -Inf, Inf,
                       rel.tol = 1e-9, abs.tol = 1e-14, subdivisions = 5000, stop.on.error = FALSE)
        err <<- max(err, q$abs.error)
        q$value
      }) * dnorm(w1)
    }
    q <- integrate(f2, -Inf, Inf, rel.tol = 1e-9, abs.tol = 1e-14, subdivisions = 5000,
                   stop.on.error = FALSE)
    c(q$value, q$abs.error + err)
  }
  v <- sapply(abs(d$z), tail3)
  list(p = v[1, ], error = v[2, ])
}

rows <- list()
add <- function(case, peer, s, res) {
  d <- pairs(s)
  rows[[length(rows) + 1]] <<- data.frame(
    case = case, peer = peer, k = length(s$U), U = bar(s$U),
    V = bar(unlist(lapply(seq_len(nrow(s$V)), function(i) s$V[i, 1:i]))),
    row = seq_along(d$z) - 1, z = pk(d$z), p = pk(res$p), error = pk(res$error))
}

lung <- ex("lung")
veteran <- ex("veteran")
colon <- ex("colon")
lung4 <- logrank(lung$time, lung$status == 2, lung$ph_ecog)
add("lung4", "integrate", lung4, integrateP(lung4))
add("lung4", "multcomp", lung4, multcompP(lung4, 1e-6))
vet8 <- logrank(veteran$time, veteran$status == 1,
                interaction(veteran$celltype, veteran$trt, drop = TRUE))
add("vet8", "multcomp", vet8, multcompP(vet8, 1e-5))
colon9 <- logrank(colon$time, colon$status == 1, interaction(colon$rx, colon$differ, drop = TRUE))
add("colon9", "multcomp", colon9, multcompP(colon9, 1e-5))
write_ref(do.call(rbind, rows), "mcomp_exact.csv",
          "exact single-step Tukey p-values on log-rank scores: nested integrate (lung4) and multcomp glht single-step (GenzBretz); see mcomp_exact.R")

# Reference values for the numerical library (distributions, quantiles, band
# distributions, bivariate normal, quadrature, splines, matrices).
# Sourced by make.R; uses R's stats, splines and mvtnorm.

suppressPackageStartupMessages(library(mvtnorm))

# ---- chi-square upper tails -------------------------------------------------
chi <- expand.grid(df = c(1, 2, 3, 5, 10, 30, 100, 1000, 1e5),
                   ratio = c(1e-6, 0.01, 0.3, 0.9, 1, 1.1, 2, 5, 20))
chi$chisq <- chi$df * chi$ratio
extra <- data.frame(df = c(1, 1, 2, 1, 4, 7, 2, 3, 0.5, 0.01, 1e-3, 0.2, 1e7, 1e7, 3e9, 3e9),
                    chisq = c(3.841458820694124, 1e-300, 1380, 1300, 1400, 1e-12, 1e-3, 60,
                              0.2, 0.5, 3, 1e-5, 0.9e7, 1.1e7, 2.4e9, 3.6e9))
extra$ratio <- extra$chisq / extra$df
chi <- rbind(chi, extra[, names(chi)])
chi$upper <- pchisq(chi$chisq, chi$df, lower.tail = FALSE)
chi$lower <- pchisq(chi$chisq, chi$df)
chi$logdens <- dchisq(chi$chisq, chi$df, log = TRUE)
write_ref(chi[, c("chisq", "df", "upper", "lower")], "numeric_chisq.csv",
          "pchisq(chisq, df, lower.tail = FALSE) and pchisq(chisq, df)")

# ---- gamma probabilities on the log scale, densities -----------------------
ga <- expand.grid(a = c(1e-3, 0.1, 0.5, 0.9, 1, 1.5, 3.5, 10, 12.5, 100, 1e4),
                  ratio = c(1e-4, 0.05, 0.5, 0.8, 1, 1.25, 2, 4, 50, 150))
ga$z <- ga$a * ga$ratio
gx <- data.frame(a = c(2, 5, 0.5, 1e-9 * 2, 30, 1e3, 1e3, 1.5e9, 1.5e9),
                 z = c(700, 1e3, 1e4, 1e-3, 1e-250, 900, 1100, 1.2e9, 1.8e9))
ga <- rbind(ga[, c("a", "z")], gx)
ga$P <- pgamma(ga$z, ga$a)
ga$Q <- pgamma(ga$z, ga$a, lower.tail = FALSE)
ga$logP <- pgamma(ga$z, ga$a, log.p = TRUE)
ga$logQ <- pgamma(ga$z, ga$a, lower.tail = FALSE, log.p = TRUE)
ga$density <- dgamma(ga$z, ga$a)
ga$logdensity <- dgamma(ga$z, ga$a, log = TRUE)
write_ref(ga, "numeric_gamma.csv",
          "pgamma(z, a) [lower.tail = FALSE] [log.p = TRUE]; dgamma(z, a) [log = TRUE]")

# ---- gamma quantiles --------------------------------------------------------
qg <- expand.grid(a = c(0.05, 0.5, 1, 2.5, 10, 150, 1e4), p = c(1e-10, 1e-3, 0.05, 0.3, 0.5, 0.9, 0.999))
qg$qlower <- qgamma(qg$p, qg$a)
qg$qupper <- qgamma(qg$p, qg$a, lower.tail = FALSE)
write_ref(qg, "numeric_qgamma.csv", "qgamma(p, a) and qgamma(p, a, lower.tail = FALSE)")

# ---- log-gamma --------------------------------------------------------------
lx <- c(1e-300, 1e-100, 1e-10, 1e-3, 0.1, 0.3, 0.5, 0.75, 0.999, 1 + 1e-10, 1.1, 1.25, 1.4999,
        1.5, 1.5001, 1.75, 1.9, 1.99, 2 - 1e-9, 2 + 1e-9, 2.5, 3.3, 7.2, 9.5, 14.9, 15, 15.1, 33.3,
        100, 1e3, 1e5, 1e10, 1e100, 1e300)
write_ref(data.frame(x = lx, lgamma = lgamma(lx)), "numeric_lgamma.csv", "lgamma(x)")

mv <- expand.grid(a = c(1.3, 2.5, 7, 40), m = 1:7)
mv <- mv[mv$a - (mv$m - 1) / 2 > 0, ]
mv$value <- mapply(function(a, m) m * (m - 1) / 4 * log(pi) + sum(lgamma(a - (0:(m - 1)) / 2)), mv$a, mv$m)
write_ref(mv, "numeric_lgammamv.csv", "m (m-1)/4 log(pi) + sum(lgamma(a - (0:(m-1))/2))")

# ---- normal distribution ----------------------------------------------------
nx <- c(-40, -38, -30, -20, -10, -8, -5.0001, -5, -4.9999, -3, -1.5, -0.6629, -0.5, -0.1, -1e-8,
        0, 1e-8, 0.1, 0.5, 0.6629, 1, 2.5, 4.9999, 5, 6, 8, 8.3, 9, 10, 20, 38)
nr <- data.frame(x = nx, Phi = pnorm(nx), upper = pnorm(nx, lower.tail = FALSE),
                 logPhi = pnorm(nx, log.p = TRUE), logupper = pnorm(nx, lower.tail = FALSE, log.p = TRUE),
                 logdens = dnorm(nx, log = TRUE))
# Mills ratio (1 - Phi(x)) / phi(x)
nr$mills <- exp(nr$logupper - nr$logdens)
write_ref(nr, "numeric_normal.csv",
          "pnorm(x) [lower.tail = FALSE] [log.p = TRUE]; dnorm(x, log = TRUE); mills = exp(logupper - logdens)")

qp <- c(1e-300, 1e-200, 1e-100, 1e-50, 1e-20, 1e-17, 0.99e-16, 1e-16, 1.01e-16, 1e-15, 1e-10,
        1e-5, 1e-3, 0.00999, 0.01, 0.01001, 0.025, 0.1, 0.3, 0.4999, 0.5, 0.5001, 0.7, 0.9, 0.975,
        0.99, 0.999, 0.999999, 1 - 1e-12, 1 - 1e-15)
write_ref(data.frame(p = qp, quantile = qnorm(qp)), "numeric_qnorm.csv", "qnorm(p)")

# ---- inverse Gaussian distribution function (mean 1, shape d) ---------------
ig <- expand.grid(x = c(1e-3, 0.2, 0.7, 1, 1.6, 4, 30), d = c(0.05, 0.5, 2, 10, 200))
s <- sqrt(ig$x)
ig$cdf <- pnorm((s - 1 / s) * sqrt(ig$d)) + exp(2 * ig$d + pnorm(-(s + 1 / s) * sqrt(ig$d), log.p = TRUE))
write_ref(ig, "numeric_invgauss.csv",
          "pnorm((s - 1/s) sqrt(d)) + exp(2 d + pnorm(-(s + 1/s) sqrt(d), log.p = TRUE)), s = sqrt(x)")

# ---- differences of normal probabilities -----------------------------------
dn <- data.frame(a = c(1, -2, 3, 0.5, 6, -1 + 5e-5, 2 + 1e-7, -4 + 3e-6, 7.00001),
                 b = c(0, -3, 2, -0.5, 5, -1, 2, -4, 7))
dn$delta <- dn$a - dn$b
dn$diff <- mapply(function(a, b) {
  if (a > 0 && b > 0 && abs(a - b) > 0.01) pnorm(b, lower.tail = FALSE) - pnorm(a, lower.tail = FALSE)
  else integrate(dnorm, b, a, rel.tol = 1.2e-14, abs.tol = 0)$value
}, dn$a, dn$b)
write_ref(dn, "numeric_diffnormal.csv",
          "upper-tail difference for positive arguments more than 0.01 apart, else integrate(dnorm, b, a, rel.tol = 1.2e-14)")

# ---- finite normal mixtures --------------------------------------------------
mixes <- list(
  list(w = c(0.3, 0.7), mu = c(0, 3), sd = c(1, 0.5)),
  list(w = c(1, 2, 1), mu = c(-2, 1, 5), sd = c(0.5, 2, 1)),
  list(w = 1, mu = 1.5, sd = 2))
mrows <- list()
for (i in seq_along(mixes)) {
  m <- mixes[[i]]
  w <- m$w / sum(m$w)
  cdf <- function(x) sum(w * pnorm(x, m$mu, m$sd))
  for (x in c(-6, -1, 0.7, 2.5, 4, 12)) {
    lpl <- log(sum(w * pnorm(x, m$mu, m$sd)))
    lpr <- log(sum(w * pnorm(x, m$mu, m$sd, lower.tail = FALSE)))
    ld <- log(sum(w * dnorm(x, m$mu, m$sd)))
    mrows[[length(mrows) + 1]] <- data.frame(mix = i, kind = "point", arg = x, lpl = lpl, lpr = lpr, ldens = ld)
  }
  for (p in c(1e-6, 0.05, 0.4, 0.75, 0.999)) {
    qv <- uniroot(function(x) cdf(x) - p, c(-60, 60), tol = 1e-13)$root
    mrows[[length(mrows) + 1]] <- data.frame(mix = i, kind = "quantile", arg = p, lpl = qv, lpr = NA, ldens = NA)
  }
}
write_ref(do.call(rbind, mrows), "numeric_mixture.csv",
          paste("mixtures 1: w (0.3,0.7) mu (0,3) sd (1,0.5); 2: w (1,2,1) mu (-2,1,5) sd (0.5,2,1);",
                "3: w 1 mu 1.5 sd 2. point rows: log sum w pnorm, log sum w upper tails, log sum w dnorm;",
                "quantile rows: uniroot(cdf - p, tol = 1e-13) in column lpl"))

# ---- bivariate normal ---------------------------------------------------------
bv <- expand.grid(x = c(-6, -2.5, -0.7, 0, 0.3, 1.9, 4), y = c(-3.1, -0.2, 0, 0.8, 2.2, 7),
                  rho = c(-0.999, -0.9, -0.5, -0.1, 1e-10, 0.05, 0.4, 0.8, 0.99))
bv <- rbind(bv, data.frame(x = c(1.2, -0.4, 2, 0.5, -3, 1e-13, 1e-13, 5e-13),
                           y = c(-1.2, 0.4, -1.99999999, 0.9, 3, 1.3, -2, 1e-13),
                           rho = c(-1, -1, -1, 1, 1, 0.6, -0.3, 0.2)))
bv$p <- mapply(function(x, y, r) {
  if (abs(r) == 1) {
    if (r == 1) return(pnorm(min(x, y)))
    return(max(0, pnorm(x) - pnorm(-y)))
  }
  pmvnorm(upper = c(x, y), corr = matrix(c(1, r, r, 1), 2), algorithm = TVPACK(abseps = 1e-15))[1]
}, bv$x, bv$y, bv$rho)
write_ref(bv, "numeric_bivnorm.csv",
          "mvtnorm::pmvnorm(upper = c(x, y), corr, algorithm = TVPACK(abseps = 1e-15)); |rho| = 1 in closed form")

# ---- Owen's T function ------------------------------------------------------
ot <- expand.grid(h = c(0, 0.3, 1, 2.5, 3.6, 6), a = c(1e-13, 0.05, 0.12, 0.5, 1 - 1e-13, 1, 1.7, 20))
ot$T <- mapply(function(h, a) {
  # For tiny a the integrand is flat: two terms of its Taylor series in t.
  if (a < 1e-6) return(exp(-h^2 / 2) * (a - (1 + h^2 / 2) * a^3 / 3) / (2 * pi))
  f <- function(t) exp(-h^2 * (1 + t^2) / 2) / (1 + t^2)
  v <- tryCatch(integrate(f, 0, a, rel.tol = 1.2e-14, abs.tol = 0)$value,
                error = function(e) integrate(f, 0, a, rel.tol = 1e-13, abs.tol = 0, subdivisions = 1000)$value)
  v / (2 * pi)
}, ot$h, ot$a)
write_ref(ot, "numeric_owent.csv",
          "integrate(exp(-h^2 (1 + t^2)/2)/(1 + t^2), 0, a, rel.tol = 1.2e-14) / (2 pi); a < 1e-6: exp(-h^2/2) (a - (1 + h^2/2) a^3/3) / (2 pi)")

# ---- Kolmogorov distribution -------------------------------------------------
pks2 <- get("C_pKS2", envir = asNamespace("stats"))
kl <- c(0.005, 0.01, 0.2, 0.5, 0.8, 0.9989, 0.999, 1, 1.2238, 1.3580986393225507, 1.6276, 2, 3, 3.4999, 4)
kv <- ifelse(kl > 0, .Call(pks2, kl, 1e-17), 0)
# The same distribution by its alternating series, summed far beyond need.
ks_series <- function(l) 1 - 2 * sum((-1)^(0:199) * exp(-2 * (1:200)^2 * l^2))
write_ref(data.frame(lambda = kl, K = kv, series = sapply(kl, ks_series)), "numeric_kolmogorov.csv",
          "stats C_pKS2(lambda, tol = 1e-17) (the limiting distribution ks.test uses); series = 1 - 2 sum (-1)^(k-1) exp(-2 k^2 lambda^2)")
kq <- c(0.5, 0.8, 0.9, 0.95, 0.99)
write_ref(data.frame(p = kq, quantile = sapply(kq, function(p)
  uniroot(function(l) .Call(pks2, l, 1e-17) - p, c(0.3, 3), tol = 1e-14)$root)),
  "numeric_kolmogorov_quantile.csv", "uniroot(C_pKS2(l, 1e-17) - p, tol = 1e-14)")

# ---- supremum of |Brownian bridge| over [aL, aU] ------------------------------
# P(sup over [aL, aU] of |B(t)| <= lambda) by propagating the density of B on
# a grid in [-lambda, lambda] between time points, each step weighted by the
# exact probability that the bridge between two grid values stays inside
# (1 - exp(-2 (lambda - x1)(lambda - x2)/dt) for each side). Accuracy about
# 1e-5; this checks the band series independently of its derivation.
bridge_sup_prob <- function(lambda, aL, aU, nt = 400, nx = 501) {
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
br <- data.frame(lambda = c(1.2, 0.9, 0.7, 1.2, 0.7, 0.6, 0.9, 1.5),
                 aL = c(0, 0, 0, 0.1, 0.3, 0.2, 0.5, 0.05),
                 aU = c(0.6, 0.3, 0.8, 0.6, 0.8, 0.9, 0.95, 0.5))
br$prob <- mapply(bridge_sup_prob, br$lambda, br$aL, br$aU)
# Critical values (quantiles) of the same supremum by root-finding on the grid.
bq <- data.frame(aL = c(0, 0.1, 0.2), aU = c(0.6, 0.6, 0.85), alpha = c(0.05, 0.05, 0.1))
bq$quantile <- mapply(function(aL, aU, alpha)
  uniroot(function(l) bridge_sup_prob(l, aL, aU, nt = 300, nx = 401) - (1 - alpha), c(0.8, 2), tol = 1e-7)$root,
  bq$aL, bq$aU, bq$alpha)
write_ref(bq, "numeric_bridge_quantile.csv",
          "uniroot(bridge_sup_prob(l, aL, aU, nt = 300, nx = 401) - (1 - alpha), tol = 1e-7): Hall-Wellner critical values, about 1e-5")
write_ref(br, "numeric_bridge.csv",
          "grid propagation of the Brownian bridge with exact between-point crossing weights (bridge_sup_prob in numeric.R), about 1e-5")

# ---- equal-precision band: the Miller-Siegmund equation -------------------
ep <- expand.grid(a1 = c(0.05, 0.1, 0.3), a2 = c(0.3, 0.6, 0.9, 0.99), alpha = c(0.01, 0.05, 0.1))
ep <- ep[ep$a1 <= ep$a2, ]
ep$root <- mapply(function(a1, a2, alpha) {
  L <- log((a2 / (1 - a2)) / (a1 / (1 - a1)))
  f <- function(x) dnorm(x) * ((x - 1 / x) * L + 4 / x) - alpha
  uniroot(f, c(1.2, 8), tol = 1e-14)$root
}, ep$a1, ep$a2, ep$alpha)
write_ref(ep, "numeric_qmsa.csv",
          "uniroot of dnorm(x) ((x - 1/x) L + 4/x) = alpha, L = log((a2/(1-a2)) / (a1/(1-a1))), tol = 1e-14")

# ---- B-spline basis ------------------------------------------------------------
knots <- c(0, 0, 0, 0, 1, 2.5, 3, 4, 4, 4, 4)
sp <- list()
for (deg in 1:3) {
  kn <- c(rep(0, deg), c(0, 1, 2.5, 3, 4), rep(4, deg))
  for (x in c(0, 0.3, 1, 1.7, 2.5, 2.9, 3.99)) {
    row <- splines::splineDesign(kn, x, ord = deg + 1)
    sp[[length(sp) + 1]] <- data.frame(degree = deg, x = x, col = seq_along(row) - 1, value = as.vector(row))
  }
}
write_ref(do.call(rbind, sp), "numeric_bspline.csv",
          "splines::splineDesign(c(rep(0, d), 0, 1, 2.5, 3, 4, rep(4, d)), x, ord = d + 1); col from 0")

# ---- matrices ------------------------------------------------------------------
set.seed(20261206)
mrows <- list()
add_matrix <- function(case, kind, m) {
  idx <- expand.grid(i = seq_len(nrow(m)) - 1, j = seq_len(ncol(m)) - 1)
  mrows[[length(mrows) + 1]] <<- data.frame(case = case, kind = kind, i = idx$i, j = idx$j,
                                            value = m[cbind(idx$i + 1, idx$j + 1)])
}
X <- matrix(rnorm(30), 6, 5)
S <- crossprod(X) + diag(5) * 0.1
add_matrix(1, "A", S)
add_matrix(1, "cholL", t(chol(S)))
G <- matrix(rnorm(28), 7, 4)
add_matrix(2, "A", G)
qrG <- qr(G)
Rm <- qr.R(qrG)
sgn <- sign(diag(Rm))
add_matrix(2, "Q", qr.Q(qrG) %*% diag(sgn))
add_matrix(2, "R", diag(sgn) %*% Rm)
Y <- matrix(rnorm(35), 5, 7)
add_matrix(3, "X", G)
add_matrix(3, "Y", t(Y[1:4, ]))
add_matrix(3, "XtY", crossprod(G, t(Y[1:4, ])))
write_ref(do.call(rbind, mrows), "numeric_matrix.csv",
          "case 1: chol of crossprod(X) + 0.1 I (t(chol(S))); case 2: qr(G) with positive diag(R); case 3: crossprod(X, Y); seed 20261206")

# ---- quadrature ----------------------------------------------------------------
qd <- data.frame(kind = c("normal", "gammatail", "gammatail", "gammatail", "owen", "owen"),
                 p1 = c(0, 3.5, 0.5, 12, 1.3, 0.2), p2 = c(1, 2, 0.1, 5, 0.8, 0.11))
qd$value <- c(1,
              gamma(3.5) * pgamma(2, 3.5, lower.tail = FALSE),
              gamma(0.5) * pgamma(0.1, 0.5, lower.tail = FALSE),
              gamma(12) * pgamma(5, 12, lower.tail = FALSE),
              integrate(function(t) exp(-1.3^2 * (1 + t^2) / 2) / (1 + t^2), 0, 0.8, rel.tol = 1.2e-14)$value / (2 * pi),
              integrate(function(t) exp(-0.2^2 * (1 + t^2) / 2) / (1 + t^2), 0, 0.11, rel.tol = 1.2e-14)$value / (2 * pi))
write_ref(qd, "numeric_quadrature.csv",
          "normal: integral of dnorm over the line (1); gammatail: gamma(p1) pgamma(p2, p1, lower.tail = FALSE) = int_p2^Inf t^(p1-1) e^-t; owen: integrate of the T(h = p1, a = p2) integrand")

# Peer reference values for the effect part of the levelization library:
# design rows under each coding (model.matrix with contrasts, poly(raw =
# TRUE), contr.poly), weighted crossproducts, coefficients, sums of squares
# and hypothesis tests (crossprod, lm.wfit, anova), spline bases
# (splines::splineDesign and bs at our knots; bs and ns spans for the
# truncated power bases), percentile knots (quantile(type = 2)) and
# polynomial terms (poly(raw = TRUE)). Run from the repository root through
#   Rscript tests/reference/make.R levelize
# Writes tests/reference/levelize_*.csv. The data set levelize_data.csv is
# read by the C++ tests through the host, so both sides see the same values.
#
# Column order of the library: per effect, the class part (nested variables
# outer, crossed inner, the last crossed variable fastest) and then the
# continuous value; the R columns are selected by name in that order.
# Knots of equally spaced B-splines follow the library's definition (a
# running sum from the data range, boundary knots an epsilon outside it);
# the basis values at those knots are splineDesign's. Percentile knots with
# a frequency variable are the type-2 quantiles of the sample with each
# value repeated by its frequency.
suppressMessages(library(splines))
invisible(Sys.setlocale("LC_COLLATE", "C"))

set.seed(20261207)
n <- 40
i <- 0:(n - 1)
dat <- data.frame(
  a = c("a", "b", "c")[i %% 3 + 1],
  b = c("x", "y")[(i %/% 3) %% 2 + 1],
  c = (i %/% 2) %% 4 + 1,
  x = round(runif(n, 0.2, 9.8), 2),
  y1 = 0, y2 = round(rnorm(n), 3),
  w = round(runif(n, 0.5, 2), 3),
  f = sample(1:3, n, TRUE),
  stringsAsFactors = FALSE)
dat$y1 <- round(3 + 0.4 * dat$x + (dat$a == "b") - 0.5 * (dat$b == "y") + rnorm(n, sd = 0.7), 3)
# The data set is read through the host, as a plain CSV file.
local({
  cols <- lapply(dat, function(v) if (is.numeric(v)) sprintf("%.17g", v) else v)
  writeLines(c(paste(names(dat), collapse = ","), do.call(paste, c(cols, sep = ","))),
             file.path(ref_dir, "levelize_data.csv"))
})

a <- factor(dat$a); b <- factor(dat$b); cf <- factor(dat$c); x <- dat$x
stopifnot(all(table(a, b) > 0), all(table(a, cf) > 0))

# One design per case, its columns in the library's order.
designs <- list()
add_design <- function(case, X, cols) {
  X <- X[, cols, drop = FALSE]
  idx <- expand.grid(obs = seq_len(nrow(X)) - 1, col = seq_along(cols) - 1)
  designs[[length(designs) + 1]] <<- data.frame(case = case, obs = idx$obs, col = idx$col,
                                                value = X[cbind(idx$obs + 1, idx$col + 1)])
  X
}
poly_c <- poly(dat$c, 3, raw = TRUE)
colnames(poly_c) <- c("p1", "p2", "p3")

# Reference coding, the last level the reference: A, B, A*B, C (powers of
# its values), x, x*A.
Xr <- model.matrix(~ a + b + a:b + x + a:x, data.frame(a, b, x),
                   contrasts.arg = list(a = contr.treatment(levels(a), base = 3),
                                        b = contr.treatment(levels(b), base = 2)))
Xr <- cbind(Xr, poly_c)
Xref <- add_design("reference", Xr, c("(Intercept)", "aa", "ab", "bx", "aa:bx", "ab:bx",
                                      "p1", "p2", "p3", "x", "aa:x", "ab:x"))
# Effect coding (deviations from the last level).
Xe <- model.matrix(~ a + b + a:b + x + a:x, data.frame(a, b, x),
                   contrasts.arg = list(a = "contr.sum", b = "contr.sum"))
add_design("effect", Xe, c("(Intercept)", "a1", "a2", "b1", "a1:b1", "a2:b1", "x", "a1:x", "a2:x"))
# Without an intercept the first effect keeps every level.
Xn <- model.matrix(~ a + b - 1, data.frame(a, b),
                   contrasts.arg = list(b = contr.treatment(levels(b), base = 2)))
add_design("nointercept", Xn, c("aa", "ab", "ac", "bx"))
# Not full rank: one column per level combination (indicators); C nested in A.
Xl <- cbind(1, model.matrix(~ a - 1), model.matrix(~ b - 1),
            model.matrix(~ a:b - 1), model.matrix(~ a:cf - 1), x)
colnames(Xl)[1] <- "(Intercept)"
nested <- as.vector(t(outer(paste0("a", levels(a)), paste0("cf", levels(cf)), paste, sep = ":")))
crossed <- as.vector(t(outer(paste0("a", levels(a)), paste0("b", levels(b)), paste, sep = ":")))
Xless <- add_design("lessthanfull", Xl, c("(Intercept)", paste0("a", levels(a)), paste0("b", levels(b)),
                                          crossed, nested, "x"))
# Orthogonal polynomial coding of C: contr.poly over its values, scaled by
# the square root of the level count (columns are compared up to sign).
Xo <- cbind(1, (contr.poly(4, scores = 1:4) * 2)[dat$c, ])
colnames(Xo) <- c("(Intercept)", "o1", "o2", "o3")
add_design("opoly", Xo, colnames(Xo))
write_ref(do.call(rbind, designs), "levelize_design.csv",
          "model.matrix (contr.treatment(base = last), contr.sum, indicators), poly(c, 3, raw = TRUE), contr.poly(4) * 2; library column order")

# Weighted crossproducts and the fit of y1, y2 on the reference design.
Y <- cbind(y1 = dat$y1, y2 = dat$y2)
packed <- function(M) {
  idx <- which(lower.tri(M, diag = TRUE), arr.ind = TRUE)
  idx <- idx[order(idx[, 1], idx[, 2]), , drop = FALSE]
  data.frame(i = idx[, 1] - 1, j = idx[, 2] - 1, value = M[idx])
}
fits <- list()
add_fit <- function(case, what, df) fits[[length(fits) + 1]] <<- cbind(case = case, what = what, df)
XY <- cbind(Xref, Y)
add_fit("reference", "xpx", packed(crossprod(XY * sqrt(dat$w))))
wf <- lm.wfit(Xref, Y, dat$w)
B <- wf$coefficients
add_fit("reference", "beta", data.frame(i = rep(0:1, each = nrow(B)), j = rep(seq_len(nrow(B)) - 1, 2),
                                        value = c(B[, 1], B[, 2])))
E <- Y - Xref %*% B
add_fit("reference", "sse", packed(crossprod(E * sqrt(dat$w))))
add_fit("reference", "sst", packed(crossprod(Y * sqrt(dat$w))))
# The x*A columns (the last two): the hypothesis sum of squares, which is
# the sequential sum of squares of the last term.
G <- solve(crossprod(Xref * sqrt(dat$w)))
L <- matrix(0, 2, ncol(Xref)); L[1, 11] <- 1; L[2, 12] <- 1
Lb <- L %*% B
SS <- t(Lb) %*% solve(L %*% G %*% t(L)) %*% Lb
rss <- function(X) deviance(lm(dat$y1 ~ X - 1, weights = dat$w))
stopifnot(abs(SS[1, 1] - (rss(Xref[, 1:10]) - rss(Xref))) < 1e-8)
add_fit("reference", "testss", packed(SS))
add_fit("reference", "testest", data.frame(i = rep(0:1, 2), j = rep(0:1, each = 2), value = as.vector(t(Lb))))
# Not full rank, unweighted, y1: the error sum of squares of the aliased
# design and the test of x (the last column).
fit_less <- lm(dat$y1 ~ Xless - 1)
add_fit("lessthanfull", "xpx", packed(crossprod(cbind(Xless, dat$y1))))
add_fit("lessthanfull", "sse", data.frame(i = 0, j = 0, value = deviance(fit_less)))
an_less <- anova(lm(dat$y1 ~ Xless[, -ncol(Xless)] - 1), fit_less)
add_fit("lessthanfull", "testss", data.frame(i = 0, j = 0, value = an_less[2, "Sum of Sq"]))
add_fit("lessthanfull", "rank", data.frame(i = 0, j = 0, value = fit_less$rank))
write_ref(do.call(rbind, fits), "levelize_fit.csv",
          "crossprod(sqrt(w) [X Y]), lm.wfit coefficients, weighted residual and raw crossproducts, (Lb)'(L G L')^-1 (Lb); lm/anova for the design that is not of full rank")

# ---- spline bases -----------------------------------------------------------
eps0 <- 1.110223024625157e-13
lo <- min(x); hi <- max(x)
bound <- function(v, dir) { e <- eps0; while (!(if (dir < 0) v - e < v else v + e > v)) e <- e * 10; v + dir * e }
lowerB <- bound(lo, -1); upperB <- bound(hi, 1)
spaced_knots <- function(d, K) {
  h <- (hi - lo) / (K + 1)
  D <- max(d, 1)
  lower <- if (d > 0) lo - (d - 1) * h + cumsum(c(0, rep(h, d - 1))) else numeric(0)
  if (d > 0) lower[d] <- lowerB
  inner <- lo + cumsum(rep(h, K))
  upper <- inner[K] + cumsum(rep(h, D))
  upper[1] <- upperB
  c(lower, inner, upper)
}
splines_rows <- list()
add_basis <- function(case, d, K, knots, B) {
  idx <- expand.grid(obs = seq_len(nrow(B)) - 1, col = seq_len(ncol(B)) - 1)
  splines_rows[[length(splines_rows) + 1]] <<- data.frame(
    case = case, degree = d, K = K, obs = idx$obs, col = idx$col, value = B[cbind(idx$obs + 1, idx$col + 1)])
}
knot_rows <- list()
add_knots <- function(case, d, K, knots) {
  knot_rows[[length(knot_rows) + 1]] <<- data.frame(case = case, degree = d, K = K,
                                                    k = seq_along(knots) - 1, value = knots)
}
for (dk in list(c(3, 3), c(2, 2), c(1, 4), c(0, 3))) {
  d <- dk[1]; K <- dk[2]
  kn <- spaced_knots(d, K)
  full <- c(min(kn[1], lo) - 1, kn, kn[length(kn)] + 1)
  B <- splineDesign(full, x, ord = d + 1, outer.ok = TRUE)
  nvals <- if (d == 0) length(kn) else length(kn) - d + 1
  add_knots("spaced", d, K, kn)
  add_basis("spaced", d, K, kn, B[, seq_len(nvals), drop = FALSE])
}
# Boundary knots at the data range: the basis of bs().
for (dk in list(c(3, 3), c(2, 4))) {
  d <- dk[1]; K <- dk[2]
  inner <- lo + cumsum(rep((hi - lo) / (K + 1), K))
  B <- bs(x, knots = inner, degree = d, intercept = TRUE, Boundary.knots = c(lo, hi))
  add_basis("databoundary", d, K, inner, B)
}
write_ref(do.call(rbind, splines_rows), "levelize_bspline.csv",
          "splines::splineDesign(c(min(t1, min(x)) - 1, knots, tT + 1), x, ord = d + 1) at the library's equally spaced knots; bs(x, knots, degree = d, intercept = TRUE, Boundary.knots = range(x))")
write_ref(do.call(rbind, knot_rows), "levelize_knots.csv",
          "equally spaced B-spline knots by the library's definition (running sums from the data range, boundaries an epsilon outside)")

# Percentile knots: quantile(type = 2), of the data, of the data with a
# frequency of ones, and of the data repeated by the frequency f.
pct <- c(25, 33, 50, 75, 90)
xf <- rep(x, dat$f)
stopifnot(all(abs(quantile(x, pct / 100, type = 2) - quantile(rep(x, 1), pct / 100, type = 2)) == 0))
q_rows <- rbind(
  data.frame(sample = "data", pctl = pct, value = unname(quantile(x, pct / 100, type = 2))),
  data.frame(sample = "freq", pctl = pct, value = unname(quantile(xf, pct / 100, type = 2))),
  data.frame(sample = "data_equal", pctl = 100 * (1:4) / 5, value = unname(quantile(x, (1:4) / 5, type = 2))),
  data.frame(sample = "freq_equal", pctl = 100 * (1:4) / 5, value = unname(quantile(xf, (1:4) / 5, type = 2))))
write_ref(q_rows, "levelize_percentiles.csv",
          "quantile(x, p, type = 2); freq: of rep(x, f); *_equal: p = j / (K + 1), K = 4")

# Truncated power bases: the spans of bs() (all knots, degree 3) and of ns()
# (natural cubic, boundary knots the first and the last) at grid points.
tk <- c(1.5, 3, 5, 7, 8.5)
grid <- seq(0.5, 9.5, by = 0.25)
span_rows <- list()
add_span <- function(kind, B) {
  idx <- expand.grid(obs = seq_len(nrow(B)) - 1, col = seq_len(ncol(B)) - 1)
  span_rows[[length(span_rows) + 1]] <<- data.frame(kind = kind, obs = idx$obs, x = grid[idx$obs + 1],
                                                    col = idx$col, value = B[cbind(idx$obs + 1, idx$col + 1)])
}
add_span("bs", bs(grid, knots = tk, degree = 3, intercept = TRUE, Boundary.knots = c(0, 10)))
add_span("ns", ns(grid, knots = tk[2:4], Boundary.knots = tk[c(1, 5)], intercept = TRUE))
write_ref(do.call(rbind, span_rows), "levelize_tpf.csv",
          "bs(grid, knots = c(1.5, 3, 5, 7, 8.5), degree = 3, intercept = TRUE, Boundary.knots = c(0, 10)); ns(grid, knots = c(3, 5, 7), Boundary.knots = c(1.5, 8.5), intercept = TRUE)")

# Polynomial terms of three variables up to degree 3.
P <- matrix(round(runif(15, -2, 3), 2), 5, 3)
pr <- poly(P[, 1], P[, 2], P[, 3], degree = 3, raw = TRUE)
ex <- do.call(rbind, lapply(strsplit(colnames(pr), ".", fixed = TRUE), as.integer))
poly_rows <- do.call(rbind, lapply(seq_len(nrow(P)), function(r)
  data.frame(point = r - 1, x1 = P[r, 1], x2 = P[r, 2], x3 = P[r, 3],
             e1 = ex[, 1], e2 = ex[, 2], e3 = ex[, 3], value = as.vector(pr[r, ]))))
write_ref(poly_rows, "levelize_poly.csv", "poly(x1, x2, x3, degree = 3, raw = TRUE); e1..e3 the exponents")

# Reference values for the comparisons the exact integrals do not reach and
# for the accuracy of those they do. Sourced by make.R; uses survival,
# mvtnorm and multcomp.
#
# mcomp_approx.csv, one row per comparison (level i minus level j, rows in
# the engine's order), with the scores U and covariance V of the case:
#   diag12 ALL       Tukey-Kramer, ptukey(sqrt(2) |z|, 12, Inf, lower = FALSE)
#   diag12 CONTROL   Dunnett against level 1 of twelve uncorrelated means: the
#                    exact probability, 1 - pmvnorm over the eleven correlated
#                    differences (GenzBretz abseps 2e-7); Hsu's
#                    one-factor integral is exact for this correlation
#   lung18 ALL       Tukey-Kramer on the log-rank scores of lung's 18
#                    institutions
#   lung18 STEPALL   free step-down Tukey-Kramer: at step j the range of the
#                    levels that the comparisons not yet passed touch
#   lung18 CONTROL   Dunnett against institution 1 by multcomp's single-step
#                    (exact, GenzBretz abseps 1e-6); Hsu's approximation is
#                    compared with it
# mcomp_tukey5.csv: exact single-step Tukey p-values of five levels with a
# correlated, singular covariance of rank 4 (random, as the log-rank and Peto
# scores make them), by pmvnorm on GenzBretz with abseps 2e-6
# (error bound kept per row).
suppressPackageStartupMessages({
  library(survival)
  library(mvtnorm)
  library(multcomp)
})
pk <- function(v) sprintf("%.17g", v)
bar <- function(v) paste(pk(v), collapse = "|")
packed <- function(V) unlist(lapply(seq_len(nrow(V)), function(i) V[i, 1:i]))
rows <- list()
add <- function(case, type, U, V, K, p, extra = NA) {
  z <- as.vector(K %*% U) / sqrt(diag(K %*% V %*% t(K)))
  rows[[length(rows) + 1]] <<- data.frame(case = case, type = type, U = bar(U), V = bar(packed(V)),
                                          row = seq_along(z) - 1, z = pk(z), p = pk(p),
                                          exact = pk(extra))
}
tukeyK <- function(k) -contrMat(setNames(rep(1, k), paste0("L", 1:k)), "Tukey")
controlK <- function(k) -contrMat(setNames(rep(1, k), paste0("L", 1:k)), "Dunnett", base = 1)

# Twelve uncorrelated means of unequal variance.
U12 <- c(0.4, -1.1, 2.3, 0.9, -2.6, 1.7, 0.1, -0.5, 3.4, -1.8, 0.6, 2.9)
V12 <- diag(1 + 0.1 * (0:11))
K <- tukeyK(12); z <- as.vector(K %*% U12) / sqrt(diag(K %*% V12 %*% t(K)))
add("diag12", "ALL", U12, V12, K, ptukey(sqrt(2) * abs(z), 12, Inf, lower.tail = FALSE))
K <- controlK(12); S <- cov2cor(K %*% V12 %*% t(K))
z <- as.vector(K %*% U12) / sqrt(diag(K %*% V12 %*% t(K)))
pd <- sapply(abs(z), function(t) 1 - pmvnorm(rep(-t, 11), rep(t, 11), corr = S, algorithm = GenzBretz(abseps = 2e-7, maxpts = 1e8))[1])
add("diag12", "CONTROL", U12, V12, K, pd)
message("diag12 done")

# Lung's 18 institutions, log-rank scores.
lung <- read.csv(file.path("examples", "lung.csv"))
lung <- lung[!is.na(lung$inst), ]
g <- factor(lung$inst, levels = sort(unique(lung$inst)))
fit <- survdiff(Surv(lung$time, lung$status == 2) ~ g)
U <- fit$obs - fit$exp; V <- fit$var; k <- length(U)
K <- tukeyK(k); z <- as.vector(K %*% U) / sqrt(diag(K %*% V %*% t(K)))
add("lung18", "ALL", U, V, K, ptukey(sqrt(2) * abs(z), k, Inf, lower.tail = FALSE))
o <- order(-abs(z)); m <- length(z); step <- numeric(m); run <- 0
pairs <- which(K != 0, arr.ind = TRUE)
lev <- lapply(seq_len(m), function(r) which(K[r, ] != 0))
for (j in seq_len(m)) {
  levels <- length(unique(unlist(lev[o[j:m]])))
  run <- max(run, ptukey(sqrt(2) * abs(z[o[j]]), max(levels, 2), Inf, lower.tail = FALSE))
  step[o[j]] <- min(1, run)
}
add("lung18", "STEPALL", U, V, K, step)
K <- controlK(k); z <- as.vector(K %*% U) / sqrt(diag(K %*% V %*% t(K)))
gl <- glht(parm(U, V), linfct = K)
pd <- summary(gl, test = adjusted("single-step", algorithm = GenzBretz(abseps = 1e-6, maxpts = 5e6)))$test$pvalues
add("lung18", "CONTROL", U, V, K, as.vector(pd))
message("lung18 done")
write_ref(do.call(rbind, rows), "mcomp_approx.csv",
          "comparisons beyond eleven levels: ptukey (Tukey-Kramer), pmvnorm and multcomp single-step (exact Dunnett); see mcomp_approx.R")

# Five levels, exact Tukey.
set.seed(20261207)
t5 <- list()
for (cs in 1:3) {
  A <- matrix(rnorm(25), 5); W <- crossprod(A) + diag(0.5, 5)
  C <- diag(5) - 1 / 5; V <- C %*% W %*% C
  U <- as.vector(C %*% rnorm(5, sd = 2.2 * sqrt(diag(V))))
  K <- tukeyK(5); R <- cov2cor(K %*% V %*% t(K))
  z <- as.vector(K %*% U) / sqrt(diag(K %*% V %*% t(K)))
  for (r in seq_along(z)) {
    t <- abs(z[r])
    p <- pmvnorm(rep(-t, 10), rep(t, 10), corr = R, algorithm = GenzBretz(abseps = 2e-6, maxpts = 1e8))
    t5[[length(t5) + 1]] <- data.frame(case = cs, U = bar(U), V = bar(packed(V)), row = r - 1,
                                       z = pk(z[r]), p = pk(1 - p[1]), error = pk(attr(p, "error")))
  }
}
write_ref(do.call(rbind, t5), "mcomp_tukey5.csv",
          "1 - pmvnorm(-t, t, corr of the 10 pairwise differences, GenzBretz(abseps = 2e-6)); see mcomp_approx.R")

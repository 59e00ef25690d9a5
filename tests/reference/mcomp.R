# Peer reference values for the multiple comparisons of survival curves and
# the distributions under them: the studentized range (ptukey, qtukey),
# multivariate normal rectangle probabilities (mvtnorm::pmvnorm), and the
# raw and adjusted p-values of pairwise and versus-control comparisons of the
# log-rank (survdiff rho = 0) and Fleming(1) (survdiff rho = 1) scores of
# four-level examples (p.adjust, multcomp::glht with adjusted("single-step"),
# "free", "Shaffer" and "Westfall"). Sourced by make.R; uses survival,
# mvtnorm and multcomp.
#
# Definitions. Comparison r of levels a and b is z = (U_a - U_b) / sd with
# U survdiff's observed minus expected for all k levels and V its variance
# (the k-sample statistic, not the two-sample test of a and b). m is the
# number of comparisons, p the two-sided normal p-value.
#   BON     p.adjust(p, "bonferroni")          step-down: p.adjust(p, "holm")
#   SIDAK   1 - (1 - p)^m                      step-down: Holland-Copenhaver
#   GT2     the same as SIDAK (no error degrees of freedom)
#   F       pchisq(z^2, rank(K V K'), lower.tail = FALSE)
#   EXACT   multcomp single-step (Tukey or Dunnett contrasts on parm(U, V))
# Step-down TYPE=FREE is multcomp's "free" for EXACT; TYPE=LOGICAL is
# "Westfall" for EXACT and "Shaffer" for BON, and for SIDAK, GT2 and F the
# same largest consistent sets (multcomp:::maxsets) with their own formulas.
# The multivariate normal integrals use GenzBretz with abseps 1e-7.
suppressPackageStartupMessages({
  library(survival)
  library(mvtnorm)
  library(multcomp)
})
invisible(Sys.setlocale("LC_COLLATE", "C"))
ex <- function(f) read.csv(file.path("examples", paste0(f, ".csv")), stringsAsFactors = FALSE)
tight <- GenzBretz(abseps = 1e-7, maxpts = 2e6)
set.seed(20240601)
pk <- function(v) sprintf("%.17g", v)
bar <- function(v) paste(pk(v), collapse = "|")

# ---- studentized range --------------------------------------------------------
tk <- expand.grid(q = c(0.1, 1, 2.5, 3.6, 5, 8), nmeans = c(2, 3, 4, 6, 10), df = c(2, 5, 20, 120, Inf))
tk$lower <- ptukey(tk$q, tk$nmeans, tk$df)
tk$upper <- ptukey(tk$q, tk$nmeans, tk$df, lower.tail = FALSE)
write_ref(tk, "mcomp_ptukey.csv",
          "ptukey(q, nmeans, df) and ptukey(q, nmeans, df, lower.tail = FALSE); df Inf is the normal case")
tq <- expand.grid(p = c(0.5, 0.9, 0.95, 0.99), nmeans = c(2, 4, 10), df = c(5, 30, Inf))
tq$q <- qtukey(tq$p, tq$nmeans, tq$df)
write_ref(tq, "mcomp_qtukey.csv", "qtukey(p, nmeans, df)")

# ---- multivariate normal rectangles -------------------------------------------
# Random correlations (dimension 2 to 8), the singular correlation of the six
# pairwise differences of four correlated means, one-sided and infinite limits.
mv <- list()
add_mv <- function(name, S, lo, hi) {
  p <- pmvnorm(lower = lo, upper = hi, sigma = S, algorithm = tight)
  packed <- unlist(lapply(seq_len(nrow(S)), function(i) S[i, 1:i]))
  mv[[length(mv) + 1]] <<- data.frame(case = name, n = nrow(S), cov = bar(packed),
                                      lower = bar(lo), upper = bar(hi),
                                      prob = pk(p[1]), complement = pk(1 - p[1]))
}
for (n in 2:8) {
  A <- matrix(rnorm(n * n), n)
  S <- crossprod(A) + diag(0.3, n)
  t <- 1.2 + 0.15 * n
  add_mv(paste0("random", n), S, -t * sqrt(diag(S)), t * sqrt(diag(S)))
  add_mv(paste0("onesided", n), S, rep(-Inf, n), 0.8 * sqrt(diag(S)))
  lo <- rnorm(n) - 1
  add_mv(paste0("box", n), S, lo, lo + 1.5)
}
V4 <- matrix(c(4, 1, 0.5, 0.2, 1, 3, 0.7, 0.1, 0.5, 0.7, 5, 0.9, 0.2, 0.1, 0.9, 2), 4)
K4 <- contrMat(setNames(rep(1, 4), LETTERS[1:4]), "Tukey")
S4 <- K4 %*% V4 %*% t(K4)
for (t in c(0.5, 2, 2.7, 3.5, 4.5)) add_mv(paste0("pairs", t), S4, -t * sqrt(diag(S4)), t * sqrt(diag(S4)))
write_ref(do.call(rbind, mv), "mcomp_pmvnorm.csv",
          "mvtnorm::pmvnorm(lower, upper, sigma, algorithm = GenzBretz(abseps = 1e-7)); cov packed lower by rows")

# ---- comparisons of survival curves -------------------------------------------
cases <- list(
  list(name = "veteran", file = "veteran", time = "time", status = "status", ev = 1, group = "celltype"),
  list(name = "kidney", file = "kidney", time = "time", status = "status", ev = 1, group = "disease")
)
scores <- list(); adj <- list()
holland <- function(p) {
  o <- order(p); m <- length(p); out <- numeric(m); run <- 0
  for (j in seq_len(m)) { run <- max(run, 1 - (1 - p[o[j]])^(m - j + 1)); out[o[j]] <- min(1, run) }
  out
}
rk <- function(M) qr(M, tol = 1e-9)$rank
stepF <- function(z, K, V) {
  o <- order(-abs(z)); m <- length(z); out <- numeric(m); run <- 0
  for (j in seq_len(m)) {
    S <- o[j:m]
    r <- rk(K[S, , drop = FALSE] %*% V %*% t(K[S, , drop = FALSE]))
    run <- max(run, pchisq(z[o[j]]^2, r, lower.tail = FALSE)); out[o[j]] <- min(1, run)
  }
  out
}
# The largest consistent sets of each step (in the order of |z|), as multcomp finds them.
logical_by <- function(z, K, f) {
  o <- order(-abs(z)); ms <- multcomp:::maxsets(K[o, , drop = FALSE])
  m <- length(z); out <- numeric(m); run <- 0
  for (j in seq_len(m)) {
    v <- max(sapply(ms[[j]], function(s) f(o[s], abs(z[o[j]]))))
    run <- max(run, v); out[o[j]] <- min(1, run)
  }
  out
}
emit <- function(name, rho, type, ctl, K, U, V, z, method, step, p) {
  adj[[length(adj) + 1]] <<- data.frame(case = name, rho = rho, type = type, control = ctl,
                                        method = method, step = step, row = seq_along(z) - 1,
                                        chisq = pk(z^2), p = pk(p))
}
run_case <- function(name, rho, U, V, type, ctl) {
  k <- length(U)
  K <- if (type == "ALL") contrMat(setNames(rep(1, k), names(U)), "Tukey") else
         contrMat(setNames(rep(1, k), names(U)), "Dunnett", base = ctl + 1)
  # Level i minus level j, as the comparisons are written.
  K <- -K
  d <- as.vector(K %*% U); s <- sqrt(diag(K %*% V %*% t(K))); z <- d / s
  p <- 2 * pnorm(-abs(z)); m <- length(z)
  r <- rk(K %*% V %*% t(K))
  g <- glht(parm(U, V), linfct = K)
  sm <- function(tp) summary(g, test = adjusted(tp, algorithm = tight))$test$pvalues
  emit(name, rho, type, ctl, K, U, V, z, "T", 0, p)
  emit(name, rho, type, ctl, K, U, V, z, "BON", 0, p.adjust(p, "bonferroni"))
  emit(name, rho, type, ctl, K, U, V, z, "SIDAK", 0, 1 - (1 - p)^m)
  emit(name, rho, type, ctl, K, U, V, z, "GT2", 0, 1 - (1 - p)^m)
  emit(name, rho, type, ctl, K, U, V, z, "F", 0, pchisq(z^2, r, lower.tail = FALSE))
  emit(name, rho, type, ctl, K, U, V, z, "EXACT", 0, sm("single-step"))
  emit(name, rho, type, ctl, K, U, V, z, "BON", 1, p.adjust(p, "holm"))
  emit(name, rho, type, ctl, K, U, V, z, "SIDAK", 1, holland(p))
  emit(name, rho, type, ctl, K, U, V, z, "GT2", 1, holland(p))
  emit(name, rho, type, ctl, K, U, V, z, "F", 1, stepF(z, K, V))
  emit(name, rho, type, ctl, K, U, V, z, "EXACT", 1, sm("free"))
  emit(name, rho, type, ctl, K, U, V, z, "BON", 2, sm("Shaffer"))
  sid <- logical_by(z, K, function(S, t) 1 - (1 - 2 * pnorm(-t))^length(S))
  emit(name, rho, type, ctl, K, U, V, z, "SIDAK", 2, sid)
  emit(name, rho, type, ctl, K, U, V, z, "GT2", 2, sid)
  emit(name, rho, type, ctl, K, U, V, z, "F", 2, logical_by(z, K, function(S, t)
    pchisq(t^2, rk(K[S, , drop = FALSE] %*% V %*% t(K[S, , drop = FALSE])), lower.tail = FALSE)))
  emit(name, rho, type, ctl, K, U, V, z, "EXACT", 2, sm("Westfall"))
}
for (cs in cases) {
  d <- ex(cs$file)
  d <- d[complete.cases(d[, c(cs$time, cs$status, cs$group)]), ]
  g <- factor(d[[cs$group]], levels = sort(unique(as.character(d[[cs$group]]))))
  for (rho in c(0, 1)) {
    fit <- survdiff(Surv(d[[cs$time]], d[[cs$status]] == cs$ev) ~ g, rho = rho)
    U <- setNames(fit$obs - fit$exp, levels(g)); V <- fit$var
    scores[[length(scores) + 1]] <- data.frame(
      case = cs$name, rho = rho, levels = paste(levels(g), collapse = "|"), U = bar(U),
      V = bar(unlist(lapply(seq_len(nrow(V)), function(i) V[i, 1:i]))))
    run_case(cs$name, rho, U, V, "ALL", 0)
    run_case(cs$name, rho, U, V, "CONTROL", 0)
    run_case(cs$name, rho, U, V, "CONTROL", length(U) - 1)
  }
}
# Uncorrelated means of equal variance: the exact all-pairs method is the
# studentized range, ptukey(sqrt(2) |z|, k, Inf, lower.tail = FALSE).
Ub <- setNames(c(0.3, -1.9, 2.4, 0.8, -0.6), paste0("L", 1:5)); Vb <- diag(1.7, 5)
scores[[length(scores) + 1]] <- data.frame(case = "balanced", rho = 0, levels = paste(names(Ub), collapse = "|"),
                                           U = bar(Ub), V = bar(unlist(lapply(1:5, function(i) Vb[i, 1:i]))))
Kb <- -contrMat(setNames(rep(1, 5), names(Ub)), "Tukey")
zb <- as.vector(Kb %*% Ub) / sqrt(diag(Kb %*% Vb %*% t(Kb)))
emit("balanced", 0, "ALL", 0, Kb, Ub, Vb, zb, "EXACT", 0,
     ptukey(sqrt(2) * abs(zb), 5, Inf, lower.tail = FALSE))
write_ref(do.call(rbind, scores), "mcomp_scores.csv",
          "survdiff(Surv(time, status == ev) ~ group, rho): obs - exp and var (packed lower by rows)")
write_ref(do.call(rbind, adj), "mcomp_adjusted.csv",
          "raw and adjusted p-values: p.adjust, multcomp glht(parm(U, V)) single-step/free/Shaffer/Westfall, by hand; see mcomp.R")

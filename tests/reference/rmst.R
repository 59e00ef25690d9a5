# Reference values for the restricted mean survival time (RMST) and the
# restricted mean time lost (RMTL): per-cell estimates and standard errors
# from R's survival package, the bias-corrected variance by hand, the global
# Wald test of adjacent contrasts, the comparisons of pairs and against a
# control with p.adjust (Bonferroni), Sidak by its formula and multcomp
# (single-step Tukey and Dunnett on the estimates with a diagonal
# covariance), ratios on the log scale, points of the plot grid, and the
# plot data's lower limits, kept at 0, near the start of the curves.
#
#   Rscript tests/reference/rmst.R     (from the repository root; or as a
#                                       section of make.R)
#
# Definitions (the procedure's, which the peers are made to follow):
#   - the restriction time tau is always passed explicitly; the default tau
#     of the procedure is the smallest over the cells of the cell's largest
#     time, which is what is passed here for the "default" cases;
#   - RMTL = tau - RMST, with the same standard error;
#   - the bias-corrected variance is survival's se(rmean)^2 times D / (D - 1),
#     D the events at or before tau (survival applies no such factor);
#   - the global test: e the cells' estimates, V = diag(se^2), C the adjacent
#     contrasts (e_i - e_{i+1}); chi-square = (Ce)' (C V C')^-1 (Ce) on k - 1
#     degrees of freedom; with GROUP= the level's estimate is the plain mean of
#     its per-stratum estimates and its variance the sum of their variances
#     over the squared number of strata;
#   - a comparison of levels i and j: d = e_i - e_j, var = v_i + v_j, chi-square
#     d^2 / var, raw p from the chi-square on 1 degree of freedom;
#   - a ratio: log(e_i / e_j) with variance v_i / e_i^2 + v_j / e_j^2.

suppressPackageStartupMessages({
  library(survival)
  library(mvtnorm)
  library(multcomp)
})
invisible(Sys.setlocale("LC_COLLATE", "C"))

if (!exists("ref_dir")) ref_dir <- file.path("tests", "reference")
if (!exists("write_ref")) source(file.path(ref_dir, "write_ref.R"))

ex <- function(f) read.csv(file.path("examples", paste0(f, ".csv")), stringsAsFactors = FALSE)
set.seed(20240611)
tight <- GenzBretz(abseps = 1e-7, maxpts = 2e6)

# One restricted mean per cell: (rmean, se) at tau, and the events up to tau.
cell_rmst <- function(time, event, tau) {
  f <- survfit(Surv(time, event) ~ 1)
  tab <- summary(f, rmean = tau)$table
  c(rmean = tab[["rmean"]], se = tab[["se(rmean)"]], events = sum(event[time <= tau]))
}

# The cells of a data set split by `by` (a vector of column names; the cell
# label joins their values with "/"), ordered as the procedure orders its
# levels (formatted values, numbers numerically).
cells_of <- function(d, by) {
  if (length(by) == 0) return(list(all = d))
  key <- do.call(interaction, c(lapply(by, function(b) factor(d[[b]], levels = sort(unique(d[[b]])))),
                                list(sep = "/", lex.order = TRUE, drop = TRUE)))
  split(d, key)
}

# ---- estimates ------------------------------------------------------------------
# case, data, time, status, event value, strata columns, tau ("default": the
# smallest largest time over the cells).
cases <- list(
  list(id = "veteran_celltype",     data = "veteran", time = "time",   status = "status", ev = 1, by = "celltype", tau = 100),
  list(id = "veteran_celltype_def", data = "veteran", time = "time",   status = "status", ev = 1, by = "celltype", tau = "default"),
  list(id = "lung_sex",             data = "lung",    time = "time",   status = "status", ev = 2, by = "sex",      tau = 500),
  list(id = "lung",                 data = "lung",    time = "time",   status = "status", ev = 2, by = character(0), tau = 365),
  list(id = "aml_x",                data = "aml",     time = "time",   status = "status", ev = 1, by = "x",        tau = 40),
  list(id = "kidney_disease",       data = "kidney",  time = "time",   status = "status", ev = 1, by = "disease",  tau = 200),
  list(id = "veteran_trt_celltype", data = "veteran", time = "time",   status = "status", ev = 1, by = c("trt", "celltype"), tau = "default"),
  list(id = "ovarian_rx_resid",     data = "ovarian", time = "futime", status = "fustat", ev = 1, by = c("rx", "resid_ds"), tau = 500)
)

est <- list()
for (cs in cases) {
  d <- ex(cs$data)
  d$t <- d[[cs$time]]
  d$e <- as.integer(d[[cs$status]] == cs$ev)
  cells <- cells_of(d, cs$by)
  tau <- if (identical(cs$tau, "default")) min(sapply(cells, function(c) max(c$t))) else cs$tau
  for (nm in names(cells)) {
    c <- cells[[nm]]
    r <- cell_rmst(c$t, c$e, tau)
    D <- r[["events"]]
    est[[length(est) + 1]] <- data.frame(case = cs$id, cell = nm, tau = tau, rmst = r[["rmean"]],
                                         rmtl = tau - r[["rmean"]], se = r[["se"]],
                                         se_bc = if (D > 1) r[["se"]] * sqrt(D / (D - 1)) else r[["se"]],
                                         events = D)
  }
}
est <- do.call(rbind, est)
write_ref(est, "rmst_cells.csv",
          "summary(survfit(Surv(t, e) ~ 1), rmean = tau)$table[c('rmean','se(rmean)')] per cell; se_bc = se * sqrt(D/(D-1)), D events <= tau")

# ---- global tests -----------------------------------------------------------------
wald <- function(e, v) {
  k <- length(e)
  C <- cbind(diag(k - 1), 0) - cbind(0, diag(k - 1))
  Ce <- C %*% e
  S <- C %*% diag(v, k) %*% t(C)
  x <- drop(t(Ce) %*% solve(S, Ce))
  c(chisq = x, df = k - 1, p = pchisq(x, k - 1, lower.tail = FALSE))
}
tests <- list()
add_test <- function(id, e, v) {
  w <- wald(e, v)
  tests[[length(tests) + 1]] <<- data.frame(case = id, chisq = w[["chisq"]], df = w[["df"]], p = w[["p"]])
}
of_case <- function(id) est[est$case == id, ]
for (id in c("veteran_celltype", "veteran_celltype_def", "lung_sex", "aml_x", "kidney_disease")) {
  s <- of_case(id)
  add_test(id, s$rmst, s$se^2)
}
# Stratified by trt, groups celltype: the mean over the two strata.
s <- of_case("veteran_trt_celltype")
s$trt <- sub("/.*", "", s$cell)
s$grp <- sub(".*/", "", s$cell)
g <- aggregate(cbind(rmst, v = se^2) ~ grp, data = s, FUN = sum)
n1 <- length(unique(s$trt))
add_test("veteran_trt_celltype_stratified", g$rmst / n1, g$v / n1^2)
tests <- do.call(rbind, tests)
write_ref(tests, "rmst_tests.csv",
          "Wald chi-square of adjacent contrasts: t(Ce) solve(C V C', Ce); p = pchisq(chisq, df, lower.tail = FALSE)")

# ---- comparisons ------------------------------------------------------------------
diffs <- list()
add_diffs <- function(id, lab, e, v, type, control = 1) {
  k <- length(e)
  names(e) <- lab
  if (type == "Tukey") {
    pr <- t(combn(k, 2))
  } else {
    others <- setdiff(seq_len(k), control)
    pr <- cbind(others, control)
  }
  d <- e[pr[, 1]] - e[pr[, 2]]
  vv <- v[pr[, 1]] + v[pr[, 2]]
  raw <- pchisq(d^2 / vv, 1, lower.tail = FALSE)
  m <- nrow(pr)
  K <- matrix(0, m, k)
  K[cbind(seq_len(m), pr[, 1])] <- 1
  K[cbind(seq_len(m), pr[, 2])] <- -1
  fit <- parm(coef = e, vcov = diag(v, k))
  exact <- summary(glht(fit, linfct = K), test = adjusted("single-step", algorithm = tight))$test$pvalues
  lr <- log(e[pr[, 1]] / e[pr[, 2]])
  lv <- v[pr[, 1]] / e[pr[, 1]]^2 + v[pr[, 2]] / e[pr[, 2]]^2
  diffs[[length(diffs) + 1]] <<- data.frame(
    case = id, type = type, first = lab[pr[, 1]], second = lab[pr[, 2]], estimate = d, stderr = sqrt(vv),
    chisq = d^2 / vv, raw = raw, bonferroni = p.adjust(raw, "bonferroni"), sidak = 1 - (1 - raw)^m,
    exact = as.numeric(exact), ratio = exp(lr), stderr_log_ratio = sqrt(lv),
    chisq_log_ratio = lr^2 / lv, raw_log_ratio = pchisq(lr^2 / lv, 1, lower.tail = FALSE))
}
s <- of_case("veteran_celltype")
add_diffs("veteran_celltype", s$cell, s$rmst, s$se^2, "Tukey")
add_diffs("veteran_celltype", s$cell, s$rmst, s$se^2, "Dunnett", control = 4) # against squamous
add_diffs("veteran_celltype_last", s$cell, s$rmst, s$se^2, "Dunnett", control = 4) # CONTROL(LAST)
s <- of_case("kidney_disease")
add_diffs("kidney_disease", s$cell, s$rmst, s$se^2, "Tukey")
g$grp_rmst <- g$rmst / n1
add_diffs("veteran_trt_celltype_stratified", g$grp, g$rmst / n1, g$v / n1^2, "Tukey")
diffs <- do.call(rbind, diffs)
write_ref(diffs, "rmst_diffs.csv",
          "d = e_i - e_j, var v_i + v_j; raw pchisq(d^2/var, 1); p.adjust(raw, 'bonferroni'); 1-(1-raw)^m; multcomp glht(parm(e, diag(v)), K) single-step; log ratio z-test")

# ---- plot grid --------------------------------------------------------------------
grid <- list()
d <- ex("lung")
d$e <- as.integer(d$status == 2)
for (sx in sort(unique(d$sex))) {
  c <- d[d$sex == sx, ]
  mt <- max(c$time)
  for (k in c(1, 5, 37, 100)) {
    tau <- if (k == 100) mt else mt * k / 100
    # Before the first time the curve is 1: the area is tau, without variance
    # (survival refuses such a truncation point).
    r <- if (tau < min(c$time)) c(rmean = tau, se = 0) else cell_rmst(c$time, c$e, tau)
    grid[[length(grid) + 1]] <- data.frame(sex = sx, k = k, tau = tau, rmst = r[["rmean"]], se = r[["se"]])
  }
}
grid <- do.call(rbind, grid)
write_ref(grid, "rmst_grid.csv",
          "lung by sex: survfit rmean and se(rmean) at tau = maxt * k / 100 (k = 100: maxt; before the first time: tau, 0)")

# ---- limits of the plot data near the start of the curves --------------------------
# aml by x on the plot grid: early on the time lost is small and its standard
# error about as large, so estimate - z se falls below 0. The lower limit is
# max(0, estimate - z se) for the RMST and the RMTL alike (survival prints no
# limits for rmean; survRM2 prints est - z se unfloored: the floor is the
# procedure's, since neither a survival time nor a time lost is negative).
z <- qnorm(0.975)
lim <- list()
d <- ex("aml")
for (x in sort(unique(d$x))) {
  c <- d[d$x == x, ]
  mt <- max(c$time)
  for (k in c(1:25, 100)) {
    tau <- if (k == 100) mt else mt * k / 100
    r <- if (tau < min(c$time)) c(rmean = tau, se = 0) else cell_rmst(c$time, c$status, tau)
    rmst <- r[["rmean"]]
    se <- r[["se"]]
    lim[[length(lim) + 1]] <- data.frame(x = x, k = k, tau = tau, rmst = rmst, rmtl = tau - rmst, se = se,
                                         lower_rmst = max(0, rmst - z * se),
                                         lower_rmtl = max(0, tau - rmst - z * se),
                                         unfloored_rmtl = tau - rmst - z * se)
  }
}
lim <- do.call(rbind, lim)
write_ref(lim, "rmst_plot_limits.csv",
          "aml by x: survfit rmean, se(rmean) at tau = maxt * k / 100 (before the first time: tau, 0); lower = max(0, est - qnorm(0.975) se), unfloored_rmtl without the floor")

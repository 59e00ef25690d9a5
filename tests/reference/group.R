# Reference values of the GROUP= analyses from R's survival package: the
# tests across the GROUP= levels stratified by the STRATA variables
# (survdiff with strata(): log-rank, and rho for the Fleming-Harrington
# weight S(t-)^rho), the likelihood-ratio test of the exponential model
# across levels (a Poisson model's drop in deviance), and the estimates of
# each level within each stratum (survfit by stratum and level).
#
#   Rscript tests/reference/group.R     (from the repository root; or as the
#                                        section "group" of make.R)
#
# Writes group_survdiff.csv, group_lr.csv, group_survfit.csv and
# group_quartiles.csv. Each row names the example file and the columns used;
# levels are in C collation, the order of the formatted values. The example
# times are whole numbers, so ties are exact (no timefix is needed).
#
# Definitions: survdiff's rho = r is Fleming-Harrington(r, 0) with S the
# left-continuous product-limit estimate of the stratum, pooled over the
# levels; survdiff's df is the number of levels with expected events, less 1.

suppressPackageStartupMessages(library(survival))
invisible(Sys.setlocale("LC_COLLATE", "C"))

if (!exists("ref_dir")) ref_dir <- file.path("tests", "reference")
if (!exists("write_ref")) source(file.path(ref_dir, "write_ref.R"))

ex <- function(f) read.csv(file.path("examples", paste0(f, ".csv")), stringsAsFactors = FALSE)

# data file, time, status, event value, GROUP= column, STRATA column ("" none)
cases <- list(
  list("rats", "time", "status", 1, "rx", "litter"),
  list("rats", "time", "status", 1, "rx", "sex"),
  list("rats", "time", "status", 1, "rx", ""),
  list("veteran", "time", "status", 1, "celltype", "trt"),
  list("colon", "time", "status", 1, "rx", "sex"),
  list("ovarian", "futime", "fustat", 1, "rx", "resid_ds")
)

levels_of <- function(g) if (is.numeric(g)) sort(unique(g)) else sort(unique(as.character(g)))

sd_rows <- list()
lr_rows <- list()
tr_rows <- list()
for (cs in cases) {
  d <- ex(cs[[1]])
  tv <- cs[[2]]; sv <- cs[[3]]; gv <- cs[[5]]; st <- cs[[6]]
  time <- d[[tv]]; event <- as.integer(d[[sv]] == cs[[4]])
  lev <- levels_of(d[[gv]])
  g <- factor(d[[gv]], levels = lev)
  for (rho in c(0, 0.5, 1)) {
    fit <- if (st == "") survdiff(Surv(time, event) ~ g, rho = rho)
           else survdiff(Surv(time, event) ~ g + strata(d[[st]]), rho = rho)
    oe <- if (is.matrix(fit$obs)) rowSums(fit$obs - fit$exp) else fit$obs - fit$exp
    ex_ <- if (is.matrix(fit$exp)) rowSums(fit$exp) else fit$exp
    sd_rows[[length(sd_rows) + 1]] <- data.frame(
      data = cs[[1]], time = tv, status = sv, group = gv, strata = st,
      levels = paste(lev, collapse = "|"), rho = rho, chisq = fit$chisq,
      df = sum(ex_ > 0) - 1, oe = paste(sprintf("%.17g", oe), collapse = "|"))
    if (rho == 0 && length(lev) > 2) {
      # Trend over the level order with scores 1..k: x'(O-E) / sqrt(x'Vx),
      # V summed over the strata.
      x <- seq_along(lev)
      stat <- sum(x * oe); se <- sqrt(drop(t(x) %*% fit$var %*% x))
      tr_rows[[length(tr_rows) + 1]] <- data.frame(
        data = cs[[1]], time = tv, status = sv, group = gv, strata = st,
        levels = paste(lev, collapse = "|"), stat = stat, se = se, z = stat / se)
    }
  }
  if (st == "") {
    D <- tapply(event, g, sum); Tt <- tapply(time, g, sum)
    full <- suppressWarnings(glm(D ~ factor(seq_along(D)) + offset(log(Tt)), family = poisson))
    lr_rows[[length(lr_rows) + 1]] <- data.frame(
      data = cs[[1]], time = tv, status = sv, group = gv, levels = paste(lev, collapse = "|"),
      lr = full$null.deviance - full$deviance, df = length(lev) - 1)
  }
}
write_ref(do.call(rbind, sd_rows), "group_survdiff.csv",
          "survdiff(Surv(time, event) ~ group + strata(strata), rho) with rho 0, 0.5, 1: chisq, df, O-E per level (rowSums over strata)")

write_ref(do.call(rbind, tr_rows), "group_trend.csv",
          "survdiff(... ~ group + strata(strata)): x'(O-E) and sqrt(x'Vx) with scores x = 1..k")

# The likelihood-ratio test across levels without strata, and a second data
# set with four levels.
d <- ex("veteran"); lev <- levels_of(d$celltype); g <- factor(d$celltype, levels = lev)
D <- tapply(d$status, g, sum); Tt <- tapply(d$time, g, sum)
full <- suppressWarnings(glm(D ~ factor(seq_along(D)) + offset(log(Tt)), family = poisson))
lr_rows[[length(lr_rows) + 1]] <- data.frame(
  data = "veteran", time = "time", status = "status", group = "celltype",
  levels = paste(lev, collapse = "|"), lr = full$null.deviance - full$deviance, df = length(lev) - 1)
write_ref(do.call(rbind, lr_rows), "group_lr.csv",
          "glm(D ~ level + offset(log(T)), poisson): null.deviance - deviance, the exponential model's LR statistic across levels")

# The estimates of each level within each stratum: survival, Greenwood
# standard error of the survival and log-log limits at the event times, and
# the quartiles with their log-log confidence intervals.
est_cases <- list(
  list("rats", "time", "status", 1, "rx", "sex"),
  list("veteran", "time", "status", 1, "celltype", "trt")
)
curve_rows <- list()
quart_rows <- list()
for (cs in est_cases) {
  d <- ex(cs[[1]])
  time <- d[[cs[[2]]]]; event <- as.integer(d[[cs[[3]]]] == cs[[4]])
  gv <- cs[[5]]; st <- cs[[6]]
  for (s in levels_of(d[[st]])) for (l in levels_of(d[[gv]])) {
    keep <- d[[st]] == s & d[[gv]] == l
    if (!any(keep)) next
    fit <- survfit(Surv(time[keep], event[keep]) ~ 1, conf.type = "log-log")
    sm <- summary(fit, censored = FALSE)
    if (length(sm$time) > 0)
      curve_rows[[length(curve_rows) + 1]] <- data.frame(
        data = cs[[1]], group = gv, strata = st, stratum = s, level = l, time = sm$time,
        surv = sm$surv, stderr = sm$std.err, lower = sm$lower, upper = sm$upper)
    qu <- quantile(fit, probs = c(0.25, 0.5, 0.75), conf.int = TRUE)
    quart_rows[[length(quart_rows) + 1]] <- data.frame(
      data = cs[[1]], group = gv, strata = st, stratum = s, level = l, percent = c(25, 50, 75),
      estimate = as.numeric(qu$quantile), lower = as.numeric(qu$lower),
      upper = as.numeric(qu$upper))
  }
}
write_ref(do.call(rbind, curve_rows), "group_survfit.csv",
          "summary(survfit(Surv(time, event) ~ 1, conf.type = 'log-log'), censored = FALSE) per stratum and level: surv, std.err of the survival, log-log limits")
write_ref(do.call(rbind, quart_rows), "group_quartiles.csv",
          "quantile(survfit(..., conf.type = 'log-log'), c(.25, .5, .75), conf.int = TRUE) per stratum and level")

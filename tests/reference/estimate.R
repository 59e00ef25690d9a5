# Reference values for the survival estimators: product-limit, Breslow and
# Fleming-Harrington survival, Greenwood standard errors, Nelson-Aalen
# cumulative hazards, pointwise limits under five transforms, quartiles with
# confidence intervals and restricted means, from R's survival package.
#
#   Rscript tests/reference/estimate.R     (from the repository root; or as a
#                                           section of make.R)
#
# Data: the CSV copies in examples/. Each case is one sample (a subset of a
# data set); the tests rebuild the same sample from the same CSV file.

suppressPackageStartupMessages(library(survival))

if (!exists("ref_dir")) ref_dir <- file.path("tests", "reference")
if (!exists("write_ref")) source(file.path(ref_dir, "write_ref.R"))

ex <- function(f) read.csv(file.path("examples", f), stringsAsFactors = FALSE)

# A case: data set file, time and status columns, the status value that marks
# an event, an optional filter column and value, and an optional weight
# column. The tests read the same columns.
cases <- list(
  list(id = "lung",      file = "lung.csv",    time = "time",  status = "status", event = 2),
  list(id = "lung_m",    file = "lung.csv",    time = "time",  status = "status", event = 2, by = "sex", value = 1),
  list(id = "lung_f",    file = "lung.csv",    time = "time",  status = "status", event = 2, by = "sex", value = 2),
  list(id = "veteran_1", file = "veteran.csv", time = "time",  status = "status", event = 1, by = "trt", value = 1),
  list(id = "veteran_2", file = "veteran.csv", time = "time",  status = "status", event = 1, by = "trt", value = 2),
  list(id = "aml_m",     file = "aml.csv",     time = "time",  status = "status", event = 1, by = "x", value = "Maintained"),
  list(id = "aml_n",     file = "aml.csv",     time = "time",  status = "status", event = 1, by = "x", value = "Nonmaintained"),
  list(id = "ovarian",   file = "ovarian.csv", time = "futime", status = "fustat", event = 1),
  list(id = "colon",     file = "colon.csv",   time = "time",  status = "status", event = 1),
  list(id = "kidney",    file = "kidney.csv",  time = "time",  status = "status", event = 1)
)

sample_of <- function(cs) {
  d <- ex(cs$file)
  if (!is.null(cs$by)) d <- d[as.character(d[[cs$by]]) == as.character(cs$value), ]
  data.frame(time = as.numeric(d[[cs$time]]), event = as.integer(d[[cs$status]] == cs$event),
             karno = if ("karno" %in% names(d)) d$karno else NA)
}

conftypes <- c(plain = 1, arcsin = 2, "log-log" = 3, log = 4, logit = 5)

curves <- list()
quarts <- list()
means <- list()
for (cs in cases) {
  d <- sample_of(cs)
  km <- survfit(Surv(time, event) ~ 1, data = d, stype = 1, ctype = 1, conf.type = "plain")
  br <- survfit(Surv(time, event) ~ 1, data = d, stype = 2, ctype = 1)
  fh <- survfit(Surv(time, event) ~ 1, data = d, stype = 2, ctype = 2)
  ev <- km$n.event > 0
  cur <- data.frame(case = cs$id, time = km$time[ev], n_risk = km$n.risk[ev], n_event = km$n.event[ev],
                    surv = km$surv[ev], sqrt_greenwood = km$std.err[ev],
                    cumhaz = km$cumhaz[ev], std_chaz = km$std.chaz[ev],
                    surv_breslow = br$surv[ev], surv_fh = fh$surv[ev],
                    stderr_breslow = br$std.err[ev], stderr_fh = fh$std.err[ev])
  for (ct in names(conftypes)) {
    f <- survfit(Surv(time, event) ~ 1, data = d, conf.type = ct)
    cur[[paste0("lcl", conftypes[[ct]])]] <- f$lower[ev]
    cur[[paste0("ucl", conftypes[[ct]])]] <- f$upper[ev]
    q <- quantile(f, probs = c(0.25, 0.5, 0.75), conf.int = TRUE)
    quarts[[length(quarts) + 1]] <- data.frame(case = cs$id, conftype = conftypes[[ct]],
                                               p = c(0.25, 0.5, 0.75), estimate = as.numeric(q$quantile),
                                               lower = as.numeric(q$lower), upper = as.numeric(q$upper))
  }
  curves[[length(curves) + 1]] <- cur
  # Restricted means: to the last event time, to the largest time, and to a
  # time below the last event time (the area is cut there).
  last_event <- max(d$time[d$event == 1])
  ends <- c(event = last_event, observed = max(d$time), below = round(0.6 * last_event))
  for (e in names(ends)) {
    tab <- summary(km, rmean = ends[[e]])$table
    means[[length(means) + 1]] <- data.frame(case = cs$id, end = e, tau = ends[[e]],
                                             rmean = tab[["rmean"]], se_rmean = tab[["se(rmean)"]],
                                             events = sum(d$event))
  }
}

write_ref(do.call(rbind, curves), "estimate_curves.csv",
          paste("survfit(Surv(time, event) ~ 1, stype, ctype, conf.type) at the event times:",
                "surv, std.err (sqrt of the Greenwood sum), cumhaz, std.chaz, lower/upper per conf.type",
                "(lcl1/ucl1 plain, 2 arcsin, 3 log-log, 4 log, 5 logit), surv of stype=2 ctype=1/2"))
write_ref(do.call(rbind, quarts), "estimate_quartiles.csv",
          "quantile(survfit(..., conf.type), probs = c(.25, .5, .75), conf.int = TRUE)")
write_ref(do.call(rbind, means), "estimate_means.csv",
          "summary(survfit(Surv(time, event) ~ 1), rmean = tau)$table[c('rmean', 'se(rmean)')]")

# Weighted product-limit: R gives the survival, the cumulative hazard and its
# standard error with case weights; the variance of the survival here is the
# scale-free sum over event times of d_w R2 / (Y_w^2 (Y_w - d_w)) (R2 = sum of
# weight^2 over the risk set before the time), and the variance of the
# cumulative hazard is the sum of d_w / Y_w^2; both are computed directly
# below (R's std.err and std.chaz with weights use another variance).
wcases <- list(list(id = "veteran_w", file = "veteran.csv", time = "time", status = "status", event = 1))
wcur <- list()
for (cs in wcases) {
  d <- sample_of(cs)
  d$w <- d$karno / 50
  f <- survfit(Surv(time, event) ~ 1, data = d, weights = w, ctype = 1)
  ev <- f$n.event > 0
  tt <- f$time[ev]
  g <- 0
  v <- 0
  sesum <- numeric(length(tt))
  se_na <- numeric(length(tt))
  for (i in seq_along(tt)) {
    atrisk <- d$time >= tt[i]
    Y <- sum(d$w[atrisk])
    R2 <- sum(d$w[atrisk]^2)
    dw <- sum(d$w[d$time == tt[i] & d$event == 1])
    R <- Y - dw
    g <- if (R > 1e-12 * sum(d$w)) g + dw * R2 / (Y^2 * R) else 0
    v <- v + dw / Y^2
    sesum[i] <- g
    se_na[i] <- sqrt(v)
  }
  wcur[[length(wcur) + 1]] <- data.frame(case = cs$id, time = tt, n_risk = f$n.risk[ev],
                                         n_event = f$n.event[ev], surv = f$surv[ev],
                                         cumhaz = f$cumhaz[ev], std_chaz = f$std.chaz[ev],
                                         sesum = sesum, se_na = se_na, r_std_err = f$std.err[ev])
}
write_ref(do.call(rbind, wcur), "estimate_weighted.csv",
          paste("survfit(Surv(time, event) ~ 1, weights = karno / 50, ctype = 1): surv, cumhaz, std.chaz;",
                "se_na = sqrt of the running sum of d_w / Y_w^2 (std.chaz differs);",
                "sesum = running sum of d_w R2 / (Y_w^2 (Y_w - d_w)); r_std_err = R's std.err (differs)"))

# Weighted quartile limits. The limits of a percentile come from the pointwise
# limits: R's quantile() of a survfit object reads them off its lower and
# upper curves. The weighted variance here is not R's, so the curves are made
# from this variance first (sesum as above, per time, carried over censoring
# times) with R's own transform code (survfit_confint), then quantile() reads
# the limits. Samples whose weight column is missing or not positive drop the
# row, as the data pass does.
qcases <- list(
  list(id = "lung_f", file = "lung.csv", time = "time", status = "status", event = 2,
       by = "sex", value = 2, weights = c("wt_loss", "ph_karno", "pat_karno", "age", "meal_cal")),
  list(id = "lung_m", file = "lung.csv", time = "time", status = "status", event = 2,
       by = "sex", value = 1, weights = c("wt_loss", "ph_karno", "meal_cal")),
  list(id = "veteran", file = "veteran.csv", time = "time", status = "status", event = 1,
       weights = c("karno", "age"))
)
confint <- get("survfit_confint", envir = asNamespace("survival"))
wq <- list()
for (cs in qcases) {
  d0 <- ex(cs$file)
  if (!is.null(cs$by)) d0 <- d0[as.character(d0[[cs$by]]) == as.character(cs$value), ]
  for (wv in cs$weights) {
    d <- data.frame(time = as.numeric(d0[[cs$time]]), event = as.integer(d0[[cs$status]] == cs$event),
                    w = as.numeric(d0[[wv]]))
    d <- d[!is.na(d$w) & d$w > 0 & !is.na(d$time), ]
    base <- survfit(Surv(time, event) ~ 1, data = d, weights = w)
    g <- 0
    se <- numeric(length(base$time))
    for (i in seq_along(base$time)) {
      t <- base$time[i]
      atrisk <- d$time >= t
      Y <- sum(d$w[atrisk])
      R2 <- sum(d$w[atrisk]^2)
      dw <- sum(d$w[d$time == t & d$event == 1])
      R <- Y - dw
      if (dw > 0) g <- if (R > 1e-12 * sum(d$w)) g + dw * R2 / (Y^2 * R) else NA
      se[i] <- sqrt(g)
    }
    for (ct in names(conftypes)) {
      f <- base
      ci <- confint(f$surv, se, logse = TRUE, conf.type = ct, conf.int = 0.95)
      f$lower <- ci$lower
      f$upper <- ci$upper
      q <- quantile(f, probs = c(0.25, 0.5, 0.75), conf.int = TRUE)
      wq[[length(wq) + 1]] <- data.frame(case = cs$id, weight = wv, conftype = conftypes[[ct]],
                                         p = c(0.25, 0.5, 0.75), estimate = as.numeric(q$quantile),
                                         lower = as.numeric(q$lower), upper = as.numeric(q$upper))
    }
  }
}
write_ref(do.call(rbind, wq), "estimate_weighted_quartiles.csv",
          paste("quantile(survfit(..., weights = w) with lower/upper from survfit_confint(surv,",
                "sqrt(running sum of d_w R2 / (Y_w^2 (Y_w - d_w))), conf.type), conf.int = TRUE)"))

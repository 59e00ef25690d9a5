# Peer reference values for the tests of equal survival across levels, from
# R's survival package (survdiff) and a Poisson model for the likelihood-ratio
# test of the exponential model. Run from the repository root:
#   Rscript tests/reference/homogeneity.R
# Writes tests/reference/homogeneity_survdiff.csv, homogeneity_trend.csv,
# homogeneity_lr.csv, and homogeneity_timefix.csv with its data set
# homogeneity_timefix_data.csv. Each row names the example file, its time and status
# columns, the status value(s) that mark an event, the grouping column and the
# level order used (C collation), so a test can rebuild the same records.
#
# Definitions: survdiff's rho = r is the weight S(t-)^r with S the pooled
# left-continuous Kaplan-Meier estimate, i.e. Fleming-Harrington(r, 0); its
# rho = 1 is not the Peto-Peto test (which weighs by Prentice's S~(t)
# including t). The example times are whole numbers, so ties are exact.
suppressMessages(library(survival))
invisible(Sys.setlocale("LC_COLLATE", "C"))

root <- if (file.exists("examples/lung.csv")) "." else stop("run from the repository root")
ex <- function(f) read.csv(file.path(root, "examples", paste0(f, ".csv")),
                           stringsAsFactors = FALSE, na.strings = c("", "NA"))

# data file, time, status, event values, group column, strata column ("" none), row filter
cases <- list(
  list("lung", "time", "status", "2", "sex", ""),
  list("lung", "time", "status", "2", "ph_ecog", ""),
  list("veteran", "time", "status", "1", "celltype", ""),
  list("veteran", "time", "status", "1", "trt", ""),
  list("veteran", "time", "status", "1", "trt", "celltype"),
  list("aml", "time", "status", "1", "x", ""),
  list("ovarian", "futime", "fustat", "1", "rx", ""),
  list("ovarian", "futime", "fustat", "1", "ecog_ps", ""),
  list("ovarian", "futime", "fustat", "1", "rx", "resid_ds"),
  list("colon", "time", "status", "1", "rx", ""),
  list("colon", "time", "status", "1", "rx", "sex"),
  list("kidney", "time", "status", "1", "disease", ""),
  list("kidney", "time", "status", "1", "sex", "")
)

sd_rows <- list(); tr_rows <- list(); lr_rows <- list()
for (cs in cases) {
  f <- cs[[1]]; tv <- cs[[2]]; sv <- cs[[3]]; ev <- as.numeric(strsplit(cs[[4]], "\\|")[[1]])
  gv <- cs[[5]]; st <- cs[[6]]
  d <- ex(f)
  cols <- c(tv, sv, gv, if (st != "") st)
  d <- d[complete.cases(d[, cols]), cols]
  time <- d[[tv]]; event <- as.integer(d[[sv]] %in% ev)
  g <- d[[gv]]
  lev <- if (is.numeric(g)) sort(unique(g)) else sort(unique(as.character(g)))
  gf <- factor(g, levels = lev)
  levtxt <- paste(lev, collapse = "|")
  for (rho in c(0, 0.5, 1)) {
    fit <- if (st == "") survdiff(Surv(time, event) ~ gf, rho = rho)
           else survdiff(Surv(time, event) ~ gf + strata(d[[st]]), rho = rho)
    oe <- if (is.matrix(fit$obs)) rowSums(fit$obs - fit$exp) else fit$obs - fit$exp
    df <- sum(if (is.matrix(fit$exp)) rowSums(fit$exp) > 0 else fit$exp > 0) - 1
    sd_rows[[length(sd_rows) + 1]] <- data.frame(
      data = f, time = tv, status = sv, events = cs[[4]], group = gv, strata = st,
      levels = levtxt, rho = rho, chisq = sprintf("%.12g", fit$chisq), df = df,
      oe = paste(sprintf("%.12g", oe), collapse = "|"))
    if (st == "" && rho == 0 && length(lev) > 2) {
      # Trend over the level order with scores 1..k: x'(O-E) / sqrt(x'Vx).
      x <- seq_along(lev)
      stat <- sum(x * oe); se <- sqrt(drop(t(x) %*% fit$var %*% x))
      tr_rows[[length(tr_rows) + 1]] <- data.frame(
        data = f, time = tv, status = sv, events = cs[[4]], group = gv, levels = levtxt,
        scores = paste(x, collapse = "|"), stat = sprintf("%.12g", stat),
        se = sprintf("%.12g", se), z = sprintf("%.12g", stat / se))
    }
  }
  if (st == "") {
    # Exponential model: events per level ~ Poisson with exposure the total
    # time; the likelihood-ratio statistic is the drop in deviance.
    D <- tapply(event, gf, sum); Tt <- tapply(time, gf, sum)
    full <- suppressWarnings(glm(D ~ factor(seq_along(D)) + offset(log(Tt)), family = poisson))
    lr <- full$null.deviance - full$deviance
    lr_rows[[length(lr_rows) + 1]] <- data.frame(
      data = f, time = tv, status = sv, events = cs[[4]], group = gv, levels = levtxt,
      lr = sprintf("%.12g", lr), df = length(lev) - 1)
  }
}

out <- function(rows, name) {
  path <- file.path(root, "tests", "reference", name)
  write.csv(do.call(rbind, rows), path, row.names = FALSE, quote = TRUE)
  cat("wrote", path, "\n")
}
out(sd_rows, "homogeneity_survdiff.csv")
out(tr_rows, "homogeneity_trend.csv")
out(lr_rows, "homogeneity_lr.csv")

# Times that differ only in their last bits: 0.1 + 0.2 (0.30000000000000004)
# and 0.3. survdiff merges them by default (aeqSurv, timefix = TRUE); here
# every distinct double is a distinct time, as with timefix = FALSE. In
# survival 3.5-3 survdiff(timefix = FALSE) stops in model.frame, so the
# unmerged test calls survdiff.fit, the routine survdiff runs after aeqSurv.
tf <- data.frame(time = c(0.1, 0.1 + 0.2, 0.1 + 0.2, 0.4, 0.7, 0.2, 0.3, 0.3, 0.5, 0.6),
                 status = c(1, 1, 1, 1, 1, 1, 1, 0, 0, 1), group = rep(c("A", "B"), each = 5))
writeLines(c("time,status,group", sprintf("%.17g,%d,%s", tf$time, tf$status, tf$group)),
           file.path(root, "tests", "reference", "homogeneity_timefix_data.csv"))
merged <- survdiff(Surv(time, status) ~ group, data = tf)
fit <- survival:::survdiff.fit(Surv(tf$time, tf$status), factor(tf$group))
exact <- (fit$observed - fit$expected)[1]^2 / fit$var[1, 1]
out(list(data.frame(timefix = c("TRUE", "FALSE"), chisq = sprintf("%.12g", c(merged$chisq, exact)),
                    df = 1, p = sprintf("%.12g", pchisq(c(merged$chisq, exact), 1, lower.tail = FALSE)))),
    "homogeneity_timefix.csv")

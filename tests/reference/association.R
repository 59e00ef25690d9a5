# Peer reference values for the rank tests of association of TEST covariates.
# Run from the repository root:
#   Rscript tests/reference/association.R
# (also a section of make.R). Writes:
#
# association_logrank.csv: the log-rank scores and covariance of the TEST
#   covariates from R's survival package. They are the score test of a Cox
#   model at beta = 0 with Breslow ties: coxph(Surv(t, s) ~ x + strata(st),
#   ties = "breslow", weights = freq, iter.max = 0). The score vector is minus
#   colSums(freq x residuals(fit, "score")) (ours is expected minus observed, the
#   Cox score is observed minus expected), the covariance is solve(fit$var),
#   the joint chi-square fit$score. The forward path enters, step by step, the
#   covariate whose added Cox score test (of the covariates entered so far
#   and it) is largest; path_chisq is that score test. Records with a missing
#   value in any of the case's covariates are left out, as coxph does. Each row
#   is one BY group (by_value) of a case.
#
# association_wilcoxon.csv: small data sets enumerated for the Wilcoxon
#   (Prentice) scores. Each record's score is worked out from its definition:
#   a censored record scores 1 - S and an event 1 - 2S', S being the product
#   over the events so far of R/(R+1) (R at risk before the event) and S' that
#   product including the event itself; tied events are taken one after
#   another and each gets the mean of their scores. U = sum of score x freq x
#   covariate. Then every permutation of the covariate rows over the records
#   is enumerated: perm_var is the (population) covariance matrix of U over
#   the permutations, packed lower. For untied data the covariance estimate
#   averaged over the same permutations must equal it. lr_U and lr_perm_var
#   are the same for the log-rank scores (an event scores its Nelson-Aalen
#   cumulative hazard at its time less one, a censored record its cumulative
#   hazard).
#
# association_freq.csv: the data set with a frequency variable used by the
#   FREQ case of association_logrank.csv.
suppressMessages(library(survival))

root <- if (file.exists("examples/lung.csv")) "." else stop("run from the repository root")
ex <- function(f) {
  path <- if (f == "association_freq") file.path(ref_dir, "association_freq.csv")
          else file.path(root, "examples", paste0(f, ".csv"))
  read.csv(path, stringsAsFactors = FALSE, na.strings = c("", "NA"), comment.char = "#")
}
num <- function(v) paste(sprintf("%.17g", v), collapse = "|")
packed <- function(m) { p <- nrow(m); v <- c(); for (i in 1:p) v <- c(v, m[i, 1:i]); v }

# The FREQ data: integer times with many ties, frequencies 1 to 4, two
# covariates and two strata.
set.seed(20240521)
n <- 60
fd <- data.frame(t = sample(1:15, n, replace = TRUE), s = rbinom(n, 1, 0.7),
                 f = sample(1:4, n, replace = TRUE), g = sample(c("a", "b"), n, replace = TRUE),
                 x1 = round(rnorm(n, 50, 10)), x2 = rbinom(n, 1, 0.4))
fd$x1[c(7, 23)] <- NA
write.table(fd, file.path(ref_dir, "association_freq.csv"), sep = ",", row.names = FALSE,
            quote = FALSE, na = "")

# data, time, status, censoring value, strata, freq, BY variable, covariates
cases <- list(
  list("lung", "time", "status", 1, "", "", "", "age|ph_karno|wt_loss|meal_cal|pat_karno|ph_ecog|sex"),
  list("lung", "time", "status", 1, "sex", "", "", "age|ph_ecog|ph_karno|wt_loss"),
  list("lung", "time", "status", 1, "", "", "sex", "age|ph_karno"),
  list("veteran", "time", "status", 0, "celltype", "", "", "karno|diagtime|age|prior|trt"),
  list("veteran", "time", "status", 0, "", "", "", "karno|age"),
  list("colon", "time", "status", 0, "rx", "", "", "age|nodes|sex|obstruct|perfor|adhere|differ|extent|surg"),
  list("association_freq", "t", "s", 0, "g", "f", "", "x1|x2")
)

score_test <- function(d, covs, st, fr) {
  f <- as.formula(paste("Surv(time, event) ~", paste(covs, collapse = " + "),
                        if (st != "") "+ strata(stratum)" else ""))
  w <- if (fr != "") d[[fr]] else rep(1, nrow(d))
  coxph(f, data = d, ties = "breslow", weights = w, iter.max = 0)
}

rows <- list()
for (cs in cases) {
  d0 <- ex(cs[[1]])
  covs <- strsplit(cs[[8]], "\\|")[[1]]
  st <- cs[[5]]; fr <- cs[[6]]; by <- cs[[7]]
  keep <- c(cs[[2]], cs[[3]], covs, if (st != "") st, if (fr != "") fr, if (by != "") by)
  d0 <- d0[complete.cases(d0[, keep]), ]
  d0$time <- d0[[cs[[2]]]]
  d0$event <- as.integer(d0[[cs[[3]]]] != cs[[4]])
  if (st != "") d0$stratum <- d0[[st]]
  byvals <- if (by != "") sort(unique(d0[[by]])) else NA
  for (bv in byvals) {
    d <- if (by != "") d0[d0[[by]] == bv, ] else d0
    fit <- score_test(d, covs, st, fr)
    # Score residuals are per record; a record stands for freq subjects.
    w <- if (fr != "") d[[fr]] else rep(1, nrow(d))
    U <- -colSums(w * residuals(fit, type = "score"))
    V <- solve(fit$var)
    # The forward path by Cox score tests of growing sets.
    inset <- c(); pchi <- c()
    repeat {
      rest <- setdiff(covs, inset)
      if (length(rest) == 0) break
      best <- NA; bchi <- -Inf
      for (v in rest) {
        s <- score_test(d, c(inset, v), st, fr)$score
        if (s > bchi) { bchi <- s; best <- v }
      }
      inset <- c(inset, best); pchi <- c(pchi, bchi)
    }
    rows[[length(rows) + 1]] <- data.frame(
      data = cs[[1]], time = cs[[2]], status = cs[[3]], censor = cs[[4]], strata = st, freq = fr,
      by = by, by_value = if (by != "") as.character(bv) else "", covariates = cs[[8]],
      nobs = nrow(d), U = num(U), V = num(packed(V)), chisq = sprintf("%.17g", fit$score),
      path = paste(inset, collapse = "|"), path_chisq = num(pchi))
  }
}
write_ref(do.call(rbind, rows), "association_logrank.csv",
          "coxph(ties='breslow', iter.max=0): U = -colSums(freq x score residuals), V = solve(var), chisq = score test; path = forward selection by score tests")

# Wilcoxon scores from their definition, and the permutation covariance.
wil_scores <- function(time, freq) {
  ev <- freq > 0; a <- abs(freq)
  R <- sum(a); S <- 1; sc <- numeric(length(time))
  keys <- unique(data.frame(t = time, e = ev)[order(time, !ev), ])
  for (g in seq_len(nrow(keys))) {
    idx <- which(time == keys$t[g] & ev == keys$e[g])
    d <- sum(a[idx])
    if (keys$e[g]) {
      s <- numeric(d); Si <- S
      for (i in 1:d) { Si <- Si * (R - i + 1) / (R - i + 2); s[i] <- 1 - 2 * Si }
      sc[idx] <- mean(s); S <- Si
    } else {
      sc[idx] <- 1 - S
    }
    R <- R - d
  }
  sc
}
# Log-rank scores: an event scores its cumulative hazard (Nelson-Aalen, at
# its own time) less one, a censored record its cumulative hazard; U = sum of
# score x freq x covariate (expected minus observed).
lr_scores <- function(time, freq) {
  ev <- freq > 0; a <- abs(freq)
  H <- sapply(seq_along(time), function(i) {
    ts <- sort(unique(time[ev & time <= time[i]]))
    sum(vapply(ts, function(t) sum(a[ev & time == t]) / sum(a[time >= t]), 0))
  })
  ifelse(ev, H - 1, H)
}
perms <- function(n) {
  if (n == 1) return(matrix(1, 1, 1))
  p <- perms(n - 1); out <- NULL
  for (i in 1:n) out <- rbind(out, cbind(i, ifelse(p >= i, p + 1, p)))
  out
}
wcases <- list(
  list("untied", c(1, 2, 3, 4, 5, 6), c(1, -1, 1, 1, -1, 1), "0.5|1.5|-1|2|0|3"),
  list("untied_censored_first", c(1, 2, 3, 4, 5, 6), c(-1, 1, -1, 1, 1, -1), "2|-1|0.5|4|1|-2"),
  list("untied_two", c(3, 1, 6, 2, 5, 4, 7), c(1, 1, -1, 1, -1, 1, 1),
       "1;0|0;1|2;1|1;1|3;0|0;0|2;2"),
  list("tied", c(1, 2, 2, 2, 3, 3), c(1, 1, 1, -1, 1, 1), "0.5|1.5|-1|2|0|3"),
  list("tied_freq", c(1, 2, 2, 3, 3, 4), c(1, 2, -1, 3, 1, -2), "1|0|2|-1|3|0.5")
)
wrows <- list()
for (cs in wcases) {
  time <- cs[[2]]; freq <- cs[[3]]
  x <- do.call(rbind, lapply(strsplit(strsplit(cs[[4]], "\\|")[[1]], ";"), as.numeric))
  p <- ncol(x); n <- length(time)
  P <- perms(n)
  enumerate <- function(sc) {
    Uof <- function(xx) colSums(sc * abs(freq) * xx)
    Us <- t(apply(P, 1, function(pi) Uof(x[pi, , drop = FALSE])))
    if (p == 1) Us <- matrix(Us, ncol = 1)
    M <- colMeans(Us)
    list(U = Uof(x), C = crossprod(sweep(Us, 2, M)) / nrow(Us))
  }
  w <- enumerate(wil_scores(time, freq)); l <- enumerate(lr_scores(time, freq))
  wrows[[length(wrows) + 1]] <- data.frame(
    case = cs[[1]], time = paste(time, collapse = "|"), freq = paste(freq, collapse = "|"),
    x = cs[[4]], p = p, U = num(w$U), perm_var = num(packed(w$C)), lr_U = num(l$U),
    lr_perm_var = num(packed(l$C)))
}
write_ref(do.call(rbind, wrows), "association_wilcoxon.csv",
          "Wilcoxon scores from their definition; perm_var = covariance of U over all permutations of the covariate rows")

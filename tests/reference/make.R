# Regenerates the reference values kept under tests/reference/ from
# independent tools (R and its packages). Every subsystem adds its own section
# file here; a section writes its data files and names the R calls that made
# them in each file's header.
#
#   Rscript tests/reference/make.R            # every section
#   Rscript tests/reference/make.R numeric    # one section
#
# Run from the repository root. The generated files are committed, so the
# tests never need R. Four Python scripts beside this one make the rest: the
# statsmodels references of the homogeneity tests, the worked values of the
# tests no peer computes (modified Peto-Peto, Fleming-Harrington with
# gamma > 0) from their definitions, the exact rational references of the
# weighted statistics with weights up to 1e12 times the others, and those of
# the cumulative incidence and Gray's test with fractional frequencies:
#
#   /usr/bin/python3 tests/reference/homogeneity_statsmodels.py
#   /usr/bin/python3 tests/reference/homogeneity_worked.py
#   /usr/bin/python3 tests/reference/exact_weighted.py
#   /usr/bin/python3 tests/reference/cmprisk_exact.py
#   /usr/bin/python3 tests/reference/group_statsmodels.py

args <- commandArgs(trailingOnly = TRUE)
ref_dir <- file.path("tests", "reference")

source(file.path(ref_dir, "write_ref.R"))

sections <- c(numeric = "numeric.R", estimate = "estimate.R", homogeneity = "homogeneity.R",
              cmprisk = "cmprisk.R", cmprisk_ends = "cmprisk_ends.R",
              mcomp = "mcomp.R", mcomp_approx = "mcomp_approx.R", mcomp_exact = "mcomp_exact.R",
              lifetable = "lifetable.R",
              levelize = "levelize.R",
              association = "association.R",
              smoothed = "smoothed.R", group = "group.R", rmst = "rmst.R")

for (s in names(sections)) {
  if (length(args) == 0 || s %in% args) {
    cat("== section", s, "\n")
    source(file.path(ref_dir, sections[[s]]), local = new.env())
  }
}

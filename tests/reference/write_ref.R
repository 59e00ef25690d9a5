# Writes a data frame as CSV with a commented header. Numbers keep 17
# significant digits so that double values survive the round trip. The
# files go to ref_dir.
write_ref <- function(df, name, comment) {
  path <- file.path(ref_dir, name)
  con <- file(path, "w")
  on.exit(close(con))
  writeLines(paste("#", comment), con)
  writeLines(paste(names(df), collapse = ","), con)
  cols <- lapply(df, function(v) {
    if (is.numeric(v)) ifelse(is.na(v), "NA", sprintf("%.17g", v)) else as.character(v)
  })
  writeLines(do.call(paste, c(cols, sep = ",")), con)
  cat("wrote", path, nrow(df), "rows\n")
}

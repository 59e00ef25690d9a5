# The step the placing scripts share, sourced by them: five BY groups, each
# with a graph, and two data sets in two library folders, nine files placed
# in that order (the graphs, then each data set's attribute and CSV files).
# step_in DIR: writes its data (byd.csv) and program (p.vyr) into DIR.
# other_numbers DIR: the data and a title change, so that a later run writes
# other numbers under the same names.
# next_programs DIR: see below.
step_in() {
  mkdir -p "$1/files/lib1" "$1/files/lib2" "$1/files/out"
  awk 'BEGIN { srand(5); print "g,time,status"
    for (g = 1; g <= 5; g++) for (i = 0; i < 20; i++) print g "," int(rand() * 500) + 0.5 "," (i % 3 > 0) }' \
    >"$1/byd.csv"
  cat >"$1/p.vyr" <<'VYR'
libname l1 'files/lib1';
libname l2 'files/lib2';
proc korvante data=byd plots=(s) outsurv=l1.os outtest=l2.ot notable;
  time time*status(0);
  by g;
run;
VYR
}
other_numbers() {
  # Written over, not renamed over (an rclone mount refuses sed -i).
  { echo 'title "Another run";' && cat "$1/p.vyr"; } >"$1/p.vyr.new" &&
    cat "$1/p.vyr.new" >"$1/p.vyr" && rm "$1/p.vyr.new"
  awk 'BEGIN { srand(7); print "g,time,status"
    for (g = 1; g <= 5; g++) for (i = 0; i < 20; i++) print g "," int(rand() * 400) + 0.5 "," i % 2 }' \
    >"$1/byd.csv"
}
# next_programs DIR: next.vyr, a run writing other data sets into both
# library folders, and reads.vyr, one that only reads L1.OS.
next_programs() {
  cat >"$1/next.vyr" <<'VYR'
libname l1 'files/lib1';
libname l2 'files/lib2';
proc korvante data=byd outsurv=l1.next outtest=l2.next notable;
  time time*status(0);
run;
VYR
  cat >"$1/reads.vyr" <<'VYR'
libname l1 'files/lib1';
proc korvante data=l1.os notable;
  time time*_censor_(1);
run;
VYR
}

#!/usr/bin/env python3
"""Writes aggregated copies of two example data sets for the end-to-end tests
of FREQ: identical records of examples/aml.csv (time, status, x) and of
examples/veteran.csv (trt, time, status) become one record with their count
in the column n. Run from the repository root:

    /usr/bin/python3 tests/e2e/lifetable_data/make_counts.py
"""
import csv
from collections import OrderedDict


def aggregate(src, keep, dst):
    with open(src, newline="") as f:
        rows = list(csv.DictReader(f))
    counts = OrderedDict()
    for r in rows:
        key = tuple(r[c] for c in keep)
        counts[key] = counts.get(key, 0) + 1
    with open(dst, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(list(keep) + ["n"])
        for key, n in counts.items():
            w.writerow(list(key) + [n])


aggregate("examples/aml.csv", ("time", "status", "x"), "tests/e2e/lifetable_data/amlcounts.csv")
aggregate("examples/veteran.csv", ("trt", "time", "status"),
          "tests/e2e/lifetable_data/vetcounts.csv")

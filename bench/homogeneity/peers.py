#!/usr/bin/python3
"""The statsmodels side of the benchmark: read the file, estimate the survival
curves by group and run the log-rank and Gehan-Wilcoxon tests.
Usage: peers.py FILE"""
import sys
import time

import pandas as pd
from statsmodels.duration.survfunc import SurvfuncRight, survdiff

t0 = time.time()
d = pd.read_csv(sys.argv[1])
t1 = time.time()
for _, part in d.groupby("group"):
    SurvfuncRight(part["time"].values, part["status"].values)
lr, _ = survdiff(d["time"].values, d["status"].values, d["group"].values)
gb, _ = survdiff(d["time"].values, d["status"].values, d["group"].values, weight_type="gb")
t2 = time.time()
print(f"statsmodels: read {t1 - t0:.2f} s, survfunc+survdiff {t2 - t1:.2f} s, "
      f"log-rank {lr:.4f}, Gehan {gb:.4f}")

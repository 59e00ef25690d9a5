#!/usr/bin/python3
"""The statsmodels side of the GROUP= benchmark: read the file, the
product-limit curve of every group within every stratum (s1, s2), and the
log-rank and Gehan tests of the groups stratified by the strata.
Usage: peers.py FILE"""
import sys
import time

import numpy as np
import pandas as pd
from statsmodels.duration.survfunc import SurvfuncRight, survdiff

t0 = time.time()
d = pd.read_csv(sys.argv[1])
t1 = time.time()
for _, sub in d.groupby(["s1", "s2", "group"]):
    SurvfuncRight(sub["time"].values, sub["status"].values)
strata = (d["s1"] * 10 + d["s2"]).values
lr, _ = survdiff(d["time"].values, d["status"].values, d["group"].values, strata=strata)
gb, _ = survdiff(d["time"].values, d["status"].values, d["group"].values, strata=strata,
                 weight_type="gb")
t2 = time.time()
print("statsmodels: read %.2f s, curves+tests %.2f s, log-rank %.4f, Gehan %.4f"
      % (t1 - t0, t2 - t1, lr, gb))

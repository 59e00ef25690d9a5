#!/usr/bin/python3
"""Peer reference values of the tests across GROUP= levels stratified by the
STRATA variables, from statsmodels (statsmodels.duration.survfunc.survdiff
with strata=). Run from the repository root:

    /usr/bin/python3 tests/reference/group_statsmodels.py

Writes tests/reference/group_statsmodels.csv. Weight types: None is the
log-rank test, "gb" Gehan's Wilcoxon (weight: the stratum's number at risk),
"tw" Tarone-Ware (its square root), "fh" with fh_p = r the weight S(t-)^r of
the stratum's pooled product-limit estimate, i.e. Fleming-Harrington(r, 0).
statsmodels sums the scores and covariances over the strata and reports
k - 1 degrees of freedom. Levels are in C collation (the order of the
formatted values).
"""
import csv
import os

import numpy as np
from statsmodels.duration.survfunc import survdiff

ROOT = "."
if not os.path.exists(os.path.join(ROOT, "examples", "rats.csv")):
    raise SystemExit("run from the repository root")

# data file, time, status, event value, GROUP= column, STRATA column
CASES = [
    ("rats", "time", "status", "1", "rx", "litter"),
    ("rats", "time", "status", "1", "rx", "sex"),
    ("veteran", "time", "status", "1", "celltype", "trt"),
    ("colon", "time", "status", "1", "rx", "sex"),
]
WEIGHTS = [("logrank", None, None), ("gb", "gb", None), ("tw", "tw", None),
           ("fh", "fh", 1.0), ("fh", "fh", 0.5)]


def load(name):
    with open(os.path.join(ROOT, "examples", name + ".csv"), newline="") as fh:
        return list(csv.DictReader(fh))


def levels_of(values):
    try:
        nums = sorted(set(float(v) for v in values))
        return [("%.15g" % v) for v in nums], True
    except ValueError:
        return sorted(set(values)), False


def main():
    out = []
    for data, tv, sv, ev, gv, st in CASES:
        rows = load(data)
        time = np.array([float(r[tv]) for r in rows])
        status = np.array([1 if float(r[sv]) == float(ev) else 0 for r in rows])
        lev, numeric = levels_of([r[gv] for r in rows])
        key = (lambda v: "%.15g" % float(v)) if numeric else (lambda v: v)
        group = np.array([lev.index(key(r[gv])) for r in rows])
        strata = np.array([r[st] for r in rows])
        for label, wtype, p in WEIGHTS:
            kw = {"strata": strata}
            if wtype is not None:
                kw["weight_type"] = wtype
            if p is not None:
                kw["fh_p"] = p
            chisq, _ = survdiff(time, status, group, **kw)
            out.append({"data": data, "time": tv, "status": sv, "group": gv, "strata": st,
                        "levels": "|".join(lev), "weight": label,
                        "p": "" if p is None else "%g" % p, "chisq": "%.17g" % chisq,
                        "df": len(lev) - 1})
    path = os.path.join(ROOT, "tests", "reference", "group_statsmodels.csv")
    with open(path, "w", newline="") as fh:
        fh.write("# statsmodels.duration.survfunc.survdiff(time, status, group, weight_type, "
                 "fh_p, strata=): chisq on k - 1 df\n")
        w = csv.DictWriter(fh, fieldnames=list(out[0].keys()), quoting=csv.QUOTE_NONNUMERIC)
        w.writeheader()
        w.writerows(out)
    print("wrote", path, len(out), "rows")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Peer reference values for the weighted log-rank family from statsmodels
(statsmodels.duration.survfunc.survdiff). Run from the repository root:

    /usr/bin/python3 tests/reference/homogeneity_statsmodels.py

Writes tests/reference/homogeneity_statsmodels.csv. Weight types: None is the
log-rank test, "gb" Gehan's Wilcoxon (weight: number at risk), "tw"
Tarone-Ware (its square root), "fh" with fh_p = r the weight S(t-)^r of the
pooled product-limit estimate, i.e. Fleming-Harrington(r, 0). statsmodels
always reports k - 1 degrees of freedom and solves the reduced system; it has
no Peto-Peto weight.
"""
import csv
import os

import numpy as np
from statsmodels.duration.survfunc import survdiff

ROOT = "."
if not os.path.exists(os.path.join(ROOT, "examples", "lung.csv")):
    raise SystemExit("run from the repository root")

CASES = [
    ("lung", "time", "status", "2", "sex", ""),
    ("lung", "time", "status", "2", "ph_ecog", ""),
    ("veteran", "time", "status", "1", "celltype", ""),
    ("veteran", "time", "status", "1", "trt", "celltype"),
    ("aml", "time", "status", "1", "x", ""),
    ("ovarian", "futime", "fustat", "1", "rx", ""),
    ("ovarian", "futime", "fustat", "1", "ecog_ps", ""),
    ("colon", "time", "status", "1", "rx", ""),
    ("kidney", "time", "status", "1", "disease", ""),
    ("kidney", "time", "status", "1", "sex", ""),
]
WEIGHTS = [("logrank", None, None), ("gb", "gb", None), ("tw", "tw", None),
           ("fh", "fh", 1.0), ("fh", "fh", 0.5)]


def load(name, cols):
    with open(os.path.join(ROOT, "examples", name + ".csv"), newline="") as fh:
        rows = [r for r in csv.DictReader(fh)]
    keep = [r for r in rows if all(r[c] not in ("", "NA") for c in cols)]
    return keep


def levels_of(values):
    try:
        nums = sorted(set(float(v) for v in values))
        return [("%.15g" % v) for v in nums], True
    except ValueError:
        return sorted(set(values)), False


def main():
    out = []
    for data, tv, sv, ev, gv, st in CASES:
        cols = [tv, sv, gv] + ([st] if st else [])
        rows = load(data, cols)
        events = set(float(e) for e in ev.split("|"))
        time = np.array([float(r[tv]) for r in rows])
        status = np.array([1 if float(r[sv]) in events else 0 for r in rows])
        lev, numeric = levels_of([r[gv] for r in rows])
        key = (lambda v: "%.15g" % float(v)) if numeric else (lambda v: v)
        group = np.array([lev.index(key(r[gv])) for r in rows])
        strata = np.array([r[st] for r in rows]) if st else None
        for label, wtype, p in WEIGHTS:
            kw = {}
            if wtype is not None:
                kw["weight_type"] = wtype
            if p is not None:
                kw["fh_p"] = p
            if strata is not None:
                kw["strata"] = strata
            chisq, pval = survdiff(time, status, group, **kw)
            out.append({"data": data, "time": tv, "status": sv, "events": ev, "group": gv,
                        "strata": st, "levels": "|".join(lev), "weight": label,
                        "p": "" if p is None else "%g" % p, "chisq": "%.12g" % chisq,
                        "df": len(lev) - 1})
    path = os.path.join(ROOT, "tests", "reference", "homogeneity_statsmodels.csv")
    with open(path, "w", newline="") as fh:
        w = csv.DictWriter(fh, fieldnames=list(out[0].keys()), quoting=csv.QUOTE_NONNUMERIC)
        w.writeheader()
        w.writerows(out)
    print("wrote", path)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Exact reference values for the weighted statistics, by rational arithmetic.

The weighted tests across strata (log-rank, Wilcoxon, Tarone) and the weighted
product-limit estimator lose accuracy in floating point when the weights span
many orders of magnitude, if a quantity is formed as the difference of two
nearly equal large sums. This script computes the same statistics with Python
fractions from the double values the tests feed the program (every input
double converted exactly), so the only rounding left in the reference is the
final conversion to a double (and the square roots, taken to 60 digits).

The definitions, written independently of the program's code:
  - Records: time, status (1 event), level, frequency f, weight w. A record
    stands for f subjects of weight w.
  - At each time t with events and more than one subject at risk (time >= t):
    N and D the subjects at risk and failing, S the weight at risk, p_h the
    share of level h in it. The observed-minus-expected score of level h is
    E_h - p_h E (E: the weight failing), and the covariance of the scores of
    levels h and j is theta * sum_i f_i w_i^2 (1[i in h] - p_h)(1[i in j] - p_j)
    over the records at risk, theta = D (N - D) / (N (N - 1)): the weighted
    sums of a draw of D of the N subjects without replacement. Log-rank sums
    these; Wilcoxon weights the time by S (the covariance by S^2), Tarone by
    sqrt(S) (the covariance by S).
  - The chi-square is U' V^- U: V has rank m - 1 (m levels with a positive
    variance); one active level is dropped and the rest solved exactly.
  - Weighted product-limit: at an event time, Y the weight at risk, d the
    weight failing, R = Y - d, R2 the sum of f w^2 at risk; S <- S R / Y;
    G <- G + d R2 / (Y^2 R) (0 when R = 0); the standard error is S sqrt(G);
    the Nelson-Aalen estimate sums d / Y, its variance d / Y^2.

Run from the repository root:
    /usr/bin/python3 tests/reference/exact_weighted.py
It writes exact_weighted_records.csv (the inputs), exact_weighted_tests.csv and
exact_weighted_estimates.csv under tests/reference/.
"""

import os
from decimal import Decimal, getcontext
from fractions import Fraction

getcontext().prec = 60
REF = os.path.join("tests", "reference")


def exact(x):
    return Fraction(float(x))


def sqrt(q):
    """Square root of a non-negative fraction to 60 digits, as a fraction."""
    if q == 0:
        return Fraction(0)
    return Fraction((Decimal(q.numerator) / Decimal(q.denominator)).sqrt())


def cases():
    """(case, records): records are (time, status, level, freq, weight)."""
    out = []
    # The example of the report: one subject of weight 100000.
    out.append(("report", [
        (1, 1, 0, 1, 0.7), (2, 1, 1, 1, 1.3), (3, 1, 0, 1, 1.1), (4, 0, 1, 1, 0.9),
        (5, 1, 1, 1, 1.7), (6, 1, 0, 1, 0.6), (7, 1, 1, 1, 1.2), (8, 1, 0, 1, 1.9),
        (100, 0, 1, 1, 100000)]))
    # Three levels, ties, frequencies, and two subjects of weight W: one fails
    # at time 9, one is censored at time 100 and at risk throughout.
    for ratio in ("1", "1e4", "1e8", "1e12"):
        W = float(ratio)
        out.append(("three_" + ratio, [
            (1, 1, 0, 1, 0.7), (2, 1, 1, 2, 1.3), (3, 1, 2, 1, 1.1), (3, 1, 0, 1, 0.9),
            (4, 0, 1, 1, 0.9), (5, 1, 1, 1, 1.7), (6, 1, 2, 3, 0.6), (6, 0, 0, 1, 1.0),
            (7, 1, 1, 1, 1.2), (8, 1, 0, 1, 1.9), (9, 1, 2, 1, W), (10, 1, 0, 2, 0.8),
            (12, 1, 1, 1, 1.4), (100, 0, 1, 1, W)]))
        # Two levels: the heavy subject alone in level 1.
        out.append(("two_" + ratio, [
            (1, 1, 0, 1, 0.7), (2, 1, 0, 1, 1.3), (3, 1, 1, 1, 1.1), (4, 0, 0, 1, 0.9),
            (5, 1, 0, 1, 1.7), (6, 1, 1, 1, 0.6), (7, 1, 0, 1, 1.2), (8, 1, 1, 2, 1.9),
            (50, 0, 1, 1, W)]))
        # The heavy subject censored early: every later risk set is what is
        # left after it, a few units beside W^2 in the squared weights.
        out.append(("early_" + ratio, [
            (1, 1, 0, 1, 0.7), (2, 0, 1, 1, W), (3, 1, 1, 1, 1.1), (4, 0, 0, 1, 0.9),
            (5, 1, 0, 1, 1.7), (6, 1, 1, 1, 0.6), (7, 1, 0, 1, 1.2), (8, 1, 1, 2, 1.9),
            (9, 1, 0, 1, 1.3), (11, 0, 1, 1, 0.8)]))
    return out


def solve(a, b):
    """Solves a x = b exactly (a square, non-singular)."""
    n = len(b)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for c in range(n):
        p = next(r for r in range(c, n) if m[r][c] != 0)
        m[c], m[p] = m[p], m[c]
        for r in range(n):
            if r != c and m[r][c] != 0:
                f = m[r][c] / m[c][c]
                m[r] = [x - f * y for x, y in zip(m[r], m[c])]
    return [m[i][n] / m[i][i] for i in range(n)]


def rank(a):
    m = [row[:] for row in a]
    r = 0
    for c in range(len(m[0]) if m else 0):
        p = next((i for i in range(r, len(m)) if m[i][c] != 0), None)
        if p is None:
            continue
        m[r], m[p] = m[p], m[r]
        for i in range(len(m)):
            if i != r and m[i][c] != 0:
                f = m[i][c] / m[r][c]
                m[i] = [x - f * y for x, y in zip(m[i], m[r])]
        r += 1
    return r


def tests(recs):
    k = 1 + max(r[2] for r in recs)
    recs = [(exact(t), s, h, exact(f), exact(w)) for t, s, h, f, w in recs]
    U = {n: [Fraction(0)] * k for n in ("logrank", "wilcoxon", "tarone")}
    V = {n: [[Fraction(0)] * k for _ in range(k)] for n in U}
    for t in sorted({r[0] for r in recs if r[1] == 1}):
        risk = [r for r in recs if r[0] >= t]
        N = sum(r[3] for r in risk)
        D = sum(r[3] for r in risk if r[0] == t and r[1] == 1)
        S = sum(r[3] * r[4] for r in risk)
        if not (D > 0 and N > 1 and S > 0):
            continue
        R = [sum(r[3] * r[4] for r in risk if r[2] == h) for h in range(k)]
        E = [sum(r[3] * r[4] for r in risk if r[2] == h and r[0] == t and r[1] == 1)
             for h in range(k)]
        p = [x / S for x in R]
        theta = D * (N - D) / (N * (N - 1))
        e = [E[h] - p[h] * sum(E) for h in range(k)]
        cov = [[theta * sum(r[3] * r[4] ** 2 * ((r[2] == h) - p[h]) * ((r[2] == j) - p[j])
                            for r in risk) for j in range(k)] for h in range(k)]
        for name, w, c in (("logrank", 1, 1), ("wilcoxon", S, S * S), ("tarone", sqrt(S), S)):
            for h in range(k):
                U[name][h] += w * e[h]
                for j in range(k):
                    V[name][h][j] += c * cov[h][j]
    rows = []
    for name in ("logrank", "wilcoxon", "tarone"):
        v, u = V[name], U[name]
        active = [h for h in range(k) if v[h][h] > 0]
        keep = active[:-1]
        sub = [[v[i][j] for j in keep] for i in keep]
        x = solve(sub, [u[i] for i in keep]) if keep else []
        chisq = sum(u[i] * xi for i, xi in zip(keep, x))
        rows.append((name, k, chisq, rank(v), u, v))
    return rows


def estimates(recs):
    recs = [(exact(t), s, exact(f), exact(w)) for t, s, h, f, w in recs]
    S, G, H, Wna = Fraction(1), Fraction(0), Fraction(0), Fraction(0)
    out = []
    for t in sorted({r[0] for r in recs if r[1] == 1}):
        risk = [r for r in recs if r[0] >= t]
        Y = sum(r[2] * r[3] for r in risk)
        R2 = sum(r[2] * r[3] ** 2 for r in risk)
        d = sum(r[2] * r[3] for r in risk if r[0] == t and r[1] == 1)
        R = Y - d
        S = S * R / Y
        G = G + d * R2 / (Y * Y * R) if R > 0 else Fraction(0)
        H += d / Y
        Wna += d / (Y * Y)
        out.append((t, Y, d, S, G, S * sqrt(G), H, sqrt(Wna)))
    return out


def num(x):
    return repr(float(x))


def main():
    all_cases = cases()
    with open(os.path.join(REF, "exact_weighted_records.csv"), "w") as f:
        f.write("# Inputs of the exact weighted references (exact_weighted.py)\n")
        f.write("case,time,status,level,freq,weight\n")
        for name, recs in all_cases:
            for t, s, h, fr, w in recs:
                f.write(f"{name},{num(t)},{s},{h},{num(fr)},{num(w)}\n")
    with open(os.path.join(REF, "exact_weighted_tests.csv"), "w") as f:
        f.write("# Weighted tests across levels by exact rational arithmetic (exact_weighted.py):"
                " chi-square, rank of V, scores U and V row by row, each |-separated\n")
        f.write("case,test,k,chisq,df,scores,cov\n")
        for name, recs in all_cases:
            for test, k, chisq, df, u, v in tests(recs):
                cov = "|".join(num(v[i][j]) for i in range(k) for j in range(k))
                f.write(f"{name},{test},{k},{num(chisq)},{df},{'|'.join(num(x) for x in u)},{cov}\n")
    with open(os.path.join(REF, "exact_weighted_estimates.csv"), "w") as f:
        f.write("# Weighted product-limit estimates of all levels pooled, by exact rational"
                " arithmetic (exact_weighted.py)\n")
        f.write("case,time,at_risk,events,surv,greenwood,stderr,cumhaz,se_cumhaz\n")
        for name, recs in all_cases:
            for row in estimates(recs):
                f.write(name + "," + ",".join(num(x) for x in row) + "\n")
    print("wrote", len(all_cases), "cases")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Worked values of the tests of equal survival on a small tied data set.

No peer computes the modified Peto-Peto test or the Fleming-Harrington test
with gamma > 0 (R's survdiff has rho only, statsmodels no Peto weight), so
their values come from this script, written from the definitions alone, in
rational arithmetic (square roots and logarithms to 50 digits):

  - At each distinct event time t with D > 0 events among N > 1 at risk
    (records with time >= t), level h has r_h at risk and d_h events.
  - Score of level h: sum over times of w(t) (d_h - r_h D / N); covariance of
    levels h and j: sum of w(t)^2 v (N r_h 1[h = j] - r_h r_j) with
    v = D (N - D) / (N^2 (N - 1)).
  - Weights w(t): log-rank 1; Wilcoxon (Gehan) N; Tarone-Ware sqrt(N);
    Peto-Peto S~(t), the product over event times s <= t of
    (1 - D_s / (N_s + 1)); modified Peto-Peto S~(t) N / (N + 1);
    Fleming-Harrington S(t-)^rho (1 - S(t-))^gamma with S the pooled
    product-limit estimate over the event times before t (gamma = 0 when
    negative).
  - Chi-square U' V^- U with the last level left out (V has rank k - 1).
  - Likelihood ratio of the exponential model: 2 (D log(T / D) -
    sum_h D_h log(T_h / D_h)), T the total time.

Run from the repository root:
    /usr/bin/python3 tests/reference/homogeneity_worked.py
It writes tests/reference/homogeneity_worked.csv. The records are those of
worked() in tests/homogeneity/core/core_test.cpp.
"""

import os
from decimal import Decimal, getcontext
from fractions import Fraction

getcontext().prec = 50

TIMES = [1, 2, 2, 2, 3, 3, 4, 5, 5, 6, 6, 7, 8, 8, 9,
         10, 11, 12, 12, 13, 14, 15, 15, 16, 17, 18, 19, 20, 21, 22]
STATUS = [1, 1, 1, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1,
          0, 1, 1, 1, 1, 0, 1, 1, 0, 1, 1, 0, 1, 0, 1]
LEVELS = "abcabcaacbbcabcabccabcabcabcab"


def dec(q):
    return Decimal(q.numerator) / Decimal(q.denominator)


def power(x, e):
    """x^e for a fraction x >= 0 and e >= 0 (exact for whole e)."""
    if e == 0:
        return Fraction(1)
    if x == 0:
        return Fraction(0)
    if e == int(e):
        return x ** int(e)
    return Fraction((dec(x).ln() * Decimal(e)).exp())


def chisq(U, V):
    k = len(U)
    n = k - 1
    m = [[V[i][j] for j in range(n)] + [U[i]] for i in range(n)]
    for c in range(n):
        for r in range(n):
            if r != c:
                f = m[r][c] / m[c][c]
                m[r] = [x - f * y for x, y in zip(m[r], m[c])]
    return sum(U[i] * m[i][n] / m[i][i] for i in range(n))


def tests():
    recs = [(Fraction(t), s, "abc".index(g)) for t, s, g in zip(TIMES, STATUS, LEVELS)]
    k = 3
    times = sorted({t for t, s, _ in recs if s == 1})
    rows = []
    at = []
    for t in times:
        risk = [r for r in recs if r[0] >= t]
        N = len(risk)
        D = sum(1 for r in risk if r[0] == t and r[1] == 1)
        if D > 0 and N > 1:
            r = [sum(1 for x in risk if x[2] == h) for h in range(k)]
            d = [sum(1 for x in risk if x[2] == h and x[0] == t and x[1] == 1) for h in range(k)]
            at.append((t, Fraction(N), Fraction(D), r, d))
    # Pooled survival before each time, and S~ including it.
    S_before, S_tilde = [], []
    s, st = Fraction(1), Fraction(1)
    for t, N, D, r, d in at:
        S_before.append(s)
        s *= 1 - D / N
        st *= 1 - D / (N + 1)
        S_tilde.append(st)

    def run(weight):
        U = [Fraction(0)] * k
        V = [[Fraction(0)] * k for _ in range(k)]
        for i, (t, N, D, r, d) in enumerate(at):
            w = weight(i, N)
            v = D * (N - D) / (N * N * (N - 1))
            for h in range(k):
                U[h] += w * (d[h] - r[h] * D / N)
                for j in range(k):
                    V[h][j] += w * w * v * ((N * r[h] if h == j else 0) - r[h] * r[j])
        return chisq(U, V)

    def fleming(rho, gamma):
        g = gamma if gamma > 0 else 0
        return lambda i, N: power(S_before[i], rho) * power(1 - S_before[i], g)

    sqrtN = lambda i, N: Fraction(dec(N).sqrt())
    for name, rho, gamma, w in (
            ("logrank", "", "", lambda i, N: 1),
            ("wilcoxon", "", "", lambda i, N: N),
            ("tarone", "", "", sqrtN),
            ("peto", "", "", lambda i, N: S_tilde[i]),
            ("modpeto", "", "", lambda i, N: S_tilde[i] * N / (N + 1)),
            ("fleming", 1, -1, fleming(1, -1)),
            ("fleming", 1, 1, fleming(1, 1)),
            ("fleming", 0, 1, fleming(0, 1)),
            ("fleming", 0.5, 2, fleming(0.5, 2))):
        rows.append((name, rho, gamma, run(w), k - 1))
    # Likelihood ratio of the exponential model.
    T = [sum(t for t, s, g in recs if g == h) for h in range(k)]
    Dh = [sum(1 for t, s, g in recs if g == h and s == 1) for h in range(k)]
    lr = 2 * (sum(Dh) * (dec(sum(T)) / sum(Dh)).ln()
              - sum(Decimal(Dh[h]) * (dec(T[h]) / Dh[h]).ln() for h in range(k)))
    rows.append(("likelihood_ratio", "", "", Fraction(lr), k - 1))
    return rows


def main():
    path = os.path.join("tests", "reference", "homogeneity_worked.csv")
    with open(path, "w") as f:
        f.write("# Tests on the worked data of core_test.cpp from their definitions"
                " (homogeneity_worked.py); rho and gamma of the Fleming-Harrington test\n")
        f.write("test,rho,gamma,chisq,df\n")
        for name, rho, gamma, x, df in tests():
            f.write(f"{name},{rho},{gamma},{float(x)!r},{df}\n")
    print("wrote", path)


if __name__ == "__main__":
    main()

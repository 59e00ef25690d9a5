#!/usr/bin/env python3
"""Derives the rational approximation coefficients used by the numerical library.

Each approximation is fitted to its target function computed at high precision
with mpmath: a weighted linear least-squares fit on Chebyshev nodes, iterated
so that the weights approach the relative error of the rational form
(Sanathanan-Koerner), followed by Lawson reweighting towards the minimax fit.
The script prints the coefficients and the largest relative fit error on a
fine grid; the numbers in zlgamma.cpp, zprobit.cpp and zxmatan.cpp come from
its output.

    python3 src/numeric/derive/fit_rational.py
"""
import mpmath as mp

mp.mp.dps = 60


def cheb_nodes(lo, hi, n):
    return [(lo + hi) / 2 + (hi - lo) / 2 * mp.cos(mp.pi * (2 * k + 1) / (2 * n)) for k in range(n)]


def fit(f, lo, hi, nnum, nden, fixed_const=None, nodes=240, iters=14, lawson=40):
    """Fits f(x) ~ N(x)/D(x), deg N = nnum, deg D = nden, D(0) = 1.
    fixed_const fixes N(0). Returns (num, den) lists lowest power first."""
    xs = cheb_nodes(mp.mpf(lo), mp.mpf(hi), nodes)
    fs = [f(x) for x in xs]
    dprev = [mp.mpf(1)] * len(xs)
    lw = [mp.mpf(1)] * len(xs)
    num = den = None

    def solve():
        rows, rhs = [], []
        for x, fx, dp, w in zip(xs, fs, dprev, lw):
            s = mp.sqrt(w) / (abs(fx) * abs(dp))
            row = []
            start = 0 if fixed_const is None else 1
            for i in range(start, nnum + 1):
                row.append(s * x**i)
            for j in range(1, nden + 1):
                row.append(-s * fx * x**j)
            rows.append(row)
            r = fx if fixed_const is None else fx - fixed_const
            rhs.append(s * r)
        A = mp.matrix(rows)
        b = mp.matrix(rhs)
        sol, _ = mp.qr_solve(A, b)
        sol = [sol[i] for i in range(sol.rows)]
        if fixed_const is None:
            n = sol[: nnum + 1]
            d = [mp.mpf(1)] + sol[nnum + 1:]
        else:
            n = [mp.mpf(fixed_const)] + sol[:nnum]
            d = [mp.mpf(1)] + sol[nnum:]
        return n, d

    def ev(c, x):
        s = mp.mpf(0)
        for a in reversed(c):
            s = s * x + a
        return s

    for _ in range(iters):
        num, den = solve()
        dprev = [ev(den, x) for x in xs]
    for _ in range(lawson):
        errs = [abs(ev(num, x) / ev(den, x) / fx - 1) for x, fx in zip(xs, fs)]
        tot = sum(w * e for w, e in zip(lw, errs))
        lw = [w * e / tot for w, e in zip(lw, errs)]
        lw = [max(w, mp.mpf(10) ** -30) for w in lw]
        num, den = solve()
        dprev = [ev(den, x) for x in xs]
    grid = [mp.mpf(lo) + (mp.mpf(hi) - mp.mpf(lo)) * k / 4000 for k in range(1, 4000)]
    maxerr = max(abs(ev(num, x) / ev(den, x) / f(x) - 1) for x in grid)
    return num, den, maxerr


def show(name, num, den, err):
    print(f"// {name}: largest relative fit error {mp.nstr(err, 3)}")
    print(f"{name} numerator:")
    for c in num:
        print(f"    {mp.nstr(c, 20, min_fixed=0, max_fixed=0)},")
    print(f"{name} denominator:")
    for c in den:
        print(f"    {mp.nstr(c, 20, min_fixed=0, max_fixed=0)},")


S0 = mp.sqrt(2 * mp.log(2))


def normal_upper_quantile(q):
    # z with (1 - Phi(z)) = q, z > 0 for q < 1/2
    return mp.sqrt(2) * mp.erfinv(1 - 2 * q)


def probit_central(t):
    q = mp.exp(-((t + S0) ** 2) / 2)
    return normal_upper_quantile(q) / t


def probit_tail(w):
    t = 1 / w
    q = mp.exp(-((t + S0) ** 2) / 2)
    return normal_upper_quantile(q) / t


def main():
    import sys
    which = sys.argv[1:] or ["lgamma", "xmatan", "probit"]
    if "lgamma" in which:
        g = mp.euler
        n, d, e = fit(lambda x: mp.loggamma(1 + x) / x, 0, 0.5, 6, 6, fixed_const=-g)
        show("lgamma R1 on [1, 1.5)", n, d, e)
        n, d, e = fit(lambda x: mp.loggamma(2 + x) / x, -0.5, 0, 6, 6, fixed_const=1 - g)
        show("lgamma R2 on [1.5, 2]", n, d, e)
    if "xmatan" in which:
        n, d, e = fit(lambda v: (mp.sqrt(v) - mp.atan(mp.sqrt(v))) / mp.sqrt(v) ** 3, 1e-30, 0.01, 3, 3)
        lead = d[-1]
        show("xmatan (monic denominator)", [c / lead for c in n], [c / lead for c in d], e)
    if "probit" in which:
        mp.mp.dps = 80
        tlo = mp.mpf(10) ** -20
        thi = mp.sqrt(-2 * mp.log(mp.mpf("0.01"))) - S0
        n, d, e = fit(probit_central, tlo, thi, 7, 7)
        show("probit central (t)", n, d, e)
        tmax = mp.sqrt(-2 * mp.log(mp.mpf("0.9e-16"))) - S0
        n, d, e = fit(probit_tail, 1 / tmax, 1 / thi, 8, 7)
        show("probit tail (1/t)", n, d, e)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Exact references of the cumulative incidence and Gray's test for records
with fractional frequencies (NOTRUNCATE), computed in rational arithmetic
from the exact binary values of the frequencies. No peer takes fractional
frequencies; in exact arithmetic a risk set that has given up all its
subjects is exactly 0, which is what the double computation must reproduce
(within rounding) instead of dividing by a residue of rounding.

The CIF variances are computed from their sum forms (not the running sums
the procedure keeps):
  delta: V = sum_j g_j (F - F_j)^2 + S_j-^2 d1_j (n_j - d1_j) / n_j^3
             - 2 (F - F_j) S_j- d1_j / n_j^2,  g_j = d_j / (n_j (n_j - d_j)) (0 when n_j = d_j)
  Aalen: V = sum_j (S_j-^2 / n_j^2) (c1 d1_j (1 + (F_j - F) / S_j)^2 + c2 d2_j ((F_j - F) / S_j)^2)
with c = 1 - (d - 1) / (n - 1) when d > 1 (the competing term left out where S_j = 0).
Gray's statistic follows the k-sample algorithm with rho = 0.

A second set of records has whole frequencies up to 2^53 (the largest FREQ
accepted): a few subjects left at risk behind a huge frequency must keep
their exact count.

A third set has cells whose overall survival S gets tiny: a fraction of a
subject (1e-10) or a few subjects left behind frequencies of 2e9 and up to
2^52, and a cell of 100 million subjects. Their variances are of order S^2
where the terms of the sum forms are of order 1. Two cells of 120,001
records of frequency 1 go with them, the last subject censored: "steps", an
event of type 1 at each time, and "alternate", type 2 at the odd times and
type 1 at the even ones. Their sums have too many distinct denominators for
fractions; they are computed from the sums expanded about F = 0,
  delta: V = A + G F^2 + B F,  Aalen: V = X - 2 Y F + Z F^2
(G = sum g_j, B = -2 sum (F_j g_j + S_j- d1_j / n_j^2), A = sum of the rest;
X, Y, Z likewise), in 80-digit decimal arithmetic: their cancellation costs
at most a factor 1/S^2 of 1.5e10, which leaves about 70 digits. Only some of
their rows are written (cmprisk_ends.R gives the peers' values at the same
times).

Run from the repository root: /usr/bin/python3 tests/reference/cmprisk_exact.py
Writes tests/reference/cmprisk_exact_cif.csv, cmprisk_exact_gray.csv,
cmprisk_exact_huge_cif.csv, cmprisk_exact_huge_gray.csv,
cmprisk_exact_tiny_data.csv (the records of the third set) and
cmprisk_exact_tiny_cif.csv, and the same records as the data of the e2e
program cmprisk_tiny.vyr (tests/e2e/cmprisk_data/tiny.csv)."""
from decimal import Decimal as D, localcontext
from fractions import Fraction as Q

# group, time, cause (0 censored), frequency: group A gives up all its
# subjects at time 3, with an event; group B has events after that.
RECORDS = [
    ("A", 1.0, 1, 0.1), ("A", 2.0, 2, 0.2), ("A", 3.0, 1, 0.3),
    ("B", 1.5, 1, 0.7), ("B", 2.0, 1, 0.35), ("B", 4.0, 1, 0.2),
    ("B", 5.0, 2, 0.45), ("B", 6.0, 0, 0.15), ("B", 7.0, 1, 0.05),
]

# Whole frequencies up to 2^53: A loses almost all its subjects to a huge
# competing event at time 1, B has a huge censored record before every
# event; each group's total stays within 2^53, where every count is exact.
HUGE = [
    ("A", 1.0, 2, 2.0 ** 52), ("A", 1.0, 1, 3.0), ("A", 2.0, 1, 2.0), ("A", 3.0, 0, 1.0),
    ("A", 4.0, 2, 1.0), ("A", 5.0, 1, 2.0), ("A", 6.0, 1, 1.0),
    ("B", 0.5, 0, 2.0 ** 53 - 16), ("B", 2.0, 1, 3.0), ("B", 3.0, 2, 2.0), ("B", 3.0, 1, 1.0),
    ("B", 5.0, 1, 4.0), ("B", 7.0, 0, 1.0), ("B", 8.0, 2, 1.0),
]

# Overall survival tiny: case, time, cause, frequency.
TINY = [
    # Four subjects fail of type 2, then four of type 1; a tenth of a
    # billionth of a subject is left (NOTRUNCATE).
    *[("fraction", float(t), 2 if t <= 4 else 1, 1.0) for t in range(1, 9)],
    ("fraction", 9.0, 0, 1e-10),
    # Halves and fractions of 1e-10 failing of both types at once.
    ("ties", 1.0, 1, 0.5), ("ties", 2.0, 2, 0.5), ("ties", 3.0, 1, 1e-10), ("ties", 3.0, 2, 1e-10),
    ("ties", 4.0, 0, 1e-10),
    # Four records of 2e9 of type 2, four of type 1, one subject left.
    *[("billions", float(t), 2 if t <= 4 else 1, 2e9) for t in range(1, 9)],
    ("billions", 9.0, 0, 1.0),
    # One subject of type 2, then 2^52, 2^51, 2^50 and 4 of type 1, 3 left:
    # the incidence of type 1 comes within 5e-16 of 1.
    ("near_one", 1.0, 2, 1.0), ("near_one", 2.0, 1, 2.0 ** 52), ("near_one", 3.0, 1, 2.0 ** 51),
    ("near_one", 4.0, 1, 2.0 ** 50), ("near_one", 5.0, 1, 4.0), ("near_one", 6.0, 0, 3.0),
    # 100 million subjects: the last ten fail of both types, one is left.
    ("hundred_million", 1.0, 1, 3e7), ("hundred_million", 2.0, 2, 2e7),
    ("hundred_million", 3.0, 0, 1e7), ("hundred_million", 4.0, 1, 2e7),
    ("hundred_million", 5.0, 2, 1e7), ("hundred_million", 6.0, 1, 9999990.0),
    ("hundred_million", 7.0, 2, 7.0), ("hundred_million", 8.0, 1, 2.0),
    ("hundred_million", 9.0, 0, 1.0),
]

# The cells of 120,001 records: (time, cause) with frequency 1, and the times
# whose rows are written for each cause.
LONG_N = 120001


def long_cell(case):
    last = LONG_N - 1
    if case == "steps":
        recs = [(float(t), 1) for t in range(1, LONG_N)]
    else:
        recs = [(float(t), 2 if t % 2 else 1) for t in range(1, LONG_N)]
    return recs + [(float(LONG_N), 0)]


def long_times(case, cause):
    every = list(range(10000, LONG_N, 10000))
    if case == "steps":
        times = [1, 2, LONG_N - 3, LONG_N - 2, LONG_N - 1] + every
    elif cause == 1:
        times = [2, LONG_N - 5, LONG_N - 3, LONG_N - 1] + every
    else:
        times = [1, LONG_N - 6, LONG_N - 4, LONG_N - 2] + [t - 1 for t in every]
    return sorted({float(t) for t in times})


def cif(records, cause):
    """Rows (time, F, V delta, V Aalen) at each event time of `cause`."""
    times = sorted({t for _, t, _, _ in records})
    n = sum(Q(f) for _, _, _, f in records)
    S = Q(1)
    F = Q(0)
    steps = []  # (n, d, d1, d2, S_, S, F after)
    rows = []
    for t in times:
        at = [(c, Q(f)) for _, tt, c, f in records if tt == t]
        m = sum(f for _, f in at)
        d1 = sum(f for c, f in at if c == cause)
        d = sum(f for c, f in at if c != 0)
        Sprev = S
        if d > 0:
            S = Sprev * (n - d) / n
        if d1 > 0:
            F = F + d1 * Sprev / n
        steps.append((n, d, d1, d - d1, Sprev, S, F))
        if d1 > 0:
            vd = Q(0)
            va = Q(0)
            for (nj, dj, d1j, d2j, Sj_, Sj, Fj) in steps:
                if dj > 0:
                    g = dj / (nj * (nj - dj)) if nj != dj else Q(0)
                    vd += g * (F - Fj) ** 2 + Sj_ ** 2 * d1j * (nj - d1j) / nj ** 3 \
                        - 2 * (F - Fj) * Sj_ * d1j / nj ** 2
                c1 = 1 - (d1j - 1) / (nj - 1) if d1j > 1 else Q(1)
                c2 = 1 - (d2j - 1) / (nj - 1) if d2j > 1 else Q(1)
                u = 1 / Sj if Sj > 0 else Q(0)
                term = c1 * d1j * (1 + (Fj - F) * u) ** 2
                if Sj > 0:
                    term += c2 * d2j * ((Fj - F) / Sj) ** 2
                va += Sj_ ** 2 / nj ** 2 * term
            rows.append((t, F, vd, va))
        n -= m
    return rows


def gray(records, cause, groups):
    """Score and variance of Gray's test over the groups (rho = 0)."""
    k = len(groups)
    gi = {g: i for i, g in enumerate(groups)}
    n = [sum(Q(f) for g, _, _, f in records if g == grp) for grp in groups]
    S = [Q(1)] * k
    Sm = [Q(1)] * k
    F = [Q(0)] * k
    Fm = [Q(0)] * k
    E = Q(0)
    tri = lambda i, j: (i * (i + 1) // 2 + j) if i >= j else (j * (j + 1) // 2 + i)
    Qm = [Q(0)] * (k * (k + 1) // 2)
    s = [Q(0)] * (k - 1)
    V = [Q(0)] * (k * (k - 1) // 2)
    w = [Q(0)] * k
    W = [[Q(0)] * k for _ in range(k - 1)]
    for t in sorted({t for _, t, _, _ in records}):
        c0 = [Q(0)] * k
        c1 = [Q(0)] * k
        c2 = [Q(0)] * k
        for g, tt, c, f in records:
            if tt == t:
                (c0 if c == 0 else c1 if c == cause else c2)[gi[g]] += Q(f)
        N1, N2 = sum(c1), sum(c2)
        Em = E
        if N1 + N2 != 0:
            R = T = Q(0)
            for g in range(k):
                if n[g] > 0:
                    S[g] = (n[g] - (c1[g] + c2[g])) * Sm[g] / n[g]
                    F[g] = Sm[g] * c1[g] / n[g] + Fm[g]
                    T += (1 - Fm[g]) * n[g] / Sm[g]
                    R += n[g] / Sm[g]
            E = Em + N1 / R
            for g in range(k - 1):
                if n[g] > 0:
                    s[g] += c1[g] - N1 * n[g] * (1 - Fm[g]) / (T * Sm[g])
            P = [Q(0)] * (k * (k + 1) // 2)
            for i in range(k):
                if n[i] > 0:
                    h = n[i] / Sm[i]
                    P[tri(i, i)] = h * (1 - h / R)
                    Qm[tri(i, i)] += N1 * P[tri(i, i)] / ((1 - Em) * R)
                    for j in range(i + 1, k):
                        if n[j] > 0:
                            P[tri(i, j)] = -(n[j] * h) / (R * Sm[j])
                            Qm[tri(i, j)] += N1 * P[tri(i, j)] / ((1 - Em) * R)
            if N1 > 0:
                for i in range(k):
                    if n[i] > 0:
                        b = 1 - (1 - E) / S[i] if S[i] > 0 else Q(1)
                        tf = 1 - (N1 - 1) / (R * Sm[i] - 1) if N1 > 1 else Q(1)
                        e = Sm[i] * tf * N1 / (n[i] * R)
                        w[i] += b * b * e
                        x = [P[tri(j, i)] - Qm[tri(j, i)] * b for j in range(k - 1)]
                        for j in range(k - 1):
                            W[j][i] += x[j] * b * e
                            for l in range(j + 1):
                                V[tri(j, l)] += x[l] * x[j] * e
            if N2 > 0:
                for i in range(k):
                    if S[i] > 0 and c2[i] > 0:
                        b = (1 - E) / S[i]
                        tf = 1 - (c2[i] - 1) / (n[i] - 1) if c2[i] > 1 else Q(1)
                        e = tf * c2[i] * Sm[i] ** 2 / n[i] ** 2
                        w[i] += b * b * e
                        y = [Qm[tri(j, i)] * b for j in range(k - 1)]
                        for j in range(k - 1):
                            W[j][i] -= y[j] * b * e
                            for l in range(j + 1):
                                V[tri(j, l)] += y[l] * y[j] * e
        for g in range(k):
            n[g] = n[g] - c2[g] - (c0[g] + c1[g])
            Sm[g] = S[g]
            Fm[g] = F[g]
    for i in range(k - 1):
        for j in range(i + 1):
            V[tri(i, j)] += sum(Qm[tri(i, l)] * Qm[tri(j, l)] * w[l] + Qm[tri(i, l)] * W[j][l]
                                + Qm[tri(j, l)] * W[i][l] for l in range(k))
    return s, V


def write(records, stem, what):
    with open(f"tests/reference/{stem}_cif.csv", "w") as out:
        out.write(f"# exact CIF and variances for {what} "
                  "(made by tests/reference/cmprisk_exact.py)\n")
        out.write("group,cause,time,cif,var_delta,var_aalen\n")
        for grp in ("A", "B"):
            recs = [r for r in records if r[0] == grp]
            for cause in (1, 2):
                for t, F, vd, va in cif(recs, cause):
                    out.write(f"{grp},{cause},{t!r},{float(F)!r},{float(vd)!r},{float(va)!r}\n")
    with open(f"tests/reference/{stem}_gray.csv", "w") as out:
        out.write(f"# exact Gray score and variance over groups A and B, rho 0, for {what} "
                  "(made by tests/reference/cmprisk_exact.py)\n")
        out.write("cause,score,var,chisq\n")
        for cause in (1, 2):
            s, V = gray(records, cause, ["A", "B"])
            chisq = s[0] * s[0] / V[0]
            out.write(f"{cause},{float(s[0])!r},{float(V[0])!r},{float(chisq)!r}\n")


def expanded(records, cause, keep):
    """Rows (time, F, V delta, V Aalen) at the times `keep`, from the sums
    expanded about F = 0, in 80-digit decimal arithmetic; records (time,
    cause) of frequency 1, in time order."""
    rows = []
    with localcontext() as ctx:
        ctx.prec = 80
        n = D(len(records))
        S, F = D(1), D(0)
        G = B = A = X = Y = Z = D(0)
        one = D(1)
        i = 0
        while i < len(records):
            t = records[i][0]
            j = i
            while j < len(records) and records[j][0] == t:
                j += 1
            at = [c for _, c in records[i:j]]
            d1 = D(sum(1 for c in at if c == cause))
            d2 = D(sum(1 for c in at if c not in (0, cause)))
            d = d1 + d2
            Sprev = S
            if d > 0:
                S = Sprev * (n - d) / n
            F += d1 * Sprev / n
            if d > 0:
                g = d / (n * (n - d)) if n > d else D(0)
                h = d1 * Sprev / (n * n)
                G += g
                B -= 2 * (F * g + h)
                A += Sprev * h * (one - d1 / n) + g * F * F + 2 * h * F
            if d2 > 0 and S > 0:
                c2 = one - (d2 - one) / (n - one) if d2 > 1 else one
                w = c2 * d2 * Sprev * Sprev / (n * n)
                X += w * (F / S) ** 2
                Z += w / (S * S)
                Y += w * F / (S * S)
            if d1 > 0:
                c1 = one - (d1 - one) / (n - one) if d1 > 1 else one
                w = c1 * d1 * Sprev * Sprev / (n * n)
                u = one / S if S > 0 else D(0)
                a = one + F * u
                Z += w * u * u
                Y += w * u * a
                X += w * a * a
                if t in keep:
                    rows.append((t, F, A + G * F * F + B * F, X - 2 * Y * F + Z * F * F))
            n -= D(j - i)
            i = j
    return rows


def write_tiny():
    with open("tests/reference/cmprisk_exact_tiny_data.csv", "w") as out:
        out.write("# records of the cells whose overall survival gets tiny "
                  "(made by tests/reference/cmprisk_exact.py)\n")
        out.write("case,time,status,group,freq\n")
        for case, t, c, f in TINY:
            out.write(f"{case},{t!r},{c},A,{f!r}\n")
    with open("tests/e2e/cmprisk_data/tiny.csv", "w") as out:
        out.write("case,time,status,freq\n")
        for case, t, c, f in TINY:
            out.write(f"{case},{t!r},{c},{f!r}\n")
    with open("tests/reference/cmprisk_exact_tiny_cif.csv", "w") as out:
        out.write("# exact CIF and variances where the overall survival gets tiny; cells of "
                  "120,001 records at some of their times "
                  "(made by tests/reference/cmprisk_exact.py)\n")
        out.write("case,cause,time,cif,var_delta,var_aalen\n")
        cases = list(dict.fromkeys(r[0] for r in TINY))
        for case in cases:
            recs = [r for r in TINY if r[0] == case]
            for cause in (1, 2):
                for t, F, vd, va in cif(recs, cause):
                    out.write(f"{case},{cause},{t!r},{float(F)!r},{float(vd)!r},{float(va)!r}\n")
        for case in ("steps", "alternate"):
            for cause in ((1,) if case == "steps" else (1, 2)):
                recs = long_cell(case)
                for t, F, vd, va in expanded(recs, cause, set(long_times(case, cause))):
                    out.write(f"{case},{cause},{t!r},{float(F)!r},{float(vd)!r},{float(va)!r}\n")


def main():
    write(RECORDS, "cmprisk_exact", "fractional frequencies")
    write(HUGE, "cmprisk_exact_huge", "frequencies up to 2^53")
    write_tiny()


if __name__ == "__main__":
    main()

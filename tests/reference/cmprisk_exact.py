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

Run from the repository root: /usr/bin/python3 tests/reference/cmprisk_exact.py
Writes tests/reference/cmprisk_exact_cif.csv, cmprisk_exact_gray.csv,
cmprisk_exact_huge_cif.csv and cmprisk_exact_huge_gray.csv."""
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


def main():
    write(RECORDS, "cmprisk_exact", "fractional frequencies")
    write(HUGE, "cmprisk_exact_huge", "frequencies up to 2^53")


if __name__ == "__main__":
    main()

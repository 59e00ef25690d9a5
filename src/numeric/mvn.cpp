// Multivariate normal rectangle probabilities: the pivoted factor, the
// integrand and the randomized lattice rule (see mvn.h).
#include "numeric/mvn.h"

#include "numeric/mvn_parts.h"
#include "numeric/philox.h"
#include "runtime/missing.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

namespace
{

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kInvSqrt2 = 0.70710678118654752440;
constexpr double kInvSqrt2Pi = 0.39894228040143267794;
// A conditional variance at or below this (of a unit variance) makes the row
// a combination of the variables already drawn.
constexpr double kSingular = 1e-10;
// A direction w of the factored space is loose when sum_i (g_i . w)^2 over
// the rows is below this share of the largest such sum.
constexpr double kLoose = 0.1;

double Phi(double x)
{
    return 0.5 * std::erfc(-x * kInvSqrt2);
}
double Qc(double x)
{
    return 0.5 * std::erfc(x * kInvSqrt2);
}

// One constraint a <= sum_l c_l W_l <= b in the factored variables; its last
// non-zero coefficient is that of its level.
struct Row {
    double a, b;
    std::vector<double> c;
};

struct Factor {
    int rank = 0;
    // rows[j]: the constraints on W_j (the pivot row first).
    std::vector<std::vector<Row>> levels;
};

// E[W | lo <= W <= hi] for standard normal W.
double truncatedMean(double lo, double hi)
{
    const double p = Phi(hi) - Phi(lo);
    if (!(p > 1e-300)) {
        if (std::isinf(lo) && std::isinf(hi))
            return 0.0;
        return std::isinf(lo) ? hi : std::isinf(hi) ? lo : 0.5 * (lo + hi);
    }
    const double dlo = std::isinf(lo) ? 0.0 : kInvSqrt2Pi * std::exp(-0.5 * lo * lo);
    const double dhi = std::isinf(hi) ? 0.0 : kInvSqrt2Pi * std::exp(-0.5 * hi * hi);
    return (dlo - dhi) / p;
}

} // namespace

namespace korv_mvn
{

std::vector<double> rankFactor(int m, const std::vector<double>& R, int* rank)
{
    std::vector<double> G(static_cast<size_t>(m) * m, 0.0), d(static_cast<size_t>(m));
    std::vector<char> done(static_cast<size_t>(m), 0);
    for (int i = 0; i < m; ++i)
        d[static_cast<size_t>(i)] = R[static_cast<size_t>(i) * m + i];
    int r = 0;
    for (; r < m; ++r) {
        int best = -1;
        double bd = kSingular;
        for (int i = 0; i < m; ++i)
            if (!done[static_cast<size_t>(i)] && d[static_cast<size_t>(i)] > bd) {
                bd = d[static_cast<size_t>(i)];
                best = i;
            }
        if (best < 0)
            break;
        done[static_cast<size_t>(best)] = 1;
        const double piv = std::sqrt(bd);
        const double* gb = &G[static_cast<size_t>(best) * m];
        G[static_cast<size_t>(best) * m + r] = piv;
        for (int i = 0; i < m; ++i) {
            if (done[static_cast<size_t>(i)])
                continue;
            double* gi = &G[static_cast<size_t>(i) * m];
            double v = R[static_cast<size_t>(i) * m + best];
            for (int l = 0; l < r; ++l)
                v -= gi[l] * gb[l];
            gi[r] = v / piv;
            d[static_cast<size_t>(i)] -= gi[r] * gi[r];
        }
    }
    std::vector<double> out(static_cast<size_t>(m) * r);
    for (int i = 0; i < m; ++i)
        for (int l = 0; l < r; ++l)
            out[static_cast<size_t>(i) * r + l] = G[static_cast<size_t>(i) * m + l];
    *rank = r;
    return out;
}

void symmetricEigen(int n, std::vector<double> S, std::vector<double>& values,
                    std::vector<double>& vectors)
{
    vectors.assign(static_cast<size_t>(n) * n, 0.0);
    for (int i = 0; i < n; ++i)
        vectors[static_cast<size_t>(i) * n + i] = 1.0;
    auto at = [&](std::vector<double>& A, int i, int j) -> double& {
        return A[static_cast<size_t>(i) * n + j];
    };
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0, diag = 0;
        for (int p = 0; p < n; ++p) {
            diag += at(S, p, p) * at(S, p, p);
            for (int q = p + 1; q < n; ++q)
                off += at(S, p, q) * at(S, p, q);
        }
        if (!(off > 1e-30 * diag))
            break;
        for (int p = 0; p < n; ++p)
            for (int q = p + 1; q < n; ++q) {
                const double apq = at(S, p, q);
                if (std::fabs(apq) < 1e-300)
                    continue;
                const double theta = (at(S, q, q) - at(S, p, p)) / (2.0 * apq);
                const double t =
                    (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), sn = t * c;
                for (int k = 0; k < n; ++k) {
                    const double kp = at(S, k, p), kq = at(S, k, q);
                    at(S, k, p) = c * kp - sn * kq;
                    at(S, k, q) = sn * kp + c * kq;
                }
                for (int k = 0; k < n; ++k) {
                    const double pk = at(S, p, k), qk = at(S, q, k);
                    at(S, p, k) = c * pk - sn * qk;
                    at(S, q, k) = sn * pk + c * qk;
                }
                for (int k = 0; k < n; ++k) {
                    const double kp = at(vectors, k, p), kq = at(vectors, k, q);
                    at(vectors, k, p) = c * kp - sn * kq;
                    at(vectors, k, q) = sn * kp + c * kq;
                }
            }
    }
    values.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        values[static_cast<size_t>(i)] = at(S, i, i);
}

double looseness(int r, const std::vector<double>& G, int m, std::vector<double>* values,
                 std::vector<double>* vectors)
{
    std::vector<double> S(static_cast<size_t>(r) * r, 0.0);
    for (int i = 0; i < m; ++i) {
        const double* g = &G[static_cast<size_t>(i) * r];
        for (int p = 0; p < r; ++p)
            for (int q = 0; q < r; ++q)
                S[static_cast<size_t>(p) * r + q] += g[p] * g[q];
    }
    std::vector<double> vals, vecs;
    symmetricEigen(r, S, vals, vecs);
    double lo = kInf, hi = 0;
    for (double v : vals) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    if (values)
        *values = vals;
    if (vectors)
        *vectors = vecs;
    return hi > 0 ? std::max(lo, 0.0) / hi : 1.0;
}

} // namespace korv_mvn

namespace
{

// The directions along which the rows hardly constrain anything (see
// kLoose), as each row's correlation with a unit vector along them, the
// loosest first: at most rank - 1 of them, and none when the rows are no
// more than the rank (as for the pairwise differences of k means, k(k-1)/2
// rows of rank k - 1, they are when the factor has them to spare).
std::vector<std::vector<double>> looseDirections(int m, const std::vector<double>& R)
{
    int r = 0;
    const std::vector<double> G = korv_mvn::rankFactor(m, R, &r);
    std::vector<std::vector<double>> out;
    // With no more rows than dimensions each level has a row of its own,
    // and the integrand is a product of single intervals however long the
    // region: a variable without a row would only add kinks.
    if (r < 2 || m <= r)
        return out;
    std::vector<double> vals, vecs;
    korv_mvn::looseness(r, G, m, &vals, &vecs);
    const double top = *std::max_element(vals.begin(), vals.end());
    std::vector<int> order(static_cast<size_t>(r));
    for (int i = 0; i < r; ++i)
        order[static_cast<size_t>(i)] = i;
    std::sort(order.begin(), order.end(), [&](int x, int y) {
        return vals[static_cast<size_t>(x)] < vals[static_cast<size_t>(y)];
    });
    for (int q : order) {
        if (!(vals[static_cast<size_t>(q)] < kLoose * top) || static_cast<int>(out.size()) >= r - 1)
            break;
        std::vector<double> c(static_cast<size_t>(m), 0.0);
        for (int i = 0; i < m; ++i)
            for (int l = 0; l < r; ++l)
                c[static_cast<size_t>(i)] +=
                    G[static_cast<size_t>(i) * r + l] * vecs[static_cast<size_t>(l) * r + q];
        out.push_back(std::move(c));
    }
    return out;
}

// The Genz-Bretz ordered factor of the standardised constraints. A loose
// direction comes first, as a variable of its own that no row bounds: the
// rows, all nearly orthogonal to it, cannot make it a pivot of theirs, and
// it would otherwise end last as the tiny residual of a row, whose interval
// then opens and shuts within a hair of the earlier variables - an integrand
// close to a step, on which the lattice rule converges slowly. First, the
// integrand depends on it only smoothly.
Factor factor(int m0, const std::vector<double>& R0, const std::vector<double>& a0,
              const std::vector<double>& b0)
{
    const std::vector<std::vector<double>> loose = looseDirections(m0, R0);
    const int f = static_cast<int>(loose.size());
    const int m = m0 + f;
    // The rows, then the loose directions as rows without limits.
    auto r = [&](int i, int j) {
        if (i < m0 && j < m0)
            return R0[static_cast<size_t>(i) * m0 + j];
        if (i >= m0 && j >= m0)
            return i == j ? 1.0 : 0.0;
        return i >= m0 ? loose[static_cast<size_t>(i - m0)][static_cast<size_t>(j)]
                       : loose[static_cast<size_t>(j - m0)][static_cast<size_t>(i)];
    };
    auto a = [&](int i) { return i < m0 ? a0[static_cast<size_t>(i)] : -kInf; };
    auto b = [&](int i) { return i < m0 ? b0[static_cast<size_t>(i)] : kInf; };
    Factor F;
    std::vector<std::vector<double>> G(static_cast<size_t>(m));
    std::vector<int> left(static_cast<size_t>(m));
    for (int i = 0; i < m; ++i)
        left[i] = i;
    std::vector<double> ymean;
    for (int j = 0; !left.empty(); ++j) {
        // Conditional variances and means of the rows left.
        int best = -1;
        double bestProb = kInf;
        std::vector<int> keep;
        for (int i : left) {
            double d = 1.0, s = 0.0;
            for (int l = 0; l < j; ++l) {
                d -= G[i][l] * G[i][l];
                s += G[i][l] * ymean[l];
            }
            if (d <= kSingular) {
                // A combination of W_0 .. W_{j-1}: one more bound on W_{j-1}.
                if (i < m0)
                    F.levels[static_cast<size_t>(j - 1)].push_back({a(i), b(i), G[i]});
                continue;
            }
            keep.push_back(i);
            if (j < f) {
                // The loose directions first, in their order.
                if (i == m0 + j)
                    best = i;
                continue;
            }
            const double sd = std::sqrt(d);
            const double p = Phi((b(i) - s) / sd) - Phi((a(i) - s) / sd);
            if (p < bestProb) {
                bestProb = p;
                best = i;
            }
        }
        left = keep;
        if (best < 0)
            break;
        double d = 1.0, s = 0.0;
        for (int l = 0; l < j; ++l) {
            d -= G[best][l] * G[best][l];
            s += G[best][l] * ymean[l];
        }
        const double piv = std::sqrt(d);
        G[best].push_back(piv);
        for (int i : left) {
            if (i == best)
                continue;
            double v = r(i, best);
            for (int l = 0; l < j; ++l)
                v -= G[i][l] * G[best][l];
            G[i].push_back(v / piv);
        }
        ymean.push_back(truncatedMean((a(best) - s) / piv, (b(best) - s) / piv));
        if (best < m0)
            F.levels.push_back({{a(best), b(best), G[best]}});
        else
            F.levels.emplace_back();
        left.erase(std::find(left.begin(), left.end(), best));
        F.rank = j + 1;
    }
    return F;
}

// The integrand at x (rank - 1 coordinates in [0, 1)): P's term, and the
// complement's term computed without cancellation.
void integrand(const Factor& F, const double* x, double* y, double* f, double* g)
{
    // f = prod w_j; g = 1 - prod (1 - t_j) by g <- g + (1 - g) t_j, which
    // only adds, with t_j = 1 - w_j taken from the two tails.
    double prod = 1.0, comp = 0.0;
    for (int j = 0; j < F.rank; ++j) {
        double lo = -kInf, hi = kInf;
        for (const Row& row : F.levels[static_cast<size_t>(j)]) {
            double s = 0.0;
            for (int l = 0; l < j; ++l)
                s += row.c[static_cast<size_t>(l)] * y[l];
            const double c = row.c[static_cast<size_t>(j)];
            double l1 = (row.a - s) / c, h1 = (row.b - s) / c;
            if (c < 0)
                std::swap(l1, h1);
            lo = std::max(lo, l1);
            hi = std::min(hi, h1);
        }
        if (!(hi > lo)) {
            *f = 0.0;
            *g = 1.0;
            return;
        }
        // The width and its complement, each from the tails that keep it.
        const double Pl = Phi(lo), Qh = Qc(hi);
        const double tails = Pl + Qh;
        double Ql = 0;
        double width;
        if (lo > 0) {
            Ql = Qc(lo);
            width = Ql - Qh;
        } else if (hi < 0) {
            width = Phi(hi) - Pl;
        } else {
            width = 1.0 - tails;
        }
        prod *= width;
        comp += (1.0 - comp) * std::min(tails, 1.0);
        if (j + 1 < F.rank) {
            const double u = x[j];
            double w;
            if (lo > 0) {
                // Upper tail: invert the complement, which holds the digits.
                const double qv = Ql - u * width;
                w = -zppnd16(std::max(qv, 1e-300));
            } else {
                const double pv = Pl + u * width;
                w = zppnd16(std::clamp(pv, 1e-300, 1.0 - 1e-16));
            }
            y[j] = std::clamp(w, lo, hi);
        }
    }
    *f = prod;
    *g = comp;
}

// The first n primes.
std::vector<int> primes(int n)
{
    std::vector<int> p;
    for (int c = 2; static_cast<int>(p.size()) < n; ++c) {
        bool prime = true;
        for (int d : p) {
            if (d * d > c)
                break;
            if (c % d == 0) {
                prime = false;
                break;
            }
        }
        if (prime)
            p.push_back(c);
    }
    return p;
}

} // namespace

double zppnd16(double p)
{
    if (!(p > 0))
        return p == 0 ? -kInf : std::nan("");
    if (!(p < 1))
        return p == 1 ? kInf : std::nan("");
    const double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        return q *
               (((((((2509.0809287301226727 * r + 33430.575583588128105) * r +
                     67265.770927008700853) *
                        r +
                    45921.953931549871457) *
                       r +
                   13731.693765509461125) *
                      r +
                  1971.5909503065514427) *
                     r +
                 133.14166789178437745) *
                    r +
                3.387132872796366608) /
               (((((((5226.495278852545925 * r + 28729.085735721942674) * r +
                     39307.89580009271061) *
                        r +
                    21213.794301586595867) *
                       r +
                   5394.1960214247511077) *
                      r +
                  687.1870074920579083) *
                     r +
                 42.313330701600911252) *
                    r +
                1.0);
    }
    double r = q < 0 ? p : 1.0 - p;
    r = std::sqrt(-std::log(r));
    double v;
    if (r <= 5.0) {
        r -= 1.6;
        v = (((((((7.7454501427834140764e-4 * r + 0.0227238449892691845833) * r +
                  0.24178072517745061177) *
                     r +
                 1.27045825245236838258) *
                    r +
                3.64784832476320460504) *
                   r +
               5.7694972214606914055) *
                  r +
              4.6303378461565452959) *
                 r +
             1.42343711074968357734) /
            (((((((1.05075007164441684324e-9 * r + 5.475938084995344946e-4) * r +
                  0.0151986665636164571966) *
                     r +
                 0.14810397642748007459) *
                    r +
                0.68976733498510000455) *
                   r +
               1.6763848301838038494) *
                  r +
              2.05319162663775882187) *
                 r +
             1.0);
    } else {
        r -= 5.0;
        v = (((((((2.01033439929228813265e-7 * r + 2.71155556874348757815e-5) * r +
                  0.0012426609473880784386) *
                     r +
                 0.026532189526576123093) *
                    r +
                0.29656057182850489123) *
                   r +
               1.7848265399172913358) *
                  r +
              5.4637849111641143699) *
                 r +
             6.6579046435011037772) /
            (((((((2.04426310338993978564e-15 * r + 1.4215117583164458887e-7) * r +
                  1.8463183175100546818e-5) *
                     r +
                 7.868691311456132591e-4) *
                    r +
                0.0148753612908506148525) *
                   r +
               0.13692988092273580531) *
                  r +
              0.59983220655588793769) *
                 r +
             1.0);
    }
    return q < 0 ? -v : v;
}

namespace
{

// The rows that constrain something, standardised: their correlation and
// their limits in units of their standard deviations.
struct Standardised {
    int m = 0;
    std::vector<double> R, a, b;
};

// Standardises the rectangle. Rows without a finite limit constrain nothing
// and rows of zero variance are the constant 0. False when the input settles
// the result by itself (a value missing, an empty rectangle, no row left),
// which res then holds.
bool standardise(int n, const double* cov, const double* lower, const double* upper, MvnResult& res,
                 Standardised& s)
{
    if (n < 0 || (n > 0 && (!cov || !lower || !upper))) {
        res.inform = 2;
        res.value = res.complement = korv_missing();
        return false;
    }
    std::vector<int> keep;
    std::vector<double> sd(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double a = lower[i], b = upper[i], v = cov[static_cast<size_t>(i) * (i + 1) / 2 + i];
        if (wzmis(a) || wzmis(b) || std::isnan(a) || std::isnan(b) || wzmis(v) || !(v >= 0)) {
            res.inform = 2;
            res.value = res.complement = korv_missing();
            return false;
        }
        if (!(a <= b)) {
            res.value = 0.0;
            res.complement = 1.0;
            return false;
        }
        if (std::isinf(a) && std::isinf(b))
            continue;
        if (v == 0) {
            if (!(a <= 0 && 0 <= b)) {
                res.value = 0.0;
                res.complement = 1.0;
                return false;
            }
            continue;
        }
        sd[static_cast<size_t>(i)] = std::sqrt(v);
        keep.push_back(i);
    }
    const int m = static_cast<int>(keep.size());
    if (m == 0) {
        res.value = 1.0;
        res.complement = 0.0;
        return false;
    }
    s.m = m;
    s.R.assign(static_cast<size_t>(m) * m, 0.0);
    s.a.assign(static_cast<size_t>(m), 0.0);
    s.b.assign(static_cast<size_t>(m), 0.0);
    for (int i = 0; i < m; ++i) {
        const int ii = keep[static_cast<size_t>(i)];
        s.a[static_cast<size_t>(i)] = lower[ii] / sd[static_cast<size_t>(ii)];
        s.b[static_cast<size_t>(i)] = upper[ii] / sd[static_cast<size_t>(ii)];
        for (int j = 0; j < m; ++j) {
            const int jj = keep[static_cast<size_t>(j)];
            const int hi = std::max(ii, jj), lo = std::min(ii, jj);
            double v = cov[static_cast<size_t>(hi) * (hi + 1) / 2 + lo] /
                       (sd[static_cast<size_t>(ii)] * sd[static_cast<size_t>(jj)]);
            s.R[static_cast<size_t>(i) * m + j] = std::clamp(v, -1.0, 1.0);
        }
    }
    return true;
}

} // namespace

namespace korv_mvn
{

std::vector<double> latticeSteps(int dim)
{
    const std::vector<int> p = primes(dim);
    std::vector<double> z(static_cast<size_t>(dim));
    for (int j = 0; j < dim; ++j) {
        const double s = std::sqrt(static_cast<double>(p[static_cast<size_t>(j)]));
        z[static_cast<size_t>(j)] = s - std::floor(s);
    }
    return z;
}

std::vector<std::vector<double>> latticeShifts(int dim, int M, uint64_t seed)
{
    std::vector<std::vector<double>> shift(static_cast<size_t>(M),
                                           std::vector<double>(static_cast<size_t>(dim)));
    for (int s = 0; s < M; ++s)
        for (int j = 0; j < dim; j += 2) {
            double u[2];
            korv_rng::philox_uniform2(seed, static_cast<uint64_t>(j / 2), static_cast<uint64_t>(s),
                                      u);
            shift[static_cast<size_t>(s)][static_cast<size_t>(j)] = u[0];
            if (j + 1 < dim)
                shift[static_cast<size_t>(s)][static_cast<size_t>(j + 1)] = u[1];
        }
    return shift;
}

} // namespace korv_mvn

namespace
{

// The randomized Richtmyer rule over the factor's rank - 1 coordinates,
// extended by half its points at a time until the error bound is met twice
// running, the evaluations run out or the time does.
void integrate(const Factor& F, const MvnOptions& opt, MvnResult& res)
{
    const int dim = F.rank - 1;
    std::vector<double> y(static_cast<size_t>(std::max(F.rank, 1)));
    const std::vector<double> z = korv_mvn::latticeSteps(dim);
    const int M = std::max(opt.shifts, 4);
    const std::vector<std::vector<double>> shift = korv_mvn::latticeShifts(dim, M, opt.seed);
    std::vector<double> sumF(static_cast<size_t>(M)), sumG(static_cast<size_t>(M));
    std::vector<double> x(static_cast<size_t>(dim));
    long done = 0; // points per shift so far
    long target = 1000;
    int met = 0; // successive rounds within the tolerance
    const auto start = std::chrono::steady_clock::now();
    auto late = [&] {
        return opt.seconds > 0 &&
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >
                   opt.seconds;
    };
    for (;;) {
        for (int s = 0; s < M; ++s) {
            // Out of time within a round: the round is not finished, and the
            // last complete one stands.
            if (done > 0 && s > 0 && late()) {
                res.inform = 3;
                return;
            }
            const std::vector<double>& d = shift[static_cast<size_t>(s)];
            for (long k = done + 1; k <= target; ++k) {
                for (int j = 0; j < dim; ++j) {
                    double t = static_cast<double>(k) * z[static_cast<size_t>(j)] +
                               d[static_cast<size_t>(j)];
                    t -= std::floor(t);
                    x[static_cast<size_t>(j)] = 1.0 - std::fabs(2.0 * t - 1.0);
                }
                double f, g;
                integrand(F, x.data(), y.data(), &f, &g);
                sumF[static_cast<size_t>(s)] += f;
                sumG[static_cast<size_t>(s)] += g;
            }
        }
        done = target;
        res.evaluations = done * M;
        double mf = 0, mg = 0;
        for (int s = 0; s < M; ++s) {
            mf += sumF[static_cast<size_t>(s)] / done;
            mg += sumG[static_cast<size_t>(s)] / done;
        }
        mf /= M;
        mg /= M;
        double vf = 0, vg = 0;
        for (int s = 0; s < M; ++s) {
            const double ef = sumF[static_cast<size_t>(s)] / done - mf;
            const double eg = sumG[static_cast<size_t>(s)] / done - mg;
            vf += ef * ef;
            vg += eg * eg;
        }
        const double err = 4.5 * std::sqrt(std::max(vf, vg) / (static_cast<double>(M) * (M - 1)));
        res.value = std::clamp(mf, 0.0, 1.0);
        res.complement = std::clamp(mg, 0.0, 1.0);
        res.error = err;
        const double tol = std::min(
            opt.abseps, std::max(opt.releps * std::min(res.value, res.complement), opt.absfloor));
        met = err <= tol ? met + 1 : 0;
        if (met >= 2)
            return;
        const long next = target + target / 2;
        if (next * M > opt.maxpts) {
            res.inform = 1;
            return;
        }
        if (late()) {
            res.inform = 3;
            return;
        }
        target = next;
    }
}

} // namespace

MvnResult zmvnrect(int n, const double* cov, const double* lower, const double* upper,
                   const MvnOptions& opt)
{
    MvnResult res;
    Standardised s;
    if (!standardise(n, cov, lower, upper, res, s))
        return res;
    const Factor F = factor(s.m, s.R, s.a, s.b);
    res.rank = F.rank;
    if (F.rank == 1) {
        // One variable: the integrand at no point is the probability.
        std::vector<double> y(static_cast<size_t>(std::max(F.rank, 1)));
        integrand(F, nullptr, y.data(), &res.value, &res.complement);
        res.evaluations = 1;
        return res;
    }
    integrate(F, opt, res);
    return res;
}

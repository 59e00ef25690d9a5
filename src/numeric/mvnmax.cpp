// The largest of several correlated |normals| at many thresholds at once
// (see mvn.h): the directions decomposed by the facet of the polytope
// {w : |a_s . w| <= 1} that each one leaves it through.
//
// With X = A W, W standard normal in the rank's d dimensions and the rows a_s
// of unit length, max_s |X_s| > t exactly when W lies outside tP. Split
// every direction D of R^d by the facet it leaves P through: D = cos(alpha)
// a_s + sin(alpha) D' for facet s (sign + or -), D' a unit vector orthogonal
// to a_s, alpha at most the facet's extent theta_s(D') in that direction.
// Along the ray the facet lies at distance 1 / cos(alpha), so the radial
// part integrates in closed form and
//   P(max |X_s| > t) = sum_{s, +-} E_D' [ W_t(theta_s(D')) ],
//   W_t(theta) = int_0^theta c_d sin^(d-2)(alpha) P(chi_d > t / cos(alpha)),
// with c_d the constant that makes the angle's density integrate to one.
// Only W_t depends on t, so one sample of directions serves every
// threshold: the extents are gathered into bins, and each threshold's
// probability is the bins weighted by its W_t. With t = 0 the same sum is
// the total measure of the facets, exactly 1, and serves as a control
// variate; its regression on the shifts' estimates takes out most of the
// sampling error of the others.
//
// One sample draws D from a randomized Richtmyer lattice (normal quantiles
// of the lattice point, normalised) and, for every facet s, the extent in
// the direction of D's component orthogonal to a_s (and of its opposite,
// for the facet of the other sign):
//   tan theta = |P_s D| / max_u q_u,  q_u = w_u / (1 - rho_us) if w_u > 0,
//                                           -w_u / (1 + rho_us) otherwise,
// with w_u = a_u . D - rho_us a_s . D, rho_us = a_u . a_s. That is O(m^2)
// for m rows, against O(m d) for one threshold's integrand of Genz's method,
// which needs as many evaluations for each threshold.
#include "numeric/mvn.h"

#include "numeric/mvn_parts.h"
#include "runtime/missing.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace
{

constexpr double kInf = std::numeric_limits<double>::infinity();
// Rows this close to +-1 in correlation with a row kept have its |X|.
constexpr double kSame = 1e-10;
// Below this looseness (mvn_parts.h) the rows leave some direction nearly
// free, and the region stretches far along it.
constexpr double kLoose = 0.1;
// The most the directions are drawn denser about a loose axis.
constexpr double kDenser = 4.0;
// Bins of s = tan(theta) / (1 + tan(theta)) in [0, 1).
constexpr int kBins = 2048;
// Standard errors of the shifts' mean in the error bound.
constexpr double kBound = 4.5;
// Samples of each shift in the first round.
constexpr long kFirstRound = 1000;

bool missing(double x)
{
    return wzmis(x) || std::isnan(x);
}

// P(chi_d > x) for x >= 0, in closed form for integer d.
double chiTail(double x, int d)
{
    if (!(x > 0))
        return 1.0;
    const double h = 0.5 * x * x;
    if (h > 745.0 + d * std::log(1.0 + x))
        return 0.0;
    if (d % 2 == 0) {
        double term = 1.0, sum = 1.0;
        for (int k = 1; k < d / 2; ++k) {
            term *= h / k;
            sum += term;
        }
        return std::exp(-h) * sum;
    }
    double term = x * 0.79788456080286535588 * std::exp(-h), sum = 0.0; // sqrt(2 / pi)
    for (int k = 1; k <= (d - 1) / 2; ++k) {
        sum += term;
        term *= x * x / (2 * k + 1);
    }
    return std::erfc(x * 0.70710678118654752440) + sum;
}

// The rows, standardised and factored: unit rows a_s in d dimensions, no
// two with the same |X|, their correlations and the two reciprocals the
// extents use. Those three are rows of `stride` entries, m rounded up to
// whole lanes; the entries past m are 0 and, like a facet's own row, never
// bound it. On a loose region's principal axes the directions are drawn
// denser about the first axis (see principalAxes): `sigma` scales that
// coordinate of the normal draw, and each facet's sample is weighted by the
// uniform density over the one drawn from, which for facet s is
//   scale_s (1 - shrink_s D'_1^2)^((d - 1) / 2),
// D' the unit direction orthogonal to a_s and, with k = sigma^2 - 1 and
// b_s = 1 - a_s1^2, scale_s = sqrt(1 + k b_s), shrink_s = k / (1 + k b_s)
// (the projected normal's density on the sphere, of covariance
// I + k P_s e_1 e_1' P_s). The estimates stay unbiased; the samples go where
// the facets' extents vary most.
struct Geometry {
    int m = 0, d = 0, stride = 0;
    std::vector<double> A, rho, inPlus, inMinus;
    double sigma = 1.0;
    std::vector<double> scale, shrink;
};

// Four doubles handled together: the extents' scan over the rows is most of
// the facets' cost.
constexpr int kLanes = 2;
typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));

Lanes load(const double* x)
{
    Lanes v;
    std::memcpy(&v, x, sizeof v);
    return v;
}

Lanes larger(Lanes x, Lanes y)
{
    return x > y ? x : y;
}

// What the input settles by itself: every p missing (bad input), or the
// rows left after dropping those of zero variance (their |X| is 0).
bool standardiseRows(int n, const double* cov, std::vector<double>& R, int* m)
{
    std::vector<int> keep;
    std::vector<double> sd(static_cast<size_t>(std::max(n, 0)));
    for (int i = 0; i < n; ++i) {
        const double v = cov[static_cast<size_t>(i) * (i + 1) / 2 + i];
        if (wzmis(v) || !(v >= 0))
            return false;
        if (v > 0) {
            sd[static_cast<size_t>(i)] = std::sqrt(v);
            keep.push_back(i);
        }
    }
    *m = static_cast<int>(keep.size());
    R.assign(static_cast<size_t>(*m) * *m, 0.0);
    for (int i = 0; i < *m; ++i)
        for (int j = 0; j < *m; ++j) {
            const int ii = keep[static_cast<size_t>(i)], jj = keep[static_cast<size_t>(j)];
            const int hi = std::max(ii, jj), lo = std::min(ii, jj);
            const double c = cov[static_cast<size_t>(hi) * (hi + 1) / 2 + lo];
            if (wzmis(c) || std::isnan(c))
                return false;
            R[static_cast<size_t>(i) * *m + j] = std::clamp(
                c / (sd[static_cast<size_t>(ii)] * sd[static_cast<size_t>(jj)]), -1.0, 1.0);
        }
    return true;
}

Geometry geometry(int m0, const std::vector<double>& R)
{
    int d = 0;
    const std::vector<double> G = korv_mvn::rankFactor(m0, R, &d);
    Geometry g;
    g.d = d;
    // Unit rows, duplicates (up to sign) left out.
    for (int i = 0; i < m0; ++i) {
        std::vector<double> a(G.begin() + static_cast<long>(i) * d,
                              G.begin() + static_cast<long>(i + 1) * d);
        double nn = 0;
        for (double x : a)
            nn += x * x;
        nn = std::sqrt(nn);
        if (!(nn > 0))
            continue;
        for (double& x : a)
            x /= nn;
        bool same = false;
        for (int k = 0; k < g.m && !same; ++k) {
            double c = 0;
            for (int l = 0; l < d; ++l)
                c += a[static_cast<size_t>(l)] * g.A[static_cast<size_t>(k) * d + l];
            same = std::fabs(c) >= 1.0 - kSame;
        }
        if (same)
            continue;
        g.A.insert(g.A.end(), a.begin(), a.end());
        ++g.m;
    }
    const int m = g.m;
    g.stride = (m + kLanes - 1) / kLanes * kLanes;
    const size_t cells = static_cast<size_t>(m) * g.stride;
    g.rho.assign(cells, 0.0);
    g.inPlus.assign(cells, 0.0);
    g.inMinus.assign(cells, 0.0);
    for (int s = 0; s < m; ++s)
        for (int u = 0; u < m; ++u) {
            if (u == s)
                continue; // a row does not bound its own facet: both stay 0
            double c = 0;
            for (int l = 0; l < d; ++l)
                c += g.A[static_cast<size_t>(s) * d + l] * g.A[static_cast<size_t>(u) * d + l];
            c = std::clamp(c, -1.0 + kSame, 1.0 - kSame);
            const size_t at = static_cast<size_t>(s) * g.stride + u;
            g.rho[at] = c;
            g.inPlus[at] = 1.0 / (1.0 + c);
            g.inMinus[at] = 1.0 / (1.0 - c);
        }
    return g;
}

// The rows in the coordinates of their principal axes, the loosest first
// (the eigenvectors of sum_s a_s a_s'). The directions are drawn from normal
// quantiles of the lattice's coordinates, so this turns the lattice's axes
// to the region's: along a loose direction the facets reach far, and the
// directions near it, which make a sample's extents all large at once, are
// then spread evenly over every shift instead of falling to some shifts
// more than others. The normal distribution of the directions is the same
// on any axes; past two dimensions the directions are also drawn denser
// about the loosest axis, by the fourth root of how much looser it is than
// the next (at most 4 times), and weighted back (see Geometry): there the
// extents vary most, and the samples an integral needs fall to a half or
// less.
Geometry principalAxes(const Geometry& g)
{
    const int d = g.d, m = g.m;
    std::vector<double> vals, vecs;
    korv_mvn::looseness(d, g.A, m, &vals, &vecs);
    std::vector<int> order(static_cast<size_t>(d));
    for (int i = 0; i < d; ++i)
        order[static_cast<size_t>(i)] = i;
    std::sort(order.begin(), order.end(), [&](int x, int y) {
        return vals[static_cast<size_t>(x)] < vals[static_cast<size_t>(y)];
    });
    Geometry h = g;
    for (int s = 0; s < m; ++s)
        for (int l = 0; l < d; ++l) {
            double v = 0;
            for (int k = 0; k < d; ++k)
                v += g.A[static_cast<size_t>(s) * d + k] *
                     vecs[static_cast<size_t>(k) * d + order[static_cast<size_t>(l)]];
            h.A[static_cast<size_t>(s) * d + l] = v;
        }
    const double first = vals[static_cast<size_t>(order[0])];
    const double next = d > 1 ? vals[static_cast<size_t>(order[1])] : first;
    if (d > 2 && next > first) {
        h.sigma = first > 0 ? std::clamp(std::pow(next / first, 0.25), 1.0, kDenser) : kDenser;
        const double k = h.sigma * h.sigma - 1.0;
        h.scale.resize(static_cast<size_t>(m));
        h.shrink.resize(static_cast<size_t>(m));
        for (int s = 0; s < m; ++s) {
            const double a1 = h.A[static_cast<size_t>(s) * d];
            const double b = std::max(1.0 - a1 * a1, 0.0);
            h.scale[static_cast<size_t>(s)] = std::sqrt(1.0 + k * b);
            h.shrink[static_cast<size_t>(s)] = k / (1.0 + k * b);
        }
    }
    return h;
}

// W_t at the bins' midpoints, with its first two derivatives there, for one
// threshold: the bins of a sample then give sum W + f delta + f' delta^2 / 2
// (delta the distance of an extent from its bin's midpoint), which is exact
// to delta^3, a few 1e-12 at most.
struct Kernel {
    std::vector<double> W, f, fp;
};

// The parts of the kernels that do not depend on t: at 11 points of each bin
// (Gauss-Legendre points of its two halves, its midpoint and two points
// beside it) the angle's density in s and 1 / cos(theta).
struct KernelGrid {
    std::vector<double> base, sec;
};

constexpr double kGaussX[4] = {-0.86113631159405257522, -0.33998104358485626480,
                               0.33998104358485626480, 0.86113631159405257522};
constexpr double kGaussW[4] = {0.34785484513745385737, 0.65214515486254614263,
                               0.65214515486254614263, 0.34785484513745385737};

KernelGrid kernelGrid(int d)
{
    KernelGrid g;
    const double h = 1.0 / kBins;
    // c_d = Gamma(d/2) / (sqrt(pi) Gamma((d-1)/2)).
    const double cd =
        std::exp(std::lgamma(0.5 * d) - std::lgamma(0.5 * (d - 1))) / 1.77245385090551602730;
    g.base.resize(static_cast<size_t>(kBins) * 11);
    g.sec.resize(g.base.size());
    for (int b = 0; b < kBins; ++b) {
        double pts[11];
        const double e = b * h, mid = e + 0.5 * h;
        for (int k = 0; k < 4; ++k) {
            pts[k] = e + 0.25 * h * (1.0 + kGaussX[k]);
            pts[4 + k] = mid + 0.25 * h * (1.0 + kGaussX[k]);
        }
        pts[8] = mid;
        pts[9] = mid - 0.25 * h;
        pts[10] = mid + 0.25 * h;
        for (int k = 0; k < 11; ++k) {
            const double s = pts[k], q = 1.0 - s, r2 = s * s + q * q, r = std::sqrt(r2);
            const size_t at = static_cast<size_t>(b) * 11 + k;
            // theta = atan(s / (1 - s)): sin = s / r, cos = q / r, dtheta/ds = 1 / r^2.
            g.base[at] = cd * std::pow(s / r, d - 2) / r2;
            g.sec[at] = q > 0 ? r / q : kInf;
        }
    }
    return g;
}

Kernel kernel(const KernelGrid& g, int d, double t)
{
    const double h = 1.0 / kBins;
    Kernel K;
    K.W.resize(kBins);
    K.f.resize(kBins);
    K.fp.resize(kBins);
    double W = 0.0;
    for (int b = 0; b < kBins; ++b) {
        const double* base = &g.base[static_cast<size_t>(b) * 11];
        const double* sec = &g.sec[static_cast<size_t>(b) * 11];
        auto dens = [&](int k) { return base[k] * (t > 0 ? chiTail(t * sec[k], d) : 1.0); };
        double first = 0, second = 0;
        for (int k = 0; k < 4; ++k) {
            first += kGaussW[k] * dens(k);
            second += kGaussW[k] * dens(4 + k);
        }
        W += 0.25 * h * first;
        K.W[static_cast<size_t>(b)] = W;
        K.f[static_cast<size_t>(b)] = dens(8);
        K.fp[static_cast<size_t>(b)] = (dens(10) - dens(9)) / (0.5 * h);
        W += 0.25 * h * second;
    }
    return K;
}

// The bins of one shift: count, and the sums of delta and delta^2, side by
// side so that adding a sample touches one line of memory.
struct Bins {
    std::vector<double> sums;
    Bins() : sums(static_cast<size_t>(kBins) * 3, 0.0) {}
    void add(double s, double weight)
    {
        const double x = s * kBins;
        const int b = std::min(static_cast<int>(x), kBins - 1);
        const double delta = (x - b - 0.5) / kBins;
        double* at = &sums[static_cast<size_t>(b) * 3];
        at[0] += weight;
        at[1] += weight * delta;
        at[2] += weight * delta * delta;
    }
    double weigh(const Kernel& K) const
    {
        double sum = 0;
        for (int b = 0; b < kBins; ++b) {
            const double* at = &sums[static_cast<size_t>(b) * 3];
            if (at[0] > 0)
                sum += at[0] * K.W[static_cast<size_t>(b)] + at[1] * K.f[static_cast<size_t>(b)] +
                       0.5 * at[2] * K.fp[static_cast<size_t>(b)];
        }
        return sum;
    }
};

// Samples (from, to] of one shift: the extents of every facet, both signs,
// each weighted when the directions are drawn denser about the first axis.
template <bool Weighted>
void sampleFacets(const Geometry& g, const std::vector<double>& step,
                  const std::vector<double>& shift, long from, long to, Bins& bins)
{
    const int m = g.m, d = g.d, stride = g.stride;
    std::vector<double> Z(static_cast<size_t>(d)), v(static_cast<size_t>(stride), 0.0);
    for (long k = from + 1; k <= to; ++k) {
        double nz = 0;
        for (int l = 0; l < d; ++l) {
            double x = static_cast<double>(k) * step[static_cast<size_t>(l)] +
                       shift[static_cast<size_t>(l)];
            x -= std::floor(x);
            x = 1.0 - std::fabs(2.0 * x - 1.0);
            double z = zppnd16(std::clamp(x, 1e-300, 1.0 - 1e-16));
            if (Weighted && l == 0)
                z *= g.sigma;
            Z[static_cast<size_t>(l)] = z;
            nz += z * z;
        }
        for (int s = 0; s < m; ++s) {
            const double* a = &g.A[static_cast<size_t>(s) * d];
            double q = 0;
            for (int l = 0; l < d; ++l)
                q += a[l] * Z[static_cast<size_t>(l)];
            v[static_cast<size_t>(s)] = q;
        }
        for (int s = 0; s < m; ++s) {
            const double vs = v[static_cast<size_t>(s)];
            const double nr2 = nz - vs * vs;
            if (!(nr2 > 1e-24 * nz))
                continue; // D along a_s itself: a set of measure 0
            const double nr = std::sqrt(nr2);
            const double* rho = &g.rho[static_cast<size_t>(s) * stride];
            const double* ip = &g.inPlus[static_cast<size_t>(s) * stride];
            const double* im = &g.inMinus[static_cast<size_t>(s) * stride];
            // Of w im and -w ip the positive one is the facet's (both 0 for
            // the facet's own row and the padding); for the opposite
            // direction, the other.
            Lanes up = {0, 0}, down = {0, 0};
            for (int u = 0; u < stride; u += kLanes) {
                const Lanes w = load(&v[static_cast<size_t>(u)]) - load(rho + u) * vs;
                const Lanes a = w * load(im + u), b = w * load(ip + u);
                up = larger(up, larger(a, -b));
                down = larger(down, larger(b, -a));
            }
            const double upMax = std::max(up[0], up[1]);
            const double downMax = std::max(down[0], down[1]);
            // Unweighted the weight is the constant 1, which the adds fold
            // away.
            double weight = 1.0;
            if constexpr (Weighted) {
                const double dp = (Z[0] - vs * g.A[static_cast<size_t>(s) * d]) / nr;
                const double x = 1.0 - g.shrink[static_cast<size_t>(s)] * dp * dp;
                weight = g.scale[static_cast<size_t>(s)];
                for (int e = 0; e < (d - 1) / 2; ++e)
                    weight *= x;
                if ((d - 1) % 2)
                    weight *= std::sqrt(x);
            }
            bins.add(nr / (nr + upMax), weight);
            bins.add(nr / (nr + downMax), weight);
        }
    }
}

// The facets' estimates of every threshold, a round of samples at a time
// (1000 per shift, then as many as the bound says are needed).
class FacetRun
{
  public:
    FacetRun(const Geometry& g, int nt, const double* t, const MvnOptions& opt)
        : g_(g), nt_(nt), t_(t), opt_(opt), M_(std::max(opt.shifts, 4))
    {
        // One kernel per distinct threshold, and the control's (t = 0) last.
        which_.assign(static_cast<size_t>(nt), -1);
        for (int j = 0; j < nt; ++j) {
            if (missing(t[j]) || !(t[j] > 0))
                continue;
            const auto at = std::find(ts_.begin(), ts_.end(), t[j]);
            which_[static_cast<size_t>(j)] = static_cast<int>(at - ts_.begin());
            if (at == ts_.end())
                ts_.push_back(t[j]);
        }
        nk_ = static_cast<int>(ts_.size());
        const KernelGrid grid = kernelGrid(g.d);
        K_.resize(static_cast<size_t>(nk_) + 1);
        run(K_.size(), [&](size_t k) {
            K_[k] = kernel(grid, g_.d, k < static_cast<size_t>(nk_) ? ts_[k] : 0.0);
        });
        step_ = korv_mvn::latticeSteps(g.d);
        shift_ = korv_mvn::latticeShifts(g.d, M_, opt.seed);
        bins_.resize(static_cast<size_t>(M_));
        est_.resize(static_cast<size_t>(M_) * (nk_ + 1));
        value_.assign(static_cast<size_t>(nk_), 0.0);
        bound_.assign(static_cast<size_t>(nk_), 0.0);
    }

    // The samples after the next round: 1000 at first; then as many as the
    // bound, shrinking as one over their square root, says the tolerance
    // needs, and a tenth more, but at least a quarter and at most three
    // times more than so far.
    long nextTarget() const
    {
        if (done_ == 0)
            return kFirstRound;
        const double ratio = opt_.abseps > 0 ? worst_ / opt_.abseps : 2.0;
        const double want = 1.1 * static_cast<double>(done_) * ratio * ratio;
        return static_cast<long>(std::clamp(want, static_cast<double>(done_ + done_ / 4),
                                            static_cast<double>(4 * done_)));
    }

    // The next round; the largest error bound after it.
    double round()
    {
        const long target = nextTarget();
        run(static_cast<size_t>(M_), [&](size_t s) {
            if (g_.sigma != 1.0)
                sampleFacets<true>(g_, step_, shift_[s], done_, target, bins_[s]);
            else
                sampleFacets<false>(g_, step_, shift_[s], done_, target, bins_[s]);
        });
        done_ = target;
        run(static_cast<size_t>(M_), [&](size_t s) {
            for (int k = 0; k <= nk_; ++k)
                est_[s * (nk_ + 1) + k] = bins_[s].weigh(K_[static_cast<size_t>(k)]) / done_;
        });
        // Each threshold's mean over the shifts, less its regression on the
        // control's error; the bound from the residuals (M - 2 degrees of
        // freedom).
        double cm = 0;
        for (int s = 0; s < M_; ++s)
            cm += est_[static_cast<size_t>(s) * (nk_ + 1) + nk_];
        cm /= M_;
        worst_ = 0;
        for (int k = 0; k < nk_; ++k) {
            double ym = 0;
            for (int s = 0; s < M_; ++s)
                ym += est_[static_cast<size_t>(s) * (nk_ + 1) + k];
            ym /= M_;
            double syy = 0, scc = 0, syc = 0;
            for (int s = 0; s < M_; ++s) {
                const double ey = est_[static_cast<size_t>(s) * (nk_ + 1) + k] - ym;
                const double ec = est_[static_cast<size_t>(s) * (nk_ + 1) + nk_] - cm;
                syy += ey * ey;
                scc += ec * ec;
                syc += ey * ec;
            }
            const double beta = scc > 0 ? syc / scc : 0.0;
            const double rss = std::max(syy - beta * syc, 0.0);
            value_[static_cast<size_t>(k)] = ym - beta * (cm - 1.0);
            bound_[static_cast<size_t>(k)] = kBound * std::sqrt(rss / ((M_ - 2.0) * M_));
            worst_ = std::max(worst_, bound_[static_cast<size_t>(k)]);
        }
        met_ = worst_ <= opt_.abseps;
        return worst_;
    }

    // Rounds until the bounds meet the tolerance, the evaluations or the
    // time run out. The evaluations allowed are as many as the thresholds
    // would have had one at a time, each of zmvnrect's counting for d of
    // the facets' (it takes a pass over the rows at each of d levels, a
    // facet one pass over the rows).
    // Once is enough: the bound is the largest of the thresholds' own, each
    // from 16 shifts, which already errs on the safe side. The first round
    // is always taken, as the rectangle's integral takes it: a budget spent
    // before it gives its estimate and bound, never 0 with no error.
    void finish(MvnMaxResult& res)
    {
        const double cap = static_cast<double>(opt_.maxpts) * std::max(nk_, 1) * g_.d;
        const auto start = std::chrono::steady_clock::now();
        while (!met()) {
            if (done_ == kFirstRound)
                forecast(cap, seconds(start));
            if (done_ > 0 && static_cast<double>(nextTarget()) * M_ * g_.m > cap) {
                res.inform = 1;
                break;
            }
            if (done_ > 0 && opt_.seconds > 0 && seconds(start) > opt_.seconds) {
                res.inform = 3;
                break;
            }
            round();
        }
        res.error = worst_;
        res.evaluations = evaluations();
    }

    void results(double* p) const
    {
        for (int j = 0; j < nt_; ++j) {
            const int k = which_[static_cast<size_t>(j)];
            if (missing(t_[j]))
                p[j] = korv_missing();
            else if (k < 0)
                p[j] = 1.0; // t <= 0
            else
                p[j] = std::clamp(value_[static_cast<size_t>(k)], 0.0, 1.0);
        }
    }

    long evaluations() const { return done_ * M_ * g_.m; }
    bool met() const { return met_; }

  private:
    // After the first round (which took `spent` seconds), when the caller
    // asks: the evaluations the bound, shrinking as one over their square
    // root, says the tolerance needs (at most the budget's), and the time
    // they take at that round's pace.
    void forecast(double cap, double spent) const
    {
        if (!opt_.forecast || !(opt_.abseps > 0))
            return;
        const double ratio = worst_ / opt_.abseps;
        const double so_far = static_cast<double>(evaluations());
        const double need = std::clamp(so_far * ratio * ratio, so_far, std::max(cap, so_far));
        opt_.forecast(need, spent * need / so_far);
    }

    static double seconds(std::chrono::steady_clock::time_point since)
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    }

    void run(size_t n, const std::function<void(size_t)>& body) const
    {
        if (opt_.parallel)
            opt_.parallel(n, body);
        else
            for (size_t i = 0; i < n; ++i)
                body(i);
    }

    Geometry g_;
    int nt_;
    const double* t_;
    const MvnOptions& opt_;
    int M_;
    std::vector<double> ts_;
    std::vector<int> which_;
    int nk_ = 0;
    std::vector<Kernel> K_;
    std::vector<double> step_;
    std::vector<std::vector<double>> shift_;
    std::vector<Bins> bins_;
    std::vector<double> est_, value_, bound_;
    long done_ = 0;
    double worst_ = 0;
    bool met_ = false;
};

// The rows' correlation packed, for zmvnrect.
std::vector<double> packedCorrelation(int m, const std::vector<double>& R)
{
    std::vector<double> packed(static_cast<size_t>(m) * (m + 1) / 2);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j <= i; ++j)
            packed[static_cast<size_t>(i) * (i + 1) / 2 + j] = R[static_cast<size_t>(i) * m + j];
    return packed;
}

MvnResult oneThreshold(int m, const std::vector<double>& packed, double t, MvnOptions opt)
{
    const std::vector<double> lo(static_cast<size_t>(m), -t), hi(static_cast<size_t>(m), t);
    opt.parallel = nullptr;
    return zmvnrect(m, packed.data(), lo.data(), hi.data(), opt);
}

} // namespace

MvnMaxResult zmvnmax(int n, const double* cov, int nt, const double* t, double* p,
                     const MvnOptions& opt)
{
    MvnMaxResult res;
    if (nt <= 0)
        return res;
    std::vector<double> R;
    int m0 = 0;
    if (n < 0 || (n > 0 && !cov) || !t || !p || !standardiseRows(n, cov, R, &m0)) {
        res.inform = 2;
        for (int j = 0; p && j < nt; ++j)
            p[j] = korv_missing();
        return res;
    }
    if (m0 == 0) {
        // Every |X_s| is 0: never above a threshold t >= 0.
        for (int j = 0; j < nt; ++j)
            p[j] = missing(t[j]) ? korv_missing() : t[j] < 0 ? 1.0 : 0.0;
        return res;
    }
    const Geometry g = geometry(m0, R);
    res.rank = g.d;
    if (g.d == 1) {
        // Every row is +-the same variable.
        for (int j = 0; j < nt; ++j)
            p[j] = missing(t[j]) ? korv_missing()
                   : t[j] > 0    ? std::erfc(t[j] * 0.70710678118654752440)
                                 : 1.0;
        return res;
    }
    // The facets serve rows beyond the rank, as the pairwise differences of
    // k means (k(k-1)/2 rows of rank k - 1) are. With no more rows than the
    // rank, as against a control, each level of Genz's factor has a row of
    // its own, its integrand is smooth, and one threshold at a time is
    // quicker. A region stretched far along some direction takes the
    // facets' way on axes turned to the region's, except in three
    // dimensions, where Genz's method with that direction first is quicker
    // still. In two dimensions every direction gives the facets' exact
    // extents.
    const bool loose = korv_mvn::looseness(g.d, g.A, g.m) < kLoose;
    if (g.d == 2 || (g.m > g.d && (!loose || g.d > 3))) {
        res.together = true;
        FacetRun run(loose ? principalAxes(g) : g, nt, t, opt);
        run.finish(res);
        run.results(p);
        return res;
    }
    const std::vector<double> packed = packedCorrelation(m0, R);
    std::vector<MvnResult> each(static_cast<size_t>(nt));
    auto body = [&](size_t j) {
        if (!missing(t[j]) && t[j] > 0)
            each[j] = oneThreshold(m0, packed, t[j], opt);
    };
    if (opt.parallel)
        opt.parallel(static_cast<size_t>(nt), body);
    else
        for (size_t j = 0; j < static_cast<size_t>(nt); ++j)
            body(j);
    for (int j = 0; j < nt; ++j) {
        if (missing(t[j]) || !(t[j] > 0)) {
            p[j] = missing(t[j]) ? korv_missing() : 1.0;
            continue;
        }
        const MvnResult& r = each[static_cast<size_t>(j)];
        p[j] = r.complement;
        res.evaluations += r.evaluations;
        res.inform = std::max(res.inform, r.inform);
        res.error = std::max(res.error, r.error);
    }
    return res;
}

// Gray's k-sample test of equal cumulative incidence: the score and its
// covariance over one time-ordered pass of the compared groups' records, and
// the chi-square through a generalized inverse of the covariance.
//
// The compared groups' records come as one time-ordered stream per group,
// taken together time by time.
//
// At each event time, with n_g at risk in group g, S_g and F_g its overall
// survival and cumulative incidence just before the time, N1 events of
// interest and N2 competing events in all:
//   R = sum n_g / S_g,  T = sum (1 - F_g) n_g / S_g,  E = E_ + N1 / R,
//   w = (1 - E_)^rho,
//   score_g += w (d1_g - N1 n_g (1 - F_g) / (T S_g))   (g < k-1),
// and the covariance follows the same walk, with the ties corrections of
// several events at one time. The work of a time is of order k^3 in the
// number of groups k and nothing in the number of records, so the walk is
// linear in the records and in the distinct times.
//
// A group's number at risk is its stream's amount still ahead, never a
// running difference: exact for whole frequencies up to 2^53 however small
// the risk set left behind a huge one, and exactly 0 once the group has
// given up every subject (every use of it asks n_g > 0).
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "cmprisk/cmprisk.h"
#include "numeric/gamma.h"
#include "numeric/sweep.h"
#include "runtime/korv_assert.h"
#include "runtime/missing.h"

namespace korv_cr
{
namespace
{

inline int64_t tri(int i, int j)
{
    return i >= j ? static_cast<int64_t>(i) * (i + 1) / 2 + j
                  : static_cast<int64_t>(j) * (j + 1) / 2 + i;
}

int roleOf(int32_t c, const int* roleMap, int ncat)
{
    return c >= 0 && c < ncat ? roleMap[c] : 2; // a category no type names is competing
}

// The walker's arrays: for K > 0 of fixed size, members of the walker (the
// compiler unrolls their loops and keeps them apart); for K = 0 sized at run
// time.
template <int K, int N> struct Lane {
    std::array<double, (N > 0 ? N : 1)> a{};
    void size(size_t, double v) { a.fill(v); }
    double& operator[](size_t i) { return a[i]; }
    double operator[](size_t i) const { return a[i]; }
    double* begin() { return a.data(); }
    double* end() { return a.data() + N; }
};
template <int N> struct Lane<0, N> {
    std::vector<double> a;
    void size(size_t n, double v) { a.assign(n, v); }
    double& operator[](size_t i) { return a[i]; }
    double operator[](size_t i) const { return a[i]; }
    double* begin() { return a.data(); }
    double* end() { return a.data() + a.size(); }
};

// K > 0: the number of groups fixed when compiled (loops the compiler can
// unroll, arrays of fixed size); 0: any number.
template <int K> class GrayWalker
{
    static constexpr int K1 = K > 0 ? K - 1 : 0;
    using ByGroup = Lane<K, K>;
    using Packed = Lane<K, K*(K + 1) / 2>;

  public:
    GrayWalker(int k, double rho) : k_(k), rho_(rho)
    {
        const size_t n = static_cast<size_t>(k), m = static_cast<size_t>(std::max(k - 1, 0));
        for (ByGroup* v : {&n_, &next_, &c0_, &c1_, &c2_, &F_, &Fm_, &w_, &h_, &rn_})
            v->size(n, 0.0);
        for (ByGroup* v : {&S_, &Sm_, &iS_, &iSm_})
            v->size(n, 1.0);
        P_.size(n * (n + 1) / 2, 0.0);
        Q_.size(n * (n + 1) / 2, 0.0);
        s_.size(m, 0.0);
        V_.size(m * n / 2, 0.0);
        W_.size(m * n, 0.0);
        X_.size(2 * n * m, 0.0);
        XE_.size(2 * n * m, 0.0);
    }
    // A time begins: nothing of it gathered yet.
    void begin(double t)
    {
        tau_ = t;
        Em_ = E_;
        have_ = true;
    }
    // Group g at the time: n at risk, `next` at risk after it, and its
    // censored, of-interest and competing amounts.
    void add(int g, double n, double next, double c0, double c1, double c2)
    {
        const size_t u = static_cast<size_t>(g);
        n_[u] = n;
        next_[u] = next;
        c0_[u] = c0;
        c1_[u] = c1;
        c2_[u] = c2;
    }
    void close();
    void finish(double* score, double* var);

  private:
    const int k_;
    const double rho_;
    ByGroup n_, next_;
    ByGroup c0_, c1_, c2_, S_, Sm_, F_, Fm_;
    Packed P_, Q_;
    Lane<K, K1> s_;
    Lane<K, K1 * K / 2> V_;
    ByGroup w_;
    Lane<K, K1 * K> W_;
    Lane<K, 2 * K * K1> X_, XE_; // the contributions of one time: x and x e
    ByGroup h_;
    ByGroup rn_, iS_, iSm_; // 1 / n, 1 / S and 1 / S_ of each group
    double E_ = 0, Em_ = 0, tau_ = -1;
    bool have_ = false;
    bool atRisk(size_t g) const { return n_[g] > 0; }
    double& Wat(int j, int i) { return W_[static_cast<size_t>(j) * (K > 0 ? K : k_) + i]; }
};

template <int K> void GrayWalker<K>::close()
{
    const int k = K > 0 ? K : k_;
    double N1 = 0, N2 = 0;
    for (int g = 0; g < k; ++g) {
        N1 += c1_[static_cast<size_t>(g)];
        N2 += c2_[static_cast<size_t>(g)];
    }
    if (N1 + N2 != 0) {
        // The steps of every group at risk, h = n / S_, and the pooled sums
        // R = sum h and T = sum (1 - F_) h.
        double R = 0, T = 0;
        for (int g = 0; g < k; ++g) {
            const size_t u = static_cast<size_t>(g);
            if (!atRisk(u))
                continue;
            const double rn = 1 / n_[u];
            rn_[u] = rn;
            // Still at risk after the events: those ahead and the censored.
            // A group without events at the time keeps its survival exactly.
            const double left = next_[u] + c0_[u];
            S_[u] = c1_[u] + c2_[u] > 0 ? left * Sm_[u] * rn : Sm_[u];
            iS_[u] = S_[u] > 0 ? 1 / S_[u] : 0;
            F_[u] = Sm_[u] * c1_[u] * rn + Fm_[u];
            h_[u] = n_[u] * iSm_[u];
            T += (1 - Fm_[u]) * h_[u];
            R += h_[u];
        }
        if (R > 0) {
            const double rR = 1 / R;
            E_ = Em_ + N1 * rR;
            const double om = rho_ == 0 ? 1.0 : std::pow(1 - Em_, rho_);
            if (T > 0) {
                const double rT = 1 / T;
                for (int g = 0; g + 1 < k; ++g) {
                    const size_t u = static_cast<size_t>(g);
                    if (atRisk(u))
                        s_[u] += om * (c1_[u] - N1 * (1 - Fm_[u]) * h_[u] * rT);
                }
            }
            // P(i, i) = w h_i (1 - h_i / R), P(i, j) = -w h_i h_j / R; Q grows
            // by N1 P / ((1 - E_) R).
            std::fill(P_.begin(), P_.end(), 0.0);
            const double qf = 1 - Em_ > 0 ? N1 * rR / (1 - Em_) : 0;
            for (int i = 0; i < k; ++i) {
                const size_t u = static_cast<size_t>(i);
                if (!atRisk(u))
                    continue;
                const double wh = om * h_[u];
                const int64_t row = tri(i, 0);
                for (int j = 0; j < i; ++j) {
                    const size_t v = static_cast<size_t>(j);
                    if (!atRisk(v))
                        continue;
                    const double pij = -wh * h_[v] * rR;
                    P_[row + j] = pij;
                    Q_[row + j] += qf * pij;
                }
                const double pii = wh * (1 - h_[u] * rR);
                P_[row + i] = pii;
                Q_[row + i] += qf * pii;
            }
            // Each group's contribution x x' e to the covariance is kept, and
            // the covariance is added to element by element afterwards, each
            // element's terms in the same order as one group after another
            // (the same sums, without a store and a reload per term).
            const size_t m = static_cast<size_t>(k - 1);
            size_t nc = 0;
            if (N1 > 0)
                for (int i = 0; i < k; ++i) {
                    const size_t u = static_cast<size_t>(i);
                    if (!atRisk(u))
                        continue;
                    const double b = S_[u] > 0 ? 1 - (1 - E_) * iS_[u] : 1;
                    const double den = R * Sm_[u] - 1;
                    const double tf = N1 > 1 && den > 0 ? 1 - (N1 - 1) / den : 1;
                    const double e = tf * N1 * rR * Sm_[u] * rn_[u];
                    w_[u] += b * b * e;
                    double* x = X_.begin() + nc * m;
                    double* xe = XE_.begin() + nc * m;
                    for (int j = 0; j + 1 < k; ++j) {
                        const int64_t ji = tri(j, i);
                        const double xj = P_[ji] - Q_[ji] * b;
                        x[j] = xj;
                        Wat(j, i) += xj * b * e;
                        xe[j] = xj * e;
                    }
                    ++nc;
                }
            if (N2 > 0)
                for (int i = 0; i < k; ++i) {
                    const size_t u = static_cast<size_t>(i);
                    if (!atRisk(u) || !(S_[u] > 0) || !(c2_[u] > 0))
                        continue;
                    const double b = (1 - E_) * iS_[u];
                    const double tf = c2_[u] > 1 ? 1 - (c2_[u] - 1) / (n_[u] - 1) : 1;
                    const double rh = Sm_[u] * rn_[u];
                    const double e = tf * c2_[u] * rh * rh;
                    w_[u] += b * b * e;
                    double* y = X_.begin() + nc * m;
                    double* ye = XE_.begin() + nc * m;
                    for (int j = 0; j + 1 < k; ++j) {
                        const double yj = Q_[tri(j, i)] * b;
                        y[j] = yj;
                        Wat(j, i) -= yj * b * e;
                        ye[j] = yj * e;
                    }
                    ++nc;
                }
            for (size_t j = 0; j < m; ++j) {
                double* vrow = &V_[static_cast<size_t>(tri(static_cast<int>(j), 0))];
                for (size_t l = 0; l <= j; ++l) {
                    double v = vrow[l];
                    for (size_t c = 0; c < nc; ++c)
                        v += X_[c * m + l] * XE_[c * m + j];
                    vrow[l] = v;
                }
            }
        }
    }
    // The end of the time, event time or not.
    for (int g = 0; g < k; ++g) {
        const size_t u = static_cast<size_t>(g);
        n_[u] = next_[u];
        if (Sm_[u] != S_[u])
            iSm_[u] = iS_[u];
        Sm_[u] = S_[u];
        Fm_[u] = F_[u];
    }
}

template <int K> void GrayWalker<K>::finish(double* score, double* var)
{
    const int k = K > 0 ? K : k_;
    for (int i = 0; i + 1 < k; ++i)
        for (int j = 0; j <= i; ++j) {
            double add = 0;
            for (int l = 0; l < k; ++l)
                add += Q_[tri(i, l)] * Q_[tri(j, l)] * w_[static_cast<size_t>(l)] +
                       Q_[tri(i, l)] * Wat(j, l) + Q_[tri(j, l)] * Wat(i, l);
            V_[static_cast<size_t>(tri(i, j))] += add;
        }
    for (int i = 0; i + 1 < k; ++i) {
        score[i] += s_[static_cast<size_t>(i)];
        for (int j = 0; j <= i; ++j)
            var[tri(i, j)] += V_[static_cast<size_t>(tri(i, j))];
    }
}

// Sweeps pivot p of the packed symmetric matrix a of order `order` when it
// is above tol, marking it '1' in flags; a pivot judged singular leaves the
// matrix and its mark alone. After the accepted pivots of the leading block
// are swept, the corner of the bordered matrix holds minus the quadratic
// form of the score in the generalized inverse.
bool sweep(double* a, int p, int order, char* flags, std::vector<double>& work, double tol)
{
    return korv_num::sweep(a, p, order, flags, work.data(), tol, korv_num::SweepJoin::Negated) == 0;
}

template <int K>
void walkGroups(const Timed* streams, int k, const int* roleMap, int ncat, double rho,
                double* score, double* var)
{
    GrayWalker<K> w(k, rho);
    const size_t nk = static_cast<size_t>(k);
    std::vector<int64_t> at(nk, 0);
    // The time at the head of each stream, infinite once it is spent (the
    // times are finite): the next time is their least, found without a
    // branch on which stream holds it.
    constexpr double SPENT = std::numeric_limits<double>::infinity();
    std::vector<double> head(nk);
    size_t live = 0;
    for (size_t g = 0; g < nk; ++g) {
        head[g] = streams[g].n > 0 ? streams[g].time[0] : SPENT;
        live += streams[g].n > 0;
    }
    while (live > 0) {
        double tau = head[0];
        for (size_t g = 1; g < nk; ++g)
            tau = std::min(tau, head[g]);
        // The amounts of that time, group by group.
        w.begin(tau);
        for (size_t g = 0; g < nk; ++g) {
            const Timed& st = streams[g];
            int64_t& i = at[g];
            double c[3] = {0, 0, 0}; // censored, of interest, competing
            const double n = i < st.n ? st.ahead[i] : 0;
            if (head[g] == tau) {
                KORV_ASSERT(i < st.n && st.start[i] < st.start[i + 1],
                            "a time in a stream has its entries");
                for (uint32_t e = st.start[i]; e < st.start[i + 1]; ++e) {
                    const auto role = static_cast<unsigned>(roleOf(st.cat[e], roleMap, ncat));
                    if (role < 3)
                        c[role] += st.amount[e];
                }
                ++i;
                const bool more = i < st.n;
                head[g] = more ? st.time[i] : SPENT;
                live -= !more;
            }
            w.add(static_cast<int>(g), n, i < st.n ? st.ahead[i] : 0, c[0], c[1], c[2]);
        }
        w.close();
    }
    w.finish(score, var);
}

} // namespace

void grayWalk(const Timed* streams, int k, const int* roleMap, int ncat, double rho, double* score,
              double* var)
{
    switch (k) {
    case 2:
        walkGroups<2>(streams, k, roleMap, ncat, rho, score, var);
        break;
    case 3:
        walkGroups<3>(streams, k, roleMap, ncat, rho, score, var);
        break;
    case 4:
        walkGroups<4>(streams, k, roleMap, ncat, rho, score, var);
        break;
    case 5:
        walkGroups<5>(streams, k, roleMap, ncat, rho, score, var);
        break;
    case 6:
        walkGroups<6>(streams, k, roleMap, ncat, rho, score, var);
        break;
    default:
        if (k >= 1)
            walkGroups<0>(streams, k, roleMap, ncat, rho, score, var);
        break;
    }
}

GrayChiSq grayChiSq(double* var, int K)
{
    GrayChiSq r{0.0, 0, korv_missing()};
    if (K >= 1) {
        std::vector<char> flags(static_cast<size_t>(K) + 1, '0');
        std::vector<double> diag(static_cast<size_t>(K));
        std::vector<double> work(static_cast<size_t>(K) + 1);
        for (int i = 0; i < K; ++i)
            diag[static_cast<size_t>(i)] = var[tri(i, i)];
        for (int i = 0; i < K; ++i) {
            const double d = diag[static_cast<size_t>(i)];
            const double tol = d >= 1e-12 ? 1e-12 * d : 1e-12;
            if (sweep(var, i, K + 1, flags.data(), work, tol))
                ++r.df;
        }
        // A quadratic form in a generalized inverse is not negative; rounding
        // can leave a residue below 0 when the score is 0.
        r.chisq = std::max(0.0, -var[tri(K, K)]);
    }
    if (r.df > 0)
        r.p = zpgx2(r.chisq, r.df);
    return r;
}

} // namespace korv_cr

// The comparison engine: assessment of a request, the deterministic methods,
// the step-down plan and the items the instance hands out (see engine.h).
#include "mcomp/engine.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <numeric>
#include <unordered_set>

#include "numeric/gamma.h"
#include "numeric/mcdist.h"
#include "numeric/mvn.h"
#include "runtime/missing.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_pool.h"

namespace korv_mc
{
namespace
{

constexpr double kTiny = 1.491668146240041348658193e-154; // 2^-511
constexpr double kInvSqrt2 = 0.70710678118654752440;
constexpr double kInvSqrt2Pi = 0.39894228040143267794;
// Levels above which the logical constraints are not searched: 11 levels
// have 55 pairs (one 64-bit word) and 678570 partitions.
constexpr int kMaxLogicalLevels = 11;
// The most levels whose exact probabilities are integrated (ten
// dimensions); beyond, the approximations of the non-exact case.
constexpr int kMaxExactLevels = 11;
// A comparison whose residual variance, after the comparisons already in a
// set, is at most this share of its own adds nothing to the set's rank.
constexpr double kRankTol = 1e-10;
// Evaluations from which an exact integral is said before it runs: some
// ten seconds of one core, as levels of very unequal information (a
// stratum of a few subjects among large ones) make nine to eleven levels
// take. The first round's forecast errs by up to about three times either
// way; below this, no forecast of the example data's strata reaches it.
constexpr double kCostNoteEvaluations = 2e8;

double Qc(double x)
{
    return 0.5 * std::erfc(x * kInvSqrt2);
}

double Phi(double x)
{
    return 0.5 * std::erfc(-x * kInvSqrt2);
}

double packed(const double* v, int i, int j)
{
    const int r = std::max(i, j), c = std::min(i, j);
    return v[static_cast<long>(r) * (r + 1) / 2 + c];
}

bool missing(double x)
{
    return wzmis(x) || std::isnan(x);
}

// Quantile x of the chi-square distribution with df degrees of freedom at
// upper-tail probability p.
double chiQuantileUpper(double p, int df)
{
    if (df < 1 || !(p > 0 && p < 1))
        return korv_missing();
    double hi = df + 10.0;
    while (zpgx2f(hi, df) > p && hi < 1e8)
        hi *= 2;
    double x;
    if (!zbrentzero([&](double c) { return std::log(zpgx2f(c, df)) - std::log(p); }, 0.0, hi,
                    1e-12 * hi, &x))
        return korv_missing();
    return x;
}

// The span of a growing set of pairwise contrasts e_i - e_j of the levels,
// and its rank under the covariance V of the levels: a pair whose levels
// are already joined by the set adds nothing; another adds a direction
// unless its residual variance, after the directions already in, vanishes.
// Directions are kept V-orthonormal with their images V q (Gram-Schmidt,
// twice), so a pair costs O(levels x rank).
class ContrastSpan
{
  public:
    ContrastSpan(const double* V, int k) : V_(V), k_(k), root_(static_cast<size_t>(k))
    {
        std::iota(root_.begin(), root_.end(), 0);
    }
    int rank() const { return static_cast<int>(q_.size()); }
    int levels() const { return touched_; }
    void add(int i, int j)
    {
        touch(i);
        touch(j);
        const int a = find(i), b = find(j);
        if (a == b)
            return;
        root_[static_cast<size_t>(a)] = b;
        const size_t k = static_cast<size_t>(k_);
        std::vector<double> v(k, 0.0), w(k);
        v[static_cast<size_t>(i)] = 1.0;
        v[static_cast<size_t>(j)] = -1.0;
        for (int r = 0; r < k_; ++r)
            w[static_cast<size_t>(r)] = packed(V_, r, i) - packed(V_, r, j);
        const double var = w[static_cast<size_t>(i)] - w[static_cast<size_t>(j)];
        if (!(var > kTiny))
            return;
        for (int pass = 0; pass < 2; ++pass)
            for (size_t l = 0; l < q_.size(); ++l) {
                double c = 0;
                for (size_t r = 0; r < k; ++r)
                    c += v[r] * Vq_[l][r];
                for (size_t r = 0; r < k; ++r) {
                    v[r] -= c * q_[l][r];
                    w[r] -= c * Vq_[l][r];
                }
            }
        double n2 = 0;
        for (size_t r = 0; r < k; ++r)
            n2 += v[r] * w[r];
        if (!(n2 > kRankTol * var))
            return;
        const double s = 1.0 / std::sqrt(n2);
        for (size_t r = 0; r < k; ++r) {
            v[r] *= s;
            w[r] *= s;
        }
        q_.push_back(std::move(v));
        Vq_.push_back(std::move(w));
    }

  private:
    int find(int x)
    {
        while (root_[static_cast<size_t>(x)] != x)
            x = root_[static_cast<size_t>(x)] =
                root_[static_cast<size_t>(root_[static_cast<size_t>(x)])];
        return x;
    }
    void touch(int i)
    {
        if (seen_.empty())
            seen_.assign(static_cast<size_t>(k_), 0);
        if (!seen_[static_cast<size_t>(i)]) {
            seen_[static_cast<size_t>(i)] = 1;
            ++touched_;
        }
    }
    const double* V_;
    int k_;
    std::vector<int> root_;
    std::vector<char> seen_;
    int touched_ = 0;
    std::vector<std::vector<double>> q_, Vq_;
};

} // namespace

Engine::Engine(QXHandle* h, const QXMCLSM_PARMS& in) : h_(h), parms_(in)
{
    start_ = std::chrono::steady_clock::now();
    if (h_ && h_->journalCreate)
        jnl_ = h_->journalCreate(h_);
}

Engine::~Engine()
{
    if (jnl_)
        jnl_->hdr.destroy(jnl_);
}

double Engine::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Engine::raise(int severity)
{
    severity_ = std::max(severity_, severity);
}

// The note that the logical constraints were not used for every step,
// said once for all the tests the caller compares.
void Engine::sayLogical(int planned, int steps, const char* why)
{
    if (parms_.logicalNoted && *parms_.logicalNoted) {
        raise(2);
        return;
    }
    if (parms_.logicalNoted)
        *parms_.logicalNoted = 1;
    say(2, msg326::MC_LOGICAL, planned, steps, why);
}

void Engine::say(int severity, int number, ...)
{
    raise(severity);
    if (!jnl_)
        return;
    // The catalogue text with its arguments, its level as the line's prefix.
    char text[1024];
    int n = 0;
    const char* t = nullptr;
    int tl = 0;
    if (wkread(326, number, &t, &tl) == 0 && t) {
        std::string fmt(t, static_cast<size_t>(tl));
        if (fmt.size() >= 3 && fmt[0] == '%' && fmt[2] == 'z')
            fmt.erase(0, 3);
        va_list ap;
        va_start(ap, number);
        n = std::vsnprintf(text, sizeof text, fmt.c_str(), ap);
        va_end(ap);
    }
    if (n <= 0)
        return;
    n = std::min(n, static_cast<int>(sizeof text) - 1);
    const char* prefix = severity >= 4 ? "%1z" : severity == 3 ? "%2z" : "%3z";
    std::vector<QXChar> line;
    for (const char* p = prefix; *p; ++p)
        line.push_back(static_cast<unsigned char>(*p));
    for (int i = 0; i < n; ++i)
        line.push_back(static_cast<unsigned char>(text[i]));
    jnl_->addLine(jnl_, line.data(), static_cast<QXStrSize>(line.size()), severity);
}

// ---------------------------------------------------------------------------
// Sets of comparisons.

std::vector<int> Engine::members(uint64_t mask) const
{
    std::vector<int> out;
    for (uint64_t x = mask; x; x &= x - 1)
        out.push_back(std::countr_zero(x));
    return out;
}

int Engine::setRank(const int* idx, int n) const
{
    ContrastSpan span(parms_.var, nl_);
    for (int a = 0; a < n; ++a) {
        const Comparison& c = cmp_[static_cast<size_t>(valid_[static_cast<size_t>(idx[a])])];
        span.add(c.i, c.j);
    }
    return span.rank();
}

int Engine::setLevels(const int* idx, int n) const
{
    std::vector<char> seen(static_cast<size_t>(nl_), 0);
    int m = 0;
    for (int a = 0; a < n; ++a) {
        const Comparison& c = cmp_[static_cast<size_t>(valid_[static_cast<size_t>(idx[a])])];
        for (int l : {c.i, c.j})
            if (!seen[static_cast<size_t>(l)]) {
                seen[static_cast<size_t>(l)] = 1;
                ++m;
            }
    }
    return m;
}

int Engine::rankAll()
{
    if (rank_ < 0)
        rank_ = setRank(all_.data(), static_cast<int>(all_.size()));
    return rank_;
}

double Engine::probability(const SetView& S, double t, double* err)
{
    *err = 0;
    const int n = S.n;
    if (n == 0)
        return 0.0;
    const double p1 = 2.0 * Qc(t);
    switch (parms_.method) {
    case QXMCLSM_T:
        return p1;
    case QXMCLSM_BON:
        return std::min(1.0, n * p1);
    case QXMCLSM_SIDAK:
        return -std::expm1(n * std::log1p(-p1));
    case QXMCLSM_GT2:
        return zpsmmc(t, n, korv_missing());
    case QXMCLSM_F: {
        const int r = S.rank >= 0 ? S.rank : setRank(S.idx, n);
        return r > 0 ? zpgx2f(t * t, r) : korv_missing();
    }
    default:
        return exactProbability(S, t, err);
    }
}

double Engine::exactProbability(const SetView& S, double t, double* err)
{
    *err = 0;
    const int n = S.n;
    const double p1 = 2.0 * Qc(t);
    if (n == 1)
        return p1;
    const int mv = static_cast<int>(valid_.size());
    const bool range = S.full && n == mv && type_ == QXMCLSM_ALL && structure_ == 0 && ncmp_ == mv;
    double p;
    if (range) {
        p = zptukeyc(std::sqrt(2.0) * t, nl_, korv_missing());
    } else if (mode_ == Exact::Hsu) {
        p = hsuTail(S.idx, n, t, 1e-10);
    } else if (mode_ == Exact::Integrate) {
        // One threshold, a set of a step down: Genz's method on the set.
        std::vector<double> cov(static_cast<size_t>(n) * (n + 1) / 2),
            lo(static_cast<size_t>(n), -t), hi(static_cast<size_t>(n), t);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j <= i; ++j)
                cov[static_cast<size_t>(i) * (i + 1) / 2 + j] =
                    R_[static_cast<size_t>(S.idx[i]) * mv + S.idx[j]];
        const MvnResult r = zmvnrect(n, cov.data(), lo.data(), hi.data(), integration());
        if (r.inform == 3)
            return korv_missing(); // out of time: the caller bounds it
        *err = r.inform == 1 ? r.error : 0.0;
        p = r.complement;
    } else {
        // Tukey-Kramer: the range of the levels the set touches.
        const int m = S.levels >= 0 ? S.levels : setLevels(S.idx, n);
        p = zptukeyc(std::sqrt(2.0) * t, std::max(m, 2), korv_missing());
    }
    if (missing(p))
        return p;
    return std::clamp(p, p1, std::min(1.0, n * p1));
}

bool Engine::togetherExact(const SetView& S) const
{
    const int mv = static_cast<int>(valid_.size());
    if (parms_.method != QXMCLSM_EXACT || mode_ != Exact::Integrate || !S.full || S.n != mv ||
        mv < 2)
        return false;
    // The studentized range needs no integral.
    return !(type_ == QXMCLSM_ALL && structure_ == 0 && ncmp_ == mv);
}

// Every valid comparison's single-step probability P(max_s |Z_s| > |z_r|) is
// the upper tail of one distribution, that of the largest |Z_s|, at |z_r|:
// all of them come from one integral (zmvnmax), each then held between its
// raw p-value and the Bonferroni bound as exactProbability holds it.
void Engine::exactTogether(std::vector<double>& p, std::vector<double>& errs)
{
    const int mv = static_cast<int>(valid_.size());
    std::vector<double> cov(static_cast<size_t>(mv) * (mv + 1) / 2), t(static_cast<size_t>(mv));
    for (int i = 0; i < mv; ++i) {
        for (int j = 0; j <= i; ++j)
            cov[static_cast<size_t>(i) * (i + 1) / 2 + j] = R_[static_cast<size_t>(i) * mv + j];
        t[static_cast<size_t>(i)] =
            std::fabs(cmp_[static_cast<size_t>(valid_[static_cast<size_t>(i)])].z);
    }
    MvnOptions opt = integration();
    opt.parallel = [](size_t n, const std::function<void(size_t)>& body) {
        vyr::parallel_for(n, body);
    };
    // An integral that will take long is said before most of it is done,
    // as its first round forecasts it.
    QXMCLSM_EXTERNAL* ext = inst_ ? inst_->ExternalPtr : nullptr;
    if (ext && ext->CostReport) {
        const int dims = rank_ >= 0 ? rank_ : nl_ - 1;
        opt.forecast = [this, ext, dims](double evaluations, double seconds) {
            if (evaluations >= kCostNoteEvaluations)
                ext->CostReport(inst_, evaluations, seconds, dims);
        };
    }
    const MvnMaxResult res = zmvnmax(mv, cov.data(), mv, t.data(), p.data(), opt);
    for (int r = 0; r < mv; ++r) {
        double& pr = p[static_cast<size_t>(r)];
        errs[static_cast<size_t>(r)] = res.inform == 1 ? res.error : 0.0;
        const double p1 = 2.0 * Qc(t[static_cast<size_t>(r)]);
        if (!missing(pr))
            pr = std::clamp(pr, p1, std::min(1.0, mv * p1));
    }
}

// The accuracy of the exact method's integrals: 1e-5 while the comparisons
// span at most five dimensions (up to six levels of all pairs), 1e-4 beyond,
// where each integral takes seconds. A small p-value is not held to a
// relative accuracy: below 1e-4 it only needs to show as such, and its far
// tail converges slowly.
MvnOptions Engine::integration() const
{
    MvnOptions opt;
    const int rank = rank_ >= 0 ? rank_ : nl_ - 1;
    opt.abseps = rank <= 5 ? 1e-5 : 1e-4;
    opt.releps = 1e-2;
    opt.absfloor = opt.abseps;
    opt.maxpts = 20000000;
    if (stepDeadline_ > 0)
        opt.seconds = std::max(1e-3, stepDeadline_ - elapsed());
    return opt;
}

// ---------------------------------------------------------------------------
// Hsu's one-factor approximation (comparisons with a control).

// Loadings l with r_ab close to l_a l_b for a != b, by damped fixed-point
// steps of l_a = sum_{b != a} r_ab l_b / sum_{b != a} l_b^2. The sums over b
// are one product of the levels' covariance with a vector, so a step costs
// O(levels^2) and no correlation matrix is formed.
void Engine::fitOneFactor()
{
    const int mv = static_cast<int>(valid_.size());
    lambda_.assign(static_cast<size_t>(mv), 0.5);
    if (mv < 2) {
        exact_ = 1;
        return;
    }
    const double* v = parms_.var;
    const double rr = parms_.rmse * parms_.rmse;
    const int k = nl_;
    std::vector<double> mu(static_cast<size_t>(k)), y(static_cast<size_t>(k));
    auto at = [&](int a) -> const Comparison& {
        return cmp_[static_cast<size_t>(valid_[static_cast<size_t>(a)])];
    };
    // sum_b cov(a, b) l_b / se_b for every a, by y = V mu.
    auto sums = [&](std::vector<double>& out) {
        std::fill(mu.begin(), mu.end(), 0.0);
        for (int a = 0; a < mv; ++a) {
            const Comparison& c = at(a);
            mu[static_cast<size_t>(c.i)] += lambda_[static_cast<size_t>(a)] / c.se;
            mu[static_cast<size_t>(c.j)] -= lambda_[static_cast<size_t>(a)] / c.se;
        }
        std::fill(y.begin(), y.end(), 0.0);
        for (int i = 0; i < k; ++i) {
            const double* row = v + static_cast<long>(i) * (i + 1) / 2;
            double s = 0;
            for (int j = 0; j < i; ++j) {
                s += row[j] * mu[static_cast<size_t>(j)];
                y[static_cast<size_t>(j)] += row[j] * mu[static_cast<size_t>(i)];
            }
            y[static_cast<size_t>(i)] += s + row[i] * mu[static_cast<size_t>(i)];
        }
        for (int a = 0; a < mv; ++a) {
            const Comparison& c = at(a);
            out[static_cast<size_t>(a)] =
                (y[static_cast<size_t>(c.i)] - y[static_cast<size_t>(c.j)]) * rr / c.se;
        }
    };
    std::vector<double> s(static_cast<size_t>(mv));
    for (int it = 0; it < 500; ++it) {
        sums(s);
        double ss = 0;
        for (double l : lambda_)
            ss += l * l;
        double change = 0;
        for (int a = 0; a < mv; ++a) {
            double& l = lambda_[static_cast<size_t>(a)];
            const double den = ss - l * l;
            const double target = den > 1e-300 ? (s[static_cast<size_t>(a)] - l) / den : 0.0;
            const double next = std::clamp(0.5 * (l + target), -0.999999, 0.999999);
            change = std::max(change, std::fabs(next - l));
            l = next;
        }
        if (change < 1e-12)
            break;
    }
    // Exact when the correlation has the one-factor form.
    double worst = 0;
    for (int a = 0; a < mv && worst <= 1e-9; ++a)
        for (int b = 0; b < a; ++b) {
            const Comparison& x = at(a);
            const Comparison& z = at(b);
            const double c = (packed(v, x.i, z.i) - packed(v, x.i, z.j) - packed(v, x.j, z.i) +
                              packed(v, x.j, z.j)) *
                             rr / (x.se * z.se);
            worst = std::max(worst, std::fabs(c - lambda_[static_cast<size_t>(a)] *
                                                      lambda_[static_cast<size_t>(b)]));
        }
    exact_ = worst <= 1e-9 ? 1 : 0;
}

// P(max over the set of |Z_s| > t) with Z_s = l_s X + sqrt(1 - l_s^2) E_s,
// X and the E_s independent standard normals: the integral over X of
// 1 - prod_s P(|Z_s| <= t | X), the product taken as the exponential of a
// sum of logarithms so that a small probability keeps its digits.
double Engine::hsuTail(const int* idx, int n, double t, double epsrel) const
{
    if (n <= 0)
        return 0.0;
    if (!(t > 0))
        return 1.0;
    std::vector<double> l(static_cast<size_t>(n)), sd(static_cast<size_t>(n));
    for (int a = 0; a < n; ++a) {
        l[static_cast<size_t>(a)] = lambda_[static_cast<size_t>(idx[a])];
        sd[static_cast<size_t>(a)] =
            std::sqrt(std::max(0.0, 1.0 - l[static_cast<size_t>(a)] * l[static_cast<size_t>(a)]));
    }
    auto f = [&](double z) {
        const double pz = kInvSqrt2Pi * std::exp(-0.5 * z * z);
        if (pz == 0)
            return 0.0;
        double lw = 0;
        for (int a = 0; a < n; ++a) {
            const double m = l[static_cast<size_t>(a)] * z, s = sd[static_cast<size_t>(a)];
            const double tail =
                s > 0 ? Phi((-t - m) / s) + Qc((t - m) / s) : (std::fabs(m) > t ? 1.0 : 0.0);
            if (tail >= 1.0)
                return pz;
            lw += std::log1p(-tail);
        }
        return -pz * std::expm1(lw);
    };
    const double lim = t + 9.0;
    return std::clamp(zgkquad(f, -lim, lim, 1e-300, epsrel, nullptr, 2000), 0.0, 1.0);
}

// ---------------------------------------------------------------------------
// Assessment.

QXStatus Engine::assess()
{
    assessed_ = false;
    haveAdjp_ = haveSim_ = haveStep_ = haveQuantile_ = false;
    nl_ = parms_.nl;
    type_ = parms_.type;
    ncmp_ = 0;
    structure_ = -1;
    rank_ = -1;
    cmp_.clear();
    valid_.clear();
    all_.clear();
    R_.clear();
    lambda_.clear();
    order_.clear();
    side_ = 'B';
    if (const QXStatus refused = checkInput())
        return refused;
    makeComparisons();
    const int mv = static_cast<int>(valid_.size());

    const int method = parms_.method;
    const bool stepdown = parms_.step != 0 && method != QXMCLSM_T && mv > 0;
    const bool rangeOnly = type_ == QXMCLSM_ALL && structure_ == 0 && ncmp_ == mv;
    chooseExactMode(stepdown, rangeOnly);

    // The correlation of the comparisons, which the integrals and the
    // simulation need (the other methods work from the levels' covariance).
    const bool needR =
        method == QXMCLSM_SIM ||
        (method == QXMCLSM_EXACT && mode_ == Exact::Integrate && !(rangeOnly && !stepdown));
    if (method == QXMCLSM_SIM && mv > QXMCLSM_MAX_SIMULATED) {
        say(4, msg326::MC_TOO_MANY, mv, QXMCLSM_MAX_SIMULATED);
        return QXMCLSM_E_UNSUPPORTED;
    }
    if (needR)
        correlate();
    if (method == QXMCLSM_F || needR)
        rankAll();

    const QXStatus status = simulationSettings();
    if (stepdown)
        planStepDown();
    assessed_ = true;
    return status;
}

QXStatus Engine::checkInput()
{
    if (nl_ < 0 || (nl_ > 0 && (!parms_.var || !parms_.mean))) {
        say(4, msg326::MC_BAD_INPUT, "no estimates or no covariance");
        return QXMCLSM_E_INPUT;
    }
    if (parms_.l) {
        say(4, msg326::MC_CONTRASTS);
        return QXMCLSM_E_UNSUPPORTED;
    }
    if (type_ != QXMCLSM_ALL && type_ != QXMCLSM_CONTROL) {
        say(4, msg326::MC_TYPE, type_);
        return QXMCLSM_E_UNSUPPORTED;
    }
    if (parms_.method < QXMCLSM_T || parms_.method > QXMCLSM_EXACT) {
        say(4, msg326::MC_METHOD, parms_.method);
        return QXMCLSM_E_UNSUPPORTED;
    }
    if (!missing(parms_.dfe) && std::isfinite(parms_.dfe)) {
        say(4, msg326::MC_DFE, parms_.dfe);
        return QXMCLSM_E_UNSUPPORTED;
    }
    const double rmse = parms_.rmse;
    if (missing(rmse) || !(rmse > 0)) {
        say(4, msg326::MC_BAD_INPUT, "the root mean square error is missing or not positive");
        return QXMCLSM_E_INPUT;
    }
    if (type_ == QXMCLSM_CONTROL && nl_ > 0 && (parms_.idxcntl < 0 || parms_.idxcntl >= nl_)) {
        say(4, msg326::MC_BAD_INPUT, "the control level is not one of the levels");
        return QXMCLSM_E_INPUT;
    }
    return 0;
}

void Engine::makeComparisons()
{
    // The comparisons, in the order of the p-values handed back.
    const double* v = parms_.var;
    const double* m = parms_.mean;
    const double rmse = parms_.rmse;
    auto add = [&](int i, int j) {
        Comparison c;
        c.i = i;
        c.j = j;
        const double vv = (packed(v, i, i) + packed(v, j, j) - 2.0 * packed(v, i, j)) * rmse * rmse;
        c.est = (missing(m[i]) || missing(m[j])) ? korv_missing() : m[i] - m[j];
        c.se = vv > 0 && !missing(vv) ? std::sqrt(vv) : korv_missing();
        c.valid = !missing(c.est) && !missing(vv) && vv > kTiny && std::isfinite(c.est);
        c.z = c.valid ? c.est / c.se : korv_missing();
        cmp_.push_back(c);
    };
    if (type_ == QXMCLSM_ALL) {
        cmp_.reserve(static_cast<size_t>(nl_) * std::max(nl_ - 1, 0) / 2);
        for (int i = 0; i + 1 < nl_; ++i)
            for (int j = i + 1; j < nl_; ++j)
                add(i, j);
    } else {
        for (int i = 0; i < nl_; ++i)
            if (i != parms_.idxcntl)
                add(i, parms_.idxcntl);
    }
    ncmp_ = static_cast<int>(cmp_.size());
    for (int r = 0; r < ncmp_; ++r)
        if (cmp_[static_cast<size_t>(r)].valid)
            valid_.push_back(r);
    empty_ = valid_.empty();
    all_.resize(valid_.size());
    std::iota(all_.begin(), all_.end(), 0);

    // The structure of the means: uncorrelated and balanced (0), uncorrelated
    // (1) or correlated (2).
    if (ncmp_ == 0) {
        structure_ = -1;
    } else {
        bool uncorrelated = true, balanced = true;
        const double d0 = packed(v, 0, 0);
        for (int i = 0; i < nl_; ++i) {
            const double di = packed(v, i, i);
            if (!(std::fabs(di - d0) <= 1e-12 * std::fabs(d0)))
                balanced = false;
            for (int j = 0; j < i && uncorrelated; ++j)
                if (!(std::fabs(packed(v, i, j)) <=
                      1e-12 * std::sqrt(std::fabs(di * packed(v, j, j)))))
                    uncorrelated = false;
        }
        structure_ = !uncorrelated ? 2 : balanced ? 0 : 1;
    }
}

void Engine::chooseExactMode(bool stepdown, bool rangeOnly)
{
    // How the exact method finds its probabilities: integrals up to eleven
    // levels, the studentized range for uncorrelated means of equal
    // variance, else Tukey-Kramer for all pairs and Hsu's approximation
    // against a control. The simulation's report uses the same for the
    // method's own critical value.
    const int method = parms_.method;
    exact_ = method == QXMCLSM_SIM ? 0 : 1;
    mode_ = Exact::Integrate;
    if ((method == QXMCLSM_EXACT || method == QXMCLSM_SIM) && nl_ > kMaxExactLevels) {
        if (type_ == QXMCLSM_ALL)
            mode_ = rangeOnly && !stepdown ? Exact::Range : Exact::TukeyKramer;
        else
            mode_ = Exact::Hsu;
        if (method == QXMCLSM_EXACT && mode_ == Exact::TukeyKramer)
            exact_ = 0;
    }
    if (mode_ == Exact::Hsu) {
        const int keep = exact_;
        fitOneFactor();
        if (method == QXMCLSM_SIM)
            exact_ = keep;
    }
    if (mode_ == Exact::TukeyKramer || mode_ == Exact::Range)
        levels_ = setLevels(all_.data(), static_cast<int>(valid_.size()));
}

void Engine::correlate()
{
    const double* v = parms_.var;
    const double rmse = parms_.rmse;
    const int mv = static_cast<int>(valid_.size());
    R_.assign(static_cast<size_t>(mv) * mv, 0.0);
    for (int a = 0; a < mv; ++a) {
        const Comparison& x = cmp_[static_cast<size_t>(valid_[static_cast<size_t>(a)])];
        for (int b = 0; b <= a; ++b) {
            const Comparison& y = cmp_[static_cast<size_t>(valid_[static_cast<size_t>(b)])];
            const double c = (packed(v, x.i, y.i) - packed(v, x.i, y.j) - packed(v, x.j, y.i) +
                              packed(v, x.j, y.j)) *
                             rmse * rmse;
            const double r = a == b ? 1.0 : std::clamp(c / (x.se * y.se), -1.0, 1.0);
            R_[static_cast<size_t>(a) * mv + b] = R_[static_cast<size_t>(b) * mv + a] = r;
        }
    }
}

QXStatus Engine::simulationSettings()
{
    // The sample makes every simulated p-value lie within acc of its exact
    // value with confidence 1 - eps, whatever the p-value:
    // n = (z_{1-eps/2} / (2 acc))^2, since p(1 - p) <= 1/4.
    acc_ = parms_.acc > 0 && parms_.acc < 0.5 ? parms_.acc : 0.005;
    eps_ = parms_.eps > 0 && parms_.eps < 1 ? parms_.eps : 0.01;
    if (parms_.nsamp >= 1 && !missing(parms_.nsamp)) {
        nsamp_ = std::floor(parms_.nsamp);
    } else {
        const double z = -zppnd16(0.5 * eps_);
        nsamp_ = std::ceil(std::pow(z / (2.0 * acc_), 2));
    }
    seed_ = parms_.seed;
    if (seed_ < 1 || seed_ > 2147483646L)
        seed_ = 1 + static_cast<long>(std::time(nullptr) % 2147483646L);
    if (parms_.cva)
        say(2, msg326::MC_CVA);
    if (parms_.method == QXMCLSM_SIM && nsamp_ > 1e9) {
        say(4, msg326::MC_SAMPLE, nsamp_, acc_, eps_);
        return QXMCLSM_NO_SIMULATION;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The step-down plan.

double Engine::stepStatistic(int j) const
{
    return std::fabs(
        cmp_[static_cast<size_t>(valid_[static_cast<size_t>(order_[static_cast<size_t>(j)])])].z);
}

int Engine::setsOfStep(int j) const
{
    return j < logicalSteps_ ? static_cast<int>(logical_[static_cast<size_t>(j)].size()) : 1;
}

void Engine::planStepDown()
{
    const int mv = static_cast<int>(valid_.size());
    order_.resize(static_cast<size_t>(mv));
    std::iota(order_.begin(), order_.end(), 0);
    if (parms_.steporder != QXMCLSM_STEP_ORDR)
        std::stable_sort(order_.begin(), order_.end(), [&](int a, int b) {
            return std::fabs(cmp_[static_cast<size_t>(valid_[static_cast<size_t>(a)])].z) >
                   std::fabs(cmp_[static_cast<size_t>(valid_[static_cast<size_t>(b)])].z);
        });
    logical_.clear();
    logicalPart_.clear();
    logicalSteps_ = 0;
    if (parms_.step == QXMCLSM_STEP_LOGICAL && type_ == QXMCLSM_ALL)
        planLogical(order_);
    suffixMeasures();
    if (parms_.steprep)
        fillStepInfo();
}

// The free sets are the suffixes order_[j..]: adding the comparisons from
// the last step back gives each one's rank (Scheffe) or the levels it
// touches (Tukey-Kramer) in one pass.
void Engine::suffixMeasures()
{
    const int mv = static_cast<int>(valid_.size());
    const bool rank = parms_.method == QXMCLSM_F;
    const bool levels = parms_.method == QXMCLSM_EXACT && mode_ == Exact::TukeyKramer;
    suffixRank_.assign(rank ? static_cast<size_t>(mv) : 0, 0);
    suffixLevels_.assign(levels ? static_cast<size_t>(mv) : 0, 0);
    if (!rank && !levels)
        return;
    ContrastSpan span(parms_.var, nl_);
    std::vector<char> seen(static_cast<size_t>(nl_), 0);
    int touched = 0;
    for (int j = mv - 1; j >= 0; --j) {
        const Comparison& c =
            cmp_[static_cast<size_t>(valid_[static_cast<size_t>(order_[static_cast<size_t>(j)])])];
        if (rank) {
            span.add(c.i, c.j);
            suffixRank_[static_cast<size_t>(j)] = span.rank();
        }
        if (levels) {
            for (int l : {c.i, c.j})
                if (!seen[static_cast<size_t>(l)]) {
                    seen[static_cast<size_t>(l)] = 1;
                    ++touched;
                }
            suffixLevels_[static_cast<size_t>(j)] = touched;
        }
    }
    if (rank && mv > 0)
        rank_ = suffixRank_[0];
}

// The largest sets of hypotheses that can be true together while the
// hypotheses of the earlier steps are false: for all pairs of nl means, the
// pairs within the blocks of a partition of the levels (equal means within a
// block) that puts the step's pair in one block and no earlier pair in one.
void Engine::planLogical(const std::vector<int>& order)
{
    const int mv = static_cast<int>(valid_.size());
    const int steps = parms_.stepcsize > 0 ? std::min(parms_.stepcsize, mv) : mv;
    if (nl_ > kMaxLogicalLevels) {
        sayLogical(0, mv, "more than 11 levels");
        return;
    }
    const double deadline = parms_.stepmaxtime > 0 ? parms_.stepmaxtime : 60.0;
    // Valid index of each pair of levels, or -1.
    std::vector<int> pairIndex(static_cast<size_t>(nl_) * nl_, -1);
    for (int a = 0; a < mv; ++a) {
        const Comparison& c = cmp_[static_cast<size_t>(valid_[static_cast<size_t>(a)])];
        pairIndex[static_cast<size_t>(c.i) * nl_ + c.j] = a;
        pairIndex[static_cast<size_t>(c.j) * nl_ + c.i] = a;
    }
    // Every partition, as restricted growth strings, with its within-block
    // pairs.
    struct Part {
        uint64_t within;
        std::vector<uint8_t> label;
    };
    std::vector<Part> parts;
    std::vector<uint8_t> g(static_cast<size_t>(nl_), 0), mx(static_cast<size_t>(nl_), 0);
    bool timedOut = false;
    for (;;) {
        uint64_t w = 0;
        for (int a = 0; a < nl_; ++a)
            for (int b = a + 1; b < nl_; ++b)
                if (g[static_cast<size_t>(a)] == g[static_cast<size_t>(b)]) {
                    const int idx = pairIndex[static_cast<size_t>(a) * nl_ + b];
                    if (idx >= 0)
                        w |= uint64_t{1} << idx;
                }
        if (w)
            parts.push_back({w, g});
        // Next restricted growth string.
        int i = nl_ - 1;
        while (i > 0 && g[static_cast<size_t>(i)] > mx[static_cast<size_t>(i - 1)])
            --i;
        if (i <= 0)
            break;
        ++g[static_cast<size_t>(i)];
        mx[static_cast<size_t>(i)] =
            std::max(mx[static_cast<size_t>(i - 1)], g[static_cast<size_t>(i)]);
        for (int j = i + 1; j < nl_; ++j) {
            g[static_cast<size_t>(j)] = 0;
            mx[static_cast<size_t>(j)] = mx[static_cast<size_t>(i)];
        }
        if ((parts.size() & 0xFFF) == 0 && elapsed() > deadline) {
            timedOut = true;
            break;
        }
    }
    if (timedOut) {
        sayLogical(0, mv, "MAXTIME=");
        return;
    }
    uint64_t rejected = 0, suffix = 0;
    for (int a = 0; a < mv; ++a)
        suffix |= uint64_t{1} << a;
    int planned = 0;
    for (int j = 0; j < steps; ++j) {
        const uint64_t h = uint64_t{1} << order[static_cast<size_t>(j)];
        std::vector<std::pair<uint64_t, size_t>> cand;
        std::unordered_set<uint64_t> seen;
        for (size_t p = 0; p < parts.size(); ++p) {
            const uint64_t w = parts[p].within;
            if ((w & h) && !(w & rejected)) {
                const uint64_t s = w & suffix;
                if (seen.insert(s).second)
                    cand.push_back({s, p});
            }
        }
        // Only the largest sets matter: a subset's probability is never
        // larger.
        std::sort(cand.begin(), cand.end(), [](const auto& x, const auto& y) {
            const int cx = std::popcount(x.first), cy = std::popcount(y.first);
            return cx != cy ? cx > cy : x.first < y.first;
        });
        std::vector<std::pair<uint64_t, size_t>> kept;
        for (const auto& c : cand) {
            bool inside = false;
            for (const auto& k : kept)
                if ((c.first & k.first) == c.first) {
                    inside = true;
                    break;
                }
            if (!inside)
                kept.push_back(c);
        }
        logical_.emplace_back();
        logicalPart_.emplace_back();
        for (const auto& k : kept) {
            logical_.back().push_back(k.first);
            std::vector<int> lab(static_cast<size_t>(nl_));
            for (int a = 0; a < nl_; ++a)
                lab[static_cast<size_t>(a)] = parts[k.second].label[static_cast<size_t>(a)] + 1;
            logicalPart_.back().push_back(std::move(lab));
        }
        rejected |= h;
        suffix &= ~h;
        ++planned;
        if (elapsed() > deadline) {
            timedOut = true;
            break;
        }
    }
    logicalSteps_ = planned;
    if (timedOut && planned < mv)
        sayLogical(planned, mv, "MAXTIME=");
    else if (planned < mv && parms_.stepcsize > 0)
        sayLogical(planned, mv, "LOGICAL(n)");
}

// The step-down report's records: one subset per set, in the order of the
// steps. The membership flags take a row of every comparison per subset; a
// report past kMaxReportCells of them is left out with a warning.
void Engine::fillStepInfo()
{
    constexpr double kMaxReportCells = 1e7;
    const int mv = static_cast<int>(valid_.size());
    double subsets = 0;
    for (int j = 0; j < mv; ++j)
        subsets += setsOfStep(j);
    if (subsets * std::max(ncmp_, 1) > kMaxReportCells) {
        say(3, msg326::MC_REPORT_TOO_LARGE, subsets, ncmp_, kMaxReportCells);
        return;
    }
    orig_.assign(static_cast<size_t>(mv), 0);
    for (int j = 0; j < mv; ++j)
        orig_[static_cast<size_t>(j)] = valid_[static_cast<size_t>(order_[static_cast<size_t>(j)])];
    subset_.clear();
    stepOf_.clear();
    part_.clear();
    rankOf_.clear();
    tObs_.clear();
    pBon_.clear();
    const bool wantPart = parms_.method == QXMCLSM_EXACT && type_ == QXMCLSM_ALL && nl_ > 0;
    const bool wantRank = parms_.method == QXMCLSM_F;
    for (int j = 0; j < mv; ++j) {
        const double t = stepStatistic(j);
        for (int s = 0; s < setsOfStep(j); ++s) {
            const bool logical = j < logicalSteps_;
            std::vector<int> idx;
            if (logical)
                idx = members(logical_[static_cast<size_t>(j)][static_cast<size_t>(s)]);
            else
                idx.assign(order_.begin() + j, order_.end());
            const int n = static_cast<int>(idx.size());
            const size_t row = subset_.size();
            subset_.resize(row + static_cast<size_t>(ncmp_), 0);
            for (int a : idx)
                subset_[row + static_cast<size_t>(valid_[static_cast<size_t>(a)])] = 1;
            stepOf_.push_back(j);
            tObs_.push_back(t);
            pBon_.push_back(std::min(1.0, n * 2.0 * Qc(t)));
            rankOf_.push_back(!wantRank ? 0
                              : logical ? setRank(idx.data(), n)
                                        : suffixRank_[static_cast<size_t>(j)]);
            // The partition of the levels: the logical search's own, else the
            // groups that the set's pairs join.
            if (!wantPart)
                continue;
            std::vector<int> lab(static_cast<size_t>(nl_));
            if (logical) {
                lab = logicalPart_[static_cast<size_t>(j)][static_cast<size_t>(s)];
            } else {
                std::vector<int> root(static_cast<size_t>(nl_));
                std::iota(root.begin(), root.end(), 0);
                auto find = [&](int x) {
                    while (root[static_cast<size_t>(x)] != x)
                        x = root[static_cast<size_t>(x)] =
                            root[static_cast<size_t>(root[static_cast<size_t>(x)])];
                    return x;
                };
                for (int a : idx) {
                    const Comparison& c = cmp_[static_cast<size_t>(valid_[static_cast<size_t>(a)])];
                    root[static_cast<size_t>(find(c.i))] = find(c.j);
                }
                std::vector<int> number(static_cast<size_t>(nl_), 0);
                int next = 0;
                for (int a = 0; a < nl_; ++a) {
                    int& num = number[static_cast<size_t>(find(a))];
                    if (num == 0)
                        num = ++next;
                    lab[static_cast<size_t>(a)] = num;
                }
            }
            part_.insert(part_.end(), lab.begin(), lab.end());
        }
    }
    const size_t ns = stepOf_.size();
    if (!wantPart)
        part_.assign(ns * static_cast<size_t>(std::max(nl_, 0)), 0);
    pEval_.assign(ns, korv_missing());
    simple_.assign(ns, korv_missing());
    avgcv_.assign(ns, korv_missing());
    avgcv2_.assign(ns, korv_missing());
    gls_.assign(ns, korv_missing());
    sgls_.assign(ns, korv_missing());
    step_ = {};
    step_.tObs = tObs_.data();
    step_.Orig = orig_.data();
    step_.nSubsets = static_cast<int>(ns);
    step_.Subset = subset_.data();
    step_.Step = stepOf_.data();
    step_.pBon = pBon_.data();
    step_.pEval = nullptr; // filled by the computation
    step_.Simple = simple_.data();
    step_.AvgCV = avgcv_.data();
    step_.AvgCV2 = avgcv2_.data();
    step_.GLS = gls_.data();
    step_.sGLS = sgls_.data();
    step_.t0 = tObs_.empty() ? 0.0 : tObs_[0];
    step_.status = 0;
    step_.PrtPart = part_.data();
    step_.PrtRank = rankOf_.data();
    haveStep_ = true;
}

// ---------------------------------------------------------------------------
// The deterministic methods.

QXStatus Engine::deterministic(QXMCLSM_INSTANCE* inst)
{
    if (!assessed_ || parms_.method == QXMCLSM_SIM)
        return QXMCLSM_E_STATE;
    inst_ = inst;
    adjp_.assign(static_cast<size_t>(ncmp_), korv_missing());
    const int mv = static_cast<int>(valid_.size());
    std::vector<double> errs;
    const int method = parms_.method;
    if (parms_.step != 0 && method != QXMCLSM_T && mv > 0) {
        // Every set of every step at the step's statistic, then the running
        // maximum. A set is the free suffix of its step or a logical mask.
        std::vector<std::pair<int, int>> tasks; // (step, set)
        for (int j = 0; j < mv; ++j)
            for (int s = 0; s < setsOfStep(j); ++s)
                tasks.push_back({j, s});
        std::vector<double> prob(tasks.size());
        errs.assign(tasks.size(), 0.0);
        // Integrals take MAXTIME= at most: a set not begun by then takes the
        // Bonferroni bound of its step's free set, which is never smaller
        // than its probability.
        const double deadline = parms_.stepmaxtime > 0 ? parms_.stepmaxtime : 60.0;
        const bool costly = method == QXMCLSM_EXACT && mode_ != Exact::Range;
        if (costly)
            stepDeadline_ = deadline;
        vyr::parallel_for(tasks.size(), [&](size_t k) {
            const int j = tasks[k].first;
            if (costly && elapsed() > deadline) {
                prob[k] = korv_missing();
                return;
            }
            SetView S;
            std::vector<int> idx;
            if (j < logicalSteps_) {
                idx =
                    members(logical_[static_cast<size_t>(j)][static_cast<size_t>(tasks[k].second)]);
                S.idx = idx.data();
                S.n = static_cast<int>(idx.size());
            } else {
                S.idx = order_.data() + j;
                S.n = mv - j;
                S.full = j == 0;
                if (!suffixRank_.empty())
                    S.rank = suffixRank_[static_cast<size_t>(j)];
                if (!suffixLevels_.empty())
                    S.levels = suffixLevels_[static_cast<size_t>(j)];
            }
            prob[k] = probability(S, stepStatistic(j), &errs[k]);
        });
        stepDeadline_ = 0;
        int complete = mv;
        bool late = false;
        double running = 0;
        size_t k = 0;
        for (int j = 0; j < mv; ++j) {
            double best = 0;
            for (int s = 0; s < setsOfStep(j); ++s, ++k) {
                if (wzmis(prob[k])) {
                    late = true;
                    complete = std::min(complete, j);
                    prob[k] = std::min(1.0, (mv - j) * 2.0 * Qc(stepStatistic(j)));
                }
                best = std::max(best, prob[k]);
            }
            running = std::min(1.0, std::max(running, best));
            adjp_[static_cast<size_t>(
                valid_[static_cast<size_t>(order_[static_cast<size_t>(j)])])] = running;
        }
        if (late)
            say(2, msg326::MC_STEP_MAXTIME, complete, mv, deadline);
        setProb_ = prob;
        if (haveStep_) {
            pEval_ = prob;
            step_.pEval = pEval_.data();
        }
    } else {
        std::vector<double> p(static_cast<size_t>(mv));
        errs.assign(static_cast<size_t>(mv), 0.0);
        SetView S;
        S.idx = all_.data();
        S.n = mv;
        S.full = true;
        if (method == QXMCLSM_F)
            S.rank = rankAll();
        if (mode_ == Exact::TukeyKramer)
            S.levels = levels_;
        if (togetherExact(S))
            exactTogether(p, errs);
        else
            vyr::parallel_for(static_cast<size_t>(mv), [&](size_t r) {
                p[r] = probability(S, std::fabs(cmp_[static_cast<size_t>(valid_[r])].z), &errs[r]);
            });
        for (int r = 0; r < mv; ++r)
            adjp_[static_cast<size_t>(valid_[static_cast<size_t>(r)])] = p[static_cast<size_t>(r)];
    }
    for (double e : errs)
        maxError_ = std::max(maxError_, e);
    if (maxError_ > 0)
        say(3, msg326::MC_ACCURACY, maxError_);
    haveAdjp_ = true;
    return 0;
}

// ---------------------------------------------------------------------------
// Critical values.

double Engine::exactQuantile(double alpha, bool precise)
{
    const int mv = static_cast<int>(valid_.size());
    if (mv == 0 || !(alpha > 0 && alpha < 1))
        return korv_missing();
    if (type_ == QXMCLSM_ALL && structure_ == 0 && ncmp_ == mv)
        return zqtukey(1.0 - alpha, nl_, korv_missing()) / std::sqrt(2.0);
    if (mv == 1)
        return -zppnd16(0.5 * alpha);
    if (mode_ == Exact::TukeyKramer || mode_ == Exact::Range)
        return zqtukey(1.0 - alpha, std::max(levels_, 2), korv_missing()) / std::sqrt(2.0);
    const double a = -zppnd16(0.5 * alpha);
    const double b = -zppnd16(0.5 * alpha / mv) + 1e-9;
    double x = korv_missing();
    if (mode_ == Exact::Hsu) {
        auto tail = [&](double t) {
            return hsuTail(all_.data(), mv, t, precise ? 1e-10 : 1e-7) - alpha;
        };
        if (!zbrentzero(tail, a, b, precise ? 1e-8 : 1e-5, &x))
            return korv_missing();
        return x;
    }
    // The critical value t with P(max |Z_s| > t) = alpha, between the
    // unadjusted and the Bonferroni critical values. The report's quantile
    // is found with integrals good to 1e-5; the QUANTILE item, which no
    // caller prints, with integrals of at most 48000 points (about 1e-3).
    if (R_.empty())
        return korv_missing();
    const int n = mv;
    std::vector<double> cov(static_cast<size_t>(n) * (n + 1) / 2);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j)
            cov[static_cast<size_t>(i) * (i + 1) / 2 + j] = R_[static_cast<size_t>(i) * mv + j];
    MvnOptions opt;
    std::vector<double> lo(static_cast<size_t>(n)), hi(static_cast<size_t>(n));
    auto tail = [&](double t) {
        std::fill(lo.begin(), lo.end(), -t);
        std::fill(hi.begin(), hi.end(), t);
        return zmvnrect(n, cov.data(), lo.data(), hi.data(), opt).complement - alpha;
    };
    opt.abseps = precise ? 1e-4 : 1e-3;
    if (!precise)
        opt.maxpts = 48000; // about 1e-3, whatever the dimension
    if (!zbrentzero(tail, a, b, 1e-4, &x))
        return korv_missing();
    if (precise) {
        // Two secant steps on integrals ten times as accurate.
        opt.abseps = 1e-5;
        double x0 = x, f0 = tail(x0);
        double x1 = x0 + 1e-3, f1 = tail(x1);
        for (int i = 0; i < 2 && f1 != f0; ++i) {
            const double x2 = std::clamp(x1 - f1 * (x1 - x0) / (f1 - f0), a, b);
            x0 = x1;
            f0 = f1;
            x1 = x2;
            f1 = tail(x1);
        }
        x = x1;
    }
    return x;
}

double Engine::methodQuantile(int method, double alpha)
{
    const int mv = static_cast<int>(valid_.size());
    if (mv == 0 || !(alpha > 0 && alpha < 1))
        return korv_missing();
    switch (method) {
    case QXMCLSM_T:
        return -zppnd16(0.5 * alpha);
    case QXMCLSM_BON:
        return -zppnd16(0.5 * alpha / mv);
    case QXMCLSM_SIDAK:
        return -zppnd16(0.5 * -std::expm1(std::log1p(-alpha) / mv));
    case QXMCLSM_GT2:
        return zqsmm(1.0 - alpha, mv, korv_missing());
    case QXMCLSM_F: {
        const double c = chiQuantileUpper(alpha, rankAll());
        return missing(c) ? c : std::sqrt(c);
    }
    case QXMCLSM_EXACT:
        return exactQuantile(alpha, false);
    default:
        return korv_missing();
    }
}

// ---------------------------------------------------------------------------
// Items.

QXStatus Engine::value(int item, void* dest)
{
    if (!dest)
        return QX_E_INVALID;
    switch (item) {
    case QXMCLSM_STRUCTURE:
        *static_cast<int*>(dest) = structure_;
        return 0;
    case QXMCLSM_ISEXACT:
        *static_cast<int*>(dest) = exact_;
        return 0;
    case QXMCLSM_NCMP:
        *static_cast<int*>(dest) = structure_ < 0 ? 0 : ncmp_;
        return 0;
    case QXMCLSM_TYPE:
        *static_cast<int*>(dest) = type_;
        return 0;
    case QXMCLSM_NROW:
        *static_cast<int*>(dest) = ncmp_;
        return 0;
    case QXMCLSM_SIDE:
        *static_cast<char*>(dest) = side_;
        return 0;
    case QXMCLSM_SEED:
        *static_cast<long*>(dest) = seed_;
        return 0;
    case QXMCLSM_EPS:
        *static_cast<double*>(dest) = eps_;
        return 0;
    case QXMCLSM_ACC:
        *static_cast<double*>(dest) = acc_;
        return 0;
    case QXMCLSM_NSAMP:
    case QXMCLSM_TOTALSAMP:
        *static_cast<double*>(dest) = nsamp_;
        return 0;
    case QXMCLSM_CSIZE:
        *static_cast<long*>(dest) = 16384;
        return 0;
    case QXMCLSM_CVA:
        *static_cast<int*>(dest) = 0;
        return 0;
    case QXMCLSM_QUANTILE_ADDR:
        // Per-comparison quantiles go with per-comparison degrees of freedom,
        // which this engine does not take.
        *static_cast<double**>(dest) = nullptr;
        return 0;
    case QXMCLSM_QUANTILE:
        if (!haveQuantile_) {
            const double alpha = parms_.p > 0 && parms_.p < 1 ? parms_.p : 0.05;
            if (parms_.method == QXMCLSM_SIM)
                quantile_ = haveSim_ ? sim_.pvalue.q : korv_missing();
            else
                quantile_ = assessed_ ? methodQuantile(parms_.method, alpha) : korv_missing();
            haveQuantile_ = true;
        }
        *static_cast<double*>(dest) = quantile_;
        return 0;
    case QXMCLSM_ADJP_ADDR:
        *static_cast<double**>(dest) = haveAdjp_ && ncmp_ > 0 ? adjp_.data() : nullptr;
        return 0;
    case QXMCLSM_PARMS_ADDR:
        *static_cast<QXMCLSM_PARMS**>(dest) = &parms_;
        return 0;
    case QXMCLSM_SIMINFO_ADDR:
        *static_cast<QXMCLSM_SIMINFO**>(dest) = haveSim_ ? &sim_ : nullptr;
        return 0;
    case QXMCLSM_STEPINFO_ADDR:
        *static_cast<QXMCLSM_STEPINFO**>(dest) = haveStep_ ? &step_ : nullptr;
        return 0;
    case QXMCLSM_SEVERITY:
        *static_cast<int*>(dest) = severity_;
        return 0;
    case QXMCLSM_EMPTY:
        *static_cast<int*>(dest) = assessed_ && empty_ ? 1 : 0;
        return 0;
    default:
        return QX_E_INVALID;
    }
}

} // namespace korv_mc

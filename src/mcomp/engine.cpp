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
// Levels above which the logical constraints are not searched: 11 levels
// have 55 pairs (one 64-bit word) and 678570 partitions.
constexpr int kMaxLogicalLevels = 11;
// Comparisons whose correlation the engine forms (a matrix of 32 MB), and
// the largest rank it integrates over for the exact method.
constexpr int kMaxCorrelated = 2000;
constexpr int kMaxExactRank = 10;

double Qc(double x)
{
    return 0.5 * std::erfc(x * kInvSqrt2);
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

// Rank of a symmetric positive semi-definite matrix (full, n by n) by a
// Cholesky decomposition pivoting on the largest remaining diagonal.
int psdRank(std::vector<double> a, int n)
{
    std::vector<int> left(static_cast<size_t>(n));
    std::iota(left.begin(), left.end(), 0);
    int rank = 0;
    auto at = [&](int i, int j) -> double& { return a[static_cast<size_t>(i) * n + j]; };
    double scale = 0;
    for (int i = 0; i < n; ++i)
        scale = std::max(scale, at(i, i));
    const double tol = 1e-10 * std::max(scale, 1e-300);
    while (!left.empty()) {
        auto best = std::max_element(left.begin(), left.end(),
                                     [&](int x, int y) { return at(x, x) < at(y, y); });
        const int p = *best;
        const double d = at(p, p);
        if (!(d > tol))
            break;
        left.erase(best);
        ++rank;
        for (int i : left)
            for (int j : left)
                at(i, j) -= at(i, p) * at(p, j) / d;
    }
    return rank;
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

Bits Engine::fullSet() const
{
    const size_t n = valid_.size();
    Bits b((n + 63) / 64, 0);
    for (size_t i = 0; i < n; ++i)
        b[i / 64] |= uint64_t{1} << (i % 64);
    return b;
}

int Engine::bitsCount(const Bits& S) const
{
    int c = 0;
    for (uint64_t w : S)
        c += std::popcount(w);
    return c;
}

std::vector<int> Engine::members(const Bits& S) const
{
    std::vector<int> out;
    for (size_t w = 0; w < S.size(); ++w)
        for (uint64_t x = S[w]; x; x &= x - 1)
            out.push_back(static_cast<int>(w * 64 + std::countr_zero(x)));
    return out;
}

int Engine::setRank(const Bits& S) const
{
    const std::vector<int> idx = members(S);
    const int n = static_cast<int>(idx.size());
    const int mv = static_cast<int>(valid_.size());
    std::vector<double> a(static_cast<size_t>(n) * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            a[static_cast<size_t>(i) * n + j] =
                R_[static_cast<size_t>(idx[static_cast<size_t>(i)]) * mv +
                   idx[static_cast<size_t>(j)]];
    return psdRank(std::move(a), n);
}

double Engine::setProb(const Bits& S, double t, double* err)
{
    *err = 0;
    const int n = bitsCount(S);
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
        const int r = setRank(S);
        return r > 0 ? zpgx2f(t * t, r) : korv_missing();
    }
    default:
        break;
    }
    // The exact method.
    if (n == 1)
        return p1;
    const int mv = static_cast<int>(valid_.size());
    if (n == mv && type_ == QXMCLSM_ALL && structure_ == 0 && ncmp_ == mv)
        return zptukeyc(std::sqrt(2.0) * t, nl_, korv_missing());
    const std::vector<int> idx = members(S);
    std::vector<double> cov(static_cast<size_t>(n) * (n + 1) / 2), lo(static_cast<size_t>(n), -t),
        hi(static_cast<size_t>(n), t);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j)
            cov[static_cast<size_t>(i) * (i + 1) / 2 + j] =
                R_[static_cast<size_t>(idx[static_cast<size_t>(i)]) * mv +
                   idx[static_cast<size_t>(j)]];
    const MvnResult r = zmvnrect(n, cov.data(), lo.data(), hi.data(), integration());
    *err = r.inform == 1 ? r.error : 0.0;
    return r.complement;
}

// The accuracy of the exact method's integrals: 1e-5 while the comparisons
// span at most five dimensions (up to six levels of all pairs), 1e-4 beyond,
// where each integral takes seconds. A small p-value is not held to a
// relative accuracy: below 1e-4 it only needs to show as such, and its far
// tail converges slowly.
MvnOptions Engine::integration() const
{
    MvnOptions opt;
    opt.abseps = rank_ <= 5 ? 1e-5 : 1e-4;
    opt.releps = 1e-2;
    opt.absfloor = opt.abseps;
    opt.maxpts = 20000000;
    return opt;
}

double Engine::singleStep(int r, double* err)
{
    return setProb(fullSet(),
                   std::fabs(cmp_[static_cast<size_t>(valid_[static_cast<size_t>(r)])].z), err);
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
    cmp_.clear();
    valid_.clear();
    side_ = 'B';
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

    // The comparisons, in the order of the p-values handed back.
    const double* v = parms_.var;
    const double* m = parms_.mean;
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
    if (ncmp_ == 0) {
        structure_ = -1;
    } else {
        bool uncorrelated = true, balanced = true;
        const double d0 = packed(v, 0, 0);
        for (int i = 0; i < nl_; ++i) {
            const double di = packed(v, i, i);
            if (!(std::fabs(di - d0) <= 1e-12 * std::fabs(d0)))
                balanced = false;
            for (int j = 0; j < i; ++j)
                if (!(std::fabs(packed(v, i, j)) <=
                      1e-12 * std::sqrt(std::fabs(di * packed(v, j, j)))))
                    uncorrelated = false;
        }
        structure_ = !uncorrelated ? 2 : balanced ? 0 : 1;
    }

    // The correlation of the comparisons that have a statistic, which the
    // exact, simulated and Scheffe adjustments and every step-down test
    // need (the others use the p-values alone).
    const int mv = static_cast<int>(valid_.size());
    const int method = parms_.method;
    const bool needR = method == QXMCLSM_EXACT || method == QXMCLSM_SIM || method == QXMCLSM_F ||
                       (parms_.step != 0 && method != QXMCLSM_T);
    R_.clear();
    rank_ = mv;
    if (needR && mv > kMaxCorrelated) {
        say(4, msg326::MC_TOO_MANY, mv, kMaxCorrelated);
        return QXMCLSM_E_UNSUPPORTED;
    }
    if (needR) {
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
        rank_ = mv > 0 ? psdRank(R_, mv) : 0;
    }
    // The exact method integrates over rank dimensions; beyond
    // kMaxExactRank that takes minutes per comparison (the studentized range
    // of uncorrelated equal-variance means needs no integral).
    const bool tukeyRange = type_ == QXMCLSM_ALL && structure_ == 0 && ncmp_ == mv;
    if (method == QXMCLSM_EXACT && rank_ > kMaxExactRank && !tukeyRange) {
        say(4, msg326::MC_EXACT_TOO_LARGE, rank_ + 1, kMaxExactRank + 1);
        return QXMCLSM_E_UNSUPPORTED;
    }
    exact_ = parms_.method == QXMCLSM_SIM ? 0 : 1;

    // Simulation settings: the sample makes every simulated p-value lie
    // within acc of its exact value with confidence 1 - eps, whatever the
    // p-value: n = (z_{1-eps/2} / (2 acc))^2, since p(1 - p) <= 1/4.
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
    QXStatus status = 0;
    if (parms_.method == QXMCLSM_SIM && nsamp_ > 1e9) {
        say(4, msg326::MC_SAMPLE, nsamp_, acc_, eps_);
        status = QXMCLSM_NO_SIMULATION;
    }
    if (parms_.step != 0 && parms_.method != QXMCLSM_T && mv > 0)
        planStepDown();
    assessed_ = true;
    return status;
}

// ---------------------------------------------------------------------------
// The step-down plan.

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
    sets_.assign(static_cast<size_t>(mv), {});
    setPart_.clear();
    logicalSteps_ = 0;
    if (parms_.step == QXMCLSM_STEP_LOGICAL && type_ == QXMCLSM_ALL)
        planLogical(order_);
    // Free combinations for the steps the logical search did not plan: the
    // hypotheses from this step on.
    Bits suffix = fullSet();
    for (int j = 0; j < mv; ++j) {
        if (sets_[static_cast<size_t>(j)].empty())
            sets_[static_cast<size_t>(j)].push_back(suffix);
        const int h = order_[static_cast<size_t>(j)];
        suffix[static_cast<size_t>(h / 64)] &= ~(uint64_t{1} << (h % 64));
    }
    fillStepInfo();
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
        say(2, msg326::MC_LOGICAL, 0, mv, "more than 11 levels");
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
        say(2, msg326::MC_LOGICAL, 0, mv, "MAXTIME=");
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
        auto& out = sets_[static_cast<size_t>(j)];
        for (const auto& k : kept) {
            Bits b((static_cast<size_t>(mv) + 63) / 64, 0);
            b[0] = k.first;
            out.push_back(b);
            std::vector<int> lab(static_cast<size_t>(nl_));
            for (int a = 0; a < nl_; ++a)
                lab[static_cast<size_t>(a)] = parts[k.second].label[static_cast<size_t>(a)] + 1;
            setPart_.push_back(lab);
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
        say(2, msg326::MC_LOGICAL, planned, mv, "MAXTIME=");
    else if (planned < mv && parms_.stepcsize > 0)
        say(2, msg326::MC_LOGICAL, planned, mv, "LOGICAL(n)");
}

// The step-down report's records: one subset per planned set, in the order
// of the steps.
void Engine::fillStepInfo()
{
    const int mv = static_cast<int>(valid_.size());
    orig_.assign(static_cast<size_t>(mv), 0);
    for (int j = 0; j < mv; ++j)
        orig_[static_cast<size_t>(j)] = valid_[static_cast<size_t>(order_[static_cast<size_t>(j)])];
    subset_.clear();
    stepOf_.clear();
    part_.clear();
    rankOf_.clear();
    tObs_.clear();
    pBon_.clear();
    size_t logicalIndex = 0;
    for (int j = 0; j < mv; ++j) {
        const double t = std::fabs(cmp_[static_cast<size_t>(orig_[static_cast<size_t>(j)])].z);
        const bool logical = j < logicalSteps_;
        for (const Bits& S : sets_[static_cast<size_t>(j)]) {
            std::vector<int> flags(static_cast<size_t>(ncmp_), 0);
            for (int a : members(S))
                flags[static_cast<size_t>(valid_[static_cast<size_t>(a)])] = 1;
            subset_.insert(subset_.end(), flags.begin(), flags.end());
            stepOf_.push_back(j);
            tObs_.push_back(t);
            pBon_.push_back(std::min(1.0, bitsCount(S) * 2.0 * Qc(t)));
            rankOf_.push_back(setRank(S));
            // The partition of the levels: the logical search's own, else the
            // groups that the set's pairs join.
            std::vector<int> lab(static_cast<size_t>(std::max(nl_, 0)));
            if (logical && logicalIndex < setPart_.size()) {
                lab = setPart_[logicalIndex++];
            } else {
                std::vector<int> root(static_cast<size_t>(nl_));
                std::iota(root.begin(), root.end(), 0);
                auto find = [&](int x) {
                    while (root[static_cast<size_t>(x)] != x)
                        x = root[static_cast<size_t>(x)] =
                            root[static_cast<size_t>(root[static_cast<size_t>(x)])];
                    return x;
                };
                for (int a : members(S)) {
                    const Comparison& c = cmp_[static_cast<size_t>(valid_[static_cast<size_t>(a)])];
                    root[static_cast<size_t>(find(c.i))] = find(c.j);
                }
                std::vector<int> number(static_cast<size_t>(nl_), 0);
                int next = 0;
                for (int a = 0; a < nl_; ++a) {
                    int& n = number[static_cast<size_t>(find(a))];
                    if (n == 0)
                        n = ++next;
                    lab[static_cast<size_t>(a)] = n;
                }
            }
            part_.insert(part_.end(), lab.begin(), lab.end());
        }
    }
    const size_t ns = stepOf_.size();
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
    step_.t0 = mv > 0 ? tObs_.empty() ? 0.0 : tObs_[0] : korv_missing();
    step_.status = 0;
    step_.PrtPart = part_.data();
    step_.PrtRank = rankOf_.data();
    haveStep_ = true;
}

// ---------------------------------------------------------------------------
// The deterministic methods.

QXStatus Engine::deterministic()
{
    if (!assessed_ || parms_.method == QXMCLSM_SIM)
        return QXMCLSM_E_STATE;
    adjp_.assign(static_cast<size_t>(ncmp_), korv_missing());
    const int mv = static_cast<int>(valid_.size());
    std::atomic<bool> inaccurate{false};
    std::vector<double> errs;
    if (parms_.step != 0 && parms_.method != QXMCLSM_T && mv > 0) {
        // Every planned set at its step's statistic, then the running maximum.
        std::vector<std::pair<int, int>> tasks; // (step, set)
        for (int j = 0; j < mv; ++j)
            for (int s = 0; s < static_cast<int>(sets_[static_cast<size_t>(j)].size()); ++s)
                tasks.push_back({j, s});
        std::vector<double> prob(tasks.size());
        errs.assign(tasks.size(), 0.0);
        auto statistic = [&](int j) {
            return std::fabs(cmp_[static_cast<size_t>(
                                      valid_[static_cast<size_t>(order_[static_cast<size_t>(j)])])]
                                 .z);
        };
        // The logical sets are evaluated until MAXTIME= runs out; a step
        // with a set left unevaluated takes the free set of its step, whose
        // probability is never smaller.
        const double deadline = parms_.stepmaxtime > 0 ? parms_.stepmaxtime : 60.0;
        const bool bounded = logicalSteps_ > 0;
        std::atomic<bool> late{false};
        vyr::parallel_for(tasks.size(), [&](size_t k) {
            const int j = tasks[k].first;
            if (bounded && j < logicalSteps_ && elapsed() > deadline) {
                prob[k] = korv_missing();
                late = true;
                return;
            }
            prob[k] = setProb(sets_[static_cast<size_t>(j)][static_cast<size_t>(tasks[k].second)],
                              statistic(j), &errs[k]);
        });
        std::vector<double> fallback(static_cast<size_t>(mv), korv_missing());
        int complete = logicalSteps_;
        if (late) {
            std::vector<int> steps;
            for (size_t k = 0; k < tasks.size(); ++k)
                if (wzmis(prob[k]) && (steps.empty() || steps.back() != tasks[k].first))
                    steps.push_back(tasks[k].first);
            complete = steps.front();
            std::vector<double> ferr(steps.size(), 0.0);
            vyr::parallel_for(steps.size(), [&](size_t i) {
                const int j = steps[i];
                Bits suffix = fullSet();
                for (int a = 0; a < j; ++a) {
                    const int h = order_[static_cast<size_t>(a)];
                    suffix[static_cast<size_t>(h / 64)] &= ~(uint64_t{1} << (h % 64));
                }
                fallback[static_cast<size_t>(j)] = setProb(suffix, statistic(j), &ferr[i]);
            });
            errs.insert(errs.end(), ferr.begin(), ferr.end());
            say(2, msg326::MC_LOGICAL, complete, mv, "MAXTIME=");
        }
        for (size_t k = 0; k < tasks.size(); ++k)
            pEval_[k] = prob[k];
        step_.pEval = pEval_.data();
        double running = 0;
        size_t k = 0;
        for (int j = 0; j < mv; ++j) {
            double best = 0;
            for (size_t s = 0; s < sets_[static_cast<size_t>(j)].size(); ++s, ++k)
                if (!wzmis(prob[k]))
                    best = std::max(best, prob[k]);
            if (!wzmis(fallback[static_cast<size_t>(j)]))
                best = std::max(best, fallback[static_cast<size_t>(j)]);
            running = std::min(1.0, std::max(running, best));
            adjp_[static_cast<size_t>(
                valid_[static_cast<size_t>(order_[static_cast<size_t>(j)])])] = running;
        }
    } else {
        std::vector<double> p(static_cast<size_t>(mv));
        errs.assign(static_cast<size_t>(mv), 0.0);
        vyr::parallel_for(static_cast<size_t>(mv),
                          [&](size_t r) { p[r] = singleStep(static_cast<int>(r), &errs[r]); });
        for (int r = 0; r < mv; ++r)
            adjp_[static_cast<size_t>(valid_[static_cast<size_t>(r)])] = p[static_cast<size_t>(r)];
    }
    for (double e : errs)
        if (e > 0) {
            inaccurate = true;
            maxError_ = std::max(maxError_, e);
        }
    if (inaccurate)
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
    if (rank_ > kMaxExactRank)
        return korv_missing();
    // The critical value t with P(max |Z_s| > t) = alpha, between the
    // unadjusted and the Bonferroni critical values. The report's quantile
    // is found with integrals good to 1e-5; the QUANTILE item, which no
    // caller prints, with integrals of at most 48000 points (about 1e-3).
    const std::vector<int> idx = members(fullSet());
    const int n = static_cast<int>(idx.size());
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
    const double a = -zppnd16(0.5 * alpha);
    const double b = -zppnd16(0.5 * alpha / mv) + 1e-9;
    double x = korv_missing();
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
        const double c = chiQuantileUpper(alpha, rank_);
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

// The simulated adjustment: samples of Z ~ N(0, R) drawn from the
// counter-based generator (sample i's normals are a function of the seed and
// i alone), the largest |Z_s| of each, counted against the observed
// statistics, the step-down sets and the report's quantiles. Samples are
// drawn in batches spread over the host's thread pool; the counts are sums
// of integers, so the result is the same whatever the number of threads.
// Between batches, on the calling thread, the progress callback is called at
// most once every `tinc` seconds.
#include "mcomp/engine.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>

#include "numeric/mvn.h"
#include "numeric/philox.h"
#include "runtime/missing.h"
#include "vyr_pool.h"

namespace korv_mc
{
namespace
{

constexpr long kBatch = 16384;
constexpr double kBin = 1e-4; // histogram resolution of the simulated quantile
constexpr int kBins = 200000; // [0, 20); one more bin holds the rest

// Per-thread counts.
struct Tally {
    std::vector<uint64_t> above; // by the number of thresholds at or below the maximum
    std::vector<uint64_t> sets;  // step-down sets whose maximum reached their statistic
    std::vector<uint32_t> hist;  // the maxima, in bins of kBin
};

} // namespace

// One simulation of an engine: its factor, thresholds and step-down sets,
// the counts of the draws, and the results made from them. Each step is a
// function of its own; the draws of sample i depend on the seed and i only.
struct Simulation {
    // Step-down sets: a free set is the suffix of the order from its step
    // (the suffix maxima count it); a logical set is a mask (mv <= 64 then).
    struct SetRef {
        int step;
        bool suffix;
        uint64_t mask;
    };

    Engine& e;
    const int mv;
    const double alpha;
    const std::chrono::steady_clock::time_point start;
    int rank = 0;
    std::vector<double> Gf; // the factor, mv by rank, row by row
    std::vector<double> thr, sorted, repq;
    int nrep = 0, nq = 0;
    bool stepdown = false;
    std::vector<SetRef> refs;
    std::vector<double> stepT;
    std::vector<char> needMask;
    long N = 0;
    double Nd = 0;
    long batches = 0;
    Tally all;

    Simulation(Engine& engine, int valid, double a)
        : e(engine), mv(valid), alpha(a), start(std::chrono::steady_clock::now())
    {
    }

    void factor();
    void thresholds();
    void stepSets();
    void draw(long begin, long end, Tally& t) const;
    void run(QXMCLSM_INSTANCE* inst);
    double tailOf(double x) const;
    QXMCLSM_SIMELEM element(double q) const;
    void adjust();
    std::pair<double, uint64_t> quantileAt(double count) const;
    void report();
};

// R = G G' by a Cholesky decomposition pivoting on the largest remaining
// diagonal; G is mv by rank.
void Simulation::factor()
{
    std::vector<std::vector<double>> G(static_cast<size_t>(mv));
    std::vector<double> d(static_cast<size_t>(mv), 1.0);
    std::vector<int> left(static_cast<size_t>(mv));
    std::iota(left.begin(), left.end(), 0);
    while (!left.empty()) {
        auto it = std::max_element(left.begin(), left.end(), [&](int x, int y) {
            return d[static_cast<size_t>(x)] < d[static_cast<size_t>(y)];
        });
        const int p = *it;
        if (!(d[static_cast<size_t>(p)] > 1e-10))
            break;
        left.erase(it);
        const double piv = std::sqrt(d[static_cast<size_t>(p)]);
        const size_t col = G[static_cast<size_t>(p)].size();
        G[static_cast<size_t>(p)].push_back(piv);
        for (int i : left) {
            double v = e.R_[static_cast<size_t>(i) * mv + p];
            for (size_t l = 0; l < col; ++l)
                v -= G[static_cast<size_t>(i)][l] * G[static_cast<size_t>(p)][l];
            G[static_cast<size_t>(i)].push_back(v / piv);
            d[static_cast<size_t>(i)] -= (v / piv) * (v / piv);
        }
        for (int i = 0; i < mv; ++i)
            G[static_cast<size_t>(i)].resize(col + 1, 0.0);
    }
    rank = mv > 0 ? static_cast<int>(G[0].size()) : 0;
    Gf.assign(static_cast<size_t>(mv) * std::max(rank, 1), 0.0);
    for (int s = 0; s < mv; ++s)
        for (int l = 0; l < rank; ++l)
            Gf[static_cast<size_t>(s) * rank + l] =
                G[static_cast<size_t>(s)][static_cast<size_t>(l)];
}

// Thresholds of the largest |Z|: the observed statistics, then the report's
// quantiles and evaluation points.
void Simulation::thresholds()
{
    const QXMCLSM_PARMS& parms = e.parms_;
    for (int r = 0; r < mv; ++r)
        thr.push_back(std::fabs(e.cmp_[static_cast<size_t>(e.valid_[static_cast<size_t>(r)])].z));
    nrep = parms.rep ? 6 : 0;
    if (parms.rep) {
        repq = {e.exactQuantile(alpha, true),         e.methodQuantile(QXMCLSM_T, alpha),
                e.methodQuantile(QXMCLSM_BON, alpha), e.methodQuantile(QXMCLSM_SIDAK, alpha),
                e.methodQuantile(QXMCLSM_GT2, alpha), e.methodQuantile(QXMCLSM_F, alpha)};
        for (double q : repq)
            thr.push_back(wzmis(q) ? std::numeric_limits<double>::infinity() : q);
    }
    nq = parms.qeval ? std::max(parms.nqeval, 0) : 0;
    for (int i = 0; i < nq; ++i)
        thr.push_back(wzmis(parms.qeval[i]) ? std::numeric_limits<double>::infinity()
                                            : parms.qeval[i]);
    sorted = thr;
    std::sort(sorted.begin(), sorted.end());
}

// The sets of each step, with the statistic each is tested at.
void Simulation::stepSets()
{
    stepdown = e.parms_.step != 0 && !e.order_.empty();
    stepT.assign(static_cast<size_t>(mv), 0.0);
    needMask.assign(static_cast<size_t>(mv), 0);
    if (!stepdown)
        return;
    for (int j = 0; j < mv; ++j) {
        stepT[static_cast<size_t>(j)] = e.stepStatistic(j);
        if (j < e.logicalSteps_) {
            for (uint64_t m : e.logical_[static_cast<size_t>(j)])
                refs.push_back({j, false, m});
            needMask[static_cast<size_t>(j)] = 1;
        } else {
            refs.push_back({j, true, 0});
        }
    }
}

// Samples begin .. end - 1, counted into t.
void Simulation::draw(long begin, long end, Tally& t) const
{
    const uint64_t key = static_cast<uint64_t>(e.seed_);
    const std::vector<int>& order = e.order_;
    std::vector<double> w(static_cast<size_t>(rank) + 1), a(static_cast<size_t>(mv)),
        sm(static_cast<size_t>(mv) + 1);
    std::vector<uint64_t> E(static_cast<size_t>(mv));
    for (long i = begin; i < end; ++i) {
        for (int l = 0; l < rank; l += 2) {
            double u[2];
            korv_rng::philox_uniform2(key, static_cast<uint64_t>(i), static_cast<uint64_t>(l / 2),
                                      u);
            w[static_cast<size_t>(l)] = zppnd16(u[0]);
            w[static_cast<size_t>(l) + 1] = zppnd16(u[1]);
        }
        double M = 0;
        for (int s = 0; s < mv; ++s) {
            const double* g = &Gf[static_cast<size_t>(s) * rank];
            double z = 0;
            for (int l = 0; l < rank; ++l)
                z += g[l] * w[static_cast<size_t>(l)];
            a[static_cast<size_t>(s)] = std::fabs(z);
            M = std::max(M, a[static_cast<size_t>(s)]);
        }
        ++t.above[static_cast<size_t>(std::upper_bound(sorted.begin(), sorted.end(), M) -
                                      sorted.begin())];
        const double bin = M / kBin;
        ++t.hist[bin < kBins ? static_cast<size_t>(bin) : static_cast<size_t>(kBins)];
        if (!stepdown)
            continue;
        sm[static_cast<size_t>(mv)] = 0;
        for (int j = mv - 1; j >= 0; --j)
            sm[static_cast<size_t>(j)] =
                std::max(sm[static_cast<size_t>(j) + 1],
                         a[static_cast<size_t>(order[static_cast<size_t>(j)])]);
        for (int j = 0; j < mv; ++j) {
            if (!needMask[static_cast<size_t>(j)])
                continue;
            uint64_t m = 0;
            for (int s = 0; s < mv; ++s)
                if (a[static_cast<size_t>(s)] >= stepT[static_cast<size_t>(j)])
                    m |= uint64_t{1} << s;
            E[static_cast<size_t>(j)] = m;
        }
        for (size_t k = 0; k < refs.size(); ++k) {
            const SetRef& r = refs[k];
            const bool hit =
                r.suffix ? sm[static_cast<size_t>(r.step)] >= stepT[static_cast<size_t>(r.step)]
                         : (r.mask & E[static_cast<size_t>(r.step)]) != 0;
            t.sets[k] += hit;
        }
    }
}

// Every sample, in batches over the thread pool, with the progress callback
// between batches; the threads' counts are summed into `all`.
void Simulation::run(QXMCLSM_INSTANCE* inst)
{
    const unsigned width = std::max(1u, vyr::pool_width());
    if (e.parms_.RNGMethod == 1)
        e.parms_.nCompute = width;
    std::vector<Tally> tally(width);
    for (Tally& t : tally) {
        t.above.assign(sorted.size() + 1, 0);
        t.sets.assign(refs.size(), 0);
        t.hist.assign(kBins + 1, 0);
    }
    N = static_cast<long>(e.nsamp_);
    Nd = static_cast<double>(N);
    const int tinc = e.parms_.tinc;
    double lastReport = 0;
    for (long done = 0; done < N;) {
        const long n = std::min(kBatch, N - done);
        vyr::parallel_ranges(static_cast<size_t>(n), 1024, [&](size_t b, size_t end, size_t part) {
            draw(done + static_cast<long>(b), done + static_cast<long>(end), tally[part]);
        });
        done += n;
        ++batches;
        const double t =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (done < N && (tinc <= 0 || t - lastReport >= tinc) && inst && inst->ExternalPtr &&
            inst->ExternalPtr->TimeReport) {
            inst->ExternalPtr->TimeReport(inst, t, static_cast<double>(done));
            lastReport = t;
        }
    }

    all = std::move(tally[0]);
    for (size_t p = 1; p < tally.size(); ++p) {
        for (size_t k = 0; k < all.above.size(); ++k)
            all.above[k] += tally[p].above[k];
        for (size_t k = 0; k < all.sets.size(); ++k)
            all.sets[k] += tally[p].sets[k];
        for (size_t k = 0; k < all.hist.size(); ++k)
            all.hist[k] += tally[p].hist[k];
    }
}

// P(M >= x) for a threshold x.
double Simulation::tailOf(double x) const
{
    if (std::isinf(x))
        return 0.0;
    // M >= x exactly when more than pos thresholds (the sorted position of x
    // among equal values counted) lie at or below M.
    const size_t pos =
        static_cast<size_t>(std::lower_bound(sorted.begin(), sorted.end(), x) - sorted.begin());
    uint64_t c = 0;
    for (size_t k = pos + 1; k < all.above.size(); ++k)
        c += all.above[k];
    return static_cast<double>(c) / Nd;
}

QXMCLSM_SIMELEM Simulation::element(double q) const
{
    QXMCLSM_SIMELEM el{};
    el.q = q;
    el.ql = el.qu = el.ptrue = el.wgt = korv_missing();
    if (wzmis(q)) {
        el.p = el.var = korv_missing();
        return el;
    }
    el.p = 1.0 - tailOf(q);
    el.var = el.p * (1.0 - el.p) / Nd;
    return el;
}

// The adjusted p-values, single-step or step-down (with the step-down
// report's probabilities when it is kept).
void Simulation::adjust()
{
    // A simulated probability of m comparisons is held between the raw
    // p-value at its statistic and the Bonferroni bound m times it, where the
    // true one lies: a sample in which no maximum reached a large statistic
    // gives the raw p-value, never 0.
    auto bounded = [](double p, double t, int m) {
        const double p1 = 2.0 * 0.5 * std::erfc(t * 0.70710678118654752440);
        return std::clamp(p, p1, std::min(1.0, m * p1));
    };
    if (!stepdown) {
        for (int r = 0; r < mv; ++r)
            e.adjp_[static_cast<size_t>(e.valid_[static_cast<size_t>(r)])] =
                bounded(tailOf(thr[static_cast<size_t>(r)]), thr[static_cast<size_t>(r)], mv);
        return;
    }
    std::vector<double> prob(refs.size());
    for (size_t k = 0; k < refs.size(); ++k) {
        const SetRef& r = refs[k];
        const double simple = static_cast<double>(all.sets[k]) / Nd;
        const int m = r.suffix ? mv - r.step : std::popcount(r.mask);
        prob[k] = bounded(simple, stepT[static_cast<size_t>(r.step)], m);
        if (e.haveStep_) {
            e.simple_[k] = simple;
            e.pEval_[k] = e.gls_[k] = prob[k];
            e.sgls_[k] = std::sqrt(prob[k] * (1.0 - prob[k]) / Nd);
        }
    }
    if (e.haveStep_)
        e.step_.pEval = e.pEval_.data();
    e.setProb_ = prob;
    double running = 0;
    size_t k = 0;
    for (int j = 0; j < mv; ++j) {
        double best = 0;
        for (int s = 0; s < e.setsOfStep(j); ++s, ++k)
            best = std::max(best, prob[k]);
        running = std::min(1.0, std::max(running, best));
        e.adjp_[static_cast<size_t>(
            e.valid_[static_cast<size_t>(e.order_[static_cast<size_t>(j)])])] = running;
    }
}

// The smallest upper bin edge whose cumulative count reaches count, with
// that count (missing past the last bin).
std::pair<double, uint64_t> Simulation::quantileAt(double count) const
{
    uint64_t cum = 0;
    for (int b = 0; b < kBins; ++b) {
        cum += all.hist[static_cast<size_t>(b)];
        if (static_cast<double>(cum) >= count)
            return std::make_pair((b + 1) * kBin, cum);
    }
    return std::make_pair(korv_missing(), cum);
}

// The simulated quantile of the maximum, with limits from the binomial order
// statistics, and the report's elements.
void Simulation::report()
{
    std::vector<QXMCLSM_SIMELEM>& simq = e.simq_;
    simq.clear();
    for (int r = 0; r < e.ncmp_; ++r) {
        const Comparison& c = e.cmp_[static_cast<size_t>(r)];
        simq.push_back(element(c.valid ? std::fabs(c.z) : korv_missing()));
    }
    for (int i = 0; i < nrep; ++i)
        simq.push_back(element(repq[static_cast<size_t>(i)]));
    for (int i = 0; i < nq; ++i)
        simq.push_back(element(e.parms_.qeval[i]));
    const double target = std::ceil((1.0 - alpha) * Nd);
    const auto [qhat, cum] = quantileAt(target);
    QXMCLSM_SIMELEM& pv = e.sim_.pvalue;
    pv = {};
    pv.q = qhat;
    pv.ptrue = pv.wgt = korv_missing();
    if (wzmis(qhat)) {
        pv.p = pv.var = pv.ql = pv.qu = korv_missing();
    } else {
        pv.p = static_cast<double>(cum) / Nd;
        pv.var = pv.p * (1.0 - pv.p) / Nd;
        const double z = -zppnd16(0.5 * e.eps_);
        const double half = z * std::sqrt(Nd * alpha * (1.0 - alpha));
        pv.ql = quantileAt(std::max(1.0, target - half)).first;
        pv.qu = quantileAt(std::min(Nd, target + half)).first;
    }
    e.sim_.initseed = e.seed_;
    e.sim_.nq = static_cast<int>(simq.size());
    e.sim_.quantile = simq.data();
    e.sim_.nchunk = batches;
}

QXStatus Engine::simulate(QXMCLSM_INSTANCE* inst)
{
    if (!assessed_ || parms_.method != QXMCLSM_SIM)
        return QXMCLSM_E_STATE;
    if (nsamp_ > 1e9)
        return QXMCLSM_NO_SIMULATION;
    const int mv = static_cast<int>(valid_.size());
    adjp_.assign(static_cast<size_t>(ncmp_), korv_missing());
    Simulation s(*this, mv, parms_.p > 0 && parms_.p < 1 ? parms_.p : 0.05);
    if (mv == 0) {
        haveAdjp_ = true;
        return 0;
    }
    s.factor();
    s.thresholds();
    s.stepSets();
    s.run(inst);
    s.adjust();
    s.report();
    haveSim_ = true;
    haveAdjp_ = true;
    if (s.stepdown && haveStep_ && inst && inst->ExternalPtr && inst->ExternalPtr->SimStepReport)
        inst->ExternalPtr->SimStepReport(inst);
    return 0;
}

} // namespace korv_mc

// The computing core of the tests of equal survival across levels: the
// likelihood-ratio statistic of the exponential model, the two downward
// passes of the unweighted rank tests with the pooled survival between them,
// and the weighted pass.
//
// Accuracy. The covariance of the level scores is singular: each of its rows
// sums to zero, because the observed-minus-expected scores of the levels sum
// to zero. Each quantity is formed from the sums it stands for, never as the
// difference of two nearly equal large sums: the risk sets are built by
// adding records from the largest time down, the share of the other levels
// is the sum of the other levels (never the total less one level), and the
// number surviving a time is the number at risk after it. In the unweighted
// tests only the off-diagonal covariances (all negative) are accumulated, and
// each diagonal is minus the sum of its row, so that the rows sum to zero as
// they do in exact arithmetic; the weighted pass forms every element from
// the sums it stands for.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/rankorder.h"
#include "common/strata.h"
#include "homogeneity/homogeneity.h"
#include "numeric/vector.h"
#include "vyr_pool.h"

namespace
{
inline int64_t diag(int j)
{
    return static_cast<int64_t>(j) * (j + 1) / 2 + j;
}
inline double* row(double* block, int j)
{
    return block + static_cast<int64_t>(j) * (j + 1) / 2;
}

// One tie group from place i down: adds its records to the risk sets and
// counts its events. Returns the place below the group.
inline int64_t tie_group(int64_t i, const double* freq, const int32_t* sflag, const int64_t* jndx,
                         double* risk, double* die, double* nrisk, double* ndie)
{
    for (;;) {
        const int64_t r = std::llabs(jndx[i]) - 1;
        const double f = freq[r];
        const int64_t s = sflag[r];
        const double af = std::fabs(f);
        risk[s] += af;
        *nrisk += af;
        if (f > 0) {
            die[s] += f;
            *ndie += f;
        }
        --i;
        if (i < 0 || jndx[i] >= 0)
            return i;
    }
}

// The hypergeometric variance factor of one time: D events among N at risk,
// of whom `survivors` (the number at risk after the time, counted directly)
// do not fail: (N - D) D / (N^2 (N - 1)).
inline double variance_factor(double N, double D, double survivors)
{
    return survivors * (D / N) / (N * (N - 1.0));
}

// Adds one weighted time to a test: scores w o_j and the off-diagonal
// covariances -factor r_i r_j (factor: the variance factor times w squared).
inline void add_time(double* block, int k, double w, double factor, const double* risk,
                     const double* die, double a)
{
    double* score = block + korv_score_offset(k);
    for (int j = 0; j < k; ++j) {
        const double o = die[j] - a * risk[j];
        score[j] += w * o;
        zvxay11(row(block, j), risk, j, -factor * risk[j]);
    }
}

// The rank-one covariance updates of many times, applied together. Each
// retained time adds -factor r_i r_j to every off-diagonal element (i, j) of
// a test's covariance, r the risk sets at that time: with thousands of
// levels, one time after another that sweeps the whole matrix through
// memory once per time. Here the risk sets of up to `cap` times are kept,
// and each tile of the matrix takes all of them while it is in the cache,
// spread over the host's threads. Every element still adds the same
// products in the same order of times, so the result is the same to the
// last bit as that of the one-time-after-another update.
class CovBatch
{
  public:
    // Levels from which the updates are gathered; below, one time after
    // another costs less.
    static inline int from = 64;

    CovBatch(int k, double* const* blocks, int nblocks)
        : k_(k), blocks_(blocks, blocks + nblocks), seen_(static_cast<size_t>(std::max(k, 1)), 0)
    {
        const size_t budget = size_t(4) << 20; // doubles of risk sets kept
        cap_ = static_cast<int>(std::clamp<size_t>(budget / static_cast<size_t>(std::max(k, 1)),
                                                   size_t(8), size_t(512)));
        // Written before they are read: no need to clear them (a batch is
        // made per stratum of the tests across GROUP= levels).
        r_.reset(new double[static_cast<size_t>(cap_) * static_cast<size_t>(k)]);
        a_.reset(new double[static_cast<size_t>(cap_) * static_cast<size_t>(k)]);
        f_.resize(static_cast<size_t>(cap_) * blocks_.size());
    }
    // One time: the risk sets and, per block, its factor.
    void add(const double* risk, const double* factors)
    {
        std::copy(risk, risk + k_, r_.get() + static_cast<ptrdiff_t>(n_) * k_);
        std::copy(factors, factors + blocks_.size(),
                  f_.begin() + static_cast<ptrdiff_t>(n_ * blocks_.size()));
        // The levels at risk at any time of the batch.
        for (int i = 0; i < k_; ++i)
            if (risk[i] != 0.0 && !seen_[static_cast<size_t>(i)]) {
                seen_[static_cast<size_t>(i)] = 1;
                atRisk_.push_back(i);
            }
        if (++n_ == cap_)
            flush();
    }
    void flush();

  private:
    // The batch when few of the levels are at risk in it (the levels of one
    // stratum among those of many): only the pairs of those levels change.
    void flushFew();
    // Runs `apply` over the tiles of one block, on the pool's threads when
    // the block takes a few million products (`order` rows by the batch's
    // times), else on this one.
    template <class Apply> void runTiles(size_t tiles, size_t order, const Apply& apply) const;
    // Forgets the levels at risk in the batch just added.
    void clearBatch();
    // The multipliers of block b into a_: -factor r[j] for each of the
    // batch's times, from its `width` risk sets each in r, formed as the
    // single update forms them.
    void multipliers(size_t b, const double* r, size_t width);

    int k_;
    std::vector<double*> blocks_;
    int cap_ = 0, n_ = 0;
    std::unique_ptr<double[]> r_, a_;
    std::vector<double> f_;
    std::vector<char> seen_;
    std::vector<int> atRisk_;
};

template <class Apply> void CovBatch::runTiles(size_t tiles, size_t order, const Apply& apply) const
{
    // The threads are worth waking for a few million products.
    if (static_cast<double>(order) * static_cast<double>(order) * n_ >= 8e6) {
        vyr::parallel_for(tiles, apply);
    } else {
        for (size_t tile = 0; tile < tiles; ++tile)
            apply(tile);
    }
}

void CovBatch::clearBatch()
{
    for (int i : atRisk_)
        seen_[static_cast<size_t>(i)] = 0;
    atRisk_.clear();
    n_ = 0;
}

void CovBatch::multipliers(size_t b, const double* r, size_t width)
{
    for (int t = 0; t < n_; ++t) {
        const double factor = f_[static_cast<size_t>(t) * blocks_.size() + b];
        const double* rt = r + static_cast<size_t>(t) * width;
        double* a = a_.get() + static_cast<size_t>(t) * width;
        for (size_t j = 0; j < width; ++j)
            a[j] = -factor * rt[j];
    }
}

void CovBatch::flush()
{
    if (n_ == 0)
        return;
    const size_t k = static_cast<size_t>(k_);
    // A product with a level not at risk is zero and leaves its element as
    // it is: with a quarter of the levels at risk or fewer, the pairs of
    // those levels alone are updated.
    if (atRisk_.size() * 4 <= k) {
        flushFew();
        return;
    }
    for (size_t b = 0; b < blocks_.size(); ++b) {
        double* block = blocks_[b];
        if (!block)
            continue;
        multipliers(b, r_.get(), k);
        constexpr int ROWS = 16, COLS = 512;
        const size_t tiles = (k + ROWS - 1) / ROWS;
        auto apply = [&](size_t tile) {
            const int j0 = static_cast<int>(tile) * ROWS;
            const int j1 = std::min(k_, j0 + ROWS);
            for (int i0 = 0; i0 < j1 - 1; i0 += COLS) {
                for (int t = 0; t < n_; ++t) {
                    const double* r = r_.get() + static_cast<size_t>(t) * k;
                    const double* a = a_.get() + static_cast<size_t>(t) * k;
                    for (int j = std::max(j0, i0 + 1); j < j1; ++j) {
                        const double aj = a[j];
                        if (aj == 0.0) // as the single update skips it
                            continue;
                        double* rowj = row(block, j);
                        const int i1 = std::min(j, i0 + COLS);
                        for (int i = i0; i < i1; ++i)
                            rowj[i] += aj * r[i];
                    }
                }
            }
        };
        runTiles(tiles, k, apply);
    }
    clearBatch();
}

void CovBatch::flushFew()
{
    const size_t k = static_cast<size_t>(k_);
    std::vector<int>& lv = atRisk_;
    std::sort(lv.begin(), lv.end());
    const size_t m = lv.size();
    // Each element still takes its products in the order of the times, as
    // the full update adds them; the products it no longer takes are zeros
    // (of a level not at risk), which leave an element as it is. The risk
    // sets of those levels are gathered once for every block.
    std::vector<double> rr(static_cast<size_t>(n_) * m);
    for (int t = 0; t < n_; ++t) {
        const double* r = r_.get() + static_cast<size_t>(t) * k;
        for (size_t x = 0; x < m; ++x)
            rr[static_cast<size_t>(t) * m + x] = r[lv[x]];
    }
    for (size_t b = 0; b < blocks_.size(); ++b) {
        double* block = blocks_[b];
        if (!block)
            continue;
        multipliers(b, rr.data(), m);
        constexpr size_t ROWS = 16;
        const size_t tiles = (m + ROWS - 1) / ROWS;
        auto apply = [&](size_t tile) {
            const size_t x1 = std::min(m, (tile + 1) * ROWS);
            for (int t = 0; t < n_; ++t) {
                const double* r = rr.data() + static_cast<size_t>(t) * m;
                const double* a = a_.get() + static_cast<size_t>(t) * m;
                for (size_t x = tile * ROWS; x < x1; ++x) {
                    const double aj = a[x];
                    if (aj == 0.0)
                        continue;
                    double* rowj = row(block, lv[x]);
                    for (size_t y = 0; y < x; ++y)
                        rowj[lv[y]] += aj * r[y];
                }
            }
        };
        runTiles(tiles, m, apply);
    }
    clearBatch();
}

// Sums of v over the levels before and after each level: before[h] is
// v[0] + ... + v[h-1] and after[h] is v[h+1] + ... + v[k-1], both formed by
// addition only, so that "every level but h" never loses level h's
// neighbours to cancellation. Returns the sum of all levels.
double level_sums(const double* v, int k, double* before, double* after)
{
    double s = 0.0;
    for (int h = 0; h < k; ++h) {
        before[h] = s;
        s += v[h];
    }
    double t = 0.0;
    for (int h = k - 1; h >= 0; --h) {
        after[h] = t;
        t += v[h];
    }
    return s;
}

} // namespace

void korv_hom_set_batch_from(int levels)
{
    CovBatch::from = levels < 1 ? 64 : levels;
}

void korv_hom_close_rows(double* block, int k)
{
    if (!block || k < 1)
        return;
    // One pass down the packed rows. Row h's sum takes its own elements
    // (h, 0) .. (h, h - 1) when row h is read, then (i, h) for i = h + 1,
    // h + 2, ... as the rows below are read: the same additions in the same
    // order as summing the row and then the column, reading the memory in
    // order instead of a column of strides across the whole block.
    std::vector<double> sum(static_cast<size_t>(k), 0.0);
    for (int i = 0; i < k; ++i) {
        const double* r = row(block, i);
        double s = 0.0;
        for (int j = 0; j < i; ++j) {
            s += r[j];
            sum[static_cast<size_t>(j)] += r[j];
        }
        sum[static_cast<size_t>(i)] = s;
    }
    for (int h = 0; h < k; ++h)
        block[diag(h)] = 0.0 - sum[static_cast<size_t>(h)]; // never a negative zero
}

void korv_lr_add(HomLR* lr, const double* time, const double* freq, int64_t nobs, double events)
{
    korv_lr_add_total(lr, korv_lr_time(time, freq, nobs), events);
}

void korv_lr_add_total(HomLR* lr, const korv_num::ScaledSum& tk, double events)
{
    if (!(tk.sum > 0)) {
        lr->nempty = -1;
        return;
    }
    lr->T.add(tk);
    if (events > 0)
        lr->L -= events * tk.log_over(events);
    else
        lr->zempty = '*';
    lr->D += events;
}

void korv_lr_finish(HomLR* lr)
{
    if (lr->D > 0 && lr->T.sum > 0)
        lr->likeratio = 2.0 * (lr->D * lr->T.log_over(lr->D) + lr->L);
    else
        lr->likeratio = lr->L;
    // The statistic is never negative in exact arithmetic (log-sum
    // inequality); a rounding residue of equal rates is 0.
    if (lr->likeratio < 0)
        lr->likeratio = 0.0;
}

namespace
{

// The batch of the first pass's covariances (log-rank, Wilcoxon, Tarone),
// or null for few levels.
std::unique_ptr<CovBatch> first_batch(int k, const HomBlocks& b)
{
    if (k < CovBatch::from)
        return nullptr;
    double* const blocks[3] = {b.lr, b.wil, b.tar};
    return std::make_unique<CovBatch>(k, blocks, 3);
}

// The scores and covariances of one retained time of the first pass: ndie
// events among nrisk at risk, `survivors` of whom do not fail there.
inline void first_pass_time(int k, double nrisk, double ndie, double survivors, const double* risk,
                            const double* die, const HomBlocks& b, CovBatch* batch)
{
    double* lrU = b.lr + korv_score_offset(k);
    double* wilU = b.wil + korv_score_offset(k);
    double* tarU = b.tar ? b.tar + korv_score_offset(k) : nullptr;
    const double a = ndie / nrisk;
    const double v = variance_factor(nrisk, ndie, survivors);
    const double vN = v * nrisk;
    const double vNN = vN * nrisk;
    const double sq = std::sqrt(nrisk);
    if (batch) {
        for (int j = 0; j < k; ++j) {
            const double o = die[j] - a * risk[j];
            lrU[j] += o;
            wilU[j] += nrisk * o;
            if (tarU)
                tarU[j] += sq * o;
        }
        const double factors[3] = {v, vNN, vN};
        batch->add(risk, factors);
        return;
    }
    for (int j = 0; j < k; ++j) {
        const double o = die[j] - a * risk[j];
        lrU[j] += o;
        wilU[j] += nrisk * o;
        zvxay11(row(b.lr, j), risk, j, -v * risk[j]);
        zvxay11(row(b.wil, j), risk, j, -vNN * risk[j]);
        if (tarU) {
            tarU[j] += sq * o;
            zvxay11(row(b.tar, j), risk, j, -vN * risk[j]);
        }
    }
}

// The scores of one weighted time of a test, its covariance left to the
// batch.
inline void add_scores(double* block, int k, double w, const double* risk, const double* die,
                       double a)
{
    double* score = block + korv_score_offset(k);
    for (int j = 0; j < k; ++j)
        score[j] += w * (die[j] - a * risk[j]);
}

// The batch of the second pass's covariances (Fleming-Harrington, Peto,
// modified Peto), or null for few levels.
std::unique_ptr<CovBatch> second_batch(int k, const HomBlocks& b)
{
    if (k < CovBatch::from)
        return nullptr;
    double* const blocks[3] = {b.flem, b.peto, b.mpeto};
    return std::make_unique<CovBatch>(k, blocks, 3);
}

// The same for the second pass; m numbers the retained times from the top.
inline void second_pass_time(int k, double nrisk, double ndie, double survivors, const double* risk,
                             const double* die, const double* km, int64_t m, double rho,
                             double gamma, const HomBlocks& b, CovBatch* batch)
{
    const double a = ndie / nrisk;
    const double v = variance_factor(nrisk, ndie, survivors);
    double factors[3] = {0, 0, 0};
    if (b.flem) {
        const double S = km[2 * (m + 1)];
        double W;
        if (gamma != 0.0)
            W = S == 1.0 ? 0.0 : std::exp(rho * std::log(S) + gamma * std::log(1.0 - S));
        else
            W = std::exp(rho * std::log(S));
        if (batch)
            add_scores(b.flem, k, W, risk, die, a), factors[0] = W * W * v;
        else
            add_time(b.flem, k, W, W * W * v, risk, die, a);
    }
    const double St = km[2 * m + 1];
    if (b.peto) {
        if (batch)
            add_scores(b.peto, k, St, risk, die, a), factors[1] = St * St * v;
        else
            add_time(b.peto, k, St, St * St * v, risk, die, a);
    }
    if (b.mpeto) {
        const double M = St * nrisk / (nrisk + 1.0);
        if (batch)
            add_scores(b.mpeto, k, M, risk, die, a), factors[2] = M * M * v;
        else
            add_time(b.mpeto, k, M, M * M * v, risk, die, a);
    }
    if (batch)
        batch->add(risk, factors);
}

// The tie groups of the pooled counts from the largest time down: at each
// time the censored records (one tie group), then the events (another), as
// the ranked records form them. `time(c)` is called for each group with its
// events among the risk sets after it; risk and die as in the record passes.
template <class Time>
void walk_counts(int k, const HomCounts& c, double* risk, double* die, Time time)
{
    for (int j = 0; j < k; ++j)
        die[j] = 0.0;
    double nrisk = 0.0;
    int64_t i = 0;
    while (i < c.n) {
        int64_t e = i;
        while (e < c.n && c.time[e] == c.time[i])
            ++e;
        // The censored records at the time only enlarge the risk sets.
        double cen = 0.0;
        for (int64_t x = i; x < e; ++x)
            if (c.censored[x] > 0) {
                risk[c.level[x]] += c.censored[x];
                cen += c.censored[x];
            }
        nrisk += cen;
        const double survivors = nrisk;
        double ndie = 0.0;
        for (int64_t x = i; x < e; ++x)
            if (c.events[x] > 0) {
                risk[c.level[x]] += c.events[x];
                die[c.level[x]] = c.events[x];
                ndie += c.events[x];
            }
        nrisk += ndie;
        if (ndie > 0 && nrisk > 1.0)
            time(nrisk, ndie, survivors);
        for (int64_t x = i; x < e; ++x)
            die[c.level[x]] = 0.0;
        i = e;
    }
}

} // namespace

int64_t korv_hom_first_pass(int k, int64_t n, const double* freq, const int32_t* sflag,
                            const int64_t* jndx, double* risk, double* die, const HomBlocks& b,
                            HomRecordSink sink, void* ctx, bool close)
{
    double nrisk = 0.0;
    int64_t nfail = 0;
    auto batch = first_batch(k, b);
    int64_t i = n - 1;
    while (i >= 0) {
        for (int j = 0; j < k; ++j)
            die[j] = 0.0;
        double ndie = 0.0;
        const double survivors = nrisk;
        i = tie_group(i, freq, sflag, jndx, risk, die, &nrisk, &ndie);
        if (!(ndie > 0 && nrisk > 1.0))
            continue;
        ++nfail;
        if (sink)
            sink(ctx, ndie, nrisk);
        first_pass_time(k, nrisk, ndie, survivors, risk, die, b, batch.get());
    }
    if (batch)
        batch->flush();
    if (close) {
        korv_hom_close_rows(b.lr, k);
        korv_hom_close_rows(b.wil, k);
        korv_hom_close_rows(b.tar, k);
    }
    return nfail;
}

int64_t korv_hom_first_pass_counts(int k, const HomCounts& c, double* risk, double* die,
                                   const HomBlocks& b, HomRecordSink sink, void* ctx)
{
    int64_t nfail = 0;
    auto batch = first_batch(k, b);
    walk_counts(k, c, risk, die, [&](double nrisk, double ndie, double survivors) {
        ++nfail;
        if (sink)
            sink(ctx, ndie, nrisk);
        first_pass_time(k, nrisk, ndie, survivors, risk, die, b, batch.get());
    });
    if (batch)
        batch->flush();
    korv_hom_close_rows(b.lr, k);
    korv_hom_close_rows(b.wil, k);
    korv_hom_close_rows(b.tar, k);
    return nfail;
}

void korv_hom_second_pass_counts(int k, const HomCounts& c, double* risk, double* die,
                                 const double* km, const double* fleming, const HomBlocks& b)
{
    const double rho = fleming ? fleming[0] : 0.0;
    const double gamma = fleming && fleming[1] > 0 ? fleming[1] : 0.0;
    for (int j = 0; j < k; ++j)
        risk[j] = 0.0;
    int64_t m = 0;
    auto batch = second_batch(k, b);
    walk_counts(k, c, risk, die, [&](double nrisk, double ndie, double survivors) {
        second_pass_time(k, nrisk, ndie, survivors, risk, die, km, m, rho, gamma, b, batch.get());
        ++m;
    });
    if (batch)
        batch->flush();
    korv_hom_close_rows(b.flem, k);
    korv_hom_close_rows(b.peto, k);
    korv_hom_close_rows(b.mpeto, k);
}

void korv_hom_pooled_survival(double* km, int64_t nfail)
{
    km[2 * nfail] = 1.0;
    km[2 * nfail + 1] = 1.0;
    for (int64_t j = nfail - 1; j >= 0; --j) {
        const double d = km[2 * j], r = km[2 * j + 1];
        km[2 * j] = (1.0 - d / r) * km[2 * (j + 1)];
        km[2 * j + 1] = (1.0 - d / (r + 1.0)) * km[2 * (j + 1) + 1];
    }
}

void korv_hom_second_pass(int k, int64_t n, const double* freq, const int32_t* sflag,
                          const int64_t* jndx, double* risk, double* die, const double* km,
                          const double* fleming, const HomBlocks& b, bool close)
{
    const double rho = fleming ? fleming[0] : 0.0;
    const double gamma = fleming && fleming[1] > 0 ? fleming[1] : 0.0;
    for (int j = 0; j < k; ++j)
        risk[j] = 0.0;
    double nrisk = 0.0;
    int64_t m = 0;
    auto batch = second_batch(k, b);
    int64_t i = n - 1;
    while (i >= 0) {
        for (int j = 0; j < k; ++j)
            die[j] = 0.0;
        double ndie = 0.0;
        const double survivors = nrisk;
        i = tie_group(i, freq, sflag, jndx, risk, die, &nrisk, &ndie);
        if (!(ndie > 0 && nrisk > 1.0))
            continue;
        second_pass_time(k, nrisk, ndie, survivors, risk, die, km, m, rho, gamma, b, batch.get());
        ++m;
    }
    if (batch)
        batch->flush();
    if (close) {
        korv_hom_close_rows(b.flem, k);
        korv_hom_close_rows(b.peto, k);
        korv_hom_close_rows(b.mpeto, k);
    }
}

namespace
{

// The sums of one weighted event time, per level: weight at risk R, squared
// weight at risk Q and event weight E, each with the same sums over the
// other levels.
struct WeightedTime {
    std::vector<double> beforeR, afterR, beforeQ, afterQ, beforeE, afterE;
    explicit WeightedTime(int k)
        : beforeR(k), afterR(k), beforeQ(k), afterQ(k), beforeE(k), afterE(k)
    {
    }
};

// Adds the scores and covariances of one event time of the weighted pass.
// Each subject i at risk carries weight w_i; the D events are a draw without
// replacement of D of the N subjects, so the covariance of the weighted
// observed-minus-expected sums of levels h and j is
//   theta sum_i w_i^2 (1[i in h] - p_h)(1[i in j] - p_j),
// theta = (N - D) D / (N (N - 1)), p_h = R_h / S the weight share of level h.
// Split by the level of subject i this is, with P_h = 1 - p_h the other
// levels' share and T_hj the squared weight of the levels other than h and j,
//   diagonal      theta (Q_h P_h^2 + p_h^2 (Q of the others)),
//   off-diagonal  theta (p_h p_j T_hj - P_j p_h Q_j - P_h p_j Q_h).
void weighted_time(int k, const double* R, const double* Q, const double* E, double theta,
                   WeightedTime& w, double* lr, double* wil, double* tar)
{
    const double S = level_sums(R, k, w.beforeR.data(), w.afterR.data());
    level_sums(Q, k, w.beforeQ.data(), w.afterQ.data());
    level_sums(E, k, w.beforeE.data(), w.afterE.data());
    const double sq = std::sqrt(S), SS = S * S;
    double* lrU = lr + korv_score_offset(k);
    double* wilU = wil + korv_score_offset(k);
    double* tarU = tar ? tar + korv_score_offset(k) : nullptr;
    for (int h = 0; h < k; ++h) {
        const double ph = R[h] / S, Ph = (w.beforeR[h] + w.afterR[h]) / S, qh = Q[h];
        // Observed minus expected: E_h (1 - p_h) - p_h (events of the others).
        const double e = E[h] * Ph - ph * (w.beforeE[h] + w.afterE[h]);
        lrU[h] += e;
        wilU[h] += S * e;
        if (tarU)
            tarU[h] += sq * e;
        double* lrow = row(lr, h);
        double* wrow = row(wil, h);
        double* trow = tar ? row(tar, h) : nullptr;
        // T_hj for j from h - 1 down: the levels below j, those between j
        // and h (summed as j moves down), and those above h.
        double between = 0.0;
        for (int j = h - 1; j >= 0; --j) {
            const double pj = R[j] / S, Pj = (w.beforeR[j] + w.afterR[j]) / S, qj = Q[j];
            const double T = w.beforeQ[j] + between + w.afterQ[h];
            const double c = theta * (ph * pj * T - (Pj * ph * qj + Ph * pj * qh));
            lrow[j] += c;
            wrow[j] += SS * c;
            if (trow)
                trow[j] += S * c;
            between += qj;
        }
        const double c = theta * (qh * Ph * Ph + ph * ph * (w.beforeQ[h] + w.afterQ[h]));
        lrow[h] += c;
        wrow[h] += SS * c;
        if (trow)
            trow[h] += S * c;
    }
}

// The unit a set of weights asks for (see HomWeightUnit): 0 within
// [2^-64, 2^64], else the even exponent at or below the largest weight.
int weight_unit(int64_t n, const double* wt)
{
    double W = 0;
    for (int64_t r = 0; r < n; ++r)
        W = std::fmax(W, wt[r]);
    if (!(W > 0) || !std::isfinite(W) || (W >= 0x1p-64 && W <= 0x1p64))
        return 0;
    const int e = std::ilogb(W);
    return e - (e & 1);
}

// Multiplies a bordered block's scores by 2^s and its covariance by 2^2s.
void scale_block(double* block, int k, int s)
{
    if (!block)
        return;
    const int64_t m = korv_score_offset(k);
    for (int64_t x = 0; x < m; ++x)
        block[x] = std::ldexp(block[x], 2 * s);
    for (int h = 0; h < k; ++h)
        block[m + h] = std::ldexp(block[m + h], s);
}

} // namespace

void korv_hom_weight_score_exps(const HomWeightUnit& u, int exps[3])
{
    exps[0] = u.exp;
    exps[1] = 2 * u.exp;
    exps[2] = 3 * u.exp / 2;
}

void korv_hom_weighted_pass(int k, int64_t n, const double* freq, const double* wt,
                            const int32_t* sflag, const int64_t* jndx, double* riskWt,
                            double* riskWt2, double* dieWt, double* lr, double* wil, double* tar,
                            HomWeightUnit* unit)
{
    // The unit of these records: theirs, or the larger one the blocks are
    // already kept in. The blocks take it when this call first adds to them.
    const int want = weight_unit(n, wt);
    const int u = unit->set ? std::max(unit->exp, want) : want;
    double nrisk = 0.0;
    WeightedTime sums(k);
    int64_t i = n - 1;
    while (i >= 0) {
        for (int h = 0; h < k; ++h)
            dieWt[h] = 0.0;
        double ndie = 0.0;
        const double survivors = nrisk;
        for (;;) {
            // Record numbers in the rank index are 1-based.
            const int64_t r = std::llabs(jndx[i]) - 1;
            const double f = freq[r], w = u == 0 ? wt[r] : std::ldexp(wt[r], -u);
            const int64_t h = sflag[r];
            const double af = std::fabs(f);
            nrisk += af;
            riskWt[h] += af * w;
            // A record of frequency f stands for f subjects of weight w each:
            // its share of the sum of squared weights is f w^2, not (f w)^2.
            riskWt2[h] += af * w * w;
            if (f > 0) {
                ndie += f;
                dieWt[h] += f * w;
            }
            --i;
            if (i < 0 || jndx[i] >= 0)
                break;
        }
        if (!(ndie > 0 && nrisk > 1.0 && k > 0))
            continue;
        double S = 0.0;
        for (int h = 0; h < k; ++h)
            S += riskWt[h];
        if (!(S > 0))
            continue;
        if (!unit->set) {
            unit->exp = u;
            unit->set = true;
        } else if (u > unit->exp) {
            // What the strata before added, in the larger unit of these
            // weights: each block by its own power of the change of unit.
            int f[3];
            korv_hom_weight_score_exps(HomWeightUnit{unit->exp - u, true}, f);
            scale_block(lr, k, f[0]);
            scale_block(wil, k, f[1]);
            scale_block(tar, k, f[2]);
            unit->exp = u;
        }
        const double theta = survivors * (ndie / nrisk) / (nrisk - 1.0);
        weighted_time(k, riskWt, riskWt2, dieWt, theta, sums, lr, wil, tar);
    }
    // The diagonal is a sum of positive terms, exact to rounding; an
    // off-diagonal element can be the small difference of large terms (two
    // heavy levels), exact only relative to its row and column. Minus the
    // sum of the row would carry that error into the diagonal, except with
    // two levels, where the one off-diagonal element is a sum of negative
    // terms.
    if (k == 2) {
        korv_hom_close_rows(lr, k);
        korv_hom_close_rows(wil, k);
        korv_hom_close_rows(tar, k);
    }
}

void korv_hom_rank(const double* time, const double* freq, int64_t* jndx, int64_t n)
{
    // The same order and tie marks as the frame's ranking of a stratum.
    korv_rank_order(time, freq, jndx, n);
}

// The passes over the pooled counts per distinct time (the strata's tallies)
// against the passes over the ranked records, the covariance updates
// gathered over many times against one time after another, and the sweep
// on the host's threads against one thread: each must give the same
// numbers to the last bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#include "support/homogeneity_records.h"
#include "vyr_pool.h"

using namespace homtest;

namespace
{

// Records with many ties: k levels, times 1..ntimes, whole frequencies.
Records tied_records(int k, int n, int ntimes, unsigned seed)
{
    Records r;
    unsigned s = seed;
    auto next = [&s] { return s = s * 1103515245u + 12345u, (s >> 8) & 0xFFFF; };
    for (int i = 0; i < n; ++i) {
        const double t = 1 + next() % static_cast<unsigned>(ntimes);
        const double f = 1 + next() % 3;
        const bool event = next() % 4 != 0;
        r.add(t, event ? f : -f, static_cast<int64_t>(next() % static_cast<unsigned>(k)));
    }
    return r;
}

// The same records counted per (time, level), in decreasing order of time.
struct Counted {
    std::vector<double> time, events, censored;
    std::vector<int32_t> level;
    HomCounts view() const
    {
        HomCounts c;
        c.n = static_cast<int64_t>(time.size());
        c.time = time.data();
        c.level = level.data();
        c.events = events.data();
        c.censored = censored.data();
        return c;
    }
};
Counted count(const Records& r)
{
    std::map<std::pair<double, int32_t>, std::pair<double, double>> m;
    for (int64_t i = 0; i < r.n(); ++i) {
        auto& e = m[{-r.time[i], r.level[i]}];
        (r.freq[i] > 0 ? e.first : e.second) += std::fabs(r.freq[i]);
    }
    Counted c;
    for (const auto& [key, v] : m) {
        c.time.push_back(-key.first);
        c.level.push_back(key.second);
        c.events.push_back(v.first);
        c.censored.push_back(v.second);
    }
    return c;
}

// Every block of a run over the counts.
Result unweighted_counts(const Records& r, int k, const double* fleming)
{
    Result res;
    res.k = k;
    const int64_t bs = korv_block_size(k);
    for (auto* v : {&res.lr, &res.wil, &res.tar, &res.peto, &res.mpeto, &res.flem})
        v->assign(bs, 0.0);
    HomBlocks b{res.lr.data(),   res.wil.data(),   res.tar.data(),
                res.peto.data(), res.mpeto.data(), res.flem.data()};
    std::vector<double> risk(k), die(k), work;
    const Counted c = count(r);
    const int64_t nfail =
        korv_hom_first_pass_counts(k, c.view(), risk.data(), die.data(), b, keep, &work);
    work.resize(2 * (nfail + 1));
    korv_hom_pooled_survival(work.data(), nfail);
    korv_hom_second_pass_counts(k, c.view(), risk.data(), die.data(), work.data(), fleming, b);
    return res;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

void expect_same(const Result& a, const Result& b)
{
    EXPECT_TRUE(same_bits(a.lr, b.lr));
    EXPECT_TRUE(same_bits(a.wil, b.wil));
    EXPECT_TRUE(same_bits(a.tar, b.tar));
    EXPECT_TRUE(same_bits(a.peto, b.peto));
    EXPECT_TRUE(same_bits(a.mpeto, b.mpeto));
    EXPECT_TRUE(same_bits(a.flem, b.flem));
}

} // namespace

TEST(HomogeneityCounts, SameBlocksAsTheRankedRecords)
{
    // Few levels (one time after another) and many (updates gathered);
    // censored records at event times, times of one level only, a level
    // without events.
    const double fleming[2] = {1.0, 0.5};
    for (int k : {2, 5, 70}) {
        SCOPED_TRACE(k);
        Records r = tied_records(k, 3000, 60, 11u + static_cast<unsigned>(k));
        r.add(100, 1, 0); // the largest time: one subject at risk
        r.add(0.5, -2, 1);
        const Result records = unweighted(r, k, fleming);
        const Result counts = unweighted_counts(r, k, fleming);
        expect_same(records, counts);
        EXPECT_NE(records.lr[korv_block_size(k) - 2], 0.0); // a non-trivial score
    }
}

TEST(HomogeneityCounts, GatheredUpdatesEqualOneTimeAfterAnother)
{
    // The same records with the covariance updates applied one time after
    // another and gathered over many times, in tiles, on the threads.
    const double fleming[2] = {0.5, 2.0};
    const int k = 150;
    const Records r = tied_records(k, 20000, 700, 5u);
    korv_hom_set_batch_from(1 << 30);
    const Result direct = unweighted(r, k, fleming);
    korv_hom_set_batch_from(2);
    const Result gathered = unweighted(r, k, fleming);
    const Result gatheredCounts = unweighted_counts(r, k, fleming);
    korv_hom_set_batch_from(0);
    expect_same(direct, gathered);
    expect_same(direct, gatheredCounts);
}

TEST(HomogeneityCounts, GatheredUpdatesOfFewLevelsAtRiskEqualOneTimeAfterAnother)
{
    // 150 levels of which only the first 10 are at risk at the largest
    // times (the levels of one stratum among many): those batches update the
    // pairs of the levels at risk alone, the later ones the whole matrix.
    const double fleming[2] = {1.0, 1.0};
    const int k = 150;
    Records r = tied_records(k, 20000, 700, 7u);
    for (int i = 0; i < 6000; ++i) // more distinct times than a batch holds
        r.add(1000 + i % 1500, i % 3 ? 1.0 : -1.0, i % 10);
    Records few = tied_records(12, 5000, 300, 3u); // levels 0 to 11 of 150 only
    for (const Records* x : {&r, &few}) {
        korv_hom_set_batch_from(1 << 30);
        const Result direct = unweighted(*x, k, fleming);
        korv_hom_set_batch_from(2);
        const Result gathered = unweighted(*x, k, fleming);
        const Result gatheredCounts = unweighted_counts(*x, k, fleming);
        korv_hom_set_batch_from(0);
        expect_same(direct, gathered);
        expect_same(direct, gatheredCounts);
    }
}

TEST(HomogeneityCounts, SweepOnThreadsEqualsOneThread)
{
    // A block of 200 levels, its sweep on the threads from 64 levels on.
    const int k = 200;
    korv_sweep_set_parallel_from(64);
    const Records r = tied_records(k, 20000, 300, 9u);
    const Result res = unweighted(r, k);
    const KorvChiSq threaded = chisq(res.lr, k);
    std::vector<double> swept1(res.lr);
    {
        std::vector<char> dfs(k + 1);
        std::vector<double> work(k + 1);
        korv_chisq(swept1.data(), k, 1e-12, dfs.data(), work.data());
    }
    vyr::pool_configure(false, 1);
    std::vector<double> swept2(res.lr);
    KorvChiSq single;
    {
        std::vector<char> dfs(k + 1);
        std::vector<double> work(k + 1);
        single = korv_chisq(swept2.data(), k, 1e-12, dfs.data(), work.data());
    }
    vyr::pool_configure(true, std::max(1u, std::thread::hardware_concurrency()));
    korv_sweep_set_parallel_from(0);
    EXPECT_EQ(threaded.df, single.df);
    EXPECT_EQ(threaded.chisq, single.chisq);
    EXPECT_TRUE(same_bits(swept1, swept2));
    EXPECT_EQ(single.df, k - 1);
}

// Properties of the estimators that need no peer: weights of 1 equal the
// unweighted estimator, FREQ equals the expanded data, and the documented
// behaviour at the edges (quartile rules, empty risk sets, the mean's end).
#include <gtest/gtest.h>

#include <map>

#include "support/estimate_sample.h"

using namespace est_test;
using korv_est::PlSettings;

namespace
{

double miss()
{
    return korv_missing();
}

Sample fromList(std::initializer_list<std::pair<double, int>> recs)
{
    Sample s;
    for (auto& r : recs)
        s.add(r.first, r.second != 0);
    s.rank();
    return s;
}

void expectSameEstimates(const Result& a, const Result& b, double rel = 1e-12)
{
    ASSERT_EQ(a.events.size(), b.events.size());
    for (size_t i = 0; i < a.events.size(); ++i) {
        SCOPED_TRACE("t=" + std::to_string(a.events[i].time));
        EXPECT_EQ(a.events[i].time, b.events[i].time);
        EXPECT_TRUE(close(a.events[i].S, b.events[i].S, rel));
        EXPECT_TRUE(close(a.events[i].stderr_, b.events[i].stderr_, rel));
        EXPECT_TRUE(close(a.events[i].lcl, b.events[i].lcl, rel));
        EXPECT_TRUE(close(a.events[i].ucl, b.events[i].ucl, rel));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(close(a.quant[i], b.quant[i], rel));
        EXPECT_TRUE(close(a.qtlower[i], b.qtlower[i], rel));
        EXPECT_TRUE(close(a.qtupper[i], b.qtupper[i], rel));
    }
    EXPECT_TRUE(close(a.mean, b.mean, rel));
    EXPECT_TRUE(close(a.mse, b.mse, rel));
}

} // namespace

TEST(Weighted, WeightsOfOneEqualUnweighted)
{
    for (const char* id : {"lung", "kidney", "aml_m", "colon"}) {
        SCOPED_TRACE(id);
        Sample s = caseSample(id);
        PlSettings u, w;
        w.weighted = true;
        Result a = runEngine(s, u), b = runEngine(s, w);
        expectSameEstimates(a, b);
        for (size_t i = 0; i < a.events.size(); ++i) {
            EXPECT_TRUE(close(a.events[i].H, b.events[i].H, 1e-12));
            EXPECT_TRUE(close(a.events[i].seH, b.events[i].seH, 1e-12));
        }
    }
}

TEST(Weighted, WeightsOfTwoKeepSurvivalAndStdErr)
{
    Sample s = caseSample("lung");
    Sample s2 = s;
    for (double& w : s2.weights)
        w = 2;
    s2.rank();
    PlSettings u, w;
    w.weighted = true;
    Result a = runEngine(s, u), b = runEngine(s2, w);
    expectSameEstimates(a, b);
    for (size_t i = 0; i < a.events.size(); ++i) {
        EXPECT_TRUE(close(b.events[i].Y, 2 * a.events[i].Y, 1e-12));
        EXPECT_TRUE(close(b.events[i].H, a.events[i].H, 1e-12));
        EXPECT_TRUE(close(b.events[i].seH, a.events[i].seH / std::sqrt(2.0), 1e-12));
    }
}

// Weights near the ends of the double range: their sums (or their squares)
// pass the largest double or fall below the smallest. The pass scales them
// by a power of two, so the estimates are those of the same weights in
// ordinary units, and the counts are those units' times the factor, or
// missing where that is past the largest double.
TEST(Weighted, WeightsNearTheEndsOfTheRangeAreEstimated)
{
    Sample s = caseSample("aml_m");
    for (size_t i = 0; i < s.weights.size(); ++i)
        s.weights[i] = 1 + 0.1 * static_cast<double>(i % 3);
    s.rank();
    PlSettings w;
    w.weighted = true;
    const Result a = runEngine(s, w);
    for (int e : {1000, 1023, -1000}) {
        SCOPED_TRACE(e);
        Sample big = s;
        for (double& x : big.weights)
            x = std::ldexp(x, e);
        big.rank();
        const Result b = runEngine(big, w);
        expectSameEstimates(a, b, 1e-15);
        for (size_t i = 0; i < a.events.size(); ++i) {
            EXPECT_EQ(b.events[i].H, a.events[i].H);
            EXPECT_TRUE(
                close(b.events[i].seH, a.events[i].seH / std::sqrt(std::ldexp(1.0, e)), 1e-15));
            EXPECT_EQ(b.events[i].dvarH, std::ldexp(a.events[i].dvarH, -e));
            const double y = std::ldexp(a.events[i].Y, e);
            if (std::isfinite(y))
                EXPECT_EQ(b.events[i].Y, y);
            else
                EXPECT_TRUE(wzmis(b.events[i].Y));
        }
        EXPECT_EQ(b.steps[0].weight, big.weights[std::llabs(big.indxs[0]) - 1]);
    }
}

// Times near the ends of the double range: the mean's variance sums the
// squares of areas, which are kept in a power-of-two unit of time. The mean
// and its standard error are those of the times in ordinary units times the
// power of two, digit for digit, weighted or not, to every end point.
TEST(Mean, TimesNearTheEndsOfTheRangeKeepTheStandardError)
{
    Sample s = caseSample("aml_m");
    for (size_t i = 0; i < s.weights.size(); ++i)
        s.weights[i] = 1 + 0.1 * static_cast<double>(i % 3);
    s.rank();
    for (bool weighted : {false, true}) {
        for (double restric : {-1.0, -2.0, 100.0}) {
            PlSettings set;
            set.weighted = weighted;
            set.restric = restric;
            const Result a = runEngine(s, set);
            ASSERT_FALSE(wzmis(a.mse));
            for (int e : {1010, 600, -1000}) {
                SCOPED_TRACE(std::to_string(weighted) + " " + std::to_string(restric) + " " +
                             std::to_string(e));
                Sample big = s;
                for (double& t : big.times)
                    t = std::ldexp(t, e);
                big.rank();
                PlSettings bigSet = set;
                if (restric >= 0)
                    bigSet.restric = std::ldexp(restric, e);
                const Result b = runEngine(big, bigSet);
                EXPECT_EQ(b.mean, std::ldexp(a.mean, e));
                EXPECT_EQ(b.mse, std::ldexp(a.mse, e));
            }
        }
    }
}

// Frequencies: aggregating tied records into one record with a frequency
// gives the estimates of the expanded data.
TEST(Freq, AggregatedEqualsExpanded)
{
    Sample expanded = caseSample("kidney");
    std::map<std::pair<double, bool>, double> counts;
    for (size_t i = 0; i < expanded.times.size(); ++i)
        counts[{expanded.times[i], expanded.freqs[i] > 0}] += 1;
    Sample agg;
    for (auto& [key, n] : counts)
        agg.add(key.first, key.second, n);
    agg.rank();
    for (int method : {0, 2, 3}) {
        for (int restric : {-1, -2}) {
            PlSettings set;
            set.method = method;
            set.restric = restric;
            SCOPED_TRACE("method " + std::to_string(method));
            expectSameEstimates(runEngine(expanded, set), runEngine(agg, set), 1e-12);
        }
    }
}

TEST(Methods, FlemingHarringtonTiesAndBreslow)
{
    EXPECT_DOUBLE_EQ(tiesFH(0, 10), 1.0);
    EXPECT_DOUBLE_EQ(tiesFH(3, 10), std::exp(-(1.0 / 10 + 1.0 / 9 + 1.0 / 8)));
    // A fractional count takes ceil(d) terms.
    EXPECT_DOUBLE_EQ(tiesFH(1.5, 10), std::exp(-(1.0 / 10 + 1.0 / 9)));
    Sample s = fromList({{1, 1}, {1, 1}, {1, 1}, {2, 0}, {3, 1}});
    PlSettings b, f;
    b.method = 2;
    f.method = 3;
    EXPECT_DOUBLE_EQ(runEngine(s, b).events[0].S, std::exp(-3.0 / 5));
    EXPECT_DOUBLE_EQ(runEngine(s, f).events[0].S, std::exp(-(1.0 / 5 + 1.0 / 4 + 1.0 / 3)));
    EXPECT_EQ(integralFreqs(std::vector<double>{1, -2, 3}.data(), 3), 1);
    EXPECT_EQ(integralFreqs(std::vector<double>{1, -2.5}.data(), 2), 0);
    EXPECT_EQ(korv_njumps(s.times.data(), s.freqs.data(), s.indxs.data(), 5), 2);
}

// A large tie under Fleming-Harrington: past 64 events the sum of 1/(Y - i)
// comes from the digamma function's series. It agrees with the sum added
// term by term in extended precision, and a tie of 2^52 events among 2^53
// at risk (once a loop of months) gives H(2d) - H(d) = ln 2 - 1/(4d) + ...
TEST(Methods, FlemingHarringtonLargeTies)
{
    auto exact = [](double d, double Y) {
        long double sum = 0, c = 0;
        for (double i = 0; i < std::ceil(d); i += 1) {
            const long double y = 1.0L / (static_cast<long double>(Y) - i) - c;
            const long double t = sum + y;
            c = (t - sum) - y;
            sum = t;
        }
        return static_cast<double>(sum);
    };
    for (double d : {64.0, 65.0, 100.5, 1000.0, 123457.0})
        for (double Y : {d, std::ceil(d) + 1, 2 * d + 3, 1e9, 1e15}) {
            const double want = exact(d, Y);
            EXPECT_NEAR(korv_fh_sum(d, Y), want, 1e-13 * want) << d << " " << Y;
            EXPECT_NEAR(tiesFH(d, Y), std::exp(-want), 1e-13 * std::exp(-want)) << d << " " << Y;
        }
    for (double d : {1e6, 0x1p40, 0x1p52}) {
        const double want = std::log(2.0) - 1 / (4 * d) + 1 / (16 * d * d);
        EXPECT_NEAR(korv_fh_sum(d, 2 * d), want, 1e-15) << d;
    }
    // Everyone at risk fails: the harmonic number.
    EXPECT_NEAR(korv_fh_sum(1e6, 1e6), 14.392726722865723631, 1e-13 * 14.4);
}

// Once the last event empties the risk set, Breslow and Fleming-Harrington
// keep a positive survival but have no variance: the standard error and the
// limits are missing, not a zero-width interval at the estimate.
TEST(Mended, EmptiedRiskSetGivesMissingLimits)
{
    Sample s = fromList({{1, 1}, {2, 0}, {3, 1}, {4, 1}});
    for (int method : {0, 2, 3}) {
        PlSettings set;
        set.method = method;
        Result r = runEngine(s, set);
        const auto& last = r.events.back();
        SCOPED_TRACE(method);
        EXPECT_TRUE(last.emptied);
        EXPECT_TRUE(wzmis(last.stderr_));
        EXPECT_TRUE(wzmis(last.lcl));
        EXPECT_TRUE(wzmis(last.ucl));
        if (method != 0) {
            EXPECT_GT(last.S, 0);
        }
        EXPECT_FALSE(wzmis(r.events[0].lcl));
    }
}

// Fractional weights whose sum leaves a rounding residue: the last event
// still empties the risk set (survival exactly 0, no standard error) instead
// of a huge Greenwood term over a residue of 1e-17.
TEST(Mended, RiskResidueIsEmpty)
{
    // 0.1 + 0.2 + 0.3 less 0.1, 0.2 and 0.3 leaves 1.1e-16 in doubles.
    Sample s;
    s.add(1, true, 1, 0.1);
    s.add(2, true, 1, 0.2);
    s.add(3, true, 1, 0.3);
    s.rank();
    PlSettings w;
    w.weighted = true;
    Result r = runEngine(s, w);
    ASSERT_EQ(r.events.size(), 3u);
    EXPECT_TRUE(r.events.back().emptied);
    EXPECT_EQ(r.events.back().S, 0.0);
    EXPECT_TRUE(wzmis(r.events.back().stderr_));
    // Fractional frequencies (NOTRUNCATE) the same way.
    Sample f;
    f.add(1, true, 0.1);
    f.add(2, true, 0.2);
    f.add(3, true, 0.3);
    f.rank();
    Result rf = runEngine(f, PlSettings{});
    EXPECT_TRUE(rf.events.back().emptied);
    EXPECT_EQ(rf.events.back().S, 0.0);
}

// One record of frequency (or weight) 1e12 censored early: the risk sets of
// the records after it are 2 and 1, not the residue of 1e12 + 2 less 1e12
// against a tolerance taken from the total.
TEST(Mended, LargeCountLeavesLaterRiskSetsExact)
{
    for (bool weighted : {false, true}) {
        SCOPED_TRACE(weighted ? "weight 1e12" : "frequency 1e12");
        Sample s;
        s.add(2, false, weighted ? 1 : 1e12, weighted ? 1e12 : 1);
        s.add(4, true);
        s.add(5, true);
        s.rank();
        PlSettings set;
        set.weighted = weighted;
        Result r = runEngine(s, set);
        ASSERT_EQ(r.events.size(), 2u);
        EXPECT_EQ(r.events[0].Y, 2);
        EXPECT_EQ(r.events[0].S, 0.5);
        EXPECT_FALSE(r.events[0].emptied);
        EXPECT_DOUBLE_EQ(r.events[0].stderr_, 0.5 * std::sqrt(0.5));
        EXPECT_EQ(r.events[1].S, 0);
        EXPECT_TRUE(r.events[1].emptied);
        EXPECT_EQ(r.steps.back().left, 0);
        EXPECT_EQ(r.quant[1], 4.5); // survival exactly 0.5 from 4 to 5
    }
}

// The weighted estimator against exact rational arithmetic (tests/reference/
// exact_weighted.py) with weights up to 1e12 times the others, all levels of
// each case pooled: survival to 1e-13, the Greenwood sum and the standard
// error to 1e-12, the cumulative hazard and its standard error to 1e-13.
TEST(Mended, WeightedEstimatesAgainstExactArithmetic)
{
    Table in("exact_weighted_records.csv"), want("exact_weighted_estimates.csv");
    std::map<std::string, Sample> samples;
    for (size_t i = 0; i < in.size(); ++i)
        samples[in.text(i, "case")].add(in.num(i, "time"), in.text(i, "status") == "1",
                                        in.num(i, "freq"), in.num(i, "weight"));
    std::map<std::string, Result> runs;
    for (auto& [name, s] : samples) {
        s.rank();
        PlSettings set;
        set.weighted = true;
        runs[name] = runEngine(s, set);
    }
    std::map<std::string, size_t> next;
    for (size_t r = 0; r < want.size(); ++r) {
        const std::string name = want.text(r, "case");
        const auto& ev = runs.at(name).events;
        const size_t i = next[name]++;
        ASSERT_LT(i, ev.size()) << name;
        SCOPED_TRACE(name + " t=" + want.text(r, "time"));
        EXPECT_EQ(ev[i].time, want.num(r, "time"));
        EXPECT_TRUE(close(ev[i].Y, want.num(r, "at_risk"), 1e-15));
        EXPECT_TRUE(close(ev[i].S, want.num(r, "surv"), 1e-13)) << ev[i].S;
        EXPECT_TRUE(close(ev[i].G, want.num(r, "greenwood"), 1e-12)) << ev[i].G;
        EXPECT_TRUE(close(ev[i].stderr_, want.num(r, "stderr"), 1e-12)) << ev[i].stderr_;
        EXPECT_TRUE(close(ev[i].H, want.num(r, "cumhaz"), 1e-13));
        EXPECT_TRUE(close(ev[i].seH, want.num(r, "se_cumhaz"), 1e-13));
    }
    for (auto& [name, run] : runs)
        EXPECT_EQ(next[name], run.events.size()) << name;
}

TEST(Quartiles, MidpointAndMultipleLevels)
{
    // Survival 0.5 exactly after the events at 10, 0.4 after 14: median 12.
    Sample b;
    for (int i = 0; i < 5; ++i)
        b.add(10, true);
    b.add(14, true);
    for (int i = 0; i < 4; ++i)
        b.add(30, false);
    b.rank();
    Result rb = runEngine(b, PlSettings{});
    EXPECT_DOUBLE_EQ(rb.quant[1], 12.0);
    EXPECT_DOUBLE_EQ(rb.quant[2], 10.0);
    EXPECT_TRUE(wzmis(rb.quant[0]));
    // A drop from 0.8 to 0.2 at time 7 sets all three percentiles.
    Sample c;
    for (int i = 0; i < 2; ++i)
        c.add(3, true);
    for (int i = 0; i < 6; ++i)
        c.add(7, true);
    c.add(9, false);
    c.add(9, false);
    c.rank();
    Result rc = runEngine(c, PlSettings{});
    EXPECT_DOUBLE_EQ(rc.quant[0], 7.0);
    EXPECT_DOUBLE_EQ(rc.quant[1], 7.0);
    EXPECT_DOUBLE_EQ(rc.quant[2], 7.0);
}

TEST(Quartiles, StratumWithoutEvents)
{
    Sample s = fromList({{1, 0}, {2, 0}, {3, 0}});
    Result r = runEngine(s, PlSettings{});
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(wzmis(r.quant[i]));
        EXPECT_TRUE(wzmis(r.qtlower[i]));
        EXPECT_TRUE(wzmis(r.qtupper[i]));
    }
    EXPECT_TRUE(wzmis(r.mean));
    EXPECT_TRUE(wzmis(r.mse));
    Sample one = fromList({{4, 1}, {6, 0}});
    Result r1 = runEngine(one, PlSettings{});
    EXPECT_DOUBLE_EQ(r1.mean, 4.0);
    EXPECT_TRUE(wzmis(r1.mse));
}

TEST(Quartiles, TrapBogusLimits)
{
    double q[3] = {10, 20, miss()};
    double lo[3] = {12, 15, 1};
    double up[3] = {30, 18, 2};
    TrapBogusQuartileCL(q, lo, up);
    EXPECT_TRUE(wzmis(lo[0]) && wzmis(up[0]));
    EXPECT_TRUE(wzmis(lo[1]) && wzmis(up[1]));
    EXPECT_EQ(lo[2], 1);
    double q2[3] = {10, 10, 10};
    double lo2[3] = {11, miss(), 10};
    double up2[3] = {miss(), 9, 10};
    TrapBogusQuartileCL(q2, lo2, up2);
    EXPECT_TRUE(wzmis(lo2[0]));
    EXPECT_TRUE(wzmis(up2[1]));
    EXPECT_EQ(lo2[2], 10);
    EXPECT_EQ(up2[2], 10);
}

// The weighted limits follow the unweighted rule, and keep only limits that
// hold their percentile.
TEST(Quartiles, WeightedLimitsAtTheEdges)
{
    PlSettings w;
    w.weighted = true;
    // Four events emptying the risk set: the 75th percentile (index 0) is
    // compatible from the first event on (so few subjects) and left at 4 with
    // S = 0 and G = 0, where the variance is not known: no upper limit,
    // weighted or not.
    Sample a;
    const double wt[] = {1, 2, 1, 1.5};
    for (int i = 0; i < 4; ++i)
        a.add(i + 1, true, 1, wt[i]);
    a.rank();
    Result ra = runEngine(a, w);
    EXPECT_EQ(ra.quant[0], 4);
    EXPECT_EQ(ra.qtlower[0], 1);
    EXPECT_TRUE(wzmis(ra.qtupper[0]));
    Result ru = runEngine(fromList({{1, 1}, {2, 1}, {3, 1}, {4, 1}}), PlSettings{});
    EXPECT_TRUE(wzmis(ru.qtupper[0]));
    // Five events at 1 to 5, weight 1, linear limits: the median and the
    // 75th percentile have no upper limit, as without weights (an upper
    // limit of 5 would miss the 75th percentile whenever all five fail
    // before it, with probability 0.75^5 = 0.24).
    Sample five;
    for (int i = 1; i <= 5; ++i)
        five.add(i, true, 1, 1.0);
    five.rank();
    PlSettings lin = w, linU;
    lin.conftype = linU.conftype = 1;
    Result r5 = runEngine(five, lin), u5 = runEngine(five, linU);
    for (int i : {0, 1}) {
        EXPECT_FALSE(wzmis(r5.qtlower[i]));
        EXPECT_TRUE(wzmis(r5.qtupper[i])) << r5.qtupper[i];
        EXPECT_EQ(r5.qtlower[i], u5.qtlower[i]);
        EXPECT_TRUE(wzmis(u5.qtupper[i]));
    }
    EXPECT_EQ(r5.qtupper[2], 4);
    // 900 of 902 light subjects fail at 1 beside one of weight 250: the
    // survival falls to 0.22, far below 0.75 and 0.5 (the 25th percentile
    // and the median are 1). The heavy one fails at 2 beside 2 light ones:
    // the variance becomes large enough for survival 0.0017 to be compatible
    // with both levels. A lower limit of 2 would exclude the percentile it
    // belongs to: it is removed.
    Sample b;
    b.add(1, true, 900, 1);
    b.add(2, true, 1, 250);
    b.add(3, false, 2, 1);
    b.rank();
    Result rb = runEngine(b, w);
    for (int i : {1, 2}) {
        EXPECT_EQ(rb.quant[i], 1);
        EXPECT_TRUE(wzmis(rb.qtlower[i]));
        EXPECT_TRUE(wzmis(rb.qtupper[i]));
    }
    EXPECT_EQ(rb.qtlower[0], 1);
}

// The mean: its end point and bias code.
TEST(Mean, EndPointAndBias)
{
    // Events at 2 and 4, censored at 6 (the largest time).
    Sample s = fromList({{2, 1}, {4, 1}, {6, 0}, {6, 0}});
    PlSettings def;
    Result r = runEngine(s, def);
    EXPECT_DOUBLE_EQ(r.mean, 2 * 1.0 + 2 * 0.75);
    EXPECT_EQ(r.bias, 4);
    PlSettings obs;
    obs.restric = -2;
    Result ro = runEngine(s, obs);
    EXPECT_DOUBLE_EQ(ro.mean, 2 + 2 * 0.75 + 2 * 0.5);
    EXPECT_EQ(ro.bias, 2);
    // TIMELIM= below the last event time: the area stops there.
    PlSettings below;
    below.restric = 3;
    Result rb = runEngine(s, below);
    EXPECT_DOUBLE_EQ(rb.mean, 2 + 1 * 0.75);
    EXPECT_EQ(rb.bias, 5);
    PlSettings beyond;
    beyond.restric = 8;
    Result rz = runEngine(s, beyond);
    EXPECT_DOUBLE_EQ(rz.mean, 2 + 2 * 0.75 + 4 * 0.5);
    EXPECT_EQ(rz.bias, 1);
    PlSettings between;
    between.restric = 5;
    EXPECT_EQ(runEngine(s, between).bias, 3);
    // With the last record an event the code is 0.
    Sample e = fromList({{2, 1}, {4, 1}});
    EXPECT_EQ(runEngine(e, def).bias, 0);
    EXPECT_EQ(runEngine(e, below).bias, 0);
}

// Restricting the mean to a time below the last event: the standard error
// is that of the curve cut at that time (the events after it carry no area).
TEST(Mean, RestrictedVarianceIgnoresLaterEvents)
{
    Sample s = caseSample("aml_n");
    PlSettings at;
    at.restric = 20;
    Result r = runEngine(s, at);
    // The same curve with every record after 20 censored at 20.
    Sample cut;
    for (size_t i = 0; i < s.times.size(); ++i) {
        bool ev = s.freqs[i] > 0 && s.times[i] <= 20;
        cut.add(std::min(s.times[i], 20.0), ev);
    }
    cut.rank();
    PlSettings obs;
    obs.restric = 20;
    Result rc = runEngine(cut, obs);
    EXPECT_TRUE(close(r.mean, rc.mean, 1e-12));
    // Same sums; the small-sample factor counts all events of the stratum.
    double n = s.cum - s.cen, nc = cut.cum - cut.cen;
    EXPECT_TRUE(close(r.mse * r.mse * (n - 1) / n, rc.mse * rc.mse * (nc - 1) / nc, 1e-12));
}

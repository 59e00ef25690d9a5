// Pointwise limits at the edges of their transforms, the membership tests,
// and the rows a stratum delivers: full OUTSURV=, TIMELIST= and INTERVALS=.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>

#include "support/estimate_sample.h"

using namespace est_test;
using korv_est::PlSettings;

namespace
{

struct Limits {
    double l, u;
};
Limits wcl(int ct, double se, double s, double crit = 1.96)
{
    Limits r{0, 0};
    korvwcl(ct, se, crit, s, &r.l, &r.u);
    return r;
}
bool both(Limits x)
{
    return wzmis(x.l) && wzmis(x.u);
}

} // namespace

TEST(Limits, EdgesOfEachTransform)
{
    // s = 1 with a positive standard error.
    EXPECT_EQ(wcl(1, 0.1, 1).u, 1.0);
    EXPECT_TRUE(both(wcl(2, 0.1, 1)));
    EXPECT_TRUE(both(wcl(3, 0.1, 1)));
    Limits lg = wcl(4, 0.1, 1);
    EXPECT_DOUBLE_EQ(lg.l, std::exp(-0.196));
    EXPECT_EQ(lg.u, 1.0);
    EXPECT_TRUE(both(wcl(5, 0.1, 1)));
    // s = 0.
    Limits l0 = wcl(1, 0.1, 0);
    EXPECT_EQ(l0.l, 0.0);
    EXPECT_DOUBLE_EQ(l0.u, 0.196);
    for (int ct = 2; ct <= 5; ++ct)
        EXPECT_TRUE(both(wcl(ct, 0.1, 0))) << ct;
    // A zero standard error: the estimate itself, unless it is (nearly) 0.
    for (int ct = 1; ct <= 5; ++ct) {
        Limits z = wcl(ct, 0, 0.4);
        EXPECT_EQ(z.l, 0.4);
        EXPECT_EQ(z.u, 0.4);
        EXPECT_TRUE(both(wcl(ct, 0, 1e-17)));
        EXPECT_TRUE(both(wcl(ct, korv_missing(), 0.5)));
        EXPECT_TRUE(both(wcl(ct, 0.1, korv_missing())));
    }
    // Clipping: arcsine's upper limit becomes 1 when it passes pi/2.
    EXPECT_EQ(wcl(2, 0.2, 0.95).u, 1.0);
    EXPECT_EQ(wcl(1, 0.3, 0.1).l, 0.0);
    // An unknown code leaves the limits as they were.
    Limits keep{7, 8};
    korvwcl(9, 0.1, 1.96, 0.5, &keep.l, &keep.u);
    EXPECT_EQ(keep.l, 7);
    // Logit with a huge standard error: no limits rather than overflow.
    EXPECT_TRUE(both(wcl(5, 1e3, 0.5)));
}

TEST(Limits, MembershipTests)
{
    EXPECT_EQ(qtLinear(0.6, 0.5, 0.05, 1.96), 0);
    EXPECT_EQ(qtLinear(0.6, 0.5, 0.06, 1.96), 1);
    for (QtTest t : {qtArcSineSqrt, qtLoglog, qtLogit}) {
        EXPECT_EQ(t(0, 0.5, 1, 1.96), 0);
        EXPECT_EQ(t(1, 0.5, 1, 1.96), 0);
    }
    EXPECT_EQ(qtLog(0, 0.5, 1, 1.96), 0);
    EXPECT_EQ(qtLog(1, 0.5, 1, 1.96), 1);
    // Each test agrees with its transform's limits: the level lies inside
    // the limits exactly when the test holds.
    for (int ct = 1; ct <= 5; ++ct)
        for (double x : {0.3, 0.45, 0.5, 0.58, 0.7})
            for (double se : {0.02, 0.05, 0.1}) {
                Limits l = wcl(ct, se, x);
                bool inside = l.l <= 0.5 && 0.5 <= l.u;
                EXPECT_EQ(korv_qt_test(ct)(x, 0.5, se, 1.96), inside ? 1 : 0)
                    << ct << " " << x << " " << se;
            }
    EXPECT_EQ(std::strcmp(korv_conftype_word(3), "LOGLOG  "), 0);
    EXPECT_EQ(std::strcmp(korv_conftype_word(2), "ASINSQRT"), 0);
}

namespace
{

// Records what a stratum delivers.
struct Capture : korv_est::PlSink {
    std::vector<korv_est::RowBuf> table, out, plot;
    std::vector<std::string> words;
    void tableRow(const korv_est::RowBuf& r) override { table.push_back(r); }
    void outRow(const korv_est::RowBuf& r, const char* w) override
    {
        out.push_back(r);
        words.emplace_back(w, 8);
    }
    void plotRow(const korv_est::RowBuf& r) override { plot.push_back(r); }
};

// 1 (event), 3 (event x2), 3 (censored), 5 (censored), 6 (event), 8 (censored).
Sample small()
{
    Sample s;
    s.add(3, true);
    s.add(1, true);
    s.add(3, false);
    s.add(3, true);
    s.add(5, false);
    s.add(6, true);
    s.add(8, false);
    s.rank();
    return s;
}

Capture runRows(const Sample& s, korv_est::PlOutputs o, PlSettings set = PlSettings{})
{
    korv_est::PlEngine e(s.data(set.weighted), set);
    Capture c;
    korv_est::korv_pl_run(e, o, c);
    return c;
}

} // namespace

TEST(Rows, EveryRecordAndFullOutsurv)
{
    Sample s = small();
    korv_est::PlOutputs o;
    o.printed = true;
    o.outsurv = true;
    Capture c = runRows(s, o);
    // Time-0 row and one row per record.
    ASSERT_EQ(c.table.size(), 8u);
    EXPECT_EQ(c.table[0].io[1], 1.0);
    EXPECT_TRUE(wzmis(c.table[0].cenchar));
    // The first event at 3 is not the end of its run: no survival yet.
    EXPECT_TRUE(wzmis(c.table[2].io[1]));
    EXPECT_DOUBLE_EQ(c.table[3].io[1], 6.0 / 7 * 4 / 6);
    EXPECT_EQ(c.table[3].io[19], 6.0); // number at risk
    EXPECT_EQ(c.table[3].io[20], 2.0); // observed events
    // The censored record at 3 does not repeat the count at risk.
    EXPECT_EQ(c.table[4].cenchar, 1.0);
    EXPECT_TRUE(wzmis(c.table[4].io[19]));
    EXPECT_EQ(c.table[5].io[19], 3.0); // censored at 5: three at risk
    EXPECT_EQ(c.table[7].io[7], 0.0);  // nothing left
    // OUTSURV=: time 0, each censored record, each event time.
    ASSERT_EQ(c.out.size(), 1u + 3 + 3);
    EXPECT_EQ(c.words[0], "        ");
    EXPECT_TRUE(wzmis(c.out[0].cenval));
    EXPECT_EQ(c.out[1].io[0], 1.0);
    EXPECT_EQ(c.words[1], "LOGLOG  ");
    // Censored before the last event time: survival in force; at or after
    // it (time 8 > 6): missing.
    EXPECT_EQ(c.out[3].cenval, 1.0);
    EXPECT_DOUBLE_EQ(c.out[3].io[1], 6.0 / 7 * 4 / 6);
    EXPECT_TRUE(wzmis(c.out[3].io[5]));
    EXPECT_TRUE(wzmis(c.out[6].io[1]));
    EXPECT_EQ(c.words[6], "        ");
}

TEST(Rows, TimelistRowsInForce)
{
    Sample s = small();
    const double tl[] = {0.5, 3, 4, 7, 10};
    korv_est::PlOutputs o;
    o.printed = true;
    o.outsurv = true;
    o.reduce = true;
    o.timelist = tl;
    o.ntime = 5;
    Capture c = runRows(s, o);
    ASSERT_EQ(c.table.size(), 5u);
    ASSERT_EQ(c.out.size(), 5u);
    const double s1 = 6.0 / 7, s3 = s1 * 4 / 6, s6 = s3 * 1 / 2;
    // Before the first event: the time-0 row.
    EXPECT_EQ(c.table[0].io[9], 0.5);
    EXPECT_EQ(c.table[0].io[0], 0.0);
    EXPECT_EQ(c.table[0].io[1], 1.0);
    // At 3: the event row of 3, with Left lowered by the censored record
    // still to come at 3.
    EXPECT_EQ(c.table[1].io[9], 3.0);
    EXPECT_DOUBLE_EQ(c.table[1].io[1], s3);
    EXPECT_EQ(c.table[1].io[7], 3.0);
    EXPECT_EQ(c.table[1].cenchar, 0.0);
    EXPECT_EQ(c.table[0].io[19], 7.0);
    EXPECT_EQ(c.table[0].io[20], 0.0);
    EXPECT_EQ(c.table[1].io[19], 6.0);
    EXPECT_EQ(c.table[1].io[20], 2.0);
    // At 4 and 7: the rows in force, with the count at risk at that time.
    EXPECT_DOUBLE_EQ(c.table[2].io[1], s3);
    EXPECT_EQ(c.table[2].io[19], 3.0);
    EXPECT_EQ(c.table[2].io[20], 0.0);
    EXPECT_EQ(c.table[3].io[19], 1.0);
    EXPECT_EQ(c.table[2].io[0], 3.0);
    EXPECT_DOUBLE_EQ(c.table[3].io[1], s6);
    // Past the largest time, which is censored: missing values.
    EXPECT_EQ(c.table[4].io[9], 10.0);
    EXPECT_TRUE(wzmis(c.table[4].io[1]));
    EXPECT_TRUE(wzmis(c.table[4].io[0]));
    // OUTSURV= rows carry recomputed limits; carried rows a blank word.
    EXPECT_EQ(c.out[0].cenval, 0.0);
    EXPECT_EQ(c.words[0], "        ");
    EXPECT_EQ(c.words[1], "LOGLOG  ");
    EXPECT_FALSE(wzmis(c.out[2].io[5]));
    double l, u;
    korvwcl(3, c.out[2].io[10], 1.959963984540054, s3, &l, &u);
    EXPECT_DOUBLE_EQ(c.out[2].io[5], l);
    EXPECT_DOUBLE_EQ(c.out[2].io[4], u);
}

// Weights near the largest double: a weighted count past it shows missing.
// The Left of a listed time is the count after every record at that time,
// as the row of the last of them shows it: formed in the pass's units, not
// by adding to a count already shown missing.
TEST(Rows, TimelistLeftOfWeightsNearTheLargestDouble)
{
    Sample s;
    s.add(1, true, 1, 1.5e308);
    s.add(3, true, 1, 1.0);
    s.add(3, false, 1, 1.5e308);
    s.add(6, true, 1, 1e308);
    s.rank();
    PlSettings set;
    set.weighted = true;
    korv_est::PlOutputs every;
    every.printed = true;
    const Capture all = runRows(s, every, set);
    ASSERT_EQ(all.table.size(), 5u);
    // After the event at 3: 2.5e308 ahead, past the largest double; after
    // the censored record at 3: 1e308.
    EXPECT_TRUE(wzmis(all.table[2].io[7]));
    EXPECT_EQ(all.table[3].io[7], 1e308);
    const double tl[] = {1, 3};
    korv_est::PlOutputs o;
    o.printed = true;
    o.timelist = tl;
    o.ntime = 2;
    const Capture c = runRows(s, o, set);
    ASSERT_EQ(c.table.size(), 2u);
    EXPECT_TRUE(wzmis(c.table[0].io[7]));
    EXPECT_EQ(c.table[1].io[9], 3.0);
    EXPECT_EQ(c.table[1].io[7], all.table[3].io[7]);
}

TEST(Rows, TimelistPastAnEventLastRecord)
{
    Sample s;
    s.add(2, true);
    s.add(4, true);
    s.rank();
    const double tl[] = {9};
    korv_est::PlOutputs o;
    o.printed = true;
    o.timelist = tl;
    o.ntime = 1;
    Capture c = runRows(s, o);
    ASSERT_EQ(c.table.size(), 1u);
    EXPECT_EQ(c.table[0].io[1], 0.0);
    EXPECT_EQ(c.table[0].io[19], 0.0);
    EXPECT_EQ(c.table[0].io[20], 0.0);
}

TEST(Rows, IntervalRows)
{
    Sample s = small();
    const double iv[] = {0, 2, 4, 7};
    korv_est::PlOutputs o;
    o.printed = true;
    o.outsurv = true;
    o.reduce = true;
    o.interval = iv;
    o.ninter = 4;
    Capture c = runRows(s, o);
    // Time 0, the first event at or after 0 (1), at or after 2 (3), at or
    // after 4 (6), and the last record (8).
    ASSERT_EQ(c.table.size(), 5u);
    EXPECT_EQ(c.table[1].io[0], 1.0);
    EXPECT_EQ(c.table[2].io[0], 3.0);
    EXPECT_EQ(c.table[3].io[0], 6.0);
    EXPECT_EQ(c.table[4].io[0], 8.0);
    ASSERT_EQ(c.out.size(), 5u);
    // The last record, censored: a censored row with the survival in force.
    EXPECT_EQ(c.out[4].cenval, 1.0);
    EXPECT_FALSE(wzmis(c.out[4].io[1]));
    EXPECT_EQ(c.words[3], "LOGLOG  ");
}

// Quartiles and the mean are computed when nothing is printed (the graphs
// and later stages read them).
TEST(Mended, ResultsWithoutPrintedTable)
{
    Sample s = caseSample("aml_n");
    korv_est::PlEngine e(s.data(), PlSettings{});
    Capture c;
    korv_est::korv_pl_run(e, korv_est::PlOutputs{}, c);
    EXPECT_TRUE(c.table.empty());
    EXPECT_FALSE(wzmis(e.quant[1]));
    EXPECT_FALSE(wzmis(e.qtlower[1]));
    EXPECT_FALSE(wzmis(e.mean));
    EXPECT_FALSE(wzmis(e.mse));
}

TEST(Rows, PlotPoints)
{
    Sample s = small();
    korv_est::PlOutputs o;
    o.plot = true;
    Capture c = runRows(s, o);
    // Time 0, three censored records, three event times.
    ASSERT_EQ(c.plot.size(), 7u);
    EXPECT_EQ(c.plot[0].io[22], 7.0);
    EXPECT_EQ(c.plot[2].io[21], 2.0); // two events at 3
    EXPECT_EQ(c.plot[2].io[22], 6.0);
    EXPECT_TRUE(wzmis(c.plot[3].io[1])); // censored: only the mark
    EXPECT_DOUBLE_EQ(c.plot[3].io[24], c.plot[2].io[1]);
    EXPECT_FALSE(wzmis(c.plot[6].io[1])); // the last record carries the survival
}

TEST(Rows, HiddenPlotDataKeepOneCensoredRowPerMarkTheGraphCanDraw)
{
    // Events at 1 and 6; censored records at 2, 2, 2.0001, 2.5, 3 (the same
    // survival) and 7, 7.0001, 8 (the last). Thinned over [0, 8] in 4096
    // columns: 2 and 2.0001 share a column (one mark), 2.5 and 3 do not;
    // 7.0001 shares 7's column, and 8 is the stratum's last row. A keep
    // time at 2.0001 keeps the first row at or after it all the same.
    Sample s;
    for (double t : {1.0, 6.0})
        s.add(t, true);
    for (double t : {2.0, 2.0, 2.0001, 2.5, 3.0, 7.0, 7.0001, 8.0})
        s.add(t, false);
    s.rank();
    korv_est::PlOutputs o;
    o.plot = true;
    auto censoredTimes = [](const Capture& c) {
        std::vector<double> v;
        for (const korv_est::RowBuf& r : c.plot)
            if (!wzmis(r.io[pl_slot::CENSORED]))
                v.push_back(r.io[pl_slot::TIME]);
        return v;
    };
    // Every record's row without thinning (PRINTPHANTOM).
    Capture all = runRows(s, o);
    EXPECT_EQ(censoredTimes(all).size(), 8u);
    o.thinMarks = true;
    o.markEnd = 8;
    Capture thin = runRows(s, o);
    EXPECT_EQ(censoredTimes(thin), (std::vector<double>{2, 2.5, 3, 7, 8}));
    // The event rows and the time-0 row stay; the last row carries the curve.
    EXPECT_EQ(thin.plot.size(), all.plot.size() - 3);
    EXPECT_FALSE(wzmis(thin.plot.back().io[pl_slot::SURV]));
    o.keepTimes = {2.0001};
    EXPECT_EQ(censoredTimes(runRows(s, o)), (std::vector<double>{2, 2.0001, 2.5, 3, 7, 8}));
    // MAXTIME= 4: the columns span [0, 4], finer; past it every row falls in
    // the last column (not drawn) but for the stratum's last.
    o.keepTimes.clear();
    o.markEnd = 4;
    EXPECT_EQ(censoredTimes(runRows(s, o)), (std::vector<double>{2, 2.5, 3, 7, 8}));
}

// The rows of the plot-data table made from the paged records: the at-risk
// rows at the ticks and the row at the band's end, read back from the
// output layer's document.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <vector>

#include "common/options.h"
#include "common/strata.h"
#include "estimate/plotdata.h"
#include "host/output/layer.h"
#include "runtime/missing.h"
#include "support/wob_setup.h"
#include "vyr_files.h"

namespace
{

const double m = korv_missing();

struct Rec {
    double t, s, cens, lcl, ucl, hwl, hwu, epl, epu, ev, risk;
};

// A plot-data table bound to the common block's row slots, filled from the
// records through the paged store; returns its rows (Time, Survival,
// Failure, HW_LCL, HW_UCL, AtRisk, tAtRisk).
std::vector<std::vector<double>> phantomRows(KORVCOM& q, const std::vector<Rec>& recs,
                                             double bandmax, ATRISKTIME* art = nullptr)
{
    vdq::takeCurrentStep();
    xobop mgr = wobtest::manager();
    xobop t = wobtest::table(mgr, "Phantom", "Plot Data");
    q.art = art;
    wobtest::column(t, 5, "Time", &q.iovar[0]);
    wobtest::column(t, 5, "Survival", &q.iovar[1]);
    wobtest::column(t, 5, "Failure", &q.iovar[2]);
    wobtest::column(t, 5, "HW_LCL", &q.iovar[11]);
    wobtest::column(t, 5, "HW_UCL", &q.iovar[12]);
    wobtest::column(t, 5, "AtRisk", &q.iovar[22]);
    static double none = korv_missing();
    wobtest::column(t, 5, "tAtRisk", art ? &art->time2 : &none);
    wobmth(t, nullptr, WOB_SEL_END_COLUMNS, 0, nullptr);
    q.Phantom = t;
    xobop out = wobtest::output(mgr, t, "Stat.Korvante.Phantom");

    XCBSTR xcb{};
    long a = 0, b = 0, minimal = 0, standard = 0, n = 0;
    xcbinfo(&a, &b, &minimal, &standard, &n);
    long pagesize = minimal;
    EXPECT_EQ(xcbopen(&pagesize, 1, &xcb.fileptr), 0);
    xcb.reclen = 88;
    xcb.nrpp = 3;
    PlotStore store(&xcb);
    store.begin(&xcb);
    for (const Rec& r : recs) {
        double f[PLOTREC_FIELDS] = {r.t,   r.s,   r.cens, r.lcl, r.ucl, r.hwl,
                                    r.hwu, r.epl, r.epu,  r.ev,  r.risk};
        store.put(f);
    }
    store.finish();
    XcbToTable(&q, &xcb, static_cast<long>(recs.size()), bandmax);
    xcbclose(xcb.fileptr);
    wobtest::finish(mgr, t, out);
    vdq::StepDoc doc = vdq::takeCurrentStep();
    std::vector<std::vector<double>> rows;
    for (const vdq::NodePtr& nd : doc.items)
        if (nd->kind == vdq::Node::Table)
            for (size_t r = 0; r < nd->rows.size(); ++r) {
                rows.emplace_back();
                for (size_t c = 0; c < nd->rows.width(r); ++c)
                    rows.back().push_back(nd->rows.number(r, c));
            }
    return rows;
}

bool same(double a, double b)
{
    return (wzmis(a) && wzmis(b)) || a == b;
}

// A stratum with events at 2 and 5, censored at 3, band limits made for
// the event times.
std::vector<Rec> stratum()
{
    return {{0, 1, m, 1, 1, m, m, m, m, 0, 10},
            {2, 0.9, m, 0.7, 0.97, 0.6, 0.99, m, m, 1, 10},
            {3, m, 0.9, m, m, m, m, m, m, 0, 9},
            {5, 0.7, m, 0.5, 0.85, 0.4, 0.9, m, m, 2, 8},
            {7, 0.7, 0.7, m, m, m, m, m, m, 0, 6}};
}

} // namespace

TEST(PhantomRows, TheBandEndRowCarriesTheSurvivalInForceThere)
{
    KORVCOM q{};
    q.vdqgraph = 0x1001; // survival with the Hall-Wellner band
    // The band ends at 4, between the records at 3 and 5: one row at 4
    // with the survival then held (0.9, not the 0.7 reached at 5), its
    // failure, and the band limits in force.
    const auto rows = phantomRows(q, stratum(), 4);
    ASSERT_EQ(rows.size(), 6u);
    const std::vector<double>& end = rows[3];
    EXPECT_EQ(end[0], 4);
    EXPECT_EQ(end[1], 0.9);
    EXPECT_DOUBLE_EQ(end[2], 1 - 0.9);
    EXPECT_EQ(end[3], 0.6);
    EXPECT_EQ(end[4], 0.99);
    EXPECT_EQ(rows[4][0], 5);
}

TEST(PhantomRows, ACensoredRecordAtTheBandEndRepeatsItsEventsLimits)
{
    KORVCOM q{};
    q.vdqgraph = 0x1001;
    // The band ends at 5, where the event is followed by a censored record
    // of the same time: both rows hold the limits at 5, not those at 2.
    std::vector<Rec> recs = stratum();
    recs.back().t = 5;
    const auto rows = phantomRows(q, recs, 5);
    ASSERT_EQ(rows.size(), 5u);
    for (size_t r : {3u, 4u}) {
        EXPECT_EQ(rows[r][0], 5);
        EXPECT_EQ(rows[r][3], 0.4);
        EXPECT_EQ(rows[r][4], 0.9);
    }
}

TEST(PhantomRows, NoBandEndRowBeforeTheFirstRecord)
{
    KORVCOM q{};
    q.vdqgraph = 0x1001;
    // A band end of -1 (asked for in a stratum without events) is no band.
    auto rows = phantomRows(q, stratum(), -1);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0][0], 0);
    // Without a band: the records' rows alone.
    rows = phantomRows(q, stratum(), DBL_MAX);
    EXPECT_EQ(rows.size(), 5u);
}

TEST(PhantomRows, AtRiskRowsAtTheTicks)
{
    KORVCOM q{};
    q.vdqgraph = 0x8001;
    ATRISKTIME art{};
    double ticks[] = {0, 3, 4, 7, 9, 11};
    art.t = ticks;
    art.n = 6;
    const auto rows = phantomRows(q, stratum(), DBL_MAX, &art);
    // The tick at 0 before the second record with the total; the tick at a
    // record's time (3) before the next record with that record's count;
    // 4 with the next record's count; the last time's tick after it with
    // its count; then no more (a row of 0 comes only for a tick past the
    // last time when no tick fell on it).
    std::vector<std::pair<double, double>> got;
    for (const auto& r : rows)
        if (!wzmis(r[6]))
            got.push_back({r[6], r[5]});
    const std::vector<std::pair<double, double>> want = {{0, 10}, {3, 9}, {4, 8}, {7, 6}};
    EXPECT_EQ(got, want);
    for (const auto& r : rows)
        if (!wzmis(r[6])) {
            EXPECT_TRUE(same(r[1], m));
        }
}

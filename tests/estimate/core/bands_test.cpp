// Confidence bands: the critical values against an independent computation
// of the Brownian-bridge supremum and of the Miller-Siegmund equation, the
// limits against km.ci (tests/reference/lifetable.R), the bands' time range,
// and frequencies as given (FREQ data against expanded data: run_test.cpp).
//
// Differences of definition with km.ci: its critical values are interpolated
// in printed tables, not bilinearly, and an equal-precision range starting
// below the table is read at the table's edge (on these samples they differ
// from the computed values by up to 0.005 for Hall-Wellner and 0.026 for
// equal precision, which moves the log-log limits by up to 0.007); with its
// own critical values its limits are these to rounding. Its linear limits
// are not kept within [0, 1], and its log transform is the log-log
// transform here (CONFTYPE=LOGLOG).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "support/estimate_sample.h"

using namespace est_test;
using korv_est::BandRange;
using korv_est::PlSettings;

namespace
{

korv_est::BandInput input(const Sample& s)
{
    korv_est::BandInput in;
    in.times = s.times.data();
    in.freqs = s.freqs.data();
    in.indxs = s.indxs.data();
    in.nobs = static_cast<int64_t>(s.times.size());
    in.cum = s.cum;
    return in;
}

BandRange range(const Sample& s, int choice = 3, double bandmin = -1, double bandmax = -1)
{
    korv_est::BandSettings set;
    set.bandmin = bandmin;
    set.bandmax = bandmax;
    return korv_est::bandRange(input(s), choice, set);
}

struct Capture : korv_est::PlSink {
    std::vector<korv_est::RowBuf> out;
    void tableRow(const korv_est::RowBuf&) override {}
    void outRow(const korv_est::RowBuf& r, const char*) override { out.push_back(r); }
};

// The OUTSURV= rows of a stratum with its bands.
std::vector<korv_est::RowBuf> bandRows(const Sample& s, int conftype, const BandRange& r,
                                       int choice = 3, bool weighted = false,
                                       korv_est::PlOutputs o = korv_est::PlOutputs{})
{
    PlSettings set;
    set.conftype = conftype;
    set.weighted = weighted;
    korv_est::PlEngine e(s.data(weighted), set);
    korv_est::PlBands b = korv_est::PlBands::make(r, choice, conftype);
    o.outsurv = true;
    o.bands = &b;
    Capture c;
    korv_est::korv_pl_run(e, o, c);
    return c.out;
}

// The event rows (CONFTYPE word and _CENSOR_ 0) by time.
const korv_est::RowBuf* eventRow(const std::vector<korv_est::RowBuf>& rows, double t)
{
    for (const auto& r : rows)
        if (r.cenval == 0 && r.io[0] == t)
            return &r;
    return nullptr;
}

bool missing(double v)
{
    return wzmis(v) || std::isnan(v);
}

double clip(double v)
{
    return std::fmin(std::fmax(v, 0.0), 1.0);
}

} // namespace

TEST(BandPeer, CriticalValuesMatchTheBridgeAndMillerSiegmund)
{
    Table crit("bands_crit.csv");
    for (size_t r = 0; r < crit.size(); ++r) {
        const std::string id = crit.text(r, "case");
        SCOPED_TRACE(id);
        Sample s = caseSample(id);
        BandRange b = range(s);
        EXPECT_EQ(b.n, crit.num(r, "n"));
        EXPECT_EQ(b.lowerHW, crit.num(r, "tl"));
        EXPECT_EQ(b.lowerEP, crit.num(r, "tl"));
        // The grid computation of the bridge is good to about 1e-5.
        EXPECT_NEAR(b.hwCrit, crit.num(r, "hw_crit"), 1e-4);
        EXPECT_NEAR(b.epCrit, crit.num(r, "ep_crit"), 1e-6);
        // km.ci ends the band at the last event time that leaves someone at
        // risk; here it ends just below the last event time (or at it when a
        // censored time ties with it or follows it): the same event times.
        const double tu = crit.num(r, "tu");
        EXPECT_GE(b.upper, tu);
        for (size_t i = 0; i < s.times.size(); ++i) {
            if (s.freqs[i] > 0 && s.times[i] > tu) {
                EXPECT_GT(s.times[i], b.upper);
            }
        }
    }
}

TEST(BandPeer, LimitsMatchKmCi)
{
    Table crit("bands_crit.csv");
    Table lim("bands_limits.csv");
    for (size_t c = 0; c < crit.size(); ++c) {
        const std::string id = crit.text(c, "case");
        Sample s = caseSample(id);
        BandRange b = range(s);
        const auto lin = bandRows(s, 1, b);
        const auto loglog = bandRows(s, 3, b);
        size_t seen = 0;
        for (size_t r = 0; r < lim.size(); ++r) {
            if (lim.text(r, "case") != id)
                continue;
            const double t = lim.num(r, "time");
            SCOPED_TRACE(id + " t=" + std::to_string(t));
            const auto* a = eventRow(lin, t);
            const auto* g = eventRow(loglog, t);
            ASSERT_TRUE(a && g);
            ++seen;
            EXPECT_NEAR(a->io[1], lim.num(r, "surv"), 1e-14);
            // The same formulas with critical values that agree to 1e-4.
            EXPECT_NEAR(a->io[11], clip(lim.num(r, "hw_lin_l")), 1e-4);
            EXPECT_NEAR(a->io[12], clip(lim.num(r, "hw_lin_u")), 1e-4);
            EXPECT_NEAR(a->io[13], clip(lim.num(r, "ep_lin_l")), 1e-6);
            EXPECT_NEAR(a->io[14], clip(lim.num(r, "ep_lin_u")), 1e-6);
            EXPECT_NEAR(g->io[11], lim.num(r, "hw_log_l"), 1e-4);
            EXPECT_NEAR(g->io[12], lim.num(r, "hw_log_u"), 1e-4);
            EXPECT_NEAR(g->io[13], lim.num(r, "ep_log_l"), 1e-6);
            EXPECT_NEAR(g->io[14], lim.num(r, "ep_log_u"), 1e-6);
            // km.ci itself, with critical values interpolated in its tables.
            EXPECT_NEAR(a->io[11], clip(lim.num(r, "kmci_hw_lin_l")), 5e-3);
            EXPECT_NEAR(a->io[12], clip(lim.num(r, "kmci_hw_lin_u")), 5e-3);
            EXPECT_NEAR(a->io[13], clip(lim.num(r, "kmci_ep_lin_l")), 1e-2);
            EXPECT_NEAR(a->io[14], clip(lim.num(r, "kmci_ep_lin_u")), 1e-2);
            EXPECT_NEAR(g->io[11], lim.num(r, "kmci_hw_log_l"), 5e-3);
            EXPECT_NEAR(g->io[12], lim.num(r, "kmci_hw_log_u"), 5e-3);
            EXPECT_NEAR(g->io[13], lim.num(r, "kmci_ep_log_l"), 1e-2);
            EXPECT_NEAR(g->io[14], lim.num(r, "kmci_ep_log_u"), 1e-2);
        }
        // Event times outside the band have no band limits.
        size_t banded = 0;
        for (const auto& row : lin)
            if (row.cenval == 0 && !missing(row.io[11]))
                ++banded;
        EXPECT_EQ(banded, seen) << id;
    }
}

// Fractional frequencies (NOTRUNCATE) are the frequencies the estimator
// uses; the band's scale does not change when every frequency is halved.
TEST(Bands, FractionalFrequenciesAreKept)
{
    Sample whole = caseSample("aml_n");
    Sample half;
    for (size_t i = 0; i < whole.times.size(); ++i)
        half.add(whole.times[i], whole.freqs[i] > 0, 0.5);
    half.rank();
    BandRange a = range(whole), b = range(half);
    ASSERT_FALSE(missing(b.hwCrit));
    EXPECT_NEAR(a.hwCrit, b.hwCrit, 1e-12);
    EXPECT_NEAR(a.epCrit, b.epCrit, 1e-12);
    EXPECT_EQ(a.lowerHW, b.lowerHW);
    EXPECT_EQ(a.upper, b.upper);
}

TEST(Bands, NoEventMeansNoBand)
{
    Sample s;
    s.add(2, false);
    s.add(5, false);
    s.add(7, false);
    s.rank();
    for (double bandmax : {-1.0, 6.0}) {
        BandRange b = range(s, 3, -1, bandmax);
        // No band end to mark either: no plot-data row at time -1 (or at
        // BANDMAX) for a stratum without a band.
        EXPECT_EQ(b.upper, DBL_MAX);
        EXPECT_TRUE(missing(b.hwCrit));
        EXPECT_TRUE(missing(b.epCrit));
        for (const auto& row : bandRows(s, 3, b))
            for (int slot = 11; slot <= 14; ++slot)
                EXPECT_TRUE(missing(row.io[slot]));
    }
}

TEST(Bands, TimeRange)
{
    // Events at 1, 3, 3, 6, 9; censored at 4 and, in `later`, at 12.
    Sample s;
    for (double t : {1.0, 3.0, 3.0, 6.0, 9.0})
        s.add(t, true);
    s.add(4, false);
    s.rank();
    Sample later = s;
    later.add(12, false);
    later.rank();

    BandRange b = range(s);
    EXPECT_EQ(b.lowerHW, 1);
    EXPECT_EQ(b.lowerEP, 1);
    // The last record is the event at 9, which empties the risk set: the
    // band ends just below it.
    EXPECT_LT(b.upper, 9);
    EXPECT_GT(b.upper, 9 - 1e-7);
    EXPECT_EQ(range(later).upper, 9);

    // BANDMIN=0: the Hall-Wellner band starts at 0 and the time-0 row gets
    // its limits; the equal-precision band still starts at the first event.
    BandRange z = range(later, 3, 0);
    EXPECT_EQ(z.lowerHW, 0);
    EXPECT_EQ(z.lowerEP, 1);
    const auto rows = bandRows(later, 1, z);
    ASSERT_FALSE(rows.empty());
    double l = 0, u = 0;
    korvwcl(1, 1 / std::sqrt(later.cum), z.hwCrit, 1, &l, &u);
    EXPECT_EQ(rows[0].io[11], l);
    EXPECT_EQ(rows[0].io[12], u);
    EXPECT_TRUE(missing(rows[0].io[13]));
    // Without BANDMIN=0 the time-0 row has none.
    EXPECT_TRUE(missing(bandRows(later, 1, range(later))[0].io[11]));

    // BANDMIN after the first event time: both bands start there.
    BandRange m = range(later, 3, 2);
    EXPECT_EQ(m.lowerHW, 2);
    EXPECT_EQ(m.lowerEP, 2);
    EXPECT_TRUE(missing(eventRow(bandRows(later, 1, m), 1)->io[11]));
    EXPECT_FALSE(missing(eventRow(bandRows(later, 1, m), 3)->io[11]));

    // BANDMAX before the last event time ends both bands there; after it,
    // the last event time decides.
    BandRange e = range(later, 3, -1, 5);
    EXPECT_EQ(e.upper, 5);
    const auto er = bandRows(later, 1, e);
    EXPECT_FALSE(missing(eventRow(er, 3)->io[13]));
    EXPECT_TRUE(missing(eventRow(er, 6)->io[11]));
    EXPECT_TRUE(missing(eventRow(er, 6)->io[13]));
    EXPECT_EQ(range(later, 3, -1, 50).upper, 9);
    EXPECT_LT(range(s, 3, -1, 50).upper, 9);
}

// A censored time tied with the last event time keeps someone at risk after
// it, as a later one does: the limits there are the same, with or without
// BANDMAX= at that time.
TEST(Bands, ACensoredTimeTiedWithTheLastEventLeavesItsLimits)
{
    const Sample tied = caseSample("tied_last");
    Sample later;
    for (size_t i = 0; i < tied.times.size(); ++i) {
        const bool event = tied.freqs[i] > 0;
        later.add(!event && tied.times[i] == 10 ? 10.5 : tied.times[i], event);
    }
    later.rank();
    for (double bandmax : {-1.0, 10.0}) {
        SCOPED_TRACE(bandmax);
        EXPECT_EQ(range(tied, 3, -1, bandmax).upper, 10);
        const auto tiedRows = bandRows(tied, 3, range(tied, 3, -1, bandmax));
        const auto laterRows = bandRows(later, 3, range(later, 3, -1, bandmax));
        const auto* a = eventRow(tiedRows, 10);
        const auto* b = eventRow(laterRows, 10);
        ASSERT_TRUE(a && b);
        for (int slot = 11; slot <= 14; ++slot) {
            EXPECT_FALSE(missing(a->io[slot])) << slot;
            EXPECT_EQ(a->io[slot], b->io[slot]) << slot;
        }
    }
}

// Times of the size of date-times (seconds since 1960): "just below the last
// event time" must stay below it, so that the event that empties the risk
// set is not in the band.
TEST(Bands, EndStaysBelowTheLastEventAtAnyScale)
{
    for (double base : {1.0, 2e9, 1e15}) {
        Sample s;
        for (double k : {1.0, 2.0, 3.0, 4.0})
            s.add(base + k * base * 1e-3, true);
        s.rank();
        const double last = base + 4 * base * 1e-3;
        EXPECT_LT(range(s).upper, last) << base;
    }
}

// The rows at TIMELIST= values carry the band limits of the event time in
// force, as the full data set shows them at that time.
TEST(Bands, TimelistRowsCarryTheirEventTimeBands)
{
    Sample s = caseSample("aml_m");
    BandRange b = range(s, 3, 0);
    const auto full = bandRows(s, 3, b);
    static const double list[] = {0, 10, 20, 30, 40};
    korv_est::PlOutputs o;
    o.reduce = true;
    o.timelist = list;
    o.ntime = 5;
    const auto reduced = bandRows(s, 3, b, 3, false, o);
    ASSERT_EQ(reduced.size(), 5u);
    // In force at 10: the event at 9; at 20: 18; at 30: 23; at 40: 34.
    const double inForce[] = {0, 9, 18, 23, 34};
    for (size_t i = 0; i < 5; ++i) {
        const korv_est::RowBuf* ev = inForce[i] == 0 ? &full[0] : eventRow(full, inForce[i]);
        ASSERT_TRUE(ev);
        for (int slot = 11; slot <= 14; ++slot) {
            if (missing(ev->io[slot]))
                EXPECT_TRUE(missing(reduced[i].io[slot]));
            else
                EXPECT_EQ(reduced[i].io[slot], ev->io[slot]) << i << " " << slot;
        }
    }
}

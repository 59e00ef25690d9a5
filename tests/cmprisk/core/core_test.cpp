// The competing-risks core against its peers and its own rules: the
// cumulative incidence and both variances (cmprsk::cuminc, etm), the rows at
// TIMELIST= times (cmprsk::timepoints), Gray's test (cmprsk, with singular
// covariances through a generalized inverse), exact rational references for
// fractional frequencies, the rows each output gets, and the record order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cmprisk/cmprisk.h"
#include "runtime/missing.h"
#include "support/reference.h"

using korvtest::Near;
using korvtest::Table;

namespace
{

struct Rec {
    double time;
    int status;
    std::string group, strat;
    double freq;
};

// The records of a case of cmprisk_data.csv, or of cmprisk_ends_data.csv
// (no strata).
std::vector<Rec> caseRecords(const std::string& id, const std::string& file = "cmprisk_data.csv")
{
    static std::map<std::string, Table> tables;
    const Table& t = tables.try_emplace(file, file).first->second;
    const bool strata = file == "cmprisk_data.csv";
    std::vector<Rec> out;
    for (size_t r = 0; r < t.size(); ++r)
        if (t.text(r, "case") == id)
            out.push_back(Rec{t.num(r, "time"), static_cast<int>(t.num(r, "status")),
                              t.text(r, "group"), strata ? t.text(r, "strat") : "",
                              t.num(r, "freq")});
    return out;
}

// A cell's (or group's) records in time order as the walks read them; the
// status is the category (causes numbered 1.. in ascending order).
struct Cell {
    std::vector<double> time, freq;
    std::vector<int32_t> cat;
    double total = 0, maxtime = 0;
    korv_cr::Span span() const
    {
        korv_cr::Span s;
        s.time = time.data();
        s.freq = freq.data();
        s.cat = cat.data();
        s.n = static_cast<int64_t>(time.size());
        return s;
    }
};

Cell makeCell(std::vector<Rec> recs)
{
    std::stable_sort(recs.begin(), recs.end(),
                     [](const Rec& a, const Rec& b) { return a.time < b.time; });
    Cell c;
    for (const Rec& r : recs) {
        c.time.push_back(r.time);
        c.freq.push_back(r.freq);
        c.cat.push_back(r.status);
        c.total += r.freq;
        c.maxtime = std::max(c.maxtime, r.time);
    }
    return c;
}

// Roles when `cause` is the event of interest, over categories 0..ncat-1.
std::vector<int> roles(int cause, int ncat)
{
    std::vector<int> r(static_cast<size_t>(ncat), 2);
    r[0] = 0;
    r[static_cast<size_t>(cause)] = 1;
    return r;
}

struct Capture : korv_cr::CifSink {
    std::vector<korv_cr::CifRow> table, plot;
    std::vector<CIFOUTREC> out;
    void tableRow(const korv_cr::CifRow& r) override { table.push_back(r); }
    void plotRow(const korv_cr::CifRow& r) override { plot.push_back(r); }
    void outRow(const CIFOUTREC& r) override { out.push_back(r); }
};

korv_cr::CifSettings settings(const Cell& c)
{
    korv_cr::CifSettings s;
    s.table = true;
    s.nrisk = c.total;
    s.maxtime = c.maxtime;
    return s;
}

Capture walk(const korv_cr::CifSettings& s, const Cell& c, int cause, int ncat = 4)
{
    Capture cap;
    const auto r = roles(cause, ncat);
    const korv_cr::Gathered g(c.span(), ncat);
    korv_cr::cifWalk(s, g.view, r.data(), ncat, cap);
    return cap;
}

// Gray's score and covariance of groups given as cells.
void gray(const std::vector<Cell>& cells, int cause, int ncat, double rho, double* score,
          double* var)
{
    std::vector<korv_cr::Gathered> g;
    std::vector<korv_cr::Timed> streams;
    for (const Cell& c : cells)
        g.emplace_back(c.span(), ncat);
    for (size_t i = 0; i < cells.size(); ++i)
        streams.push_back(g[i].view);
    const auto rl = roles(cause, ncat);
    korv_cr::grayWalk(streams.data(), static_cast<int>(cells.size()), rl.data(), ncat, rho, score,
                      var);
}

bool missing(double v)
{
    return wzmis(v) != 0;
}

std::vector<Rec> filter(const std::vector<Rec>& all, const std::string& strat,
                        const std::string& group)
{
    std::vector<Rec> out;
    for (const Rec& r : all)
        if ((strat.empty() || r.strat == strat) && (group.empty() || r.group == group))
            out.push_back(r);
    return out;
}

} // namespace

// The estimate and its variance at every event time of interest, under both
// variance estimators: Aalen-type against cmprsk, delta method against etm.
TEST(CifPeers, EstimatesAndVariancesMatchCumincAndEtm)
{
    Table ref("cmprisk_cif.csv");
    std::map<std::string, std::vector<size_t>> byCell;
    for (size_t r = 0; r < ref.size(); ++r)
        byCell[ref.text(r, "case") + "|" + ref.text(r, "strat") + "|" + ref.text(r, "group") + "|" +
               ref.text(r, "cause")]
            .push_back(r);
    ASSERT_GE(byCell.size(), 30u);
    for (const auto& [key, rows] : byCell) {
        const size_t r0 = rows[0];
        const Cell cell = makeCell(filter(caseRecords(ref.text(r0, "case")), ref.text(r0, "strat"),
                                          ref.text(r0, "group")));
        const int cause = static_cast<int>(ref.num(r0, "cause"));
        for (int error : {0, 1}) {
            SCOPED_TRACE(key + (error ? " delta" : " aalen"));
            korv_cr::CifSettings s = settings(cell);
            s.error = error;
            s.printVar = true;
            const Capture cap = walk(s, cell, cause);
            // The time-0 row, then one row per event time of interest.
            ASSERT_EQ(cap.table.size(), rows.size() + 1);
            EXPECT_EQ(cap.table[0].time, 0);
            for (size_t i = 0; i < rows.size(); ++i) {
                const korv_cr::CifRow& row = cap.table[i + 1];
                EXPECT_EQ(row.time, ref.num(rows[i], "time"));
                EXPECT_TRUE(Near(row.cif, ref.num(rows[i], "cif"), 1e-12, 1e-15));
                EXPECT_TRUE(Near(row.err, ref.num(rows[i], error ? "var_delta" : "var_aalen"), 1e-9,
                                 1e-15));
            }
        }
    }
}

// The table at TIMELIST= times: the estimate of the last event time at or
// before the listed time, as cmprsk::timepoints gives it; past the cell's
// largest time the row is missing (timepoints: NA past its last time).
TEST(CifPeers, TimelistRowsMatchTimepoints)
{
    Table ref("cmprisk_timelist.csv");
    const std::vector<double> tl = {0.5, 2, 3.5, 6, 100};
    std::map<std::string, std::vector<size_t>> byCell;
    for (size_t r = 0; r < ref.size(); ++r)
        byCell[ref.text(r, "case") + "|" + ref.text(r, "strat") + "|" + ref.text(r, "group") + "|" +
               ref.text(r, "cause")]
            .push_back(r);
    for (const auto& [key, rows] : byCell) {
        SCOPED_TRACE(key);
        const size_t r0 = rows[0];
        const Cell cell = makeCell(filter(caseRecords(ref.text(r0, "case")), ref.text(r0, "strat"),
                                          ref.text(r0, "group")));
        korv_cr::CifSettings s = settings(cell);
        s.printVar = true;
        s.timelist = tl.data();
        s.ntime = static_cast<int>(tl.size());
        const Capture cap = walk(s, cell, static_cast<int>(ref.num(r0, "cause")));
        ASSERT_EQ(cap.table.size(), tl.size());
        for (size_t i = 0; i < tl.size(); ++i) {
            const korv_cr::CifRow& row = cap.table[i];
            EXPECT_EQ(row.timelist, tl[i]);
            const double want = ref.num(rows[i], "cif");
            if (tl[i] > cell.maxtime) {
                EXPECT_TRUE(missing(row.cif));
                EXPECT_TRUE(missing(row.time));
            } else if (!std::isnan(want)) {
                EXPECT_TRUE(Near(row.cif, want, 1e-12, 1e-15)) << tl[i];
                EXPECT_TRUE(Near(row.err, ref.num(rows[i], "var_aalen"), 1e-9, 1e-15)) << tl[i];
                EXPECT_LE(row.time, tl[i]);
            }
        }
    }
}

// Gray's statistic and degrees of freedom, pooled over strata and within
// strata, rho 0 and 1, against cmprsk's score and covariance; where the
// covariance is singular the degrees of freedom are its rank (cmprsk itself
// gives -1), and with no rank the statistic is 0 with a missing p-value.
TEST(GrayPeers, StatisticsMatchCmprsk)
{
    Table ref("cmprisk_gray.csv");
    ASSERT_GE(ref.size(), 20u);
    bool singular = false, none = false;
    for (size_t r = 0; r < ref.size(); ++r) {
        const std::string id = ref.text(r, "case"), design = ref.text(r, "design");
        SCOPED_TRACE(id + " " + design + " rho " + ref.text(r, "rho") + " cause " +
                     ref.text(r, "cause"));
        const std::vector<Rec> all = caseRecords(id);
        std::set<std::string> groupSet, strataSet;
        for (const Rec& x : all) {
            groupSet.insert(x.group);
            strataSet.insert(x.strat);
        }
        const std::vector<std::string> groups(groupSet.begin(), groupSet.end());
        std::vector<std::string> strata(strataSet.begin(), strataSet.end());
        if (design == "unstratified")
            strata = {""};
        const int K = static_cast<int>(groups.size());
        std::vector<double> var(static_cast<size_t>((K + 1) * (K + 2) / 2), 0.0);
        double* score = var.data() + K * (K + 1) / 2;
        for (const std::string& st : strata) {
            std::vector<Cell> cells;
            for (const std::string& g : groups)
                cells.push_back(makeCell(filter(all, st, g)));
            gray(cells, static_cast<int>(ref.num(r, "cause")), 4, ref.num(r, "rho"), score,
                 var.data());
        }
        const korv_cr::GrayChiSq chi = korv_cr::grayChiSq(var.data(), K);
        EXPECT_EQ(chi.df, static_cast<int>(ref.num(r, "df")));
        EXPECT_TRUE(Near(chi.chisq, ref.num(r, "stat"), 1e-8, 1e-10));
        if (chi.df > 0 && chi.df == K - 1) {
            EXPECT_TRUE(Near(chi.chisq, ref.num(r, "cmprsk_stat"), 1e-8));
        }
        if (chi.df > 0 && chi.df < K - 1)
            singular = true;
        if (chi.df == 0) {
            none = true;
            EXPECT_TRUE(missing(chi.p));
        } else {
            EXPECT_FALSE(missing(chi.p));
        }
    }
    EXPECT_TRUE(singular) << "a case with a singular covariance (DF < K-1)";
    EXPECT_TRUE(none) << "a case with DF = 0";
}

// Fractional frequencies (NOTRUNCATE): a risk set that gives up all its
// subjects must come to 0, not to a residue of rounding that then divides;
// the exact rational references show what that gives.
TEST(Exact, FractionalFrequenciesMatchRationalArithmetic)
{
    const std::vector<Rec> recs = {
        {1.0, 1, "A", "", 0.1},  {2.0, 2, "A", "", 0.2},  {3.0, 1, "A", "", 0.3},
        {1.5, 1, "B", "", 0.7},  {2.0, 1, "B", "", 0.35}, {4.0, 1, "B", "", 0.2},
        {5.0, 2, "B", "", 0.45}, {6.0, 0, "B", "", 0.15}, {7.0, 1, "B", "", 0.05},
    };
    Table cif("cmprisk_exact_cif.csv");
    for (const std::string g : {"A", "B"})
        for (int cause : {1, 2}) {
            const Cell cell = makeCell(filter(recs, "", g));
            for (int error : {0, 1}) {
                korv_cr::CifSettings s = settings(cell);
                s.error = error;
                s.printVar = true;
                const Capture cap = walk(s, cell, cause, 3);
                size_t k = 1;
                for (size_t r = 0; r < cif.size(); ++r) {
                    if (cif.text(r, "group") != g || cif.num(r, "cause") != cause)
                        continue;
                    SCOPED_TRACE(g + " cause " + std::to_string(cause) + " t " +
                                 cif.text(r, "time"));
                    ASSERT_LT(k, cap.table.size());
                    EXPECT_EQ(cap.table[k].time, cif.num(r, "time"));
                    EXPECT_TRUE(Near(cap.table[k].cif, cif.num(r, "cif"), 1e-12));
                    EXPECT_TRUE(Near(cap.table[k].err,
                                     cif.num(r, error ? "var_delta" : "var_aalen"), 1e-9));
                    ++k;
                }
                EXPECT_EQ(k, cap.table.size());
            }
        }
    Table grayRef("cmprisk_exact_gray.csv");
    for (size_t r = 0; r < grayRef.size(); ++r) {
        const int cause = static_cast<int>(grayRef.num(r, "cause"));
        double var[6] = {0, 0, 0, 0, 0, 0};
        gray({makeCell(filter(recs, "", "A")), makeCell(filter(recs, "", "B"))}, cause, 3, 0,
             var + 3, var);
        SCOPED_TRACE("cause " + std::to_string(cause));
        EXPECT_TRUE(Near(var[3], grayRef.num(r, "score"), 1e-9));
        EXPECT_TRUE(Near(var[0], grayRef.num(r, "var"), 1e-9));
        const korv_cr::GrayChiSq chi = korv_cr::grayChiSq(var, 2);
        EXPECT_TRUE(Near(chi.chisq, grayRef.num(r, "chisq"), 1e-8));
    }
}

// The censored records of case "huge" come before every event, so the
// estimates and the test do not depend on their frequencies: given 2^53 (the
// largest FREQ accepted) they must match cmprsk on the records expanded from
// a frequency of 2.
TEST(CifPeers, HugeFrequenciesAheadOfTheEventsMatchCmprsk)
{
    std::vector<Rec> all = caseRecords("huge");
    ASSERT_FALSE(all.empty());
    for (Rec& r : all)
        if (r.time == 0.5)
            r.freq = 9007199254740992.0;
    Table ref("cmprisk_cif.csv");
    size_t checked = 0;
    for (size_t r = 0; r < ref.size(); ++r) {
        if (ref.text(r, "case") != "huge")
            continue;
        const Cell cell = makeCell(filter(all, "", ref.text(r, "group")));
        const int cause = static_cast<int>(ref.num(r, "cause"));
        for (int error : {0, 1}) {
            korv_cr::CifSettings s = settings(cell);
            s.error = error;
            s.printVar = true;
            const Capture cap = walk(s, cell, cause);
            bool found = false;
            for (const korv_cr::CifRow& row : cap.table)
                if (row.time == ref.num(r, "time")) {
                    SCOPED_TRACE(ref.text(r, "group") + " cause " + ref.text(r, "cause") + " t " +
                                 ref.text(r, "time"));
                    found = true;
                    EXPECT_TRUE(Near(row.cif, ref.num(r, "cif"), 1e-12));
                    EXPECT_TRUE(Near(row.err, ref.num(r, error ? "var_delta" : "var_aalen"), 1e-9));
                }
            EXPECT_TRUE(found) << ref.text(r, "time");
            ++checked;
        }
    }
    EXPECT_GE(checked, 10u);
    Table grayRef("cmprisk_gray.csv");
    for (size_t r = 0; r < grayRef.size(); ++r) {
        if (grayRef.text(r, "case") != "huge")
            continue;
        double var[6] = {0, 0, 0, 0, 0, 0};
        gray({makeCell(filter(all, "", "A")), makeCell(filter(all, "", "B"))},
             static_cast<int>(grayRef.num(r, "cause")), 4, grayRef.num(r, "rho"), var + 3, var);
        const korv_cr::GrayChiSq chi = korv_cr::grayChiSq(var, 2);
        EXPECT_TRUE(Near(chi.chisq, grayRef.num(r, "stat"), 1e-8)) << grayRef.text(r, "cause");
        EXPECT_TRUE(Near(chi.chisq, grayRef.num(r, "cmprsk_stat"), 1e-8));
    }
}

// Whole frequencies up to 2^53 (the largest FREQ accepted): the few subjects
// left behind a huge frequency keep their exact count, so the estimates and
// the test are those of rational arithmetic. The variances of the incidence
// are right to 1e-9 of their value, also where the incidence is within
// 1e-15 of 1; Gray's covariance to rounding (1e-14) where it nearly cancels.
TEST(Exact, HugeFrequenciesMatchRationalArithmetic)
{
    const double big = 9007199254740992.0; // 2^53
    const std::vector<Rec> recs = {
        {1.0, 2, "A", "", big / 2}, {1.0, 1, "A", "", 3},        {2.0, 1, "A", "", 2},
        {3.0, 0, "A", "", 1},       {4.0, 2, "A", "", 1},        {5.0, 1, "A", "", 2},
        {6.0, 1, "A", "", 1},       {0.5, 0, "B", "", big - 16}, {2.0, 1, "B", "", 3},
        {3.0, 2, "B", "", 2},       {3.0, 1, "B", "", 1},        {5.0, 1, "B", "", 4},
        {7.0, 0, "B", "", 1},       {8.0, 2, "B", "", 1},
    };
    Table cif("cmprisk_exact_huge_cif.csv");
    for (const std::string g : {"A", "B"})
        for (int cause : {1, 2})
            for (int error : {0, 1}) {
                const Cell cell = makeCell(filter(recs, "", g));
                korv_cr::CifSettings s = settings(cell);
                s.error = error;
                s.printVar = true;
                const Capture cap = walk(s, cell, cause, 3);
                size_t k = 1;
                for (size_t r = 0; r < cif.size(); ++r) {
                    if (cif.text(r, "group") != g || cif.num(r, "cause") != cause)
                        continue;
                    SCOPED_TRACE(g + " cause " + std::to_string(cause) + " t " +
                                 cif.text(r, "time"));
                    ASSERT_LT(k, cap.table.size());
                    EXPECT_EQ(cap.table[k].time, cif.num(r, "time"));
                    EXPECT_TRUE(Near(cap.table[k].cif, cif.num(r, "cif"), 1e-12, 0));
                    EXPECT_TRUE(Near(cap.table[k].err,
                                     cif.num(r, error ? "var_delta" : "var_aalen"), 1e-9));
                    ++k;
                }
                EXPECT_EQ(k, cap.table.size());
            }
    Table grayRef("cmprisk_exact_huge_gray.csv");
    for (size_t r = 0; r < grayRef.size(); ++r) {
        const int cause = static_cast<int>(grayRef.num(r, "cause"));
        double var[6] = {0, 0, 0, 0, 0, 0};
        gray({makeCell(filter(recs, "", "A")), makeCell(filter(recs, "", "B"))}, cause, 3, 0,
             var + 3, var);
        SCOPED_TRACE("cause " + std::to_string(cause));
        EXPECT_TRUE(Near(var[3], grayRef.num(r, "score"), 1e-9, 0));
        EXPECT_TRUE(Near(var[0], grayRef.num(r, "var"), 1e-9, 1e-14));
    }
}

// Cells whose overall survival S gets tiny (cmprisk_exact.py): a fraction
// 1e-10 of a subject, or a few subjects, left behind frequencies of 1, 2e9
// and up to 2^52, and 100 million subjects. The variances are of order S^2
// where the terms of their sums are of order 1: both must keep 1e-8 of their
// exact value (a sum that cancels gives 0, or 16 times the standard error).
TEST(CifTiny, VariancesMatchRationalArithmetic)
{
    Table ref("cmprisk_exact_tiny_cif.csv");
    std::map<std::string, std::vector<size_t>> byCell;
    for (size_t r = 0; r < ref.size(); ++r)
        byCell[ref.text(r, "case") + "|" + ref.text(r, "cause")].push_back(r);
    size_t cells = 0;
    for (const auto& [key, rows] : byCell) {
        const size_t r0 = rows[0];
        const std::vector<Rec> recs =
            caseRecords(ref.text(r0, "case"), "cmprisk_exact_tiny_data.csv");
        if (recs.empty())
            continue; // a cell of 120,001 records (below)
        const Cell cell = makeCell(recs);
        ++cells;
        for (int error : {0, 1}) {
            SCOPED_TRACE(key + (error ? " delta" : " aalen"));
            korv_cr::CifSettings s = settings(cell);
            s.error = error;
            s.printVar = true;
            const Capture cap = walk(s, cell, static_cast<int>(ref.num(r0, "cause")), 3);
            ASSERT_EQ(cap.table.size(), rows.size() + 1);
            for (size_t i = 0; i < rows.size(); ++i) {
                const korv_cr::CifRow& row = cap.table[i + 1];
                SCOPED_TRACE(ref.text(rows[i], "time"));
                EXPECT_EQ(row.time, ref.num(rows[i], "time"));
                EXPECT_TRUE(Near(row.cif, ref.num(rows[i], "cif"), 1e-12));
                EXPECT_TRUE(
                    Near(row.err, ref.num(rows[i], error ? "var_delta" : "var_aalen"), 1e-8));
            }
        }
    }
    EXPECT_EQ(cells, 10u);
}

// Cells of 120,001 records of frequency 1, the last censored: "steps" has an
// event of type 1 at every other time (its incidence is 1 - S, S comes to
// 1/120001, and the delta variance is Greenwood's), "alternate" events of
// types 2 and 1 in turn. Against the exact values and etm at some of the
// times; cuminc's Aalen-type variance cancels as S gets small (4e-6 off at
// the last time of "steps"), so it is compared only where S is above 1%.
TEST(CifTiny, LongCellsMatchExactValuesAndEtm)
{
    const Table exact("cmprisk_exact_tiny_cif.csv"), peers("cmprisk_tiny_peers.csv");
    const int n = 120001;
    size_t checked = 0;
    for (const std::string name : {"steps", "alternate"}) {
        std::vector<Rec> recs;
        for (int t = 1; t <= n; ++t)
            recs.push_back(Rec{static_cast<double>(t),
                               t == n ? 0 : (name == "steps" || t % 2 == 0 ? 1 : 2), "", "", 1});
        const Cell cell = makeCell(recs);
        for (int cause : {1, 2})
            for (int error : {0, 1}) {
                SCOPED_TRACE(name + " cause " + std::to_string(cause) +
                             (error ? " delta" : " aalen"));
                korv_cr::CifSettings s = settings(cell);
                s.error = error;
                s.printVar = true;
                const Capture cap = walk(s, cell, cause, 3);
                std::map<double, korv_cr::CifRow> at;
                for (const korv_cr::CifRow& row : cap.table)
                    at[row.time] = row;
                for (const Table* ref : {&exact, &peers})
                    for (size_t r = 0; r < ref->size(); ++r) {
                        const double t = ref->num(r, "time");
                        if (ref->text(r, "case") != name || ref->num(r, "cause") != cause)
                            continue;
                        SCOPED_TRACE(ref->text(r, "time"));
                        ASSERT_EQ(at.count(t), 1u);
                        EXPECT_TRUE(Near(at[t].cif, ref->num(r, "cif"), 1e-11));
                        if (ref == &exact || error || t < 0.99 * n) {
                            EXPECT_TRUE(Near(at[t].err,
                                             ref->num(r, error ? "var_delta" : "var_aalen"), 1e-8));
                        }
                        checked += ref == &exact;
                    }
            }
    }
    EXPECT_EQ(checked, 2u * 16 + 2u * 2 * 15);
}

namespace
{

// A small cell: (time, category, frequency) records.
Cell cellOf(std::vector<std::tuple<double, int, double>> v)
{
    std::vector<Rec> recs;
    for (auto [t, c, f] : v)
        recs.push_back(Rec{t, c, "", "", f});
    return makeCell(recs);
}

} // namespace

// Cells whose overall survival comes to 0 (cmprisk_ends.R), under both
// variance estimators. Where every subject has failed of the type, the
// incidence is exactly 1 and its variance exactly 0, as etm's; cuminc's
// Aalen-type variance there keeps the last term of a subject failing alone
// (0.04 in "distinct"), so it is compared only below 1. Where every subject
// fails but some of another type (cell C), the incidence stays below 1 and
// keeps the peers' variance. No incidence exceeds 1.
TEST(CifEnds, AnIncidenceOfOneIsOneWithVarianceZero)
{
    Table ref("cmprisk_ends.csv");
    std::map<std::string, std::vector<size_t>> byCell;
    for (size_t r = 0; r < ref.size(); ++r)
        byCell[ref.text(r, "case") + "|" + ref.text(r, "group") + "|" + ref.text(r, "cause")]
            .push_back(r);
    ASSERT_EQ(byCell.size(), 7u);
    size_t ones = 0, below = 0;
    for (const auto& [key, rows] : byCell) {
        const size_t r0 = rows[0];
        const Cell cell = makeCell(filter(
            caseRecords(ref.text(r0, "case"), "cmprisk_ends_data.csv"), "", ref.text(r0, "group")));
        const int cause = static_cast<int>(ref.num(r0, "cause"));
        for (int error : {0, 1}) {
            SCOPED_TRACE(key + (error ? " delta" : " aalen"));
            korv_cr::CifSettings s = settings(cell);
            s.error = error;
            s.printVar = true;
            const Capture cap = walk(s, cell, cause, 3);
            ASSERT_EQ(cap.table.size(), rows.size() + 1);
            for (size_t i = 0; i < rows.size(); ++i) {
                const korv_cr::CifRow& row = cap.table[i + 1];
                const size_t r = rows[i];
                SCOPED_TRACE(ref.text(r, "time"));
                EXPECT_EQ(row.time, ref.num(r, "time"));
                EXPECT_LE(row.cif, 1.0);
                EXPECT_TRUE(Near(row.cif, ref.num(r, "cif"), 1e-12, 1e-15));
                EXPECT_TRUE(Near(row.cif, ref.num(r, "cif_etm"), 1e-12, 1e-15));
                if (Near(ref.num(r, "cif_etm"), 1, 0, 1e-12)) {
                    EXPECT_EQ(ref.num(r, "surv_etm"), 0);
                    EXPECT_EQ(row.cif, 1.0);
                    EXPECT_EQ(row.err, 0.0);
                    EXPECT_TRUE(Near(0, ref.num(r, "var_delta"), 0, 1e-15));
                    ones += error;
                } else {
                    EXPECT_LT(row.cif, 1.0);
                    EXPECT_TRUE(
                        Near(row.err, ref.num(r, error ? "var_delta" : "var_aalen"), 1e-9, 1e-15));
                    if (ref.num(r, "surv_etm") == 0) {
                        EXPECT_GT(row.err, 1e-4);
                        below += error;
                    }
                }
            }
        }
    }
    EXPECT_EQ(ones, 5u) << "cells whose every subject fails of the type";
    EXPECT_EQ(below, 1u) << "cell C, whose every subject fails, of two causes";
}

// The limits of an incidence of 1 under every transform are (1, 1), or both
// missing where the transform is undefined, never below 1; the estimates
// table (with and without TIMELIST=), the plot data (with the row past the
// last time) and OUTCIF= (with and without REDUCEOUT) show the same. The
// cells of cmprisk_ends.R whose every subject fails of type 1, and one of
// fractional frequencies (NOTRUNCATE; no peer takes them).
TEST(CifEnds, LimitsOfAnIncidenceOfOneInEveryOutput)
{
    auto atOne = [](double cif, double err, double lcl, double ucl) {
        if (cif != 1 || err != 0)
            return ::testing::AssertionFailure() << "cif " << cif << " err " << err;
        if ((lcl == 1 && ucl == 1) || (missing(lcl) && missing(ucl)))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "limits " << lcl << ", " << ucl;
    };
    std::vector<std::pair<std::string, Cell>> cells;
    for (const auto& [id, group] : std::vector<std::pair<std::string, std::string>>{
             {"tied", "A"}, {"distinct", "A"}, {"freq", "A"}, {"freq", "B"}, {"freq", "D"}})
        cells.emplace_back(id + " " + group,
                           makeCell(filter(caseRecords(id, "cmprisk_ends_data.csv"), "", group)));
    cells.emplace_back("fractional", cellOf({{1, 1, 0.1}, {2, 0, 0.2}, {3, 1, 0.3}, {4, 1, 0.7}}));
    for (const auto& [name, cell] : cells)
        for (int error : {0, 1})
            for (int conftype = 1; conftype <= 5; ++conftype)
                for (bool listed : {false, true}) {
                    SCOPED_TRACE(name + " error " + std::to_string(error) + " conftype " +
                                 std::to_string(conftype) + (listed ? " listed" : ""));
                    // The listed times: one before the last, the last (the
                    // largest time), one past it.
                    const std::vector<double> tl = {cell.maxtime - 0.5, cell.maxtime,
                                                    cell.maxtime + 1};
                    korv_cr::CifSettings s = settings(cell);
                    s.error = error;
                    s.conftype = conftype;
                    s.plot = !listed;
                    s.plotLimits = true;
                    s.out = true;
                    s.reduce = listed;
                    if (listed) {
                        s.timelist = tl.data();
                        s.ntime = static_cast<int>(tl.size());
                    }
                    const Capture cap = walk(s, cell, 1, 3);
                    for (const korv_cr::CifRow& r : cap.table)
                        EXPECT_TRUE(missing(r.cif) || (r.cif <= 1 && !(r.ucl > 1)));
                    for (const CIFOUTREC& r : cap.out)
                        EXPECT_TRUE(missing(r.cif) || (r.cif <= 1 && !(r.ucl > 1)));
                    for (const korv_cr::CifRow& r : cap.plot)
                        EXPECT_TRUE(r.cif <= 1 && !(r.ucl > 1));
                    // The last subject fails at the largest time.
                    ASSERT_GE(cap.table.size(), 2u);
                    const korv_cr::CifRow& last = cap.table[listed ? 1 : cap.table.size() - 1];
                    EXPECT_EQ(last.time, cell.maxtime);
                    EXPECT_TRUE(atOne(last.cif, last.err, last.lcl, last.ucl));
                    const CIFOUTREC& out = cap.out[listed ? 1 : cap.out.size() - 1];
                    EXPECT_EQ(out.time, cell.maxtime);
                    EXPECT_EQ(out.atrisk, out.event);
                    EXPECT_TRUE(atOne(out.cif, out.err, out.lcl, out.ucl));
                    if (!listed) {
                        // The last event's row and the row just past it.
                        ASSERT_GE(cap.plot.size(), 3u);
                        for (size_t k = cap.plot.size() - 2; k < cap.plot.size(); ++k) {
                            const korv_cr::CifRow& p = cap.plot[k];
                            EXPECT_TRUE(atOne(p.cif, p.err, p.lcl, p.ucl)) << p.time;
                            EXPECT_EQ(p.lcl, last.lcl);
                        }
                    }
                }
}

// Which rows each output gets, by the rules of the estimates table, the
// plot data and OUTCIF= with and without REDUCEOUT.
TEST(CifRows, TableRowsAtListedTimes)
{
    // Events of interest (category 1) at 2 and 5, a competing event at 3,
    // censored at 4 and 8.
    const Cell c = cellOf({{2, 1, 1}, {3, 2, 1}, {4, 0, 1}, {5, 1, 1}, {8, 0, 1}});
    const std::vector<double> tl = {1, 2, 4.5, 8, 9};
    korv_cr::CifSettings s = settings(c);
    s.timelist = tl.data();
    s.ntime = static_cast<int>(tl.size());
    const Capture cap = walk(s, c, 1);
    ASSERT_EQ(cap.table.size(), tl.size());
    struct Want {
        double time, cif;
    };
    // Before the first event: time 0, CIF 0, error 0, limits missing; at an
    // event time: its estimate; between: the one before; after the last
    // event but not past the largest time: the last; past it: missing.
    const Want want[] = {{0, 0}, {2, 0.2}, {2, 0.2}, {5, 0.2 + 0.6 / 2}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(tl[i]);
        EXPECT_EQ(cap.table[i].timelist, tl[i]);
        EXPECT_EQ(cap.table[i].time, want[i].time);
        EXPECT_TRUE(Near(cap.table[i].cif, want[i].cif, 1e-15));
    }
    EXPECT_EQ(cap.table[0].err, 0);
    EXPECT_TRUE(missing(cap.table[0].lcl) && missing(cap.table[0].ucl));
    EXPECT_TRUE(missing(cap.table[4].time) && missing(cap.table[4].cif) &&
                missing(cap.table[4].err) && missing(cap.table[4].lcl));
    EXPECT_EQ(cap.table[4].timelist, 9);
}

TEST(CifRows, AllCompetingGivesTheStartRowAndAFlatCurve)
{
    const Cell c = cellOf({{1, 2, 1}, {2, 2, 2}, {3, 0, 1}});
    korv_cr::CifSettings s = settings(c);
    s.plot = true;
    s.out = true;
    const Capture cap = walk(s, c, 1);
    ASSERT_EQ(cap.table.size(), 1u);
    EXPECT_EQ(cap.table[0].time, 0);
    // Plot data: the start row and the row at the largest time.
    ASSERT_EQ(cap.plot.size(), 2u);
    EXPECT_EQ(cap.plot[1].time, 3);
    EXPECT_EQ(cap.plot[1].cif, 0);
    // OUTCIF=: the time-0 row and one per distinct time, CIF 0 in all.
    ASSERT_EQ(cap.out.size(), 4u);
    for (const CIFOUTREC& r : cap.out)
        EXPECT_EQ(r.cif, 0);
    EXPECT_EQ(std::string(cap.out[0].conftype, 8), "        ");
    EXPECT_EQ(std::string(cap.out[1].conftype, 8), "LOGLOG  ");
    EXPECT_EQ(cap.out[0].atrisk, 4);
    EXPECT_EQ(cap.out[2].atrisk, 3); // time 2
    EXPECT_EQ(cap.out[2].allevents, 2);
    EXPECT_EQ(cap.out[3].censored, 1);
}

TEST(CifRows, PlotEndsAtTheLargestTimeOrJustPastTheLastWithLimits)
{
    for (bool limits : {false, true}) {
        SCOPED_TRACE(limits);
        // The last time is an event of interest: nothing further without
        // limits, 1.005 times it with them.
        const Cell c = cellOf({{1, 1, 1}, {4, 1, 1}});
        korv_cr::CifSettings s = settings(c);
        s.plot = true;
        s.plotLimits = limits;
        const Capture cap = walk(s, c, 1);
        ASSERT_EQ(cap.plot.size(), limits ? 4u : 3u);
        if (limits) {
            EXPECT_EQ(cap.plot.back().time, 1.005 * 4);
        }
    }
}

TEST(CifRows, ReducedOutputAtListedTimes)
{
    // Observed times 2 (event), 3 (competing), 6 (censored), 7 (event).
    const Cell c = cellOf({{2, 1, 2}, {3, 2, 1}, {6, 0, 1}, {7, 1, 1}});
    const std::vector<double> tl = {1, 3, 5, 7, 10};
    korv_cr::CifSettings s = settings(c);
    s.table = false;
    s.out = true;
    s.reduce = true;
    s.timelist = tl.data();
    s.ntime = static_cast<int>(tl.size());
    const Capture cap = walk(s, c, 1);
    ASSERT_EQ(cap.out.size(), tl.size());
    for (size_t i = 0; i < tl.size(); ++i)
        EXPECT_EQ(cap.out[i].timelist, tl[i]);
    // Before the first time: the time-0 row, at risk the cell's total.
    EXPECT_EQ(cap.out[0].time, 0);
    EXPECT_EQ(cap.out[0].atrisk, 5);
    EXPECT_EQ(cap.out[0].cif, 0);
    EXPECT_EQ(cap.out[0].event, 0);
    // At an observed time: that time's row and counts.
    EXPECT_EQ(cap.out[1].time, 3);
    EXPECT_EQ(cap.out[1].allevents, 1);
    EXPECT_TRUE(Near(cap.out[1].cif, 0.4, 1e-15));
    // Between times: the row of the time before, dated at its last change
    // of the CIF.
    EXPECT_EQ(cap.out[2].time, 2);
    EXPECT_TRUE(Near(cap.out[2].cif, 0.4, 1e-15));
    EXPECT_EQ(cap.out[3].time, 7);
    EXPECT_EQ(cap.out[3].event, 1);
    // Past the largest time: missing, but for the listed time and CONFTYPE.
    EXPECT_TRUE(missing(cap.out[4].time) && missing(cap.out[4].cif) && missing(cap.out[4].atrisk) &&
                missing(cap.out[4].alpha));
    EXPECT_EQ(std::string(cap.out[4].conftype, 8), "LOGLOG  ");
}

TEST(CifRows, TiedEventsUseTheTiesFactorOnlyInTheAalenVariance)
{
    // Three events of interest among ten at risk, then seven censored.
    const Cell c = cellOf({{1, 1, 3}, {2, 0, 7}});
    for (int error : {0, 1}) {
        korv_cr::CifSettings s = settings(c);
        s.error = error;
        s.printVar = true;
        const Capture cap = walk(s, c, 1);
        ASSERT_EQ(cap.table.size(), 2u);
        // n = 10, d1 = d = 3, S_ = 1, F = 0.3.
        const double F = 0.3;
        const double aalen = (1 - 2.0 / 9) * 3 / 100.0 * (1 + (F - F) / 0.7) * (1 + 0.0);
        const double delta = 3.0 * 7 / 1000; // S_^2 d1 (n - d1) / n^3
        EXPECT_TRUE(Near(cap.table[1].err, error ? delta : aalen, 1e-14)) << error;
    }
}

TEST(CifRows, VarianceOrStandardErrorWithTheSameLimits)
{
    const Cell c = cellOf({{1, 1, 1}, {2, 2, 1}, {3, 1, 1}, {4, 0, 2}});
    korv_cr::CifSettings s = settings(c);
    const Capture se = walk(s, c, 1);
    s.printVar = true;
    const Capture var = walk(s, c, 1);
    ASSERT_EQ(se.table.size(), var.table.size());
    for (size_t i = 1; i < se.table.size(); ++i) {
        EXPECT_TRUE(Near(var.table[i].err, se.table[i].err * se.table[i].err, 1e-14));
        EXPECT_EQ(var.table[i].lcl, se.table[i].lcl);
        EXPECT_EQ(var.table[i].ucl, se.table[i].ucl);
    }
}

TEST(GrayRows, OneGroupAddsNothingAndRhoWeightsByTheIncidence)
{
    const Cell a = cellOf({{1, 1, 2}, {2, 2, 1}, {3, 1, 1}, {4, 0, 1}});
    const Cell b = cellOf({{1, 0, 1}, {2, 1, 2}, {3, 2, 1}, {5, 1, 1}});
    {
        double var[3] = {7, 7, 7};
        gray({a}, 1, 3, 0, var + 1, var);
        EXPECT_EQ(var[0], 7);
        EXPECT_EQ(var[1], 7);
    }
    // rho 0 and 1 differ once the pooled incidence has grown.
    double v0[6] = {}, v1[6] = {};
    gray({a, b}, 1, 3, 0, v0 + 3, v0);
    gray({a, b}, 1, 3, 1, v1 + 3, v1);
    EXPECT_NE(v0[3], v1[3]);
    EXPECT_GT(v0[0], 0);
    EXPECT_GT(v1[0], 0);
}

TEST(GrayRows, PValueTextOfThePanels)
{
    EXPECT_EQ(korv_cr::pValueText(0.00005), "p<0.0001");
    EXPECT_EQ(korv_cr::pValueText(0.0123), "p=0.0123");
    EXPECT_EQ(korv_cr::pValueText(1), "p=1.0000");
}

// The order of records: the time order by ranking, by radix, with ties
// kept in input order, and by cell first; the same as a stable sort.
TEST(Order, SameAsAStableSortByCellAndTime)
{
    std::mt19937_64 rng(7);
    struct Case {
        size_t n;
        int decimals; // times rounded to this many decimals (-1: none)
        int nStrata, nGroup;
    };
    for (const Case& k : {Case{1, 0, 1, 1}, Case{50, 0, 3, 2}, Case{5000, 1, 4, 3},
                          Case{200000, 3, 5, 1}, Case{200000, -1, 2, 2}, Case{70000, 0, 1, 1}}) {
        SCOPED_TRACE(std::to_string(k.n) + " " + std::to_string(k.decimals));
        std::vector<CRRECORD> rec(k.n);
        std::exponential_distribution<double> e(0.1);
        const double scale = k.decimals >= 0 ? std::pow(10.0, k.decimals) : 1;
        for (size_t i = 0; i < k.n; ++i) {
            double t = e(rng);
            if (k.decimals >= 0)
                t = std::round(t * scale) / scale;
            rec[i] = CRRECORD{static_cast<double>(rng() % k.nStrata),
                              static_cast<double>(rng() % k.nGroup),
                              t,
                              0,
                              1,
                              1};
        }
        std::vector<uint32_t> idx;
        ASSERT_TRUE(korv_cr::order(rec.data(), rec.size(), true, k.nStrata, true, k.nGroup, idx));
        std::vector<uint32_t> want(k.n);
        for (size_t i = 0; i < k.n; ++i)
            want[i] = static_cast<uint32_t>(i);
        std::stable_sort(want.begin(), want.end(), [&](uint32_t a, uint32_t b) {
            const CRRECORD &x = rec[a], &y = rec[b];
            if (x.stratum != y.stratum)
                return x.stratum < y.stratum;
            if (x.group != y.group)
                return x.group < y.group;
            return x.time < y.time;
        });
        EXPECT_EQ(idx, want);
    }
    // A record naming a stratum the group does not have is refused.
    std::vector<CRRECORD> bad = {CRRECORD{0, 0, 1, 0, 1, 1}, CRRECORD{3, 0, 2, 0, 1, 1}};
    std::vector<uint32_t> idx;
    EXPECT_FALSE(korv_cr::order(bad.data(), bad.size(), true, 2, false, 1, idx));
}

// The restricted mean of one cell: the area under the product-limit curve to
// the restriction time, its variance and the bias correction, in closed form
// on small samples and against R's survival on the example data; and the
// one-walk evaluation at many restriction times (the plots) against the
// evaluation at each.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "rmst/rmst.h"
#include "support/reference.h"

using korvtest::Near;
using korvtest::Table;

namespace
{

struct Rec {
    double t;
    bool event;
    double f = 1;
};

// A cell built as the data pass builds it: its distinct times in ascending
// order with the records and events at each.
struct Cell {
    std::vector<ZRMSTNODE> times;
    ZRMSSNODE s{};
    explicit Cell(std::vector<Rec> recs)
    {
        std::stable_sort(recs.begin(), recs.end(),
                         [](const Rec& a, const Rec& b) { return a.t < b.t; });
        for (const Rec& r : recs) {
            if (times.empty() || times.back().time != r.t)
                times.push_back(ZRMSTNODE{r.t, 0, 0});
            times.back().dup += r.f;
            if (r.event)
                times.back().evt += r.f;
            s.atrisk += r.f;
        }
        s.tn = times.data();
        s.ntn = static_cast<int64_t>(times.size());
    }
    ZRMSOPT at(double tau, bool bc = false) const
    {
        ZRMSOPT o{};
        EstOneTime(&s, tau, bc, &o);
        return o;
    }
};

// Events at 2, 4 and 6, censored records at 4 (with the event) and 8.
const std::vector<Rec> kSmall = {{2, true}, {4, true}, {4, false}, {6, true}, {8, false}};

} // namespace

TEST(OneCell, ClosedFormAreasAndVariances)
{
    const Cell c(kSmall);
    // S: 1 to 2, 0.8 to 4, 0.6 to 6, 0.3 after 6. Weights d / (n (n - d)):
    // 1/20 at 2, 1/12 at 4 (the censored record still at risk), 1/2 at 6.
    const struct {
        double tau;
        double area;
        double var;   // without the correction
        double varBc; // D / (D - 1), D the events up to tau
    } cases[] = {
        {1, 1, 0, 0}, // before any time
        {2, 2, 0, 0}, // at the first event: no area after it
        {5, 4.2, 0.05 * 2.2 * 2.2 + 0.6 * 0.6 / 12, 2 * (0.05 * 2.2 * 2.2 + 0.6 * 0.6 / 12)},
        {6, 4.8, 0.05 * 2.8 * 2.8 + 1.2 * 1.2 / 12, 1.5 * (0.05 * 2.8 * 2.8 + 1.2 * 1.2 / 12)},
        {8, 5.4, 0.05 * 3.4 * 3.4 + 1.8 * 1.8 / 12 + 0.5 * 0.6 * 0.6,
         1.5 * (0.05 * 3.4 * 3.4 + 1.8 * 1.8 / 12 + 0.5 * 0.6 * 0.6)},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.tau);
        const ZRMSOPT o = c.at(k.tau);
        EXPECT_TRUE(Near(o.rmst, k.area, 1e-14));
        EXPECT_TRUE(Near(o.rmtl, k.tau - k.area, 1e-14, 1e-14));
        EXPECT_TRUE(Near(o.var, k.var, 1e-14));
        EXPECT_TRUE(Near(c.at(k.tau, true).var, k.varBc, 1e-14));
    }
}

TEST(OneCell, EveryoneFailingAndRecordsWithoutWeight)
{
    // At 3 every remaining record fails: no variance term, the curve drops
    // to 0 and no area follows.
    const Cell all({{1, true}, {3, true}, {3, true}});
    const ZRMSOPT o = all.at(3);
    EXPECT_TRUE(Near(o.rmst, 1 + 2.0 / 3 * 2, 1e-15));
    EXPECT_TRUE(Near(o.var, (16.0 / 9) / 6, 1e-15));
    // One event up to tau: the correction leaves the variance alone.
    const Cell one({{1, true}, {3, false}, {5, false}});
    EXPECT_EQ(one.at(4, true).var, one.at(4).var);
    // Records of frequency 0, between times and after the last record of
    // positive frequency, change nothing; none yields a number that is not
    // one.
    std::vector<Rec> zero = kSmall;
    zero.push_back({3, true, 0});
    zero.push_back({9, true, 0});
    zero.push_back({10, false, 0});
    const Cell z(zero), plain(kSmall);
    for (double tau : {3.0, 5.0, 8.0}) {
        const ZRMSOPT a = z.at(tau, true), b = plain.at(tau, true);
        EXPECT_EQ(a.rmst, b.rmst) << tau;
        EXPECT_EQ(a.var, b.var) << tau;
        EXPECT_TRUE(std::isfinite(a.var));
    }
    // Fractional frequencies in which everyone fails at the last time.
    const Cell frac({{1, true, 0.1}, {1, false, 0.2}, {2, true, 0.3}, {2, true, 0.4}});
    EXPECT_TRUE(std::isfinite(frac.at(2).var));
}

TEST(OneCell, AgainstSurvivalOnTheExamples)
{
    Table ref("rmst_cells.csv");
    const struct {
        const char* caseId;
        const char* file;
        const char* time;
        const char* status;
        double event;
        const char* by;
    } cases[] = {
        {"veteran_celltype", "examples/veteran.csv", "time", "status", 1, "celltype"},
        {"veteran_celltype_def", "examples/veteran.csv", "time", "status", 1, "celltype"},
        {"lung_sex", "examples/lung.csv", "time", "status", 2, "sex"},
        {"kidney_disease", "examples/kidney.csv", "time", "status", 1, "disease"},
        {"aml_x", "examples/aml.csv", "time", "status", 1, "x"},
    };
    for (const auto& c : cases) {
        Table data(c.file);
        std::map<std::string, std::vector<Rec>> cells;
        for (size_t i = 0; i < data.size(); ++i) {
            std::string key = data.text(i, c.by);
            if (key.find_first_not_of("0123456789.") == std::string::npos) {
                char buf[32];
                std::snprintf(buf, sizeof buf, "%g", data.num(i, c.by));
                key = buf;
            }
            cells[key].push_back({data.num(i, c.time), data.num(i, c.status) == c.event});
        }
        int checked = 0;
        for (size_t i = 0; i < ref.size(); ++i) {
            if (ref.text(i, "case") != c.caseId)
                continue;
            SCOPED_TRACE(std::string(c.caseId) + " " + ref.text(i, "cell"));
            ASSERT_TRUE(cells.count(ref.text(i, "cell")));
            const Cell cell(cells[ref.text(i, "cell")]);
            const double tau = ref.num(i, "tau");
            EXPECT_TRUE(Near(cell.at(tau).rmst, ref.num(i, "rmst"), 1e-12));
            EXPECT_TRUE(Near(cell.at(tau).rmtl, ref.num(i, "rmtl"), 1e-12));
            EXPECT_TRUE(Near(std::sqrt(cell.at(tau).var), ref.num(i, "se"), 1e-11));
            EXPECT_TRUE(Near(std::sqrt(cell.at(tau, true).var), ref.num(i, "se_bc"), 1e-11));
            ++checked;
        }
        EXPECT_GT(checked, 0) << c.caseId;
    }
}

TEST(OneCell, OneWalkForManyRestrictionTimes)
{
    // The lung data of one sex and a small sample with ties, at 100 times
    // (some between, some at event times, some before the first): the one
    // walk gives what one evaluation per time gives.
    Table data("examples/lung.csv");
    std::vector<Rec> lung;
    for (size_t i = 0; i < data.size(); ++i)
        if (data.num(i, "sex") == 1)
            lung.push_back({data.num(i, "time"), data.num(i, "status") == 2});
    for (const auto& recs : {lung, kSmall}) {
        const Cell c(recs);
        const double maxt = c.times.back().time;
        std::vector<double> taus(100), est(100), var(100);
        for (int k = 1; k <= 100; ++k)
            taus[static_cast<size_t>(k - 1)] = k == 100 ? maxt : maxt * k / 100;
        for (bool bc : {false, true}) {
            EstGrid(&c.s, taus.data(), 100, bc, est.data(), var.data());
            for (size_t k = 0; k < 100; ++k) {
                const ZRMSOPT o = c.at(taus[k], bc);
                EXPECT_TRUE(Near(est[k], o.rmst, 1e-13)) << k;
                EXPECT_TRUE(Near(var[k], o.var, 1e-11, 1e-300)) << k;
            }
        }
    }
}

// The test driver and the tests across strata as the procedure runs them:
// records read back from the stratum record file, the tables in the output
// document, the graph-inset p-values and the saved scores, checked against
// the peer values of R's survdiff and a Poisson model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "common/strata.h"
#include "frame/parse.h"
#include "frame/rank.h"
#include "homogeneity/homogeneity.h"
#include "host/output/document.h"
#include "host/output/layer.h"
#include "results/results.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "support/homogeneity_records.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_output.h"

using namespace homtest;

namespace
{

struct Driver : ::testing::Test {
    KORVCOM q{};
    xobop root = nullptr;
    NAMESTR nm{};
    SNAMESTR sname[2]{};
    varstring sn{};
    std::string varName = "ph_ecog";
    std::vector<char> value;
    std::deque<std::vector<double>> nodes;
    std::deque<NOTESTR> notes;
    OGSTAT og{};
    SURVDIFF sd{};
    double fleming[2] = {1.0, -1.0};

    void SetUp() override
    {
        vdq::takeCurrentStep();
        ASSERT_EQ(xobinit(&root, 0), 0);
        WOB_PARM_BLK_STR pb[5] = {wob_string(WOB_TAG_PACKAGE, "vdq", 3),
                                  wob_string(WOB_TAG_CLASS, "manager", 7),
                                  wob_object(WOB_TAG_OUT, nullptr), wob_int(WOB_TAG_MSGGROUP, 326),
                                  wob_flag(WOB_TAG_MANAGER_FLAG, 1)};
        ASSERT_EQ(wobmth(root, nullptr, WOB_SEL_CREATE, 5, pb), 0);
        q.vdq = pb[2].value.o;
        q.zprint = 1;
        q.singular = 1e-12;
        q.blockno = 50;
        q.blockt = q.blockf = 400;
        q.timename.s = const_cast<char*>("time");
        q.timename.l = 4;
        // One numeric STRATA variable without a format: 12 formatted bytes,
        // then the raw value.
        nm.ntype = 1;
        nm.name_p = varName.c_str();
        nm.namelen = static_cast<short>(varName.size());
        sn.s = varName.data();
        sn.l = static_cast<int64_t>(varName.size());
        sname[0].nm = &nm;
        sname[0].name = &sn;
        sname[0].type = 1;
        sname[0].lngf = 12;
        sname[0].lngu = 8;
        sname[0].posf = 0;
        sname[0].posu = 12;
        sname[0].nfl = 1;
        q.sname = sname;
        q.nsvar = 1;
        q.slenf = 12;
        q.slenu = 8;
        value.assign(32, ' ');
        q.value = value.data();
        ASSERT_GE(xcopen(&q.utid, nullptr), 0);
        ASSERT_GE(xcopen(&q.utid2, nullptr), 0);
    }
    void TearDown() override
    {
        xcclose(q.utid);
        xcclose(q.utid2);
        if (sd.utid)
            xcclose(sd.utid);
        vdq::takeCurrentStep();
    }

    // The strata of `r` (levels with numeric values `values`) written to the
    // record file as the data pass writes them.
    void load(const Records& r, const std::vector<double>& values, bool weights = false)
    {
        q.zwt = weights ? 1 : 0;
        STRATA* prev = nullptr;
        q.strata = nullptr;
        q.nstrata = 0;
        for (size_t h = 0; h < values.size(); ++h) {
            nodes.emplace_back(static_cast<size_t>(strata_node_size(20) / 8 + 1), 0.0);
            auto* s = reinterpret_cast<STRATA*>(nodes.back().data());
            char* key = strata_key(s);
            std::memset(key, ' ', 12);
            char txt[16];
            int n = std::snprintf(txt, sizeof txt, "%g", values[h]);
            std::memcpy(key + 12 - n, txt, static_cast<size_t>(n));
            std::memcpy(key + 12, &values[h], 8);
            std::vector<double> t, f, w;
            for (int64_t i = 0; i < r.n(); ++i)
                if (r.level[i] == static_cast<int64_t>(h)) {
                    t.push_back(r.time[i]);
                    f.push_back(r.freq[i]);
                    w.push_back(r.wt[i]);
                    s->cum += std::fabs(r.freq[i]);
                    if (r.freq[i] < 0)
                        s->cen += -r.freq[i];
                }
            s->nobs = static_cast<int64_t>(t.size());
            NOTESTR* last = nullptr;
            for (size_t b = 0; b < t.size(); b += 50) {
                double bt[50] = {}, bf[50] = {}, bw[50] = {};
                for (size_t i = b; i < t.size() && i < b + 50; ++i) {
                    bt[i - b] = t[i];
                    bf[i - b] = f[i];
                    bw[i - b] = w[i];
                }
                notes.emplace_back();
                NOTESTR* e = &notes.back();
                xcnoted(q.utid, &e->notet);
                xcwrite(q.utid, bt, 400);
                xcnoted(q.utid, &e->notef);
                xcwrite(q.utid, bf, 400);
                if (weights) {
                    xcnoted(q.utid, &e->notew);
                    xcwrite(q.utid, bw, 400);
                }
                (last ? last->next : s->note) = e;
                last = e;
            }
            (prev ? prev->left : q.strata) = s;
            prev = s;
            ++q.nstrata;
        }
    }

    // Tables as start-up defines them for the options.
    void define()
    {
        if (q.ktype & 1) {
            if (!(q.ktype & 4))
                TrendScore(&q);
            TrendTest(&q);
        } else {
            if (!(q.ktype & 4))
                HomStat(&q);
            HomTest(&q);
        }
    }

    static void walk(const std::vector<vdq::NodePtr>& items,
                     const std::function<void(const vdq::Node&)>& f)
    {
        for (auto& n : items) {
            f(*n);
            walk(n->items, f);
        }
    }
    // The first item of that name (a table rather than a group of the same name).
    const vdq::Node* find(const std::string& name)
    {
        const vdq::Node* found = nullptr;
        walk(vdq::currentStep().items, [&](const vdq::Node& n) {
            if (!found && n.name == name && n.kind != vdq::Node::Group)
                found = &n;
        });
        if (found)
            return found;
        walk(vdq::currentStep().items, [&](const vdq::Node& n) {
            if (!found && n.name == name)
                found = &n;
        });
        return found;
    }
    // Value of column `col` in the row whose Test column starts with `test`.
    double cell(const vdq::Node* t, const std::string& test, const std::string& col)
    {
        size_t c = 0, tc = 0;
        for (size_t i = 0; i < t->columns.size(); ++i) {
            if (t->columns[i].name == col)
                c = i;
            if (t->columns[i].name == "Test")
                tc = i;
        }
        for (auto& row : t->rows)
            if (row[tc].s.rfind(test, 0) == 0)
                return row[c].d;
        ADD_FAILURE() << "no row " << test;
        return 0;
    }
    std::string label(const vdq::Node* t, size_t row) { return t->rows.at(row).at(0).s; }
};

Row lungBy(const std::string& group, const std::string& levels)
{
    return Row{{"data", "lung"}, {"time", "time"}, {"status", "status"},
               {"events", "2"},  {"group", group}, {"levels", levels}};
}

TEST_F(Driver, LungBySexMatchesSurvdiffAndPoisson)
{
    q.ktype = 8 | 16 | 512;
    q.ogstat = &og;
    load(example(lungBy("sex", "1|2")), {1, 2});
    define();
    korvpol(&q);
    const vdq::Node* t = find("HomTests");
    ASSERT_TRUE(t);
    ASSERT_EQ(t->rows.size(), 3u);
    EXPECT_NEAR(cell(t, "Log-Rank", "ChiSq"), 10.3267419549, 1e-8);
    EXPECT_EQ(cell(t, "Log-Rank", "DF"), 1);
    EXPECT_NEAR(cell(t, "Wilcoxon", "ChiSq"), 12.4721353313, 1e-8);
    EXPECT_NEAR(cell(t, "-2Log", "ChiSq"), 9.47723233671, 1e-7);
    EXPECT_EQ(cell(t, "-2Log", "DF"), 1);
    EXPECT_NEAR(og.logrank, cell(t, "Log-Rank", "ProbChiSq"), 1e-15);
    EXPECT_NEAR(og.lr, cell(t, "-2Log", "ProbChiSq"), 1e-15);
    EXPECT_TRUE(wzmis(og.tarone));
    // Details: the scores per stratum and one covariance matrix per test.
    const vdq::Node* s = find("HomStats");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->rows.size(), 2u);
    const vdq::Node* m = find("LogrankHomCov");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->nrows, 2);
    EXPECT_EQ(m->rowLabels.at(0), "1");
    EXPECT_NEAR(m->values[0], -m->values[1], 1e-9);
    EXPECT_TRUE(find("WilcoxonHomCov"));
    EXPECT_TRUE(find("StrataHomogeneity"));
}

TEST_F(Driver, EveryRankTestAgainstItsPeer)
{
    q.ktype = 8 | 16 | 32 | 64 | 128 | 256 | 512;
    q.fleming = fleming;
    load(example(lungBy("sex", "1|2")), {1, 2});
    define();
    korvpol(&q);
    const vdq::Node* t = find("HomTests");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->rows.size(), 7u);
    EXPECT_NEAR(cell(t, "Tarone", "ChiSq"), 12.4555439022, 1e-8);  // statsmodels "tw"
    EXPECT_NEAR(cell(t, "Fleming", "ChiSq"), 12.7141514012, 1e-8); // survdiff rho = 1
    EXPECT_GT(cell(t, "Peto", "ChiSq"), 0);
    EXPECT_EQ(cell(t, "Modified", "DF"), 1);
}

TEST_F(Driver, TrendOverNumericStrataValues)
{
    q.ktype = 1 | 8 | 16;
    q.ogstat = &og;
    load(example(lungBy("ph_ecog", "0|1|2|3")), {0, 1, 2, 3});
    define();
    korvpol(&q);
    const vdq::Node* t = find("TrendTests");
    ASSERT_TRUE(t);
    EXPECT_NEAR(cell(t, "Log-Rank", "zScore"), 4.22789791297, 1e-9); // from survdiff's O-E, var
    EXPECT_NEAR(og.logrank, cell(t, "Log-Rank", "Probz"), 1e-15);
    const vdq::Node* s = find("TrendScores");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->rows.size(), 4u);
    EXPECT_FALSE(find("HomTests"));
}

TEST_F(Driver, NoPrintFillsTheInsetsWithoutTables)
{
    for (int trend : {0, 1}) {
        q.zprint = 0;
        q.ktype = trend | 8 | 16 | 512;
        q.ogstat = &og;
        og = OGSTAT{};
        load(example(lungBy("ph_ecog", "0|1|2|3")), {0, 1, 2, 3});
        korvpol(&q);
        EXPECT_TRUE(vdq::currentStep().items.empty()) << trend;
        EXPECT_GT(og.logrank, 0.0);
        EXPECT_LT(og.logrank, 0.01);
        EXPECT_FALSE(wzmis(og.wilcoxon));
        EXPECT_EQ(wzmis(og.lr), trend == 1);
    }
    // Without printing and without graphs nothing runs at all.
    q.ogstat = nullptr;
    og.logrank = -1;
    korvpol(&q);
    EXPECT_EQ(og.logrank, -1);
}

TEST_F(Driver, WeightsOfOneEqualTheUnweightedTest)
{
    q.ktype = 8 | 16 | 32;
    Records r = example(lungBy("ph_ecog", "0|1|2|3"));
    load(r, {0, 1, 2, 3}, true);
    define();
    korvpol(&q);
    const vdq::Node* t = find("HomTests");
    ASSERT_TRUE(t);
    EXPECT_NEAR(cell(t, "Log-Rank", "ChiSq"), 21.9621316825, 1e-8);
    EXPECT_NEAR(cell(t, "Wilcoxon", "ChiSq"), 23.5682504146, 1e-8);
    EXPECT_EQ(t->rows.size(), 3u);
}

// Weights of about 1e150: the Wilcoxon covariances pass the largest double
// in the weights' units. The chi-squares are those of the same weights in
// ordinary units; what no double holds shows missing, the rest in the
// weights' units, and the step ends with a warning.
TEST_F(Driver, WeightsNearTheLargestDoubleKeepTheChiSquares)
{
    q.ktype = 8 | 16 | 32;
    Records r = example(lungBy("sex", "1|2"));
    for (int64_t i = 0; i < r.n(); ++i)
        r.wt[i] = 0.5 + static_cast<double>(i % 7) * 0.25;
    load(r, {1, 2}, true);
    define();
    korvpol(&q);
    double plain[3];
    const char* tests[3] = {"Log-Rank", "Wilcoxon", "Tarone"};
    for (int t = 0; t < 3; ++t)
        plain[t] = cell(find("HomTests"), tests[t], "ChiSq");
    const double plainScore = find("HomStats")->rows.at(0).at(1).d;
    EXPECT_EQ(q.rc, 0);
    TearDown();
    q = KORVCOM{};
    SetUp();
    q.ktype = 8 | 16 | 32;
    for (auto& w : r.wt)
        w *= 1e150;
    load(r, {1, 2}, true);
    define();
    korvpol(&q);
    const vdq::Node* t = find("HomTests");
    ASSERT_TRUE(t);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(cell(t, tests[i], "ChiSq"), plain[i], 1e-12 * plain[i]) << tests[i];
        EXPECT_EQ(cell(t, tests[i], "DF"), 1) << tests[i];
    }
    // Log-rank scores and covariances are held (the weights' units), the
    // Wilcoxon covariances are not.
    EXPECT_NEAR(find("HomStats")->rows.at(0).at(1).d, plainScore * 1e150, 1e-12 * 1e150);
    const vdq::Node* lr = find("LogrankHomCov");
    ASSERT_TRUE(lr);
    EXPECT_FALSE(wzmis(lr->values[0]));
    EXPECT_GT(lr->values[0], 1e300);
    const vdq::Node* wil = find("WilcoxonHomCov");
    ASSERT_TRUE(wil);
    for (double v : wil->values)
        EXPECT_TRUE(wzmis(v));
    EXPECT_EQ(q.rc, 4);
}

TEST_F(Driver, WeightsScaleFreeAndPairedWithTheirRecords)
{
    // Weights that differ by record: a record read with its neighbour's
    // weight or stratum would change the statistic; scaling them all does not.
    q.ktype = 8 | 16;
    Records r = example(lungBy("sex", "1|2"));
    for (int64_t i = 0; i < r.n(); ++i)
        r.wt[i] = 0.5 + static_cast<double>(i % 7) * 0.25;
    Result direct = weighted(r, 2);
    load(r, {1, 2}, true);
    define();
    korvpol(&q);
    const vdq::Node* t = find("HomTests");
    ASSERT_TRUE(t);
    const double lr1 = cell(t, "Log-Rank", "ChiSq");
    EXPECT_NEAR(lr1, chisq(direct.lr, 2).chisq, 1e-9);
    TearDown();
    q = KORVCOM{};
    SetUp();
    q.ktype = 8 | 16;
    for (auto& w : r.wt)
        w *= 10;
    load(r, {1, 2}, true);
    define();
    korvpol(&q);
    EXPECT_NEAR(cell(find("HomTests"), "Log-Rank", "ChiSq"), lr1, 1e-9 * lr1);
}

TEST_F(Driver, LikelihoodRatioGuards)
{
    q.ktype = 8 | 512;
    q.ogstat = &og;
    // Stratum 0: no events; stratum 1: events; stratum 2: every time 0.
    Records r;
    r.add(3, -1, 0);
    r.add(5, -1, 0);
    r.add(2, 1, 1);
    r.add(4, 1, 1);
    r.add(6, -1, 1);
    r.add(0, 1, 2);
    r.add(0, -1, 2);
    load(r, {1, 2, 3});
    define();
    korvpol(&q);
    const vdq::Node* t = find("HomTests");
    ASSERT_TRUE(t);
    ASSERT_EQ(t->rows.size(), 2u);
    EXPECT_EQ(label(t, 1), "-2Log(LR)*");
    EXPECT_TRUE(wzmis(cell(t, "-2Log", "ChiSq")));
    EXPECT_TRUE(wzmis(cell(t, "-2Log", "ProbChiSq")));
    EXPECT_TRUE(wzmis(og.lr));
    EXPECT_FALSE(t->note.empty());
    // The marker did not run past the label field.
    EXPECT_EQ(q.varname[31], ' ');
}

TEST_F(Driver, SingleStratumGivesNoTest)
{
    q.ktype = 8 | 16 | 512;
    Records r;
    r.add(1, 1, 0);
    r.add(2, 1, 0);
    load(r, {1});
    define();
    korvpol(&q);
    EXPECT_FALSE(find("HomTests"));
}

TEST_F(Driver, TooManyStrataForTheMatricesAreDeclined)
{
    // Log-rank and Wilcoxon: two bordered blocks of (k + 1)(k + 2) / 2
    // doubles. Without MEMSIZE= the limit is the built-in 1 GB: 100,000
    // strata need 80 GB and are declined, 1,000 strata need 16 MB.
    q.ktype = 0x218;
    EXPECT_DOUBLE_EQ(korv_hom_size(&q, 100000).need, 2.0 * 100001 * 100002 / 2 * 8);
    EXPECT_EQ(korv_hom_size(&q, 100000).limit, KORV_HOM_MATRIX_CAP);
    EXPECT_FALSE(korv_hom_fits(&q, 100000));
    EXPECT_TRUE(korv_hom_fits(&q, 1000));
    // Each further test adds a block; with weights only Tarone can.
    q.ktype = 0x218 | 0x20 | 0x40 | 0x80 | 0x100;
    EXPECT_DOUBLE_EQ(korv_hom_size(&q, 1000).need, 6.0 * 1001 * 1002 / 2 * 8);
    q.zwt = 1;
    EXPECT_DOUBLE_EQ(korv_hom_size(&q, 1000).need, 3.0 * 1001 * 1002 / 2 * 8);
    // The largest count that fits the cap with two blocks.
    q.zwt = 0;
    q.ktype = 0x218;
    EXPECT_TRUE(korv_hom_fits(&q, 11178));
    EXPECT_FALSE(korv_hom_fits(&q, 11179));
    // Declining them is a warning: the step's return code becomes 4.
    q.nstrata = 11179;
    q.rc = 0;
    korv_hom_announce(&q);
    EXPECT_EQ(q.rc, 4);
    q.nstrata = 11178;
    q.rc = 0;
    korv_hom_announce(&q);
    EXPECT_EQ(q.rc, 0);
}

TEST_F(Driver, SavedScoresAreTheUnsweptBlocks)
{
    q.ktype = 8 | 16 | 256;
    q.fleming = fleming;
    q.survdiff = &sd;
    ASSERT_GE(xcopen(&sd.utid, nullptr), 0);
    load(example(lungBy("ph_ecog", "0|1|2|3")), {0, 1, 2, 3});
    q.zprint = 0;
    q.ogstat = &og;
    korvpol(&q);
    const int64_t bs = korv_block_size(4);
    std::vector<double> rec(3 * bs);
    ASSERT_EQ(xcpoint(sd.utid, 0), 0);
    ASSERT_EQ(xcread(sd.utid, rec.data(), static_cast<long>(8 * rec.size())), 0);
    // Record 1 is the log-rank block: survdiff's observed minus expected.
    const double oe[] = {-17.1526970189, -1.52756457508, 17.8526469347, 0.827614659335};
    for (int h = 0; h < 4; ++h)
        EXPECT_NEAR(rec[korv_score_offset(4) + h], oe[h], 1e-8);
    EXPECT_EQ(rec[bs - 1], 0.0); // unswept corner
    // Record 3 is Fleming-Harrington(1): survdiff rho = 1.
    std::vector<double> fl(rec.begin() + 2 * bs, rec.end());
    EXPECT_NEAR(chisq(fl, 4).chisq, 23.3952933703, 1e-8);
    EXPECT_EQ(sd.var, nullptr);
}

} // namespace

namespace
{

TEST(PooledRanking, SameIndexAsTheFrameRanking)
{
    // Many ties of time and of frequency, events and censored records, a
    // zero frequency: the index sort must give the frame's index exactly.
    for (int seed = 1; seed <= 5; ++seed) {
        const int64_t n = 2000;
        std::vector<double> t(n), f(n);
        uint64_t x = 88172645463325252ull * static_cast<uint64_t>(seed);
        auto next = [&x]() {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            return x;
        };
        for (int64_t i = 0; i < n; ++i) {
            t[i] = static_cast<double>(next() % 60) * 0.5;
            const double mag = static_cast<double>(next() % 4);
            f[i] = (next() % 3 == 0) ? -mag : mag;
        }
        std::vector<int64_t> a(n), b(n), link(n);
        korv_rank_with_links(t.data(), f.data(), a.data(), n, link.data());
        korv_hom_rank(t.data(), f.data(), b.data(), n);
        EXPECT_EQ(a, b) << seed;
    }
}

} // namespace

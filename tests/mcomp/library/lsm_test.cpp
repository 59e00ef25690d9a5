// The least-squares-means library over the engine's control block: t
// statistics with and without parameter data and estimability, the order
// of the differences, the descending sort, the lines display (refusing the
// comparison types that give no p-value for some pairs) and the control
// lookup through the levelization services.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "host/session/session_state.h"
#include "mcomp/zmclsm.h"
#include "runtime/missing.h"
#include "vyr_host.h"
#include "vyr_parse.h"

namespace
{

struct Lsm : ::testing::Test {
    ZMCLSMI lmc{};
    ZMCPDIFF pd{};
    std::vector<double> mean, var;
    POOLHANDLE* pool = nullptr;
    std::string log;

    void SetUp() override
    {
        pool = xmpoolc(0, 1024, 6);
        lmc.pool = pool;
        lmc.rmse = 1.0;
        lmc.method = QXMCLSM_EXACT;
        lmc.type = QXMCLSM_ALL;
        lmc.p = 0.05;
        vyr::print_capture(nullptr, &log);
    }
    void TearDown() override
    {
        vyr::print_capture(nullptr, nullptr);
        xmpoold(pool);
    }
    void means(std::vector<double> m, std::vector<double> v)
    {
        mean = std::move(m);
        var = std::move(v);
        lmc.nl = static_cast<int>(mean.size());
        lmc.mean = mean.data();
        lmc.var = var.data();
    }
};

} // namespace

TEST_F(Lsm, TStatisticsFromTheMeans)
{
    // Three means; V packed lower: var 4, 9, 1; cov(0,1) = 1.
    means({5.0, 2.0, 2.0}, {4, 1, 9, 0, 0, 1});
    lmc.curpd = &pd;
    // (5 - 2) / sqrt(4 + 9 - 2) with its sign, |t| and -t.
    EXPECT_NEAR(zlsmtd(&lmc, 0, 1), 3 / std::sqrt(11.0), 1e-15);
    EXPECT_NEAR(pd.dif, 3.0, 0);
    EXPECT_NEAR(pd.std, std::sqrt(11.0), 1e-15);
    EXPECT_EQ(pd.estimable, 1);
    EXPECT_TRUE(wzmis(pd.t)) << "t stays missing in the record";
    lmc.side = 'B';
    EXPECT_NEAR(zlsmtd(&lmc, 1, 0), 3 / std::sqrt(11.0), 1e-15);
    lmc.side = 'U';
    EXPECT_NEAR(zlsmtd(&lmc, 0, 1), -3 / std::sqrt(11.0), 1e-15);
    lmc.side = 0;
    // Equal means: exactly 0; a tiny difference is stored as 0.
    EXPECT_EQ(zlsmtd(&lmc, 1, 2), 0.0);
    EXPECT_EQ(pd.dif, 0.0);
    mean[2] = 2.0 + 1e-14;
    zlsmtd(&lmc, 1, 2);
    EXPECT_EQ(pd.dif, 0.0);
    // One mean; the average of all.
    EXPECT_NEAR(zlsmt(&lmc, 1), 2.0 / 3.0, 1e-15);
    // Weights 1/V_kk: 1/4, 1/9, 1; c = e_0 - w/W.
    const double w[3] = {0.25, 1.0 / 9, 1.0}, W = w[0] + w[1] + w[2];
    const double c[3] = {1 - w[0] / W, -w[1] / W, -w[2] / W};
    const double est = c[0] * 5 + c[1] * 2 + c[2] * mean[2];
    const double v = c[0] * c[0] * 4 + c[1] * c[1] * 9 + c[2] * c[2] * 1 + 2 * c[0] * c[1] * 1;
    EXPECT_NEAR(zlsmtda(&lmc, 0), est / std::sqrt(v), 1e-14);
    lmc.overall = QXMCLSM_ANOM_UNWEIGHTED;
    EXPECT_NEAR(pd.dif, est, 1e-14);
    const double t1 = zlsmtda(&lmc, 0);
    EXPECT_NEAR(pd.dif, 5 - (5 + 2 + mean[2]) / 3, 1e-14);
    EXPECT_TRUE(std::isfinite(t1));
    // Missing or unusable inputs give missing results.
    mean[1] = korv_missing();
    EXPECT_TRUE(wzmis(zlsmtd(&lmc, 0, 1)));
    EXPECT_EQ(pd.estimable, 0);
    mean[1] = 2.0;
    lmc.rmse = korv_missing();
    EXPECT_TRUE(wzmis(zlsmtd(&lmc, 0, 1)));
    EXPECT_TRUE(wzmis(pd.std));
    lmc.rmse = 1.0;
    var[2] = 0;
    var[0] = 0;
    var[1] = 0;
    EXPECT_TRUE(wzmis(zlsmtd(&lmc, 0, 1)));
}

TEST_F(Lsm, TStatisticsFromParameterEstimates)
{
    // Two parameters; the means are L beta with L = I, beta = (3, 1); C =
    // [[2, 0.5], [0.5, 1]] packed lower by rows.
    means({3.0, 1.0}, {2, 0.5, 1});
    std::vector<double> L = {1, 0, 0, 1}, beta = {3, 1}, cov = {2, 0.5, 1}, km(2);
    ZMCCKE cke{};
    cke.np = 2;
    cke.HermiteType = QXMC_HERMITEZLEV;
    cke.L = L.data();
    cke.beta = beta.data();
    cke.cov = cov.data();
    cke.km = km.data();
    lmc.cke = &cke;
    lmc.curpd = &pd;
    const double want = 2.0 / std::sqrt(2 + 1 - 1.0);
    EXPECT_NEAR(zlsmtd(&lmc, 0, 1), want, 1e-15);
    // Estimable under H = I (dense, by columns); not under H = diag(1, 0).
    std::vector<double> H = {1, 0, 0, 1};
    cke.Hermite = H.data();
    EXPECT_NEAR(zlsmtd(&lmc, 0, 1), want, 1e-15);
    EXPECT_EQ(pd.estimable, 1);
    EXPECT_EQ(cke.epsi, 1e-4) << "0 means the default, stored back";
    H = {1, 0, 0, 0};
    EXPECT_TRUE(wzmis(zlsmtd(&lmc, 0, 1)));
    EXPECT_EQ(pd.estimable, 0);
    EXPECT_TRUE(wzmis(pd.dif));
    EXPECT_EQ(CheckEstimability(&lmc), 1);
    // The compressed form: column pointers (the second null) and the
    // covariance as a packed upper triangle of the kept parameters.
    double col0[2] = {1, 0};
    double* cols[2] = {col0, nullptr};
    cke.Hermite = cols;
    cke.HermiteType = QXMC_HERMITEXPN;
    EXPECT_TRUE(wzmis(zlsmtd(&lmc, 0, 1))) << "the second column is zero";
    double col1[2] = {0, 1};
    cols[1] = col1;
    int keep[2] = {1, 1};
    cke.bcompress = keep;
    std::vector<double> upper = {2, 0.5, 1};
    cke.cov = upper.data();
    cke.rankX = 2;
    EXPECT_NEAR(zlsmtd(&lmc, 0, 1), want, 1e-15);
    // The average row is made afresh for any mean, in any order.
    cke.Hermite = nullptr;
    cke.HermiteType = QXMC_HERMITEZLEV;
    cke.bcompress = nullptr;
    cke.cov = cov.data();
    lmc.overall = QXMCLSM_ANOM_UNWEIGHTED;
    const double late = zlsmtda(&lmc, 1);
    const double first = zlsmtda(&lmc, 0);
    const double again = zlsmtda(&lmc, 1);
    EXPECT_EQ(late, again);
    EXPECT_NEAR(first, -late, 1e-14);
    EXPECT_NE(cke.anomL, nullptr);
}

TEST_F(Lsm, PositionsOfTheDifferences)
{
    lmc.nl = 4;
    lmc.type = QXMCLSM_ALL;
    EXPECT_EQ(DiffIdx(&lmc, 2, 3), 5);
    EXPECT_EQ(DiffIdx(&lmc, 0, 1), 0);
    EXPECT_EQ(DiffIdx(&lmc, 1, 0), 0);
    EXPECT_EQ(DiffIdx(&lmc, 1, 3), 4);
    EXPECT_EQ(DiffIdx(&lmc, 2, 2), -1);
    lmc.type = QXMCLSM_CONTROL;
    lmc.idxcntl = 1;
    EXPECT_EQ(DiffIdx(&lmc, 1, 0), 0);
    EXPECT_EQ(DiffIdx(&lmc, 3, 1), 2);
    EXPECT_EQ(DiffIdx(&lmc, 0, 2), -1) << "two non-control means";
    lmc.type = QXMCLSM_ANOM;
    EXPECT_EQ(DiffIdx(&lmc, 0, 3), 3);
    lmc.type = QXMCLSM_NODIFF;
    EXPECT_EQ(DiffIdx(&lmc, 0, 1), -1);
}

TEST_F(Lsm, DescendingSort)
{
    double v[] = {4, 3, 3, 1};
    int w[] = {0, 1, 2, 3};
    MSort(v, 4, w);
    EXPECT_EQ(w[1], 1) << "a descending vector does not move";
    EXPECT_EQ(w[2], 2);
    double a[] = {1, 3, 2};
    int b[] = {0, 1, 2};
    MSort(a, 3, b);
    EXPECT_EQ(std::vector<double>(a, a + 3), (std::vector<double>{3, 2, 1}));
    EXPECT_EQ(std::vector<int>(b, b + 3), (std::vector<int>{1, 2, 0}));
    double c[] = {0.5, 7, -1, 7, 2, 9, 3};
    MSort(c, 7, nullptr);
    EXPECT_EQ(std::vector<double>(c, c + 7), (std::vector<double>{9, 7, 7, 3, 2, 0.5, -1}));
}

TEST_F(Lsm, LinesDisplay)
{
    ZMCLSML ll{};
    ll.pool = pool;
    std::vector<double> adjp;
    auto run = [&](std::vector<double> p) {
        adjp = std::move(p);
        lmc.adjp = adjp.data();
        lmc.ncmp = static_cast<int>(adjp.size());
        ll = ZMCLSML{};
        ll.pool = pool;
        return zmclsml(&lmc, &ll);
    };
    auto mark = [&](int row, int col) { return static_cast<char>(ll.rows[row * 60 + col]); };
    // Means in the order 1, 3, 0, 2 (descending).
    means({5, 1, 3, 8}, {1, 0, 1, 0, 0, 1, 0, 0, 0, 1});
    // Every difference significant: one line per mean, A, B, C, D, each in
    // character column 16 (each line ends before the next is laid).
    ASSERT_EQ(run({0.01, 0.01, 0.01, 0.01, 0.01, 0.01}), ZMCLSML_DONE);
    EXPECT_EQ(ll.nLines, 4);
    EXPECT_EQ(std::vector<int>(ll.mindex, ll.mindex + 4), (std::vector<int>{3, 0, 2, 1}));
    for (int l = 0; l < 4; ++l) {
        EXPECT_EQ(ll.Line[l].column, 1);
        EXPECT_EQ(ll.Line[l].start, l);
        EXPECT_EQ(ll.Line[l].stop, l);
        EXPECT_EQ(static_cast<char>(ll.Line[l].mark), "ABCD"[l]);
    }
    EXPECT_EQ(ll.nlinecol, 1);
    EXPECT_EQ(ll.colused[15], 1);
    EXPECT_EQ(mark(0, 15), 'A');
    EXPECT_EQ(mark(1, 15), ' ') << "no line between the first two means";
    EXPECT_EQ(mark(6, 15), 'D');
    // No difference significant: a single line A over all four.
    ASSERT_EQ(run({0.5, 0.5, 0.5, 0.5, 0.5, 0.5}), ZMCLSML_DONE);
    EXPECT_EQ(ll.nLines, 1);
    EXPECT_EQ(ll.Line[0].start, 0);
    EXPECT_EQ(ll.Line[0].stop, 3);
    for (int r = 0; r < 7; ++r)
        EXPECT_EQ(mark(r, 15), 'A') << r;
    // Sorted 8 (3), 5 (0), 3 (2), 1 (1): 8~5 and 5~3 not significant, the rest
    // significant: A over 8..5, B over 5..3 beside it, C for 1 alone.
    //           pairs: (0,1) (0,2) (0,3) (1,2) (1,3) (2,3)
    ASSERT_EQ(run({0.01, 0.40, 0.30, 0.01, 0.01, 0.01}), ZMCLSML_DONE);
    ASSERT_EQ(ll.nLines, 3);
    EXPECT_EQ(std::vector<int>(ll.same, ll.same + 4), (std::vector<int>{1, 2, 2, 3}));
    EXPECT_EQ(mark(0, 15), 'A');
    EXPECT_EQ(mark(2, 15), 'A');
    EXPECT_EQ(mark(2, 7), 'B');
    EXPECT_EQ(mark(4, 7), 'B');
    EXPECT_EQ(mark(6, 15), 'C');
    EXPECT_EQ(ll.nlinecol, 2);
    // Missing inputs.
    mean[2] = korv_missing();
    EXPECT_EQ(run({0.5, 0.5, 0.5, 0.5, 0.5, 0.5}), ZMCLSML_MEANS_MISSING);
    mean[2] = 3;
    EXPECT_EQ(run({0.5, 0.5, korv_missing(), 0.5, 0.5, 0.5}), ZMCLSML_ADJP_MISSING);
    lmc.adjp = nullptr;
    EXPECT_EQ(zmclsml(&lmc, &ll), ZMCLSML_ADJP_MISSING);
}

TEST_F(Lsm, LinesDisplayRefusesControlTypes)
{
    // With comparisons against a control, two non-control means have no
    // p-value: the display refuses rather than read one that is not there.
    means({5, 1, 3, 8}, {1, 0, 1, 0, 0, 1, 0, 0, 0, 1});
    std::vector<double> guard = {-1, 0.5, 0.5, 0.5, -1};
    lmc.adjp = guard.data() + 1;
    lmc.ncmp = 3;
    ZMCLSML ll{};
    ll.pool = pool;
    for (int type : {QXMCLSM_CONTROL, QXMCLSM_CONTROLL, QXMCLSM_CONTROLU, QXMCLSM_NODIFF}) {
        lmc.type = type;
        EXPECT_EQ(zmclsml(&lmc, &ll), ZMCLSML_TYPE_REFUSED) << type;
        EXPECT_EQ(ll.nLines, 0);
    }
    // Analysis of means: the p-value of mean b is adjp[b].
    lmc.type = QXMCLSM_ANOM;
    std::vector<double> anom = {0.5, 0.5, 0.01, 0.5};
    lmc.adjp = anom.data();
    lmc.ncmp = 4;
    EXPECT_EQ(zmclsml(&lmc, &ll), ZMCLSML_DONE);
}

namespace
{

// A made-up effect: parts of 3 and 2 levels named a/b/c and x/y.
struct FakeEffect {
    int parts = 1;
};
const char* kNames[2][3] = {{"a", "b", "c"}, {"x", "y", nullptr}};
ZMCLEVELS g_fake = {
    [](void* e) { return static_cast<FakeEffect*>(e)->parts; },
    [](void* e) { return static_cast<FakeEffect*>(e)->parts; },
    [](void*, int) { return 1; },
    [](void*, int p, char** values, int n) {
        for (int l = 0; l < 3 && n == 1; ++l)
            if (kNames[p][l] && std::strcmp(kNames[p][l], values[0]) == 0)
                return l;
        return -1;
    },
    [](void*, void*, int p) { return p == 0 ? 3 : 2; },
    [](void*, int* len) {
        *len = 3;
        return "Trt";
    },
};

} // namespace

TEST_F(Lsm, ControlLookup)
{
    zmc_register_levels(&g_fake);
    STTEXT t[3] = {};
    std::string v0 = "  c", v1 = "y", v2 = "zz";
    t[0].s = v0.data();
    t[0].l = static_cast<int64_t>(v0.size());
    t[1].s = v1.data();
    t[1].l = 1;
    t[2].s = v2.data();
    t[2].l = 2;
    STLIST list{};
    list.type = STL_TEXTS;
    list.n = 3;
    list.texts = t;
    FakeEffect one, two;
    two.parts = 2;
    EXPECT_EQ(zmccntl(0, &list, 0, nullptr, &one), 0);
    EXPECT_EQ(zmccntl(1, &list, 0, nullptr, &one), 2) << "left-justified before the lookup";
    // Two parts: c then y gives 2 * 2 + 1.
    EXPECT_EQ(zmccntl(2, &list, 0, nullptr, &two), 5);
    EXPECT_EQ(zmccntl(1, &list, 2, nullptr, &one), -1);
    EXPECT_NE(log.find("The CONTROL= value zz is not a level of the effect Trt."),
              std::string::npos)
        << log;
    // Too few values; too many (the rest ignored, with a warning).
    EXPECT_EQ(zmccntl(1, &list, 0, nullptr, &two), -1);
    EXPECT_NE(log.find("fewer values than the effect Trt needs"), std::string::npos) << log;
    EXPECT_EQ(zmccntl(2, &list, 0, nullptr, &one), 2);
    EXPECT_NE(log.find("the values after the first 1 are ignored"), std::string::npos) << log;
    // An empty value is shown as ' '.
    std::string blank = "   ";
    t[0].s = blank.data();
    t[0].l = 3;
    log.clear();
    EXPECT_EQ(zmccntl(1, &list, 0, nullptr, &one), -1);
    EXPECT_NE(log.find("The CONTROL= value ' ' is not a level"), std::string::npos) << log;
    // Without the levelization services there is no level to find.
    zmc_register_levels(nullptr);
    EXPECT_EQ(zmccntl(1, &list, 1, nullptr, &one), -1);
}

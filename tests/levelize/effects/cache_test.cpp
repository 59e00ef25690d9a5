// The fit cache and sweep: results computed once and kept, the sweep in
// place, singular columns and their dependencies, tolerances, column maps,
// missing values reaching the accumulators, the Cholesky root; the reader's
// teardown; and allocations that end the step when memory runs out.
#include "support/levelize_effects.h"

#include <cmath>

namespace
{

using eff::Builder;
using eff::Effect;
using korvtest::Near;
using korvtest::Table;

long packed(int i, int j)
{
    return i >= j ? static_cast<long>(i) * (i + 1) / 2 + j : static_cast<long>(j) * (j + 1) / 2 + i;
}

// Effects x and x again (two identical columns), y1 the response.
void twice_x(Builder& b)
{
    b.add_cont("x");
    b.add_effect(Effect{{}, {}, {0}});
    b.add_effect(Effect{{}, {}, {0}});
    b.responses({"y1"});
}

TEST(FitCache, IdenticalColumnsSweepOnceAndRecordTheDependency)
{
    step_probe::run([&] {
        Builder b;
        twice_x(b);
        ASSERT_EQ(b.init(ZLEV_OPT0_FULLRANK | ZLEV_OPT0_NOCENTER), 0);
        ASSERT_EQ(b.m.p, 2);
        auto* h = static_cast<ZLEVH*>(zlevfit(&b.r, ZLEV_FIT_ESTIM));
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->estimbl[0], 1);
        EXPECT_EQ(h->estimbl[1], 0);
        EXPECT_DOUBLE_EQ(h->data[0 * 2 + 0], 1.0);
        EXPECT_DOUBLE_EQ(h->data[0 * 2 + 1], 1.0); // column 1 is column 0
        auto* swept = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_SWEPT));
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(swept[packed(1, i)], 0.0) << i;
        // The one coefficient is that of y1 on x without an intercept.
        auto* xpx = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_XPX));
        const double* beta = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_BETA, 0));
        EXPECT_TRUE(Near(beta[0], xpx[packed(2, 0)] / xpx[0], 1e-13));
        EXPECT_EQ(beta[1], 0.0);
        // Everything is released at once.
        EXPECT_NE(b.r.fit.stuff, nullptr);
        EXPECT_EQ(zlevfit(&b.r, ZLEV_FIT_RELEASE), nullptr);
        EXPECT_EQ(b.r.fit.stuff, nullptr);
    });
}

TEST(FitCache, SweepInPlaceAndTolerances)
{
    step_probe::run([&] {
        Builder b;
        twice_x(b);
        b.r.fit.options = ZLEV_FIT_INPLACE;
        ASSERT_EQ(b.init(ZLEV_OPT0_FULLRANK | ZLEV_OPT0_NOCENTER), 0);
        auto* raw = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_XPX));
        const double xx = raw[0];
        auto* swept = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_SWEPT));
        EXPECT_EQ(swept, raw); // swept where it stood
        EXPECT_DOUBLE_EQ(swept[0], 1.0 / xx);
        // The crossproducts are made again when asked for after that.
        auto* again = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_XPX));
        EXPECT_NE(again, swept);
        EXPECT_DOUBLE_EQ(again[0], xx);
    });
    step_probe::run([&] {
        // An absolute tolerance above every diagonal: nothing sweeps.
        Builder b;
        twice_x(b);
        b.r.fit.options = ZLEV_FIT_ABSTOL;
        b.r.fit.abstol = 1e12;
        ASSERT_EQ(b.init(ZLEV_OPT0_FULLRANK | ZLEV_OPT0_NOCENTER), 0);
        auto* h = static_cast<ZLEVH*>(zlevfit(&b.r, ZLEV_FIT_ESTIM));
        EXPECT_EQ(h->estimbl[0] + h->estimbl[1], 0);
    });
    // A pivot not above the tolerance is singular: its row and column go.
    double a[3] = {0.3, 0.1, 2.0};
    char df[2] = {'0', '0'};
    double w[2];
    EXPECT_EQ(zlevswp(a, 0, 2, df, w, 0.5, nullptr), 0);
    EXPECT_EQ(df[0], '0');
    EXPECT_EQ(a[0], 0.0);
    EXPECT_EQ(a[1], 0.0);
    EXPECT_EQ(a[2], 2.0);
    EXPECT_EQ(zlevswp(a, 1, 2, df, w, 0.5, nullptr), 1);
    EXPECT_EQ(a[2], 0.5);
}

TEST(FitCache, StoredResultsAndTheRoot)
{
    step_probe::run([&] {
        Builder b;
        b.add_class("a", ZLEV_PARAM_REFERENCE);
        b.add_cont("x");
        b.add_effect(Effect{});
        b.add_effect(Effect{{0}});
        b.add_effect(Effect{{}, {}, {0}});
        b.responses({"y1"});
        ASSERT_EQ(b.init(ZLEV_OPT0_FULLRANK | ZLEV_OPT0_NOCENTER), 0);
        const int t = b.m.p + 1;
        auto* xpx = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_XPX));
        auto* root = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_ROOT));
        // R R' is the crossproduct matrix (R lower, packed by rows).
        for (int i = 0; i < t; ++i)
            for (int j = 0; j <= i; ++j) {
                double s = 0;
                for (int k = 0; k <= j; ++k)
                    s += root[packed(i, k)] * root[packed(j, k)];
                EXPECT_TRUE(Near(s, xpx[packed(i, j)], 1e-12, 1e-9)) << i << "," << j;
            }
        // Its transformed copy: each design row divided by minus its pivot.
        auto* inv = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_ROOTINV));
        for (int i = 0; i < b.m.p; ++i)
            for (int j = 0; j <= i; ++j)
                EXPECT_DOUBLE_EQ(inv[packed(i, j)], -root[packed(i, j)] / root[packed(i, i)]);
        // A caller's result kept under a type of its own, replaced later.
        double* mine = static_cast<double*>(zlevAlloc(b.pool, 16));
        EXPECT_EQ(zlevfit(&b.r, ZLEV_FIT_STORE, 42, static_cast<void*>(mine)), mine);
        double* other = static_cast<double*>(zlevAlloc(b.pool, 16));
        zlevfit(&b.r, ZLEV_FIT_STORE, 42, static_cast<void*>(other));
        int found = 0;
        for (ZLEVFITS* s = b.r.fit.stuff; s; s = s->next)
            if (s->type == 42) {
                ++found;
                EXPECT_EQ(s->data, other);
            }
        EXPECT_EQ(found, 1);
        EXPECT_EQ(zlevfit(&b.r, 42), nullptr);
    });
}

int g_calls = 0;
int every_fifth_missing(ZLEVREGI* r, double* y, void*)
{
    zlevrgd(r, y, nullptr, nullptr);
    if (++g_calls % 5 == 0)
        y[0] = korv_missing();
    return 1; // used whatever its status
}

TEST(FitCache, ColumnMapsAndMissingValuesInTheAccumulators)
{
    Table d("tests/reference/levelize_data.csv");
    double yy = 0, y = 0, yyKept = 0;
    for (size_t i = 0; i < d.size(); ++i) {
        yy += d.num(i, "y1") * d.num(i, "y1");
        y += d.num(i, "y1");
        if ((i + 1) % 5 != 0)
            yyKept += d.num(i, "y1") * d.num(i, "y1");
    }
    step_probe::run([&] {
        // The intercept goes to column 1, x nowhere: the matrix holds the
        // two mapped columns (entries count from 0) and the response.
        Builder b;
        b.add_cont("x");
        b.add_effect(Effect{});
        b.add_effect(Effect{{}, {}, {0}});
        b.responses({"y1"});
        int perm[2] = {1, -1};
        b.r.fit.perm = perm;
        ASSERT_EQ(b.init(ZLEV_OPT0_NOCENTER), 0);
        auto* xpx = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_XPX));
        EXPECT_EQ(b.r.fit.nx, 2);
        EXPECT_EQ(xpx[packed(0, 0)], 0.0);
        EXPECT_EQ(xpx[packed(1, 0)], 0.0);
        EXPECT_EQ(xpx[packed(1, 1)], 40.0);
        EXPECT_TRUE(Near(xpx[packed(2, 1)], y, 1e-13));
        EXPECT_TRUE(Near(xpx[packed(2, 2)], yy, 1e-13));
    });
    step_probe::run([&] {
        // A response callback that lets missing values through: those
        // observations add nothing and are not counted.
        Builder b;
        b.add_cont("x");
        b.add_effect(Effect{});
        b.add_effect(Effect{{}, {}, {0}});
        b.responses({"y1"});
        b.r.fit.GetY = every_fifth_missing;
        g_calls = 0;
        ASSERT_EQ(b.init(ZLEV_OPT0_NOCENTER), 0);
        auto* xpx = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_XPX));
        EXPECT_EQ(b.r.n, 32);
        EXPECT_EQ(xpx[0], 32.0);
        EXPECT_TRUE(Near(xpx[packed(2, 2)], yyKept, 1e-13));
    });
}

TEST(Teardown, EachPartIsReleasedOnRequest)
{
    step_probe::run([&] {
        Builder b;
        b.add_class("a");
        b.add_class("b");
        b.add_effect(Effect{{0, 1}});
        b.responses({"y1"});
        ASSERT_EQ(b.init(), 0);
        ASSERT_NE(b.ef[0].levels, nullptr);
        ASSERT_NE(b.r.fit.GetXpX, nullptr);
        zlevtrm(&b.r, ZLEV_TRM_LEVELS | ZLEV_TRM_WORK | ZLEV_TRM_CALLBACKS | ZLEV_TRM_FIT |
                          ZLEV_TRM_DATA | ZLEV_TRM_THREADS);
        EXPECT_EQ(b.ef[0].levels, nullptr);
        EXPECT_EQ(b.clas[0].nlev, 0);
        EXPECT_EQ(b.r.g, nullptr);
        EXPECT_EQ(b.r.c, nullptr);
        EXPECT_EQ(b.r.GetVals, nullptr);
        EXPECT_EQ(b.r.fit.GetXpX, nullptr);
        EXPECT_EQ(b.r.fit.y, nullptr);
        EXPECT_EQ(b.d.xvd, nullptr);
        zlevtrm(&b.r, ZLEV_TRM_POOL);
        EXPECT_EQ(b.d.pool, nullptr);
        b.pool = nullptr; // deleted with the reader
        EXPECT_EQ(zlevtrm(nullptr, 0xff), 0);
    });
}

TEST(Memory, AnExhaustedPoolEndsTheStepWithItsMessage)
{
    // The column list of a nested effect of a million cells does not fit
    // in 10 MB: the step ends with the memory message, it does not go on
    // with a null list.
    const auto run = step_probe::run(
        [&] {
            POOLHANDLE* pool = xmpoolc(0, 1024, 0);
            ZLEVVAR v[2]{};
            v[0].nlev = 3;
            v[0].param = ZLEV_PARAM_REFERENCE;
            v[0].ref = 2;
            v[1].nlev = 1000000;
            int cros[1] = {0}, nest[1] = {1}, clas[2] = {0, 1};
            ZLEVETRM ef{};
            ef.ncros = 1;
            ef.cros = cros;
            ef.nnest = 1;
            ef.nest = nest;
            ef.nclas = 2;
            ef.clas = clas;
            ZLEVMOD m{};
            m.opt[0] = static_cast<char>(ZLEV_OPT0_FULLRANK);
            m.clas = {2, v};
            m.nef = 1;
            m.ef = &ef;
            ef.npar = zlevedf(&m, 0);
            m.p = ef.npar;
            ZLEVDAT d{};
            d.pool = pool;
            ZLEVREGI r{};
            r.d = &d;
            r.m = &m;
            zlevLevelsAll(&r, 0, nullptr);
            ADD_FAILURE() << "the step goes on";
        },
        {{"MEMSIZE", "10000000"}});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.log.find("ERROR: Out of memory"), std::string::npos) << run.log;
}

} // namespace

// Design rows, crossproducts and fits of levelized models against R: the
// design under reference, effect, polynomial and orthogonal polynomial
// codings, without an intercept and not of full rank (model.matrix,
// poly(raw = TRUE), contr.poly), the weighted crossproducts (crossprod), the
// coefficients, error and total sums of squares (lm.wfit) and hypothesis
// tests (the sums of squares anova attributes to the last term).
#include "support/levelize_effects.h"

#include <map>

namespace
{

using eff::Builder;
using eff::Effect;
using korvtest::Near;
using korvtest::Table;

// The reference rows of one case: obs -> columns.
std::vector<std::vector<double>> reference(const Table& t, const std::string& cas)
{
    std::vector<std::vector<double>> out;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t.text(i, "case") != cas)
            continue;
        const size_t obs = static_cast<size_t>(t.num(i, "obs"));
        const size_t col = static_cast<size_t>(t.num(i, "col"));
        if (out.size() <= obs)
            out.resize(obs + 1);
        if (out[obs].size() <= col)
            out[obs].resize(col + 1);
        out[obs][col] = t.num(i, "value");
    }
    return out;
}

// A model over a, b, c (classification) and x (continuous) for each case.
struct Case {
    const char* name;
    unsigned char opt0;
    int paramA, paramB, paramC;
    std::vector<Effect> effects;
    bool upToSign;
};

std::vector<Case> cases()
{
    const Effect I{}, A{{0}}, B{{1}}, AB{{0, 1}}, C{{2}}, X{{}, {}, {0}}, XA{{0}, {}, {0}},
        CinA{{2}, {0}};
    const unsigned char full = ZLEV_OPT0_FULLRANK | ZLEV_OPT0_NOCENTER;
    return {
        {"reference",
         full,
         ZLEV_PARAM_REFERENCE,
         ZLEV_PARAM_REFERENCE,
         ZLEV_PARAM_POLY,
         {I, A, B, AB, C, X, XA},
         false},
        {"effect", full, ZLEV_PARAM_EFFECT, ZLEV_PARAM_EFFECT, 0, {I, A, B, AB, X, XA}, false},
        {"nointercept",
         full | ZLEV_OPT0_NOINT,
         ZLEV_PARAM_EFFECT,
         ZLEV_PARAM_REFERENCE,
         0,
         {A, B},
         false},
        {"lessthanfull", ZLEV_OPT0_NOCENTER, 0, 0, 0, {I, A, B, AB, CinA, X}, false},
        {"opoly", full, 0, 0, ZLEV_PARAM_OPOLY, {I, C}, true},
    };
}

void build(Builder& b, const Case& c)
{
    b.add_class("a", c.paramA);
    b.add_class("b", c.paramB);
    b.add_class("c", c.paramC);
    b.add_cont("x");
    for (const Effect& e : c.effects)
        b.add_effect(e);
}

TEST(Design, RowsUnderEachCodingMatchModelMatrix)
{
    Table t("levelize_design.csv");
    for (const Case& c : cases()) {
        const auto want = reference(t, c.name);
        ASSERT_EQ(want.size(), 40u) << c.name;
        std::vector<std::vector<double>> got;
        int p = -1;
        const auto run = step_probe::run([&] {
            Builder b;
            build(b, c);
            ASSERT_EQ(b.init(c.opt0), 0) << c.name;
            p = b.m.p;
            got = b.rows();
        });
        ASSERT_EQ(p, static_cast<int>(want[0].size())) << c.name << run.log;
        ASSERT_EQ(got.size(), want.size()) << c.name;
        for (size_t col = 0; col < want[0].size(); ++col) {
            double sign = 1;
            if (c.upToSign) {
                double dot = 0;
                for (size_t o = 0; o < got.size(); ++o)
                    dot += got[o][col] * want[o][col];
                sign = dot < 0 ? -1 : 1;
            }
            for (size_t o = 0; o < got.size(); ++o)
                EXPECT_TRUE(Near(got[o][col], sign * want[o][col], 1e-12, 1e-12))
                    << c.name << " obs " << o << " col " << col;
        }
    }
}

// The fit references of one case: what -> (i, j) -> value.
std::map<std::string, std::map<std::pair<int, int>, double>> fit_reference(const std::string& cas)
{
    Table t("levelize_fit.csv");
    std::map<std::string, std::map<std::pair<int, int>, double>> out;
    for (size_t i = 0; i < t.size(); ++i)
        if (t.text(i, "case") == cas)
            out[t.text(i, "what")][{static_cast<int>(t.num(i, "i")),
                                    static_cast<int>(t.num(i, "j"))}] = t.num(i, "value");
    return out;
}

long packed(int i, int j)
{
    return i >= j ? static_cast<long>(i) * (i + 1) / 2 + j : static_cast<long>(j) * (j + 1) / 2 + i;
}

TEST(Fit, WeightedCrossproductsCoefficientsAndTestsMatchR)
{
    auto ref = fit_reference("reference");
    ASSERT_FALSE(ref["xpx"].empty());
    const Case c = cases()[0];
    step_probe::run([&] {
        Builder b;
        build(b, c);
        b.responses({"y1", "y2"});
        b.weight("w");
        ASSERT_EQ(b.init(c.opt0), 0);
        const int p = b.m.p;
        ASSERT_EQ(p, 12);
        auto* xpx = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_XPX));
        ASSERT_NE(xpx, nullptr);
        EXPECT_EQ(b.r.fit.nx, p);
        EXPECT_EQ(b.r.n, 40);
        for (const auto& [ij, v] : ref["xpx"])
            EXPECT_TRUE(Near(xpx[packed(ij.first, ij.second)], v, 1e-12, 1e-11))
                << "xpx " << ij.first << "," << ij.second;
        for (int k = 0; k < 2; ++k) {
            auto* beta = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_BETA, k));
            for (int j = 0; j < p; ++j)
                EXPECT_TRUE(Near(beta[j], ref["beta"][{k, j}], 1e-9, 1e-10)) << k << " " << j;
        }
        double* sse = GetSSE(&b.r);
        double* sst = GetSST(&b.r);
        for (const auto& [ij, v] : ref["sse"])
            EXPECT_TRUE(Near(sse[packed(ij.first, ij.second)], v, 1e-9, 1e-10)) << "sse";
        for (const auto& [ij, v] : ref["sst"])
            EXPECT_TRUE(Near(sst[packed(ij.first, ij.second)], v, 1e-12, 1e-11)) << "sst";
        // The cache hands back the same element twice; the model sums of
        // squares are the total less the error ones.
        auto* e1 = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_SSE, 1));
        EXPECT_EQ(e1, static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_SSE, 1)));
        EXPECT_TRUE(Near(*e1, ref["sse"][{1, 1}], 1e-9));
        auto* ssm = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_SSM, 0));
        EXPECT_TRUE(Near(*ssm, ref["sst"][{0, 0}] - ref["sse"][{0, 0}], 1e-9));
        // L b = 0 for the two x*A columns, both responses.
        std::vector<double> L(2 * static_cast<size_t>(p), 0.0);
        L[10] = 1;
        L[p + 11] = 1;
        ZLEVL l{&b.m, 2, L.data()};
        auto* res = static_cast<ZLEVTESTR*>(
            zlevfit(&b.r, ZLEV_FIT_TEST, &l, -1, static_cast<const char*>("dvse")));
        ASSERT_NE(res, nullptr);
        EXPECT_EQ(res->rank, 2);
        EXPECT_EQ(res->nest, 4);
        ASSERT_NE(res->q, nullptr);
        for (const auto& [ij, v] : ref["testss"])
            EXPECT_TRUE(Near(res->ss[packed(ij.first, ij.second)], v, 1e-8, 1e-10)) << "ss";
        for (const auto& [ij, v] : ref["testest"])
            EXPECT_TRUE(Near(res->est[ij.second * 2 + ij.first], v, 1e-9, 1e-10)) << "est";
        // One response alone.
        auto* one = static_cast<ZLEVTESTR*>(
            zlevfit(&b.r, ZLEV_FIT_TEST, &l, 1, static_cast<const char*>("s")));
        EXPECT_TRUE(Near(one->ss[0], ref["testss"][{1, 1}], 1e-8));
        EXPECT_EQ(one->est, nullptr);
    });
}

TEST(Fit, DesignNotOfFullRankSweepsToTheSameErrorSumOfSquares)
{
    auto ref = fit_reference("lessthanfull");
    const Case c = cases()[3];
    step_probe::run([&] {
        Builder b;
        build(b, c);
        b.responses({"y1"});
        ASSERT_EQ(b.init(c.opt0), 0);
        const int p = b.m.p;
        ASSERT_EQ(p, 25);
        auto* xpx = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_XPX));
        for (const auto& [ij, v] : ref["xpx"])
            EXPECT_TRUE(Near(xpx[packed(ij.first, ij.second)], v, 1e-12, 1e-11))
                << ij.first << "," << ij.second;
        auto* sse = static_cast<double*>(zlevfit(&b.r, ZLEV_FIT_SSE, 0));
        EXPECT_TRUE(Near(*sse, ref["sse"][{0, 0}], 1e-8));
        auto* h = static_cast<ZLEVH*>(zlevfit(&b.r, ZLEV_FIT_ESTIM));
        int swept = 0;
        for (int i = 0; i < p; ++i)
            swept += h->estimbl[i];
        EXPECT_EQ(swept, static_cast<int>(ref["rank"][{0, 0}]));
        std::vector<double> L(static_cast<size_t>(p), 0.0);
        L[static_cast<size_t>(p) - 1] = 1;
        ZLEVL l{&b.m, 1, L.data()};
        auto* res = ::Test(&b.r, &l, 0, "ds");
        EXPECT_EQ(res->rank, 1);
        EXPECT_TRUE(Near(res->ss[0], ref["testss"][{0, 0}], 1e-8));
    });
}

TEST(Fit, CrossproductsOfOneObservationAtATime)
{
    // zlevscp of a design that is not of full rank adds each effect's one
    // column: the same crossproducts as the indicator design in R.
    const Case c = cases()[3];
    auto ref = fit_reference(c.name);
    step_probe::run([&] {
        Builder b;
        build(b, c);
        b.responses({"y1"});
        ASSERT_EQ(b.init(c.opt0), 0);
        const int t = b.m.p + 1;
        std::vector<double> xpx(static_cast<size_t>(t) * (t + 1) / 2, 0.0);
        double y = 0;
        int added = 0;
        b.each(
            [&](int, int st) {
                EXPECT_EQ(st, 0);
                added += zlevscp(&b.r, xpx.data(), 1.0, 1, &y);
            },
            &y);
        EXPECT_EQ(added, 40);
        for (const auto& [ij, v] : ref["xpx"])
            EXPECT_TRUE(Near(xpx[packed(ij.first, ij.second)], v, 1e-12, 1e-11))
                << ij.first << "," << ij.second;
    });
}

} // namespace

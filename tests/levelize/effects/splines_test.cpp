// Constructed effect variables against R: B-spline bases at equally spaced
// knots (splines::splineDesign) and with boundary knots at the data range
// (bs), percentile knots (quantile(type = 2)) with and without frequencies,
// the spans of the truncated power bases (bs, and ns for the natural cubic
// form) and polynomial terms (poly(raw = TRUE)).
#include "support/levelize_effects.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "vyr_files.h"

namespace
{

using eff::Builder;
using eff::Effect;
using korvtest::Near;
using korvtest::Table;

// A model whose only effect is one spline of x.
struct SplineModel {
    Builder b;
    ZLEVSPLINECONTROL sp;
    explicit SplineModel(const ZLEVSPLINECONTROL& s, const std::string& path = eff::data_path())
        : b(path), sp(s)
    {
        b.add_cont("x");
        ZLEVEFTVAR v{};
        v.type = ZLEV_EFT_SPLINE;
        v.splineControlPtr = &sp;
        b.add_eft(v, {0}, {}, "sx");
        b.add_effect(Effect{{}, {}, {}, {0}, "sx"});
    }
};

TEST(Splines, BSplineBasesMatchSplineDesignAndBs)
{
    Table basis("levelize_bspline.csv");
    Table knots("levelize_knots.csv");
    const struct {
        const char* kind;
        int degree, K;
        bool boundary;
    } cases[] = {{"spaced", 3, 3, false},      {"spaced", 2, 2, false},
                 {"spaced", 1, 4, false},      {"spaced", 0, 3, false},
                 {"databoundary", 3, 3, true}, {"databoundary", 2, 4, true}};
    for (const auto& c : cases) {
        std::map<std::pair<int, int>, double> want;
        for (size_t i = 0; i < basis.size(); ++i)
            if (basis.text(i, "case") == c.kind && basis.num(i, "degree") == c.degree &&
                basis.num(i, "K") == c.K)
                want[{static_cast<int>(basis.num(i, "obs")),
                      static_cast<int>(basis.num(i, "col"))}] = basis.num(i, "value");
        ASSERT_FALSE(want.empty()) << c.kind << c.degree;
        std::vector<std::vector<double>> rows;
        std::vector<double> got_knots;
        int nVals = 0;
        step_probe::run([&] {
            ZLEVSPLINECONTROL s = eff::spline(c.degree, c.K, ZLEV_KNOT_EQUAL);
            s.dataBoundaryFlag = c.boundary;
            SplineModel sm(s);
            ASSERT_EQ(sm.b.init(), 0);
            nVals = sm.sp.nVals;
            got_knots.assign(sm.sp.knotsForVar[0], sm.sp.knotsForVar[0] + sm.sp.nKnotsForVar[0]);
            rows = sm.b.rows();
        });
        EXPECT_EQ(nVals, c.K + c.degree + 1) << c.kind << c.degree;
        const double tol = c.boundary ? 1e-9 : 1e-12;
        for (const auto& [oc, v] : want)
            EXPECT_TRUE(Near(rows[static_cast<size_t>(oc.first)][static_cast<size_t>(oc.second)], v,
                             tol, tol))
                << c.kind << " degree " << c.degree << " obs " << oc.first << " col " << oc.second;
        if (c.boundary)
            continue;
        std::vector<double> kw;
        for (size_t i = 0; i < knots.size(); ++i)
            if (knots.num(i, "degree") == c.degree && knots.num(i, "K") == c.K)
                kw.push_back(knots.num(i, "value"));
        ASSERT_EQ(got_knots.size(), kw.size()) << c.degree;
        for (size_t k = 0; k < kw.size(); ++k)
            EXPECT_TRUE(Near(got_knots[k], kw[k], 1e-13, 1e-13)) << c.degree << " knot " << k;
    }
}

// The data set with a frequency of ones as a further column.
std::string with_ones(lev::Folder& dir)
{
    std::ifstream in(eff::data_path());
    std::stringstream out;
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        out << line << (header ? ",one" : ",1") << "\n";
        header = false;
    }
    return dir.write("ones.csv", out.str());
}

TEST(Splines, PercentileKnotsAreTypeTwoQuantilesWithOrWithoutFrequencies)
{
    Table q("levelize_percentiles.csv");
    lev::Folder dir;
    const std::string ones = with_ones(dir);
    const struct {
        const char* sample;
        const char* freq; // frequency variable, or ""
        const char* path;
        int type; // knotPctlType
    } cases[] = {
        {"data", "", "", 1},       {"data", "one", "ones", 1},       {"freq", "f", "", 1},
        {"data_equal", "", "", 2}, {"data_equal", "one", "ones", 2}, {"freq_equal", "f", "", 2},
    };
    for (const auto& c : cases) {
        std::vector<double> pct, want;
        for (size_t i = 0; i < q.size(); ++i)
            if (q.text(i, "sample") == c.sample) {
                pct.push_back(q.num(i, "pctl"));
                want.push_back(q.num(i, "value"));
            }
        ASSERT_FALSE(want.empty());
        std::vector<double> got;
        int openBefore = -1, openAfter = -1;
        step_probe::run([&] {
            ZLEVSPLINECONTROL s = eff::spline(3, static_cast<int>(pct.size()), ZLEV_KNOT_PCTL);
            s.knotPctlType = c.type;
            s.knotPctlList = pct.data();
            SplineModel sm(s, std::string(c.path) == "ones" ? ones : eff::data_path());
            if (*c.freq)
                sm.b.freq(c.freq);
            openBefore = xcopenfiles();
            ASSERT_EQ(sm.b.init(), 0);
            openAfter = xcopenfiles();
            const double* k = sm.sp.knotsForVar[0];
            got.assign(k + 3, k + 3 + pct.size());
        });
        ASSERT_EQ(got.size(), want.size());
        for (size_t k = 0; k < want.size(); ++k)
            EXPECT_TRUE(Near(got[k], want[k], 1e-14, 1e-14))
                << c.sample << " with " << (*c.freq ? c.freq : "no frequency") << ", knot " << k;
        // The percentile sort's utility files are closed once the knots are made.
        EXPECT_EQ(openAfter, openBefore) << c.sample;
    }
}

// Whether every column of R lies in the column space of B (rows are
// points): the residual of its least-squares projection is nil.
void expect_in_span(const std::vector<std::vector<double>>& B,
                    const std::vector<std::vector<double>>& R, const char* label)
{
    const size_t n = B.size(), p = B[0].size();
    // Modified Gram-Schmidt on the columns of B.
    std::vector<std::vector<double>> Q;
    for (size_t j = 0; j < p; ++j) {
        std::vector<double> v(n);
        for (size_t i = 0; i < n; ++i)
            v[i] = B[i][j];
        for (const auto& q : Q) {
            double d = 0;
            for (size_t i = 0; i < n; ++i)
                d += q[i] * v[i];
            for (size_t i = 0; i < n; ++i)
                v[i] -= d * q[i];
        }
        double norm = 0;
        for (double x : v)
            norm += x * x;
        norm = std::sqrt(norm);
        ASSERT_GT(norm, 1e-8) << label << ": column " << j << " depends on the others";
        for (double& x : v)
            x /= norm;
        Q.push_back(v);
    }
    for (size_t j = 0; j < R[0].size(); ++j) {
        std::vector<double> v(n);
        double total = 0;
        for (size_t i = 0; i < n; ++i)
            total += (v[i] = R[i][j]) * R[i][j];
        for (const auto& q : Q) {
            double d = 0;
            for (size_t i = 0; i < n; ++i)
                d += q[i] * v[i];
            for (size_t i = 0; i < n; ++i)
                v[i] -= d * q[i];
        }
        double rest = 0;
        for (double x : v)
            rest += x * x;
        EXPECT_LT(std::sqrt(rest), 1e-9 * std::max(1.0, std::sqrt(total)))
            << label << " column " << j;
    }
}

TEST(Splines, TruncatedPowerBasesSpanTheSplinesOfBsAndNs)
{
    Table t("levelize_tpf.csv");
    std::map<std::string, std::vector<std::vector<double>>> want;
    std::vector<double> grid;
    for (size_t i = 0; i < t.size(); ++i) {
        auto& M = want[t.text(i, "kind")];
        const size_t obs = static_cast<size_t>(t.num(i, "obs")),
                     col = static_cast<size_t>(t.num(i, "col"));
        if (M.size() <= obs)
            M.resize(obs + 1);
        if (M[obs].size() <= col)
            M[obs].resize(col + 1);
        M[obs][col] = t.num(i, "value");
        if (t.text(i, "kind") == "bs" && col == 0)
            grid.push_back(t.num(i, "x"));
    }
    double knots[] = {1.5, 3, 5, 7, 8.5};
    for (bool natural : {false, true}) {
        std::vector<std::vector<double>> ours;
        int nVals = 0;
        step_probe::run([&] {
            ZLEVSPLINECONTROL s = eff::spline(3, 5, ZLEV_KNOT_LIST, 0);
            s.knotValList = knots;
            s.tpfIncludeFlag = 2;
            s.naturalFlag = natural;
            SplineModel sm(s);
            ASSERT_EQ(sm.b.init(), 0);
            nVals = sm.sp.nVals;
            for (double x : grid) {
                std::vector<double> row(static_cast<size_t>(nVals));
                if (natural)
                    GetTPFSplineNaturalCubicVals(&sm.sp, 0, x, row.data());
                else
                    GetTPFSplineVals(&sm.sp, 0, x, row.data());
                ours.push_back(row);
            }
        });
        EXPECT_EQ(nVals, natural ? 5 : 9);
        ASSERT_EQ(ours.size(), grid.size());
        expect_in_span(ours, want[natural ? "ns" : "bs"], natural ? "natural" : "power");
        // A knot term is 0 up to its knot, and (x - t)^3 beyond it.
        for (size_t i = 0; i < grid.size() && !natural; ++i)
            EXPECT_DOUBLE_EQ(ours[i][4], grid[i] > 1.5 ? std::pow(grid[i] - 1.5, 3) : 0.0);
    }
}

// Monomials of degree 1..3 of three variables, graded, each degree in
// lexicographic order of its variables (x, y, z, xx, xy, ...).
std::vector<std::array<int, 3>> graded(int n, int D)
{
    std::vector<std::array<int, 3>> out;
    std::vector<int> idx;
    std::function<void(int, int)> rec = [&](int from, int left) {
        if (left == 0) {
            std::array<int, 3> e{0, 0, 0};
            for (int i : idx)
                ++e[static_cast<size_t>(i)];
            out.push_back(e);
            return;
        }
        for (int i = from; i < n; ++i) {
            idx.push_back(i);
            rec(i, left - 1);
            idx.pop_back();
        }
    };
    for (int d = 1; d <= D; ++d)
        rec(0, d);
    return out;
}

TEST(Polynomials, MonomialsMatchPolyRaw)
{
    Table t("levelize_poly.csv");
    std::map<int, std::map<std::array<int, 3>, double>> want;
    std::map<int, std::array<double, 3>> points;
    for (size_t i = 0; i < t.size(); ++i) {
        const int p = static_cast<int>(t.num(i, "point"));
        want[p][{static_cast<int>(t.num(i, "e1")), static_cast<int>(t.num(i, "e2")),
                 static_cast<int>(t.num(i, "e3"))}] = t.num(i, "value");
        points[p] = {t.num(i, "x1"), t.num(i, "x2"), t.num(i, "x3")};
    }
    const auto order = graded(3, 3);
    ASSERT_EQ(order.size(), 19u);
    eff::PolyLayout lay(3, 3);
    ZLEVPOLYCONTROL pc{};
    lay.fill(pc, 3, 3);
    ASSERT_EQ(pc.nCumTerms[3], 19);
    const int cont[3] = {0, 1, 2};
    for (const auto& [p, x] : points) {
        double cols[19];
        GetPolyVals(&pc, 3, cont, x.data(), cols);
        for (size_t k = 0; k < order.size(); ++k)
            EXPECT_TRUE(Near(cols[k], want[p][order[k]], 1e-13, 1e-13))
                << "point " << p << " term " << k;
    }
    // Centred and scaled values, and a missing value in a product.
    double center[3] = {1, 0, -1}, scale[3] = {2, 1, 4}, work[3];
    pc.standardizeFlag = 3;
    pc.center = center;
    pc.scale = scale;
    pc.stdWork = work;
    const double x[3] = {3, 5, korv_missing()};
    double cols[19];
    GetPolyVals(&pc, 3, cont, x, cols);
    EXPECT_DOUBLE_EQ(cols[0], 1.0);
    EXPECT_DOUBLE_EQ(cols[1], 5.0);
    EXPECT_TRUE(wzmis(cols[2]));
    EXPECT_DOUBLE_EQ(cols[4], 5.0); // x y
    EXPECT_TRUE(wzmis(cols[5]));    // x z
    EXPECT_DOUBLE_EQ(cols[9], 1.0); // x x x
}

} // namespace

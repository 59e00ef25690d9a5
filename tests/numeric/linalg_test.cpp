// Vector kernels and matrix routines; matrices against R's chol, qr and
// crossprod.
#include "numeric/matrix.h"
#include "numeric/vector.h"

#include "runtime/missing.h"
#include "support/reference.h"

#include <cmath>
#include <random>
#include <vector>

using korvtest::Near;
using korvtest::Table;

namespace
{

// Matrix `kind` of reference case `c` as a row-major array.
std::vector<double> refMatrix(const Table& t, int c, const std::string& kind, int* rows, int* cols)
{
    int r = 0, k = 0;
    for (size_t i = 0; i < t.size(); ++i)
        if (t.num(i, "case") == c && t.text(i, "kind") == kind) {
            r = std::max(r, static_cast<int>(t.num(i, "i")) + 1);
            k = std::max(k, static_cast<int>(t.num(i, "j")) + 1);
        }
    std::vector<double> m(static_cast<size_t>(r) * k);
    for (size_t i = 0; i < t.size(); ++i)
        if (t.num(i, "case") == c && t.text(i, "kind") == kind)
            m[static_cast<size_t>(t.num(i, "i")) * k + static_cast<size_t>(t.num(i, "j"))] =
                t.num(i, "value");
    *rows = r;
    *cols = k;
    return m;
}

} // namespace

TEST(Vectors, KernelsOnOrdinaryAndEmptyInput)
{
    std::vector<double> a = {1, -2, 3, -4, 5, 6, -7}, b = {2, 2, 2, 2, 2, 2, 2};
    EXPECT_EQ(zinner(a.data(), b.data(), 7), 4.0);
    EXPECT_EQ(zinner(a.data(), b.data(), 0), 0.0);
    EXPECT_EQ(zvdotj1(a.data(), 2, b.data(), 4), 2.0 * (1 + 3 + 5 - 7));
    EXPECT_EQ(zvsum(a.data(), 7), 2.0);
    EXPECT_EQ(zvsum(a.data(), -1), 0.0);
    EXPECT_EQ(zvamx(a.data(), 7), 7.0);
    EXPECT_EQ(zvamx(a.data(), 0), 0.0);
    EXPECT_EQ(zvamxj(a.data(), 3, 3), 7.0);
    std::vector<double> c(7);
    zvscl11(c.data(), a.data(), 7, -0.5);
    EXPECT_EQ(c[6], 3.5);
    zvscl11(c.data(), c.data(), 7, 2.0); // in place
    EXPECT_EQ(c[6], 7.0);
    zvmov1s(c.data(), a.data(), 2, 4);
    EXPECT_EQ(c[3], -7.0);
    std::vector<double> d = a;
    zvxay11(d.data(), b.data(), 7, 0.5);
    EXPECT_EQ(d[0], 2.0);
    zvxay11(d.data(), d.data(), 7, 1.0); // same array: doubles
    EXPECT_EQ(d[0], 4.0);
    zvxay11(d.data(), b.data(), 0, 1.0);
    EXPECT_EQ(d[0], 4.0);
}

TEST(Vectors, AxpyCopiesAndUpdates)
{
    std::vector<double> x(60), y(60), z(60, -1);
    for (int i = 0; i < 60; ++i) {
        x[i] = i;
        y[i] = 1;
    }
    zvaxpy(z.data(), x.data(), y.data(), 60, 0.0); // block copy branch
    EXPECT_EQ(z, x);
    std::vector<double> z2(5, -1);
    zvaxpy(z2.data(), x.data(), y.data(), 5, 0.0);
    EXPECT_EQ(z2[4], 4.0);
    zvaxpy(x.data(), x.data(), y.data(), 60, 2.0);
    EXPECT_EQ(x[10], 12.0);
    zvaxpy(z.data(), x.data(), y.data(), 0, 2.0);
    EXPECT_EQ(z[10], 10.0);
}

TEST(Vectors, EuclideanNormWithoutOverflow)
{
    double v[2] = {3, 4};
    EXPECT_EQ(zvenorm(2, 1, v), 5.0);
    double big[2] = {1e300, 1e300};
    EXPECT_TRUE(Near(zvenorm(2, 1, big), 1.4142135623730951e300, 1e-15));
    double tiny[3] = {3e-310, 0, 4e-310};
    EXPECT_TRUE(Near(zvenorm(3, 1, tiny), 5e-310, 1e-6));
    double zero[3] = {0, 0, 0};
    EXPECT_EQ(zvenorm(3, 1, zero), 0.0);
    EXPECT_EQ(zvenorm(0, 1, v), 0.0);
    double strided[6] = {3, 99, 99, 4, 99, 99};
    EXPECT_EQ(zvenorm(2, 3, strided), 5.0);
    std::mt19937 gen(5);
    std::normal_distribution<double> nd;
    std::vector<double> r(101);
    long double s = 0;
    for (auto& e : r) {
        e = nd(gen);
        s += static_cast<long double>(e) * e;
    }
    EXPECT_TRUE(Near(zvenorm(101, 1, r.data()), std::sqrt(static_cast<double>(s)), 1e-15));
}

TEST(Vectors, WeightedCrossProducts)
{
    std::vector<double> sscp(6, 0.0);
    double data[3] = {1, 0, 3};
    EXPECT_EQ(zscp(data, 3, 2.0, sscp.data()), 1);
    EXPECT_EQ(sscp, (std::vector<double>{2, 0, 0, 6, 0, 18}));
    std::vector<double> before = sscp;
    EXPECT_EQ(zscp(data, 3, 0.0, sscp.data()), 0);
    EXPECT_EQ(zscp(data, 3, korv_missing(), sscp.data()), 0);
    double withMissing[3] = {1, korv_missing(), 3};
    EXPECT_EQ(zscp(withMissing, 3, 1.0, sscp.data()), 0);
    EXPECT_EQ(sscp, before);
}

TEST(Matrices, PackedIndex)
{
    EXPECT_EQ(zisub(2, 5), 17);
    EXPECT_EQ(zisub(5, 2), 17);
    EXPECT_EQ(zisub(200, 0), 20100);
    EXPECT_EQ(zisub(180, 180), 180L * 181 / 2 + 180);
    EXPECT_EQ(zisub(70000, 1), 70000L * 70001 / 2 + 1); // beyond 32-bit products
}

TEST(Matrices, CholeskyMatchesReference)
{
    Table t("numeric_matrix.csv");
    int n, m;
    std::vector<double> A = refMatrix(t, 1, "A", &n, &m);
    std::vector<double> L = refMatrix(t, 1, "cholL", &n, &m);
    std::vector<double> packed(static_cast<size_t>(n) * (n + 1) / 2);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j)
            packed[zisub(i, j)] = A[i * n + j];
    for (int k = 0; k < n; ++k) {
        double s = zchol(k, packed.data(), 1e-12);
        EXPECT_GT(s, 0.0);
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j)
            EXPECT_TRUE(Near(packed[zisub(i, j)], L[i * n + j], 1e-13, 1e-14)) << i << "," << j;
}

TEST(Matrices, CholeskyZeroesSingularPivots)
{
    // Row 0 already factored: base = (2; 2, 1) gives row 1 = (1, 0).
    double base[3] = {2, 2, 1};
    double s = zchol(1, base, 1e-8);
    EXPECT_EQ(base[1], 1.0);
    EXPECT_EQ(base[2], 0.0);
    EXPECT_EQ(s, 0.0);
    // A rank-deficient 3 by 3 matrix (third column = first + second):
    // the third pivot vanishes and later rows see zero in that column.
    double x[3][2] = {{1, 2}, {0, 1}, {1, 3}};
    double full[4][4] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            full[i][j] = x[i][0] * x[j][0] + x[i][1] * x[j][1];
    full[3][3] = 4;
    for (int i = 0; i < 3; ++i)
        full[3][i] = full[i][3] = 1;
    std::vector<double> p(10);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j <= i; ++j)
            p[zisub(i, j)] = full[i][j];
    for (int k = 0; k < 4; ++k)
        zchol(k, p.data(), 1e-10);
    EXPECT_EQ(p[zisub(2, 2)], 0.0);
    EXPECT_EQ(p[zisub(3, 2)], 0.0);
    EXPECT_GT(p[zisub(3, 3)], 0.0);
    for (double v : p)
        EXPECT_TRUE(std::isfinite(v));
    double untouched[1] = {5};
    EXPECT_EQ(zchol(-1, untouched, 0), 0.0);
    EXPECT_EQ(untouched[0], 5.0);
}

TEST(Matrices, QuadraticForms)
{
    double id[3] = {1, 0, 1};
    double rec[2] = {3, 4};
    double prod = 7;
    zqform(id, 2, rec, 1, &prod, nullptr, 0);
    EXPECT_EQ(prod, 25.0);
    zqform(id, 2, rec, 1, &prod, nullptr, 1);
    EXPECT_EQ(prod, 50.0);
    // p = 2: packed 2 by 2 of r_k' S r_l.
    double S[3] = {2, 1, 3};       // [[2,1],[1,3]]
    double recs[4] = {1, 0, 1, 2}; // (1,0) and (1,2)
    double out[3], work[2];
    zqform(S, 2, recs, 2, out, work, 0);
    EXPECT_EQ(out[0], 2.0);  // (1,0)S(1,0)
    EXPECT_EQ(out[1], 4.0);  // (1,2)S(1,0)
    EXPECT_EQ(out[2], 18.0); // (1,2)S(1,2)
    zqform(S, 2, recs, 0, out, work, 0);
    EXPECT_EQ(out[2], 18.0);
}

TEST(Matrices, GramSchmidtMatchesReference)
{
    Table t("numeric_matrix.csv");
    int m, n, r1, c1;
    std::vector<double> G = refMatrix(t, 2, "A", &m, &n);
    std::vector<double> Q = refMatrix(t, 2, "Q", &r1, &c1);
    std::vector<double> R = refMatrix(t, 2, "R", &r1, &c1);
    std::vector<double> p(G.size()), tt(static_cast<size_t>(n) * (n + 1) / 2);
    EXPECT_EQ(zgsorth(m, n, G.data(), p.data(), tt.data()), 0);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j)
            EXPECT_TRUE(Near(p[i * n + j], Q[i * n + j], 1e-12, 1e-13)) << i << "," << j;
    for (int j = 0; j < n; ++j)
        for (int k = j; k < n; ++k)
            EXPECT_TRUE(Near(tt[zisub(k, j)], R[j * n + k], 1e-12, 1e-13)) << j << "," << k;
}

TEST(Matrices, GramSchmidtDependentColumns)
{
    double a[6] = {1, 1, 2, 2, 3, 3}; // 3 by 2, equal columns
    double p[6], t[3];
    EXPECT_EQ(zgsorth(3, 2, a, p, t), 1);
    EXPECT_EQ(p[1], 0.0);
    EXPECT_EQ(p[3], 0.0);
    EXPECT_EQ(p[5], 0.0);
    EXPECT_EQ(t[2], 0.0);
    EXPECT_NEAR(t[0], std::sqrt(14.0), 1e-14);
    double z[6] = {0, 1, 0, 2, 0, 3}; // a zero column
    EXPECT_EQ(zgsorth(3, 2, z, p, t), 1);
    EXPECT_EQ(p[0], 0.0);
}

TEST(Matrices, ProductMatchesReferenceAndNaiveLoops)
{
    Table t("numeric_matrix.csv");
    int xr, xc, yr, yc, rr, rc;
    std::vector<double> X = refMatrix(t, 3, "X", &xr, &xc);
    std::vector<double> Y = refMatrix(t, 3, "Y", &yr, &yc);
    std::vector<double> XtY = refMatrix(t, 3, "XtY", &rr, &rc);
    std::vector<double> r(XtY.size());
    ASSERT_EQ(hzmmultr(r.data(), 0, X.data(), xr, xc, 1, Y.data(), yr, yc, 0), 0);
    for (size_t i = 0; i < r.size(); ++i)
        EXPECT_TRUE(Near(r[i], XtY[i], 1e-13, 1e-14)) << i;
    ASSERT_EQ(hzmmultr(r.data(), 1, X.data(), xr, xc, 1, Y.data(), yr, yc, 0), 0);
    for (size_t i = 0; i < r.size(); ++i)
        EXPECT_TRUE(Near(r[i], 2 * XtY[i], 1e-13, 1e-14)) << i;
}

TEST(Matrices, BlockedProductAllTranspositions)
{
    // Sizes that cross the cache blocks in every dimension.
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> u(-1, 1);
    const int n = 70, k = 133, m = 67;
    for (int xf = 0; xf < 2; ++xf)
        for (int yf = 0; yf < 2; ++yf) {
            // op(x) is n by k, op(y) is k by m.
            std::vector<double> x(n * k), y(k * m), r(n * m, 5.0);
            for (auto& v : x)
                v = u(gen);
            for (auto& v : y)
                v = u(gen);
            auto xe = [&](int i, int l) { return xf ? x[l * n + i] : x[i * k + l]; };
            auto ye = [&](int l, int j) { return yf ? y[j * k + l] : y[l * m + j]; };
            ASSERT_EQ(hzmmultr(r.data(), 1, x.data(), xf ? k : n, xf ? n : k, xf, y.data(),
                               yf ? m : k, yf ? k : m, yf),
                      0);
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < m; ++j) {
                    double s = 5.0;
                    for (int l = 0; l < k; ++l)
                        s += xe(i, l) * ye(l, j);
                    ASSERT_NEAR(r[i * m + j], s, 1e-12) << xf << yf << " " << i << "," << j;
                }
        }
}

TEST(Matrices, ScalarCasesAndMismatch)
{
    double s[1] = {3};
    double y[6] = {1, 2, 3, 4, 5, 6}; // 2 by 3
    double r[6] = {};
    ASSERT_EQ(hzmmultr(r, 0, s, 1, 1, 0, y, 2, 3, 0), 0); // 1 by 1 times 2 by 3
    EXPECT_EQ(r[5], 18.0);
    ASSERT_EQ(hzmmultr(r, 0, y, 2, 3, 1, s, 1, 1, 0), 0); // y' times scalar: 3 by 2
    EXPECT_EQ(r[1], 12.0);                                // element (0, 1) = 3 y(1, 0)
    EXPECT_EQ(r[2], 6.0);
    QXSAXzsmultr(r, 1, 1.0, y, 2, 3, 0);
    EXPECT_EQ(r[0], 4.0);
    double x[4] = {1, 2, 3, 4}; // 2 by 2
    double out[4] = {-1, -1, -1, -1};
    EXPECT_EQ(hzmmultr(out, 0, x, 2, 2, 0, y, 3, 2, 0), 1); // 2x2 times 3x2
    EXPECT_EQ(out[0], -1.0);
    EXPECT_EQ(hzmmultr(out, 0, x, 0, 2, 0, y, 2, 3, 0), 1);
}

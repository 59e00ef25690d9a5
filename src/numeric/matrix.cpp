// Matrix routines and the general matrix product.
#include "numeric/matrix.h"

#include "numeric/vector.h"

#include <algorithm>
#include <cmath>
#include <vector>

long zisub(int i, int j)
{
    int a = std::max(i, j), b = std::min(i, j);
    if (a < 181)
        return a * (a + 1) / 2 + b;
    return static_cast<long>(a) * (static_cast<long>(a) + 1) / 2 + b;
}

double zchol(int k, double* base, double tol)
{
    if (k < 0)
        return 0.0;
    double* rowk = base + zisub(k, 0);
    double s = 0.0;
    for (int j = 0; j <= k; ++j) {
        const double* rowj = base + zisub(j, 0);
        s = rowk[j] - zinner(rowj, rowk, j);
        if (j < k) {
            double piv = rowj[j];
            rowk[j] = piv != 0.0 ? s / piv : 0.0;
        } else {
            rowk[k] = s > tol ? std::sqrt(s) : 0.0;
        }
    }
    return s;
}

void zqform(const double* sym, int n, const double* rec, int p, double* prod, double* work, int acc)
{
    if (p < 1)
        return;
    if (p == 1) {
        double q = 0.0;
        for (int i = 0; i < n; ++i) {
            const double* row = sym + zisub(i, 0);
            q += rec[i] * (2.0 * zinner(row, rec, i) + row[i] * rec[i]);
        }
        prod[0] = acc ? prod[0] + q : q;
        return;
    }
    for (int k = 0; k < p; ++k) {
        const double* rk = rec + static_cast<long>(k) * n;
        for (int i = 0; i < n; ++i) {
            double s = 0.0;
            for (int j = 0; j < n; ++j)
                s += sym[zisub(i, j)] * rk[j];
            work[i] = s;
        }
        for (int l = 0; l <= k; ++l) {
            double v = zinner(work, rec + static_cast<long>(l) * n, n);
            long pos = zisub(k, l);
            prod[pos] = acc ? prod[pos] + v : v;
        }
    }
}

int zgsorth(int m, int n, const double* a, double* p, double* t)
{
    long nt = static_cast<long>(n) * (n + 1) / 2;
    std::fill(t, t + nt, 0.0);
    for (int j = 0; j < n; ++j) {
        double nrm = zvenorm(m, n, a + j);
        if (!(nrm > 1.491668147e-154)) {
            for (int i = 0; i < m; ++i)
                p[static_cast<long>(i) * n + j] = 0.0;
        } else {
            t[zisub(j, j)] = nrm;
            for (int i = 0; i < m; ++i)
                p[static_cast<long>(i) * n + j] = a[static_cast<long>(i) * n + j] / nrm;
        }
    }
    int dependent = 0;
    for (int j = 0; j < n; ++j) {
        double r = zvenorm(m, n, p + j);
        if (r > 1.110223024625157e-13) {
            t[zisub(j, j)] *= r;
            for (int i = 0; i < m; ++i)
                p[static_cast<long>(i) * n + j] /= r;
            for (int k = j + 1; k < n; ++k) {
                double d = 0.0;
                for (int i = 0; i < m; ++i)
                    d += p[static_cast<long>(i) * n + j] * p[static_cast<long>(i) * n + k];
                t[zisub(k, j)] = t[zisub(k, k)] * d;
                if (d != 0.0)
                    for (int i = 0; i < m; ++i)
                        p[static_cast<long>(i) * n + k] -= d * p[static_cast<long>(i) * n + j];
            }
        } else {
            ++dependent;
            for (int k = j; k < n; ++k)
                t[zisub(k, j)] = 0.0;
            for (int i = 0; i < m; ++i)
                p[static_cast<long>(i) * n + j] = 0.0;
        }
    }
    return dependent;
}

namespace
{

constexpr int kBlockM = 64, kBlockN = 64, kBlockK = 128;

} // namespace

void dgemm(char transa, char transb, int m, int n, int k, double alpha, const double* A, int lda,
           const double* B, int ldb, double beta, double* C, int ldc)
{
    if (m <= 0 || n <= 0)
        return;
    bool ta = transa == 'T' || transa == 't';
    bool tb = transb == 'T' || transb == 't';
    for (int j = 0; j < n; ++j) {
        double* c = C + static_cast<long>(j) * ldc;
        if (beta == 0.0)
            std::fill(c, c + m, 0.0);
        else if (beta != 1.0)
            for (int i = 0; i < m; ++i)
                c[i] *= beta;
    }
    if (k <= 0 || alpha == 0.0)
        return;
    // Element (i, l) of op(A) and (l, j) of op(B), column-major.
    auto opA = [&](int i, int l) {
        return ta ? A[i * static_cast<long>(lda) + l] : A[l * static_cast<long>(lda) + i];
    };
    auto opB = [&](int l, int j) {
        return tb ? B[l * static_cast<long>(ldb) + j] : B[j * static_cast<long>(ldb) + l];
    };
    // Blocks of op(A) are packed contiguously (column by column of the block)
    // so the innermost loop runs over unit stride.
    std::vector<double> packA(static_cast<size_t>(kBlockM) * kBlockK);
    for (int l0 = 0; l0 < k; l0 += kBlockK) {
        int lk = std::min(kBlockK, k - l0);
        for (int i0 = 0; i0 < m; i0 += kBlockM) {
            int im = std::min(kBlockM, m - i0);
            for (int l = 0; l < lk; ++l)
                for (int i = 0; i < im; ++i)
                    packA[static_cast<size_t>(l) * im + i] = opA(i0 + i, l0 + l);
            for (int j0 = 0; j0 < n; j0 += kBlockN) {
                int jn = std::min(kBlockN, n - j0);
                for (int j = 0; j < jn; ++j) {
                    double* c = C + static_cast<long>(j0 + j) * ldc + i0;
                    for (int l = 0; l < lk; ++l) {
                        double bv = alpha * opB(l0 + l, j0 + j);
                        if (bv == 0.0)
                            continue;
                        const double* pa = packA.data() + static_cast<size_t>(l) * im;
                        for (int i = 0; i < im; ++i)
                            c[i] += pa[i] * bv;
                    }
                }
            }
        }
    }
}

void QXSAXzsmultr(double* r, int rf, double a, const double* b, int nb, int mb, int f)
{
    long total = static_cast<long>(nb) * mb;
    if (total <= 0)
        return;
    for (long idx = 0; idx < total; ++idx) {
        // f = 1: the result is mb by nb, element (i, j) = b(j, i).
        double v = f ? b[(idx % nb) * mb + idx / nb] : b[idx];
        r[idx] = rf ? r[idx] + a * v : a * v;
    }
}

int hzmmultr(double* r, int rf, const double* x, int nx, int mx, int xf, const double* y, int ny,
             int my, int yf)
{
    if (nx <= 0 || mx <= 0 || ny <= 0 || my <= 0)
        return 1;
    int xr = xf ? mx : nx, xc = xf ? nx : mx; // op(x) is xr by xc
    int yr = yf ? my : ny, yc = yf ? ny : my;
    if (xc == yr) {
        // Row-major r = op(x) op(y) is column-major r' = op(y)' op(x)'.
        dgemm(yf ? 'T' : 'N', xf ? 'T' : 'N', yc, xr, xc, 1.0, y, my, x, mx, rf ? 1.0 : 0.0, r, yc);
        return 0;
    }
    if (xr == 1 && xc == 1) {
        QXSAXzsmultr(r, rf, x[0], y, ny, my, yf);
        return 0;
    }
    if (yr == 1 && yc == 1) {
        QXSAXzsmultr(r, rf, y[0], x, nx, mx, xf);
        return 0;
    }
    return 1;
}

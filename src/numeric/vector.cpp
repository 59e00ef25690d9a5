// Vector kernels.
#include "numeric/vector.h"

#include "runtime/missing.h"

#include <cmath>
#include <cstring>

double zinner(const double* a, const double* b, int n)
{
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i)
        s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

double zvdotj1(const double* a, long ja, const double* b, long n)
{
    double s = 0;
    for (long i = 0; i < n; ++i)
        s += a[i * ja] * b[i];
    return s;
}

double zvsum(const double* a, long n)
{
    double s0 = 0, s1 = 0;
    long i = 0;
    for (; i + 2 <= n; i += 2) {
        s0 += a[i];
        s1 += a[i + 1];
    }
    if (i < n)
        s0 += a[i];
    return s0 + s1;
}

double zvamx(const double* vector, long dim)
{
    double m = 0;
    for (long i = 0; i < dim; ++i)
        m = std::fmax(m, std::fabs(vector[i]));
    return m;
}

double zvamxj(const double* vector, long j, long dim)
{
    double m = 0;
    for (long i = 0; i < dim; ++i)
        m = std::fmax(m, std::fabs(vector[i * j]));
    return m;
}

double zvenorm(long n, long incx, const double* x)
{
    if (n < 1)
        return 0.0;
    double m = incx == 1 ? zvamx(x, n) : zvamxj(x, incx, n);
    if (m == 0.0)
        return 0.0;
    double s = m > 1.0 ? std::sqrt(m) : m;
    double sum = 0.0;
    for (long i = 0; i < n; ++i) {
        double v = std::fabs(x[i * incx]);
        if (v + s == s)
            continue;
        double t = v / m;
        if (1.0 + t == 1.0)
            continue;
        sum += t * t;
    }
    return m * std::sqrt(sum);
}

void zvaxpy(double* z, const double* x, const double* y, int n, double alpha)
{
    if (n < 1)
        return;
    if (alpha == 0.0) {
        if (z != x)
            std::memmove(z, x, sizeof(double) * n);
        return;
    }
    for (int i = 0; i < n; ++i)
        z[i] = x[i] + alpha * y[i];
}

void zvxay11(double* a, const double* b, long n, double alpha)
{
    if (n < 1 || alpha == 0.0)
        return;
    if (a == b) {
        for (long i = 0; i < n; ++i)
            a[i] *= 1.0 + alpha;
        return;
    }
    for (long i = 0; i < n; ++i)
        a[i] += alpha * b[i];
}

void zvscl11(double* c, const double* a, long n, double alpha)
{
    for (long i = 0; i < n; ++i)
        c[i] = alpha * a[i];
}

void zvmov1s(double* c, const double* a, long ja, long n)
{
    for (long i = 0; i < n; ++i)
        c[i] = a[i * ja];
}

int zscp(const double* data, int nv, double weight, double* sscp)
{
    if (wzmis(weight) || weight == 0.0)
        return 0;
    for (int i = 0; i < nv; ++i)
        if (wzmis(data[i]))
            return 0;
    for (int i = 0; i < nv; ++i) {
        if (data[i] == 0.0)
            continue;
        double* row = sscp + static_cast<long>(i) * (i + 1) / 2;
        zvaxpy(row, row, data, i + 1, data[i] * weight);
    }
    return 1;
}

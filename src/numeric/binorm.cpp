// Bivariate normal probabilities by Owen's reduction to T(h, a)
// (D. B. Owen, "Tables for computing bivariate normal probabilities",
// Ann. Math. Statist. 27 (1956) 1075-1090).
#include "numeric/binorm.h"

#include "numeric/normal.h"
#include "numeric/quad.h"
#include "runtime/missing.h"

#include <algorithm>
#include <cmath>

namespace
{

constexpr double kInv2Pi = 0.15915494309189535;
constexpr double kInv4Pi = 0.07957747154594767;
constexpr double kExpFloor = 708.3964185;

struct TArgs {
    double hh; // h^2 / 2
};

int T_Integrand(void* p, double* value, double t)
{
    double hh = static_cast<TArgs*>(p)->hh;
    double s = 1.0 + t * t;
    *value = std::exp(-s * hh) * kInv2Pi / s;
    return 0;
}

struct BArgs {
    double x, y, r, s;
};

// phi(y - z) Phi((x - r (y - z)) / s), the integrand in z = y - t >= 0.
int Binorm_Integrand(void* p, double* value, double z)
{
    const BArgs& b = *static_cast<BArgs*>(p);
    double t = b.y - z;
    *value = 0.3989422804014327 * std::exp(-t * t / 2.0) * zprbnrm((b.x - b.r * t) / b.s);
    return 0;
}

} // namespace

double zxmatan(double x)
{
    if (std::fabs(x) > 0.1)
        return x - std::atan(x);
    // (x - arctan x) / x^3 = P(x^2) / Q(x^2), fitted for this library (see
    // derive/fit_rational.py); relative fit error below 1e-21 on |x| <= 0.1.
    double v = x * x;
    double p =
        ((7.6925241528994678186e-3 * v + 7.2178886100097862118e-1) * v + 2.7325887028145023181) *
            v +
        2.2810395058114528432;
    double q =
        ((v + 6.6147838354449810113) * v + 1.2303637218904122065e+1) * v + 6.8431185174343585296;
    return x * v * p / q;
}

double tfn1(double h, double a)
{
    double g = -h * h / 2.0;
    if (-g > kExpFloor)
        return 0.0;
    double c = std::atan(a); // c_0
    double sum = c;
    double gj = 1.0; // g^j / j!
    double a2 = a * a;
    double apow = a; // a^(2j-1)
    for (int j = 1; j < 400; ++j) {
        c = j == 1 ? zxmatan(a) : apow / (2 * j - 1) - c;
        apow *= a2;
        gj *= g / j;
        double term = gj * c;
        sum += term;
        if (std::fabs(term) <= 1e-17 * std::fabs(sum))
            break;
    }
    return kInv2Pi * std::exp(g) * sum;
}

double tfn2(double h, double a)
{
    double hh = h * h / 2.0;
    if (hh > kExpFloor)
        return 0.0;
    TArgs args{hh};
    shrdarg qs;
    qs.eps = 1.110223024625157e-16;
    qs.cycles = 15;
    qs.i_type = 3;
    qs.c_type = 1;
    qs.a = 0.0;
    qs.b = a;
    qs.peak = h != 0.0 ? std::min(2.0 / (h * h), a / 2.0) : a / 2.0;
    qs.sigma = 0.5;
    qs.fentry = T_Integrand;
    qs.userptr = &args;
    double r = 0.0;
    if (zhrdys(&qs, &r))
        return 0.0;
    return r;
}

double tfn(double h, double a, int* normah)
{
    double t;
    if (std::fabs(a) < 1e-12) {
        t = std::exp(-h * h / 2.0) * a * kInv2Pi;
    } else if (std::fabs(1.0 - a) < 1e-12) {
        double am1 = a - 1.0;
        t = zprbnrm(h) * zprbnrm(-h) / 2.0 +
            std::exp(-h * h) * am1 * (1.0 - (h * h + 1.0) * am1) * kInv4Pi;
    } else if (a >= 0.13 || std::fabs(h) >= 3.5) {
        t = tfn2(h, a);
    } else {
        t = tfn1(h, a);
    }
    if (normah && *normah) {
        t -= zprbnrm(h) / 2.0;
        *normah = 0;
    }
    return t;
}

double ztfn(double h, double a, int* normh)
{
    *normh = 0;
    double hn = -std::fabs(h);
    if (a <= 1.0)
        return tfn(hn, a, nullptr);
    // T(h, a) = Phi(h)/2 + Phi(ah)/2 - Phi(h) Phi(ah) - T(ah, 1/a) for h <= 0;
    // the term Phi(h)/2 is left to the caller.
    double ah = a * hn;
    int normah = 1;
    double t = tfn(ah, 1.0 / a, &normah); // T(ah, 1/a) - Phi(ah)/2
    double r = -t;
    if (normah)
        r += zprbnrm(ah) / 2.0;
    *normh = 1;
    return r - zprbnrm(hn) * zprbnrm(ah);
}

double cp(double x, double y, double r, int* half)
{
    double s = std::sqrt((1.0 - r) * (1.0 + r));
    double a = (y - r * x) / (s * x);
    double sign = a < 0 ? -1.0 : 1.0;
    int normh;
    double traw = ztfn(x, std::fabs(a), &normh);
    // Phi(x)/2 - sign T(-|x|, |a|), collecting the multiples of Phi(-|x|)/2.
    double px = zprbnrm(-std::fabs(x)) / 2.0;
    int count = 0;
    if (x > 0) {
        ++*half; // Phi(x)/2 = 1/2 - Phi(-x)/2
        --count;
    } else {
        ++count;
    }
    if (normh)
        count -= sign > 0 ? 1 : -1;
    return count * px - sign * traw;
}

double UseIntegration(double x, double y, double r, int* rc)
{
    BArgs args{x, y, r, std::sqrt((1.0 - r) * (1.0 + r))};
    shrdarg qs;
    qs.eps = 1.110223024625157e-16;
    qs.cycles = 15;
    qs.i_type = 2;
    qs.c_type = 1;
    qs.a = 0.0;
    qs.peak = std::clamp(y, 0.1, 10.0);
    qs.sigma = args.s;
    qs.fentry = Binorm_Integrand;
    qs.userptr = &args;
    double p = 0.0;
    if (zhrdys(&qs, &p)) {
        *rc = 1;
        return -1.0;
    }
    *rc = 0;
    return p;
}

double zprbbnr(double x, double y, double rho, int* ier)
{
    *ier = 0;
    if (wzmis(x) || wzmis(y) || wzmis(rho) || std::isnan(x) || std::isnan(y) || std::isnan(rho)) {
        *ier = 1;
        return korv_missing();
    }
    double h = std::min(x, y);
    double k = std::max(x, y);
    if (std::fabs(rho) > 1.0) {
        *ier = 1;
        return -1.0;
    }
    if (rho == 0.0)
        return zprbnrm(h) * zprbnrm(k);
    if (std::fabs(rho) < 1e-9)
        return zprbnrm(h) * zprbnrm(k) + kInv2Pi * std::exp(-h * h / 2.0) * std::exp(-k * k / 2.0) *
                                             rho * (1.0 + h * k * rho / 2.0);
    const double cut = -std::log(1.110223024625157e-16) - kExpFloor;
    if (-h * h / 2.0 < cut)
        return h >= 0 ? zprbnrm(k) : 0.0;
    if (-k * k / 2.0 < cut)
        return k >= 0 ? zprbnrm(h) : 0.0;
    if (rho == 1.0)
        return zprbnrm(h);
    if (rho == -1.0) {
        double s = h + k;
        if (!(s > 0))
            return 0.0;
        if (s >= 1.053671212772351e-8)
            return (zferf(h * 0.7071067811865476) + zferf(k * 0.7071067811865476)) / 2.0;
        return DiffNormal(k, -h, s); // Phi(k) - Phi(-h)
    }
    bool hz = std::fabs(h) < 1e-12, kz = std::fabs(k) < 1e-12;
    if (hz && kz)
        return 0.25 + std::asin(rho) * kInv2Pi + (h + k) * 0.19947114020071635;
    if (hz || kz) {
        int rc;
        double p = UseIntegration(x, y, rho, &rc);
        if (!rc)
            return p;
        // The integration cannot start where the integrand vanishes (a tiny
        // probability, or mass far from the clamped peak). Owen's reduction
        // has an exact limit at a zero argument: P(0, k) = Phi(k)/2 + T(k, rho/s);
        // the argument's distance from zero (below 1e-12) enters to first order.
        double z0 = hz ? h : k, other = hz ? k : h;
        double s = std::sqrt((1.0 - rho) * (1.0 + rho));
        double a = rho / s;
        int normh;
        double t = ztfn(other, std::fabs(a), &normh);
        if (normh)
            t += zprbnrm(-std::fabs(other)) / 2.0;
        if (a < 0)
            t = -t;
        p = zprbnrm(other) / 2.0 + t + z0 * 0.3989422804014327 * zprbnrm(other / s);
        return std::max(p, 0.0);
    }
    int half = 0;
    double v = cp(h, k, rho, &half) + cp(k, h, rho, &half);
    if (h * k < 0)
        half -= 1;
    double p = v + half * 0.5;
    return std::max(p, 0.0);
}

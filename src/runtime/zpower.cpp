// Safe power.
#include "runtime/zpower.h"

#include <cmath>
#include <cstdint>

#include "runtime/missing.h"

namespace
{

constexpr double kTwo53 = 9007199254740992.0;
constexpr double kHugeExponent = 1.3407807929943e+154;
constexpr double kLogOverflow = 709.782712893384;
constexpr double kLogUnderflow = -708.3964185;
constexpr double kSquaringLogLimit = 72.0873067782343;
// Repeated squaring loses about one rounding per doubling of the exponent,
// so its relative error grows like n times the machine epsilon. It is used
// only up to this exponent, where that error stays within a few dozen units
// in the last place; larger exponents go to the library's power function,
// which stays accurate for bases near 1.
constexpr uint64_t kSquaringMaxExponent = 64;

double power_by_squaring(double b, uint64_t n)
{
    double r = 1.0;
    double s = b;
    while (n != 0) {
        if (n & 1u)
            r *= s;
        n >>= 1;
        if (n != 0)
            s *= s;
    }
    return r;
}

} // namespace

double zpower(double x, double y, int* rc)
{
    double a;
    if (y > 0) {
        if (x == 0) {
            *rc = 0;
            return 0.0;
        }
        if (y == 1) {
            *rc = 0;
            return x;
        }
        a = y;
    } else {
        if (x == 0) {
            *rc = 3;
            return korv_missing();
        }
        if (y == 0) {
            *rc = 0;
            return 1.0;
        }
        a = -y;
    }

    bool integral = false;
    bool odd = false;
    uint64_t n = 0;
    double b;
    if (x < 0) {
        if (!(a < kTwo53) || a != std::floor(a)) {
            *rc = 2;
            return korv_missing();
        }
        integral = true;
        n = static_cast<uint64_t>(a);
        odd = (n & 1u) != 0;
        b = -x;
        if (b == 1) {
            *rc = 0;
            return odd ? -1.0 : 1.0;
        }
    } else {
        integral = a < kTwo53 && a == std::floor(a);
        if (integral)
            n = static_cast<uint64_t>(a);
        b = x;
        if (b == 1) {
            *rc = 0;
            return 1.0;
        }
    }

    if (a >= kHugeExponent) {
        if ((b > 1) == (y > 0)) {
            *rc = 1;
            return korv_missing();
        }
        *rc = 0;
        return 0.0;
    }

    *rc = 0;
    const double t = std::log(b) * y * 1.0000000000000007;
    if (t >= kLogOverflow) {
        *rc = 1;
        return korv_missing();
    }
    if (t <= kLogUnderflow)
        return 0.0;

    double r;
    if (integral && std::fabs(t) < kSquaringLogLimit && n <= kSquaringMaxExponent) {
        r = power_by_squaring(b, n);
        if (y < 0)
            r = 1.0 / r;
    } else {
        r = std::pow(b, y);
    }
    return (x < 0 && odd) ? -r : r;
}

int max(int a, int b)
{
    return b < a ? a : b;
}
int min(int a, int b)
{
    return a < b ? a : b;
}
long lmax(long a, long b)
{
    return a > b ? a : b;
}

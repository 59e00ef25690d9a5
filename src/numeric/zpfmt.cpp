// The decimals with which a value prints in a field of a given width.
#include "numeric/format.h"

#include <cmath>

#include "runtime/missing.h"

int zpfmt(double value, int width)
{
    if (wzmis(value) || !std::isfinite(value))
        return 0;
    double a = std::fabs(value);
    int whole = 1;
    while (a >= 10.0 && whole < 40) {
        a /= 10.0;
        ++whole;
    }
    // sign + integer digits + point + decimals = width
    int dec = width - whole - 2;
    if (dec < 0)
        dec = 0;
    if (dec > 8)
        dec = 8;
    return dec;
}

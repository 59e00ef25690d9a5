// B-spline basis functions by de Boor's recurrence.
#include "numeric/quad.h"

#include <algorithm>

int zmaopb(double x, int degree, int nknots, int* ki, const double* knots, double* bspline,
           double* deltar, double* deltal)
{
    int k = *ki;
    int last = nknots - std::max(degree, 1);
    if (k < 0)
        k = 0;
    while (k < last && x >= knots[k])
        ++k;
    *ki = k;
    int rc = 0;
    if (x > knots[k]) {
        x = knots[k];
        rc = 1;
    } else if (degree == 0) {
        bspline[0] = 1.0;
        return 0;
    } else if (x < knots[degree - 1]) {
        x = knots[degree - 1];
        rc = -1;
    }
    // The recurrence reaches back degree knots from the interval.
    if (k < degree) {
        k = degree;
        *ki = k;
    }
    bspline[0] = 1.0;
    for (int j = 0; j < degree; ++j) {
        deltar[j] = knots[k + j] - x;
        deltal[j] = x - knots[k - 1 - j];
        double saved = 0.0;
        for (int r = 0; r <= j; ++r) {
            double den = deltar[r] + deltal[j - r];
            double term = den != 0.0 ? bspline[r] / den : 0.0;
            bspline[r] = saved + deltar[r] * term;
            saved = deltal[j - r] * term;
        }
        bspline[j + 1] = saved;
    }
    return rc;
}

// Life-table intervals: boundaries from WIDTH= or NINTERVAL= once the BY
// group's largest valid time is known.
#include <cmath>

#include "frame/intervals.h"

IntervalPlan korv_interval_plan(double maxobstime, bool zwidth, double width, int ninter)
{
    IntervalPlan p{0, ninter, width};
    if (!std::isfinite(maxobstime) || maxobstime < 0) {
        p.status = 2;
        return p;
    }
    if (zwidth) {
        double w = width;
        if (!std::isfinite(w) || w <= 0) {
            p.status = 2;
            return p;
        }
        double ratio = std::floor(maxobstime / w);
        if (!(ratio < KORV_MAX_INTERVALS)) {
            p.status = 1;
            return p;
        }
        int n = static_cast<int>(ratio);
        double v = (n - 1) * w;
        // The last boundary ends above the largest time; a boundary equal to it
        // adds one more. The count is bounded, so the loop ends even when the
        // width is tiny against the time.
        while (maxobstime >= v) {
            v += w;
            if (++n > KORV_MAX_INTERVALS) {
                p.status = 1;
                return p;
            }
        }
        p.ninter = n;
        p.width = w;
        return p;
    }
    int k = ninter;
    if (k < 1) // the statement parser keeps NINTERVAL= positive; never divide by 0
        k = 1;
    if (k > KORV_MAX_INTERVALS) {
        p.status = 1;
        return p;
    }
    double w0 = maxobstime < 2.225073858507202e-305 ? 1.0 : maxobstime / k;
    double lg = std::log10(w0);
    double e = std::floor(lg);
    double f = std::pow(10.0, lg - e);
    double m = f > 5 ? 10 : (f > 2 ? 5 : 2);
    double wd = std::pow(10.0, e) * m;
    int n = k;
    double x = wd * (n - 1);
    while (x - maxobstime <=
           1.110223024625157e-13 * std::fmax(std::fabs(x), std::fabs(maxobstime))) {
        x += wd;
        if (++n > KORV_MAX_INTERVALS) {
            p.status = 1;
            return p;
        }
    }
    p.ninter = n;
    p.width = wd;
    return p;
}

void korv_interval_fill(double* boundaries, int ninter, double width)
{
    if (ninter < 1)
        return;
    boundaries[0] = 0;
    for (int i = 1; i < ninter; ++i)
        boundaries[i] = boundaries[i - 1] + width;
}

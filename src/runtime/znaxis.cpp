// Nice ticks for a range under a tick-count callback (znaxis), with the
// decimals and width their labels need; used for the time axes' tick lists.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "runtime/pgraf.h"
#include "vyr_missing.h"

namespace
{

constexpr double kMantissa[4] = {1, 2, 2.5, 5};

// The text of |value| with d decimals.
int fixedWidth(double value, int d)
{
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.*f", d, std::fabs(value));
    return n < 0 ? 64 : n;
}

// Decimals that show `value` exactly, to 1e-9 of its size; -1 past `most`.
int decimalsOf(double value, int most)
{
    const double tol = 1e-9 * std::max(1.0, std::fabs(value));
    for (int d = 0; d <= most; ++d) {
        const double p = std::pow(10.0, d);
        if (std::fabs(std::round(value * p) / p - value) <= tol)
            return d;
    }
    return -1;
}

// The ticks' labels and the callback's count for them.
int askTicks(ZnaxisMaxTicks max_ticks, void* arg, short w, long d, const double* x, int n)
{
    return max_ticks ? max_ticks(arg, w, d, x, n) : 1000;
}

// A range too narrow to divide: evenly spaced ticks from low to high.
void no_range(double low, double high, ZnaxisMaxTicks max_ticks, void* arg, double* tickstart,
              double* tickinc, int* tickn, bool given, long* fmt_d, short* fmt_w)
{
    *tickstart = low;
    const double d = high - low;
    double x[4];
    if (!given) {
        *tickn = 6;
        *tickinc = d / 5;
        znaxisf(low, *tickinc, 6, 0, x, 0, fmt_d, fmt_w);
    }
    double three[3] = {low, high, (low + high) / 2};
    int answer = askTicks(max_ticks, arg, *fmt_w, *fmt_d, three, 3);
    if (answer < 3 && !given) {
        znaxisf(low, d, 2, 0, x, 0, fmt_d, fmt_w);
        answer = askTicks(max_ticks, arg, *fmt_w, *fmt_d, three, 3);
    }
    *tickn = std::min(6, std::max(answer, 2));
    *tickinc = d / (*tickn - 1);
}

} // namespace

int zfmtv(const double* values, int n, int mode, int limit, short* w, long* d)
{
    if (mode == 2) {
        int most = 0;
        for (int i = 0; i < n; ++i) {
            const int k = decimalsOf(values[i], std::max(0, limit - 2));
            if (k < 0) {
                *d = -1;
                return -1;
            }
            most = std::max(most, k);
        }
        *d = most;
        return 0;
    }
    const int dec = static_cast<int>(std::max(0L, *d));
    int width = *w;
    for (int i = 0; i < n; ++i)
        width = std::max(width, fixedWidth(values[i], dec) + 1);
    if (width > limit) {
        *d = -1;
        return -1;
    }
    *w = static_cast<short>(width);
    return 0;
}

void znaxisf(double tick0, double inc, int n, double scale, double* x, int format_given,
             long* fmt_d, short* fmt_w)
{
    const int m = std::max(n, 2);
    x[0] = tick0;
    x[1] = tick0 + inc;
    x[2] = tick0 + (m - 2) * inc;
    x[3] = tick0 + (m - 1) * inc;
    for (int i = 0; i < 4; ++i)
        if (std::fabs(x[i]) < scale)
            x[i] = 0;
    if (format_given)
        return;
    *fmt_d = 0;
    short w = 1;
    if (zfmtv(&inc, 1, 2, 12, &w, fmt_d) < 0 || *fmt_d < 0) {
        *fmt_w = tick0 < 0 ? 9 : 8;
        *fmt_d = -1;
        return;
    }
    zfmtv(x, 2, 3, 12, &w, fmt_d);
    const short w1 = w;
    zfmtv(x + 2, 2, 3, 12, &w, fmt_d);
    if (*fmt_d >= 0) {
        // The place for a sign is needed only by a negative tick as wide as
        // the widest.
        if (tick0 >= 0) {
            --w;
        } else if (x[3] > 0 && w1 < w) {
            short w0 = 1;
            long d0 = *fmt_d;
            zfmtv(&tick0, 1, 3, 12, &w0, &d0);
            if (w0 < w)
                --w;
        }
    }
    *fmt_w = w;
}

int znaxis(double low, double high, int vh, int zeroflag, ZnaxisMaxTicks max_ticks, void* arg,
           double min_cover, double target_cover, double* tickstart, double* tickinc, int* tickn,
           long* fmt_d, short* fmt_w)
{
    *tickn = 0;
    *tickstart = *tickinc = 0;
    if (min_cover < 0.25 || min_cover > 0.8)
        min_cover = 0.6;
    if (target_cover < 0.5 || target_cover > 0.9)
        target_cover = 0.8;
    const bool given = *fmt_d != 0;
    if (!given) {
        *fmt_d = 0;
        *fmt_w = 0;
    }
    if (wzmis(low) || wzmis(high) || !(high > low))
        return 2;
    if (zeroflag) {
        if (low > 0)
            low = 0;
        else if (high <= 0)
            high = 0;
    }
    const double range = high - low;
    // A range wider than the largest double has no ticks to count.
    if (!std::isfinite(range))
        return 2;
    const double amax = std::max(std::fabs(low), std::fabs(high));
    if (range < std::max(amax * 1e-6, 1.491668147e-154)) {
        no_range(low, high, max_ticks, arg, tickstart, tickinc, tickn, given, fmt_d, fmt_w);
        return -1;
    }

    // The finest division worth trying: the first that covers the range
    // closely enough.
    double p = std::pow(10.0, std::floor(std::log10(amax)));
    double base = 0;
    for (int guard = 0; guard < 40 && base == 0; ++guard, p /= 10) {
        for (double div : {1.0, 2.0, 4.0, 5.0}) {
            const double d = p / div;
            const double a = std::floor(low / d + 1e-6) * d;
            const double b = std::ceil(high / d - 1e-6) * d;
            if ((b - a) / range >= 0.9999 && range / (b - a) >= target_cover) {
                base = p / 10;
                break;
            }
        }
    }
    if (base == 0)
        base = range / 10;

    double x[4];
    int maxt = 0;
    if (vh != 'h') {
        const int n = static_cast<int>(std::floor(range / base + 1e-6)) + 1;
        znaxisf(std::floor(low / base + 1e-6) * base, base, n, range * 1e-6, x, given, fmt_d,
                fmt_w);
        maxt = askTicks(max_ticks, arg, *fmt_w, *fmt_d, x, 4);
    }
    if (vh == 'h' || maxt >= 3) {
        for (double b = base; b <= range; b *= 10) {
            for (double c : kMantissa) {
                const double inc = c * b;
                double s = std::floor(low / inc + 1e-6) * inc;
                double e = std::ceil(high / inc - 1e-6) * inc;
                if (low > s + inc && (!zeroflag || s + inc <= 1e-6 * inc))
                    s += inc;
                if (e - inc > high && (!zeroflag || e - inc >= -1e-6 * inc))
                    e -= inc;
                // Ends past the largest double cover nothing that can be
                // counted: the next increment is tried.
                if (!std::isfinite(e - s) || (e - s) / range < 0.9999)
                    continue;
                const int n = static_cast<int>(std::floor((e - s) / inc + 1e-6));
                if (vh == 'h') {
                    znaxisf(s, inc, n + 1, range * 1e-6, x, given, fmt_d, fmt_w);
                    maxt = askTicks(max_ticks, arg, *fmt_w, *fmt_d, x, 4);
                }
                if (n + 1 > maxt || range / (e - s) < min_cover)
                    continue;
                if (n + 1 < 3)
                    break;
                if (zeroflag) {
                    const double q = s / inc + 1e-6;
                    if (q - std::floor(q) > 0.0001)
                        continue;
                }
                *tickstart = s;
                *tickinc = inc;
                *tickn = n + 1;
                if (vh != 'h')
                    znaxisf(s, inc, n + 1, range * 1e-6, x, given, fmt_d, fmt_w);
                return 0;
            }
        }
    }
    // No nice increment fits: evenly spaced ticks from low to high.
    znaxisf(low, range / 5, 6, range * 1e-6, x, given, fmt_d, fmt_w);
    maxt = askTicks(max_ticks, arg, *fmt_w, *fmt_d, x, 4);
    const int n = std::min(6, std::max(maxt, 2));
    *tickstart = low;
    *tickinc = range / (n - 1);
    *tickn = n;
    if (vh != 'h')
        znaxisf(low, *tickinc, n, range * 1e-6, x, given, fmt_d, fmt_w);
    return n < 3 ? 3 : -1;
}

int znaxis2(double major_inc, int maxticks, int* n_minor, double* minor_inc)
{
    const double lg = std::log10(major_inc);
    const int lead =
        static_cast<int>(std::floor(std::pow(10.0, lg - std::floor(lg + 1e-6) + 1) + 1e-6));
    static const struct {
        int lead;
        int counts[4];
    } kTable[] = {{10, {9, 4, 3, 1}}, {20, {3, 1, 0, 0}}, {25, {4, 0, 0, 0}}, {50, {4, 1, 0, 0}}};
    *n_minor = 0;
    for (const auto& row : kTable)
        if (row.lead == lead) {
            *n_minor = row.counts[3];
            for (int c : row.counts)
                if (c <= maxticks) {
                    *n_minor = c;
                    break;
                }
        }
    *minor_inc = *n_minor == 0 ? korv_missing() : major_inc / (*n_minor + 1);
    return *n_minor == 0 ? 1 : 0;
}

// Nice axes for character plots (zscale) and FROM/TO/BY value lists.
//
// zscale settles three things in turn, over several passes: the positions
// between ticks (ticpos), the number of tick intervals (ntic) and a round
// increment (inc). Each pass works from what is settled so far; a pass that
// finds them inconsistent unsettles one and the next pass tries again. The
// ends are rounded outwards to multiples of the increment after a margin of
// half a position is taken off the data at each end, so that a value at the
// data's edge lands within half a position of the axis end.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "runtime/pgraf.h"
#include "vyr_missing.h"

namespace
{

// Relative tolerance of the scaling: ends, counts and positions within this
// much of a whole step count as on it.
constexpr double kFuzz = 1.053671212772351e-8;
constexpr double kTiny = 2.225073858507202e-305;
constexpr double kDefaultAccept[5] = {1, 2, 2.5, 5, 10};
// Fractional steps of the finest refinement, after the first entry.
constexpr double kFraction[8] = {0, 0, 1, 0.5, 0.25, 0.75, 1.0 / 3, 2.0 / 3};

enum : int { kTicpos = 1, kNtic = 2, kInc = 4, kDone = 8 };

// zscale's working state.
struct GLOBALSTR {
    bool incf = false, ticposf = false, nticf = false; // given by the caller
    bool force_incf = false;                           // the increment is required
    double smin = 0, smax = 0;                         // the data range, normalised
    double range = 0;                                  // current axis span
    double fuzz = 0;                                   // kFuzz times the data span
    double sinc = 0;                                   // the increment the caller gave
    int inc_tp = 1;                                    // ticpos matching a required increment
    int min_ticpos = 1, def_ticpos = 1;
    int done = 0;      // kTicpos | kNtic | kInc | kDone
    int bucketlvl = 0; // refinement level (REFINE)
    const double* accept = kDefaultAccept;
    int naccept = 5;
};

// The integer part of a count of increments, or `otherwise` when the count
// is undefined or beyond an int's range (a range that overflowed to
// infinity, or an increment too fine for it): the passes then treat the
// count as one that does not fit.
int truncOr(double x, int otherwise)
{
    if (!(x > static_cast<double>(std::numeric_limits<int>::min()) - 1.0 &&
          x < static_cast<double>(std::numeric_limits<int>::max()) + 1.0))
        return otherwise;
    return static_cast<int>(x);
}

// The half-position margins for `plotpos` positions.
void minmax(int plotpos, SCALESTR* s, GLOBALSTR* g)
{
    s->unit = (g->smax - g->smin) / (plotpos + 1);
    s->xmin = g->smin + ((s->options & scale_opt::EXACT_MIN) ? 0 : s->unit / 2 - g->fuzz);
    s->xmax = g->smax - ((s->options & scale_opt::EXACT_MAX) ? 0 : s->unit / 2 + g->fuzz);
    g->range = s->xmax - s->xmin;
}

int usedPositions(const SCALESTR* s)
{
    return s->ntic > 0 && s->ticpos > 0 ? s->ntic * s->ticpos : std::abs(s->plotpos);
}

// Rounds the ends outwards to multiples of the increment, with the exact-end
// rules.
void zcsround(SCALESTR* s, GLOBALSTR* g)
{
    if (g->bucketlvl)
        ++g->bucketlvl;
    const double inc = s->inc;
    s->xmin = std::floor((s->xmin + g->fuzz) / inc) * inc;
    s->xmax = std::ceil((s->xmax - g->fuzz) / inc) * inc;
    const double step = g->sinc > 0 ? g->sinc : inc;
    if ((s->options & scale_opt::EXACT_MIN) &&
        std::fabs(std::fmod(g->smin - s->xmin, step)) > g->fuzz) {
        minmax(usedPositions(s), s, g);
        s->xmin = g->smin;
        s->xmax = g->smin + std::ceil((s->xmax - g->smin) / inc) * inc;
    }
    if ((s->options & scale_opt::EXACT_MAX) &&
        std::fabs(std::fmod(std::fabs(s->xmax - g->smax), step)) > g->fuzz) {
        minmax(usedPositions(s), s, g);
        s->xmax = g->smax;
        s->xmin = (s->options & scale_opt::EXACT_MIN)
                      ? g->smin
                      : g->smax - std::ceil((g->smax - s->xmin) / inc) * inc;
    }
    if (g->bucketlvl >= 6 && g->smin > s->xmin + inc / 2 && s->xmax - inc / 2 > g->smax) {
        s->xmin += inc / 2;
        s->xmax -= inc / 2;
    }
    g->range = s->xmax - s->xmin;
}

// The first acceptable mantissa at or above m; the last when none is.
double acceptAtLeast(const GLOBALSTR* g, double m)
{
    for (int i = 0; i < g->naccept; ++i)
        if (g->accept[i] >= m)
            return g->accept[i];
    return g->accept[g->naccept - 1];
}

// Chooses the increment for ntic intervals over the current range.
void NiceFunction(SCALESTR* s, GLOBALSTR* g)
{
    if (g->force_incf) {
        // A required increment: a whole multiple of it, k, that fits.
        const int q = std::max(1, std::abs(s->plotpos) / std::max(1, s->ticpos));
        int k = std::max(1, truncOr(std::ceil(g->range / (q * g->sinc)), 1));
        if (k < s->ticpos) {
            while (k < s->ticpos && s->ticpos % k != 0)
                ++k;
        } else if (k > s->ticpos && s->ticpos > 0) {
            k = (k + s->ticpos - 1) / s->ticpos * s->ticpos;
        }
        s->inc = k * g->sinc;
        if ((s->options & scale_opt::EXACT_MIN) && (s->options & scale_opt::EXACT_MAX) &&
            std::fmod(g->smax - g->smin, s->inc) > s->inc * 1000 * DBL_EPSILON)
            s->options &= ~scale_opt::EXACT_MAX;
        g->inc_tp = s->ticpos;
        return;
    }
    if (g->incf)
        s->options &= ~(scale_opt::EXACT_MIN | scale_opt::EXACT_MAX);
    const int ntic = std::max(1, s->ntic);
    if (g->bucketlvl > 4)
        minmax(ntic * std::max(1, s->ticpos), s, g);
    const double x = g->range / ntic;
    s->inc = x;
    if ((s->options & scale_opt::EXACT_MIN) && (s->options & scale_opt::EXACT_MAX))
        return;
    const double p = std::pow(10.0, std::floor(std::log10(x)));
    const double m = x / p - 1.110223024625157e-13;
    double a = acceptAtLeast(g, m);
    if (g->bucketlvl >= 5 && ntic > 1) {
        const double mmax = m * ntic / (ntic - 1) - 0.01 * m;
        if (a > mmax) {
            const double f = std::floor(m);
            const double e = f == 3 ? 1.0 / 3 : f == 6 ? 2.0 / 3 : 0;
            if (f + e >= m && f + e <= mmax) {
                a = f + e;
            } else {
                a = f + 2.0 / 3;
                for (int i = 1; i < 8; ++i)
                    if (f + kFraction[i] >= m && f + kFraction[i] <= mmax) {
                        a = f + kFraction[i];
                        break;
                    }
            }
            if (a < m || a > mmax)
                for (int j = 0; j < 16; ++j) {
                    const double t = std::pow(10.0, j);
                    a = std::ceil(t * m) / t;
                    if (a <= mmax)
                        break;
                }
        }
    }
    s->inc = a * p;
    if (s->options & scale_opt::WHOLE) {
        s->inc = std::ceil(s->inc - g->fuzz);
        if (s->inc > 1 && s->inc < 10 && p == 1)
            for (int i = 0; i < g->naccept; ++i)
                if (g->accept[i] >= s->inc && g->accept[i] == std::floor(g->accept[i])) {
                    s->inc = g->accept[i];
                    break;
                }
    }
    if (g->bucketlvl)
        ++g->bucketlvl;
}

// A pass with all three settled: round the ends and count the intervals.
void passSettled(SCALESTR* s, GLOBALSTR* g, int pass, int L)
{
    minmax(s->ntic * s->ticpos, s, g);
    zcsround(s, g);
    int k = std::max(1, truncOr((g->range + g->fuzz) / s->inc, 1));
    if (k == s->ntic) {
        g->done |= kDone;
    } else if (k < s->ntic) {
        if ((s->options & scale_opt::KEEP_NTIC) || g->nticf) {
            // Keep the count: centre the tick window on the data.
            const int spare = s->ntic - k;
            const double i0 = std::floor((s->xmin + g->fuzz) / s->inc);
            const double i1 = std::ceil((s->xmax - g->fuzz) / s->inc);
            double lo, hi;
            if (i0 >= 1 && i0 <= spare) {
                lo = 0;
                hi = s->ntic;
            } else if (i1 < 0 && -i1 <= spare) {
                lo = -s->ntic;
                hi = 0;
            } else {
                lo = i0 - spare / 2;
                hi = i1 + (spare + 1) / 2;
            }
            s->xmin = lo * s->inc;
            s->xmax = hi * s->inc;
            g->range = s->xmax - s->xmin;
            k = truncOr((g->range + g->fuzz) / s->inc, -1);
            if (k == s->ntic)
                g->done |= kDone;
        } else {
            s->ntic = k;
            if ((s->options & scale_opt::CLOSER) && pass < L - 3 && !g->ticposf)
                g->done &= ~kTicpos;
        }
    } else if (g->nticf && !g->incf) {
        g->done &= ~kInc;
    } else {
        g->done &= ~kNtic;
        if (!g->incf)
            g->done &= ~kInc;
    }
}

// A pass with the spacing free and the count settled, or a required
// increment: the spacing from the count.
void passSpacing(SCALESTR* s, GLOBALSTR* g, int pass, int L)
{
    const int plotpos = s->plotpos;
    s->ntic = std::max(1, s->ntic);
    if (g->force_incf && g->min_ticpos <= g->inc_tp && g->inc_tp <= plotpos / s->ntic) {
        s->ticpos = g->inc_tp;
        g->done |= kTicpos;
        return;
    }
    s->ticpos = plotpos / s->ntic;
    const int def = g->def_ticpos;
    if ((s->options & scale_opt::CLOSER) && pass < L - 6 &&
        ((s->ntic == 1 && s->ticpos > (def + 2) / 3) ||
         (s->ntic == 2 && s->ticpos > (def + 1) / 2))) {
        // Ticks far apart: one interval more.
        if (!g->nticf)
            ++s->ntic;
        if (!g->incf)
            g->done &= ~kInc;
        return;
    }
    const int near = std::min(def, plotpos);
    if (pass < 4 && s->ticpos >= (3 * near + 1) / 2)
        s->ticpos = (s->ticpos + std::max(plotpos / (s->ntic + 2), near)) / 2;
    if (s->ticpos < g->min_ticpos) {
        // Too close: as many intervals as the smallest spacing allows, with
        // an increment chosen afresh for them.
        s->ntic = std::max(1, plotpos / g->min_ticpos);
        if (!g->incf)
            g->done &= ~kInc;
    } else {
        g->done |= kTicpos;
    }
}

} // namespace

int zsign(int i)
{
    return (i > 0) - (i < 0);
}

namespace
{

bool finiteAxis(const SCALESTR& s)
{
    return std::isfinite(s.xmin) && std::isfinite(s.xmax) && std::isfinite(s.inc) &&
           std::isfinite(s.unit);
}

// The axis of a request whose nice ends would lie beyond the largest double
// (data near 1.8e308): it spans the data exactly, with evenly spaced ticks,
// so that every value keeps its place. -1, with the request left as it was,
// when even the data's span is not a number.
int exactAxis(const SCALESTR& request, SCALESTR* s)
{
    *s = request;
    double lo = std::min(request.xmin, request.xmax), hi = std::max(request.xmin, request.xmax);
    if ((request.options & scale_opt::ZERO) ||
        hi - lo <= kFuzz * std::max(std::fabs(lo), std::fabs(hi))) {
        lo = std::min(lo, 0.0);
        hi = std::max(hi, 0.0);
    }
    const double span = hi - lo;
    if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(span) || !(span > 0))
        return -1;
    const int plotpos = std::max(1, std::abs(request.plotpos));
    int ticpos = std::abs(request.ticpos);
    const int def =
        std::max(1, std::min(plotpos / 2, (request.options & scale_opt::CAP10) ? 10 : 5));
    if (request.ticpos <= 0)
        ticpos = std::max(ticpos, def);
    ticpos = std::min(std::max(ticpos, 1), plotpos);
    int ntic = request.ntic > 0 && request.ntic * ticpos <= plotpos ? request.ntic
                                                                    : std::max(1, plotpos / ticpos);
    ticpos = std::max(1, plotpos / ntic);
    s->xmin = lo;
    s->xmax = hi;
    s->ntic = ntic;
    s->ticpos = ticpos;
    s->plotpos = ntic * ticpos;
    s->inc = span / ntic;
    s->unit = span / s->plotpos;
    return 0;
}

int scaleOnce(SCALESTR* s);

} // namespace

int zscale(SCALESTR* s)
{
    const SCALESTR request = *s;
    const int rc = scaleOnce(s);
    // Data of a span too small for nice round ends (times of the order of
    // 1e-310, below the smallest normal double) would get an axis from -1
    // to 1 with every value at one place: they too span the data exactly.
    const double span = std::fabs(request.xmax - request.xmin);
    const bool lost = std::isfinite(span) && span > 0 && span < DBL_MIN &&
                      std::fabs(s->xmax - s->xmin) > 1000.0 * span;
    if (finiteAxis(*s) && !lost)
        return rc;
    return exactAxis(request, s);
}

namespace
{

// The start of the working state: the caller's acceptable mantissas, the
// range in order (with zero when asked, widened by an increment on each
// side when it has no width), and the fuzz. Returns the number of passes
// allowed: more for a required increment (a negative one), and for CLOSER.
int startState(SCALESTR* s, GLOBALSTR* g)
{
    if (s->accept && s->naccept > 0) {
        g->accept = s->accept;
        g->naccept = s->naccept;
    }
    if (s->xmin > s->xmax)
        std::swap(s->xmin, s->xmax);
    int L;
    if (s->inc < 0) {
        g->force_incf = true;
        s->inc = -s->inc;
        L = 20;
    } else {
        L = (s->options & scale_opt::CLOSER) ? 13 : 10;
    }
    if (s->options & scale_opt::ZERO) {
        s->xmin = std::min(s->xmin, 0.0);
        s->xmax = std::max(s->xmax, 0.0);
    }
    double span = s->xmax - s->xmin;
    if (span <= kFuzz * std::max(std::fabs(s->xmin), std::fabs(s->xmax)) || span <= kTiny) {
        // No width: widen the range by an increment on each side.
        const double mid = (s->xmin + s->xmax) / 2;
        if (std::fabs(s->inc) <= kTiny)
            s->inc = std::fabs(mid);
        if (s->inc <= kTiny)
            s->inc = 1.0;
        s->xmin = mid - s->inc;
        s->xmax = mid + s->inc;
        span = s->xmax - s->xmin;
    }
    g->fuzz = kFuzz * span;
    g->smin = s->xmin;
    g->smax = s->xmax;
    g->sinc = s->inc;
    g->inc_tp = 1;
    g->bucketlvl = (s->options & scale_opt::REFINE) ? 1 : 0;
    return L;
}

// The axes that need no passes: no positions at all (a single point), or
// one interval over the whole range. False when the request needs passes.
bool trivialAxis(SCALESTR* s, const GLOBALSTR* g, double span)
{
    if (s->plotpos == 0) {
        s->ticpos = 1;
        s->ntic = 0;
        s->inc = s->unit = std::max(span, s->inc);
        s->xmin = s->xmax = (g->smin + g->smax) / 2;
        return true;
    }
    if (s->plotpos == 1 || s->ntic == 1 || std::abs(s->ticpos) >= std::abs(s->plotpos) ||
        std::fabs(s->xmin + s->inc - s->xmax) <= g->fuzz) {
        // One interval over the whole range.
        s->ntic = 1;
        if (s->ticpos != 0)
            s->ticpos = std::min(std::abs(s->ticpos), std::abs(s->plotpos));
        else if (s->plotpos < 0)
            s->ticpos = std::min(-s->plotpos, (s->options & scale_opt::CAP10) ? 10 : 5);
        else if (s->options & scale_opt::CLOSER)
            s->ticpos = 2 * s->plotpos / 3 + 1;
        else
            s->ticpos = s->plotpos;
        s->plotpos = s->ticpos;
        s->inc = span;
        s->unit = span / s->ticpos;
        return true;
    }
    return false;
}

// What the request settles before the passes: the positions (at most that
// many, when negative), the smallest spacing, a count and increment that
// fit them (an increment too fine for the positions is dropped unless it is
// required), and the spacing the passes start from.
void settleRequest(SCALESTR* s, GLOBALSTR* g, double span)
{
    if (s->plotpos < 0) {
        // At most that many positions: as many as the request needs.
        s->ticpos = std::abs(s->ticpos);
        if (s->ticpos && s->ntic)
            s->plotpos = s->ntic * s->ticpos;
        else if (s->ticpos && s->inc > 0)
            s->plotpos = static_cast<int>(std::ceil(span / s->inc)) * s->ticpos;
        else if (s->inc > 0)
            s->plotpos = std::max(static_cast<int>(std::ceil(span / s->inc)), -s->plotpos);
        if (s->plotpos < 0)
            s->plotpos = -s->plotpos;
    }
    g->min_ticpos = std::abs(s->ticpos);
    if (g->min_ticpos > s->plotpos) {
        g->min_ticpos = s->plotpos;
        s->ticpos = s->plotpos;
    }
    g->min_ticpos = std::max(g->min_ticpos, 1);
    if (s->ntic && s->ntic * g->min_ticpos > s->plotpos)
        s->ntic = 0;
    minmax(s->plotpos, s, g);
    if (s->inc > 0) {
        if (g->range <= s->inc * (s->plotpos / g->min_ticpos)) {
            g->force_incf = false;
            if (s->ntic && g->range > s->ntic * s->inc)
                s->ntic = 0;
        } else if (!g->force_incf) {
            s->inc = 0;
            s->options &= ~(scale_opt::EXACT_MIN | scale_opt::EXACT_MAX);
        }
    }
    g->ticposf = s->ticpos > 0;
    g->nticf = s->ntic > 0;
    g->incf = s->inc > 0 && !g->force_incf;
    g->done = (g->ticposf ? kTicpos : 0) | (g->nticf ? kNtic : 0) | (g->incf ? kInc : 0);
    g->def_ticpos = g->min_ticpos;
    if (((s->options & scale_opt::DERIVE) || g->min_ticpos < 2) && !g->ticposf)
        g->def_ticpos = std::min(s->plotpos / 2, (s->options & scale_opt::CAP10) ? 10 : 5);
    g->def_ticpos = std::max(g->def_ticpos, 1);
}

// Up to L passes, each settling what the state still lacks, until an axis
// is consistent.
void runPasses(SCALESTR* s, GLOBALSTR* g, int L)
{
    for (int pass = 0; pass < L && !(g->done & kDone); ++pass) {
        switch (g->done & 7) {
        case kTicpos | kNtic | kInc:
            passSettled(s, g, pass, L);
            break;
        case kTicpos | kNtic:
            minmax(s->ntic * s->ticpos, s, g);
            NiceFunction(s, g);
            zcsround(s, g);
            s->unit = g->range / (s->ticpos * s->ntic);
            if (g->range > s->ntic * s->inc + g->fuzz)
                NiceFunction(s, g);
            g->done |= kInc;
            break;
        case kInc:
            minmax(s->plotpos, s, g);
            zcsround(s, g);
            s->ntic = std::max(truncOr((g->range + g->fuzz) / s->inc, 1), 1);
            g->done |= kNtic;
            break;
        case 0:
            s->ticpos = g->def_ticpos;
            s->ntic = std::max(1, s->plotpos / s->ticpos);
            minmax(s->ntic * s->ticpos, s, g);
            NiceFunction(s, g);
            g->done |= kInc;
            break;
        case kTicpos:
        case kTicpos | kInc:
            s->ntic = std::max(1, s->plotpos / s->ticpos);
            g->done |= kNtic;
            break;
        default:
            passSpacing(s, g, pass, L);
            break;
        }
        // With refinement, an end tick a whole increment beyond the data is
        // one too many: settle again.
        if ((g->done & kDone) && g->bucketlvl &&
            !(s->xmin + s->inc - g->smin > g->fuzz && g->smax + s->inc - s->xmax > g->fuzz)) {
            g->done &= ~(kInc | kDone);
            if (!g->nticf)
                g->done &= ~kNtic;
        }
    }
}

// No consistent axis after the passes: even ticks over what the last pass
// left (over the data itself with refinement). 1 with refinement, else -1.
int evenTicks(SCALESTR* s, const GLOBALSTR* g)
{
    s->ticpos = g->ticposf ? g->min_ticpos : std::min(s->plotpos, 10);
    s->ticpos = std::max(s->ticpos, 1);
    if (!g->nticf || s->ntic < 1)
        s->ntic = std::max(1, s->plotpos / s->ticpos);
    s->ticpos = std::max(1, s->plotpos / s->ntic);
    if (s->options & scale_opt::REFINE) {
        s->xmin = g->smin;
        s->xmax = g->smax;
    }
    s->inc = (s->xmax - s->xmin) / s->ntic;
    return (s->options & scale_opt::REFINE) ? 1 : -1;
}

int scaleOnce(SCALESTR* s)
{
    GLOBALSTR g;
    const int L = startState(s, &g);
    // The range after startState, the same difference its fuzz came from.
    const double span = g.smax - g.smin;
    if (trivialAxis(s, &g, span))
        return 0;
    settleRequest(s, &g, span);
    runPasses(s, &g, L);
    const int rc = (g.done & kDone) ? 0 : evenTicks(s, &g);
    s->plotpos = s->ntic * s->ticpos;
    s->unit = (s->xmax - s->xmin) / s->plotpos;
    return rc;
}

} // namespace

// ---------------------------------------------------------------------------
// FROM/TO/BY lists.

namespace
{

// A value within rounding noise of a whole number (or of 0) is taken as it.
double snap(double value, double inc)
{
    const double eps = std::fabs(inc * kFuzz);
    if (std::fabs(value) < eps)
        return 0.0;
    const double whole = std::floor(value + 0.5);
    return std::fabs(value - whole) <= eps ? whole : value;
}

// Values from start by inc that stay within end ('e') or reach it ('i').
int64_t countTo(double start, double end, double inc, char mode)
{
    double n;
    if (mode == 'i') {
        n = std::ceil((end - start) / inc - kFuzz);
    } else {
        end += inc * kFuzz;
        n = std::floor((end - start) / inc + kFuzz);
    }
    if (!(n >= 0))
        n = 0;
    return n > 2147483646.0 ? -1 : static_cast<int64_t>(n) + 1;
}

} // namespace

int zdoscal(int* cnt, double* start, double* end, double* inc, const char* flags)
{
    if (*cnt == 0) {
        if (std::fabs(*inc) <= 2.225073858507202e-305)
            return 1;
        char mode = 'e';
        for (const char* f = flags; f && *f; ++f)
            if (*f == 'i' || *f == 'e') {
                mode = *f;
                break;
            }
        const int64_t n = countTo(*start, *end, *inc, mode);
        if (n < 0)
            return -2;
        *cnt = static_cast<int>(n);
        return 0;
    }
    // The count is given: the missing one of the others.
    if (wzmis(*inc))
        *inc = *cnt == 1 ? *start - *end : (*end - *start) / (*cnt - 1);
    else if (wzmis(*start))
        *start = *end - (*cnt - 1) * *inc;
    else
        *end = *start + (*cnt - 1) * *inc;
    return 0;
}

int zdolist(POOLHANDLE* pool, double from, double to, double inc, double** list, int* count)
{
    const char mode = *count < 0 ? 'i' : 'e';
    int have = *count < 0 ? -*count - 1 : *count;
    if (list == nullptr || *list == nullptr)
        have = 0;
    if (std::fabs(inc) <= 2.225073858507202e-305) {
        *count = have;
        return 0;
    }
    const int64_t n = countTo(from, to, inc, mode);
    if (n < 0 || n + have > 2147483646) {
        *count = have;
        return 0;
    }
    const int64_t total = n + have;
    const int64_t bytes = total * static_cast<int64_t>(sizeof(double));
    auto* grown = static_cast<double*>(pool->allocate(pool, bytes, 0x2004));
    if (grown == nullptr)
        return -1;
    if (have > 0) {
        std::memcpy(grown, *list, static_cast<size_t>(have) * sizeof(double));
        pool->free(pool, *list, have * static_cast<int64_t>(sizeof(double)), 0);
    }
    zdofill(grown + have, from, inc, static_cast<int>(n));
    *list = grown;
    *count = static_cast<int>(total);
    return 0;
}

void zdofill(double* place, double start, double inc, int cnt)
{
    double cur = start;
    int left = cnt;
    for (int i = 0; i < cnt; ++i)
        place[i] = zdonext(&cur, &inc, &left);
}

double zdonext(double* cur, const double* inc, int* cnt)
{
    const double v = snap(*cur, *inc);
    // A value taken as 0 restarts the running sum there.
    *cur = (v == 0.0 ? 0.0 : *cur) + *inc;
    --*cnt;
    return v;
}

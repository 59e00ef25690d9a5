// The line-printer plots of a BY group: each stratum's plot points are read
// back from the plot-point file, transformed per plot and drawn into the
// shared frames with the stratum's letter; then the frames are printed, each
// as a named output of the group "Plots".
//
// Product-limit record: (survival, time) pairs, the first STRATA.fail of them
// the steps of the curve from (1, 0). Life-table record: a block of
// STRATA.fail values per plot kind asked for (survival, hazard, density).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "common/stages.h"
#include "common/strata.h"
#include "lpplot/lpplot.h"
#include "runtime/wobmth.h"
#include "vyr_files.h"
#include "vyr_message_names.h"
#include "vyr_missing.h"
#include "vyr_output.h"

namespace
{

constexpr double kGuard = 1e-10;

// The characters of one stratum's lines: first end, between, second end.
struct Triples {
    char joined[3];
    char drop[3];
    char cut[3];
};

// Segments between consecutive rows whose values pass [lo, hi], cut at the
// axis end X. How the horizontal values are guarded: not at all, both ends
// in [xlo, xhi], or the first end only.
enum class XGuard { None, Both, First };

void segments(PGRAFSTR* g, const double* x, const double* y, int64_t n, int64_t stride, double lo,
              double hi, double X, const Triples& t, XGuard xg = XGuard::None, double xlo = 0,
              double xhi = 0)
{
    for (int64_t j = 0; j + 1 < n; ++j) {
        const double xa = x[j * stride], xb = x[(j + 1) * stride];
        const double ya = y[j * stride], yb = y[(j + 1) * stride];
        if (bound1(lo, hi, ya) || bound1(lo, hi, yb))
            continue;
        // A row without a horizontal place (a missing midpoint or log time)
        // has no segment.
        if (wzmis(xa) || wzmis(xb))
            continue;
        if (xg == XGuard::Both && (bound1(xlo, xhi, xa) || bound1(xlo, xhi, xb)))
            continue;
        if (xg == XGuard::First && bound1(xlo, xhi, xa))
            continue;
        if (xb <= X) {
            zpgrafl(g, xa, ya, xb, yb, t.joined);
        } else if (xa < X) {
            const double yX = ya + (X - xa) * (yb - ya) / (xb - xa);
            zpgrafl(g, xa, ya, X, yX, t.cut);
        }
    }
}

// A curve that stays level after its last point (x0, y) up to x1, cut at
// the axis end X: the survival after the last event holds until the last
// censored time, which the time axis reaches.
void levelTail(PGRAFSTR* g, double x0, double y, double x1, double X, const Triples& t)
{
    if (wzmis(x0) || wzmis(x1) || wzmis(y) || !(x1 > x0) || !(x0 < X))
        return;
    zpgrafl(g, x0, y, std::min(x1, X), y, t.cut);
}

// The staircase of a product-limit survival curve.
void staircase(PGRAFSTR* g, const double* pairs, int64_t n, double tmax, const Triples& t)
{
    for (int64_t j = 0; j + 1 < n; ++j) {
        const double s0 = pairs[2 * j], t0 = pairs[2 * j + 1];
        const double s1 = pairs[2 * j + 2], t1 = pairs[2 * j + 3];
        if (bound1(0, 1, s0) || bound1(0, 1, s1))
            continue;
        if (t1 <= tmax) {
            zpgrafl(g, t0, s0, t1, s0, t.joined);
            zpgrafl(g, t1, s0, t1, s1, t.drop);
        } else if (t0 < tmax) {
            zpgrafl(g, t0, s0, tmax, s0, t.cut);
        }
    }
}

struct Frames {
    PGRAFSTR *s, *l, *ll, *h, *p;
};

bool logLogRanges(const KORVCOM* q)
{
    return !wzmis(q->smax) && !wzmis(q->smin) && q->smin > 0 && q->smin < 1 && q->smax > 0 &&
           q->smax < 1;
}

// One product-limit stratum: n pairs in `pairs` (transformed in place);
// `last` is the stratum's last censored time, where its curves end when it
// comes after the last event.
void drawProductLimit(KorvPtr q, const Frames& f, double* pairs, int64_t n, const Triples& pl,
                      const Triples& other, double last)
{
    const double sEnd = pairs[2 * (n - 1)], tEnd = pairs[2 * (n - 1) + 1];
    const bool tail = !wzmis(last) && !wzmis(tEnd) && last > tEnd && !bound1(0, 1, sEnd);
    if (f.s) {
        staircase(f.s, pairs, n, q->pgtmax, pl);
        if (tail)
            levelTail(f.s, tEnd, sEnd, last, q->pgtmax, pl);
    }
    bool negLog = false;
    if (f.l) {
        for (int64_t j = 0; j < n; ++j)
            pairs[2 * j] = cneglog(pairs[2 * j]);
        segments(f.l, pairs + 1, pairs, n, 2, 0, -std::log(q->smin), q->pgtmax, other);
        if (tail && sEnd > 0 && !bound1(0, -std::log(q->smin), cneglog(sEnd)))
            levelTail(f.l, tEnd, cneglog(sEnd), last, q->pgtmax, other);
        negLog = true;
    }
    if (f.ll && logLogRanges(q) && q->tmin > 0 && q->tmin <= q->pgtmax) {
        for (int64_t j = 0; j < n; ++j) {
            const double s = pairs[2 * j];
            pairs[2 * j] =
                negLog ? clog(s) : (s > 0 && s < 1 ? std::log(-std::log(s)) : korv_missing());
            pairs[2 * j + 1] = clog(pairs[2 * j + 1]);
        }
        const double X = std::log(q->pgtmax);
        segments(f.ll, pairs + 1, pairs, n, 2, std::log(-std::log(q->smax)),
                 std::log(-std::log(q->smin)), X, other, XGuard::Both, std::log(q->tmin), X);
        if (tail && sEnd > 0 && sEnd < 1 && tEnd >= q->tmin) {
            const double y = std::log(-std::log(sEnd));
            if (!bound1(std::log(-std::log(q->smax)), std::log(-std::log(q->smin)), y))
                levelTail(f.ll, std::log(tEnd), y, std::log(last), X, other);
        }
    }
}

// One life-table stratum: n rows per block in `blocks`; `second` holds
// ninter values (log times, then midpoints).
void drawLifeTable(KorvPtr q, const Frames& f, double* blocks, double* second, int64_t n,
                   const Triples& t)
{
    const bool survival = q->zsurvival || q->zlsur || q->zllsur;
    double* sv = survival ? blocks : nullptr;
    const double* hz = q->zhazard ? blocks + (survival ? n : 0) : nullptr;
    const int nblocks = (survival ? 1 : 0) + (q->zhazard ? 1 : 0) + (q->zpdf ? 1 : 0);
    const double* pd = q->zpdf ? blocks + (nblocks - 1) * n : nullptr;
    const double* iv = q->interval;
    if (f.s && sv)
        segments(f.s, iv, sv, n, 1, 0, 1, q->pgtmax, t);
    bool negLog = false;
    if (f.l && sv) {
        for (int64_t j = 0; j < n; ++j)
            sv[j] = cneglog(sv[j]);
        segments(f.l, iv, sv, n, 1, 0, -std::log(q->smin), q->pgtmax, t);
        negLog = true;
    }
    if (f.ll && sv && second && logLogRanges(q)) {
        for (int64_t j = 0; j < n; ++j) {
            const double s = sv[j];
            sv[j] = negLog ? clog(s) : (s > 0 && s < 1 ? std::log(-std::log(s)) : korv_missing());
            second[j] = clog(iv[j]);
        }
        const double X = std::log(q->pgtmax);
        segments(f.ll, second, sv, n, 1, std::log(-std::log(q->smax)), std::log(-std::log(q->smin)),
                 X, t, XGuard::First, std::log(q->tmin), X);
    }
    if ((f.h && hz) || (f.p && pd)) {
        // Interval midpoints (std::midpoint: the bounds' sum may pass the
        // largest double); the last row has one only when a boundary
        // follows it.
        for (int64_t j = 0; j < n; ++j)
            second[j] =
                j + 1 < n || n < q->ninter ? std::midpoint(iv[j], iv[j + 1]) : korv_missing();
        if (f.h && hz)
            segments(f.h, second, hz, n, 1, 0, q->hazmax, q->pgtmax, t);
        if (f.p && pd)
            segments(f.p, second, pd, n, 1, 0, q->pdfmax, q->pgtmax, t);
    }
}

// Returns the plot-point file to a stratum's record and reads it: false,
// after a message, when the record is not there or cannot be read whole.
// The stratum's curve is then left out (never drawn from what the buffer
// held before), and the other curves, the other plots and the rest of the
// step go on.
bool readBack(KorvPtr q, STRATA* node, int k, void* buffer, long bytes)
{
    if (node->plotnote == 0) {
        // No record was written for the stratum.
        xpmlog(326, msg326::LP_CURVE_SKIPPED, k + 1);
        return false;
    }
    int rc = xcpntd(q->utid1, node->plotnote);
    if (rc == 0)
        rc = xcread(q->utid1, buffer, bytes);
    if (rc != 0) {
        xpmlog(326, msg326::LP_CURVE_UNREADABLE, k + 1);
        q->rc = std::max(q->rc, 4);
        return false;
    }
    return true;
}

void drawCurves(KorvPtr q, const Frames& f)
{
    POOLHANDLE* pool = q->grafindx;
    const bool lt = q->method == 1;
    char fc[48];
    korv_formchar(q, fc, 48);
    int64_t capacity;
    double *buffer, *second = nullptr;
    if (lt) {
        const int nblocks = (q->zsurvival || q->zlsur || q->zllsur ? 1 : 0) + (q->zhazard ? 1 : 0) +
                            (q->zpdf ? 1 : 0);
        capacity = q->ninter;
        buffer = static_cast<double*>(
            xmalloc_or_exit(pool, std::max<int64_t>(1, capacity * nblocks) * 8, 0x2000));
        if (q->zllsur || q->zhazard || q->zpdf)
            second = static_cast<double*>(
                xmalloc_or_exit(pool, std::max<int64_t>(1, capacity) * 8, 0x2000));
        capacity *= nblocks;
    } else {
        capacity = q->maxnobs + 1;
        buffer = static_cast<double*>(xmalloc_or_exit(pool, capacity * 16, 0x2000));
    }
    int k = 0;
    for (STRATA* node = q->strata; node; node = node->left, ++k) {
        const char s = q->symbols[k % 26];
        const Triples pl{{s, fc[formch::HORIZONTAL], s},
                         {s, fc[formch::VERTICAL], s},
                         {s, fc[formch::HORIZONTAL], fc[formch::HORIZONTAL]}};
        const Triples other{{s, '+', s}, {s, '+', s}, {s, '+', '+'}};
        const int64_t n = node->fail;
        if (n < 2)
            continue;
        if (lt) {
            const int nblocks = (q->zsurvival || q->zlsur || q->zllsur ? 1 : 0) +
                                (q->zhazard ? 1 : 0) + (q->zpdf ? 1 : 0);
            if (n > q->ninter || !readBack(q, node, k, buffer, static_cast<long>(8 * n * nblocks)))
                continue;
            drawLifeTable(q, f, buffer, second, n, other);
        } else {
            if (n > capacity || !readBack(q, node, k, buffer, static_cast<long>(16 * n)))
                continue;
            drawProductLimit(q, f, buffer, n, pl, other, node->censmax);
        }
    }
}

void print(KorvPtr q, PGRAFSTR* frame, const char* name, int label, int title)
{
    if (!frame)
        return;
    wobcall(q->vdq, WOB_SEL_PAGE);
    WOB_PARM_BLK_STR pb[] = {wob_key(WOB_TAG_NAME, vdqtxt(name, -1)),
                             wob_key(WOB_TAG_LABEL, vdqmsg(0, label))};
    wobcall(q->vdq, WOB_SEL_BEGIN_PLOT, pb);
    xpmout(326, title);
    zpgrafe(frame);
    wobcall(q->vdq, WOB_SEL_END_PLOT);
}

} // namespace

int bound1(double lower, double upper, double value)
{
    if (wzmis(value))
        return 1;
    return value >= lower - kGuard && value <= upper + kGuard ? 0 : 1;
}

int bound2(double lower, double upper, double value)
{
    if (wzmis(value))
        return 1;
    return value > lower && value < upper ? 0 : 1;
}

double clog(double value)
{
    return !wzmis(value) && value > 0 ? std::log(value) : korv_missing();
}

double cneglog(double value)
{
    return !wzmis(value) && value > 0 ? -std::log(value) : korv_missing();
}

void zpgrafl(PGRAFSTR* g, double x0, double y0, double x1, double y1, const char* plotchar)
{
    const PGRAF_VHSTR& v = g->pgrafd[0];
    const PGRAF_VHSTR& h = g->pgrafd[1];
    const int h0 = zpgrsub(x0, &h), h1 = zpgrsub(x1, &h);
    const int r0 = zpgrsub(y0, &v), r1 = zpgrsub(y1, &v);
    auto cell = [&](int c, int r) {
        return g->zerozero + c - static_cast<std::ptrdiff_t>(r) * h.totpos;
    };
    auto end = [](char* c, char ch) {
        if (*c == ' ')
            *c = ch;
        else if (*c != ch)
            *c = '*';
    };
    end(cell(h0, r0), plotchar[0]);
    end(cell(h1, r1), plotchar[2]);
    const int n = std::max(std::abs(h0 - h1), std::abs(r0 - r1));
    if (n <= 1)
        return;
    const double dh = static_cast<double>(h1 - h0) / n;
    const double dr = static_cast<double>(r1 - r0) / n;
    double fh = h0 + 0.5, fr = r0 + 0.5;
    for (int k = 1; k < n; ++k) {
        fh += dh;
        fr += dr;
        char* c = cell(static_cast<int>(std::floor(fh)), static_cast<int>(std::floor(fr)));
        if (*c == ' ')
            *c = plotchar[1];
    }
}

void korvfp(KorvPtr q)
{
    if (!q->grafindx)
        q->grafindx = xmpoolc(0, 1024, 0x1002);
    const Frames f{static_cast<PGRAFSTR*>(q->grafs), static_cast<PGRAFSTR*>(q->grafl),
                   static_cast<PGRAFSTR*>(q->grafll), static_cast<PGRAFSTR*>(q->grafh),
                   static_cast<PGRAFSTR*>(q->grafp)};
    if ((f.s || f.l || f.ll || f.h || f.p) && q->grafindx && q->utid1)
        drawCurves(q, f);

    xobop group = nullptr;
    if (q->zplot) {
        WOB_PARM_BLK_STR pb[] = {wob_key(WOB_TAG_NAME, vdqtxt("Plots", 5)),
                                 wob_flag(WOB_TAG_FLAG435, 1), wob_object(WOB_TAG_OUT, nullptr)};
        wobcall(q->vdq, WOB_SEL_MAKE_GROUP, pb);
        group = pb[2].value.o;
    }
    const bool lt = q->method == 1;
    if (q->zsurvival)
        print(q, f.s, korv_lp_name(LpPlot::Survival), msg0::LP_SURVIVAL, msg326::LP_SDF_TITLE);
    if (!lt && q->zcensplot && q->ncensored > 0)
        print(q, static_cast<PGRAFSTR*>(q->grafc), korv_lp_name(LpPlot::Censored),
              msg0::LP_CENSORED, msg326::LP_CENSORED_TITLE);
    if (q->zlsur)
        print(q, f.l, korv_lp_name(LpPlot::LogSurvival), msg0::LP_LOGSURV, msg326::LP_LOGSDF_TITLE);
    if (q->zllsur)
        print(q, f.ll, korv_lp_name(LpPlot::LogLogSurvival), msg0::LP_LOGLOGS,
              msg326::LP_LOGLOG_TITLE);
    if (q->zhazard && lt)
        print(q, f.h, korv_lp_name(LpPlot::Hazard), msg0::LP_HAZARD, msg326::LP_HAZARD_TITLE);
    if (q->zpdf && lt)
        print(q, f.p, korv_lp_name(LpPlot::Density), msg0::LP_DENSITY, msg326::LP_PDF_TITLE);
    if (group)
        wobzoom(group, 3, 4, 0, nullptr);
    WOB_PARM_BLK_STR rtf = wob_string(0, "RTF", 3);
    wobcall(q->vdq, WOB_SEL_DESTINATION, rtf);
    wobcall(q->vdq, WOB_SEL_PAGE);
    wobcall(q->vdq, WOB_SEL_DESTINATION);
    // The frames live in the group's frame pool, which the caller deletes
    // next: nothing may reach them after this.
    q->grafs = q->grafl = q->grafll = q->grafh = q->grafp = q->grafc = nullptr;
}

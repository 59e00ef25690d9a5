// One device plot: the points of each stratum's curve read back from the
// plot-point file, transformed for the plot kind, guarded against missing and
// out-of-range values, cut at the end of the time axis or extended to it,
// then the plot set up and drawn.
//
// Product-limit record: (survival, time) pairs, the first STRATA.fail of them
// the curve from (1, 0), then STRATA.uniqcen censoring pairs. Life-table
// record: a row of STRATA.fail values per kind written (survival, hazard,
// density); the interval midpoints lie after the largest rows in the buffer.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <strings.h>

#include "common/strata.h"
#include "devplot/zggraf.h"
#include "lpplot/lpplot.h"
#include "runtime/wzstr.h"
#include "vyr_message_names.h"
#include "vyr_missing.h"

namespace
{

constexpr double kGuard = 1e-10;

bool inRange(double lo, double hi, double v)
{
    return !wzmis(v) && lo - v <= kGuard && v - hi <= kGuard;
}

const char* kindName(int plotnum)
{
    static const char* const names[] = {"SURVIVAL", "LOGSURV", "LOGLOGS", "HAZARD", "PDF"};
    return plotnum >= 1 && plotnum <= 5 ? names[plotnum - 1] : "";
}

} // namespace

double cloglog(double value)
{
    static const double low = std::nextafter(DBL_MIN, 1.0);
    if (wzmis(value) || !(value > low) || !(value < 1))
        return korv_missing();
    return std::log(-std::log(value));
}

bool korv_dev_readback(KorvPtr q, XCFILE* file, double position, void* buffer, long bytes,
                       int message, int ordinal)
{
    if (position == 0) {
        if (bytes > 0)
            xpmlog(326, message, ordinal);
        return bytes <= 0;
    }
    int rc = xcpntd(file, position);
    if (rc == 0)
        rc = xcread(file, buffer, bytes);
    if (rc != 0) {
        xprrlog(0, rc);
        if (rc < 0)
            xexit(1020, 0);
        // A partial read never stands for the stratum's points.
        xpmlog(326, message, ordinal);
        q->rc = std::max(q->rc, 4);
        return false;
    }
    return true;
}

// The life table's curves of one plot kind: survival kinds at the
// intervals' starts, hazard and density at their midpoints. Returns the
// most points a curve keeps.
static long lifeTableCurves(KorvPtr q, int plotnum, GRAFSTR* g, double* data, double** hval,
                            double** vval)
{
    const double hmax = g->haxis->scale->xmax, hmin = g->haxis->scale->xmin;
    const double vmin = g->vaxis->scale->xmin, vmax = g->vaxis->scale->xmax;
    long most = 0;
    int pair = 0, k = 0;
    const int s = (q->zsurvival || q->zlsur || q->zllsur) ? 1 : 0;
    const int h = q->zhazard ? 1 : 0, p = q->zpdf ? 1 : 0;
    const int rows = s + h + p;
    const double* mid = data + static_cast<int64_t>(rows) * q->ninter;
    for (STRATA* node = q->strata; node; node = node->left, ++k) {
        PAIRSTR& c = g->ppair[pair++];
        c.hvar.nvalue = c.vvar.nvalue = 0;
        const long n = static_cast<long>(std::min<int64_t>(node->fail, q->ninter));
        if (n <= 0 ||
            !korv_dev_readback(q, q->utid1, node->plotnote, data, static_cast<long>(8 * rows * n),
                               msg326::DEV_CURVE_UNREAD, k + 1))
            continue;
        const double* row = nullptr;
        if (plotnum <= 3)
            row = data;
        else if (plotnum == 4)
            row = data + static_cast<int64_t>(s) * n;
        else
            row = data + static_cast<int64_t>(s + h) * n;
        long kept = 0;
        for (long i = 0; i < n; ++i) {
            double x, y;
            switch (plotnum) {
            case 1:
                y = row[i];
                x = q->interval[i];
                break;
            case 2:
                y = cneglog(row[i]);
                x = q->interval[i];
                break;
            case 3:
                y = cloglog(row[i]);
                x = clog(q->interval[i]);
                break;
            default:
                y = row[i];
                x = i + 1 < q->ninter ? mid[i] : korv_missing();
                break;
            }
            if (!inRange(vmin, vmax, y))
                continue;
            if (plotnum == 3 && !inRange(hmin, hmax, x))
                continue;
            if (wzmis(x))
                continue;
            hval[k][kept] = x;
            vval[k][kept] = y;
            ++kept;
            if (plotnum != 3 && x > hmax)
                break;
        }
        c.hvar.nvalue = c.vvar.nvalue = kept;
        c.symbinf.itype = 'J';
        most = std::max(most, kept);
    }
    return most;
}

int korvgp2(KorvPtr q, int plotnum, GRAFSTR* g, double* data, double** hval, double** vval)
{
    const double hmax = g->haxis->scale->xmax, hmin = g->haxis->scale->xmin;
    const double vmin = g->vaxis->scale->xmin, vmax = g->vaxis->scale->xmax;
    const bool censNone = strncasecmp(q->CenSymbol, "NONE", 4) == 0;
    const bool byOrdinal = q->CenColor[0] == '1';
    long most = 0;
    int pair = 0;
    int k = 0;
    int marks = 0;
    if (q->method == 1) {
        most = lifeTableCurves(q, plotnum, g, data, hval, vval);
    } else {
        for (STRATA* node = q->strata; node; node = node->left, ++k) {
            PAIRSTR& c = g->ppair[pair++];
            PAIRSTR* m = nullptr;
            double* mh = nullptr;
            double* mv = nullptr;
            if (plotnum == 1 && !censNone && node->cen != 0) {
                m = &g->ppair[pair++];
                m->hvar.nvalue = m->vvar.nvalue = 0;
                mh = hval[q->nstrata + marks];
                mv = vval[q->nstrata + marks];
                ++marks;
            }
            c.hvar.nvalue = c.vvar.nvalue = 0;
            const long n = static_cast<long>(node->fail);
            const long recs = n + (m ? static_cast<long>(node->uniqcen) : 0);
            if (n <= 0 || recs > q->maxnobs + 1 ||
                !korv_dev_readback(q, q->utid1, node->plotnote, data,
                                   static_cast<long>(16 * (node->nobs + 1)),
                                   msg326::DEV_CURVE_UNREAD, k + 1))
                continue;
            auto S = [&](long i) { return data[2 * i]; };
            auto T = [&](long i) { return data[2 * i + 1]; };
            long kept = 0;
            if (plotnum == 1) {
                hval[k][0] = T(0);
                vval[k][0] = S(0);
                kept = 1;
                bool cut = false;
                for (long i = 1; i < n; ++i) {
                    if (T(i) > q->pgtmax) {
                        cut = true;
                        break;
                    }
                    if (inRange(0, 1, S(i))) {
                        hval[k][kept] = T(i);
                        vval[k][kept] = S(i);
                        ++kept;
                    }
                }
                // The curve runs on to the end of the time axis, or to the
                // last censored time within it.
                const double last = vval[k][kept - 1];
                double to = korv_missing();
                if (cut)
                    to = q->pgtmax;
                else if (node->cen > 0 && node->censmax > T(n - 1))
                    to = std::min(node->censmax, q->pgtmax);
                if (!wzmis(to) && to > hval[k][kept - 1]) {
                    hval[k][kept] = to;
                    vval[k][kept] = last;
                    ++kept;
                    c.symbinf.iflag |= 4;
                }
                c.symbinf.iflag |= 2;
                if (byOrdinal)
                    c.symbinf.symno = k + 1;
                if (m) {
                    long km = 0;
                    for (long i = n; i < recs; ++i) {
                        if (T(i) > q->pgtmax)
                            break;
                        if (inRange(0, 1, S(i))) {
                            mh[km] = T(i);
                            mv[km] = S(i);
                            ++km;
                        }
                    }
                    m->hvar.nvalue = m->vvar.nvalue = km;
                    if (byOrdinal)
                        m->symbinf.symno = k + 1;
                    else
                        vzmp(q->CenColor, 8, m->symbinf.cv, 8);
                }
            } else if (plotnum == 2) {
                for (long i = 0; i < n; ++i) {
                    const double y = cneglog(S(i));
                    if (!inRange(0, vmax, y))
                        continue;
                    hval[k][kept] = T(i);
                    vval[k][kept] = y;
                    ++kept;
                    if (T(i) > q->pgtmax)
                        break;
                }
                c.symbinf.itype = 'J';
            } else if (plotnum == 3) {
                for (long i = 0; i < n; ++i) {
                    const double y = cloglog(S(i));
                    if (!inRange(vmin, vmax, y))
                        continue;
                    const double x = clog(T(i));
                    if (!inRange(hmin, hmax, x))
                        continue;
                    hval[k][kept] = x;
                    vval[k][kept] = y;
                    ++kept;
                }
                c.symbinf.itype = 'J';
            }
            c.hvar.nvalue = c.vvar.nvalue = kept;
            most = std::max(most, kept);
        }
    }
    if (most == 0) {
        xpmlog(326, msg326::DEV_NO_POINTS, kindName(plotnum));
        return 0;
    }
    if (g->leginf && g->leginf->lab) {
        char buf[256];
        const int len = xpmstr(buf, 256, 326,
                               q->nsvar != 0 ? msg326::DEV_LEGEND_STRATA : msg326::DEV_LEGEND_PLOT);
        vzmp(buf, std::clamp(len, 0, 256), g->leginf->lab->label, 256);
        g->leginf->lab->lablen = static_cast<short>(std::clamp(len, 0, 256));
    }
    if (zggrset(&g) != 0)
        return 2;
    if (zggrplt(&g) != 0)
        return 3;
    return 0;
}

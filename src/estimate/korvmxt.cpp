// At-risk tick times of the survival graphs: the ATRISK= list, or nice axis
// ticks from 0 to the largest time (at most seven), and the tick-value text
// that the graphs take as their time axis's ticks (ATRISKTICK), the at-risk
// times alone or merged with the nice ticks.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/strata.h"
#include "estimate/graphreq.h"
#include "runtime/pgraf.h"
#include "runtime/xccheck.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace
{

// The tick-count callback of the at-risk axis: seven at most.
int maxticks(void*, short, long, const double*, int)
{
    return 7;
}

// Nice ticks for [0, h] as the at-risk table wants them.
int atRiskAxis(double h, double* start, double* inc, int* n, short* width)
{
    long d = 0;
    short w = 0;
    const int rc = znaxis(0, h, 'h', 1, maxticks, nullptr, 0.2, 0.8, start, inc, n, &d, &w);
    if (width)
        *width = w;
    return rc;
}

// The shortest text of a number, as "%g" writes it.
std::string g(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// The text into the tick-label buffer, which is taken from the task's pool
// at exactly its measured length.
void setTickLabel(KorvPtr q, const std::string& text)
{
    korv_release_ticklabel(q);
    ATRISKTIME* art = q->art;
    if (text.empty())
        return;
    art->ticklabel =
        static_cast<char*>(xmalloc_or_exit(xtaskpool(), static_cast<int64_t>(text.size()), 0x3004));
    std::memcpy(art->ticklabel, text.data(), text.size());
    art->ticklablen = static_cast<int>(text.size());
}

bool given(double maxtime)
{
    return maxtime < DBL_MAX;
}

// The largest time of the BY group, censored records included; whether it
// has any record at all.
double groupMaxTime(KorvPtr q, bool& any)
{
    double h = 0;
    any = false;
    for (STRATA* s = q->strata; s && s->nobs > 0; s = s->left) {
        any = true;
        h = std::max(h, NodeMaxTime(q, s));
    }
    return h;
}

// ATRISK= times past the data's largest time: no one is at risk there, and
// a graph that reaches them has no curve to show. The log names them.
void notePastData(KorvPtr q, double h0)
{
    const ATRISKTIME* art = q->art;
    std::string past;
    int n = 0;
    char buf[40];
    for (int i = 0; i < art->n; ++i)
        if (art->t[i] > h0) {
            std::snprintf(buf, sizeof buf, "%s%.15g", n++ ? " " : "", art->t[i]);
            past += buf;
        }
    if (n == 0)
        return;
    std::snprintf(buf, sizeof buf, "%.15g", h0);
    xpmlog(326, n == 1 ? msg326::ATRISK_PAST_DATA : msg326::ATRISK_PAST_DATA_SEVERAL, past.c_str(),
           buf);
}

} // namespace

void korv_release_ticklabel(KorvPtr q)
{
    ATRISKTIME* art = q->art;
    if (!art || !art->ticklabel)
        return;
    POOLHANDLE* pool = xtaskpool();
    pool->free(pool, art->ticklabel, art->ticklablen, 0);
    art->ticklabel = nullptr;
    art->ticklablen = 0;
}

double NodeMaxTime(KorvPtr q, STRATA* node)
{
    double h = 0;
    if (!node || node->nobs < 1 || !q->times)
        return h;
    int64_t k = 0;
    for (NOTESTR* e = node->note; e && k < node->nobs; e = e->next, k += q->blockno) {
        check_file(xcpntd(q->utid, e->notet));
        check_file(xcread(q->utid, q->times + k, q->blockt));
    }
    for (int64_t i = 0; i < node->nobs; ++i)
        if (q->times[i] > h)
            h = q->times[i];
    return h;
}

int tickValOnly(KorvPtr q, double x)
{
    ATRISKTIME* art = q->art;
    std::string text;
    for (int i = 0; i < art->n && art->t[i] <= x; ++i)
        text += g(art->t[i]) + " ";
    setTickLabel(q, text);
    return 0;
}

int tickValAll(KorvPtr q, double x)
{
    ATRISKTIME* art = q->art;
    double s = 0, d = 0;
    int m = 0;
    short w = 0;
    const int rc = atRiskAxis(x, &s, &d, &m, &w);
    const double E = (m - 1) * d + s;
    // The nice ticks merged with the at-risk times (flag 1).
    std::vector<std::pair<double, int>> list;
    double t = 0;
    int width = w;
    for (int i = 0; i < art->n; ++i) {
        const double a = art->t[i];
        if (t == a) {
            t += d;
        } else {
            while (m > 0 && t < a && t <= E && d > 0) {
                list.push_back({t, 0});
                t += d;
            }
            if (t == a)
                t += d;
        }
        list.push_back({a, 1});
        width = std::max<int>(width, static_cast<int>(g(a).size()));
    }
    while (m > 0 && t <= E && d > 0) {
        list.push_back({t, 0});
        t += d;
    }
    // Nice ticks within 1% of an increment of a neighbour go; the first and
    // the last value always stay.
    std::vector<double> kept;
    for (size_t i = 0; i < list.size(); ++i) {
        const bool ends = i == 0 || i + 1 == list.size();
        const bool apart =
            (i == 0 || std::fabs(list[i].first - list[i - 1].first) > 0.01 * d) &&
            (i + 1 == list.size() || std::fabs(list[i].first - list[i + 1].first) > 0.01 * d);
        if (ends || list[i].second == 1 || apart)
            kept.push_back(list[i].first);
    }
    // Every value right-aligned in the widest's width; the width covers the
    // nice ticks too, so no value is cut.
    for (double v : kept)
        width = std::max<int>(width, static_cast<int>(g(v).size()));
    std::string text;
    char buf[96];
    for (double v : kept) {
        std::snprintf(buf, sizeof buf, "%*g ", width, v);
        text += buf;
    }
    setTickLabel(q, text);
    return rc;
}

void korvmxt(KorvPtr q)
{
    ATRISKTIME* art = q->art;
    if (!art)
        return;
    // The graphs whose tick text is made here, once per BY group: the
    // strata's curves drawn together, and the GROUP= graphs, which share
    // their settings across the BY group's strata (also one per stratum,
    // under STRATA=INDIVIDUAL).
    const bool together =
        (q->vdqgraph & (plot_bit::OVERLAY | plot_bit::PANEL)) != 0 || q->grpvar != nullptr;
    // Given times are checked against the data even where nothing else here
    // needs the largest time.
    if (!together && art->n != 0 && !art->zexplicit)
        return;
    bool any = false;
    const double h0 = groupMaxTime(q, any);
    if (art->zexplicit && any)
        notePastData(q, h0);
    if (!together && art->n != 0)
        return;
    if (art->n == 0) {
        const double h = q->zmaxtime ? q->maxtime : h0;
        double s = 0, d = 0;
        int m = 0;
        atRiskAxis(h, &s, &d, &m, nullptr);
        if (m > 0) {
            // The list covers [0, h] and may pass h by less than half an
            // increment; it never holds more than its allocation.
            const int room = m + 1;
            auto* t = static_cast<double*>(
                xmalloc_or_exit(q->polnode, static_cast<int64_t>(room) * sizeof(double), 0x2000));
            int n = 0;
            for (double tick = s; n < room; tick += d) {
                if (tick <= h) {
                    t[n++] = tick;
                    continue;
                }
                if (d > 2 * (tick - h))
                    t[n++] = tick;
                break;
            }
            art->t = t;
            art->n = n;
        }
    }
    if (together && art->zticklabel) {
        if (art->zatrisktickonly) {
            double x = q->maxtime;
            if (!given(x))
                x = art->n > 0 ? std::max(h0, art->t[art->n - 1]) : h0;
            tickValOnly(q, x);
        } else {
            tickValAll(q, given(q->maxtime) ? q->maxtime : h0);
        }
    }
}

void korvick(KorvPtr q, STRATA* node)
{
    ATRISKTIME* art = q->art;
    if (!art)
        return;
    const double hs = NodeMaxTime(q, node);
    if (art->zatrisktickonly) {
        double x = q->maxtime;
        if (!given(x))
            x = art->n > 0 ? std::max(art->t[art->n - 1], hs) : hs;
        tickValOnly(q, x);
    } else {
        tickValAll(q, given(q->maxtime) ? q->maxtime : hs);
    }
}

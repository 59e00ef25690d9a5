// The device plots of a BY group, drawn through the device-graphics library
// into the graphics catalogue: the plot of censored observations by stratum
// (product-limit family), then the survival, -log survival, log(-log
// survival), hazard and density plots asked for (the last two from the life
// table). One plot description serves every plot and BY group of the step;
// it is left in the request so that the end of the step can end it.
//
// Every exit goes through one place, which keeps the description, deletes
// the call's pool, prints the strata key when the legends used numbers, and
// closes the output group "GraphicsGroup".
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <strings.h>
#include <vector>

#include "common/options.h"
#include "common/strata.h"
#include "devplot/zggraf.h"
#include "runtime/procstr.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"
#include "vyr_message_names.h"
#include "vyr_missing.h"

const bool korv_built_devplot = true;

namespace
{

constexpr int kLabel = 256;

// An integer left-justified in a blank field of w characters.
void xpis(long n, int w, char* out)
{
    std::memset(out, ' ', static_cast<size_t>(w));
    char buf[32];
    const int len = std::snprintf(buf, sizeof buf, "%ld", n);
    std::memcpy(out, buf, static_cast<size_t>(std::min(len, w)));
}

struct Kind {
    const char* name;
    int label;  // 326/n
    int output; // 0/n
};
constexpr Kind kKinds[6] = {
    {"Strata", 0, 178},   {"SDF", 93, 173},    {"logSurv", 95, 174},
    {"loglogS", 97, 175}, {"Hazard", 99, 176}, {"PDF", 101, 177},
};

struct Driver {
    KorvPtr q = nullptr;
    HRPLOTSTR* hr = nullptr;
    GRAFSTR* g = nullptr;
    POOLHANDLE* pool = nullptr;
    xobop group = nullptr;
    const char* byptr = nullptr;
    int bylen = 0;
    bool censNone = false;
    bool labelsFit = true;
    bool keyNeeded = false;
    NAMESTR timeNm{};
    NAMESTR* logNm = nullptr;
    NAMESTR vertNm{};
    NAMESTR strataNm{};
    char vertLabel[kLabel] = {};
    std::vector<std::string> labels; // per stratum, in list order
    double** hval = nullptr;
    double** vval = nullptr;
    double* buffer = nullptr;

    // Keeps the description, prints the key, frees the pool, ends the group.
    int finish(int code)
    {
        if (g)
            hr->ggrafs = g;
        if (keyNeeded)
            printKey();
        if (pool) {
            xmpoold(pool);
            pool = nullptr;
        }
        if (group) {
            const int rc = wobzoom(group, 3, 4, 0, nullptr);
            if (rc < 0)
                zvdqexit(rc);
            group = nullptr;
        }
        return code;
    }

    void* alloc(int64_t bytes)
    {
        return xmalloc_or_exit(pool, std::max<int64_t>(bytes, 8), 0x2002);
    }

    // The stratum's piece of a label: "NAME=value", or "NAMEvalue" for a
    // cut-point value that starts "<" or "=" in its second character.
    std::string piece(const STRATA* node, int v) const
    {
        const SNAMESTR& sn = q->sname[v];
        std::string name = sn.name ? std::string(sn.name->s, static_cast<size_t>(sn.name->l)) : "";
        std::string val(node->value + sn.posf, static_cast<size_t>(std::max(0, sn.lngf)));
        int len = 0, start = 0;
        wzstjls(val.data(), static_cast<int>(val.size()), 'l', &len, &start);
        val.resize(static_cast<size_t>(len));
        const bool cut = sn.cutnum != 0 && val.size() > 1 && (val[1] == '<' || val[1] == '=');
        return cut ? name + val : name + "=" + val;
    }

    void makeLabels()
    {
        const bool marks = q->method != 1 && q->zsurvival && !censNone;
        const int extra = marks ? 9 : 0; // "Censored " before a mark curve's label
        int k = 0;
        for (STRATA* node = q->strata; node; node = node->left, ++k) {
            std::string l;
            int need = -1;
            for (int v = 0; v < q->nsvar; ++v) {
                const std::string p = piece(node, v);
                need += static_cast<int>(p.size()) + 1;
                if (!l.empty())
                    l += ' ';
                l += p;
            }
            if (q->nsvar > 0 && need + extra > kLabel)
                labelsFit = false;
            labels.push_back(l);
        }
        if (!labelsFit) {
            k = 0;
            for (std::string& l : labels) {
                char buf[12];
                std::memcpy(buf, "Strata ", 7);
                xpis(++k, 5, buf + 7);
                l.assign(buf, static_cast<size_t>(wzstrip(buf, 12)));
            }
        }
    }

    void setLabel(ZGLBSTR& lid, const std::string& text)
    {
        const int len = std::min<int>(static_cast<int>(text.size()), kLabel);
        vzmp(text.data(), len, lid.label, kLabel);
        lid.lablen = static_cast<short>(len);
    }

    void messageLabel(ZGLBSTR& lid, int number)
    {
        char buf[kLabel];
        const int len = std::clamp(xpmstr(buf, kLabel, 326, number), 0, kLabel);
        vzmp(buf, len, lid.label, kLabel);
        lid.lablen = static_cast<short>(len);
    }

    void curveLabel(ZGLBSTR& lid, int k, bool marks)
    {
        if (q->nsvar == 0) {
            messageLabel(lid, marks ? msg326::DEV_CURVE_CENSORED : msg326::DEV_CURVE_ALL);
            return;
        }
        const std::string& l = labels[static_cast<size_t>(k)];
        setLabel(lid, marks ? "Censored " + l : l);
    }

    void printKey()
    {
        keyNeeded = false;
        xpmlog(326, msg326::DEV_LABELS_TOO_LONG);
        int k = 0;
        for (STRATA* node = q->strata; node; node = node->left) {
            std::string line = "      Strata " + std::to_string(++k) + ":";
            for (int v = 0; v < q->nsvar; ++v)
                line += " " + piece(node, v);
            xpslog("%s", line.c_str());
        }
    }

    void describe(int entry, int output)
    {
        g->ganfid = hr->annofid;
        g->lanfid = hr->lannofid;
        g->dfid = q->filein;
        g->bylen = bylen;
        g->byptr = byptr;
        const varstring& e = q->EntryNam[entry];
        if (e.l > 0 && e.s) {
            const int len = static_cast<int>(std::min<int64_t>(e.l, kLabel));
            vzmp(e.s, len, g->longname.label, kLabel);
            g->longname.lablen = static_cast<short>(len);
        } else {
            vzmp("KORVANTE", 8, g->longname.label, kLabel);
            g->longname.lablen = 8;
        }
        vzmp(g->longname.label, g->longname.lablen, g->name, 8);
        vzmp(hr->desc.s, static_cast<int>(hr->desc.s ? std::min<int64_t>(hr->desc.l, 256) : 0),
             g->desc, 256);
        g->glabel = vdqmsg(0, output);
        q->glabel = g->glabel;
    }

    void catalogue()
    {
        std::memcpy(g->libname, hr->libname, 8);
        g->memname.len = static_cast<short>(std::clamp(hr->memnamelen, 0, 32));
        std::memset(g->memname.name, ' ', 32);
        std::memcpy(g->memname.name, hr->memname, static_cast<size_t>(g->memname.len));
    }

    void descriptors()
    {
        xvnamei(&timeNm);
        timeNm.ntype = 1;
        timeNm.name_p = q->timename.s;
        timeNm.namelen = static_cast<short>(q->timename.l);
        timeNm.label_p = q->timelabel.s;
        timeNm.nlablen = static_cast<short>(q->timelabel.l);
        if (q->zllsur) {
            logNm = static_cast<NAMESTR*>(alloc(sizeof(NAMESTR)));
            xvnamei(logNm);
            logNm->ntype = 1;
            // "LOG <time name>", cut to the longest name the host allows.
            const int most = std::min<int>(32, std::max(1, zvnamlen()));
            const std::string name =
                "LOG " + std::string(q->timename.s ? q->timename.s : "",
                                     static_cast<size_t>(std::max<int64_t>(0, q->timename.l)));
            const int len = std::min<int>(most, static_cast<int>(name.size()));
            std::memset(q->varname, ' ', sizeof q->varname);
            std::memcpy(q->varname, name.data(), static_cast<size_t>(len));
            logNm->name_p = q->varname;
            logNm->namelen = static_cast<short>(len);
            const bool hasLabel = q->timelabel.l > 0 && q->timelabel.s;
            int n = xpmstr(q->label, kLabel, 326, msg326::DEV_LOG_TIME_LABEL,
                           static_cast<int>(hasLabel ? q->timelabel.l : q->timename.l),
                           hasLabel ? q->timelabel.s : q->timename.s);
            if (hasLabel && n >= kLabel)
                n = xpmstr(q->label, kLabel, 326, msg326::DEV_LOG_TIME_LABEL,
                           static_cast<int>(q->timename.l), q->timename.s);
            logNm->label_p = q->label;
            logNm->nlablen = static_cast<short>(std::clamp(n, 0, kLabel));
        }
        xvnamei(&strataNm);
        strataNm.ntype = 2;
        strataNm.nlng = 32;
        strataNm.name_p = "Strata";
        strataNm.namelen = 6;
    }

    void vertical(int code)
    {
        xvnamei(&vertNm);
        vertNm.ntype = 1;
        vertNm.name_p = kKinds[code].name;
        vertNm.namelen = static_cast<short>(std::strlen(kKinds[code].name));
        const char* text = nullptr;
        int len = 0;
        if (wkread(326, kKinds[code].label, &text, &len) == 0 && text) {
            len = std::clamp(len, 0, kLabel);
            std::memcpy(vertLabel, text, static_cast<size_t>(len));
            vertNm.label_p = vertLabel;
            vertNm.nlablen = static_cast<short>(len);
        }
    }

    // The axis ranges of a plot kind.
    void ranges(int code)
    {
        SINFSTR* h = g->haxis->scale;
        SINFSTR* v = g->vaxis->scale;
        const double t = q->pgtmax;
        switch (code) {
        case 1:
            h->xmin = 0;
            h->xmax = t;
            v->xmin = 0;
            v->xmax = 1;
            break;
        case 2:
            h->xmin = 0;
            h->xmax = t;
            v->xmin = 0;
            v->xmax = q->smin < 0.99 && q->smin > 0 ? -std::log(q->smin) : 0.011;
            break;
        case 3:
            if (q->tmin > 0 && q->tmin <= t) {
                h->xmin = std::log(q->tmin);
                h->xmax = t > 0 ? std::log(t) : 1;
            }
            if (q->smax > 0 && q->smax < 1)
                v->xmin = std::log(-std::log(q->smax));
            if (q->smin > 0 && q->smin < 1)
                v->xmax = std::log(-std::log(q->smin));
            break;
        case 4:
            h->xmin = 0;
            h->xmax = t;
            v->xmin = 0;
            v->xmax = q->hazmax;
            break;
        default:
            h->xmin = 0;
            h->xmax = t;
            v->xmin = 0;
            v->xmax = q->pdfmax;
            break;
        }
    }

    int censoredPlot();
    int plots();
};

int Driver::censoredPlot()
{
    int npairs = 0;
    for (STRATA* node = q->strata; node; node = node->left)
        if (node->uniqcen != 0)
            ++npairs;
    if (npairs == 0)
        return 0;
    const long options = 1 | (!hr->annofid && !hr->lannofid ? zgr::NOANNO : 0);
    if (zggrini(&g, q->cls, q->vdq, npairs, options) != 0)
        return 1;
    catalogue();
    char* clist = static_cast<char*>(alloc(32L * std::max(q->nstrata, 1)));
    std::memset(clist, ' ', static_cast<size_t>(32L * std::max(q->nstrata, 1)));
    for (int i = 1; i <= q->nstrata; ++i)
        xpis(i, 32, clist + 32 * (i - 1));
    for (g->dest_out = 0; g->dest_info && g->dest_out < g->dest_info->count; ++g->dest_out) {
        const long r = zggrrin(&g);
        if (r == zgr::SKIP)
            continue;
        if (r != 0)
            return 1;
        describe(0, kKinds[0].output);
        g->haxis->scale->xmin = 0;
        g->haxis->scale->xmax = q->pgtmax;
        // The censored times of this destination live in a pool of their own,
        // deleted once it is drawn.
        POOLHANDLE* times = xmpoolc(0, 1024, 0x1002);
        if (!times)
            return 1;
        int c = 0, k = 0;
        bool any = false;
        std::vector<int> ordinal;
        for (STRATA* node = q->strata; node; node = node->left, ++k) {
            if (node->uniqcen == 0)
                continue;
            PAIRSTR& p = g->ppair[c++];
            ordinal.push_back(k + 1);
            auto* t = static_cast<double*>(
                xmalloc_or_exit(times, 8 * std::max<int64_t>(node->uniqcen, 1), 0x2002));
            long n = 0;
            if (korv_dev_readback(q, hr->utid, node->cplotpos, t,
                                  static_cast<long>(8 * node->uniqcen), msg326::DEV_CENSORED_UNREAD,
                                  k + 1)) {
                for (int64_t i = 0; i < node->uniqcen; ++i)
                    if (!wzmis(t[i]) && t[i] <= q->pgtmax)
                        t[n++] = t[i];
            }
            any = any || n > 0;
            p.hvar.vname = &timeNm;
            p.hvar.vlist = t;
            p.hvar.nvalue = n;
            p.hvar.malloc = 1;
            p.vvar.vname = &strataNm;
            p.vvar.nvalue = n;
            p.vvar.malloc = 0;
            std::memset(p.symbinf.value, ' ', 8);
            p.symbinf.itype = ' ';
            curveLabel(p.lid, k, false);
            if (!labelsFit)
                keyNeeded = true;
        }
        if (!any) {
            xmpoold(times);
            if (q->zmaxtime)
                xpmlog(326, msg326::DEV_NO_CENSORED_MAXTIME, q->maxtime);
            else
                xpmlog(326, msg326::DEV_NO_CENSORED_TIME);
            continue;
        }
        if (g->leginf && g->leginf->lab)
            messageLabel(*g->leginf->lab, msg326::DEV_LEGEND_STRATA);
        g->gunit = 1;
        g->vaxis->offset1 = g->vaxis->offset2 = 50.0 / (q->nstrata + 1);
        VLSTSTR* v = g->vaxis->value;
        v->clist = clist;
        v->nval = q->nstrata;
        v->vtype = 2;
        v->malloc = 1;
        if (zggrset(&g) != 0) {
            xmpoold(times);
            return 2;
        }
        for (int i = 0; i < c; ++i) {
            PAIRSTR& p = g->ppair[i];
            char* slots = static_cast<char*>(p.vvar.vlist);
            for (long j = 0; slots && j < p.vvar.nvalue; ++j)
                xpis(ordinal[static_cast<size_t>(i)], 16, slots + 32 * j);
        }
        const long drawn = zggrplt(&g);
        xmpoold(times);
        if (drawn != 0)
            return 3;
    }
    if (zggrags(&g) != 0)
        return 2;
    return 0;
}

int Driver::plots()
{
    const bool lt = q->method == 1;
    const int slots[5] = {q->zsurvival ? 1 : 0, q->zlsur ? 2 : 0, q->zllsur ? 3 : 0,
                          lt && q->zhazard ? 4 : 0, lt && q->zpdf ? 5 : 0};
    int withMarks = 0;
    for (STRATA* node = q->strata; node; node = node->left)
        if (node->cen != 0)
            ++withMarks;
    for (int code : slots) {
        if (code == 0)
            continue;
        const bool marks = !lt && code == 1 && !censNone;
        const int npairs = q->nstrata + (marks ? withMarks : 0);
        const long options = 1 | (!hr->annofid && !hr->lannofid ? zgr::NOANNO : 0);
        if (zggrini(&g, q->cls, q->vdq, npairs, options) != 0)
            return 1;
        if (!g->dest_info || g->dest_info->count == 0) {
            xpmlog(326, msg326::DEV_NO_DESTINATION);
            return 0;
        }
        catalogue();
        for (g->dest_out = 0; g->dest_out < g->dest_info->count; ++g->dest_out) {
            const long r = zggrrin(&g);
            if (r == zgr::SKIP)
                continue;
            if (r != 0)
                return 1;
            describe(code, kKinds[code].output);
            vertical(code);
            NAMESTR* hname = code == 3 ? logNm : &timeNm;
            int pair = 0, k = 0, mark = 0;
            for (STRATA* node = q->strata; node; node = node->left, ++k) {
                PAIRSTR& p = g->ppair[pair++];
                p.hvar.vname = hname;
                p.vvar.vname = &vertNm;
                p.hvar.malloc = p.vvar.malloc = 1;
                p.hvar.vlist = hval[k];
                p.vvar.vlist = vval[k];
                curveLabel(p.lid, k, false);
                if (!lt && code == 1) {
                    p.symbinf.itype = 'T';
                    p.symbinf.dplace = 'L';
                    std::memcpy(p.symbinf.value, q->EvtSymbol, 8);
                } else {
                    p.symbinf.itype = 'J';
                    std::memset(p.symbinf.value, ' ', 8);
                }
                if (marks && node->cen != 0) {
                    PAIRSTR& m = g->ppair[pair++];
                    m.hvar.vname = &timeNm;
                    m.vvar.vname = &vertNm;
                    m.hvar.malloc = m.vvar.malloc = 1;
                    m.hvar.vlist = hval[q->nstrata + mark];
                    m.vvar.vlist = vval[q->nstrata + mark];
                    ++mark;
                    m.symbinf.itype = ' ';
                    std::memcpy(m.symbinf.value, q->CenSymbol, 8);
                    curveLabel(m.lid, k, true);
                }
            }
            if (!labelsFit && q->nsvar > 0)
                keyNeeded = true;
            ranges(code);
            if (const int r2 = korvgp2(q, code, g, buffer, hval, vval))
                return r2;
        }
        if (zggrags(&g) != 0)
            return 2;
    }
    return 0;
}

} // namespace

int korvgp1(KorvPtr q)
{
    HRPLOTSTR* hr = q->graphics;
    if (!hr || q->nstrata < 1)
        return 0;
    Driver d;
    d.q = q;
    d.hr = hr;
    d.g = hr->ggrafs;
    // The output group, the BY line, the pool, descriptors and arrays.
    if (q->vdq) {
        WOB_PARM_BLK_STR pb[] = {wob_key(WOB_TAG_NAME, vdqtxt("GraphicsGroup", 13)),
                                 wob_key(WOB_TAG_LABEL, vdqmsg(0, msg0::DEV_GROUP)),
                                 wob_object(WOB_TAG_OUT, nullptr)};
        wobcall(q->vdq, WOB_SEL_MAKE_GROUP, pb);
        d.group = pb[2].value.o;
    }
    d.censNone = strncasecmp(q->CenSymbol, "NONE", 4) == 0;
    d.bylen = xbyline(static_cast<DSHANDLE*>(q->filein), &d.byptr);
    d.pool = xmpoolc(0, 1024, 0x1002);
    if (!d.pool)
        return d.finish(1);
    d.descriptors();
    const bool lt = q->method == 1;
    const int n = q->nstrata;
    d.hval = static_cast<double**>(d.alloc(2 * n * static_cast<int64_t>(sizeof(double*))));
    d.vval = static_cast<double**>(d.alloc(2 * n * static_cast<int64_t>(sizeof(double*))));
    int k = 0, marks = 0;
    for (STRATA* node = q->strata; node && k < n; node = node->left, ++k) {
        const int64_t m = lt ? std::max<int64_t>(node->fail, 1)
                             : std::max<int64_t>(node->fail + 1, node->uniqcen);
        d.hval[k] = static_cast<double*>(d.alloc(8 * m));
        d.vval[k] = static_cast<double*>(d.alloc(8 * m));
        if (!lt && q->zsurvival && !d.censNone && node->cen != 0) {
            auto* block = static_cast<double*>(d.alloc(16 * std::max<int64_t>(node->uniqcen, 1)));
            d.hval[n + marks] = block;
            d.vval[n + marks] = block + std::max<int64_t>(node->uniqcen, 1);
            ++marks;
        }
    }
    if (lt) {
        const int s = (q->zsurvival || q->zlsur || q->zllsur) ? 1 : 0;
        const int rows = s + (q->zhazard ? 1 : 0) + (q->zpdf ? 1 : 0);
        const bool mids = q->zhazard || q->zpdf;
        const int64_t ninter = std::max(q->ninter, 1);
        d.buffer = static_cast<double*>(d.alloc(8 * ninter * (rows + (mids ? 1 : 0))));
        if (mids) {
            double* mid = d.buffer + rows * ninter;
            // std::midpoint: the bounds' sum may pass the largest double.
            for (int64_t i = 0; i < ninter; ++i)
                mid[i] = i + 1 < q->ninter ? std::midpoint(q->interval[i], q->interval[i + 1])
                                           : korv_missing();
        }
    } else {
        d.buffer = static_cast<double*>(d.alloc(16 * (q->maxnobs + 1)));
    }
    d.makeLabels();
    // The plot of censored observations.
    if (!lt && q->ncensored != 0 && q->zcensplot) {
        if (const int r = d.censoredPlot())
            return d.finish(r);
    }
    // The plot kinds asked for.
    if (const int r = d.plots())
        return d.finish(r);
    // Every plot drawn: the strata key printed, the pool freed, the output
    // group closed.
    return d.finish(0);
}

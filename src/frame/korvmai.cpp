// Module entry, procedure entry and the BY-group driver.
#include <algorithm>
#include <cstring>
#include <vector>

#include "frame/frame.h"
#include "frame/messages.h"
#include "frame/parse.h"
#include "runtime/procstr.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_kernel.h"
#include "vyr_output.h"
#include "vyr_session.h"

#if __has_include("results/results.h")
#include "results/results.h"
#define KORV_HAVE_RESULTS 1
#endif

void* v_global_gcb_anchor = nullptr;
void* v_global_pidb_anchor = nullptr;

static int vyrkorva_entry()
{
    return vyrkorva();
}

static WIPGMCON pcn_VYRKORVA = {
    -65536, 1024, 1024, {'v', 'y', 'r', 'k', 'o', 'r', 'v', 'a'}, 0, vyrkorva_entry, 3, {0, 0, 0}};
static WIPGMCON* pgmcons[] = {&pcn_VYRKORVA, nullptr};
static VIMODCON vi_mcn = {
    "VYR_Image_Information=", 0xB0BDEBEDull, 8, "1.0", "1.0", __DATE__, pgmcons, "KORVANTE", "001"};

VIMODCON* mcn_main(void* gcbanchor, void* pidb)
{
    v_global_gcb_anchor = gcbanchor;
    v_global_pidb_anchor = pidb;
    himodcn();
    Exported_QXHandle = vyr_kernel_handle();
    return &vi_mcn;
}

void korv_register_procedure()
{
    mcn_main(nullptr, nullptr);
    vyr_register_procedure("KORVANTE", vyrkorva_entry);
}

namespace
{

// The common block of the running step. It outlives the procedure entry so
// that the end-of-task hook, which runs after the step has ended, still finds
// it through the host's anchor.
KORVCOM g_korvcom;

void check_point(int r)
{
    if (r != 0) {
        xprrlog(0, r);
        if (r < 0)
            xexit(1020, 0);
    }
}

void set_heading(KORVCOM* q, xobskey text)
{
    WOB_PARM_BLK_STR pb[] = {WOB_PARM_BLK_STR{}, wob_int(WOB_TAG_HEAD440, 3),
                             wob_int(WOB_TAG_148, -1), wob_char(WOB_TAG_JUST, 'c'),
                             wob_key(WOB_TAG_TEXT, text)};
    wobcall(q->vdq, WOB_SEL_HEADING, 5, pb);
}

void end_group(xobop group)
{
    int r = wobzoom(group, 3, 4, 0, nullptr);
    if (r < 0)
        zvdqexit(r);
}

// Deletes the BY group's pools; safe to call on any road.
void free_group_pools(KORVCOM* q)
{
    if (q->polwork) {
        xmpoold(q->polwork);
        q->polwork = nullptr;
    }
    if (q->polnode) {
        xmpoold(q->polnode);
        q->polnode = nullptr;
    }
    if (q->grafindx) {
        xmpoold(q->grafindx);
        q->grafindx = nullptr;
    }
    q->strata = nullptr;
    if (q->grpvar)
        q->grpvar->ghead = nullptr;
}

// The graph of the bandwidth grid of every stratum.
void bandwidth_graph(KORVCOM* q)
{
    std::vector<WOB_PARM_BLK_STR> dyn;
    if (q->nsvar == 1)
        dyn.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxt("groupName", 9))),
            dyn.push_back(wob_key(WOB_TAG_DYNVALUE, vdqtxt(q->sname[0].name->s,
                                                           static_cast<int>(q->sname[0].name->l))));
    dyn.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxt("NStrata", 7)));
    dyn.push_back(wob_int(WOB_TAG_DYNVALUE, q->nstrata));
    WOB_PARM_BLK_STR pb[] = {
        wob_key(WOB_TAG_NAME, vdqtxt("BandwidthGrid", 13)),
        wob_key(WOB_TAG_CONTENTS, vdqmsg(0, 260)),
        wob_key(WOB_TAG_LABEL, vdqmsg(0, 339)),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.BandwidthGrid", -1)),
        wob_keyarray(WOB_TAG_PATHS2, q->kmhaz->misepath, q->nstrata),
        wob_keyarray(WOB_TAG_PATHS, q->kmhaz->misepath, 1),
        wob_list(WOB_TAG_DYNLIST, dyn.data(), static_cast<int64_t>(dyn.size())),
    };
    wobcall(q->vdq, WOB_SEL_GRAPH_OUTPUT, 7, pb);
}

} // namespace

void surPath(KORVCOM* q)
{
    // 1. The data pass; a group without usable data ends here, its pools
    // deleted.
    if (korvdat(q) != 0) {
        free_group_pools(q);
        return;
    }
    // 2. The device-graphics file of censored times starts afresh.
    if (q->zplot && q->method != 1 && q->ncensored > 0 && q->graphics && q->graphics->utid)
        check_point(xcpoint(q->graphics->utid, -2));
    const int64_t paths = static_cast<int64_t>(std::max(q->nstrata, 1)) * sizeof(xobskey);
    // The analysis by GROUP= level within strata comes with the group
    // estimator, which this version lacks: report the data pass, then say
    // so, rather than print empty counts as a result.
    if (q->grpvar) {
        if (q->strmiss > 0)
            xpmlog(326, korv_dropped_message(q, q->strmiss), static_cast<long>(q->strmiss));
        free_group_pools(q);
        xpmlog(326, KORV_MSG_NO_GROUP_ROAD);
        q->rc = std::max(q->rc, 2000);
        xexit(q->rc, 0);
    }
    // 3. One output path per stratum for the graphs.
    if (q->vdqgraph != 0)
        q->ogpath = static_cast<xobskey*>(xmalloc_or_exit(q->polnode, paths, 0x2000));
    // 4. The same for the smoothed hazards.
    if (q->kmhaz) {
        q->ogpath2 = static_cast<xobskey*>(xmalloc_or_exit(q->polnode, paths, 0x2000));
        q->kmhaz->nstrata = 0;
        if (q->kmhaz->nbw > 1)
            q->kmhaz->misepath = static_cast<xobskey*>(xmalloc_or_exit(q->polnode, paths, 0x2000));
    }
    // 5. The strata.
    const bool groups = (q->zprint && !q->znotable) || q->vdqgraph != 0 || q->kmhaz;
    int k = 1;
    for (STRATA* s = q->strata; s && s->nobs > 0; s = s->left, ++k) {
        s->Stratum = k - 1;
        xobop group = nullptr;
        if (groups && q->vdq) {
            WOB_PARM_BLK_STR pb[] = {
                wob_key(WOB_TAG_NAME, vdqtxts("Stratum%i", 9, k)),
                wob_key(WOB_TAG_LABEL, vdqmsgs(326, 86, k)),
                wob_double(WOB_TAG_GROUPNUM, k),
                wob_flag(286, 1),
                wob_key(WOB_TAG_KIND, vdqtxt("STRATUM", 7)),
                wob_object(WOB_TAG_OUT, nullptr),
            };
            wobcall(q->vdq, WOB_SEL_MAKE_GROUP, 6, pb);
            group = pb[5].value.o;
        }
        if (!q->grpvar)
            korvbeg(q, s);
        if (group) {
            end_group(group);
        }
    }
    // 6.
    if (q->polwork) {
        xmpoold(q->polwork);
        q->polwork = nullptr;
    }
    // 7. Observations dropped for invalid values.
    if (q->strmiss > 0)
        xpmlog(326, korv_dropped_message(q, q->strmiss), static_cast<long>(q->strmiss));
    // 8.
    if (q->nstrata == 0) {
        xpmlog(326, 85);
        free_group_pools(q);
        return;
    }
    // 9. The censoring summary.
#ifdef KORV_HAVE_RESULTS
    if (q->zprint)
        korvsum(q);
#endif
    // 12. The bandwidth-grid graph across strata, when its paths were made.
    if (!q->grpvar && q->nstrata > 1 && q->kmhaz && q->kmhaz->disp == 1 && q->kmhaz->nbw > 1 &&
        q->kmhaz->misepath && q->kmhaz->misepath[0] && q->vdq)
        bandwidth_graph(q);
    // 13.
    free_group_pools(q);
    if (q->art && !q->art->zexplicit) {
        q->art->n = 0;
        q->art->t = nullptr;
    }
    // 14. The utility files are overwritten from their start by the next group.
    check_point(xcpoint(q->utid, 0));
    if (q->zplot && q->utid1)
        check_point(xcpoint(q->utid1, 0));
}

void cifPath(KORVCOM* q)
{
    // The competing-risks data pass is not part of this build: say so rather
    // than report an empty analysis as a result.
    xpmlog(326, KORV_MSG_NO_CMPRISK);
    q->rc = std::max(q->rc, 2000);
    xexit(q->rc, 0);
}

void korvct2(KORVCOM* q, NAMESTR* nm, double value)
{
    const char* text = nm->nlablen > 0 ? nm->label_p : nm->name_p;
    int tlen = nm->nlablen > 0 ? nm->nlablen : nm->namelen;
    xobskey label;
    bool hasname = nm->nfl > 0 || nm->nformlongl > 0 || nm->nflen > 0;
    if (!hasname) {
        label = vdqmsgs(326, 277, tlen, text, value);
    } else if (nm->nfcode == 0) {
        label = vdqmsgs(326, 276, tlen, text, static_cast<int>(nm->nflen),
                        static_cast<int>(nm->nfd), value);
    } else {
        int width = korv_format_width(nm);
        char* buffer = q->label;
        POOLHANDLE* pool = nullptr;
        if (width > 256) {
            pool = xlongpool();
            buffer = static_cast<char*>(xmalloc_or_exit(pool, width, 0x3004));
        }
        WZ_FMTPAR par{};
        par.w = width;
        par.d = nm->nfd;
        par.from = &value;
        par.fromw = 8;
        par.to = buffer;
        par.tow = width;
        xfxbpn(&par, nm->nfcode);
        int length = 0, start = 0;
        wzstjls(buffer, width, 110, &length, &start);
        label = vdqmsgs(326, 275, tlen, text, length, buffer + start);
        if (pool)
            pool->free(pool, buffer, -1, 4);
    }
    set_heading(q, label);
}

int vyrkorva()
{
    xinit();
    KORVCOM* q = &g_korvcom;
    std::memset(static_cast<void*>(q), 0, sizeof *q);
    *xcomanchor() = q;
    korvint(q);
    if (q->rc > 4)
        xexit(q->rc, 0);
    q->zby = 1;
    while (xbynext(static_cast<DSHANDLE*>(q->filein)) != 0) {
        if (q->cmprisk)
            cifPath(q);
        else
            surPath(q);
        q->zby = 0;
    }
    xexit(q->rc, 0);
}

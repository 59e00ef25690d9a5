// Procedure set-up: statements, variables, result definitions, and the
// per-task resources (utility files, the plot store, the test work area).
#include <algorithm>
#include <cstring>
#include <string>

#include "common/stages.h"
#include "common/statement.h"
#include "frame/frame.h"
#include "frame/parse.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "runtime/xccheck.h"
#include "runtime/zregis.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

void shell(double* v, int n)
{
    for (int gap = n / 2; gap > 0; gap /= 2)
        for (int i = gap; i < n; ++i)
            for (int j = i - gap; j >= 0 && v[j] > v[j + gap]; j -= gap)
                std::swap(v[j], v[j + gap]);
}

void Unique(double* t, int* n)
{
    if (*n < 2)
        return;
    bool increasing = true;
    for (int i = 1; i < *n && increasing; ++i)
        increasing = t[i] > t[i - 1];
    if (increasing)
        return;
    shell(t, *n);
    int kept = 1;
    for (int i = 1; i < *n; ++i)
        if (t[i] > t[kept - 1])
            t[kept++] = t[i];
    *n = kept;
}

void SortAtRiskTimes(ATRISKTIME* art)
{
    if (art->t)
        Unique(art->t, &art->n);
}

namespace
{

void open_utility(XCFILE** file)
{
    XCREQUEST request{};
    if (xcopen(file, &request) < 0) {
        xpmlog(326, msg326::UTILITY_OPEN);
        xexit(1020, 0);
    }
}

XCBSTR* make_store(int64_t reclen, bool minimal)
{
    auto* s = static_cast<XCBSTR*>(xmalloc_or_exit(xtaskpool(), sizeof(XCBSTR), 0x3006));
    long a = 0, b = 0, minsize = 0, standard = 0, n = 0;
    xcbinfo(&a, &b, &minsize, &standard, &n);
    long pagesize = minimal ? minsize : standard;
    check_file(xcbopen(&pagesize, 1, &s->fileptr));
    s->reclen = reclen;
    s->nrpp = reclen > 0 ? pagesize / reclen : 0;
    return s;
}

} // namespace

void initial_housekeeping(KORVCOM* q)
{
    const int g = q->vdqgraph & plot_bit::NEEDS_PLOT_STORE;
    // TIMELIST= without REDUCEOUT still writes every time.
    if (q->fileouts && q->ntime != 0 && !q->zreduce)
        xpmlog(326, msg326::TIMELIST_WITHOUT_REDUCEOUT, q->cmprisk ? "OUTCIF=" : "OUTSURV=");
    // The default confidence-limit transform, said once where it applies.
    if (!q->cmprisk && q->conftype == 0) {
        bool tables = q->zprint && !q->znotable;
        bool limits = g != 0 || (q->fileouts && !q->zSurvStmt);
        if (tables && limits)
            xpmlog(326, msg326::LOGLOG_ALL);
        else if (tables)
            xpmlog(326, msg326::LOGLOG_TABLES);
        else if (limits)
            xpmlog(326, msg326::LOGLOG_PLOTS_OUT);
    }
    if (q->cmprisk) {
        CMPRISK* c = q->cmprisk;
        c->xcb = make_store(48, c->xcbminopt != 0);
        if (c->nFailcode > 0 && q->evnum > 0)
            for (int j = 0; j < q->evnum; ++j)
                for (int i = 0; i < c->nFailcode; ++i)
                    if (q->elist[j] == c->failcode[i]) {
                        const NAMESTR* nm = c->nmStatus;
                        xpmlog(326, msg326::FAILCODE_IS_CENSORING,
                               nm ? static_cast<int>(nm->namelen) : 0, nm ? nm->name_p : "");
                        xexit(std::max(q->rc, 2000), 0);
                    }
    }
    if (q->conftype == 0)
        q->conftype = 3;
    // The at-risk times in order, without repeats.
    if (q->art)
        SortAtRiskTimes(q->art);
    // The NINTERVAL= request, kept for every BY group.
    if (!q->zinter)
        korv_set_ninterval_request(q->ninter > 0 ? q->ninter : 10);
    // The block layout of the utility records.
    q->blockno = 50;
    q->blockt = 400;
    q->blockf = 400;
    q->blockg = 200;
    q->blocki = 50 * q->idlen;
    q->blockc = 400 * q->ncvar;
    q->notenodel = sizeof(NOTESTR);
    q->soff = STRATA_KEY_OFFSET;
    // The utility files.
    open_utility(&q->utid);
    if (q->ktype & test_bit::NEEDS_POOLED_FILE)
        open_utility(&q->utid2);
    if (q->survdiff) {
        open_utility(&q->survdiff->utid);
        if (q->survdiff->method == -5 && wzmis(q->survdiff->alpha))
            q->survdiff->alpha = q->alpha;
    }
    if (q->zplot) {
        open_utility(&q->utid1);
        if (q->graphics && q->method != 1)
            open_utility(&q->graphics->utid);
    }
    // The graph insets and the plot store.
    if (q->vdqgraph != 0) {
        if ((q->vdqgraph & plot_bit::SURVIVAL) && (q->nsvar > 0 || q->grpvar))
            q->ogstat = static_cast<OGSTAT*>(xmalloc_or_exit(xtaskpool(), sizeof(OGSTAT), 0x3006));
        if (g != 0 || q->art) {
            int minopt = 0;
            static const char path[] = "\\PRODUCTS\\STAT\\KORVANTE";
            bool minimal = zregis_getbool(path, 23, "MINOPT", 6, 0, 0, &minopt) == 0 && minopt == 1;
            if (minimal)
                xpmlog(326, msg326::PLOT_STORE_MINOPT);
            q->xcb = make_store(88, minimal);
        }
    }
    // The work area of the TEST-statement rank tests.
    if (q->ncvar > 0) {
        int64_t n = q->ncvar, m = n + 2;
        int64_t P = m * (m + 1) / 2 + m;
        q->wil = static_cast<double*>(xmalloc_or_exit(
            xtaskpool(), (3 * n + 7 + 3 * P) * static_cast<int64_t>(sizeof(double)), 0x3006));
    }
}

// The TEST statement is not carried out when the statement reader set it
// aside (WEIGHT, GROUP=), or when its tests are not part of this build (then
// it is refused by name): its OUTTEST= data set is not written at all rather
// than written empty.
static void refuse_test_statement(KORVCOM* q)
{
    if (!stmt_given(q->stmt, proc_field::TEST))
        return;
    if (q->ncvar > 0 && korv_built_association)
        return;
    if (q->ncvar > 0)
        korv_refuse(q, KorvFeature::Association);
    if (auto* out = static_cast<DSHANDLE*>(q->fileoutt)) {
        const std::string name = vyr_dsname(out);
        vyr_dsclose(out, false);
        q->fileoutt = nullptr;
        xpmlog(326, msg326::OUTTEST_NOT_WRITTEN, name.c_str());
    }
}

void korvint(KORVCOM* q)
{
    parse(q);
    setin(q);
    refuse_test_statement(q);
    korvprl(q);
    korvout(q);
    initial_housekeeping(q);
}

void korvEndOfTask()
{
    auto* q = static_cast<KORVCOM*>(*xcomanchor());
    if (q && q->vdq) {
        int r = wobzoom(q->vdq, 3, 4, 0, nullptr);
        q->vdq = nullptr;
        if (r < 0)
            zvdqexit(r);
    }
}

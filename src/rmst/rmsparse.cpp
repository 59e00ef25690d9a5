// The settings of the restricted-mean analyses of one BY group, read from the
// procedure's statement records: which analyses and plots, TAU=, BC and CL of
// each, ALPHA=, MAXTIME=, FREQ and NOTRUNCATE, the STRATA variables, the
// GROUP= variable and the comparisons asked for on the STRATA statement.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/options.h"
#include "common/statement.h"
#include "rmst/rmst.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_parse.h"

namespace
{

bool bit(const STMT* s, int k)
{
    return stmt_bit(s, k);
}

// The first variable of a variable-list field, 0 when none.
int firstVar(const STMT* s, int k, short* count)
{
    const STLIST* f = stmt_field(s, k);
    const int n = (f && f->type == STL_VARS && f->ivals) ? f->n : 0;
    if (count)
        *count = static_cast<short>(n);
    return n > 0 ? f->ivals[0] : 0;
}

// TAU= of one analysis: a given value must be positive; the step ends
// otherwise.
void readTau(rmsUserPtr us, const STMT* s, int field, ZRMSOPT* opt, const char* which)
{
    if (!stmt_given(s, field))
        return;
    opt->Stau = 1;
    opt->tau = stmt_number(s, field, 0);
    if (wzmis(opt->tau) || !(opt->tau > 0)) {
        xpmlog(326, msg326::RMS_TAU_NOT_POSITIVE, which,
               rmsNumber(wzmis(opt->tau) ? 0.0 : opt->tau).c_str());
        rmsRaise(us, 120);
        us->kq->rc = std::max(us->kq->rc, 2000);
        xexit(2000, 0);
    }
}

} // namespace

void rmsRaise(rmsUserPtr us, int rc)
{
    us->maxrc = std::max(us->maxrc, rc);
}

std::string rmsNumber(double v)
{
    // As %g writes it, with as many more digits as reading it back needs.
    char text[64];
    for (int digits = 6;; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (digits >= 17 || std::strtod(text, nullptr) == v)
            return text;
    }
}

void* rmsAlloc(rmsUserPtr us, int64_t bytes)
{
    void* p = bytes > 0 ? vmalcp_handler(us->pool, bytes, 0x3006) : nullptr;
    if (!p) {
        rmsRaise(us, 1012);
        xpmlog(505, msg505::OUT_OF_MEMORY);
    }
    return p;
}

rmsRetCodes Parse(KorvPtr q)
{
    const STMT* s = q->stmt;
    if (!bit(s, proc_bit::RMST) && !bit(s, proc_bit::RMTL) && !bit(s, proc_bit::PLOT_RMST) &&
        !bit(s, proc_bit::PLOT_RMTL))
        return ZRMS_NOREQUEST;
    if (stmt_count(s, proc_field::WEIGHT) > 0) {
        xpmlog(326, msg326::RMS_WEIGHT);
        q->rc = std::max(q->rc, 4);
        return ZRMS_NOTSUPPORTED;
    }
    if (q->ncut != 0) {
        xpmlog(326, msg326::RMS_CUT_POINTS);
        q->rc = std::max(q->rc, 4);
        return ZRMS_NOTSUPPORTED;
    }

    // The record lives in the host's second pool; everything else comes from
    // the analysis's own pool and goes with it.
    auto* us = static_cast<ZRMSUSERSTR*>(vmalcp_handler(xlongpool(), sizeof(ZRMSUSERSTR), 0x3006));
    if (!us) {
        xpmlog(505, msg505::OUT_OF_MEMORY);
        q->rc = std::max(q->rc, 1012);
        return ZRMS_NOMEMORY;
    }
    std::memset(static_cast<void*>(us), 0, sizeof *us);
    q->rms = us;
    us->kq = q;
    us->pool = xmpoolc(0, 1024, 6);
    if (!us->pool) {
        xmemmsg(xmemdef());
        xpmlog(326, msg326::RMS_NO_POOL);
        rmsRaise(us, 1012);
        xpmlog(505, msg505::OUT_OF_MEMORY);
        return ZRMS_NOMEMORY;
    }
    us->q = static_cast<ZRMSMANAGER*>(rmsAlloc(us, sizeof(ZRMSMANAGER)));
    if (!us->q)
        return ZRMS_NOMEMORY;
    us->q->pool = us->pool;

    // The balanced trees of the cells.
    if (!us->qxeavlfh) {
        static const QXChar avlName[] = {'q', 'x', 'e', 'a', 'v', 'l'};
        QXHandle* h = Exported_QXHandle;
        if (h && h->loadExtension)
            us->qxeavlfh = static_cast<QXEAVL_EXTENSION*>(h->loadExtension(h, avlName, 6, 0));
        if (!us->qxeavlfh) {
            rmsRaise(us, 1012);
            return ZRMS_NOLOAD;
        }
    }

    // The analysis's output state.
    auto* zog = static_cast<ZRMSVDQ*>(rmsAlloc(us, sizeof(ZRMSVDQ)));
    if (!zog)
        return ZRMS_NOMEMORY;
    zog->vdq = q->vdq;
    zog->templ =
        vdqtxts("%k.%k", -1, vdqtxts("%*s", 3, 4, "STAT"), vdqtxts("%*s", 3, 8, "KORVANTE"));
    zog->pool = us->pool;
    zog->com = us;
    us->q->zog = zog;

    // The input data set.
    us->filein = static_cast<DSHANDLE*>(q->filein);
    if (!us->filein) {
        xpmlog(326, msg326::RMS_NO_DATA);
        q->rc = std::max(q->rc, 1008);
        xexit(1008, 0);
    }
    xvallvr(us->filein, &us->nv0);
    xvsele(us->filein);
    // The data set must be open with at least one variable.
    if (xoinfo(us->filein, 23) < 1) {
        q->rc = std::max(q->rc, 1008);
        xexit(1008, 0);
    }
    char name[64] = {};
    if (xoinfo(us->filein, 81, name) == 0)
        std::memcpy(us->dsinname, name, sizeof us->dsinname - 1);

    // The analyses, their options and plots.
    us->proc = const_cast<STMT*>(s);
    firstVar(s, proc_field::BY, &us->nby);
    us->Srmst = bit(s, proc_bit::RMST);
    us->Splot = bit(s, proc_bit::PLOT_RMST);
    us->RMSTOpt.Scl = bit(s, proc_bit::RMST_CL);
    us->RMSTOpt.Sbc = bit(s, proc_bit::RMST_BC);
    us->RMSTOpt.SplotCL = bit(s, proc_bit::PLOT_RMST_CL);
    readTau(us, s, proc_field::RMST_TAU, &us->RMSTOpt, "RMST");
    us->Srmtl = bit(s, proc_bit::RMTL);
    us->Splot2 = bit(s, proc_bit::PLOT_RMTL);
    us->RMTLOpt.Scl = bit(s, proc_bit::RMTL_CL);
    us->RMTLOpt.Sbc = bit(s, proc_bit::RMTL_BC);
    us->RMTLOpt.SplotCL = bit(s, proc_bit::PLOT_RMTL_CL);
    if (us->Splot2 || bit(s, proc_bit::PLOT_ALL))
        us->RMTLOpt.Srmtl = 1;
    readTau(us, s, proc_field::RMTL_TAU, &us->RMTLOpt, "RMTL");

    us->Snoprint = bit(s, proc_bit::NOPRINT);
    // ALPHA=, NOTRUNCATE and MAXTIME= as the procedure's statement reader
    // settled them (ALPHA= kept within 0.0001 and 0.9999, as its message
    // says; a missing MAXTIME= ignored), so that the limits and plots of the
    // restricted means agree with the log and with the other tables.
    us->alpha = q->alpha;
    us->zval = q->critical;
    us->Snotrunc = q->znotrunc;
    if (bit(s, proc_bit::PLOT_ALL))
        us->Splot = us->Splot2 = 1;
    if (q->zmaxtime) {
        us->Smaxtime = 1;
        us->maxtime = q->maxtime;
    }
    us->freqnum = firstVar(s, proc_field::FREQ, &us->nf);
    us->wgtnum = firstVar(s, proc_field::WEIGHT, &us->nw);

    Parse_Strata(us);

    // Arrangement of the plots: INDIVIDUAL without GROUP= and with STRATA
    // variables unpacks them, PANEL makes panels of the strata or GROUP=
    // levels (a single curve is drawn as without it, in one graph).
    const int arr1 = stmt_int(s, proc_field::RMST_ARRANGEMENT, 0);
    const int arr2 = stmt_int(s, proc_field::RMTL_ARRANGEMENT, 0);
    const bool several = us->ns > 0 || us->ng > 0;
    if (arr1 == -3 && us->ng == 0 && us->ns > 0)
        us->RMSTOpt.Splotunpack = 1;
    if (arr1 == -2 && several)
        us->RMSTOpt.Splotpanel = 1;
    if (arr2 == -3 && us->ng == 0 && us->ns > 0)
        us->RMTLOpt.Splotunpack = 1;
    if (arr2 == -2 && several)
        us->RMTLOpt.Splotpanel = 1;

    setin(us);
    return ZRMS_NOPROBLEM;
}

void Parse_Strata(rmsUserPtr us)
{
    const STMT* st = nullptr;
    for (const STMT* r = us->proc; r; r = r->next)
        if (std::strncmp(r->name, "STRATA", 6) == 0) {
            st = r;
            break;
        }
    if (!st)
        return;
    const STLIST* vars = stmt_field(st, strata_field::VARIABLES);
    if (vars && vars->type == STL_VARS) {
        us->ns = static_cast<short>(vars->n);
        us->strlist = vars->ivals;
    }
    us->grpnum = firstVar(st, strata_field::GROUP, &us->ng);
    if (us->ng > 1) {
        xpmlog(326, msg326::RMS_GROUPS);
        rmsRaise(us, 1008);
        us->kq->rc = std::max(us->kq->rc, 3000);
        xexit(3000, 0);
    }

    us->Sadj = static_cast<short>(stmt_count(st, strata_field::ADJUST));
    const bool diff = bit(st, strata_bit::DIFF);
    const bool ratio = bit(st, strata_bit::RATIO);
    if (!diff && !us->Sadj && !ratio)
        return;

    // The comparison settings, from the analysis's pool: nothing of them
    // outlives the BY group.
    auto* sd = static_cast<SURVDIFF*>(rmsAlloc(us, sizeof(SURVDIFF)));
    if (!sd)
        return;
    us->survdiff = sd;
    us->Sratio = ratio;
    sd->stepcsize = -1;
    sd->stepmaxtime = 60;
    sd->tinc = 30;
    sd->alpha = korv_missing();
    sd->acc = 0.005;
    sd->eps = 0.01;
    const int code = us->Sadj ? stmt_int(st, strata_field::ADJUST, 0) : 0;
    auto adjustAlone = [&] {
        if (code == -8) {
            sd->type = -2;
            sd->method = 0;
        } else if (code == -7) {
            sd->type = -1;
            sd->method = 0;
        } else {
            sd->method = code;
            sd->type = -1;
        }
    };
    if (!diff) {
        adjustAlone();
    } else if (!stmt_given(st, strata_field::DIFF)) {
        sd->method = 0;
        sd->type = -1;
        if (us->Sadj)
            adjustAlone();
    } else {
        sd->type = stmt_int(st, strata_field::DIFF, -1);
        sd->method = 0;
        if (us->Sadj) {
            if ((code == -8 && sd->type != -2) || (code == -7 && sd->type != -1)) {
                xpmlog(326, msg326::ADJUST_NEEDS_DIFF);
                us->kq->rc = std::max(us->kq->rc, 2000);
                xexit(2000, 0);
            }
            if (code != -7 && code != -8)
                sd->method = code;
        }
    }
    if (sd->method == -5) {
        auto value = [&](int k, double def) {
            const double v = stmt_number(st, k, def);
            return wzmis(v) ? def : v;
        };
        sd->acc = value(strata_field::SIM_ACC, 0.005);
        sd->eps = value(strata_field::SIM_EPS, 0.01);
        sd->nsamp = value(strata_field::SIM_NSAMP, 0);
        sd->tinc = static_cast<int>(value(strata_field::SIM_TIMEINC, 30));
        sd->rep = bit(st, strata_bit::SIM_REPORT);
        sd->seed = static_cast<long>(value(strata_field::SIM_SEED, 0));
        sd->alpha = stmt_given(st, strata_field::SIM_ALPHA)
                        ? stmt_number(st, strata_field::SIM_ALPHA, korv_missing())
                        : korv_missing();
        if (wzmis(sd->alpha))
            sd->alpha = us->alpha;
    }
    if (stmt_given(st, strata_field::CONTROL)) {
        sd->refcntl = stmt_int(st, strata_field::CONTROL, 0);
        if (sd->refcntl == -3) {
            const STLIST* t = stmt_field(st, strata_field::CONTROL_VALUES);
            const int n = (t && t->type == STL_TEXTS) ? t->n : 0;
            const int need = us->ng ? 1 : us->ns;
            if (n != need) {
                xpmlog(326, msg326::CONTROL_COUNT, n, need);
                us->kq->rc = std::max(us->kq->rc, 2000);
                xexit(2000, 0);
            }
            sd->nref = n;
            sd->ref =
                static_cast<varstring*>(rmsAlloc(us, static_cast<int64_t>(n) * sizeof(varstring)));
            for (int i = 0; sd->ref && i < n; ++i) {
                char* p = t->texts[i].s;
                int64_t l = t->texts[i].l;
                while (l > 0 && *p == ' ') {
                    ++p;
                    --l;
                }
                while (l > 0 && p[l - 1] == ' ')
                    --l;
                sd->ref[i].s = p;
                sd->ref[i].l = l;
            }
        }
    }
    if (bit(st, strata_bit::STEPDOWN)) {
        sd->step = bit(st, strata_bit::STEPDOWN_LOGICAL) ? 2 : 1;
        sd->steprep = bit(st, strata_bit::STEPDOWN_REPORT);
        sd->steporder = stmt_int(st, strata_field::STEPDOWN_ORDER, 0);
        sd->stepmaxtime = stmt_given(st, strata_field::STEPDOWN_MAXTIME)
                              ? stmt_int(st, strata_field::STEPDOWN_MAXTIME, 60)
                              : 60;
        sd->stepcsize = stmt_given(st, strata_field::STEPDOWN_LOGICAL_SIZE)
                            ? stmt_int(st, strata_field::STEPDOWN_LOGICAL_SIZE, -1)
                            : -1;
    }
}

void setin(rmsUserPtr us)
{
    const STMT* s = us->proc;
    us->timenum = firstVar(s, proc_field::TIME, nullptr);
    us->censnum = firstVar(s, proc_field::CENSOR, nullptr);
}

// The restricted-mean analyses of one BY group: restricted mean survival time
// (RMST) and restricted mean time lost (RMTL), each in an output group of its
// own with its estimates, test, comparisons and plots. Every stage returns a
// code; a stage that fails ends the BY group's analyses, and the clean-up
// closes what is open, frees everything the group made and hands the
// analyses' return code to the step.
#include <algorithm>

#include "common/stages.h"
#include "common/statement.h"
#include "rmst/rmst.h"
#include "runtime/procstr.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_parse.h"

const bool korv_built_rmst = true;

void CleanUp(KorvPtr q)
{
    auto* us = static_cast<ZRMSUSERSTR*>(q->rms);
    if (!us)
        return;
    // An output group left open by a failed stage ends here, so that later
    // output does not land inside it.
    if (us->group) {
        zrmstblDeleteGroup(us->group);
        us->group = nullptr;
    }
    if (ZRMSMANAGER* m = us->q) {
        // The cells' trees are the kernel's: each is destroyed by itself (the
        // nodes they link live in the analysis's pool and go with it).
        if (QXEAVLh ut = m->utree) {
            for (QXEAVLNODE* a = ut->first(ut); a; a = ut->next(ut, a))
                if (QXEAVLh st = reinterpret_cast<ZRMSUNODE*>(a)->stree)
                    st->hdr.destroy(st);
            ut->hdr.destroy(ut);
            m->utree = nullptr;
        }
        zlevtrm(&m->reg, ZLEV_TRM_DATA | ZLEV_TRM_THREADS);
        if (m->utfile)
            xcclose(m->utfile);
        if (m->filesort)
            xcclose(m->filesort);
        m->utfile = m->filesort = nullptr;
    }
    if (us->qxeavlfh) {
        us->qxeavlfh->hdr.destroy(us->qxeavlfh);
        us->qxeavlfh = nullptr;
    }
    if (us->pool)
        xmpoold(us->pool);
    q->rc = std::max(q->rc, us->maxrc);
    vmfree_handler(xlongpool(), us, -1, 4);
    q->rms = nullptr;
}

namespace
{

// One analysis: RMST (Srmtl 0) or RMTL (Srmtl 1).
rmsRetCodes Analysis(rmsUserPtr us, short Srmtl)
{
    ZRMSMANAGER* q = us->q;
    ZRMSOPT* opt = rmsOpt(us, Srmtl);
    const bool estimates = Srmtl ? us->Srmtl : us->Srmst;
    const bool plots = Srmtl ? us->Splot2 : us->Splot;
    const char* which = Srmtl ? "RMTL" : "RMST";
    // A restriction time past the data of some cell ends this analysis only.
    // It is an error of the TAU= value, as one that is not positive is: the
    // step ends with the same return code, which says that the errors above
    // stopped it (not that its output could not be made).
    if (opt->Stau && us->mininner < opt->tau) {
        xpmlog(326, msg326::RMS_TAU_TOO_LARGE, which, rmsNumber(opt->tau).c_str(),
               rmsNumber(us->mininner).c_str(), which);
        rmsRaise(us, 2000);
        return ZRMS_NOPROBLEM;
    }
    us->group =
        zrmstblMakeGroup(q->zog, Srmtl ? "RMTL Analysis" : "RMST Analysis", 0,
                         vdqmsg(326, Srmtl ? msg326::RMS_RMTL_GROUP : msg326::RMS_RMST_GROUP));
    rmsRetCodes rc = ZRMS_NOPROBLEM;
    if (estimates) {
        PrintHead(us, Srmtl);
        EstimateRMS(us, Srmtl);
        if ((rc = PrintRMS(us, Srmtl)) != ZRMS_NOPROBLEM)
            return rc;
        if ((rc = GlobalTest(us, Srmtl)) != ZRMS_NOPROBLEM)
            return rc;
        if (us->survdiff && !us->Stest_infeasible &&
            (rc = MultipleComparison(us, Srmtl)) != ZRMS_NOPROBLEM)
            return rc;
    }
    if (plots && (rc = PlotRMS(us, Srmtl)) != ZRMS_NOPROBLEM)
        return rc;
    zrmstblDeleteGroup(us->group);
    us->group = nullptr;
    return ZRMS_NOPROBLEM;
}

// Whether the step asks for restricted means or their plots.
bool restricted_means_asked(const STMT* s)
{
    return stmt_bit(s, proc_bit::RMST) || stmt_bit(s, proc_bit::RMTL) ||
           stmt_bit(s, proc_bit::PLOT_RMST) || stmt_bit(s, proc_bit::PLOT_RMTL);
}

} // namespace

void korvrms(KorvPtr q)
{
    // Every result of these analyses is output; without an output manager
    // (NOPRINT) there is nowhere to put them: say so once, in the first BY
    // group.
    if (!q->vdq) {
        if (q->zby && restricted_means_asked(q->stmt))
            xpmlog(326, msg326::RMS_NOPRINT);
        return;
    }
    // With competing risks the restricted means read the censoring values
    // alone: a status that is not one of them is an event, whatever its
    // failure type. Said once, in the first BY group.
    if (q->zby && q->cmprisk && restricted_means_asked(q->stmt))
        xpmlog(326, msg326::RMS_ANY_EVENT);
    rmsRetCodes rc = q->rms ? ZRMS_NOPROBLEM : Parse(q);
    auto* us = static_cast<ZRMSUSERSTR*>(q->rms);
    if (rc == ZRMS_NOPROBLEM && us) {
        rc = ReadPrepare(us);
        if (rc == ZRMS_NOPROBLEM)
            rc = ReadData(us);
        if (rc == ZRMS_NOPROBLEM)
            rc = GenAnalysisData(us);
        if (rc == ZRMS_NOPROBLEM && (us->Srmst || us->Splot))
            rc = Analysis(us, 0);
        if (rc == ZRMS_NOPROBLEM && (us->Srmtl || us->Splot2))
            rc = Analysis(us, 1);
    }
    CleanUp(q);
}

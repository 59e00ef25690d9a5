// Module entry, procedure entry and the BY-group driver.
#include <algorithm>
#include <cstring>
#include <vector>

#include "frame/frame.h"
#include "frame/parse.h"
#include "runtime/procstr.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_format.h"
#include "vyr_graphics.h"
#include "vyr_host.h"
#include "vyr_kernel.h"
#include "vyr_output.h"
#include "vyr_session.h"

#include "common/ahead.h"
#include "common/stages.h"
#include "common/statement.h"
#include "estimate/estimate.h"
#include "runtime/xccheck.h"
#include "vyr_message_names.h"

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

void end_group(xobop group)
{
    int r = wobzoom(group, 3, 4, 0, nullptr);
    if (r < 0)
        zvdqexit(r);
}

// The BY groups of the step: how many were analysed, and the largest code
// of a group that had nothing to analyse (no valid observation, 108; no
// event on the competing-risks road, 112). Such a group is passed over with
// its warning, and the others are estimated, printed and written; only a
// step in which no group could be analysed ends with that code.
struct GroupTally {
    int analysed = 0;
    int nothing = 0;
};
GroupTally g_tally;

// A group whose data pass failed: `before` is the step's code before it.
// Nothing to analyse leaves a warning in the step's code; anything else
// (an error of the step's settings) keeps its code.
void group_not_analysed(KORVCOM* q, int before)
{
    const int code = q->rc;
    if ((code == 108 || code == 112) && before < code) {
        g_tally.nothing = std::max(g_tally.nothing, code);
        q->rc = std::max(before, 4);
    }
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
        wob_key(WOB_TAG_CONTENTS, vdqmsg(0, msg0::BANDWIDTH_GRID)),
        wob_key(WOB_TAG_LABEL, vdqmsg(0, msg0::BANDWIDTH_CRITERION)),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.BandwidthGrid", -1)),
        wob_keyarray(WOB_TAG_PATHS2, q->kmhaz->misepath, q->nstrata),
        wob_keyarray(WOB_TAG_PATHS, q->kmhaz->misepath, 1),
        wob_list(WOB_TAG_DYNLIST, dyn.data(), static_cast<int64_t>(dyn.size())),
    };
    wobcall(q->vdq, WOB_SEL_GRAPH_OUTPUT, pb);
}

// Whether the restricted means (or their plots) are asked for.
bool restricted_means(KorvPtr q)
{
    const STMT* proc = q->stmt;
    return stmt_bit(proc, proc_bit::RMST) || stmt_bit(proc, proc_bit::RMTL) ||
           stmt_bit(proc, proc_bit::PLOT_RMST) || stmt_bit(proc, proc_bit::PLOT_RMTL);
}

// Requests whose analysis is not part of this build are refused once, by
// name, before the first BY group, so that their absence is not taken for a
// result. The stubs refuse again if they are reached; that says nothing more.
void refuse_unbuilt_requests(KorvPtr q)
{
    const STMT* proc = q->stmt;
    // The TEST statement was refused at set-up, with its OUTTEST= data set.
    if (q->confband != 0 && !korv_built_bands)
        korv_refuse(q, KorvFeature::ConfidenceBands);
    if ((q->vdqgraph & (plot_bit::HW_BAND | plot_bit::EP_BAND)) && !korv_built_bands)
        korv_refuse(q, KorvFeature::PlotBands);
    if (q->survdiff && !korv_built_comparisons)
        korv_refuse(q, KorvFeature::MultipleComparisons);
    if (q->kmhaz && !korv_built_smoothed)
        korv_refuse(q, KorvFeature::SmoothedHazard);
    if (restricted_means(q) && !korv_built_rmst)
        korv_refuse(q, KorvFeature::RestrictedMeans);
    if (q->cmprisk && !korv_built_cmprisk)
        korv_refuse(q, KorvFeature::CompetingRisks);
    if (q->zplot && q->graphics && !korv_built_devplot)
        korv_refuse(q, KorvFeature::DeviceGraphics);
    if (q->zplot && !q->graphics && !korv_built_lineprinter)
        korv_refuse(q, KorvFeature::LinePrinterPlots);
    // The cumulative incidence plots are requested through their own bits.
    const bool cifPlots = q->cmprisk && (q->cmprisk->plot & cif_plot_bit::PLOT);
    const bool rmsPlots = stmt_bit(proc, proc_bit::PLOT_RMST) ||
                          stmt_bit(proc, proc_bit::PLOT_RMTL) ||
                          (stmt_bit(proc, proc_bit::PLOT_ALL) && restricted_means(q));
    if ((q->vdqgraph != 0 || cifPlots || rmsPlots) && !korv_built_graphs)
        korv_refuse(q, KorvFeature::Graphs);
}

// One output path per stratum for the graphs, the at-risk ticks and the
// GROUP= graph values, and the same for the smoothed hazards.
void make_group_paths(KORVCOM* q)
{
    const int64_t paths = static_cast<int64_t>(std::max(q->nstrata, 1)) * sizeof(xobskey);
    // The quartile scale of the graphs' median insets is the group's own.
    q->ogmaxqt = 0;
    if (q->vdqgraph != 0) {
        q->ogpath = static_cast<xobskey*>(xmalloc_or_exit(q->polnode, paths, 0x2000));
        if (q->art)
            korvmxt(q);
        if (q->grpvar)
            korvpbg(q);
    }
    if (q->kmhaz) {
        q->ogpath2 = static_cast<xobskey*>(xmalloc_or_exit(q->polnode, paths, 0x2000));
        q->kmhaz->nstrata = 0;
        if (q->kmhaz->nbw > 1)
            q->kmhaz->misepath = static_cast<xobskey*>(xmalloc_or_exit(q->polnode, paths, 0x2000));
    }
}

// The common block's per-stratum arrays, put back after a stratum that was
// estimated from arrays prepared ahead.
class StratumArrays
{
  public:
    explicit StratumArrays(KORVCOM* q)
        : q_(q), times_(q->times), freqs_(q->freqs), weights_(q->weights), rtimes_(q->rtimes),
          rfreqs_(q->rfreqs), rweights_(q->rweights), ids_(q->ids), indxs_(q->indxs)
    {
    }
    ~StratumArrays()
    {
        q_->times = times_, q_->freqs = freqs_, q_->weights = weights_;
        q_->rtimes = rtimes_, q_->rfreqs = rfreqs_, q_->rweights = rweights_;
        q_->ids = ids_;
        q_->indxs = indxs_;
    }
    StratumArrays(const StratumArrays&) = delete;
    StratumArrays& operator=(const StratumArrays&) = delete;

  private:
    KORVCOM* q_;
    double *times_, *freqs_, *weights_, *rtimes_, *rfreqs_, *rweights_;
    char* ids_;
    int64_t* indxs_;
};

// Each stratum of the group: its output group and heading, its estimates
// (or the GROUP= road) and its TEST-covariate scores. The strata's records
// are reread and ranked ahead on the pool's threads while the strata before
// them are estimated here, in order, so the output is the same as when one
// thread does everything.
void estimate_strata(KORVCOM* q)
{
    const bool groups = (q->zprint && !q->znotable) || q->vdqgraph != 0 || q->kmhaz;
    const bool heading = q->nsvar > 0 && q->nstrata > 1;
    std::vector<STRATA*> strata;
    for (STRATA* s = q->strata; s && s->nobs > 0; s = s->left)
        strata.push_back(s);
    auto estimate = [&](std::size_t i, const StratumArea* area) {
        STRATA* s = strata[i];
        const int k = static_cast<int>(i) + 1;
        s->Stratum = k - 1;
        xobop group = nullptr;
        bool headed = false;
        if (groups && q->vdq) {
            WOB_PARM_BLK_STR pb[] = {
                wob_key(WOB_TAG_NAME, vdqtxts("Stratum%i", 9, k)),
                wob_key(WOB_TAG_LABEL, vdqmsgs(326, msg326::STRATUM_N, k)),
                wob_double(WOB_TAG_GROUPNUM, k),
                wob_flag(286, 1),
                wob_key(WOB_TAG_KIND, vdqtxt("STRATUM", 7)),
                wob_object(WOB_TAG_OUT, nullptr),
            };
            wobcall(q->vdq, WOB_SEL_MAKE_GROUP, pb);
            group = pb[5].value.o;
            // With several strata the group is headed by the stratum's values.
            if (heading && q->stratumid) {
                q->stratumid->len = korvut(q, s);
                set_heading(q->vdq, vdqtxt(q->stratumid->label, q->stratumid->len));
                headed = true;
            }
        }
        if (!q->grpvar) {
            if (area)
                korvbeg_prepared(q, s, *area);
            else
                korvbeg(q, s);
            switch (q->method) {
            case 0:
            case 2:
            case 3:
                if (area && area->ahead) {
                    if (q->zwt)
                        korvwpl_counted(q, s, area->ahead, area->ahead2);
                    else
                        korvpl_counted(q, s, area->ahead);
                } else if (q->zwt) {
                    korvwpl(q, s);
                } else {
                    korvpl(q, s);
                }
                break;
            case 1:
                korvtb(q, s);
                break;
            default:
                break;
            }
        } else {
            korvxsg(q, s);
        }
        korvtes(q, s);
        if (group) {
            end_group(group);
            if (headed)
                clear_heading(q->vdq);
        }
    };
    // Only strata large enough to repay their own arrays and the hand-over
    // are prepared ahead; with fewer than two of them the strata are simply
    // taken in turn (the GROUP= road rereads its strata by level itself).
    constexpr int64_t kAheadRows = 8192;
    const auto large = std::count_if(strata.begin(), strata.end(),
                                     [](const STRATA* s) { return s->nobs >= kAheadRows; });
    const bool ahead = !q->grpvar && large > 1 && q->utid && q->polwork && q->rtimes && q->rfreqs &&
                       xcflush(q->utid) == 0;
    if (!ahead) {
        for (std::size_t i = 0; i < strata.size(); ++i)
            estimate(i, nullptr);
        return;
    }
    // Strata prepared ahead hold at most twice what their records take in
    // the utility file, and less below four million records, where the
    // run's fixed memory weighs more beside the data (one stratum is always
    // allowed: then the strata are prepared one after another).
    std::vector<int64_t> bytes(strata.size());
    int64_t records = 0;
    const int64_t recordBytes = 16 + (q->zwt ? 8 : 0) + (q->nid > 0 ? q->idlen : 0);
    for (std::size_t i = 0; i < strata.size(); ++i) {
        bytes[i] = strata[i]->nobs >= kAheadRows ? korv_stratum_bytes(q, strata[i]) : 0;
        records += strata[i]->nobs;
    }
    const double share = std::min(2.0, static_cast<double>(records) / 2e6);
    const auto budget = static_cast<int64_t>(share * static_cast<double>(records * recordBytes));
    std::vector<StratumArea> areas(strata.size());
    korv_ahead::run(
        strata.size(), bytes, budget,
        [&](std::size_t i) {
            return strata[i]->nobs >= kAheadRows && korv_stratum_prepare(q, strata[i], areas[i]);
        },
        [&](std::size_t i, korv_ahead::Prepared how) {
            if (how != korv_ahead::Prepared::Ahead) {
                estimate(i, nullptr);
                return;
            }
            struct Release {
                KORVCOM* q;
                StratumArea& a;
                ~Release() { korv_stratum_release(q, a); }
            } release{q, areas[i]};
            StratumArrays own(q);
            estimate(i, &areas[i]);
        },
        [&](std::size_t i) { korv_stratum_release(q, areas[i]); });
}

// Plots of the group: device graphics or the line printer.
void plot_group(KORVCOM* q)
{
    if (q->zplot && q->maxnobs > 0) {
        if (q->graphics) {
            static constexpr int kDrawFailure[] = {
                msg326::DEVICE_NOT_MADE, msg326::DEVICE_SETUP_FAILED, msg326::DEVICE_DRAW_FAILED};
            const int r = korvgp1(q);
            if (r >= 1 && r <= 3)
                xpmlog(326, kDrawFailure[r - 1]);
        } else {
            korvplt(q);
            korvfp(q);
            korvleg(q, 1);
            if (q->grafindx) {
                xmpoold(q->grafindx);
                q->grafindx = nullptr;
            }
        }
    }
}

// The graphs across strata: survival and smoothed hazard, or the panel of
// the GROUP= road.
void graph_strata(KORVCOM* q)
{
    if (!q->grpvar) {
        // Graphs with a curve per stratum name the strata in a legend only
        // while it can be read.
        const int v = q->vdqgraph;
        const bool overlaid = (v & plot_bit::SURVIVAL) && (v & plot_bit::OVERLAY);
        const bool curves =
            overlaid ||
            (v & (plot_bit::LOGSURV | plot_bit::LOGLOGS | plot_bit::DENSITY | plot_bit::HAZARD)) ||
            (q->kmhaz && q->kmhaz->disp == 1);
        if (q->nstrata > VYR_LEGEND_MOST && curves && q->vdq)
            xpmlog(326, msg326::LEGEND_LEFT_OUT, q->nstrata, VYR_LEGEND_MOST);
        if (q->nstrata > 1) {
            if (q->vdqgraph != 0)
                StratifiedSurvival(q);
            if (q->kmhaz && q->kmhaz->disp == 1) {
                // Any stratum's bandwidth grid is drawn, also when the first
                // stratum had no grid to search.
                const xobskey* mp = q->kmhaz->misepath;
                if (q->kmhaz->nbw > 1 && mp && q->vdq &&
                    std::any_of(mp, mp + q->nstrata, [](xobskey k) { return k != nullptr; }))
                    bandwidth_graph(q);
                StratifiedSmoothedHazard(q);
            }
        } else if ((q->vdqgraph & plot_bit::SURVIVAL) && q->nsvar > 0) {
            // The single stratum of this BY group is drawn alone, as one
            // curve in one graph, whatever STRATA= asks; and it has no test
            // whose p-value the graph could show.
            if (q->vdqgraph & (plot_bit::PANEL | plot_bit::INDIVIDUAL))
                xpmlog(326, msg326::ARRANGEMENT_SINGLE_STRATUM,
                       (q->vdqgraph & plot_bit::PANEL) ? "PANEL" : "INDIVIDUAL");
            if ((q->vdqgraph & plot_bit::TEST) && !(q->ktype & test_bit::NONE))
                xpmlog(326, msg326::PLOT_TEST_SINGLE_STRATUM);
        }
    } else {
        // The panels of the levels, or without STRATA variables the levels'
        // graph that waited for their test.
        korvpsg(q);
    }
}

} // namespace

void surPath(KORVCOM* q)
{
    // The data pass; a group without usable data ends here, its pools
    // deleted, and the next group goes on.
    const int before = q->rc;
    if (korvdat(q) != 0) {
        free_group_pools(q);
        group_not_analysed(q, before);
        return;
    }
    ++g_tally.analysed;
    // Censored-observation plots: the device-graphics file starts afresh,
    // or the line-printer frame is set up.
    if (q->zplot && q->method != 1 && q->ncensored > 0) {
        if (q->graphics) {
            if (q->graphics->utid)
                check_file(xcpoint(q->graphics->utid, -2));
        } else if (q->zcensplot) {
            korvcp(q);
        }
    }
    // A road whose estimator this build lacks: report the data pass and
    // refuse the analysis (which ends the step) rather than print empty
    // counts as a result.
    const bool road_missing =
        (q->grpvar && !korv_built_group) || (q->method == 1 && !korv_built_lifetable);
    if (road_missing) {
        if (q->strmiss > 0)
            xpmlog(326, korv_dropped_message(q, q->strmiss), static_cast<long>(q->strmiss));
        free_group_pools(q);
        // The restricted means read the GROUP= levels themselves: with them
        // asked for, only the survival part of the group is left out.
        if (q->grpvar && !korv_built_group && korv_built_rmst && restricted_means(q)) {
            korv_refuse(q, KorvFeature::GroupEstimates);
            return;
        }
        korv_refuse(q, q->grpvar && !korv_built_group ? KorvFeature::GroupAnalysis
                                                      : KorvFeature::LifeTable);
    }
    make_group_paths(q);
    estimate_strata(q);
    // The work pool is not needed past the strata.
    if (q->polwork) {
        xmpoold(q->polwork);
        q->polwork = nullptr;
    }
    // Observations dropped for invalid values.
    if (q->strmiss > 0)
        xpmlog(326, korv_dropped_message(q, q->strmiss), static_cast<long>(q->strmiss));
    // A group without a stratum has nothing more to show.
    if (q->nstrata == 0) {
        xpmlog(326, msg326::NO_STRATUM);
        free_group_pools(q);
        return;
    }
    // The censoring summary.
    if (q->zprint)
        korvsum(q);
    plot_group(q);
    // The tests of equal survival across strata.
    korvpol(q);
    graph_strata(q);
    // The group's pools go; computed at-risk times are made afresh per group.
    free_group_pools(q);
    if (q->art && !q->art->zexplicit) {
        q->art->n = 0;
        q->art->t = nullptr;
    }
    // The utility files are overwritten from their start by the next group.
    check_file(xcpoint(q->utid, 0));
    if (q->zplot && q->utid1)
        check_file(xcpoint(q->utid1, 0));
}

void cifPath(KORVCOM* q)
{
    CMPRISK* c = q->cmprisk;
    c->ntype = c->nFailcode;
    // The competing-risks data pass; a group without usable data or
    // without any event ends here, its pools deleted, and the next group
    // goes on.
    const int before = q->rc;
    if (korvdac(q) != 0) {
        free_group_pools(q);
        group_not_analysed(q, before);
        return;
    }
    ++g_tally.analysed;
    const int n = c->ntype;
    // One failure code: the output is grouped under it.
    xobop group = nullptr;
    if (q->zprint && n == 2 && q->vdq && c->nmStatus && c->type) {
        const NAMESTR* nm = c->nmStatus;
        WOB_PARM_BLK_STR pb[] = {
            wob_key(WOB_TAG_NAME, vdqtxt("Failcode", 8)),
            wob_key(WOB_TAG_LABEL,
                    vdqtxts("%*s=%g", 6, static_cast<int>(nm->namelen), nm->name_p, c->type[1])),
            wob_double(WOB_TAG_GROUPNUM, c->type[1]),
            wob_flag(WOB_TAG_FLAG435, 0),
            wob_flag(286, 0),
            wob_key(WOB_TAG_KIND, vdqtxt(nm->name_p, nm->namelen)),
            wob_object(WOB_TAG_OUT, nullptr),
        };
        wobcall(q->vdq, WOB_SEL_MAKE_GROUP, pb);
        group = pb[6].value.o;
        korvct2(q, c->nmStatus, c->type[1]);
    }
    // Gray's test and the cumulative incidence.
    const bool test = q->HomTest && c->disallow == 0;
    if (test)
        korvcit(q);
    if (q->Summary || q->Surv || q->Phantom || q->fileouts)
        korvcif(q);
    // The test table.
    if (test && q->vdq) {
        const char* templ = n == 2 ? "Stat.Korvante.GrayTest2" : "Stat.Korvante.GrayTest";
        if (n > 2)
            wobcall(q->vdq, WOB_SEL_PAGE);
        WOB_PARM_BLK_STR dyn[] = {wob_key(WOB_TAG_DYNNAME, vdqtxt("printStatus", 11)),
                                  wob_int(WOB_TAG_DYNVALUE, n != 2 ? 1 : 0)};
        WOB_PARM_BLK_STR pb[] = {
            wob_object(WOB_TAG_OBJECT, nullptr),
            wob_object(WOB_TAG_OBJECT, q->HomTest),
            wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1)),
            wob_list(WOB_TAG_DYNLIST, dyn, 2),
        };
        wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
        q->output = pb[0].value.o;
        WOB_PARM_BLK_STR end[] = {wob_int(WOB_TAG_ENDDATA, 1)};
        wobcall(q->HomTest, WOB_SEL_END_DATA, end);
        WOB_PARM_BLK_STR close[] = {wob_object(WOB_TAG_OBJECT, q->output)};
        wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, close);
    }
    // The failure code's group ends, and its heading.
    if (group) {
        end_group(group);
        clear_heading(q->vdq);
    }
    // The group's node pool is not needed past the group.
    free_group_pools(q);
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
    refuse_unbuilt_requests(q);
    g_tally = GroupTally{};
    q->zby = 1;
    while (xbynext(static_cast<DSHANDLE*>(q->filein)) != 0) {
        if (q->cmprisk)
            cifPath(q);
        else
            surPath(q);
        korvrms(q);
        q->zby = 0;
    }
    // Not one group could be analysed: the step had nothing to analyse.
    if (g_tally.analysed == 0)
        q->rc = std::max(q->rc, g_tally.nothing);
    // Device graphics end after the last group.
    if (q->graphics && q->graphics->ggrafs) {
        GRAFSTR* copy = q->graphics->ggrafs;
        q->rc = std::max(q->rc, zggrend(&copy));
    }
    xexit(q->rc, 0);
}

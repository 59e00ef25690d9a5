// The GROUP= road of one stratum: the stratum's records reread with their
// GROUP= levels, each level's records estimated on their own (product-limit
// family or life table), the censoring summary rows of the levels and of
// the stratum, the stratum's plot-data table and its graphs. Also the graph
// dynamics every GROUP= graph of a BY group shares (korvpbg).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/options.h"
#include "common/rankorder.h"
#include "common/strata.h"
#include "estimate/estimate.h"
#include "estimate/graphreq.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "runtime/xccheck.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_output.h"

const bool korv_built_group = true;

namespace
{

// Work arrays of one stratum, from the BY group's work pool and given back
// when the stratum is done.
class WorkArrays
{
  public:
    explicit WorkArrays(POOLHANDLE* pool) : pool_(pool) {}
    ~WorkArrays()
    {
        for (auto& [p, n] : taken_)
            pool_->free(pool_, p, n, 0);
    }
    template <class T> T* take(int64_t count)
    {
        const int64_t bytes = std::max<int64_t>(count, 1) * static_cast<int64_t>(sizeof(T));
        void* p = xmalloc_or_exit(pool_, bytes, 0x3004);
        taken_.emplace_back(p, bytes);
        return static_cast<T*>(p);
    }

  private:
    POOLHANDLE* pool_;
    std::vector<std::pair<void*, int64_t>> taken_;
};

// Reads the stratum's records into the common block's arrays, block after
// block of its chain: times, signed frequencies, GROUP= levels and, when
// present, weights and ID values.
void readStratum(KorvPtr q, STRATA* node)
{
    XCFILE* f = q->utid;
    int64_t k = 0;
    for (NOTESTR* e = node->note; e && k < node->nobs; e = e->next) {
        const int64_t c = std::min<int64_t>(q->blockno, node->nobs - k);
        check_file(xcpntd(f, e->notet));
        check_file(xcread(f, q->times + k, static_cast<long>(8 * c)));
        check_file(xcpntd(f, e->notef));
        check_file(xcread(f, q->freqs + k, static_cast<long>(8 * c)));
        check_file(xcpntd(f, e->noteg));
        check_file(xcread(f, q->flags + k, static_cast<long>(sizeof(int) * c)));
        if (q->zwt && q->weights) {
            check_file(xcpntd(f, e->notew));
            check_file(xcread(f, q->weights + k, static_cast<long>(8 * c)));
        }
        if (q->nid > 0 && q->idlen > 0 && q->ids) {
            check_file(xcpntd(f, e->notei));
            check_file(xcread(f, q->ids + k * q->idlen, static_cast<long>(q->idlen * c)));
        }
        k += c;
    }
}

// One row of the censoring summary from the staged identification fields.
void summaryRow(KorvPtr q, double total, double censored)
{
    q->iovar[censsum_slot::TOTAL] = total;
    q->iovar[censsum_slot::FAILED] = total - censored;
    q->iovar[censsum_slot::CENSORED] = censored;
    q->iovar[censsum_slot::PCT_CENSORED] = total > 0 ? 100.0 * censored / total : korv_missing();
    wobcall(q->Summary, WOB_SEL_PUT_ROW, 0, nullptr);
}

// The results of a level, missing until its records in this stratum give
// them: a level without records here shows nothing left from another
// stratum.
void clearResults(GRPTREE* g)
{
    const double miss = korv_missing();
    for (int i = 0; i < 3; ++i)
        g->quant[i] = g->qtlower[i] = g->qtupper[i] = miss;
    g->mean = g->mse = miss;
    g->censmax = 0;
    g->fail = 0;
    g->uniqcen = 0;
}

// Outputs the stratum's plot-data table, which holds the rows of all its
// levels; its path goes to the stratum's slot of q->ogpath.
void outputPlotData(KorvPtr q, STRATA* node)
{
    std::vector<WOB_PARM_BLK_STR> pb;
    pb.push_back(wob_object(WOB_TAG_OBJECT, nullptr));
    pb.push_back(wob_object(WOB_TAG_OBJECT, q->Phantom));
    pb.push_back(wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Phantom", -1)));
    pb.push_back(wob_int(WOB_TAG_HIDDEN, (q->vdqgraph & plot_bit::PRINT_DATA) ? 0 : 1));
    if (q->ogpath)
        pb.push_back(wob_keyaddr(WOB_TAG_PATH, &q->ogpath[node->Stratum]));
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, static_cast<int>(pb.size()), pb.data());
    q->output = pb[0].value.o;
    WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA, 1);
    wobcall(q->Phantom, WOB_SEL_END_DATA, 1, &end);
    WOB_PARM_BLK_STR close = wob_object(WOB_TAG_OBJECT, q->output);
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, 1, &close);
}

// Clears the GROUP= value of a total row: the host's empty cell for a
// numeric variable, blanks for a character one.
void clearGroupValue(GRPVAR* g)
{
    if (g->nm && g->nm->ntype == 1) {
        const double empty = xgcbconst(95);
        std::memcpy(g->value + g->lenf, &empty, sizeof empty);
    } else {
        std::memset(g->value + g->lenf, ' ', static_cast<size_t>(g->lenu));
    }
}

} // namespace

void korvxsg(KorvPtr q, STRATA* node)
{
    GRPVAR* g = q->grpvar;
    if (!g || !node || node->nobs < 1 || !q->times || !q->freqs || !q->flags)
        return;
    if (node == q->strata) {
        g->cum = 0;
        g->cen = 0;
        q->str10[0] = ' ';
    }
    if (q->nsvar > 0 && q->value)
        std::memcpy(q->value, strata_key(node), static_cast<size_t>(q->slenf + q->slenu));
    q->stratumno = node->Stratum + 1;
    readStratum(q, node);

    // The levels of the BY group, and the stratum's records arranged level by
    // level (each level's records in the stratum's order): one counting pass
    // and one placing pass, whatever the number of levels.
    int ngroup = 0;
    int maxIndex = -1;
    for (GRPTREE* t = g->ghead; t; t = t->left) {
        ++ngroup;
        maxIndex = std::max(maxIndex, t->index);
    }
    const int64_t n = node->nobs;
    WorkArrays work(q->polwork);
    const int slots = maxIndex + 1;
    int64_t* start = work.take<int64_t>(slots + 1);
    for (int64_t i = 0; i < n; ++i) {
        const int x = q->flags[i];
        if (x >= 0 && x < slots)
            ++start[x + 1];
    }
    for (int x = 0; x < slots; ++x)
        start[x + 1] += start[x];
    double* gtimes = work.take<double>(n);
    double* gfreqs = work.take<double>(n);
    double* gweights = q->zwt && q->weights ? work.take<double>(n) : nullptr;
    const bool withIds = q->nid > 0 && q->idlen > 0 && q->ids;
    char* gids = withIds ? work.take<char>(n * q->idlen) : nullptr;
    {
        int64_t* at = work.take<int64_t>(slots);
        std::copy(start, start + slots, at);
        for (int64_t i = 0; i < n; ++i) {
            const int x = q->flags[i];
            if (x < 0 || x >= slots)
                continue;
            const int64_t p = at[x]++;
            gtimes[p] = q->times[i];
            gfreqs[p] = q->freqs[i];
            if (gweights)
                gweights[p] = q->weights[i];
            if (gids)
                std::memcpy(gids + p * q->idlen, q->ids + i * q->idlen,
                            static_cast<size_t>(q->idlen));
        }
    }

    // Each level of the BY group in list order, also one without records in
    // this stratum (its sums are 0 and its summary row shows them).
    double T = 0, C = 0;
    int ordinal = 0;
    for (GRPTREE* t = g->ghead; t; t = t->left) {
        g->groupno = ++ordinal;
        std::memcpy(g->value, grptree_key(t), static_cast<size_t>(g->lenf + g->lenu));
        const int64_t from = start[t->index], count = start[t->index + 1] - from;
        double cum = 0, cumwt = 0, cumwt2 = 0, cen = 0, cenwt = 0;
        for (int64_t p = from; p < from + count; ++p) {
            const double f = std::abs(gfreqs[p]);
            const double w = gweights ? gweights[p] : 1.0;
            cum += f;
            cumwt += f * w;
            cumwt2 += f * w * w;
            if (gfreqs[p] < 0) {
                cen += f;
                cenwt += f * w;
            }
        }
        t->nobs = count;
        t->cum = cum;
        t->cumwt = cumwt;
        t->cumwt2 = cumwt2;
        t->cen = cen;
        t->cenwt = cenwt;
        clearResults(t);
        T += cum;
        C += cen;
        if (count > 0) {
            korv_rank_order(gtimes + from, gfreqs + from, q->indxs, count);
            if (q->method == 1)
                korvtbg(q, node, t, gtimes + from, gfreqs + from, q->indxs);
            else
                korvplg(q, node, t, gtimes + from, gfreqs + from,
                        gweights ? gweights + from : nullptr,
                        gids ? gids + from * q->idlen : nullptr, q->indxs);
        }
        if (q->Summary)
            summaryRow(q, cum, cen);
    }

    // The stratum's total row; without STRATA variables it is the BY group's
    // total.
    if (q->Summary) {
        const double number = q->stratumno;
        if (q->nsvar == 0) {
            q->stratumno = xgcbconst(84);
            q->str10[0] = '-';
        } else {
            q->stratumno = xgcbconst(83);
        }
        clearGroupValue(g);
        korvbsv(q);
        summaryRow(q, T, C);
        q->stratumno = number;
    }
    g->cum += T;
    g->cen += C;

    // The plot data of every level of the stratum, then its graphs.
    if (q->vdqgraph != 0 && q->Phantom && q->vdq) {
        outputPlotData(q, node);
        NoteLevelsPastLegend(q, node);
        if ((q->vdqgraph & plot_bit::SURVIVAL) && !(q->vdqgraph & plot_bit::PANEL) &&
            !GroupSurvivalAfterTest(q))
            StratumSpecificSurvival(q, node, ngroup);
        if (q->vdqgraph &
            (plot_bit::LOGSURV | plot_bit::LOGLOGS | plot_bit::HAZARD | plot_bit::DENSITY))
            StratumSpecificOthers(q, node, ngroup);
    }
}

void korvpbg(KorvPtr q)
{
    GRPVAR* g = q->grpvar;
    if (!g)
        return;
    const int v = q->vdqgraph;
    ATRISKTIME* art = q->art;
    std::vector<WOB_PARM_BLK_STR> b;
    auto pair = [&b](const char* name, const WOB_PARM_BLK_STR& value) {
        b.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxt(name, -1)));
        b.push_back(value);
    };
    const int cl = (v & plot_bit::CL) ? 1 : 0;
    const int hw = (v & plot_bit::HW_BAND) ? 1 : 0;
    const int ep = (v & plot_bit::EP_BAND) ? 1 : 0;
    pair("plotCL", wob_int(WOB_TAG_DYNVALUE, cl));
    pair("plotHW", wob_int(WOB_TAG_DYNVALUE, hw));
    pair("plotEP", wob_int(WOB_TAG_DYNVALUE, ep));
    pair("plotBand", wob_int(WOB_TAG_DYNVALUE, hw + ep));
    pair("plotAtRisk", wob_int(WOB_TAG_DYNVALUE, art ? 1 : 0));
    if (art) {
        // The at-risk table's rows are named by the levels' values when the
        // longest of them fits, else by their numbers.
        int longest = 0;
        for (GRPTREE* t = g->ghead; t; t = t->left) {
            int len = 0, at = 0;
            wzstjls(grptree_key(t), g->lenf, 'n', &len, &at);
            longest = std::max(longest, len);
        }
        const bool named = g->nm && longest <= art->smaxlen;
        pair("classAtRisk", wob_key(WOB_TAG_DYNVALUE, named ? vdqtxt(g->nm->name_p, g->nm->namelen)
                                                            : vdqtxt("GroupNum", -1)));
        if (art->zticklabel) {
            pair("xtickVals",
                 wob_key(WOB_TAG_DYNVALUE, vdqtxt(art->ticklabel ? art->ticklabel : "",
                                                  art->ticklabel ? art->ticklablen : 0)));
            pair("xtickValFitPol", wob_key(WOB_TAG_DYNVALUE, vdqtxt("STAGGERROTATE", -1)));
            // The tick text is taken once per BY group.
            korv_release_ticklabel(q);
        }
        if (art->zoutside)
            pair("rowWeights",
                 wob_key(WOB_TAG_DYNVALUE, wzmis(art->awt)
                                               ? vdqtxt("PREFERRED", -1)
                                               : vdqtxts("%g %g", 5, 1 - art->awt, art->awt)));
    }
    auto* blocks = static_cast<WOB_PARM_BLK_STR*>(xmalloc_or_exit(
        q->polnode, static_cast<int64_t>(b.size() * sizeof(WOB_PARM_BLK_STR)), 0x3004));
    std::copy(b.begin(), b.end(), blocks);
    g->plotmisc = blocks;
    g->nplotmisc = static_cast<int>(b.size());
}

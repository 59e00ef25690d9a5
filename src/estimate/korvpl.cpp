// The per-stratum estimators of the product-limit family: korvpl (without a
// WEIGHT variable) and korvwpl (with one). Each runs the estimation core over
// the stratum's ranked records and delivers its rows to the estimates table,
// OUTSURV=, the plot data and the line-printer plot points, then prints the
// quartiles and the mean and leaves them in the stratum node.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/strata.h"
#include "estimate/estimate.h"
#include "estimate/graphreq.h"
#include "estimate/korvkrn.h"
#include "estimate/plotdata.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "runtime/xccheck.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_output.h"

using namespace korv_est;

namespace
{

// Decimals with which `value` prints in `width` columns (one kept for the
// sign): as many as the value needs, at most what the width leaves.
int printDecimals(double value, int width)
{
    if (wzmis(value) || !std::isfinite(value))
        return 0;
    double a = std::fabs(value);
    int intDigits = a < 1 ? 1 : static_cast<int>(std::floor(std::log10(a))) + 1;
    int room = width - 1 - intDigits - 1;
    if (room <= 0)
        return 0;
    for (int d = 0; d < room; ++d) {
        double scale = std::pow(10.0, d);
        if (std::fabs(std::round(a * scale) - a * scale) < 1e-9 * std::max(1.0, a * scale))
            return d;
    }
    return room;
}

// Blank character IDs and missing numeric IDs (the time-0 row).
void clearIds(KorvPtr q)
{
    if (q->nid <= 0 || !q->idval || !q->idptr)
        return;
    NAMESTR** ids = static_cast<NAMESTR**>(q->idptr);
    int off = 0;
    for (int i = 0; i < q->nid; ++i) {
        int len = vyr_namestr_length(*ids[i]);
        if (ids[i]->ntype == 1 && len >= 8) {
            double m = korv_missing();
            std::memcpy(q->idval + off, &m, sizeof m);
        } else {
            std::memset(q->idval + off, ' ', static_cast<size_t>(len));
        }
        off += len;
    }
}

WOB_PARM_BLK_STR dynName(const char* name)
{
    return wob_key(WOB_TAG_DYNNAME, vdqtxt(name, -1));
}

void endData(xobop data)
{
    WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA2, 1);
    wobcall(data, WOB_SEL_END_DATA, 1, &end);
}

void closeOutput(KorvPtr q, xobop note = nullptr)
{
    WOB_PARM_BLK_STR pb[2] = {wob_object(WOB_TAG_OBJECT, q->output),
                              wob_object(WOB_TAG_NOTE_OBJ, note)};
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, note ? 2 : 1, pb);
}

// Opens the stratum's plot-data table (hidden unless PRINTPHANTOM).
void openPlotTable(KorvPtr q, STRATA* node)
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
}

// Delivers a stratum's rows through the common block's bound fields.
class KorvSink : public PlSink
{
  public:
    KorvSink(KorvPtr q, int plotMode, bool failureCols)
        : q_(q), plotMode_(plotMode), failure_(failureCols), store_(q->xcb)
    {
    }
    bool censoredPrinted = false;
    const char* ids = nullptr; // ID values of the records, idlen bytes each
    std::vector<double> eventPairs, censorPairs, censorTimes;
    bool lpPlot = false, devCensor = false;
    // The line-printer plot of censored observations: its frame, this
    // stratum's row and symbol.
    PGRAFSTR* cenFrame = nullptr;
    long cenRow = 0;
    int cenSymbol = 0;
    // The event times and increments of the smoothed hazard.
    SmoothedCollector* smoothed = nullptr;

    void tableRow(const RowBuf& r) override
    {
        load(r);
        if (r.idrec > 0 && q_->nid > 0 && ids && q_->idval)
            std::memcpy(q_->idval, ids + (r.idrec - 1) * q_->idlen, static_cast<size_t>(q_->idlen));
        if (r.cenchar == 1)
            censoredPrinted = true;
        wobcall(q_->Surv, WOB_SEL_PUT_ROW, 0, nullptr);
    }
    void outRow(const RowBuf& r, const char* word) override
    {
        load(r);
        int st = xyvput(static_cast<XVHANDLE*>(q_->svput), word);
        if (st != 0)
            xofprc(static_cast<DSHANDLE*>(q_->fileouts), st, 4);
    }
    void plotRow(const RowBuf& r) override
    {
        if (plotMode_ == 1) {
            load(r);
            korv_plot_mirrors(q_, failure_);
            wobcall(q_->Phantom, WOB_SEL_PUT_ROW, 0, nullptr);
            return;
        }
        double rec[PLOTREC_FIELDS];
        for (int i = 0; i < PLOTREC_FIELDS; ++i)
            rec[i] = r.io[pl_slot::PLOT_RECORD[i]];
        const double miss = korv_missing();
        bool censored = !wzmis(r.io[pl_slot::CENSORED]);
        if (censored) {
            for (int i = 5; i <= 8; ++i)
                rec[i] = miss;
            rec[9] = 0;
        } else if (rec[1] == 0 && (wzmis(rec[3]) || wzmis(rec[4]))) {
            rec[3] = rec[4] = 0;
        }
        store_.put(rec);
    }
    void stepDone(const PlStep& st) override
    {
        if (lpPlot) {
            if (st.censored) {
                censorPairs.push_back(st.S);
                censorPairs.push_back(st.time);
            } else if (st.eventTime) {
                if (st.time > 0)
                    q_->tmin = std::min(q_->tmin, st.time);
                q_->smax = std::max(q_->smax, st.S);
                if (st.S > 0)
                    q_->smin = std::min(q_->smin, st.S);
                eventPairs.push_back(st.S);
                eventPairs.push_back(st.time);
            }
        }
        if (devCensor && st.censored)
            censorTimes.push_back(st.time);
        if (cenFrame && st.censored && st.time <= q_->pgtmax)
            cenplot(cenFrame, st.time, cenRow, cenSymbol);
        if (smoothed)
            smoothed->step(st);
    }
    PlotStore& store() { return store_; }

  private:
    void load(const RowBuf& r)
    {
        std::memcpy(q_->iovar, r.io, sizeof r.io);
        q_->cenchar = r.cenchar;
        q_->cenval = r.cenval;
    }
    KorvPtr q_;
    int plotMode_;
    bool failure_;
    PlotStore store_;
};

// The Quartiles table, the bias note and the Means table of a stratum.
void summaryTables(KorvPtr q, const PlEngine& e)
{
    WOB_PARM_BLK_STR gp[] = {
        wob_key(WOB_TAG_NAME, vdqtxt("TimeSummary", -1)),
        wob_key(WOB_TAG_LABEL,
                vdqmsgs(326, msg326::TIME_SUMMARY, static_cast<int>(q->timename.l), q->timename.s)),
        wob_int(WOB_TAG_FLAG435, 0),
        wob_object(WOB_TAG_OUT, nullptr),
    };
    wobcall(q->vdq, WOB_SEL_MAKE_GROUP, 4, gp);
    xobop group = gp[3].value.o;
    {
        WOB_PARM_BLK_STR note[] = {
            wob_key(WOB_TAG_NAME, vdqtxt("SummaryNote", -1)),
            wob_int(WOB_TAG_371, 2),
            wob_char(WOB_TAG_JUST, 'c'),
            wob_key(WOB_TAG_TEXT, vdqmsgs(326, msg326::QUARTILE_MEAN_NOTE,
                                          static_cast<int>(q->timename.l), q->timename.s)),
            wob_int(WOB_TAG_NOTE_LINES, 12),
        };
        wobcall(q->vdq, WOB_SEL_NOTE, 5, note);
    }
    // Quartiles.
    {
        WOB_PARM_BLK_STR pb[] = {
            wob_object(WOB_TAG_OBJECT, nullptr),
            wob_object(WOB_TAG_OBJECT, q->Quantile),
            wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Quartiles", -1)),
            dynName("TimeNDec"),
            wob_int(WOB_TAG_DYNVALUE, q->timedec),
            dynName("Confidence"),
            wob_double(WOB_TAG_DYNVALUE, 100 * (1 - q->qtalpha)),
        };
        wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, 7, pb);
        q->output = pb[0].value.o;
        std::memcpy(q->typetype, korv_conftype_word(q->conftype), 8);
        static const double percent[3] = {75, 50, 25};
        for (int i = 0; i < 3; ++i) {
            q->iovar[quartile_slot::PERCENT] = percent[i];
            q->iovar[quartile_slot::ESTIMATE] = e.quant[i];
            q->iovar[quartile_slot::LOWER] = e.qtlower[i];
            q->iovar[quartile_slot::UPPER] = e.qtupper[i];
            wobcall(q->Quantile, WOB_SEL_PUT_ROW, 0, nullptr);
        }
        endData(q->Quantile);
        closeOutput(q);
    }
    // The bias note and the Means table.
    static const int notes[7] = {0,
                                 msg0::MEAN_NOTE_TIMELIM,
                                 msg0::MEAN_NOTE_LAST_TIME,
                                 msg0::MEAN_NOTE_TIMELIM_CENSORED,
                                 msg0::MEAN_NOTE_LAST_EVENT,
                                 msg0::MEAN_NOTE_TIMELIM_EVENT,
                                 0};
    int code = e.biasCode;
    xobop note = nullptr;
    if (code >= 0 && code <= 6 && notes[code] != 0)
        note = wobtitle(q->vdq, vdqmsg(0, notes[code]), 'l');
    {
        WOB_PARM_BLK_STR pb[] = {
            wob_object(WOB_TAG_OBJECT, nullptr),
            wob_object(WOB_TAG_OBJECT, q->Mean),
            wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Means", -1)),
            dynName("TimeNDec"),
            wob_int(WOB_TAG_DYNVALUE, q->timedec),
            wob_object(WOB_TAG_NOTE_OBJ, note),
        };
        wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, note ? 6 : 5, pb);
        q->output = pb[0].value.o;
        std::memset(q->meanbias, ' ', sizeof q->meanbias);
        xpmstr(q->meanbias, static_cast<int>(sizeof q->meanbias), 326,
               msg326::MEAN_RESTRICTION + code);
        q->iovar[mean_slot::MEAN] = e.mean;
        q->iovar[mean_slot::STDERR] = e.mse;
        wobcall(q->Mean, WOB_SEL_PUT_ROW, 0, nullptr);
        endData(q->Mean);
        closeOutput(q);
    }
    int r = wobzoom(group, 3, 4, 0, nullptr);
    if (r < 0)
        zvdqexit(r);
}

// The number format of the count columns: the width of the largest
// cumulative count, no decimals; fractional frequencies (NOTRUNCATE) and
// weights get the general format. False when the records cannot be
// estimated: the Fleming-Harrington method needs whole frequencies.
bool countFormat(KorvPtr q, const PlUnit& u, bool weighted, int* numWidth, int* numDec)
{
    *numWidth = 8;
    *numDec = 98;
    if (weighted)
        return true;
    if (q->znotrunc && !integralFreqs(u.freqs, static_cast<long>(u.nobs))) {
        if (q->method == 3) {
            xpmlog(326, msg326::FH_FRACTIONAL_FREQ);
            q->rc = std::max(q->rc, 2000);
            // No estimates: later stages must not read zeros as results.
            const double miss = korv_missing();
            double* quant = u.group ? u.group->quant : u.stratum->quant;
            double* lower = u.group ? u.group->qtlower : u.stratum->qtlower;
            double* upper = u.group ? u.group->qtupper : u.stratum->qtupper;
            for (int i = 0; i < 3; ++i)
                quant[i] = lower[i] = upper[i] = miss;
            if (u.group)
                u.group->mean = u.group->mse = miss;
            else
                u.stratum->mean = u.stratum->mse = miss;
            return false;
        }
        return true;
    }
    *numWidth = static_cast<int>(std::log10(q->maxscum + 1)) + 1;
    *numDec = 0;
    return true;
}

// Opens the printed estimates table of the method.
void openEstimatesTable(KorvPtr q, bool weighted, const PlOutputs& out, int numWidth, int numDec)
{
    const char* templ;
    if (weighted)
        templ = q->zNelson ? "Stat.Korvante.ProductLimitEstimates0"
                           : "Stat.Korvante.WeightedProductLimitEstimates";
    else if (q->method == 2)
        templ = q->zNelson ? "Stat.Korvante.BreslowEstimates0" : "Stat.Korvante.BreslowEstimates";
    else if (q->method == 3)
        templ = q->zNelson ? "Stat.Korvante.FlemingEstimates0" : "Stat.Korvante.FlemingEstimates";
    else
        templ = q->zNelson ? "Stat.Korvante.ProductLimitEstimates0"
                           : "Stat.Korvante.ProductLimitEstimates";
    int tlDec = out.timelist ? printDecimals(q->timelist[q->ntime - 1], 8) : 0;
    WOB_PARM_BLK_STR pb[] = {
        wob_object(WOB_TAG_OBJECT, nullptr),
        wob_object(WOB_TAG_OBJECT, q->Surv),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1)),
        dynName("TimeNDec"),
        wob_int(WOB_TAG_DYNVALUE, q->timedec),
        dynName("TimelistNDec"),
        wob_int(WOB_TAG_DYNVALUE, tlDec),
        dynName("NumWidth"),
        wob_int(WOB_TAG_DYNVALUE, numWidth),
        dynName("NumDec"),
        wob_int(WOB_TAG_DYNVALUE, numDec),
    };
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, 11, pb);
    q->output = pb[0].value.o;
    clearIds(q);
}

// The counts and results of the stratum or group, for the tables and the
// later stages. A group keeps no censored plot points.
template <class Node> void keepResults(Node* node, const PlEngine& engine, int64_t uniqcen)
{
    node->censmax = engine.censmax;
    node->fail = 1 + engine.eventTimes;
    node->uniqcen = uniqcen;
    for (int i = 0; i < 3; ++i) {
        node->quant[i] = engine.quant[i];
        node->qtlower[i] = engine.qtlower[i];
        node->qtupper[i] = engine.qtupper[i];
    }
    node->mean = engine.mean;
    node->mse = engine.mse;
}

// Line-printer plot points, (1, 0), the event pairs and the censoring pairs
// padded to nobs + 1 pairs, and the device-graphics censoring times.
void writePlotPoints(KorvPtr q, STRATA* node, const KorvSink& sink)
{
    if (sink.lpPlot) {
        std::vector<double> pairs;
        pairs.reserve(static_cast<size_t>(2 * (node->nobs + 1)));
        pairs.push_back(1.0);
        pairs.push_back(0.0);
        pairs.insert(pairs.end(), sink.eventPairs.begin(), sink.eventPairs.end());
        pairs.insert(pairs.end(), sink.censorPairs.begin(), sink.censorPairs.end());
        pairs.resize(static_cast<size_t>(2 * (node->nobs + 1)), 0.0);
        check_file(xcnoted(q->utid1, &node->plotnote));
        check_file(
            xcwrite(q->utid1, pairs.data(), static_cast<long>(pairs.size() * sizeof(double))));
    }
    if (sink.devCensor) {
        check_file(xcnoted(q->graphics->utid, &node->cplotpos));
        if (!sink.censorTimes.empty())
            check_file(xcwrite(q->graphics->utid, sink.censorTimes.data(),
                               static_cast<long>(sink.censorTimes.size() * sizeof(double))));
    }
}

// Ends the tables of a stratum or group: the estimates table with its note
// on censored rows, the plot data (after the estimates when both are made),
// and the time summary. A group's plot records join the stratum's plot-data
// table, which the GROUP= driver outputs once after the last group.
void closeTables(KorvPtr q, const PlEngine& engine, KorvSink& sink, int plotMode, bool printed,
                 bool timelist, const PlUnit& u, double bandmax)
{
    auto finishPlotData = [&] {
        if (plotMode == 2) {
            sink.store().finish();
            XcbToTable(q, q->xcb, sink.store().count(), bandmax);
        }
        if (u.group)
            return;
        endData(q->Phantom);
        closeOutput(q);
    };
    if (!printed) {
        if (plotMode != 0)
            finishPlotData();
        return;
    }
    endData(q->Surv);
    if (sink.censoredPrinted && !timelist) {
        xobop foot = wobtitle(q->vdq, vdqmsg(0, msg0::CENSOR_MARK_NOTE), 'c');
        closeOutput(q, foot);
    } else {
        closeOutput(q);
    }
    if (plotMode != 0) {
        if (!u.group)
            openPlotTable(q, u.stratum);
        finishPlotData();
    }
    summaryTables(q, engine);
}

// The unit a band note speaks of: the stratum, and the GROUP= level
// within it ("of g = A in stratum 2").
std::string bandUnit(KorvPtr q, const PlUnit& u)
{
    const std::string stratum = korv_of_stratum(q);
    const GRPVAR* g = q->grpvar;
    if (!u.group || !g || !g->nm)
        return stratum;
    int len = 0, start = 0;
    wzstjls(grptree_key(u.group), g->lenf, 'n', &len, &start);
    std::string level = " of " + std::string(g->nm->name_p, g->nm->namelen) + " = " +
                        std::string(grptree_key(u.group) + start, static_cast<size_t>(len));
    if (q->nsvar > 0)
        level += " in stratum " + std::to_string(static_cast<int>(q->stratumno));
    return level;
}

// A band asked for that has no limit anywhere is said in a note, with the
// reason, rather than left as columns of missing values.
void bandNotes(KorvPtr q, const PlUnit& u, int choice, const BandRange& r, const BandInput& in)
{
    const std::string which = bandUnit(q, u);
    for (const bool hw : {true, false}) {
        if (!(hw ? choice == 1 || choice == 3 : choice == 2 || choice == 3))
            continue;
        const char* name = hw ? "Hall-Wellner" : "equal-precision";
        const double lower = hw ? r.lowerHW : r.lowerEP;
        switch (bandGap(in, r, hw)) {
        case BandGap::None:
            break;
        case BandGap::NoEvent:
            xpmlog(326, msg326::BAND_NO_EVENT, name, which.c_str());
            break;
        case BandGap::LastEventOnly:
            xpmlog(326, msg326::BAND_LAST_EVENT_ONLY, name, which.c_str(), r.lastEvent);
            break;
        case BandGap::NoEventInRange:
            xpmlog(326, msg326::BAND_WITHOUT_EVENT, name, which.c_str(), lower, r.upper);
            break;
        case BandGap::OneEventTime:
            xpmlog(326, msg326::BAND_ONE_EVENT_TIME, which.c_str(), lower, lower);
            break;
        case BandGap::NoCritical:
            xpmlog(326, msg326::BAND_NO_CRITICAL_VALUE, name, which.c_str(), lower, r.upper);
            break;
        }
    }
}

// Hidden plot data are thinned to the censoring marks a graph can draw
// apart; PRINTPHANTOM shows every record's row. The rows the plot-data
// table takes its at-risk counts and band end from stay.
void thinMarks(KorvPtr q, int plotMode, const PlEngine& engine, int64_t nobs, PlOutputs& out)
{
    if (plotMode == 0 || (q->vdqgraph & plot_bit::PRINT_DATA) || nobs < 1)
        return;
    out.thinMarks = true;
    const double last = engine.rankedTime(nobs - 1);
    out.markEnd = q->zmaxtime ? std::min(last, q->maxtime) : last;
    std::vector<double>& keep = out.keepTimes;
    if (plotMode == 2 && q->art && q->art->t)
        keep.assign(q->art->t, q->art->t + q->art->n);
    if (plotMode == 2 && out.bands && out.bands->range.upper >= 0)
        keep.push_back(out.bands->range.upper);
    std::sort(keep.begin(), keep.end());
}

// The bands: CONFBAND= and the bands the survival plot asks for, made into
// `bands` and handed to the outputs. Their critical values come from the
// unweighted risk sets even with WEIGHT.
void makeBands(KorvPtr q, const PlUnit& u, PlBands& bands, PlOutputs& out)
{
    const int choice = korv_band_choice(q->confband, q->vdqgraph);
    if (choice == 0)
        return;
    BandInput in;
    in.times = u.times;
    in.freqs = u.freqs;
    in.indxs = u.indxs;
    in.nobs = u.nobs;
    in.cum = u.cum;
    BandSettings bs;
    bs.bandmin = q->bandmin;
    bs.bandmax = q->bandmax;
    bs.alpha = q->alpha;
    BandRange range = bandRange(in, choice, bs);
    range.n = u.cum;
    bands = PlBands::make(range, choice, q->conftype);
    out.bands = &bands;
    bandNotes(q, u, choice, range, in);
}

} // namespace

std::string korv_of_stratum(KorvPtr q)
{
    if (q->nsvar <= 0)
        return std::string();
    return " of stratum " + std::to_string(static_cast<int>(q->stratumno));
}

namespace korv_est
{

// The estimator of one stratum or of one GROUP= level within it, with or
// without weights.
void korv_pl_estimate(KorvPtr q, const PlUnit& u, bool weighted)
{
    if (u.nobs < 1)
        return;
    const int64_t nobs = u.nobs;
    STRATA* node = u.stratum;
    const bool group = u.group != nullptr;
    int numWidth = 8, numDec = 98;
    if (!countFormat(q, u, weighted, &numWidth, &numDec))
        return;

    // Plot data: none, rows straight into the table (1), or records through
    // the paged store (2) when limits, bands or at-risk ticks are plotted.
    int plotMode = 0;
    if (q->vdqgraph != 0 && q->Phantom)
        plotMode =
            ((q->vdqgraph & (plot_bit::CL | plot_bit::HW_BAND | plot_bit::EP_BAND)) || q->art) &&
                    q->xcb
                ? 2
                : 1;
    const bool failureCols = (q->vdqgraph & plot_bit::FAILURE) &&
                             !(q->vdqgraph & (plot_bit::OVERLAY | plot_bit::INDIVIDUAL));
    const bool printed = q->zprint && !q->znotable;
    // A group with nothing to deliver is not estimated (the line-printer
    // plots, which a stratum may still need, do not exist with GROUP=).
    if (group && !printed && !q->fileouts && plotMode == 0)
        return;

    PlOutputs out;
    out.printed = printed;
    out.outsurv = q->fileouts != nullptr;
    out.reduce = q->zreduce != 0;
    out.plot = plotMode != 0;
    if (q->ztimelst && q->ntime > 0) {
        out.timelist = q->timelist;
        out.ntime = q->ntime;
    }
    if (q->zinter && q->ninter > 0) {
        out.interval = q->interval;
        out.ninter = q->ninter;
    }

    PlData data;
    data.times = u.times;
    data.freqs = u.freqs;
    data.weights = weighted ? u.weights : nullptr;
    data.indxs = u.indxs;
    data.nobs = nobs;
    data.cum = u.cum;
    data.cen = u.cen;
    data.cumwt = u.cumwt;
    data.cumwt2 = u.cumwt2;
    // The counts still ahead of each ranked record come from the group's
    // work pool (returned after the stratum), so that MEMSIZE= governs them.
    const int64_t aheadBytes = (nobs + 1) * static_cast<int64_t>(sizeof(double));
    // A stratum prepared ahead brings them added up.
    const bool aheadMade = !group && u.ahead && (!weighted || u.ahead2);
    if (aheadMade) {
        data.ahead = u.ahead;
        data.ahead2 = weighted ? u.ahead2 : nullptr;
        data.aheadFilled = true;
    } else if (q->polwork) {
        data.ahead = static_cast<double*>(xmalloc_or_exit(q->polwork, aheadBytes, 0x2000));
        if (weighted)
            data.ahead2 = static_cast<double*>(xmalloc_or_exit(q->polwork, aheadBytes, 0x2000));
    }
    // The records in rank order, as the reread left them; a group's are not
    // those, and the engine gathers them into the same space.
    data.rankedTimes = q->rtimes;
    data.rankedFreqs = q->rfreqs;
    data.rankedWeights = weighted ? q->rweights : nullptr;
    data.rankedFilled = !group && q->rtimes && q->rfreqs && (!weighted || q->rweights);
    PlSettings set;
    set.method = weighted ? 0 : q->method;
    set.weighted = weighted;
    set.conftype = q->conftype;
    set.critical = q->critical;
    set.qtcritical = q->qtcritical;
    set.restric = q->restric;
    PlEngine engine(data, set);

    PlBands bands;
    makeBands(q, u, bands, out);

    thinMarks(q, plotMode, engine, nobs, out);
    KorvSink sink(q, plotMode, failureCols);
    sink.ids = u.ids;
    if (!group) {
        sink.lpPlot = q->zplot != 0 && q->utid1 != nullptr;
        sink.devCensor = q->zplot && q->zcensplot && q->graphics && q->graphics->utid;
        if (q->zplot && q->zcensplot && !q->graphics && q->grafc && q->stratumno >= 1) {
            sink.cenFrame = static_cast<PGRAFSTR*>(q->grafc);
            sink.cenRow = static_cast<long>(q->stratumno) - 1;
            sink.cenSymbol = q->symbols[sink.cenRow % 26];
        }
        if (q->nsvar > 0 && q->value)
            std::memcpy(q->value, strata_key(node), static_cast<size_t>(q->slenf + q->slenu));
    }
    if (printed)
        openEstimatesTable(q, weighted, out, numWidth, numDec);
    else if (plotMode != 0 && !group)
        openPlotTable(q, node);
    // A group's records start again at the store's first page.
    if (plotMode == 2)
        sink.store().begin(q->xcb);
    std::optional<SmoothedCollector> smoothed;
    if (q->kmhaz && !group) {
        smoothed.emplace(q, node);
        sink.smoothed = &*smoothed;
    }

    korv_pl_run(engine, out, sink);
    if (q->polwork && !aheadMade) {
        q->polwork->free(q->polwork, data.ahead, aheadBytes, 0);
        q->polwork->free(q->polwork, data.ahead2, aheadBytes, 0);
    }
    if (group) {
        keepResults(u.group, engine, 0);
    } else {
        keepResults(node, engine, engine.censoredRecords);
        writePlotPoints(q, node, sink);
    }
    closeTables(q, engine, sink, plotMode, printed, out.timelist != nullptr, u,
                out.bands ? bands.range.upper : DBL_MAX);
    // The stratum's graphs, once its plot data are complete (a group's are
    // the GROUP= road's, made once every group of the stratum is done).
    if (group)
        return;
    if (plotMode != 0)
        vdqplots(q, node, weighted);
    if (q->kmhaz)
        korv_smoothed_stage(q, node, weighted);
}

} // namespace korv_est

namespace
{

// The unit of one stratum whose records korvbeg has reread and ranked.
PlUnit stratumUnit(KorvPtr q, STRATA* node)
{
    PlUnit u;
    u.stratum = node;
    u.times = q->times;
    u.freqs = q->freqs;
    u.weights = q->weights;
    u.ids = q->ids;
    u.indxs = q->indxs;
    u.nobs = node->nobs;
    u.cum = node->cum;
    u.cen = node->cen;
    u.cumwt = node->cumwt;
    u.cumwt2 = node->cumwt2;
    return u;
}

} // namespace

void korvpl(KorvPtr q, STRATA* node)
{
    if (node)
        korv_pl_estimate(q, stratumUnit(q, node), false);
}

void korvwpl(KorvPtr q, STRATA* node)
{
    if (node)
        korv_pl_estimate(q, stratumUnit(q, node), true);
}

void korvpl_counted(KorvPtr q, STRATA* node, double* ahead)
{
    if (!node)
        return;
    PlUnit u = stratumUnit(q, node);
    u.ahead = ahead;
    korv_pl_estimate(q, u, false);
}

void korvwpl_counted(KorvPtr q, STRATA* node, double* ahead, double* ahead2)
{
    if (!node)
        return;
    PlUnit u = stratumUnit(q, node);
    u.ahead = ahead;
    u.ahead2 = ahead2;
    korv_pl_estimate(q, u, true);
}

long nJumps(KorvPtr q, STRATA* node)
{
    return korv_njumps(q->times, q->freqs, q->indxs, node->nobs);
}

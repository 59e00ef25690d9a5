// Life-table (actuarial) estimates of one stratum over the intervals of the
// BY group: the events and withdrawals of each interval, the conditional
// probability of failure, the survival at the start of the interval, the
// density and hazard at its midpoint and the median residual lifetime, each
// with its standard error; then the rows of the LifetableEstimates table,
// OUTSURV=, the plot data with the stratum's graphs, and the records of the
// line-printer plots.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/strata.h"
#include "estimate/estimate.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "runtime/xccheck.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_output.h"

const bool korv_built_lifetable = true;

namespace korv_lt
{
namespace
{

constexpr double kTol = 1.110223024625157e-13;

// The standard error of a variance, missing for -1 (none formed).
double stderrOf(double var)
{
    return var >= 0 ? std::sqrt(var) : korv_missing();
}

double oneMinus(double v)
{
    return wzmis(v) ? korv_missing() : 1 - v;
}

} // namespace

double bin(LIFETABLE* rows, const Intervals& iv, const double* times, const double* freqs,
           const int64_t* indxs, int64_t nobs)
{
    const int ninter = iv.ninter;
    for (int j = 0; j < ninter; ++j)
        rows[j] = LIFETABLE{};
    if (ninter < 1)
        return 0;
    int j = 0, k = 1;
    double u = ninter > 1 ? iv.bounds[1] : DBL_MAX;
    for (int64_t r = 0; r < nobs; ++r) {
        const int64_t i = std::llabs(indxs[r]);
        const double t = times[i - 1];
        const double f = freqs[i - 1];
        // A time at a boundary belongs to the interval that starts there;
        // the records come in increasing time, so the interval only moves on.
        while (t >= u) {
            j = k;
            ++k;
            u = k < ninter ? iv.bounds[k] : DBL_MAX;
        }
        if (f < 0)
            rows[j].n_with += -f;
        else
            rows[j].n_die += f;
    }
    double n_all = 0;
    for (int m = 0; m < ninter; ++m)
        n_all += rows[m].n_die + rows[m].n_with;
    return n_all;
}

int estimateRows(LIFETABLE* rows, const Intervals& iv, double n_all, double* pdfmax, double* hazmax)
{
    const double miss = korv_missing();
    const int ninter = iv.ninter;
    if (ninter < 1 || !(n_all > 0))
        return -1;
    // The frequency at risk at the start of each interval is the sum of the
    // counts binned at or after it (held in `effective` until the row is
    // estimated). Summed from the last interval down it is exactly 0 once
    // every subject has failed or withdrawn, where a running difference
    // would leave a residue of fractional frequencies and make near-empty
    // rows.
    double ahead = 0;
    for (int j = ninter - 1; j >= 0; --j) {
        ahead += rows[j].n_die + rows[j].n_with;
        rows[j].effective = ahead;
    }
    double S = 1, V = 0;
    int j = 0;
    for (;;) {
        LIFETABLE& r = rows[j];
        const double n = r.effective;
        r.surv = S;
        r.svar = S * S * V;
        const double e = n - r.n_with / 2;
        r.effective = e;
        const double q = r.n_die / e;
        const double p = 1 - q;
        r.qfail = q;
        r.qvar = q * p / e;
        const double h = j < ninter - 1 ? iv.bounds[j + 1] - iv.bounds[j] : 0;
        if (h > 0) {
            r.pden = S * q / h;
            *pdfmax = std::max(*pdfmax, r.pden);
            r.pvar = q > 0 ? r.pden * r.pden * (V + p / (q * e)) : -1;
            r.haz = 2 * q / ((1 + p) * h);
            *hazmax = std::max(*hazmax, r.haz);
            if (q > 0) {
                // h^2 (1 - x^2) / (e q) with x = h haz / 2 = q / (1 + p):
                // 1 - x^2 is 4 p / (1 + p)^2, formed from p so that it is
                // exactly 0 where everyone at risk fails (p = 0) and keeps
                // its digits however large the counts.
                const double onep = 1 + p;
                r.hvar = r.haz * r.haz * (4 * p / (onep * onep)) / (e * q);
            } else {
                r.hvar = -1;
            }
        } else {
            r.pden = r.haz = miss;
            r.pvar = r.hvar = -1;
        }
        S *= p;
        if (p > 0)
            V += q / (p * e);
        r.med = miss;
        r.mvar = -1;
        ++j;
        if (j == ninter || !(rows[j].effective > 0))
            break;
    }
    const int m = j; // rows produced
    int nintused = m - 1;
    if (!(iv.given && m == ninter) && rows[m - 1].effective > 0.1) {
        // The closing row: the survival after the last interval used, with
        // its variance; nothing happens in it.
        LIFETABLE& c = rows[m];
        c = LIFETABLE{};
        c.surv = S;
        c.svar = S * S * V;
        c.qfail = c.qvar = 0;
        c.haz = c.pden = c.med = miss;
        c.hvar = c.pvar = c.mvar = -1;
        nintused = m;
    }

    // Median residual lifetime of those entering each interval: the time
    // from its start until the survival, interpolated linearly within an
    // interval, has halved. The search only moves forward, as the halves
    // only fall.
    int k = 0;
    for (int jj = 0; jj < nintused; ++jj) {
        LIFETABLE& r = rows[jj];
        const double half = r.surv / 2;
        const double tol = half * kTol;
        auto above = [&](double s) { return s > half || std::fabs(s - half) <= tol; };
        auto below = [&](double s) { return s < half || std::fabs(s - half) <= tol; };
        while (k < nintused && !(above(rows[k].surv) && below(rows[k + 1].surv)))
            ++k;
        // An interval open above has no width to interpolate in.
        if (k >= nintused || k + 1 >= ninter) {
            k = nintused;
            r.med = miss;
            r.mvar = -1;
            continue;
        }
        const double sk = rows[k].surv, sk1 = rows[k + 1].surv;
        const double width = iv.bounds[k + 1] - iv.bounds[k];
        const double frac = sk1 != sk ? (half - sk) / (sk1 - sk) : 0;
        r.med = (iv.bounds[k] - iv.bounds[jj]) + width * frac;
        const double pd = rows[k].pden;
        r.mvar = !wzmis(pd) && pd > 0 ? std::pow(r.surv / (2 * pd), 2) / r.effective : -1;
    }
    return nintused;
}

void stageRow(const LIFETABLE* rows, int k, const Intervals& iv, const StageSettings& set,
              double* io)
{
    const double miss = korv_missing();
    const LIFETABLE& r = rows[k];
    io[lt_slot::LOWER] = k < iv.ninter ? iv.bounds[k] : miss;
    const bool upper = k + 1 < iv.ninter && r.effective > 1e-12;
    io[lt_slot::UPPER] = upper ? iv.bounds[k + 1] : miss;
    // std::midpoint: the bounds' sum passes the largest double where the
    // bounds near it, the midpoint never does.
    io[lt_slot::MIDPOINT] = upper ? std::midpoint(iv.bounds[k], iv.bounds[k + 1]) : miss;
    io[lt_slot::SURV] = r.surv;
    const double se = stderrOf(r.svar);
    io[lt_slot::STDERR] = se;
    io[lt_slot::LCL] = io[lt_slot::UCL] = miss;
    if (!wzmis(se))
        korvwcl(set.conftype, se, set.critical, r.surv, &io[lt_slot::LCL], &io[lt_slot::UCL]);
    if (set.failure) {
        io[lt_slot::FAIL] = oneMinus(r.surv);
        io[lt_slot::CDF_LCL] = oneMinus(io[lt_slot::UCL]);
        io[lt_slot::CDF_UCL] = oneMinus(io[lt_slot::LCL]);
    }
    // Density and hazard with their plain limits, the lower one kept at 0.
    auto rate = [&](double v, double var, int s, int sse, int su, int sl) {
        io[s] = v;
        const double e = wzmis(v) ? miss : stderrOf(var);
        io[sse] = e;
        if (wzmis(e)) {
            io[su] = io[sl] = miss;
        } else {
            io[su] = v + set.critical * e;
            io[sl] = std::max(v - set.critical * e, 0.0);
        }
    };
    rate(r.pden, r.pvar, lt_slot::PDF, lt_slot::PDF_STDERR, lt_slot::PDF_UCL, lt_slot::PDF_LCL);
    rate(r.haz, r.hvar, lt_slot::HAZARD, lt_slot::HAZARD_STDERR, lt_slot::HAZARD_UCL,
         lt_slot::HAZARD_LCL);
}

void stageTableRow(const LIFETABLE& r, double* io)
{
    const double miss = korv_missing();
    io[lt_slot::FAIL] = oneMinus(r.surv);
    io[lt_slot::COND_FAIL] = r.qfail;
    io[lt_slot::COND_STDERR] = stderrOf(r.qvar);
    io[lt_slot::FAILED] = r.n_die;
    io[lt_slot::CENSORED] = r.n_with;
    io[lt_slot::EFF_SIZE] = r.effective;
    const bool med = !wzmis(r.med) && r.med > 0;
    io[lt_slot::MED_RESID] = med ? r.med : miss;
    io[lt_slot::MED_STDERR] = med ? stderrOf(r.mvar) : miss;
}

} // namespace korv_lt

namespace
{

using korv_lt::Intervals;

Intervals intervalsOf(KorvPtr q)
{
    Intervals iv;
    iv.bounds = q->interval;
    iv.ninter = q->interval ? q->ninter : 0;
    iv.given = q->zinter != 0;
    return iv;
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

void closeOutput(KorvPtr q)
{
    WOB_PARM_BLK_STR pb = wob_object(WOB_TAG_OBJECT, q->output);
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, 1, &pb);
}

// Opens the stratum's plot-data table (hidden unless PRINTPHANTOM).
void openPlotData(KorvPtr q, STRATA* node, int vdqgraph)
{
    std::vector<WOB_PARM_BLK_STR> pb;
    pb.push_back(wob_object(WOB_TAG_OBJECT, nullptr));
    pb.push_back(wob_object(WOB_TAG_OBJECT, q->Phantom));
    pb.push_back(wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Phantom", -1)));
    pb.push_back(wob_int(WOB_TAG_HIDDEN, (vdqgraph & plot_bit::PRINT_DATA) ? 0 : 1));
    if (q->ogpath)
        pb.push_back(wob_keyaddr(WOB_TAG_PATH, &q->ogpath[node->Stratum]));
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, static_cast<int>(pb.size()), pb.data());
    q->output = pb[0].value.o;
}

} // namespace

namespace korv_lt
{

void openTable(KorvPtr q)
{
    const int digits = static_cast<int>(std::trunc(std::log10(q->maxscum + 1)));
    WOB_PARM_BLK_STR pb[] = {
        wob_object(WOB_TAG_OBJECT, nullptr),
        wob_object(WOB_TAG_OBJECT, q->Surv),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.LifetableEstimates", -1)),
        dynName("TimeNDec"),
        wob_int(WOB_TAG_DYNVALUE, q->timedec),
        dynName("NumWidth1"),
        wob_int(WOB_TAG_DYNVALUE, digits + 1),
        dynName("NumWidth2"),
        wob_int(WOB_TAG_DYNVALUE, digits + 3),
        dynName("FreqNDec"),
        wob_int(WOB_TAG_DYNVALUE, q->znotrunc ? 98 : 0),
    };
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, 11, pb);
    q->output = pb[0].value.o;
}

} // namespace korv_lt

namespace
{

// The stratum's text in the survival graph: its label from two characters
// past the first ':' (only where the label was made for this stratum).
std::string stratumText(KorvPtr q)
{
    if (q->nsvar <= 0 || q->nstrata <= 1 || !q->stratumid || !q->stratumid->label)
        return {};
    const int len = q->stratumid->len;
    const char* colon =
        len > 0 ? static_cast<const char*>(std::memchr(q->stratumid->label, ':', len)) : nullptr;
    if (!colon)
        return {};
    const int from = static_cast<int>(colon - q->stratumid->label) + 2;
    if (from >= len)
        return {};
    return std::string(q->stratumid->label + from, static_cast<size_t>(len - from));
}

// The graphs of one stratum, drawn here when the BY group has one stratum or
// the strata are shown one by one; several strata together are drawn across
// strata from the plot-data tables.
void graphs(KorvPtr q, STRATA* node, int vdqgraph)
{
    if (!q->vdq || !q->ogpath)
        return;
    if (!(q->nstrata == 1 || (vdqgraph & plot_bit::INDIVIDUAL)))
        return;
    const double pct = 100 * (1 - q->alpha);
    xobskey* data = &q->ogpath[node->Stratum];
    const xobskey timeName = vdqtxt(q->timename.s, static_cast<int>(q->timename.l));
    std::vector<WOB_PARM_BLK_STR> maxTime;
    if (q->zmaxtime) {
        maxTime.push_back(dynName("maxTime"));
        maxTime.push_back(wob_double(WOB_TAG_DYNVALUE, q->maxtime));
    }
    auto request = [&](const char* name, xobskey label, xobskey contents, const char* templ,
                       std::vector<WOB_PARM_BLK_STR> pb) {
        std::vector<WOB_PARM_BLK_STR> head = {
            wob_key(WOB_TAG_NAME, vdqtxt(name, -1)), wob_key(WOB_TAG_LABEL, label),
            wob_key(WOB_TAG_CONTENTS, contents),     wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1)),
            wob_keyarray(WOB_TAG_PATHS, data, 1),
        };
        head.insert(head.end(), pb.begin(), pb.end());
        wobcall(q->vdq, WOB_SEL_GRAPH_OUTPUT, head);
    };

    if (vdqgraph & plot_bit::SURVIVAL) {
        const bool failure = (vdqgraph & plot_bit::FAILURE) != 0;
        const bool cl = (vdqgraph & plot_bit::CL) != 0;
        const std::string text = stratumText(q);
        xobskey label;
        if (!cl && text.empty()) {
            label =
                vdqmsg(0, failure ? msg0::LIFETABLE_FAILURE_CURVE : msg0::LIFETABLE_SURVIVAL_CURVE);
        } else if (!cl) {
            label = vdqmsgs(326,
                            failure ? msg326::LIFETABLE_FAILURE_CURVE_FOR
                                    : msg326::LIFETABLE_SURVIVAL_CURVE_FOR,
                            static_cast<int>(text.size()), text.data());
        } else {
            const std::string suffix = text.empty() ? std::string() : " for " + text;
            label = vdqmsgs(326,
                            failure ? msg326::LIFETABLE_FAILURE_CURVE_CL
                                    : msg326::LIFETABLE_SURVIVAL_CURVE_CL,
                            pct, static_cast<int>(suffix.size()), suffix.data());
        }
        std::vector<WOB_PARM_BLK_STR> counts = {
            dynName("NObs"),
            wob_double(WOB_TAG_DYNVALUE, node->cum),
            dynName("NEvent"),
            wob_double(WOB_TAG_DYNVALUE, node->cum - node->cen),
        };
        std::vector<WOB_PARM_BLK_STR> pb = {
            dynName("NStrata"),
            wob_int(WOB_TAG_DYNVALUE, 1),
            dynName("method"),
            wob_key(WOB_TAG_DYNVALUE, vdqtxt("Life-Table", -1)),
            dynName("plotCL"),
            wob_int(WOB_TAG_DYNVALUE, cl ? 1 : 0),
            dynName("LabelCL"),
            wob_key(WOB_TAG_DYNVALUE, cl ? vdqmsgs(326, msg326::LABEL_CL, pct) : nullptr),
            dynName("SecondTitle"),
            wob_key(WOB_TAG_DYNVALUE, nullptr),
            dynName("StratumID"),
            wob_key(WOB_TAG_DYNVALUE,
                    text.empty() ? nullptr : vdqtxt(text.data(), static_cast<int>(text.size()))),
            dynName("xName"),
            wob_key(WOB_TAG_DYNVALUE, timeName),
            wob_list(WOB_TAG_DYNLIST, counts.data(), static_cast<int64_t>(counts.size())),
            wob_list(WOB_TAG_DYNLIST, maxTime.data(), static_cast<int64_t>(maxTime.size())),
        };
        request(failure ? "FailurePlot" : "SurvivalPlot", label,
                vdqmsg(0, failure ? msg0::FAILURE_CURVE : msg0::SURVIVAL_CURVE),
                failure ? "Stat.Korvante.Graphics.LifetableFailure"
                        : "Stat.Korvante.Graphics.LifetableSurvival",
                pb);
    }
    if (vdqgraph & plot_bit::LOGSURV) {
        std::vector<WOB_PARM_BLK_STR> pb = {
            dynName("NStrata"),
            wob_int(WOB_TAG_DYNVALUE, 1),
            dynName("xName"),
            wob_key(WOB_TAG_DYNVALUE, timeName),
            wob_list(WOB_TAG_DYNLIST, maxTime.data(), static_cast<int64_t>(maxTime.size())),
        };
        request("NegLogSurvivalPlot", vdqmsg(0, msg0::NEG_LOG_SURVIVAL_FUNCTION),
                vdqmsg(0, msg0::NEG_LOG_SURVIVAL), "Stat.Korvante.Graphics.NegLogSurvival", pb);
    }
    if (vdqgraph & plot_bit::LOGLOGS) {
        const bool hasLabel = q->timelabel.l > 0 && q->timelabel.s;
        const VARSTRING& lab = hasLabel ? q->timelabel : q->timename;
        std::vector<WOB_PARM_BLK_STR> logMax;
        if (q->zmaxtime) {
            logMax.push_back(dynName("logmaxTime"));
            logMax.push_back(wob_double(WOB_TAG_DYNVALUE, std::log(q->maxtime)));
        }
        std::vector<WOB_PARM_BLK_STR> pb = {
            dynName("NStrata"),
            wob_int(WOB_TAG_DYNVALUE, 1),
            dynName("xLabel"),
            wob_key(WOB_TAG_DYNVALUE, vdqmsgs(326, msg326::LOG_OF, static_cast<int>(lab.l), lab.s)),
            dynName("xName"),
            wob_key(WOB_TAG_DYNVALUE,
                    vdqmsgs(326, msg326::LOG_OF, static_cast<int>(q->timename.l), q->timename.s)),
            wob_list(WOB_TAG_DYNLIST, logMax.data(), static_cast<int64_t>(logMax.size())),
        };
        request("LogNegLogSurvivalPlot", vdqmsg(0, msg0::LOG_NEG_LOG_SURVIVAL_FUNCTION),
                vdqmsg(0, msg0::LOG_NEG_LOG_SURVIVAL), "Stat.Korvante.Graphics.LogNegLogSurvival",
                pb);
    }
    auto rateGraph = [&](const char* name, int label, int contents, const char* templ, int clBit) {
        const bool cl = (vdqgraph & clBit) != 0;
        std::vector<WOB_PARM_BLK_STR> pb = {
            dynName("NStrata"),
            wob_int(WOB_TAG_DYNVALUE, 1),
            dynName("xName"),
            wob_key(WOB_TAG_DYNVALUE, timeName),
            dynName("plotCL"),
            wob_int(WOB_TAG_DYNVALUE, cl ? 1 : 0),
            dynName("labelCL"),
            wob_key(WOB_TAG_DYNVALUE, cl ? vdqmsgs(326, msg326::LABEL_CL, pct) : nullptr),
            wob_list(WOB_TAG_DYNLIST, maxTime.data(), static_cast<int64_t>(maxTime.size())),
        };
        request(name, vdqmsg(0, label), vdqmsg(0, contents), templ, pb);
    };
    if (vdqgraph & plot_bit::DENSITY)
        rateGraph("DensityPlot", msg0::LIFETABLE_DENSITY_FUNCTION, msg0::DENSITY_FUNCTION,
                  "Stat.Korvante.Graphics.Density", plot_bit::DENSITY_CL);
    if (vdqgraph & plot_bit::HAZARD)
        rateGraph("HazardPlot", msg0::LIFETABLE_HAZARD_FUNCTION, msg0::HAZARD_FUNCTION,
                  "Stat.Korvante.Graphics.Hazard", plot_bit::HAZARD_CL);
}

} // namespace

namespace korv_lt
{

void bindata(KorvPtr q, STRATA* node, double* n_all)
{
    *n_all = bin(q->lifetab, intervalsOf(q), q->times, q->freqs, q->indxs, node->nobs);
}

void estimate(KorvPtr q, double n_all, int* nintused)
{
    *nintused = estimateRows(q->lifetab, intervalsOf(q), n_all, &q->pdfmax, &q->hazmax);
}

// `n_all` is not needed here: the rows hold their effective sizes.
void printit(KorvPtr q, STRATA* node, double, int nintused, int zprinttab, int zoutds, int vdqgraph)
{
    const Intervals iv = intervalsOf(q);
    const bool graphics = vdqgraph != 0 && q->Phantom && q->vdq;
    StageSettings set;
    set.conftype = q->conftype;
    set.critical = q->critical;
    set.failure =
        (vdqgraph & plot_bit::FAILURE) && !(vdqgraph & (plot_bit::OVERLAY | plot_bit::INDIVIDUAL));
    // The transform word of OUTSURV= (its CONFTYPE variable comes with the
    // SURVIVAL statement).
    char word[9] = "        ";
    if (zoutds && q->zSurvStmt)
        std::memcpy(word, korv_conftype_word(q->conftype), 8);

    if (zprinttab)
        openTable(q);
    else if (graphics)
        openPlotData(q, node, vdqgraph);
    for (int k = 0; k <= nintused; ++k) {
        stageRow(q->lifetab, k, iv, set, q->iovar);
        if (graphics)
            wobcall(q->Phantom, WOB_SEL_PUT_ROW, 0, nullptr);
        if (zoutds) {
            const int st = xyvput(static_cast<XVHANDLE*>(q->svput), word);
            if (st != 0)
                xofprc(static_cast<DSHANDLE*>(q->fileouts), st, 4);
        }
        if (zprinttab) {
            stageTableRow(q->lifetab[k], q->iovar);
            wobcall(q->Surv, WOB_SEL_PUT_ROW, 0, nullptr);
        }
    }
    if (zprinttab) {
        endData(q->Surv);
        closeOutput(q);
        if (graphics)
            openPlotData(q, node, vdqgraph);
    }
    if (graphics) {
        endData(q->Phantom);
        closeOutput(q);
        graphs(q, node, vdqgraph);
    }
}

void plotit(KorvPtr q, STRATA* node, int nintused)
{
    node->fail = nintused + 1;
    node->plotnote = 0;
    if (nintused < 0)
        return;
    const size_t n = static_cast<size_t>(nintused + 1);
    std::vector<double> buffer(n);
    bool written = false;
    auto write = [&] {
        if (!written) {
            check_file(xcnoted(q->utid1, &node->plotnote));
            written = true;
        }
        check_file(xcwrite(q->utid1, buffer.data(), static_cast<long>(n * sizeof(double))));
    };
    const LIFETABLE* rows = q->lifetab;
    if (q->zsurvival || q->zlsur || q->zllsur) {
        for (size_t j = 0; j < n; ++j) {
            const double s = rows[j].surv;
            buffer[j] = s;
            if (wzmis(s))
                continue;
            if (s > 0)
                q->smin = std::min(q->smin, s);
            if (s < 1)
                q->smax = std::max(q->smax, s);
        }
        write();
    }
    if (q->zhazard) {
        for (size_t j = 0; j < n; ++j) {
            buffer[j] = rows[j].haz;
            if (!wzmis(buffer[j]))
                q->hazmax = std::max(q->hazmax, buffer[j]);
        }
        write();
    }
    if (q->zpdf) {
        for (size_t j = 0; j < n; ++j) {
            buffer[j] = rows[j].pden;
            if (!wzmis(buffer[j]))
                q->pdfmax = std::max(q->pdfmax, buffer[j]);
        }
        write();
    }
}

} // namespace korv_lt

void korvtb(KorvPtr q, STRATA* node)
{
    if (!node || node->nobs < 1 || !q->lifetab)
        return;
    const bool table = q->zprint && !q->znotable;
    const bool outds = q->fileouts != nullptr;
    const int vdqgraph = q->Phantom ? q->vdqgraph : 0;
    if (!q->zplot && !table && !outds && vdqgraph == 0)
        return;
    if (q->nsvar > 0 && q->value)
        std::memcpy(q->value, strata_key(node), static_cast<size_t>(q->slenf + q->slenu));
    double n_all = 0;
    korv_lt::bindata(q, node, &n_all);
    int nintused = -1;
    korv_lt::estimate(q, n_all, &nintused);
    if (table || outds || vdqgraph != 0)
        korv_lt::printit(q, node, n_all, nintused, table, outds, vdqgraph);
    if (q->zplot && q->utid1)
        korv_lt::plotit(q, node, nintused);
}

// The smoothed-hazard stage of a stratum and its outputs: the kernel bound
// to the smoothing record, the event times and increments collected during
// the estimator's pass, the grid and the bandwidth, the HazardRate rows
// (template KernelSmoothedHazard), the MISE rows of a bandwidth list, the
// graphs of a single stratum, and the smoothed-hazard graph across strata.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/stages.h"
#include "common/strata.h"
#include "estimate/estimate.h"
#include "estimate/korvkrn.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_output.h"

const bool korv_built_smoothed = true;

namespace
{

POOLHANDLE* workPool(KorvPtr q)
{
    return q->polwork ? q->polwork : xtaskpool();
}

// Gives the collected arrays back to the work pool; runs on every way out
// of the stage.
struct ReleaseArrays {
    KorvPtr q;
    ~ReleaseArrays()
    {
        SMOOTHED* s = q->kmhaz;
        POOLHANDLE* pool = workPool(q);
        if (s->t)
            pool->free(pool, s->t, -1, 0);
        if (s->dH)
            pool->free(pool, s->dH, -1, 0);
        s->t = s->dH = s->dvarH = nullptr;
        s->njmp = 0;
    }
};

WOB_PARM_BLK_STR dynName(const char* name)
{
    return wob_key(WOB_TAG_DYNNAME, vdqtxt(name, -1));
}

double confidence(KorvPtr q)
{
    return 100 * (1 - q->alpha);
}

// The upper end of the grid without GRIDU=: the largest event time, or under
// WEIGHT the time at which the frequencies counted from the top first reach
// 5; 0 when no record qualifies.
double upperEnd(KorvPtr q, STRATA* node, bool weighted)
{
    double sum = 0;
    for (int64_t j = node->nobs - 1; j >= 0; --j) {
        const int64_t k = std::llabs(q->indxs[j]) - 1;
        const double f = q->freqs[k];
        if (weighted) {
            sum += std::fabs(f);
            if (sum >= 5.0)
                return q->times[k];
        } else if (f > 0) {
            return q->times[k];
        }
    }
    return 0;
}

} // namespace

// "bw=" and the bandwidth into the first 12 bytes of the row label: with the
// time's decimals, and with more where those would show fewer than three
// significant digits (a bandwidth of 0.37 under whole-number times is not
// "0"). A bandwidth too wide for the label drops decimals first and then
// takes the exponent form ("bw=2.147e+09"), so that no digit of its whole
// part is lost.
std::string korv_bandwidth_label(double b, int timedec)
{
    int dec = std::max(timedec, 0);
    if (b > 0 && std::isfinite(b)) {
        const int need = 2 - static_cast<int>(std::floor(std::log10(b)));
        dec = std::min(std::max(dec, need), 6);
    }
    char buf[48];
    for (;; --dec) {
        std::snprintf(buf, sizeof buf, "bw=%8.*f", dec, b);
        if (std::strlen(buf) <= 12 || dec == 0)
            break;
    }
    for (int digits = 9; std::strlen(buf) > 12 && digits >= 1; --digits)
        std::snprintf(buf, sizeof buf, "bw=%.*g", digits, b);
    return std::string(buf, std::min<size_t>(12, std::strlen(buf)));
}

namespace
{

void bandwidthLabel(KorvPtr q, double b)
{
    const std::string text = korv_bandwidth_label(b, q->timedec);
    std::memset(q->label, ' ', 12);
    std::memcpy(q->label, text.data(), text.size());
}

// The MISE rows of a bandwidth list (plot data of the bandwidth graph, shown
// like the other plot data under PRINTPHANTOM); returns the first bandwidth
// of least MISE.
double bandwidthList(KorvPtr q, STRATA* node, SMOOTHED* s)
{
    std::vector<WOB_PARM_BLK_STR> pb;
    pb.push_back(wob_object(WOB_TAG_OBJECT, nullptr));
    pb.push_back(wob_object(WOB_TAG_OBJECT, s->mise));
    pb.push_back(wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Generic", -1)));
    pb.push_back(wob_int(WOB_TAG_HIDDEN, s->zprintphantom ? 0 : 1));
    if (s->misepath)
        pb.push_back(wob_keyaddr(WOB_TAG_PATH, &s->misepath[node->Stratum]));
    if (s->mise)
        wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
    q->output = pb[0].value.o;
    double best = DBL_MAX, b = s->bwgrid[0];
    for (int k = 0; k < s->nbw; ++k) {
        double f = 0;
        mise(s->bwgrid[k], &f, s);
        if (f < best) {
            best = f;
            b = s->bwgrid[k];
        }
        q->iovar[bandwidth_slot::BANDWIDTH] = s->bwgrid[k];
        q->iovar[bandwidth_slot::MISE] = f;
        if (s->mise)
            wobcall(s->mise, WOB_SEL_PUT_ROW);
    }
    if (s->mise) {
        WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA2, 1);
        wobcall(s->mise, WOB_SEL_END_DATA, end);
        WOB_PARM_BLK_STR close = wob_object(WOB_TAG_OBJECT, q->output);
        wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, close);
    }
    return b;
}

// The bandwidth graph of a single stratum.
void bandwidthGraph(KorvPtr q, STRATA* node, SMOOTHED* s)
{
    if (!s->misepath || !s->misepath[node->Stratum])
        return;
    WOB_PARM_BLK_STR pb[] = {
        wob_key(WOB_TAG_NAME, vdqtxt("BandwidthGrid", -1)),
        wob_key(WOB_TAG_CONTENTS, vdqmsg(0, msg0::BANDWIDTH_GRID)),
        wob_key(WOB_TAG_LABEL, vdqmsg(0, msg0::BANDWIDTH_CRITERION)),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.BandwidthGrid", -1)),
        wob_keyarray(WOB_TAG_PATHS, &s->misepath[node->Stratum], 1),
        dynName("NStrata"),
        wob_int(WOB_TAG_DYNVALUE, 1),
    };
    wobcall(q->vdq, WOB_SEL_GRAPH_OUTPUT, pb);
}

// The smoothed-hazard graph of a single stratum, drawn from the output at
// `path`.
void hazardGraph(KorvPtr q, SMOOTHED* s, xobskey* path, double b)
{
    std::vector<WOB_PARM_BLK_STR> limits;
    if (s->zcl) {
        limits.push_back(dynName("confLimits"));
        limits.push_back(wob_key(WOB_TAG_DYNVALUE, vdqmsgs(326, msg326::LABEL_CL, confidence(q))));
    }
    WOB_PARM_BLK_STR pb[] = {
        wob_key(WOB_TAG_NAME, vdqtxt("HazardPlot", -1)),
        wob_key(WOB_TAG_LABEL, vdqmsg(0, msg0::SMOOTHED_HAZARD_ESTIMATE)),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.SmoothedHazard", -1)),
        wob_keyarray(WOB_TAG_PATHS, path, 1),
        dynName("NStrata"),
        wob_int(WOB_TAG_DYNVALUE, 1),
        dynName("Kernel"),
        wob_key(WOB_TAG_DYNVALUE, s->kernelname),
        dynName("Bandwidth"),
        wob_key(WOB_TAG_DYNVALUE, vdqmsgs(326, msg326::BANDWIDTH_IS, b)),
        wob_list(WOB_TAG_DYNLIST, limits.data(), static_cast<int64_t>(limits.size())),
    };
    wobcall(q->vdq, WOB_SEL_GRAPH_OUTPUT, pb);
}

// The bandwidth choice evaluates the MISE once per bandwidth of a list, or
// up to 53 times in the search; each evaluation smooths at the NMINGRID=
// points of its integral over windows of up to every event time. Past
// KORV_MISE_WORK kernel terms a raised NMINGRID= would hold the step for
// minutes or more: the stratum's smoothed hazard is then left out with a
// warning. The default NMINGRID= is never refused (its work is the data's).
bool miseWithinBound(KorvPtr q, const SMOOTHED* s)
{
    if (s->nbw == 1 || s->nmingrid <= 51)
        return true;
    const int tried = s->nbw == 0 ? 53 : s->nbw;
    const double work =
        static_cast<double>(s->nmingrid) * static_cast<double>(std::max<long>(s->njmp, 1)) * tried;
    if (work <= KORV_MISE_WORK)
        return true;
    char terms[32], cap[32];
    std::snprintf(terms, sizeof terms, "%.2g", work);
    std::snprintf(cap, sizeof cap, "%.2g", KORV_MISE_WORK);
    xpmlog(326, msg326::MISE_WORK_BEYOND_BOUND, korv_of_stratum(q).c_str(), s->nmingrid, terms,
           static_cast<long>(s->njmp), tried, cap);
    q->rc = std::max(q->rc, 4);
    return false;
}

// A number of bytes as text ("2.4 GB").
std::string bytesText(double b)
{
    const char* unit[] = {"bytes", "KB", "MB", "GB", "TB", "PB"};
    int u = 0;
    while (b >= 1000 && u < 5) {
        b /= 1000;
        ++u;
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.3g %s", b, unit[u]);
    return buf;
}

// The memory of the smoothed-hazard tables. NGRID= rows make a HazardRate
// table of each stratum, held in the output document until the step ends
// (the graph across strata draws from them all): about 24 bytes per column
// of a row (the stratum number, the time and the hazard; the standard error
// and the two limits with CL; the bandwidth label unless one bandwidth is
// given). The tables of a step may take MEMSIZE= when it is set, else 1 GB
// (the bound of the tests' covariance matrices).
struct GridMemory {
    double table = 0, limit = 0;
    bool fromMemsize = false;
    explicit GridMemory(const SMOOTHED* s)
    {
        const int columns = 3 + (s->zcl ? 3 : 0) + (s->nbw != 1 ? 1 : 0);
        table = 24.0 * columns * static_cast<double>(s->ngrid);
        double memsize = 0;
        fromMemsize = xyrngef("MEMSIZE", &memsize) == 0 && memsize > 0;
        limit = fromMemsize ? memsize : 1e9;
    }
    const char* source() const
    {
        return fromMemsize ? "MEMSIZE=" : "the limit of a step's tables without MEMSIZE=";
    }
};

// The stratum's table joins those the step holds; where together they would
// pass the step's memory the step ends, naming NGRID= and MEMSIZE=.
void holdTable(KorvPtr q, SMOOTHED* s)
{
    const GridMemory m(s);
    const long tables = s->ntables + 1;
    const double need = m.table * static_cast<double>(tables);
    if (need <= m.limit) {
        s->ntables = tables;
        return;
    }
    xpmlog(326, msg326::GRIDS_BEYOND_MEMORY, s->ngrid, bytesText(m.table).c_str(), tables,
           bytesText(need).c_str(), bytesText(m.limit).c_str(), m.source());
    q->rc = std::max(q->rc, 2000);
    xexit(q->rc, 0);
}

// Where the bandwidth search's range comes from, as the notes name it.
const char* searchRangeName(const SMOOTHED* s)
{
    return wzmis(s->bl) ? "the default range, 0.2 to 20 times the pilot bandwidth"
                        : "BW=RANGE(a, b)";
}

// The bandwidth the search chose lies at an end of its range: the MISE may
// be smaller beyond it, or at another local minimum; said in a note.
void bandwidthAtEnd(KorvPtr q, const SMOOTHED* s, double b, const MiseRange& r)
{
    xpmlog(326, msg326::BANDWIDTH_AT_RANGE_END, korv_of_stratum(q).c_str(), b,
           r.atEnd < 0 ? "lower" : "upper", r.low, r.high, searchRangeName(s));
}

} // namespace

void korv_check_grid_memory(KorvPtr q, const SMOOTHED* s)
{
    const GridMemory m(s);
    if (m.table <= m.limit)
        return;
    xpmlog(326, msg326::GRID_BEYOND_MEMORY, s->ngrid, bytesText(m.table).c_str(),
           bytesText(m.limit).c_str(), m.source());
    q->rc = std::max(q->rc, 2000);
    xexit(q->rc, 0);
}

void korvkrn(SMOOTHED* kmhaz)
{
    switch (kmhaz->kernel) {
    case 0:
        kmhaz->Asym = AsymE;
        kmhaz->Kx = KerE;
        break;
    case 1:
        kmhaz->Asym = AsymU;
        kmhaz->Kx = KerU;
        break;
    case 2:
        kmhaz->Asym = AsymB;
        kmhaz->Kx = KerB;
        break;
    default:
        return;
    }
    kmhaz->kernelname = vdqtxt(korv_kernel_name(kmhaz->kernel), -1);
}

SmoothedCollector::SmoothedCollector(KorvPtr q, STRATA* node) : s_(q->kmhaz)
{
    const long n = nJumps(q, node);
    s_->njmp = n;
    s_->t = s_->dH = s_->dvarH = nullptr;
    if (n <= 0)
        return;
    POOLHANDLE* pool = workPool(q);
    const int64_t bytes = static_cast<int64_t>(n) * static_cast<int64_t>(sizeof(double));
    s_->t = static_cast<double*>(xmalloc_or_exit(pool, bytes, 0x3004));
    s_->dH = static_cast<double*>(xmalloc_or_exit(pool, 2 * bytes, 0x3004));
    s_->dvarH = s_->dH + n;
}

void SmoothedCollector::step(const korv_est::PlStep& st)
{
    if (!st.eventTime || n_ >= s_->njmp)
        return;
    s_->t[n_] = st.time;
    s_->dH[n_] = st.dH;
    s_->dvarH[n_] = st.dvarH;
    ++n_;
}

void ComputeSmoothedHazard(KorvPtr q, STRATA*, SMOOTHED* kmhaz, double b)
{
    SMOOTHED* s = kmhaz;
    std::vector<WOB_PARM_BLK_STR> pb;
    pb.push_back(wob_object(WOB_TAG_OBJECT, nullptr));
    pb.push_back(wob_object(WOB_TAG_OBJECT, s->data));
    pb.push_back(wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.KernelSmoothedHazard", -1)));
    pb.push_back(wob_int(WOB_TAG_HIDDEN, s->zprintphantom ? 0 : 1));
    if (q->ogpath2)
        pb.push_back(wob_keyaddr(WOB_TAG_PATH, &q->ogpath2[s->nstrata]));
    pb.push_back(dynName("Confidence"));
    pb.push_back(wob_double(WOB_TAG_DYNVALUE, confidence(q)));
    ++s->nstrata;
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
    q->output = pb[0].value.o;

    const double miss = korv_missing();
    auto put = [&] { wobcall(s->data, WOB_SEL_PUT_ROW); };
    if (s->tl > 0) {
        q->iovar[hazard_slot::TIME] = 0;
        q->iovar[hazard_slot::HAZARD] = q->iovar[hazard_slot::STDERR] = miss;
        q->iovar[hazard_slot::LOWER] = q->iovar[hazard_slot::UPPER] = miss;
        put();
    }
    for (int k = 0; k < s->ngrid; ++k) {
        const double time = korv_smoothed_grid_point(s->tl, s->tr, s->ngrid, k);
        q->iovar[hazard_slot::TIME] = time;
        if (!s->zcl) {
            q->iovar[hazard_slot::HAZARD] = ephaz(time, b, s);
        } else {
            double v = 0;
            q->iovar[hazard_slot::HAZARD] = varhaz(time, b, s, &v);
            korv_smoothed_limits(q->iovar[hazard_slot::HAZARD], v, q->critical,
                                 &q->iovar[hazard_slot::STDERR], &q->iovar[hazard_slot::LOWER],
                                 &q->iovar[hazard_slot::UPPER]);
        }
        put();
    }
    WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA2, 1);
    wobcall(s->data, WOB_SEL_END_DATA, end);
    WOB_PARM_BLK_STR close = wob_object(WOB_TAG_OBJECT, q->output);
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, close);
    wobcall(q->vdq, WOB_SEL_DESTINATION);
}

void korv_smoothed_stage(KorvPtr q, STRATA* node, bool weighted)
{
    SMOOTHED* s = q->kmhaz;
    if (!s || !node)
        return;
    ReleaseArrays release{q};

    s->tl = wzmis(s->gridL) ? 0 : s->gridL;
    if (!wzmis(s->gridU)) {
        s->tr = s->gridU;
    } else {
        s->tr = upperEnd(q, node, weighted);
        if (s->tr == 0 || s->tl >= s->tr) {
            if (q->nsvar > 0)
                xpmlog(326, msg326::SMOOTHED_EMPTY_GRID_STRATUM, static_cast<int>(q->stratumno));
            else
                xpmlog(326, msg326::SMOOTHED_EMPTY_GRID);
            return;
        }
    }
    // The statement reader refuses grids that are empty or begin below 0;
    // an end given with the other taken from the data is checked here.
    if (!(s->tl < s->tr) || s->tl < 0)
        return;

    if (!miseWithinBound(q, s))
        return;
    double b = 0;
    if (s->nbw == 0) {
        MiseRange range;
        const int rc = korv_mise_minimum(s, node->cum - node->cen, &b, &range);
        if (rc == 1) {
            // Nothing to smooth: no event in the stratum.
            if (q->nsvar > 0)
                xpmlog(326, msg326::SMOOTHED_NO_EVENTS_STRATUM, static_cast<int>(q->stratumno));
            else
                xpmlog(326, msg326::SMOOTHED_NO_EVENTS);
            return;
        }
        if (rc != 0) {
            // The search narrows its range by at least the golden section
            // at each step: a range of many orders of magnitude is more
            // than its 50 steps can bring down to its 1% tolerance.
            xpmlog(326, msg326::BANDWIDTH_SEARCH_FAILED, korv_of_stratum(q).c_str(), range.low,
                   range.high, searchRangeName(s));
            q->rc = std::max(q->rc, 8);
            return;
        }
        if (range.atEnd != 0)
            bandwidthAtEnd(q, s, b, range);
    } else if (s->nbw == 1) {
        b = s->bwgrid[0];
    } else {
        b = bandwidthList(q, node, s);
        if (q->nstrata == 1 && q->vdq)
            bandwidthGraph(q, node, s);
    }
    if (s->nbw != 1)
        bandwidthLabel(q, b);
    if (!s->data)
        return;
    holdTable(q, s);
    ComputeSmoothedHazard(q, node, s, b);
    if (q->nstrata == 1 && q->ogpath2)
        hazardGraph(q, s, &q->ogpath2[s->nstrata - 1], b);
}

void StratifiedSmoothedHazard(KorvPtr q)
{
    SMOOTHED* s = q->kmhaz;
    if (!s)
        return;
    // No stratum made a smoothed hazard (each said why): nothing to draw.
    if (s->nstrata == 0 || !q->ogpath2 || !q->vdq) {
        s->nstrata = 0;
        return;
    }
    std::vector<WOB_PARM_BLK_STR> dyn;
    if (s->nbw == 1) {
        dyn.push_back(dynName("Bandwidth"));
        dyn.push_back(wob_key(WOB_TAG_DYNVALUE, vdqmsgs(326, msg326::BANDWIDTH_IS, s->bwgrid[0])));
    }
    if (q->nsvar == 1 && q->sname && q->sname[0].name) {
        dyn.push_back(dynName("groupName"));
        dyn.push_back(wob_key(WOB_TAG_DYNVALUE,
                              vdqtxt(q->sname[0].name->s, static_cast<int>(q->sname[0].name->l))));
    }
    if (s->zcl) {
        dyn.push_back(dynName("confLimits"));
        dyn.push_back(wob_key(WOB_TAG_DYNVALUE, vdqmsgs(326, msg326::SECOND_CL, confidence(q))));
    }
    if (q->zmaxtime) {
        dyn.push_back(dynName("maxTime"));
        dyn.push_back(wob_double(WOB_TAG_DYNVALUE, q->maxtime));
    }
    std::vector<WOB_PARM_BLK_STR> pb;
    pb.push_back(wob_key(WOB_TAG_NAME, vdqtxt("HazardPlot", -1)));
    pb.push_back(
        wob_key(WOB_TAG_LABEL, vdqmsgs(326, msg326::SMOOTHED_LABEL, korv_kernel_name(s->kernel))));
    pb.push_back(wob_key(WOB_TAG_CONTENTS, vdqmsg(0, msg0::HAZARD_PLOT)));
    pb.push_back(wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.SmoothedHazard", -1)));
    if (s->nstrata >= 2) {
        pb.push_back(wob_keyarray(WOB_TAG_PATHS2, q->ogpath2, s->nstrata));
        pb.push_back(wob_key(WOB_TAG_DATAPATH, vdqtxt("SmoothedHazard2", -1)));
    }
    pb.push_back(wob_keyarray(WOB_TAG_PATHS, q->ogpath2, 1));
    pb.push_back(dynName("NStrata"));
    pb.push_back(wob_int(WOB_TAG_DYNVALUE, q->nstrata));
    pb.push_back(dynName("Kernel"));
    pb.push_back(wob_key(WOB_TAG_DYNVALUE, s->kernelname));
    pb.push_back(wob_list(WOB_TAG_DYNLIST, dyn.data(), static_cast<int64_t>(dyn.size())));
    wobcall(q->vdq, WOB_SEL_GRAPH_OUTPUT, pb);
    s->nstrata = 0;
}

// parse, ParseSurvival and ParseStrataStmt: the step's statements are parsed
// with the procedure's grammar, and the statement records become the
// settings of the common block, with every option checked.
#include "frame/parse.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "common/stages.h"
#include "common/statement.h"
#include "common/strata.h"
#include "frame/frame.h"
#include "frame/korvg.h"
#include "numeric/normal.h"
#include "runtime/missing.h"
#include "runtime/pgraf.h"
#include "runtime/procstr.h"
#include "runtime/wobmth.h"
#include "runtime/xsparse.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace
{

void* task_alloc(int64_t n)
{
    return xmalloc_or_exit(xtaskpool(), n > 0 ? n : 1, 0x3006);
}

template <class T> T* task_new(int64_t count = 1)
{
    return static_cast<T*>(task_alloc(static_cast<int64_t>(sizeof(T)) * count));
}

void raise_rc(KORVCOM* q, int code)
{
    q->rc = std::max(q->rc, code);
}

[[noreturn]] void fail_exit(KORVCOM* q, int code)
{
    raise_rc(q, code);
    xexit(q->rc, 0);
}

bool bit(const STMT* s, int k)
{
    return stmt_bit(s, k);
}
bool given(const STMT* s, int k)
{
    return stmt_given(s, k);
}
double num(const STMT* s, int k, double def)
{
    return stmt_number(s, k, def);
}

// A whole-number option that the grammar reads as any number: a value
// beyond an int is held at its nearest end (the missing value gives `def`).
int whole_number(const STMT* s, int k, int def)
{
    const double v = num(s, k, def);
    if (wzmis(v) || std::isnan(v))
        return def;
    return static_cast<int>(
        std::clamp(v, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

// A given, non-missing number.
bool has_value(const STMT* s, int k)
{
    return given(s, k) && !wzmis(stmt_number(s, k, 0));
}

DSHANDLE* dataset(const STMT* s, int k)
{
    const STLIST* f = stmt_field(s, k);
    return (f && f->type == STL_DATASET) ? f->handle : nullptr;
}

// The values of a number-list field, copied into the task pool.
double* copy_numbers(const STMT* s, int k, int* n, int extra_front = 0)
{
    const STLIST* f = stmt_field(s, k);
    int cnt = (f && f->type == STL_NUMBERS) ? f->n : 0;
    double* v = task_new<double>(cnt + extra_front + 2);
    for (int i = 0; i < cnt; ++i)
        v[extra_front + i] = f->dvals[i];
    *n = cnt + extra_front;
    return v;
}

// The values of a list that `pick` chooses, in their order, as "%.15g" texts
// joined by spaces; their count in `count`.
template <class Pick> std::string listed(const double* v, int n, Pick pick, int* count)
{
    std::string text;
    *count = 0;
    char buf[40];
    for (int i = 0; i < n; ++i)
        if (pick(v[i])) {
            std::snprintf(buf, sizeof buf, "%s%.15g", (*count)++ ? " " : "", v[i]);
            text += buf;
        }
    return text;
}

// Sorts ascending, drops values below 0 and repeats; returns the new count.
int clean_times(double* v, int n)
{
    int m = 0;
    for (int i = 0; i < n; ++i)
        if (v[i] >= 0)
            v[m++] = v[i];
    shell(v, m);
    int k = 0;
    for (int i = 0; i < m; ++i)
        if (k == 0 || v[i] > v[k - 1])
            v[k++] = v[i];
    return k;
}

void blank_copy(char* dst, int room, const char* src, int len)
{
    std::memset(dst, ' ', static_cast<std::size_t>(room));
    if (src && len > 0)
        std::memcpy(dst, src, static_cast<std::size_t>(std::min(room, len)));
}

bool text_field(const STMT* s, int k, const char** t, int* len)
{
    *t = stmt_text(s, k, len);
    return *t != nullptr;
}

// The smoothed-hazard block (HAZARD with a product-limit type method and
// output-layer graphics).
void smoothed_rule(KORVCOM* q, const STMT* s)
{
    auto* h = task_new<SMOOTHED>();
    h->zprintphantom = bit(s, proc_bit::PRINTPHANTOM);
    h->ngrid = given(s, proc_field::NGRID) ? stmt_int(s, proc_field::NGRID, 101) : 101;
    if (h->ngrid < 2) {
        xpmlog(326, msg326::GRID_TOO_SMALL, "NGRID=");
        fail_exit(q, 2000);
    }
    h->nmingrid = given(s, proc_field::NMINGRID) ? stmt_int(s, proc_field::NMINGRID, 51) : 51;
    if (h->nmingrid < 2) {
        xpmlog(326, msg326::GRID_TOO_SMALL, "NMINGRID=");
        fail_exit(q, 2000);
    }
    h->bl = h->br = korv_missing();
    if (given(s, proc_field::BANDWIDTHS)) {
        int n = 0;
        double* bw = copy_numbers(s, proc_field::BANDWIDTHS, &n);
        if (n == 0) {
            xpmlog(326, msg326::EMPTY_BANDWIDTH_LIST);
            fail_exit(q, 2000);
        }
        shell(bw, n);
        Unique(bw, &n);
        if (bw[0] < 0) {
            xpmlog(326, msg326::NEGATIVE_BANDWIDTH);
            fail_exit(q, 3000);
        }
        if (bw[0] == 0)
            xpmlog(326, msg326::ZERO_BANDWIDTH);
        int first = 0;
        while (first < n && bw[first] <= 0)
            ++first;
        if (first == n) {
            xpmlog(326, msg326::NO_POSITIVE_BANDWIDTH);
            fail_exit(q, 108);
        }
        h->nbw = n - first;
        h->bwgrid = bw + first;
    } else if (given(s, proc_field::BW_RANGE_LOW)) {
        h->bl = num(s, proc_field::BW_RANGE_LOW, 0);
        h->br = num(s, proc_field::BW_RANGE_HIGH, h->bl);
        if (h->bl == h->br) {
            if (h->bl <= 0) {
                xpmlog(326, msg326::BAD_BW_RANGE_POINT);
                fail_exit(q, 2000);
            }
            h->nbw = 1;
            h->bwgrid = &h->bl;
        } else if (h->br < h->bl) {
            xpmlog(326, msg326::BAD_BW_RANGE);
            fail_exit(q, 2000);
        } else if (h->bl <= 0) {
            // The range is searched for the bandwidth: every value in it must
            // be one.
            xpmlog(326, msg326::BW_RANGE_NOT_POSITIVE);
            fail_exit(q, 2000);
        }
    }
    h->gridL = has_value(s, proc_field::GRIDL) ? num(s, proc_field::GRIDL, 0) : korv_missing();
    h->gridU = has_value(s, proc_field::GRIDU) ? num(s, proc_field::GRIDU, 0) : korv_missing();
    if (!has_value(s, proc_field::GRIDL) && has_value(s, proc_field::GRIDU) && h->gridU == 0) {
        xpmlog(326, msg326::GRIDU_ZERO);
        fail_exit(q, 2000);
    }
    if (has_value(s, proc_field::GRIDL) && has_value(s, proc_field::GRIDU) &&
        h->gridL >= h->gridU) {
        xpmlog(326, msg326::GRIDL_NOT_BELOW_GRIDU);
        fail_exit(q, 2000);
    }
    // The grid lies in [0, infinity): a negative end would put the smoothed
    // hazard before the data and its boundary kernels out of their range.
    if (has_value(s, proc_field::GRIDL) && h->gridL < 0) {
        xpmlog(326, msg326::GRIDL_NEGATIVE);
        fail_exit(q, 2000);
    }
    if (has_value(s, proc_field::GRIDU) && h->gridU <= 0) {
        xpmlog(326, msg326::GRIDU_NOT_POSITIVE);
        fail_exit(q, 2000);
    }
    h->kernel = stmt_int(s, proc_field::KERNEL, 0);
    h->method = stmt_int(s, proc_field::HAZARD_METHOD, 0);
    // The bandwidth is chosen once for the whole grid: METHOD=LOCAL is kept
    // but chooses nothing.
    if (h->method == 1)
        xpmlog(326, msg326::HAZARD_LOCAL_NO_EFFECT);
    h->zcl = bit(s, proc_bit::HAZARD_CL);
    h->disp = 1;
    korv_check_grid_memory(q, h);
    q->kmhaz = h;
    korvkrn(h);
}

// The at-risk block (SURVIVAL(ATRISK...) with a product-limit type method
// and output-layer graphics).
void atrisk_rule(KORVCOM* q, const STMT* s)
{
    auto* a = task_new<ATRISKTIME>();
    if (given(s, proc_field::ATRISK_TIMES)) {
        int n = 0;
        double* t = copy_numbers(s, proc_field::ATRISK_TIMES, &n);
        if (n == 0) {
            xpmlog(326, msg326::EMPTY_ATRISK_LIST);
            fail_exit(q, 2000);
        }
        for (int i = 0; i < n; ++i)
            if (t[i] < 0) {
                xpmlog(326, msg326::NEGATIVE_ATRISK);
                fail_exit(q, 2000);
            }
        a->n = n;
        a->t = t;
        a->zexplicit = 1;
        a->zatrisktickonly = bit(s, proc_bit::ATRISK_TICKONLY);
        a->zticklabel = bit(s, proc_bit::ATRISK_TICK) || bit(s, proc_bit::ATRISK_TICKONLY);
    }
    a->smaxlen = given(s, proc_field::MAXLEN) ? stmt_int(s, proc_field::MAXLEN, 12) : 12;
    a->zoutside = bit(s, proc_bit::ATRISK_OUTSIDE);
    a->awt = korv_missing();
    if (a->zoutside && has_value(s, proc_field::OUTSIDE_SHARE)) {
        a->awt = num(s, proc_field::OUTSIDE_SHARE, 0);
        // The share of the graph must lie strictly between 0 and 1; a
        // negative share is as unusable as 0.
        if (a->awt <= 0 || a->awt >= 1) {
            xpmlog(326, msg326::BAD_OUTSIDE_SHARE);
            fail_exit(q, 2000);
        }
    }
    q->art = a;
}

// The hazard plot's options that choose nothing in output-layer graphics:
// its STRATA= (every stratum is drawn in one graph), and with the life table
// the options of the kernel-smoothed hazard, which the life table does not
// make (its hazard plot draws the interval estimates).
void hazard_options_without_effect(const KORVCOM* q, const STMT* s, int b)
{
    if (!bit(s, proc_bit::PLOT_HAZARD))
        return;
    if (given(s, proc_field::HAZARD_ARRANGEMENT) && ((b & plot_bit::HAZARD) || q->kmhaz))
        xpmlog(326, msg326::HAZARD_STRATA_NO_EFFECT);
    if (q->method != 1 || !(b & plot_bit::HAZARD))
        return;
    const struct {
        bool given;
        const char* name;
    } smoothing[] = {
        {given(s, proc_field::NGRID), "NGRID= in PLOTS=HAZARD"},
        {given(s, proc_field::NMINGRID), "NMINGRID= in PLOTS=HAZARD"},
        {given(s, proc_field::GRIDL), "GRIDL= in PLOTS=HAZARD"},
        {given(s, proc_field::GRIDU), "GRIDU= in PLOTS=HAZARD"},
        {given(s, proc_field::BANDWIDTHS) || given(s, proc_field::BW_RANGE_LOW),
         "BW= in PLOTS=HAZARD"},
        {given(s, proc_field::KERNEL), "KERNEL= in PLOTS=HAZARD"},
        {given(s, proc_field::HAZARD_METHOD), "METHOD= in PLOTS=HAZARD"},
    };
    for (const auto& o : smoothing)
        if (o.given)
            xpmlog(326, msg326::ESTIMATE_OPTION_ROAD, o.name, "with the life-table method",
                   "it sets the kernel-smoothed hazard of the product-limit type methods; the "
                   "life table's hazard plot draws its interval estimates");
}

// The output-layer graphics request bits of PLOTS=; in modes 0 and 1 only
// the line-printer request bytes survive.
void vdqgraph_rule(KORVCOM* q, const STMT* s, int mode)
{
    int b = 0;
    const bool lt = q->method == 1;
    // The requests only output-layer graphics draw, named in the warning
    // on them when line-printer or device plots are drawn instead.
    const struct {
        bool on;
        const char* name;
    } survivalSub[] = {{bit(s, proc_bit::SURVIVAL_ATRISK), "ATRISK"},
                       {bit(s, proc_bit::SURVIVAL_CB), "CB="},
                       {bit(s, proc_bit::SURVIVAL_HW), "HW"},
                       {bit(s, proc_bit::SURVIVAL_EP), "EP"},
                       {bit(s, proc_bit::SURVIVAL_CL), "CL"},
                       {bit(s, proc_bit::SURVIVAL_TEST), "TEST"},
                       {bit(s, proc_bit::SURVIVAL_FAILURE), "FAILURE"},
                       {bit(s, proc_bit::SURVIVAL_NOCENSORED), "NOCENSORED"},
                       {given(s, proc_field::STRATA_ARRANGEMENT), "STRATA="}},
      others[] = {{given(s, proc_field::HAZARD_ARRANGEMENT), "HAZARD(STRATA=)"},
                  {bit(s, proc_bit::PLOT_ALL), "ALL"},
                  {bit(s, proc_bit::PLOT_NONE), "NONE"}};
    std::string ignored;
    for (const auto& o : survivalSub)
        if (o.on)
            ignored += (ignored.empty() ? "SURVIVAL(" : " ") + std::string(o.name);
    if (!ignored.empty())
        ignored += ')';
    for (const auto& o : others)
        if (o.on)
            ignored += (ignored.empty() ? "" : ", ") + std::string(o.name);
    if (bit(s, proc_bit::PLOT_LOGSURV))
        b |= plot_bit::LOGSURV;
    if (bit(s, proc_bit::PLOT_LOGLOGS))
        b |= plot_bit::LOGLOGS;
    if (bit(s, proc_bit::PLOT_HAZARD)) {
        if (lt)
            b |= plot_bit::HAZARD | (bit(s, proc_bit::HAZARD_CL) ? plot_bit::HAZARD_CL : 0);
        else if (mode == 2)
            smoothed_rule(q, s);
    }
    if (bit(s, proc_bit::PLOT_DENSITY) && lt)
        b |= plot_bit::DENSITY | (bit(s, proc_bit::DENSITY_CL) ? plot_bit::DENSITY_CL : 0);
    // The density plot draws the life table's interval estimates; the
    // product-limit type methods have none (the line-printer road warns the
    // same way).
    if (bit(s, proc_bit::PLOT_DENSITY) && !lt && mode == 2 && !bit(s, proc_bit::PLOT_NONE))
        xpmlog(326, msg326::PLOT_NEEDS_LIFETABLE, "DENSITY",
               q->method == 0   ? "PL"
               : q->method == 2 ? "BRESLOW"
                                : "FH");
    if (bit(s, proc_bit::PLOT_SURVIVAL)) {
        b |= plot_bit::SURVIVAL;
        int arr = stmt_int(s, proc_field::STRATA_ARRANGEMENT, -1);
        b |= arr == -2 ? plot_bit::PANEL : arr == -3 ? plot_bit::INDIVIDUAL : plot_bit::OVERLAY;
        if (bit(s, proc_bit::SURVIVAL_FAILURE))
            b |= plot_bit::FAILURE;
        if (bit(s, proc_bit::SURVIVAL_NOCENSORED))
            b |= plot_bit::NOCENSORED;
        if (bit(s, proc_bit::SURVIVAL_CL))
            b |= plot_bit::CL;
        if (lt) {
            if (bit(s, proc_bit::SURVIVAL_ATRISK) && mode == 2)
                xpmlog(326, msg326::ATRISK_WITH_LIFETABLE);
            // The life table's survival plot has no confidence bands (as
            // CONFBAND= warns); its pointwise limits come with CL.
            if (mode == 2 && (bit(s, proc_bit::SURVIVAL_CB) || bit(s, proc_bit::SURVIVAL_HW) ||
                              bit(s, proc_bit::SURVIVAL_EP)))
                xpmlog(326, msg326::PLOT_BANDS_WITH_LIFETABLE);
        } else {
            if (!bit(s, proc_bit::SURVIVAL_CB)) {
                if (bit(s, proc_bit::SURVIVAL_HW))
                    b |= plot_bit::HW_BAND;
                if (bit(s, proc_bit::SURVIVAL_EP))
                    b |= plot_bit::EP_BAND;
            } else {
                int cb = stmt_int(s, proc_field::CB, -1);
                b |= cb == -2   ? plot_bit::EP_BAND
                     : cb == -3 ? plot_bit::HW_BAND | plot_bit::EP_BAND
                                : plot_bit::HW_BAND;
            }
            if (bit(s, proc_bit::SURVIVAL_ATRISK) && mode == 2)
                atrisk_rule(q, s);
        }
        if (bit(s, proc_bit::SURVIVAL_TEST))
            b |= plot_bit::TEST;
    }
    if (bit(s, proc_bit::PLOT_NONE)) {
        if (b && mode == 2)
            xpmlog(326, msg326::PLOTS_NONE_WITH_OTHERS);
        b = 0;
        // NONE wins over every request: no smoothed hazard and no at-risk
        // table either.
        q->kmhaz = nullptr;
        q->art = nullptr;
    } else {
        if (bit(s, proc_bit::PLOT_ALL)) {
            b |= plot_bit::SURVIVAL | plot_bit::ALL | plot_bit::LOGSURV | plot_bit::LOGLOGS;
            if (lt)
                b |= plot_bit::HAZARD | plot_bit::DENSITY;
        }
        if (!bit(s, proc_bit::PLOTS_ONLY) && !(b & plot_bit::SURVIVAL))
            b |= plot_bit::DEFAULT;
    }
    if (mode == 2) {
        q->vdqgraph = b;
        hazard_options_without_effect(q, s, b);
        return;
    }
    if (!ignored.empty())
        xpmlog(326, msg326::PLOT_SUBOPTIONS_IGNORED, ignored.c_str());
}

// Device-graphics request (mode 1 with a plot).
void device_setup(KORVCOM* q, const STMT* s)
{
    for (auto& e : q->EntryNam)
        e = varstring{};
    const int first_field[6] = {proc_field::CENSORED_NAME, proc_field::SURVIVAL_NAME,
                                proc_field::LOGSURV_NAME,  proc_field::LOGLOGS_NAME,
                                proc_field::HAZARD_NAME,   proc_field::DENSITY_NAME};
    for (int i = 0; i < 6; ++i) {
        if (i == 0 && !q->zcensplot)
            continue;
        const char* t = nullptr;
        int len = 0;
        if (text_field(s, first_field[i], &t, &len)) {
            q->EntryNam[i].l = len;
            q->EntryNam[i].s = const_cast<char*>(t);
        }
    }
    const char* t = nullptr;
    int len = 0;
    if (text_field(s, proc_field::EVENT_SYMBOL, &t, &len))
        blank_copy(q->EvtSymbol, 8, t, len);
    else
        std::memcpy(q->EvtSymbol, "NONE    ", 8);
    if (text_field(s, proc_field::CENSORED_SYMBOL, &t, &len))
        blank_copy(q->CenSymbol, 8, t, len);
    else
        std::memcpy(q->CenSymbol, "CIRCLE  ", 8);
    if (text_field(s, proc_field::CENSORED_COLOR, &t, &len))
        blank_copy(q->CenColor, 8, t, len);
    else
        std::memcpy(q->CenColor, "12345678", 8);
    auto* g = task_new<HRPLOTSTR>();
    g->annofid = dataset(s, proc_field::ANNOTATE);
    g->lannofid = dataset(s, proc_field::LANNOTATE);
    if (!given(s, proc_field::GOUT_LIBRARY) && !given(s, proc_field::GOUT_MEMBER)) {
        blank_copy(g->libname, 8, nullptr, 0);
        blank_copy(g->memname, 32, "GSEG", 4);
        g->memnamelen = 4;
    } else {
        if (text_field(s, proc_field::GOUT_LIBRARY, &t, &len))
            blank_copy(g->libname, 8, t, len);
        else
            blank_copy(g->libname, 8, nullptr, 0);
        if (text_field(s, proc_field::GOUT_MEMBER, &t, &len) && len > 0) {
            blank_copy(g->memname, 32, t, len);
            g->memnamelen = std::min(len, 32);
        } else {
            blank_copy(g->memname, 32, " ", 1);
            g->memnamelen = 1;
        }
    }
    if (text_field(s, proc_field::DESCRIPTION, &t, &len)) {
        g->desc.l = len;
        g->desc.s = const_cast<char*>(t);
    }
    q->graphics = g;
}

// Line-printer and device-graphics request bytes.
void lineprinter_rule(KORVCOM* q, const STMT* s, int mode)
{
    q->zsurvival = bit(s, proc_bit::PLOT_SURVIVAL);
    q->zlsur = bit(s, proc_bit::PLOT_LOGSURV);
    q->zllsur = bit(s, proc_bit::PLOT_LOGLOGS);
    q->zhazard = bit(s, proc_bit::PLOT_HAZARD);
    q->zpdf = bit(s, proc_bit::PLOT_DENSITY);
    q->zplot = q->zsurvival || q->zlsur || q->zllsur || (q->method == 1 && (q->zpdf || q->zhazard));
    if (q->method != 1 && q->zplot) {
        q->zcensplot = mode == 1 ? bit(s, proc_bit::PLOT_CENSORED) : !bit(s, proc_bit::NOCENSPLOT);
        q->zplot = q->zplot || q->zcensplot;
    }
    // The plot of censored observations comes only beside a survival plot
    // of the product-limit family: asked for otherwise, it is named.
    if (bit(s, proc_bit::PLOT_CENSORED)) {
        if (q->method == 1)
            xpmlog(326, msg326::LP_CENSORED_LIFETABLE);
        else if (!(q->zsurvival || q->zlsur || q->zllsur))
            xpmlog(326, msg326::LP_CENSORED_ALONE);
    }
    if (q->zplot && mode == 1)
        device_setup(q, s);
    // FORMCHAR= is checked once for the step, against the positions of the
    // plots' form characters; each plot then reads it quietly.
    if (q->zplot && mode == 0) {
        const STLIST* pos = stmt_field(s, proc_field::FORMCHAR_POSITIONS);
        int len = 0;
        const char* text = stmt_text(s, proc_field::FORMCHAR, &len);
        char set[12];
        int refused = 0;
        if (pos && pos->type == STL_NUMBERS && pos->n > 0 && pos->dvals)
            refused = zfchread(pos->dvals, pos->n, text, len, set, 12, true);
        else if (text && len > 0)
            refused = zfchread(nullptr, 0, text, len, set, 12, true);
        if (refused > 0)
            raise_rc(q, 4);
    }
}

void cif_rule(KORVCOM* q, const STMT* s, int mode)
{
    CMPRISK* c = q->cmprisk;
    if (bit(s, proc_bit::PLOT_CIF) || bit(s, proc_bit::PLOT_ALL)) {
        if (mode != 2) {
            xpmlog(326, msg326::CIF_PLOT_NEEDS_GRAPHICS);
        } else {
            c->plot |= cif_plot_bit::PLOT;
            if (bit(s, proc_bit::CIF_CL))
                c->plot |= cif_plot_bit::CL;
            if (bit(s, proc_bit::CIF_TEST))
                c->plot |= cif_plot_bit::TEST;
            if (bit(s, proc_bit::PRINTPHANTOM))
                c->plot |= cif_plot_bit::PRINT_DATA;
            if (bit(s, proc_bit::PLOT_ALL))
                xpmlog(326, msg326::CMPRISK_PLOTS_ALL);
        }
    }
    const struct {
        int bit;
        const char* name;
    } refused[] = {{proc_bit::PLOT_SURVIVAL, "PLOTS=SURVIVAL"},
                   {proc_bit::PLOT_LOGSURV, "PLOTS=LOGSURV"},
                   {proc_bit::PLOT_LOGLOGS, "PLOTS=LOGLOGS"},
                   {proc_bit::PLOT_HAZARD, "PLOTS=HAZARD"},
                   {proc_bit::PLOT_DENSITY, "PLOTS=DENSITY"}};
    for (const auto& r : refused)
        if (bit(s, r.bit))
            xpmlog(326, msg326::OPTION_IGNORED_CMPRISK, r.name, "PROC KORVANTE");
    if (bit(s, proc_bit::PLOT_CENSORED))
        xpmlog(326, msg326::LP_CENSORED_CMPRISK);
}

// The options of the cumulative incidence given without competing risks.
void cif_options_without_cmprisk(const STMT* s)
{
    if (given(s, proc_field::ERROR))
        xpmlog(326, msg326::CIF_OPTION_NO_EFFECT, "ERROR=");
    if (bit(s, proc_bit::CIFVAR))
        xpmlog(326, msg326::CIF_OPTION_NO_EFFECT, "CIFVAR");
    if (given(s, proc_field::RHO))
        xpmlog(326, msg326::CIF_OPTION_NO_EFFECT, "RHO=");
}

// The competing-risks record (TIME ... / FAILCODE).
void cmprisk_rule(KORVCOM* q, const STMT* s)
{
    auto* c = task_new<CMPRISK>();
    c->printVar = bit(s, proc_bit::CIFVAR);
    c->xcbminopt = bit(s, proc_bit::XCBMINOPT);
    c->error = stmt_int(s, proc_field::ERROR, 0);
    c->rho = has_value(s, proc_field::RHO) ? num(s, proc_field::RHO, 0) : 0.0;
    c->eventcode = given(s, proc_field::FAILCODES) ? num(s, proc_field::FAILCODES, korv_missing())
                                                   : korv_missing();
    int n = 0;
    double* codes = copy_numbers(s, proc_field::FAILCODES, &n);
    c->nFailcode = n;
    if (n > 0) {
        shell(codes, n);
        Unique(codes, &n);
        c->nFailcode = n;
        c->failcode = codes;
    }
    q->cmprisk = c;
    const STLIST* status = stmt_field(s, proc_field::CENSOR);
    if (!status || status->n < 1) {
        xpslog("%1zFailed to specify the failure type variable.");
        fail_exit(q, 3000);
    }
    auto* in = static_cast<DSHANDLE*>(q->filein);
    xffile(in, 70, status->ivals, 1);
    c->nmStatus = xvname(in, status->ivals[0]);
}

// The first record after the procedure's own whose keyword is `name`.
STMT* find_record(STMT* proc, const char* name)
{
    for (STMT* r = proc ? proc->next : nullptr; r; r = r->next)
        if (std::strcmp(r->name, name) == 0)
            return r;
    return nullptr;
}

// Each TIME statement fills a record of its own (fields 10, 11, 12 and 14
// and the FAILCODE bit, numbered as in the procedure's record). The first one's
// values move into the procedure's record, where the rest of the procedure
// reads them; every later TIME statement is ignored with a warning, so that
// two TIME statements never mix their variables.
void take_time_statement(KORVCOM* q, STMT* proc)
{
    STMT* first = find_record(proc, "TIME");
    if (!first)
        return;
    for (int k :
         {proc_field::TIME, proc_field::CENSOR, proc_field::CENSOR_VALUES, proc_field::FAILCODES})
        if (k < first->nfld && k < proc->nfld)
            proc->fld[k] = first->fld[k];
    constexpr int failcode = proc_bit::FAILCODE;
    if (stmt_bit(first, failcode))
        proc->opt[failcode / 8] |= static_cast<unsigned char>(0x80 >> (failcode % 8));
    for (STMT* r = first->next; r; r = r->next)
        if (std::strcmp(r->name, "TIME") == 0) {
            xpmlog(326, msg326::SECOND_TIME, r->line);
            raise_rc(q, 4);
        }
}

// METHOD= and the switches of the procedure statement.
void method_and_switches(KORVCOM* q, const STMT* s)
{
    switch (stmt_int(s, proc_field::METHOD, 0)) {
    case -2:
        q->method = 1;
        break;
    case -3:
        q->method = 2;
        break;
    case -4:
        q->method = 3;
        break;
    default:
        q->method = 0;
        break;
    }
    // A competing-risks analysis estimates the cumulative incidence whatever
    // METHOD= says: another method is named and set aside, so that no later
    // check speaks of a life table or estimate that is not made.
    if (bit(s, proc_bit::FAILCODE) && q->method != 0) {
        static const char* const name[] = {"", "LIFE", "BRESLOW", "FH"};
        static const char* const what[] = {"", "no life table is made",
                                           "no Breslow estimate is made",
                                           "no Fleming-Harrington estimate is made"};
        xpmlog(326, msg326::METHOD_WITH_CMPRISK, name[static_cast<int>(q->method)],
               what[static_cast<int>(q->method)]);
        q->method = 0;
    }
    q->zatRisk = bit(s, proc_bit::ATRISK);
    q->znoLeft = bit(s, proc_bit::NOLEFT);
    if (bit(s, proc_bit::NELSON)) {
        q->zNelson = 1;
        if (q->method == 1)
            xpmlog(326, msg326::NELSON_WITH_LIFETABLE);
    }
    q->zprint = !bit(s, proc_bit::NOPRINT);
    q->znotable = bit(s, proc_bit::NOTABLE);
    q->zmissing = bit(s, proc_bit::MISSING);
    if (bit(s, proc_bit::SID_ON))
        q->zstrataid = 1;
    if (bit(s, proc_bit::SID_OFF))
        q->zstrataid = 0;
}

// Whether PLOTS= asks a competing-risks analysis for a plot besides NONE:
// the cumulative incidence, or one that it names as not available.
bool cmprisk_plot_requests(const STMT* s)
{
    for (int k : {proc_bit::PLOT_CIF, proc_bit::PLOT_ALL, proc_bit::PLOT_SURVIVAL,
                  proc_bit::PLOT_LOGSURV, proc_bit::PLOT_LOGLOGS, proc_bit::PLOT_HAZARD,
                  proc_bit::PLOT_DENSITY, proc_bit::PLOT_CENSORED})
        if (bit(s, k))
            return true;
    return false;
}

// The plot requests, by plot mode: output-layer graphics (2), device
// graphics (1) or line printer (0), and the competing-risks plots.
void plot_requests(KORVCOM* q, const STMT* s, int mode)
{
    CMPRISK* cmp = q->cmprisk;
    const bool plots = bit(s, proc_bit::PLOTS);
    if (mode == 2) {
        if (plots) {
            if (!q->zprint)
                xpmlog(326, msg326::PLOTS_WITH_NOPRINT);
            else if (cmp) {
                if (!bit(s, proc_bit::PLOT_NONE))
                    cif_rule(q, s, mode);
                else if (cmprisk_plot_requests(s))
                    xpmlog(326, msg326::PLOTS_NONE_WITH_OTHERS);
            } else {
                vdqgraph_rule(q, s, mode);
                if (bit(s, proc_bit::PLOT_CENSORED))
                    xpmlog(326, msg326::LP_CENSORED_GRAPHICS);
            }
        } else if (!q->zprint) {
            // NOPRINT asks for no displayed output: no graph by default
            // either, as none is drawn when PLOTS= is given with it.
        } else if (!cmp) {
            q->vdqgraph |= plot_bit::DEFAULT;
        } else {
            cmp->plot |= bit(s, proc_bit::PRINTPHANTOM)
                             ? cif_plot_bit::PLOT | cif_plot_bit::PRINT_DATA
                             : cif_plot_bit::PLOT;
        }
    } else if (!plots) {
        if (cmp && mode == 0)
            xpmlog(326, msg326::OPTION_IGNORED_CMPRISK, "LINEPRINTER", "PROC KORVANTE");
    } else if (!cmp) {
        vdqgraph_rule(q, s, mode);
        lineprinter_rule(q, s, mode);
    } else {
        cif_rule(q, s, mode);
    }
    if (!cmp && bit(s, proc_bit::PLOT_CIF))
        xpmlog(326, msg326::OPTION_IGNORED_NO_CMPRISK, "PLOTS=CIF", "PROC KORVANTE");
    if (bit(s, proc_bit::PRINTPHANTOM) && q->vdqgraph != 0)
        q->vdqgraph |= plot_bit::PRINT_DATA;
}

// Options of the plots that draw nothing in this step's plot mode are named:
// the device-graphics options act only where device graphics draw a plot
// (`graphics` set), the line-printer ones only for line-printer plots.
void plot_options_without_effect(const KORVCOM* q, const STMT* s, int mode)
{
    if (!q->graphics) {
        const char* why = mode == 2   ? "with statistical graphics"
                          : mode == 0 ? "with line-printer plots"
                                      : "without a plot request";
        const struct {
            bool given;
            const char* name;
        } device[] = {
            {given(s, proc_field::GOUT_LIBRARY) || given(s, proc_field::GOUT_MEMBER), "GOUT="},
            {given(s, proc_field::ANNOTATE), "ANNOTATE="},
            {given(s, proc_field::LANNOTATE), "LANNOTATE="},
            {given(s, proc_field::DESCRIPTION), "DESCRIPTION="},
            {given(s, proc_field::CENSORED_NAME) || given(s, proc_field::SURVIVAL_NAME) ||
                 given(s, proc_field::LOGSURV_NAME) || given(s, proc_field::LOGLOGS_NAME) ||
                 given(s, proc_field::HAZARD_NAME) || given(s, proc_field::DENSITY_NAME),
             "NAME= in PLOTS="},
            {given(s, proc_field::EVENT_SYMBOL), "EVENTSYMBOL="},
            {given(s, proc_field::CENSORED_SYMBOL), "CENSOREDSYMBOL="},
            {given(s, proc_field::CENSORED_COLOR), "CENSOREDCOLOR="},
        };
        for (const auto& o : device)
            if (o.given)
                xpmlog(326, msg326::DEVICE_OPTION_NO_EFFECT, o.name, why);
    }
    if (mode != 0 || !q->zplot) {
        const char* why = mode == 2   ? "with statistical graphics"
                          : mode == 1 ? "with device graphics"
                                      : "without a plot request";
        if (given(s, proc_field::FORMCHAR) || given(s, proc_field::FORMCHAR_POSITIONS))
            xpmlog(326, msg326::LINEPRINTER_OPTION_NO_EFFECT, "FORMCHAR", why);
        if (bit(s, proc_bit::NOCENSPLOT))
            xpmlog(326, msg326::LINEPRINTER_OPTION_NO_EFFECT, "NOCENSPLOT", why);
    }
}

// The survival graph's requests that choose nothing in this step, each
// named in a note: the at-risk table's options without ATRISK, the tick
// options without ATRISK= times (the default at-risk times are the axis's
// ticks), ATRISK= times past MAXTIME=, STRATA=PANEL or INDIVIDUAL with one
// curve, and TEST where no p-value can be shown (no tests, a single
// stratum, or the GROUP= graphs drawn per stratum before the test).
void survival_graph_options_without_effect(const KORVCOM* q, const STMT* s, int mode)
{
    const int v = q->vdqgraph;
    if (mode != 2 || q->cmprisk || !(v & plot_bit::SURVIVAL))
        return;
    if (q->method != 1) {
        const struct {
            bool given;
            const char* name;
            const char* why;
        } table[] = {
            {given(s, proc_field::MAXLEN), "MAXLEN=", "it limits the stratum labels of that table"},
            {bit(s, proc_bit::ATRISK_OUTSIDE), "OUTSIDE", "it places that table below the axis"},
            {bit(s, proc_bit::ATRISK_TICK), "ATRISKTICK",
             "it makes the at-risk times the axis's ticks"},
            {bit(s, proc_bit::ATRISK_TICKONLY), "ATRISKTICKONLY",
             "it makes the at-risk times the axis's only ticks"},
        };
        for (const auto& o : table) {
            if (!o.given)
                continue;
            if (!q->art)
                xpmlog(326, msg326::ATRISK_OPTION_WITHOUT_ATRISK, o.name, o.why);
            else if (!q->art->zexplicit && o.name[0] == 'A')
                xpmlog(326, msg326::ATRISKTICK_WITHOUT_TIMES, o.name);
        }
        // The at-risk table's rows are labelled by the strata or the GROUP=
        // levels; without either its one row has no label.
        if (q->art && given(s, proc_field::MAXLEN) && q->nsvar == 0 && !q->grpvar)
            xpmlog(326, msg326::MAXLEN_WITHOUT_LABELS);
        // The time axis ends at MAXTIME=: ATRISK= times past it have no place
        // on the graph.
        if (q->art && q->art->zexplicit && q->zmaxtime) {
            const double end = q->maxtime;
            int n = 0;
            const std::string past = listed(
                q->art->t, q->art->n, [end](double t) { return t > end; }, &n);
            if (n > 0) {
                char buf[40];
                std::snprintf(buf, sizeof buf, "%.15g", end);
                xpmlog(326,
                       n == 1 ? msg326::ATRISK_PAST_MAXTIME : msg326::ATRISK_PAST_MAXTIME_SEVERAL,
                       past.c_str(), buf);
            }
        }
    }
    // STRATA= arranges the graphs of the strata; one curve, drawn alone in
    // one graph, has nothing to arrange. A BY group with a single stratum is
    // named in its own note.
    if ((v & (plot_bit::PANEL | plot_bit::INDIVIDUAL)) && q->nsvar == 0 && !q->grpvar)
        xpmlog(326, msg326::ARRANGEMENT_NO_EFFECT, (v & plot_bit::PANEL) ? "PANEL" : "INDIVIDUAL",
               "PLOTS=SURVIVAL",
               "without STRATA variables or GROUP=: there is one curve, in one graph");
    if (!(v & plot_bit::TEST))
        return;
    if (q->ktype & test_bit::NONE)
        xpmlog(326, msg326::PLOT_TEST_NO_EFFECT, "NOTEST leaves out the tests across strata");
    else if (q->nsvar == 0 && !q->grpvar)
        xpmlog(326, msg326::PLOT_TEST_NO_EFFECT,
               "without STRATA variables or GROUP= there is a single stratum and no test "
               "across strata");
    else if (q->grpvar && q->nsvar > 0 && !(v & plot_bit::PANEL))
        xpmlog(326, msg326::PLOT_TEST_GROUP_LAYOUT, "GROUP=");
}

// The options of the estimates tables that choose nothing in this step,
// each named in a note: those of a table not made on this road (competing
// risks, the life table) or not printed (NOPRINT, NOTABLE), the ID
// statement with TIMELIST=, ALPHAQT= and TIMELIM= where no quartile or
// mean is estimated or shown, and TIMELIST= and INTERVALS= where the rows
// they choose are not printed or written.
void table_options_without_effect(const KORVCOM* q, const STMT* s, int mode)
{
    const CMPRISK* cmp = q->cmprisk;
    const bool lt = q->method == 1;

    // The options of the product-limit type estimates table.
    const struct {
        bool given;
        const char* name;
    } table[] = {
        {bit(s, proc_bit::ATRISK), "ATRISK"},
        {bit(s, proc_bit::NOLEFT), "NOLEFT"},
        // With the life table NELSON already has its own warning.
        {bit(s, proc_bit::NELSON) && !lt, "NELSON"},
        {given(s, proc_field::ID), "The ID statement"},
    };
    const char* road = cmp ? "with competing risks" : lt ? "with the life-table method" : nullptr;
    const char* hidden = !q->zprint ? "NOPRINT" : q->znotable ? "NOTABLE" : nullptr;
    for (const auto& o : table) {
        if (!o.given)
            continue;
        if (road)
            xpmlog(326, msg326::TABLE_OPTION_ROAD, o.name, road);
        else if (hidden)
            xpmlog(326, msg326::TABLE_OPTION_NOT_PRINTED, o.name, hidden);
    }
    // With TIMELIST= the table's rows are the listed times, not observations:
    // it has no ID columns (and OUTSURV= never has).
    if (given(s, proc_field::ID) && !road && !hidden && q->timelist)
        xpmlog(326, msg326::ESTIMATE_OPTION_ROAD, "The ID statement", "with TIMELIST=",
               "the estimates table shows the listed times, not the observations");
    // The quartiles and the mean belong to the product-limit type methods;
    // TIMELIM= with the life table already has its own warning.
    if (has_value(s, proc_field::ALPHAQT) && road)
        xpmlog(326, msg326::ESTIMATE_OPTION_ROAD, "ALPHAQT=", road,
               "no quartiles of the survival time are estimated");
    if (given(s, proc_field::TIMELIM) && !lt) {
        if (cmp)
            xpmlog(326, msg326::ESTIMATE_OPTION_ROAD, "TIMELIM=", road,
                   "no mean survival time is estimated");
        else if (hidden)
            xpmlog(326, msg326::TABLE_OPTION_NOT_PRINTED, "TIMELIM=", hidden);
    }
    // TIMELIST= (and INTERVALS= without the life table) choose the rows of
    // the estimates table (with competing risks, the cumulative incidence
    // table) and of the data set that REDUCEOUT cuts down to them; with
    // neither they choose nothing. ALPHAQT= sets the quartiles' limits,
    // shown in their table and by the median of the survival graph.
    if (hidden) {
        char under[16];
        std::snprintf(under, sizeof under, "under %s", hidden);
        const bool reduced = q->fileouts && q->zreduce;
        const char* rows = cmp ? "it chooses the rows of the cumulative incidence table, which it "
                                 "leaves out, and of OUTCIF= only with REDUCEOUT"
                               : "it chooses the rows of the estimates tables, which it leaves "
                                 "out, and of OUTSURV= only with REDUCEOUT";
        if (q->ztimelst && !reduced)
            xpmlog(326, msg326::ESTIMATE_OPTION_ROAD, "TIMELIST=", under, rows);
        if (q->zinter && !q->ztimelst && !lt && !cmp && !reduced)
            xpmlog(326, msg326::ESTIMATE_OPTION_ROAD, "INTERVALS=", under, rows);
        if (has_value(s, proc_field::ALPHAQT) && !road &&
            !(mode == 2 && (q->vdqgraph & plot_bit::SURVIVAL)))
            xpmlog(326, msg326::ESTIMATE_OPTION_ROAD, "ALPHAQT=", under,
                   "it sets the level of the quartiles' limits, whose table it leaves out, and "
                   "of the median's limits in the survival graph, which is not drawn");
    }
}

// Options read for the step that choose nothing in it, each named in a note:
// those of the estimates tables (table_options_without_effect), those of
// OUTSURV= without that data set, the bands' range without a band, the plot
// options without a plot, MISSING without STRATA variables or GROUP=, and
// SINGULAR= without a test that uses it, and ALPHA= and CONFTYPE= where no
// confidence limit is shown or written. Called once the STRATA statement is
// read, so that every request is known.
void options_without_effect(const KORVCOM* q, const STMT* s, int mode)
{
    const CMPRISK* cmp = q->cmprisk;
    const bool lt = q->method == 1;
    const bool mean_plots = bit(s, proc_bit::PLOT_RMST) || bit(s, proc_bit::PLOT_RMTL);
    table_options_without_effect(q, s, mode);

    // MISSING makes a missing STRATA or GROUP= value a stratum or level.
    if (q->zmissing && q->nsvar == 0 && !q->grpvar)
        xpmlog(326, msg326::MISSING_WITHOUT_STRATA);

    // The options of OUTSURV= alone.
    const char* no_out = cmp ? "with competing risks" : !q->fileouts ? "without OUTSURV=" : nullptr;
    if (bit(s, proc_bit::STDERR) && no_out)
        xpmlog(326, msg326::OUTSURV_OPTION_NO_EFFECT, "STDERR", no_out);
    if (bit(s, proc_bit::SID_ON) && q->zstrataid) {
        if (no_out)
            xpmlog(326, msg326::OUTSURV_OPTION_NO_EFFECT, "SID=ON", no_out);
        else if (q->nsvar == 0)
            xpmlog(326, msg326::SID_WITHOUT_STRATA);
    }
    if (!cmp && !lt && q->confband != 0 && !q->fileouts)
        xpmlog(326, msg326::CONFBAND_WITHOUT_OUTSURV);
    const bool band =
        !cmp && (q->confband != 0 || (q->vdqgraph & (plot_bit::HW_BAND | plot_bit::EP_BAND)));
    if (!band) {
        if (has_value(s, proc_field::BANDMIN))
            xpmlog(326, msg326::BAND_RANGE_NO_BAND, "BANDMIN=");
        if (has_value(s, proc_field::BANDMAX))
            xpmlog(326, msg326::BAND_RANGE_NO_BAND, "BANDMAX=");
    }

    // PRINTPHANTOM shows the data of the output-layer plots; MAXTIME= ends
    // the time axis of any plot. The restricted means' plots take both.
    const bool layer_plot = mode == 2 && (cmp ? (cmp->plot & cif_plot_bit::PLOT) != 0
                                              : (q->vdqgraph != 0 || q->kmhaz != nullptr));
    const char* why = mode == 0   ? "whose data could be printed: line-printer plots have none"
                      : mode == 1 ? "whose data could be printed: device graphics have none"
                                  : "whose data could be printed";
    if (bit(s, proc_bit::PRINTPHANTOM) && !layer_plot && !mean_plots)
        xpmlog(326, msg326::PLOT_OPTION_NO_PLOT, "PRINTPHANTOM", why);
    if (q->zmaxtime && !layer_plot && !mean_plots && !q->zplot && !q->graphics)
        xpmlog(326, msg326::PLOT_OPTION_NO_PLOT, "MAXTIME=", "whose time axis it could end");
    // STRATA=INDIVIDUAL of the restricted means' plots draws one graph per
    // stratum when the strata are the curves: with GROUP= each stratum's
    // graph already overlays its GROUP= levels, and without STRATA
    // variables there is one curve. STRATA=PANEL has nothing to put in
    // panels when there is one curve: the plot is drawn as without it.
    for (auto [field, name] : {std::pair{proc_field::RMST_ARRANGEMENT, "PLOTS=RMST"},
                               std::pair{proc_field::RMTL_ARRANGEMENT, "PLOTS=RMTL"}}) {
        const int arrangement = stmt_int(s, field, 0);
        if (arrangement == -3 && (q->grpvar || q->nsvar == 0))
            xpmlog(326, msg326::ARRANGEMENT_NO_EFFECT, "INDIVIDUAL", name,
                   q->grpvar ? "with GROUP=: the graph of each stratum overlays its GROUP= levels"
                             : "without STRATA variables: there is one curve, in one graph");
        else if (arrangement == -2 && !q->grpvar && q->nsvar == 0)
            xpmlog(326, msg326::ARRANGEMENT_NO_EFFECT, "PANEL", name,
                   "without STRATA variables or GROUP=: there is one curve, in one graph");
    }
    survival_graph_options_without_effect(q, s, mode);

    // ALPHA= sets the level, and CONFTYPE= the transform, of the pointwise
    // confidence limits: those of OUTSURV= (OUTCIF=) and of the graphs, of
    // the cumulative incidence table, of the restricted means (ALPHA=
    // only) and of the quartiles (CONFTYPE= only; their level is
    // ALPHAQT=). A step that writes no such data set, draws no graph and
    // prints none of these tables shows no limit they could change; any
    // graph counts, whether or not it shows limits.
    const bool graph = mode == 2 && (q->vdqgraph != 0 || q->kmhaz != nullptr || mean_plots ||
                                     (cmp && (cmp->plot & cif_plot_bit::PLOT)));
    if (!q->fileouts && !graph) {
        const bool printed = q->zprint && !q->znotable;
        const bool means = q->zprint && (bit(s, proc_bit::RMST) || bit(s, proc_bit::RMTL));
        const char* out = cmp ? "OUTCIF=" : "OUTSURV=";
        if (has_value(s, proc_field::ALPHA) && !(cmp && printed) && !means)
            xpmlog(326, msg326::LIMITS_OPTION_NO_LIMITS, "ALPHA=", "level", out,
                   printed && !lt ? " (the quartiles' limits take the level of ALPHAQT=)" : "");
        if (given(s, proc_field::CONFTYPE) && !(printed && (cmp || !lt)))
            xpmlog(326, msg326::LIMITS_OPTION_NO_LIMITS, "CONFTYPE=", "transform", out, "");
    }

    // SINGULAR= decides the rank of the rank tests' covariance matrices
    // across strata and of the TEST statement's; nothing else reads it.
    const bool rank_tests = !cmp && (q->nsvar > 0 || q->grpvar) && !(q->ktype & test_bit::NONE);
    if (has_value(s, proc_field::SINGULAR) && !rank_tests && q->ncvar == 0)
        xpmlog(326, msg326::SINGULAR_WITHOUT_TESTS,
               cmp ? "it applies to the rank tests across strata and the TEST statement, which "
                     "a competing-risks analysis does not make"
                   : "no rank test across strata and no TEST statement is computed");
}

// The analysis variables: TIME (required), BY, ID, FREQ, WEIGHT (product-limit
// only, not with competing risks) and TEST (not with competing risks, set
// aside with WEIGHT).
void analysis_variables(KORVCOM* q, const STMT* s)
{
    const CMPRISK* cmp = q->cmprisk;
    q->ztime = given(s, proc_field::TIME);
    if (!q->ztime) {
        xpmlog(326, msg326::NO_TIME);
        raise_rc(q, 3000);
    }
    q->zby = given(s, proc_field::BY);
    q->nby = stmt_count(s, proc_field::BY);
    q->nid = q->zprint ? stmt_count(s, proc_field::ID) : 0;
    if (q->nid > 0)
        q->idptr = task_new<void*>(q->nid);
    q->zfreq = given(s, proc_field::FREQ);
    q->znotrunc = bit(s, proc_bit::NOTRUNCATE);

    // WEIGHT.
    q->zwt = given(s, proc_field::WEIGHT);
    if (q->zwt) {
        if (cmp) {
            xpmlog(326, msg326::STATEMENT_NOT_CMPRISK, "WEIGHT");
            fail_exit(q, 2000);
        }
        if (q->method != 0) {
            xpmlog(326, msg326::WEIGHT_NEEDS_PL,
                   q->method == 1   ? "lifetable"
                   : q->method == 2 ? "Breslow"
                                    : "Fleming-Harrington");
            fail_exit(q, 2000);
        }
    }

    // The TEST covariates.
    q->ncvar = stmt_count(s, proc_field::TEST);
    if (q->ncvar > 0) {
        if (cmp) {
            xpmlog(326, msg326::STATEMENT_NOT_CMPRISK, "TEST");
            fail_exit(q, 2000);
        }
        if (q->zwt) {
            xpmlog(326, msg326::TEST_WITH_WEIGHT);
            q->ncvar = 0;
        } else {
            q->c = task_new<CNAMES>(q->ncvar + 1);
        }
    }
}

// OUTSURV= and OUTTEST=, or OUTCIF= with competing risks.
void output_data_sets(KORVCOM* q, const STMT* s)
{
    const CMPRISK* cmp = q->cmprisk;
    q->fileouts = dataset(s, proc_field::OUTSURV);
    q->fileoutt = dataset(s, proc_field::OUTTEST);
    if (cmp) {
        if (given(s, proc_field::OUTSURV)) {
            xpmlog(326, msg326::OPTION_NOT_CMPRISK, "OUTSURV=", "PROC KORVANTE");
            fail_exit(q, 2000);
        }
        if (given(s, proc_field::OUTTEST)) {
            xpmlog(326, msg326::OPTION_NOT_CMPRISK, "OUTTEST=", "PROC KORVANTE");
            fail_exit(q, 2000);
        }
        q->fileouts = dataset(s, proc_field::OUTCIF);
    } else if (given(s, proc_field::OUTCIF)) {
        xpmlog(326, msg326::OPTION_ONLY_CMPRISK, "OUTCIF=", "PROC KORVANTE");
        raise_rc(q, 2000);
    }
}

// The censoring values, MAXTIME= and TIMELIM=, and the line-printer plots
// that need the life table.
void time_limits(KORVCOM* q, const STMT* s, int mode)
{
    // The censoring values of the TIME statement, in ascending order.
    q->zevent = given(s, proc_field::CENSOR);
    if (q->zevent && given(s, proc_field::CENSOR_VALUES)) {
        q->elist = copy_numbers(s, proc_field::CENSOR_VALUES, &q->evnum);
        shell(q->elist, q->evnum);
    } else {
        q->evnum = 0;
        q->elist = nullptr;
    }

    // MAXTIME=.
    q->maxtime = DBL_MAX;
    if (has_value(s, proc_field::MAXTIME)) {
        q->zmaxtime = 1;
        q->maxtime = num(s, proc_field::MAXTIME, DBL_MAX);
        if (q->maxtime <= 0) {
            xpmlog(326, msg326::BAD_MAXTIME);
            fail_exit(q, 2000);
        }
    } else if (given(s, proc_field::MAXTIME)) {
        xpmlog(326, msg326::MAXTIME_MISSING);
    }

    // TIMELIM=: a time, EVENT or OBSERVED; ignored with the life table.
    q->restric = -1.0;
    if (given(s, proc_field::TIMELIM)) {
        if (q->method == 1) {
            xpmlog(326, msg326::TIMELIM_WITH_LIFETABLE);
        } else if (stmt_field(s, proc_field::TIMELIM)->type == STL_NUMBER) {
            // A time. EVENT and OBSERVED arrive as the codes -1 and -2, so a
            // negative time cannot pass for one of them.
            double t = num(s, proc_field::TIMELIM, -1.0);
            if (wzmis(t)) {
                xpmlog(326, msg326::TIMELIM_MISSING);
            } else if (t < 0) {
                xpmlog(326, msg326::TIMELIM_NEGATIVE);
                fail_exit(q, 2000);
            } else {
                q->restric = t;
            }
        } else {
            q->restric = num(s, proc_field::TIMELIM, -1.0);
        }
    }

    // Line-printer hazard and density plots need the life table.
    if ((q->zhazard || q->zpdf) && q->method != 1 && mode != 2) {
        const char* m = q->method == 0 ? "PL" : q->method == 2 ? "BRESLOW" : "FH";
        if (q->zhazard) {
            xpmlog(326, msg326::PLOT_NEEDS_LIFETABLE, "HAZARD", m);
            q->zhazard = 0;
        }
        if (q->zpdf) {
            xpmlog(326, msg326::PLOT_NEEDS_LIFETABLE, "PDF", m);
            q->zpdf = 0;
        }
    }
}

// The times of the rows: INTERVALS=, TIMELIST= and REDUCEOUT, then WIDTH= and
// NINTERVAL= for the life-table intervals. A competing-risks analysis makes
// no life table and lists the cumulative incidence at the TIMELIST= times:
// there the interval options are named as without effect, and they neither
// stand in for TIMELIST= nor push it aside.
void time_points(KORVCOM* q, const STMT* s)
{
    const bool cr = q->cmprisk != nullptr;
    if (given(s, proc_field::INTERVALS)) {
        q->zinter = 1;
        int n = 0;
        double* v = copy_numbers(s, proc_field::INTERVALS, &n, 1);
        v[0] = 0;
        q->ninter = clean_times(v, n);
        q->interval = v;
        // A life table needs at least one boundary above 0.
        if (q->ninter < 2) {
            xpmlog(326, msg326::NO_POSITIVE_INTERVAL);
            fail_exit(q, 2000);
        }
        if (cr)
            xpmlog(326, msg326::CR_LIFETABLE_OPTION_NO_EFFECT, "INTERVALS=");
    }

    // TIMELIST=, not with the life table or INTERVALS=.
    if (given(s, proc_field::TIMELIST)) {
        q->ztimelst = 1;
        if (q->method == 1) {
            xpmlog(326, msg326::TIMELIST_WITH_LIFETABLE);
            q->ztimelst = 0;
        } else if (q->zinter && !cr) {
            xpmlog(326, msg326::TIMELIST_WITH_INTERVALS);
            q->ztimelst = 0;
        } else {
            int n = 0;
            q->timelist = copy_numbers(s, proc_field::TIMELIST, &n);
            // A time before 0 chooses no row: no time of the data lies there.
            int neg = 0;
            const std::string negative = listed(
                q->timelist, n, [](double t) { return t < 0; }, &neg);
            q->ntime = clean_times(q->timelist, n);
            if (q->ntime == 0) {
                // Nothing at or after time 0: no time list at all.
                xpmlog(326, msg326::TIMELIST_EMPTY);
                q->ztimelst = 0;
                q->timelist = nullptr;
            } else if (neg > 0) {
                xpmlog(326,
                       neg == 1 ? msg326::TIMELIST_NEGATIVE : msg326::TIMELIST_NEGATIVE_SEVERAL,
                       negative.c_str());
            }
        }
    }

    // REDUCEOUT needs a time list or intervals and an OUTSURV= data set;
    // with competing risks a time list and an OUTCIF= data set.
    if (bit(s, proc_bit::REDUCEOUT)) {
        q->zreduce = 1;
        if (!q->ztimelst && (cr || !q->zinter)) {
            xpmlog(326, cr ? msg326::CR_REDUCEOUT_NO_TIMELIST : msg326::REDUCEOUT_NO_LIST);
            q->zreduce = 0;
        } else if (!q->fileouts) {
            xpmlog(326, cr ? msg326::CR_REDUCEOUT_NO_OUTCIF : msg326::REDUCEOUT_NO_OUTSURV);
            q->zreduce = 0;
        }
    }

    // WIDTH= and NINTERVAL=.
    if (given(s, proc_field::WIDTH)) {
        q->zwidth = 1;
        if (!q->zinter) {
            double w = num(s, proc_field::WIDTH, korv_missing());
            if (wzmis(w) || w <= 0) {
                xpmlog(326, msg326::BAD_WIDTH);
                raise_rc(q, 2000);
            }
            q->width = w;
        }
    }
    if (q->ninter == 0) {
        q->ninter =
            has_value(s, proc_field::NINTERVAL) ? stmt_int(s, proc_field::NINTERVAL, 10) : 10;
        if (q->ninter < 1)
            q->ninter = 1;
    }
    // The life table's intervals come from INTERVALS=, else WIDTH=, else
    // NINTERVAL=: an option that does not choose them is named.
    const bool width = given(s, proc_field::WIDTH), count = given(s, proc_field::NINTERVAL);
    if (cr) {
        if (width)
            xpmlog(326, msg326::CR_LIFETABLE_OPTION_NO_EFFECT, "WIDTH=");
        if (count)
            xpmlog(326, msg326::CR_LIFETABLE_OPTION_NO_EFFECT, "NINTERVAL=");
    } else if (q->method != 1) {
        if (width)
            xpmlog(326, msg326::LIFETABLE_OPTION_NO_EFFECT, "WIDTH=");
        if (count)
            xpmlog(326, msg326::LIFETABLE_OPTION_NO_EFFECT, "NINTERVAL=");
    } else {
        if (width && q->zinter)
            xpmlog(326, msg326::INTERVAL_OPTION_OVERRIDDEN, "WIDTH=", "INTERVALS=");
        if (count && (q->zinter || width))
            xpmlog(326, msg326::INTERVAL_OPTION_OVERRIDDEN,
                   "NINTERVAL=", q->zinter ? "INTERVALS=" : "WIDTH=");
    }
}

// ALPHA=, ALPHAQT= (each kept within 0.0001 and 0.9999) and SINGULAR=.
void significance_levels(KORVCOM* q, const STMT* s)
{
    q->alpha = 0.05;
    if (has_value(s, proc_field::ALPHA)) {
        q->alpha = num(s, proc_field::ALPHA, 0.05);
        if (q->alpha > 0.9999) {
            xpmlog(326, msg326::ALPHA_TOO_LARGE);
            q->alpha = 0.9999;
        } else if (q->alpha < 0.0001) {
            xpmlog(326, msg326::ALPHA_TOO_SMALL);
            q->alpha = 0.0001;
        }
    }
    q->critical = zprobit(1 - q->alpha / 2);
    if (!has_value(s, proc_field::ALPHAQT)) {
        q->qtalpha = 0.05;
        q->qtcritical = 1.959963984540054;
    } else {
        q->qtalpha = num(s, proc_field::ALPHAQT, 0.05);
        if (q->qtalpha > 0.9999) {
            xpmlog(326, msg326::ALPHAQT_TOO_LARGE);
            q->qtalpha = 0.9999;
        } else if (q->qtalpha < 0.0001) {
            xpmlog(326, msg326::ALPHAQT_TOO_SMALL);
            q->qtalpha = 0.0001;
        }
        q->qtcritical = zprobit(1 - q->qtalpha / 2);
    }
    q->singular = has_value(s, proc_field::SINGULAR) ? num(s, proc_field::SINGULAR, 1e-12) : 1e-12;
    if (!(q->singular > 0))
        q->singular = 1e-12;
}

} // namespace

// ---------------------------------------------------------------------------

void korv_parse_options(KORVCOM* q, STMT* s, int mode)
{
    // The TIME statement's variables join the procedure's record.
    take_time_statement(q, s);
    method_and_switches(q, s);
    if (bit(s, proc_bit::FAILCODE))
        cmprisk_rule(q, s);
    else
        cif_options_without_cmprisk(s);
    plot_requests(q, s, mode);
    plot_options_without_effect(q, s, mode);
    analysis_variables(q, s);
    output_data_sets(q, s);
    time_limits(q, s, mode);
    time_points(q, s);
    significance_levels(q, s);

    // The survival options, or the competing-risks confidence settings.
    if (!q->cmprisk) {
        ParseSurvival(q, s);
    } else {
        q->conftype = stmt_int(s, proc_field::CONFTYPE, 0);
        if (stmt_int(s, proc_field::CONFBAND, 0) != 0)
            xpmlog(326, msg326::OPTION_IGNORED_CMPRISK, "CONFBAND=", "PROC KORVANTE");
    }

    // The STRATA statement (only the first one counts).
    if (STMT* strata = find_record(s, "STRATA")) {
        ParseStrataStmt(q, strata);
        for (STMT* r = strata->next; r; r = r->next)
            if (std::strcmp(r->name, "STRATA") == 0) {
                xpmout(326, msg326::SECOND_STRATA);
                break;
            }
    }

    // The TEST statement is set aside with GROUP=.
    if (q->ncvar > 0 && q->grpvar) {
        xpmlog(326, msg326::TEST_WITH_GROUP);
        q->ncvar = 0;
    }

    if (q->rc <= 4)
        options_without_effect(q, s, mode);

    // Errors of the options end the step here.
    if (q->rc > 4)
        xexit(q->rc, 0);
}

void parse(KORVCOM* q)
{
    // Names are kept to eight characters under VALIDVARNAME=V6.
    int len = 0;
    const char* vvn = xoptcgt("VALIDVARNAME", &len);
    q->v6names = (vvn && len >= 2 && vvn[1] == '6') ? 1 : 0;

    // The end-of-task hook, and the common block where the host can find it.
    xytexit(korvEndOfTask);
    *xcomanchor() = q;

    // The step's statements, parsed with the procedure's grammar.
    PARSECONTROL* pc = korvg();
    xsparse(pc, nullptr);
    PROCSTR* ps = korv_procstr();
    if (ps) {
        ps->head = pc->head;
        ps->last = pc->last;
        ps->current = pc->current;
        ps->error = pc->error;
    }
    if (pc->error)
        fail_exit(q, pc->error);
    if (!pc->head)
        fail_exit(q, 3000);
    q->stmt = pc->head;
    STMT* s = pc->head;

    // The output-layer manager of the step, titled with the procedure's name.
    xobinit(&q->cls, 0);
    WOB_PARM_BLK_STR mk[] = {
        wob_string(WOB_TAG_PACKAGE, "vdq", 3), wob_string(WOB_TAG_CLASS, "manager", 7),
        wob_object(WOB_TAG_OUT, nullptr),      wob_int(WOB_TAG_MSGGROUP, 326),
        wob_flag(WOB_TAG_MANAGER_FLAG, 1),
    };
    wobcall(q->cls, WOB_SEL_CREATE, mk);
    q->vdq = mk[2].value.o;
    WOB_PARM_BLK_STR hd[] = {
        WOB_PARM_BLK_STR{},
        wob_flag(WOB_TAG_TITLEFLAG, 1),
        wob_int(WOB_TAG_148, -1),
        wob_key(WOB_TAG_TEXT, vdqmsg(0, msg0::PROCEDURE_TITLE)),
    };
    wobcall(q->vdq, WOB_SEL_HEADING, hd);

    // The input data set, with every variable selected.
    q->filein = dataset(s, proc_field::DATA);
    if (!q->filein) {
        xpmlog(326, msg326::NO_INPUT);
        fail_exit(q, 1008);
    }
    auto* in = static_cast<DSHANDLE*>(q->filein);
    xvallvr(in);
    xvsele(in);
    if (xoinfo(in, 23) < 1)
        fail_exit(q, 1008);

    // The plot mode: 0 line printer, 1 device graphics, 2 output-layer graphics.
    int mode = 0;
    if (!(bit(s, proc_bit::LINEPRINTER) && !bit(s, proc_bit::GRAPHICS))) {
        WOB_PARM_BLK_STR g{};
        g.tag = 1334;
        g.type = WOB_T_FLAG;
        g.rc = -1; // marks a query the manager did not answer
        const int rc = q->vdq ? wobzoom(q->vdq, 1, 2, 1, &g) : -1;
        if (rc < 0 && rc != -1)
            zvdqexit(rc);
        bool on = g.rc == -1 ? vyr_graphics_enabled() : g.value.flag[1] == 1;
        mode = on ? 2 : 1;
    }
    korv_parse_options(q, s, mode);
}

// ---------------------------------------------------------------------------

void ParseSurvival(KORVCOM* q, STMT* s)
{
    // OUT= of the SURVIVAL statement.
    q->zSurvStmt = bit(s, proc_bit::SURVIVAL_OUT);
    q->fileouts = dataset(s, proc_field::OUTSURV);
    // ALPHA=, kept within 0.0001 and 0.9999.
    if (has_value(s, proc_field::ALPHA)) {
        q->alpha = std::clamp(num(s, proc_field::ALPHA, 0.05), 0.0001, 0.9999);
        q->critical = zprobit(1 - q->alpha / 2);
    }
    // CONFTYPE= and CONFBAND (no bands with the life table).
    q->conftype = stmt_int(s, proc_field::CONFTYPE, 0);
    q->confband = stmt_int(s, proc_field::CONFBAND, 0);
    if (q->confband != 0 && q->method == 1) {
        xpmlog(326, msg326::BANDS_WITH_LIFETABLE);
        q->confband = 0;
    }
    // The time range of the bands.
    q->bandmax = has_value(s, proc_field::BANDMAX) ? num(s, proc_field::BANDMAX, -1.0) : -1.0;
    q->bandmin = has_value(s, proc_field::BANDMIN) ? num(s, proc_field::BANDMIN, -1.0) : -1.0;
    if (q->bandmax > 0 && q->bandmin > 0 && q->bandmax < q->bandmin) {
        xpmlog(326, msg326::BANDMAX_BELOW_BANDMIN);
        raise_rc(q, 2000);
    }
    // REDUCEOUT needs a time list or intervals and an OUTSURV= data set;
    // a REDUCEOUT that the procedure statement's checks refused stays off.
    if (bit(s, proc_bit::REDUCEOUT) && (q->zinter || q->ztimelst) && q->fileouts)
        q->zreduce = 1;
    if (bit(s, proc_bit::STDERR))
        q->zseout = 1;
    // MAXTIME=: the same checks as on the procedure statement.
    if (given(s, proc_field::MAXTIME)) {
        double m = num(s, proc_field::MAXTIME, korv_missing());
        if (wzmis(m)) {
            // ignored, as on the procedure statement
        } else if (m <= 0) {
            xpmlog(326, msg326::BAD_MAXTIME);
            fail_exit(q, 2000);
        } else {
            q->maxtime = m;
            q->zmaxtime = 1;
        }
    }
}

// ---------------------------------------------------------------------------

namespace
{

// The test bits of the STRATA statement (KORVCOM.ktype): the tests asked for,
// with WEIGHT only those that take weights (each refused one is named), the
// default tests when none is asked for, NOTEST, NODETAIL and TREND; sets the
// Fleming-Harrington parameters when that test is on.
int test_mask(KORVCOM* q, const STMT* s)
{
    const bool wt = q->zwt;
    int m = 0;
    if (bit(s, strata_bit::LOGRANK))
        m |= test_bit::LOGRANK;
    if (bit(s, strata_bit::WILCOXON))
        m |= test_bit::WILCOXON;
    if (bit(s, strata_bit::TARONE))
        m |= test_bit::TARONE;
    const struct {
        int bit;
        int mask;
        const char* name;
    } weighted[] = {{strata_bit::PETO, test_bit::PETO, "PETO"},
                    {strata_bit::MODPETO, test_bit::MODPETO, "MODPETO"},
                    {strata_bit::FLEMING, test_bit::FLEMING, "FLEMING"},
                    {strata_bit::LR, test_bit::LR, "LR"}};
    for (const auto& t : weighted) {
        if (!bit(s, t.bit))
            continue;
        if (!wt) {
            m |= t.mask;
        } else {
            xpmlog(326, msg326::TEST_NOT_WEIGHTED, t.name);
            m |= test_bit::REFUSED_WEIGHTED;
        }
    }
    if (m & test_bit::FLEMING) {
        q->fleming = task_new<double>(2);
        q->fleming[0] =
            has_value(s, strata_field::FLEMING_RHO) ? num(s, strata_field::FLEMING_RHO, 1.0) : 1.0;
        q->fleming[1] = has_value(s, strata_field::FLEMING_GAMMA)
                            ? num(s, strata_field::FLEMING_GAMMA, -1.0)
                            : -1.0;
    }
    if (bit(s, strata_bit::TEST_NONE)) {
        m |= test_bit::NONE;
    } else {
        if (bit(s, strata_bit::TEST_ALL)) {
            m |= test_bit::LOGRANK | test_bit::WILCOXON | test_bit::TARONE;
            if (!wt) {
                m |= test_bit::PETO | test_bit::MODPETO | test_bit::FLEMING;
                if (!q->fleming) {
                    q->fleming = task_new<double>(2);
                    q->fleming[0] = 1.0;
                    q->fleming[1] = -1.0;
                }
            } else {
                // Each refused test is named once.
                if (!bit(s, strata_bit::MODPETO))
                    xpmlog(326, msg326::TEST_NOT_WEIGHTED, "MODPETO");
                if (!bit(s, strata_bit::PETO))
                    xpmlog(326, msg326::TEST_NOT_WEIGHTED, "PETO");
                if (!bit(s, strata_bit::FLEMING))
                    xpmlog(326, msg326::TEST_NOT_WEIGHTED, "FLEMING");
            }
        }
        // Nothing asked: log-rank and Wilcoxon, and the likelihood-ratio
        // test without WEIGHT; only refused tests asked: none at all.
        if (m == 0)
            m = test_bit::LOGRANK | test_bit::WILCOXON | (wt ? 0 : test_bit::LR);
        if (m == test_bit::REFUSED_WEIGHTED)
            m |= test_bit::NONE;
    }
    if (bit(s, strata_bit::NOTEST))
        m |= test_bit::NONE;
    if (bit(s, strata_bit::NODETAIL))
        m |= test_bit::NODETAIL;
    if (bit(s, strata_bit::TREND))
        m |= test_bit::TREND;
    return m;
}

// The multiple-comparisons request (DIFF=, RATIO, ADJUST=, STEPDOWN), or null
// when there is none.
SURVDIFF* comparisons_request(KORVCOM* q, const STMT* s)
{
    const bool diff = bit(s, strata_bit::DIFF);
    const bool adj = given(s, strata_field::ADJUST);
    if (!diff && !adj)
        return nullptr;
    auto* d = task_new<SURVDIFF>();
    d->stepcsize = -1;
    d->stepmaxtime = 60;
    d->tinc = 30;
    d->alpha = korv_missing();
    d->acc = 0.005;
    d->eps = 0.01;
    const int code = adj ? stmt_int(s, strata_field::ADJUST, 0) : 0;
    auto adjust_alone = [&] {
        if (code == -7) {
            d->method = 0;
            d->type = -1;
        } else if (code == -8) {
            d->method = 0;
            d->type = -2;
        } else {
            d->method = code;
            d->type = -1;
        }
    };
    if (!diff) {
        adjust_alone();
    } else if (!given(s, strata_field::DIFF)) {
        if (!adj) {
            d->method = -6;
            d->type = -1;
        } else {
            adjust_alone();
        }
    } else {
        d->type = stmt_int(s, strata_field::DIFF, -1);
        d->method = 0;
        if (adj) {
            if ((code == -7 && d->type != -1) || (code == -8 && d->type != -2)) {
                xpmlog(326, msg326::ADJUST_NEEDS_DIFF);
                fail_exit(q, 2000);
            }
            if (code != -7 && code != -8)
                d->method = code;
        }
    }
    if (d->method == -5) {
        d->acc = has_value(s, strata_field::SIM_ACC) ? num(s, strata_field::SIM_ACC, 0.005) : 0.005;
        d->eps = has_value(s, strata_field::SIM_EPS) ? num(s, strata_field::SIM_EPS, 0.01) : 0.01;
        d->nsamp = has_value(s, strata_field::SIM_NSAMP) ? num(s, strata_field::SIM_NSAMP, 0) : 0;
        d->tinc = has_value(s, strata_field::SIM_TIMEINC)
                      ? whole_number(s, strata_field::SIM_TIMEINC, 30)
                      : 30;
        d->rep = bit(s, strata_bit::SIM_REPORT);
        d->seed = has_value(s, strata_field::SIM_SEED)
                      ? static_cast<long>(num(s, strata_field::SIM_SEED, 0))
                      : 0;
        d->alpha = has_value(s, strata_field::SIM_ALPHA) ? num(s, strata_field::SIM_ALPHA, 0)
                                                         : korv_missing();
    }
    if (given(s, strata_field::CONTROL)) {
        d->refcntl = stmt_int(s, strata_field::CONTROL, 0);
        if (d->refcntl == -3) {
            const STLIST* t = stmt_field(s, strata_field::CONTROL_VALUES);
            int count = (t && t->type == STL_TEXTS) ? t->n : 0;
            int need = q->grpvar ? 1 : q->nsvar;
            if (count != need) {
                xpmlog(326, msg326::CONTROL_COUNT, count, need);
                fail_exit(q, 2000);
            }
            d->nref = count;
            d->ref = task_new<varstring>(count > 0 ? count : 1);
            for (int i = 0; i < count; ++i) {
                char* p = t->texts[i].s;
                int64_t l = t->texts[i].l;
                while (l > 0 && *p == ' ') {
                    ++p;
                    --l;
                }
                while (l > 0 && p[l - 1] == ' ')
                    --l;
                d->ref[i].s = p;
                d->ref[i].l = l;
            }
        }
    }
    if (bit(s, strata_bit::STEPDOWN)) {
        d->step = bit(s, strata_bit::STEPDOWN_LOGICAL) ? 2 : 1;
        d->steprep = bit(s, strata_bit::STEPDOWN_REPORT);
    }
    d->steporder = stmt_int(s, strata_field::STEPDOWN_ORDER, 0);
    d->stepmaxtime = given(s, strata_field::STEPDOWN_MAXTIME)
                         ? stmt_int(s, strata_field::STEPDOWN_MAXTIME, 60)
                         : 60;
    d->stepcsize = given(s, strata_field::STEPDOWN_LOGICAL_SIZE)
                       ? stmt_int(s, strata_field::STEPDOWN_LOGICAL_SIZE, -1)
                       : -1;
    return d;
}

// The comparison options given, as the user wrote them ("DIFF=, STEPDOWN").
std::string comparison_words(const STMT* s)
{
    std::string words;
    auto add = [&words](const char* w) {
        if (!words.empty())
            words += ", ";
        words += w;
    };
    // RATIO sets the DIFF bit too: the word the user wrote is named.
    if (bit(s, strata_bit::DIFF)) {
        std::string diff = bit(s, strata_bit::RATIO) ? "RATIO" : "DIFF";
        if (given(s, strata_field::DIFF))
            diff += '=';
        add(diff.c_str());
    }
    if (given(s, strata_field::ADJUST))
        add("ADJUST=");
    if (bit(s, strata_bit::STEPDOWN))
        add("STEPDOWN");
    return words;
}

// Options of the STRATA statement that cannot act where they are given are
// named, and the comparisons that cannot be made are not set up: with
// competing risks the strata are compared by Gray's test alone, and the
// comparisons of strata need the tests across strata.
void strata_requests_without_effect(KORVCOM* q, const STMT* s)
{
    const std::string words = comparison_words(s);
    // The restricted means make their own comparisons from these options,
    // on either road and whatever the tests: there they always act, when
    // they are computed (not under NOPRINT).
    const bool means = q->stmt && (bit(q->stmt, proc_bit::RMST) || bit(q->stmt, proc_bit::RMTL));
    // ORDER= and NOLABEL are read with STRATA variables only (the order then
    // applies to the GROUP= levels too).
    if (q->nsvar == 0) {
        if (given(s, strata_field::ORDER))
            xpmlog(326, msg326::STRATA_OPTION_WITHOUT_VARIABLES, "ORDER=",
                   q->grpvar ? "the GROUP= levels keep the order of their formatted values"
                             : "it orders the strata, and there is a single one");
        if (bit(s, strata_bit::NOLABEL))
            xpmlog(326, msg326::STRATA_OPTION_WITHOUT_VARIABLES, "NOLABEL",
                   q->grpvar ? "a label of the GROUP= variable is still shown"
                             : "it names the STRATA variables in place of their labels");
    }
    if (q->cmprisk) {
        if (!words.empty() && !means) {
            xpmlog(326, msg326::CR_COMPARISONS_IGNORED, words.c_str());
            raise_rc(q, 4);
        } else if (!words.empty() && !q->zprint) {
            xpmlog(326, msg326::COMPARISONS_NOPRINT, words.c_str());
        }
        q->survdiff = nullptr;
        if (bit(s, strata_bit::TREND))
            xpmlog(326, msg326::CR_STRATA_OPTION_NO_EFFECT, "TREND");
        // TEST=NONE leaves Gray's test out, as NOTEST does; the names of
        // the tests of equal survival choose nothing here.
        for (int k :
             {strata_bit::LOGRANK, strata_bit::WILCOXON, strata_bit::TARONE, strata_bit::PETO,
              strata_bit::MODPETO, strata_bit::FLEMING, strata_bit::LR, strata_bit::TEST_ALL})
            if (bit(s, k)) {
                xpmlog(326, msg326::CR_STRATA_OPTION_NO_EFFECT, "TEST=");
                break;
            }
        if (bit(s, strata_bit::NODETAIL))
            xpmlog(326, msg326::CR_STRATA_OPTION_NO_EFFECT, "NODETAIL");
        return;
    }
    // NOTEST or TEST=NONE leaves out the rank tests: the options that
    // choose among them or shape their tables choose nothing.
    const bool notest = bit(s, strata_bit::NOTEST);
    if (notest || bit(s, strata_bit::TEST_NONE)) {
        const char* why = notest ? "NOTEST" : "TEST=NONE";
        if (bit(s, strata_bit::TREND))
            xpmlog(326, msg326::TEST_OPTION_WITHOUT_TESTS, "TREND", why);
        if (bit(s, strata_bit::NODETAIL))
            xpmlog(326, msg326::TEST_OPTION_WITHOUT_TESTS, "NODETAIL", why);
        if (notest)
            for (int k :
                 {strata_bit::LOGRANK, strata_bit::WILCOXON, strata_bit::TARONE, strata_bit::PETO,
                  strata_bit::MODPETO, strata_bit::FLEMING, strata_bit::LR, strata_bit::TEST_ALL})
                if (bit(s, k)) {
                    xpmlog(326, msg326::TEST_OPTION_WITHOUT_TESTS, "TEST=", why);
                    break;
                }
    }
    if (!q->survdiff) {
        if (bit(s, strata_bit::STEPDOWN))
            xpmlog(326, msg326::STEPDOWN_WITHOUT_DIFF);
        return;
    }
    // The comparisons are only printed, and so are the restricted means.
    if (!q->zprint) {
        xpmlog(326, msg326::COMPARISONS_NOPRINT, words.c_str());
        q->survdiff = nullptr;
        return;
    }
    if ((q->ktype & test_bit::NONE) && !means) {
        const char* why = bit(s, strata_bit::NOTEST)      ? "NOTEST"
                          : bit(s, strata_bit::TEST_NONE) ? "TEST=NONE"
                                                          : "the WEIGHT statement";
        xpmlog(326, msg326::COMPARISONS_WITHOUT_TESTS, words.c_str(), why);
        q->survdiff = nullptr;
        return;
    }
    // The comparisons compare the scores of the rank tests; the
    // likelihood-ratio test has none (and with WEIGHT only the log-rank,
    // Wilcoxon and Tarone tests have them).
    const int scored = q->zwt ? test_bit::LOGRANK | test_bit::WILCOXON | test_bit::TARONE
                              : test_bit::LOGRANK | test_bit::WILCOXON | test_bit::TARONE |
                                    test_bit::PETO | test_bit::MODPETO | test_bit::FLEMING;
    if (!(q->ktype & scored) && !means) {
        xpmlog(326, msg326::COMPARISONS_WITHOUT_SCORES, words.c_str(),
               q->zwt ? "the log-rank, Wilcoxon and Tarone tests (with WEIGHT)"
                      : "the log-rank, Wilcoxon, Tarone, Peto, modified Peto and "
                        "Fleming-Harrington tests");
        q->survdiff = nullptr;
        return;
    }
    // The survival curves are compared by their differences whatever is
    // asked: RATIO forms ratios of the restricted means only.
    if (bit(s, strata_bit::RATIO) && !(q->ktype & test_bit::NONE))
        xpmlog(326, msg326::RATIO_SURVIVAL_NO_EFFECT);
}

} // namespace

void ParseStrataStmt(KORVCOM* q, STMT* s)
{
    // MISSING on the STRATA statement adds to the procedure's.
    if (!q->zmissing)
        q->zmissing = bit(s, strata_bit::MISSING);
    // The STRATA variables.
    q->zstrata = given(s, strata_field::VARIABLES);
    if (q->zstrata) {
        const STLIST* v = stmt_field(s, strata_field::VARIABLES);
        q->nsvar = v->n;
        q->sorder = stmt_int(s, strata_field::ORDER, 0);
        q->znolabel = bit(s, strata_bit::NOLABEL);
        xffile(static_cast<DSHANDLE*>(q->filein), 70, v->ivals, q->nsvar);
        q->sname = task_new<SNAMESTR>(q->nsvar + 1);
    } else {
        q->nsvar = 0;
        q->sname = nullptr;
    }
    // GROUP=: no line-printer or device plots and no smoothed hazard with it.
    if (given(s, strata_field::GROUP)) {
        q->grpvar = task_new<GRPVAR>();
        if (q->zplot) {
            xpmlog(326, msg326::PLOTS_WITH_GROUP);
            raise_rc(q, 4);
            q->zplot = 0;
        }
        if (q->kmhaz) {
            xpmlog(326, msg326::SMOOTHED_WITH_GROUP);
            q->kmhaz = nullptr;
        }
    }
    // The comparison context of the strata and group trees.
    if (q->nsvar > 0 || q->grpvar) {
        auto* md = task_new<MYDATA>();
        md->sname = q->sname;
        md->grpvar = q->grpvar;
        md->nsvar = q->nsvar;
        md->sorder = q->sorder;
        if (PROCSTR* ps = korv_procstr())
            ps->userptr = md;
    }
    // NODETAIL.
    q->znodetails = bit(s, strata_bit::NODETAIL);

    q->ktype = test_mask(q, s);
    q->survdiff = comparisons_request(q, s);
    strata_requests_without_effect(q, s);
}

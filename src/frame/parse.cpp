// parse, ParseSurvival and ParseStrataStmt: the step's statements are parsed
// with the procedure's grammar, and the statement records become the
// settings of the common block, with every option checked.
#include "frame/parse.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "common/stages.h"
#include "frame/frame.h"
#include "frame/korvg.h"
#include "frame/messages.h"
#include "common/strata.h"
#include "numeric/normal.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/wobmth.h"
#include "runtime/xsparse.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace
{

// Message numbers of this file that the grammar's tables do not number.
constexpr int MSG_CONTROL_COUNT = 3401;    // wrong number of CONTROL values
constexpr int MSG_TIMELIST_EMPTY = 3402;   // TIMELIST= without a usable value
constexpr int MSG_MAXTIME_MISSING = 3403;  // MAXTIME= with a missing value
constexpr int MSG_TIMELIM_MISSING = 3404;  // TIMELIM= with a missing value
constexpr int MSG_TIMELIM_NEGATIVE = 3405; // TIMELIM= below 0
constexpr int MSG_SECOND_TIME = 3507;      // (line) a later TIME statement is ignored

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
    h->zprintphantom = bit(s, 23);
    h->ngrid = given(s, 43) ? stmt_int(s, 43, 101) : 101;
    if (h->ngrid < 2) {
        xpmlog(326, 420, "NGRID=");
        fail_exit(q, 2000);
    }
    h->nmingrid = given(s, 51) ? stmt_int(s, 51, 51) : 51;
    if (h->nmingrid < 2) {
        xpmlog(326, 420, "NMINGRID=");
        fail_exit(q, 2000);
    }
    h->bl = h->br = korv_missing();
    if (given(s, 46)) {
        int n = 0;
        double* bw = copy_numbers(s, 46, &n);
        if (n == 0) {
            xpmlog(326, 279);
            fail_exit(q, 2000);
        }
        shell(bw, n);
        Unique(bw, &n);
        if (bw[0] < 0) {
            xpmlog(326, 258);
            fail_exit(q, 3000);
        }
        if (bw[0] == 0)
            xpmlog(326, 269);
        int first = 0;
        while (first < n && bw[first] <= 0)
            ++first;
        if (first == n) {
            xpmlog(326, 270);
            fail_exit(q, 108);
        }
        h->nbw = n - first;
        h->bwgrid = bw + first;
    } else if (given(s, 47)) {
        h->bl = num(s, 47, 0);
        h->br = num(s, 48, h->bl);
        if (h->bl == h->br) {
            if (h->bl <= 0) {
                xpmlog(326, 428);
                fail_exit(q, 2000);
            }
            h->nbw = 1;
            h->bwgrid = &h->bl;
        } else if (h->br < h->bl) {
            xpmlog(326, 429);
            fail_exit(q, 2000);
        }
    }
    h->gridL = has_value(s, 44) ? num(s, 44, 0) : korv_missing();
    h->gridU = has_value(s, 45) ? num(s, 45, 0) : korv_missing();
    if (!has_value(s, 44) && has_value(s, 45) && h->gridU == 0) {
        xpmlog(326, 440);
        fail_exit(q, 2000);
    }
    if (has_value(s, 44) && has_value(s, 45) && h->gridL >= h->gridU) {
        xpmlog(326, 439);
        fail_exit(q, 2000);
    }
    h->kernel = stmt_int(s, 50, 0);
    h->method = stmt_int(s, 49, 0);
    h->zcl = bit(s, 34);
    h->disp = 1;
    q->kmhaz = h;
    korvkrn(h);
}

// The at-risk block (SURVIVAL(ATRISK...) with a product-limit type method
// and output-layer graphics).
void atrisk_rule(KORVCOM* q, const STMT* s)
{
    auto* a = task_new<ATRISKTIME>();
    if (given(s, 5)) {
        int n = 0;
        double* t = copy_numbers(s, 5, &n);
        if (n == 0) {
            xpmlog(326, 419);
            fail_exit(q, 2000);
        }
        for (int i = 0; i < n; ++i)
            if (t[i] < 0) {
                xpmlog(326, 340);
                fail_exit(q, 2000);
            }
        a->n = n;
        a->t = t;
        a->zexplicit = 1;
        a->zatrisktickonly = bit(s, 45);
        a->zticklabel = bit(s, 43) || bit(s, 45);
    }
    a->smaxlen = given(s, 53) ? stmt_int(s, 53, 12) : 12;
    a->zoutside = bit(s, 44);
    a->awt = korv_missing();
    if (a->zoutside && has_value(s, 54)) {
        a->awt = num(s, 54, 0);
        // The share of the graph must lie strictly between 0 and 1; a
        // negative share is as unusable as 0.
        if (a->awt <= 0 || a->awt >= 1) {
            xpmlog(326, 536);
            fail_exit(q, 2000);
        }
    }
    q->art = a;
}

// The output-layer graphics request bits of PLOTS=; in modes 0 and 1 only
// the line-printer request bytes survive.
void vdqgraph_rule(KORVCOM* q, const STMT* s, int mode)
{
    int b = 0;
    const bool lt = q->method == 1;
    bool sub = false;
    for (int k : {25, 39, 27, 28, 26, 29, 36, 38, 32, 33})
        sub = sub || bit(s, k);
    if (bit(s, 12))
        b |= 0x2;
    if (bit(s, 13))
        b |= 0x4;
    if (bit(s, 14)) {
        if (lt)
            b |= bit(s, 34) ? 0x40000008 : 0x8;
        else if (mode == 2)
            smoothed_rule(q, s);
    }
    if (bit(s, 15) && lt)
        b |= bit(s, 37) ? 0x20000010 : 0x10;
    if (bit(s, 11)) {
        b |= 0x1;
        int arr = stmt_int(s, 42, -1);
        b |= arr == -2 ? 0x10000 : arr == -3 ? 0x20000 : 0x8000;
        if (bit(s, 36))
            b |= 0x10000000;
        if (bit(s, 38))
            b |= 0x200000;
        if (bit(s, 26))
            b |= 0x800;
        if (lt) {
            if (bit(s, 25) && mode == 2)
                xpmlog(326, 220);
        } else {
            if (!bit(s, 39)) {
                if (bit(s, 27))
                    b |= 0x1000;
                if (bit(s, 28))
                    b |= 0x2000;
            } else {
                int cb = stmt_int(s, 52, -1);
                b |= cb == -2 ? 0x2000 : cb == -3 ? 0x3000 : 0x1000;
            }
            if (bit(s, 25) && mode == 2)
                atrisk_rule(q, s);
        }
        if (bit(s, 29))
            b |= 0x4000;
    }
    if (bit(s, 33)) {
        if (b && mode == 2)
            xpmlog(326, 218);
        b = 0;
        // NONE wins over every request: no smoothed hazard and no at-risk
        // table either.
        q->kmhaz = nullptr;
        q->art = nullptr;
    } else {
        if (bit(s, 32)) {
            b |= 0x1 | 0x400 | 0x2 | 0x4;
            if (lt)
                b |= 0x8 | 0x10;
        }
        if (!bit(s, 30) && !(b & 0x1))
            b |= 0x8001;
    }
    if (mode == 2) {
        q->vdqgraph = b;
        return;
    }
    if (sub)
        xpmlog(326, 315);
}

// Device-graphics request (mode 1 with a plot).
void device_setup(KORVCOM* q, const STMT* s)
{
    for (auto& e : q->EntryNam)
        e = varstring{};
    const int first_field[6] = {34, 35, 36, 37, 38, 39};
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
    if (text_field(s, 31, &t, &len))
        blank_copy(q->EvtSymbol, 8, t, len);
    else
        std::memcpy(q->EvtSymbol, "NONE    ", 8);
    if (text_field(s, 32, &t, &len))
        blank_copy(q->CenSymbol, 8, t, len);
    else
        std::memcpy(q->CenSymbol, "CIRCLE  ", 8);
    if (text_field(s, 33, &t, &len))
        blank_copy(q->CenColor, 8, t, len);
    else
        std::memcpy(q->CenColor, "12345678", 8);
    auto* g = task_new<HRPLOTSTR>();
    g->annofid = dataset(s, 2);
    g->lannofid = dataset(s, 6);
    if (!given(s, 21) && !given(s, 22)) {
        blank_copy(g->libname, 8, nullptr, 0);
        blank_copy(g->memname, 32, "GSEG", 4);
        g->memnamelen = 4;
    } else {
        if (text_field(s, 21, &t, &len))
            blank_copy(g->libname, 8, t, len);
        else
            blank_copy(g->libname, 8, nullptr, 0);
        if (text_field(s, 22, &t, &len) && len > 0) {
            blank_copy(g->memname, 32, t, len);
            g->memnamelen = std::min(len, 32);
        } else {
            blank_copy(g->memname, 32, " ", 1);
            g->memnamelen = 1;
        }
    }
    if (text_field(s, 23, &t, &len)) {
        g->desc.l = len;
        g->desc.s = const_cast<char*>(t);
    }
    q->graphics = g;
}

// Line-printer and device-graphics request bytes.
void lineprinter_rule(KORVCOM* q, const STMT* s, int mode)
{
    q->zsurvival = bit(s, 11);
    q->zlsur = bit(s, 12);
    q->zllsur = bit(s, 13);
    q->zhazard = bit(s, 14);
    q->zpdf = bit(s, 15);
    q->zplot = q->zsurvival || q->zlsur || q->zllsur || (q->method == 1 && (q->zpdf || q->zhazard));
    if (q->method != 1 && q->zplot) {
        q->zcensplot = mode == 1 ? bit(s, 10) : !bit(s, 2);
        q->zplot = q->zplot || q->zcensplot;
    }
    if (q->zplot && mode == 1)
        device_setup(q, s);
}

void cif_rule(KORVCOM* q, const STMT* s, int mode)
{
    CMPRISK* c = q->cmprisk;
    if (bit(s, 46) || bit(s, 32)) {
        if (mode != 2) {
            xpmlog(326, 538);
        } else {
            c->plot |= 0x1;
            if (bit(s, 47))
                c->plot |= 0x2;
            if (bit(s, 50))
                c->plot |= 0x4;
            if (bit(s, 23))
                c->plot |= 0x100;
            if (bit(s, 32))
                xpmlog(326, 594);
        }
    }
    const struct {
        int bit;
        const char* name;
    } refused[] = {{11, "PLOTS=SURVIVAL"},
                   {12, "PLOTS=LOGSURV"},
                   {13, "PLOTS=LOGLOGS"},
                   {14, "PLOTS=HAZARD"},
                   {15, "PLOTS=DENSITY"}};
    for (const auto& r : refused)
        if (bit(s, r.bit))
            xpmlog(326, 575, r.name, "PROC KORVANTE");
}

// The competing-risks record (TIME ... / FAILCODE).
void cmprisk_rule(KORVCOM* q, const STMT* s)
{
    auto* c = task_new<CMPRISK>();
    c->printVar = bit(s, 48);
    c->xcbminopt = bit(s, 51);
    c->error = stmt_int(s, 56, 0);
    c->rho = has_value(s, 58) ? num(s, 58, 0) : 0.0;
    c->eventcode = given(s, 14) ? num(s, 14, korv_missing()) : korv_missing();
    int n = 0;
    double* codes = copy_numbers(s, 14, &n);
    c->nFailcode = n;
    if (n > 0) {
        shell(codes, n);
        Unique(codes, &n);
        c->nFailcode = n;
        c->failcode = codes;
    }
    q->cmprisk = c;
    const STLIST* status = stmt_field(s, 11);
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
    for (int k : {10, 11, 12, 14})
        if (k < first->nfld && k < proc->nfld)
            proc->fld[k] = first->fld[k];
    if (stmt_bit(first, 49))
        proc->opt[49 / 8] |= static_cast<unsigned char>(0x80 >> (49 % 8));
    for (STMT* r = first->next; r; r = r->next)
        if (std::strcmp(r->name, "TIME") == 0) {
            xpmlog(326, MSG_SECOND_TIME, r->line);
            raise_rc(q, 4);
        }
}

} // namespace

// ---------------------------------------------------------------------------

void korv_parse_options(KORVCOM* q, STMT* s, int mode)
{
    // The TIME statement's variables join the procedure's record.
    take_time_statement(q, s);

    // 6-8. Method and simple switches.
    switch (stmt_int(s, 15, 0)) {
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
    q->zatRisk = bit(s, 40);
    q->znoLeft = bit(s, 41);
    if (bit(s, 19)) {
        q->zNelson = 1;
        if (q->method == 1)
            xpmlog(326, 298);
    }
    q->zprint = !bit(s, 1);
    q->znotable = bit(s, 4);
    q->zmissing = bit(s, 5);
    if (bit(s, 21))
        q->zstrataid = 1;
    if (bit(s, 22))
        q->zstrataid = 0;

    // 9. Competing risks.
    if (bit(s, 49))
        cmprisk_rule(q, s);
    CMPRISK* cmp = q->cmprisk;

    // 11-19. Plot requests by mode.
    const bool plots = bit(s, 35);
    if (mode == 2) {
        if (plots) {
            if (!q->zprint)
                xpmlog(326, 314);
            else if (cmp) {
                if (bit(s, 33))
                    xpmlog(326, 218);
                else
                    cif_rule(q, s, mode);
            } else {
                vdqgraph_rule(q, s, mode);
            }
        } else if (!cmp) {
            q->vdqgraph |= 0x8001;
        } else {
            cmp->plot |= bit(s, 23) ? 0x101 : 0x1;
        }
    } else if (!plots) {
        if (cmp && mode == 0)
            xpmlog(326, 575, "LINEPRINTER", "PROC KORVANTE");
    } else if (!cmp) {
        vdqgraph_rule(q, s, mode);
        lineprinter_rule(q, s, mode);
    } else {
        cif_rule(q, s, mode);
    }
    if (!cmp && bit(s, 46))
        xpmlog(326, 582, "PLOTS=CIF", "PROC KORVANTE");
    if (bit(s, 23) && q->vdqgraph != 0)
        q->vdqgraph |= 0x100;

    // 20-23. Variables.
    q->ztime = given(s, 10);
    if (!q->ztime) {
        xpmlog(326, 3);
        raise_rc(q, 3000);
    }
    q->zby = given(s, 0);
    q->nby = stmt_count(s, 0);
    q->nid = q->zprint ? stmt_count(s, 9) : 0;
    if (q->nid > 0)
        q->idptr = task_new<void*>(q->nid);
    q->zfreq = given(s, 7);
    q->znotrunc = bit(s, 42);

    // 24. WEIGHT.
    q->zwt = given(s, 55);
    if (q->zwt) {
        if (cmp) {
            xpmlog(326, 573, "WEIGHT");
            fail_exit(q, 2000);
        }
        if (q->method != 0) {
            xpmlog(326, 534,
                   q->method == 1   ? "lifetable"
                   : q->method == 2 ? "Breslow"
                                    : "Fleming-Harrington");
            fail_exit(q, 2000);
        }
    }

    // 25. TEST variables.
    q->ncvar = stmt_count(s, 8);
    if (q->ncvar > 0) {
        if (cmp) {
            xpmlog(326, 573, "TEST");
            fail_exit(q, 2000);
        }
        if (q->zwt) {
            xpmlog(326, 535);
            q->ncvar = 0;
        } else {
            q->c = task_new<CNAMES>(q->ncvar + 1);
        }
    }

    // 26. Output data sets.
    q->fileouts = dataset(s, 3);
    q->fileoutt = dataset(s, 4);
    if (cmp) {
        if (given(s, 3)) {
            xpmlog(326, 574, "OUTSURV=", "PROC KORVANTE");
            fail_exit(q, 2000);
        }
        if (given(s, 4)) {
            xpmlog(326, 574, "OUTTEST=", "PROC KORVANTE");
            fail_exit(q, 2000);
        }
        q->fileouts = dataset(s, 57);
    } else if (given(s, 57)) {
        xpmlog(326, 581, "OUTCIF=", "PROC KORVANTE");
        raise_rc(q, 2000);
    }

    // 27. Censoring values.
    q->zevent = given(s, 11);
    if (q->zevent && given(s, 12)) {
        q->elist = copy_numbers(s, 12, &q->evnum);
        shell(q->elist, q->evnum);
    } else {
        q->evnum = 0;
        q->elist = nullptr;
    }

    // 28. MAXTIME=.
    q->maxtime = DBL_MAX;
    if (has_value(s, 16)) {
        q->zmaxtime = 1;
        q->maxtime = num(s, 16, DBL_MAX);
        if (q->maxtime <= 0) {
            xpmlog(326, 300);
            fail_exit(q, 2000);
        }
    } else if (given(s, 16)) {
        xpmlog(326, MSG_MAXTIME_MISSING);
    }

    // 29. TIMELIM=.
    q->restric = -1.0;
    if (given(s, 29)) {
        if (q->method == 1) {
            xpmlog(326, 18);
        } else if (stmt_field(s, 29)->type == STL_NUMBER) {
            // A time. EVENT and OBSERVED arrive as the codes -1 and -2, so a
            // negative time cannot pass for one of them.
            double t = num(s, 29, -1.0);
            if (wzmis(t)) {
                xpmlog(326, MSG_TIMELIM_MISSING);
            } else if (t < 0) {
                xpmlog(326, MSG_TIMELIM_NEGATIVE);
                fail_exit(q, 2000);
            } else {
                q->restric = t;
            }
        } else {
            q->restric = num(s, 29, -1.0);
        }
    }

    // 30. Line-printer hazard and density need the life table.
    if ((q->zhazard || q->zpdf) && q->method != 1 && mode != 2) {
        const char* m = q->method == 0 ? "PL" : q->method == 2 ? "BRESLOW" : "FH";
        if (q->zhazard) {
            xpmlog(326, 5, "HAZARD", m);
            q->zhazard = 0;
        }
        if (q->zpdf) {
            xpmlog(326, 5, "PDF", m);
            q->zpdf = 0;
        }
    }

    // 31. INTERVALS=.
    if (given(s, 20)) {
        q->zinter = 1;
        int n = 0;
        double* v = copy_numbers(s, 20, &n, 1);
        v[0] = 0;
        q->ninter = clean_times(v, n);
        q->interval = v;
        // A life table needs at least one boundary above 0.
        if (q->ninter < 2) {
            xpmlog(326, KORV_MSG_NO_POSITIVE_INTERVAL);
            fail_exit(q, 2000);
        }
    }

    // 32. TIMELIST=.
    if (given(s, 30)) {
        q->ztimelst = 1;
        if (q->method == 1) {
            xpmlog(326, 14);
            q->ztimelst = 0;
        } else if (q->zinter) {
            xpmlog(326, 15);
            q->ztimelst = 0;
        } else {
            int n = 0;
            q->timelist = copy_numbers(s, 30, &n);
            q->ntime = clean_times(q->timelist, n);
            if (q->ntime == 0) {
                // Nothing at or after time 0: no time list at all.
                xpmlog(326, MSG_TIMELIST_EMPTY);
                q->ztimelst = 0;
                q->timelist = nullptr;
            }
        }
    }

    // 33. REDUCEOUT.
    if (bit(s, 20)) {
        q->zreduce = 1;
        if (!q->zinter && !q->ztimelst) {
            xpmlog(326, 17);
            q->zreduce = 0;
        } else if (!q->fileouts) {
            xpmlog(326, 16);
            q->zreduce = 0;
        }
    }

    // 34. WIDTH= and NINTERVAL=.
    if (given(s, 17)) {
        q->zwidth = 1;
        if (!q->zinter) {
            double w = num(s, 17, korv_missing());
            if (wzmis(w) || w <= 0) {
                xpmlog(326, 6);
                raise_rc(q, 2000);
            }
            q->width = w;
        }
    }
    if (q->ninter == 0) {
        q->ninter = has_value(s, 18) ? stmt_int(s, 18, 10) : 10;
        if (q->ninter < 1)
            q->ninter = 1;
    }

    // 35-37. ALPHA=, ALPHAQT=, SINGULAR=.
    q->alpha = 0.05;
    if (has_value(s, 19)) {
        q->alpha = num(s, 19, 0.05);
        if (q->alpha > 0.9999) {
            xpmlog(326, 7);
            q->alpha = 0.9999;
        } else if (q->alpha < 0.0001) {
            xpmlog(326, 8);
            q->alpha = 0.0001;
        }
    }
    q->critical = zprobit(1 - q->alpha / 2);
    if (!has_value(s, 28)) {
        q->qtalpha = 0.05;
        q->qtcritical = 1.959963984540054;
    } else {
        q->qtalpha = num(s, 28, 0.05);
        if (q->qtalpha > 0.9999) {
            xpmlog(326, 10);
            q->qtalpha = 0.9999;
        } else if (q->qtalpha < 0.0001) {
            xpmlog(326, 13);
            q->qtalpha = 0.0001;
        }
        q->qtcritical = zprobit(1 - q->qtalpha / 2);
    }
    q->singular = has_value(s, 25) ? num(s, 25, 1e-12) : 1e-12;
    if (!(q->singular > 0))
        q->singular = 1e-12;

    // 38. Survival options, or the competing-risks confidence settings.
    if (!cmp) {
        ParseSurvival(q, s);
    } else {
        q->conftype = stmt_int(s, 13, 0);
        if (stmt_int(s, 24, 0) != 0)
            xpmlog(326, 575, "CONFBAND=", "PROC KORVANTE");
    }

    // 39. The STRATA statement (only the first one counts).
    if (STMT* strata = find_record(s, "STRATA")) {
        ParseStrataStmt(q, strata);
        for (STMT* r = strata->next; r; r = r->next)
            if (std::strcmp(r->name, "STRATA") == 0) {
                xpmout(326, 32);
                break;
            }
    }

    // 40.
    if (q->ncvar > 0 && q->grpvar) {
        xpmlog(326, 599);
        q->ncvar = 0;
    }

    // 41.
    if (q->rc > 4)
        xexit(q->rc, 0);
}

void parse(KORVCOM* q)
{
    // 1. VALIDVARNAME=V6 names.
    int len = 0;
    const char* vvn = xoptcgt("VALIDVARNAME", &len);
    q->v6names = (vvn && len >= 2 && vvn[1] == '6') ? 1 : 0;

    // 2. End-of-task hook and the common block's anchor.
    xytexit(korvEndOfTask);
    *xcomanchor() = q;

    // 3. Parse.
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

    // 4. The output-layer manager.
    xobinit(&q->cls, 0);
    WOB_PARM_BLK_STR mk[5] = {};
    mk[0] = wob_string(143, "vdq", 3);
    mk[1] = wob_string(146, "manager", 7);
    mk[2].tag = 144;
    mk[2].type = WOB_T_OBJECT;
    mk[3] = wob_int(383, 326);
    mk[4].tag = 5595;
    mk[4].type = WOB_T_FLAG;
    mk[4].value.flag[1] = 1;
    int rc = wobmth(q->cls, nullptr, 147, 5, mk);
    if (rc < 0)
        zvdqexit(rc);
    q->vdq = mk[2].value.o;
    WOB_PARM_BLK_STR hd[4] = {};
    hd[1].tag = 2558;
    hd[1].type = WOB_T_FLAG;
    hd[1].value.flag[1] = 1;
    hd[2] = wob_int(148, -1);
    hd[3] = wob_key(577, vdqmsg(0, 1));
    rc = wobmth(q->vdq, nullptr, 439, 4, hd);
    if (rc < 0)
        zvdqexit(rc);

    // 5. The input data set.
    q->filein = dataset(s, 1);
    if (!q->filein) {
        xpmlog(326, 2);
        fail_exit(q, 1008);
    }
    auto* in = static_cast<DSHANDLE*>(q->filein);
    xvallvr(in);
    xvsele(in);
    if (xoinfo(in, 23) < 1)
        fail_exit(q, 1008);

    // 10. Plot mode: 0 line printer, 1 device graphics, 2 output-layer graphics.
    int mode = 0;
    if (!(bit(s, 6) && !bit(s, 3))) {
        WOB_PARM_BLK_STR g{};
        g.tag = 1334;
        g.type = WOB_T_FLAG;
        g.rc = -1; // marks a query the manager did not answer
        rc = q->vdq ? wobzoom(q->vdq, 1, 2, 1, &g) : -1;
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
    // 1. OUT= of the SURVIVAL statement.
    q->zSurvStmt = bit(s, 31);
    q->fileouts = dataset(s, 3);
    // 2. ALPHA=.
    if (has_value(s, 19)) {
        q->alpha = std::clamp(num(s, 19, 0.05), 0.0001, 0.9999);
        q->critical = zprobit(1 - q->alpha / 2);
    }
    // 3-4. CONFTYPE= and CONFBAND.
    q->conftype = stmt_int(s, 13, 0);
    q->confband = stmt_int(s, 24, 0);
    if (q->confband != 0 && q->method == 1) {
        xpmlog(326, 30);
        q->confband = 0;
    }
    // 5. Band limits.
    q->bandmax = has_value(s, 40) ? num(s, 40, -1.0) : -1.0;
    q->bandmin = has_value(s, 41) ? num(s, 41, -1.0) : -1.0;
    if (q->bandmax > 0 && q->bandmin > 0 && q->bandmax < q->bandmin) {
        xpmlog(326, 29);
        raise_rc(q, 2000);
    }
    // 6. REDUCEOUT needs a time list or intervals and an OUTSURV= data set;
    // a REDUCEOUT that the procedure statement's checks refused stays off.
    if (bit(s, 20) && (q->zinter || q->ztimelst) && q->fileouts)
        q->zreduce = 1;
    if (bit(s, 24))
        q->zseout = 1;
    // 7. MAXTIME=: the same checks as on the procedure statement.
    if (given(s, 16)) {
        double m = num(s, 16, korv_missing());
        if (wzmis(m)) {
            // ignored, as on the procedure statement
        } else if (m <= 0) {
            xpmlog(326, 300);
            fail_exit(q, 2000);
        } else {
            q->maxtime = m;
            q->zmaxtime = 1;
        }
    }
}

// ---------------------------------------------------------------------------

void ParseStrataStmt(KORVCOM* q, STMT* s)
{
    // 1.
    if (!q->zmissing)
        q->zmissing = bit(s, 1);
    // 2. Strata variables.
    q->zstrata = given(s, 1);
    if (q->zstrata) {
        const STLIST* v = stmt_field(s, 1);
        q->nsvar = v->n;
        q->sorder = stmt_int(s, 20, 0);
        q->znolabel = bit(s, 21);
        xffile(static_cast<DSHANDLE*>(q->filein), 70, v->ivals, q->nsvar);
        q->sname = task_new<SNAMESTR>(q->nsvar + 1);
    } else {
        q->nsvar = 0;
        q->sname = nullptr;
    }
    // 3. GROUP=.
    if (given(s, 4)) {
        q->grpvar = task_new<GRPVAR>();
        if (q->zplot) {
            xpmlog(326, 583);
            raise_rc(q, 4);
            q->zplot = 0;
        }
        if (q->kmhaz) {
            xpmlog(326, 584);
            q->kmhaz = nullptr;
        }
    }
    // 4. The comparison context of the strata and group trees.
    if (q->nsvar > 0 || q->grpvar) {
        auto* md = task_new<MYDATA>();
        md->sname = q->sname;
        md->grpvar = q->grpvar;
        md->nsvar = q->nsvar;
        md->sorder = q->sorder;
        if (PROCSTR* ps = korv_procstr())
            ps->userptr = md;
    }
    // 5.
    q->znodetails = bit(s, 3);

    // 6. The test mask.
    const bool wt = q->zwt;
    int m = 0;
    if (bit(s, 5))
        m |= 0x8;
    if (bit(s, 6))
        m |= 0x10;
    if (bit(s, 7))
        m |= 0x20;
    const struct {
        int bit;
        int mask;
        const char* name;
    } weighted[] = {
        {8, 0x40, "PETO"}, {9, 0x80, "MODPETO"}, {10, 0x100, "FLEMING"}, {11, 0x200, "LR"}};
    for (const auto& t : weighted) {
        if (!bit(s, t.bit))
            continue;
        if (!wt) {
            m |= t.mask;
        } else {
            xpmlog(326, 533, t.name);
            m |= 0x400;
        }
    }
    if (m & 0x100) {
        q->fleming = task_new<double>(2);
        q->fleming[0] = has_value(s, 5) ? num(s, 5, 1.0) : 1.0;
        q->fleming[1] = has_value(s, 6) ? num(s, 6, -1.0) : -1.0;
    }
    if (bit(s, 20)) {
        m |= 0x2;
    } else {
        if (bit(s, 12)) {
            m |= 0x8 | 0x10 | 0x20;
            if (!wt) {
                m |= 0x40 | 0x80 | 0x100;
                if (!q->fleming) {
                    q->fleming = task_new<double>(2);
                    q->fleming[0] = 1.0;
                    q->fleming[1] = -1.0;
                }
            } else {
                // Each refused test is named once.
                if (!bit(s, 9))
                    xpmlog(326, 533, "MODPETO");
                if (!bit(s, 8))
                    xpmlog(326, 533, "PETO");
                if (!bit(s, 10))
                    xpmlog(326, 533, "FLEMING");
            }
        }
        if (m == 0)
            m = wt ? 0x18 : 0x218;
        if (m == 0x400)
            m = 0x402;
    }
    if (bit(s, 2))
        m |= 0x2;
    if (bit(s, 3))
        m |= 0x4;
    if (bit(s, 4))
        m |= 0x1;
    q->ktype = m;

    // 7. Multiple comparisons.
    const bool diff = bit(s, 13);
    const bool adj = given(s, 7);
    if (!diff && !adj)
        return;
    auto* d = task_new<SURVDIFF>();
    d->stepcsize = -1;
    d->stepmaxtime = 60;
    d->tinc = 30;
    d->alpha = korv_missing();
    d->acc = 0.005;
    d->eps = 0.01;
    const int code = adj ? stmt_int(s, 7, 0) : 0;
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
    } else if (!given(s, 8)) {
        if (!adj) {
            d->method = -6;
            d->type = -1;
        } else {
            adjust_alone();
        }
    } else {
        d->type = stmt_int(s, 8, -1);
        d->method = 0;
        if (adj) {
            if ((code == -7 && d->type != -1) || (code == -8 && d->type != -2)) {
                xpmlog(326, 299);
                fail_exit(q, 2000);
            }
            if (code != -7 && code != -8)
                d->method = code;
        }
    }
    if (d->method == -5) {
        d->acc = has_value(s, 11) ? num(s, 11, 0.005) : 0.005;
        d->eps = has_value(s, 12) ? num(s, 12, 0.01) : 0.01;
        d->nsamp = has_value(s, 15) ? num(s, 15, 0) : 0;
        d->tinc = has_value(s, 13) ? stmt_int(s, 13, 30) : 30;
        d->rep = bit(s, 14);
        d->seed = has_value(s, 14) ? static_cast<long>(num(s, 14, 0)) : 0;
        d->alpha = has_value(s, 16) ? num(s, 16, 0) : korv_missing();
    }
    if (given(s, 9)) {
        d->refcntl = stmt_int(s, 9, 0);
        if (d->refcntl == -3) {
            const STLIST* t = stmt_field(s, 10);
            int count = (t && t->type == STL_TEXTS) ? t->n : 0;
            int need = q->grpvar ? 1 : q->nsvar;
            if (count != need) {
                xpmlog(326, MSG_CONTROL_COUNT, count, need);
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
    if (bit(s, 17)) {
        d->step = bit(s, 18) ? 2 : 1;
        d->steprep = bit(s, 19);
    }
    d->steporder = stmt_int(s, 19, 0);
    d->stepmaxtime = given(s, 18) ? stmt_int(s, 18, 60) : 60;
    d->stepcsize = given(s, 17) ? stmt_int(s, 17, -1) : -1;
    q->survdiff = d;
}

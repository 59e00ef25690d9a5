// Variable resolution: binds the analysis, strata, GROUP= and ID variables to
// their places in the rows the data pass reads, and lays out the strata key.
#include <algorithm>
#include <cstring>
#include <string>

#include "common/statement.h"
#include "frame/frame.h"
#include "frame/parse.h"
#include "results/slots.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_parse.h"

namespace
{

// A format is named (or, for w.d, marked through its long name). The display
// width alone is not a format: the host gives every unformatted numeric
// variable one, and such a variable must stay a raw number so that strata
// sort by value, not by right-justified text.
bool has_format(const NAMESTR* nm)
{
    return nm->nfl > 0 || nm->nformlongl > 0;
}

int round8(int n)
{
    return (n + 7) / 8 * 8;
}

DSHANDLE* input(KORVCOM* q)
{
    return static_cast<DSHANDLE*>(q->filein);
}

NAMESTR* descriptor(KORVCOM* q, int varnum)
{
    NAMESTR* nm = nullptr;
    if (varnum < 1 || xvname(input(q), varnum, &nm) < 0 || !nm) {
        xpmlog(326, msg326::NO_ANALYSIS_VARIABLE);
        xexit(std::max(q->rc, 2000), 0);
    }
    return nm;
}

// The value that made a variable character, as " (...)" for a message, or
// nothing: most often one the user did not mean as text ("Inf", "1e999",
// "N/A").
std::string why_character(KORVCOM* q, const NAMESTR* nm)
{
    const std::string why = vyr_dsvar_why_text(input(q), nm->nvar0);
    return why.empty() ? std::string() : " (" + why + ")";
}

// Analysis variables are read as doubles: a character variable there would
// give meaningless numbers, so it is refused.
void require_numeric(KORVCOM* q, const NAMESTR* nm, const char* role)
{
    if (nm->ntype != 1) {
        // Said with the value that made it character.
        xpmlog(326, msg326::NOT_NUMERIC, static_cast<int>(nm->namelen), nm->name_p,
               why_character(q, nm).c_str(), static_cast<int>(std::strlen(role)), role);
        q->rc = std::max(q->rc, 2000);
    }
}

// The first variable number of a variable-list field, 0 when not given.
int first_var(const STMT* s, int k)
{
    const STLIST* f = stmt_field(s, k);
    return (f && f->n > 0 && f->ivals) ? f->ivals[0] : 0;
}

char* task_alloc(int64_t n)
{
    return static_cast<char*>(xmalloc_or_exit(xtaskpool(), n > 0 ? n : 1, 0x3006));
}

} // namespace

int korv_format_width(const NAMESTR* nm)
{
    if (nm->nflen > 0)
        return nm->nflen;
    if (nm->nfl > 0 || nm->nformlongl > 0) {
        vyr::fmt::FormatDesc desc;
        std::string name = nm->nformlongl > 0 ? std::string(nm->nformlong, nm->nformlongl)
                                              : std::string(nm->nform, nm->nfl);
        if (vyr::fmt::parse(name, desc)) {
            int w = vyr::fmt::default_width(desc);
            if (w > 0)
                return w;
        }
    }
    if (nm->ntype == 2)
        return std::max(1, vyr_namestr_length(*nm));
    return 12;
}

// The STRATA statement's record: the first record after the procedure's
// own whose keyword is STRATA.
static const STMT* strata_record(const KORVCOM* q)
{
    for (const STMT* s = q->stmt ? q->stmt->next : nullptr; s; s = s->next) {
        std::string n(s->name);
        std::transform(n.begin(), n.end(), n.begin(), ::toupper);
        if (n == "STRATA")
            return s;
    }
    return nullptr;
}

namespace
{

// WEIGHT, FREQ, the time and the censoring variable, bound as raw doubles to
// their row-buffer slots; returns the time variable's descriptor.
NAMESTR* bind_analysis_variables(KORVCOM* q, const STMT* proc, XVHANDLE* xvin)
{
    if (q->zwt) {
        NAMESTR* nm = descriptor(q, first_var(proc, proc_field::WEIGHT));
        require_numeric(q, nm, "WEIGHT");
        xvgetd(xvin, nm->nvar0, 0, &q->iovar[input_slot::WEIGHT], 8, 8);
    }
    if (q->zfreq) {
        NAMESTR* nm = descriptor(q, first_var(proc, proc_field::FREQ));
        require_numeric(q, nm, "FREQ");
        xvgetd(xvin, nm->nvar0, 0, &q->iovar[input_slot::FREQ], 8, 8);
    }
    int timevar = first_var(proc, proc_field::TIME);
    if (timevar < 1) {
        xpmlog(326, msg326::NO_ANALYSIS_VARIABLE);
        q->rc = std::max(q->rc, 2000);
        xexit(q->rc, 0);
    }
    NAMESTR* tnm = descriptor(q, timevar);
    require_numeric(q, tnm, "TIME");
    xvgetd(xvin, tnm->nvar0, 0, &q->iovar[input_slot::TIME], 8, 8);
    if (int cv = first_var(proc, proc_field::CENSOR)) {
        NAMESTR* nm = descriptor(q, cv);
        require_numeric(q, nm, "censoring");
        xvgetd(xvin, nm->nvar0, 0, &q->iovar[input_slot::CENSOR], 8, 8);
    }
    return tnm;
}

// The GROUP= variable: formatted text, then the raw value.
void bind_group_variable(KORVCOM* q, const STMT* strat, XVHANDLE* xvin)
{
    GRPVAR* g = q->grpvar;
    if (!g)
        return;
    int gv = first_var(strat, strata_field::GROUP);
    xffile(input(q), 70, &gv, 1);
    g->nm = descriptor(q, gv);
    g->lenu = g->nm->ntype == 1 ? 8 : vyr_namestr_length(*g->nm);
    int fw = korv_format_width(g->nm);
    g->lenf = round8(fw);
    g->value = task_alloc(g->lenf + g->lenu);
    std::memset(g->value, ' ', static_cast<size_t>(g->lenf + g->lenu));
    xvgetd(xvin, gv, 0, g->value, fw, 4);
    xvgetd(xvin, gv, 0, g->value + g->lenf, g->lenu, 8);
}

// Cut points after a character STRATA variable have no values to cut: each
// of its values stays a stratum. Said, with the value that made the variable
// character, since the cut points show that numbers were expected.
void warn_character_cut_points(KORVCOM* q, const NAMESTR* nm)
{
    xpmlog(326, msg326::CUT_POINTS_ON_CHARACTER, static_cast<int>(nm->namelen), nm->name_p,
           why_character(q, nm).c_str());
}

// Cut points of the STRATA variables: pairs {variable number in the list, end
// of its values}; a numeric variable with cut points is grouped into
// intervals, a character one keeps its values (with a warning).
void read_cut_points(KORVCOM* q, const STMT* strat)
{
    const STLIST* cvals = stmt_field(strat, strata_field::CUT_POINTS);
    const STLIST* marks = stmt_field(strat, strata_field::CUT_MARKS);
    if (marks && marks->ivals) {
        int start = 0;
        for (int m = 0; m + 1 < marks->n; m += 2) {
            int var = marks->ivals[m] - 1;
            int end = marks->ivals[m + 1];
            int n = end - start;
            if (var < 0 || var >= q->nsvar) {
                start = end;
                continue;
            }
            SNAMESTR& s = q->sname[var];
            if (s.type == 1) {
                if (n <= 0 || !cvals || !cvals->dvals || end > cvals->n) {
                    xpmlog(326, msg326::EMPTY_CUT_LIST);
                    xexit(1012, 0);
                }
                s.nfl = 0;
                // Room for the marker and the whole text of the value.
                s.lngf = 16;
                q->cut[q->ncut++] = var;
                s.cutnum = static_cast<short>(n);
                s.cutpoint = reinterpret_cast<double*>(task_alloc(n * 8));
                std::memcpy(s.cutpoint, cvals->dvals + start, static_cast<size_t>(n) * 8);
                shell(s.cutpoint, n);
            } else {
                warn_character_cut_points(q, s.nm);
            }
            start = end;
        }
    }
}

// The strata key: formatted parts, then raw parts, and the two bindings per
// variable.
void lay_out_strata_key(KORVCOM* q, XVHANDLE* xvin)
{
    int pos = 0;
    q->maxlngf = 0;
    for (int i = 0; i < q->nsvar; ++i) {
        SNAMESTR& s = q->sname[i];
        s.posf = pos;
        pos += s.lngf;
        q->maxlngf = std::max<int>(q->maxlngf, s.lngf);
        q->hdrlen += s.lngf + 5;
    }
    q->slenf = pos;
    for (int i = 0; i < q->nsvar; ++i) {
        SNAMESTR& s = q->sname[i];
        s.posu = pos;
        pos += s.lngu;
        int v = s.nm->nvar0;
        if (s.nfl == 2)
            xvgetd(xvin, v, s.posf, nullptr, s.lngf, 4);
        else
            xvgetd(xvin, v, s.posf, nullptr, 8, 8);
        xvgetd(xvin, v, s.posu, nullptr, s.lngu, 8);
    }
}

// The STRATA variables, their cut points and the layout of the strata key.
void bind_strata_variables(KORVCOM* q, const STMT* strat, XVHANDLE* xvin)
{
    const STLIST* svars = strat ? stmt_field(strat, strata_field::VARIABLES) : nullptr;
    if (q->zstrata && q->nsvar > 0 && q->sname && svars && svars->n >= q->nsvar) {
        q->hdrlen = 15;
        q->slenu = 0;
        for (int i = 0; i < q->nsvar; ++i) {
            SNAMESTR& s = q->sname[i];
            s.nm = descriptor(q, svars->ivals[i]);
            s.name = reinterpret_cast<varstring*>(task_alloc(sizeof(varstring)));
            s.name->l = s.nm->namelen;
            s.name->s = const_cast<char*>(s.nm->name_p);
            s.type = s.nm->ntype;
            s.nfl = (s.type == 1 && !has_format(s.nm)) ? 1 : 2;
            s.lngf = static_cast<int>(s.nfl == 1 ? 8 : round8(korv_format_width(s.nm)));
            s.lngu = static_cast<int>(s.type == 1 ? 8 : vyr_namestr_length(*s.nm));
            q->slenu += s.lngu;
            s.cutnum = 0;
            s.cutpoint = nullptr;
        }
        q->cut = reinterpret_cast<int*>(task_alloc(static_cast<int64_t>(q->nsvar) * sizeof(int)));
        q->ncut = 0;
        read_cut_points(q, strat);
        lay_out_strata_key(q, xvin);
    } else {
        q->nsvar = 0;
    }
}

// The GROUP= variable named in the STRATA list as well: without cut points
// each stratum holds one of its levels, and the per-group estimates, the
// censoring summary and the tests across levels within strata would all be
// degenerate. Refused; with cut points a stratum spans several levels.
void refuse_group_among_strata(KORVCOM* q)
{
    const GRPVAR* g = q->grpvar;
    if (!g || !g->nm)
        return;
    for (int i = 0; i < q->nsvar; ++i) {
        const SNAMESTR& s = q->sname[i];
        if (s.nm && s.nm->nvar0 == g->nm->nvar0 && s.cutnum == 0) {
            xpmlog(326, msg326::GROUP_IS_STRATA_VARIABLE, static_cast<int>(g->nm->namelen),
                   g->nm->name_p);
            q->rc = std::max(q->rc, 2000);
            return;
        }
    }
}

// The ID variables, copied as they are into the ID buffer.
void bind_id_variables(KORVCOM* q, const STMT* proc, XVHANDLE* xvin)
{
    if (q->nid > 0) {
        const STLIST* ids = stmt_field(proc, proc_field::ID);
        auto** idp = reinterpret_cast<NAMESTR**>(
            task_alloc(static_cast<int64_t>(q->nid) * sizeof(NAMESTR*)));
        q->idptr = idp;
        q->idlen = 0;
        for (int i = 0; i < q->nid; ++i) {
            idp[i] = descriptor(q, ids && i < ids->n ? ids->ivals[i] : 0);
            q->idlen += vyr_namestr_length(*idp[i]);
        }
        q->idval = task_alloc(q->idlen);
        int at = 0;
        for (int i = 0; i < q->nid; ++i) {
            int len = vyr_namestr_length(*idp[i]);
            xvgetd(xvin, idp[i]->nvar0, 0, q->idval + at, len, 8);
            at += len;
        }
    }
}

// TEST covariates: raw doubles at 8 i in the observation's slot. Their names
// and labels belong to the covariate records of the rank tests.
void bind_test_covariates(KORVCOM* q, const STMT* proc)
{
    if (q->ncvar > 0) {
        const STLIST* tv = stmt_field(proc, proc_field::TEST);
        XVHANDLE* cvget = nullptr;
        if (xvgeti(input(q), q->ncvar, &cvget) < 0 || !cvget)
            xexit(std::max(q->rc, 1008), 0);
        q->cvget = cvget;
        q->cnamlen = 0;
        q->clablen = 0;
        for (int i = 0; i < q->ncvar; ++i) {
            NAMESTR* nm = descriptor(q, tv && i < tv->n ? tv->ivals[i] : 0);
            require_numeric(q, nm, "TEST");
            if (q->c)
                q->c[i].nm = nm;
            q->cnamlen = std::max<int>(q->cnamlen, nm->namelen);
            q->clablen = std::max<int>(q->clablen, nm->nlablen);
            xvgetd(cvget, nm->nvar0, 8L * i, nullptr, 8, 8);
        }
        xvgete(cvget);
    }
}

// The texts the tables show: the stratum heading's length, the TEST names
// blank padded to the longest with their labels, and the time variable's name
// and label.
void name_texts(KORVCOM* q, const NAMESTR* tnm)
{
    for (int i = 0; i < q->nsvar; ++i)
        q->hdrlen += std::max<int>(q->sname[i].nm->namelen, q->sname[i].nm->nlablen);
    // TEST names blank padded to the longest, and their labels.
    if (q->c)
        for (int i = 0; i < q->ncvar; ++i) {
            NAMESTR* nm = q->c[i].nm;
            q->c[i].name.l = q->cnamlen;
            q->c[i].name.s = task_alloc(q->cnamlen);
            wzstmov(nm->name_p, nm->namelen, q->c[i].name.s, q->cnamlen);
            q->c[i].label.l = nm->nlablen;
            q->c[i].label.s = task_alloc(nm->nlablen);
            if (nm->nlablen > 0)
                std::memcpy(q->c[i].label.s, nm->label_p, static_cast<size_t>(nm->nlablen));
        }
    // The time variable's name and label.
    q->timename.l = tnm->namelen;
    q->timename.s = task_alloc(tnm->namelen);
    std::memcpy(q->timename.s, tnm->name_p, static_cast<size_t>(tnm->namelen));
    q->timelabel.l = tnm->nlablen;
    q->timelabel.s = task_alloc(tnm->nlablen);
    if (tnm->nlablen > 0)
        std::memcpy(q->timelabel.s, tnm->label_p, static_cast<size_t>(tnm->nlablen));
    q->maxname = std::max(static_cast<int>(tnm->namelen), q->cnamlen);
}

} // namespace

void setin(KORVCOM* q)
{
    const STMT* proc = q->stmt;
    const STMT* strat = strata_record(q);

    // Nothing printed or plotted: the output manager is not needed.
    if (!q->zprint && !q->zplot && q->vdqgraph == 0 && q->vdq) {
        int r = wobzoom(q->vdq, 3, 4, 0, nullptr);
        if (r < 0)
            zvdqexit(r);
        q->vdq = nullptr;
    }

    // The fetch vector of the analysis variables.
    int count = 1 + (q->zfreq ? 1 : 0) + (q->zwt ? 1 : 0) + (q->grpvar ? 2 : 0) +
                (first_var(proc, proc_field::CENSOR) ? 1 : 0);
    XVHANDLE* xvin = nullptr;
    if (xvgeti(input(q), count, &xvin) < 0 || !xvin)
        xexit(std::max(q->rc, 1008), 0);
    q->xvin = xvin;

    NAMESTR* tnm = bind_analysis_variables(q, proc, xvin);
    bind_group_variable(q, strat, xvin);
    bind_strata_variables(q, strat, xvin);
    refuse_group_among_strata(q);
    bind_id_variables(q, proc, xvin);
    xvgete(xvin);
    bind_test_covariates(q, proc);

    // A variable that could not be used ends the step here.
    if (q->rc > 4)
        xexit(q->rc, 0);

    name_texts(q, tnm);

    // The strata key record of output rows and the stratum heading.
    if (q->nsvar > 0) {
        q->value = task_alloc(q->slenf + q->slenu);
        q->buff = q->value + q->slenf;
        q->stratumid = reinterpret_cast<STRATUMID*>(task_alloc(sizeof(STRATUMID)));
        q->stratumid->label = task_alloc(q->hdrlen);
    }
    // The score buffer of the TEST covariates.
    if (q->ncvar > 0)
        q->buffy = reinterpret_cast<double*>(task_alloc(static_cast<int64_t>(q->ncvar) * 8));
}

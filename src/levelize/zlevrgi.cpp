// The levelized design reader's initialisation: checks the model, installs
// the default callbacks, levelizes every classification variable (threaded
// or not), settles the reference levels, finds the observed level
// combinations of the effects, counts the parameters, names them and
// prepares the fit request. Also the light initialiser and the parameter
// count of one effect.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "runtime/zthreads.h"
#include "vyr_data.h"
#include "vyr_message_names.h"

namespace
{

void normalise_nwgt(ZLEVREGI* r)
{
    if (r->w == nullptr)
        r->nwgt = 0;
    else if (r->nwgt < 1)
        r->nwgt = 1;
}

void relookup(DSHANDLE* fid, ZLEVVAR* v)
{
    if (fid == nullptr || v == nullptr || v->n == nullptr || v->n->nvar0 < 0)
        return;
    v->n->nvar0 = xvfind(fid, std::string_view(v->n->name_p, static_cast<size_t>(v->n->namelen)));
}

// A text justified (unless nojust) and without its trailing blanks.
std::string settled(const char* s, int len, bool justify)
{
    std::string t(s ? s : "", static_cast<size_t>(s ? std::max(len, 0) : 0));
    if (justify) {
        const size_t a = t.find_first_not_of(' ');
        t = a == std::string::npos ? std::string() : t.substr(a);
    }
    t.erase(t.find_last_not_of(' ') + 1);
    return t;
}

// The reference level given by value must be one of the levels.
bool reference_found(ZLEV* l, ZLEVVAR& v, int j)
{
    const std::string want = settled(v.refval.s, v.refval.l, !v.nojust);
    std::string key(static_cast<size_t>(v.vlen), ' ');
    bool found = false;
    for (TREE* p = ztreord(l->head[j]); p; p = ztreord(l->head[j])) {
        std::memcpy(key.data(), reinterpret_cast<ZLEVNOD*>(p)->idx, static_cast<size_t>(v.vlen));
        if (settled(key.data(), v.vlen, !v.nojust) == want) {
            found = true;
            ztreofx(l->head[j]);
            break;
        }
    }
    return found;
}

// The number of class parameters of effect e: its observed level
// combinations, or under full rank the product over its crossed variables of
// their levels less one (all levels for the first variable of the first
// effect when there is no intercept) times the levels of the variables it is
// nested in.
int class_part(const ZLEVMOD* m, int e)
{
    const ZLEVETRM& ef = m->ef[e];
    if (!(m->opt[0] & ZLEV_OPT0_FULLRANK))
        return ef.nlev;
    int n = 1;
    for (int k = 0; k < ef.ncros; ++k) {
        const int nl = m->clas.v[ef.cros[k]].nlev;
        n *= (e == 0 && k == 0 && (m->opt[0] & ZLEV_OPT0_NOINT)) ? nl : std::max(nl - 1, 0);
    }
    for (int k = 0; k < ef.nnest; ++k)
        n *= m->clas.v[ef.nest[k]].nlev;
    return n;
}

int with_effect_variables(const ZLEVMOD* m, int e, int n)
{
    const ZLEVETRM& ef = m->ef[e];
    for (int k = 0; k < ef.nefct; ++k)
        n *= m->eft.var[ef.efct[k]].nparms;
    return n;
}

// The observed level combinations of every effect with classification
// variables: on worker threads when the levelization ran on them, else (or
// when a worker fails) on the task thread. False when the observations
// cannot be read.
bool effect_pass(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    ZLEVDAT* d = r->d;
    POOLHANDLE* pool = xmpoolc(0, 1024, 0x1006);
    if (pool == nullptr) {
        xmemmsg(xmemdef());
        xexit(1016, 0);
    }
    std::vector<TREE*> roots(static_cast<size_t>(m->nef), nullptr);
    std::vector<TREE*> spares(static_cast<size_t>(m->nef), nullptr);
    const bool ywf = !(m->opt[0] & ZLEV_OPT0_NOYWF);
    double* y = ywf && r->y.n > 0
                    ? static_cast<double*>(zlevAlloc(pool, static_cast<long>(r->y.n) * 8))
                    : nullptr;
    double wv = 0, fv = 0;
    const int keyoff = static_cast<int>(sizeof(TREE) + 7) / 8 * 8;
    for (int e = 0; e < m->nef; ++e)
        m->ef[e].levels = nullptr;
    bool done = false;
    if (r->threading) {
        if (ThreadInit(r)) {
            done = zlevEffectPassThreaded(r, y, ywf ? &wv : nullptr, ywf ? &fv : nullptr,
                                          roots.data(), pool, keyoff) == 0;
            if (!done) {
                // What a failed pass merged is dropped; the task thread
                // finds every combination again.
                for (int e = 0; e < m->nef; ++e) {
                    roots[static_cast<size_t>(e)] = nullptr;
                    if (m->ef[e].nclas > 0)
                        m->ef[e].nlev = 0;
                }
            }
        }
        CleanupEThreads(r);
    }
    bool ok = true;
    if (!done) {
        if (r->GetInit(r) != 0) {
            ok = false;
        } else {
            while (r->GetNext(r)) {
                const int status = zlevrgd(r, y, ywf ? &wv : nullptr, ywf ? &fv : nullptr);
                if (!zlevEffectPassKeeps(m, status))
                    continue;
                for (int e = 0; e < m->nef; ++e) {
                    ZLEVETRM& ef = m->ef[e];
                    if (ef.nclas == 0)
                        continue;
                    if (spares[e] == nullptr)
                        spares[e] = static_cast<TREE*>(zlevAlloc(pool, keyoff + 4L * ef.nclas));
                    int* key = reinterpret_cast<int*>(reinterpret_cast<char*>(spares[e]) + keyoff);
                    bool negative = false;
                    for (int k = 0; k < ef.nnest; ++k)
                        negative |= (key[k] = r->g[ef.nest[k]]) < 0;
                    for (int k = 0; k < ef.ncros; ++k)
                        negative |= (key[ef.nnest + k] = r->g[ef.cros[k]]) < 0;
                    if (negative && (m->opt[1] & ZLEV_OPT1_KEEPALL))
                        continue;
                    TREE* got = ztrebdf(&roots[e], spares[e], 4 * ef.nclas, keyoff, zlevIntCompare);
                    if (got == spares[e]) {
                        ++ef.nlev;
                        spares[e] = nullptr;
                    }
                }
            }
        }
    }
    // Each effect's combinations, crossed entries first, ascending by nested,
    // then crossed entries.
    for (int e = 0; e < m->nef && ok; ++e) {
        ZLEVETRM& ef = m->ef[e];
        if (ef.nclas == 0 || roots[e] == nullptr)
            continue;
        ztrelst(&roots[e]);
        ef.levels = static_cast<int*>(zlevAlloc(d->pool, 4L * std::max(ef.nlev, 1) * ef.nclas));
        int row = 0;
        for (TREE* p = roots[e]; p && row < ef.nlev; p = p->llink, ++row) {
            const int* key = reinterpret_cast<const int*>(reinterpret_cast<char*>(p) + keyoff);
            int* out = ef.levels + static_cast<size_t>(row) * ef.nclas;
            for (int k = 0; k < ef.ncros; ++k)
                out[k] = key[ef.nnest + k];
            for (int k = 0; k < ef.nnest; ++k)
                out[ef.ncros + k] = key[k];
        }
    }
    xmpoold(pool);
    return ok;
}

// Releases what the threaded passes left, unless the caller keeps it for a
// further pass.
void finish_threads(ZLEVREGI* r)
{
    if (r->readParm && !r->readParm->moreCalls)
        CleanupEThreads(r);
}

// Checks the model before the observations are read: the classification
// variables of a multi-member effect must agree on whether missing values
// form a level (the step ends when they do not); a variable whose missing
// values count is not also told to ignore them; the standardization sums
// start afresh; FREQ and weights are settled.
void check_model(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    m->lagsReadyFlag = 0;
    for (int k = 0; k < m->eft.n; ++k) {
        const ZLEVEFTVAR& ev = m->eft.var[k];
        if (ev.type != ZLEV_EFT_MULTIMEMBER || ev.nclas < 2)
            continue;
        const int first = m->clas.v[ev.clas[0]].countmissing ? 1 : 0;
        for (int c = 1; c < ev.nclas; ++c)
            if ((m->clas.v[ev.clas[c]].countmissing ? 1 : 0) != first) {
                xpmlog(174, msg174::MISSINGNESS_DISAGREES, ev.name.l, ev.name.s);
                xexit(3000, 0);
            }
    }
    for (int j = 0; j < m->clas.n; ++j)
        if (m->clas.v[j].ignoremissingness && m->clas.v[j].countmissing)
            m->clas.v[j].ignoremissingness = 0;
    for (ZLEVSTANDARDIZE* s : {m->stddize, m->stddizew})
        if (s) {
            for (int k = 0; k < m->cont.n; ++k) {
                if (s->xsum)
                    s->xsum[k] = 0;
                if (s->xss)
                    s->xss[k] = 0;
            }
        }
    if (m->fvar == nullptr && r->f)
        m->fvar = r->f;
    normalise_nwgt(r);
}

// Installs the default readers where the caller gave none, and looks the
// variable numbers of the responses, weights, FREQ, time and offset up again
// by name.
void install_readers(ZLEVREGI* r, DSHANDLE* fid)
{
    const bool across = (r->m->opt[0] & ZLEV_OPT0_ACROSSBY) != 0;
    if (r->GetInit == nullptr)
        r->GetInit = across ? GetInitAcrossBy : static_cast<ZLEVREADER>(GetInit);
    if (r->GetNext == nullptr)
        r->GetNext = across ? GetNextAcrossBy : static_cast<ZLEVREADER>(GetNext);
    if (r->GetVals == nullptr)
        r->GetVals = GetVals;
    if (fid) {
        for (int k = 0; k < r->y.n; ++k)
            relookup(fid, &r->y.v[k]);
        for (int k = 0; k < r->nwgt; ++k)
            relookup(fid, &r->w[k]);
        relookup(fid, r->f);
        relookup(fid, r->t);
        relookup(fid, r->o);
    }
}

// One pass over the observations finds the levels of every
// classification variable (on worker threads when they can be had) and the
// range of every continuous one; the reference levels given by value are
// checked, and each variable's levels put in order and coded. Returns 0, or
// the code zlevrgi returns when the observations could not be read or a
// reference level is not a level.
int levelize_variables(ZLEVREGI* r, DSHANDLE* fid)
{
    ZLEVMOD* m = r->m;
    ZLEVDAT* d = r->d;
    ZLEV* l = zlevini(fid, m);
    l->GetInit = LevGetInit;
    l->GetNext = LevGetNext;
    l->GetVals = LevGetVals;
    l->GetLevIndex = r->GetLevIndex ? LevGetLevIndex : nullptr;
    l->p = r;
    const int test = ztestthread("zlev", 4);
    if (test >= 0)
        r->threading = test != 0 ? 1 : 0;
    int threaded = 0;
    if (r->threading)
        threaded = zlevrinit(r, l);
    if (!threaded)
        for (int j = 0; j < m->clas.n; ++j) {
            const NAMESTR* n = m->clas.v[j].n;
            if (n && n->nvar0 > 0)
                xffile(fid, 70, &n->nvar0, 1);
        }
    const int read = zlevadd(fid, l, m);
    if (r->readParm == nullptr || r->readParm->nThreads == 0)
        r->threading = 0;
    if (read != 0) {
        // The observations could not be read: the levels would be wrong.
        xpmlog(326, msg326::LEV_READ_FAILED);
        m->status = std::max(m->status, 1012);
        xmpoold(l->pool);
        finish_threads(r);
        return ZLEV_RC_READ;
    }
    // Reference levels given by value.
    for (int j = 0; j < m->clas.n; ++j) {
        ZLEVVAR& v = m->clas.v[j];
        if (v.reforig != 0)
            v.ref = v.reforig;
        else
            v.reforig = v.ref;
        if (v.ref == ZLEV_REF_VALUE && l->nlev[j] > 0 && !reference_found(l, v, j)) {
            xpmlog(172, msg172::REF_NOT_A_LEVEL, v.n ? static_cast<int>(v.n->namelen) : 0,
                   v.n ? v.n->name_p : "");
            m->status = std::max(m->status, 112);
            xmpoold(l->pool);
            finish_threads(r);
            return ZLEV_RC_NOREF;
        }
    }
    for (int j = 0; j < m->clas.n; ++j)
        m->clas.v[j].nlev = l->nlev[j] > 0 ? zlevlls(d->pool, l, m, j, &m->clas.v[j].val) : 0;
    for (int k = 0; k < m->cont.n; ++k)
        m->cont.v[k].nlev = zlevllm(d->pool, l, m, k, &m->cont.v[k].val);
    xmpoold(l->pool);
    return 0;
}

// Whether a classification variable has no level (unless the caller
// looks the levels up itself) or a continuous variable no value, so that
// there is nothing to read.
bool without_levels(const ZLEVREGI* r)
{
    const ZLEVMOD* m = r->m;
    bool none = false;
    if (r->GetLevIndex == nullptr)
        for (int j = 0; j < m->clas.n; ++j)
            none = none || m->clas.v[j].nlev == 0;
    for (int k = 0; k < m->cont.n; ++k)
        none = none || wzmis(m->cont.v[k].val.z.l);
    return none;
}

// The arrays an observation's values are read into: continuous values,
// level numbers, formatted texts, and for each response that is also a
// classification variable where its level number is.
void value_arrays(ZLEVREGI* r, POOLHANDLE* pool)
{
    const ZLEVMOD* m = r->m;
    if (m->cont.n > 0)
        r->z = static_cast<double*>(zlevAlloc(pool, 8L * m->cont.n));
    if (m->clas.n > 0) {
        r->g = static_cast<int*>(zlevAlloc(pool, 4L * m->clas.n));
        r->c = static_cast<char**>(zlevAlloc(pool, static_cast<long>(sizeof(char*)) * m->clas.n));
        for (int j = 0; j < m->clas.n; ++j)
            r->c[j] = static_cast<char*>(zlevAlloc(pool, std::max(m->clas.v[j].vlen, 1)));
    }
    if (r->y.n > 0) {
        r->yposcl = static_cast<int**>(zlevAlloc(pool, static_cast<long>(sizeof(int*)) * r->y.n));
        for (int k = 0; k < r->y.n; ++k) {
            const NAMESTR* yn = r->y.v[k].n;
            for (int j = 0; j < m->clas.n && yn; ++j)
                if (m->clas.v[j].n && m->clas.v[j].n->nvar0 == yn->nvar0 && yn->nvar0 > 0) {
                    r->yposcl[k] = &r->g[j];
                    break;
                }
        }
    }
}

// Allocates the reader's arrays, a design row as long as the most levels, and
// the effects' per-observation records.
void reader_arrays(ZLEVREGI* r, POOLHANDLE* pool)
{
    ZLEVMOD* m = r->m;
    value_arrays(r, pool);
    r->maxnlev = 0;
    for (int j = 0; j < m->clas.n; ++j)
        r->maxnlev = std::max(r->maxnlev, m->clas.v[j].nlev);
    r->row = static_cast<double*>(zlevAlloc(pool, 8L * std::max(r->maxnlev, 1)));
    if (m->nef > 0 && m->x == nullptr)
        m->x =
            static_cast<ZLEVXINF*>(zlevAlloc(pool, static_cast<long>(sizeof(ZLEVXINF)) * m->nef));
}

// Finds the observed level combinations of the effects, unless the design
// is of full rank. False when the observations could not be read again.
bool effect_combinations(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    if (m->opt[0] & ZLEV_OPT0_FULLRANK)
        return true;
    bool any = false;
    for (int e = 0; e < m->nef; ++e) {
        m->ef[e].nlev = m->ef[e].nclas == 0 ? 1 : 0;
        // The columns are counted afresh below: until then no effect
        // level is looked up (the levels are what the pass finds), also
        // when the reader is set up again.
        m->ef[e].npar = 0;
        any = any || m->ef[e].nclas > 0;
    }
    // With no effect over classification variables the pass would find
    // nothing: it is not run.
    return !(any && m->clas.n > 0 && !effect_pass(r));
}

// Sets the widths of the level texts in names and labels: of the coded
// names for the parameterizations that have them, else of the formatted and
// unformatted values of a character variable.
void display_widths(ZLEVMOD* m)
{
    for (int j = 0; j < m->clas.n; ++j) {
        ZLEVVAR& v = m->clas.v[j];
        v.maxflen = 0;
        v.maxtlen = 0;
        const int p = v.param;
        if (p == 1 || p == 3 || p == 4 || p == 8 || p == 5 || p == 10) {
            v.maxflen =
                static_cast<int>(std::log10(v.nlev + 0.5)) + 5 + (p == 5 || p == 10 ? 1 : 0);
        } else if (v.n && v.n->ntype == 2) {
            for (int k = 0; k < v.nlev; ++k) {
                v.maxflen = std::max(v.maxflen, wzstrip(v.val.l[k], v.vlen));
                v.maxtlen = std::max(v.maxtlen, v.true_[k].c.l);
            }
        }
    }
}

// Makes the parameters' names and labels, by the naming kit or, under the
// label culture, from the effects' names and level values; then made unique.
void name_parameters(ZLEVREGI* r, POOLHANDLE* pool)
{
    ZLEVMOD* m = r->m;
    for (int k = 0; k < m->eft.n; ++k)
        zlevEftVarParmLevName(r, &m->eft.var[k]);
    zlevLevelsAll(r, 0, nullptr);
    m->maxparmnamelen = 0;
    m->maxparmlabellen = 0;
    if (m->labelCult == 0) {
        ParmName(r);
    } else {
        m->parmname = static_cast<char**>(
            zlevAlloc(pool, static_cast<long>(sizeof(char*)) * std::max(m->p, 1)));
        m->parmlabel = static_cast<char**>(
            zlevAlloc(pool, static_cast<long>(sizeof(char*)) * std::max(m->p, 1)));
        int longest = 0;
        for (int e = 0; e < m->nef; ++e)
            longest = std::max(longest, m->ef[e].name.l);
        for (int e = 0; e < m->nef; ++e)
            zlevEfParmLabel(m, pool, e, longest);
    }
    if ((m->clas.n > 0 || m->eft.n > 0) && m->genericParamNames == 0)
        UniqDups(r);
}

} // namespace

int zlevrgi(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    ZLEVDAT* d = r->d;
    DSHANDLE* fid = d ? d->fid : nullptr;

    // Model checks.
    check_model(r);

    // Callbacks, and variable numbers looked up again by name.
    install_readers(r, fid);

    // Levelization.
    const bool levelize =
        (m->clas.n > 0 && m->clas.v[0].nlev == 0) || (m->cont.n > 0 && m->cont.v[0].nlev == 0);
    if (levelize)
        if (const int rc = levelize_variables(r, fid); rc != 0)
            return rc;

    // Effect levels are searched from the last row.
    for (int e = 0; e < m->nef; ++e) {
        m->ef[e].clev = nullptr;
        m->ef[e].m = m;
    }

    // Nothing to read without levels.
    if (!(m->opt[1] & ZLEV_OPT1_KEEPALL) && without_levels(r)) {
        finish_threads(r);
        return ZLEV_RC_NOLEVELS;
    }

    // The reader's arrays.
    POOLHANDLE* pool = d->pool;
    reader_arrays(r, pool);

    // Observed level combinations of the effects.
    if (!effect_combinations(r)) {
        // The observations could not be read again: the combinations
        // would be missing, and the caller is told so.
        xpmlog(326, msg326::LEV_READ_FAILED);
        m->status = std::max(m->status, 1012);
        finish_threads(r);
        return ZLEV_RC_READ;
    }
    finish_threads(r);

    // Display widths.
    display_widths(m);

    // Constructed effects.
    if (zlevefti(r) != 0)
        return ZLEV_RC_EFFECTS;

    // Parameters.
    m->p = 0;
    for (int e = 0; e < m->nef; ++e) {
        ZLEVETRM& ef = m->ef[e];
        ef.prep = m->p;
        ef.nparNoEfcts = class_part(m, e);
        ef.npar = with_effect_variables(m, e, ef.nparNoEfcts);
        m->p += ef.npar;
    }

    // Names.
    if (!(m->opt[0] & ZLEV_OPT0_NONAMES))
        name_parameters(r, pool);

    // The fit request.
    if (r->fit.GetY == nullptr)
        r->fit.GetY = FitGetY;
    if (r->fit.GetW == nullptr)
        r->fit.GetW = FitGetW;
    r->fit.ny = r->y.n;
    r->fit.y = r->y.n > 0 ? static_cast<double*>(zlevAlloc(pool, 8L * r->y.n)) : nullptr;
    r->fit.stuff = nullptr;
    zlevfx(&r->fit);
    return 0;
}

int zlevseci(ZLEVREGI* r, POOLHANDLE* pool)
{
    if (r->d == nullptr)
        r->d = static_cast<ZLEVDAT*>(zlevAlloc(pool, sizeof(ZLEVDAT)));
    if (r->m == nullptr)
        return 1;
    r->readfmt = 0;
    value_arrays(r, pool);
    if (r->GetVals == nullptr)
        r->GetVals = GetVals;
    if (r->GetInit == nullptr)
        r->GetInit = GetInit;
    if (r->GetNext == nullptr)
        r->GetNext = GetNext;
    return 0;
}

int zlevedf(ZLEVMOD* m, int i)
{
    ZLEVETRM& ef = m->ef[i];
    ef.nparNoEfcts = class_part(m, i);
    return with_effect_variables(m, i, ef.nparNoEfcts);
}

// Reading one observation through the levelized model: its values, each
// classification value's level, whether every effect can be formed, centred
// continuous values, each effect's value and level, and a status word whose
// bits say why the observation cannot be used. Also the selected-model mask,
// the stand-alone effect check, the lagged-level lookup, the columns of a
// constructed effect variable, and the reader's small lookups.
#include <cstring>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"

namespace
{

bool clas_excluded(const ZLEVMOD* m, int i)
{
    const ZLEVINMODEL* im = m->inmodel;
    return im && im->check == '1' && im->clas && im->clas[i] == '0';
}

bool cont_excluded(const ZLEVMOD* m, int i)
{
    const ZLEVINMODEL* im = m->inmodel;
    return im && im->check == '1' && im->cont && im->cont[i] == '0';
}

bool ef_excluded(const ZLEVMOD* m, int e)
{
    const ZLEVINMODEL* im = m->inmodel;
    return im && im->check == '1' && im->ef && im->ef[e] == '0';
}

bool eft_excluded(const ZLEVMOD* m, int k)
{
    const ZLEVINMODEL* im = m->inmodel;
    return im && im->check == '1' && im->eft && im->eft[k] == '0';
}

// Compares two lag subjects by their within-variable levels.
int lag_compare(char* a, char* b, int len, int /*off*/)
{
    const auto* x = reinterpret_cast<const ZLEVLAGNODE*>(a);
    const auto* y = reinterpret_cast<const ZLEVLAGNODE*>(b);
    for (int k = 0; k < len / 4; ++k)
        if (x->idx[k] != y->idx[k])
            return x->idx[k] < y->idx[k] ? -1 : 1;
    return 0;
}

} // namespace

// Row i of an effect's levels against the observation's levels g: nested
// entries first, then crossed; -1, 0 or 1.
int eCompare(const ZLEVETRM* ef, int i, const int* g)
{
    const int* row = ef->levels + static_cast<size_t>(i) * ef->nclas;
    for (int k = 0; k < ef->nnest; ++k) {
        const int a = row[ef->ncros + k], b = g[ef->nest[k]];
        if (a != b)
            return a < b ? -1 : 1;
    }
    for (int k = 0; k < ef->ncros; ++k) {
        const int a = row[k], b = g[ef->cros[k]];
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}

bool zlevEfExcluded(const ZLEVMOD* m, int e)
{
    return ef_excluded(m, e);
}

bool zlevEftExcluded(const ZLEVMOD* m, int k)
{
    return eft_excluded(m, k);
}

int zlevIntCompare(char* a, char* b, int len, int off)
{
    for (int k = 0; k < len / 4; ++k) {
        int32_t x, y;
        std::memcpy(&x, a + off + 4 * k, 4);
        std::memcpy(&y, b + off + 4 * k, 4);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

int zlevwel(ZLEVETRM* ef, const int* g)
{
    if (ef->nclas == 0)
        return 0;
    const int n = ef->nlev;
    if (n == 0 || ef->levels == nullptr)
        return n;
    if (eCompare(ef, n - 1, g) == 0)
        return n - 1;
    if (eCompare(ef, 0, g) == 0)
        return 0;
    int lo = 0, hi = n - 1;
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        const int c = eCompare(ef, mid, g);
        if (c == 0)
            return mid;
        if (c < 0)
            lo = mid;
        else
            hi = mid;
    }
    return n;
}

int FitGetY(ZLEVREGI* r, double* y, void*)
{
    return (zlevrgd(r, y, nullptr, nullptr) & (0x1 | 0x2 | 0x4 | 0x20)) == 0 ? 1 : 0;
}

int FitGetW(ZLEVREGI* r, double* w, void*)
{
    return (zlevrgd(r, nullptr, w, nullptr) & (0x1 | 0x2 | 0x4 | 0x20)) == 0 ? 1 : 0;
}

ZLEVINMODEL* SetInmodel(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    if (m->inmodel)
        return m->inmodel;
    POOLHANDLE* pool = r->d->pool;
    auto* im = static_cast<ZLEVINMODEL*>(zlevAlloc(pool, sizeof(ZLEVINMODEL)));
    auto chars = [&](int n) {
        char* p = static_cast<char*>(zlevAlloc(pool, n > 0 ? n : 1));
        std::memset(p, '0', static_cast<size_t>(n > 0 ? n : 1));
        return p;
    };
    im->check = '0';
    im->ef = chars(m->nef);
    im->eft = chars(m->eft.n);
    im->cont = chars(m->cont.n);
    im->clas = chars(m->clas.n);
    for (int e = 0; e < m->nef; ++e) {
        const ZLEVETRM& ef = m->ef[e];
        im->ef[e] = '1';
        for (int k = 0; k < ef.nclas; ++k)
            im->clas[ef.clas[k]] = '1';
        for (int k = 0; k < ef.ncont; ++k)
            im->cont[ef.cont[k]] = '1';
        for (int k = 0; k < ef.nefct; ++k) {
            const ZLEVEFTVAR& ev = m->eft.var[ef.efct[k]];
            im->eft[ef.efct[k]] = '1';
            for (int q = 0; q < ev.nclas; ++q)
                im->clas[ev.clas[q]] = '1';
            for (int q = 0; q < ev.ncont; ++q)
                im->cont[ev.cont[q]] = '1';
            if (ev.type == ZLEV_EFT_LAG && ev.lagControlPtr) {
                const ZLEVLAGCONTROL* lag = ev.lagControlPtr;
                for (int q = 0; q < lag->nWithin; ++q)
                    im->clas[lag->withinVar[q]] = '1';
                if (lag->periodVar != 0)
                    im->clas[lag->periodVar] = '1';
            }
        }
    }
    for (int i = 0; i < m->clas.n; ++i) {
        const NAMESTR* cn = m->clas.v[i].n;
        for (int k = 0; k < r->y.n && cn; ++k)
            if (r->y.v[k].n && r->y.v[k].n->nvar0 == cn->nvar0)
                im->clas[i] = '1';
    }
    m->inmodel = im;
    return im;
}

int zlevCheckEftEXMISS(int* missing, ZLEVREGI* r, ZLEVMOD* m, int i)
{
    if (*missing & ZLEV_ST_EFFECT)
        return 0;
    ZLEVETRM& ef = m->ef[i];
    ef.noeff = 0;
    if (ef.nefct == 0)
        return 1;
    auto fail = [&]() {
        *missing |= ZLEV_ST_EFFECT | ZLEV_ST_DESIGN;
        return 0;
    };
    for (int q = 0; q < ef.nefct; ++q) {
        if (eft_excluded(m, ef.efct[q]))
            continue;
        const ZLEVEFTVAR& ev = m->eft.var[ef.efct[q]];
        switch (ev.type) {
        case ZLEV_EFT_MULTIMEMBER: {
            int sum = 0;
            for (int c = 0; c < ev.nclas; ++c) {
                const int g = r->g[ev.clas[c]];
                sum += g;
                if (g != -1 && ev.ncont > 0 && c < ev.ncont && wzmis(r->z[ev.cont[c]]))
                    return fail();
            }
            if (ev.nclas == 0 || sum == -ev.nclas) {
                if (!ev.noeffect)
                    return fail();
                ef.noeff = 1;
                *missing |= ZLEV_ST_NOEFFECT;
            } else if (ev.stdize && ev.ncont > 0) {
                double s = 0;
                for (int c = 0; c < ev.nclas && c < ev.ncont; ++c)
                    if (r->g[ev.clas[c]] != -1)
                        s += r->z[ev.cont[c]];
                if (wzmis(s) || s == 0)
                    return fail();
            }
            break;
        }
        case ZLEV_EFT_CONCAT:
            for (int c = 0; c < ev.nclas; ++c)
                if (r->g[ev.clas[c]] == -1)
                    return fail();
            for (int c = 0; c < ev.ncont; ++c)
                if (wzmis(r->z[ev.cont[c]]))
                    return fail();
            break;
        case ZLEV_EFT_SPLINE:
        case ZLEV_EFT_POLY:
            for (int c = 0; c < ev.ncont; ++c)
                if (wzmis(r->z[ev.cont[c]]))
                    return fail();
            break;
        case ZLEV_EFT_LAG:
            if (m->lagsReadyFlag && ev.lagControlPtr && ev.lagControlPtr->obsLaggedLevel == -1)
                return fail();
            break;
        default:
            break;
        }
    }
    return 1;
}

int zlevGetEftLaggedLevel(ZLEVREGI* r, ZLEVLAGCONTROL* lag)
{
    if (lag->obsLaggedLevel != -1)
        return lag->obsLaggedLevel;
    if (lag->notInSelectedModelFlag)
        return -1;
    ZLEVLAGSUBJECTS* set;
    if (lag->scoreSubjectsPtr) {
        set = lag->scoreSubjectsPtr;
    } else if (lag->altSubjectsPtr == nullptr) {
        set = &lag->subjects;
    } else {
        const double role = r->z[lag->designRoleVar];
        if (wzmis(role)) {
            lag->obsLaggedLevel = -1;
            return -1;
        }
        set = role == 0 ? lag->altSubjectsPtr : &lag->subjects;
    }
    int subject = -1;
    if (set->withinTree == nullptr) {
        subject = lag->nWithin > 0 ? r->g[lag->withinVar[0]] : -1;
    } else {
        bool ok = lag->compareNode != nullptr;
        for (int k = 0; ok && k < lag->nWithin; ++k) {
            lag->compareNode->idx[k] = r->g[lag->withinVar[k]];
            ok = lag->compareNode->idx[k] != -1;
        }
        if (ok) {
            TREE* head = set->withinTree;
            TREE* node = ztrefdf(&head, &lag->compareNode->t, 4 * lag->nWithin, 0, lag_compare);
            subject = node ? reinterpret_cast<ZLEVLAGNODE*>(node)->subject : -1;
        }
    }
    int result;
    const int period = r->g[lag->periodVar];
    if (subject == -1 || period == -1)
        result = -1;
    else if (period < lag->nLag)
        result = -2;
    else
        result =
            set->design[(period - lag->nLag) + static_cast<size_t>(subject) * lag->nPeriods] - 1;
    lag->obsLaggedLevel = result;
    return result;
}

void zlevGetEftVarCols(ZLEVREGI* r, ZLEVEFTVAR* var)
{
    ZLEVMOD* m = r->m;
    if (var->splitDerivativeFlag && var->splitSource >= 0 && var->splitSource < m->eft.n &&
        m->eft.var[var->splitSource].derivedComputed)
        return;
    if (var->x && var->nparms > 0)
        std::memset(var->x, 0, sizeof(double) * static_cast<size_t>(var->nparms));
    const bool fullRank = (m->opt[0] & ZLEV_OPT0_FULLRANK) != 0;
    switch (var->type) {
    case ZLEV_EFT_MULTIMEMBER: {
        double sum = 0;
        for (int c = 0; c < var->nclas; ++c) {
            const int g = r->g[var->clas[c]];
            if (g == -1)
                continue;
            const double wt = var->ncont > 0 && c < var->ncont ? r->z[var->cont[c]] : 1.0;
            const int col = var->mmMap ? var->mmMap[c][g] : g;
            if (col >= 0 && col < var->nparms)
                var->x[col] += wt;
            sum += wt;
        }
        var->mmRowSum = sum;
        if (var->stdize && sum != 0) {
            if (sum <= 1.110223024625157e-12 && sum >= -1.110223024625157e-12) {
                std::memset(var->x, 0, sizeof(double) * static_cast<size_t>(var->nparms));
            } else {
                for (int k = 0; k < var->nparms; ++k)
                    var->x[k] /= sum;
            }
        }
        break;
    }
    case ZLEV_EFT_CONCAT: {
        int at = 0;
        for (int c = 0; c < var->ncont && at < var->nparms; ++c)
            var->x[at++] = r->z[var->cont[c]];
        for (int c = 0; c < var->nclas; ++c) {
            ZLEVVAR& cv = m->clas.v[var->clas[c]];
            const int width = fullRank ? cv.nlev - 1 : cv.nlev;
            const int g = r->g[var->clas[c]];
            if (g >= 0 && at + width <= var->nparms) {
                const double* gv = r->gVal ? r->gVal[var->clas[c]] : nullptr;
                if (gv) {
                    // The caller's value of each level; under full rank of
                    // the level each column belongs to.
                    for (int k = 0; k < width; ++k)
                        var->x[at + k] = gv[fullRank ? zlevColumnLevel(&cv, k) : k];
                } else if (!fullRank) {
                    var->x[at + g] = 1.0;
                } else {
                    zlevflr(&cv, var->x + at, g, width, 1.0);
                }
            }
            at += width;
        }
        break;
    }
    case ZLEV_EFT_SPLINE:
        zlevSplineCols(r, var);
        break;
    case ZLEV_EFT_POLY:
        zlevPolyCols(r, var);
        break;
    case ZLEV_EFT_LAG: {
        ZLEVLAGCONTROL* lag = var->lagControlPtr;
        if (lag == nullptr)
            break;
        const int lagged = zlevGetEftLaggedLevel(r, lag);
        const int period = r->g[lag->periodVar];
        if (period >= lag->nLag) {
            ZLEVVAR& lv = m->clas.v[lag->lagVar];
            const int width = fullRank ? lv.nlev - 1 : lv.nlev;
            const double* gv = r->gVal ? r->gVal[lag->lagVar] : nullptr;
            if (lagged < 0) {
                for (int k = 0; k < width && k < var->nparms; ++k)
                    var->x[k] = korv_missing();
            } else if (gv) {
                for (int k = 0; k < width && k < var->nparms; ++k)
                    var->x[k] = gv[fullRank ? zlevColumnLevel(&lv, k) : k];
            } else if (!fullRank) {
                if (lagged < var->nparms)
                    var->x[lagged] = 1.0;
            } else {
                zlevflr(&lv, var->x, lagged, width, 1.0);
            }
        }
        lag->obsLaggedLevel = -1;
        break;
    }
    default:
        break;
    }
}

int zlevrgd(ZLEVREGI* r, double* y, double* w, double* f)
{
    ZLEVMOD* m = r->m;
    ZLEVDAT* d = r->d;
    if (r->GetVals == nullptr)
        r->GetVals = GetVals;
    r->GetVals(r, "zcywf", r->z, r->c, y, w, f);

    // Levels of the classification values.
    int* lev = nullptr;
    if (r->GetLevIndex) {
        lev = static_cast<int*>(zlevAlloc(d->pool, static_cast<long>(m->clas.n) * sizeof(int)));
        r->GetLevIndex(lev, m->userptr);
    }
    for (int i = 0; i < m->clas.n; ++i) {
        ZLEVVAR& v = m->clas.v[i];
        if (!clas_excluded(m, i) && v.n != nullptr)
            r->g[i] = zlevlwh(d, &v, r->c[i]);
    }
    const int status = zlevObsStatus(r, y, w, f, lev);
    if (lev)
        vmfree_handler(d->pool, lev, -1, 4);
    return status;
}

bool zlevEffectPassKeeps(const ZLEVMOD* m, int status)
{
    return (m->opt[1] & ZLEV_OPT1_KEEPALL) || (status & ~(ZLEV_ST_NOLEVEL | ZLEV_ST_NOEFFECT)) == 0;
}

int zlevObsStatus(ZLEVREGI* r, double* y, double* w, double* f, const int* lev)
{
    ZLEVMOD* m = r->m;
    int status = 0;
    bool selectedMissing = false;
    for (int i = 0; i < m->clas.n; ++i) {
        ZLEVVAR& v = m->clas.v[i];
        if (clas_excluded(m, i) || v.n == nullptr)
            continue;
        if (r->g[i] >= 0 || (lev && !lev[i]))
            continue;
        bool response = false;
        for (int k = 0; k < r->y.n && !response; ++k)
            response = r->yposcl && r->yposcl[k] == &r->g[i];
        if (response) {
            status |= ZLEV_ST_RESPONSE;
        } else {
            status |= ZLEV_ST_NOLEVEL | ZLEV_ST_DESIGN;
            if ((m->opt[0] & ZLEV_OPT0_FULLRANK) && SetInmodel(r)->clas[i] == '1')
                selectedMissing = true;
        }
    }

    // Lagged levels.
    if (m->lagsReadyFlag)
        for (int k = 0; k < m->eft.n; ++k) {
            ZLEVEFTVAR& ev = m->eft.var[k];
            if (ev.type != ZLEV_EFT_LAG || eft_excluded(m, k) || ev.lagControlPtr == nullptr)
                continue;
            ev.lagControlPtr->obsLaggedLevel = -1;
            if (zlevGetEftLaggedLevel(r, ev.lagControlPtr) == -1)
                status |= ZLEV_ST_DESIGN;
        }

    // Can every effect still be formed?
    if ((status & ZLEV_ST_DESIGN) && m->eft.n > 0) {
        bool pass = true;
        for (int e = 0; e < m->nef && pass; ++e) {
            if (ef_excluded(m, e))
                continue;
            ZLEVETRM& ef = m->ef[e];
            if (ef.nefct > 0) {
                if (status & ZLEV_ST_EFFECT) {
                    pass = false;
                    break;
                }
                if (!zlevCheckEftEXMISS(&status, r, m, e)) {
                    pass = false;
                    break;
                }
            }
            for (int k = 0; k < ef.nclas && pass; ++k)
                pass = r->g[ef.clas[k]] != -1;
        }
        if (pass) {
            status &= ~ZLEV_ST_DESIGN;
            selectedMissing = false;
        }
    }

    // Continuous values, centred and scaled.
    for (int k = 0; k < m->cont.n; ++k) {
        const ZLEVVAR& v = m->cont.v[k];
        if (cont_excluded(m, k) || v.n == nullptr)
            continue;
        if (wzmis(r->z[k])) {
            status |= ZLEV_ST_CONTMISS | ZLEV_ST_DESIGN;
        } else if (!(m->opt[0] & ZLEV_OPT0_NOCENTER)) {
            r->z[k] = v.val.z.s > 0 ? (r->z[k] - v.val.z.l) / v.val.z.s : 0.0;
        }
    }

    if (r->o && wzmis(r->o->val.x))
        status |= ZLEV_ST_DESIGN;
    if (r->cs && wzmis(r->cs->val.x))
        status |= ZLEV_ST_RESPONSE;
    if (y)
        for (int k = 0; k < r->y.n; ++k)
            if (wzmis(y[k]))
                status |= ZLEV_ST_RESPONSE;
    if (r->t && wzmis(r->t->val.x))
        status |= ZLEV_ST_RESPONSE;

    // Weight and frequency.
    const bool zeroOk = (m->opt[1] & ZLEV_OPT1_ZEROWF) != 0;
    auto bad = [&](double v) { return wzmis(v) || (zeroOk ? v < 0 : !(v > 0)); };
    if (w && r->nwgt > 0 && bad(*w))
        status |= ZLEV_ST_WEIGHT;
    if (f && r->f && bad(*f))
        status |= ZLEV_ST_WEIGHT;

    // Each effect's value.
    for (int e = 0; e < m->nef; ++e) {
        if (ef_excluded(m, e))
            continue;
        ZLEVETRM& ef = m->ef[e];
        if (ef.nefct > 0 && !(status & ZLEV_ST_EFFECT))
            zlevCheckEftEXMISS(&status, r, m, e);
        if (m->x == nullptr)
            continue;
        double z = 1.0;
        bool miss = false;
        for (int k = 0; k < ef.ncont && !miss; ++k) {
            const ZLEVVAR& cv = m->cont.v[ef.cont[k]];
            if (cv.n == nullptr)
                continue;
            const double v = r->z[ef.cont[k]];
            miss = wzmis(v) != 0;
            z *= v;
        }
        if (miss || wzmis(z)) {
            m->x[e].z = korv_missing();
            status |= ZLEV_ST_EFFECT;
        } else {
            m->x[e].z = z;
        }
    }

    // Each effect's level.
    if (!(m->opt[0] & ZLEV_OPT0_FULLRANK) && m->nef > 0 && m->x)
        for (int e = 0; e < m->nef; ++e) {
            if (ef_excluded(m, e))
                continue;
            ZLEVETRM& ef = m->ef[e];
            if (ef.npar == 0) {
                m->x[e].i = -1;
                continue;
            }
            const int i = zlevwel(&ef, r->g);
            m->x[e].i = i;
            if (i >= ef.nlev)
                status |= ZLEV_ST_EFFECT | ZLEV_ST_DESIGN;
        }

    if (selectedMissing)
        status |= ZLEV_ST_EFFECT;
    return status;
}

// Constructed effect variables readied once the levels are known: the
// percentile sort for percentile knots, the standardisation sums of
// polynomials, the subjects of lags, then variable by variable the number of
// columns, the level names of multi-member variables, the spline knots and
// the column buffers. Per observation, zlevGetEftVarCols only evaluates what
// is prepared here.
//
// Continuous values enter splines and polynomials in the data's own units:
// the knots lie within the data range [l - s, l + s] and the standardisation
// of a polynomial is the data's mean and standard deviation (or l and s), so
// the reader's centred values are turned back into data values for them.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"
#include "vyr_message_names.h"

namespace
{

bool full_rank(const ZLEVMOD* m)
{
    return (m->opt[0] & ZLEV_OPT0_FULLRANK) != 0;
}

int name_len(const ZLEVSTR& s)
{
    return std::max(s.l, 0);
}

// A multi-member variable: one column per distinct level text over all its
// class members, in text order; each member's levels map to those columns.
void multi_member(ZLEVREGI* r, ZLEVEFTVAR& ev)
{
    ZLEVMOD* m = r->m;
    POOLHANDLE* dpool = r->d->pool;
    int W = 1;
    for (int j = 0; j < ev.nclas; ++j)
        W = std::max(W, m->clas.v[ev.clas[j]].vlen);
    POOLHANDLE* pool = xmpoolc(0, 1024, 0x1002);
    if (pool == nullptr) {
        xmemmsg(xmemdef());
        xexit(1016, 0);
    }
    struct Node {
        TREE t;
        int seqnum;
    };
    const int keyoff = static_cast<int>(sizeof(Node));
    TREE* root = nullptr;
    Node* spare = nullptr;
    auto key_node = [&](const ZLEVVAR& v, int l) {
        if (spare == nullptr)
            spare = static_cast<Node*>(xmalloc_or_exit(pool, keyoff + W, 0x3006));
        char* key = reinterpret_cast<char*>(spare) + keyoff;
        std::memset(key, ' ', static_cast<size_t>(W));
        std::memcpy(key, v.val.l[l], static_cast<size_t>(std::min(v.vlen, W)));
        return spare;
    };
    int count = 0;
    for (int j = 0; j < ev.nclas; ++j) {
        const ZLEVVAR& v = m->clas.v[ev.clas[j]];
        for (int l = 0; l < v.nlev; ++l) {
            Node* n = key_node(v, l);
            if (ztrebld(&root, &n->t, W, keyoff) == &n->t) {
                spare = nullptr;
                ++count;
            }
        }
    }
    ev.nparms = count;
    ev.levName = static_cast<char**>(zlevAlloc(dpool, static_cast<long>(sizeof(char*)) * count));
    ev.levNameLen = static_cast<int*>(zlevAlloc(dpool, 4L * count));
    ev.maxLevNameLen = 0;
    int seq = 0;
    for (TREE* p = ztreord(root); p; p = ztreord(root)) {
        auto* n = reinterpret_cast<Node*>(p);
        n->seqnum = seq;
        const char* key = reinterpret_cast<char*>(n) + keyoff;
        const int len = std::max(wzstrip(key, W), 0);
        char* text = static_cast<char*>(zlevAlloc(dpool, len + 1L));
        std::memcpy(text, key, static_cast<size_t>(len));
        ev.levName[seq] = text;
        ev.levNameLen[seq] = len;
        ev.maxLevNameLen = std::max(ev.maxLevNameLen, len);
        ++seq;
    }
    ev.mmMap = static_cast<int**>(
        zlevAlloc(dpool, static_cast<long>(sizeof(int*)) * std::max(ev.nclas, 1)));
    for (int j = 0; j < ev.nclas; ++j) {
        const ZLEVVAR& v = m->clas.v[ev.clas[j]];
        if (v.nlev == 0)
            continue;
        ev.mmMap[j] = static_cast<int*>(zlevAlloc(dpool, 4L * v.nlev));
        for (int l = 0; l < v.nlev; ++l) {
            Node* n = key_node(v, l);
            auto* found = reinterpret_cast<Node*>(ztrefdf(&root, &n->t, W, keyoff, ztrecc));
            ev.mmMap[j][l] = found ? found->seqnum : -1;
        }
    }
    ev.x = static_cast<double*>(zlevAlloc(dpool, 8L * std::max(ev.nparms, 1)));
    ev.nParmsPreSplit = ev.nparms;
    xmpoold(pool);
}

// Centre and scale of a polynomial's variables from the standardisation
// sums or the variables' own location and scale: 0, or 4 after a message.
int standardise(ZLEVREGI* r, ZLEVEFTVAR& ev)
{
    ZLEVMOD* m = r->m;
    ZLEVPOLYCONTROL* pc = ev.polyControlPtr;
    if (pc == nullptr)
        return 0;
    const int n = ev.ncontPreSeparate > 0 ? ev.ncontPreSeparate : ev.ncont;
    if (pc->stdPolicy == 1 || pc->stdPolicy == 2) {
        const ZLEVSTANDARDIZE* S = pc->stdPolicy == 1 ? m->stddize : m->stddizew;
        if (S == nullptr)
            return 0;
        if (pc->center) {
            if (S->sumWeights == 0) {
                xpmlog(174, msg174::POLY_NOT_CENTRED, name_len(ev.name), ev.name.s);
                return 4;
            }
            for (int i = 0; i < n; ++i) {
                const int c = ev.cont[i];
                pc->center[i] = S->xsum[c] / S->sumWeights + m->cont.v[c].val.z.l;
            }
        }
        if (pc->scale) {
            if (S->sumFreqs < 2) {
                xpmlog(174, msg174::POLY_NOT_SCALED, name_len(ev.name), ev.name.s);
                return 4;
            }
            for (int i = 0; i < n; ++i) {
                const int c = ev.cont[i];
                const double ss = S->xss[c] - S->xsum[c] * S->xsum[c] / S->sumWeights;
                double s = std::sqrt(std::max(ss, 0.0) / (S->sumFreqs - 1));
                pc->scale[i] = s == 0 ? 1.0 : s;
            }
        }
    } else if (pc->stdPolicy == 3) {
        for (int i = 0; i < n; ++i) {
            const ZLEVVAR& v = m->cont.v[ev.cont[i]];
            if (pc->center)
                pc->center[i] = v.val.z.l;
            if (pc->scale)
                pc->scale[i] = v.val.z.s == 0 ? 1.0 : v.val.z.s;
        }
    }
    return 0;
}

} // namespace

double zlevRawValue(const ZLEVREGI* r, int c)
{
    const ZLEVMOD* m = r->m;
    const double z = r->z[c];
    if (wzmis(z) || (m->opt[0] & ZLEV_OPT0_NOCENTER))
        return z;
    const ZLEVVAR& v = m->cont.v[c];
    return v.val.z.s > 0 ? z * v.val.z.s + v.val.z.l : v.val.z.l;
}

int zlevefti(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    POOLHANDLE* dpool = r->d->pool;
    ZLEVSORT sort{};
    if (zlevSortForPercentiles(r, &sort) != 0) {
        zlevSortForPercentilesTerm(&sort);
        return 3;
    }
    if (m->stddize || m->stddizew)
        zlevStddizeForPolynomials(r);
    zlevLevelizeLagWithin(r, m->nLagEftToLevelize, m->lagEftToLevelize);
    int parent = -1, column = 0;
    int rc = 0;
    for (int k = 0; k < m->eft.n && rc == 0; ++k) {
        ZLEVEFTVAR& ev = m->eft.var[k];
        switch (ev.type) {
        case ZLEV_EFT_MULTIMEMBER:
            multi_member(r, ev);
            break;
        case ZLEV_EFT_CONCAT: {
            int n = ev.ncont;
            for (int j = 0; j < ev.nclas; ++j)
                n += m->clas.v[ev.clas[j]].nlev;
            if (full_rank(m))
                n -= ev.nclas;
            ev.nparms = n;
            ev.x = static_cast<double*>(zlevAlloc(dpool, 8L * std::max(n, 1)));
            ev.nParmsPreSplit = n;
            break;
        }
        case ZLEV_EFT_SPLINE: {
            ZLEVSPLINECONTROL* sp = ev.splineControlPtr;
            if (sp == nullptr)
                break;
            if (!ev.splitDerivativeFlag) {
                const int bad = sp->basisType == 1 ? zlevBSplineKnots(&ev, m, dpool, &sort)
                                                   : zlevTPFSplineKnots(&ev, m, dpool, &sort);
                if (bad) {
                    rc = 3;
                    break;
                }
                ev.x = static_cast<double*>(zlevAlloc(dpool, 8L * std::max(ev.nparms, 1)));
                ev.nParmsPreSplit = ev.nparms;
                if (sp->splitFlag) {
                    ev.nparms = 1;
                    parent = k;
                    column = 0;
                }
            } else if (parent >= 0) {
                ++column;
                ev.nparms = 1;
                ev.nParmsPreSplit = 0;
                ZLEVEFTVAR& p = m->eft.var[parent];
                ev.x = p.x + std::min(column, std::max(p.nParmsPreSplit - 1, 0));
                ev.splitSource = parent;
            }
            break;
        }
        case ZLEV_EFT_POLY:
            if (!ev.splitDerivativeFlag)
                rc = standardise(r, ev);
            if (ev.x == nullptr && ev.nparms > 0)
                ev.x = static_cast<double*>(zlevAlloc(dpool, 8L * ev.nparms));
            break;
        case ZLEV_EFT_LAG: {
            ZLEVLAGCONTROL* L = ev.lagControlPtr;
            if (L == nullptr)
                break;
            ev.nparms = m->clas.v[L->lagVar].nlev - (full_rank(m) ? 1 : 0);
            ev.nParmsPreSplit = ev.nparms;
            ev.x = static_cast<double*>(zlevAlloc(dpool, 8L * std::max(ev.nparms, 1)));
            L->nPeriods = m->clas.v[L->periodVar].nlev;
            if (!(m->opt[0] & ZLEV_OPT0_ACROSSBY)) {
                rc = zlevLagDesignCreate(r, L, &ev, nullptr, nullptr);
                if (rc == 0)
                    m->lagsReadyFlag = 1;
            }
            break;
        }
        default:
            break;
        }
    }
    // The sorted files have served the knots: they are closed now.
    zlevSortForPercentilesTerm(&sort);
    return rc;
}

void zlevStddizeForPolynomials(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    double wv = 1.0, fv = 1.0;
    double* w = r->nwgt > 0 ? &wv : nullptr;
    double* f = r->f ? &fv : nullptr;
    POOLHANDLE* pool = xlongpool();
    double* y =
        r->y.n > 0 ? static_cast<double*>(xmalloc_or_exit(pool, 8L * r->y.n, 0x3004)) : nullptr;
    double nObs = 0, sumFreqs = 0, sumW = 0;
    if (r->GetInit(r) != 0) {
        if (y)
            vmfree_handler(pool, y, -1, 4);
        return;
    }
    while (r->GetNext(r)) {
        wv = 1.0;
        fv = 1.0;
        if (zlevrgd(r, y, w, f) != 0)
            continue;
        if (w && !(wv > 0))
            continue;
        double freq = 1.0;
        if (f) {
            if (!(fv >= 1))
                continue;
            freq = std::floor(fv);
        }
        nObs += 1;
        sumFreqs += freq;
        const double g = freq * (w ? wv : 1.0);
        sumW += g;
        for (ZLEVSTANDARDIZE* S : {m->stddize, m->stddizew}) {
            if (S == nullptr)
                continue;
            const double wt = S == m->stddizew ? g : freq;
            for (int q = 0; q < S->nVars; ++q) {
                const int c = S->varList[q];
                const double d = zlevRawValue(r, c) - m->cont.v[c].val.z.l;
                S->xsum[c] += wt * d;
                S->xss[c] += wt * d * d;
            }
        }
        if (m->stddize) {
            m->stddize->nObs = nObs;
            m->stddize->sumFreqs = sumFreqs;
            m->stddize->sumWeights = sumFreqs;
        }
        if (m->stddizew) {
            m->stddizew->nObs = nObs;
            m->stddizew->sumFreqs = sumFreqs;
            m->stddizew->sumWeights = sumW;
        }
    }
    if (y)
        vmfree_handler(pool, y, -1, 4);
}

int zlevFindContVarInModel(ZLEVMOD* m, const ZLEVSTR* namex, int* cno)
{
    if (namex == nullptr || namex->l <= 0 || namex->s == nullptr)
        return 0;
    bool anyCont = false;
    auto matches = [&](int c) {
        const NAMESTR* n = m->cont.v[c].n;
        if (n == nullptr)
            return false;
        if (n->namelen == namex->l)
            return wzstcmn(n->name_p, n->namelen, namex->s, namex->l, nullptr) == 0;
        const int a = wzstrip(n->name_p, n->namelen), b = wzstrip(namex->s, namex->l);
        return a == b && wzstcmn(n->name_p, a, namex->s, b, nullptr) == 0;
    };
    auto found = [&](int c) {
        if (cno)
            *cno = c;
        return std::abs(m->cont.v[c].n->nvar0);
    };
    for (int e = 0; e < m->nef; ++e) {
        const ZLEVETRM& ef = m->ef[e];
        for (int q = 0; q < ef.nefct; ++q) {
            const ZLEVEFTVAR& ev = m->eft.var[ef.efct[q]];
            for (int k = 0; k < ev.ncont; ++k) {
                anyCont = true;
                if (matches(ev.cont[k]))
                    return found(ev.cont[k]);
            }
        }
        for (int k = 0; k < ef.ncont; ++k) {
            anyCont = true;
            if (matches(ef.cont[k]))
                return found(ef.cont[k]);
        }
    }
    return anyCont ? -1 : 0;
}

// Services for code that works on single effects once the levels are known:
// inverse maps from the parameters of effect variables to class levels, the
// design columns of one effect for the current observation, column and
// effect means for least-squares means, the parameter positions of an
// observation's levels, and lookups of an effect's level or parameter by
// formatted class values.
//
// A concatenation variable's class parameters follow its continuous values,
// one block per classification variable: every level outside full-rank
// designs, the levels that own a column in them (zlevColumnLevel). Every
// routine here numbers those parameters the same way.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_text.h"

namespace
{

bool full_rank(const ZLEVMOD* m)
{
    return (m->opt[0] & ZLEV_OPT0_FULLRANK) != 0;
}

// Columns of classification variable v in a concatenation or lag block.
int block_columns(const ZLEVMOD* m, const ZLEVVAR& v)
{
    return std::max(full_rank(m) ? v.nlev - 1 : v.nlev, 0);
}

// The column of level l in its variable's block, -1 when it has none.
int level_column(const ZLEVMOD* m, const ZLEVVAR& v, int l)
{
    if (l < 0 || l >= v.nlev)
        return -1;
    return full_rank(m) ? zlevLevelColumn(&v, l) : l;
}

// The level behind column c of variable v's block.
int column_level(const ZLEVMOD* m, const ZLEVVAR& v, int c)
{
    return full_rank(m) ? zlevColumnLevel(&v, c) : c;
}

// Position of level l of class member j of a concatenation among its
// parameters (-1: none).
int concat_position(const ZLEVMOD* m, const ZLEVEFTVAR& ev, int j, int l)
{
    const ZLEVVAR& v = m->clas.v[ev.clas[j]];
    const int c = level_column(m, v, l);
    if (c < 0)
        return -1;
    int p = ev.ncont;
    for (int q = 0; q < j; ++q)
        p += block_columns(m, m->clas.v[ev.clas[q]]);
    return p + c;
}

// Text without blanks on either side, in place.
void trim_in_place(const char*& s, int& l)
{
    if (l <= 0)
        return;
    const std::string_view t = vyr::blank_trimmed(std::string_view(s, static_cast<size_t>(l)));
    s = t.data();
    l = static_cast<int>(t.size());
}

// Whether formatted level l of v equals the text.
bool level_is(const ZLEVVAR& v, int l, const char* text)
{
    if (l < 0 || l >= v.nlev || text == nullptr)
        return false;
    return strjscmp(v.val.l[l], v.vlen, text, static_cast<int>(std::strlen(text))) == 0;
}

// Columns of effect j written at x + prep: the class and continuous part,
// then the crossing with the effect variables (the first slowest).
void effect_columns(ZLEVREGI* r, int j, double* x)
{
    ZLEVMOD* m = r->m;
    ZLEVETRM& ef = m->ef[j];
    double* xj = x + ef.prep;
    long w;
    int remaining = ef.nefct;
    if (ef.ncont > 0 || ef.nclas > 0 || ef.nefct == 0) {
        zlevpar(r, j, xj);
        w = ef.nparNoEfcts;
    } else {
        const ZLEVEFTVAR& last = m->eft.var[ef.efct[ef.nefct - 1]];
        if (last.x)
            std::memcpy(xj, last.x, sizeof(double) * static_cast<size_t>(last.nparms));
        w = last.nparms;
        remaining = ef.nefct - 1;
    }
    for (int q = remaining - 1; q >= 0; --q) {
        const ZLEVEFTVAR& ev = m->eft.var[ef.efct[q]];
        if (w > 0 && ev.nparms > 0 && ev.x)
            zlevEffCrossMultiply(xj, static_cast<int>(w), ev.x, ev.nparms);
        w *= ev.nparms;
    }
}

} // namespace

int strjscmp(const char* s1, int l1, const char* s2, int l2)
{
    trim_in_place(s1, l1);
    trim_in_place(s2, l2);
    const int c = wzstcom(s1, l1, s2, l2);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int zlevMapEftLevInverse(POOLHANDLE* pool, ZLEVMOD* m)
{
    if (pool == nullptr)
        pool = xlongpool();
    for (int k = 0; k < m->eft.n; ++k) {
        ZLEVEFTVAR& ev = m->eft.var[k];
        if (ev.type == ZLEV_EFT_MULTIMEMBER) {
            const long size = static_cast<long>(ev.nclas) * ev.nparms;
            if (size <= 0 || ev.mmMap == nullptr) {
                ev.mmMapInverse = nullptr;
                return 1;
            }
            ev.mmMapInverse = static_cast<int*>(zlevAlloc(pool, 4 * size));
            std::fill(ev.mmMapInverse, ev.mmMapInverse + size, -1);
            for (int j = 0; j < ev.nclas; ++j) {
                const ZLEVVAR& v = m->clas.v[ev.clas[j]];
                for (int l = 0; l < v.nlev; ++l) {
                    const int p = ev.mmMap[j] ? ev.mmMap[j][l] : -1;
                    if (p >= 0 && p < ev.nparms)
                        ev.mmMapInverse[static_cast<long>(j) * ev.nparms + p] = l;
                }
            }
        } else if (ev.type == ZLEV_EFT_CONCAT) {
            // Row j (class member j), column q (the q-th class parameter):
            // the member's level at that parameter, -1 elsewhere.
            const int n = ev.nparms - ev.ncont;
            if (n == 0)
                continue;
            const long size = static_cast<long>(n) * ev.nclas;
            if (size <= 0) {
                ev.varMapInverse = nullptr;
                return 1;
            }
            ev.varMapInverse = static_cast<int*>(zlevAlloc(pool, 4 * size));
            std::fill(ev.varMapInverse, ev.varMapInverse + size, -1);
            int q = 0;
            for (int j = 0; j < ev.nclas; ++j) {
                const ZLEVVAR& v = m->clas.v[ev.clas[j]];
                for (int c = 0; c < block_columns(m, v) && q < n; ++c, ++q)
                    ev.varMapInverse[static_cast<long>(j) * n + q] = column_level(m, v, c);
            }
        }
    }
    return 0;
}

void zlevGetEfClassLevels(ZLEVETRM* ef, int parmNum, int* levList)
{
    const ZLEVMOD* m = ef->m;
    const int* row = ef->levelsall + static_cast<long>(parmNum) * ef->nlevelallrow;
    int o = 0;
    for (int k = 0; k < ef->nefct; ++k) {
        const ZLEVEFTVAR& ev = m->eft.var[ef->efct[k]];
        if (ev.type == ZLEV_EFT_MULTIMEMBER) {
            for (int j = 0; j < ev.nclas; ++j)
                levList[o++] = ev.mmMapInverse
                                   ? ev.mmMapInverse[row[k] + static_cast<long>(ev.nparms) * j]
                                   : -1;
        } else if (ev.type == ZLEV_EFT_CONCAT) {
            const int n = ev.nparms - ev.ncont;
            const int q = row[k] - ev.ncont;
            for (int j = 0; j < ev.nclas; ++j)
                levList[o++] = ev.varMapInverse && q >= 0 && q < n
                                   ? ev.varMapInverse[static_cast<long>(j) * n + q]
                                   : -1;
        }
    }
    for (int k = 0; k < ef->nclas; ++k)
        levList[o++] = row[ef->nefct + k];
}

void zlevGetEfCols(ZLEVREGI* r, int efNum, double* x)
{
    ZLEVMOD* m = r->m;
    ZLEVETRM& ef = m->ef[efNum];
    for (int q = 0; q < ef.nefct; ++q) {
        ZLEVEFTVAR& ev = m->eft.var[ef.efct[q]];
        const int src = ev.splitDerivativeFlag ? ev.splitSource : ef.efct[q];
        if (src >= 0 && src < m->eft.n)
            m->eft.var[src].derivedComputed = 0;
        ev.derivedComputed = 0;
    }
    for (int q = 0; q < ef.nefct; ++q)
        zlevGetEftVarCols(r, &m->eft.var[ef.efct[q]]);
    std::fill(x + ef.prep, x + ef.prep + std::max(ef.npar, 0), 0.0);
    effect_columns(r, efNum, x);
}

int zlevGetEfNosepCols(ZLEVREGI* r, int efNum, int nderived, double* x)
{
    ZLEVMOD* m = r->m;
    ZLEVETRM& first = m->ef[efNum];
    int n = nderived;
    if (n == 0) {
        n = 1;
        while (efNum + n < m->nef && m->ef[efNum + n].clonedFlag &&
               m->ef[efNum + n].nefct == first.nefct)
            ++n;
    }
    n = std::min(n, m->nef - efNum);
    for (int k = 0; k < m->eft.n; ++k)
        m->eft.var[k].derivedComputed = 0;
    for (int e = efNum; e < efNum + n; ++e)
        for (int q = 0; q < m->ef[e].nefct; ++q) {
            ZLEVEFTVAR& ev = m->eft.var[m->ef[e].efct[q]];
            ZLEVEFTVAR* on = &ev;
            if (ev.separateFlag && ev.splitSource >= 0 && ev.splitSource < m->eft.n)
                on = &m->eft.var[ev.splitSource];
            zlevGetEftVarCols(r, on);
        }
    std::fill(x + first.prep, x + first.prep + std::max(first.npar, 0), 0.0);
    for (int e = efNum; e < efNum + n; ++e) {
        if (e > efNum && m->x)
            m->x[e] = m->x[efNum];
        effect_columns(r, e, x);
    }
    return first.npar;
}

void zlevEfMeans(ZLEVREGI* r, double* xtotal, double* efmeans, double* noefct, double scale)
{
    if (xtotal == nullptr || efmeans == nullptr)
        return;
    ZLEVMOD* m = r->m;
    POOLHANDLE* pool = r->d->pool;
    for (int e = 0; e < m->nef; ++e) {
        ZLEVETRM& ef = m->ef[e];
        const double* tot = xtotal + ef.prep;
        const int np = std::max(ef.npar, 0);
        double sum = 0;
        for (int c = 0; c < np; ++c)
            sum += tot[c];
        efmeans[e] = scale * sum;
        if (noefct && !wzmis(noefct[e]) && noefct[e] != 0)
            efmeans[e] /= noefct[e];
        int C = 0, S = 0, Ssplit = 0, P = 0, Psep = 0;
        for (int q = 0; q < ef.nefct; ++q) {
            const ZLEVEFTVAR& ev = m->eft.var[ef.efct[q]];
            if (ev.type == ZLEV_EFT_CONCAT && ev.ncont > 0)
                ++C;
            if (ev.type == ZLEV_EFT_SPLINE) {
                ++S;
                if (ev.splineControlPtr && ev.splineControlPtr->splitFlag)
                    ++Ssplit;
            }
            if (ev.type == ZLEV_EFT_POLY) {
                ++P;
                if (ev.separateFlag)
                    ++Psep;
            }
        }
        if (C == 0 && S == 0 && P == 0)
            continue;
        if (ef.means)
            vmfree_handler(pool, ef.means, -1, 4);
        ef.means = static_cast<double*>(zlevAlloc(pool, 8L * std::max(np, 1)));
        double* mean = ef.means;
        bool written = false;
        const int block = std::max(ef.nparNoEfcts, 1);
        if (P > 0) {
            if (ef.nclas == 0) {
                for (int c = 0; c < np; ++c)
                    mean[c] = scale * tot[c];
            } else if (Psep == P) {
                std::fill(mean, mean + np, efmeans[e]);
            } else {
                for (int b = 0; b < np; b += block) {
                    double t = 0;
                    for (int c = b; c < std::min(b + block, np); ++c)
                        t += tot[c];
                    for (int c = b; c < std::min(b + block, np); ++c)
                        mean[c] = scale * t;
                }
                if (ef.nclas > 1)
                    for (int c = 0; c < np; ++c)
                        mean[c] /= ef.nclas;
            }
            written = true;
        }
        if (S == 0 && C > 0 && ef.nefct <= 1) {
            const ZLEVEFTVAR& ev = m->eft.var[ef.efct[0]];
            const double K = ev.nclas + ev.ncont;
            if (ef.nclas == 0) {
                for (int c = 0; c < np; ++c)
                    mean[c] = c < ev.ncont ? scale * K * tot[c] : (ev.nclas > 0 ? K : mean[c]);
            } else {
                // Blocks: inside the continuous values' columns one of each
                // class part, then one per class member over its columns.
                std::vector<int> bounds;
                int at = 0;
                for (int q = 0; q < ev.ncont; ++q, at += block)
                    bounds.push_back(at);
                for (int j = 0; j < ev.nclas; ++j) {
                    bounds.push_back(at);
                    at += block_columns(m, m->clas.v[ev.clas[j]]) * block;
                }
                bounds.push_back(std::min(at, np));
                for (size_t b = 0; b + 1 < bounds.size(); ++b) {
                    double t = 0;
                    for (int c = bounds[b]; c < std::min(bounds[b + 1], np); ++c)
                        t += tot[c];
                    for (int c = bounds[b]; c < std::min(bounds[b + 1], np); ++c)
                        mean[c] = t;
                }
                for (int c = 0; c < np; ++c)
                    mean[c] *= scale * K;
            }
            written = true;
        }
        if (S > 0) {
            if (ef.nefct == 1 && ef.nclas == 0) {
                for (int c = 0; c < np; ++c)
                    mean[c] = scale * tot[c];
            } else if (Ssplit == S) {
                std::fill(mean, mean + np, efmeans[e]);
            } else {
                // Columns grouped by their spline levels.
                std::map<std::vector<int>, std::vector<int>> groups;
                for (int c = 0; c < np; ++c) {
                    std::vector<int> key;
                    const int* row = ef.levelsall + static_cast<long>(c) * ef.nlevelallrow;
                    for (int q = 0; q < ef.nefct; ++q)
                        if (m->eft.var[ef.efct[q]].type == ZLEV_EFT_SPLINE)
                            key.push_back(row[q]);
                    groups[key].push_back(c);
                }
                for (const auto& [key, cols] : groups) {
                    double t = 0;
                    for (int c : cols)
                        t += tot[c];
                    for (int c : cols)
                        mean[c] = scale * t / static_cast<double>(cols.size());
                }
            }
            written = true;
        }
        if (!written) {
            // A concatenation with continuous values crossed with further
            // effect variables: each column's own mean.
            for (int c = 0; c < np; ++c)
                mean[c] = scale * tot[c];
        }
    }
}

int zlevLSMBylevel(ZLEVREGI* r, ZLEVEFTVAR* var, int* pos, char* mmLevFound)
{
    ZLEVMOD* m = r->m;
    switch (var->type) {
    case ZLEV_EFT_LAG: {
        const ZLEVLAGCONTROL* lag = var->lagControlPtr;
        if (lag == nullptr)
            return -1;
        const int p = level_column(m, m->clas.v[lag->lagVar], lag->obsLaggedLevel);
        pos[0] = p;
        return p < 0 ? -1 : 1;
    }
    case ZLEV_EFT_CONCAT: {
        int count = 0;
        for (int j = 0; j < var->nclas; ++j) {
            const int g = r->g[var->clas[j]];
            if (g < 0)
                continue;
            const int p = concat_position(m, *var, j, g);
            if (p >= 0)
                pos[count++] = p;
        }
        return count;
    }
    case ZLEV_EFT_MULTIMEMBER: {
        std::fill(pos, pos + var->nclas, 0);
        std::fill(mmLevFound, mmLevFound + var->nparms, 0);
        int count = 0;
        for (int j = 0; j < var->nclas; ++j) {
            const int l = r->g[var->clas[j]];
            if (l < 0 || var->mmMap == nullptr)
                continue;
            const int p = var->mmMap[j][l];
            if (p >= 0 && p < var->nparms && !mmLevFound[p]) {
                pos[count++] = p;
                mmLevFound[p] = 1;
            }
        }
        return count;
    }
    default:
        return -1;
    }
}

int zlevEftClValParm(ZLEVETRM* ef, int i, char** val, int nval)
{
    const ZLEVMOD* m = ef->m;
    if (i == ef->nefct) {
        if (nval < ef->nclas || ef->levels == nullptr)
            return -1;
        for (int l = 0; l < ef->nlev; ++l) {
            bool all = true;
            for (int k = 0; k < ef->nclas && all; ++k)
                all = level_is(m->clas.v[ef->clas[k]], ef->levels[l * ef->nclas + k], val[k]);
            if (all)
                return l;
        }
        return -1;
    }
    if (i < 0 || i > ef->nefct)
        return -1;
    const ZLEVEFTVAR& ev = m->eft.var[ef->efct[i]];
    switch (ev.type) {
    case ZLEV_EFT_MULTIMEMBER:
        if (nval < 1 || val[0] == nullptr || ev.levName == nullptr)
            return -1;
        for (int p = 0; p < ev.nparms; ++p)
            if (ev.levName[p] && strjscmp(ev.levName[p], ev.levNameLen[p], val[0],
                                          static_cast<int>(std::strlen(val[0]))) == 0)
                return p;
        return -1;
    case ZLEV_EFT_CONCAT:
    case ZLEV_EFT_LAG: {
        int which = -1, given = 0;
        for (int j = 0; j < std::min(nval, ev.nclas); ++j) {
            const char* s = val[j];
            int l = s ? static_cast<int>(std::strlen(s)) : 0;
            trim_in_place(s, l);
            if (l > 0) {
                which = j;
                ++given;
            }
        }
        if (given != 1)
            return -1;
        const ZLEVVAR& v = m->clas.v[ev.clas[which]];
        for (int l = 0; l < v.nlev; ++l)
            if (level_is(v, l, val[which]))
                return concat_position(m, ev, which, l);
        return -1;
    }
    default:
        return -1;
    }
}

int zlevEftClValN(ZLEVETRM* ef, int i)
{
    if (i == ef->nefct)
        return ef->nclas;
    if (i < 0 || i > ef->nefct)
        return 0;
    const ZLEVEFTVAR& ev = ef->m->eft.var[ef->efct[i]];
    switch (ev.type) {
    case ZLEV_EFT_MULTIMEMBER:
    case ZLEV_EFT_LAG:
        return 1;
    case ZLEV_EFT_CONCAT:
        return ev.nclas;
    default:
        return 0;
    }
}

int zlevEfClValN(ZLEVETRM* ef)
{
    int n = 0;
    for (int i = 0; i <= ef->nefct; ++i)
        n += zlevEftClValN(ef, i);
    return n;
}

void FindYonClass(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    for (int i = 0; i < r->y.n; ++i) {
        r->yposcl[i] = nullptr;
        const NAMESTR* yn = r->y.v[i].n;
        for (int k = 0; k < m->clas.n && yn; ++k)
            if (m->clas.v[k].n && m->clas.v[k].n->nvar0 == yn->nvar0) {
                r->yposcl[i] = &r->g[k];
                break;
            }
    }
}

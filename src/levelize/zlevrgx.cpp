// Design rows and crossproducts: one observation becomes its row of the
// design matrix, one double per model parameter in the parameter order of
// the model. Classification variables are coded by their parameterization,
// crossed variables multiply their codings (earlier variables outer), and
// constructed effect variables expand an effect's block (the first effect
// variable slowest). The row is built in place, from the last block
// backwards, so no second row is needed.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "levelize/zlevint.h"
#include "numeric/vector.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"

namespace
{

bool full_rank(const ZLEVMOD* m)
{
    return (m->opt[0] & ZLEV_OPT0_FULLRANK) != 0;
}

bool numeric(const ZLEVVAR& v)
{
    return v.n == nullptr || v.n->ntype == 1;
}

// Whether crossed variable k of effect j keeps one column per level.
bool keeps_all_levels(const ZLEVMOD* m, int j, int k)
{
    return j == 0 && k == 0 && (m->opt[0] & ZLEV_OPT0_NOINT);
}

double times(double a, double b)
{
    return wzmis(a) || wzmis(b) ? korv_missing() : a * b;
}

// The value-weighted class part: each column starts at the effect's value
// and is multiplied, variable by variable, by what the observation gives
// the level that column records for the variable: the caller's per-level
// value, or for a variable without values its coding at the column that
// level owns (an indicator of the level outside full-rank designs).
int value_weighted(ZLEVREGI* r, int j, double* x)
{
    ZLEVMOD* m = r->m;
    ZLEVETRM& ef = m->ef[j];
    const double z = m->x ? m->x[j].z : 1.0;
    const int ncols = ef.nparNoEfcts;
    if (ef.levelsall == nullptr || ncols <= 0)
        return 0;
    const bool fr = full_rank(m);
    for (int c = 0; c < ncols; ++c) {
        const int* row = ef.levelsall + static_cast<long>(c) * ef.nlevelallrow + ef.nefct;
        double v = z;
        // Nested variables, the last first.
        for (int k = ef.nnest - 1; k >= 0; --k) {
            const int var = ef.nest[k];
            const int e = row[ef.ncros + k];
            const double* gv = r->gVal[var];
            if (gv)
                v = times(v, gv[e]);
            else if (e != r->g[var])
                v = 0;
        }
        for (int k = 0; k < ef.ncros; ++k) {
            const int var = ef.cros[k];
            const int e = row[k];
            const double* gv = r->gVal[var];
            if (gv) {
                v = times(v, gv[e]);
                continue;
            }
            const int g = r->g[var];
            if (g < 0) {
                v = korv_missing();
                continue;
            }
            ZLEVVAR& cv = m->clas.v[var];
            if (!fr || keeps_all_levels(m, j, k)) {
                v = times(v, g == e ? 1.0 : 0.0);
                continue;
            }
            const int col = zlevLevelColumn(&cv, e);
            std::fill(r->row, r->row + std::max(r->maxnlev, 1), 0.0);
            zlevflr(&cv, r->row, g, cv.nlev - 1, 1.0);
            v = times(v, col >= 0 ? r->row[col] : 0.0);
        }
        x[c] = v;
    }
    return 1;
}

} // namespace

void zlevflr(ZLEVVAR* v, double* x, int i, int n, double z)
{
    if (n <= 0)
        return;
    std::fill(x, x + n, 0.0);
    if (i < 0 || i >= v->nlev)
        return;
    const int ref = v->ref;
    switch (v->param) {
    case ZLEV_PARAM_EFFECT:
    case ZLEV_PARAM_REFERENCE:
        if (i < ref) {
            if (i < n)
                x[i] = z;
        } else if (i == ref) {
            if (v->param == ZLEV_PARAM_EFFECT)
                std::fill(x, x + n, -z);
        } else if (i - 1 < n) {
            x[i - 1] = z;
        }
        break;
    case ZLEV_PARAM_POLY: {
        const double value = numeric(*v) && v->true_ ? v->true_[i].z : i + 1.0;
        if (value == 0 || wzmis(value))
            break;
        for (int k = 0; k < n; ++k)
            x[k] = z * std::pow(value, k + 1);
        break;
    }
    case ZLEV_PARAM_ORDINAL:
        for (int k = 0; k < i && k < n; ++k)
            x[k] = z;
        break;
    case ZLEV_PARAM_SYMSTEP: {
        const double L = v->nlev;
        const double s = std::sqrt(1.5 * L / (L * L - 1));
        for (int k = 0; k < n; ++k)
            x[k] = k < i ? z * s : -(z * s);
        break;
    }
    default: {
        const int c = v->nlev - 1;
        if (v->col == nullptr || c <= 0)
            break;
        for (int k = 0; k < n && k < c; ++k)
            x[k] = z * v->col[static_cast<long>(i) * c + k];
        break;
    }
    }
}

void zlevCrossMultiply(double* a, int n, const double* b, int m)
{
    if (n <= 0 || m <= 0)
        return;
    for (int i = n - 1; i >= 0; --i) {
        const double ai = a[i];
        for (int q = m - 1; q >= 0; --q)
            a[static_cast<long>(i) * m + q] = ai * b[q];
    }
}

void zlevEffCrossMultiply(double* a, int n, const double* b, int m)
{
    if (n <= 0 || m <= 0)
        return;
    for (int q = m - 1; q >= 0; --q)
        for (int i = n - 1; i >= 0; --i)
            a[static_cast<long>(q) * n + i] = a[i] * b[q];
}

int EqIntList(const int* a, const int* b, int n, const int* p)
{
    for (int k = 0; k < n; ++k)
        if (a[k] != b[p[k]])
            return 0;
    return 1;
}

int zlevpar(ZLEVREGI* r, int j, double* x)
{
    ZLEVMOD* m = r->m;
    ZLEVETRM& ef = m->ef[j];
    if (r->gVal) {
        bool any = false;
        for (int k = 0; k < ef.nclas && !any; ++k)
            any = r->gVal[ef.clas[k]] != nullptr;
        if (any)
            return value_weighted(r, j, x);
    }
    const double z = m->x ? m->x[j].z : 1.0;
    if (!full_rank(m)) {
        const long i = m->x ? m->x[j].i : -1;
        if (i >= 0 && i < ef.nparNoEfcts) {
            x[i] = z;
            return 1;
        }
        return 0;
    }
    // The nested cell, the last nested variable fastest.
    long idx = 0;
    for (int k = 0; k < ef.nnest; ++k) {
        const ZLEVVAR& v = m->clas.v[ef.nest[k]];
        const int g = r->g[ef.nest[k]];
        if (g < 0 || g >= v.nlev)
            return 0;
        idx = idx * v.nlev + g;
    }
    if (ef.ncros == 0) {
        x[idx] = z;
        return 1;
    }
    long W = 1;
    for (int k = 0; k < ef.ncros; ++k) {
        const ZLEVVAR& v = m->clas.v[ef.cros[k]];
        if (r->g[ef.cros[k]] < 0 || r->g[ef.cros[k]] >= v.nlev)
            return 0;
        W *= keeps_all_levels(m, j, k) ? v.nlev : v.nlev - 1;
    }
    if (W == 0)
        return 0;
    double* block = x + idx * W;
    ZLEVVAR& first = m->clas.v[ef.cros[0]];
    const int g0 = r->g[ef.cros[0]];
    int w;
    if (keeps_all_levels(m, j, 0)) {
        block[g0] = z;
        w = first.nlev;
    } else {
        zlevflr(&first, block, g0, first.nlev - 1, z);
        w = first.nlev - 1;
    }
    for (int k = 1; k < ef.ncros; ++k) {
        ZLEVVAR& v = m->clas.v[ef.cros[k]];
        std::fill(r->row, r->row + std::max(r->maxnlev, 1), 0.0);
        zlevflr(&v, r->row, r->g[ef.cros[k]], v.nlev - 1, 1.0);
        const int mm = v.nlev - 1;
        if (mm > 0 && w > 0)
            zlevCrossMultiply(block, w, r->row, mm);
        w *= mm;
    }
    return w;
}

void zlevrgx(ZLEVREGI* r, double* z, int* g, double* x)
{
    ZLEVMOD* m = r->m;
    if (z && z != r->z && m->cont.n > 0)
        std::memcpy(r->z, z, sizeof(double) * static_cast<size_t>(m->cont.n));
    if (g && g != r->g && m->clas.n > 0)
        std::memcpy(r->g, g, sizeof(int) * static_cast<size_t>(m->clas.n));
    for (int k = 0; k < m->eft.n; ++k)
        m->eft.var[k].derivedComputed = 0;
    for (int k = 0; k < m->eft.n; ++k)
        if (!zlevEftExcluded(m, k))
            zlevGetEftVarCols(r, &m->eft.var[k]);
    if (r->InterruptRgx)
        r->InterruptRgx(r);
    std::fill(x, x + std::max(m->p, 0), 0.0);
    for (int j = 0; j < m->nef; ++j) {
        if (zlevEfExcluded(m, j))
            continue;
        ZLEVETRM& ef = m->ef[j];
        double* xj = x + ef.prep;
        long W;
        int remaining = ef.nefct;
        if (ef.ncont == 0 && ef.nclas == 0 && ef.nefct > 0) {
            const ZLEVEFTVAR& last = m->eft.var[ef.efct[ef.nefct - 1]];
            if (last.x)
                std::memcpy(xj, last.x, sizeof(double) * static_cast<size_t>(last.nparms));
            W = last.nparms;
            remaining = ef.nefct - 1;
        } else {
            zlevpar(r, j, xj);
            W = ef.nparNoEfcts;
        }
        for (int q = remaining - 1; q >= 0; --q) {
            const ZLEVEFTVAR& ev = m->eft.var[ef.efct[q]];
            const int mm = ev.nparms;
            if (W > 0 && mm > 0 && ev.x)
                zlevEffCrossMultiply(xj, static_cast<int>(W), ev.x, mm);
            W *= mm;
        }
    }
}

int zlevscp(ZLEVREGI* r, double* xpx, double wgt, int ny, double* y)
{
    ZLEVMOD* m = r->m;
    const int p = m->p;
    if (!full_rank(m) && m->eft.n == 0) {
        // Each effect has one non-zero column: its level's, with the effect's
        // value. An observation with a missing value adds nothing.
        for (int e = 0; e < m->nef; ++e)
            if (m->x[e].i >= 0 && wzmis(m->x[e].z))
                return 0;
        for (int k = 0; k < ny; ++k)
            if (wzmis(y[k]))
                return 0;
        auto add = [&](long a, long b, double v) {
            if (a < b)
                std::swap(a, b);
            xpx[a * (a + 1) / 2 + b] += v;
        };
        for (int e = 0; e < m->nef; ++e) {
            const ZLEVETRM& ef = m->ef[e];
            const long ie = m->x[e].i;
            if (ie < 0 || ie >= ef.npar)
                continue;
            const long ce = ef.prep + ie;
            for (int f = 0; f <= e; ++f) {
                const long jf = m->x[f].i;
                if (jf < 0 || jf >= m->ef[f].npar)
                    continue;
                add(ce, m->ef[f].prep + jf, wgt * m->x[e].z * m->x[f].z);
            }
        }
        for (int k = 0; k < ny; ++k) {
            for (int e = 0; e < m->nef; ++e) {
                const long ie = m->x[e].i;
                if (ie < 0 || ie >= m->ef[e].npar)
                    continue;
                add(p + k, m->ef[e].prep + ie, wgt * y[k] * m->x[e].z);
            }
            for (int q = 0; q <= k; ++q)
                add(p + k, p + q, wgt * y[k] * y[q]);
        }
        return 1;
    }
    POOLHANDLE* pool = xlongpool();
    auto* row = static_cast<double*>(xmalloc_or_exit(pool, 8L * std::max(p + ny, 1), 0x3004));
    zlevrgx(r, r->z, r->g, row);
    for (int k = 0; k < ny; ++k)
        row[p + k] = y[k];
    const int rc = zscp(row, p + ny, wgt, xpx);
    vmfree_handler(pool, row, -1, 4);
    return rc;
}

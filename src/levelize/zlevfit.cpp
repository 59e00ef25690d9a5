// The least-squares kit of a levelized design: weighted sums of squares and
// crossproducts of the design columns and the responses, their Cholesky
// root, the sweep that gives coefficients and error sums of squares, the
// total sums of squares and tests of linear hypotheses L b = 0; and the
// cache (zlevfit) through which each result is computed once and kept.
//
// Matrices are packed lower triangles: element (i, j), j <= i, at
// i (i + 1) / 2 + j. The crossproduct matrix has the nx design columns first,
// then the ny responses. After the sweep of the design pivots, the swept
// block holds a generalized inverse G of X'WX, the element (response k,
// column j) the coefficient b_jk and the response block the error sums of
// squares.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "levelize/zlevint.h"
#include "numeric/matrix.h"
#include "numeric/sweep.h"
#include "numeric/vector.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "vyr_message_names.h"

namespace
{

constexpr double kSmall = 1.110223024625157e-9;

long packed(long i, long j)
{
    return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i;
}

long tri(long t)
{
    return t * (t + 1) / 2;
}

// Ends the step when the packed matrix of order t would pass the byte limit.
void size_check(long t)
{
    if (static_cast<double>(t + 1) * static_cast<double>(t) / 2.0 * 8.0 > 8827055269646172.0) {
        xpmlog(172, msg172::DESIGN_TOO_LARGE);
        xexit(1012, 0);
    }
}

// Sweeps pivot p of the packed symmetric matrix a of order n when its
// diagonal exceeds tol and flags[p] is '0'; flags[p] becomes '1'. Elements
// with both indexes swept hold the inverse of the swept block, those with one
// swept index s and one unswept u the regression coefficient of u on s
// (A_ss^-1 A_su), the others the residual crossproducts. Returns 0 when
// swept, 1 when the pivot was left alone.
int sweep(double* a, int p, int n, char* flags, double* work, double tol)
{
    return korv_num::sweep(a, p, n, flags, work, tol, korv_num::SweepJoin::Coefficient);
}

int nx_of(const ZLEVREGI* r)
{
    const ZLEVFITI& f = r->fit;
    if (f.perm == nullptr)
        return r->m->p;
    // Entries count columns from 0: the matrix has one more than the largest.
    int most = -1;
    for (int j = 0; j < r->m->p; ++j)
        most = std::max(most, f.perm[j]);
    return most + 1;
}

double* alloc_doubles(ZLEVREGI* r, long n)
{
    return static_cast<double*>(zlevAlloc(r->d->pool, 8L * std::max(n, 1L)));
}

ZLEVFITS* find(ZLEVFITI& f, int type)
{
    for (ZLEVFITS* s = f.stuff; s; s = s->next)
        if (s->type == type)
            return s;
    return nullptr;
}

ZLEVFITS* append(ZLEVREGI* r, int type, void* data)
{
    auto* s = static_cast<ZLEVFITS*>(zlevAlloc(r->d->pool, sizeof(ZLEVFITS)));
    s->type = type;
    s->data = data;
    ZLEVFITS** at = &r->fit.stuff;
    while (*at)
        at = &(*at)->next;
    *at = s;
    return s;
}

// Adds one observation whose effects each have a single column (its level's,
// through perm when given) to the crossproducts. An observation with a
// missing value adds nothing.
bool add_effect_columns(ZLEVREGI* r, double* xpx, int nx, double w)
{
    ZLEVMOD* m = r->m;
    ZLEVFITI& f = r->fit;
    const int ny = f.ny;
    std::vector<long> col;
    std::vector<double> val;
    col.reserve(static_cast<size_t>(m->nef));
    val.reserve(static_cast<size_t>(m->nef));
    for (int e = 0; e < m->nef; ++e) {
        const long i = m->x[e].i;
        if (i < 0 || i >= m->ef[e].npar)
            continue;
        long c = m->ef[e].prep + i;
        if (f.perm) {
            c = f.perm[c];
            if (c < 0)
                continue;
        }
        if (wzmis(m->x[e].z))
            return false;
        col.push_back(c);
        val.push_back(m->x[e].z);
    }
    for (int k = 0; k < ny; ++k)
        if (wzmis(f.y[k]))
            return false;
    for (size_t a = 0; a < col.size(); ++a)
        for (size_t b = 0; b <= a; ++b)
            xpx[packed(col[a], col[b])] += w * val[a] * val[b];
    for (int k = 0; k < ny; ++k) {
        for (size_t a = 0; a < col.size(); ++a)
            xpx[packed(nx + k, col[a])] += w * f.y[k] * val[a];
        for (int q = 0; q <= k; ++q)
            xpx[packed(nx + k, nx + q)] += w * f.y[k] * f.y[q];
    }
    return true;
}

} // namespace

double* GetXpX(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    ZLEVFITI& f = r->fit;
    const int nx = nx_of(r);
    f.nx = nx;
    const int ny = f.ny;
    const long t = static_cast<long>(nx) + ny;
    size_check(t);
    double* xpx = alloc_doubles(r, tri(t));
    const bool wholeRows = (m->opt[0] & ZLEV_OPT0_FULLRANK) || m->eft.n > 0;
    POOLHANDLE* pool = xlongpool();
    double* row = nullptr;
    double* mapped = nullptr;
    if (wholeRows) {
        row = static_cast<double*>(xmalloc_or_exit(pool, 8L * std::max(m->p + ny, 1), 0x3004));
        if (f.perm)
            mapped = static_cast<double*>(xmalloc_or_exit(pool, 8L * std::max<long>(t, 1), 0x3004));
    }
    r->n = 0;
    double w = 1;
    if (r->GetInit(r) == 0)
        while (r->GetNext(r)) {
            w = 1;
            if (!f.GetW(r, &w, f.winfo))
                continue;
            if (w <= f.dropwgtval)
                w = 0;
            if (!f.GetY(r, f.y, f.yinfo))
                continue;
            if (wholeRows) {
                // XpX1Nonsing: the whole design row and the responses.
                zlevrgx(r, r->z, r->g, row);
                for (int k = 0; k < ny; ++k)
                    row[m->p + k] = f.y[k];
                if (mapped) {
                    std::fill(mapped, mapped + t, 0.0);
                    for (int j = 0; j < m->p; ++j)
                        if (f.perm[j] >= 0)
                            mapped[f.perm[j]] += row[j];
                    for (int k = 0; k < ny; ++k)
                        mapped[nx + k] = f.y[k];
                    r->n += zscp(mapped, static_cast<int>(t), w, xpx);
                } else {
                    r->n += zscp(row, m->p + ny, w, xpx);
                }
            } else if (m->x && add_effect_columns(r, xpx, nx, w)) {
                // XpX1Perm / XpX1Noperm.
                r->n += 1;
            }
        }
    if (row)
        vmfree_handler(pool, row, -1, 4);
    if (mapped)
        vmfree_handler(pool, mapped, -1, 4);
    return xpx;
}

double* GetR(ZLEVREGI* r)
{
    auto* xpx = static_cast<double*>(zlevfit(r, ZLEV_FIT_XPX));
    if (xpx == nullptr)
        return nullptr;
    const long t = static_cast<long>(r->fit.nx) + r->fit.ny;
    size_check(t);
    double* root = alloc_doubles(r, tri(t));
    std::copy(xpx, xpx + tri(t), root);
    for (long i = 0; i < t; ++i)
        zchol(static_cast<int>(i), root, 10000000.0 * 1.110223024625157e-16 * xpx[packed(i, i)]);
    return root;
}

double* GetBeta(ZLEVREGI* r)
{
    auto* swept = static_cast<double*>(zlevfit(r, ZLEV_FIT_SWEPT));
    if (swept == nullptr)
        return nullptr;
    const int nx = r->fit.nx, ny = r->fit.ny;
    double* beta = alloc_doubles(r, static_cast<long>(nx) * ny);
    for (int k = 0; k < ny; ++k)
        for (int j = 0; j < nx; ++j)
            beta[static_cast<long>(k) * nx + j] = swept[packed(nx + k, j)];
    return beta;
}

namespace
{

double* response_block(ZLEVREGI* r, const double* a)
{
    const int nx = r->fit.nx, ny = r->fit.ny;
    double* out = alloc_doubles(r, tri(ny));
    for (int i = 0; i < ny; ++i)
        for (int j = 0; j <= i; ++j)
            out[packed(i, j)] = a[packed(nx + i, nx + j)];
    return out;
}

} // namespace

double* GetSSE(ZLEVREGI* r)
{
    auto* swept = static_cast<double*>(zlevfit(r, ZLEV_FIT_SWEPT));
    return swept ? response_block(r, swept) : nullptr;
}

double* GetSST(ZLEVREGI* r)
{
    auto* xpx = static_cast<double*>(zlevfit(r, ZLEV_FIT_XPX));
    return xpx ? response_block(r, xpx) : nullptr;
}

ZLEVTESTR* Test(ZLEVREGI* r, ZLEVL* l, int iy, const char* what)
{
    auto* swept = static_cast<double*>(zlevfit(r, ZLEV_FIT_SWEPT));
    if (swept == nullptr || l == nullptr || l->nl < 1)
        return nullptr;
    const int nx = r->fit.nx, ny = r->fit.ny;
    const int nl = l->nl;
    const int k = iy >= 0 ? 1 : ny;
    auto* res = static_cast<ZLEVTESTR*>(zlevAlloc(r->d->pool, sizeof(ZLEVTESTR)));
    // Q = L G L', G the swept block of the design columns.
    std::vector<double> G(static_cast<size_t>(tri(nx)));
    for (long i = 0; i < nx; ++i)
        for (long j = 0; j <= i; ++j)
            G[static_cast<size_t>(packed(i, j))] = swept[packed(i, j)];
    std::vector<double> Q(static_cast<size_t>(tri(nl))),
        work(static_cast<size_t>(std::max(nx, nl) + 1));
    zqform(G.data(), nx, l->data, nl, Q.data(), work.data(), 0);
    for (const char* p = what; p && *p; ++p)
        if (*p == 'v') {
            res->q = alloc_doubles(r, tri(nl));
            std::copy(Q.begin(), Q.end(), res->q);
        }
    std::vector<char> flags(static_cast<size_t>(nl), '0');
    for (int i = 0; i < nl; ++i) {
        const double qii = Q[static_cast<size_t>(packed(i, i))];
        sweep(Q.data(), i, nl, flags.data(), work.data(), std::min(kSmall * qii, 0.0001));
    }
    for (int i = 0; i < nl; ++i)
        if (flags[static_cast<size_t>(i)] != '1')
            for (int j = 0; j < nl; ++j)
                Q[static_cast<size_t>(packed(i, j))] = 0;
    // The estimates L b: nl rows of k responses.
    std::vector<double> est(static_cast<size_t>(nl) * k);
    for (int q = 0; q < k; ++q) {
        const int resp = iy >= 0 ? iy : q;
        const double* b = static_cast<double*>(zlevfit(r, ZLEV_FIT_BETA, resp));
        for (int i = 0; i < nl; ++i)
            est[static_cast<size_t>(i) * k + q] =
                b ? zinner(l->data + static_cast<long>(i) * nx, b, nx) : korv_missing();
    }
    for (const char* p = what; p && *p; ++p) {
        if (*p == 'd') {
            res->rank = static_cast<int>(std::count(flags.begin(), flags.end(), '1'));
        } else if (*p == 'e') {
            res->nest = nl * k;
            res->est = alloc_doubles(r, static_cast<long>(nl) * k);
            std::copy(est.begin(), est.end(), res->est);
        } else if (*p == 's') {
            // (L b)' Q^- (L b): the estimates of each response as a row.
            std::vector<double> rec(static_cast<size_t>(k) * nl);
            for (int q = 0; q < k; ++q)
                for (int i = 0; i < nl; ++i)
                    rec[static_cast<size_t>(q) * nl + i] = est[static_cast<size_t>(i) * k + q];
            res->ss = alloc_doubles(r, tri(k));
            zqform(Q.data(), nl, rec.data(), k, res->ss, work.data(), 0);
        }
    }
    return res;
}

int zlevswp(double* xpx, int k, int n, char* df, double* w, double sing, ZLEVH* ph)
{
    sweep(xpx, k, n, df, w, sing);
    const int p = ph && ph->m ? ph->m->p : 0;
    if (df[k] == '1') {
        if (ph && ph->data && k < p)
            ph->data[static_cast<long>(k) * p + k] = 1.0;
        return 1;
    }
    // Singular: the column's dependency on the columns swept before it.
    if (ph && ph->data && k < p)
        for (int i = 0; i < k; ++i) {
            const double v = xpx[packed(k, i)];
            if (std::fabs(v) > sing)
                ph->data[static_cast<long>(i) * p + k] = v;
        }
    for (int i = 0; i < n; ++i)
        xpx[packed(k, i)] = 0;
    return 0;
}

void invlo(double* a, int n, double* work, double singular)
{
    for (int i = 0; i < n; ++i) {
        double* row = a + tri(i);
        const double d = row[i];
        if (std::fabs(d) <= singular) {
            std::fill(row, row + i + 1, 0.0);
            continue;
        }
        zvscl11(work, row, i + 1, -1.0 / d);
        std::copy(work, work + i + 1, row);
    }
}

void FreeStuffData(ZLEVDAT* d, ZLEVFITS* s)
{
    if (s == nullptr || s->data == nullptr)
        return;
    if (s->type == ZLEV_FIT_ESTIM) {
        auto* h = static_cast<ZLEVH*>(s->data);
        if (h->data)
            vmfree_handler(d->pool, h->data, -1, 4);
        if (h->estimbl)
            vmfree_handler(d->pool, h->estimbl, -1, 4);
    }
    vmfree_handler(d->pool, s->data, -1, 4);
    s->data = nullptr;
}

namespace
{

// The swept crossproducts (ZLEV_FIT_SWEPT) or the estimability record
// (ZLEV_FIT_ESTIM): the design pivots of a copy of X'WX are swept in turn
// (in place under ZLEV_FIT_INPLACE), each against a tolerance relative to its
// own diagonal, and the record notes the pivots that were swept and, when
// made here, the dependencies of the others. Both are kept in the cache.
void* swept_and_estimable(ZLEVREGI* r, int type)
{
    ZLEVFITI& f = r->fit;
    if (ZLEVFITS* s = find(f, type))
        return s->data;
    auto* xpx = static_cast<double*>(zlevfit(r, ZLEV_FIT_XPX));
    if (xpx == nullptr)
        return nullptr;
    const long n = static_cast<long>(f.nx) + f.ny;
    std::vector<double> diag(static_cast<size_t>(std::max(f.nx, 1)));
    for (int i = 0; i < f.nx; ++i)
        diag[static_cast<size_t>(i)] = xpx[packed(i, i)];
    double* swept;
    if (f.options & ZLEV_FIT_INPLACE) {
        find(f, ZLEV_FIT_XPX)->type = ZLEV_FIT_SWEPT;
        swept = xpx;
    } else {
        swept = alloc_doubles(r, tri(n));
        std::copy(xpx, xpx + tri(n), swept);
        append(r, ZLEV_FIT_SWEPT, swept);
    }
    ZLEVH* made = nullptr;
    ZLEVFITS* hs = find(f, ZLEV_FIT_ESTIM);
    if (hs == nullptr) {
        made = static_cast<ZLEVH*>(zlevAlloc(r->d->pool, sizeof(ZLEVH)));
        made->m = r->m;
        made->zeta = 1e-8;
        made->data = alloc_doubles(r, n * n);
        made->estimbl = static_cast<int*>(zlevAlloc(r->d->pool, 4L * std::max(n, 1L)));
        hs = append(r, ZLEV_FIT_ESTIM, made);
    }
    auto* h = static_cast<ZLEVH*>(hs->data);
    std::vector<char> df(static_cast<size_t>(std::max(n, 1L)), '0');
    std::vector<double> work(static_cast<size_t>(std::max(n, 1L)));
    for (int i = 0; i < f.nx; ++i) {
        double tol = std::min(kSmall * diag[static_cast<size_t>(i)], 0.0001);
        if ((f.options & ZLEV_FIT_ABSTOL) && f.abstol > tol)
            tol = f.abstol;
        if (zlevswp(swept, i, static_cast<int>(n), df.data(), work.data(), tol, made))
            h->estimbl[i] = 1;
    }
    return type == ZLEV_FIT_SWEPT ? static_cast<void*>(swept) : static_cast<void*>(h);
}

// The error (ZLEV_FIT_SSE), total (ZLEV_FIT_SST) or model (ZLEV_FIT_SSM, total
// less error) sums of squares and crossproducts of the responses, kept in the
// cache; the value returned is the diagonal element of response k.
void* sums_of_squares(ZLEVREGI* r, int type, int k)
{
    ZLEVFITI& f = r->fit;
    ZLEVFITS* s = find(f, type);
    if (s == nullptr) {
        double* v = nullptr;
        if (type == ZLEV_FIT_SSE)
            v = f.GetSSE ? f.GetSSE(r) : GetSSE(r);
        else if (type == ZLEV_FIT_SST)
            v = f.GetSST ? f.GetSST(r) : GetSST(r);
        else {
            auto* e = static_cast<double*>(zlevfit(r, ZLEV_FIT_SSE, 0));
            auto* tt = static_cast<double*>(zlevfit(r, ZLEV_FIT_SST, 0));
            if (e && tt) {
                v = alloc_doubles(r, tri(f.ny));
                for (long i = 0; i < tri(f.ny); ++i)
                    v[i] = tt[i] - e[i];
            }
        }
        if (v == nullptr)
            return nullptr;
        s = append(r, type, v);
    }
    const int kk = std::min(k, std::max(f.ny - 1, 0));
    return static_cast<double*>(s->data) + packed(kk, kk);
}

} // namespace

void* zlevfit(ZLEVREGI* r, int type, ...)
{
    ZLEVFITI& f = r->fit;
    va_list ap;
    va_start(ap, type);
    int k = 0;
    ZLEVL* lrec = nullptr;
    const char* what = nullptr;
    int storeType = 0;
    void* storeData = nullptr;
    if (type == ZLEV_FIT_BETA || type == ZLEV_FIT_SSE || type == ZLEV_FIT_SST ||
        type == ZLEV_FIT_SSM) {
        k = std::max(va_arg(ap, int), 0);
    } else if (type == ZLEV_FIT_TEST) {
        lrec = va_arg(ap, ZLEVL*);
        k = va_arg(ap, int);
        what = va_arg(ap, const char*);
    } else if (type == ZLEV_FIT_STORE) {
        storeType = va_arg(ap, int);
        storeData = va_arg(ap, void*);
    }
    va_end(ap);
    const long t = static_cast<long>(f.nx) + f.ny;
    switch (type) {
    case ZLEV_FIT_XPX: {
        if (ZLEVFITS* s = find(f, type))
            return s->data;
        double* xpx = f.GetXpX ? f.GetXpX(r) : GetXpX(r);
        return xpx ? append(r, type, xpx)->data : nullptr;
    }
    case ZLEV_FIT_SWEPT:
    case ZLEV_FIT_ESTIM:
        return swept_and_estimable(r, type);
    case ZLEV_FIT_BETA: {
        ZLEVFITS* s = find(f, type);
        if (s == nullptr) {
            double* b = f.GetBeta ? f.GetBeta(r) : GetBeta(r);
            if (b == nullptr)
                return nullptr;
            s = append(r, type, b);
        }
        return static_cast<double*>(s->data) + static_cast<long>(std::min(k, f.ny - 1)) * f.nx;
    }
    case ZLEV_FIT_RELEASE:
        for (ZLEVFITS* s = f.stuff; s;) {
            ZLEVFITS* next = s->next;
            FreeStuffData(r->d, s);
            vmfree_handler(r->d->pool, s, -1, 4);
            s = next;
        }
        f.stuff = nullptr;
        return nullptr;
    case ZLEV_FIT_ROOT: {
        if (ZLEVFITS* s = find(f, type))
            return s->data;
        double* root = f.GetR ? f.GetR(r) : GetR(r);
        return root ? append(r, type, root)->data : nullptr;
    }
    case ZLEV_FIT_ROOTINV: {
        if (ZLEVFITS* s = find(f, type))
            return s->data;
        auto* root = static_cast<double*>(zlevfit(r, ZLEV_FIT_ROOT));
        if (root == nullptr)
            return nullptr;
        const long n = static_cast<long>(f.nx) + f.ny;
        double* copy = alloc_doubles(r, tri(n));
        std::copy(root, root + tri(n), copy);
        std::vector<double> work(static_cast<size_t>(std::max(n, 1L)));
        invlo(copy, f.nx, work.data(), kSmall);
        return append(r, type, copy)->data;
    }
    case ZLEV_FIT_SSE:
    case ZLEV_FIT_SST:
    case ZLEV_FIT_SSM:
        return sums_of_squares(r, type, k);
    case ZLEV_FIT_TEST:
        return f.Test ? f.Test(r, lrec, k, what) : Test(r, lrec, k, what);
    case ZLEV_FIT_STORE: {
        ZLEVFITS* s = find(f, storeType);
        if (s == nullptr)
            s = append(r, storeType, nullptr);
        else if (s->data && s->data != storeData)
            FreeStuffData(r->d, s);
        s->data = storeData;
        return storeData;
    }
    default:
        (void)t;
        return nullptr;
    }
}

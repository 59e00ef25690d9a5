// Spline effect variables: their knots, fixed once per reader, and the basis
// values one observation's value becomes. B-spline bases take d lower
// boundary knots, the K interior knots and max(d, 1) upper boundary knots;
// the recurrence never reads the outermost knot at either end, so it is not
// kept, and a variable has K + d + 1 basis values. Truncated power bases
// (optionally in natural cubic form) take the interior knots alone.
// Percentile knots are read from a sorted utility file of each variable's
// values (with their frequencies), prepared by zlevSortForPercentiles.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "levelize/zlevint.h"
#include "numeric/quad.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/zpower.h"
#include "runtime/zsort.h"
#include "vyr_files.h"
#include "vyr_message_names.h"

namespace
{

constexpr double kEps = 1.110223024625157e-13;

int name_len(const ZLEVVAR& v)
{
    return v.n ? static_cast<int>(v.n->namelen) : 0;
}

const char* name_of(const ZLEVVAR& v)
{
    return v.n ? v.n->name_p : "";
}

// Ends the step after a failed utility file or sort (code rc of the host).
[[noreturn]] void file_failure(ZLEVSORT* sort, int rc)
{
    sort->rc = rc < 0 ? rc : -1;
    zlevSortForPercentilesTerm(sort);
    xexit(1020, 0); // not reached: the termination ends the step
}

// The order statistics X(1) <= ... <= X(N) of one sorted file, each record
// standing for its frequency's worth of observations (1 without
// frequencies). Read forward; a position behind the cursor rereads the
// file from its start, so any order of requests gives the same values.
struct OrderStats {
    XCFILE* file;
    bool freqs;
    double before = 0; // observations before the current record
    double after = 0;  // ... up to and including it
    double value = 0;
    bool started = false;

    void rewind()
    {
        if (xcpoint(file, 0) < 0)
            return;
        before = after = 0;
        started = false;
    }

    bool next()
    {
        double rec[2] = {0, 1};
        if (xcread(file, rec, freqs ? 16 : 8) < 0)
            return false;
        before = after;
        after += freqs ? rec[1] : 1.0;
        value = rec[0];
        started = true;
        return true;
    }

    // X(i), i from 1.
    double at(double i)
    {
        if (started && i <= before)
            rewind();
        while (!started || after < i)
            if (!next())
                break;
        return value;
    }
};

// Knot j of K by percentile (quantile type 2 over the N observations).
double percentile_knot(const ZLEVSPLINECONTROL* sp, OrderStats& os, double N, int j, int K)
{
    const double p =
        sp->knotPctlType == 2 ? static_cast<double>(j) / (K + 1) : sp->knotPctlList[j - 1] / 100.0;
    const double pos = p * N;
    const double t = std::floor(pos + kEps);
    const bool exact = std::fabs(pos - t) <= kEps;
    if (t < 1)
        return os.at(1);
    if (t >= N)
        return os.at(N);
    if (!exact)
        return os.at(t + 1);
    const double lo = os.at(t);
    const double hi = os.at(t + 1);
    return (lo + hi) / 2;
}

// The K interior knots of continuous variable c by the knot method.
bool interior_knots(const ZLEVSPLINECONTROL* sp, const ZLEVMOD* m, ZLEVSORT* sort, int c, int K,
                    double* out)
{
    const ZLEVVAR& v = m->cont.v[c];
    const double lo = v.val.z.l - v.val.z.s, hi = v.val.z.l + v.val.z.s;
    switch (sp->knotMethod) {
    case ZLEV_KNOT_LIST:
        std::copy(sp->knotValList, sp->knotValList + K, out);
        return true;
    case ZLEV_KNOT_RANGE:
        for (int j = 0; j < K; ++j)
            out[j] = lo + sp->knotValList[j] * (hi - lo);
        return true;
    case ZLEV_KNOT_PCTL: {
        const int slot = sort->xcVar ? sort->xcVar[c] : -1;
        if (slot < 0)
            return false;
        OrderStats os{sort->xcOut[slot], sort->sumFreqs > 0};
        os.rewind();
        const double N = sort->sumFreqs > 0 ? sort->sumFreqs : sort->nRecs;
        for (int j = 1; j <= K; ++j)
            out[j - 1] = percentile_knot(sp, os, N, j, K);
        return true;
    }
    default: {
        const double h = (hi - lo) / (K + 1);
        double at = lo;
        for (int j = 0; j < K; ++j)
            out[j] = (at += h);
        return true;
    }
    }
}

// Code 3: listed knots must lie within the data range.
bool list_inside(const ZLEVSPLINECONTROL* sp, const ZLEVVAR& v, int K)
{
    if (sp->knotMethod != ZLEV_KNOT_LIST || K == 0)
        return true;
    const double lo = v.val.z.l - v.val.z.s, hi = v.val.z.l + v.val.z.s;
    return !(sp->knotValList[0] < lo || sp->knotValList[K - 1] > hi);
}

void boundary_offsets(int d, double lo, double hi, double* lowerB, double* upperB)
{
    double e0 = kEps;
    if (d != 0)
        while (std::log(e0) < std::log(2.225073858507202e-308) / (2.0 * d))
            e0 *= 100;
    double e = e0;
    while (!(lo - e < lo))
        e *= 10;
    *lowerB = lo - e;
    e = e0;
    while (!(hi + e > hi))
        e *= 10;
    *upperB = hi + e;
}

} // namespace

int zlevSortForPercentiles(ZLEVREGI* r, ZLEVSORT* sort)
{
    ZLEVMOD* m = r->m;
    *sort = ZLEVSORT{};
    POOLHANDLE* pool = xlongpool();
    const int ncont = m->cont.n;
    std::vector<char> marked(static_cast<size_t>(std::max(ncont, 1)), 0);
    for (int k = 0; k < m->eft.n; ++k) {
        const ZLEVEFTVAR& ev = m->eft.var[k];
        const ZLEVSPLINECONTROL* sp = ev.splineControlPtr;
        if (ev.type != ZLEV_EFT_SPLINE || ev.splitDerivativeFlag || sp == nullptr ||
            sp->knotMethod != ZLEV_KNOT_PCTL)
            continue;
        const int n = ev.ncontPreSeparate > 0 ? ev.ncontPreSeparate : ev.ncont;
        for (int q = 0; q < n; ++q)
            marked[static_cast<size_t>(ev.cont[q])] = 1;
    }
    for (int c = 0; c < ncont; ++c)
        sort->nSort += marked[static_cast<size_t>(c)];
    if (sort->nSort == 0)
        return 0;
    sort->xcVar = static_cast<int*>(xmalloc_or_exit(pool, 4L * ncont, 0x3004));
    sort->var = static_cast<int*>(xmalloc_or_exit(pool, 4L * sort->nSort, 0x3004));
    sort->xcIn = static_cast<XCFILE**>(
        xmalloc_or_exit(pool, static_cast<long>(sizeof(XCFILE*)) * sort->nSort, 0x3006));
    sort->xcOut = static_cast<XCFILE**>(
        xmalloc_or_exit(pool, static_cast<long>(sizeof(XCFILE*)) * sort->nSort, 0x3006));
    for (int c = 0, s = 0; c < ncont; ++c) {
        sort->xcVar[c] = marked[static_cast<size_t>(c)] ? s : -1;
        if (marked[static_cast<size_t>(c)])
            sort->var[s++] = c;
    }
    const bool freqs = r->f != nullptr;
    const long lrecl = freqs ? 16 : 8;
    for (int s = 0; s < sort->nSort; ++s) {
        XCREQUEST req;
        req.recordLength = static_cast<int>(lrecl);
        int rc = xcopen(&sort->xcIn[s], &req);
        if (rc < 0)
            file_failure(sort, rc);
        rc = xcopen(&sort->xcOut[s], &req);
        if (rc < 0)
            file_failure(sort, rc);
    }
    double wv = 0, fv = 0;
    double* w = r->nwgt > 0 ? &wv : nullptr;
    double* f = freqs ? &fv : nullptr;
    double* y =
        r->y.n > 0 ? static_cast<double*>(xmalloc_or_exit(pool, 8L * r->y.n, 0x3004)) : nullptr;
    if (r->GetInit(r) == 0)
        while (r->GetNext(r)) {
            if (zlevrgd(r, y, w, f) != 0)
                continue;
            if (w && (wzmis(wv) || !(wv > 0)))
                continue;
            double freq = 1;
            if (f) {
                if (wzmis(fv) || !(std::floor(fv) > 0))
                    continue;
                freq = std::floor(fv);
                sort->sumFreqs += freq;
            }
            sort->nRecs += 1;
            for (int s = 0; s < sort->nSort; ++s) {
                const double rec[2] = {zlevRawValue(r, sort->var[s]), freq};
                const int rc = xcwrite(sort->xcIn[s], rec, lrecl);
                if (rc < 0)
                    file_failure(sort, rc);
            }
        }
    if (y)
        vmfree_handler(pool, y, -1, 4);
    if (sort->nRecs == 0)
        return 1;
    const long nbuf = std::min<long>(static_cast<long>(sort->nRecs), 10000);
    char* buffer = static_cast<char*>(xmalloc_or_exit(pool, nbuf * lrecl, 0x3004));
    for (int s = 0; s < sort->nSort; ++s) {
        if (xcpoint(sort->xcIn[s], 0) < 0 || xcpoint(sort->xcOut[s], -2) < 0)
            file_failure(sort, -1);
        BFRSTR bfr;
        bfr.fd = sort->xcIn[s];
        bfr.lrecl = lrecl;
        bfr.needs = static_cast<long>(sort->nRecs);
        bfr.bufp = buffer;
        SORVDSTR key{0, 8, SORT_KEY_DOUBLE, 1};
        ZSORTSTR z;
        z.initf = zsorxci;
        z.termf = zsorxct;
        z.info.fiddata = &bfr;
        z.info.fidout = sort->xcOut[s];
        z.info.seqin = zxcget;
        z.info.seqout = zxcput;
        z.info.hsirtn = zxcrtn;
        z.info.nvar = 1;
        z.info.v = &key;
        z.info.lrecl = lrecl;
        const int rc = zsort(&z);
        if (rc != 0)
            file_failure(sort, rc < 0 ? rc : -1);
        if (xcpoint(sort->xcOut[s], 0) < 0)
            file_failure(sort, -1);
    }
    vmfree_handler(pool, buffer, -1, 4);
    return 0;
}

void zlevSortForPercentilesTerm(ZLEVSORT* sort)
{
    POOLHANDLE* pool = xlongpool();
    for (int s = 0; s < sort->nSort; ++s) {
        if (sort->xcIn && sort->xcIn[s])
            xcclose(sort->xcIn[s]);
        if (sort->xcOut && sort->xcOut[s])
            xcclose(sort->xcOut[s]);
    }
    for (void* p : {static_cast<void*>(sort->xcIn), static_cast<void*>(sort->xcOut),
                    static_cast<void*>(sort->var), static_cast<void*>(sort->xcVar)})
        if (p)
            vmfree_handler(pool, p, -1, 4);
    sort->xcIn = sort->xcOut = nullptr;
    sort->var = sort->xcVar = nullptr;
    sort->nSort = 0;
    if (sort->rc < 0) {
        xprrlog(0, sort->rc);
        xexit(1020, 0);
    }
}

int zlevBSplineKnots(ZLEVEFTVAR* v, ZLEVMOD* m, POOLHANDLE* pool, ZLEVSORT* sort)
{
    ZLEVSPLINECONTROL* sp = v->splineControlPtr;
    const int d = std::max(sp->degree, 0);
    const int D = std::max(d, 1);
    int K = sp->nSpecifiedKnots;
    if (sp->multiLevel && (sp->knotMethod == ZLEV_KNOT_EQUAL || sp->knotMethod == ZLEV_KNOT_MULTI))
        K = 1 << std::max(sp->multiLevel[0], 0);
    K = std::max(K, 0);
    const int ncont = v->ncont;
    sp->nKnotsForVar = static_cast<int*>(zlevAlloc(pool, 4L * std::max(ncont, 1)));
    sp->knotsForVar = static_cast<double**>(
        zlevAlloc(pool, static_cast<long>(sizeof(double*)) * std::max(ncont, 1)));
    sp->nKnotsTotal = 0;
    int T = 0;
    for (int k = 0; k < ncont; ++k) {
        const int c = v->cont[k];
        const ZLEVVAR& var = m->cont.v[c];
        const double lo = var.val.z.l - var.val.z.s, hi = var.val.z.l + var.val.z.s;
        if (!list_inside(sp, var, K)) {
            xpmlog(174, msg174::KNOTS_OUTSIDE_DATA, name_len(var), name_of(var));
            m->status = std::max(m->status, 112);
            return 1;
        }
        if (sp->knotMethod == ZLEV_KNOT_FULL) {
            if (K < d + 1 || K - D - 1 < 0 || sp->knotValList[d] < lo ||
                sp->knotValList[K - D - 1] > hi) {
                xpmlog(174, msg174::KNOTS_SHORT_OF_RANGE, name_len(var), name_of(var));
                m->status = std::max(m->status, 112);
                return 1;
            }
            T = K;
            double* knots = static_cast<double*>(zlevAlloc(pool, 8L * T));
            std::copy(sp->knotValList, sp->knotValList + K, knots);
            sp->knotsForVar[k] = knots;
            sp->nKnotsForVar[k] = T;
            sp->nKnotsTotal += T;
            continue;
        }
        T = d + K + D;
        double* knots = static_cast<double*>(zlevAlloc(pool, 8L * T));
        double lowerB, upperB;
        boundary_offsets(d, lo, hi, &lowerB, &upperB);
        const double h = (hi - lo) / (K + 1);
        const bool spaced =
            (sp->knotMethod == ZLEV_KNOT_EQUAL || sp->knotMethod == ZLEV_KNOT_MULTI) &&
            !sp->dataBoundaryFlag;
        const bool givenMin = !wzmis(sp->knotMin) && sp->knotMin < lowerB;
        const bool givenMax = !wzmis(sp->knotMax) && sp->knotMax > upperB;
        // Lower boundary knots.
        if (d > 0) {
            if (givenMin) {
                knots[0] = sp->knotMin;
                for (int j = 1; j < d; ++j)
                    knots[j] = sp->knotMin + j * (lowerB - sp->knotMin) / (d - 1);
            } else if (spaced) {
                knots[0] = lo - (d - 1) * h;
                for (int j = 1; j < d; ++j)
                    knots[j] = knots[j - 1] + h;
                knots[d - 1] = lowerB;
            } else {
                std::fill(knots, knots + d, lowerB);
            }
        }
        if (!interior_knots(sp, m, sort, c, K, knots + d))
            return 1;
        // Upper boundary knots.
        if (givenMax) {
            if (d < 2) {
                knots[d + K] = sp->knotMax;
            } else {
                for (int j = 0; j < D; ++j)
                    knots[d + K + j] = upperB + j * (sp->knotMax - upperB) / (d - 1);
            }
        } else if (spaced) {
            double at = K > 0 ? knots[d + K - 1] : lo;
            for (int j = 0; j < D; ++j)
                knots[d + K + j] = (at += h);
            knots[d + K] = upperB;
        } else {
            std::fill(knots + d + K, knots + T, upperB);
        }
        sp->knotsForVar[k] = knots;
        sp->nKnotsForVar[k] = T;
        sp->nKnotsTotal += T;
    }
    sp->nVals = d == 0 ? T : T - d + 1;
    sp->basisVals = static_cast<double*>(zlevAlloc(pool, 8L * (d + 1)));
    sp->work = static_cast<double*>(zlevAlloc(pool, 8L * std::max(2 * d, 1)));
    v->nparms = sp->nVals * ncont;
    return 0;
}

int zlevTPFSplineKnots(ZLEVEFTVAR* v, ZLEVMOD* m, POOLHANDLE* pool, ZLEVSORT* sort)
{
    ZLEVSPLINECONTROL* sp = v->splineControlPtr;
    const int d = std::max(sp->degree, 0);
    const int K = std::max(sp->nSpecifiedKnots, 0);
    const int ncont = v->ncont;
    sp->nKnotsForVar = static_cast<int*>(zlevAlloc(pool, 4L * std::max(ncont, 1)));
    sp->knotsForVar = static_cast<double**>(
        zlevAlloc(pool, static_cast<long>(sizeof(double*)) * std::max(ncont, 1)));
    sp->nKnotsTotal = 0;
    for (int k = 0; k < ncont; ++k) {
        const int c = v->cont[k];
        const ZLEVVAR& var = m->cont.v[c];
        if (!list_inside(sp, var, K)) {
            xpmlog(174, msg174::KNOTS_OUTSIDE_DATA, name_len(var), name_of(var));
            m->status = std::max(m->status, 112);
            return 1;
        }
        double* knots = static_cast<double*>(zlevAlloc(pool, 8L * std::max(K, 1)));
        if (sp->knotMethod == ZLEV_KNOT_FULL)
            std::copy(sp->knotValList, sp->knotValList + K, knots);
        else if (!interior_knots(sp, m, sort, c, K, knots))
            return 1;
        sp->knotsForVar[k] = knots;
        sp->nKnotsForVar[k] = K;
        sp->nKnotsTotal += K;
    }
    const int incl = sp->tpfIncludeFlag;
    if (!sp->naturalFlag) {
        sp->nVals = K + (incl >= 1 ? d : 0) + (incl == 2 ? 1 : 0);
    } else {
        sp->nVals = (K >= 3 ? K - 2 : 0) + (incl >= 1 ? 1 : 0) + (incl == 2 ? 1 : 0);
        if (K > 2)
            for (int k = 0; k < ncont; ++k)
                for (int j = 1; j < K; ++j)
                    if (sp->knotsForVar[k][j] == sp->knotsForVar[k][j - 1]) {
                        xpmlog(174, msg174::KNOTS_NOT_DISTINCT);
                        return 1;
                    }
    }
    sp->basisVals = static_cast<double*>(zlevAlloc(pool, 8L * std::max(sp->nVals, 1)));
    v->nparms = sp->nVals * ncont;
    return 0;
}

void GetBSplineVals(ZLEVSPLINECONTROL* spl, int k, double xVal, double* x)
{
    const int d = std::max(spl->degree, 0);
    const int T = spl->nKnotsForVar[k];
    int ki = d;
    double* work = spl->work;
    zmaopb(xVal, d, T, &ki, spl->knotsForVar[k], spl->basisVals, work, work + d);
    for (int r = 0; r <= d; ++r) {
        const int col = ki - d + r;
        if (col >= 0 && col < spl->nVals)
            x[col] = spl->basisVals[r];
    }
}

void GetTPFSplineVals(ZLEVSPLINECONTROL* spl, int k, double xVal, double* x)
{
    const int d = std::max(spl->degree, 0);
    int i = 0;
    if (spl->tpfIncludeFlag >= 2)
        x[i++] = 1.0;
    if (spl->tpfIncludeFlag >= 1)
        for (int p = 1; p <= d; ++p)
            x[i++] = std::pow(xVal, p);
    const double* t = spl->knotsForVar[k];
    double prev = 1.7976931348623157e308;
    int prevPow = d;
    for (int j = 0; j < spl->nKnotsForVar[k]; ++j) {
        const int p = t[j] == prev ? std::max(prevPow - 1, 0) : d;
        int rc = 0;
        x[i++] = xVal > t[j] ? zpower(xVal - t[j], p, &rc) : 0.0;
        prev = t[j];
        prevPow = p;
    }
}

void GetTPFSplineNaturalCubicVals(ZLEVSPLINECONTROL* spl, int k, double xVal, double* x)
{
    int i = 0;
    if (spl->tpfIncludeFlag >= 2)
        x[i++] = 1.0;
    if (spl->tpfIncludeFlag >= 1)
        x[i++] = xVal;
    const int K = spl->nKnotsForVar[k];
    if (K < 3)
        return;
    const double* t = spl->knotsForVar[k];
    std::vector<double> c(static_cast<size_t>(K));
    double prev = 1.7976931348623157e308;
    int prevPow = 3;
    for (int j = 0; j < K; ++j) {
        const int p = t[j] == prev ? std::max(prevPow - 1, 0) : 3;
        int rc = 0;
        c[static_cast<size_t>(j)] = xVal > t[j] ? zpower(xVal - t[j], p, &rc) : 0.0;
        prev = t[j];
        prevPow = p;
    }
    const double tK = t[K - 1], tK1 = t[K - 2];
    const double cK = c[static_cast<size_t>(K - 1)], cK1 = c[static_cast<size_t>(K - 2)];
    const double D = (cK1 - cK) / (tK - tK1);
    for (int j = 0; j < K - 2; ++j)
        x[i++] = (c[static_cast<size_t>(j)] - cK) / (tK - t[j]) - D;
}

void zlevSplineCols(ZLEVREGI* r, ZLEVEFTVAR* var)
{
    ZLEVMOD* m = r->m;
    if (var->splitDerivativeFlag) {
        // The columns are the parent's: computed once for all of them.
        if (var->splitSource >= 0 && var->splitSource < m->eft.n) {
            ZLEVEFTVAR& parent = m->eft.var[var->splitSource];
            if (!parent.derivedComputed)
                zlevSplineCols(r, &parent);
        }
        return;
    }
    ZLEVSPLINECONTROL* sp = var->splineControlPtr;
    if (sp == nullptr || var->x == nullptr)
        return;
    const int total = std::max(sp->nVals * var->ncont, 0);
    std::fill(var->x, var->x + total, 0.0);
    for (int k = 0; k < var->ncont; ++k) {
        const double xv = zlevRawValue(r, var->cont[k]);
        if (wzmis(xv))
            continue;
        double* out = var->x + static_cast<long>(k) * sp->nVals;
        if (sp->basisType == 1)
            GetBSplineVals(sp, k, xv, out);
        else if (sp->naturalFlag)
            GetTPFSplineNaturalCubicVals(sp, k, xv, out);
        else
            GetTPFSplineVals(sp, k, xv, out);
    }
    var->derivedComputed = 1;
}

// A small library over the comparison engine's control block for procedures
// that compare least-squares means of a linear model: t statistics of one
// mean, of a difference of two and of a mean against the average of all,
// with an estimability test; the position of a pair among the differences;
// the control lookup of CONTROL= values; and the "lines" display that joins
// means whose differences are not significant. Nothing in this procedure
// calls them; they complete the engine's library.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "mcomp/zmclsm.h"
#include "numeric/matrix.h"
#include "runtime/missing.h"
#include "runtime/wzstr.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_parse.h"

namespace
{

constexpr double kZeroDiff = 1.110223e-13;
constexpr int kCols = 60;
// The order in which character columns (1-based) are given to new lines.
constexpr int kFirstColumns[] = {16, 8,  20, 12, 4,  22, 18, 14, 10, 6, 2, 23,
                                 21, 19, 17, 15, 13, 11, 9,  7,  5,  3, 1};
constexpr char kMarks[] = "ZABCDEFGHIJKLMNOPQRSTUVWXY0123456789abcdefghijklmnopqrstuvwxyz";

bool miss(double x)
{
    return wzmis(x) || std::isnan(x);
}

double packed(const double* v, int i, int j)
{
    const int r = std::max(i, j), c = std::min(i, j);
    return v[static_cast<long>(r) * (r + 1) / 2 + c];
}

// (H k)_r by the form of H.
double hermiteRow(const ZMCCKE* cke, const double* k, long r)
{
    const long np = cke->np;
    double s = 0;
    if (cke->HermiteType == QXMC_HERMITEZLEV) {
        // Dense, stored by columns: row r is read with stride np.
        const double* H = static_cast<const double*>(cke->Hermite);
        for (long c = 0; c < np; ++c)
            s += H[c * np + r] * k[c];
    } else {
        // Column pointers (null for a zero column), lower triangle used.
        double* const* H = static_cast<double* const*>(cke->Hermite);
        for (long c = 0; c <= r; ++c)
            if (H[c])
                s += k[c] * H[c][r];
    }
    return s;
}

// 1 when the combination in km is not estimable.
int notEstimable(ZMCCKE* cke)
{
    if (!cke->km || !cke->Hermite)
        return 1;
    if (cke->HermiteType != QXMC_HERMITEZLEV && cke->HermiteType != QXMC_HERMITEXPN)
        return 0;
    if (cke->epsi == 0)
        cke->epsi = 1e-4;
    double scale = 0;
    for (long r = 0; r < cke->np; ++r)
        scale = std::max(scale, std::fabs(cke->km[r]));
    if (scale == 0)
        scale = 1;
    for (long r = 0; r < cke->np; ++r)
        if (std::fabs(cke->km[r] - hermiteRow(cke, cke->km, r)) > cke->epsi * scale)
            return 1;
    return 0;
}

// The estimate k'beta (compressed to the kept parameters when bcompress is
// set).
double estimate(const ZMCCKE* cke, const double* k)
{
    double s = 0;
    long next = 0;
    for (long c = 0; c < cke->np; ++c) {
        if (cke->bcompress) {
            if (cke->bcompress[c])
                s += k[c] * cke->beta[next++];
        } else {
            s += k[c] * cke->beta[c];
        }
    }
    return s;
}

// k' C k from the parameter covariance of the given form.
double quadratic(const ZMCCKE* cke, const double* k)
{
    if (cke->HermiteType == QXMC_HERMITEZLEV) {
        double v = 0;
        std::vector<double> work(static_cast<size_t>(std::max<long>(cke->np, 1)));
        zqform(cke->cov, static_cast<int>(cke->np), k, 1, &v, work.data(), 0);
        return v;
    }
    // Packed upper triangle by rows over the kept parameters.
    std::vector<double> kc;
    if (cke->bcompress) {
        for (long c = 0; c < cke->np; ++c)
            if (cke->bcompress[c])
                kc.push_back(k[c]);
    } else {
        kc.assign(k, k + cke->np);
    }
    const long n = static_cast<long>(kc.size());
    double v = 0;
    long at = 0;
    for (long r = 0; r < n; ++r) {
        const double* row = cke->cov + at; // C[r, r..n-1]
        double inner = 0;
        for (long c = r + 1; c < n; ++c)
            inner += kc[static_cast<size_t>(c)] * row[c - r];
        v += kc[static_cast<size_t>(r)] * kc[static_cast<size_t>(r)] * row[0] +
             2.0 * kc[static_cast<size_t>(r)] * inner;
        at += n - r;
    }
    return v;
}

// The end shared by the three statistics: notes the difference (missing
// where it is not estimable, zero when within rounding of zero) and its
// standard error, marks it estimable when asked, and returns the t statistic
// signed for the side tested, missing when it cannot be formed.
double finishT(ZMCLSMI* lmc, double est, double var, bool ruleA, bool setEstimable)
{
    ZMCPDIFF* pd = lmc->curpd;
    const bool byFlag = lmc->nonest || lmc->cke;
    if (pd) {
        double dif = est;
        if (ruleA && !byFlag && lmc->method != QXMCLSM_T && miss(est))
            dif = korv_missing();
        if (byFlag && pd->estimable == 0)
            dif = korv_missing();
        if (!miss(dif) && std::fabs(dif) < kZeroDiff)
            dif = 0;
        pd->dif = dif;
        pd->std = (var > 0 && !miss(var) && !miss(lmc->rmse)) ? std::sqrt(var) * lmc->rmse
                                                              : korv_missing();
        if (setEstimable)
            pd->estimable = (!miss(pd->dif) && !miss(pd->std)) ? 1 : 0;
    }
    if (!(var > 0) || miss(var) || miss(lmc->rmse) || !(lmc->rmse > 0) || miss(est))
        return korv_missing();
    double t = est / (std::sqrt(var) * lmc->rmse);
    if (lmc->side == 'U')
        t = -t;
    else if (lmc->side == 'B')
        t = std::fabs(t);
    return t;
}

// The statistic of the combination k (in cke->km) with the given plain
// estimate and variance used when the parameter data are absent.
double withCke(ZMCLSMI* lmc, double plainEst, double plainVar, bool ruleA, bool together = false)
{
    ZMCCKE* cke = lmc->cke;
    ZMCPDIFF* pd = lmc->curpd;
    if (cke->Hermite) {
        const int bad = notEstimable(cke);
        if (pd)
            pd->estimable = bad ? 0 : 1;
        if (bad) {
            finishT(lmc, korv_missing(), plainVar, ruleA, false);
            return korv_missing();
        }
    }
    // With `together`, the parameter data serve only when both the estimates
    // and their covariance are there.
    const bool both = cke->beta && cke->cov;
    const bool useBeta = together ? both : cke->beta != nullptr;
    const bool useCov = together ? both : cke->cov != nullptr;
    const double est = useBeta ? estimate(cke, cke->km) : plainEst;
    const double var = useCov ? quadratic(cke, cke->km) : plainVar;
    return finishT(lmc, est, var, ruleA, false);
}

} // namespace

double zlsmtd(ZMCLSMI* lmc, int i, int j)
{
    if (ZMCPDIFF* pd = lmc->curpd)
        pd->t = pd->dif = pd->std = korv_missing();
    const double* m = lmc->mean;
    const double est = (!m || miss(m[i]) || miss(m[j])) ? korv_missing() : m[i] - m[j];
    const double var =
        lmc->var ? packed(lmc->var, i, i) + packed(lmc->var, j, j) - 2.0 * packed(lmc->var, i, j)
                 : korv_missing();
    if (!lmc->cke)
        return finishT(lmc, est, var, true, !lmc->nonest);
    ZMCCKE* cke = lmc->cke;
    for (long c = 0; c < cke->np; ++c)
        cke->km[c] = cke->L[i * cke->np + c] - cke->L[j * cke->np + c];
    return withCke(lmc, est, var, true);
}

double zlsmt(ZMCLSMI* lmc, int i)
{
    if (ZMCPDIFF* pd = lmc->curpd)
        pd->t = pd->dif = pd->std = korv_missing();
    const double* m = lmc->mean;
    const double est = (!m || miss(m[i])) ? korv_missing() : m[i];
    const double var = lmc->var ? packed(lmc->var, i, i) : korv_missing();
    if (!lmc->cke)
        return finishT(lmc, est, var, false, true);
    ZMCCKE* cke = lmc->cke;
    for (long c = 0; c < cke->np; ++c)
        cke->km[c] = cke->L[i * cke->np + c];
    return withCke(lmc, est, var, false);
}

double zlsmtda(ZMCLSMI* lmc, int i)
{
    if (ZMCPDIFF* pd = lmc->curpd)
        pd->t = pd->dif = pd->std = korv_missing();
    const int nl = lmc->nl;
    // Weights of the average.
    std::vector<double> own;
    const double* w = lmc->w;
    if (!w) {
        own.assign(static_cast<size_t>(nl), 1.0);
        if (lmc->overall == QXMCLSM_ANOM_WEIGHTED)
            for (int k = 0; k < nl; ++k) {
                const double v = lmc->var ? packed(lmc->var, k, k) : korv_missing();
                own[static_cast<size_t>(k)] = (v == 0 || miss(v)) ? korv_missing() : 1.0 / v;
            }
        w = own.data();
    }
    double W = 0;
    for (int k = 0; k < nl; ++k) {
        if (miss(w[k])) {
            W = korv_missing();
            break;
        }
        W += w[k];
    }
    auto share = [&](int k) { return miss(W) || W == 0 ? 1.0 / nl : w[k] / W; };
    // The contrast c = e_i - (the weights of the average).
    std::vector<double> c(static_cast<size_t>(nl));
    for (int k = 0; k < nl; ++k)
        c[static_cast<size_t>(k)] = (k == i ? 1.0 : 0.0) - share(k);
    double est = 0, var = 0;
    const double* m = lmc->mean;
    for (int k = 0; k < nl && !miss(est); ++k) {
        if (!m || miss(m[k]))
            est = korv_missing();
        else
            est += c[static_cast<size_t>(k)] * m[k];
    }
    if (lmc->var) {
        std::vector<double> work(static_cast<size_t>(nl));
        zqform(lmc->var, nl, c.data(), 1, &var, work.data(), 0);
    } else {
        var = korv_missing();
    }
    if (!lmc->cke)
        return finishT(lmc, est, var, false, true);
    // The average coefficient row, made afresh at every call so that the
    // means may be taken in any order.
    ZMCCKE* cke = lmc->cke;
    if (!cke->anomL) {
        POOLHANDLE* pool = lmc->pool ? lmc->pool : xtaskpool();
        cke->anomL = static_cast<double*>(xmalloc_or_exit(
            pool, static_cast<int64_t>(sizeof(double)) * std::max<long>(cke->np, 1), 0x3006));
    }
    for (long col = 0; col < cke->np; ++col) {
        double s = 0;
        for (int k = 0; k < nl; ++k)
            s += share(k) * cke->L[k * cke->np + col];
        cke->anomL[col] = s;
    }
    for (long col = 0; col < cke->np; ++col)
        cke->km[col] = cke->L[i * cke->np + col] - cke->anomL[col];
    return withCke(lmc, est, var, false, true);
}

int CheckEstimability(ZMCLSMI* lmc)
{
    return lmc->cke ? notEstimable(lmc->cke) : 1;
}

int DiffIdx(ZMCLSMI* lmc, int i, int j)
{
    const int nl = lmc->nl;
    switch (lmc->type) {
    case QXMCLSM_ANOM:
        return j;
    case QXMCLSM_CONTROL:
    case QXMCLSM_CONTROLU:
    case QXMCLSM_CONTROLL: {
        const int c = lmc->idxcntl;
        const int other = i == c ? j : j == c ? i : -1;
        if (other < 0 || other == c || other >= nl)
            return -1;
        return other < c ? other : other - 1;
    }
    case QXMCLSM_ALL: {
        const int a = std::min(i, j), b = std::max(i, j);
        if (a == b || a < 0 || b >= nl)
            return -1;
        // Pairs before row a: (nl-1) + (nl-2) + ... + (nl-a).
        return a * (2 * nl - a - 1) / 2 + (b - a - 1);
    }
    default:
        return -1;
    }
}

void MSort(double* v, long n, int* w)
{
    if (n < 2)
        return;
    bool sorted = true;
    for (long k = 1; k < n && sorted; ++k)
        sorted = v[k - 1] >= v[k];
    if (sorted)
        return;
    long gap = 1;
    while (gap < n)
        gap *= 2;
    while (gap > 1) {
        gap /= 2;
        for (long k = 0; k + gap <= n - 1; ++k)
            for (long j = k; j >= 0 && v[j] < v[j + gap]; j -= gap) {
                std::swap(v[j], v[j + gap]);
                if (w)
                    std::swap(w[j], w[j + gap]);
            }
    }
}

int CompareLines(const ZMCLine* l1, const ZMCLine* l2)
{
    if (l1->column != l2->column)
        return l1->column < l2->column ? -1 : 1;
    if (l1->start != l2->start)
        return l1->start < l2->start ? -1 : 1;
    if (l1->stop != l2->stop)
        return l1->stop < l2->stop ? -1 : 1;
    return 0;
}

void ShellSortLines(ZMCLine* l, long n)
{
    for (long gap = n / 2; gap > 0; gap /= 2)
        for (long i = gap; i < n; ++i)
            for (long j = i - gap; j >= 0 && CompareLines(&l[j], &l[j + gap]) > 0; j -= gap)
                std::swap(l[j], l[j + gap]);
}

int zmclsml(ZMCLSMI* lmc, ZMCLSML* ll)
{
    const int nl = lmc->nl;
    POOLHANDLE* pool = ll->pool ? ll->pool : (lmc->pool ? lmc->pool : xtaskpool());
    auto take = [&](size_t bytes) {
        return xmalloc_or_exit(pool, static_cast<int64_t>(bytes), 0x3006);
    };
    const int nrows = std::max(2 * nl - 1, 1);
    if (!ll->mindex)
        ll->mindex = static_cast<int*>(take(sizeof(int) * static_cast<size_t>(std::max(nl, 1))));
    if (!ll->colused)
        ll->colused = static_cast<int*>(take(sizeof(int) * kCols));
    if (!ll->same)
        ll->same = static_cast<int*>(take(sizeof(int) * static_cast<size_t>(std::max(nl, 1))));
    if (!ll->rows)
        ll->rows = static_cast<QXChar*>(take(sizeof(QXChar) * kCols * static_cast<size_t>(nrows)));
    if (!ll->Line)
        ll->Line =
            static_cast<ZMCLine*>(take(sizeof(ZMCLine) * static_cast<size_t>(std::max(nl, 1))));
    std::fill(ll->mindex, ll->mindex + std::max(nl, 1), 0);
    std::fill(ll->colused, ll->colused + kCols, 0);
    std::fill(ll->same, ll->same + std::max(nl, 1), 0);
    std::fill(ll->rows, ll->rows + kCols * nrows, static_cast<QXChar>(' '));
    ll->nLines = 0;
    ll->nlinecol = 0;

    // Only all pairs and analysis of means give every pair of means a
    // p-value; for the other types some pairs have none, and the display
    // would have to read p-values that do not exist.
    if (lmc->type != QXMCLSM_ALL && lmc->type != QXMCLSM_ANOM)
        return ZMCLSML_TYPE_REFUSED;
    if (!lmc->mean)
        return ZMCLSML_MEANS_MISSING;
    for (int k = 0; k < nl; ++k)
        if (miss(lmc->mean[k]))
            return ZMCLSML_MEANS_MISSING;
    const int expected = lmc->type == QXMCLSM_ALL ? nl * (nl - 1) / 2 : nl;
    if (!lmc->adjp || lmc->ncmp < expected)
        return ZMCLSML_ADJP_MISSING;
    for (int k = 0; k < lmc->ncmp; ++k)
        if (miss(lmc->adjp[k]))
            return ZMCLSML_ADJP_MISSING;

    // The means in descending order.
    std::vector<double> sorted(lmc->mean, lmc->mean + nl);
    for (int k = 0; k < nl; ++k)
        ll->mindex[k] = k;
    MSort(sorted.data(), nl, ll->mindex);

    // How far down each mean's line of non-significant differences reaches.
    int last = 0;
    for (int a = 0; a < nl; ++a) {
        for (int b = nl - 1; b >= std::max(a, last); --b) {
            bool together = b == a;
            if (!together) {
                const int idx = lmc->type == QXMCLSM_ANOM
                                    ? ll->mindex[b]
                                    : DiffIdx(lmc, ll->mindex[a], ll->mindex[b]);
                together = idx >= 0 && idx < lmc->ncmp && lmc->adjp[idx] > lmc->p;
            }
            if (together) {
                last = b;
                break;
            }
        }
        ll->same[a] = last;
    }

    // Lay the lines in the 60 character columns.
    int end[kCols];
    QXChar row[kCols];
    std::fill(end, end + kCols, -1);
    std::fill(row, row + kCols, static_cast<QXChar>(' '));
    int rowsOut = 0;
    auto append = [&]() {
        std::copy(row, row + kCols, ll->rows + static_cast<size_t>(rowsOut) * kCols);
        ++rowsOut;
    };
    int nextMark = 1;
    for (int a = 0; a < nl; ++a) {
        bool covered = false;
        for (int c = 0; c < kCols; ++c) {
            if (end[c] >= 0 && end[c] < a) {
                end[c] = -1;
                row[c] = ' ';
            }
            if (end[c] >= ll->same[a])
                covered = true;
        }
        if (a > 0)
            append();
        if (!covered) {
            int col = -1;
            for (int k = 0; col < 0 && k < kCols; ++k) {
                const int c1 =
                    k < static_cast<int>(std::size(kFirstColumns)) ? kFirstColumns[k] : k + 1;
                if (c1 <= kCols && end[c1 - 1] < 0)
                    col = c1;
            }
            if (col < 0 || ll->nLines >= kCols || ll->nLines >= nl)
                return ZMCLSML_TOO_MANY_LINES;
            const QXChar mark = static_cast<unsigned char>(kMarks[nextMark % 62]);
            ++nextMark;
            end[col - 1] = ll->same[a];
            row[col - 1] = mark;
            ll->Line[ll->nLines++] = {col, a, ll->same[a], mark};
        }
        append();
    }

    // Lines in column order, then the columns renumbered 1, 2, ...
    ShellSortLines(ll->Line, ll->nLines);
    int number = 0, previous = -1;
    for (int k = 0; k < ll->nLines; ++k) {
        if (ll->Line[k].column != previous) {
            previous = ll->Line[k].column;
            ++number;
        }
        ll->Line[k].column = number;
    }
    for (int r = 0; r < rowsOut; ++r)
        for (int c = 0; c < kCols; ++c)
            if (ll->rows[static_cast<size_t>(r) * kCols + c] != ' ')
                ll->colused[c] = 1;
    for (int c = 0; c < kCols; ++c)
        ll->nlinecol += ll->colused[c];
    return ZMCLSML_DONE;
}

// ---------------------------------------------------------------------------
// The control lookup.

namespace
{
const ZMCLEVELS* g_levels = nullptr;
}

void zmc_register_levels(const ZMCLEVELS* services)
{
    g_levels = services;
}

int zmccntl(int ncntl, STLIST* clist, int cidx0, void* model, void* effect)
{
    if (ncntl == 0)
        return 0;
    int nameLen = 0;
    const char* name = g_levels && g_levels->Name ? g_levels->Name(effect, &nameLen) : "";
    if (!g_levels || !clist) {
        xpmlog(183, msg183::CONTROL_NOT_LEVELS, nameLen, name);
        return -1;
    }
    const int need = g_levels->EfClValN(effect);
    if (ncntl < need) {
        xpmlog(183, msg183::CONTROL_TOO_FEW, nameLen, name);
        return -1;
    }
    if (ncntl > need) {
        xpmlog(183, msg183::CONTROL_TOO_MANY, nameLen, name, need);
        ncntl = need;
    }
    // The values, left-justified, as NUL-terminated strings.
    POOLHANDLE* pool = xlongpool();
    std::vector<char*> values(static_cast<size_t>(ncntl), nullptr);
    for (int v = 0; v < ncntl; ++v) {
        const int at = cidx0 + v;
        char* src = nullptr;
        int len = 0;
        if (clist->type == STL_TEXTS && at >= 0 && at < clist->n) {
            src = clist->texts[at].s;
            len = static_cast<int>(clist->texts[at].l);
        } else if (clist->type == STL_TEXT && at == 0) {
            src = clist->text;
            len = clist->tlen;
        }
        char* s = static_cast<char*>(xmalloc_or_exit(pool, len + 1, 0x3004));
        if (len > 0)
            std::memcpy(s, src, static_cast<size_t>(len));
        s[len] = '\0';
        int tl = 0, start = 0;
        if (len > 0)
            wzstjls(s, len, 'L', &tl, &start);
        s[std::max(tl, 0)] = '\0';
        values[static_cast<size_t>(v)] = s;
    }
    long index = 0;
    int used = 0;
    const int parts = g_levels->nParts(effect);
    for (int p = 0; p < parts; ++p) {
        const int n = g_levels->EftClValN(effect, p);
        const int level =
            used + n <= ncntl ? g_levels->EftClValParm(effect, p, values.data() + used, n) : -1;
        used += n;
        if (level < 0) {
            index = -1;
            break;
        }
        index = index * g_levels->PartLevels(model, effect, p) + level;
    }
    if (index < 0) {
        if (ncntl == 1) {
            const char* v = values[0];
            const int l = static_cast<int>(std::strlen(v));
            if (l == 0)
                xpmlog(183, msg183::CONTROL_NOT_LEVEL, 3, "' '", nameLen, name);
            else
                xpmlog(183, msg183::CONTROL_NOT_LEVEL, l, v, nameLen, name);
        } else {
            xpmlog(183, msg183::CONTROL_NOT_LEVELS, nameLen, name);
        }
    }
    for (char* s : values)
        pool->free(pool, s, -1, 4);
    return static_cast<int>(index);
}

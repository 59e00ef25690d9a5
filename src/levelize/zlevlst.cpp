// Effect level lists: for a full-rank design, the level combinations of an
// effect that own a design column (levelsnonsing: the reference level of a
// crossed variable owns none), and for every design column of an effect the
// class levels and effect-variable parameter indexes that define it
// (levelsall). Parameter names, effect columns and the value-weighted design
// read them; the column order is the one zlevrgx builds rows in.
#include <algorithm>
#include <vector>

#include "levelize/zlevint.h"

namespace
{

bool full_rank(const ZLEVMOD* m)
{
    return (m->opt[0] & ZLEV_OPT0_FULLRANK) != 0;
}

// Whether a crossed variable's column owner skips the reference level.
bool skips_reference(int param)
{
    return param == ZLEV_PARAM_EFFECT || param == ZLEV_PARAM_REFERENCE ||
           param == ZLEV_PARAM_ORDINAL;
}

// Whether crossed variable k of effect ef keeps one column per level: the
// first crossed variable of the model's first effect without an intercept.
bool keeps_all_levels(const ZLEVMOD* m, const ZLEVETRM* ef, int k)
{
    return k == 0 && (m->opt[0] & ZLEV_OPT0_NOINT) && m->nef > 0 && ef == &m->ef[0];
}

int largest_nefct(const ZLEVMOD* m, int nList, const int* effList)
{
    int most = 0;
    const int n = nList > 0 ? nList : m->nef;
    for (int q = 0; q < n; ++q)
        most = std::max(most, m->ef[nList > 0 ? effList[q] : q].nefct);
    return most;
}

} // namespace

int zlevColumnLevel(const ZLEVVAR* v, int c)
{
    if (!skips_reference(v->param))
        return c;
    return c >= v->ref ? c + 1 : c;
}

int zlevLevelColumn(const ZLEVVAR* v, int l)
{
    if (l < 0 || l >= v->nlev)
        return -1;
    if (!skips_reference(v->param))
        return l < v->nlev - 1 ? l : -1;
    if (l == v->ref)
        return -1;
    return l > v->ref ? l - 1 : l;
}

int zlevLevelsNonSingOne(ZLEVMOD* m, POOLHANDLE* pool, ZLEVETRM* ef, int* work)
{
    const int n = m->clas.n;
    std::vector<int> own;
    if (work == nullptr) {
        own.assign(static_cast<size_t>(3) * std::max(n, 1), 0);
        work = own.data();
    }
    int* cr = work;     // radices of the crossed variables
    int* nr = work + n; // radices of the nested variables
    int* digit = work + 2 * n;
    long rowsCros = 1, rowsNest = 1;
    for (int k = 0; k < ef->ncros; ++k) {
        const ZLEVVAR& v = m->clas.v[ef->cros[k]];
        cr[k] = keeps_all_levels(m, ef, k) ? v.nlev : v.nlev - 1;
        rowsCros *= std::max(cr[k], 0);
    }
    for (int k = 0; k < ef->nnest; ++k) {
        nr[k] = m->clas.v[ef->nest[k]].nlev;
        rowsNest *= std::max(nr[k], 0);
    }
    const long rows = rowsCros * rowsNest;
    if (rows * ef->nclas == 0)
        return 0;
    int* out = static_cast<int*>(zlevAlloc(pool, 4L * rows * ef->nclas));
    for (long i = 0; i < rowsNest; ++i) {
        long rest = i;
        for (int k = ef->nnest - 1; k >= 0; --k) {
            digit[k] = static_cast<int>(rest % nr[k]);
            rest /= nr[k];
        }
        for (long c = 0; c < rowsCros; ++c) {
            int* row = out + (i * rowsCros + c) * ef->nclas;
            long left = c;
            for (int k = ef->ncros - 1; k >= 0; --k) {
                const int d = static_cast<int>(left % cr[k]);
                left /= cr[k];
                const ZLEVVAR& v = m->clas.v[ef->cros[k]];
                row[k] = keeps_all_levels(m, ef, k) ? d : zlevColumnLevel(&v, d);
            }
            for (int k = 0; k < ef->nnest; ++k)
                row[ef->ncros + k] = digit[k];
        }
    }
    ef->levelsnonsing = out;
    return 0;
}

int zlevLevelsNonSing(ZLEVMOD* m, POOLHANDLE* pool, int nList, int* effList)
{
    std::vector<int> work(static_cast<size_t>(3) * std::max(m->clas.n, 1), 0);
    const int n = nList > 0 ? nList : m->nef;
    for (int q = 0; q < n; ++q) {
        ZLEVETRM& ef = m->ef[nList > 0 ? effList[q] : q];
        if (ef.nclas != 0)
            zlevLevelsNonSingOne(m, pool, &ef, work.data());
    }
    return 0;
}

namespace
{

// Builds one effect's column list (levelsall): for each of its columns the
// level of each effect variable, then the row of class levels it uses, taken
// from levels (not full rank) or levelsnonsing (full rank).
void columns_of(ZLEVMOD* m, ZLEVETRM* ef, int* eftDiv, POOLHANDLE* pool)
{
    int* classRows = full_rank(m) ? ef->levelsnonsing : ef->levels;
    if (m->eft.n == 0 || ef->nefct == 0) {
        ef->levelsall = classRows;
        ef->nlevelallrow = ef->nclas;
        return;
    }
    eftDiv[ef->nefct - 1] = ef->nparNoEfcts;
    for (int i = ef->nefct - 2; i >= 0; --i)
        eftDiv[i] = eftDiv[i + 1] * m->eft.var[ef->efct[i + 1]].nparms;
    ef->nlevelallrow = ef->nclas + ef->nefct;
    if (ef->npar <= 0) {
        ef->levelsall = nullptr;
        return;
    }
    int* out = static_cast<int*>(zlevAlloc(pool, 4L * ef->npar * ef->nlevelallrow));
    for (int c = 0; c < ef->npar; ++c) {
        int* row = out + static_cast<long>(c) * ef->nlevelallrow;
        for (int i = 0; i < ef->nefct; ++i) {
            const int np = m->eft.var[ef->efct[i]].nparms;
            row[i] = np > 0 ? (c / std::max(eftDiv[i], 1)) % np : 0;
        }
        const int classRow = ef->nparNoEfcts > 0 ? c % ef->nparNoEfcts : 0;
        for (int k = 0; k < ef->nclas; ++k)
            row[ef->nefct + k] =
                classRows ? classRows[static_cast<long>(classRow) * ef->nclas + k] : 0;
    }
    ef->levelsall = out;
}

} // namespace

int zlevLevelsAllOne(ZLEVREGI* r, ZLEVETRM* ef, int* eftDiv, POOLHANDLE* pool)
{
    ZLEVMOD* m = r->m;
    if (full_rank(m) && ef->levelsnonsing == nullptr && ef->nclas > 0)
        zlevLevelsNonSingOne(m, pool, ef, nullptr);
    columns_of(m, ef, eftDiv, pool);
    return 0;
}

int zlevLevelsAll(ZLEVREGI* r, int nList, int* effList)
{
    ZLEVMOD* m = r->m;
    POOLHANDLE* pool = r->d->pool;
    const int n = nList > 0 ? nList : m->nef;
    if (full_rank(m)) {
        std::vector<int> work(static_cast<size_t>(3) * std::max(m->clas.n, 1), 0);
        for (int q = 0; q < n; ++q) {
            ZLEVETRM& ef = m->ef[nList > 0 ? effList[q] : q];
            if (ef.nclas > 0)
                zlevLevelsNonSingOne(m, pool, &ef, work.data());
        }
    }
    std::vector<int> eftDiv(static_cast<size_t>(std::max(largest_nefct(m, nList, effList), 1)));
    for (int q = 0; q < n; ++q)
        columns_of(m, &m->ef[nList > 0 ? effList[q] : q], eftDiv.data(), pool);
    return 0;
}

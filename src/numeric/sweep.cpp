// The packed sweep. Each row's update reads only the pivot column (copied
// into work before any row changes) and writes only the row itself, so rows
// may be changed in any order or side by side.
#include "numeric/sweep.h"

#include <algorithm>
#include <vector>

namespace korv_num
{
namespace
{

inline long packed(long i, long j)
{
    return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i;
}

// Row i of a sweep on pivot p: row[j] -= f * g[j] for every j <= i but p,
// where g is the pivot column with its sign turned for the indices the
// update adds to (f * (-x) is exactly -(f * x), so the row is what the
// signed update gives). `flip` holds the pivot column with the signs turned
// for a swept row.
inline void sweep_row(double* a, int i, int p, double app, const double* work, const double* flip,
                      bool si)
{
    if (i == p || work[i] == 0.0)
        return;
    const double f = work[i] / app;
    const double* g = si ? flip : work;
    double* row = a + static_cast<long>(i) * (i + 1) / 2;
    // work[p] is 0, so the pivot's own element would not change; it is
    // skipped all the same, as it is overwritten below.
    for (int j = 0; j < p && j <= i; ++j)
        row[j] -= f * g[j];
    for (int j = p + 1; j <= i; ++j)
        row[j] -= f * g[j];
}

} // namespace

int sweep(double* a, int p, int order, char* flags, double* work, double tol, SweepJoin join,
          SweepSpread spread)
{
    if (p < 0 || p >= order)
        return 1;
    if (flags && flags[p] != '0')
        return 1;
    const double app = a[packed(p, p)];
    if (!(app > tol) || app == 0.0)
        return 1;
    // Where both indices are already swept the usual update changes sign,
    // so that the swept block stays the inverse itself.
    auto swept = [flags](int i) { return flags && flags[i] == '1'; };
    for (int i = 0; i < order; ++i)
        work[i] = i == p ? 0.0 : a[packed(i, p)];
    // The pivot column with the sign turned where a swept row meets a swept
    // column: there the update adds.
    std::vector<double> flip(static_cast<size_t>(order));
    for (int j = 0; j < order; ++j)
        flip[static_cast<size_t>(j)] = swept(j) ? -work[j] : work[j];
    if (spread) {
        const size_t grain = 64;
        const size_t tasks = (static_cast<size_t>(order) + grain - 1) / grain;
        spread(tasks, [&](size_t t) {
            const int lo = static_cast<int>(t * grain);
            const int hi = std::min(order, static_cast<int>((t + 1) * grain));
            for (int i = lo; i < hi; ++i)
                sweep_row(a, i, p, app, work, flip.data(), swept(i));
        });
    } else {
        for (int i = 0; i < order; ++i)
            sweep_row(a, i, p, app, work, flip.data(), swept(i));
    }
    // Row p: the coefficient against an unswept index (signed by `join`),
    // and the inverse's element, of the other sign, against a swept one.
    const bool coefficient = join == SweepJoin::Coefficient;
    for (int i = 0; i < order; ++i)
        if (i != p)
            a[packed(i, p)] = (swept(i) == coefficient ? -work[i] : work[i]) / app;
    a[packed(p, p)] = 1.0 / app;
    if (flags)
        flags[p] = '1';
    return 0;
}

} // namespace korv_num

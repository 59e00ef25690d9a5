// The test driver: once per BY group on the survival road, decides whether
// the tests of equal survival across strata run and dispatches them, then
// runs the rank tests of association of the TEST covariates; and the size
// check that tells at the data pass, before any estimate is made, that the
// tests cannot be formed for so many strata.
#include <algorithm>
#include <cstdio>
#include <initializer_list>

#include "homogeneity/assoc.h"
#include "homogeneity/homogeneity.h"
#include "homogeneity/present.h"
#include "runtime/wobmth.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace
{

// The tests run for this BY group as far as the options go.
bool tests_wanted(KorvPtr q)
{
    return (q->zprint || q->ogstat) && q->nstrata > 1 && !q->grpvar && !(q->ktype & test_bit::NONE);
}

// Bytes as "12.3 MB" or "80.0 GB".
void describe_bytes(double bytes, char* out, size_t size)
{
    if (bytes >= 1e9)
        std::snprintf(out, size, "%.1f GB", bytes / 1e9);
    else
        std::snprintf(out, size, "%.1f MB", bytes / 1e6);
}

// A count of operations as "12.3 million" or "4.5 billion".
void describe_count(double n, char* out, size_t size)
{
    if (n >= 1e12)
        std::snprintf(out, size, "%.1f trillion", n / 1e12);
    else if (n >= 1e9)
        std::snprintf(out, size, "%.1f billion", n / 1e9);
    else
        std::snprintf(out, size, "%.1f million", n / 1e6);
}

} // namespace

int korv_hom_blocks(KorvPtr q)
{
    int blocks = 2; // log-rank and Wilcoxon are always formed
    if (q->ktype & test_bit::TARONE)
        ++blocks;
    if (!q->zwt)
        for (int bit : {test_bit::PETO, test_bit::MODPETO, test_bit::FLEMING})
            if (q->ktype & bit)
                ++blocks;
    return blocks;
}

namespace
{

// The requested tests' chi-squares: one per test, each sweeping its
// bordered matrix once per pivot (about k - 1 pivots of (k + 1)(k + 2) / 2
// elements); with a trend, one quadratic form instead.
double chisq_operations(KorvPtr q, int k)
{
    const double kk = static_cast<double>(k);
    const int tests = (q->ktype & test_bit::TREND) ? 0 : korv_hom_blocks(q);
    return tests * (kk - 1) * (kk + 1) * (kk + 2) / 2;
}

} // namespace

HomSize korv_hom_size(KorvPtr q, int k)
{
    HomSize s;
    const int blocks = korv_hom_blocks(q);
    const double kk = static_cast<double>(k);
    s.need = blocks * (kk + 1) * (kk + 2) / 2 * sizeof(double);
    double memsize = 0;
    if (xyrngef("MEMSIZE", &memsize) == 0 && memsize > 0) {
        s.limit = memsize;
        s.fromMemsize = true;
    } else {
        s.limit = KORV_HOM_MATRIX_CAP;
    }
    return s;
}

void korv_hom_note_cost(KorvPtr q, int k, int message)
{
    const HomSize s = korv_hom_size(q, k);
    char need[32], ops[32];
    describe_bytes(s.need, need, sizeof need);
    describe_count(chisq_operations(q, k), ops, sizeof ops);
    xpmlog(326, message, k, korv_hom_blocks(q), need, ops);
}

void korv_hom_describe_bytes(double bytes, char* out, size_t size)
{
    describe_bytes(bytes, out, size);
}

bool korv_hom_fits(KorvPtr q, int k)
{
    const HomSize s = korv_hom_size(q, k);
    return s.need <= s.limit;
}

void korv_hom_announce(KorvPtr q)
{
    if (!tests_wanted(q))
        return;
    if (korv_hom_fits(q, q->nstrata)) {
        // Many strata: say what the tests will take before the estimates.
        if (q->nstrata >= KORV_HOM_MANY_STRATA)
            korv_hom_note_cost(q, q->nstrata, msg326::MANY_STRATA);
        return;
    }
    const HomSize s = korv_hom_size(q, q->nstrata);
    char need[32], limit[32];
    describe_bytes(s.need, need, sizeof need);
    describe_bytes(s.limit, limit, sizeof limit);
    xpmlog(326, msg326::TOO_MANY_STRATA, q->nstrata, need, limit,
           s.fromMemsize ? "MEMSIZE=" : "the limit for the matrices of the tests");
    // A request left undone is a warning, and the step's return code says so.
    q->rc = std::max(q->rc, 4);
}

namespace
{

// An output group of the rank tests of association.
xobop open_group(KorvPtr q, const char* name, int label)
{
    WOB_PARM_BLK_STR g[] = {wob_key(WOB_TAG_NAME, vdqtxt(name, -1)),
                            wob_key(WOB_TAG_LABEL, vdqmsg(0, label)), wob_flag(WOB_TAG_FLAG435, 0),
                            wob_object(WOB_TAG_OUT, nullptr)};
    wobcall(q->vdq, WOB_SEL_MAKE_GROUP, g);
    return g[3].value.o;
}

// The tests of equal survival across strata (or GROUP= levels).
void homogeneity(KorvPtr q)
{
    // A single stratum: its note also names DIFF= and ADJUST= when they were
    // asked for, since they have nothing to compare either.
    if (q->nsvar != 0 && q->nstrata == 1 && !q->grpvar)
        xpmlog(326, q->survdiff ? msg326::SINGLE_STRATUM_NO_COMPARISONS
                                : msg326::SINGLE_STRATUM_NO_TESTS);
    // Too many strata for the matrices of the tests: the data pass said so.
    // The graph insets show no p-value rather than another group's.
    if (tests_wanted(q) && !korv_hom_fits(q, q->nstrata)) {
        korv_hom::reset_ogstat(q->ogstat);
        return;
    }
    if (q->nstrata > 1 || q->grpvar) {
        if (q->zwt)
            korvwho(q);
        else
            korvhom(q);
    }
}

// The rank tests of association of the TEST covariates, Wilcoxon scores
// first: tables when printing, OUTTEST= rows when asked for.
void association(KorvPtr q)
{
    const int p = q->ncvar;
    if (p <= 0 || !q->wil || (!q->zprint && !q->fileoutt))
        return;
    const bool print = q->zprint && q->vdq;
    xobop rank = print ? open_group(q, "RankTests", msg0::RANK_ASSOCIATION) : nullptr;
    auto* dfs = static_cast<char*>(xmalloc_or_exit(q->polnode, p + 1, 0x2000));
    if (print) {
        WOB_PARM_BLK_STR note[] = {
            wob_int(WOB_TAG_371, 2), wob_char(WOB_TAG_JUST, 'c'),
            wob_key(WOB_TAG_NAME, vdqtxt("AssociationNote", 15)),
            wob_key(WOB_TAG_TEXT, vdqmsgs(326,
                                          q->nstrata <= 1 ? msg326::ASSOCIATION_NOTE
                                                          : msg326::ASSOCIATION_NOTE_POOLED,
                                          static_cast<int>(q->timename.l), q->timename.s))};
        wobcall(q->vdq, WOB_SEL_NOTE, note);
    }
    xobop g = print ? open_group(q, "Wilcoxon", msg0::ASSOCIATION_WILCOXON) : nullptr;
    korvrno(q, q->wil, dfs, nullptr, "WILCOXON");
    korv_hom::release_group(g);
    g = print ? open_group(q, "LogRank", msg0::ASSOCIATION_LOGRANK) : nullptr;
    korvrno(q, q->wil + korv_assoc_q3(p), dfs, nullptr, "LOG RANK");
    korv_hom::release_group(g);
    korv_hom::release_group(rank);
}

} // namespace

void korvpol(KorvPtr q)
{
    // Without printing the tests across strata run only for the p-values of
    // the graphs.
    if (q->zprint || q->ogstat)
        homogeneity(q);
    association(q);
}

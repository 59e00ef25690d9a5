// Gray's test driver of a BY group: the records in time order (within
// strata when GROUP= levels are compared), the score and covariance of every
// failure type with events, its chi-square through a generalized inverse, one
// row of the test table per type and the p-values the plots show.
//
// Without GROUP= the strata are compared, all records pooled; with it the
// levels are compared within each stratum and the strata's scores and
// covariances are summed. The failure types share the records and are
// independent of each other, so their walks run side by side on the host's
// thread pool; the rows follow in the order of the types.
#include <algorithm>
#include <vector>

#include "cmprisk/cmprisk.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "vyr_host.h"
#include "vyr_pool.h"

namespace
{

using korv_cr::ZERO_FREQ;

// The failure types the test is computed for: those with events.
std::vector<int> testedTypes(const CMPRISK* c)
{
    std::vector<int> types;
    for (int j = 1; j < c->ntype; ++j)
        if (c->nfailed[j] >= ZERO_FREQ)
            types.push_back(j);
    return types;
}

// The roles of the status categories when type j is the event of interest:
// censored, of interest, and every other category competing.
std::vector<int> rolesFor(const CMPRISK* c, int j)
{
    std::vector<int> roles(static_cast<size_t>(c->ncat), 2);
    roles[0] = 0;
    roles[static_cast<size_t>(j)] = 1;
    return roles;
}

} // namespace

void kSampleTestCif(KorvPtr q, const korv_cr::Timed* streams, int ng, const int* roleMap,
                    double* score, double* var)
{
    const CMPRISK* c = q->cmprisk;
    korv_cr::grayWalk(streams, ng, roleMap, c->ncat, c->rho, score, var);
}

void korvcit(KorvPtr q)
{
    CMPRISK* c = q->cmprisk;
    const bool stratified = c->nGroup > 1;
    const int K = stratified ? c->nGroup : c->nStrata;
    const int64_t size = static_cast<int64_t>(K + 1) * (K + 2) / 2;
    const int64_t scoreAt = static_cast<int64_t>(K) * (K + 1) / 2;
    c->var = static_cast<double*>(xmalloc_or_exit(q->polnode, size * sizeof(double), 0x3004));
    c->score = c->var + scoreAt;

    c->statusMap[0] = 0;
    if (c->ntype < 2) {
        if (c->failcode)
            c->statusMap[c->ntype] = 2;
        return;
    }
    for (int j = 1; j < c->ntype; ++j)
        c->statusMap[j] = 2;
    if (c->failcode)
        c->statusMap[c->ntype] = 2;
    const std::vector<int> types = testedTypes(c);
    if (types.empty())
        return;

    // The records of every stratum and level gathered by time.
    const korv_cr::Timed* cells = korv_cr::cellTables(q);

    // Every tested type's score and covariance, accumulated side by side:
    // the strata pooled, or level by level within each stratum.
    std::vector<std::vector<double>> acc(types.size(), std::vector<double>(size, 0.0));
    std::vector<std::vector<int>> roles;
    for (int j : types)
        roles.push_back(rolesFor(c, j));
    const int nsets = stratified ? c->nStrata : 1;
    // The compared groups of each set are consecutive cells: the strata
    // (one level each), or the levels of one stratum.
    const korv_cr::Timed* streams = cells;
    vyr::parallel_for(types.size(), [&](size_t t) {
        double* v = acc[t].data();
        for (int s = 0; s < nsets; ++s)
            kSampleTestCif(q, &streams[static_cast<size_t>(s * K)], K, roles[t].data(), v + scoreAt,
                           v);
    });

    // One row per tested type, in the order of the types.
    for (size_t t = 0; t < types.size(); ++t) {
        const int j = types[t];
        c->statusMap[j] = 1;
        c->statusVal = c->type[j];
        std::copy(acc[t].begin(), acc[t].end(), c->var);
        const korv_cr::GrayChiSq r = korv_cr::grayChiSq(c->var, K);
        q->iovar[chisq_slot::CHISQ] = r.chisq;
        q->iovar[chisq_slot::DF] = r.df;
        q->iovar[chisq_slot::PROB] = r.p;
        wobcall(q->HomTest, WOB_SEL_PUT_ROW);
        c->pval[j - 1] = r.p;
        c->statusMap[j] = 2;
    }
}

// Gray's test driver of a BY group: the records sorted by time (within
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
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "runtime/xccheck.h"
#include "vyr_files.h"
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

// The role of each status category when type j is the event of interest.
std::vector<int> rolesFor(const CMPRISK* c, int j)
{
    std::vector<int> roles(static_cast<size_t>(c->ncat), 2);
    roles[0] = 0;
    roles[static_cast<size_t>(j)] = 1;
    return roles;
}

} // namespace

void kSampleTestCif(KorvPtr q, int gnum, int ng, double* risk)
{
    CMPRISK* c = q->cmprisk;
    korv_cr::StoreView view(c->xcb);
    const auto& chunks = view.chunks();
    korv_cr::grayWalk(chunks.data(), chunks.size(), c->statusMap, c->ncat, gnum, ng, risk, c->rho,
                      c->score, c->var);
    // The risk sets are used up.
    std::fill(risk, risk + ng, 0.0);
}

void korvcit(KorvPtr q)
{
    CMPRISK* c = q->cmprisk;
    korv_cr::openUtility(&q->citUtid);
    c->xcptr = q->citUtid;
    const bool stratified = c->nGroup > 1;
    korv_cr::sortRecords(q, q->citUtid, stratified, false);

    const int K = stratified ? c->nGroup : c->nStrata;
    const int64_t order = K + 1;
    const int64_t size = order * (order + 1) / 2;
    c->var = static_cast<double*>(xmalloc_or_exit(q->polnode, size * sizeof(double), 0x3004));
    c->score = c->var + static_cast<int64_t>(K) * (K + 1) / 2;

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

    // Every tested type's score and covariance, accumulated side by side.
    const std::vector<int> types = testedTypes(c);
    std::vector<std::vector<double>> acc(types.size(), std::vector<double>(size, 0.0));
    std::vector<std::vector<int>> roles;
    for (int j : types)
        roles.push_back(rolesFor(c, j));
    auto accumulate = [&](const std::vector<korv_cr::Chunk>& chunks, int gnum,
                          const std::vector<double>& risk) {
        vyr::parallel_for(types.size(), [&](size_t t) {
            double* v = acc[t].data();
            korv_cr::grayWalk(chunks.data(), chunks.size(), roles[t].data(), c->ncat, gnum, K,
                              risk.data(), c->rho, v + static_cast<int64_t>(K) * (K + 1) / 2, v);
        });
    };
    std::vector<double> risk(static_cast<size_t>(K) + 1, 0.0);
    if (!types.empty()) {
        if (!stratified) {
            int64_t n = 0;
            for (int s = 0; s < c->nStrata; ++s) {
                n += static_cast<int64_t>(c->meta[s][0][1]);
                risk[static_cast<size_t>(s)] = c->meta[s][0][2];
            }
            check_file(xcpoint(q->citUtid, 0));
            korv_cr::loadRecords(q, q->citUtid, n);
            korv_cr::StoreView view(c->xcb);
            accumulate(view.chunks(), 0, risk);
        } else {
            for (int s = 0; s < c->nStrata; ++s) {
                int64_t n = 0;
                for (int g = 0; g < c->nGroup; ++g) {
                    n += static_cast<int64_t>(c->meta[s][g][1]);
                    risk[static_cast<size_t>(g)] = c->meta[s][g][2];
                }
                korv_cr::seekRecord(q->citUtid, c->meta[s][0][0]);
                korv_cr::loadRecords(q, q->citUtid, n);
                korv_cr::StoreView view(c->xcb);
                accumulate(view.chunks(), 1, risk);
            }
        }
    }

    // One row per tested type, in the order of the types.
    for (size_t t = 0; t < types.size(); ++t) {
        const int j = types[t];
        c->statusMap[j] = 1;
        c->statusVal = c->type[j];
        std::copy(acc[t].begin(), acc[t].end(), c->var);
        const korv_cr::GrayChiSq r = korv_cr::grayChiSq(c->var, K);
        q->iovar[2] = r.chisq;
        q->iovar[3] = r.df;
        q->iovar[4] = r.p;
        wobcall(q->HomTest, WOB_SEL_PUT_ROW);
        c->pval[j - 1] = r.p;
        c->statusMap[j] = 2;
    }
}

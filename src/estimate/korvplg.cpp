// The product-limit family of one GROUP= level within a stratum: the same
// estimator as a stratum's (korvpl, korvwpl) run over the level's own
// records, so that a level's estimates, quartiles, means and OUTSURV= rows
// are those its records would give as a stratum of their own. The level's
// results go to its GRPTREE node; its plot rows join the stratum's plot data.
#include "common/strata.h"
#include "estimate/estimate.h"

using korv_est::PlUnit;

namespace
{

PlUnit groupUnit(STRATA* snode, GRPTREE* node, const double* times, const double* freqs,
                 const double* weights, const char* ids, const int64_t* indxs)
{
    PlUnit u;
    u.stratum = snode;
    u.group = node;
    u.times = times;
    u.freqs = freqs;
    u.weights = weights;
    u.ids = ids;
    u.indxs = indxs;
    u.nobs = node->nobs;
    u.cum = node->cum;
    u.cen = node->cen;
    u.cumwt = node->cumwt;
    u.cumwt2 = node->cumwt2;
    return u;
}

void plgNoWt(KorvPtr q, STRATA* snode, GRPTREE* node, const double* times, const double* freqs,
             const char* ids, const int64_t* indxs)
{
    korv_est::korv_pl_estimate(q, groupUnit(snode, node, times, freqs, nullptr, ids, indxs), false);
}

void plgWt(KorvPtr q, STRATA* snode, GRPTREE* node, const double* times, const double* freqs,
           const double* weights, const char* ids, const int64_t* indxs)
{
    korv_est::korv_pl_estimate(q, groupUnit(snode, node, times, freqs, weights, ids, indxs), true);
}

} // namespace

void korvplg(KorvPtr q, STRATA* snode, GRPTREE* node, const double* times, const double* freqs,
             const double* weights, const char* ids, const int64_t* indxs)
{
    if (!node || node->nobs < 1)
        return;
    if (q->zwt && weights)
        plgWt(q, snode, node, times, freqs, weights, ids, indxs);
    else
        plgNoWt(q, snode, node, times, freqs, ids, indxs);
}

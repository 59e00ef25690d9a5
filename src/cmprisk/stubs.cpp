// Competing risks (Gray's test and the cumulative incidence) are not built
// yet: the named stubs refuse the request, which ends the step (see
// common/stages.h).
#include "common/stages.h"

const bool korv_built_cmprisk = false;

void korvcit(KorvPtr q)
{
    korv_refuse(q, KorvFeature::CompetingRisks);
}

void korvcif(KorvPtr q)
{
    korv_refuse(q, KorvFeature::CompetingRisks);
}

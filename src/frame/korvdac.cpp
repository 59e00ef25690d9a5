// The competing-risks data pass is not built yet: the named stub refuses the
// competing-risks road, which ends the step (see common/stages.h).
#include "common/stages.h"

int korvdac(KorvPtr q)
{
    korv_refuse(q, KorvFeature::CompetingRisks);
    return 1;
}

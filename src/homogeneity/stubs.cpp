// Stages of the tests that this version does not have yet: the rank tests of
// association of the TEST statement. A named stub refuses the request (see
// common/stages.h); nothing is asked of it without TEST variables.
#include "common/korvcom.h"
#include "common/stages.h"

const bool korv_built_association = false;

void korvtes(KorvPtr q, STRATA*)
{
    if (q->ncvar > 0)
        korv_refuse(q, KorvFeature::Association);
}

// Multiple comparisons of survival curves (DIFF=, ADJUST=) are not built
// yet: the named stub refuses the request (see common/stages.h).
#include "common/stages.h"

const bool korv_built_comparisons = false;

int MultipleComparisons(KorvPtr q, int, POOLHANDLE*)
{
    korv_refuse(q, KorvFeature::MultipleComparisons);
    return 0;
}

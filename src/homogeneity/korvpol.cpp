// The test driver: once per BY group on the survival road, decides whether
// the tests of equal survival across strata run and dispatches them.
#include "homogeneity/homogeneity.h"
#include "vyr_host.h"

void korvpol(KorvPtr q)
{
    // Nothing would be printed and no graph needs the p-values.
    if (!q->zprint && !q->ogstat)
        return;
    if (q->nsvar != 0 && q->nstrata == 1 && !q->grpvar)
        xpmlog(326, 33);
    if (q->nstrata > 1 || q->grpvar) {
        if (q->zwt)
            korvwho(q);
        else
            korvhom(q);
    }
}

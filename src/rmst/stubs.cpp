// Restricted mean survival time and restricted mean time lost are not built
// yet. The stage runs after every BY group; the named stub refuses the
// request when one was made (see common/stages.h) and otherwise, like the
// stage itself, has nothing to do.
#include "common/stages.h"
#include "common/korvcom.h"
#include "vyr_parse.h"

const bool korv_built_rmst = false;

void korvrms(KorvPtr q)
{
    // RMST, RMTL, PLOTS=RMST and PLOTS=RMTL on the procedure's record.
    const STMT* s = q->stmt;
    if (stmt_bit(s, 52) || stmt_bit(s, 53) || stmt_bit(s, 54) || stmt_bit(s, 55))
        korv_refuse(q, KorvFeature::RestrictedMeans);
}

// Restricted mean survival time and restricted mean time lost are not built
// yet. The stage runs after every BY group; the named stub refuses the
// request when one was made (see common/stages.h) and otherwise, like the
// stage itself, has nothing to do.
#include "common/korvcom.h"
#include "common/stages.h"
#include "common/statement.h"
#include "vyr_parse.h"

const bool korv_built_rmst = false;

void korvrms(KorvPtr q)
{
    const STMT* s = q->stmt;
    if (stmt_bit(s, proc_bit::RMST) || stmt_bit(s, proc_bit::RMTL) ||
        stmt_bit(s, proc_bit::PLOT_RMST) || stmt_bit(s, proc_bit::PLOT_RMTL))
        korv_refuse(q, KorvFeature::RestrictedMeans);
}

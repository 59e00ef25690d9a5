// Line-printer plots and the strata legend are not built yet: the named
// stubs refuse the request (see common/stages.h). The legend the tests print
// after their tables (flag 0) is output nobody asked for by name, so its
// refusal is a note.
#include "common/stages.h"

const bool korv_built_lineprinter = false;

void korvcp(KorvPtr q)
{
    korv_refuse(q, KorvFeature::LinePrinterPlots);
}

void korvplt(KorvPtr q)
{
    korv_refuse(q, KorvFeature::LinePrinterPlots);
}

void korvfp(KorvPtr q)
{
    korv_refuse(q, KorvFeature::LinePrinterPlots);
}

void korvleg(KorvPtr q, int flag)
{
    korv_refuse(q, flag ? KorvFeature::LinePrinterPlots : KorvFeature::StrataLegend);
}

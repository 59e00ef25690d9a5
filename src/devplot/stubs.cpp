// Device graphics are not built yet: the named stubs refuse the request (see
// common/stages.h) and report no drawing failure of their own.
#include "common/stages.h"

const bool korv_built_devplot = false;

int korvgp1(KorvPtr q)
{
    korv_refuse(q, KorvFeature::DeviceGraphics);
    return 0;
}

int zggrend(GRAFSTR**)
{
    korv_refuse(nullptr, KorvFeature::DeviceGraphics);
    return 0;
}

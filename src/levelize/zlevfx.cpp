// The fit interface of the levelized design: zlevfx installs the six fit
// operations into a reader's fit request, where the fit cache reaches them.
#include "levelize/zlevint.h"

int zlevfx(ZLEVFITI* f)
{
    f->GetXpX = GetXpX;
    f->GetR = GetR;
    f->GetBeta = GetBeta;
    f->GetSSE = GetSSE;
    f->GetSST = GetSST;
    f->Test = Test;
    return 0;
}

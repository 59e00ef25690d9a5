// The graphs of the GROUP= road (in progress).
#include "common/strata.h"
#include "estimate/estimate.h"

void StratumSpecificSurvival(KorvPtr, STRATA*, int) {}
void StratumSpecificOthers(KorvPtr, STRATA*, int) {}
void korvpsg(KorvPtr) {}

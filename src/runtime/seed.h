// The seed of the simulations that adjust p-values, published to the host.
#pragma once

// A seed outside 1..2147483646 is replaced by one drawn from the clock.
// whichMacroVar 1 publishes the seed used as SYSRANDOM; 2 publishes the seed
// unchanged as SYSRANEND (no replacement); 0 and other values only replace.
void zranms(long* seed, int whichMacroVar);

// Seeding of the simulations, published to the host's macro variables.
#include "runtime/seed.h"

#include "vyr_host.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace
{

void publish(const char* name, long seed)
{
    char text[32];
    int n = std::snprintf(text, sizeof text, "%ld", seed);
    xjsymput(name, text, n);
}

} // namespace

void zranms(long* seed, int whichMacroVar)
{
    if (whichMacroVar == 2) {
        publish("SYSRANEND", *seed);
        return;
    }
    if (*seed < 1 || *seed > 2147483646L) {
        double u = 0.001 * wzdttme();
        *seed = static_cast<long>(std::floor((u - std::floor(u)) * 1e9)) + 1;
    }
    if (whichMacroVar == 1)
        publish("SYSRANDOM", *seed);
}

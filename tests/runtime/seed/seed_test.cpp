// Seeding of the simulations and its publication as macro variables.
#include "runtime/seed.h"

#include "vyr_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace
{

long macroValue(const char* name)
{
    const char* v = xjsymget(name);
    EXPECT_NE(v, nullptr) << name;
    return v ? std::strtol(v, nullptr, 10) : -1;
}

} // namespace

TEST(Seed, OutOfRangeSeedsComeFromTheClock)
{
    for (long bad : {0L, -5L, 2147483647L, 9999999999L}) {
        long seed = bad;
        zranms(&seed, 1);
        EXPECT_GE(seed, 1) << bad;
        EXPECT_LE(seed, 1000000000L) << bad;
        EXPECT_EQ(macroValue("SYSRANDOM"), seed);
    }
}

TEST(Seed, ValidSeedsAreKept)
{
    long seed = 12345;
    zranms(&seed, 1);
    EXPECT_EQ(seed, 12345);
    EXPECT_EQ(macroValue("SYSRANDOM"), 12345);
    seed = 2147483646;
    zranms(&seed, 0);
    EXPECT_EQ(seed, 2147483646);
}

TEST(Seed, EndSeedIsPublishedUnchanged)
{
    xjsymput("SYSRANDOM", "777", 3);
    long seed = 0; // out of range, but the end seed is never replaced
    zranms(&seed, 2);
    EXPECT_EQ(seed, 0);
    EXPECT_EQ(macroValue("SYSRANEND"), 0);
    EXPECT_EQ(macroValue("SYSRANDOM"), 777);
    seed = 424242;
    zranms(&seed, 2);
    EXPECT_EQ(macroValue("SYSRANEND"), 424242);
}

TEST(Seed, OtherRequestsOnlyReplace)
{
    xjsymput("SYSRANDOM", "5", 1);
    long seed = -1;
    zranms(&seed, 0);
    EXPECT_GE(seed, 1);
    seed = -1;
    zranms(&seed, 9);
    EXPECT_GE(seed, 1);
    EXPECT_EQ(macroValue("SYSRANDOM"), 5);
}

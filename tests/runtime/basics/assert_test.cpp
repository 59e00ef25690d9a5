// The invariant checks: on in the sanitizer builds, where a broken one stops
// the run naming itself; elsewhere never evaluated.
#include <gtest/gtest.h>

#include "runtime/korv_assert.h"

namespace
{

int evaluations = 0;
bool counted(bool v)
{
    ++evaluations;
    return v;
}

TEST(Invariants, OnInTheSanitizerBuildsAndNeverEvaluatedElsewhere)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    EXPECT_TRUE(korv_assert_on) << "the sanitizer builds check the invariants";
#endif
    evaluations = 0;
    KORV_ASSERT(counted(true), "a condition that holds");
    EXPECT_EQ(evaluations, korv_assert_on ? 1 : 0);
    if (korv_assert_on) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        EXPECT_DEATH(KORV_ASSERT(counted(false), "a count cell against its total"),
                     "internal check failed at .*assert_test.cpp:[0-9]+: a count cell against "
                     "its total \\(counted\\(false\\)\\)");
    } else {
        KORV_ASSERT(counted(false), "a condition that would fail");
        EXPECT_EQ(evaluations, 0);
    }
}

} // namespace

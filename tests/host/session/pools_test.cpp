// Memory pools: zeroed blocks, frees of any length, deletion of everything,
// and a failed allocation ending the step with 1016.

#include "host/session/session_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace
{
std::string g_log;
int g_after = 0;
} // namespace

TEST(Pools, BlocksComeZeroedAndFreesOfUnknownLengthAreAccepted)
{
    POOLHANDLE* p = xmpoolc(0, 1024, 0x1002);
    ASSERT_NE(p, nullptr);
    int64_t before = vyr::pools_in_use();
    for (int round = 0; round < 3; ++round) {
        auto* a = static_cast<unsigned char*>(p->allocate(p, 4096, 0x2000));
        ASSERT_NE(a, nullptr);
        for (int i = 0; i < 4096; ++i)
            ASSERT_EQ(a[i], 0) << "byte " << i << " round " << round;
        std::memset(a, 0xAB, 4096);
        p->free(p, a, round == 0 ? -1 : 0, 4); // length unknown to the caller
    }
    EXPECT_EQ(vyr::pools_in_use(), before);
    p->free(p, nullptr, 0, 4); // tolerated
    int local = 0;
    p->free(p, &local, 8, 4);          // not the pool's block: left alone
    void* zero = p->allocate(p, 0, 0); // zero bytes: a valid, distinct address
    EXPECT_NE(zero, nullptr);
    xmpoold(p);
    EXPECT_EQ(vyr::pools_in_use(), before);
    xmpoold(nullptr);
}

// Large blocks (mapped from the system) behave as small ones: zeroed,
// taken on any thread, freed with any length or with the pool.
TEST(Pools, LargeBlocksFromAnyThreadComeZeroedAndGoBackWhole)
{
    POOLHANDLE* p = xmpoolc(0, 1024, 0x1002);
    ASSERT_NE(p, nullptr);
    const int64_t before = vyr::pools_in_use();
    const int64_t sizes[] = {(1 << 20) - 1, 1 << 20, (3 << 20) + 5};
    for (int round = 0; round < 2; ++round) {
        std::vector<unsigned char*> got(3);
        std::vector<std::thread> takers;
        for (int k = 0; k < 3; ++k)
            takers.emplace_back(
                [&, k] { got[k] = static_cast<unsigned char*>(p->allocate(p, sizes[k], 0x2000)); });
        for (std::thread& t : takers)
            t.join();
        for (int k = 0; k < 3; ++k) {
            ASSERT_NE(got[k], nullptr);
            const int64_t n = sizes[k];
            EXPECT_EQ(got[k][0] | got[k][n / 2] | got[k][n - 1], 0) << "round " << round;
            std::memset(got[k], 0xCD, static_cast<size_t>(n));
        }
        EXPECT_EQ(vyr::pools_in_use(), before + sizes[0] + sizes[1] + sizes[2]);
        p->free(p, got[0], -1, 4);
        p->free(p, got[1], 0, 4);
        if (round == 0)
            p->free(p, got[2], sizes[2], 4);
    }
    xmpoold(p); // the last large block goes with the pool
    EXPECT_EQ(vyr::pools_in_use(), before);
}

TEST(Pools, DeletingAPoolFreesEverythingItGave)
{
    POOLHANDLE* p = xmpoolc(0, 1024, 0x1002);
    int64_t before = vyr::pools_in_use();
    for (int i = 0; i < 100; ++i)
        ASSERT_NE(p->allocate(p, 1000, 0x2000), nullptr);
    EXPECT_EQ(vyr::pools_in_use(), before + 100000);
    xmpoold(p);
    EXPECT_EQ(vyr::pools_in_use(), before);
}

TEST(Pools, FailureIsRecordedAndReturnsNull)
{
    POOLHANDLE* p = xtaskpool();
    vyr::pools_set_limit(vyr::pools_in_use() + 1000);
    EXPECT_NE(p->allocate(p, 600, 0x3006), nullptr);
    EXPECT_EQ(p->allocate(p, 600, 0x3006), nullptr);
    EXPECT_EQ(xmemdef(), 600);
    EXPECT_EQ(p->allocate(p, -5, 0), nullptr); // a negative length is refused, not attempted
    vyr::pools_set_limit(0);
    EXPECT_NE(p->allocate(p, 600, 0x3006), nullptr);
}

TEST(Pools, FailedAllocationThroughTheExitHelperEndsTheStepWith1016)
{
    vyr::hooks_clear();
    g_after = 0;
    vyr_register_procedure("HUNGRY", [] {
        POOLHANDLE* p = xtaskpool();
        vyr::pools_set_limit(vyr::pools_in_use() + 4096);
        void* ok = xmalloc_or_exit(p, 1024, 0x3006);
        EXPECT_NE(ok, nullptr);
        xmalloc_or_exit(p, 1 << 20, 0x3006); // does not return
        g_after = 1;
        return 0;
    });
    std::string listing;
    vyr::print_capture(&listing, &g_log);
    int status = vyr_run_text(VyrSettings{}, "proc hungry; run;");
    vyr::print_capture(nullptr, nullptr);
    vyr::pools_set_limit(0);
    EXPECT_EQ(g_after, 0);
    EXPECT_EQ(vyr_step_rcs(), std::vector<int>{1016});
    EXPECT_NE(g_log.find("ERROR: Out of memory: a request for 1048576 bytes could not be met."),
              std::string::npos);
    EXPECT_NE(g_log.find("because there was not enough memory"), std::string::npos);
    EXPECT_EQ(status, 1);
}

TEST(Pools, StepEndReleasesTheTaskPoolAndStepPools)
{
    vyr::hooks_clear();
    static int64_t during = 0;
    vyr_register_procedure("GREEDY", [] {
        POOLHANDLE* t = xtaskpool();
        t->allocate(t, 50000, 0x3006);
        POOLHANDLE* s = xmpoolc(0, 1024, 0x1002); // never deleted by the procedure
        s->allocate(s, 70000, 0x2000);
        during = vyr::pools_in_use();
        return 0;
    });
    std::string listing, log;
    vyr::print_capture(&listing, &log);
    vyr_run_text(VyrSettings{}, "proc greedy; run;");
    vyr::print_capture(nullptr, nullptr);
    EXPECT_GE(during, 120000);
    EXPECT_EQ(vyr::pools_in_use(), 0);
}

TEST(Pools, TheLongPoolOutlivesSteps)
{
    POOLHANDLE* l = xlongpool();
    void* a = l->allocate(l, 64, 0x3004);
    ASSERT_NE(a, nullptr);
    vyr::pools_step_end();
    EXPECT_EQ(xlongpool(), l);
    std::memset(a, 1, 64); // still owned (a sanitizer build would catch a use after free)
    l->free(l, a, 64, 4);
}

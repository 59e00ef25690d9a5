// The host's thread pool: every task runs once, exceptions come back to the
// caller, NOTHREADS runs on the calling thread, nested loops do not deadlock,
// and a pool whose threads cannot start still finishes the work.

#include "vyr_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sched.h>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace
{

struct PoolTest : ::testing::Test {
    void TearDown() override
    {
        vyr::pool_fail_thread_starts(0);
        vyr::pool_configure(true, 4);
    }
};

TEST_F(PoolTest, EveryTaskRunsOnceAndRangesCoverEverything)
{
    vyr::pool_configure(true, 4);
    std::vector<std::atomic<int>> hits(10000);
    vyr::parallel_for(hits.size(), [&](std::size_t i) { hits[i]++; });
    for (auto& h : hits)
        EXPECT_EQ(h.load(), 1);
    std::vector<int> owner(1001, -1);
    std::size_t parts = vyr::parallel_ranges(owner.size(), 100, [&](std::size_t b, std::size_t e,
                                                                    std::size_t p) {
        for (std::size_t i = b; i < e; ++i)
            owner[i] = static_cast<int>(p);
    });
    EXPECT_EQ(parts, 4u);
    for (std::size_t i = 1; i < owner.size(); ++i)
        EXPECT_TRUE(owner[i] == owner[i - 1] || owner[i] == owner[i - 1] + 1);
    EXPECT_EQ(owner.front(), 0);
    EXPECT_EQ(owner.back(), 3);
}

TEST_F(PoolTest, FirstExceptionReachesTheCaller)
{
    vyr::pool_configure(true, 4);
    std::atomic<int> ran{0};
    EXPECT_THROW(vyr::parallel_for(1000,
                                   [&](std::size_t i) {
                                       ran++;
                                       if (i == 10)
                                           throw std::runtime_error("task 10");
                                   }),
                 std::runtime_error);
    // The pool stays usable.
    std::atomic<int> after{0};
    vyr::parallel_for(100, [&](std::size_t) { after++; });
    EXPECT_EQ(after.load(), 100);
}

TEST_F(PoolTest, NothreadsRunsInOrderOnTheCallingThread)
{
    vyr::pool_configure(false, 8);
    EXPECT_EQ(vyr::pool_width(), 1u);
    std::vector<std::size_t> order;
    const auto self = std::this_thread::get_id();
    vyr::parallel_for(50, [&](std::size_t i) {
        EXPECT_EQ(std::this_thread::get_id(), self);
        order.push_back(i);
    });
    ASSERT_EQ(order.size(), 50u);
    for (std::size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(order[i], i);
}

TEST_F(PoolTest, NestedLoopsRunInlineAndCpucountCapsTheThreads)
{
    vyr::pool_configure(true, 3);
    std::mutex m;
    std::set<std::thread::id> ids;
    std::atomic<int> inner{0};
    vyr::parallel_for(64, [&](std::size_t) {
        EXPECT_EQ(vyr::pool_width(), 1u);
        vyr::parallel_for(10, [&](std::size_t) { inner++; });
        std::lock_guard<std::mutex> g(m);
        ids.insert(std::this_thread::get_id());
    });
    EXPECT_EQ(inner.load(), 640);
    EXPECT_LE(ids.size(), 3u);
}

TEST_F(PoolTest, ThreadsThatCannotStartLeaveTheWorkToTheCaller)
{
    vyr::pool_configure(true, 64);
    vyr::pool_fail_thread_starts(1000);
    std::atomic<int> ran{0};
    vyr::parallel_for(500, [&](std::size_t) { ran++; });
    EXPECT_EQ(ran.load(), 500);
    EXPECT_LT(vyr::pool_width(), 64u);
}

// Members of a team meet at a barrier of the team's size: a team whose
// members did not all run at once would never pass it.
std::size_t meet(std::size_t n, std::set<std::size_t>* members)
{
    std::mutex m;
    std::condition_variable cv;
    std::size_t arrived = 0;
    std::set<std::thread::id> ids;
    const std::size_t size = vyr::parallel_team(n, [&](std::size_t i, std::size_t sz) {
        std::unique_lock<std::mutex> lock(m);
        members->insert(i);
        ids.insert(std::this_thread::get_id());
        ++arrived;
        cv.notify_all();
        cv.wait(lock, [&] { return arrived == sz; });
    });
    EXPECT_EQ(ids.size(), size);
    return size;
}

TEST_F(PoolTest, TeamMembersRunAtOnceOnThreadsOfTheirOwn)
{
    struct Case {
        bool threads;
        unsigned cpus;
        std::size_t n;
        std::size_t size;
    } cases[] = {
        {true, 4, 10, 4}, // as many members as threads
        {true, 4, 2, 2},  // fewer members than threads
        {true, 6, 6, 6},
        {false, 8, 5, 1}, // NOTHREADS: member 0 alone
    };
    for (const Case& c : cases) {
        vyr::pool_configure(c.threads, c.cpus);
        std::set<std::size_t> members;
        EXPECT_EQ(meet(c.n, &members), c.size) << c.cpus << " " << c.n;
        EXPECT_EQ(members.size(), c.size);
        EXPECT_EQ(*members.rbegin(), c.size - 1);
    }
    // Inside a pool task a team has one member, run inline.
    vyr::pool_configure(true, 4);
    std::atomic<std::size_t> inner{0};
    vyr::parallel_for(8, [&](std::size_t) {
        inner += vyr::parallel_team(3, [&](std::size_t i, std::size_t sz) {
            EXPECT_EQ(i, 0u);
            EXPECT_EQ(sz, 1u);
        });
    });
    EXPECT_EQ(inner.load(), 8u);
}

TEST_F(PoolTest, ATeamShrinksToTheThreadsThatStarted)
{
    vyr::pool_configure(true, 200);
    vyr::pool_fail_thread_starts(1000);
    std::set<std::size_t> members;
    const std::size_t size = meet(200, &members);
    EXPECT_GE(size, 1u);
    EXPECT_LT(size, 200u);
    EXPECT_EQ(members.size(), size);
}

} // namespace

// A process limited to some cores (a container's cpuset, `taskset`) counts
// those cores, not the machine's: otherwise CPUCOUNT= would start more
// threads than it can run at once.
TEST(MachineCores, CountsTheCoresTheProcessMayRunOn)
{
    cpu_set_t saved;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &saved)) {
            CPU_SET(c, &one);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const unsigned limited = vyr::machine_cores();
    ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
    EXPECT_EQ(limited, 1u);
    EXPECT_EQ(vyr::machine_cores(), static_cast<unsigned>(CPU_COUNT(&saved)));
}

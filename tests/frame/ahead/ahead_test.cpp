// Items prepared ahead on the pool and used in order on the calling thread:
// the order, the threads, the memory bound, failed preparations, a consumer
// that throws, and one thread.
#include "common/ahead.h"
#include "vyr_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using korv_ahead::Prepared;

namespace
{

class Ahead : public ::testing::Test
{
  protected:
    void SetUp() override { vyr::pool_configure(true, 4); }
    void TearDown() override { vyr::pool_configure(true, std::thread::hardware_concurrency()); }
};

// What happened to each item, written under a lock by whichever thread.
struct Log {
    std::mutex lock;
    std::vector<int> prepared, consumed, released;
    std::vector<Prepared> how;
    std::vector<std::thread::id> preparedOn;
    explicit Log(std::size_t n) : prepared(n), consumed(n), released(n), how(n), preparedOn(n) {}
};

} // namespace

TEST_F(Ahead, ItemsAreConsumedInOrderOnTheCallingThreadAndPreparedOnOthers)
{
    const std::size_t n = 40;
    Log log(n);
    std::vector<std::size_t> order;
    const auto caller = std::this_thread::get_id();
    std::vector<int64_t> bytes(n, 1);
    std::atomic<int> anyPrepared{0};
    korv_ahead::run(
        n, bytes, 8,
        [&](std::size_t i) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::lock_guard<std::mutex> g(log.lock);
            ++log.prepared[i];
            log.preparedOn[i] = std::this_thread::get_id();
            anyPrepared = 1;
            return true;
        },
        [&](std::size_t i, Prepared how) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            // However slowly the pool's threads wake, the later items are
            // prepared ahead while the first is consumed.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (i == 0 && !anyPrepared && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            order.push_back(i);
            log.how[i] = how;
        },
        [&](std::size_t i) { ++log.released[i]; });
    ASSERT_EQ(order.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_EQ(log.released[i], 0);
        // Prepared ahead: once, on a pool thread; else never prepared.
        if (log.how[i] == Prepared::Ahead) {
            EXPECT_EQ(log.prepared[i], 1);
            EXPECT_NE(log.preparedOn[i], caller);
        } else {
            EXPECT_EQ(log.prepared[i], 0);
        }
    }
    EXPECT_GT(std::count(log.how.begin(), log.how.end(), Prepared::Ahead), 0);
}

TEST_F(Ahead, PreparedItemsNotYetConsumedStayWithinTheBudget)
{
    const std::size_t n = 30;
    std::vector<int64_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = 10 + static_cast<int64_t>(i % 3) * 15; // 10, 25, 40
    const int64_t budget = 60;
    std::atomic<int64_t> held{0}, most{0};
    std::vector<Prepared> how(n);
    korv_ahead::run(
        n, bytes, budget,
        [&](std::size_t i) {
            const int64_t now = held += bytes[i];
            int64_t m = most.load();
            while (now > m && !most.compare_exchange_weak(m, now)) {
            }
            return true;
        },
        [&](std::size_t i, Prepared h) {
            how[i] = h;
            // A slow consumer: the preparers run into the budget.
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            if (h == Prepared::Ahead)
                held -= bytes[i];
        },
        [](std::size_t) {});
    EXPECT_LE(most.load(), budget);
    EXPECT_EQ(held.load(), 0);
    // An item larger than the budget is still prepared when nothing is held.
    std::vector<int64_t> big(4, 1000);
    int ahead = 0;
    korv_ahead::run(
        4, big, 10,
        [](std::size_t) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            return true;
        },
        [&](std::size_t, Prepared h) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ahead += h == Prepared::Ahead;
        },
        [](std::size_t) {});
    EXPECT_GE(ahead, 1);
}

TEST_F(Ahead, AFailedOrThrowingPreparationLeavesTheItemToTheConsumer)
{
    const std::size_t n = 24;
    std::vector<int64_t> bytes(n, 1);
    std::vector<Prepared> how(n, Prepared::Ahead);
    std::vector<int> consumed(n, 0);
    korv_ahead::run(
        n, bytes, 4,
        [&](std::size_t i) {
            if (i % 3 == 1)
                return false;
            if (i % 3 == 2)
                throw std::runtime_error("no memory");
            return true;
        },
        [&](std::size_t i, Prepared h) {
            how[i] = h;
            ++consumed[i];
        },
        [](std::size_t) {});
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(consumed[i], 1);
        if (i % 3 != 0) {
            EXPECT_EQ(how[i], Prepared::No) << i;
        }
    }
}

TEST_F(Ahead, AConsumerThatThrowsStopsTheRunAndEveryPreparedItemIsConsumedOrReleased)
{
    for (int round = 0; round < 20; ++round) {
        const std::size_t n = 16;
        Log log(n);
        std::vector<int64_t> bytes(n, 1);
        EXPECT_THROW(korv_ahead::run(
                         n, bytes, 6,
                         [&](std::size_t i) {
                             std::lock_guard<std::mutex> g(log.lock);
                             ++log.prepared[i];
                             return true;
                         },
                         [&](std::size_t i, Prepared h) {
                             if (i == 5)
                                 throw std::runtime_error("output failed");
                             log.how[i] = h;
                             ++log.consumed[i];
                         },
                         [&](std::size_t i) { ++log.released[i]; }),
                     std::runtime_error);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_LE(log.consumed[i] + log.released[i], 1) << i;
            if (i > 5) {
                EXPECT_EQ(log.consumed[i], 0);
            }
            // The item whose consumer threw was handed over: it is not released.
            if (i != 5 && log.prepared[i] == 1) {
                EXPECT_EQ(log.consumed[i] + log.released[i], 1) << i;
            }
        }
    }
}

TEST_F(Ahead, OneThreadConsumesEveryItemUnpreparedInOrder)
{
    vyr::pool_configure(false, 1);
    std::vector<std::size_t> order;
    int prepared = 0;
    std::vector<int64_t> bytes(5, 1);
    korv_ahead::run(
        5, bytes, 100,
        [&](std::size_t) {
            ++prepared;
            return true;
        },
        [&](std::size_t i, Prepared h) {
            EXPECT_EQ(h, Prepared::No);
            order.push_back(i);
        },
        [](std::size_t) {});
    EXPECT_EQ(prepared, 0);
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

// Fewer items than threads, consumed at once: the calling thread, done with
// them, may take a member of the team nobody has taken yet, and must leave it.
TEST_F(Ahead, AFewQuickItemsOnManyThreadsAlwaysFinish)
{
    vyr::pool_configure(true, 8);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 2 + round % 3;
        std::vector<int64_t> bytes(n, 1);
        std::size_t consumed = 0;
        korv_ahead::run(
            n, bytes, 100, [](std::size_t) { return true; },
            [&](std::size_t i, Prepared) { EXPECT_EQ(i, consumed++); }, [](std::size_t) {});
        ASSERT_EQ(consumed, n);
    }
}

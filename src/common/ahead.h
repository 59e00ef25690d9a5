// Items prepared ahead on the host's thread pool and used in order on the
// calling thread: the strata of a BY group are reread and ranked by the pool
// while the calling thread estimates and writes the ones before them, so the
// output keeps the order and the content it has when all runs on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace korv_ahead
{

// What the calling thread is handed for each item, in order.
enum class Prepared {
    Ahead, // prepare(i) ran (on a pool thread) and succeeded
    No,    // nobody prepared it, or preparing it failed: the consumer does it itself
};

// Runs consume(i, how) for i = 0 .. n-1 in order on the calling thread, while
// the pool's other threads run prepare(i) for the items after it, in order
// of i. prepare must touch nothing the consumer touches and say whether it
// succeeded; it never throws (an exception counts as a failure). Items
// prepared and not yet consumed may hold at most `budget` bytes together
// (bytes[i] each), but one item is always allowed. release(i) frees an item
// that was prepared but never consumed, when consume threw: the exception is
// rethrown once every thread has stopped. With one thread (NOTHREADS, or
// inside a pool task) every item reaches consume unprepared, in order.
void run(std::size_t n, const std::vector<int64_t>& bytes, int64_t budget,
         const std::function<bool(std::size_t)>& prepare,
         const std::function<void(std::size_t, Prepared)>& consume,
         const std::function<void(std::size_t)>& release);

} // namespace korv_ahead

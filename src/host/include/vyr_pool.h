// The host's one pool of worker threads. Every parallel loop of the host and
// of the procedure runs on it, so the THREADS/NOTHREADS and CPUCOUNT= options
// hold everywhere. Implemented in src/host/kernel/pool.cpp.
#pragma once

#include <cstddef>
#include <functional>

namespace vyr
{

// Sets how many threads parallel work may use: 1 when threads are off,
// else cpucount (at least 1). The session calls it whenever THREADS or
// CPUCOUNT= change; until then the pool uses the machine's core count.
void pool_configure(bool threads, unsigned cpucount);

// The cores this process may run on: the processors of its CPU affinity
// (a container or `taskset` limits them), else the machine's count; at least
// 1. It is the default of CPUCOUNT= and of the pool's width.
unsigned machine_cores();

// The number of threads a parallel loop started now may use (the calling
// thread included): 1 under NOTHREADS, inside a pool task, or when no worker
// thread could be started.
unsigned pool_width();

// Runs body(i) for every i in [0, n), spread over the pool's threads and the
// calling thread, and returns when all have run. Tasks are handed out in
// increasing order of i. If a task throws, the tasks not yet started are
// skipped and the first exception is rethrown here, on the calling thread.
// Called from inside a task, or with one thread, it runs the tasks in order
// on the calling thread.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body);

// Splits [0, n) into at most pool_width() contiguous ranges of at least
// `grain` items and runs body(begin, end, part) for each; `part` numbers the
// ranges from 0 in order. Returns the number of ranges used.
std::size_t parallel_ranges(std::size_t n, std::size_t grain,
                            const std::function<void(std::size_t, std::size_t, std::size_t)>& body);

// Runs body(i, size) for every member i in [0, size) of a team, each member
// on a thread of its own and all of them at the same time (the calling
// thread among them), and returns size when all have returned. size is the
// number of threads the pool can give the team now, at most n: 1 under
// NOTHREADS, inside a pool task, while another loop runs or when no worker
// thread could be started; then only member 0 runs, on the calling thread.
// Members may therefore wait for each other (a reader handing buffers to
// workers, say), provided no member waits for one whose index is size or
// more. If a member throws, the members not yet started are skipped and the
// first exception is rethrown here once the others have returned, so a
// member that throws must first release any member waiting for it.
std::size_t parallel_team(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Test hook: makes the next `count` attempts to start a worker thread fail,
// as they do when the process may start no more threads.
void pool_fail_thread_starts(unsigned count);

} // namespace vyr

// Times the walk of one cell's cumulative incidence (the core alone, the
// records already in time order and gathered): ROWS records (default 10
// million) of distinct times, three causes and censoring, the incidence of
// cause 1 with the Aalen-type and the delta-method variance, with a table row
// and its limits at every event time of cause 1, and without rows (the
// estimates alone). Prints the best and the median of RUNS runs (default 5),
// wall and thread CPU time, and the last row.
// Measured by hand:
//   bench_cif [ROWS] [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "cmprisk/cmprisk.h"

namespace
{

double cpuNow()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Last : korv_cr::CifSink {
    korv_cr::CifRow row{};
    long rows = 0;
    void tableRow(const korv_cr::CifRow& r) override
    {
        row = r;
        ++rows;
    }
};

} // namespace

int main(int argc, char** argv)
{
    const long n = argc > 1 ? std::atol(argv[1]) : 10000000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::mt19937_64 g(31);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<double> time(static_cast<size_t>(n)), freq(static_cast<size_t>(n), 1.0);
    std::vector<int32_t> cat(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i) {
        time[static_cast<size_t>(i)] = static_cast<double>(i + 1);
        const double x = u(g);
        cat[static_cast<size_t>(i)] = x < 0.3 ? 1 : x < 0.5 ? 2 : x < 0.6 ? 3 : 0;
    }
    korv_cr::Span span;
    span.time = time.data();
    span.freq = freq.data();
    span.cat = cat.data();
    span.n = n;
    const korv_cr::Gathered cell(span, 4);
    const int roles[4] = {0, 1, 2, 2};
    std::printf("%ld records, distinct times\n", n);
    for (int error : {0, 1})
        for (bool rows : {true, false}) {
            korv_cr::CifSettings s;
            s.error = error;
            s.table = rows;
            s.nrisk = static_cast<double>(n);
            s.maxtime = static_cast<double>(n);
            std::vector<double> wall, cpu;
            Last sink;
            for (int r = 0; r < runs; ++r) {
                sink = Last{};
                const auto w0 = std::chrono::steady_clock::now();
                const double c0 = cpuNow();
                korv_cr::cifWalk(s, cell.view, roles, 4, sink);
                cpu.push_back(cpuNow() - c0);
                wall.push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
            }
            std::sort(wall.begin(), wall.end());
            std::sort(cpu.begin(), cpu.end());
            const size_t mid = (static_cast<size_t>(runs) - 1) / 2;
            std::printf(
                "%s, %s: %ld rows, wall best %.1f ms median %.1f ms, CPU best %.1f ms median %.1f "
                "ms; last CIF %.17g, error %.17g\n",
                error ? "delta" : "aalen", rows ? "table rows" : "no rows", sink.rows,
                1e3 * wall[0], 1e3 * wall[mid], 1e3 * cpu[0], 1e3 * cpu[mid], sink.row.cif,
                sink.row.err);
        }
    return 0;
}

// Times the smoothed hazard's bandwidth search on N distinct event times
// (default 100,000): Brent's search of the MISE over [0.2, 20] pilot
// bandwidths, then the 101 grid points of the estimate with its variance, for
// each kernel. Measured by hand:
//   bench_smoothed [N] [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "estimate/korvkrn.h"
#include "runtime/missing.h"

namespace
{

double seconds(std::chrono::steady_clock::time_point a)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

} // namespace

int main(int argc, char** argv)
{
    const long n = argc > 1 ? std::atol(argv[1]) : 100000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    // Event times of an exponential sample with censoring: the risk set
    // falls from 1.4 n.
    std::mt19937_64 g(109);
    std::exponential_distribution<double> e(0.01);
    std::vector<double> t(static_cast<size_t>(n));
    for (double& x : t)
        x = e(g);
    std::sort(t.begin(), t.end());
    t.erase(std::unique(t.begin(), t.end()), t.end());
    std::vector<double> dH(t.size()), dV(t.size());
    for (size_t i = 0; i < t.size(); ++i) {
        const double at = 1.4 * static_cast<double>(n) - static_cast<double>(i) * 1.3;
        dH[i] = 1 / at;
        dV[i] = 1 / (at * at);
    }
    static const char* names[] = {"Epanechnikov", "uniform", "biweight"};
    std::printf("%zu event times\n", t.size());
    for (int kernel = 0; kernel < 3; ++kernel) {
        SMOOTHED s{};
        s.kernel = kernel;
        korvkrn(&s);
        s.t = t.data();
        s.dH = dH.data();
        s.dvarH = dV.data();
        s.njmp = static_cast<long>(t.size());
        s.tl = 0;
        s.tr = t.back();
        s.nmingrid = 51;
        s.ngrid = 101;
        s.bl = s.br = korv_missing();
        double best = 1e300, b = 0;
        for (int r = 0; r < runs; ++r) {
            auto a = std::chrono::steady_clock::now();
            if (korv_mise_minimum(&s, static_cast<double>(n), &b) != 0)
                std::printf("search failed\n");
            double sum = 0;
            for (int k = 0; k < s.ngrid; ++k) {
                double v = 0;
                sum += varhaz(korv_smoothed_grid_point(s.tl, s.tr, s.ngrid, k), b, &s, &v) + v;
            }
            best = std::min(best, seconds(a));
            if (sum < 0)
                std::printf("?\n");
        }
        std::printf("%-12s search and 101 points: best of %d %.3f s (bandwidth %.4g, pilot %.4g)\n",
                    names[kernel], runs, best, b, s.bwpilot);
    }
    return 0;
}

// Times the comparison engine on log-rank-like scores of k strata (a
// covariance whose rows sum to zero, rank k - 1): every method, single-step
// and step-down, with one thread and with every core. Measured by hand:
//   bench_mcomp [KMAX] [RUNS]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "mcomp/qxmclsm.h"
#include "mcomp/zmclsm.h"
#include "runtime/missing.h"
#include "vyr_host.h"
#include "vyr_kernel.h"
#include "vyr_pool.h"

namespace
{

// Scores and a zero-row-sum covariance (packed lower) for k strata.
void example(int k, std::vector<double>& U, std::vector<double>& V)
{
    std::mt19937 g(20261207 + k);
    std::normal_distribution<double> N;
    std::vector<double> A(static_cast<size_t>(k) * k), W(static_cast<size_t>(k) * k);
    for (double& a : A)
        a = N(g);
    for (int i = 0; i < k; ++i)
        for (int j = 0; j < k; ++j) {
            double s = i == j ? k : 0;
            for (int l = 0; l < k; ++l)
                s += A[static_cast<size_t>(i) * k + l] * A[static_cast<size_t>(j) * k + l];
            W[static_cast<size_t>(i) * k + j] = s;
        }
    std::vector<double> rm(static_cast<size_t>(k));
    double tot = 0;
    for (int i = 0; i < k; ++i)
        for (int j = 0; j < k; ++j) {
            rm[static_cast<size_t>(i)] += W[static_cast<size_t>(i) * k + j] / k;
            tot += W[static_cast<size_t>(i) * k + j] / (static_cast<double>(k) * k);
        }
    V.clear();
    U.assign(static_cast<size_t>(k), 0);
    for (int i = 0; i < k; ++i) {
        for (int j = 0; j <= i; ++j)
            V.push_back(W[static_cast<size_t>(i) * k + j] - rm[static_cast<size_t>(i)] -
                        rm[static_cast<size_t>(j)] + tot);
        U[static_cast<size_t>(i)] = 2.0 * N(g);
    }
    double mean = 0;
    for (double u : U)
        mean += u / k;
    for (double& u : U)
        u -= mean;
}

double run(int k, int method, int step, int runs)
{
    std::vector<double> U, V;
    example(k, U, V);
    POOLHANDLE* pool = xmpoolc(0, 1024, 6);
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        ZMCLSMI lmc;
        std::memset(&lmc, 0, sizeof lmc);
        lmc.nl = k;
        lmc.type = QXMCLSM_ALL;
        lmc.method = method;
        lmc.step = step;
        lmc.stepcsize = -1;
        lmc.stepmaxtime = 60;
        lmc.pool = pool;
        lmc.p = 0.05;
        lmc.acc = 0.005;
        lmc.eps = 0.01;
        lmc.tinc = 1000;
        lmc.seed = 1;
        lmc.dfe = korv_missing();
        lmc.rmse = 1;
        lmc.var = V.data();
        lmc.mean = U.data();
        const auto t0 = std::chrono::steady_clock::now();
        zmclsm(&lmc);
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    xmpoold(pool);
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const int kmax = argc > 1 ? std::atoi(argv[1]) : 8;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    Exported_QXHandle = vyr_kernel_handle();
    korv_mcomp_register_engine();
    struct M {
        const char* name;
        int method, step;
    } methods[] = {{"raw", QXMCLSM_T, 0},
                   {"bonferroni", QXMCLSM_BON, 0},
                   {"scheffe", QXMCLSM_F, 0},
                   {"tukey", QXMCLSM_EXACT, 0},
                   {"tukey free", QXMCLSM_EXACT, 1},
                   {"tukey logical", QXMCLSM_EXACT, 2},
                   {"simulate", QXMCLSM_SIM, 0},
                   {"simulate logical", QXMCLSM_SIM, 2}};
    std::printf("%-18s %3s %12s %12s\n", "method", "k", "1 thread s", "all cores s");
    for (int k = 4; k <= kmax; k += 2)
        for (const M& m : methods) {
            if (m.step == 2 && k > 8)
                continue;
            vyr::pool_configure(false, 1);
            const double one = run(k, m.method, m.step, runs);
            vyr::pool_configure(true, std::thread::hardware_concurrency());
            const double all = run(k, m.method, m.step, runs);
            std::printf("%-18s %3d %12.3f %12.3f\n", m.name, k, one, all);
        }
    return 0;
}

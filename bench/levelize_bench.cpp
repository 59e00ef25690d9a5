// Levelization benchmark: the levels of four classification variables of a
// generated data set found on the task thread alone and with worker tasks.
//   bench_levelize FILE ROWS                 writes the data set (and its attribute file)
//   bench_levelize run FILE [WORKERS [REPEAT]]  times zlevrgi on it with 0 (one
//                                               thread) and WORKERS workers
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "levelize/zlevint.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_kernel.h"
#include "vyr_pool.h"

namespace
{

int generate(const char* path, long rows)
{
    std::FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    std::mt19937_64 rng(7);
    std::string buf = "arm,site,dose,name\n";
    const char* arms[] = {"A", "B", "CTL"};
    char line[128];
    for (long i = 0; i < rows; ++i) {
        const int n =
            std::snprintf(line, sizeof line, "%s,%d,%.3f,patient%04d\n", arms[rng() % 3],
                          static_cast<int>(rng() % 200), static_cast<double>(rng() % 5000) / 7.0,
                          static_cast<int>(rng() % 2000));
        buf.append(line, static_cast<size_t>(n));
        if (buf.size() > (1u << 22)) {
            std::fwrite(buf.data(), 1, buf.size(), f);
            buf.clear();
        }
    }
    std::fwrite(buf.data(), 1, buf.size(), f);
    std::fclose(f);
    std::string attr(path);
    attr = attr.substr(0, attr.size() - 4) + ".attr";
    if (std::FILE* a = std::fopen(attr.c_str(), "wb")) {
        std::fputs("variable dose format=8.1\n", a);
        std::fclose(a);
    }
    return 0;
}

double once(DSHANDLE* ds, int workers)
{
    const char* names[] = {"arm", "site", "dose", "name"};
    std::vector<ZLEVVAR> clas(4);
    for (int j = 0; j < 4; ++j) {
        clas[j] = ZLEVVAR{};
        clas[j].n = xvname(ds, xvfind(ds, names[j]));
        clas[j].order = 'M';
        clas[j].vlen = -1;
    }
    ZLEVMOD m{};
    m.clas = {4, clas.data()};
    m.order = 'M';
    m.vlen = -1;
    POOLHANDLE* pool = xmpoolc(0, 1024, 0);
    ZLEVDAT d{};
    d.fid = ds;
    d.pool = pool;
    ZLEVREGI r{};
    r.d = &d;
    r.m = &m;
    ZLEVREADPARMS rp{};
    if (workers > 0) {
        vyr::pool_configure(true, static_cast<unsigned>(workers) + 1);
        rp.nThreads = workers;
        r.readParm = &rp;
        r.threading = 1;
    }
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = zlevrgi(&r);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  %d workers: %.3f s, rc %d, levels %d %d %d %d%s\n", workers, s, rc, clas[0].nlev,
                clas[1].nlev, clas[2].nlev, clas[3].nlev, r.threading ? " (threaded)" : "");
    xmpoold(pool);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) != "run")
        return generate(argv[1], std::atol(argv[2]));
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_levelize FILE ROWS | run FILE [WORKERS [REPEAT]]\n");
        return 2;
    }
    Exported_QXHandle = vyr_kernel_handle();
    DSHANDLE* ds = nullptr;
    if (vyr_dsopen_path(argv[2], VYR_DS_INPUT, &ds) != 0)
        return 1;
    xbynext(ds);
    const int workers = argc > 3 ? std::atoi(argv[3]) : 3;
    const int repeat = argc > 4 ? std::atoi(argv[4]) : 3;
    for (int k = 0; k < repeat; ++k) {
        once(ds, 0);
        once(ds, workers);
    }
    return 0;
}

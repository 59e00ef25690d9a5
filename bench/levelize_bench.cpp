// Levelization benchmark: the levels of four classification variables of a
// generated data set found on the task thread alone and with worker tasks.
//   bench_levelize FILE ROWS                 writes the data set (and its attribute file)
//   bench_levelize run FILE [WORKERS [REPEAT]]  times zlevrgi on it with 0 (one
//                                               thread) and WORKERS workers
//   bench_levelize effects FILE [WORKERS [REPEAT]]
//       times zlevrgi of a model with effects (arm*site, name(arm), site):
//       the levels and the effect-level pass, on one thread and with
//       WORKERS workers; then the crossproducts of the model arm site
//       arm*site with dose as the response (one column per effect).
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

// The model with effects: arm (0), site (1), dose (2), name (3).
double effects_once(DSHANDLE* ds, int workers, bool fit)
{
    const char* names[] = {"arm", "site", "dose", "name"};
    std::vector<ZLEVVAR> clas(4);
    for (int j = 0; j < 4; ++j) {
        clas[j] = ZLEVVAR{};
        clas[j].n = xvname(ds, xvfind(ds, names[j]));
        clas[j].order = 'M';
        clas[j].vlen = -1;
    }
    int armSite[2] = {0, 1}, site[1] = {1}, name[1] = {3}, arm[1] = {0};
    std::vector<ZLEVETRM> ef(3);
    for (auto& e : ef)
        e = ZLEVETRM{};
    ef[0].ncros = ef[0].nclas = 2;
    ef[0].cros = ef[0].clas = armSite;
    ef[1].ncros = 1;
    ef[1].cros = name;
    ef[1].nnest = 1;
    ef[1].nest = arm;
    int nameArm[2] = {3, 0};
    ef[1].nclas = 2;
    ef[1].clas = nameArm;
    ef[2].ncros = ef[2].nclas = 1;
    ef[2].cros = ef[2].clas = site;
    ZLEVMOD m{};
    m.clas = {fit ? 2 : 4, clas.data()};
    m.nef = fit ? 1 : 3;
    m.ef = fit ? &ef[0] : ef.data();
    m.order = 'M';
    m.vlen = -1;
    m.opt[0] = static_cast<char>(ZLEV_OPT0_NONAMES);
    POOLHANDLE* pool = xmpoolc(0, 1024, 0);
    ZLEVDAT d{};
    d.fid = ds;
    d.pool = pool;
    ZLEVVAR y{};
    y.n = xvname(ds, xvfind(ds, "dose"));
    ZLEVREGI r{};
    r.d = &d;
    r.m = &m;
    r.y = {1, &y};
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
    if (!fit) {
        std::printf("  %d workers: %.3f s, rc %d, combinations %d %d %d%s\n", workers, s, rc,
                    ef[0].nlev, ef[1].nlev, ef[2].nlev, rp.eworkers ? " (threaded)" : "");
    } else {
        const auto t1 = std::chrono::steady_clock::now();
        zlevfit(&r, ZLEV_FIT_XPX);
        const double f =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
        std::printf("  crossproducts of %d columns over %ld observations: %.3f s\n", m.p,
                    static_cast<long>(r.n), f);
    }
    xmpoold(pool);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    const bool effects = argc >= 3 && std::string(argv[1]) == "effects";
    if (argc >= 3 && std::string(argv[1]) != "run" && !effects)
        return generate(argv[1], std::atol(argv[2]));
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: bench_levelize FILE ROWS | run|effects FILE [WORKERS [REPEAT]]\n");
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
        if (effects) {
            effects_once(ds, 0, false);
            effects_once(ds, workers, false);
        } else {
            once(ds, 0);
            once(ds, workers);
        }
    }
    if (effects)
        effects_once(ds, 0, true);
    return 0;
}

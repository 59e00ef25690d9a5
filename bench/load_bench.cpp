// Data-load and sort benchmark.
//   bench_load generate FILE ROWS   writes a CSV of ROWS rows (about 20 bytes each)
//   bench_load attr FILE            writes FILE's attribute file naming its size and
//                                   digest, as an output data set's names them, so that
//                                   a load also checks the pair
//   bench_load load FILE [REPEAT [THREADS]]
//                                   times reading FILE as a data set, every column
//                                   (THREADS: the pool's width; default every core)
//   bench_load sort ROWS            times sorting ROWS 48-byte records by two keys
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/data/data_internal.h"
#include "vyr_data.h"
#include "vyr_pool.h"
#include "vyr_sort.h"

namespace
{

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int generate(const char* path, long rows)
{
    std::FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    std::mt19937_64 rng(42);
    std::string buf = "id,time,status,arm\n";
    const char* arms[] = {"A", "B", "CTL"};
    char line[96];
    for (long i = 1; i <= rows; ++i) {
        double t = static_cast<double>(rng() % 1000000) / 100.0;
        int st = static_cast<int>(rng() % 3);
        int n = std::snprintf(line, sizeof line, "%ld,%.2f,%d,%s\n", i, t, st, arms[rng() % 3]);
        buf.append(line, static_cast<size_t>(n));
        if (buf.size() > (1u << 22)) {
            std::fwrite(buf.data(), 1, buf.size(), f);
            buf.clear();
        }
    }
    std::fwrite(buf.data(), 1, buf.size(), f);
    return std::fclose(f) == 0 ? 0 : 1;
}

// The attribute file beside `path` (ending in .csv) naming its size and digest.
int write_attr(const char* path)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    std::string bytes;
    char buf[1 << 16];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        bytes.append(buf, n);
    std::fclose(f);
    const std::string attr = vyr::data::sidecar_path(path);
    std::FILE* a = std::fopen(attr.c_str(), "wb");
    if (!a) {
        std::perror(attr.c_str());
        return 1;
    }
    std::fprintf(
        a, "# csv size=%zu digest=%s\n", bytes.size(),
        vyr::data::digest_text(vyr::data::digest_bytes(bytes.data(), bytes.size())).c_str());
    return std::fclose(a) == 0 ? 0 : 1;
}

int load(const char* path, int repeat, unsigned threads)
{
    if (threads > 0)
        vyr::pool_configure(true, threads);
    double best = 1e9;
    for (int r = 0; r < repeat; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        DSHANDLE* ds = nullptr;
        if (vyr_dsopen_path(path, VYR_DS_INPUT, &ds) != 0 || ds == nullptr)
            return 1;
        double open = seconds_since(t0);
        // A large file opens with types and lengths only; reading every
        // column's values is the rest of the load.
        for (vyr::data::Column& c : ds->table.cols)
            c.wanted = true;
        if (!vyr::data::load_columns(ds->table, -1))
            return 1;
        double s = seconds_since(t0);
        best = std::min(best, s);
        std::printf("load %d: %.3f s (open %.3f s), %ld observations, %zu variables\n", r + 1, s,
                    open, vyr_dsnobs(ds), vyr::data::columns(ds).size());
        vyr_data_step_end(true);
    }
    std::printf("best load time: %.3f s\n", best);
    return 0;
}

int sort(long rows)
{
    std::mt19937_64 rng(7);
    const size_t L = 48;
    std::vector<unsigned char> recs(static_cast<size_t>(rows) * L);
    for (long i = 0; i < rows; ++i) {
        double rec[6] = {
            static_cast<double>(rng() % 10), 0, static_cast<double>(rng() % 100000) / 7.0,
            static_cast<double>(i),          0, 0};
        std::memcpy(&recs[static_cast<size_t>(i) * L], rec, L);
    }
    SORVDSTR one{16, 8, SORT_KEY_DOUBLE, 1};
    auto t0 = std::chrono::steady_clock::now();
    vyr::sort::sort_records(recs.data(), static_cast<size_t>(rows), L, &one, 1);
    std::printf("sort %ld records by one key: %.3f s\n", rows, seconds_since(t0));
    SORVDSTR two[2] = {{0, 8, SORT_KEY_DOUBLE, 1}, {16, 8, SORT_KEY_DOUBLE, 1}};
    t0 = std::chrono::steady_clock::now();
    vyr::sort::sort_records(recs.data(), static_cast<size_t>(rows), L, two, 2);
    std::printf("sort %ld records by two keys: %.3f s\n", rows, seconds_since(t0));
    return 0;
}

struct Feed {
    std::vector<double> in;
    size_t next = 0;
    size_t out = 0;
    double check = 0;
};

int feed_in(SORTSTR* info, void** rec, long* len)
{
    auto* f = static_cast<Feed*>(info->user);
    if (f->next * 6 >= f->in.size())
        return 1;
    *rec = &f->in[f->next++ * 6];
    *len = 48;
    return 0;
}

int feed_out(SORTSTR* info, const void* rec, long)
{
    auto* f = static_cast<Feed*>(info->user);
    double d;
    std::memcpy(&d, static_cast<const char*>(rec) + 16, 8);
    f->check += d;
    ++f->out;
    return 0;
}

// The whole sort service: records in and out through the caller's routines.
int zsort_bench(long rows)
{
    Feed f;
    std::mt19937_64 rng(9);
    f.in.resize(static_cast<size_t>(rows) * 6);
    for (long i = 0; i < rows; ++i) {
        f.in[static_cast<size_t>(i) * 6] = static_cast<double>(rng() % 4);
        f.in[static_cast<size_t>(i) * 6 + 1] = static_cast<double>(rng() % 3);
        f.in[static_cast<size_t>(i) * 6 + 2] = static_cast<double>(rng() % 100000) / 7.0;
    }
    SORVDSTR keys[3] = {
        {0, 8, SORT_KEY_DOUBLE, 1}, {8, 8, SORT_KEY_DOUBLE, 1}, {16, 8, SORT_KEY_DOUBLE, 1}};
    ZSORTSTR z;
    z.info.user = &f;
    z.info.seqin = feed_in;
    z.info.seqout = feed_out;
    z.info.nvar = 3;
    z.info.v = keys;
    auto t0 = std::chrono::steady_clock::now();
    int rc = zsortap(&z);
    std::printf("sort service, %ld records of 48 bytes by three keys: %.3f s (rc %d, %zu out)\n",
                rows, seconds_since(t0), rc, f.out);
    return rc == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "generate") == 0)
        return generate(argv[2], std::atol(argv[3]));
    if (argc >= 3 && std::strcmp(argv[1], "attr") == 0)
        return write_attr(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "load") == 0)
        return load(argv[2], argc >= 4 ? std::atoi(argv[3]) : 3,
                    argc >= 5 ? static_cast<unsigned>(std::atoi(argv[4])) : 0);
    if (argc >= 3 && std::strcmp(argv[1], "sort") == 0)
        return sort(std::atol(argv[2])) | zsort_bench(std::atol(argv[2]));
    std::fprintf(
        stderr,
        "usage: bench_load generate FILE ROWS | attr FILE | load FILE [REPEAT [THREADS]] | sort "
        "ROWS\n");
    return 2;
}

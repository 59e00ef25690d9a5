// Writes the data set of the speed benchmark, without any library: time,
// status, a 5-level character group, three numeric strata variables, a
// weight, a frequency and `many`, a numeric variable of LEVELS levels (the
// many-strata case). The same arguments give the same file.
// Usage: bench_gen FILE ROWS [LEVELS [SEED]]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

// splitmix64: small, fast and good enough for test data.
struct Rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_gen FILE ROWS [LEVELS [SEED]]\n");
        return 2;
    }
    const long long rows = std::atoll(argv[2]);
    const int levels = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1000;
    Rng rng{argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 20261206ull};
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    static const char* const names[] = {"alpha", "bravo", "charlie", "delta", "echo"};
    std::fputs("time,status,group,s1,s2,s3,w,f,many\n", out);
    std::string line;
    for (long long i = 0; i < rows; ++i) {
        const int g = rng.below(5);
        const double rate = 0.01 * (1.0 + 0.1 * g);
        const long long t =
            static_cast<long long>(std::ceil(-std::log(1.0 - rng.uniform()) / rate));
        const long long c = static_cast<long long>(std::ceil(rng.uniform() * 400.0));
        const int status = t <= c ? 1 : 0;
        const long long time = std::max(1LL, std::min(t, c));
        const int s1 = rng.below(3), s2 = rng.below(4);
        const double s3 = std::round(rng.uniform() * 100.0) / 10.0;
        const double w = 0.5 + std::round(rng.uniform() * 1500.0) / 1000.0;
        const int f = 1 + rng.below(3);
        const int many = rng.below(levels);
        char buf[160];
        const int n = std::snprintf(buf, sizeof buf, "%lld,%d,%s,%d,%d,%.1f,%.3f,%d,%d\n", time,
                                    status, names[g], s1, s2, s3, w, f, many);
        std::fwrite(buf, 1, static_cast<size_t>(n), out);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}

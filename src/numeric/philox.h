// A counter-based random-number generator: Philox-4x32 with ten rounds
// (Salmon, Moraes, Dror and Shaw, "Parallel random numbers: as easy as 1, 2,
// 3", SC 2011). Draw number c of stream `key` is a pure function of (key, c),
// so a simulation that numbers its draws gives the same numbers whatever
// order or thread computes them: results do not depend on the thread count.
#pragma once

#include <cstdint>

namespace korv_rng
{

struct Philox4x32 {
    uint32_t v[4];
};

// The four 32-bit words of block `counter` (a 128-bit counter given as two
// 64-bit halves) of the stream keyed by `key`.
inline Philox4x32 philox(uint64_t key, uint64_t counterLo, uint64_t counterHi)
{
    uint32_t c0 = static_cast<uint32_t>(counterLo), c1 = static_cast<uint32_t>(counterLo >> 32);
    uint32_t c2 = static_cast<uint32_t>(counterHi), c3 = static_cast<uint32_t>(counterHi >> 32);
    uint32_t k0 = static_cast<uint32_t>(key), k1 = static_cast<uint32_t>(key >> 32);
    for (int round = 0; round < 10; ++round) {
        const uint64_t p0 = static_cast<uint64_t>(0xD2511F53u) * c0;
        const uint64_t p1 = static_cast<uint64_t>(0xCD9E8D57u) * c2;
        const uint32_t n0 = static_cast<uint32_t>(p1 >> 32) ^ c1 ^ k0;
        const uint32_t n1 = static_cast<uint32_t>(p1);
        const uint32_t n2 = static_cast<uint32_t>(p0 >> 32) ^ c3 ^ k1;
        const uint32_t n3 = static_cast<uint32_t>(p0);
        c0 = n0;
        c1 = n1;
        c2 = n2;
        c3 = n3;
        k0 += 0x9E3779B9u;
        k1 += 0xBB67AE85u;
    }
    return {{c0, c1, c2, c3}};
}

// Two uniforms strictly inside (0, 1) with 53 random bits each, from block
// (counterLo, counterHi) of stream `key`.
inline void philox_uniform2(uint64_t key, uint64_t counterLo, uint64_t counterHi, double* u)
{
    const Philox4x32 r = philox(key, counterLo, counterHi);
    for (int i = 0; i < 2; ++i) {
        const uint64_t bits =
            ((static_cast<uint64_t>(r.v[2 * i]) << 32) | r.v[2 * i + 1]) >> 11; // 53 bits
        u[i] = (static_cast<double>(bits) + 0.5) * (1.0 / 9007199254740992.0);
    }
}

} // namespace korv_rng

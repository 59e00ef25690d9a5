// The rank index of survival records, computed without a comparison sort in
// the usual case. Records are ordered by time, ascending; at equal times the
// larger signed frequency goes first (events, then zero frequencies, then
// censored records with the smaller magnitude first); records that are still
// equal keep their input order. The index lists the 1-based record numbers
// in that order, an entry negated when the record at the next position has
// the same time and the same status (both events or both censored).
//
// Header-only so that every room that ranks records shares one algorithm
// without linking to the frame's library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace korv_rank_detail
{

// An unsigned key whose order is the numeric order of the double (for every
// value but NaN, which gets a fixed place); -0 and +0 share a key.
inline uint64_t order_key(double v)
{
    if (v == 0)
        v = 0;
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return (b >> 63) ? ~b : (b | (uint64_t(1) << 63));
}

// Is record a placed before record b (time, then the larger frequency)?
inline bool before(const double* time, const double* freq, int64_t a, int64_t b)
{
    const uint64_t ta = order_key(time[a]), tb = order_key(time[b]);
    if (ta != tb)
        return ta < tb;
    return order_key(freq[a]) > order_key(freq[b]);
}

// Within [lo, hi) of equal times, puts the larger frequency first, keeping
// the input order of equal ones. Most stretches are in order already.
inline void order_by_frequency(const double* freq, int64_t* lo, int64_t* hi)
{
    if (hi - lo < 2)
        return;
    auto desc = [freq](int64_t a, int64_t c) { return order_key(freq[a]) > order_key(freq[c]); };
    if (!std::is_sorted(lo, hi, desc))
        std::stable_sort(lo, hi, desc);
}

// Survival times repeat a great deal: the distinct times are found through a
// small hash table, ranked, and the records placed by counting into bucket
// 2r (the events of the r-th time) or 2r + 1 (its other records). Returns
// 0, with nothing written, when there are too many distinct times for that;
// 1 with the order in out; 2 with the finished rank index (when every event
// has one frequency and every other record one negative frequency, a bucket
// needs no reordering and its records are one tie group). With 2, the
// records are also copied into rank order where `copy` says (see
// RankCopies), as they are placed.
struct RankCopies {
    const double* weight = nullptr; // copied when both are given
    double* rtime = nullptr;
    double* rfreq = nullptr;
    double* rweight = nullptr;
};
inline int rank_by_buckets(const double* time, const double* freq, int64_t* out, int64_t n,
                           const RankCopies& copy = RankCopies{})
{
    const uint64_t empty = ~uint64_t(0); // the key of no double but one NaN
    const int64_t limit = std::max<int64_t>(1024, n / 16);
    // Open addressing, grown by doubling while at most half full.
    int bits = 10;
    std::vector<uint64_t> keys(size_t(1) << bits, empty);
    auto find = [&keys, &bits, empty](uint64_t k) {
        const size_t mask = keys.size() - 1;
        size_t s = static_cast<size_t>((k * 0x9E3779B97F4A7C15ull) >> (64 - bits));
        while (keys[s] != k && keys[s] != empty)
            s = (s + 1) & mask;
        return s;
    };
    const uint64_t zero = order_key(0.0);
    uint64_t event = 0, other = 0; // the frequency key of each kind
    bool hasEvent = false, hasOther = false, uniform = true, grown = false;
    int64_t distinct = 0;
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t k = order_key(time[i]);
        if (k == empty)
            return 0;
        const uint64_t fk = order_key(freq[i]);
        const bool isEvent = fk > zero;
        uint64_t& seen = isEvent ? event : other;
        bool& has = isEvent ? hasEvent : hasOther;
        if (!has || seen != fk) {
            uniform = uniform && !has && fk != zero;
            has = true;
            seen = fk;
        }
        size_t s = find(k);
        if (keys[s] == empty) {
            if (++distinct > limit)
                return 0;
            keys[s] = k;
            if (2 * static_cast<size_t>(distinct) > keys.size()) {
                std::vector<uint64_t> old(keys.size() * 2, empty);
                old.swap(keys);
                ++bits;
                for (uint64_t o : old)
                    if (o != empty)
                        keys[find(o)] = o;
                s = find(k);
                grown = true;
            }
        }
        out[i] = static_cast<int64_t>(s); // the slot, until the records are placed
    }
    if (grown) // the slots noted before the table grew moved
        for (int64_t i = 0; i < n; ++i)
            out[i] = static_cast<int64_t>(find(order_key(time[i])));
    std::vector<uint64_t> u;
    u.reserve(static_cast<size_t>(distinct));
    for (uint64_t k : keys)
        if (k != empty)
            u.push_back(k);
    std::sort(u.begin(), u.end());
    std::vector<int64_t> value(keys.size(), 0);
    for (size_t r = 0; r < u.size(); ++r)
        value[find(u[r])] = 2 * static_cast<int64_t>(r);
    std::vector<int64_t> start(2 * u.size() + 1, 0);
    for (int64_t i = 0; i < n; ++i)
        ++start[static_cast<size_t>(value[static_cast<size_t>(out[i])] +
                                    (order_key(freq[i]) > zero ? 0 : 1)) +
                1];
    for (size_t b = 1; b < start.size(); ++b)
        start[b] += start[b - 1];
    {
        std::vector<int64_t> next(start.begin(), start.end() - 1);
        // The copies are made here only when the placing is the order.
        const bool copies = uniform && copy.rtime && copy.rfreq;
        const bool weights = copies && copy.weight && copy.rweight;
        for (int64_t i = 0; i < n; ++i) {
            const int64_t b = value[find(order_key(time[i]))] + (order_key(freq[i]) > zero ? 0 : 1);
            const int64_t p = next[static_cast<size_t>(b)]++;
            out[p] = i;
            if (copies) {
                copy.rtime[p] = time[i];
                copy.rfreq[p] = freq[i];
                if (weights)
                    copy.rweight[p] = copy.weight[i];
            }
        }
    }
    if (!uniform) {
        for (size_t b = 0; b + 1 < start.size(); ++b)
            order_by_frequency(freq, out + start[b], out + start[b + 1]);
        return 1;
    }
    for (size_t b = 0; b + 1 < start.size(); ++b) {
        const int64_t lo = start[b], hi = start[b + 1];
        for (int64_t p = lo; p < hi; ++p)
            out[p] = p + 1 < hi ? -(out[p] + 1) : out[p] + 1;
    }
    return 2;
}

// Any times: a sort of (time key, record) pairs, then the frequency order
// within each run of equal times.
inline void rank_by_sort(const double* time, const double* freq, int64_t* out, int64_t n)
{
    std::vector<std::pair<uint64_t, int64_t>> v(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i)
        v[static_cast<size_t>(i)] = {order_key(time[i]), i};
    std::sort(v.begin(), v.end());
    for (int64_t i = 0; i < n; ++i)
        out[i] = v[static_cast<size_t>(i)].second;
    int64_t lo = 0;
    for (int64_t i = 1; i <= n; ++i)
        if (i == n || v[static_cast<size_t>(i)].first != v[static_cast<size_t>(lo)].first) {
            order_by_frequency(freq, out + lo, out + i);
            lo = i;
        }
}

} // namespace korv_rank_detail

// Fills out[0..n-1] with the rank index of the records (see above). Returns
// true when it also made the copies in rank order that `copy` asks for
// (counting placed them; otherwise the caller gathers them through out).
inline bool korv_rank_order(const double* time, const double* freq, int64_t* out, int64_t n,
                            const korv_rank_detail::RankCopies& copy = {})
{
    using namespace korv_rank_detail;
    if (n < 1)
        return false;
    bool sorted = true;
    for (int64_t i = 1; i < n && sorted; ++i)
        sorted = !before(time, freq, i, i - 1);
    if (sorted) {
        for (int64_t i = 0; i < n; ++i)
            out[i] = i;
    } else {
        const int done = rank_by_buckets(time, freq, out, n, copy);
        if (done == 2)
            return copy.rtime && copy.rfreq;
        if (done == 0)
            rank_by_sort(time, freq, out, n);
    }
    for (int64_t p = 0; p + 1 < n; ++p) {
        const int64_t r = out[p], s = out[p + 1];
        const bool tied = order_key(time[r]) == order_key(time[s]) &&
                          ((freq[r] > 0 && freq[s] > 0) || (freq[r] < 0 && freq[s] < 0));
        out[p] = tied ? -(r + 1) : r + 1;
    }
    out[n - 1] += 1;
    return false;
}

// The competing-risks records of a BY group as the estimation and the test
// read them: the data pass leaves them cell by cell (stratum, then GROUP=
// level) in column arrays; here each cell is put in time order, once per BY
// group, and the test takes the cells it compares together, time by time.
//
// The times are ranked without a comparison sort: distinct times through a
// hash table and the records placed by counting when times repeat, a radix
// sort of the time keys otherwise. Every pass is split over the host's
// thread pool, each part keeping the order of its records, so the result is
// the same whatever the number of threads.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "cmprisk/cmprisk.h"
#include "common/rankorder.h"
#include "common/strata.h"
#include "numeric/exactsum.h"
#include "runtime/korv_assert.h"
#include "runtime/xccheck.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_pool.h"

namespace korv_cr
{
namespace
{

using korv_rank_detail::order_key;

// Contiguous parts of [0, n) for the pool's threads, at least `grain` each.
std::vector<size_t> parts(size_t n, size_t grain)
{
    size_t p =
        std::max<size_t>(1, std::min<size_t>(vyr::pool_width(), n / std::max<size_t>(grain, 1)));
    std::vector<size_t> at(p + 1);
    for (size_t i = 0; i <= p; ++i)
        at[i] = n * i / p;
    return at;
}

// Stable counting sort: out[k] lists the positions j of `in` (in[j] a
// record number) by bucket(in[j]) in [0, nb), keeping their order within a
// bucket.
template <class Bucket>
void countingSort(const std::vector<uint32_t>& in, size_t nb, Bucket bucket,
                  std::vector<uint32_t>& out)
{
    const size_t n = in.size();
    out.resize(n);
    const std::vector<size_t> at = parts(n, 1 << 16);
    const size_t np = at.size() - 1;
    std::vector<uint32_t> count(np * nb, 0);
    vyr::parallel_for(np, [&](size_t p) {
        uint32_t* c = &count[p * nb];
        for (size_t j = at[p]; j < at[p + 1]; ++j)
            ++c[bucket(in[j])];
    });
    // Bucket by bucket, part by part: the offsets that keep the order.
    uint32_t sum = 0;
    for (size_t b = 0; b < nb; ++b)
        for (size_t p = 0; p < np; ++p) {
            const uint32_t c = count[p * nb + b];
            count[p * nb + b] = sum;
            sum += c;
        }
    vyr::parallel_for(np, [&](size_t p) {
        uint32_t* c = &count[p * nb];
        for (size_t j = at[p]; j < at[p + 1]; ++j)
            out[c[bucket(in[j])]++] = in[j];
    });
}

// A hash table of distinct keys (open addressing; ~0 is the key of no
// finite time).
struct KeyTable {
    static constexpr uint64_t EMPTY = ~uint64_t(0);
    int bits = 10;
    std::vector<uint64_t> keys;
    size_t count = 0;
    // A table with room for `expected` keys before it grows.
    explicit KeyTable(size_t expected = 0)
    {
        while ((size_t(1) << bits) < 2 * expected + 2)
            ++bits;
        keys.assign(size_t(1) << bits, EMPTY);
    }
    size_t slot(uint64_t k) const
    {
        const size_t mask = keys.size() - 1;
        size_t s = static_cast<size_t>((k * 0x9E3779B97F4A7C15ull) >> (64 - bits));
        while (keys[s] != k && keys[s] != EMPTY)
            s = (s + 1) & mask;
        return s;
    }
    void add(uint64_t k)
    {
        size_t s = slot(k);
        if (keys[s] != EMPTY)
            return;
        keys[s] = k;
        if (2 * ++count > keys.size()) {
            std::vector<uint64_t> old(keys.size() * 2, EMPTY);
            old.swap(keys);
            ++bits;
            for (uint64_t o : old)
                if (o != EMPTY)
                    keys[slot(o)] = o;
        }
    }
};

// The record numbers in time order (stable), from the records' time keys.
// The radix sort works in `key` and `spare` (the two buffers it passes the
// keys between), so neither is left in any useful order; `spare` may be
// grown to the records' number, and is then the caller's to reuse.
std::vector<uint32_t> timeOrder(std::vector<uint64_t>& key, std::vector<uint64_t>& spare)
{
    const size_t n = key.size();
    std::vector<uint32_t> idx(n);
    std::iota(idx.begin(), idx.end(), 0u);
    if (n < 2 || std::is_sorted(key.begin(), key.end()))
        return idx;

    // Counting needs times that repeat: at most one distinct time in eight
    // records. A first look at a few thousand records tells when times hardly
    // repeat (more than one distinct in four), and the radix sort is taken at
    // once.
    const size_t limit = std::max<size_t>(1024, n / 8);
    bool counting = true;
    {
        const size_t m = std::min<size_t>(n, 4096);
        KeyTable sample(m);
        for (size_t i = 0; i < m; ++i)
            sample.add(key[i * (n / m)]);
        counting = m < 1024 || sample.count * 4 <= m;
    }
    // The distinct times, each part on its own, then together.
    const std::vector<size_t> at = parts(n, 1 << 16);
    const size_t np = at.size() - 1;
    std::vector<uint64_t> distinct;
    if (counting) {
        std::vector<KeyTable> local(np);
        std::vector<char> over(np, 0);
        vyr::parallel_for(np, [&](size_t p) {
            for (size_t i = at[p]; i < at[p + 1] && !over[p]; ++i) {
                local[p].add(key[i]);
                over[p] = local[p].count > limit;
            }
        });
        counting = std::find(over.begin(), over.end(), 1) == over.end();
        // The parts' keys come in the order of their slots, which bunches
        // them in a smaller table: the table is made large enough at once.
        size_t total = 0;
        for (const KeyTable& t : local)
            total += t.count;
        KeyTable all(std::min(total, limit + 1));
        for (size_t p = 0; p < np && counting; ++p)
            for (uint64_t k : local[p].keys)
                if (k != KeyTable::EMPTY) {
                    all.add(k);
                    if (all.count > limit) {
                        counting = false;
                        break;
                    }
                }
        if (counting) {
            for (uint64_t k : all.keys)
                if (k != KeyTable::EMPTY)
                    distinct.push_back(k);
            std::sort(distinct.begin(), distinct.end());
            std::vector<uint32_t> rankOf(all.keys.size(), 0);
            for (size_t r = 0; r < distinct.size(); ++r)
                rankOf[all.slot(distinct[r])] = static_cast<uint32_t>(r);
            std::vector<uint32_t> rank(n);
            vyr::parallel_for(np, [&](size_t p) {
                for (size_t i = at[p]; i < at[p + 1]; ++i)
                    rank[i] = rankOf[all.slot(key[i])];
            });
            std::vector<uint32_t> out;
            countingSort(
                idx, distinct.size(), [&](uint32_t i) { return rank[i]; }, out);
            return out;
        }
    }

    // Radix sort of the keys, 11 bits at a time, passing over digits that
    // every key shares; the keys travel with their record numbers, so that
    // every pass reads in order.
    constexpr int DIGIT = 11;
    constexpr size_t NB = size_t(1) << DIGIT;
    std::vector<uint64_t>& k1 = key;
    std::vector<uint64_t>& k2 = spare;
    k2.resize(n);
    std::vector<uint32_t> idx2(n);
    std::vector<uint32_t> count(np * NB);
    for (int shift = 0; shift < 64; shift += DIGIT) {
        auto digit = [shift](uint64_t k) { return static_cast<size_t>((k >> shift) & (NB - 1)); };
        std::fill(count.begin(), count.end(), 0u);
        vyr::parallel_for(np, [&](size_t p) {
            uint32_t* c = &count[p * NB];
            for (size_t j = at[p]; j < at[p + 1]; ++j)
                ++c[digit(k1[j])];
        });
        size_t nonEmpty = 0;
        for (size_t b = 0; b < NB && nonEmpty < 2; ++b)
            for (size_t p = 0; p < np; ++p)
                if (count[p * NB + b]) {
                    ++nonEmpty;
                    break;
                }
        if (nonEmpty < 2)
            continue;
        uint32_t sum = 0;
        for (size_t b = 0; b < NB; ++b)
            for (size_t p = 0; p < np; ++p) {
                const uint32_t c = count[p * NB + b];
                count[p * NB + b] = sum;
                sum += c;
            }
        vyr::parallel_for(np, [&](size_t p) {
            uint32_t* c = &count[p * NB];
            for (size_t j = at[p]; j < at[p + 1]; ++j) {
                const uint32_t to = c[digit(k1[j])]++;
                k2[to] = k1[j];
                idx2[to] = idx[j];
            }
        });
        k1.swap(k2);
        idx.swap(idx2);
    }
    return idx;
}

// The cell of a record (stratum, then group), or false when the record
// names a stratum or group outside the group's: the data pass wrote ordinal
// positions, so such a record is not what the pass left.
bool cellOf(const CRRECORD& r, int64_t ns, int64_t ng, bool byStratum, bool byGroup, uint32_t* cell)
{
    const double s = byStratum ? r.stratum : 0, g = byGroup ? r.group : 0;
    if (!(s >= 0 && s < static_cast<double>(ns) && g >= 0 && g < static_cast<double>(ng)))
        return false;
    *cell = static_cast<uint32_t>(static_cast<int64_t>(s) * ng + static_cast<int64_t>(g));
    return true;
}

// The stable order of a cell's records by time, in place: the time keys
// are ranked as above, and the fields moved through a copy of the cell made
// in the sort's own buffers (no more memory than the ranking took).
void sortCell(double* time, double* freq, int32_t* cat, int64_t n)
{
    if (n < 2)
        return;
    const auto m = static_cast<size_t>(n);
    std::vector<uint64_t> key(m), spare;
    for (size_t i = 0; i < m; ++i)
        key[i] = order_key(time[i]);
    if (std::is_sorted(key.begin(), key.end()))
        return;
    const std::vector<uint32_t> idx = timeOrder(key, spare);
    spare.resize(m);
    std::memcpy(spare.data(), time, m * sizeof(double));
    for (size_t j = 0; j < m; ++j)
        time[j] = std::bit_cast<double>(spare[idx[j]]);
    std::memcpy(spare.data(), freq, m * sizeof(double));
    for (size_t j = 0; j < m; ++j)
        freq[j] = std::bit_cast<double>(spare[idx[j]]);
    for (size_t j = 0; j < m; ++j)
        key[j] = static_cast<uint32_t>(cat[j]);
    for (size_t j = 0; j < m; ++j)
        cat[j] = static_cast<int32_t>(static_cast<uint32_t>(key[idx[j]]));
}

[[noreturn]] void unordered(KorvPtr q)
{
    xpmlog(326, msg326::CR_UNORDERED);
    xexit(std::max(q->rc, 1020), 0);
}

} // namespace

bool order(const CRRECORD* rec, size_t n, bool byStratum, int nStrata, bool byGroup, int nGroup,
           std::vector<uint32_t>& idx)
{
    if (n > UINT32_MAX)
        return false;
    std::vector<uint64_t> key(n), spare;
    for (size_t i = 0; i < n; ++i)
        key[i] = order_key(rec[i].time);
    idx = timeOrder(key, spare);
    const int64_t ns = byStratum ? std::max(nStrata, 1) : 1;
    const int64_t ng = byGroup ? std::max(nGroup, 1) : 1;
    if (ns * ng <= 1)
        return true;
    std::vector<uint32_t> cell(n);
    for (size_t i = 0; i < n; ++i)
        if (!cellOf(rec[i], ns, ng, byStratum, byGroup, &cell[i]))
            return false;
    std::vector<uint32_t> out;
    countingSort(
        idx, static_cast<size_t>(ns * ng), [&](uint32_t i) { return cell[i]; }, out);
    idx.swap(out);
    return true;
}

Span sortRecords(KorvPtr q)
{
    CMPRISK* c = q->cmprisk;
    CRCOLUMNS* cols = c->columns;
    if (!cols || cols->n != c->ntot || !c->meta)
        unordered(q);
    if (!cols->sorted) {
        // The cells must tile the columns, each after the one before.
        const int64_t ncell = static_cast<int64_t>(c->nStrata) * c->nGroup;
        int64_t at = 0;
        for (int64_t k = 0; k < ncell; ++k) {
            const double* cell = c->meta[k / c->nGroup][k % c->nGroup];
            if (cell[cr_cell::FIRST] != static_cast<double>(at) || !(cell[cr_cell::RECORDS] >= 0))
                unordered(q);
            at += static_cast<int64_t>(cell[cr_cell::RECORDS]);
        }
        if (at != cols->n)
            unordered(q);
        // Each cell by time: the cells side by side, or one cell with the
        // pool's threads.
        auto one = [&](size_t k) {
            const double* cell = c->meta[k / c->nGroup][k % c->nGroup];
            const auto lo = static_cast<int64_t>(cell[cr_cell::FIRST]);
            sortCell(cols->time + lo, cols->freq + lo, cols->cat + lo,
                     static_cast<int64_t>(cell[cr_cell::RECORDS]));
        };
        if (ncell == 1)
            one(0);
        else
            vyr::parallel_for(static_cast<size_t>(ncell), one);
        cols->sorted = 1;
    }
    Span all;
    all.time = cols->time;
    all.freq = cols->freq;
    all.cat = cols->cat;
    all.n = cols->n;
    return all;
}

Timed gather(const Span& span, int ncat, double* time, uint32_t* start, int32_t* cat,
             double* amount, double* ahead)
{
    // The amounts of the categories of one time, and which were met.
    std::vector<double> acc(static_cast<size_t>(ncat) + 1, 0.0);
    std::vector<int32_t> met;
    int64_t d = 0, e = 0, i = 0;
    while (i < span.n) {
        const double t = span.time[i];
        KORV_ASSERT(i == 0 || span.time[i - 1] < t, "a cell's records are in time order");
        do {
            int32_t c = span.cat[i];
            if (c < 0 || c >= ncat)
                c = -1;
            double& a = acc[static_cast<size_t>(c + 1)];
            if (a == 0 && std::find(met.begin(), met.end(), c) == met.end())
                met.push_back(c);
            a += span.freq[i];
            ++i;
        } while (i < span.n && span.time[i] == t);
        time[d] = t;
        start[d] = static_cast<uint32_t>(e);
        std::sort(met.begin(), met.end());
        for (int32_t c : met) {
            double& a = acc[static_cast<size_t>(c + 1)];
            cat[e] = c;
            amount[e] = a;
            ++e;
            a = 0;
        }
        met.clear();
        ++d;
    }
    start[d] = static_cast<uint32_t>(e);
    KORV_ASSERT(d <= span.n && e <= span.n, "a cell's times and entries fit its records' room");
    // The amounts still ahead, from the last time back, their rounding kept
    // for fractional frequencies; whole frequencies add exactly.
    korv_num::ExactSum sum;
    ahead[d] = 0;
    for (int64_t j = d - 1; j >= 0; --j) {
        for (uint32_t x = start[j]; x < start[j + 1]; ++x)
            sum.add(amount[x]);
        ahead[j] = sum.value();
    }
    return Timed{time, start, cat, amount, ahead, d};
}

const Timed* cellTables(KorvPtr q)
{
    CMPRISK* c = q->cmprisk;
    const Span all = sortRecords(q);
    CRCOLUMNS* cols = c->columns;
    if (cols->stage)
        return static_cast<const Timed*>(cols->stage);
    const int64_t ncell = static_cast<int64_t>(c->nStrata) * c->nGroup;
    const int64_t room = std::max<int64_t>(all.n, 1);
    auto* tables = static_cast<Timed*>(
        xmalloc_or_exit(q->polnode, std::max<int64_t>(ncell, 1) * sizeof(Timed), 0x3006));
    auto* time = static_cast<double*>(xmalloc_or_exit(q->polnode, room * 8, 0x3004));
    auto* amount = static_cast<double*>(xmalloc_or_exit(q->polnode, room * 8, 0x3004));
    auto* cat = static_cast<int32_t*>(xmalloc_or_exit(q->polnode, room * 4, 0x3004));
    auto* start = static_cast<uint32_t*>(xmalloc_or_exit(q->polnode, (room + ncell) * 4, 0x3004));
    auto* ahead = static_cast<double*>(xmalloc_or_exit(q->polnode, (room + ncell) * 8, 0x3004));
    // Each cell into the arrays from its first record on (its start and
    // ahead lists one place further for each cell before it), the cells side
    // by side.
    vyr::parallel_for(static_cast<size_t>(ncell), [&](size_t k) {
        const double* cell = c->meta[k / c->nGroup][k % c->nGroup];
        const auto lo = static_cast<int64_t>(cell[cr_cell::FIRST]);
        const int64_t shifted = lo + static_cast<int64_t>(k);
        tables[k] = gather(all.sub(lo, static_cast<int64_t>(cell[cr_cell::RECORDS])), c->ncat,
                           time + lo, start + shifted, cat + lo, amount + lo, ahead + shifted);
    });
    cols->stage = tables;
    return tables;
}

} // namespace korv_cr

// The competing-risks records on file and in the paged record store: their
// order by stratum, group and time, the sorted utility files of the
// estimation and the test, and the pages they are loaded into.
//
// Every result of a file or page service is checked: a short read, a failed
// write or a page that cannot be had ends the step (1020), so that no stage
// ever goes on with partial records.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "cmprisk/cmprisk.h"
#include "common/rankorder.h"
#include "common/strata.h"
#include "runtime/xccheck.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace korv_cr
{
namespace
{

using korv_rank_detail::order_key;

// Stable counting sort of `idx` by bucket(idx) in [0, nb).
template <class Bucket>
void countingPass(std::vector<uint32_t>& idx, size_t nb, Bucket bucket)
{
    std::vector<uint32_t> start(nb + 1, 0);
    for (uint32_t i : idx)
        ++start[bucket(i) + 1];
    for (size_t b = 1; b <= nb; ++b)
        start[b] += start[b - 1];
    std::vector<uint32_t> out(idx.size());
    for (uint32_t i : idx)
        out[start[bucket(i)]++] = i;
    idx.swap(out);
}

// The records in time order (stable): the distinct times ranked through a
// hash table and the records placed by counting when times repeat enough,
// else a radix sort of the time keys.
std::vector<uint32_t> timeOrder(const CRRECORD* rec, size_t n)
{
    std::vector<uint32_t> idx(n);
    std::iota(idx.begin(), idx.end(), 0u);
    if (n < 2)
        return idx;
    bool sorted = true;
    for (size_t i = 1; i < n && sorted; ++i)
        sorted = order_key(rec[i - 1].time) <= order_key(rec[i].time);
    if (sorted)
        return idx;

    // Distinct times through open addressing (slots noted per record).
    const uint64_t empty = ~uint64_t(0); // the key of no finite time
    const size_t limit = std::max<size_t>(1024, n / 8);
    int bits = 10;
    std::vector<uint64_t> table(size_t(1) << bits, empty);
    auto find = [&](uint64_t k) {
        const size_t mask = table.size() - 1;
        size_t s = static_cast<size_t>((k * 0x9E3779B97F4A7C15ull) >> (64 - bits));
        while (table[s] != k && table[s] != empty)
            s = (s + 1) & mask;
        return s;
    };
    std::vector<uint32_t> slot(n);
    size_t distinct = 0;
    bool bucketed = true;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t k = order_key(rec[i].time);
        size_t s = find(k);
        if (table[s] == empty) {
            if (++distinct > limit) {
                bucketed = false;
                break;
            }
            table[s] = k;
            if (2 * distinct > table.size()) {
                std::vector<uint64_t> old(table.size() * 2, empty);
                old.swap(table);
                ++bits;
                for (uint64_t o : old)
                    if (o != empty)
                        table[find(o)] = o;
                for (size_t j = 0; j < i; ++j)
                    slot[j] = static_cast<uint32_t>(find(order_key(rec[j].time)));
                s = find(k);
            }
        }
        slot[i] = static_cast<uint32_t>(s);
    }
    if (bucketed) {
        std::vector<uint64_t> keys;
        keys.reserve(distinct);
        for (uint64_t k : table)
            if (k != empty)
                keys.push_back(k);
        std::sort(keys.begin(), keys.end());
        std::vector<uint32_t> rank(table.size(), 0);
        for (size_t r = 0; r < keys.size(); ++r)
            rank[find(keys[r])] = static_cast<uint32_t>(r);
        for (size_t i = 0; i < n; ++i)
            slot[i] = rank[slot[i]];
        countingPass(idx, keys.size(), [&](uint32_t i) { return slot[i]; });
        return idx;
    }

    // Radix sort of the keys, 11 bits at a time, passing over digits that
    // every key shares.
    std::vector<uint64_t> key(n), key2(n);
    for (size_t i = 0; i < n; ++i)
        key[i] = order_key(rec[i].time);
    std::vector<uint32_t> idx2(n);
    constexpr int DIGIT = 11;
    constexpr size_t NB = size_t(1) << DIGIT;
    std::vector<uint32_t> count(NB);
    for (int shift = 0; shift < 64; shift += DIGIT) {
        std::fill(count.begin(), count.end(), 0u);
        for (size_t i = 0; i < n; ++i)
            ++count[(key[i] >> shift) & (NB - 1)];
        if (count[(key[0] >> shift) & (NB - 1)] == n)
            continue;
        uint32_t sum = 0;
        for (size_t b = 0; b < NB; ++b) {
            const uint32_t c = count[b];
            count[b] = sum;
            sum += c;
        }
        for (size_t i = 0; i < n; ++i) {
            const uint32_t p = count[(key[i] >> shift) & (NB - 1)]++;
            key2[p] = key[i];
            idx2[p] = idx[i];
        }
        key.swap(key2);
        idx.swap(idx2);
    }
    return idx;
}

} // namespace

bool order(const CRRECORD* rec, size_t n, bool byStratum, int nStrata, bool byGroup, int nGroup,
           std::vector<uint32_t>& idx)
{
    if (n > UINT32_MAX)
        return false;
    const int64_t ns = byStratum ? std::max(nStrata, 1) : 1;
    const int64_t ng = byGroup ? std::max(nGroup, 1) : 1;
    // The cell of each record; the data pass wrote ordinal positions, so a
    // value outside them means the records are not what the pass left.
    std::vector<uint32_t> cell;
    if (ns * ng > 1) {
        cell.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const double s = byStratum ? rec[i].stratum : 0, g = byGroup ? rec[i].group : 0;
            if (!(s >= 0 && s < static_cast<double>(ns) && g >= 0 && g < static_cast<double>(ng)))
                return false;
            cell[i] = static_cast<uint32_t>(static_cast<int64_t>(s) * ng + static_cast<int64_t>(g));
        }
    }
    idx = timeOrder(rec, n);
    if (!cell.empty())
        countingPass(idx, static_cast<size_t>(ns * ng), [&](uint32_t i) { return cell[i]; });
    return true;
}

void openUtility(XCFILE** file)
{
    if (*file)
        return;
    XCREQUEST request;
    request.recordLength = sizeof(CRRECORD);
    if (xcopen(file, &request) < 0) {
        *file = nullptr;
        xpmlog(326, msg326::UTILITY_OPEN);
        xexit(1020, 0);
    }
}

void sortRecords(KorvPtr q, XCFILE* out, bool byStratum, bool byGroup)
{
    CMPRISK* c = q->cmprisk;
    const int64_t n = c->ntot;
    std::vector<CRRECORD> rec(static_cast<size_t>(n));
    check_file(xcpoint(q->utid, 0));
    check_file(xcread(q->utid, rec.data(), static_cast<long>(n * sizeof(CRRECORD))));
    std::vector<uint32_t> idx;
    if (!order(rec.data(), rec.size(), byStratum, c->nStrata, byGroup, c->nGroup, idx)) {
        xpmlog(326, msg326::CR_UNORDERED);
        xexit(std::max(q->rc, 1020), 0);
    }
    check_file(xcpoint(out, -2));
    constexpr size_t BLOCK = 4096;
    std::vector<CRRECORD> buf(std::min<size_t>(BLOCK, rec.size()));
    size_t used = 0;
    for (uint32_t i : idx) {
        buf[used++] = rec[i];
        if (used == BLOCK) {
            check_file(xcwrite(out, buf.data(), static_cast<long>(used * sizeof(CRRECORD))));
            used = 0;
        }
    }
    if (used > 0)
        check_file(xcwrite(out, buf.data(), static_cast<long>(used * sizeof(CRRECORD))));
}

void seekRecord(XCFILE* file, double first)
{
    // A noted position is the byte offset plus one.
    check_file(xcpntd(file, first * static_cast<double>(sizeof(CRRECORD)) + 1));
}

void loadRecords(KorvPtr q, XCFILE* in, int64_t n)
{
    XCBSTR* s = q->cmprisk->xcb;
    const int64_t nrpp = s->nrpp;
    if (nrpp < 1)
        xexit(1020, 0);
    CRRECORD marker{};
    marker.time = END_MARKER_TIME;
    int64_t page = 0, left = n;
    for (;;) {
        ++page;
        char* p = nullptr;
        check_file(xcbgetp(s->fileptr, static_cast<long>(page), 16, &p));
        const int64_t r = std::min(left, nrpp);
        if (r > 0)
            check_file(xcread(in, p, static_cast<long>(r * sizeof(CRRECORD))));
        left -= r;
        // The end marker follows the last record, on a page of its own when
        // the last page is full.
        if (r < nrpp) {
            std::memcpy(p + r * sizeof(CRRECORD), &marker, sizeof marker);
            check_file(xcbwrtp(s->fileptr, static_cast<long>(page)));
            s->npage = page;
            s->lastleft = r + 1;
            return;
        }
        check_file(xcbwrtp(s->fileptr, static_cast<long>(page)));
    }
}

StoreView::StoreView(XCBSTR* xcb) : xcb_(xcb)
{
    for (int64_t p = 1; p <= xcb->npage; ++p) {
        char* a = nullptr;
        check_file(xcbgetp(xcb->fileptr, static_cast<long>(p), 0, &a));
        int64_t n = p < xcb->npage ? xcb->nrpp : xcb->lastleft - 1; // no end marker
        chunks_.push_back(Chunk{reinterpret_cast<const CRRECORD*>(a), std::max<int64_t>(n, 0)});
    }
}

StoreView::~StoreView()
{
    // Giving a page back cannot fail for a page that was taken; a failure is
    // still logged.
    for (size_t p = 1; p <= chunks_.size(); ++p) {
        const int rc = xcbmlok(xcb_->fileptr, static_cast<long>(p));
        if (rc != 0)
            xprrlog(0, rc);
    }
}

std::vector<Chunk> StoreView::range(int64_t first, int64_t n) const
{
    std::vector<Chunk> out;
    int64_t at = 0;
    for (const Chunk& ch : chunks_) {
        if (at >= first + n)
            break;
        const int64_t lo = std::max(first, at), hi = std::min(first + n, at + ch.n);
        if (lo < hi)
            out.push_back(Chunk{ch.rec + (lo - at), hi - lo});
        at += ch.n;
    }
    return out;
}

} // namespace korv_cr

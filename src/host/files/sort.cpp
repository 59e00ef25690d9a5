// The host sort: fixed-length records ordered stably by typed keys, in
// memory. Keys are turned into order-preserving byte strings first, so the
// sort itself compares machine words: a radix sort when the keys fit in
// eight bytes, otherwise a parallel stable merge sort.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "vyr_missing.h"
#include "vyr_pool.h"
#include "vyr_sort.h"

namespace
{

constexpr int kFacility = 71;

inline uint64_t load_be(const unsigned char* p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Order-preserving image of a double key: every missing value below every
// number, missing values by their code (byte 5 of 0xFF lowest, then the
// ordinary missing value, then 0xFD, 0xFC, ...; a byte 5 of 0 just below
// the numbers), -0.0 equal to 0.0.
inline uint64_t double_image(const unsigned char* p)
{
    uint64_t u;
    std::memcpy(&u, p, sizeof u);
    if ((u >> 48) == 0xFFFFu) {
        auto b5 = static_cast<unsigned char>(u >> 40);
        if (b5 == 0)
            return 300;
        int code = -static_cast<int>(static_cast<signed char>(b5)); // -127 .. 128
        return static_cast<uint64_t>(code + 128);                   // 1 .. 256
    }
    double d;
    std::memcpy(&d, &u, sizeof d);
    if (d == 0)
        u = 0;
    if (u >> 63)
        u = ~u;
    else
        u |= 0x8000000000000000ull;
    // Finite numbers and infinities map above 0x000FFFFFFFFFFFFF, far above
    // the missing ranks.
    return u;
}

struct KeyPlan {
    int64_t pos;
    int len; // bytes of the image
    short type;
    bool desc;
};

// Writes the images of a record's keys, most significant first, into
// `out` (KW big-endian words, zero padded).
inline void make_image(const unsigned char* rec, const std::vector<KeyPlan>& plan, uint64_t* out,
                       int kw)
{
    unsigned char buf[512];
    int n = 0;
    int total = kw * 8;
    std::memset(buf, 0, static_cast<size_t>(total));
    for (const KeyPlan& k : plan) {
        unsigned char* d = buf + n;
        const unsigned char* s = rec + k.pos;
        switch (k.type) {
        case SORT_KEY_DOUBLE: {
            uint64_t v = double_image(s);
            for (int i = 0; i < 8; ++i)
                d[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
            break;
        }
        case SORT_KEY_INT32: {
            uint32_t v;
            std::memcpy(&v, s, 4);
            v ^= 0x80000000u;
            for (int i = 0; i < 4; ++i)
                d[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
            break;
        }
        case SORT_KEY_INT64: {
            uint64_t v;
            std::memcpy(&v, s, 8);
            v ^= 0x8000000000000000ull;
            for (int i = 0; i < 8; ++i)
                d[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
            break;
        }
        default:
            std::memcpy(d, s, static_cast<size_t>(k.len));
            break;
        }
        if (k.desc)
            for (int i = 0; i < k.len; ++i)
                d[i] = static_cast<unsigned char>(~d[i]);
        n += k.len;
    }
    for (int w = 0; w < kw; ++w)
        out[w] = load_be(buf + 8 * w, 8);
}

bool build_plan(const SORVDSTR* keys, int nkeys, size_t lrecl, std::vector<KeyPlan>& plan, int& kw)
{
    plan.clear();
    int total = 0;
    for (int i = 0; i < nkeys; ++i) {
        const SORVDSTR& k = keys[i];
        KeyPlan p;
        p.pos = k.pos;
        p.type = k.type;
        p.desc = (k.flags & SORT_DESCENDING) != 0;
        switch (k.type) {
        case SORT_KEY_DOUBLE:
        case SORT_KEY_INT64:
            p.len = 8;
            break;
        case SORT_KEY_INT32:
            p.len = 4;
            break;
        case SORT_KEY_CHAR:
            p.len = k.leng;
            break;
        default:
            return false;
        }
        if (p.pos < 0 || p.len <= 0 ||
            static_cast<size_t>(p.pos) + static_cast<size_t>(p.len) > lrecl)
            return false;
        total += p.len;
        plan.push_back(p);
    }
    if (total > 504)
        return false;
    kw = std::max(1, (total + 7) / 8);
    return true;
}

int thread_count(size_t n)
{
    if (n < 200000)
        return 1;
    return static_cast<int>(std::clamp(vyr::pool_width(), 1u, 8u));
}

// Runs f(i) for i in [0, n) on the host's thread pool.
template <typename F> void run_parallel(int n, F f)
{
    vyr::parallel_for(static_cast<size_t>(std::max(n, 0)),
                      [&f](size_t i) { f(static_cast<int>(i)); });
}

// Stable LSD radix sort of (key, index) pairs on 16-bit digits, skipping
// digits that are the same in every key.
void radix_sort(std::vector<uint64_t>& key, std::vector<uint32_t>& idx)
{
    const size_t n = key.size();
    std::vector<uint64_t> k2(n);
    std::vector<uint32_t> i2(n);
    std::vector<size_t> count(65536);
    uint64_t orAll = 0, andAll = ~0ull;
    for (uint64_t k : key) {
        orAll |= k;
        andAll &= k;
    }
    const uint64_t varying = orAll ^ andAll;
    for (int shift = 0; shift < 64; shift += 16) {
        if (((varying >> shift) & 0xFFFF) == 0)
            continue;
        std::fill(count.begin(), count.end(), 0);
        for (uint64_t k : key)
            ++count[(k >> shift) & 0xFFFF];
        size_t sum = 0;
        for (size_t& c : count) {
            size_t t = c;
            c = sum;
            sum += t;
        }
        for (size_t j = 0; j < n; ++j) {
            size_t d = count[(key[j] >> shift) & 0xFFFF]++;
            k2[d] = key[j];
            i2[d] = idx[j];
        }
        key.swap(k2);
        idx.swap(i2);
    }
}

// Parallel sort of fixed-size items (KW key words and the record index):
// runs sorted by several threads, then merged pairwise. The index as the
// last word makes equal keys keep their input order.
template <int KW>
std::vector<uint32_t> sort_items(const unsigned char* base, size_t n, size_t lrecl,
                                 const std::vector<KeyPlan>& plan)
{
    struct Item {
        uint64_t w[KW + 1];
        bool operator<(const Item& o) const
        {
            for (int i = 0; i <= KW; ++i)
                if (w[i] != o.w[i])
                    return w[i] < o.w[i];
            return false;
        }
    };
    const int T = thread_count(n);
    std::vector<Item> items(n);
    std::vector<size_t> bounds(static_cast<size_t>(T) + 1);
    for (int t = 0; t <= T; ++t)
        bounds[t] = n * static_cast<size_t>(t) / static_cast<size_t>(T);
    run_parallel(T, [&](int t) {
        for (size_t j = bounds[t]; j < bounds[t + 1]; ++j) {
            make_image(base + j * lrecl, plan, items[j].w, KW);
            items[j].w[KW] = j;
        }
        std::sort(items.begin() + static_cast<std::ptrdiff_t>(bounds[t]),
                  items.begin() + static_cast<std::ptrdiff_t>(bounds[t + 1]));
    });
    std::vector<Item> tmp(T > 1 ? n : 0);
    while (bounds.size() > 2) {
        size_t runs = bounds.size() - 1;
        int pairs = static_cast<int>(runs / 2);
        run_parallel(pairs, [&](int p) {
            size_t a = bounds[2 * p], m = bounds[2 * p + 1], b = bounds[2 * p + 2];
            std::merge(items.begin() + static_cast<std::ptrdiff_t>(a),
                       items.begin() + static_cast<std::ptrdiff_t>(m),
                       items.begin() + static_cast<std::ptrdiff_t>(m),
                       items.begin() + static_cast<std::ptrdiff_t>(b),
                       tmp.begin() + static_cast<std::ptrdiff_t>(a));
        });
        std::vector<size_t> next{0};
        for (int p = 0; p < pairs; ++p)
            next.push_back(bounds[2 * p + 2]);
        if (runs % 2) {
            size_t a = bounds[runs - 1], b = bounds[runs];
            std::copy(items.begin() + static_cast<std::ptrdiff_t>(a),
                      items.begin() + static_cast<std::ptrdiff_t>(b),
                      tmp.begin() + static_cast<std::ptrdiff_t>(a));
            next.push_back(b);
        }
        items.swap(tmp);
        bounds = next;
    }
    std::vector<uint32_t> idx(n);
    for (size_t j = 0; j < n; ++j)
        idx[j] = static_cast<uint32_t>(items[j].w[KW]);
    return idx;
}

std::vector<uint32_t> order_by_images(const unsigned char* base, size_t n, size_t lrecl,
                                      const std::vector<KeyPlan>& plan, int kw)
{
    // One word: the radix sort below. Two to four words: sorted items.
    switch (kw) {
    case 2:
        return sort_items<2>(base, n, lrecl, plan);
    case 3:
        return sort_items<3>(base, n, lrecl, plan);
    case 4:
        return sort_items<4>(base, n, lrecl, plan);
    default:
        break;
    }
    std::vector<uint32_t> idx(n);
    const int T = thread_count(n);
    if (kw == 1) {
        std::vector<uint64_t> key(n);
        run_parallel(T, [&](int t) {
            size_t a = n * static_cast<size_t>(t) / static_cast<size_t>(T);
            size_t b = n * static_cast<size_t>(t + 1) / static_cast<size_t>(T);
            for (size_t j = a; j < b; ++j) {
                make_image(base + j * lrecl, plan, &key[j], 1);
                idx[j] = static_cast<uint32_t>(j);
            }
        });
        radix_sort(key, idx);
        return idx;
    }
    // Wider keys: items of kw words plus the record index, merge sorted.
    const size_t stride = static_cast<size_t>(kw) + 1; // last word: index
    std::vector<uint64_t> items(n * stride);
    run_parallel(T, [&](int t) {
        size_t a = n * static_cast<size_t>(t) / static_cast<size_t>(T);
        size_t b = n * static_cast<size_t>(t + 1) / static_cast<size_t>(T);
        for (size_t j = a; j < b; ++j) {
            make_image(base + j * lrecl, plan, &items[j * stride], kw);
            items[j * stride + static_cast<size_t>(kw)] = j;
        }
    });
    // Sort item positions: ties are broken by the record index, which makes
    // the order stable even with an unstable sort.
    std::vector<uint32_t> pos(n);
    for (size_t j = 0; j < n; ++j)
        pos[j] = static_cast<uint32_t>(j);
    auto less = [&](uint32_t x, uint32_t y) {
        const uint64_t* a = &items[x * stride];
        const uint64_t* b = &items[y * stride];
        for (size_t w = 0; w < stride; ++w)
            if (a[w] != b[w])
                return a[w] < b[w];
        return false;
    };
    std::vector<size_t> bounds(static_cast<size_t>(T) + 1);
    for (int t = 0; t <= T; ++t)
        bounds[t] = n * static_cast<size_t>(t) / static_cast<size_t>(T);
    run_parallel(
        T, [&](int t) { std::sort(pos.begin() + bounds[t], pos.begin() + bounds[t + 1], less); });
    // Pairwise merges of the sorted runs.
    std::vector<uint32_t> tmp(n);
    while (bounds.size() > 2) {
        size_t runs = bounds.size() - 1;
        std::vector<size_t> next;
        next.push_back(0);
        int pairs = static_cast<int>(runs / 2);
        run_parallel(pairs, [&](int p) {
            size_t a = bounds[2 * p], m = bounds[2 * p + 1], b = bounds[2 * p + 2];
            std::merge(pos.begin() + a, pos.begin() + m, pos.begin() + m, pos.begin() + b,
                       tmp.begin() + a, less);
        });
        for (int p = 0; p < pairs; ++p)
            next.push_back(bounds[2 * p + 2]);
        if (runs % 2) {
            size_t a = bounds[runs - 1], b = bounds[runs];
            std::copy(pos.begin() + a, pos.begin() + b, tmp.begin() + a);
            next.push_back(b);
        }
        pos.swap(tmp);
        bounds = next;
    }
    for (size_t j = 0; j < n; ++j)
        idx[j] = static_cast<uint32_t>(items[pos[j] * stride + static_cast<size_t>(kw)]);
    return idx;
}

} // namespace

namespace vyr::sort
{

std::vector<uint32_t> sorted_order(const void* base, size_t n, size_t lrecl, const SORVDSTR* keys,
                                   int nkeys)
{
    std::vector<KeyPlan> plan;
    int kw = 1;
    if (!build_plan(keys, nkeys, lrecl, plan, kw))
        return {};
    if (plan.empty()) {
        std::vector<uint32_t> idx(n);
        for (size_t j = 0; j < n; ++j)
            idx[j] = static_cast<uint32_t>(j);
        return idx;
    }
    return order_by_images(static_cast<const unsigned char*>(base), n, lrecl, plan, kw);
}

void sort_records(void* base, size_t n, size_t lrecl, const SORVDSTR* keys, int nkeys)
{
    if (n < 2 || lrecl == 0)
        return;
    std::vector<uint32_t> idx = sorted_order(base, n, lrecl, keys, nkeys);
    if (idx.size() != n)
        return;
    std::unique_ptr<unsigned char[]> out(new unsigned char[n * lrecl]);
    auto* src = static_cast<unsigned char*>(base);
    for (size_t j = 0; j < n; ++j)
        std::memcpy(out.get() + j * lrecl, src + static_cast<size_t>(idx[j]) * lrecl, lrecl);
    std::memcpy(base, out.get(), n * lrecl);
}

int compare_records(const void* a, const void* b, const SORVDSTR* keys, int nkeys)
{
    for (int i = 0; i < nkeys; ++i) {
        const SORVDSTR& k = keys[i];
        const auto* pa = static_cast<const unsigned char*>(a) + k.pos;
        const auto* pb = static_cast<const unsigned char*>(b) + k.pos;
        int r = 0;
        switch (k.type) {
        case SORT_KEY_DOUBLE: {
            uint64_t x = double_image(pa), y = double_image(pb);
            r = x < y ? -1 : x > y ? 1 : 0;
            break;
        }
        case SORT_KEY_INT32: {
            int32_t x, y;
            std::memcpy(&x, pa, 4);
            std::memcpy(&y, pb, 4);
            r = x < y ? -1 : x > y ? 1 : 0;
            break;
        }
        case SORT_KEY_INT64: {
            int64_t x, y;
            std::memcpy(&x, pa, 8);
            std::memcpy(&y, pb, 8);
            r = x < y ? -1 : x > y ? 1 : 0;
            break;
        }
        default: {
            int c = std::memcmp(pa, pb, static_cast<size_t>(std::max<short>(k.leng, 0)));
            r = c < 0 ? -1 : c > 0 ? 1 : 0;
            break;
        }
        }
        if (k.flags & SORT_DESCENDING)
            r = -r;
        if (r != 0)
            return r;
    }
    return 0;
}

} // namespace vyr::sort

// ---------------------------------------------------------------------------
// The sort service.

int zsortap(ZSORTSTR* z)
{
    if (z == nullptr)
        return vyr_code(kFacility, 1);
    SORTSTR& info = z->info;
    info.iorc = 0;
    info.nrecs = 0;
    // The entries are called when set; a request made without them (host
    // code calling directly) has its plain exits called instead.
    SORTINITF init = z->ginitf ? z->ginitf : z->initf;
    SORTTERMF term = z->gtermf ? z->gtermf : z->termf;
    if (init != nullptr) {
        int r = init(&info, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (r < 0)
            return r;
    }
    SORTSEQIN in = info.gseqin ? info.gseqin : info.seqin;
    SORTSEQOUT out = info.gseqout ? info.gseqout : info.seqout;
    SORTCMP cmp = info.ghsirtn ? info.ghsirtn : info.hsirtn;
    int result = 0;
    if (in == nullptr || out == nullptr) {
        result = vyr_code(kFacility, 2);
    } else {
        long lrecl = info.lrecl;
        if (lrecl <= 0 && in == zxcget && info.fiddata != nullptr)
            lrecl = static_cast<BFRSTR*>(info.fiddata)->lrecl;
        std::vector<unsigned char> data;
        if (in == zxcget && info.fiddata != nullptr && lrecl > 0) {
            long needs = static_cast<BFRSTR*>(info.fiddata)->needs;
            if (needs > 0 && needs < (1L << 28))
                data.reserve(static_cast<size_t>(needs) * static_cast<size_t>(lrecl));
        }
        size_t n = 0;
        for (;;) {
            void* rec = nullptr;
            long len = 0;
            int r = in(&info, &rec, &len);
            if (r > 0)
                break;
            if (r < 0) {
                info.iorc = r;
                result = r;
                break;
            }
            if (lrecl <= 0)
                lrecl = len;
            if (len != lrecl || rec == nullptr || lrecl <= 0) {
                result = vyr_code(kFacility, 3); // records of differing lengths
                break;
            }
            data.insert(data.end(), static_cast<unsigned char*>(rec),
                        static_cast<unsigned char*>(rec) + lrecl);
            ++n;
        }
        if (result == 0 && n > 0) {
            std::vector<uint32_t> order;
            if (cmp == nullptr || cmp == zxcrtn) {
                order = vyr::sort::sorted_order(data.data(), n, static_cast<size_t>(lrecl), info.v,
                                                info.nvar);
                if (order.size() != n)
                    result = vyr_code(kFacility, 4); // a key outside the record
            } else {
                order.resize(n);
                for (size_t j = 0; j < n; ++j)
                    order[j] = static_cast<uint32_t>(j);
                const size_t L = static_cast<size_t>(lrecl);
                std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
                    return cmp(&info, data.data() + a * L, data.data() + b * L) < 0;
                });
            }
            for (size_t j = 0; result == 0 && j < order.size(); ++j) {
                int r = out(
                    &info, data.data() + static_cast<size_t>(order[j]) * static_cast<size_t>(lrecl),
                    lrecl);
                if (r < 0) {
                    info.iorc = r;
                    result = r;
                }
            }
        }
        info.nrecs = static_cast<long>(n);
    }
    if (term != nullptr) {
        int r = term(&info);
        if (result == 0 && r < 0)
            result = r;
    }
    return result;
}

int zsorxci(SORTSTR* info, void*, void*, void*, void*, void*)
{
    if (info == nullptr)
        return vyr_code(kFacility, 1);
    if (info->seqin == zxcget || info->gseqin == zxcget) {
        auto* b = static_cast<BFRSTR*>(info->fiddata);
        if (b == nullptr || b->fd == nullptr || b->lrecl <= 0 || b->bufp == nullptr)
            return vyr_code(kFacility, 5);
        b->done = 0;
    }
    return 0;
}

int zsorxct(SORTSTR*)
{
    return 0;
}

int zxcget(SORTSTR* info, void** record, long* length)
{
    auto* b = info ? static_cast<BFRSTR*>(info->fiddata) : nullptr;
    if (b == nullptr || b->fd == nullptr || b->bufp == nullptr || b->lrecl <= 0)
        return vyr_code(kFacility, 5);
    if (b->needs > 0 && b->done >= b->needs)
        return 1;
    int r = xcread(b->fd, b->bufp, b->lrecl);
    if (r < 0) {
        if (b->needs <= 0)
            return 1; // read to the end of the file
        return r;
    }
    ++b->done;
    *record = b->bufp;
    *length = b->lrecl;
    return 0;
}

int zxcput(SORTSTR* info, const void* record, long length)
{
    if (info == nullptr || info->fidout == nullptr)
        return vyr_code(kFacility, 6);
    int r = xcwrite(info->fidout, record, length);
    return r < 0 ? r : 0;
}

int zxcrtn(SORTSTR* info, const void* a, const void* b)
{
    return vyr::sort::compare_records(a, b, info->v, info->nvar);
}

// Block reads of an input data set's observations into column buffers, and
// integer codes for a character variable's values.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "data_internal.h"
#include "vyr_host.h"
#include "vyr_pool.h"

using namespace vyr::data;

namespace
{

// Rows per task when codes are made in parallel.
constexpr size_t kCodeGrain = size_t(1) << 16;

std::string_view trimmed(std::string_view v)
{
    while (!v.empty() && v.back() == ' ')
        v.remove_suffix(1);
    return v;
}

// The distinct values met so far, numbered in the order they were met:
// open addressing over the values' hashes, grown by doubling while at most
// half full. Used instead of a node-based map, which costs a division and a
// pointer chase per row.
class ValueNumbers
{
  public:
    // The number of `v`, given the next number when it is new.
    int32_t number(std::string_view v)
    {
        if (2 * (values_.size() + 1) > slots_.size())
            grow();
        const uint64_t h = hash(v);
        for (size_t s = h & mask_;; s = (s + 1) & mask_) {
            Slot& slot = slots_[s];
            if (slot.code < 0) {
                slot.hash = h;
                slot.code = static_cast<int32_t>(values_.size());
                values_.push_back(v);
                return slot.code;
            }
            if (slot.hash == h && same(values_[static_cast<size_t>(slot.code)], v))
                return slot.code;
        }
    }
    const std::vector<std::string_view>& values() const { return values_; }

  private:
    struct Slot {
        uint64_t hash = 0;
        int32_t code = -1;
    };
    std::vector<Slot> slots_;
    std::vector<std::string_view> values_;
    size_t mask_ = 0;
    // Short values (the usual levels) compared without a library call.
    static bool same(std::string_view a, std::string_view b)
    {
        if (a.size() != b.size())
            return false;
        if (a.size() > 16)
            return a == b;
        for (size_t i = 0; i < a.size(); ++i)
            if (a[i] != b[i])
                return false;
        return true;
    }
    static uint64_t hash(std::string_view v)
    {
        // Eight bytes at a time, the tail padded with zeros, and the length.
        uint64_t h = 0x9E3779B97F4A7C15ull ^ v.size();
        size_t i = 0;
        for (; i + 8 <= v.size(); i += 8) {
            uint64_t w;
            std::memcpy(&w, v.data() + i, 8);
            h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
            h ^= h >> 31;
        }
        if (i < v.size()) {
            uint64_t w = 0;
            std::memcpy(&w, v.data() + i, v.size() - i);
            h = (h ^ w) * 0x94D049BB133111EBull;
            h ^= h >> 29;
        }
        return h * 0xBF58476D1CE4E5B9ull ^ (h >> 32);
    }
    void grow()
    {
        const size_t n = std::max<size_t>(64, 2 * slots_.size());
        std::vector<Slot> old(n);
        old.swap(slots_);
        mask_ = n - 1;
        for (const Slot& o : old) {
            if (o.code < 0)
                continue;
            size_t s = o.hash & mask_;
            while (slots_[s].code >= 0)
                s = (s + 1) & mask_;
            slots_[s] = o;
        }
    }
};

// Codes the values of a loaded character column: each range of rows first
// numbers its own distinct values, then the ranges' numbers are mapped, in
// row order, to the column's, so that codes follow first appearance in the
// data set whatever the number of threads.
void make_codes(Column& c, long nobs)
{
    const size_t n = static_cast<size_t>(nobs);
    c.codes.reset(new int32_t[std::max<size_t>(n, 1)]);
    std::vector<ValueNumbers> parts(std::max(1u, vyr::pool_width()) + 1);
    std::vector<size_t> starts(parts.size() + 1, n);
    const size_t used = vyr::parallel_ranges(n, kCodeGrain, [&](size_t b, size_t e, size_t part) {
        ValueNumbers& seen = parts[part];
        starts[part] = b;
        for (size_t i = b; i < e; ++i)
            c.codes[i] = seen.number(trimmed(c.chars(static_cast<long>(i))));
    });
    // Number the values of each range in row order.
    std::unordered_map<std::string_view, int32_t> global;
    std::vector<std::vector<int32_t>> remap(used);
    c.dictText.clear();
    c.dictLength.clear();
    for (size_t part = 0; part < used; ++part) {
        for (std::string_view v : parts[part].values()) {
            auto [it, fresh] = global.try_emplace(v, static_cast<int32_t>(c.dictText.size()));
            if (fresh) {
                c.dictText.push_back(v.data());
                c.dictLength.push_back(static_cast<int>(v.size()));
            }
            remap[part].push_back(it->second);
        }
    }
    vyr::parallel_for(used, [&](size_t part) {
        const size_t b = starts[part];
        const size_t e = part + 1 < used ? starts[part + 1] : n;
        const std::vector<int32_t>& to = remap[part];
        for (size_t i = b; i < e; ++i)
            c.codes[i] = to[static_cast<size_t>(c.codes[i])];
    });
    c.coded = true;
}

// The loaded character column `varnum` of an input data set with its codes
// made, or null.
Column* coded_column(DSHANDLE* ds, int varnum)
{
    if (ds == nullptr || ds->mode != VYR_DS_INPUT || varnum < 1 ||
        varnum > static_cast<int>(ds->table.cols.size()))
        return nullptr;
    const Column* c = loaded_column(ds->table, varnum);
    if (c == nullptr || c->numeric)
        return nullptr;
    Column& col = ds->table.cols[static_cast<size_t>(varnum) - 1];
    if (!col.coded)
        make_codes(col, ds->table.nobs);
    return &col;
}

} // namespace

int xvcodes(DSHANDLE* ds, int varnum, XV_DICT* dict)
{
    Column* c = coded_column(ds, varnum);
    if (c == nullptr || dict == nullptr)
        return vyr_code(kFacility, 33);
    dict->count = static_cast<int>(c->dictText.size());
    dict->text = c->dictText.data();
    dict->length = c->dictLength.data();
    return 0;
}

int xyvblock(DSHANDLE* ds, XV_COLBUF* bufs, int nbufs, long maxrows, long* nrows)
{
    if (nrows != nullptr)
        *nrows = 0;
    if (ds == nullptr || ds->mode != VYR_DS_INPUT || nrows == nullptr || nbufs < 0 ||
        (nbufs > 0 && bufs == nullptr) || maxrows < 0)
        return vyr_code(kFacility, 30);
    // Check every buffer, and mark the columns for reading together, first.
    auto& cols = ds->table.cols;
    for (int j = 0; j < nbufs; ++j) {
        const XV_COLBUF& b = bufs[j];
        if (b.varnum < 1 || b.varnum > static_cast<int>(cols.size()))
            return vyr_code(kFacility, 33);
        const Column& c = cols[static_cast<size_t>(b.varnum) - 1];
        if (c.numeric ? b.num == nullptr : (b.text == nullptr && b.code == nullptr))
            return vyr_code(kFacility, 37);
        if (b.width < 0)
            return vyr_code(kFacility, 37);
        cols[static_cast<size_t>(b.varnum) - 1].wanted = true;
    }
    for (int j = 0; j < nbufs; ++j)
        if (loaded_column(ds->table, bufs[j].varnum) == nullptr)
            return vyr_code(kFacility, 36);
    const long gs = ds->started ? ds->gs : 0;
    const long ge = ds->started ? ds->ge : ds->table.nobs;
    const long first = std::max(ds->cur + 1, gs);
    const long n = std::min(maxrows, ge - first);
    if (n <= 0)
        return XO_EOG;
    for (int j = 0; j < nbufs; ++j) {
        const XV_COLBUF& b = bufs[j];
        Column& c = cols[static_cast<size_t>(b.varnum) - 1];
        if (c.numeric) {
            std::memcpy(b.num, c.num.get() + first, static_cast<size_t>(n) * sizeof(double));
            continue;
        }
        if (b.text != nullptr) {
            const size_t w = static_cast<size_t>(b.width > 0 ? b.width : c.length);
            for (long i = 0; i < n; ++i) {
                std::string_view v = c.chars(first + i);
                char* to = b.text + static_cast<size_t>(i) * w;
                const size_t k = std::min(v.size(), w);
                std::memcpy(to, v.data(), k);
                std::memset(to + k, ' ', w - k);
            }
        }
        if (b.code != nullptr) {
            if (!c.coded)
                make_codes(c, ds->table.nobs);
            std::memcpy(b.code, c.codes.get() + first, static_cast<size_t>(n) * sizeof(int32_t));
        }
    }
    ds->cur = first + n - 1;
    *nrows = n;
    return 0;
}

int xyvgroupcols(DSHANDLE* ds, XV_GROUPCOL* cols, int ncols, long* nrows)
{
    if (nrows != nullptr)
        *nrows = 0;
    if (ds == nullptr || ds->mode != VYR_DS_INPUT || nrows == nullptr || ncols < 0 ||
        (ncols > 0 && cols == nullptr))
        return vyr_code(kFacility, 30);
    auto& all = ds->table.cols;
    for (int j = 0; j < ncols; ++j) {
        const int v = cols[j].varnum;
        if (v < 1 || v > static_cast<int>(all.size()))
            return vyr_code(kFacility, 33);
        all[static_cast<size_t>(v) - 1].wanted = true;
    }
    for (int j = 0; j < ncols; ++j)
        if (loaded_column(ds->table, cols[j].varnum) == nullptr)
            return vyr_code(kFacility, 36);
    const long gs = ds->started ? ds->gs : 0;
    const long ge = ds->started ? ds->ge : ds->table.nobs;
    for (int j = 0; j < ncols; ++j) {
        Column& c = all[static_cast<size_t>(cols[j].varnum) - 1];
        if (!c.numeric && !c.coded)
            make_codes(c, ds->table.nobs);
        cols[j].num = c.numeric ? c.num.get() + gs : nullptr;
        cols[j].code = c.numeric ? nullptr : c.codes.get() + gs;
    }
    *nrows = std::max(0L, ge - gs);
    return 0;
}

int xybyseek(XO_PARMS* parms, long row)
{
    if (parms == nullptr || parms->ds == nullptr || parms->ds->mode != VYR_DS_INPUT)
        return vyr_code(kFacility, 30);
    DSHANDLE* ds = parms->ds;
    const long gs = ds->started ? ds->gs : 0;
    const long ge = ds->started ? ds->ge : ds->table.nobs;
    if (row < 0 || row >= ge - gs) {
        parms->rc = XO_EOG;
        return XO_EOG;
    }
    ds->cur = gs + row;
    parms->rc = 0;
    parms->obs = ds->cur + 1;
    return 0;
}

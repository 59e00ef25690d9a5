// Compact storage of a table's rows (see Rows in document.h).
#include "host/output/document.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace vdq
{
namespace
{

// How the cells of one column of a sealed block are stored.
enum Scheme : uint8_t {
    kSame,    // every cell holds `base`
    kDict,    // a byte per cell indexing a list of up to 255 values
    kOffsets, // integers, as offsets of `size` bytes from `base`
    kMasked,  // a bit per cell: set when it holds `base`; the others follow, 8 bytes each
    kPlain,   // 8 bytes per cell
};

constexpr uint8_t kAbsent = 2; // a cell past the end of a shorter row
constexpr uint8_t kMixed = 3;  // the column's cells differ in kind: a kind byte per cell
constexpr size_t kMaskBytes = Rows::kBlockRows / 8;

uint64_t bitsOf(double d)
{
    uint64_t v;
    std::memcpy(&v, &d, sizeof v);
    return v;
}

double doubleOf(uint64_t v)
{
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

// The integer a cell stands for when it can be stored as an offset: a text's
// place, or a number that is a whole number of at most 53 bits (and not -0,
// whose sign would be lost).
bool asInteger(uint8_t kind, uint64_t value, int64_t& out)
{
    if (kind != Cell::Number) {
        out = static_cast<int64_t>(value); // a text's place, or 0 for an absent cell
        return value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    }
    const double d = doubleOf(value);
    constexpr double kLimit = 9007199254740992.0; // 2^53
    if (!(d >= -kLimit && d <= kLimit) || d != static_cast<double>(static_cast<int64_t>(d)))
        return false;
    if (d == 0 && std::signbit(d))
        return false;
    out = static_cast<int64_t>(d);
    return true;
}

void putBytes(std::vector<uint8_t>& out, const void* p, size_t n)
{
    const auto* b = static_cast<const uint8_t*>(p);
    out.insert(out.end(), b, b + n);
}

uint64_t readBytes(const uint8_t* p, size_t n)
{
    uint64_t v = 0;
    std::memcpy(&v, p, n); // little-endian hosts: the low bytes come first
    return v;
}

// Counts the distinct values of a block's column in an open-addressing table
// (a block has at most 256 cells), and finds the most frequent one.
void countValues(const std::vector<uint64_t>& values, size_t n, size_t& distinct, uint64_t& common,
                 size_t& count)
{
    constexpr size_t kSlots = 2 * Rows::kBlockRows;
    uint64_t key[kSlots];
    uint16_t seen[kSlots] = {};
    distinct = 0;
    count = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t v = values[i];
        size_t h = static_cast<size_t>((v * 0x9E3779B97F4A7C15ull) >> 55) % kSlots;
        while (seen[h] != 0 && key[h] != v)
            h = (h + 1) % kSlots;
        if (seen[h] == 0) {
            key[h] = v;
            ++distinct;
        }
        if (++seen[h] > count) {
            count = seen[h];
            common = v;
        }
    }
}

} // namespace

size_t RowRef::size() const
{
    return t_->width(r_);
}

Cell RowRef::operator[](size_t i) const
{
    Cell c;
    c.kind = t_->kind(r_, i);
    if (c.kind == Cell::Text)
        c.s = std::string(t_->text(r_, i));
    else
        c.d = t_->number(r_, i);
    return c;
}

Cell RowRef::at(size_t i) const
{
    if (i >= size())
        throw std::out_of_range("cell past the end of the row");
    return (*this)[i];
}

Rows::Rows(std::initializer_list<std::vector<Cell>> rows)
{
    for (const auto& r : rows)
        push_back(r);
}

Rows& Rows::operator=(Rows&& o) noexcept
{
    if (this != &o) {
        rows_ = o.rows_;
        blocks_ = std::move(o.blocks_);
        openStart_ = std::move(o.openStart_);
        openKind_ = std::move(o.openKind_);
        openValue_ = std::move(o.openValue_);
        text_ = std::move(o.text_);
        lastText_ = o.lastText_;
        o.clear();
    }
    return *this;
}

RowRef Rows::at(size_t r) const
{
    if (r >= size())
        throw std::out_of_range("row past the end of the table");
    return RowRef(this, r);
}

size_t Rows::width(size_t r) const
{
    const size_t sealed = blocks_.size() * kBlockRows;
    if (r < sealed) {
        const Block& b = blocks_[r / kBlockRows];
        return b.widths.empty() ? b.cols : b.widths[r % kBlockRows];
    }
    const size_t i = r - sealed;
    const size_t end = i + 1 < openStart_.size() ? openStart_[i + 1] : openKind_.size();
    return end - openStart_[i];
}

uint64_t Rows::decode(const Block& b, const ColumnCode& cc, size_t i, uint8_t* kind)
{
    const uint8_t* data = b.bytes.data() + cc.data;
    if (cc.kinds == kMixed) {
        *kind = data[i];
        data += b.rows;
    } else {
        *kind = cc.kinds;
    }
    switch (cc.scheme) {
    case kSame:
        return cc.base;
    case kDict:
        return readBytes(data + b.rows + 8 * static_cast<size_t>(data[i]), 8);
    case kOffsets: {
        const int64_t v = static_cast<int64_t>(cc.base) +
                          static_cast<int64_t>(readBytes(data + i * cc.size, cc.size));
        return *kind == Cell::Number ? bitsOf(static_cast<double>(v)) : static_cast<uint64_t>(v);
    }
    case kMasked: {
        // The cells before this one that are not the common value tell where
        // its own value sits among the others.
        size_t word = i / 64, bit = i % 64;
        uint64_t w = readBytes(data + 8 * word, 8);
        if ((w >> bit) & 1u)
            return cc.base;
        size_t common = static_cast<size_t>(std::popcount(w & ((uint64_t{1} << bit) - 1)));
        for (size_t k = 0; k < word; ++k)
            common += static_cast<size_t>(std::popcount(readBytes(data + 8 * k, 8)));
        return readBytes(data + kMaskBytes + 8 * (i - common), 8);
    }
    default:
        return readBytes(data + 8 * i, 8);
    }
}

// Every cell of a block's column, in order: what decode() gives cell by
// cell, without finding each cell's place again.
void Rows::decodeAll(const Block& b, const ColumnCode& cc, uint8_t* kinds, uint64_t* values)
{
    const size_t n = b.rows;
    const uint8_t* data = b.bytes.data() + cc.data;
    if (cc.kinds == kMixed) {
        std::memcpy(kinds, data, n);
        data += n;
    } else {
        std::memset(kinds, cc.kinds, n);
    }
    switch (cc.scheme) {
    case kSame:
        std::fill(values, values + n, cc.base);
        return;
    case kDict:
        for (size_t i = 0; i < n; ++i)
            values[i] = readBytes(data + n + 8 * static_cast<size_t>(data[i]), 8);
        return;
    case kOffsets:
        for (size_t i = 0; i < n; ++i) {
            const int64_t v = static_cast<int64_t>(cc.base) +
                              static_cast<int64_t>(readBytes(data + i * cc.size, cc.size));
            values[i] = kinds[i] == Cell::Number ? bitsOf(static_cast<double>(v))
                                                 : static_cast<uint64_t>(v);
        }
        return;
    case kMasked: {
        const uint8_t* other = data + kMaskBytes;
        for (size_t i = 0; i < n; ++i) {
            if ((data[i / 8] >> (i % 8)) & 1u) {
                values[i] = cc.base;
            } else {
                values[i] = readBytes(other, 8);
                other += 8;
            }
        }
        return;
    }
    default:
        std::memcpy(values, data, 8 * n);
        return;
    }
}

void Rows::numbers(size_t c, double* out) const
{
    uint8_t kinds[kBlockRows];
    uint64_t values[kBlockRows];
    size_t r0 = 0;
    for (const Block& b : blocks_) {
        if (c < b.cols) {
            decodeAll(b, b.code[c], kinds, values);
            for (size_t i = 0; i < b.rows; ++i)
                if ((b.widths.empty() || c < b.widths[i]) && kinds[i] != Cell::Text)
                    out[r0 + i] = doubleOf(values[i]);
        }
        r0 += b.rows;
    }
    for (size_t i = 0; i < openStart_.size(); ++i) {
        const size_t end = i + 1 < openStart_.size() ? openStart_[i + 1] : openKind_.size();
        const size_t k = openStart_[i] + c;
        if (k < end && openKind_[k] != Cell::Text)
            out[r0 + i] = doubleOf(openValue_[k]);
    }
}

uint64_t Rows::rawValue(size_t r, size_t c, uint8_t* kind) const
{
    const size_t sealed = blocks_.size() * kBlockRows;
    if (r < sealed) {
        const Block& b = blocks_[r / kBlockRows];
        return decode(b, b.code[c], r % kBlockRows, kind);
    }
    const size_t k = openStart_[r - sealed] + c;
    *kind = openKind_[k];
    return openValue_[k];
}

Cell::Kind Rows::kind(size_t r, size_t c) const
{
    uint8_t k;
    rawValue(r, c, &k);
    return k == Cell::Text ? Cell::Text : Cell::Number;
}

double Rows::number(size_t r, size_t c) const
{
    uint8_t k;
    return doubleOf(rawValue(r, c, &k));
}

std::string_view Rows::text(size_t r, size_t c) const
{
    uint8_t k;
    const uint64_t at = rawValue(r, c, &k);
    if (k != Cell::Text)
        return std::string_view();
    uint32_t len;
    std::memcpy(&len, text_.data() + at, sizeof len);
    return std::string_view(text_.data() + at + sizeof len, len);
}

CellView Rows::view(size_t r, size_t c) const
{
    CellView v;
    uint8_t k;
    const uint64_t raw = rawValue(r, c, &k);
    if (k == Cell::Text) {
        v.kind = Cell::Text;
        uint32_t len;
        std::memcpy(&len, text_.data() + raw, sizeof len);
        v.s = std::string_view(text_.data() + raw + sizeof len, len);
    } else {
        v.d = doubleOf(raw);
    }
    return v;
}

size_t Rows::bytes() const
{
    size_t n = sizeof(*this) + blocks_.capacity() * sizeof(Block) + text_.capacity() +
               openStart_.capacity() * sizeof(uint32_t) + openKind_.capacity() +
               openValue_.capacity() * sizeof(uint64_t);
    for (const Block& b : blocks_)
        n += b.code.capacity() * sizeof(ColumnCode) + b.bytes.capacity() +
             b.widths.capacity() * sizeof(uint32_t);
    return n;
}

// Stores one column of a block (its cells' kinds and values) in the
// encoding that takes the fewest bytes, and says how in `cc`.
void Rows::encodeColumn(Block& b, ColumnCode& cc, const std::vector<uint8_t>& kinds,
                        const std::vector<uint64_t>& values)
{
    const size_t n = kinds.size();
    cc.data = static_cast<uint32_t>(b.bytes.size());
    cc.kinds = kinds[0];
    for (size_t i = 1; i < n; ++i)
        if (kinds[i] != cc.kinds)
            cc.kinds = kMixed;
    if (cc.kinds == kMixed)
        putBytes(b.bytes, kinds.data(), n);

    // The number of distinct values (up to 256) and the most frequent.
    size_t distinct = 0, bestRun = 0;
    uint64_t common = values[0];
    countValues(values, n, distinct, common, bestRun);
    if (distinct == 1) {
        cc.scheme = kSame;
        cc.base = values[0];
        return;
    }
    // Offsets when every cell is an integer in a narrow enough range.
    size_t offsetSize = 0;
    int64_t least = 0;
    {
        int64_t lo = std::numeric_limits<int64_t>::max(), hi = std::numeric_limits<int64_t>::min();
        bool ints = true;
        for (size_t i = 0; i < n && ints; ++i) {
            int64_t v;
            ints = asInteger(kinds[i], values[i], v);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        if (ints) {
            const uint64_t range = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
            offsetSize = range < (1u << 8)      ? 1
                         : range < (1u << 16)   ? 2
                         : range < (1ull << 32) ? 4
                                                : 0;
            least = lo;
        }
    }
    const size_t plainCost = 8 * n;
    const size_t dictCost = distinct <= 255 ? n + 8 * distinct : SIZE_MAX;
    const size_t offsetCost = offsetSize ? offsetSize * n : SIZE_MAX;
    const size_t maskedCost = kMaskBytes + 8 * (n - bestRun);
    const size_t best = std::min({plainCost, dictCost, offsetCost, maskedCost});
    if (best == offsetCost) {
        cc.scheme = kOffsets;
        cc.size = static_cast<uint8_t>(offsetSize);
        cc.base = static_cast<uint64_t>(least);
        for (size_t i = 0; i < n; ++i) {
            int64_t v = 0;
            asInteger(kinds[i], values[i], v);
            const uint64_t off = static_cast<uint64_t>(v) - static_cast<uint64_t>(least);
            putBytes(b.bytes, &off, offsetSize);
        }
    } else if (best == dictCost) {
        cc.scheme = kDict;
        std::vector<uint64_t> dict = values;
        std::sort(dict.begin(), dict.end());
        dict.erase(std::unique(dict.begin(), dict.end()), dict.end());
        for (size_t i = 0; i < n; ++i) {
            const uint8_t idx = static_cast<uint8_t>(
                std::lower_bound(dict.begin(), dict.end(), values[i]) - dict.begin());
            b.bytes.push_back(idx);
        }
        putBytes(b.bytes, dict.data(), 8 * dict.size());
    } else if (best == maskedCost) {
        cc.scheme = kMasked;
        cc.base = common;
        uint8_t mask[kMaskBytes] = {};
        for (size_t i = 0; i < n; ++i)
            if (values[i] == common)
                mask[i / 8] = static_cast<uint8_t>(mask[i / 8] | (1u << (i % 8)));
        putBytes(b.bytes, mask, kMaskBytes);
        for (size_t i = 0; i < n; ++i)
            if (values[i] != common)
                putBytes(b.bytes, &values[i], 8);
    } else {
        cc.scheme = kPlain;
        putBytes(b.bytes, values.data(), 8 * n);
    }
}

// Encodes the full open block. Each column takes the encoding that needs the
// fewest bytes; every encoding gives back exactly the bits it was given.
void Rows::seal()
{
    Block b;
    const size_t n = openStart_.size();
    b.rows = static_cast<uint32_t>(n);
    std::vector<size_t> widths(n);
    size_t cols = 0;
    bool uniform = true;
    for (size_t i = 0; i < n; ++i) {
        const size_t end = i + 1 < n ? openStart_[i + 1] : openKind_.size();
        widths[i] = end - openStart_[i];
        cols = std::max(cols, widths[i]);
        uniform = uniform && widths[i] == widths[0];
    }
    b.cols = static_cast<uint32_t>(cols);
    if (!uniform)
        for (size_t w : widths)
            b.widths.push_back(static_cast<uint32_t>(w));
    b.code.resize(cols);

    std::vector<uint8_t> kinds(n);
    std::vector<uint64_t> values(n);
    for (size_t c = 0; c < cols; ++c) {
        // The column's cells, an absent cell counting as a zero of its own kind.
        for (size_t i = 0; i < n; ++i) {
            const bool has = c < widths[i];
            kinds[i] = has ? openKind_[openStart_[i] + c] : kAbsent;
            values[i] = has ? openValue_[openStart_[i] + c] : 0;
        }
        encodeColumn(b, b.code[c], kinds, values);
    }
    b.bytes.shrink_to_fit();
    blocks_.push_back(std::move(b));
    openStart_.clear();
    openKind_.clear();
    openValue_.clear();
}

void Rows::startRow()
{
    if (openStart_.size() == kBlockRows)
        seal();
    openStart_.push_back(static_cast<uint32_t>(openKind_.size()));
    ++rows_;
}

void Rows::addCell(uint8_t kind, uint64_t value)
{
    if (openKind_.size() >= std::numeric_limits<uint32_t>::max())
        throw std::length_error("too many cells in a block of rows");
    openKind_.push_back(kind);
    openValue_.push_back(value);
}

void Rows::addNumber(double d)
{
    addCell(Cell::Number, bitsOf(d));
}

void Rows::addText(std::string_view s)
{
    if (s.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("cell text too long");
    const uint32_t len = static_cast<uint32_t>(s.size());
    // Plot data repeat the same text row after row (a stratum's name): keep
    // one copy of a run of equal texts.
    bool same = false;
    if (lastText_ != UINT64_MAX) {
        uint32_t last;
        std::memcpy(&last, text_.data() + lastText_, sizeof last);
        same = last == len && std::string_view(text_).substr(
                                  static_cast<size_t>(lastText_) + sizeof len, len) == s;
    }
    if (!same) {
        lastText_ = text_.size();
        text_.append(reinterpret_cast<const char*>(&len), sizeof len);
        text_.append(s);
    }
    addCell(Cell::Text, lastText_);
}

void Rows::push_back(const std::vector<Cell>& row)
{
    startRow();
    for (const Cell& c : row) {
        if (c.kind == Cell::Text)
            addText(c.s);
        else
            addNumber(c.d);
    }
}

void Rows::append(Rows&& other)
{
    if (this == &other)
        return;
    if (empty()) {
        *this = std::move(other);
        return;
    }
    for (size_t r = 0; r < other.size(); ++r) {
        startRow();
        const size_t w = other.width(r);
        for (size_t c = 0; c < w; ++c) {
            if (other.kind(r, c) == Cell::Text)
                addText(other.text(r, c));
            else
                addNumber(other.number(r, c));
        }
    }
    other.clear();
}

void Rows::clear()
{
    // Release the storage, not only the contents: a flushed table's rows
    // may have been large.
    rows_ = 0;
    std::vector<Block>().swap(blocks_);
    std::vector<uint32_t>().swap(openStart_);
    std::vector<uint8_t>().swap(openKind_);
    std::vector<uint64_t>().swap(openValue_);
    std::string().swap(text_);
    lastText_ = UINT64_MAX;
}

} // namespace vdq

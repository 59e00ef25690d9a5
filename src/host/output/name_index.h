// An index of names kept elsewhere (in a vector the caller owns), found by
// hashing: slots hold positions, so nothing of the names is copied and no
// entry is allocated on its own. A graph across many strata passes several
// named values per stratum, hundreds of thousands in all; each is set and
// found in constant time. Names compare exactly, or without regard to the
// case of ASCII letters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vdq
{

class NameIndex
{
  public:
    static constexpr size_t kNone = SIZE_MAX;
    explicit NameIndex(bool foldCase) : fold_(foldCase) {}
    bool empty() const { return count_ == 0; }
    // Room for `n` names in all without growing.
    template <class NameAt> void reserve(size_t n, NameAt nameAt)
    {
        if (2 * n > slots_.size())
            rehash(2 * n, nameAt);
    }
    // The position of `name`, or kNone. `nameAt(i)` gives the name at i.
    template <class NameAt> size_t find(std::string_view name, NameAt nameAt) const
    {
        if (slots_.empty())
            return kNone;
        for (size_t s = hash(name) & (slots_.size() - 1);; s = (s + 1) & (slots_.size() - 1)) {
            const size_t at = slots_[s];
            if (at == 0)
                return kNone;
            if (same(nameAt(at - 1), name))
                return at - 1;
        }
    }
    // Adds position `i` under its name (which is not in the index yet).
    template <class NameAt> void add(size_t i, NameAt nameAt)
    {
        if (2 * (count_ + 1) > slots_.size())
            rehash(2 * (count_ + 1), nameAt);
        place(i, nameAt(i));
        ++count_;
    }

  private:
    static unsigned char folded(char c, bool fold)
    {
        const auto u = static_cast<unsigned char>(c);
        return fold && u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
    }
    size_t hash(std::string_view s) const
    {
        uint64_t h = 1469598103934665603ull; // FNV-1a
        for (char c : s)
            h = (h ^ folded(c, fold_)) * 1099511628211ull;
        return static_cast<size_t>(h ^ (h >> 29));
    }
    bool same(std::string_view a, std::string_view b) const
    {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (folded(a[i], fold_) != folded(b[i], fold_))
                return false;
        return true;
    }
    void place(size_t i, std::string_view name)
    {
        size_t s = hash(name) & (slots_.size() - 1);
        while (slots_[s] != 0)
            s = (s + 1) & (slots_.size() - 1);
        slots_[s] = i + 1;
    }
    template <class NameAt> void rehash(size_t want, NameAt nameAt)
    {
        size_t n = 16;
        while (n < want)
            n *= 2;
        std::vector<size_t> old;
        old.swap(slots_);
        slots_.assign(n, 0);
        for (size_t at : old)
            if (at != 0)
                place(at - 1, nameAt(at - 1));
    }
    bool fold_;
    size_t count_ = 0;
    std::vector<size_t> slots_; // position + 1; 0: empty
};

} // namespace vdq

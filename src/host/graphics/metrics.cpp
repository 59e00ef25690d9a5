// Text measuring from compiled-in Liberation Sans metrics (metrics_data.inc,
// made by tools/gen_text_metrics.cpp): advance widths plus pair kerning, as a
// browser shapes the same text.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "host/graphics/canvas.h"

namespace vgr
{
namespace
{

struct Advance {
    unsigned cp;
    int adv;
};
struct Kern {
    unsigned a, b;
    int k;
};

#include "host/graphics/metrics_data.inc"

// One face's tables in a form quick to look up: widths of the first 0x180
// code points directly, the rest and the kerning pairs by hash.
struct Face {
    double upem, ascent, descent;
    std::array<int, 0x180> low{};
    std::unordered_map<unsigned, int> high;
    std::unordered_map<uint64_t, int> kern;
    int fallback = 0;

    template <size_t NA, size_t NK>
    Face(const int (&font)[3], const Advance (&adv)[NA], const Kern (&kn)[NK])
        : upem(font[0]), ascent(font[1]), descent(font[2])
    {
        low.fill(-1);
        for (const Advance& a : adv) {
            if (a.adv < 0)
                continue;
            if (a.cp < low.size())
                low[a.cp] = a.adv;
            else
                high[a.cp] = a.adv;
        }
        // A character the table lacks counts as a digit's width.
        fallback = low['0'];
        for (const Kern& k : kn)
            kern[(static_cast<uint64_t>(k.a) << 32) | k.b] = k.k;
    }
    int advance(unsigned cp) const
    {
        if (cp < low.size())
            return low[cp] >= 0 ? low[cp] : fallback;
        auto it = high.find(cp);
        return it == high.end() ? fallback : it->second;
    }
    int pair(unsigned a, unsigned b) const
    {
        if (a >= 0x180 || b >= 0x180)
            return 0;
        auto it = kern.find((static_cast<uint64_t>(a) << 32) | b);
        return it == kern.end() ? 0 : it->second;
    }
};

const Face& face(bool bold)
{
    static const Face regular(kRegularFont, kRegularAdvance, kRegularKern);
    static const Face boldFace(kBoldFont, kBoldAdvance, kBoldKern);
    return bold ? boldFace : regular;
}

// The next code point of UTF-8 text; a byte that does not start a valid
// sequence stands for its Latin-1 character.
unsigned nextCodePoint(std::string_view s, size_t& i)
{
    const auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len > 1 && i + static_cast<size_t>(len) <= s.size()) {
        unsigned cp = b & (0x7F >> len);
        bool ok = true;
        for (int k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            if ((c & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (ok) {
            i += static_cast<size_t>(len);
            return cp;
        }
    }
    ++i;
    return b;
}

// The width of a run of characters in font units: their advances and the
// kerning of each with the one before.
struct Run {
    const Face& f;
    long units = 0;
    unsigned prev = 0;
    bool first = true;
    void add(unsigned cp)
    {
        units += f.advance(cp);
        if (!first)
            units += f.pair(prev, cp);
        prev = cp;
        first = false;
    }
};

} // namespace

TextBox TextMetrics::measure(std::string_view text, double size, bool bold)
{
    const Face& f = face(bold);
    Run run{f};
    for (size_t i = 0; i < text.size();)
        run.add(nextCodePoint(text, i));
    TextBox b;
    b.width = static_cast<double>(run.units) * size / f.upem;
    b.ascent = f.ascent * size / f.upem;
    b.descent = f.descent * size / f.upem;
    return b;
}

size_t TextMetrics::fitPrefix(std::string_view text, std::string_view suffix, double room,
                              double size, bool bold)
{
    const Face& f = face(bold);
    // The suffix's own width (its kerning within), and its first character,
    // which kerns with the last character of the start it follows.
    Run tail{f};
    unsigned suffixFirst = 0;
    for (size_t i = 0; i < suffix.size();) {
        const unsigned cp = nextCodePoint(suffix, i);
        if (tail.first)
            suffixFirst = cp;
        tail.add(cp);
    }
    // Each start's width with the suffix, summed as measure() sums the
    // joined text, so that the comparison with `room` is the same.
    size_t best = 0;
    Run head{f};
    for (size_t i = 0; i < text.size();) {
        const unsigned cp = nextCodePoint(text, i);
        head.add(cp);
        const long all = head.units + tail.units + (suffix.empty() ? 0 : f.pair(cp, suffixFirst));
        if (static_cast<double>(all) * size / f.upem <= room)
            best = i;
    }
    return best;
}

size_t TextMetrics::fitSuffix(std::string_view text, std::string_view prefix, double room,
                              double size, bool bold)
{
    const Face& f = face(bold);
    Run head{f};
    for (size_t i = 0; i < prefix.size();)
        head.add(nextCodePoint(prefix, i));
    // The characters of the text with where each starts, and the width of
    // each start of it, summed as measure() sums the whole text.
    struct Char {
        size_t at;
        unsigned cp;
        long before; // the width of the characters before this one
    };
    std::vector<Char> cs;
    Run all{f};
    for (size_t i = 0; i < text.size();) {
        const size_t at = i;
        const unsigned cp = nextCodePoint(text, i);
        cs.push_back({at, cp, all.units});
        all.add(cp);
    }
    // The end from character k on: the whole less its start and the kerning
    // of the pair the cut parts; the prefix and its kerning with it before.
    for (size_t k = 0; k < cs.size(); ++k) {
        long units = all.units - cs[k].before;
        if (k > 0)
            units -= f.pair(cs[k - 1].cp, cs[k].cp);
        if (!head.first)
            units += head.units + f.pair(head.prev, cs[k].cp);
        if (static_cast<double>(units) * size / f.upem <= room)
            return cs[k].at;
    }
    return text.size();
}

Rect TextMetrics::box(double x, double y, std::string_view text, const TextStyle& style)
{
    const TextBox m = measure(text, style.size, style.bold);
    const double shift = style.anchor == Anchor::Start    ? 0
                         : style.anchor == Anchor::Middle ? m.width / 2
                                                          : m.width;
    // The box about the anchor point before rotation.
    const double x0 = -shift, x1 = m.width - shift, y0 = -m.ascent, y1 = m.descent;
    if (style.rotate == 0)
        return {x + x0, y + y0, x + x1, y + y1};
    const double a = style.rotate * M_PI / 180, c = std::cos(a), s = std::sin(a);
    Rect r{1e300, 1e300, -1e300, -1e300};
    for (double px : {x0, x1})
        for (double py : {y0, y1}) {
            const double rx = x + px * c - py * s, ry = y + px * s + py * c;
            r.x0 = std::min(r.x0, rx);
            r.x1 = std::max(r.x1, rx);
            r.y0 = std::min(r.y0, ry);
            r.y1 = std::max(r.y1, ry);
        }
    return r;
}

} // namespace vgr

// The one text sanitiser of the writers (the listing, the log, the HTML page,
// JSON and SVG): valid UTF-8 out, whatever bytes a data set's values hold.
#include "vyr_text.h"

#include <cstdint>
#include <cstring>

namespace vyr
{
namespace
{

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// The length of the valid UTF-8 sequence starting at s[i] (2 to 4), or 0
// when s[i] (a byte above 0x7F) starts none: no overlong form, no encoded
// surrogate, nothing above U+10FFFF.
size_t sequenceAt(std::string_view s, size_t i)
{
    const size_t n = s.size();
    const auto at = [&](size_t k) {
        return k < n ? static_cast<unsigned char>(s[k]) : static_cast<unsigned char>(0);
    };
    const auto cont = [&](size_t k) { return (at(k) & 0xC0) == 0x80; };
    const unsigned char c = at(i);
    if (c >= 0xC2 && c <= 0xDF)
        return cont(i + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned char c1 = at(i + 1);
        const bool ok1 = c == 0xE0   ? (c1 >= 0xA0 && c1 <= 0xBF)
                         : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                     : cont(i + 1);
        return ok1 && cont(i + 2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned char c1 = at(i + 1);
        const bool ok1 = c == 0xF0   ? (c1 >= 0x90 && c1 <= 0xBF)
                         : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                     : cont(i + 1);
        return ok1 && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

// Whether the three bytes at s[i] are U+FFFE or U+FFFF.
bool nonCharacterAt(std::string_view s, size_t i)
{
    return static_cast<unsigned char>(s[i]) == 0xEF &&
           static_cast<unsigned char>(s[i + 1]) == 0xBF &&
           (static_cast<unsigned char>(s[i + 2]) & 0xFE) == 0xBE;
}

const char kHex[] = "0123456789ABCDEF";

} // namespace

bool text_needs_care(std::string_view s, Controls controls)
{
    // Every line of the listing and the log and every cell of the tables
    // passes here: eight bytes at a time, each test exact for "some byte
    // of the eight" (a borrow or carry between bytes starts only at a byte
    // that the test flags itself).
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    const bool keep = controls == Controls::Keep;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x;
        std::memcpy(&x, p + i, 8);
        uint64_t flagged = x & highs; // a byte above 0x7F
        if (!keep) {
            const uint64_t del = x ^ (ones * 0x7F);
            flagged |= (x - ones * 0x20) & ~x & highs; // a byte below 0x20
            flagged |= (del - ones) & ~del & highs;    // 0x7F
        }
        if (flagged)
            return true;
    }
    for (; i < n; ++i)
        if (p[i] >= 0x80 || (!keep && (p[i] < 0x20 || p[i] == 0x7F)))
            return true;
    return false;
}

void write_text(std::string& out, std::string_view s, Controls controls)
{
    size_t run = 0; // the start of the bytes not yet appended, all kept as they are
    size_t i = 0;
    const auto flush = [&] { out.append(s.data() + run, i - run); };
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80 && (!isControl(c) || controls == Controls::Keep)) {
            ++i;
            continue;
        }
        if (c < 0x80) {
            flush();
            if (controls == Controls::Drop) {
                if (c == '\t')
                    out.push_back(' ');
            } else {
                out.push_back('\\');
                switch (c) {
                case '\n':
                    out.push_back('n');
                    break;
                case '\r':
                    out.push_back('r');
                    break;
                case '\t':
                    out.push_back('t');
                    break;
                default:
                    out.push_back('x');
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 15]);
                }
            }
            run = ++i;
            continue;
        }
        const size_t len = sequenceAt(s, i);
        if (len == 3 && controls != Controls::Keep && nonCharacterAt(s, i)) {
            flush();
            if (controls == Controls::Show)
                out += static_cast<unsigned char>(s[i + 2]) == 0xBE ? "\\uFFFE" : "\\uFFFF";
            else
                out += "\xEF\xBF\xBD";
            run = i += 3;
            continue;
        }
        if (len > 0) {
            i += len;
            continue;
        }
        flush();
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        run = ++i;
    }
    flush();
}

} // namespace vyr

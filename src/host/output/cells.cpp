// Cell text for the renderers: numbers under their formats, texts escaped for
// each output. The number formats give exactly what the host's format engine
// (vyr::fmt) gives, but without its allocations and repeated printf calls: a
// full table of a large data set has millions of cells, and formatting them
// was most of the cost of writing its listing and HTML page.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "host/output/render.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_pool.h"
#include "vyr_text.h"

namespace vdq
{
namespace
{

uint64_t bitsOf(double d)
{
    uint64_t v;
    std::memcpy(&v, &d, sizeof v);
    return v;
}

// Powers of ten up to 10^22 are exact doubles (the same values std::pow gives).
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

void appendUnsigned(std::string& out, uint64_t v)
{
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<size_t>(r.ptr - buf));
}

// The integer n / 10^d written with d decimals ("-12.05", "0.007").
void appendScaled(std::string& out, int64_t n, int d)
{
    if (n < 0)
        out.push_back('-');
    const uint64_t u = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, u);
    const size_t len = static_cast<size_t>(r.ptr - buf);
    if (d == 0) {
        out.append(buf, len);
        return;
    }
    const size_t dd = static_cast<size_t>(d);
    if (len <= dd) {
        out.append("0.");
        out.append(dd - len, '0');
        out.append(buf, len);
    } else {
        out.append(buf, len - dd);
        out.push_back('.');
        out.append(buf + len - dd, dd);
    }
}

// A number with d decimals, halves rounded away from zero, no sign on a
// value that rounds to zero: the host's fixed notation. Where the value
// times 10^d is below 10^15, rounding that product gives an integer whose
// digits are what printf shows for the rounded value (the value is then far
// from any halfway point of the d-th decimal), so they are written directly.
void fixedText(std::string& out, double v, int d)
{
    if (d <= 15) {
        const double x = v * kPow10[d];
        if (std::fabs(x) < 1e15) {
            appendScaled(out, static_cast<int64_t>(std::round(x)), d);
            return;
        }
    }
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", d, v);
    std::string_view s(buf);
    if (s[0] == '-' && s.find_first_not_of("-0.") == std::string_view::npos)
        s.remove_prefix(1);
    out.append(s);
}

// Strips trailing zeros (and a trailing point) from the fraction of `s`
// starting at `from`.
void stripFraction(std::string& s, size_t from)
{
    if (s.find('.', from) == std::string::npos)
        return;
    while (s.size() > from && s.back() == '0')
        s.pop_back();
    if (s.size() > from && s.back() == '.')
        s.pop_back();
}

int significantDigits(std::string_view s)
{
    int n = 0;
    bool started = false;
    for (char c : s) {
        if (c == 'E')
            break;
        if (c >= '1' && c <= '9')
            started = true;
        if (started && c >= '0' && c <= '9')
            ++n;
    }
    return n;
}

// The value's decimal digits rounded to 17 significant digits: close enough
// to the exact value to round it correctly to 15 or fewer digits, except when
// the digits dropped read exactly 5000..., which may be a tie.
struct Digits17 {
    char d[17];
    int exp10 = 0;
    bool neg = false;
    explicit Digits17(double v)
    {
        char buf[40];
        auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 16);
        const char* p = buf;
        if (*p == '-') {
            neg = true;
            ++p;
        }
        d[0] = *p++;
        ++p; // the point
        std::memcpy(d + 1, p, 16);
        p += 16 + 1; // the digits and the 'e'
        std::from_chars(*p == '+' ? p + 1 : p, r.ptr, exp10);
    }
};

int exponentLength(int e)
{
    int n = e < 0 ? 2 : 1;
    for (int a = e < 0 ? -e : e; a >= 10; a /= 10)
        ++n;
    return n;
}

// Scientific notation with m mantissa decimals, trailing zeros dropped:
// "1.25E-10", "-3E7", as printf's %.*E rounds.
void sciText(std::string& out, double v, int m, const Digits17& dig)
{
    char d[17];
    std::memcpy(d, dig.d, sizeof d);
    int e = dig.exp10;
    bool tie = d[m + 1] == '5';
    for (int k = m + 2; k < 17 && tie; ++k)
        tie = d[k] == '0';
    if (tie) {
        // Perhaps exactly halfway: let the exact conversion decide.
        char buf[64];
        auto r =
            std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, m);
        const char* ep = std::find(buf, r.ptr, 'e');
        d[0] = buf[0];
        if (m > 0)
            std::memcpy(d + 1, buf + 2, static_cast<size_t>(m));
        std::from_chars(ep[1] == '+' ? ep + 2 : ep + 1, r.ptr, e);
    } else if (d[m + 1] >= '5') {
        int k = m;
        while (k >= 0 && d[k] == '9')
            d[k--] = '0';
        if (k >= 0) {
            ++d[k];
        } else {
            d[0] = '1';
            ++e;
        }
    }
    if (dig.neg)
        out.push_back('-');
    const size_t from = out.size();
    out.push_back(d[0]);
    if (m > 0) {
        out.push_back('.');
        out.append(d + 1, static_cast<size_t>(m));
        stripFraction(out, from);
    }
    out.push_back('E');
    char buf[12];
    auto r = std::to_chars(buf, buf + sizeof buf, e);
    out.append(buf, static_cast<size_t>(r.ptr - buf));
}

// The host's BESTw. text of a finite, non-zero, non-missing value: the
// fixed notation with as many decimals as fit (at most 15 significant
// digits), unless scientific notation shows more significant digits.
void bestGeneral(std::string& out, double v, int w)
{
    const double a = std::fabs(v);
    const int mag = static_cast<int>(std::floor(std::log10(a)));
    const bool neg = v < 0;
    std::string fx;
    {
        const int maxd = std::max(0, 14 - mag);
        const int intlen = (mag >= 0 ? mag + 1 : 1) + (neg ? 1 : 0);
        const int room = w - intlen - 1;
        for (int d = std::min(maxd, std::max(room, 0)); d >= 0; --d) {
            fx.clear();
            fixedText(fx, v, d);
            stripFraction(fx, 0);
            if (static_cast<int>(fx.size()) <= w)
                break;
            fx.clear();
        }
        if (fx == "0" || fx == "-0")
            fx.clear(); // all digits lost: let scientific notation show the value
    }
    const int fxDigits = significantDigits(fx);
    // Scientific notation of k significant digits takes at least k + 1
    // characters for the mantissa (k > 1) and the exponent's: when even
    // that many digits could not beat the fixed text, it is not worked out.
    if (!fx.empty()) {
        int expLen =
            std::min({exponentLength(mag - 1), exponentLength(mag), exponentLength(mag + 1)});
        int most = std::max(1, w - 2 - (neg ? 1 : 0) - expLen);
        if (fxDigits >= most) {
            out += fx;
            return;
        }
    }
    const Digits17 dig(v);
    std::string sc;
    for (int m = 14; m >= 0; --m) {
        sc.clear();
        sciText(sc, v, m, dig);
        if (static_cast<int>(sc.size()) <= w)
            break;
        sc.clear();
    }
    if (!fx.empty() && (sc.empty() || fxDigits >= significantDigits(sc)))
        out += fx;
    else if (!sc.empty())
        out += sc;
    else
        out.append(static_cast<size_t>(std::max(w, 1)), '*');
}

// p-values: four decimals, "<.0001" below that, no leading zero.
void pvalueText(std::string& out, double v)
{
    if (v < 0.0001 && v >= 0) {
        out += "<.0001";
        return;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    std::string_view s(buf);
    if (s.size() > 1 && s[0] == '0' && s[1] == '.')
        s.remove_prefix(1);
    out.append(s);
}

} // namespace

bool isTotalMarker(double d)
{
    static const uint64_t total = bitsOf(xgcbconst(84));
    return bitsOf(d) == total;
}

bool isStratumTotalMarker(double d)
{
    static const uint64_t stratumTotal = bitsOf(xgcbconst(83));
    return bitsOf(d) == stratumTotal;
}

bool isEmptiedSlot(double d)
{
    static const uint64_t emptied = bitsOf(xgcbconst(95));
    return bitsOf(d) == emptied || isStratumTotalMarker(d);
}

// The letter of a special missing value (byte 5 0xFF is "_", 0xFD down to
// 0xE4 are "A" to "Z"); 0 for the ordinary missing value.
char missingLetter(double d)
{
    unsigned char b = korv_missing_byte5(d);
    if (b == 0xFF)
        return '_';
    if (b <= 0xFD && b >= 0xFD - 25)
        return static_cast<char>('A' + (0xFD - b));
    return 0;
}

void appendBest(std::string& out, double v, int width)
{
    const int w = std::clamp(width, 1, 32);
    if (wzmis(v)) {
        char c = missingLetter(v);
        out.push_back(c ? c : '.');
        return;
    }
    if (v == 0) {
        out.push_back('0');
        return;
    }
    if (std::isinf(v)) {
        out += v > 0 ? "I" : "-I";
        return;
    }
    if (std::isnan(v)) {
        out.push_back('.');
        return;
    }
    // A whole number that fits shows its digits (the fixed text, stripped,
    // always has at least as many significant digits as any scientific one).
    if (std::fabs(v) < 1e15 && v == std::trunc(v)) {
        const size_t start = out.size();
        const int64_t n = static_cast<int64_t>(v);
        if (n < 0)
            out.push_back('-');
        appendUnsigned(out, n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n));
        if (static_cast<int>(out.size() - start) <= w)
            return;
        out.resize(start);
    }
    bestGeneral(out, v, w);
}

void appendFixed(std::string& out, double v, int width, int decimals)
{
    const size_t start = out.size();
    for (int d = decimals; d >= 0; --d) {
        fixedText(out, v, d);
        if (static_cast<int>(out.size() - start) <= width)
            return;
        out.resize(start);
    }
    appendBest(out, v, std::min(width, 32));
}

void appendJsonNumber(std::string& out, double d)
{
    if (wzmis(d) || !std::isfinite(d)) {
        out += "null";
        return;
    }
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    out.append(buf, static_cast<size_t>(r.ptr - buf));
}

std::string jsonNumber(double d)
{
    std::string s;
    appendJsonNumber(s, d);
    return s;
}

CellStyle cellStyle(const Column& c, const TableTemplate* t)
{
    CellStyle s;
    s.format = columnFormat(c, t);
    if (s.format.rfind("PVALUE", 0) == 0) {
        s.mode = CellStyle::PValue;
        return s;
    }
    vyr::fmt::FormatDesc spec;
    if (s.format.empty() || !vyr::fmt::parse(s.format, spec) || spec.character()) {
        s.mode = CellStyle::Best;
        s.width = 12;
        return s;
    }
    const int w = spec.width > 0 ? spec.width : vyr::fmt::default_width(spec);
    // A count column (w.0) holding a fractional count, as frequencies under
    // NOTRUNCATE give, shows the count itself rather than a rounded one that
    // no longer adds up.
    s.countCheck = spec.name.empty() && spec.decimals == 0;
    if (spec.name == "BEST") {
        s.mode = CellStyle::Best;
        s.width = std::min(w, 32);
    } else if (spec.name.empty()) {
        s.mode = CellStyle::Fixed;
        s.width = w;
        s.decimals = spec.hasDecimals ? spec.decimals : 0;
    } else {
        s.mode = CellStyle::Other;
    }
    return s;
}

void appendNumberText(std::string& out, const CellStyle& style, double d)
{
    // The Total marker and the emptied slot are special missing values.
    if (wzmis(d)) {
        if (isTotalMarker(d)) {
            out += "Total";
        } else if (isStratumTotalMarker(d)) {
            // A stratum's total over its GROUP= levels, under its rows.
            out += "Subtotal";
        } else if (!isEmptiedSlot(d)) {
            out.push_back('.');
            if (char c = missingLetter(d))
                out.push_back(c);
        }
        return;
    }
    // An overflowed result has no number to show; JSON writes it as null.
    if (!std::isfinite(d)) {
        out.push_back('.');
        return;
    }
    if (style.countCheck && std::fabs(d) < 1e15 &&
        std::fabs(d - std::nearbyint(d)) > 1e-9 * std::max(1.0, std::fabs(d))) {
        appendBest(out, d, 12);
        return;
    }
    switch (style.mode) {
    case CellStyle::PValue:
        pvalueText(out, d);
        break;
    case CellStyle::Fixed:
        appendFixed(out, d, style.width, style.decimals);
        break;
    case CellStyle::Other:
        out += vyr::trim_blanks(vyr::fmt::format_number(d, style.format));
        break;
    default:
        appendBest(out, d, style.width);
        break;
    }
}

namespace
{

size_t decimalDigits(uint64_t u)
{
    size_t n = 1;
    while (u >= 10) {
        u /= 10;
        ++n;
    }
    return n;
}

} // namespace

size_t numberWidth(const CellStyle& style, double d, std::string& scratch)
{
    if (!wzmis(d) && std::isfinite(d) && !style.countCheck) {
        if (style.mode == CellStyle::Fixed && style.decimals <= 15) {
            // The length of the fixed text that fixedText would write.
            const double x = d * kPow10[style.decimals];
            if (std::fabs(x) < 1e15) {
                const int64_t n = static_cast<int64_t>(std::round(x));
                const uint64_t u = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
                const size_t digits = decimalDigits(u);
                const size_t dd = static_cast<size_t>(style.decimals);
                const size_t len =
                    (n < 0 ? 1 : 0) + (dd == 0 ? digits : std::max(digits, dd + 1) + 1);
                if (len <= static_cast<size_t>(style.width))
                    return len;
            }
        } else if (style.mode == CellStyle::Best && std::fabs(d) < 1e15 && d == std::trunc(d)) {
            const int64_t n = static_cast<int64_t>(d);
            const size_t len = (n < 0 ? 1 : 0) + decimalDigits(n < 0 ? 0 - static_cast<uint64_t>(n)
                                                                     : static_cast<uint64_t>(n));
            if (len <= static_cast<size_t>(std::clamp(style.width, 1, 32)))
                return len;
        }
    }
    scratch.clear();
    appendNumberText(scratch, style, d);
    return scratch.size();
}

void appendCell(std::string& out, const CellStyle& style, const Rows& rows, size_t r, size_t c)
{
    if (c >= rows.width(r)) {
        out.push_back('.');
        return;
    }
    const CellView v = rows.view(r, c);
    if (v.kind == Cell::Text)
        appendShown(out, v.s);
    else
        appendNumberText(out, style, v.d);
}

std::string cellText(const Column& c, const Cell& v, const TableTemplate* t)
{
    std::string out;
    if (v.kind == Cell::Text)
        appendShown(out, v.s);
    else
        appendNumberText(out, cellStyle(c, t), v.d);
    return out;
}

// ---------------------------------------------------------------------------
// Texts.

bool needsShowing(std::string_view s)
{
    return vyr::text_needs_care(s, vyr::Controls::Show);
}

void appendShown(std::string& out, std::string_view s)
{
    vyr::write_text(out, s, vyr::Controls::Show);
}

std::string shown(std::string_view s)
{
    std::string out;
    appendShown(out, s);
    return out;
}

size_t displayColumns(std::string_view s)
{
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

namespace
{

// Bytes that the HTML page (bit 1) or a JSON string (bit 2) must write
// differently: control characters, bytes above 0x7E, and the markup and
// quoting characters of each.
struct SpecialBytes {
    unsigned char mark[256] = {};
    SpecialBytes()
    {
        for (int c = 0; c < 256; ++c)
            if (c < 0x20 || c >= 0x7F)
                mark[c] = 3;
        for (unsigned char c : {'&', '<', '>', '"'})
            mark[c] |= 1;
        for (unsigned char c : {'"', '\\'})
            mark[c] |= 2;
    }
};
const SpecialBytes kSpecial;

bool plainText(std::string_view s, unsigned char which)
{
    for (unsigned char c : s)
        if (kSpecial.mark[c] & which)
            return false;
    return true;
}

} // namespace

void appendHtml(std::string& out, std::string_view text)
{
    if (plainText(text, 1)) {
        out.append(text);
        return;
    }
    const std::string s = shown(text);
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out.push_back(c);
        }
    }
}

std::string esc(std::string_view s)
{
    std::string out;
    appendHtml(out, s);
    return out;
}

void appendJsonString(std::string& out, std::string_view text)
{
    out.push_back('"');
    if (plainText(text, 2)) {
        out.append(text);
        out.push_back('"');
        return;
    }
    std::string s;
    vyr::write_text(s, text, vyr::Controls::Keep);
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char b[8];
                std::snprintf(b, sizeof b, "\\u%04x", c);
                out += b;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out.push_back('"');
}

void renderInPieces(size_t n, size_t grain,
                    const std::function<void(size_t, size_t, std::string&)>& piece,
                    const std::function<void(const std::string&)>& emit)
{
    if (n == 0)
        return;
    grain = std::max<size_t>(grain, 1);
    const size_t pieces = (n + grain - 1) / grain;
    const size_t width = vyr::pool_width();
    if (pieces == 1 || width <= 1) {
        std::string buf;
        for (size_t p = 0; p < pieces; ++p) {
            buf.clear();
            piece(p * grain, std::min(n, (p + 1) * grain), buf);
            emit(buf);
        }
        return;
    }
    // A ring of buffers: piece p renders into slot p % ring once piece
    // p - ring has been written out. Whichever thread finishes the piece
    // that is next in row order writes it, and every finished piece after
    // it, so that the threads never wait for one another at a barrier.
    const size_t ring = std::min(pieces, 4 * width);
    std::vector<std::string> bufs(ring);
    std::vector<size_t> ready(ring, SIZE_MAX); // the piece each slot holds, when finished
    std::mutex lock;
    std::condition_variable freed;
    size_t next = 0; // the piece to write next
    bool writing = false, failed = false;
    auto fail = [&] {
        std::lock_guard<std::mutex> g(lock);
        failed = true;
        freed.notify_all();
    };
    vyr::parallel_for(pieces, [&](size_t p) {
        const size_t slot = p % ring;
        {
            std::unique_lock<std::mutex> g(lock);
            freed.wait(g, [&] { return failed || next + ring > p; });
            if (failed)
                return;
        }
        try {
            bufs[slot].clear();
            piece(p * grain, std::min(n, (p + 1) * grain), bufs[slot]);
        } catch (...) {
            fail();
            throw;
        }
        std::unique_lock<std::mutex> g(lock);
        ready[slot] = p;
        if (writing)
            return; // the thread writing will come to it
        writing = true;
        while (!failed && next < pieces && ready[next % ring] == next) {
            const size_t s = next % ring;
            g.unlock();
            try {
                emit(bufs[s]);
            } catch (...) {
                g.lock();
                writing = false;
                g.unlock();
                fail();
                throw;
            }
            g.lock();
            ready[s] = SIZE_MAX;
            ++next;
            freed.notify_all();
        }
        writing = false;
    });
}

} // namespace vdq

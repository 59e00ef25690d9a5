// The format engine: numbers and texts into fixed-width fields.
#include "vyr_format.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_text.h"

namespace vyr::fmt
{
namespace
{

constexpr int kMaxWidth = 256;

using vyr::upper;

bool known_name(const std::string& n)
{
    static const char* const names[] = {"",        "BEST", "E",        "$",    "$CHAR",
                                        "PERCENT", "DATE", "DATETIME", "TIME", "F"};
    for (const char* k : names)
        if (n == k)
            return true;
    return false;
}

std::string pad_left(std::string s, int w)
{
    if (static_cast<int>(s.size()) < w)
        s.insert(0, static_cast<size_t>(w) - s.size(), ' ');
    return s;
}

std::string stars(int w)
{
    return std::string(static_cast<size_t>(std::max(w, 1)), '*');
}

// The text of a missing value: "." or its letter.
std::string missing_text(double v)
{
    unsigned char b = korv_missing_byte5(v);
    if (b == 0xFF)
        return "_";
    if (b <= 0xFD && b >= 0xFD - 25)
        return std::string(1, static_cast<char>('A' + (0xFD - b)));
    return ".";
}

// Strips trailing zeros (and a trailing point) from the fraction of a fixed
// text; leaves exponent parts alone.
void strip_fraction(std::string& s)
{
    if (s.find('.') == std::string::npos)
        return;
    while (!s.empty() && s.back() == '0')
        s.pop_back();
    if (!s.empty() && s.back() == '.')
        s.pop_back();
}

int significant_digits(const std::string& s)
{
    int n = 0;
    bool started = false;
    for (char c : s) {
        if (c == 'E')
            break;
        if (c >= '1' && c <= '9')
            started = true;
        if (started && std::isdigit(static_cast<unsigned char>(c)))
            ++n;
    }
    return n;
}

// Scientific text with `m` mantissa decimals: "1.25E-10", "-3E7".
std::string sci(double v, int m)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*E", m, v);
    std::string s(buf);
    size_t e = s.find('E');
    std::string mant = s.substr(0, e);
    strip_fraction(mant);
    int ex = std::atoi(s.c_str() + e + 1);
    return mant + "E" + std::to_string(ex);
}

std::string fixed(double v, int d)
{
    // Halves round away from zero, as people expect of printed tables.
    if (d <= 15) {
        double scale = std::pow(10.0, d);
        double x = v * scale;
        if (std::fabs(x) < 1e15)
            v = std::round(x) / scale;
    }
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", d, v);
    std::string s(buf);
    // "-0", "-0.00": no sign on a value that rounds to zero.
    if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos)
        s.erase(0, 1);
    return s;
}

std::string best_unpadded(double v, int w)
{
    if (v == 0)
        return "0";
    if (std::isinf(v))
        return v > 0 ? "I" : "-I";
    if (std::isnan(v))
        return ".";
    double a = std::fabs(v);
    int mag = static_cast<int>(std::floor(std::log10(a))); // exponent of the leading digit
    // Fixed candidate: as many decimals as fit, at most 15 significant digits.
    std::string fx;
    {
        int maxd = std::max(0, 14 - mag);
        int intlen = (mag >= 0 ? mag + 1 : 1) + (v < 0 ? 1 : 0);
        int room = w - intlen - 1;
        int d = std::min(maxd, std::max(room, 0));
        for (; d >= 0; --d) {
            std::string s = fixed(v, d);
            strip_fraction(s);
            if (static_cast<int>(s.size()) <= w) {
                fx = s;
                break;
            }
        }
        if (fx == "0" || fx == "-0")
            fx.clear(); // all digits lost: let scientific notation show the value
    }
    std::string sc;
    for (int m = 14; m >= 0; --m) {
        std::string s = sci(v, m);
        if (static_cast<int>(s.size()) <= w) {
            sc = s;
            break;
        }
    }
    if (!fx.empty() && (sc.empty() || significant_digits(fx) >= significant_digits(sc)))
        return fx;
    if (!sc.empty())
        return sc;
    return stars(w);
}

const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                               "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

// Civil date of a day count since 1960-01-01.
void civil(long long days, int& y, int& m, int& d)
{
    long long z = days - 3653 + 719468; // days since 0000-03-01
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long yy = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

std::string date_text(double v, int w)
{
    if (std::fabs(v) > 1e7)
        return stars(w);
    int y, m, d;
    civil(static_cast<long long>(std::floor(v)), y, m, d);
    char buf[64];
    if (w >= 11)
        std::snprintf(buf, sizeof buf, "%02d-%s-%04d", d, kMonths[m - 1], y);
    else if (w >= 9)
        std::snprintf(buf, sizeof buf, "%02d%s%04d", d, kMonths[m - 1], y);
    else if (w >= 7)
        std::snprintf(buf, sizeof buf, "%02d%s%02d", d, kMonths[m - 1], ((y % 100) + 100) % 100);
    else
        std::snprintf(buf, sizeof buf, "%02d%s", d, kMonths[m - 1]);
    return buf;
}

std::string time_text(double v, int w, int dec)
{
    bool neg = v < 0;
    double a = std::fabs(v);
    // Seconds beyond what a count of whole seconds holds (and infinities)
    // have no clock time to show.
    if (!(a < 9e18))
        return stars(w);
    dec = std::clamp(dec, 0, 9);
    double scale = std::pow(10.0, dec);
    double r = std::round(a * scale) / scale;
    long long secs = static_cast<long long>(std::floor(r));
    double frac = r - static_cast<double>(secs);
    long long h = secs / 3600, mi = (secs / 60) % 60, s = secs % 60;
    char buf[96];
    if (w < 8 && dec == 0)
        std::snprintf(buf, sizeof buf, "%s%lld:%02lld", neg ? "-" : "", h, mi);
    else if (dec > 0) {
        char f[32];
        std::snprintf(f, sizeof f, "%.*f", dec, frac);
        std::snprintf(buf, sizeof buf, "%s%lld:%02lld:%02lld%s", neg ? "-" : "", h, mi, s, f + 1);
    } else
        std::snprintf(buf, sizeof buf, "%s%lld:%02lld:%02lld", neg ? "-" : "", h, mi, s);
    return buf;
}

std::string datetime_text(double v, int w, int dec)
{
    if (std::fabs(v) > 1e12)
        return stars(w);
    double days = std::floor(v / 86400.0);
    double secs = v - days * 86400.0;
    int y, m, d;
    civil(static_cast<long long>(days), y, m, d);
    char buf[96];
    // A four-digit year when the field has room for it next to the time.
    if (w >= 18 + (dec > 0 ? dec + 1 : 0))
        std::snprintf(buf, sizeof buf, "%02d%s%04d:", d, kMonths[m - 1], y);
    else
        std::snprintf(buf, sizeof buf, "%02d%s%02d:", d, kMonths[m - 1], ((y % 100) + 100) % 100);
    std::string t = time_text(secs, w >= 16 ? 8 : 5, w >= 16 ? dec : 0);
    if (t.size() < 5 || t[1] == ':')
        t = std::string(1, '0') + t;
    return std::string(buf) + t;
}

} // namespace

bool parse(std::string_view text, FormatDesc& out)
{
    std::string s = upper(text);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    while (!s.empty() && s.front() == ' ')
        s.erase(0, 1);
    if (s.empty())
        return false;
    FormatDesc r;
    size_t i = 0;
    if (s[0] == '$')
        ++i;
    while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i])))
        ++i;
    r.name = s.substr(0, i);
    size_t j = i;
    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])))
        ++j;
    if (j > i) {
        if (j - i > 4)
            return false;
        r.width = std::stoi(s.substr(i, j - i));
    }
    if (j < s.size()) {
        if (s[j] != '.')
            return false;
        size_t k = j + 1;
        while (k < s.size() && std::isdigit(static_cast<unsigned char>(s[k])))
            ++k;
        if (k > j + 1) {
            if (k - j - 1 > 2)
                return false;
            r.decimals = std::stoi(s.substr(j + 1, k - j - 1));
            r.hasDecimals = true;
        }
        if (k != s.size())
            return false;
    } else if (r.name.empty() || j == i) {
        // "BEST" alone or "12" alone without a period is not a format text.
        if (r.name.empty() || r.name == "$")
            return false;
    }
    if (r.name == "F")
        r.name.clear();
    if (r.name.empty() && r.width == 0)
        return false;
    if (!known_name(r.name))
        return false;
    if (r.width > kMaxWidth)
        return false;
    out = r;
    return true;
}

int default_width(const FormatDesc& desc)
{
    const std::string& n = desc.name;
    if (n == "BEST" || n == "E")
        return 12;
    if (n.empty())
        return 8;
    if (n == "$" || n == "$CHAR")
        return 8;
    if (n == "PERCENT")
        return 6;
    if (n == "DATE")
        return 7;
    if (n == "TIME")
        return 8;
    if (n == "DATETIME")
        return 16;
    return 12;
}

static int width_of(const FormatDesc& desc)
{
    return desc.width > 0 ? std::min(desc.width, kMaxWidth) : default_width(desc);
}

std::string text(const FormatDesc& desc)
{
    std::string r = desc.name;
    if (desc.width > 0)
        r += std::to_string(desc.width);
    r += '.';
    if (desc.hasDecimals)
        r += std::to_string(desc.decimals);
    return r;
}

std::string best(double value, int width)
{
    int w = std::clamp(width, 1, 32);
    if (wzmis(value))
        return pad_left(missing_text(value), w);
    return pad_left(best_unpadded(value, w), w);
}

std::string best_trim(double value)
{
    return trim_blanks(best(value, 12));
}

std::string format_number(double value, const FormatDesc& desc)
{
    int w = width_of(desc);
    if (wzmis(value))
        return pad_left(missing_text(value), w);
    const std::string& n = desc.name;
    std::string s;
    if (n == "BEST" || desc.character()) {
        return best(value, std::min(w, 32));
    } else if (n.empty()) {
        int d = desc.hasDecimals ? desc.decimals : 0;
        if (!std::isfinite(value))
            return best(value, w);
        for (; d >= 0; --d) {
            s = fixed(value, d);
            if (static_cast<int>(s.size()) <= w)
                break;
        }
        if (static_cast<int>(s.size()) > w)
            return best(value, std::min(w, 32));
        // Keep the requested decimals when they fit; fewer decimals only when
        // needed (the loop above).
    } else if (n == "E") {
        int m = std::max(0, w - 7 - (value < 0 ? 1 : 0));
        char buf[96];
        std::snprintf(buf, sizeof buf, "%.*E", std::min(m, 30), value);
        s = buf;
        if (static_cast<int>(s.size()) > w)
            s = stars(w);
    } else if (n == "PERCENT") {
        int d = desc.hasDecimals ? desc.decimals : 0;
        double p = value * 100.0;
        for (; d >= 0; --d) {
            s = fixed(p, d) + "%";
            if (static_cast<int>(s.size()) <= w)
                break;
        }
        if (static_cast<int>(s.size()) > w)
            s = stars(w);
    } else if (n == "DATE") {
        s = date_text(value, w);
    } else if (n == "TIME") {
        s = time_text(value, w, desc.hasDecimals ? desc.decimals : 0);
    } else if (n == "DATETIME") {
        s = datetime_text(value, w, desc.hasDecimals ? desc.decimals : 0);
    } else {
        return best(value, std::min(w, 32));
    }
    if (static_cast<int>(s.size()) > w)
        s = stars(w);
    return pad_left(s, w);
}

std::string format_number(double value, std::string_view format_text)
{
    FormatDesc desc;
    if (!parse(format_text, desc) || desc.character())
        return best(value, desc.width > 0 ? desc.width : 12);
    return format_number(value, desc);
}

std::string format_text(std::string_view value, const FormatDesc& desc)
{
    std::string_view v = value;
    if (desc.name == "$") {
        size_t k = v.find_first_not_of(' ');
        v = k == std::string_view::npos ? std::string_view() : v.substr(k);
    }
    if (desc.width <= 0)
        return std::string(v);
    std::string r(v.substr(0, static_cast<size_t>(desc.width)));
    r.resize(static_cast<size_t>(desc.width), ' ');
    return r;
}

FormatDesc resolve(const NAMESTR& nm)
{
    FormatDesc desc;
    bool has = false;
    if (nm.nformlongl > 0 || nm.nfl > 0) {
        std::string name = nm.nformlongl > 0 ? std::string(nm.nformlong, nm.nformlongl)
                                             : std::string(nm.nform, nm.nfl);
        desc.name = upper(name);
        if (desc.name == "F")
            desc.name.clear();
        desc.width = nm.nflen;
        desc.decimals = nm.nfd;
        desc.hasDecimals = nm.nfd != 0;
        has = known_name(desc.name) && (desc.width > 0 || !desc.name.empty());
    }
    if (nm.ntype == 2) {
        FormatDesc cs;
        cs.name = has && desc.character() ? desc.name : "$CHAR";
        cs.width = has && desc.width > 0 ? desc.width : vyr_namestr_length(nm);
        return cs;
    }
    if (!has || desc.character())
        desc = FormatDesc{"BEST", 12, 0, false};
    return desc;
}

std::string format_value(const NAMESTR& nm, const void* value, int width)
{
    FormatDesc desc = resolve(nm);
    if (nm.ntype == 2) {
        int len = vyr_namestr_length(nm);
        std::string_view raw(static_cast<const char*>(value), static_cast<size_t>(len));
        if (width > 0)
            desc.width = width;
        return format_text(raw, desc);
    }
    double d;
    std::memcpy(&d, value, sizeof d);
    if (width > 0 && desc.width == 0)
        desc.width = width;
    std::string s = format_number(d, desc);
    if (width > 0) {
        if (static_cast<int>(s.size()) > width) {
            // Keep the right-justified value: drop leading blanks first.
            std::string t = trim_blanks(s);
            s = static_cast<int>(t.size()) <= width ? pad_left(t, width) : stars(width);
        } else {
            s.resize(static_cast<size_t>(width), ' ');
        }
    }
    return s;
}

} // namespace vyr::fmt

// ---------------------------------------------------------------------------
// Format codes: an index into a run-wide table of parsed formats.
namespace
{
std::mutex g_codes_mutex;
std::deque<vyr::fmt::FormatDesc>& codes()
{
    static std::deque<vyr::fmt::FormatDesc> table;
    return table;
}
} // namespace

int vyr_format_code(std::string_view format_text)
{
    vyr::fmt::FormatDesc desc;
    if (!vyr::fmt::parse(format_text, desc))
        return 0;
    std::lock_guard<std::mutex> lock(g_codes_mutex);
    auto& t = codes();
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i].name == desc.name && t[i].width == desc.width && t[i].decimals == desc.decimals &&
            t[i].hasDecimals == desc.hasDecimals)
            return static_cast<int>(i) + 1;
    t.push_back(desc);
    return static_cast<int>(t.size());
}

const vyr::fmt::FormatDesc* vyr_format_desc(int fmtcode)
{
    std::lock_guard<std::mutex> lock(g_codes_mutex);
    auto& t = codes();
    if (fmtcode < 1 || fmtcode > static_cast<int>(t.size()))
        return nullptr;
    return &t[static_cast<size_t>(fmtcode) - 1];
}

int xpfs(double value, int width, int decimals, char* buffer)
{
    int w = width < 0 ? -width : width;
    if (w == 0 || buffer == nullptr)
        return 0;
    std::string s;
    if (decimals == 99) {
        s = vyr::fmt::best(value, std::min(w, 32));
    } else {
        vyr::fmt::FormatDesc desc{"", w, decimals, true};
        s = vyr::fmt::format_number(value, desc);
    }
    if (static_cast<int>(s.size()) > w)
        s = vyr::trim_blanks(s);
    if (static_cast<int>(s.size()) > w)
        s.assign(static_cast<size_t>(w), '*');
    if (width < 0) {
        s = vyr::trim_blanks(s);
        s.resize(static_cast<size_t>(w), ' ');
    } else if (static_cast<int>(s.size()) < w) {
        s.insert(0, static_cast<size_t>(w) - s.size(), ' ');
    }
    std::memcpy(buffer, s.data(), static_cast<size_t>(w));
    return 0;
}

int xfxbpn(WZ_FMTPAR* par, int fmtcode)
{
    if (par == nullptr || par->to == nullptr || par->tow <= 0)
        return vyr_code(70, 20);
    const vyr::fmt::FormatDesc* found = vyr_format_desc(fmtcode);
    vyr::fmt::FormatDesc desc = found ? *found : vyr::fmt::FormatDesc{"BEST", 0, 0, false};
    if (par->w > 0)
        desc.width = par->w;
    if (par->d > 0) {
        desc.decimals = par->d;
        desc.hasDecimals = true;
    }
    if (desc.width == 0)
        desc.width = std::min(par->tow, vyr::fmt::default_width(desc));
    std::string s;
    if (desc.character()) {
        std::string_view v(static_cast<const char*>(par->from),
                           par->from ? static_cast<size_t>(std::max(par->fromw, 0)) : 0);
        s = vyr::fmt::format_text(v, desc);
    } else {
        double d = korv_missing();
        if (par->from != nullptr && par->fromw == 8)
            std::memcpy(&d, par->from, sizeof d);
        s = vyr::fmt::format_number(d, desc);
    }
    if (static_cast<int>(s.size()) > par->tow)
        s = vyr::trim_blanks(s);
    s.resize(static_cast<size_t>(par->tow), ' ');
    std::memcpy(par->to, s.data(), static_cast<size_t>(par->tow));
    return found ? 0 : vyr_code(70, 21);
}

// The program reader's tokenizer for procedure statements: names, two-level
// names, quoted strings (doubled quotes inside), numbers, date, time and
// date-time literals, missing values and punctuation.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "host/parse/parse_internal.h"
#include "vyr_missing.h"

namespace vyr::parse
{

namespace
{

bool name_start(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool name_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Days from 1960-01-01 to year/month/day (proleptic Gregorian).
long days_from_civil(long y, int m, int d)
{
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 - (-3653); // 1970 epoch to 1960 epoch
}

int month_of(const std::string& m)
{
    static const char* names[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                  "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    for (int i = 0; i < 12; ++i)
        if (m == names[i])
            return i + 1;
    return 0;
}

bool all_digits(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

std::string trim(const std::string& s)
{
    std::size_t a = 0, b = s.size();
    while (a < b && s[a] == ' ')
        ++a;
    while (b > a && s[b - 1] == ' ')
        --b;
    return s.substr(a, b - a);
}

} // namespace

bool read_date(const std::string& raw, double* days)
{
    std::string s = upper(trim(raw));
    // d or dd, then three letters, then yy or yyyy.
    std::size_t i = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i;
    if (i < 1 || i > 2 || s.size() < i + 5)
        return false;
    int d = std::atoi(s.substr(0, i).c_str());
    int m = month_of(s.substr(i, 3));
    std::string ys = s.substr(i + 3);
    if (!m || !all_digits(ys) || (ys.size() != 2 && ys.size() != 4))
        return false;
    long y = std::atol(ys.c_str());
    if (ys.size() == 2)
        y += (y < 20) ? 2000 : 1900; // two-digit years: 1920 .. 2019
    static const int mdays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d < 1 || d > mdays[m - 1] || (m == 2 && d == 29 && !leap))
        return false;
    *days = static_cast<double>(days_from_civil(y, m, d));
    return true;
}

bool read_time(const std::string& raw, double* seconds)
{
    std::string s = upper(trim(raw));
    int ampm = 0; // 1 AM, 2 PM
    if (s.size() > 2 && (s.substr(s.size() - 2) == "AM" || s.substr(s.size() - 2) == "PM")) {
        ampm = s[s.size() - 2] == 'P' ? 2 : 1;
        s = trim(s.substr(0, s.size() - 2));
    }
    std::size_t c1 = s.find(':');
    if (c1 == std::string::npos)
        return false;
    std::size_t c2 = s.find(':', c1 + 1);
    std::string hs = s.substr(0, c1);
    std::string ms = s.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
    std::string ss = c2 == std::string::npos ? "0" : s.substr(c2 + 1);
    if (!all_digits(hs) || !all_digits(ms) || hs.size() > 2 || ms.size() > 2)
        return false;
    char* end = nullptr;
    double sec = std::strtod(ss.c_str(), &end);
    if (ss.empty() || *end || !(sec >= 0 && sec < 60) || ss[0] == '-' || ss[0] == '+')
        return false;
    int h = std::atoi(hs.c_str()), mi = std::atoi(ms.c_str());
    if (mi > 59 || h > 23)
        return false;
    if (ampm && (h < 1 || h > 12))
        return false;
    if (ampm == 1 && h == 12)
        h = 0;
    else if (ampm == 2 && h < 12)
        h += 12;
    *seconds = h * 3600.0 + mi * 60.0 + sec;
    return true;
}

bool read_datetime(const std::string& raw, double* seconds)
{
    std::string s = trim(raw);
    std::size_t c = s.find(':');
    if (c == std::string::npos)
        return false;
    double days = 0, secs = 0;
    if (!read_date(s.substr(0, c), &days) || !read_time(s.substr(c + 1), &secs))
        return false;
    *seconds = days * 86400.0 + secs;
    return true;
}

std::vector<Token> tokenize(const std::string& text)
{
    std::vector<Token> out;
    const std::size_t n = text.size();
    std::size_t i = 0;
    auto peek = [&](std::size_t k) -> char { return k < n ? text[k] : '\0'; };
    while (i < n) {
        char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        Token t;
        t.offset = i;
        if (name_start(c)) {
            std::size_t j = i;
            while (j < n && name_char(text[j]))
                ++j;
            t.text = text.substr(i, j - i);
            t.cls = TC_NAMEX;
            if (peek(j) == '.' && name_start(peek(j + 1))) {
                // lib.member
                std::size_t k = j + 1;
                while (k < n && name_char(text[k]))
                    ++k;
                t.cls = TC_COMPOUND;
                t.text = text.substr(i, k - i);
                j = k;
            } else if (peek(j) == '.' && !name_char(peek(j + 1))) {
                // a format name such as BEST12. or 8.2 formats written after a name
                std::size_t k = j + 1;
                while (k < n && std::isdigit(static_cast<unsigned char>(text[k])))
                    ++k;
                t.cls = TC_FMT;
                t.text = text.substr(i, k - i);
                j = k;
            }
            t.upper = upper(t.text);
            t.length = j - i;
            i = j;
            out.push_back(std::move(t));
            continue;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) ||
            (c == '.' && std::isdigit(static_cast<unsigned char>(peek(i + 1))))) {
            std::size_t j = i;
            bool real = false;
            while (j < n && std::isdigit(static_cast<unsigned char>(text[j])))
                ++j;
            if (peek(j) == '.') {
                real = true;
                ++j;
                while (j < n && std::isdigit(static_cast<unsigned char>(text[j])))
                    ++j;
            }
            if ((peek(j) == 'e' || peek(j) == 'E') &&
                (std::isdigit(static_cast<unsigned char>(peek(j + 1))) ||
                 ((peek(j + 1) == '+' || peek(j + 1) == '-') &&
                  std::isdigit(static_cast<unsigned char>(peek(j + 2)))))) {
                real = true;
                j += 2;
                while (j < n && std::isdigit(static_cast<unsigned char>(text[j])))
                    ++j;
            }
            t.text = text.substr(i, j - i);
            t.value = std::strtod(t.text.c_str(), nullptr);
            t.cls = real ? TC_NBR : TC_INT;
            if (!std::isfinite(t.value)) {
                t.cls = TC_BAD;
                t.problem = "number out of range";
            } else if (!real && t.value > 2147483647.0) {
                t.cls = TC_NBR; // too large for an integer: a plain number
            }
            if (name_start(peek(j))) {
                // 12abc: not a number and not a name
                std::size_t k = j;
                while (k < n && name_char(text[k]))
                    ++k;
                t.cls = TC_BAD;
                t.problem = "invalid number";
                t.text = text.substr(i, k - i);
                j = k;
            }
            t.upper = upper(t.text);
            t.length = j - i;
            i = j;
            out.push_back(std::move(t));
            continue;
        }
        if (c == '.' &&
            (peek(i + 1) == '_' || std::isalpha(static_cast<unsigned char>(peek(i + 1)))) &&
            !name_char(peek(i + 2))) {
            // special missing value .A .. .Z, ._
            char l = static_cast<char>(std::toupper(static_cast<unsigned char>(peek(i + 1))));
            t.cls = TC_MISSING;
            t.value = korv_special_missing(l == '_' ? 0xFF
                                                    : static_cast<unsigned char>(0xFD - (l - 'A')));
            t.text = text.substr(i, 2);
            t.upper = upper(t.text);
            t.length = 2;
            i += 2;
            out.push_back(std::move(t));
            continue;
        }
        if (c == '.' && !name_char(peek(i + 1))) {
            t.cls = TC_MISSING;
            t.value = korv_missing();
            t.text = t.upper = ".";
            t.length = 1;
            ++i;
            out.push_back(std::move(t));
            continue;
        }
        if (c == '\'' || c == '"') {
            std::size_t j = i + 1;
            std::string content;
            bool closed = false;
            while (j < n) {
                if (text[j] == c) {
                    if (peek(j + 1) == c) {
                        content += c;
                        j += 2;
                        continue;
                    }
                    closed = true;
                    ++j;
                    break;
                }
                content += text[j++];
            }
            if (!closed) {
                t.cls = TC_BAD;
                t.problem = "unbalanced quotation mark";
                t.text = text.substr(i);
                t.upper = t.text;
                t.length = n - i;
                i = n;
                out.push_back(std::move(t));
                continue;
            }
            t.cls = TC_QS;
            t.text = content;
            // A suffix right after the closing quote makes a date, time or
            // date-time literal.
            std::size_t k = j;
            while (k < n && name_char(text[k]))
                ++k;
            std::string suffix = upper(text.substr(j, k - j));
            if (!suffix.empty()) {
                double v = 0;
                if (suffix == "D") {
                    t.cls = TC_DATE;
                    if (!read_date(content, &v))
                        t.problem = "invalid date literal";
                } else if (suffix == "T") {
                    t.cls = TC_TIME;
                    if (!read_time(content, &v))
                        t.problem = "invalid time literal";
                } else if (suffix == "DT") {
                    t.cls = TC_DATETIME;
                    if (!read_datetime(content, &v))
                        t.problem = "invalid date-time literal";
                } else {
                    t.cls = TC_BAD;
                    t.problem = "unknown literal suffix";
                }
                if (!t.problem.empty())
                    t.cls = TC_BAD;
                t.value = v;
                j = k;
            }
            t.upper = t.text;
            t.length = j - i;
            i = j;
            out.push_back(std::move(t));
            continue;
        }
        if (std::strchr("()*,-/:=+", c)) {
            t.cls = TC_PUNCT;
            t.punct = c;
            t.text = t.upper = std::string(1, c);
            t.length = 1;
            ++i;
            out.push_back(std::move(t));
            continue;
        }
        // Anything else: one bad character (whole UTF-8 sequence).
        std::size_t j = i + 1;
        while (j < n && (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80)
            ++j;
        t.cls = TC_BAD;
        t.text = t.upper = text.substr(i, j - i);
        t.problem = "unexpected character";
        t.length = j - i;
        i = j;
        out.push_back(std::move(t));
    }
    Token e;
    e.cls = TC_ENDJB;
    e.offset = n;
    e.text = e.upper = ";";
    out.push_back(e);
    Token eoi;
    eoi.cls = TC_EOI;
    eoi.offset = n;
    eoi.text = eoi.upper = "$$$";
    out.push_back(eoi);
    return out;
}

} // namespace vyr::parse

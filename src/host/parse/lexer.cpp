// The program reader's tokenizer for procedure statements: names, two-level
// names, quoted strings (doubled quotes inside), numbers, date, time and
// date-time literals, missing values and punctuation.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "host/parse/parse_internal.h"
#include "vyr_missing.h"
#include "vyr_text.h"

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

namespace
{

// Reads one token of a statement. Each reader fills `t` from text[i] on and
// returns where the token ends.
class TokenReader
{
  public:
    explicit TokenReader(const std::string& text) : text_(text), n_(text.size()) {}

    // A name, a two-level name (lib.member) or a format name (BEST12.).
    std::size_t name(std::size_t i, Token& t) const
    {
        std::size_t j = i;
        while (j < n_ && name_char(text_[j]))
            ++j;
        t.text = text_.substr(i, j - i);
        t.cls = TC_NAMEX;
        if (peek(j) == '.' && name_start(peek(j + 1))) {
            std::size_t k = j + 1;
            while (k < n_ && name_char(text_[k]))
                ++k;
            t.cls = TC_COMPOUND;
            t.text = text_.substr(i, k - i);
            j = k;
        } else if (peek(j) == '.' && !name_char(peek(j + 1))) {
            std::size_t k = j + 1;
            while (k < n_ && std::isdigit(static_cast<unsigned char>(text_[k])))
                ++k;
            t.cls = TC_FMT;
            t.text = text_.substr(i, k - i);
            j = k;
        }
        t.upper = upper(t.text);
        return j;
    }

    // An integer or a real number; digits run straight into letters make
    // one bad token ("12abc" is neither a number nor a name).
    std::size_t number(std::size_t i, Token& t) const
    {
        std::size_t j = digits(i);
        bool real = false;
        if (peek(j) == '.') {
            real = true;
            j = digits(j + 1);
        }
        if ((peek(j) == 'e' || peek(j) == 'E') &&
            (is_digit(peek(j + 1)) ||
             ((peek(j + 1) == '+' || peek(j + 1) == '-') && is_digit(peek(j + 2))))) {
            real = true;
            j = digits(j + 2);
        }
        t.text = text_.substr(i, j - i);
        t.value = std::strtod(t.text.c_str(), nullptr);
        t.cls = real ? TC_NBR : TC_INT;
        if (!std::isfinite(t.value)) {
            t.cls = TC_BAD;
            t.problem = "number out of range";
        } else if (!real && t.value > 2147483647.0) {
            t.cls = TC_NBR; // too large for an integer: a plain number
        }
        if (name_start(peek(j))) {
            std::size_t k = j;
            while (k < n_ && name_char(text_[k]))
                ++k;
            t.cls = TC_BAD;
            t.problem = "invalid number";
            t.text = text_.substr(i, k - i);
            j = k;
        }
        t.upper = upper(t.text);
        return j;
    }

    // A special missing value .A to .Z or ._ (when `special`), else ".".
    std::size_t missing(std::size_t i, Token& t, bool special) const
    {
        t.cls = TC_MISSING;
        if (!special) {
            t.value = korv_missing();
            t.text = t.upper = ".";
            return i + 1;
        }
        char l = static_cast<char>(std::toupper(static_cast<unsigned char>(peek(i + 1))));
        t.value =
            korv_special_missing(l == '_' ? 0xFF : static_cast<unsigned char>(0xFD - (l - 'A')));
        t.text = text_.substr(i, 2);
        t.upper = upper(t.text);
        return i + 2;
    }

    // A quoted string (a doubled quote stands for one); a suffix right after
    // the closing quote makes a date ('...'d), time ('...'t) or date-time
    // ('...'dt) literal.
    std::size_t quoted(std::size_t i, Token& t) const
    {
        const char q = text_[i];
        std::size_t j = i + 1;
        std::string content;
        bool closed = false;
        while (j < n_) {
            if (text_[j] == q) {
                if (peek(j + 1) == q) {
                    content += q;
                    j += 2;
                    continue;
                }
                closed = true;
                ++j;
                break;
            }
            content += text_[j++];
        }
        if (!closed) {
            t.cls = TC_BAD;
            t.problem = "unbalanced quotation mark";
            t.text = t.upper = text_.substr(i);
            return n_;
        }
        t.cls = TC_QS;
        t.text = content;
        std::size_t k = j;
        while (k < n_ && name_char(text_[k]))
            ++k;
        std::string suffix = upper(text_.substr(j, k - j));
        if (!suffix.empty()) {
            literal(suffix, content, t);
            j = k;
        }
        t.upper = t.text;
        return j;
    }

    // Anything else: one bad character (a whole UTF-8 sequence).
    std::size_t bad(std::size_t i, Token& t) const
    {
        std::size_t j = i + 1;
        while (j < n_ && (static_cast<unsigned char>(text_[j]) & 0xC0) == 0x80)
            ++j;
        t.cls = TC_BAD;
        t.text = t.upper = text_.substr(i, j - i);
        t.problem = "unexpected character";
        return j;
    }

    char peek(std::size_t k) const { return k < n_ ? text_[k] : '\0'; }

  private:
    static bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
    std::size_t digits(std::size_t j) const
    {
        while (j < n_ && is_digit(text_[j]))
            ++j;
        return j;
    }

    // The value of a date, time or date-time literal with its suffix.
    static void literal(const std::string& suffix, const std::string& content, Token& t)
    {
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
            t.problem = "unknown literal suffix";
        }
        if (!t.problem.empty())
            t.cls = TC_BAD;
        t.value = v;
    }

    const std::string& text_;
    const std::size_t n_;
};

} // namespace

std::vector<Token> tokenize(const std::string& text)
{
    std::vector<Token> out;
    const std::size_t n = text.size();
    TokenReader r(text);
    std::size_t i = 0;
    while (i < n) {
        char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        Token t;
        t.offset = i;
        std::size_t j;
        if (name_start(c))
            j = r.name(i, t);
        else if (std::isdigit(static_cast<unsigned char>(c)) ||
                 (c == '.' && std::isdigit(static_cast<unsigned char>(r.peek(i + 1)))))
            j = r.number(i, t);
        else if (c == '.' &&
                 (r.peek(i + 1) == '_' || std::isalpha(static_cast<unsigned char>(r.peek(i + 1)))) &&
                 !name_char(r.peek(i + 2)))
            j = r.missing(i, t, true);
        else if (c == '.' && !name_char(r.peek(i + 1)))
            j = r.missing(i, t, false);
        else if (c == '\'' || c == '"')
            j = r.quoted(i, t);
        else if (std::strchr("()*,-/:=+", c)) {
            t.cls = TC_PUNCT;
            t.punct = c;
            t.text = t.upper = std::string(1, c);
            j = i + 1;
        } else {
            j = r.bad(i, t);
        }
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

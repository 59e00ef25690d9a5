// The request bits of the PLOTS= field (vdqgraph), the STRATA tests (ktype)
// and the competing-risks plots (CMPRISK::plot, and a test table's bit) have
// names: plot_bit::, test_bit::, cif_plot_bit::. A raw hex literal tested
// against one of these fields reads as any bit at all, and a bit renumbered
// in one place leaves the other meaning something else. No hex literal may
// stand in an expression with one of these fields, and no decimal literal
// may be an operand of a bit operator (&, |, ^ and their assignments) whose
// other operand is one of them.
//
// A hex literal is taken with the expression around it: its argument of the
// innermost parenthesised group, widened through every group that holds a
// single expression, up to an argument list or the whole statement. That
// expression must not name a field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include <string>
#include <vector>

#include "source_scan.h"

namespace
{

using korv_scan::Source;

// The fields whose bits are named: whole words, and member names reached
// through -> or '.'.
const std::vector<std::string> kFieldWords = {"vdqgraph", "ktype"};
const std::vector<std::string> kMemberWords = {"plot", "bit"};

bool names_a_field(const std::string& s)
{
    for (const std::string& w : kFieldWords)
        if (korv_scan::detail::has_word(s, w))
            return true;
    for (const std::string& w : kMemberWords)
        for (std::size_t a = s.find(w); a != std::string::npos; a = s.find(w, a + 1)) {
            const std::size_t e = a + w.size();
            if (e < s.size() && korv_scan::ident_char(s[e]))
                continue;
            std::size_t b = a;
            while (b > 0 && (s[b - 1] == ' ' || s[b - 1] == '\n'))
                --b;
            if ((b >= 1 && s[b - 1] == '.') || (b >= 2 && s.compare(b - 2, 2, "->") == 0))
                return true;
        }
    return false;
}

// The position of the '(' whose group holds `p`, or npos at statement level;
// `*stmt` gets the start of the statement.
std::size_t enclosing_paren(const std::string& c, std::size_t p, std::size_t* stmt)
{
    int depth = 0;
    for (std::size_t k = p; k-- > 0;) {
        const char ch = c[k];
        if (ch == ')' || ch == ']')
            ++depth;
        else if (ch == '(' || ch == '[') {
            if (depth == 0)
                return ch == '(' ? k : std::string::npos;
            --depth;
        } else if ((ch == ';' || ch == '{' || ch == '}') && depth == 0) {
            *stmt = k + 1;
            return std::string::npos;
        }
    }
    *stmt = 0;
    return std::string::npos;
}

// The top-level comma-separated part of c[a, b) that holds p, and whether
// there was more than one part.
std::string part_holding(const std::string& c, std::size_t a, std::size_t b, std::size_t p,
                         bool* several)
{
    int depth = 0;
    std::size_t from = a;
    *several = false;
    std::string found;
    for (std::size_t k = a; k <= b; ++k) {
        const char ch = k < b ? c[k] : ',';
        if (ch == '(' || ch == '[' || ch == '{')
            ++depth;
        else if (ch == ')' || ch == ']' || ch == '}')
            --depth;
        else if (ch == ',' && depth == 0) {
            if (k < b)
                *several = true;
            if (p >= from && p < k)
                found = c.substr(from, k - from);
            from = k + 1;
        }
    }
    return found;
}

std::size_t statement_end(const std::string& c, std::size_t p)
{
    int depth = 0;
    for (std::size_t k = p; k < c.size(); ++k) {
        const char ch = c[k];
        if (ch == '(' || ch == '[')
            ++depth;
        else if (ch == ')' || ch == ']')
            --depth;
        else if ((ch == ';' || ch == '{' || ch == '}') && depth <= 0)
            return k;
    }
    return c.size();
}

// Each hex literal tested against a named field, one line each.
std::string raw_bits(const std::vector<Source>& sources)
{
    std::string bad;
    for (const Source& s : sources) {
        const std::string& c = s.code;
        for (std::size_t a = c.find("0x"); a != std::string::npos; a = c.find("0x", a + 2)) {
            if (a > 0 && korv_scan::ident_char(c[a - 1]))
                continue;
            if (a + 2 >= c.size() || !std::isxdigit(static_cast<unsigned char>(c[a + 2])))
                continue;
            std::size_t p = a;
            bool hit = false;
            while (true) {
                std::size_t stmt = 0;
                const std::size_t open = enclosing_paren(c, p, &stmt);
                std::size_t from, to;
                if (open == std::string::npos) {
                    from = stmt;
                    to = statement_end(c, a);
                } else {
                    from = open + 1;
                    to = korv_scan::matching(c, open);
                    if (to == std::string::npos)
                        break;
                }
                bool several = false;
                const std::string part = part_holding(c, from, to, a, &several);
                if (names_a_field(part)) {
                    hit = true;
                    break;
                }
                if (several || open == std::string::npos)
                    break;
                // Control statements: the condition is the whole expression.
                std::size_t w = open;
                while (w > 0 && c[w - 1] == ' ')
                    --w;
                std::size_t v = w;
                while (v > 0 && korv_scan::ident_char(c[v - 1]))
                    --v;
                const std::string word = c.substr(v, w - v);
                if (word == "if" || word == "while" || word == "switch" || word == "for")
                    break;
                p = open;
            }
            if (hit) {
                std::size_t e = a + 2;
                while (e < c.size() && korv_scan::ident_char(c[e]))
                    ++e;
                bad += "src/" + s.rel + ":" + std::to_string(korv_scan::line_at(c, a)) + ": " +
                       c.substr(a, e - a) + " tested against a field whose bits are named\n";
            }
        }
    }
    return bad;
}

// The field name ending just before `e` (a field word, or a member word
// reached through -> or '.'), or an empty string.
bool field_ends_at(const std::string& c, std::size_t e)
{
    std::size_t b = e;
    while (b > 0 && korv_scan::ident_char(c[b - 1]))
        --b;
    return b < e && names_a_field(c.substr(b >= 2 ? b - 2 : 0, e - (b >= 2 ? b - 2 : 0)));
}

// Each decimal literal that is the right operand of a bit operator whose
// left operand ends with a named field: `q->ktype & 4`, `c->plot |= 2`.
std::string raw_decimal_bits(const std::vector<Source>& sources)
{
    std::string bad;
    for (const Source& s : sources) {
        const std::string& c = s.code;
        for (std::size_t k = 0; k < c.size(); ++k) {
            const char op = c[k];
            if (op != '&' && op != '|' && op != '^')
                continue;
            // Not && or ||.
            if ((k + 1 < c.size() && c[k + 1] == op) || (k > 0 && c[k - 1] == op))
                continue;
            std::size_t e = k;
            while (e > 0 && c[e - 1] == ' ')
                --e;
            if (!field_ends_at(c, e))
                continue;
            std::size_t v = k + 1;
            if (v < c.size() && c[v] == '=')
                ++v;
            while (v < c.size() && (c[v] == ' ' || c[v] == '('))
                ++v;
            if (v >= c.size() || !std::isdigit(static_cast<unsigned char>(c[v])) || c[v] == '0')
                continue;
            std::size_t w = v;
            while (w < c.size() && korv_scan::ident_char(c[w]))
                ++w;
            bad += "src/" + s.rel + ":" + std::to_string(korv_scan::line_at(c, v)) + ": " +
                   c.substr(v, w - v) + " tested against a field whose bits are named\n";
        }
    }
    return bad;
}

} // namespace

TEST(NamedBits, NoDecimalLiteralIsABitOfAPlotOrTestField)
{
    const std::vector<Source> all = korv_scan::read_sources(korv_scan::source_root());
    ASSERT_GT(all.size(), 200u);
    const std::string bad = raw_decimal_bits(all);
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(NamedBits, TheCheckFindsDecimalBitsBesideAField)
{
    const std::vector<Source> src = {
        korv_scan::make_source("estimate/x.cpp",
                               "void f(KORVCOM* q, CMPRISK* c, Line L)\n"
                               "{\n"
                               "    const bool d = q->zprint && !(L.ktype & 4);\n" // 3
                               "    if (q->ktype &128)\n"                          // 4
                               "        c->plot |= 2;\n"                           // 5
                               "    if (q->vdqgraph & (256))\n"                    // 6
                               "        g();\n"
                               "    if (q->ktype && n & 4)\n"
                               "        g();\n"
                               "    if ((q->ktype & test_bit::NODETAIL) || k & 2 || q->ktype & 0)\n"
                               "        g();\n"
                               "    n = q->nsvar & 3;\n"
                               "}\n")};
    const std::string bad = raw_decimal_bits(src);
    for (const char* want : {"x.cpp:3: 4 ", "x.cpp:4: 128 ", "x.cpp:5: 2 ", "x.cpp:6: 256 "})
        EXPECT_NE(bad.find(want), std::string::npos) << want << "\n" << bad;
    EXPECT_EQ(std::count(bad.begin(), bad.end(), '\n'), 4) << bad;
}

TEST(NamedBits, NoHexLiteralIsTestedAgainstAPlotOrTestField)
{
    const std::vector<Source> all = korv_scan::read_sources(korv_scan::source_root());
    // The sources were found: a test that reads nothing proves nothing.
    ASSERT_GT(all.size(), 200u);
    const std::string bad = raw_bits(all);
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(NamedBits, TheCheckFindsRawBitsAndLeavesOtherHex)
{
    const std::vector<Source> src = {
        korv_scan::make_source("estimate/x.cpp",
                               "void f(KORVCOM* q, CMPRISK* c, int ktype)\n"
                               "{\n"
                               "    if (q->vdqgraph & 0x1000)\n" // 3
                               "        g();\n"
                               "    const bool zkm = (ktype & (0x40 | 0x80)) != 0;\n" // 5
                               "    c->plot |= 0x4;\n"                                // 6
                               "    h(326, 521, (ktype & 0x100) ? \"A\" : \"B\");\n"  // 7
                               "    if (kTests[t].bit == 0x100)\n"                    // 8
                               "        g();\n"
                               "    if (q->vdqgraph & plot_bit::HW_BAND)\n"
                               "        p = xmalloc(pool, 8, 0x2000);\n"
                               "    const bool hw = (q->vdqgraph & plot_bit::HW_BAND) != 0;\n"
                               "    int u = c->plot ? xmpoolc(0, 1024, 0x1002) : 0;\n"
                               "    // q->ktype & 0x20 in a comment\n"
                               "    s = \"q->ktype & 0x20\";\n"
                               "}\n")};
    const std::string bad = raw_bits(src);
    for (const char* want : {"x.cpp:3: 0x1000", "x.cpp:5: 0x40", "x.cpp:5: 0x80", "x.cpp:6: 0x4",
                             "x.cpp:7: 0x100", "x.cpp:8: 0x100"})
        EXPECT_NE(bad.find(want), std::string::npos) << want << "\n" << bad;
    EXPECT_EQ(std::count(bad.begin(), bad.end(), '\n'), 6) << bad;
}

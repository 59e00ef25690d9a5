// Reading src/ for the house-rule tests: every .h and .cpp file, its text,
// and its code with comments and the contents of string and character
// literals blanked (line breaks kept, so positions keep their line numbers).
// A light scanner finds the function definitions at namespace and class
// scope: enough for rules about names and lengths, not a parser of C++.
#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace korv_scan
{

namespace fs = std::filesystem;

struct Source {
    std::string rel;  // relative to src/, with '/' separators
    std::string text; // as read
    std::string code; // comments, literal contents and preprocessor lines blanked
};

// The text without comments and without what string and character literals
// hold (their quotes stay, so `f("x")` still reads as a call with one
// argument). Raw strings R"(...)" are blanked too.
inline std::string blank_comments_and_literals(const std::string& s)
{
    std::string out = s;
    const std::size_t n = s.size();
    std::size_t i = 0;
    auto blank = [&](std::size_t a, std::size_t b) {
        for (std::size_t k = a; k < b && k < n; ++k)
            if (out[k] != '\n')
                out[k] = ' ';
    };
    while (i < n) {
        const char c = s[i];
        if (c == '/' && i + 1 < n && s[i + 1] == '/') {
            std::size_t e = s.find('\n', i);
            if (e == std::string::npos)
                e = n;
            blank(i, e);
            i = e;
        } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
            std::size_t e = s.find("*/", i + 2);
            e = e == std::string::npos ? n : e + 2;
            blank(i, e);
            i = e;
        } else if (c == 'R' && i + 1 < n && s[i + 1] == '"' &&
                   (i == 0 ||
                    !(std::isalnum(static_cast<unsigned char>(s[i - 1])) || s[i - 1] == '_'))) {
            const std::size_t open = s.find('(', i + 2);
            if (open == std::string::npos) {
                ++i;
                continue;
            }
            const std::string close = ")" + s.substr(i + 2, open - i - 2) + "\"";
            std::size_t e = s.find(close, open);
            e = e == std::string::npos ? n : e + close.size();
            blank(i + 2, e - 1);
            i = e;
        } else if (c == '"' || c == '\'') {
            // A digit separator (1'000) is no character literal.
            if (c == '\'' && i > 0 && std::isxdigit(static_cast<unsigned char>(s[i - 1])) &&
                i + 1 < n && std::isxdigit(static_cast<unsigned char>(s[i + 1]))) {
                ++i;
                continue;
            }
            std::size_t k = i + 1;
            while (k < n && s[k] != c && s[k] != '\n') {
                if (s[k] == '\\')
                    ++k;
                ++k;
            }
            blank(i + 1, k);
            i = k + 1;
        } else {
            ++i;
        }
    }
    return out;
}

// The code without preprocessor lines (directives and their continuation
// lines), blanked.
inline std::string blank_directives(const std::string& code)
{
    std::string c = code;
    for (std::size_t p = 0; p < c.size();) {
        std::size_t e = c.find('\n', p);
        if (e == std::string::npos)
            e = c.size();
        const std::size_t f = c.find_first_not_of(" \t", p);
        if (f < e && c[f] == '#') {
            std::size_t q = p;
            while (true) {
                std::size_t le = c.find('\n', q);
                if (le == std::string::npos)
                    le = c.size();
                const bool more = le > q && c[le - 1] == '\\';
                for (std::size_t k = q; k < le; ++k)
                    c[k] = ' ';
                q = le + 1;
                if (!more || le >= c.size())
                    break;
            }
            p = q;
            continue;
        }
        p = e + 1;
    }
    return c;
}

inline std::string read_file(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline Source make_source(const std::string& rel, const std::string& text)
{
    return Source{rel, text, blank_directives(blank_comments_and_literals(text))};
}

// Every .h and .cpp file under `root`, in name order.
inline std::vector<Source> read_sources(const fs::path& root)
{
    std::vector<Source> all;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string ext = e.path().extension().string();
        if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp"))
            continue;
        all.push_back(
            make_source(fs::relative(e.path(), root).generic_string(), read_file(e.path())));
    }
    std::sort(all.begin(), all.end(),
              [](const Source& a, const Source& b) { return a.rel < b.rel; });
    return all;
}

inline fs::path source_root()
{
    return fs::path(KORV_SOURCE_DIR) / "src";
}

// 1-based line of position `pos`.
inline int line_at(const std::string& s, std::size_t pos)
{
    return 1 + static_cast<int>(std::count(s.begin(), s.begin() + static_cast<long>(pos), '\n'));
}

inline bool ident_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Position of the bracket closing the one at `open` (same kind), or npos.
inline std::size_t matching(const std::string& code, std::size_t open)
{
    const char o = code[open];
    const char c = o == '(' ? ')' : o == '[' ? ']' : '}';
    int depth = 0;
    for (std::size_t k = open; k < code.size(); ++k) {
        if (code[k] == o)
            ++depth;
        else if (code[k] == c && --depth == 0)
            return k;
    }
    return std::string::npos;
}

struct FunctionDef {
    std::string name; // as written before the parameters: "upper", "Engine::simulate"
    int first_line;   // line of the name
    int body_first;   // line of the opening brace
    int body_last;    // line of the closing brace
    std::size_t open = 0, close = 0; // positions of the braces
    int lines() const { return body_last - body_first + 1; }
    // The last part of the name ("simulate" of "Engine::simulate").
    std::string simple() const
    {
        const std::size_t c = name.rfind("::");
        return c == std::string::npos ? name : name.substr(c + 2);
    }
};

namespace detail
{

inline std::string trim_ws(const std::string& s)
{
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

inline bool has_word(const std::string& s, const std::string& w)
{
    for (std::size_t p = s.find(w); p != std::string::npos; p = s.find(w, p + 1)) {
        const bool l = p == 0 || !ident_char(s[p - 1]);
        const bool r = p + w.size() >= s.size() || !ident_char(s[p + w.size()]);
        if (l && r)
            return true;
    }
    return false;
}

// The text before a top-level '(' that names a function: "A::b" of
// "static int A::b(", or empty.
inline std::string name_before(const std::string& head, std::size_t paren)
{
    std::size_t e = paren;
    while (e > 0 && std::isspace(static_cast<unsigned char>(head[e - 1])))
        --e;
    std::size_t b = e;
    while (b > 0 && (ident_char(head[b - 1]) || head[b - 1] == ':' || head[b - 1] == '~'))
        --b;
    std::string name = head.substr(b, e - b);
    while (!name.empty() && name[0] == ':')
        name.erase(0, 1);
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0])))
        return "";
    return name;
}

// Whether the head ends inside a constructor's initializer list, after a
// member's name: "A::A(int x) : a_(x), b_" before "{".
inline bool in_initializer_list(const std::string& raw)
{
    const std::string head = trim_ws(raw);
    if (head.empty() || !(ident_char(head.back()) || head.back() == '>'))
        return false;
    int depth = 0;
    for (std::size_t k = 0; k < head.size(); ++k) {
        const char c = head[k];
        if (c == '(')
            ++depth;
        else if (c == ')')
            --depth;
        else if (c == ':' && depth == 0) {
            const bool dbl =
                (k + 1 < head.size() && head[k + 1] == ':') || (k > 0 && head[k - 1] == ':');
            if (dbl)
                continue;
            // A single colon after the parameters' closing parenthesis.
            std::size_t b = k;
            while (b > 0 && std::isspace(static_cast<unsigned char>(head[b - 1])))
                --b;
            std::string before = head.substr(0, b);
            for (const char* q : {"noexcept", "const"})
                if (before.size() >= std::string(q).size() &&
                    before.compare(before.size() - std::string(q).size(), std::string::npos, q) ==
                        0)
                    before = trim_ws(before.substr(0, before.size() - std::string(q).size()));
            if (!before.empty() && before.back() == ')')
                return true;
        }
    }
    return false;
}

// What a '{' at namespace or class scope opens, from the text before it.
enum class Opens { Scope, Function, Other };

inline Opens classify(const std::string& raw, std::string* name)
{
    const std::string head = trim_ws(raw);
    if (head.empty())
        return Opens::Other;
    // The first top-level '(' and whether '=' comes before it.
    int depth = 0;
    std::size_t paren = std::string::npos;
    for (std::size_t k = 0; k < head.size(); ++k) {
        const char c = head[k];
        if (c == '<')
            ++depth;
        else if (c == '>' && depth > 0)
            --depth;
        else if (c == '=' && paren == std::string::npos && depth == 0 &&
                 !(k > 0 && std::string("=!<>").find(head[k - 1]) != std::string::npos) &&
                 !(k + 1 < head.size() && head[k + 1] == '='))
            return Opens::Other; // an initializer
        else if (c == '(' && depth == 0) {
            paren = k;
            break;
        }
    }
    const std::string lead = paren == std::string::npos ? head : head.substr(0, paren);
    if (paren == std::string::npos) {
        for (const char* w : {"namespace", "struct", "class", "union", "enum", "extern"})
            if (has_word(lead, w))
                return Opens::Scope;
        return Opens::Other;
    }
    std::string n = name_before(head, paren);
    if (n.empty())
        return Opens::Other;
    // A macro call or a keyword is no function.
    for (const char* w : {"if", "for", "while", "switch", "catch", "return", "sizeof"})
        if (n == w)
            return Opens::Other;
    if (n.rfind("operator", 0) == 0 || n.find("::operator") != std::string::npos)
        n = n.substr(0, n.find("operator") + 8);
    *name = n;
    return Opens::Function;
}

} // namespace detail

// The functions defined in `code` (as in Source::code)
// at namespace or class scope. Lambdas and local classes count as part of
// the function that holds them.
inline std::vector<FunctionDef> function_defs(const std::string& code)
{
    std::vector<FunctionDef> defs;
    std::size_t head_from = 0; // where the text before the next '{' starts
    std::size_t i = 0;
    const std::string& c = code;
    while (i < c.size()) {
        const char ch = c[i];
        if (ch == ';' || ch == '}') {
            head_from = i + 1;
            ++i;
            continue;
        }
        if (ch == '(' || ch == '[') {
            const std::size_t m = matching(c, i);
            i = m == std::string::npos ? c.size() : m + 1;
            continue;
        }
        if (ch != '{') {
            ++i;
            continue;
        }
        const std::string head = c.substr(head_from, i - head_from);
        // A brace initializer of a member in a constructor's initializer list
        // ("A::A(int x) : a_{x} {"): part of the head, not a body.
        if (detail::in_initializer_list(head)) {
            const std::size_t m = matching(c, i);
            i = m == std::string::npos ? c.size() : m + 1;
            continue;
        }
        std::string name;
        const detail::Opens what = detail::classify(head, &name);
        const std::size_t close = matching(c, i);
        if (what == detail::Opens::Scope) {
            head_from = i + 1;
            ++i;
            continue;
        }
        if (what == detail::Opens::Function) {
            const std::size_t at = c.find(name, head_from);
            const std::size_t end = close == std::string::npos ? c.size() - 1 : close;
            defs.push_back({name, line_at(c, at == std::string::npos ? i : at), line_at(c, i),
                            line_at(c, end), i, end});
        }
        i = close == std::string::npos ? c.size() : close + 1;
        head_from = i;
    }
    return defs;
}

} // namespace korv_scan

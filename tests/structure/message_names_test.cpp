// Messages are called by the names the catalogue gives them
// (msgGROUP::NAME, from src/host/messages/catalogue/*.txt): a number written
// out says nothing of the text it prints, and a catalogue line renumbered or
// reworded leaves it pointing at another message. Outside the host no message
// call takes a numeric literal as its message number, and no room keeps
// message numbers of its own under other names (MSG_..., KORV_MSG_...).
//
// A message call is a call of the host's message services, and any call
// whose arguments hold a catalogue group written as a number followed by a
// numeric literal (a room's own wrapper, "entry(183, 147, ...)"). The calls
// not named yet are listed below until their catalogue lines get names; a
// new one may not join them. A name is used with its own group: the group
// written beside it is the one its namespace says.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "source_scan.h"

namespace
{

using korv_scan::Source;

// The host's message services and the argument that is the message number.
const std::map<std::string, int> kServices = {
    {"xpmlog", 1}, {"xvpmlog", 1}, {"xpmout", 1},  {"xpmstr", 3},
    {"wkread", 1}, {"vdqmsg", 1},  {"vdqmsgs", 1}, {"vvdqmsgs", 1},
};

// The catalogue groups the rooms use.
const std::set<std::string> kGroups = {"326", "183", "172", "174", "210", "701", "505"};

// "file|group|number" of the calls not named yet.
const std::set<std::string> kNotNamedYet = {};

// Files that still keep message numbers under names of their own.
const std::set<std::string> kOwnNamesYet = {};

std::string squeeze(const std::string& s)
{
    std::string out;
    bool space = false;
    for (char c : korv_scan::detail::trim_ws(s)) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            space = true;
            continue;
        }
        if (space && !out.empty())
            out += ' ';
        space = false;
        out += c;
    }
    return out;
}

// The top-level arguments of the call whose '(' is at `open`.
std::vector<std::string> arguments(const std::string& c, std::size_t open)
{
    std::vector<std::string> args;
    const std::size_t close = korv_scan::matching(c, open);
    if (close == std::string::npos)
        return args;
    int depth = 0;
    std::size_t from = open + 1;
    for (std::size_t k = open + 1; k <= close; ++k) {
        const char ch = c[k];
        if (k == close || (ch == ',' && depth == 0)) {
            args.push_back(squeeze(c.substr(from, k - from)));
            from = k + 1;
        } else if (ch == '(' || ch == '[' || ch == '{') {
            ++depth;
        } else if (ch == ')' || ch == ']' || ch == '}') {
            --depth;
        }
    }
    return args;
}

// Whether the argument starts with a number, or one of its choices does
// ("q->nby > 0 ? 600 : msg326::NO_VALID_DATA").
bool starts_with_number(const std::string& a)
{
    for (std::size_t from = 0; from != std::string::npos;) {
        const std::size_t p = a.find_first_not_of("( ", from);
        if (p != std::string::npos && std::isdigit(static_cast<unsigned char>(a[p])))
            return true;
        std::size_t next = a.find_first_of("?:", from);
        while (next != std::string::npos && a[next] == ':' &&
               ((next + 1 < a.size() && a[next + 1] == ':') || (next > 0 && a[next - 1] == ':')))
            next = a.find_first_of("?:", next + 2);
        from = next == std::string::npos ? next : next + 1;
    }
    return false;
}

bool is_number(const std::string& a)
{
    return !a.empty() && std::all_of(a.begin(), a.end(), [](char ch) {
        return std::isdigit(static_cast<unsigned char>(ch));
    });
}

// The groups of the names an argument uses: "326" for "msg326::NO_DATA".
std::vector<std::string> name_groups(const std::string& a)
{
    std::vector<std::string> groups;
    for (std::size_t p = a.find("msg"); p != std::string::npos; p = a.find("msg", p + 3)) {
        if (p > 0 && korv_scan::ident_char(a[p - 1]))
            continue;
        std::size_t q = p + 3;
        while (q < a.size() && std::isdigit(static_cast<unsigned char>(a[q])))
            ++q;
        if (q > p + 3 && a.compare(q, 2, "::") == 0)
            groups.push_back(a.substr(p + 3, q - p - 3));
    }
    return groups;
}

// What is wrong, one line each.
std::string unnamed_messages(const std::vector<Source>& sources,
                             const std::set<std::string>& calls_allowed,
                             const std::set<std::string>& files_allowed)
{
    std::string bad;
    for (const Source& s : sources) {
        if (s.rel.rfind("host/", 0) == 0)
            continue;
        const std::string& c = s.code;
        for (std::size_t k = 0; k < c.size(); ++k) {
            if (c[k] != '(' || k == 0)
                continue;
            std::size_t e = k;
            while (e > 0 && c[e - 1] == ' ')
                --e;
            std::size_t b = e;
            while (b > 0 && korv_scan::ident_char(c[b - 1]))
                --b;
            const std::string name = c.substr(b, e - b);
            if (name.empty())
                continue;
            const std::vector<std::string> args = arguments(c, k);
            std::vector<std::pair<std::string, std::string>> found; // group, number
            auto it = kServices.find(name);
            if (it != kServices.end()) {
                const std::size_t n = static_cast<std::size_t>(it->second);
                if (args.size() > n && starts_with_number(args[n]))
                    found.push_back({args[n - 1], args[n]});
            } else {
                for (std::size_t j = 0; j + 1 < args.size(); ++j)
                    if (kGroups.count(args[j]) && starts_with_number(args[j + 1]))
                        found.push_back({args[j], args[j + 1]});
            }
            for (const auto& [group, number] : found)
                if (!calls_allowed.count(s.rel + "|" + group + "|" + number))
                    bad += "src/" + s.rel + ":" + std::to_string(korv_scan::line_at(c, k)) + ": " +
                           name + "(" + group + ", " + number +
                           "): the message number is a literal\n";
            // The group is written beside the name, so the two must agree:
            // "xpmlog(172, msg174::NAME)" prints line NAME's number of group 172.
            std::vector<std::pair<std::string, std::string>> named; // group, number
            if (it != kServices.end()) {
                const std::size_t n = static_cast<std::size_t>(it->second);
                if (args.size() > n)
                    named.push_back({args[n - 1], args[n]});
            } else {
                for (std::size_t j = 0; j + 1 < args.size(); ++j)
                    if (kGroups.count(args[j]))
                        named.push_back({args[j], args[j + 1]});
            }
            for (const auto& [group, number] : named)
                for (const std::string& of : name_groups(number))
                    if (of != group && is_number(group))
                        bad += "src/" + s.rel + ":" + std::to_string(korv_scan::line_at(c, k)) +
                               ": " + name + "(" + group + ", " + number + "): msg" + of +
                               ":: names a message of another group\n";
        }
        if (files_allowed.count(s.rel))
            continue;
        for (const char* own : {"MSG_"})
            for (std::size_t a = c.find(own); a != std::string::npos; a = c.find(own, a + 1)) {
                // A name of a message number: NAME_MSG_... or MSG_..., defined.
                std::size_t b = a;
                while (b > 0 && korv_scan::ident_char(c[b - 1]))
                    --b;
                std::size_t e = a;
                while (e < c.size() && korv_scan::ident_char(c[e]))
                    ++e;
                const std::size_t eq = c.find_first_not_of(" \t", e);
                if (eq == std::string::npos || c[eq] != '=' || c.compare(eq, 2, "==") == 0)
                    continue;
                bad += "src/" + s.rel + ":" + std::to_string(korv_scan::line_at(c, a)) + ": " +
                       c.substr(b, e - b) + " names a message number outside the catalogue\n";
                a = e;
            }
    }
    return bad;
}

} // namespace

TEST(MessageNames, EveryMessageCallUsesTheCatalogueName)
{
    const std::vector<Source> all = korv_scan::read_sources(korv_scan::source_root());
    // The sources were found: a test that reads nothing proves nothing.
    ASSERT_GT(all.size(), 200u);
    const std::string bad = unnamed_messages(all, kNotNamedYet, kOwnNamesYet);
    EXPECT_TRUE(bad.empty()) << bad;
}

TEST(MessageNames, TheCheckFindsNumbersInCallsAndWrappers)
{
    const std::vector<Source> src = {
        korv_scan::make_source("estimate/x.cpp",
                               "constexpr int MSG_TOO_MANY = 3603; // (strata)\n"     // 1
                               "void f(KorvPtr q, int code)\n{\n"                     // 2
                               "    xpmlog(326, 520);\n"                              // 4
                               "    xpmlog(326, msg326::NO_LIFETABLE);\n"             // 5
                               "    n = xpmstr(buf, 32, 326, 190 + code);\n"          // 6
                               "    n = xpmstr(buf, 32, 326, msg326::BIAS + code);\n" // 7
                               "    entry(183, 147, seed, 12);\n"                     // 8
                               "    label = vdqmsg(0, 236);\n"                        // 9
                               "    g(326, x, 520);\n"                                // 10
                               "    xpmlog(326, q ? 600 : msg326::NO_DATA);\n"        // 11
                               "    // xpmlog(326, 520) in a comment\n"
                               "    if (q->n == MSG_TOO_MANY)\n        h();\n}\n"),
        korv_scan::make_source("host/session/x.cpp", "void g()\n{\n    xpmlog(1, 20);\n}\n"),
    };
    const std::string bad = unnamed_messages(src, {}, {});
    for (const char* want : {"x.cpp:1: MSG_TOO_MANY names", "x.cpp:4: xpmlog(326, 520)",
                             "x.cpp:6: xpmstr(326, 190 + code)", "x.cpp:8: entry(183, 147)",
                             "x.cpp:9: vdqmsg(0, 236)", "x.cpp:11: xpmlog(326, q ? 600"})
        EXPECT_NE(bad.find(want), std::string::npos) << want << "\n" << bad;
    EXPECT_EQ(std::count(bad.begin(), bad.end(), '\n'), 6) << bad;
    EXPECT_EQ(unnamed_messages(src,
                               {"estimate/x.cpp|326|520", "estimate/x.cpp|326|190 + code",
                                "estimate/x.cpp|183|147", "estimate/x.cpp|0|236",
                                "estimate/x.cpp|326|q ? 600 : msg326::NO_DATA"},
                               {"estimate/x.cpp"}),
              "");
}

TEST(MessageNames, TheCheckFindsANameOfAnotherGroup)
{
    const std::vector<Source> src = {korv_scan::make_source(
        "levelize/x.cpp", "void f(int rc, bool a)\n{\n"
                          "    xpmlog(172, msg174::WORKER_FAILED);\n"                    // 3
                          "    xpmlog(174, msg174::WORKER_FAILED);\n"                    // 4
                          "    xpmlog(174, a ? msg174::LAG_ZERO : msg172::ONE_LEVEL);\n" // 5
                          "    n = xpmstr(buf, 32, 326, msg183::BIAS + rc);\n"           // 6
                          "    entry(183, msg172::SEED, rc);\n"                          // 7
                          "    xpmlog(grp, msg174::WORKER_FAILED);\n"                    // 8
                          "    xpmlog(174, rc);\n}\n")};
    const std::string bad = unnamed_messages(src, {}, {});
    for (const char* want :
         {"x.cpp:3: xpmlog(172, msg174::WORKER_FAILED): msg174:: names",
          "x.cpp:5: xpmlog(174, a ? msg174::LAG_ZERO : msg172::ONE_LEVEL): msg172",
          "x.cpp:6: xpmstr(326, msg183::BIAS + rc): msg183",
          "x.cpp:7: entry(183, msg172::SEED): msg172"})
        EXPECT_NE(bad.find(want), std::string::npos) << want << "\n" << bad;
    EXPECT_EQ(std::count(bad.begin(), bad.end(), '\n'), 4) << bad;
}

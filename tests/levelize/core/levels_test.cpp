// Levels of classification variables, on one thread and with workers,
// against levels worked out by hand: every order code (ascending and
// descending), frequencies and first appearances, the numeric order of
// unformatted numbers, reference levels by position and by value, coding
// matrices, the byte-sorted lookup and the summary of a continuous
// variable.
#include "support/levelize_harness.h"

#include <cmath>
#include <string>
#include <vector>

namespace
{

using lev::Plan;
using lev::Var;

// Four levels of v with frequencies c 2, a 2, b 2, d 1 and first
// appearances c, a, b, d; n and m are numbers without a format.
const char* kData = "v,n,m,fq\n"
                    "c,10,1,1\n"
                    "a,2,-1,2\n"
                    "b,10,2.5,1\n"
                    "d,1,1,1\n"
                    "c,3,-1,1\n"
                    "b,2,2.5,1\n";

std::vector<std::string> texts(const lev::Levels& l)
{
    std::vector<std::string> out;
    for (const auto& t : l.text)
        out.push_back(lev::trim(t));
    return out;
}

lev::Levels one(const std::string& path, const Var& v, bool freq = true, unsigned char opt0 = 0)
{
    Plan p;
    p.vars = {v};
    if (freq)
        p.freq = "fq";
    p.opt0 = opt0;
    const lev::Result r = lev::levelize(path, p);
    EXPECT_EQ(r.groups.size(), 1u);
    // Worker threads find the very same levels, order, reference and coding.
    for (int threads : {1, 3}) {
        Plan t = p;
        t.threads = threads;
        t.nRecMax = 2;
        const lev::Result th = lev::levelize(path, t);
        EXPECT_EQ(th.workers, threads);
        EXPECT_TRUE(th.groups == r.groups)
            << v.name << " order " << char(v.order) << ", " << threads << " workers";
    }
    return r.groups.empty() ? lev::Levels{} : r.groups[0].vars[0];
}

TEST(Levels, OrderCodesAscendingAndDescending)
{
    lev::Folder dir;
    const std::string path = dir.write("d.csv", kData);
    const struct {
        int order;
        int desc;
        std::vector<std::string> want;
    } cases[] = {
        {'M', 0, {"a", "b", "c", "d"}},
        {'M', 1, {"d", "c", "b", "a"}},
        {'D', 0, {"c", "a", "b", "d"}},
        {'D', 1, {"d", "b", "a", "c"}},
        {'I', 0, {"a", "b", "c", "d"}},
        {'I', 1, {"d", "c", "b", "a"}},
        {'F', 0, {"a", "b", "c", "d"}},
        // Ties keep the order the Shell sort's gap passes leave them in.
        {'F', 1, {"d", "a", "c", "b"}},
        {'X', 0, {"a", "b", "c", "d"}},
        {'X', 1, {"d", "c", "b", "a"}},
        {'Y', 0, {"c", "a", "b", "d"}},
        {'Y', 1, {"d", "b", "a", "c"}},
        {'Z', 0, {"a", "b", "c", "d"}},
        {'Z', 1, {"d", "c", "b", "a"}},
        {'Q', 0, {"a", "b", "c", "d"}}, // not an order code: the model's (M)
    };
    for (const auto& c : cases) {
        Var v("v", c.order);
        v.desc = c.desc;
        EXPECT_EQ(texts(one(path, v)), c.want) << char(c.order) << c.desc;
    }
}

TEST(Levels, FrequenciesFirstAppearancesAndValues)
{
    lev::Folder dir;
    const std::string path = dir.write("d.csv", kData);
    const lev::Levels v = one(path, Var("v"));
    ASSERT_EQ(v.nodes.size(), 4u);
    const long long freq[] = {2, 2, 2, 1}, first[] = {1, 2, 0, 3};
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(v.nodes[k].freq, freq[k]) << k;
        EXPECT_EQ(v.nodes[k].order, first[k]) << k;
        EXPECT_EQ(v.truth[k], std::string(1, static_cast<char>('a' + k)));
    }
    // Without a frequency variable each observation counts one.
    const lev::Levels u = one(path, Var("v"), false);
    EXPECT_EQ(u.nodes[0].freq, 1);
    EXPECT_EQ(u.nodes[1].freq, 2);
}

TEST(Levels, ValuesThatDifferInLeadingBlanksAreOneLevel)
{
    // " a", "a" and "  a" are looked up as "a": they are one level, with the
    // frequency, first appearance and smallest unformatted value of all three.
    lev::Folder dir;
    const std::string path = dir.write("b.csv", "v\nb\n\" a\"\nb\na\n\"  a\"\n");
    const lev::Levels f = one(path, Var("v", 'F'), false);
    EXPECT_EQ(texts(f), (std::vector<std::string>{"a", "b"}));
    ASSERT_EQ(f.truth.size(), 2u);
    EXPECT_EQ(f.truth[0], "  a");
    EXPECT_EQ(texts(one(path, Var("v", 'D'), false)), (std::vector<std::string>{"b", "a"}));
    // Kept as read, they stay apart.
    Var as("v");
    as.nojust = 1;
    EXPECT_EQ(one(path, as, false).text.size(), 4u);
    Plan p;
    p.vars = {Var("v")};
    const auto r = lev::read(path, p);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text[0], (std::vector<std::string>{"a", "b"}));
    std::vector<int> levels;
    for (const auto& g : r[0].obsLevel)
        levels.push_back(g[0]);
    EXPECT_EQ(levels, (std::vector<int>{1, 0, 1, 0, 0}));
}

TEST(Levels, UnformattedNumbersInNumericOrder)
{
    lev::Folder dir;
    const std::string path = dir.write("d.csv", kData);
    // The formatted values are right-justified: the level tree holds them
    // in byte order, which for n is the numeric order too ...
    lev::Levels n = one(path, Var("n"));
    EXPECT_EQ(texts(n), (std::vector<std::string>{"1", "2", "3", "10"}));
    EXPECT_EQ(n.ochmsg, 0);
    EXPECT_EQ(lev::number(n.truth[3]), 10.0);
    // ... but for m byte order puts 1 before -1: numeric order is used and
    // the difference is flagged.
    lev::Levels m = one(path, Var("m"));
    EXPECT_EQ(texts(m), (std::vector<std::string>{"-1", "1", "2.5"}));
    EXPECT_EQ(m.ochmsg, 1);
    EXPECT_EQ(lev::trim(m.nodes[0].idx), "1");
    // Unless the model turns the flag off.
    EXPECT_EQ(one(path, Var("m"), true, ZLEV_OPT0_NOORDERMSG).ochmsg, 0);
}

// Orthonormal columns of the centred coding, times sqrt(nlev): worked here
// with a plain Gram-Schmidt over the rows given.
std::vector<double> orthonormal(std::vector<std::vector<double>> rows)
{
    const size_t n = rows.size(), c = rows[0].size();
    for (size_t q = 0; q < c; ++q) {
        double mean = 0;
        for (auto& r : rows)
            mean += r[q];
        for (auto& r : rows)
            r[q] -= mean / n;
    }
    for (size_t q = 0; q < c; ++q) {
        for (size_t p = 0; p < q; ++p) {
            double d = 0;
            for (auto& r : rows)
                d += r[p] * r[q];
            for (auto& r : rows)
                r[q] -= d * r[p];
        }
        double norm = 0;
        for (auto& r : rows)
            norm += r[q] * r[q];
        for (auto& r : rows)
            r[q] /= std::sqrt(norm);
    }
    std::vector<double> out;
    for (auto& r : rows)
        for (double x : r)
            out.push_back(x * std::sqrt(static_cast<double>(n)));
    return out;
}

TEST(Levels, ReferenceLevelsAndCoding)
{
    lev::Folder dir;
    const std::string path = dir.write("d.csv", kData);
    const struct {
        const char* label;
        int ref;
        const char* refval;
        int param;
        unsigned char opt0;
        std::vector<std::string> want;
        int wantRef;
        std::vector<std::vector<double>> rows; // before centring
    } cases[] = {
        // The first level is the reference: it moves to the end and the
        // effect coding codes it there (all -1 in its row).
        {"effect, first",
         ZLEV_REF_FIRST,
         "",
         1,
         0,
         {"b", "c", "d", "a"},
         3,
         {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, -1, -1}}},
        {"reference, by value",
         ZLEV_REF_VALUE,
         "  c ",
         3,
         0,
         {"a", "b", "d", "c"},
         3,
         {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}}},
        {"ordinal, last",
         ZLEV_REF_LAST,
         "",
         8,
         0,
         {"a", "b", "c", "d"},
         3,
         {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {1, 1, 1}}},
        // Kept in place when the model says so.
        {"effect, second, kept",
         1,
         "",
         1,
         ZLEV_OPT0_FULLRANK,
         {"a", "b", "c", "d"},
         1,
         {{1, 0, 0}, {-1, -1, -1}, {0, 1, 0}, {0, 0, 1}}},
        {"none", ZLEV_REF_FIRST, "", 0, 0, {"b", "c", "d", "a"}, 3, {}},
        {"out of range", 9, "", 2, 0, {"a", "b", "c", "d"}, 3, {}},
    };
    for (const auto& c : cases) {
        Var v("v");
        v.ref = c.ref;
        v.refval = c.refval;
        v.param = c.param;
        const lev::Levels l = one(path, v, true, c.opt0);
        EXPECT_EQ(texts(l), c.want) << c.label;
        EXPECT_EQ(l.ref, c.wantRef) << c.label;
        if (c.rows.empty()) {
            EXPECT_TRUE(l.col.empty()) << c.label;
            continue;
        }
        const std::vector<double> want = orthonormal(c.rows);
        ASSERT_EQ(l.col.size(), want.size()) << c.label;
        for (size_t k = 0; k < want.size(); ++k)
            EXPECT_NEAR(l.col[k], want[k], 1e-12) << c.label << " " << k;
    }
}

TEST(Levels, CodingOfThreeLevelsByHand)
{
    lev::Folder dir;
    const std::string path = dir.write("t.csv", "v\nx\ny\nz\n");
    const double r15 = std::sqrt(1.5), r2 = std::sqrt(2.0);
    const struct {
        int param;
        std::vector<double> want; // rows of two
    } cases[] = {
        // Effect coding, reference last: (1,0), (0,1), (-1,-1) before
        // centring, orthonormalising and scaling by sqrt(3).
        {1, {r15, -1 / r2, 0, r2, -r15, -1 / r2}},
        // Polynomial of a character variable: x = -1, 0, 1 and x squared.
        {5, {-r15, 1 / r2, 0, -r2, r15, 1 / r2}},
        // Symmetric steps: (-s,-s), (s,-s), (s,s) with s = sqrt(1.5 * 3 / 8).
        {10, {-r2, 0, 1 / r2, -r15, 1 / r2, r15}},
    };
    for (const auto& c : cases) {
        Var v("v");
        v.param = c.param;
        const lev::Levels l = one(path, v, false);
        ASSERT_EQ(l.col.size(), 6u) << c.param;
        // Columns are determined up to their sign.
        for (int q = 0; q < 2; ++q) {
            const double s = (l.col[q] * c.want[q] + l.col[2 + q] * c.want[2 + q] +
                              l.col[4 + q] * c.want[4 + q]) < 0
                                 ? -1
                                 : 1;
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(l.col[2 * k + q], s * c.want[2 * k + q], 1e-12)
                    << c.param << " " << k << " " << q;
        }
    }
}

TEST(Levels, LookupByBisectionAndByScan)
{
    lev::Folder dir;
    std::string csv = "w,s\n";
    for (int i = 0; i < 23; ++i)
        csv += "lvl" + std::to_string(100 + i * 7) + "," + (i % 3 == 0 ? "p" : "q") + "\n";
    const std::string path = dir.write("w.csv", csv);
    for (const char* name : {"w", "s"}) {
        Plan p;
        p.vars = {Var(name)};
        p.vars[0].order = 'D';
        p.vars[0].vlen = 10;
        const lev::Levels l = lev::levelize(path, p).groups[0].vars[0];
        ZLEVVAR v{};
        v.nlev = static_cast<int>(l.text.size());
        v.vlen = static_cast<int>(l.text[0].size());
        std::vector<std::string> sorted = l.sorted;
        std::vector<char*> sl;
        for (auto& t : sorted)
            sl.push_back(t.data());
        std::vector<int> lidx = l.lidx;
        v.sl = sl.data();
        v.lidx = lidx.data();
        for (int k = 0; k < v.nlev; ++k) {
            // Leading blanks are taken off before the lookup.
            std::string key = "  " + lev::trim(l.text[k]);
            key.resize(static_cast<size_t>(v.vlen), ' ');
            EXPECT_EQ(zlevlwh(nullptr, &v, key.data()), k) << name << k;
        }
        std::string absent = "zz";
        absent.resize(static_cast<size_t>(v.vlen), ' ');
        EXPECT_EQ(zlevlwh(nullptr, &v, absent.data()), -1);
        v.nojust = 1;
        std::string shifted = " " + lev::trim(l.text[0]);
        shifted.resize(static_cast<size_t>(v.vlen), ' ');
        EXPECT_EQ(zlevlwh(nullptr, &v, shifted.data()), -1) << name;
    }
}

TEST(Levels, SortsCarryTheirPositions)
{
    // X: frequency descending, then the bytes after it ascending.
    struct Rec {
        int64_t f;
        char s[8];
    } recs[] = {{2, "b"}, {3, "z"}, {2, "a"}, {1, "c"}};
    int64_t p[4] = {0, 1, 2, 3};
    ShellSort(reinterpret_cast<char*>(recs), 4, p, "-X", "S", 9, 16);
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[1], 2);
    EXPECT_EQ(p[2], 0);
    EXPECT_EQ(p[3], 3);
    char a[] = "pear", b[] = "fig ", c[] = "date";
    char* v[] = {a, b, c};
    int index[3];
    SortLevels(v, index, 3, 4);
    EXPECT_EQ(std::string(v[0], 4), "date");
    EXPECT_EQ(index[0], 2);
    EXPECT_EQ(index[2], 0);
    char s[] = "   ab ";
    EXPECT_EQ(Stringjl(s, 6), 3);
    EXPECT_EQ(std::string(s, 6), "ab    ");
}

} // namespace

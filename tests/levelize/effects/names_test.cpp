// Parameter names and labels of levelized models (the naming kit, label
// culture aligned and not, generic names counted over the model, unique
// names), level names of effect variables, and the level maps, effect
// columns, means and class-value lookups.
#include "support/levelize_effects.h"

#include <cstring>
#include <set>

namespace
{

using eff::Builder;
using eff::Effect;
using korvtest::Table;

std::vector<std::string> strings(char** list, int n)
{
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i)
        out.push_back(list[i]);
    return out;
}

// Intercept, A, B and A*B over a and b under reference coding.
void abModel(Builder& b)
{
    b.add_class("a", ZLEV_PARAM_REFERENCE);
    b.add_class("b", ZLEV_PARAM_REFERENCE);
    for (auto& v : b.clas)
        v.cprefix = v.lprefix = -1;
    b.add_effect(Effect{{}, {}, {}, {}, "Intercept"});
    b.add_effect(Effect{{0}, {}, {}, {}, "A"});
    b.add_effect(Effect{{1}, {}, {}, {}, "B"});
    b.add_effect(Effect{{0, 1}, {}, {}, {}, "A*B"});
}

TEST(Names, TheNamingKitNamesEveryColumn)
{
    std::vector<std::string> names, labels;
    step_probe::run([&] {
        Builder b;
        abModel(b);
        ASSERT_EQ(b.init(ZLEV_OPT0_FULLRANK), 0);
        names = strings(b.m.parmname, b.m.p);
        labels = strings(b.m.parmlabel, b.m.p);
        EXPECT_EQ(b.m.maxparmnamelen, 9);
    });
    EXPECT_EQ(names, (std::vector<std::string>{"Intercept", "aa", "ab", "bx", "aabx", "abbx"}));
    EXPECT_EQ(labels, (std::vector<std::string>{"Intercept", "a a", "a b", "b x", "a a * b x",
                                                "a b * b x"}));
}

TEST(Names, LabelCultureAlignedOrNotAndGenericNames)
{
    const struct {
        const char* label;
        int cult, generic;
        std::string prefix;
        std::vector<std::string> names, labels;
    } cases[] = {
        {"aligned",
         1,
         0,
         "",
         {"Intercept", "A_________a", "A_________b", "B_________x", "A_B_______a_x",
          "A_B_______b_x"},
         {"Intercept", "A         a", "A         b", "B         x", "A*B       a*x",
          "A*B       b*x"}},
        {"unaligned",
         2,
         0,
         "",
         {"Intercept", "A_a", "A_b", "B_x", "A_B_a_x", "A_B_b_x"},
         {"Intercept", "A a", "A b", "B x", "A*B a*x", "A*B b*x"}},
        // Generic names are counted over the model, so no two effects make
        // the same name.
        {"generic", 2, 1, "", {"_X1", "_X2", "_X3", "_X4", "_X5", "_X6"}, {}},
        {"generic with a prefix",
         2,
         1,
         "col",
         {"col1", "col2", "col3", "col4", "col5", "col6"},
         {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> names, labels;
        step_probe::run([&] {
            Builder b;
            abModel(b);
            b.m.labelCult = c.cult;
            b.m.levelDelimiter = '*';
            b.m.genericParamNames = c.generic;
            std::string prefix = c.prefix + "?";
            if (!c.prefix.empty())
                b.m.namePrefix = {prefix.data(), static_cast<int>(prefix.size())};
            ASSERT_EQ(b.init(ZLEV_OPT0_FULLRANK), 0);
            names = strings(b.m.parmname, b.m.p);
            labels = strings(b.m.parmlabel, b.m.p);
        });
        EXPECT_EQ(names, c.names) << c.label;
        if (!c.labels.empty()) {
            EXPECT_EQ(labels, c.labels) << c.label;
        }
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size())
            << c.label;
    }
}

TEST(Names, DuplicateNamesGetNumbers)
{
    const std::string at32(32, 'Q');
    const struct {
        std::vector<std::string> in, out;
    } cases[] = {
        {{"A", "A", "A", "B"}, {"A", "A2", "A3", "B"}},
        // A new name that meets an existing one bumps that one's counter.
        {{"A", "A2", "A"}, {"A", "A2", "A3"}},
        // A name as long as the host allows keeps that length.
        {{at32, at32}, {at32, at32.substr(0, 31) + "2"}},
        {{"x", "y"}, {"x", "y"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got;
        char opt1 = 0;
        step_probe::run([&] {
            POOLHANDLE* pool = xmpoolc(0, 1024, 0);
            ZLEVDAT d{};
            d.pool = pool;
            ZLEVMOD m{};
            m.p = static_cast<int>(c.in.size());
            std::vector<char*> names;
            for (const auto& s : c.in) {
                char* t = static_cast<char*>(zlevAlloc(pool, static_cast<long>(s.size()) + 1));
                std::memcpy(t, s.c_str(), s.size() + 1);
                names.push_back(t);
            }
            m.parmname = names.data();
            ZLEVREGI r{};
            r.d = &d;
            r.m = &m;
            UniqDups(&r);
            got = strings(m.parmname, m.p);
            opt1 = m.opt[1];
            xmpoold(pool);
        });
        EXPECT_EQ(got, c.out);
        EXPECT_EQ((opt1 & ZLEV_OPT1_RENAMED) != 0, got != c.in);
    }
}

TEST(Names, LevelNamesOfEffectVariables)
{
    for (bool full : {true, false}) {
        std::vector<std::string> concat, spline, split, two;
        step_probe::run([&] {
            Builder b;
            b.add_class("a", ZLEV_PARAM_REFERENCE);
            b.add_cont("x");
            b.add_cont("y1");
            ZLEVEFTVAR c{};
            c.type = ZLEV_EFT_CONCAT;
            b.add_eft(c, {0}, {0}, "cat");
            ZLEVSPLINECONTROL s1 = eff::spline(1, 1, ZLEV_KNOT_EQUAL),
                              s2 = eff::spline(1, 1, ZLEV_KNOT_EQUAL),
                              s3 = eff::spline(1, 1, ZLEV_KNOT_EQUAL);
            s2.splitFlag = 1;
            ZLEVEFTVAR sp{};
            sp.type = ZLEV_EFT_SPLINE;
            sp.splineControlPtr = &s1;
            b.add_eft(sp, {0}, {}, "s1");
            sp.splineControlPtr = &s2;
            sp.primaryFlag = 1;
            b.add_eft(sp, {0}, {}, "s2");
            sp.splineControlPtr = &s3;
            sp.primaryFlag = 0;
            b.add_eft(sp, {0, 1}, {}, "s3");
            for (int k = 0; k < 4; ++k)
                b.add_effect(Effect{{}, {}, {}, {k}});
            ASSERT_EQ(b.init(full ? ZLEV_OPT0_FULLRANK : 0), 0);
            auto names = [&](int k) {
                std::vector<std::string> out;
                const ZLEVEFTVAR& v = b.eft[k];
                for (int i = 0; i < v.nparms && v.levName; ++i)
                    out.emplace_back(v.levName[i] ? v.levName[i] : "", v.levNameLen[i]);
                return out;
            };
            concat = names(0);
            spline = names(1);
            split = names(2);
            two = names(3);
            EXPECT_EQ(b.eft[2].maxLevNameLen, 0);
        });
        if (full)
            EXPECT_EQ(concat, (std::vector<std::string>{"x", "a:a", "a:b"}));
        else
            EXPECT_EQ(concat, (std::vector<std::string>{"x", "a:a", "a:b", "a:c"}));
        EXPECT_EQ(spline, (std::vector<std::string>{"1", "2", "3"}));
        EXPECT_EQ(split, (std::vector<std::string>{""}));
        EXPECT_EQ(two, (std::vector<std::string>{"x:1", "x:2", "x:3", "y1:1", "y1:2", "y1:3"}));
    }
}

TEST(Names, OneLevelIsNoted)
{
    lev::Folder dir;
    const std::string path = dir.write("one.csv", "k,v\n1,a\n1,b\n");
    const auto run = step_probe::run([&] {
        Builder b(path);
        b.add_class("k");
        b.add_class("v");
        ASSERT_EQ(b.init(ZLEV_OPT0_NONAMES), 0);
        zlevchk(&b.r);
    });
    EXPECT_EQ(
        step_probe::count(run.log, "NOTE: The classification variable k has only one level, 1."), 1)
        << run.log;
    EXPECT_EQ(run.log.find("variable v"), std::string::npos);
}

// A concatenation of x, a and b (reference coding, the last level the
// reference) as the only term of an effect, full rank: the parameters are
// x, a = a, a = b, b = x.
struct ConcatModel {
    Builder b;
    ConcatModel(bool full = true)
    {
        b.add_class("a", ZLEV_PARAM_REFERENCE);
        b.add_class("b", ZLEV_PARAM_REFERENCE);
        b.add_cont("x");
        ZLEVEFTVAR c{};
        c.type = ZLEV_EFT_CONCAT;
        b.add_eft(c, {0}, {0, 1}, "cat");
        b.add_effect(Effect{{}, {}, {}, {0}, "cat"});
        EXPECT_EQ(b.init((full ? ZLEV_OPT0_FULLRANK : 0) | ZLEV_OPT0_NOCENTER), 0);
    }
};

TEST(Maps, ConcatenationParametersMapToTheirLevels)
{
    step_probe::run([&] {
        ConcatModel cm;
        Builder& b = cm.b;
        ASSERT_EQ(b.eft[0].nparms, 4);
        ASSERT_EQ(zlevMapEftLevInverse(b.pool, &b.m), 0);
        const std::vector<std::vector<int>> want = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}};
        for (int p = 0; p < 4; ++p) {
            int lev[2] = {9, 9};
            zlevGetEfClassLevels(&b.ef[0], p, lev);
            EXPECT_EQ(std::vector<int>(lev, lev + 2), want[static_cast<size_t>(p)])
                << "parameter " << p;
        }
        // Positions of the observation's levels among the parameters: the
        // reference levels have none.
        std::vector<std::vector<int>> got;
        b.each([&](int, int) {
            int pos[2] = {-1, -1};
            const int n = zlevLSMBylevel(&b.r, &b.eft[0], pos, nullptr);
            got.emplace_back(pos, pos + n);
        });
        Table d("tests/reference/levelize_data.csv");
        for (size_t i = 0; i < d.size(); ++i) {
            std::vector<int> want;
            const std::string a = d.text(i, "a"), bb = d.text(i, "b");
            if (a != "c")
                want.push_back(1 + (a == "b"));
            if (bb == "x")
                want.push_back(3);
            EXPECT_EQ(got[i], want) << "observation " << i;
        }
        // Lookups by formatted values: blanks around a value do not count,
        // exactly one value may be given, a reference level has no column.
        const struct {
            std::vector<const char*> val;
            int want;
        } lookups[] = {{{" b ", ""}, 2}, {{"", "x"}, 3},  {{"a", ""}, 1},
                       {{"b", "x"}, -1}, {{"", "y"}, -1}, {{"", ""}, -1}};
        for (const auto& l : lookups)
            EXPECT_EQ(zlevEftClValParm(&b.ef[0], 0, const_cast<char**>(l.val.data()), 2), l.want)
                << l.val[0] << "|" << l.val[1];
        EXPECT_EQ(zlevEftClValN(&b.ef[0], 0), 2);
        EXPECT_EQ(zlevEftClValN(&b.ef[0], 1), 0);
        EXPECT_EQ(zlevEfClValN(&b.ef[0]), 2);
    });
}

TEST(Maps, EffectLevelsByFormattedValuesAndResponsesThatAreClasses)
{
    step_probe::run([&] {
        Builder b;
        b.add_class("a");
        b.add_class("b");
        b.responses({"a", "y1"});
        b.add_effect(Effect{{0, 1}});
        ASSERT_EQ(b.init(), 0);
        const char* val[] = {"  b", "x  "};
        EXPECT_EQ(zlevEftClValParm(&b.ef[0], 0, const_cast<char**>(val), 2), 2);
        const char* none[] = {"b", "z"};
        EXPECT_EQ(zlevEftClValParm(&b.ef[0], 0, const_cast<char**>(none), 2), -1);
        EXPECT_EQ(zlevEftClValParm(&b.ef[0], 0, const_cast<char**>(val), 1), -1);
        EXPECT_EQ(zlevEfClValN(&b.ef[0]), 2);
        FindYonClass(&b.r);
        EXPECT_EQ(b.r.yposcl[0], &b.r.g[0]);
        EXPECT_EQ(b.r.yposcl[1], nullptr);
    });
}

TEST(Maps, EffectColumnsAndMeans)
{
    step_probe::run([&] {
        // Two concatenations of x and a crossed: 3 x 3 columns, the first
        // variable slowest; the effect's columns alone are those of the row.
        Builder b;
        b.add_class("a", ZLEV_PARAM_REFERENCE);
        b.add_cont("x");
        ZLEVEFTVAR c{};
        c.type = ZLEV_EFT_CONCAT;
        b.add_eft(c, {0}, {0}, "c1");
        b.add_eft(c, {0}, {0}, "c2");
        b.add_effect(Effect{{}, {}, {}, {0, 1}, "c1*c2"});
        ASSERT_EQ(b.init(ZLEV_OPT0_FULLRANK | ZLEV_OPT0_NOCENTER), 0);
        ASSERT_EQ(b.m.p, 9);
        std::vector<double> total(9, 0.0), row(9), cols(9);
        b.each([&](int, int) {
            zlevrgx(&b.r, nullptr, nullptr, row.data());
            zlevGetEfCols(&b.r, 0, cols.data());
            EXPECT_EQ(cols, row);
            const double* v1 = b.eft[0].x;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    EXPECT_DOUBLE_EQ(row[static_cast<size_t>(i) * 3 + j], v1[i] * v1[j]);
            EXPECT_EQ(zlevGetEfNosepCols(&b.r, 0, 0, cols.data()), 9);
            EXPECT_EQ(cols, row);
            for (int k = 0; k < 9; ++k)
                total[static_cast<size_t>(k)] += row[static_cast<size_t>(k)];
        });
        // Two concatenations with continuous values: each column's mean is
        // its own total, scaled (the means are filled, not left unset).
        double efmeans[1];
        zlevEfMeans(&b.r, total.data(), efmeans, nullptr, 0.025);
        ASSERT_NE(b.ef[0].means, nullptr);
        double sum = 0;
        for (int k = 0; k < 9; ++k) {
            EXPECT_DOUBLE_EQ(b.ef[0].means[k], 0.025 * total[static_cast<size_t>(k)]) << k;
            sum += total[static_cast<size_t>(k)];
        }
        EXPECT_DOUBLE_EQ(efmeans[0], 0.025 * sum);
        double n[1] = {2};
        zlevEfMeans(&b.r, total.data(), efmeans, n, 0.025);
        EXPECT_DOUBLE_EQ(efmeans[0], 0.025 * sum / 2);
    });
}

} // namespace

namespace
{

TEST(NamingKit, SuffixesJustificationAndListings)
{
    const struct {
        const char* name;
        const char* suffix;
        int maxvlen, replace;
        const char* want;
    } cases[] = {
        {"abc", "_1", 0, 0, "abc_1"},     {"abc", "_1", 0, 1, "a_1"},
        {"abcdef", "_1", 6, 0, "abcd_1"}, // name and suffix would reach 6
        {"ab", "_1", 6, 0, "ab_1"},       {"abc", nullptr, 0, 0, "abc"},
    };
    for (const auto& c : cases) {
        std::string got;
        step_probe::run([&] {
            ZMNEFFECT e{};
            std::memset(e.name, ' ', 32);
            std::memcpy(e.name, c.name, std::strlen(c.name));
            zmnsuff(&e, 1, c.maxvlen, c.suffix,
                    c.suffix ? static_cast<int>(std::strlen(c.suffix)) : 0, c.replace);
            got = lev::trim(std::string(e.name, 32));
        });
        EXPECT_EQ(got, c.want) << c.name << " " << (c.suffix ? c.suffix : "-");
    }
    std::string just;
    const auto run = step_probe::run([&] {
        char to[32];
        zmnjust("   ab c", to);
        just = std::string(to, 32);
        ZMNCLASS* cl = zmnalcl(1, xtaskpool());
        std::memcpy(cl->name, "grp", 3);
        ZMNLEVEL lv{};
        std::memset(lv.class_, ' ', 32);
        lv.class_[0] = 'x';
        cl->levels = &lv;
        zmnducl(cl, 1);
        ZMNEFFECT e{};
        std::memset(e.name, ' ', 32);
        std::memcpy(e.name, "grpx", 4);
        ZMNLEVEL* lvs[1] = {&lv};
        e.levels = lvs;
        e.nways = 1;
        zmnduef(&e, 1);
    });
    EXPECT_EQ(lev::trim(just), "ab c");
    EXPECT_EQ(just.substr(0, 4), "ab c");
    EXPECT_NE(run.log.find("name     = grp."), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("  class    = x."), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("CLASS: grpx (0,0,1) -> -> x"), std::string::npos) << run.log;
}

} // namespace

// Hand-worked cases of the effect level lists, the coding of a level, the
// class part of an effect (crossed, value-weighted), the containment
// hierarchy and the list utilities.
#include "support/levelize_effects.h"

#include <array>
#include <cstring>

namespace
{

// An in-memory model of classification variables with given level counts,
// parameterizations and reference levels, and effects over them.
struct Mem {
    std::vector<ZLEVVAR> clas;
    std::vector<ZLEVETRM> ef;
    std::deque<std::vector<int>> ints;
    std::vector<ZLEVEFTVAR> eft;
    ZLEVMOD m{};
    ZLEVDAT d{};
    ZLEVREGI r{};
    std::vector<int> g;
    std::vector<double> row;
    std::vector<ZLEVXINF> x;
    POOLHANDLE* pool = nullptr;

    Mem(const std::vector<std::array<int, 3>>& vars) // nlev, param, ref
    {
        for (const auto& v : vars) {
            ZLEVVAR z{};
            z.nlev = v[0];
            z.param = v[1];
            z.ref = v[2];
            clas.push_back(z);
        }
        pool = xmpoolc(0, 1024, 0);
        d.pool = pool;
    }
    ~Mem() { xmpoold(pool); }
    int* list(const std::vector<int>& v)
    {
        ints.push_back(v.empty() ? std::vector<int>{0} : v);
        return ints.back().data();
    }
    void effect(const std::vector<int>& cros, const std::vector<int>& nest = {},
                const std::vector<int>& efct = {})
    {
        ZLEVETRM t{};
        t.ncros = static_cast<int>(cros.size());
        t.cros = list(cros);
        t.nnest = static_cast<int>(nest.size());
        t.nest = list(nest);
        std::vector<int> all = cros;
        all.insert(all.end(), nest.begin(), nest.end());
        t.nclas = static_cast<int>(all.size());
        t.clas = list(all);
        t.nefct = static_cast<int>(efct.size());
        t.efct = list(efct);
        ef.push_back(t);
    }
    // Links the model and counts every effect's columns as zlevrgi does.
    void finish(unsigned char opt0)
    {
        m.opt[0] = static_cast<char>(opt0);
        m.clas = {static_cast<int>(clas.size()), clas.data()};
        m.nef = static_cast<int>(ef.size());
        m.ef = ef.data();
        m.eft = {static_cast<int>(eft.size()), eft.data()};
        int p = 0;
        for (int e = 0; e < m.nef; ++e) {
            ef[e].prep = p;
            ef[e].npar = zlevedf(&m, e); // sets nparNoEfcts too
            p += ef[e].npar;
        }
        m.p = p;
        r.m = &m;
        r.d = &d;
        g.assign(clas.size(), 0);
        r.g = g.data();
        int most = 1;
        for (auto& v : clas)
            most = std::max(most, v.nlev);
        row.assign(static_cast<size_t>(most), 0.0);
        r.row = row.data();
        r.maxnlev = most;
        x.assign(ef.size(), ZLEVXINF{1.0, 0});
        m.x = x.data();
    }
    std::vector<std::vector<int>> rows(const int* list, int nrow, int width)
    {
        std::vector<std::vector<int>> out;
        for (int i = 0; i < nrow; ++i)
            out.emplace_back(list + i * width, list + (i + 1) * width);
        return out;
    }
};

using Rows = std::vector<std::vector<int>>;

TEST(LevelLists, ColumnOwningCombinations)
{
    const struct {
        const char* label;
        std::vector<std::array<int, 3>> vars;
        std::vector<int> cros, nest;
        unsigned char opt0;
        Rows want;
    } cases[] = {
        {"reference 2", {{3, ZLEV_PARAM_REFERENCE, 2}}, {0}, {}, 0, {{0}, {1}}},
        {"reference 0", {{3, ZLEV_PARAM_REFERENCE, 0}}, {0}, {}, 0, {{1}, {2}}},
        {"effect 1", {{3, ZLEV_PARAM_EFFECT, 1}}, {0}, {}, 0, {{0}, {2}}},
        {"polynomial", {{3, ZLEV_PARAM_POLY, 0}}, {0}, {}, 0, {{0}, {1}}},
        // A(B): nested outer, crossed inner.
        {"nested",
         {{3, ZLEV_PARAM_REFERENCE, 2}, {2, 0, 1}},
         {0},
         {1},
         0,
         {{0, 0}, {1, 0}, {0, 1}, {1, 1}}},
        // A*B: the last crossed variable fastest.
        {"crossed",
         {{3, ZLEV_PARAM_REFERENCE, 2}, {3, ZLEV_PARAM_REFERENCE, 0}},
         {0, 1},
         {},
         0,
         {{0, 1}, {0, 2}, {1, 1}, {1, 2}}},
        // Without an intercept the first effect's first variable keeps every
        // level, one row per column.
        {"no intercept", {{3, ZLEV_PARAM_REFERENCE, 2}}, {0}, {}, ZLEV_OPT0_NOINT, {{0}, {1}, {2}}},
        {"one level", {{1, ZLEV_PARAM_REFERENCE, 0}, {2, 0, 1}}, {0}, {1}, 0, {}},
    };
    for (const auto& c : cases) {
        step_probe::run([&] {
            Mem mm(c.vars);
            mm.effect(c.cros, c.nest);
            mm.finish(ZLEV_OPT0_FULLRANK | c.opt0);
            ASSERT_EQ(zlevLevelsAll(&mm.r, 0, nullptr), 0);
            const ZLEVETRM& ef = mm.ef[0];
            EXPECT_EQ(ef.npar, static_cast<int>(c.want.size())) << c.label;
            if (c.want.empty()) {
                EXPECT_EQ(ef.levelsnonsing, nullptr) << c.label;
                return;
            }
            EXPECT_EQ(mm.rows(ef.levelsnonsing, ef.npar, ef.nclas), c.want) << c.label;
            // No effect variables: the column list is that very list.
            EXPECT_EQ(ef.levelsall, ef.levelsnonsing) << c.label;
            EXPECT_EQ(ef.nlevelallrow, ef.nclas) << c.label;
        });
    }
}

TEST(LevelLists, ColumnsOfEffectVariablesAndSubsets)
{
    step_probe::run([&] {
        Mem mm({{2, 0, 1}, {3, 0, 2}});
        ZLEVEFTVAR ev{};
        ev.nparms = 3;
        mm.eft.push_back(ev);
        mm.effect({0});          // not full rank: one column per observed level
        mm.effect({1}, {}, {0}); // class part of 3 levels by 3 parameters
        int lev0[] = {0, 1}, lev1[] = {0, 1, 2};
        mm.ef[0].nlev = 2;
        mm.ef[0].levels = lev0;
        mm.ef[1].nlev = 3;
        mm.ef[1].levels = lev1;
        mm.finish(0);
        ASSERT_EQ(mm.ef[1].npar, 9);
        // Only the listed effect.
        int only[] = {1};
        zlevLevelsAll(&mm.r, 1, only);
        EXPECT_EQ(mm.ef[0].levelsall, nullptr);
        const ZLEVETRM& e = mm.ef[1];
        ASSERT_EQ(e.nlevelallrow, 2);
        // Column c: the effect variable's parameter c / 3, the class row c % 3.
        EXPECT_EQ(mm.rows(e.levelsall, 9, 2),
                  (Rows{{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}, {2, 2}}));
        zlevLevelsAll(&mm.r, 0, nullptr);
        EXPECT_EQ(mm.ef[0].levelsall, lev0); // no effect variables: the very list
        lev0[1] = 7;
        EXPECT_EQ(mm.ef[0].levelsall[1], 7);
    });
    // Two parameters of class part by three of an effect variable: column 4
    // carries the variable's parameter 2 and class row 0.
    step_probe::run([&] {
        Mem mm({{3, ZLEV_PARAM_REFERENCE, 2}});
        ZLEVEFTVAR ev{};
        ev.nparms = 3;
        mm.eft.push_back(ev);
        mm.effect({0}, {}, {0});
        mm.finish(ZLEV_OPT0_FULLRANK);
        ASSERT_EQ(mm.ef[0].npar, 6);
        zlevLevelsAll(&mm.r, 0, nullptr);
        EXPECT_EQ(mm.ef[0].levelsall[4 * 2], 2);
        EXPECT_EQ(mm.ef[0].levelsall[4 * 2 + 1], 0);
    });
}

TEST(Coding, EachParameterizationCodesALevel)
{
    const double s = 0.75; // sqrt(1.5 * 3 / 8)
    const struct {
        const char* label;
        int param, nlev, ref, level;
        double z;
        bool numeric;
        std::vector<double> values; // level values of a numeric variable
        std::vector<double> want;
    } cases[] = {
        {"effect below", ZLEV_PARAM_EFFECT, 3, 2, 0, 2, true, {}, {2, 0}},
        {"effect above", ZLEV_PARAM_EFFECT, 3, 2, 1, 2, true, {}, {0, 2}},
        {"effect reference", ZLEV_PARAM_EFFECT, 3, 2, 2, 2, true, {}, {-2, -2}},
        {"effect middle reference", ZLEV_PARAM_EFFECT, 3, 1, 2, 1, true, {}, {0, 1}},
        {"reference", ZLEV_PARAM_REFERENCE, 3, 2, 2, 2, true, {}, {0, 0}},
        {"polynomial, character", ZLEV_PARAM_POLY, 3, 2, 1, 1, false, {}, {2, 4}},
        {"polynomial, value", ZLEV_PARAM_POLY, 3, 2, 2, 1, true, {1, 2, 3}, {3, 9}},
        {"polynomial, value 0", ZLEV_PARAM_POLY, 3, 2, 0, 1, true, {0, 2, 3}, {0, 0}},
        {"ordinal", ZLEV_PARAM_ORDINAL, 4, 3, 2, 1, true, {}, {1, 1, 0}},
        {"symmetric steps", ZLEV_PARAM_SYMSTEP, 3, 2, 1, 1, true, {}, {s, -s}},
    };
    for (const auto& c : cases) {
        NAMESTR n;
        n.ntype = c.numeric ? 1 : 2;
        ZLEVVAR v{};
        v.n = &n;
        v.param = c.param;
        v.nlev = c.nlev;
        v.ref = c.ref;
        std::vector<ZLEVTRUE> t(c.values.size());
        for (size_t k = 0; k < t.size(); ++k)
            t[k].z = c.values[k];
        v.true_ = t.empty() ? nullptr : t.data();
        std::vector<double> x(static_cast<size_t>(c.nlev - 1), 99.0);
        zlevflr(&v, x.data(), c.level, c.nlev - 1, c.z);
        ASSERT_EQ(x.size(), c.want.size());
        for (size_t k = 0; k < x.size(); ++k)
            EXPECT_DOUBLE_EQ(x[k], c.want[k]) << c.label << " " << k;
    }
    // No columns: nothing is touched.
    ZLEVVAR v{};
    v.nlev = 1;
    double guard = 5;
    zlevflr(&v, &guard, 0, 0, 1);
    EXPECT_EQ(guard, 5);
}

TEST(Coding, CrossingsListsAndKeys)
{
    double a[6] = {1, 2, 3};
    const double b[2] = {10, 100};
    zlevCrossMultiply(a, 3, b, 2); // a's index outer
    EXPECT_EQ(std::vector<double>(a, a + 6), (std::vector<double>{10, 100, 20, 200, 30, 300}));
    double e[6] = {1, 2, 3};
    zlevEffCrossMultiply(e, 3, b, 2); // b's index outer
    EXPECT_EQ(std::vector<double>(e, e + 6), (std::vector<double>{10, 20, 30, 100, 200, 300}));
    double same[2] = {4, 5};
    zlevCrossMultiply(same, 2, b, 0);
    EXPECT_EQ(same[1], 5);
    const int l[3] = {5, 6, 7}, g[4] = {7, 5, 0, 6}, p[3] = {1, 3, 0};
    EXPECT_EQ(EqIntList(l, g, 3, p), 1);
    EXPECT_EQ(EqIntList(l, g, 0, p), 1);
    const int q[3] = {1, 3, 2};
    EXPECT_EQ(EqIntList(l, g, 3, q), 0);
    // Keys of signed ints; a length below 4 compares nothing.
    int k1[2] = {-1, 4}, k2[2] = {0, 4};
    EXPECT_EQ(zlevIntCompare(reinterpret_cast<char*>(k1), reinterpret_cast<char*>(k2), 8, 0), -1);
    EXPECT_EQ(zlevIntCompare(reinterpret_cast<char*>(k2), reinterpret_cast<char*>(k1), 8, 0), 1);
    EXPECT_EQ(zlevIntCompare(reinterpret_cast<char*>(k1), reinterpret_cast<char*>(k2), 3, 0), 0);
}

TEST(ClassPart, CrossedBlocksAndSelectedModel)
{
    step_probe::run([&] {
        Mem mm({{3, ZLEV_PARAM_REFERENCE, 2}, {2, ZLEV_PARAM_REFERENCE, 1}, {1, 0, 0}});
        mm.effect({0, 1});
        mm.effect({2});
        mm.finish(ZLEV_OPT0_FULLRANK);
        ASSERT_EQ(mm.m.p, 2);
        const struct {
            int a, b;
            std::vector<double> want;
        } cells[] = {{0, 0, {3, 0}}, {1, 0, {0, 3}}, {1, 1, {0, 0}}, {2, 0, {0, 0}}};
        for (const auto& c : cells) {
            mm.g = {c.a, c.b, 0};
            mm.r.g = mm.g.data();
            mm.x[0].z = 3;
            double x[2] = {9, 9};
            zlevrgx(&mm.r, nullptr, nullptr, x);
            EXPECT_EQ(std::vector<double>(x, x + 2), c.want) << c.a << c.b;
            // A variable of one level has no columns.
            EXPECT_EQ(zlevpar(&mm.r, 1, x), 0);
        }
        // An effect out of the selected model keeps zeros.
        ZLEVINMODEL* im = SetInmodel(&mm.r);
        im->check = '1';
        im->ef[0] = '0';
        mm.g = {0, 0, 0};
        double x[2] = {9, 9};
        zlevrgx(&mm.r, nullptr, nullptr, x);
        EXPECT_EQ(x[0], 0);
    });
}

TEST(ClassPart, ValueWeightedRowsCodeEachColumnsOwnLevel)
{
    // Per-level values that are the indicators of the observation's level of
    // B reproduce the ordinary design: the other variable's columns are
    // taken at the column each level owns (effect coding: the reference
    // row of -1; reference coding: 1 for a level above the reference).
    for (int paramA : {ZLEV_PARAM_EFFECT, ZLEV_PARAM_REFERENCE, ZLEV_PARAM_POLY}) {
        for (unsigned char opt0 : {ZLEV_OPT0_FULLRANK, static_cast<unsigned char>(0)}) {
            step_probe::run([&] {
                Mem mm({{3, paramA, 1}, {2, ZLEV_PARAM_REFERENCE, 1}});
                mm.effect({0, 1});
                // Not full rank: every combination is observed.
                int combos[] = {0, 0, 0, 1, 1, 0, 1, 1, 2, 0, 2, 1};
                mm.ef[0].nlev = 6;
                mm.ef[0].levels = combos;
                mm.finish(opt0);
                zlevLevelsAll(&mm.r, 0, nullptr);
                const int p = mm.m.p;
                std::vector<double> bv(2);
                std::vector<double*> gval = {nullptr, bv.data()};
                for (int a = 0; a < 3; ++a)
                    for (int b = 0; b < 2; ++b) {
                        mm.g = {a, b};
                        mm.r.g = mm.g.data();
                        mm.x[0].z = 2;
                        mm.x[0].i = a * 2 + b;
                        std::vector<double> plain(static_cast<size_t>(p)), weighted(plain.size());
                        mm.r.gVal = nullptr;
                        zlevrgx(&mm.r, nullptr, nullptr, plain.data());
                        bv[0] = b == 0;
                        bv[1] = b == 1;
                        mm.r.gVal = gval.data();
                        zlevrgx(&mm.r, nullptr, nullptr, weighted.data());
                        EXPECT_EQ(weighted, plain)
                            << "param " << paramA << " opt " << int(opt0) << " cell " << a << b;
                    }
            });
        }
    }
}

TEST(Hierarchy, EffectsContainTheirParts)
{
    // Effects over classification variables A (0), B (1) and continuous
    // variables x (0), y (1).
    struct E {
        std::vector<int> clas{}, cont{}, efct{};
    };
    const struct {
        const char* label;
        std::vector<E> effects;
        int use;
        std::vector<std::vector<int>> contains, containedIn;
    } cases[] = {
        {"A B A*B", {{}, {{0}}, {{1}}, {{0, 1}}}, 1, {{}, {}, {}, {1, 2}}, {{}, {3}, {3}, {}}},
        {"x x*y A A*x, all",
         {{}, {{}, {0}}, {{}, {0, 1}}, {{0}}, {{0}, {0}}},
         1,
         {{}, {}, {1}, {}, {1, 3}},
         {{}, {2, 4}, {}, {4}, {}}},
        {"x x*y A A*x, class",
         {{}, {{}, {0}}, {{}, {0, 1}}, {{0}}, {{0}, {0}}},
         2,
         {{}, {}, {}, {}, {1, 3}},
         {{}, {4}, {}, {4}, {}}},
        {"x*x contains x, A*A does not contain A",
         {{}, {{}, {0}}, {{}, {0, 0}}, {{0}}, {{0, 0}}},
         1,
         {{}, {}, {1}, {}, {}},
         {{}, {2}, {}, {}, {}}},
        // A polynomial of x and y (not kept whole) counts as x and y.
        {"polynomial", {{}, {{}, {0}}, {{}, {}, {0}}}, 1, {{}, {}, {1}}, {{}, {2}, {}}},
    };
    for (const auto& c : cases) {
        step_probe::run([&] {
            Mem mm({{2, 0, 1}, {2, 0, 1}});
            ZLEVPOLYCONTROL pc{};
            int pcont[2] = {0, 1};
            ZLEVEFTVAR poly{};
            poly.type = ZLEV_EFT_POLY;
            poly.polyControlPtr = &pc;
            poly.ncont = 2;
            poly.cont = pcont;
            mm.eft.push_back(poly);
            for (const E& e : c.effects) {
                mm.effect({}, {}, e.efct);
                ZLEVETRM& t = mm.ef.back();
                t.nclas = t.ncros = static_cast<int>(e.clas.size());
                t.clas = t.cros = mm.list(e.clas);
                t.ncont = static_cast<int>(e.cont.size());
                t.cont = mm.list(e.cont);
            }
            mm.finish(0);
            const size_t n = c.effects.size();
            std::vector<int> nIn(n, 0), nHas(n, 0);
            std::vector<int*> in(n, nullptr), has(n, nullptr);
            ZLEV_HIERARCHY h{};
            h.r = &mm.r;
            h.pool = mm.pool;
            h.pooltype = 1;
            h.hierarchyToUse = c.use;
            h.nContainedIn = nIn.data();
            h.nContains = nHas.data();
            h.containedInList = in.data();
            h.containsList = has.data();
            ASSERT_EQ(zlevhier(&h), 0);
            for (size_t e = 0; e < n; ++e) {
                EXPECT_EQ(std::vector<int>(has[e], has[e] + nHas[e]), c.contains[e])
                    << c.label << " effect " << e;
                EXPECT_EQ(std::vector<int>(in[e], in[e] + nIn[e]), c.containedIn[e])
                    << c.label << " effect " << e;
            }
        });
    }
    int l1[] = {1, 2}, l2[] = {1, 2, 3}, l3[] = {1, 1}, l4[] = {1};
    EXPECT_EQ(cont_lstcmp(l1, 2, l2, 3), -1);
    EXPECT_EQ(cont_lstcmp(l2, 3, l1, 2), 1);
    EXPECT_EQ(cont_lstcmp(l3, 2, l4, 1), 1);
    EXPECT_EQ(cont_lstcmp(l1, 0, l2, 0), 0);
    EXPECT_EQ(cont_lstcmp(l1, 0, l2, 1), -1);
    int l5[] = {1, 4};
    EXPECT_EQ(cont_lstcmp(l5, 2, l2, 3), 999);
}

TEST(Lists, SetsMultisetsMembersAndJoins)
{
    const char a[] = "a", ab[] = "ab", ba[] = "ba", abc[] = "abc", ad[] = "ad", aa[] = "aa";
    EXPECT_EQ(zlstcmp(ab, 2, ba, 2, 1), 0);
    EXPECT_EQ(zlstcmp(ab, 2, abc, 3, 1), -1);
    EXPECT_EQ(zlstcmp(abc, 3, ab, 2, 1), 1);
    EXPECT_EQ(zlstcmp(ad, 2, abc, 3, 1), 999);
    EXPECT_EQ(zlstcmp(a, 0, ab, 0, 1), 0);
    EXPECT_EQ(zlstcmp(a, 0, ab, 2, 1), -1);
    EXPECT_EQ(zlstcmpMul(aa, 2, a, 1, 1), 999);
    EXPECT_EQ(zlstcmpMul(ab, 2, ba, 2, 1), 0);
    EXPECT_EQ(zlstmul(aa, 2, "a", 1), 2);
    EXPECT_EQ(zlstmem(abc, 3, "c", 1), 2);
    EXPECT_EQ(zlstmem(abc, 0, "c", 1), 0);
    EXPECT_EQ(zlstmem(abc, 3, "z", 1), 3);
    int i1[4], i2[4];
    EXPECT_EQ(zlstjn(aa, 2, i1, "xa", 2, i2, 1), 2);
    EXPECT_EQ(i1[0], 0);
    EXPECT_EQ(i1[1], 1);
    EXPECT_EQ(i2[0], 1);
    EXPECT_EQ(zlstjn(aa, 0, nullptr, "xa", 2, nullptr, 1), 0);
    // A parsed name list: one block whose names start at byte 32.
    alignas(8) unsigned char block[64] = {};
    const int64_t last = 2;
    std::memcpy(block + 24, &last, sizeof last);
    const unsigned char names[] = {2, 'a', 'b', 1, 'c', 3, 'a', 'b', 'c'};
    std::memcpy(block + 32, names, sizeof names);
    EXPECT_EQ(zlstmel(block, 3, "c", 1), 1);
    EXPECT_EQ(zlstmel(block, 3, "abc", 3), 2);
    EXPECT_EQ(zlstmel(block, 3, "ab", 1), 3);
}

} // namespace

// The levelized design reader: zlevrgi's return codes and messages, the
// status bits zlevrgd gives each observation, continuous values centred and
// scaled, the note on cut formatted values, and the reader's own lookups
// for effects.
#include "support/levelize_harness.h"
#include "support/step_probe.h"

#include <string>
#include <vector>

namespace
{

using lev::Plan;
using lev::Var;

// s (numeric) and c (character) are classification variables, s is also a
// response; w a weight, f a frequency, t a response. Observations 3 and 4
// are not levelized (a missing s, a blank c), so 3 is no level of s.
const char* kData = "s,c,w,f,t\n"
                    "1,A,1,1,5\n"
                    "2,B,0,0,3\n"
                    ".,A,-1,2,.\n"
                    "3,,2,.,1\n"
                    "1,C,.,-1,2\n";

struct Reader {
    lev::Model md;
    std::vector<ZLEVVAR> y;
    ZLEVVAR w{};

    Reader(DSHANDLE* ds, POOLHANDLE* pool, const Plan& p) : md(ds, p, pool), y(2)
    {
        y[0] = ZLEVVAR{};
        y[0].n = xvname(ds, xvfind(ds, "t"));
        y[1] = ZLEVVAR{};
        y[1].n = xvname(ds, xvfind(ds, "s"));
        md.r.y = {2, y.data()};
        w.n = xvname(ds, xvfind(ds, "w"));
        md.r.w = &w;
        md.r.nwgt = 1;
        md.r.GetInit = nullptr;
        md.r.GetNext = nullptr;
        md.r.GetVals = nullptr;
    }
};

TEST(Reader, StatusBitsOfEachObservation)
{
    lev::Folder dir;
    const std::string path = dir.write("r.csv", kData);
    for (unsigned char opt1 : {static_cast<unsigned char>(0), ZLEV_OPT1_ZEROWF}) {
        std::vector<int> status;
        std::vector<std::vector<int>> g;
        step_probe::run([&] {
            Exported_QXHandle = vyr_kernel_handle();
            DSHANDLE* ds = lev::open(path);
            ASSERT_EQ(xbynext(ds), 1);
            POOLHANDLE* pool = xmpoolc(0, 1024, 0);
            Plan p;
            p.vars = {Var("s"), Var("c")};
            p.freq = "f";
            p.opt1 = opt1;
            Reader rd(ds, pool, p);
            ASSERT_EQ(zlevrgi(&rd.md.r), 0);
            EXPECT_EQ(rd.md.clas[0].nlev, 2);
            EXPECT_EQ(rd.md.clas[1].nlev, 3);
            double y[2], wv, fv;
            xbyrwnd(ds, 66);
            while (xybyget(ds) == 0) {
                status.push_back(zlevrgd(&rd.md.r, y, &wv, &fv));
                g.push_back({rd.md.r.g[0], rd.md.r.g[1]});
            }
            xmpoold(pool);
        });
        const int zero = opt1 ? 0 : ZLEV_ST_WEIGHT;
        // 1: usable. 2: a weight and a frequency of 0. 3: a missing response
        // (s, also a classification variable, and t) and a negative weight.
        // 4: s is no level (0x04, s is a response), c is blank (no level,
        // not a response: 0x0A), a missing frequency. 5: a missing weight
        // and a negative frequency.
        EXPECT_EQ(status, (std::vector<int>{0, zero, 0x05, 0x0F, 0x01})) << int(opt1);
        EXPECT_EQ(g[0], (std::vector<int>{0, 0}));
        EXPECT_EQ(g[1], (std::vector<int>{1, 1}));
        EXPECT_EQ(g[3], (std::vector<int>{-1, -1}));
        EXPECT_EQ(g[4], (std::vector<int>{0, 2}));
    }
}

TEST(Reader, ReturnCodesAndTheirMessages)
{
    lev::Folder dir;
    const std::string path = dir.write("r.csv", kData + std::string("1,A,1,1,4\n"));
    const std::string blank = dir.write("b.csv", "s,c\n.,A\n.,B\n");
    const struct {
        const char* label;
        std::string path;
        std::function<void(lev::Model&)> adjust;
        int rc;
        const char* message; // in the log, or null
    } cases[] = {
        {"ready", path, [](lev::Model&) {}, 0, nullptr},
        {"no level", blank, [](lev::Model&) {}, ZLEV_RC_NOLEVELS, nullptr},
        {"reference not a level", path,
         [](lev::Model& m) {
             m.clas[1].ref = ZLEV_REF_VALUE;
             m.clas[1].refval = {const_cast<char*>("Q"), 1};
         },
         ZLEV_RC_NOREF, "ERROR: The reference level given for c is not one of its levels."},
        {"reference found", path,
         [](lev::Model& m) {
             m.clas[1].ref = ZLEV_REF_VALUE;
             m.clas[1].refval = {const_cast<char*>(" B  "), 4};
         },
         0, nullptr},
        {"effects", path,
         [](lev::Model& m) {
             static ZLEVETRM ef[1];
             static int cros[1] = {0};
             ef[0] = ZLEVETRM{};
             ef[0].ncros = ef[0].nclas = 1;
             ef[0].cros = ef[0].clas = cros;
             m.m.nef = 1;
             m.m.ef = ef;
         },
         0, nullptr},
    };
    for (const auto& c : cases) {
        int rc = -1, ref = -9;
        const auto run = step_probe::run([&] {
            Exported_QXHandle = vyr_kernel_handle();
            DSHANDLE* ds = lev::open(c.path);
            ASSERT_EQ(xbynext(ds), 1);
            POOLHANDLE* pool = xmpoolc(0, 1024, 0);
            Plan p;
            p.vars = {Var("s"), Var("c")};
            lev::Model md(ds, p, pool);
            md.r.GetInit = nullptr;
            md.r.GetNext = nullptr;
            md.r.GetVals = nullptr;
            c.adjust(md);
            rc = zlevrgi(&md.r);
            ref = md.clas[1].ref;
            xmpoold(pool);
        });
        EXPECT_EQ(rc, c.rc) << c.label;
        if (c.message)
            EXPECT_NE(run.log.find(c.message), std::string::npos) << c.label << run.log;
        else
            EXPECT_EQ(run.log.find("ERROR"), std::string::npos) << c.label << run.log;
        if (std::string(c.label) == "reference found") {
            EXPECT_EQ(ref, 2); // B moved to the end: A, C, B
        }
    }
}

TEST(Reader, CutValuesAreNotedOncePerVariable)
{
    lev::Folder dir;
    const std::string path =
        dir.write("n.csv", "name,k\nAlpha,1\nBeta,2\nAlpine,3\nGamma,4\nAl,5\n");
    for (int threads : {0, 2}) {
        std::vector<lev::Reading> got;
        const auto run = step_probe::run([&] {
            Plan p;
            p.vars = {Var("name"), Var("k")};
            p.vars[0].vlen = 2;
            p.threads = threads;
            got = lev::read(path, p);
        });
        ASSERT_EQ(got.size(), 1u);
        // Alpha, Alpine and Al are one level once cut to two characters.
        EXPECT_EQ(got[0].text[0], (std::vector<std::string>{"Al", "Be", "Ga"})) << threads;
        EXPECT_EQ(step_probe::count(run.log, "NOTE: The formatted values of name are cut to 2"), 1)
            << threads << run.log;
        EXPECT_EQ(step_probe::count(run.log, "of k are cut"), 0) << run.log;
    }
}

TEST(Reader, ContinuousValuesAreCentredAndScaled)
{
    lev::Folder dir;
    const std::string path = dir.write("x.csv", "c,x,k\na,2,7\nb,4,7\na,6,7\nb,.,7\n");
    std::vector<double> z;
    int nlevX = 0, nlevK = 0;
    step_probe::run([&] {
        Exported_QXHandle = vyr_kernel_handle();
        DSHANDLE* ds = lev::open(path);
        ASSERT_EQ(xbynext(ds), 1);
        POOLHANDLE* pool = xmpoolc(0, 1024, 0);
        Plan p;
        p.vars = {Var("c")};
        lev::Model md(ds, p, pool);
        ZLEVVAR cont[2]{};
        cont[0].n = xvname(ds, xvfind(ds, "x"));
        cont[1].n = xvname(ds, xvfind(ds, "k"));
        md.m.cont = {2, cont};
        md.r.GetInit = nullptr;
        md.r.GetNext = nullptr;
        md.r.GetVals = nullptr;
        ASSERT_EQ(zlevrgi(&md.r), 0);
        nlevX = cont[0].nlev;
        nlevK = cont[1].nlev;
        xbyrwnd(ds, 66);
        while (xybyget(ds) == 0) {
            const int st = zlevrgd(&md.r, nullptr, nullptr, nullptr);
            z.push_back(st & ZLEV_ST_CONTMISS ? 99 : md.r.z[0]);
            EXPECT_EQ(md.r.z[1], 0.0); // a constant: half-range 0
        }
        xmpoold(pool);
    });
    EXPECT_EQ(nlevX, 2);
    EXPECT_EQ(nlevK, 1);
    EXPECT_EQ(z, (std::vector<double>{-1, 0, 1, 99}));
}

TEST(Reader, MembersThatDisagreeOnMissingLevelsEndTheStep)
{
    lev::Folder dir;
    const std::string path = dir.write("r.csv", kData);
    const auto run = step_probe::run([&] {
        Exported_QXHandle = vyr_kernel_handle();
        DSHANDLE* ds = lev::open(path);
        ASSERT_EQ(xbynext(ds), 1);
        POOLHANDLE* pool = xmpoolc(0, 1024, 0);
        Plan p;
        p.vars = {Var("s"), Var("c")};
        p.vars[0].countmissing = 1;
        lev::Model md(ds, p, pool);
        static int members[2] = {0, 1};
        static char name[] = "mm";
        ZLEVEFTVAR ev{};
        ev.type = ZLEV_EFT_MULTIMEMBER;
        ev.nclas = 2;
        ev.clas = members;
        ev.name = {name, 2};
        md.m.eft = {1, &ev};
        zlevrgi(&md.r);
        ADD_FAILURE() << "the step goes on";
    });
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.log.find("The classification variables of the effect mm disagree"),
              std::string::npos)
        << run.log;
}

TEST(Reader, EffectLevelLookupAndEffectChecks)
{
    // Rows sorted by nested, then crossed entries; rows hold crossed first.
    int cros[1] = {0}, nest[1] = {1}, clas[2] = {0, 1};
    int levels[] = {0, 0, 2, 0, 1, 1, 0, 2, 1, 2};
    ZLEVETRM ef{};
    ef.ncros = 1;
    ef.cros = cros;
    ef.nnest = 1;
    ef.nest = nest;
    ef.nclas = 2;
    ef.clas = clas;
    ef.nlev = 5;
    ef.levels = levels;
    for (int row = 0; row < 5; ++row) {
        const int g[2] = {levels[2 * row], levels[2 * row + 1]};
        EXPECT_EQ(zlevwel(&ef, g), row);
    }
    const int absent[2] = {1, 0};
    EXPECT_EQ(zlevwel(&ef, absent), 5);
    ZLEVETRM none{};
    EXPECT_EQ(zlevwel(&none, absent), 0);

    // Effect variables: a concatenation needs every member's level, a
    // multi-member one with all members absent passes only as "no effect".
    int g[2] = {0, -1};
    double z[1] = {1.5};
    int members[2] = {0, 1};
    ZLEVEFTVAR ev[2]{};
    ev[0].type = ZLEV_EFT_CONCAT;
    ev[0].nclas = 2;
    ev[0].clas = members;
    ev[1].type = ZLEV_EFT_MULTIMEMBER;
    ev[1].nclas = 2;
    ev[1].clas = members;
    int efct0[1] = {0}, efct1[1] = {1};
    ZLEVETRM efs[2]{};
    efs[0].nefct = 1;
    efs[0].efct = efct0;
    efs[1].nefct = 1;
    efs[1].efct = efct1;
    ZLEVMOD m{};
    m.nef = 2;
    m.ef = efs;
    m.eft = {2, ev};
    ZLEVREGI r{};
    r.m = &m;
    r.g = g;
    r.z = z;
    int status = 0;
    EXPECT_EQ(zlevCheckEftEXMISS(&status, &r, &m, 0), 0);
    EXPECT_EQ(status, ZLEV_ST_EFFECT | ZLEV_ST_DESIGN);
    EXPECT_EQ(zlevCheckEftEXMISS(&status, &r, &m, 1), 0); // 0x20 already set
    status = 0;
    EXPECT_EQ(zlevCheckEftEXMISS(&status, &r, &m, 1), 1); // one member present
    g[0] = -1;
    EXPECT_EQ(zlevCheckEftEXMISS(&status, &r, &m, 1), 0);
    status = 0;
    ev[1].noeffect = 1;
    EXPECT_EQ(zlevCheckEftEXMISS(&status, &r, &m, 1), 1);
    EXPECT_EQ(status, ZLEV_ST_NOEFFECT);
    EXPECT_EQ(efs[1].noeff, 1);

    // A lag: the level of lagVar one period earlier for the same subject.
    int within[1] = {0};
    int design[] = {1, 3, 0, 2, 2, 1}; // 2 subjects, 3 periods: 1 + level, 0 none
    ZLEVLAGCONTROL lag{};
    lag.nLag = 1;
    lag.nWithin = 1;
    lag.withinVar = within;
    lag.periodVar = 1;
    lag.nPeriods = 3;
    lag.subjects.design = design;
    lag.obsLaggedLevel = -1;
    const struct {
        int subject, period, want;
    } lags[] = {{0, 1, 0}, {0, 2, 2}, {1, 1, 1}, {1, 2, 1}, {0, 0, -2}, {-1, 1, -1}};
    for (const auto& c : lags) {
        int gl[2] = {c.subject, c.period};
        r.g = gl;
        lag.obsLaggedLevel = -1;
        EXPECT_EQ(zlevGetEftLaggedLevel(&r, &lag), c.want) << c.subject << c.period;
    }
}

} // namespace

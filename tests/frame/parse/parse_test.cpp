// The procedure statement, SURVIVAL and STRATA options as the procedure sees
// them: whole programs go through the session, the program reader and the
// parser, and the common block's settings and the log are checked.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "frame/frame.h"
#include "frame/korvg.h"
#include "frame/parse.h"
#include "host/session/session_state.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/xsparse.h"
#include "vyr_host.h"
#include "vyr_session.h"

namespace
{

namespace fs = std::filesystem;

std::function<void(KORVCOM&)> g_inspect;
bool g_inspected = false;

int parse_only()
{
    xinit();
    static KORVCOM q;
    q = KORVCOM{};
    parse(&q);
    if (g_inspect) {
        g_inspect(q);
        g_inspected = true;
    }
    return q.rc;
}

struct Result {
    int rc = -1;
    std::string log;
    bool inspected = false;
};

class Parse : public ::testing::Test
{
  protected:
    fs::path dir;
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("korv_parse_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        std::ofstream f(dir / "lung.csv");
        f << "time,status,sex,age,grp,x1,x2,x3,wt,f\n";
        for (int i = 0; i < 12; ++i)
            f << (i + 1) * 3 << "," << (i % 3 ? 1 : 0) << "," << (i % 2 + 1) << "," << 40 + i << ","
              << (i % 2 ? "a" : "b") << "," << i << "," << i * 2 << "," << i * 3 << ",1,1\n";
        vyr::hooks_clear();
        vyr_register_procedure("KORVANTE", parse_only);
    }
    void TearDown() override
    {
        g_inspect = nullptr;
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    Result run(const std::string& program, std::function<void(KORVCOM&)> inspect = nullptr,
               bool graphics = true)
    {
        Result r;
        g_inspect = std::move(inspect);
        g_inspected = false;
        VyrSettings s;
        s.dataDir = dir.string();
        s.outDir = dir.string();
        s.graphics = graphics;
        std::string listing;
        vyr::print_capture(&listing, &r.log);
        vyr_run_text(s, program);
        vyr::print_capture(nullptr, nullptr);
        if (!vyr_step_rcs().empty())
            r.rc = vyr_step_rcs().back();
        r.inspected = g_inspected;
        return r;
    }
};

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(Parse, DefaultsOfAPlainStep)
{
    auto r = run("proc korvante data=lung; time time*status(0); run;", [](KORVCOM& q) {
        EXPECT_EQ(q.method, 0);
        EXPECT_EQ(q.vdqgraph, 0x8001);
        EXPECT_DOUBLE_EQ(q.alpha, 0.05);
        EXPECT_NEAR(q.critical, 1.959963984540054, 1e-9);
        EXPECT_DOUBLE_EQ(q.qtcritical, 1.959963984540054);
        EXPECT_DOUBLE_EQ(q.singular, 1e-12);
        EXPECT_EQ(q.maxtime, DBL_MAX);
        EXPECT_EQ(q.zmaxtime, 0);
        EXPECT_DOUBLE_EQ(q.restric, -1.0);
        EXPECT_EQ(q.ninter, 10);
        EXPECT_EQ(q.zprint, 1);
        EXPECT_EQ(q.ztime, 1);
        EXPECT_EQ(q.zevent, 1);
        ASSERT_EQ(q.evnum, 1);
        EXPECT_EQ(q.elist[0], 0);
        EXPECT_DOUBLE_EQ(q.bandmax, -1.0);
        EXPECT_DOUBLE_EQ(q.bandmin, -1.0);
        EXPECT_EQ(q.conftype, 0);
        EXPECT_EQ(q.confband, 0);
        EXPECT_EQ(q.ktype, 0);
        EXPECT_EQ(q.cmprisk, nullptr);
        ASSERT_NE(q.stmt, nullptr);
        EXPECT_NE(q.vdq, nullptr);
    });
    EXPECT_TRUE(r.inspected) << r.log;
    EXPECT_EQ(r.rc, 0) << r.log;
}

TEST_F(Parse, PlotRequestBits)
{
    struct Case {
        const char* opts;
        int bits;
    } cases[] = {
        {"plots=all", 0x407},
        {"plots=all method=lt", 0x41F},
        {"plots(only)=all", 0x407},
        {"plots=(logsurv)", 0x8003},
        {"plots(only)=(logsurv)", 0x2},
        {"plots=survival(strata=panel)", 0x10001},
        {"plots=s(strata=individual cl failure nocen test)", 0x10224801},
        {"plots=surv(cb=ep)", 0xA001},
        {"plots=surv(cb hw)", 0x9001},
        {"plots=sur(hw ep)", 0xB001},
        {"plots=(s(cb=all) lls)", 0xB005},
        {"plots=hazard(cl) method=life", 0x40008008 | 0x8001},
        {"plots=(density(cl)) method=act", 0x20000010 | 0x8001},
        {"plots=(ls, lls) printphantom", 0x8107},
    };
    for (const auto& c : cases) {
        auto r =
            run(std::string("proc korvante data=lung ") + c.opts + "; time time*status(0); run;",
                [&](KORVCOM& q) { EXPECT_EQ(q.vdqgraph, c.bits) << c.opts; });
        EXPECT_TRUE(r.inspected) << c.opts << "\n" << r.log;
    }
}

TEST_F(Parse, SmoothedHazardAndAtRiskBlocks)
{
    auto r = run("proc korvante data=lung plots=(hazard(bw=(0 3 1 3) ngrid=40 kernel=biweight "
                 "method=local gridl=1 gridu=9 cl) s(atrisk(maxlen=5 outside(0.3) atrisktick)=0 to "
                 "20 by 5)); time time*status(0); run;",
                 [](KORVCOM& q) {
                     ASSERT_NE(q.kmhaz, nullptr);
                     EXPECT_EQ(q.kmhaz->ngrid, 40);
                     EXPECT_EQ(q.kmhaz->nmingrid, 51);
                     ASSERT_EQ(q.kmhaz->nbw, 2);
                     EXPECT_EQ(q.kmhaz->bwgrid[0], 1);
                     EXPECT_EQ(q.kmhaz->bwgrid[1], 3);
                     EXPECT_EQ(q.kmhaz->kernel, 2);
                     EXPECT_EQ(q.kmhaz->method, 1);
                     EXPECT_EQ(q.kmhaz->gridL, 1);
                     EXPECT_EQ(q.kmhaz->gridU, 9);
                     EXPECT_EQ(q.kmhaz->zcl, 1);
                     EXPECT_EQ(q.kmhaz->disp, 1);
                     ASSERT_NE(q.art, nullptr);
                     ASSERT_EQ(q.art->n, 5);
                     EXPECT_EQ(q.art->t[4], 20);
                     EXPECT_EQ(q.art->zexplicit, 1);
                     EXPECT_EQ(q.art->zticklabel, 1);
                     EXPECT_EQ(q.art->smaxlen, 5);
                     EXPECT_EQ(q.art->zoutside, 1);
                     EXPECT_DOUBLE_EQ(q.art->awt, 0.3);
                 });
    EXPECT_TRUE(r.inspected) << r.log;
    EXPECT_TRUE(has(r.log, "bandwidth of 0")) << r.log;
}

TEST_F(Parse, SingleBandwidthRange)
{
    auto r = run("proc korvante data=lung plots=hazard(bw=range(2,2)); time time*status(0); run;",
                 [](KORVCOM& q) {
                     ASSERT_NE(q.kmhaz, nullptr);
                     EXPECT_EQ(q.kmhaz->nbw, 1);
                     EXPECT_EQ(q.kmhaz->bwgrid, &q.kmhaz->bl);
                     EXPECT_EQ(q.kmhaz->bl, 2);
                 });
    EXPECT_TRUE(r.inspected) << r.log;
}

TEST_F(Parse, LinePrinterModeRequestBytes)
{
    auto r = run("proc korvante data=lung lineprinter plots=(s ls hazard) method=lt; time "
                 "time*status(0); run;",
                 [](KORVCOM& q) {
                     EXPECT_EQ(q.vdqgraph, 0);
                     EXPECT_EQ(q.zsurvival, 1);
                     EXPECT_EQ(q.zlsur, 1);
                     EXPECT_EQ(q.zhazard, 1);
                     EXPECT_EQ(q.zplot, 1);
                 });
    EXPECT_TRUE(r.inspected) << r.log;
}

TEST_F(Parse, IntervalsAndTimeList)
{
    auto r = run("proc korvante data=lung method=lt intervals=5 2 2 -1; time time*status(0); run;",
                 [](KORVCOM& q) {
                     ASSERT_EQ(q.ninter, 3);
                     EXPECT_EQ(q.interval[0], 0);
                     EXPECT_EQ(q.interval[1], 2);
                     EXPECT_EQ(q.interval[2], 5);
                     EXPECT_EQ(q.zinter, 1);
                 });
    EXPECT_TRUE(r.inspected) << r.log;
    r = run("proc korvante data=lung timelist=10 to 1 by -3, 0.5; time time*status(0); run;",
            [](KORVCOM& q) {
                ASSERT_EQ(q.ntime, 5);
                EXPECT_EQ(q.timelist[0], 0.5);
                EXPECT_EQ(q.timelist[1], 1);
                EXPECT_EQ(q.timelist[4], 10);
            });
    EXPECT_TRUE(r.inspected) << r.log;
}

TEST_F(Parse, SurvivalStatementOptions)
{
    auto r = run("proc korvante data=lung; time time*status(0); survival out=work.s1 alpha=2 "
                 "conftype=asinsqrt confband=ep bandmin=2 bandmax=9 stderr; run;",
                 [](KORVCOM& q) {
                     EXPECT_EQ(q.zSurvStmt, 1);
                     EXPECT_NE(q.fileouts, nullptr);
                     EXPECT_DOUBLE_EQ(q.alpha, 0.9999);
                     EXPECT_EQ(q.conftype, 2);
                     EXPECT_EQ(q.confband, 2);
                     EXPECT_EQ(q.bandmin, 2);
                     EXPECT_EQ(q.bandmax, 9);
                     EXPECT_EQ(q.zseout, 1);
                 });
    EXPECT_TRUE(r.inspected) << r.log;
    struct {
        const char* ct;
        int v;
    } ct[] = {{"linear", 1},  {"asinsqrt", 2}, {"loglog", 3},
              {"cloglog", 3}, {"log", 4},      {"logit", 5}};
    for (auto c : ct) {
        r = run(std::string("proc korvante data=lung citype=") + c.ct +
                    "; time time*status(0); run;",
                [&](KORVCOM& q) { EXPECT_EQ(q.conftype, c.v) << c.ct; });
        EXPECT_TRUE(r.inspected) << c.ct << r.log;
    }
}

TEST_F(Parse, Methods)
{
    struct {
        const char* m;
        int v;
    } ms[] = {{"km", 0},    {"pl", 0},        {"act", 1},     {"life", 1},
              {"lt", 1},    {"lifetable", 1}, {"breslow", 2}, {"nelson", 2},
              {"aalen", 2}, {"fleming", 3},   {"fh", 3}};
    for (auto m : ms) {
        auto r = run(std::string("proc korvante data=lung method=") + m.m +
                         "; time time*status(0); run;",
                     [&](KORVCOM& q) { EXPECT_EQ(q.method, m.v) << m.m; });
        EXPECT_TRUE(r.inspected) << m.m << r.log;
    }
}

TEST_F(Parse, StrataTestMask)
{
    struct Case {
        const char* strata;
        bool weight;
        int ktype;
    } cases[] = {
        {"strata sex", false, 0x218},
        {"strata sex", true, 0x18},
        {"strata sex / test=all", false, 0x1F8},
        {"strata sex / test=all", true, 0x38},
        {"strata sex / test=peto", true, 0x402},
        {"strata sex / test=fleming(0.5)", false, 0x100},
        {"strata sex / test=(logrank) notest", false, 0xA},
        {"strata sex / logrank wilcoxon tarone trend nodetail", false, 0x3D},
        {"strata sex / test=(tw modpeto lr) notests", false, 0x2A2},
        {"strata sex / weight=none", false, 0x2},
    };
    for (const auto& c : cases) {
        std::string prog = "proc korvante data=lung; time time*status(0); ";
        if (c.weight)
            prog += "weight wt; ";
        prog += std::string(c.strata) + "; run;";
        auto r = run(prog, [&](KORVCOM& q) { EXPECT_EQ(q.ktype, c.ktype) << c.strata; });
        EXPECT_TRUE(r.inspected) << c.strata << r.log;
    }
    auto r = run("proc korvante data=lung; time time*status(0); strata sex / test=fh(0.5, 2); run;",
                 [](KORVCOM& q) {
                     ASSERT_NE(q.fleming, nullptr);
                     EXPECT_EQ(q.fleming[0], 0.5);
                     EXPECT_EQ(q.fleming[1], 2);
                 });
    EXPECT_TRUE(r.inspected) << r.log;
    r = run("proc korvante data=lung; time time*status(0); strata sex / test=all; run;",
            [](KORVCOM& q) {
                ASSERT_NE(q.fleming, nullptr);
                EXPECT_EQ(q.fleming[0], 1.0);
                EXPECT_EQ(q.fleming[1], -1.0);
            });
    EXPECT_TRUE(r.inspected) << r.log;
}

TEST_F(Parse, StrataVariablesGroupAndOrder)
{
    auto r = run("proc korvante data=lung; time time*status(0); strata age(45 50) sex / "
                 "group=grp order=internal nolabel missing; run;",
                 [](KORVCOM& q) {
                     EXPECT_EQ(q.zstrata, 1);
                     EXPECT_EQ(q.nsvar, 2);
                     EXPECT_EQ(q.sorder, 1);
                     EXPECT_EQ(q.znolabel, 1);
                     EXPECT_EQ(q.zmissing, 1);
                     EXPECT_NE(q.grpvar, nullptr);
                     EXPECT_NE(q.sname, nullptr);
                     PROCSTR* ps = korv_procstr();
                     ASSERT_NE(ps, nullptr);
                     ASSERT_NE(ps->userptr, nullptr);
                     auto* md = static_cast<MYDATA*>(ps->userptr);
                     EXPECT_EQ(md->nsvar, 2);
                     EXPECT_EQ(md->grpvar, q.grpvar);
                 });
    EXPECT_TRUE(r.inspected) << r.log;
    // Only the first STRATA statement counts.
    r = run("proc korvante data=lung; time time*status(0); strata sex; strata age; run;",
            [](KORVCOM& q) { EXPECT_EQ(q.nsvar, 1); });
    EXPECT_TRUE(r.inspected) << r.log;
}

TEST_F(Parse, MultipleComparisons)
{
    struct Case {
        const char* opts;
        int method, type;
    } cases[] = {
        {"diff", -6, -1},
        {"diff=all", 0, -1},
        {"pdiff=control", 0, -2},
        {"diff=all adjust=tukey", 0, -1},
        {"diff=control adj=dunnett", 0, -2},
        {"adjust=bon", -1, -1},
        {"adjustment=sidak", -2, -1},
        {"diff=all adjust=smm", -3, -1},
        {"ratio=all adjust=scheffe", -4, -1},
        {"adjust=dunnett", 0, -2},
        {"diff adjust=gt2", -3, -1},
    };
    for (const auto& c : cases) {
        auto r = run(std::string("proc korvante data=lung; time time*status(0); strata sex / ") +
                         c.opts + "; run;",
                     [&](KORVCOM& q) {
                         ASSERT_NE(q.survdiff, nullptr) << c.opts;
                         EXPECT_EQ(q.survdiff->method, c.method) << c.opts;
                         EXPECT_EQ(q.survdiff->type, c.type) << c.opts;
                     });
        EXPECT_TRUE(r.inspected) << c.opts << r.log;
    }
    auto r = run("proc korvante data=lung; time time*status(0); strata sex / diff=all "
                 "adjust=simulate(acc=0.01 eps=0.2 timeinc=5 seed=42 nsamp=1000 alpha=0.1 report) "
                 "stepdown(type=logical(3) report maxtime=9 order=rows); run;",
                 [](KORVCOM& q) {
                     SURVDIFF* d = q.survdiff;
                     ASSERT_NE(d, nullptr);
                     EXPECT_EQ(d->method, -5);
                     EXPECT_EQ(d->acc, 0.01);
                     EXPECT_EQ(d->eps, 0.2);
                     EXPECT_EQ(d->tinc, 5);
                     EXPECT_EQ(d->seed, 42);
                     EXPECT_EQ(d->nsamp, 1000);
                     EXPECT_EQ(d->alpha, 0.1);
                     EXPECT_EQ(d->rep, 1);
                     EXPECT_EQ(d->step, 2);
                     EXPECT_EQ(d->steprep, 1);
                     EXPECT_EQ(d->stepcsize, 3);
                     EXPECT_EQ(d->stepmaxtime, 9);
                     EXPECT_EQ(d->steporder, 1);
                 });
    EXPECT_TRUE(r.inspected) << r.log;
    // A TIMEINC= beyond an int asks for the fewest progress notes, not for
    // the default of one every 30 seconds.
    r = run("proc korvante data=lung; time time*status(0); strata sex / diff=all "
            "adjust=simulate(timeinc=1e300); run;",
            [](KORVCOM& q) { EXPECT_EQ(q.survdiff->tinc, 2147483647); });
    EXPECT_TRUE(r.inspected) << r.log;
    r = run("proc korvante data=lung; time time*status(0); strata sex / adjust=sim; run;",
            [](KORVCOM& q) {
                SURVDIFF* d = q.survdiff;
                ASSERT_NE(d, nullptr);
                EXPECT_EQ(d->acc, 0.005);
                EXPECT_EQ(d->eps, 0.01);
                EXPECT_EQ(d->tinc, 30);
                EXPECT_EQ(d->stepmaxtime, 60);
                EXPECT_EQ(d->stepcsize, -1);
                EXPECT_TRUE(wzmis(d->alpha));
            });
    EXPECT_TRUE(r.inspected) << r.log;
}

TEST_F(Parse, ControlValues)
{
    auto r = run("proc korvante data=lung; time time*status(0); strata sex grp / "
                 "diff=control(' 1 ' 'b'); run;",
                 [](KORVCOM& q) {
                     ASSERT_NE(q.survdiff, nullptr);
                     EXPECT_EQ(q.survdiff->refcntl, -3);
                     ASSERT_EQ(q.survdiff->nref, 2);
                     EXPECT_EQ(std::string(q.survdiff->ref[0].s, q.survdiff->ref[0].l), "1");
                     EXPECT_EQ(std::string(q.survdiff->ref[1].s, q.survdiff->ref[1].l), "b");
                 });
    EXPECT_TRUE(r.inspected) << r.log;
    r = run("proc korvante data=lung; time time*status(0); strata sex / diff=control(last); run;",
            [](KORVCOM& q) {
                ASSERT_NE(q.survdiff, nullptr);
                EXPECT_EQ(q.survdiff->refcntl, -2);
            });
    EXPECT_TRUE(r.inspected) << r.log;
}

TEST_F(Parse, CompetingRisks)
{
    auto r = run("proc korvante data=lung plots=cif(cl test) cifvar error=delta rho$=1; "
                 "time time*status(0) / failcode=2 1 2; run;",
                 [](KORVCOM& q) {
                     ASSERT_NE(q.cmprisk, nullptr);
                     EXPECT_EQ(q.cmprisk->nFailcode, 2);
                     EXPECT_EQ(q.cmprisk->failcode[0], 1);
                     EXPECT_EQ(q.cmprisk->failcode[1], 2);
                     EXPECT_EQ(q.cmprisk->eventcode, 2);
                     EXPECT_EQ(q.cmprisk->plot, 0x7);
                     EXPECT_EQ(q.cmprisk->printVar, 1);
                     EXPECT_EQ(q.cmprisk->error, 1);
                     EXPECT_NE(q.cmprisk->nmStatus, nullptr);
                 });
    // RHO$= is written without the "$" by users: the "$" above is a syntax error.
    EXPECT_FALSE(r.inspected);
    r = run("proc korvante data=lung plots=cif(cl test) cifvar error=delta rho=1; "
            "time time*status(0) / eventcode; run;",
            [](KORVCOM& q) {
                ASSERT_NE(q.cmprisk, nullptr);
                EXPECT_EQ(q.cmprisk->nFailcode, 0);
                EXPECT_TRUE(wzmis(q.cmprisk->eventcode));
                EXPECT_EQ(q.cmprisk->rho, 1);
                EXPECT_EQ(q.cmprisk->plot, 0x7);
            });
    EXPECT_TRUE(r.inspected) << r.log;
}

// Settings the step accepts with a warning in the log, dropping or
// limiting them.
TEST_F(Parse, SettingsAdjustedWithAWarning)
{
    const std::string T = " time time*status(0);";
    struct Case {
        std::string program;
        std::vector<const char*> texts;
        std::function<void(KORVCOM&)> check;
    } cases[] = {
        {"plots=(none s(atrisk) hazard);" + T,
         {"PLOTS=NONE"},
         [](KORVCOM& q) {
             EXPECT_EQ(q.vdqgraph, 0);
             EXPECT_EQ(q.kmhaz, nullptr);
             EXPECT_EQ(q.art, nullptr);
         }},
        // A missing MAXTIME= on the SURVIVAL statement is ignored as on the
        // procedure statement; it never becomes the limit.
        {";" + T + " survival maxtime=.;",
         {"MAXTIME= has a missing value"},
         [](KORVCOM& q) {
             EXPECT_EQ(q.zmaxtime, 0);
             EXPECT_EQ(q.maxtime, DBL_MAX);
         }},
        {"alpha=1.5 alphaqt=0.00001 singular=-3 maxtime=50 timelim=observed;" + T,
         {"ALPHA= is larger than 0.9999", "ALPHAQT= is smaller than 0.0001"},
         [](KORVCOM& q) {
             EXPECT_DOUBLE_EQ(q.alpha, 0.9999);
             EXPECT_DOUBLE_EQ(q.qtalpha, 0.0001);
             EXPECT_DOUBLE_EQ(q.singular, 1e-12);
             EXPECT_EQ(q.zmaxtime, 1);
             EXPECT_EQ(q.maxtime, 50);
             EXPECT_EQ(q.restric, -2);
         }},
        {"method=lt timelist=1 2;" + T,
         {"TIMELIST= is ignored with the life-table"},
         [](KORVCOM& q) { EXPECT_EQ(q.ztimelst, 0); }},
        {"timelist=-3 -1;" + T,
         {"no time at or after 0"},
         [](KORVCOM& q) {
             EXPECT_EQ(q.ztimelst, 0);
             EXPECT_EQ(q.ntime, 0);
         }},
        // REDUCEOUT needs a time list and OUTSURV=, on either statement.
        {"reduceout;" + T + " survival reduceout;",
         {"REDUCEOUT is ignored"},
         [](KORVCOM& q) { EXPECT_EQ(q.zreduce, 0); }},
        {"method=lt confband;" + T,
         {"bands are not available"},
         [](KORVCOM& q) { EXPECT_EQ(q.confband, 0); }},
        {";" + T + " weight wt; test x1 x2;",
         {"TEST statement is ignored because a WEIGHT"},
         [](KORVCOM& q) {
             EXPECT_EQ(q.zwt, 1);
             EXPECT_EQ(q.ncvar, 0);
         }},
        {"plots=hazard;" + T + " test x1; strata / group=grp;",
         {"kernel-smoothed hazard is not available with GROUP=",
          "TEST statement is ignored because GROUP="},
         [](KORVCOM& q) {
             EXPECT_EQ(q.kmhaz, nullptr);
             EXPECT_EQ(q.ncvar, 0);
             EXPECT_EQ(q.zstrata, 0);
             EXPECT_NE(q.grpvar, nullptr);
         }},
        {"method=lt plots=s(atrisk);" + T,
         {"at-risk table (ATRISK) is not available"},
         [](KORVCOM& q) { EXPECT_EQ(q.art, nullptr); }},
        // HAZARD with the product-limit method in line-printer mode.
        {"lp plots=(s h);" + T,
         {"HAZARD plot needs the life-table method"},
         [](KORVCOM& q) {
             EXPECT_EQ(q.zhazard, 0);
             EXPECT_EQ(q.zsurvival, 1);
             EXPECT_EQ(q.zcensplot, 1);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        auto r = run("proc korvante data=lung " + c.program + " run;", c.check);
        EXPECT_TRUE(r.inspected) << r.log;
        for (const char* text : c.texts)
            EXPECT_TRUE(has(r.log, text)) << text << "\n" << r.log;
    }
}

// Requests that cannot act where they are given are named in the log (a
// warning for comparisons asked of the cumulative incidence, a note for the
// rest); the same options where they act give no such message.
TEST_F(Parse, RequestsWithoutEffectAreNamed)
{
    const std::string T = " time time*status(0);";
    const std::string CR = " time time*status(0) / failcode=1;";
    struct Case {
        std::string program;
        int rc;
        std::vector<const char*> texts;
        std::function<void(KORVCOM&)> check;
    } cases[] = {
        {"notable;" + CR + " strata sex / diff=all adjust=bon stepdown;",
         4,
         {"WARNING: The comparisons of strata (DIFF=, ADJUST=, STEPDOWN) compare survival "
          "curves and do not apply to the cumulative incidence"},
         [](KORVCOM& q) { EXPECT_EQ(q.survdiff, nullptr); }},
        {";" + CR + " strata sex / adjust=sidak;",
         4,
         {"comparisons of strata (ADJUST=)"},
         [](KORVCOM& q) { EXPECT_EQ(q.survdiff, nullptr); }},
        {";" + CR + " strata sex / trend test=(logrank peto) nodetail;",
         0,
         {"NOTE: TREND on the STRATA statement has no effect in a competing-risks",
          "NOTE: TEST= on the STRATA statement has no effect",
          "NOTE: NODETAIL on the STRATA statement has no effect"},
         nullptr},
        {"error=delta cifvar rho=0.5;" + T,
         0,
         {"NOTE: ERROR= has no effect: it applies only to the cumulative incidence",
          "NOTE: CIFVAR has no effect", "NOTE: RHO= has no effect"},
         nullptr},
        {";" + T + " strata sex / diff=all notest;",
         0,
         {"NOTE: The comparisons of strata (DIFF=) are not made: NOTEST leaves out the tests"},
         [](KORVCOM& q) { EXPECT_EQ(q.survdiff, nullptr); }},
        {";" + T + " strata sex / test=none adjust=bon;",
         0,
         {"(ADJUST=) are not made: TEST=NONE leaves out"},
         [](KORVCOM& q) { EXPECT_EQ(q.survdiff, nullptr); }},
        {";" + T + " strata sex / stepdown;",
         0,
         {"NOTE: STEPDOWN has no effect without DIFF or ADJUST="},
         nullptr},
        // RATIO forms ratios of the restricted means only: the survival
        // curves are still compared, by their differences, and it is said.
        {";" + T + " strata sex / ratio=all;",
         0,
         {"NOTE: RATIO on the STRATA statement has no effect on the comparisons of the "
          "survival curves"},
         [](KORVCOM& q) { EXPECT_NE(q.survdiff, nullptr); }},
        {";" + T + " strata sex / ratio notest;",
         0,
         {"NOTE: The comparisons of strata (RATIO) are not made: NOTEST"},
         [](KORVCOM& q) { EXPECT_EQ(q.survdiff, nullptr); }},
        {"lineprinter plots=(c);" + T,
         0,
         {"NOTE: PLOTS=(C) has no effect by itself"},
         [](KORVCOM& q) { EXPECT_EQ(q.zcensplot, 0); }},
        {"lineprinter plots=(c s) method=lt;" + T,
         0,
         {"NOTE: PLOTS=(C) has no effect with the life-table method"},
         [](KORVCOM& q) { EXPECT_EQ(q.zcensplot, 0); }},
        {"lineprinter plots=(c);" + CR,
         0,
         {"NOTE: PLOTS=(C) has no effect in a competing-risks analysis"},
         nullptr},
        {"plots=(c);" + T, 0, {"NOTE: PLOTS=(C) has no effect with statistical graphics"}, nullptr},
        // The life table's interval options, where they choose nothing.
        {"width=10 ninterval=5;" + T,
         0,
         {"NOTE: WIDTH= has no effect without the life-table method (METHOD=LT)",
          "NOTE: NINTERVAL= has no effect without the life-table method"},
         nullptr},
        {"method=lt intervals=5 10 width=10 ninterval=3;" + T,
         0,
         {"NOTE: WIDTH= has no effect: INTERVALS= gives the life table's intervals.",
          "NOTE: NINTERVAL= has no effect: INTERVALS= gives"},
         nullptr},
        {"method=lt width=10 ninterval=3;" + T,
         0,
         {"NOTE: NINTERVAL= has no effect: WIDTH= gives the life table's intervals."},
         nullptr},
        // Under competing risks they choose nothing either, and INTERVALS=
        // neither pushes TIMELIST= aside nor stands in for it under REDUCEOUT.
        {"intervals=5 10 timelist=3 6 width=10 ninterval=5;" + CR,
         0,
         {"NOTE: INTERVALS= has no effect in a competing-risks analysis",
          "NOTE: WIDTH= has no effect in a competing-risks analysis",
          "NOTE: NINTERVAL= has no effect in a competing-risks analysis"},
         [](KORVCOM& q) {
             EXPECT_EQ(q.ztimelst, 1);
             EXPECT_EQ(q.ntime, 2);
         }},
        {"intervals=5 10 reduceout outcif=c;" + CR,
         0,
         {"WARNING: REDUCEOUT is ignored because no TIMELIST= is given"},
         [](KORVCOM& q) { EXPECT_EQ(q.zreduce, 0); }},
        {"timelist=5 reduceout;" + CR,
         0,
         {"WARNING: REDUCEOUT is ignored because no OUTCIF= data set is requested."},
         [](KORVCOM& q) { EXPECT_EQ(q.zreduce, 0); }},
        {"timelist=5 intervals=5 reduceout outcif=c;" + CR,
         0,
         {},
         [](KORVCOM& q) { EXPECT_EQ(q.zreduce, 1); }},
        // The device-graphics options with statistical graphics or the line
        // printer, and the line-printer ones elsewhere.
        {"gout=work.g annotate=lung lannotate=lung description='d' eventsymbol=dot "
         "censoredsymbol=star censoredcolor=red plots=survival(name=km);" +
             T,
         0,
         {"NOTE: GOUT= has no effect with statistical graphics: it applies only to plots drawn "
          "as device graphics.",
          "NOTE: ANNOTATE= has no effect", "NOTE: LANNOTATE= has no effect",
          "NOTE: DESCRIPTION= has no effect", "NOTE: NAME= in PLOTS= has no effect",
          "NOTE: EVENTSYMBOL= has no effect", "NOTE: CENSOREDSYMBOL= has no effect",
          "NOTE: CENSOREDCOLOR= has no effect"},
         [](KORVCOM& q) { EXPECT_EQ(q.graphics, nullptr); }},
        // The censored plot's own NAME= counts as well.
        {"plots=(s c(name=cc));" + T, 0, {"NOTE: NAME= in PLOTS= has no effect"}, nullptr},
        {"lineprinter plots=s gout=g;" + T,
         0,
         {"NOTE: GOUT= has no effect with line-printer plots"},
         nullptr},
        {"formchar='|----|+|---' nocensplot;" + T,
         0,
         {"NOTE: FORMCHAR has no effect with statistical graphics: it applies only to "
          "line-printer plots.",
          "NOTE: NOCENSPLOT has no effect with statistical graphics"},
         nullptr},
        {"lineprinter formchar='|----|+|---';" + T,
         0,
         {"NOTE: FORMCHAR has no effect without a plot request"},
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        auto check = c.check ? c.check : [](KORVCOM&) {};
        auto r = run("proc korvante data=lung " + c.program + " run;", check);
        EXPECT_TRUE(r.inspected) << r.log;
        EXPECT_EQ(r.rc, c.rc) << r.log;
        for (const char* text : c.texts)
            EXPECT_TRUE(has(r.log, text)) << text << "\n" << r.log;
    }
    // Where they act, the same options say nothing of the kind.
    const std::string quiet[] = {
        "lineprinter plots=(c s);" + T,
        ";" + T + " strata sex / diff=all stepdown;",
        "error=delta cifvar rho=1;" + CR + " strata sex / test=none;",
        // The restricted means compare the strata with these options
        // themselves, on either road and without the tests.
        "rmst;" + CR + " strata sex / diff=all;",
        "rmtl;" + T + " strata sex / diff=all notest;",
        "rmst;" + T + " strata sex / ratio=all notest;",
        "method=lt width=10;" + T,
        "method=lt ninterval=4;" + T,
        "lineprinter plots=s formchar='|----|+|---' nocensplot;" + T,
    };
    for (const auto& program : quiet) {
        auto r = run("proc korvante data=lung " + program + " run;", [](KORVCOM&) {});
        EXPECT_TRUE(r.inspected) << r.log;
        EXPECT_FALSE(has(r.log, "no effect")) << program << "\n" << r.log;
        EXPECT_FALSE(has(r.log, "are not made")) << program << "\n" << r.log;
        EXPECT_FALSE(has(r.log, "do not apply")) << program << "\n" << r.log;
    }
    // Device graphics drawing a plot take the device-graphics options.
    auto r = run(
        "proc korvante data=lung gout=work.g description='d' plots=s(name=km);" + T + " run;",
        [](KORVCOM& q) { EXPECT_NE(q.graphics, nullptr); }, false);
    EXPECT_TRUE(r.inspected) << r.log;
    EXPECT_FALSE(has(r.log, "no effect")) << r.log;
}

// Requests that do nothing on the road they are given are named: the
// restricted means' STRATA=INDIVIDUAL where the strata are not the curves,
// comparisons of strata asked of the likelihood-ratio test alone, and a
// METHOD= other than the product-limit under competing risks (after which
// the checks speak of competing risks, not of a life table). PLOTS=NONE
// alone under competing risks is no conflict.
TEST_F(Parse, RequestsThatDoNothingOnTheirRoad)
{
    const std::string T = " time time*status(0);";
    const std::string CR = " time time*status(0) / failcode=1;";
    struct Case {
        std::string program;
        std::vector<const char*> texts;
        std::vector<const char*> absent;
        std::function<void(KORVCOM&)> check;
    } cases[] = {
        {"plots=rmst(strata=individual);" + T + " strata sex / group=grp;",
         {"NOTE: STRATA=INDIVIDUAL in PLOTS=RMST has no effect with GROUP=: the graph of each "
          "stratum overlays its GROUP= levels."},
         {},
         nullptr},
        {"plots=rmtl(strata=individual);" + T,
         {"NOTE: STRATA=INDIVIDUAL in PLOTS=RMTL has no effect without STRATA variables"},
         {},
         nullptr},
        {";" + T + " strata sex / test=lr diff=all;",
         {"NOTE: The comparisons of strata (DIFF=) are not made: they compare the scores of the "
          "log-rank, Wilcoxon, Tarone, Peto, modified Peto and Fleming-Harrington tests"},
         {},
         [](KORVCOM& q) { EXPECT_EQ(q.survdiff, nullptr); }},
        {"method=life timelist=3 6 timelim=5 nelson;" + CR,
         {"WARNING: METHOD=LIFE does not apply to a competing-risks analysis and is ignored",
          "NOTE: TIMELIM= has no effect with competing risks"},
         {"life-table method"},
         [](KORVCOM& q) {
             EXPECT_EQ(q.method, 0);
             EXPECT_EQ(q.ztimelst, 1);
         }},
        {"method=fh;" + CR, {"WARNING: METHOD=FH does not apply"}, {}, nullptr},
        {"plots=none;" + CR, {}, {"PLOTS=NONE"}, nullptr},
        {"plots=(none cif);" + CR,
         {"WARNING: PLOTS=NONE is given together with other plot requests"},
         {},
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        auto check = c.check ? c.check : [](KORVCOM&) {};
        auto r = run("proc korvante data=lung " + c.program + " run;", check);
        EXPECT_TRUE(r.inspected) << r.log;
        for (const char* text : c.texts)
            EXPECT_TRUE(has(r.log, text)) << text << "\n" << r.log;
        for (const char* text : c.absent)
            EXPECT_FALSE(has(r.log, text)) << text << "\n" << r.log;
    }
    // Where they act, nothing is said.
    const std::string quiet[] = {
        "plots=rmst(strata=individual);" + T + " strata sex;",
        ";" + T + " strata sex / test=(lr logrank) diff=all;",
        "rmst;" + T + " strata sex / test=lr diff=all;",
        "method=life;" + T,
    };
    for (const auto& program : quiet) {
        auto r = run("proc korvante data=lung " + program + " run;", [](KORVCOM&) {});
        EXPECT_TRUE(r.inspected) << r.log;
        EXPECT_FALSE(has(r.log, "no effect")) << program << "\n" << r.log;
        EXPECT_FALSE(has(r.log, "are not made")) << program << "\n" << r.log;
        EXPECT_FALSE(has(r.log, "does not apply")) << program << "\n" << r.log;
    }
}

// Options read for the step that choose nothing in it: each is named in a
// note, and the same options say nothing where they act.
TEST_F(Parse, OptionsThatChooseNothingAreNamed)
{
    const std::string T = " time time*status(0);";
    const std::string CR = " time time*status(0) / failcode=1;";
    const std::string S = T + " strata sex;";
    struct Case {
        std::string program;
        std::vector<const char*> texts;
    } cases[] = {
        // The estimates table's options where it is not printed or not made.
        {"notable atrisk noleft nelson timelim=10;" + T + " id age;",
         {"NOTE: ATRISK has no effect: it changes only the estimates tables, which NOTABLE "
          "leaves out.",
          "NOTE: NOLEFT has no effect", "NOTE: NELSON has no effect",
          "NOTE: The ID statement has no effect", "NOTE: TIMELIM= has no effect: it changes"}},
        {"noprint atrisk;" + T,
         {"NOTE: ATRISK has no effect: it changes only the estimates "
          "tables, which NOPRINT leaves out."}},
        // TIMELIST= rows are times, not observations: no ID columns.
        {"timelist=10 20;" + T + " id age;",
         {"NOTE: The ID statement has no effect with TIMELIST=: the estimates table shows the "
          "listed times, not the observations."}},
        {"method=lt atrisk noleft alphaqt=0.1;" + T + " id age;",
         {"NOTE: ATRISK has no effect with the life-table method: it changes only the table "
          "of the product-limit type estimates.",
          "NOTE: NOLEFT has no effect with the life-table method",
          "NOTE: The ID statement has no effect with the life-table method",
          "NOTE: ALPHAQT= has no effect with the life-table method: no quartiles"}},
        {"atrisk noleft nelson alphaqt=0.1 timelim=5 stderr sid=on bandmin=1 singular=1e-6;" + CR +
             " id age;",
         {"NOTE: ATRISK has no effect with competing risks",
          "NOTE: NELSON has no effect with "
          "competing risks",
          "NOTE: The ID statement has no effect with competing risks",
          "NOTE: ALPHAQT= has no effect with competing risks",
          "NOTE: TIMELIM= has no effect with competing risks: no mean survival time",
          "NOTE: STDERR has no effect with competing risks: it changes only the OUTSURV= data "
          "set.",
          "NOTE: SID=ON has no effect with competing risks", "NOTE: BANDMIN= has no effect",
          "NOTE: SINGULAR= has no effect: it applies to the rank tests"}},
        // OUTSURV= options without OUTSURV=, and the bands' range without a band.
        {"stderr sid=on confband=hw;" + S,
         {"NOTE: STDERR has no effect without OUTSURV=",
          "NOTE: SID=ON has no effect without "
          "OUTSURV=",
          "NOTE: CONFBAND= has no effect without OUTSURV="}},
        {"outsurv=work.o sid=on;" + T, {"NOTE: SID=ON has no effect without STRATA variables"}},
        {";" + T + " survival stderr bandmin=2 bandmax=20;",
         {"NOTE: STDERR has no effect without OUTSURV=",
          "NOTE: BANDMIN= has no effect: no confidence band is made",
          "NOTE: BANDMAX= has no effect"}},
        {"method=lt outsurv=work.o confband=ep bandmax=20;" + T,
         {"NOTE: BANDMAX= has no effect: no confidence band"}},
        // Plot options without a plot that takes them.
        {"plots=none printphantom maxtime=50;" + T,
         {"NOTE: PRINTPHANTOM has no effect: no plot is drawn whose data could be printed.",
          "NOTE: MAXTIME= has no effect: no plot is drawn whose time axis it could end."}},
        {"lineprinter plots=s printphantom;" + T,
         {"NOTE: PRINTPHANTOM has no effect: no plot is drawn whose data could be printed: "
          "line-printer plots have none."}},
        {"plots=hazard(method=local strata=panel);" + S,
         {"NOTE: METHOD=LOCAL in PLOTS=HAZARD has no effect",
          "NOTE: STRATA= in PLOTS=HAZARD has no effect"}},
        {"method=lt plots=hazard(ngrid=20 bw=3 kernel=u);" + T,
         {"NOTE: NGRID= in PLOTS=HAZARD has no effect with the life-table method",
          "NOTE: BW= in PLOTS=HAZARD has no effect",
          "NOTE: KERNEL= in PLOTS=HAZARD has no "
          "effect"}},
        {"lineprinter plots=s(strata=panel);" + S,
         {"WARNING: Plot sub-options, ALL and NONE are available only with output-layer "
          "graphics and are ignored: SURVIVAL(STRATA=)."}},
        // ALL draws nothing more than a line printer draws anyway: it is named.
        {"lineprinter plots=(all s(cl atrisk) hazard(strata=panel));" + S,
         {"are ignored: SURVIVAL(ATRISK CL), HAZARD(STRATA=), ALL."}},
        // The rank tests' options where NOTEST or TEST=NONE leaves them out.
        {"singular=1e-6;" + T + " strata sex / notest trend nodetail test=peto;",
         {"NOTE: TREND on the STRATA statement has no effect: NOTEST leaves out the tests "
          "across strata.",
          "NOTE: NODETAIL on the STRATA statement has no effect: NOTEST",
          "NOTE: TEST= on the STRATA statement has no effect: NOTEST",
          "NOTE: SINGULAR= has no effect: no rank test across strata and no TEST statement"}},
        {";" + T + " strata sex / test=none trend;",
         {"NOTE: TREND on the STRATA statement has no effect: TEST=NONE"}},
        // The rows of the tables not printed, with no data set cut down to
        // them, and the quartiles' level with neither their table nor a
        // survival graph.
        {"notable plots=none timelist=5 10 alphaqt=0.1;" + T,
         {"NOTE: TIMELIST= has no effect under NOTABLE: it chooses the rows of the estimates "
          "tables, which it leaves out, and of OUTSURV= only with REDUCEOUT.",
          "NOTE: ALPHAQT= has no effect under NOTABLE"}},
        {"noprint intervals=5 10 outsurv=work.o;" + T,
         {"NOTE: INTERVALS= has no effect under NOPRINT"}},
        {"notable plots=none timelist=5;" + CR,
         {"NOTE: TIMELIST= has no effect under NOTABLE: it chooses the rows of the cumulative "
          "incidence table"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        auto r = run("proc korvante data=lung " + c.program + " run;", [](KORVCOM&) {});
        EXPECT_TRUE(r.inspected) << r.log;
        EXPECT_LE(r.rc, 4) << r.log;
        for (const char* text : c.texts)
            EXPECT_TRUE(has(r.log, text)) << text << "\n" << r.log;
    }
    // Where they act, the same options say nothing of the kind.
    const std::string quiet[] = {
        "atrisk noleft nelson alphaqt=0.1 timelim=5;" + T + " id age;",
        "intervals=10 20;" + T + " id age;",
        "outsurv=work.o stderr sid=on confband=hw bandmin=1 bandmax=20;" + S,
        "plots=s(cb=hw) bandmin=1;" + T,
        "printphantom maxtime=20;" + T,
        "plots=rmst rmst printphantom maxtime=20;" + S,
        "lineprinter plots=s maxtime=20;" + T,
        "method=lt plots=hazard(cl) maxtime=20;" + T,
        "plots=hazard(method=global bw=3 ngrid=20);" + S,
        "singular=1e-6;" + S,
        "singular=1e-6;" + T + " test age;",
        "singular=1e-6;" + T + " strata sex / trend nodetail test=peto;",
        "rmst;" + T + " strata sex / notest diff=all;",
        "notable timelist=5 10 outsurv=work.o reduceout alphaqt=0.1;" + T,
        "noprint intervals=5 10 outsurv=work.o reduceout;" + T,
        "method=lt notable plots=none intervals=5 10;" + T,
        "notable plots=none timelist=5 outcif=work.c reduceout;" + CR,
    };
    for (const auto& program : quiet) {
        auto r = run("proc korvante data=lung " + program + " run;", [](KORVCOM&) {});
        EXPECT_TRUE(r.inspected) << r.log;
        EXPECT_FALSE(has(r.log, "no effect")) << program << "\n" << r.log;
    }
    // The hazard plot's STRATA= never arranges the survival plot.
    auto r = run("proc korvante data=lung plots=(s hazard(strata=panel));" + S + " run;",
                 [](KORVCOM& q) {
                     EXPECT_TRUE(q.vdqgraph & plot_bit::OVERLAY);
                     EXPECT_FALSE(q.vdqgraph & plot_bit::PANEL);
                 });
    EXPECT_TRUE(r.inspected) << r.log;
}

// Settings the step refuses: its return code and a part of the log.
TEST_F(Parse, RefusedSettings)
{
    const std::string T = " time time*status(0);";
    struct Case {
        std::string program;
        int rc;
        const char* text;
    } cases[] = {
        {"plots=hazard(bw=range(0,0));" + T, 2000, "a equal to b"},
        {"plots=hazard(bw=range(2,1));" + T, 2000, "not larger than b"},
        {"plots=hazard(bw=(0 0));" + T, 108, "no positive bandwidth"},
        {"plots=hazard(bw=(-1 2));" + T, 3000, "negative"},
        {"plots=hazard(ngrid=1);" + T, 2000, "NGRID= must be at least 2"},
        {"plots=hazard(nmingrid=0);" + T, 2000, "NMINGRID= must be at least 2"},
        {"plots=hazard(gridu=0);" + T, 2000, "GRIDU=0"},
        {"plots=hazard(gridl=5 gridu=5);" + T, 2000, "GRIDL= must be smaller"},
        {"maxtime=0;" + T, 2000, "MAXTIME= must be a positive"},
        {"width=-2;" + T, 2000, "WIDTH= must be"},
        {";" + T + " survival maxtime=-4;", 2000, ""},
        // No TIME statement (3000) and a bad WIDTH= (2000): codes are raised, never lowered.
        {"width=-1;", 3000, "TIME statement is required"},
        // No positive boundary at all: refused before the life table can use it.
        {"method=lt intervals=-1 0;" + T, 2000, ""},
        {"bandmin=5 bandmax=3;" + T, 2000, ""},
        {"method=breslow;" + T + " weight wt;", 2000, "not with the Breslow method"},
        {";" + T + " strata sex / diff=all adjust=dunnett;", 2000, "ADJUST=TUKEY needs DIFF=ALL"},
        {";" + T + " strata sex grp / group=age diff=control('1' 'b');", 2000,
         "quoted control values"},
        {"; time time*status(0) / failcode; weight wt;", 2000, ""},
        {"outsurv=work.o; time time*status(0) / failcode;", 2000, "OUTSURV= is not available"},
        {"outcif=work.o;" + T, 2000, ""},
        {"plots=s(atrisk(outside(-0.2)));" + T, 2000, "OUTSIDE share"},
        {"plots=s(atrisk(outside(1)));" + T, 2000, ""},
        {"plots=s(atrisk=5 -1);" + T, 2000, "ATRISK= time is negative"},
        {"bogus;" + T, 3000, "\"bogus\""},
        {"; time nosuchvar*status(0);", 3000, "nosuchvar not found"},
    };
    for (const auto& c : cases) {
        auto r = run("proc korvante data=lung " + c.program + " run;");
        EXPECT_EQ(r.rc, c.rc) << c.program << "\n" << r.log;
        EXPECT_TRUE(has(r.log, c.text)) << c.program << "\n" << r.log;
    }
    auto r = run("proc korvante;" + T + " run;");
    EXPECT_EQ(r.rc, 1008) << r.log;
    EXPECT_TRUE(has(r.log, "No input data set")) << r.log;
    EXPECT_EQ(run("proc korvante data=nosuch;" + T + " run;").rc, 1008);
}

TEST_F(Parse, ParsingTwiceOnOneBlockKeepsItsRoutinesAndStartsAfresh)
{
    static PARSETOKFN tok1, tok2;
    static void* track1;
    static int n1, n2;
    vyr_register_procedure("KORVANTE", []() -> int {
        xinit();
        PARSECONTROL* pc = korvg();
        xsparse(pc, nullptr);
        tok1 = pc->tokroutine;
        track1 = pc->track;
        n1 = 0;
        for (STMT* s = pc->head; s; s = s->next)
            ++n1;
        xsparse(pc, nullptr);
        tok2 = pc->tokroutine;
        n2 = 0;
        for (STMT* s = pc->head; s; s = s->next)
            ++n2;
        EXPECT_EQ(track1, pc->track);
        return 0;
    });
    auto r = run("proc korvante data=lung; time time*status(0); strata sex; run;");
    EXPECT_EQ(r.rc, 0) << r.log;
    EXPECT_NE(tok1, nullptr);
    EXPECT_EQ(tok1, tok2);
    // The procedure's, the TIME statement's and the STRATA statement's records.
    EXPECT_EQ(n1, 3);
    EXPECT_EQ(n2, 3);
}

TEST_F(Parse, OnlyTheFirstTimeStatementCounts)
{
    // The later TIME statements are ignored whole: their variables never mix
    // with the first one's, whichever has the censoring variable.
    const struct {
        const char* stmts;
        int timevar, censvar;
        int warnings;
    } cases[] = {
        {"time time*status(0); time age;", 1, 2, 1},
        {"time age; time time*status(0) / failcode=1;", 4, 0, 1},
        {"time time; time age*status(1); time x1;", 1, 0, 2},
        {"time time*status(0);", 1, 2, 0},
    };
    for (const auto& c : cases) {
        auto r = run(std::string("proc korvante data=lung; ") + c.stmts + " run;", [&](KORVCOM& q) {
            const STLIST* t = stmt_field(q.stmt, 10);
            const STLIST* e = stmt_field(q.stmt, 11);
            EXPECT_EQ(t ? t->ivals[0] : 0, c.timevar) << c.stmts;
            EXPECT_EQ(e ? e->ivals[0] : 0, c.censvar) << c.stmts;
            EXPECT_FALSE(q.cmprisk) << c.stmts;
        });
        ASSERT_TRUE(r.inspected) << c.stmts << "\n" << r.log;
        std::size_t n = 0;
        for (std::size_t at = 0;
             (at = r.log.find("Only the first TIME statement", at)) != std::string::npos; ++at)
            ++n;
        EXPECT_EQ(n, static_cast<std::size_t>(c.warnings)) << c.stmts << "\n" << r.log;
        EXPECT_EQ(r.rc, c.warnings ? 4 : 0) << c.stmts << "\n" << r.log;
    }
}

TEST_F(Parse, DeviceGraphicsSettings)
{
    auto r = run(
        "proc korvante data=lung plots=(s(cl name='surv1') c ls) gout=glib.mycat es=star "
        "description='Desc'; time time*status(0); run;",
        [](KORVCOM& q) {
            EXPECT_EQ(q.vdqgraph, 0);
            EXPECT_EQ(q.zsurvival, 1);
            EXPECT_EQ(q.zlsur, 1);
            EXPECT_EQ(q.zcensplot, 1);
            ASSERT_NE(q.graphics, nullptr);
            EXPECT_EQ(std::string(q.graphics->libname, 8), "glib    ");
            EXPECT_EQ(std::string(q.graphics->memname, 5), "mycat");
            EXPECT_EQ(std::string(q.graphics->desc.s, q.graphics->desc.l), "Desc");
            EXPECT_EQ(std::string(q.EvtSymbol, 8), "star    ");
            EXPECT_EQ(std::string(q.CenSymbol, 8), "CIRCLE  ");
            EXPECT_EQ(std::string(q.EntryNam[1].s, q.EntryNam[1].l), "surv1");
        },
        /*graphics=*/false);
    EXPECT_TRUE(r.inspected) << r.log;
    EXPECT_TRUE(has(r.log, "Plot sub-options")) << r.log;
    // With graphics off PLOTS=ALL draws no device plot either, and says so.
    r = run(
        "proc korvante data=lung plots=all; time time*status(0); run;", [](KORVCOM&) {},
        /*graphics=*/false);
    EXPECT_TRUE(has(r.log, "WARNING: Plot sub-options, ALL and NONE are available only with "
                           "output-layer graphics and are ignored: ALL."))
        << r.log;
}

// The survival graph's requests that choose nothing: the at-risk table's
// options without ATRISK, the tick options without ATRISK= times, TEST
// without a test to show, each named; where they act, nothing is said.
TEST_F(Parse, SurvivalGraphRequestsThatChooseNothingAreNamed)
{
    const std::string T = " time time*status(0);";
    struct Case {
        std::string program;
        std::vector<const char*> texts;
    } cases[] = {
        {"plots=s(maxlen=5 outside atrisktick);" + T + " strata sex;",
         {"NOTE: MAXLEN= in PLOTS=SURVIVAL has no effect without ATRISK",
          "NOTE: OUTSIDE in PLOTS=SURVIVAL has no effect without ATRISK",
          "NOTE: ATRISKTICK in PLOTS=SURVIVAL has no effect without ATRISK"}},
        {"plots=s(atrisk(atrisktick));" + T + " strata sex;",
         {"NOTE: ATRISKTICK in PLOTS=SURVIVAL has no effect without ATRISK= times"}},
        {"plots=s(atrisk atrisktickonly);" + T,
         {"NOTE: ATRISKTICKONLY in PLOTS=SURVIVAL has no effect without ATRISK= times"}},
        {"plots=s(test);" + T,
         {"NOTE: TEST in PLOTS=SURVIVAL has no effect: without STRATA variables or GROUP="}},
        {"plots=s(test);" + T + " strata sex / notest;",
         {"NOTE: TEST in PLOTS=SURVIVAL has no effect: NOTEST leaves out the tests"}},
        {"plots=s(test);" + T + " strata sex / group=age;",
         {"NOTE: TEST in PLOTS=SURVIVAL shows no p-value in the survival graphs of the GROUP= "
          "levels"}},
        // MAXLEN= bounds the labels of the at-risk rows: one row has none.
        {"plots=s(atrisk maxlen=5);" + T,
         {"NOTE: MAXLEN= in PLOTS=SURVIVAL has no effect without STRATA variables or GROUP=: "
          "the at-risk table's single row has no label to bound."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        auto r = run("proc korvante data=lung " + c.program + " run;", [](KORVCOM&) {});
        EXPECT_TRUE(r.inspected) << r.log;
        EXPECT_LE(r.rc, 4) << r.log;
        for (const char* text : c.texts)
            EXPECT_TRUE(has(r.log, text)) << text << "\n" << r.log;
    }
    const std::string quiet[] = {
        "plots=s(atrisk=0 100 200 atrisktick maxlen=5 outside);" + T + " strata sex;",
        "plots=s(test);" + T + " strata sex;",
        "plots=s(test strata=panel);" + T + " strata sex / group=age;",
        "plots=s(test strata=panel);" + T + " strata / group=age;",
        "plots=s(atrisk(maxlen=5));" + T + " strata / group=age;",
    };
    for (const auto& program : quiet) {
        auto r = run("proc korvante data=lung " + program + " run;", [](KORVCOM&) {});
        EXPECT_TRUE(r.inspected) << r.log;
        EXPECT_FALSE(has(r.log, "no effect")) << program << "\n" << r.log;
        EXPECT_FALSE(has(r.log, "no p-value")) << program << "\n" << r.log;
    }
}

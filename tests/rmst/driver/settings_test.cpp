// The restricted means and the settings around them: ALPHA= as the log
// states it, times near the largest double, a restriction time past the data
// named as given, and the cells' trees handed back at the end of every BY
// group.
#include "run.h"

#include <cstdio>

#include "support/reference.h"
#include "vyr_kernel.h"

using korvtest::Near;
using rmstest::num;

namespace
{

// The rows of table `name` in step `step`.
std::vector<const korvjson::Value*> rows(const rmstest::Run& r, const char* name, int step)
{
    return korvjson::rows(r.table(name, step));
}

// aml with every time multiplied by `factor`.
std::string scaledAml(double factor)
{
    std::ifstream in(korvtest::source_dir() + "/examples/aml.csv");
    std::string line, out;
    std::getline(in, line);
    out = line + "\n";
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        const size_t comma = line.find(',');
        char t[64];
        std::snprintf(t, sizeof t, "%.17g", std::stod(line.substr(0, comma)) * factor);
        out += t + line.substr(comma) + "\n";
    }
    return out;
}

} // namespace

TEST(Settings, LimitsUseTheAlphaTheLogNames)
{
    // ALPHA= outside 0.0001 .. 0.9999 is brought to the nearer end, as the
    // log says; the limits of the restricted means use that level, like
    // every other table of the step.
    const std::string body =
        " rmst(tau=40 cl) notable plots=none; time time*status(0); strata x; run;";
    const rmstest::Run r = rmstest::run("proc korvante data=aml alpha=0.00001" + body +
                                        "proc korvante data=aml alpha=0.0001" + body +
                                        "proc korvante data=aml alpha=2" + body +
                                        "proc korvante data=aml alpha=0.9999" + body);
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_TRUE(r.logHas("WARNING: ALPHA= is smaller than 0.0001; 0.0001 is used."));
    for (int step : {0, 2}) {
        SCOPED_TRACE(step);
        const auto given = rows(r, "RMST", step), used = rows(r, "RMST", step + 1);
        ASSERT_EQ(given.size(), 2u);
        ASSERT_EQ(used.size(), 2u);
        for (size_t i = 0; i < 2; ++i)
            for (const char* col : {"UpperLimit", "LowerLimit"})
                EXPECT_EQ(num(given[i], col), num(used[i], col)) << col;
    }
    // Maintained: 28.8977 + 3.8906 x 3.4676.
    EXPECT_TRUE(Near(num(rows(r, "RMST", 0)[0], "UpperLimit"), 42.3887, 1e-5));
}

TEST(Settings, TimesNearTheLargestDouble)
{
    // aml with its times multiplied by 1e306: the means, standard errors and
    // limits are the plain ones times 1e306, and the test and the comparison
    // give the same chi-squares. Their variances alone would overflow.
    const std::string body =
        " rmst(cl) rmtl(cl) notable plots=none; time time*status(0); strata x / diff=all; run;";
    const rmstest::Run r =
        rmstest::run("proc korvante data=aml" + body + "proc korvante data=huge" + body,
                     {{"huge.csv", scaledAml(1e306)}});
    ASSERT_EQ(r.status, 0) << r.log;
    for (const char* t : {"RMST", "RMTL"}) {
        SCOPED_TRACE(t);
        const auto plain = rows(r, t, 0), huge = rows(r, t, 1);
        ASSERT_EQ(plain.size(), 2u);
        ASSERT_EQ(huge.size(), 2u);
        for (size_t i = 0; i < 2; ++i)
            for (const char* col : {"Tau", "Estimate", "StdErr", "UpperLimit", "LowerLimit"})
                EXPECT_TRUE(Near(num(huge[i], col), num(plain[i], col) * 1e306, 1e-12)) << col;
        const std::string test = std::string(t) + "Test", diff = std::string(t) + "Diff";
        EXPECT_TRUE(Near(num(rows(r, test.c_str(), 1)[0], "ChiSq"),
                         num(rows(r, test.c_str(), 0)[0], "ChiSq"), 1e-12));
        EXPECT_EQ(num(rows(r, test.c_str(), 1)[0], "DF"), 1.0);
        for (const char* col : {"Estimate", "StdErr"})
            EXPECT_TRUE(Near(num(rows(r, diff.c_str(), 1)[0], col),
                             num(rows(r, diff.c_str(), 0)[0], col) * 1e306, 1e-12))
                << col;
        for (const char* col : {"ChiSq", "ProbChiSq"})
            EXPECT_TRUE(Near(num(rows(r, diff.c_str(), 1)[0], col),
                             num(rows(r, diff.c_str(), 0)[0], col), 1e-12))
                << col;
    }
    // An event at 1e308 and a censored record at 1.7e308: RMST 1.35e308 with
    // standard error 0.35e308 / sqrt(2). Its upper limit lies beyond the
    // largest double and is missing; the lower one is a number.
    const rmstest::Run edge =
        rmstest::run("proc korvante data=edge rmst(cl) notable plots=none; time t*s(0); run;",
                     {{"edge.csv", "t,s\n1e308,1\n1.7e308,0\n"}});
    ASSERT_EQ(edge.status, 0) << edge.log;
    const auto e = rows(edge, "RMST", 0);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_TRUE(Near(num(e[0], "Estimate"), 1.35e308, 1e-12));
    const double se = 0.35e308 / std::sqrt(2.0);
    EXPECT_TRUE(Near(num(e[0], "StdErr"), se, 1e-12));
    EXPECT_TRUE(std::isnan(num(e[0], "UpperLimit")));
    EXPECT_TRUE(Near(num(e[0], "LowerLimit"), 1.35e308 - 1.959963984540054 * se, 1e-12));
}

TEST(Settings, CurvesOfTimesNearTheLargestDoubleAreDrawn)
{
    // aml's times by 1e305 (up to 1.61e307) and by 1e306 (up to 1.61e308):
    // the plot data are finite, and every restricted-mean graph draws its
    // curves, overlaid and in panels, with and without limits.
    const std::string body = " notable; time time*status(0); strata x; run;";
    const rmstest::Run r = rmstest::run(
        "proc korvante data=e305 rmst(tau=4e306 cl) rmtl(tau=4e306) plots=(rmst(cl) rmtl)" + body +
            "proc korvante data=e305 rmst(tau=4e306) plots=rmst(strata=panel)" + body +
            "proc korvante data=e306 rmst(cl) plots=rmst(cl) notable; time time*status(0); run;",
        {{"e305.csv", scaledAml(1e305)}, {"e306.csv", scaledAml(1e306)}});
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_FALSE(r.logHas("is not drawn")) << r.log;
    const auto graphs = r.graphs();
    ASSERT_EQ(graphs.size(), 4u);
    for (const korvjson::Value* g : graphs) {
        EXPECT_FALSE(g->text("file").empty()) << g->text("template");
        EXPECT_EQ(g->get("drawn"), nullptr) << g->text("template");
    }
}

TEST(Settings, ARestrictionTimePastTheDataIsAnErrorOfTheOption)
{
    // The value is named as given, and the step ends because of that error,
    // not because its output could not be made.
    const rmstest::Run r =
        rmstest::run("proc korvante data=aml rmst(tau=161.0000001) notable plots=none; "
                     "time time*status(0); strata x; run;");
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.logHas("ERROR: The restriction time RMST(TAU=161.0000001) is larger than 45,"))
        << r.log;
    EXPECT_TRUE(r.logHas("because of the errors reported above")) << r.log;
    EXPECT_FALSE(r.logHas("could not be produced")) << r.log;
}

namespace
{

// The balanced-tree extension, counting the trees made and not yet
// destroyed.
QXEAVL_EXTENSION* g_real = nullptr;
QXStatus (*g_destroy)(void*) = nullptr;
long g_live = 0;

QXStatus countedDestroy(void* tree)
{
    --g_live;
    return g_destroy(tree);
}

QXEAVLh countedCreate(QXEAVL_EXTENSION*, const QXEAVLPARMS* parms, void* custom, void* context)
{
    QXEAVLh t = g_real->create(g_real, parms, custom, context);
    if (t) {
        ++g_live;
        g_destroy = t->hdr.destroy;
        t->hdr.destroy = countedDestroy;
    }
    return t;
}

QXStatus keep(void*)
{
    return QX_OK;
}

QXEAVL_EXTENSION g_counted = {{0x6C766165, keep}, countedCreate};

} // namespace

TEST(Settings, NoTreeOutlivesItsByGroup)
{
    // Three BY groups of two strata with two GROUP= levels each: every tree
    // the restricted means (and the levels of their variables) make is
    // destroyed when its BY group ends.
    rmstest::ready();
    QXHandle* h = vyr_kernel_handle();
    static const QXChar name[] = {'q', 'x', 'e', 'a', 'v', 'l'};
    g_real = static_cast<QXEAVL_EXTENSION*>(h->loadExtension(h, name, 6, 0));
    ASSERT_NE(g_real, nullptr);
    vyr_kernel_register_extension("qxeavl", [](QXHandle*) -> void* { return &g_counted; });
    g_live = 0;
    std::string data = "b,t,s,st,g\n";
    for (int b = 1; b <= 3; ++b)
        for (int i = 0; i < 16; ++i)
            data += std::to_string(b) + "," + std::to_string(1 + (i * 7) % 13) + "," +
                    std::to_string(i % 3 ? 1 : 0) + "," + std::to_string(i % 2) + "," +
                    (i % 4 < 2 ? "a" : "b") + "\n";
    const rmstest::Run r =
        rmstest::run("proc korvante data=bg rmst(tau=5) rmtl(tau=5) notable plots=rmst; by b; "
                     "time t*s(0); strata st / group=g; run;",
                     {{"bg.csv", data}});
    vyr_kernel_register_extension("qxeavl", [](QXHandle*) -> void* { return g_real; });
    EXPECT_EQ(g_live, 0);
    EXPECT_EQ(r.tables("RMST").size(), 3u) << r.log;
}

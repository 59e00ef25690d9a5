// The plots drawn from plot-point records written here by hand: the
// life-table plots (survival, -log, log(-log), hazard and density at the
// interval midpoints) as a golden listing, and a stratum whose record cannot
// be read back, which must never be drawn from another stratum's record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "common/stages.h"
#include "common/strata.h"
#include "host/output/layer.h"
#include "host/session/session_state.h"
#include "lpplot/lpplot.h"
#include "runtime/wobmth.h"
#include "support/golden.h"
#include "vyr_files.h"
#include "vyr_missing.h"
#include "vyr_output.h"

namespace
{

struct Capture {
    std::string listing, log;
    Capture() { vyr::print_capture(&listing, &log); }
    ~Capture() { vyr::print_capture(nullptr, nullptr); }
};

// A common block with an output manager, a plot-point file and `n` strata.
struct Fixture {
    KORVCOM q{};
    std::vector<STRATA> nodes;
    char timename[5] = "time";
    Fixture(int n) : nodes(static_cast<size_t>(n))
    {
        vdq::takeCurrentStep();
        xobop root = nullptr;
        xobinit(&root, 0);
        WOB_PARM_BLK_STR pb[5] = {wob_string(WOB_TAG_PACKAGE, "vdq", 3),
                                  wob_string(WOB_TAG_CLASS, "manager", 7),
                                  wob_object(WOB_TAG_OUT, nullptr), wob_int(WOB_TAG_MSGGROUP, 326),
                                  wob_flag(WOB_TAG_MANAGER_FLAG, 1)};
        wobmth(root, nullptr, WOB_SEL_CREATE, 5, pb);
        q.vdq = pb[2].value.o;
        XCREQUEST req;
        xcopen(&q.utid1, &req);
        std::memcpy(q.symbols, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 26);
        q.timename.s = timename;
        q.timename.l = 4;
        q.nstrata = n;
        q.zplot = 1;
        for (int i = 0; i < n; ++i)
            nodes[static_cast<size_t>(i)].left =
                i + 1 < n ? &nodes[static_cast<size_t>(i) + 1] : nullptr;
        q.strata = nodes.data();
    }
    ~Fixture()
    {
        if (q.grafindx)
            xmpoold(q.grafindx);
        xcclose(q.utid1);
        vdq::takeCurrentStep();
    }
    void write(int k, const std::vector<double>& record, int64_t rows)
    {
        STRATA& s = nodes[static_cast<size_t>(k)];
        xcnoted(q.utid1, &s.plotnote);
        xcwrite(q.utid1, record.data(), static_cast<long>(record.size() * sizeof(double)));
        s.fail = rows;
    }
    // The step's document so far as listing lines.
    std::string listing(int lineSize)
    {
        vdq::StepDoc doc = vdq::takeCurrentStep();
        std::string out;
        for (const std::string& l : vdq::renderListing(doc, lineSize, {}))
            out += l + "\n";
        return out;
    }
};

void compareGolden(const std::string& name, const std::string& actual)
{
    korvtest::compare_golden("tests/lpplot/golden/" + name + ".lst", actual);
}

} // namespace

TEST(Records, LifeTablePlots)
{
    vyr::option_set("LINESIZE", "72");
    vyr::option_set("PAGESIZE", "32");
    Fixture f(2);
    KORVCOM& q = f.q;
    q.method = 1;
    q.zsurvival = q.zlsur = q.zllsur = q.zhazard = q.zpdf = 1;
    static double interval[] = {0, 10, 20, 30, 40, 50};
    q.interval = interval;
    q.ninter = 6;
    q.pgtmax = (3 * 50.0 - 40) / 2; // past the last boundary by half an interval
    q.tmin = interval[1];
    q.smin = 0.2;
    q.smax = 0.9;
    q.hazmax = 0.04;
    q.pdfmax = 0.02;
    const double m = korv_missing();
    // Stratum A: six rows (as many as boundaries: the last has no midpoint);
    // stratum B: five. Blocks: survival, hazard, density.
    f.write(0,
            {1, .8, .6, .45, .3, .2, .022, .029, .029, .04, .04, m, .02, .02, .015, .015, .01, m},
            6);
    f.write(1, {1, .9, .7, .5, .4, .01, .025, .033, .022, .02, .01, .02, .02, .01, .008}, 5);
    korvplt(&q);
    ASSERT_NE(q.grafs, nullptr);
    ASSERT_NE(q.grafh, nullptr);
    ASSERT_NE(q.grafp, nullptr);
    korvfp(&q);
    compareGolden("life_table", f.listing(72));
    vyr::option_set("LINESIZE", "132");
    vyr::option_set("PAGESIZE", "60");
}

TEST(Records, AStratumThatCannotBeReadBackIsLeftOut)
{
    vyr::option_set("LINESIZE", "64");
    vyr::option_set("PAGESIZE", "24");
    Fixture f(3);
    KORVCOM& q = f.q;
    q.zsurvival = 1;
    q.maxnobs = 4;
    q.pgtmax = 20;
    q.smin = 0.25;
    q.smax = 0.75;
    q.tmin = 5;
    // A: its record. B: three rows but no record (its estimates were never
    // made). C: its record.
    f.write(0, {1, 0, .75, 5, .25, 15}, 3);
    f.nodes[1].fail = 3;
    f.write(2, {1, 0, .5, 10}, 2);
    korvplt(&q);
    Capture cap;
    korvfp(&q);
    const std::string text = f.listing(64);
    EXPECT_NE(cap.log.find("NOTE: The line-printer plots leave out the curve of stratum 2"),
              std::string::npos)
        << cap.log;
    EXPECT_NE(text.find('A'), std::string::npos);
    EXPECT_NE(text.find('C'), std::string::npos);
    // Nothing is drawn with B's letter (the plot's text has no other B).
    EXPECT_EQ(text.find('B'), std::string::npos) << text;
    vyr::option_set("LINESIZE", "132");
    vyr::option_set("PAGESIZE", "60");
}

TEST(Records, AShortReadSkipsTheCurve)
{
    // A record shorter than its rows (the read would run past the file's
    // end): that stratum's curve is left out with a warning, the others
    // are drawn and printed, and the step goes on.
    vyr::option_set("LINESIZE", "64");
    vyr::option_set("PAGESIZE", "24");
    Fixture f(2);
    KORVCOM& q = f.q;
    q.zsurvival = 1;
    q.maxnobs = 4;
    q.pgtmax = 20;
    q.smin = 0.5;
    f.write(0, {1, 0, .5, 10}, 2);
    f.write(1, {1, 0, .75, 5}, 2);
    f.nodes[1].fail = 4; // more rows than were written
    korvplt(&q);
    Capture cap;
    korvfp(&q);
    EXPECT_EQ(q.rc, 4);
    EXPECT_NE(cap.log.find("WARNING: The line-printer plots leave out the curve of stratum 2"),
              std::string::npos)
        << cap.log;
    const std::string text = f.listing(64);
    EXPECT_NE(text.find("Plot of the Survival Distribution Function"), std::string::npos);
    EXPECT_NE(text.find('A'), std::string::npos);
    EXPECT_EQ(text.find('B'), std::string::npos) << text;
    vyr::option_set("LINESIZE", "132");
    vyr::option_set("PAGESIZE", "60");
}

TEST(Records, AFrameThatCannotBeMadeIsLeftOutWithANote)
{
    // A time axis that no scale can span: the survival and -log frames,
    // which share it, are not made (a note names each plot), nothing is
    // drawn through them, and the step goes on.
    Fixture f(1);
    KORVCOM& q = f.q;
    q.zsurvival = q.zlsur = 1;
    q.maxnobs = 2;
    q.pgtmax = std::numeric_limits<double>::infinity();
    q.smin = 0.5;
    f.write(0, {1, 0, .5, 10}, 2);
    Capture cap;
    korvplt(&q);
    EXPECT_EQ(q.grafs, nullptr);
    EXPECT_EQ(q.grafl, nullptr);
    EXPECT_NE(cap.log.find("The line-printer plot SurvivalPlot is not printed"), std::string::npos)
        << cap.log;
    EXPECT_NE(cap.log.find("The line-printer plot LogSurvivalPlot is not printed"),
              std::string::npos);
    korvfp(&q);
    EXPECT_EQ(f.listing(64).find("Plot of the"), std::string::npos);
}

TEST(Records, FramesAreNotKeptPastThePlots)
{
    Fixture f(1);
    KORVCOM& q = f.q;
    q.zsurvival = q.zlsur = 1;
    q.maxnobs = 2;
    q.pgtmax = 20;
    q.smin = 0.5;
    f.write(0, {1, 0, .5, 10}, 2);
    korvplt(&q);
    EXPECT_NE(q.grafs, nullptr);
    EXPECT_NE(q.grafl, nullptr);
    korvfp(&q);
    EXPECT_EQ(q.grafs, nullptr);
    EXPECT_EQ(q.grafl, nullptr);
    EXPECT_EQ(q.grafc, nullptr);
}

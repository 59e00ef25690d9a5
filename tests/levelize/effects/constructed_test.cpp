// Constructed effect variables through the reader: multi-member columns,
// polynomial standardisation, lag designs and their failures, knot
// failures, and the clean-up and memory rules of the library.
#include "support/levelize_effects.h"

#include <cmath>

namespace
{

using eff::Builder;
using eff::Effect;
using korvtest::Near;
using korvtest::Table;

TEST(Constructed, MultiMemberColumnsAreTheDistinctLevelTexts)
{
    lev::Folder dir;
    const std::string path = dir.write("mm.csv", "m1,m2\nA,B\nB,C\nA,C\nB,B\n");
    for (bool stdize : {false, true}) {
        std::vector<std::vector<double>> rows;
        std::vector<std::string> names;
        step_probe::run([&] {
            Builder b(path);
            b.add_class("m1");
            b.add_class("m2");
            ZLEVEFTVAR v{};
            v.type = ZLEV_EFT_MULTIMEMBER;
            v.stdize = stdize;
            b.add_eft(v, {}, {0, 1}, "mm");
            b.add_effect(Effect{{}, {}, {}, {0}});
            ASSERT_EQ(b.init(), 0);
            const ZLEVEFTVAR& e = b.eft[0];
            for (int k = 0; k < e.nparms; ++k)
                names.emplace_back(e.levName[k], e.levNameLen[k]);
            EXPECT_EQ(e.mmMap[0][0], 0); // m1 = A
            EXPECT_EQ(e.mmMap[1][0], 1); // m2 = B
            rows = b.rows();
        });
        EXPECT_EQ(names, (std::vector<std::string>{"A", "B", "C"}));
        const double h = stdize ? 0.5 : 1.0;
        EXPECT_EQ(rows, (std::vector<std::vector<double>>{
                            {h, h, 0}, {0, h, h}, {h, 0, h}, {0, 2 * h, 0}}))
            << stdize;
    }
}

TEST(Constructed, PolynomialsAreStandardisedByTheDataOrTheirRange)
{
    Table d("tests/reference/levelize_data.csv");
    double sum = 0, ss = 0, lo = 1e300, hi = -1e300;
    for (size_t i = 0; i < d.size(); ++i) {
        const double x = d.num(i, "x");
        sum += x;
        ss += x * x;
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    const double n = static_cast<double>(d.size());
    const double mean = sum / n, sd = std::sqrt((ss - sum * sum / n) / (n - 1));
    for (int policy : {1, 3}) {
        double center[1] = {0}, scale[1] = {0}, work[1];
        std::vector<std::vector<double>> rows;
        step_probe::run([&] {
            Builder b;
            b.add_cont("x");
            double xsum[1], xss[1];
            int list[1] = {0};
            ZLEVSTANDARDIZE st{xsum, xss, 0, 0, 0, 1, list};
            b.m.stddize = &st;
            eff::PolyLayout lay(1, 2);
            ZLEVPOLYCONTROL pc{};
            lay.fill(pc, 1, 2);
            pc.stdPolicy = static_cast<char>(policy);
            pc.standardizeFlag = 3;
            pc.center = center;
            pc.scale = scale;
            pc.stdWork = work;
            ZLEVEFTVAR v{};
            v.type = ZLEV_EFT_POLY;
            v.polyControlPtr = &pc;
            v.nparms = 2;
            b.add_eft(v, {0}, {}, "px");
            b.add_effect(Effect{{}, {}, {}, {0}});
            ASSERT_EQ(b.init(), 0);
            EXPECT_EQ(st.nObs, n);
            rows = b.rows();
        });
        const double c = policy == 1 ? mean : (lo + hi) / 2;
        const double s = policy == 1 ? sd : (hi - lo) / 2;
        EXPECT_TRUE(Near(center[0], c, 1e-13)) << policy;
        EXPECT_TRUE(Near(scale[0], s, 1e-12)) << policy;
        for (size_t i = 0; i < d.size(); ++i) {
            const double z = (d.num(i, "x") - c) / s;
            EXPECT_TRUE(Near(rows[i][0], z, 1e-12, 1e-13)) << policy << " " << i;
            EXPECT_TRUE(Near(rows[i][1], z * z, 1e-12, 1e-13)) << policy << " " << i;
        }
    }
}

TEST(Constructed, FailuresOfConstructedEffectsStopTheSetUp)
{
    lev::Folder dir;
    const std::string one = dir.write("one.csv", "x\n4\n");
    const std::string flat = dir.write("flat.csv", "x\n4\n4\n4\n");
    double below[1] = {-5};
    const struct {
        const char* label;
        std::string path;
        int kind; // 0 polynomial by the data, 1 by the range, 2 listed knot
        int rc;
        const char* message;
    } cases[] = {
        {"one observation to scale", one, 0, ZLEV_RC_EFFECTS,
         "ERROR: The polynomial effect px cannot be scaled"},
        {"a constant: scale 1", flat, 1, 0, nullptr},
        {"a knot below the data", one, 2, ZLEV_RC_EFFECTS,
         "ERROR: The knots listed for the spline of x lie outside the range of its data."},
    };
    for (const auto& c : cases) {
        int rc = -1;
        double scale[1] = {0}, center[1] = {0};
        const auto run = step_probe::run([&] {
            Builder b(c.path);
            b.add_cont("x");
            double xsum[1], xss[1];
            int list[1] = {0};
            ZLEVSTANDARDIZE st{xsum, xss, 0, 0, 0, 1, list};
            eff::PolyLayout lay(1, 1);
            ZLEVPOLYCONTROL pc{};
            lay.fill(pc, 1, 1);
            pc.center = center;
            pc.scale = scale;
            ZLEVSPLINECONTROL sp = eff::spline(1, 1, ZLEV_KNOT_LIST);
            sp.knotValList = below;
            ZLEVEFTVAR v{};
            if (c.kind < 2) {
                b.m.stddize = &st;
                pc.stdPolicy = c.kind == 0 ? 1 : 3;
                v.type = ZLEV_EFT_POLY;
                v.polyControlPtr = &pc;
                v.nparms = 1;
            } else {
                v.type = ZLEV_EFT_SPLINE;
                v.splineControlPtr = &sp;
            }
            b.add_eft(v, {0}, {}, "px");
            b.add_effect(Effect{{}, {}, {}, {0}});
            rc = b.init();
        });
        EXPECT_EQ(rc, c.rc) << c.label << run.log;
        if (c.message)
            EXPECT_NE(run.log.find(c.message), std::string::npos) << c.label << run.log;
        else {
            EXPECT_EQ(scale[0], 1.0) << c.label;
            EXPECT_EQ(center[0], 4.0) << c.label;
        }
    }
}

// Lags: subjects are the combinations of s and t, or the levels of u that
// number them; periods p; the lagged variable v.
const char* kLagData = "s,t,p,v,u\n"
                       "1,1,1,A,1\n1,1,2,B,1\n1,1,3,A,1\n"
                       "2,1,1,B,2\n2,1,3,B,2\n"
                       "3,2,2,A,3\n3,2,3,B,3\n"
                       "1,2,1,B,4\n1,2,2,A,4\n";

struct LagCase {
    const char* label;
    std::vector<int> within; // classification variables that identify a subject
    std::string extra;       // observations added to the data
    unsigned char opt0;
    int rc;
    const char* message;
};

TEST(Lags, EachObservationSeesItsSubjectsEarlierLevel)
{
    const LagCase cases[] = {
        {"one within variable", {4}, "", 0, 0, nullptr},
        {"two within variables", {0, 1}, "", 0, 0, nullptr},
        {"one subject twice in a period",
         {4},
         "1,1,2,A,1\n",
         0,
         ZLEV_RC_EFFECTS,
         "ERROR: Two observations of one subject fall in the same period of the lag effect lagv."},
        {"designs left to the caller", {4}, "", ZLEV_OPT0_ACROSSBY, 0, nullptr},
    };
    for (const LagCase& c : cases) {
        lev::Folder dir;
        const std::string path = dir.write("lag.csv", kLagData + c.extra);
        int rc = -1, subjects = -1;
        char ready = -1;
        std::vector<std::vector<double>> rows;
        const auto run = step_probe::run([&] {
            Builder b(path);
            b.add_class("s");
            b.add_class("t");
            b.add_class("p");
            b.add_class("v");
            b.add_class("u");
            ZLEVLAGCONTROL L{};
            L.nLag = 1;
            L.nWithin = static_cast<int>(c.within.size());
            std::vector<int> within = c.within;
            L.withinVar = within.data();
            L.periodVar = 2;
            L.lagVar = 3;
            ZLEVEFTVAR v{};
            v.type = ZLEV_EFT_LAG;
            v.lagControlPtr = &L;
            b.add_eft(v, {}, {3}, "lagv");
            ZLEVEFTVAR* list[1] = {&b.eft[0]};
            b.m.nLagEftToLevelize = 1;
            b.m.lagEftToLevelize = list;
            b.add_effect(Effect{{}, {}, {}, {0}});
            rc = b.init(c.opt0);
            subjects = L.subjects.nSubjects;
            ready = b.m.lagsReadyFlag;
            if (rc == 0 && ready)
                rows = b.rows();
        });
        EXPECT_EQ(rc, c.rc) << c.label << run.log;
        if (c.message) {
            EXPECT_NE(run.log.find(c.message), std::string::npos) << c.label << run.log;
            continue;
        }
        if (c.opt0 & ZLEV_OPT0_ACROSSBY) {
            EXPECT_EQ(ready, 0) << c.label;
            continue;
        }
        // The subjects: the four levels of u, or the four combinations of s
        // and t present.
        EXPECT_EQ(subjects, 4) << c.label;
        // Columns: the lagged level one period earlier (A, B); none in the
        // first period; missing when the subject has no observation then.
        const double M = eff::missing();
        const std::vector<std::vector<double>> want = {{0, 0}, {1, 0}, {0, 1}, {0, 0}, {M, M},
                                                       {M, M}, {1, 0}, {0, 0}, {0, 1}};
        ASSERT_EQ(rows.size(), want.size()) << c.label;
        for (size_t i = 0; i < rows.size(); ++i)
            for (size_t k = 0; k < 2; ++k) {
                if (wzmis(want[i][k]))
                    EXPECT_TRUE(wzmis(rows[i][k])) << c.label << " obs " << i;
                else
                    EXPECT_EQ(rows[i][k], want[i][k]) << c.label << " obs " << i << " col " << k;
            }
    }
}

} // namespace

namespace
{

int g_starts = 0;
int start_once(ZLEVREGI* r)
{
    // The levelization reads the group; reading it again fails.
    return ++g_starts >= 2 ? 1 : GetInit(r);
}

TEST(Reading, CombinationsThatCannotBeReadReachTheCaller)
{
    int rc = -1, status = 0;
    const auto run = step_probe::run([&] {
        eff::Builder b;
        b.add_class("a");
        b.add_class("b");
        b.add_effect(eff::Effect{{0, 1}});
        b.r.GetInit = start_once;
        g_starts = 0;
        rc = b.init();
        status = b.m.status;
    });
    EXPECT_EQ(rc, ZLEV_RC_READ);
    EXPECT_GE(status, 1012);
    EXPECT_NE(run.log.find("ERROR: The observations could not be read"), std::string::npos)
        << run.log;
}

} // namespace

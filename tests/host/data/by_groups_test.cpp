// BY groups and observation reading through fetch vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "data_test_util.h"
#include "host/session/session_state.h"
#include "runtime/missing.h"
#include "vyr_data.h"

using vyrtest::TempDir;

namespace
{

// Reads every BY group: for each group the values of `var` (raw doubles).
std::vector<std::vector<double>> groups(DSHANDLE* ds, int var)
{
    std::vector<std::vector<double>> out;
    XVHANDLE* h = xvgeti(ds, 1);
    double v = 0;
    xvgetd(h, var, 0, &v, 8, 8);
    xvgete(h);
    while (xbynext(ds)) {
        out.emplace_back();
        xbyrwnd(ds, 66);
        XO_PARMS parms;
        parms.ds = ds;
        int rc;
        while ((rc = xybyget(&parms)) == 0) {
            xyvget(h, nullptr);
            out.back().push_back(v);
        }
        EXPECT_EQ(rc, XO_EOG);
        EXPECT_EQ(xofprc(&parms, rc, 1), 0); // end of group is no error
    }
    return out;
}

TEST(ByGroups, AscendingDescendingAndNotsorted)
{
    TempDir dir;
    std::string p = dir.write("b.csv", "g,s,x\n.,b,0\n1,b,1\n1,b,2\n1,a,3\n2,a,4\n2,a,5\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    // No BY statement: one group of everything.
    auto all = groups(ds, 3);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].size(), 6u);

    // BY g (missing first) then DESCENDING s.
    int vars[2] = {1, 2};
    unsigned char desc[2] = {0, 1};
    ASSERT_EQ(xbyset(ds, vars, desc, 2, false), 0);
    auto g = groups(ds, 3);
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(g[0], (std::vector<double>{0}));
    EXPECT_EQ(g[1], (std::vector<double>{1, 2}));
    EXPECT_EQ(g[2], (std::vector<double>{3}));
    EXPECT_EQ(g[3], (std::vector<double>{4, 5}));

    // NOTSORTED: every change of value starts a group, any order.
    int sv = 2;
    ASSERT_EQ(xbyset(ds, &sv, nullptr, 1, true), 0);
    auto n = groups(ds, 3);
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0].size(), 3u);
    vyr_data_step_end(true);
}

TEST(ByGroups, OutOfOrderDataEndsTheStepNamingTheObservation)
{
    TempDir dir;
    std::string p = dir.write("o.csv", "g,x\n1,1\n3,2\n2,3\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    int v = 1;
    ASSERT_EQ(xbyset(ds, &v, nullptr, 1, false), 0);
    EXPECT_EQ(xbynext(ds), 1);
    EXPECT_EQ(xbynext(ds), 1); // the group g=3 is fine
    testing::internal::CaptureStderr();
    int code = 0;
    try {
        xbynext(ds);
    } catch (const vyr::StepExit& e) {
        code = e.code;
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 1008);
    EXPECT_NE(log.find("observation 3"), std::string::npos) << log;
    EXPECT_NE(log.find("g = 2"), std::string::npos) << log;
    EXPECT_NE(log.find("ascending"), std::string::npos) << log;
    EXPECT_EQ(xbynext(ds), 0);

    // The same data read DESCENDING fails at observation 2.
    unsigned char d = 1;
    ASSERT_EQ(xbyset(ds, &v, &d, 1, false), 0);
    EXPECT_EQ(xbynext(ds), 1);
    testing::internal::CaptureStderr();
    code = 0;
    try {
        xbynext(ds);
    } catch (const vyr::StepExit& e) {
        code = e.code;
    }
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 1008);
    EXPECT_NE(log.find("observation 2"), std::string::npos) << log;
    vyr_data_step_end(true);
}

TEST(ByGroups, FetchModesAddressesAndOffsets)
{
    TempDir dir;
    std::string p = dir.write("f.csv", "name,t\nAl,1.5\nBeatrice,.B\n");
    dir.write("f.attr", "variable t format=6.2\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    XVHANDLE* h = nullptr;
    ASSERT_EQ(xvgeti(ds, 4, &h), 0);
    double t = 0;
    char rec[32];
    ASSERT_EQ(xvgetd(h, 2, 0, &t, 8, 8), 0);       // raw to an address
    ASSERT_EQ(xvgetd(h, 2, 0, nullptr, 8, 4), 0);  // formatted at record offset 0
    ASSERT_EQ(xvgetd(h, 1, 8, nullptr, 10, 8), 0); // raw text, padded to 10
    ASSERT_EQ(xvgetd(h, 1, 18, nullptr, 4, 4), 0); // formatted text cut to 4
    EXPECT_LT(xvgetd(h, 9, 0, nullptr, 8, 8), 0);  // no such variable
    xvgete(h);
    ASSERT_EQ(xbynext(ds), 1);
    EXPECT_LT(xyvget(h, rec), 0); // nothing positioned yet
    ASSERT_EQ(xybyget(ds), 0);
    ASSERT_EQ(xyvget(h, rec), 0);
    EXPECT_DOUBLE_EQ(t, 1.5);
    EXPECT_EQ(std::string(rec, 8), "  1.50  "); // the format's width, blank padded
    EXPECT_EQ(std::string(rec + 8, 10), "Al        ");
    EXPECT_EQ(std::string(rec + 18, 4), "Al  ");
    ASSERT_EQ(xybyget(ds), 0);
    ASSERT_EQ(xyvget(h, rec), 0);
    EXPECT_EQ(korv_missing_byte5(t), 0xFC);
    EXPECT_EQ(std::string(rec, 8), "     B  ");
    EXPECT_EQ(std::string(rec + 8, 10), "Beatrice  ");
    EXPECT_EQ(std::string(rec + 18, 4), "Beat");
    // Single-value reads of the same observation.
    double one = 0;
    char txt[6];
    EXPECT_EQ(xvget1f(ds, 2, &one), 0);
    EXPECT_EQ(korv_missing_byte5(one), 0xFC);
    EXPECT_EQ(xvget1v(ds, 2, 3, txt), 0);
    EXPECT_EQ(std::string(txt, 3), "B  ");
    EXPECT_EQ(xvget1c(ds, 1, 6, txt), 0);
    EXPECT_EQ(std::string(txt, 6), "Beatri");
    EXPECT_LT(xvget1c(ds, 2, 6, txt), 0); // not a character variable
    EXPECT_EQ(xybyget(ds), XO_EOG);
    // Rewinding rereads the group from its first observation.
    xbyrwnd(ds, 66);
    ASSERT_EQ(xybyget(ds), 0);
    xyvget(h, rec);
    EXPECT_DOUBLE_EQ(t, 1.5);
    vyr_data_step_end(true);
}

TEST(ByGroups, EmptyDataSetHasOneEmptyGroupWithoutBy)
{
    TempDir dir;
    std::string p = dir.write("e.csv", "a,b\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(vyr_dsnobs(ds), 0);
    EXPECT_EQ(xbynext(ds), 1);
    EXPECT_EQ(xybyget(ds), XO_EOG);
    EXPECT_EQ(xbynext(ds), 0);
    vyr_data_step_end(true);
}

} // namespace

// BY groups and observation reading through fetch vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "data_test_util.h"
#include "host/session/session_state.h"
#include "runtime/missing.h"
#include "vyr_data.h"
#include "vyr_pool.h"

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
    // The group g=3 ends at observation 3, which comes before it: the error
    // is reported before that group is handed out.
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

    // The same data read DESCENDING fail at observation 2, before the
    // first group.
    unsigned char d = 1;
    ASSERT_EQ(xbyset(ds, &v, &d, 1, false), 0);
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
    // The formatted single-value read gives a fetch vector's text: the
    // number right-justified, squeezed into the three characters.
    EXPECT_EQ(xvget1v(ds, 2, 3, txt), 0);
    EXPECT_EQ(std::string(txt, 3), "  B");
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

namespace
{

// Block reads deliver what one-observation reads deliver, group by group,
// in blocks that straddle nothing: a block ends with its group.
TEST(BlockReads, BlocksEqualObservationReadsInEachGroup)
{
    TempDir dir;
    std::string p = dir.write("k.csv", "g,t,name\n1,2.5,ann\n1,.C,bob  \n1,4,ann\n2,5,cy\n"
                                       "2,6,\"a very long name\"\n3,7,bob\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    int g = 1;
    ASSERT_EQ(xbyset(ds, &g, nullptr, 1, false), 0);
    double t[2];
    char text[2 * 5];
    int32_t code[2];
    XV_COLBUF bufs[2];
    bufs[0].varnum = 2;
    bufs[0].num = t;
    bufs[1].varnum = 3;
    bufs[1].text = text;
    bufs[1].width = 5;
    bufs[1].code = code;
    XV_DICT dict;
    ASSERT_EQ(xvcodes(ds, 3, &dict), 0);
    ASSERT_EQ(dict.count, 4); // ann, bob (trailing blanks ignored), cy, the long one
    EXPECT_EQ(std::string(dict.text[1], static_cast<size_t>(dict.length[1])), "bob");
    EXPECT_EQ(std::string(dict.text[3], static_cast<size_t>(dict.length[3])), "a very long name");
    std::vector<std::string> seen;
    while (xbynext(ds)) {
        std::string group;
        long n = 0;
        int rc;
        while ((rc = xyvblock(ds, bufs, 2, 2, &n)) == 0) {
            ASSERT_GE(n, 1);
            ASSERT_LE(n, 2);
            for (long i = 0; i < n; ++i) {
                char num[32];
                if (wzmis(t[i]))
                    std::snprintf(num, sizeof num, ".%c", 'A' + (0xFD - korv_missing_byte5(t[i])));
                else
                    std::snprintf(num, sizeof num, "%g", t[i]);
                group += std::string(num) + "|" + std::string(text + 5 * i, 5) + "|" +
                         std::to_string(code[i]) + " ";
            }
            // The last row delivered is the current observation.
            double cur = 0;
            ASSERT_EQ(xvget1f(ds, 2, &cur), 0);
            EXPECT_EQ(std::memcmp(&cur, &t[n - 1], sizeof cur), 0);
        }
        EXPECT_EQ(rc, XO_EOG);
        EXPECT_EQ(n, 0);
        seen.push_back(group);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"2.5|ann  |0 .C|bob  |1 4|ann  |0 ",
                                              "5|cy   |2 6|a ver|3 ", "7|bob  |1 "}));
    // Buffers that do not fit their variables are refused, nothing read.
    long n = 7;
    XV_COLBUF wrong;
    wrong.varnum = 3;
    wrong.num = t;
    EXPECT_LT(xyvblock(ds, &wrong, 1, 2, &n), 0);
    EXPECT_EQ(n, 0);
    wrong.varnum = 9;
    EXPECT_LT(xyvblock(ds, &wrong, 1, 2, &n), 0);
    EXPECT_LT(xvcodes(ds, 2, &dict), 0); // numeric
    vyr_data_step_end(true);
}

// A BY group's columns read in place start at the group's first row, each
// as its type gives it, without moving the cursor.
TEST(BlockReads, GroupColumnsInPlace)
{
    TempDir dir;
    std::string p = dir.write("k.csv", "g,t,name\n1,2.5,ann\n1,3,bob\n2,5,cy\n2,6,ann\n2,7,bob\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    XV_GROUPCOL cols[2];
    cols[0].varnum = 2;
    cols[1].varnum = 3;
    long n = 0;
    // Before the first group: the whole data set.
    ASSERT_EQ(xyvgroupcols(ds, cols, 2, &n), 0);
    EXPECT_EQ(n, 5);
    int g = 1;
    ASSERT_EQ(xbyset(ds, &g, nullptr, 1, false), 0);
    ASSERT_EQ(xbynext(ds), 1);
    ASSERT_EQ(xbynext(ds), 1);
    double first = 0;
    ASSERT_EQ(xvget1f(ds, 2, &first), 0);
    ASSERT_EQ(xyvgroupcols(ds, cols, 2, &n), 0);
    ASSERT_EQ(n, 3);
    ASSERT_NE(cols[0].num, nullptr);
    EXPECT_EQ(cols[0].code, nullptr);
    EXPECT_EQ(std::vector<double>(cols[0].num, cols[0].num + 3), (std::vector<double>{5, 6, 7}));
    ASSERT_NE(cols[1].code, nullptr);
    EXPECT_EQ(cols[1].num, nullptr);
    EXPECT_EQ(std::vector<int32_t>(cols[1].code, cols[1].code + 3),
              (std::vector<int32_t>{2, 0, 1}));
    double still = 0;
    ASSERT_EQ(xvget1f(ds, 2, &still), 0);
    EXPECT_EQ(still, first);
    // A bad variable number is refused, nothing set.
    cols[0].varnum = 9;
    EXPECT_LT(xyvgroupcols(ds, cols, 2, &n), 0);
    EXPECT_EQ(n, 0);
}

// Codes made in parallel number the values in order of first appearance,
// the same with any number of threads.
TEST(BlockReads, CodesFollowFirstAppearanceWithAnyThreadCount)
{
    TempDir dir;
    std::mt19937 rng(5);
    const int n = 300000;
    std::string s = "v\n";
    std::vector<std::string> values;
    for (int i = 0; i < n; ++i) {
        // A few common levels, and rarer ones that first appear late.
        std::string v =
            rng() % 50 == 0 ? "rare" + std::to_string(i / 1000) : "lvl" + std::to_string(rng() % 5);
        values.push_back(v);
        s += v + "\n";
    }
    std::string p = dir.write("c.csv", s);
    const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
    std::vector<std::vector<int32_t>> runs;
    for (unsigned cpus : {1u, cores}) {
        vyr::pool_configure(true, cpus);
        DSHANDLE* ds = vyrtest::open_input(p);
        ASSERT_NE(ds, nullptr);
        XV_DICT dict;
        ASSERT_EQ(xvcodes(ds, 1, &dict), 0);
        std::vector<int32_t> codes(static_cast<size_t>(n));
        XV_COLBUF b;
        b.varnum = 1;
        b.code = codes.data();
        long got = 0;
        ASSERT_EQ(xyvblock(ds, &b, 1, n, &got), 0);
        ASSERT_EQ(got, n);
        // Value k first appears before value k + 1, and every code names its value.
        std::vector<char> met(static_cast<size_t>(dict.count), 0);
        int32_t next = 0;
        for (int i = 0; i < n; ++i) {
            const int32_t c = codes[static_cast<size_t>(i)];
            ASSERT_EQ(std::string(dict.text[c], static_cast<size_t>(dict.length[c])),
                      values[static_cast<size_t>(i)]);
            if (!met[static_cast<size_t>(c)]) {
                ASSERT_EQ(c, next++);
                met[static_cast<size_t>(c)] = 1;
            }
        }
        EXPECT_EQ(next, dict.count);
        runs.push_back(codes);
        vyr_data_step_end(true);
    }
    vyr::pool_configure(true, cores);
    EXPECT_TRUE(runs[0] == runs[1]);
}

} // namespace

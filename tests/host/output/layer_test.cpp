// The output layer driven as the procedure drives it: manager, tables with
// bound columns, rows copied when put, outputs through templates, groups,
// headings, notes, matrices and graphs; then the document they make.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/output/layer.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "support/wob_setup.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_output.h"

namespace
{

struct Fields {
    double iovar[4] = {};
    double stratumno = 0;
    char str10[10] = {' '};
    char name[8] = {};
};

class Layer : public ::testing::Test
{
  protected:
    xobop mgr = nullptr;
    void SetUp() override
    {
        vdq::takeCurrentStep();
        mgr = wobtest::manager();
    }
    void TearDown() override { vdq::takeCurrentStep(); }

    xobop table(const char* name, const char* label) { return wobtest::table(mgr, name, label); }
    void num(xobop t, const char* name, const double* addr) { wobtest::column(t, 5, name, addr); }
    void chr(xobop t, const char* name, const char* addr, int len)
    {
        wobtest::column(t, 6, name, addr, len);
    }
    int put(xobop t) { return wobmth(t, nullptr, WOB_SEL_PUT_ROW, 0, nullptr); }
    xobop output(xobop t, const char* templ) { return wobtest::output(mgr, t, templ); }
    void finish(xobop t, xobop out) { wobtest::finish(mgr, t, out); }
};

TEST_F(Layer, PutRowCopiesTheBoundValuesAtOnceWhateverTheOrderOfOutput)
{
    Fields f;
    xobop t = table("Counts", "Counts per stratum");
    num(t, "Stratum", &f.stratumno);
    chr(t, "Name", f.name, 8);
    num(t, "Total", &f.iovar[0]);
    ASSERT_EQ(wobmth(t, nullptr, WOB_SEL_END_COLUMNS, 0, nullptr), 0);

    // Two rows before the output is opened, one after.
    f.stratumno = 1;
    std::memcpy(f.name, "alpha   ", 8);
    f.iovar[0] = 10;
    ASSERT_EQ(put(t), 0);
    f.stratumno = 2;
    std::memcpy(f.name, "beta    ", 8);
    f.iovar[0] = korv_missing();
    ASSERT_EQ(put(t), 0);
    xobop out = output(t, "stat.korvante.censoredsummary"); // lookup ignores case
    f.stratumno = 3;
    std::memcpy(f.name, "gamma\0\0\0", 8);
    f.iovar[0] = 30;
    ASSERT_EQ(put(t), 0);
    f.iovar[0] = 99; // changed after the row was put: not seen
    finish(t, out);

    vdq::StepDoc doc = vdq::takeCurrentStep();
    ASSERT_EQ(doc.items.size(), 1u);
    const vdq::Node& n = *doc.items[0];
    EXPECT_EQ(n.kind, vdq::Node::Table);
    EXPECT_EQ(n.name, "Counts");
    ASSERT_EQ(n.rows.size(), 3u);
    EXPECT_EQ(n.rows[0][1].s, "alpha");
    EXPECT_EQ(n.rows[1][1].s, "beta");
    EXPECT_TRUE(wzmis(n.rows[1][2].d));
    EXPECT_EQ(n.rows[2][0].d, 3);
    EXPECT_EQ(n.rows[2][1].s, "gamma");
    EXPECT_EQ(n.rows[2][2].d, 30);
    EXPECT_FALSE(n.hidden);
}

TEST_F(Layer, ATableIsReusedAcrossOutputsAndEachGetsItsOwnRows)
{
    Fields f;
    xobop t = table("T", "T");
    num(t, "X", &f.iovar[0]);
    for (int g = 1; g <= 2; ++g) {
        xobop out = output(t, "Stat.Korvante.Means");
        for (int r = 0; r < g; ++r) {
            f.iovar[0] = g * 10 + r;
            put(t);
        }
        finish(t, out);
    }
    vdq::StepDoc doc = vdq::takeCurrentStep();
    ASSERT_EQ(doc.items.size(), 2u);
    EXPECT_EQ(doc.items[0]->rows.size(), 1u);
    ASSERT_EQ(doc.items[1]->rows.size(), 2u);
    EXPECT_EQ(doc.items[1]->rows[1][0].d, 21);
    EXPECT_NE(doc.items[0]->path, doc.items[1]->path);
}

TEST_F(Layer, FailureCodesForWrongCallsAndTheToleratedEmptyRow)
{
    xobop t = table("Empty", "Empty");
    // No columns: the row is refused with the tolerated code.
    int rc = put(t);
    EXPECT_EQ(rc, WOB_RC_TOLERATED);
    zvdqexit(rc); // returns
    // Selectors a class does not have.
    EXPECT_EQ(wobmth(t, nullptr, WOB_SEL_GRAPH_OUTPUT, 0, nullptr), WOB_RC_NO_METHOD);
    EXPECT_EQ(wobmth(mgr, nullptr, WOB_SEL_PUT_ROW, 0, nullptr), WOB_RC_NO_METHOD);
    EXPECT_EQ(wobmth(mgr, nullptr, 12345, 0, nullptr), WOB_RC_NO_METHOD);
    // Selectors only named by the procedure are accepted (through the base class).
    EXPECT_EQ(wobmth(mgr, nullptr, WOB_SEL_PAGE, 0, nullptr), 0);
    EXPECT_EQ(wobmth(mgr, nullptr, WOB_SEL_DESTINATION, 0, nullptr), 0);
    EXPECT_EQ(wobmth(t, nullptr, WOB_SEL_PAGE, 0, nullptr), 0);
    // A column without a type, a character column without a length.
    WOB_PARM_BLK_STR pb[2] = {wob_key(WOB_TAG_NAME, vdqtxt("A", 1)),
                              wob_address(WOB_TAG_ADDRESS, nullptr)};
    EXPECT_EQ(wobmth(t, nullptr, WOB_SEL_ADD_COLUMN, 2, pb), WOB_RC_BAD_PARM);
    WOB_PARM_BLK_STR pc[2] = {wob_int(WOB_TAG_COLTYPE, 6), wob_key(WOB_TAG_NAME, vdqtxt("A", 1))};
    EXPECT_EQ(wobmth(t, nullptr, WOB_SEL_ADD_COLUMN, 2, pc), WOB_RC_BAD_PARM);
    // Template output without a data object.
    WOB_PARM_BLK_STR po[1] = {wob_object(0, nullptr)};
    EXPECT_EQ(wobmth(mgr, nullptr, WOB_SEL_TEMPLATE_OUTPUT, 1, po), WOB_RC_BAD_PARM);
}

TEST_F(Layer, DescriptorColumnsAreCopiedDuringTheCall)
{
    Fields f;
    xobop t = table("T", "T");
    NAMESTR nm;
    xvnamei(&nm);
    nm.ntype = 2;
    nm.nlng = 8;
    nm.name_p = "Group1";
    nm.namelen = 6;
    nm.label_p = "Treatment";
    nm.nlablen = 9;
    WOB_PARM_BLK_STR pb[3] = {wob_int(WOB_TAG_COLTYPE, 6), wob_namestr(&nm),
                              wob_address(WOB_TAG_ADDRESS, f.name)};
    ASSERT_EQ(wobmth(t, nullptr, WOB_SEL_ADD_COLUMN, 3, pb), 0);
    nm.name_p = "Group2"; // reused by the caller at once
    nm.label_p = "Other";
    nm.nlablen = 5;
    vdq::DataInfo info;
    ASSERT_TRUE(vdq::dataInfo(t, info));
    ASSERT_EQ(info.columns.size(), 1u);
    EXPECT_EQ(info.columns[0].name, "Group1");
    EXPECT_EQ(info.columns[0].label, "Treatment");
    EXPECT_EQ(info.columns[0].length, 8);
    EXPECT_FALSE(info.columns[0].numeric);
    EXPECT_EQ(info.addresses[0], f.name);
}

TEST_F(Layer, GroupsNestAndEndThroughTheFastPathSlot)
{
    auto group = [&](const char* name) {
        WOB_PARM_BLK_STR pb[4] = {wob_key(WOB_TAG_NAME, vdqtxt(name, -1)),
                                  wob_key(WOB_TAG_LABEL, vdqtxt(name, -1)),
                                  wob_flag(WOB_TAG_FLAG435, 0), wob_object(WOB_TAG_OUT, nullptr)};
        EXPECT_EQ(wobmth(mgr, nullptr, WOB_SEL_MAKE_GROUP, 4, pb), 0);
        return pb[3].value.o;
    };
    auto note = [&](const char* text) {
        WOB_PARM_BLK_STR pb[3] = {wob_int(WOB_TAG_371, 2), wob_key(WOB_TAG_NAME, vdqtxt("N", 1)),
                                  wob_key(WOB_TAG_TEXT, vdqtxt(text, -1))};
        EXPECT_EQ(wobmth(mgr, nullptr, WOB_SEL_NOTE, 3, pb), 0);
    };
    xobop outer = group("RankTests");
    xobop inner = group("Wilcoxon");
    note("inside both");
    EXPECT_EQ(wobzoom(inner, 3, 4, 0, nullptr), 0);
    note("inside the outer one");
    EXPECT_EQ(wobzoom(outer, 3, 4, 0, nullptr), 0);
    note("at the top");
    // The manager's end call ends the task's output.
    EXPECT_EQ(wobzoom(mgr, 3, 4, 0, nullptr), 0);

    vdq::StepDoc doc = vdq::takeCurrentStep();
    ASSERT_EQ(doc.items.size(), 2u);
    const vdq::Node& o = *doc.items[0];
    EXPECT_EQ(o.name, "RankTests");
    ASSERT_EQ(o.items.size(), 2u);
    EXPECT_EQ(o.items[0]->name, "Wilcoxon");
    ASSERT_EQ(o.items[0]->items.size(), 1u);
    EXPECT_EQ(o.items[0]->items[0]->text, "inside both");
    EXPECT_EQ(o.items[1]->text, "inside the outer one");
    EXPECT_EQ(doc.items[1]->text, "at the top");
}

// Every output of a step has its own path: a repeated name takes the first
// free suffix (#2, #3, ...), even where a name that looks like a suffixed
// one was taken first; BY groups number themselves and keep their values.
TEST_F(Layer, OutputPathsStayUniqueAndByGroupsKeepTheirValues)
{
    Fields f;
    auto make = [&](const char* name) {
        xobop t = table(name, name);
        num(t, "X", &f.iovar[0]);
        finish(t, output(t, "Stat.Korvante.Means"));
    };
    make("T");
    make("T#3");
    for (int i = 0; i < 2000; ++i)
        make("T");
    VyrByValue by[2] = {{"sex", true, 2.0, ""}, {"site", false, 0.0, "North"}};
    vyr_output_bygroup_values("sex=2 site=North", by, 2);
    make("T");
    vyr_output_bygroup("second");
    make("T");
    vdq::StepDoc doc = vdq::takeCurrentStep();
    ASSERT_EQ(doc.items.size(), 2004u);
    EXPECT_EQ(doc.items[0]->path, "T");
    EXPECT_EQ(doc.items[1]->path, "T#3");
    EXPECT_EQ(doc.items[2]->path, "T#2");
    EXPECT_EQ(doc.items[3]->path, "T#4");
    EXPECT_EQ(doc.items[2001]->path, "T#2002");
    const vdq::Node& g1 = *doc.items[2002];
    EXPECT_EQ(g1.name, "ByGroup1");
    EXPECT_EQ(g1.items[0]->path, "ByGroup1.T");
    ASSERT_EQ(g1.byValues.size(), 2u);
    EXPECT_TRUE(g1.byValues[0].numeric);
    EXPECT_EQ(g1.byValues[0].d, 2.0);
    EXPECT_EQ(g1.byValues[1].text, "North");
    EXPECT_EQ(doc.items[2003]->name, "ByGroup2");
    std::string json = vdq::renderJson({doc});
    EXPECT_NE(json.find("\"label\":\"sex=2 site=North\",\"by\":{\"sex\":2,\"site\":\"North\"}"),
              std::string::npos);
}

TEST_F(Layer, HeadingIgnoresTheUnsetFirstBlockAndAppliesUntilCleared)
{
    Fields f;
    WOB_PARM_BLK_STR set[5];
    std::memset(&set[0], 0xAB, sizeof set[0]); // left unset by the caller
    set[1] = wob_int(WOB_TAG_HEAD440, 3);
    set[2] = wob_int(WOB_TAG_148, -1);
    set[3] = wob_char(WOB_TAG_JUST, 'c');
    set[4] = wob_key(WOB_TAG_TEXT, vdqtxt("Sex=F", -1));
    ASSERT_EQ(wobmth(mgr, nullptr, WOB_SEL_HEADING, 5, set), 0);
    xobop t = table("T", "T");
    num(t, "X", &f.iovar[0]);
    finish(t, output(t, "Stat.Korvante.Means"));
    WOB_PARM_BLK_STR clr[2];
    std::memset(&clr[0], 0, sizeof clr[0]);
    clr[0].tag = WOB_TAG_TEXT; // even a plausible-looking first block is skipped
    clr[1] = wob_int(WOB_TAG_HEAD442, 2);
    ASSERT_EQ(wobmth(mgr, nullptr, WOB_SEL_HEADING, 2, clr), 0);
    finish(t, output(t, "Stat.Korvante.Means"));
    vdq::StepDoc doc = vdq::takeCurrentStep();
    ASSERT_EQ(doc.items.size(), 2u);
    EXPECT_EQ(doc.items[0]->heading, "Sex=F");
    EXPECT_EQ(doc.items[1]->heading, "");
}

TEST_F(Layer, MatrixFromAPackedTriangleAndAGraphWithItsDataPaths)
{
    double v[] = {1, 2, 3, 4, 5, 6}; // 3 x 3 lower triangle
    struct {
        int64_t k, l;
        const char* s;
    } labels[3] = {{0, 1, "A"}, {0, 2, "Bb"}, {0, 3, "Ccc"}};
    WOB_PARM_BLK_STR m[8] = {wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.HomCov", -1)),
                             wob_key(WOB_TAG_NAME, vdqtxt("LogrankHomCov", -1)),
                             wob_key(WOB_TAG_LABEL, vdqtxt("Covariance", -1)),
                             wob_address(WOB_TAG_MATRIX, v),
                             wob_int(WOB_TAG_NROWS, 3),
                             wob_int(WOB_TAG_NCOLS, 3),
                             wob_string(WOB_TAG_LAYOUT, "sf", 2),
                             wob_address(WOB_TAG_ROWLABELS, labels)};
    m[3].type = WOB_T_PMATRIX;
    m[7].type = WOB_T_NAMESTR;
    ASSERT_EQ(wobmth(mgr, nullptr, WOB_SEL_MATRIX_OUTPUT, 8, m), 0);

    Fields f;
    xobop t = table("Phantom", "Plot data");
    num(t, "Time", &f.iovar[0]);
    xobskey path = nullptr;
    WOB_PARM_BLK_STR o[5] = {wob_object(0, nullptr), wob_object(0, t),
                             wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Phantom", -1)),
                             wob_flag(WOB_TAG_HIDDEN, 1), wob_keyaddr(WOB_TAG_PATH, &path)};
    ASSERT_EQ(wobmth(mgr, nullptr, WOB_SEL_TEMPLATE_OUTPUT, 5, o), 0);
    ASSERT_NE(path, nullptr);
    finish(t, o[0].value.o);

    WOB_PARM_BLK_STR dyn[2] = {wob_key(WOB_TAG_DYNNAME, vdqtxt("confLimits", -1)),
                               wob_double(WOB_TAG_DYNVALUE, 95)};
    WOB_PARM_BLK_STR g[7] = {
        wob_key(WOB_TAG_NAME, vdqtxt("HazardPlot", -1)),
        wob_key(WOB_TAG_LABEL, vdqtxt("Hazard", -1)),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.SmoothedHazard", -1)),
        wob_keyarray(WOB_TAG_PATHS, &path, 1),
        wob_key(WOB_TAG_DYNNAME, vdqtxt("NStrata", -1)),
        wob_int(WOB_TAG_DYNVALUE, 1),
        wob_list(WOB_TAG_DYNLIST, dyn, 2)};
    ASSERT_EQ(wobmth(mgr, nullptr, WOB_SEL_GRAPH_OUTPUT, 7, g), 0);

    vdq::StepDoc doc = vdq::takeCurrentStep();
    ASSERT_EQ(doc.items.size(), 3u);
    const vdq::Node& mx = *doc.items[0];
    ASSERT_EQ(mx.values.size(), 9u);
    EXPECT_EQ(mx.values[0 * 3 + 2], 4); // (0,2) = packed (2,0)
    EXPECT_EQ(mx.values[2 * 3 + 1], 5);
    EXPECT_EQ(mx.values[1 * 3 + 1], 3);
    ASSERT_EQ(mx.rowLabels.size(), 3u);
    EXPECT_EQ(mx.rowLabels[1], "Bb");
    EXPECT_TRUE(doc.items[1]->hidden);
    const vdq::Node& gr = *doc.items[2];
    ASSERT_EQ(gr.data.size(), 1u);
    EXPECT_EQ(gr.data[0], doc.items[1]->path);
    ASSERT_EQ(gr.dynamics.size(), 2u);
    EXPECT_EQ(gr.dynamics[1].name, "confLimits");
    EXPECT_EQ(gr.dynamics[1].d, 95);
}

} // namespace

namespace
{

// A graph across many strata names one dynamic per stratum: past the first
// few, the names are found through an index. Either way the dynamics keep
// the order of their first setting, and a name set again takes the later
// value in its first place.
TEST_F(Layer, GraphDynamicsKeepFirstOrderAndLaterValuesAcrossManyNames)
{
    for (int count : {5, 200}) {
        mgr = wobtest::manager();
        std::vector<std::string> names;
        std::vector<WOB_PARM_BLK_STR> dyn;
        for (int k = 0; k < count; ++k)
            names.push_back("Stratum" + std::to_string(k));
        for (int k = 0; k < count; ++k) {
            dyn.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxt(names[k].c_str(), -1)));
            dyn.push_back(wob_int(WOB_TAG_DYNVALUE, k));
        }
        // Set again: the first and the last name, in a nested list.
        WOB_PARM_BLK_STR again[4] = {wob_key(WOB_TAG_DYNNAME, vdqtxt(names.front().c_str(), -1)),
                                     wob_int(WOB_TAG_DYNVALUE, -1),
                                     wob_key(WOB_TAG_DYNNAME, vdqtxt(names.back().c_str(), -1)),
                                     wob_int(WOB_TAG_DYNVALUE, -2)};
        dyn.push_back(wob_list(WOB_TAG_DYNLIST, again, 4));
        WOB_PARM_BLK_STR g[4] = {
            wob_key(WOB_TAG_NAME, vdqtxt("SurvivalPlot", -1)),
            wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.ProductLimitSurvival", -1)),
            wob_keyarray(WOB_TAG_PATHS, nullptr, 0),
            wob_list(WOB_TAG_DYNLIST, dyn.data(), static_cast<int64_t>(dyn.size()))};
        ASSERT_EQ(wobmth(mgr, nullptr, WOB_SEL_GRAPH_OUTPUT, 4, g), 0);
        vdq::StepDoc doc = vdq::takeCurrentStep();
        ASSERT_EQ(doc.items.size(), 1u);
        const auto& got = doc.items[0]->dynamics;
        ASSERT_EQ(got.size(), static_cast<size_t>(count)) << count;
        for (int k = 0; k < count; ++k) {
            EXPECT_EQ(got[k].name, names[k]);
            const double want = k == 0 ? -1 : k == count - 1 ? -2 : k;
            EXPECT_EQ(got[k].d, want) << count << " " << k;
        }
    }
}

} // namespace

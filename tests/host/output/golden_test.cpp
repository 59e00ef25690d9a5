// Golden renderings of a small document: the listing, the HTML page and the
// JSON. Set KORV_UPDATE_GOLDEN=1 to rewrite the expected files after a
// deliberate change, and review the difference.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "host/output/layer.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "support/golden.h"
#include "support/wob_setup.h"
#include "vyr_host.h"
#include "vyr_output.h"

namespace
{

void compareGolden(const char* name, const std::string& actual)
{
    korvtest::compare_golden(std::string("tests/host/output/golden/") + name, actual);
}

// A censoring summary of two strata with a Total row and a note, a hidden
// plot-data table, a matrix and a graph, inside a BY group.
vdq::StepDoc smallDocument()
{
    vdq::takeCurrentStep();
    xobop mgr = wobtest::manager();
    WOB_PARM_BLK_STR title[3] = {wob_int(0, 0), wob_flag(WOB_TAG_TITLEFLAG, 1),
                                 wob_key(WOB_TAG_TEXT, vdqtxt("The Survival Procedure", -1))};
    wobcall(mgr, WOB_SEL_HEADING, 3, title);
    vyr_output_bygroup("Site=North & \"East\"");

    struct {
        char str10[10];
        double stratumno;
        char sex[6];
        double v[4];
    } f{};
    xobop t =
        wobtest::table(mgr, "CensoredSummary", "Summary of Censored and Uncensored Values", true);
    auto col = [&](int type, const char* name, const char* label, const void* addr, int len) {
        wobtest::column(t, type, name, addr, len, label);
    };
    col(1, "control_var", nullptr, f.str10, 0);
    col(5, "Stratum", "Stratum", &f.stratumno, 0);
    col(6, "Sex", "Sex of the Patient", f.sex, 6);
    col(5, "Total", "Total", &f.v[0], 0);
    col(5, "Failed", "Failed", &f.v[1], 0);
    col(5, "Censored", "Censored", &f.v[2], 0);
    col(5, "PctCens", "Percent Censored", &f.v[3], 0);
    wobcall(t, WOB_SEL_END_COLUMNS, 0, nullptr);

    WOB_PARM_BLK_STR pn[7] = {
        wob_string(WOB_TAG_PACKAGE, "template", 8),
        wob_string(WOB_TAG_CLASS, "title", 5),
        wob_object(WOB_TAG_OUT, nullptr),
        wob_int(WOB_TAG_148, -1),
        wob_int(WOB_TAG_371, 0),
        wob_key(WOB_TAG_TEXT, vdqtxt("2 observations with missing values were not used.", -1)),
        wob_char(WOB_TAG_JUST, 'c')};
    wobcall(mgr, WOB_SEL_CREATE, 7, pn);
    WOB_PARM_BLK_STR po[4] = {
        wob_object(0, nullptr), wob_object(0, t),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.CensoredSummary", -1)),
        wob_object(WOB_TAG_NOTE_OBJ, pn[2].value.o)};
    wobcall(mgr, WOB_SEL_TEMPLATE_OUTPUT, 4, po);
    const double rows[2][4] = {{12, 9, 3, 25}, {0, 0, 0, korv_missing()}};
    const char* sexes[2] = {"F     ", "M<1>  "};
    for (int r = 0; r < 2; ++r) {
        f.str10[0] = ' ';
        f.stratumno = r + 1;
        std::memcpy(f.sex, sexes[r], 6);
        std::memcpy(f.v, rows[r], sizeof f.v);
        wobcall(t, WOB_SEL_PUT_ROW, 0, nullptr);
    }
    f.str10[0] = '-';
    f.stratumno = xgcbconst(84);
    std::memset(f.sex, ' ', 6);
    f.v[0] = 12;
    f.v[1] = 9;
    f.v[2] = 3;
    f.v[3] = 25;
    wobcall(t, WOB_SEL_PUT_ROW, 0, nullptr);
    wobtest::finish(mgr, t, po[0].value.o);

    double cov[] = {2.5, -1.25, 2.5};
    WOB_PARM_BLK_STR pmx[5] = {
        wob_key(WOB_TAG_NAME, vdqtxt("LogrankHomCov", -1)),
        wob_key(WOB_TAG_LABEL, vdqtxt("Covariance Matrix for the Log-Rank Statistics", -1)),
        wob_address(WOB_TAG_MATRIX, cov), wob_int(WOB_TAG_NROWS, 2), wob_int(WOB_TAG_NCOLS, 2)};
    wobcall(mgr, WOB_SEL_MATRIX_OUTPUT, 5, pmx);

    WOB_PARM_BLK_STR pg[4] = {
        wob_key(WOB_TAG_NAME, vdqtxt("SurvivalPlot", -1)),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Graphics.ProductLimitSurvival", -1)),
        wob_key(WOB_TAG_DYNNAME, vdqtxt("NStrata", -1)), wob_int(WOB_TAG_DYNVALUE, 2)};
    wobcall(mgr, WOB_SEL_GRAPH_OUTPUT, 4, pg);
    wobzoom(mgr, 3, 4, 0, nullptr);
    vdq::StepDoc doc = vdq::takeCurrentStep();
    doc.rc = 0;
    return doc;
}

TEST(Golden, ListingHtmlAndJsonOfASmallDocument)
{
    vdq::StepDoc doc = smallDocument();
    std::string listing;
    for (const std::string& l : vdq::renderListing(doc, 78, {"Trial 7"}))
        listing += l + "\n";
    compareGolden("small.lst", listing);
    std::vector<vdq::StepDoc> steps{doc};
    compareGolden("small.html", vdq::renderHtml(steps, {"Trial 7"}));
    compareGolden("small.json", vdq::renderJson(steps));
}

// One table of one column per case: the JSON text of each cell value.
TEST(Json, ValuesAreWrittenExactlyAndEscaped)
{
    struct Case {
        const char* what;
        vdq::Cell cell;
        std::string json;
    };
    auto num = [](double d) {
        vdq::Cell c;
        c.d = d;
        return c;
    };
    auto text = [](std::string s) {
        vdq::Cell c;
        c.kind = vdq::Cell::Text;
        c.s = std::move(s);
        return c;
    };
    const Case cases[] = {
        {"shortest text of 0.1", num(0.1), "0.1"},
        {"shortest text of 1/3", num(1.0 / 3.0), "0.3333333333333333"},
        {"a whole number", num(138), "138"},
        {"a large number", num(1e300), "1e+300"},
        {"the ordinary missing value", num(korv_missing()), "null"},
        {"a special missing value", num(korv_special_missing(0xFD)), "\".A\""},
        {"a Total marker", num(xgcbconst(84)), "null"},
        {"a quote", text("q\"x"), "\"q\\\"x\""},
        {"a backslash", text("a\\b"), "\"a\\\\b\""},
        {"line ends and a tab", text("a\nb\rc\td"), "\"a\\nb\\rc\\td\""},
        {"other control characters", text(std::string("\x01\x1f", 2) + std::string(1, '\0')),
         "\"\\u0001\\u001f\\u0000\""},
        {"a byte that is not UTF-8", text("caf\xe9"), "\"caf\xc3\xa9\""},
    };
    for (const Case& c : cases) {
        vdq::StepDoc s;
        auto n = std::make_shared<vdq::Node>();
        n->kind = vdq::Node::Table;
        n->name = "T";
        vdq::Column col;
        col.name = "X";
        col.numeric = c.cell.kind == vdq::Cell::Number;
        n->columns = {col};
        n->rows = {{c.cell}};
        s.items.push_back(n);
        std::string j = vdq::renderJson({s});
        EXPECT_NE(j.find("\"rows\":[{\"X\":" + c.json + "}]"), std::string::npos) << c.what << "\n"
                                                                                  << j;
    }
    // Every number read back gives the same double, bit for bit.
    for (double d :
         {0.1, 1.0 / 3.0, 2.0 / 3.0, 1e-300, 123456.789, -0.0, 5e-324, 1.7976931348623157e308}) {
        const double back = std::strtod(vdq::jsonNumber(d).c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0) << vdq::jsonNumber(d);
    }
}

} // namespace

namespace
{

// The step's tables agree on types: a text column that restates a numeric
// variable through its format gives the variable's numbers (unless a text
// could stand for two values, or one has no value), a Total marker is null,
// and a footnote marker leaves the name for a field of its own.
TEST(Json, ValuesKeepOneTypeAcrossTheStepsTables)
{
    auto table = [](const char* name, std::vector<vdq::Column> cols,
                    std::vector<std::vector<vdq::Cell>> rows) {
        auto n = std::make_shared<vdq::Node>();
        n->kind = vdq::Node::Table;
        n->name = name;
        n->columns = std::move(cols);
        for (auto& r : rows)
            n->rows.push_back(r);
        return n;
    };
    auto num = [](double d) {
        vdq::Cell c;
        c.d = d;
        return c;
    };
    auto txt = [](const char* s) {
        vdq::Cell c;
        c.kind = vdq::Cell::Text;
        c.s = s;
        return c;
    };
    vdq::Column sexVar, stratum, sexText, score, test, grpVar, grpText;
    sexVar.name = "sex";
    sexVar.variable = true;
    sexVar.format = "F";
    sexVar.width = 4;
    sexVar.decimals = 1;
    stratum.name = "Stratum";
    sexText.name = "sex";
    sexText.numeric = false;
    sexText.type = 6;
    score.name = "LogRank";
    test.name = "Test";
    test.numeric = false;
    test.type = 6;
    grpVar = sexVar;
    grpVar.name = "grp";
    grpVar.width = 3;
    grpVar.decimals = 0;
    grpText = sexText;
    grpText.name = "grp";
    vdq::StepDoc s;
    s.items.push_back(
        table("CensoredSummary", {stratum, sexVar},
              {{num(1), num(1)}, {num(2), num(2)}, {num(xgcbconst(84)), num(korv_missing())}}));
    s.items.push_back(
        table("HomStats", {sexText, score}, {{txt(" 1.0"), num(0.5)}, {txt(" 2.0"), num(-0.5)}}));
    // 1.2 and 1.4 both show as "1" under the 3.0 format: the texts stay.
    s.items.push_back(table("Means", {grpVar}, {{num(1.2)}, {num(1.4)}}));
    s.items.push_back(table("TrendScores", {grpText}, {{txt("1")}, {txt("1")}}));
    auto tests =
        table("HomTests", {test, score}, {{txt("Log-Rank"), num(3)}, {txt("-2Log(LR)*"), num(4)}});
    tests->note = "* At least one stratum has no events.";
    s.items.push_back(tests);
    const std::string j = vdq::renderJson({s});
    for (const char* part : {"{\"Stratum\":null,\"sex\":null}", "{\"sex\":1,\"LogRank\":0.5}",
                             "{\"sex\":2,\"LogRank\":-0.5}", "{\"grp\":\"1\"}",
                             "{\"Test\":\"Log-Rank\",\"LogRank\":3}",
                             "{\"Test\":\"-2Log(LR)\",\"LogRank\":4,\"footnote\":\"At least one "
                             "stratum has no events.\"}"})
        EXPECT_NE(j.find(part), std::string::npos) << part << "\n" << j;
}

// A table too wide for the line continues in panels; each repeats the
// leading columns that tell which row it is (here a strata variable and the
// time), or the first column when none does.
TEST(Listing, WideTablesContinueInPanelsThatRepeatTheColumnsThatIdentifyARow)
{
    for (bool ids : {true, false}) {
        vdq::StepDoc s;
        auto n = std::make_shared<vdq::Node>();
        n->kind = vdq::Node::Table;
        n->label = "Wide";
        vdq::Column sex, time;
        sex.name = "sex";
        sex.variable = ids;
        time.name = "time";
        time.templateColumn = ids ? "GenericTime" : "";
        n->columns = {sex, time};
        for (int i = 0; i < 8; ++i) {
            vdq::Column c;
            c.name = "Column" + std::to_string(i);
            c.label = "A rather long header " + std::to_string(i);
            n->columns.push_back(c);
        }
        for (int r = 0; r < 3; ++r) {
            std::vector<vdq::Cell> row(10);
            row[0].d = 7;
            row[1].d = 100 + r;
            for (int i = 2; i < 10; ++i)
                row[static_cast<size_t>(i)].d = 1000.25 * (r + 1) + i;
            n->rows.push_back(row);
        }
        s.items.push_back(n);
        std::vector<std::string> lines = vdq::renderListing(s, 64, {});
        size_t panels = 0, withTime = 0;
        std::string all;
        for (const std::string& l : lines) {
            EXPECT_LE(l.size(), 64u) << l;
            all += l + "\n";
            if (l.find("sex") != std::string::npos) {
                ++panels;
                withTime += l.find("time") != std::string::npos;
            }
        }
        EXPECT_GE(panels, 2u) << all;
        EXPECT_EQ(withTime, ids ? panels : 1u) << all;
        EXPECT_NE(all.find("1009.25"), std::string::npos) << all; // the last column is shown
    }
}

// A stratum's total over its GROUP= levels is labelled as one in the listing
// (JSON writes null, as for the grand total).
TEST(Listing, StratumTotalsOfGroupSummariesAreLabelled)
{
    vdq::StepDoc s;
    auto n = std::make_shared<vdq::Node>();
    n->kind = vdq::Node::Table;
    n->label = "Summary";
    n->templ = "Stat.Korvante.CensoredSummary2";
    vdq::Column stratum, total;
    stratum.name = "Stratum";
    total.name = "Total";
    n->columns = {stratum, total};
    for (double key : {1.0, xgcbconst(83), xgcbconst(84)}) {
        std::vector<vdq::Cell> row(2);
        row[0].d = key;
        row[1].d = 10;
        n->rows.push_back(row);
    }
    s.items.push_back(n);
    std::string all;
    for (const std::string& l : vdq::renderListing(s, 64, {}))
        all += l + "\n";
    EXPECT_NE(all.find("Subtotal"), std::string::npos) << all;
    EXPECT_NE(all.find("Total"), std::string::npos) << all;
    EXPECT_EQ(all.find(" . "), std::string::npos) << all;
    const std::string j = vdq::renderJson({s});
    EXPECT_EQ(j.find("Subtotal"), std::string::npos) << j;
}

} // namespace

namespace
{

TEST(Templates, LookupIgnoresCaseAndDecidesVisibilityOrderAndHeaders)
{
    ASSERT_NE(vdq::findTemplate("stat.korvante.PHANTOM"), nullptr);
    EXPECT_TRUE(vdq::findTemplate("stat.korvante.PHANTOM")->hidden);
    EXPECT_FALSE(vdq::findTemplate("Stat.Korvante.HomTests")->hidden);
    EXPECT_EQ(vdq::findTemplate("Stat.Korvante.NoSuchTable"), nullptr);

    std::vector<vdq::Column> cols(4);
    cols[0].name = "control_var";
    cols[0].type = 1;
    cols[1].name = "A";
    cols[2].name = "B";
    cols[2].templateColumn = "GenericTime";
    cols[3].name = "C";
    cols[3].label = "Label of C";
    vdq::TableTemplate t{"T",
                         false,
                         {{"GenericTime", "", true}, {"C", "", true, "Shown as"}, {"A", "", false}},
                         true};
    EXPECT_EQ(vdq::shownColumns(cols, &t), (std::vector<size_t>{2, 3}));
    EXPECT_EQ(vdq::columnHeader(cols[3], &t), "Shown as");
    EXPECT_EQ(vdq::columnHeader(cols[3], nullptr), "Label of C");
    EXPECT_EQ(vdq::columnHeader(cols[1], nullptr), "A");
    // Without a template every column but the control column shows.
    EXPECT_EQ(vdq::shownColumns(cols, nullptr), (std::vector<size_t>{1, 2, 3}));
    // p-values.
    vdq::Column p;
    p.name = "ProbChiSq";
    vdq::Cell v;
    v.d = 0.00002;
    EXPECT_EQ(vdq::cellText(p, v, vdq::findTemplate("Stat.Korvante.HomTests")), "<.0001");
    v.d = 0.04567;
    EXPECT_EQ(vdq::cellText(p, v, vdq::findTemplate("Stat.Korvante.HomTests")), ".0457");
}

} // namespace

namespace
{

TEST(Html, TableIdsStayUniqueAcrossSteps)
{
    // Two steps with the same table path: the page must not repeat an id.
    auto step = [] {
        vdq::StepDoc s;
        auto n = std::make_shared<vdq::Node>();
        n->kind = vdq::Node::Table;
        n->name = "CensoredSummary";
        n->path = "CensoredSummary";
        vdq::Column c;
        c.name = "X";
        n->columns = {c};
        vdq::Cell v;
        v.d = 1;
        n->rows = {{v}};
        s.items.push_back(n);
        return s;
    };
    std::string h = vdq::renderHtml({step(), step(), step()}, {});
    std::set<std::string> ids;
    size_t count = 0;
    for (size_t at = h.find("id=\""); at != std::string::npos; at = h.find("id=\"", at + 1)) {
        size_t end = h.find('"', at + 4);
        ids.insert(h.substr(at + 4, end - at - 4));
        ++count;
    }
    EXPECT_EQ(count, 3u) << h;
    EXPECT_EQ(ids.size(), count) << h;
    // The first step keeps its plain ids.
    EXPECT_EQ(ids.count("CensoredSummary"), 1u) << h;
}

} // namespace

namespace
{

// A group that holds only hidden tables (plot data, as under NOTABLE) shows
// nothing: no heading, no empty group.
TEST(Html, HiddenTablesLeaveNoHeadingsOrEmptyGroups)
{
    vdq::StepDoc s;
    auto g = std::make_shared<vdq::Node>();
    g->kind = vdq::Node::Group;
    g->name = "Stratum1";
    auto t = std::make_shared<vdq::Node>();
    t->kind = vdq::Node::Table;
    t->name = "Phantom";
    t->hidden = true;
    t->heading = "Stratum 1: sex = 1";
    g->items.push_back(t);
    s.items.push_back(g);
    auto shownTable = std::make_shared<vdq::Node>();
    *shownTable = *t;
    shownTable->hidden = false;
    shownTable->heading = "Stratum 2: sex = 2";
    auto g2 = std::make_shared<vdq::Node>();
    g2->kind = vdq::Node::Group;
    g2->name = "Stratum2";
    g2->items.push_back(shownTable);
    s.items.push_back(g2);
    std::string h = vdq::renderHtml({s}, {});
    EXPECT_EQ(h.find("Stratum 1"), std::string::npos) << h;
    EXPECT_EQ(h.find("Stratum1"), std::string::npos) << h;
    EXPECT_NE(h.find("<p class=\"heading\">Stratum 2: sex = 2</p>"), std::string::npos) << h;
    std::string j = vdq::renderJson({s});
    EXPECT_EQ(j.find("\"hidden\":true"), std::string::npos) << j;
}

TEST(Html, EachStepKeepsTheTitlesAndFootnotesItRanWith)
{
    vdq::StepDoc a, b;
    a.headed = b.headed = true;
    a.titles = {"First & <one>", ""};
    b.titles = {"Second", ""};
    b.footnotes = {"Foot \"note\""};
    std::string h = vdq::renderHtml({a, b}, {"Second", ""});
    EXPECT_NE(h.find("<title>First &amp; &lt;one&gt;</title>"), std::string::npos) << h;
    size_t first = h.find("<h1>First &amp; &lt;one&gt;</h1>");
    size_t second = h.find("<h1>Second</h1>");
    ASSERT_NE(first, std::string::npos) << h;
    ASSERT_NE(second, std::string::npos) << h;
    EXPECT_LT(first, second);
    // Only once: the page-wide titles are not repeated above the steps.
    EXPECT_EQ(h.find("<h1>Second</h1>", second + 1), std::string::npos) << h;
    size_t foot = h.find("<p class=\"footnote\">Foot &quot;note&quot;</p>");
    EXPECT_GT(foot, second);
}

} // namespace

namespace
{

TEST(Encoding, BytesThatAreNotUtf8ReachHtmlAndJsonAsLatin1Characters)
{
    vdq::StepDoc s;
    auto n = std::make_shared<vdq::Node>();
    n->kind = vdq::Node::Table;
    n->name = "T";
    vdq::Column t;
    t.name = "S";
    t.numeric = false;
    t.type = 6;
    n->columns = {t};
    vdq::Cell a, b;
    a.kind = b.kind = vdq::Cell::Text;
    a.s = "caf\xe9";               // Latin-1 e-acute
    b.s = "na\xc3\xafve \xe2\x82"; // valid UTF-8, then a cut-off sequence
    n->rows = {{a}, {b}};
    s.items.push_back(n);
    std::string j = vdq::renderJson({s});
    std::string h = vdq::renderHtml({s}, {});
    for (const std::string* out : {&j, &h}) {
        EXPECT_NE(out->find("caf\xc3\xa9"), std::string::npos) << *out;
        EXPECT_NE(out->find("na\xc3\xafve \xc3\xa2\xc2\x82"), std::string::npos) << *out;
    }
}

} // namespace

namespace
{

// A table reads the same in every output: the JSON label of a table is the
// title the listing shows (a template's title over the table's label), a
// column's label is the header the listing shows (a template's header, or
// the name when the column has no label), and a column of text has a
// character format, never the number format its width would read as.
TEST(Json, LabelsAndFormatsAreThoseTheListingShows)
{
    vdq::StepDoc s;
    auto n = std::make_shared<vdq::Node>();
    n->kind = vdq::Node::Table;
    n->name = "SurvDiff";
    n->templ = "Stat.Korvante.SurvDiff1";
    n->label = "Test of Equality over Strata";
    vdq::Dynamic title;
    title.name = "TestLabel";
    title.text = "Log-Rank";
    title.numeric = false;
    n->dynamics = {title};
    vdq::Column level, raw;
    level.name = "Stratum1";
    level.label = "First celltype";
    level.numeric = false;
    level.width = 9;
    level.decimals = 0;
    raw.name = "Raw";
    n->columns = {level, raw};
    vdq::Cell a, p;
    a.kind = vdq::Cell::Text;
    a.s = "adeno";
    p.d = 0.0051;
    n->rows = {{a, p}};
    s.items.push_back(n);
    const std::string j = vdq::renderJson({s});
    std::string listing;
    for (const std::string& l : vdq::renderListing(s, 100, {}))
        listing += l + "\n";
    const std::string shownTitle = vdq::tableTitle(*n, vdq::findTemplate(n->templ));
    EXPECT_NE(listing.find(shownTitle), std::string::npos) << listing;
    EXPECT_NE(j.find("\"label\":\"" + shownTitle + "\""), std::string::npos) << j;
    EXPECT_EQ(j.find("Test of Equality"), std::string::npos) << j;
    EXPECT_NE(j.find("{\"name\":\"Stratum1\",\"label\":\"First celltype\",\"format\":\"$9.\"}"),
              std::string::npos)
        << j;
    EXPECT_NE(j.find("{\"name\":\"Raw\",\"label\":\"Raw\""), std::string::npos) << j;
}

} // namespace

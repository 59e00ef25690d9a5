// The line-printer plots of whole steps, as golden listings at fixed
// LINESIZE and PAGESIZE: each plot kind, one and several strata, a BY
// group, FORMCHAR=; the notes of a page too small and of many strata; the
// legend's symbol column; the plots in the HTML page and the JSON.
//
// Set KORV_UPDATE_GOLDEN=1 to rewrite the expected listings after a
// deliberate change, and review the difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/pgraf.h"
#include "support/golden.h"
#include "support/steprun.h"

namespace
{

using steprun::StepRun;

// Runs `program` on the bundled data, with `csv` written as DATA.BYDATA when
// given; the HTML page is read back too.
StepRun run(const std::string& program, const std::string& csv = "")
{
    std::map<std::string, std::string> data;
    if (!csv.empty())
        data["bydata"] = csv;
    return steprun::run(program, data, true);
}

void compareGolden(const std::string& name, const std::string& actual)
{
    korvtest::compare_golden("tests/lpplot/golden/" + name + ".lst", actual);
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(Golden, PlotKindsAndListings)
{
    struct Case {
        const char* name;
        const char* program;
        const char* csv = "";
    };
    // Two BY groups, the second with the larger smallest event time: its
    // log-time axis starts at ln 10, not at the first group's ln 2.
    const char* byData = "g,t,c\n1,2,1\n1,4,1\n1,6,0\n1,8,1\n1,9,0\n"
                         "2,10,1\n2,20,1\n2,25,0\n2,30,1\n2,40,0\n";
    const Case cases[] = {
        // Several strata: survival, censored, -log and log(-log) plots,
        // then the legend.
        {"several_strata", "options linesize=100 pagesize=50;\n"
                           "proc korvante data=aml lineprinter plots=(s ls lls) notable;\n"
                           "   time time*status(0);\n"
                           "   strata x;\n"
                           "run;\n"},
        // One stratum: no legend; the censored plot has one row.
        {"one_stratum", "options linesize=80 pagesize=40 nocenter;\n"
                        "proc korvante data=aml lineprinter plots=(s) notable;\n"
                        "   time time*status(0);\n"
                        "run;\n"},
        // A BY group: each group's plots on pages headed by its BY line, the
        // log-time axis from each group's own smallest event time.
        {"by_group",
         "options linesize=72 pagesize=36;\n"
         "proc korvante data=bydata lineprinter plots=(s lls) nocensplot notable;\n"
         "   time t*c(0);\n"
         "   by g;\n"
         "run;\n",
         byData},
        // The -log plot alone, with FORMCHAR= characters for the axes and the
        // ticks; the survival frame does not exist.
        {"formchar", "options linesize=64 pagesize=30;\n"
                     "proc korvante data=aml lineprinter plots=(ls) notable noprint\n"
                     "      formchar(1 2 7 9)='!=#@';\n"
                     "   time time*status(0);\n"
                     "   strata x;\n"
                     "run;\n"},
        // MAXTIME= ends the time axis: the survival run is cut at the edge
        // with a line character, a -log segment crossing it is cut there
        // with the value interpolated, censored times past it are not
        // marked.
        {"maxtime", "options linesize=72 pagesize=32;\n"
                    "proc korvante data=aml lineprinter plots=(s ls) maxtime=30 noprint;\n"
                    "   time time*status(0);\n"
                    "   strata x;\n"
                    "run;\n"},
        // Product-limit survival with FORMCHAR= runs and drops, and the
        // Breslow method.
        {"breslow", "options linesize=64 pagesize=24;\n"
                    "proc korvante data=aml lineprinter plots=(s) method=breslow noprint\n"
                    "      formchar(1 2)='!~';\n"
                    "   time time*status(0);\n"
                    "run;\n"},
    };
    for (const Case& c : cases) {
        StepRun r = run(c.program, c.csv);
        EXPECT_EQ(r.status, 0) << c.name << "\n" << r.log;
        EXPECT_EQ(r.log.find("WARNING"), std::string::npos) << c.name << "\n" << r.log;
        compareGolden(c.name, r.listing);
    }
}

TEST(Plots, ATinyPageGivesANoteNotACrash)
{
    // Ten title lines leave a page of 15 lines without room for a plot.
    std::string program = "options pagesize=15 linesize=64;\n";
    for (int i = 1; i <= 10; ++i)
        program += "title" + std::to_string(i) + " 'T" + std::to_string(i) + "';\n";
    program += "proc korvante data=aml lineprinter plots=(s ls) notable;\n"
               "   time time*status(0);\n"
               "   strata x;\n"
               "run;\n";
    StepRun r = run(program);
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("NOTE: The line-printer plot SurvivalPlot is not printed: a page of "
                         "PAGESIZE=15 lines and LINESIZE=64 columns"),
              std::string::npos)
        << r.log;
    EXPECT_NE(r.log.find("plot LogSurvivalPlot is not printed"), std::string::npos) << r.log;
    EXPECT_EQ(r.listing.find("Plot of the Survival"), std::string::npos);
    EXPECT_EQ(r.listing.find("Plot of the Negative"), std::string::npos);
    // The censored plot is treated alike: left out with the same note
    // rather than split over pages.
    EXPECT_NE(r.log.find("plot CensorPlot is not printed: a page of PAGESIZE=15"),
              std::string::npos)
        << r.log;
    EXPECT_EQ(r.listing.find("Plot of the Censored Observations by Stratum"), std::string::npos);
    // The legend still follows.
    EXPECT_NE(r.listing.find("Nonmaintained"), std::string::npos);
}

TEST(Plots, ManyStrataShareTheSymbols)
{
    StepRun r = run("options linesize=100 pagesize=60;\n"
                    "proc korvante data=lung lineprinter plots=(s) notable;\n"
                    "   time time*status(1);\n"
                    "   strata age;\n"
                    "run;\n");
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("NOTE: The 42 strata share the 26 plot symbols A to Z"), std::string::npos)
        << r.log;
    // One row per stratum in the censored plot and the legend, the
    // symbols starting again at the 27th.
    EXPECT_NE(r.json.find("\"Stratum\":27,\"Symbol\":\"A\""), std::string::npos);
    EXPECT_NE(r.json.find("\"Stratum\":42,\"Symbol\":\"P\""), std::string::npos);
    EXPECT_NE(r.listing.find("Plot of the Censored Observations by Stratum"), std::string::npos);
}

TEST(Plots, TheLegendShowsSymbolsExactlyAfterThePlots)
{
    // After the plots the legend has its symbol column.
    StepRun plotted = run("proc korvante data=lung lineprinter plots=(s) notable;\n"
                          "   time time*status(1);\n"
                          "   strata sex ph_ecog;\n"
                          "run;\n");
    EXPECT_EQ(plotted.status, 0) << plotted.log;
    EXPECT_EQ(count(plotted.listing, "Legend of the Plot Symbols"), 1u);
    EXPECT_EQ(count(plotted.listing, "Stratum  Symbol  sex  ph_ecog"), 1u) << plotted.listing;
    // The one after the tests numbers the strata and is titled so.
    EXPECT_EQ(count(plotted.listing, "Legend of the Stratum Numbers"), 1u);
    // The legend the tests print for several STRATA variables has none.
    StepRun tested = run("proc korvante data=lung notable;\n"
                         "   time time*status(1);\n"
                         "   strata sex ph_ecog;\n"
                         "run;\n");
    EXPECT_EQ(tested.status, 0) << tested.log;
    EXPECT_NE(tested.listing.find("Stratum  sex  ph_ecog"), std::string::npos) << tested.listing;
    EXPECT_EQ(tested.listing.find("Stratum  Symbol"), std::string::npos);
    EXPECT_EQ(tested.listing.find("Plot Symbols"), std::string::npos) << tested.listing;
    EXPECT_NE(tested.listing.find("Legend of the Stratum Numbers"), std::string::npos);
    EXPECT_NE(tested.json.find("\"label\":\"Legend of the Stratum Numbers\""), std::string::npos);
    EXPECT_EQ(tested.log.find("legend"), std::string::npos) << tested.log;
    // One STRATA variable: no legend after the tests.
    StepRun single = run("proc korvante data=lung notable;\n"
                         "   time time*status(1);\n"
                         "   strata sex;\n"
                         "run;\n");
    EXPECT_EQ(single.listing.find("Legend"), std::string::npos);
}

TEST(Plots, PlotsInTheHtmlPageAndTheJson)
{
    StepRun r = run("options linesize=80 pagesize=40;\n"
                    "proc korvante data=aml lineprinter plots=(s ls) noprint;\n"
                    "   time time*status(0);\n"
                    "   strata x;\n"
                    "run;\n");
    EXPECT_EQ(r.status, 0) << r.log;
    // NOPRINT leaves the plots and the legend.
    EXPECT_NE(r.listing.find("Plot of the Survival Distribution Function"), std::string::npos);
    EXPECT_EQ(r.listing.find("Censored Values"), std::string::npos);
    EXPECT_EQ(count(r.html, "<figure class=\"lpplot\""), 3u);
    EXPECT_NE(r.html.find("<pre>Plot of the Survival Distribution Function\n"), std::string::npos);
    EXPECT_NE(r.json.find("{\"kind\":\"plot\",\"name\":\"SurvivalPlot\",\"label\":\"Survival "
                          "Distribution Function Plot\",\"lines\":[\"Plot of the Survival "
                          "Distribution Function\""),
              std::string::npos);
    EXPECT_NE(r.json.find("\"name\":\"CensorPlot\""), std::string::npos);
    EXPECT_NE(r.json.find("\"name\":\"LogSurvivalPlot\""), std::string::npos);
    EXPECT_NE(r.json.find("{\"kind\":\"group\",\"name\":\"Plots\""), std::string::npos);
    // No page marks in the JSON lines.
    EXPECT_EQ(r.json.find("\\f"), std::string::npos);
}

// Times up to near the largest double: the plots keep every time in its
// place on a finite axis (not all at 0 on an axis that overflowed).
TEST(Plots, TimesNearTheLargestDouble)
{
    std::string csv = "t,s,g\n";
    for (int i = 2; i <= 17; ++i)
        csv += std::to_string(i) + "e307," + std::to_string(i % 3 != 0) + "," +
               (i % 2 ? "a" : "b") + "\n";
    csv += "1.79e308,0,a\n";
    StepRun r = run("options linesize=80 pagesize=40;\n"
                    "proc korvante data=bydata lineprinter plots=(s ls) notable;\n"
                    "   time t*s(0);\n"
                    "   strata g;\n"
                    "run;\n",
                    csv);
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(r.listing.find("inf"), std::string::npos) << r.listing;
    const size_t at = r.listing.find("Plot of the Censored Observations by Stratum");
    ASSERT_NE(at, std::string::npos) << r.listing;
    // The row of stratum a holds its censored times at several places.
    const size_t row = r.listing.find("A +", at);
    ASSERT_NE(row, std::string::npos);
    const std::string line = r.listing.substr(row + 3, r.listing.find('\n', row) - row - 3);
    EXPECT_GE(std::count(line.begin(), line.end(), 'A'), 2) << line;
    EXPECT_GE(line.find_last_not_of(' '), 60u) << line;
    // The axis ends at the largest time.
    EXPECT_NE(r.listing.find("1.79E308", at), std::string::npos) << r.listing.substr(at, 2000);
}

// Life-table intervals up to 1.1e308: the hazard is drawn at every
// interval's midpoint, the last two included (their bounds' sum is past the
// largest double).
TEST(Plots, HazardAtMidpointsNearTheLargestDouble)
{
    std::string csv = "t,s\n";
    for (int i = 5; i <= 105; i += 10)
        csv += std::to_string(i) + "e306,1\n";
    StepRun r = run("options linesize=80 pagesize=40;\n"
                    "proc korvante data=bydata method=life intervals=0 to 1.1e308 by 1e307 "
                    "lineprinter plots=(h) notable;\n"
                    "   time t*s(0);\n"
                    "run;\n",
                    csv);
    EXPECT_EQ(r.status, 0) << r.log;
    const size_t at = r.listing.find("Plot of the Hazard Function");
    ASSERT_NE(at, std::string::npos) << r.listing;
    // Eleven intervals, each with an event: eleven points.
    const std::string plot = r.listing.substr(at, r.listing.find("-+-", at) - at);
    EXPECT_EQ(std::count(plot.begin(), plot.end(), 'A'), 11) << plot;
}

TEST(Plots, RequestsWithoutAPlotKindPrintNothing)
{
    // LINEPRINTER alone asks for no plot; the results are those of a run
    // without plots of either kind.
    StepRun with = run("proc korvante data=aml lineprinter;\n   time time*status(0);\nrun;\n");
    StepRun without = run("proc korvante data=aml plots=none;\n   time time*status(0);\nrun;\n");
    EXPECT_EQ(with.listing, without.listing);
    EXPECT_EQ(with.listing.find("Plot of"), std::string::npos);
}

namespace
{

// The lines of the first plot titled `title` in a listing, up to the next
// page.
std::vector<std::string> plotLines(const std::string& listing, const std::string& title)
{
    std::vector<std::string> out;
    const size_t at = listing.find(title);
    if (at == std::string::npos)
        return out;
    std::stringstream in(listing.substr(at));
    std::string l;
    while (std::getline(in, l) && l.find('\f') == std::string::npos)
        out.push_back(l);
    return out;
}

} // namespace

TEST(Plots, CurvesRunToTheLastCensoredTimeOnAnAxisThatFitsTheData)
{
    // Times 1, 2+, 3, 10+: the survival after 3 holds until 10, where the
    // time axis ends, in the survival and -log survival plots alike.
    StepRun r = run("options linesize=80 pagesize=40;\n"
                    "proc korvante data=bydata lineprinter plots=(s ls) notable;\n"
                    "   time t*s(0);\n"
                    "run;\n",
                    "t,s\n1,1\n2,0\n3,1\n10,0\n");
    ASSERT_EQ(r.status, 0) << r.log;
    for (const char* title : {"Plot of the Survival Distribution Function",
                              "Plot of the Negative Log of the Survival"}) {
        const std::vector<std::string> lines = plotLines(r.listing, title);
        ASSERT_FALSE(lines.empty()) << title;
        // The column of the tick at 10 on the axis line, and the curve's
        // last drawn column on any row above it.
        size_t axis = 0, tick10 = 0, last = 0;
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find("10") != std::string::npos && i > 0 &&
                lines[i - 1].find("-+") != std::string::npos) {
                axis = i - 1;
                tick10 = lines[i].rfind("10") + 1;
            }
        ASSERT_GT(axis, 0u) << title;
        for (size_t i = 1; i < axis; ++i) {
            const size_t bar = lines[i].find_first_of("|!");
            const size_t end = lines[i].find_last_not_of(' ');
            if (bar != std::string::npos && end != std::string::npos && end > bar + 1)
                last = std::max(last, end);
        }
        EXPECT_EQ(last, tick10) << title << "\n" << r.listing;
        // The vertical label never reaches the rows of the time axis.
        for (size_t i = axis; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].empty() || lines[i][0] == ' ') << title << ": " << lines[i];
    }
}

TEST(Plots, DenormalTimesAndVeryLongPages)
{
    // Times of the order of 1e-310 keep their places on an axis from 0 to
    // the largest time, not one from -1 to 1; a page of 32767 lines gives a
    // plot of at most kMaxPlotLines lines.
    StepRun r = run("options linesize=80 pagesize=32767;\n"
                    "proc korvante data=bydata lineprinter plots=(s) notable;\n"
                    "   time t*s(0);\n"
                    "run;\n",
                    "t,s\n1e-310,1\n2e-310,0\n3e-310,1\n4e-310,0\n");
    ASSERT_EQ(r.status, 0) << r.log;
    const std::vector<std::string> lines =
        plotLines(r.listing, "Plot of the Survival Distribution Function");
    ASSERT_FALSE(lines.empty()) << r.listing;
    EXPECT_LE(lines.size(), static_cast<size_t>(kMaxPlotLines + 10));
    bool minusOne = false, end = false;
    for (const std::string& l : lines) {
        minusOne = minusOne || l.find("-1 ") != std::string::npos;
        end = end || l.find("4E-310") != std::string::npos;
    }
    EXPECT_FALSE(minusOne) << r.listing;
    EXPECT_TRUE(end) << r.listing;
}

TEST(Listing, TitlesAndHeadingsNeverEndAPage)
{
    // Seven titles on pages of 15 lines, at line sizes 64 and 100: the
    // procedure's title, the heading of the tests and each table's title
    // go to the page of the table's first row.
    for (const char* ls : {"64", "100"}) {
        std::string program = std::string("options pagesize=15 linesize=") + ls + ";\n";
        for (int i = 1; i <= 7; ++i)
            program += "title" + std::to_string(i) + " 'T" + std::to_string(i) + "';\n";
        program += "proc korvante data=aml notable;\n"
                   "   time time*status(0);\n"
                   "   strata x;\n"
                   "run;\n";
        StepRun r = run(program);
        ASSERT_EQ(r.status, 0) << r.log;
        std::stringstream pages(r.listing);
        std::string page;
        int n = 0;
        while (std::getline(pages, page, '\f')) {
            ++n;
            std::stringstream in(page);
            std::string l, last;
            while (std::getline(in, l))
                if (l.find_first_not_of(' ') != std::string::npos)
                    last = l;
            for (const char* title :
                 {"The KORVANTE Procedure", "Testing Homogeneity", "Summary of the Number",
                  "Rank Statistics", "Covariance Matrix", "Test of Equality"})
                EXPECT_EQ(last.find(title), std::string::npos)
                    << "linesize " << ls << ", page " << n << " ends with: " << last << "\n"
                    << r.listing;
        }
        EXPECT_GT(n, 2);
    }
}

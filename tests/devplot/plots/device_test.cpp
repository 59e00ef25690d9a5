// Device plots of whole steps (PLOTS= with graphics off): every plot kind in
// the catalogue, the page, the JSON and the listing; entry names across BY
// groups; the options NAME=, GOUT=, DESCRIPTION=, EVENTSYMBOL=,
// CENSOREDSYMBOL=, CENSOREDCOLOR= and ANNOTATE=; labels too long for the
// legends; curves that stop at the end of the time axis; several
// destinations; and failures that are reported, never passed over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "frame/frame.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace
{

namespace fs = std::filesystem;

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct StepRun {
    int status = -1;
    std::string listing, log, json, html;
    fs::path out;
    std::string svg(const std::string& rel) const { return slurp(out / rel); }
    std::vector<std::string> entries(const std::string& member) const
    {
        std::vector<std::string> names;
        if (fs::is_directory(out / member))
            for (const auto& e : fs::directory_iterator(out / member))
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Runs `program` with graphics off on the bundled data (or on `csv` written
// as DATA.MINE), keeping the output folder until the next run.
StepRun run(const std::string& program, const std::string& csv = "",
            const std::vector<std::pair<std::string, std::string>>& files = {})
{
    static bool registered = false;
    if (!registered) {
        korv_register_procedure();
        registered = true;
    }
    fs::path dir = fs::temp_directory_path() / ("korv_device_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "out");
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.dataDir = std::string(KORV_SOURCE_DIR) + "/examples";
    if (!csv.empty() || !files.empty()) {
        fs::create_directories(dir / "data");
        for (const char* f : {"lung.csv", "aml.csv"})
            fs::copy_file(fs::path(s.dataDir) / f, dir / "data" / f);
        if (!csv.empty())
            std::ofstream(dir / "data" / "mine.csv") << csv;
        for (const auto& [name, text] : files)
            std::ofstream(dir / "data" / name) << text;
        s.dataDir = (dir / "data").string();
    }
    s.outDir = (dir / "out").string();
    s.listing = (dir / "out.lst").string();
    s.log = (dir / "out.log").string();
    s.json = (dir / "out.json").string();
    s.html = (dir / "out.html").string();
    s.graphics = false;
    StepRun r;
    r.out = dir / "out";
    r.status = vyr_run_text(s, program);
    r.listing = slurp(dir / "out.lst");
    r.log = slurp(dir / "out.log");
    r.json = slurp(dir / "out.json");
    r.html = slurp(dir / "out.html");
    vyr_output_reset();
    return r;
}

int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// The runs' folder goes when the tests end.
struct CleanUp : ::testing::Environment {
    void TearDown() override
    {
        fs::remove_all(fs::temp_directory_path() / ("korv_device_" + std::to_string(::getpid())));
    }
};
const auto* const kCleanUp = ::testing::AddGlobalTestEnvironment(new CleanUp);

bool wellFormed(const fs::path& file)
{
    if (std::system("xmllint --version >/dev/null 2>&1") != 0)
        return slurp(file).find("</svg>") != std::string::npos;
    return std::system(("xmllint --noout '" + file.string() + "' 2>/dev/null").c_str()) == 0;
}

// The x pixel coordinates of every curve of an SVG.
std::vector<double> curveXs(const std::string& svg)
{
    std::vector<double> xs;
    static const std::regex path("<path class=\"curve\" d=\"([^\"]*)\"");
    static const std::regex point("[ML](-?[0-9.]+) (-?[0-9.]+)");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), path); it != std::sregex_iterator();
         ++it) {
        const std::string d = (*it)[1];
        for (auto p = std::sregex_iterator(d.begin(), d.end(), point); p != std::sregex_iterator();
             ++p)
            xs.push_back(std::stod((*p)[1]));
    }
    return xs;
}

// The JSON object of the group `name` (its braces matched).
std::string groupJson(const std::string& json, const std::string& name)
{
    const size_t at = json.find("{\"kind\":\"group\",\"name\":\"" + name + "\"");
    if (at == std::string::npos)
        return std::string();
    int depth = 0;
    bool str = false;
    for (size_t i = at; i < json.size(); ++i) {
        const char c = json[i];
        if (str) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                str = false;
            continue;
        }
        if (c == '"')
            str = true;
        else if (c == '{')
            ++depth;
        else if (c == '}' && --depth == 0)
            return json.substr(at, i - at + 1);
    }
    return std::string();
}

} // namespace

TEST(DevicePlots, EveryKindIsCataloguedAndShown)
{
    StepRun r = run("title 'Lung cancer';\n"
                    "proc korvante data=lung plots=(s ls lls c);\n"
                    "  time time*status(1); strata sex;\nrun;\n"
                    "proc korvante data=lung method=lt plots=(s ls lls h p) gout=work.life;\n"
                    "  time time*status(1); strata sex;\nrun;\n");
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(r.entries("GSEG"), (std::vector<std::string>{"KORVANT1.svg", "KORVANT2.svg",
                                                           "KORVANT3.svg", "KORVANTE.svg"}));
    EXPECT_EQ(r.entries("LIFE"),
              (std::vector<std::string>{"KORVANT1.svg", "KORVANT2.svg", "KORVANT3.svg",
                                        "KORVANT4.svg", "KORVANTE.svg"}));
    for (const char* m : {"GSEG", "LIFE"})
        for (const std::string& e : r.entries(m))
            EXPECT_TRUE(wellFormed(r.out / m / e)) << m << "/" << e;
    // The censored plot first, then the kinds in their order; each titled.
    const std::string cens = r.svg("GSEG/KORVANTE.svg");
    EXPECT_NE(cens.find(">Plot of Strata vs time</title>"), std::string::npos);
    EXPECT_NE(cens.find("class=\"title\""), std::string::npos);
    EXPECT_NE(cens.find(">Lung cancer</text>"), std::string::npos);
    EXPECT_NE(r.svg("GSEG/KORVANT1.svg").find(">Plot of SDF vs time</title>"), std::string::npos);
    EXPECT_NE(r.svg("GSEG/KORVANT3.svg").find(">Log of time</text>"), std::string::npos);
    EXPECT_NE(r.svg("LIFE/KORVANT4.svg").find(">Plot of PDF vs time</title>"), std::string::npos);
    // In the page and the JSON, with their files; named in the listing.
    EXPECT_EQ(count(r.html, "data-template=\"DeviceGraphics\""), 9);
    EXPECT_EQ(count(r.json, "\"template\":\"DeviceGraphics\""), 9);
    EXPECT_NE(r.json.find("\"file\":\"LIFE/KORVANT4.svg\""), std::string::npos);
    EXPECT_NE(r.listing.find("Graph: Density Function Plot (LIFE/KORVANT4.svg)"),
              std::string::npos);
    EXPECT_NE(groupJson(r.json, "GraphicsGroup").find("Censored Observations Plot"),
              std::string::npos);
    EXPECT_EQ(r.log.find("not available"), std::string::npos);
}

TEST(DevicePlots, OptionsNameTheEntriesAndShapeTheCurves)
{
    StepRun r = run("proc korvante data=aml plots=(s(name=amlsurv) c(name=cens)) gout=work.cat\n"
                    "  description='Acute myelogenous leukaemia' eventsymbol=dot\n"
                    "  censoredsymbol=square censoredcolor=red notable;\n"
                    "  time time*status(0);\n  by x;\nrun;\n");
    ASSERT_EQ(r.status, 0) << r.log;
    // Names stay unique across the BY groups.
    EXPECT_EQ(r.entries("CAT"),
              (std::vector<std::string>{"AMLSURV.svg", "AMLSURV1.svg", "CENS.svg", "CENS1.svg"}));
    const std::string s = r.svg("CAT/AMLSURV1.svg");
    EXPECT_NE(s.find(">Acute myelogenous leukaemia</title>"), std::string::npos);
    EXPECT_NE(s.find(">x=Nonmaintained</text>"), std::string::npos);
    // Without STRATA the curve and its marks carry the general labels; the
    // marks are red squares, the events filled dots.
    EXPECT_NE(s.find(">All observations</text>"), std::string::npos);
    EXPECT_NE(s.find(">Censored</text>"), std::string::npos);
    EXPECT_GT(count(s, "stroke=\"#CC0000\""), 1);
    EXPECT_GT(count(s, "fill=\"#0072B2\""), 1);
    EXPECT_EQ(count(s, "<path class=\"curve\""), 2); // the step curve and the legend's sample
}

TEST(DevicePlots, CensoredSymbolNoneLeavesOneCurvePerStratum)
{
    StepRun r = run("proc korvante data=lung plots=s censoredsymbol=none notable;\n"
                    "  time time*status(1); strata ph_ecog;\nrun;\n");
    ASSERT_EQ(r.status, 0) << r.log;
    const std::string s = r.svg("GSEG/KORVANTE.svg");
    const int strata = count(s, "class=\"legend-entry\"");
    EXPECT_GE(strata, 3);
    // One curve per stratum in the plot, one sample per entry in the legend.
    EXPECT_EQ(count(s, "<path class=\"curve\""), 2 * strata);
    EXPECT_EQ(s.find("Censored ph_ecog"), std::string::npos);
    EXPECT_EQ(count(s, "class=\"marker\""), 0);
}

TEST(DevicePlots, CurvesStopAtTheEndOfTheTimeAxis)
{
    // MAXTIME= between the last event and the last censored time of
    // stratum 1: its curve runs on to MAXTIME=, not to the censored time.
    const std::string csv = "t,c,g\n1,1,1\n2,1,1\n3,1,1\n4,0,1\n9,0,1\n2,1,2\n5,0,2\n";
    StepRun r = run("proc korvante data=mine plots=(s) maxtime=6 nocensplot notable;\n"
                    "  time t*c(0); strata g;\nrun;\n",
                    csv);
    ASSERT_EQ(r.status, 0) << r.log;
    const std::string s = r.svg("GSEG/KORVANTE.svg");
    // The horizontal axis ends at 6 or beyond; no curve point lies past 6.
    const std::regex tick(">6</text>");
    ASSERT_TRUE(std::regex_search(s, tick)) << s;
    const size_t at = s.find(">6</text>");
    const size_t xat = s.rfind(" x=\"", at);
    const double six = std::stod(s.substr(xat + 4));
    double widest = 0;
    for (double x : curveXs(s))
        widest = std::max(widest, x);
    // The tick value's text starts left of its tick; the curve ends at it.
    EXPECT_LT(widest, six + 20);
    EXPECT_GT(widest, six);
}

TEST(DevicePlots, StrataTooLongForTheLegendsAreNumberedWithAKey)
{
    // A label of 248 characters fits the legend, but "Censored " before it
    // for the censored marks would not: every stratum is numbered instead.
    const std::string longer(246, 'a'), shorter = "b";
    const std::string csv =
        "t,c,g\n1,1," + longer + "\n2,0," + longer + "\n3,1," + shorter + "\n4,0," + shorter + "\n";
    StepRun r =
        run("proc korvante data=mine plots=s notable;\n  time t*c(0); strata g;\nrun;\n", csv);
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("the legends say \"Strata n\""), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("Strata 1: g=" + longer), std::string::npos);
    EXPECT_NE(r.log.find("Strata 2: g=b"), std::string::npos);
    const std::string s = r.svg("GSEG/KORVANTE.svg");
    EXPECT_NE(s.find(">Strata 2</text>"), std::string::npos);
    EXPECT_NE(s.find(">Censored Strata 1</text>"), std::string::npos);
    EXPECT_EQ(s.find(longer), std::string::npos);
}

TEST(DevicePlots, ALongTimeNameIsCutForTheLogTimeAxis)
{
    const std::string name(32, 't');
    const std::string csv = name + ",c\n1,1\n2,0\n3,1\n5,1\n";
    StepRun r =
        run("proc korvante data=mine plots=lls notable;\n  time " + name + "*c(0);\nrun;\n", csv);
    ASSERT_EQ(r.status, 0) << r.log;
    const std::string s = r.svg("GSEG/KORVANTE.svg");
    // The names share 28 characters in the description.
    EXPECT_NE(s.find(">Plot of loglogS vs LOG " + std::string(17, 't') + "</title>"),
              std::string::npos)
        << s.substr(0, 400);
    EXPECT_NE(s.find(">Log of " + name + "</text>"), std::string::npos);
}

TEST(DevicePlots, EveryDestinationReadsItsOwnCensoredTimes)
{
    vyr_output_set_graph_destinations({"DOCUMENT", "SECOND"});
    StepRun r = run("proc korvante data=lung plots=(c s) notable;\n"
                    "  time time*status(1); strata sex;\nrun;\n");
    vyr_output_set_graph_destinations({"DOCUMENT"});
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(r.entries("SECOND"), (std::vector<std::string>{"KORVANT1.svg", "KORVANTE.svg"}));
    // The same censored plot for both, apart from the ids.
    std::string a = r.svg("GSEG/KORVANTE.svg"), b = r.svg("SECOND/KORVANTE.svg");
    a = std::regex_replace(a, std::regex("g-work-gseg-"), "");
    b = std::regex_replace(b, std::regex("g-work-second-"), "");
    EXPECT_EQ(a, b);
    EXPECT_GT(count(a, "class=\"marker\""), 20);
}

TEST(DevicePlots, WithoutADestinationTheGroupStillEnds)
{
    vyr_output_set_graph_destinations({});
    StepRun r = run("proc korvante data=lung plots=s notable;\n"
                    "  time time*status(1); strata sex;\nrun;\n");
    vyr_output_set_graph_destinations({"DOCUMENT"});
    ASSERT_EQ(r.status, 0) << r.log;
    EXPECT_NE(r.log.find("no output destination takes graphs"), std::string::npos) << r.log;
    // The tests that follow the plots are not inside their group.
    const std::string group = groupJson(r.json, "GraphicsGroup");
    ASSERT_FALSE(group.empty());
    EXPECT_EQ(group.find("\"kind\":\"table\""), std::string::npos) << group.substr(0, 300);
    EXPECT_NE(r.json.find("Log-Rank"), std::string::npos);
}

TEST(DevicePlots, AGraphThatCannotBeWrittenIsReported)
{
    // The entry's file is blocked by a folder of the same name.
    StepRun first = run("proc korvante data=aml notable;\n  time time*status(0);\nrun;\n");
    const fs::path dir = first.out.parent_path();
    fs::create_directories(first.out / "GSEG" / "KORVANTE.svg");
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.dataDir = std::string(KORV_SOURCE_DIR) + "/examples";
    s.outDir = first.out.string();
    s.log = (dir / "again.log").string();
    s.listing = (dir / "again.lst").string();
    s.graphics = false;
    vyr_run_text(s, "proc korvante data=aml plots=s nocensplot notable;\n"
                    "  time time*status(0);\nrun;\n");
    vyr_output_reset();
    const std::string log = slurp(dir / "again.log");
    EXPECT_NE(log.find("could not be written"), std::string::npos) << log;
    EXPECT_NE(log.find("could not be drawn or catalogued"), std::string::npos) << log;
}

TEST(DevicePlots, AnnotateDataSetsDrawOnEveryGraph)
{
    const std::string anno = "function,x,y,text,system,color\n"
                             "label,300,0.9,Median follow-up,DATA,red\n"
                             "move,0,0.5,,DATA,\n"
                             "draw,1000,0.5,,DATA,gray\n"
                             "label,50,95,Top left,AREA,\n";
    StepRun r = run("proc korvante data=lung plots=s annotate=notes nocensplot notable;\n"
                    "  time time*status(1);\nrun;\n",
                    "", {{"notes.csv", anno}});
    ASSERT_EQ(r.status, 0) << r.log;
    const std::string s = r.svg("GSEG/KORVANTE.svg");
    EXPECT_NE(s.find(">Median follow-up</text>"), std::string::npos) << r.log;
    EXPECT_NE(s.find(">Top left</text>"), std::string::npos);
    EXPECT_NE(s.find("class=\"annotation\""), std::string::npos);
    // A data set that is not one is named, and the graph drawn all the same.
    StepRun bad = run("proc korvante data=lung plots=s annotate=notes nocensplot notable;\n"
                      "  time time*status(1);\nrun;\n",
                      "", {{"notes.csv", "a,b\n1,2\n"}});
    EXPECT_NE(bad.log.find("has no FUNCTION variable"), std::string::npos) << bad.log;
    EXPECT_TRUE(fs::exists(bad.out / "GSEG" / "KORVANTE.svg"));
}

// Values far outside any sensible range (a line type of 1e300, a width, size
// or place near the largest double) draw what they can, defined: a line type
// outside 1 to 46 is a solid line.
TEST(DevicePlots, AnnotateValuesOutOfEveryRangeAreDrawnDefined)
{
    const std::string anno = "function,x,y,text,system,style,width,size\n"
                             "move,0,0.5,,DATA,,,\n"
                             "draw,1000,0.5,,DATA,1e300,1e300,\n"
                             "move,0,0.2,,DATA,,,\n"
                             "draw,1000,0.2,,DATA,-1e300,-1e300,\n"
                             "draw,1e308,1e308,,DATA,2.5,1,\n"
                             "label,300,0.9,Huge,DATA,,,1e300\n"
                             "symbol,300,0.8,dot,DATA,,,1e300\n"
                             "symbol,-1e308,1e308,dot,AREA,,,-1e300\n";
    StepRun r = run("proc korvante data=lung plots=s annotate=notes nocensplot notable;\n"
                    "  time time*status(1);\nrun;\n",
                    "", {{"notes.csv", anno}});
    ASSERT_EQ(r.status, 0) << r.log;
    const std::string s = r.svg("GSEG/KORVANTE.svg");
    EXPECT_NE(s.find(">Huge</text>"), std::string::npos) << r.log;
    EXPECT_NE(s.find("class=\"annotation\""), std::string::npos);
}

// Times among the subnormal numbers, or reaching near the largest double,
// have no scale: the plot is drawn without its time axis and the log says
// why, with the range.
TEST(DevicePlots, AnAxisWithoutAScaleIsLeftOutWithAWord)
{
    StepRun tiny = run("proc korvante data=mine plots=(s) notable;\n"
                       "  time t*c(0);\nrun;\n",
                       "t,c\n1e-323,1\n2e-323,1\n");
    ASSERT_EQ(tiny.status, 0) << tiny.log;
    EXPECT_NE(tiny.log.find("WARNING: The device plot Survival Distribution Function Plot is "
                            "drawn without its axis of t: its range, 0 to 1.97626e-323,"),
              std::string::npos)
        << tiny.log;
    EXPECT_TRUE(wellFormed(tiny.out / "GSEG" / "KORVANTE.svg"));
    // Life-table intervals of the smallest width.
    StepRun life = run("proc korvante data=aml method=life intervals=5e-324 plots=(s) notable;\n"
                       "  time time*status(0);\nrun;\n");
    ASSERT_EQ(life.status, 0) << life.log;
    EXPECT_NE(life.log.find("drawn without its axis of time: its range, 0 to 9.88131e-324,"),
              std::string::npos)
        << life.log;
    StepRun huge = run("proc korvante data=mine plots=(s) notable;\n"
                       "  time t*c(0);\nrun;\n",
                       "t,c\n1e308,1\n1.1e308,1\n");
    EXPECT_NE(huge.log.find("its range, 0 to 1.1e+308,"), std::string::npos) << huge.log;
}

// The layer in a run: each step's document goes to the listing at the end of
// the step, and the HTML and JSON files hold every step so far.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "run_files.h"
#include "runtime/wobmth.h"
#include "vyr_host.h"
#include "vyr_output.h"
#include "vyr_session.h"
#include "wob_setup.h"

namespace
{

using namespace runfiles;

double stepValue = 0;

// A procedure that prints one small table.
int tableProcedure()
{
    xobop mgr = wobtest::manager();
    xobop t = wobtest::table(mgr, "Values", "Values of the step");
    wobtest::column(t, 5, "Value", &stepValue);
    wobcall(t, WOB_SEL_END_COLUMNS, 0, nullptr);
    xobop out = wobtest::output(mgr, t, "Stat.Korvante.Generic2");
    stepValue += 1.5;
    wobcall(t, WOB_SEL_PUT_ROW, 0, nullptr);
    wobtest::finish(mgr, t, out);
    wobzoom(mgr, 3, 4, 0, nullptr);
    return 0;
}

TEST(OutputSession, EveryStepIsRenderedToTheListingHtmlAndJson)
{
    vyr_output_reset();
    vyr_register_procedure("TABLEOUT", tableProcedure);
    fs::path dir = freshDir("session");
    VyrSettings s = settings(dir, "out");
    stepValue = 0;
    int status = vyr_run_text(s, "title 'Two steps';\nproc tableout; run;\nproc tableout; run;\n");
    EXPECT_EQ(status, 0) << slurp(dir / "out.log");

    std::string json = slurp(dir / "out.json");
    EXPECT_EQ(json.rfind("{\"steps\":[{\"proc\":\"TABLEOUT\",\"items\":[{\"kind\":\"table\"", 0), 0u)
        << json;
    EXPECT_NE(json.find("\"rows\":[{\"Value\":1.5}]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"rows\":[{\"Value\":3}]"), std::string::npos) << json;
    std::string html = slurp(dir / "out.html");
    EXPECT_NE(html.find("<h1>Two steps</h1>"), std::string::npos);
    EXPECT_EQ(count(html, "<table"), 2u);
    std::string listing = slurp(dir / "out.lst");
    EXPECT_NE(listing.find("Values of the step"), std::string::npos) << listing;
    EXPECT_NE(listing.find("1.5"), std::string::npos) << listing;
    EXPECT_FALSE(fs::exists(dir / "out.json.tmp"));

    // A second run writes its own steps only.
    stepValue = 10;
    EXPECT_EQ(vyr_run_text(s, "proc tableout; run;\n"), 0);
    json = slurp(dir / "out.json");
    EXPECT_EQ(json.find("\"Value\":1.5"), std::string::npos) << json;
    EXPECT_NE(json.find("\"rows\":[{\"Value\":11.5}]"), std::string::npos) << json;
    EXPECT_EQ(count(json, "\"proc\""), 1u);
    if (!std::getenv("KORV_KEEP_OUTPUT"))
        fs::remove_all(dir);
    vyr_output_reset();
}

} // namespace

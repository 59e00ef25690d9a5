// Runs whole programs through the session (the shared step runner) for the
// restricted-mean tests and hands back the exit status, the log and the
// parsed JSON output, with the readers of tables, rows and graph requests.
// Header-only.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "mcomp/qxmclsm.h"
#include "support/json.h"
#include "support/steprun.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace rmstest
{

namespace fs = std::filesystem;

struct Run {
    int status = -1;
    std::string log, listing;
    korvjson::Value json;

    // The tables named `name` of step `step` (every step when negative).
    std::vector<const korvjson::Value*> tables(const std::string& name, int step = -1) const
    {
        return korvjson::find(scope(step), "table", name);
    }
    const korvjson::Value* table(const std::string& name, int step = -1) const
    {
        auto t = tables(name, step);
        return t.empty() ? nullptr : t.front();
    }
    // The restricted-mean graphs (the survival graphs each step draws by
    // default are left out).
    std::vector<const korvjson::Value*> graphs(int step = -1) const
    {
        std::vector<const korvjson::Value*> rm;
        for (const korvjson::Value* g : korvjson::find(scope(step), "graph"))
            if (g->text("template").find("Graphics.RM") != std::string::npos)
                rm.push_back(g);
        return rm;
    }
    std::vector<const korvjson::Value*> groups(const std::string& name, int step = -1) const
    {
        return korvjson::find(scope(step), "group", name);
    }
    bool logHas(const std::string& text) const { return log.find(text) != std::string::npos; }

  private:
    const korvjson::Value& scope(int step) const
    {
        if (step < 0)
            return json;
        const korvjson::Value* steps = json.get("steps");
        static const korvjson::Value none;
        if (!steps || step >= static_cast<int>(steps->items.size()))
            return none;
        return steps->items[static_cast<size_t>(step)];
    }
};

// Registers the procedure and the comparison engine, once.
inline void ready()
{
    static bool registered = false;
    if (!registered) {
        steprun::ready();
        korv_mcomp_register_engine();
        registered = true;
    }
}

// Runs `program` on the example data sets and the extra files given (file
// name -> content, e.g. "x.csv" and "x.attr"), through the shared step
// runner.
inline Run run(const std::string& program, const std::map<std::string, std::string>& files = {})
{
    ready();
    steprun::StepRun s = steprun::run(program, files);
    Run r;
    r.status = s.status;
    r.log = std::move(s.log);
    r.listing = std::move(s.listing);
    if (s.doc)
        r.json = std::move(*s.doc);
    return r;
}

// A number of a row, NaN when missing.
inline double num(const korvjson::Value* row, const std::string& col)
{
    return row ? row->number(col) : std::nan("");
}

} // namespace rmstest

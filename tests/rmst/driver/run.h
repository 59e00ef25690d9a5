// Runs whole programs through the session for the restricted-mean tests and
// hands back the exit status, the log and the parsed JSON output, with the
// readers of tables, rows and graph requests. Header-only.
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

#include "frame/frame.h"
#include "mcomp/qxmclsm.h"
#include "support/json.h"
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

inline std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs `program` on the example data sets and the extra files given (file
// name -> content, e.g. "x.csv" and "x.attr").
// Registers the procedure and the comparison engine, once.
inline void ready()
{
    static bool registered = false;
    if (!registered) {
        korv_register_procedure();
        korv_mcomp_register_engine();
        registered = true;
    }
}

inline Run run(const std::string& program, const std::map<std::string, std::string>& files = {})
{
    ready();
    static int counter = 0;
    const fs::path dir = fs::temp_directory_path() / ("korv_rmst_" + std::to_string(::getpid()) +
                                                      "_" + std::to_string(++counter));
    fs::remove_all(dir);
    fs::create_directories(dir / "data");
    for (const auto& e : fs::directory_iterator(std::string(KORV_SOURCE_DIR) + "/examples"))
        if (e.path().extension() == ".csv")
            fs::copy_file(e.path(), dir / "data" / e.path().filename());
    for (const auto& [name, text] : files)
        std::ofstream(dir / "data" / name, std::ios::binary) << text;
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.dataDir = (dir / "data").string();
    s.outDir = dir.string();
    s.json = (dir / "out.json").string();
    s.log = (dir / "log.txt").string();
    s.listing = (dir / "listing.txt").string();
    Run r;
    r.status = vyr_run_text(s, program);
    r.json = korvjson::parse(slurp(dir / "out.json"));
    r.log = slurp(dir / "log.txt");
    r.listing = slurp(dir / "listing.txt");
    vyr_output_reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return r;
}

// A number of a row, NaN when missing.
inline double num(const korvjson::Value* row, const std::string& col)
{
    return row ? row->number(col) : std::nan("");
}

} // namespace rmstest

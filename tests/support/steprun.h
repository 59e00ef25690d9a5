// The step runner: whole programs run through the session in the test's own
// process, on the example data (and extra data sets a test writes), with the
// JSON document, the log, the listing and the output data sets read back; a
// test finds a table by its name or template (support/json.h) and reads its
// rows by column name.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "support/json.h"
#include "support/reference.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace steprun
{

using Json = korvjson::Value;

struct StepRun {
    int status = -1;
    std::string json, log, listing;
    std::shared_ptr<Json> doc;
    std::map<std::string, std::string> out; // output data sets by lower-case name

    // The tables (or graphs) made from `templ` ("Stat.Korvante." is added
    // when the name has no dot), in document order.
    std::vector<const Json*> items(const std::string& templ) const
    {
        return doc ? korvjson::by_template(*doc, templ) : std::vector<const Json*>{};
    }
    // The tables named `name`, in document order.
    std::vector<const Json*> tables(const std::string& name) const
    {
        return doc ? korvjson::tables(*doc, name) : std::vector<const Json*>{};
    }
    // The graph requests, in document order.
    std::vector<const Json*> graphs() const
    {
        return doc ? korvjson::find(*doc, "graph") : std::vector<const Json*>{};
    }
    // The rows of the i-th table made from `templ`.
    std::vector<const Json*> rows(const std::string& templ, size_t i = 0) const
    {
        std::vector<const Json*> r;
        const auto t = items(templ);
        if (i < t.size())
            if (const Json* rs = t[i]->get("rows"))
                for (const Json& x : rs->items)
                    r.push_back(&x);
        return r;
    }
    // Rows of an output data set, header first.
    std::vector<std::vector<std::string>> data(const std::string& name) const
    {
        std::vector<std::vector<std::string>> r;
        auto it = out.find(name);
        if (it == out.end())
            return r;
        std::stringstream ss(it->second);
        for (std::string line; std::getline(ss, line);)
            r.push_back(korvtest::split_fields(line));
        return r;
    }
};

inline std::string slurp(const std::filesystem::path& p)
{
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs `program` on the example data and the extra data sets given (name ->
// CSV text); every CSV file written to WORK is read back.
inline StepRun run(const std::string& program, const std::map<std::string, std::string>& data = {})
{
    namespace fs = std::filesystem;
    static bool registered = false;
    if (!registered) {
        korv_register_procedure();
        registered = true;
    }
    fs::path dir = fs::temp_directory_path() / ("korv_steprun_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "data");
    fs::create_directories(dir / "work");
    for (const auto& entry : fs::directory_iterator(korvtest::source_dir() + "/examples"))
        if (entry.path().extension() == ".csv")
            fs::copy_file(entry.path(), dir / "data" / entry.path().filename());
    for (const auto& [name, csv] : data)
        std::ofstream(dir / "data" / (name + ".csv")) << csv;
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.dataDir = (dir / "data").string();
    s.outDir = (dir / "work").string();
    s.json = (dir / "out.json").string();
    s.log = (dir / "log.txt").string();
    s.listing = (dir / "listing.txt").string();
    StepRun r;
    r.status = vyr_run_text(s, program);
    r.json = slurp(dir / "out.json");
    r.log = slurp(dir / "log.txt");
    r.listing = slurp(dir / "listing.txt");
    bool ok = false;
    r.doc = std::make_shared<Json>(korvjson::parse(r.json, &ok));
    if (!ok)
        ADD_FAILURE() << "the JSON document cannot be read";
    for (const auto& entry : fs::directory_iterator(dir / "work"))
        if (entry.path().extension() == ".csv")
            r.out[entry.path().stem().string()] = slurp(entry.path());
    vyr_output_reset();
    fs::remove_all(dir);
    return r;
}

// Occurrences of `what` in `text`.
inline size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace steprun

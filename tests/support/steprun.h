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
    std::string html; // the HTML page, when asked for
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
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Registers the procedure with the session, once.
inline void ready()
{
    static bool registered = false;
    if (!registered) {
        korv_register_procedure();
        registered = true;
    }
}

// Runs `program` with its data sets in `data_dir`; every CSV file written to
// WORK is read back, and the HTML page when `page` is set. A JSON document
// that is written but cannot be read fails the test.
inline StepRun run_in(const std::string& program, const std::filesystem::path& data_dir,
                      const std::filesystem::path& dir, bool page = false)
{
    namespace fs = std::filesystem;
    ready();
    fs::create_directories(dir / "work");
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.dataDir = data_dir.string();
    s.outDir = (dir / "work").string();
    s.json = (dir / "out.json").string();
    s.log = (dir / "log.txt").string();
    s.listing = (dir / "listing.txt").string();
    if (page)
        s.html = (dir / "page.html").string();
    StepRun r;
    r.status = vyr_run_text(s, program);
    if (page)
        r.html = slurp(dir / "page.html");
    r.json = slurp(dir / "out.json");
    r.log = slurp(dir / "log.txt");
    r.listing = slurp(dir / "listing.txt");
    bool ok = true;
    r.doc = std::make_shared<Json>(r.json.empty() ? Json() : korvjson::parse(r.json, &ok));
    if (!ok)
        ADD_FAILURE() << "the JSON document cannot be read";
    for (const auto& entry : fs::directory_iterator(dir / "work"))
        if (entry.path().extension() == ".csv")
            r.out[entry.path().stem().string()] = slurp(entry.path());
    vyr_output_reset();
    return r;
}

inline std::filesystem::path scratch()
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("korv_steprun_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// Runs `program` on the example data and the extra files given: a name
// without an extension is a data set (name -> CSV text), one with an
// extension a file of that name ("x.attr"). `page` asks for the HTML page.
inline StepRun run(const std::string& program, const std::map<std::string, std::string>& data = {},
                   bool page = false)
{
    namespace fs = std::filesystem;
    const fs::path dir = scratch();
    fs::create_directories(dir / "data");
    for (const auto& entry : fs::directory_iterator(korvtest::source_dir() + "/examples"))
        if (entry.path().extension() == ".csv")
            fs::copy_file(entry.path(), dir / "data" / entry.path().filename());
    for (const auto& [name, text] : data)
        std::ofstream(dir / "data" / (name.find('.') == std::string::npos ? name + ".csv" : name),
                      std::ios::binary)
            << text;
    StepRun r = run_in(program, dir / "data", dir, page);
    fs::remove_all(dir);
    return r;
}

// Runs `program` on the data sets of `folder` (from the top of the source
// tree, e.g. "tests/e2e/t3_data"), read in place.
inline StepRun run_on(const std::string& program, const std::string& folder)
{
    const std::filesystem::path dir = scratch();
    StepRun r = run_in(program, korvtest::source_dir() + "/" + folder, dir);
    std::filesystem::remove_all(dir);
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

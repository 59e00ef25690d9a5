// Whole programs run through the session in the test's own process, on the
// example data (and extra data sets a test writes), with the JSON document,
// the log, the listing and the output data sets read back; and a small reader
// of the JSON document, so that a test finds a table by its template and
// reads its rows by column name.
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

#include "../numeric/reference.h"
#include "frame/frame.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace steprun
{

// A JSON value: null, a number, a string, an array or an object.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* get(const std::string& name) const
    {
        for (const auto& [k, v] : members)
            if (k == name)
                return &v;
        return nullptr;
    }
    // A member's number; NaN when it is missing or not a number (JSON null
    // stands for a missing value).
    double num(const std::string& name) const
    {
        const Json* v = get(name);
        return v && v->kind == Number ? v->number : std::nan("");
    }
    std::string str(const std::string& name) const
    {
        const Json* v = get(name);
        return v && v->kind == String ? v->text : std::string();
    }
};

class JsonReader
{
  public:
    explicit JsonReader(const std::string& s) : s_(s) {}
    Json parse()
    {
        Json v = value();
        space();
        if (i_ != s_.size())
            ok = false;
        return v;
    }
    bool ok = true;

  private:
    void space()
    {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_])))
            ++i_;
    }
    bool eat(char c)
    {
        space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    std::string string()
    {
        std::string out;
        if (!eat('"')) {
            ok = false;
            return out;
        }
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c == '\\' && i_ < s_.size()) {
                char e = s_[i_++];
                switch (e) {
                case 'n':
                    out.push_back('\n');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u': {
                    const unsigned cp = std::stoul(s_.substr(i_, 4), nullptr, 16);
                    i_ += 4;
                    if (cp < 0x80) {
                        out.push_back(static_cast<char>(cp));
                    } else if (cp < 0x800) {
                        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
                        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                    } else {
                        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
                        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                    }
                    break;
                }
                default:
                    out.push_back(e);
                }
            } else {
                out.push_back(c);
            }
        }
        ++i_;
        return out;
    }
    Json value()
    {
        Json v;
        space();
        if (i_ >= s_.size()) {
            ok = false;
            return v;
        }
        const char c = s_[i_];
        if (c == '{') {
            ++i_;
            v.kind = Json::Object;
            if (eat('}'))
                return v;
            do {
                std::string k = string();
                if (!eat(':'))
                    ok = false;
                v.members.emplace_back(std::move(k), value());
            } while (ok && eat(','));
            if (!eat('}'))
                ok = false;
        } else if (c == '[') {
            ++i_;
            v.kind = Json::Array;
            if (eat(']'))
                return v;
            do
                v.items.push_back(value());
            while (ok && eat(','));
            if (!eat(']'))
                ok = false;
        } else if (c == '"') {
            v.kind = Json::String;
            v.text = string();
        } else if (s_.compare(i_, 4, "null") == 0) {
            i_ += 4;
        } else if (s_.compare(i_, 4, "true") == 0) {
            v.kind = Json::Bool;
            v.number = 1;
            i_ += 4;
        } else if (s_.compare(i_, 5, "false") == 0) {
            v.kind = Json::Bool;
            i_ += 5;
        } else {
            char* end = nullptr;
            v.kind = Json::Number;
            v.number = std::strtod(s_.c_str() + i_, &end);
            if (end == s_.c_str() + i_)
                ok = false;
            i_ = static_cast<size_t>(end - s_.c_str());
        }
        return v;
    }
    const std::string& s_;
    size_t i_ = 0;
};

// Every object of the document (depth first, in document order) whose member
// `key` has the text `value`.
inline void collect(const Json& n, const std::string& key, const std::string& value,
                    std::vector<const Json*>& out)
{
    if (n.kind == Json::Object) {
        if (n.str(key) == value)
            out.push_back(&n);
        for (const auto& m : n.members)
            collect(m.second, key, value, out);
    } else if (n.kind == Json::Array) {
        for (const auto& i : n.items)
            collect(i, key, value, out);
    }
}

struct StepRun {
    int status = -1;
    std::string json, log, listing;
    std::shared_ptr<Json> doc;
    std::map<std::string, std::string> out; // output data sets by lower-case name

    // The tables (or graphs) made from `templ` ("Stat.Korvante." is added
    // when the name has no dot), in document order.
    std::vector<const Json*> items(const std::string& templ) const
    {
        std::vector<const Json*> v;
        if (doc)
            collect(*doc, "template",
                    templ.find('.') == std::string::npos ? "Stat.Korvante." + templ : templ, v);
        return v;
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
    JsonReader reader(r.json);
    r.doc = std::make_shared<Json>(reader.parse());
    if (!reader.ok)
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

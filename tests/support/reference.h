// The one reader of the tests' reference tables: the peer reference values
// under tests/reference/ and the example data sets under examples/, as CSV (a
// header row, '#' comment lines, fields optionally in double quotes) or, for
// a file ending in .tsv, tab-separated. A table that cannot be read, or that
// has no rows, fails the test that reads it: a deleted or emptied reference
// file can never let a comparison pass by comparing nothing. Also the
// comparison of numbers with stated tolerances.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace korvtest
{

// The source tree (KORV_SOURCE_DIR in the environment, else as built).
inline std::string source_dir()
{
    if (const char* root = std::getenv("KORV_SOURCE_DIR"))
        return root;
#ifdef KORV_SOURCE_DIR
    return KORV_SOURCE_DIR;
#else
    return ".";
#endif
}

// One tab-separated line split into fields (no quoting).
inline std::vector<std::string> split_tabs(const std::string& line)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', from)) {
        out.push_back(line.substr(from, tab - from));
        from = tab + 1;
    }
    std::string last = line.substr(from);
    if (!last.empty() && last.back() == '\r')
        last.pop_back();
    out.push_back(last);
    return out;
}

// One CSV line split into fields; a field in double quotes may hold commas.
inline std::vector<std::string> split_fields(const std::string& line)
{
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false;
    for (char c : line) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted) {
            out.push_back(cur);
            cur.clear();
        } else if (c != '\r') {
            cur.push_back(c);
        }
    }
    out.push_back(cur);
    return out;
}

// A list of numbers written in one field as a|b|c ("Inf" and "-Inf" read
// as infinities, as strtod reads them).
inline std::vector<double> bars(const std::string& s)
{
    std::vector<double> v;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, '|'))
        v.push_back(std::strtod(part.c_str(), nullptr));
    return v;
}

class Table
{
  public:
    // `name` is a file of tests/reference/, or a path from the top of the
    // source tree when it holds a '/' ("examples/lung.csv"). A table without
    // a header row names its columns in `columns` instead.
    explicit Table(const std::string& name, const std::vector<std::string>& columns = {})
    {
        const std::string path =
            source_dir() +
            (name.find('/') == std::string::npos ? "/tests/reference/" + name : "/" + name);
        const bool tsv = name.size() > 4 && name.compare(name.size() - 4, 4, ".tsv") == 0;
        if (!columns.empty()) {
            names_ = columns;
            for (size_t i = 0; i < columns.size(); ++i)
                cols_[columns[i]] = i;
        }
        std::ifstream in(path);
        if (!in.good()) {
            ADD_FAILURE() << "reference table " << path << " cannot be read";
            return;
        }
        std::string line;
        bool header = columns.empty();
        while (std::getline(in, line)) {
            if (line.empty() || line == "\r" || line[0] == '#')
                continue;
            std::vector<std::string> cells = tsv ? split_tabs(line) : split_fields(line);
            if (header) {
                names_ = cells;
                for (size_t i = 0; i < cells.size(); ++i)
                    cols_[cells[i]] = i;
                header = false;
            } else {
                cells.resize(names_.size());
                rows_.push_back(std::move(cells));
            }
        }
        if (rows_.empty())
            ADD_FAILURE() << "reference table " << path << " has no rows";
    }

    size_t size() const { return rows_.size(); }
    const std::vector<std::string>& columns() const { return names_; }
    bool has(const std::string& col) const { return cols_.count(col) != 0; }

    const std::string& text(size_t row, const std::string& col) const
    {
        auto it = cols_.find(col);
        if (it == cols_.end() || row >= rows_.size()) {
            ADD_FAILURE() << "no column " << col << " (or row " << row << ")";
            static const std::string empty;
            return empty;
        }
        return rows_[row][it->second];
    }

    // A number; NA, NaN, "." and an empty field are NaN.
    double num(size_t row, const std::string& col) const
    {
        const std::string& s = text(row, col);
        if (s.empty() || s == "NA" || s == "NaN" || s == ".")
            return std::nan("");
        if (s == "Inf")
            return INFINITY;
        if (s == "-Inf")
            return -INFINITY;
        return std::strtod(s.c_str(), nullptr);
    }

    // Row `row` as named fields.
    std::map<std::string, std::string> record(size_t row) const
    {
        std::map<std::string, std::string> r;
        for (size_t i = 0; i < names_.size() && row < rows_.size(); ++i)
            r[names_[i]] = rows_[row][i];
        return r;
    }
    std::vector<std::map<std::string, std::string>> records() const
    {
        std::vector<std::map<std::string, std::string>> out;
        for (size_t r = 0; r < rows_.size(); ++r)
            out.push_back(record(r));
        return out;
    }

  private:
    std::vector<std::string> names_;
    std::map<std::string, size_t> cols_;
    std::vector<std::vector<std::string>> rows_;
};

// |got - want| <= rel |want| + abs, with a readable failure message.
inline ::testing::AssertionResult Near(double got, double want, double rel, double abs = 0.0)
{
    if (std::isnan(want) && std::isnan(got))
        return ::testing::AssertionSuccess();
    if (std::isinf(want) && got == want)
        return ::testing::AssertionSuccess();
    double err = std::fabs(got - want);
    if (err <= rel * std::fabs(want) + abs)
        return ::testing::AssertionSuccess();
    char buf[256];
    std::snprintf(buf, sizeof buf, "got %.17g want %.17g (abs err %.3g, rel err %.3g)", got, want,
                  err, want != 0 ? err / std::fabs(want) : err);
    return ::testing::AssertionFailure() << buf;
}

} // namespace korvtest

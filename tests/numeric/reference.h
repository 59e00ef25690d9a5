// Reads the reference tables under tests/reference/ (CSV with '#' comment
// lines and a header row) and compares numbers with stated tolerances.
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

class Table
{
  public:
    explicit Table(const std::string& name)
    {
        const char* root = std::getenv("KORV_SOURCE_DIR");
        std::string dir = root ? root : KORV_SOURCE_DIR;
        std::ifstream in(dir + "/tests/reference/" + name);
        EXPECT_TRUE(in.good()) << "missing reference file " << name;
        std::string line;
        bool header = true;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::vector<std::string> cells;
            std::stringstream ss(line);
            std::string cell;
            while (std::getline(ss, cell, ','))
                cells.push_back(cell);
            if (header) {
                for (size_t i = 0; i < cells.size(); ++i)
                    cols_[cells[i]] = i;
                header = false;
            } else {
                rows_.push_back(cells);
            }
        }
        EXPECT_FALSE(rows_.empty()) << name << " has no rows";
    }

    size_t size() const { return rows_.size(); }

    double num(size_t row, const std::string& col) const
    {
        const std::string& s = text(row, col);
        if (s == "NA" || s == "NaN")
            return std::nan("");
        if (s == "Inf")
            return INFINITY;
        if (s == "-Inf")
            return -INFINITY;
        return std::strtod(s.c_str(), nullptr);
    }

    const std::string& text(size_t row, const std::string& col) const
    {
        auto it = cols_.find(col);
        if (it == cols_.end()) {
            ADD_FAILURE() << "no column " << col;
            static const std::string empty;
            return empty;
        }
        return rows_[row][it->second];
    }

  private:
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

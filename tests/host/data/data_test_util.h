// Helpers for the data-layer tests: a temporary folder with files, and
// capture of the log.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vyr_data.h"

namespace vyrtest
{

class TempDir
{
  public:
    TempDir()
    {
        char tmpl[] = "/tmp/korv-data-XXXXXX";
        const char* d = mkdtemp(tmpl);
        path_ = d ? d : "/tmp";
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const
    {
        std::ofstream o(file(name), std::ios::binary);
        o << content;
        return file(name);
    }
    std::string read(const std::string& name) const
    {
        std::ifstream i(file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(i), std::istreambuf_iterator<char>());
    }
    bool exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

  private:
    std::string path_;
};

// Opens a CSV file as an input data set, capturing the log; returns the
// handle (null on failure) and the log text.
inline DSHANDLE* open_input(const std::string& path, std::string* log = nullptr)
{
    testing::internal::CaptureStderr();
    DSHANDLE* ds = nullptr;
    vyr_dsopen_path(path, VYR_DS_INPUT, &ds);
    std::string text = testing::internal::GetCapturedStderr();
    if (log)
        *log = text;
    return ds;
}

// Everything a data set holds: its columns and every value (numbers as
// their bytes, so that missing values and -0 compare exactly).
struct Snapshot {
    std::vector<vyr::data::ColumnInfo> cols;
    std::vector<std::vector<std::string>> values; // per column
    bool operator==(const Snapshot& o) const
    {
        if (cols.size() != o.cols.size() || values != o.values)
            return false;
        for (size_t c = 0; c < cols.size(); ++c)
            if (cols[c].name != o.cols[c].name || cols[c].numeric != o.cols[c].numeric ||
                cols[c].length != o.cols[c].length)
                return false;
        return true;
    }
};

inline Snapshot snapshot(DSHANDLE* ds)
{
    Snapshot s;
    s.cols = vyr::data::columns(ds);
    for (size_t c = 0; c < s.cols.size(); ++c) {
        s.values.emplace_back();
        for (long obs = 1; obs <= vyr_dsnobs(ds); ++obs) {
            if (s.cols[c].numeric) {
                double v = vyr::data::number(ds, obs, static_cast<int>(c) + 1);
                s.values.back().emplace_back(reinterpret_cast<const char*>(&v), sizeof v);
            } else {
                s.values.back().push_back(vyr::data::text(ds, obs, static_cast<int>(c) + 1));
            }
        }
    }
    return s;
}

} // namespace vyrtest

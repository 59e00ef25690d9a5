// Helpers for the data-layer tests: a temporary folder with files, and
// capture of the log.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

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

} // namespace vyrtest

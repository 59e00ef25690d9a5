// Running a whole program in the stand-in host and reading back the files it
// wrote: a fresh folder per test, the settings that name the files, the
// files' text and counts of what they hold.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "vyr_session.h"

namespace runfiles
{

namespace fs = std::filesystem;

// An empty folder of this process for the test named by `tag`.
inline fs::path freshDir(const std::string& tag)
{
    fs::path dir =
        fs::temp_directory_path() / ("korv_output_" + tag + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// A run in `dir` writing stem.lst and stem.log and, with `documents`, also
// stem.html and stem.json.
inline VyrSettings settings(const fs::path& dir, const std::string& stem, bool documents = true)
{
    VyrSettings s;
    s.program = (dir / "prog.vyr").string();
    s.outDir = dir.string();
    s.listing = (dir / (stem + ".lst")).string();
    s.log = (dir / (stem + ".log")).string();
    if (documents) {
        s.html = (dir / (stem + ".html")).string();
        s.json = (dir / (stem + ".json")).string();
    }
    return s;
}

inline std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// How often `what` occurs in `text`.
inline size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace runfiles

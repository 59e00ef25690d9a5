// Golden files: a test's whole output compared byte for byte with a file
// kept under the source tree. With KORV_UPDATE_GOLDEN=1 in the environment
// the file is rewritten with what the test made instead (review the diff
// before committing it). A missing golden file fails the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/reference.h"

namespace korvtest
{

inline bool updating_goldens()
{
    const char* u = std::getenv("KORV_UPDATE_GOLDEN");
    return u && *u == '1';
}

// The line (from 1) at which two texts first differ, with both lines.
inline std::string first_difference(const std::string& want, const std::string& got)
{
    std::istringstream a(want), b(got);
    std::string la, lb;
    for (int line = 1;; ++line) {
        const bool ha = static_cast<bool>(std::getline(a, la));
        const bool hb = static_cast<bool>(std::getline(b, lb));
        if (!ha && !hb)
            return "the texts differ only in their last line ending";
        if (!ha || !hb || la != lb)
            return "first difference at line " + std::to_string(line) +
                   ":\n  golden: " + (ha ? la : "(end)") + "\n  made:   " + (hb ? lb : "(end)");
    }
}

// Compares `actual` with the golden file `path` (from the top of the source
// tree), or rewrites that file under the update switch.
inline void compare_golden(const std::string& path, const std::string& actual)
{
    const std::string file = source_dir() + "/" + path;
    if (updating_goldens()) {
        std::ofstream(file, std::ios::binary) << actual;
        return;
    }
    std::ifstream in(file, std::ios::binary);
    ASSERT_TRUE(in) << "missing golden file " << file
                    << " (KORV_UPDATE_GOLDEN=1 writes it; review it before committing)";
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string expected = ss.str();
    EXPECT_TRUE(expected == actual)
        << path << " differs from what was made; " << first_difference(expected, actual);
}

} // namespace korvtest

// Every room keeps its own catalogue file; two files giving the same group and
// number would silently replace one text with the other, so the files must
// never overlap, and every entry line must be well formed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

TEST(CatalogueFiles, EntriesAreWellFormedAndUnique)
{
    fs::path dir = fs::path(KORV_SOURCE_DIR) / "src/host/messages/catalogue";
    ASSERT_TRUE(fs::is_directory(dir));
    std::map<std::pair<long, long>, std::string> seen;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".txt")
            continue;
        ++files;
        std::ifstream in(entry.path());
        std::string line;
        int lineno = 0;
        while (std::getline(in, line)) {
            ++lineno;
            if (line.empty() || line[0] == '#' || line.find_first_not_of(" \t\r") == std::string::npos)
                continue;
            std::istringstream ls(line);
            long group = -1, number = -1;
            ls >> group >> number;
            std::string where = entry.path().filename().string() + ":" + std::to_string(lineno);
            ASSERT_FALSE(ls.fail()) << "malformed entry at " << where;
            EXPECT_GE(group, 0) << where;
            EXPECT_GE(number, 0) << where;
            auto [it, fresh] = seen.emplace(std::make_pair(group, number), where);
            EXPECT_TRUE(fresh) << "message " << group << "/" << number << " at " << where
                               << " is already given at " << it->second;
        }
    }
    EXPECT_GT(files, 1);
}

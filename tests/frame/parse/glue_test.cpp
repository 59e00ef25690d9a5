// The parser glue: the block gets the host's routines once, and names are
// read out of a chained name list.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "frame/korvg.h"
#include "runtime/xsparse.h"

namespace
{

// A name-list block: next block in word 2, last element number in word 4,
// names from byte 32 (length byte, characters).
struct Block {
    std::vector<unsigned char> bytes;
    Block(const std::vector<std::string>& names, int64_t last)
    {
        bytes.assign(32, 0);
        std::memcpy(bytes.data() + 24, &last, sizeof last);
        for (const auto& n : names) {
            bytes.push_back(static_cast<unsigned char>(n.size()));
            bytes.insert(bytes.end(), n.begin(), n.end());
        }
    }
    void link(Block& next)
    {
        void* p = next.bytes.data();
        std::memcpy(bytes.data() + 8, &p, sizeof p);
    }
};

std::string get(const void* list, int k, int* rc)
{
    const char* p = nullptr;
    int n = -7;
    *rc = zgetnmr(list, k, &p, &n);
    return *rc == 0 ? std::string(p, static_cast<std::size_t>(n)) : "";
}

TEST(Glue, NamesFromAChainOfBlocks)
{
    Block a({"AGE", "SEX"}, 1), b({"WEIGHT", "X", "Y"}, 4);
    a.link(b);
    int rc = 0;
    EXPECT_EQ(get(a.bytes.data(), 0, &rc), "AGE");
    EXPECT_EQ(get(a.bytes.data(), 1, &rc), "SEX");
    EXPECT_EQ(get(a.bytes.data(), 2, &rc), "WEIGHT");
    EXPECT_EQ(get(a.bytes.data(), 4, &rc), "Y");
    EXPECT_EQ(rc, 0);
    // One past the last element, a negative number and an empty list: 1,
    // and the outputs are left alone.
    const char* p = nullptr;
    int n = -7;
    EXPECT_EQ(zgetnmr(a.bytes.data(), 5, &p, &n), 1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(n, -7);
    EXPECT_EQ(zgetnmr(a.bytes.data(), -1, &p, &n), 1);
    EXPECT_EQ(zgetnmr(nullptr, 0, &p, &n), 1);
}

TEST(Glue, SettersAndDefaults)
{
    PARSECONTROL pc{};
    int anchor = 0;
    xsctrak(&pc, &anchor);
    EXPECT_EQ(pc.track, &anchor);
    xscsem(&pc, &xsem);
    EXPECT_EQ(pc.semroutine, &xsem);
    xsctok(&pc, nullptr);
    EXPECT_EQ(pc.tokroutine, nullptr);
}

} // namespace

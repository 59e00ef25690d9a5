// Forests of trees: more values than one buffer holds, spilled tree by tree
// to a utility file and found again; a value twice is refused; a forest set
// up again lets go of the file it spilled to.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devplot/zggraf.h"

namespace
{

TREEND nodeOf(const char* value, int id)
{
    TREEND n;
    std::memset(static_cast<void*>(&n), ' ', sizeof n);
    std::memset(static_cast<void*>(&n.t), 0, sizeof n.t);
    n.id = id;
    std::memcpy(n.name, value, std::strlen(value));
    return n;
}

struct Forest : ::testing::Test {
    FORESTR f{};
    POOLHANDLE* pool = nullptr;
    void SetUp() override { pool = xmpoolc(0, 1024, 2); }
    void TearDown() override
    {
        zforend(&f);
        xmpoold(pool);
    }
};

} // namespace

TEST_F(Forest, SevenValuesInTreesOfThreeSpillAndAreFoundAgain)
{
    TREE* buf = nullptr;
    ASSERT_EQ(zforset(&f, &buf, &pool, 3, 64, 16, 28), 0);
    const char* values[] = {"delta", "alpha", "golf", "charlie", "echo", "bravo", "foxtrot"};
    for (int j = 0; j < 7; ++j) {
        TREEND n = nodeOf(values[j], j);
        TREE* got = nullptr;
        ASSERT_EQ(zforbld(&f, &n.t, &got), 1) << values[j];
        ASSERT_NE(got, nullptr);
    }
    EXPECT_EQ(f.ntrees, 3);
    EXPECT_EQ(f.nnodes_u, 1);
    ASSERT_NE(f.xcptr, nullptr);
    // Trees 0 and 1 were written whole; tree 2 is written with its one node.
    ASSERT_EQ(zforwrt(&f), 0);
    std::vector<char> bytes(64);
    EXPECT_EQ(xcpoint(f.xcptr, 2 * 192), 0);
    EXPECT_EQ(xcread(f.xcptr, bytes.data(), 64), 0);
    EXPECT_LT(xcread(f.xcptr, bytes.data(), 64), 0);
    // Every value is found with its own index, wherever its tree lies.
    for (int j = 6; j >= 0; --j) {
        TREEND key = nodeOf(values[j], 0);
        TREE* hit = nullptr;
        ASSERT_EQ(zforfnd(&f, &key.t, &hit), 0) << values[j];
        EXPECT_EQ(reinterpret_cast<TREEND*>(hit)->id, j);
    }
    // A value met again returns the node that holds it.
    TREEND again = nodeOf("charlie", 99);
    TREE* hit = nullptr;
    EXPECT_EQ(zforbld(&f, &again.t, &hit), 0);
    EXPECT_EQ(reinterpret_cast<TREEND*>(hit)->id, 3);
    TREEND none = nodeOf("hotel", 0);
    EXPECT_EQ(zforfnd(&f, &none.t, &hit), 1);
    EXPECT_EQ(hit, nullptr);
    // Only the first 16 characters are the key.
    TREEND longer = nodeOf("alpha", 0);
    std::memcpy(longer.name + 20, "ignored", 7);
    EXPECT_EQ(zforfnd(&f, &longer.t, &hit), 0);
}

TEST_F(Forest, BadSizesAreRefused)
{
    TREE* buf = nullptr;
    EXPECT_EQ(zforset(&f, &buf, &pool, 0, 64, 16, 28), -3);
    EXPECT_EQ(zforset(&f, &buf, &pool, 3, 0, 16, 28), -3);
    EXPECT_EQ(zforset(nullptr, &buf, &pool, 3, 64, 16, 28), -3);
}

TEST_F(Forest, SettingUpAgainClosesTheSpillFile)
{
    const int before = xcopenfiles();
    TREE* buf = nullptr;
    ASSERT_EQ(zforset(&f, &buf, &pool, 1, 64, 16, 28), 0);
    for (int j = 0; j < 3; ++j) {
        TREEND n = nodeOf(std::to_string(j).c_str(), j);
        TREE* got = nullptr;
        ASSERT_EQ(zforbld(&f, &n.t, &got), 1);
    }
    EXPECT_EQ(xcopenfiles(), before + 1);
    ASSERT_EQ(zforset(&f, &buf, &pool, 1, 64, 16, 28), 0);
    EXPECT_EQ(xcopenfiles(), before);
    EXPECT_EQ(f.ntrees, 0);
}

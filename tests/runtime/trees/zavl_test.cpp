// Threaded AVL trees: invariants after random insertions and removals,
// threads to the in-order neighbours, walks in both directions and the list
// conversion.
#include "runtime/zavl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace
{

struct MMNODE {
    zavlS avln;
    long seqnum;
    char name[6];
};
constexpr long OFF = offsetof(MMNODE, name);
constexpr long LEN = 6;

std::string key(const zavlP p)
{
    return std::string(reinterpret_cast<const char*>(p) + OFF, LEN);
}

bool thread(uintptr_t l)
{
    return l & 1u;
}
zavlP target(uintptr_t l)
{
    return reinterpret_cast<zavlP>(l & ~uintptr_t(1));
}

// Checks balances and heights; collects the nodes in order.
int check(zavlP p, std::vector<zavlP>& out)
{
    int hl = thread(p->left) ? 0 : check(target(p->left), out);
    out.push_back(p);
    int hr = thread(p->right) ? 0 : check(target(p->right), out);
    EXPECT_EQ(p->balance, hr - hl);
    EXPECT_LE(std::abs(hr - hl), 1);
    return 1 + std::max(hl, hr);
}

// Full check: shape, key order, threads pointing at the in-order neighbours
// and both walks.
void expect_valid(zavlP root, const std::set<std::string>& keys)
{
    if (keys.empty()) {
        EXPECT_EQ(root, nullptr);
        return;
    }
    std::vector<zavlP> nodes;
    int h = check(root, nodes);
    ASSERT_EQ(nodes.size(), keys.size());
    EXPECT_LE(h, 1.45 * std::log2(keys.size() + 2.0) + 1);
    size_t i = 0;
    for (const auto& k : keys)
        EXPECT_EQ(key(nodes[i++]), k);
    for (size_t j = 0; j < nodes.size(); ++j) {
        zavlP prev = j ? nodes[j - 1] : nullptr;
        zavlP next = j + 1 < nodes.size() ? nodes[j + 1] : nullptr;
        if (thread(nodes[j]->left)) {
            EXPECT_EQ(target(nodes[j]->left), prev);
        }
        if (thread(nodes[j]->right)) {
            EXPECT_EQ(target(nodes[j]->right), next);
        }
    }
    zavlP p = zavl_first_node(root);
    for (size_t j = 0; j < nodes.size(); ++j, p = zavl_next_node(p))
        ASSERT_EQ(p, nodes[j]);
    EXPECT_EQ(p, nullptr);
    p = zavl_last_node(root);
    for (size_t j = nodes.size(); j-- > 0; p = zavl_prev_node(p))
        ASSERT_EQ(p, nodes[j]);
    EXPECT_EQ(p, nullptr);
}

std::string make_key(unsigned v)
{
    char b[LEN];
    std::snprintf(b, sizeof b, "%05u", v % 100000);
    return std::string(b, 5) + static_cast<char>(v % 3 == 0 ? 0x80 : 0x7F);
}

TEST(Zavl, RandomInsertionsAndRemovalsKeepTheTreeSound)
{
    std::mt19937 rng(11);
    std::vector<MMNODE> pool(800);
    zavlP root = nullptr;
    std::set<std::string> keys;
    for (size_t i = 0; i < pool.size(); ++i) {
        MMNODE& n = pool[i];
        std::memset(&n, 0, sizeof n);
        std::string k = make_key(static_cast<unsigned>(rng() % 500));
        std::memcpy(n.name, k.data(), LEN);
        zavlP got = zavl_add_tchra(&root, &n.avln, OFF, LEN);
        if (keys.insert(k).second) {
            EXPECT_EQ(got, &n.avln);
        } else {
            EXPECT_EQ(key(got), k);
        }
        if (i % 97 == 0)
            expect_valid(root, keys);
    }
    expect_valid(root, keys);
    for (const auto& k : keys)
        EXPECT_NE(zavl_find_tchra(root, k.data(), OFF, LEN), nullptr);
    EXPECT_EQ(zavl_find_tchra(root, "zzzzzz", OFF, LEN), nullptr);

    // Remove every other key in random order, checking as we go.
    std::vector<std::string> order(keys.begin(), keys.end());
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t i = 0; i < order.size(); ++i) {
        zavlP removed = zavl_rem_tchra(&root, order[i].data(), OFF, LEN);
        ASSERT_NE(removed, nullptr);
        EXPECT_EQ(key(removed), order[i]);
        keys.erase(order[i]);
        EXPECT_EQ(zavl_rem_tchra(&root, order[i].data(), OFF, LEN), nullptr);
        if (i % 41 == 0 || keys.size() < 5)
            expect_valid(root, keys);
    }
    EXPECT_EQ(root, nullptr);
}

TEST(Zavl, OneNodeAndUnsignedByteOrder)
{
    MMNODE a{}, b{};
    std::memcpy(a.name, "abcde\x80", LEN);
    std::memcpy(b.name, "abcde\x7f", LEN);
    zavlP root = nullptr;
    zavl_add_tchra(&root, &a.avln, OFF, LEN);
    EXPECT_EQ(zavl_first_node(root), &a.avln);
    EXPECT_EQ(zavl_last_node(root), &a.avln);
    EXPECT_EQ(zavl_next_node(&a.avln), nullptr);
    EXPECT_EQ(zavl_prev_node(&a.avln), nullptr);
    zavl_add_tchra(&root, &b.avln, OFF, LEN);
    EXPECT_EQ(zavl_first_node(root), &b.avln); // 0x7F orders before 0x80
    EXPECT_EQ(zavl_first_node(nullptr), nullptr);
    // Removing the only node empties the tree and clears its links.
    EXPECT_EQ(zavl_rem_tchra(&root, b.name, OFF, LEN), &b.avln);
    EXPECT_EQ(zavl_rem_tchra(&root, a.name, OFF, LEN), &a.avln);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(a.avln.left, 0u);
    EXPECT_EQ(a.avln.right, 0u);
}

TEST(Zavl, ListConversionLinksEveryNodeBothWays)
{
    std::vector<MMNODE> pool(50);
    zavlP root = nullptr;
    for (unsigned i = 0; i < pool.size(); ++i) {
        std::string k = make_key((i * 7919u) % 1000);
        std::memcpy(pool[i].name, k.data(), LEN);
        zavl_add_tchra(&root, &pool[i].avln, OFF, LEN);
    }
    zavlP first = zavl2list(root);
    EXPECT_EQ(first->left, 1u);
    int n = 0;
    zavlP prev = nullptr;
    for (zavlP p = first; p; p = target(p->right)) {
        EXPECT_TRUE(thread(p->left));
        EXPECT_TRUE(thread(p->right));
        EXPECT_EQ(target(p->left), prev);
        if (prev) {
            EXPECT_LT(key(prev), key(p));
        }
        prev = p;
        ++n;
    }
    EXPECT_EQ(n, 50);
    EXPECT_EQ(prev->right, 1u);
}

} // namespace

// Balanced trees: AVL invariants under random insertion with each kind of
// key, rotations, inconsistent comparators, in-order walks and threading.
#include "runtime/missing.h"
#include "runtime/ztree.h"

#include "support/step_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace
{

struct Node {
    TREE t;
    char key[8]; // byte keys
    double d;    // numeric keys
    int id;      // comparator keys
};
constexpr int KEY_OFF = offsetof(Node, key);
constexpr int D_OFF = offsetof(Node, d);

int by_id(char* a, char* b, int, int)
{
    int x = reinterpret_cast<Node*>(a)->id, y = reinterpret_cast<Node*>(b)->id;
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Checks balance factors, heights and ordering; returns the height and
// appends the nodes in order.
int check(TREE* p, std::vector<TREE*>& out, int len, int off, cmpfptr f)
{
    if (!p)
        return 0;
    int hl = check(p->llink, out, len, off, f);
    out.push_back(p);
    int hr = check(p->rlink, out, len, off, f);
    EXPECT_EQ(p->bal, hr - hl);
    EXPECT_LE(std::abs(hr - hl), 1);
    return 1 + std::max(hl, hr);
}

void expect_valid(TREE* root, size_t count, int len, int off, cmpfptr f)
{
    std::vector<TREE*> nodes;
    int h = check(root, nodes, len, off, f);
    ASSERT_EQ(nodes.size(), count);
    for (size_t i = 1; i < nodes.size(); ++i) {
        TREE* a = nodes[i - 1];
        TREE* b = nodes[i];
        int c;
        if (f)
            c = f(reinterpret_cast<char*>(a), reinterpret_cast<char*>(b), len, off);
        else if (len > 0)
            c = std::memcmp(reinterpret_cast<char*>(a) + off, reinterpret_cast<char*>(b) + off,
                            len);
        else
            c = wzbcoff(reinterpret_cast<char*>(a), reinterpret_cast<char*>(b), -1, off);
        EXPECT_LT(c, 0) << "in-order position " << i;
    }
    // An AVL tree of n nodes is at most about 1.44 log2(n + 2) high.
    EXPECT_LE(h, 1.45 * std::log2(count + 2.0) + 1);
}

struct Snapshot {
    std::vector<std::tuple<TREE*, TREE*, short>> links;
};
Snapshot snap(std::vector<Node>& nodes)
{
    Snapshot s;
    for (auto& n : nodes)
        s.links.emplace_back(n.t.llink, n.t.rlink, n.t.bal);
    return s;
}
bool same(const Snapshot& a, const Snapshot& b)
{
    return a.links == b.links;
}

TEST(Ztree, RandomInsertsKeepAvlInvariantsForEveryKeyKind)
{
    std::mt19937 rng(7);
    for (int kind = 0; kind < 3; ++kind) {
        std::vector<Node> nodes(600);
        TREE* root = nullptr;
        size_t linked = 0;
        std::set<int> seen;
        for (size_t i = 0; i < nodes.size(); ++i) {
            Node& n = nodes[i];
            std::memset(&n, 0, sizeof n);
            int v = static_cast<int>(rng() % 400); // duplicates happen
            n.id = v;
            uint32_t be = __builtin_bswap32(static_cast<uint32_t>(v));
            std::memcpy(n.key, &be, 4);
            if (kind == 1 && v % 37 == 0)
                n.d = korv_special_missing(static_cast<unsigned char>(0xE0 + v % 5));
            else
                n.d = v / 7.0 - 20;
            int len = kind == 0 ? 4 : -1;
            int off = kind == 0 ? KEY_OFF : D_OFF;
            cmpfptr f = kind == 2 ? by_id : nullptr;
            TREE* got = ztrebdf(&root, &n.t, len, off, f);
            ASSERT_NE(got, nullptr);
            // Keys equal under the comparison map to the same node.
            int cls = (kind == 1 && v % 37 == 0) ? 1000 + v % 5 : v;
            if (seen.insert(cls).second) {
                EXPECT_EQ(got, &n.t);
                ++linked;
            } else {
                EXPECT_NE(got, &n.t);
                EXPECT_EQ(ztrefdf(&root, &n.t, len, off, f), got);
            }
        }
        int len = kind == 0 ? 4 : -1;
        int off = kind == 0 ? KEY_OFF : D_OFF;
        expect_valid(root, linked, len, off, kind == 2 ? by_id : nullptr);
        // Every inserted key is found; absent keys are not.
        for (auto& n : nodes)
            EXPECT_NE(ztrefdf(&root, &n.t, len, off, kind == 2 ? by_id : nullptr), nullptr);
        Node absent{};
        absent.id = 999;
        uint32_t be = __builtin_bswap32(999u);
        std::memcpy(absent.key, &be, 4);
        absent.d = 1e9;
        EXPECT_EQ(ztrefdf(&root, &absent.t, len, off, kind == 2 ? by_id : nullptr), nullptr);
    }
}

TEST(Ztree, MissingKeysOrderBelowNumbersAndNegativeBeforeZero)
{
    std::vector<Node> nodes(5);
    double vals[] = {0.0, -0.5, korv_missing(), 3.0, korv_special_missing(0xFF)};
    TREE* root = nullptr;
    for (int i = 0; i < 5; ++i) {
        nodes[i] = Node{};
        nodes[i].d = vals[i];
        ASSERT_EQ(ztrebdf(&root, &nodes[i].t, -1, D_OFF, nullptr), &nodes[i].t);
    }
    std::vector<TREE*> order;
    check(root, order, -1, D_OFF, nullptr);
    ASSERT_EQ(order.size(), 5u);
    // ._ (byte 5 = 0xFF) before the ordinary missing value, then numbers.
    EXPECT_EQ(order[0], &nodes[4].t);
    EXPECT_EQ(order[1], &nodes[2].t);
    EXPECT_EQ(order[2], &nodes[1].t);
    EXPECT_EQ(order[3], &nodes[0].t);
    Node probe{};
    probe.d = -0.0;
    EXPECT_EQ(ztrefdf(&root, &probe.t, -1, D_OFF, nullptr), &nodes[0].t);
}

// A comparator that answers consistently only on its first call per node.
int g_calls[64];
int flaky(char* a, char* b, int, int)
{
    Node* x = reinterpret_cast<Node*>(a);
    Node* y = reinterpret_cast<Node*>(b);
    int base = x->id < y->id ? -1 : (x->id > y->id ? 1 : 0);
    return (g_calls[y->id]++ == 0) ? base : -base;
}

TEST(Ztree, InconsistentComparatorLeavesTheTreeAsItWas)
{
    auto r = step_probe::run([] {
        std::vector<Node> nodes(40);
        TREE* root = nullptr;
        for (int i = 0; i < 39; ++i) {
            nodes[i] = Node{};
            nodes[i].id = 2 * i;
            ztrebdf(&root, &nodes[i].t, 0, 0, by_id);
        }
        Snapshot before = snap(nodes);
        TREE* rootBefore = root;
        nodes[39] = Node{};
        nodes[39].id = 41;
        std::memset(g_calls, 0, sizeof g_calls);
        EXPECT_EQ(ztrebdf(&root, &nodes[39].t, 0, 0, flaky), nullptr);
        EXPECT_EQ(root, rootBefore);
        EXPECT_TRUE(same(before, snap(nodes)));
        expect_valid(root, 39, 0, 0, by_id);
        // The tree still takes the node with a sound comparator.
        EXPECT_EQ(ztrebdf(&root, &nodes[39].t, 0, 0, by_id), &nodes[39].t);
        expect_valid(root, 40, 0, 0, by_id);
    });
    EXPECT_EQ(step_probe::count(r.log, "ztrebld: invalid compare"), 1) << r.log;
}

TEST(Ztree, WalkVisitsInOrderAndRestoresTheRoot)
{
    std::vector<Node> nodes(300);
    TREE* root = nullptr;
    std::mt19937 rng(3);
    std::vector<int> ids(300);
    for (int i = 0; i < 300; ++i)
        ids[i] = i;
    std::shuffle(ids.begin(), ids.end(), rng);
    for (int i = 0; i < 300; ++i) {
        nodes[i] = Node{};
        nodes[i].id = ids[i];
        ztrebdf(&root, &nodes[i].t, 0, 0, by_id);
    }
    Snapshot before = snap(nodes);
    int expect = 0;
    for (TREE* p = ztreord(root); p; p = ztreord(root))
        EXPECT_EQ(reinterpret_cast<Node*>(p)->id, expect++);
    EXPECT_EQ(expect, 300);
    EXPECT_TRUE(same(before, snap(nodes)));

    // Ended early: the root gets its fields back, and a new walk starts over.
    EXPECT_EQ(reinterpret_cast<Node*>(ztreord(root))->id, 0);
    EXPECT_EQ(reinterpret_cast<Node*>(ztreord(root))->id, 1);
    ztreofx(root);
    EXPECT_TRUE(same(before, snap(nodes)));
    EXPECT_EQ(reinterpret_cast<Node*>(ztreord(root))->id, 0);
    ztreofx(root);
    ztreofx(root); // no walk in progress: nothing changes
    EXPECT_TRUE(same(before, snap(nodes)));
}

TEST(Ztree, WalkOfOneNodeAndThreadingIntoAList)
{
    Node one{};
    one.id = 5;
    TREE* root = nullptr;
    ztrebdf(&root, &one.t, 0, 0, by_id);
    EXPECT_EQ(ztreord(root), &one.t);
    EXPECT_EQ(ztreord(root), nullptr);
    EXPECT_EQ(one.t.llink, nullptr);
    EXPECT_EQ(one.t.bal, 0);

    std::vector<Node> nodes(100);
    root = nullptr;
    for (int i = 0; i < 100; ++i) {
        nodes[i] = Node{};
        nodes[i].id = (i * 37) % 100;
        ztrebdf(&root, &nodes[i].t, 0, 0, by_id);
    }
    ztrelst(&root);
    int expect = 0;
    for (TREE* p = root; p; p = p->llink) {
        EXPECT_EQ(reinterpret_cast<Node*>(p)->id, expect++);
        EXPECT_EQ(p->rlink, nullptr);
    }
    EXPECT_EQ(expect, 100);
    TREE* empty = nullptr;
    ztrelst(&empty);
    EXPECT_EQ(empty, nullptr);
}

} // namespace

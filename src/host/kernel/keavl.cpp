// The "qxeavl" extension: AVL trees with typed keys over the callers' nodes.
// A node's left link carries its balance in the two low bits (nodes are
// 8-byte aligned); successor and predecessor are found by a descent from
// the root, so nodes need no parent links or threads.
#include "kernel_internal.h"
#include "vyr_missing.h"

#include <cstring>
#include <mutex>

using namespace vyr::kernel;

namespace
{

constexpr int MAX_PATH = 128;

struct KTree {
    QXEAVL_S base;
    std::mutex lock;
};

using N = QXEAVLNODE;

N* left(N* n)
{
    return reinterpret_cast<N*>(reinterpret_cast<uintptr_t>(n->l) & ~uintptr_t(3));
}
N* right(N* n)
{
    return n->r;
}
int bal(N* n)
{
    return static_cast<int>(reinterpret_cast<uintptr_t>(n->l) & 3u) - 1;
}
void set_left(N* n, N* p)
{
    n->l = reinterpret_cast<N*>(reinterpret_cast<uintptr_t>(p) |
                                (reinterpret_cast<uintptr_t>(n->l) & 3u));
}
void set_bal(N* n, int b)
{
    n->l = reinterpret_cast<N*>((reinterpret_cast<uintptr_t>(n->l) & ~uintptr_t(3)) |
                                static_cast<uintptr_t>(b + 1));
}
N* child(N* n, int d)
{
    return d < 0 ? left(n) : right(n);
}
void set_child(N* n, int d, N* p)
{
    if (d < 0)
        set_left(n, p);
    else
        n->r = p;
}

int compare_keys(const QXEAVLPARMS& p, const char* a, const char* b)
{
    switch (p.keytype) {
    case QXEAVL_KEY_CHAR: {
        int c = std::memcmp(a, b, static_cast<size_t>(p.keylength));
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case QXEAVL_KEY_DOUBLE:
    case QXEAVL_KEY_DOUBLE_MISS:
        for (QXMemSize i = 0; i < p.keylength; ++i) {
            int c = wzbcoff(a, b, -1, static_cast<int>(i * sizeof(double)));
            if (c)
                return c;
        }
        return 0;
    case QXEAVL_KEY_INT:
        for (QXMemSize i = 0; i < p.keylength; ++i) {
            int32_t x, y;
            std::memcpy(&x, a + i * 4, 4);
            std::memcpy(&y, b + i * 4, 4);
            if (x != y)
                return x < y ? -1 : 1;
        }
        return 0;
    default:
        return 0;
    }
}

const char* key_of(QXEAVLh t, N* n)
{
    return reinterpret_cast<const char*>(n) + t->parms.keyoffset;
}

N* t_adder(QXEAVLh t, N* node)
{
    if (!node || (reinterpret_cast<uintptr_t>(node) & 7u) != 0)
        return nullptr;
    const char* key = key_of(t, node);
    if (!t->head) {
        node->l = nullptr;
        node->r = nullptr;
        set_bal(node, 0);
        t->head = node;
        return node;
    }
    N* path[MAX_PATH];
    int dirs[MAX_PATH];
    int depth = 0, s_index = 0;
    for (N* p = t->head; p;) {
        int c = compare_keys(t->parms, key, key_of(t, p));
        if (c == 0)
            return p;
        if (depth == MAX_PATH)
            return nullptr;
        if (bal(p) != 0)
            s_index = depth;
        path[depth] = p;
        dirs[depth] = c;
        ++depth;
        p = child(p, c);
    }
    node->l = nullptr;
    node->r = nullptr;
    set_bal(node, 0);
    set_child(path[depth - 1], dirs[depth - 1], node);
    for (int k = s_index + 1; k < depth; ++k)
        set_bal(path[k], dirs[k]);
    N* s = path[s_index];
    int a = dirs[s_index];
    if (bal(s) == 0) {
        set_bal(s, a);
        return node;
    }
    if (bal(s) == -a) {
        set_bal(s, 0);
        return node;
    }
    N* r = child(s, a);
    N* top;
    if (bal(r) == a) {
        set_child(s, a, child(r, -a));
        set_child(r, -a, s);
        set_bal(s, 0);
        set_bal(r, 0);
        top = r;
    } else {
        N* q = child(r, -a);
        int qb = bal(q);
        set_child(r, -a, child(q, a));
        set_child(q, a, r);
        set_child(s, a, child(q, -a));
        set_child(q, -a, s);
        set_bal(s, qb == a ? -a : 0);
        set_bal(r, qb == -a ? a : 0);
        set_bal(q, 0);
        top = q;
    }
    if (s_index == 0)
        t->head = top;
    else
        set_child(path[s_index - 1], dirs[s_index - 1], top);
    return node;
}

N* t_finder(QXEAVLh t, const void* key)
{
    for (N* p = t->head; p;) {
        int c = compare_keys(t->parms, static_cast<const char*>(key), key_of(t, p));
        if (c == 0)
            return p;
        p = child(p, c);
    }
    return nullptr;
}

N* t_end(QXEAVLh t, int d)
{
    N* p = t->head;
    if (!p)
        return nullptr;
    while (child(p, d))
        p = child(p, d);
    return p;
}
N* t_first(QXEAVLh t)
{
    return t_end(t, -1);
}
N* t_last(QXEAVLh t)
{
    return t_end(t, 1);
}

// The nearest node beyond `node` in direction d (1 next, -1 previous).
N* t_step(QXEAVLh t, N* node, int d)
{
    if (!node)
        return nullptr;
    const char* key = key_of(t, node);
    N* best = nullptr;
    for (N* p = t->head; p;) {
        int c = compare_keys(t->parms, key, key_of(t, p));
        if (c == -d) { // p lies beyond node in direction d
            best = p;
            p = child(p, -d);
        } else {
            p = child(p, d);
        }
    }
    return best;
}
N* t_next(QXEAVLh t, N* node)
{
    return t_step(t, node, 1);
}
N* t_prev(QXEAVLh t, N* node)
{
    return t_step(t, node, -1);
}

QXStatus t_lockGet(QXEAVLh t)
{
    reinterpret_cast<KTree*>(t)->lock.lock();
    return QX_OK;
}
QXStatus t_lockRelease(QXEAVLh t)
{
    reinterpret_cast<KTree*>(t)->lock.unlock();
    return QX_OK;
}
QXStatus t_destroy(void* self)
{
    delete static_cast<KTree*>(self);
    return QX_OK;
}

QXEAVLh ext_create(QXEAVL_EXTENSION*, const QXEAVLPARMS* parms, void*, void*)
{
    if (!parms || parms->keylength == 0)
        return nullptr;
    switch (parms->keytype) {
    case QXEAVL_KEY_CHAR:
    case QXEAVL_KEY_DOUBLE:
    case QXEAVL_KEY_DOUBLE_MISS:
    case QXEAVL_KEY_INT:
        break;
    default:
        return nullptr;
    }
    auto* t = new KTree();
    t->base.hdr = {0x6C766165, t_destroy};
    t->base.head = nullptr;
    t->base.adder = t_adder;
    t->base.finder = t_finder;
    t->base.first = t_first;
    t->base.last = t_last;
    t->base.next = t_next;
    t->base.prev = t_prev;
    t->base.lockGet = t_lockGet;
    t->base.lockRelease = t_lockRelease;
    t->base.parms = *parms;
    return &t->base;
}

QXStatus shared_destroy(void*)
{
    return QX_OK;
}
QXEAVL_EXTENSION g_ext = {{0x6C766165, shared_destroy}, ext_create};

} // namespace

namespace vyr::kernel
{
void* load_eavl(QXHandle*)
{
    return &g_ext;
}
} // namespace vyr::kernel

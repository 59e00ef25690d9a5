// Threaded AVL trees with character keys.
#include "runtime/zavl.h"

#include <cstring>

namespace
{

constexpr int MAX_PATH = 128;

bool is_thread(uintptr_t link)
{
    return (link & 1u) != 0;
}
zavlP ptr(uintptr_t link)
{
    return reinterpret_cast<zavlP>(link & ~static_cast<uintptr_t>(1));
}
uintptr_t thread_to(zavlP p)
{
    return reinterpret_cast<uintptr_t>(p) | 1u;
}
uintptr_t child_link(zavlP p)
{
    return reinterpret_cast<uintptr_t>(p);
}

uintptr_t& link(zavlP p, int dir)
{
    return dir < 0 ? p->left : p->right;
}
bool has_child(zavlP p, int dir)
{
    return !is_thread(link(p, dir));
}
zavlP child(zavlP p, int dir)
{
    return ptr(link(p, dir));
}

int cmp_key(const void* key, zavlP node, long off, long n)
{
    return std::memcmp(key, reinterpret_cast<const char*>(node) + off, static_cast<size_t>(n));
}

const void* key_of(zavlP node, long off)
{
    return reinterpret_cast<const char*>(node) + off;
}

// Single rotation of s toward -a (its child r on side a rises). Where the
// moved subtree is empty, s keeps a thread to r instead. Returns r.
zavlP rotate1(zavlP s, int a)
{
    zavlP r = child(s, a);
    if (has_child(r, -a))
        link(s, a) = link(r, -a);
    else
        link(s, a) = thread_to(r);
    link(r, -a) = child_link(s);
    return r;
}

// Double rotation: q, r's child on side -a, rises above s and r; balances
// set by the usual rule from q's balance. Returns q.
zavlP rotate2(zavlP s, int a)
{
    zavlP r = child(s, a);
    zavlP q = child(r, -a);
    if (has_child(q, a))
        link(r, -a) = link(q, a);
    else
        link(r, -a) = thread_to(q);
    link(q, a) = child_link(r);
    if (has_child(q, -a))
        link(s, a) = link(q, -a);
    else
        link(s, a) = thread_to(q);
    link(q, -a) = child_link(s);
    s->balance = static_cast<short>(q->balance == a ? -a : 0);
    r->balance = static_cast<short>(q->balance == -a ? a : 0);
    q->balance = 0;
    return q;
}

void replace_in_parent(zavlP* headptr, zavlP* path, int* dirs, int k, zavlP top)
{
    if (k == 0)
        *headptr = top;
    else
        link(path[k - 1], dirs[k - 1]) = child_link(top);
}

} // namespace

zavlP zavl_add_tchra(zavlP* headptr, zavlP now, long off, long n)
{
    if (!*headptr) {
        now->left = now->right = 1;
        now->balance = 0;
        *headptr = now;
        return now;
    }
    zavlP path[MAX_PATH];
    int dirs[MAX_PATH];
    int depth = 0;
    zavlP p = *headptr;
    const void* key = key_of(now, off);
    for (;;) {
        int c = cmp_key(key, p, off, n);
        if (c == 0)
            return p;
        if (depth == MAX_PATH)
            return nullptr;
        int d = c < 0 ? -1 : 1;
        path[depth] = p;
        dirs[depth] = d;
        ++depth;
        if (!has_child(p, d))
            break;
        p = child(p, d);
    }
    // Link as a leaf: it inherits the parent's thread on its side and threads
    // back to the parent on the other.
    int d = dirs[depth - 1];
    link(now, d) = link(p, d);
    link(now, -d) = thread_to(p);
    link(p, d) = child_link(now);
    now->balance = 0;
    // Walk up adjusting balances.
    for (int k = depth - 1; k >= 0; --k) {
        zavlP s = path[k];
        int a = dirs[k];
        if (s->balance == 0) {
            s->balance = static_cast<short>(a);
            continue;
        }
        if (s->balance == -a) {
            s->balance = 0;
            return now;
        }
        zavlP r = child(s, a);
        zavlP top;
        if (r->balance == a) {
            top = rotate1(s, a);
            s->balance = r->balance = 0;
        } else {
            top = rotate2(s, a);
        }
        replace_in_parent(headptr, path, dirs, k, top);
        return now;
    }
    return now;
}

zavlP zavl_find_tchra(zavlP head, const void* nowKey, long off, long n)
{
    zavlP p = head;
    while (p) {
        int c = cmp_key(nowKey, p, off, n);
        if (c == 0)
            return p;
        int d = c < 0 ? -1 : 1;
        if (!has_child(p, d))
            return nullptr;
        p = child(p, d);
    }
    return nullptr;
}

zavlP zavl_first_node(zavlP head)
{
    if (!head)
        return nullptr;
    zavlP p = head;
    while (has_child(p, -1))
        p = child(p, -1);
    return p;
}

zavlP zavl_last_node(zavlP head)
{
    if (!head)
        return nullptr;
    zavlP p = head;
    while (has_child(p, 1))
        p = child(p, 1);
    return p;
}

zavlP zavl_next_node(zavlP c)
{
    if (!c)
        return nullptr;
    if (is_thread(c->right))
        return ptr(c->right);
    zavlP p = child(c, 1);
    while (has_child(p, -1))
        p = child(p, -1);
    return p;
}

zavlP zavl_prev_node(zavlP c)
{
    if (!c)
        return nullptr;
    if (is_thread(c->left))
        return ptr(c->left);
    zavlP p = child(c, -1);
    while (has_child(p, 1))
        p = child(p, 1);
    return p;
}

zavlP zavl_rem_tchra(zavlP* headptr, const void* nowKey, long off, long n)
{
    zavlP path[MAX_PATH];
    int dirs[MAX_PATH];
    int depth = 0;
    zavlP x = *headptr;
    while (x) {
        int c = cmp_key(nowKey, x, off, n);
        if (c == 0)
            break;
        if (depth == MAX_PATH)
            return nullptr;
        int d = c < 0 ? -1 : 1;
        path[depth] = x;
        dirs[depth] = d;
        ++depth;
        x = has_child(x, d) ? child(x, d) : nullptr;
    }
    if (!x)
        return nullptr;

    const bool hasL = has_child(x, -1), hasR = has_child(x, 1);
    int xk = depth; // position of x (or its replacement) on the path
    if (hasL && hasR) {
        // Replace x by its in-order neighbour on its heavier (or left) side.
        int a = x->balance <= 0 ? -1 : 1;
        path[depth] = x; // placeholder, becomes the replacement below
        dirs[depth] = a;
        ++depth;
        zavlP y = child(x, a);
        while (has_child(y, -a)) {
            path[depth] = y;
            dirs[depth] = -a;
            ++depth;
            y = child(y, -a);
        }
        // The neighbour on the far side of x threads to x; it will thread to y.
        zavlP far = a < 0 ? zavl_next_node(x) : zavl_prev_node(x);
        // Unlink y from its place.
        zavlP py = path[depth - 1];
        if (py == x) {
            // y is x's direct child: it keeps its own subtree on side a.
        } else {
            if (has_child(y, a))
                link(py, -a) = link(y, a);
            else
                link(py, -a) = thread_to(y);
            link(y, a) = link(x, a);
        }
        link(y, -a) = link(x, -a);
        y->balance = x->balance;
        if (far)
            link(far, a) = thread_to(y);
        replace_in_parent(headptr, path, dirs, xk, y);
        path[xk] = y;
    } else {
        int side = hasL ? -1 : (hasR ? 1 : 0);
        if (side == 0) {
            // A leaf: the parent takes x's thread on that side.
            if (depth == 0)
                *headptr = nullptr;
            else
                link(path[depth - 1], dirs[depth - 1]) = link(x, dirs[depth - 1]);
        } else {
            // One child: the neighbour inside that subtree threads past x.
            zavlP nb = side < 0 ? zavl_prev_node(x) : zavl_next_node(x);
            link(nb, -side) = link(x, -side);
            zavlP c = child(x, side);
            if (depth == 0)
                *headptr = c;
            else
                link(path[depth - 1], dirs[depth - 1]) = child_link(c);
        }
    }
    // Repair balances upwards: the subtree on side dirs[k] of path[k] lost
    // one level of height.
    for (int k = depth - 1; k >= 0; --k) {
        zavlP s = path[k];
        int d = dirs[k];
        if (s->balance == d) {
            s->balance = 0;
            continue;
        }
        if (s->balance == 0) {
            s->balance = static_cast<short>(-d);
            break;
        }
        int a = -d;
        zavlP r = child(s, a);
        zavlP top;
        bool shorter = true;
        if (r->balance == 0) {
            top = rotate1(s, a);
            s->balance = static_cast<short>(a);
            r->balance = static_cast<short>(-a);
            shorter = false;
        } else if (r->balance == a) {
            top = rotate1(s, a);
            s->balance = r->balance = 0;
        } else {
            top = rotate2(s, a);
        }
        replace_in_parent(headptr, path, dirs, k, top);
        path[k] = top;
        if (!shorter)
            break;
    }
    x->left = x->right = 0;
    x->balance = 0;
    return x;
}

zavlP zavl2list(zavlP head)
{
    zavlP first = zavl_first_node(head);
    zavlP prev = nullptr;
    for (zavlP cur = first; cur;) {
        zavlP nxt = zavl_next_node(cur);
        cur->left = prev ? thread_to(prev) : 1;
        cur->right = nxt ? thread_to(nxt) : 1;
        prev = cur;
        cur = nxt;
    }
    return first;
}

// Balanced trees (Knuth's Algorithm A for insertion).
#include "runtime/ztree.h"

#include "runtime/missing.h"
#include "vyr_host.h"

#include <cstdint>
#include <cstring>

namespace
{

constexpr short WALK_MARK = 17;
constexpr int WALK_STACK = 960;
constexpr int MAX_PATH = 128; // far above the height of any balanced tree in memory

struct NODE {
    TREE t;      // the root's own llink, rlink and bal while the walk runs
    TREE* empty; // bottom-of-stack sentinel
    TREE* stack[WALK_STACK];
    TREE** stacktop;
};

int compare(TREE* a, TREE* b, int len, int off, cmpfptr func)
{
    char* pa = reinterpret_cast<char*>(a);
    char* pb = reinterpret_cast<char*>(b);
    if (func)
        return func(pa, pb, len, off);
    if (len > 0)
        return std::memcmp(pa + off, pb + off, static_cast<size_t>(len));
    return wzbcoff(pa, pb, -1, off);
}

TREE*& child(TREE* p, int dir)
{
    return dir < 0 ? p->llink : p->rlink;
}

} // namespace

int ztrecc(char* a, char* b, int len, int off)
{
    return len > 0 ? std::memcmp(a + off, b + off, static_cast<size_t>(len)) : 0;
}

TREE* ztrebdf(TREE** headptr, TREE* now, int len, int off, cmpfptr func)
{
    if (!*headptr) {
        now->llink = now->rlink = nullptr;
        now->bal = 0;
        *headptr = now;
        return now;
    }
    // Search, remembering the path and the direction taken at each node.
    TREE* path[MAX_PATH];
    int dirs[MAX_PATH];
    int depth = 0;
    int s_index = 0; // index in path of S, the last node with a non-zero balance
    TREE* p = *headptr;
    while (p) {
        int c = compare(now, p, len, off, func);
        if (c == 0)
            return p;
        if (depth == MAX_PATH) {
            xebug("ztrebld: invalid compare");
            return nullptr;
        }
        if (p->bal != 0)
            s_index = depth;
        path[depth] = p;
        dirs[depth] = c < 0 ? -1 : 1;
        ++depth;
        p = child(path[depth - 1], dirs[depth - 1]);
    }
    // A consistent comparator gives the same answers again from S downward;
    // check them before anything is changed so that an inconsistent one
    // leaves the tree exactly as it was.
    for (int k = s_index; k < depth; ++k) {
        int c = compare(now, path[k], len, off, func);
        if (c == 0 || (c < 0 ? -1 : 1) != dirs[k]) {
            xebug("ztrebld: invalid compare");
            return nullptr;
        }
    }
    now->llink = now->rlink = nullptr;
    now->bal = 0;
    child(path[depth - 1], dirs[depth - 1]) = now;
    for (int k = s_index + 1; k < depth; ++k)
        path[k]->bal = static_cast<short>(dirs[k]);

    TREE* s = path[s_index];
    int a = dirs[s_index];
    if (s->bal == 0) {
        s->bal = static_cast<short>(a);
        return now;
    }
    if (s->bal == -a) {
        s->bal = 0;
        return now;
    }
    // Rebalance at S.
    TREE* r = child(s, a);
    TREE* top;
    if (r->bal == a) { // single rotation
        child(s, a) = child(r, -a);
        child(r, -a) = s;
        s->bal = r->bal = 0;
        top = r;
    } else { // double rotation
        TREE* q = child(r, -a);
        child(r, -a) = child(q, a);
        child(q, a) = r;
        child(s, a) = child(q, -a);
        child(q, -a) = s;
        s->bal = static_cast<short>(q->bal == a ? -a : 0);
        r->bal = static_cast<short>(q->bal == -a ? a : 0);
        q->bal = 0;
        top = q;
    }
    if (s_index == 0)
        *headptr = top;
    else
        child(path[s_index - 1], dirs[s_index - 1]) = top;
    return now;
}

TREE* ztrebld(TREE** headptr, TREE* now, int len, int off)
{
    return ztrebdf(headptr, now, len, off, nullptr);
}

TREE* ztrefdf(TREE** headptr, TREE* now, int len, int off, cmpfptr func)
{
    TREE* p = *headptr;
    while (p) {
        int c = compare(now, p, len, off, func);
        if (c == 0)
            return p;
        p = c < 0 ? p->llink : p->rlink;
    }
    return nullptr;
}

TREE* ztrefnd(TREE** headptr, TREE* now, int len, int off)
{
    return ztrefdf(headptr, now, len, off, nullptr);
}

namespace
{

void end_walk(TREE* head, NODE* state)
{
    head->llink = state->t.llink;
    head->bal = state->t.bal;
    POOLHANDLE* pool = xlongpool();
    pool->free(pool, state, -1, 4);
}

} // namespace

TREE* ztreord(TREE* head)
{
    if (!head)
        return nullptr;
    NODE* state;
    TREE* start;
    if (head->bal != WALK_MARK) {
        POOLHANDLE* pool = xlongpool();
        state = static_cast<NODE*>(pool->allocate(pool, sizeof(NODE), 0x2004));
        if (!state) {
            xebug("ZTREORD: no memory for the walk");
            return nullptr;
        }
        state->t.llink = head->llink;
        state->t.rlink = head->rlink;
        state->t.bal = head->bal;
        state->empty = nullptr;
        state->stacktop = &state->empty;
        head->bal = WALK_MARK;
        head->llink = reinterpret_cast<TREE*>(state);
        start = &state->t;
    } else {
        state = reinterpret_cast<NODE*>(head->llink);
        TREE* top = *state->stacktop;
        state->stacktop = state->stacktop == &state->stack[0] ? &state->empty : state->stacktop - 1;
        start = top->rlink;
    }
    for (TREE* p = start; p; p = p->llink) {
        if (state->stacktop == &state->stack[WALK_STACK - 1]) {
            xebug("ZTREORD: overflow stack");
            state->stacktop = &state->empty;
            break;
        }
        state->stacktop = state->stacktop == &state->empty ? &state->stack[0] : state->stacktop + 1;
        *state->stacktop = p;
    }
    if (state->stacktop == &state->empty) {
        end_walk(head, state);
        return nullptr;
    }
    TREE* top = *state->stacktop;
    return top == &state->t ? head : top;
}

void ztreofx(TREE* head)
{
    if (head && head->bal == WALK_MARK)
        end_walk(head, reinterpret_cast<NODE*>(head->llink));
}

void ztrelst(TREE** headptr)
{
    // In-order walk with an explicit stack, linking each node to the next.
    TREE* stack[MAX_PATH];
    int top = 0;
    TREE* first = nullptr;
    TREE* prev = nullptr;
    TREE* p = *headptr;
    while (p || top > 0) {
        while (p) {
            if (top == MAX_PATH) {
                xebug("ztrelst: tree too deep");
                return;
            }
            stack[top++] = p;
            p = p->llink;
        }
        TREE* n = stack[--top];
        p = n->rlink;
        n->rlink = nullptr;
        n->bal = 0;
        if (prev)
            prev->llink = n;
        else
            first = n;
        prev = n;
    }
    if (prev)
        prev->llink = nullptr;
    *headptr = first;
}

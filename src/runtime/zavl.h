// Threaded AVL trees with character keys: empty links are threads to the
// in-order neighbours, so walks need neither a stack nor parent links.
#pragma once

#include <cstdint>

// Node header at the start of the caller's node record. A link whose lowest
// bit is 1 is a thread: with the bit cleared it points to the in-order
// predecessor (left) or successor (right), or is 0 at the ends (the value 1
// alone is an empty thread). Nodes must be at least 2-byte aligned.
struct zavlS {
    uintptr_t left;
    uintptr_t right;
    short balance; // -1 left side higher, 0, +1 right side higher
};
using zavlP = zavlS*;

// Keys are n bytes at byte offset off in each node, compared as unsigned
// bytes. Lookup and removal take a pointer to the n key bytes themselves.
zavlP zavl_add_tchra(zavlP* headptr, zavlP now, long off, long n);
zavlP zavl_find_tchra(zavlP head, const void* nowKey, long off, long n);
zavlP zavl_rem_tchra(zavlP* headptr, const void* nowKey, long off, long n);
zavlP zavl_first_node(zavlP head);
zavlP zavl_last_node(zavlP head);
zavlP zavl_next_node(zavlP c);
zavlP zavl_prev_node(zavlP c);
// Turns the tree into a doubly linked list in key order (all links become
// threads) and returns its first node. The result is no longer a tree.
zavlP zavl2list(zavlP head);

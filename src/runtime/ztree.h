// Height-balanced binary search trees whose nodes are the callers' own
// records: every node begins with the TREE header and the key lies at a byte
// offset inside the node. The tree code never allocates or frees a node.
#pragma once

struct TREE {
    TREE* llink; // left subtree
    TREE* rlink; // right subtree
    short bal;   // -1 left side higher, 0 balanced, +1 right side higher
};

// Comparator: negative when a's key orders before b's, 0 equal, positive
// after; len and off are passed through from the caller.
using cmpfptr = int (*)(char* a, char* b, int len, int off);

// Inserts `now` and returns it, or returns the node whose key equals now's
// (now is then not linked). An inconsistent comparator is reported as
// "ztrebld: invalid compare" and gives null with the tree left as it was.
// Without a comparator, len > 0 compares len unsigned bytes at off and
// len <= 0 compares the doubles at off (missing values below numbers).
TREE* ztrebdf(TREE** headptr, TREE* now, int len, int off, cmpfptr func);
// The same with the built-in comparison.
TREE* ztrebld(TREE** headptr, TREE* now, int len, int off);
// The node whose key equals now's, or null.
TREE* ztrefdf(TREE** headptr, TREE* now, int len, int off, cmpfptr func);
// The same with the built-in comparison.
TREE* ztrefnd(TREE** headptr, TREE* now, int len, int off);
// memcmp of len bytes at off, in comparator form.
int ztrecc(char* a, char* b, int len, int off);
// In-order walk: the next node per call, null when the walk is over. The
// walk marks the root (bal 17) and keeps its state in the root's llink until
// it ends; the tree must not be changed meanwhile.
TREE* ztreord(TREE* head);
// Ends a walk early and restores the root.
void ztreofx(TREE* head);
// Threads the tree into a list in key order through llink (rlink cleared,
// the last node's llink null) and sets *headptr to the first node.
void ztrelst(TREE** headptr);

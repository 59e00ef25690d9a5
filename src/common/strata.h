// Strata, groups and the records of the survival data pass: the stratum and
// group tree nodes, the GROUP= variable, the chain of block positions in the
// utility file, the STRATA variable descriptions with the layout of the strata
// key, the comparison context, the paged record store and the graph-inset
// p-values. Nodes start with the balanced-tree header (left, right, bal) so
// the tree routines can link them; their key follows the header.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/korvcom.h"
#include "common/records.h"
#include "numeric/scaledsum.h"

struct NAMESTR; // a host variable descriptor (host data sets)
struct XCBSTORE;

// Block positions of one block of a stratum's records in the utility file.
// A position of 0 in both notet and notef marks an element not yet written.
struct NOTESTR {
    NOTESTR* next;
    NOTESTR* last;
    double notet; // times
    double notef; // signed frequencies
    double notew; // weights
    double notei; // IDs
    double notec; // covariates
    double noteg; // group indexes
};

// A stratum's records counted per distinct time, made when the stratum is
// ranked: what the tests across strata need of it, in a fraction of the
// records' space. Only made when every frequency is a whole number and the
// stratum's total is an exact count, so that sums of the counts in any order
// are the sums of the records; and only when the times repeat.
struct TIMETALLY {
    int64_t n;        // distinct times
    double* time;     // ascending
    double* events;   // frequency of the events at the time
    double* censored; // frequency of the censored records at the time
    korv_num::ScaledSum lrTime; // frequency x time in record order (likelihood ratio)
};

// The total time of a stratum's records for the likelihood-ratio test:
// frequency x time added up in record order, in a power-of-two unit that
// stays 1 unless the plain sum would overflow.
inline korv_num::ScaledSum korv_lr_time(const double* times, const double* freqs, int64_t n)
{
    korv_num::ScaledSum tk;
    for (int64_t i = 0; i < n; ++i)
        tk.add(std::fabs(freqs[i]), times[i]);
    return tk;
}

// One stratum: tree header, counts and sums, the current record blocks, the
// chain of written blocks, results of the estimators, then the key.
struct STRATA {
    STRATA* left;  // left subtree; after threading the next stratum in key order
    STRATA* right; // right subtree
    short bal;     // balance of the tree
    short bal2;
    int Stratum;     // stratum number (estimators)
    double miss;     // 0 at creation
    int64_t nobs;    // records stored; also the index of the next record
    double cum;      // sum of frequencies
    double cen;      // sum of frequencies of censored records
    double cenwt;    // sum of frequency x weight, censored (WEIGHT)
    double cumwt;    // sum of frequency x weight (WEIGHT)
    double cumwt2;   // sum of frequency x weight squared (WEIGHT)
    int64_t fail;    // during the pass: sign of the previous frequency; then failures
    int64_t uniqcen; // number of censored records
    double cmiss;    // frequency of records with a missing TEST covariate
    double plotnote; // plot-point file positions
    double cplotpos;
    double* time;    // record block: times
    double* freq;    // record block: frequencies, negated when censored
    double* wt;      // record block: weights
    int index;       // creation number (competing risks) or estimator's index
    int* group;      // record block: group indexes
    char* id;        // record block: ID values
    double* cv;      // record block: TEST covariates
    NOTESTR* note;   // first element of the chain of block positions
    double mean;     // during the pass: previous time; then the mean survival time
    double mse;      // standard error of the mean
    double quant[3]; // 25th, 50th, 75th percentiles
    double qtlower[3];
    double qtupper[3];
    double timemax;           // largest time
    double censmax;           // largest censored time
    void* userptr;            // free slot for the estimators
    TIMETALLY* tally;         // counts per distinct time, or null (made by korvbeg)
    alignas(8) char value[8]; // the strata key (slenf + slenu bytes; may run past)
};
// Byte offset of the key in a stratum node, and the bytes to allocate for a
// node whose key has `keylen` bytes.
inline constexpr int STRATA_KEY_OFFSET = static_cast<int>(offsetof(STRATA, value));
inline int64_t strata_node_size(int keylen)
{
    int64_t n = STRATA_KEY_OFFSET + (keylen > 0 ? keylen : 0);
    return n < static_cast<int64_t>(sizeof(STRATA)) ? static_cast<int64_t>(sizeof(STRATA)) : n;
}

// One row of a stratum's life table: the counts of an interval and its
// estimates. A variance of -1 means none could be formed.
struct LIFETABLE {
    double n_die;     // event frequency in the interval
    double n_with;    // withdrawn (censored) frequency in the interval
    double effective; // effective sample size: at risk at the start less half the withdrawn
    double surv;      // survival at the start of the interval
    double svar;      // its (Greenwood) variance
    double qfail;     // conditional probability of failure in the interval
    double qvar;
    double haz; // hazard at the midpoint
    double hvar;
    double pden; // density at the midpoint
    double pvar;
    double med; // median residual lifetime of those entering the interval
    double mvar;
};
static_assert(sizeof(LIFETABLE) == 13 * sizeof(double), "thirteen doubles per interval");

// One level of the GROUP= variable.
struct GRPTREE {
    GRPTREE* left;
    GRPTREE* right;
    short bal;
    short bal2;
    int index; // group number in order of first appearance, from 0
    int groupno;
    int64_t nobs;
    int64_t fail;
    int64_t uniqcen;
    double cum;
    double cumwt;
    double cumwt2;
    double cen;
    double cenwt;
    double censmax;
    double mean;
    double mse;
    double quant[3];
    double qtlower[3];
    double qtupper[3];
    double timemax;
    alignas(8) char value[8]; // formatted text (lenf bytes), then the raw value (lenu)
};
inline constexpr int GRPTREE_KEY_OFFSET = static_cast<int>(offsetof(GRPTREE, value));
inline int64_t grptree_node_size(int keylen)
{
    int64_t n = GRPTREE_KEY_OFFSET + (keylen > 0 ? keylen : 0);
    return n < static_cast<int64_t>(sizeof(GRPTREE)) ? static_cast<int64_t>(sizeof(GRPTREE)) : n;
}

// The GROUP= variable (made by the STRATA-statement parser).
struct GRPVAR {
    GRPTREE* ghead; // tree root; after threading the first group
    void* plotmisc; // graph dynamic blocks of the group graphs
    NAMESTR* nm;    // variable descriptor
    char* value;    // the current observation's value: formatted, then raw
    int last;       // groups made so far (the next index)
    int lenf;       // formatted length (format width rounded up to 8)
    int lenu;       // raw length (8 numeric, else the variable length)
    int ngrp;
    int nplotmisc;
    double groupno; // current group number (plot-data column GroupNum)
    double cum;     // current group sums
    double cen;
};

// One STRATA variable and its two slots in the strata key.
struct SNAMESTR {
    NAMESTR* nm;      // variable descriptor
    varstring* name;  // its name
    short type;       // 1 numeric, 2 character
    int lngu;         // raw length (a character value may take up to 32767 bytes)
    int posu;         // raw position in the key
    int lngf;         // formatted length
    int posf;         // formatted position
    short nfl;        // 0 interval (cut points), 1 raw numeric value, 2 formatted text
    short cutnum;     // number of cut points
    double* cutpoint; // cut points, ascending
};

// What the key comparisons read; registered by the STRATA-statement parser in
// the procedure block's user pointer.
struct MYDATA {
    SNAMESTR* sname;
    GRPVAR* grpvar;
    int nsvar;
    int sorder; // 0 ORDER=FORMATTED, 1 ORDER=INTERNAL
};

// A paged record store.
struct XCBSTR {
    XCBSTORE* fileptr;
    int64_t reclen;   // record length in bytes
    int64_t npage;    // pages in use
    int64_t nrpp;     // records per page
    int64_t lastleft; // records left on the last page
};

// P-values shown in graph insets, and the per-stratum text keys.
struct OGSTAT {
    xobskey* strval;
    double logrank;
    double wilcoxon;
    double tarone;
    double peto;
    double modpeto;
    double fleming;
    double lr;
};

// The key of a node, addressed from the node itself (the key may be longer
// than the declared member).
inline char* strata_key(STRATA* s)
{
    return reinterpret_cast<char*>(s) + STRATA_KEY_OFFSET;
}
inline char* grptree_key(GRPTREE* g)
{
    return reinterpret_cast<char*>(g) + GRPTREE_KEY_OFFSET;
}

// The current stratum's identification text: a buffer of KORVCOM.hdrlen
// bytes and the length in use (written per stratum by the estimators).
struct STRATUMID {
    char* label;
    int len;
};

// Empties the strata values of the current row (a Total row): numeric raw
// values become the host's empty-cell value, texts and intervals blanks
// (common/korvut.cpp, beside the stratum labels of korvut).
void korvbsv(KorvPtr q);

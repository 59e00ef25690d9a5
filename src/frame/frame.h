// The procedure frame: module and procedure entry, set-up, variable
// resolution, the strata and group trees, the survival data pass, the
// plot-data table and the stratum reread. Records are in common/strata.h, the
// ranking in frame/rank.h, the life-table boundaries in frame/intervals.h.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/korvcom.h"
#include "common/strata.h"
#include "frame/intervals.h"
#include "frame/rank.h"

// ---------------------------------------------------------------------------
// Module and procedure entry, BY-group driver.

// Image information returned to the host by the module entry.
struct WIPGMCON {
    int64_t stacksize;
    int64_t isa;
    int64_t osa;
    char name[8];
    int64_t flags;
    int (*ep)();
    int64_t imgtype;
    int64_t reserved[3];
};
struct VIMODCON {
    char tag[24];
    uint64_t modconmagic;
    uint64_t compat_flags;
    char portver[6];
    char portverl[20];
    char builddate[24];
    WIPGMCON** pgmcons;
    const char* text;
    char releasenum[4];
};

extern void* v_global_gcb_anchor;
extern void* v_global_pidb_anchor;

// Connects the module to the host and returns its image information.
VIMODCON* mcn_main(void* gcbanchor, void* pidb);
// The procedure entry: one step of PROC KORVANTE. Ends through xexit.
int vyrkorva();
// One BY group of the survival road / the competing-risks road.
void surPath(KORVCOM* q);
void cifPath(KORVCOM* q);
// Makes PROC KORVANTE known to the session (called by the command's start-up).
void korv_register_procedure();

// ---------------------------------------------------------------------------
// Set-up.
void korvint(KORVCOM* q);
void initial_housekeeping(KORVCOM* q);
void korvEndOfTask();
void shell(double* v, int n);
void Unique(double* t, int* n);
void SortAtRiskTimes(ATRISKTIME* art);
void setin(KORVCOM* q);

// The format width a variable's formatted value takes: its format's width,
// the format's default width, or (no format) 12 for a number and the stored
// length for a text.
int korv_format_width(const NAMESTR* nm);

// ---------------------------------------------------------------------------
// Strata and group trees.
STRATA* memnode(KORVCOM* q, POOLHANDLE* temporary);
GRPTREE* memgnode(KORVCOM* q, POOLHANDLE* pool);
void newnode(KORVCOM* q, STRATA* node);
int stratacmf(char* node1, char* node2, int len, int off);
int groupcmf(char* node1, char* node2, int len, int off);
void symbol(KORVCOM* q);

// The two comparisons on the keys themselves, with the context given.
int korv_strata_keycmp(const MYDATA* md, const char* key1, const char* key2);
int korv_group_keycmp(const MYDATA* md, const char* key1, const char* key2);

// Interval index of value v among ascending cut points: the number of cut
// points c <= v, plus 1; 0 for a missing value.
int korv_interval_index(double v, const double* cut, int ncut);
// Representative value of interval k (1 .. ncut+1); k 0 gives the missing value.
double korv_interval_value(int k, const double* cut, int ncut);

// A double at any byte offset of a record or key (such slots need not be
// aligned).
inline double read_double(const char* p)
{
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}
inline void write_double(char* p, double d)
{
    std::memcpy(p, &d, sizeof d);
}

// A double that is NaN without being a missing value is made the ordinary
// missing value, so that key comparisons stay consistent.
void korv_fix_nan(char* slot);

// After a pass: the texts of numeric strata values and the labels of
// interval strata, in the formatted slots of every stratum.
void korv_strata_labels(KORVCOM* q, STRATA* stratum);

// ---------------------------------------------------------------------------
// The survival data pass.
int korvdat(KORVCOM* q);
// Tests: whether the pass may read blocks of rows (the default) or reads
// every row through the fetch vector. Both find the same strata and records.
void korv_data_pass_blocks(bool on);
// Tests: the fewest rows of a range the block road checks on one thread
// (so that small data sets can be cut into many ranges).
void korv_data_pass_range_rows(long rows);
void writeout(KORVCOM* q, STRATA* stratum);
void PhantomData(KORVCOM* q);
// Display width and decimals of the plot data's event and at-risk counts
// from the largest stratum total m.
void korv_count_display(double m, bool fractional, int* width, int* decimals);

// Message number for dropped observations: base 541 (several) or 557 (one)
// plus 1 with STRATA variables, 2 with FREQ, 4 with WEIGHT, 8 with a
// censoring variable.
int korv_dropped_message(const KORVCOM* q, int64_t count);

// Stratum reread and ranking: the records back in q->times, q->freqs (and
// weights and IDs) in record order with the rank index in q->indxs, copies in
// rank order in q->rtimes, q->rfreqs (and q->rweights), and the stratum's
// counts per distinct time in stratum->tally when they can be exact.
void korvbeg(KORVCOM* q, STRATA* stratum);

// The same work done ahead, on a pool thread, into a stratum's own arrays
// taken from the group's work pool (q->polwork): korv_stratum_prepare reads
// the records through positioned reads, ranks and copies them and counts
// them per distinct time, touching nothing in the common block; false when
// memory or a read failed (then korvbeg does the work). korvbeg_prepared
// then makes the area the stratum's arrays on the calling thread, as
// korvbeg would have left them, and korv_stratum_release gives its memory
// back (the common block's own arrays are the caller's to restore).
struct StratumArea {
    static constexpr int MAX_BLOCKS = 11;
    void* blocks[MAX_BLOCKS] = {};
    int64_t sizes[MAX_BLOCKS] = {};
    int nblocks = 0;
    double* times = nullptr;
    double* freqs = nullptr;
    double* weights = nullptr;
    char* ids = nullptr;
    int64_t* indxs = nullptr;
    double* rtimes = nullptr;
    double* rfreqs = nullptr;
    double* rweights = nullptr;
    double* ahead = nullptr;  // counts still ahead (product-limit family), nobs + 1
    double* ahead2 = nullptr; // the same of frequency x weight squared (WEIGHT)
    int64_t distinct = -1;    // distinct times counted, or -1 (no counts)
    double* tally = nullptr;  // times, events, censored: distinct each
    korv_num::ScaledSum lrTime; // the likelihood ratio's total time
    bool ready = false;
};
// The bytes korv_stratum_prepare takes for a stratum (without its counts).
int64_t korv_stratum_bytes(const KORVCOM* q, const STRATA* stratum);
bool korv_stratum_prepare(const KORVCOM* q, const STRATA* stratum, StratumArea& area);
void korvbeg_prepared(KORVCOM* q, STRATA* stratum, const StratumArea& area);
void korv_stratum_release(KORVCOM* q, StratumArea& area);

// ---------------------------------------------------------------------------
// The competing-risks data pass (korvdac, common/stages.h) ends with this
// check: CMPRISK.disallow is set, with a message saying why, when Gray's test
// cannot be computed for the BY group.
void disallowTest(KORVCOM* q);

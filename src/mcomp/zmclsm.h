// The multiple-comparison engine's entry (zmclsm) and its control block, the
// reports of its simulations and step-down tests, and the small library over
// the control block for least-squares means: t statistics, the position of a
// pair among the differences, the control lookup and the lines display.
#pragma once

#include "mcomp/qxmclsm.h"
#include "vyr_host.h"
#include "vyr_output.h"

struct STLIST;
struct SURVDIFF;

using ZMCCKE = QXMCLSM_CKE;
using ZMCPDIFF = QXMCLSM_PDIFF;

// One line of the lines display.
struct ZMCLine {
    int column; // 1-based; after the renumbering, the rank of its character column
    int start;  // first and last sorted position covered
    int stop;
    QXChar mark; // the line's character
};

// The lines display of means not significantly different. `pool` is the
// caller's; every array comes from it.
struct ZMCLSML {
    int nlinecol; // character columns used
    int* mindex;  // the means' indexes in descending order of mean
    int* colused; // 60 flags, one per character column
    int* same;    // per sorted position a, the last sorted position a's line reaches
    QXChar* rows; // (2 nl - 1) rows of 60 characters
    POOLHANDLE* pool;
    ZMCLine* Line; // capacity nl
    int nLines;
};

// The control block: filled by the caller (cleared first), carrying results
// back. "out" fields are written by zmclsm.
struct ZMCLSMI {
    char qx;
    int debug;
    int nl; // levels (estimates)
    int rankL;
    int redrank;
    int method; // method code (QXMCLSM_T .. QXMCLSM_EXACT)
    int type;   // comparison type; out: the instance's, so callers save it
    int weighted;
    double* l;     // contrasts, null for the comparisons of the type
    int nRow;      // out
    int overall;   // ANOM weighting
    char side;     // out
    int step;      // 0, QXMCLSM_STEP_FREE, QXMCLSM_STEP_LOGICAL
    int steprep;   // report the step-down subsets
    int stepcsize; // logical constraints for the first stepcsize steps (-1: all)
    int stepliberal;
    int steporder;   // QXMCLSM_STEP_ORDP or QXMCLSM_STEP_ORDR
    int stepmaxtime; // seconds for the logical search
    int idxcntl;     // 0-based control level
    double dfe;      // error degrees of freedom; missing for none (normal reference)
    double* vdfe;
    double* var; // packed lower-triangular covariance of the nl estimates
    double* varchol;
    double* w;
    double p; // significance level
    int* mindexdef;
    POOLHANDLE* pool; // pool of the result arrays (null: the task's pool)
    POOLHANDLE* wpool;
    long seed;       // in/out
    double acc, eps; // in/out
    double nsamp;    // in/out
    int rep;         // simulation report
    int cva;         // in/out
    int ciexact;
    int tinc;     // seconds between progress notes
    double* mean; // the nl estimates
    double rmse;
    double q;      // out: the critical quantile (vdfe null)
    double* vq;    // out: per-comparison quantiles (vdfe given)
    int structure; // out
    int exact;     // out
    double* n;
    char ctype[12];
    double* sample;
    double* cvsamp;
    int ncmp;     // out
    double* adjp; // out: ncmp p-values in pool; the caller takes and frees it
    xobop vdq;    // output object of the reports
    int nochunk;
    double totalsamp;
    long csize; // in/out
    int nqeval;
    double* qeval;
    int* nonest;
    int* nest;
    int* nlncmp;
    ZMCLSML* lines;
    ZMCCKE* cke;
    ZMCPDIFF* pd;
    ZMCPDIFF* curpd;
    int RNGMethod; // in/out
    int rc;        // out: 0, 4 or 1012
    // When set, called once the results are in lmc (before the instance
    // goes): the caller prints what the reports refer to (its comparisons),
    // and the step-down and simulation reports follow it, each with a key
    // to its Cmp columns. Null: the reports come as the engine makes them.
    void (*beforeReports)(ZMCLSMI* lmc, void* context);
    void* reportsContext;
    int subsetPending; // a step-down simulation asked for its subsets report
    int logicalNoted;  // the engine said the logical constraints fell short
    const char* subject; // what is compared, as the notes name it (null: the comparisons)
};

// ---------------------------------------------------------------------------
// The entry.

// Runs one request through a fresh instance of "qxmclsm"; results in lmc.
void zmclsm(ZMCLSMI* lmc);

// The simulation settings of the control block from a DIFF= request: the
// request's own under ADJUST=SIMULATE (its seed drawn from the clock when it
// gave none), else the engine's defaults. The comparisons of the tests and of
// the restricted means both use it. Defined in korvdiff.cpp.
void korv_mc_simulation_settings(ZMCLSMI* lmc, const SURVDIFF* sd);
// The instance for lmc's request, or null.
QXMCLSM_INSTANCE* SetupInstance(ZMCLSMI* lmc, QXMCLSM_EXTENSION* ext);
// 1 when macro variable `name` reads as a number that is neither missing
// nor 0.
char CheckMacroVariable(const char* name);

// ---------------------------------------------------------------------------
// Reports (simulation and step-down).

void DoStepRep(QXMCLSM_INSTANCE* inst, xobop vdq);
// The subsets report of a step-down simulation, asked for while the engine
// runs and printed after the caller's results.
int DeferSubsetReport(QXMemPtr pp);
void DoSimDetails(QXMCLSM_INSTANCE* inst, xobop vdq);
int SubsetReport(QXMemPtr pp);
int TimingFunction(QXMemPtr pp, double t, double total);
// The note of an exact integral expected to take long (CostReport).
int CostFunction(QXMemPtr pp, double evaluations, double seconds, int dims);
// Elapsed seconds as h:mm:ss in a string of the host's second pool (the
// caller frees it), or null when t is out of range.
char* TimeString(double t);
// The h:mm:ss text of t seconds into buf (at least 80 bytes); false when t
// is out of range (negative, missing, or above 2^53 hours).
bool korv_mc_clock(double t, char* buf, int size);

// ---------------------------------------------------------------------------
// Least-squares means: t statistics, pair positions, the control lookup and
// the lines display.

double zlsmtd(ZMCLSMI* lmc, int i, int j);
double zlsmt(ZMCLSMI* lmc, int i);
double zlsmtda(ZMCLSMI* lmc, int i);
int CheckEstimability(ZMCLSMI* lmc);
int DiffIdx(ZMCLSMI* lmc, int i, int j);
void MSort(double* v, long n, int* w);
int zmclsml(ZMCLSMI* lmc, ZMCLSML* ll);
void ShellSortLines(ZMCLine* l, long n);
int CompareLines(const ZMCLine* l1, const ZMCLine* l2);

// Return codes of zmclsml.
enum : int {
    ZMCLSML_DONE = 0,
    ZMCLSML_TOO_MANY_LINES = 1,
    ZMCLSML_MEANS_MISSING = 2,
    ZMCLSML_ADJP_MISSING = 3,
    // The comparison type gives no position for every pair of means (a
    // control type, or no comparisons at all): nothing is drawn.
    ZMCLSML_TYPE_REFUSED = 4,
};

// The control lookup reads an effect's levels through the effect
// levelization library, which registers these services when it is built;
// `effect` and `model` are that library's records, passed through.
struct ZMCLEVELS {
    // Class values that identify one level of the effect.
    int (*EfClValN)(void* effect);
    // Parts of the effect: its effect variables, then its plain part.
    int (*nParts)(void* effect);
    // Class values of part p, and the level of part p whose class values
    // equal the given blank-trimmed texts (-1 when none).
    int (*EftClValN)(void* effect, int p);
    int (*EftClValParm)(void* effect, int p, char** values, int n);
    // Levels of part p (the multiplier of the level index).
    int (*PartLevels)(void* model, void* effect, int p);
    // The effect's name (for the messages).
    const char* (*Name)(void* effect, int* length);
};
// Registers the levelization library's services (null: none).
void zmc_register_levels(const ZMCLEVELS* services);
// The 0-based level of the effect named by CONTROL= values ncntl values of
// option list clist starting at item cidx0; 0 when ncntl is 0, -1 on
// failure (reported).
int zmccntl(int ncntl, STLIST* clist, int cidx0, void* model, void* effect);

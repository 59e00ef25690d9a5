// The comparison engine's kernel extension "qxmclsm" as its callers see it:
// the extension and instance records, the factory operations, the two
// callbacks the instance makes while it simulates, the parameter record it
// is created with, the item codes of ValueGet, the status values, and the
// records of its simulation and step-down reports.
//
// The extension is loaded by name through the kernel handle
// (loadExtension(h, "qxmclsm", 7, 0)); korv_mcomp_register_engine() makes the
// name known to the kernel and is called once at start-up. Its computations
// are in engine.cpp (the deterministic methods and the step-down forms) and
// engine_sim.cpp (the simulation).
#pragma once

#include <cstdint>

#include "runtime/zthreads.h"
#include "vyr_kernel.h"

// ---------------------------------------------------------------------------
// Codes.

// Methods.
enum : int {
    QXMCLSM_T = -6,     // no adjustment
    QXMCLSM_SIM = -5,   // simulated critical values
    QXMCLSM_F = -4,     // Scheffe
    QXMCLSM_GT2 = -3,   // studentized maximum modulus
    QXMCLSM_SIDAK = -2, // Sidak
    QXMCLSM_BON = -1,   // Bonferroni
    QXMCLSM_EXACT = 0,  // the exact method of the type: Tukey, Dunnett, Nelson
};

// Comparison types (QXMCLSM_COMPARISON_TYPES).
enum : int {
    QXMCLSM_NODIFF = -6,
    QXMCLSM_ANOM = -5,     // analysis of means
    QXMCLSM_CONTROLL = -4, // each level against a control, one-sided (lower)
    QXMCLSM_CONTROLU = -3, // each level against a control, one-sided (upper)
    QXMCLSM_CONTROL = -2,  // each level against a control
    QXMCLSM_ALL = -1,      // all pairs
};

// Step-down types and orders.
enum : int {
    QXMCLSM_STEP_FREE = 1,
    QXMCLSM_STEP_LOGICAL = 2,
    QXMCLSM_STEP_ORDP = 0, // hypotheses in the order of their p-values
    QXMCLSM_STEP_ORDR = 1, // hypotheses in row order
};

// ANOM weighting and the form of an estimability matrix.
enum : int { QXMCLSM_ANOM_WEIGHTED = 0, QXMCLSM_ANOM_UNWEIGHTED = 1 };
enum QXMCLSM_HERMITE_TYPE : int { QXMC_HERMITEZLEV = 0, QXMC_HERMITEXPN = 1 };

// Items of ValueGet (QXMCLSM_TYPES), with the type of their destination.
enum QXMCLSM_TYPES : int {
    QXMCLSM_STRUCTURE = 0,      // int: 0 uncorrelated and balanced, 1 uncorrelated and
                                // unbalanced, 2 correlated; negative: no comparisons
    QXMCLSM_ISEXACT = 1,        // int
    QXMCLSM_NCMP = 2,           // int
    QXMCLSM_TYPE = 3,           // int
    QXMCLSM_NROW = 4,           // int
    QXMCLSM_SIDE = 5,           // char: 'B' two-sided, 'U' upper, 'L' lower
    QXMCLSM_SEED = 6,           // long
    QXMCLSM_EPS = 7,            // double
    QXMCLSM_ACC = 8,            // double
    QXMCLSM_NSAMP = 9,          // double
    QXMCLSM_TOTALSAMP = 10,     // double
    QXMCLSM_CSIZE = 11,         // long
    QXMCLSM_CVA = 12,           // int
    QXMCLSM_QUANTILE_ADDR = 13, // double*: ncmp quantiles
    QXMCLSM_QUANTILE = 14,      // double
    QXMCLSM_ADJP_ADDR = 15,     // double*: ncmp p-values, or null
    QXMCLSM_PARMS_ADDR = 16,    // QXMCLSM_PARMS*
    QXMCLSM_SIMINFO_ADDR = 17,  // QXMCLSM_SIMINFO*
    QXMCLSM_STEPINFO_ADDR = 18, // QXMCLSM_STEPINFO*
    QXMCLSM_SEVERITY = 19,      // int
    QXMCLSM_EMPTY = 20,         // int
};

// Status values of Assess, Deterministic and Simulate.
inline constexpr QXStatus QXMCLSM_ABORTED = static_cast<int>(0x827FE80Au);      // no results
inline constexpr QXStatus QXMCLSM_ABORTED_EXIT = static_cast<int>(0x827FE80Fu); // ...and 1012
inline constexpr QXStatus QXMCLSM_NO_SIMULATION = static_cast<int>(0x827FE813u);
// Other statuses of this engine (no computation; severity and results are
// still read).
inline constexpr QXStatus QXMCLSM_E_INPUT = static_cast<int>(0x827FE801u);       // invalid input
inline constexpr QXStatus QXMCLSM_E_UNSUPPORTED = static_cast<int>(0x827FE802u); // not offered
// Most comparisons whose correlation the simulated adjustment forms (a matrix
// of 32 MB); more are refused.
inline constexpr int QXMCLSM_MAX_SIMULATED = 2000;
inline constexpr QXStatus QXMCLSM_E_STATE = static_cast<int>(0x827FE803u); // out of order

// ---------------------------------------------------------------------------
// Records the instance shares with the module.

// Estimability and parameter data of least-squares means (the module's
// ZMCCKE has this layout).
struct QXMCLSM_CKE {
    long np;         // parameters (the row stride of L)
    long rankX;      // length of the compressed vectors when bcompress is set
    int HermiteType; // QXMC_HERMITEZLEV or QXMC_HERMITEXPN
    double epsi;     // estimability tolerance; 0 means 1e-4
    double* L;       // nl rows of np coefficients
    double* cov;     // covariance of the parameter estimates (see the HermiteType)
    double* beta;    // parameter estimates
    double* anomL;   // the average coefficient row for ANOM (work)
    int* bcompress;  // np flags, non-zero for a kept parameter
    void* Hermite;   // H with H k = k for estimable k
    double* km;      // a work row of np doubles
};

// One statistic (the module's ZMCPDIFF has this layout).
struct QXMCLSM_PDIFF {
    double t, lcl, dif, est, ucl, std, adjp;
    char estimable;
    char* com;
};

// The parameter record the instance is created with; the instance keeps its
// own copy (item QXMCLSM_PARMS_ADDR).
struct QXMCLSM_PARMS {
    int debug;
    int flags;
    int nl;
    int redrank;
    int method;
    int type;
    int weighted;
    double* l;
    int nRow;
    int overall;
    char side;
    int nqeval;
    int step;
    int steprep;
    int stepcsize;
    int stepliberal;
    int steporder;
    int stepmaxtime;
    int idxcntl;
    int nochunk;
    int cei;
    double dfe;
    double* vdfe;
    double* var;
    double* w;
    double* qeval;
    double p;
    long csize;
    long seed;
    double acc;
    double eps;
    double nsamp;
    int rep;
    int cva;
    int ciexact;
    int tinc;
    double* mean;
    int* nonest;
    double rmse;
    QXMCLSM_CKE* cke;
    QXMCLSM_PDIFF* pd;
    QXChar* localeName;
    int numThreads;
    void* userPtr;
    // Set by the engine when it has said that the logical constraints were
    // not used for every step; the caller keeps it across the tests it
    // compares, so that the note is said once (null: said every time).
    int* logicalNoted;
    int RNGMethod;
    int nThread;
    QXPoolh GridInfoPool;
    _qxGridInfo* GridInfo;
    double nCompute;
};

// One quantile of the simulation report.
struct QXMCLSM_SIMELEM {
    double q;  // the quantile
    double ql; // lower and upper confidence limits of q (missing when not estimated)
    double qu;
    double p;     // estimated probability content P(max <= q)
    double ptrue; // the exact content, when known (else missing)
    int n01;      // samples below q but above the comparison quantile, and the reverse
    int n10;
    double var; // variance of p
    double wgt;
};

struct QXMCLSM_SIMINFO {
    long initseed;             // the seed used
    QXMCLSM_SIMELEM pvalue;    // the simulated quantile of the method
    int nq;                    // elements of quantile
    QXMCLSM_SIMELEM* quantile; // [0, ncmp): per comparison; then the report rows
    long nchunk;
};

struct QXMCLSM_STEPINFO {
    double* tObs; // per subset: the statistic tested
    int* Orig;    // per step: the 0-based comparison tested at that step
    int nSubsets;
    int* Subset;   // nSubsets rows of ncmp membership flags
    int* Step;     // per subset: its 0-based step
    double* pBon;  // per subset: the Bonferroni bound
    double* pEval; // per subset: the probability evaluated (null until computed)
    double* Simple;
    double* AvgCV;
    double* AvgCV2;
    double* GLS;  // per subset: the p-value used
    double* sGLS; // its standard error
    double t0;
    int status;
    int* PrtPart; // nSubsets rows of nl integers: the partition of the levels
    int* PrtRank; // per subset: the rank of its comparisons (degrees of freedom)
};

// ---------------------------------------------------------------------------
// The extension and its instances.
struct QXMCLSM_INSTANCE;

struct QXMCLSM_EXTERNAL {
    // Called by the instance during a step-down simulation once the step-down
    // information is filled; the argument is the instance.
    int (*SimStepReport)(QXMemPtr inst);
    // Progress of a simulation: the instance, the seconds elapsed and the
    // samples drawn so far.
    int (*TimeReport)(QXMemPtr inst, double t, double total);
    // Cost of the exact method's integral, said before most of it is done:
    // the instance, the evaluations it is expected to take, the seconds at
    // its first round's pace and its dimensions.
    int (*CostReport)(QXMemPtr inst, double evaluations, double seconds, int dims);
};

struct QXMCLSM_FACTORY {
    QXStatus (*ValueGet)(QXMCLSM_INSTANCE* inst, int item, void* dest, int flags);
    QXStatus (*DestroyInstance)(QXMCLSM_INSTANCE** inst);
    QXStatus (*Deterministic)(QXMCLSM_INSTANCE* inst);
    QXStatus (*Simulate)(QXMCLSM_INSTANCE* inst);
    QXStatus (*Assess)(QXMCLSM_INSTANCE* inst);
    QXStatus (*Lines)(QXMCLSM_INSTANCE* inst);
};

struct QXMCLSM_INSTANCE {
    QXJnlh jnlh;                   // the instance's journal (its messages)
    void* PrivatePtr;              // the engine's state
    QXMCLSM_EXTERNAL* ExternalPtr; // the callbacks
    QXMCLSM_FACTORY* FactoryPtr;   // the operations
};

struct QXMCLSM_EXTENSION {
    QXObjHdr hdr; // destroy releases the loaded extension
    QXPoolh Pool;
    void* QXPERFexth;
    QXMCLSM_INSTANCE* (*CreateInstance)(QXMCLSM_EXTENSION* ext, QXMCLSM_PARMS* parms, int flags);
};

// Makes the extension "qxmclsm" loadable through the kernel handle.
void korv_mcomp_register_engine();

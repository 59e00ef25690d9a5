// The procedure's common block. One KORVCOM lives for the whole step as a
// zeroed local of the procedure entry; nearly every routine receives its
// address (KorvPtr). Nothing in it is freed member by member: its arrays and
// records hang in host pools. Every member starts at zero.
//
// Members marked "never set" are kept so that code reading them sees zero.
#pragma once

#include <cstdint>

#include "common/records.h"
#include "vyr_files.h"
#include "vyr_host.h"

// Records the common block points to; each is declared in full by the code
// that owns it.
struct STMT;       // parsed statement (parser)
struct CMPRISK;    // competing-risks options and state
struct HRPLOTSTR;  // device-graphics options and state
struct SMOOTHED;   // smoothed-hazard request
struct ATRISKTIME; // at-risk times request
struct CNAMES;     // TEST covariate names
struct GRPVAR;     // GROUP= variable and its level list
struct SNAMESTR;   // STRATA variable descriptions
struct STRATA;     // stratum node
struct STRATUMID;  // current stratum's identification
struct SURVDIFF;   // survival-difference request
struct XCBSTR;     // paged record store state
struct OGSTAT;     // output-graphics state
struct LIFETABLE;  // life-table rows of one stratum
struct STEPCHI;    // stepwise test results
struct OUTSSTR;    // never set

struct KORVCOM {
    // ---- Options and constants -------------------------------------------
    int v6names;           // 1 when VALIDVARNAME has "6" as its second character
    double alpha;          // significance level
    double critical;       // normal quantile at 1 - alpha/2
    double qtalpha;        // significance level of quartile limits (ALPHAQT=)
    double qtcritical;     // normal quantile at 1 - qtalpha/2
    double nowtime;        // read only by the data pass
    double width;          // life-table interval width (WIDTH=; recomputed per group)
    double singular;       // singularity criterion of the tests (SINGULAR=, default 1e-12)
    char method;           // 0 product-limit, 1 life table, 2 Breslow, 3 Fleming-Harrington
    char zNelson;          // Nelson-Aalen cumulative hazard requested
    char zatRisk;          // at-risk counts requested
    char znoLeft;          // NOLEFT: no Failed and Left columns
    STMT* stmt;            // parsed statements
    CMPRISK* cmprisk;      // non-null selects the competing-risks road
    double maxtime;        // MAXTIME=
    HRPLOTSTR* graphics;   // device graphics; null selects line-printer plots
    varstring EntryNam[6]; // entry names of the device-graphics catalogue
    xobskey glabel;        // graph label key
    char8 EvtSymbol;       // event plot symbol
    char8 CenSymbol;       // censored plot symbol
    char8 CenColor;        // censored symbol colour
    int vdqgraph;          // PLOTS= request bits (output-layer graphics)
    void* uvdqgraph;       // never set
    SMOOTHED* kmhaz;       // smoothed-hazard request
    ATRISKTIME* art;       // at-risk times request
    int evnum;             // number of censoring values
    double* elist;         // censoring values
    int nby;               // number of BY variables
    int ninter;            // number of life-table interval boundaries
    double* interval;      // interval boundaries (INTERVALS=, or computed)
    int ntime;             // number of TIMELIST= values
    double* timelist;      // TIMELIST= values
    void* filein;          // DATA= input data set
    void* fileouts;        // OUTSURV= or OUTCIF= output data set
    void* fileoutt;        // OUTTEST= output data set
    int conftype;          // confidence-limit transform 1..5 (default 3)
    int confband;          // confidence bands: 1 Hall-Wellner, 2 equal precision, 3 both
    double bandmax;        // BANDMAX=
    double bandmin;        // BANDMIN=
    char zseout;           // STDERR: standard errors to OUTSURV=
    double restric;        // TIMELIM=

    // ---- Variables and strata --------------------------------------------
    void* xvin;           // host variable handle: reads the selected input variables
    void* cvget;          // host variable handle: covariate fetch
    void* svput;          // host variable handle: OUTSURV= definitions
    void* cvput;          // host variable handle: OUTTEST= definitions
    int ncvar;            // number of TEST covariates
    CNAMES* c;            // TEST covariate names
    int cnamlen;          // longest covariate name
    int clablen;          // longest covariate label
    double* wil;          // score and covariance work area of the tests
    GRPVAR* grpvar;       // GROUP= variable; non-null selects the group road
    int nid;              // number of ID variables
    char* idval;          // ID values of the current observation
    void* idptr;          // ID variable descriptors (nid pointers)
    int idlen;            // bytes of one record's ID values
    int nsvar;            // number of STRATA variables
    int sorder;           // strata order: 0 FORMATTED, 1 INTERNAL
    char znolabel;        // NOLABEL: use names, not labels
    SNAMESTR* sname;      // STRATA variable descriptions
    int ncut;             // number of cut points
    int* cut;             // cut points per STRATA variable
    STRATA* strata;       // head of the stratum list (key order after a pass)
    int soff;             // byte offset of the key in a strata node
    int ssize;            // never set
    int slenf;            // formatted strata-key length
    int slenu;            // unformatted strata-key length
    int maxlngf;          // longest formatted strata value
    int hdrlen;           // length of the strata heading text (names, labels, values)
    STRATUMID* stratumid; // current stratum's identification (rewritten per stratum)
    char* value;          // strata key record: formatted parts, then raw parts
    int ktype;            // test bits
    double* fleming;      // FLEMING rho and gamma
    char znodetails;      // NODETAIL
    SURVDIFF* survdiff;   // survival-difference request
    int timedec;          // decimals shown for times
    varstring timename;   // TIME variable's name
    varstring timelabel;  // TIME variable's label

    // ---- Per-group counts and ranges -------------------------------------
    POOLHANDLE* polnode; // node pool of the BY group
    POOLHANDLE* polwork; // work pool of the BY group
    double smin;         // plot range: smallest survival
    double smax;         // plot range: largest survival
    double pdfmax;       // plot range: largest density
    double hazmax;       // plot range: largest hazard
    double maxobstime;   // largest observed time of the group
    double pgtmax;       // largest time plotted
    double tmin;         // smallest time of interest (life table)
    int64_t nobs;        // observations read
    double ncensored;    // censored frequency
    double maxscum;      // largest cumulative count
    int64_t maxnobs;     // largest stratum size
    int nstrata;         // number of strata of the group
    int64_t strmiss;     // observations dropped for missing strata values
    char symbols[26];    // plot symbols "A".."Z"
    char zsorted;        // 1 when the group's times arrived sorted

    // ---- Status -----------------------------------------------------------
    int rc;           // the step's status; above 4 after set-up ends the step
    unsigned refused; // features refused so far in the step (korv_refuse), one bit each

    // ---- Row buffer (output columns and OUT= variables are bound here) -----
    double iovar[34];  // the row buffer: each table names its slots in results/slots.h
    double stratumno;  // stratum number of the row
    double cenchar;    // censoring character column of the row
    double cenval;     // censoring value of the row
    char varname[32];  // variable name of the row
    char label[256];   // label of the row; also a formatting buffer
    char8 typetype;    // type text of the row
    int maxname;       // longest name in use
    char meanbias[60]; // note on a biased mean
    char str10[10];    // short text column
    char sbol;         // current plot symbol

    // ---- Utility-record layout -------------------------------------------
    int blockno;   // observations per block
    int blockt;    // bytes of a block's times
    int blockf;    // bytes of a block's frequencies
    int blockg;    // bytes of a block's group indexes
    int blocki;    // bytes of a block's IDs
    int blockc;    // bytes of a block's covariates
    int notenodel; // bytes of one block-position record (NOTESTR)

    // ---- Plot frames and graphics state ----------------------------------
    char* prlleg;         // never set
    void* grafs;          // line-printer frame: survival
    void* grafl;          // line-printer frame: log survival
    void* grafll;         // line-printer frame: log-log survival
    void* grafh;          // line-printer frame: hazard
    void* grafp;          // line-printer frame: density
    void* grafc;          // line-printer frame: censored points
    POOLHANDLE* grafindx; // pool of the line-printer frames
    xobskey* ogpath;      // per stratum: path of its plot-data table
    xobskey* ogpath2;     // per stratum: path of its smoothed-hazard data
    XCBSTR* xcb;          // paged record store state
    OGSTAT* ogstat;       // output-graphics state
    varstring* ogstrlab;  // stratum-label buffer of the plot data
    double ogmaxqt;       // largest quartile shown on graphs

    // ---- Per-stratum arrays ----------------------------------------------
    double* times;      // times, in record order
    double* freqs;      // signed frequencies (censored negative)
    int* flags;         // flags per record
    double* weights;    // weights
    char* ids;          // ID values
    double* idcvs;      // covariates
    int64_t* indxs;     // rank index: 1-based record numbers in time order
    double* rtimes;     // the times in rank order (position j of the rank index)
    double* rfreqs;     // the signed frequencies in rank order
    double* rweights;   // the weights in rank order (WEIGHT)
    void* plot;         // never set
    LIFETABLE* lifetab; // life-table rows
    STEPCHI* stchi;     // stepwise test results

    // ---- Flags (1 = on) ---------------------------------------------------
    char zdebug;    // never set
    char zby;       // BY variables present
    char ztime;     // TIME statement given
    char zevent;    // censoring values given on the TIME statement
    char zfreq;     // FREQ variable present
    char znotrunc;  // NOTRUNCATE
    char zwt;       // WEIGHT variable present
    char zinter;    // INTERVALS= given
    char ztimelst;  // TIMELIST= given
    char zwidth;    // WIDTH= given
    char zstrata;   // STRATA statement given
    char zpdf;      // line-printer density plot
    char zsurvival; // line-printer survival plot
    char zhazard;   // line-printer hazard plot
    char zlsur;     // line-printer log-survival plot
    char zllsur;    // line-printer log-log-survival plot
    char zplot;     // any line-printer plot
    char zprint;    // tables are printed (no NOPRINT)
    char znotable;  // NOTABLE
    char zmissing;  // MISSING: missing strata values form strata
    // zsorted is declared with the per-group counts.
    char zerror;    // never set
    char zmaxtime;  // MAXTIME= given
    char zcensplot; // censored-points plot
    char zreduce;   // REDUCEOUT
    char zstrataid; // SID=ON
    char zSurvStmt; // SURVIVAL statement given

    // ---- Files ------------------------------------------------------------
    OUTSSTR* outs;   // never set
    XCFILE* utid;    // per-stratum records; rewound per group
    XCFILE* utid1;   // line-printer plot points
    XCFILE* utid2;   // pooled-time work file of the tests
    XCFILE* cifUtid; // competing-risks estimates work file
    XCFILE* citUtid; // competing-risks test work file

    // ---- Buffers ----------------------------------------------------------
    char* buff;       // raw part of the strata key record
    double* buffy;    // TEST covariate scores (ncvar doubles)
    char testname[9]; // never set

    // ---- Output objects ---------------------------------------------------
    xobop cls;      // root object
    xobop vdq;      // output-layer manager
    xobop output;   // current output object
    xobop Surv;     // survival estimates
    xobop Quantile; // quartiles
    xobop Mean;     // means
    xobop Summary;  // censoring summary
    xobop RankStat; // never set
    xobop HomStat;  // homogeneity statistics
    xobop HomTest;  // homogeneity tests
    xobop UniChiW;  // univariate chi-squares, Wilcoxon
    xobop UniChiL;  // univariate chi-squares, log-rank
    xobop StepW;    // forward stepwise sequence, Wilcoxon
    xobop StepL;    // forward stepwise sequence, log-rank
    xobop Legend;   // legend of line-printer plots
    xobop Phantom;  // hidden plot-data table
    void* rms;      // restricted-mean state
};

typedef KORVCOM* KorvPtr;

// The PLOTS= request bits of KORVCOM.vdqgraph (output-layer graphics); no
// other bit is ever set.
namespace plot_bit
{
enum : int {
    SURVIVAL = 0x1,
    LOGSURV = 0x2,
    LOGLOGS = 0x4,
    HAZARD = 0x8,          // life table only
    DENSITY = 0x10,        // life table only
    PRINT_DATA = 0x100,    // PRINTPHANTOM: the plot-data tables are shown
    ALL = 0x400,           // PLOTS=ALL
    CL = 0x800,            // SURVIVAL(CL)
    HW_BAND = 0x1000,      // SURVIVAL(HW) or CB=HW
    EP_BAND = 0x2000,      // SURVIVAL(EP) or CB=EP
    TEST = 0x4000,         // SURVIVAL(TEST)
    OVERLAY = 0x8000,      // STRATA=OVERLAY, and the default arrangement
    PANEL = 0x10000,       // STRATA=PANEL
    INDIVIDUAL = 0x20000,  // STRATA=INDIVIDUAL
    NOCENSORED = 0x200000, // SURVIVAL(NOCENSORED)
    FAILURE = 0x10000000,  // SURVIVAL(FAILURE)
    DENSITY_CL = 0x20000000,
    HAZARD_CL = 0x40000000,
    // No PLOTS= at all: the survival plot, strata overlaid.
    DEFAULT = SURVIVAL | OVERLAY,
    // The requests whose plot data go through the paged plot store.
    NEEDS_PLOT_STORE = CL | HW_BAND | EP_BAND,
};
} // namespace plot_bit

// The test bits of KORVCOM.ktype (the STRATA statement's tests).
namespace test_bit
{
enum : int {
    TREND = 0x1,
    NONE = 0x2, // NOTEST or TEST=NONE
    NODETAIL = 0x4,
    LOGRANK = 0x8,
    WILCOXON = 0x10,
    TARONE = 0x20,
    PETO = 0x40,
    MODPETO = 0x80,
    FLEMING = 0x100,
    LR = 0x200,
    REFUSED_WEIGHTED = 0x400, // a requested test is not available with WEIGHT
    // The tests that need the pooled-time work file.
    NEEDS_POOLED_FILE = PETO | MODPETO | FLEMING,
};
} // namespace test_bit

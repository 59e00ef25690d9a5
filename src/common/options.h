// The option records the statement reader makes from the procedure's
// statements and hangs in the common block: CMPRISK (competing risks),
// SMOOTHED (smoothed hazard), ATRISKTIME (at-risk table), HRPLOTSTR (device
// graphics), SURVDIFF (multiple comparisons) and CNAMES (TEST covariates).
// The frame fills them; the stages read them.
#pragma once

#include <cstdint>

#include "common/records.h"

struct NAMESTR;
struct XCBSTR;
struct XCFILE;
struct DSHANDLE;
struct GRAFSTR;

// The count cells of the competing risks: for each stratum and GROUP=
// level, written by the data pass and read by the estimates and the
// summaries.
namespace cr_cell
{
inline constexpr int FIRST = 0;   // the cell's first record in stratum-group-time order
inline constexpr int RECORDS = 1; // the cell's records
inline constexpr int RISK = 2;    // its total frequency: the number at risk at the start
inline constexpr int MAXTIME = 3; // its largest time
inline constexpr int EVENTS = 4;  // then one cell per status category (0 censored, k type k)
// The frequency of status category k.
constexpr int events(int k)
{
    return EVENTS + k;
}
// The doubles of a cell with ncat status categories.
constexpr int width(int ncat)
{
    return EVENTS + ncat;
}
} // namespace cr_cell

// The PLOTS=CIF request bits of CMPRISK.plot.
namespace cif_plot_bit
{
enum : int {
    PLOT = 0x1,         // PLOTS=CIF
    CL = 0x2,           // CIF(CL): with confidence limits
    TEST = 0x4,         // CIF(TEST): Gray's test in an inset
    PRINT_DATA = 0x100, // PRINTPHANTOM: the plot-data tables are shown
};
} // namespace cif_plot_bit

// ---------------------------------------------------------------------------
// Competing risks: options, the paged record store and what the data pass
// learns about a BY group. Made by parse when the TIME statement names
// failure codes (FAILCODE/EVENTCODE).
struct CMPRISK {
    short printVar;   // CIFVAR: print the variance instead of the standard error
    short xcbminopt;  // XCBMINOPT: the store uses the host's minimal page size
    short disallow;   // Gray's test cannot be computed for the current BY group
    int error;        // ERROR=: 0 Aalen-type, 1 delta method
    int plot;         // cif_plot_bit:: requests
    int nStrata;      // strata of the BY group
    int nGroup;       // GROUP= levels of the BY group (1 without GROUP=)
    int nFailcode;    // distinct failure codes given (0: none)
    int ntype;        // failure types plus one
    int ncat;         // status categories
    int* statusMap;   // per category: 0 censored, 1 event of interest, 2 competing
    int* isMap;       // stratum creation number -> ordinal position
    int* igMap;       // group creation number -> ordinal position
    int64_t ntot;     // records in the store
    double rho;       // RHO=: exponent of the Gray test weight
    double eventcode; // first failure code as written, or missing
    double* failcode; // failure codes, ascending, distinct
    double statusVal; // status value of the type being estimated
    double*** meta;   // count cells [nStrata][nGroup], each cr_cell::width(ncat) long
    double groupno;
    double* type;    // entry 0 missing; entry k the value of failure type k
    double* nfailed; // total frequency per failure type
    double* pval;    // Gray's test p-value per failure type
    double* score;
    double* var;
    xobskey path;
    XCBSTR* xcb;       // the paged record store (48-byte records)
    NAMESTR* nmStatus; // the status variable
    void* xcptr;       // utility file of the estimation or the test
    struct CRCOLUMNS* columns; // the BY group's records by cell (made by the data pass)
};

// The BY group's records as the estimation and the test read them: cell by
// cell (strata in order, within a stratum the GROUP= levels in order, a
// cell's records starting at its count cell's entry [0]), one array per field
// they use. The data pass fills them in input order within each cell; the
// stages put each cell in time order once (`sorted`).
struct CRCOLUMNS {
    double* time;
    double* freq;
    int32_t* cat; // the status category
    int64_t n;
    int sorted;
    void* stage; // what the stages keep of the columns for the group
};

// One valid observation of a BY group on the competing-risks road, as the
// data pass writes it to the paged record store and the utility file: six
// doubles, 48 bytes. The stratum and group are ordinal positions in key
// order from 0 (creation numbers until the pass maps them); the status is
// the status category (0 censored, k the k-th failure type, the last
// category an event of a type not asked for).
struct CRRECORD {
    double stratum;
    double group;
    double time;
    double status;
    double freq;
    double weight;
};
static_assert(sizeof(CRRECORD) == 48, "competing-risks record layout");

// The row record of OUTCIF= (96 bytes): the data set's statistics are bound
// by offset into it (the definer's offsets name these members), and the
// writer hands one to the host with each row.
struct CIFOUTREC {
    double time;
    double cif;
    double err; // standard error, or the variance with CIFVAR
    double lcl;
    double ucl;
    double atrisk;
    double event;     // events of the type of interest at the time
    double allevents; // events of every type at the time
    double censored;
    double timelist; // the TIMELIST= value of a REDUCEOUT row
    double alpha;
    char conftype[8]; // the transform's name, blank padded
};
static_assert(sizeof(CIFOUTREC) == 96, "OUTCIF= row record layout");

// Kernel-smoothed hazard request (PLOTS=HAZARD with a product-limit type
// method and output-layer graphics).
struct SMOOTHED {
    char zcl;           // CL
    char disp;          // display mode (1)
    char zprintphantom; // PRINTPHANTOM: show the estimates table
    int ngrid;          // NGRID= (default 101, at least 2)
    int nmingrid;       // NMINGRID= (default 51, at least 2)
    int nbw;            // 0: bandwidth by MISE; 1: fixed; more: a list
    int kernel;         // 0 Epanechnikov, 1 uniform, 2 biweight
    int method;         // 0 GLOBAL, 1 LOCAL
    int nstrata;        // outputs made in the current BY group
    long ntables;       // HazardRate tables made in the step (all held to its end)
    long njmp;          // distinct event times of the current stratum
    double gridL;       // GRIDL= or missing
    double gridU;       // GRIDU= or missing
    double* bwgrid;     // the nbw bandwidths (for RANGE(a,a) it points at bl)
    double bwpilot;
    double bwsmooth;
    double tl, tr; // grid ends of the current stratum
    double bl, br; // RANGE(a, b), or missing
    double* t;
    double* dH;
    double* dvarH;
    xobop data; // HazardRate table
    xobop mise; // MISE table
    xobskey* misepath;
    xobskey kernelname;
    // The bound kernel: boundary coefficients alpha(q), beta(q) at distance q
    // (in bandwidths) from an end of the grid, and K(x).
    void (*Asym)(double q, double* alfa, double* beta);
    void (*Kx)(double x, double* kx);
};

// At-risk table request (PLOTS=SURVIVAL(ATRISK...)).
struct ATRISKTIME {
    char zoutside;   // OUTSIDE
    char zticklabel; // ATRISKTICK or ATRISKTICKONLY
    char* ticklabel;
    char zatrisktickonly; // ATRISKTICKONLY
    char zexplicit;       // ATRISK= times given
    int n;                // number of at-risk times
    int ntick;
    int fmtw;
    int ticklablen;
    int smaxlen; // MAXLEN= (default 12)
    double* t;   // the at-risk times
    double* tickval;
    double time2;
    double y2;
    double val;
    double awt; // OUTSIDE(w), or missing
    int maxL;
};

// Device-graphics request.
struct HRPLOTSTR {
    GRAFSTR* ggrafs;    // plot description last used
    DSHANDLE* annofid;  // ANNOTATE=
    DSHANDLE* lannofid; // LANNOTATE=
    XCFILE* utid;       // censored times per stratum
    char libname[8];    // catalogue library, blank padded
    char memname[32];   // catalogue name, blank padded
    int memnamelen;     // its length without trailing blanks
    varstring desc;     // DESCRIPTION=
};

// Multiple comparisons of the strata (DIFF=, RATIO, ADJUST=, STEPDOWN).
struct SURVDIFF {
    XCFILE* utid; // saved test scores
    xobop data, group;
    char* ival;
    char* jval;
    int method;      // -1 Bonferroni, -2 Sidak, -3 SMM, -4 Scheffe, -5 simulation,
                     // -6 DIFF alone; 0 Tukey/Dunnett or DIFF=ALL/CONTROL alone
    int type;        // -1 all pairs, -2 against a control
    int nref;        // control values given
    int step;        // 0 none, 1 STEPDOWN, 2 STEPDOWN TYPE=LOGICAL
    int steprep;     // STEPDOWN REPORT
    int stepcsize;   // LOGICAL(n), -1 when not given
    int steporder;   // ORDER=: 1 ROWS, 0 PVALUE
    int stepmaxtime; // STEPDOWN MAXTIME= (60)
    int rep;         // SIMULATE REPORT
    int tinc;        // TIMEINC= (30)
    int refcntl;     // -1 FIRST, -2 LAST, -3 quoted values
    int idxcntl, grouplen;
    long seed;    // SEED= (0)
    double alpha; // ALPHA= or missing
    double acc;   // ACC= (0.005)
    double eps;   // EPS= (0.01)
    double nsamp; // NSAMP= (0)
    double* var;
    double* mean;
    varstring* ref; // the control values, trimmed (point into the statement record)
};
// One TEST covariate (filled by variable resolution and the rank tests).
struct CNAMES {
    NAMESTR* nm;
    varstring name;
    varstring label;
    double score;
    double var;
};

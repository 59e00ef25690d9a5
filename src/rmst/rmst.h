// The restricted mean survival time (RMST) and restricted mean time lost
// (RMTL) analyses: their records and the stages the driver (korvrms) runs
// for one BY group.
//
// One BY group: Parse builds the settings (ZRMSUSERSTR) with the analysis's
// own pool; ReadPrepare, ReadData and GenAnalysisData read the group through
// the levelization reader into a record file, sort it by (outer key, inner
// key, time) and build the cells: outer nodes (a STRATA combination with
// GROUP=, else one node), inner nodes (the GROUP= level, else the STRATA
// combination) and, per inner node, its distinct times in ascending order.
// Then, for RMST and again for RMTL, the estimates, the global test, the
// comparisons and the plots. CleanUp frees everything the group made.
#pragma once

#include <cstdint>
#include <string>

#include "common/korvcom.h"
#include "levelize/levelize.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_kernel.h"
#include "vyr_output.h"

struct SURVDIFF;
struct ZRMSUSERSTR;
struct ZRMSMANAGER;

// Results of every stage.
enum rmsRetCodes : int {
    ZRMS_NOPROBLEM = 0,
    ZRMS_NOREQUEST = 1,        // no request, or a classification variable without levels
    ZRMS_NOTSUPPORTED = 2,     // WEIGHT statement or STRATA cut points
    ZRMS_NOMEMORY = 3,         // an allocation failed
    ZRMS_NOLOAD = 4,           // the tree extension cannot be loaded
    ZRMS_TASKFAILED = 5,       // analysis state missing
    ZRMS_UFERROR = 6,          // utility file or sort failure
    ZRMS_TAUVALUETOOLARGE = 7, // TAU= beyond the data
    ZRMS_ALLSTRATAEMPTY = 8,   // no inner level has data
    ZRMS_VDQERROR = 9,         // no plot-data table can be made
    ZRMS_TOOMANYLEVELS = 10,   // the level combinations cannot be numbered exactly
};

// The output state of one table (the analysis's own, and one per plot-data
// table).
struct ZRMSVDQ {
    xobop vdq;         // the output manager
    xobop table;       // current data object
    xobop out;         // current output object
    xobskey path[1];   // path of the rendered table
    xobskey templ;     // template prefix ("STAT" "." "KORVANTE")
    xobskey SecTitle;  // second title, or null
    xobskey AfterNote; // note closed with the table, or null
    POOLHANDLE* pool;
    ZRMSUSERSTR* com;
    int ncurve;         // curves written into this state's table
    xobskey vector;     // name of the level column of a plot-data table
    xobskey vectorName; // its label
    xobskey* gpath;     // panel cell paths
    int gnum;           // panel cells
};

// The options of one analysis.
struct ZRMSOPT {
    short Scl;   // confidence limits in the table (CL)
    short Sbc;   // bias correction (BC)
    short Stau;  // TAU= given
    short Srmtl; // this record belongs to the time-lost plot
    double tau;  // the restriction time
    short SplotCL, SplotTest, Splotunpack, Splotpanel;
    double rmst, rmtl, var; // scratch results of one evaluation
};

// One distinct time of an inner cell.
struct ZRMSTNODE {
    double time;
    double dup; // records at this time (summed frequency)
    double evt; // events at this time
};

// An inner node: a GROUP= level within a stratum, or a stratum.
struct ZRMSSNODE {
    QXEAVLNODE avln;
    double key;    // inner key
    ZRMSTNODE* tn; // its distinct times, ascending ...
    int64_t ntn;   // ... and their number
    double maxdup; // largest number of records at one time
    double atrisk; // summed frequency: the initial risk set
    double rmst, rmtl, var;
    double nevent, ncensor; // summed frequencies of events and censored records
    double maxt;            // largest time with a record of positive frequency
    ZRMSVDQ* zog;           // its plot-data table, or null
    int slot;               // its inner key's place among the observed inner keys
};

// An outer node: a STRATA combination with GROUP=, else the one node.
struct ZRMSUNODE {
    QXEAVLNODE avln;
    double key;    // outer key
    int id;        // running index over the outer nodes
    QXEAVLh stree; // its inner nodes
    ZRMSVDQ* zog;  // its plot-data table, or null
    char* name;    // "NAME = value ..." of its STRATA levels (plots with GROUP=)
    int namelen;
};

// Where the plot-data rows are bound.
struct ZRMSOUTDEST {
    ZLEVVAR* v;   // the inner level's one class variable, or null
    NAMESTR* nm;  // the level column's descriptor (a variable's, or a made "Stratum")
    NAMESTR* nm2; // a second "Stratum" column (panels), or null
    double level; // value of a numeric level column
    char* ln;     // text of a character level column
    int lnlen;    // its length
    char* ln2;    // text of the second column
    int ln2len;   // its length
    double id, tt, ee, se, ul, ll;
    NAMESTR madeNm, madeNm2; // the made-up "Stratum" descriptors
};

// The analysis state of one BY group.
struct ZRMSMANAGER {
    POOLHANDLE* pool;
    ZLEVREGI reg;
    ZLEVMOD mod;
    ZLEVDAT dat;
    ZLEVVAR* yv;   // responses: TIME, censoring, FREQ, STRATA, GROUP=
    ZLEVVAR* clas; // classification variables: STRATA, then GROUP=
    int nevnt, nevtval;
    double* evtval; // the censoring values
    NAMESTR *tname, *cname, *gname, *fname;
    int coffset, foffset, soffset, goffset;
    XCFILE* utfile;   // records in reading order
    XCFILE* filesort; // records sorted by outer key, inner key, time
    int64_t np;       // records written
    QXEAVLh utree;    // outer nodes
    double nobs, nevent, ncensor, sumff;
    ZRMSTNODE* times; // every cell's distinct times, cell by cell
    int64_t ntimes;
    ZRMSVDQ* zog; // the analysis's output state
    double pval;  // p-value of the last printed global test
    // Level maps. b1: classification variables that form the outer key (the
    // STRATA variables with GROUP=, else 0); n1a: outer nodes made; n2: the
    // distinct inner keys observed, in ascending order (ikeys), with, per
    // key, the outer nodes in which it has data (n2df), its active index
    // (n2id, -1 when inactive) and its level name (ln2).
    int b1, n1a, n2;
    double* ikeys;
    int* n2df;
    int* n2id;
    char** ln2;
    int* ln2l;
    int ln1len, ln2len;
    // The levels compared (made by the global test, read by the
    // comparisons): n2a active levels, the inner key of each (x0), its
    // estimate (x1) and the packed covariance (x2, diagonal, in vunit^2).
    int n2a;
    double* x0;
    double* x1;
    double* x2;
    ZRMSOUTDEST dest;
    // A power of two near the cells' largest time. The variances (var of the
    // cells and options, x2) are kept in its square, and an estimate is
    // divided by it wherever it meets a variance: with times near the
    // largest double the squared areas of the variance would overflow. Being
    // a power of two it changes no digit of any result. 0 reads as 1.
    double vunit;
};

// The unit of the variances of the analysis.
inline double rmsUnit(const ZRMSMANAGER* q)
{
    return q && q->vunit > 0 ? q->vunit : 1.0;
}

// The settings of the analyses of one BY group (KORVCOM.rms).
struct ZRMSUSERSTR {
    short Snoprint, Sratio, Stest_infeasible, Snotrunc, Sadj, Smaxtime, Srmst, Splot;
    ZRMSOPT RMSTOpt;
    short Srmtl, Splot2;
    ZRMSOPT RMTLOpt;
    POOLHANDLE* pool; // the analysis's own pool
    ZRMSMANAGER* q;
    KorvPtr kq; // the common block
    int maxrc;  // the largest return code the analysis has set
    QXEAVL_EXTENSION* qxeavlfh;
    STMT* proc;
    DSHANDLE* filein;
    int nv0;
    char dsinname[64];
    short nby, ns, nf, ng, nw;
    const int* strlist; // STRATA variable numbers
    int freqnum, grpnum, wgtnum;
    int timenum, censnum;
    double alpha, zval, singular, maxtime;
    double mininner; // smallest largest time over the cells with data
    SURVDIFF* survdiff;
    xobop group; // the output group open now ("RMST Analysis", ...), or null
};

using rmsUserPtr = ZRMSUSERSTR*;

// ---------------------------------------------------------------------------
// The end of the BY group's analyses (korvrms.cpp): closes an output group
// left open, closes the work files, frees the analysis's memory and raises
// the step's return code to the analyses' own.
void CleanUp(KorvPtr q);

// Options (rmsparse.cpp).
rmsRetCodes Parse(KorvPtr q);
void Parse_Strata(rmsUserPtr us);
void setin(rmsUserPtr us);

// Data and cells (rmsdata.cpp).
rmsRetCodes ReadPrepare(rmsUserPtr us);
rmsRetCodes ReadData(rmsUserPtr us);
rmsRetCodes GenAnalysisData(rmsUserPtr us);
rmsRetCodes GetLevelsInfo(rmsUserPtr us);
// The place of inner key `key` among the observed inner keys, or -1.
int rmsSlotOf(const ZRMSMANAGER* q, double key);
// Splits an outer or inner key into level indexes of classification
// variables first .. first + n - 1 (mixed radix, the first variable
// slowest).
void rmsSplitKey(const ZRMSMANAGER* q, double key, int first, int n, int* levels);

// Estimation (rmsest.cpp).
void EstimateRMS(rmsUserPtr us, short Srmtl);
// The restricted mean of one inner node at restriction time tau: the area
// under its product-limit curve up to tau (opt->rmst), tau minus that area
// (opt->rmtl) and the variance of either (opt->var, in units of unit^2),
// multiplied by D/(D-1) with bias correction (bc) when D, the events up to
// tau, exceeds 1.
void EstOneTime(const ZRMSSNODE* s, double tau, bool bc, ZRMSOPT* opt, double unit = 1.0);
// The same at n ascending restriction times taus[0..n-1] in one walk of the
// node's times: est[k] RMST, var[k] variance in units of unit^2 (RMTL is
// taus[k] - est[k]).
void EstGrid(const ZRMSSNODE* s, const double* taus, int n, bool bc, double* est, double* var,
             double unit = 1.0);

// Tables (rmstbl.cpp).
rmsRetCodes PrintHead(rmsUserPtr us, short Srmtl);
rmsRetCodes PrintRMS(rmsUserPtr us, short Srmtl);
rmsRetCodes AssembleLevelNames(rmsUserPtr us);
ZRMSVDQ* SetRMSTable(rmsUserPtr us, short Srmtl);

// Tests and comparisons (rmstest.cpp, rmsmc.cpp).
rmsRetCodes GlobalTest(rmsUserPtr us, short Srmtl);
void ComputeGlobalTest(rmsUserPtr us, double* chisq, double* ndf);
rmsRetCodes MultipleComparison(rmsUserPtr us, short Srmtl);
int findIndex(rmsUserPtr us);

// Plots (rmsplot.cpp).
rmsRetCodes PlotRMS(rmsUserPtr us, short Srmtl);
rmsRetCodes GenPlotData(rmsUserPtr us, short Srmtl);

// Memory of the analysis: zero-filled, null on failure after the
// out-of-memory message with the analysis's return code raised to 1012.
void* rmsAlloc(rmsUserPtr us, int64_t bytes);
// The option record of an analysis.
inline ZRMSOPT* rmsOpt(rmsUserPtr us, short Srmtl)
{
    return Srmtl ? &us->RMTLOpt : &us->RMSTOpt;
}
// Raises the analysis's return code.
void rmsRaise(rmsUserPtr us, int rc);
// The shortest text that reads back as v ("161.0000001", "45"), for
// messages that must show a value as it was given.
std::string rmsNumber(double v);

// ---------------------------------------------------------------------------
// The table layer (zrmstbl.cpp): thin calls of the output layer on an
// output state.
void zrmstblSetContentsLabel(ZRMSVDQ* zog, xobskey label);
xobop zrmstblMakeGroup(ZRMSVDQ* zog, const char* name, int lblmsgno, xobskey label);
void zrmstblDeleteGroup(xobop group);
void zrmstblAddDynamicSkey(ZRMSVDQ* zog, const char* name, xobskey key);
void zrmstblAddScalarInt(ZRMSVDQ* zog, const char* name, int value);
void zrmstblAddScalarDouble(ZRMSVDQ* zog, const char* name, double value);
xobop zrmstblSetUpTable(ZRMSVDQ* zog, xobskey stitle, const char* name, int lines);
void zrmstblAddColumnD(ZRMSVDQ* zog, const double* address, int msgno, const char* varname);
void zrmstblAddColumnDK(ZRMSVDQ* zog, const double* address, xobskey label, const char* varname);
void zrmstblAddColumnDG(ZRMSVDQ* zog, const double* address, xobskey label, const char* varname,
                        const char* col);
void zrmstblAddColumnI(ZRMSVDQ* zog, const int* address, int msgno, const char* varname, int width);
void zrmstblAddColumnSkey(ZRMSVDQ* zog, const xobskey* address, int msgno, const char* varname);
void zrmstblAddColumnV(ZRMSVDQ* zog, const void* address, NAMESTR* var, int len, const char* col,
                       int prt);
void zrmstblInit(ZRMSVDQ* zog);
xobop zrmstblOut(ZRMSVDQ* zog, xobskey templ);
xobop zrmstblOutG(ZRMSVDQ* zog, xobskey templ, int internal);
void zrmstblPut(ZRMSVDQ* zog);
void zrmstblClose(ZRMSVDQ* zog);
// The template key "<prefix>.<name>".
xobskey zrmstblTemplate(ZRMSVDQ* zog, const char* name);

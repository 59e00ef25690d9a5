// The effect levelization library: the levelized design reader and the
// levelizer under it.
//
// A caller (the restricted-mean analysis) fills one ZLEVREGI: the data source
// (an input data set positioned on a BY group, and a pool), the responses and
// the model, whose classification variables are the ones to levelize. Then,
// once per BY group:
//
//     rc = zlevrgi(&r);                 // levels of every classification
//                                       // variable, ordered and coded
//     xbyrwnd(fid, 'B');
//     while (xybyget(&parms) == 0) {    // the caller positions ...
//         int status = zlevrgd(&r, y, nullptr, nullptr); // ... the reader copies
//         if (status & ZLEV_ST_RESPONSE) continue;       // a missing value or no level
//         ... y[] holds the responses, r.g[] each classification variable's level
//     }
//
// After zlevrgi each classification variable v of r.m->clas holds nlev,
// val.l (the level texts, vlen bytes each, in ORDER= order), true_ (each
// level's smallest unformatted value), ref and, for the orthogonal
// parameterizations, col. Everything is allocated from r.d->pool and goes
// when the caller deletes that pool.
//
// The levelizer (zlevini .. zlevlwh) finds the levels in one pass over the BY
// group, on the task thread or, when the reader's `threading` is set (or
// the "_testthreadzlev" macro variable asks for it), with worker tasks on the
// host's thread pool; both give the same levels, order, frequencies and
// codes.
//
// A model may also have effects (crossed and nested classification
// variables, continuous variables and constructed effect variables:
// multi-member, concatenation, spline, polynomial and lag). zlevrgi then also
// finds the level combinations each effect has in the data (again on the
// task thread or with workers), counts the design columns, builds the level
// lists of every column and names the parameters. Per observation, zlevrgx
// builds the design row; the fit kit (zlevfit) accumulates crossproducts,
// sweeps them and tests linear hypotheses. Effect means, inverse level maps,
// the effect containment hierarchy and the list utilities complete the
// library for clients that work on single effects.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "runtime/ztree.h"
#include "vyr_kernel.h"

struct NAMESTR;
struct DSHANDLE;
struct XVHANDLE;
struct POOLHANDLE;
struct ZNQVFMTGLOBAL;
struct ZLEV;
struct ZLEVREGI;
struct ZLEVMOD;
struct ZLEVREADPARMS;

using VYRNOBS = int64_t; // an observation count or number

// A counted text (not NUL-terminated).
struct ZLEVSTR {
    char* s;
    int l;
};

// A level's unformatted value: z for a numeric variable, c for a character one.
union ZLEVTRUE {
    double z;
    ZLEVSTR c;
};

// The values of a variable: a classification variable's level texts (l), a
// continuous variable's centre and half-range (z.l, z.s; the data range is
// [l - s, l + s]), and the current value of the reader's o, t and cs (x).
struct ZLEVVAL {
    char** l;
    struct {
        double l;
        double s;
    } z;
    double x;
};

// Order codes of a classification variable.
inline constexpr int ZLEV_ORDER_D = 'D'; // first appearance
inline constexpr int ZLEV_ORDER_F = 'F'; // frequency, most frequent first
inline constexpr int ZLEV_ORDER_I = 'I'; // unformatted value
inline constexpr int ZLEV_ORDER_M = 'M'; // formatted value
inline constexpr int ZLEV_ORDER_X = 'X'; // frequency, ties by formatted value
inline constexpr int ZLEV_ORDER_Y = 'Y'; // frequency, ties by first appearance
inline constexpr int ZLEV_ORDER_Z = 'Z'; // frequency, ties by unformatted value

// Reference level codes of ZLEVVAR.ref on input.
inline constexpr int ZLEV_REF_VALUE = -3; // the level whose text is refval
inline constexpr int ZLEV_REF_LAST = -2;
inline constexpr int ZLEV_REF_FIRST = -1;

// Parameterization codes of a classification variable (ZLEVVAR.param).
inline constexpr int ZLEV_PARAM_EFFECT = 0;    // deviation from the reference level
inline constexpr int ZLEV_PARAM_OEFFECT = 1;   // orthogonalized effect
inline constexpr int ZLEV_PARAM_REFERENCE = 2; // reference cell
inline constexpr int ZLEV_PARAM_OREF = 3;      // orthogonalized reference
inline constexpr int ZLEV_PARAM_POLY = 4;      // powers of the level value
inline constexpr int ZLEV_PARAM_OPOLY = 5;     // orthogonal polynomial
inline constexpr int ZLEV_PARAM_GLM = 6;       // from the coding matrix (rows of zeros)
inline constexpr int ZLEV_PARAM_ORDINAL = 7;   // cumulative steps
inline constexpr int ZLEV_PARAM_OORD = 8;      // orthogonalized ordinal
inline constexpr int ZLEV_PARAM_SYMSTEP = 9;   // symmetric steps
inline constexpr int ZLEV_PARAM_OBATH = 10;    // orthogonalized symmetric steps

// One classification, continuous, response or role variable of a model.
struct ZLEVVAR {
    NAMESTR* n; // the data set variable's descriptor (nvar0 >= 1), or null
    int type;
    int nlev; // levels (a continuous variable: 0, 1 or 2, see zlevllm)
    ZLEVVAL val;
    char** sl; // the level texts in byte order ...
    int* lidx; // ... and each one's level index
    int vlen;  // bytes of a formatted value: 0 at input means 16, -1 the display width
    int maxflen, maxtlen;
    int prevlen;           // vlen summed over the classification variables before this one
    int order;             // order code (ZLEV_ORDER_*); another value takes ZLEVMOD.order
    int nojust;            // 1 keeps formatted values as read, 0 left-justifies them
    int ochmsg;            // set when formatted and unformatted order differ (order M)
    int trnmsg;            // 1 once the note on cut formatted values was given
    int trnmsggrp;         // the message of that note instead of 172/14 ...
    int trnmsgnum;         // ... when both are non-zero
    int param;             // parameterization code
    int countmissing;      // missing values form a level
    int ignoremissingness; // missing values are skipped for this variable only
    ZLEVSTR refval;        // reference level given by value (ref -3)
    int ref;               // reference level: an index, or ZLEV_REF_* (0 at input: last)
    int reforig;           // ref as the caller first set it
    int refset;            // the caller fixed the reference position
    int desc;              // 1 for descending order
    int cprefix, lprefix, split;
    double* col;     // coding matrix: nlev rows of nlev - 1 values, row by row
    ZLEVTRUE* true_; // each level's unformatted value ("true")
};

struct ZLEVVLST {
    int n;
    ZLEVVAR* v;
};

// One effect of the model: its crossed and nested classification variables,
// continuous variables and effect variables. zlevrgi finds the level
// combinations it has in the data, counts its design columns and builds the
// level list of every column.
struct ZLEVETRM {
    int prep;        // first design column
    int npar;        // number of design columns
    int nparNoEfcts; // columns of the class part before expansion by effect variables
    int ncont;
    int* cont; // its continuous variables (indexes into ZLEVMOD.cont)
    int ncros;
    int* cros; // crossed classification variables (indexes into ZLEVMOD.clas)
    int nnest;
    int* nest; // nested ones
    int nefct;
    int* efct; // effect variables (indexes into ZLEVMOD.eft.var)
    int nclas;
    int* clas; // all classification variables of the effect: crossed, then nested
    int nlev;  // level combinations present
    int nlevelallrow;
    int* levels; // nlev rows of nclas ints (crossed entries, then nested),
                 // sorted by nested, then crossed entries
    int* levelsnonsing;
    int* levelsall;
    int* clev;  // direct-index multipliers, or null
    char noeff; // set while a multi-member variable of the effect contributes nothing
    ZLEVSTR name;
    double* means;   // per column: the effect's column means (zlevEfMeans)
    char clonedFlag; // one of the effects an effect with separated variables was split into
    ZLEVMOD* m;      // the model (set by zlevrgi)
};

// Per effect, for the current observation.
struct ZLEVXINF {
    double z; // product of the effect's continuous values (1 when none)
    long i;   // the effect's level index (-1 when it has no parameters)
};

// The selected-model mask: '1' in the model, '0' out of it; in force only
// when check is '1'.
struct ZLEVINMODEL {
    char check;
    char* ef;
    char* eft;
    char* cont;
    char* clas;
};

// Kinds of constructed effect variables.
inline constexpr int ZLEV_EFT_MULTIMEMBER = 1;
inline constexpr int ZLEV_EFT_CONCAT = 2;
inline constexpr int ZLEV_EFT_SPLINE = 3;
inline constexpr int ZLEV_EFT_POLY = 4;
inline constexpr int ZLEV_EFT_LAG = 5;

// The options of a spline effect variable.
struct ZLEVSPLINECONTROL {
    char naturalFlag;      // truncated power basis in natural cubic form
    char separateFlag;     // not read by the library
    char knotMethod;       // ZLEV_KNOT_*
    char basisType;        // 1 B-spline basis, else truncated power functions
    char tpfIncludeFlag;   // 0 knot terms only, 1 also x .. x^degree, 2 also 1
    char dataBoundaryFlag; // B-spline, equally spaced: boundary knots at the data range
    char splitFlag;        // the columns are presented as one-column effects
    int startLevel, endLevel;
    int nSpecifiedKnots; // interior knots K (or the length of a full knot list)
    int nKnotsTotal;
    int* nKnotsForVar;
    int* multiLevel; // B-spline knots: K = 2^multiLevel[0] when present
    int degree;
    int nVals; // basis values per continuous variable
    double* basisVals;
    double knotMin, knotMax; // outer bounds for boundary knots (missing: none)
    double* knotValList;
    double* work;
    double** knotsForVar; // each continuous variable's knots, ascending
    int knotPctlType;     // 2: equally spaced percentiles j/(K+1), else knotPctlList
    double* knotPctlList; // percentiles in percent
};

// Knot methods of a spline.
inline constexpr char ZLEV_KNOT_EQUAL = 1; // equally spaced over the data range
inline constexpr char ZLEV_KNOT_MULTI = 2; // as 1, K from multiLevel
inline constexpr char ZLEV_KNOT_LIST = 3;  // the listed values
inline constexpr char ZLEV_KNOT_RANGE = 4; // range fractions
inline constexpr char ZLEV_KNOT_PCTL = 5;  // percentiles of the data
inline constexpr char ZLEV_KNOT_FULL = 6;  // a full knot list, boundary knots included

// The options of a polynomial effect variable. The model's builder fills
// nTerms, nCumTerms (nCumTerms[k]: monomials of degree at most k, k = 0 ..
// degree) and offset (rows k - 1 = 0 .. degree - 2, one entry per variable:
// the column of the first monomial of degree k whose lowest variable index
// is i).
struct ZLEVPOLYCONTROL {
    char noSeparateFlag;  // clear: the hierarchy counts the polynomial by its variables
    char standardizeFlag; // 0 raw, 1 centred, 2 scaled, 3 centred and scaled
    char basisType;
    char labelStyle;
    char incEftNameFlag;
    char stdPolicy; // 1 unweighted sums, 2 weighted sums, 3 location and scale
    int nVars;
    int degree;
    int monomialDegree;
    int nBasis;
    int* nTerms;
    int* nCumTerms;
    int* vList;
    int** offset;
    double* basisVals;
    double* center; // per variable (only when centring)
    double* scale;  // per variable (only when scaling)
    double* stdWork;
    ZLEVSTR stdPrefix, expSymbol, prodSymbol;
};

// A subject of a lag: the levels of its within variables.
struct ZLEVLAGNODE {
    TREE t;
    int subject;
    int nCases;
    int* idx; // nWithin level indexes (the key)
};

struct ZLEVLAGSUBJECTS {
    int nSubjects;
    int* design; // nSubjects rows of the period count: 1 + level of lagVar, 0 none
    TREE* withinTree;
};

struct ZLEVLAGCONTROL {
    int nLag;
    int nWithin;
    int* withinVar;
    int lagVar;
    int periodVar;
    int nPeriods;
    int designRoleVar;
    int obsLaggedLevel;
    char showDesignLevelsFlag;
    char notInSelectedModelFlag;
    ZLEVLAGNODE* compareNode;
    ZLEVLAGSUBJECTS subjects;
    ZLEVLAGSUBJECTS* altSubjectsPtr;
    ZLEVLAGSUBJECTS* scoreSubjectsPtr;
};

// One constructed effect variable.
struct ZLEVEFTVAR {
    ZLEVSTR name;
    ZLEVSTR primaryName;
    int type; // ZLEV_EFT_*
    int ncont;
    int* cont;
    int nclas;
    int* clas;
    int nparms;
    int nParmsPreSplit;
    int ncontPreSeparate;
    int** mmMap;
    int* mmMapInverse;
    int* varMapInverse;
    int maxLevNameLen;
    int* levNameLen;
    int nSeparated;
    int splitSource;
    int nDerived;
    char separateFlag, splitDerivativeFlag, primaryFlag, derivedComputed, detailsFlag, noeffect,
        stdize;
    char** levName;
    VYRNOBS noeffectcnt;
    double* x; // the nparms values of the current observation
    double mmRowSum;
    char delimiter;
    ZLEVSPLINECONTROL* splineControlPtr;
    ZLEVPOLYCONTROL* polyControlPtr;
    ZLEVLAGCONTROL* lagControlPtr;
};

struct ZLEVEFTLST {
    int n;
    ZLEVEFTVAR* var;
};

// Polynomial standardisation sums.
struct ZLEVSTANDARDIZE {
    double* xsum;
    double* xss;
    double sumFreqs;
    double nObs;
    double sumWeights;
    int nVars;
    int* varList;
};

// The model.
struct ZLEVMOD {
    int p;       // number of design columns
    char opt[9]; // option bytes (ZLEV_OPT*)
    ZLEVVLST clas;
    ZLEVVLST cont;
    ZLEVVAR* fvar; // the frequency variable, or null ...
    double fval;   // ... and its current value
    ZLEVEFTLST eft;
    int nef;
    ZLEVETRM* ef;
    ZLEVXINF* x;
    int maxparmnamelen;
    int maxparmlabellen;
    char** parmname;
    char** parmlabel;
    ZLEVINMODEL* inmodel;
    int labelCult; // 0: parameter names through the naming kit; 1 aligned labels
    int genericParamNames;
    ZLEVSTR namePrefix;  // generic names: the prefix (its first l - 1 characters)
    ZLEVSTR separator;   // interaction separator of the naming kit (first l - 1)
    char levelDelimiter; // between class levels in label-culture labels
    ZLEVSTANDARDIZE* stddize;
    ZLEVSTANDARDIZE* stddizew;
    char lagsReadyFlag;
    int nLagEftToLevelize;
    ZLEVEFTVAR** lagEftToLevelize; // the lag effect variables whose subjects are to be found
    void* userptr;
    int status; // the model's return code: >= 112 data problems, >= 1012 failures
    int order;  // default order code
    int vlen;   // formatted width handed to the formatter (-1: each variable's own)
    int maxvlen;
    int sumvlen;
};

// Option bits.
inline constexpr unsigned char ZLEV_OPT0_NONAMES = 0x01;    // no parameter names or labels
inline constexpr unsigned char ZLEV_OPT0_ACROSSBY = 0x02;   // read across BY groups
inline constexpr unsigned char ZLEV_OPT0_NOORDERMSG = 0x04; // no order-difference flag
inline constexpr unsigned char ZLEV_OPT0_NOYWF = 0x08;      // effect pass reads no y, w, f
inline constexpr unsigned char ZLEV_OPT0_FULLRANK = 0x10;   // effects counted combinatorially
inline constexpr unsigned char ZLEV_OPT0_NOCENTER = 0x20;   // continuous values as read
inline constexpr unsigned char ZLEV_OPT0_NOINT = 0x40;      // first crossed variable keeps all
inline constexpr unsigned char ZLEV_OPT1_ZEROWF = 0x10;     // zero weights and frequencies accepted
inline constexpr unsigned char ZLEV_OPT1_KEEPALL = 0x40; // keep observations whatever their status
inline constexpr unsigned char ZLEV_OPT1_RENAMED = 0x80; // UniqDups changed a name

// The data source.
struct ZLEVDAT {
    DSHANDLE* fid;
    XVHANDLE* xvd;    // retrieval vector with formatted classification values
    XVHANDLE* xvdnof; // and without
    char* buf;
    char* bufnof;
    POOLHANDLE* pool; // everything the reader allocates
    long buflen;
    long bufnoflen;
};

// One result kept by the fit cache (zlevfit): its type, data and the next.
struct ZLEVFITS {
    int type;
    void* data;
    ZLEVFITS* next;
};

// A linear hypothesis L b = 0: nl rows of the model's design columns.
struct ZLEVL {
    ZLEVMOD* m;
    int nl;
    double* data; // nl rows of nx coefficients
};

// Estimability record of a sweep: for each pivot its dependency on the
// earlier columns (data, t by t) and whether it swept (estimbl).
struct ZLEVH {
    ZLEVMOD* m;
    double* data;
    int* estimbl;
    double zeta;
    double* work;
    char* dfs;
};

// The result of a hypothesis test: the hypothesis sums of squares (packed k
// by k), the rank of L G L', the number of estimates, the estimates L b and
// the kept copy of L G L'; what was not asked for is empty.
struct ZLEVTESTR {
    double* ss;
    int rank;
    int nest;
    double* est;
    double* q;
};

// The fit request of a reader.
struct ZLEVFITI {
    ZLEVFITS* stuff;
    double* y;
    int ny;
    int* perm;
    int nx;
    void* yinfo;
    void* winfo;
    void* fitinfo;
    long options;
    double abstol;
    double dropwgtval;
    int (*GetY)(ZLEVREGI* r, double* y, void* yinfo);
    int (*GetW)(ZLEVREGI* r, double* w, void* winfo);
    double* (*GetXpX)(ZLEVREGI* r);
    double* (*GetR)(ZLEVREGI* r);
    double* (*GetBeta)(ZLEVREGI* r);
    double* (*GetSSE)(ZLEVREGI* r);
    double* (*GetSST)(ZLEVREGI* r);
    ZLEVTESTR* (*Test)(ZLEVREGI* r, ZLEVL* l, int iy, const char* what);
};

// Fit options.
inline constexpr long ZLEV_FIT_INPLACE = 1; // sweep the cached crossproducts in place
inline constexpr long ZLEV_FIT_ABSTOL = 2;  // abstol is the lowest singularity tolerance

// Result types of the fit cache.
inline constexpr int ZLEV_FIT_XPX = 0;
inline constexpr int ZLEV_FIT_SWEPT = 1;
inline constexpr int ZLEV_FIT_BETA = 2;
inline constexpr int ZLEV_FIT_RELEASE = 3;
inline constexpr int ZLEV_FIT_ROOT = 4;
inline constexpr int ZLEV_FIT_ROOTINV = 5;
inline constexpr int ZLEV_FIT_SSE = 6;
inline constexpr int ZLEV_FIT_SST = 7;
inline constexpr int ZLEV_FIT_SSM = 8;
inline constexpr int ZLEV_FIT_TEST = 9;
inline constexpr int ZLEV_FIT_STORE = 10;
inline constexpr int ZLEV_FIT_ESTIM = 12;

// The reader's callbacks.
using ZLEVREADER = int (*)(ZLEVREGI* r);
using ZLEVGETVALS = int (*)(ZLEVREGI* r, const char* role, ...);
using ZLEVGETLEVINDEX = int (*)(int* levelize, void* userptr);

// The levelized design reader. The caller zero-fills it and sets d, y, w, f,
// t, o, cs, nwgt and m (and any callback it replaces); zlevrgi completes it.
struct ZLEVREGI {
    ZLEVDAT* d;
    ZLEVVLST y;  // responses, read as doubles in this order
    ZLEVVAR* w;  // nwgt weight variables, or null
    ZLEVVAR* f;  // frequency variable, or null
    ZLEVVAR* t;  // read after the responses; current value in t->val.x
    ZLEVVAR* o;  // read before the responses
    ZLEVVAR* cs; // read after t
    int nwgt;
    ZLEVMOD* m;
    ZLEVREADPARMS* readParm; // threaded reading (may be preset: nThreads, nRecMax, moreCalls)
    int n;
    int maxnlev;
    int* g; // each classification variable's level for the current observation (-1 none)
    double** gVal;
    int** yposcl; // per response: its classification slot in g, when it is one
    double* z;    // continuous values of the current observation
    double* row;
    ZLEVFITI fit;
    char** c; // formatted classification values of the current observation
    void* p;
    int across_by;
    int threading; // 1: levelize with worker threads
    char readfmt;  // 1: values are read with the formatted retrieval vector
    ZLEVREADER GetInit;
    ZLEVREADER GetNext;
    ZLEVGETVALS GetVals;
    ZLEVGETLEVINDEX GetLevIndex;
    ZLEVREADER CheckOMData;
    ZLEVREADER InterruptRgx;
};

// Status bits of zlevrgd.
inline constexpr int ZLEV_ST_WEIGHT = 0x01;   // weight or frequency missing or not positive
inline constexpr int ZLEV_ST_DESIGN = 0x02;   // the observation cannot enter the design
inline constexpr int ZLEV_ST_RESPONSE = 0x04; // a response missing, or its class value no level
inline constexpr int ZLEV_ST_NOLEVEL = 0x08;  // a classification value is not a level
inline constexpr int ZLEV_ST_CONTMISS = 0x10; // a continuous value is missing
inline constexpr int ZLEV_ST_EFFECT = 0x20;   // an effect cannot be formed
inline constexpr int ZLEV_ST_NOEFFECT = 0x40; // an all-absent multi-member variable accepted

// Return codes of zlevrgi.
inline constexpr int ZLEV_RC_NOLEVELS = 1; // a classification variable has no level
inline constexpr int ZLEV_RC_NOREF = 2;    // a reference level given by value is not a level
inline constexpr int ZLEV_RC_READ = 5;     // the observations could not be read (worker failure)
inline constexpr int ZLEV_RC_EFFECTS = 6;  // constructed effects failed

// ---------------------------------------------------------------------------
// The reader.

// Initialises reader r for the current BY group; see ZLEV_RC_* (0: ready).
int zlevrgi(ZLEVREGI* r);
// Copies the positioned observation: responses into y (y.n doubles, or
// null), weight into *w and frequency into *f (either may be null), each
// classification variable's level into r->g. Returns the status bits.
int zlevrgd(ZLEVREGI* r, double* y, double* w, double* f);
// The light initialiser: no levelization.
int zlevseci(ZLEVREGI* r, POOLHANDLE* pool);
// The number of parameters of effect i.
int zlevedf(ZLEVMOD* m, int i);
// The selected-model mask, made on first use.
ZLEVINMODEL* SetInmodel(ZLEVREGI* r);
// 1 when effect i can be formed for the current observation; updates *missing.
int zlevCheckEftEXMISS(int* missing, ZLEVREGI* r, ZLEVMOD* m, int i);
// The lagged level of lag for the current observation: -1 none, -2 too early.
int zlevGetEftLaggedLevel(ZLEVREGI* r, ZLEVLAGCONTROL* lag);
// Fills var->x for the current observation.
void zlevGetEftVarCols(ZLEVREGI* r, ZLEVEFTVAR* var);

// Default callbacks.
int GetInit(ZLEVREGI* r);
int GetNext(ZLEVREGI* r);
int GetInitAcrossBy(ZLEVREGI* r);
int GetNextAcrossBy(ZLEVREGI* r);
int GetVals(ZLEVREGI* r, const char* role, ...);

// ---------------------------------------------------------------------------
// The levelizer (used by the reader; public for tests and later clients).

ZLEV* zlevini(DSHANDLE* fid, ZLEVMOD* m);
int zlevrinit(ZLEVREGI* r, ZLEV* l);
// Reads and levelizes the BY group. Returns 0, or 1 when the observations
// could not be read (a worker failed and the group could not be read again).
int zlevadd(DSHANDLE* fid, ZLEV* l, ZLEVMOD* m);
int zlevlls(POOLHANDLE* pool, ZLEV* l, ZLEVMOD* m, int j, ZLEVVAL* val);
void zlevror(POOLHANDLE* pool, ZLEV* l, ZLEVMOD* m, int j, ZLEVVAL* val, int type);
int zlevllm(POOLHANDLE* pool, ZLEV* l, ZLEVMOD* m, int j, ZLEVVAL* val);
int zlevlwh(ZLEVDAT* d, ZLEVVAR* g, char* v);
void ShellSort(char* v, int n, int64_t* p, const char* t1, const char* t2, int len, int alen);
void SortLevels(char** v, int* index, int n, int length);
int Stringjl(char* s, int len);

// ---------------------------------------------------------------------------
// Effect level lists: the column-owning level combinations of full-rank
// effects (levelsnonsing) and each design column's levels (levelsall).
// nList 0 means every effect.
int zlevLevelsAll(ZLEVREGI* r, int nList, int* effList);
int zlevLevelsAllOne(ZLEVREGI* r, ZLEVETRM* ef, int* eftDiv, POOLHANDLE* pool);
int zlevLevelsNonSing(ZLEVMOD* m, POOLHANDLE* pool, int nList, int* effList);
int zlevLevelsNonSingOne(ZLEVMOD* m, POOLHANDLE* pool, ZLEVETRM* ef, int* work);
// The level of classification variable v that owns column c of its block in
// a full-rank design, and the column that level l owns (-1: none).
int zlevColumnLevel(const ZLEVVAR* v, int c);
int zlevLevelColumn(const ZLEVVAR* v, int l);

// ---------------------------------------------------------------------------
// Design rows and crossproducts.

// The design row of the current observation into x (m->p doubles); z and g
// (each may be null or the reader's own) are copied into the reader first.
void zlevrgx(ZLEVREGI* r, double* z, int* g, double* x);
// The class part of effect j at x (its first column): 0 when nothing was
// placed, else the count placed.
int zlevpar(ZLEVREGI* r, int j, double* x);
// Codes level i of v with value z into the n doubles at x.
void zlevflr(ZLEVVAR* v, double* x, int i, int n, double z);
// a (n values) becomes the n m products a[i] b[q] at i m + q ...
void zlevCrossMultiply(double* a, int n, const double* b, int m);
// ... or at q n + i.
void zlevEffCrossMultiply(double* a, int n, const double* b, int m);
// Adds wgt times the crossproducts of (design row, y) to the packed xpx.
int zlevscp(ZLEVREGI* r, double* xpx, double wgt, int ny, double* y);
// 1 when a[k] == b[p[k]] for every k < n.
int EqIntList(const int* a, const int* b, int n, const int* p);

// ---------------------------------------------------------------------------
// Parameter names and labels.
int ParmName(ZLEVREGI* r);
void zlevEfParmLabel(ZLEVMOD* m, POOLHANDLE* pool, int effNum, int maxEffLen);
int UniqDups(ZLEVREGI* r);
int clcmp(char* p1, char* p2, int len, int off);
void zlevEftVarParmLevName(ZLEVREGI* r, ZLEVEFTVAR* eftVar);
void zlevParmName(ZLEVREGI* r, int nList, int* effList);
void zlevEftVarLevNames(ZLEVREGI* r, int nList, int* eftVarList);
int zlevEfLevelLabel(ZLEVMOD* m, ZLEVETRM* ef, char* labelPtr, const int* levels);
int zlevLenLevelLabel(ZLEVMOD* m, ZLEVETRM* ef, const int* levels);
void zlevEfClassLevelTrue(ZLEVMOD* m, ZLEVETRM* ef, const int* levels, char** charVal,
                          double* numericVal);
int zlevchk(ZLEVREGI* r);

// ---------------------------------------------------------------------------
// Reader teardown: frees the parts named by the bits of `what`.
inline constexpr int ZLEV_TRM_LEVELS = 0x01;
inline constexpr int ZLEV_TRM_WORK = 0x02;
inline constexpr int ZLEV_TRM_CALLBACKS = 0x04;
inline constexpr int ZLEV_TRM_FIT = 0x08;
inline constexpr int ZLEV_TRM_DATA = 0x10;
inline constexpr int ZLEV_TRM_POOL = 0x20;
inline constexpr int ZLEV_TRM_THREADS = 0x40;
int zlevtrm(ZLEVREGI* r, int what);

// ---------------------------------------------------------------------------
// Level maps, effect columns, means and class-value lookups.
int zlevMapEftLevInverse(POOLHANDLE* pool, ZLEVMOD* m);
void zlevGetEfCols(ZLEVREGI* r, int efNum, double* x);
int zlevGetEfNosepCols(ZLEVREGI* r, int efNum, int nderived, double* x);
void zlevGetEfClassLevels(ZLEVETRM* ef, int parmNum, int* levList);
void zlevEfMeans(ZLEVREGI* r, double* xtotal, double* efmeans, double* noefct, double scale);
int zlevLSMBylevel(ZLEVREGI* r, ZLEVEFTVAR* var, int* pos, char* mmLevFound);
int zlevEftClValParm(ZLEVETRM* ef, int i, char** val, int nval);
int zlevEftClValN(ZLEVETRM* ef, int i);
int zlevEfClValN(ZLEVETRM* ef);
int strjscmp(const char* s1, int l1, const char* s2, int l2);
void FindYonClass(ZLEVREGI* r);

// ---------------------------------------------------------------------------
// Constructed effect variables.

// Readies every constructed effect variable once the levels are known: 0, 3
// (percentile sort or knots), 4 (polynomial standardisation), 5 (lags).
int zlevefti(ZLEVREGI* r);
void zlevStddizeForPolynomials(ZLEVREGI* r);
int zlevFindContVarInModel(ZLEVMOD* m, const ZLEVSTR* namex, int* cno);

// The percentile sort: one sorted utility file of values (and frequencies)
// per continuous variable that has percentile knots.
struct XCFILE;
struct ZLEVSORT {
    int rc;
    int nSort;
    int* var;   // per slot: the variable's index in the model's continuous list
    int* xcVar; // per continuous variable: its slot, or -1
    XCFILE** xcIn;
    XCFILE** xcOut;
    double nRecs;
    double sumFreqs;
};
int zlevSortForPercentiles(ZLEVREGI* r, ZLEVSORT* sort);
void zlevSortForPercentilesTerm(ZLEVSORT* sort);
int zlevBSplineKnots(ZLEVEFTVAR* v, ZLEVMOD* m, POOLHANDLE* pool, ZLEVSORT* sort);
int zlevTPFSplineKnots(ZLEVEFTVAR* v, ZLEVMOD* m, POOLHANDLE* pool, ZLEVSORT* sort);
void GetBSplineVals(ZLEVSPLINECONTROL* spl, int k, double xVal, double* x);
void GetTPFSplineVals(ZLEVSPLINECONTROL* spl, int k, double xVal, double* x);
void GetTPFSplineNaturalCubicVals(ZLEVSPLINECONTROL* spl, int k, double xVal, double* x);
void GetPolyVals(ZLEVPOLYCONTROL* polyPtr, int ncont, const int* cont, const double* xVals,
                 double* x);
void zlevLevelizeLagWithin(ZLEVREGI* r, int nLagEftToLevelize, ZLEVEFTVAR** lagEftToLevelize);
int zlevLagDesignCreate(ZLEVREGI* r, ZLEVLAGCONTROL* lagPtr, ZLEVEFTVAR* eft,
                        DSHANDLE* scoreDataFid, DSHANDLE* scoreDataOutFid);

// ---------------------------------------------------------------------------
// Effect containment hierarchy.
struct ZLEV_HIERARCHY {
    ZLEVREGI* r;
    POOLHANDLE* pool; // the result lists' pool when pooltype is not 0
    QXPoolh qxpool;   // ... and when it is 0
    int pooltype;
    int hierarchyToUse; // 2 class variables only; 0 none (unless method 3); else all
    int method;
    int* nContainedIn; // per effect (zeroed by the caller)
    int* nContains;
    int** containedInList;
    int** containsList;
};
// One effect's lists as the comparators see them.
struct ZLEV_ALL_LIST {
    int nclas, ncont, nefct;
    int *clas, *cont, *efct;
};
int zlevhier(ZLEV_HIERARCHY* hier);
int levefc_all(int i, int j, ZLEV_ALL_LIST* list);
int levefc_class(int i, int j, ZLEV_ALL_LIST* list);
int cont_lstcmp(int* l1, int n1, int* l2, int n2);

// ---------------------------------------------------------------------------
// List utilities over arrays of n elements of s bytes.
int zlstcmp(const void* l1, int n1, const void* l2, int n2, int s);
int zlstcmpMul(const void* l1, int n1, const void* l2, int n2, int s);
int zlstmul(const void* l, int n, const void* e, int s);
int zlstmem(const void* l, int n, const void* e, int s);
int zlstmel(void* l, int n, const char* e, int s);
int zlstjn(const void* l1, int n1, int* idx1, const void* l2, int n2, int* idx2, int s);

// ---------------------------------------------------------------------------
// The fit interface and its cache.
int zlevfx(ZLEVFITI* f);
double* GetXpX(ZLEVREGI* r);
double* GetR(ZLEVREGI* r);
double* GetBeta(ZLEVREGI* r);
double* GetSSE(ZLEVREGI* r);
double* GetSST(ZLEVREGI* r);
ZLEVTESTR* Test(ZLEVREGI* r, ZLEVL* l, int iy, const char* what);
// A result by type (ZLEV_FIT_*), computed on first request and kept.
void* zlevfit(ZLEVREGI* r, int type, ...);
// Sweeps pivot k of the packed n by n xpx: 1 when swept, 0 when singular.
int zlevswp(double* xpx, int k, int n, char* df, double* w, double sing, ZLEVH* ph);
void invlo(double* a, int n, double* work, double singular);
void FreeStuffData(ZLEVDAT* d, ZLEVFITS* s);

// ---------------------------------------------------------------------------
// The naming kit.

struct ZMNSTR {
    int len;
    char* val;
};

struct ZMNCLASS;

struct ZMNLEVEL {
    ZMNLEVEL* next;
    char class_[32];
    char label[256];
    char parmname[32];
    char parmlabel[256];
    ZMNCLASS* classvar;
    void* extrainfo;
    union {
        double num;
        char cha[32];
        char name[32];
    } unformatted;
    double freq;
    short addflag;
};

struct ZMNCLASS {
    char name[32];
    char reflev[32];
    char buflab[256];
    char label[256];
    int nfl;
    int nflen;
    int cprefix;
    int lprefix;
    int maxvlength;
    ZMNSTR sepnv;
    ZMNLEVEL* levels;
    char buffor[32];
    char order;
    union {
        double num;
        char cha[32];
    } bufunform;
    int varnum;
    int nclasses, classnum, index;
    short numeric;
    short reflevfound, firstinfun, orthcoding;
};

struct ZMNQUANT {
    char name[32];
    char label[256];
};

struct ZMNEFFECT {
    char name[32];
    char label[256];
    ZMNLEVEL** levels;
    ZMNQUANT** vars;
    int nways;
    int nquants;
    int nparmnames;
    ZMNSTR sepint;
    short quantfirst;
    int classnum, effectnum;
    short flags;
    void* varptr;
};

ZMNCLASS* zmnalcl(int nclass, POOLHANDLE* pool);
void zmnprcl(ZMNCLASS* classlist, int nclass);
void zmname(ZMNEFFECT* effects, int neffects);
void zmzname(int which, char* name, int len, int underbar);
void zmnconc(char* to, const char* from1, const char* from2, int lento, int lenfrom1, int lenfrom2);
void zmnlcon(char* to, const char* from, int lento, int lenfrom, const char* sep, int seplen);
void zmnsuff(ZMNEFFECT* effects, int neffects, int maxvlen, const char* suffix, int suffixlen,
             int replace);
void zmncomp(char* to, const char* from1, const char* from2, int lento, int lenfrom1, int lenfrom2);
void zmnjust(const char* from, char* to);
void zmnduef(ZMNEFFECT* effects, int n);
void zmnducl(ZMNCLASS* classes, int n);

// ---------------------------------------------------------------------------
// The formatted-value service: one formatter per worker thread.
ZNQVFMTGLOBAL* znqvfmt(DSHANDLE* fid, const int* list, int listn, int nth, int* rc, int vlen);
void znqvftrm(ZNQVFMTGLOBAL** fg);

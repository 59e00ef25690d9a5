// The levelizer's own records and the helpers its files share: its state
// (ZLEV), level nodes, the threaded set-up with its buffers and workers, and
// the rules both the single-thread and the threaded pass apply, so that the
// two cannot drift apart.
#pragma once

#include <atomic>
#include <csetjmp>
#include <cstddef>
#include <cstdint>

#include "levelize/levelize.h"
#include "runtime/qxfmt.h"
#include "vyr_data.h"
#include "vyr_host.h"

struct ZLEV;

using ZLEVCB = int (*)(ZLEV* l, ZLEVMOD* m);

// A level node of the levelizer's level trees (host balanced trees), keyed
// by the formatted value.
struct ZLEVNOD {
    TREE t;
    ZLEVTRUE true_;
    VYRNOBS freq;  // summed frequency
    VYRNOBS order; // first appearance: the level's number in order of appearance
    char idx[8];   // the formatted value, vlen bytes (the node is sized for maxvlen)
};

// The levelizer's state for one model and BY group.
struct ZLEV {
    POOLHANDLE* pool;
    int offset;   // position of idx in a level node
    int nodesize; // bytes of a level node
    int nclas, ncont;
    int* type;
    int* nlev;
    TREE** head;
    ZLEVREADPARMS* readParm;
    double* xmin;
    double* xmax;
    int nxc, ncc;
    int* ixc;
    int* icc;
    int* levelize;
    double* x;
    char** c;
    double* xc;
    ZLEVSTR* cc;
    void* p; // the data set, then the reader
    char readfmt;
    ZLEVCB GetInit;
    ZLEVCB GetNext;
    ZLEVCB GetVals;
    ZLEVCB GetLevIndex;
};

// Worker-side tree nodes (kernel AVL trees in per-variable kernel pools).
struct ZLEVQXNODE {
    QXEAVLNODE t;
    VYRNOBS freq;
    VYRNOBS order; // observation number of first appearance
    double z;      // smallest unformatted numeric value
    int l;         // smallest unformatted character value: length ...
    char* s;       // ... and address (after the key, in the node)
    char* x;       // address of c
    char c[8];     // the formatted value padded to maxvlen (the key), then room for raw bytes
};

struct ZLEVQXRNODE {
    QXEAVLNODE t;
    double key;    // the unformatted value (the key)
    int i;         // level index (after ordering)
    ZLEVQXNODE* f; // the formatted-value node this value went to
    char c[8];     // formatted copy, vlen bytes
};

struct ZLEVQXRCNODE {
    QXEAVLNODE t;
    int i;
    char* x;       // address of the formatted copy
    ZLEVQXNODE* f; // the formatted-value node this value went to
    char c[8];     // the unformatted value padded to maxCharLen (the key), then the copy
};

struct ZLEVBUFFER {
    long nRec;
    long nRecMax;
    long nFills;
    int index;
    int RecLen;
    int* nodesize;
    int* rnodesize;
    int* offsets;
    int* lengths;
    char* all;
    char* curr;
    void* userptr;
    unsigned char* levindex;
    ZLEVMOD* m;
    ZLEV* l;
};

struct ZLEVTHREADPARMS {
    ZLEVBUFFER* buffer;
    ZLEVREADPARMS* rp;
    ZNQVFMT* fmt;
    char** nodes;    // per variable: the current chunk of formatted-value nodes
    char** Rawnodes; // per variable: the current chunk of raw-value nodes
    QXEventh bufferFullEvent, errorEvent, exitEvent, doneEvent;
    QXEAVLh* tree;    // per variable: formatted values
    QXEAVLh* Rawtree; // per variable: unformatted values
    QXPoolh* qxPool;
    QXPoolh* qxRawPool;
    sigjmp_buf* JumpBuffer;
    volatile int code; // exception code + 1 of the last trapped exception
    bool MathHandler;  // the exception handler is pushed
    bool started;      // the worker's task ran
    int* csize;
    int* ccnt;
    int* Rawcsize;
    int* Rawccnt;
    char* key; // scratch key for character values
    int index;
};

struct ZLEVREADPARMS {
    VYRNOBS obscnt;
    char mustQuiesce;
    char errorFlag;
    char clefFlag;
    char LLoad, ELoad, FormTree, ThreadLoad;
    char moreCalls;
    int RecLen;
    int rc; // 0, 1 set-up failed, 43..56 a worker failure
    int nTrees;
    int nThreads;
    int maxCharLen;
    int zlev; // 1 when zlevrinit allocated the record
    long nRecMax;
    int* offsets;
    int* lengths;
    int* nodesize;
    int* rnodesize;
    int* work;
    QXPoolh qxPool; // "Levelize pool"
    QXEAVL_EXTENSION* qxeavlfh;
    QXEAA_EXTENSION* qxeaa;
    ZLEVBUFFER* buffer;
    ZLEVTHREADPARMS* threadParm;
    ZNQVFMTGLOBAL* nqvfmt;
    QXEventh idleEvent; // posted by a worker that freed its buffer or failed
    int workers;        // workers that ran in the last pass
};

// Worker status codes posted on errorEvent.
inline constexpr uint32_t ZLEV_WORKER_NOMEM = 0x803fc002u;
inline constexpr uint32_t ZLEV_WORKER_TRAP = 0x803fc009u;

// Test hooks (0: off). A positive trapAtRecord makes the worker that
// levelizes the record with that observation number raise kernel exception
// trapCode; failChunkAt makes that allocation of a node chunk fail (counted
// over all workers from 1); failMergeAt the same for the level nodes of the
// merge. emptyHandovers and handovers count the buffers handed to workers
// (empty ones, and all).
struct ZLEVTESTHOOKS {
    std::atomic<long> trapAtRecord{0};
    std::atomic<int> trapCode{2};
    std::atomic<long> failChunkAt{0};
    std::atomic<long> chunks{0};
    std::atomic<long> failMergeAt{0};
    std::atomic<long> merges{0};
    std::atomic<long> emptyHandovers{0};
    std::atomic<long> handovers{0};
};
ZLEVTESTHOOKS& zlevTestHooks();

// ---------------------------------------------------------------------------
// Rules shared by both passes.

// Whether the current observation may be levelized: not when a character
// classification value is blank, a numeric one missing, or a continuous
// value missing (variables that count missing values as a level, or ignore
// them, are not looked at), unless ZLEV_OPT1_KEEPALL keeps everything.
bool zlevUsable(const ZLEV* l, const ZLEVMOD* m, const double* xc, const ZLEVSTR* cc,
                const double* x);
// Whether variable v's missing value (blank text or missing number) is not
// levelized for this observation.
bool zlevSkipValue(const ZLEVVAR* v, const ZLEVMOD* m, bool missing);
// The weight of an observation from its frequency: 1 without a frequency
// variable; 0 when missing, below 1 or above 2^63; else truncated.
VYRNOBS zlevWeight(bool hasFreq, double f);
// True when numeric value a is kept as a level's unformatted value instead
// of b: missing values lowest (by their code), then numbers; among values
// the comparison finds equal, the smaller bit pattern, so that the value kept
// does not depend on the order the values were seen in.
bool zlevLowerTrue(double a, double b);
// The formatted value (as the formatter wrote it at the format's own width)
// fitted to vlen bytes into out exactly as the host's formatted read of
// width vlen fits it: a text cut or blank padded; a number blank padded, or
// when wider, without its blanks right-justified, or asterisks.
void zlevCutFormatted(const char* text, long len, bool numeric, char* out, int vlen);
// The note on cut formatted values, once per variable: when the display
// width of v is above its vlen.
void zlevTruncNote(ZLEVVAR* v);
// The display width of a classification variable: its format width, else
// its stored length.
int zlevDisplayWidth(const NAMESTR* n);

// Allocation from the levelizer's host pool that ends the step on
// exhaustion (the message is printed).
void* zlevAlloc(POOLHANDLE* pool, long len);

// A chunk of worker nodes from a kernel pool (zlevini.cpp); null when the
// pool cannot supply it.
char* zlevChunk(QXPoolh pool, int count, int size);
// Threaded levelization pieces (zlevadd.cpp).
void CleanupLThreads(ZLEVREADPARMS* rp, ZLEVMOD* m, int all);

// The default readers of the levelizer (zlevini.cpp).
int GetInit(ZLEV* l, ZLEVMOD* m);
int GetNext(ZLEV* l, ZLEVMOD* m);
int GetVals(ZLEV* l, ZLEVMOD* m);
// The levelizer's gates back to the reader (zlevget.cpp).
int LevGetInit(ZLEV* l, ZLEVMOD* m);
int LevGetNext(ZLEV* l, ZLEVMOD* m);
int LevGetVals(ZLEV* l, ZLEVMOD* m);
int LevGetLevIndex(ZLEV* l, ZLEVMOD* m);
// The single-thread levelization of one observation (zlevadd.cpp).
int zlevad1(DSHANDLE* fid, ZLEV* l, ZLEVMOD* m, ZLEVNOD** old, ZLEVNOD** next);

// ---------------------------------------------------------------------------
// Routines of the effect part of the library the reader calls (stubs.cpp
// until that part is built).
int zlevefti(ZLEVREGI* r);
int ThreadInit(ZLEVREGI* r);
void CleanupEThreads(ZLEVREGI* r);
int zlevEffectPassThreaded(ZLEVREGI* r, double* y, double* w, double* f);
void zlevEftVarParmLevName(ZLEVREGI* r, ZLEVEFTVAR* eftVar);
int zlevLevelsAll(ZLEVREGI* r, int nList, int* effList);
int ParmName(ZLEVREGI* r);
void zlevEfParmLabel(ZLEVMOD* m, POOLHANDLE* pool, int effNum, int maxEffLen);
int UniqDups(ZLEVREGI* r);
void zlevflr(ZLEVVAR* v, double* x, int i, int n, double z);
void zlevSplineCols(ZLEVREGI* r, ZLEVEFTVAR* var);
void zlevPolyCols(ZLEVREGI* r, ZLEVEFTVAR* var);
double* GetXpX(ZLEVREGI* r);
double* GetR(ZLEVREGI* r);
double* GetBeta(ZLEVREGI* r);
double* GetSSE(ZLEVREGI* r);
double* GetSST(ZLEVREGI* r);
void* Test(ZLEVREGI* r, ZLEVL* l, int iy, const char* what);

// The reader's own small pieces of the design-row part (zlevrgd.cpp).
int zlevwel(ZLEVETRM* ef, const int* g);
int zlevIntCompare(char* a, char* b, int len, int off);
int FitGetY(ZLEVREGI* r, double* y, void* p);
int FitGetW(ZLEVREGI* r, double* w, void* p);

// Messages of the levelizer.
inline constexpr int ZLEV_GRP_LEV = 172;    // levelization
inline constexpr int ZLEV_GRP_THREAD = 174; // threads and effects

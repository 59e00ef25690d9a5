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
    // The effect-level pass: per effect tree its kernel AVL tree, the pool of
    // its nodes, the current chunk of nodes, the chunk size and the nodes
    // used of the current chunk; the level indexes of the record at hand.
    QXEAVLh* etree;
    QXPoolh* eqxPool;
    char** enodes;
    int* ecsize;
    int* eccnt;
    int* rg;
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
    // The effect-level pass: the effect of each tree, each tree's node size
    // and key length (ints), and its record length.
    int* etreeEffect;
    int* enodesize;
    int eRecLen;
    int eworkers; // workers that ran in the last effect-level pass
    // The reading thread's raw class values of the observation at hand.
    double* xc;
    ZLEVSTR* cc;
};

// A node of a worker's effect tree: the effect's level indexes, nested
// variables first, then crossed ones (the key).
struct ZLEVQXENODE {
    QXEAVLNODE avln;
    int* x; // address of c
    int c[2];
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
    // The effect-level pass: a worker that inserts the record with that
    // number (counted from 1 over the pass) raises exception effTrapCode;
    // effFailChunkAt makes that allocation of an effect node chunk fail
    // (counted over all workers from 1, the set-up's included).
    std::atomic<long> effTrapAtRecord{0};
    std::atomic<int> effTrapCode{2};
    std::atomic<long> effFailChunkAt{0};
    std::atomic<long> effChunks{0};
    std::atomic<long> effHandovers{0};
    std::atomic<long> effRecords{0};   // records inserted so far in the pass
    std::atomic<long> effFallbacks{0}; // raw values looked up by their formatted value
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
// The effect-level pass on worker threads (zlevthr.cpp).

// 1 when the threaded effect-level pass is ready, 0 when it does not apply
// or its set-up failed (everything made is then released).
int ThreadInit(ZLEVREGI* r);
// Releases what the threaded passes made (all of it unless moreCalls keeps
// the workers' structures for a further pass). Safe to call again.
void CleanupEThreads(ZLEVREGI* r);
// Runs the threaded effect-level pass after ThreadInit: every usable
// observation's levels go to the workers, whose trees are then merged into
// the effect trees roots[e] (host trees of int keys at keyoff, nodes from
// pool), each new combination counted in ef.nlev. Returns 0, or 1 when a
// worker failed or none could run (the caller reads the group again on the
// task thread).
int zlevEffectPassThreaded(ZLEVREGI* r, double* y, double* w, double* f, TREE** roots,
                           POOLHANDLE* pool, int keyoff);
// Reads the next observation into buf when usable: 1 at the end of the data.
int AddToBuffer(ZLEVREGI* r, double* y, double* w, double* f, ZLEVBUFFER* buf);
int ThProcessEffectsBuffer(ZLEVTHREADPARMS* tp);
int TreeEffects(ZLEVTHREADPARMS* tp);

// The status of the current observation once its values are read and the
// level of each classification variable is in r->g (zlevrgd.cpp): every
// check zlevrgd makes after the level lookup. `lev` is the level-index
// callback's array, or null.
int zlevObsStatus(ZLEVREGI* r, double* y, double* w, double* f, const int* lev);
// Whether the effect-level pass keeps an observation of that status.
bool zlevEffectPassKeeps(const ZLEVMOD* m, int status);

// The data value of continuous variable c of the current observation: the
// reader's centred and scaled value turned back (zlevefti.cpp).
double zlevRawValue(const ZLEVREGI* r, int c);
// The per-observation columns of spline and polynomial effect variables.
void zlevSplineCols(ZLEVREGI* r, ZLEVEFTVAR* var);
void zlevPolyCols(ZLEVREGI* r, ZLEVEFTVAR* var);

// The reader's own small pieces of the design-row part (zlevrgd.cpp).
int zlevwel(ZLEVETRM* ef, const int* g);
int eCompare(const ZLEVETRM* ef, int i, const int* g);
int zlevIntCompare(char* a, char* b, int len, int off);
int FitGetY(ZLEVREGI* r, double* y, void* p);
int FitGetW(ZLEVREGI* r, double* w, void* p);
// Whether effect e, effect variable k, classification variable i or
// continuous variable i is outside the selected model.
bool zlevEfExcluded(const ZLEVMOD* m, int e);
bool zlevEftExcluded(const ZLEVMOD* m, int k);

// The number of decimal digits of n >= 0 (1 for 0).
int zlevDigits(long n);
// A classification variable's level text without trailing blanks.
int zlevLevelText(const ZLEVVAR* v, int l, const char** text);
// The coded level part of a name ("OEFF3", ...) for parameterization codes
// that have one, 0 for the others; written into out (room for 32).
int zlevCodedName(int param, int level, char* out);
// The message (group 174) of a threaded pass whose worker trapped the
// exception `code`; defined in zlevthr.cpp, used by both threaded passes.
int zlev_failure_number(int code);

// The device-graphics library: a plot description (GRAFSTR) is made,
// prepared for each output destination, set up (cells, titles, SYMBOL
// definitions, legend, axes, margins), drawn into a catalogue segment through
// the host's graphics kernel (vyr_gkernel.h), handed to the output layer and
// ended. Also the forest of trees that indexes character axis values, the
// axis scaling, graphics start-up, and the procedure's device plots
// (korvgp1 and korvgp2, declared in common/stages.h and below).
//
// Every length is in percent of the graphics area once zggrpct has run; a
// data value v maps to v * atrans + btrans of its axis. Routines return a
// long: 0, a negative code (table below), or the size in bytes of an
// allocation that failed.
#pragma once

#include <cstdint>

#include "common/korvcom.h"
#include "common/stages.h"
#include "runtime/ztree.h"
#include "vyr_catalogue.h"
#include "vyr_files.h"
#include "vyr_gkernel.h"
#include "vyr_host.h"

struct NAMESTR;

// Codes of the library.
namespace zgr
{
inline constexpr long STARTUP = -1;      // graphics start-up for a destination failed
inline constexpr long SEGMENT = -5;      // opening or closing the catalogue segment failed
inline constexpr long ANNOTATE_LIB = -7; // annotate library not installed (strict)
inline constexpr long CATALOGUE = -8;    // adding the catalogue entry failed
inline constexpr long SYMBOLS = -9;      // SYMBOL definitions not available
inline constexpr long POOL = -10;        // a pool, a host drawing call or a forest's memory failed
inline constexpr long NOTHING = -11; // nothing to draw, mismatched values, a value twice on an axis
inline constexpr long SCALE = -13;   // no scale for an axis
inline constexpr long NO_ROOM = -14; // an axis has no usable length
inline constexpr long FOREST_FILE = -15; // utility-file failure of a forest
inline constexpr long TITLE = -16;       // default title missing or not measurable
inline constexpr long NO_DESTINATIONS = -17;
inline constexpr long SKIP = -80;     // a destination "DOCUMENT" after the first
inline constexpr long REFLINES = -98; // reference lines rejected
inline constexpr long HOST = -99; // object system, TITLE/FOOTNOTE, annotation or forest arguments
// Option bits of GRAFSTR.options.
inline constexpr long HAXIS2 = 0x1;
inline constexpr long NOLABEL_H = 0x8;
inline constexpr long NOLABEL_V = 0x10;
inline constexpr long NOLABEL_V2 = 0x20;
inline constexpr long NOMAJOR_H = 0x40;
inline constexpr long NOMAJOR_V = 0x80;
inline constexpr long NOMAJOR_V2 = 0x100;
inline constexpr long AXOPT40_H = 0x200;
inline constexpr long AXOPT40_V = 0x400;
inline constexpr long AXOPT40_V2 = 0x800;
inline constexpr long VAXIS2 = 0x1000;
inline constexpr long HREF = 0x2000;
inline constexpr long VREF = 0x4000;
inline constexpr long VREF2 = 0x8000;
inline constexpr long NOMINOR_H = 0x10000;
inline constexpr long NOMINOR_V = 0x20000;
inline constexpr long NOMINOR_V2 = 0x40000;
inline constexpr long NOLEGEND = 0x80000;
inline constexpr long NOANNO = 0x100000;
inline constexpr long NOSCALE_H = 0x200000;
inline constexpr long NOSCALE_V = 0x400000;
inline constexpr long NOSCALE_V2 = 0x800000;
inline constexpr long CELLS_BY_CALLER = 0x1000000;
inline constexpr long DESC_TITLE = 0x2000000;
inline constexpr long CAPTION_TITLE = 0x4000000;
inline constexpr long END_ON_FAILURE = 0x40000000;
inline constexpr long STRICT = 0x80000000L;
// GINFSTR.flags.
inline constexpr int OWN_GRAFSTR = 0x1;
inline constexpr int OWN_POOL = 0x2; // the library made mempool (ended with the description)
inline constexpr int ANNO_LIB = 0x4;
inline constexpr int SEGMENT_OPEN = 0x8;
inline constexpr int DRAW_DESC = 0x10;
inline constexpr int DRAW_CAPTION = 0x20;
// AINFSTR.options.
inline constexpr int AX_ZERO = 0x1;
inline constexpr int AX_HIDDEN = 0x2;
inline constexpr int AX_REVERSE = 0x4;
inline constexpr int AX_TICKLINES = 0x8;
inline constexpr int AX_NOLABEL = 0x10;
inline constexpr int AX_NOMAJOR = 0x20;
inline constexpr int AX_NOVALUES = 0x40;
inline constexpr int AX_NOMINOR = 0x80;
inline constexpr int AX_NONE = 0x100;
} // namespace zgr

// ---------------------------------------------------------------------------
// Small records.

// A label: a counted text of up to 256 characters.
struct ZGLBSTR {
    short lablen;
    char label[256];
};

// A catalogue name: a counted text of up to 32 characters.
struct ZGCNAME {
    short len;
    char name[32];
};

// Line attributes: type (0 or above 46: the default), width (0 or less: the
// default), colour (blank: the default).
struct ZGLNSTR {
    short style;
    short width;
    char color[16];
};

// Text attributes.
struct ZGTXSTR {
    double angle;  // baseline angle, degrees counter-clockwise
    double rotate; // letter rotation
    double height; // percent of the area's height (after zggrpct)
    double aspect;
    int colnum;   // colour number (-1 the foreground)
    short cellsw; // positions in character cells
    char color[16];
    char font[8];
    char justify; // 'C', 'L' or 'R'
};

// Tick marks.
struct TICKSTR {
    double height; // length; negative points into the plot
    short width;
    char color[16];
};

// The scale request of a numeric axis.
struct SINFSTR {
    double xmin, xmax;
    int ntic;    // > 0 intervals, < 0 at most -ntic, 0 the axis's default
    int options; // 0x2 anchor a fixed count at the low end, 0x8 sort the mantissas
    int naccept;
    double accept[10];
};

// One tick value's text and its measured box.
struct ZGVSSTR {
    int len;
    int pad;
    const char* text;
    GPAIRF quad[4];
    double width;
};

// The tick values of an axis.
struct VLSTSTR {
    ZGTXSTR labtxt; // text attributes of the values
    double* dlist;  // numbers
    char* clist;    // texts, 32 bytes each, blank filled
    ZGVSSTR* vslist;
    int nval;
    short nminor; // minor ticks between majors
    short malloc; // 1: no value list could be made (or the caller owns clist)
    char vtype;   // 1 numeric, 2 character
};

struct FORESTR;
struct TREEND;

// One axis.
struct AINFSTR {
    ZGLNSTR axisln;
    ZGTXSTR axistxt;
    SINFSTR* scale;
    VLSTSTR* value;
    TICKSTR* tmmajor;
    TICKSTR* tmminor;
    ZGLBSTR* lab;
    double outmarg, labgap, tmgap;
    double offset1, offset2;
    long fmtcode;
    int options;
    int axisno; // 1 horizontal, 2 vertical, 3 second vertical, 4 second horizontal
    int axistmt;
    short fmtlen;
};

// The layout of one axis.
struct APRMSTR {
    FORESTR* vforest; // values of a character axis
    TREEND* now;      // its scratch node
    double axislen, lintval;
    double labwd, labln;   // axis label box across and along the axis
    double tmlabl, tmlabh; // widest and highest value box
    double atrans, btrans; // position = atrans * value + btrans
};

// Outer margins.
struct MARGSTR {
    double xlmarg, xrmarg, ybmarg, ytmarg;
    int gunit;
};

// A variable of a plot: its descriptor and values.
struct VINFSTR {
    NAMESTR* vname;
    void* vlist; // doubles, or 32-character texts
    void* cdata;
    long nvalue;
    short malloc; // 0: the library allocates vlist
};

// How one plot looks: overrides of its SYMBOL definition.
struct ZGSBSTR {
    double yref; // base of needles
    float height, aspect;
    int symno; // SYMBOL definition (0: the next free one)
    int iflag; // 2: no marker on the first point; 4: none on the last
    short thick, style;
    char ci[8], cv[8];
    char font[8];
    char value[8]; // marker name
    char itype;    // join: '0' from the definition, ' ', 'J', 'T', 'N'
    char dplace;   // steps: '0' from the interpolation name, 'L', 'R'
};

// One plot request.
struct PAIRSTR {
    VINFSTR hvar, vvar;
    ZGSBSTR symbinf;
    ZGLBSTR lid; // legend label
    char plotno; // '1' first vertical axis, '2' second, 'n' not plotted
};

// Reference lines at values of an axis.
struct REFLSTR {
    ZGLNSTR line;
    void* rlist;
    short malloc;
    short nref;
    char vtype;
};

// A default title.
struct ZGDTSTR {
    ZGTXSTR dtltxt;
    float xpos, ypos;
    char* tstring;
    short tslen;
};

// The legend request.
struct ZGLGSTR {
    VINFSTR idvar;
    ZGLBSTR* lab;
    char* data;   // text area: ndata slots of 256 bytes
    GCSTR* dvstr; // ndata descriptors
    int legno;
    short ndata, nvalue, nacross, ndown;
    char cframe[16], ctext[16], coutln[16];
    char options[4];
};

// The graphics information of a description.
struct GINFSTR {
    GWINDOW* window; // the free window
    GSTRING* string;
    GSTXFM* gstxfm;
    GPAIRF* quad; // four corners of the last measured text
    double* paird;
    GXCOM* gxcom;
    GZCOM* gzcom;
    void* catptr;
    void* segq;
    GSYMSTR* symbol; // nplots own entries, then the definitions
    GLEGT* legend;
    APRMSTR* axparm; // 0 vertical, 1 horizontal, 2 second vertical, 3 second horizontal
    POOLHANDLE* bufpool;
    POOLHANDLE* vdqpool;
    double xorigin, yorigin;
    long ngpdalc;
    long options;
    int flags;
    short nplots, nsymalc, naxpalc, ntitles, snocell, cellsw;
    char sysname[8];
    ZGCNAME destcat;
    char libname[8];
    ZGCNAME memname;
    xobop segmentHash;
    xobskey key;
    VDQ_GRAPH_INFO* grfInfo;
    char tmpStr[32];
    int tmpLen;
    int clientFlag, blankImageFlag, temp_display;
    short* symused; // a used flag per SYMBOL definition
    int nsymused;
    int dropped; // plots the last drawing left out
};

// The plot description.
struct GRAFSTR {
    GWINDOW parea, garea, darea;
    xobop clsman;
    xobop vdqman;
    MARGSTR margin;
    GINFSTR* ginf;
    AINFSTR *haxis, *vaxis, *vaxis2, *haxis2;
    REFLSTR *href, *vref, *vref2;
    ZGDTSTR *dftitle, *pctitle;
    ZGLGSTR* leginf;
    PAIRSTR* ppair;
    POOLHANDLE* mempool;
    void *lanfid, *lanfid2, *ganfid, *ganfid2;
    void* dfid;
    const char* byptr;
    long options;
    int nplots;
    int bylen;
    int gunit;
    short errcode, errobj;
    char desc[256];
    char name[8];
    ZGLBSTR longname;
    char libname[8];
    ZGCNAME memname;
    char cframe[16];
    xobskey gname, glabel;
    VDQ_DEST_LIST* dest_info;
    int dest_out;
    int clientDone;
};

// ---------------------------------------------------------------------------
// The forest of trees.

struct ZFHDSTR {
    int treenumb;
    TREE* head;
    ZFHDSTR* next;
};

struct FORESTR {
    int offset;
    int type;
    int ntrees;
    int nodesze;
    long nnodes_c;
    long nnodes_u;
    long treesze;
    XCFILE* xcptr;
    POOLHANDLE* poolptr;
    TREE* treeptr;
    TREE* newptr;
    ZFHDSTR* first;
    ZFHDSTR* current;
    char trechng;
    char poolalloc;
};

// An axis value in a forest: its index in the axis value list and its text.
struct TREEND {
    TREE t;
    int id;
    char name[32];
};
static_assert(sizeof(TREEND) == 64, "axis-value node layout");
static_assert(offsetof(TREEND, name) == 28, "axis-value key offset");

int zforset(FORESTR* forptr, TREE** coreptr, POOLHANDLE** poolptr, long nnodes, int nodesize,
            int type, int offset);
int zforbld(FORESTR* forptr, TREE* now, TREE** retptr);
int zforfnd(FORESTR* forptr, TREE* now, TREE** retptr);
int zforwrt(FORESTR* forptr);
int zforrdt(FORESTR* forptr, int treenumb);
int zforend(FORESTR* forptr);
long zggsfor(GRAFSTR* ggraf);

// ---------------------------------------------------------------------------
// Life cycle.

long zggrini(GRAFSTR** ggptr, xobop clsman, xobop vdqman, int nplots, long options);
long zggrseg(GRAFSTR* ggraf);
void zggzget(GRAFSTR* ggraf);
long zggrrin(GRAFSTR** ggptr);
long zggrpst(GRAFSTR* ggraf);
long zggrags(GRAFSTR** ggptr);
// zggrend(GRAFSTR**) is declared in common/stages.h.

// Set-up.
long zggrset(GRAFSTR** ggptr);
long zggrsym(GRAFSTR* ggraf);
void symbmrg(ZGSBSTR* symbinf, GSYMSTR* symbdef);
long zggttlf(GRAFSTR* ggraf, ZGDTSTR* dftitle, int type);
long zggrefl(GRAFSTR* ggraf, REFLSTR* lref, AINFSTR* axis, AINFSTR* refaxis);

// Drawing.
long zggrplt(GRAFSTR** ggptr);
long zggoseg(GRAFSTR* ggraf);
long zggstrl(GRAFSTR* ggraf, ZGTXSTR* ggtext, const char* label, int lablen, int needini);
long zggrano(GRAFSTR* ggraf);
long zggrdrw(GRAFSTR* ggraf, PAIRSTR* tplot, GSYMSTR* symbol);

// Legend.
long zggrleg(GRAFSTR* ggraf);

// Axes.
namespace korv_dev
{
// The result of the scale routine (its own record, not the character plots').
struct SCALESTR {
    double smin, smax, inc;
    int index;
};
} // namespace korv_dev
long zggrsca(GRAFSTR* ggraf, AINFSTR* axis);
int zgscale(double xmin, double xmax, int ninc, int nnice, const double* nicenum,
            korv_dev::SCALESTR* scale, int sortopt, int endopt);
// round2 and round1 take the number of mantissas in scale->index and the
// interval count in scale->inc, as zgscale leaves them; `nice` has room for
// one more mantissa than it holds.
int round2(double* nice, double fuzz, double* cutoff, korv_dev::SCALESTR* scale, int endopt);
int round1(double* nice, double fuzz, double* cutoff, korv_dev::SCALESTR* scale);
double initscale(double* nice, double* cut, int n, korv_dev::SCALESTR* scale);
// The count of increments of the scale (INT_MAX when more than an int
// holds, -1 when there is none), the multiple of the increment at its
// minimum in *multmin.
int setscale(double* nice, double* cutoff, double scalfact, double fuzz, korv_dev::SCALESTR* scale,
             double* multmin);
void multiples(double* a, int n, int ntimes);
void bubbles(double* a, int n);
long zggrsax(GRAFSTR* ggraf, AINFSTR* axis, NAMESTR* vname);
long zggtbox(GRAFSTR* ggraf, AINFSTR* axis, double* mboxwd, double* mboxht);
long zggrdrl(GRAFSTR* ggraf);
long zggrdax(GRAFSTR* ggraf);
double zggboxy(const GPAIRF* bquad, double angle, int iflag);
double zggapos(AINFSTR* axis, APRMSTR* axparm, const char* cvalue);
void drawtms(GRAFSTR* ggraf, AINFSTR* axis, APRMSTR* axparm, int iflag);
long drawtml(GRAFSTR* ggraf, AINFSTR* axis, APRMSTR* axparm, int iflag);

// Margins and units.
long zggrpct(GRAFSTR* ggraf);
long zggrmar(GRAFSTR* ggraf);
void zggsize(const GPAIRF* bquad, double angle, double* xlen, double* ylen);

// The axis parameters of an axis (0 vertical, 1 horizontal, 2 second
// vertical, 3 second horizontal), null when it has none.
APRMSTR* zgg_axparm(GRAFSTR* ggraf, const AINFSTR* axis);

// ---------------------------------------------------------------------------
// Graphics start-up, note release, device entries.

int ggsload(GZCOM* gzcom, int rebsrch, int vdqFlag);
int install(long ssid, const char* name, int rebsrch);
void gpspnot();
// The description of a graphics device from the device catalogues (the
// catalogue DEVICES of GDEVICE0 to GDEVICE9, then VYRHELP), through the
// task's cache: null when the name is blank, the entry is not there or
// cannot be read. The description stays valid until the cache releases it,
// at the earliest at the next call that loads a device.
GDEVSTR* ggdvget(const char* rdevice);
// The integer at byte 176 of the first record of a device's entry, from the
// first library that has it; 0 when none has it or it cannot be read.
int ggtdvmd(const char* nickname);

// ---------------------------------------------------------------------------
// The procedure's device plots.

// One plot kind (1 survival, 2 -log survival, 3 log(-log survival), 4
// hazard, 5 density) for the current destination: 0, 2 (set-up failed) or
// 3 (drawing failed).
int korvgp2(KorvPtr korvp, int plotnum, GRAFSTR* ggraf, double* data, double** hval, double** vval);
// ln(-ln(value)) for values strictly between the smallest normal double and
// 1; the missing value otherwise.
double cloglog(double value);
// Reads `bytes` at a noted position of a utility file: true when read
// whole. A position of 0 (nothing written) or a warning code leaves the
// stratum out with message `message` (stratum `ordinal`); a failure ends the
// step with 1020.
bool korv_dev_readback(KorvPtr q, XCFILE* file, double position, void* buffer, long bytes,
                       int message, int ordinal);

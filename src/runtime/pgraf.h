// The character-plot library: a plot drawn as a page of characters on the
// print file (the canvas), its two axes, and the "nice" axis scaling that the
// line-printer plots and the survival graphs' tick lists share.
//
// A canvas is `v.totpos` lines of `h.totpos` characters, top line first
// (v = pgrafd[0], the vertical direction, h = pgrafd[1], the horizontal).
// `zerozero` is the cell of plot position (0, 0): the first plot column on
// the bottom plot row; horizontal position i is zerozero + i, vertical
// position j is zerozero - j * h.totpos. The horizontal axis line lies on the
// line below the bottom plot row, the vertical axis line in the column left
// of the first plot column.
//
// Calling order: fill a PGRAFSTR (pool, optional sizes, form characters) and
// the two SCALESTR requests -> zpgrini -> place characters (zpgrsub, zpgrafd)
// -> zpgrafe. Results: 0 success, -1 after an allocation failure (the host's
// memory message already given), -2 when a limit is exceeded; the axis
// routines also return 1 (nothing to do), 2 (positions or spacing reduced)
// and 3 (labels dropped or cut).
#pragma once

// The most lines a character plot takes, however long the page.
constexpr int kMaxPlotLines = 100;

#include <cstdint>

#include "vyr_host.h"

struct NAMESTR;

// ---------------------------------------------------------------------------
// Scale requests.

// The scale request and result of one axis; zscale reads and rewrites it.
struct SCALESTR {
    double xmin = 0;  // in: smallest data value; out: axis value at the first position
    double xmax = 0;  // in: largest data value; out: axis value at the last position
    int plotpos = 0;  // in: positions available (0 none, negative at most that many);
                      // out: positions used, ntic * ticpos
    int ticpos = 0;   // positions between ticks; 0 free, negative: at least that many
    int ntic = 0;     // tick intervals; 0 free
    double inc = 0;   // tick increment; 0 free, negative: this increment is required
    long options = 0; // scale_opt bits
    double unit = 0;  // out: data value per print position
    const double* accept = nullptr; // acceptable increment mantissas, ascending
    int naccept = 0;                // entries of accept (0: the default list)
};

// Option bits of SCALESTR.options. The low ones steer zscale; the upper ones
// are set by the canvas and read by the axis routines.
namespace scale_opt
{
enum : long {
    REFINE = 0x1,            // retries refine the increment; a failure returns 1, not -1
    WHOLE = 0x2,             // whole-number increments between 1 and 10
    EXACT_MIN = 0x4,         // the axis starts at the data minimum
    EXACT_MAX = 0x8,         // the axis ends at the data maximum
    KEEP_NTIC = 0x10,        // keep the interval count and re-centre the ticks
    ZERO = 0x20,             // include zero
    CLOSER = 0x40,           // closer ticks (set by the axis routines)
    CAP10 = 0x80,            // default ticks per axis capped at 10 instead of 5
    DERIVE = 0x100,          // default spacing from the positions even with a minimum
    FROM_ZERO = 0x10000,     // an axis starting at 0 has its first tick at most 1 in
    HORIZONTAL = 0x20000,    // the horizontal axis
    FAR_SIDE = 0x40000,      // the axis stands on the far side (3 lines or 15 columns)
    REVERSE = 0x100000,      // the axis runs from its largest value
    FRAME = 0x200000,        // the frame line opposite this axis is drawn
    NO_NAME_ROWS = 0x400000, // no rows under the plot for the horizontal name
    IN_PAGE = 0x800000,      // the canvas lives in a page-composition record
    FIRST_NEAR = 0x1000000,  // the first tick at most one position in
    SHRINK = 0x2000000,      // unused positions are given up
    NAMED = 0x4000000,       // the axis has a name
    LABELLED = 0x8000000,    // the axis has a label
};
}

// ---------------------------------------------------------------------------
// The canvas.

// A page-composition record of the host: a canvas inside a larger page. Only
// the members the library reads.
struct PCTSTR {
    short virtualf = 0; // the canvas lives in `work` and is not printed here
    short printedf = 0;
    char* work = nullptr;
    int amt = 0;     // bytes per layer
    int realamt = 0; // bytes available
    struct {
        int amtsize = 0, presize = 0, cursize = 0;
    } pctd[2];
};

// One direction of a plot: [0] vertical, [1] horizontal.
struct PGRAF_VHSTR {
    int plotpos = 0; // plot positions (rows or columns); 0 = derived
    int prepos = 0;  // positions before the plot (name lines, label columns); 0 derived, -1 none
    int totpos = 0;  // canvas lines ([0]) or characters per line ([1]); 0 = derived
    short numf = 0;  // the axis is scaled (set by zpgrini)
    int status = 0;  // axis drawing status (zpgraxi)
    union {
        char* c;   // an axis without scale: the caller's labels
        double* d; // a scaled axis after layout: {origin, unit}; or the caller's values
    } vallst = {nullptr};
    int valcnt = 0;          // tick labels
    short* valplc = nullptr; // print positions of the labels
    char* lbllst = nullptr;  // valcnt labels of lbllen characters
    int lbllen = 0;          // width of one label
    int lblpos = 0;          // positions between labelled ticks
};

// A line-printer plot. The caller owns it and clears it before filling it.
struct PGRAFSTR {
    short autofreef = 0;            // zpgrafe deletes datapool after printing
    char* work = nullptr;           // the canvas (layer 0, top line first)
    char* zerozero = nullptr;       // cell of plot position (0, 0)
    int length = 0;                 // bytes per overlay layer; 0 = h.totpos * v.totpos
    POOLHANDLE* datapool = nullptr; // pool of the canvas, labels and value pairs
    char formchar[12] = {};         // form characters; first NUL = from the FORMCHAR option
    int ovlcnt = 0;                 // overlay layers; 0 = 1
    PCTSTR* pct = nullptr;          // page-composition record, or null
    PGRAF_VHSTR pgrafd[2];          // [0] vertical, [1] horizontal
    void* labstr = nullptr;         // the caller's own label record
};

// Indexes of the form characters.
namespace formch
{
enum : int {
    VERTICAL = 0,
    HORIZONTAL = 1,
    UPPER_LEFT = 2,
    UPPER_RIGHT = 4,
    CROSS = 6, // also the tick mark
    LOWER_LEFT = 8,
    LOWER_RIGHT = 10,
};
}

// Sizes the canvas, allocates it blank and lays out both axes. hname/vname
// name, label and format each axis; hscale/vscale (either may be null) are
// the scale requests. A vertical request whose xmin is missing leaves the
// vertical axis to the caller. Returns 0, -1 (allocation, or an axis failed)
// or -2 (a canvas larger than 2,147,483,647 bytes, message 210/24, or one
// with no lines or columns at all).
int zpgrini(PGRAFSTR* pgraf, NAMESTR* hname, SCALESTR* hscale, NAMESTR* vname, SCALESTR* vscale);
// Print position of value v along one direction: the nearest position (a
// value half-way goes up), clamped to [0, plotpos - 1].
int zpgrsub(double v, const PGRAF_VHSTR* dpgraf);
// Puts chr at (x, y) when that cell is blank; returns the cell either way.
char* zpgrafd(PGRAFSTR* pgraf, double x, double y, int chr);
// Puts the frame corners where axis and frame lines meet.
void zpgrcrn(PGRAFSTR* pgraf);
// Shifts the label area left of the plot right by amt / 2 columns.
void zpgrpul(PGRAFSTR* pgraf, int amt);
// Builds nfch form characters into setform: the FORMCHAR option, then the
// caller's characters: `string` over the start (no index list), or
// string[i] at 1-based position ilist[i] (messages 210/45 for a count that
// differs from len, 210/46 for a position out of 1..nfch).
// Counts are of characters, not bytes (the text is UTF-8).
void zgetfch(const double* ilist, int n, const char* string, int len, char* setform, int nfch);
// zgetfch with its messages said (`report`) or not: a request is checked
// once, where the step reads its options, and read quietly by each plot. A
// character that a plot cannot hold in one cell (anything but printable
// ASCII) is refused with message 326/4520 and its position keeps the
// option's character. Returns the number of characters refused.
int zfchread(const double* ilist, int n, const char* string, int len, char* setform, int nfch,
             bool report);
// Prints the canvas (zpgrafp); deletes datapool when autofreef is set.
void zpgrafe(PGRAFSTR* pgraf);
// Prints the canvas: centred under CENTER, trailing blank lines dropped
// (unless footnotes are in force), overlay layers overprinted.
void zpgrafp(PGRAFSTR* pgraf);

// ---------------------------------------------------------------------------
// The axes.

// Scales one axis (direction 0 vertical, 1 horizontal) and makes its tick
// labels: 1 when the axis is not scaled, 0, -1 (allocation or format), -2
// (scaling failed ten times, message 210/25).
int zpgrlbl(PGRAFSTR* pgraf, int dir, NAMESTR* name_str, SCALESTR* scale, long options);
// Makes the fixed-width tick labels of one axis: 0 or -1.
int zpgrfmt(PGRAFSTR* pgraf, int dir, NAMESTR* name_str, SCALESTR* scale);
// Left-justifies the label list as a block; returns the widest label.
int zpgrlen(PGRAF_VHSTR* dpgraf);
// Places and draws one axis: its line, ticks, labels, name and label, and
// the corners. Returns the axis status: 0; 2 when the caller's label spacing
// had to be reduced, or at once when the axis has no plot positions; 3 when
// labels had to be dropped or cut; -1 after an allocation failure.
int zpgraxi(PGRAFSTR* pgraf, int dir, NAMESTR* name_str, SCALESTR* scale, long options);
// Copies an axis line to the opposite side of the plot (the frame line);
// `otherf` copies the other way.
void zpgroax(PGRAFSTR* pgraf, int dir, int otherf);
// Reverses the order of cnt elements of size bytes in each of rept blocks.
void zgprev(void* addr, int rept, int cnt, int size);

// ---------------------------------------------------------------------------
// Axis scaling.

// Fits a nice axis onto the request's positions: ticks on multiples of a
// round increment (a mantissa of the acceptable list times a power of ten)
// that cover the data to within half a position. Returns 0 for a consistent
// axis; otherwise 1 (REFINE) or -1, with a usable fallback axis stored all
// the same. On return plotpos = ntic * ticpos and unit = (xmax - xmin) /
// plotpos.
int zscale(SCALESTR* s);

// The tick-count callback of znaxis: the largest number of ticks whose
// labels (fmt_w wide, fmt_d decimals) fit, given sample tick values.
using ZnaxisMaxTicks = int (*)(void* arg, short fmt_w, long fmt_d, const double* values, int n);
// Chooses nice ticks for [low, high] ('h' horizontal or 'v' vertical axis):
// the first tick, the increment (1, 2, 2.5 or 5 times a power of ten) and the
// count, never more than max_ticks allows; with zeroflag the range takes in
// 0; without a format given (*fmt_d 0 on entry) also the label decimals and
// width. min_cover outside [0.25, 0.8] counts as 0.6 and target_cover
// outside [0.5, 0.9] as 0.8. Returns 0 (nice ticks), 2 (an end missing or
// high <= low: no tick), 3 (fallback with fewer than 3 ticks), -1 (a range
// of no width, or a fallback of 3 or more evenly spaced ticks).
int znaxis(double low, double high, int vh, int zeroflag, ZnaxisMaxTicks max_ticks, void* arg,
           double min_cover, double target_cover, double* tickstart, double* tickinc, int* tickn,
           long* fmt_d, short* fmt_w);
// Decimals and width of the labels of n ticks from tick0 by inc (values
// within `scale` of 0 count as 0); x receives the first two and last two.
void znaxisf(double tick0, double inc, int n, double scale, double* x, int format_given,
             long* fmt_d, short* fmt_w);
// Minor ticks between major ones of increment major_inc: at most maxticks;
// returns 1 when there are none (minor_inc then missing), else 0.
int znaxis2(double major_inc, int maxticks, int* n_minor, double* minor_inc);
// The decimals and width of n values printed with the same decimals: mode 2
// sets *d to the fewest decimals that show every value exactly (to 1e-9 of
// its size); mode 3 raises *w to the widest of the values with *d decimals
// and a place for a sign. Returns 0, or -1 (and *d = -1) when more than
// `limit` characters would be needed.
int zfmtv(const double* values, int n, int mode, int limit, short* w, long* d);

// FROM/TO/BY lists. A value within |inc| * 1.05e-8 of a whole number is
// taken as that number, and one that near 0 as 0.
// The missing one of count, start and end from the others, or the count
// (from 0) of start, start + inc, ... that stays within end ('e', the
// default of `flags`) or reaches it ('i'). Returns 0; 1 for an increment of
// no size; -2 for a count above 2,147,483,646.
int zdoscal(int* cnt, double* start, double* end, double* inc, const char* flags);
// Appends from, from + inc, ... to the list at *list (allocated from pool
// or enlarged); *count in: values already there (negative: -(n + 1) and the
// 'i' rule); out: all values. Returns 0, -1 on an allocation failure.
int zdolist(POOLHANDLE* pool, double from, double to, double inc, double** list, int* count);
// Fills cnt values from start by inc into place.
void zdofill(double* place, double start, double inc, int cnt);
// Returns *cur (snapped), then steps it by *inc and counts *cnt down.
double zdonext(double* cur, const double* inc, int* cnt);
// -1, 0 or 1.
int zsign(int i);

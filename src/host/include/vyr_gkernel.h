// The host's graphics kernel as the device-graphics library calls it: units
// and character cells, the graphics catalogue and its segments, the drawing
// primitives (lines, polylines, markers, fills), measured and rotated text,
// colours, SYMBOL definitions, titles and the BY line, the legend, annotate
// data sets, and graphics start-up with its task anchors and sub-libraries
// (the device catalogues and the device cache: vyr_catalogue.h).
// Implemented in src/host/graphics (gkernel*.cpp) on the shared canvas;
// src/host/graphics/device-conventions.md records every
// choice the callers leave to the kernel (units, cells, line types, markers,
// colours, missing coordinates, entry names).
//
// Coordinates are percent of the graphics area: x from 0 (left) to 100
// (right), y from 0 (bottom) to 100 (top). A segment is one graph: it is
// opened in a catalogue, drawn on, and closed, which writes it as
// <library folder>/<member>/<ENTRY>.svg.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vyr_output.h"

namespace vgr
{
class Canvas;
}

// ---------------------------------------------------------------------------
// Shapes of the kernel's records.

// A rectangle of the graphics area in percent: lower-left (x1, y1),
// upper-right (x2, y2).
struct GWINDOW {
    double x1, y1, x2, y2;
};

// A corner point (percent).
struct GPAIRF {
    float x, y;
};

// A text descriptor: attributes, the text, and where ggstrl leaves the four
// corners of the measured box (relative to the text's origin, the left end
// of its baseline; corner 0 the start of the baseline side, 1 its end, 2 the
// upper right, 3 the upper left, turned by the angle counter-clockwise).
struct GSTRING {
    int colnum;    // colour number; -1 the foreground
    GPAIRF* quad;  // four corners (the caller's buffer)
    double height; // percent of the area's height; 0 or less: one cell
    double aspect; // width factor (1)
    char font[8];  // font name, blank padded
    double angle;  // baseline angle, degrees counter-clockwise
    double rotate; // letter rotation (carried; letters follow the baseline)
    int flags;     // 0x10: attributes given by the caller
    const char* text;
    int len;
    int cellsw; // 1: positions are in character cells
};

// Normalised text angles (ggstxfm).
struct GSTXFM {
    double angle, rotate;
};

// One SYMBOL definition: how a plot's points, line and markers look.
struct GSYMSTR {
    double height;    // marker height, percent of the area's height
    double aspect;    // marker width factor
    double width;     // line width (1 = one pixel)
    short style;      // line type 1..46
    char ci[8];       // line colour, blank padded
    char cv[8];       // marker colour
    char font[8];     // marker font (carried)
    char value[8];    // marker name ("NONE" draws none)
    int number;       // marker number (ggsymbx); -1 none
    char itype;       // join: ' ' none, 'J' joined, 'T' steps, 'N' needles
    char interpol[8]; // interpolation name; an 'R' in characters 5-8 steps right
};

// A counted text of a legend entry.
struct GCSTR {
    int len;
    int maxlen;
    const char* text;
};

// The legend block: its request (filled by the caller) and its layout
// (filled by gglsize).
struct GLEGT {
    char where;        // 'B' bottom (the only place the kernel lays a legend)
    char anyshape;     // 1: each entry shows its own SYMBOL
    char ctext[16];    // text colour name (blank: foreground)
    char coutline[16]; // outline colour name (blank: no outline)
    char cframe[16];   // frame fill colour name (blank: none)
    char shape[8];     // "SYMBOL  ": entries show their plot's SYMBOL
    GSYMSTR* shapes;   // one SYMBOL per entry
    unsigned char options[4];
    int across, down, number; // entries per row, rows, entries shown (0: free)
    char* label;              // legend label (the block's buffer)
    int lablen, labcap;
    long fmtcode; // value format of 'F' entries (-1: automatic)
    short fmtlen;
    char datatype; // 'E' counted texts, 'C' character values, 'F' numbers
    int datanum;   // number of entries
    void* du;      // GCSTR[datanum] ('E', 'C') or double[datanum] ('F')
    // Layout, percent.
    GWINDOW box; // the legend's place, taken from the bottom of the window
    int rows, cols;
    double rowh;    // height of a row
    double colw;    // width of an entry slot
    double labw;    // width of the label column
    double textw;   // widest entry text
    double samplew; // width of an entry's SYMBOL sample
    double tsize;   // font size of the texts, pixels
};

// The task's graphics state (one per control block).
struct GNGRAPH {
    unsigned char options[4]; // first byte bit 4: positions in character cells
    double aspect;            // aspect factor of tick lengths
    int hpos, vpos;           // character columns and rows of the area
    void* dfid;               // the procedure's data file (annotation)
};

// The task's graphics context (made by graphics start-up, kept in a task
// resource slot named by an anchor).
struct GXCOM {
    GNGRAPH* gngraph;
    void* reb; // the owning task anchor block
    int owner; // 1 when made for output delivery
    int init;  // gginit has run for it
};

// A graph's control block: one per destination drawn, made by ggznew.
struct GZCOM {
    unsigned char options[4]; // byte 0: bit 8 graphs handed to the output layer, 0x20 border;
                              // byte 2: bit 8 no cells, 0x80 COMPLEX default font
    int vdqcon;               // 1: under output delivery
    char device[8];
    double hsize, vsize; // inches (0: not set)
    int hvset;           // bit 1 hsize set, bit 2 vsize set
    int xpixels, ypixels;
    char style[64];
    int stylelen;
    void* oda; // destination's object chain
    GZCOM* odanext;
    int nogtitle, nogfootnote, border;
    int vdqenv; // a style environment exists (never on this host)
    char text_font[8], title_font[8];
    double htext;
    int htext_units;
    double htitle;
    int htitle_units;
    char title_color[16], text_color[16];
    char bgimage[64]; // background image name (never set on this host)
    int bglen;
    unsigned char bgflags; // 0x40 image print off, 0x20 logged
    short vdqggcb_len;     // pending graph name of the output layer
    char vdqggcb[32];
    char libname[8]; // catalogue library the next ggadcat opens
    char catmem[32]; // and its member
    int catmemlen;
    int gnopts; // graph options: 0x1 mirror axes, 0x2 same ticks, 0x1000
    GNGRAPH* gngraph;
};

// What the output layer says of one destination.
struct VDQ_TEXT {
    int len;
    const char* text;
};
struct VDQ_GRAPH_INFO {
    VDQ_TEXT device, name, style;
    long key;
    int height, width; // pixels
    double dpi;
    int gtitle, gfootnote, border;
    void* oda;
    int freeStyle;
    double hsize, vsize; // inches (0: not given)
};
// An entry of the destination list: its second word points to the info.
struct VDQ_DEST_ENTRY {
    void* reserved;
    VDQ_GRAPH_INFO* info;
    void* reserved2;
    void* reserved3;
};
static_assert(sizeof(VDQ_DEST_ENTRY) == 32, "destination entry layout");
struct VDQ_DEST_LIST {
    long count;
    VDQ_DEST_ENTRY* entries;
};

// A catalogued graph as a destination's list holds it.
struct VDQ_CATALOG {
    char libname[8];
    short memlen;
    char memname[32];
    short entlen;
    char entry[32];
    char pad[4];
    xobskey name;
    xobskey label;
    xobskey clabel;
};
static_assert(sizeof(VDQ_CATALOG) == 104, "segment reference layout");

// Axis descriptions for annotation.
struct GAXHEAD {
    double offset1, offset2;
    double xorg, yorg;
    double length;
};
struct GAXIST {
    GAXHEAD head;
    int number;
    double angle;
    double majinc;
    int type;                 // 1 numeric, 3 character
    char datatype;            // 'F' numbers, 'C' texts
    unsigned char options[4]; // byte 0 bit 0x20: reversed
    double datamin, datamax;
    long datanum;
    double scalea, scaleb; // position = scalea * value + scaleb
    long fmtcode;
    const void* du; // doubles, or 32-character texts
};
struct GANNOSTR {
    int procname, stmtname;
    char seg_name[8];
    void* gptr;
    GWINDOW* vptr;
    GAXIST* xptr;
    GAXIST* yptr;
    void* dptr; // the plot's data file (annotation of a plot request)
    void* fptr; // the annotate data set
};

// ---------------------------------------------------------------------------
// Units and cells.

// Unit codes of lengths.
enum : int {
    GU_PERCENT = 1, // percent of the area
    GU_INCH = 2,
    GU_CM = 3,
    GU_CELL = 4, // character cells
    GU_POINT = 5,
};
// `value` in `unit` as percent of the area's width (direction 1) or height
// (direction 2). An unknown unit counts as cells.
double ggl2pct(double value, int unit, int direction);
// Character cells: mode 'P' turns a position counted in cells into percent,
// 'C' a percent position into cells, 'S' snaps a percent length or position
// to whole cells; direction 1 across, 2 up.
double ggcell(double value, int direction, int mode);
// The cell width and height in percent.
double ggcellw();
double ggcellh();

// ---------------------------------------------------------------------------
// Catalogue and segments.

// Opens (creating when needed) the catalogue of `libname` (8 characters,
// blank: WORK) and the member named in the current control block. 0, or -1
// when the library is not assigned or its folder cannot be made (message
// given).
int ggadcat(int flag, const char* libname, void** catptr, int type, int opt);
// Opens a segment in the catalogue: `name` (8 characters) is proposed and
// the unique name used comes back in `sysname` (8 characters, blank padded):
// NAME, then NAM1, NA12, ... cut to leave room for the number. 0, or -1.
int ggoseg(int flag, int size, void* catptr, void** segq, char* sysname, const char* name,
           const char* longname, int longlen, const char* desc, int a, int b, int c, int d, int e);
// Selects an open segment for drawing.
int ggsel(void* segq);
// Closes the selected segment and writes its entry; 0, or -1 when the file
// could not be written (message given). *segq is cleared.
int ggcseg(int flag, void** segq, int opt);
// Tells the output layer that a graph was catalogued (0).
int ggplvdq(const char* sysname, xobskey glabel);

// ---------------------------------------------------------------------------
// Drawing state and primitives. Lines take the current thickness, a line
// type (1..46; see the line-type table) and a colour number.

int ggsetlw(double width); // line thickness (1 = one pixel)
int ggsetcl(int colour);   // colour of what follows that names none
int ggsurf(int mode);      // surface mode: 1 fills, 4 outlines (carried)
// Clips later drawing to a rectangle (percent); a null rectangle ends it.
int ggclip(const GWINDOW* rect);
int ggdraw(double x0, double y0, double x1, double y1, int style, int colour);
// A polyline through n points (x, y pairs of doubles). A missing coordinate
// breaks the line: no segment reaches the point. Fewer than two points draw
// nothing.
int ggpline(const double* xy, long n, int style, double width, int flags, int colour);
// A marker at each of n points; a point with a missing coordinate has none.
// flags 0x2: none on the first point, 0x4: none on the last.
int ggpmark(const double* xy, long n, const char* font, const char* value, double height,
            double aspect, int number, int flags, int colour);
// A filled rectangle; pattern "S       " (solid) is the only fill drawn.
int ggfill(double x0, double y0, double x1, double y1, const char* pattern, int colour);
// A background image: this host keeps none (-1).
int ggbimg(const char* name, int len, double x0, double y0, double x1, double y1, int tile, int pos,
           int surface, int flags);

// ---------------------------------------------------------------------------
// Text.

int ggstri(GSTRING* s);                                // clears the descriptor
int ggstrp(int flag, GSTRING* s, int opt);             // applies its attributes
int ggstxfm(GSTXFM* x, double* angle, double* rotate); // angles into [0, 360)
// Measures s->text into s->quad (percent, relative to the origin).
int ggstrl(GSTRING* s);
// Draws s->text with its origin at (x, y).
int ggstr(GSTRING* s, double x, double y);

// ---------------------------------------------------------------------------
// Colours and symbols.

// The number of a colour name (`len` characters, blanks ignored, any case);
// -1 for a blank name; an unknown name gives the foreground (1), with a note
// once per name in the step.
int ggcnum(const char* name, int len);
// The first colour of the colour list (the foreground).
int ggcnum5();
// The marker number of a name (8 characters): -1 for "NONE", else 1.. from
// the marker table; an unknown name is drawn as a plus, with a note.
int ggsymbx(const char* name);
// Fills defs[0 .. maxsym-1] with SYMBOL definitions 1 .. maxsym; 0.
int ggetsym(int flag, int maxsym, GSYMSTR* defs);

// ---------------------------------------------------------------------------
// Titles, footnotes and the BY line.

// type 84 ('T'): *count = the TITLE lines in force (index 0), or the first
// character of title `index`'s command into *cmd ('X' for a title that
// draws nothing). 0.
int ggtitle(int type, int* count, int index, char* cmd);
// Lays out the titles, footnotes and BY line of the next graph and takes
// their room out of `window`; ggphdr draws them into the open segment.
int ggphdrl(int flag, GWINDOW* window, int bylen, const char* byptr);
int ggphdr(int flag, const char* byptr, int bylen);

// ---------------------------------------------------------------------------
// Legend.

// Sizes the legend inside the window and takes its room out of the window's
// bottom. 0, or -1 when there is no room.
int gglsize(int flag, GLEGT* legend, GWINDOW* window);
// Draws the legend; `corners` are the data area's four corners.
int ggldraw(GLEGT* legend, const GPAIRF* corners);

// ---------------------------------------------------------------------------
// Value texts and annotation.

// Formats n numbers into 32-character blank-padded texts: fmtcode -1
// chooses the decimals that show every value (the same for all) and puts
// the width used in *fmtlen; a fmtcode of 1 .. 16 asks for that many
// decimals. 0.
int ggbestr(const double* values, int n, char* texts, long* fmtcode, short* fmtlen);
// Draws an annotate data set onto the open segment; 0, or non-zero when the
// data set cannot be read as one (message given).
int ganotat(GANNOSTR* request);

// Style queries: this host has no style environment (-1, nothing changed).
int gvdqclr(const char* element, char* colour);
int gvdqfont(const char* element, char* font, double* height);

// ---------------------------------------------------------------------------
// Graphics start-up.

// Installs a host sub-library: 0, or -1 when the host lacks it.
int wiinstl(long id, const char* name, int mode);
// The task's anchor block (made with the task, and with it the graphics
// control block under "__GCB_GSUBLIB").
void* xtanch();
// Task anchors: a named value of the task naming a resource slot.
inline constexpr int XYT_NOT_FOUND = static_cast<int>(0x80008026u);
int xytngl(void* task, int flag, const char* name, int len, long* slot, void** owner);
int xytnsl(void* task, int flag, const char* name, int len, long slot);
// Task resource slots with an optional clean-up routine.
int wtrscrt(void* task, long* slot, int flag, void (*cleanup)());
int wtrsset(void* task, long slot, void* value);
void* wtrsget(void* task, long slot);
// A host-callable gate for a routine.
int vir2g(void (*function)(), void (**gate)(), void* task, void* block);
// The graphics context of a task anchor; a new control block for it.
GXCOM* ggxget(void* anchor);
GZCOM* ggznew(void* anchor);
// Starts graphics for a control block (its area size, cells and colours).
int gginit(GZCOM* gzcom);
// Resets the graphics state.
void ggzrst(int what);
// Routines the gates of graphics start-up name.
void ggstop();
void ggterm();
// The parser service that releases graphics notes (nothing to release here).
void gpsnrel(void* anchor, int length, int flag);

// The task's title, footnote and note block, and one note.
struct TFNOTE {
    TFNOTE* next;
    int num;
    int textlen;
    int grlen; // bytes of the command list
    char* text;
    char* grinf; // command list
};
struct GGCBTF {
    void* titles;
    void* foots;
    TFNOTE* notes;
    void* cmapq;
    int cmapn;
    int init;
    void* curreb;
    int cmapsize;
    void* pool; // the pool everything below is allocated from
};
// The task's block (null when graphics never started in the task).
GGCBTF* ggcbtf(void* anchor);

// ---------------------------------------------------------------------------
// Host side (the output layer, the session and tests).

// A catalogued graph: its SVG text and the file it was written to (empty
// when it could not be written). Null when the catalogue has no such entry.
struct VyrGraphEntry {
    std::string svg;
    std::string file;
    std::string description;
    std::vector<std::string> images; // PNG and PDF files made beside it (--images)
};
const VyrGraphEntry* vyr_gk_entry(const std::string& library, const std::string& member,
                                  const std::string& entry);
// Entries catalogued in the run, oldest first: "LIBRARY.MEMBER.ENTRY".
std::vector<std::string> vyr_gk_entries();
// Forgets the run's catalogues (a new run; tests).
void vyr_gk_reset();
// Tests: every segment is also drawn on `canvas` (null: no longer).
void vyr_gk_observe(vgr::Canvas* canvas);

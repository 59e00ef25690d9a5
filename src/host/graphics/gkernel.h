// The graphics kernel's own state, shared by its source files (gkernel.cpp:
// units, catalogue, primitives, text, colours, symbols, start-up;
// gkernel_layout.cpp: titles, legend, value texts, annotation). The tables of
// conventions (line types, markers, colours, cells) are here so that tests
// can read them; device-conventions.md says why they are what they are.
#pragma once

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/graphics/canvas.h"
#include "vyr_catalogue.h"
#include "vyr_gkernel.h"

namespace vgr::gk
{

// ---------------------------------------------------------------------------
// Conventions.

// The area when a destination gives no size, and the resolution of inches.
inline constexpr double kDefaultWidth = 640, kDefaultHeight = 480, kDpi = 96;
// One character cell in pixels: the area has width/8 columns and height/12
// rows (80 x 40 on the default area).
inline constexpr double kCellPx = 8, kCellPy = 12;

// Line types 1..46 as dash patterns (pixels; empty: solid).
extern const std::array<const char*, 46> kLineTypes;
// The dash pattern of a line type; 0, negative or above 46 is solid.
const char* dashOf(int style);

// Markers by name.
struct MarkerDef {
    const char* name;
    Marker shape;
    bool filled;
};
extern const std::vector<MarkerDef> kMarkers;

// Colour numbers: 1 is the foreground; 2..7 the list SYMBOL definitions
// cycle through; then the named colours.
struct ColourDef {
    const char* name;
    const char* hex;
};
extern const std::vector<ColourDef> kColours; // index 0 is colour number 1
inline constexpr int kListFirst = 2, kListSize = 6;
// The hex text of a colour number (-1 and unknown numbers: the foreground).
std::string hexOf(int colour);

// SYMBOL definition k (from 1): its line colour is list entry (k-1) mod 6,
// its marker the marker of the same entry of kDefaultMarkers, its line type
// 1 for definitions 1-6, 2 for 7-12, ...
extern const std::array<const char*, 6> kDefaultMarkers;

// ---------------------------------------------------------------------------
// State.

struct Catalogue {
    std::string lib;    // upper case, "WORK" for a blank library
    std::string member; // upper case, as the folder is named
    std::string folder; // the member's folder
};

struct Segment {
    std::unique_ptr<SvgCanvas> svg;
    Catalogue* cat = nullptr;
    std::string entry; // the unique name
    std::string desc;
    int depth = 0; // groups opened by the kernel (clip, sections)
    bool clipped = false;
};

// One line of the page header (titles, BY line, footnotes), laid out by
// ggphdrl.
struct HeaderLine {
    std::string text;
    std::string cls; // "title", "byline", "footnote"
    double y = 0;    // baseline, percent
    double size = 0; // font size, pixels
    bool bold = false;
};

struct State {
    // The area.
    double W = kDefaultWidth, H = kDefaultHeight;
    int hpos = 80, vpos = 40;
    GZCOM* gz = nullptr;
    // Catalogues and segments of the step.
    std::deque<Catalogue> cats;
    std::deque<Segment> segs;
    Segment* cur = nullptr;
    Canvas* observer = nullptr;
    // Drawing state.
    double lineWidth = 1;
    int colour = 1;
    int surface = 4;
    // The page header of the next graph.
    std::vector<HeaderLine> header;
    GWINDOW headerWindow{0, 0, 100, 100};
    bool headerLaid = false;
    // Names noted once per step (unknown colours and markers).
    std::set<std::string> noted;
    // The run: entries catalogued (their names: catalogue_entry_name).
    std::map<std::string, VyrGraphEntry> entries;
    std::vector<std::string> order;
    // Task anchors, resource slots and control blocks of the step.
    struct Slot {
        void* value = nullptr;
        void (*cleanup)() = nullptr;
    };
    struct Task {
        std::map<std::string, long> anchors;
        std::vector<Slot> slots;
        std::deque<GXCOM> gx;
        std::deque<GNGRAPH> gn;
        std::deque<GZCOM> gz;
        GGCBTF tf{};
        GGCBGRAPH graph{};
    };
    std::unique_ptr<Task> task;
};

State& st();

// Percent to pixels.
inline double px(double x)
{
    return x * st().W / 100;
}
inline double py(double y)
{
    return st().H - y * st().H / 100;
}
// A height in percent as a font size in pixels (0 or less: one cell).
double fontPx(double heightPct);

// Runs `f` on every canvas the open segment draws on (its SVG and the
// observer); nothing when no segment is open.
template <class F> void draw(F&& f)
{
    State& s = st();
    if (!s.cur)
        return;
    f(static_cast<Canvas&>(*s.cur->svg));
    if (s.observer)
        f(*s.observer);
}
// Opens and closes a group on every canvas of the open segment.
void beginGroup(std::string_view cls);
void endGroup();
// Ends a clip in force.
void endClip();

// A blank-padded field as a trimmed, upper-case string.
std::string field(const char* text, int len);
// Whether a font name asks for bold letters.
bool boldFont(const char* font8);
// A note logged once per step for `key`.
bool noteOnce(const std::string& key);

// The step ended: segments left open are dropped, the task's anchors and
// control blocks are released. The session calls it (through the output
// layer's step hook).
void stepEnd();

} // namespace vgr::gk

// Figures of curves against a continuous axis, laid out from measured text:
// a title, one plot or a grid of panels, each with its axes, bands, curves,
// marks, an at-risk table inside or below it and insets in a corner no curve
// crosses, and a legend below. The graph templates fill a Figure from their
// plot data and dynamic values; this code decides where everything goes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/graphics/canvas.h"
#include "vyr_graphics.h"

namespace vgr
{

// The qualitative palette (safe for colour-blind readers) the curves take
// in turn; a curve past its end takes the colours again with a dash.
const std::string& paletteColor(int index);
// The registered nice-axis routine (null until the command registers it).
VyrNiceAxis& axisSlot();
const char* paletteDash(int index);

// Nice ticks for [low, high] through the registered nice-axis routine:
// at most `maxTicks`, or as many as labels `labelWidth(values, decimals)`
// pixels wide fit in `room` pixels when `room` > 0. `zero` takes 0 into the
// range. The decimals of the labels come back in `decimals`.
struct Ticks {
    std::vector<double> values;
    int decimals = 0;
};
Ticks niceTicks(double low, double high, bool horizontal, bool zero, double room, double labelSize,
                int maxTicks = 10);
// The text of a tick value with `decimals` decimals ("-0" shows as "0").
std::string tickText(double v, int decimals);

struct Axis {
    std::string label;
    double min = 0, max = 1;   // the data range shown
    bool zero = false;         // the nice ticks take 0 in
    bool clampToTicks = true;  // the range ends at the outer ticks when they cover the data
    std::vector<double> ticks; // explicit ticks (empty: nice ticks)
    int decimals = -1;         // of explicit ticks (-1: as few as they need)
    bool stagger = false;      // crowded labels go on two rows, then turn
    double pad = 0;            // share of the span added beyond each end
};

// A curve: a step function (the value holds until the next point) or a
// polyline through its points, in data coordinates.
struct Series {
    std::string label;
    int color = 0;
    bool step = true;
    bool markers = false; // a small marker at each point (polylines)
    double width = 1.6;
    std::vector<Pt> pts;
    // Each point's row in the plot data (tests map vertices back to rows).
    std::vector<long> rows;
};

// A band between lower and upper limits over x, drawn filled or as its two
// edges. Limits hold from their x to the next (step) or are joined (line).
struct Band {
    std::string cls = "band-cl";
    int color = 0;
    bool step = true;
    bool filled = true;
    double opacity = 0.3; // of the fill
    std::string dash;     // of the edges when not filled
    // Pieces of the band: each a run of (x, lower, upper); a piece ends
    // where the band stops (its last x is where its last limits end).
    struct Piece {
        std::vector<double> x, lo, hi;
    };
    std::vector<Piece> pieces;
};

// Marks at points (censored observations).
struct Marks {
    std::string cls = "censor";
    int color = 0;
    Marker shape = Marker::Plus;
    double size = 7;
    std::vector<Pt> pts;
};

// One row of an at-risk table: a label and texts at x positions.
struct AtRiskRow {
    std::string label;
    int color = 0;
    std::vector<std::pair<double, std::string>> cells;
};

// A small table of texts (the median and test insets): rows of cells, the
// first row a header when `header` is set.
struct Inset {
    std::string cls;
    std::vector<std::vector<std::string>> rows;
    bool header = false;
    bool rowLabels = true;      // the first column names the rows (else a number like the rest)
    std::vector<int> rowColors; // colour of each row's first cell (-1: black)
};

struct LegendEntry {
    enum Kind { Line, Swatch, Mark } kind = Line;
    int color = 0;
    std::string label;
    std::string dash;
    Marker shape = Marker::Plus;
    double opacity = 1;
};

struct Legend {
    std::string title;
    std::vector<LegendEntry> entries;
    // A line of its own above the entries (the curves a legend could not
    // name).
    std::string note;
};

// One set of axes with what is drawn in it.
struct PlotCell {
    std::string header; // a panel's heading
    Axis x, y;
    std::vector<Band> bands;
    std::vector<Series> series;
    std::vector<Marks> marks;
    // The at-risk table: inside the axes below the curves, or below them.
    // Inside, its rows past kInsideAtRiskRows make the figure taller by
    // their height, so that the curves keep the room they have with that
    // many rows.
    std::vector<AtRiskRow> atRisk;
    bool atRiskInside = true;
    double atRiskShare = 0; // inside: least share of the plot's height it takes
    std::vector<Inset> insets;
};

// The rows an at-risk table inside a plot takes from the curves' height.
inline constexpr size_t kInsideAtRiskRows = 8;

struct Figure {
    std::vector<std::string> titles; // the first in bold
    int rows = 1, cols = 1;
    std::vector<PlotCell> cells; // row by row; cells past the end stay empty
    // Insets of the figure as a whole (a test across its panels), set below
    // the cells.
    std::vector<Inset> insets;
    Legend legend;
    std::string atRiskTitle = "Number at Risk";
    // Outside at-risk tables: the share of each cell's height they take
    // (0: as much as their rows need).
    double atRiskWeight = 0;
    double width = 640;
    double cellHeight = 400; // of one cell's plot, before its at-risk table
};

// The size a figure is drawn at.
std::pair<double, double> figureSize(const Figure& f);

// Where a cell's data went: its plot rectangle and the data ranges at its
// edges (x from left to right, y from `dataBottom` up to the top), so that
// tests can map what was drawn back to data.
struct CellTrace {
    Rect plot;
    double x0, x1, y0, y1;
    double dataBottom;
    double px0, px1; // where x0 and x1 lie (the axis may start inside the frame)
    // The at-risk times whose counts are left out: they would overlap the
    // counts beside them at any size still read easily.
    std::vector<double> countsLeftOut;
    // The at-risk times whose counts show under a tick without its label:
    // the label would overlap another.
    std::vector<double> labelsLeftOut;
};
// Draws a figure on a canvas of figureSize(f); `trace` (may be null)
// receives each cell's mapping. Returns the height it took (that of
// figureSize(f)), so that a canvas whose height may still change (an SVG's)
// is drawn on once.
double drawFigure(Canvas& c, const Figure& f, std::vector<CellTrace>* trace = nullptr);

} // namespace vgr

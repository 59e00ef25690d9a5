// Figure layout: every text is measured before it is placed, margins grow
// to hold the tick labels, axis labels, at-risk labels and legend, insets
// go to a corner no curve crosses, and curves are thinned to the device's
// resolution so that a long curve stays small without changing its look.
#include "host/graphics/plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <unordered_map>

#include "host/graphics/export.h"
#include "vyr_graphics.h"
#include "vyr_pool.h"

namespace vgr
{

VyrNiceAxis& axisSlot()
{
    static VyrNiceAxis a = nullptr;
    return a;
}

namespace
{

constexpr double kOuter = 10;        // blank edge of the figure
constexpr double kTitleSize = 14;    // first title
constexpr double kSubSize = 11;      // further titles, axis labels, panel headings
constexpr double kTickSize = 10;     // tick labels
constexpr double kTableSize = 10;    // at-risk tables, insets, legend
constexpr double kTickLength = 5;    // outward ticks
constexpr double kLineGap = 1.3;     // line height as a multiple of the text size
constexpr double kLegendSwatch = 22; // the sample line or box of a legend entry

double lineHeight(double size)
{
    return size * kLineGap;
}

TextStyle style(double size, Anchor a = Anchor::Start, bool bold = false)
{
    TextStyle s;
    s.size = size;
    s.anchor = a;
    s.bold = bold;
    return s;
}

// The box of a text whose box centre is at height `cy`: the baseline that
// centres the font's full height there.
double baselineFor(double cy, double size)
{
    const TextBox b = TextMetrics::measure("0", size);
    return cy + (b.ascent - b.descent) / 2;
}

// The axis-fit callback: how many ticks with labels of these sample values
// fit in the room given.
struct FitArg {
    double room = 0;
    double size = kTickSize;
    bool horizontal = true;
    int most = 10;
};

int fitTicks(void* arg, short, long fmt_d, const double* values, int n)
{
    const FitArg& a = *static_cast<const FitArg*>(arg);
    if (a.room <= 0)
        return a.most;
    double widest = 0;
    const int d = static_cast<int>(std::max(0L, std::min(fmt_d, 12L)));
    for (int i = 0; i < n; ++i) {
        const std::string t = tickText(values[i], d);
        widest = std::max(widest, a.horizontal ? TextMetrics::width(t, a.size)
                                               : TextMetrics::measure(t, a.size).height());
    }
    const double slot = widest + (a.horizontal ? 12 : 10);
    const int fit = static_cast<int>(std::floor(a.room / slot)) + 1;
    return std::max(2, std::min(a.most, fit));
}

// Decimals that show every value of a list to 1e-9 of its size (at most 6).
int decimalsFor(const std::vector<double>& v)
{
    int most = 0;
    for (double x : v) {
        int d = 0;
        while (d < 6) {
            const double p = std::pow(10.0, d);
            if (std::fabs(std::round(x * p) / p - x) <= 1e-9 * std::max(1.0, std::fabs(x)))
                break;
            ++d;
        }
        most = std::max(most, d);
    }
    return most;
}

// A mapping from data to pixels along one axis.
struct Scale {
    double d0 = 0, d1 = 1, p0 = 0, p1 = 1;
    double operator()(double v) const
    {
        if (d1 == d0)
            return (p0 + p1) / 2;
        // The share of the data range first: data near the largest double
        // times a pixel span would overflow.
        return p0 + (v - d0) / (d1 - d0) * (p1 - p0);
    }
};

// Drops the vertices of a polyline that add nothing at the device's
// resolution: within each pixel column only the first, lowest, highest and
// last points stay, and a point on a straight run between its neighbours
// goes.
std::vector<Pt> thin(const std::vector<Pt>& in)
{
    if (in.size() < 4)
        return in;
    std::vector<Pt> out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const double col = std::floor(in[i].x);
        size_t j = i;
        size_t lo = i, hi = i;
        while (j + 1 < in.size() && std::floor(in[j + 1].x) == col) {
            ++j;
            if (in[j].y < in[lo].y)
                lo = j;
            if (in[j].y > in[hi].y)
                hi = j;
        }
        size_t keep[4] = {i, std::min(lo, hi), std::max(lo, hi), j};
        size_t last = SIZE_MAX;
        for (size_t k : keep)
            if (k != last) {
                out.push_back(in[k]);
                last = k;
            }
        i = j + 1;
    }
    // Collinear runs (horizontal or vertical) keep their ends.
    std::vector<Pt> res;
    res.reserve(out.size());
    for (size_t k = 0; k < out.size(); ++k) {
        if (k > 0 && k + 1 < out.size()) {
            const Pt &a = res.back(), &b = out[k], &c = out[k + 1];
            const bool horiz = std::fabs(a.y - b.y) < 0.01 && std::fabs(b.y - c.y) < 0.01;
            const bool vert = std::fabs(a.x - b.x) < 0.01 && std::fabs(b.x - c.x) < 0.01;
            if (horiz || vert)
                continue;
        }
        if (!res.empty() && std::fabs(res.back().x - out[k].x) < 0.01 &&
            std::fabs(res.back().y - out[k].y) < 0.01)
            continue;
        res.push_back(out[k]);
    }
    return res;
}

// The vertices of a curve in pixels: steps hold each value up to the next
// point's x.
std::vector<Pt> vertices(const std::vector<Pt>& pts, bool step, const Scale& sx, const Scale& sy)
{
    std::vector<Pt> v;
    v.reserve(pts.size() * (step ? 2 : 1));
    for (size_t i = 0; i < pts.size(); ++i) {
        const double x = sx(pts[i].x), y = sy(pts[i].y);
        if (step && i > 0)
            v.push_back({x, v.back().y});
        v.push_back({x, y});
    }
    return v;
}

// Whether a segment crosses a rectangle.
bool segmentHits(Pt a, Pt b, const Rect& r)
{
    double t0 = 0, t1 = 1;
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.x - r.x0, r.x1 - a.x, a.y - r.y0, r.y1 - a.y};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0)
                return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1)
            return false;
    }
    return true;
}

// A label wider than `room` pixels cut to it with an ellipsis that keeps
// the share `head` of the room for its start and the rest for its end (1:
// its start alone, 0: its end alone).
std::string cutKeeping(const std::string& s, double room, double size, bool bold, double head)
{
    if (head >= 1)
        return s.substr(0, TextMetrics::fitPrefix(s, "...", room, size, bold)) + "...";
    const double dots = TextMetrics::width("...", size, bold);
    std::string start =
        s.substr(0, TextMetrics::fitPrefix(s, "", (room - dots) * head, size, bold));
    const size_t cut = start.size();
    start += "...";
    return start + s.substr(std::max(cut, TextMetrics::fitSuffix(s, start, room, size, bold)));
}

// The text of a row label cut to `room` pixels with an ellipsis.
std::string cutTo(const std::string& s, double room, double size, bool bold = false)
{
    if (TextMetrics::width(s, size, bold) <= room)
        return s;
    return cutKeeping(s, room, size, bold, 1);
}

// Labels of rows that stand for different things (strata, levels) cut to
// `room` pixels alike. Cut at their ends, two labels that differ only past
// the cut would read the same: then all are cut in the middle, keeping
// more of their ends, until every two that differ still read differently.
// Each label is measured once; only those too wide are cut again.
std::vector<std::string> cutDistinct(const std::vector<std::string>& labels, double room,
                                     double size, bool bold = false)
{
    std::vector<std::string> out = labels;
    std::vector<size_t> wide;
    for (size_t i = 0; i < labels.size(); ++i)
        if (!(TextMetrics::width(labels[i], size, bold) <= room))
            wide.push_back(i);
    if (wide.empty())
        return out;
    std::unordered_map<std::string_view, size_t> seen;
    for (double head : {1.0, 0.5, 0.3, 0.0}) {
        for (size_t i : wide)
            out[i] = cutKeeping(labels[i], room, size, bold, head);
        seen.clear();
        bool distinct = true;
        for (size_t i = 0; i < out.size() && distinct; ++i) {
            const auto [it, added] = seen.emplace(out[i], i);
            distinct = added || labels[it->second] == labels[i];
        }
        if (distinct)
            break;
    }
    return out;
}

struct InsetBox {
    double w = 0, h = 0;
    std::vector<double> colW;
};

// The box of an inset no wider than `most` pixels: when its texts need
// more, its first column (when it holds row labels) gives up the room and
// its labels are cut with an ellipsis; the numbers keep their width.
InsetBox measureInset(const Inset& in, double most = HUGE_VAL)
{
    InsetBox b;
    for (size_t r = 0; r < in.rows.size(); ++r)
        for (size_t c = 0; c < in.rows[r].size(); ++c) {
            if (b.colW.size() <= c)
                b.colW.push_back(0);
            b.colW[c] = std::max(
                b.colW[c], TextMetrics::width(in.rows[r][c], kTableSize, in.header && r == 0));
        }
    for (double w : b.colW)
        b.w += w;
    b.w += 10 * (b.colW.size() > 0 ? b.colW.size() - 1 : 0) + 12;
    if (b.w > most && b.colW.size() > 1 && in.rowLabels) {
        const double cut = std::min(b.w - most, b.colW[0] - 30);
        if (cut > 0) {
            b.colW[0] -= cut;
            b.w -= cut;
        }
    }
    b.h = lineHeight(kTableSize) * in.rows.size() + 8;
    return b;
}

void drawInset(Canvas& c, const Inset& in, const InsetBox& b, double x, double y)
{
    c.begin(in.cls);
    Path box;
    box.rect(x, y, b.w, b.h);
    Fill bg{"#ffffff", 0.9};
    Stroke edge{"#999999", 0.8, "", 1};
    c.path("inset-box", box, &edge, &bg);
    const double lh = lineHeight(kTableSize);
    // The row labels (the first column below the header), cut alike. An
    // inset without them has numbers in every column, all set flush right.
    std::vector<std::string> labels;
    for (size_t r = in.header ? 1 : 0; r < in.rows.size(); ++r)
        labels.push_back(in.rows[r].empty() ? std::string() : in.rows[r][0]);
    labels = cutDistinct(labels, b.colW.empty() ? 0 : b.colW[0], kTableSize);
    for (size_t r = 0; r < in.rows.size(); ++r) {
        double cx = x + 6;
        const double base = baselineFor(y + 4 + lh * (static_cast<double>(r) + 0.5), kTableSize);
        for (size_t k = 0; k < in.rows[r].size(); ++k) {
            const bool first = k == 0 && in.rowLabels;
            TextStyle s =
                style(kTableSize, first ? Anchor::Start : Anchor::End, in.header && r == 0);
            if (k == 0 && r < in.rowColors.size() && in.rowColors[r] >= 0)
                s.color = paletteColor(in.rowColors[r]);
            const double at = first ? cx : cx + b.colW[k];
            const std::string& t = in.rows[r][k];
            const bool label = first && !(in.header && r == 0);
            if (!t.empty())
                c.text("inset-text", at, base,
                       label   ? labels[r - (in.header ? 1 : 0)]
                       : first ? cutTo(t, b.colW[0], kTableSize, s.bold)
                               : t,
                       s);
            cx += b.colW[k] + 10;
        }
    }
    c.end();
}

// The legend's entries laid out in rows that fit `width`.
struct LegendLayout {
    struct Place {
        int row;
        double x; // from the row's start
    };
    std::vector<Place> places;
    std::vector<double> rowWidth;
    std::vector<std::string> labels; // each entry's, cut to the room a row has
    double titleW = 0;
    double height = 0;
    int noteRows = 0; // the note's line above the entries
};

LegendLayout layoutLegend(const Legend& l, double width)
{
    LegendLayout L;
    if (l.entries.empty() && l.note.empty())
        return L;
    L.noteRows = l.note.empty() ? 0 : 1;
    if (l.entries.empty()) {
        L.height = lineHeight(kTableSize) + 10;
        return L;
    }
    L.titleW = l.title.empty() ? 0 : TextMetrics::width(l.title, kTableSize, true) + 10;
    for (const LegendEntry& e : l.entries)
        L.labels.push_back(e.label);
    L.labels =
        cutDistinct(L.labels, std::max(20.0, width - L.titleW - kLegendSwatch - 5), kTableSize);
    double x = L.titleW;
    int row = 0;
    L.rowWidth.push_back(0);
    for (const std::string& label : L.labels) {
        const double w = kLegendSwatch + 5 + TextMetrics::width(label, kTableSize);
        if (x > L.titleW && x + w > width) {
            ++row;
            x = L.titleW;
            L.rowWidth.push_back(0);
        }
        L.places.push_back({row, x});
        x += w;
        L.rowWidth.back() = x;
        x += 16;
    }
    L.height = lineHeight(kTableSize) * static_cast<double>(L.rowWidth.size() + L.noteRows) + 10;
    return L;
}

void drawLegend(Canvas& c, const Legend& l, const LegendLayout& L, double left, double width,
                double top)
{
    if (l.entries.empty() && l.note.empty())
        return;
    c.begin("legend");
    const double lh = lineHeight(kTableSize);
    if (!l.note.empty()) {
        c.text("legend-note", left + width / 2, baselineFor(top + 5 + lh / 2, kTableSize),
               cutTo(l.note, width, kTableSize), style(kTableSize, Anchor::Middle));
        top += lh;
    }
    double widest = 0;
    for (double w : L.rowWidth)
        widest = std::max(widest, w);
    const double x0 = left + std::max(0.0, (width - widest) / 2);
    const double firstBase = baselineFor(top + 5 + lh / 2, kTableSize);
    if (!l.title.empty())
        c.text("legend-title", x0, firstBase, l.title, style(kTableSize, Anchor::Start, true));
    for (size_t i = 0; i < l.entries.size(); ++i) {
        const LegendEntry& e = l.entries[i];
        const double cy = top + 5 + lh * (L.places[i].row + 0.5);
        const double x = x0 + L.places[i].x;
        const std::string& col = paletteColor(e.color);
        switch (e.kind) {
        case LegendEntry::Line: {
            Stroke s{col, 2, e.dash, 1};
            c.line("legend-line", x, cy, x + kLegendSwatch, cy, s);
            break;
        }
        case LegendEntry::Swatch: {
            Path p;
            p.rect(x, cy - 5, kLegendSwatch, 10);
            Fill f{col, e.opacity};
            if (e.dash.empty()) {
                c.path("legend-swatch", p, nullptr, &f);
            } else {
                Stroke s{col, 1.2, e.dash, 1};
                Path edges;
                edges.moveTo(x, cy - 4).lineTo(x + kLegendSwatch, cy - 4);
                edges.moveTo(x, cy + 4).lineTo(x + kLegendSwatch, cy + 4);
                c.path("legend-swatch", edges, &s, nullptr);
            }
            break;
        }
        case LegendEntry::Mark: {
            Stroke s{col, 1.2, "", 1};
            c.marker("legend-mark", e.shape, x + kLegendSwatch / 2, cy, 7, s, nullptr);
            break;
        }
        }
        c.text("legend-text", x + kLegendSwatch + 5, baselineFor(cy, kTableSize), L.labels[i],
               style(kTableSize));
    }
    c.end();
}

bool hasOutsideAtRisk(const Figure& f)
{
    for (const PlotCell& p : f.cells)
        if (!p.atRisk.empty() && !p.atRiskInside)
            return true;
    return false;
}

size_t atRiskRows(const Figure& f)
{
    size_t n = 0;
    for (const PlotCell& p : f.cells)
        if (!p.atRiskInside)
            n = std::max(n, p.atRisk.size());
    return n;
}

double outsideTableHeight(const Figure& f)
{
    if (!hasOutsideAtRisk(f))
        return 0;
    const double need = 8 + lineHeight(kTableSize) * static_cast<double>(atRiskRows(f) + 1);
    if (f.atRiskWeight > 0 && f.atRiskWeight < 1)
        return std::max(need, f.cellHeight * f.atRiskWeight / (1 - f.atRiskWeight));
    return need;
}

// What the at-risk tables inside the plots of a figure add to the height of
// its cells: the rows past kInsideAtRiskRows of the longest.
double insideTableGrowth(const Figure& f)
{
    size_t n = 0;
    for (const PlotCell& p : f.cells)
        if (p.atRiskInside)
            n = std::max(n, p.atRisk.size());
    return n > kInsideAtRiskRows
               ? lineHeight(kTableSize) * static_cast<double>(n - kInsideAtRiskRows)
               : 0;
}

// The texts of the tick labels along x and how they are placed: on one
// row, or staggered over two; where even that crowds, the labels that would
// overlap one already placed are left out.
struct XLabels {
    std::vector<std::string> text;
    std::vector<double> px;
    std::vector<char> shown; // per label: drawn
    int rows = 1;
};

// Labels that crowd: those at `counted` times first (the at-risk times whose
// counts are shown, so that a count stands under a bare tick only where its
// label would overlap another), then those at the other `asked` times (the
// at-risk times whose counts are left out: the label is all that marks
// them), each kept unless it comes within kLabelGap of one already placed;
// then the first and the last label, then each of the others in order (ticks
// between the at-risk times), where it has kLabelRoom on both sides.
constexpr double kLabelGap = 3;  // about a space: closer, two labels read as one
constexpr double kLabelRoom = 6; // the room of a label the axis may do without

XLabels placeXLabels(const std::vector<double>& ticks, int decimals, const Scale& sx, bool stagger,
                     const std::set<double>& counted = {}, const std::set<double>& asked = {})
{
    XLabels L;
    for (double t : ticks) {
        L.text.push_back(tickText(t, decimals));
        L.px.push_back(sx(t));
    }
    const size_t n = L.text.size();
    L.shown.assign(n, 1);
    std::vector<double> w(n);
    for (size_t i = 0; i < n; ++i)
        w[i] = TextMetrics::width(L.text[i], kTickSize);
    auto clear = [&](size_t a, size_t b, double gap = kLabelRoom) { // a left of b
        return L.px[b] - w[b] / 2 >= L.px[a] + w[a] / 2 + gap;
    };
    auto crowded = [&](int rows) {
        for (size_t i = static_cast<size_t>(rows); i < n; ++i)
            if (!clear(i - static_cast<size_t>(rows), i))
                return true;
        return false;
    };
    if (!crowded(1))
        return L;
    if (stagger && !crowded(2)) {
        L.rows = 2;
        return L;
    }
    L.shown.assign(n, 0);
    std::set<size_t> placed;
    auto place = [&](size_t i, double gap) {
        const auto right = placed.lower_bound(i);
        if (right != placed.end() && !clear(i, *right, gap))
            return;
        if (right != placed.begin() && !clear(*std::prev(right), i, gap))
            return;
        placed.insert(i);
        L.shown[i] = 1;
    };
    for (size_t i = 0; i < n; ++i)
        if (counted.count(ticks[i]))
            place(i, kLabelGap);
    for (size_t i = 0; i < n; ++i)
        if (asked.count(ticks[i]))
            place(i, kLabelGap);
    if (n > 0) {
        place(0, kLabelRoom);
        place(n - 1, kLabelRoom);
    }
    for (size_t i = 1; i + 1 < n; ++i)
        place(i, kLabelRoom);
    return L;
}

// The at-risk counts along their rows: as large as they can be, down to a
// size still read easily, and where the counts of neighbouring times would
// still overlap or come within kCountGap of each other, the times whose
// counts are left out, in every row alike so that each time's column stays
// whole. The size that leaves out the fewest times wins, the larger on a
// tie: one pair of close times does not shrink every count.
constexpr double kLeastCountSize = 8;
constexpr double kCountGap = 4; // the least room between the counts of two times

struct RowFit {
    double size = kTableSize;
    std::set<double> hidden; // times whose counts are not shown
};

RowFit fitRow(const std::vector<std::vector<std::pair<double, std::string>>>& rows, const Scale& sx)
{
    std::set<double> times;
    for (const auto& row : rows)
        for (const auto& cl : row)
            times.insert(cl.first);
    // Each row's cells by time.
    std::vector<std::map<double, const std::string*>> byTime(rows.size());
    for (size_t r = 0; r < rows.size(); ++r)
        for (const auto& cl : rows[r])
            byTime[r].emplace(cl.first, &cl.second);
    auto hiddenAt = [&](double size) {
        std::set<double> hidden;
        std::vector<double> lastEnd(rows.size(), -1e300);
        std::vector<double> end(rows.size());
        for (double t : times) {
            const double x = sx(t);
            bool clear = true;
            for (size_t r = 0; r < rows.size(); ++r) {
                const auto it = byTime[r].find(t);
                if (it == byTime[r].end()) {
                    end[r] = lastEnd[r];
                    continue;
                }
                const double w = TextMetrics::width(*it->second, size);
                if (x - w / 2 < lastEnd[r] + kCountGap)
                    clear = false;
                end[r] = x + w / 2;
            }
            if (clear)
                lastEnd = end;
            else
                hidden.insert(t);
        }
        return hidden;
    };
    RowFit best;
    bool first = true;
    for (double s = kTableSize; s >= kLeastCountSize; s -= 0.5) {
        std::set<double> h = hiddenAt(s);
        if (first || h.size() < best.hidden.size()) {
            best.size = s;
            best.hidden = std::move(h);
            first = false;
        }
        if (best.hidden.empty())
            break;
    }
    return best;
}

// The at-risk cells of a cell that lie on its time axis, row by row.
std::vector<std::vector<std::pair<double, std::string>>>
cellsOnAxis(const PlotCell& cell, const Scale& sx, double x0, double x1)
{
    std::vector<std::vector<std::pair<double, std::string>>> rows;
    for (const AtRiskRow& r : cell.atRisk) {
        rows.emplace_back();
        for (const auto& cl : r.cells)
            if (sx(cl.first) >= x0 - 0.5 && sx(cl.first) <= x1 + 0.5)
                rows.back().push_back(cl);
    }
    return rows;
}

// Where a cell's parts go: the plot rectangle, the scales, the ticks and
// the room around them, decided before anything of the cell is drawn.
struct CellFrame {
    double lhTable = 0, tickLabelH = 0, labelH = 0;
    double top = 0;        // the plot's top, below a panel heading
    double plotBottom = 0; // the plot's bottom edge
    double regionH = 0;    // an at-risk table inside: its height under the curves
    double tableH = 0;     // an at-risk table below: its height
    bool inside = false;   // the at-risk table is inside the plot
    double yLabelW = 0;    // the widest y tick label
    double overhang = 0;   // a first count reaching left of the plot
    double plotLeft = 0;   // the plot's left edge
    double plotRight = 0;  // the plot's right edge (the axis may end inside it)
    double labelLeft = 0;  // where the at-risk row labels start
    double dataBottom = 0; // the curves' lowest pixel (above an inside table)
    Ticks xt, yt;
    XLabels xl;
    RowFit counts; // the at-risk counts' size and the times left without
    std::vector<double> bareCounts; // times whose counts show without a tick label
    Scale sx, sy;
    Rect plot;
    std::vector<InsetBox> boxes;
};

// A panel heading in a grey band across the top of the cell; returns where
// the plot may start.
double drawPanelHeader(Canvas& c, const PlotCell& cell, const Rect& R)
{
    if (cell.header.empty())
        return R.y0 + 6;
    const double hh = lineHeight(kSubSize) + 4;
    Path band;
    band.rect(R.x0 + 4, R.y0 + 2, R.width() - 8, hh);
    Fill grey{"#eeeeee", 1};
    c.path("panel-header-box", band, nullptr, &grey);
    // Cut in the weight it is drawn in: a bold text is wider than its
    // regular form.
    const std::string h = cutTo(cell.header, R.width() - 16, kSubSize, true);
    c.text("panel-header", (R.x0 + R.x1) / 2, baselineFor(R.y0 + 2 + hh / 2, kSubSize), h,
           style(kSubSize, Anchor::Middle, true));
    return R.y0 + 2 + hh + 8;
}

// The y axis's ticks for the room there is, and the left margin: the y
// label, the tick labels and the at-risk labels.
void layoutYAxis(const Figure& f, const PlotCell& cell, const Rect& R, CellFrame& F)
{
    for (const Inset& in : cell.insets)
        F.boxes.push_back(measureInset(in));
    // Room below the plot: ticks, their labels, the axis label, and the
    // at-risk table when it is outside.
    const bool outside = !cell.atRisk.empty() && !cell.atRiskInside;
    F.tableH = outside ? outsideTableHeight(f) : 0;
    const double below =
        kTickLength + 3 + F.tickLabelH + 6 + (cell.x.label.empty() ? 0 : F.labelH + 4);
    F.plotBottom = R.y1 - 4 - F.tableH - below;
    F.inside = !cell.atRisk.empty() && cell.atRiskInside;
    if (F.inside)
        F.regionH = std::max(cell.atRiskShare * (F.plotBottom - F.top),
                             F.lhTable * static_cast<double>(cell.atRisk.size()) + 10);
    FitArg yArg{std::max(20.0, F.plotBottom - F.top - F.regionH), kTickSize, false, 11};
    if (!cell.y.ticks.empty()) {
        F.yt.values = cell.y.ticks;
        F.yt.decimals = cell.y.decimals >= 0 ? cell.y.decimals : decimalsFor(F.yt.values);
    } else {
        F.yt = niceTicks(cell.y.min, cell.y.max, false, cell.y.zero, yArg.room, kTickSize, 11);
    }
    for (double v : F.yt.values)
        F.yLabelW = std::max(F.yLabelW, TextMetrics::width(tickText(v, F.yt.decimals), kTickSize));
    double left = (cell.y.label.empty() ? 0 : F.labelH + 6) + F.yLabelW + 4 + kTickLength;
    double rowLabelW = 0;
    for (const AtRiskRow& r : cell.atRisk)
        rowLabelW = std::max(rowLabelW, TextMetrics::width(r.label, kTableSize));
    rowLabelW = std::min(rowLabelW, R.width() * 0.3);
    // A count at the axis's start is centred on it and reaches left of the
    // plot: the row labels stand clear of it.
    for (const AtRiskRow& r : cell.atRisk)
        if (!r.cells.empty() && r.cells.front().first <= cell.x.min)
            F.overhang =
                std::max(F.overhang, TextMetrics::width(r.cells.front().second, kTableSize) / 2);
    left = std::max(left, rowLabelW + (rowLabelW > 0 ? 8 : 0) + F.overhang + 4);
    F.plotLeft = R.x0 + 6 + left;
}

// Counts of an at-risk table inside the plot stand clear of its right edge
// as of its left: a count centred at the axis's end (or close to it) would
// sit on the frame, so the axis ends that much inside the frame.
void keepCountsInside(const PlotCell& cell, CellFrame& F)
{
    for (int pass = 0; pass < 3; ++pass) {
        double reach = -1e300;
        for (const AtRiskRow& r : cell.atRisk)
            for (const auto& cl : r.cells) {
                const double x = F.sx(cl.first);
                if (x <= F.plotRight + 0.5)
                    reach = std::max(reach, x + TextMetrics::width(cl.second, kTableSize) / 2);
            }
        const double excess = reach + 3 - F.plotRight;
        if (excess <= 0.01)
            return;
        F.sx.p1 -= excess;
    }
}

// The x axis: explicit ticks (the at-risk times, or the requested ticks) or
// nice ones for the width there is; the right margin grows until the last
// label stays inside the cell. Then the plot rectangle and both scales.
void layoutXAxis(const PlotCell& cell, const Rect& R, CellFrame& F)
{
    double right = 14;
    for (int pass = 0; pass < 2; ++pass) {
        const double plotRight = R.x1 - right;
        if (!cell.x.ticks.empty()) {
            F.xt.values = cell.x.ticks;
            F.xt.decimals = cell.x.decimals >= 0 ? cell.x.decimals : decimalsFor(F.xt.values);
        } else {
            F.xt = niceTicks(cell.x.min, cell.x.max, true, cell.x.zero, plotRight - F.plotLeft,
                             kTickSize, 11);
        }
        double x0 = cell.x.min, x1 = cell.x.max;
        if (cell.x.clampToTicks && !F.xt.values.empty()) {
            x0 = std::min(x0, F.xt.values.front());
            x1 = std::max(x1, F.xt.values.back());
        }
        const double xpad = (x1 - x0) * cell.x.pad;
        // Counts of an at-risk table inside the plot stand clear of its left
        // edge: the axis starts a little inside the frame.
        F.sx = {x0 - xpad, x1 + xpad, F.plotLeft + (F.inside ? F.overhang + 3 : 0), plotRight};
        F.plotRight = plotRight;
        if (F.inside)
            keepCountsInside(cell, F);
        // The counts first: the label of an at-risk time is left out only
        // where it would come within kLabelGap of another, those of the
        // times whose counts are shown taking their place first.
        F.counts = fitRow(cellsOnAxis(cell, F.sx, F.plotLeft, plotRight), F.sx);
        std::set<double> counted, asked;
        for (const AtRiskRow& r : cell.atRisk)
            for (const auto& cl : r.cells)
                (F.counts.hidden.count(cl.first) ? asked : counted).insert(cl.first);
        F.xl = placeXLabels(F.xt.values, F.xt.decimals, F.sx, cell.x.stagger, counted, asked);
        // The counts stay where their label is left out (it would come
        // within kLabelGap of another): those times are named.
        F.bareCounts.clear();
        for (size_t i = 0; i < F.xt.values.size(); ++i)
            if (!F.xl.shown[i] && counted.count(F.xt.values[i]) && F.xl.px[i] >= F.plotLeft - 0.5 &&
                F.xl.px[i] <= plotRight + 0.5)
                F.bareCounts.push_back(F.xt.values[i]);
        // The last label may not pass the cell's edge.
        double need = 14;
        for (size_t i = 0; i < F.xl.text.size(); ++i)
            need = std::max(need, F.xl.px[i] + TextMetrics::width(F.xl.text[i], kTickSize) / 2 + 6 -
                                      plotRight + right);
        if (need <= right + 0.01)
            break;
        right = need;
    }
    if (F.xl.rows == 2)
        F.plotBottom -= F.tickLabelH + 2;
    F.plot = Rect{F.plotLeft, F.top, F.plotRight, F.plotBottom};
    F.labelLeft = R.x0 + 6;
    F.dataBottom = F.plot.y1 - F.regionH;
    double y0 = cell.y.min, y1 = cell.y.max;
    if (cell.y.clampToTicks && !F.yt.values.empty()) {
        y0 = std::min(y0, F.yt.values.front());
        y1 = std::max(y1, F.yt.values.back());
    }
    const double ypad = (y1 - y0) * cell.y.pad;
    F.sy = Scale{y0 - ypad, y1 + ypad, F.dataBottom, F.plot.y0};
}

// Below this many curves (or bands, or sets of marks) a cell's data are
// drawn on one thread: forking the canvas would cost more than it saves.
constexpr size_t kParallelItems = 64;

// Draws items [0, n) in order. Many items are drawn in contiguous runs on
// the host's pool, each on a fork of the canvas, and the runs are joined in
// order, so the result is the same as drawing them one after another.
void drawInOrder(Canvas& c, size_t n, const std::function<void(Canvas&, size_t)>& draw)
{
    const size_t width = vyr::pool_width();
    std::unique_ptr<Canvas> first;
    if (n < kParallelItems || width < 2 || !(first = c.fork())) {
        for (size_t i = 0; i < n; ++i)
            draw(c, i);
        return;
    }
    const size_t runs = std::min(n / (kParallelItems / 2), 4 * width);
    std::vector<std::unique_ptr<Canvas>> parts(runs);
    parts[0] = std::move(first);
    vyr::parallel_for(runs, [&](size_t k) {
        if (!parts[k])
            parts[k] = c.fork();
        const size_t b = n * k / runs, e = n * (k + 1) / runs;
        for (size_t i = b; i < e; ++i)
            draw(*parts[k], i);
    });
    for (const auto& p : parts)
        c.join(*p);
}

// The points of a band piece's lower and upper edges.
void bandEdges(const Band::Piece& pc, std::vector<Pt>& lo, std::vector<Pt>& hi)
{
    lo.resize(pc.x.size());
    hi.resize(pc.x.size());
    for (size_t i = 0; i < pc.x.size(); ++i) {
        lo[i] = {pc.x[i], pc.lo[i]};
        hi[i] = {pc.x[i], pc.hi[i]};
    }
}

void drawBand(Canvas& c, const Band& b, const Scale& sx, const Scale& sy)
{
    c.begin(b.cls);
    const std::string& col = paletteColor(b.color);
    std::vector<Pt> lo, hi;
    for (const Band::Piece& pc : b.pieces) {
        if (pc.x.empty())
            continue;
        if (pc.x.size() == 1 && !b.step) {
            // Joined limits at one point alone (their neighbours have none)
            // have no width to fill: they show as a bar from limit to limit.
            const double px = sx(pc.x[0]);
            const Stroke s = b.filled ? Stroke{col, 3, "", std::min(1.0, 2 * b.opacity)}
                                      : Stroke{col, 1, b.dash, 0.9};
            c.line(b.cls, px, sy(pc.hi[0]), px, sy(pc.lo[0]), s);
            continue;
        }
        bandEdges(pc, lo, hi);
        std::vector<Pt> vlo = thin(vertices(lo, b.step, sx, sy));
        std::vector<Pt> vhi = thin(vertices(hi, b.step, sx, sy));
        if (b.filled) {
            Path p;
            p.cmds.reserve(vhi.size() + vlo.size() + 1);
            for (size_t i = 0; i < vhi.size(); ++i)
                i == 0 ? p.moveTo(vhi[i].x, vhi[i].y) : p.lineTo(vhi[i].x, vhi[i].y);
            for (size_t i = vlo.size(); i-- > 0;)
                p.lineTo(vlo[i].x, vlo[i].y);
            p.close();
            Fill fl{col, b.opacity};
            c.path(b.cls, p, nullptr, &fl);
        } else {
            Stroke s{col, 1, b.dash, 0.9};
            for (const auto* v : {&vlo, &vhi}) {
                Path p;
                p.cmds.reserve(v->size());
                for (size_t i = 0; i < v->size(); ++i)
                    i == 0 ? p.moveTo((*v)[i].x, (*v)[i].y) : p.lineTo((*v)[i].x, (*v)[i].y);
                c.path(b.cls, p, &s, nullptr);
            }
        }
    }
    c.end();
}

void drawSeries(Canvas& c, const Series& s, const Scale& sx, const Scale& sy)
{
    std::vector<Pt> v = thin(vertices(s.pts, s.step, sx, sy));
    if (v.empty())
        return;
    Path p;
    p.cmds.reserve(v.size() + 1);
    for (size_t i = 0; i < v.size(); ++i)
        i == 0 ? p.moveTo(v[i].x, v[i].y) : p.lineTo(v[i].x, v[i].y);
    Stroke st{paletteColor(s.color), s.width, paletteDash(s.color), 1};
    if (v.size() == 1)
        p.lineTo(v[0].x + 0.01, v[0].y);
    c.path("curve", p, &st, nullptr);
    if (s.markers) {
        Fill fl{paletteColor(s.color), 1};
        Stroke ms{paletteColor(s.color), 1, "", 1};
        for (const Pt& q : s.pts)
            c.marker("point", Marker::Circle, sx(q.x), sy(q.y), 5, ms, &fl);
    }
}

void drawMarks(Canvas& c, const Marks& m, const Scale& sx, const Scale& sy)
{
    c.begin(m.cls);
    Stroke st{paletteColor(m.color), 1.2, "", 1};
    // Marks that fall within a third of a mark of one already drawn show as
    // that one.
    const double cellSize = std::max(1.0, m.size / 3);
    std::set<std::pair<long, long>> drawn;
    for (const Pt& q : m.pts) {
        const double px = sx(q.x), py = sy(q.y);
        if (!drawn.insert({std::lround(px / cellSize), std::lround(py / cellSize)}).second)
            continue;
        c.marker(m.cls, m.shape, px, py, m.size, st, nullptr);
    }
    c.end();
}

// Grid lines, then the bands, curves and marks clipped to the plot.
void drawData(Canvas& c, const PlotCell& cell, const CellFrame& F)
{
    const Rect& plot = F.plot;
    c.begin("grid");
    Stroke gridStroke{"#e4e4e4", 1, "", 1};
    for (double v : F.yt.values) {
        const double py = F.sy(v);
        if (py >= plot.y0 - 0.5 && py <= F.dataBottom + 0.5)
            c.line("grid-y", plot.x0, py, plot.x1, py, gridStroke);
    }
    c.end();
    c.beginClip("data", {plot.x0, plot.y0 - 6, plot.x1 + 6, F.dataBottom + 6});
    drawInOrder(c, cell.bands.size(),
                [&](Canvas& to, size_t i) { drawBand(to, cell.bands[i], F.sx, F.sy); });
    drawInOrder(c, cell.series.size(),
                [&](Canvas& to, size_t i) { drawSeries(to, cell.series[i], F.sx, F.sy); });
    drawInOrder(c, cell.marks.size(),
                [&](Canvas& to, size_t i) { drawMarks(to, cell.marks[i], F.sx, F.sy); });
    c.end();
}

// The frame, the ticks and tick labels, and the axis labels; returns where
// the x axis's texts end.
double drawAxes(Canvas& c, const PlotCell& cell, const CellFrame& F)
{
    const Rect& plot = F.plot;
    c.begin("axes");
    Stroke frame{"#333333", 1, "", 1};
    Path box;
    box.rect(plot.x0, plot.y0, plot.width(), plot.height());
    c.path("frame", box, &frame, nullptr);
    c.begin("axis-y");
    for (double v : F.yt.values) {
        const double py = F.sy(v);
        if (py < plot.y0 - 0.5 || py > F.dataBottom + 0.5)
            continue;
        c.line("tick", plot.x0 - kTickLength, py, plot.x0, py, frame);
        c.text("tick-label", plot.x0 - kTickLength - 3, baselineFor(py, kTickSize),
               tickText(v, F.yt.decimals), style(kTickSize, Anchor::End));
    }
    if (!cell.y.label.empty()) {
        TextStyle s = style(kSubSize, Anchor::Middle);
        s.rotate = -90;
        const double mid = (plot.y0 + F.dataBottom) / 2;
        const double room = F.dataBottom - plot.y0;
        const std::string lab = cutTo(cell.y.label, std::max(20.0, room), kSubSize);
        // The label's descent side faces the tick labels.
        c.text("axis-label",
               plot.x0 - kTickLength - 4 - F.yLabelW - 6 -
                   TextMetrics::measure("0", kSubSize).descent,
               mid, lab, s);
    }
    c.end();
    c.begin("axis-x");
    const XLabels& xl = F.xl;
    const double labelTop = plot.y1 + kTickLength + 3;
    for (size_t i = 0; i < F.xt.values.size(); ++i) {
        const double px = xl.px[i];
        if (px < plot.x0 - 0.5 || px > plot.x1 + 0.5)
            continue;
        c.line("tick", px, plot.y1, px, plot.y1 + kTickLength, frame);
        if (!xl.shown[i])
            continue;
        const double rowTop = labelTop + (xl.rows == 2 && i % 2 == 1 ? F.tickLabelH + 2 : 0);
        c.text("tick-label", px, baselineFor(rowTop + F.tickLabelH / 2, kTickSize), xl.text[i],
               style(kTickSize, Anchor::Middle));
    }
    double afterLabels = labelTop + F.tickLabelH * xl.rows + (xl.rows == 2 ? 2 : 0) + 6;
    if (!cell.x.label.empty()) {
        const std::string lab = cutTo(cell.x.label, plot.width(), kSubSize);
        c.text("axis-label", (plot.x0 + plot.x1) / 2,
               baselineFor(afterLabels + F.labelH / 2, kSubSize), lab,
               style(kSubSize, Anchor::Middle));
        afterLabels += F.labelH + 4;
    }
    c.end();
    c.end();
    return afterLabels;
}

// The at-risk table, inside below the curves or below the axis.
void drawAtRisk(Canvas& c, const Figure& f, const PlotCell& cell, const Rect& R, const CellFrame& F,
                double afterLabels)
{
    if (cell.atRisk.empty())
        return;
    const Rect& plot = F.plot;
    const Scale& sx = F.sx;
    c.begin(F.inside ? "atrisk-inside" : "atrisk");
    // The counts shown: those on the axis, less the times left without.
    std::vector<std::vector<std::pair<double, std::string>>> rows =
        cellsOnAxis(cell, sx, plot.x0, plot.x1);
    const RowFit& fit = F.counts;
    for (auto& row : rows)
        row.erase(std::remove_if(row.begin(), row.end(),
                                 [&](const auto& cl) { return fit.hidden.count(cl.first) > 0; }),
                  row.end());
    double rowTop;
    double rowH = F.lhTable;
    if (F.inside) {
        rowTop = F.dataBottom + 6;
    } else {
        // A table given more height than its rows need spreads them (up to
        // twice their height) and stands in the middle.
        const double top0 = std::max(afterLabels, R.y1 - 4 - F.tableH) + 4;
        const double room = R.y1 - 4 - top0;
        const double lines = static_cast<double>(cell.atRisk.size() + 1);
        rowH = std::clamp(room / lines, F.lhTable, 2 * F.lhTable);
        rowTop = top0 + std::max(0.0, (room - rowH * lines) / 2);
        c.text("atrisk-title", R.x0 + 6, baselineFor(rowTop + rowH / 2, kTableSize), f.atRiskTitle,
               style(kTableSize, Anchor::Start, true));
        rowTop += rowH;
    }
    // Row labels in a column of their own at the left, clear of the first
    // counts.
    double labelEnd = F.inside ? plot.x0 - 6 : plot.x0 - 8;
    for (const auto& row : rows)
        if (!row.empty())
            labelEnd =
                std::min(labelEnd, sx(row.front().first) -
                                       TextMetrics::width(row.front().second, fit.size) / 2 - 10);
    std::vector<std::string> labels;
    for (const AtRiskRow& r : cell.atRisk)
        labels.push_back(r.label);
    labels = cutDistinct(labels, std::max(0.0, labelEnd - F.labelLeft), kTableSize);
    for (size_t r = 0; r < cell.atRisk.size(); ++r) {
        const double cy = rowTop + rowH * (static_cast<double>(r) + 0.5);
        TextStyle ls = style(kTableSize, Anchor::Start);
        ls.color = paletteColor(cell.atRisk[r].color);
        const std::string& lab = labels[r];
        if (!lab.empty())
            c.text("atrisk-label", F.labelLeft, baselineFor(cy, kTableSize), lab, ls);
        TextStyle ns = style(fit.size, Anchor::Middle);
        ns.color = ls.color;
        for (const auto& cl : rows[r])
            c.text("atrisk-count", sx(cl.first), baselineFor(cy, fit.size), cl.second, ns);
    }
    c.end();
}

// How many segments of the cell's curves and band edges cross each of four
// rectangles, and how many marks touch them. Counted on the host's pool
// over runs of curves: the counts are sums, the same in any order.
std::array<long, 4> lineHits(const PlotCell& cell, const CellFrame& F, const Rect (&r)[4])
{
    auto countLine = [&](const std::vector<Pt>& v, std::array<long, 4>& h) {
        for (size_t i = 1; i < v.size(); ++i)
            for (int k = 0; k < 4; ++k)
                if (segmentHits(v[i - 1], v[i], r[k]))
                    ++h[static_cast<size_t>(k)];
    };
    const size_t nS = cell.series.size(), nB = cell.bands.size(), nM = cell.marks.size();
    const size_t n = nS + nB + nM;
    const size_t runs = n < kParallelItems ? 1 : std::min(n / (kParallelItems / 2), size_t{64});
    std::vector<std::array<long, 4>> part(runs, std::array<long, 4>{});
    vyr::parallel_for(runs, [&](size_t k) {
        std::array<long, 4>& h = part[k];
        std::vector<Pt> lo, hi;
        for (size_t i = n * k / runs; i < n * (k + 1) / runs; ++i) {
            if (i < nS) {
                const Series& s = cell.series[i];
                countLine(vertices(s.pts, s.step, F.sx, F.sy), h);
            } else if (i < nS + nB) {
                const Band& b = cell.bands[i - nS];
                for (const Band::Piece& pc : b.pieces) {
                    if (pc.x.size() == 1 && !b.step) {
                        // The bar of limits at one point.
                        countLine(
                            {{F.sx(pc.x[0]), F.sy(pc.hi[0])}, {F.sx(pc.x[0]), F.sy(pc.lo[0])}}, h);
                        continue;
                    }
                    bandEdges(pc, lo, hi);
                    countLine(vertices(lo, b.step, F.sx, F.sy), h);
                    countLine(vertices(hi, b.step, F.sx, F.sy), h);
                }
            } else {
                for (const Pt& q : cell.marks[i - nS - nB].pts) {
                    const Rect m{F.sx(q.x) - 4, F.sy(q.y) - 4, F.sx(q.x) + 4, F.sy(q.y) + 4};
                    for (int c = 0; c < 4; ++c)
                        if (m.overlaps(r[c]))
                            ++h[static_cast<size_t>(c)];
                }
            }
        }
    });
    std::array<long, 4> hits{};
    for (const auto& h : part)
        for (size_t c = 0; c < 4; ++c)
            hits[c] += h[c];
    return hits;
}

// Insets: each in the first corner that no curve, band edge, mark or earlier
// inset touches (else the least touched), above the at-risk rows. One that
// no corner holds clear goes below the figure (`pushedOut`), as does one
// that would take most of the plot.
void placeInsets(Canvas& c, const PlotCell& cell, const CellFrame& F,
                 std::vector<const Inset*>& pushedOut)
{
    const Rect& plot = F.plot;
    std::vector<Rect> taken;
    for (size_t k = 0; k < cell.insets.size(); ++k) {
        const InsetBox& b = F.boxes[k];
        const double m = 6;
        const Rect corners[4] = {
            {plot.x1 - m - b.w, plot.y0 + m, plot.x1 - m, plot.y0 + m + b.h},
            {plot.x0 + m, F.dataBottom - m - b.h, plot.x0 + m + b.w, F.dataBottom - m},
            {plot.x1 - m - b.w, F.dataBottom - m - b.h, plot.x1 - m, F.dataBottom - m},
            {plot.x0 + m, plot.y0 + m, plot.x0 + m + b.w, plot.y0 + m + b.h},
        };
        const std::array<long, 4> drawn = lineHits(cell, F, corners);
        int best = 0;
        long bestHits = -1;
        for (int ci = 0; ci < 4; ++ci) {
            long hits = drawn[static_cast<size_t>(ci)];
            for (const Rect& t : taken)
                if (corners[ci].overlaps(t, -2))
                    hits += 1000000;
            if (bestHits < 0 || hits < bestHits) {
                bestHits = hits;
                best = ci;
            }
            if (hits == 0)
                break;
        }
        const bool fits = b.w <= plot.width() * 0.6 && b.h <= (F.dataBottom - plot.y0) * 0.5;
        if (bestHits > 0 || !fits) {
            pushedOut.push_back(&cell.insets[k]);
            continue;
        }
        taken.push_back(corners[best]);
        drawInset(c, cell.insets[k], b, corners[best].x0, corners[best].y0);
    }
}

// Draws one cell; insets that no corner of the plot holds clear of the
// curves are left to the caller (`pushedOut`).
void drawCell(Canvas& c, const Figure& f, const PlotCell& cell, const Rect& R,
              std::vector<CellTrace>* trace, std::vector<const Inset*>& pushedOut)
{
    CellFrame F;
    F.lhTable = lineHeight(kTableSize);
    F.tickLabelH = TextMetrics::measure("0", kTickSize).height();
    F.labelH = TextMetrics::measure("0", kSubSize).height();
    c.begin("cell");
    F.top = drawPanelHeader(c, cell, R);
    layoutYAxis(f, cell, R, F);
    layoutXAxis(cell, R, F);
    if (trace)
        trace->push_back(
            {F.plot, F.sx.d0, F.sx.d1, F.sy.d0, F.sy.d1, F.dataBottom, F.sx.p0, F.sx.p1,
             std::vector<double>(F.counts.hidden.begin(), F.counts.hidden.end()), F.bareCounts});
    drawData(c, cell, F);
    const double afterLabels = drawAxes(c, cell, F);
    drawAtRisk(c, f, cell, R, F, afterLabels);
    placeInsets(c, cell, F, pushedOut);
    c.end();
}

} // namespace

const std::string& paletteColor(int index)
{
    // Texts and samples that stand for no one curve.
    static const std::string neutral = "#333333";
    if (index < 0)
        return neutral;
    static const std::string colors[] = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                         "#E69F00", "#56B4E9", "#000000", "#882255"};
    constexpr int n = static_cast<int>(std::size(colors));
    return colors[((index % n) + n) % n];
}

const char* paletteDash(int index)
{
    static const char* const dashes[] = {"", "6 3", "2 2", "8 3 2 3"};
    const int round = std::max(0, index) / 8;
    return dashes[round % 4];
}

std::string tickText(double v, int decimals)
{
    char buf[64];
    // Values too large for their digits to be read (or to fit the buffer)
    // are written with an exponent.
    if (std::fabs(v) >= 1e15)
        std::snprintf(buf, sizeof buf, "%.6g", v);
    else
        std::snprintf(buf, sizeof buf, "%.*f", std::max(0, std::min(decimals, 12)), v);
    std::string s = buf;
    if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos)
        s.erase(0, 1);
    return s;
}

Ticks niceTicks(double low, double high, bool horizontal, bool zero, double room, double labelSize,
                int maxTicks)
{
    Ticks t;
    if (!(high > low)) {
        // A single value: ticks around it.
        const double a = std::fabs(low) > 0 ? std::fabs(low) * 0.5 : 1;
        low -= a;
        high += a;
        if (zero && low < 0 && low + a >= 0)
            low = 0;
    }
    FitArg arg{room, labelSize, horizontal, maxTicks};
    VyrNiceAxis axis = axisSlot();
    double start = 0, inc = 0;
    int n = 0;
    long d = 0;
    short w = 0;
    if (axis)
        axis(low, high, horizontal ? 'h' : 'v', zero ? 1 : 0, fitTicks, &arg, 0.6, 0.8, &start,
             &inc, &n, &d, &w);
    if (n < 2 || !(inc > 0)) {
        // No routine registered (or no answer): five even steps.
        if (zero && low > 0)
            low = 0;
        start = low;
        n = 6;
        inc = (high - low) / 5;
        d = -1;
    }
    for (int i = 0; i < n; ++i) {
        double v = start + inc * i;
        if (std::fabs(v) < inc * 1e-9)
            v = 0;
        t.values.push_back(v);
    }
    t.decimals = d >= 0 ? static_cast<int>(d) : decimalsFor(t.values);
    if (t.decimals > 6)
        t.decimals = decimalsFor(t.values);
    return t;
}

namespace
{

// The figure drawn from its top: titles, cells, the insets pushed out of
// the cells, the legend. Returns the height it took.
double layoutFigure(Canvas& c, const Figure& f, std::vector<CellTrace>* trace)
{
    const double W = f.width;
    double y = kOuter;
    if (!f.titles.empty()) {
        c.begin("titles");
        for (size_t i = 0; i < f.titles.size(); ++i) {
            const double size = i == 0 ? kTitleSize : kSubSize;
            const std::string t = cutTo(f.titles[i], W - 2 * kOuter, size, i == 0);
            c.text(i == 0 ? "title" : "subtitle", W / 2,
                   baselineFor(y + lineHeight(size) / 2, size), t,
                   style(size, Anchor::Middle, i == 0));
            y += lineHeight(size);
        }
        c.end();
        y += 6;
    }
    const double cellH = f.cellHeight + insideTableGrowth(f) + outsideTableHeight(f);
    const double cellW = (W - 2 * kOuter) / std::max(1, f.cols);
    std::vector<const Inset*> outside;
    for (size_t k = 0; k < f.cells.size(); ++k) {
        const int r = static_cast<int>(k) / std::max(1, f.cols);
        const int col = static_cast<int>(k) % std::max(1, f.cols);
        if (r >= f.rows)
            break;
        const Rect R{kOuter + col * cellW, y + r * cellH, kOuter + (col + 1) * cellW,
                     y + (r + 1) * cellH};
        drawCell(c, f, f.cells[k], R, trace, outside);
    }
    y += cellH * f.rows;
    for (const Inset& in : f.insets)
        outside.push_back(&in);
    // Insets set below the cells, side by side as they fit.
    if (!outside.empty()) {
        y += 6;
        double x = kOuter, rowH = 0;
        for (const Inset* in : outside) {
            const InsetBox b = measureInset(*in, W - 2 * kOuter);
            if (x > kOuter && x + b.w > W - kOuter) {
                y += rowH + 8;
                x = kOuter;
                rowH = 0;
            }
            drawInset(c, *in, b, x, y);
            x += b.w + 12;
            rowH = std::max(rowH, b.h);
        }
        y += rowH + 6;
    }
    const LegendLayout L = layoutLegend(f.legend, W - 2 * kOuter);
    drawLegend(c, f.legend, L, kOuter, W - 2 * kOuter, y);
    return y + L.height + kOuter;
}

} // namespace

std::pair<double, double> figureSize(const Figure& f)
{
    // The layout itself tells how tall the figure is (insets may go below
    // the cells).
    RecordingCanvas scratch(f.width, 1e6);
    return {f.width, layoutFigure(scratch, f, nullptr)};
}

double drawFigure(Canvas& c, const Figure& f, std::vector<CellTrace>* trace)
{
    return layoutFigure(c, f, trace);
}

} // namespace vgr

void vyr_graphics_set_axis(VyrNiceAxis axis)
{
    vgr::axisSlot() = axis;
}

VyrNiceAxis vyr_graphics_axis()
{
    return vgr::axisSlot();
}

bool vyr_graphics_can_export()
{
    return vgr::imageExportAvailable();
}

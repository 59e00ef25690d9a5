// Graph templates: the registry of every "Stat.Korvante.Graphics.*" name and
// the families that draw them from the hidden plot-data tables and the
// dynamic values the procedure passes.
//
// What the dynamic values mean here (the procedure passes them; how a
// template uses them is the output layer's choice):
// - "plotCL", "plotHW", "plotEP": the pointwise limits, the Hall-Wellner and
//   the equal-precision band. The first of them asked for, in that order
//   (not the order of the request), is shaded in the curve's colour; the
//   others are drawn as their dashed (Hall-Wellner) or dotted
//   (equal-precision) edges, so that every band stays visible.
//   Step limits hold across a row without limits (a censored time); joined
//   limits (the life table's) stop at such a row and start again after it,
//   and the limits of a row alone are drawn as a bar.
// - "Transparency": how see-through a shaded band is (its opacity is one
//   minus the value; 0.5 without it).
// - "plotCensored": a '+' at each censored time on the curve.
// - "plotAtRisk", "tAtRisk"/"AtRisk" rows: the number at risk at each
//   at-risk time. Inside the plot ("yMin" below 0 reserves at least that
//   share of the axis below 0) or, for the templates ending in "2", in a
//   table below the time axis. With an at-risk table the time axis has its
//   ticks at the at-risk times, so that every count sits under its tick.
//   Counts shrink to fit down to a size still read easily; the counts of a
//   time that would still overlap a neighbour's are left out in every row
//   (the log names those times), not the counts of every other time, and
//   its tick keeps its label only where the label has room.
//   A table inside takes a row per curve from the curves' height: up to
//   eight rows (vgr::kInsideAtRiskRows) the curves keep three quarters of
//   the height they have with two; each row past the eighth makes the
//   graph taller by its own height instead, so that 18 strata leave the
//   curves the room 8 do. The table stays where it was asked for.
// - "rowWeights": "PREFERRED" lets the table take the height its rows need;
//   two numbers "a b" give the plot and the table heights in that ratio.
//   The panel templates have no form ending in "2": there "rowWeights"
//   (passed with OUTSIDE) itself puts each panel's table below its axis.
// - "classAtRisk": "Stratum" labels the at-risk rows with the stratum's
//   values, "StratumNum" with its number.
// - "xtickVals": the time axis's ticks (numbers separated by blanks);
//   "xtickValFitPol" "STAGGERROTATE": labels that crowd go on two rows.
//   Where labels crowd (on two rows too), the label of an at-risk time is
//   left out only where it would come within 3 pixels of one already placed:
//   the labels of the times whose counts are shown first, then those of the
//   times whose counts are left out. Then the first and the last label, and
//   the others in order, each where it has 6 pixels on both sides.
// - "maxTime" / "logmaxTime": where the time axis ends.
// - "HeaderDisplay": "NAMEVALUE" heads each panel "name=value", "VALUE" with
//   the value alone; "nRows", "nColumns", "PanelNum": the cells of a page
//   and which page of the strata this graph is.
// - "QuartileFmt" "F6.d": the medians of the inset with d decimals.
// - "plotTest", "TestName", "pValue" (or a ready "pValueDisplay"/
//   "testPval"): the test's name and p-value in an inset; a p-value below
//   0.0001 shows as "p<0.0001". In one plot the inset is in the plot; on a
//   page of panels it stands below them, since the test compares what the
//   panels show together; with GROUP= levels in strata panels (and the
//   cumulative incidence panels) it is named "Stratified ...": the test of
//   the levels stratified by the strata.
// - "method", "SecondTitle", "StratumID", "title1", "title2": title lines.
// - The median inset ("NObs", "NEvent", "Median", "LowerMedian",
//   "UpperMedian", "PctMedianConfid", and the "%i" forms per stratum) is
//   drawn in a corner no curve crosses, else below the plot. With more
//   strata than a legend names (VYR_LEGEND_MOST) it is left out, as the
//   legend's lines are (the quartiles table has the same numbers); the
//   procedure then passes none of these values, nor "StrVal%i".
// - The legend names each curve; past VYR_LEGEND_MOST curves it says how
//   many curves the graph draws instead.
#include "host/output/graphs.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "host/graphics/canvas.h"
#include "host/output/name_index.h"
#include "vyr_graphics.h"
#include "vyr_pool.h"
#include "vyr_text.h"

namespace vdq
{
namespace
{

using vgr::Figure;
using vgr::PlotCell;
using vyr::lower;

constexpr GraphTemplate kTemplates[] = {
    {"Stat.Korvante.Graphics.ProductLimitSurvival", GraphFamily::Survival, 0},
    {"Stat.Korvante.Graphics.ProductLimitSurvival2", GraphFamily::Survival, AtRiskOutside},
    {"Stat.Korvante.Graphics.ProductLimitFailure", GraphFamily::Survival, FailureCurve},
    {"Stat.Korvante.Graphics.ProductLimitFailure2", GraphFamily::Survival,
     FailureCurve | AtRiskOutside},
    {"Stat.Korvante.Graphics.ProductLimitSurvivalPanel", GraphFamily::Survival, Panels},
    {"Stat.Korvante.Graphics.ProductLimitFailurePanel", GraphFamily::Survival,
     FailureCurve | Panels},
    {"Stat.Korvante.Graphics.ProductLimitSurvivalSG", GraphFamily::Survival, Groups},
    {"Stat.Korvante.Graphics.ProductLimitSurvival2SG", GraphFamily::Survival,
     Groups | AtRiskOutside},
    {"Stat.Korvante.Graphics.ProductLimitFailureSG", GraphFamily::Survival, Groups | FailureCurve},
    {"Stat.Korvante.Graphics.ProductLimitFailure2SG", GraphFamily::Survival,
     Groups | FailureCurve | AtRiskOutside},
    {"Stat.Korvante.Graphics.ProductLimitSurvivalPanelSG", GraphFamily::Survival, Groups | Panels},
    {"Stat.Korvante.Graphics.ProductLimitFailurePanelSG", GraphFamily::Survival,
     Groups | Panels | FailureCurve},
    // The life-table names come spelled "LifeTable" and "Lifetable"; the
    // lookup ignores case, so each stands for both.
    {"Stat.Korvante.Graphics.LifeTableSurvival", GraphFamily::Survival, LifeTable},
    {"Stat.Korvante.Graphics.LifeTableFailure", GraphFamily::Survival, LifeTable | FailureCurve},
    {"Stat.Korvante.Graphics.LifeTableSurvivalPanel", GraphFamily::Survival, LifeTable | Panels},
    {"Stat.Korvante.Graphics.LifeTableFailurePanel", GraphFamily::Survival,
     LifeTable | FailureCurve | Panels},
    {"Stat.Korvante.Graphics.LifeTableSurvivalSG", GraphFamily::Survival, LifeTable | Groups},
    {"Stat.Korvante.Graphics.LifeTableFailureSG", GraphFamily::Survival,
     LifeTable | Groups | FailureCurve},
    {"Stat.Korvante.Graphics.LifeTableSurvivalPanelSG", GraphFamily::Survival,
     LifeTable | Groups | Panels},
    {"Stat.Korvante.Graphics.LifeTableFailurePanelSG", GraphFamily::Survival,
     LifeTable | Groups | Panels | FailureCurve},
    {"Stat.Korvante.Graphics.NegLogSurvival", GraphFamily::NegLog, 0},
    {"Stat.Korvante.Graphics.NegLogSurvivalSG", GraphFamily::NegLog, Groups},
    {"Stat.Korvante.Graphics.LogNegLogSurvival", GraphFamily::LogNegLog, 0},
    {"Stat.Korvante.Graphics.LogNegLogSurvivalSG", GraphFamily::LogNegLog, Groups},
    {"Stat.Korvante.Graphics.Density", GraphFamily::Rate, Density},
    {"Stat.Korvante.Graphics.DensitySG", GraphFamily::Rate, Density | Groups},
    {"Stat.Korvante.Graphics.Hazard", GraphFamily::Rate, 0},
    {"Stat.Korvante.Graphics.HazardSG", GraphFamily::Rate, Groups},
    {"Stat.Korvante.Graphics.SmoothedHazard", GraphFamily::Rate, Smoothed},
    {"Stat.Korvante.Graphics.BandwidthGrid", GraphFamily::BandwidthGrid, 0},
    {"Stat.Korvante.Graphics.cifPlot", GraphFamily::Incidence, 0},
    {"Stat.Korvante.Graphics.cifPanel", GraphFamily::Incidence, Panels},
    {"Stat.Korvante.Graphics.RMSTPlot", GraphFamily::Restricted, 0},
    {"Stat.Korvante.Graphics.RMTLPlot", GraphFamily::Restricted, TimeLost},
    {"Stat.Korvante.Graphics.RMSTPanel", GraphFamily::Restricted, Panels},
    {"Stat.Korvante.Graphics.RMTLPanel", GraphFamily::Restricted, Panels | TimeLost},
};

std::string trimmed(std::string_view s)
{
    size_t a = s.find_first_not_of(' ');
    if (a == std::string_view::npos)
        return std::string();
    size_t b = s.find_last_not_of(' ');
    return std::string(s.substr(a, b - a + 1));
}

bool missing(double v)
{
    return !std::isfinite(v);
}

// ---------------------------------------------------------------------------
// Dynamic values, by name without regard to case ("labelCL" and "LabelCL"
// mean the same); of names equal but for case, the first given counts. A
// graph across many strata has several values per stratum: they are found
// through a hash index of their names.
class Dyn
{
  public:
    explicit Dyn(const std::vector<Dynamic>& d) : list_(d)
    {
        index_.reserve(d.size(), NameAt{&list_});
        for (size_t i = 0; i < d.size(); ++i)
            if (index_.find(d[i].name, NameAt{&list_}) == NameIndex::kNone)
                index_.add(i, NameAt{&list_});
    }
    const Dynamic* get(std::string_view name) const
    {
        const size_t at = index_.find(name, NameAt{&list_});
        return at == NameIndex::kNone ? nullptr : &list_[at];
    }
    std::string text(std::string_view name) const
    {
        const Dynamic* d = get(name);
        return d ? trimmed(d->text) : std::string();
    }
    double num(std::string_view name, double dflt) const
    {
        const Dynamic* d = get(name);
        if (!d)
            return dflt;
        if (d->numeric)
            return missing(d->d) ? dflt : d->d;
        char* end = nullptr;
        const double v = std::strtod(d->text.c_str(), &end);
        return end != d->text.c_str() ? v : dflt;
    }
    double num(std::string_view name) const { return num(name, std::nan("")); }
    bool on(std::string_view name) const { return num(name, 0) != 0; }
    bool has(std::string_view name) const { return get(name) != nullptr; }

  private:
    struct NameAt {
        const std::vector<Dynamic>* list;
        std::string_view operator()(size_t i) const { return (*list)[i].name; }
    };
    const std::vector<Dynamic>& list_;
    NameIndex index_{true};
};

// The column of a table named `key` (in lower case), or -1.
int columnOf(const Node& t, const std::string& key)
{
    for (size_t i = 0; i < t.columns.size(); ++i)
        if (lower(t.columns[i].name) == key)
            return static_cast<int>(i);
    return -1;
}

// ---------------------------------------------------------------------------
// The rows of a graph's plot data: every source table (a joined table
// stands for its parts), in order, with each column read by name.
class Data
{
  public:
    explicit Data(const Node& graph)
    {
        for (const NodePtr& s : graph.sources)
            add(s.get());
    }
    // Rows [from, to) of one plot-data table alone: a page of panels drawn
    // from the table that holds every page's strata reads its own.
    Data(const Node& table, size_t from, size_t to) : offset_(from)
    {
        first_.push_back(0);
        counts_.push_back(to - from);
        tables_.push_back(&table);
        n_ = to - from;
    }
    size_t size() const { return n_; }
    size_t tables() const { return tables_.size(); }
    // The place in its table of a row of these data (a page's rows keep
    // the places they have in the table of every page).
    long tableRow(long r) const { return r < 0 ? r : r + static_cast<long>(offset_); }
    // The source table (from 0) a row comes from.
    size_t part(size_t r) const
    {
        return static_cast<size_t>(std::upper_bound(first_.begin(), first_.end(), r) -
                                   first_.begin()) -
               1;
    }
    // The rows of source table t: [first(t), first(t) + rowsOf(t)).
    size_t first(size_t t) const { return first_[t]; }
    size_t rowsOf(size_t t) const { return counts_[t]; }
    bool has(std::string_view name) const { return index(name) >= 0; }
    // The column's label, or its name.
    std::string label(std::string_view name) const
    {
        const Column* c = column(name);
        return c ? (c->label.empty() ? c->name : c->label) : std::string();
    }
    const Column* column(std::string_view name) const
    {
        const int k = index(name);
        return k < 0 || tables_.empty() ? nullptr : &tables_[0]->columns[static_cast<size_t>(k)];
    }
    // A numeric column (missing where a row lacks it or holds text).
    const std::vector<double>& num(std::string_view name) const
    {
        const std::string key = lower(name);
        auto it = nums_.find(key);
        if (it != nums_.end())
            return it->second;
        std::vector<double>& v = nums_[key];
        fill(key, v);
        return v;
    }
    // Reads the numeric columns a figure will take, side by side on the
    // host's pool: each is read on its own, a block of rows at a time.
    void load(const std::vector<std::string>& names) const
    {
        std::vector<std::pair<std::string, std::vector<double>*>> todo;
        for (const std::string& name : names) {
            const std::string key = lower(name);
            if (!nums_.count(key))
                todo.push_back({key, &nums_[key]});
        }
        vyr::parallel_for(todo.size(), [&](size_t i) { fill(todo[i].first, *todo[i].second); });
    }
    // The text of a cell: a text column's text, or a number's shortest form.
    std::string text(std::string_view name, size_t row) const
    {
        size_t t = part(row);
        size_t r = row - first_[t] + offset_;
        const Node& tb = *tables_[t];
        const int c = columnOf(tb, lower(name));
        if (c < 0 || static_cast<size_t>(c) >= tb.rows.width(r))
            return std::string();
        const CellView v = tb.rows.view(r, static_cast<size_t>(c));
        if (v.kind == Cell::Text)
            return trimmed(v.s);
        if (missing(v.d))
            return std::string();
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.12g", v.d);
        return buf;
    }

  private:
    void fill(const std::string& key, std::vector<double>& v) const
    {
        v.assign(n_, std::nan(""));
        // Tables made from one data object share their columns: the column
        // is looked for again only when they change.
        const std::vector<Column>* cols = nullptr;
        int c = -1;
        for (size_t t = 0; t < tables_.size(); ++t) {
            const Node& tb = *tables_[t];
            if (&tb.columns.vec() != cols) {
                cols = &tb.columns.vec();
                c = columnOf(tb, key);
            }
            if (c < 0)
                continue;
            if (offset_ == 0 && counts_[t] == tb.rows.size()) {
                tb.rows.numbers(static_cast<size_t>(c), v.data() + first_[t]);
                continue;
            }
            const size_t k = static_cast<size_t>(c);
            for (size_t r = 0; r < counts_[t]; ++r)
                if (k < tb.rows.width(offset_ + r)) {
                    const CellView cell = tb.rows.view(offset_ + r, k);
                    if (cell.kind == Cell::Number)
                        v[first_[t] + r] = cell.d;
                }
        }
    }
    void add(const Node* t)
    {
        if (!t)
            return;
        if (!t->parts.empty()) {
            for (const NodePtr& p : t->parts)
                add(p.get());
            return;
        }
        if (t->kind != Node::Table)
            return;
        first_.push_back(n_);
        counts_.push_back(t->rows.size());
        tables_.push_back(t);
        n_ += t->rows.size();
    }
    int index(std::string_view name) const
    {
        return tables_.empty() ? -1 : columnOf(*tables_[0], lower(name));
    }
    std::vector<const Node*> tables_;
    std::vector<size_t> first_;  // each table's first row
    std::vector<size_t> counts_; // each table's rows read
    size_t offset_ = 0;          // the first row read of a table read in part
    size_t n_ = 0;
    mutable std::map<std::string, std::vector<double>> nums_;
};

// ---------------------------------------------------------------------------
// Shared pieces of the families.

std::string numberText(double v, int decimals = -1)
{
    if (missing(v))
        return ".";
    char buf[48];
    // Values too large for their digits to be read (or to fit the buffer)
    // are written with an exponent.
    if (std::fabs(v) >= 1e15) {
        std::snprintf(buf, sizeof buf, "%.6g", v);
    } else if (decimals >= 0) {
        std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    } else if (std::fabs(v - std::round(v)) < 1e-9 * std::max(1.0, std::fabs(v))) {
        std::snprintf(buf, sizeof buf, "%.0f", v);
    } else {
        std::snprintf(buf, sizeof buf, "%.2f", v);
        std::string s = buf;
        while (s.back() == '0')
            s.pop_back();
        return s;
    }
    return buf;
}

// The p-value as the test inset shows it.
std::string pValueText(double p)
{
    if (missing(p))
        return "p=.";
    if (p < 0.0001)
        return "p<0.0001";
    char buf[32];
    std::snprintf(buf, sizeof buf, "p=%.4f", p);
    return buf;
}

// Numbers of a text separated by blanks (or commas).
std::vector<double> parseNumbers(const std::string& s)
{
    std::vector<double> v;
    const char* p = s.c_str();
    while (*p) {
        while (*p == ' ' || *p == ',')
            ++p;
        if (!*p)
            break;
        char* end = nullptr;
        const double x = std::strtod(p, &end);
        if (end == p) {
            ++p;
            continue;
        }
        if (std::isfinite(x))
            v.push_back(x);
        p = end;
    }
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

// The curves of a cell: rows grouped by a numbering column, in order of
// first appearance (or by number), each with its label.
struct Curve {
    double key = 0;
    std::string label;
    std::vector<size_t> rows;
};

std::vector<Curve> splitCurves(const Data& d, const std::vector<size_t>& rows,
                               const std::string& keyCol, const std::string& labelCol,
                               bool byLabel = false)
{
    std::vector<Curve> curves;
    if (byLabel && d.has(labelCol)) {
        // Curves told apart by their label's text, in order of appearance.
        std::map<std::string, size_t> at;
        for (size_t r : rows) {
            const std::string l = d.text(labelCol, r);
            auto it = at.find(l);
            if (it == at.end()) {
                it = at.emplace(l, curves.size()).first;
                curves.push_back({static_cast<double>(curves.size() + 1), l, {}});
            }
            curves[it->second].rows.push_back(r);
        }
        return curves;
    }
    const bool keyed = !keyCol.empty() && d.has(keyCol);
    const std::vector<double>* key = keyed ? &d.num(keyCol) : nullptr;
    std::map<double, size_t> at;
    for (size_t r : rows) {
        const double k = key ? (*key)[r] : 0;
        if (missing(k))
            continue;
        auto it = at.find(k);
        if (it == at.end()) {
            it = at.emplace(k, curves.size()).first;
            curves.push_back({k, std::string(), {}});
        }
        Curve& c = curves[it->second];
        c.rows.push_back(r);
        if (c.label.empty() && !labelCol.empty() && d.has(labelCol))
            c.label = d.text(labelCol, r);
    }
    std::stable_sort(curves.begin(), curves.end(),
                     [](const Curve& a, const Curve& b) { return a.key < b.key; });
    return curves;
}

// The cells of a figure: by stratum number when the data has several, else
// one per source table (when asked), else one.
struct CellRows {
    double key = 0;
    std::string header;
    std::vector<size_t> rows;
};

std::vector<CellRows> splitCells(const Data& d, bool panels, const std::string& cellCol)
{
    std::vector<CellRows> cells;
    std::vector<size_t> all(d.size());
    for (size_t r = 0; r < d.size(); ++r)
        all[r] = r;
    if (!panels) {
        cells.push_back({0, std::string(), all});
        return cells;
    }
    if (!cellCol.empty() && d.has(cellCol)) {
        std::vector<Curve> by = splitCurves(d, all, cellCol, std::string());
        if (by.size() > 1 || d.tables() <= 1) {
            for (Curve& c : by)
                cells.push_back({c.key, std::string(), std::move(c.rows)});
            return cells;
        }
    }
    for (size_t t = 0; t < d.tables(); ++t) {
        CellRows c;
        c.key = static_cast<double>(t + 1);
        for (size_t r = d.first(t); r < d.first(t) + d.rowsOf(t); ++r)
            c.rows.push_back(r);
        cells.push_back(std::move(c));
    }
    return cells;
}

// The cells of this page of a panel graph: "PanelNum" picks them from the
// data of every page; data that fill no more than a page are the page's
// own (each page names only its own plot data, so that the pages cost no
// more together than the strata they show).
std::vector<CellRows> pageOf(std::vector<CellRows> cells, const Dyn& dyn, int& rows, int& cols)
{
    rows = std::max(1, static_cast<int>(dyn.num("nRows", 2)));
    cols = std::max(1, static_cast<int>(dyn.num("nColumns", cells.size() > 1 ? 2 : 1)));
    const size_t per = static_cast<size_t>(rows * cols);
    const size_t page =
        cells.size() <= per ? 1 : static_cast<size_t>(std::max(1.0, dyn.num("PanelNum", 1)));
    std::vector<CellRows> out;
    for (size_t i = (page - 1) * per; i < std::min(cells.size(), page * per); ++i)
        out.push_back(std::move(cells[i]));
    // A last page with fewer cells keeps the cells' size and drops empty rows.
    rows = std::max(1, static_cast<int>((out.size() + cols - 1) / cols));
    return out;
}

} // namespace

// Where the rows of each cell of a plot-data table start, the cells told
// apart by a numbering column: `ordered` when each cell's rows follow one
// another and each cell's number is above the one before (the order the
// procedure writes its strata in).
struct CellRuns {
    std::string column;
    bool ordered = false;
    std::vector<size_t> start; // each cell's first row, then the table's end
};

namespace
{

// The cells of table `t` by `column` (in lower case): found once, under a
// lock since the graphs of a step are drawn side by side, and kept with
// the table for the graphs of its other pages.
std::shared_ptr<const CellRuns> cellRuns(const Node& t, const std::string& column)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    if (t.cellRuns && t.cellRuns->column == column)
        return t.cellRuns;
    auto runs = std::make_shared<CellRuns>();
    runs->column = column;
    const int c = columnOf(t, column);
    if (c >= 0) {
        std::vector<double> key(t.rows.size(), std::nan(""));
        t.rows.numbers(static_cast<size_t>(c), key.data());
        runs->ordered = true;
        for (size_t r = 0; r < key.size() && runs->ordered; ++r) {
            if (missing(key[r]) || (r > 0 && key[r] < key[r - 1]))
                runs->ordered = false;
            else if (r == 0 || key[r] != key[r - 1])
                runs->start.push_back(r);
        }
        runs->start.push_back(key.size());
    }
    t.cellRuns = runs;
    return runs;
}

// The rows [from, to) of its one plot-data table that a page of panels
// draws, when that table holds the cells of every page in order: the page
// then reads its own cells' rows alone, and the pages together read the
// table once, however many there are. False when the page is to be picked
// from the whole table (`pageOf`).
bool pageRows(const Node& graph, const Dyn& dyn, const std::string& cellCol, size_t& from,
              size_t& to)
{
    if (graph.sources.size() != 1 || !graph.sources[0] || !graph.sources[0]->parts.empty() ||
        graph.sources[0]->kind != Node::Table || !dyn.has("nRows") || !dyn.has("nColumns"))
        return false;
    const std::shared_ptr<const CellRuns> runs = cellRuns(*graph.sources[0], lower(cellCol));
    if (!runs->ordered)
        return false;
    const size_t cells = runs->start.size() - 1;
    const size_t per = static_cast<size_t>(std::clamp(dyn.num("nRows", 2), 1.0, 1e4)) *
                       static_cast<size_t>(std::clamp(dyn.num("nColumns", 2), 1.0, 1e4));
    const size_t page = static_cast<size_t>(std::clamp(dyn.num("PanelNum", 1), 1.0, 1e9));
    if (cells <= per || (page - 1) * per >= cells)
        return false;
    from = runs->start[(page - 1) * per];
    to = runs->start[std::min(cells, page * per)];
    return true;
}

// A panel's heading: "name=value" or the value alone.
std::string panelHeader(const Data& d, const CellRows& c, const std::string& textCol,
                        const std::string& display)
{
    std::string value;
    if (!c.rows.empty() && d.has(textCol))
        value = d.text(textCol, c.rows.front());
    if (value.empty())
        value = numberText(c.key);
    if (lower(display) == "namevalue") {
        const Column* col = d.column(textCol);
        if (col && !col->label.empty() && col->label != col->name)
            return col->label + "=" + value;
        if (col && !col->label.empty())
            return col->label + "=" + value;
    }
    return value;
}

// A curve's points: (x, y) on rows where both are there.
struct Points {
    std::vector<vgr::Pt> pts;
    std::vector<long> rows;
};

enum class Transform { None, OneMinus, NegLog, LogNegLog };

double transform(double y, Transform t)
{
    switch (t) {
    case Transform::None:
        return y;
    case Transform::OneMinus:
        return missing(y) ? y : 1 - y;
    case Transform::NegLog:
        return y > 0 ? -std::log(y) : std::nan("");
    case Transform::LogNegLog:
        return y > 0 && y < 1 ? std::log(-std::log(y)) : std::nan("");
    }
    return y;
}

Points points(const std::vector<size_t>& rows, const std::vector<double>& x,
              const std::vector<double>& y, Transform ty, bool logX, double xEnd)
{
    Points p;
    for (size_t r : rows) {
        double xv = x[r];
        if (logX)
            xv = xv > 0 ? std::log(xv) : std::nan("");
        const double yv = transform(y[r], ty);
        if (missing(xv) || missing(yv))
            continue;
        if (xv > xEnd) {
            // The curve stops at the end of the axis, at the value then held.
            if (!p.pts.empty() && p.pts.back().x < xEnd) {
                p.pts.push_back({xEnd, p.pts.back().y});
                p.rows.push_back(-1);
            }
            break;
        }
        p.pts.push_back({xv, yv});
        p.rows.push_back(static_cast<long>(r));
    }
    return p;
}

// A band from its limit columns over a curve's rows. Step limits hold
// across a row without limits (a censored time keeps the limits in force)
// and the band runs to `endX` when given (the curve's end), else to its last
// limits. Joined limits (`joined`: a polyline's, such as the life table's)
// have nothing to join across a row without limits: the band stops there
// and starts again at the next row that has them.
vgr::Band band(const std::vector<size_t>& rows, const std::vector<double>& x,
               const std::vector<double>& lo, const std::vector<double>& hi, Transform ty,
               double endX, double xEnd, int color, bool joined = false)
{
    vgr::Band b;
    b.color = color;
    vgr::Band::Piece pc;
    for (size_t r : rows) {
        if (missing(x[r]))
            continue;
        if (missing(lo[r]) || missing(hi[r])) {
            if (joined && x[r] <= xEnd && !pc.x.empty())
                b.pieces.push_back(std::exchange(pc, vgr::Band::Piece()));
            continue;
        }
        double l = transform(lo[r], ty), h = transform(hi[r], ty);
        if (ty == Transform::OneMinus)
            std::swap(l, h);
        if (x[r] > xEnd)
            break;
        if (!pc.x.empty() && pc.x.back() == x[r]) {
            pc.lo.back() = l;
            pc.hi.back() = h;
            continue;
        }
        pc.x.push_back(x[r]);
        pc.lo.push_back(l);
        pc.hi.push_back(h);
    }
    if (!pc.x.empty() && !missing(endX) && std::min(endX, xEnd) > pc.x.back()) {
        pc.x.push_back(std::min(endX, xEnd));
        pc.lo.push_back(pc.lo.back());
        pc.hi.push_back(pc.hi.back());
    }
    if (!pc.x.empty())
        b.pieces.push_back(std::move(pc));
    return b;
}

double bandOpacity(const Dyn& dyn)
{
    // Shaded bands stay light enough for the curves and the other bands to
    // show through where they overlap.
    const double t = dyn.num("Transparency", 0.5);
    return std::clamp((1 - t) * 0.6, 0.1, 0.35);
}

// The titles: the method's estimates, or the given title lines.
void titles(Figure& f, const Node& g, const Dyn& dyn, const std::string& what)
{
    const std::string method = dyn.text("method");
    if (dyn.has("title1")) {
        f.titles.push_back(dyn.text("title1"));
        if (!dyn.text("title2").empty())
            f.titles.push_back(dyn.text("title2"));
        return;
    }
    if (!method.empty() && !what.empty())
        f.titles.push_back(method + " " + what);
    else if (!g.label.empty())
        f.titles.push_back(g.label);
    else if (!what.empty())
        f.titles.push_back(what);
    for (const char* sub : {"SecondTitle", "StratumID"}) {
        const std::string t = dyn.text(sub);
        if (!t.empty())
            f.titles.push_back(t);
    }
    // Runs of blanks (between the values of several STRATA variables) show
    // as one.
    for (std::string& t : f.titles) {
        std::string u;
        for (char c : t)
            if (c != ' ' || u.empty() || u.back() != ' ')
                u.push_back(c);
        t = u;
    }
}

// The time axis's label: the time column's label, or the name passed.
std::string timeLabel(const Data& d, const Dyn& dyn, const std::string& col)
{
    if (dyn.has("xLabel") && !dyn.text("xLabel").empty())
        return dyn.text("xLabel");
    const Column* c = d.column(col);
    if (c && !c->label.empty())
        return c->label;
    const std::string n = dyn.text("xName");
    return n.empty() ? (c ? c->name : col) : n;
}

// The test inset; `test` names the test when the graph does not. In one
// plot it goes into the plot, like the median inset. On a page of panels it
// goes below the panels: the test compares what the panels show together
// (the strata; with GROUP= the levels within every stratum, the test
// stratified by the strata, which `stratified` then says), so no one panel
// may seem to own it.
void testInset(Figure& f, PlotCell* cell, const Dyn& dyn, const char* test = "Test",
               bool stratified = false)
{
    if (!dyn.on("plotTest"))
        return;
    std::string p = dyn.text("pValueDisplay");
    if (p.empty())
        p = dyn.text("testPval");
    if (p.empty() || dyn.get("pValue") ||
        (dyn.get("pValueDisplay") && dyn.get("pValueDisplay")->numeric))
        p = pValueText(dyn.has("pValue") ? dyn.num("pValue") : dyn.num("pValueDisplay"));
    // A text passed ready-made keeps its wording, without a stray bracket.
    while (!p.empty() && p.back() == ')' && p.find('(') == std::string::npos)
        p.pop_back();
    std::string name = dyn.text("TestName");
    if (name.empty())
        name = dyn.text("testName");
    if (name.empty())
        name = test;
    if (stratified)
        name = "Stratified " + name;
    vgr::Inset in;
    in.cls = "inset-test";
    in.rows.push_back({name, p});
    if (cell)
        cell->insets.push_back(std::move(in));
    else
        f.insets.push_back(std::move(in));
}

// The decimals of the medians: "F6.d" gives d, else as the values need (at
// most 2).
int medianDecimals(const Dyn& dyn, const std::vector<double>& values)
{
    const std::string f = dyn.text("QuartileFmt");
    const size_t dot = f.find('.');
    if (dot != std::string::npos)
        return std::clamp(std::atoi(f.c_str() + dot + 1), 0, 6);
    int d = 0;
    for (double v : values)
        if (!missing(v))
            while (d < 2 && std::fabs(std::round(v * std::pow(10, d)) - v * std::pow(10, d)) > 1e-6)
                ++d;
    return d;
}

// The median inset: subjects, events, censored, median and its limits, one
// row per curve (per stratum: "NObs%i" ...) or for the one curve.
void medianInset(PlotCell& cell, const Dyn& dyn, const std::vector<Curve>& curves, bool lifeTable)
{
    const bool per = dyn.has("NObs1") || dyn.has("NObs0");
    if (!per && !dyn.has("NObs"))
        return;
    const int base = dyn.has("NObs0") ? 0 : 1;
    struct Row {
        std::string label;
        double n, e, m, lo, hi;
        int color;
    };
    std::vector<Row> rows;
    if (per) {
        // Past the rows a legend could name the table is left out whole
        // (the quartiles table has its numbers), not cut to its first rows.
        if (dyn.has("NObs" + std::to_string(base + VYR_LEGEND_MOST)))
            return;
        for (int i = base; i < base + VYR_LEGEND_MOST; ++i) {
            const std::string k = std::to_string(i);
            if (!dyn.has("NObs" + k))
                break;
            const size_t at = static_cast<size_t>(i - base);
            std::string label = dyn.text("StrVal" + k);
            if (label.empty() && at < curves.size())
                label = curves[at].label;
            rows.push_back({label, dyn.num("NObs" + k), dyn.num("NEvent" + k),
                            dyn.num("Median" + k), dyn.num("LowerMedian" + k),
                            dyn.num("UpperMedian" + k), static_cast<int>(at)});
        }
    } else {
        rows.push_back({std::string(), dyn.num("NObs"), dyn.num("NEvent"), dyn.num("Median"),
                        dyn.num("LowerMedian"), dyn.num("UpperMedian"), -1});
    }
    if (rows.empty())
        return;
    std::vector<double> meds;
    for (const Row& r : rows)
        for (double v : {r.m, r.lo, r.hi})
            meds.push_back(v);
    const int d = medianDecimals(dyn, meds);
    std::string pct = dyn.text("PctMedianConfid");
    if (pct.empty())
        pct = "95%";
    vgr::Inset in;
    in.cls = "inset-median";
    in.header = true;
    in.rowLabels = per;
    std::vector<std::string> head;
    if (per)
        head.push_back("");
    head.insert(head.end(), {"Subjects", "Events", "Censored"});
    if (!lifeTable)
        head.insert(head.end(), {"Median", pct + " Limits"});
    in.rows.push_back(head);
    in.rowColors.push_back(-1);
    for (const Row& r : rows) {
        std::vector<std::string> line;
        if (per)
            line.push_back(r.label);
        line.push_back(numberText(r.n));
        line.push_back(numberText(r.e));
        line.push_back(missing(r.n) || missing(r.e) ? "." : numberText(r.n - r.e));
        if (!lifeTable) {
            line.push_back(numberText(r.m, d));
            line.push_back(missing(r.lo) && missing(r.hi)
                               ? std::string(".")
                               : numberText(r.lo, d) + " - " + numberText(r.hi, d));
        }
        in.rows.push_back(line);
        in.rowColors.push_back(per ? r.color : -1);
    }
    cell.insets.push_back(std::move(in));
}

// The x range of the curves of a figure, and where the axis ends.
struct XRange {
    double lo = 0, hi = 0;
    // The axis's end ("maxTime"); none when infinite. Times may reach the
    // largest double, so no finite value can stand for "no end".
    double end = HUGE_VAL;
    bool any = false;
    void add(double v)
    {
        if (missing(v))
            return;
        if (!any) {
            lo = hi = v;
            any = true;
        }
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
};

// Applies the axis's end and explicit ticks to every cell.
void finishXAxis(Figure& f, const XRange& xr, bool zero, const std::vector<double>& ticks,
                 bool stagger)
{
    for (PlotCell& c : f.cells) {
        c.x.zero = zero;
        c.x.min = zero ? std::min(0.0, xr.lo) : xr.lo;
        c.x.max = std::min(xr.hi, xr.end);
        if (std::isfinite(xr.end)) {
            c.x.max = xr.end;
            c.x.clampToTicks = false;
        }
        c.x.stagger = stagger;
        std::vector<double> t;
        for (double v : ticks)
            if (v >= c.x.min - 1e-9 * std::fabs(c.x.min) &&
                (!std::isfinite(xr.end) || v <= xr.end * (1 + 1e-12)))
                t.push_back(v);
        if (t.size() >= 2)
            c.x.ticks = t;
        if (!(c.x.max > c.x.min))
            c.x.max = c.x.min + 1;
    }
}

// ---------------------------------------------------------------------------
// The families.

struct Built {
    Figure fig;
    std::string why;
};

// Limits and bands of the survival graphs, in the order that decides which
// is shaded: the first of these asked for is shaded, the others edged.
struct BandCols {
    const char* lo;
    const char* hi;
    const char* flo;
    const char* fhi;
    const char* plot;
    const char* label;
    const char* cls;
    const char* dash;
    bool toEnd;
};
constexpr BandCols kBands[] = {
    {"SDF_LCL", "SDF_UCL", "CDF_LCL", "CDF_UCL", "plotCL", "labelCL", "band-cl", "", true},
    {"HW_LCL", "HW_UCL", "F_HW_LCL", "F_HW_UCL", "plotHW", "labelHW", "band-hw", "6 3", false},
    {"EP_LCL", "EP_UCL", "F_EP_LCL", "F_EP_UCL", "plotEP", "labelEP", "band-ep", "2 2", false},
};

// What a survival graph draws for each curve, looked up once for all its
// curves (a graph across many strata has as many curves).
struct SurvivalPlan {
    bool failure = false, lifeTable = false, groups = false, panels = false;
    const std::vector<double>* time = nullptr;
    const std::vector<double>* y = nullptr;
    Transform ty = Transform::None;
    std::string keyCol, labelCol;
    // The bands asked for whose limit columns the data have.
    struct BandPlan {
        const BandCols* cols;
        const std::vector<double>* lo;
        const std::vector<double>* hi;
        Transform t;
    };
    std::vector<BandPlan> bands;
    double opacity = 0.5;
    const std::vector<double>* censored = nullptr; // marks, when drawn
    Transform censoredT = Transform::None;
    const std::vector<double>* atRiskTime = nullptr; // the at-risk table, when drawn
    const std::vector<double>* atRisk = nullptr;
    bool byNumber = false; // at-risk rows labelled by the stratum's number
    bool several = false;  // more than one stratum or GROUP= level
};

// The label column of GROUP= curves: the GROUP= variable, else the column
// the template takes as the group's number or text.
std::string groupLabelColumn(const Node& g, const Data& d, const Dyn& dyn)
{
    const std::string gv = dyn.text("GroupVar");
    if (!gv.empty() && d.has(gv))
        return gv;
    std::string label;
    for (const char* tc : {"GrpNumVar", "GrpChrVar"})
        if (label.empty())
            for (const NodePtr& s : g.sources)
                for (const Column& c : (s->parts.empty() ? s : s->parts[0])->columns)
                    if (c.templateColumn == tc)
                        label = c.name;
    return label;
}

SurvivalPlan survivalPlan(const Node& g, const GraphTemplate& t, const Data& d, const Dyn& dyn)
{
    SurvivalPlan p;
    p.failure = t.flags & FailureCurve;
    p.lifeTable = t.flags & LifeTable;
    p.groups = t.flags & Groups;
    p.panels = t.flags & Panels;
    // Failure from its own column when the data has it, else 1 - survival.
    const bool ownFailure = p.failure && d.has("Failure");
    const std::string yCol = ownFailure ? "Failure" : "Survival";
    p.ty = p.failure && !ownFailure ? Transform::OneMinus : Transform::None;
    p.keyCol = p.groups ? "GroupNum" : "StratumNum";
    p.labelCol = p.groups ? groupLabelColumn(g, d, dyn) : std::string("Stratum");
    // The columns the figure takes, read together first.
    std::vector<std::string> cols = {"Time", yCol};
    if (d.has(p.keyCol))
        cols.push_back(p.keyCol);
    struct BandNames {
        const BandCols* cols;
        const char *lo, *hi;
        Transform t;
    };
    std::vector<BandNames> bands;
    for (const BandCols& bc : kBands) {
        if (!dyn.on(bc.plot))
            continue;
        const bool own = p.failure && d.has(bc.flo);
        const char* lo = own ? bc.flo : bc.lo;
        const char* hi = own ? bc.fhi : bc.hi;
        if (!d.has(lo) || !d.has(hi))
            continue;
        bands.push_back({&bc, lo, hi, p.failure && !own ? Transform::OneMinus : Transform::None});
        cols.insert(cols.end(), {lo, hi});
    }
    std::string censored;
    if (dyn.on("plotCensored") && !p.lifeTable) {
        const bool ownMark = p.failure && d.has("F_Censored");
        const char* mc = ownMark ? "F_Censored" : "Censored";
        if (d.has(mc)) {
            censored = mc;
            p.censoredT = p.failure && !ownMark ? Transform::OneMinus : Transform::None;
            cols.push_back(censored);
        }
    }
    const bool atRisk = dyn.on("plotAtRisk") && d.has("tAtRisk") && d.has("AtRisk");
    if (atRisk)
        cols.insert(cols.end(), {"tAtRisk", "AtRisk"});
    d.load(cols);

    p.time = &d.num("Time");
    p.y = &d.num(yCol);
    for (const BandNames& b : bands)
        p.bands.push_back({b.cols, &d.num(b.lo), &d.num(b.hi), b.t});
    p.opacity = bandOpacity(dyn);
    if (!censored.empty())
        p.censored = &d.num(censored);
    if (atRisk) {
        p.atRiskTime = &d.num("tAtRisk");
        p.atRisk = &d.num("AtRisk");
        p.byNumber = lower(dyn.text("classAtRisk")) == "stratumnum";
    }
    p.several = dyn.num("NStrata", 1) > 1 || p.groups;
    return p;
}

// What the curves of a survival graph add up to across its cells.
struct SurvivalTotals {
    XRange xr;
    std::set<double> atRiskTimes;
    bool anyCensored = false;
    // The bands the first curve shows (and whether shaded), for the legend.
    std::vector<std::pair<const BandCols*, bool>> bandsShown;
};

// One curve of a cell: its steps, its bands, its censoring marks and its
// row of the at-risk table, with what it adds to the figure's totals.
struct CurveParts {
    vgr::Series series;
    std::vector<vgr::Band> bands;
    std::vector<std::pair<const BandCols*, bool>> bandsShown;
    vgr::Marks marks;
    bool hasRow = false;
    vgr::AtRiskRow row;
    XRange xr;
};

CurveParts survivalCurve(const SurvivalPlan& p, const Curve& cv, int color, size_t curves,
                         bool firstOfFigure, double xEnd)
{
    CurveParts out;
    vgr::Series& s = out.series;
    s.label = cv.label;
    s.color = color;
    s.step = !p.lifeTable;
    s.markers = p.lifeTable;
    Points pts = points(cv.rows, *p.time, *p.y, p.ty, false, xEnd);
    double endX = std::nan("");
    for (const vgr::Pt& q : pts.pts) {
        out.xr.add(q.x);
        endX = q.x;
    }
    s.pts = std::move(pts.pts);
    s.rows = std::move(pts.rows);
    bool shaded = false;
    for (const SurvivalPlan::BandPlan& bp : p.bands) {
        vgr::Band b = band(cv.rows, *p.time, *bp.lo, *bp.hi, bp.t,
                           bp.cols->toEnd ? endX : std::nan(""), xEnd, color, p.lifeTable);
        b.cls = bp.cols->cls;
        b.step = !p.lifeTable;
        b.filled = !shaded;
        b.opacity = p.opacity;
        b.dash = bp.cols->dash;
        if (firstOfFigure)
            out.bandsShown.push_back({bp.cols, !shaded});
        shaded = true;
        if (!b.pieces.empty())
            out.bands.push_back(std::move(b));
    }
    if (p.censored) {
        out.marks.color = color;
        Points mp = points(cv.rows, *p.time, *p.censored, p.censoredT, false, xEnd);
        // Censored records at one time share one mark: a mark equal to the
        // one before it would be drawn over it, and is not kept.
        for (size_t i = 0; i < mp.pts.size(); ++i)
            if (mp.rows[i] >= 0 &&
                (out.marks.pts.empty() || out.marks.pts.back().x != mp.pts[i].x ||
                 out.marks.pts.back().y != mp.pts[i].y))
                out.marks.pts.push_back(mp.pts[i]);
    }
    if (p.atRisk) {
        const std::vector<double>& ta = *p.atRiskTime;
        const std::vector<double>& na = *p.atRisk;
        out.hasRow = true;
        out.row.color = curves > 1 ? color : -1;
        out.row.label =
            curves > 1 || p.several ? (p.byNumber ? numberText(cv.key) : cv.label) : std::string();
        for (size_t r : cv.rows)
            if (!missing(ta[r]) && !missing(na[r]) && ta[r] <= xEnd * (1 + 1e-12))
                out.row.cells.push_back({ta[r], numberText(na[r])});
    }
    return out;
}

// The curves of a cell, made side by side on the host's pool (each reads
// only its own rows) and placed in the cell in their order.
void addSurvivalCurves(PlotCell& cell, const SurvivalPlan& p, const std::vector<Curve>& curves,
                       bool firstCell, SurvivalTotals& tot)
{
    std::vector<CurveParts> parts(curves.size());
    const size_t n = curves.size();
    const size_t runs = n < 8 ? n : std::min(n, size_t{4} * vyr::pool_width());
    const double xEnd = tot.xr.end;
    vyr::parallel_for(runs, [&](size_t k) {
        for (size_t ci = n * k / runs; ci < n * (k + 1) / runs; ++ci) {
            const int color = static_cast<int>(p.panels && !p.groups ? 0 : ci);
            parts[ci] = survivalCurve(p, curves[ci], color, n, firstCell && ci == 0, xEnd);
        }
    });
    cell.series.reserve(n);
    for (CurveParts& c : parts) {
        if (c.xr.any) {
            tot.xr.add(c.xr.lo);
            tot.xr.add(c.xr.hi);
        }
        tot.bandsShown.insert(tot.bandsShown.end(), c.bandsShown.begin(), c.bandsShown.end());
        for (vgr::Band& b : c.bands)
            cell.bands.push_back(std::move(b));
        if (!c.marks.pts.empty()) {
            tot.anyCensored = true;
            cell.marks.push_back(std::move(c.marks));
        }
        if (c.hasRow) {
            for (const auto& cl : c.row.cells)
                tot.atRiskTimes.insert(cl.first);
            cell.atRisk.push_back(std::move(c.row));
        }
        cell.series.push_back(std::move(c.series));
    }
}

// A line per curve in the legend, titled; past the curves a legend can
// name, a note of how many curves the graph draws instead (the procedure
// says in the log how to see them apart).
void curveEntries(Figure& f, const std::vector<Curve>& curves, const std::string& title)
{
    if (curves.size() > static_cast<size_t>(VYR_LEGEND_MOST)) {
        f.legend.title.clear();
        f.legend.note = std::to_string(curves.size()) + " curves, too many to name in a legend";
        return;
    }
    f.legend.title = title;
    f.legend.entries.reserve(f.legend.entries.size() + curves.size());
    for (size_t i = 0; i < curves.size(); ++i)
        f.legend.entries.push_back(
            {vgr::LegendEntry::Line, static_cast<int>(i),
             curves[i].label.empty() ? numberText(curves[i].key) : curves[i].label,
             vgr::paletteDash(static_cast<int>(i)), vgr::Marker::Plus, 1});
}

// The legend: a line per curve when the curves share a plot, the censoring
// mark, and a sample of each band.
void survivalLegend(Figure& f, const SurvivalPlan& p, const Dyn& dyn,
                    const std::vector<Curve>& firstCurves, const SurvivalTotals& tot)
{
    std::string title = dyn.text("GroupName");
    if (title.empty() && p.groups)
        title = dyn.text("GroupVar");
    const bool multi = firstCurves.size() > 1 && !(p.panels && !p.groups);
    if (multi)
        curveEntries(f, firstCurves, title);
    if (tot.anyCensored)
        f.legend.entries.push_back(
            {vgr::LegendEntry::Mark, multi ? -1 : 0, "Censored", "", vgr::Marker::Plus, 1});
    for (const auto& [bc, filled] : tot.bandsShown) {
        std::string label = dyn.text(bc->label);
        if (label.empty())
            label = std::string(bc->cls) == "band-cl" ? "Confidence Limits" : "Confidence Band";
        f.legend.entries.push_back({vgr::LegendEntry::Swatch, multi ? -1 : 0, label,
                                    filled ? std::string() : std::string(bc->dash),
                                    vgr::Marker::Plus, filled ? p.opacity : 1});
    }
}

// The outside at-risk table's share of the height from "rowWeights" (two
// numbers "a b": the plot's and the table's; "PREFERRED": as it needs).
void atRiskWeight(Figure& f, const Dyn& dyn)
{
    const std::string w = dyn.text("rowWeights");
    std::vector<double> ws;
    for (const char* p = w.c_str(); *p;) {
        char* end = nullptr;
        const double x = std::strtod(p, &end);
        if (end == p) {
            ++p;
            continue;
        }
        ws.push_back(x);
        p = end;
    }
    if (lower(w) != "preferred" && ws.size() == 2 && ws[0] + ws[1] > 0)
        f.atRiskWeight = std::clamp(ws[1] / (ws[0] + ws[1]), 0.05, 0.6);
}

// Survival or failure curves (product-limit or life table), per stratum or
// per GROUP= level, overlaid or in panels.
bool survivalFigure(const Node& g, const GraphTemplate& t, const Data& d, const Dyn& dyn, Figure& f,
                    std::string& why)
{
    if (!d.has("Time") || !(d.has("Survival") || d.has("Failure"))) {
        why = "its plot data has no Time and Survival columns";
        return false;
    }
    const SurvivalPlan p = survivalPlan(g, t, d, dyn);
    int rows = 1, cols = 1;
    std::vector<CellRows> cells = splitCells(d, p.panels, "StratumNum");
    if (p.panels)
        cells = pageOf(std::move(cells), dyn, rows, cols);
    f.rows = rows;
    f.cols = cols;

    SurvivalTotals tot;
    if (dyn.has("maxTime"))
        tot.xr.end = dyn.num("maxTime");
    std::vector<Curve> firstCurves;
    const double yMin = dyn.num("yMin", 0);
    const std::string xLabel = timeLabel(d, dyn, "Time");
    for (CellRows& cr : cells) {
        PlotCell cell;
        if (p.panels)
            cell.header = panelHeader(d, cr, "Stratum", dyn.text("HeaderDisplay"));
        std::vector<Curve> curves = splitCurves(d, cr.rows, p.keyCol, p.labelCol);
        if (curves.empty())
            curves.push_back({0, std::string(), cr.rows});
        addSurvivalCurves(cell, p, curves, &cr == &cells.front(), tot);
        // The panel templates have no form of their own for a table below
        // the axis: "rowWeights" (passed with OUTSIDE) asks for it there.
        cell.atRiskInside = !(t.flags & AtRiskOutside) && !(p.panels && dyn.has("rowWeights"));
        cell.atRiskShare = yMin < 0 ? -yMin / (1 - yMin) : 0;
        cell.y.min = 0;
        cell.y.max = 1;
        cell.y.label = p.failure ? "Failure Probability" : "Survival Probability";
        cell.y.pad = 0.02;
        cell.x.label = xLabel;
        if (!p.panels) {
            medianInset(cell, dyn, curves, p.lifeTable);
            testInset(f, &cell, dyn);
        }
        if (firstCurves.empty())
            firstCurves = std::move(curves);
        f.cells.push_back(std::move(cell));
    }
    if (p.panels)
        testInset(f, nullptr, dyn, "Test", p.groups);
    if (!tot.xr.any) {
        why = "its plot data has no survival estimate";
        return false;
    }

    // The time axis: at-risk times as ticks when there is a table, else the
    // ticks passed, else nice ones.
    std::vector<double> ticks = parseNumbers(dyn.text("xtickVals"));
    if (ticks.empty() && !tot.atRiskTimes.empty())
        ticks.assign(tot.atRiskTimes.begin(), tot.atRiskTimes.end());
    for (double v : ticks)
        tot.xr.add(v > tot.xr.end ? tot.xr.end : v);
    finishXAxis(f, tot.xr, true, ticks, lower(dyn.text("xtickValFitPol")) == "staggerrotate");

    titles(f, g, dyn, std::string(p.failure ? "Failure" : "Survival") + " Estimates");
    survivalLegend(f, p, dyn, firstCurves, tot);
    atRiskWeight(f, dyn);
    if (p.panels) {
        f.width = cols > 1 ? 760 : 560;
        f.cellHeight = 320;
    }
    return true;
}

// -log S against time, or log(-log S) against log time.
bool logFigure(const Node& g, const GraphTemplate& t, const Data& d, const Dyn& dyn, Figure& f,
               std::string& why)
{
    const bool loglog = t.family == GraphFamily::LogNegLog;
    if (!d.has("Time") || !d.has("Survival")) {
        why = "its plot data has no Time and Survival columns";
        return false;
    }
    const bool groups = t.flags & Groups;
    std::string labelCol = groups ? dyn.text("GroupVar") : "Stratum";
    std::vector<size_t> all(d.size());
    for (size_t r = 0; r < d.size(); ++r)
        all[r] = r;
    std::vector<Curve> curves = splitCurves(d, all, groups ? "GroupNum" : "StratumNum", labelCol);
    if (curves.empty())
        curves.push_back({0, std::string(), all});
    PlotCell cell;
    XRange xr;
    if (loglog && dyn.has("logmaxTime"))
        xr.end = dyn.num("logmaxTime");
    if (!loglog && dyn.has("maxTime"))
        xr.end = dyn.num("maxTime");
    double ylo = 1e300, yhi = -1e300;
    for (size_t i = 0; i < curves.size(); ++i) {
        vgr::Series s;
        s.label = curves[i].label;
        s.color = static_cast<int>(i);
        Points p = points(curves[i].rows, d.num("Time"), d.num("Survival"),
                          loglog ? Transform::LogNegLog : Transform::NegLog, loglog, xr.end);
        for (const vgr::Pt& q : p.pts) {
            xr.add(q.x);
            ylo = std::min(ylo, q.y);
            yhi = std::max(yhi, q.y);
        }
        s.pts = std::move(p.pts);
        s.rows = std::move(p.rows);
        cell.series.push_back(std::move(s));
    }
    if (!xr.any) {
        why = loglog ? "no survival estimate lies strictly between 0 and 1 at a positive time"
                     : "its plot data has no positive survival estimate";
        return false;
    }
    cell.y.min = loglog ? ylo : 0;
    cell.y.max = yhi > cell.y.min ? yhi : cell.y.min + 1;
    cell.y.zero = !loglog;
    cell.y.pad = 0.03;
    cell.y.label = loglog ? "Log of Negative Log SDF" : "Negative Log SDF";
    cell.x.label = loglog ? (dyn.text("xLabel").empty() ? "Log of " + timeLabel(d, dyn, "Time")
                                                        : dyn.text("xLabel"))
                          : timeLabel(d, dyn, "Time");
    f.cells.push_back(std::move(cell));
    finishXAxis(f, xr, !loglog, {}, false);
    titles(f, g, dyn, std::string());
    if (curves.size() > 1)
        curveEntries(f, curves, dyn.text("GroupName"));
    return true;
}

// Curves against a continuous x with optional limits: the life table's
// density and hazard, the smoothed hazard, the bandwidth criterion, the
// cumulative incidence and the restricted mean time.
struct LineSpec {
    std::string x, y, lo, hi;
    std::string key, label; // curve numbering and labels
    bool byLabel = false;   // curves told apart by the label's text
    std::string cellCol;    // panels by this column (else by table)
    bool step = false, markers = false;
    bool showLimits = false;
    std::string what, yLabel, xLabel;
    bool zeroX = true, zeroY = true;
    const char* test = "Test"; // the test's name when the graph passes none
    bool stratifiedTest = false; // on panels: the test is stratified by them
};

bool lineFigure(const Node& g, const GraphTemplate& t, const Data& d, const Dyn& dyn,
                const LineSpec& sp, Figure& f, std::string& why)
{
    if (!d.has(sp.x) || !d.has(sp.y)) {
        why = "its plot data has no " + sp.x + " and " + sp.y + " columns";
        return false;
    }
    int rows = 1, cols = 1;
    std::vector<CellRows> cells = splitCells(d, t.flags & Panels, sp.cellCol);
    if (t.flags & Panels)
        cells = pageOf(std::move(cells), dyn, rows, cols);
    f.rows = rows;
    f.cols = cols;
    XRange xr;
    if (dyn.has("maxTime"))
        xr.end = dyn.num("maxTime");
    if (dyn.has("XVIEWMAX"))
        xr.end = dyn.num("XVIEWMAX");
    double ylo = 1e300, yhi = -1e300;
    const double opacity = bandOpacity(dyn);
    const bool limits = sp.showLimits && d.has(sp.lo) && d.has(sp.hi);
    std::vector<Curve> legendCurves;
    for (CellRows& cr : cells) {
        PlotCell cell;
        if (t.flags & Panels)
            cell.header = panelHeader(d, cr, "Stratum", dyn.text("HeaderDisplay"));
        std::vector<Curve> curves = splitCurves(d, cr.rows, sp.key, sp.label, sp.byLabel);
        if (curves.empty())
            curves.push_back({0, std::string(), cr.rows});
        if (curves.size() > legendCurves.size())
            legendCurves = curves;
        for (size_t i = 0; i < curves.size(); ++i) {
            const int color = static_cast<int>(i);
            vgr::Series s;
            s.label = curves[i].label;
            s.color = color;
            s.step = sp.step;
            s.markers = sp.markers;
            Points p =
                points(curves[i].rows, d.num(sp.x), d.num(sp.y), Transform::None, false, xr.end);
            double endX = std::nan("");
            for (const vgr::Pt& q : p.pts) {
                xr.add(q.x);
                ylo = std::min(ylo, q.y);
                yhi = std::max(yhi, q.y);
                endX = q.x;
            }
            if (limits) {
                vgr::Band b =
                    band(curves[i].rows, d.num(sp.x), d.num(sp.lo), d.num(sp.hi), Transform::None,
                         sp.step ? endX : std::nan(""), xr.end, color, !sp.step);
                b.step = sp.step;
                b.opacity = opacity;
                for (const vgr::Band::Piece& pc : b.pieces)
                    for (size_t k = 0; k < pc.x.size(); ++k) {
                        ylo = std::min(ylo, pc.lo[k]);
                        yhi = std::max(yhi, pc.hi[k]);
                    }
                if (!b.pieces.empty())
                    cell.bands.push_back(std::move(b));
            }
            s.pts = std::move(p.pts);
            s.rows = std::move(p.rows);
            for (long& r : s.rows)
                r = d.tableRow(r);
            cell.series.push_back(std::move(s));
        }
        cell.y.label = sp.yLabel;
        cell.x.label = sp.xLabel;
        cell.y.zero = sp.zeroY;
        cell.y.pad = 0.03;
        if (!(t.flags & Panels))
            testInset(f, &cell, dyn, sp.test);
        f.cells.push_back(std::move(cell));
    }
    if (t.flags & Panels)
        testInset(f, nullptr, dyn, sp.test, sp.stratifiedTest);
    if (!xr.any) {
        why = "its plot data has no points to draw";
        return false;
    }
    for (PlotCell& c : f.cells) {
        c.y.min = sp.zeroY ? std::min(0.0, ylo) : ylo;
        c.y.max = yhi > c.y.min ? yhi : c.y.min + 1;
    }
    if (dyn.has("XVIEWMIN"))
        xr.add(dyn.num("XVIEWMIN"));
    finishXAxis(f, xr, sp.zeroX, {}, false);
    titles(f, g, dyn, sp.what);
    if (legendCurves.size() > 1)
        curveEntries(f, legendCurves, dyn.text("GroupName"));
    if (limits) {
        std::string label = dyn.text("labelCL");
        if (label.empty())
            label = dyn.text("confLimits");
        if (label.empty() && dyn.has("Confidence"))
            label = dyn.text("Confidence") + " Confidence Limits";
        if (label.empty())
            label = "Confidence Limits";
        f.legend.entries.push_back({vgr::LegendEntry::Swatch, legendCurves.size() > 1 ? -1 : 0,
                                    label, "", vgr::Marker::Plus, opacity});
    }
    if (t.flags & Panels) {
        f.width = cols > 1 ? 760 : 560;
        f.cellHeight = 320;
    }
    return true;
}

bool rateFigure(const Node& g, const GraphTemplate& t, const Data& d, const Dyn& dyn, Figure& f,
                std::string& why)
{
    LineSpec sp;
    const bool groups = t.flags & Groups;
    sp.key = groups ? "GroupNum" : "StratumNum";
    sp.label = groups ? dyn.text("GroupVar") : "Stratum";
    sp.showLimits = dyn.on("plotCL") || dyn.has("confLimits");
    if (t.flags & Smoothed) {
        sp.x = "Time";
        sp.y = "Hazard";
        sp.lo = "Lower";
        sp.hi = "Upper";
        sp.what = "Smoothed Hazard";
        sp.yLabel = "Hazard Rate";
    } else {
        sp.x = d.has("Midpoint") ? "Midpoint" : "Time";
        if (!dyn.text("Time").empty() && d.has(dyn.text("Time")))
            sp.x = dyn.text("Time");
        sp.y = (t.flags & Density) ? "PDF" : "Hazard";
        sp.lo = (t.flags & Density) ? "PDF_LCL" : "Haz_LCL";
        sp.hi = (t.flags & Density) ? "PDF_UCL" : "Haz_UCL";
        sp.markers = true;
        sp.yLabel = (t.flags & Density) ? "Density" : "Hazard Rate";
    }
    sp.xLabel = timeLabel(d, dyn, sp.x);
    bool ok = lineFigure(g, t, d, dyn, sp, f, why);
    if (ok && (t.flags & Smoothed) && !groups && d.has("BandwidthLabel")) {
        // Each stratum is a curve of its own bandwidth: when the strata's
        // bandwidths differ, the legend names each one's beside the stratum.
        std::map<double, std::string> bw;
        const std::vector<double>& key = d.num(sp.key);
        for (size_t r = 0; r < d.size(); ++r)
            if (!missing(key[r]) && !bw.count(key[r]))
                bw[key[r]] = d.text("BandwidthLabel", r);
        std::set<std::string> distinct;
        for (const auto& [k, l] : bw)
            distinct.insert(l);
        auto it = bw.begin();
        for (vgr::LegendEntry& e : f.legend.entries)
            if (distinct.size() > 1 && e.kind == vgr::LegendEntry::Line && it != bw.end())
                e.label += "  " + (it++)->second;
    }
    if (ok && (t.flags & Smoothed)) {
        std::string sub = dyn.text("Kernel");
        // The label across strata names the kernel already.
        if (!sub.empty() && g.label.find(sub) != std::string::npos)
            sub.clear();
        if (!sub.empty())
            sub += " Kernel";
        const std::string bw = dyn.text("Bandwidth");
        if (!bw.empty())
            sub += (sub.empty() ? "" : ", ") + bw;
        if (!sub.empty())
            f.titles.push_back(sub);
    }
    return ok;
}

bool bandwidthFigure(const Node& g, const GraphTemplate& t, const Data& d, const Dyn& dyn,
                     Figure& f, std::string& why)
{
    LineSpec sp;
    sp.x = "Bandwidth";
    sp.y = "MISE";
    sp.key = "StratumNum";
    sp.label = "Stratum";
    sp.markers = true;
    sp.yLabel = "Mean Integrated Squared Error";
    sp.xLabel = "Bandwidth";
    sp.zeroX = false;
    sp.zeroY = false;
    return lineFigure(g, t, d, dyn, sp, f, why);
}

// The column whose numbers make the cumulative incidence panels: the
// strata, each with a curve per GROUP= level.
constexpr const char* kIncidenceCells = "StratumNum";

bool incidenceFigure(const Node& g, const GraphTemplate& t, const Data& d, const Dyn& dyn,
                     Figure& f, std::string& why)
{
    LineSpec sp;
    sp.x = "Time";
    sp.y = "CIF";
    sp.lo = "CIF_LCL";
    sp.hi = "CIF_UCL";
    sp.step = true;
    sp.showLimits = dyn.on("plotCL");
    sp.key = dyn.text("groupNum");
    sp.label = dyn.text("groupVar");
    sp.cellCol = kIncidenceCells;
    sp.yLabel = "Cumulative Incidence";
    sp.test = "Gray's Test";
    // The panels are the strata, the curves the GROUP= levels: Gray's test
    // compares the levels stratified by the strata.
    sp.stratifiedTest = true;
    sp.xLabel = timeLabel(d, dyn, "Time");
    bool ok = lineFigure(g, t, d, dyn, sp, f, why);
    if (ok) {
        for (PlotCell& c : f.cells) {
            c.y.min = 0;
            c.y.max = std::max(c.y.max, 0.0);
            if (c.y.max <= 0)
                c.y.max = 1;
        }
        if (f.titles.empty())
            f.titles.push_back("Cumulative Incidence");
        if (!dyn.text("Confidence").empty() && sp.showLimits)
            for (vgr::LegendEntry& e : f.legend.entries)
                if (e.kind == vgr::LegendEntry::Swatch)
                    e.label = dyn.text("Confidence") + " Confidence Limits";
    }
    return ok;
}

// A page of the cumulative incidence panels names the one table of every
// page's strata: the rows of its own strata, when the table has them in
// order.
bool incidencePage(const Node& graph, const GraphTemplate& t, const Dyn& dyn, size_t& from,
                   size_t& to)
{
    return t.family == GraphFamily::Incidence && (t.flags & Panels) &&
           pageRows(graph, dyn, kIncidenceCells, from, to);
}

bool restrictedFigure(const Node& g, const GraphTemplate& t, const Data& d, const Dyn& dyn,
                      Figure& f, std::string& why)
{
    LineSpec sp;
    sp.x = "Time";
    sp.y = "Estimate";
    sp.lo = "Lower";
    sp.hi = "Upper";
    sp.showLimits = dyn.on("plotCL");
    sp.key = dyn.text("groupIndex");
    sp.label = dyn.text("group");
    sp.yLabel = dyn.text("yLabel");
    if (sp.yLabel.empty())
        sp.yLabel = dyn.text("yName");
    if (sp.yLabel.empty())
        sp.yLabel = (t.flags & TimeLost) ? "RMTL" : "RMST";
    sp.xLabel = dyn.text("xName").empty() ? "Tau" : dyn.text("xName");
    return lineFigure(g, t, d, dyn, sp, f, why);
}

} // namespace

const GraphTemplate* findGraphTemplate(std::string_view name)
{
    const std::string key = lower(trimmed(name));
    for (const GraphTemplate& t : kTemplates)
        if (lower(t.name) == key)
            return &t;
    return nullptr;
}

std::vector<std::string> graphTemplateNames()
{
    std::vector<std::string> v;
    for (const GraphTemplate& t : kTemplates)
        v.push_back(t.name);
    return v;
}

std::pair<size_t, size_t> graphDataRows(const Node& graph)
{
    const GraphTemplate* t = findGraphTemplate(graph.templ);
    size_t from = 0, to = 0;
    if (t && incidencePage(graph, *t, Dyn(graph.dynamics), from, to))
        return {from, to};
    return {0, Data(graph).size()};
}

bool graphFigure(const Node& graph, vgr::Figure& figure, std::string& why)
{
    const GraphTemplate* t = findGraphTemplate(graph.templ);
    if (!t) {
        why = "its template " + graph.templ + " is not known";
        return false;
    }
    const Data d(graph);
    if (d.size() == 0) {
        why = "its plot data were not found";
        return false;
    }
    const Dyn dyn(graph.dynamics);
    figure = vgr::Figure();
    switch (t->family) {
    case GraphFamily::Survival:
        return survivalFigure(graph, *t, d, dyn, figure, why);
    case GraphFamily::NegLog:
    case GraphFamily::LogNegLog:
        return logFigure(graph, *t, d, dyn, figure, why);
    case GraphFamily::Rate:
        return rateFigure(graph, *t, d, dyn, figure, why);
    case GraphFamily::BandwidthGrid:
        return bandwidthFigure(graph, *t, d, dyn, figure, why);
    case GraphFamily::Incidence: {
        size_t from = 0, to = 0;
        if (incidencePage(graph, *t, dyn, from, to))
            return incidenceFigure(graph, *t, Data(*graph.sources[0], from, to), dyn, figure, why);
        return incidenceFigure(graph, *t, d, dyn, figure, why);
    }
    case GraphFamily::Restricted:
        return restrictedFigure(graph, *t, d, dyn, figure, why);
    }
    why = "its template has no drawing";
    return false;
}

std::string graphSvg(const Node& graph, const std::string& idPrefix, std::string& why,
                     const std::string& byLine, AtRiskLeftOut* leftOut)
{
    vgr::Figure f;
    if (!graphFigure(graph, f, why))
        return std::string();
    // A graph of a BY group says which, so that its file stands alone.
    if (!byLine.empty())
        f.titles.push_back(byLine);
    // The figure is drawn once; its height, known when it is drawn, goes in
    // the header the canvas writes last.
    vgr::SvgCanvas c(f.width, 0, idPrefix, graph.label.empty() ? graph.name : graph.label);
    std::vector<vgr::CellTrace> trace;
    c.setHeight(vgr::drawFigure(c, f, leftOut != nullptr ? &trace : nullptr));
    if (leftOut != nullptr) {
        std::set<double> counts, labels;
        for (const vgr::CellTrace& t : trace) {
            counts.insert(t.countsLeftOut.begin(), t.countsLeftOut.end());
            labels.insert(t.labelsLeftOut.begin(), t.labelsLeftOut.end());
        }
        leftOut->counts.assign(counts.begin(), counts.end());
        leftOut->labels.assign(labels.begin(), labels.end());
    }
    return c.take();
}

} // namespace vdq

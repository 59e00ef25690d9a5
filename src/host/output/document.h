// The output layer's document: what one step produced, as a tree of BY
// groups, groups, tables, matrices, notes and graphs, with every row already
// copied out of the procedure's fields. The renderers read only this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vdq
{

// One value of a row.
struct Cell {
    enum Kind { Number, Text } kind = Number;
    double d = 0;  // Number (may be a missing-value pattern)
    std::string s; // Text, trailing blanks already removed
};

class Rows;

// A cell read in place: a number, or a text that lives in its table.
struct CellView {
    Cell::Kind kind = Cell::Number;
    double d = 0;
    std::string_view s;
};

// One row of a table, read in place: each cell comes back as a Cell value.
class RowRef
{
  public:
    RowRef(const Rows* t, size_t r) : t_(t), r_(r) {}
    size_t size() const;
    bool empty() const { return size() == 0; }
    Cell operator[](size_t i) const;
    Cell at(size_t i) const; // throws std::out_of_range past the row's end

  private:
    const Rows* t_;
    size_t r_;
};

// The rows of a table in compact form. A plot-data table may hold a row per
// record of the input, so the rows are kept in blocks of 256, and each
// column of a sealed block is stored in the smallest of a few encodings:
// one value for the whole block, a small dictionary, integers as offsets of
// 1, 2 or 4 bytes from the block's least, a common value with a bit map and
// the other values, or plain 8-byte values. Numbers keep their bits exactly
// (missing patterns, -0); a text is stored once in a per-table text store
// (a text equal to the one stored just before is not stored again) and its
// cell holds its place there. Rows may differ in length. Reading is safe
// from several threads at once; building is not.
class Rows
{
  public:
    Rows() = default;
    Rows(std::initializer_list<std::vector<Cell>> rows);
    Rows(const Rows&) = default;
    Rows& operator=(const Rows&) = default;
    // A table moved from is left empty and ready for new rows.
    Rows(Rows&& o) noexcept { *this = std::move(o); }
    Rows& operator=(Rows&& o) noexcept;

    size_t size() const { return rows_; }
    bool empty() const { return rows_ == 0; }
    RowRef operator[](size_t r) const { return RowRef(this, r); }
    RowRef at(size_t r) const; // throws std::out_of_range past the last row

    // Cells read in place, without building a Cell (the renderers' way).
    // `c` must be below width(r).
    size_t width(size_t r) const;
    Cell::Kind kind(size_t r, size_t c) const;
    double number(size_t r, size_t c) const;         // a Number cell
    std::string_view text(size_t r, size_t c) const; // a Text cell
    CellView view(size_t r, size_t c) const;         // either, in one look-up
    // Column `c` of every row, a block at a time: out[r] takes row r's
    // number; a text cell, or a row that ends before the column, leaves
    // out[r] as it was. `out` has room for size() values.
    void numbers(size_t c, double* out) const;
    // Memory the rows hold, in bytes (for measurements).
    size_t bytes() const;

    // Yields a reference to a row view it holds, so that `for (auto& row :
    // rows)` reads as it would over a vector of rows.
    class const_iterator
    {
      public:
        const_iterator(const Rows* t, size_t r) : t_(t), r_(r), row_(t, r) {}
        const RowRef& operator*() const { return row_; }
        const RowRef* operator->() const { return &row_; }
        const_iterator& operator++()
        {
            row_ = RowRef(t_, ++r_);
            return *this;
        }
        bool operator!=(const const_iterator& o) const { return r_ != o.r_; }
        bool operator==(const const_iterator& o) const { return r_ == o.r_; }

      private:
        const Rows* t_;
        size_t r_;
        RowRef row_;
    };
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, size()); }

    // Building: a whole row at once, or a row cell by cell.
    void push_back(const std::vector<Cell>& row);
    void startRow();
    void addNumber(double d);
    void addText(std::string_view s);
    // Moves every row of `other` after these and leaves `other` empty.
    void append(Rows&& other);
    void clear();

    static constexpr size_t kBlockRows = 256;

  private:
    // How one column of a sealed block is stored.
    struct ColumnCode {
        uint8_t scheme = 0; // Same, Dict, Offsets, Masked or Plain
        uint8_t kinds = 0;  // Cell::Kind of every cell, or kMixed (a byte per cell)
        uint8_t size = 0;   // bytes of an offset (Offsets), of an index (Dict)
        uint8_t pad = 0;
        uint32_t data = 0; // where the column's payload starts in the block's bytes
        uint64_t base = 0; // the common value (Same, Masked) or the least (Offsets)
    };
    struct Block {
        uint32_t rows = 0;
        uint32_t cols = 0;            // the widest row's length
        std::vector<ColumnCode> code; // one per column
        std::vector<uint8_t> bytes;   // payloads and kind bytes
        std::vector<uint32_t> widths; // row lengths when they differ (else empty)
    };

    void seal();
    static void encodeColumn(Block& b, ColumnCode& cc, const std::vector<uint8_t>& kinds,
                             const std::vector<uint64_t>& values);
    uint64_t rawValue(size_t r, size_t c, uint8_t* kind) const;
    static uint64_t decode(const Block& b, const ColumnCode& cc, size_t i, uint8_t* kind);
    static void decodeAll(const Block& b, const ColumnCode& cc, uint8_t* kinds, uint64_t* values);
    void addCell(uint8_t kind, uint64_t value);

    size_t rows_ = 0;
    std::vector<Block> blocks_; // sealed blocks, each kBlockRows rows
    // The block being filled: cells row after row.
    std::vector<uint32_t> openStart_;
    std::vector<uint8_t> openKind_;
    std::vector<uint64_t> openValue_;
    std::string text_;               // texts, each after its length in 4 bytes
    uint64_t lastText_ = UINT64_MAX; // place of the text stored last
};

// A dynamic variable: a name and a value (text, or a number).
struct Dynamic {
    std::string name;
    std::string text;
    bool numeric = false;
    double d = 0;
};

// A column as the document keeps it.
struct Column {
    std::string name;
    std::string label;          // empty: none
    int type = 5;               // column type (1 control, 3, 4, 5, 6, 66)
    bool numeric = true;        // values are numbers
    int length = 8;             // bytes copied from the bound address
    int width = 0;              // format width (0: none given)
    int decimals = -1;          // format decimals (-1: none given; 99 on input means none)
    std::string format;         // format name ("" none)
    std::string templateColumn; // generic template column
    bool variable = false;      // made from a data set variable's descriptor
    std::vector<Dynamic> dynamics;
};

// A table's columns, shared by every output made from the same data object
// (a step of many strata makes the same tables over and over). Read like a
// vector; changing it copies the columns first.
class Columns
{
  public:
    Columns() = default;
    Columns(std::vector<Column> v) : p_(std::make_shared<const std::vector<Column>>(std::move(v)))
    {
    }
    Columns(std::initializer_list<Column> l) : Columns(std::vector<Column>(l)) {}
    explicit Columns(std::shared_ptr<const std::vector<Column>> p) : p_(std::move(p)) {}

    const std::vector<Column>& vec() const { return p_ ? *p_ : empty_(); }
    operator const std::vector<Column>&() const { return vec(); }
    size_t size() const { return vec().size(); }
    bool empty() const { return vec().empty(); }
    const Column& operator[](size_t i) const { return vec()[i]; }
    std::vector<Column>::const_iterator begin() const { return vec().begin(); }
    std::vector<Column>::const_iterator end() const { return vec().end(); }
    void push_back(Column c)
    {
        std::vector<Column> v = vec();
        v.push_back(std::move(c));
        p_ = std::make_shared<const std::vector<Column>>(std::move(v));
    }

  private:
    static const std::vector<Column>& empty_()
    {
        static const std::vector<Column> none;
        return none;
    }
    std::shared_ptr<const std::vector<Column>> p_;
};

struct TableTemplate;
struct CellRuns;

struct Node;
using NodePtr = std::shared_ptr<Node>;

struct Node {
    enum Kind { ByGroup, Group, Table, Matrix, Note, Graph, Page, Plot } kind = Group;
    std::string name;
    std::string label;
    std::string templ;   // template name as given
    std::string path;    // output path (tables, matrices, graphs)
    std::string heading; // heading line in force when the item was made
    bool hidden = false;
    // Groups.
    double number = 0;
    std::string groupKind;
    std::vector<NodePtr> items;
    // BY groups: the BY variables' values (numeric ones as numbers).
    std::vector<Dynamic> byValues;
    // Tables.
    Columns columns;
    Rows rows;
    std::string note;  // note printed with the table
    std::string title; // title object text shown above the table
    std::vector<Dynamic> dynamics;
    // Matrices: rows x cols numbers with labels.
    int nrows = 0, ncols = 0;
    std::vector<double> values; // row-major
    std::vector<std::string> rowLabels, colLabels;
    std::string rowHeader;
    // Graphs: the data tables' paths as given, the tables they name (a
    // table made of several strata's tables stands for its parts), and,
    // once drawn, the SVG text, its file and the image files made from it.
    std::vector<std::string> data;
    std::vector<NodePtr> sources;
    std::string svg;
    std::string file;
    std::vector<std::string> images;
    std::string drawNote; // why the graph could not be drawn (empty: drawn)
    bool device = false;  // drawn by the graphics kernel (its SVG and catalogue file given)
    // A table built from several strata's plot data: the tables it joins.
    std::vector<NodePtr> parts;
    // A plot-data table of every page of panels: where each panel's rows
    // start, found when the first page is drawn and kept for the others
    // (made and read under the graphs' lock, see graphs.cpp).
    mutable std::shared_ptr<const CellRuns> cellRuns;
    // Notes: text.
    std::string text;
    // Line-printer plots: the lines as printed.
    std::vector<std::string> lines;
};

// A numbered message of the log (an error, a warning or a note) as the
// HTML and JSON files report it with its step.
struct Message {
    int severity = 3; // 1 error, 2 warning, 3 note
    int group = 0;    // catalogue group and number; 0 and 0 when it has none
    int number = 0;
    std::string text;
};

// One step's document.
struct StepDoc {
    std::string proc = "KORVANTE";
    int rc = 0;
    std::vector<Message> messages; // what the step logged
    std::string title;             // procedure title (heading with the title flag)
    std::vector<NodePtr> items;    // top level
    // TITLE and FOOTNOTE lines in force when the step ran (set by the session
    // when `headed`), so that each step of the page keeps its own.
    bool headed = false;
    std::vector<std::string> titles;
    std::vector<std::string> footnotes;
};

// Column formats and visibility chosen by a template (defined in templates.cpp).
struct TemplateColumn {
    const char* column; // a column name or a template-column name
    const char* format; // format for numbers ("" keeps the column's)
    bool show;
    const char* header = nullptr; // header text in place of the column's label
    // A dynamic variable that hides the column when the table sets it to a
    // value other than 0 (null: none).
    const char* hiddenBy = nullptr;
};
struct TableTemplate {
    const char* name; // "Stat.Korvante.CensoredSummary"
    bool hidden;      // plot-data tables: kept in the document, not printed
    std::vector<TemplateColumn> columns;
    // When set, the columns the template names come first, in its order;
    // the others follow in the table's order.
    bool ordered = false;
    // When set, the table's title: "{Name}" stands for the text of the
    // table's dynamic variable Name (the label is the title when one of them
    // is missing).
    const char* title = nullptr;
    // When set, the title in place of the table's label while the table
    // sets the dynamic variable `otherTitleBy` to a value other than 0.
    const char* otherTitleBy = nullptr;
    const char* otherTitle = nullptr;
};

// Case-insensitive lookup; null when the template is not defined.
const TableTemplate* findTemplate(const std::string& name);
// Every template name (tests check that the tables of the procedure have one).
std::vector<std::string> templateNames();

// The title of a table: its template's title, else its label, else its name.
std::string tableTitle(const Node& n, const TableTemplate* t);

// Text of a cell for the listing and HTML (format applied, missing shown as
// ".", a Total marker as "Total", an emptied slot blank).
std::string cellText(const Column& c, const Cell& v, const TableTemplate* t);
// The format text of a column under a template ("" when none).
std::string columnFormat(const Column& c, const TableTemplate* t);
// A number for JSON: the shortest text that reads back as the same double;
// null for missing.
std::string jsonNumber(double d);
// Whether a column is shown under a template.
bool columnShown(const Column& c, const TableTemplate* t);
// The columns shown under a template, in the order they are shown.
std::vector<size_t> shownColumns(const std::vector<Column>& cols, const TableTemplate* t);
// The same for a table that sets dynamic variables, which may hide columns.
std::vector<size_t> shownColumns(const std::vector<Column>& cols, const TableTemplate* t,
                                 const std::vector<Dynamic>& dynamics);
// The header of a column: the template's, else its label, else its name.
std::string columnHeader(const Column& c, const TableTemplate* t);
// Whether a column tells which row it is (a strata or group variable, the
// time, a test's name): such leading columns are repeated in each panel of
// a table too wide for the line.
bool identifiesRow(const Column& c);

// Renderers of whole documents (tests; the session renders step by step).
// Whether the listing centres its blocks in the line (OPTIONS CENTER, the
// default) or starts them at the left margin (NOCENTER).
void setListingCentred(bool on);
std::vector<std::string> renderListing(const StepDoc& step, int lineSize,
                                       const std::vector<std::string>& titles);
std::string renderHtml(const std::vector<StepDoc>& steps, const std::vector<std::string>& titles);
std::string renderJson(const std::vector<StepDoc>& steps);
// The page title of the HTML: the first title in force at the first step
// (the page-wide titles when no step carries its own), else "Results".
std::string htmlPageTitle(const StepDoc* first, const std::vector<std::string>& titles);

} // namespace vdq

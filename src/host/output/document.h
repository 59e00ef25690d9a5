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
// record of the input, so the cells live in a few contiguous arrays instead of
// a vector of strings and doubles each: a number takes its 8 bytes (missing
// patterns kept bit for bit), a text takes 8 bytes for where it sits in a
// per-table text store (a text equal to the one stored just before is stored
// once), and each cell has a one-byte kind. Rows may differ in length.
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

    size_t size() const { return start_.size(); }
    bool empty() const { return start_.empty(); }
    RowRef operator[](size_t r) const { return RowRef(this, r); }
    RowRef at(size_t r) const; // throws std::out_of_range past the last row

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
    void addText(const std::string& s);
    // Moves every row of `other` after these and leaves `other` empty.
    void append(Rows&& other);
    void clear();

  private:
    friend class RowRef;
    size_t rowEnd(size_t r) const { return r + 1 < start_.size() ? start_[r + 1] : kind_.size(); }
    Cell cell(size_t k) const;

    std::vector<size_t> start_;      // first cell of each row
    std::vector<uint8_t> kind_;      // Cell::Kind of each cell
    std::vector<uint64_t> value_;    // number bits, or the text's place in text_
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
    std::vector<Dynamic> dynamics;
};

struct TableTemplate;

struct Node;
using NodePtr = std::shared_ptr<Node>;

struct Node {
    enum Kind { ByGroup, Group, Table, Matrix, Note, Graph, Page } kind = Group;
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
    // Tables.
    std::vector<Column> columns;
    Rows rows;
    std::string note;  // note printed with the table
    std::string title; // title object text shown above the table
    std::vector<Dynamic> dynamics;
    // Matrices: rows x cols numbers with labels.
    int nrows = 0, ncols = 0;
    std::vector<double> values; // row-major
    std::vector<std::string> rowLabels, colLabels;
    std::string rowHeader;
    // Graphs: the data tables' paths.
    std::vector<std::string> data;
    // Notes: text.
    std::string text;
};

// One step's document.
struct StepDoc {
    std::string proc = "KORVANTE";
    int rc = 0;
    std::string title;          // procedure title (heading with the title flag)
    std::vector<NodePtr> items; // top level
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
// A number in 17 significant digits for JSON; null for missing.
std::string jsonNumber(double d);
// Whether a column is shown under a template.
bool columnShown(const Column& c, const TableTemplate* t);
// The columns shown under a template, in the order they are shown.
std::vector<size_t> shownColumns(const std::vector<Column>& cols, const TableTemplate* t);
// The header of a column: the template's, else its label, else its name.
std::string columnHeader(const Column& c, const TableTemplate* t);

// The documents of the run: every finished step, and the one being made.
std::vector<StepDoc>& finishedSteps();

// Renderers.
// Whether the listing centres its blocks in the line (OPTIONS CENTER, the
// default) or starts them at the left margin (NOCENTER).
void setListingCentred(bool on);
std::vector<std::string> renderListing(const StepDoc& step, int lineSize,
                                       const std::vector<std::string>& titles);
// The same, also telling for each line the column headers to repeat above it
// when it opens a page (`repeat[i]` indexes `headers`, -1 for none).
std::vector<std::string> renderListing(const StepDoc& step, int lineSize,
                                       const std::vector<std::string>& titles,
                                       std::vector<std::vector<std::string>>& headers,
                                       std::vector<int>& repeat);
std::string renderHtml(const std::vector<StepDoc>& steps, const std::vector<std::string>& titles);
std::string renderJson(const std::vector<StepDoc>& steps);

} // namespace vdq

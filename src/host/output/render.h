// Internals the three renderers share: how a column's cells are turned into
// text (worked out once per table, then applied cell by cell without
// allocating), the escaping of data for each output, where rendered lines and
// text go, and the rendering of a table's rows in parallel pieces.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/output/document.h"

namespace vdq
{

// ---------------------------------------------------------------------------
// Cell text.

// How the cells of one column are shown in the listing and the HTML.
struct CellStyle {
    enum Mode : unsigned char { Text, Best, Fixed, PValue, Other } mode = Best;
    int width = 12;          // Best: the field width; Fixed: the format's width
    int decimals = 0;        // Fixed: the decimals asked for
    bool countCheck = false; // a w.0 count column: fractional counts show in full
    std::string format;      // Other: the format text
};
CellStyle cellStyle(const Column& c, const TableTemplate* t);

// Appends the text of cell (r, c) of `rows` as the listing and HTML show it
// (format applied, missing shown as "." or ".A", a Total marker as "Total",
// an emptied slot blank, control characters of a text escaped); a cell past
// the end of its row shows as ".".
void appendCell(std::string& out, const CellStyle& style, const Rows& rows, size_t r, size_t c);
void appendNumberText(std::string& out, const CellStyle& style, double d);
// The length of the text appendNumberText gives, worked out without writing
// it where the format allows (`scratch` is used when it does not).
size_t numberWidth(const CellStyle& style, double d, std::string& scratch);

// The number under BESTw. without blanks, exactly as vyr::fmt::best gives it
// (trimmed); the number under w.d as vyr::fmt::format_number gives it.
void appendBest(std::string& out, double v, int width);
void appendFixed(std::string& out, double v, int width, int decimals);

// The shortest text that reads back as the same double; null for a missing
// or non-finite value.
void appendJsonNumber(std::string& out, double d);

// Whether appendShown would change a text.
bool needsShowing(std::string_view s);
// The text as valid UTF-8 with each control character shown as an escape:
// \n, \r, \t, or \xHH (vyr::write_text under Controls::Show). Data can hold
// them (a quoted CSV field may hold a line break); shown raw they would
// break the listing's layout or vanish from the page.
void appendShown(std::string& out, std::string_view s);
std::string shown(std::string_view s);

// Text for the HTML page: valid UTF-8 (a byte that is not is taken as its
// Latin-1 character), control characters escaped as above, and & < > "
// written as entities.
void appendHtml(std::string& out, std::string_view s);
std::string esc(std::string_view s);
// A JSON string literal (with its quotes) of a text, as valid UTF-8.
void appendJsonString(std::string& out, std::string_view s);

// Columns on the screen: UTF-8 continuation bytes take no column of their own.
size_t displayColumns(std::string_view s);

// The Total marker and the emptied slot of the host's constant table.
bool isTotalMarker(double d);
// An emptied key slot, or a stratum's total row (GROUP= summaries), whose
// number shows as "Subtotal" in the listing and HTML; JSON writes null.
bool isEmptiedSlot(double d);
bool isStratumTotalMarker(double d);
// The letter of a special missing value; 0 for the ordinary missing value.
char missingLetter(double d);

// ---------------------------------------------------------------------------
// Where rendered output goes.

// Listing lines. `keep` and `rowsUnder` are hints for a paged listing; a sink
// that only collects lines may ignore them.
class LineSink
{
  public:
    virtual ~LineSink() = default;
    virtual void line(std::string_view text) = 0;
    // Several lines, each ended by a newline.
    virtual void lines(std::string_view block);
    // The next `n` lines belong together (a table's title with its column
    // headers and first row): a page that has less room left should end
    // before them.
    virtual void keep(int n) { (void)n; }
    // Whether `n` lines that belong together fit on one page at all.
    virtual bool fits(int n) const
    {
        (void)n;
        return true;
    }
    // The lines that follow are rows under these header lines (null: they
    // are not), which a new page repeats above them.
    virtual void rowsUnder(const std::vector<std::string>* header) { (void)header; }
};

// A sink that keeps the lines (tests and the vector form of the listing).
class LineCollector : public LineSink
{
  public:
    void line(std::string_view text) override { lines.emplace_back(text); }
    std::vector<std::string> lines;
};

// Text written in pieces (HTML and JSON).
class TextSink
{
  public:
    virtual ~TextSink() = default;
    virtual void write(std::string_view text) = 0;
};

class StringSink : public TextSink
{
  public:
    void write(std::string_view text) override { out.append(text); }
    std::string out;
};

// Renders rows [0, n) in pieces of `grain` rows: `piece(first, end, buffer)`
// appends the text of rows [first, end) to a buffer; the buffers are handed to
// `emit` in row order. Pieces are rendered in parallel on the host's pool, a
// bounded number at a time, so that memory stays small however many rows
// there are.
void renderInPieces(size_t n, size_t grain,
                    const std::function<void(size_t, size_t, std::string&)>& piece,
                    const std::function<void(const std::string&)>& emit);

// ---------------------------------------------------------------------------
// The renderers' entry points for one step (see render.cpp, html.cpp and
// json.cpp). The page title is worked out by the caller.

void renderListingTo(const StepDoc& step, int lineSize, const std::vector<std::string>& titles,
                     LineSink& sink);

void htmlHead(TextSink& out, const std::string& pageTitle, const std::vector<std::string>& titles);
// The step's section up to its footnotes; `index` (from 0) keeps its table
// ids apart from those of earlier steps.
void htmlStep(TextSink& out, const StepDoc& step, size_t index);
// The step's messages, and the end of its section.
void htmlStepEnd(TextSink& out, const std::vector<Message>& messages);
// The run's messages from outside its steps, and the end of the page.
void htmlTail(TextSink& out, const std::vector<Message>& messages);

void jsonHead(TextSink& out);
// The step up to its items: {"proc":...,"items":[...]
void jsonStep(TextSink& out, const StepDoc& step, bool first);
// ,"messages":[...],"rc":N}
void jsonStepEnd(TextSink& out, const std::vector<Message>& messages, int rc);
// ],"messages":[...]}
void jsonTail(TextSink& out, const std::vector<Message>& messages);

} // namespace vdq

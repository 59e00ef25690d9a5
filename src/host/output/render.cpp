// The listing rendering of a step's document: fixed-width text, tables
// centred in the line size. Lines go to a sink as they are made, so that a
// table of millions of rows is never held whole in memory: a first pass over
// the rows finds the column widths, a second writes the rows, both in
// parallel pieces.
#include <algorithm>
#include <string>
#include <vector>

#include "host/output/document.h"
#include "host/output/render.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_pool.h"

namespace vdq
{
namespace
{

// Rows rendered per piece: enough to keep a thread busy, few enough that a
// wave of pieces stays small.
constexpr size_t kRowsPerPiece = 2048;

int controlColumn(const std::vector<Column>& cols)
{
    for (size_t i = 0; i < cols.size(); ++i)
        if (cols[i].type == 1)
            return static_cast<int>(i);
    return -1;
}

size_t cols(std::string_view s)
{
    return displayColumns(s);
}

// The words of a text: the runs of characters between blanks (spaces, tabs,
// line ends), as a reader of words would take them.
std::vector<std::string_view> words(std::string_view text)
{
    std::vector<std::string_view> out;
    size_t i = 0;
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < text.size()) {
        while (i < text.size() && blank(text[i]))
            ++i;
        size_t j = i;
        while (j < text.size() && !blank(text[j]))
            ++j;
        if (j > i)
            out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

// Splits a header into lines of at most `width` characters at blanks.
std::vector<std::string> wrap(const std::string& text, size_t width)
{
    std::vector<std::string> lines;
    std::string line;
    for (std::string_view word : words(text)) {
        if (line.empty())
            line = word;
        else if (cols(line) + 1 + cols(word) <= width) {
            line += ' ';
            line += word;
        } else {
            lines.push_back(line);
            line = word;
        }
    }
    if (!line.empty() || lines.empty())
        lines.push_back(line);
    return lines;
}

size_t longestWord(const std::string& text)
{
    size_t n = 0;
    for (std::string_view w : words(text))
        n = std::max(n, cols(w));
    return n;
}

// OPTIONS NOCENTER puts tables, labels and notes at the left margin.
bool centring = true;

// Blanks before a block `width` columns wide.
int leftPad(int lineSize, int width)
{
    return centring ? std::max(0, (lineSize - width) / 2) : 0;
}

std::string centre(const std::string& s, int lineSize)
{
    int pad = leftPad(lineSize, static_cast<int>(cols(s)));
    return pad > 0 ? std::string(static_cast<size_t>(pad), ' ') + s : s;
}

void padLeft(std::string& out, std::string_view s, size_t w)
{
    const size_t c = cols(s);
    if (c < w)
        out.append(w - c, ' ');
    out.append(s);
}

void padRight(std::string& out, std::string_view s, size_t w)
{
    out.append(s);
    const size_t c = cols(s);
    if (c < w)
        out.append(w - c, ' ');
}

void rtrim(std::string& s, size_t from)
{
    while (s.size() > from && s.back() == ' ')
        s.pop_back();
}

// Whether anything of the items shows in the listing (NOPRINT leaves only
// hidden tables and graphs).
bool listed(const std::vector<NodePtr>& items)
{
    for (const NodePtr& p : items) {
        const Node& n = *p;
        switch (n.kind) {
        case Node::Table:
            if (!n.hidden)
                return true;
            break;
        case Node::Matrix:
        case Node::Note:
        case Node::Plot:
            return true;
        case Node::Graph:
            if (!n.file.empty())
                return true;
            break;
        case Node::ByGroup:
        case Node::Group:
            if (listed(n.items))
                return true;
            break;
        default:
            break;
        }
    }
    return false;
}

// A table as the listing lays it out: the columns shown, their cell styles,
// widths and wrapped headers, and the panels the line size splits it into.
struct TableLayout {
    std::vector<size_t> shown;
    std::vector<CellStyle> styles;
    std::vector<size_t> width;
    std::vector<std::vector<std::string>> heads;
    std::vector<std::vector<size_t>> panels;
    size_t firstTotal = SIZE_MAX; // the first Total row (a rule goes above it)
};

// The widest cell text of each shown column, over every row.
std::vector<size_t> cellWidths(const Node& n, const TableLayout& L)
{
    const size_t k = L.shown.size();
    std::vector<size_t> width(k, 1);
    const size_t rows = n.rows.size();
    if (rows == 0)
        return width;
    const size_t pieces = (rows + kRowsPerPiece - 1) / kRowsPerPiece;
    std::vector<std::vector<size_t>> part(pieces, std::vector<size_t>(k, 1));
    vyr::parallel_for(pieces, [&](size_t p) {
        std::string text;
        const size_t end = std::min(rows, (p + 1) * kRowsPerPiece);
        for (size_t r = p * kRowsPerPiece; r < end; ++r) {
            const size_t cells = n.rows.width(r);
            for (size_t j = 0; j < k; ++j) {
                size_t w = 1; // "." for a cell past the end of its row
                if (L.shown[j] < cells) {
                    const CellView v = n.rows.view(r, L.shown[j]);
                    if (v.kind == Cell::Number) {
                        w = numberWidth(L.styles[j], v.d, text);
                    } else if (needsShowing(v.s)) {
                        text.clear();
                        appendShown(text, v.s);
                        w = cols(text);
                    } else {
                        w = cols(v.s);
                    }
                }
                part[p][j] = std::max(part[p][j], w);
            }
        }
    });
    for (const auto& w : part)
        for (size_t j = 0; j < k; ++j)
            width[j] = std::max(width[j], w[j]);
    return width;
}

// Splits the shown columns into panels that fit the line size. A table too
// wide for one line continues in further panels, each repeating the leading
// columns that tell which row it is (at least the first column).
std::vector<std::vector<size_t>> makePanels(const Node& n, const TableLayout& L, int lineSize)
{
    size_t ids = 0;
    while (ids < L.shown.size() && identifiesRow(n.columns[L.shown[ids]]))
        ++ids;
    ids = std::max<size_t>(ids, 1);
    std::vector<std::vector<size_t>> panels;
    std::vector<size_t> cur;
    size_t used = 0;
    for (size_t k = 0; k < L.shown.size(); ++k) {
        size_t add = L.width[k] + (cur.empty() ? 0 : 2);
        if (!cur.empty() && k >= ids && used + add > static_cast<size_t>(lineSize) &&
            cur.size() > (panels.empty() ? 0u : ids)) {
            panels.push_back(cur);
            cur.clear();
            used = 0;
            for (size_t j = 0; j < ids && j < L.shown.size(); ++j) {
                used += L.width[j] + (cur.empty() ? 0 : 2);
                cur.push_back(j);
            }
            add = L.width[k] + 2;
        }
        cur.push_back(k);
        used += add;
    }
    panels.push_back(cur);
    return panels;
}

TableLayout layTable(const Node& n, const TableTemplate* t, int lineSize)
{
    TableLayout L;
    L.shown = shownColumns(n.columns, t, n.dynamics);
    for (size_t i : L.shown)
        L.styles.push_back(cellStyle(n.columns[i], t));
    L.width = cellWidths(n, L);
    for (size_t k = 0; k < L.shown.size(); ++k) {
        std::string h = shown(columnHeader(n.columns[L.shown[k]], t));
        size_t w = std::max({L.width[k], longestWord(h), std::min<size_t>(cols(h), 10)});
        L.width[k] = w;
        L.heads.push_back(wrap(h, w));
    }
    L.panels = makePanels(n, L, lineSize);
    const int control = controlColumn(n.columns);
    if (control >= 0) {
        const size_t c = static_cast<size_t>(control);
        for (size_t r = 0; r < n.rows.size() && L.firstTotal == SIZE_MAX; ++r)
            if (c < n.rows.width(r) && n.rows.kind(r, c) == Cell::Text && n.rows.text(r, c) == "-")
                L.firstTotal = r;
    }
    return L;
}

// Lines go to the sink in batches (a page's worth at most is written at
// once there); a hint to the sink first sends the lines before it.
class BatchedLines : public LineSink
{
  public:
    explicit BatchedLines(LineSink& sink) : sink_(sink) {}
    ~BatchedLines() override { flush(); }
    void line(std::string_view text) override
    {
        pending_.append(text);
        pending_.push_back('\n');
        if (pending_.size() > (1u << 16))
            flush();
    }
    void lines(std::string_view block) override
    {
        flush();
        sink_.lines(block);
    }
    void keep(int n) override
    {
        flush();
        sink_.keep(n);
    }
    bool fits(int n) const override { return sink_.fits(n); }
    void rowsUnder(const std::vector<std::string>* header) override
    {
        flush();
        sink_.rowsUnder(header);
    }
    void flush()
    {
        if (!pending_.empty())
            sink_.lines(pending_);
        pending_.clear();
    }

  private:
    LineSink& sink_;
    std::string pending_;
};

struct ListingWriter {
    int lineSize;
    LineSink& sink;
    std::string heading;
    std::string byLine; // the BY group being written, for its plots' pages
    // Lines that lead into what follows (the procedure's title, a note that
    // introduces a table): they are written with the next block and go to
    // a new page with it.
    std::vector<std::string> pending;

    void flushPending()
    {
        for (const std::string& l : pending)
            sink.line(l);
        pending.clear();
    }
    void blank()
    {
        flushPending();
        sink.line(std::string_view());
    }
    void line(const std::string& s)
    {
        flushPending();
        sink.line(s);
    }
    // The next n lines belong together with the pending ones. On a page too
    // small for them all, the blank line that leads them is left out; when
    // they still do not fit, the pending lines go first and the block keeps
    // together by itself.
    void keep(int n)
    {
        int p = static_cast<int>(pending.size());
        if (p > 0 && !sink.fits(n + p) && pending.front().empty() && sink.fits(n + p - 1)) {
            pending.erase(pending.begin());
            --p;
        }
        if (p > 0 && !sink.fits(n + p)) {
            flushPending();
            p = 0;
        }
        sink.keep(n + p);
        flushPending();
    }

    // A title or heading as printed: centred, wrapped at blanks to the line.
    std::vector<std::string> titleLines(const std::string& text) const
    {
        std::vector<std::string> out;
        const std::string t = shown(text);
        if (cols(t) <= static_cast<size_t>(lineSize))
            return {centre(t, lineSize)};
        for (const std::string& l : wrap(t, static_cast<size_t>(lineSize)))
            out.push_back(centre(l, lineSize));
        return out;
    }

    // Lines the heading of `n` takes when it changes (a blank and the heading).
    int headingLines(const Node& n) const
    {
        return n.heading != heading && !n.heading.empty()
                   ? 1 + static_cast<int>(titleLines(n.heading).size())
                   : 0;
    }

    void headingFor(const Node& n)
    {
        if (n.heading != heading) {
            heading = n.heading;
            if (!heading.empty()) {
                blank();
                for (const std::string& l : titleLines(heading))
                    line(l);
            }
        }
    }

    // One panel of a table: its column headers, then its rows.
    void panel(const Node& n, const TableLayout& L, const std::vector<size_t>& ks, bool first)
    {
        size_t total = 0;
        for (size_t k : ks)
            total += L.width[k] + 2;
        total = total >= 2 ? total - 2 : 0;
        const std::string ind(static_cast<size_t>(leftPad(lineSize, static_cast<int>(total))), ' ');
        size_t lines = 1;
        for (size_t k : ks)
            lines = std::max(lines, L.heads[k].size());
        if (!first)
            keep(static_cast<int>(1 + lines + (n.rows.empty() ? 0 : 1)));
        blank();
        std::vector<std::string> header;
        for (size_t l = 0; l < lines; ++l) {
            std::string h = ind;
            for (size_t j = 0; j < ks.size(); ++j) {
                const size_t k = ks[j];
                // Headers stand on the last lines (bottom aligned).
                const size_t off = lines - L.heads[k].size();
                std::string_view text = l >= off ? std::string_view(L.heads[k][l - off]) : "";
                if (n.columns[L.shown[k]].numeric)
                    padLeft(h, text, L.width[k]);
                else
                    padRight(h, text, L.width[k]);
                if (j + 1 < ks.size())
                    h += "  ";
            }
            rtrim(h, 0);
            line(h);
            header.push_back(std::move(h));
        }
        sink.rowsUnder(&header);
        std::vector<char> numeric(L.shown.size());
        for (size_t k = 0; k < L.shown.size(); ++k)
            numeric[k] = n.columns[L.shown[k]].numeric;
        renderInPieces(
            n.rows.size(), kRowsPerPiece,
            [&](size_t firstRow, size_t end, std::string& out) {
                std::string cell;
                for (size_t r = firstRow; r < end; ++r) {
                    if (r == L.firstTotal) {
                        out += ind;
                        out.append(total, '-');
                        out.push_back('\n');
                    }
                    const size_t start = out.size();
                    out += ind;
                    const size_t cells = n.rows.width(r);
                    for (size_t j = 0; j < ks.size(); ++j) {
                        const size_t k = ks[j];
                        cell.clear();
                        size_t shownCols = 1; // "." for a cell past the end of its row
                        if (L.shown[k] >= cells) {
                            cell.push_back('.');
                        } else if (const CellView v = n.rows.view(r, L.shown[k]);
                                   v.kind == Cell::Number) {
                            appendNumberText(cell, L.styles[k], v.d);
                            shownCols = cell.size(); // numbers are plain ASCII
                        } else {
                            appendShown(cell, v.s);
                            shownCols = cols(cell);
                        }
                        const size_t pad = shownCols < L.width[k] ? L.width[k] - shownCols : 0;
                        if (numeric[k]) {
                            out.append(pad, ' ');
                            out.append(cell);
                        } else {
                            out.append(cell);
                            out.append(pad, ' ');
                        }
                        if (j + 1 < ks.size())
                            out.append(2, ' ');
                    }
                    rtrim(out, start);
                    out.push_back('\n');
                }
            },
            [&](const std::string& piece) { sink.lines(piece); });
        sink.rowsUnder(nullptr);
    }

    void table(const Node& n)
    {
        if (n.hidden)
            return;
        const TableTemplate* t = findTemplate(n.templ);
        const TableLayout L = layTable(n, t, lineSize);
        // The title never stays alone at the foot of a page: it goes with
        // the heading above it, the first panel's headers and first row.
        size_t headerLines = 1;
        for (size_t k : L.panels[0])
            headerLines = std::max(headerLines, L.heads[k].size());
        const std::vector<std::string> title = titleLines(tableTitle(n, t));
        keep(headingLines(n) + 2 + static_cast<int>(title.size()) + static_cast<int>(headerLines) +
             (n.rows.empty() ? 0 : 1));
        headingFor(n);
        blank();
        for (const std::string& l : title)
            line(l);
        for (size_t p = 0; p < L.panels.size(); ++p)
            panel(n, L, L.panels[p], p == 0);
        if (!n.note.empty()) {
            size_t total = 0;
            for (size_t k : L.panels.back())
                total += L.width[k] + 2;
            total = total >= 2 ? total - 2 : 0;
            const int indent = leftPad(lineSize, static_cast<int>(total));
            const std::string ind(static_cast<size_t>(indent), ' ');
            blank();
            for (const std::string& l :
                 wrap(shown(n.note), static_cast<size_t>(std::max(20, lineSize - 2 * indent))))
                line(ind + l);
        }
    }

    void matrix(const Node& n);

    void items(const std::vector<NodePtr>& list)
    {
        for (const NodePtr& p : list) {
            const Node& n = *p;
            switch (n.kind) {
            case Node::ByGroup:
                heading.clear();
                blank();
                line(centre("----- " + shown(n.label) + " -----", lineSize));
                byLine = n.label;
                items(n.items);
                byLine.clear();
                break;
            case Node::Group:
                items(n.items);
                break;
            case Node::Table:
                table(n);
                break;
            case Node::Matrix:
                matrix(n);
                break;
            case Node::Note:
                // A note leads into what follows it, and goes with it.
                headingFor(n);
                pending.emplace_back();
                for (const std::string& l :
                     wrap(shown(n.text), static_cast<size_t>(std::max(20, lineSize - 10))))
                    pending.push_back(centre(l, lineSize));
                break;
            case Node::Plot:
                // A line-printer plot is laid out for a page to itself with a
                // line to spare, which holds the BY line (or stays blank); it
                // starts a page unless it fits where it is, and its lines
                // stand as printed.
                keep(static_cast<int>(n.lines.size()) + 1);
                if (byLine.empty())
                    blank();
                else
                    line(centre("----- " + shown(byLine) + " -----", lineSize));
                for (const std::string& l : n.lines)
                    line(l);
                break;
            case Node::Graph:
                // A graph shows as a line naming its file.
                if (!n.file.empty()) {
                    headingFor(n);
                    blank();
                    line(centre("Graph: " + shown(n.label.empty() ? n.name : n.label) + " (" +
                                    shown(n.file) + ")",
                                lineSize));
                }
                break;
            case Node::Page:
                break;
            }
        }
    }
};

// A matrix with its row and column labels (numbered 1, 2, ... where the
// caller gave none), in panels of as many columns as fit, each repeating
// the row labels.
void ListingWriter::matrix(const Node& n)
{
    std::vector<std::string> rowLabels, colLabels;
    for (int r = 0; r < n.nrows; ++r)
        rowLabels.push_back(shown(r < static_cast<int>(n.rowLabels.size())
                                      ? n.rowLabels[static_cast<size_t>(r)]
                                      : std::to_string(r + 1)));
    for (int c = 0; c < n.ncols; ++c)
        colLabels.push_back(shown(c < static_cast<int>(n.colLabels.size())
                                      ? n.colLabels[static_cast<size_t>(c)]
                                      : std::to_string(c + 1)));
    const std::string rowHeader = shown(n.rowHeader);
    const CellStyle style; // the automatic format
    auto value = [&](int r, int c) { return n.values[static_cast<size_t>(r) * n.ncols + c]; };
    size_t lw = cols(rowHeader);
    for (const std::string& s : rowLabels)
        lw = std::max(lw, cols(s));
    size_t cw = 1;
    {
        std::string text;
        for (int r = 0; r < n.nrows; ++r)
            for (int c = 0; c < n.ncols; ++c) {
                text.clear();
                appendNumberText(text, style, value(r, c));
                cw = std::max(cw, cols(text));
            }
    }
    // Column labels wider than the numbers wrap at blanks, as table
    // headers do, instead of widening every column.
    for (const std::string& s : colLabels)
        cw = std::max({cw, longestWord(s), std::min<size_t>(cols(s), 10)});
    std::vector<std::vector<std::string>> heads;
    size_t lines = 1;
    for (int c = 0; c < n.ncols; ++c) {
        heads.push_back(wrap(colLabels[static_cast<size_t>(c)], cw));
        lines = std::max(lines, heads.back().size());
    }
    size_t fit = 1;
    if (static_cast<size_t>(lineSize) > lw + cw + 2)
        fit = std::max<size_t>(1, (static_cast<size_t>(lineSize) - lw) / (cw + 2));
    const std::vector<std::string> title = titleLines(n.label.empty() ? n.name : n.label);
    keep(headingLines(n) + 2 + static_cast<int>(title.size()) + static_cast<int>(lines) +
         (n.nrows > 0 ? 1 : 0));
    headingFor(n);
    blank();
    for (const std::string& l : title)
        line(l);
    for (int first = 0; first < n.ncols; first += static_cast<int>(fit)) {
        const int last = std::min(n.ncols, first + static_cast<int>(fit));
        const size_t total = lw + (cw + 2) * static_cast<size_t>(std::max(0, last - first));
        const std::string ind(static_cast<size_t>(leftPad(lineSize, static_cast<int>(total))), ' ');
        if (first > 0)
            keep(static_cast<int>(1 + lines + (n.nrows > 0 ? 1 : 0)));
        blank();
        std::vector<std::string> header;
        for (size_t l = 0; l < lines; ++l) {
            std::string h = ind;
            padRight(h, l + 1 == lines ? std::string_view(rowHeader) : "", lw);
            for (int c = first; c < last; ++c) {
                const std::vector<std::string>& hc = heads[static_cast<size_t>(c)];
                const size_t off = lines - hc.size();
                h += "  ";
                padLeft(h, l >= off ? std::string_view(hc[l - off]) : "", cw);
            }
            rtrim(h, 0);
            line(h);
            header.push_back(std::move(h));
        }
        sink.rowsUnder(&header);
        std::string row, text;
        for (int r = 0; r < n.nrows; ++r) {
            row = ind;
            padRight(row, rowLabels[static_cast<size_t>(r)], lw);
            for (int c = first; c < last; ++c) {
                text.clear();
                appendNumberText(text, style, value(r, c));
                row += "  ";
                padLeft(row, text, cw);
            }
            rtrim(row, 0);
            line(row);
        }
        sink.rowsUnder(nullptr);
    }
}

} // namespace

void LineSink::lines(std::string_view block)
{
    size_t at = 0;
    while (at < block.size()) {
        size_t end = block.find('\n', at);
        if (end == std::string_view::npos)
            end = block.size();
        line(block.substr(at, end - at));
        at = end + 1;
    }
}

void setListingCentred(bool on)
{
    centring = on;
}

void renderListingTo(const StepDoc& step, int lineSize, const std::vector<std::string>& titles,
                     LineSink& sink)
{
    if (!listed(step.items))
        return;
    BatchedLines batched(sink);
    ListingWriter w{lineSize > 0 ? lineSize : 100, batched, {}, {}, {}};
    for (const std::string& t : titles)
        if (!t.empty())
            w.line(centre(t, w.lineSize));
    // The procedure's title goes with the step's first block.
    if (!step.title.empty()) {
        w.pending.emplace_back();
        w.pending.push_back(centre(step.title, w.lineSize));
    }
    w.items(step.items);
    w.flushPending();
}

std::vector<std::string> renderListing(const StepDoc& step, int lineSize,
                                       const std::vector<std::string>& titles)
{
    LineCollector c;
    renderListingTo(step, lineSize, titles, c);
    return std::move(c.lines);
}

} // namespace vdq

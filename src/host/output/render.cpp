// The three renderings of a step's document: the listing (fixed-width text,
// tables centred in the line size), one self-contained HTML page, and JSON
// for scripts and tests.
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "host/output/document.h"
#include "vyr_host.h"
#include "vyr_missing.h"

namespace vdq
{

bool isTotalMarker(double d);
bool isEmptiedSlot(double d);
char missingLetter(double d);

namespace
{

int controlColumn(const std::vector<Column>& cols)
{
    for (size_t i = 0; i < cols.size(); ++i)
        if (cols[i].type == 1)
            return static_cast<int>(i);
    return -1;
}

// Columns on the screen: UTF-8 continuation bytes take no column of their
// own, so labels with accented letters line up with plain ones.
size_t cols(const std::string& s)
{
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

// Splits a header into lines of at most `width` characters at blanks.
std::vector<std::string> wrap(const std::string& text, size_t width)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string word, line;
    while (in >> word) {
        if (line.empty())
            line = word;
        else if (cols(line) + 1 + cols(word) <= width)
            line += " " + word;
        else {
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
    std::istringstream in(text);
    std::string w;
    size_t n = 0;
    while (in >> w)
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

std::string padLeft(const std::string& s, size_t w)
{
    return cols(s) >= w ? s : std::string(w - cols(s), ' ') + s;
}
std::string padRight(const std::string& s, size_t w)
{
    return cols(s) >= w ? s : s + std::string(w - cols(s), ' ');
}

std::string rtrim(std::string s)
{
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// A matrix with its row and column labels, numbered 1, 2, ... where the
// caller gave none.
Node withLabels(const Node& m)
{
    Node n = m;
    for (int r = static_cast<int>(n.rowLabels.size()); r < n.nrows; ++r)
        n.rowLabels.push_back(std::to_string(r + 1));
    for (int c = static_cast<int>(n.colLabels.size()); c < n.ncols; ++c)
        n.colLabels.push_back(std::to_string(c + 1));
    return n;
}

// ---------------------------------------------------------------------------
// Listing.
struct ListingWriter {
    int lineSize;
    std::vector<std::string> out;
    std::string heading;
    // Column headers of table panels, and for each line of `out` the block
    // to repeat above it when it opens a page (-1: none).
    std::vector<std::vector<std::string>> headers;
    std::vector<int> repeat;

    void blank() { out.emplace_back(); }

    // The lines from `first` on are data rows under the header lines
    // [hfirst, first).
    void markRows(size_t hfirst, size_t first)
    {
        headers.emplace_back(out.begin() + static_cast<std::ptrdiff_t>(hfirst),
                             out.begin() + static_cast<std::ptrdiff_t>(first));
        repeat.resize(out.size(), -1);
        for (size_t i = first; i < out.size(); ++i)
            repeat[i] = static_cast<int>(headers.size()) - 1;
    }

    void headingFor(const Node& n)
    {
        if (n.heading != heading) {
            heading = n.heading;
            if (!heading.empty()) {
                blank();
                out.push_back(centre(heading, lineSize));
            }
        }
    }

    void table(const Node& n)
    {
        const TableTemplate* t = findTemplate(n.templ);
        if (n.hidden)
            return;
        headingFor(n);
        std::vector<size_t> shown = shownColumns(n.columns, t);
        int control = controlColumn(n.columns);
        // Cell texts and widths.
        std::vector<std::vector<std::string>> cells(n.rows.size());
        std::vector<size_t> width(shown.size(), 1);
        for (size_t r = 0; r < n.rows.size(); ++r)
            for (size_t k = 0; k < shown.size(); ++k) {
                size_t i = shown[k];
                std::string s =
                    i < n.rows[r].size() ? cellText(n.columns[i], n.rows[r][i], t) : ".";
                width[k] = std::max(width[k], cols(s));
                cells[r].push_back(std::move(s));
            }
        std::vector<std::vector<std::string>> heads;
        for (size_t k = 0; k < shown.size(); ++k) {
            std::string h = columnHeader(n.columns[shown[k]], t);
            size_t w = std::max({width[k], longestWord(h), std::min<size_t>(cols(h), 10)});
            width[k] = w;
            heads.push_back(wrap(h, w));
        }
        // Panels: columns that fit in the line size; a table too wide for
        // one line continues in further panels that repeat its first column.
        std::vector<std::vector<size_t>> panels;
        {
            std::vector<size_t> cur;
            size_t used = 0;
            for (size_t k = 0; k < shown.size(); ++k) {
                size_t add = width[k] + (cur.empty() ? 0 : 2);
                if (!cur.empty() && used + add > static_cast<size_t>(lineSize) &&
                    cur.size() > (panels.empty() ? 0u : 1u)) {
                    panels.push_back(cur);
                    cur.assign(1, 0);
                    used = width[0];
                    add = width[k] + 2;
                }
                cur.push_back(k);
                used += add;
            }
            panels.push_back(cur);
        }
        blank();
        out.push_back(centre(tableTitle(n, t), lineSize));
        size_t total = 0;
        std::string ind;
        for (size_t p = 0; p < panels.size(); ++p) {
            const std::vector<size_t>& ks = panels[p];
            total = 0;
            for (size_t k : ks)
                total += width[k] + 2;
            total = total >= 2 ? total - 2 : 0;
            ind.assign(static_cast<size_t>(leftPad(lineSize, static_cast<int>(total))), ' ');
            blank();
            const size_t hfirst = out.size();
            size_t lines = 1;
            for (size_t k : ks)
                lines = std::max(lines, heads[k].size());
            for (size_t l = 0; l < lines; ++l) {
                std::string line = ind;
                for (size_t j = 0; j < ks.size(); ++j) {
                    size_t k = ks[j];
                    // Headers stand on the last lines (bottom aligned).
                    size_t off = lines - heads[k].size();
                    std::string h = l >= off ? heads[k][l - off] : "";
                    const Column& c = n.columns[shown[k]];
                    line += c.numeric ? padLeft(h, width[k]) : padRight(h, width[k]);
                    if (j + 1 < ks.size())
                        line += "  ";
                }
                out.push_back(rtrim(line));
            }
            const size_t rfirst = out.size();
            bool ruled = false;
            for (size_t r = 0; r < n.rows.size(); ++r) {
                bool totalRow = control >= 0 && static_cast<size_t>(control) < n.rows[r].size() &&
                                n.rows[r][static_cast<size_t>(control)].s == "-";
                if (totalRow && !ruled) {
                    out.push_back(ind + std::string(total, '-'));
                    ruled = true;
                }
                std::string line = ind;
                for (size_t j = 0; j < ks.size(); ++j) {
                    size_t k = ks[j];
                    const Column& c = n.columns[shown[k]];
                    line += c.numeric ? padLeft(cells[r][k], width[k])
                                      : padRight(cells[r][k], width[k]);
                    if (j + 1 < ks.size())
                        line += "  ";
                }
                out.push_back(rtrim(line));
            }
            markRows(hfirst, rfirst);
        }
        int indent = static_cast<int>(ind.size());
        if (!n.note.empty()) {
            blank();
            for (const std::string& l :
                 wrap(n.note, static_cast<size_t>(std::max(20, lineSize - 2 * indent))))
                out.push_back(ind + l);
        }
    }

    void matrix(const Node& src)
    {
        Node n = withLabels(src);
        headingFor(n);
        blank();
        out.push_back(centre(n.label.empty() ? n.name : n.label, lineSize));
        size_t lw = cols(n.rowHeader);
        for (const std::string& s : n.rowLabels)
            lw = std::max(lw, cols(s));
        std::vector<std::vector<std::string>> cells(static_cast<size_t>(n.nrows));
        size_t cw = 1;
        for (int r = 0; r < n.nrows; ++r)
            for (int c = 0; c < n.ncols; ++c) {
                Column col;
                Cell v;
                v.d = n.values[static_cast<size_t>(r) * n.ncols + c];
                std::string s = cellText(col, v, nullptr);
                cw = std::max(cw, cols(s));
                cells[static_cast<size_t>(r)].push_back(s);
            }
        // Column labels wider than the numbers wrap at blanks, as table
        // headers do, instead of widening every column.
        for (const std::string& s : n.colLabels)
            cw = std::max({cw, longestWord(s), std::min<size_t>(cols(s), 10)});
        std::vector<std::vector<std::string>> heads;
        size_t lines = 1;
        for (int c = 0; c < n.ncols; ++c) {
            heads.push_back(wrap(
                c < static_cast<int>(n.colLabels.size()) ? n.colLabels[static_cast<size_t>(c)] : "",
                cw));
            lines = std::max(lines, heads.back().size());
        }
        // Panels of as many columns as fit in the line size; each repeats
        // the row labels.
        size_t fit = 1;
        if (static_cast<size_t>(lineSize) > lw + cw + 2)
            fit = std::max<size_t>(1, (static_cast<size_t>(lineSize) - lw) / (cw + 2));
        for (int first = 0; first < n.ncols; first += static_cast<int>(fit)) {
            int last = std::min(n.ncols, first + static_cast<int>(fit));
            size_t total = lw + (cw + 2) * static_cast<size_t>(last - first);
            std::string ind(static_cast<size_t>(leftPad(lineSize, static_cast<int>(total))), ' ');
            blank();
            const size_t hfirst = out.size();
            for (size_t l = 0; l < lines; ++l) {
                std::string line = ind + padRight(l + 1 == lines ? n.rowHeader : "", lw);
                for (int c = first; c < last; ++c) {
                    const std::vector<std::string>& h = heads[static_cast<size_t>(c)];
                    size_t off = lines - h.size();
                    line += "  " + padLeft(l >= off ? h[l - off] : "", cw);
                }
                out.push_back(rtrim(line));
            }
            const size_t rfirst = out.size();
            for (int r = 0; r < n.nrows; ++r) {
                std::string line = ind + padRight(r < static_cast<int>(n.rowLabels.size())
                                                      ? n.rowLabels[static_cast<size_t>(r)]
                                                      : "",
                                                  lw);
                for (int c = first; c < last; ++c)
                    line +=
                        "  " + padLeft(cells[static_cast<size_t>(r)][static_cast<size_t>(c)], cw);
                out.push_back(rtrim(line));
            }
            markRows(hfirst, rfirst);
        }
    }

    void items(const std::vector<NodePtr>& list)
    {
        for (const NodePtr& p : list) {
            const Node& n = *p;
            switch (n.kind) {
            case Node::ByGroup:
                heading.clear();
                blank();
                out.push_back(centre("----- " + n.label + " -----", lineSize));
                items(n.items);
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
                headingFor(n);
                blank();
                for (const std::string& l :
                     wrap(n.text, static_cast<size_t>(std::max(20, lineSize - 10))))
                    out.push_back(centre(l, lineSize));
                break;
            case Node::Graph:
            case Node::Page:
                break;
            }
        }
    }
};

// ---------------------------------------------------------------------------
// The HTML page and JSON are UTF-8. Data read from a file in a single-byte
// encoding can hold bytes that are not valid UTF-8: each such byte is taken
// as the Latin-1 character of that code, so the page stays readable and
// nothing is dropped.
std::string asUtf8(const std::string& s)
{
    std::string o;
    o.reserve(s.size());
    size_t i = 0;
    const size_t n = s.size();
    auto cont = [&](size_t k) {
        return k < n && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80;
    };
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = 0;
        if (c < 0x80)
            len = 1;
        else if (c >= 0xC2 && c <= 0xDF)
            len = cont(i + 1) ? 2 : 0;
        else if (c >= 0xE0 && c <= 0xEF) {
            unsigned char c1 = i + 1 < n ? static_cast<unsigned char>(s[i + 1]) : 0;
            bool ok1 = c == 0xE0 ? (c1 >= 0xA0 && c1 <= 0xBF)
                       : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                   : cont(i + 1);
            len = ok1 && cont(i + 2) ? 3 : 0;
        } else if (c >= 0xF0 && c <= 0xF4) {
            unsigned char c1 = i + 1 < n ? static_cast<unsigned char>(s[i + 1]) : 0;
            bool ok1 = c == 0xF0 ? (c1 >= 0x90 && c1 <= 0xBF)
                       : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                   : cont(i + 1);
            len = ok1 && cont(i + 2) && cont(i + 3) ? 4 : 0;
        }
        if (len > 0) {
            o.append(s, i, len);
            i += len;
        } else {
            o.push_back(static_cast<char>(0xC0 | (c >> 6)));
            o.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            ++i;
        }
    }
    return o;
}

// ---------------------------------------------------------------------------
// HTML.
std::string esc(const std::string& text)
{
    const std::string s = asUtf8(text);
    std::string o;
    for (char c : s) {
        switch (c) {
        case '&':
            o += "&amp;";
            break;
        case '<':
            o += "&lt;";
            break;
        case '>':
            o += "&gt;";
            break;
        case '"':
            o += "&quot;";
            break;
        default:
            o.push_back(c);
        }
    }
    return o;
}

// `idPrefix` keeps the table ids unique on the page: every step has its own
// "CensoredSummary" and so on, so the second and later steps prefix theirs.
void htmlItems(std::string& o, const std::vector<NodePtr>& list, std::string& heading,
               const std::string& idPrefix = std::string())
{
    for (const NodePtr& p : list) {
        const Node& n = *p;
        if (n.kind != Node::ByGroup && n.kind != Node::Group && n.heading != heading) {
            heading = n.heading;
            if (!heading.empty())
                o += "<p class=\"heading\">" + esc(heading) + "</p>\n";
        }
        switch (n.kind) {
        case Node::ByGroup:
            heading.clear();
            o += "<section class=\"bygroup\">\n<h3>" + esc(n.label) + "</h3>\n";
            htmlItems(o, n.items, heading, idPrefix);
            o += "</section>\n";
            break;
        case Node::Group:
            o += "<div class=\"group\" data-name=\"" + esc(n.name) + "\">\n";
            htmlItems(o, n.items, heading, idPrefix);
            o += "</div>\n";
            break;
        case Node::Table: {
            if (n.hidden)
                break;
            const TableTemplate* t = findTemplate(n.templ);
            std::vector<size_t> shown = shownColumns(n.columns, t);
            int control = controlColumn(n.columns);
            o += "<table class=\"result\" id=\"" + esc(idPrefix + n.path) + "\">\n<caption>" +
                 esc(tableTitle(n, t)) + "</caption>\n<thead><tr>";
            for (size_t i : shown)
                o += "<th>" + esc(columnHeader(n.columns[i], t)) + "</th>";
            o += "</tr></thead>\n<tbody>\n";
            for (const auto& row : n.rows) {
                bool totalRow = control >= 0 && static_cast<size_t>(control) < row.size() &&
                                row[static_cast<size_t>(control)].s == "-";
                o += totalRow ? "<tr class=\"total\">" : "<tr>";
                for (size_t i : shown) {
                    const Column& c = n.columns[i];
                    std::string s = i < row.size() ? cellText(c, row[i], t) : ".";
                    o += c.numeric ? "<td class=\"n\">" : "<td>";
                    o += esc(s) + "</td>";
                }
                o += "</tr>\n";
            }
            o += "</tbody>\n</table>\n";
            if (!n.note.empty())
                o += "<p class=\"note\">" + esc(n.note) + "</p>\n";
            break;
        }
        case Node::Matrix: {
            const Node& n = withLabels(*p);
            o += "<table class=\"result\" id=\"" + esc(idPrefix + n.path) + "\">\n<caption>" +
                 esc(n.label.empty() ? n.name : n.label) + "</caption>\n<thead><tr><th>" +
                 esc(n.rowHeader) + "</th>";
            for (int c = 0; c < n.ncols; ++c)
                o += "<th>" +
                     esc(c < static_cast<int>(n.colLabels.size())
                             ? n.colLabels[static_cast<size_t>(c)]
                             : "") +
                     "</th>";
            o += "</tr></thead>\n<tbody>\n";
            for (int r = 0; r < n.nrows; ++r) {
                o += "<tr><th>" +
                     esc(r < static_cast<int>(n.rowLabels.size())
                             ? n.rowLabels[static_cast<size_t>(r)]
                             : "") +
                     "</th>";
                for (int c = 0; c < n.ncols; ++c) {
                    Column col;
                    Cell v;
                    v.d = n.values[static_cast<size_t>(r) * n.ncols + c];
                    o += "<td class=\"n\">" + esc(cellText(col, v, nullptr)) + "</td>";
                }
                o += "</tr>\n";
            }
            o += "</tbody>\n</table>\n";
            break;
        }
        case Node::Note:
            o += "<p class=\"note\">" + esc(n.text) + "</p>\n";
            break;
        case Node::Graph:
            o += "<figure class=\"graph\" data-template=\"" + esc(n.templ) + "\"><figcaption>" +
                 esc(n.label.empty() ? n.name : n.label) + "</figcaption></figure>\n";
            break;
        case Node::Page:
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// JSON.
std::string jstr(const std::string& text)
{
    const std::string s = asUtf8(text);
    std::string o = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            o += "\\\"";
            break;
        case '\\':
            o += "\\\\";
            break;
        case '\n':
            o += "\\n";
            break;
        case '\r':
            o += "\\r";
            break;
        case '\t':
            o += "\\t";
            break;
        default:
            if (c < 0x20) {
                char b[8];
                std::snprintf(b, sizeof b, "\\u%04x", c);
                o += b;
            } else {
                o.push_back(static_cast<char>(c));
            }
        }
    }
    return o + "\"";
}

std::string jvalue(const Cell& v)
{
    if (v.kind == Cell::Text)
        return jstr(v.s);
    if (isTotalMarker(v.d))
        return jstr("Total");
    if (isEmptiedSlot(v.d))
        return "null";
    if (wzmis(v.d)) {
        char c = missingLetter(v.d);
        return c ? jstr(std::string(".") + c) : std::string("null");
    }
    return jsonNumber(v.d);
}

std::string jdynamics(const std::vector<Dynamic>& d)
{
    std::string o = "{";
    for (size_t i = 0; i < d.size(); ++i) {
        if (i)
            o += ",";
        o += jstr(d[i].name) + ":" + (d[i].numeric ? jsonNumber(d[i].d) : jstr(d[i].text));
    }
    return o + "}";
}

void jsonItems(std::string& o, const std::vector<NodePtr>& list)
{
    bool first = true;
    for (const NodePtr& p : list) {
        const Node& n = *p;
        if (n.kind == Node::Page)
            continue;
        if (!first)
            o += ",";
        first = false;
        switch (n.kind) {
        case Node::ByGroup:
        case Node::Group:
            o += "{\"kind\":\"group\",\"name\":" + jstr(n.name) + ",\"label\":" + jstr(n.label) +
                 ",\"items\":[";
            jsonItems(o, n.items);
            o += "]}";
            break;
        case Node::Table: {
            const TableTemplate* t = findTemplate(n.templ);
            o += "{\"kind\":\"table\",\"name\":" + jstr(n.name) + ",\"template\":" + jstr(n.templ) +
                 ",\"label\":" + jstr(n.label) + ",\"hidden\":" + (n.hidden ? "true" : "false") +
                 ",\"columns\":[";
            for (size_t i = 0; i < n.columns.size(); ++i) {
                const Column& c = n.columns[i];
                o += (i ? ",{" : "{") + std::string("\"name\":") + jstr(c.name) +
                     ",\"label\":" + jstr(c.label) + ",\"format\":" + jstr(columnFormat(c, t)) +
                     "}";
            }
            o += "],\"rows\":[";
            for (size_t r = 0; r < n.rows.size(); ++r) {
                o += r ? ",{" : "{";
                for (size_t i = 0; i < n.columns.size() && i < n.rows[r].size(); ++i)
                    o += (i ? "," : "") + jstr(n.columns[i].name) + ":" + jvalue(n.rows[r][i]);
                o += "}";
            }
            // The path names the table in the graphs' data lists.
            o += "],\"path\":" + jstr(n.path) + "}";
            // A note printed with the table follows it as an item of its own.
            if (!n.note.empty())
                o += ",{\"kind\":\"note\",\"text\":" + jstr(n.note) + "}";
            break;
        }
        case Node::Matrix: {
            o += "{\"kind\":\"matrix\",\"name\":" + jstr(n.name) +
                 ",\"template\":" + jstr(n.templ) + ",\"label\":" + jstr(n.label) +
                 ",\"rowHeader\":" + jstr(n.rowHeader) + ",\"rowLabels\":[";
            for (size_t i = 0; i < n.rowLabels.size(); ++i)
                o += (i ? "," : "") + jstr(n.rowLabels[i]);
            o += "],\"colLabels\":[";
            for (size_t i = 0; i < n.colLabels.size(); ++i)
                o += (i ? "," : "") + jstr(n.colLabels[i]);
            o += "],\"values\":[";
            for (int r = 0; r < n.nrows; ++r) {
                o += r ? ",[" : "[";
                for (int c = 0; c < n.ncols; ++c) {
                    Cell v;
                    v.d = n.values[static_cast<size_t>(r) * n.ncols + c];
                    o += (c ? "," : "") + jvalue(v);
                }
                o += "]";
            }
            o += "]}";
            break;
        }
        case Node::Note:
            o += "{\"kind\":\"note\",\"text\":" + jstr(n.text) + "}";
            break;
        case Node::Graph:
            o += "{\"kind\":\"graph\",\"name\":" + jstr(n.name) + ",\"template\":" + jstr(n.templ) +
                 ",\"label\":" + jstr(n.label) + ",\"dynamics\":" + jdynamics(n.dynamics) +
                 ",\"data\":[";
            for (size_t i = 0; i < n.data.size(); ++i)
                o += (i ? "," : "") + jstr(n.data[i]);
            o += "]}";
            break;
        case Node::Page:
            break;
        }
    }
}

} // namespace

namespace
{

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
            return true;
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

} // namespace

void setListingCentred(bool on)
{
    centring = on;
}

std::vector<std::string> renderListing(const StepDoc& step, int lineSize,
                                       const std::vector<std::string>& titles)
{
    std::vector<std::vector<std::string>> headers;
    std::vector<int> repeat;
    return renderListing(step, lineSize, titles, headers, repeat);
}

std::vector<std::string> renderListing(const StepDoc& step, int lineSize,
                                       const std::vector<std::string>& titles,
                                       std::vector<std::vector<std::string>>& headers,
                                       std::vector<int>& repeat)
{
    ListingWriter w{lineSize > 0 ? lineSize : 100, {}, {}, {}, {}};
    if (!listed(step.items)) {
        headers.clear();
        repeat.clear();
        return {};
    }
    for (const std::string& t : titles)
        if (!t.empty())
            w.out.push_back(centre(t, w.lineSize));
    if (!step.title.empty()) {
        w.blank();
        w.out.push_back(centre(step.title, w.lineSize));
    }
    w.items(step.items);
    w.repeat.resize(w.out.size(), -1);
    headers = std::move(w.headers);
    repeat = std::move(w.repeat);
    return w.out;
}

std::string renderHtml(const std::vector<StepDoc>& steps, const std::vector<std::string>& titles)
{
    std::string o = "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>";
    std::string first;
    for (const std::string& t : titles)
        if (!t.empty()) {
            first = t;
            break;
        }
    // Steps that carry their own titles show them in their sections; the
    // page title is then the first step's.
    bool headed = false;
    for (const StepDoc& st : steps)
        headed = headed || st.headed;
    if (headed) {
        first.clear();
        for (const StepDoc& st : steps)
            for (const std::string& t : st.titles)
                if (first.empty() && !t.empty())
                    first = t;
    }
    o += esc(first.empty() ? std::string("Results") : first) + "</title>\n";
    o += "<style>\n"
         "body{font-family:sans-serif;margin:2em;color:#111}\n"
         "h1,h2{text-align:center;font-weight:normal}\n"
         "table.result{border-collapse:collapse;margin:1.2em auto}\n"
         "table.result caption{font-weight:bold;padding:.4em}\n"
         "table.result th,table.result td{border:1px solid #bbb;padding:.2em .6em}\n"
         "table.result th{background:#eef}\n"
         "td.n{text-align:right;font-variant-numeric:tabular-nums}\n"
         "tr.total td{border-top:2px solid #555;font-weight:bold}\n"
         "p.note,p.heading,p.footnote{text-align:center}\n"
         "section.bygroup h3{text-align:center;border-bottom:1px solid #ccc}\n"
         "</style>\n</head>\n<body>\n";
    for (const std::string& t : titles)
        if (!t.empty() && !headed)
            o += "<h1>" + esc(t) + "</h1>\n";
    for (size_t k = 0; k < steps.size(); ++k) {
        const StepDoc& s = steps[k];
        o += "<section class=\"step\" data-proc=\"" + esc(s.proc) + "\">\n";
        for (const std::string& t : s.titles)
            if (!t.empty())
                o += "<h1>" + esc(t) + "</h1>\n";
        if (!s.title.empty())
            o += "<h2>" + esc(s.title) + "</h2>\n";
        std::string heading;
        htmlItems(o, s.items, heading, k == 0 ? std::string() : "Step" + std::to_string(k + 1) + ".");
        for (const std::string& f : s.footnotes)
            if (!f.empty())
                o += "<p class=\"footnote\">" + esc(f) + "</p>\n";
        o += "</section>\n";
    }
    o += "</body>\n</html>\n";
    return o;
}

std::string renderJson(const std::vector<StepDoc>& steps)
{
    std::string o = "{\"steps\":[";
    for (size_t i = 0; i < steps.size(); ++i) {
        o += (i ? ",{" : "{") + std::string("\"proc\":") + jstr(steps[i].proc) +
             ",\"rc\":" + std::to_string(steps[i].rc) + ",\"items\":[";
        jsonItems(o, steps[i].items);
        o += "]}";
    }
    return o + "]}\n";
}

} // namespace vdq

// The HTML rendering: one self-contained page, a section per step with its
// titles, tables, notes, footnotes and the messages it logged. Only what is
// visible is written: a hidden table (plot data) leaves no heading and no
// empty group behind.
#include <string>
#include <vector>

#include "host/output/render.h"

namespace vdq
{
namespace
{

constexpr size_t kRowsPerPiece = 2048;

// Whether a node shows anything on the page.
bool visible(const Node& n)
{
    switch (n.kind) {
    case Node::Table:
        return !n.hidden;
    case Node::Matrix:
    case Node::Note:
    case Node::Graph:
    case Node::Plot:
        return true;
    case Node::ByGroup:
    case Node::Group:
        for (const NodePtr& p : n.items)
            if (visible(*p))
                return true;
        return false;
    default:
        return false;
    }
}

struct HtmlWriter {
    TextSink& out;
    std::string idPrefix; // keeps table ids unique across the steps of a page
    std::string heading;
    std::string buf;

    void flush()
    {
        out.write(buf);
        buf.clear();
    }

    void table(const Node& n)
    {
        const TableTemplate* t = findTemplate(n.templ);
        const std::vector<size_t> shownCols = shownColumns(n.columns, t, n.dynamics);
        std::vector<CellStyle> styles;
        std::vector<char> numeric;
        for (size_t i : shownCols) {
            styles.push_back(cellStyle(n.columns[i], t));
            numeric.push_back(n.columns[i].numeric);
        }
        int control = -1;
        for (size_t i = 0; i < n.columns.size() && control < 0; ++i)
            if (n.columns[i].type == 1)
                control = static_cast<int>(i);
        buf += "<table class=\"result\" id=\"";
        appendHtml(buf, idPrefix + n.path);
        buf += "\">\n<caption>";
        appendHtml(buf, tableTitle(n, t));
        buf += "</caption>\n<thead><tr>";
        for (size_t i : shownCols) {
            buf += "<th>";
            appendHtml(buf, columnHeader(n.columns[i], t));
            buf += "</th>";
        }
        buf += "</tr></thead>\n<tbody>\n";
        flush();
        renderInPieces(
            n.rows.size(), kRowsPerPiece,
            [&](size_t first, size_t end, std::string& o) {
                std::string cell;
                for (size_t r = first; r < end; ++r) {
                    const size_t c = static_cast<size_t>(control);
                    const bool total = control >= 0 && c < n.rows.width(r) &&
                                       n.rows.kind(r, c) == Cell::Text && n.rows.text(r, c) == "-";
                    o.append(total ? std::string_view("<tr class=\"total\">")
                                   : std::string_view("<tr>"));
                    for (size_t j = 0; j < shownCols.size(); ++j) {
                        cell.clear();
                        appendCell(cell, styles[j], n.rows, r, shownCols[j]);
                        o.append(numeric[j] ? std::string_view("<td class=\"n\">")
                                            : std::string_view("<td>"));
                        appendHtml(o, cell);
                        o.append(std::string_view("</td>"));
                    }
                    o.append(std::string_view("</tr>\n"));
                }
            },
            [&](const std::string& piece) { out.write(piece); });
        buf += "</tbody>\n</table>\n";
        if (!n.note.empty()) {
            buf += "<p class=\"note\">";
            appendHtml(buf, n.note);
            buf += "</p>\n";
        }
    }

    void matrix(const Node& n)
    {
        const CellStyle style; // the automatic format
        buf += "<table class=\"result\" id=\"";
        appendHtml(buf, idPrefix + n.path);
        buf += "\">\n<caption>";
        appendHtml(buf, n.label.empty() ? n.name : n.label);
        buf += "</caption>\n<thead><tr><th>";
        appendHtml(buf, n.rowHeader);
        buf += "</th>";
        for (int c = 0; c < n.ncols; ++c) {
            buf += "<th>";
            appendHtml(buf, c < static_cast<int>(n.colLabels.size())
                                ? n.colLabels[static_cast<size_t>(c)]
                                : std::to_string(c + 1));
            buf += "</th>";
        }
        buf += "</tr></thead>\n<tbody>\n";
        std::string cell;
        for (int r = 0; r < n.nrows; ++r) {
            buf += "<tr><th>";
            appendHtml(buf, r < static_cast<int>(n.rowLabels.size())
                                ? n.rowLabels[static_cast<size_t>(r)]
                                : std::to_string(r + 1));
            buf += "</th>";
            for (int c = 0; c < n.ncols; ++c) {
                cell.clear();
                appendNumberText(cell, style, n.values[static_cast<size_t>(r) * n.ncols + c]);
                buf += "<td class=\"n\">";
                appendHtml(buf, cell);
                buf += "</td>";
            }
            buf += "</tr>\n";
            if (buf.size() > (1u << 20))
                flush();
        }
        buf += "</tbody>\n</table>\n";
    }

    void items(const std::vector<NodePtr>& list)
    {
        for (const NodePtr& p : list) {
            const Node& n = *p;
            if (!visible(n))
                continue;
            if (n.kind != Node::ByGroup && n.kind != Node::Group && n.heading != heading) {
                heading = n.heading;
                if (!heading.empty()) {
                    buf += "<p class=\"heading\">";
                    appendHtml(buf, heading);
                    buf += "</p>\n";
                }
            }
            switch (n.kind) {
            case Node::ByGroup:
                heading.clear();
                buf += "<section class=\"bygroup\">\n<h3>";
                appendHtml(buf, n.label);
                buf += "</h3>\n";
                items(n.items);
                buf += "</section>\n";
                break;
            case Node::Group:
                buf += "<div class=\"group\" data-name=\"";
                appendHtml(buf, n.name);
                buf += "\">\n";
                items(n.items);
                buf += "</div>\n";
                break;
            case Node::Table:
                table(n);
                break;
            case Node::Matrix:
                matrix(n);
                break;
            case Node::Note:
                buf += "<p class=\"note\">";
                appendHtml(buf, n.text);
                buf += "</p>\n";
                break;
            case Node::Graph:
                // The SVG inline, so that the page stays one file; a graph
                // that could not be drawn says why.
                buf += "<figure class=\"graph\" data-template=\"";
                appendHtml(buf, n.templ);
                buf += "\">\n";
                if (!n.svg.empty()) {
                    buf += n.svg;
                } else if (!n.drawNote.empty()) {
                    buf += "<p class=\"note\">";
                    appendHtml(buf, "The graph is not drawn: " + n.drawNote + ".");
                    buf += "</p>\n";
                }
                buf += "<figcaption>";
                appendHtml(buf, n.label.empty() ? n.name : n.label);
                buf += "</figcaption></figure>\n";
                flush();
                break;
            case Node::Plot:
                // A line-printer plot: its lines as preformatted text.
                buf += "<figure class=\"lpplot\" data-name=\"";
                appendHtml(buf, n.name);
                buf += "\"><figcaption>";
                appendHtml(buf, n.label.empty() ? n.name : n.label);
                buf += "</figcaption>\n<pre>";
                for (const std::string& l : n.lines) {
                    appendHtml(buf, l);
                    buf += "\n";
                }
                buf += "</pre></figure>\n";
                break;
            case Node::Page:
                break;
            }
        }
    }
};

const char* const kSeverityClass[] = {"note", "error", "warning", "note"};
const char* const kSeverityWord[] = {"NOTE", "ERROR", "WARNING", "NOTE"};

void messageList(std::string& o, const std::vector<Message>& messages)
{
    if (messages.empty())
        return;
    o += "<ul class=\"messages\">\n";
    for (const Message& m : messages) {
        const int s = m.severity >= 1 && m.severity <= 3 ? m.severity : 3;
        o += "<li class=\"";
        o += kSeverityClass[s];
        o += "\">";
        if (m.number != 0) {
            o += "<span class=\"number\">";
            o += std::to_string(m.group) + "-" + std::to_string(m.number);
            o += "</span> ";
        }
        o += kSeverityWord[s];
        o += ": ";
        appendHtml(o, m.text);
        o += "</li>\n";
    }
    o += "</ul>\n";
}

} // namespace

std::string htmlPageTitle(const StepDoc* first, const std::vector<std::string>& titles)
{
    const std::vector<std::string>& from = first && first->headed ? first->titles : titles;
    for (const std::string& t : from)
        if (!t.empty())
            return t;
    return "Results";
}

void htmlHead(TextSink& out, const std::string& pageTitle, const std::vector<std::string>& titles)
{
    std::string o = "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>";
    appendHtml(o, pageTitle);
    o += "</title>\n";
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
         "ul.messages{list-style:none;font-family:monospace;padding:0}\n"
         "ul.messages li.error{color:#a00}\n"
         "ul.messages li.warning{color:#850}\n"
         "ul.messages span.number{color:#666}\n"
         "figure.graph{margin:1.5em auto;text-align:center}\n"
         "figure.graph svg{max-width:100%;height:auto}\n"
         "figure.graph figcaption{font-size:.9em;color:#444}\n"
         "</style>\n</head>\n<body>\n";
    for (const std::string& t : titles)
        if (!t.empty()) {
            o += "<h1>";
            appendHtml(o, t);
            o += "</h1>\n";
        }
    out.write(o);
}

void htmlStep(TextSink& out, const StepDoc& step, size_t index)
{
    HtmlWriter w{
        out, index == 0 ? std::string() : "Step" + std::to_string(index + 1) + ".", {}, {}};
    w.buf += "<section class=\"step\" data-proc=\"";
    appendHtml(w.buf, step.proc);
    w.buf += "\">\n";
    for (const std::string& t : step.titles)
        if (!t.empty()) {
            w.buf += "<h1>";
            appendHtml(w.buf, t);
            w.buf += "</h1>\n";
        }
    if (!step.title.empty()) {
        w.buf += "<h2>";
        appendHtml(w.buf, step.title);
        w.buf += "</h2>\n";
    }
    w.items(step.items);
    for (const std::string& f : step.footnotes)
        if (!f.empty()) {
            w.buf += "<p class=\"footnote\">";
            appendHtml(w.buf, f);
            w.buf += "</p>\n";
        }
    w.flush();
}

void htmlStepEnd(TextSink& out, const std::vector<Message>& messages)
{
    std::string o;
    messageList(o, messages);
    o += "</section>\n";
    out.write(o);
}

void htmlTail(TextSink& out, const std::vector<Message>& messages)
{
    std::string o;
    messageList(o, messages);
    o += "</body>\n</html>\n";
    out.write(o);
}

std::string renderHtml(const std::vector<StepDoc>& steps, const std::vector<std::string>& titles)
{
    StringSink s;
    bool headed = false;
    for (const StepDoc& st : steps)
        headed = headed || st.headed;
    htmlHead(s, htmlPageTitle(steps.empty() ? nullptr : &steps[0], titles),
             headed ? std::vector<std::string>() : titles);
    for (size_t k = 0; k < steps.size(); ++k) {
        htmlStep(s, steps[k], k);
        htmlStepEnd(s, steps[k].messages);
    }
    htmlTail(s, {});
    return s.out;
}

} // namespace vdq

// The JSON rendering of a step's document, for scripts and tests. Every
// value keeps one type down a column and across the step's tables: numbers
// are numbers (the shortest text that reads back as the same double), a
// missing value is null (a special missing value the string ".A"), a Total
// marker is null (the row's control column says it is a total row), and a
// text column that only restates a numeric variable's values through its
// format (the strata column of the test tables) gives those values. A
// footnote marker ending a cell's text is written as the row's "footnote"
// field. Hidden tables (plot data) are left out unless shown (PRINTPHANTOM).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/output/render.h"
#include "vyr_format.h"
#include "vyr_missing.h"

namespace vdq
{
namespace
{

uint64_t bitsOf(double d)
{
    uint64_t v;
    std::memcpy(&v, &d, sizeof v);
    return v;
}

double doubleOf(uint64_t v)
{
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

std::string_view trimmed(std::string_view s)
{
    size_t a = s.find_first_not_of(' ');
    if (a == std::string_view::npos)
        return std::string_view();
    size_t b = s.find_last_not_of(' ');
    return s.substr(a, b - a + 1);
}

void appendNumberValue(std::string& out, double d)
{
    if (!wzmis(d)) {
        appendJsonNumber(out, d);
        return;
    }
    // The Total marker and the emptied slot are special missing values.
    if (isTotalMarker(d) || isEmptiedSlot(d)) {
        out += "null";
        return;
    }
    {
        char c = missingLetter(d);
        if (c) {
            char s[3] = {'.', c, 0};
            appendJsonString(out, s);
        } else {
            out += "null";
        }
        return;
    }
    appendJsonNumber(out, d);
}

void forEachTable(const std::vector<NodePtr>& items, const std::function<void(const Node&)>& f)
{
    for (const NodePtr& p : items) {
        if (p->kind == Node::Table)
            f(*p);
        else if (p->kind == Node::Group || p->kind == Node::ByGroup)
            forEachTable(p->items, f);
    }
}

// Numeric values of the data set variables that text columns of the step
// restate through their formats: for each such text column, the number each
// of its texts stands for.
class VariableValues
{
  public:
    explicit VariableValues(const StepDoc& step)
    {
        forEachTable(step.items, [&](const Node& n) {
            for (size_t i = 0; i < n.columns.size(); ++i)
                if (n.columns[i].numeric && n.columns[i].variable)
                    sources_[n.columns[i].name].push_back({&n, i});
        });
        if (sources_.empty())
            return;
        forEachTable(step.items, [&](const Node& n) {
            if (n.hidden)
                return;
            for (size_t i = 0; i < n.columns.size(); ++i)
                if (!n.columns[i].numeric && sources_.count(n.columns[i].name))
                    convert(n, i);
        });
    }

    using Texts = std::unordered_map<std::string, uint64_t>;

    // The numbers the texts of column `col` of table `n` stand for; null
    // when the column stays text.
    const Texts* numbers(const Node& n, size_t col) const
    {
        auto it = columns_.find(key(n, col));
        return it == columns_.end() ? nullptr : &it->second;
    }

  private:
    struct Source {
        const Node* table;
        size_t col;
    };

    static std::string key(const Node& n, size_t col)
    {
        return std::to_string(reinterpret_cast<uintptr_t>(&n)) + ":" + std::to_string(col);
    }

    // The texts a value can show as: under the variable's format, the
    // host's automatic format, and the missing-value forms.
    static void renderings(const Column& c, double d, std::vector<std::string>& out)
    {
        out.clear();
        if (wzmis(d)) {
            char l = missingLetter(d);
            out.push_back(l ? std::string(1, l) : std::string("."));
            out.push_back(l ? std::string(".") + l : std::string("."));
            return;
        }
        std::string fmt = columnFormat(c, nullptr);
        if (!fmt.empty())
            out.push_back(std::string(trimmed(vyr::fmt::format_number(d, fmt))));
        std::string best;
        appendBest(best, d, 12);
        out.push_back(best);
    }

    // Maps every text of column `col` of `n` to a number, when each text is
    // one value of the variable and no text could be two different values.
    void convert(const Node& n, size_t col)
    {
        std::map<std::string, int> wanted; // text -> 0 not found, 1 found, 2 ambiguous
        for (size_t r = 0; r < n.rows.size(); ++r) {
            if (col >= n.rows.width(r))
                return;
            if (n.rows.kind(r, col) != Cell::Text)
                return;
            std::string_view t = trimmed(n.rows.text(r, col));
            if (t.empty())
                return;
            wanted.emplace(std::string(t), 0);
        }
        if (wanted.empty())
            return;
        std::vector<Source> src = sources_[n.columns[col].name];
        std::sort(src.begin(), src.end(), [](const Source& a, const Source& b) {
            return a.table->rows.size() < b.table->rows.size();
        });
        Texts found;
        std::vector<std::string> forms;
        size_t remaining = wanted.size();
        for (const Source& s : src) {
            uint64_t last = 0;
            bool haveLast = false;
            for (size_t r = 0; r < s.table->rows.size(); ++r) {
                if (s.col >= s.table->rows.width(r) || s.table->rows.kind(r, s.col) != Cell::Number)
                    continue;
                const double d = s.table->rows.number(r, s.col);
                if (isTotalMarker(d) || isEmptiedSlot(d))
                    continue;
                const uint64_t bits = bitsOf(d);
                if (haveLast && bits == last)
                    continue;
                last = bits;
                haveLast = true;
                renderings(s.table->columns[s.col], d, forms);
                for (const std::string& f : forms) {
                    auto w = wanted.find(f);
                    if (w == wanted.end())
                        continue;
                    auto [at, fresh] = found.emplace(f, bits);
                    if (fresh) {
                        w->second = 1;
                        --remaining;
                    } else if (at->second != bits) {
                        return; // one text, two values: keep the texts
                    }
                }
            }
            if (remaining == 0)
                break;
        }
        if (remaining == 0)
            columns_[key(n, col)] = std::move(found);
    }

    std::map<std::string, std::vector<Source>> sources_;
    std::unordered_map<std::string, Texts> columns_;
};

// A marker that a table's note explains: the note's first character when it
// is followed by a blank and is not a letter or digit ("* At least one ...").
char footnoteMarker(const Node& n)
{
    if (n.note.size() < 3 || n.note[1] != ' ')
        return 0;
    unsigned char c = static_cast<unsigned char>(n.note[0]);
    return c > 0x20 && c < 0x7F && !std::isalnum(c) ? static_cast<char>(c) : 0;
}

struct JsonWriter {
    TextSink& out;
    VariableValues values;
    std::string buf;

    JsonWriter(TextSink& o, const StepDoc& step) : out(o), values(step) {}

    void flush()
    {
        out.write(buf);
        buf.clear();
    }

    static std::string jsonColumnFormat(const Column& c, const TableTemplate* t)
    {
        std::string f = columnFormat(c, t);
        if (c.numeric || f.empty() || f[0] == '$')
            return f;
        // A text column's width, as the listing gives it room.
        if (c.width > 0 && c.format.empty())
            return "$" + std::to_string(c.width) + ".";
        return std::isdigit(static_cast<unsigned char>(f[0])) ? std::string() : f;
    }

    void table(const Node& n)
    {
        const TableTemplate* t = findTemplate(n.templ);
        buf += "{\"kind\":\"table\",\"name\":";
        appendJsonString(buf, n.name);
        buf += ",\"template\":";
        appendJsonString(buf, n.templ);
        // The title the listing and the page show, so that a table reads
        // the same in every output.
        buf += ",\"label\":";
        appendJsonString(buf, tableTitle(n, t));
        buf += ",\"hidden\":";
        buf += n.hidden ? "true" : "false";
        buf += ",\"columns\":[";
        std::vector<std::string> keys;
        std::vector<const VariableValues::Texts*> numbers(n.columns.size());
        for (size_t i = 0; i < n.columns.size(); ++i) {
            numbers[i] = values.numbers(n, i);
            const Column& c = n.columns[i];
            buf += i ? ",{\"name\":" : "{\"name\":";
            appendJsonString(buf, c.name);
            // The header the listing and the page show, and a character
            // format for a column of text (its width alone would read as a
            // number format).
            buf += ",\"label\":";
            appendJsonString(buf, columnShown(c, t) ? columnHeader(c, t) : c.label);
            buf += ",\"format\":";
            appendJsonString(buf, jsonColumnFormat(c, t));
            buf += "}";
            std::string k;
            appendJsonString(k, c.name);
            keys.push_back(k + ":");
        }
        buf += "],\"rows\":[";
        flush();
        const char marker = footnoteMarker(n);
        std::string footnote;
        if (marker) {
            appendJsonString(footnote, std::string_view(n.note).substr(2));
            footnote = ",\"footnote\":" + footnote;
        }
        renderInPieces(
            n.rows.size(), 2048,
            [&](size_t first, size_t end, std::string& o) {
                for (size_t r = first; r < end; ++r)
                    row(o, n, r, keys, numbers, marker, footnote);
            },
            [&](const std::string& piece) { out.write(piece); });
        // The path names the table in the graphs' data lists.
        buf += "],\"path\":";
        appendJsonString(buf, n.path);
        buf += "}";
        // A note printed with the table follows it as an item of its own.
        if (!n.note.empty()) {
            buf += ",{\"kind\":\"note\",\"text\":";
            appendJsonString(buf, n.note);
            buf += "}";
        }
    }

    static void row(std::string& o, const Node& n, size_t r, const std::vector<std::string>& keys,
                    const std::vector<const VariableValues::Texts*>& numbers, char marker,
                    const std::string& footnote)
    {
        o += r ? ",{" : "{";
        bool marked = false;
        const size_t w = std::min(n.columns.size(), n.rows.width(r));
        for (size_t i = 0; i < w; ++i) {
            if (i)
                o.push_back(',');
            o += keys[i];
            const CellView v = n.rows.view(r, i);
            if (v.kind != Cell::Text) {
                appendNumberValue(o, v.d);
                continue;
            }
            std::string_view text = v.s;
            if (numbers[i]) {
                auto v = numbers[i]->find(std::string(trimmed(text)));
                if (v != numbers[i]->end()) {
                    appendNumberValue(o, doubleOf(v->second));
                    continue;
                }
            }
            if (marker && text.size() > 1 && text.back() == marker) {
                text.remove_suffix(1);
                marked = true;
            }
            appendJsonString(o, text);
        }
        if (marked)
            o += footnote;
        o.push_back('}');
    }

    void matrix(const Node& n)
    {
        buf += "{\"kind\":\"matrix\",\"name\":";
        appendJsonString(buf, n.name);
        buf += ",\"template\":";
        appendJsonString(buf, n.templ);
        buf += ",\"label\":";
        appendJsonString(buf, n.label);
        buf += ",\"rowHeader\":";
        appendJsonString(buf, n.rowHeader);
        buf += ",\"rowLabels\":[";
        for (size_t i = 0; i < n.rowLabels.size(); ++i) {
            if (i)
                buf.push_back(',');
            appendJsonString(buf, n.rowLabels[i]);
        }
        buf += "],\"colLabels\":[";
        for (size_t i = 0; i < n.colLabels.size(); ++i) {
            if (i)
                buf.push_back(',');
            appendJsonString(buf, n.colLabels[i]);
        }
        buf += "],\"values\":[";
        for (int r = 0; r < n.nrows; ++r) {
            buf += r ? ",[" : "[";
            for (int c = 0; c < n.ncols; ++c) {
                if (c)
                    buf.push_back(',');
                appendNumberValue(buf, n.values[static_cast<size_t>(r) * n.ncols + c]);
            }
            buf += "]";
            if (buf.size() > (1u << 20))
                flush();
        }
        buf += "]}";
    }

    void group(const Node& n)
    {
        buf += "{\"kind\":\"group\",\"name\":";
        appendJsonString(buf, n.name);
        buf += ",\"label\":";
        appendJsonString(buf, n.label);
        if (n.kind == Node::ByGroup && !n.byValues.empty()) {
            buf += ",\"by\":{";
            for (size_t i = 0; i < n.byValues.size(); ++i) {
                const Dynamic& v = n.byValues[i];
                if (i)
                    buf.push_back(',');
                appendJsonString(buf, v.name);
                buf.push_back(':');
                if (v.numeric)
                    appendNumberValue(buf, v.d);
                else
                    appendJsonString(buf, v.text);
            }
            buf += "}";
        }
        buf += ",\"items\":[";
        items(n.items);
        buf += "]}";
    }

    void items(const std::vector<NodePtr>& list)
    {
        bool first = true;
        for (const NodePtr& p : list) {
            const Node& n = *p;
            if (n.kind == Node::Page || (n.kind == Node::Table && n.hidden))
                continue;
            if (!first)
                buf += ",";
            first = false;
            switch (n.kind) {
            case Node::ByGroup:
            case Node::Group:
                group(n);
                break;
            case Node::Table:
                table(n);
                break;
            case Node::Matrix:
                matrix(n);
                break;
            case Node::Note:
                buf += "{\"kind\":\"note\",\"text\":";
                appendJsonString(buf, n.text);
                buf += "}";
                break;
            case Node::Graph:
                graph(n);
                break;
            case Node::Plot:
                // A line-printer plot keeps its lines as text.
                buf += "{\"kind\":\"plot\",\"name\":";
                appendJsonString(buf, n.name);
                buf += ",\"label\":";
                appendJsonString(buf, n.label);
                buf += ",\"lines\":[";
                for (size_t i = 0; i < n.lines.size(); ++i) {
                    if (i)
                        buf += ",";
                    appendJsonString(buf, n.lines[i]);
                }
                buf += "]}";
                break;
            case Node::Page:
                break;
            }
        }
    }

    void graph(const Node& n)
    {
        buf += "{\"kind\":\"graph\",\"name\":";
        appendJsonString(buf, n.name);
        buf += ",\"template\":";
        appendJsonString(buf, n.templ);
        buf += ",\"label\":";
        appendJsonString(buf, n.label);
        buf += ",\"dynamics\":{";
        for (size_t i = 0; i < n.dynamics.size(); ++i) {
            const Dynamic& d = n.dynamics[i];
            if (i)
                buf.push_back(',');
            appendJsonString(buf, d.name);
            buf.push_back(':');
            if (d.numeric)
                appendJsonNumber(buf, d.d);
            else
                appendJsonString(buf, d.text);
        }
        // The plot-data tables it is drawn from (a table joined from several
        // strata's tables names them), its file and images, or why it was
        // not drawn; never the SVG text.
        std::vector<std::string> data;
        for (const NodePtr& s : n.sources) {
            if (s->parts.empty())
                data.push_back(s->path);
            for (const NodePtr& p : s->parts)
                data.push_back(p->path);
        }
        if (n.sources.empty())
            data = n.data;
        buf += "},\"data\":[";
        for (size_t i = 0; i < data.size(); ++i) {
            if (i)
                buf.push_back(',');
            appendJsonString(buf, data[i]);
        }
        buf += "]";
        if (!n.file.empty()) {
            buf += ",\"file\":";
            appendJsonString(buf, n.file);
        }
        if (!n.images.empty()) {
            buf += ",\"images\":[";
            for (size_t i = 0; i < n.images.size(); ++i) {
                if (i)
                    buf.push_back(',');
                appendJsonString(buf, n.images[i]);
            }
            buf += "]";
        }
        if (n.svg.empty() && !n.drawNote.empty()) {
            buf += ",\"drawn\":false,\"note\":";
            appendJsonString(buf, n.drawNote);
        }
        buf += "}";
    }
};

const char* severityName(int s)
{
    return s == 1 ? "error" : s == 2 ? "warning" : "note";
}

void appendMessages(std::string& o, const std::vector<Message>& messages)
{
    o += "\"messages\":[";
    for (size_t i = 0; i < messages.size(); ++i) {
        const Message& m = messages[i];
        o += i ? ",{\"severity\":\"" : "{\"severity\":\"";
        o += severityName(m.severity);
        o += "\",\"group\":";
        o += m.number ? std::to_string(m.group) : std::string("null");
        o += ",\"number\":";
        o += m.number ? std::to_string(m.number) : std::string("null");
        o += ",\"text\":";
        appendJsonString(o, m.text);
        o += "}";
    }
    o += "]";
}

} // namespace

void jsonHead(TextSink& out)
{
    out.write("{\"steps\":[");
}

void jsonStep(TextSink& out, const StepDoc& step, bool first)
{
    JsonWriter w(out, step);
    w.buf += first ? "{\"proc\":" : ",{\"proc\":";
    appendJsonString(w.buf, step.proc);
    w.buf += ",\"items\":[";
    w.items(step.items);
    w.buf += "]";
    w.flush();
}

void jsonStepEnd(TextSink& out, const std::vector<Message>& messages, int rc)
{
    std::string o = ",";
    appendMessages(o, messages);
    o += ",\"rc\":" + std::to_string(rc) + "}";
    out.write(o);
}

void jsonTail(TextSink& out, const std::vector<Message>& messages)
{
    std::string o = "],";
    appendMessages(o, messages);
    o += "}\n";
    out.write(o);
}

std::string renderJson(const std::vector<StepDoc>& steps)
{
    StringSink s;
    jsonHead(s);
    for (size_t i = 0; i < steps.size(); ++i) {
        jsonStep(s, steps[i], i == 0);
        jsonStepEnd(s, steps[i].messages, steps[i].rc);
    }
    jsonTail(s, {});
    return s.out;
}

} // namespace vdq

// The SVG writer: text stays <text>, coordinates have at most two decimals,
// every id carries the graph's prefix, styles are presentation attributes (a
// graph looks the same inline, standalone or rasterised), and nothing in the
// output depends on when or where it was made.
#include <charconv>
#include <cmath>
#include <cstdio>

#include "host/graphics/canvas.h"
#include "vyr_text.h"

namespace vgr
{
namespace
{

// Text for XML: valid UTF-8 without the characters XML 1.0 forbids
// (vyr::write_text under Controls::Drop), markup characters as entities.
void appendXml(std::string& o, std::string_view s)
{
    std::string clean;
    if (vyr::text_needs_care(s, vyr::Controls::Drop)) {
        vyr::write_text(clean, s, vyr::Controls::Drop);
        s = clean;
    }
    for (const char c : s) {
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
}

// Ids and classes keep letters, digits, '-' and '_' only.
std::string token(std::string_view s)
{
    std::string t;
    for (char c : s)
        t.push_back((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '_'
                        ? c
                        : '-');
    return t;
}

void attr(std::string& o, const char* name, std::string_view value)
{
    o += ' ';
    o += name;
    o += "=\"";
    appendXml(o, value);
    o += '"';
}

void attr(std::string& o, const char* name, double value)
{
    attr(o, name, svgNumber(value));
}

void strokeAttrs(std::string& o, const Stroke* s)
{
    if (!s || s->color.empty()) {
        attr(o, "stroke", "none");
        return;
    }
    attr(o, "stroke", s->color);
    if (s->width != 1)
        attr(o, "stroke-width", s->width);
    if (!s->dash.empty())
        attr(o, "stroke-dasharray", s->dash);
    if (s->opacity < 1)
        attr(o, "stroke-opacity", s->opacity);
}

void fillAttrs(std::string& o, const Fill* f)
{
    if (!f || f->color.empty()) {
        attr(o, "fill", "none");
        return;
    }
    attr(o, "fill", f->color);
    if (f->opacity < 1)
        attr(o, "fill-opacity", f->opacity);
}

// A path's outline as the "d" attribute writes it: commands and numbers
// only, which need no escaping, appended where the text is being written.
void appendPathData(std::string& o, const Path& p)
{
    for (const Path::Cmd& c : p.cmds) {
        if (c.op == Path::Close) {
            o += 'Z';
            continue;
        }
        o += c.op == Path::Move ? 'M' : 'L';
        appendSvgNumber(o, c.p.x);
        o += ' ';
        appendSvgNumber(o, c.p.y);
    }
}

std::string pathData(const Path& p)
{
    std::string d;
    appendPathData(d, p);
    return d;
}

} // namespace

void appendSvgNumber(std::string& o, double v)
{
    if (!std::isfinite(v))
        v = 0;
    // Two decimals, rounded as printf's "%.2f" rounds them (to_chars with a
    // precision is defined so), without printf's cost: a graph across many
    // strata writes millions of numbers. Trailing zeros and a bare point go.
    char buf[328]; // room for the largest double in full
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2);
    const char* e = r.ptr;
    while (e[-1] == '0')
        --e;
    if (e[-1] == '.')
        --e;
    if (e - buf == 2 && buf[0] == '-' && buf[1] == '0')
        o += '0';
    else
        o.append(static_cast<const char*>(buf), e);
}

std::string svgNumber(double v)
{
    std::string s;
    appendSvgNumber(s, v);
    return s;
}

Path markerPath(Marker shape, double x, double y, double size)
{
    const double h = size / 2;
    Path p;
    switch (shape) {
    case Marker::Plus:
        p.moveTo(x - h, y).lineTo(x + h, y).moveTo(x, y - h).lineTo(x, y + h);
        break;
    case Marker::Cross:
        p.moveTo(x - h, y - h).lineTo(x + h, y + h).moveTo(x - h, y + h).lineTo(x + h, y - h);
        break;
    case Marker::Square:
        p.rect(x - h, y - h, size, size);
        break;
    case Marker::Triangle:
        p.moveTo(x, y - h).lineTo(x + h, y + h).lineTo(x - h, y + h).close();
        break;
    case Marker::Diamond:
        p.moveTo(x, y - h).lineTo(x + h, y).lineTo(x, y + h).lineTo(x - h, y).close();
        break;
    case Marker::Circle:
    case Marker::Dot: {
        // An octagon reads as a circle at marker sizes and keeps the path
        // to straight segments.
        const double k = h * 0.41421356;
        p.moveTo(x - k, y - h)
            .lineTo(x + k, y - h)
            .lineTo(x + h, y - k)
            .lineTo(x + h, y + k)
            .lineTo(x + k, y + h)
            .lineTo(x - k, y + h)
            .lineTo(x - h, y + k)
            .lineTo(x - h, y - k)
            .close();
        break;
    }
    }
    return p;
}

SvgCanvas::SvgCanvas(double width, double height, std::string idPrefix, std::string_view title)
    : Canvas(width, height), prefix_(token(idPrefix)), title_(title)
{
}

// The document's start, with the size as it stands when it is finished.
std::string SvgCanvas::header() const
{
    std::string h = "<svg xmlns=\"http://www.w3.org/2000/svg\"";
    attr(h, "width", width());
    attr(h, "height", height());
    attr(h, "viewBox", "0 0 " + svgNumber(width()) + " " + svgNumber(height()));
    attr(h, "role", "img");
    attr(h, "aria-labelledby", prefix_ + "title");
    attr(h, "font-family", kFontFamily);
    h += " xml:space=\"preserve\">\n<title";
    attr(h, "id", prefix_ + "title");
    h += '>';
    appendXml(h, title_);
    h += "</title>\n<path class=\"background\"";
    Path bg;
    bg.rect(0, 0, width(), height());
    attr(h, "d", pathData(bg));
    const Fill white{"#ffffff", 1};
    fillAttrs(h, &white);
    strokeAttrs(h, nullptr);
    h += "/>\n";
    return h;
}

void SvgCanvas::open(std::string_view cls, std::string_view id, std::string_view clipId)
{
    out_ += "<g";
    if (!cls.empty())
        attr(out_, "class", token(cls));
    if (!id.empty())
        attr(out_, "id", prefix_ + token(id));
    if (!clipId.empty())
        attr(out_, "clip-path", "url(#" + std::string(clipId) + ")");
    out_ += ">\n";
    ++depth_;
}

void SvgCanvas::begin(std::string_view cls, std::string_view id)
{
    open(cls, id, {});
}

void SvgCanvas::beginClip(std::string_view cls, const Rect& clip)
{
    const std::string id = prefix_ + "clip" + std::to_string(++clips_);
    out_ += "<clipPath";
    attr(out_, "id", id);
    out_ += "><rect";
    attr(out_, "x", clip.x0);
    attr(out_, "y", clip.y0);
    attr(out_, "width", clip.width());
    attr(out_, "height", clip.height());
    out_ += "/></clipPath>\n";
    open(cls, {}, id);
}

void SvgCanvas::end()
{
    if (depth_ == 0)
        return;
    out_ += "</g>\n";
    --depth_;
}

void SvgCanvas::path(std::string_view cls, const Path& p, const Stroke* stroke, const Fill* fill)
{
    if (p.empty())
        return;
    out_ += "<path";
    if (!cls.empty())
        attr(out_, "class", token(cls));
    out_ += " d=\"";
    appendPathData(out_, p);
    out_ += '"';
    fillAttrs(out_, fill);
    strokeAttrs(out_, stroke);
    out_ += "/>\n";
}

void SvgCanvas::marker(std::string_view cls, Marker shape, double x, double y, double size,
                       const Stroke& stroke, const Fill* fill)
{
    path(cls, markerPath(shape, x, y, size), &stroke, fill);
}

void SvgCanvas::text(std::string_view cls, double x, double y, std::string_view s,
                     const TextStyle& style)
{
    out_ += "<text";
    if (!cls.empty())
        attr(out_, "class", token(cls));
    attr(out_, "x", x);
    attr(out_, "y", y);
    attr(out_, "font-size", style.size);
    if (style.bold)
        attr(out_, "font-weight", "bold");
    if (style.anchor != Anchor::Start)
        attr(out_, "text-anchor", style.anchor == Anchor::Middle ? "middle" : "end");
    if (style.color != "#000000")
        attr(out_, "fill", style.color);
    if (style.rotate != 0)
        attr(out_, "transform",
             "rotate(" + svgNumber(style.rotate) + " " + svgNumber(x) + " " + svgNumber(y) + ")");
    out_ += '>';
    appendXml(out_, s);
    out_ += "</text>\n";
}

std::string SvgCanvas::finish()
{
    if (!finished_) {
        while (depth_ > 0)
            end();
        out_ += "</svg>\n";
        // The header goes in front in place: a large graph's text is not
        // copied into a second string.
        out_.insert(0, header());
        finished_ = true;
    }
    return out_;
}

std::unique_ptr<Canvas> SvgCanvas::fork() const
{
    return std::make_unique<SvgCanvas>(width(), height(), prefix_, std::string_view());
}

void SvgCanvas::join(Canvas& part)
{
    auto* p = dynamic_cast<SvgCanvas*>(&part);
    if (!p || p == this)
        return;
    while (p->depth_ > 0)
        p->end();
    out_ += p->out_;
    std::string().swap(p->out_);
}

std::string SvgCanvas::take()
{
    finish();
    return std::move(out_);
}

} // namespace vgr

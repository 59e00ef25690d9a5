// The graphics kernel's laid-out parts: the page header (titles, the BY line,
// footnotes), the legend, the texts of axis values, and annotate data sets.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/graphics/gkernel.h"
#include "vyr_data.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_session.h"

using namespace vgr::gk;

namespace
{

constexpr int kGroup = 580;
constexpr int kMsgNoFunction = 25;
constexpr int kMsgBadFunction = 26;

double pctX(double pixels)
{
    return pixels * 100 / st().W;
}
double pctY(double pixels)
{
    return pixels * 100 / st().H;
}

std::string trimmed(const char* text, int len)
{
    if (!text || len <= 0)
        return std::string();
    std::string s(text, static_cast<size_t>(len));
    const size_t e = s.find_last_not_of(std::string(" \0", 2));
    if (e == std::string::npos)
        return std::string();
    s.erase(e + 1);
    const size_t b = s.find_first_not_of(' ');
    return s.substr(b);
}

// The last TITLE (or FOOTNOTE) line in force.
int linesInForce(const std::vector<std::string>& lines)
{
    int n = 0;
    for (size_t i = 0; i < lines.size(); ++i)
        if (!lines[i].empty())
            n = static_cast<int>(i) + 1;
    return n;
}

void layHeader(GWINDOW& w, int bylen, const char* byptr)
{
    State& s = st();
    s.header.clear();
    s.headerWindow = w;
    const double cell = s.H / s.vpos;
    const double avail = std::max(1.0, px(w.x2) - px(w.x1) - 2 * s.W / s.hpos);
    // A line too wide for the window is set smaller.
    auto sized = [&](const std::string& text, double size, bool bold, vgr::TextBox* box) {
        double width = vgr::TextMetrics::width(text, size, bold);
        if (width > avail)
            size *= avail / width * 0.99;
        *box = vgr::TextMetrics::measure(text, size, bold);
        return size;
    };
    double top = w.y2 - pctY(cell / 2);
    bool any = false;
    auto addTop = [&](const std::string& text, const char* cls, double size, bool bold) {
        vgr::TextBox b;
        size = sized(text, size, bold, &b);
        HeaderLine l{text, cls, top - pctY(b.ascent), size, bold};
        top = l.y - pctY(b.descent) - pctY(size * 0.3);
        s.header.push_back(l);
        any = true;
    };
    const bool titles = !(s.gz && s.gz->nogtitle);
    if (titles) {
        const std::vector<std::string>& t = vyr_titles();
        for (size_t i = 0; i < t.size(); ++i)
            if (!t[i].empty())
                addTop(t[i], "title", i == 0 ? cell * 1.25 : cell, i == 0);
    }
    const std::string by = trimmed(byptr, bylen);
    if (!by.empty())
        addTop(by, "byline", cell, false);
    if (any)
        w.y2 = std::max(w.y1, top);
    if (!(s.gz && s.gz->nogfootnote)) {
        const std::vector<std::string>& f = vyr_footnotes();
        double bottom = w.y1 + pctY(cell / 2);
        bool feet = false;
        for (int i = linesInForce(f) - 1; i >= 0; --i) {
            const std::string& text = f[static_cast<size_t>(i)];
            if (text.empty())
                continue;
            vgr::TextBox b;
            const double size = sized(text, cell, false, &b);
            HeaderLine l{text, "footnote", bottom + pctY(b.descent), size, false};
            bottom = l.y + pctY(b.ascent) + pctY(size * 0.3);
            s.header.push_back(l);
            feet = true;
        }
        if (feet)
            w.y1 = std::min(w.y2, bottom);
    }
    s.headerLaid = true;
}

// The texts of a legend's entries.
std::vector<std::string> entryTexts(const GLEGT& g, int n)
{
    std::vector<std::string> out;
    if (!g.du)
        return std::vector<std::string>(static_cast<size_t>(n));
    if (g.datatype == 'F') {
        const auto* v = static_cast<const double*>(g.du);
        std::vector<char> texts(static_cast<size_t>(n) * 32);
        long code = g.fmtcode;
        short len = g.fmtlen;
        ggbestr(v, n, texts.data(), &code, &len);
        for (int k = 0; k < n; ++k)
            out.push_back(trimmed(texts.data() + 32 * k, 32));
        return out;
    }
    const auto* d = static_cast<const GCSTR*>(g.du);
    for (int k = 0; k < n; ++k)
        out.push_back(trimmed(d[k].text, d[k].len));
    return out;
}

bool hasLine(const GSYMSTR& s)
{
    return s.itype != ' ' && s.itype != '\0' && s.itype != '0';
}

int markerOf(const GSYMSTR& s)
{
    if (s.number != 0)
        return s.number;
    return ggsymbx(s.value);
}

} // namespace

// ---------------------------------------------------------------------------
// Titles, footnotes and the BY line.

int ggtitle(int type, int* count, int index, char* cmd)
{
    if (type != 'T' && type != 'F')
        return -1;
    const std::vector<std::string>& lines = type == 'T' ? vyr_titles() : vyr_footnotes();
    if (index <= 0) {
        if (count)
            *count = linesInForce(lines);
        return 0;
    }
    if (cmd)
        *cmd = index <= static_cast<int>(lines.size()) &&
                       !lines[static_cast<size_t>(index - 1)].empty()
                   ? 'T'
                   : 'X';
    return 0;
}

int ggphdrl(int, GWINDOW* window, int bylen, const char* byptr)
{
    GWINDOW full{0, 0, 100, 100};
    GWINDOW& w = window ? *window : full;
    layHeader(w, bylen, byptr);
    return 0;
}

int ggphdr(int, const char* byptr, int bylen)
{
    State& s = st();
    if (!s.cur)
        return -1;
    if (!s.headerLaid) {
        GWINDOW full{0, 0, 100, 100};
        layHeader(full, bylen, byptr);
    }
    if (s.header.empty())
        return 0;
    endClip();
    beginGroup("header");
    const double x = px((s.headerWindow.x1 + s.headerWindow.x2) / 2);
    for (const HeaderLine& l : s.header) {
        vgr::TextStyle style;
        style.size = l.size;
        style.bold = l.bold;
        style.anchor = vgr::Anchor::Middle;
        draw([&](vgr::Canvas& c) { c.text(l.cls, x, py(l.y), l.text, style); });
    }
    endGroup();
    return 0;
}

// ---------------------------------------------------------------------------
// Legend.

int gglsize(int, GLEGT* g, GWINDOW* window)
{
    if (!g || !window)
        return -1;
    State& s = st();
    int n = g->datanum;
    if (g->number > 0)
        n = std::min(n, g->number);
    if (n <= 0)
        return -1;
    const std::vector<std::string> texts = entryTexts(*g, n);
    const double cellx = s.W / s.hpos, celly = s.H / s.vpos;
    double size = celly;
    double textw = 0;
    for (const std::string& t : texts)
        textw = std::max(textw, vgr::TextMetrics::width(t, size));
    bool lines = false;
    for (int k = 0; g->shapes && k < n; ++k)
        lines = lines || hasLine(g->shapes[k]);
    double samplew = lines ? 3 * cellx : 1.5 * cellx;
    const std::string label = trimmed(g->label, g->lablen);
    double labw = label.empty() ? 0 : vgr::TextMetrics::width(label, size) + cellx;
    double slotw = samplew + 0.75 * cellx + textw + 2 * cellx;
    const double avail = std::max(1.0, px(window->x2) - px(window->x1) - 2 * cellx);
    int cols, rows;
    if (g->down > 0) {
        rows = g->down;
        cols = (n + rows - 1) / rows;
    } else {
        cols = g->across > 0 ? g->across
                             : std::max(1, static_cast<int>((avail - labw) / std::max(1.0, slotw)));
        cols = std::min(cols, n);
        rows = (n + cols - 1) / cols;
    }
    // A legend wider than the window is set smaller.
    const double need = labw + cols * slotw;
    if (need > avail) {
        const double k = avail / need;
        size *= k;
        textw *= k;
        samplew *= k;
        labw *= k;
        slotw *= k;
    }
    const double rowh = pctY(size * 1.5);
    const double height = rows * rowh + pctY(celly / 2);
    if (height > (window->y2 - window->y1) / 2)
        return -1;
    const double width = pctX(labw + cols * slotw - 2 * cellx + 0.5 * cellx);
    const double x1 = std::max(window->x1, (window->x1 + window->x2) / 2 - width / 2);
    g->box = {x1, window->y1, std::min(window->x2, x1 + width), window->y1 + height};
    g->rows = rows;
    g->cols = cols;
    g->rowh = rowh;
    g->colw = pctX(slotw);
    g->labw = pctX(labw);
    g->textw = pctX(textw);
    g->samplew = pctX(samplew);
    g->tsize = size;
    g->datanum = n;
    window->y1 = g->box.y2 + pctY(celly / 2);
    return 0;
}

int ggldraw(GLEGT* g, const GPAIRF*)
{
    State& s = st();
    if (!g || !s.cur || g->rows < 1 || g->cols < 1)
        return -1;
    endClip();
    const int n = g->datanum;
    const std::vector<std::string> texts = entryTexts(*g, n);
    beginGroup("legend");
    const int frame = ggcnum(g->cframe, 16);
    const int outline = ggcnum(g->coutline, 16);
    if (frame > 0)
        ggfill(g->box.x1, g->box.y1, g->box.x2, g->box.y2, "S       ", frame);
    if (outline > 0) {
        vgr::Path p;
        p.rect(px(g->box.x1), py(g->box.y2), px(g->box.x2) - px(g->box.x1),
               py(g->box.y1) - py(g->box.y2));
        vgr::Stroke k{hexOf(outline), 1, "", 1};
        draw([&](vgr::Canvas& c) { c.path("legend-frame", p, &k, nullptr); });
    }
    const int textColour = ggcnum(g->ctext, 16);
    vgr::TextStyle style;
    style.size = g->tsize > 0 ? g->tsize : s.H / s.vpos;
    style.color = hexOf(textColour < 0 ? 1 : textColour);
    const vgr::TextBox probe = vgr::TextMetrics::measure("Xg", style.size);
    const double cellx = pctX(s.W / s.hpos);
    const double top = g->box.y2 - pctY(s.H / s.vpos / 4);
    auto baseline = [&](int row) {
        const double mid = top - (row + 0.5) * g->rowh;
        return mid - pctY((probe.ascent - probe.descent) / 2);
    };
    const std::string label = trimmed(g->label, g->lablen);
    if (!label.empty()) {
        vgr::TextStyle ls = style;
        draw([&](vgr::Canvas& c) {
            c.text("legend-label", px(g->box.x1), py(baseline(0)), label, ls);
        });
    }
    for (int k = 0; k < n; ++k) {
        const int row = k / g->cols, col = k % g->cols;
        const double x0 = g->box.x1 + g->labw + col * g->colw;
        const double mid = top - (row + 0.5) * g->rowh;
        if (g->shapes) {
            const GSYMSTR& sym = g->shapes[k];
            if (hasLine(sym)) {
                const double pt[4] = {x0, mid, x0 + g->samplew, mid};
                ggpline(pt, 2, sym.style, sym.width, 0, ggcnum(sym.ci, 8));
            }
            const int m = markerOf(sym);
            if (m > 0) {
                const double pt[2] = {x0 + g->samplew / 2, mid};
                ggpmark(pt, 1, sym.font, sym.value, sym.height, sym.aspect, m, 0,
                        ggcnum(sym.cv, 8));
            }
        }
        const std::string& t = texts[static_cast<size_t>(k)];
        if (!t.empty())
            draw([&](vgr::Canvas& c) {
                c.text("legend-entry", px(x0 + g->samplew + 0.75 * cellx), py(baseline(row)), t,
                       style);
            });
    }
    endGroup();
    return 0;
}

// ---------------------------------------------------------------------------
// Value texts.

namespace
{

// A value as "%.*E" writes it, its exponent without a plus sign or leading
// zeros: 2.5E306, 1E-5.
void exponentText(char* buf, size_t size, int digits, double v)
{
    char raw[64];
    std::snprintf(raw, sizeof raw, "%.*E", digits, v);
    const char* e = std::strchr(raw, 'E');
    const long exp = e ? std::strtol(e + 1, nullptr, 10) : 0;
    std::snprintf(buf, size, "%.*sE%ld", e ? static_cast<int>(e - raw) : 0, raw, exp);
}

} // namespace

int ggbestr(const double* values, int n, char* texts, long* fmtcode, short* fmtlen)
{
    if (n < 0 || (n > 0 && (!values || !texts)))
        return -1;
    std::memset(texts, ' ', static_cast<size_t>(n) * 32);
    const long code = fmtcode ? *fmtcode : -1;
    if (code > 0) {
        const int w = fmtlen && *fmtlen > 0 ? std::min<int>(*fmtlen, 32) : 12;
        for (int i = 0; i < n; ++i) {
            char buf[32];
            WZ_FMTPAR p;
            p.w = w;
            p.from = &values[i];
            p.fromw = 8;
            p.to = buf;
            p.tow = w;
            xfxbpn(&p, static_cast<int>(code));
            const std::string t = trimmed(buf, w);
            std::memcpy(texts + 32 * i, t.data(), std::min<size_t>(32, t.size()));
        }
        return 0;
    }
    // Automatic: the fewest decimals (at most 8) that show every value to
    // within a billionth of its size, the same for all.
    int dec = 0;
    double largest = 0;
    for (int i = 0; i < n; ++i) {
        const double v = values[i];
        if (wzmis(v) || !std::isfinite(v))
            continue;
        largest = std::max(largest, std::abs(v));
        int d = 0;
        for (; d < 8; ++d) {
            const double scaled = v * std::pow(10.0, d);
            if (std::abs(scaled - std::round(scaled)) <= 1e-9 * std::max(1.0, std::abs(scaled)))
                break;
        }
        dec = std::max(dec, d);
    }
    // Values too large for 16 digits, or too small for 8 decimals to tell
    // from 0 and from each other, are written with an exponent instead: the
    // fewest digits that show each to within a billionth of the largest.
    const double tol = 1e-9 * largest;
    auto reads = [&](const char* form, int digits) {
        for (int i = 0; i < n; ++i) {
            const double v = values[i];
            if (wzmis(v) || !std::isfinite(v))
                continue;
            char buf[400];
            const int len = std::snprintf(buf, sizeof buf, form, digits, v);
            if (len > 16 || std::abs(std::strtod(buf, nullptr) - v) > tol)
                return false;
        }
        return true;
    };
    int expDigits = -1;
    if (!reads("%.*f", dec))
        for (expDigits = 0; expDigits < 15 && !reads("%.*E", expDigits); ++expDigits) {
        }
    int widest = 0;
    for (int i = 0; i < n; ++i) {
        char buf[64];
        const double v = values[i];
        if (wzmis(v))
            std::snprintf(buf, sizeof buf, ".");
        else if (expDigits >= 0 && v != 0 && std::isfinite(v))
            exponentText(buf, sizeof buf, expDigits, v);
        else
            std::snprintf(buf, sizeof buf, "%.*f", expDigits >= 0 ? 0 : dec, v);
        std::string t = buf;
        if (t.find_first_not_of("-0.") == std::string::npos && t[0] == '-')
            t.erase(0, 1);
        widest = std::max(widest, static_cast<int>(t.size()));
        std::memcpy(texts + 32 * i, t.data(), std::min<size_t>(32, t.size()));
    }
    if (fmtlen)
        *fmtlen = static_cast<short>(std::min(widest, 16));
    return 0;
}

// ---------------------------------------------------------------------------
// Annotation.

namespace
{

struct AnnoVars {
    int function = 0, x = 0, y = 0, system = 0, text = 0, color = 0, size = 0, style = 0, width = 0,
        align = 0;
};

std::string textValue(DSHANDLE* ds, int v)
{
    if (v <= 0)
        return std::string();
    NAMESTR* nm = xvname(ds, v);
    if (!nm)
        return std::string();
    if (nm->ntype == 1) {
        double d = 0;
        if (xvget1f(ds, v, &d) != 0 || wzmis(d))
            return std::string();
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", d);
        return buf;
    }
    const int len = std::max(1, vyr_namestr_length(*nm));
    std::vector<char> buf(static_cast<size_t>(len));
    if (xvget1c(ds, v, len, buf.data()) != 0)
        return std::string();
    return trimmed(buf.data(), len);
}

double numberValue(DSHANDLE* ds, int v)
{
    double d = korv_missing();
    if (v > 0) {
        NAMESTR* nm = xvname(ds, v);
        if (nm && nm->ntype == 1 && xvget1f(ds, v, &d) != 0)
            d = korv_missing();
    }
    return d;
}

// A data value's place along one axis.
double dataPlace(const GAXIST* a, double v, bool horizontal)
{
    if (!a || wzmis(v))
        return korv_missing();
    if (a->type == 3) {
        const double org = horizontal ? a->head.xorg : a->head.yorg;
        return org + a->head.offset1 + (v - 1) * a->majinc;
    }
    return a->scalea * v + a->scaleb;
}

} // namespace

int ganotat(GANNOSTR* r)
{
    State& s = st();
    if (!r || !r->fptr || !s.cur)
        return -1;
    auto* ds = static_cast<DSHANDLE*>(r->fptr);
    AnnoVars v;
    v.function = xvfind(ds, "FUNCTION");
    v.x = xvfind(ds, "X");
    v.y = xvfind(ds, "Y");
    v.system = xvfind(ds, "SYSTEM");
    v.text = xvfind(ds, "TEXT");
    v.color = xvfind(ds, "COLOR");
    v.size = xvfind(ds, "SIZE");
    v.style = xvfind(ds, "STYLE");
    v.width = xvfind(ds, "WIDTH");
    v.align = xvfind(ds, "ALIGN");
    if (v.function == 0) {
        xpmlog(kGroup, kMsgNoFunction, vyr_dsname(ds).c_str());
        return -1;
    }
    endClip();
    beginGroup("annotation");
    XO_PARMS p;
    p.ds = ds;
    xopnt(&p);
    double penX = korv_missing(), penY = korv_missing();
    while (xoget(&p) == 0) {
        std::string fn = field(textValue(ds, v.function).c_str(), 1 << 20);
        const std::string sys = field(textValue(ds, v.system).c_str(), 1 << 20);
        double x = numberValue(ds, v.x), y = numberValue(ds, v.y);
        if (sys == "AREA") {
            // already percent of the area
        } else if (sys == "PLOT") {
            if (r->xptr && !wzmis(x))
                x = r->xptr->head.xorg + x / 100 * r->xptr->head.length;
            if (r->yptr && !wzmis(y))
                y = r->yptr->head.yorg + y / 100 * r->yptr->head.length;
        } else {
            x = dataPlace(r->xptr, x, true);
            y = dataPlace(r->yptr, y, false);
        }
        const int colour = v.color ? ggcnum(textValue(ds, v.color).c_str(), 1 << 20) : -1;
        const double size = numberValue(ds, v.size);
        const double cells = wzmis(size) || size <= 0 ? 1 : size;
        if (fn == "MOVE") {
            penX = x;
            penY = y;
        } else if (fn == "DRAW") {
            const double st = numberValue(ds, v.style), wd = numberValue(ds, v.width);
            const double pts[4] = {penX, penY, x, y};
            // Line types are 1 to 46; any other STYLE value draws the solid
            // line of type 1 (never converted: it may be far beyond an int).
            const int type = st >= 1 && st <= 46 ? static_cast<int>(st) : 1;
            ggpline(pts, 2, type, wzmis(wd) ? 1 : wd, 0, colour < 0 ? 1 : colour);
            penX = x;
            penY = y;
        } else if (fn == "LABEL") {
            const std::string text = textValue(ds, v.text);
            if (text.empty() || wzmis(x) || wzmis(y))
                continue;
            vgr::TextStyle style;
            style.size = cells * s.H / s.vpos;
            style.color = hexOf(colour < 0 ? 1 : colour);
            const std::string align = field(textValue(ds, v.align).c_str(), 1 << 20);
            style.anchor = align == "LEFT"    ? vgr::Anchor::Start
                           : align == "RIGHT" ? vgr::Anchor::End
                                              : vgr::Anchor::Middle;
            draw([&](vgr::Canvas& c) { c.text("annotation-label", px(x), py(y), text, style); });
        } else if (fn == "SYMBOL") {
            std::string m = field(textValue(ds, v.text).c_str(), 1 << 20);
            if (m.empty())
                m = "PLUS";
            char name[8];
            std::memset(name, ' ', 8);
            std::memcpy(name, m.data(), std::min<size_t>(8, m.size()));
            const double pt[2] = {x, y};
            ggpmark(pt, 1, nullptr, name, cells * ggcellh(), 1, 0, 0, colour < 0 ? 1 : colour);
        } else if (!fn.empty() && noteOnce("function:" + fn)) {
            xpmlog(kGroup, kMsgBadFunction, fn.c_str(), vyr_dsname(ds).c_str());
        }
    }
    endGroup();
    return 0;
}

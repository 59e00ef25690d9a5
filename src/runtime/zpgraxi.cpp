// The axes of a character plot: scaling and tick labels (zpgrlbl,
// zpgrfmt), placing and drawing the axis line, ticks, labels, name and label
// (zpgraxi with zpgrvax and zpgrhax), and the frame line (zpgroax).
//
// Every character goes through put(), which writes only inside the canvas:
// a page too small for the names and labels loses them, never memory.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/pgraf.h"
#include "vyr_data.h"
#include "vyr_format.h"
#include "vyr_message_names.h"
#include "vyr_missing.h"

namespace
{

constexpr double kFuzz = 1.053671212772351e-8;

// Drawing state handed from zpgraxi to the label writers.
struct PG_GSTR {
    char* axis_start = nullptr; // axis cell at plot position 0
    char* axis_limit = nullptr; // axis cell at the last plot position
    int axis_inc = 0;           // cell step along the axis
    int other_dir_inc = 0;      // cell step across it
    int lbl_length = 0;         // widest label after left-justification
    char* lbl_start = nullptr;  // axis cell of the first labelled tick
    char* lbl_limit = nullptr;  // axis cell of the last labelled tick
    int lbl_inc = 0;            // cell step between labelled ticks
    int tic_inc = 0;            // cell step between tick marks
    char* tic_limit = nullptr;  // axis cell of the last tick mark
};

bool inside(const PGRAFSTR* g, const char* p)
{
    return p >= g->work && p < g->work + static_cast<std::ptrdiff_t>(g->length);
}

void put(PGRAFSTR* g, char* p, char c)
{
    if (inside(g, p))
        *p = c;
}

char at(const PGRAFSTR* g, const char* p)
{
    return inside(g, p) ? *p : ' ';
}

// Writes n characters from column `col` of canvas line `line`, cut at the
// line's ends and at column `limit` (exclusive).
void putText(PGRAFSTR* g, int line, int col, const char* text, int n, int limit)
{
    const int w = g->pgrafd[1].totpos;
    if (line < 0 || line >= g->pgrafd[0].totpos)
        return;
    limit = std::min(limit, w);
    for (int k = 0; k < n; ++k) {
        const int c = col + k;
        if (c >= 0 && c < limit)
            g->work[static_cast<std::ptrdiff_t>(line) * w + c] = text[k];
    }
}

int lineOf(const PGRAFSTR* g, const char* p)
{
    return static_cast<int>((p - g->work) / g->pgrafd[1].totpos);
}
int columnOf(const PGRAFSTR* g, const char* p)
{
    return static_cast<int>((p - g->work) % g->pgrafd[1].totpos);
}

void freeBlock(PGRAFSTR* g, void* p, int64_t bytes)
{
    if (p && g->datapool)
        g->datapool->free(g->datapool, p, bytes, 0);
}

// Positions before the plot and plot positions a direction gets by default.
void defaults(PGRAFSTR* g, int dir, long options)
{
    PGRAF_VHSTR& d = g->pgrafd[dir];
    if (d.prepos == 0)
        d.prepos = dir == 0 ? ((options & scale_opt::FAR_SIDE) ? 3 : 1) : 15;
    const int pre = std::max(d.prepos, 0);
    if (d.plotpos == 0)
        d.plotpos = d.totpos - pre - (dir == 0 ? 4 : ((options & scale_opt::FRAME) ? 1 : 0));
}

bool hasFormat(const NAMESTR* n)
{
    return n && (n->nfl != 0 || n->nformlongl != 0);
}

// The trimmed part of a label field.
void trimmed(const char* f, int len, int* start, int* n)
{
    int s = 0;
    while (s < len && f[s] == ' ')
        ++s;
    int e = len;
    while (e > s && f[e - 1] == ' ')
        --e;
    *start = s;
    *n = e - s;
}

// An exponent form of 0.00001 reads as the number.
void plainTinyLabel(char* f, int len)
{
    int s, n;
    trimmed(f, len, &s, &n);
    const bool negative = n > 0 && f[s] == '-';
    if (n <= (negative ? 7 : 6) || n < 4 || std::memcmp(f + s + n - 4, "1E-5", 4) != 0)
        return;
    const int end = s + n;
    std::memset(f + s, ' ', static_cast<size_t>(n));
    std::memcpy(f + end - 7, "0.00001", 7);
    if (negative && end - 8 >= 0)
        f[end - 8] = '-';
}

// Automatic labels: the host's own choice first, then the same decimals for
// all when the labels are plain numbers with a point.
void autoLabels(PGRAF_VHSTR& d, const double* values)
{
    auto formatAll = [&](int dec) {
        for (int i = 0; i < d.valcnt; ++i) {
            char* f = d.lbllst + static_cast<std::ptrdiff_t>(i) * d.lbllen;
            xpfs(values[i], d.lbllen, dec, f);
            if (dec == 99)
                plainTinyLabel(f, d.lbllen);
        }
    };
    formatAll(99);
    int before = -99, after = 0;
    bool plain = true, point = false;
    for (int i = 0; i < d.valcnt && plain; ++i) {
        const char* f = d.lbllst + static_cast<std::ptrdiff_t>(i) * d.lbllen;
        int s, n;
        trimmed(f, d.lbllen, &s, &n);
        if (n <= 0)
            continue;
        for (int k = 0; k < n; ++k)
            if (!std::strchr("-0123456789.", f[s + k]))
                plain = false;
        if (!plain)
            break;
        const char* dot = static_cast<const char*>(std::memchr(f + s, '.', static_cast<size_t>(n)));
        const int lead = (n > 0 && f[s] == '-') ? 1 : 0;
        const int digits = dot ? static_cast<int>(dot - (f + s)) - lead : n - lead;
        before = std::max(before, digits);
        if (dot) {
            point = true;
            after = std::max(after, static_cast<int>(f + s + n - dot));
        }
    }
    if (!plain || !point)
        return;
    const int dec = std::min(std::max(2, 5 - before), after - 1);
    formatAll(dec);
    for (int i = 1; i < d.valcnt; ++i)
        if (std::memcmp(d.lbllst + static_cast<std::ptrdiff_t>(i - 1) * d.lbllen,
                        d.lbllst + static_cast<std::ptrdiff_t>(i) * d.lbllen,
                        static_cast<size_t>(d.lbllen)) == 0) {
            formatAll(99);
            return;
        }
}

// The vertical axis: label down column 0, name, tick labels.
void zpgrvax(PGRAFSTR* g, NAMESTR* name, PG_GSTR* gs, long options)
{
    PGRAF_VHSTR& v = g->pgrafd[0];
    PGRAF_VHSTR& h = g->pgrafd[1];
    const int vpre = std::max(v.prepos, 0);
    const int origin = vpre - 1 + v.plotpos;
    // The label runs down column 0 beside the plot's rows, centred on them,
    // or ending on the last of them when it is longer; one longer than the
    // lines down to there is left out rather than run into the lines of the
    // other axis (the name beside the axis still says what it is).
    if ((options & scale_opt::LABELLED) && name && name->nlablen > 0 && name->label_p &&
        name->nlablen <= origin + 1) {
        const int n = name->nlablen;
        const int first = n <= v.plotpos ? vpre + (v.plotpos - n) / 2 : std::max(0, origin - n + 1);
        for (int k = 0; k < n; ++k)
            putText(g, first + k, 0, name->label_p + k, 1, 1);
    }
    if ((options & scale_opt::NAMED) && name && name->namelen > 0 && name->name_p) {
        const char* anchor = gs->lbl_limit;
        if (at(g, anchor) == g->formchar[formch::CROSS]) {
            if (v.valcnt > 1 && v.lblpos > 3)
                anchor = gs->lbl_start +
                         static_cast<std::ptrdiff_t>(2 * v.valcnt / 3) * gs->lbl_inc -
                         static_cast<std::ptrdiff_t>(v.lblpos / 2) * gs->axis_inc;
            else
                anchor += gs->axis_inc;
        }
        if (inside(g, anchor)) {
            const int end = columnOf(g, anchor) - 2;
            putText(g, lineOf(g, anchor), end - name->namelen + 1, name->name_p, name->namelen,
                    end + 1);
        }
    }
    for (int i = 0; i < v.valcnt; ++i) {
        const char* tick =
            v.valplc ? gs->axis_start + static_cast<std::ptrdiff_t>(v.valplc[i]) * gs->axis_inc
                     : gs->lbl_start + static_cast<std::ptrdiff_t>(i) * gs->lbl_inc;
        if (!inside(g, tick))
            continue;
        const char* text = v.lbllst + static_cast<std::ptrdiff_t>(i) * v.lbllen;
        const int n = std::min(gs->lbl_length, v.lbllen);
        const int col =
            (options & scale_opt::FAR_SIDE) ? columnOf(g, tick) + 2 : columnOf(g, tick) - 1 - n;
        putText(g, lineOf(g, tick), col, text, n, h.totpos);
    }
}

// The horizontal axis: tick labels side by side (or standing, one
// character per line), then the name line.
void zpgrhax(PGRAFSTR* g, NAMESTR* name, PG_GSTR* gs, long options)
{
    PGRAF_VHSTR& v = g->pgrafd[0];
    PGRAF_VHSTR& h = g->pgrafd[1];
    const int vpre = std::max(v.prepos, 0);
    const bool far = (options & scale_opt::FAR_SIDE) != 0;
    const int axisLine = lineOf(g, gs->axis_start);
    const int labelLine = far ? axisLine - 1 : axisLine + 1;
    auto tickOf = [&](int i) {
        return h.valplc ? gs->axis_start + static_cast<std::ptrdiff_t>(h.valplc[i]) * gs->axis_inc
                        : gs->lbl_start + static_cast<std::ptrdiff_t>(i) * gs->lbl_inc;
    };
    int rows = 0;
    if (h.valcnt > 0 && gs->lbl_length < std::abs(gs->lbl_inc)) {
        // Side by side, from the last label to the first.
        const int after = (options & scale_opt::IN_PAGE) ? 0 : h.totpos - h.prepos - h.plotpos;
        int limit = columnOf(g, gs->axis_limit) + 1 + after;
        for (int i = h.valcnt - 1; i >= 0; --i) {
            const char* f = h.lbllst + static_cast<std::ptrdiff_t>(i) * h.lbllen;
            int s, n;
            trimmed(f, h.lbllen, &s, &n);
            const int tick = columnOf(g, tickOf(i));
            int start = tick - n / 2;
            start = std::min(start, limit - n);
            const int floor = i > 0 ? columnOf(g, tickOf(i - 1)) + 2 : 0;
            start = std::max(start, floor);
            putText(g, labelLine, start, f + s, n, limit);
            limit = start - 1;
        }
        rows = 1;
    } else if (h.valcnt > 0) {
        // Standing labels, cut to the rows under the axis.
        const int extra = v.totpos > 15 ? 3 : 2;
        const int avail = far ? vpre - (v.totpos - vpre - v.plotpos - extra)
                              : v.totpos - vpre - v.plotpos - extra;
        bool cut = false;
        for (int i = 0; i < h.valcnt; ++i) {
            const char* f = h.lbllst + static_cast<std::ptrdiff_t>(i) * h.lbllen;
            int s, n;
            trimmed(f, h.lbllen, &s, &n);
            if (n > avail)
                cut = true;
            const int col = columnOf(g, tickOf(i));
            for (int k = 0; k < std::min(n, std::max(avail, 0)); ++k)
                putText(g, far ? labelLine - k : labelLine + k, col, f + s + k, 1, h.totpos);
            rows = std::max(rows, std::min(n, std::max(avail, 0)));
        }
        // Labels cut short are a cosmetic loss, told by a positive status.
        h.status = std::max(h.status, cut ? 3 : 1);
    }
    // The name line: "label   name".
    const bool named = (options & scale_opt::NAMED) && name && name->namelen > 0 && name->name_p;
    const bool labelled =
        (options & scale_opt::LABELLED) && name && name->nlablen > 0 && name->label_p;
    if (!named && !labelled)
        return;
    std::string text;
    if (labelled)
        text.assign(name->label_p, static_cast<size_t>(name->nlablen));
    if (labelled && named)
        text += "   ";
    if (named)
        text.append(name->name_p, static_cast<size_t>(name->namelen));
    if (options & scale_opt::NO_NAME_ROWS) {
        putText(g, labelLine, 0, text.data(), static_cast<int>(text.size()), h.prepos);
        return;
    }
    const int gap = v.totpos > 15 ? rows + 2 : rows + 1;
    const int line = far ? axisLine - gap : axisLine + gap;
    const int n = std::min(static_cast<int>(text.size()), std::max(h.plotpos, 0));
    const int col = h.prepos + std::max(0, (h.plotpos - n) / 2);
    putText(g, line, col, text.data(), n, col + n);
}

} // namespace

int zpgrlen(PGRAF_VHSTR* d)
{
    if (!d->lbllst || d->valcnt < 1 || d->lbllen < 1)
        return d->lbllen;
    int first = d->lbllen, end = 0;
    for (int i = 0; i < d->valcnt; ++i) {
        int s, n;
        trimmed(d->lbllst + static_cast<std::ptrdiff_t>(i) * d->lbllen, d->lbllen, &s, &n);
        if (n == 0)
            continue;
        first = std::min(first, s);
        end = std::max(end, s + n);
    }
    if (end == 0)
        return d->lbllen;
    if (first > 0)
        for (int i = 0; i < d->valcnt; ++i) {
            char* f = d->lbllst + static_cast<std::ptrdiff_t>(i) * d->lbllen;
            std::memmove(f, f + first, static_cast<size_t>(d->lbllen - first));
            std::memset(f + d->lbllen - first, ' ', static_cast<size_t>(first));
        }
    return end - first;
}

int zpgrfmt(PGRAFSTR* g, int dir, NAMESTR* name, SCALESTR* scale)
{
    PGRAF_VHSTR& d = g->pgrafd[dir];
    double* values = nullptr;
    int count = 0;
    if (scale) {
        if (d.lbllst && d.valcnt < scale->ntic + 1) {
            freeBlock(g, d.lbllst, static_cast<int64_t>(d.lbllen) * d.valcnt);
            d.lbllst = nullptr;
        }
        d.valcnt = scale->ntic + 1;
        if (zdolist(g->datapool, scale->xmin, scale->xmax, scale->inc, &values, &count) < 0) {
            xmemmsg(xmemdef());
            return -1;
        }
    } else {
        values = d.vallst.d;
        count = d.valcnt;
    }
    if (d.lbllen == 0)
        d.lbllen = name && name->nflen > 0 ? name->nflen : 12;
    const int64_t bytes = static_cast<int64_t>(d.lbllen) * d.valcnt;
    if (!d.lbllst && bytes > 0) {
        d.lbllst = static_cast<char*>(g->datapool->allocate(g->datapool, bytes, 0x2004));
        if (!d.lbllst) {
            xmemmsg(xmemdef());
            return -1;
        }
    }
    if (bytes > 0)
        std::memset(d.lbllst, ' ', static_cast<size_t>(bytes));
    // A value list shorter than the labels (rounding at the last tick)
    // gives the last labels the values the increment leads to.
    std::vector<double> full(static_cast<size_t>(std::max(d.valcnt, 0)));
    for (int i = 0; i < d.valcnt; ++i)
        full[static_cast<size_t>(i)] =
            i < count && values ? values[i]
                                : (scale ? scale->xmin + i * scale->inc : korv_missing());
    if (hasFormat(name) && name->nfcode != 0) {
        for (int i = 0; i < d.valcnt; ++i) {
            WZ_FMTPAR par;
            par.from = &full[static_cast<size_t>(i)];
            par.fromw = 8;
            par.to = d.lbllst + static_cast<std::ptrdiff_t>(i) * d.lbllen;
            par.tow = d.lbllen;
            xfxbpn(&par, name->nfcode);
        }
    } else {
        autoLabels(d, full.data());
    }
    if (scale)
        freeBlock(g, values, static_cast<int64_t>(count) * 8);
    return 0;
}

int zpgrlbl(PGRAFSTR* g, int dir, NAMESTR* name, SCALESTR* scale, long options)
{
    PGRAF_VHSTR& d = g->pgrafd[dir];
    if (!d.numf)
        return 1;
    defaults(g, dir, options);
    if (!scale)
        return zpgrfmt(g, dir, name, scale);
    scale->options |= options | scale_opt::CLOSER;
    if (scale->plotpos == 0)
        scale->plotpos = d.plotpos - 1;
    SCALESTR saved = *scale;
    int failures = 0;
    for (int attempt = 0;; ++attempt) {
        if (zscale(scale) != 0 && ++failures >= 10) {
            xpmlog(210, msg210::SCALE_FAILED);
            return -2;
        }
        if (scale->options & scale_opt::REVERSE) {
            std::swap(scale->xmin, scale->xmax);
            scale->unit = -scale->unit;
            scale->inc = -scale->inc;
        }
        if (zpgrfmt(g, dir, name, scale) < 0)
            return -1;
        const int w = zpgrlen(&d);
        // Horizontal labels wider than the tick spacing, on an axis with
        // room for two: ask again for a coarser axis (a bounded number of
        // times; past that the labels stand).
        if (!(scale->options & scale_opt::HORIZONTAL) || w + 1 <= scale->ticpos ||
            scale->plotpos < 2 * w + 2 || attempt >= 20)
            break;
        bool coarser = false;
        if (saved.inc != 0 && std::fabs(saved.inc) == std::fabs(scale->inc)) {
            const int k = (w + scale->ticpos) / std::max(1, scale->ticpos);
            const double p = std::pow(10.0, std::ceil(std::log10(std::fabs(saved.inc) * k)));
            const double* acc = scale->accept && scale->naccept > 0 ? scale->accept : nullptr;
            static constexpr double kAccept[5] = {1, 2, 2.5, 5, 10};
            const int na = acc ? scale->naccept : 5;
            for (int m = k; m <= k + 3 && !coarser && scale->ntic / m > 2; ++m)
                for (int i = 0; i < na; ++i) {
                    const double a = acc ? acc[i] : kAccept[i];
                    const double r = m * std::fabs(saved.inc) / p;
                    if (std::fabs(r - a) <= kFuzz || std::fabs(r - 10 * a) <= kFuzz) {
                        saved.inc = m * saved.inc;
                        coarser = true;
                        break;
                    }
                }
        }
        if (!coarser && saved.inc > 0) {
            saved.inc = 0;
            saved.options &= ~(scale_opt::EXACT_MIN | scale_opt::EXACT_MAX);
        }
        *scale = saved;
        scale->ticpos = -2 - w;
    }
    // Positions between labelled ticks. A previous value pair whose origin
    // gives less than one position (or none) falls back to the spacing.
    double t = scale->ticpos;
    if (d.numf && d.vallst.d && scale->unit != 0) {
        const double r = d.vallst.d[0] / scale->unit;
        if (r >= 1)
            t = r;
    }
    int lp = static_cast<int>(t);
    const int rem =
        (lp >= 0 && lp < scale->ticpos) ? lp : (scale->ticpos > 0 ? lp % scale->ticpos : 0);
    if (rem != 0 || lp < 1)
        lp = scale->ticpos;
    d.lblpos = lp;
    auto* pair = static_cast<double*>(g->datapool->allocate(g->datapool, 16, 0x2000));
    if (!pair) {
        xmemmsg(xmemdef());
        return -1;
    }
    pair[0] = scale->xmin;
    pair[1] = scale->unit;
    d.vallst.d = pair;
    return 0;
}

namespace
{

// The caller's own labels: spreads them evenly over the plot positions
// (unless the caller chose the spacing), closing them up, and dropping the
// last ones, when they do not fit; the status says so. Returns the plot
// positions the labels span.
int spreadLabels(PGRAF_VHSTR& d)
{
    int used = 1;
    const int n = d.valcnt;
    if (d.lblpos == 0) {
        if (n <= 1 || d.plotpos == 1) {
            d.lblpos = 1;
            used = 1;
        } else if (n == 2) {
            d.lblpos = (2 * d.plotpos - 2) / 3 + 1;
            used = d.lblpos;
        } else {
            const int c = std::min((d.plotpos - 1) / (n - 1), 30);
            const int b =
                std::max((d.plotpos - 1) / (n + 1), std::min(c, d.lbllen + 2 + d.lbllen / (n - 1)));
            d.lblpos = std::max(1, (c + b) / 2);
            used = (n - 1) * d.lblpos;
        }
    }
    if (d.lblpos > d.plotpos - 1 && n > 1) {
        d.lblpos = std::max(1, d.plotpos - 1);
        d.status = 2;
    }
    while (n > 1 && (d.plotpos - 1) / d.lblpos + 1 < n && d.lblpos > 1) {
        --d.lblpos;
        d.status = 2;
    }
    if (n > 1 && (d.plotpos - 1) / d.lblpos + 1 < n) {
        d.valcnt = (d.plotpos - 1) / d.lblpos + 1;
        d.status += 1;
    }
    used = n > 1 ? (d.valcnt - 1) * d.lblpos : used;
    if (n > 1 && used == 0)
        used = 1;
    return used;
}

// SHRINK: gives the positions the labels leave unused, past four, back to
// the page (the horizontal axis pulls the canvas in; the vertical one
// drops lines, or on a virtual page moves down by half of them). Returns
// the spare positions left.
int shrinkAxis(PGRAFSTR* g, PGRAF_VHSTR& d, int dir, int used, long options)
{
    const int spare = d.plotpos - used;
    if (!(options & scale_opt::SHRINK))
        return spare;
    const int k = spare - (dir == 1 ? 1 : 0) - 4;
    if (k <= 0)
        return spare;
    if (dir == 1) {
        zpgrpul(g, k);
    } else if (!(g->pct && g->pct->virtualf)) {
        d.totpos -= k;
        if (d.totpos < 20 && d.prepos == 0) {
            d.totpos += 1;
            d.prepos = 1;
        }
    } else {
        d.prepos += k / 2;
        d.totpos -= k / 2;
    }
    d.plotpos -= k;
    return d.plotpos - used;
}

// The plot position of the first label: the spare positions split evenly
// before and after the labels, or at most one before when the first label
// is asked near the corner (or a scaled axis starts at zero).
int firstLabelOffset(const PGRAF_VHSTR& d, int spare, bool scaled, long options)
{
    int o = spare >= 1 ? (spare - 1) / 2 : std::max(spare / 2, 0);
    if ((options & scale_opt::FIRST_NEAR) ||
        ((options & scale_opt::FROM_ZERO) && scaled && d.vallst.d &&
         std::fabs(d.vallst.d[0]) <= std::fabs(d.vallst.d[1]) * kFuzz))
        o = std::min(o, 1);
    return o;
}

// Where the axis lies on the canvas: the vertical axis first makes room
// before the plot for its labels and name; then the origin cell is fixed
// and the drawing state follows from the axis's side, the widest label `w`,
// the first label's position `o` and the spacing of the ticks.
PG_GSTR placeAxis(PGRAFSTR* g, int dir, const NAMESTR* name, long options, int w, int o,
                  int ticSpacing)
{
    PGRAF_VHSTR& d = g->pgrafd[dir];
    PGRAF_VHSTR& v = g->pgrafd[0];
    PGRAF_VHSTR& h = g->pgrafd[1];
    PG_GSTR gs;
    const int vpre = std::max(v.prepos, 0);
    if (dir == 0) {
        if (options & scale_opt::FAR_SIDE) {
            if (h.prepos == 0)
                h.prepos = 15;
        } else if (h.prepos == 0) {
            const int nl = (options & scale_opt::NAMED) && name ? name->namelen : 0;
            h.prepos = std::max(w, nl) + 2 + ((options & scale_opt::LABELLED) ? 2 : 0);
        }
    }
    const std::ptrdiff_t originRow = vpre - 1 + v.plotpos;
    g->zerozero = g->work + h.prepos + static_cast<std::ptrdiff_t>(h.totpos) * originRow;
    if (dir == 0) {
        gs.axis_start = g->zerozero - 1;
        gs.axis_inc = -h.totpos;
        gs.other_dir_inc = 1;
        if (options & scale_opt::FAR_SIDE)
            gs.axis_start += h.plotpos ? h.plotpos + 1 : h.totpos - h.prepos;
    } else {
        gs.axis_start = g->zerozero + h.totpos;
        gs.axis_inc = 1;
        gs.other_dir_inc = -h.totpos;
        if (options & scale_opt::FAR_SIDE)
            gs.axis_start -= static_cast<std::ptrdiff_t>(v.plotpos + 1) * h.totpos;
    }
    gs.lbl_length = w;
    gs.axis_limit = gs.axis_start + static_cast<std::ptrdiff_t>(d.plotpos - 1) * gs.axis_inc;
    gs.lbl_start = gs.axis_start + static_cast<std::ptrdiff_t>(o) * gs.axis_inc;
    gs.lbl_inc = gs.axis_inc * d.lblpos;
    gs.tic_inc = gs.axis_inc * std::max(ticSpacing, 1);
    gs.lbl_limit =
        gs.lbl_start + static_cast<std::ptrdiff_t>(std::max(d.valcnt - 1, 0)) * gs.lbl_inc;
    return gs;
}

// Label positions: the caller's labels get theirs; a scaled axis moves its
// origin so that the first tick falls on position o. -1 when memory fails.
int placeLabels(PGRAFSTR* g, PGRAF_VHSTR& d, bool scaled, int o)
{
    if (!scaled) {
        d.valplc = d.valcnt > 0 ? static_cast<short*>(g->datapool->allocate(
                                      g->datapool, static_cast<int64_t>(d.valcnt) * 2, 0x2000))
                                : nullptr;
        if (d.valcnt > 0 && !d.valplc) {
            xmemmsg(xmemdef());
            return -1;
        }
        for (int i = 0; i < d.valcnt; ++i)
            d.valplc[i] = static_cast<short>(std::min(o + i * d.lblpos, 32767));
    } else if (d.vallst.d) {
        d.vallst.d[0] -= o * d.vallst.d[1];
    }
    return 0;
}

// The axis line and its ticks, up to the tick at or past the last label.
void drawAxisLine(PGRAFSTR* g, int dir, PG_GSTR* gs)
{
    const PGRAF_VHSTR& d = g->pgrafd[dir];
    const long span = static_cast<long>(std::max(d.valcnt - 1, 0)) * std::abs(gs->lbl_inc);
    const long step = std::abs(gs->tic_inc);
    const long ticks = d.valcnt > 0 ? span / step + (span % step ? 1 : 0) : -1;
    gs->tic_limit = gs->lbl_start + ticks * gs->tic_inc;
    const char line = g->formchar[dir == 0 ? formch::VERTICAL : formch::HORIZONTAL];
    for (int i = 0; i < d.plotpos; ++i)
        put(g, gs->axis_start + static_cast<std::ptrdiff_t>(i) * gs->axis_inc, line);
    for (long i = 0; i <= ticks; ++i)
        put(g, gs->lbl_start + i * gs->tic_inc, g->formchar[formch::CROSS]);
}

// The labels, name and axis label; the caller's labels asked in reverse are
// written last to first, and left in their own order afterwards.
void writeLabels(PGRAFSTR* g, int dir, NAMESTR* name, PG_GSTR* gs, bool scaled, long options)
{
    PGRAF_VHSTR& d = g->pgrafd[dir];
    const bool reverse = (options & scale_opt::REVERSE) && !scaled && d.lbllst && d.valcnt > 1;
    if (reverse) {
        zgprev(d.lbllst, 1, d.valcnt, d.lbllen);
        zgprev(d.valplc, 1, d.valcnt, 2);
    }
    if (dir == 0)
        zpgrvax(g, name, gs, options);
    else
        zpgrhax(g, name, gs, options);
    if (reverse) {
        zgprev(d.lbllst, 1, d.valcnt, d.lbllen);
        zgprev(d.valplc, 1, d.valcnt, 2);
    }
}

} // namespace

int zpgraxi(PGRAFSTR* g, int dir, NAMESTR* name, SCALESTR* scale, long options)
{
    PGRAF_VHSTR& d = g->pgrafd[dir];
    d.status = 0;
    const bool scaled = d.numf && scale;
    if (!d.numf && !d.lbllst)
        d.lbllst = d.vallst.c;
    defaults(g, dir, options);
    if (d.prepos < 0)
        d.prepos = 0;
    if (d.plotpos < 1)
        return 2;

    // Spacing of the labels and of the ticks.
    int used = 1, ticSpacing = 1;
    if (scaled) {
        used = scale->plotpos;
        ticSpacing = d.lblpos > 0 ? d.lblpos : std::max(scale->ticpos, 1);
        d.lblpos = std::max(scale->ticpos, 1);
    } else {
        used = spreadLabels(d);
        ticSpacing = d.lblpos;
    }
    const int w = zpgrlen(&d);
    const int spare = shrinkAxis(g, d, dir, used, options);
    const int o = firstLabelOffset(d, spare, scaled, options);

    PG_GSTR gs = placeAxis(g, dir, name, options, w, o, ticSpacing);
    if (placeLabels(g, d, scaled, o) < 0)
        return -1;
    drawAxisLine(g, dir, &gs);
    writeLabels(g, dir, name, &gs, scaled, options);
    if (scaled) {
        freeBlock(g, d.lbllst, static_cast<int64_t>(d.lbllen) * d.valcnt);
        d.lbllen = w;
        d.lbllst = nullptr;
        d.valcnt = 0;
    }
    if (options & scale_opt::FRAME)
        zpgroax(g, dir, 0);
    else
        zpgrcrn(g);
    return d.status;
}

void zpgroax(PGRAFSTR* g, int dir, int otherf)
{
    PGRAF_VHSTR& v = g->pgrafd[0];
    PGRAF_VHSTR& h = g->pgrafd[1];
    if (!g->zerozero)
        return;
    if (dir == 0) {
        for (int j = 0; j < v.plotpos; ++j) {
            char* left = g->zerozero - 1 - static_cast<std::ptrdiff_t>(j) * h.totpos;
            char* right = left + h.plotpos + 1;
            if (inside(g, left) && inside(g, right)) {
                if (otherf)
                    *left = *right;
                else
                    *right = *left;
            }
        }
    } else {
        for (int i = 0; i < h.plotpos; ++i) {
            char* below = g->zerozero + h.totpos + i;
            char* above = below - static_cast<std::ptrdiff_t>(v.plotpos + 1) * h.totpos;
            if (inside(g, below) && inside(g, above)) {
                if (otherf)
                    *below = *above;
                else
                    *above = *below;
            }
        }
    }
    zpgrcrn(g);
}

void zgprev(void* addr, int rept, int cnt, int size)
{
    if (!addr || cnt < 2 || size < 1)
        return;
    auto* base = static_cast<char*>(addr);
    std::vector<char> tmp(static_cast<size_t>(size));
    for (int r = 0; r < rept; ++r) {
        char* block = base + static_cast<std::ptrdiff_t>(r) * cnt * size;
        for (int i = 0; i < cnt / 2; ++i) {
            char* a = block + static_cast<std::ptrdiff_t>(i) * size;
            char* b = block + static_cast<std::ptrdiff_t>(cnt - 1 - i) * size;
            std::memcpy(tmp.data(), a, static_cast<size_t>(size));
            std::memcpy(a, b, static_cast<size_t>(size));
            std::memcpy(b, tmp.data(), static_cast<size_t>(size));
        }
    }
}

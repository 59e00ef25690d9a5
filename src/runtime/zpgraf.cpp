// The character-plot canvas: sizing from the page, the blank buffer, value
// to print position, corners, the form characters and printing.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/pgraf.h"
#include "vyr_data.h"
#include "vyr_message_names.h"
#include "vyr_missing.h"

namespace
{

constexpr double kHalfUp = 1.053671212772351e-8;

bool horizontalAt(const PGRAFSTR* g, const char* c)
{
    return *c == g->formchar[formch::HORIZONTAL] || *c == g->formchar[formch::CROSS];
}
bool verticalAt(const PGRAFSTR* g, const char* c)
{
    return *c == g->formchar[formch::VERTICAL] || *c == g->formchar[formch::CROSS];
}

// The junction at plc: `left` goes there when plc + 1 is a horizontal line
// and plc + voffset a vertical one; with hrightpos, `right` goes to the cell
// past the plot's last column under the same test, unless that cell begins
// a canvas line.
void set(PGRAFSTR* g, const PGRAF_VHSTR* h, char* plc, int voffset, int hplotpos, int hrightpos,
         int left, int right)
{
    char* const begin = g->work;
    char* const end = g->work + static_cast<std::ptrdiff_t>(g->length);
    auto inside = [&](const char* p) { return p >= begin && p < end; };
    if (inside(plc) && inside(plc + 1) && inside(plc + voffset) && horizontalAt(g, plc + 1) &&
        verticalAt(g, plc + voffset))
        *plc = static_cast<char>(left);
    if (hrightpos == 0)
        return;
    char* r = plc + hplotpos + 1;
    if (inside(r) && inside(r - 1) && inside(r + voffset) && horizontalAt(g, r - 1) &&
        verticalAt(g, r + voffset) && (r - g->work) % h->totpos != 0)
        *r = static_cast<char>(right);
}

} // namespace

int zpgrsub(double v, const PGRAF_VHSTR* d)
{
    if (d->plotpos < 1 || d->vallst.d == nullptr)
        return 0;
    const double t = (v - d->vallst.d[0]) / d->vallst.d[1] + 0.5 + kHalfUp;
    // Truncation toward zero, then the clamp: a value before the first
    // position (or not a number) lands on it, one past the last on the last.
    if (!(t >= 1.0))
        return 0;
    if (t >= d->plotpos)
        return d->plotpos - 1;
    return static_cast<int>(t);
}

char* zpgrafd(PGRAFSTR* g, double x, double y, int chr)
{
    const int c = zpgrsub(x, &g->pgrafd[1]);
    const int r = zpgrsub(y, &g->pgrafd[0]);
    char* cell = g->zerozero + c - static_cast<std::ptrdiff_t>(r) * g->pgrafd[1].totpos;
    if (*cell == ' ')
        *cell = static_cast<char>(chr);
    return cell;
}

void zpgrcrn(PGRAFSTR* g)
{
    const PGRAF_VHSTR& v = g->pgrafd[0];
    const PGRAF_VHSTR& h = g->pgrafd[1];
    if (!g->zerozero || h.totpos < 1)
        return;
    const int right = h.totpos - h.plotpos != h.prepos ? 1 : 0;
    // L: the axis line under the bottom row, at the column left of position 0.
    char* lower = g->zerozero + h.totpos - 1;
    set(g, &h, lower, -h.totpos, h.plotpos, right, g->formchar[formch::LOWER_LEFT],
        g->formchar[formch::LOWER_RIGHT]);
    // T: the frame line over the top row, when the canvas has it.
    char* upper = g->zerozero - static_cast<std::ptrdiff_t>(v.plotpos) * h.totpos - 1;
    if (upper >= g->work)
        set(g, &h, upper, h.totpos, h.plotpos, right, g->formchar[formch::UPPER_LEFT],
            g->formchar[formch::UPPER_RIGHT]);
}

void zpgrpul(PGRAFSTR* g, int amt)
{
    PGRAF_VHSTR& v = g->pgrafd[0];
    PGRAF_VHSTR& h = g->pgrafd[1];
    const int half = amt / 2;
    if (half <= 0 || h.prepos < 1)
        return;
    for (int line = 0; line < v.totpos; ++line) {
        char* row = g->work + static_cast<std::ptrdiff_t>(line) * h.totpos;
        const int n = std::min(h.prepos, h.totpos - half);
        if (n > 0)
            std::memmove(row + half, row, static_cast<size_t>(n));
        std::memset(row, ' ', static_cast<size_t>(std::min(half, h.totpos)));
    }
    h.prepos += half;
    g->zerozero += half;
}

namespace
{

// One character of a FORMCHAR= text: where it starts and how many bytes of
// UTF-8 it takes (a byte that starts no valid sequence is one character).
struct FchChar {
    const char* p;
    int bytes;
};

std::vector<FchChar> fchChars(const char* s, int len)
{
    std::vector<FchChar> out;
    for (int i = 0; s != nullptr && i < len;) {
        const auto c = static_cast<unsigned char>(s[i]);
        int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        if (i + n > len)
            n = 1;
        for (int k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                n = 1;
        out.push_back({s + i, n});
        i += n;
    }
    return out;
}

// Puts character c at 0-based position at of setform, when a plot's cell
// can hold it.
bool fchPut(const FchChar& c, char* setform, int at, bool report)
{
    const auto b = static_cast<unsigned char>(c.p[0]);
    if (c.bytes == 1 && b >= 0x20 && b < 0x7F) {
        setform[at] = c.p[0];
        return true;
    }
    if (report) {
        const std::string shown = c.bytes == 1
                                      ? "\\x" + std::string(1, "0123456789ABCDEF"[b >> 4]) +
                                            std::string(1, "0123456789ABCDEF"[b & 15])
                                      : std::string(c.p, static_cast<size_t>(c.bytes));
        const char keep[2] = {setform[at], '\0'};
        xpmlog(326, msg326::FORMCHAR_WIDE, shown.c_str(), at + 1, keep);
    }
    return false;
}

} // namespace

int zfchread(const double* ilist, int n, const char* string, int len, char* setform, int nfch,
             bool report)
{
    if (setform == nullptr || nfch < 1)
        return 0;
    std::memset(setform, ' ', static_cast<size_t>(nfch));
    int olen = 0;
    const char* opt = xoptcgt("FORMCHAR", &olen);
    if (opt == nullptr || olen == 0) {
        // A host without the option: its usual characters.
        opt = "|----|+|---+=|-/\\<>*";
        olen = static_cast<int>(std::strlen(opt));
    }
    std::memcpy(setform, opt, static_cast<size_t>(std::min(olen, nfch)));
    const std::vector<FchChar> chars = fchChars(string, len);
    const int count = static_cast<int>(chars.size());
    int refused = 0;
    if (ilist == nullptr || n < 1) {
        for (int i = 0; i < std::min(count, nfch); ++i)
            refused += !fchPut(chars[static_cast<size_t>(i)], setform, i, report);
        return refused;
    }
    if (n != count && report)
        xpmlog(210, msg210::FORMCHAR_COUNT, count, n);
    const int m = std::min(n, count);
    for (int i = 0; i < m; ++i) {
        const double x = ilist[i];
        const int idx = (x > -1e9 && x < 1e9) ? static_cast<int>(x) : 0;
        if (idx >= 1 && idx <= nfch)
            refused += !fchPut(chars[static_cast<size_t>(i)], setform, idx - 1, report);
        else if (report)
            xpmlog(210, msg210::FORMCHAR_POSITION, idx, nfch);
    }
    return refused;
}

void zgetfch(const double* ilist, int n, const char* string, int len, char* setform, int nfch)
{
    zfchread(ilist, n, string, len, setform, nfch, true);
}

int zpgrini(PGRAFSTR* g, NAMESTR* hname, SCALESTR* hscale, NAMESTR* vname, SCALESTR* vscale)
{
    PGRAF_VHSTR& v = g->pgrafd[0];
    PGRAF_VHSTR& h = g->pgrafd[1];
    if (g->formchar[0] == '\0')
        zgetfch(nullptr, 0, nullptr, 0, g->formchar, 12);
    if (g->ovlcnt == 0)
        g->ovlcnt = 1;
    // Lines: from the preset rows, else what the page has left.
    if (v.plotpos && !v.totpos)
        v.totpos = v.plotpos + 5;
    if (!v.totpos) {
        xppage();
        long left = 0;
        xpopget(0, 2, &left);
        // However long the page, a plot is at most kMaxPlotLines tall: a
        // taller one reads no better and takes a page of blank rows.
        v.totpos = static_cast<int>(std::min<long>(left, kMaxPlotLines + 2)) - 2;
    }
    const bool vnamed = vname && vname->namelen != 0;
    if (!v.prepos)
        v.prepos =
            vnamed || (vscale && (vscale->options & (scale_opt::FRAME | scale_opt::FAR_SIDE))) ? 1
                                                                                               : -1;
    if (!v.plotpos) {
        const int b = (vscale && (vscale->options & scale_opt::NO_NAME_ROWS)) ? 0
                      : v.totpos > 15                                         ? 2
                                                                              : 1;
        v.plotpos = v.totpos - std::max(v.prepos, 0) - b - 2;
    }
    if (hscale && vscale && (vscale->options & scale_opt::NO_NAME_ROWS))
        hscale->options |= scale_opt::NO_NAME_ROWS;
    if (vname && vname->nflen == 0)
        vname->nflen = 12;
    if (hname && hname->nflen == 0)
        hname->nflen = 12;
    // Columns: the whole usable line.
    if (h.plotpos && !h.totpos) {
        const int vw = vname ? std::max<int>(vname->nflen, vname->namelen) : 12;
        h.totpos = vw + 2 * (vname && vname->nlablen != 0) + 2 + h.plotpos;
    }
    if (!h.totpos)
        h.totpos = INT_MAX;
    if (!g->pct) {
        long o5 = 0, o19 = 1;
        xpopget(0, 5, &o5);
        xpopget(0, 19, &o19);
        h.totpos = static_cast<int>(std::min<long>(h.totpos, o5 - o19 + 1));
    } else {
        h.totpos = g->pct->pctd[1].amtsize;
    }
    const int64_t size = static_cast<int64_t>(h.totpos) * v.totpos;
    if (size > INT_MAX) {
        xpmlog(210, msg210::CANVAS_TOO_LARGE);
        return -2;
    }
    // A page with no room for a line (or a line with no column) has no
    // canvas at all.
    if (v.totpos < 1 || h.totpos < 1)
        return -2;
    if (!g->length)
        g->length = static_cast<int>(size);
    const bool virt = g->pct && g->pct->virtualf;
    if (!virt) {
        // Every overlay layer has its own copy of the canvas.
        const int64_t bytes = static_cast<int64_t>(g->length) * g->ovlcnt;
        g->work = g->datapool
                      ? static_cast<char*>(g->datapool->allocate(g->datapool, bytes, 0x2004))
                      : nullptr;
        if (g->work == nullptr) {
            xmemmsg(xmemdef());
            return -1;
        }
        std::memset(g->work, ' ', static_cast<size_t>(bytes));
    } else {
        g->pct->printedf = 1;
        g->work = g->pct->work +
                  static_cast<std::ptrdiff_t>(g->pct->pctd[0].presize) * g->pct->pctd[1].amtsize +
                  g->pct->pctd[1].presize;
        g->length = g->pct->amt;
        if (g->pct->realamt < static_cast<int64_t>(g->length) * g->ovlcnt)
            xebug("PGRAFI: zpct memory shortage error");
    }
    if (hscale) {
        hscale->options |= scale_opt::HORIZONTAL;
        if (virt)
            hscale->options |= scale_opt::IN_PAGE;
    }
    if (vscale && vname) {
        if (vname->namelen)
            vscale->options |= scale_opt::NAMED;
        if (vname->nlablen)
            vscale->options |= scale_opt::LABELLED;
    }
    bool frameV = false;
    if (vscale && !wzmis(vscale->xmin)) {
        v.numf = 1;
        frameV = (vscale->options & scale_opt::FRAME) != 0;
        vscale->options &= ~scale_opt::FRAME;
        if (zpgrlbl(g, 0, vname, vscale, vscale->options) < 0 ||
            zpgraxi(g, 0, vname, vscale, vscale->options) < 0)
            return -1;
    }
    if (g->pct)
        h.plotpos = g->pct->pctd[1].cursize -
                    ((hscale && (hscale->options & scale_opt::FRAME)) ? 1 : 0) - h.prepos;
    if (hscale && hname) {
        if (hname->namelen)
            hscale->options |= scale_opt::NAMED;
        if (hname->nlablen)
            hscale->options |= scale_opt::LABELLED;
    }
    if (hscale && !wzmis(hscale->xmin)) {
        h.numf = 1;
        if (zpgrlbl(g, 1, hname, hscale, hscale->options) < 0 ||
            zpgraxi(g, 1, hname, hscale, hscale->options) < 0)
            return -1;
    }
    if (frameV)
        zpgroax(g, 0, 0);
    return 0;
}

void zpgrafe(PGRAFSTR* g)
{
    zpgrafp(g);
    if (g->autofreef && g->datapool) {
        xmpoold(g->datapool);
        g->datapool = nullptr;
        g->work = g->zerozero = nullptr;
    }
}

void zpgrafp(PGRAFSTR* g)
{
    if (g->pct && g->pct->virtualf)
        return;
    const PGRAF_VHSTR& v = g->pgrafd[0];
    const int w = g->pgrafd[1].totpos;
    if (!g->work || w < 1 || v.totpos < 1)
        return;
    long o5 = 0, o19 = 1, o1 = 0;
    xpopget(0, 5, &o5);
    xpopget(0, 19, &o19);
    xpopget(0, 1, &o1);
    const int start = o1 ? static_cast<int>(std::max<long>(1, o5 - o19 + 1 - w) / 2 + 1) : 1;
    int titles = 0, feet = 0;
    xtitinf(0, static_cast<int>(o5), &titles, &feet);
    const int layers = std::max(g->ovlcnt, 1);
    int nonblank = 0;
    long firstPage = 0;
    for (int line = 0; line < v.totpos; ++line) {
        bool printed = false;
        const bool last = line == v.totpos - 1;
        for (int k = 0; k < layers; ++k) {
            const char* layer = g->work + static_cast<std::ptrdiff_t>(k) * g->length;
            const char* text = layer + static_cast<std::ptrdiff_t>(line) * w;
            int n = w;
            while (n > 0 && text[n - 1] == ' ')
                --n;
            if (n > 0) {
                ++nonblank;
                if (k > 0 && printed)
                    xpskip(0, 0);
                xpfmtc(0, text, n, start);
                printed = true;
            } else {
                const char* rest = text + w;
                const char* end = layer + static_cast<std::ptrdiff_t>(v.totpos) * w;
                const bool below =
                    rest < end && !std::all_of(rest, end, [](char c) { return c == ' '; });
                if (nonblank == 0 || feet != 0 || below)
                    printed = true;
                if (last && printed)
                    xpfmtc(0, " ", 1, w);
            }
        }
        if (printed)
            xpskip(0, 1);
        if (nonblank == 1 && firstPage == 0) {
            xpopget(0, 7, &firstPage);
            xpopset(0, 21, 1);
            xpopset(0, 25, 1);
            xpopset(0, 24, 1);
        }
        if (!printed || last) {
            int t2 = 0, f2 = 0;
            xtitinf(0, -1, &t2, &f2);
            long left = 0, page = 0;
            xpopget(0, 2, &left);
            xpopget(0, 7, &page);
            if (left < f2 + 1 && page > firstPage && firstPage != 0)
                xppage();
            xpopset(0, 21, 0);
            if (!printed)
                break;
        }
    }
    xpopset(0, 21, 0);
    xpopset(0, 25, 0);
    xpopset(0, 24, 0);
    xpleft(0, 2);
}

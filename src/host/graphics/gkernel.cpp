// The graphics kernel: units and character cells, the catalogue (a folder
// per library member, one SVG per entry), segments drawn on the shared
// canvas, lines, polylines, markers and fills, measured rotated text,
// colours and SYMBOL definitions, and graphics start-up (task anchors,
// resource slots, control blocks, sub-libraries). The choices the callers
// leave open are the tables at the top; device-conventions.md explains them.
#include "host/graphics/gkernel.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#include "host/graphics/export.h"
#include "vyr_atomic_file.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_session.h"

namespace vgr::gk
{

// ---------------------------------------------------------------------------
// Conventions.

// Line types: 1 solid, then dashes and dots of growing length, then
// dash-dot patterns; 34 (the grid's type) is a fine dotted line.
const std::array<const char*, 46> kLineTypes = {
    "",         "2 2",      "4 2",          "6 3",         "8 3",          "10 4",
    "12 4",     "16 4",     "20 5",         "2 4",         "1 2",          "4 4",
    "8 4 2 4",  "12 4 2 4", "16 4 2 4",     "8 4 2 4 2 4", "12 4 4 4",     "16 4 4 4",
    "20 4 4 4", "6 2",      "3 3",          "10 2 2 2",    "14 2 2 2",     "18 3 3 3",
    "24 4",     "24 4 4 4", "24 4 2 4 2 4", "5 5",         "10 5",         "15 5",
    "20 5 5 5", "1 6",      "2 8",          "1 3",         "4 8",          "8 8",
    "12 6 2 6", "16 6 2 6", "20 6 2 6",     "6 2 2 2 2 2", "10 3 3 3 3 3", "14 3 3 3 3 3",
    "3 6",      "6 6",      "9 6",          "12 12",
};

const char* dashOf(int style)
{
    if (style < 1 || style > 46)
        return "";
    return kLineTypes[static_cast<size_t>(style - 1)];
}

const std::vector<MarkerDef> kMarkers = {
    {"PLUS", Marker::Plus, false},
    {"X", Marker::Cross, false},
    {"CIRCLE", Marker::Circle, false},
    {"DOT", Marker::Dot, true},
    {"SQUARE", Marker::Square, false},
    {"DIAMOND", Marker::Diamond, false},
    {"TRIANGLE", Marker::Triangle, false},
    {"SQUAREF", Marker::Square, true},
    {"DIAMONDF", Marker::Diamond, true},
    {"TRIANGLF", Marker::Triangle, true},
    {"+", Marker::Plus, false},
    {"CROSS", Marker::Cross, false},
};

const std::vector<ColourDef> kColours = {
    {"FOREGROUND", "#000000"},
    // The list SYMBOL definitions cycle through (colour-blind safe).
    {"LIST1", "#0072B2"},
    {"LIST2", "#D55E00"},
    {"LIST3", "#009E73"},
    {"LIST4", "#CC79A7"},
    {"LIST5", "#E69F00"},
    {"LIST6", "#56B4E9"},
    // Named colours.
    {"BLACK", "#000000"},
    {"WHITE", "#FFFFFF"},
    {"RED", "#CC0000"},
    {"GREEN", "#008000"},
    {"BLUE", "#0000CC"},
    {"CYAN", "#00A0A0"},
    {"MAGENTA", "#C000C0"},
    {"YELLOW", "#E6C000"},
    {"ORANGE", "#E67300"},
    {"BROWN", "#8B4513"},
    {"GRAY", "#808080"},
    {"GREY", "#808080"},
    {"LIGHTGRAY", "#D3D3D3"},
    {"LIGHTGREY", "#D3D3D3"},
    {"DARKGRAY", "#404040"},
    {"DARKGREY", "#404040"},
    {"PINK", "#FF69B4"},
    {"PURPLE", "#800080"},
    {"VIOLET", "#8A2BE2"},
    {"NAVY", "#000080"},
    {"OLIVE", "#808000"},
    {"TEAL", "#008080"},
    {"MAROON", "#800000"},
    {"LIME", "#32CD32"},
    {"GOLD", "#DAA520"},
};

const std::array<const char*, 6> kDefaultMarkers = {"PLUS",   "X",        "CIRCLE",
                                                    "SQUARE", "TRIANGLE", "DIAMOND"};

std::string hexOf(int colour)
{
    if (colour < 1 || colour > static_cast<int>(kColours.size()))
        return kColours[0].hex;
    return kColours[static_cast<size_t>(colour - 1)].hex;
}

// ---------------------------------------------------------------------------
// State and helpers.

State& st()
{
    static State s;
    return s;
}

double fontPx(double heightPct)
{
    const State& s = st();
    if (!(heightPct > 0))
        return s.H / s.vpos;
    return heightPct * s.H / 100;
}

void beginGroup(std::string_view cls)
{
    State& s = st();
    if (!s.cur)
        return;
    draw([&](Canvas& c) { c.begin(cls); });
    ++s.cur->depth;
}

void endGroup()
{
    State& s = st();
    if (!s.cur || s.cur->depth == 0)
        return;
    draw([](Canvas& c) { c.end(); });
    --s.cur->depth;
}

void endClip()
{
    State& s = st();
    if (s.cur && s.cur->clipped) {
        endGroup();
        s.cur->clipped = false;
    }
}

std::string field(const char* text, int len)
{
    std::string out;
    if (!text)
        return out;
    for (int i = 0; i < len && text[i] != '\0'; ++i)
        out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
    const size_t b = out.find_first_not_of(' ');
    if (b == std::string::npos)
        return std::string();
    const size_t e = out.find_last_not_of(' ');
    return out.substr(b, e - b + 1);
}

bool boldFont(const char* font8)
{
    const std::string f = field(font8, 8);
    return f.size() > 1 && f.back() == 'B' && f.rfind("HW", 0) != 0;
}

bool noteOnce(const std::string& key)
{
    return st().noted.insert(key).second;
}

void stepEnd()
{
    State& s = st();
    // A segment never closed is not catalogued.
    s.cur = nullptr;
    s.segs.clear();
    s.cats.clear();
    s.gz = nullptr;
    s.header.clear();
    s.headerLaid = false;
    s.noted.clear();
    s.lineWidth = 1;
    s.colour = 1;
    s.surface = 4;
    if (s.task) {
        // The slots' clean-up routines run as the task ends.
        for (State::Slot& slot : s.task->slots)
            if (slot.cleanup)
                slot.cleanup();
        s.task.reset();
    }
}

namespace
{

constexpr int kGroup = 580;
constexpr int kMsgNoLibrary = 20;
constexpr int kMsgNoFolder = 21;
constexpr int kMsgNotWritten = 22;
constexpr int kMsgFolderOutside = 5305;
constexpr int kMsgEarlierEntries = 5306;
constexpr int kMsgCatalogueLocked = 6060;
constexpr int kMsgNoWorkFolder = 6103;
// The step's return code when an entry cannot be catalogued: that of a graph
// file of the output layer that cannot be written.
constexpr int kRcNotWritten = 1008;
constexpr int kMsgUnknownColour = 23;
constexpr int kMsgUnknownMarker = 24;

std::string lowerToken(const std::string& s)
{
    std::string t;
    for (char c : s)
        t.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return t;
}

Stroke strokeOf(int colour, double width, int style)
{
    Stroke s;
    s.color = hexOf(colour < 0 ? 1 : colour);
    s.width = width > 0 ? width : 1;
    s.dash = dashOf(style);
    return s;
}

} // namespace

} // namespace vgr::gk

using namespace vgr::gk;

// ---------------------------------------------------------------------------
// Units and cells.

double ggcellw()
{
    return 100.0 / st().hpos;
}

double ggcellh()
{
    return 100.0 / st().vpos;
}

double ggl2pct(double value, int unit, int direction)
{
    const State& s = st();
    const double extent = direction == 1 ? s.W : s.H;
    switch (unit) {
    case GU_PERCENT:
        return value;
    case GU_INCH:
        return value * kDpi * 100 / extent;
    case GU_CM:
        return value / 2.54 * kDpi * 100 / extent;
    case GU_POINT:
        return value / 72 * kDpi * 100 / extent;
    case GU_CELL:
    default:
        return value * (direction == 1 ? ggcellw() : ggcellh());
    }
}

double ggcell(double value, int direction, int mode)
{
    const double cell = direction == 1 ? ggcellw() : ggcellh();
    switch (mode) {
    case 'P':
        return value * cell;
    case 'C':
        return value / cell;
    case 'S':
        return std::round(value / cell) * cell;
    default:
        return value;
    }
}

// ---------------------------------------------------------------------------
// Catalogue and segments.

int ggadcat(int, const char* libname, void** catptr, int, int)
{
    State& s = st();
    std::string lib = field(libname, 8);
    if (lib.empty())
        lib = "WORK";
    std::string member = s.gz ? field(s.gz->catmem, s.gz->catmemlen) : std::string();
    if (member.empty())
        member = "GSEG";
    member = vyr::catalogue_token(member);
    // A catalogue that cannot be used fails the step, as a graph file that
    // cannot be written does.
    std::string workWhy;
    const std::string path = lib == "WORK" ? vyr_work_dir(&workWhy) : vyr_library_path(lib);
    if (path.empty() && lib == "WORK") {
        // Without --out and with no temporary folder that can be used: never
        // the current folder in its place.
        xpmlog(kGroup, kMsgNoWorkFolder, (lib + "." + member).c_str(), workWhy.c_str());
        xsetrc(kRcNotWritten);
        return -1;
    }
    if (path.empty()) {
        xpmlog(kGroup, kMsgNoLibrary, lib.c_str());
        xsetrc(kRcNotWritten);
        return -1;
    }
    namespace fs = std::filesystem;
    const std::string folder = (fs::path(path) / member).string();
    // The member's folder is made inside the library's folder, and no
    // symbolic link planted there leads the entries out of it.
    std::string where;
    switch (vyr::prepare_folder(folder, path, where)) {
    case vyr::FolderState::Ready:
        break;
    case vyr::FolderState::Outside:
        xpmlog(kGroup, kMsgFolderOutside, folder.c_str(), where.c_str(), path.c_str());
        xsetrc(kRcNotWritten);
        return -1;
    case vyr::FolderState::NotAFolder:
        xpmlog(kGroup, kMsgNoFolder, folder.c_str(), where.c_str());
        xsetrc(kRcNotWritten);
        return -1;
    }
    // The first time the run uses a catalogue of a permanent library, the
    // entries earlier runs left in it keep their names: new entries take
    // names not in use. WORK is the run's own library, whose entries of an
    // earlier run in the same output folder are replaced, as its data sets
    // are. Other runs may write a permanent catalogue at the same time: in
    // each step that uses it, its folder stays locked from here until the
    // step's files are in place.
    std::string why;
    const int earlier = vyr::catalogue_use(folder, lib != "WORK", why);
    if (earlier < 0) {
        xpmlog(kGroup, kMsgCatalogueLocked, (lib + "." + member).c_str(), folder.c_str(),
               why.c_str());
        xsetrc(kRcNotWritten);
        return -1;
    }
    if (earlier > 0)
        xpmlog(kGroup, kMsgEarlierEntries, (lib + "." + member).c_str(), folder.c_str(), earlier);
    for (Catalogue& c : s.cats)
        if (c.lib == lib && c.member == member) {
            if (catptr)
                *catptr = &c;
            return 0;
        }
    s.cats.push_back({lib, member, folder});
    if (catptr)
        *catptr = &s.cats.back();
    return 0;
}

int ggoseg(int, int, void* catptr, void** segq, char* sysname, const char* name, const char*, int,
           const char* desc, int, int, int, int, int)
{
    State& s = st();
    auto* cat = static_cast<Catalogue*>(catptr);
    if (!cat || !segq)
        return -1;
    std::string proposed = vyr::catalogue_token(field(name, 8));
    if (proposed.empty())
        proposed = "GRAPH";
    const std::string entry = vyr::catalogue_entry_name(cat->folder, proposed);
    // The description (256 characters, blank padded) keeps its case.
    std::string title;
    if (desc) {
        title.assign(desc, strnlen(desc, 256));
        const size_t b = title.find_first_not_of(' ');
        const size_t e = title.find_last_not_of(' ');
        title = b == std::string::npos ? std::string() : title.substr(b, e - b + 1);
    }
    Segment seg;
    seg.cat = cat;
    seg.entry = entry;
    seg.desc = title;
    const std::string prefix =
        "g-" + lowerToken(cat->lib) + "-" + lowerToken(cat->member) + "-" + lowerToken(entry) + "-";
    seg.svg = std::make_unique<vgr::SvgCanvas>(s.W, s.H, prefix, title.empty() ? entry : title);
    s.segs.push_back(std::move(seg));
    s.cur = &s.segs.back();
    *segq = s.cur;
    if (s.observer) {
        vgr::Path bg;
        bg.rect(0, 0, s.W, s.H);
        vgr::Fill white{"#ffffff", 1};
        s.observer->path("background", bg, nullptr, &white);
    }
    if (sysname) {
        std::memset(sysname, ' ', 8);
        std::memcpy(sysname, entry.data(), std::min<size_t>(8, entry.size()));
    }
    return 0;
}

int ggsel(void* segq)
{
    if (!segq)
        return -1;
    st().cur = static_cast<Segment*>(segq);
    return 0;
}

int ggcseg(int, void** segq, int)
{
    State& s = st();
    auto* seg = segq ? static_cast<Segment*>(*segq) : nullptr;
    if (!seg)
        return -1;
    s.cur = seg;
    while (seg->depth > 0)
        endGroup();
    seg->clipped = false;
    const std::string svg = seg->svg->finish();
    // The entry's files are put in place with the step's other files when
    // the step ends.
    const std::string folder = seg->cat->folder;
    const std::string file = (std::filesystem::path(folder) / (seg->entry + ".svg")).string();
    const std::string key = seg->cat->lib + "." + seg->cat->member + "." + seg->entry;
    s.cur = nullptr;
    *segq = nullptr;
    // In a permanent catalogue an entry never replaces anything: something
    // made at its name while the step ran (by a program that does not take
    // the catalogue's lock) is kept, and the entry takes another name.
    const auto placement =
        seg->cat->lib == "WORK" ? vyr::StagedPlacement::Replace : vyr::StagedPlacement::NewEntry;
    std::string why;
    if (!vyr::write_staged_file(
            folder, seg->entry + ".svg", "the catalogue entry " + file,
            [&](std::FILE* f) { return std::fwrite(svg.data(), 1, svg.size(), f) == svg.size(); },
            why, placement)) {
        xpmlog(kGroup, kMsgNotWritten, file.c_str(), why.c_str());
        xsetrc(kRcNotWritten);
        return -1;
    }
    if (!s.entries.count(key))
        s.order.push_back(key);
    VyrGraphEntry entry{svg, file, seg->desc, {}};
    // PNG and PDF beside the SVG when the command line asks for them.
    const VyrSettings& set = vyr_settings();
    const std::pair<bool, const char*> kinds[] = {{set.graphPng, "png"}, {set.graphPdf, "pdf"}};
    for (const auto& [want, ext] : kinds) {
        if (!want)
            continue;
        const std::string name = seg->entry + "." + ext;
        const std::string image = (std::filesystem::path(folder) / name).string();
        std::string reason;
        const auto format = ext[1] == 'n' ? vgr::ImageFormat::Png : vgr::ImageFormat::Pdf;
        if (vyr::write_staged_file(
                folder, name, "the image file " + image,
                [&](std::FILE* f) { return vgr::writeImage(svg, f, format, reason); }, reason,
                placement))
            entry.images.push_back(image);
        else {
            xpmlog(kGroup, kMsgNotWritten, image.c_str(), reason.c_str());
            xsetrc(kRcNotWritten);
        }
    }
    s.entries[key] = std::move(entry);
    return 0;
}

int ggplvdq(const char*, xobskey)
{
    return 0;
}

// ---------------------------------------------------------------------------
// Drawing state and primitives.

int ggsetlw(double width)
{
    st().lineWidth = width > 0 ? width : 1;
    return 0;
}

int ggsetcl(int colour)
{
    st().colour = colour;
    return 0;
}

int ggsurf(int mode)
{
    st().surface = mode;
    return 0;
}

int ggclip(const GWINDOW* rect)
{
    State& s = st();
    if (!s.cur)
        return rect ? -1 : 0;
    endClip();
    if (!rect)
        return 0;
    vgr::Rect r{px(std::min(rect->x1, rect->x2)), py(std::max(rect->y1, rect->y2)),
                px(std::max(rect->x1, rect->x2)), py(std::min(rect->y1, rect->y2))};
    draw([&](vgr::Canvas& c) { c.beginClip("data", r); });
    ++s.cur->depth;
    s.cur->clipped = true;
    return 0;
}

int ggdraw(double x0, double y0, double x1, double y1, int style, int colour)
{
    State& s = st();
    if (!s.cur)
        return -1;
    if (wzmis(x0) || wzmis(y0) || wzmis(x1) || wzmis(y1))
        return 0;
    const vgr::Stroke k = strokeOf(colour == -1 ? s.colour : colour, s.lineWidth, style);
    draw([&](vgr::Canvas& c) { c.line("rule", px(x0), py(y0), px(x1), py(y1), k); });
    return 0;
}

int ggpline(const double* xy, long n, int style, double width, int, int colour)
{
    State& s = st();
    if (!s.cur)
        return -1;
    if (!xy || n < 2)
        return 0;
    // Points are thinned at the device's resolution: of a run of points in
    // one pixel column only the first, the highest, the lowest and the last
    // are kept, in their order, so that a curve of many thousand points
    // draws the same with a few per column.
    vgr::Path p;
    struct Run {
        vgr::Pt first, low, high, last;
        long ilow = 0, ihigh = 0;
        int count = 0;
    } run;
    bool open = false;   // a run is being gathered
    bool joined = false; // the path holds a segment since its last move
    vgr::Pt lastOut{};
    bool haveOut = false;
    auto emit = [&](vgr::Pt q) {
        if (haveOut && q.x == lastOut.x && q.y == lastOut.y)
            return;
        p.lineTo(q.x, q.y);
        lastOut = q;
        haveOut = true;
        joined = true;
    };
    auto flush = [&]() {
        if (!open)
            return;
        if (run.count > 1) {
            if (run.ilow < run.ihigh) {
                emit(run.low);
                emit(run.high);
            } else {
                emit(run.high);
                emit(run.low);
            }
            emit(run.last);
        }
        open = false;
    };
    auto start = [&](vgr::Pt q, bool move) {
        if (move) {
            // A move left without a segment is dropped.
            if (!p.empty() && !joined && p.cmds.back().op == vgr::Path::Move)
                p.cmds.pop_back();
            p.moveTo(q.x, q.y);
            joined = false;
        } else {
            emit(q);
        }
        lastOut = q;
        haveOut = true;
        run = Run{q, q, q, q, 0, 0, 1};
        open = true;
    };
    bool pen = false;
    for (long i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        if (wzmis(x) || wzmis(y) || !std::isfinite(x) || !std::isfinite(y)) {
            flush();
            pen = false;
            continue;
        }
        const vgr::Pt q{px(x), py(y)};
        if (!pen) {
            flush();
            start(q, true);
            pen = true;
            continue;
        }
        if (std::abs(q.x - run.first.x) < 0.5) {
            ++run.count;
            run.last = q;
            if (q.y < run.high.y) {
                run.high = q;
                run.ihigh = i;
            }
            if (q.y > run.low.y) {
                run.low = q;
                run.ilow = i;
            }
            continue;
        }
        flush();
        start(q, false);
    }
    flush();
    if (!p.empty() && !joined && p.cmds.back().op == vgr::Path::Move)
        p.cmds.pop_back();
    if (p.empty())
        return 0;
    const vgr::Stroke k = strokeOf(colour, width > 0 ? width : s.lineWidth, style);
    draw([&](vgr::Canvas& c) { c.path("curve", p, &k, nullptr); });
    return 0;
}

int ggpmark(const double* xy, long n, const char*, const char* value, double height, double,
            int number, int, int colour)
{
    State& s = st();
    if (!s.cur)
        return -1;
    if (!xy || n < 1)
        return 0;
    int m = number;
    if (m == 0 && value)
        m = ggsymbx(value);
    if (m < 1)
        return 0;
    const MarkerDef& def = kMarkers[static_cast<size_t>(std::min<int>(m, kMarkers.size()) - 1)];
    const double size = fontPx(height > 0 ? height : 0.75 * ggcellh());
    vgr::Stroke k = strokeOf(colour, 1.25, 1);
    vgr::Fill fill{def.filled ? k.color : std::string(), 1};
    // A marker within a third of its size of the one drawn before it adds
    // nothing that can be seen: it is left out.
    std::vector<vgr::Pt> at;
    at.reserve(static_cast<size_t>(std::min<long>(n, 4096)));
    for (long i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        if (wzmis(x) || wzmis(y) || !std::isfinite(x) || !std::isfinite(y))
            continue;
        const vgr::Pt q{px(x), py(y)};
        if (!at.empty() && std::abs(q.x - at.back().x) < size / 3 &&
            std::abs(q.y - at.back().y) < size / 3)
            continue;
        at.push_back(q);
    }
    draw([&](vgr::Canvas& c) {
        for (const vgr::Pt& q : at)
            c.marker("marker", def.shape, q.x, q.y, size, k, def.filled ? &fill : nullptr);
    });
    return 0;
}

int ggfill(double x0, double y0, double x1, double y1, const char* pattern, int colour)
{
    State& s = st();
    if (!s.cur)
        return -1;
    if (field(pattern, 8) != "S")
        return 0;
    vgr::Path p;
    p.rect(px(std::min(x0, x1)), py(std::max(y0, y1)), std::abs(px(x1) - px(x0)),
           std::abs(py(y1) - py(y0)));
    vgr::Fill f{hexOf(colour < 0 ? s.colour : colour), 1};
    draw([&](vgr::Canvas& c) { c.path("frame-fill", p, nullptr, &f); });
    return 0;
}

int ggbimg(const char*, int, double, double, double, double, int, int, int, int)
{
    return -1;
}

// ---------------------------------------------------------------------------
// Text.

int ggstri(GSTRING* s)
{
    if (!s)
        return -1;
    std::memset(static_cast<void*>(s), 0, sizeof *s);
    s->colnum = -1;
    s->aspect = 1;
    std::memset(s->font, ' ', 8);
    return 0;
}

int ggstrp(int, GSTRING* s, int)
{
    return s ? 0 : -1;
}

int ggstxfm(GSTXFM* x, double* angle, double* rotate)
{
    auto norm = [](double a) {
        if (!std::isfinite(a))
            return 0.0;
        a = std::fmod(a, 360.0);
        return a < 0 ? a + 360.0 : a;
    };
    const double a = angle ? norm(*angle) : 0, r = rotate ? norm(*rotate) : 0;
    if (angle)
        *angle = a;
    if (rotate)
        *rotate = r;
    if (x) {
        x->angle = a;
        x->rotate = r;
    }
    return 0;
}

int ggstrl(GSTRING* s)
{
    if (!s || !s->quad)
        return -1;
    const State& k = st();
    const std::string_view text(s->text ? s->text : "", s->text && s->len > 0 ? s->len : 0);
    const vgr::TextBox b = vgr::TextMetrics::measure(text, fontPx(s->height), boldFont(s->font));
    const double w = b.width * (s->aspect > 0 ? s->aspect : 1);
    const double corners[4][2] = {{0, -b.descent}, {w, -b.descent}, {w, b.ascent}, {0, b.ascent}};
    const double a = s->angle * M_PI / 180;
    const double c = std::cos(a), sn = std::sin(a);
    for (int i = 0; i < 4; ++i) {
        const double x = corners[i][0] * c - corners[i][1] * sn;
        const double y = corners[i][0] * sn + corners[i][1] * c;
        s->quad[i].x = static_cast<float>(x * 100 / k.W);
        s->quad[i].y = static_cast<float>(y * 100 / k.H);
    }
    return 0;
}

int ggstr(GSTRING* s, double x, double y)
{
    State& k = st();
    if (!s || !k.cur)
        return -1;
    if (!s->text || s->len <= 0 || wzmis(x) || wzmis(y))
        return 0;
    std::string text(s->text, static_cast<size_t>(s->len));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    if (text.empty())
        return 0;
    vgr::TextStyle style;
    style.size = fontPx(s->height);
    style.bold = boldFont(s->font);
    style.rotate = -s->angle;
    style.color = hexOf(s->colnum < 0 ? 1 : s->colnum);
    draw([&](vgr::Canvas& c) { c.text("text", px(x), py(y), text, style); });
    return 0;
}

// ---------------------------------------------------------------------------
// Colours and symbols.

int ggcnum(const char* name, int len)
{
    const std::string n = field(name, len);
    if (n.empty())
        return -1;
    if (std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        n.size() <= 4) {
        const int k = std::max(1, std::atoi(n.c_str()));
        return kListFirst + (k - 1) % kListSize;
    }
    for (size_t i = 0; i < kColours.size(); ++i)
        if (n == kColours[i].name)
            return static_cast<int>(i) + 1;
    if (noteOnce("colour:" + n))
        xpmlog(kGroup, kMsgUnknownColour, n.c_str());
    return 1;
}

int ggcnum5()
{
    return 1;
}

int ggsymbx(const char* name)
{
    const std::string n = field(name, 8);
    if (n.empty() || n == "NONE")
        return -1;
    for (size_t i = 0; i < kMarkers.size(); ++i)
        if (n == kMarkers[i].name)
            return static_cast<int>(i) + 1;
    if (noteOnce("marker:" + n))
        xpmlog(kGroup, kMsgUnknownMarker, n.c_str());
    return 1;
}

int ggetsym(int, int maxsym, GSYMSTR* defs)
{
    if (maxsym < 0 || (maxsym > 0 && !defs))
        return -1;
    for (int k = 0; k < maxsym; ++k) {
        GSYMSTR& d = defs[k];
        std::memset(static_cast<void*>(&d), 0, sizeof d);
        const int slot = k % kListSize;
        d.height = 0.75 * ggcellh();
        d.aspect = 1;
        d.width = 2;
        d.style = static_cast<short>(1 + (k / kListSize) % 46);
        auto put = [](char* to, const char* s) {
            std::memset(to, ' ', 8);
            std::memcpy(to, s, std::min<size_t>(8, std::strlen(s)));
        };
        put(d.ci, kColours[static_cast<size_t>(kListFirst - 1 + slot)].name);
        std::memcpy(d.cv, d.ci, 8);
        put(d.font, "");
        put(d.value, kDefaultMarkers[static_cast<size_t>(slot)]);
        d.number = ggsymbx(d.value);
        d.itype = 'J';
        put(d.interpol, "JOIN");
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Graphics start-up.

int wiinstl(long, const char* name, int)
{
    static const char* const known[] = {"VYRCHT7", "VYRXGSUB", "VYRXGGXL", "VYRXGANO"};
    const std::string n = field(name, 8);
    for (const char* k : known)
        if (n == k)
            return 0;
    return -1;
}

namespace
{

State::Task& task()
{
    State& s = st();
    if (!s.task) {
        s.task = std::make_unique<State::Task>();
        // The task's graphics control block exists from its start, so that
        // graphics start-up finds it without having to make it.
        State::Task& t = *s.task;
        t.gn.emplace_back();
        GNGRAPH& gn = t.gn.back();
        std::memset(static_cast<void*>(&gn), 0, sizeof gn);
        gn.aspect = 1;
        gn.hpos = 80;
        gn.vpos = 40;
        t.gx.push_back(GXCOM{&gn, &t, 0, 0});
        t.slots.push_back({&t.gx.back(), &ggstop});
        t.anchors["__GCB_GSUBLIB"] = static_cast<long>(t.slots.size());
        // The device cache's block: the libraries searched for device
        // entries, and the devices loaded.
        gdevhd_init(&t.graph.devhd);
        t.slots.push_back({&t.graph, nullptr});
        t.anchors["__GCB_GRAPH"] = static_cast<long>(t.slots.size());
    }
    return *s.task;
}

} // namespace

void* xtanch()
{
    return &task();
}

int xytngl(void* taskp, int, const char* name, int len, long* slot, void** owner)
{
    if (!taskp)
        return XYT_NOT_FOUND;
    auto* t = static_cast<State::Task*>(taskp);
    const std::string n(name, static_cast<size_t>(std::max(0, len)));
    auto it = t->anchors.find(n);
    if (it == t->anchors.end())
        return XYT_NOT_FOUND;
    if (slot)
        *slot = it->second;
    if (owner)
        *owner = t;
    return 0;
}

int xytnsl(void* taskp, int, const char* name, int len, long slot)
{
    if (!taskp || len <= 0)
        return -1;
    static_cast<State::Task*>(taskp)->anchors[std::string(name, static_cast<size_t>(len))] = slot;
    return 0;
}

int wtrscrt(void* taskp, long* slot, int, void (*cleanup)())
{
    if (!taskp || !slot)
        return -1;
    auto* t = static_cast<State::Task*>(taskp);
    t->slots.push_back({nullptr, cleanup});
    *slot = static_cast<long>(t->slots.size());
    return 0;
}

int wtrsset(void* taskp, long slot, void* value)
{
    auto* t = static_cast<State::Task*>(taskp);
    if (!t || slot < 1 || slot > static_cast<long>(t->slots.size()))
        return -1;
    t->slots[static_cast<size_t>(slot - 1)].value = value;
    return 0;
}

void* wtrsget(void* taskp, long slot)
{
    auto* t = static_cast<State::Task*>(taskp);
    if (!t || slot < 1 || slot > static_cast<long>(t->slots.size()))
        return nullptr;
    return t->slots[static_cast<size_t>(slot - 1)].value;
}

int vir2g(void (*function)(), void (**gate)(), void*, void*)
{
    if (!function || !gate)
        return -1;
    *gate = function;
    return 0;
}

GXCOM* ggxget(void* anchor)
{
    auto* t = static_cast<State::Task*>(anchor);
    if (!t)
        return nullptr;
    for (const char* name : {"__VDQ_GSUBLIB", "__GCB_GSUBLIB"}) {
        auto it = t->anchors.find(name);
        if (it == t->anchors.end())
            continue;
        if (void* v = wtrsget(t, it->second))
            return static_cast<GXCOM*>(v);
    }
    return nullptr;
}

GZCOM* ggznew(void* anchor)
{
    auto* t = static_cast<State::Task*>(anchor ? anchor : xtanch());
    t->gz.emplace_back();
    GZCOM& g = t->gz.back();
    std::memset(static_cast<void*>(&g), 0, sizeof g);
    // Graphs are handed to the output layer.
    g.options[0] = 0x08;
    std::memset(g.device, ' ', 8);
    std::memset(g.text_font, ' ', 8);
    std::memset(g.title_font, ' ', 8);
    std::memset(g.title_color, ' ', 16);
    std::memset(g.text_color, ' ', 16);
    std::memset(g.libname, ' ', 8);
    GXCOM* gx = ggxget(t);
    g.gngraph = gx ? gx->gngraph : nullptr;
    st().gz = &g;
    return &g;
}

int gginit(GZCOM* gzcom)
{
    State& s = st();
    if (!gzcom)
        return 1;
    s.gz = gzcom;
    double w = kDefaultWidth, h = kDefaultHeight;
    if (gzcom->xpixels > 0)
        w = gzcom->xpixels;
    else if ((gzcom->hvset & 1) && gzcom->hsize > 0)
        w = gzcom->hsize * kDpi;
    if (gzcom->ypixels > 0)
        h = gzcom->ypixels;
    else if ((gzcom->hvset & 2) && gzcom->vsize > 0)
        h = gzcom->vsize * kDpi;
    s.W = std::clamp(w, 64.0, 8192.0);
    s.H = std::clamp(h, 48.0, 8192.0);
    s.hpos = std::max(8, static_cast<int>(std::lround(s.W / kCellPx)));
    s.vpos = std::max(4, static_cast<int>(std::lround(s.H / kCellPy)));
    if (gzcom->gngraph) {
        gzcom->gngraph->hpos = s.hpos;
        gzcom->gngraph->vpos = s.vpos;
    }
    if (GXCOM* gx = ggxget(xtanch()))
        gx->init = 1;
    ggzrst(255);
    return 0;
}

void ggzrst(int)
{
    State& s = st();
    s.lineWidth = 1;
    s.colour = 1;
    s.surface = 4;
    s.headerLaid = false;
    s.header.clear();
}

void ggstop() {}

void ggterm() {}

void gpsnrel(void*, int, int) {}

GGCBTF* ggcbtf(void* anchor)
{
    auto* t = static_cast<State::Task*>(anchor);
    return t ? &t->tf : nullptr;
}

int gvdqclr(const char*, char*)
{
    return -1;
}

int gvdqfont(const char*, char*, double*)
{
    return -1;
}

// ---------------------------------------------------------------------------
// Host side.

const VyrGraphEntry* vyr_gk_entry(const std::string& library, const std::string& member,
                                  const std::string& entry)
{
    std::string lib = field(library.c_str(), static_cast<int>(library.size()));
    if (lib.empty())
        lib = "WORK";
    std::string mem = field(member.c_str(), static_cast<int>(member.size()));
    if (mem.empty())
        mem = "GSEG";
    const std::string key = lib + "." + vyr::catalogue_token(mem) + "." +
                            field(entry.c_str(), static_cast<int>(entry.size()));
    auto it = st().entries.find(key);
    return it == st().entries.end() ? nullptr : &it->second;
}

std::vector<std::string> vyr_gk_entries()
{
    return st().order;
}

void vyr_gk_reset()
{
    State& s = st();
    stepEnd();
    s.entries.clear();
    s.order.clear();
    vyr::catalogue_names_reset();
}

void vyr_gk_observe(vgr::Canvas* canvas)
{
    st().observer = canvas;
}

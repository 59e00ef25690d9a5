// The drawing layer every graph of the host goes through: statistical
// graphs drawn from templates, and device graphics drawn through the
// graphics kernel. A Canvas works in pixels with y down. Each primitive
// carries a semantic class ("curve", "censor", "atrisk", "axis-x", ...):
// the SVG writer puts it in class=, the recording canvas keeps it for tests.
// Text is measured with the compiled-in metrics (TextMetrics), so layout
// needs no font at run time and comes out the same on every machine.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vgr
{

// A point in pixels.
struct Pt {
    double x = 0, y = 0;
};

// An outline: moves, lines and closes, in pixels.
class Path
{
  public:
    enum Op : unsigned char { Move, Line, Close };
    struct Cmd {
        Op op;
        Pt p;
    };
    Path& moveTo(double x, double y)
    {
        cmds.push_back({Move, {x, y}});
        return *this;
    }
    Path& lineTo(double x, double y)
    {
        cmds.push_back({Line, {x, y}});
        return *this;
    }
    Path& close()
    {
        cmds.push_back({Close, {}});
        return *this;
    }
    Path& rect(double x, double y, double w, double h)
    {
        return moveTo(x, y).lineTo(x + w, y).lineTo(x + w, y + h).lineTo(x, y + h).close();
    }
    bool empty() const { return cmds.empty(); }
    std::vector<Cmd> cmds;
};

// How a path's outline is drawn. An empty colour draws no outline.
struct Stroke {
    std::string color = "#000000";
    double width = 1;
    std::string dash; // "4 3": lengths in pixels; empty: solid
    double opacity = 1;
};

// How a path's inside is filled. An empty colour leaves it empty.
struct Fill {
    std::string color;
    double opacity = 1;
};

enum class Anchor { Start, Middle, End };

struct TextStyle {
    double size = 11; // pixels
    bool bold = false;
    Anchor anchor = Anchor::Start;
    double rotate = 0; // degrees, clockwise about the anchor point (-90: reads upwards)
    std::string color = "#000000";
};

// The measured extent of a text: its advance width, and how far the font
// reaches above and below the baseline.
struct TextBox {
    double width = 0, ascent = 0, descent = 0;
    double height() const { return ascent + descent; }
};

// An axis-aligned rectangle.
struct Rect {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    double width() const { return x1 - x0; }
    double height() const { return y1 - y0; }
    bool overlaps(const Rect& o, double slack = 0) const
    {
        return x0 + slack < o.x1 && o.x0 + slack < x1 && y0 + slack < o.y1 && o.y0 + slack < y1;
    }
    bool inside(const Rect& o, double slack = 0) const
    {
        return x0 >= o.x0 - slack && x1 <= o.x1 + slack && y0 >= o.y0 - slack && y1 <= o.y1 + slack;
    }
};

// Marker shapes, each a small path about its centre.
enum class Marker { Plus, Cross, Circle, Square, Triangle, Diamond, Dot };

// Advance widths and kerning of Liberation Sans, regular and bold, for the
// characters labels use (Latin scripts, Greek, common symbols); any other
// character counts as a digit's width. Texts are UTF-8.
class TextMetrics
{
  public:
    static TextBox measure(std::string_view text, double size, bool bold = false);
    static double width(std::string_view text, double size, bool bold = false)
    {
        return measure(text, size, bold).width;
    }
    // The box of a text drawn at (x, y) (its baseline point) in a style.
    static Rect box(double x, double y, std::string_view text, const TextStyle& style);
    // The length in bytes of the longest start of `text`, ending between two
    // of its characters, that is no wider than `room` with `suffix` after
    // it (0 when none is): one pass over the text, however long.
    static size_t fitPrefix(std::string_view text, std::string_view suffix, double room,
                            double size, bool bold = false);
    // The place in bytes where the longest end of `text` starts, between two
    // of its characters, that is no wider than `room` with `prefix` before
    // it (text.size() when none is).
    static size_t fitSuffix(std::string_view text, std::string_view prefix, double room,
                            double size, bool bold = false);
};

// The font the metrics describe, as SVG names it, with metric-compatible
// stand-ins after it.
inline constexpr const char* kFontFamily = "Liberation Sans, Arimo, Arial, Helvetica, sans-serif";

class Canvas
{
  public:
    Canvas(double width, double height) : width_(width), height_(height) {}
    virtual ~Canvas() = default;
    double width() const { return width_; }
    double height() const { return height_; }

    // A group of what follows, up to its end(). `id` (may be empty) is made
    // unique per graph by the canvas.
    virtual void begin(std::string_view cls, std::string_view id = {}) = 0;
    // A group whose drawing is clipped to a rectangle.
    virtual void beginClip(std::string_view cls, const Rect& clip) = 0;
    virtual void end() = 0;
    // A path; either of stroke and fill may be null.
    virtual void path(std::string_view cls, const Path& p, const Stroke* stroke,
                      const Fill* fill) = 0;
    // A marker of `size` pixels across, centred on (x, y).
    virtual void marker(std::string_view cls, Marker shape, double x, double y, double size,
                        const Stroke& stroke, const Fill* fill) = 0;
    // Text whose baseline point (by its anchor) is (x, y).
    virtual void text(std::string_view cls, double x, double y, std::string_view s,
                      const TextStyle& style) = 0;

    // Convenience: one straight line.
    void line(std::string_view cls, double x0, double y0, double x1, double y1, const Stroke& s)
    {
        Path p;
        p.moveTo(x0, y0).lineTo(x1, y1);
        path(cls, p, &s, nullptr);
    }
    TextBox measure(std::string_view s, const TextStyle& style) const
    {
        return TextMetrics::measure(s, style.size, style.bold);
    }

    // A canvas of the same kind on which a run of items is drawn apart (on
    // another thread) as if inside the groups open here; join() then puts
    // what was drawn on it here. Runs drawn on forks and joined in their
    // order give what drawing them here in that order gives. A fork may
    // open groups of its own but makes no ids and no clip paths. Null when
    // the canvas cannot fork: draw on it directly.
    virtual std::unique_ptr<Canvas> fork() const { return nullptr; }
    virtual void join(Canvas& part) { (void)part; }

  protected:
    void setHeight(double height) { height_ = height; }

  private:
    double width_, height_;
};

// The path of a marker shape about (x, y).
Path markerPath(Marker shape, double x, double y, double size);

// A number as SVG coordinates write it: at most two decimals, no trailing
// zeros, no "-0".
std::string svgNumber(double v);
// The same, appended to a text being written.
void appendSvgNumber(std::string& out, double v);

// The SVG text of a graph, written as the canvas is drawn on. Ids carry a
// prefix per graph, so that graphs placed in one page never share one; the
// output has no timestamp, so the same drawing gives the same bytes.
class SvgCanvas : public Canvas
{
  public:
    // `idPrefix` starts every id; `title` is the graph's accessible name.
    // The height may change until the document is finished: a figure laid
    // out from its top knows its height only once it is drawn, and the
    // header that states it is written last.
    SvgCanvas(double width, double height, std::string idPrefix, std::string_view title);
    using Canvas::setHeight;
    void begin(std::string_view cls, std::string_view id = {}) override;
    void beginClip(std::string_view cls, const Rect& clip) override;
    void end() override;
    void path(std::string_view cls, const Path& p, const Stroke* stroke, const Fill* fill) override;
    void marker(std::string_view cls, Marker shape, double x, double y, double size,
                const Stroke& stroke, const Fill* fill) override;
    void text(std::string_view cls, double x, double y, std::string_view s,
              const TextStyle& style) override;
    // Closes every open group and the document; returns the SVG text.
    std::string finish();
    // The same, handing over the text (the canvas is left empty).
    std::string take();
    std::unique_ptr<Canvas> fork() const override;
    void join(Canvas& part) override;

  private:
    void open(std::string_view cls, std::string_view id, std::string_view clipId);
    std::string header() const;
    std::string prefix_;
    std::string title_;
    std::string out_; // what was drawn (the header goes before it when finished)
    int depth_ = 0;
    int clips_ = 0;
    bool finished_ = false;
};

// A canvas that keeps what was drawn, for tests: every item with its class,
// its points, its text and style, and the box its text takes.
class RecordingCanvas : public Canvas
{
  public:
    struct Item {
        enum Kind { Path, Marker, Text } kind = Path;
        std::string cls;                  // the item's own class
        std::vector<std::string> groups;  // classes of the groups it is in, outermost first
        std::vector<vgr::Path::Cmd> cmds; // paths
        vgr::Marker shape = vgr::Marker::Plus;
        Pt at;            // markers and texts
        double size = 0;  // markers
        std::string text; // texts
        TextStyle style;  // texts
        Rect box;         // texts: the measured box; markers: their square
        bool stroked = false, filled = false;
        Stroke stroke;
        Fill fill;
        bool hasClip = false;
        Rect clip; // the innermost clip rectangle in force
        bool in(std::string_view groupClass) const;
    };
    RecordingCanvas(double width, double height) : Canvas(width, height) {}
    void begin(std::string_view cls, std::string_view id = {}) override;
    void beginClip(std::string_view cls, const Rect& clip) override;
    void end() override;
    void path(std::string_view cls, const vgr::Path& p, const Stroke* stroke,
              const Fill* fill) override;
    void marker(std::string_view cls, vgr::Marker shape, double x, double y, double size,
                const Stroke& stroke, const Fill* fill) override;
    void text(std::string_view cls, double x, double y, std::string_view s,
              const TextStyle& style) override;
    std::unique_ptr<Canvas> fork() const override;
    void join(Canvas& part) override;

    std::vector<Item> items;
    // Items of a class (their own, or of a group they are in).
    std::vector<const Item*> of(std::string_view cls) const;
    // Pairs of texts whose boxes overlap (by more than `slack` pixels), and
    // texts that leave the canvas: empty when the layout is clean.
    std::vector<std::string> layoutFaults(double slack = 0.5) const;

  private:
    Item base() const;
    struct Open {
        std::string cls;
        bool clip = false;
        Rect rect;
    };
    std::vector<Open> open_;
};

} // namespace vgr

// The recording canvas: what a graph drew, kept for tests.
#include <algorithm>
#include <iterator>

#include "host/graphics/canvas.h"

namespace vgr
{

bool RecordingCanvas::Item::in(std::string_view groupClass) const
{
    return cls == groupClass || std::find(groups.begin(), groups.end(), groupClass) != groups.end();
}

RecordingCanvas::Item RecordingCanvas::base() const
{
    Item it;
    for (const Open& o : open_) {
        it.groups.push_back(o.cls);
        if (o.clip) {
            it.hasClip = true;
            it.clip = o.rect;
        }
    }
    return it;
}

std::unique_ptr<Canvas> RecordingCanvas::fork() const
{
    auto f = std::make_unique<RecordingCanvas>(width(), height());
    f->open_ = open_;
    return f;
}

void RecordingCanvas::join(Canvas& part)
{
    auto* p = dynamic_cast<RecordingCanvas*>(&part);
    if (!p || p == this)
        return;
    items.insert(items.end(), std::make_move_iterator(p->items.begin()),
                 std::make_move_iterator(p->items.end()));
    p->items.clear();
}

void RecordingCanvas::begin(std::string_view cls, std::string_view)
{
    open_.push_back({std::string(cls), false, {}});
}

void RecordingCanvas::beginClip(std::string_view cls, const Rect& clip)
{
    open_.push_back({std::string(cls), true, clip});
}

void RecordingCanvas::end()
{
    if (!open_.empty())
        open_.pop_back();
}

void RecordingCanvas::path(std::string_view cls, const vgr::Path& p, const Stroke* stroke,
                           const Fill* fill)
{
    Item it = base();
    it.kind = Item::Path;
    it.cls = cls;
    it.cmds = p.cmds;
    if (stroke) {
        it.stroked = !stroke->color.empty();
        it.stroke = *stroke;
    }
    if (fill) {
        it.filled = !fill->color.empty();
        it.fill = *fill;
    }
    items.push_back(std::move(it));
}

void RecordingCanvas::marker(std::string_view cls, vgr::Marker shape, double x, double y,
                             double size, const Stroke& stroke, const Fill* fill)
{
    Item it = base();
    it.kind = Item::Marker;
    it.cls = cls;
    it.shape = shape;
    it.at = {x, y};
    it.size = size;
    it.box = {x - size / 2, y - size / 2, x + size / 2, y + size / 2};
    it.stroked = !stroke.color.empty();
    it.stroke = stroke;
    if (fill) {
        it.filled = !fill->color.empty();
        it.fill = *fill;
    }
    items.push_back(std::move(it));
}

void RecordingCanvas::text(std::string_view cls, double x, double y, std::string_view s,
                           const TextStyle& style)
{
    Item it = base();
    it.kind = Item::Text;
    it.cls = cls;
    it.at = {x, y};
    it.text = s;
    it.style = style;
    it.box = TextMetrics::box(x, y, s, style);
    items.push_back(std::move(it));
}

std::vector<const RecordingCanvas::Item*> RecordingCanvas::of(std::string_view cls) const
{
    std::vector<const Item*> r;
    for (const Item& it : items)
        if (it.in(cls))
            r.push_back(&it);
    return r;
}

std::vector<std::string> RecordingCanvas::layoutFaults(double slack) const
{
    std::vector<std::string> faults;
    std::vector<const Item*> texts;
    for (const Item& it : items)
        if (it.kind == Item::Text && !it.text.empty())
            texts.push_back(&it);
    const Rect page{0, 0, width(), height()};
    for (size_t i = 0; i < texts.size(); ++i) {
        if (!texts[i]->box.inside(page, slack))
            faults.push_back("\"" + texts[i]->text + "\" leaves the canvas");
        for (size_t j = i + 1; j < texts.size(); ++j)
            if (texts[i]->box.overlaps(texts[j]->box, slack))
                faults.push_back("\"" + texts[i]->text + "\" overlaps \"" + texts[j]->text + "\"");
    }
    return faults;
}

} // namespace vgr

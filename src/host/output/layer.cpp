// The output layer's objects and methods: the root, the manager, data objects
// (tables), output objects, groups, title objects and factoids, each a class
// with a method table the dispatcher searches (then its super class). Every
// method turns the procedure's calls into nodes of the step's document.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/output/layer.h"
#include "host/output/name_index.h"
#include "vyr_data.h"
#include "vyr_format.h"
#include "vyr_gkernel.h"
#include "vyr_host.h"
#include "vyr_missing.h"
#include "vyr_output.h"
#include "vyr_session.h"
#include "vyr_text.h"

namespace vdq
{
namespace
{

// ---------------------------------------------------------------------------
// Objects. The WOB_OBJ_STR header is what the procedure holds; its `pool`
// points back at the layer's object.
enum class ObjKind { Root, Manager, Data, Output, Group, Title, Factoid, Map, List };

struct Obj {
    WOB_OBJ_STR hdr{};
    ObjKind kind;
    explicit Obj(ObjKind k) : kind(k) {}
    virtual ~Obj() = default;
};

struct Bound {
    Column col;
    const void* addr = nullptr;
};

struct OutputObj;

struct DataObj : Obj {
    DataObj() : Obj(ObjKind::Data) {}
    std::string name, label, contents;
    bool flag336 = false;
    bool columnsEnded = false;
    std::vector<Bound> cols;
    Columns shared; // the columns as outputs take them (made again when they change)
    Rows pending;
    std::vector<Dynamic> dynamics;
    OutputObj* out = nullptr; // output made from this object and not yet closed
};

struct OutputObj : Obj {
    OutputObj() : Obj(ObjKind::Output) {}
    DataObj* data = nullptr;
    NodePtr node;
};

struct GroupObj : Obj {
    GroupObj() : Obj(ObjKind::Group) {}
    NodePtr node;
};

struct TitleObj : Obj {
    TitleObj() : Obj(ObjKind::Title) {}
    std::string text;
    char just = 'c';
};

struct FactoidObj : Obj {
    FactoidObj() : Obj(ObjKind::Factoid) {}
    NodePtr node;
};

// Collections: an associative array of objects under text keys, and a list
// of values (addresses the caller owns).
struct MapObj : Obj {
    MapObj() : Obj(ObjKind::Map) {}
    std::vector<std::pair<std::string, xobop>> items;
};

struct ListObj : Obj {
    ListObj() : Obj(ObjKind::List) {}
    std::vector<void*> items;
};

// ---------------------------------------------------------------------------
// The state of the running step.
struct StepState {
    StepDoc doc;
    std::vector<std::unique_ptr<Obj>> objects;
    std::vector<NodePtr> stack; // open BY group and groups, outermost first
    std::string heading;        // heading line in force
    // Paths given so far, and for each path asked for more than once the
    // suffix to try next: a step of many strata or BY groups makes many
    // outputs, and each must be checked in constant time.
    std::unordered_set<std::string> paths;
    std::unordered_map<std::string, int> nextSuffix;
    // The outputs by path, so that a graph finds the plot data it names.
    std::unordered_map<std::string, NodePtr> byPath;
    int byGroups = 0;
    bool started = false;
    NodePtr plot; // the line-printer plot collecting listing lines, if any
};

StepState& state()
{
    static StepState s;
    return s;
}

template <class T, class... A> T* makeObj(WOB_MA_TBL_STR* cls, A... args)
{
    auto p = std::make_unique<T>(args...);
    p->hdr.clsh = cls;
    p->hdr.pool = p.get();
    T* raw = p.get();
    state().objects.push_back(std::move(p));
    return raw;
}

Obj* objOf(xobop o)
{
    return o ? static_cast<Obj*>(o->pool) : nullptr;
}
template <class T> T* as(xobop o, ObjKind k)
{
    Obj* b = objOf(o);
    return b && b->kind == k ? static_cast<T*>(b) : nullptr;
}

std::vector<NodePtr>& container()
{
    StepState& s = state();
    return s.stack.empty() ? s.doc.items : s.stack.back()->items;
}

std::string uniquePath(const std::string& leaf)
{
    std::string p;
    for (const NodePtr& n : state().stack)
        p += (n->name.empty() ? std::string("Group") : n->name) + ".";
    p += leaf.empty() ? std::string("Output") : leaf;
    auto& used = state().paths;
    if (used.insert(p).second)
        return p;
    // The first of base#2, base#3, ... not given yet.
    const std::string base = p;
    int& k = state().nextSuffix.try_emplace(base, 2).first->second;
    for (;; ++k) {
        p = base + "#" + std::to_string(k);
        if (used.insert(p).second)
            break;
    }
    ++k;
    return p;
}

// Adds a finished output to the open group under the current heading, with
// a path that no earlier output of the step has.
void place(const NodePtr& n)
{
    n->heading = state().heading;
    n->path = uniquePath(n->name);
    container().push_back(n);
    state().byPath[n->path] = n;
}

// ---------------------------------------------------------------------------
// Parameter helpers.
std::string blockText(const WOB_PARM_BLK_STR& b)
{
    switch (b.type) {
    case WOB_T_TEXTKEY:
        return vdqkeystring(b.value.key);
    case WOB_T_STRING:
        if (!b.value.a.p || b.value.a.len <= 0)
            return std::string();
        return std::string(static_cast<const char*>(b.value.a.p),
                           static_cast<size_t>(b.value.a.len));
    case WOB_T_CHAR:
        return std::string(1, b.value.c);
    case WOB_T_INT:
        return std::to_string(b.value.i);
    default:
        return std::string();
    }
}

Dynamic blockDynamic(const std::string& name, const WOB_PARM_BLK_STR& v)
{
    Dynamic d;
    d.name = name;
    switch (v.type) {
    case WOB_T_INT:
        d.numeric = true;
        d.d = v.value.i;
        d.text = std::to_string(v.value.i);
        break;
    case WOB_T_LONG:
        d.numeric = true;
        d.d = static_cast<double>(v.value.l);
        d.text = std::to_string(v.value.l);
        break;
    case WOB_T_DOUBLE: {
        d.numeric = true;
        d.d = v.value.d;
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.15g", v.value.d);
        d.text = buf;
        break;
    }
    case WOB_T_FLAG:
        d.numeric = true;
        d.d = v.value.flag[1];
        d.text = std::to_string(v.value.flag[1]);
        break;
    default:
        d.text = blockText(v);
        break;
    }
    return d;
}

// Sets dynamics of a list by name, a later value replacing an earlier one.
// A short list is searched; a long one (a graph across many strata names one
// dynamic per stratum) is looked up through an index built on first need.
class DynamicSetter
{
  public:
    explicit DynamicSetter(std::vector<Dynamic>& list) : list_(list) {}
    // Room for `more` values to come, so that neither the list nor its
    // index grows step by step.
    void reserve(size_t more)
    {
        list_.reserve(list_.size() + more);
        if (list_.size() + more >= kSearched) {
            buildIndex();
            index_.reserve(list_.size() + more, nameAt());
        }
    }
    void set(Dynamic d)
    {
        if (list_.size() < kSearched && index_.empty()) {
            for (Dynamic& e : list_)
                if (e.name == d.name) {
                    e = std::move(d);
                    return;
                }
            list_.push_back(std::move(d));
            return;
        }
        buildIndex();
        const size_t at = index_.find(d.name, nameAt());
        if (at != NameIndex::kNone) {
            list_[at] = std::move(d);
            return;
        }
        list_.push_back(std::move(d));
        index_.add(list_.size() - 1, nameAt());
    }

  private:
    struct NameAt {
        const std::vector<Dynamic>* list;
        std::string_view operator()(size_t i) const { return (*list)[i].name; }
    };
    NameAt nameAt() const { return NameAt{&list_}; }
    void buildIndex()
    {
        if (!index_.empty())
            return;
        index_.reserve(list_.size(), nameAt());
        for (size_t i = 0; i < list_.size(); ++i)
            if (index_.find(list_[i].name, nameAt()) == NameIndex::kNone)
                index_.add(i, nameAt());
    }
    static constexpr size_t kSearched = 32;
    std::vector<Dynamic>& list_;
    NameIndex index_{false};
};

void setDynamic(std::vector<Dynamic>& list, Dynamic d)
{
    DynamicSetter(list).set(std::move(d));
}

// The number of 311/287 pairs of a block array, 174 lists included.
size_t countDynamics(int np, const WOB_PARM_BLK_STR* pb)
{
    size_t n = 0;
    for (int i = 0; i < np; ++i) {
        if (pb[i].tag == WOB_TAG_DYNNAME && i + 1 < np && pb[i + 1].tag == WOB_TAG_DYNVALUE) {
            ++n;
            ++i;
        } else if (pb[i].tag == WOB_TAG_DYNLIST && pb[i].type == WOB_T_LIST && pb[i].value.a.p) {
            n += countDynamics(static_cast<int>(pb[i].value.a.len),
                               static_cast<const WOB_PARM_BLK_STR*>(pb[i].value.a.p));
        }
    }
    return n;
}

// Collects 311/287 pairs (a name block followed by its value block) from a
// block array, descending into 174 lists.
void collectDynamics(int np, WOB_PARM_BLK_STR* pb, DynamicSetter& out)
{
    for (int i = 0; i < np; ++i) {
        if (pb[i].tag == WOB_TAG_DYNNAME && i + 1 < np && pb[i + 1].tag == WOB_TAG_DYNVALUE) {
            out.set(blockDynamic(blockText(pb[i]), pb[i + 1]));
            ++i;
        } else if (pb[i].tag == WOB_TAG_DYNLIST && pb[i].type == WOB_T_LIST && pb[i].value.a.p) {
            collectDynamics(static_cast<int>(pb[i].value.a.len),
                            static_cast<WOB_PARM_BLK_STR*>(pb[i].value.a.p), out);
        }
    }
}

void collectDynamics(int np, WOB_PARM_BLK_STR* pb, std::vector<Dynamic>& out)
{
    DynamicSetter setter(out);
    setter.reserve(countDynamics(np, pb));
    collectDynamics(np, pb, setter);
}

int flagState(const WOB_PARM_BLK_STR& b)
{
    if (b.type == WOB_T_FLAG)
        return b.value.flag[1];
    if (b.type == WOB_T_INT)
        return b.value.i;
    if (b.type == WOB_T_CHAR)
        return b.value.c;
    return 0;
}

std::string trimRight(const char* p, size_t n)
{
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0'))
        --n;
    // A NUL inside ends the text.
    size_t z = strnlen(p, n);
    return std::string(p, z);
}

void keyArray(const WOB_PARM_BLK_STR& b, std::vector<std::string>& out)
{
    if (b.type == WOB_T_ARRAY && b.value.a.p) {
        auto* keys = static_cast<xobskey*>(b.value.a.p);
        for (int64_t k = 0; k < b.value.a.len; ++k)
            out.push_back(vdqkeystring(keys[k]));
    } else if (b.type == WOB_T_TEXTKEY) {
        out.push_back(vdqkeystring(b.value.key));
    }
}

// ---------------------------------------------------------------------------
// Class records.
struct ClassDef {
    WOB_MA_TBL_STR tbl{};
    std::vector<WOB_EXPRESS_STR*> heads;
    std::vector<std::unique_ptr<WOB_EXPRESS_STR>> elems;
    std::vector<std::unique_ptr<WOB_ENT_STR>> ents;
    WOB_ENT_STR zoomEnt{};
};

void addMethod(ClassDef& c, int sel, WOB_METHOD f)
{
    auto ent = std::make_unique<WOB_ENT_STR>();
    ent->func = f;
    ent->id = sel;
    auto el = std::make_unique<WOB_EXPRESS_STR>();
    el->id = sel;
    el->ent = ent.get();
    el->mcoh = nullptr;
    int slot = c.tbl.mth_mask & sel;
    el->next = c.heads[static_cast<size_t>(slot)];
    c.heads[static_cast<size_t>(slot)] = el.get();
    c.ents.push_back(std::move(ent));
    c.elems.push_back(std::move(el));
}

void initClass(ClassDef& c, const char* name, ClassDef* super, WOB_METHOD zoom)
{
    c.tbl.cls = name;
    c.tbl.super = super ? &super->tbl : nullptr;
    c.tbl.mth_mask = 15;
    c.heads.assign(16, nullptr);
    c.tbl.mth_tbl = c.heads.data();
    c.zoomEnt.func = zoom;
    for (int k = 0; k < 6; ++k) {
        c.tbl.zoom[k].ent = zoom ? &c.zoomEnt : nullptr;
        c.tbl.zoom[k].mcoh = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Methods of the base class: selectors that are only named by the procedure
// are accepted and recorded.
int mRecordOnly(xobop, void*, int id, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    if (id == WOB_SEL_PAGE) {
        auto n = std::make_shared<Node>();
        n->kind = Node::Page;
        container().push_back(n);
    } else if (id == WOB_SEL_BEGIN_PLOT) {
        // A line-printer plot: the listing lines printed until its end call
        // are its lines.
        auto n = std::make_shared<Node>();
        n->kind = Node::Plot;
        for (int i = 0; i < np; ++i) {
            if (pb[i].tag == WOB_TAG_NAME)
                n->name = blockText(pb[i]);
            else if (pb[i].tag == WOB_TAG_LABEL)
                n->label = blockText(pb[i]);
        }
        place(n);
        vyr_print_divert(&n->lines);
        state().plot = n;
    } else if (id == WOB_SEL_END_PLOT) {
        vyr_print_divert(nullptr);
        state().plot.reset();
    }
    return 0;
}

struct Classes;
Classes& classes();

// Forward declarations of methods.
int mRootCreate(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mManagerCreate(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mTemplateOutput(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mCloseOutput(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mMakeGroup(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mHeading(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mNote(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mMatrix(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mGraph(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mAddColumn(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mEndColumns(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mPutRow(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mEndData(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mSetDynamic(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mOutputCreate(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mAddEntry(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mDestinations(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mHandOver(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mReleaseDestinations(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mMapAdd(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mMapFind(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mListAdd(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mListGet(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int mListCount(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int zManager(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int zGroup(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int zData(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int zOutput(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*);
int zNothing(xobop, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*)
{
    return 0;
}

struct Classes {
    ClassDef base, root, manager, data, output, group, title, factoid, map, list;
    Classes()
    {
        initClass(base, "object", nullptr, zNothing);
        for (int sel : {WOB_SEL_PAGE, WOB_SEL_BEGIN_PLOT, WOB_SEL_END_PLOT, WOB_SEL_DESTINATION,
                        WOB_SEL_OUTPUT_DATA})
            addMethod(base, sel, mRecordOnly);

        initClass(root, "root", &base, zNothing);
        addMethod(root, WOB_SEL_CREATE, mRootCreate);

        initClass(manager, "manager", &base, zManager);
        addMethod(manager, WOB_SEL_CREATE, mManagerCreate);
        addMethod(manager, WOB_SEL_TEMPLATE_OUTPUT, mTemplateOutput);
        addMethod(manager, WOB_SEL_CLOSE_OUTPUT, mCloseOutput);
        addMethod(manager, WOB_SEL_MAKE_GROUP, mMakeGroup);
        addMethod(manager, WOB_SEL_HEADING, mHeading);
        addMethod(manager, WOB_SEL_NOTE, mNote);
        addMethod(manager, WOB_SEL_MATRIX_OUTPUT, mMatrix);
        addMethod(manager, WOB_SEL_GRAPH_OUTPUT, mGraph);
        addMethod(manager, WOB_SEL_GRAPH_DESTINATIONS, mDestinations);
        addMethod(manager, WOB_SEL_GRAPH_HANDOVER, mHandOver);
        addMethod(manager, WOB_SEL_GRAPH_RELEASE, mReleaseDestinations);

        initClass(data, "data", &base, zData);
        addMethod(data, WOB_SEL_ADD_COLUMN, mAddColumn);
        addMethod(data, WOB_SEL_END_COLUMNS, mEndColumns);
        addMethod(data, WOB_SEL_PUT_ROW, mPutRow);
        addMethod(data, WOB_SEL_END_DATA, mEndData);
        addMethod(data, WOB_SEL_SET_DYNAMIC, mSetDynamic);

        initClass(output, "output", &base, zOutput);
        addMethod(output, WOB_SEL_CREATE, mOutputCreate);

        initClass(group, "group", &base, zGroup);
        initClass(title, "title", &base, zNothing);
        initClass(factoid, "factoid", &base, zNothing);
        addMethod(factoid, WOB_SEL_ADD_ENTRY, mAddEntry);
        addMethod(factoid, WOB_SEL_END_DATA, zNothing);

        initClass(map, "associativearray", &base, zNothing);
        addMethod(map, WOB_SEL_COLL_ADD, mMapAdd);
        addMethod(map, WOB_SEL_COLL_GET, mMapFind);
        addMethod(map, WOB_SEL_COLL_COUNT, mListCount);
        initClass(list, "list", &base, zNothing);
        addMethod(list, WOB_SEL_COLL_ADD, mListAdd);
        addMethod(list, WOB_SEL_COLL_GET, mListGet);
        addMethod(list, WOB_SEL_COLL_COUNT, mListCount);
    }
};

Classes& classes()
{
    static Classes c;
    return c;
}

// Package and class of a create call.
void createNames(int np, WOB_PARM_BLK_STR* pb, std::string& package, std::string& cls)
{
    for (int i = 0; i < np; ++i) {
        if (pb[i].tag == WOB_TAG_PACKAGE)
            package = blockText(pb[i]);
        else if (pb[i].tag == WOB_TAG_CLASS)
            cls = blockText(pb[i]);
    }
}

WOB_PARM_BLK_STR* findTag(int np, WOB_PARM_BLK_STR* pb, int tag)
{
    for (int i = 0; i < np; ++i)
        if (pb[i].tag == tag)
            return &pb[i];
    return nullptr;
}

int mRootCreate(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    std::string package, cls;
    createNames(np, pb, package, cls);
    WOB_PARM_BLK_STR* out = findTag(np, pb, WOB_TAG_OUT);
    if (!out)
        return WOB_RC_BAD_PARM;
    if (package == "collection" && cls == "associativearray") {
        MapObj* m = makeObj<MapObj>(&classes().map.tbl);
        out->value.o = &m->hdr;
        return 0;
    }
    if (package == "collection" && cls == "list") {
        ListObj* l = makeObj<ListObj>(&classes().list.tbl);
        out->value.o = &l->hdr;
        return 0;
    }
    if (cls != "manager")
        return WOB_RC_BAD_PARM;
    Obj* m = makeObj<Obj>(&classes().manager.tbl, ObjKind::Manager);
    out->value.o = &m->hdr;
    return 0;
}

int mManagerCreate(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    std::string package, cls;
    createNames(np, pb, package, cls);
    WOB_PARM_BLK_STR* out = findTag(np, pb, WOB_TAG_OUT);
    if (!out)
        return WOB_RC_BAD_PARM;
    if (cls == "data") {
        DataObj* d = makeObj<DataObj>(&classes().data.tbl);
        for (int i = 0; i < np; ++i) {
            if (pb[i].tag == WOB_TAG_NAME)
                d->name = blockText(pb[i]);
            else if (pb[i].tag == WOB_TAG_LABEL)
                d->label = blockText(pb[i]);
            else if (pb[i].tag == WOB_TAG_336)
                d->flag336 = flagState(pb[i]) != 0;
        }
        out->value.o = &d->hdr;
        return 0;
    }
    if (cls == "title") {
        TitleObj* t = makeObj<TitleObj>(&classes().title.tbl);
        for (int i = 0; i < np; ++i) {
            if (pb[i].tag == WOB_TAG_TEXT)
                t->text = blockText(pb[i]);
            else if (pb[i].tag == WOB_TAG_JUST && pb[i].type == WOB_T_CHAR)
                t->just = pb[i].value.c;
        }
        out->value.o = &t->hdr;
        return 0;
    }
    if (cls == "factoid")
        return mOutputCreate(nullptr, nullptr, WOB_SEL_CREATE, np, pb, nullptr);
    return WOB_RC_BAD_PARM;
}

// A factoid: a two-column table of labelled entries, placed where it is made.
int mOutputCreate(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    std::string package, cls;
    createNames(np, pb, package, cls);
    WOB_PARM_BLK_STR* out = findTag(np, pb, WOB_TAG_OUT);
    if (cls != "factoid" || !out)
        return WOB_RC_BAD_PARM;
    FactoidObj* f = makeObj<FactoidObj>(&classes().factoid.tbl);
    f->node = std::make_shared<Node>();
    f->node->kind = Node::Table;
    for (int i = 0; i < np; ++i) {
        if (pb[i].tag == WOB_TAG_NAME)
            f->node->name = blockText(pb[i]);
        else if (pb[i].tag == WOB_TAG_LABEL)
            f->node->label = blockText(pb[i]);
        else if (pb[i].tag == WOB_TAG_TEMPLATE)
            f->node->templ = blockText(pb[i]);
    }
    Column a, b;
    a.name = "Label";
    a.numeric = false;
    a.type = WOB_COL_CHAR;
    b.name = "Value";
    b.numeric = false;
    b.type = WOB_COL_CHAR;
    f->node->columns = {a, b};
    place(f->node);
    out->value.o = &f->hdr;
    return 0;
}

int mAddEntry(xobop obj, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    FactoidObj* f = as<FactoidObj>(obj, ObjKind::Factoid);
    if (!f)
        return WOB_RC_BAD_OBJECT;
    Cell l, v;
    l.kind = v.kind = Cell::Text;
    Dynamic value;
    int width = 0, decimals = -1;
    std::string format;
    for (int i = 0; i < np; ++i) {
        if (pb[i].tag == WOB_TAG_LABEL)
            l.s = blockText(pb[i]);
        else if (pb[i].tag == WOB_TAG_DYNVALUE)
            value = blockDynamic("", pb[i]);
        else if (pb[i].tag == WOB_TAG_WIDTH && pb[i].type == WOB_T_INT)
            width = pb[i].value.i;
        else if (pb[i].tag == WOB_TAG_DECIMALS && pb[i].type == WOB_T_INT)
            decimals = pb[i].value.i;
        else if (pb[i].tag == WOB_TAG_FORMAT)
            format = blockText(pb[i]);
    }
    v.s = value.text;
    // A number shows in its entry's format: a format named by tag 340, or
    // the width of tag 272 with the decimals of tag 270 (99: BESTw.).
    if (value.numeric) {
        vyr::fmt::FormatDesc desc;
        bool have = false;
        if (!format.empty())
            have = vyr::fmt::parse(format, desc);
        else if (width > 0)
            have = vyr::fmt::parse(decimals < 0 || decimals == 99
                                       ? "BEST" + std::to_string(width) + "."
                                       : std::to_string(width) + "." + std::to_string(decimals),
                                   desc);
        if (wzmis(value.d))
            v.s = ".";
        else if (have)
            v.s = vyr::trim_blanks(vyr::fmt::format_number(value.d, desc));
    }
    f->node->rows.push_back({l, v});
    return 0;
}

// ---------------------------------------------------------------------------
// Data objects.

int mAddColumn(xobop obj, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    DataObj* d = as<DataObj>(obj, ObjKind::Data);
    if (!d)
        return WOB_RC_BAD_OBJECT;
    Bound b;
    Column& c = b.col;
    bool haveType = false, haveLength = false, haveName = false, haveLabel = false;
    bool haveWidth = false, haveDecimals = false, haveFormat = false;
    const NAMESTR* nm = nullptr;
    for (int i = 0; i < np; ++i) {
        const WOB_PARM_BLK_STR& p = pb[i];
        switch (p.tag) {
        case WOB_TAG_COLTYPE:
            c.type = p.value.i;
            haveType = true;
            break;
        case WOB_TAG_NAME:
            c.name = blockText(p);
            haveName = true;
            break;
        case WOB_TAG_LABEL:
            c.label = blockText(p);
            haveLabel = true;
            break;
        case WOB_TAG_ADDRESS:
            b.addr = p.value.p;
            break;
        case WOB_TAG_LENGTH:
            c.length = p.value.i;
            haveLength = true;
            break;
        case WOB_TAG_WIDTH:
            c.width = p.value.i;
            haveWidth = true;
            break;
        case WOB_TAG_DECIMALS:
            c.decimals = p.value.i;
            haveDecimals = true;
            break;
        case WOB_TAG_FORMAT:
            c.format = blockText(p);
            haveFormat = true;
            break;
        case WOB_TAG_TEMPLATE:
            c.templateColumn = blockText(p);
            break;
        case WOB_TAG_DYNNAME:
            if (i + 1 < np && pb[i + 1].tag == WOB_TAG_DYNVALUE) {
                setDynamic(c.dynamics, blockDynamic(blockText(p), pb[i + 1]));
                ++i;
            }
            break;
        case WOB_TAG_NAMESTR:
            nm = p.value.nm;
            break;
        default:
            break;
        }
    }
    if (nm) {
        // The descriptor gives name, label, type and format unless the call
        // gives them; it is copied now (the caller may reuse it).
        c.variable = true;
        if (!haveName)
            c.name.assign(nm->name_p ? nm->name_p : "",
                          nm->name_p ? static_cast<size_t>(nm->namelen) : 0);
        if (!haveLabel && nm->label_p && nm->nlablen > 0)
            c.label.assign(nm->label_p, static_cast<size_t>(nm->nlablen));
        if (!haveType)
            c.type = nm->ntype == 1 ? WOB_COL_DOUBLE : WOB_COL_CHAR;
        if (!haveLength)
            c.length = nm->ntype == 1 ? 8 : vyr_namestr_length(*nm);
        if (!haveFormat) {
            if (nm->nformlongl > 0)
                c.format.assign(nm->nformlong, static_cast<size_t>(nm->nformlongl));
            else if (nm->nfl > 0)
                c.format.assign(nm->nform, static_cast<size_t>(std::min<short>(nm->nfl, 8)));
            while (!c.format.empty() && c.format.back() == ' ')
                c.format.pop_back();
        }
        if (!haveWidth && nm->nflen > 0)
            c.width = nm->nflen;
        if (!haveDecimals && (nm->nflen > 0 || nm->nfd > 0))
            c.decimals = nm->nfd;
    }
    if (!haveType && !nm)
        return WOB_RC_BAD_PARM;
    switch (c.type) {
    case WOB_COL_CHAR:
        c.numeric = false;
        if (!haveLength && !nm)
            return WOB_RC_BAD_PARM;
        break;
    case WOB_COL_CONTROL:
        c.numeric = false;
        if (!haveLength)
            c.length = 1;
        break;
    case WOB_COL_KEY:
        c.numeric = false;
        c.length = sizeof(xobskey);
        break;
    case WOB_COL_INT:
        c.length = 4;
        break;
    default:
        c.length = 8;
        break;
    }
    if (c.length < 0)
        c.length = 0;
    if (c.decimals == 99)
        c.decimals = -1;
    if (c.width < 0)
        c.width = 0;
    d->cols.push_back(std::move(b));
    d->shared = Columns();
    return 0;
}

int mEndColumns(xobop obj, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*)
{
    DataObj* d = as<DataObj>(obj, ObjKind::Data);
    if (!d)
        return WOB_RC_BAD_OBJECT;
    d->columnsEnded = true;
    return 0;
}

// Copies every bound value now: the procedure reuses its fields at once.
int mPutRow(xobop obj, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*)
{
    DataObj* d = as<DataObj>(obj, ObjKind::Data);
    if (!d)
        return WOB_RC_BAD_OBJECT;
    if (d->cols.empty())
        return WOB_RC_TOLERATED;
    Rows& rows = d->pending;
    rows.startRow();
    for (const Bound& b : d->cols) {
        const Column& c = b.col;
        if (c.numeric) {
            double v;
            if (!b.addr) {
                v = korv_missing();
            } else if (c.type == WOB_COL_INT) {
                int32_t i;
                std::memcpy(&i, b.addr, sizeof i);
                v = i;
            } else if (c.type == WOB_COL_LONG) {
                int64_t l;
                std::memcpy(&l, b.addr, sizeof l);
                v = static_cast<double>(l);
            } else {
                std::memcpy(&v, b.addr, sizeof v);
            }
            rows.addNumber(v);
        } else if (b.addr && c.type == WOB_COL_KEY) {
            xobskey k;
            std::memcpy(&k, b.addr, sizeof k);
            rows.addText(vdqkeystring(k));
        } else if (b.addr && c.length > 0) {
            rows.addText(
                trimRight(static_cast<const char*>(b.addr), static_cast<size_t>(c.length)));
        } else {
            rows.addText(std::string());
        }
    }
    return 0;
}

Columns columnsOf(DataObj* d)
{
    if (d->shared.size() != d->cols.size()) {
        std::vector<Column> cols;
        cols.reserve(d->cols.size());
        for (const Bound& b : d->cols)
            cols.push_back(b.col);
        d->shared = Columns(std::move(cols));
    }
    return d->shared;
}

// Moves the rows gathered so far into the output made from the object.
void flush(DataObj* d)
{
    if (!d->out || !d->out->node)
        return;
    Node& n = *d->out->node;
    n.columns = columnsOf(d);
    DynamicSetter setter(n.dynamics);
    setter.reserve(d->dynamics.size());
    for (const Dynamic& dy : d->dynamics)
        setter.set(dy);
    n.rows.append(std::move(d->pending));
}

int mEndData(xobop obj, void*, int, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*)
{
    DataObj* d = as<DataObj>(obj, ObjKind::Data);
    if (!d)
        return WOB_RC_BAD_OBJECT;
    // Without an output the rows stay gathered for the next template output.
    flush(d);
    return 0;
}

int mSetDynamic(xobop obj, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    DataObj* d = as<DataObj>(obj, ObjKind::Data);
    if (!d)
        return WOB_RC_BAD_OBJECT;
    collectDynamics(np, pb, d->dynamics);
    return 0;
}

// Fast-path slot of data objects: method 1 sets the contents label and line
// options; the others do nothing.
int zData(xobop obj, void*, int method, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    DataObj* d = as<DataObj>(obj, ObjKind::Data);
    if (!d)
        return WOB_RC_BAD_OBJECT;
    if (method == 1)
        for (int i = 0; i < np; ++i)
            if (pb[i].tag == WOB_TAG_CONTENTS)
                d->contents = blockText(pb[i]);
    return 0;
}

// ---------------------------------------------------------------------------
// Manager methods.

int mTemplateOutput(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    WOB_PARM_BLK_STR* outBlock = nullptr;
    DataObj* d = nullptr;
    std::string templ;
    TitleObj* note = nullptr;
    bool hidden = false, hiddenGiven = false;
    xobskey* pathOut = nullptr;
    int objectBlocks = 0;
    for (int i = 0; i < np; ++i) {
        WOB_PARM_BLK_STR& p = pb[i];
        if (p.tag == WOB_TAG_OBJECT && p.type == WOB_T_OBJECT) {
            if (objectBlocks++ == 0)
                outBlock = &p;
            else
                d = as<DataObj>(p.value.o, ObjKind::Data);
        } else if (p.tag == WOB_TAG_TEMPLATE) {
            templ = blockText(p);
        } else if (p.tag == WOB_TAG_NOTE_OBJ) {
            note = as<TitleObj>(p.value.o, ObjKind::Title);
        } else if (p.tag == WOB_TAG_HIDDEN) {
            hidden = flagState(p) != 0;
            hiddenGiven = true;
        } else if (p.tag == WOB_TAG_PATH && (p.type == WOB_T_KEYADDR || p.type == WOB_T_ADDRESS)) {
            pathOut = static_cast<xobskey*>(p.value.p);
        }
    }
    if (!outBlock || !d)
        return WOB_RC_BAD_PARM;
    OutputObj* o = makeObj<OutputObj>(&classes().output.tbl);
    o->data = d;
    auto n = std::make_shared<Node>();
    n->kind = Node::Table;
    n->name = d->name;
    n->label = d->label;
    n->templ = templ;
    const TableTemplate* t = findTemplate(templ);
    n->hidden = hiddenGiven ? hidden : (t && t->hidden);
    n->heading = state().heading;
    n->columns = columnsOf(d);
    n->dynamics = d->dynamics;
    collectDynamics(np, pb, n->dynamics);
    if (note)
        n->note = note->text;
    n->path = uniquePath(d->name);
    container().push_back(n);
    state().byPath[n->path] = n;
    o->node = n;
    // A previous output of the same object that was not closed gets its rows
    // now, so that no row moves to a later output.
    if (d->out && d->out != o)
        flush(d);
    d->out = o;
    outBlock->value.o = &o->hdr;
    if (pathOut)
        *pathOut = vdqtxt(n->path.c_str(), static_cast<int>(n->path.size()));
    return 0;
}

int mCloseOutput(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    OutputObj* o = nullptr;
    TitleObj* note = nullptr;
    for (int i = 0; i < np; ++i) {
        if (pb[i].tag == WOB_TAG_OBJECT && pb[i].type == WOB_T_OBJECT && !o)
            o = as<OutputObj>(pb[i].value.o, ObjKind::Output);
        else if (pb[i].tag == WOB_TAG_NOTE_OBJ)
            note = as<TitleObj>(pb[i].value.o, ObjKind::Title);
    }
    if (!o)
        return WOB_RC_BAD_PARM;
    if (o->data && o->data->out == o) {
        flush(o->data);
        o->data->out = nullptr;
    }
    if (note && o->node)
        o->node->note = note->text;
    return 0;
}

int zOutput(xobop obj, void*, int method, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    OutputObj* o = as<OutputObj>(obj, ObjKind::Output);
    if (!o)
        return WOB_RC_BAD_OBJECT;
    if (method == 2)
        for (int i = 0; i < np; ++i)
            if (pb[i].tag == WOB_TAG_PATH &&
                (pb[i].type == WOB_T_KEYADDR || pb[i].type == WOB_T_ADDRESS) && pb[i].value.p &&
                o->node)
                *static_cast<xobskey*>(pb[i].value.p) =
                    vdqtxt(o->node->path.c_str(), static_cast<int>(o->node->path.size()));
    return 0;
}

int mMakeGroup(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    WOB_PARM_BLK_STR* out = findTag(np, pb, WOB_TAG_OUT);
    if (!out)
        return WOB_RC_BAD_PARM;
    GroupObj* g = makeObj<GroupObj>(&classes().group.tbl);
    g->node = std::make_shared<Node>();
    g->node->kind = Node::Group;
    for (int i = 0; i < np; ++i) {
        switch (pb[i].tag) {
        case WOB_TAG_NAME:
            g->node->name = blockText(pb[i]);
            break;
        case WOB_TAG_LABEL:
            g->node->label = blockText(pb[i]);
            break;
        case WOB_TAG_GROUPNUM:
            g->node->number = pb[i].type == WOB_T_DOUBLE ? pb[i].value.d : pb[i].value.i;
            break;
        case WOB_TAG_KIND:
            g->node->groupKind = blockText(pb[i]);
            break;
        default:
            break;
        }
    }
    g->node->heading = state().heading;
    container().push_back(g->node);
    state().stack.push_back(g->node);
    out->value.o = &g->hdr;
    return 0;
}

// The end call of a group: later output goes to the group that holds it.
int zGroup(xobop obj, void*, int method, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*)
{
    GroupObj* g = as<GroupObj>(obj, ObjKind::Group);
    if (!g)
        return WOB_RC_BAD_OBJECT;
    if (method != 4)
        return 0;
    auto& st = state().stack;
    auto it = std::find(st.begin(), st.end(), g->node);
    if (it != st.end())
        st.erase(it, st.end());
    return 0;
}

// The end call of the manager (end of the task): every open group ends, the
// BY group too; outputs still open get their rows.
int zManager(xobop obj, void*, int method, int, WOB_PARM_BLK_STR*, WOB_ENT_STR*)
{
    if (method != 4)
        return 0;
    for (auto& o : state().objects)
        if (o->kind == ObjKind::Data)
            flush(static_cast<DataObj*>(o.get()));
    state().stack.clear();
    return 0;
}

int mHeading(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    // The first block is left unset by the caller: skip it.
    bool title = false, clear = false;
    std::string text;
    for (int i = 1; i < np; ++i) {
        switch (pb[i].tag) {
        case WOB_TAG_HEAD442:
            clear = true;
            break;
        case WOB_TAG_TITLEFLAG:
            title = flagState(pb[i]) != 0;
            break;
        case WOB_TAG_TEXT:
            text = blockText(pb[i]);
            break;
        default:
            break;
        }
    }
    if (title)
        state().doc.title = text;
    else if (clear)
        state().heading.clear();
    else
        state().heading = text;
    return 0;
}

int mNote(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    auto n = std::make_shared<Node>();
    n->kind = Node::Note;
    for (int i = 0; i < np; ++i) {
        if (pb[i].tag == WOB_TAG_NAME)
            n->name = blockText(pb[i]);
        else if (pb[i].tag == WOB_TAG_TEXT)
            n->text = blockText(pb[i]);
    }
    n->heading = state().heading;
    container().push_back(n);
    return 0;
}

// A counted text as the procedure passes row and column labels.
struct VARSTRING_VIEW {
    int64_t k;
    int64_t l;
    char* s;
};

void varstringArray(const WOB_PARM_BLK_STR& b, int count, std::vector<std::string>& out)
{
    if (b.type == WOB_T_ARRAY || b.type == WOB_T_TEXTKEY) {
        keyArray(b, out);
        return;
    }
    if (!b.value.p)
        return;
    const auto* vs = static_cast<const VARSTRING_VIEW*>(b.value.p);
    for (int k = 0; k < count; ++k)
        out.push_back(
            trimRight(vs[k].s ? vs[k].s : "", vs[k].s ? static_cast<size_t>(vs[k].l) : 0));
}

int mMatrix(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    auto n = std::make_shared<Node>();
    n->kind = Node::Matrix;
    const double* m = nullptr;
    std::string layout;
    const WOB_PARM_BLK_STR *rl = nullptr, *cl = nullptr;
    for (int i = 0; i < np; ++i) {
        const WOB_PARM_BLK_STR& p = pb[i];
        switch (p.tag) {
        case WOB_TAG_TEMPLATE:
            n->templ = blockText(p);
            break;
        case WOB_TAG_NAME:
            n->name = blockText(p);
            break;
        case WOB_TAG_LABEL:
            n->label = blockText(p);
            break;
        case WOB_TAG_MATRIX:
            m = static_cast<const double*>(p.value.p);
            break;
        case WOB_TAG_NROWS:
            n->nrows = p.value.i;
            break;
        case WOB_TAG_NCOLS:
            n->ncols = p.value.i;
            break;
        case WOB_TAG_LAYOUT:
            layout = blockText(p);
            break;
        case WOB_TAG_COLHEAD:
            n->rowHeader = blockText(p);
            break;
        case WOB_TAG_ROWLABELS:
            rl = &p;
            break;
        case WOB_TAG_COLLABELS:
            cl = &p;
            break;
        default:
            break;
        }
    }
    collectDynamics(np, pb, n->dynamics);
    if (n->nrows < 0 || n->ncols < 0 || n->nrows > 100000 || n->ncols > 100000)
        return WOB_RC_BAD_PARM;
    if (rl)
        varstringArray(*rl, n->nrows, n->rowLabels);
    if (cl)
        varstringArray(*cl, n->ncols, n->colLabels);
    n->values.assign(static_cast<size_t>(n->nrows) * static_cast<size_t>(n->ncols), korv_missing());
    if (m) {
        bool packed =
            layout.empty() ? n->nrows == n->ncols : (layout[0] == 's' || layout[0] == 'S');
        for (int r = 0; r < n->nrows; ++r)
            for (int c = 0; c < n->ncols; ++c) {
                double v;
                if (packed) {
                    int a = std::max(r, c), b = std::min(r, c);
                    v = m[static_cast<size_t>(a) * (a + 1) / 2 + b];
                } else {
                    v = m[static_cast<size_t>(r) * n->ncols + c];
                }
                n->values[static_cast<size_t>(r) * n->ncols + c] = v;
            }
    }
    place(n);
    return 0;
}

// A graph: its name, labels, template and dynamic values, and the plot data
// it is drawn from. Several strata's tables (tag 2978) with a name for the
// joined data (2979) become one hidden table standing for its parts, whose
// path goes back to the caller (3753) so that later graphs can name it.
int mGraph(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    auto n = std::make_shared<Node>();
    n->kind = Node::Graph;
    xobskey* pathOut = nullptr;
    std::vector<std::string> one, several;
    std::string joinedName;
    for (int i = 0; i < np; ++i) {
        const WOB_PARM_BLK_STR& p = pb[i];
        switch (p.tag) {
        case WOB_TAG_NAME:
            n->name = blockText(p);
            break;
        case WOB_TAG_LABEL:
            n->label = blockText(p);
            break;
        case WOB_TAG_CONTENTS:
            n->title = blockText(p);
            break;
        case WOB_TAG_TEMPLATE:
            n->templ = blockText(p);
            break;
        case WOB_TAG_PATHS:
            keyArray(p, one);
            break;
        case WOB_TAG_PATHS2:
            keyArray(p, several);
            break;
        case WOB_TAG_DATAPATH:
        case WOB_TAG_DATAPATH2:
            if (joinedName.empty())
                joinedName = blockText(p);
            break;
        case WOB_TAG_PATH_OUT:
            if (p.type == WOB_T_KEYADDR || p.type == WOB_T_ADDRESS)
                pathOut = static_cast<xobskey*>(p.value.p);
            break;
        default:
            break;
        }
    }
    collectDynamics(np, pb, n->dynamics);
    const std::vector<std::string>& named = several.empty() ? one : several;
    std::vector<NodePtr> tables;
    for (const std::string& path : named) {
        auto it = state().byPath.find(path);
        if (it != state().byPath.end() && it->second->kind == Node::Table)
            tables.push_back(it->second);
    }
    if (!several.empty() && !joinedName.empty()) {
        auto joined = std::make_shared<Node>();
        joined->kind = Node::Table;
        joined->name = joinedName;
        joined->hidden = true;
        joined->parts = tables;
        if (!tables.empty())
            joined->columns = tables.front()->columns;
        place(joined);
        n->data = {joined->path};
        n->sources = {joined};
        if (pathOut)
            *pathOut = vdqtxt(joined->path.c_str(), static_cast<int>(joined->path.size()));
    } else {
        n->data = named;
        n->sources = tables;
    }
    place(n);
    return 0;
}

// ---------------------------------------------------------------------------
// Device graphics: the destinations they are drawn for, the collections the
// library files its catalogued graphs in, and the hand-over of those graphs
// into the document.

struct Destinations {
    std::vector<std::string> names{"DOCUMENT"};
    // Lists handed out and not yet released; each stays where it is until
    // its release (or the end of the step).
    struct Fetched {
        std::vector<VDQ_GRAPH_INFO> infos;
        std::vector<VDQ_DEST_ENTRY> entries;
        VDQ_DEST_LIST list{};
    };
    std::vector<std::unique_ptr<Fetched>> fetched;
};

Destinations& destinations()
{
    static Destinations d;
    return d;
}

int mDestinations(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    WOB_PARM_BLK_STR* out = findTag(np, pb, WOB_TAG_DESTINATIONS);
    if (!out)
        return WOB_RC_BAD_PARM;
    Destinations& d = destinations();
    auto f = std::make_unique<Destinations::Fetched>();
    f->infos.resize(d.names.size());
    f->entries.resize(d.names.size());
    for (size_t i = 0; i < d.names.size(); ++i) {
        VDQ_GRAPH_INFO& g = f->infos[i];
        g = VDQ_GRAPH_INFO{};
        g.name = {static_cast<int>(d.names[i].size()), d.names[i].c_str()};
        g.device = {3, "SVG"};
        g.style = {0, ""};
        g.width = 640;
        g.height = 480;
        g.dpi = 96;
        g.gtitle = 1;
        g.gfootnote = 1;
        f->entries[i] = VDQ_DEST_ENTRY{nullptr, &g, nullptr, nullptr};
    }
    f->list.count = static_cast<long>(f->entries.size());
    f->list.entries = f->entries.data();
    out->value.p = &f->list;
    d.fetched.push_back(std::move(f));
    return 0;
}

int mReleaseDestinations(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    WOB_PARM_BLK_STR* in = findTag(np, pb, WOB_TAG_DESTINATIONS);
    if (!in)
        return WOB_RC_BAD_PARM;
    auto& all = destinations().fetched;
    for (auto it = all.begin(); it != all.end(); ++it)
        if (&(*it)->list == in->value.p) {
            all.erase(it);
            return 0;
        }
    return WOB_RC_BAD_PARM;
}

// Where a catalogued graph's file is named from: the output folder when it
// lies in it; nothing for a file of the session's temporary WORK folder,
// which goes with the session.
std::string graphFileName(const std::string& file, const std::string& lib)
{
    const std::string out = vyr_settings().outDir;
    if (out.empty())
        return vyr::trim(lib).empty() || vyr::upper(vyr::trim(lib)) == "WORK" ? std::string()
                                                                              : file;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::weakly_canonical(fs::path(out), ec);
    const fs::path f = fs::weakly_canonical(fs::path(file), ec);
    const fs::path rel = f.lexically_relative(base);
    if (!rel.empty() && rel.native().rfind("..", 0) != 0)
        return rel.generic_string();
    return file;
}

int mHandOver(xobop, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    WOB_PARM_BLK_STR* lists = findTag(np, pb, WOB_TAG_GRAPH_LISTS);
    if (!lists || lists->type != WOB_T_LIST || (lists->value.a.len > 0 && !lists->value.a.p))
        return WOB_RC_BAD_PARM;
    auto* dest = static_cast<WOB_PARM_BLK_STR*>(lists->value.a.p);
    for (int64_t d = 0; d < lists->value.a.len; ++d) {
        const WOB_PARM_BLK_STR& one = dest[d];
        if (one.type != WOB_T_LIST)
            return WOB_RC_BAD_PARM;
        auto* el = static_cast<WOB_PARM_BLK_STR*>(one.value.a.p);
        for (int64_t k = 0; el && k < one.value.a.len; ++k) {
            const auto* c = static_cast<const VDQ_CATALOG*>(el[k].value.p);
            if (el[k].type != WOB_T_NAMESTR || !c)
                return WOB_RC_BAD_PARM;
            const std::string lib = trimRight(c->libname, 8);
            const std::string mem(c->memname,
                                  static_cast<size_t>(std::clamp<int>(c->memlen, 0, 32)));
            const std::string entry =
                trimRight(c->entry, static_cast<size_t>(std::clamp<int>(c->entlen, 0, 32)));
            const VyrGraphEntry* e = vyr_gk_entry(lib, mem, entry);
            if (!e)
                continue;
            auto n = std::make_shared<Node>();
            n->kind = Node::Graph;
            n->device = true;
            n->templ = "DeviceGraphics";
            n->name = c->name ? vdqkeystring(c->name) : entry;
            if (n->name.empty())
                n->name = entry;
            n->label = c->label ? vdqkeystring(c->label) : e->description;
            n->svg = e->svg;
            n->file = graphFileName(e->file, lib);
            for (const std::string& image : e->images)
                if (std::string f = graphFileName(image, lib); !f.empty())
                    n->images.push_back(f);
            place(n);
        }
    }
    return 0;
}

int mMapAdd(xobop obj, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    MapObj* m = as<MapObj>(obj, ObjKind::Map);
    if (!m || np < 2 || pb[0].type != WOB_T_TEXTKEY || pb[1].type != WOB_T_OBJECT)
        return WOB_RC_BAD_PARM;
    const std::string key = vdqkeystring(pb[0].value.key);
    for (auto& kv : m->items)
        if (kv.first == key) {
            kv.second = pb[1].value.o;
            return 0;
        }
    m->items.emplace_back(key, pb[1].value.o);
    return 0;
}

int mMapFind(xobop obj, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    MapObj* m = as<MapObj>(obj, ObjKind::Map);
    if (!m || np < 2 || pb[0].type != WOB_T_TEXTKEY)
        return WOB_RC_BAD_PARM;
    const std::string key = vdqkeystring(pb[0].value.key);
    pb[1].type = WOB_T_OBJECT;
    pb[1].value.o = nullptr;
    for (auto& kv : m->items)
        if (kv.first == key) {
            pb[1].value.o = kv.second;
            return 0;
        }
    return WOB_RC_BAD_PARM;
}

int mListAdd(xobop obj, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    ListObj* l = as<ListObj>(obj, ObjKind::List);
    if (!l || np < 1 || pb[0].type != WOB_T_NAMESTR)
        return WOB_RC_BAD_PARM;
    l->items.push_back(pb[0].value.p);
    return 0;
}

int mListGet(xobop obj, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    ListObj* l = as<ListObj>(obj, ObjKind::List);
    if (!l || np < 2 || pb[0].type != WOB_T_INT)
        return WOB_RC_BAD_PARM;
    const int k = pb[0].value.i;
    if (k < 1 || k > static_cast<int>(l->items.size()))
        return WOB_RC_BAD_PARM;
    pb[1].type = WOB_T_NAMESTR;
    pb[1].value.p = l->items[static_cast<size_t>(k - 1)];
    return 0;
}

int mListCount(xobop obj, void*, int, int np, WOB_PARM_BLK_STR* pb, WOB_ENT_STR*)
{
    WOB_PARM_BLK_STR* out = findTag(np, pb, WOB_TAG_COUNT);
    if (!out)
        return WOB_RC_BAD_PARM;
    size_t n = 0;
    if (ListObj* l = as<ListObj>(obj, ObjKind::List))
        n = l->items.size();
    else if (MapObj* m = as<MapObj>(obj, ObjKind::Map))
        n = m->items.size();
    else
        return WOB_RC_BAD_OBJECT;
    out->type = WOB_T_INT;
    out->value.i = static_cast<int32_t>(n);
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------

StepDoc& currentStep()
{
    return state().doc;
}

bool dataInfo(xobop obj, DataInfo& out)
{
    DataObj* d = as<DataObj>(obj, ObjKind::Data);
    if (!d)
        return false;
    out.name = d->name;
    out.label = d->label;
    out.flag336 = d->flag336;
    out.columnsEnded = d->columnsEnded;
    out.columns = columnsOf(d).vec();
    out.addresses.clear();
    for (const Bound& b : d->cols)
        out.addresses.push_back(b.addr);
    out.pendingRows = d->pending.size();
    return true;
}

StepDoc takeCurrentStep()
{
    StepState& s = state();
    // Outputs never closed still deliver their rows.
    for (auto& o : s.objects)
        if (o->kind == ObjKind::Data)
            flush(static_cast<DataObj*>(o.get()));
    // A plot the step left open collects nothing more.
    if (s.plot) {
        vyr_print_divert(nullptr);
        s.plot.reset();
    }
    StepDoc d = std::move(s.doc);
    s.doc = StepDoc();
    s.objects.clear();
    s.stack.clear();
    s.heading.clear();
    s.paths.clear();
    s.nextSuffix.clear();
    s.byPath.clear();
    s.byGroups = 0;
    s.started = false;
    destinations().fetched.clear();
    return d;
}

void openByGroup(const std::string& byline, std::vector<Dynamic> values)
{
    StepState& s = state();
    s.stack.clear();
    auto n = std::make_shared<Node>();
    n->kind = Node::ByGroup;
    n->name = "ByGroup" + std::to_string(++s.byGroups);
    n->label = byline;
    n->byValues = std::move(values);
    s.doc.items.push_back(n);
    s.stack.push_back(n);
}

} // namespace vdq

void vyr_output_set_graph_destinations(const std::vector<std::string>& names)
{
    vdq::destinations().names = names;
}

int xobinit(xobop* root, int)
{
    using namespace vdq;
    attachSession();
    Obj* r = makeObj<Obj>(&classes().root.tbl, ObjKind::Root);
    state().started = true;
    if (root)
        *root = &r->hdr;
    return 0;
}

// Parameter names and labels: every design column gets a short name, usable
// as a variable name, and a label. Two schemes: the naming kit (ParmName),
// which composes names from class names and level values, and the
// label-culture scheme (zlevEfParmLabel), whose labels are the effect's
// name followed by its level values. UniqDups then makes the names unique
// with numeric suffixes. Effect variables get their level names first.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "levelize/zlevint.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"
#include "vyr_message_names.h"

namespace
{

constexpr int kName = 32;
constexpr int kLabel = 256;

bool full_rank(const ZLEVMOD* m)
{
    return (m->opt[0] & ZLEV_OPT0_FULLRANK) != 0;
}

// Parameterizations whose level part is the formatted level value.
bool formatted_part(int param)
{
    return param == ZLEV_PARAM_EFFECT || param == ZLEV_PARAM_REFERENCE || param == ZLEV_PARAM_GLM ||
           param == ZLEV_PARAM_ORDINAL || param == ZLEV_PARAM_SYMSTEP;
}

void blank(char* s, int len)
{
    if (len > 0)
        std::memset(s, ' ', static_cast<size_t>(len));
}

// Copies len bytes of text into a blank field of size n.
void put(char* field, int n, const char* text, int len)
{
    blank(field, n);
    if (text && len > 0)
        std::memcpy(field, text, static_cast<size_t>(std::min(len, n)));
}

POOLHANDLE* work_pool()
{
    POOLHANDLE* pool = xmpoolc(0, 1024, 0);
    if (pool == nullptr) {
        xmemmsg(xmemdef());
        xexit(1016, 0);
    }
    return pool;
}

// A NUL-terminated copy of len bytes from the pool.
char* copy_text(POOLHANDLE* pool, const char* text, int len)
{
    char* s = static_cast<char*>(zlevAlloc(pool, len + 1L));
    if (len > 0)
        std::memcpy(s, text, static_cast<size_t>(len));
    s[len] = '\0';
    return s;
}

// The level part of level l of classification variable v for a label: the
// formatted value without trailing blanks, or the coded name.
std::string level_part(const ZLEVVAR& v, int l)
{
    char coded[kName];
    const int n = zlevCodedName(v.param, l, coded);
    if (n > 0)
        return std::string(coded, static_cast<size_t>(n));
    const char* text = nullptr;
    const int len = zlevLevelText(&v, l, &text);
    return std::string(text ? text : "", static_cast<size_t>(len));
}

// The width of a classification variable's level parts in labels.
int class_width(const ZLEVVAR& v)
{
    if (formatted_part(v.param)) {
        int w = 0;
        for (int l = 0; l < v.nlev; ++l) {
            const char* t = nullptr;
            w = std::max(w, zlevLevelText(&v, l, &t));
        }
        return w;
    }
    const int digits = static_cast<int>(std::log10(v.nlev + 0.5));
    return digits + (v.param == ZLEV_PARAM_OPOLY || v.param == ZLEV_PARAM_OBATH ? 6 : 5);
}

// The name of a generic parameter: the prefix (or "_X") and its number
// counted over the model, so that no two effects make the same name.
std::string generic_name(const ZLEVMOD* m, long number)
{
    char buf[64];
    if (m->namePrefix.l == 0)
        xpsstr(buf, sizeof buf, "_X%ld", number);
    else
        xpsstr(buf, sizeof buf, "%.*s%ld", std::max(m->namePrefix.l - 1, 0), m->namePrefix.s,
               number);
    return buf;
}

// Appends to out the level parts of one column's label (its row of
// levelsall): the level names of the effect variables, then the levels of
// the classification variables joined by the level delimiter.
void level_label(const ZLEVMOD* m, const ZLEVETRM* ef, const int* levels, std::string& out)
{
    for (int k = 0; k < ef->nefct; ++k) {
        const ZLEVEFTVAR& ev = m->eft.var[ef->efct[k]];
        if (ev.maxLevNameLen == 0)
            continue;
        out += ' ';
        const int l = levels[k];
        if (ev.levName && l >= 0 && l < ev.nparms && ev.levName[l])
            out.append(ev.levName[l], static_cast<size_t>(ev.levNameLen[l]));
    }
    bool first = true;
    const char delim = m->levelDelimiter ? m->levelDelimiter : ' ';
    for (int k = 0; k < ef->nclas; ++k) {
        const ZLEVVAR& v = m->clas.v[ef->clas[k]];
        if (v.split)
            continue;
        out += first ? ' ' : delim;
        first = false;
        out += level_part(v, levels[ef->nefct + k]);
    }
}

// The text of a constructed effect variable's level name l.
std::string lev_name(const ZLEVEFTVAR& ev, int l)
{
    if (ev.levName == nullptr || l < 0 || l >= ev.nparms || ev.levName[l] == nullptr)
        return {};
    return std::string(ev.levName[l], static_cast<size_t>(ev.levNameLen[l]));
}

std::string var_name(const ZLEVVAR& v)
{
    return v.n && v.n->name_p ? std::string(v.n->name_p, static_cast<size_t>(v.n->namelen))
                              : std::string();
}

} // namespace

int zlevDigits(long n)
{
    int d = 1;
    for (n = std::max(n, 0L); n >= 10; n /= 10)
        ++d;
    return d;
}

int zlevLevelText(const ZLEVVAR* v, int l, const char** text)
{
    if (v->val.l == nullptr || l < 0 || l >= v->nlev) {
        *text = "";
        return 0;
    }
    *text = v->val.l[l];
    return std::max(wzstrip(v->val.l[l], v->vlen), 0);
}

int zlevCodedName(int param, int level, char* out)
{
    const char* stem = nullptr;
    switch (param) {
    case ZLEV_PARAM_OEFFECT:
        stem = "OEFF";
        break;
    case ZLEV_PARAM_OREF:
        stem = "OREF";
        break;
    case ZLEV_PARAM_POLY:
        stem = "POLY";
        break;
    case ZLEV_PARAM_OPOLY:
        stem = "OPOLY";
        break;
    case ZLEV_PARAM_OORD:
        stem = "OORD";
        break;
    case ZLEV_PARAM_OBATH:
        stem = "OBATH";
        break;
    default:
        return 0;
    }
    return xpsstr(out, kName, "%s%d", stem, level + 1);
}

int clcmp(char* p1, char* p2, int /*len*/, int off)
{
    const char* a = p1 + off;
    const char* b = p2 + off;
    const int c = wzstcom(a, static_cast<int>(std::strlen(a)), b, static_cast<int>(std::strlen(b)));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void zlevEftVarParmLevName(ZLEVREGI* r, ZLEVEFTVAR* ev)
{
    if (ev->levName)
        return;
    ZLEVMOD* m = r->m;
    POOLHANDLE* pool = r->d->pool;
    const int np = std::max(ev->nparms, 0);
    ev->levName = static_cast<char**>(zlevAlloc(pool, static_cast<long>(sizeof(char*)) * np));
    ev->levNameLen = static_cast<int*>(zlevAlloc(pool, 4L * np));
    std::vector<std::string> names;
    const bool fr = full_rank(m);
    // The columns of a classification variable's block: every level, or
    // under full rank the levels that own a column.
    auto class_columns = [&](const ZLEVVAR& v, const std::string& prefix) {
        const int ncol = fr ? v.nlev - 1 : v.nlev;
        for (int c = 0; c < ncol; ++c) {
            const int l = fr ? zlevColumnLevel(&v, c) : c;
            names.push_back(prefix + level_part(v, l));
        }
    };
    switch (ev->type) {
    case ZLEV_EFT_CONCAT:
        for (int c = 0; c < ev->ncont; ++c)
            names.push_back(var_name(m->cont.v[ev->cont[c]]));
        for (int c = 0; c < ev->nclas; ++c) {
            const ZLEVVAR& v = m->clas.v[ev->clas[c]];
            class_columns(v, var_name(v) + ":");
        }
        break;
    case ZLEV_EFT_SPLINE: {
        const ZLEVSPLINECONTROL* sp = ev->splineControlPtr;
        if (sp == nullptr || sp->splitFlag)
            break;
        for (int c = 0; c < ev->ncont; ++c)
            for (int k = 1; k <= sp->nVals; ++k)
                names.push_back(ev->ncont > 1
                                    ? var_name(m->cont.v[ev->cont[c]]) + ":" + std::to_string(k)
                                    : std::to_string(k));
        break;
    }
    case ZLEV_EFT_POLY:
        if (ev->separateFlag)
            names.push_back(std::string());
        break;
    case ZLEV_EFT_LAG:
        if (ev->lagControlPtr)
            class_columns(m->clas.v[ev->lagControlPtr->lagVar], std::string());
        break;
    default:
        break;
    }
    ev->maxLevNameLen = 0;
    for (size_t k = 0; k < names.size() && static_cast<int>(k) < np; ++k) {
        const int len = static_cast<int>(names[k].size());
        ev->levName[k] = len > 0 ? copy_text(pool, names[k].data(), len) : nullptr;
        ev->levNameLen[k] = len;
        ev->maxLevNameLen = std::max(ev->maxLevNameLen, len);
    }
}

void zlevEftVarLevNames(ZLEVREGI* r, int nList, int* eftVarList)
{
    ZLEVMOD* m = r->m;
    if (m->eft.n == 0)
        return;
    const int n = nList > 0 ? nList : m->eft.n;
    for (int q = 0; q < n; ++q)
        zlevEftVarParmLevName(r, &m->eft.var[nList > 0 ? eftVarList[q] : q]);
}

namespace
{

// The naming kit's classes, effect variables first, then classification
// variables: each class's levels in an array, chained in order, and after
// them a blank level that stands for a level a column does not have.
struct KitClasses {
    ZMNCLASS* classes = nullptr;
    std::vector<ZMNLEVEL*> levels;
    std::vector<int> counts;
};

ZMNLEVEL* make_levels(POOLHANDLE* pool, ZMNCLASS& c, int n)
{
    n = std::max(n, 0);
    auto* lv = static_cast<ZMNLEVEL*>(
        xmalloc_or_exit(pool, static_cast<int64_t>(sizeof(ZMNLEVEL)) * (n + 1), 0x3006));
    for (int k = 0; k <= n; ++k) {
        blank(lv[k].class_, kName);
        blank(lv[k].label, kLabel);
        blank(lv[k].parmname, kName);
        blank(lv[k].parmlabel, kLabel);
        lv[k].classvar = &c;
        lv[k].next = k + 1 < n ? &lv[k + 1] : nullptr;
    }
    c.levels = n > 0 ? lv : nullptr;
    return lv;
}

// The class of each constructed effect variable: its name, and its level
// names as the levels' texts and parameter names.
void effect_variable_classes(const ZLEVMOD* m, POOLHANDLE* pool, KitClasses& kit)
{
    for (int k = 0; k < m->eft.n; ++k) {
        const ZLEVEFTVAR& ev = m->eft.var[k];
        ZMNCLASS& c = kit.classes[k];
        put(c.name, kName, ev.name.s, ev.name.l);
        put(c.label, kLabel, ev.name.s, ev.name.l);
        c.nfl = 0;
        c.cprefix = c.lprefix = -1;
        ZMNLEVEL* lv = make_levels(pool, c, ev.nparms);
        kit.levels[static_cast<size_t>(k)] = lv;
        kit.counts[static_cast<size_t>(k)] = std::max(ev.nparms, 0);
        for (int i = 0; i < ev.nparms; ++i) {
            const std::string t = lev_name(ev, i);
            put(lv[i].class_, kName, t.data(), static_cast<int>(t.size()));
            put(lv[i].label, kLabel, t.data(), static_cast<int>(t.size()));
            std::memcpy(lv[i].parmname, lv[i].class_, kName);
            std::memcpy(lv[i].parmlabel, lv[i].label, kLabel);
        }
    }
}

// The class of each classification variable with levels: its name, label and
// prefixes, and its formatted level values, whose parameter names are the
// coded names where the parameterization has them.
void classification_classes(const ZLEVMOD* m, POOLHANDLE* pool, KitClasses& kit)
{
    for (int j = 0; j < m->clas.n; ++j) {
        const ZLEVVAR& v = m->clas.v[j];
        if (v.nlev < 1)
            continue;
        ZMNCLASS& c = kit.classes[m->eft.n + j];
        const std::string name = var_name(v);
        put(c.name, kName, name.data(), static_cast<int>(name.size()));
        if (v.n && v.n->nlablen > 0 && v.n->label_p)
            put(c.label, kLabel, v.n->label_p, v.n->nlablen);
        else
            put(c.label, kLabel, name.data(), static_cast<int>(name.size()));
        c.nfl = v.vlen;
        c.cprefix = v.cprefix;
        c.lprefix = v.lprefix;
        c.numeric = v.n == nullptr || v.n->ntype == 1;
        ZMNLEVEL* lv = make_levels(pool, c, v.nlev);
        kit.levels[static_cast<size_t>(m->eft.n + j)] = lv;
        kit.counts[static_cast<size_t>(m->eft.n + j)] = v.nlev;
        for (int l = 0; l < v.nlev; ++l) {
            put(lv[l].class_, kName, v.val.l[l], v.vlen);
            put(lv[l].label, kLabel, v.val.l[l], v.vlen);
            char coded[kName];
            const int n = zlevCodedName(v.param, l, coded);
            if (n > 0) {
                put(lv[l].parmname, kName, coded, n);
                char label[kLabel];
                const int ln =
                    xpsstr(label, kLabel, "%.*s %d", n - zlevDigits(l + 1), coded, l + 1);
                put(lv[l].parmlabel, kLabel, label, ln);
            } else {
                put(lv[l].parmname, kName, v.val.l[l], v.vlen);
                put(lv[l].parmlabel, kLabel, v.val.l[l], v.vlen);
            }
        }
    }
}

// The kit's description of each design column: the level of each class the
// column's effect crosses (its row of levelsall) and the continuous
// variables it multiplies.
ZMNEFFECT* column_effects(const ZLEVMOD* m, POOLHANDLE* pool, const KitClasses& kit,
                          std::vector<ZMNQUANT>& quants)
{
    const int p = std::max(m->p, 0);
    auto* effects = static_cast<ZMNEFFECT*>(
        xmalloc_or_exit(pool, static_cast<int64_t>(sizeof(ZMNEFFECT)) * std::max(p, 1), 0x3006));
    for (int e = 0; e < m->nef; ++e) {
        const ZLEVETRM& ef = m->ef[e];
        const int nways = ef.nclas + ef.nefct;
        for (int c = 0; c < ef.npar; ++c) {
            ZMNEFFECT& out = effects[ef.prep + c];
            blank(out.name, kName);
            blank(out.label, kLabel);
            if (m->separator.l > 0) {
                out.sepint.val = m->separator.s;
                out.sepint.len = m->separator.l - 1;
            }
            out.nways = nways;
            out.nquants = ef.ncont;
            out.nparmnames = ef.ncros + ef.nefct;
            out.levels = static_cast<ZMNLEVEL**>(xmalloc_or_exit(
                pool, static_cast<int64_t>(sizeof(ZMNLEVEL*)) * std::max(nways, 1), 0x3006));
            out.vars = static_cast<ZMNQUANT**>(xmalloc_or_exit(
                pool, static_cast<int64_t>(sizeof(ZMNQUANT*)) * std::max(ef.ncont, 1), 0x3006));
            const int* row =
                ef.levelsall ? ef.levelsall + static_cast<long>(c) * ef.nlevelallrow : nullptr;
            for (int k = 0; k < nways; ++k) {
                const int cls = k < ef.nefct ? ef.efct[k] : m->eft.n + ef.clas[k - ef.nefct];
                ZMNLEVEL* lv = kit.levels[static_cast<size_t>(cls)];
                const int count = kit.counts[static_cast<size_t>(cls)];
                const int l = row ? row[k] : 0;
                out.levels[k] = lv ? &lv[l >= 0 && l < count ? l : count] : nullptr;
            }
            for (int k = 0; k < ef.ncont; ++k)
                out.vars[k] = &quants[static_cast<size_t>(ef.cont[k])];
        }
    }
    return effects;
}

// The model's parameter names and labels from the kit's: "Intercept" for the
// intercept, else the kit's name made a valid variable name.
void store_names(ZLEVREGI* r, const ZMNEFFECT* effects, int p)
{
    ZLEVMOD* m = r->m;
    POOLHANDLE* dpool = r->d->pool;
    m->parmname = static_cast<char**>(zlevAlloc(dpool, static_cast<long>(sizeof(char*)) * p));
    m->parmlabel = static_cast<char**>(zlevAlloc(dpool, static_cast<long>(sizeof(char*)) * p));
    const int n = zvnamlen();
    for (int i = 0; i < p; ++i) {
        char name[kName];
        int nl;
        if (i == 0 && !(m->opt[0] & ZLEV_OPT0_NOINT)) {
            put(name, kName, "Intercept", 9);
            nl = 9;
        } else {
            std::memcpy(name, effects[i].name, kName);
            nl = std::max(wzstrip(name, n), 0);
        }
        if (nl > 0) {
            zname(0, name, nl);
            nl = std::max(wzstrip(name, nl), 0);
        }
        m->parmname[i] = copy_text(dpool, name, nl);
        const int ll = i == 0 && !(m->opt[0] & ZLEV_OPT0_NOINT)
                           ? nl
                           : std::max(wzstrip(effects[i].label, kLabel), 0);
        m->parmlabel[i] = i == 0 && !(m->opt[0] & ZLEV_OPT0_NOINT)
                              ? copy_text(dpool, name, nl)
                              : copy_text(dpool, effects[i].label, ll);
        m->maxparmnamelen = std::max(m->maxparmnamelen, nl);
        m->maxparmlabellen = std::max(m->maxparmlabellen, ll);
    }
}

} // namespace

int ParmName(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    POOLHANDLE* pool = work_pool();
    const int nclasses = m->eft.n + m->clas.n;
    KitClasses kit;
    kit.classes = zmnalcl(std::max(nclasses, 1), pool);
    if (kit.classes == nullptr) {
        xmemmsg(xmemdef());
        xexit(1016, 0);
    }
    kit.levels.assign(static_cast<size_t>(std::max(nclasses, 1)), nullptr);
    kit.counts.assign(static_cast<size_t>(std::max(nclasses, 1)), 0);
    effect_variable_classes(m, pool, kit);
    classification_classes(m, pool, kit);
    // The continuous variables, by name and label.
    std::vector<ZMNQUANT> quants(static_cast<size_t>(std::max(m->cont.n, 1)));
    for (int k = 0; k < m->cont.n; ++k) {
        const ZLEVVAR& v = m->cont.v[k];
        const std::string name = var_name(v);
        put(quants[k].name, kName, name.data(), static_cast<int>(name.size()));
        if (v.n && v.n->nlablen > 0 && v.n->label_p)
            put(quants[k].label, kLabel, v.n->label_p, v.n->nlablen);
        else
            blank(quants[k].label, kLabel);
    }
    const int p = std::max(m->p, 0);
    ZMNEFFECT* effects = column_effects(m, pool, kit, quants);
    for (int k = 0; k < nclasses; ++k)
        zmnprcl(&kit.classes[k], 1);
    if (p > 0)
        zmname(effects, p);
    store_names(r, effects, p);
    xmpoold(pool);
    return 0;
}

void zlevEfParmLabel(ZLEVMOD* m, POOLHANDLE* pool, int effNum, int maxEffLen)
{
    ZLEVETRM& ef = m->ef[effNum];
    int classLen = 0, effLen = 0;
    for (int k = 0; k < ef.nclas; ++k) {
        const ZLEVVAR& v = m->clas.v[ef.clas[k]];
        if (!v.split)
            classLen += 1 + class_width(v);
    }
    for (int k = 0; k < ef.nefct; ++k)
        effLen += m->eft.var[ef.efct[k]].maxLevNameLen + 1;
    const int size = classLen + effLen + std::max(maxEffLen, ef.name.l) + 1;
    for (int j = 0; j < ef.npar; ++j) {
        const long col = ef.prep + j;
        std::string label(ef.name.s ? ef.name.s : "", static_cast<size_t>(std::max(ef.name.l, 0)));
        if (m->labelCult == 1 && static_cast<int>(label.size()) < maxEffLen)
            label.resize(static_cast<size_t>(maxEffLen), ' ');
        const int* row =
            ef.levelsall ? ef.levelsall + static_cast<long>(j) * ef.nlevelallrow : nullptr;
        if (row)
            level_label(m, &ef, row, label);
        if (static_cast<int>(label.size()) > size)
            label.resize(static_cast<size_t>(size));
        const int ll = static_cast<int>(label.size());
        char* text = static_cast<char*>(zlevAlloc(pool, size + 1L));
        blank(text, size);
        std::memcpy(text, label.data(), label.size());
        text[ll] = '\0';
        m->parmlabel[col] = text;
        m->maxparmlabellen = std::max(m->maxparmlabellen, ll);
        std::string name;
        if (m->genericParamNames) {
            name = generic_name(m, col + 1);
        } else {
            char field[kName];
            const int nl = std::min(ll, kName);
            put(field, kName, text, nl);
            if (nl > 0) {
                zname(0, field, nl);
                name.assign(field, static_cast<size_t>(std::max(wzstrip(field, nl), 0)));
            }
        }
        m->parmname[col] = copy_text(pool, name.data(), static_cast<int>(name.size()));
        m->maxparmnamelen = std::max(m->maxparmnamelen, static_cast<int>(name.size()));
    }
}

int UniqDups(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    const int p = m->p;
    if (p <= 0 || m->parmname == nullptr)
        return 0;
    int longest = 0;
    for (int i = 0; i < p; ++i)
        longest = std::max(longest, static_cast<int>(std::strlen(m->parmname[i])));
    const int W = std::min(longest + static_cast<int>(std::log10(p + 1.0)) + 1, zvnamlen());
    POOLHANDLE* pool = work_pool();
    struct Node {
        TREE t;
        int count;
    };
    const int keyoff = static_cast<int>(sizeof(Node));
    const int nodesize = keyoff + W + 1;
    TREE* root = nullptr;
    for (int i = 0; i < p; ++i) {
        char* name = m->parmname[i];
        const int len = static_cast<int>(std::strlen(name));
        const int k = std::min(len, W);
        auto* node = static_cast<Node*>(xmalloc_or_exit(pool, nodesize, 0x3006));
        char* key = reinterpret_cast<char*>(node) + keyoff;
        node->count = 1;
        std::memcpy(key, name, static_cast<size_t>(k));
        key[k] = '\0';
        if (i > 0) {
            bool changed = false;
            for (;;) {
                auto* found =
                    reinterpret_cast<Node*>(ztrefdf(&root, &node->t, W + 1, keyoff, clcmp));
                if (found == nullptr)
                    break;
                node->count = ++found->count;
                const int d = zlevDigits(node->count);
                const int at = W - k < d ? W - d : k;
                char digits[16];
                xpsstr(digits, sizeof digits, "%d", node->count);
                std::memcpy(key + at, digits, static_cast<size_t>(d));
                key[at + d] = '\0';
                changed = true;
            }
            if (changed) {
                m->opt[1] = static_cast<char>(m->opt[1] | ZLEV_OPT1_RENAMED);
                const int nl = static_cast<int>(std::strlen(key));
                if (nl > len) {
                    name = static_cast<char*>(zlevAlloc(r->d->pool, nl + 1L));
                    m->parmname[i] = name;
                }
                m->maxparmnamelen = std::max(m->maxparmnamelen, nl);
            }
        }
        std::memcpy(name, key, std::strlen(key) + 1);
        ztrebdf(&root, &node->t, W + 1, keyoff, clcmp);
    }
    xmpoold(pool);
    return 0;
}

void zlevParmName(ZLEVREGI* r, int nList, int* effList)
{
    ZLEVMOD* m = r->m;
    m->maxparmnamelen = 0;
    m->maxparmlabellen = 0;
    if (m->labelCult == 0) {
        ParmName(r);
        return;
    }
    POOLHANDLE* pool = r->d->pool;
    const long p = std::max(m->p, 1);
    m->parmname = static_cast<char**>(zlevAlloc(pool, static_cast<long>(sizeof(char*)) * p));
    m->parmlabel = static_cast<char**>(zlevAlloc(pool, static_cast<long>(sizeof(char*)) * p));
    const int n = nList > 0 ? nList : m->nef;
    int longest = 0;
    for (int q = 0; q < n; ++q)
        longest = std::max(longest, m->ef[nList > 0 ? effList[q] : q].name.l);
    for (int q = 0; q < n; ++q)
        zlevEfParmLabel(m, pool, nList > 0 ? effList[q] : q, longest);
}

int zlevEfLevelLabel(ZLEVMOD* m, ZLEVETRM* ef, char* labelPtr, const int* levels)
{
    std::string out;
    level_label(m, ef, levels, out);
    if (!out.empty())
        std::memcpy(labelPtr, out.data(), out.size());
    return static_cast<int>(out.size());
}

int zlevLenLevelLabel(ZLEVMOD* m, ZLEVETRM* ef, const int* levels)
{
    int len = 0;
    for (int k = 0; k < ef->nefct; ++k) {
        const ZLEVEFTVAR& ev = m->eft.var[ef->efct[k]];
        len += 1;
        const int l = levels[k];
        if (ev.levName && l >= 0 && l < ev.nparms)
            len += ev.levNameLen[l];
    }
    for (int k = 0; k < ef->nclas; ++k) {
        const ZLEVVAR& v = m->clas.v[ef->clas[k]];
        if (v.split)
            continue;
        const int l = levels[ef->nefct + k];
        if (formatted_part(v.param)) {
            const char* t = nullptr;
            len += 1 + zlevLevelText(&v, l, &t);
        } else {
            const int digits = static_cast<int>(std::log10(l + 1.5));
            len += digits + (v.param == ZLEV_PARAM_OPOLY || v.param == ZLEV_PARAM_OBATH ? 7 : 6);
        }
    }
    return len;
}

void zlevEfClassLevelTrue(ZLEVMOD* m, ZLEVETRM* ef, const int* levels, char** charVal,
                          double* numericVal)
{
    for (int k = 0; k < ef->nclas; ++k) {
        const int var = ef->clas[k];
        const ZLEVVAR& v = m->clas.v[var];
        const int l = levels[ef->nefct + k];
        if (l < 0 || l >= v.nlev)
            continue;
        char coded[kName];
        const int n = zlevCodedName(v.param, l, coded);
        if (n > 0) {
            if (charVal && charVal[var])
                put(charVal[var], kName, coded, n);
        } else if (v.n == nullptr || v.n->ntype == 1) {
            if (numericVal)
                numericVal[var] = v.true_ ? v.true_[l].z : 0;
        } else if (charVal && charVal[var] && v.true_) {
            std::memcpy(charVal[var], v.true_[l].c.s, static_cast<size_t>(v.true_[l].c.l));
            charVal[var][v.true_[l].c.l] = '\0';
        }
    }
}

int zlevchk(ZLEVREGI* r)
{
    ZLEVMOD* m = r->m;
    for (int j = 0; j < m->clas.n; ++j) {
        const ZLEVVAR& v = m->clas.v[j];
        if (v.nlev != 1)
            continue;
        const char* text = nullptr;
        const int len = zlevLevelText(&v, 0, &text);
        xpmlog(172, msg172::ONE_LEVEL_ONLY, v.n ? static_cast<int>(v.n->namelen) : 0,
               v.n ? v.n->name_p : "", len, text);
    }
    return 0;
}

// Levels after a levelization pass: each classification variable's level
// tree becomes its list of level texts in ORDER= order with the reference
// level settled and, for the orthogonal parameterizations, its coding
// matrix; a byte-sorted index of the texts serves the per-observation
// lookup. Continuous variables get their centre and half-range.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "levelize/zlevint.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_message_names.h"

namespace
{

bool numeric(const ZLEVVAR& v)
{
    return v.n == nullptr || v.n->ntype == 1;
}

int sign(int c)
{
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// The descriptor's direction (1 ascending, -1 descending) and type letter.
void descriptor(const char* t, int* dir, char* type)
{
    *dir = 1;
    if (t && t[0] == '-') {
        *dir = -1;
        ++t;
    }
    *type = t ? t[0] : ' ';
}

// Compare(a, b, t, len): doubles with missing values lowest (D), signed
// 64-bit integers (L), else bytes over len.
int Compare(const char* a, const char* b, int t, int len)
{
    if (t == 'D')
        return sign(wzbcoff(a, b, -1, 0));
    if (t == 'L') {
        int64_t x, y;
        std::memcpy(&x, a, sizeof x);
        std::memcpy(&y, b, sizeof y);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return len > 0 ? sign(std::memcmp(a, b, static_cast<size_t>(len))) : 0;
}

// Exchanges two key records of alen bytes and their carried positions.
void Swap(char* a, char* b, int64_t* pa, int64_t* pb, int alen)
{
    char tmp[256];
    std::vector<char> big;
    char* t = tmp;
    if (alen > static_cast<int>(sizeof tmp)) {
        big.resize(static_cast<size_t>(alen));
        t = big.data();
    }
    std::memcpy(t, a, static_cast<size_t>(alen));
    std::memcpy(a, b, static_cast<size_t>(alen));
    std::memcpy(b, t, static_cast<size_t>(alen));
    if (pa && pb)
        std::swap(*pa, *pb);
}

// 1 when records a and b (a before b) are out of order.
bool out_of_order(const char* a, const char* b, int dir1, char t1, int dir2, char t2, int len)
{
    if (t1 == 'X') {
        const int c = Compare(a, b, 'L', 8);
        if (c != 0)
            return c == dir1;
        if (t2 == ' ')
            return false;
        return Compare(a + 8, b + 8, t2, len - 8) == dir2;
    }
    return Compare(a, b, t1, len) == dir1;
}

// Level nodes in list order: after ztrelst they follow one another through
// their first link.
std::vector<ZLEVNOD*> list_nodes(ZLEV* l, int j, int type)
{
    std::vector<ZLEVNOD*> nodes;
    if (type == 'T') {
        for (TREE* p = ztreord(l->head[j]); p; p = ztreord(l->head[j]))
            nodes.push_back(reinterpret_cast<ZLEVNOD*>(p));
    } else {
        for (TREE* p = l->head[j]; p; p = p->llink)
            nodes.push_back(reinterpret_cast<ZLEVNOD*>(p));
    }
    return nodes;
}

// A text without its trailing blanks, left-justified unless nojust.
std::string stripped(const char* s, int len, bool justify)
{
    std::string t(s, static_cast<size_t>(std::max(len, 0)));
    if (justify) {
        const size_t a = t.find_first_not_of(' ');
        t = a == std::string::npos ? std::string() : t.substr(a);
    }
    t.erase(t.find_last_not_of(' ') + 1);
    return t;
}

bool has_matrix(int param)
{
    return param == 1 || param == 3 || param == 5 || param == 6 || param == 8 || param >= 10;
}

} // namespace

void ShellSort(char* v, int n, int64_t* p, const char* t1, const char* t2, int len, int alen)
{
    int dir1, dir2;
    char type1, type2;
    descriptor(t1, &dir1, &type1);
    descriptor(t2, &dir2, &type2);
    for (int gap = n / 2; gap > 0; gap /= 2)
        for (int i = gap; i < n; ++i)
            for (int k = i - gap; k >= 0; k -= gap) {
                char* a = v + static_cast<size_t>(k) * alen;
                char* b = v + static_cast<size_t>(k + gap) * alen;
                if (!out_of_order(a, b, dir1, type1, dir2, type2, len))
                    break;
                Swap(a, b, p ? p + k : nullptr, p ? p + k + gap : nullptr, alen);
            }
}

void SortLevels(char** v, int* index, int n, int length)
{
    for (int k = 0; k < n; ++k)
        index[k] = k;
    for (int gap = n / 2; gap > 0; gap /= 2)
        for (int i = gap; i < n; ++i)
            for (int k = i - gap; k >= 0 && Compare(v[k], v[k + gap], 'S', length) == 1; k -= gap) {
                std::swap(v[k], v[k + gap]);
                std::swap(index[k], index[k + gap]);
            }
}

namespace
{

// Puts the levels of classification variable j in its ORDER= order, reversed
// when v.desc: by first appearance (D), frequency (F), unformatted value (I),
// formatted value (M: the list is kept as it stands unless reversed; a
// numeric variable without a format goes by its unformatted value, noting
// when that order differs), or by frequency first (X, Y, Z). The texts and
// the unformatted values move together.
void order_levels(ZLEV* l, ZLEVMOD* m, int j, ZLEVVAL* val, int type)
{
    ZLEVVAR& v = m->clas.v[j];
    const int nlev = l->nlev[j];
    const bool isNum = numeric(v);
    bool fromM = false;
    bool sort = true;
    int order = v.order;
    if (order == 'M') {
        if (isNum && v.n && v.n->nfl == 0 && v.n->nformlongl == 0) {
            order = 'I';
            fromM = true;
        } else if (!v.desc) {
            sort = false;
        }
    }
    if (sort && nlev > 1) {
        std::vector<ZLEVNOD*> nodes = list_nodes(l, j, type);
        const int rawLen = isNum ? 8 : (nlev > 0 ? v.true_[0].c.l : 0);
        int keyLen = 8;
        switch (order) {
        case 'I':
            keyLen = rawLen;
            break;
        case 'M':
            keyLen = v.vlen;
            break;
        case 'X':
            keyLen = 8 + v.vlen;
            break;
        case 'Y':
            keyLen = 16;
            break;
        case 'Z':
            keyLen = 8 + rawLen;
            break;
        default:
            keyLen = 8;
        }
        const int alen = std::max(8, (keyLen + 7) / 8 * 8);
        std::vector<char> keys(static_cast<size_t>(alen) * nlev, 0);
        std::vector<int64_t> p(static_cast<size_t>(nlev));
        for (int k = 0; k < nlev; ++k) {
            char* key = keys.data() + static_cast<size_t>(k) * alen;
            const ZLEVNOD* nd = nodes[static_cast<size_t>(k)];
            const char* raw = isNum ? reinterpret_cast<const char*>(&v.true_[k].z) : v.true_[k].c.s;
            p[static_cast<size_t>(k)] = k;
            switch (order) {
            case 'D':
                std::memcpy(key, &nd->order, 8);
                break;
            case 'F':
                std::memcpy(key, &nd->freq, 8);
                break;
            case 'I':
                std::memcpy(key, raw, static_cast<size_t>(rawLen));
                break;
            case 'M':
                std::memcpy(key, val->l[k], static_cast<size_t>(v.vlen));
                break;
            case 'X':
                std::memcpy(key, &nd->freq, 8);
                std::memcpy(key + 8, val->l[k], static_cast<size_t>(v.vlen));
                break;
            case 'Y':
                std::memcpy(key, &nd->freq, 8);
                std::memcpy(key + 8, &nd->order, 8);
                break;
            case 'Z':
                std::memcpy(key, &nd->freq, 8);
                std::memcpy(key + 8, raw, static_cast<size_t>(rawLen));
                break;
            }
        }
        const std::vector<char> before = keys;
        const bool d = v.desc != 0;
        const char* rawType = isNum ? (d ? "-D" : "D") : (d ? "-S" : "S");
        switch (order) {
        case 'D':
            ShellSort(keys.data(), nlev, p.data(), d ? "-L" : "L", " ", keyLen, alen);
            break;
        case 'F':
            ShellSort(keys.data(), nlev, p.data(), d ? "L" : "-L", " ", keyLen, alen);
            break;
        case 'I':
            ShellSort(keys.data(), nlev, p.data(), rawType, " ", keyLen, alen);
            break;
        case 'M':
            ShellSort(keys.data(), nlev, p.data(), "-S", " ", keyLen, alen);
            break;
        case 'X':
            ShellSort(keys.data(), nlev, p.data(), d ? "X" : "-X", d ? "-S" : "S", keyLen, alen);
            break;
        case 'Y':
            ShellSort(keys.data(), nlev, p.data(), d ? "X" : "-X", d ? "-L" : "L", keyLen, alen);
            break;
        case 'Z':
            ShellSort(keys.data(), nlev, p.data(), d ? "X" : "-X",
                      isNum ? (d ? "-D" : "D") : (d ? "-S" : "S"), keyLen, alen);
            break;
        }
        if (fromM && keys != before && !v.desc && !(m->opt[0] & ZLEV_OPT0_NOORDERMSG) && !v.ochmsg)
            v.ochmsg = 1;
        // Level k of the result is level p[k] of the list.
        std::vector<char*> texts(val->l, val->l + nlev);
        std::vector<ZLEVTRUE> trues(v.true_, v.true_ + nlev);
        for (int k = 0; k < nlev; ++k) {
            val->l[k] = texts[static_cast<size_t>(p[static_cast<size_t>(k)])];
            v.true_[k] = trues[static_cast<size_t>(p[static_cast<size_t>(k)])];
        }
    }
}

// Settles the reference level (given by value, first or last) as an index
// and, unless the design is of full rank or the caller placed it, moves it
// to the end, the others keeping their order.
void settle_reference(const ZLEVMOD* m, ZLEVVAR& v, ZLEVVAL* val, int nlev)
{
    if (v.ref == ZLEV_REF_VALUE) {
        // The value is justified as the level texts are.
        const std::string want = stripped(v.refval.s, v.refval.l, !v.nojust);
        int found = -1;
        for (int k = 0; k < nlev && found < 0; ++k)
            if (stripped(val->l[k], v.vlen, false) == want)
                found = k;
        if (found < 0) {
            xpmlog(172, msg172::REF_NOT_A_LEVEL, v.n ? static_cast<int>(v.n->namelen) : 0,
                   v.n ? v.n->name_p : "");
            xexit(3000, 0);
        }
        v.ref = found;
    } else if (v.ref == ZLEV_REF_LAST) {
        v.ref = nlev - 1;
    } else if (v.ref == ZLEV_REF_FIRST) {
        v.ref = 0;
    }
    // The reference level moves to the end, the others keeping their order;
    // it is coded where it now stands.
    if (!(m->opt[0] & ZLEV_OPT0_FULLRANK) && v.ref != nlev - 1 && !v.refset && nlev > 0) {
        char* text = val->l[v.ref];
        const ZLEVTRUE tv = v.true_[v.ref];
        for (int k = v.ref; k < nlev - 1; ++k) {
            val->l[k] = val->l[k + 1];
            v.true_[k] = v.true_[k + 1];
        }
        val->l[nlev - 1] = text;
        v.true_[nlev - 1] = tv;
        v.ref = nlev - 1;
    }
}

// The coding matrix of the orthogonal parameterizations: the parameterization's
// columns, centred, made orthonormal and scaled by the square root of the
// number of levels. Other parameterizations have none.
void coding_matrix(POOLHANDLE* pool, ZLEVVAR& v, int nlev)
{
    const bool isNum = numeric(v);
    v.col = nullptr;
    if (!has_matrix(v.param) || nlev < 2)
        return;
    const double bytes = static_cast<double>(nlev - 1) * nlev * 8.0;
    if (bytes > 9007199254740992.0) {
        xpmlog(172, msg172::DESIGN_TOO_LARGE);
        xexit(1012, 0);
    }
    const int c = nlev - 1;
    const int r = v.ref;
    std::vector<double> a(static_cast<size_t>(nlev) * c, 0.0);
    auto at = [&](int row, int col) -> double& { return a[static_cast<size_t>(row) * c + col]; };
    for (int k = 0; k < nlev; ++k) {
        switch (v.param) {
        case 1:
        case 3:
            if (k < r)
                at(k, k) = 1.0;
            else if (k == r) {
                if (v.param == 1)
                    for (int q = 0; q < c; ++q)
                        at(k, q) = -1.0;
            } else
                at(k, k - 1) = 1.0;
            break;
        case 5: {
            double x;
            if (isNum) {
                x = v.true_[k].z;
            } else {
                const double half = (nlev - 1) / 2.0;
                x = 2 * k == nlev - 1 ? 0.0 : (k - half) / half;
            }
            if (x != 0.0 && !wzmis(x))
                for (int q = 0; q < c; ++q)
                    at(k, q) = std::pow(x, q + 1);
            break;
        }
        case 8:
            for (int q = 0; q < k && q < c; ++q)
                at(k, q) = 1.0;
            break;
        case 10: {
            const double s = std::sqrt(1.5 * nlev / (static_cast<double>(nlev) * nlev - 1));
            for (int q = 0; q < c; ++q)
                at(k, q) = q < k ? s : -s;
            break;
        }
        default:
            break;
        }
    }
    for (int q = 0; q < c; ++q) {
        double mean = 0;
        for (int k = 0; k < nlev; ++k)
            mean += at(k, q);
        mean /= nlev;
        for (int k = 0; k < nlev; ++k)
            at(k, q) -= mean;
    }
    POOLHANDLE* work = xlongpool();
    auto* pm =
        static_cast<double*>(xmalloc_or_exit(work, static_cast<int64_t>(a.size()) * 8, 0x3006));
    auto* tm = static_cast<double*>(
        xmalloc_or_exit(work, static_cast<int64_t>(c) * (c + 1) / 2 * 8 + 8, 0x3006));
    zgsorth(nlev, c, a.data(), pm, tm);
    v.col = static_cast<double*>(zlevAlloc(pool, static_cast<long>(a.size()) * 8));
    zvscl11(v.col, pm, static_cast<long>(a.size()), std::sqrt(static_cast<double>(nlev)));
    vmfree_handler(work, pm, -1, 4);
    vmfree_handler(work, tm, -1, 4);
}

} // namespace

void zlevror(POOLHANDLE* pool, ZLEV* l, ZLEVMOD* m, int j, ZLEVVAL* val, int type)
{
    ZLEVVAR& v = m->clas.v[j];
    const int nlev = l->nlev[j];
    // Settings out of range take their defaults.
    static const char codes[] = "DFIMXYZ";
    if (std::strchr(codes, v.order) == nullptr || v.order == 0)
        v.order = m->order;
    if (v.ref != ZLEV_REF_VALUE && v.ref != ZLEV_REF_LAST && v.ref != ZLEV_REF_FIRST &&
        !(v.ref >= 0 && v.ref < nlev))
        v.ref = ZLEV_REF_LAST;
    if (v.desc != 0 && v.desc != 1)
        v.desc = 0;
    order_levels(l, m, j, val, type);
    settle_reference(m, v, val, nlev);
    coding_matrix(pool, v, nlev);
}

namespace
{

// Formatted values that differ only in their leading blanks are one level
// once left-justified, as every lookup justifies the value it looks for:
// the later ones (in list order) are folded into the first, which keeps the
// summed frequency, the earliest appearance and the smallest unformatted
// value, and are taken out of the list. Returns the number of levels left.
int fold_justified(ZLEV* l, const ZLEVVAR& v, int j)
{
    const int nlev = l->nlev[j];
    if (v.nojust || v.vlen <= 0)
        return nlev;
    bool led = false;
    int k = 0;
    for (TREE* p = l->head[j]; p && k < nlev && !led; p = p->llink, ++k)
        led = reinterpret_cast<const ZLEVNOD*>(p)->idx[0] == ' ';
    if (!led)
        return nlev;
    const bool isNum = numeric(v);
    std::unordered_map<std::string, ZLEVNOD*> first;
    std::string text(static_cast<size_t>(v.vlen), ' ');
    int kept = 0;
    TREE* last = nullptr;
    k = 0;
    for (TREE* p = l->head[j]; p && k < nlev; ++k) {
        TREE* next = p->llink;
        auto* nd = reinterpret_cast<ZLEVNOD*>(p);
        std::memcpy(text.data(), nd->idx, static_cast<size_t>(v.vlen));
        wzstjls(text.data(), v.vlen, 'l', nullptr, nullptr);
        auto [at, fresh] = first.emplace(text, nd);
        if (fresh) {
            last = p;
            ++kept;
        } else {
            ZLEVNOD* to = at->second;
            to->freq += nd->freq;
            to->order = std::min(to->order, nd->order);
            if (isNum) {
                if (zlevLowerTrue(nd->true_.z, to->true_.z))
                    to->true_.z = nd->true_.z;
            } else if (std::memcmp(nd->true_.c.s, to->true_.c.s,
                                   static_cast<size_t>(std::min(nd->true_.c.l, to->true_.c.l))) <
                       0) {
                std::memcpy(to->true_.c.s, nd->true_.c.s,
                            static_cast<size_t>(std::min(nd->true_.c.l, to->true_.c.l)));
            }
            last->llink = next;
        }
        p = next;
    }
    l->nlev[j] = kept;
    return kept;
}

} // namespace

int zlevlls(POOLHANDLE* pool, ZLEV* l, ZLEVMOD* m, int j, ZLEVVAL* val)
{
    ZLEVVAR& v = m->clas.v[j];
    ztrelst(&l->head[j]);
    const int nlev = fold_justified(l, v, j);
    const long n = std::max(nlev, 1);
    val->l = static_cast<char**>(zlevAlloc(pool, n * sizeof(char*)));
    v.sl = static_cast<char**>(zlevAlloc(pool, n * sizeof(char*)));
    v.lidx = static_cast<int*>(zlevAlloc(pool, n * sizeof(int)));
    v.true_ = static_cast<ZLEVTRUE*>(zlevAlloc(pool, n * sizeof(ZLEVTRUE)));
    const bool isNum = numeric(v);
    int k = 0;
    for (TREE* p = l->head[j]; p && k < nlev; p = p->llink, ++k) {
        const auto* nd = reinterpret_cast<const ZLEVNOD*>(p);
        char* s = static_cast<char*>(zlevAlloc(pool, v.vlen));
        std::memcpy(s, nd->idx, static_cast<size_t>(v.vlen));
        if (!v.nojust)
            wzstjls(s, v.vlen, 'l', nullptr, nullptr);
        val->l[k] = s;
        if (isNum) {
            v.true_[k].z = nd->true_.z;
        } else {
            v.true_[k].c.l = nd->true_.c.l;
            v.true_[k].c.s = static_cast<char*>(zlevAlloc(pool, nd->true_.c.l));
            std::memcpy(v.true_[k].c.s, nd->true_.c.s, static_cast<size_t>(nd->true_.c.l));
        }
    }
    zlevror(pool, l, m, j, val, 'L');

    // For a later effect-level pass: each raw value of worker 0 gets its level.
    ZLEVREADPARMS* rp = l->readParm;
    if (rp && rp->clefFlag && rp->threadParm && rp->threadParm[0].Rawtree &&
        rp->threadParm[0].Rawtree[j]) {
        QXEAA_EXTENSION* aa = rp->qxeaa;
        double memsize = 0;
        wmrlmem(&memsize, 0);
        QXEAAh table = aa ? aa->create(aa, 4, static_cast<QXMemSize>(v.vlen), 12, 2, 5,
                                       static_cast<QXMemSize>(memsize))
                          : nullptr;
        if (table) {
            for (int q = 0; q < nlev; ++q)
                table->add(table, val->l[q], static_cast<QXMemSize>(v.vlen), &q);
            QXEAVLh raw = rp->threadParm[0].Rawtree[j];
            for (QXEAVLNODE* nd = raw->first(raw); nd; nd = raw->next(raw, nd)) {
                int idx = -1;
                const char* copy = isNum ? reinterpret_cast<ZLEVQXRNODE*>(nd)->c
                                         : reinterpret_cast<ZLEVQXRCNODE*>(nd)->x;
                if (table->find(table, copy, static_cast<QXMemSize>(v.vlen), &idx) != QX_OK)
                    idx = -1;
                if (isNum)
                    reinterpret_cast<ZLEVQXRNODE*>(nd)->i = idx;
                else
                    reinterpret_cast<ZLEVQXRCNODE*>(nd)->i = idx;
            }
            table->hdr.destroy(table);
        }
    }

    for (int q = 0; q < nlev; ++q) {
        v.sl[q] = val->l[q];
        v.lidx[q] = q;
    }
    SortLevels(v.sl, v.lidx, nlev, v.vlen);
    return nlev;
}

int zlevllm(POOLHANDLE* /*pool*/, ZLEV* l, ZLEVMOD* /*m*/, int j, ZLEVVAL* val)
{
    if (l->xmin[j] == 1.7976931348623157e308) {
        val->z.l = korv_missing();
        val->z.s = 0;
        return 0;
    }
    val->z.l = (l->xmin[j] + l->xmax[j]) * 0.5;
    val->z.s = (l->xmax[j] - l->xmin[j]) * 0.5;
    return val->z.s == 0 ? 1 : 2;
}

int zlevlwh(ZLEVDAT* /*d*/, ZLEVVAR* g, char* v)
{
    if (!g->nojust)
        wzstjls(v, g->vlen, 'l', nullptr, nullptr);
    int lo = 0, hi = g->nlev - 1;
    while (hi - lo > 5) {
        const int mid = (lo + hi) / 2;
        const int c = std::memcmp(v, g->sl[mid], static_cast<size_t>(g->vlen));
        if (c == 0)
            return g->lidx[mid];
        if (c < 0)
            hi = mid;
        else
            lo = mid;
    }
    for (int k = lo; k <= hi; ++k)
        if (std::memcmp(v, g->sl[k], static_cast<size_t>(g->vlen)) == 0)
            return g->lidx[k];
    return -1;
}

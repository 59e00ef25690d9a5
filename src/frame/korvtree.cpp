// Strata and group trees: node allocation, interval strata, the two key
// comparisons, the texts and labels of strata values and the plot letters.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "frame/frame.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"
#include "vyr_format.h"
#include "vyr_host.h"

namespace
{

const MYDATA* current_mydata()
{
    PROCSTR* ps = korv_procstr();
    return ps ? static_cast<const MYDATA*>(ps->userptr) : nullptr;
}

int sign(int c)
{
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

} // namespace

void korv_fix_nan(char* slot)
{
    double d = read_double(slot);
    if (std::isnan(d) && !wzmis(d))
        write_double(slot, korv_missing());
}

STRATA* memnode(KORVCOM* q, POOLHANDLE* temporary)
{
    auto* node = static_cast<STRATA*>(
        xmalloc_or_exit(q->polnode, strata_node_size(q->slenf + q->slenu), 0x2000));
    node->note = static_cast<NOTESTR*>(xmalloc_or_exit(q->polnode, sizeof(NOTESTR), 0x2000));
    node->time = static_cast<double*>(xmalloc_or_exit(temporary, q->blockt, 0x2000));
    node->freq = static_cast<double*>(xmalloc_or_exit(temporary, q->blockf, 0x2000));
    if (q->zwt)
        node->wt = static_cast<double*>(xmalloc_or_exit(temporary, q->blockt, 0x2000));
    if (q->grpvar)
        node->group = static_cast<int*>(xmalloc_or_exit(temporary, q->blockg, 0x2000));
    if (q->nid > 0 && q->blocki > 0)
        node->id = static_cast<char*>(xmalloc_or_exit(temporary, q->blocki, 0x2000));
    if (q->ncvar > 0)
        node->cv = static_cast<double*>(xmalloc_or_exit(temporary, q->blockc, 0x2000));
    return node;
}

GRPTREE* memgnode(KORVCOM* q, POOLHANDLE* pool)
{
    GRPVAR* g = q->grpvar;
    auto* node =
        static_cast<GRPTREE*>(xmalloc_or_exit(pool, grptree_node_size(g->lenf + g->lenu), 0x2000));
    node->index = g->last++;
    return node;
}

int korv_interval_index(double v, const double* cut, int ncut)
{
    if (wzmis(v) || std::isnan(v))
        return 0;
    int k = 1;
    for (int i = 0; i < ncut; ++i)
        if (cut[i] <= v)
            ++k;
    return k;
}

double korv_interval_value(int k, const double* cut, int ncut)
{
    if (k <= 0 || ncut < 1)
        return korv_missing();
    if (k == 1)
        // Just below the first cut point, for a cut point of any sign.
        return std::nextafter(cut[0], -INFINITY);
    if (k >= ncut + 1)
        return cut[ncut - 1];
    return (cut[k - 2] + cut[k - 1]) / 2;
}

void newnode(KORVCOM* q, STRATA* node)
{
    char* key = strata_key(node);
    for (int j = 0; j < q->ncut; ++j) {
        const SNAMESTR& s = q->sname[q->cut[j]];
        int k = static_cast<int>(read_double(key + s.posf));
        if (k >= 1)
            write_double(key + s.posu, korv_interval_value(k, s.cutpoint, s.cutnum));
    }
}

int korv_strata_keycmp(const MYDATA* md, const char* key1, const char* key2)
{
    for (int i = 0; i < md->nsvar; ++i) {
        const SNAMESTR& s = md->sname[i];
        int c;
        if (md->sorder == 0) {
            if (s.nfl == 0 || s.nfl == 1)
                c = wzbcoff(key1, key2, -2, s.posf);
            else
                c = wzbcoff(key1, key2, s.lngf, s.posf);
        } else {
            if (s.nfl == 0)
                c = wzbcoff(key1, key2, -2, s.posf);
            else if (s.type == 1)
                c = wzbcoff(key1, key2, -2, s.posu);
            else
                c = wzbcoff(key1, key2, s.lngu, s.posu);
        }
        if (c != 0)
            return sign(c);
    }
    return 0;
}

int korv_group_keycmp(const MYDATA* md, const char* key1, const char* key2)
{
    const GRPVAR* g = md->grpvar;
    if (md->sorder == 0)
        return sign(wzbcoff(key1, key2, g->lenf, 0));
    if (g->nm && g->nm->ntype == 2)
        return sign(wzbcoff(key1, key2, g->lenu, g->lenf));
    return sign(wzbcoff(key1, key2, -2, g->lenf));
}

int stratacmf(char* node1, char* node2, int /*len*/, int off)
{
    const MYDATA* md = current_mydata();
    if (!md)
        return 0;
    return korv_strata_keycmp(md, static_cast<const char*>(node1) + off,
                              static_cast<const char*>(node2) + off);
}

int groupcmf(char* node1, char* node2, int /*len*/, int off)
{
    const MYDATA* md = current_mydata();
    if (!md || !md->grpvar)
        return 0;
    return korv_group_keycmp(md, static_cast<const char*>(node1) + off,
                             static_cast<const char*>(node2) + off);
}

// Puts `text` into a formatted slot of `room` bytes, blank padded.
static void put_slot(char* slot, int room, const char* text, int len)
{
    if (len > room)
        len = room;
    if (len < 0)
        len = 0;
    std::memcpy(slot, text, static_cast<size_t>(len));
    std::memset(slot + len, ' ', static_cast<size_t>(room - len));
}

void korv_strata_labels(KORVCOM* q, STRATA* stratum)
{
    char* key = strata_key(stratum);
    for (int i = 0; i < q->nsvar; ++i) {
        const SNAMESTR& s = q->sname[i];
        if (s.nfl == 1) {
            char t[8];
            xpfs(read_double(key + s.posf), -8, 99, t);
            put_slot(key + s.posf, s.lngf, t, 8);
        } else if (s.nfl == 0) {
            int k = static_cast<int>(read_double(key + s.posf));
            char t[9];
            xpfs(read_double(key + s.posu), -8, 99, t);
            t[8] = 0;
            int tl = wzstrip(t, 8);
            t[tl] = 0;
            // The slot is wide enough for the marker and the whole value text.
            char buf[32];
            int n;
            if (k == 0)
                n = xpsstr(buf, sizeof buf, "%s", t);
            else if (k == 1)
                n = xpsstr(buf, sizeof buf, " <%6s", t);
            else if (k == s.cutnum + 1)
                n = xpsstr(buf, sizeof buf, ">=%6s", t);
            else
                n = xpsstr(buf, sizeof buf, "  %6s", t);
            put_slot(key + s.posf, s.lngf, buf, n);
        }
    }
}

void symbol(KORVCOM* q)
{
    if (q->nstrata <= 1 || q->nsvar < 1 || q->sname[0].type != 2)
        return;
    const SNAMESTR& s = q->sname[0];
    int i = 0;
    for (STRATA* st = q->strata; st && i < 26; st = st->left, ++i) {
        const char* key = strata_key(st) + s.posf;
        char c = 'A';
        for (int b = 0; b < s.lngf; ++b)
            if (key[b] != ' ') {
                c = key[b];
                break;
            }
        wzstrup(&c, 1);
        if (c < 'A' || c > 'Z')
            c = 'A';
        bool taken = false;
        for (int j = 0; j < i; ++j)
            if (q->symbols[j] == c)
                taken = true;
        if (i == 0 || !taken) {
            int at = 0;
            while (at < 26 && q->symbols[at] != c)
                ++at;
            if (at < 26) {
                q->symbols[at] = q->symbols[i];
                q->symbols[i] = c;
            }
        }
    }
}

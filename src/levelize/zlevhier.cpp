// The effect containment hierarchy: an effect contains another when its
// variables include all of the other's and more (A*B contains A and B). For
// every effect, the effects it contains and those it is contained in.
// Continuous variables and effect variables count as multisets (x*x
// contains x), classification variables as sets; a polynomial effect
// variable not kept whole counts as its continuous variables.
#include <algorithm>
#include <vector>

#include "levelize/zlevint.h"
#include "runtime/procstr.h"

int cont_lstcmp(int* l1, int n1, int* l2, int n2)
{
    if (n1 == 0)
        return n2 == 0 ? 0 : -1;
    std::vector<char> used(static_cast<size_t>(std::max(n2, 0)), 0);
    int matched = 0;
    for (int i = 0; i < n1; ++i)
        for (int j = 0; j < n2; ++j)
            if (!used[static_cast<size_t>(j)] && l2[j] == l1[i]) {
                used[static_cast<size_t>(j)] = 1;
                ++matched;
                break;
            }
    if (matched < n1)
        return matched < n2 ? 999 : 1;
    return matched < n2 ? -1 : 0;
}

int levefc_all(int i, int j, ZLEV_ALL_LIST* list)
{
    if (i == j)
        return 0;
    const ZLEV_ALL_LIST& a = list[i];
    const ZLEV_ALL_LIST& b = list[j];
    const int c = cont_lstcmp(a.cont, std::abs(a.ncont), b.cont, std::abs(b.ncont));
    const int k = zlstcmp(a.clas, std::abs(a.nclas), b.clas, std::abs(b.nclas), 4);
    const int e = cont_lstcmp(a.efct, std::abs(a.nefct), b.efct, std::abs(b.nefct));
    if (c == 999 || k == 999 || e == 999 || c * k == -1 || c * e == -1 || k * e == -1)
        return 999;
    return c != 0 ? c : (k != 0 ? k : e);
}

int levefc_class(int i, int j, ZLEV_ALL_LIST* list)
{
    if (list[i].nclas == 0 && list[j].nclas == 0)
        return i == j ? 0 : 999;
    return levefc_all(i, j, list);
}

int zlevhier(ZLEV_HIERARCHY* hier)
{
    ZLEVMOD* m = hier->r->m;
    const int nef = m->nef;
    POOLHANDLE* pool = xmpoolc(0, 1024, 6);
    if (pool == nullptr)
        return -2;
    if (nef == 0) {
        xmpoold(pool);
        return -2;
    }
    const int s = (m->opt[0] & ZLEV_OPT0_NOINT) ? 0 : 1;
    auto* lists = static_cast<ZLEV_ALL_LIST*>(
        vmalcp_handler(pool, static_cast<int64_t>(sizeof(ZLEV_ALL_LIST)) * nef, 0x3006));
    if (lists == nullptr) {
        xmpoold(pool);
        return -2;
    }
    auto ints = [&](const std::vector<int>& v) {
        int* p =
            static_cast<int*>(vmalcp_handler(pool, 4L * std::max<size_t>(v.size(), 1), 0x3006));
        if (p)
            std::copy(v.begin(), v.end(), p);
        return p;
    };
    for (int e = 0; e < nef; ++e) {
        const ZLEVETRM& ef = m->ef[e];
        ZLEV_ALL_LIST& l = lists[e];
        l.nclas = ef.nclas;
        l.clas = ef.clas;
        l.ncont = ef.ncont;
        l.cont = ef.cont;
        l.nefct = ef.nefct;
        l.efct = ef.efct;
        if (ef.nefct == 0)
            continue;
        std::vector<int> polyCont, others;
        for (int q = 0; q < ef.nefct; ++q) {
            const ZLEVEFTVAR& ev = m->eft.var[ef.efct[q]];
            if (ev.type == ZLEV_EFT_POLY && ev.polyControlPtr && !ev.polyControlPtr->noSeparateFlag)
                polyCont.insert(polyCont.end(), ev.cont, ev.cont + ev.ncont);
            else
                others.push_back(ef.efct[q]);
        }
        if (polyCont.empty())
            continue;
        polyCont.insert(polyCont.end(), ef.cont, ef.cont + ef.ncont);
        std::sort(polyCont.begin(), polyCont.end());
        std::sort(others.begin(), others.end());
        l.cont = ints(polyCont);
        l.efct = ints(others);
        if (!l.cont || !l.efct) {
            xmpoold(pool);
            return -2;
        }
        l.ncont = -static_cast<int>(polyCont.size());
        l.nefct = -static_cast<int>(others.size());
    }
    int (*cmp)(int, int, ZLEV_ALL_LIST*) = levefc_all;
    if (hier->hierarchyToUse == 2) {
        cmp = levefc_class;
    } else if (hier->hierarchyToUse == 0 && hier->method != 3) {
        xmpoold(pool);
        return 0;
    }
    for (int i = s; i < nef; ++i)
        for (int j = s; j < nef; ++j)
            if (cmp(i, j, lists) == 1) {
                ++hier->nContains[i];
                ++hier->nContainedIn[j];
            }
    auto list_of = [&](int n) -> int* {
        if (n == 0)
            return nullptr;
        if (hier->pooltype == 0)
            return static_cast<int*>(hier->qxpool->alloc(hier->qxpool, 4UL * n, 0x80000000u));
        return static_cast<int*>(vmalcp_handler(hier->pool, 4L * n, 0x3006));
    };
    for (int e = 0; e < nef; ++e) {
        const int a = hier->nContains[e], b = hier->nContainedIn[e];
        hier->containsList[e] = list_of(a);
        hier->containedInList[e] = list_of(b);
        if ((a && !hier->containsList[e]) || (b && !hier->containedInList[e])) {
            xmpoold(pool);
            return -2;
        }
        hier->nContains[e] = 0;
        hier->nContainedIn[e] = 0;
    }
    for (int i = s; i < nef; ++i)
        for (int j = s; j < nef; ++j)
            if (cmp(i, j, lists) == 1) {
                hier->containsList[i][hier->nContains[i]++] = j;
                hier->containedInList[j][hier->nContainedIn[j]++] = i;
            }
    xmpoold(pool);
    return 0;
}

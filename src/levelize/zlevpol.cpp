// Polynomial and lag effect variables. A polynomial turns the values of its
// continuous variables, optionally centred and scaled, into every monomial
// up to its degree, graded by degree and within a degree ordered by the
// lowest variable index (x, y, z, x2, xy, xz, y2, yz, z2, ...). A lag gives,
// for an observation of a subject in a period, the level of a classification
// variable that the same subject had nLag periods earlier: the subjects are
// the level combinations of the within variables, numbered in key order, and
// the design holds per subject and period 1 + the observed level (0: none).
#include <algorithm>
#include <cstring>
#include <vector>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "vyr_message_names.h"

namespace
{

int name_len(const ZLEVSTR& s)
{
    return std::max(s.l, 0);
}

int var_len(const ZLEVVAR& v)
{
    return v.n ? static_cast<int>(v.n->namelen) : 0;
}

const char* var_name(const ZLEVVAR& v)
{
    return v.n ? v.n->name_p : "";
}

// Compares two subjects by their within-variable levels.
int subject_compare(char* a, char* b, int len, int /*off*/)
{
    const auto* x = reinterpret_cast<const ZLEVLAGNODE*>(a);
    const auto* y = reinterpret_cast<const ZLEVLAGNODE*>(b);
    for (int k = 0; k < len / 4; ++k)
        if (x->idx[k] != y->idx[k])
            return x->idx[k] < y->idx[k] ? -1 : 1;
    return 0;
}

ZLEVLAGNODE* new_node(POOLHANDLE* pool, int nWithin)
{
    auto* n = static_cast<ZLEVLAGNODE*>(zlevAlloc(pool, sizeof(ZLEVLAGNODE)));
    n->idx = static_cast<int*>(zlevAlloc(pool, 4L * std::max(nWithin, 1)));
    return n;
}

void renumber(TREE* root)
{
    int s = 0;
    for (TREE* p = ztreord(root); p; p = ztreord(root))
        reinterpret_cast<ZLEVLAGNODE*>(p)->subject = s++;
}

} // namespace

void GetPolyVals(ZLEVPOLYCONTROL* pc, int ncont, const int* cont, const double* xVals, double* x)
{
    double* v = pc->stdWork ? pc->stdWork : x;
    for (int i = 0; i < ncont; ++i) {
        double a = xVals[cont[i]];
        if (!wzmis(a)) {
            if ((pc->standardizeFlag == 1 || pc->standardizeFlag == 3) && pc->center)
                a -= pc->center[i];
            if ((pc->standardizeFlag == 2 || pc->standardizeFlag == 3) && pc->scale)
                a /= pc->scale[i];
        }
        v[i] = a;
    }
    if (v != x)
        std::copy(v, v + ncont, x);
    long col = ncont;
    for (int k = 1; k < pc->degree; ++k)
        for (int i = 0; i < ncont; ++i)
            for (int t = pc->offset[k - 1][i]; t < pc->nCumTerms[k]; ++t)
                x[col++] = wzmis(x[i]) || wzmis(x[t]) ? korv_missing() : x[i] * x[t];
}

void zlevPolyCols(ZLEVREGI* r, ZLEVEFTVAR* var)
{
    ZLEVPOLYCONTROL* pc = var->polyControlPtr;
    if (pc == nullptr || var->x == nullptr || var->ncont == 0)
        return;
    std::vector<double> values(static_cast<size_t>(var->ncont));
    std::vector<int> index(static_cast<size_t>(var->ncont));
    for (int i = 0; i < var->ncont; ++i) {
        values[static_cast<size_t>(i)] = zlevRawValue(r, var->cont[i]);
        index[static_cast<size_t>(i)] = i;
    }
    GetPolyVals(pc, var->ncont, index.data(), values.data(), var->x);
}

void zlevLevelizeLagWithin(ZLEVREGI* r, int n, ZLEVEFTVAR** list)
{
    if (n <= 0 || list == nullptr)
        return;
    ZLEVMOD* m = r->m;
    POOLHANDLE* pool = r->d->pool;
    struct Control {
        ZLEVLAGCONTROL* L;
        TREE* tree[2] = {nullptr, nullptr}; // main, alternative
        ZLEVLAGNODE* spare[2] = {nullptr, nullptr};
    };
    std::vector<Control> controls;
    for (int q = 0; q < n; ++q) {
        ZLEVLAGCONTROL* L = list[q] ? list[q]->lagControlPtr : nullptr;
        if (L == nullptr)
            continue;
        L->compareNode = new_node(pool, L->nWithin);
        for (ZLEVLAGSUBJECTS* S : {L->scoreSubjectsPtr ? L->scoreSubjectsPtr : &L->subjects,
                                   L->scoreSubjectsPtr ? nullptr : L->altSubjectsPtr})
            if (S) {
                S->nSubjects = 0;
                S->withinTree = nullptr;
                S->design = nullptr;
            }
        controls.push_back({L});
    }
    if (controls.empty())
        return;
    // The design-role values are read as they stand.
    if (ZLEVLAGCONTROL* last = controls.back().L; last->altSubjectsPtr) {
        m->cont.v[last->designRoleVar].val.z.l = 0;
        m->cont.v[last->designRoleVar].val.z.s = 1;
    }
    if (r->GetInit(r) != 0)
        return;
    while (r->GetNext(r)) {
        zlevrgd(r, nullptr, nullptr, nullptr);
        for (Control& c : controls) {
            ZLEVLAGCONTROL* L = c.L;
            ZLEVLAGSUBJECTS* S = &L->subjects;
            int kind = 0;
            if (L->scoreSubjectsPtr) {
                S = L->scoreSubjectsPtr;
            } else if (L->altSubjectsPtr) {
                const double role = r->z[L->designRoleVar];
                if (wzmis(role))
                    continue;
                if (role == 0) {
                    S = L->altSubjectsPtr;
                    kind = 1;
                }
            }
            if (c.spare[kind] == nullptr) {
                c.spare[kind] = new_node(pool, L->nWithin);
                c.spare[kind]->nCases = 1;
            }
            ZLEVLAGNODE* node = c.spare[kind];
            bool missing = false;
            for (int k = 0; k < L->nWithin && !missing; ++k)
                missing = (node->idx[k] = r->g[L->withinVar[k]]) < 0;
            if (missing)
                continue;
            node->subject = S->nSubjects;
            auto* got = reinterpret_cast<ZLEVLAGNODE*>(
                ztrebdf(&c.tree[kind], &node->t, 4 * L->nWithin, 0, subject_compare));
            if (got == node) {
                ++S->nSubjects;
                c.spare[kind] = nullptr;
            } else if (got) {
                ++got->nCases;
            }
        }
    }
    for (Control& c : controls) {
        ZLEVLAGCONTROL* L = c.L;
        ZLEVLAGSUBJECTS* main = L->scoreSubjectsPtr ? L->scoreSubjectsPtr : &L->subjects;
        main->withinTree = c.tree[0];
        renumber(c.tree[0]);
        if (!L->scoreSubjectsPtr && L->altSubjectsPtr) {
            L->altSubjectsPtr->withinTree = c.tree[1];
            renumber(c.tree[1]);
        }
    }
}

int zlevLagDesignCreate(ZLEVREGI* r, ZLEVLAGCONTROL* L, ZLEVEFTVAR* eft, DSHANDLE* scoreDataFid,
                        DSHANDLE* scoreDataOutFid)
{
    ZLEVMOD* m = r->m;
    POOLHANDLE* pool = r->d->pool;
    const int ny = r->y.n;
    double* y = static_cast<double*>(zlevAlloc(pool, 8L * std::max(ny, 1)));
    L->obsLaggedLevel = -1;
    ZLEVLAGSUBJECTS* S = L->scoreSubjectsPtr ? L->scoreSubjectsPtr : &L->subjects;
    ZLEVLAGSUBJECTS* alt = L->scoreSubjectsPtr ? nullptr : L->altSubjectsPtr;
    if (!L->scoreSubjectsPtr && L->nWithin == 1 && alt == nullptr) {
        // Subjects are the within variable's levels themselves.
        S->nSubjects = m->clas.v[L->withinVar[0]].nlev;
        S->withinTree = nullptr;
    }
    const ZLEVSTR& name = eft->name;
    auto done = [&](int rc) {
        vmfree_handler(pool, y, -1, 4);
        return rc;
    };
    if (S->nSubjects <= 0) {
        if (scoreDataFid || scoreDataOutFid) {
            char in[48] = "", out[48] = "";
            if (scoreDataFid)
                xoinfo(scoreDataFid, 81, in);
            if (scoreDataOutFid)
                xoinfo(scoreDataOutFid, 81, out);
            xpmlog(174, msg174::LAG_NO_SUBJECT_SCORED, name_len(name), name.s, in, out);
        } else if (alt) {
            const ZLEVVAR& role = m->cont.v[L->designRoleVar];
            xpmlog(174, msg174::LAG_NO_SUBJECT_NONZERO, name_len(name), name.s, var_len(role),
                   var_name(role));
        } else {
            xpmlog(174, msg174::LAG_NO_SUBJECT, name_len(name), name.s);
        }
        return done(5);
    }
    const int periods = std::max(L->nPeriods, 0);
    S->design = static_cast<int*>(zlevAlloc(pool, 4L * S->nSubjects * std::max(periods, 1)));
    if (alt)
        alt->design = static_cast<int*>(
            zlevAlloc(pool, 4L * std::max(alt->nSubjects, 1) * std::max(periods, 1)));
    if (r->GetInit(r) != 0)
        return done(0);
    while (r->GetNext(r)) {
        zlevrgd(r, y, nullptr, nullptr);
        const int period = r->g[L->periodVar];
        if (period < 0 || period >= periods)
            continue;
        ZLEVLAGSUBJECTS* set = S;
        bool isAlt = false;
        if (alt) {
            const double role = r->z[L->designRoleVar];
            if (wzmis(role))
                continue;
            if (role == 0) {
                set = alt;
                isAlt = true;
                bool anyMissing = false;
                for (int k = 0; k < ny; ++k)
                    anyMissing = anyMissing || wzmis(y[k]);
                if (!anyMissing) {
                    const ZLEVVAR& rv = m->cont.v[L->designRoleVar];
                    xpmlog(174, msg174::LAG_ZERO_HAS_RESPONSES, name_len(name), name.s, var_len(rv),
                           var_name(rv));
                    return done(5);
                }
            }
        }
        int subject = -1;
        if (set->withinTree == nullptr) {
            subject = r->g[L->withinVar[0]];
        } else {
            bool missing = false;
            for (int k = 0; k < L->nWithin && !missing; ++k)
                missing = (L->compareNode->idx[k] = r->g[L->withinVar[k]]) < 0;
            if (missing)
                continue;
            TREE* head = set->withinTree;
            auto* found = reinterpret_cast<ZLEVLAGNODE*>(
                ztrefdf(&head, &L->compareNode->t, 4 * L->nWithin, 0, subject_compare));
            subject = found ? found->subject : -1;
        }
        if (subject < 0 || subject >= set->nSubjects)
            continue;
        int& entry = set->design[static_cast<long>(subject) * periods + period];
        if (entry != 0) {
            if (scoreDataFid || scoreDataOutFid) {
                char in[48] = "", out[48] = "";
                if (scoreDataFid)
                    xoinfo(scoreDataFid, 81, in);
                if (scoreDataOutFid)
                    xoinfo(scoreDataOutFid, 81, out);
                xpmlog(174, msg174::LAG_SAME_PERIOD_SCORED, name_len(name), name.s, in, out);
            } else if (alt) {
                const ZLEVVAR& rv = m->cont.v[L->designRoleVar];
                xpmlog(174, isAlt ? msg174::LAG_SAME_PERIOD_ZERO : msg174::LAG_SAME_PERIOD_NONZERO,
                       name_len(name), name.s, var_len(rv), var_name(rv));
            } else {
                xpmlog(174, msg174::LAG_SAME_PERIOD, name_len(name), name.s);
            }
            return done(5);
        }
        entry = 1 + r->g[L->lagVar];
    }
    return done(0);
}

// The survival data pass: reads one BY group, validates each observation,
// sorts the valid ones into strata and groups, writes each stratum's records
// in blocks of 50 to the utility file and counts what later stages need.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>

#include "frame/frame.h"
#include "frame/messages.h"
#include "frame/parse.h"
#include "numeric/format.h"
#include "runtime/missing.h"
#include "runtime/wzstr.h"
#include "runtime/xccheck.h"
#include "runtime/ztree.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_output.h"

namespace
{

inline constexpr int LIFETABLE_ROW_BYTES = 13 * 8; // thirteen doubles per interval

bool all_blank(const char* p, int n)
{
    for (int i = 0; i < n; ++i)
        if (p[i] != ' ' && p[i] != 0)
            return false;
    return true;
}

bool is_censored(const KORVCOM* q, double v)
{
    if (!q->zevent)
        return false;
    for (int j = 0; j < q->evnum; ++j)
        if (q->elist[j] == v)
            return true;
    return false;
}

// Ends the step from inside the pass after freeing the group's pools.
[[noreturn]] void fail_pass(KORVCOM* q, POOLHANDLE* temporary, int code)
{
    xmpoold(temporary);
    xmpoold(q->polwork);
    xmpoold(q->polnode);
    q->polwork = q->polnode = nullptr;
    q->strata = nullptr;
    xexit(std::max(q->rc, code), 0);
}

} // namespace

int korv_dropped_message(const KORVCOM* q, int64_t count)
{
    int c = (q->nsvar > 0 ? 1 : 0) + (q->zfreq ? 2 : 0) + (q->zwt ? 4 : 0) + (q->zevent ? 8 : 0);
    return (count < 2 ? 557 : 541) + c;
}

void writeout(KORVCOM* q, STRATA* st)
{
    NOTESTR* e = st->note;
    if (e->notet != 0 || e->notef != 0) {
        NOTESTR* tail = e->last ? e->last : e;
        auto* n = static_cast<NOTESTR*>(xmalloc_or_exit(q->polnode, sizeof(NOTESTR), 0x2000));
        tail->next = n;
        n->last = tail;
        e->last = n;
        e = n;
    }
    XCFILE* f = q->utid;
    check_file(xcnoted(f, &e->notet));
    check_file(xcwrite(f, st->time, q->blockt));
    check_file(xcnoted(f, &e->notef));
    check_file(xcwrite(f, st->freq, q->blockf));
    if (q->zwt) {
        check_file(xcnoted(f, &e->notew));
        check_file(xcwrite(f, st->wt, q->blockt));
    }
    if (q->grpvar) {
        check_file(xcnoted(f, &e->noteg));
        check_file(xcwrite(f, st->group, q->blockg));
    }
    if (q->nid > 0 && q->blocki > 0) {
        check_file(xcnoted(f, &e->notei));
        check_file(xcwrite(f, st->id, q->blocki));
    }
    if (q->ncvar > 0) {
        check_file(xcnoted(f, &e->notec));
        check_file(xcwrite(f, st->cv, q->blockc));
    }
}

int korvdat(KORVCOM* q)
{
    auto* ds = static_cast<DSHANDLE*>(q->filein);
    GRPVAR* g = q->grpvar;

    // Preparation.
    if (g) {
        g->ghead = nullptr;
        g->last = 0;
    }
    q->stratumno = 0;
    // Every BY group starts its smallest time of interest afresh, so one
    // group's plot range never leaks into the next.
    q->tmin = DBL_MAX;
    q->smin = 1.0;
    q->smax = 0;
    std::memcpy(q->symbols, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 26);
    if (q->ncvar > 0 && q->wil) {
        int64_t a = q->ncvar + 1;
        int64_t k = a * (a + 1) / 2 + a;
        std::fill(q->wil, q->wil + 3 * (k + q->ncvar) + 4, 0.0);
    }
    q->zsorted = 1;
    q->maxobstime = 0;
    q->nobs = 0;
    q->strmiss = 0;
    q->strata = nullptr;
    q->polnode = xmpoolc(0, 1024, 0x1002);
    POOLHANDLE* temporary = xmpoolc(0, 1024, 0x1002);
    q->polwork = xmpoolc(0, 1024, 0x1002);
    if (!q->polnode || !temporary || !q->polwork) {
        xmemmsg(xmemdef());
        fail_pass(q, temporary, 1016);
    }
    xbyrwnd(ds, 66);

    STRATA* spare = nullptr;
    STRATA* single = nullptr; // the one stratum without STRATA variables
    GRPTREE* gspare = nullptr;
    int64_t infinite = 0;
    // Strata already met, by the bytes of their key: most records find their
    // stratum here without walking the tree. Keys that differ in bytes but
    // compare equal still go to the tree, which decides.
    std::unordered_map<std::string, STRATA*> known;
    const size_t keyBytes = static_cast<size_t>(q->slenf + q->slenu);

    for (;;) {
        int st = xybyget(ds);
        if (st != 0) {
            if (st != XO_EOG)
                xofprc(ds, st, 1);
            break;
        }
        // 1. A spare stratum node.
        if (!spare) {
            spare = memnode(q, temporary);
            spare->mean = -DBL_MAX;
            spare->fail = 1;
            if (q->nsvar == 0)
                single = spare;
        }
        // 2-3.
        q->nobs += 1;
        char* key = strata_key(spare);
        xyvget(static_cast<XVHANDLE*>(q->xvin), key);
        // A NaN that is not a missing value is taken as missing: it has no
        // order and would make the strata and group comparisons inconsistent.
        for (int k : {0, 2, 3, 4})
            korv_fix_nan(reinterpret_cast<char*>(&q->iovar[k]));
        for (int i = 0; i < q->nsvar; ++i) {
            const SNAMESTR& s = q->sname[i];
            if (s.type == 1) {
                korv_fix_nan(key + s.posu);
                if (s.nfl != 2)
                    korv_fix_nan(key + s.posf);
            }
        }
        if (g && g->nm && g->nm->ntype == 1)
            korv_fix_nan(g->value + g->lenf);

        // 4. Validation.
        double t = q->iovar[0];
        double f = 1.0, w = 1.0;
        bool bad = false;
        if (wzmis(t) || t < 0)
            bad = true;
        else if (std::isinf(t)) {
            // An infinite time has no place on a time axis.
            bad = true;
            ++infinite;
        }
        if (q->zfreq) {
            f = q->iovar[3];
            if (wzmis(f) || !(f > 0) || std::isinf(f))
                bad = true;
            else if (!q->znotrunc) {
                f = std::floor(f);
                if (f == 0)
                    bad = true;
            }
        }
        if (q->zwt) {
            w = q->iovar[4];
            if (wzmis(w) || !(w > 0) || std::isinf(w))
                bad = true;
        }
        if (q->zevent && wzmis(q->iovar[2]))
            bad = true;
        if (g && !q->zmissing) {
            // The missing-value test reads the raw value only for a numeric
            // variable: a character value shorter than 8 bytes has no double.
            if (g->nm && g->nm->ntype == 2) {
                if (all_blank(g->value, g->lenf))
                    bad = true;
            } else if (wzmis(read_double(g->value + g->lenf))) {
                bad = true;
            }
        }
        // 5.
        if (bad) {
            q->strmiss += 1;
            continue;
        }

        // 6. The stratum.
        STRATA* stratum = spare;
        if (q->nsvar > 0) {
            bool miss = false;
            if (!q->zmissing)
                for (int i = 0; i < q->nsvar && !miss; ++i) {
                    const SNAMESTR& s = q->sname[i];
                    miss = s.type == 2 ? all_blank(key + s.posu, s.lngu)
                                       : wzmis(read_double(key + s.posu)) != 0;
                }
            if (miss) {
                q->strmiss += 1;
                continue;
            }
            for (int j = 0; j < q->ncut; ++j) {
                const SNAMESTR& s = q->sname[q->cut[j]];
                int k = korv_interval_index(read_double(key + s.posf), s.cutpoint, s.cutnum);
                write_double(key + s.posf, k);
            }
            std::string bytes(key, keyBytes);
            auto hit = known.find(bytes);
            if (hit != known.end()) {
                stratum = hit->second;
            } else {
                TREE* found =
                    ztrebdf(reinterpret_cast<TREE**>(&q->strata), reinterpret_cast<TREE*>(spare),
                            q->slenf, q->soff, stratacmf);
                if (!found) {
                    xpmlog(326, KORV_MSG_TREE_FAILURE);
                    fail_pass(q, temporary, 2000);
                }
                if (found == reinterpret_cast<TREE*>(spare)) {
                    newnode(q, spare);
                    spare = nullptr;
                } else {
                    stratum = reinterpret_cast<STRATA*>(found);
                }
                if (known.size() < 4096)
                    known.emplace(std::move(bytes), stratum);
            }
        }

        // 7-9.
        int64_t i = stratum->nobs % 50;
        stratum->nobs += 1;
        stratum->time[i] = t;
        q->maxobstime = std::max(q->maxobstime, t);
        if (q->zwt) {
            stratum->cumwt += f * w;
            stratum->cumwt2 += f * w * w;
            stratum->wt[i] = w;
        }
        stratum->cum += f;

        // 10. The group.
        if (g) {
            if (!gspare)
                gspare = memgnode(q, q->polnode);
            std::memcpy(grptree_key(gspare), g->value, static_cast<size_t>(g->lenf + g->lenu));
            TREE* found =
                ztrebdf(reinterpret_cast<TREE**>(&g->ghead), reinterpret_cast<TREE*>(gspare),
                        g->lenf, GRPTREE_KEY_OFFSET, groupcmf);
            if (!found) {
                xpmlog(326, KORV_MSG_TREE_FAILURE);
                fail_pass(q, temporary, 2000);
            }
            GRPTREE* grp = reinterpret_cast<GRPTREE*>(found);
            if (grp == gspare)
                gspare = nullptr;
            stratum->group[i] = grp->index;
        }
        // 11.
        if (q->nid > 0 && q->idlen > 0)
            std::memcpy(stratum->id + i * q->idlen, q->idval, static_cast<size_t>(q->idlen));
        // 12. Censoring.
        bool cens = is_censored(q, q->iovar[2]);
        if (cens) {
            stratum->freq[i] = -f;
            if (q->zwt)
                stratum->cenwt += f * w;
            stratum->cen += f;
            stratum->uniqcen += 1;
        } else {
            stratum->freq[i] = f;
        }
        // 13. Order check against the stratum's previous record.
        if (q->zsorted) {
            if (t < stratum->mean)
                q->zsorted = 0;
            else if (t == stratum->mean && !cens && !(stratum->fail > 0))
                q->zsorted = 0;
        }
        stratum->mean = t;
        // Only the sign of the frequency is kept: a huge frequency has no
        // integer value.
        stratum->fail = stratum->freq[i] > 0 ? 1 : (stratum->freq[i] < 0 ? -1 : 0);
        // 14. Covariates.
        if (q->ncvar > 0 && q->cvget) {
            double* cv = stratum->cv + i * q->ncvar;
            xyvget(static_cast<XVHANDLE*>(q->cvget), cv);
            for (int k = 0; k < q->ncvar; ++k) {
                korv_fix_nan(reinterpret_cast<char*>(&cv[k]));
                if (wzmis(cv[k])) {
                    stratum->cmiss += f;
                    break;
                }
            }
        }
        // 15.
        if (i == 49)
            writeout(q, stratum);
    }

    // After the last observation.
    if (g) {
        ztrelst(reinterpret_cast<TREE**>(&g->ghead));
        g->ngrp = 0;
    }
    if (q->nsvar == 0) {
        q->strata = single;
        if (single)
            single->left = nullptr;
    } else {
        ztrelst(reinterpret_cast<TREE**>(&q->strata));
    }
    q->maxnobs = 0;
    q->maxscum = 0;
    q->nstrata = 0;
    q->ncensored = 0;
    for (STRATA* s = q->strata; s; s = s->left) {
        q->nstrata += 1;
        q->ncensored += s->cen;
        q->maxnobs = std::max(q->maxnobs, s->nobs);
        q->maxscum = std::max(q->maxscum, q->zwt ? s->cumwt : s->cum);
        if (s->nobs > 0 && (s->nobs - 1) % 50 < 49)
            writeout(q, s);
        korv_strata_labels(q, s);
    }
    if (q->vdqgraph != 0 && q->zby)
        PhantomData(q);
    if (q->art) {
        // The longest trimmed stratum value when there is one STRATA variable.
        int maxL = 0;
        if (q->nsvar == 1) {
            const SNAMESTR& sv = q->sname[0];
            for (STRATA* s = q->strata; s; s = s->left) {
                int len = 0, start = 0;
                char tmp[512];
                int n = std::min<int>(sv.lngf, sizeof tmp);
                std::memcpy(tmp, strata_key(s) + sv.posf, static_cast<size_t>(n));
                wzstjls(tmp, n, 'n', &len, &start);
                maxL = std::max(maxL, len);
            }
        } else if (q->nsvar > 1) {
            maxL = -1;
        }
        q->art->maxL = maxL;
    }
    if (q->ogstat)
        q->ogstat->strval =
            q->nstrata > 0
                ? static_cast<xobskey*>(xmalloc_or_exit(
                      q->polnode, static_cast<int64_t>(q->nstrata) * sizeof(xobskey), 0x3004))
                : nullptr;

    // The record blocks die with the temporary pool; no node keeps a pointer
    // into it.
    for (STRATA* s = q->strata; s; s = s->left)
        s->time = s->freq = s->wt = nullptr, s->group = nullptr, s->id = nullptr, s->cv = nullptr;
    xmpoold(temporary);

    if (infinite > 0)
        xpmlog(326, KORV_MSG_NONFINITE_TIME, static_cast<long>(infinite));
    if (q->nobs == q->strmiss || q->nstrata == 0) {
        if (q->strmiss > 0)
            xpmlog(326, korv_dropped_message(q, q->strmiss), static_cast<long>(q->strmiss));
        // Without a BY statement the whole data set is meant, not a BY group.
        xpmlog(326, q->nby > 0 ? 600 : KORV_MSG_NO_VALID_DATA);
        q->rc = std::max(q->rc, 108);
        return 1;
    }

    if (q->method == 1) {
        q->pdfmax = q->hazmax = 0;
        if (getinter(q) != 0) {
            q->rc = std::max(q->rc, 2000);
            return 1;
        }
        if (q->zprint && !q->znotable)
            q->timedec = zpfmt(q->maxtime, 8);
    } else {
        q->timedec = zpfmt(std::min(q->maxobstime, q->maxtime), 8);
    }
    symbol(q);
    if (q->zplot) {
        double m = q->maxobstime;
        if (q->method == 1 && q->ninter >= 2)
            m = (3 * q->interval[q->ninter - 1] - q->interval[q->ninter - 2]) / 2;
        q->pgtmax = std::min(q->maxtime, m);
    }

    // Per-stratum arrays.
    int64_t n = 50 * (q->maxnobs / 50 + 1);
    auto work = [&](int64_t bytes) { return xmalloc_or_exit(q->polwork, bytes, 0x2000); };
    q->times = static_cast<double*>(work(n * 8));
    q->freqs = static_cast<double*>(work(n * 8));
    q->flags = g ? static_cast<int*>(work(n * static_cast<int64_t>(sizeof(int)))) : nullptr;
    q->weights = q->zwt ? static_cast<double*>(work(n * 8)) : nullptr;
    q->ids = (q->nid > 0 && q->idlen > 0) ? static_cast<char*>(work(n * q->idlen)) : nullptr;
    q->idcvs = q->ncvar > 0 ? static_cast<double*>(work(n * q->ncvar * 8)) : nullptr;
    q->indxs = static_cast<int64_t*>(work(n * 8));
    q->lifetab = q->method == 1 ? static_cast<LIFETABLE*>(work(
                                      (static_cast<int64_t>(q->ninter) + 1) * LIFETABLE_ROW_BYTES))
                                : nullptr;
    return 0;
}

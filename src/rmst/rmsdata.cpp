// The data of the restricted means: the BY group read through the
// levelization reader into a file of fixed records, sorted by outer key,
// inner key and time, and turned in one sequential pass into the cells:
// outer nodes, their inner nodes, and each inner node's distinct times with
// the records and events at each.
//
// A record is 7 doubles: time, 1 event / 0 censored, frequency, outer key,
// inner key, record number, and a weight slot (0: weights are refused).
// The STRATA combination of an observation is the mixed-radix number of its
// STRATA levels, the last variable varying fastest. With GROUP= the outer key
// is that combination and the inner key the GROUP= level; without, there is
// one outer node (key 0) and the inner key is the combination.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "rmst/rmst.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "runtime/zsort.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace
{

constexpr int kRecDoubles = 7;
constexpr long kRecBytes = kRecDoubles * 8;
constexpr int kBlock = 2048; // records moved per file call

// The largest integer a double holds exactly, with every smaller one.
constexpr double kExact = 9007199254740992.0; // 2^53

QXEAVLh newTree(rmsUserPtr us)
{
    QXEAVLPARMS p{1, 16, QXEAVL_KEY_DOUBLE, 1};
    return us->qxeavlfh->create(us->qxeavlfh, &p, nullptr, nullptr);
}

int nlevOf(const ZRMSMANAGER* q, int v)
{
    return std::max(q->mod.clas.v[v].nlev, 1);
}

} // namespace

int rmsSlotOf(const ZRMSMANAGER* q, double key)
{
    const double* begin = q->ikeys;
    const double* end = begin + q->n2;
    const double* at = std::lower_bound(begin, end, key);
    return (at != end && *at == key) ? static_cast<int>(at - q->ikeys) : -1;
}

void rmsSplitKey(const ZRMSMANAGER* q, double key, int first, int n, int* levels)
{
    auto k = static_cast<uint64_t>(key);
    for (int v = first + n - 1; v >= first; --v) {
        const auto radix = static_cast<uint64_t>(nlevOf(q, v));
        levels[v - first] = static_cast<int>(k % radix);
        k /= radix;
    }
}

rmsRetCodes ReadPrepare(rmsUserPtr us)
{
    ZRMSMANAGER* q = us->q;
    if (!q)
        return ZRMS_TASKFAILED;
    KorvPtr kq = us->kq;
    DSHANDLE* fid = us->filein;

    std::memset(static_cast<void*>(&q->reg), 0, sizeof q->reg);
    std::memset(static_cast<void*>(&q->mod), 0, sizeof q->mod);
    std::memset(static_cast<void*>(&q->dat), 0, sizeof q->dat);
    q->reg.m = &q->mod;
    q->reg.d = &q->dat;
    q->dat.fid = fid;
    q->dat.pool = q->pool;

    // Responses: TIME, the censoring variable, FREQ, the STRATA variables
    // and GROUP= (these two are read to mark observations without a level).
    const int ny = 1 + (us->censnum ? 1 : 0) + (us->freqnum ? 1 : 0) + us->ns + us->ng;
    q->yv = static_cast<ZLEVVAR*>(rmsAlloc(us, static_cast<int64_t>(ny) * sizeof(ZLEVVAR)));
    if (!q->yv)
        return ZRMS_NOMEMORY;
    int k = 0;
    auto response = [&](int varnum) {
        q->yv[k].n = xvname(fid, varnum);
        return k++;
    };
    q->tname = xvname(fid, us->timenum);
    response(us->timenum);
    q->coffset = q->foffset = q->soffset = q->goffset = -1;
    if (us->censnum) {
        q->cname = xvname(fid, us->censnum);
        q->coffset = response(us->censnum);
    }
    if (us->freqnum) {
        q->fname = xvname(fid, us->freqnum);
        q->foffset = response(us->freqnum);
    }
    for (int i = 0; i < us->ns; ++i) {
        const int at = response(us->strlist[i]);
        if (i == 0)
            q->soffset = at;
    }
    if (us->ng) {
        q->gname = xvname(fid, us->grpnum);
        q->goffset = response(us->grpnum);
    }
    q->reg.y = {ny, q->yv};
    q->nevtval = kq->zevent ? kq->evnum : 0;
    q->nevnt = us->censnum ? 1 : 0;
    q->evtval = kq->elist;

    // Classification variables: the STRATA variables, then GROUP=, ordered
    // by formatted value. Each keeps its whole formatted value, so that two
    // values that differ only past some width never become one level.
    const int nc = us->ns + us->ng;
    if (nc > 0) {
        q->clas = static_cast<ZLEVVAR*>(rmsAlloc(us, static_cast<int64_t>(nc) * sizeof(ZLEVVAR)));
        if (!q->clas)
            return ZRMS_NOMEMORY;
        for (int i = 0; i < nc; ++i) {
            ZLEVVAR& v = q->clas[i];
            v.n = xvname(fid, i < us->ns ? us->strlist[i] : us->grpnum);
            v.order = ZLEV_ORDER_M;
            v.ref = ZLEV_REF_LAST;
            v.trnmsggrp = 326;
            v.trnmsgnum = msg326::RMS_CUT_VALUES;
            v.vlen = -1;
        }
        q->mod.clas = {nc, q->clas};
    }
    q->mod.order = ZLEV_ORDER_M;
    q->mod.vlen = -1;

    const int rc = zlevrgi(&q->reg);
    rmsRaise(us, q->mod.status);
    if (rc == ZLEV_RC_NOLEVELS) {
        xpmlog(326, msg326::NO_VALID_OBS_GROUP);
        return ZRMS_NOREQUEST;
    }
    if (rc != 0) {
        rmsRaise(us, 1012);
        return static_cast<rmsRetCodes>(rc);
    }
    // The STRATA combinations are numbered in doubles: their count must stay
    // within the integers a double holds exactly.
    double combos = 1;
    for (int i = 0; i < us->ns; ++i)
        combos *= nlevOf(q, i);
    if (combos > kExact) {
        xpmlog(326, msg326::RMS_TOO_MANY_LEVELS);
        rmsRaise(us, 1012);
        return ZRMS_TOOMANYLEVELS;
    }
    q->b1 = us->ng ? us->ns : 0;
    return ZRMS_NOPROBLEM;
}

rmsRetCodes ReadData(rmsUserPtr us)
{
    ZRMSMANAGER* q = us->q;
    DSHANDLE* fid = us->filein;
    XCREQUEST req;
    req.recordLength = static_cast<int>(kRecBytes);
    if (xcopen(&q->utfile, &req) < 0 || xcpoint(q->utfile, -2) < 0) {
        xpmlog(326, msg326::RMS_NO_FILE);
        rmsRaise(us, 120);
        return ZRMS_UFERROR;
    }
    std::vector<double> y(static_cast<size_t>(q->reg.y.n));
    std::vector<double> block(static_cast<size_t>(kBlock) * kRecDoubles);
    int inBlock = 0;
    auto flush = [&]() {
        if (inBlock == 0)
            return true;
        const bool ok = xcwrite(q->utfile, block.data(), inBlock * kRecBytes) >= 0;
        inBlock = 0;
        return ok;
    };
    const int ns = us->ns;
    xbyrwnd(fid, 'B');
    XO_PARMS parms;
    parms.ds = fid;
    int rc;
    while ((rc = xybyget(&parms)) == 0) {
        const int status = zlevrgd(&q->reg, y.data(), nullptr, nullptr);
        if (status & ZLEV_ST_RESPONSE)
            continue;
        // The observations the survival data pass leaves out of the same BY
        // group are left out here too (it has counted and reported them): a
        // negative, infinite or undefined time, and a frequency that is
        // negative, infinite or undefined. A frequency of 0 stays: its
        // record adds nothing and ends no cell.
        double f = 1;
        if (q->foffset >= 0) {
            f = y[static_cast<size_t>(q->foffset)];
            if (!(f >= 0) || std::isinf(f))
                continue;
            if (!us->Snotrunc)
                f = std::trunc(f);
        }
        const double t = y[0];
        if (!(t >= 0) || std::isinf(t))
            continue;
        bool event = true;
        if (q->coffset >= 0) {
            const double c = y[static_cast<size_t>(q->coffset)];
            for (int i = 0; i < q->nevtval && event; ++i)
                event = c != q->evtval[i];
        }
        // The STRATA combination.
        double id = 0;
        const int* g = q->reg.g;
        for (int i = 0; i < ns; ++i)
            id = id * nlevOf(q, i) + g[i];
        double* r = block.data() + static_cast<size_t>(inBlock) * kRecDoubles;
        r[0] = t;
        r[1] = event ? 1.0 : 0.0;
        r[2] = f;
        r[3] = us->ng ? id : 0.0;
        r[4] = us->ng ? static_cast<double>(g[ns]) : id;
        r[5] = static_cast<double>(q->np);
        r[6] = 0.0;
        if (++inBlock == kBlock && !flush()) {
            xpmlog(326, msg326::RMS_NO_FILE);
            rmsRaise(us, 120);
            return ZRMS_UFERROR;
        }
        (event ? q->nevent : q->ncensor) += f;
        q->np += 1;
        q->nobs += 1;
        q->sumff += f;
    }
    if (rc != XO_EOG)
        xofprc(&parms, rc, 1);
    if (!flush()) {
        xpmlog(326, msg326::RMS_NO_FILE);
        rmsRaise(us, 120);
        return ZRMS_UFERROR;
    }
    return ZRMS_NOPROBLEM;
}

rmsRetCodes GenAnalysisData(rmsUserPtr us)
{
    ZRMSMANAGER* q = us->q;
    XCREQUEST req;
    req.recordLength = static_cast<int>(kRecBytes);
    if (xcopen(&q->filesort, &req) < 0 || xcpoint(q->filesort, -2) < 0) {
        xpmlog(326, msg326::RMS_NO_SORT_FILE);
        rmsRaise(us, 120);
        return ZRMS_UFERROR;
    }
    if (q->np > 0) {
        if (xcpoint(q->utfile, 0) < 0) {
            xpmlog(326, msg326::RMS_NO_FILE);
            rmsRaise(us, 120);
            return ZRMS_UFERROR;
        }
        std::vector<double> one(kRecDoubles);
        BFRSTR bfr;
        bfr.fd = q->utfile;
        bfr.lrecl = kRecBytes;
        bfr.needs = static_cast<long>(q->np);
        bfr.bufp = one.data();
        SORVDSTR keys[3] = {
            {24, 8, SORT_KEY_DOUBLE, 1}, {32, 8, SORT_KEY_DOUBLE, 1}, {0, 8, SORT_KEY_DOUBLE, 1}};
        ZSORTSTR z;
        z.initf = zsorxci;
        z.termf = zsorxct;
        z.info.fiddata = &bfr;
        z.info.fidout = q->filesort;
        z.info.seqin = zxcget;
        z.info.seqout = zxcput;
        z.info.hsirtn = zxcrtn;
        z.info.nvar = 3;
        z.info.v = keys;
        z.info.lrecl = kRecBytes;
        z.info.mpool = q->pool;
        const int rc = zsort(&z);
        if (rc != 0) {
            xprrlog(0, rc);
            rmsRaise(us, 120);
            return ZRMS_UFERROR;
        }
        if (xcpoint(q->filesort, 0) < 0) {
            xpmlog(326, msg326::RMS_NO_SORT_FILE);
            rmsRaise(us, 120);
            return ZRMS_UFERROR;
        }
    }

    // The cells. Every cell's distinct times lie together in one array: the
    // records come sorted, so a cell's times arrive in ascending order and
    // one after the other, and there are at most as many as records.
    q->utree = newTree(us);
    if (!q->utree) {
        rmsRaise(us, 1012);
        return ZRMS_NOLOAD;
    }
    q->n1a = 0;
    if (q->np > 0) {
        q->times =
            static_cast<ZRMSTNODE*>(rmsAlloc(us, q->np * static_cast<int64_t>(sizeof(ZRMSTNODE))));
        if (!q->times)
            return ZRMS_NOMEMORY;
    }
    std::vector<double> block(static_cast<size_t>(kBlock) * kRecDoubles);
    double prevOuter = -DBL_MAX, prevInner = -DBL_MAX, prevTime = -DBL_MAX;
    ZRMSUNODE* u = nullptr;
    ZRMSSNODE* s = nullptr;
    ZRMSTNODE* t = nullptr;
    for (int64_t done = 0; done < q->np;) {
        const int64_t n = std::min<int64_t>(kBlock, q->np - done);
        if (xcread(q->filesort, block.data(), static_cast<long>(n * kRecBytes)) < 0) {
            xpmlog(326, msg326::RMS_NO_SORT_FILE);
            rmsRaise(us, 120);
            return ZRMS_UFERROR;
        }
        for (int64_t i = 0; i < n; ++i) {
            const double* r = block.data() + i * kRecDoubles;
            bool newTime = false;
            if (!u || r[3] != prevOuter) {
                u = static_cast<ZRMSUNODE*>(rmsAlloc(us, sizeof(ZRMSUNODE)));
                if (!u)
                    return ZRMS_NOMEMORY;
                u->key = r[3];
                u->id = q->n1a++;
                u->stree = newTree(us);
                if (!u->stree) {
                    rmsRaise(us, 1012);
                    return ZRMS_NOLOAD;
                }
                q->utree->adder(q->utree, &u->avln);
                prevOuter = r[3];
                prevInner = -DBL_MAX;
                s = nullptr;
            }
            if (!s || r[4] != prevInner) {
                s = static_cast<ZRMSSNODE*>(rmsAlloc(us, sizeof(ZRMSSNODE)));
                if (!s)
                    return ZRMS_NOMEMORY;
                s->key = r[4];
                s->tn = q->times + q->ntimes;
                u->stree->adder(u->stree, &s->avln);
                prevInner = r[4];
                newTime = true;
            }
            if (newTime || r[0] != prevTime) {
                t = q->times + q->ntimes++;
                t->time = r[0];
                s->ntn += 1;
                prevTime = r[0];
            }
            const double f = r[2];
            if (r[1] != 0) {
                s->nevent += f;
                t->evt += f;
            } else {
                s->ncensor += f;
            }
            t->dup += f;
            s->atrisk += f;
            s->maxdup = std::max(s->maxdup, t->dup);
        }
        done += n;
    }
    return GetLevelsInfo(us);
}

rmsRetCodes GetLevelsInfo(rmsUserPtr us)
{
    ZRMSMANAGER* q = us->q;
    // The inner keys observed, ascending.
    std::vector<double> keys;
    for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
        auto* u = reinterpret_cast<ZRMSUNODE*>(a);
        for (QXEAVLNODE* b = u->stree->first(u->stree); b; b = u->stree->next(u->stree, b))
            keys.push_back(reinterpret_cast<ZRMSSNODE*>(b)->key);
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    q->n2 = static_cast<int>(keys.size());
    if (q->n2 > 0) {
        q->ikeys = static_cast<double*>(rmsAlloc(us, q->n2 * static_cast<int64_t>(sizeof(double))));
        q->n2df = static_cast<int*>(rmsAlloc(us, q->n2 * static_cast<int64_t>(sizeof(int))));
        q->n2id = static_cast<int*>(rmsAlloc(us, q->n2 * static_cast<int64_t>(sizeof(int))));
        if (!q->ikeys || !q->n2df || !q->n2id)
            return ZRMS_NOMEMORY;
        std::copy(keys.begin(), keys.end(), q->ikeys);
    }

    // Each cell with data: its largest time that carries a record of
    // positive frequency (records of frequency 0 end no cell), and the
    // smallest of these over the cells.
    double m = DBL_MAX, largest = 0;
    for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
        auto* u = reinterpret_cast<ZRMSUNODE*>(a);
        for (QXEAVLNODE* b = u->stree->first(u->stree); b; b = u->stree->next(u->stree, b)) {
            auto* s = reinterpret_cast<ZRMSSNODE*>(b);
            s->slot = rmsSlotOf(q, s->key);
            if (!(s->atrisk > 0))
                continue;
            q->n2df[s->slot] += 1;
            for (int64_t j = s->ntn - 1; j >= 0; --j)
                if (s->tn[j].dup > 0) {
                    s->maxt = s->tn[j].time;
                    break;
                }
            m = std::min(m, s->maxt);
            largest = std::max(largest, s->maxt);
        }
    }
    us->mininner = m;
    // Every restriction time, of the tables and of the plots, lies within
    // the cells' largest time: the variances are kept in units of the power
    // of two at or below it.
    q->vunit = largest > 0 && std::isfinite(largest) ? std::ldexp(1.0, std::ilogb(largest)) : 1.0;
    int active = 0;
    for (int i = 0; i < q->n2; ++i)
        q->n2id[i] = q->n2df[i] > 0 ? active++ : -1;
    if (active == 0)
        return ZRMS_ALLSTRATAEMPTY;
    for (ZRMSOPT* opt : {&us->RMSTOpt, &us->RMTLOpt})
        if (!opt->Stau)
            opt->tau = m;
    if (us->Splot || us->Splot2)
        return AssembleLevelNames(us);
    return ZRMS_NOPROBLEM;
}

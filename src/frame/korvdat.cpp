// The survival data pass: reads one BY group, validates each observation,
// sorts the valid ones into strata and groups, writes each stratum's records
// in blocks of 50 to the utility file and counts what later stages need.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/stages.h"
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
#include "vyr_parse.h"

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

// Messages of the data pass (group 326).
constexpr int MSG_FREQ_TOO_LARGE = 3600;  // (len, name, value, observation)
constexpr int MSG_NO_CENSORING = 3601;    // (len, name, values)
constexpr int MSG_NO_CENSORING_BY = 3602; // (len, name, values)

// The largest count a double holds exactly: above it, adding one record's
// frequency to a sum may change nothing, and sums of frequencies are no
// longer counts.
constexpr double LARGEST_EXACT_COUNT = 9007199254740992.0; // 2^53

// The name of the analysis variable in field `field` of the procedure's
// statement record (7 FREQ, 11 censoring), or "" when there is none.
std::string variable_name(KORVCOM* q, int field)
{
    const STLIST* f = stmt_field(q->stmt, field);
    NAMESTR* nm = nullptr;
    if (!f || f->n < 1 || !f->ivals ||
        xvname(static_cast<DSHANDLE*>(q->filein), f->ivals[0], &nm) < 0 || !nm)
        return std::string();
    return std::string(nm->name_p, static_cast<size_t>(nm->namelen));
}

// A FREQ value above the largest exact count: the step stops, naming the
// variable and the observation.
[[noreturn]] void freq_too_large(KORVCOM* q, POOLHANDLE* temporary, double f, long obs)
{
    const std::string name = variable_name(q, 7);
    xpmlog(326, MSG_FREQ_TOO_LARGE, static_cast<int>(name.size()), name.c_str(), f, obs);
    fail_pass(q, temporary, 2000);
}

// When censoring values were given and none of them occurs, every record is
// an event: most likely the values name the wrong code, so say so.
void report_unused_censoring(KORVCOM* q)
{
    std::string values;
    for (int j = 0; j < q->evnum; ++j) {
        char buf[40];
        int n = std::snprintf(buf, sizeof buf, "%s%.15g", j > 0 ? " " : "", q->elist[j]);
        values.append(buf, static_cast<size_t>(std::max(n, 0)));
    }
    const std::string name = variable_name(q, 11);
    xpmlog(326, q->nby > 0 ? MSG_NO_CENSORING_BY : MSG_NO_CENSORING, static_cast<int>(name.size()),
           name.c_str(), values.c_str());
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

namespace
{

// Strata already met, by the bytes of their key: most records find their
// stratum here without walking the tree (keys that differ in bytes but
// compare equal still go to the tree, which decides). Looked up without
// copying the key; at most 4096 keys and 16 MB of them are kept, so that
// long STRATA values cannot make the map large.
struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view k) const { return std::hash<std::string_view>{}(k); }
};
constexpr size_t KNOWN_KEYS = 4096;
constexpr size_t KNOWN_BYTES = 16u << 20;

// One BY group's pass over the data: the state that lives from the first
// observation to the last, and the steps each observation goes through.
class DataPass
{
  public:
    explicit DataPass(KORVCOM* q)
        : q_(q), ds_(static_cast<DSHANDLE*>(q->filein)), g_(q->grpvar),
          keyBytes_(static_cast<size_t>(q->slenf + q->slenu))
    {
        reader_.ds = ds_;
    }
    void begin();
    bool next();
    bool valid(double* t, double* f, double* w);
    STRATA* stratum();
    void store(STRATA* s, double t, double f, double w);
    void finishStrata();
    void finishGroup();
    POOLHANDLE* temporary() const { return temporary_; }
    int64_t infinite = 0;   // observations with an infinite time
    int64_t censorSeen = 0; // observations whose censoring value is one of the list

  private:
    KORVCOM* q_;
    DSHANDLE* ds_;
    GRPVAR* g_;
    XO_PARMS reader_;
    POOLHANDLE* temporary_ = nullptr;
    STRATA* spare_ = nullptr;
    STRATA* single_ = nullptr; // the one stratum without STRATA variables
    GRPTREE* gspare_ = nullptr;
    size_t keyBytes_;
    std::unordered_map<std::string, STRATA*, KeyHash, std::equal_to<>> known_;
    int groupIndex(const char* value);
};

// Resets the group's counts and ranges and makes its pools.
void DataPass::begin()
{
    KORVCOM* q = q_;
    if (g_) {
        g_->ghead = nullptr;
        g_->last = 0;
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
    temporary_ = xmpoolc(0, 1024, 0x1002);
    q->polwork = xmpoolc(0, 1024, 0x1002);
    if (!q->polnode || !temporary_ || !q->polwork) {
        xmemmsg(xmemdef());
        fail_pass(q, temporary_, 1016);
    }
    xbyrwnd(ds_, 66);
}

// Reads the next observation of the group into a spare stratum node's key
// and the row buffer; false at the end of the group.
bool DataPass::next()
{
    KORVCOM* q = q_;
    int st = xybyget(&reader_);
    if (st != 0) {
        if (st != XO_EOG)
            xofprc(ds_, st, 1);
        return false;
    }
    if (!spare_) {
        spare_ = memnode(q, temporary_);
        spare_->mean = -DBL_MAX;
        spare_->fail = 1;
        if (q->nsvar == 0)
            single_ = spare_;
    }
    q->nobs += 1;
    char* key = strata_key(spare_);
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
    if (g_ && g_->nm && g_->nm->ntype == 1)
        korv_fix_nan(g_->value + g_->lenf);
    return true;
}

// The observation's time, frequency and weight, and whether they (and the
// censoring and GROUP= values) are valid; an invalid one is counted as
// dropped. A FREQ value above the largest exact count ends the step.
bool DataPass::valid(double* tp, double* fp, double* wp)
{
    KORVCOM* q = q_;
    const double t = q->iovar[0];
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
        else if (!q->znotrunc && f <= LARGEST_EXACT_COUNT) {
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
    else if (is_censored(q, q->iovar[2]))
        ++censorSeen;
    if (g_ && !q->zmissing) {
        // The missing-value test reads the raw value only for a numeric
        // variable: a character value shorter than 8 bytes has no double.
        if (g_->nm && g_->nm->ntype == 2) {
            if (all_blank(g_->value, g_->lenf))
                bad = true;
        } else if (wzmis(read_double(g_->value + g_->lenf))) {
            bad = true;
        }
    }
    if (!bad && q->zfreq && f > LARGEST_EXACT_COUNT)
        freq_too_large(q, temporary_, f, reader_.obs);
    if (bad) {
        q->strmiss += 1;
        return false;
    }
    *tp = t;
    *fp = f;
    *wp = w;
    return true;
}

// The stratum of the observation read last, made when it is new; null (the
// observation counted as dropped) when a STRATA value is missing without
// MISSING.
STRATA* DataPass::stratum()
{
    KORVCOM* q = q_;
    STRATA* stratum = spare_;
    if (q->nsvar == 0)
        return stratum;
    char* key = strata_key(spare_);
    bool miss = false;
    if (!q->zmissing)
        for (int i = 0; i < q->nsvar && !miss; ++i) {
            const SNAMESTR& s = q->sname[i];
            miss = s.type == 2 ? all_blank(key + s.posu, s.lngu)
                               : wzmis(read_double(key + s.posu)) != 0;
        }
    if (miss) {
        q->strmiss += 1;
        return nullptr;
    }
    for (int j = 0; j < q->ncut; ++j) {
        const SNAMESTR& s = q->sname[q->cut[j]];
        int k = korv_interval_index(read_double(key + s.posf), s.cutpoint, s.cutnum);
        write_double(key + s.posf, k);
    }
    const std::string_view bytes(key, keyBytes_);
    auto hit = known_.find(bytes);
    if (hit != known_.end())
        return hit->second;
    TREE* found = ztrebdf(reinterpret_cast<TREE**>(&q->strata), reinterpret_cast<TREE*>(spare_),
                          q->slenf, q->soff, stratacmf);
    if (!found) {
        xpmlog(326, KORV_MSG_TREE_FAILURE);
        fail_pass(q, temporary_, 2000);
    }
    if (found == reinterpret_cast<TREE*>(spare_)) {
        newnode(q, spare_);
        spare_ = nullptr;
    } else {
        stratum = reinterpret_cast<STRATA*>(found);
    }
    if (known_.size() < KNOWN_KEYS && (known_.size() + 1) * keyBytes_ <= KNOWN_BYTES)
        known_.emplace(std::string(bytes), stratum);
    return stratum;
}

// The GROUP= level of the observation read last, made when it is new.
int DataPass::groupIndex(const char* value)
{
    if (!gspare_)
        gspare_ = memgnode(q_, q_->polnode);
    std::memcpy(grptree_key(gspare_), value, static_cast<size_t>(g_->lenf + g_->lenu));
    TREE* found = ztrebdf(reinterpret_cast<TREE**>(&g_->ghead), reinterpret_cast<TREE*>(gspare_),
                          g_->lenf, GRPTREE_KEY_OFFSET, groupcmf);
    if (!found) {
        xpmlog(326, KORV_MSG_TREE_FAILURE);
        fail_pass(q_, temporary_, 2000);
    }
    GRPTREE* grp = reinterpret_cast<GRPTREE*>(found);
    if (grp == gspare_)
        gspare_ = nullptr;
    return grp->index;
}

// Adds the observation to its stratum's current block of 50 records (time,
// signed frequency, weight, GROUP= level, ID values, covariates) and to the
// stratum's sums; a full block goes to the utility file.
void DataPass::store(STRATA* stratum, double t, double f, double w)
{
    KORVCOM* q = q_;
    const int64_t i = stratum->nobs % 50;
    stratum->nobs += 1;
    stratum->time[i] = t;
    q->maxobstime = std::max(q->maxobstime, t);
    if (q->zwt) {
        stratum->cumwt += f * w;
        stratum->cumwt2 += f * w * w;
        stratum->wt[i] = w;
    }
    stratum->cum += f;
    if (g_)
        stratum->group[i] = groupIndex(g_->value);
    if (q->nid > 0 && q->idlen > 0)
        std::memcpy(stratum->id + i * q->idlen, q->idval, static_cast<size_t>(q->idlen));
    // A censored record keeps its frequency negated.
    const bool cens = is_censored(q, q->iovar[2]);
    if (cens) {
        stratum->freq[i] = -f;
        if (q->zwt)
            stratum->cenwt += f * w;
        stratum->cen += f;
        stratum->uniqcen += 1;
    } else {
        stratum->freq[i] = f;
    }
    // The records arrived sorted while each stratum's times do not decrease
    // and, at an equal time, an event does not follow a censored record.
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
    if (i == 49)
        writeout(q, stratum);
}

// After the last observation: the strata and groups in key order, the
// group's counts, the last partial blocks written, the strata labels, and
// what the later stages need to know of the strata.
void DataPass::finishStrata()
{
    KORVCOM* q = q_;
    if (g_) {
        ztrelst(reinterpret_cast<TREE**>(&g_->ghead));
        g_->ngrp = 0;
    }
    if (q->nsvar == 0) {
        q->strata = single_;
        if (single_)
            single_->left = nullptr;
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
    // Too many strata for the tests is said now, before the estimates run.
    korv_hom_announce(q);
    korv_mc_announce(q);
    if (q->vdqgraph != 0 && q->zby)
        PhantomData(q);
    if (q->art) {
        // The longest trimmed stratum value when there is one STRATA variable.
        int maxL = 0;
        if (q->nsvar == 1) {
            const SNAMESTR& sv = q->sname[0];
            for (STRATA* s = q->strata; s; s = s->left) {
                int len = 0, start = 0;
                wzstjls(strata_key(s) + sv.posf, sv.lngf, 'n', &len, &start);
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
    xmpoold(temporary_);
    temporary_ = nullptr;
}

// A group with data: the decimals of the times, the plot symbols and range,
// and the per-stratum arrays the estimators reread each stratum into.
void DataPass::finishGroup()
{
    KORVCOM* q = q_;
    if (q->method == 1) {
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
    int64_t n = 50 * (q->maxnobs / 50 + 1);
    auto work = [&](int64_t bytes) { return xmalloc_or_exit(q->polwork, bytes, 0x2000); };
    q->times = static_cast<double*>(work(n * 8));
    q->freqs = static_cast<double*>(work(n * 8));
    q->flags = g_ ? static_cast<int*>(work(n * static_cast<int64_t>(sizeof(int)))) : nullptr;
    q->weights = q->zwt ? static_cast<double*>(work(n * 8)) : nullptr;
    q->ids = (q->nid > 0 && q->idlen > 0) ? static_cast<char*>(work(n * q->idlen)) : nullptr;
    q->idcvs = q->ncvar > 0 ? static_cast<double*>(work(n * q->ncvar * 8)) : nullptr;
    q->indxs = static_cast<int64_t*>(work(n * 8));
    q->lifetab = q->method == 1 ? static_cast<LIFETABLE*>(work(
                                      (static_cast<int64_t>(q->ninter) + 1) * LIFETABLE_ROW_BYTES))
                                : nullptr;
}

} // namespace

int korvdat(KORVCOM* q)
{
    DataPass pass(q);
    pass.begin();
    while (pass.next()) {
        double t = 0, f = 1, w = 1;
        if (!pass.valid(&t, &f, &w))
            continue;
        if (STRATA* s = pass.stratum())
            pass.store(s, t, f, w);
    }
    pass.finishStrata();

    if (pass.infinite > 0)
        xpmlog(326, KORV_MSG_NONFINITE_TIME, static_cast<long>(pass.infinite));
    // Said only where there are observations to analyse.
    if (q->zevent && q->evnum > 0 && pass.censorSeen == 0 && q->nobs > q->strmiss)
        report_unused_censoring(q);
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
    }
    pass.finishGroup();
    return 0;
}

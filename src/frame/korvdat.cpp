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
#include <vector>

#include "common/stages.h"
#include "common/statement.h"
#include "frame/frame.h"
#include "frame/parse.h"
#include "numeric/format.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wzstr.h"
#include "runtime/xccheck.h"
#include "runtime/ztree.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
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
    xpmlog(326, msg326::FREQ_TOO_LARGE, static_cast<int>(name.size()), name.c_str(), f, obs);
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
    xpmlog(326, q->nby > 0 ? msg326::NO_CENSORING_BY : msg326::NO_CENSORING,
           static_cast<int>(name.size()), name.c_str(), values.c_str());
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
    // The block road: whole blocks of rows read column by column, a row's
    // stratum found by its values' codes. Taken when every value a record
    // keeps comes through a column (no GROUP=, ID or TEST variable).
    bool blockRoad() const;
    void readBlocks();
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
    void spare();
    void fixNan();
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
    spare();
    q->nobs += 1;
    xyvget(static_cast<XVHANDLE*>(q->xvin), strata_key(spare_));
    fixNan();
    return true;
}

// A node for the key of the next observation, unless one is waiting.
void DataPass::spare()
{
    if (!spare_) {
        spare_ = memnode(q_, temporary_);
        spare_->mean = -DBL_MAX;
        spare_->fail = 1;
        if (q_->nsvar == 0)
            single_ = spare_;
    }
}

// A NaN that is not a missing value is taken as missing: it has no order and
// would make the strata and group comparisons inconsistent.
void DataPass::fixNan()
{
    KORVCOM* q = q_;
    char* key = strata_key(spare_);
    for (int k : input_slot::READ)
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
}

// The observation's time, frequency and weight, and whether they (and the
// censoring and GROUP= values) are valid; an invalid one is counted as
// dropped. A FREQ value above the largest exact count ends the step.
bool DataPass::valid(double* tp, double* fp, double* wp)
{
    KORVCOM* q = q_;
    const double t = q->iovar[input_slot::TIME];
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
        f = q->iovar[input_slot::FREQ];
        if (wzmis(f) || !(f > 0) || std::isinf(f))
            bad = true;
        else if (!q->znotrunc && f <= LARGEST_EXACT_COUNT) {
            f = std::floor(f);
            if (f == 0)
                bad = true;
        }
    }
    if (q->zwt) {
        w = q->iovar[input_slot::WEIGHT];
        if (wzmis(w) || !(w > 0) || std::isinf(w))
            bad = true;
    }
    if (q->zevent && wzmis(q->iovar[input_slot::CENSOR]))
        bad = true;
    else if (is_censored(q, q->iovar[input_slot::CENSOR]))
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
        xpmlog(326, msg326::TREE_FAILURE);
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
        xpmlog(326, msg326::TREE_FAILURE);
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
    const bool cens = is_censored(q, q->iovar[input_slot::CENSOR]);
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

bool g_blockRoad = true;

// What the raw numbers of one numeric STRATA variable found, by the bits of
// the number: open addressing, grown by doubling while at most half full.
class FlatFound
{
  public:
    STRATA** find(uint64_t key)
    {
        if (keys_.empty())
            return nullptr;
        for (size_t s = slot(key);; s = (s + 1) & (keys_.size() - 1)) {
            if (!used_[s])
                return nullptr;
            if (keys_[s] == key)
                return &vals_[s];
        }
    }
    void insert(uint64_t key, STRATA* value)
    {
        if (2 * (count_ + 1) > keys_.size())
            grow();
        size_t s = slot(key);
        while (used_[s] && keys_[s] != key)
            s = (s + 1) & (keys_.size() - 1);
        if (!used_[s])
            ++count_;
        used_[s] = 1;
        keys_[s] = key;
        vals_[s] = value;
    }
    size_t size() const { return count_; }

  private:
    std::vector<uint64_t> keys_;
    std::vector<STRATA*> vals_;
    std::vector<char> used_;
    size_t count_ = 0;
    int bits_ = 0;
    size_t slot(uint64_t key) const
    {
        return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }
    void grow()
    {
        std::vector<uint64_t> keys;
        std::vector<STRATA*> vals;
        std::vector<char> used;
        keys.swap(keys_);
        vals.swap(vals_);
        used.swap(used_);
        bits_ = std::max(bits_ + 1, 6);
        const size_t n = size_t(1) << bits_;
        keys_.assign(n, 0);
        vals_.assign(n, nullptr);
        used_.assign(n, 0);
        count_ = 0;
        for (size_t i = 0; i < keys.size(); ++i)
            if (used[i])
                insert(keys[i], vals[i]);
    }
};

bool DataPass::blockRoad() const
{
    const KORVCOM* q = q_;
    return g_blockRoad && !g_ && !(q->nid > 0 && q->idlen > 0) && !(q->ncvar > 0 && q->cvget);
}

// Reads the group in blocks of rows. Each row goes through the same checks
// and the same stratum search as a row read by the fetch vector: the
// analysis values come from the block's columns, and the stratum from the
// codes of its STRATA values (the raw number of a numeric variable, the
// value code of a character one). The first row with a new combination of
// codes is fetched through the fetch vector and finds its stratum the usual
// way; later rows with the same codes reuse what it found. A row whose codes
// are equal has the same raw values, so it would have found the same.
void DataPass::readBlocks()
{
    KORVCOM* q = q_;
    constexpr long BLOCK = 4096;
    const STMT* proc = q->stmt;
    auto first = [&](int field) {
        const STLIST* f = stmt_field(proc, field);
        return f && f->n > 0 && f->ivals ? f->ivals[0] : 0;
    };
    std::vector<XV_COLBUF> bufs;
    std::vector<std::vector<double>> nums;
    auto numeric = [&](int varnum) {
        nums.emplace_back(static_cast<size_t>(BLOCK));
        XV_COLBUF b;
        b.varnum = varnum;
        b.num = nums.back().data();
        bufs.push_back(b);
        return static_cast<int>(bufs.size()) - 1;
    };
    nums.reserve(4 + static_cast<size_t>(q->nsvar));
    const int tcol = numeric(first(proc_field::TIME));
    const int ccol = first(proc_field::CENSOR) > 0 ? numeric(first(proc_field::CENSOR)) : -1;
    const int fcol = q->zfreq ? numeric(first(proc_field::FREQ)) : -1;
    const int wcol = q->zwt ? numeric(first(proc_field::WEIGHT)) : -1;
    // The STRATA values: a code per row of a character variable, the raw
    // number of a numeric one.
    std::vector<std::vector<int32_t>> codes;
    codes.reserve(static_cast<size_t>(q->nsvar));
    std::vector<int> scol(static_cast<size_t>(q->nsvar));
    int dictCount = -1; // the codes of the one character STRATA variable
    for (int i = 0; i < q->nsvar; ++i) {
        const SNAMESTR& sv = q->sname[i];
        const int varnum = sv.nm->nvar0;
        if (sv.type == 2) {
            codes.emplace_back(static_cast<size_t>(BLOCK));
            XV_COLBUF b;
            b.varnum = varnum;
            b.code = codes.back().data();
            bufs.push_back(b);
            scol[static_cast<size_t>(i)] = static_cast<int>(bufs.size()) - 1;
        } else {
            scol[static_cast<size_t>(i)] = numeric(varnum);
        }
    }
    // A read of no rows brings every column in at once (a large file is read
    // in one pass for all of them); then the codes of the character values.
    {
        long none = 0;
        const int st = xyvblock(ds_, bufs.data(), static_cast<int>(bufs.size()), 0, &none);
        if (st != 0 && st != XO_EOG) {
            xofprc(ds_, st, 1);
            return;
        }
    }
    for (int i = 0; i < q->nsvar; ++i) {
        XV_DICT dict;
        if (q->sname[i].type == 2 && xvcodes(ds_, q->sname[i].nm->nvar0, &dict) == 0 &&
            q->nsvar == 1)
            dictCount = dict.count;
    }
    // What each combination of codes found: its stratum, or null when the
    // row is dropped for a missing STRATA value. One character variable is
    // looked up by its code directly.
    std::vector<STRATA*> byCode(static_cast<size_t>(std::max(dictCount, 0)));
    std::vector<char> byCodeSeen(byCode.size(), 0);
    std::unordered_map<std::string, STRATA*, KeyHash, std::equal_to<>> found;
    // One numeric variable: its raw numbers in a flat table.
    FlatFound flat;
    const bool oneNumber = q->nsvar == 1 && dictCount < 0;
    constexpr size_t FOUND_BYTES = 64u << 20;
    const size_t codeBytes = 8 * static_cast<size_t>(q->nsvar);
    std::string codeKey(codeBytes, '\0');

    // The group's first observation number, for the messages that name one.
    long firstObs = 0;
    if (xybyseek(&reader_, 0) == 0)
        firstObs = reader_.obs;
    xbyrwnd(ds_, 66);
    long row = 0; // rows of the group read before the block
    for (;;) {
        long rows = 0;
        const int st = xyvblock(ds_, bufs.data(), static_cast<int>(bufs.size()), BLOCK, &rows);
        if (st != 0) {
            if (st != XO_EOG)
                xofprc(ds_, st, 1);
            break;
        }
        bool moved = false;
        for (long i = 0; i < rows; ++i) {
            spare();
            q->nobs += 1;
            reader_.obs = firstObs + row + i;
            q->iovar[input_slot::TIME] = bufs[static_cast<size_t>(tcol)].num[i];
            if (ccol >= 0)
                q->iovar[input_slot::CENSOR] = bufs[static_cast<size_t>(ccol)].num[i];
            if (fcol >= 0)
                q->iovar[input_slot::FREQ] = bufs[static_cast<size_t>(fcol)].num[i];
            if (wcol >= 0)
                q->iovar[input_slot::WEIGHT] = bufs[static_cast<size_t>(wcol)].num[i];
            for (int k : input_slot::READ)
                korv_fix_nan(reinterpret_cast<char*>(&q->iovar[k]));
            double t = 0, f = 1, w = 1;
            if (!valid(&t, &f, &w))
                continue;
            STRATA* stratum = nullptr;
            if (q->nsvar == 0) {
                stratum = spare_;
            } else {
                STRATA** hit = nullptr;
                if (dictCount >= 0) {
                    const size_t c =
                        static_cast<size_t>(bufs[static_cast<size_t>(scol[0])].code[i]);
                    if (c < byCode.size() && byCodeSeen[c])
                        hit = &byCode[c];
                } else if (oneNumber) {
                    uint64_t v;
                    std::memcpy(&v, &bufs[static_cast<size_t>(scol[0])].num[i], 8);
                    hit = flat.find(v);
                } else {
                    for (int j = 0; j < q->nsvar; ++j) {
                        const XV_COLBUF& b =
                            bufs[static_cast<size_t>(scol[static_cast<size_t>(j)])];
                        uint64_t v = 0;
                        if (b.code)
                            v = static_cast<uint32_t>(b.code[i]);
                        else
                            std::memcpy(&v, &b.num[i], 8);
                        std::memcpy(&codeKey[8 * static_cast<size_t>(j)], &v, 8);
                    }
                    auto it = found.find(std::string_view(codeKey));
                    if (it != found.end())
                        hit = &it->second;
                }
                if (hit) {
                    stratum = *hit;
                    if (!stratum)
                        q->strmiss += 1;
                } else {
                    // The first row of these codes: fetched whole, it finds
                    // its stratum as the fetch-vector road does.
                    xybyseek(&reader_, row + i);
                    moved = true;
                    xyvget(static_cast<XVHANDLE*>(q->xvin), strata_key(spare_));
                    fixNan();
                    stratum = this->stratum();
                    if (dictCount >= 0) {
                        const size_t c =
                            static_cast<size_t>(bufs[static_cast<size_t>(scol[0])].code[i]);
                        if (c < byCode.size()) {
                            byCode[c] = stratum;
                            byCodeSeen[c] = 1;
                        }
                    } else if (oneNumber) {
                        uint64_t v;
                        std::memcpy(&v, &bufs[static_cast<size_t>(scol[0])].num[i], 8);
                        if (flat.size() * 24 <= FOUND_BYTES)
                            flat.insert(v, stratum);
                    } else if ((found.size() + 1) * (codeBytes + 64) <= FOUND_BYTES) {
                        found.emplace(codeKey, stratum);
                    }
                }
            }
            if (stratum)
                store(stratum, t, f, w);
        }
        row += rows;
        // The next block starts after this one's last row.
        if (moved)
            xybyseek(&reader_, row - 1);
    }
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
    q->rtimes = static_cast<double*>(work(n * 8));
    q->rfreqs = static_cast<double*>(work(n * 8));
    q->rweights = q->zwt ? static_cast<double*>(work(n * 8)) : nullptr;
    q->lifetab = q->method == 1 ? static_cast<LIFETABLE*>(work(
                                      (static_cast<int64_t>(q->ninter) + 1) * LIFETABLE_ROW_BYTES))
                                : nullptr;
}

} // namespace

void korv_data_pass_blocks(bool on)
{
    g_blockRoad = on;
}

int korvdat(KORVCOM* q)
{
    DataPass pass(q);
    pass.begin();
    if (pass.blockRoad()) {
        pass.readBlocks();
    } else {
        while (pass.next()) {
            double t = 0, f = 1, w = 1;
            if (!pass.valid(&t, &f, &w))
                continue;
            if (STRATA* s = pass.stratum())
                pass.store(s, t, f, w);
        }
    }
    pass.finishStrata();

    if (pass.infinite > 0)
        xpmlog(326, msg326::NONFINITE_TIME, static_cast<long>(pass.infinite));
    // Said only where there are observations to analyse.
    if (q->zevent && q->evnum > 0 && pass.censorSeen == 0 && q->nobs > q->strmiss)
        report_unused_censoring(q);
    if (q->nobs == q->strmiss || q->nstrata == 0) {
        if (q->strmiss > 0)
            xpmlog(326, korv_dropped_message(q, q->strmiss), static_cast<long>(q->strmiss));
        // Without a BY statement the whole data set is meant, not a BY group.
        xpmlog(326, q->nby > 0 ? msg326::NO_VALID_OBS_GROUP : msg326::NO_VALID_DATA);
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

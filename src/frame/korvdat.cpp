// The survival data pass: reads one BY group, validates each observation,
// sorts the valid ones into strata and groups, writes each stratum's records
// in blocks of 50 to the utility file and counts what later stages need.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/stages.h"
#include "common/statement.h"
#include "common/varname.h"
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
#include "vyr_pool.h"

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

// A FREQ value above the largest exact count: the step stops, naming the
// variable and the observation.
[[noreturn]] void freq_too_large(KORVCOM* q, POOLHANDLE* temporary, double f, long obs)
{
    const std::string name = korv_variable_name(q, 7);
    xpmlog(326, msg326::FREQ_TOO_LARGE, static_cast<int>(name.size()), name.c_str(), f, obs);
    fail_pass(q, temporary, 2000);
}

// The censoring values of the TIME statement as the user gave them.
std::string censoring_values(const KORVCOM* q)
{
    std::string values;
    for (int j = 0; j < q->evnum; ++j) {
        char buf[40];
        int n = std::snprintf(buf, sizeof buf, "%s%.15g", j > 0 ? " " : "", q->elist[j]);
        values.append(buf, static_cast<size_t>(std::max(n, 0)));
    }
    return values;
}

// When censoring values were given and none of them occurs, every record is
// an event; when every valid record has one, none is. Either way the values
// most likely name the wrong codes, so say so.
void report_censoring_mix(KORVCOM* q, bool none_censored)
{
    const std::string values = censoring_values(q);
    const std::string name = korv_variable_name(q, 11);
    const int by = q->nby > 0;
    const int m = none_censored ? (by ? msg326::NO_CENSORING_BY : msg326::NO_CENSORING)
                                : (by ? msg326::NO_EVENT_BY : msg326::NO_EVENT);
    xpmlog(326, m, static_cast<int>(name.size()), name.c_str(), values.c_str());
}

// Every valid record of the BY group is censored: the strata's frequency
// totals equal their censored totals (the same values added in the same
// order, so the sums are equal exactly).
bool no_event(const KORVCOM* q)
{
    for (const STRATA* s = q->strata; s; s = s->left)
        if (s->cum != s->cen)
            return false;
    return q->strata != nullptr;
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

bool g_blockRoad = true;
long g_rangeRows = 1L << 15; // fewest rows a range of the block road is given

// The words that tell the rows' strata and GROUP= levels apart: for each
// STRATA variable, then the GROUP= variable, the value code of a character
// one or the bits of a numeric one. Open addressing over the keys in the
// order they were added, grown by doubling while at most half full.
class ComboTable
{
  public:
    explicit ComboTable(size_t width) : w_(width) {}
    // The index of `key`, or -1.
    int64_t find(const uint64_t* key) const
    {
        if (slots_.empty())
            return -1;
        for (size_t s = slot(key);; s = (s + 1) & (slots_.size() - 1)) {
            const int64_t k = slots_[s];
            if (k < 0 || same(k, key))
                return k;
        }
    }
    // The index of `key`, added (with *fresh set) when it is new.
    int64_t add(const uint64_t* key, bool* fresh)
    {
        *fresh = false;
        if (2 * (n_ + 1) > slots_.size())
            grow();
        size_t s = slot(key);
        for (; slots_[s] >= 0; s = (s + 1) & (slots_.size() - 1))
            if (same(slots_[s], key))
                return slots_[s];
        *fresh = true;
        slots_[s] = static_cast<int64_t>(n_);
        keys_.insert(keys_.end(), key, key + w_);
        return static_cast<int64_t>(n_++);
    }
    size_t size() const { return n_; }

  private:
    size_t w_;
    std::vector<uint64_t> keys_;
    std::vector<int64_t> slots_;
    size_t n_ = 0;
    int bits_ = 0;
    bool same(int64_t k, const uint64_t* key) const
    {
        const uint64_t* have = keys_.data() + static_cast<size_t>(k) * w_;
        for (size_t j = 0; j < w_; ++j)
            if (have[j] != key[j])
                return false;
        return true;
    }
    size_t slot(const uint64_t* key) const
    {
        uint64_t h = 0x243F6A8885A308D3ull;
        for (size_t j = 0; j < w_; ++j)
            h = (h ^ key[j]) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> (64 - bits_));
    }
    void grow()
    {
        bits_ = std::max(bits_ + 1, 6);
        slots_.assign(size_t(1) << bits_, -1);
        for (size_t k = 0; k < n_; ++k) {
            size_t s = slot(keys_.data() + k * w_);
            while (slots_[s] >= 0)
                s = (s + 1) & (slots_.size() - 1);
            slots_[s] = static_cast<int64_t>(k);
        }
    }
};

// What checking one row found.
enum RowState { ROW_DROPPED, ROW_KEPT, ROW_TOO_LARGE };

// Counts of a range of rows made while checking them.
struct RowCounts {
    int64_t dropped = 0;    // invalid analysis or GROUP= values
    int64_t infinite = 0;   // an infinite time
    int64_t censorSeen = 0; // a censoring value of the list
};

// A row's analysis values once checked.
struct RowValues {
    double t = 0, f = 1, w = 1;
    bool censored = false;
};

// The group's columns, read in place, and what checking a row needs of the
// procedure's settings. Reads nothing but the columns, so that any thread
// may check any row.
struct BlockColumns {
    const KORVCOM* q = nullptr;
    const double* time = nullptr;
    const double* censor = nullptr;
    const double* freq = nullptr;
    const double* weight = nullptr;
    std::vector<const double*> num;   // per key word: a numeric value, or null
    std::vector<const int32_t*> code; // per key word: a character value's code, or null
    bool groupCheck = false;          // GROUP= value checked for missing
    std::vector<char> blankGroup;     // by code: the GROUP= value is blank
    size_t words = 0;

    // The checks of DataPass::valid on row i, in the same order: NaN is
    // taken as missing, as fixNan makes it.
    RowState check(long i, RowValues* v, RowCounts* c) const
    {
        const double t = time[i];
        double f = 1.0, w = 1.0;
        bool bad = false;
        if (std::isnan(t) || t < 0)
            bad = true;
        else if (std::isinf(t)) {
            bad = true;
            ++c->infinite;
        }
        if (freq) {
            f = freq[i];
            if (std::isnan(f) || !(f > 0) || std::isinf(f))
                bad = true;
            else if (!q->znotrunc && f <= LARGEST_EXACT_COUNT) {
                f = std::floor(f);
                if (f == 0)
                    bad = true;
            }
        }
        if (weight) {
            w = weight[i];
            if (std::isnan(w) || !(w > 0) || std::isinf(w))
                bad = true;
        }
        v->censored = false;
        if (censor) {
            const double cv = censor[i];
            if (q->zevent && std::isnan(cv))
                bad = true;
            else if ((v->censored = is_censored(q, cv)))
                ++c->censorSeen;
        }
        if (groupCheck) {
            const size_t g = words - 1;
            if (code[g] ? blankGroup[static_cast<size_t>(code[g][i])] != 0
                        : std::isnan(num[g][i]) != 0)
                bad = true;
        }
        if (!bad && freq && f > LARGEST_EXACT_COUNT)
            return ROW_TOO_LARGE;
        if (bad) {
            ++c->dropped;
            return ROW_DROPPED;
        }
        v->t = t;
        v->f = f;
        v->w = w;
        return ROW_KEPT;
    }
    void key(long i, uint64_t* k) const
    {
        for (size_t j = 0; j < words; ++j) {
            if (code[j]) {
                k[j] = static_cast<uint32_t>(code[j][i]);
            } else {
                std::memcpy(&k[j], &num[j][i], 8);
            }
        }
    }
};

// One range of rows of the block road: its counts, its combinations of key
// words in the order they first occur, and after the merge where each
// combination's rows go.
struct RowRange {
    long begin = 0, end = 0;
    RowCounts counts;
    long tooLarge = -1; // the first row whose frequency is too large
    ComboTable combos;
    std::vector<long> first;          // per combination: its first row
    std::vector<int64_t> rows;        // per combination: its rows kept
    std::vector<int32_t> target;      // per combination: its slot in `next`, -1 dropped
    std::vector<int32_t> group;       // per combination: its GROUP= level
    std::vector<int32_t> slotStratum; // per slot: the stratum (block-road number)
    std::vector<int64_t> next;        // per slot: the stratum's next record
    explicit RowRange(size_t words) : combos(words) {}
};

// A stratum's records on the block road: the blocks of its records (times,
// signed frequencies, weights, GROUP= levels, one block record after the
// other) and their noted positions in the utility file. `own` holds them
// when the utility file could not take them in place.
struct StratumBlocks {
    STRATA* node = nullptr;
    int64_t n = 0;
    std::vector<char*> at;
    std::vector<double> noted;
    std::unique_ptr<char[]> own;
};

// The byte offsets of the parts of one block record.
struct BlockLayout {
    long freq = 0, weight = -1, group = -1, bytes = 0;
};

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
    // The block road: the group read column by column, a row's stratum and
    // GROUP= level found by its values' codes. Taken when every value a
    // record keeps comes through a column (no ID or TEST variable).
    bool blockRoad() const;
    bool readBlocks();
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

    // The block road's steps and state.
    struct Found {
        int32_t stratum; // block-road number of the stratum, -1 dropped
        int32_t group;   // GROUP= level
    };
    bool blockColumns(BlockColumns* c, long* n, bool* failed);
    void markBlankGroups(BlockColumns* c, long n);
    void fetch(long row);
    std::vector<RowRange> scanRanges(const BlockColumns& c, long n);
    Found discover(long row);
    void mergeRanges(const BlockColumns& c, std::vector<RowRange>& ranges);
    void reserveBlocks(const BlockLayout& lay);
    void fillBlocks(const BlockColumns& c, const BlockLayout& lay, std::vector<RowRange>& ranges);
    void sumStrata(const BlockLayout& lay);
    void noteBlocks(const BlockLayout& lay);
    long firstObs_ = 0;
    bool blocksWritten_ = false; // every record is in the utility file already
    std::vector<StratumBlocks> blocks_;
    std::vector<int32_t> slotOf_; // per stratum: its slot in the range being merged
    std::unordered_map<STRATA*, int32_t> number_;
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

bool DataPass::blockRoad() const
{
    const KORVCOM* q = q_;
    return g_blockRoad && !(q->nid > 0 && q->idlen > 0) && !(q->ncvar > 0 && q->cvget);
}

// The group's columns the pass reads: false when one of them cannot come
// through a column (the row road then reads the group).
bool DataPass::blockColumns(BlockColumns* c, long* n, bool* failed)
{
    KORVCOM* q = q_;
    const STMT* proc = q->stmt;
    auto first = [&](int field) {
        const STLIST* f = stmt_field(proc, field);
        return f && f->n > 0 && f->ivals ? f->ivals[0] : 0;
    };
    std::vector<XV_GROUPCOL> want;
    auto add = [&](int varnum) {
        XV_GROUPCOL col;
        col.varnum = varnum;
        want.push_back(col);
        return static_cast<long>(want.size()) - 1;
    };
    const long tcol = add(first(proc_field::TIME));
    const long ccol = first(proc_field::CENSOR) > 0 ? add(first(proc_field::CENSOR)) : -1;
    const long fcol = q->zfreq ? add(first(proc_field::FREQ)) : -1;
    const long wcol = q->zwt ? add(first(proc_field::WEIGHT)) : -1;
    const long keys = static_cast<long>(want.size());
    for (int i = 0; i < q->nsvar; ++i)
        add(q->sname[i].nm->nvar0);
    if (g_)
        add(g_->nm->nvar0);
    const int st = xyvgroupcols(ds_, want.data(), static_cast<int>(want.size()), n);
    if (st != 0) {
        xofprc(ds_, st, 1);
        *failed = true;
        return true;
    }
    auto num = [&](long k) { return k >= 0 ? want[static_cast<size_t>(k)].num : nullptr; };
    for (long k : {tcol, ccol, fcol, wcol})
        if (k >= 0 && !num(k))
            return false;
    c->q = q;
    c->time = num(tcol);
    c->censor = num(ccol);
    c->freq = num(fcol);
    c->weight = num(wcol);
    for (size_t k = static_cast<size_t>(keys); k < want.size(); ++k) {
        c->num.push_back(want[k].num);
        c->code.push_back(want[k].code);
    }
    c->words = c->num.size();
    c->groupCheck = g_ && !q->zmissing;
    return true;
}

// Which codes of a character GROUP= variable stand for a blank value: the
// first row of each code is fetched and tested as the row road tests it.
void DataPass::markBlankGroups(BlockColumns* c, long n)
{
    const size_t g = c->words - 1;
    const int32_t* code = c->code[g];
    if (!code)
        return;
    XV_DICT dict;
    int32_t count = xvcodes(ds_, g_->nm->nvar0, &dict) == 0 ? dict.count : 0;
    if (count == 0)
        for (long i = 0; i < n; ++i)
            count = std::max(count, code[i] + 1);
    c->blankGroup.assign(static_cast<size_t>(count), 0);
    std::vector<char> seen(static_cast<size_t>(count), 0);
    for (long i = 0, left = count; i < n && left > 0; ++i) {
        const size_t k = static_cast<size_t>(code[i]);
        if (seen[k])
            continue;
        seen[k] = 1;
        --left;
        fetch(i);
        c->blankGroup[k] = all_blank(g_->value, g_->lenf) ? 1 : 0;
    }
}

// Row `row` of the group through the fetch vector, into the spare node's
// key and the row buffer.
void DataPass::fetch(long row)
{
    spare();
    xybyseek(&reader_, row);
    xyvget(static_cast<XVHANDLE*>(q_->xvin), strata_key(spare_));
    fixNan();
}

// Checks the rows range by range on the host's threads, counting each
// range's combinations of key words in the order they first occur.
std::vector<RowRange> DataPass::scanRanges(const BlockColumns& c, long n)
{
    const long width = static_cast<long>(std::max(1u, vyr::pool_width()));
    const long grain = std::max(g_rangeRows, (n + 4 * width - 1) / (4 * width));
    const long count = (n + grain - 1) / grain;
    std::vector<RowRange> ranges;
    ranges.reserve(static_cast<size_t>(count));
    for (long r = 0; r < count; ++r) {
        ranges.emplace_back(c.words);
        ranges.back().begin = r * grain;
        ranges.back().end = std::min(n, (r + 1) * grain);
    }
    vyr::parallel_for(ranges.size(), [&](size_t ri) {
        RowRange& r = ranges[ri];
        std::vector<uint64_t> key(c.words);
        RowValues v;
        for (long i = r.begin; i < r.end; ++i) {
            const RowState s = c.check(i, &v, &r.counts);
            if (s == ROW_DROPPED)
                continue;
            if (s == ROW_TOO_LARGE) {
                r.tooLarge = i; // the step ends here: later rows do not count
                break;
            }
            c.key(i, key.data());
            bool fresh = false;
            const size_t k = static_cast<size_t>(r.combos.add(key.data(), &fresh));
            if (fresh) {
                r.first.push_back(i);
                r.rows.push_back(0);
            }
            r.rows[k] += 1;
        }
    });
    return ranges;
}

// The stratum and GROUP= level of a combination of key words met first at
// `row`: the row is fetched and finds them as the row road finds them.
DataPass::Found DataPass::discover(long row)
{
    KORVCOM* q = q_;
    if (q->nsvar > 0 || g_)
        fetch(row);
    else
        spare();
    const int64_t dropped = q->strmiss;
    STRATA* s = stratum();
    q->strmiss = dropped; // counted with the combination's rows
    if (!s)
        return Found{-1, 0};
    const int32_t group = g_ ? groupIndex(g_->value) : 0;
    auto [it, fresh] = number_.try_emplace(s, static_cast<int32_t>(blocks_.size()));
    if (fresh) {
        blocks_.emplace_back();
        blocks_.back().node = s;
        slotOf_.push_back(-1);
    }
    return Found{it->second, group};
}

// In row order: the ranges' counts added up, each new combination's
// stratum and level found, and where each range's records of each stratum
// start. A frequency too large ends the step at the first row that has one.
void DataPass::mergeRanges(const BlockColumns& c, std::vector<RowRange>& ranges)
{
    KORVCOM* q = q_;
    for (const RowRange& r : ranges)
        if (r.tooLarge >= 0)
            freq_too_large(q, temporary_, c.freq[r.tooLarge], firstObs_ + r.tooLarge);
    ComboTable known(c.words);
    std::vector<Found> found;
    std::vector<uint64_t> key(c.words);
    for (RowRange& r : ranges) {
        const size_t m = r.combos.size();
        r.target.assign(m, -1);
        r.group.assign(m, 0);
        for (size_t k = 0; k < m; ++k) {
            c.key(r.first[k], key.data());
            bool fresh = false;
            const size_t g = static_cast<size_t>(known.add(key.data(), &fresh));
            if (fresh)
                found.push_back(discover(r.first[k]));
            const Found f = found[g];
            if (f.stratum < 0) {
                q->strmiss += r.rows[k];
                continue;
            }
            int32_t& slot = slotOf_[static_cast<size_t>(f.stratum)];
            if (slot < 0) {
                slot = static_cast<int32_t>(r.next.size());
                r.next.push_back(0);
                r.slotStratum.push_back(f.stratum);
            }
            r.target[k] = slot;
            r.group[k] = f.group;
            r.next[static_cast<size_t>(slot)] += r.rows[k];
        }
        // The range's records of a stratum follow those of the ranges before.
        for (size_t s = 0; s < r.next.size(); ++s) {
            const size_t st = static_cast<size_t>(r.slotStratum[s]);
            const int64_t rows = r.next[s];
            r.next[s] = blocks_[st].n;
            blocks_[st].n += rows;
            slotOf_[st] = -1;
        }
        q->strmiss += r.counts.dropped;
        infinite += r.counts.infinite;
        censorSeen += r.counts.censorSeen;
    }
}

// Room for each stratum's blocks, taken once: in the utility file itself
// when it can hold them in memory, else in memory of the pass's own.
void DataPass::reserveBlocks(const BlockLayout& lay)
{
    KORVCOM* q = q_;
    for (StratumBlocks& b : blocks_) {
        const int64_t nb = (b.n + q->blockno - 1) / q->blockno;
        b.at.assign(static_cast<size_t>(nb), nullptr);
        b.noted.assign(static_cast<size_t>(nb), 0.0);
        if (xcblocks(q->utid, static_cast<long>(nb), lay.bytes, b.noted.data(), b.at.data()) == 0)
            continue;
        b.own.reset(new (std::nothrow) char[static_cast<size_t>(nb * lay.bytes)]);
        if (!b.own) {
            xmemmsg(xmemdef());
            fail_pass(q, temporary_, 1016);
        }
        for (int64_t k = 0; k < nb; ++k)
            b.at[static_cast<size_t>(k)] = b.own.get() + k * lay.bytes;
    }
}

// Each kept row's record written into its stratum's blocks, range by range
// on the host's threads; within a stratum the records keep the rows' order.
void DataPass::fillBlocks(const BlockColumns& c, const BlockLayout& lay,
                          std::vector<RowRange>& ranges)
{
    const long per = q_->blockno;
    vyr::parallel_for(ranges.size(), [&](size_t ri) {
        const RowRange& r = ranges[ri];
        // Where each stratum's next record of the range goes: its block and
        // its place in the block.
        struct Cursor {
            char* const* block;
            long j;
        };
        std::vector<Cursor> at(r.next.size());
        for (size_t s = 0; s < at.size(); ++s) {
            const StratumBlocks& b = blocks_[static_cast<size_t>(r.slotStratum[s])];
            at[s].block = b.at.data() + r.next[s] / per;
            at[s].j = static_cast<long>(r.next[s] % per);
        }
        std::vector<uint64_t> key(c.words);
        RowCounts counted; // counted already by the scan
        RowValues v;
        for (long i = r.begin; i < r.end; ++i) {
            if (c.check(i, &v, &counted) != ROW_KEPT)
                continue;
            c.key(i, key.data());
            const size_t k = static_cast<size_t>(r.combos.find(key.data()));
            const int32_t slot = r.target[k];
            if (slot < 0)
                continue;
            Cursor& cur = at[static_cast<size_t>(slot)];
            if (cur.j == per) {
                ++cur.block;
                cur.j = 0;
            }
            char* rec = *cur.block;
            const long j = cur.j++;
            write_double(rec + 8 * j, v.t);
            write_double(rec + lay.freq + 8 * j, v.censored ? -v.f : v.f);
            if (lay.weight >= 0)
                write_double(rec + lay.weight + 8 * j, v.w);
            if (lay.group >= 0)
                std::memcpy(rec + lay.group + 4 * j, &r.group[k], 4);
        }
    });
}

// Each stratum's sums, counts and order over its records in row order (on
// the host's threads, a stratum to a task), as the row road adds them up
// record by record; the unused end of its last block zeroed.
void DataPass::sumStrata(const BlockLayout& lay)
{
    KORVCOM* q = q_;
    const long per = q->blockno;
    std::vector<char> sorted(blocks_.size(), 1);
    std::vector<double> largest(blocks_.size(), 0.0);
    vyr::parallel_for(blocks_.size(), [&](size_t k) {
        StratumBlocks& b = blocks_[k];
        STRATA* s = b.node;
        double mean = s->mean, most = 0;
        int64_t fail = s->fail;
        bool inOrder = true;
        for (size_t blk = 0; blk < b.at.size(); ++blk) {
            const char* rec = b.at[blk];
            const long used =
                static_cast<long>(std::min<int64_t>(per, b.n - static_cast<int64_t>(blk) * per));
            for (long j = 0; j < used; ++j) {
                const double t = read_double(rec + 8 * j);
                const double signedF = read_double(rec + lay.freq + 8 * j);
                const bool cens = signedF < 0;
                const double f = cens ? -signedF : signedF;
                most = std::max(most, t);
                if (lay.weight >= 0) {
                    const double w = read_double(rec + lay.weight + 8 * j);
                    s->cumwt += f * w;
                    s->cumwt2 += f * w * w;
                    if (cens)
                        s->cenwt += f * w;
                }
                s->cum += f;
                if (cens) {
                    s->cen += f;
                    s->uniqcen += 1;
                }
                if (inOrder && (t < mean || (t == mean && !cens && !(fail > 0))))
                    inOrder = false;
                mean = t;
                fail = signedF > 0 ? 1 : (signedF < 0 ? -1 : 0);
            }
        }
        s->nobs = b.n;
        s->mean = mean;
        s->fail = fail;
        sorted[k] = inOrder ? 1 : 0;
        largest[k] = most;
        const long used = static_cast<long>(b.n % per);
        if (used > 0) {
            char* rec = b.at.back();
            for (long part : {0L, lay.freq, lay.weight})
                if (part >= 0)
                    std::memset(rec + part + 8 * used, 0, static_cast<size_t>(8 * (per - used)));
            if (lay.group >= 0)
                std::memset(rec + lay.group + 4 * used, 0, static_cast<size_t>(4 * (per - used)));
        }
    });
    for (size_t k = 0; k < blocks_.size(); ++k) {
        if (!sorted[k])
            q->zsorted = 0;
        q->maxobstime = std::max(q->maxobstime, largest[k]);
    }
}

// The blocks held in the pass's own memory written to the utility file, and
// each stratum's chain of block positions made.
void DataPass::noteBlocks(const BlockLayout& lay)
{
    KORVCOM* q = q_;
    for (StratumBlocks& b : blocks_) {
        const size_t nb = b.at.size();
        if (b.own)
            for (size_t k = 0; k < nb; ++k) {
                check_file(xcnoted(q->utid, &b.noted[k]));
                check_file(xcwrite(q->utid, b.at[k], lay.bytes));
            }
        b.own.reset();
        if (nb == 0)
            continue;
        NOTESTR* more =
            nb > 1 ? static_cast<NOTESTR*>(xmalloc_or_exit(
                         q->polnode, static_cast<int64_t>((nb - 1) * sizeof(NOTESTR)), 0x2000))
                   : nullptr;
        NOTESTR* head = b.node->note;
        NOTESTR* prev = nullptr;
        for (size_t k = 0; k < nb; ++k) {
            NOTESTR* e = k == 0 ? head : &more[k - 1];
            const double at = b.noted[k];
            e->next = nullptr;
            e->last = prev;
            e->notet = at;
            e->notef = at + static_cast<double>(lay.freq);
            e->notew = lay.weight >= 0 ? at + static_cast<double>(lay.weight) : 0.0;
            e->noteg = lay.group >= 0 ? at + static_cast<double>(lay.group) : 0.0;
            e->notei = e->notec = 0.0;
            if (prev)
                prev->next = e;
            prev = e;
        }
        head->last = nb > 1 ? prev : nullptr;
    }
}

// Reads the group through its columns: the rows checked and counted on the
// host's threads, the strata and GROUP= levels found in row order (the
// first row of each combination of values fetched and looked up as the row
// road does, later rows with the same codes taking what it found; equal
// codes are equal values), then every record written once, in place, into
// its stratum's blocks. Results are those of the row road, whatever the
// number of threads. False when a column cannot be read in place.
bool DataPass::readBlocks()
{
    KORVCOM* q = q_;
    BlockColumns cols;
    long n = 0;
    bool failed = false;
    if (!blockColumns(&cols, &n, &failed))
        return false;
    blocksWritten_ = true;
    if (failed || n == 0)
        return true;
    // The group's first observation number, for the messages that name one.
    xybyseek(&reader_, 0);
    firstObs_ = reader_.obs;
    q->nobs += n;
    spare();
    if (cols.groupCheck)
        markBlankGroups(&cols, n);
    std::vector<RowRange> ranges = scanRanges(cols, n);
    mergeRanges(cols, ranges);
    BlockLayout lay;
    lay.freq = q->blockt;
    lay.bytes = q->blockt + q->blockf;
    if (q->zwt) {
        lay.weight = lay.bytes;
        lay.bytes += q->blockt;
    }
    if (g_) {
        lay.group = lay.bytes;
        lay.bytes += q->blockg;
    }
    reserveBlocks(lay);
    fillBlocks(cols, lay, ranges);
    sumStrata(lay);
    noteBlocks(lay);
    std::vector<StratumBlocks>().swap(blocks_);
    xybyseek(&reader_, n - 1);
    return true;
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
        if (!blocksWritten_ && s->nobs > 0 && (s->nobs - 1) % 50 < 49)
            writeout(q, s);
        korv_strata_labels(q, s);
    }
    // Weights near the largest double: their sums pass it. The estimators
    // scale the weights and still estimate; the counts in weighted units
    // that cannot be held show missing, which is said here once.
    if (q->zwt && !std::isfinite(q->maxscum)) {
        const std::string name = korv_variable_name(q, proc_field::WEIGHT);
        xpmlog(326, msg326::WEIGHT_SUMS_BEYOND_RANGE, static_cast<int>(name.size()), name.c_str());
    }
    // Too many strata for the tests is said now, before the estimates run.
    korv_hom_announce(q);
    korv_group_announce(q);
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

void korv_data_pass_range_rows(long rows)
{
    g_rangeRows = std::max(1L, rows);
}

int korvdat(KORVCOM* q)
{
    DataPass pass(q);
    pass.begin();
    if (!pass.blockRoad() || !pass.readBlocks()) {
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
    if (q->zevent && q->evnum > 0 && q->nobs > q->strmiss) {
        if (pass.censorSeen == 0)
            report_censoring_mix(q, true);
        else if (no_event(q))
            report_censoring_mix(q, false);
    }
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

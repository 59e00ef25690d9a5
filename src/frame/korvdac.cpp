// The competing-risks data pass: reads one BY group, drops the invalid
// observations, sorts the valid ones into the strata and GROUP= trees, writes
// one 48-byte record per observation to the paged record store, identifies
// the failure types and gives each status its category, maps strata and
// groups to their places in key order, counts the records per stratum, group
// and category, and decides whether Gray's test can be computed.
//
// The observations are read in blocks (the values of the analysis, strata
// and GROUP= variables of thousands of observations at a time), each value
// formatted as the per-observation fetch would format it. The records stay
// in the store, where the estimation and the test read them: no second copy
// is made. Every host service's result is checked: a failed page or read
// ends the step rather than leave the later stages partial records.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/options.h"
#include "common/stages.h"
#include "common/statement.h"
#include "frame/frame.h"
#include "numeric/exactsum.h"
#include "results/slots.h"
#include "runtime/korv_assert.h"
#include "runtime/missing.h"
#include "runtime/wzstr.h"
#include "runtime/xccheck.h"
#include "runtime/ztree.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_parse.h"

namespace
{

// A frequency total below this counts as zero (the double just above 2^-53).
constexpr double ZERO_FREQ = 1.110223024625157e-16;

// The largest count a double holds exactly.
constexpr double LARGEST_EXACT_COUNT = 9007199254740992.0; // 2^53

// Message of the survival road's pass, reused: a FREQ value above 2^53.

bool all_blank(const char* p, int n)
{
    for (int i = 0; i < n; ++i)
        if (p[i] != ' ' && p[i] != 0)
            return false;
    return true;
}

bool is_censoring_value(const KORVCOM* q, double v)
{
    for (int j = 0; j < q->evnum; ++j)
        if (q->elist[j] == v)
            return true;
    return false;
}

// Pages of the competing-risks store: one page in hand at a time, filled in
// order or revisited in order.
class StorePages
{
  public:
    explicit StorePages(XCBSTR* s) : s_(s) {}
    ~StorePages() { release(); }
    // Appends one record, taking the next page when the current one is full.
    void append(const CRRECORD& r)
    {
        if (!page_ || used_ == s_->nrpp) {
            release();
            take(pageno_ + 1, 16, true);
        }
        std::memcpy(page_ + used_ * sizeof(CRRECORD), &r, sizeof r);
        ++used_;
        ++count_;
    }
    int64_t count() const { return count_; }
    // Takes page p (from 1) for reading (write false) or rewriting.
    CRRECORD* take(long p, int mode, bool write)
    {
        release();
        check_file(xcbgetp(s_->fileptr, p, mode, &page_));
        pageno_ = p;
        used_ = 0;
        write_ = write;
        return reinterpret_cast<CRRECORD*>(page_);
    }
    void release()
    {
        if (page_) {
            check_file(write_ ? xcbwrtp(s_->fileptr, pageno_) : xcbmlok(s_->fileptr, pageno_));
            page_ = nullptr;
        }
    }

  private:
    XCBSTR* s_;
    char* page_ = nullptr;
    long pageno_ = 0;
    int64_t used_ = 0;
    int64_t count_ = 0;
    bool write_ = false;
};

// Calls fn(records, count) for every page of the group's ntot records in
// order; the page goes back written when `write` is set.
template <class F> void for_each_page(XCBSTR* s, int64_t ntot, bool write, F fn)
{
    if (ntot <= 0 || s->nrpp <= 0)
        return;
    StorePages pages(s);
    const int64_t npage = (ntot + s->nrpp - 1) / s->nrpp;
    for (int64_t p = 1; p <= npage; ++p) {
        CRRECORD* r = pages.take(static_cast<long>(p), 0, write);
        const int64_t n = p < npage ? s->nrpp : ntot - (npage - 1) * s->nrpp;
        fn(r, n);
    }
}

// Keys already met and what they stand for (a stratum node or a group's
// creation number): most observations find theirs here, by the bytes of the
// key, without walking the tree (keys that differ in bytes but compare equal
// still go to the tree, which decides). The last key met is tried first;
// then a table with open addressing. At most 4096 keys, and 16 MB of them,
// are kept, so that long STRATA values cannot make the table large.
template <class V> class KnownKeys
{
  public:
    explicit KnownKeys(size_t len) : len_(len) {}
    const V* find(const char* key)
    {
        if (last_ != EMPTY && same(bytes_.data() + last_ * len_, key))
            return &values_[last_];
        if (values_.empty())
            return nullptr;
        const uint64_t h = hash(key);
        for (size_t s = h & MASK;; s = (s + 1) & MASK) {
            const uint32_t e = slots_[s];
            if (e == EMPTY)
                return nullptr;
            if (hashes_[e] == h && same(bytes_.data() + e * len_, key)) {
                last_ = e;
                return &values_[e];
            }
        }
    }
    void add(const char* key, V value)
    {
        if (values_.size() >= LIMIT || (values_.size() + 1) * len_ > (16u << 20))
            return;
        if (slots_.empty())
            slots_.assign(MASK + 1, EMPTY);
        const uint64_t h = hash(key);
        size_t s = h & MASK;
        while (slots_[s] != EMPTY)
            s = (s + 1) & MASK;
        slots_[s] = static_cast<uint32_t>(values_.size());
        hashes_.push_back(h);
        bytes_.insert(bytes_.end(), key, key + len_);
        values_.push_back(value);
    }

  private:
    // Two keys' bytes alike (short keys word by word, without a call).
    bool same(const char* a, const char* b) const
    {
        if (len_ > 32)
            return std::memcmp(a, b, len_) == 0;
        size_t i = 0;
        for (; i + 8 <= len_; i += 8) {
            uint64_t x, y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y)
                return false;
        }
        for (; i < len_; ++i)
            if (a[i] != b[i])
                return false;
        return true;
    }
    static constexpr size_t LIMIT = 4096;
    static constexpr size_t MASK = 2 * LIMIT - 1; // at most half full
    static constexpr uint32_t EMPTY = ~uint32_t(0);
    uint64_t hash(const char* key) const
    {
        uint64_t h = 0xcbf29ce484222325ull ^ len_;
        size_t i = 0;
        for (; i + 8 <= len_; i += 8) {
            uint64_t w;
            std::memcpy(&w, key + i, 8);
            h = (h ^ w) * 0x100000001b3ull;
            h ^= h >> 29;
        }
        for (; i < len_; ++i)
            h = (h ^ static_cast<unsigned char>(key[i])) * 0x100000001b3ull;
        return h ^ (h >> 32);
    }
    size_t len_;
    uint32_t last_ = EMPTY;
    std::vector<uint32_t> slots_;
    std::vector<uint64_t> hashes_;
    std::vector<char> bytes_;
    std::vector<V> values_;
};

// A NaN that is not a missing value is taken as missing: it has no order and
// would make the comparisons inconsistent.
inline void fix_nan(char* slot)
{
    double d;
    std::memcpy(&d, slot, sizeof d);
    if (d != d && !wzmis(d))
        write_double(slot, korv_missing());
}

// One BY group's reading: the observations, their validity, strata and
// groups, and the records they become.
class CrPass
{
  public:
    explicit CrPass(KORVCOM* q)
        : q_(q), c_(q->cmprisk), g_(q->grpvar), ds_(static_cast<DSHANDLE*>(q->filein)),
          store_(q->cmprisk->xcb), keyBytes_(static_cast<size_t>(q->slenf + q->slenu)),
          knownStrata_(keyBytes_),
          knownGroups_(q->grpvar ? static_cast<size_t>(q->grpvar->lenf + q->grpvar->lenu) : 0)
    {
    }
    void begin();
    void read();
    void finishTrees();
    // The 1-based number of observation `row` of the BY group (from 0).
    long observationNumber(int64_t row);
    int64_t infinite = 0;
    // The distinct statuses that are not censoring values (no failure codes).
    std::vector<double> statuses;
    // Records per stratum and GROUP= level, by their creation numbers.
    std::vector<std::vector<int64_t>> counts;

  private:
    KORVCOM* q_;
    CMPRISK* c_;
    GRPVAR* g_;
    DSHANDLE* ds_;
    StorePages store_;
    size_t keyBytes_;
    STRATA* spare_ = nullptr;
    STRATA* first_ = nullptr; // the only stratum without STRATA variables
    GRPTREE* gspare_ = nullptr;
    int created_ = 0; // strata made so far
    double lastStatus_ = 0;
    bool haveStatus_ = false;
    KnownKeys<STRATA*> knownStrata_;
    KnownKeys<int> knownGroups_;

    // Block reads: the value buffers of one block of observations.
    static constexpr long BLOCK = 4096;
    struct Column {
        int varnum = 0;
        bool numeric = true;
        int width = 0; // bytes per row of a character variable's text
        std::vector<double> num;
        std::vector<char> text;
    };
    // Where a variable's values go: the raw value to `rawAt` (`rawLen`
    // bytes), and, when `fmtLen` > 0, the formatted value to `fmtAt`.
    struct Target {
        int column = -1;
        bool inKey = true; // offsets into the stratum key, else into the GROUP= value
        int rawAt = 0, rawLen = 0;
        int fmtAt = 0, fmtLen = 0;
        bool fmtRaw = false; // the "formatted" slot holds the raw double
        NAMESTR* nm = nullptr;
        std::unordered_map<std::string, std::string> formatted; // raw value -> formatted text
    };
    std::vector<Column> columns_;
    std::vector<XV_COLBUF> bufs_;
    std::vector<Target> targets_;
    int timeCol_ = -1, statusCol_ = -1, freqCol_ = -1, weightCol_ = -1;
    int64_t rowsRead_ = 0; // observations of the group read so far
    int addColumn(int varnum);
    void planBlocks();
    void formatInto(Target& t, const Column& col, int64_t i, char* base);

    STRATA* newCandidate();
    void fetch(int64_t i);
    bool valid(double* t, double* f);
    STRATA* stratum();
    int group();
    double status();
};

void CrPass::begin()
{
    KORVCOM* q = q_;
    if (g_) {
        g_->ghead = nullptr;
        g_->last = 0;
    }
    q->stratumno = 0;
    // Every BY group starts its ranges afresh, as on the survival road, so
    // that one group's values never leak into the next.
    q->tmin = DBL_MAX;
    q->maxobstime = 0;
    q->smin = 1;
    q->smax = 0;
    q->strmiss = 0;
    q->nobs = 0;
    q->strata = nullptr;
    q->nstrata = 0;
    c_->columns = nullptr;
    q->polnode = xmpoolc(0, 1024, 0x1002);
    if (!q->polnode) {
        xmemmsg(xmemdef());
        xexit(std::max(q->rc, 1016), 0);
    }
    xbyrwnd(ds_, 66);
}

STRATA* CrPass::newCandidate()
{
    counts.emplace_back();
    auto* node = static_cast<STRATA*>(
        xmalloc_or_exit(q_->polnode, strata_node_size(q_->slenf + q_->slenu), 0x2000));
    node->nobs = 0;
    node->miss = 0;
    node->mean = -DBL_MAX;
    node->fail = 1;
    node->index = created_++;
    return node;
}

// Time, frequency and status of the observation: whether they are valid.
bool CrPass::valid(double* tp, double* fp)
{
    KORVCOM* q = q_;
    const double t = q->iovar[input_slot::TIME];
    double f = 1.0;
    if (wzmis(t) || t < 0)
        return false;
    if (std::isinf(t)) {
        // An infinite time has no place on a time axis.
        ++infinite;
        return false;
    }
    if (q->zfreq) {
        f = q->iovar[input_slot::FREQ];
        if (wzmis(f) || !(f > 0) || std::isinf(f))
            return false;
        if (!q->znotrunc && f <= LARGEST_EXACT_COUNT) {
            f = std::floor(f);
            if (f == 0)
                return false;
        }
    }
    if (q->zwt) {
        const double w = q->iovar[input_slot::WEIGHT];
        if (wzmis(w) || w < 0)
            return false;
    }
    if (wzmis(q->iovar[input_slot::CENSOR]))
        return false;
    if (q->zfreq && f > LARGEST_EXACT_COUNT) {
        // Above 2^53 sums of frequencies are no longer counts: the step stops,
        // naming the variable and the observation, as on the survival road.
        const STLIST* fl = stmt_field(q->stmt, proc_field::FREQ);
        NAMESTR* nm = nullptr;
        if (fl && fl->n > 0 && fl->ivals)
            xvname(ds_, fl->ivals[0], &nm);
        xpmlog(326, msg326::FREQ_TOO_LARGE, nm ? static_cast<int>(nm->namelen) : 0,
               nm ? nm->name_p : "", f, observationNumber(rowsRead_ - 1));
        xexit(std::max(q->rc, 2000), 0);
    }
    *tp = t;
    *fp = f;
    return true;
}

// The stratum of the observation; null when a STRATA value is missing (and
// MISSING is not given).
STRATA* CrPass::stratum()
{
    KORVCOM* q = q_;
    if (q->nsvar == 0) {
        if (!first_)
            first_ = spare_, spare_ = nullptr;
        return first_;
    }
    char* key = strata_key(spare_);
    if (!q->zmissing)
        for (int i = 0; i < q->nsvar; ++i) {
            const SNAMESTR& s = q->sname[i];
            const bool miss = s.type == 2 ? all_blank(key + s.posu, s.lngu)
                                          : wzmis(read_double(key + s.posu)) != 0;
            if (miss)
                return nullptr;
        }
    for (int j = 0; j < q->ncut; ++j) {
        const SNAMESTR& s = q->sname[q->cut[j]];
        write_double(key + s.posf,
                     korv_interval_index(read_double(key + s.posf), s.cutpoint, s.cutnum));
    }
    if (STRATA* const* hit = knownStrata_.find(key))
        return *hit;
    spare_->bal = 0;
    TREE* found = ztrebdf(reinterpret_cast<TREE**>(&q->strata), reinterpret_cast<TREE*>(spare_),
                          q->slenf, q->soff, stratacmf);
    if (!found) {
        xpmlog(326, msg326::TREE_FAILURE);
        xexit(std::max(q->rc, 2000), 0);
    }
    STRATA* s = reinterpret_cast<STRATA*>(found);
    if (s == spare_) {
        // A new stratum keeps the representative value of each interval.
        newnode(q, s);
        spare_ = nullptr;
    }
    knownStrata_.add(key, s);
    return s;
}

// The creation number of the observation's GROUP= level.
int CrPass::group()
{
    const size_t len = static_cast<size_t>(g_->lenf + g_->lenu);
    if (const int* hit = knownGroups_.find(g_->value))
        return *hit;
    if (!gspare_)
        gspare_ = memgnode(q_, q_->polnode);
    std::memcpy(grptree_key(gspare_), g_->value, len);
    TREE* found = ztrebdf(reinterpret_cast<TREE**>(&g_->ghead), reinterpret_cast<TREE*>(gspare_),
                          g_->lenf, GRPTREE_KEY_OFFSET, groupcmf);
    if (!found) {
        xpmlog(326, msg326::TREE_FAILURE);
        xexit(std::max(q_->rc, 2000), 0);
    }
    GRPTREE* gn = reinterpret_cast<GRPTREE*>(found);
    if (gn == gspare_)
        gspare_ = nullptr;
    knownGroups_.add(g_->value, gn->index);
    return gn->index;
}

// The status category with failure codes; without them the raw value, and
// the value noted among the group's distinct statuses.
double CrPass::status()
{
    const double v =
        q_->iovar[input_slot::CENSOR] == 0 ? 0.0 : q_->iovar[input_slot::CENSOR]; // -0 is 0
    const int n = c_->nFailcode;
    if (n > 0) {
        for (int k = 0; k < n; ++k)
            if (v == c_->failcode[k])
                return k + 1;
        return is_censoring_value(q_, v) ? 0 : n + 1;
    }
    if (!(haveStatus_ && v == lastStatus_) && !is_censoring_value(q_, v)) {
        if (std::find(statuses.begin(), statuses.end(), v) == statuses.end())
            statuses.push_back(v);
        lastStatus_ = v;
        haveStatus_ = true;
    }
    return v;
}

int CrPass::addColumn(int varnum)
{
    for (size_t j = 0; j < columns_.size(); ++j)
        if (columns_[j].varnum == varnum)
            return static_cast<int>(j);
    Column c;
    c.varnum = varnum;
    const NAMESTR* nm = xvname(ds_, varnum);
    c.numeric = !nm || nm->ntype == 1;
    c.width = c.numeric ? 0 : std::max(1, vyr_namestr_length(*nm));
    if (c.numeric)
        c.num.resize(BLOCK);
    else
        c.text.resize(static_cast<size_t>(BLOCK) * static_cast<size_t>(c.width));
    columns_.push_back(std::move(c));
    return static_cast<int>(columns_.size()) - 1;
}

// The columns a block read fills and where each value goes: the same
// bindings as the fetch vector that variable resolution made (raw values,
// and formatted values where a key compares formatted text).
void CrPass::planBlocks()
{
    KORVCOM* q = q_;
    const STMT* proc = q->stmt;
    auto first = [&](int field) {
        const STLIST* f = stmt_field(proc, field);
        return f && f->n > 0 && f->ivals ? f->ivals[0] : 0;
    };
    timeCol_ = addColumn(first(proc_field::TIME));
    statusCol_ = addColumn(first(proc_field::CENSOR));
    if (q->zfreq)
        freqCol_ = addColumn(first(proc_field::FREQ));
    if (q->zwt)
        weightCol_ = addColumn(first(proc_field::WEIGHT));
    for (int i = 0; i < q->nsvar; ++i) {
        const SNAMESTR& sv = q->sname[i];
        Target t;
        t.nm = sv.nm;
        t.column = addColumn(sv.nm->nvar0);
        t.rawAt = sv.posu;
        t.rawLen = sv.lngu;
        t.fmtAt = sv.posf;
        t.fmtLen = sv.nfl == 2 ? sv.lngf : 8;
        t.fmtRaw = sv.nfl != 2;
        targets_.push_back(std::move(t));
    }
    if (g_) {
        Target t;
        t.nm = g_->nm;
        t.inKey = false;
        t.column = addColumn(g_->nm->nvar0);
        t.rawAt = g_->lenf;
        t.rawLen = g_->lenu;
        t.fmtAt = 0;
        t.fmtLen = korv_format_width(g_->nm);
        targets_.push_back(std::move(t));
    }
    for (Column& c : columns_) {
        XV_COLBUF b;
        b.varnum = c.varnum;
        if (c.numeric)
            b.num = c.num.data();
        else {
            b.text = c.text.data();
            b.width = c.width;
        }
        bufs_.push_back(b);
    }
}

// A value formatted as the formatted fetch delivers it, remembered by raw
// value (the values of a key variable repeat).
void CrPass::formatInto(Target& t, const Column& col, int64_t i, char* base)
{
    std::string raw = col.numeric ? std::string(reinterpret_cast<const char*>(&col.num[i]), 8)
                                  : std::string(&col.text[static_cast<size_t>(i * col.width)],
                                                static_cast<size_t>(col.width));
    auto hit = t.formatted.find(raw);
    if (hit == t.formatted.end()) {
        std::string f = vyr::fmt::format_value(*t.nm, raw.data(), t.fmtLen);
        f.resize(static_cast<size_t>(t.fmtLen), ' ');
        if (t.formatted.size() >= 65536)
            t.formatted.clear();
        hit = t.formatted.emplace(std::move(raw), std::move(f)).first;
    }
    std::memcpy(base + t.fmtAt, hit->second.data(), static_cast<size_t>(t.fmtLen));
}

// The values of row i of the block: analysis values to the row buffer, the
// strata values to the pending node's key, the GROUP= value to its buffer.
void CrPass::fetch(int64_t i)
{
    KORVCOM* q = q_;
    auto num = [&](int c) { return columns_[static_cast<size_t>(c)].num[static_cast<size_t>(i)]; };
    q->iovar[input_slot::TIME] = num(timeCol_);
    q->iovar[input_slot::CENSOR] =
        columns_[static_cast<size_t>(statusCol_)].numeric ? num(statusCol_) : korv_missing();
    if (freqCol_ >= 0)
        q->iovar[input_slot::FREQ] = num(freqCol_);
    if (weightCol_ >= 0)
        q->iovar[input_slot::WEIGHT] = num(weightCol_);
    char* key = strata_key(spare_);
    for (Target& t : targets_) {
        const Column& col = columns_[static_cast<size_t>(t.column)];
        char* base = t.inKey ? key : g_->value;
        if (col.numeric) {
            std::memcpy(base + t.rawAt, &col.num[static_cast<size_t>(i)], 8);
            if (t.fmtRaw)
                std::memcpy(base + t.fmtAt, &col.num[static_cast<size_t>(i)], 8);
            else
                formatInto(t, col, i, base);
        } else {
            const char* v = &col.text[static_cast<size_t>(i * col.width)];
            const int n = std::min(t.rawLen, col.width);
            std::memcpy(base + t.rawAt, v, static_cast<size_t>(n));
            std::memset(base + t.rawAt + n, ' ', static_cast<size_t>(t.rawLen - n));
            formatInto(t, col, i, base);
        }
    }
}

long CrPass::observationNumber(int64_t row)
{
    // Only for a message: position before the group and count.
    XO_PARMS p;
    p.ds = ds_;
    xbyrwnd(ds_, 66);
    for (int64_t r = 0; r <= row; ++r)
        if (xybyget(&p) != 0)
            break;
    return p.obs;
}

void CrPass::read()
{
    KORVCOM* q = q_;
    planBlocks();
    for (;;) {
        long rows = 0;
        const int st = xyvblock(ds_, bufs_.data(), static_cast<int>(bufs_.size()), BLOCK, &rows);
        if (st != 0) {
            if (st != XO_EOG)
                xofprc(ds_, st, 1);
            break;
        }
        for (int64_t i = 0; i < rows; ++i) {
            if (!spare_)
                spare_ = newCandidate();
            q->nobs += 1;
            ++rowsRead_;
            fetch(i);
            // A NaN that is not a missing value is taken as missing: it has
            // no order and would make the comparisons inconsistent.
            for (int k : input_slot::READ)
                fix_nan(reinterpret_cast<char*>(&q->iovar[k]));
            char* key = strata_key(spare_);
            for (int j = 0; j < q->nsvar; ++j) {
                const SNAMESTR& sv = q->sname[j];
                if (sv.type == 1) {
                    fix_nan(key + sv.posu);
                    if (sv.nfl != 2)
                        fix_nan(key + sv.posf);
                }
            }
            if (g_ && g_->nm && g_->nm->ntype == 1)
                fix_nan(g_->value + g_->lenf);

            CRRECORD r{0, 0, 0, 0, 1, 1};
            if (!valid(&r.time, &r.freq)) {
                q->strmiss += 1;
                continue;
            }
            // A missing GROUP= level drops the observation (without MISSING);
            // the raw value is read as a double only for a numeric variable.
            if (g_ && !q->zmissing) {
                const bool miss = g_->nm && g_->nm->ntype == 2
                                      ? all_blank(g_->value, g_->lenf)
                                      : wzmis(read_double(g_->value + g_->lenf));
                if (miss) {
                    q->strmiss += 1;
                    continue;
                }
            }
            STRATA* s = stratum();
            if (!s) {
                q->strmiss += 1;
                continue;
            }
            r.stratum = s->index;
            q->maxobstime = std::max(q->maxobstime, r.time);
            if (g_)
                r.group = group();
            r.status = status();
            store_.append(r);
            // The records of each stratum and level, by creation numbers.
            auto& row = counts[static_cast<size_t>(s->index)];
            const size_t gi = static_cast<size_t>(r.group);
            if (row.size() <= gi)
                row.resize(gi + 1, 0);
            ++row[gi];
        }
    }
    store_.release();
    c_->ntot = store_.count();
}

// The strata and groups in key order, their maps from creation number to
// place, and the strata's labels.
void CrPass::finishTrees()
{
    KORVCOM* q = q_;
    c_->igMap = nullptr;
    c_->nGroup = 1;
    if (g_) {
        ztrelst(reinterpret_cast<TREE**>(&g_->ghead));
        int n = 0;
        for (GRPTREE* g = g_->ghead; g; g = g->left)
            ++n;
        c_->nGroup = n;
        g_->ngrp = n;
        if (n > 0) {
            c_->igMap = static_cast<int*>(
                xmalloc_or_exit(q->polnode, static_cast<int64_t>(g_->last) * sizeof(int), 0x2000));
            int pos = 0;
            for (GRPTREE* g = g_->ghead; g; g = g->left)
                c_->igMap[g->index] = pos++;
        }
    }
    c_->isMap = nullptr;
    if (q->nsvar == 0) {
        q->strata = first_;
        if (first_) {
            first_->index = 0;
            first_->left = nullptr;
        }
        c_->nStrata = first_ ? 1 : 0;
    } else {
        ztrelst(reinterpret_cast<TREE**>(&q->strata));
        int n = 0;
        for (STRATA* s = q->strata; s; s = s->left) {
            korv_strata_labels(q, s);
            ++n;
        }
        c_->nStrata = n;
        if (n > 0) {
            c_->isMap = static_cast<int*>(
                xmalloc_or_exit(q->polnode, static_cast<int64_t>(created_) * sizeof(int), 0x2000));
            int pos = 0;
            for (STRATA* s = q->strata; s; s = s->left)
                c_->isMap[s->index] = pos++;
        }
    }
    q->nstrata = c_->nStrata;
}

// The failure types, when no failure codes are given: every distinct status
// of the group that is not a censoring value, in ascending order.
int identifyEvents(KORVCOM* q, std::vector<double>& statuses)
{
    CMPRISK* c = q->cmprisk;
    std::sort(statuses.begin(), statuses.end());
    const int d = static_cast<int>(statuses.size());
    c->type = static_cast<double*>(
        xmalloc_or_exit(q->polnode, static_cast<int64_t>(d + 1) * sizeof(double), 0x2000));
    c->type[0] = korv_missing();
    for (int i = 0; i < d; ++i)
        c->type[i + 1] = statuses[static_cast<size_t>(i)];
    c->ntype = c->ncat = d + 1;
    return 1;
}

// Category of a raw status without failure codes: 0 for a censoring value,
// else the number of its failure type.
struct StatusNumbers {
    const KORVCOM* q;
    const double* type;
    int ntype;
    double last = 0;
    double lastCategory = -1;
    double operator()(double v)
    {
        if (lastCategory >= 0 && v == last)
            return lastCategory;
        double cat = 0;
        if (!is_censoring_value(q, v)) {
            const double* at = std::lower_bound(type + 1, type + ntype, v);
            cat = static_cast<double>(at - type);
        }
        last = v;
        lastCategory = cat;
        return cat;
    }
};

// The count cells of the group: cr_cell::width(ncat) doubles per stratum and
// group.
double*** make_meta(KORVCOM* q, CMPRISK* c)
{
    const int64_t ns = c->nStrata, ng = c->nGroup, width = cr_cell::width(c->ncat);
    if (ns < 1 || ng < 1)
        return nullptr;
    auto*** rows =
        static_cast<double***>(xmalloc_or_exit(q->polnode, ns * sizeof(double**), 0x2000));
    auto** cells =
        static_cast<double**>(xmalloc_or_exit(q->polnode, ns * ng * sizeof(double*), 0x2000));
    auto* block =
        static_cast<double*>(xmalloc_or_exit(q->polnode, ns * ng * width * sizeof(double), 0x2000));
    std::fill(block, block + ns * ng * width, 0.0);
    for (int64_t s = 0; s < ns; ++s) {
        rows[s] = cells + s * ng;
        for (int64_t g = 0; g < ng; ++g)
            rows[s][g] = block + (s * ng + g) * width;
    }
    return rows;
}

// One pass over the store: each record gets its status category and the
// places of its stratum and group, is counted in its cell (the counts of
// metaData), and its time, frequency and category go to the columns that the
// estimation and the test read, cell by cell. `counts` holds the records of
// each stratum and level by creation numbers.
void mapData(KORVCOM* q, const std::vector<std::vector<int64_t>>& counts)
{
    CMPRISK* c = q->cmprisk;
    const bool mapStrata = c->isMap != nullptr;
    const bool mapGroups = c->igMap != nullptr;
    const bool numberStatus = c->nFailcode == 0;
    StatusNumbers numbers{q, c->type, c->ntype};
    const int width = cr_cell::width(c->ncat);
    const int64_t ng = c->nGroup;
    const int64_t ncell = c->nStrata * ng;
    double* cells = c->meta ? c->meta[0][0] : nullptr;
    if (!cells)
        return;
    std::vector<korv_num::ExactSum> sums(static_cast<size_t>(ncell * (1 + c->ncat)));
    // Whole frequencies (rounded down, or 1 without FREQ) add up exactly.
    const bool whole = !(q->zfreq && q->znotrunc);
    // Where each cell's records start in the columns.
    std::vector<int64_t> next(static_cast<size_t>(ncell), 0);
    for (size_t s = 0; s < counts.size(); ++s)
        for (size_t g = 0; g < counts[s].size(); ++g) {
            if (counts[s][g] == 0)
                continue;
            const int64_t S = mapStrata ? c->isMap[s] : static_cast<int64_t>(s);
            const int64_t G = mapGroups ? c->igMap[g] : static_cast<int64_t>(g);
            next[static_cast<size_t>(S * ng + G)] += counts[s][g];
        }
    int64_t at = 0;
    for (int64_t& n : next) {
        const int64_t k = n;
        n = at;
        at += k;
    }
    const int64_t room = std::max<int64_t>(c->ntot, 1);
    auto* cols = static_cast<CRCOLUMNS*>(xmalloc_or_exit(q->polnode, sizeof(CRCOLUMNS), 0x3006));
    cols->time = static_cast<double*>(xmalloc_or_exit(q->polnode, room * 8, 0x3004));
    cols->freq = static_cast<double*>(xmalloc_or_exit(q->polnode, room * 8, 0x3004));
    cols->cat = static_cast<int32_t*>(xmalloc_or_exit(q->polnode, room * 4, 0x3004));
    cols->n = c->ntot;
    cols->sorted = 0;
    for_each_page(c->xcb, c->ntot, true, [&](CRRECORD* r, int64_t n) {
        for (int64_t i = 0; i < n; ++i) {
            CRRECORD& x = r[i];
            if (mapStrata)
                x.stratum = c->isMap[static_cast<int64_t>(x.stratum)];
            if (mapGroups)
                x.group = c->igMap[static_cast<int64_t>(x.group)];
            if (numberStatus)
                x.status = numbers(x.status);
            const int64_t cell =
                static_cast<int64_t>(x.stratum) * ng + static_cast<int64_t>(x.group);
            double* m = cells + cell * width;
            m[cr_cell::RECORDS] += 1;
            if (x.time > m[cr_cell::MAXTIME])
                m[cr_cell::MAXTIME] = x.time;
            const auto category = static_cast<int32_t>(x.status);
            KORV_ASSERT(cell >= 0 && cell < ncell, "a record's count cell is one of the group's");
            KORV_ASSERT(category >= 0 && category < c->ncat,
                        "a record's status category has a count cell");
            korv_num::ExactSum* e = &sums[static_cast<size_t>(cell * (1 + c->ncat))];
            if (whole) {
                e[0].sum += x.freq;
                e[1 + category].sum += x.freq;
            } else {
                e[0].add(x.freq);
                e[1 + category].add(x.freq);
            }
            const int64_t to = next[static_cast<size_t>(cell)]++;
            cols->time[to] = x.time;
            cols->freq[to] = x.freq;
            cols->cat[to] = category;
        }
    });
    for (int64_t cell = 0; cell < ncell; ++cell) {
        double* m = cells + cell * width;
        const korv_num::ExactSum* e = &sums[static_cast<size_t>(cell * (1 + c->ncat))];
        m[cr_cell::RISK] = e[0].value();
        for (int k = 0; k < c->ncat; ++k)
            m[cr_cell::events(k)] = e[1 + k].value();
    }
    // Each cell's records fill its part of the columns, the parts tile the
    // columns, and a cell's total frequency is that of its categories.
    int64_t placed = 0;
    for (int64_t cell = 0; cell < ncell; ++cell) {
        const double* m = cells + cell * width;
        placed += static_cast<int64_t>(m[cr_cell::RECORDS]);
        KORV_ASSERT(next[static_cast<size_t>(cell)] == placed,
                    "a cell's records end where the next cell's begin");
        double byCategory = 0;
        for (int k = 0; k < c->ncat; ++k)
            byCategory += m[cr_cell::events(k)];
        KORV_ASSERT(std::fabs(byCategory - m[cr_cell::RISK]) <=
                        1e-9 * std::max(1.0, m[cr_cell::RISK]),
                    "a cell's total frequency is the sum of its categories'");
    }
    KORV_ASSERT(placed == c->ntot, "the count cells hold every record of the group");
    c->columns = cols;
}

// The cells' first record in stratum-group-time order and the total of each
// failure type; a type without events is reported.
void metaData(KORVCOM* q)
{
    CMPRISK* c = q->cmprisk;
    c->nfailed = c->ntype > 0 ? static_cast<double*>(xmalloc_or_exit(
                                    q->polnode, static_cast<int64_t>(c->ntype) * 8, 0x2000))
                              : nullptr;
    if (c->nfailed)
        std::fill(c->nfailed, c->nfailed + c->ntype, 0.0);
    if (c->meta) {
        double running = 0;
        std::vector<korv_num::ExactSum> failed(static_cast<size_t>(c->ntype));
        for (int s = 0; s < c->nStrata; ++s)
            for (int g = 0; g < c->nGroup; ++g) {
                double* m = c->meta[s][g];
                m[cr_cell::FIRST] = running;
                running += m[cr_cell::RECORDS];
                for (int k = 1; k < c->ntype; ++k)
                    failed[static_cast<size_t>(k)].add(m[cr_cell::events(k)]);
            }
        for (int k = 1; k < c->ntype; ++k)
            c->nfailed[k] = failed[static_cast<size_t>(k)].value();
        KORV_ASSERT(running == static_cast<double>(c->ntot),
                    "the count cells' records add up to the group's");
    }
    // A type without events is passed over in this group, with a warning;
    // the group's other types, and the other BY groups, are estimated,
    // printed and written as asked, so the step goes on to its end.
    const NAMESTR* nm = c->nmStatus;
    for (int k = 1; k < c->ntype; ++k)
        if (c->nfailed[k] < ZERO_FREQ) {
            xpmlog(326, msg326::CR_TYPE_NO_EVENT, nm ? static_cast<int>(nm->namelen) : 0,
                   nm ? nm->name_p : "", c->type[k]);
            q->rc = std::max(q->rc, 4);
        }
}

// Message 596: the first stratum and GROUP= level without observations.
void printNoObsLog(KORVCOM* q, STRATA* node, GRPTREE* gnode)
{
    char* label = q->label;
    int p = 0;
    const char* key = strata_key(node);
    for (int i = 0; i < q->nsvar && p < 256; ++i) {
        const SNAMESTR& s = q->sname[i];
        const NAMESTR* nm = s.nm;
        const int vl = wzstrip(key + s.posf, s.lngf);
        int n =
            xpsstr(label + p, 256 - p, "%*s%*s=%*s", i > 0 ? 1 : 0, "",
                   nm ? static_cast<int>(nm->namelen) : 0, nm ? nm->name_p : "", vl, key + s.posf);
        p += std::max(0, std::min(n, 256 - p));
    }
    int glen = 0, gstart = 0;
    const GRPVAR* g = q->grpvar;
    wzstjls(grptree_key(gnode), g->lenf, 110, &glen, &gstart);
    const NAMESTR* gnm = g->nm;
    xpmlog(326, msg326::GRAY_EMPTY_CELL, gnm ? static_cast<int>(gnm->namelen) : 0,
           gnm ? gnm->name_p : "", glen, grptree_key(gnode) + gstart, p, label);
}

} // namespace

// Whether Gray's test can be computed for the BY group: it needs the test
// table, two groups to compare, and with GROUP= within strata an observation
// in every stratum and level. A cell is empty when it has no frequency in
// any status category.
void disallowTest(KORVCOM* q)
{
    CMPRISK* c = q->cmprisk;
    c->disallow = 0;
    if (!q->HomTest)
        return;
    int message = 0;
    if (q->nsvar == 0) {
        if (c->nGroup < 2)
            message = msg326::GRAY_ONE_GROUP;
    } else if (!q->grpvar) {
        if (c->nStrata < 2)
            message = msg326::GRAY_ONE_STRATUM;
    } else if (c->nGroup < 2 || c->nStrata < 1) {
        message = msg326::GRAY_ONE_GROUP_LEVEL;
    } else {
        int s = 0;
        for (STRATA* node = q->strata; node && !c->disallow; node = node->left, ++s) {
            int g = 0;
            for (GRPTREE* gn = q->grpvar->ghead; gn; gn = gn->left, ++g) {
                const double* cell = c->meta[s][g];
                double total = 0;
                for (int k = 0; k < c->ncat; ++k)
                    total += cell[cr_cell::events(k)];
                if (total < ZERO_FREQ) {
                    printNoObsLog(q, node, gn);
                    c->disallow = 1;
                    q->rc = std::max(q->rc, 4);
                    break;
                }
            }
        }
    }
    if (message) {
        xpmlog(326, message);
        c->disallow = 1;
        q->rc = std::max(q->rc, 4);
    }
}

int korvdac(KORVCOM* q)
{
    CMPRISK* c = q->cmprisk;
    const int n = c->ntype; // the number of failure codes given
    CrPass pass(q);
    pass.begin();
    pass.read();
    pass.finishTrees();

    if (pass.infinite > 0)
        xpmlog(326, msg326::NONFINITE_TIME, static_cast<long>(pass.infinite));
    // Observations dropped for invalid values are said, as on the survival
    // road; a group without any valid observation ends here.
    if (q->strmiss > 0)
        xpmlog(326, korv_dropped_message(q, q->strmiss), static_cast<long>(q->strmiss));
    if (c->ntot == 0) {
        xpmlog(326, q->nby > 0 ? msg326::NO_VALID_OBS_GROUP : msg326::NO_VALID_DATA);
        q->rc = std::max(q->rc, 108);
        return 1;
    }

    // The failure types and the status categories.
    if (n == 0) {
        identifyEvents(q, pass.statuses);
        if (c->ntype == 1) {
            const NAMESTR* nm = c->nmStatus;
            xpmlog(326, msg326::CR_NO_EVENT, nm ? static_cast<int>(nm->namelen) : 0,
                   nm ? nm->name_p : "");
            q->rc = std::max(q->rc, 112);
            return 1;
        }
    } else {
        c->type = static_cast<double*>(
            xmalloc_or_exit(q->polnode, static_cast<int64_t>(n + 1) * sizeof(double), 0x2000));
        c->type[0] = korv_missing();
        for (int k = 0; k < n; ++k)
            c->type[k + 1] = c->failcode[k];
        c->ntype = n + 1;
        c->ncat = n + 2;
    }
    c->pval = static_cast<double*>(
        xmalloc_or_exit(q->polnode, static_cast<int64_t>(c->ntype) * sizeof(double), 0x2000));
    std::fill(c->pval, c->pval + c->ntype, 0.0);
    c->statusMap = static_cast<int*>(
        xmalloc_or_exit(q->polnode, static_cast<int64_t>(c->ncat) * sizeof(int), 0x2000));
    std::fill(c->statusMap, c->statusMap + c->ncat, 0);

    c->meta = make_meta(q, c);
    mapData(q, pass.counts);
    metaData(q);
    disallowTest(q);
    return 0;
}

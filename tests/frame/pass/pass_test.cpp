// The survival data pass on small data sets: validation and the dropped
// count, strata order and labels, GROUP= levels, record blocks of 50 and the
// reread with its rank index, sortedness, BY groups.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "host/session/session_state.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_parse.h"

namespace
{

namespace fs = std::filesystem;

// Statement records as the parser leaves them.
struct Records {
    std::vector<std::unique_ptr<STLIST[]>> fields;
    std::vector<std::vector<int>> ints;
    std::vector<std::vector<double>> dbls;
    STMT proc{}, strata{};
    Records()
    {
        fields.emplace_back(new STLIST[63]());
        proc.fld = fields.back().get();
        proc.nfld = 63;
        std::strcpy(proc.name, "KORVANTE");
        fields.emplace_back(new STLIST[21]());
        strata.fld = fields.back().get();
        strata.nfld = 21;
        std::strcpy(strata.name, "STRATA");
    }
    void vars(STMT& s, int k, std::vector<int> v, char type = STL_VARS)
    {
        ints.push_back(std::move(v));
        s.fld[k].type = type;
        s.fld[k].n = static_cast<int>(ints.back().size());
        s.fld[k].ivals = ints.back().data();
    }
    void numbers(STMT& s, int k, std::vector<double> v)
    {
        dbls.push_back(std::move(v));
        s.fld[k].type = STL_NUMBERS;
        s.fld[k].n = static_cast<int>(dbls.back().size());
        s.fld[k].dvals = dbls.back().data();
    }
};

struct Pass {
    fs::path dir;
    DSHANDLE* ds = nullptr;
    Records rec;
    KORVCOM q{};
    PROCSTR ps{};
    MYDATA md{};
    std::vector<SNAMESTR> sname;
    GRPVAR grp{};
    double censor[1] = {0};

    explicit Pass(const std::string& csv)
    {
        dir = fs::temp_directory_path() / ("korv_pass_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        std::ofstream(dir / "d.csv") << csv;
        EXPECT_EQ(vyr_dsopen_path((dir / "d.csv").string(), VYR_DS_INPUT, &ds), 0);
        q.filein = ds;
        q.stmt = &rec.proc;
        rec.proc.next = &rec.strata;
        q.ztime = 1;
        q.ninter = 10;
        *xprocanchor() = &ps;
    }
    ~Pass()
    {
        if (q.utid)
            xcclose(q.utid);
        *xprocanchor() = nullptr;
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    int var(const char* name) { return xvfind(ds, name); }
    void time(const char* t, const char* c)
    {
        rec.vars(rec.proc, 10, {var(t)});
        if (c) {
            rec.vars(rec.proc, 11, {var(c)});
            q.zevent = 1;
            q.evnum = 1;
            q.elist = censor;
        }
    }
    void strata(std::vector<const char*> names)
    {
        std::vector<int> v;
        for (auto* n : names)
            v.push_back(var(n));
        rec.vars(rec.strata, 1, v);
        q.zstrata = 1;
        q.nsvar = static_cast<int>(v.size());
        sname.assign(v.size() + 1, SNAMESTR{});
        q.sname = sname.data();
    }
    void group(const char* name)
    {
        rec.vars(rec.strata, 4, {var(name)});
        q.grpvar = &grp;
    }
    void setup()
    {
        if (q.nsvar > 0 || q.grpvar) {
            md = MYDATA{q.sname, q.grpvar, q.nsvar, q.sorder};
            ps.userptr = &md;
        }
        setin(&q);
        md.sorder = q.sorder;
        initial_housekeeping(&q);
    }
    // The strata of the current group in list order: label text of variable
    // i's formatted slot (trailing blanks removed).
    std::vector<std::string> labels(int i = 0)
    {
        std::vector<std::string> out;
        for (STRATA* s = q.strata; s; s = s->left) {
            std::string t(strata_key(s) + q.sname[i].posf, q.sname[i].lngf);
            t.erase(t.find_last_not_of(' ') + 1);
            out.push_back(t);
        }
        return out;
    }
    void end_group()
    {
        xmpoold(q.polnode);
        xmpoold(q.polwork);
        q.polnode = q.polwork = nullptr;
        xcpoint(q.utid, 0);
    }
};

} // namespace

TEST(DataPass, ValidationCountsAndCensoring)
{
    Pass p("t,c,f,w\n"
           "5,1,1,1\n"
           ".,1,1,1\n"       // missing time
           "-1,1,1,1\n"      // negative time
           "3,0,2,1\n"       // censored, frequency 2
           "4,1,0.7,1\n"     // frequency truncated to 0
           "6,.,1,1\n"       // missing censoring value
           "7,1,1,0\n"       // weight not positive
           "2.5,1,3.9,2\n"); // frequency 3
    p.time("t", "c");
    p.rec.vars(p.rec.proc, 7, {p.var("f")});
    p.q.zfreq = 1;
    p.rec.vars(p.rec.proc, 55, {p.var("w")});
    p.q.zwt = 1;
    p.setup();
    ASSERT_EQ(xbynext(p.ds), 1);
    ASSERT_EQ(korvdat(&p.q), 0);
    EXPECT_EQ(p.q.nobs, 8);
    EXPECT_EQ(p.q.strmiss, 5);
    EXPECT_EQ(korv_dropped_message(&p.q, p.q.strmiss), 541 + 2 + 4 + 8);
    ASSERT_EQ(p.q.nstrata, 1);
    STRATA* s = p.q.strata;
    EXPECT_EQ(s->nobs, 3);
    EXPECT_EQ(s->cum, 1 + 2 + 3);
    EXPECT_EQ(s->cen, 2);
    EXPECT_EQ(s->uniqcen, 1);
    EXPECT_EQ(s->cumwt, 1 + 2 + 6);
    EXPECT_EQ(s->cenwt, 2);
    EXPECT_EQ(p.q.maxobstime, 5);
    EXPECT_EQ(p.q.zsorted, 0);
    korvbeg(&p.q, s);
    EXPECT_EQ(std::vector<double>(p.q.times, p.q.times + 3), (std::vector<double>{5, 3, 2.5}));
    EXPECT_EQ(std::vector<double>(p.q.freqs, p.q.freqs + 3), (std::vector<double>{1, -2, 3}));
    EXPECT_EQ(std::vector<int64_t>(p.q.indxs, p.q.indxs + 3), (std::vector<int64_t>{3, 2, 1}));
    p.end_group();
}

TEST(DataPass, EveryValidObservationCensoredIsSaid)
{
    // The event at a missing time is no valid observation: no event is left.
    Pass p("t,c\n1,0\n2,0\n.,1\n");
    p.time("t", "c");
    p.setup();
    std::string listing, log;
    vyr::print_capture(&listing, &log);
    ASSERT_EQ(xbynext(p.ds), 1);
    EXPECT_EQ(korvdat(&p.q), 0);
    vyr::print_capture(nullptr, nullptr);
    EXPECT_NE(log.find("WARNING: No observation is an event: every observation has a censoring "
                       "value of c (0)"),
              std::string::npos)
        << log;
    p.end_group();
}

TEST(DataPass, IntervalStrataOrderLabelsAndMissing)
{
    // Cut points 20 10 (given descending) on a numeric variable; the value
    // that is missing is kept only with MISSING.
    std::string csv = "t,age\n";
    for (double a : {5.0, 10.0, 15.0, 25.0, -1.0})
        csv += "1," + (a < 0 ? std::string(".") : std::to_string(a)) + "\n";
    for (int missing = 0; missing < 2; ++missing) {
        Pass p(csv);
        p.time("t", nullptr);
        p.strata({"age"});
        p.rec.numbers(p.rec.strata, 2, {20, 10});
        p.rec.vars(p.rec.strata, 3, {1, 2}, STL_POSITIONS);
        p.q.zmissing = static_cast<char>(missing);
        p.setup();
        EXPECT_EQ(p.q.sname[0].nfl, 0);
        EXPECT_EQ(p.q.sname[0].cutpoint[0], 10);
        ASSERT_EQ(xbynext(p.ds), 1);
        ASSERT_EQ(korvdat(&p.q), 0);
        std::vector<std::string> want = {" <    10", "      15", ">=    20"};
        if (missing)
            want.insert(want.begin(), ".");
        EXPECT_EQ(p.labels(), want);
        EXPECT_EQ(p.q.strmiss, missing ? 0 : 1);
        std::vector<int64_t> n;
        for (STRATA* s = p.q.strata; s; s = s->left)
            n.push_back(s->nobs);
        EXPECT_EQ(n,
                  missing ? (std::vector<int64_t>{1, 1, 2, 1}) : (std::vector<int64_t>{1, 2, 1}));
        p.end_group();
    }
}

TEST(DataPass, CharacterStrataAndGroupLevels)
{
    Pass p("t,c,sex,arm\n"
           "1,1,M,b\n"
           "2,1,F,a\n"
           "3,0,M,a\n"
           "4,1, ,a\n"   // missing strata value
           "5,1,F, \n"); // missing group value
    p.time("t", "c");
    p.strata({"sex"});
    p.group("arm");
    p.setup();
    ASSERT_EQ(xbynext(p.ds), 1);
    ASSERT_EQ(korvdat(&p.q), 0);
    EXPECT_EQ(p.labels(), (std::vector<std::string>{"F", "M"}));
    EXPECT_EQ(p.q.strmiss, 2);
    // Group levels in key order, indexes in order of first appearance.
    std::vector<std::string> lv;
    std::vector<int> idx;
    for (GRPTREE* g = p.grp.ghead; g; g = g->left) {
        lv.emplace_back(grptree_key(g), 1);
        idx.push_back(g->index);
    }
    EXPECT_EQ(lv, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(idx, (std::vector<int>{1, 0}));
    // The GROUP= value buffer of a one-byte character variable is not read
    // past its length.
    EXPECT_EQ(p.grp.lenu, 1);
    p.end_group();
}

TEST(DataPass, TheGroupVariableAsAStrataVariableNeedsCutPoints)
{
    // As a STRATA variable of its own every stratum holds one level of x:
    // refused (2000). Cut at 2.5, a stratum holds several levels: accepted.
    const std::string csv = "t,c,x\n1,1,1\n2,0,1\n3,1,2\n4,1,3\n";
    for (bool cut : {false, true}) {
        Pass p(csv);
        p.time("t", "c");
        p.strata({"x"});
        if (cut) {
            p.rec.numbers(p.rec.strata, 2, {2.5});
            p.rec.vars(p.rec.strata, 3, {1, 1}, STL_POSITIONS);
        }
        p.group("x");
        std::string listing, log;
        vyr::print_capture(&listing, &log);
        int code = 0;
        try {
            p.setup();
        } catch (const vyr::StepExit& e) {
            code = e.code;
        }
        vyr::print_capture(nullptr, nullptr);
        EXPECT_EQ(code, cut ? 0 : 2000);
        EXPECT_EQ(log.find("ERROR: The variable x is both a STRATA variable") == std::string::npos,
                  cut)
            << log;
    }
}

TEST(DataPass, BlocksOf50AndSortedRanking)
{
    // 120 records in time order in one stratum and 51 in another: blocks
    // are written when full and at the end, and reread whole.
    std::string csv = "t,c,s\n";
    for (int i = 0; i < 120; ++i)
        csv += std::to_string(i / 2) + "," + std::to_string(i % 3 == 0 ? 0 : 1) + ",1\n";
    for (int i = 0; i < 51; ++i)
        csv += std::to_string(i) + ",1,2\n";
    Pass p(csv);
    p.time("t", "c");
    p.strata({"s"});
    p.setup();
    ASSERT_EQ(xbynext(p.ds), 1);
    ASSERT_EQ(korvdat(&p.q), 0);
    ASSERT_EQ(p.q.nstrata, 2);
    EXPECT_EQ(p.q.maxnobs, 120);
    STRATA* s1 = p.q.strata;
    // Within each time, pairs (censored, event) or (event, event): the
    // censored record at i % 3 == 0 sometimes precedes an event at the same
    // time, so the data do not count as sorted.
    EXPECT_EQ(p.q.zsorted, 0);
    korvbeg(&p.q, s1);
    for (int i = 0; i < 120; ++i) {
        ASSERT_EQ(p.q.times[i], i / 2) << i;
        ASSERT_EQ(p.q.freqs[i], i % 3 == 0 ? -1 : 1) << i;
    }
    std::vector<int64_t> ref(120), link(120);
    korv_rank_with_links(p.q.times, p.q.freqs, ref.data(), 120, link.data());
    EXPECT_EQ(std::vector<int64_t>(p.q.indxs, p.q.indxs + 120), ref);
    STRATA* s2 = s1->left;
    korvbeg(&p.q, s2);
    EXPECT_EQ(s2->nobs, 51);
    EXPECT_EQ(p.q.times[50], 50);
    EXPECT_EQ(p.q.stratumno, 2);
    p.end_group();
}

TEST(DataPass, SortedInputKeepsStoredOrderAndByGroupsReset)
{
    // Two BY groups read as consecutive passes of the same data set.
    Pass p("g,t,c\n1,1,1\n1,2,0\n1,2,1\n2,7,1\n2,8,1\n");
    int by = p.var("g");
    ASSERT_EQ(xbyset(p.ds, &by, nullptr, 1, false), 0);
    p.time("t", "c");
    p.setup();
    ASSERT_EQ(xbynext(p.ds), 1);
    p.q.zby = 1;
    ASSERT_EQ(korvdat(&p.q), 0);
    // A censored record before an event at the same time: not sorted.
    EXPECT_EQ(p.q.zsorted, 0);
    EXPECT_EQ(p.q.maxobstime, 2);
    p.end_group();
    ASSERT_EQ(xbynext(p.ds), 1);
    p.q.zby = 0;
    p.q.tmin = 123;
    ASSERT_EQ(korvdat(&p.q), 0);
    EXPECT_EQ(p.q.zsorted, 1);
    EXPECT_EQ(p.q.nobs, 2);
    EXPECT_EQ(p.q.maxobstime, 8);
    EXPECT_GT(p.q.tmin, 1e300); // reset in every group
    korvbeg(&p.q, p.q.strata);
    EXPECT_EQ(std::vector<int64_t>(p.q.indxs, p.q.indxs + 2), (std::vector<int64_t>{1, 2}));
    p.end_group();
    EXPECT_EQ(xbynext(p.ds), 0);
}

TEST(DataPass, NoValidObservation)
{
    Pass p("t,c\n-1,1\n.,1\n");
    p.time("t", "c");
    p.setup();
    ASSERT_EQ(xbynext(p.ds), 1);
    EXPECT_EQ(korvdat(&p.q), 1);
    EXPECT_GE(p.q.rc, 108);
    EXPECT_EQ(p.q.strmiss, 2);
    p.end_group();
}

TEST(DataPass, LifeTableIntervalsPerGroup)
{
    // NINTERVAL=10 is applied to every BY group, not the previous group's count.
    Pass p("g,t\n1,37\n2,100\n");
    int by = p.var("g");
    ASSERT_EQ(xbyset(p.ds, &by, nullptr, 1, false), 0);
    p.time("t", nullptr);
    p.q.method = 1;
    p.setup();
    ASSERT_EQ(xbynext(p.ds), 1);
    ASSERT_EQ(korvdat(&p.q), 0);
    EXPECT_EQ(p.q.ninter, 10);
    EXPECT_EQ(p.q.width, 5);
    EXPECT_EQ(p.q.tmin, 5);
    p.end_group();
    ASSERT_EQ(xbynext(p.ds), 1);
    ASSERT_EQ(korvdat(&p.q), 0);
    EXPECT_EQ(p.q.ninter, 10);
    EXPECT_EQ(p.q.width, 20);
    EXPECT_EQ(p.q.interval[9], 180);
    p.end_group();
}

TEST(DataPass, IntervalsWithoutPositiveBoundaryAndRunawayWidth)
{
    // A boundary list holding only 0 is refused instead of reading past it.
    Pass p("t\n1\n2\n");
    p.time("t", nullptr);
    p.q.method = 1;
    double only0[2] = {0, 0};
    p.q.zinter = 1;
    p.q.interval = only0;
    p.q.ninter = 1;
    p.setup();
    ASSERT_EQ(xbynext(p.ds), 1);
    EXPECT_EQ(korvdat(&p.q), 1);
    EXPECT_GE(p.q.rc, 2000);
    p.end_group();
}

TEST(DataPass, TinyWidthIsRefused)
{
    Pass p("t\n1\n2000\n");
    p.time("t", nullptr);
    p.q.method = 1;
    p.q.zwidth = 1;
    p.q.width = 1e-9;
    p.setup();
    ASSERT_EQ(xbynext(p.ds), 1);
    EXPECT_EQ(korvdat(&p.q), 1);
    EXPECT_GE(p.q.rc, 2000);
    p.end_group();
}

TEST(DataPass, FrequencyAboveTheLargestExactCountIsRefused)
{
    // Up to 2^53 a frequency is a count held exactly and is kept; above it
    // sums of frequencies stop being counts, so the step stops (2000).
    for (const char* big : {"9007199254740992", "9007199254740994", "1e19"}) {
        SCOPED_TRACE(big);
        Pass p(std::string("t,c,f\n1,1,1\n2,0,") + big + "\n2,1,1\n");
        p.time("t", "c");
        p.rec.vars(p.rec.proc, 7, {p.var("f")});
        p.q.zfreq = 1;
        p.setup();
        ASSERT_EQ(xbynext(p.ds), 1);
        const double f = std::strtod(big, nullptr);
        int code = 0;
        try {
            korvdat(&p.q);
        } catch (const vyr::StepExit& e) {
            code = e.code;
        }
        if (f <= 9007199254740992.0) {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(p.q.strata->cen, f);
            p.end_group();
        } else {
            EXPECT_EQ(code, 2000);
            EXPECT_EQ(p.q.strata, nullptr);
        }
    }
}

TEST(DataPass, IdValuesComeBackWithTheirRecords)
{
    // 60 records (two blocks) with a character ID and a numeric ID.
    std::string csv = "t,c,name,k\n";
    for (int i = 0; i < 60; ++i) {
        char nm[4];
        std::snprintf(nm, sizeof nm, "a%02d", i);
        csv += std::to_string(60 - i) + ",1," + nm + "," + std::to_string(i) + "\n";
    }
    Pass p(csv);
    p.time("t", "c");
    p.rec.vars(p.rec.proc, 9, {p.var("name"), p.var("k")});
    p.q.nid = 2;
    p.setup();
    const int nl = vyr_namestr_length(*xvname(p.ds, p.var("name")));
    EXPECT_EQ(p.q.idlen, nl + 8);
    ASSERT_EQ(xbynext(p.ds), 1);
    ASSERT_EQ(korvdat(&p.q), 0);
    korvbeg(&p.q, p.q.strata);
    for (int i = 0; i < 60; ++i) {
        char nm[4];
        std::snprintf(nm, sizeof nm, "a%02d", i);
        const char* rec = p.q.ids + i * p.q.idlen;
        ASSERT_EQ(std::string(rec, 3), nm) << i;
        double k;
        std::memcpy(&k, rec + nl, 8);
        ASSERT_EQ(k, i);
        ASSERT_EQ(p.q.times[i], 60 - i);
    }
    // Reverse time order: ranked by the sort, the last record first.
    EXPECT_EQ(p.q.zsorted, 0);
    EXPECT_EQ(p.q.indxs[0], 60);
    EXPECT_EQ(p.q.indxs[59], 1);
    p.end_group();
}

namespace
{

// What a pass over the current BY group left: per stratum its label, counts
// and records reread (record order, rank index, rank-order copies, the
// counts per distinct time); and the group's totals.
std::string pass_summary(Pass& p)
{
    std::string out = "nobs " + std::to_string(p.q.nobs) + " dropped " +
                      std::to_string(p.q.strmiss) + " strata " + std::to_string(p.q.nstrata) +
                      " sorted " + std::to_string(p.q.zsorted) + "\n";
    char buf[128];
    for (STRATA* s = p.q.strata; s; s = s->left) {
        out.append(strata_key(s), static_cast<size_t>(p.q.slenf + p.q.slenu));
        std::snprintf(buf, sizeof buf, " n=%lld cum=%.17g cen=%.17g\n",
                      static_cast<long long>(s->nobs), s->cum, s->cen);
        out += buf;
        korvbeg(&p.q, s);
        for (int64_t j = 0; j < s->nobs; ++j) {
            std::snprintf(buf, sizeof buf, "%.17g %.17g %lld %.17g %.17g\n", p.q.times[j],
                          p.q.freqs[j], static_cast<long long>(p.q.indxs[j]), p.q.rtimes[j],
                          p.q.rfreqs[j]);
            out += buf;
        }
        if (s->tally)
            for (int64_t d = 0; d < s->tally->n; ++d) {
                std::snprintf(buf, sizeof buf, "tally %.17g %.17g %.17g\n", s->tally->time[d],
                              s->tally->events[d], s->tally->censored[d]);
                out += buf;
            }
    }
    return out;
}

} // namespace

namespace
{

// The records of a stratum as the later stages read them back: every block
// through its chain of positions (times, signed frequencies, weights, GROUP=
// levels), the used part of each.
std::string stratum_records(Pass& p, STRATA* s)
{
    std::string out;
    char buf[160];
    XCFILE* f = p.q.utid;
    std::vector<double> t(50), fr(50), w(50);
    std::vector<int> g(50);
    int64_t k = 0;
    for (NOTESTR* e = s->note; e && k < s->nobs; e = e->next, k += 50) {
        EXPECT_EQ(xcpntd(f, e->notet), 0);
        EXPECT_EQ(xcread(f, t.data(), 400), 0);
        EXPECT_EQ(xcpntd(f, e->notef), 0);
        EXPECT_EQ(xcread(f, fr.data(), 400), 0);
        if (p.q.zwt) {
            EXPECT_EQ(xcpntd(f, e->notew), 0);
            EXPECT_EQ(xcread(f, w.data(), 400), 0);
        }
        if (p.q.grpvar) {
            EXPECT_EQ(xcpntd(f, e->noteg), 0);
            EXPECT_EQ(xcread(f, g.data(), 200), 0);
        }
        for (int64_t j = 0; j < 50 && k + j < s->nobs; ++j) {
            std::snprintf(buf, sizeof buf, "%.17g %.17g %.17g %d\n", t[j], fr[j],
                          p.q.zwt ? w[j] : 0.0, p.q.grpvar ? g[j] : 0);
            out += buf;
        }
    }
    return out;
}

// The strata, sums, records and GROUP= levels a pass over the current BY
// group left, with the group's counts.
std::string full_summary(Pass& p)
{
    std::string out = "nobs " + std::to_string(p.q.nobs) + " dropped " +
                      std::to_string(p.q.strmiss) + " strata " + std::to_string(p.q.nstrata) +
                      " sorted " + std::to_string(p.q.zsorted) + "\n";
    char buf[256];
    std::snprintf(buf, sizeof buf, "max %.17g\n", p.q.maxobstime);
    out += buf;
    for (STRATA* s = p.q.strata; s; s = s->left) {
        out.append(strata_key(s), static_cast<size_t>(p.q.slenf + p.q.slenu));
        std::snprintf(buf, sizeof buf,
                      " n=%lld cum=%.17g cen=%.17g uniq=%lld wt=%.17g wt2=%.17g cenwt=%.17g "
                      "last=%.17g sign=%lld\n",
                      static_cast<long long>(s->nobs), s->cum, s->cen,
                      static_cast<long long>(s->uniqcen), s->cumwt, s->cumwt2, s->cenwt, s->mean,
                      static_cast<long long>(s->fail));
        out += buf;
        out += stratum_records(p, s);
    }
    if (p.q.grpvar)
        for (GRPTREE* g = p.grp.ghead; g; g = g->left) {
            out.append(grptree_key(g), static_cast<size_t>(p.grp.lenf + p.grp.lenu));
            out += " level " + std::to_string(g->index) + "\n";
        }
    return out;
}

} // namespace

TEST(DataPass, BlockReadsFindWhatRowReadsFind)
{
    // Two BY groups of mixed rows: character and numeric strata and GROUP=
    // values (a blank, a missing number, a NaN), invalid times, frequencies
    // and weights, ties. Read in blocks (in one range of rows, in many, and
    // with records that do not fit in the utility file's memory) and row by
    // row through the fetch vector, every group has the same strata, sums,
    // records and GROUP= levels, in the same order.
    std::string csv = "b,t,c,f,w,sex,age,arm,dose\n";
    const char* sexes[] = {"M", "F", " ", "F "};
    const char* ages[] = {"40", "55.5", ".", "NaN", "40.0"};
    const char* arms[] = {"x", "y", " ", "zz", "y "};
    const char* doses[] = {"1", "2.5", ".", "NaN", "0"};
    unsigned s = 7;
    auto next = [&s] { return s = s * 1103515245u + 12345u, (s >> 8) % 1000; };
    for (int b = 1; b <= 2; ++b)
        for (int i = 0; i < 9000; ++i) {
            const unsigned r = next();
            const std::string t = r % 97 == 0 ? "." : std::to_string(1 + next() % 40);
            const std::string f = r % 89 == 0 ? "0" : std::to_string(1 + next() % 3);
            const std::string w = r % 83 == 0 ? "-1" : std::to_string(0.5 + next() % 7 / 3.0);
            csv += std::to_string(b) + "," + t + "," + std::to_string(next() % 3 == 0 ? 0 : 1) +
                   "," + f + "," + w + "," + sexes[next() % 4] + "," + ages[next() % 5] + "," +
                   arms[next() % 5] + "," + doses[next() % 5] + "\n";
        }
    struct Case {
        std::vector<const char*> strata;
        const char* group;
        bool weight;
        bool missing;
    };
    const std::vector<Case> cases = {
        {{"sex", "age"}, nullptr, false, false}, {{"age"}, "arm", true, false},
        {{"sex"}, "dose", false, false},         {{}, "arm", true, false},
        {{"sex", "age"}, "arm", false, true},    {{}, nullptr, true, false},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const char* v : c.strata)
            trace += std::string(v) + " ";
        trace += std::string("group=") + (c.group ? c.group : "-") + (c.weight ? " weight" : "") +
                 (c.missing ? " missing" : "");
        SCOPED_TRACE(trace);
        std::vector<std::string> runs;
        // Rows in blocks: one range, ranges of 700 rows, records that the
        // utility file cannot hold in memory; then row by row.
        for (int road = 0; road < 4; ++road) {
            korv_data_pass_blocks(road < 3);
            korv_data_pass_range_rows(road == 1 ? 700 : 1L << 15);
            if (road == 2)
                xcsetspill(4096);
            Pass p(csv);
            int by = p.var("b");
            ASSERT_EQ(xbyset(p.ds, &by, nullptr, 1, false), 0);
            p.time("t", "c");
            p.rec.vars(p.rec.proc, 7, {p.var("f")});
            p.q.zfreq = 1;
            if (c.weight) {
                p.rec.vars(p.rec.proc, 55, {p.var("w")});
                p.q.zwt = 1;
            }
            if (!c.strata.empty())
                p.strata(c.strata);
            if (c.group)
                p.group(c.group);
            p.q.zmissing = c.missing ? 1 : 0;
            p.setup();
            std::string all;
            while (xbynext(p.ds) == 1) {
                ASSERT_EQ(korvdat(&p.q), 0);
                all += full_summary(p);
                p.end_group();
            }
            xcsetspill(64L * 1024 * 1024);
            runs.push_back(all);
        }
        korv_data_pass_blocks(true);
        korv_data_pass_range_rows(1L << 15);
        EXPECT_GT(runs[3].size(), 9000u);
        EXPECT_EQ(runs[0], runs[3]);
        EXPECT_EQ(runs[1], runs[3]);
        EXPECT_EQ(runs[2], runs[3]);
    }
}

TEST(DataPass, BlockReadsOfManyRangesKeepPassSummaries)
{
    // The records reread and ranked, and their counts per distinct time, as
    // before, whether the rows were checked in one range or in many.
    std::string csv = "t,c,g\n";
    for (int i = 0; i < 5000; ++i)
        csv += std::to_string(1 + (i * 7919) % 300) + "," + std::to_string(i % 4 != 0) + "," +
               std::string(1, static_cast<char>('a' + i % 3)) + "\n";
    std::vector<std::string> runs;
    for (long rows : {1L << 15, 333L}) {
        korv_data_pass_range_rows(rows);
        Pass p(csv);
        p.time("t", "c");
        p.strata({"g"});
        p.setup();
        ASSERT_EQ(xbynext(p.ds), 1);
        ASSERT_EQ(korvdat(&p.q), 0);
        runs.push_back(pass_summary(p));
        p.end_group();
    }
    korv_data_pass_range_rows(1L << 15);
    EXPECT_EQ(runs[0], runs[1]);
}

TEST(DataPass, BlockReadsNameTheFirstTooLargeFrequencyOfAnyRange)
{
    // Rows checked in ranges of 100: the step stops at the first row whose
    // frequency is too large, in row order, not at the first range to find
    // one; a row dropped for a blank GROUP= value is not named.
    std::string csv = "t,c,f,g\n";
    for (int i = 1; i <= 1000; ++i) {
        const bool large = i == 150 || i == 420 || i == 777;
        csv += "1,1," + std::string(large ? "1e17" : "1") + "," + (i == 150 ? " " : "a") + "\n";
    }
    korv_data_pass_range_rows(100);
    Pass p(csv);
    p.time("t", "c");
    p.rec.vars(p.rec.proc, 7, {p.var("f")});
    p.q.zfreq = 1;
    p.group("g");
    p.setup();
    std::string listing, log;
    vyr::print_capture(&listing, &log);
    int code = 0;
    ASSERT_EQ(xbynext(p.ds), 1);
    try {
        korvdat(&p.q);
    } catch (const vyr::StepExit& e) {
        code = e.code;
    }
    vyr::print_capture(nullptr, nullptr);
    korv_data_pass_range_rows(1L << 15);
    EXPECT_EQ(code, 2000);
    EXPECT_NE(log.find("observation 420"), std::string::npos) << log;
}

TEST(DataPass, BlockReadsNameTheObservationOfATooLargeFrequency)
{
    // The observation named is the data set's, after a first BY group.
    std::string csv = "b,t,c,f\n";
    for (int i = 0; i < 5000; ++i)
        csv += "1,1,1,1\n";
    for (int i = 0; i < 4500; ++i)
        csv += "2,1,1,1\n";
    csv += "2,3,1,1e17\n";
    Pass p(csv);
    int by = p.var("b");
    ASSERT_EQ(xbyset(p.ds, &by, nullptr, 1, false), 0);
    p.time("t", "c");
    p.rec.vars(p.rec.proc, 7, {p.var("f")});
    p.q.zfreq = 1;
    p.setup();
    std::string listing, log;
    vyr::print_capture(&listing, &log);
    int code = 0;
    ASSERT_EQ(xbynext(p.ds), 1);
    EXPECT_EQ(korvdat(&p.q), 0);
    p.end_group();
    ASSERT_EQ(xbynext(p.ds), 1);
    try {
        korvdat(&p.q);
    } catch (const vyr::StepExit& e) {
        code = e.code;
    }
    vyr::print_capture(nullptr, nullptr);
    EXPECT_EQ(code, 2000);
    EXPECT_NE(log.find("observation 9501"), std::string::npos) << log;
}

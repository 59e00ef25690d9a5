// The competing-risks data pass on small data sets: validation, failure
// types and status categories, strata and group maps, the records in the
// paged record store, the count cells, and whether Gray's test can run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/stages.h"
#include "common/statement.h"
#include "frame/frame.h"
#include "host/session/session_state.h"
#include "results/results.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "vyr_data.h"
#include "vyr_files.h"
#include "vyr_host.h"
#include "vyr_output.h"
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
    void vars(STMT& s, int k, std::vector<int> v)
    {
        ints.push_back(std::move(v));
        s.fld[k].type = STL_VARS;
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

// One step's set-up on a data set, for the competing-risks road.
struct Dac {
    fs::path dir;
    DSHANDLE* ds = nullptr;
    Records rec;
    KORVCOM q{};
    CMPRISK cmp{};
    PROCSTR ps{};
    MYDATA md{};
    std::vector<SNAMESTR> sname;
    GRPVAR grp{};
    std::vector<double> censor = {0};
    std::vector<double> codes;

    explicit Dac(const std::string& csv)
    {
        dir = fs::temp_directory_path() / ("korv_dac_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        std::ofstream(dir / "d.csv") << csv;
        EXPECT_EQ(vyr_dsopen_path((dir / "d.csv").string(), VYR_DS_INPUT, &ds), 0);
        q.filein = ds;
        q.stmt = &rec.proc;
        rec.proc.next = &rec.strata;
        q.ztime = 1;
        q.ninter = 10;
        q.cmprisk = &cmp;
        *xprocanchor() = &ps;
    }
    ~Dac()
    {
        if (q.polnode)
            xmpoold(q.polnode);
        if (q.utid)
            xcclose(q.utid);
        if (cmp.xcb && cmp.xcb->fileptr)
            xcbclose(cmp.xcb->fileptr);
        *xprocanchor() = nullptr;
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    int var(const char* name) { return xvfind(ds, name); }
    // TIME t*status(censoring values) / FAILCODE=codes.
    void time(const char* t, const char* status, std::vector<double> failcodes = {},
              std::vector<double> censoring = {0})
    {
        rec.vars(rec.proc, proc_field::TIME, {var(t)});
        rec.vars(rec.proc, proc_field::CENSOR, {var(status)});
        q.zevent = 1;
        censor = std::move(censoring);
        q.evnum = static_cast<int>(censor.size());
        q.elist = censor.data();
        codes = std::move(failcodes);
        cmp.nFailcode = static_cast<int>(codes.size());
        cmp.failcode = codes.empty() ? nullptr : codes.data();
        cmp.nmStatus = xvname(ds, var(status));
    }
    void freq(const char* f)
    {
        rec.vars(rec.proc, proc_field::FREQ, {var(f)});
        q.zfreq = 1;
    }
    void strata(std::vector<const char*> names)
    {
        std::vector<int> v;
        for (auto* n : names)
            v.push_back(var(n));
        rec.vars(rec.strata, strata_field::VARIABLES, v);
        q.zstrata = 1;
        q.nsvar = static_cast<int>(v.size());
        sname.assign(v.size() + 1, SNAMESTR{});
        q.sname = sname.data();
    }
    void group(const char* name)
    {
        rec.vars(rec.strata, strata_field::GROUP, {var(name)});
        q.grpvar = &grp;
    }
    void setup(bool smallPages = false)
    {
        if (q.nsvar > 0 || q.grpvar) {
            md = MYDATA{q.sname, q.grpvar, q.nsvar, q.sorder};
            ps.userptr = &md;
        }
        setin(&q);
        md.sorder = q.sorder;
        cmp.xcbminopt = smallPages;
        initial_housekeeping(&q);
    }
    // The pass over the first BY group.
    int pass()
    {
        EXPECT_EQ(xbynext(ds), 1);
        cmp.ntype = cmp.nFailcode;
        return korvdac(&q);
    }
    // The records in the store, in input order.
    std::vector<CRRECORD> records()
    {
        std::vector<CRRECORD> out;
        XCBSTR* s = cmp.xcb;
        for (int64_t i = 0; i < cmp.ntot; ++i) {
            const long page = static_cast<long>(i / s->nrpp) + 1;
            char* p = nullptr;
            EXPECT_EQ(xcbgetp(s->fileptr, page, 0, &p), 0);
            CRRECORD r;
            std::memcpy(&r, p + (i % s->nrpp) * sizeof(CRRECORD), sizeof r);
            xcbmlok(s->fileptr, page);
            out.push_back(r);
        }
        return out;
    }
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
};

std::vector<double> field(const std::vector<CRRECORD>& r, double CRRECORD::*f)
{
    std::vector<double> out;
    for (const CRRECORD& x : r)
        out.push_back(x.*f);
    return out;
}

} // namespace

TEST(CrPass, FailureCodesGiveTheCategories)
{
    // FAILCODE=1 with censoring value 0: status 2 is an event of a type not
    // asked for, always competing; a status that is missing is dropped.
    Dac d("t,s\n1,1\n2,2\n3,0\n4,1\n5,.\n0,2\n");
    d.time("t", "s", {1});
    d.setup();
    ASSERT_EQ(d.pass(), 0);
    EXPECT_EQ(d.cmp.ntype, 2);
    EXPECT_EQ(d.cmp.ncat, 3);
    EXPECT_TRUE(wzmis(d.cmp.type[0]));
    EXPECT_EQ(d.cmp.type[1], 1);
    EXPECT_EQ(d.cmp.ntot, 5);
    EXPECT_EQ(d.q.strmiss, 1);
    const auto r = d.records();
    EXPECT_EQ(field(r, &CRRECORD::status), (std::vector<double>{1, 2, 0, 1, 2}));
    // Time 0 is valid; without STRATA and GROUP= every record is in cell (0, 0).
    EXPECT_EQ(field(r, &CRRECORD::time), (std::vector<double>{1, 2, 3, 4, 0}));
    EXPECT_EQ(field(r, &CRRECORD::stratum), (std::vector<double>(5, 0)));
    EXPECT_EQ(field(r, &CRRECORD::group), (std::vector<double>(5, 0)));
    EXPECT_EQ(d.cmp.nStrata, 1);
    EXPECT_EQ(d.cmp.nGroup, 1);
    EXPECT_EQ(d.cmp.nfailed[1], 2);
    // The count cell: records, total frequency, largest time, categories.
    const double* m = d.cmp.meta[0][0];
    EXPECT_EQ(m[0], 0);
    EXPECT_EQ(m[1], 5);
    EXPECT_EQ(m[2], 5);
    EXPECT_EQ(m[3], 4);
    EXPECT_EQ(m[4], 1);
    EXPECT_EQ(m[5], 2);
    EXPECT_EQ(m[6], 2);
}

TEST(CrPass, WithoutFailureCodesEveryEventValueIsAType)
{
    // Statuses 5 and 3 with censoring value 0: types {3, 5}.
    Dac d("t,s\n1,5\n2,3\n3,0\n4,5\n");
    d.time("t", "s");
    d.setup();
    ASSERT_EQ(d.pass(), 0);
    EXPECT_EQ(d.cmp.ntype, 3);
    EXPECT_EQ(d.cmp.ncat, 3);
    EXPECT_EQ(d.cmp.type[1], 3);
    EXPECT_EQ(d.cmp.type[2], 5);
    EXPECT_EQ(field(d.records(), &CRRECORD::status), (std::vector<double>{2, 1, 0, 2}));
    EXPECT_EQ(d.cmp.nfailed[1], 1);
    EXPECT_EQ(d.cmp.nfailed[2], 2);
}

TEST(CrPass, GroupsWithoutAnEventEndOrAreReported)
{
    {
        // Every status a censoring value: nothing to analyse (rc 112).
        Dac d("t,s\n1,0\n2,0\n");
        d.time("t", "s");
        d.setup();
        EXPECT_EQ(d.pass(), 1);
        EXPECT_GE(d.q.rc, 112);
    }
    {
        // FAILCODE=1 and no status 1: a warning (rc 4), and the pass goes on;
        // the type is passed over, and nothing else of the step is lost.
        Dac d("t,s\n1,2\n2,0\n");
        d.time("t", "s", {1});
        d.setup();
        EXPECT_EQ(d.pass(), 0);
        EXPECT_EQ(d.q.rc, 4);
        EXPECT_EQ(d.cmp.nfailed[1], 0);
    }
    {
        // No valid observation at all: the group ends (rc 108), which the
        // pass's description leaves to a later failure.
        Dac d("t,s\n-1,1\n.,2\n");
        d.time("t", "s", {1});
        d.setup();
        EXPECT_EQ(d.pass(), 1);
        EXPECT_GE(d.q.rc, 108);
        EXPECT_EQ(d.q.strmiss, 2);
    }
}

TEST(CrPass, FrequenciesTruncatedUnlessNotruncate)
{
    for (int notrunc = 0; notrunc < 2; ++notrunc) {
        SCOPED_TRACE(notrunc);
        Dac d("t,s,f\n1,1,2.7\n2,1,0.4\n3,0,1\n");
        d.time("t", "s", {1});
        d.freq("f");
        d.q.znotrunc = static_cast<char>(notrunc);
        d.setup();
        ASSERT_EQ(d.pass(), 0);
        if (notrunc)
            EXPECT_EQ(field(d.records(), &CRRECORD::freq), (std::vector<double>{2.7, 0.4, 1}));
        else
            EXPECT_EQ(field(d.records(), &CRRECORD::freq), (std::vector<double>{2, 1}));
        EXPECT_EQ(d.q.strmiss, notrunc ? 0 : 1);
    }
}

TEST(CrPass, StrataAndGroupsMappedToKeyOrder)
{
    // Strata B then A, groups y then x: after mapping A and x are 0.
    Dac d("t,s,st,g\n1,1,B,y\n2,0,A,x\n3,1,B,x\n4,2,A,y\n5,1, ,x\n");
    d.time("t", "s", {1, 2});
    d.strata({"st"});
    d.group("g");
    d.setup();
    ASSERT_EQ(d.pass(), 0);
    EXPECT_EQ(d.labels(), (std::vector<std::string>{"A", "B"}));
    const auto r = d.records();
    // The blank stratum value is dropped without MISSING.
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(field(r, &CRRECORD::stratum), (std::vector<double>{1, 0, 1, 0}));
    EXPECT_EQ(field(r, &CRRECORD::group), (std::vector<double>{1, 0, 0, 1}));
    EXPECT_EQ(d.cmp.nStrata, 2);
    EXPECT_EQ(d.cmp.nGroup, 2);
    // Cells stratum by stratum, group by group: [0] the first record in
    // that order.
    EXPECT_EQ(d.cmp.meta[0][0][0], 0);
    EXPECT_EQ(d.cmp.meta[0][1][0], 1);
    EXPECT_EQ(d.cmp.meta[1][0][0], 2);
    EXPECT_EQ(d.cmp.meta[1][1][0], 3);
    EXPECT_EQ(d.cmp.meta[1][1][4 + 1], 1); // B, y: one event of code 1
}

TEST(CrPass, MissingStratumValueFormsAStratumWithMissing)
{
    Dac d("t,s,st\n1,1,B\n2,0, \n3,1,A\n");
    d.time("t", "s", {1});
    d.strata({"st"});
    d.q.zmissing = 1;
    d.setup();
    ASSERT_EQ(d.pass(), 0);
    EXPECT_EQ(d.cmp.nStrata, 3);
    EXPECT_EQ(d.cmp.ntot, 3);
}

TEST(CrPass, IntervalStrataFromCutPoints)
{
    Dac d("t,s,age\n1,1,5\n2,1,10\n3,0,15\n4,2,25\n");
    d.time("t", "s", {1});
    d.strata({"age"});
    d.rec.numbers(d.rec.strata, strata_field::CUT_POINTS, {20, 10});
    d.rec.vars(d.rec.strata, strata_field::CUT_MARKS, {1, 2});
    d.setup();
    ASSERT_EQ(d.pass(), 0);
    EXPECT_EQ(d.labels(), (std::vector<std::string>{" <    10", "      15", ">=    20"}));
    EXPECT_EQ(field(d.records(), &CRRECORD::stratum), (std::vector<double>{0, 1, 1, 2}));
    // The representative values: just below the first cut point, the middle
    // of an inner interval, the last cut point.
    std::vector<double> rep;
    for (STRATA* s = d.q.strata; s; s = s->left)
        rep.push_back(read_double(strata_key(s) + d.q.sname[0].posu));
    EXPECT_EQ(rep, (std::vector<double>{std::nextafter(10.0, 0.0), 15, 20}));
}

TEST(CrPass, FormattedKeysAsTheFetchDeliversThem)
{
    // A numeric GROUP= variable without a format compares by its BEST12.
    // text, and a character STRATA value by its text.
    Dac d("t,s,g,st\n1,1,2.5,lo\n2,1,10,hi\n3,0,2.5,lo\n");
    d.time("t", "s", {1});
    d.strata({"st"});
    d.group("g");
    d.setup();
    ASSERT_EQ(d.pass(), 0);
    std::vector<std::string> groups;
    for (GRPTREE* g = d.grp.ghead; g; g = g->left) {
        std::string t(grptree_key(g), static_cast<size_t>(d.grp.lenf));
        groups.push_back(t.substr(t.find_first_not_of(' ')));
    }
    for (std::string& t : groups)
        t.erase(t.find_last_not_of(' ') + 1);
    EXPECT_EQ(groups, (std::vector<std::string>{"10", "2.5"}));
    EXPECT_EQ(d.labels(), (std::vector<std::string>{"hi", "lo"}));
}

TEST(CrPass, PagesFilledExactlyHoldEveryRecord)
{
    // The minimal page holds 85 records: 85 and 86 records, both complete.
    for (int n : {85, 86, 170}) {
        SCOPED_TRACE(n);
        std::string csv = "t,s\n";
        for (int i = 0; i < n; ++i)
            csv += std::to_string(i % 17 + 1) + "," + std::to_string(i % 3) + "\n";
        Dac d(csv);
        d.time("t", "s");
        d.setup(true);
        ASSERT_EQ(d.cmp.xcb->nrpp, 85);
        ASSERT_EQ(d.pass(), 0);
        EXPECT_EQ(d.cmp.ntot, n);
        const auto r = d.records();
        EXPECT_EQ(r.back().time, (n - 1) % 17 + 1);
        EXPECT_EQ(d.cmp.meta[0][0][1], n);
    }
}

// Whether Gray's test can run: the test table, two groups to compare, and
// with GROUP= within strata an observation in every cell.
TEST(GrayAdmissible, DecisionTable)
{
    struct Case {
        const char* csv;
        bool strata, group, table;
        int disallow;
        const char* why;
    };
    const Case cases[] = {
        {"t,s,st,g\n1,1,a,x\n2,1,b,y\n", false, false, false, 0, "no test table: nothing checked"},
        {"t,s,st,g\n1,1,a,x\n2,1,a,y\n", false, true, true, 0, "two groups, no strata"},
        {"t,s,st,g\n1,1,a,x\n2,1,b,x\n", false, true, true, 1, "one group, no strata"},
        {"t,s,st,g\n1,1,a,x\n2,1,a,y\n", true, false, true, 1, "one stratum"},
        {"t,s,st,g\n1,1,a,x\n2,1,b,x\n", true, true, true, 1, "one GROUP= level"},
        {"t,s,st,g\n1,1,a,x\n2,1,a,y\n3,1,b,x\n", true, true, true, 1, "stratum b lacks y"},
        {"t,s,st,g\n1,1,a,x\n2,0,a,y\n3,1,b,x\n4,0,b,y\n", true, true, true, 0,
         "cells with only censored records are not empty"},
        // Two codes and an event of a code not asked for: a cell holding
        // only that event is not empty.
        {"t,s,st,g\n1,1,a,x\n2,2,a,y\n3,1,b,x\n4,9,b,y\n", true, true, true, 0,
         "a cell with events of another code is not empty"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.why);
        Dac d(k.csv);
        d.time("t", "s", {1, 2});
        if (k.strata)
            d.strata({"st"});
        if (k.group)
            d.group("g");
        d.setup();
        static int table;
        d.q.HomTest = k.table ? reinterpret_cast<xobop>(&table) : nullptr;
        ASSERT_EQ(d.pass(), 0);
        EXPECT_EQ(d.cmp.disallow, k.disallow);
        if (k.disallow) {
            EXPECT_GE(d.q.rc, 4);
        }
    }
}

TEST(GrayAdmissible, NoGroupOrNoStratumIsNeverTested)
{
    // With STRATA variables and GROUP=, a group without strata or levels
    // (no valid observation reaches the check) is not tested.
    KORVCOM q{};
    CMPRISK c{};
    GRPVAR g{};
    static int table;
    q.cmprisk = &c;
    q.HomTest = reinterpret_cast<xobop>(&table);
    q.nsvar = 1;
    q.grpvar = &g;
    c.nStrata = 0;
    c.nGroup = 0;
    disallowTest(&q);
    EXPECT_EQ(c.disallow, 1);
}

TEST(CrPass, StratumLabelsLandInTheirOwnEntries)
{
    // The graph labels' text keys go to one entry per stratum, counted from
    // 0; the entry past the last is never written.
    Dac d("t,s,st\n1,1,a\n2,2,b\n3,1,c\n4,0,a\n");
    d.time("t", "s", {1});
    d.strata({"st"});
    d.setup();
    static int guardObject;
    const auto guard = reinterpret_cast<xobskey>(&guardObject);
    std::vector<xobskey> keys = {nullptr, nullptr, nullptr, guard};
    OGSTAT og{};
    og.strval = keys.data();
    d.q.ogstat = &og;
    d.q.ogstrlab = korv_ogstrlab(&d.q);
    ASSERT_EQ(d.pass(), 0);
    korvcif(&d.q);
    for (int s = 0; s < 3; ++s) {
        ASSERT_NE(keys[static_cast<size_t>(s)], nullptr) << s;
        std::string text = vdqkeystring(keys[static_cast<size_t>(s)]);
        text.erase(text.find_last_not_of(' ') + 1);
        EXPECT_EQ(text, std::string(1, static_cast<char>('a' + s)));
    }
    EXPECT_EQ(keys[3], guard);
}

TEST(CrPass, PartialOrCorruptRecordsEndTheStep)
{
    // The estimation never goes on with records it cannot trust: records
    // fewer than the pass counted, or counts that do not tile the records,
    // end the step (1020).
    for (int fault = 0; fault < 2; ++fault) {
        SCOPED_TRACE(fault);
        Dac d("t,s,st\n1,1,a\n2,2,b\n3,1,a\n");
        d.time("t", "s", {1});
        d.strata({"st"});
        d.setup(true);
        ASSERT_EQ(d.pass(), 0);
        if (fault == 0)
            d.cmp.ntot += d.cmp.xcb->nrpp; // a page more than was written
        else
            d.cmp.meta[0][0][1] += 1; // a record more in the first stratum
        int code = 0;
        try {
            korvcif(&d.q);
        } catch (const vyr::StepExit& e) {
            code = e.code;
        }
        EXPECT_EQ(code, 1020);
    }
}

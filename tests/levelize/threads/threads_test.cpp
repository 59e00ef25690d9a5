// The threaded levelization against the single-thread one: over our example
// data sets and crafted ones, for several worker counts and buffer sizes
// (a BY group smaller than one buffer, a last buffer handed over empty,
// buffers of one record), the levels, their order, frequencies, first
// appearances, unformatted values and codes are the same. A worker that
// fails is recovered by reading the BY group again on one thread, with a
// note; a failure that cannot be recovered reaches the caller. These tests
// also run under ThreadSanitizer (scripts/test-tsan.sh).
#include "support/levelize_effects.h"
#include "support/levelize_harness.h"
#include "support/step_probe.h"

#include "host/messages/catalogue.h"

#include <string>
#include <vector>

namespace
{

using lev::Plan;
using lev::Var;

std::string example(const char* name)
{
    return lev::source_dir() + "/examples/" + name;
}

// A crafted data set in three BY groups: "a" has three usable observations
// (less than one buffer), "b" forty usable ones (a whole number of buffers
// for the sizes below, so the last buffer handed over is empty), "c" blank
// and missing class values, special missing values and odd frequencies.
// x is shown with no decimals, so 1 and 1.0001 are one level.
std::string crafted(lev::Folder& dir)
{
    std::string csv = "grp,name,x,y,f,d\n";
    csv += "a,bob,1.0001,5,1,100\n";
    csv += "a,Al,1,5,2,100\n";
    csv += "a,Al,2,6,1,200\n";
    const char* names[] = {"Al", "bob", "Cy", "dee", "Eve", "al", "Bob"};
    for (int i = 0; i < 40; ++i)
        csv += "b," + std::string(names[i % 7]) + "," + std::to_string(i % 5) +
               (i % 3 ? ".0001" : "") + "," + std::to_string(i % 4) + "," +
               std::to_string(1 + i % 3) + "," + std::to_string(300 + 7 * (i % 6)) + "\n";
    const char* odd[] = {"0", "0.5", ".", "-1", "3", "2.9", "1"};
    for (int i = 0; i < 30; ++i) {
        std::string name = i % 9 == 0 ? "" : (i % 5 == 0 ? "  Zed" : names[(i * 3) % 7]);
        std::string x = i % 11 == 0 ? ".A" : (i % 8 == 0 ? "." : std::to_string(i % 6 - 2));
        std::string y = i % 7 == 3 ? "." : std::to_string(i % 3);
        csv += "c," + name + "," + x + "," + y + "," + odd[i % 7] + "," +
               std::to_string(20000 + 31 * (i % 4)) + "\n";
    }
    dir.write("crafted.attr", "variable x format=8.\nvariable d format=DATE9.\n");
    return dir.write("crafted.csv", csv);
}

struct Config {
    const char* label;
    std::string path;
    Plan setup;
};

std::vector<Config> configs(lev::Folder& dir)
{
    std::vector<Config> c;
    Plan s;
    s.vars = {Var("sex"), Var("ph_ecog"), Var("inst")};
    c.push_back({"lung", example("lung.csv"), s});
    s = Plan{};
    s.vars = {Var("celltype", 'F'), Var("prior", 'D'), Var("karno", 'I')};
    s.vars[2].desc = 1;
    s.by = {"trt"};
    c.push_back({"veteran by trt", example("veteran.csv"), s});
    s = Plan{};
    s.vars = {Var("rx", 'X'), Var("differ", 'Y'), Var("nodes", 'Z'), Var("age")};
    s.vars[1].countmissing = 1;
    s.vars[2].ignoremissingness = 1;
    c.push_back({"colon", example("colon.csv"), s});
    s = Plan{};
    s.vars = {Var("disease"), Var("frail", 'I'), Var("sex", 'D')};
    s.vars[0].param = 1;
    s.vars[0].ref = ZLEV_REF_FIRST;
    s.vars[1].param = 5;
    c.push_back({"kidney", example("kidney.csv"), s});
    s = Plan{};
    s.vars = {Var("sex"), Var("rx", 'F')};
    s.by = {"litter"};
    c.push_back({"rats by litter", example("rats.csv"), s});
    s = Plan{};
    s.vars = {Var("age"), Var("resid_ds", 'F'), Var("ecog_ps")};
    s.vars[0].vlen = 4;
    s.vars[2].param = 10;
    c.push_back({"ovarian", example("ovarian.csv"), s});
    s = Plan{};
    s.vars = {Var("name"), Var("x"), Var("y", 'X'), Var("d", 'Z')};
    s.vars[0].vlen = 3;
    s.vars[3].vlen = 0;
    s.freq = "f";
    s.by = {"grp"};
    c.push_back({"crafted", crafted(dir), s});
    s.vars[0].countmissing = 1;
    s.vars[1].countmissing = 1;
    s.vars[2].ignoremissingness = 1;
    s.opt1 = ZLEV_OPT1_KEEPALL;
    c.push_back({"crafted, missing values kept", crafted(dir), s});
    return c;
}

struct ThreadsTest : ::testing::Test {
    void TearDown() override
    {
        ZLEVTESTHOOKS& h = zlevTestHooks();
        h.trapAtRecord = 0;
        h.failChunkAt = 0;
        h.failMergeAt = 0;
        vyr::pool_configure(true, 4);
    }
};

TEST_F(ThreadsTest, ThreadedLevelsEqualTheSingleThreadOnes)
{
    lev::Folder dir;
    for (const Config& c : configs(dir)) {
        const lev::Result one = lev::levelize(c.path, c.setup);
        ASSERT_FALSE(one.groups.empty()) << c.label;
        for (const auto& g : one.groups)
            for (const auto& v : g.vars)
                EXPECT_FALSE(v.nodes.empty()) << c.label;
        // The levelizer's own readers (the single-value formatted read) give
        // the levels the design reader's fetch vectors give.
        Plan own = c.setup;
        own.defaultReaders = true;
        EXPECT_TRUE(lev::levelize(c.path, own).groups == one.groups) << c.label;
        for (int threads : {1, 2, 3, 5})
            for (long buffer : {1L, 2L, 5L, 7L, 64L, 0L}) {
                Plan s = c.setup;
                s.threads = threads;
                s.nRecMax = buffer;
                const lev::Result th = lev::levelize(c.path, s);
                EXPECT_EQ(th.workers, threads) << c.label;
                EXPECT_EQ(th.rc, 0) << c.label;
                EXPECT_TRUE(th.groups == one.groups)
                    << c.label << ": " << threads << " workers, buffers of " << buffer;
            }
    }
}

TEST_F(ThreadsTest, SmallGroupsAndEmptyLastBuffersAreHandedOver)
{
    lev::Folder dir;
    const Config c = configs(dir).back();
    ZLEVTESTHOOKS& h = zlevTestHooks();
    for (long buffer : {5L, 8L, 64L}) {
        Plan s = c.setup;
        s.threads = 2;
        s.nRecMax = buffer;
        const long empty0 = h.emptyHandovers, all0 = h.handovers;
        lev::levelize(c.path, s);
        const long empty = h.emptyHandovers - empty0, all = h.handovers - all0;
        if (buffer == 64) {
            // Every group fits one buffer: one handover each, none empty.
            EXPECT_EQ(all, 3);
            EXPECT_EQ(empty, 0);
        } else {
            // Group b's forty records fill whole buffers; its last is empty.
            EXPECT_GE(empty, 1) << buffer;
            EXPECT_GT(all, 40 / buffer);
        }
    }
}

TEST_F(ThreadsTest, FormattedAlikeValuesKeepTheSmallestWhicheverWorkerSawThem)
{
    // 1.0001 in the first record, 1 in the last: with buffers of one record
    // the two go to different workers; the level's value is the smallest and
    // its frequency counts both, as on one thread.
    lev::Folder dir;
    std::string csv = "x\n1.0001\n";
    for (int i = 0; i < 20; ++i)
        csv += "2\n";
    csv += "1\n";
    dir.write("alike.attr", "variable x format=8.\n");
    const std::string path = dir.write("alike.csv", csv);
    Plan s;
    s.vars = {Var("x")};
    const lev::Result one = lev::levelize(path, s);
    ASSERT_EQ(one.groups[0].vars[0].nodes.size(), 2u);
    EXPECT_EQ(lev::number(one.groups[0].vars[0].nodes[0].truth), 1.0);
    EXPECT_EQ(one.groups[0].vars[0].nodes[0].freq, 2);
    for (int threads : {2, 4}) {
        s.threads = threads;
        s.nRecMax = 1;
        EXPECT_TRUE(lev::levelize(path, s).groups == one.groups) << threads;
    }
}

TEST_F(ThreadsTest, TheReaderGivesTheSameLevelsAndStatusesThreadedOrNot)
{
    lev::Folder dir;
    for (const Config& c : configs(dir)) {
        const auto one = lev::read(c.path, c.setup);
        Plan s = c.setup;
        s.threads = 3;
        s.nRecMax = 6;
        const auto th = lev::read(c.path, s);
        ASSERT_EQ(one.size(), th.size()) << c.label;
        for (size_t k = 0; k < one.size(); ++k) {
            EXPECT_EQ(th[k].rc, one[k].rc) << c.label;
            EXPECT_EQ(th[k].threading, 1) << c.label;
            EXPECT_EQ(th[k].readRc, 0) << c.label;
            EXPECT_EQ(th[k].text, one[k].text) << c.label;
            EXPECT_EQ(th[k].ref, one[k].ref) << c.label;
            EXPECT_EQ(th[k].obsStatus, one[k].obsStatus) << c.label;
            EXPECT_EQ(th[k].obsLevel, one[k].obsLevel) << c.label;
        }
    }
}

// A worker failure, in a step so that the log can be read: the pass is read
// again on one thread with the same result, and two notes say why.
struct Failure {
    const char* label;
    long trapAt;
    int trapCode;
    long chunkAt;
    long mergeAt;
    const char* why; // the second note
};

TEST_F(ThreadsTest, AFailedWorkerIsRecoveredWithANote)
{
    const Failure cases[] = {
        {"division by zero", 17, 2, 0, 0, "floating-point division by zero"},
        {"unknown exception", 1, 0, 0, 0, "unknown exception"},
        {"timer", 200, 9, 0, 0, "timer or an unknown failure"},
        {"NaN", 100, 11, 0, 0, "invalid number (NaN)"},
        {"node memory", 0, 0, 1, 0, "could not get memory"},
        {"merge memory", 0, 0, 0, 5, "could not get memory"},
    };
    Plan base;
    base.vars = {Var("age"), Var("inst"), Var("sex")};
    const std::string path = example("lung.csv");
    lev::Result one;
    step_probe::run([&] { one = lev::levelize(path, base); });
    for (const Failure& f : cases) {
        ZLEVTESTHOOKS& h = zlevTestHooks();
        Plan s = base;
        s.threads = 2;
        s.nRecMax = 300;
        lev::Result th;
        const auto run = step_probe::run([&] {
            h.trapAtRecord = f.trapAt;
            h.trapCode = f.trapCode;
            // The set-up takes two chunks per worker and variable; the
            // failing one is the first a worker asks for while levelizing.
            h.chunks = 0;
            h.failChunkAt = f.chunkAt ? 2 * 2 * 3 + f.chunkAt : 0;
            h.merges = 0;
            h.failMergeAt = f.mergeAt;
            th = lev::levelize(path, s);
        });
        h.trapAtRecord = 0;
        h.failChunkAt = 0;
        h.failMergeAt = 0;
        EXPECT_TRUE(th.groups == one.groups) << f.label;
        EXPECT_GE(th.rc, 43) << f.label;
        EXPECT_EQ(run.status, 0) << f.label << run.log;
        EXPECT_EQ(step_probe::count(run.log, "NOTE: A worker thread of the levelization failed"), 1)
            << f.label << run.log;
        EXPECT_NE(run.log.find(f.why), std::string::npos) << f.label << run.log;
        EXPECT_EQ(run.log.find("ERROR"), std::string::npos) << f.label << run.log;
    }
}

int g_inits = 0;
int init_once(ZLEVREGI* r)
{
    // The first start (the threaded pass) works; a second one fails.
    return ++g_inits >= 2 ? 1 : GetInit(r);
}

TEST_F(ThreadsTest, NormalEndPostsNoErrorAndAnUnrecoveredFailureReachesTheCaller)
{
    Plan s;
    s.vars = {Var("inst"), Var("sex")};
    s.threads = 3;
    s.nRecMax = 10;
    const std::string path = example("lung.csv");
    std::vector<lev::Reading> got;
    auto run = step_probe::run([&] { got = lev::read(path, s); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rc, 0);
    EXPECT_EQ(got[0].status, 0);
    EXPECT_EQ(got[0].readRc, 0);
    EXPECT_EQ(got[0].threading, 1);
    EXPECT_EQ(got[0].workers, 3);
    EXPECT_EQ(run.log.find("worker"), std::string::npos) << run.log;
    EXPECT_EQ(run.status, 0);
    const auto single = got;

    // A worker fails and the group is read again: the same levels, a note,
    // and neither the model's status nor the step's code raised.
    ZLEVTESTHOOKS& h = zlevTestHooks();
    run = step_probe::run([&] {
        h.trapAtRecord = 5;
        got = lev::read(path, s);
    });
    h.trapAtRecord = 0;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rc, 0);
    EXPECT_EQ(got[0].status, 0);
    EXPECT_EQ(got[0].threading, 0);
    EXPECT_GE(got[0].readRc, 43);
    EXPECT_EQ(got[0].text, single[0].text);
    EXPECT_EQ(got[0].obsLevel, single[0].obsLevel);
    EXPECT_NE(run.log.find("NOTE: A worker thread"), std::string::npos) << run.log;
    EXPECT_EQ(run.status, 0);

    // A worker fails and the group cannot be read again: the caller's code,
    // the model's status and the step's return code say so.
    g_inits = 0;
    run = step_probe::run([&] {
        h.trapAtRecord = 5;
        got = lev::read(path, s, [](ZLEVREGI& r) { r.GetInit = init_once; });
    });
    h.trapAtRecord = 0;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rc, ZLEV_RC_READ);
    EXPECT_GE(got[0].status, 1012);
    EXPECT_NE(run.log.find("ERROR: The observations could not be read"), std::string::npos)
        << run.log;
    EXPECT_NE(run.status, 0);
}

// A level-index callback that levelizes the first variable of every third
// observation only, and skips every seventh observation.
int g_calls = 0;
int every_third(int* levelize, void*)
{
    const int k = g_calls++;
    levelize[0] = k % 3 == 0;
    levelize[1] = 1;
    return k % 7 != 6;
}

TEST_F(ThreadsTest, ALevelIndexCallbackIsHonouredAlikeThreadedOrNot)
{
    Plan s;
    s.vars = {Var("inst"), Var("ph_ecog")};
    auto install = [](ZLEVREGI& r) {
        g_calls = 0;
        r.GetLevIndex = every_third;
    };
    const auto one = lev::read(example("lung.csv"), s, install);
    s.threads = 2;
    s.nRecMax = 9;
    const auto th = lev::read(example("lung.csv"), s, install);
    ASSERT_EQ(one.size(), 1u);
    ASSERT_EQ(th.size(), 1u);
    EXPECT_EQ(th[0].threading, 1);
    EXPECT_EQ(th[0].text, one[0].text);
    EXPECT_LT(one[0].text[0].size(), 18u); // fewer institutions than all of them
    EXPECT_EQ(th[0].obsStatus, one[0].obsStatus);
    EXPECT_EQ(th[0].obsLevel, one[0].obsLevel);
}

TEST_F(ThreadsTest, NoWorkerBesideTheReaderMeansOneThread)
{
    // With a pool of one thread the reader would have no worker: the
    // set-up says so and the group is read on the task thread.
    Plan s;
    s.vars = {Var("sex")};
    s.threads = 2;
    Plan single;
    single.vars = s.vars;
    const auto one = lev::read(example("lung.csv"), single);
    const auto th =
        lev::read(example("lung.csv"), s, [](ZLEVREGI&) { vyr::pool_configure(false, 8); });
    ASSERT_EQ(th.size(), 1u);
    EXPECT_EQ(th[0].threading, 0);
    EXPECT_EQ(th[0].text, one[0].text);
    EXPECT_EQ(th[0].obsLevel, one[0].obsLevel);
}

TEST_F(ThreadsTest, TheMemoryCapUsesTheAmountAsGiven)
{
    Plan s;
    s.vars = {Var("sex"), Var("inst")};
    s.threads = 2;
    s.nRecMax = 100000000;
    long capped = 0;
    int recLen = 0;
    step_probe::run(
        [&] {
            Exported_QXHandle = vyr_kernel_handle();
            DSHANDLE* ds = lev::open(example("lung.csv"));
            ASSERT_EQ(xbynext(ds), 1);
            POOLHANDLE* pool = xmpoolc(0, 1024, 0);
            lev::Model md(ds, s, pool);
            ZLEV* l = zlevini(ds, &md.m);
            vyr::pool_configure(true, 3);
            ASSERT_EQ(zlevrinit(&md.r, l), 1);
            capped = md.rp.nRecMax;
            recLen = md.rp.RecLen;
            CleanupLThreads(&md.rp, &md.m, 1);
            xmpoold(l->pool);
            xmpoold(pool);
        },
        {{"MEMSIZE", "4000000"}});
    ASSERT_GT(recLen, 0);
    // At most MEMSIZE= bytes over all worker buffers (not 256 times that).
    EXPECT_LE(capped * recLen * 2, 4000000L);
    EXPECT_GT(capped * recLen * 2, 1000000L);
}

// ---------------------------------------------------------------------------
// The effect-level pass: the level combinations each effect has in the data
// are the same on worker threads as on the task thread (the crafted data by
// its BY groups: one smaller than a buffer, one whose last buffer is handed
// over empty).

namespace effects
{

struct Model {
    std::string label;
    std::string path;
    std::vector<std::string> clas;
    std::vector<eff::Effect> effects;
    std::vector<std::string> by;
    unsigned char opt1 = 0;
    std::vector<std::string> responses;
    std::vector<int> concatOf; // classification variables with a concatenation effect each
};

// Per BY group and effect: the number of combinations and their rows.
struct Found {
    std::vector<std::vector<std::vector<int>>> levels;
    int rc = 0;
    int eworkers = 0;
    bool operator==(const Found& o) const { return levels == o.levels && rc == o.rc; }
};

std::vector<Model> models(lev::Folder& dir)
{
    std::vector<Model> m;
    m.push_back({"lung",
                 example("lung.csv"),
                 {"sex", "ph_ecog", "inst"},
                 {{{0, 1}}, {{2}, {0}}, {{2}}, {{1}}},
                 {},
                 0,
                 {"sex"},
                 {}});
    m.push_back({"colon",
                 example("colon.csv"),
                 {"rx", "sex", "differ", "extent"},
                 {{{0, 1}}, {{2, 3}}, {{3}, {0}}},
                 {},
                 0,
                 {"time"},
                 {}});
    m.push_back({"crafted",
                 crafted(dir),
                 {"name", "x", "y"},
                 {{{0, 1}}, {{1, 2}}, {{2}, {0}}},
                 {"grp"},
                 0,
                 {},
                 {}});
    m.push_back({"crafted, missing values kept",
                 crafted(dir),
                 {"name", "x", "y"},
                 {{{0, 1}}, {{1, 2}}, {{2}, {0}}},
                 {"grp"},
                 ZLEV_OPT1_KEEPALL,
                 {},
                 {}});
    return m;
}

// Every BY group of a model through zlevrgi, on one thread (threads 0) or
// with workers.
std::vector<Found> levels(const Model& md, int threads, long buffer)
{
    std::vector<Found> out;
    Exported_QXHandle = vyr_kernel_handle();
    DSHANDLE* ds = lev::open(md.path);
    if (!ds)
        return out;
    if (!md.by.empty()) {
        std::vector<int> nums;
        for (const auto& v : md.by)
            nums.push_back(xvfind(ds, v));
        EXPECT_EQ(xbyset(ds, nums.data(), nullptr, static_cast<int>(nums.size()), false), 0);
    }
    if (threads > 0)
        vyr::pool_configure(true, static_cast<unsigned>(threads) + 1);
    while (xbynext(ds)) {
        POOLHANDLE* pool = xmpoolc(0, 1024, 0);
        std::vector<ZLEVVAR> clas, ys;
        for (const auto& n : md.clas) {
            ZLEVVAR v{};
            v.n = xvname(ds, xvfind(ds, n));
            v.ref = ZLEV_REF_LAST;
            clas.push_back(v);
        }
        for (const auto& n : md.responses) {
            ZLEVVAR v{};
            v.n = xvname(ds, xvfind(ds, n));
            ys.push_back(v);
        }
        std::deque<std::vector<int>> ints;
        auto list = [&](const std::vector<int>& v) {
            ints.push_back(v.empty() ? std::vector<int>{0} : v);
            return ints.back().data();
        };
        std::vector<ZLEVETRM> ef;
        for (const auto& e : md.effects) {
            ZLEVETRM t{};
            t.ncros = static_cast<int>(e.cros.size());
            t.cros = list(e.cros);
            t.nnest = static_cast<int>(e.nest.size());
            t.nest = list(e.nest);
            std::vector<int> all = e.cros;
            all.insert(all.end(), e.nest.begin(), e.nest.end());
            t.nclas = static_cast<int>(all.size());
            t.clas = list(all);
            ef.push_back(t);
        }
        std::vector<ZLEVEFTVAR> eft;
        for (int k : md.concatOf) {
            ZLEVEFTVAR v{};
            v.type = ZLEV_EFT_CONCAT;
            v.nclas = 1;
            v.clas = list({k});
            v.splitSource = -1;
            eft.push_back(v);
            ZLEVETRM t{};
            t.nefct = 1;
            t.efct = list({static_cast<int>(eft.size()) - 1});
            ef.push_back(t);
        }
        ZLEVMOD m{};
        m.order = 'M';
        m.vlen = -1;
        m.eft = {static_cast<int>(eft.size()), eft.data()};
        m.opt[0] = static_cast<char>(ZLEV_OPT0_NONAMES);
        m.opt[1] = static_cast<char>(md.opt1);
        m.clas = {static_cast<int>(clas.size()), clas.data()};
        m.nef = static_cast<int>(ef.size());
        m.ef = ef.data();
        ZLEVDAT d{};
        d.fid = ds;
        d.pool = pool;
        ZLEVREGI r{};
        r.d = &d;
        r.m = &m;
        r.y = {static_cast<int>(ys.size()), ys.data()};
        ZLEVREADPARMS rp{};
        if (threads > 0) {
            rp.nThreads = threads;
            rp.nRecMax = buffer;
            r.readParm = &rp;
            r.threading = 1;
        }
        Found f;
        f.rc = zlevrgi(&r);
        f.eworkers = rp.eworkers;
        for (const ZLEVETRM& t : ef) {
            std::vector<std::vector<int>> rows;
            for (int k = 0; k < t.nlev && t.levels; ++k)
                rows.emplace_back(t.levels + k * t.nclas, t.levels + (k + 1) * t.nclas);
            f.levels.push_back(rows);
        }
        out.push_back(f);
        xmpoold(pool);
    }
    return out;
}

} // namespace effects

TEST_F(ThreadsTest, EffectLevelsAreTheSameOnWorkerThreads)
{
    lev::Folder dir;
    for (const auto& md : effects::models(dir)) {
        std::vector<effects::Found> one;
        step_probe::run([&] { one = effects::levels(md, 0, 0); });
        ASSERT_FALSE(one.empty()) << md.label;
        for (const auto& g : one) {
            EXPECT_EQ(g.rc, 0) << md.label;
            for (const auto& e : g.levels)
                EXPECT_FALSE(e.empty()) << md.label;
        }
        for (int threads : {1, 2, 3, 5})
            for (long buffer : {1L, 2L, 7L, 64L, 0L}) {
                std::vector<effects::Found> th;
                const auto run =
                    step_probe::run([&] { th = effects::levels(md, threads, buffer); });
                ASSERT_EQ(th.size(), one.size()) << md.label;
                for (size_t k = 0; k < th.size(); ++k) {
                    EXPECT_TRUE(th[k] == one[k])
                        << md.label << ": " << threads << " workers, buffers of " << buffer;
                    EXPECT_EQ(th[k].eworkers, threads) << md.label;
                }
                EXPECT_EQ(run.log.find("worker"), std::string::npos) << run.log;
            }
    }
}

TEST_F(ThreadsTest, AValueTheLevelizerDidNotKeepIsLookedUpByItsFormattedValue)
{
    // The third observation is not levelized (its name is blank), and its x
    // (1.0001, shown as 1) is seen nowhere else; its combination of x and y
    // is found all the same, as on one thread. (The effect variable lets an
    // observation whose name has no level into the pass: every effect can
    // be formed without the name.)
    lev::Folder dir;
    dir.write("fb.attr", "variable x format=8.\n");
    const std::string path = dir.write("fb.csv", "name,x,y\nAl,1,j\nBo,2,k\n,1.0001,k\n");
    effects::Model md{"fallback", path, {"name", "x", "y"}, {{{1, 2}}}, {}, 0, {}, {1}};
    std::vector<effects::Found> one, th;
    ZLEVTESTHOOKS& h = zlevTestHooks();
    step_probe::run([&] {
        one = effects::levels(md, 0, 0);
        h.effFallbacks = 0;
        th = effects::levels(md, 2, 1);
    });
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(th[0] == one[0]);
    EXPECT_EQ(one[0].levels[0].size(), 3u); // (1, j), (1, k) and (2, k)
    EXPECT_GE(h.effFallbacks.load(), 1);
}

TEST_F(ThreadsTest, AFailedEffectWorkerIsRecoveredWithANote)
{
    // age*sex has more combinations than a chunk of nodes holds.
    const effects::Model md{"lung",
                            example("lung.csv"),
                            {"sex", "ph_ecog", "inst", "age"},
                            {{{0, 1}}, {{2}, {0}}, {{3, 0}}},
                            {},
                            0,
                            {},
                            {}};
    std::vector<effects::Found> one;
    step_probe::run([&] { one = effects::levels(md, 0, 0); });
    ASSERT_GT(one[0].levels[2].size(), 50u);
    const struct {
        const char* label;
        long trapAt;
        int code;
        long chunkAt;
        long buffer;
        const char* why;
    } cases[] = {
        {"division by zero", 30, 2, 0, 10, "floating-point division by zero"},
        {"first record", 1, 0, 0, 10, "unknown exception"},
        // One buffer holds every record: its worker needs a second chunk.
        {"node memory", 0, 0, 1, 1000, "could not get memory"},
    };
    for (const auto& c : cases) {
        ZLEVTESTHOOKS& h = zlevTestHooks();
        std::vector<effects::Found> th;
        const auto run = step_probe::run([&] {
            h.effTrapAtRecord = c.trapAt;
            h.effTrapCode = c.code;
            h.effChunks = 0;
            // The set-up takes one chunk per worker and effect (3 x 3).
            h.effFailChunkAt = c.chunkAt ? 3 * 3 + c.chunkAt : 0;
            th = effects::levels(md, 3, c.buffer);
        });
        h.effTrapAtRecord = 0;
        h.effFailChunkAt = 0;
        ASSERT_EQ(th.size(), 1u) << c.label;
        EXPECT_TRUE(th[0] == one[0]) << c.label;
        EXPECT_EQ(run.status, 0) << c.label << run.log;
        EXPECT_EQ(step_probe::count(run.log, "NOTE: A worker thread of the levelization failed"), 1)
            << c.label << run.log;
        EXPECT_NE(run.log.find(c.why), std::string::npos) << c.label << run.log;
        EXPECT_EQ(run.log.find("ERROR"), std::string::npos) << c.label << run.log;
    }
}

TEST_F(ThreadsTest, WorkersKeptForAFurtherPassGiveTheSameCombinations)
{
    // With moreCalls the workers' structures outlive the set-up: a second
    // zlevrgi on the same reader (its levels known) runs the effect-level
    // pass on them again; the teardown then releases everything.
    std::vector<std::vector<int>> first, second;
    int workers1 = 0, workers2 = 0;
    char load = 1;
    step_probe::run([&] {
        eff::Builder b(example("lung.csv"));
        b.add_class("sex");
        b.add_class("inst");
        b.add_effect(eff::Effect{{0, 1}});
        ZLEVREADPARMS rp{};
        rp.nThreads = 2;
        rp.nRecMax = 16;
        rp.moreCalls = 1;
        b.r.readParm = &rp;
        b.r.threading = 1;
        vyr::pool_configure(true, 3);
        ASSERT_EQ(b.init(ZLEV_OPT0_NONAMES), 0);
        auto rows = [&] {
            std::vector<std::vector<int>> out;
            const ZLEVETRM& e = b.ef[0];
            for (int k = 0; k < e.nlev; ++k)
                out.emplace_back(e.levels + 2 * k, e.levels + 2 * k + 2);
            return out;
        };
        first = rows();
        workers1 = rp.eworkers;
        rp.eworkers = 0;
        ASSERT_EQ(zlevrgi(&b.r), 0);
        second = rows();
        workers2 = rp.eworkers;
        zlevtrm(&b.r, ZLEV_TRM_THREADS);
        load = rp.LLoad | rp.ThreadLoad | rp.ELoad;
        EXPECT_EQ(b.r.readParm, nullptr);
    });
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(second, first);
    EXPECT_EQ(workers1, 2);
    EXPECT_EQ(workers2, 2);
    EXPECT_EQ(load, 0);
}

// A worker's trapped exception code names the line of its own kind in the
// log: every code the workers post reaches a catalogue line that says the
// worker stopped, and codes outside the known kinds get the general one.
TEST(LevelizeThreads, AWorkersFailureCodeNamesItsOwnMessage)
{
    const std::vector<std::pair<int, const char*>> kinds = {{1, "unknown exception"},
                                                            {2, "floating-point overflow"},
                                                            {8, "illegal instruction"},
                                                            {9, "control-break"},
                                                            {11, "domain error"},
                                                            {13, "abort"},
                                                            {10, "timer or an unknown failure"},
                                                            {0, "timer or an unknown failure"},
                                                            {99, "timer or an unknown failure"}};
    for (const auto& [code, words] : kinds) {
        const std::string* text = vyr::catalogue_text(174, zlev_failure_number(code));
        ASSERT_NE(text, nullptr) << "code " << code;
        EXPECT_NE(text->find(words), std::string::npos) << "code " << code << ": " << *text;
    }
}

} // namespace

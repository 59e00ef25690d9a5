// The engine's reports: the step-down subsets and simulation tables, the
// simulation details read from an instance (including the clamping of the
// limits, missing probabilities and the evaluation points), and the
// progress note with its clock text.
#include "support.h"

#include <cmath>
#include <functional>

using namespace mctest;

namespace
{

using Reports = EngineFixture;

// The items of DoSimDetails from a made-up instance.
struct Fake {
    QXMCLSM_INSTANCE inst{};
    QXMCLSM_FACTORY factory{};
    QXMCLSM_PARMS parms{};
    QXMCLSM_SIMINFO sim{};
    std::vector<QXMCLSM_SIMELEM> q;
    int type = QXMCLSM_ALL, ncmp = 1, exact = 0, cva = 0;
    double eps = 0.01, acc = 0.005, totalsamp = 1000;

    static QXStatus get(QXMCLSM_INSTANCE* in, int item, void* dest, int)
    {
        Fake* f = static_cast<Fake*>(in->PrivatePtr);
        switch (item) {
        case QXMCLSM_PARMS_ADDR:
            *static_cast<QXMCLSM_PARMS**>(dest) = &f->parms;
            return 0;
        case QXMCLSM_SIMINFO_ADDR:
            *static_cast<QXMCLSM_SIMINFO**>(dest) = &f->sim;
            return 0;
        case QXMCLSM_EPS:
            *static_cast<double*>(dest) = f->eps;
            return 0;
        case QXMCLSM_ACC:
            *static_cast<double*>(dest) = f->acc;
            return 0;
        case QXMCLSM_TOTALSAMP:
            *static_cast<double*>(dest) = f->totalsamp;
            return 0;
        case QXMCLSM_SIDE:
            *static_cast<char*>(dest) = 'B';
            return 0;
        case QXMCLSM_TYPE:
            *static_cast<int*>(dest) = f->type;
            return 0;
        case QXMCLSM_CVA:
            *static_cast<int*>(dest) = f->cva;
            return 0;
        case QXMCLSM_NCMP:
            *static_cast<int*>(dest) = f->ncmp;
            return 0;
        case QXMCLSM_ISEXACT:
            *static_cast<int*>(dest) = f->exact;
            return 0;
        case QXMCLSM_STRUCTURE:
            *static_cast<int*>(dest) = 2;
            return 0;
        default:
            return QX_E_INVALID;
        }
    }
    Fake()
    {
        factory.ValueGet = get;
        inst.FactoryPtr = &factory;
        inst.PrivatePtr = this;
    }
};

QXMCLSM_SIMELEM elem(double q, double p, double var)
{
    QXMCLSM_SIMELEM e{};
    e.q = q;
    e.p = p;
    e.var = var;
    return e;
}

const vdq::Node* find(const std::string& name)
{
    const vdq::Node* found = nullptr;
    std::function<void(const std::vector<vdq::NodePtr>&)> walk = [&](const auto& items) {
        for (const auto& n : items) {
            if (!found && n->name == name && n->kind == vdq::Node::Table)
                found = n.get();
            walk(n->items);
        }
    };
    walk(vdq::currentStep().items);
    return found;
}

size_t col(const vdq::Node* t, const std::string& name)
{
    for (size_t i = 0; i < t->columns.size(); ++i)
        if (t->columns[i].name == name)
            return i;
    ADD_FAILURE() << "no column " << name;
    return 0;
}

} // namespace

TEST_F(Reports, ClockTexts)
{
    char buf[80];
    struct {
        double t;
        const char* text;
    } cases[] = {{59.5, "0:00:59"},
                 {3600, "1:00:00"},
                 {3725.9, "1:02:05"},
                 {0, "0:00:00"},
                 {360000, "100:00:00"}};
    for (auto c : cases) {
        ASSERT_TRUE(korv_mc_clock(c.t, buf, sizeof buf)) << c.t;
        EXPECT_STREQ(buf, c.text);
        char* s = TimeString(c.t);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s, c.text);
        xlongpool()->free(xlongpool(), s, -1, 4);
    }
    EXPECT_EQ(TimeString(-1), nullptr);
    EXPECT_EQ(TimeString(korv_missing()), nullptr);
    EXPECT_EQ(TimeString(3600.0 * 1e16), nullptr);
}

TEST_F(Reports, ProgressNoteNeverDividesByZero)
{
    Fake f;
    f.totalsamp = 66349;
    // Nothing drawn yet: no rate, so no note (and no division by zero).
    EXPECT_EQ(TimingFunction(&f.inst, 0.0, 0.0), 0);
    EXPECT_EQ(TimingFunction(&f.inst, 5.0, 0.0), 0);
    EXPECT_EQ(TimingFunction(&f.inst, 5.0, -3.0), 0);
    EXPECT_EQ(log, "");
    EXPECT_EQ(TimingFunction(&f.inst, 10.0, 1000.0), 0);
    EXPECT_NE(log.find("NOTE: 1000 of 66349 samples drawn in 0:00:10; about 0:10:53 remaining."),
              std::string::npos)
        << log;
    // Beyond 2^53 samples the counts print as numbers in full.
    log.clear();
    f.totalsamp = 2e16;
    TimingFunction(&f.inst, 1.0, 1e16);
    EXPECT_NE(log.find("10000000000000000 of 20000000000000000 samples"), std::string::npos) << log;
}

TEST_F(Reports, SimulationResultsRowsAndLimits)
{
    Fake f;
    xobop vdq = wobtest::manager();
    ZMCLSMI lmc{};
    lmc.vdq = vdq;
    f.parms.userPtr = &lmc;
    f.parms.p = 0.05;
    f.parms.rep = 1;
    f.parms.nqeval = 2;
    f.parms.dfe = korv_missing();
    f.ncmp = 1;
    f.sim.initseed = 4321;
    f.sim.pvalue = elem(2.5, 0.95, 1e-6);
    // [0] the comparison; [1] method, [2] t, [3] Bonferroni, [4] Sidak,
    // [5] GT-2, [6] Scheffe; then two evaluation points.
    f.q = {elem(2.0, 0.9, 1e-6),
           elem(2.55, 0.951, 1e-6),
           elem(1.96, 0.8, 1e-6),
           elem(2.6, 0.999, 4e-6),
           elem(2.59, korv_missing(), 1e-6),
           elem(2.58, 0.96, korv_missing()),
           elem(2.8, 0.005, 1e-4),
           elem(1.0, 0.5, 1e-5),
           elem(3.0, 0.99, 1e-6)};
    f.sim.quantile = f.q.data();
    f.sim.nq = static_cast<int>(f.q.size());
    DoSimDetails(&f.inst, vdq);
    const vdq::Node* t = find("SimResults");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->rows.size(), 9u);
    const size_t m = col(t, "Method"), a = col(t, "Alpha"), lo = col(t, "LowerCL"),
                 hi = col(t, "UpperCL"), qc = col(t, "Quantile");
    std::vector<std::string> labels;
    for (const auto& row : t->rows)
        labels.push_back(row[m].s);
    EXPECT_EQ(labels,
              (std::vector<std::string>{"Simulated", "Tukey", "Bonferroni", "Sidak", "GT-2 (SMM)",
                                        "Scheffe", "Unadjusted (normal)", "QEVAL 1", "QEVAL 2"}));
    const double z = 2.5758293035489004;
    EXPECT_NEAR(t->rows[0][a].d, 0.05, 1e-12);
    EXPECT_NEAR(t->rows[0][lo].d, 0.05 - z * 1e-3, 1e-12);
    // Bonferroni: alpha 0.001, its lower limit below 0 is written as 0.
    EXPECT_EQ(t->rows[2][lo].d, 0.0);
    // Sidak: no probability, so only the quantile.
    EXPECT_EQ(t->rows[3][qc].d, 2.59);
    EXPECT_TRUE(wzmis(t->rows[3][a].d));
    EXPECT_TRUE(wzmis(t->rows[3][lo].d));
    // GT-2: a probability without a variance has no limits.
    EXPECT_NEAR(t->rows[4][a].d, 0.04, 1e-12);
    EXPECT_TRUE(wzmis(t->rows[4][hi].d));
    // Scheffe: alpha 0.995, its upper limit at or above 1 is written as 1.
    EXPECT_EQ(t->rows[5][hi].d, 1.0);
    EXPECT_EQ(t->rows[8][qc].d, 3.0);
    // The factoid.
    const vdq::Node* d = find("SimDetails");
    ASSERT_NE(d, nullptr);
    ASSERT_GE(d->rows.size(), 6u);
    EXPECT_EQ(d->rows[0][0].s, "Random Seed");
    EXPECT_EQ(d->rows[0][1].s, "4321");
    EXPECT_EQ(d->rows[1][1].s, "All Pairs");
    EXPECT_EQ(d->rows[3][1].s, "0.05");
    EXPECT_EQ(d->rows[d->rows.size() - 1][1].s, "99%");
}

TEST_F(Reports, SubsetTablesOfAStepDownTest)
{
    // Logical step-down Tukey with its report: the subsets table has the
    // partition columns; with simulation, a second table per simulation.
    const Scores& s = example("veteran");
    std::vector<double> var;
    ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_EXACT, QXMCLSM_STEP_LOGICAL);
    lmc.steprep = 1;
    lmc.vdq = wobtest::manager();
    run(lmc);
    const vdq::Node* t = find("Subsets");
    ASSERT_NE(t, nullptr);
    // Steps 1..6 of the veteran example: one set at each step but the
    // second, which has two (multcomp's largest consistent sets).
    EXPECT_EQ(t->rows.size(), 7u);
    for (const char* c : {"Subset", "Step", "Comparison", "Size", "Cmp1", "Cmp6", "Part1", "Part4"})
        col(t, c);
    const auto& last = t->columns[col(t, "Cmp6")].dynamics;
    ASSERT_GE(last.size(), 3u);
    EXPECT_EQ(t->rows[0][col(t, "Size")].d, 6.0);
    EXPECT_EQ(t->rows[0][col(t, "Comparison")].d, 3.0); // squamous against adeno first
    // Simulated step-down with REPORT: the simulation's table of subsets.
    vdq::takeCurrentStep();
    lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_SIM, QXMCLSM_STEP_FREE);
    lmc.steprep = 1;
    lmc.nsamp = 10000;
    lmc.vdq = wobtest::manager();
    run(lmc);
    const vdq::Node* sim = find("SubsetSim");
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->rows.size(), 6u);
    const vdq::Node* sub = find("Subsets");
    ASSERT_NE(sub, nullptr);
    for (size_t r = 0; r < sim->rows.size(); ++r) {
        const double p = sim->rows[r][col(sim, "AdjP")].d;
        const double se = std::sqrt(p * (1 - p) / 10000);
        EXPECT_NEAR(sim->rows[r][col(sim, "SEAdjP")].d, se, 1e-12);
        // The simulated probability stays under the Bonferroni bound but
        // for its sampling error.
        EXPECT_LE(p, sim->rows[r][col(sim, "pBon")].d + 4 * se);
    }
    // Without REPORT no table comes.
    vdq::takeCurrentStep();
    lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_SIM, QXMCLSM_STEP_FREE);
    lmc.nsamp = 2000;
    lmc.vdq = wobtest::manager();
    run(lmc);
    EXPECT_EQ(find("SubsetSim"), nullptr);
    EXPECT_EQ(find("Subsets"), nullptr);
}

TEST_F(Reports, ProgressNotesOfASimulation)
{
    // TIMEINC=0: a note after every batch but the last.
    const Scores& s = example("kidney");
    std::vector<double> var;
    ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_SIM);
    lmc.nsamp = 50000;
    lmc.tinc = 0;
    run(lmc);
    size_t notes = 0;
    for (size_t at = log.find("samples drawn in"); at != std::string::npos;
         at = log.find("samples drawn in", at + 1))
        ++notes;
    EXPECT_EQ(notes, 3u) << log; // batches of 16384: 16384, 32768, 49152 drawn
    EXPECT_NE(log.find("NOTE: 16384 of 50000 samples drawn in 0:00:"), std::string::npos) << log;
    // The default TIMEINC= (30 seconds) says nothing for a short run.
    log.clear();
    lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_SIM);
    lmc.nsamp = 50000;
    run(lmc);
    EXPECT_EQ(log.find("samples drawn"), std::string::npos) << log;
}

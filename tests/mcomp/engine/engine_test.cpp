// The comparison engine through its entry zmclsm, as the comparisons of
// survival curves call it: raw and adjusted p-values of every deterministic
// method, single-step and step-down (free and logical), against p.adjust,
// ptukey, mvtnorm and multcomp on the log-rank and Fleming(1) scores of two
// four-level examples; simulated p-values within ACC= of the exact ones and
// the same on any number of threads; the items, statuses and failures.
#include "support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <tuple>

using korvtest::Near;
using korvtest::Table;
using namespace mctest;

namespace
{

struct Key {
    std::string name;
    double rho;
    std::string type;
    int control;
    std::string method;
    int step;
    bool operator<(const Key& o) const
    {
        return std::tie(name, rho, type, control, method, step) <
               std::tie(o.name, o.rho, o.type, o.control, o.method, o.step);
    }
};

std::map<Key, std::vector<double>> peerPValues()
{
    Table t("mcomp_adjusted.csv");
    std::map<Key, std::vector<double>> out;
    for (size_t i = 0; i < t.size(); ++i) {
        Key k{t.text(i, "case"),   t.num(i, "rho"),
              t.text(i, "type"),   static_cast<int>(t.num(i, "control")),
              t.text(i, "method"), static_cast<int>(t.num(i, "step"))};
        auto& v = out[k];
        v.resize(static_cast<size_t>(t.num(i, "row")) + 1);
        v.back() = t.num(i, "p");
    }
    return out;
}

using Engine = EngineFixture;

} // namespace

TEST_F(Engine, DeterministicMethodsMatchThePeers)
{
    int checked = 0;
    for (const auto& [k, want] : peerPValues()) {
        const Scores& s = example(k.name, k.rho);
        std::vector<double> var;
        ZMCLSMI lmc = request(s, var, k.type == "ALL" ? QXMCLSM_ALL : QXMCLSM_CONTROL, k.control,
                              methodCode(k.method), k.step);
        const std::vector<double> got = run(lmc);
        const std::string what = k.name + " rho " + std::to_string(k.rho) + " " + k.type + " " +
                                 std::to_string(k.control) + " " + k.method + " step " +
                                 std::to_string(k.step);
        ASSERT_EQ(got.size(), want.size()) << what;
        EXPECT_EQ(lmc.rc, 0) << what;
        const bool integrated = k.method == "EXACT" && k.name != "balanced";
        for (size_t r = 0; r < want.size(); ++r) {
            // Closed forms to rounding; integrals to their bound (1e-5, and
            // 1 % of a small p-value).
            if (integrated)
                EXPECT_TRUE(Near(got[r], want[r], 0.01, 1.2e-5)) << what << " row " << r;
            else
                EXPECT_TRUE(Near(got[r], want[r], 1e-9, 1e-12)) << what << " row " << r;
        }
        ++checked;
    }
    // Two examples, two tests, three comparison types, 16 method forms each,
    // and the balanced example.
    EXPECT_EQ(checked, 2 * 2 * 3 * 16 + 1);
}

TEST_F(Engine, SimulatedPValuesLieWithinAccOfTheExactOnes)
{
    const auto peers = peerPValues();
    for (const char* type : {"ALL", "CONTROL"})
        for (int step : {0, 1}) {
            const Scores& s = example("veteran");
            std::vector<double> var;
            ZMCLSMI lmc =
                request(s, var, std::string(type) == "ALL" ? QXMCLSM_ALL : QXMCLSM_CONTROL, 0,
                        QXMCLSM_SIM, step);
            const std::vector<double> got = run(lmc);
            const auto& want = peers.at({"veteran", 0, type, 0, "EXACT", step});
            ASSERT_EQ(got.size(), want.size());
            // The sample makes each p-value lie within ACC= of its exact
            // value with confidence 1 - EPS: n = (z_{1-EPS/2} / (2 ACC))^2.
            EXPECT_EQ(lmc.nsamp, 66349.0);
            EXPECT_EQ(lmc.seed, 20240601);
            for (size_t r = 0; r < want.size(); ++r)
                EXPECT_NEAR(got[r], want[r], lmc.acc) << type << " step " << step << " row " << r;
        }
}

TEST_F(Engine, SimulationIsTheSameOnAnyNumberOfThreads)
{
    const Scores& s = example("kidney", 1);
    std::vector<std::vector<double>> results;
    for (unsigned threads : {1u, 2u, 5u}) {
        vyr::pool_configure(threads > 1, threads);
        for (int step : {0, 2}) {
            std::vector<double> var;
            ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_SIM, step);
            lmc.nsamp = 40000;
            results.push_back(run(lmc));
        }
    }
    for (size_t i = 2; i < results.size(); ++i)
        EXPECT_EQ(results[i], results[i % 2]) << "run " << i;
    // Another seed gives other digits.
    std::vector<double> var;
    ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_SIM);
    lmc.nsamp = 40000;
    lmc.seed = 777;
    EXPECT_NE(run(lmc), results[0]);
}

TEST_F(Engine, ExactTukeyIsTheSameOnAnyNumberOfThreads)
{
    // The single-step integral spreads its shifts, and the step-down its
    // sets, over the host's threads: the same digits on one and on four
    // (and, under the thread sanitizer, no data race between them).
    const Scores& s = example("veteran");
    std::vector<std::vector<double>> results;
    for (unsigned threads : {1u, 4u}) {
        vyr::pool_configure(threads > 1, threads);
        for (int step : {0, static_cast<int>(QXMCLSM_STEP_FREE)}) {
            std::vector<double> var;
            ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_EXACT, step);
            results.push_back(run(lmc));
            EXPECT_EQ(results.back().size(), 6u);
        }
    }
    EXPECT_EQ(results[2], results[0]);
    EXPECT_EQ(results[3], results[1]);
}

TEST_F(Engine, ItemsOfARequest)
{
    // Correlated scores, uncorrelated means of equal and of unequal variance.
    const Scores& vet = example("veteran");
    std::vector<double> var;
    ZMCLSMI lmc = request(vet, var, QXMCLSM_ALL, 0, QXMCLSM_BON);
    run(lmc);
    EXPECT_EQ(lmc.structure, 2);
    EXPECT_EQ(lmc.ncmp, 6);
    EXPECT_EQ(lmc.type, QXMCLSM_ALL);
    EXPECT_EQ(lmc.side, 'B');
    EXPECT_EQ(lmc.exact, 1);
    // The Bonferroni critical value z_{1 - 0.05/12}.
    EXPECT_NEAR(lmc.q, 2.6382573, 1e-6);
    const Scores& bal = example("balanced");
    lmc = request(bal, var, QXMCLSM_CONTROL, 2, QXMCLSM_EXACT);
    run(lmc);
    EXPECT_EQ(lmc.structure, 0);
    EXPECT_EQ(lmc.ncmp, 4);
    var[2] = 3.0; // the second variance differs
    lmc.var = var.data();
    lmc.adjp = nullptr;
    zmclsm(&lmc);
    EXPECT_EQ(lmc.structure, 1);
    // Tukey's critical value for uncorrelated balanced means is the
    // studentized range's over sqrt 2.
    lmc = request(bal, var, QXMCLSM_ALL, 0, QXMCLSM_EXACT);
    run(lmc);
    EXPECT_NEAR(lmc.q * std::sqrt(2.0), 3.857656, 1e-5); // qtukey(0.95, 5, Inf)
}

TEST_F(Engine, ZeroVarianceComparisonsHaveNoPValue)
{
    // Levels 2 and 3 are twins (the same row and column of V): their
    // difference has no variance, so that comparison has no p-value and the
    // other five are adjusted among themselves.
    const std::vector<double> U = {1.5, -0.4, -1.1, 0.0};
    const std::vector<double> V = {2.0, -0.5, 1.5, -1.5, -1.0, 2.5, -1.5, -1.0, 2.5, 2.5};
    Scores s{"twin", 0, U, V};
    std::vector<double> var;
    ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_BON);
    const std::vector<double> p = run(lmc);
    ASSERT_EQ(p.size(), 6u);
    EXPECT_EQ(lmc.rc, 0);
    EXPECT_TRUE(wzmis(p[5])) << "pair (2, 3) has no variance";
    lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_T);
    const std::vector<double> raw = run(lmc);
    ASSERT_EQ(raw.size(), 6u);
    EXPECT_TRUE(wzmis(raw[5]));
    for (size_t r = 0; r < 5; ++r)
        EXPECT_NEAR(p[r], std::min(1.0, 5 * raw[r]), 1e-14) << r;
    // The exact method integrates over the five alone.
    lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_EXACT);
    const std::vector<double> e = run(lmc);
    for (size_t r = 0; r < 5; ++r) {
        EXPECT_GE(e[r], raw[r] - 1e-5);
        EXPECT_LE(e[r], p[r] + 1e-5);
    }
}

TEST_F(Engine, UnsupportedRequestsFailWithAMessageAndNoPValues)
{
    // The comparison type, general contrasts and error degrees of freedom
    // are refused by the instance's assessment: the severity is an error
    // (1012), the reason is in the log, and the parameter record is read
    // before anything uses it on this path.
    const Scores& s = example("veteran");
    struct Case {
        const char* what;
        void (*edit)(ZMCLSMI&);
        const char* text;
    } cases[] = {
        {"analysis of means", [](ZMCLSMI& l) { l.type = QXMCLSM_ANOM; }, "type -5"},
        {"one-sided control", [](ZMCLSMI& l) { l.type = QXMCLSM_CONTROLU; }, "type -3"},
        {"contrasts",
         [](ZMCLSMI& l) {
             static double c[4] = {1, -1, 0, 0};
             l.l = c;
         },
         "general contrasts"},
        {"dfe", [](ZMCLSMI& l) { l.dfe = 20; }, "20 error degrees of freedom"},
        {"control",
         [](ZMCLSMI& l) {
             l.type = QXMCLSM_CONTROL;
             l.idxcntl = 9;
         },
         "control level"},
        {"rmse", [](ZMCLSMI& l) { l.rmse = -1; }, "root mean square error"},
    };
    for (const Case& c : cases) {
        log.clear();
        std::vector<double> var;
        ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_EXACT);
        c.edit(lmc);
        const std::vector<double> p = run(lmc);
        EXPECT_TRUE(p.empty()) << c.what;
        EXPECT_EQ(lmc.rc, 1012) << c.what;
        EXPECT_NE(log.find("ERROR: "), std::string::npos) << c.what << ": " << log;
        EXPECT_NE(log.find(c.text), std::string::npos) << c.what << ": " << log;
    }
}

TEST_F(Engine, LimitsOfTheCorrelatedMethods)
{
    // Twelve uncorrelated means of unequal variance: beyond eleven levels the
    // exact method does not integrate (that took minutes and was refused):
    // all pairs take the Tukey-Kramer approximation, which ISEXACT says, and
    // no error. Of equal variance, all pairs are the studentized range itself.
    // Sixty-four levels give 2016 comparisons: Scheffe takes them (no
    // correlation is formed), the simulation refuses them.
    auto diag = [](int k, bool equal) {
        Scores s{"diag", 0, std::vector<double>(static_cast<size_t>(k)), {}};
        for (int i = 0; i < k; ++i) {
            s.U[static_cast<size_t>(i)] = 0.1 * i;
            for (int j = 0; j <= i; ++j)
                s.V.push_back(i == j ? (equal ? 1.0 : 1.0 + 0.1 * i) : 0.0);
        }
        return s;
    };
    std::vector<double> var;
    const Scores unequal = diag(12, false);
    ZMCLSMI lmc = request(unequal, var, QXMCLSM_ALL, 0, QXMCLSM_EXACT);
    EXPECT_EQ(run(lmc).size(), 66u);
    EXPECT_EQ(lmc.rc, 0);
    EXPECT_EQ(lmc.exact, 0);
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    const Scores equal = diag(12, true);
    lmc = request(equal, var, QXMCLSM_ALL, 0, QXMCLSM_EXACT);
    const std::vector<double> p = run(lmc);
    ASSERT_EQ(p.size(), 66u);
    EXPECT_EQ(lmc.rc, 0);
    EXPECT_EQ(lmc.structure, 0);
    EXPECT_EQ(lmc.exact, 1);
    log.clear();
    const Scores many = diag(64, false);
    lmc = request(many, var, QXMCLSM_ALL, 0, QXMCLSM_SIM);
    lmc.nsamp = 1000;
    EXPECT_TRUE(run(lmc).empty());
    EXPECT_NE(log.find("The 2016 comparisons are too many for the simulated"), std::string::npos)
        << log;
    lmc = request(many, var, QXMCLSM_ALL, 0, QXMCLSM_F);
    EXPECT_EQ(run(lmc).size(), 2016u);
    EXPECT_EQ(lmc.rc, 0);
    lmc = request(many, var, QXMCLSM_ALL, 0, QXMCLSM_BON);
    EXPECT_EQ(run(lmc).size(), 2016u);
    EXPECT_EQ(lmc.rc, 0);
}

TEST_F(Engine, NoComparisonsAndTheEmptyNote)
{
    const std::vector<double> U = {0.0}, V = {1.0};
    Scores one{"one", 0, U, V};
    std::vector<double> var;
    ZMCLSMI lmc = request(one, var, QXMCLSM_ALL, 0, QXMCLSM_BON);
    EXPECT_TRUE(run(lmc).empty());
    EXPECT_EQ(lmc.structure, -1);
    EXPECT_EQ(lmc.ncmp, 0);
    EXPECT_EQ(lmc.rc, 0);
    // Every difference of zero variance: a note, no p-value adjusted.
    log.clear();
    const std::vector<double> U2 = {1.0, 1.0}, V2 = {0.0, 0.0, 0.0};
    Scores flat{"flat", 0, U2, V2};
    lmc = request(flat, var, QXMCLSM_ALL, 0, QXMCLSM_BON);
    const std::vector<double> p = run(lmc);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(wzmis(p[0]));
    EXPECT_NE(log.find("NOTE: No comparison has a statistic"), std::string::npos) << log;
}

TEST_F(Engine, AnExtensionThatCannotBeLoadedLeavesNoResults)
{
    vyr_kernel_register_extension("qxmclsm", [](QXHandle*) -> void* { return nullptr; });
    const Scores& s = example("veteran");
    std::vector<double> var;
    ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_BON);
    lmc.ncmp = -7;
    EXPECT_TRUE(run(lmc).empty());
    EXPECT_EQ(lmc.adjp, nullptr);
    EXPECT_EQ(lmc.ncmp, -7) << "nothing in the block changes";
    EXPECT_EQ(lmc.rc, 0);
}

TEST_F(Engine, StepDownWithLogicalConstraintsForTheFirstStepsOnly)
{
    // LOGICAL(2): the first two steps are constrained, the rest use the free
    // sets; the p-values lie between the logical and the free ones, and a
    // note says so.
    const auto peers = peerPValues();
    const Scores& s = example("kidney");
    std::vector<double> var;
    ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_BON, QXMCLSM_STEP_LOGICAL);
    lmc.stepcsize = 2;
    const std::vector<double> got = run(lmc);
    const auto& logical = peers.at({"kidney", 0, "ALL", 0, "BON", 2});
    const auto& free = peers.at({"kidney", 0, "ALL", 0, "BON", 1});
    ASSERT_EQ(got.size(), logical.size());
    for (size_t r = 0; r < got.size(); ++r) {
        EXPECT_GE(got[r], logical[r] - 1e-12);
        EXPECT_LE(got[r], free[r] + 1e-12);
    }
    EXPECT_NE(log.find("used in 2 of the 6 steps (LOGICAL(n))"), std::string::npos) << log;
    // Row order instead of the order of the p-values: a fixed sequence.
    lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_BON, QXMCLSM_STEP_FREE);
    lmc.steporder = QXMCLSM_STEP_ORDR;
    const std::vector<double> rows = run(lmc);
    lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_T);
    const std::vector<double> raw = run(lmc);
    double running = 0;
    for (size_t r = 0; r < rows.size(); ++r) {
        running = std::max(running, std::min(1.0, (6.0 - r) * raw[r]));
        EXPECT_NEAR(rows[r], running, 1e-14) << r;
    }
}

TEST_F(Engine, LogicalStepDownStopsAtMaxtime)
{
    // Nine correlated levels: the logical sets of the exact method take far
    // longer than MAXTIME=1; the integrals stop then, the steps left take
    // the Bonferroni bound of their free sets, and a note says how many
    // steps were evaluated.
    const int k = 9;
    Scores s{"nine", 0, std::vector<double>(k), {}};
    for (int i = 0; i < k; ++i) {
        s.U[static_cast<size_t>(i)] = 0.6 * (i - 4) + (i % 2 ? 0.3 : -0.3);
        for (int j = 0; j <= i; ++j)
            s.V.push_back(i == j ? 2.0 * (1 - 1.0 / k) + 0.1 * i : -2.0 / k);
    }
    std::vector<double> var;
    ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_BON, QXMCLSM_STEP_FREE);
    const std::vector<double> holm = run(lmc);
    lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_EXACT, QXMCLSM_STEP_LOGICAL);
    lmc.stepmaxtime = 1;
    const auto t0 = std::chrono::steady_clock::now();
    const std::vector<double> p = run(lmc);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(p.size(), 36u);
    EXPECT_EQ(lmc.rc, 0);
    EXPECT_NE(log.find("steps within MAXTIME=1 seconds"), std::string::npos) << log;
    EXPECT_LT(seconds, 30.0);
    // The step-down exact p-values never exceed Holm's.
    for (size_t r = 0; r < p.size(); ++r)
        EXPECT_LE(p[r], holm[r] + 2e-4) << r;
}

TEST_F(Engine, TheRandomNumberMethodFromTheMacroVariable)
{
    const Scores& s = example("veteran");
    for (const char* value : {"0", ".", "1"}) {
        xjsymput("_testthreadlsmsim", value, 1);
        std::vector<double> var;
        ZMCLSMI lmc = request(s, var, QXMCLSM_ALL, 0, QXMCLSM_SIM);
        lmc.nsamp = 5000;
        run(lmc);
        EXPECT_EQ(lmc.RNGMethod, value[0] == '1' ? 1 : 0) << value;
    }
    EXPECT_EQ(CheckMacroVariable("_testthreadlsmsim"), 1);
    xjsymput("_testthreadlsmsim", "0", 1);
    EXPECT_EQ(CheckMacroVariable("_testthreadlsmsim"), 0);
    EXPECT_EQ(CheckMacroVariable("_no_such_macro_variable"), 0);
}

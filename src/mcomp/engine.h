// The comparison engine behind the extension "qxmclsm": one Engine per
// instance. Internal to the mcomp room; callers go through the extension's
// operations (qxmclsm.h) and zmclsm.
//
// What it computes. For nl estimates m_0 .. m_{nl-1} with covariance V (times
// rmse^2) and a comparison type, comparison r is the contrast l_r (e_i - e_j
// for all pairs, row by row; e_i - e_c for each level i against the control
// c, in level order), with estimate d_r = l_r'm, standard error
// s_r = sqrt(l_r'V l_r) and z_r = d_r / s_r. A comparison whose variance is
// at most 2^-511 has no statistic and a missing p-value, and takes no part
// in the adjustment of the others. With Z ~ N(0, R), R the correlation of
// the comparisons that have a statistic (singular R allowed), m their number
// and t = |z_r|, the p-value of comparison r is:
//   T (unadjusted)  2 (1 - Phi(t))
//   BON             min(1, m p_r)
//   SIDAK           1 - (1 - p_r)^m
//   GT2 (SMM)       P(max of m independent |N(0,1)| > t): the studentized
//                   maximum modulus without a denominator, equal to Sidak
//   F (Scheffe)     P(chi-square(rank R) > t^2)
//   EXACT           P(max_s |Z_s| > t), the exact single-step probability for
//                   the correlated comparisons: Tukey for all pairs, Dunnett
//                   against a control. Up to 11 levels it is computed by
//                   multivariate normal integration (numeric/mvn.h): the
//                   single-step probabilities of every comparison at once,
//                   as the upper tail of the largest |Z_s| at each |z_r|
//                   (zmvnmax), a step-down set's by zmvnrect; except
//                   for uncorrelated means of equal variance and all pairs,
//                   where it is the studentized range P(Q_nl > sqrt(2) t) at
//                   any number of levels. Beyond 11 levels the integrals take
//                   too long, and the two approximations for the non-exact
//                   case are used instead: Tukey-Kramer for all pairs,
//                   P(Q_m > sqrt(2) t) with m the levels the comparisons
//                   touch, and Hsu's one-factor approximation against a
//                   control, which replaces the correlation by the closest
//                   r_su = l_s l_u and makes the probability a one-dimensional
//                   integral (exact when the correlation has that form, as
//                   for uncorrelated means). ISEXACT then says 0 (1 for Hsu's
//                   integral on a correlation of exactly that form).
//   SIM             P(max_s |Z_s| > t) estimated from a simulated sample
// The exact and simulated probabilities of a set of m comparisons lie
// between the raw p-value 2 (1 - Phi(t)) and the Bonferroni bound m times
// it; an integral or a sample is held to that range, so that no adjusted
// p-value falls below its raw one, nor reads 0 for a positive raw one.
// Step-down (STEPDOWN): hypotheses are taken in decreasing order of t (or in
// row order); at step j the probability of the method is evaluated for the
// set of hypotheses not yet passed (TYPE=FREE), or for each largest set that
// could be the set of true hypotheses given that the earlier ones are false
// (TYPE=LOGICAL), taking the largest; adjusted p-values are then made
// non-decreasing along the steps. BON gives Holm's method (Shaffer's with
// LOGICAL), SIDAK Holland and Copenhaver's, EXACT and SIM the free and
// logically constrained step-down forms of the single-step test. The free
// sets are the suffixes of the order and are never stored: BON, SIDAK and
// SMM need only their sizes (a sort and one pass), Scheffe their ranks (one
// pass that adds the comparisons from the last step back), Tukey-Kramer the
// levels they touch (the same pass).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "mcomp/qxmclsm.h"
#include "numeric/mvn.h"

namespace korv_mc
{

struct Comparison {
    int i = 0, j = 0; // the levels compared (i minus j)
    double est = 0, se = 0, z = 0;
    bool valid = false;
};

class Engine
{
  public:
    Engine(QXHandle* h, const QXMCLSM_PARMS& in);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    QXStatus assess();
    QXStatus deterministic(QXMCLSM_INSTANCE* inst = nullptr);
    QXStatus simulate(QXMCLSM_INSTANCE* inst);
    QXStatus value(int item, void* dest);
    QXJnlh journal() const { return jnl_; }

    // Seconds since the engine was made (for the progress notes).
    double elapsed() const;

  private:
    friend struct Simulation;

    // The journal: a numbered message (severity 1 note .. 4 error) whose
    // severity also raises the instance's.
    void sayLogical(int planned, int steps, const char* why);
    void say(int severity, int number, ...);
    void raise(int severity);

    // How the exact method's probabilities are found.
    enum class Exact { Integrate, Range, TukeyKramer, Hsu };

    // The steps of assess: the input refused (an error status) or taken (0);
    // the comparisons with their statistics and the structure of the means;
    // the way the exact method finds its probabilities; the correlation of
    // the valid comparisons; the simulation's sample size and seed.
    QXStatus checkInput();
    void makeComparisons();
    void chooseExactMode(bool stepdown, bool rangeOnly);
    void correlate();
    QXStatus simulationSettings();

    // A set of comparisons (valid indexes): idx[0..n). rank and levels are
    // the rank of their correlation and the number of levels they touch,
    // filled when the method needs them (-1 otherwise); full marks the set
    // of every valid comparison.
    struct SetView {
        const int* idx = nullptr;
        int n = 0;
        int rank = -1;
        int levels = -1;
        bool full = false;
    };

    // Probability that the largest |Z_s| over the set exceeds t, by the
    // method (not SIM); *err gets the integration error bound.
    double probability(const SetView& S, double t, double* err);
    // The exact method's probability, held between the raw p-value and the
    // Bonferroni bound.
    double exactProbability(const SetView& S, double t, double* err);
    // Whether the single-step set S takes its exact probabilities from one
    // integral over the distribution of the largest |Z_s|, and that
    // integral: p and errs indexed like valid_.
    bool togetherExact(const SetView& S) const;
    void exactTogether(std::vector<double>& p, std::vector<double>& errs);
    // Rank of the correlation of a set of comparisons, and the levels it
    // touches, from the covariance of the levels (no correlation matrix).
    int setRank(const int* idx, int n) const;
    int setLevels(const int* idx, int n) const;
    int rankAll();
    std::vector<int> members(uint64_t mask) const;

    // The step-down plan: the order of the hypotheses and, for the first
    // logicalSteps_ steps, the logically constrained sets (filled by assess).
    void planStepDown();
    void planLogical(const std::vector<int>& order);
    // The free sets' ranks or touched levels, by one pass from the last step.
    void suffixMeasures();
    // The step-down report's records (only when REPORT asks for them).
    void fillStepInfo();
    // Number of sets of step j and, for a logical step, their masks.
    int setsOfStep(int j) const;
    double stepStatistic(int j) const;

    // Hsu's loadings for the valid comparisons (type CONTROL).
    void fitOneFactor();
    double hsuTail(const int* idx, int n, double t, double epsrel) const;

    // The critical values of the report and of the QUANTILE item.
    double methodQuantile(int method, double alpha);
    double exactQuantile(double alpha, bool precise);

    // Options of the exact method's integrals.
    MvnOptions integration() const;

    QXHandle* h_;
    QXMCLSM_PARMS parms_;
    QXJnlh jnl_ = nullptr;
    std::chrono::steady_clock::time_point start_;

    bool assessed_ = false;
    int severity_ = 0;
    bool empty_ = false;
    int type_ = 0;
    char side_ = 'B';
    int structure_ = -1;
    int exact_ = 0;
    Exact mode_ = Exact::Integrate;
    int ncmp_ = 0;
    int nl_ = 0;
    int rank_ = -1;  // rank of the correlation of every valid comparison (-1: not yet)
    int levels_ = 0; // levels touched by the valid comparisons
    std::vector<Comparison> cmp_;
    std::vector<int> valid_;     // indexes of the comparisons with a statistic
    std::vector<int> all_;       // 0 .. valid - 1
    std::vector<double> R_;      // correlation of the valid comparisons, full (when needed)
    std::vector<double> lambda_; // Hsu's loadings
    std::vector<double> adjp_;
    bool haveAdjp_ = false;
    double quantile_ = 0;
    bool haveQuantile_ = false;
    double maxError_ = 0;
    double stepDeadline_ = 0; // while set, integrals stop at this elapsed time
    QXMCLSM_INSTANCE* inst_ = nullptr; // the instance the deterministic methods run for

    // Step-down plan: order_[j] is the valid index tested at step j; the
    // first logicalSteps_ steps have the sets logical_[j] (masks of valid
    // indexes, at most 64 of them) with their partitions, the others the
    // free set order_[j..].
    std::vector<int> order_;
    std::vector<std::vector<uint64_t>> logical_;
    std::vector<std::vector<std::vector<int>>> logicalPart_;
    int logicalSteps_ = 0;
    std::vector<int> suffixRank_, suffixLevels_;

    // Simulation settings and report.
    double nsamp_ = 0;
    double acc_ = 0, eps_ = 0;
    long seed_ = 0;
    QXMCLSM_SIMINFO sim_{};
    std::vector<QXMCLSM_SIMELEM> simq_;
    bool haveSim_ = false;

    // Step-down report, and the probability of every set in its order.
    QXMCLSM_STEPINFO step_{};
    bool haveStep_ = false;
    std::vector<double> setProb_;
    std::vector<double> tObs_, pBon_, pEval_, simple_, avgcv_, avgcv2_, gls_, sgls_;
    std::vector<int> orig_, subset_, stepOf_, part_, rankOf_;
};

} // namespace korv_mc

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
//                   against a control. It is computed by multivariate normal
//                   integration (numeric/mvn.h), except for uncorrelated
//                   means of equal variance and all pairs, where it is the
//                   studentized range P(Q_nl > sqrt(2) t). It is not the
//                   Tukey-Kramer approximation, which would use the
//                   studentized range for correlated or unequal means too.
//   SIM             P(max_s |Z_s| > t) estimated from a simulated sample
// Step-down (STEPDOWN): hypotheses are taken in decreasing order of t (or in
// row order); at step j the probability of the method is evaluated for the
// set of hypotheses not yet passed (TYPE=FREE), or for each largest set that
// could be the set of true hypotheses given that the earlier ones are false
// (TYPE=LOGICAL), taking the largest; adjusted p-values are then made
// non-decreasing along the steps. BON gives Holm's method (Shaffer's with
// LOGICAL), SIDAK Holland and Copenhaver's, EXACT and SIM the free and
// logically constrained step-down forms of the single-step test.
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

// A set of comparisons (indexes into the valid ones), as bits.
using Bits = std::vector<uint64_t>;

class Engine
{
  public:
    Engine(QXHandle* h, const QXMCLSM_PARMS& in);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    QXStatus assess();
    QXStatus deterministic();
    QXStatus simulate(QXMCLSM_INSTANCE* inst);
    QXStatus value(int item, void* dest);
    QXJnlh journal() const { return jnl_; }

    // Seconds since the engine was made (for the progress notes).
    double elapsed() const;

  private:
    friend struct Simulation;

    // The journal: a numbered message (severity 1 note .. 4 error) whose
    // severity also raises the instance's.
    void say(int severity, int number, ...);
    void raise(int severity);

    // Probability that the largest |Z_s| over set S exceeds t, by the
    // method (not SIM); *err gets the integration error bound.
    double setProb(const Bits& S, double t, double* err);
    // Rank of the correlation of the comparisons of S.
    int setRank(const Bits& S) const;
    int bitsCount(const Bits& S) const;
    std::vector<int> members(const Bits& S) const;
    Bits fullSet() const;

    // The step-down plan: the order of the hypotheses and, per step, the sets
    // to evaluate (filled by assess).
    void planStepDown();
    void planLogical(const std::vector<int>& order);
    void fillStepInfo();

    // The critical values of the report and of the QUANTILE item.
    double methodQuantile(int method, double alpha);
    double exactQuantile(double alpha, bool precise);

    // Options of the exact method's integrals.
    MvnOptions integration() const;
    // Single-step p-value of comparison r for a deterministic method.
    double singleStep(int r, double* err);

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
    int ncmp_ = 0;
    int nl_ = 0;
    int rank_ = 0;
    std::vector<Comparison> cmp_;
    std::vector<int> valid_; // indexes of the comparisons with a statistic
    std::vector<double> R_;  // correlation of the valid comparisons, full
    std::vector<double> adjp_;
    bool haveAdjp_ = false;
    double quantile_ = 0;
    bool haveQuantile_ = false;
    double maxError_ = 0;

    // Step-down plan: order_[j] is the valid index tested at step j, and
    // sets_[j] the sets of step j (valid indexes).
    std::vector<int> order_;
    std::vector<std::vector<Bits>> sets_;
    std::vector<std::vector<int>> parts_; // partition per set (flattened per step)
    int logicalSteps_ = 0;

    // Simulation settings and report.
    double nsamp_ = 0;
    double acc_ = 0, eps_ = 0;
    long seed_ = 0;
    QXMCLSM_SIMINFO sim_{};
    std::vector<QXMCLSM_SIMELEM> simq_;
    bool haveSim_ = false;

    // Step-down report.
    QXMCLSM_STEPINFO step_{};
    bool haveStep_ = false;
    std::vector<double> tObs_, pBon_, pEval_, simple_, avgcv_, avgcv2_, gls_, sgls_;
    std::vector<int> orig_, subset_, stepOf_, part_, rankOf_;
    std::vector<std::vector<int>> setPart_; // partition of each planned set
};

} // namespace korv_mc

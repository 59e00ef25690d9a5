// Multivariate normal rectangle probabilities P(a <= X <= b), X ~ N(0, C),
// by Genz's separation of variables with randomized quasi-Monte Carlo
// integration and an error bound.
//
// Method. The covariance is standardised to a correlation R and factored by
// a pivoted Cholesky decomposition R = G G' whose pivots follow the
// Genz-Bretz rule (at each step the constraint with the smallest conditional
// interval probability, the earlier variables set to their conditional
// means). Then X = G W with W standard normal, and the constraints become, in
// the order of the pivots, intervals for W_1, then W_2 given W_1, and so on:
// P = E[ prod_j (Phi(hi_j) - Phi(lo_j)) ], W_j drawn inside its interval by
// inversion of the uniform x_j. A singular R (rank r below the dimension, as
// for the pairwise differences of k means, of rank k - 1) is handled exactly:
// a row whose conditional variance vanishes is a linear combination of the
// variables already drawn, and becomes one more bound on the last of them, so
// the integral has r - 1 dimensions however many rows there are.
//
// Integration: a Richtmyer lattice (generators the fractional parts of the
// square roots of the primes) with the baker's transform, repeated over
// `shifts` random shifts drawn from the counter-based generator with `seed`;
// the points are extended (1000, 1500, 2250, ...) until the error bound -
// 4.5 standard errors of the mean of the shifts - meets the tolerance in two
// successive rounds, or `maxpts` evaluations are spent. The bound is made
// wide and the stop slow on purpose: the standard error is itself estimated
// from the shifts, and a bound that stops on the first round whose spread
// happens to be small (3.5 standard errors of 8 shifts, once) was exceeded
// by about one integral in a thousand. The same seed gives the same result
// on every run and thread.
//
// Both P and its complement 1 - P are estimated, each from an integrand
// computed without cancellation (1 - prod w_j by the recurrence
// g <- g + (1 - g) t_j, with t_j = 1 - w_j from the two tails), so a small
// 1 - P (an adjusted p-value) keeps its relative accuracy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Runs body(0) .. body(n - 1), on several threads when the caller has them.
// The integrals hand it parts whose results they combine in index order, so
// a result does not depend on how the parts are spread.
using MvnParallel =
    std::function<void(std::size_t n, const std::function<void(std::size_t)>& body)>;

struct MvnOptions {
    // The error bound is to be at most abseps, and at most releps times the
    // smaller of P and 1 - P but not below absfloor: a small probability is
    // wanted to a few digits, not to abseps.
    double abseps = 1e-5;
    double releps = 1e-2;
    double absfloor = 1e-12;
    long maxpts = 10000000; // most integrand evaluations
    uint64_t seed = 12345; // key of the random shifts
    int shifts = 16;       // random shifts (at least 4)
    double seconds = 0;    // stop after this long (0: no limit)
    MvnParallel parallel;  // runs the independent parts (empty: one after another)
    // Called once by zmvnmax's integral of every threshold together, after
    // its first round when that did not meet the tolerance: the evaluations
    // the whole integral is expected to take (within maxpts' budget) and
    // the seconds they take at the first round's pace. Empty: not called.
    std::function<void(double evaluations, double seconds)> forecast;
};

struct MvnResult {
    double value = 0;      // P
    double complement = 0; // 1 - P
    double error = 0;      // bound on the error of either
    long evaluations = 0;
    int rank = 0;   // rank of the correlation of the constrained rows
    // 0 tolerance met, 1 maxpts reached first, 2 invalid input (values
    // missing), 3 stopped by the time limit first
    int inform = 0;
};

// n the dimension; cov the covariance, packed lower triangle by rows (element
// (i, j), j <= i, at i(i+1)/2 + j); lower and upper the limits (-infinity and
// +infinity allowed). A row of zero variance counts as the constant 0.
MvnResult zmvnrect(int n, const double* cov, const double* lower, const double* upper,
                   const MvnOptions& opt = MvnOptions());

struct MvnMaxResult {
    double error = 0;      // bound on the error of every probability
    long evaluations = 0;  // integrand evaluations (together: one facet of one direction)
    int rank = 0;          // rank of the correlation of the rows that vary
    int inform = 0;        // as MvnResult's
    bool together = false; // every threshold from one integral
};

// P(max_s |X_s| > t_j), X ~ N(0, C), for each of the nt thresholds t_j: the
// upper tail of the largest |X_s| in units of their standard deviations, as
// the single-step adjusted p-values of correlated statistics need it. C is
// packed as for zmvnrect and may be singular; a row of zero variance never
// exceeds a threshold. The probabilities are integrated together, from one
// sample of directions in the rank's dimensions (see mvnmax.cpp), to the
// error bound abseps of opt (4.5 standard errors of 16 shifts), or until
// they have taken maxpts of zmvnrect's evaluations per threshold (one of
// which is worth rank of theirs, a facet of one sampled direction). That
// is for more rows than their rank, as the pairwise differences of k means
// have (k(k-1)/2 rows of rank k - 1). With no more rows than the rank (as
// against a control), and in three dimensions when the rows leave some
// direction nearly free (a correlation close to singular, as a stratum of
// a single subject makes it), the thresholds are integrated one at a time
// by zmvnrect, on opt's parallel parts. t_j <= 0 gives 1, a missing t_j a
// missing p_j.
MvnMaxResult zmvnmax(int n, const double* cov, int nt, const double* t, double* p,
                     const MvnOptions& opt = MvnOptions());

// The standard normal quantile by Wichura's algorithm AS 241 (about 1e-16
// relative accuracy); p outside (0, 1) gives -/+ infinity or NaN. Used in
// the integrand, where it runs millions of times.
double zppnd16(double p);

// Rank tests of the association of the TEST covariates with the failure time:
// the Wilcoxon (Prentice) and log-rank score vectors and their covariances,
// summed stratum by stratum, and the univariate chi-squares and forward
// stepwise sequence made from them. The computing core works on plain
// arrays; korvtes and korvrno read the records and write the results.
//
// Packed storage as in the other tests: element (k, l), l <= k, of a
// symmetric p x p matrix at k(k+1)/2 + l. Each covariance is followed at once
// by its p scores and a zero slot, so that the (p+1)(p+2)/2 doubles read as
// the packed bordered matrix [V U; U' 0].
#pragma once

#include <cstdint>

#include "common/korvcom.h"

// One step of the forward stepwise sequence: the covariate that entered
// (0-based, in TEST-statement order), the degrees of freedom after the step
// and the chi-square of the covariates entered so far.
struct STSEQ {
    int ivar;
    int df;
    double chi;
};

// The stepwise sequence of the current rank score: num is the index of the
// last step (-1 before the first); q holds room for p steps.
struct STEPCHI {
    int num;
    STSEQ* q;
};

// The parts of the work area KORVCOM.wil for p covariates. The area holds
// 3n + 7 + 3P doubles (n = p, P = m(m+1)/2 + m, m = p + 2), and the data pass
// zeroes its first 3q3 + 6p + 7 doubles at the start of every BY group.
struct AssocArea {
    int p = 0;
    double* varwil = nullptr; // Wilcoxon covariance, packed, then valwil (p + 1)
    double* valwil = nullptr;
    double* varsav = nullptr; // log-rank covariance, packed, then valsav (p + 1)
    double* valsav = nullptr;
    double* xsum = nullptr; // scratch of the passes: p
    double* xdev = nullptr; // p
    double* css = nullptr;  // (p+1)(p+2)/2
    double* work = nullptr; // p
    // Sum of a x_k^2 over the valid records of every stratum so far: the
    // scale against which a covariance diagonal counts as zero.
    double* scale = nullptr;
    // The power of two each covariate is divided by before any arithmetic
    // (0 until a stratum has a non-zero value of it): the scores, the
    // covariances and the scale above are kept in these units, so that
    // covariates near the square root of the largest double neither
    // overflow nor, near the smallest, vanish. Being powers of two they
    // change no digit of any result.
    double* unit = nullptr;
    double* xs = nullptr; // p: one record's covariates in those units
    // Scratch of the results: the swept copy of one bordered block, then
    // p + 1 doubles of work for the sweep.
    double* copy = nullptr;
    double* sweep = nullptr;
};
AssocArea korv_assoc_area(double* wil, int p);

inline int64_t korv_assoc_q2(int p)
{
    return static_cast<int64_t>(p) * (p + 1) / 2;
}
inline int64_t korv_assoc_q3(int p)
{
    return static_cast<int64_t>(p + 1) * (p + 2) / 2;
}

// Adds one stratum of n records to both scores, both covariances and the
// scale: time, signed frequency (censored records negated), the rank index
// of the frame's ranking (1-based record numbers in order of increasing time,
// events first at equal times) and x, p covariate values per record. Records
// with a missing covariate take no part. risk is the total frequency of the
// records without a missing covariate, or negative to have it summed here.
// The sums are kept in the units of the area: a covariate whose values in
// this stratum pass its unit so far gets a larger one, the sums so far
// converted to it.
void korv_assoc_stratum(const AssocArea& a, int64_t n, const double* time, const double* freq,
                        const int64_t* indxs, const double* x, double risk = -1);

// The results of one bordered block (var: covariance then scores).
struct AssocUni {
    double stat, se, chisq, p;
};
struct AssocResult {
    int nsteps = 0;     // steps of the forward sequence
    double chisq = 0.0; // chi-square of every covariate entered
};

// Whether covariate i of the bordered block carries information: its
// variance is positive and above singular times its scale.
bool korv_assoc_usable(const double* var, int i, const double* scale, double singular);

// Univariate test of covariate i: the score, its standard error and the
// chi-square with one degree of freedom; a covariate without information
// has a standard error of 0 and a missing chi-square and p-value. var and
// scale are in the units of unit (null: as given); the score and standard
// error come back in the covariate's own.
AssocUni korv_assoc_univariate(const double* var, int p, int i, const double* scale,
                               double singular, const double* unit = nullptr);

// Turns the bordered block var from the units of unit into the
// covariates' own; a value beyond the largest double becomes missing, and
// the covariates with such a value are marked in lost (p flags).
void korv_assoc_unscale(double* var, int p, const double* unit, bool* lost);

// Sets a covariance row and column to zero where the variance is below the
// smallest normal double, so that what is printed and written stays
// symmetric.
void korv_assoc_guard(double* var, int p);

// The forward stepwise sequence of the bordered block var (not changed):
// the covariates with information enter one by one, each time the one that
// raises the joint score chi-square most, while one is left that is not a
// combination of those entered (SINGULAR= relative to its own variance).
// copy holds q3 doubles, dfs p + 1 bytes and work p + 1 doubles; steps
// receives up to p entries.
AssocResult korv_assoc_steps(const double* var, int p, const double* scale, double singular,
                             double* copy, char* dfs, double* work, STSEQ* steps);

// Row i of a packed symmetric p x p matrix, all p values.
void korv_packed_row(const double* packed, int p, int i, double* row);

// The rank tests of one score, called by the test driver: the stepwise
// sequence, the OUTTEST= rows and, when printing, the univariate, covariance
// and stepwise tables. type is "WILCOXON" or "LOG RANK"; rowname is unused.
void korvrno(KorvPtr q, double* var, char* dfs, char* rowname, const char* type);

// The closing stage shared by the unweighted and weighted tests across
// strata: the details (scores and covariance tables), the saved scores of
// DIFF=, the chi-square rows and the trend branch, with the graph-inset
// p-values. Internal to the homogeneity room.
#pragma once

#include "runtime/xccheck.h"

#include "common/strata.h"
#include "homogeneity/homogeneity.h"
#include "vyr_files.h"
#include "vyr_output.h"

namespace korv_hom
{

// The six rank tests in their fixed order: log-rank, Wilcoxon, Tarone,
// Peto, modified Peto, Fleming-Harrington.
inline constexpr int kTests = 6;

// What the closing stage works on. blocks[i] is the bordered block of test
// i, null when the test was not computed; x holds k trend scores of work
// space, work and dfs k + 1 entries each.
struct Levels {
    int k = 0;
    int ktype = 0;
    // The levels are the GROUP= levels (tests stratified by the strata), not
    // the strata.
    bool groups = false;
    double* blocks[kTests] = {};
    // The power of two that turns test i's scores from the unit the blocks
    // are kept in into the weights' own units (covariances: twice it); 0
    // but for the weighted tests of extreme weights (HomWeightUnit). The
    // chi-squares are formed in the blocks' unit; the scores, covariances
    // and trend statistics shown are turned back, missing (with a warning
    // naming the WEIGHT variable) where no double holds them.
    int scoreExp[kTests] = {};
    char* dfs = nullptr;
    double* work = nullptr;
    double* x = nullptr;
};

// Sets every graph-inset p-value to missing.
void reset_ogstat(OGSTAT* og);
// The i-th stratum of the BY group's list (0-based), or null.
STRATA* stratum_at(KorvPtr q, int i);

// Group "StrataHomogeneity" with its note, the scores table and one
// covariance table per computed test.
void details(KorvPtr q, const Levels& L, xobop* group);
// Writes the unswept blocks of the requested tests to the DIFF= file.
void save_scores(KorvPtr q, const Levels& L);
// Chi-square rows of the rank tests (and the likelihood-ratio row when lr is
// given and requested) in the test table, p-values to the graph insets.
void test_rows(KorvPtr q, const Levels& L, const HomLR* lr);
// Trend scores of the strata (x[0..k-1]).
void strata_trend_scores(KorvPtr q, double* x, int k);
// Trend scores of the GROUP= levels (x[0..k-1]): the values of a numeric
// variable without a format, else 1 to k.
void group_trend_scores(KorvPtr q, double* x, int k);
// The number of levels of the GROUP= variable in this BY group.
int group_levels(KorvPtr q);
// Trend group, scores table and the trend tests table.
void trend_branch(KorvPtr q, const Levels& L, xobop* group);
// Releases an output group (null: nothing).
void release_group(xobop group);

// The set-up and the close shared by the unweighted and weighted tests.

// The pool of one test's work arrays; null (memory message logged) when it
// cannot be made.
POOLHANDLE* open_pool();

// Takes zeroed blocks from a test's pool. The first failure logs the memory
// message; every request after it returns null, so a caller takes all it
// needs and checks failed once.
struct PoolTake {
    POOLHANDLE* pool = nullptr;
    bool failed = false;
    void* operator()(int64_t bytes);
};

// The work arrays of the unweighted tests across k strata or levels, from
// one pool: the first-pass block (k+4 rows of k+1), the blocks of Tarone,
// Peto, modified Peto and Fleming-Harrington that ktype asks for, the
// degrees-of-freedom flags, and for n records their times (k+1 spare),
// frequencies, order and 4-byte tags. The caller checks take.failed.
struct HomWork {
    double* first = nullptr;
    double* opt[4] = {};
    char* dfs = nullptr;
    double* time = nullptr;
    double* freq = nullptr;
    int64_t* jndx = nullptr;
    int32_t* tag = nullptr;
};
HomWork take_hom_work(PoolTake& take, int k, int ktype, int64_t n);

// Records in the first k strata of the BY group.
int64_t strata_obs(KorvPtr q, int k);

// Reads the records of the first k strata from the utility file, stratum
// after stratum: times, frequencies and, when wt is given, weights; sflag[j]
// is the stratum of record j. With lr, each stratum is added to the
// likelihood-ratio totals. Returns the number of records read.
int64_t load_strata(KorvPtr q, int k, double* time, double* freq, double* wt, int32_t* sflag,
                    HomLR* lr);

// The closing stage of a test across strata: details, saved scores, then the
// trend branch or the chi-square rows (with the likelihood-ratio row when lr
// is given). Deletes the pool, whose arrays L points into, and releases the
// output group.
void finish_tests(KorvPtr q, const Levels& L, const HomLR* lr, POOLHANDLE* pool);

// The tests across the GROUP= levels, stratified by the strata: unweighted
// (log-rank, Wilcoxon, Tarone, Peto, modified Peto, Fleming-Harrington and,
// without STRATA variables, the likelihood-ratio test) or with the WEIGHT
// variable (log-rank, Wilcoxon, Tarone).
void StratifiedTest(KorvPtr q);
void WeightedStratifiedTest(KorvPtr q);

} // namespace korv_hom

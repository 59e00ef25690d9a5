// Tests of equal survival across strata and trend tests, unweighted and
// weighted: the test driver called once per BY group, the pivoting sweep that
// turns a score vector and its singular covariance into a chi-square, and the
// computing core over plain arrays (pooled risk sets, the weighted log-rank
// family, the exponential-model likelihood-ratio statistic, trend
// statistics).
//
// Layout shared by every test: the covariance V of the k level scores is a
// packed lower triangle (element (i, j), j <= i, at i(i+1)/2 + j), followed
// directly by k + 1 score slots (U[0..k-1], then a corner that starts at 0).
// Read together the (k+1)(k+2)/2 doubles are the packed bordered matrix
// [V U; U' 0]; the sweep leaves minus the chi-square in its corner.
#pragma once

#include <cstdint>

#include "common/korvcom.h"
#include "common/stages.h"
#include "numeric/format.h"
#include "numeric/scaledsum.h"

// ---------------------------------------------------------------------------
// Driver entries (survival road only).

// Once per BY group after every stratum has been estimated and its plots made:
// decides whether the tests of equal survival run and dispatches them.
void korvpol(KorvPtr q);
// The memory the tests' k x k matrices take for k levels, against the
// limit: MEMSIZE= when it is set, else KORV_HOM_MATRIX_CAP bytes.
inline constexpr double KORV_HOM_MATRIX_CAP = 1e9; // 1 GB
struct HomSize {
    double need = 0;  // bytes of the bordered blocks of the requested tests
    double limit = 0; // bytes allowed
    bool fromMemsize = false;
};
HomSize korv_hom_size(KorvPtr q, int k);
bool korv_hom_fits(KorvPtr q, int k);
// Says, in the catalogue line `message` of group 326, what the tests across
// k strata or levels will take: the number and memory of their covariance
// matrices and the arithmetic of their chi-squares.
void korv_hom_note_cost(KorvPtr q, int k, int message);
// Bytes as "12.3 MB" or "80.0 GB".
void korv_hom_describe_bytes(double bytes, char* out, size_t size);
// From this many strata the tests are announced before the estimates (how
// many strata, their matrices' memory and the work of their chi-squares),
// and under NOTABLE their covariance matrices are not printed: a matrix of
// that many rows is no table to read, and thousands of them fill a listing.
inline constexpr int KORV_HOM_MANY_STRATA = 100;
// The number of covariance blocks the requested tests form.
int korv_hom_blocks(KorvPtr q);
// Unweighted / WEIGHT-statement entries: return at once when the tests are
// switched off (ktype bit 0x2).
void korvhom(KorvPtr q);
void korvwho(KorvPtr q);

// ---------------------------------------------------------------------------
// Sweep and chi-square.

// Sweeps pivot p of the packed symmetric matrix a of the given order, when
// its diagonal exceeds tol and flags[p] is '0': every element (i, j) off row
// and column p becomes a_ij - a_ip a_jp / a_pp, row p becomes a_ip / a_pp with
// the sign changed, and the diagonal 1 / a_pp, so that the swept block holds
// the inverse itself; flags[p] becomes '1'. work holds at least `order`
// doubles. Returns 0 when swept, 1 when the pivot was left alone.
int zsweep(double* a, int p, int order, char* flags, double* work, double tol);
// Tests: the order from which a sweep spreads its rows over the host's
// threads (default 1024; 0 restores it). The result is the same either way.
void korv_sweep_set_parallel_from(int order);

// One greedy step on the bordered block var (d = ndim levels): among the free
// indices (dfs[i] == '0') marks '*' those whose diagonal is below 1e-12 or
// not above toler, sweeps the one that adds most to the statistic and returns
// its index, or -1 when none is left. korvp is not used.
int korvcs(KorvPtr korvp, double* var, int ndim, char* dfs, double* work, double toler);

// Chi-square, degrees of freedom and p-value of one bordered block of the
// tests across levels, swept in place. The levels with a positive variance
// take part, scaled to unit variance; tol = singular x their number; the
// covariance rows sum to zero, so at most one less pivot than levels taking
// part is swept; df the number of pivots; p = upper chi-square tail when
// df > 0 and chisq > 0, 1 when df > 0 and chisq <= 0 (also a rounding-
// negative corner), missing when df = 0. dfs holds k + 1 bytes and work
// k + 1 doubles.
struct KorvChiSq {
    double chisq;
    int df;
    double p;
};
KorvChiSq korv_chisq(double* block, int k, double singular, char* dfs, double* work);

// One trend row of the k scores U (scores) with covariance V (cov, packed)
// and trend scores x, into the row buffer's trend slots (results/slots.h):
// STATISTIC = x'U, STDERR = sqrt(x'Vx) (0 when not above 0), Z = z, PROB_Z
// the two-sided p, LOWER_PROB_Z = P(Z < z), UPPER_PROB_Z = P(Z > z); z and
// the p-values missing when the standard error is not above 2^-511.
void Trend(int n, double* cov, double* scores, double* x, double* work, double* iovar);

// ---------------------------------------------------------------------------
// Computing core over plain arrays. Records: signed frequencies (censored
// records negated), level numbers sflag[r] in 0..k-1 (4 bytes each: k is an
// int) and the rank index jndx of the frame's ranking (1-based record numbers
// in time order, an entry negated when the next place has the same time and
// status).

// Number of doubles of a bordered block of k levels, and the offset of its
// score vector.
inline int64_t korv_block_size(int k)
{
    return static_cast<int64_t>(k + 1) * (k + 2) / 2;
}
inline int64_t korv_score_offset(int k)
{
    return static_cast<int64_t>(k) * (k + 1) / 2;
}

// Bordered blocks of the unweighted tests; a null block is a test not asked
// for. lr and wil are always present.
struct HomBlocks {
    double* lr = nullptr;    // log-rank
    double* wil = nullptr;   // Wilcoxon (Gehan): weight N
    double* tar = nullptr;   // Tarone-Ware: weight sqrt(N)
    double* peto = nullptr;  // Peto-Peto: S~(t) including t
    double* mpeto = nullptr; // modified Peto-Peto: S~(t) N / (N + 1)
    double* flem = nullptr;  // Fleming-Harrington: S(t-)^rho (1 - S(t-))^gamma
};

// Likelihood-ratio statistic of the exponential model, gathered stratum by
// stratum. A stratum whose total time is 0 (every time 0) sets nempty to -1
// and is left out; one without events sets zempty to '*'. The total times are
// kept in a power-of-two unit (the statistic does not depend on the unit of
// time), so that times near the largest double do not overflow them; L holds
// the sum of -D_k log(T_k / D_k) in plain units.
struct HomLR {
    korv_num::ScaledSum T;
    double D = 0, L = 0;
    char zempty = ' ';
    int nempty = 0;
    double likeratio = 0;
};
void korv_lr_add(HomLR* lr, const double* time, const double* freq, int64_t nobs, double events);
// The same from a stratum's total time (frequency x time, added up in record
// order by korv_lr_total).
void korv_lr_add_total(HomLR* lr, const korv_num::ScaledSum& tk, double events);
void korv_lr_finish(HomLR* lr);

// Receives one (events, at risk) record per retained event time of the first
// pass, in descending order of time.
using HomRecordSink = void (*)(void* ctx, double ndie, double nrisk);

// Tests: the number of levels from which the passes gather the covariance
// updates of many times (see homcore.cpp; default 64, 0 restores it). The
// results are the same either way.
void korv_hom_set_batch_from(int levels);

// Gives each row of a packed covariance of k levels the diagonal that makes
// it sum to zero: minus the sum of its off-diagonal elements.
void korv_hom_close_rows(double* block, int k);

// First pass, from the largest time down: log-rank, Wilcoxon and Tarone-Ware.
// risk and die hold k doubles each (risk starts at 0). Every retained time
// (events and more than 1.0 at risk) is passed to sink when sink is not null.
// Returns the number of retained times. The rows are closed at the end
// unless `close` is false: a caller that sums the passes of many strata
// closes them once, after the last.
int64_t korv_hom_first_pass(int k, int64_t n, const double* freq, const int32_t* sflag,
                            const int64_t* jndx, double* risk, double* die, const HomBlocks& b,
                            HomRecordSink sink, void* ctx, bool close = true);
// The pooled records counted per distinct time and level, when every count
// is a whole number below 2^53 (so that the counts add up exactly in any
// order): entry x is level[x]'s events and censored frequency at time[x],
// the entries in decreasing order of time. The passes over the counts make
// the same risk sets, tie groups and results as the passes over the ranked
// records, touching each distinct time once instead of each record.
struct HomCounts {
    int64_t n = 0;
    const double* time = nullptr;
    const int32_t* level = nullptr;
    const double* events = nullptr;
    const double* censored = nullptr;
};
int64_t korv_hom_first_pass_counts(int k, const HomCounts& c, double* risk, double* die,
                                   const HomBlocks& b, HomRecordSink sink, void* ctx);
void korv_hom_second_pass_counts(int k, const HomCounts& c, double* risk, double* die,
                                 const double* km, const double* fleming, const HomBlocks& b);
// Turns nfail + 1 records of (ndie, nrisk), record m for the m-th retained
// time from the top, into (S, S~) after each time; record nfail is (1, 1).
void korv_hom_pooled_survival(double* km, int64_t nfail);
// Second pass: Peto, modified Peto and Fleming-Harrington from km. fleming is
// null (rho = gamma = 0) or rho then gamma; a negative gamma counts as 0.
void korv_hom_second_pass(int k, int64_t n, const double* freq, const int32_t* sflag,
                          const int64_t* jndx, double* risk, double* die, const double* km,
                          const double* fleming, const HomBlocks& b, bool close = true);

// The rank index of the pooled records, exactly as the frame's ranking makes
// it (by increasing time, at equal times by decreasing signed frequency,
// equal records in their input order), made by counting over the distinct
// times instead of a merge sort of the records.
void korv_hom_rank(const double* time, const double* freq, int64_t* jndx, int64_t n);

// The unit of the weights in the weighted pass: the weights are divided by
// 2^exp before any arithmetic. exp is 0 (the weights as given) while the
// largest weight lies within [2^-64, 2^64], where no sum of the pass can
// overflow or vanish; otherwise it is the even power of two at or below the
// largest weight. The blocks are kept in that unit: the log-rank scores are
// those of the weights as given times 2^-exp, the Wilcoxon scores times
// 2^-2exp, the Tarone scores times 2^-3exp/2 (exp is even), each covariance
// times the square of its scores' factor. Being powers of two, the unit
// changes no digit of any result that the weights as given hold, and the
// chi-squares do not depend on it. `set` is false until a time has added
// to the blocks; a later call (the next stratum) whose weights need a larger
// unit converts the blocks to it.
struct HomWeightUnit {
    int exp = 0;
    bool set = false;
};
// The powers of two that turn the scores of the three weighted tests
// (log-rank, Wilcoxon, Tarone) from the unit into the weights' own units;
// the covariances take twice these.
void korv_hom_weight_score_exps(const HomWeightUnit& u, int exps[3]);

// The weighted pass (WEIGHT statement): log-rank, Wilcoxon (weight: weighted
// number at risk S) and Tarone (sqrt(S)) with the exact without-replacement
// variance of the weighted event sum. riskWt, riskWt2 and dieWt hold k
// doubles each, zero on entry. tar may be null. The blocks are kept in the
// unit of `unit` (see HomWeightUnit), chosen or raised here from the
// weights of these records.
void korv_hom_weighted_pass(int k, int64_t n, const double* freq, const double* wt,
                            const int32_t* sflag, const int64_t* jndx, double* riskWt,
                            double* riskWt2, double* dieWt, double* lr, double* wil, double* tar,
                            HomWeightUnit* unit);
